// The accessibility bus, through sd-bus. Measured here, on GTK 3, GTK 4 and Qt 6 programs:
// GetChildren on an application's root is served by its main loop only, answered in 1-2 ms
// while it is idle and never while it spins, sleeps or is stopped. Peer.Ping and Introspect are
// answered by worker threads of a frozen program: they are never the probe.
//
// sd-bus delivers a call's own timeout to its handler and then has nothing left to process; a
// wait with no limit after that blocks for the bus's whole reply timeout. So every wait here
// has a limit of its own, and whether a probe is done is counted here, not asked of sd-bus.

#include "accessibility.h"
#include "accessibility_replies.h"
#include "proc_files.h"

#include <systemd/sd-bus.h>

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>

namespace hungscan_accessibility {

using namespace hungscan_proc;

namespace {

using Clock = std::chrono::steady_clock;

// The buses' own daemons answer at once; starting the accessibility bus on demand takes longer.
constexpr std::uint64_t BUS_DAEMON_LIMIT_US = 3000000;

// How long after its probe an application that answered has to name its windows; what is still
// out then is dropped with the probe. sd-bus's own limit on a call is only a backstop.
constexpr std::chrono::milliseconds TITLES_LIMIT(1000);
constexpr std::uint64_t CALL_BACKSTOP_US = 30000000;

const char ROOT_INTERFACE[] = "org.a11y.atspi.Accessible";

struct Application
{
    std::uint32_t id = 0;
    std::string bus;  // its unique name: never another's on this bus
    std::string path; // its root
    pid_t pid = 0;
    std::string accessibleName;
    std::vector<std::string> titles; // as learned the last time it answered
    // This scan's probe.
    bool probed = false;
    int answer = -1; // 1, 0 or -2 as AwaitProbe says; -1 while out
    Clock::time_point sent;
    Clock::time_point deadline; // the probe's, once awaited
    std::vector<std::string> pendingTitles;
    std::size_t titlesOut = 0;
    bool seen = false;
};

sd_bus *accessibilityBus = nullptr;
std::string busFailure;
std::map<std::string, Application> applications; // by bus name
std::uint32_t nextId = 1;
std::vector<sd_bus_slot *> slots;
bool lostInScan = false; // the bus closed while this scan's probes were out

Application *ById(std::uint32_t id)
{
    for (auto &entry : applications)
        if (entry.second.id == id)
            return &entry.second;
    return nullptr;
}

void DropBus()
{
    for (sd_bus_slot *slot : slots)
        sd_bus_slot_unref(slot);
    slots.clear();
    if (accessibilityBus != nullptr)
        sd_bus_flush_close_unref(accessibilityBus);
    accessibilityBus = nullptr;
}

// The bus closed under the probes: what they would have said is lost, and the next scan
// opens it afresh.
void LoseBus()
{
    lostInScan = true;
    busFailure = "it closed";
    DropBus();
}

std::string ErrorText(const sd_bus_error &error, int r)
{
    if (error.message != nullptr)
        return error.message;
    return std::strerror(r < 0 ? -r : r);
}

// A private client connection to an address; null with the reason.
sd_bus *Connect(const char *address, std::string &why)
{
    sd_bus *bus = nullptr;
    int r = sd_bus_new(&bus);
    if (r >= 0)
        r = sd_bus_set_address(bus, address);
    if (r >= 0)
        r = sd_bus_set_bus_client(bus, 1);
    if (r >= 0)
        r = sd_bus_start(bus);
    if (r < 0)
    {
        why = std::strerror(-r);
        sd_bus_unref(bus);
        return nullptr;
    }
    return bus;
}

// One call and its reply within the limit; null with the reason.
sd_bus_message *Call(sd_bus *bus, const char *destination, const char *path, const char *interface,
                     const char *member, std::uint64_t limitUs, std::string &why, const char *argument = nullptr)
{
    sd_bus_message *call = nullptr, *reply = nullptr;
    // SD_BUS_ERROR_NULL, without the C compound literal that C++ does not have.
    sd_bus_error error = {nullptr, nullptr, 0};
    int r = sd_bus_message_new_method_call(bus, &call, destination, path, interface, member);
    if (r >= 0 && argument != nullptr)
        r = sd_bus_message_append(call, "s", argument);
    if (r >= 0)
        r = sd_bus_call(bus, call, limitUs, &error, &reply);
    if (r < 0)
        why = ErrorText(error, r);
    sd_bus_error_free(&error);
    sd_bus_message_unref(call);
    return r < 0 ? nullptr : reply;
}

// The accessibility bus, opened the first time and again once it has closed: its address from
// AT_SPI_BUS_ADDRESS, else from the session bus's org.a11y.Bus, which starts it on demand.
bool OpenBus()
{
    if (accessibilityBus != nullptr && sd_bus_is_open(accessibilityBus) > 0)
        return true;
    DropBus();
    std::string address;
    if (const char *given = std::getenv("AT_SPI_BUS_ADDRESS"); given != nullptr && *given != '\0')
        address = given;
    else
    {
        const char *session = std::getenv("DBUS_SESSION_BUS_ADDRESS");
        if (session == nullptr || *session == '\0')
        {
            busFailure = "no session bus (DBUS_SESSION_BUS_ADDRESS is not set)";
            return false;
        }
        std::string why;
        sd_bus *sessionBus = Connect(session, why);
        if (sessionBus == nullptr)
        {
            busFailure = "the session bus: " + why;
            return false;
        }
        sd_bus_message *reply =
            Call(sessionBus, "org.a11y.Bus", "/org/a11y/bus", "org.a11y.Bus", "GetAddress", BUS_DAEMON_LIMIT_US, why);
        if (reply != nullptr && !ReadString(reply, address))
            why = "a malformed address";
        sd_bus_message_unref(reply);
        sd_bus_flush_close_unref(sessionBus);
        if (address.empty())
        {
            busFailure = why;
            return false;
        }
    }
    std::string why;
    accessibilityBus = Connect(address.c_str(), why);
    if (accessibilityBus == nullptr)
        busFailure = why;
    return accessibilityBus != nullptr;
}

// Hands what has arrived to its handlers, waiting at most until the deadline for more, until
// done() or the deadline. False when the bus closed.
template <typename Done> bool Pump(Clock::time_point deadline, Done done)
{
    while (!done())
    {
        const int r = sd_bus_process(accessibilityBus, nullptr);
        if (r < 0)
            return false;
        if (r > 0)
            continue;
        const auto now = Clock::now();
        if (now >= deadline)
            return true;
        const auto left = std::chrono::duration_cast<std::chrono::microseconds>(deadline - now).count();
        if (sd_bus_wait(accessibilityBus, static_cast<std::uint64_t>(left) + 1) < 0)
            return false;
    }
    return true;
}

// An error that says the application went: its connection is no longer on the bus.
bool SaysGone(sd_bus_message *m)
{
    return sd_bus_message_is_method_error(m, SD_BUS_ERROR_SERVICE_UNKNOWN) > 0 ||
           sd_bus_message_is_method_error(m, SD_BUS_ERROR_NAME_HAS_NO_OWNER) > 0 ||
           (sd_bus_message_is_method_error(m, SD_BUS_ERROR_NO_REPLY) > 0 && sd_bus_message_get_sender(m) != nullptr);
}

// The reply handlers find their application by id: the table may have changed under them.
void *Tag(std::uint32_t id, std::uint32_t index = 0)
{
    return reinterpret_cast<void *>(static_cast<std::uintptr_t>(id) | static_cast<std::uintptr_t>(index) << 32);
}

std::uint32_t TagId(void *tag)
{
    return static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(tag) & 0xFFFFFFFFu);
}

std::uint32_t TagIndex(void *tag)
{
    return static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(tag) >> 32);
}

bool SendAsync(const char *destination, const char *path, const char *interface, const char *member,
               sd_bus_message_handler_t handler, void *tag, std::uint64_t limitUs, const char *a1 = nullptr,
               const char *a2 = nullptr)
{
    sd_bus_message *call = nullptr;
    int r = sd_bus_message_new_method_call(accessibilityBus, &call, destination, path, interface, member);
    if (r >= 0 && a1 != nullptr)
        r = a2 != nullptr ? sd_bus_message_append(call, "ss", a1, a2) : sd_bus_message_append(call, "s", a1);
    sd_bus_slot *slot = nullptr;
    if (r >= 0)
        r = sd_bus_call_async(accessibilityBus, &slot, call, handler, tag, limitUs);
    sd_bus_message_unref(call);
    if (r >= 0)
        slots.push_back(slot);
    return r >= 0;
}

int OnTitle(sd_bus_message *m, void *tag, sd_bus_error *)
{
    Application *app = ById(TagId(tag));
    const std::uint32_t index = TagIndex(tag);
    if (app == nullptr || index >= app->pendingTitles.size())
        return 0;
    ReadStringVariant(m, app->pendingTitles[index]);
    if (++app->titlesOut == app->pendingTitles.size())
        app->titles = app->pendingTitles;
    return 0;
}

int OnProbe(sd_bus_message *m, void *tag, sd_bus_error *)
{
    Application *app = ById(TagId(tag));
    if (app == nullptr || app->answer != -1)
        return 0;
    // A call's own timeout comes as an error from nobody; the verdict is then the limit's. A
    // closing connection fails every call with NoReply as if from the bus daemon: that is the
    // bus going, not the application, and says nothing of its loop.
    if (sd_bus_message_is_method_error(m, nullptr) > 0 &&
        (sd_bus_message_get_sender(m) == nullptr || sd_bus_is_open(sd_bus_message_get_bus(m)) <= 0))
        return 0;
    if (Clock::now() > app->deadline)
        return 0;
    if (SaysGone(m))
    {
        app->answer = -2;
        return 0;
    }
    app->answer = 1;
    // Its windows are its root's children: their names are its titles.
    std::vector<std::pair<std::string, std::string>> children;
    if (!ReadObjects(m, children))
        return 0;
    app->pendingTitles.assign(children.size(), std::string());
    app->titlesOut = 0;
    if (children.empty())
        app->titles.clear();
    for (std::size_t k = 0; k < children.size(); ++k)
        SendAsync(children[k].first.c_str(), children[k].second.c_str(), "org.freedesktop.DBus.Properties", "Get",
                  OnTitle, Tag(app->id, static_cast<std::uint32_t>(k)), CALL_BACKSTOP_US, ROOT_INTERFACE, "Name");
    return 0;
}

int OnName(sd_bus_message *m, void *tag, sd_bus_error *)
{
    if (Application *app = ById(TagId(tag)))
        ReadStringVariant(m, app->accessibleName);
    return 0;
}

int OnProcess(sd_bus_message *m, void *tag, sd_bus_error *)
{
    std::uint32_t pid = 0;
    Application *app = ById(TagId(tag));
    if (app != nullptr && ReadNumber(m, pid))
        app->pid = static_cast<pid_t>(pid);
    return 0;
}

// The Name of the desktop entry the program was started from, as GLib's launcher tells it.
std::string DesktopEntryName(pid_t pid)
{
    const std::string environment = ReadProcessFile(pid, "environ");
    const std::string key = "GIO_LAUNCHED_DESKTOP_FILE=";
    std::string file;
    for (std::size_t at = 0; at < environment.size();)
    {
        const std::size_t end = std::min(environment.find('\0', at), environment.size());
        if (environment.compare(at, key.size(), key) == 0)
            file = environment.substr(at + key.size(), end - at - key.size());
        at = end + 1;
    }
    if (file.empty())
        return "";
    std::ifstream entry(file);
    std::string line;
    bool inMain = false;
    while (std::getline(entry, line))
    {
        if (!line.empty() && line[0] == '[')
            inMain = line == "[Desktop Entry]";
        else if (inMain && line.compare(0, 5, "Name=") == 0)
            return line.substr(5);
    }
    return "";
}

} // namespace

const char *AccessibilityErrorText(std::uint32_t error, char *buffer, std::size_t size)
{
    if (error != ACCESSIBILITY_ERROR_NO_BUS)
        return nullptr;
    std::snprintf(buffer, size, "no accessibility bus: %s", busFailure.c_str());
    return buffer;
}

bool Wanted()
{
    const char *display = std::getenv("WAYLAND_DISPLAY");
    return display != nullptr && *display != '\0';
}

bool ProbeApplications(const std::set<pid_t> &x11Owners, std::vector<Listed> &listed)
{
    listed.clear();
    lostInScan = false;
    for (sd_bus_slot *slot : slots)
        sd_bus_slot_unref(slot);
    slots.clear();
    if (!OpenBus())
        return false;
    std::string why;
    sd_bus_message *reply = Call(accessibilityBus, "org.a11y.atspi.Registry", "/org/a11y/atspi/accessible/root",
                                 ROOT_INTERFACE, "GetChildren", BUS_DAEMON_LIMIT_US, why);
    if (reply == nullptr)
    {
        busFailure = "its registry: " + why;
        DropBus();
        return false;
    }
    for (auto &entry : applications)
        entry.second.seen = false;
    const char *ownName = nullptr;
    sd_bus_get_unique_name(accessibilityBus, &ownName);
    std::vector<Application *> found;
    std::vector<std::pair<std::string, std::string>> listedObjects;
    ReadObjects(reply, listedObjects);
    sd_bus_message_unref(reply);
    for (const auto &[bus, path] : listedObjects)
    {
        if (bus.empty() || bus[0] != ':' || (ownName != nullptr && bus == ownName))
            continue;
        Application &app = applications[bus];
        if (app.id == 0)
        {
            app.id = nextId++;
            app.bus = bus;
        }
        app.path = path;
        app.seen = true;
        found.push_back(&app);
    }
    // Applications no longer listed are gone; their names are never used again.
    for (auto it = applications.begin(); it != applications.end();)
        it = it->second.seen ? std::next(it) : applications.erase(it);

    // Every call leaves before any answer is awaited: the owners from the bus daemon, and the
    // probe and accessible name from each application's main loop.
    const Clock::time_point sent = Clock::now();
    const std::uint64_t limitUs = CALL_BACKSTOP_US;
    for (Application *app : found)
    {
        app->probed = true;
        app->answer = -1;
        app->sent = sent;
        app->deadline = sent + std::chrono::hours(1);
        if (app->pid == 0)
            SendAsync("org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                      "GetConnectionUnixProcessID", OnProcess, Tag(app->id), limitUs, app->bus.c_str());
        if (!SendAsync(app->bus.c_str(), app->path.c_str(), ROOT_INTERFACE, "GetChildren", OnProbe, Tag(app->id),
                       limitUs))
            app->answer = 0;
        SendAsync(app->bus.c_str(), app->path.c_str(), "org.freedesktop.DBus.Properties", "Get", OnName,
                  Tag(app->id), limitUs, ROOT_INTERFACE, "Name");
    }
    sd_bus_flush(accessibilityBus);
    // The owners are needed before the list is handed out: the bus daemon answers at once.
    const bool open = Pump(sent + std::chrono::microseconds(BUS_DAEMON_LIMIT_US), [&found] {
        for (const Application *app : found)
            if (app->pid == 0)
                return false;
        return true;
    });
    if (!open)
    {
        busFailure = "it closed";
        DropBus();
        return false;
    }
    for (const Application *app : found)
    {
        if (app->pid == getpid() || (app->pid != 0 && x11Owners.count(app->pid) != 0))
            continue;
        // One handle per window whose title it gave when it last answered, else one for itself.
        if (app->titles.empty())
            listed.push_back({app->id, 0});
        for (std::uint32_t k = 1; k <= app->titles.size(); ++k)
            listed.push_back({app->id, k});
    }
    return true;
}

std::set<pid_t> ListedProcesses()
{
    std::set<pid_t> pids;
    for (const auto &entry : applications)
        if (entry.second.pid != 0)
            pids.insert(entry.second.pid);
    return pids;
}

int AwaitProbe(std::uint32_t application, unsigned timeoutMs)
{
    Application *app = ById(application);
    if (app == nullptr || !app->probed || accessibilityBus == nullptr)
        return -1;
    app->deadline = app->sent + std::chrono::milliseconds(timeoutMs);
    const std::uint32_t id = app->id;
    if (!Pump(app->deadline, [id] {
            const Application *a = ById(id);
            return a == nullptr || a->answer != -1;
        }))
        LoseBus();
    app = ById(id);
    if (app == nullptr)
        return -2;
    return app->answer == -1 ? 0 : app->answer;
}

bool FinishProbes()
{
    if (accessibilityBus == nullptr)
        return !lostInScan;
    Clock::time_point last = Clock::now();
    for (const auto &entry : applications)
        if (entry.second.probed && entry.second.sent + TITLES_LIMIT > last)
            last = entry.second.sent + TITLES_LIMIT;
    const bool open = Pump(last, [] {
        for (const auto &entry : applications)
        {
            const Application &app = entry.second;
            if (app.probed && app.answer == 1 && app.titlesOut < app.pendingTitles.size() &&
                Clock::now() < app.sent + TITLES_LIMIT)
                return false;
        }
        return true;
    });
    for (auto &entry : applications)
        entry.second.probed = false;
    for (sd_bus_slot *slot : slots)
        sd_bus_slot_unref(slot);
    slots.clear();
    if (!open)
        LoseBus();
    return !lostInScan;
}

bool ApplicationExists(std::uint32_t application)
{
    const Application *app = ById(application);
    if (app == nullptr || accessibilityBus == nullptr)
        return false;
    std::string why;
    sd_bus_message *reply = Call(accessibilityBus, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                                 "org.freedesktop.DBus", "NameHasOwner", BUS_DAEMON_LIMIT_US, why, app->bus.c_str());
    int has = 0;
    if (reply == nullptr || sd_bus_message_read(reply, "b", &has) < 0)
        has = 0;
    sd_bus_message_unref(reply);
    return has != 0;
}

pid_t ApplicationProcess(std::uint32_t application)
{
    const Application *app = ById(application);
    return app != nullptr ? app->pid : 0;
}

bool WindowTitle(std::uint32_t application, std::uint32_t window, std::string &title)
{
    const Application *app = ById(application);
    if (app == nullptr || window == 0 || window > app->titles.size())
        return false;
    title = app->titles[window - 1];
    return true;
}

bool ProgramName(std::uint32_t application, std::string &name)
{
    const Application *app = ById(application);
    if (app == nullptr)
        return false;
    name = app->pid != 0 ? DesktopEntryName(app->pid) : "";
    if (name.empty())
        name = app->accessibleName;
    if (name.empty() && app->pid != 0)
    {
        // The command line, its arguments parted by spaces: an interpreter's script shows.
        name = ReadProcessFile(app->pid, "cmdline");
        while (!name.empty() && name.back() == '\0')
            name.pop_back();
        for (char &c : name)
            if (c == '\0')
                c = ' ';
    }
    return !name.empty();
}

} // namespace hungscan_accessibility

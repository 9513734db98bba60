// A scene of real X11 top-level windows for the end-to-end tests, each group on a thread and a
// display connection of its own.
//
//   xscene GROUP...     GROUP = KIND[=MS][*COUNT][+MARK...]:HEX[:HEX...]   (see scene_args.h)
//
// KIND is "answer" (answers pings at once), "frozen" (creates its windows, then never reads an
// event again), "slow" (answers each ping MS milliseconds late, serving everything else
// meanwhile), "noping" (takes no part in the ping protocol), "churn" (creates and destroys its
// windows over and over, answering pings, until the scene ends), "grab" (holds the whole server
// for MS milliseconds once its windows exist, as a client stopped in a debugger mid-grab does,
// then answers), "forge" (answers its own pings, and with each answer forges answers for
// every other top-level window, with stamps near its own) or "spin" (creates its windows, then
// computes on its thread without pause, never reading an event, while the main thread waits). The marks "+foreign", "+nopid"
// and "+liar" change what the windows claim of their owner; "+moves" has a frozen group's windows
// moved into another window of its own when a line reaches standard input. Every HEX is one window's name (_NET_WM_NAME and WM_NAME), hex-encoded;
// COUNT repeats the group's windows on the same connection.
//
// Prints "ready" once every window exists and is mapped, and exits when standard input closes.

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "scene_args.h"

namespace {

enum Kind { kAnswer, kFrozen, kSlow, kNoPing, kChurn, kGrab, kForge, kSpin };

struct Group
{
    Kind kind = kAnswer;
    long delayMs = 0;
    unsigned count = 1;
    bool foreign = false;
    bool noPid = false;
    bool liar = false;
    bool moves = false;
    std::vector<std::string> names;
};

std::mutex mutex;
std::condition_variable changed;
unsigned groupsReady = 0;
bool stopping = false;
bool moveAsked = false; // a line came on standard input

bool ParseGroup(const std::string &arg, Group &group)
{
    SceneGroupArgs parsed;
    if (!ParseSceneGroup(arg, parsed))
        return false;
    if (parsed.kind == "answer")
        group.kind = kAnswer;
    else if (parsed.kind == "frozen")
        group.kind = kFrozen;
    else if (parsed.kind == "slow")
        group.kind = kSlow;
    else if (parsed.kind == "noping")
        group.kind = kNoPing;
    else if (parsed.kind == "churn")
        group.kind = kChurn;
    else if (parsed.kind == "grab")
        group.kind = kGrab;
    else if (parsed.kind == "forge")
        group.kind = kForge;
    else if (parsed.kind == "spin")
        group.kind = kSpin;
    else
        return false;
    group.delayMs = parsed.delayMs;
    group.count = parsed.count;
    group.foreign = parsed.foreign;
    group.noPid = parsed.noPid;
    group.liar = parsed.liar;
    group.moves = parsed.moves;
    group.names = parsed.captions;
    return true;
}

struct Connection
{
    Display *display;
    Atom wmProtocols, wmDeleteWindow, netWmPing, netWmName, utf8String, netWmPid;
};

Window CreateSceneWindow(const Connection &c, const Group &group, const std::string &name)
{
    Display *d = c.display;
    const int screen = DefaultScreen(d);
    Window window = XCreateSimpleWindow(d, RootWindow(d, screen), 10, 10, 200, 100, 1, BlackPixel(d, screen),
                                        WhitePixel(d, screen));
    Atom protocols[2] = {c.wmDeleteWindow, c.netWmPing};
    XSetWMProtocols(d, window, protocols, group.kind == kNoPing ? 1 : 2);
    const unsigned char *bytes = reinterpret_cast<const unsigned char *>(name.data());
    XChangeProperty(d, window, c.netWmName, c.utf8String, 8, PropModeReplace, bytes, static_cast<int>(name.size()));
    XChangeProperty(d, window, XA_WM_NAME, XA_STRING, 8, PropModeReplace, bytes, static_cast<int>(name.size()));
    char host[HOST_NAME_MAX + 1] = {};
    gethostname(host, sizeof host - 1);
    const std::string machine = group.foreign ? "elsewhere.invalid" : host;
    XChangeProperty(d, window, XA_WM_CLIENT_MACHINE, XA_STRING, 8, PropModeReplace,
                    reinterpret_cast<const unsigned char *>(machine.data()), static_cast<int>(machine.size()));
    const long pid = static_cast<long>(group.liar ? getppid() : getpid());
    if (!group.noPid)
        XChangeProperty(d, window, c.netWmPid, XA_CARDINAL, 32, PropModeReplace,
                        reinterpret_cast<const unsigned char *>(&pid), 1);
    XSelectInput(d, window, StructureNotifyMask);
    XMapWindow(d, window);
    return window;
}

struct PendingReply
{
    std::chrono::steady_clock::time_point due;
    XEvent event;
};

// Answers in the name of every other top-level window, with stamps around the one this client
// was sent: what a local client that wants a frozen window hidden could do.
void Forge(Display *d, const XEvent &answer, std::vector<PendingReply> &pending)
{
    Window root = 0, parent = 0, *children = nullptr;
    unsigned count = 0;
    if (!XQueryTree(d, DefaultRootWindow(d), &root, &parent, &children, &count))
        return;
    const long stamp = answer.xclient.data.l[1];
    for (unsigned i = 0; i < count; ++i)
    {
        if (children[i] == static_cast<Window>(answer.xclient.data.l[2]))
            continue;
        for (long near = -32; near <= 32; ++near)
        {
            XEvent forged = answer;
            forged.xclient.data.l[1] = (stamp + near) & 0xFFFFFFFFL;
            forged.xclient.data.l[2] = static_cast<long>(children[i]);
            pending.push_back({std::chrono::steady_clock::now(), forged});
        }
    }
    XFree(children);
}

// Answers what came in: pings go back to the root window, as the EWMH asks.
void Serve(const Connection &c, const Group &group, std::vector<PendingReply> &pending)
{
    Display *d = c.display;
    while (XPending(d) > 0)
    {
        XEvent event;
        XNextEvent(d, &event);
        if (event.type != ClientMessage || event.xclient.message_type != c.wmProtocols ||
            static_cast<Atom>(event.xclient.data.l[0]) != c.netWmPing)
            continue;
        event.xclient.window = DefaultRootWindow(d);
        const auto delay = std::chrono::milliseconds(group.kind == kSlow ? group.delayMs : 0);
        pending.push_back({std::chrono::steady_clock::now() + delay, event});
        if (group.kind == kForge)
            Forge(d, event, pending);
    }
    // Thousands of pings can come in one read: what is not due yet is kept in one pass, as
    // erasing each answer sent from the front would cost the scene a second at 20,000 windows,
    // and every scanner would see its windows answer late.
    const auto now = std::chrono::steady_clock::now();
    std::vector<PendingReply> later;
    for (PendingReply &reply : pending)
    {
        if (reply.due > now)
            later.push_back(reply);
        else
            XSendEvent(d, DefaultRootWindow(d), False, SubstructureNotifyMask | SubstructureRedirectMask,
                       &reply.event);
    }
    pending.swap(later);
    XFlush(d);
}

int NextWaitMs(const std::vector<PendingReply> &pending)
{
    int wait = 100;
    const auto now = std::chrono::steady_clock::now();
    for (const PendingReply &reply : pending)
    {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(reply.due - now).count();
        wait = static_cast<int>(std::max<long long>(0, std::min<long long>(wait, left)));
    }
    return wait;
}

void RunGroup(Group group)
{
    Connection c = {};
    // A server busy with another test's thousands of windows may turn a connection away for a
    // moment: try again, for a while.
    for (int attempt = 0; attempt < 40 && c.display == nullptr; ++attempt)
    {
        c.display = XOpenDisplay(nullptr);
        if (c.display == nullptr)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    if (c.display == nullptr)
    {
        std::printf("error: cannot open display\n");
        std::fflush(stdout);
        std::_Exit(2);
    }
    Display *d = c.display;
    c.wmProtocols = XInternAtom(d, "WM_PROTOCOLS", False);
    c.wmDeleteWindow = XInternAtom(d, "WM_DELETE_WINDOW", False);
    c.netWmPing = XInternAtom(d, "_NET_WM_PING", False);
    c.netWmName = XInternAtom(d, "_NET_WM_NAME", False);
    c.utf8String = XInternAtom(d, "UTF8_STRING", False);
    c.netWmPid = XInternAtom(d, "_NET_WM_PID", False);

    std::vector<Window> windows;
    auto createAll = [&]() {
        for (unsigned n = 0; n < group.count; ++n)
            for (const std::string &name : group.names)
                windows.push_back(CreateSceneWindow(c, group, name));
        XSync(d, False);
    };
    if (group.kind != kChurn)
        createAll();
    // Made after the group's windows, so that they have the ids a scene without it gives them.
    const Window holder = group.moves ? XCreateSimpleWindow(d, DefaultRootWindow(d), 0, 0, 400, 400, 0, 0, 0) : 0;
    if (group.moves)
        XSync(d, False);
    {
        std::lock_guard<std::mutex> lock(mutex);
        ++groupsReady;
    }
    changed.notify_all();

    if (group.kind == kGrab)
    {
        XGrabServer(d);
        XSync(d, False);
        std::this_thread::sleep_for(std::chrono::milliseconds(group.delayMs));
        XUngrabServer(d);
        XSync(d, False);
    }
    if (group.kind == kSpin)
    {
        for (volatile unsigned long spun = 0;; spun = spun + 1)
            if (spun % 1000000 == 0)
            {
                std::lock_guard<std::mutex> lock(mutex);
                if (stopping)
                    return;
            }
    }
    if (group.kind == kFrozen)
    {
        // Never read an event again: this is what a deadlocked client looks like.
        std::unique_lock<std::mutex> lock(mutex);
        changed.wait(lock, [&group] { return stopping || (group.moves && moveAsked); });
        if (!stopping)
        {
            // Moved by a request of its own, as a window manager would move it: no event read.
            for (const Window window : windows)
                XReparentWindow(d, window, holder, 0, 0);
            XSync(d, False);
        }
        changed.wait(lock, [] { return stopping; });
        return;
    }
    std::vector<PendingReply> pending;
    for (;;)
    {
        {
            std::lock_guard<std::mutex> lock(mutex);
            if (stopping)
                return;
        }
        pollfd fd = {ConnectionNumber(d), POLLIN, 0};
        if (group.kind == kChurn)
        {
            // A few milliseconds of life each: brisk, but leaving the X server to the others.
            createAll();
            Serve(c, group, pending);
            poll(&fd, 1, 5);
            Serve(c, group, pending);
            for (Window window : windows)
                XDestroyWindow(d, window);
            windows.clear();
            XSync(d, False);
            poll(&fd, 1, 5);
        }
        // Xlib may already hold events it read while sending: the socket would not wake the
        // poll for them, and every ping they carry would wait out the poll's timeout.
        else if (XEventsQueued(d, QueuedAlready) == 0)
            poll(&fd, 1, NextWaitMs(pending));
        Serve(c, group, pending);
    }
}

} // namespace

int main(int argc, char **argv)
{
    XInitThreads();
    std::vector<std::thread> threads;
    for (int i = 1; i < argc; ++i)
    {
        Group group;
        if (!ParseGroup(argv[i], group))
        {
            std::printf("error: bad group '%s'\n", argv[i]);
            return 2;
        }
        // One group at a time, so windows stack in the order the groups are given.
        threads.emplace_back(RunGroup, group);
        std::unique_lock<std::mutex> lock(mutex);
        changed.wait(lock, [i] { return groupsReady == static_cast<unsigned>(i); });
    }
    std::printf("ready\n");
    std::fflush(stdout);

    for (int c = std::getchar(); c != EOF; c = std::getchar())
        if (c == '\n')
        {
            std::lock_guard<std::mutex> lock(mutex);
            moveAsked = true;
            changed.notify_all();
        }
    // Frozen threads hold their connections open to the end; leave without waiting for them.
    std::fflush(stdout);
    std::_Exit(0);
}

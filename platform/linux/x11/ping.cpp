#include "ping.h"

#include "atoms.h"
#include "properties.h"

#include <sys/random.h>

#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <mutex>
#include <random>
#include <unordered_map>
#include <unordered_set>

namespace hungscan_x11 {
namespace {

// How many pings leave together. Small enough that the first of a batch waits for the last
// only for the time it takes to write a few kilobytes.
constexpr size_t PING_BATCH = 64;

// What one outstanding ping costs: this, in a hash-map node.
struct PendingPing
{
    std::uint32_t stamp;
    bool sent;
    bool hasAnswer;
    bool refused; // the server would not deliver it: the window is gone
    bool destroyed; // the window was destroyed while the ping was out
    Clock::time_point sentAt;
    Clock::time_point answered;
};

// Shared with the event thread, which may still be reading when the program ends: never
// destroyed.
struct Pings
{
    std::mutex mutex;
    std::condition_variable answered;
    std::unordered_map<xcb_window_t, PendingPing> pending;
    // How many times each window id was seen destroyed, and in which enumeration last: a
    // handle carries its window's count, so that it never names a window that took the id
    // since. Kept while the id is listed or watched, and one enumeration after.
    struct Generation
    {
        std::uint32_t count;
        std::uint64_t scan;
    };
    std::unordered_map<xcb_window_t, Generation> generations;
    std::uint64_t scan = 0;
    // Windows whose own destruction the listener hears of (StructureNotify on the window itself,
    // or the root's report of its child): every window pinged, from before its ping leaves
    // until the enumeration ends, and those that did not answer between enumerations too,
    // which a watch holds on to. Only a window's own destruction counts: a window manager's
    // frame goes whenever the manager restarts or ends, with its client alive, and a stopped
    // manager does not take its frame away when the client goes.
    std::unordered_set<xcb_window_t> watched;
    // Of those, the ones with a selection of their own. A child of the root window needs none
    // while the root is listened to (during an enumeration): the root's selection reports the
    // child's own destruction, and thousands of selections made and taken back are work for
    // the server and for this program alike.
    std::unordered_set<xcb_window_t> selected;
    xcb_window_t root = XCB_WINDOW_NONE;
    std::unordered_set<xcb_window_t> unanswered; // in this enumeration
    // Windows this enumeration found outside the protocol: nothing to ping, nothing to ask again.
    std::unordered_set<xcb_window_t> outside;
};

Pings &pings = *new Pings;

// Every client listening on the root window sees every answer, so a stamp must not be
// guessable from the one a client was sent itself: each is drawn at random. Late answers to
// another run's pings cannot match either.
void DrawStamps(std::vector<std::uint32_t> &stamps)
{
    char *bytes = reinterpret_cast<char *>(stamps.data());
    size_t left = stamps.size() * sizeof(std::uint32_t);
    while (left > 0)
    {
        const ssize_t got = getrandom(bytes, left, 0);
        if (got <= 0)
            break;
        bytes += got;
        left -= static_cast<size_t>(got);
    }
    if (left > 0)
    {
        std::random_device device;
        for (std::uint32_t &stamp : stamps)
            stamp = device();
    }
}

// Returns the request's sequence number, by which the server names it in an error.
unsigned SendPing(xcb_connection_t *c, xcb_window_t window, std::uint32_t stamp)
{
    xcb_client_message_event_t event = {};
    event.response_type = XCB_CLIENT_MESSAGE;
    event.format = 32;
    event.window = window;
    event.type = atoms.wmProtocols;
    event.data.data32[0] = atoms.netWmPing;
    event.data.data32[1] = stamp;
    event.data.data32[2] = window;
    return xcb_send_event(c, 0, window, XCB_EVENT_MASK_NO_EVENT, reinterpret_cast<const char *>(&event)).sequence;
}

// A ping is a request without a reply, so the server's refusal (a window destroyed since it was
// listed) comes back as an event of the main connection. Takes every such event XCB has read:
// left there, they would pile up for as long as the program runs.
template <typename OnError> void TakeErrors(xcb_connection_t *c, OnError onError)
{
    while (xcb_generic_event_t *event = xcb_poll_for_queued_event(c))
    {
        if (event->response_type == 0)
            onError(*reinterpret_cast<const xcb_generic_error_t *>(event));
        std::free(event);
    }
}

// On the listener's thread; below.
void OnListenerEvent(const xcb_generic_event_t &event, Clock::time_point arrived);
void WakePingWaiters();

} // namespace

void SendPings(xcb_connection_t *c, const std::vector<xcb_window_t> &windows, const std::vector<bool> &framed)
{
    HandListenerEvents(OnListenerEvent, WakePingWaiters);
    // Whether each client lists _NET_WM_PING in WM_PROTOCOLS (a list of atoms, never more than
    // this many) is asked first, so the server answers it while the listener's selections are
    // made; each window is pinged as its answer is read.
    constexpr std::size_t MAX_PROTOCOLS = 64;
    std::vector<xcb_get_property_cookie_t> cookies;
    cookies.reserve(windows.size());
    for (const xcb_window_t window : windows)
        cookies.push_back(RequestProperty(c, window, atoms.wmProtocols, XCB_ATOM_ATOM, MAX_PROTOCOLS * 4));
    xcb_flush(c);
    std::vector<xcb_window_t> heard;
    {
        std::lock_guard<std::mutex> lock(pings.mutex);
        // What no handle can hold any longer: ids neither listed nor watched, destroyed before
        // the enumeration before this one.
        std::unordered_set<xcb_window_t> listed(windows.begin(), windows.end());
        for (auto generation = pings.generations.begin(); generation != pings.generations.end();)
        {
            if (generation->second.scan + 1 < pings.scan && !listed.count(generation->first) &&
                !pings.watched.count(generation->first))
                generation = pings.generations.erase(generation);
            else
                ++generation;
        }
        // Every window listed is heard of until the enumeration ends, those outside the protocol
        // too: which they are is not known until their answers are read, and the pings follow
        // at once.
        pings.root = RootWindow();
        for (std::size_t i = 0; i < windows.size(); ++i)
        {
            pings.watched.insert(windows[i]);
            if ((i >= framed.size() || framed[i]) && pings.selected.insert(windows[i]).second)
                heard.push_back(windows[i]);
        }
        pings.pending.reserve(windows.size());
    }
    // From here the listener hears every answer, and the destruction of every window listed.
    ListenToWindows(heard, true);
    ListenToRoot(true);
    ConfirmListening();
    TakeErrors(c, [](const xcb_generic_error_t &) {}); // what earlier calls met is no concern here
    std::vector<std::uint32_t> stamps(windows.size());
    DrawStamps(stamps);
    std::unordered_map<std::uint16_t, xcb_window_t> sequences; // as the server's errors name them
    std::vector<std::size_t> batch;
    batch.reserve(PING_BATCH);
    for (std::size_t i = 0; i <= windows.size(); ++i)
    {
        if (i < windows.size())
        {
            const auto reply = PropertyReply(c, cookies[i]);
            if (reply != nullptr && PropertyListsAtom(reply.get(), atoms.netWmPing))
                batch.push_back(i);
            else
            {
                std::lock_guard<std::mutex> lock(pings.mutex);
                pings.outside.insert(windows[i]);
            }
        }
        if (batch.size() < PING_BATCH && !(i == windows.size() && !batch.empty()))
            continue;
        {
            // In the table before they can leave, so that even the quickest answer finds them.
            std::lock_guard<std::mutex> lock(pings.mutex);
            for (const std::size_t k : batch)
                pings.pending[windows[k]] = PendingPing{stamps[k], false, false, false, false, {}, {}};
        }
        for (const std::size_t k : batch)
        {
            // Errors carry 16 bits of the sequence: past 65,536 pings one could name two, and
            // then names neither.
            const auto sent = sequences.emplace(static_cast<std::uint16_t>(SendPing(c, windows[k], stamps[k])), windows[k]);
            if (!sent.second)
                sent.first->second = XCB_WINDOW_NONE;
        }
        // Once written, each ping of the batch is the server's to deliver: its time starts.
        xcb_flush(c);
        ServerAnswered();
        const Clock::time_point sentAt = Clock::now();
        std::lock_guard<std::mutex> lock(pings.mutex);
        for (const std::size_t k : batch)
        {
            PendingPing &ping = pings.pending[windows[k]];
            ping.sent = true;
            ping.sentAt = sentAt;
        }
        batch.clear();
    }
    if (sequences.empty())
        return;
    // Once this is answered, the server has judged every ping before it: those it refused need
    // not be waited for.
    Await(xcb_get_input_focus_reply, c, xcb_get_input_focus(c));
    std::lock_guard<std::mutex> lock(pings.mutex);
    TakeErrors(c, [&sequences](const xcb_generic_error_t &error) {
        const auto sent = sequences.find(error.sequence);
        if (sent == sequences.end() || sent->second == XCB_WINDOW_NONE)
            return;
        const auto found = pings.pending.find(sent->second);
        if (found != pings.pending.end())
            found->second.refused = true;
    });
}

int AwaitPing(xcb_window_t window, unsigned timeoutMs)
{
    std::unique_lock<std::mutex> lock(pings.mutex);
    auto found = pings.pending.find(window);
    if (found == pings.pending.end() || !found->second.sent)
        return pings.outside.count(window) != 0 ? PING_OUTSIDE_PROTOCOL : -1;
    const PendingPing &ping = found->second;
    const Clock::time_point deadline = ping.sentAt + std::chrono::milliseconds(timeoutMs);
    pings.answered.wait_until(lock, deadline, [&ping] {
        return ping.hasAnswer || ping.refused || ping.destroyed || ConnectionLost();
    });
    // Only an answer that came within this window's own time counts.
    const int result = ping.destroyed ? PING_WINDOW_DESTROYED : ping.hasAnswer && ping.answered <= deadline ? 1 : 0;
    pings.pending.erase(found);
    if (result == 0)
        pings.unanswered.insert(window);
    return result;
}

std::uint32_t WindowGeneration(xcb_window_t window)
{
    std::lock_guard<std::mutex> lock(pings.mutex);
    const auto found = pings.generations.find(window);
    return found != pings.generations.end() ? found->second.count : 0;
}

void BeginScan()
{
    std::lock_guard<std::mutex> lock(pings.mutex);
    ++pings.scan;
    pings.unanswered.clear();
    pings.outside.clear();
}

void ForgetPings(xcb_connection_t *c)
{
    // The windows that did not answer stay heard of until they answer or go; the others, and
    // those an enumeration that stopped early never judged, not.
    std::vector<xcb_window_t> start, stop;
    {
        std::lock_guard<std::mutex> lock(pings.mutex);
        pings.pending.clear();
        // Between enumerations the root is not listened to: each needs a selection of its own.
        for (const xcb_window_t window : pings.unanswered)
        {
            pings.watched.insert(window);
            if (pings.selected.insert(window).second)
                start.push_back(window);
        }
        for (auto window = pings.watched.begin(); window != pings.watched.end();)
        {
            if (pings.unanswered.count(*window) == 0)
            {
                if (pings.selected.erase(*window) != 0)
                    stop.push_back(*window);
                window = pings.watched.erase(window);
            }
            else
                ++window;
        }
    }
    ListenToWindows(start, true);
    if (!start.empty())
        ConfirmListening();
    ListenToWindows(stop, false);
    ListenToRoot(false);
    TakeErrors(c, [](const xcb_generic_error_t &) {});
}

namespace {

// A client message that may answer a ping, and when it arrived.
void NotePingAnswer(const xcb_client_message_event_t &message, Clock::time_point arrived)
{
    if (message.type != atoms.wmProtocols || message.format != 32 || message.data.data32[0] != atoms.netWmPing)
        return;
    const xcb_window_t window = message.data.data32[2];
    const std::uint32_t stamp = message.data.data32[1];
    {
        std::lock_guard<std::mutex> lock(pings.mutex);
        auto found = pings.pending.find(window);
        // Anything else is not ours: a window manager's ping of its own, or one given up on.
        if (found == pings.pending.end() || found->second.stamp != stamp || found->second.hasAnswer ||
            found->second.destroyed)
            return;
        found->second.hasAnswer = true;
        found->second.answered = arrived;
    }
    pings.answered.notify_all();
}

// A window destroyed: gone, whatever takes its id next.
void NoteDestroyed(xcb_window_t window)
{
    {
        std::lock_guard<std::mutex> lock(pings.mutex);
        Pings::Generation &generation = pings.generations[window];
        ++generation.count;
        generation.scan = pings.scan;
        pings.watched.erase(window); // its selection went with it
        pings.selected.erase(window);
        pings.unanswered.erase(window); // nothing left to hear of between enumerations
        auto found = pings.pending.find(window);
        if (found != pings.pending.end())
            found->second.destroyed = true;
    }
    pings.answered.notify_all();
}

// The listening connection is lost: every wait for an answer wakes, to see that.
void WakePingWaiters()
{
    {
        std::lock_guard<std::mutex> lock(pings.mutex);
    }
    pings.answered.notify_all();
}

// The root's report of a child destroyed is that window's own destruction. A window heard of
// both ways (its own selection made while the root's is still on) is destroyed once: the
// server tells the window's own selectors before its parent's, and the first report has
// already taken it off the watched.
bool RootReportsOwnDestruction(const xcb_destroy_notify_event_t &destroyed)
{
    std::lock_guard<std::mutex> lock(pings.mutex);
    return destroyed.event == pings.root && pings.watched.count(destroyed.window) != 0;
}

// A child of the root moved into another window (a window manager that starts takes it into a
// frame) is no longer one the root reports on: from now on it needs a selection of its own.
void FollowMovedWindow(const xcb_reparent_notify_event_t &moved)
{
    {
        std::lock_guard<std::mutex> lock(pings.mutex);
        if (moved.event != pings.root || moved.parent == pings.root || pings.watched.count(moved.window) == 0 ||
            !pings.selected.insert(moved.window).second)
            return;
    }
    ListenToWindows({moved.window}, true);
}

// A selection the server refused because its window is gone (BadWindow): a window destroyed
// before its selection was in force, heard of no other way.
void NoteSelectionRefused(const xcb_generic_error_t &error)
{
    constexpr std::uint8_t BAD_WINDOW = 3;
    if (error.error_code != BAD_WINDOW || error.major_code != XCB_CHANGE_WINDOW_ATTRIBUTES)
        return;
    {
        std::lock_guard<std::mutex> lock(pings.mutex);
        if (pings.watched.count(error.resource_id) == 0 || pings.selected.count(error.resource_id) == 0)
            return;
    }
    NoteDestroyed(error.resource_id);
}

void OnListenerEvent(const xcb_generic_event_t &event, Clock::time_point arrived)
{
    if (event.response_type == 0)
        NoteSelectionRefused(reinterpret_cast<const xcb_generic_error_t &>(event));
    else if ((event.response_type & 0x7F) == XCB_CLIENT_MESSAGE)
        NotePingAnswer(reinterpret_cast<const xcb_client_message_event_t &>(event), arrived);
    else if ((event.response_type & 0x7F) == XCB_DESTROY_NOTIFY)
    {
        // The window's own selection, not the root's report of one of its children: a frame is
        // not its client, and a top-level window heard of both ways is destroyed once.
        const auto &destroyed = reinterpret_cast<const xcb_destroy_notify_event_t &>(event);
        if (destroyed.event == destroyed.window || RootReportsOwnDestruction(destroyed))
            NoteDestroyed(destroyed.window);
    }
    else if ((event.response_type & 0x7F) == XCB_REPARENT_NOTIFY)
        FollowMovedWindow(reinterpret_cast<const xcb_reparent_notify_event_t &>(event));
}

} // namespace

} // namespace hungscan_x11

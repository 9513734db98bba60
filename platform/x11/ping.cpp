#include "ping.h"

#include "atoms.h"
#include "events.h"
#include "properties.h"

#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <mutex>
#include <random>
#include <unordered_map>

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
    // Every client listening on the root window sees every answer, those to the pings of a
    // scan that ran just before this one too. Each run starts its stamps somewhere of its own,
    // so a late answer to another run's ping is never taken for the answer to this one's.
    std::uint32_t nextStamp = static_cast<std::uint32_t>(std::random_device{}() % 0x40000000u) + 1;
};

Pings &pings = *new Pings;

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

} // namespace

void SendPings(xcb_connection_t *c, const std::vector<xcb_window_t> &windows)
{
    const std::vector<bool> takesPart = TakePartInPings(c, windows);
    ServerWait wait;
    ListenForAnswers(true);
    TakeErrors(c, [](const xcb_generic_error_t &) {}); // what earlier calls met is no concern here
    std::unordered_map<std::uint16_t, xcb_window_t> sequences; // as the server's errors name them
    std::vector<xcb_window_t> batch;
    batch.reserve(PING_BATCH);
    for (size_t i = 0; i <= windows.size(); ++i)
    {
        if (i < windows.size() && takesPart[i])
        {
            std::uint32_t stamp = 0;
            {
                // In the table before it can leave, so that even the quickest answer finds it.
                std::lock_guard<std::mutex> lock(pings.mutex);
                stamp = pings.nextStamp++;
                pings.pending[windows[i]] = PendingPing{stamp, false, false, false, {}, {}};
            }
            // Errors carry 16 bits of the sequence: past 65,536 pings one could name two, and then
            // names neither.
            const auto sent = sequences.emplace(static_cast<std::uint16_t>(SendPing(c, windows[i], stamp)), windows[i]);
            if (!sent.second)
                sent.first->second = XCB_WINDOW_NONE;
            batch.push_back(windows[i]);
        }
        if (batch.size() == PING_BATCH || (i == windows.size() && !batch.empty()))
        {
            // Once written, each ping of the batch is the server's to deliver: its time starts.
            xcb_flush(c);
            ServerAnswered();
            const Clock::time_point sentAt = Clock::now();
            std::lock_guard<std::mutex> lock(pings.mutex);
            for (const xcb_window_t window : batch)
            {
                PendingPing &ping = pings.pending[window];
                ping.sent = true;
                ping.sentAt = sentAt;
            }
            batch.clear();
        }
    }
    if (sequences.empty())
        return;
    // Once this is answered, the server has judged every ping before it: those it refused need
    // not be waited for.
    std::free(xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr));
    ServerAnswered();
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
        return -1;
    const PendingPing &ping = found->second;
    const Clock::time_point deadline = ping.sentAt + std::chrono::milliseconds(timeoutMs);
    pings.answered.wait_until(lock, deadline, [&ping] { return ping.hasAnswer || ping.refused || ConnectionLost(); });
    // Only an answer that came within this window's own time counts.
    const bool inTime = ping.hasAnswer && ping.answered <= deadline;
    pings.pending.erase(found);
    return inTime ? 1 : 0;
}

void ForgetPings()
{
    ListenForAnswers(false);
    if (xcb_connection_t *c = Connection())
        TakeErrors(c, [](const xcb_generic_error_t &) {});
    std::lock_guard<std::mutex> lock(pings.mutex);
    pings.pending.clear();
}

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
        if (found == pings.pending.end() || found->second.stamp != stamp || found->second.hasAnswer)
            return;
        found->second.hasAnswer = true;
        found->second.answered = arrived;
    }
    pings.answered.notify_all();
}

void WakePingWaiters()
{
    {
        std::lock_guard<std::mutex> lock(pings.mutex);
    }
    pings.answered.notify_all();
}

} // namespace hungscan_x11

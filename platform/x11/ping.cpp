#include "ping.h"

#include "atoms.h"
#include "properties.h"

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <random>
#include <unordered_map>

namespace hungscan_x11 {
namespace {

// What one outstanding ping costs: this, in a hash-map node.
struct PendingPing
{
    std::uint32_t stamp;
    unsigned long serial;         // of the request that sent it, to tell if the server refused it
    Clock::time_point sent;
    Clock::time_point answered;
    bool hasAnswer;
    bool refused;
};

// Shared with the event thread, which may still be reading when the program ends: never
// destroyed.
struct Pings
{
    std::mutex mutex;
    std::condition_variable answered;
    std::unordered_map<Window, PendingPing> pending;
    // Every client listening on the root window sees every answer, those to the pings of a
    // scan that ran just before this one too. Each run starts its stamps somewhere of its own,
    // so a late answer to another run's ping is never taken for the answer to this one's. Kept
    // under 2^31: the stamp travels as 32 bits and comes back sign-extended.
    std::uint32_t nextStamp = static_cast<std::uint32_t>(std::random_device{}() % 0x40000000u) + 1;
};

Pings &pings = *new Pings;

} // namespace

void SendPings(Display *d, const std::vector<Window> &windows)
{
    ServerWait wait;
    TakeRefusedRequests(); // what earlier calls met is no concern of this batch
    std::vector<Window> batch;
    for (const Window window : windows)
    {
        if (!TakesPartInPings(d, window))
            continue;
        PendingPing ping = {};
        ping.serial = NextRequest(d);
        {
            // In the table before it can leave, so that even the quickest answer finds it.
            std::lock_guard<std::mutex> lock(pings.mutex);
            ping.stamp = pings.nextStamp++;
            pings.pending[window] = ping;
        }
        XEvent event = {};
        event.xclient.type = ClientMessage;
        event.xclient.window = window;
        event.xclient.message_type = atoms.wmProtocols;
        event.xclient.format = 32;
        event.xclient.data.l[0] = static_cast<long>(atoms.netWmPing);
        event.xclient.data.l[1] = static_cast<long>(ping.stamp);
        event.xclient.data.l[2] = static_cast<long>(window);
        XSendEvent(d, window, False, NoEventMask, &event);
        batch.push_back(window);
    }
    // Once the server has answered this, every ping of the batch is in its client's queue: each
    // window's time starts here.
    XSync(d, False);
    const Clock::time_point sent = Clock::now();
    const std::vector<unsigned long> refused = TakeRefusedRequests();

    std::lock_guard<std::mutex> lock(pings.mutex);
    for (const Window window : batch)
    {
        PendingPing &ping = pings.pending[window];
        ping.sent = sent;
        for (const unsigned long serial : refused)
            ping.refused = ping.refused || serial == ping.serial;
    }
}

int AwaitPing(Window window, unsigned timeoutMs)
{
    std::unique_lock<std::mutex> lock(pings.mutex);
    auto found = pings.pending.find(window);
    if (found == pings.pending.end())
        return -1;
    const PendingPing &ping = found->second;
    const Clock::time_point deadline = ping.sent + std::chrono::milliseconds(timeoutMs);
    pings.answered.wait_until(lock, deadline,
                              [&ping] { return ping.hasAnswer || ping.refused || ConnectionLost(); });
    const bool inTime = ping.hasAnswer && ping.answered <= deadline;
    pings.pending.erase(found);
    return inTime ? 1 : 0;
}

void ForgetPings()
{
    std::lock_guard<std::mutex> lock(pings.mutex);
    pings.pending.clear();
}

void NotePingAnswer(const XClientMessageEvent &message, Clock::time_point arrived)
{
    if (message.message_type != atoms.wmProtocols || message.format != 32 ||
        static_cast<Atom>(message.data.l[0]) != atoms.netWmPing)
        return;
    const Window window = static_cast<Window>(message.data.l[2]);
    const std::uint32_t stamp = static_cast<std::uint32_t>(message.data.l[1]);
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

#include "events.h"

#include "atoms.h"
#include "connection.h"
#include "ping.h"

#include <poll.h>

#include <condition_variable>
#include <mutex>
#include <thread>

namespace hungscan_x11 {
namespace {

// How often the thread looks at the main connection's waits when no event comes.
constexpr int WATCH_INTERVAL_MS = 50;

enum class Opening { Pending, Done, Failed };

// Shared with a thread that may still be blocked in a frozen server's greeting when the program
// ends, so never destroyed.
struct Start
{
    std::mutex mutex;
    std::condition_variable changed;
    Opening result = Opening::Pending;
    bool abandoned = false; // the program stopped waiting for the greeting
    Display *main = nullptr;
    // Open for the rest of the program, and held here so that it stays reachable after the
    // thread has given up on a lost server.
    Display *listener = nullptr;
};

void Listen(Display *listener)
{
    for (;;)
    {
        pollfd fd = {ConnectionNumber(listener), POLLIN, 0};
        poll(&fd, 1, WATCH_INTERVAL_MS);
        const Clock::time_point arrived = Clock::now();
        // XPending reads what the socket holds without blocking; on a broken connection it
        // reports the loss through the exit handler and returns 0.
        while (!ConnectionLost() && XPending(listener) > 0)
        {
            XEvent event;
            XNextEvent(listener, &event);
            if (event.type == ClientMessage)
                NotePingAnswer(event.xclient, arrived);
        }
        if (ConnectionLost())
            return;
        EnforceServerWaitLimit(Clock::now());
    }
}

void ConnectionGone(Display *, void *)
{
    MarkConnectionLost();
}

// Without its own exit handler, a display whose connection breaks ends the whole program.
Display *Open()
{
    Display *d = XOpenDisplay(nullptr);
    if (d != nullptr)
        XSetIOErrorExitHandler(d, ConnectionGone, nullptr);
    return d;
}

void Run(Start *start)
{
    Display *main = Open();
    Display *listener = main != nullptr ? Open() : nullptr;
    if (listener != nullptr)
    {
        InternAtoms(main);
        // Clients answer a ping on the root window, each toolkit with its own event mask: GTK
        // with SubstructureNotify | SubstructureRedirect, Qt with StructureNotify |
        // SubstructureRedirect. Redirect belongs to the window manager alone; the two notify
        // masks together see every answer.
        XSelectInput(listener, DefaultRootWindow(listener), StructureNotifyMask | SubstructureNotifyMask);
        XSync(listener, False);
    }
    {
        std::lock_guard<std::mutex> lock(start->mutex);
        if (start->abandoned)
            return;
        start->main = main;
        start->listener = listener;
        start->result = listener != nullptr ? Opening::Done : Opening::Failed;
    }
    start->changed.notify_all();
    if (listener != nullptr)
        Listen(listener);
}

} // namespace

bool OpenConnections(Display **main, int timeoutMs)
{
    static Start *const start = new Start;
    std::thread(Run, start).detach();
    std::unique_lock<std::mutex> lock(start->mutex);
    if (!start->changed.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                 [] { return start->result != Opening::Pending; }))
    {
        start->abandoned = true;
        return false;
    }
    if (start->result != Opening::Done)
        return false;
    *main = start->main;
    return true;
}

} // namespace hungscan_x11

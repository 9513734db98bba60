#include "events.h"

#include "atoms.h"
#include "connection.h"
#include "ping.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <cstdlib>
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
    xcb_connection_t *main = nullptr;
    xcb_window_t root = XCB_WINDOW_NONE;
    // Open for the rest of the program, and held here so that it stays reachable after the
    // thread has given up on a lost server.
    xcb_connection_t *listener = nullptr;
};

// Set once, before the connection is handed to the main thread.
xcb_connection_t *listening = nullptr;
xcb_window_t listeningRoot = XCB_WINDOW_NONE;
std::atomic<int> listeningFd{-1};
bool listeningOn = false; // the main thread's to change

void Listen(xcb_connection_t *listener)
{
    pollfd fd = {xcb_get_file_descriptor(listener), POLLIN, 0};
    for (;;)
    {
        poll(&fd, 1, WATCH_INTERVAL_MS);
        const Clock::time_point arrived = Clock::now();
        // Reads what the socket holds without blocking.
        while (xcb_generic_event_t *event = xcb_poll_for_event(listener))
        {
            if ((event->response_type & 0x7F) == XCB_CLIENT_MESSAGE)
                NotePingAnswer(*reinterpret_cast<const xcb_client_message_event_t *>(event), arrived);
            std::free(event);
        }
        if (xcb_connection_has_error(listener))
            MarkConnectionLost();
        if (ConnectionLost())
            return;
        EnforceServerWaitLimit(Clock::now());
    }
}

// libxcb copies the reason a server gives for refusing a connection ("Invalid
// MIT-MAGIC-COOKIE-1 key") to standard error byte for byte, whatever it holds. The program
// says what failed on standard output instead, so standard error points at /dev/null while
// the greeting is read (nothing else of the program writes there meanwhile).
xcb_connection_t *ConnectQuietly(int *screenNumber)
{
    const int saved = fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 3);
    const int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (saved >= 0 && null >= 0)
        dup2(null, STDERR_FILENO);
    if (null >= 0)
        close(null);
    xcb_connection_t *c = xcb_connect(nullptr, screenNumber);
    if (saved >= 0)
    {
        dup2(saved, STDERR_FILENO);
        close(saved);
    }
    return c;
}

// A connection that could not be made, or whose greeting refused us, is in error at once.
xcb_connection_t *Open(xcb_window_t *root)
{
    int screenNumber = 0;
    xcb_connection_t *c = ConnectQuietly(&screenNumber);
    if (xcb_connection_has_error(c))
    {
        xcb_disconnect(c);
        return nullptr;
    }
    xcb_screen_iterator_t screens = xcb_setup_roots_iterator(xcb_get_setup(c));
    for (int i = 0; i < screenNumber && screens.rem > 0; ++i)
        xcb_screen_next(&screens);
    if (screens.rem == 0)
    {
        xcb_disconnect(c);
        return nullptr;
    }
    *root = screens.data->root;
    return c;
}

void Run(Start *start)
{
    xcb_window_t root = XCB_WINDOW_NONE, listenerRoot = XCB_WINDOW_NONE;
    xcb_connection_t *main = Open(&root);
    xcb_connection_t *listener = main != nullptr ? Open(&listenerRoot) : nullptr;
    const bool ready = listener != nullptr && InternAtoms(main);
    if (ready)
    {
        listening = listener;
        listeningRoot = listenerRoot;
        listeningFd = xcb_get_file_descriptor(listener);
    }
    {
        std::lock_guard<std::mutex> lock(start->mutex);
        if (start->abandoned)
            return;
        start->main = main;
        start->root = root;
        start->listener = listener;
        start->result = ready ? Opening::Done : Opening::Failed;
    }
    start->changed.notify_all();
    if (ready)
        Listen(listener);
}

} // namespace

void ListenForAnswers(bool on)
{
    if (listening == nullptr || on == listeningOn)
        return;
    listeningOn = on;
    // Clients answer a ping on the root window, each toolkit with its own event mask: GTK with
    // SubstructureNotify | SubstructureRedirect, Qt with StructureNotify | SubstructureRedirect.
    // Redirect belongs to the window manager alone; the two notify masks together see every
    // answer.
    const uint32_t mask = on ? XCB_EVENT_MASK_STRUCTURE_NOTIFY | XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY : 0;
    const xcb_void_cookie_t cookie =
        xcb_change_window_attributes_checked(listening, listeningRoot, XCB_CW_EVENT_MASK, &mask);
    if (on)
    {
        std::free(xcb_request_check(listening, cookie));
        ServerAnswered();
    }
    else
    {
        xcb_discard_reply(listening, cookie.sequence);
        xcb_flush(listening);
    }
}

int ListenerFd()
{
    return listeningFd;
}

bool OpenConnections(xcb_connection_t **main, xcb_window_t *root, int timeoutMs)
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
    *root = start->root;
    return true;
}

} // namespace hungscan_x11

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
    std::uint32_t failure = 0; // why it failed
    unsigned generation = 0;   // which opening of the program's it is
    bool abandoned = false; // the program stopped waiting for the greeting
    Start *previous = nullptr; // the opening before, if any
    xcb_connection_t *main = nullptr;
    xcb_window_t root = XCB_WINDOW_NONE;
    // Open for the rest of the program, and held here so that it stays reachable after the
    // thread has given up on a lost server.
    xcb_connection_t *listener = nullptr;
};

// Set before the connection is handed to the main thread, anew at each opening.
xcb_connection_t *listening = nullptr;
xcb_window_t listeningRoot = XCB_WINDOW_NONE;
std::atomic<int> listeningFd{-1};
bool listeningOn = false; // the main thread's to change
// The opening whose listener speaks for the connection: a listener left over from a stalled
// one ends quietly, without touching the state of the one that replaced it.
std::atomic<unsigned> currentGeneration{0};

void Listen(xcb_connection_t *listener, unsigned generation)
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
            else if ((event->response_type & 0x7F) == XCB_DESTROY_NOTIFY)
                NoteDestroyed(reinterpret_cast<const xcb_destroy_notify_event_t *>(event)->window);
            std::free(event);
        }
        if (generation != currentGeneration)
            return;
        if (xcb_connection_has_error(listener))
            MarkConnectionLost(X11_ERROR_GONE);
        if (ConnectionLost())
            return;
        EnforceServerWaitLimit(Clock::now());
    }
}

// libxcb copies the reason a server gives for refusing a connection ("Invalid
// MIT-MAGIC-COOKIE-1 key") to standard error byte for byte, whatever it holds. The program
// says what failed in its own words instead, so standard error points at a pipe of its own
// while the greeting is read: anything in it means the server turned the client away. A
// greeting given up on hands standard error back at once, for the program's own line.
struct QuietStandardError
{
    std::mutex mutex;
    int saved = -1; // the program's standard error while it is lent out
};

QuietStandardError &quiet = *new QuietStandardError;

void GiveBackStandardError()
{
    std::lock_guard<std::mutex> lock(quiet.mutex);
    if (quiet.saved >= 0)
    {
        dup2(quiet.saved, STDERR_FILENO);
        close(quiet.saved);
        quiet.saved = -1;
    }
}

xcb_connection_t *ConnectQuietly(int *screenNumber, bool *refused)
{
    int reason[2] = {-1, -1};
    {
        std::lock_guard<std::mutex> lock(quiet.mutex);
        // Non-blocking: a reason longer than the pipe holds is cut, never waited on.
        if (pipe2(reason, O_CLOEXEC | O_NONBLOCK) == 0)
        {
            quiet.saved = fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 3);
            if (quiet.saved >= 0)
                dup2(reason[1], STDERR_FILENO);
            close(reason[1]);
        }
    }
    xcb_connection_t *c = xcb_connect(nullptr, screenNumber);
    GiveBackStandardError();
    char byte = 0;
    *refused = reason[0] >= 0 && read(reason[0], &byte, 1) == 1;
    if (reason[0] >= 0)
        close(reason[0]);
    return c;
}

// A connection that could not be made, or whose greeting refused us, is in error at once.
xcb_connection_t *Open(xcb_window_t *root, std::uint32_t *failure)
{
    const char *display = std::getenv("DISPLAY");
    if (display == nullptr || *display == '\0')
    {
        *failure = X11_ERROR_NO_DISPLAY;
        return nullptr;
    }
    int screenNumber = 0;
    bool refused = false;
    xcb_connection_t *c = ConnectQuietly(&screenNumber, &refused);
    if (xcb_connection_has_error(c))
    {
        *failure = refused ? X11_ERROR_REFUSED : X11_ERROR_CANNOT_CONNECT;
        xcb_disconnect(c);
        return nullptr;
    }
    xcb_screen_iterator_t screens = xcb_setup_roots_iterator(xcb_get_setup(c));
    for (int i = 0; i < screenNumber && screens.rem > 0; ++i)
        xcb_screen_next(&screens);
    if (screens.rem == 0)
    {
        *failure = X11_ERROR_CANNOT_CONNECT;
        xcb_disconnect(c);
        return nullptr;
    }
    *root = screens.data->root;
    return c;
}

void Run(Start *start)
{
    xcb_window_t root = XCB_WINDOW_NONE, listenerRoot = XCB_WINDOW_NONE;
    std::uint32_t failure = 0;
    xcb_connection_t *main = Open(&root, &failure);
    xcb_connection_t *listener = main != nullptr ? Open(&listenerRoot, &failure) : nullptr;
    // Atoms the server does not answer for: the link closed after the greeting.
    const bool ready = listener != nullptr && InternAtoms(main);
    if (listener != nullptr && !ready)
        failure = X11_ERROR_GONE;
    {
        std::lock_guard<std::mutex> lock(start->mutex);
        if (start->abandoned)
        {
            // The greeting came after the program stopped waiting for it.
            for (xcb_connection_t *c : {main, listener})
                if (c != nullptr)
                    xcb_disconnect(c);
            return;
        }
        if (ready)
        {
            listening = listener;
            listeningRoot = listenerRoot;
            listeningFd = xcb_get_file_descriptor(listener);
            listeningOn = false;
            currentGeneration = start->generation;
        }
        start->main = main;
        start->root = root;
        start->listener = listener;
        start->failure = failure;
        start->result = ready ? Opening::Done : Opening::Failed;
    }
    start->changed.notify_all();
    if (ready)
        Listen(listener, start->generation);
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

void WatchDestruction(const std::vector<xcb_window_t> &windows, bool on)
{
    if (listening == nullptr)
        return;
    // No replies: a window gone already earns an error event, which the listener drops.
    const uint32_t mask = on ? XCB_EVENT_MASK_STRUCTURE_NOTIFY : 0;
    for (const xcb_window_t window : windows)
        xcb_change_window_attributes(listening, window, XCB_CW_EVENT_MASK, &mask);
    if (!on)
        xcb_flush(listening);
}

int ListenerFd()
{
    return listeningFd;
}

std::uint32_t OpenConnections(xcb_connection_t **main, xcb_window_t *root, int timeoutMs)
{
    // Each opening's Start stays reachable from the next: a thread may still hold it.
    static Start *latest = nullptr;
    Start *const start = new Start;
    start->previous = latest;
    start->generation = latest != nullptr ? latest->generation + 1 : 1;
    latest = start;
    std::thread(Run, start).detach();
    std::unique_lock<std::mutex> lock(start->mutex);
    if (!start->changed.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                 [start] { return start->result != Opening::Pending; }))
    {
        start->abandoned = true;
        GiveBackStandardError();
        return X11_ERROR_NO_ANSWER;
    }
    if (start->result != Opening::Done)
        return start->failure;
    *main = start->main;
    *root = start->root;
    return 0;
}

} // namespace hungscan_x11

#include "connection.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <mutex>
#include <thread>

namespace hungscan_x11 {
namespace {

// How often the listener looks at the main connection's waits when no event comes.
constexpr int WATCH_INTERVAL_MS = 50;

// Standard streams the program was started without would be taken by the next descriptors
// opened, the X connection among them: the final read would then consume X protocol, and a
// diagnostic would be written into it. Hold them with /dev/null before anything is opened,
// read-only, so that writing to a missing output fails as it does on Windows.
struct HoldStandardStreams
{
    HoldStandardStreams()
    {
        for (int fd = 0; fd <= 2; ++fd)
            if (fcntl(fd, F_GETFD) == -1 && errno == EBADF)
                open("/dev/null", O_RDONLY); // takes the lowest free descriptor: this one
    }
} const holdStandardStreams;

// Windows has no SIGPIPE: a write to a pipe whose reader has gone fails and the program goes
// on. Keep that here, so the program meets the same platform (the X socket included).
struct IgnoreSigpipe
{
    IgnoreSigpipe() { std::signal(SIGPIPE, SIG_IGN); }
} const ignoreSigpipe;

enum class State { Untried, Open, Unusable };

// The main thread's.
State state = State::Untried;
xcb_connection_t *mainConnection = nullptr;
xcb_window_t root = XCB_WINDOW_NONE;
int waitDepth = 0;

// Shared with the listener.
// Why the connection cannot be used; 0 while it can.
std::atomic<std::uint32_t> failure{0};
std::atomic<int> mainFd{-1};
// When the current ServerWait began or last heard from the server, in steady-clock ticks; 0
// while none is under way.
std::atomic<Clock::rep> waitingSince{0};
std::atomic<EventHandler> eventHandler{nullptr};
std::atomic<LossHandler> lossHandler{nullptr};
std::atomic<GoneHandler> goneHandler{nullptr};

// The listening connection, set before the main one is handed over, anew at each opening.
xcb_connection_t *listening = nullptr;
xcb_window_t listeningRoot = XCB_WINDOW_NONE;
std::atomic<int> listeningFd{-1};
bool listeningOn = false; // the main thread's to change
// The opening whose listener speaks for the connection: a listener left over from a stalled
// one ends quietly, without touching the state of the one that replaced it.
std::atomic<unsigned> currentGeneration{0};

void MarkLost(std::uint32_t why)
{
    std::uint32_t none = 0;
    if (!failure.compare_exchange_strong(none, why))
        return;
    if (const LossHandler onLoss = lossHandler)
        onLoss();
    // A display that closed is gone for good; one that stalled may come back.
    if (why != X11_ERROR_NO_ANSWER)
        if (const GoneHandler onGone = goneHandler)
            onGone();
}

// Cuts both connections once a ServerWait has waited too long for the server: the blocked call
// sees the end of its connection, and XCB returns a failure.
void EnforceServerWaitLimit(Clock::time_point now)
{
    const Clock::rep since = waitingSince;
    if (since == 0 || now - Clock::time_point(Clock::duration(since)) < std::chrono::milliseconds(SERVER_REPLY_TIMEOUT_MS))
        return;
    MarkLost(X11_ERROR_NO_ANSWER);
    for (const int fd : {mainFd.load(), listeningFd.load()})
        if (fd >= 0)
            shutdown(fd, SHUT_RDWR);
}

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
            if (const EventHandler onEvent = eventHandler)
                onEvent(*event, arrived);
            std::free(event);
        }
        if (generation != currentGeneration)
            return;
        if (xcb_connection_has_error(listener))
            MarkLost(X11_ERROR_GONE);
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
xcb_connection_t *Open(xcb_window_t *screenRoot, std::uint32_t *why)
{
    const char *display = std::getenv("DISPLAY");
    if (display == nullptr || *display == '\0')
    {
        *why = X11_ERROR_NO_DISPLAY;
        return nullptr;
    }
    int screenNumber = 0;
    bool refused = false;
    xcb_connection_t *c = ConnectQuietly(&screenNumber, &refused);
    if (xcb_connection_has_error(c))
    {
        *why = refused ? X11_ERROR_REFUSED : X11_ERROR_CANNOT_CONNECT;
        xcb_disconnect(c);
        return nullptr;
    }
    // XCB walks the greeting by the counts in it, whatever it holds.
    if (!SetupAddsUp(xcb_get_setup(c)))
    {
        *why = X11_ERROR_MALFORMED;
        xcb_disconnect(c);
        return nullptr;
    }
    xcb_screen_iterator_t screens = xcb_setup_roots_iterator(xcb_get_setup(c));
    for (int i = 0; i < screenNumber && screens.rem > 0; ++i)
        xcb_screen_next(&screens);
    if (screens.rem == 0)
    {
        *why = X11_ERROR_CANNOT_CONNECT;
        xcb_disconnect(c);
        return nullptr;
    }
    *screenRoot = screens.data->root;
    return c;
}

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
    bool abandoned = false;    // the program stopped waiting for the greeting
    Start *previous = nullptr; // the opening before, if any
    xcb_connection_t *main = nullptr;
    xcb_window_t root = XCB_WINDOW_NONE;
    // Open for the rest of the program, and held here so that it stays reachable after the
    // thread has given up on a lost server.
    xcb_connection_t *listener = nullptr;
};

// On a thread of its own: opens both connections, hands the main one over and keeps listening
// on the other.
void Run(Start *start)
{
    xcb_window_t mainRoot = XCB_WINDOW_NONE, listenerRoot = XCB_WINDOW_NONE;
    std::uint32_t why = 0;
    xcb_connection_t *main = Open(&mainRoot, &why);
    xcb_connection_t *listener = main != nullptr ? Open(&listenerRoot, &why) : nullptr;
    const bool ready = listener != nullptr;
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
        start->root = mainRoot;
        start->listener = listener;
        start->failure = why;
        start->result = ready ? Opening::Done : Opening::Failed;
    }
    start->changed.notify_all();
    if (ready)
        Listen(listener, start->generation);
}

// Starts the thread; gives back the main connection and its root window, and 0. Else one of
// the X11_ERROR codes: it could not, or did not within the limit (a server that accepts
// connections but does not answer).
std::uint32_t OpenConnections(xcb_connection_t **main, xcb_window_t *mainRoot)
{
    // Each opening's Start stays reachable from the next: a thread may still hold it.
    static Start *latest = nullptr;
    Start *const start = new Start;
    start->previous = latest;
    start->generation = latest != nullptr ? latest->generation + 1 : 1;
    latest = start;
    std::thread(Run, start).detach();
    std::unique_lock<std::mutex> lock(start->mutex);
    if (!start->changed.wait_for(lock, std::chrono::milliseconds(SERVER_REPLY_TIMEOUT_MS),
                                 [start] { return start->result != Opening::Pending; }))
    {
        start->abandoned = true;
        GiveBackStandardError();
        return X11_ERROR_NO_ANSWER;
    }
    if (start->result != Opening::Done)
        return start->failure;
    *main = start->main;
    *mainRoot = start->root;
    return 0;
}

} // namespace

const char *ConnectionErrorText(std::uint32_t error, char *buffer, std::size_t size)
{
    const char *display = std::getenv("DISPLAY");
    switch (error)
    {
    case X11_ERROR_NO_DISPLAY:
        return "DISPLAY is not set";
    case X11_ERROR_CANNOT_CONNECT:
        std::snprintf(buffer, size, "cannot connect to display \"%s\"", display != nullptr ? display : "");
        return buffer;
    case X11_ERROR_REFUSED:
        return "the display refused the connection (authorization)";
    case X11_ERROR_NO_ANSWER:
        std::snprintf(buffer, size, "no answer from the display within %d s", SERVER_REPLY_TIMEOUT_MS / 1000);
        return buffer;
    case X11_ERROR_GONE:
        return "the display went away";
    case X11_ERROR_MALFORMED:
        return "the display sent a malformed reply";
    case X11_ERROR_PID_NAMESPACE:
        return "the display's programs run in another pid namespace: no path or verdict can be read";
    default:
        return nullptr;
    }
}

xcb_connection_t *Connection()
{
    if (state == State::Untried)
    {
        state = State::Unusable;
        xcb_connection_t *c = nullptr;
        const std::uint32_t opening = OpenConnections(&c, &root);
        if (opening != 0)
        {
            failure = opening;
            return nullptr;
        }
        mainConnection = c;
        mainFd = xcb_get_file_descriptor(c);
        state = State::Open;
    }
    if (state != State::Open || ConnectionLost())
        return nullptr;
    return mainConnection;
}

xcb_window_t RootWindow()
{
    return root;
}

bool ConnectionLost()
{
    return failure != 0 || (state == State::Open && xcb_connection_has_error(mainConnection) != 0);
}

std::uint32_t ConnectionError()
{
    const std::uint32_t why = failure;
    return why != 0 ? why : X11_ERROR_GONE;
}

void RetryIfStalled()
{
    if (failure != X11_ERROR_NO_ANSWER)
        return;
    // The old connections were cut when the limit ran out; their listener ends by itself.
    mainFd = -1;
    if (state == State::Open)
        xcb_disconnect(mainConnection);
    mainConnection = nullptr;
    state = State::Untried;
    failure = 0;
}

ServerWait::ServerWait()
{
    if (waitDepth++ == 0)
        waitingSince = Clock::now().time_since_epoch().count();
}

ServerWait::~ServerWait()
{
    if (--waitDepth == 0)
        waitingSince = 0;
}

void ServerAnswered()
{
    if (waitDepth > 0)
        waitingSince = Clock::now().time_since_epoch().count();
}

void HandListenerEvents(EventHandler onEvent, LossHandler onLoss)
{
    eventHandler = onEvent;
    lossHandler = onLoss;
}

void HandDisplayGone(GoneHandler onGone)
{
    goneHandler = onGone;
}

void ListenToRoot(bool on)
{
    if (listening == nullptr || on == listeningOn)
        return;
    listeningOn = on;
    // Clients answer a ping on the root window, each toolkit with its own event mask: GTK with
    // SubstructureNotify | SubstructureRedirect, Qt with StructureNotify | SubstructureRedirect.
    // Redirect belongs to the window manager alone; the two notify masks together see every
    // answer.
    const uint32_t mask = on ? XCB_EVENT_MASK_STRUCTURE_NOTIFY | XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY : 0;
    xcb_change_window_attributes(listening, listeningRoot, XCB_CW_EVENT_MASK, &mask);
    xcb_flush(listening);
}

void ListenToWindows(const std::vector<xcb_window_t> &windows, bool on)
{
    if (listening == nullptr || windows.empty())
        return;
    // No replies: a window gone already earns an error event, which the listener takes for its
    // destruction where it was one to hear of.
    const uint32_t mask = on ? XCB_EVENT_MASK_STRUCTURE_NOTIFY : 0;
    for (const xcb_window_t window : windows)
        xcb_change_window_attributes(listening, window, XCB_CW_EVENT_MASK, &mask);
    xcb_flush(listening);
}

void ConfirmListening()
{
    // A destruction the server reports before it has taken the selection is never heard: once
    // a later request is answered, every selection before it is in force.
    if (listening != nullptr)
        Await(xcb_get_input_focus_reply, listening, xcb_get_input_focus(listening));
}

} // namespace hungscan_x11

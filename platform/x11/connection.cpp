#include "connection.h"

#include "events.h"
#include "kernel_objects.h"
#include "ping.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>

namespace hungscan_x11 {
namespace {

enum class State { Untried, Open, Unusable };

State state = State::Untried;
xcb_connection_t *mainConnection = nullptr;
xcb_window_t root = XCB_WINDOW_NONE;
// Why the connection cannot be used; 0 while it can.
std::atomic<std::uint32_t> failure{0};
std::atomic<int> mainFd{-1};
// When the current ServerWait began or last heard from the server, in steady-clock ticks; 0
// while none is under way.
std::atomic<Clock::rep> waitingSince{0};
int waitDepth = 0;

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
        // A frozen server accepts the connection and never sends its greeting: bounded too.
        const std::uint32_t opening = OpenConnections(&c, &root, SERVER_REPLY_TIMEOUT_MS);
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
    // Read under the ping table's lock too: it only looks, it wakes nobody.
    return failure != 0 || (state == State::Open && xcb_connection_has_error(mainConnection) != 0);
}

std::uint32_t ConnectionError()
{
    const std::uint32_t why = failure;
    return why != 0 ? why : X11_ERROR_GONE;
}

void MarkConnectionLost(std::uint32_t why)
{
    std::uint32_t none = 0;
    if (!failure.compare_exchange_strong(none, why))
        return;
    WakePingWaiters();
    if (why != X11_ERROR_NO_ANSWER)
        RaiseConsoleClose();
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

void EnforceServerWaitLimit(Clock::time_point now)
{
    const Clock::rep since = waitingSince;
    if (since == 0 || now - Clock::time_point(Clock::duration(since)) < std::chrono::milliseconds(SERVER_REPLY_TIMEOUT_MS))
        return;
    MarkConnectionLost(X11_ERROR_NO_ANSWER);
    // The blocked call sees the end of its connection, and XCB returns a failure. The main
    // thread may be waiting on either connection.
    for (const int fd : {mainFd.load(), ListenerFd()})
        if (fd >= 0)
            shutdown(fd, SHUT_RDWR);
}

} // namespace hungscan_x11

#include "connection.h"

#include "events.h"
#include "ping.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>

namespace hungscan_x11 {
namespace {

enum class State { Untried, Open, Unusable };

State state = State::Untried;
// Read by the error handler on either thread.
std::atomic<Display *> mainDisplay{nullptr};
std::atomic<bool> lost{false};
std::atomic<int> mainFd{-1};
// When the current ServerWait began, in steady-clock ticks; 0 while none is under way.
std::atomic<Clock::rep> waitingSince{0};
int waitDepth = 0;
std::vector<unsigned long> refused;

// Standard streams the program was started without would be taken by the next descriptors
// opened, the X connection among them: the final read would then consume X protocol, and a
// diagnostic would be written into it. Hold them with /dev/null before anything is opened.
struct HoldStandardStreams
{
    HoldStandardStreams()
    {
        for (int fd = 0; fd <= 2; ++fd)
            if (fcntl(fd, F_GETFD) == -1 && errno == EBADF)
                open("/dev/null", O_RDWR); // takes the lowest free descriptor: this one
    }
} const holdStandardStreams;

// Windows has no SIGPIPE: a write to a pipe whose reader has gone fails and the program goes
// on. Keep that here, so the program meets the same platform.
struct IgnoreSigpipe
{
    IgnoreSigpipe() { std::signal(SIGPIPE, SIG_IGN); }
} const ignoreSigpipe;

// A window destroyed between two calls, or a property of an unexpected type, is an ordinary
// failure of the call that met it, never the end of the program.
int TrapError(Display *d, XErrorEvent *error)
{
    if (d == mainDisplay)
        refused.push_back(error->serial);
    return 0;
}

// Xlib reports a broken connection here, then calls the display's exit handler (set where the
// connections are opened); both stay silent and return, which leaves the display failing every
// later call.
int SilentIOError(Display *)
{
    return 0;
}

} // namespace

Display *Connection()
{
    if (state == State::Untried)
    {
        state = State::Unusable;
        // The event thread has a connection of its own; Xlib must know before either opens.
        XInitThreads();
        XSetErrorHandler(TrapError);
        XSetIOErrorHandler(SilentIOError);
        Display *main = nullptr;
        // A frozen server accepts the connection and never sends its greeting: bounded too.
        if (!OpenConnections(&main, SERVER_REPLY_TIMEOUT_MS))
            return nullptr;
        mainDisplay = main;
        mainFd = ConnectionNumber(main);
        state = State::Open;
    }
    return state == State::Open && !lost ? mainDisplay.load() : nullptr;
}

bool ConnectionLost()
{
    return lost;
}

void MarkConnectionLost()
{
    if (!lost.exchange(true))
        WakePingWaiters();
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

void EnforceServerWaitLimit(Clock::time_point now)
{
    const Clock::rep since = waitingSince;
    if (since == 0 || now - Clock::time_point(Clock::duration(since)) < std::chrono::milliseconds(SERVER_REPLY_TIMEOUT_MS))
        return;
    MarkConnectionLost();
    // The blocked request sees the end of its connection, and Xlib returns a failure.
    const int fd = mainFd;
    if (fd >= 0)
        shutdown(fd, SHUT_RDWR);
}

std::vector<unsigned long> TakeRefusedRequests()
{
    std::vector<unsigned long> taken;
    taken.swap(refused);
    return taken;
}

} // namespace hungscan_x11

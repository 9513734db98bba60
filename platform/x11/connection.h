// The program's connection to the X server: opened on first use, and given up for good when the
// server goes away or stops answering, so that no call can end the program or hang it. XCB
// reports a broken connection as a state and empty replies; the one thing it cannot do by
// itself is give up on a server that stays silent, which is what the wait limit is for.
#ifndef HUNGSCAN_X11_CONNECTION_H
#define HUNGSCAN_X11_CONNECTION_H

#include <xcb/xcb.h>

#include <chrono>
#include <cstdint>

namespace hungscan_x11 {

using Clock = std::chrono::steady_clock;

// How long any one reply from the server may take before the server is deemed gone.
constexpr int SERVER_REPLY_TIMEOUT_MS = 5000;

// Why the display cannot be used: last errors of the window calls, in the range Windows leaves
// to applications (bit 29), worded by FormatMessageA.
constexpr std::uint32_t X11_ERROR_NO_DISPLAY = 0x20000001;     // DISPLAY is not set
constexpr std::uint32_t X11_ERROR_CANNOT_CONNECT = 0x20000002; // nobody answers at that address
constexpr std::uint32_t X11_ERROR_REFUSED = 0x20000003;        // the server turned the client away
constexpr std::uint32_t X11_ERROR_NO_ANSWER = 0x20000004;      // a reply or greeting did not come in time
constexpr std::uint32_t X11_ERROR_GONE = 0x20000005;           // the connection closed

// The text for one of those codes; null for any other.
const char *ConnectionErrorText(std::uint32_t error, char *buffer, std::size_t size);

// The connection for the calling thread's requests. Null when there is no usable display, and
// from the moment the connection is lost.
xcb_connection_t *Connection();

// The root window of the default screen of the connection.
xcb_window_t RootWindow();

// True once a connection that was open has been lost: the server ended, cut the link, or did
// not answer within SERVER_REPLY_TIMEOUT_MS.
bool ConnectionLost();

// Why Connection() is null or the connection was lost: one of the X11_ERROR codes.
std::uint32_t ConnectionError();

// Called wherever the loss is noticed, on either thread, with why. The first reason stands. A
// connection that closed is the end of the display, as a closed console is to a Windows program.
void MarkConnectionLost(std::uint32_t why);

// A server that only stalled (a client holding a grab, a server stopped for a while) may be
// there again: the next Connection() opens anew. A display that closed stays closed.
void RetryIfStalled();

// Brackets the main thread's work that waits for the server: sending requests (a server that
// reads nothing fills the socket) and reading replies. Each reply that arrives restarts the
// clock, so the limit is per reply however many a stage asks for.
struct ServerWait
{
    ServerWait();
    ~ServerWait();
    ServerWait(const ServerWait &) = delete;
    ServerWait &operator=(const ServerWait &) = delete;
};

// Within a ServerWait: a reply has arrived.
void ServerAnswered();

// On the event thread: cuts the main connection once a ServerWait has waited too long for the
// server. XCB then fails the blocked call and every later one.
void EnforceServerWaitLimit(Clock::time_point now);

} // namespace hungscan_x11

#endif

// The program's connection to the X server, all of it in one place: opening it, its greeting
// waited for a bounded time; a second connection that only listens, on a thread of its own that
// stamps what arrives and hands it to whoever asked; the loss of either as a state, never an
// exit; and the limit on every wait for the server. XCB reports a broken connection as a state
// and empty replies; the one thing it cannot do by itself is give up on a server that stays
// silent, which is what the limit is for.
#ifndef HUNGSCAN_X11_CONNECTION_H
#define HUNGSCAN_X11_CONNECTION_H

#include "replies.h"

#include <xcb/xcb.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <vector>

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
constexpr std::uint32_t X11_ERROR_MALFORMED = 0x20000006;      // a reply claimed more than it carried
constexpr std::uint32_t X11_ERROR_PID_NAMESPACE = 0x20000007;  // the server's pids are not ours

// The text for one of those codes; null for any other.
const char *ConnectionErrorText(std::uint32_t error, char *buffer, std::size_t size);

// The connection for the main thread's requests, opened on first use. Null when there is no
// usable display, and from the moment the connection is lost.
xcb_connection_t *Connection();

// The root window of the default screen of the connection.
xcb_window_t RootWindow();

// True once a connection that was open has been lost: the server ended, cut the link, or did
// not answer within SERVER_REPLY_TIMEOUT_MS.
bool ConnectionLost();

// Why Connection() is null or the connection was lost: one of the X11_ERROR codes.
std::uint32_t ConnectionError();

// A server that only stalled (a client holding a grab, a server stopped for a while) may be
// there again: the next Connection() opens anew. A display that closed stays closed, and is to
// this program what a closed console is to a Windows one.
void RetryIfStalled();

// Brackets the main thread's work that waits for the server: sending requests (a server that
// reads nothing fills the socket) and reading replies. Each reply that arrives restarts the
// clock, so the limit is per reply however many a stage asks for. Past the limit the
// connections are cut, and XCB fails the blocked call and every later one.
struct ServerWait
{
    ServerWait();
    ~ServerWait();
    ServerWait(const ServerWait &) = delete;
    ServerWait &operator=(const ServerWait &) = delete;
};

// Within a ServerWait: the server has taken what was written, or answered.
void ServerAnswered();

// The one way to read a reply: within the limit, counted as an answer, checked against the
// bytes that came, owned by the caller. Null for an error (a window gone), a lost connection, or
// a reply whose counts claim more than it carries.
template <typename Reply, typename Cookie>
ReplyOf<Reply> Await(Reply *(*read)(xcb_connection_t *, Cookie, xcb_generic_error_t **), xcb_connection_t *c,
                     Cookie cookie)
{
    ServerWait wait;
    ReplyOf<Reply> reply = CheckedReply(read(c, cookie, nullptr));
    ServerAnswered();
    return reply;
}

// What the listening connection hands on: every event, with the moment it arrived; and the
// loss of the connection, so that whoever waits for events stops waiting.
using EventHandler = void (*)(const xcb_generic_event_t &event, Clock::time_point arrived);
using LossHandler = void (*)();
void HandListenerEvents(EventHandler onEvent, LossHandler onLoss);

// Who hears, on the listener's thread, that the display has gone for good (it closed; a stall
// is not that): to this program, what its console closing is to a Windows one.
using GoneHandler = void (*)();
void HandDisplayGone(GoneHandler onGone);

// Hears the root window's events while pings are out, and only then: a desktop whose windows
// come and go sends a stream of them that a watch would otherwise read all day. Among the
// events: the destruction of every top-level window (a window manager's frame goes with its
// client).
void ListenToRoot(bool on);

// Hears of the destruction of these windows themselves, or no longer.
void ListenToWindows(const std::vector<xcb_window_t> &windows, bool on);

// Waits until the server has taken every selection made before, so that no answer or
// destruction they select can come unheard.
void ConfirmListening();

} // namespace hungscan_x11

#endif

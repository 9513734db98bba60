// The program's connection to the X server: opened on first use, and given up for good when the
// server goes away or stops answering, so that no call can end the program or hang it. XCB
// reports a broken connection as a state and empty replies; the one thing it cannot do by
// itself is give up on a server that stays silent, which is what the wait limit is for.
#ifndef HUNGSCAN_X11_CONNECTION_H
#define HUNGSCAN_X11_CONNECTION_H

#include <xcb/xcb.h>

#include <chrono>

namespace hungscan_x11 {

using Clock = std::chrono::steady_clock;

// How long any one reply from the server may take before the server is deemed gone.
constexpr int SERVER_REPLY_TIMEOUT_MS = 5000;

// The connection for the calling thread's requests. Null when there is no usable display, and
// from the moment the connection is lost.
xcb_connection_t *Connection();

// The root window of the default screen of the connection.
xcb_window_t RootWindow();

// True once a connection that was open has been lost: the server ended, cut the link, or did
// not answer within SERVER_REPLY_TIMEOUT_MS.
bool ConnectionLost();

// Called wherever the loss is noticed, on either thread.
void MarkConnectionLost();

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

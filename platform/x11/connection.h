// The program's connection to the X server: opened on first use, and given up for good when the
// server goes away or stops answering, so that no call can end the program or hang it.
#ifndef HUNGSCAN_X11_CONNECTION_H
#define HUNGSCAN_X11_CONNECTION_H

#include <X11/Xlib.h>

#include <chrono>
#include <vector>

namespace hungscan_x11 {

using Clock = std::chrono::steady_clock;

// How long any one wait for the server may last before the server is deemed gone.
constexpr int SERVER_REPLY_TIMEOUT_MS = 5000;

// The connection for the calling thread's requests. Null when there is no usable display, and
// from the moment the connection is lost.
Display *Connection();

// True once a connection that was open has been lost: the server ended, or did not answer
// within SERVER_REPLY_TIMEOUT_MS.
bool ConnectionLost();

// Called wherever the loss is noticed, on either thread.
void MarkConnectionLost();

// Brackets the main thread's requests that wait for the server. One that waits too long has its
// connection cut from the event thread: Xlib then fails the request instead of blocking.
struct ServerWait
{
    ServerWait();
    ~ServerWait();
    ServerWait(const ServerWait &) = delete;
    ServerWait &operator=(const ServerWait &) = delete;
};

// On the event thread: cuts the main connection once a ServerWait has lasted too long.
void EnforceServerWaitLimit(Clock::time_point now);

// Serial numbers of the main connection's requests that the server refused since the last call.
std::vector<unsigned long> TakeRefusedRequests();

} // namespace hungscan_x11

#endif

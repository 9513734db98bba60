// The event thread: a second connection that only listens, so every answer to a ping is stamped
// with the moment it arrives, whatever the main thread is doing meanwhile.
#ifndef HUNGSCAN_X11_EVENTS_H
#define HUNGSCAN_X11_EVENTS_H

#include <xcb/xcb.h>

#include <cstdint>
#include <vector>

namespace hungscan_x11 {

// Starts the thread, which opens both connections and keeps the listening one to itself; gives
// back the main one and its root window, and 0. Else one of the X11_ERROR codes: it could not
// (no display, a refused cookie, a link that closed), or did not within timeoutMs (a server
// that accepts connections but does not answer). Called again after a stall, it starts afresh.
std::uint32_t OpenConnections(xcb_connection_t **main, xcb_window_t *root, int timeoutMs);

// Hears the root window's events while pings are out, and only then: a desktop whose windows
// come and go sends a stream of them that a watch would otherwise read all day. Turning on
// waits until the server has taken it, so no answer can come before it. Call within a
// ServerWait.
void ListenForAnswers(bool on);

// Hears of the destruction of these windows, or no longer: their ids may be handed to another
// client's windows at once. Takes effect with the next ListenForAnswers(true).
void WatchDestruction(const std::vector<xcb_window_t> &windows, bool on);

// The listening connection's socket, for cutting a server that stopped answering; -1 if none.
int ListenerFd();

} // namespace hungscan_x11

#endif

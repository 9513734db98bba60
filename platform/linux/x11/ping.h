// The EWMH ping, _NET_WM_PING: sent to many windows at once, each judged by its own answer.
#ifndef HUNGSCAN_X11_PING_H
#define HUNGSCAN_X11_PING_H

#include "connection.h"

#include <xcb/xcb.h>

#include <cstdint>
#include <vector>

namespace hungscan_x11 {

// Pings every window of the list whose client takes part in the protocol (lists _NET_WM_PING
// in WM_PROTOCOLS); the others are remembered as outside it. The pings leave in small
// batches, and each window's time starts when its batch has been written to the socket. From
// before its ping leaves, a window's own destruction is heard of. framed[i]: windows[i] is not
// a child of the root window (whose children's destruction the root's selection reports), or
// may not be.
void SendPings(xcb_connection_t *c, const std::vector<xcb_window_t> &windows, const std::vector<bool> &framed);

// What AwaitPing says of a window destroyed while its ping was out, and of one whose client the
// enumeration found outside the protocol.
constexpr int PING_WINDOW_DESTROYED = -2;
constexpr int PING_OUTSIDE_PROTOCOL = -3;

// Waits for the answer to the window's ping, at most until timeoutMs after it was sent: 1 when
// it came in time, 0 when not, PING_WINDOW_DESTROYED when the window went meanwhile,
// PING_OUTSIDE_PROTOCOL when it was not pinged for that, -1 when the window has no ping
// outstanding otherwise. The ping is forgotten either way.
int AwaitPing(xcb_window_t window, unsigned timeoutMs);

// An enumeration begins.
void BeginScan();

// How many times a window with this id was seen destroyed: the windows that had the id before
// the one that has it now. What a handle carries, so that it never names a successor.
std::uint32_t WindowGeneration(xcb_window_t window);

// Drops every ping still outstanding.
void ForgetPings(xcb_connection_t *c);

} // namespace hungscan_x11

#endif

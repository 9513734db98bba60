// Which local process is behind a window.
#ifndef HUNGSCAN_X11_OWNERS_H
#define HUNGSCAN_X11_OWNERS_H

#include <xcb/xcb.h>

#include <sys/types.h>

namespace hungscan_x11 {

// What the server knows of the window's client connection, else the _NET_WM_PID the client put
// there if it says it runs on this host; 0 when neither names a local process.
pid_t ProcessOf(xcb_connection_t *c, xcb_window_t window);

// Whether the server's process ids are this program's: false where the two run in different
// pid namespaces, and no id from the server may be looked up here.
bool ServerSharesOurProcessIds(xcb_connection_t *c);

} // namespace hungscan_x11

#endif

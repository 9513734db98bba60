// The windows a user would call top-level: the root window's children, each seen through a
// window manager's frame to the client window it holds.
#ifndef HUNGSCAN_X11_TOPLEVEL_H
#define HUNGSCAN_X11_TOPLEVEL_H

#include <xcb/xcb.h>

#include <vector>

namespace hungscan_x11 {

// Top of the stack first, as Windows enumerates: the client windows (a window manager's frame
// stands for the one it holds); framed[i] tells whether windows[i] was found below a root
// window's child rather than being one. False when the root window cannot be read: the
// connection lost, or a list of its children that does not add up.
bool ListTopLevelWindows(xcb_connection_t *c, std::vector<xcb_window_t> &windows, std::vector<bool> &framed);

} // namespace hungscan_x11

#endif

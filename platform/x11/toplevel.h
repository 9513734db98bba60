// The windows a user would call top-level: the root window's children, each seen through a
// window manager's frame to the client window it holds.
#ifndef HUNGSCAN_X11_TOPLEVEL_H
#define HUNGSCAN_X11_TOPLEVEL_H

#include <X11/Xlib.h>

#include <vector>

namespace hungscan_x11 {

// Top of the stack first, as Windows enumerates. False when the root window cannot be read.
bool ListTopLevelWindows(Display *d, std::vector<Window> &windows);

} // namespace hungscan_x11

#endif

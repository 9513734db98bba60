// Reading what a client has put on its window: names, numbers, protocols. Every read fails
// softly on a window that is gone.
#ifndef HUNGSCAN_X11_PROPERTIES_H
#define HUNGSCAN_X11_PROPERTIES_H

#include <X11/Xlib.h>

#include <cstddef>
#include <string>

namespace hungscan_x11 {

bool WindowExists(Display *d, Window window);

// Whether the client lists _NET_WM_PING in WM_PROTOCOLS.
bool TakesPartInPings(Display *d, Window window);

// An 8-bit property's bytes, at most maxBytes of them; false when it is absent, of another type
// than asked for (unless AnyPropertyType), or the window is gone.
bool ReadTextProperty(Display *d, Window window, Atom property, Atom type, std::size_t maxBytes, std::string &out);

// A single 32-bit CARDINAL.
bool ReadCardinal(Display *d, Window window, Atom property, unsigned long &out);

// The window's name, _NET_WM_NAME else WM_NAME, at most maxBytes of it. A _NET_WM_NAME is UTF-8
// by definition, so one that must be cut loses whole characters only.
bool ReadWindowName(Display *d, Window window, std::size_t maxBytes, std::string &out);

} // namespace hungscan_x11

#endif

// Reading what a client has put on its window: names, numbers, protocols. Requests are sent
// first and their replies read after, so a stage costs one round trip however many windows it
// asks about. Every read fails softly on a window that is gone.
#ifndef HUNGSCAN_X11_PROPERTIES_H
#define HUNGSCAN_X11_PROPERTIES_H

#include "connection.h"

#include <xcb/xcb.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace hungscan_x11 {

bool WindowExists(xcb_connection_t *c, xcb_window_t window);

// Asks for at most maxBytes of a property of the given type (XCB_ATOM_ANY: any type).
xcb_get_property_cookie_t RequestProperty(xcb_connection_t *c, xcb_window_t window, xcb_atom_t property,
                                          xcb_atom_t type, std::size_t maxBytes);

// The property's reply, whatever its type; null when the window is gone or the reply does not
// add up.
ReplyOf<xcb_get_property_reply_t> PropertyReply(xcb_connection_t *c, xcb_get_property_cookie_t cookie);

// An 8-bit property's bytes, at most maxBytes of them; false when it is absent, of another type
// than asked for, or the window is gone.
bool TextReply(xcb_connection_t *c, xcb_get_property_cookie_t cookie, xcb_atom_t type, std::size_t maxBytes,
               std::string &out);

// A single 32-bit CARDINAL.
bool CardinalReply(xcb_connection_t *c, xcb_get_property_cookie_t cookie, std::uint32_t &out);

// Whether the property exists at all.
bool PropertyPresent(xcb_connection_t *c, xcb_get_property_cookie_t cookie);

// The window's name, _NET_WM_NAME else WM_NAME, as UTF-8 where its type says what it is (see
// PropertyName), at most maxBytes of it. A _NET_WM_NAME is UTF-8 by definition, so one that must
// be cut loses whole characters only.
bool ReadWindowName(xcb_connection_t *c, xcb_window_t window, std::size_t maxBytes, std::string &out);

} // namespace hungscan_x11

#endif

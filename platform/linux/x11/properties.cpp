#include "properties.h"

#include "atoms.h"

namespace hungscan_x11 {

bool WindowExists(xcb_connection_t *c, xcb_window_t window)
{
    return Await(xcb_get_window_attributes_reply, c, xcb_get_window_attributes(c, window)) != nullptr;
}

xcb_get_property_cookie_t RequestProperty(xcb_connection_t *c, xcb_window_t window, xcb_atom_t property,
                                          xcb_atom_t type, std::size_t maxBytes)
{
    return xcb_get_property(c, 0, window, property, type, 0, static_cast<uint32_t>((maxBytes + 3) / 4));
}

ReplyOf<xcb_get_property_reply_t> PropertyReply(xcb_connection_t *c, xcb_get_property_cookie_t cookie)
{
    return Await(xcb_get_property_reply, c, cookie);
}

bool TextReply(xcb_connection_t *c, xcb_get_property_cookie_t cookie, xcb_atom_t type, std::size_t maxBytes,
               std::string &out)
{
    const auto reply = PropertyReply(c, cookie);
    return reply != nullptr && PropertyBytes(reply.get(), type, maxBytes, out);
}

bool CardinalReply(xcb_connection_t *c, xcb_get_property_cookie_t cookie, std::uint32_t &out)
{
    const auto reply = PropertyReply(c, cookie);
    return reply != nullptr && PropertyCardinal(reply.get(), out);
}

bool PropertyPresent(xcb_connection_t *c, xcb_get_property_cookie_t cookie)
{
    const auto reply = PropertyReply(c, cookie);
    return reply != nullptr && reply->type != XCB_ATOM_NONE;
}

bool ReadWindowName(xcb_connection_t *c, xcb_window_t window, std::size_t maxBytes, std::string &out)
{
    // One byte more than fits tells whether the cut falls inside a character.
    const xcb_get_property_cookie_t netName = RequestProperty(c, window, atoms.netWmName, atoms.utf8String, maxBytes + 1);
    const xcb_get_property_cookie_t name = RequestProperty(c, window, XCB_ATOM_WM_NAME, XCB_ATOM_ANY, maxBytes + 1);
    const auto netReply = PropertyReply(c, netName);
    if (netReply != nullptr && netReply->type == atoms.utf8String &&
        PropertyName(netReply.get(), atoms.utf8String, maxBytes, out))
    {
        xcb_discard_reply(c, name.sequence);
        return true;
    }
    // WM_NAME is in whatever encoding its type says: Latin-1 for STRING, which the program's
    // UTF-8 would otherwise take for broken characters and a terminal for C1 controls.
    const auto reply = PropertyReply(c, name);
    return reply != nullptr && PropertyName(reply.get(), atoms.utf8String, maxBytes, out);
}

} // namespace hungscan_x11

#include "properties.h"

#include "atoms.h"

#include <algorithm>

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
    if (reply == nullptr || reply->type == XCB_ATOM_NONE || reply->format != 8 ||
        (type != XCB_ATOM_ANY && reply->type != type))
        return false;
    const int length = xcb_get_property_value_length(reply.get());
    out.assign(static_cast<const char *>(xcb_get_property_value(reply.get())),
               std::min<std::size_t>(static_cast<std::size_t>(std::max(length, 0)), maxBytes));
    return true;
}

bool CardinalReply(xcb_connection_t *c, xcb_get_property_cookie_t cookie, std::uint32_t &out)
{
    const auto reply = PropertyReply(c, cookie);
    if (reply == nullptr || reply->type != XCB_ATOM_CARDINAL || reply->format != 32 || reply->value_len != 1)
        return false;
    out = *static_cast<const std::uint32_t *>(xcb_get_property_value(reply.get()));
    return true;
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
    const xcb_get_property_cookie_t name = RequestProperty(c, window, XCB_ATOM_WM_NAME, XCB_ATOM_ANY, maxBytes);
    if (TextReply(c, netName, atoms.utf8String, maxBytes + 1, out))
    {
        xcb_discard_reply(c, name.sequence);
        if (out.size() > maxBytes)
        {
            // A character is at most four bytes: look back no further than its first.
            auto continues = [&out](std::size_t i) { return (static_cast<unsigned char>(out[i]) & 0xC0) == 0x80; };
            std::size_t keep = maxBytes;
            while (keep > 0 && maxBytes - keep < 3 && continues(keep))
                --keep;
            if (continues(keep))
                keep = maxBytes; // not UTF-8 after all: cut where the room ends
            out.resize(keep);
        }
        return true;
    }
    // WM_NAME is in whatever encoding its type says; its bytes go out as stored.
    return TextReply(c, name, XCB_ATOM_ANY, maxBytes, out);
}

} // namespace hungscan_x11

#include "replies.h"

#include <algorithm>
#include <cstring>

namespace hungscan_x11 {
namespace {

// What follows a reply's 32 bytes, and how many bytes of it there are.
const std::uint8_t *VariablePart(const void *reply)
{
    return static_cast<const std::uint8_t *>(reply) + 32;
}

std::uint64_t VariableBytes(const void *reply)
{
    return ReplySize(reply) - 32;
}

std::uint32_t Card32At(const std::uint8_t *bytes)
{
    std::uint32_t value;
    std::memcpy(&value, bytes, sizeof value);
    return value;
}

// The bytes a property's value claims: its items times their size. Items are 8, 16 or 32 bits;
// format 0 goes with no value.
bool PropertyValueBytes(const xcb_get_property_reply_t *reply, std::uint64_t &bytes)
{
    if (reply->format != 0 && reply->format != 8 && reply->format != 16 && reply->format != 32)
        return false;
    bytes = static_cast<std::uint64_t>(reply->value_len) * (reply->format / 8u);
    return true;
}

// Cuts UTF-8 text to at most maxBytes where a character begins. A character is at most four
// bytes: the cut looks back no further than its first.
void CutUtf8(std::string &text, std::size_t maxBytes)
{
    if (text.size() <= maxBytes)
        return;
    auto continues = [&text](std::size_t i) { return (static_cast<unsigned char>(text[i]) & 0xC0) == 0x80; };
    std::size_t keep = maxBytes;
    while (keep > 0 && maxBytes - keep < 3 && continues(keep))
        --keep;
    if (continues(keep))
        keep = maxBytes; // not UTF-8 after all: cut where the room ends
    text.resize(keep);
}

// Latin-1 is the first 256 code points: two bytes of UTF-8 for each of the upper half.
std::string Utf8FromLatin1(const std::string &latin1)
{
    std::string utf8;
    utf8.reserve(latin1.size() * 2);
    for (const char c : latin1)
    {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x80)
            utf8 += c;
        else
        {
            utf8 += static_cast<char>(0xC0 | (byte >> 6));
            utf8 += static_cast<char>(0x80 | (byte & 0x3F));
        }
    }
    return utf8;
}

} // namespace

std::uint64_t ReplySize(const void *reply)
{
    // The length field, where every reply has it.
    return 32 + 4 * static_cast<std::uint64_t>(Card32At(static_cast<const std::uint8_t *>(reply) + 4));
}

bool ReplyAddsUp(const xcb_get_property_reply_t *reply)
{
    std::uint64_t bytes = 0;
    return ReplySize(reply) >= sizeof *reply && PropertyValueBytes(reply, bytes) && bytes <= VariableBytes(reply);
}

bool ReplyAddsUp(const xcb_query_tree_reply_t *reply)
{
    return ReplySize(reply) >= sizeof *reply &&
           4 * static_cast<std::uint64_t>(reply->children_len) <= VariableBytes(reply);
}

bool ReplyAddsUp(const xcb_res_query_client_ids_reply_t *reply)
{
    if (ReplySize(reply) < sizeof *reply)
        return false;
    // Each id: the client and the mask it was asked with, its length in bytes, then that many
    // bytes of 32-bit values.
    std::uint64_t left = VariableBytes(reply);
    const std::uint8_t *at = VariablePart(reply);
    for (std::uint32_t i = 0; i < reply->num_ids; ++i)
    {
        if (left < sizeof(xcb_res_client_id_value_t))
            return false;
        const std::uint32_t length = Card32At(at + offsetof(xcb_res_client_id_value_t, length));
        left -= sizeof(xcb_res_client_id_value_t);
        if (length % 4 != 0 || length > left)
            return false;
        left -= length;
        at += sizeof(xcb_res_client_id_value_t) + length;
    }
    return true;
}

bool SetupAddsUp(const xcb_setup_t *setup)
{
    const std::uint64_t size = 8 + 4 * static_cast<std::uint64_t>(setup->length);
    const auto *bytes = reinterpret_cast<const std::uint8_t *>(setup);
    if (size < sizeof *setup)
        return false;
    // What follows the fixed part, as XCB's iterators walk it: the vendor's name padded to four
    // bytes, the pixmap formats, then each screen with its depths, each depth with its visuals.
    std::uint64_t at = sizeof *setup + (setup->vendor_len + 3u) / 4 * 4 +
                       static_cast<std::uint64_t>(setup->pixmap_formats_len) * sizeof(xcb_format_t);
    for (unsigned screen = 0; screen < setup->roots_len; ++screen)
    {
        if (at + sizeof(xcb_screen_t) > size)
            return false;
        const unsigned depths = bytes[at + offsetof(xcb_screen_t, allowed_depths_len)];
        at += sizeof(xcb_screen_t);
        for (unsigned depth = 0; depth < depths; ++depth)
        {
            if (at + sizeof(xcb_depth_t) > size)
                return false;
            std::uint16_t visuals;
            std::memcpy(&visuals, bytes + at + offsetof(xcb_depth_t, visuals_len), sizeof visuals);
            at += sizeof(xcb_depth_t) + static_cast<std::uint64_t>(visuals) * sizeof(xcb_visualtype_t);
        }
    }
    return at <= size;
}

bool PropertyBytes(const xcb_get_property_reply_t *reply, xcb_atom_t type, std::size_t maxBytes, std::string &out)
{
    if (reply->type == XCB_ATOM_NONE || reply->format != 8 || (type != XCB_ATOM_ANY && reply->type != type))
        return false;
    out.assign(reinterpret_cast<const char *>(VariablePart(reply)), std::min<std::size_t>(reply->value_len, maxBytes));
    return true;
}

bool PropertyCardinal(const xcb_get_property_reply_t *reply, std::uint32_t &out)
{
    if (reply->type != XCB_ATOM_CARDINAL || reply->format != 32 || reply->value_len != 1)
        return false;
    out = Card32At(VariablePart(reply));
    return true;
}

bool PropertyListsAtom(const xcb_get_property_reply_t *reply, xcb_atom_t atom)
{
    if (reply->type != XCB_ATOM_ATOM || reply->format != 32)
        return false;
    for (std::uint32_t i = 0; i < reply->value_len; ++i)
        if (Card32At(VariablePart(reply) + 4 * static_cast<std::size_t>(i)) == atom)
            return true;
    return false;
}

bool PropertyName(const xcb_get_property_reply_t *reply, xcb_atom_t utf8String, std::size_t maxBytes,
                  std::string &out)
{
    // Each byte of Latin-1 is one character: one more than fits tells a cut, as for UTF-8.
    const std::size_t asked = maxBytes < SIZE_MAX ? maxBytes + 1 : maxBytes;
    if (!PropertyBytes(reply, XCB_ATOM_ANY, asked, out))
        return false;
    if (reply->type == XCB_ATOM_STRING)
        out = Utf8FromLatin1(out);
    if (reply->type == XCB_ATOM_STRING || reply->type == utf8String)
        CutUtf8(out, maxBytes);
    else if (out.size() > maxBytes)
        out.resize(maxBytes);
    return true;
}

std::vector<xcb_window_t> TreeChildren(const xcb_query_tree_reply_t *reply)
{
    std::vector<xcb_window_t> children(reply->children_len);
    for (std::size_t i = 0; i < children.size(); ++i)
        children[i] = Card32At(VariablePart(reply) + 4 * i);
    return children;
}

pid_t ClientProcess(const xcb_res_query_client_ids_reply_t *reply)
{
    pid_t pid = 0;
    const std::uint8_t *at = VariablePart(reply);
    for (std::uint32_t i = 0; i < reply->num_ids; ++i)
    {
        // The mask follows the client's id, the first 32 bits of the id.
        const std::uint32_t mask = Card32At(at + sizeof(std::uint32_t));
        const std::uint32_t length = Card32At(at + offsetof(xcb_res_client_id_value_t, length));
        const std::uint8_t *values = at + sizeof(xcb_res_client_id_value_t);
        // The length counts bytes: a process id is one 32-bit value.
        if ((mask & XCB_RES_CLIENT_ID_MASK_LOCAL_CLIENT_PID) != 0 && length == 4)
        {
            const std::uint32_t value = Card32At(values);
            if (value > 0 && value <= 0x7FFFFFFF)
                pid = static_cast<pid_t>(value);
        }
        at = values + length;
    }
    return pid;
}

} // namespace hungscan_x11

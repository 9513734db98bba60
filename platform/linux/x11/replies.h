// What the server's replies carry, read no further than they go. XCB hands a reply over as the
// bytes that came for it: 32, and four more for every unit its length field counts. The counts
// inside (a property's items, a window's children, a client's ids and their values) are the
// server's word only: a reply whose counts claim more than it carries is refused whole, as if
// the server had answered with an error, and never read past.
//
// Every reply is checked once, where it is read (Await): each kind with a variable part has a
// check of its own below, and a kind that is not named here does not compile, so no caller can
// read a reply unchecked. What the variable parts hold is read by the functions below, from a
// reply that was checked and from nothing else, so that a fuzzer can feed them raw replies.
#ifndef HUNGSCAN_X11_REPLIES_H
#define HUNGSCAN_X11_REPLIES_H

#include <xcb/res.h>
#include <xcb/xcb.h>

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <type_traits>
#include <vector>

namespace hungscan_x11 {

struct FreeReply
{
    void operator()(void *reply) const { std::free(reply); }
};
template <typename Reply> using ReplyOf = std::unique_ptr<Reply, FreeReply>;

// The bytes XCB allocated for the reply: 32 and four for each unit of its length field.
std::uint64_t ReplySize(const void *reply);

// The replies whose every field has its place in the struct: only their size to check.
template <typename Reply> struct FixedSizeReply : std::false_type
{
};
template <> struct FixedSizeReply<xcb_intern_atom_reply_t> : std::true_type
{
};
template <> struct FixedSizeReply<xcb_get_window_attributes_reply_t> : std::true_type
{
};
template <> struct FixedSizeReply<xcb_get_input_focus_reply_t> : std::true_type
{
};
template <> struct FixedSizeReply<xcb_res_query_version_reply_t> : std::true_type
{
};

// Whether the reply carries all its fields, and all that its counts claim.
template <typename Reply> bool ReplyAddsUp(const Reply *reply)
{
    static_assert(FixedSizeReply<Reply>::value, "a reply with a variable part needs a check of its own");
    return ReplySize(reply) >= sizeof(Reply);
}
bool ReplyAddsUp(const xcb_get_property_reply_t *reply);
bool ReplyAddsUp(const xcb_query_tree_reply_t *reply);
bool ReplyAddsUp(const xcb_res_query_client_ids_reply_t *reply);

// The reply, owned; null, and freed, when it does not add up.
template <typename Reply> ReplyOf<Reply> CheckedReply(Reply *reply)
{
    ReplyOf<Reply> owned(reply);
    if (owned != nullptr && !ReplyAddsUp(static_cast<const Reply *>(owned.get())))
        owned.reset();
    return owned;
}

// The server's greeting: whether its vendor, formats and screens, with their depths and
// visuals, lie within the bytes that came (8, and four for each unit of its length field).
bool SetupAddsUp(const xcb_setup_t *setup);

// Each of the following reads a reply that adds up.

// Properties. An 8-bit property's bytes, at most maxBytes of them; false when it is absent or
// of another type than asked for (XCB_ATOM_ANY: any type).
bool PropertyBytes(const xcb_get_property_reply_t *reply, xcb_atom_t type, std::size_t maxBytes, std::string &out);

// A single 32-bit CARDINAL.
bool PropertyCardinal(const xcb_get_property_reply_t *reply, std::uint32_t &out);

// Whether a list of atoms names this one.
bool PropertyListsAtom(const xcb_get_property_reply_t *reply, xcb_atom_t atom);

// A window's name as UTF-8 where its type says what it is, at most maxBytes of it: UTF-8
// (utf8String) as it is, Latin-1 (STRING) converted, each cut where a character begins; any other
// type (COMPOUND_TEXT) as stored, cut where the room ends. A name cut inside a character is
// told by one byte more than fits: ask for maxBytes + 1.
bool PropertyName(const xcb_get_property_reply_t *reply, xcb_atom_t utf8String, std::size_t maxBytes,
                  std::string &out);

// The window tree: a window's children, the bottom of the stack first.
std::vector<xcb_window_t> TreeChildren(const xcb_query_tree_reply_t *reply);

// X-Resource: the local process the server names among a client's ids; 0 when none.
pid_t ClientProcess(const xcb_res_query_client_ids_reply_t *reply);

} // namespace hungscan_x11

#endif

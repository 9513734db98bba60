// libFuzzer target: the X server's replies, raw, to every function that reads one (and its
// greeting, to the check that comes before XCB walks it). The input's
// first byte picks the kind of reply, the next six what the caller asks of it (an atom, a
// number of bytes); the rest is the reply as XCB hands it over: a heap block of its 32 bytes and
// as many more as its length field says, the field made to count what the input holds. Every
// other field (a property's format and item count, a window's child count, a client's ids and
// their lengths) is the fuzzer's. A reply is read only if its check passes, and then by every
// reader of its kind: AddressSanitizer sees any read past the block. What the readers give is
// checked against what they promise.

#include "replies.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

using namespace hungscan_x11;

namespace {

enum Kind { kProperty, kTree, kClientIds, kInternAtom, kWindowAttributes, kInputFocus, kResVersion, kSetup, kKinds };

// The bytes ahead of the reply: its kind, and what the caller asks.
constexpr std::size_t HEADER = 7;

void Fail(const char *what)
{
    std::fprintf(stderr, "invariant broken: %s\n", what);
    std::abort();
}

// Whether text is UTF-8 throughout: no character cut, none malformed.
bool WholeUtf8(const std::string &text)
{
    for (std::size_t i = 0; i < text.size();)
    {
        const auto lead = static_cast<unsigned char>(text[i]);
        const std::size_t length = lead < 0x80 ? 1 : (lead >> 5) == 6 ? 2 : (lead >> 4) == 14 ? 3 : (lead >> 3) == 30 ? 4 : 0;
        if (length == 0 || i + length > text.size())
            return false;
        for (std::size_t k = 1; k < length; ++k)
            if ((static_cast<unsigned char>(text[i + k]) & 0xC0) != 0x80)
                return false;
        i += length;
    }
    return true;
}

template <typename Reply> void ReadFixed(void *block)
{
    const ReplyOf<Reply> reply = CheckedReply(static_cast<Reply *>(block));
    if (reply == nullptr)
        return;
    // Every field, as a caller may read any of them.
    Reply copy;
    std::memcpy(&copy, reply.get(), sizeof copy);
    volatile unsigned char sink = reinterpret_cast<const unsigned char *>(&copy)[sizeof copy - 1];
    (void)sink;
}

void ReadProperty(void *block, xcb_atom_t atom, std::size_t maxBytes)
{
    const ReplyOf<xcb_get_property_reply_t> reply = CheckedReply(static_cast<xcb_get_property_reply_t *>(block));
    if (reply == nullptr)
        return;
    std::string text;
    if (PropertyBytes(reply.get(), atom, maxBytes, text) && text.size() > maxBytes)
        Fail("PropertyBytes gave more than asked for");
    std::uint32_t number = 0;
    PropertyCardinal(reply.get(), number);
    PropertyListsAtom(reply.get(), atom);
    if (PropertyName(reply.get(), atom, maxBytes, text))
    {
        if (text.size() > maxBytes)
            Fail("PropertyName gave more than asked for");
        // Latin-1 becomes UTF-8 whole, however it is cut.
        if (reply->type == XCB_ATOM_STRING && !WholeUtf8(text))
            Fail("PropertyName cut a converted character");
    }
}

// The greeting, walked as XCB's iterators walk it: every screen, depth and visual read.
void ReadSetup(const std::uint8_t *data, std::size_t size)
{
    const std::uint16_t units = static_cast<std::uint16_t>(size <= 8 ? 0 : std::min<std::size_t>((size - 8 + 3) / 4, 0xFFFF));
    const std::size_t bytes = 8 + 4 * static_cast<std::size_t>(units);
    auto *block = static_cast<std::uint8_t *>(std::calloc(bytes, 1));
    std::memcpy(block, data, size < bytes ? size : bytes);
    std::memcpy(block + 6, &units, sizeof units);
    const auto *setup = reinterpret_cast<const xcb_setup_t *>(block);
    unsigned sum = 0;
    if (SetupAddsUp(setup))
    {
        for (xcb_screen_iterator_t screens = xcb_setup_roots_iterator(setup); screens.rem > 0; xcb_screen_next(&screens))
        {
            sum += screens.data->root;
            for (xcb_depth_iterator_t depths = xcb_screen_allowed_depths_iterator(screens.data); depths.rem > 0;
                 xcb_depth_next(&depths))
            {
                const xcb_visualtype_t *visuals = xcb_depth_visuals(depths.data);
                for (int i = 0; i < xcb_depth_visuals_length(depths.data); ++i)
                    sum += visuals[i].visual_id + visuals[i].pad0[3];
            }
        }
    }
    volatile unsigned sink = sum;
    (void)sink;
    std::free(block);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    if (size < HEADER)
        return 0;
    const Kind kind = static_cast<Kind>(data[0] % kKinds);
    xcb_atom_t atom;
    std::memcpy(&atom, data + 1, sizeof atom);
    std::uint16_t maxBytes;
    std::memcpy(&maxBytes, data + 5, sizeof maxBytes);
    data += HEADER;
    size -= HEADER;
    if (kind == kSetup)
    {
        ReadSetup(data, size);
        return 0;
    }

    // As XCB allocates a reply: 32 bytes, and four for each unit of the length field.
    const std::uint32_t units = size <= 32 ? 0 : static_cast<std::uint32_t>((size - 32 + 3) / 4);
    const std::size_t bytes = 32 + 4 * static_cast<std::size_t>(units);
    auto *block = static_cast<std::uint8_t *>(std::calloc(bytes, 1));
    std::memcpy(block, data, size < bytes ? size : bytes);
    std::memcpy(block + 4, &units, sizeof units);

    // Each reader takes the block and frees it.
    switch (kind)
    {
    case kProperty:
        ReadProperty(block, atom, maxBytes);
        break;
    case kTree:
        if (const auto reply = CheckedReply(reinterpret_cast<xcb_query_tree_reply_t *>(block)))
        {
            if (TreeChildren(reply.get()).size() != reply->children_len)
                Fail("TreeChildren gave another count than the reply's");
        }
        break;
    case kClientIds:
        if (const auto reply = CheckedReply(reinterpret_cast<xcb_res_query_client_ids_reply_t *>(block)))
        {
            if (ClientProcess(reply.get()) < 0)
                Fail("ClientProcess gave a negative process id");
        }
        break;
    case kInternAtom:
        ReadFixed<xcb_intern_atom_reply_t>(block);
        break;
    case kWindowAttributes:
        ReadFixed<xcb_get_window_attributes_reply_t>(block);
        break;
    case kInputFocus:
        ReadFixed<xcb_get_input_focus_reply_t>(block);
        break;
    case kResVersion:
        ReadFixed<xcb_res_query_version_reply_t>(block);
        break;
    case kSetup:
    case kKinds:
        std::free(block);
        break;
    }
    return 0;
}

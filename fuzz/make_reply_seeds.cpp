// Writes replies such as a server sends, each as an input of fuzz_replies, into a corpus folder.
//   make_reply_seeds CORPUS_DIR

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace {

// The input's head, as fuzz_replies reads it.
enum Kind { kProperty, kTree, kClientIds, kInternAtom, kWindowAttributes, kInputFocus, kResVersion, kSetup };

constexpr std::uint32_t UTF8_STRING = 300; // an atom the server made up for it
constexpr std::uint32_t ATOM_ATOM = 4, ATOM_CARDINAL = 6, ATOM_STRING = 31;

struct Bytes
{
    std::string data;
    Bytes &u8(unsigned value)
    {
        data += static_cast<char>(value);
        return *this;
    }
    Bytes &u16(unsigned value) { return u8(value & 0xFF).u8(value >> 8); }
    Bytes &u32(std::uint32_t value) { return u16(value & 0xFFFF).u16(value >> 16); }
    Bytes &text(const std::string &value)
    {
        data += value;
        return *this;
    }
    Bytes &zeros(std::size_t count)
    {
        data.append(count, '\0');
        return *this;
    }
};

std::string Input(Kind kind, std::uint32_t atom, unsigned maxBytes, const Bytes &reply)
{
    return Bytes().u8(kind).u32(atom).u16(maxBytes).data + reply.data;
}

// A reply's first eight bytes; the length is what the fuzzer writes anyway.
Bytes Head(unsigned second, std::size_t size)
{
    return Bytes().u8(1).u8(second).u16(7).u32(static_cast<std::uint32_t>((size - 32) / 4));
}

// A GetProperty reply: type, format and items; the value padded to four bytes.
Bytes Property(std::uint32_t type, unsigned format, std::uint32_t items, const std::string &value)
{
    const std::size_t padded = (value.size() + 3) / 4 * 4;
    Bytes reply = Head(format, 32 + padded).u32(type).u32(0).u32(items).zeros(12).text(value);
    return reply.zeros(padded - value.size());
}

std::string Card32s(const std::vector<std::uint32_t> &values)
{
    Bytes bytes;
    for (const std::uint32_t value : values)
        bytes.u32(value);
    return bytes.data;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc != 2)
    {
        std::fprintf(stderr, "usage: make_reply_seeds CORPUS_DIR\n");
        return 2;
    }
    const std::string latin1 = "caf\xe9 \x85 \x9b[2J";
    const std::string utf8 = "Gr\xc3\xbc\xc3\x9f" "e \xe4\xb8\x96\xe7\x95\x8c";
    const std::vector<std::pair<std::string, std::string>> seeds = {
        {"name-latin1", Input(kProperty, UTF8_STRING, 6, Property(ATOM_STRING, 8, 12, latin1))},
        {"name-utf8", Input(kProperty, UTF8_STRING, 9, Property(UTF8_STRING, 8, 13, utf8))},
        {"name-compound-text", Input(kProperty, UTF8_STRING, 1023, Property(32, 8, 4, "\x1b%G!"))},
        {"name-absent", Input(kProperty, UTF8_STRING, 1023, Property(0, 0, 0, ""))},
        {"pid", Input(kProperty, ATOM_CARDINAL, 4, Property(ATOM_CARDINAL, 32, 1, Card32s({4242})))},
        {"protocols", Input(kProperty, 301, 256, Property(ATOM_ATOM, 32, 2, Card32s({302, 301})))},
        {"state", Input(kProperty, 0, 0, Property(303, 32, 2, Card32s({1, 0})))},
        {"tree", Input(kTree, 0, 0, Head(0, 44).u32(0x100).u32(0).u16(3).zeros(14).text(Card32s({0x200001, 0x200005, 0x400001})))},
        {"tree-empty", Input(kTree, 0, 0, Head(0, 32).u32(0x100).u32(0x100).u16(0).zeros(14))},
        {"client-ids", Input(kClientIds, 0, 0,
                             Head(0, 32 + 16 + 12).u32(2).zeros(20)
                                 .text(Card32s({0x400000, 2, 4, 4242, 0x400000, 1, 0})))},
        {"intern-atom", Input(kInternAtom, 0, 0, Head(0, 32).u32(301).zeros(20))},
        {"window-attributes", Input(kWindowAttributes, 0, 0, Head(2, 44).zeros(36))},
        {"input-focus", Input(kInputFocus, 0, 0, Head(1, 32).u32(0x200001).zeros(20))},
        {"res-version", Input(kResVersion, 0, 0, Head(0, 32).u16(1).u16(2).zeros(20))},
        // Xvfb's greeting, cut down: one pixmap format, one screen with two depths, one visual.
        {"setup", Input(kSetup, 0, 0,
                        Bytes().u8(1).u8(0).u16(11).u16(0).u16((40 + 4 + 8 + 40 + 8 + 24 + 8 - 8) / 4)
                            .u32(12101004).u32(0x200000).u32(0x1FFFFF).u32(256).u16(4).u16(65535)
                            .u8(1).u8(1).u8(0).u8(0).u8(32).u8(32).u8(8).u8(255).zeros(4).text("Xvfb")
                            .u8(24).u8(32).u8(32).zeros(5)
                            .u32(0x100).u32(0x20).u32(0xFFFFFF).u32(0).u32(0).u16(1024).u16(768).u16(270).u16(203)
                            .u16(1).u16(1).u32(0x21).u8(0).u8(0).u8(24).u8(2)
                            .u8(24).u8(0).u16(1).zeros(4)
                            .u32(0x21).u8(4).u8(8).u16(256).u32(0xFF0000).u32(0xFF00).u32(0xFF).zeros(4)
                            .u8(1).u8(0).u16(0).zeros(4))},
    };
    std::filesystem::create_directories(argv[1]);
    for (const auto &[name, input] : seeds)
        std::ofstream(std::string(argv[1]) + "/reply-" + name, std::ios::binary | std::ios::trunc) << input;
    std::printf("%zu seeds\n", seeds.size());
    return 0;
}

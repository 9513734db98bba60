// The readers of the accessibility bus's replies, fed any message an application could send:
// every D-Bus type, nested, with any names, paths and child lists. The bus daemon and sd-bus
// check the wire format before a message reaches the program (systemd fuzzes that part), so
// what is left to the readers is a well-formed message of a type they did not ask for, or of
// the right type with any content. The input is a signature, a NUL, then the bytes that the
// values are drawn from (without a NUL, every value is empty or zero).

#include "accessibility_replies.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

using namespace hungscan_accessibility;

namespace {

struct Data
{
    const std::uint8_t *at;
    std::size_t left;

    std::uint8_t Byte()
    {
        if (left == 0)
            return 0;
        --left;
        return *at++;
    }

    std::string Text()
    {
        std::string text;
        for (std::size_t n = Byte() % 64; n > 0 && left > 0; --n)
            text += static_cast<char>(Byte());
        return text;
    }
};

// Where the complete type starting at sig[i] ends; npos for a malformed one.
std::size_t TypeEnd(const std::string &sig, std::size_t i, int depth = 0)
{
    if (i >= sig.size() || depth > 32)
        return std::string::npos;
    const char close = sig[i] == '(' ? ')' : sig[i] == '{' ? '}' : '\0';
    if (sig[i] == 'a')
        return TypeEnd(sig, i + 1, depth + 1);
    if (close == '\0')
        return i + 1;
    for (std::size_t j = i + 1; j < sig.size();)
    {
        if (sig[j] == close)
            return j + 1;
        j = TypeEnd(sig, j, depth + 1);
        if (j == std::string::npos)
            return j;
    }
    return std::string::npos;
}

// Appends one value of the complete type at sig[i, end); negative when sd-bus refuses it.
int Append(sd_bus_message *m, const std::string &sig, std::size_t i, std::size_t end, Data &data, int depth)
{
    if (depth > 32)
        return -1;
    const char type = sig[i];
    switch (type)
    {
    case 's':
    case 'o':
    case 'g':
    {
        const std::string text = data.Text();
        return sd_bus_message_append_basic(m, type, text.c_str());
    }
    case 'a':
    case '(':
    case '{':
    {
        const std::string inner = type == 'a' ? sig.substr(i + 1, end - i - 1) : sig.substr(i + 1, end - i - 2);
        int r = sd_bus_message_open_container(m, type == 'a' ? 'a' : type == '(' ? 'r' : 'e', inner.c_str());
        const std::size_t count = type == 'a' ? data.Byte() % 16 : 1;
        for (std::size_t n = 0; r >= 0 && n < count; ++n)
            for (std::size_t j = 0; r >= 0 && j < inner.size();)
            {
                const std::size_t next = TypeEnd(inner, j);
                if (next == std::string::npos)
                    return -1;
                r = Append(m, inner, j, next, data, depth + 1);
                j = next;
                if (type == 'a')
                    break;
            }
        return r < 0 ? r : sd_bus_message_close_container(m);
    }
    case 'v':
    {
        static const char *const shapes[] = {"s", "u", "o", "(so)", "a(so)", "as", "v", "i"};
        const std::string inner = shapes[data.Byte() % 8];
        int r = sd_bus_message_open_container(m, 'v', inner.c_str());
        if (r >= 0)
            r = Append(m, inner, 0, inner.size(), data, depth + 1);
        return r < 0 ? r : sd_bus_message_close_container(m);
    }
    case 'h':
        return -1; // no descriptors come this way
    default:
    {
        std::uint64_t value = 0;
        for (int k = 0; k < 8; ++k)
            value = value << 8 | data.Byte();
        return sd_bus_message_append_basic(m, type, &value);
    }
    }
}

sd_bus *Bus()
{
    // Messages are made on a bus that has started; this one never has to reach anybody.
    static sd_bus *bus = [] {
        int ends[2];
        sd_bus *b = nullptr;
        if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0 || sd_bus_new(&b) < 0 ||
            sd_bus_set_fd(b, ends[0], ends[0]) < 0 || sd_bus_start(b) < 0)
            std::abort();
        return b;
    }();
    return bus;
}

bool StartsWith(const std::string &sig, const char *prefix)
{
    return sig.compare(0, std::strlen(prefix), prefix) == 0;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *bytes, std::size_t size)
{
    const std::uint8_t *nul = static_cast<const std::uint8_t *>(std::memchr(bytes, 0, size));
    const std::size_t length = nul != nullptr ? static_cast<std::size_t>(nul - bytes) : size;
    const std::string sig(reinterpret_cast<const char *>(bytes), length);
    Data data = {bytes + length, 0};
    if (nul != nullptr)
        data = {nul + 1, size - length - 1};
    sd_bus_message *m = nullptr;
    if (sd_bus_message_new_signal(Bus(), &m, "/org/a11y/atspi/accessible/root", "org.a11y.atspi.Event", "Reply") < 0)
        std::abort();
    bool built = true;
    for (std::size_t i = 0; built && i < sig.size();)
    {
        const std::size_t end = TypeEnd(sig, i);
        built = end != std::string::npos && Append(m, sig, i, end, data, 0) >= 0;
        i = end;
    }
    if (built && sd_bus_message_seal(m, 1, 0) >= 0)
    {
        // Each reader takes only its own type, whatever comes.
        std::vector<std::pair<std::string, std::string>> objects;
        std::string text;
        std::uint32_t number = 0;
        sd_bus_message_rewind(m, 1);
        if (ReadObjects(m, objects) != StartsWith(sig, "a(so)"))
            std::abort();
        sd_bus_message_rewind(m, 1);
        if (ReadStringVariant(m, text) && !StartsWith(sig, "v"))
            std::abort();
        sd_bus_message_rewind(m, 1);
        if (ReadString(m, text) != StartsWith(sig, "s"))
            std::abort();
        sd_bus_message_rewind(m, 1);
        if (ReadNumber(m, number) != StartsWith(sig, "u"))
            std::abort();
    }
    sd_bus_message_unref(m);
    return 0;
}

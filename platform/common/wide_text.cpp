// Wide text where the platform is not Windows: UTF-16, as the wide calls hand it, from and to
// the UTF-8 that X11, Linux paths and scenario files hold.

#include "wide_text.h"

#include <cstring>

namespace hungscan_platform {

std::u16string Utf16FromUtf8(const std::string &bytes)
{
    std::u16string out;
    for (size_t i = 0; i < bytes.size();)
    {
        const unsigned char c = static_cast<unsigned char>(bytes[i]);
        const size_t length = c < 0x80 ? 1 : c >= 0xC2 && c <= 0xDF ? 2 : c >= 0xE0 && c <= 0xEF ? 3 : c >= 0xF0 && c <= 0xF4 ? 4 : 0;
        char32_t code = length == 1 ? c : length == 2 ? c & 0x1F : length == 3 ? c & 0x0F : c & 0x07;
        // How far the sequence is well formed: the second byte's range depends on the first, so
        // that no overlong form, surrogate or code point past U+10FFFF gets through.
        size_t taken = length > 0 ? 1 : 0;
        while (taken > 0 && taken < length && i + taken < bytes.size())
        {
            const unsigned char next = static_cast<unsigned char>(bytes[i + taken]);
            const unsigned char low = taken == 1 && c == 0xE0 ? 0xA0 : taken == 1 && c == 0xF0 ? 0x90 : 0x80;
            const unsigned char high = taken == 1 && c == 0xED ? 0x9F : taken == 1 && c == 0xF4 ? 0x8F : 0xBF;
            if (next < low || next > high)
                break;
            code = (code << 6) | (next & 0x3F);
            ++taken;
        }
        if (length == 0 || taken < length)
        {
            // Each maximal ill-formed part becomes one U+FFFD, as Unicode recommends.
            out.push_back(u'\uFFFD');
            i += taken > 0 ? taken : 1;
            continue;
        }
        if (code >= 0x10000)
        {
            out.push_back(static_cast<char16_t>(0xD800 + ((code - 0x10000) >> 10)));
            out.push_back(static_cast<char16_t>(0xDC00 + ((code - 0x10000) & 0x3FF)));
        }
        else
            out.push_back(static_cast<char16_t>(code));
        i += length;
    }
    return out;
}

DWORD CopyWide(const std::u16string &text, LPWSTR buffer, DWORD size)
{
    if (size == 0)
        return 0;
    DWORD length = static_cast<DWORD>(std::min<size_t>(text.size(), size - 1));
    // A pair is not cut in two.
    if (length > 0 && length < text.size() && text[length - 1] >= 0xD800 && text[length - 1] <= 0xDBFF)
        --length;
    std::memcpy(buffer, text.data(), length * sizeof(WCHAR));
    buffer[length] = 0;
    return length;
}

} // namespace hungscan_platform

// UTF-16 to UTF-8 only, as the program asks; a lone surrogate becomes U+FFFD, as on Windows.
extern "C" int WINAPI WideCharToMultiByte(UINT CodePage, DWORD, LPCWSTR lpWideCharStr, int cchWideChar,
                                          LPSTR lpMultiByteStr, int cbMultiByte, LPCSTR, BOOL *)
{
    if (CodePage != CP_UTF8 || lpWideCharStr == nullptr)
        return 0;
    size_t count = cchWideChar >= 0 ? static_cast<size_t>(cchWideChar) : std::char_traits<char16_t>::length(lpWideCharStr) + 1;
    std::string out;
    for (size_t i = 0; i < count; ++i)
    {
        char32_t code = lpWideCharStr[i];
        if (code >= 0xD800 && code <= 0xDBFF && i + 1 < count && lpWideCharStr[i + 1] >= 0xDC00 &&
            lpWideCharStr[i + 1] <= 0xDFFF)
            code = 0x10000 + ((code - 0xD800) << 10) + (lpWideCharStr[++i] - 0xDC00);
        else if (code >= 0xD800 && code <= 0xDFFF)
            code = 0xFFFD;
        if (code < 0x80)
            out += static_cast<char>(code);
        else if (code < 0x800)
            out += {static_cast<char>(0xC0 | (code >> 6)), static_cast<char>(0x80 | (code & 0x3F))};
        else if (code < 0x10000)
            out += {static_cast<char>(0xE0 | (code >> 12)), static_cast<char>(0x80 | ((code >> 6) & 0x3F)),
                    static_cast<char>(0x80 | (code & 0x3F))};
        else
            out += {static_cast<char>(0xF0 | (code >> 18)), static_cast<char>(0x80 | ((code >> 12) & 0x3F)),
                    static_cast<char>(0x80 | ((code >> 6) & 0x3F)), static_cast<char>(0x80 | (code & 0x3F))};
    }
    if (cbMultiByte == 0)
        return static_cast<int>(out.size());
    if (lpMultiByteStr == nullptr || out.size() > static_cast<size_t>(cbMultiByte))
        return 0;
    std::memcpy(lpMultiByteStr, out.data(), out.size());
    return static_cast<int>(out.size());
}


// UTF-8 to UTF-16 only, as the program asks; what is not UTF-8 becomes U+FFFD, as Windows does
// without MB_ERR_INVALID_CHARS.
extern "C" int WINAPI MultiByteToWideChar(UINT CodePage, DWORD, LPCSTR lpMultiByteStr, int cbMultiByte,
                                          LPWSTR lpWideCharStr, int cchWideChar)
{
    if (CodePage != CP_UTF8 || lpMultiByteStr == nullptr)
        return 0;
    const size_t count = cbMultiByte >= 0 ? static_cast<size_t>(cbMultiByte) : std::strlen(lpMultiByteStr) + 1;
    const std::u16string wide = hungscan_platform::Utf16FromUtf8(std::string(lpMultiByteStr, count));
    if (cchWideChar == 0)
        return static_cast<int>(wide.size());
    if (lpWideCharStr == nullptr || wide.size() > static_cast<size_t>(cchWideChar))
        return 0;
    std::memcpy(lpWideCharStr, wide.data(), wide.size() * sizeof(char16_t));
    return static_cast<int>(wide.size());
}

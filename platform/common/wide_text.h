// Text between UTF-8 and the UTF-16 of the wide calls, for the platforms other than Windows.
// WideCharToMultiByte (UTF-8 only) is defined beside these.
#ifndef HUNGSCAN_PLATFORM_WIDE_TEXT_H
#define HUNGSCAN_PLATFORM_WIDE_TEXT_H

#include <windows.h>

#include <string>

namespace hungscan_platform {

// Bytes that are not UTF-8 become U+FFFD, each.
std::u16string Utf16FromUtf8(const std::string &bytes);

// Into a buffer of size wide characters, cut to fit (never inside a pair) and terminated; the
// length copied.
DWORD CopyWide(const std::u16string &text, LPWSTR buffer, DWORD size);

} // namespace hungscan_platform

#endif

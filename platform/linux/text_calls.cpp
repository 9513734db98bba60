// Text: the code page, UTF-16 and UTF-8, the environment and the machine's name, on POSIX.

#include <windows.h>

#include "wide_text.h"

#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <cstring>

using namespace hungscan_platform;

// X11 captions and /proc paths are UTF-8 wherever a desktop is set up today.
extern "C" UINT WINAPI GetACP()
{
    return CP_UTF8;
}

extern "C" DWORD WINAPI GetEnvironmentVariableA(LPCSTR lpName, LPSTR lpBuffer, DWORD nSize)
{
    const char *value = std::getenv(lpName);
    if (value == nullptr)
        return 0;
    const size_t length = std::strlen(value);
    if (length >= nSize)
        return static_cast<DWORD>(length + 1);
    std::memcpy(lpBuffer, value, length + 1);
    return static_cast<DWORD>(length);
}

extern "C" BOOL WINAPI GetComputerNameW(LPWSTR lpBuffer, LPDWORD nSize)
{
    char name[HOST_NAME_MAX + 1] = {};
    if (gethostname(name, sizeof name - 1) != 0 || lpBuffer == nullptr || nSize == nullptr)
        return FALSE;
    const std::u16string wide = Utf16FromUtf8(name);
    if (wide.size() >= *nSize)
    {
        // As Windows: the size it takes, terminator included.
        *nSize = static_cast<DWORD>(wide.size() + 1);
        SetLastError(ERROR_BUFFER_OVERFLOW);
        return FALSE;
    }
    *nSize = CopyWide(wide, lpBuffer, *nSize);
    return TRUE;
}

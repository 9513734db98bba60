#include "check_window.h"

#include <psapi.h>

#include <iostream>

// The extended form of the process basic information, which says whether the system has frozen
// the process. Windows 8 and later fill it in when asked for by its size.
struct PROCESS_EXTENDED_BASIC_INFORMATION
{
    SIZE_T Size;
    // PROCESS_BASIC_INFORMATION
    LONG ExitStatus;
    PVOID PebBaseAddress;
    ULONG_PTR AffinityMask;
    LONG BasePriority;
    ULONG_PTR UniqueProcessId;
    ULONG_PTR InheritedFromUniqueProcessId;
    ULONG Flags;
};

// Flags: the process is one that the system has frozen (a Store app out of sight).
const ULONG PROCESS_FLAG_IS_FROZEN = 0x10;

const UINT PROCESS_BASIC_INFORMATION_CLASS = 0;

typedef LONG(WINAPI *NtQueryInformationProcessProc)(HANDLE, UINT, PVOID, ULONG, ULONG *);

// Any program may give its window any caption. Written as it is, a line feed in it would forge
// lines of the report and an escape sequence would act on the user's terminal, so every control
// byte goes out as '?', the mark Windows itself uses for what it cannot show. No byte of a
// multi-byte character is a control byte, so no character is cut.
static void ReplaceControlBytes(char *text)
{
    for (char *c = text; *c != '\0'; ++c)
        if (static_cast<unsigned char>(*c) < 0x20 || *c == 0x7F)
            *c = '?';
}

// The call is not part of the documented API and not in every system's ntdll, so it is looked
// up at run time; that also keeps it out of the import table.
static NtQueryInformationProcessProc FindQueryInformationProcess()
{
    HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    if (ntdll == NULL)
        return NULL;
    FARPROC proc = GetProcAddress(ntdll, "NtQueryInformationProcess");
    return reinterpret_cast<NtQueryInformationProcessProc>(reinterpret_cast<void (*)()>(proc));
}

// Windows pauses Store apps that are out of sight; their windows stop answering although
// nothing is wrong with them. Only a positive answer counts: a system that does not know the
// extended form (older Windows, Wine) refuses the size, and the window is judged as before.
static BOOL IsProcessFrozenBySystem(DWORD processId)
{
    static const NtQueryInformationProcessProc query = FindQueryInformationProcess();
    if (query == NULL || processId == 0)
        return FALSE;
    HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, processId);
    if (process == NULL)
        return FALSE;
    PROCESS_EXTENDED_BASIC_INFORMATION info = {};
    info.Size = sizeof info;
    ULONG length = 0;
    const LONG status = query(process, PROCESS_BASIC_INFORMATION_CLASS, &info, sizeof info, &length);
    CloseHandle(process);
    return status >= 0 && length >= sizeof info && (info.Flags & PROCESS_FLAG_IS_FROZEN) != 0;
}

BOOL IsWindowUnresponsive(HWND hwnd, DWORD *processId)
{
    *processId = 0;

    // WM_NULL asks nothing of the window, so only the thread's ability to answer is measured.
    // SMTO_ABORTIFHUNG makes a thread the system already deems hung fail at once instead of
    // costing the whole timeout. The last error is cleared first so that a stale value cannot
    // decide below.
    SetLastError(0);
    if (SendMessageTimeoutA(hwnd, WM_NULL, 0, 0, SMTO_ABORTIFHUNG, PROBE_TIMEOUT_MS, NULL) != 0)
        return FALSE;
    const DWORD error = GetLastError();

    // A window destroyed since the enumeration listed it fails the probe as well. It is gone,
    // not hung: reporting it would send the user after a program that is fine.
    if (!IsWindow(hwnd))
        return FALSE;

    // Only a probe that went unanswered means a hang: ERROR_TIMEOUT, both after the wait and on
    // the early return for a thread deemed hung. A probe refused for another reason (a paused
    // Store app's window fails at once with no error) is not one, unless the system itself
    // deems the thread hung.
    if (error != ERROR_TIMEOUT && !IsHungAppWindow(hwnd))
        return FALSE;

    GetWindowThreadProcessId(hwnd, processId);
    return !IsProcessFrozenBySystem(*processId);
}

void ReadCaption(HWND hwnd, char *text)
{
    // Not every version of the platform clears the buffer when the caption cannot be read.
    text[0] = '\0';
    GetWindowTextA(hwnd, text, TEXT_BUFFER_SIZE);
    text[TEXT_BUFFER_SIZE - 1] = '\0';
    ReplaceControlBytes(text);
}

OwnerLookup ReadOwnerPath(DWORD processId, char *text)
{
    HANDLE process = OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, processId);
    if (process == NULL)
        return OWNER_NOT_OPENED;

    // A NULL module names the process's executable. Older systems leave a path that fills the
    // buffer unterminated, hence the explicit terminator. Where a 32-bit caller is not given a
    // 64-bit owner's path this way (older 64-bit Windows, Wine), the same handle still names
    // its image.
    BOOL havePath = GetModuleFileNameExA(process, NULL, text, TEXT_BUFFER_SIZE) != 0;
    if (!havePath)
    {
        DWORD size = TEXT_BUFFER_SIZE;
        havePath = QueryFullProcessImageNameA(process, 0, text, &size);
    }
    if (havePath)
    {
        text[TEXT_BUFFER_SIZE - 1] = '\0';
        ReplaceControlBytes(text);
    }

    CloseHandle(process);
    return havePath ? OWNER_PATH : OWNER_NO_PATH;
}

BOOL CALLBACK CheckWindowProc(HWND hwnd, LPARAM /* lParam: unused context */)
{
    DWORD processId = 0;
    if (!IsWindowUnresponsive(hwnd, &processId))
        return TRUE;

    char text[TEXT_BUFFER_SIZE];
    ReadCaption(hwnd, text);

    // The caption is on screen before the owner lookup, which may be slow.
    std::cout << "\nUnresponsive Window:" << std::endl;
    std::cout << " Caption: " << text << std::endl;

    switch (ReadOwnerPath(processId, text))
    {
    case OWNER_PATH:
        std::cout << " Path: " << text << std::endl;
        break;
    case OWNER_NOT_OPENED:
        std::cout << "!! Error (OpenProcess)" << std::endl;
        break;
    case OWNER_NO_PATH:
        break;
    }
    return TRUE;
}

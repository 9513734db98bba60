#include "check_window.h"

#include <psapi.h>

#include <iostream>

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

BOOL CALLBACK CheckWindowProc(HWND hwnd, LPARAM /* lParam: unused context */)
{
    // WM_NULL asks nothing of the window, so only the thread's ability to answer is measured.
    // SMTO_ABORTIFHUNG makes a thread the system already deems hung fail at once instead of
    // costing the whole timeout.
    if (SendMessageTimeoutA(hwnd, WM_NULL, 0, 0, SMTO_ABORTIFHUNG, PROBE_TIMEOUT_MS, NULL) != 0)
        return TRUE;

    // A window destroyed since the enumeration listed it fails the probe as well. It is gone,
    // not hung: reporting it would send the user after a program that is fine.
    if (!IsWindow(hwnd))
        return TRUE;

    char text[TEXT_BUFFER_SIZE];

    // Not every version of the platform clears the buffer when the caption cannot be read.
    text[0] = '\0';
    GetWindowTextA(hwnd, text, TEXT_BUFFER_SIZE);
    text[TEXT_BUFFER_SIZE - 1] = '\0';
    ReplaceControlBytes(text);

    // The caption is on screen before the owner lookup, which may be slow.
    std::cout << "\nUnresponsive Window:" << std::endl;
    std::cout << " Caption: " << text << std::endl;

    DWORD processId = 0;
    GetWindowThreadProcessId(hwnd, &processId);

    HANDLE process = OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, processId);
    if (process == NULL)
    {
        std::cout << "!! Error (OpenProcess)" << std::endl;
        return TRUE;
    }

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
        std::cout << " Path: " << text << std::endl;
    }

    CloseHandle(process);
    return TRUE;
}

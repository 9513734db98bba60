// The floor for a scan on this platform: enumerate the top-level windows and probe each with
// the same call hungscan makes, and nothing else. At the end it says how many windows it probed
// and how many failed, so a benchmark can tell how big the desktop really was.

#include <windows.h>

#include <cstdio>

namespace {

unsigned probed = 0;
unsigned failed = 0;

BOOL CALLBACK ProbeOnly(HWND hwnd, LPARAM)
{
    ++probed;
    if (SendMessageTimeoutA(hwnd, WM_NULL, 0, 0, SMTO_ABORTIFHUNG, 1000, NULL) == 0)
        ++failed;
    return TRUE;
}

} // namespace

int main()
{
    EnumWindows(ProbeOnly, 0);
    std::printf("probed=%u failed=%u\n", probed, failed);
    return 0;
}

// What EnumWindows on X11 returns to its caller, which the scan itself never shows: TRUE after
// the last window, FALSE when the callback stops it, as on Windows. Prints one line for each.

#include <windows.h>

#include <cstdio>

namespace {

unsigned calls = 0;

BOOL CALLBACK Count(HWND, LPARAM stopAfter)
{
    return ++calls != static_cast<unsigned>(stopAfter);
}

} // namespace

int main()
{
    const BOOL all = EnumWindows(Count, 0);
    const unsigned listed = calls;
    calls = 0;
    const BOOL stopped = EnumWindows(Count, 1);
    std::printf("all=%d calls=%u\nstopped=%d calls=%u\n", all, listed, stopped, calls);
    return 0;
}

// The sequential floor on X11: list the top-level windows as hungscan does, then probe each in
// turn with the same call, each ping sent only once the one before has been answered or has
// timed out. This is what a scan cost before every window was pinged at once, so the benchmark
// shows what that gained. It prints the same counts as the baseline for Windows.

#include <windows.h>

#include "atoms.h"
#include "connection.h"
#include "toplevel.h"

#include <cstdint>
#include <cstdio>
#include <vector>

int main()
{
    unsigned probed = 0;
    unsigned failed = 0;
    std::vector<xcb_window_t> windows;
    std::vector<bool> framed;
    xcb_connection_t *c = hungscan_x11::Connection();
    if (c != nullptr && hungscan_x11::InternAtoms(c) && hungscan_x11::ListTopLevelWindows(c, windows, framed))
    {
        for (const xcb_window_t window : windows)
        {
            ++probed;
            // No ping is outstanding for the window, so the call sends one and waits for it.
            HWND hwnd = reinterpret_cast<HWND>(static_cast<std::uintptr_t>(window));
            if (SendMessageTimeoutA(hwnd, WM_NULL, 0, 0, SMTO_ABORTIFHUNG, 1000, NULL) == 0)
                ++failed;
        }
    }
    std::printf("probed=%u failed=%u\n", probed, failed);
    return 0;
}

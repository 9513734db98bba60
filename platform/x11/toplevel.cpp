#include "toplevel.h"

#include "connection.h"

#include <X11/Xmu/WinUtil.h>

namespace hungscan_x11 {

bool ListTopLevelWindows(Display *d, std::vector<Window> &windows)
{
    Window root = 0, parent = 0;
    Window *children = nullptr;
    unsigned int count = 0;
    {
        ServerWait wait;
        if (!XQueryTree(d, DefaultRootWindow(d), &root, &parent, &children, &count))
            return false;
    }
    windows.clear();
    windows.reserve(count);
    // XQueryTree lists the bottom of the stack first.
    for (unsigned int i = count; i-- > 0;)
    {
        ServerWait wait;
        windows.push_back(XmuClientWindow(d, children[i]));
    }
    if (children != nullptr)
        XFree(children);
    return !ConnectionLost();
}

} // namespace hungscan_x11

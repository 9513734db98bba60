#include "atoms.h"

namespace hungscan_x11 {

Atoms atoms;

void InternAtoms(Display *d)
{
    // One round trip for all of them.
    char wmProtocols[] = "WM_PROTOCOLS", netWmPing[] = "_NET_WM_PING", netWmName[] = "_NET_WM_NAME",
         utf8String[] = "UTF8_STRING", netWmPid[] = "_NET_WM_PID";
    char *names[] = {wmProtocols, netWmPing, netWmName, utf8String, netWmPid};
    Atom values[5] = {};
    XInternAtoms(d, names, 5, False, values);
    atoms.wmProtocols = values[0];
    atoms.netWmPing = values[1];
    atoms.netWmName = values[2];
    atoms.utf8String = values[3];
    atoms.netWmPid = values[4];
}

} // namespace hungscan_x11

// The atoms the X11 platform names, interned once per server.
#ifndef HUNGSCAN_X11_ATOMS_H
#define HUNGSCAN_X11_ATOMS_H

#include <X11/Xlib.h>

namespace hungscan_x11 {

struct Atoms
{
    Atom wmProtocols;
    Atom netWmPing;
    Atom netWmName;
    Atom utf8String;
    Atom netWmPid;
};

// Filled in before the connection is handed to anyone; read-only afterwards, from any thread.
extern Atoms atoms;

void InternAtoms(Display *d);

} // namespace hungscan_x11

#endif

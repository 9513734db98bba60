// The atoms the X11 platform names, interned once per server.
#ifndef HUNGSCAN_X11_ATOMS_H
#define HUNGSCAN_X11_ATOMS_H

#include <xcb/xcb.h>

namespace hungscan_x11 {

struct Atoms
{
    xcb_atom_t wmProtocols;
    xcb_atom_t netWmPing;
    xcb_atom_t netWmName;
    xcb_atom_t utf8String;
    xcb_atom_t netWmPid;
    xcb_atom_t wmState;
};

// Filled in once, on the main thread, before anything is asked of the server; read-only
// afterwards, from any thread (the listener reads them only in handlers handed to it later).
extern Atoms atoms;

// False when the server did not answer for all of them.
bool InternAtoms(xcb_connection_t *c);

} // namespace hungscan_x11

#endif

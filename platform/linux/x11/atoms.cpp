#include "atoms.h"

#include "connection.h"

#include <cstring>

namespace hungscan_x11 {

Atoms atoms;

bool InternAtoms(xcb_connection_t *c)
{
    struct Name
    {
        const char *text;
        xcb_atom_t *atom;
    };
    const Name names[] = {
        {"WM_PROTOCOLS", &atoms.wmProtocols}, {"_NET_WM_PING", &atoms.netWmPing},
        {"_NET_WM_NAME", &atoms.netWmName},   {"UTF8_STRING", &atoms.utf8String},
        {"_NET_WM_PID", &atoms.netWmPid},     {"WM_STATE", &atoms.wmState},
    };
    const size_t count = sizeof names / sizeof names[0];
    // All asked for before the first answer is read: one round trip for the lot.
    xcb_intern_atom_cookie_t cookies[count];
    for (size_t i = 0; i < count; ++i)
        cookies[i] = xcb_intern_atom(c, 0, static_cast<uint16_t>(std::strlen(names[i].text)), names[i].text);
    bool all = true;
    for (size_t i = 0; i < count; ++i)
    {
        const auto reply = Await(xcb_intern_atom_reply, c, cookies[i]);
        all = all && reply != nullptr;
        *names[i].atom = reply != nullptr ? reply->atom : static_cast<xcb_atom_t>(XCB_ATOM_NONE);
    }
    return all;
}

} // namespace hungscan_x11

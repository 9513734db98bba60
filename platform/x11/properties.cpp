#include "properties.h"

#include "atoms.h"
#include "connection.h"

#include <X11/Xatom.h>
#include <X11/Xutil.h>

#include <algorithm>

namespace hungscan_x11 {

bool WindowExists(Display *d, Window window)
{
    ServerWait wait;
    XWindowAttributes attributes;
    return XGetWindowAttributes(d, window, &attributes) != 0;
}

bool TakesPartInPings(Display *d, Window window)
{
    ServerWait wait;
    Atom *protocols = nullptr;
    int count = 0;
    bool pings = false;
    if (XGetWMProtocols(d, window, &protocols, &count))
    {
        for (int i = 0; i < count; ++i)
            pings = pings || protocols[i] == atoms.netWmPing;
        XFree(protocols);
    }
    return pings;
}

bool ReadTextProperty(Display *d, Window window, Atom property, Atom type, std::size_t maxBytes, std::string &out)
{
    ServerWait wait;
    Atom actualType = None;
    int format = 0;
    unsigned long items = 0, after = 0;
    unsigned char *data = nullptr;
    const long units = static_cast<long>((maxBytes + 3) / 4);
    if (XGetWindowProperty(d, window, property, 0, units, False, type, &actualType, &format, &items, &after,
                           &data) != Success)
        return false;
    const bool ok = data != nullptr && actualType != None && format == 8 &&
                    (type == AnyPropertyType || actualType == type);
    if (ok)
        out.assign(reinterpret_cast<const char *>(data), std::min<std::size_t>(items, maxBytes));
    if (data != nullptr)
        XFree(data);
    return ok;
}

bool ReadCardinal(Display *d, Window window, Atom property, unsigned long &out)
{
    ServerWait wait;
    Atom actualType = None;
    int format = 0;
    unsigned long items = 0, after = 0;
    unsigned char *data = nullptr;
    if (XGetWindowProperty(d, window, property, 0, 1, False, XA_CARDINAL, &actualType, &format, &items, &after,
                           &data) != Success)
        return false;
    const bool ok = data != nullptr && actualType == XA_CARDINAL && format == 32 && items == 1;
    if (ok)
        out = *reinterpret_cast<const unsigned long *>(data); // format 32 comes as long
    if (data != nullptr)
        XFree(data);
    return ok;
}

bool ReadWindowName(Display *d, Window window, std::size_t maxBytes, std::string &out)
{
    // One byte more than fits tells whether the cut falls inside a character.
    if (ReadTextProperty(d, window, atoms.netWmName, atoms.utf8String, maxBytes + 1, out))
    {
        if (out.size() > maxBytes)
        {
            // A character is at most four bytes: look back no further than its first.
            auto continues = [&out](std::size_t i) { return (static_cast<unsigned char>(out[i]) & 0xC0) == 0x80; };
            std::size_t keep = maxBytes;
            while (keep > 0 && maxBytes - keep < 3 && continues(keep))
                --keep;
            if (continues(keep))
                keep = maxBytes; // not UTF-8 after all: cut where the room ends
            out.resize(keep);
        }
        return true;
    }
    // WM_NAME is in whatever encoding its type says; its bytes go out as stored.
    return ReadTextProperty(d, window, XA_WM_NAME, AnyPropertyType, maxBytes, out);
}

} // namespace hungscan_x11

#include "owners.h"

#include "atoms.h"
#include "connection.h"
#include "properties.h"

#include <X11/Xatom.h>
#include <X11/extensions/XRes.h>

#include <unistd.h>

#include <climits>
#include <string>

namespace hungscan_x11 {
namespace {

// X-Resource 1.2 is the first to name a client's process.
bool ServerNamesClients(Display *d)
{
    static int known = -1;
    if (known < 0)
    {
        ServerWait wait;
        int event = 0, error = 0, major = 0, minor = 0;
        known = XResQueryExtension(d, &event, &error) && XResQueryVersion(d, &major, &minor) &&
                (major > 1 || (major == 1 && minor >= 2));
    }
    return known == 1;
}

pid_t ProcessOfClient(Display *d, Window window)
{
    ServerWait wait;
    XResClientIdSpec query;
    query.client = window;
    query.mask = XRES_CLIENT_ID_PID_MASK;
    long count = 0;
    XResClientIdValue *values = nullptr;
    pid_t pid = -1;
    if (XResQueryClientIds(d, 1, &query, &count, &values) == Success)
    {
        for (long i = 0; i < count; ++i)
            if (XResGetClientIdType(&values[i]) == XRES_CLIENT_ID_PID)
                pid = XResGetClientPid(&values[i]);
        XResClientIdsDestroy(count, values);
    }
    return pid > 0 ? pid : 0;
}

} // namespace

pid_t ProcessOf(Display *d, Window window)
{
    if (ServerNamesClients(d))
    {
        const pid_t pid = ProcessOfClient(d, window);
        if (pid > 0)
            return pid;
    }

    std::string machine;
    if (ReadTextProperty(d, window, XA_WM_CLIENT_MACHINE, AnyPropertyType, 256, machine))
    {
        char host[HOST_NAME_MAX + 1] = {};
        if (gethostname(host, sizeof host - 1) != 0 || machine != host)
            return 0; // a process id from another machine names nothing here
    }
    unsigned long pid = 0;
    if (ReadCardinal(d, window, atoms.netWmPid, pid) && pid > 0 && pid <= 0x7FFFFFFF)
        return static_cast<pid_t>(pid);
    return 0;
}

} // namespace hungscan_x11

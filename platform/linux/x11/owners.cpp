#include "owners.h"

#include "atoms.h"
#include "connection.h"
#include "properties.h"

#include <xcb/res.h>

#include <sys/socket.h>
#include <unistd.h>

#include <climits>
#include <string>

namespace hungscan_x11 {
namespace {

// X-Resource 1.2 is the first to name a client's process.
bool ServerNamesClients(xcb_connection_t *c)
{
    static int known = -1;
    if (known < 0)
    {
        known = 0;
        // XCB asks the server for the extension the first time, and waits for its answer.
        ServerWait wait;
        const xcb_query_extension_reply_t *extension = xcb_get_extension_data(c, &xcb_res_id);
        if (extension != nullptr && extension->present)
        {
            const auto version = Await(xcb_res_query_version_reply, c, xcb_res_query_version(c, 1, 2));
            known = version != nullptr &&
                    (version->server_major > 1 || (version->server_major == 1 && version->server_minor >= 2));
        }
    }
    return known == 1;
}

pid_t ProcessOfClient(xcb_connection_t *c, xcb_res_query_client_ids_cookie_t cookie)
{
    const auto reply = Await(xcb_res_query_client_ids_reply, c, cookie);
    return reply != nullptr ? ClientProcess(reply.get()) : 0;
}

} // namespace

pid_t ProcessOf(xcb_connection_t *c, xcb_window_t window)
{
    const bool names = ServerNamesClients(c);
    // Every question at once; the answers are read in the order they matter.
    xcb_res_query_client_ids_cookie_t client = {};
    if (names)
    {
        xcb_res_client_id_spec_t query = {window, XCB_RES_CLIENT_ID_MASK_LOCAL_CLIENT_PID};
        client = xcb_res_query_client_ids(c, 1, &query);
    }
    const xcb_get_property_cookie_t machine = RequestProperty(c, window, XCB_ATOM_WM_CLIENT_MACHINE, XCB_ATOM_ANY, 256);
    const xcb_get_property_cookie_t netPid = RequestProperty(c, window, atoms.netWmPid, XCB_ATOM_CARDINAL, 4);

    const pid_t pid = names ? ProcessOfClient(c, client) : 0;
    if (pid > 0)
    {
        xcb_discard_reply(c, machine.sequence);
        xcb_discard_reply(c, netPid.sequence);
        return pid;
    }
    std::string host;
    if (TextReply(c, machine, XCB_ATOM_ANY, 256, host))
    {
        char here[HOST_NAME_MAX + 1] = {};
        if (gethostname(here, sizeof here - 1) != 0 || host != here)
        {
            xcb_discard_reply(c, netPid.sequence);
            return 0; // a process id from another machine names nothing here
        }
    }
    std::uint32_t value = 0;
    if (CardinalReply(c, netPid, value) && value > 0 && value <= 0x7FFFFFFF)
        return static_cast<pid_t>(value);
    return 0;
}

bool ServerSharesOurProcessIds(xcb_connection_t *c)
{
    // Asked once: the server names the process behind this very connection in the numbers of
    // its own pid namespace. That is this program's id, or, through a relay on this machine,
    // the relay's: the process at the other end of the socket, as the kernel numbers it here.
    // Any other number means the two count processes apart (a container), and no id the
    // server gives names the same process here.
    static int shared = -1;
    if (shared < 0)
    {
        shared = 1;
        if (ServerNamesClients(c))
        {
            ServerWait wait;
            xcb_res_client_id_spec_t query = {xcb_get_setup(c)->resource_id_base,
                                              XCB_RES_CLIENT_ID_MASK_LOCAL_CLIENT_PID};
            const pid_t ours = ProcessOfClient(c, xcb_res_query_client_ids(c, 1, &query));
            ucred peer = {};
            socklen_t size = sizeof peer;
            if (getsockopt(xcb_get_file_descriptor(c), SOL_SOCKET, SO_PEERCRED, &peer, &size) != 0)
                peer.pid = 0;
            shared = ours == 0 || ours == getpid() || ours == peer.pid;
        }
    }
    return shared == 1;
}

} // namespace hungscan_x11

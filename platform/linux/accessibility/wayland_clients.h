// Who is connected to the Wayland compositor's socket: every native Wayland program, whether
// or not anything can probe it. The socket says nothing of hangs (a frozen client's queue stays
// empty), only who is there. Knows nothing of X11 or of the accessibility bus.
#ifndef HUNGSCAN_WAYLAND_CLIENTS_H
#define HUNGSCAN_WAYLAND_CLIENTS_H

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <set>
#include <string>
#include <vector>

namespace hungscan_wayland {

// The text, worded by UnprobedText, of the programs of the session that the last scan could
// not probe: a message of the platform's own, in the range Windows leaves to applications.
constexpr std::uint32_t WAYLAND_MESSAGE_UNPROBED = 0x20000011;

struct Client
{
    pid_t pid;
    std::string name; // the executable's base name
};

// The processes of this user with a connection to $XDG_RUNTIME_DIR/$WAYLAND_DISPLAY, by pid,
// without this one; none where the socket or the kernel's socket list cannot be read.
std::vector<Client> ListClients();

// Keeps, for the message, the clients whose process is in none of the sets given.
void SetUnprobed(const std::vector<Client> &clients, const std::set<pid_t> &probed);

// "cannot check these Wayland programs (not on the accessibility bus): NAME (pid N), ..." that
// fits the buffer (those that do not fit counted at its end); null when every client could be
// probed, or for any other message.
const char *UnprobedText(std::uint32_t message, char *buffer, std::size_t size);

} // namespace hungscan_wayland

#endif

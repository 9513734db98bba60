// The applications of a Wayland session, through the accessibility (AT-SPI) bus: no Wayland
// protocol lets one client ping another, but every application on that bus serves a call on its
// root object from its main loop, and the bus daemon names each one's process without its help.
// Knows nothing of X11 or of handles: the window calls map its applications onto handles.
#ifndef HUNGSCAN_ACCESSIBILITY_H
#define HUNGSCAN_ACCESSIBILITY_H

#include <sys/types.h>

#include <cstdint>
#include <set>
#include <string>
#include <vector>

namespace hungscan_accessibility {

// Why the accessibility bus could not be used: a last error of EnumWindows, in the range
// Windows leaves to applications, worded by AccessibilityErrorText.
constexpr std::uint32_t ACCESSIBILITY_ERROR_NO_BUS = 0x20000010;

// "no accessibility bus: WHY" for that code; null for any other.
const char *AccessibilityErrorText(std::uint32_t error, char *buffer, std::size_t size);

// Whether the session is a Wayland one, whose own applications only this bus can reach. In any
// other session nothing here makes a call.
bool Wanted();

// One application as the enumeration hands it out: which one, and which of its windows (0 for
// the application itself, where no window title is known; k for its k-th known window).
struct Listed
{
    std::uint32_t application;
    std::uint32_t window;
};

// Lists the applications on the bus and sends every probe at once; those whose process owns an
// X11 window of this scan are left out (probed by their windows). False, with
// ACCESSIBILITY_ERROR_NO_BUS as the reason, when there is no bus.
bool ProbeApplications(const std::set<pid_t> &x11Owners, std::vector<Listed> &listed);

// The processes of every application the last listing found, those left out for their X11
// windows too.
std::set<pid_t> ListedProcesses();

// Waits for the probe's answer at most until timeoutMs after it was sent: 1 answered (an error
// reply too: its loop ran), 0 not, -2 the application has left the bus, -1 not probed in this
// scan.
int AwaitProbe(std::uint32_t application, unsigned timeoutMs);

// Collects the window titles of the applications that answered, within their limits. False
// when the bus closed while the probes were out (ACCESSIBILITY_ERROR_NO_BUS says so then):
// those not yet answered are unknown, not hung.
bool FinishProbes();

// Whether the application is still on the bus (asks the bus daemon, within a limit).
bool ApplicationExists(std::uint32_t application);

// Its process, as the bus daemon names it; 0 when not known.
pid_t ApplicationProcess(std::uint32_t application);

// The title of its window-th window, as learned the last time it answered; false when none is
// known.
bool WindowTitle(std::uint32_t application, std::uint32_t window, std::string &title);

// What lets a person tell which program it is: the name its desktop entry gives, else the
// accessible name it gave when it answered, else its command line. False when none is known.
bool ProgramName(std::uint32_t application, std::string &name);

} // namespace hungscan_accessibility

#endif

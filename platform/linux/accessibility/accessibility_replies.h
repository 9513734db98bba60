// What the accessibility bus's replies say, read from sd-bus messages: any application may send
// anything, so each reader takes only the type it asked for and nothing partial.
#ifndef HUNGSCAN_ACCESSIBILITY_REPLIES_H
#define HUNGSCAN_ACCESSIBILITY_REPLIES_H

#include <systemd/sd-bus.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace hungscan_accessibility {

// A list of accessible objects, (bus name, object path) pairs, as GetChildren returns them;
// false for an error reply or another type. Pairs read before a malformed one are kept.
bool ReadObjects(sd_bus_message *m, std::vector<std::pair<std::string, std::string>> &objects);

// A string property's value from a Properties.Get reply.
bool ReadStringVariant(sd_bus_message *m, std::string &value);

// A plain string (an address) or a number (a process id); false for an error reply or another
// type.
bool ReadString(sd_bus_message *m, std::string &value);
bool ReadNumber(sd_bus_message *m, std::uint32_t &value);

} // namespace hungscan_accessibility

#endif

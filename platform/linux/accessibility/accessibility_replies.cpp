#include "accessibility_replies.h"

namespace hungscan_accessibility {

namespace {

bool IsError(sd_bus_message *m)
{
    return sd_bus_message_is_method_error(m, nullptr) > 0;
}

} // namespace

bool ReadObjects(sd_bus_message *m, std::vector<std::pair<std::string, std::string>> &objects)
{
    objects.clear();
    if (IsError(m) || sd_bus_message_enter_container(m, 'a', "(so)") < 0)
        return false;
    const char *bus = nullptr, *path = nullptr;
    while (sd_bus_message_read(m, "(so)", &bus, &path) > 0 && bus != nullptr && path != nullptr)
        objects.emplace_back(bus, path);
    return true;
}

bool ReadStringVariant(sd_bus_message *m, std::string &value)
{
    const char *text = nullptr;
    if (IsError(m) || sd_bus_message_enter_container(m, 'v', "s") < 0 || sd_bus_message_read(m, "s", &text) < 0 ||
        text == nullptr)
        return false;
    value = text;
    return true;
}

bool ReadString(sd_bus_message *m, std::string &value)
{
    const char *text = nullptr;
    if (IsError(m) || sd_bus_message_read(m, "s", &text) < 0 || text == nullptr)
        return false;
    value = text;
    return true;
}

bool ReadNumber(sd_bus_message *m, std::uint32_t &value)
{
    return !IsError(m) && sd_bus_message_read(m, "u", &value) >= 0;
}

} // namespace hungscan_accessibility

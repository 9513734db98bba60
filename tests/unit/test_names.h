// Readable names for table-driven cases: "owner denied: x" becomes "owner_denied_x".
#ifndef HUNGSCAN_TESTS_TEST_NAMES_H
#define HUNGSCAN_TESTS_TEST_NAMES_H

#include <cctype>
#include <string>

inline std::string TestName(const std::string &text)
{
    std::string name;
    for (const char c : text)
    {
        if (std::isalnum(static_cast<unsigned char>(c)))
            name.push_back(c);
        else if (!name.empty() && name.back() != '_')
            name.push_back('_');
    }
    while (!name.empty() && name.back() == '_')
        name.pop_back();
    return name.empty() ? "unnamed" : name;
}

#endif

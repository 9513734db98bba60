// The words for the last errors the event logging calls leave, for FormatMessageA.
#ifndef HUNGSCAN_LINUX_JOURNAL_H
#define HUNGSCAN_LINUX_JOURNAL_H

#include <windows.h>

#include <cstddef>

namespace hungscan_platform {

// Null for any other code.
const char *JournalErrorText(DWORD error, char *buffer, std::size_t size);

} // namespace hungscan_platform

#endif

// The event logging calls, on Linux: the systemd journal, through its native protocol.
//
// Windows                              Linux
// RegisterEventSourceW                 the journal's socket, /run/systemd/journal/socket, must take
//                                      a datagram; a handle stands for the source's name
// ReportEventW                         one journal entry (sd_journal_sendv): the insertion strings
//                                      become fields, as res/hungscan_messages.mc orders them, the
//                                      event type its priority, the event id a MESSAGE_ID
// event type warning / information     PRIORITY 4 (warning) / 5 (notice)
//
// A failure leaves a last error the platform words itself (FormatMessageA): the errno of the
// socket, in the range Windows leaves to applications.

#include <windows.h>

#include "journal.h"

// The source location of the call says nothing to whoever reads the entry.
#define SD_JOURNAL_SUPPRESS_LOCATION
#include <systemd/sd-journal.h>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace hungscan_platform {

// Last errors of the event logging calls: the errno in the low 16 bits.
constexpr DWORD JOURNAL_ERROR = 0x20010000;

const char *JournalErrorText(DWORD error, char *buffer, std::size_t size)
{
    if ((error & 0xFFFF0000u) != JOURNAL_ERROR)
        return nullptr;
    std::snprintf(buffer, size, "the journal cannot be written (%s)", std::strerror(static_cast<int>(error & 0xFFFF)));
    return buffer;
}

} // namespace hungscan_platform

using hungscan_platform::JOURNAL_ERROR;

namespace {

const char JOURNAL_SOCKET[] = "/run/systemd/journal/socket";

// What a handle of the event source stands for: nothing but its being open.
int eventSourceToken = 0;

struct EventKind
{
    DWORD id;
    const char *word;      // HUNGSCAN_EVENT
    const char *messageId; // MESSAGE_ID, fixed for good: queries name it
};

// One per event of res/hungscan_messages.mc.
const EventKind EVENT_KINDS[] = {
    {0x80000001, "unresponsive", "4128b61b83814022970b35a92fb60330"},
    {0x40000002, "responding", "d7e5d309e0fc4dfe83c9862936ba6c7a"},
    {0x40000003, "gone", "1ab80c7b161c453eba79e32b12b0278b"},
    {0x80000004, "still", "1257447fdae34924b56c412d60e33672"},
};

// The field each insertion string becomes, in the message file's order.
const char *const STRING_FIELDS[] = {
    "MESSAGE", "HUNGSCAN_CAPTION", "HUNGSCAN_PATH", "OBJECT_PID",
    "HUNGSCAN_WINDOW", "HUNGSCAN_TID", "HUNGSCAN_SECONDS", "HUNGSCAN_WHY",
    "HUNGSCAN_PROGRAM",
};

std::string Utf8Of(LPCWSTR text)
{
    const int length = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<size_t>(length > 0 ? length : 0), '\0');
    if (length > 0)
        WideCharToMultiByte(CP_UTF8, 0, text, -1, out.data(), length, nullptr, nullptr);
    if (!out.empty() && out.back() == '\0')
        out.pop_back();
    return out;
}

} // namespace

extern "C" HANDLE WINAPI RegisterEventSourceW(LPCWSTR lpUNCServerName, LPCWSTR)
{
    if (lpUNCServerName != nullptr && *lpUNCServerName != 0)
    {
        SetLastError(JOURNAL_ERROR | EHOSTUNREACH); // another machine's journal cannot be reached
        return nullptr;
    }
    // A journal that is there takes a datagram on its socket: try, with an empty one it ignores.
    const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, JOURNAL_SOCKET, sizeof JOURNAL_SOCKET);
    const bool reached = fd >= 0 && connect(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) == 0;
    const int why = errno;
    if (fd >= 0)
        close(fd);
    if (!reached)
    {
        SetLastError(JOURNAL_ERROR | static_cast<DWORD>(why & 0xFFFF));
        return nullptr;
    }
    return &eventSourceToken;
}

extern "C" BOOL WINAPI ReportEventW(HANDLE hEventLog, WORD wType, WORD, DWORD dwEventID, PSID, WORD wNumStrings, DWORD,
                                    LPCWSTR *lpStrings, LPVOID)
{
    const EventKind *kind = nullptr;
    for (const EventKind &known : EVENT_KINDS)
        if (known.id == dwEventID)
            kind = &known;
    const size_t fieldCount = sizeof STRING_FIELDS / sizeof STRING_FIELDS[0];
    if (hEventLog != &eventSourceToken || kind == nullptr || wNumStrings > fieldCount ||
        (wNumStrings > 0 && lpStrings == nullptr))
    {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    std::vector<std::string> fields = {
        std::string("PRIORITY=") + (wType == EVENTLOG_WARNING_TYPE ? "4" : "5"),
        "SYSLOG_IDENTIFIER=hungscan",
        std::string("MESSAGE_ID=") + kind->messageId,
        std::string("HUNGSCAN_EVENT=") + kind->word,
    };
    for (WORD i = 0; i < wNumStrings; ++i)
    {
        const std::string value = Utf8Of(lpStrings[i]);
        // An empty string is a field the event does not have.
        if (!value.empty())
            fields.push_back(std::string(STRING_FIELDS[i]) + "=" + value);
    }
    std::vector<iovec> parts;
    for (std::string &field : fields)
        parts.push_back({field.data(), field.size()});
    const int sent = sd_journal_sendv(parts.data(), static_cast<int>(parts.size()));
    if (sent < 0)
    {
        SetLastError(JOURNAL_ERROR | static_cast<DWORD>(-sent & 0xFFFF));
        return FALSE;
    }
    return TRUE;
}

extern "C" BOOL WINAPI DeregisterEventSource(HANDLE hEventLog)
{
    if (hEventLog != &eventSourceToken)
    {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return TRUE;
}

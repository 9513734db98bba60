// The event logging calls of the scripted platform, as Microsoft documents them:
// - RegisterEventSourceW (learn.microsoft.com/windows/win32/api/winbase/nf-winbase-registereventsourcew):
//   NULL for the local computer; a source not registered is logged to the Application log; NULL
//   on failure, with the last error (here RPC_S_SERVER_UNAVAILABLE, the Event Log service
//   stopped). No administrator is needed to write.
// - ReportEventW (.../nf-winbase-reporteventw): at most 256 insertion strings, each at most
//   31,839 characters; zero on failure with the last error (RPC_S_CALL_FAILED among those the
//   page lists).
// - DeregisterEventSource (.../nf-winbase-deregistereventsource): closes what the first opened.

#include "scripted.h"
#include "scripted_trace.h"

#include <windows.h>

#include <cstdio>
#include <string>

using namespace scripted;

namespace {

HANDLE const kEventSource = reinterpret_cast<HANDLE>(std::uintptr_t(0x7FB00000));
const size_t kMaxStrings = 256;
const size_t kMaxStringLength = 31839;

bool registered = false;
long reported = 0;

std::string Utf8Of(LPCWSTR text, size_t *length)
{
    size_t count = 0;
    while (text[count] != 0)
        ++count;
    *length = count;
    const int size = WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(count), nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<size_t>(size > 0 ? size : 0), '\0');
    if (size > 0)
        WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(count), out.data(), size, nullptr, nullptr);
    return out;
}

} // namespace

extern "C" HANDLE WINAPI RegisterEventSourceW(LPCWSTR lpUNCServerName, LPCWSTR lpSourceName)
{
    size_t length = 0;
    const std::string source = lpSourceName != nullptr ? Utf8Of(lpSourceName, &length) : "";
    Record("RegisterEventSourceW(" + std::string(lpUNCServerName == nullptr ? "NULL" : "server") + ", " + source + ")");
    if (lpUNCServerName != nullptr)
        Violation("RegisterEventSourceW: the program logs on its own computer only");
    if (source != "hungscan")
        Violation("RegisterEventSourceW: source \"" + source + "\" is not the program's");
    if (registered)
        Violation("RegisterEventSourceW: the source is opened once a run");
    if (!PlayedScenario().eventLogOpens)
    {
        WriteReport();
        SetLastError(PlayedScenario().eventLogError);
        return nullptr;
    }
    registered = true;
    ++RunTrace().opened;
    return kEventSource;
}

extern "C" BOOL WINAPI ReportEventW(HANDLE hEventLog, WORD wType, WORD wCategory, DWORD dwEventID, PSID lpUserSid,
                                    WORD wNumStrings, DWORD dwDataSize, LPCWSTR *lpStrings, LPVOID lpRawData)
{
    char head[64];
    std::snprintf(head, sizeof head, "%s 0x%08lX", wType == EVENTLOG_WARNING_TYPE       ? "warning"
                                                   : wType == EVENTLOG_INFORMATION_TYPE ? "information"
                                                                                        : "other",
                  static_cast<unsigned long>(dwEventID));
    Record(std::string("ReportEventW(") + head + ")");
    if (hEventLog != kEventSource || !registered)
        Violation("ReportEventW: not a handle RegisterEventSourceW gave");
    if (wCategory != 0 || lpUserSid != nullptr || dwDataSize != 0 || lpRawData != nullptr)
        Violation("ReportEventW: no category, user or data is the program's to give");
    if (wNumStrings > kMaxStrings || (wNumStrings > 0 && lpStrings == nullptr))
        Violation("ReportEventW: the strings are not as documented");
    std::string event = head;
    for (WORD i = 0; lpStrings != nullptr && i < wNumStrings; ++i)
    {
        size_t length = 0;
        event += "\t" + Utf8Of(lpStrings[i], &length);
        if (length > kMaxStringLength)
            Violation("ReportEventW: an insertion string longer than 31,839 characters");
    }
    if (PlayedScenario().eventLogFailsAfter >= 0 && reported >= PlayedScenario().eventLogFailsAfter)
    {
        SetLastError(PlayedScenario().eventLogFailError);
        return FALSE;
    }
    ++reported;
    RunTrace().logged.push_back(event);
    WriteReport();
    return TRUE;
}

extern "C" BOOL WINAPI DeregisterEventSource(HANDLE hEventLog)
{
    Record("DeregisterEventSource()");
    if (hEventLog != kEventSource || !registered)
    {
        Violation("DeregisterEventSource: not a handle RegisterEventSourceW gave");
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    registered = false;
    ++RunTrace().closed;
    WriteReport();
    return TRUE;
}

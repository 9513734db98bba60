#include "event_log.h"

#include "check_window.h"
#include "records.h"

#include <iostream>
#include <vector>

// Open from --log's start to the end of the run.
static HANDLE eventSource = NULL;

// As the system log keeps it: UTF-16.
static std::vector<WCHAR> Wide(const std::string &utf8)
{
    const int length = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), NULL, 0);
    std::vector<WCHAR> wide(static_cast<size_t>(length > 0 ? length : 0) + 1, 0);
    if (length > 0)
        MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), wide.data(), length);
    return wide;
}

BOOL OpenSystemLog()
{
    // Any name opens the Application log; an unregistered source only lacks its sentences.
    const WCHAR source[] = {'h', 'u', 'n', 'g', 's', 'c', 'a', 'n', 0};
    eventSource = RegisterEventSourceW(NULL, source);
    if (eventSource == NULL)
    {
        WriteErrorLine("cannot write to the system log", GetLastError());
        return FALSE;
    }
    return TRUE;
}

LoggedWindow DescribeLoggedWindow(HWND hwnd, DWORD processId)
{
    LoggedWindow window = {hwnd, processId, 0, "", "", "", FALSE};
    DWORD owner = 0;
    window.threadId = GetWindowThreadProcessId(hwnd, &owner);
    // As the report does: a window of no known title is told by its program, and the caption
    // stays empty, for nothing may pass for a title that is not one.
    ReadCaptionUtf8(hwnd, &window.caption, &window.program);
    window.opened = ReadOwnerPathUtf8(processId, &window.path);
    if (!window.opened)
        window.path.clear();
    return window;
}

// As the report shows text that came from elsewhere: no control character acts on a reader.
static std::string Shown(std::string text)
{
    ReplaceControlBytes(&text[0]);
    text.resize(std::char_traits<char>::length(text.c_str()));
    return text;
}

std::string EventLine(const char *event, const LoggedWindow &window, BOOL timed, ULONGLONG seconds,
                      const std::string &why)
{
    std::string line = event;
    if (timed)
        line += " after " + std::to_string(seconds) + " s";
    if (window.program.empty())
        line += ": " + Shown(window.caption);
    else
        line += ": program " + UntitledName(Shown(window.program));
    if (!window.opened)
        line += " | !! Error (OpenProcess)";
    else if (!window.path.empty())
        line += " | " + Shown(window.path);
    if (!why.empty())
        line += " | why: " + why;
    return line;
}

BOOL LogWindowEvent(DWORD eventId, const std::string &line, const LoggedWindow &window, ULONGLONG seconds,
                    const std::string &why)
{
    if (eventSource == NULL)
        return TRUE;
    const std::string texts[] = {
        line,
        window.caption,
        window.path,
        std::to_string(window.processId),
        std::to_string(HandleToULong(window.hwnd)),
        std::to_string(window.threadId),
        eventId == MSG_WINDOW_UNRESPONSIVE ? std::string() : std::to_string(seconds),
        why,
        window.program,
    };
    std::vector<std::vector<WCHAR>> wide;
    std::vector<LPCWSTR> strings;
    for (const std::string &text : texts)
        wide.push_back(Wide(text));
    for (const std::vector<WCHAR> &text : wide)
        strings.push_back(text.data());
    const WORD type = (eventId & 0xC0000000) == 0x80000000 ? EVENTLOG_WARNING_TYPE : EVENTLOG_INFORMATION_TYPE;
    if (!ReportEventW(eventSource, type, 0, eventId, NULL, static_cast<WORD>(strings.size()), 0, strings.data(), NULL))
    {
        WriteErrorLine("cannot write to the system log", GetLastError());
        return FALSE;
    }
    return TRUE;
}

void CloseSystemLog()
{
    if (eventSource != NULL)
        DeregisterEventSource(eventSource);
    eventSource = NULL;
}

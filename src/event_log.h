// --log: each event also goes to the system log (the Application log on Windows), with the
// window, its owner, how long and why as insertion strings, so that collectors can query them.
#ifndef HUNGSCAN_EVENT_LOG_H
#define HUNGSCAN_EVENT_LOG_H

#include <windows.h>

#include <string>

// The event ids of res/hungscan_messages.mc, as its message compiler numbers them: severity in
// the top two bits, then the message id.
const DWORD MSG_WINDOW_UNRESPONSIVE = 0x80000001;
const DWORD MSG_WINDOW_RESPONDING = 0x40000002;
const DWORD MSG_WINDOW_GONE = 0x40000003;
const DWORD MSG_WINDOW_STILL = 0x80000004;

// What an event says of its window, read once, when the window is found not answering.
struct LoggedWindow
{
    HWND hwnd;
    DWORD processId;
    DWORD threadId;
    std::string caption; // UTF-8, as the window has it
    std::string program; // where no title of the window is known, its program's name; else empty
    std::string path;    // UTF-8; empty where the owner could not be read
    BOOL opened;         // the owner could be opened
};

// Opens the log for the run. Where there is none to write to, says why on standard error and
// returns FALSE: nothing is scanned then.
BOOL OpenSystemLog();

// Reads what an event says of a window.
LoggedWindow DescribeLoggedWindow(HWND hwnd, DWORD processId);

// The line a report writes for an event, without its time stamp and in UTF-8, each piece shown
// as the report shows it: "EVENT[ after N s]: CAPTION | PATH[ | why: WHY]", where a window of
// no known title is "program NAME (no window title known)" in place of its caption.
std::string EventLine(const char *event, const LoggedWindow &window, BOOL timed, ULONGLONG seconds,
                      const std::string &why);

// Records one event: line is what the report writes for it, without a time stamp; seconds is
// how long the window had not answered (ignored for MSG_WINDOW_UNRESPONSIVE); why the verdict's
// words, or empty. FALSE when the log refused it, its reason said on standard error.
BOOL LogWindowEvent(DWORD eventId, const std::string &line, const LoggedWindow &window, ULONGLONG seconds,
                    const std::string &why);

void CloseSystemLog();

#endif

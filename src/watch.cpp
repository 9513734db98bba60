#include "watch.h"

#include "check_window.h"
#include "event_log.h"
#include "records.h"
#include "why.h"

#include <cstdio>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

// A window found not answering, remembered until it answers again or goes. It is the same
// window while its handle and its process stay the same.
struct WatchedWindow
{
    HWND hwnd;
    DWORD processId;
    ULONGLONG since; // tick count of the scan that first found it
    std::string label; // caption, then " | " and the owner's path or the open error, as written
    BOOL seen;       // found not answering by the scan under way
    DWORD threadId;
    // With --json: what its records say of it, and of the verdict of the latest scan that found
    // it not answering; a program stopped, then let go but still busy, is no longer suspended.
    std::shared_ptr<std::string> fields;
    std::shared_ptr<std::string> verdict;
    // With --log: what its events say of it, and the words of its latest verdict.
    std::shared_ptr<LoggedWindow> logged;
    std::shared_ptr<std::string> why;
};

// What one scan shares with its enumeration callback.
struct WatchScan
{
    std::vector<WatchedWindow> *windows;
    ULONGLONG ticks;
    char stamp[20];   // local time of the scan: "YYYY-MM-DD HH:MM:SS"
    BOOL why;
    BOOL json;
    BOOL log;
    std::string time; // the scan's, for records
    BOOL stopped;     // the console closed under it: it stopped part way
};

// The system log refused an event: the watch ends, as it does when its output is lost.
static BOOL logFailed = FALSE;

// With --log, the event in the system log as well.
static void LogEvent(const WatchScan &scan, DWORD eventId, const char *event, const WatchedWindow &window, BOOL timed)
{
    if (!scan.log || logFailed || window.logged == nullptr)
        return;
    const ULONGLONG seconds = (scan.ticks - window.since) / 1000;
    const std::string why = eventId == MSG_WINDOW_UNRESPONSIVE || eventId == MSG_WINDOW_STILL ? *window.why : "";
    if (!LogWindowEvent(eventId, EventLine(event, *window.logged, timed, seconds, why), *window.logged, seconds, why))
        logFailed = TRUE;
}

// Set by Ctrl+C, Ctrl+Break, closing the console, or Enter; the watch ends at the next wait.
static HANDLE stopEvent = NULL;
// Set once the closing lines are out: closing the console ends the process as soon as the
// handler returns, so the handler waits for them.
static HANDLE doneEvent = NULL;
// The console closed (on X11: the display went away, or the terminal hung up).
static volatile LONG consoleClosed = FALSE;
// How long a closing console waits for the closing lines: Windows ends the process 5 s after the
// close, whatever it is doing. The scan under way stops at its next window and waits for no
// probe in flight, so that the lines come well within that.
static const DWORD CLOSING_LINES_MS = 4000;

// The system calls this on a thread of its own.
static BOOL WINAPI StopOnCtrl(DWORD ctrlType)
{
    if (ctrlType != CTRL_C_EVENT && ctrlType != CTRL_BREAK_EVENT && ctrlType != CTRL_CLOSE_EVENT)
        return FALSE;
    // A watch blocked on an output nobody reads cannot reach its next wait: a second Ctrl+C
    // is left to the system, which ends the process, as users expect of a second press.
    if (ctrlType != CTRL_CLOSE_EVENT && WaitForSingleObject(stopEvent, 0) == WAIT_OBJECT_0)
        return FALSE;
    if (ctrlType == CTRL_CLOSE_EVENT)
        consoleClosed = TRUE;
    SetEvent(stopEvent);
    if (ctrlType != CTRL_CLOSE_EVENT)
        return TRUE;
    // The closing lines, if they can be written in time; an output nobody reads must not keep
    // the process alive once its console has gone.
    WaitForSingleObject(doneEvent, CLOSING_LINES_MS);
    ExitProcess(1);
    return TRUE;
}

// Whether standard output can still be written. A pipe whose reader has gone refuses even an
// empty write; a watch that reports nothing for hours would otherwise never notice. Only a pipe
// in byte mode (an anonymous pipe is one) is asked so: the reader of a message-mode pipe gets
// the empty write as a message of 0 bytes, which many readers take for the end, and files and
// consoles have no reader to lose. Those learn of a lost output at the next real write.
static BOOL OutputAlive()
{
    if (!std::cout.good())
        return FALSE;
    HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
    DWORD flags = 0;
    if (!GetNamedPipeInfo(output, &flags, NULL, NULL, NULL) || (flags & PIPE_TYPE_MESSAGE) != 0)
        return TRUE;
    DWORD written = 0;
    return WriteFile(output, "", 0, &written, NULL);
}

// How often a quiet watch looks whether anyone still reads it.
static const DWORD OUTPUT_CHECK_MS = 1000;

// Waits on standard input for Enter. A console in line mode hands over a whole line at once;
// a pipe or file gives what it has. At the end of input (a service, "< NUL") only Ctrl+C and
// Ctrl+Break stop the watch, so the thread just ends.
static DWORD WINAPI StopOnEnter(LPVOID)
{
    HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    char buffer[256];
    DWORD count = 0;
    while (ReadFile(input, buffer, sizeof buffer, &count, NULL) && count > 0)
    {
        for (DWORD i = 0; i < count; ++i)
        {
            if (buffer[i] == '\n' || buffer[i] == '\r')
            {
                SetEvent(stopEvent);
                return 0;
            }
        }
    }
    return 0;
}

// One line, stamped with the scan's time; with how long the window had not answered, counted
// from the scan that found it to this one, when timed.
static void WriteLine(const WatchScan &scan, const char *event, const WatchedWindow &window, BOOL timed)
{
    LogEvent(scan, event[0] == 'R' ? MSG_WINDOW_RESPONDING : event[0] == 'G' ? MSG_WINDOW_GONE
                   : event[0] == 'S'                   ? MSG_WINDOW_STILL
                                                       : MSG_WINDOW_UNRESPONSIVE,
             event, window, timed);
    if (scan.json)
    {
        // Records name the events in a word each.
        const std::string word = event[0] == 'R' ? "responding" : event[0] == 'G' ? "gone" : "still";
        WriteRecord(word.c_str(), scan.time,
                    *window.fields + "," + *window.verdict + ",\"seconds\":" +
                        std::to_string((scan.ticks - window.since) / 1000));
        return;
    }
    const std::string after = timed ? " after " + std::to_string((scan.ticks - window.since) / 1000) + " s" : "";
    WriteOutput(std::string(scan.stamp) + ' ' + event + after + ": " + window.label + "\n");
    ReportWritable();
}

// A window whose owner ended before its verdict has gone: it was never reported, so it is not
// watched either.
static void ForgetWindow(std::vector<WatchedWindow> *windows, HWND hwnd, DWORD processId)
{
    for (size_t i = 0; i < windows->size(); ++i)
        if ((*windows)[i].hwnd == hwnd && (*windows)[i].processId == processId)
        {
            windows->erase(windows->begin() + static_cast<std::ptrdiff_t>(i));
            return;
        }
}

// A window the scan found not answering.
static void NoteUnresponsive(WatchScan *scan, HWND hwnd, DWORD processId)
{
    for (WatchedWindow &known : *scan->windows)
    {
        if (known.hwnd == hwnd && known.processId == processId && !known.seen)
        {
            known.seen = TRUE;
            // Its records say what this scan finds of its thread.
            if (scan->json)
            {
                const std::shared_ptr<std::string> verdict = known.verdict;
                const std::shared_ptr<std::string> why = scan->why ? known.why : nullptr;
                WithVerdict(processId, known.threadId, [verdict, why](const ThreadVerdict &judged) {
                    *verdict = VerdictFields(judged);
                    if (why != nullptr)
                        *why = DescribeVerdict(judged);
                });
            }
            return;
        }
    }

    // New: its caption and owner are read once, when it is first found; for records, as the
    // window has them.
    DWORD owner = 0;
    const DWORD threadId = GetWindowThreadProcessId(hwnd, &owner);
    WatchedWindow window = {hwnd,     processId, scan->ticks, "", TRUE, threadId, std::make_shared<std::string>(),
                            std::make_shared<std::string>(), nullptr, std::make_shared<std::string>()};
    if (scan->log)
        window.logged = std::make_shared<LoggedWindow>(DescribeLoggedWindow(hwnd, processId));
    if (scan->json)
    {
        *window.fields = WindowFields(hwnd, processId, threadId);
        const std::shared_ptr<std::string> fields = window.fields;
        const std::shared_ptr<std::string> verdict = window.verdict;
        const std::string time = scan->time;
        scan->windows->push_back(window);
        std::vector<WatchedWindow> *windows = scan->windows;
        const WatchScan *at = scan;
        WithVerdict(processId, threadId,
                    [fields, verdict, time, windows, hwnd, processId, window, at](const ThreadVerdict &judged) {
                        if (judged.state == THREAD_GONE)
                            return ForgetWindow(windows, hwnd, processId);
                        *verdict = VerdictFields(judged);
                        WriteRecord("unresponsive", time, *fields + "," + *verdict);
                        if (at->why)
                            *window.why = DescribeVerdict(judged);
                        LogEvent(*at, MSG_WINDOW_UNRESPONSIVE, "Unresponsive", window, FALSE);
                    });
        return;
    }
    char text[TEXT_BUFFER_SIZE];
    SetLastError(0);
    ReadCaption(hwnd, text);
    window.label = text;
    if (text[0] == '\0' && ReadProgramName(hwnd, text))
        window.label = "program " + UntitledName(text);
    switch (ReadOwnerPath(processId, text))
    {
    case OWNER_PATH:
        window.label = window.label + " | " + text;
        break;
    case OWNER_NOT_OPENED:
        window.label += " | !! Error (OpenProcess)";
        break;
    case OWNER_NO_PATH:
        break;
    }
    scan->windows->push_back(window);
    if (!scan->why)
    {
        WriteLine(*scan, "Unresponsive", window, FALSE);
        return;
    }
    const std::string line = std::string(scan->stamp) + " Unresponsive: " + window.label;
    std::vector<WatchedWindow> *windows = scan->windows;
    const WatchScan *at = scan;
    WithVerdict(processId, threadId, [line, windows, hwnd, processId, window, at](const ThreadVerdict &verdict) {
        if (verdict.state == THREAD_GONE)
            return ForgetWindow(windows, hwnd, processId);
        WriteOutput(line + " | why: " + DescribeVerdict(verdict) + "\n");
        ReportWritable();
        *window.why = DescribeVerdict(verdict);
        LogEvent(*at, MSG_WINDOW_UNRESPONSIVE, "Unresponsive", window, FALSE);
    });
}

// The windows whose verdicts are known by now, in listing order; with wait, all of them. Once the
// console has closed, none more: the scan stops there, and the closing lines come first.
static void NoteKnown(WatchScan *scan, BOOL wait)
{
    HWND hwnd = NULL;
    BOOL unresponsive = FALSE;
    DWORD processId = 0;
    for (;;)
    {
        if (consoleClosed)
        {
            scan->stopped = TRUE;
            return;
        }
        if (!NextProbedWindow(wait, &hwnd, &unresponsive, &processId))
            return;
        if (unresponsive)
            NoteUnresponsive(scan, hwnd, processId);
    }
}

static BOOL CALLBACK WatchWindowProc(HWND hwnd, LPARAM lParam)
{
    WatchScan *scan = reinterpret_cast<WatchScan *>(lParam);
    if (consoleClosed)
    {
        scan->stopped = TRUE;
        return FALSE;
    }
    WriteReadyVerdicts();
    ProbeWindow(hwnd);
    if (scan->why || scan->json)
        SampleWindowThread(hwnd);
    NoteKnown(scan, FALSE);
    return TRUE;
}

// The windows the scan did not find unresponsive again: answering, or gone.
static void ReportChanges(WatchScan &scan)
{
    std::vector<WatchedWindow> &windows = *scan.windows;
    for (size_t i = 0; i < windows.size();)
    {
        if (windows[i].seen)
        {
            windows[i].seen = FALSE;
            ++i;
            continue;
        }
        // The same window answers again only if its handle still names a window of the same
        // process; a handle that another process's window has taken means the old one went.
        BOOL stillThere = FALSE;
        if (IsWindow(windows[i].hwnd))
        {
            DWORD processId = 0;
            GetWindowThreadProcessId(windows[i].hwnd, &processId);
            stillThere = processId == windows[i].processId;
        }
        WriteLine(scan, stillThere ? "Responding again" : "Gone", windows[i], TRUE);
        windows.erase(windows.begin() + static_cast<std::ptrdiff_t>(i));
    }
}

// The scan's times: the local one that lines carry, the UTC one that records carry.
static void StampScan(WatchScan &scan)
{
    scan.ticks = GetTickCount64();
    SYSTEMTIME now;
    GetLocalTime(&now);
    std::snprintf(scan.stamp, sizeof scan.stamp, "%04u-%02u-%02u %02u:%02u:%02u", now.wYear % 10000u,
                  now.wMonth % 100u, now.wDay % 100u, now.wHour % 100u, now.wMinute % 100u, now.wSecond % 100u);
    scan.time = scan.json ? RecordTime() : "";
}

// A scan that could not list the windows: its line, or record; why, once for a run of them, as
// every interval would bury the screen.
static void WriteFailedScan(const WatchScan &scan, DWORD error, BOOL first)
{
    if (scan.json)
        WriteRecord("error", scan.time, "\"call\":\"EnumWindows\",\"reason\":" + JsonString(SystemErrorText(error)));
    else
    {
        WriteOutput(std::string(scan.stamp) + " !! Error (EnumWindows)\n");
        ReportWritable();
    }
    if (first)
        WriteErrorLine("cannot list the windows", error);
}

// Only whether the enumeration reaches a window: nothing is probed.
static BOOL CALLBACK StopAtFirstWindow(HWND, LPARAM lParam)
{
    *reinterpret_cast<BOOL *>(lParam) = TRUE;
    return FALSE;
}

int WatchWindows(UINT intervalSeconds, BOOL why, BOOL json, BOOL log)
{
    if (log && !OpenSystemLog())
        return 1;
    stopEvent = CreateEventA(NULL, TRUE, FALSE, NULL);
    doneEvent = CreateEventA(NULL, TRUE, FALSE, NULL);
    if (stopEvent == NULL || doneEvent == NULL)
    {
        std::cerr << "hungscan: cannot watch: no event" << std::endl;
        return 1;
    }
    SetConsoleCtrlHandler(StopOnCtrl, TRUE);
    HANDLE reader = CreateThread(NULL, 0, StopOnEnter, NULL, 0, NULL);
    if (reader != NULL)
        CloseHandle(reader);

    // A first line, or record, whatever the desktop holds: a watch with nothing to report
    // learns at once that its output cannot be written (a full disk, a closed output, a reader
    // gone), where an empty write would pass.
    if (json)
        WriteRecord("watching", RecordTime(), "\"interval\":" + std::to_string(intervalSeconds));
    else
    {
        WriteOutput("Watching for unresponsive windows every " + std::to_string(intervalSeconds) +
                    " s. Press Enter to stop.\n");
        ReportWritable();
    }
    // Output that goes to a file or a pipe leaves the screen blank: say there how to stop.
    DWORD mode = 0;
    if (!GetConsoleMode(GetStdHandle(STD_OUTPUT_HANDLE), &mode))
        std::cerr << "hungscan: watching every " << intervalSeconds << " s; press Enter to stop" << std::endl;

    std::vector<WatchedWindow> windows;
    WatchScan scan = {&windows, 0, "", why, json, log, "", FALSE};
    ULONGLONG scans = 0;
    BOOL listed = TRUE;
    BOOL outputLost = !ReportWritable();
    const ULONGLONG interval = static_cast<ULONGLONG>(intervalSeconds) * 1000;
    while (!outputLost && !logFailed)
    {
        StampScan(scan);
        ++scans;

        const BOOL listedBefore = listed;
        BeginVerdicts();
        BeginProbes(listedBefore);
        scan.stopped = FALSE;
        listed = EnumWindows(WatchWindowProc, reinterpret_cast<LPARAM>(&scan));
        const DWORD error = listed ? 0 : GetLastError();
        const BOOL failed = !listed && !scan.stopped;
        NoteKnown(&scan, TRUE);
        FinishVerdicts();
        WriteUnnamedOwners();
        WriteBlindSpots();
        if (!failed && scan.stopped)
        {
            // A scan the close stopped is no failed one: the windows it reached are told of,
            // the probes still in flight are not waited for, and nothing is said of the rest.
            listed = TRUE;
            for (WatchedWindow &window : windows)
                window.seen = FALSE;
        }
        else if (!failed)
            ReportChanges(scan);
        else
        {
            // A scan that stopped part way says nothing of the windows it did not reach.
            for (WatchedWindow &window : windows)
                window.seen = FALSE;
            WriteFailedScan(scan, error, listedBefore);
        }

        // Scans start at a steady pace, however long each took; meanwhile the output is looked
        // at now and then, so a watch whose reader has gone ends instead of running for ever.
        BOOL stopped = FALSE;
        for (;;)
        {
            outputLost = !ReportWritable() || !OutputAlive();
            const ULONGLONG spent = GetTickCount64() - scan.ticks;
            if (outputLost || logFailed || spent >= interval)
                break;
            const ULONGLONG left = interval - spent;
            if (WaitForSingleObject(stopEvent, static_cast<DWORD>(left < OUTPUT_CHECK_MS ? left : OUTPUT_CHECK_MS)) !=
                WAIT_TIMEOUT)
            {
                stopped = TRUE;
                break;
            }
        }
        if (stopped || WaitForSingleObject(stopEvent, 0) != WAIT_TIMEOUT)
            break;
    }

    // On X11 the console closes when the display goes, whenever that is: in the middle of a
    // scan's sample as well as between scans. Whether the windows can still be listed decides
    // whether the last scan stands; a display that has gone is a failed scan like any other.
    if (consoleClosed && listed && !outputLost)
    {
        BOOL reached = FALSE;
        if (!EnumWindows(StopAtFirstWindow, reinterpret_cast<LPARAM>(&reached)) && !reached)
        {
            const DWORD error = GetLastError();
            StampScan(scan);
            listed = FALSE;
            WriteFailedScan(scan, error, TRUE);
        }
    }

    if (!json)
        WriteOutput("\n");
    for (const WatchedWindow &window : windows)
        WriteLine(scan, "Still unresponsive", window, TRUE);
    int status = listed && !outputLost && !consoleClosed && !logFailed ? 0 : 1;
    if (json)
        WriteRecord("done", RecordTime(), "\"scans\":" + std::to_string(scans) + ",\"status\":" + std::to_string(status));
    else
        WriteOutput("\nDone.\n");
    if (!ReportWritable())
    {
        status = 1;
        WriteReportFailure();
    }
    CloseSystemLog();
    // Answers still to come are no one's business once the watch is over.
    ForgetProbes();

    SetConsoleCtrlHandler(StopOnCtrl, FALSE);
    SetEvent(doneEvent);
    // The events stay open: the input thread and a late Ctrl handler may still set them until
    // the process ends.
    return status;
}

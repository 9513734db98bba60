#include "scan_options.h"

#include "check_window.h"
#include "event_log.h"
#include "records.h"
#include "why.h"

#include <iostream>
#include <string>

// What the scan shares with its enumeration callback.
struct ScanOptions
{
    BOOL why;
    BOOL json;
    BOOL log;
    std::string time; // the scan's, for records
    DWORD probed;
    DWORD unresponsive;
    BOOL logFailed; // the system log refused an event: the run fails
};

// With --log: the event for a window found not answering, once its verdict (if asked) is known.
static void LogUnresponsive(ScanOptions &options, const LoggedWindow &window, const std::string &why)
{
    if (options.log && !options.logFailed &&
        !LogWindowEvent(MSG_WINDOW_UNRESPONSIVE, EventLine("Unresponsive", window, FALSE, 0, why), window, 0, why))
        options.logFailed = TRUE;
}

// A scan with options: the block, or the record, waits for its thread's verdict.
static void ReportWithVerdict(HWND hwnd, DWORD processId, ScanOptions &options)
{
    DWORD owner = 0;
    const DWORD threadId = GetWindowThreadProcessId(hwnd, &owner);
    // A window whose owner ended before its verdict has gone: neither written nor counted.
    DWORD *unresponsive = &options.unresponsive;
    ScanOptions *scan = &options;
    const LoggedWindow logged = options.log ? DescribeLoggedWindow(hwnd, processId) : LoggedWindow();
    if (options.json)
    {
        const std::string fields = WindowFields(hwnd, processId, threadId);
        const std::string time = options.time;
        WithVerdict(processId, threadId, [fields, time, unresponsive, scan, logged](const ThreadVerdict &verdict) {
            if (verdict.state == THREAD_GONE)
                return;
            ++*unresponsive;
            WriteRecord("unresponsive", time, fields + "," + VerdictFields(verdict));
            LogUnresponsive(*scan, logged, scan->why ? DescribeVerdict(verdict) : std::string());
        });
        return;
    }
    char text[TEXT_BUFFER_SIZE];
    std::string block = "\nUnresponsive Window:\n" + CaptionLine(hwnd) + "\n";
    switch (ReadOwnerPath(processId, text))
    {
    case OWNER_PATH:
        block = block + " Path: " + text + "\n";
        break;
    case OWNER_NOT_OPENED:
        block += "!! Error (OpenProcess)\n";
        break;
    case OWNER_NO_PATH:
        break;
    }
    if (!options.why)
    {
        // --log alone: the plain report's block, with no verdict to wait for.
        ++*unresponsive;
        WriteOutput(block);
        LogUnresponsive(options, logged, "");
        return;
    }
    WithVerdict(processId, threadId, [block, unresponsive, scan, logged](const ThreadVerdict &verdict) {
        if (verdict.state == THREAD_GONE)
            return;
        ++*unresponsive;
        WriteOutput(block + " Why: " + DescribeVerdict(verdict) + "\n");
        LogUnresponsive(*scan, logged, DescribeVerdict(verdict));
    });
}

// The windows whose verdicts are known by now, in listing order; with wait, all of them.
static void ReportKnown(ScanOptions &options, BOOL wait)
{
    HWND hwnd = NULL;
    BOOL unresponsive = FALSE;
    DWORD processId = 0;
    while (NextProbedWindow(wait, &hwnd, &unresponsive, &processId))
        if (unresponsive)
            ReportWithVerdict(hwnd, processId, options);
}

static BOOL CALLBACK CheckWindowWithOptionsProc(HWND hwnd, LPARAM lParam)
{
    ScanOptions &options = *reinterpret_cast<ScanOptions *>(lParam);
    WriteReadyVerdicts();
    ++options.probed;
    ProbeWindow(hwnd);
    SampleWindowThread(hwnd);
    ReportKnown(options, FALSE);
    return TRUE;
}

// The scan with --why, --json or --log: the same probe and owner, each block waiting for the
// verdict on its thread, or records instead of the report; each event in the system log too.
int ScanWithOptions(BOOL why, BOOL json, BOOL log)
{
    ScanOptions options = {why, json, log, RecordTime(), 0, 0, FALSE};
    if (log && !OpenSystemLog())
        return 1;
    if (!json)
        WriteOutput("Checking for unresponsive windows...\n");
    BeginVerdicts();
    const BOOL listed = EnumWindows(CheckWindowWithOptionsProc, reinterpret_cast<LPARAM>(&options));
    const DWORD error = listed ? 0 : GetLastError();
    ReportKnown(options, TRUE);
    ForgetProbes();
    FinishVerdicts();
    int status = listed ? 0 : 1;
    if (!listed)
    {
        if (json)
            WriteRecord("error", options.time,
                        "\"call\":\"EnumWindows\",\"reason\":" + JsonString(SystemErrorText(error)));
        else
            WriteOutput("\n!! Error (EnumWindows)\n");
        WriteErrorLine("cannot list the windows", error);
    }
    WriteUnnamedOwners();
    WriteBlindSpots();
    if (options.logFailed)
        status = 1;
    CloseSystemLog();
    if (json)
    {
        // For scripts: no trailer, and no wait for Enter.
        WriteRecord("done", options.time,
                    "\"windows\":" + std::to_string(options.probed) +
                        ",\"unresponsive\":" + std::to_string(options.unresponsive) +
                        ",\"status\":" + std::to_string(status));
        return std::cout ? status : 1;
    }
    WriteOutput("\n\nDone.");
    if (!std::cout)
        status = 1;
    WriteHowToEnd();
    std::cin.get();
    return status;
}

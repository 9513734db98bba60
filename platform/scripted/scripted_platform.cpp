#include "scripted.h"
#include "scripted_console.h"
#include "scripted_trace.h"
#include "wide_text.h"

#include <wct.h>

#include <psapi.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>

namespace scripted {

namespace {

const UINT kExpectedTimeout = 1000;
const int kExpectedBufferSize = 1024;
const DWORD kExpectedAccess = PROCESS_QUERY_INFORMATION | PROCESS_VM_READ;
const std::uintptr_t kWindowBase = 0x10000;
const std::uintptr_t kHandleBase = 0x40000;
HMODULE const kNtdll = reinterpret_cast<HMODULE>(std::uintptr_t(0x7FF00000));
HMODULE const kKernel32 = reinterpret_cast<HMODULE>(std::uintptr_t(0x7FE00000));
HMODULE const kAdvapi32 = reinterpret_cast<HMODULE>(std::uintptr_t(0x7FD00000));
const char kSystemDirectory[] = "C:\\Windows\\system32";
HMODULE const kOle32 = reinterpret_cast<HMODULE>(std::uintptr_t(0x7FB00000));
const std::uintptr_t kWaitChainSessionBase = 0x7FC00000;
const std::uintptr_t kTokenBase = 0x7FA00000;
const DWORD kDebugPrivilege = 20; // SeDebugPrivilege's LUID (its low part)
const DWORD kErrorNoSuchPrivilege = 1313;
HANDLE const kCurrentProcess = reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(-1));
const LONG kStatusInfoLengthMismatch = static_cast<LONG>(0xC0000004u);

// The extended basic process information as the program's side lays it out: its size, the six
// fields of the basic information, then the flags.
const size_t kBasicInformationSize = 6 * sizeof(void *);
const size_t kFlagsOffset = sizeof(std::size_t) + kBasicInformationSize;
const ULONG kIsFrozen = 0x10;
// The 64-bit side's layout of the same: 64 bytes, the flags at offset 56.
const ULONG kSize64 = 64;
const size_t kFlagsOffset64 = 56;

struct OpenProcessHandle
{
    DWORD processId;
    DWORD access;
    bool thread; // a thread of that process, its only one
};

// One chain asked of an asynchronous session, and what its callback is to bring: written
// through the caller's own pointers when it comes, as the caller must keep them ("do not free
// the array until the callback function has returned").
struct ChainCall
{
    HWCT session;
    DWORD_PTR context;
    LPDWORD count;
    PWAITCHAIN_NODE_INFO nodes;
    LPBOOL cycle;
    DWORD status;
    std::vector<WAITCHAIN_NODE_INFO> chain;
    BOOL isCycle;
    bool never; // stuck: no callback until the program ends
    bool done;
};

struct ChainSession
{
    PWAITCHAINCALLBACK callback; // null for a synchronous session
    bool open;
};

struct WindowState
{
    bool probed = false;
    bool answered = false;
    bool sent = false; // SendMessageCallbackA, in this enumeration
    ULONGLONG sentAt = 0;
};

// A WM_NULL sent by SendMessageCallbackA whose callback has not run yet.
struct SentMessage
{
    std::uintptr_t window; // the window's handle
    DWORD owner;           // its process when it was sent
    SENDASYNCPROC callback;
    ULONG_PTR data;
    long dueMs; // when the answer is there to be taken; -1: not in sight
    size_t order; // sends so far, this one included
};

struct State
{
    Scenario scenario;
    std::vector<WindowState> windows;
    std::map<HANDLE, OpenProcessHandle> openHandles;
    std::map<HANDLE, bool> modulePathRead; // handle -> whether GetModuleFileNameExA gave a path
    std::uintptr_t nextHandle = 0;
    std::function<std::string()> flushed;
    std::string reportPath;
    DWORD lastError = 0;
    size_t lastProbed = SIZE_MAX;
    // The desktop the enumeration shows now: the scenario's first, or a later one.
    const std::vector<Window> *desktop = nullptr;
    long enumFailsAfter = -1;
    DWORD enumError = 0;
    std::map<HWCT, ChainSession> chainSessions;
    std::vector<ChainCall> chainCalls;
    bool comRegistered = false;
    bool debugEnabled = false;
    std::map<HANDLE, DWORD> tokens; // open token handles, with their rights
    std::uintptr_t nextToken = 0;
    std::vector<SentMessage> sent;
    // Windows the program has sent a probe in an earlier enumeration of this run: it may ask
    // who owns such a handle before it probes it again, as Windows lets any caller, to tell
    // whether a probe it still waits for belongs to the same window.
    std::vector<std::uintptr_t> probedBefore;
    size_t sends = 0;
    // This enumeration's probes: whether the program has waited for answers yet, and when the
    // last one was sent (-1: none).
    bool waited = false;
    long lastSendMs = -1;
};

State &state()
{
    static State s;
    return s;
}

std::string Hex(std::uintptr_t value)
{
    char text[32];
    std::snprintf(text, sizeof text, "0x%lx", static_cast<unsigned long>(value));
    return text;
}

std::string WindowName(HWND hwnd)
{
    const std::uintptr_t value = reinterpret_cast<std::uintptr_t>(hwnd);
    if (value >= kWindowBase && (value - kWindowBase) % 16 == 0)
        return "#" + std::to_string((value - kWindowBase) / 16);
    return Hex(value);
}

std::string HandleName(HANDLE handle)
{
    if (handle == NULL)
        return "null";
    const std::uintptr_t value = reinterpret_cast<std::uintptr_t>(handle);
    if (value > kHandleBase && (value - kHandleBase) % 4 == 0)
        return "h" + std::to_string((value - kHandleBase) / 4);
    return Hex(value);
}

// The window of the current desktop behind a handle, or null for a handle it does not show.
const Window *Lookup(HWND hwnd, size_t &index)
{
    const std::uintptr_t value = reinterpret_cast<std::uintptr_t>(hwnd);
    if (value < kWindowBase || (value - kWindowBase) % 16 != 0)
        return nullptr;
    const std::uintptr_t id = (value - kWindowBase) / 16;
    const std::vector<Window> &windows = *state().desktop;
    for (index = 0; index < windows.size(); ++index)
        if (static_cast<std::uintptr_t>(windows[index].id >= 0 ? windows[index].id : static_cast<long>(index)) == id)
            return &windows[index];
    return nullptr;
}

// Whether a probe sent to the window (by handle value) still waits for its callback.
bool Awaited(std::uintptr_t window)
{
    for (const SentMessage &message : state().sent)
        if (message.window == window)
            return true;
    return false;
}

// Whether the program has sent the window a probe before.
bool ProbedBefore(std::uintptr_t window)
{
    for (const std::uintptr_t probed : state().probedBefore)
        if (probed == window)
            return true;
    return false;
}

// A window handle the program may only use after its probe failed.
const Window *LookupProbed(const char *call, HWND hwnd, size_t &index, bool answeredAllowed = false)
{
    const Window *window = Lookup(hwnd, index);
    if (window == nullptr)
    {
        Violation(std::string(call) + " on a window the enumeration never gave: " + WindowName(hwnd));
        return nullptr;
    }
    const WindowState &ws = state().windows[index];
    const bool earlierProbe = std::strcmp(call, "GetWindowThreadProcessId") == 0 &&
                              ProbedBefore(reinterpret_cast<std::uintptr_t>(hwnd));
    if (earlierProbe && !ws.probed)
        return window;
    if (!ws.probed && !Awaited(reinterpret_cast<std::uintptr_t>(hwnd)))
        Violation(std::string(call) + " on window " + WindowName(hwnd) + " before its probe");
    else if (ws.answered && !answeredAllowed)
        Violation(std::string(call) + " on window " + WindowName(hwnd) + ", which answered the probe");
    return window;
}

// Whether a window's owner has ended by now.
bool Ended(const Window &owner)
{
    return owner.exitsAtMs >= 0 && static_cast<long>(ScriptedClock()) >= owner.exitsAtMs;
}

const Window *OwnerWindow(DWORD processId)
{
    for (const Window &window : *state().desktop)
        if (window.owner == processId)
            return &window;
    return nullptr;
}

// The block's first two lines must be on screen before the owner is opened for its path: the
// output flushed so far ends with the header line and a caption line (what the caption shows is
// for the transcripts to judge).
void CheckCaptionFlushed(DWORD processId)
{
    State &s = state();
    if (!s.flushed)
        return;
    if (s.lastProbed >= s.desktop->size() || (*s.desktop)[s.lastProbed].owner != processId)
        return;
    const std::string out = s.flushed();
    const size_t header = out.rfind("\nUnresponsive Window:\n Caption: ");
    if (header == std::string::npos || out.back() != '\n' || out.find('\n', header + 23) != out.size() - 1)
        Violation("owner " + std::to_string(processId) + " opened before its window's caption line was flushed");
}

} // namespace

void WriteReport()
{
    const State &s = state();
    if (s.reportPath.empty())
        return;
    std::ofstream report(s.reportPath, std::ios::binary | std::ios::trunc);
    for (const std::string &call : RunTrace().calls)
        report << "call " << call << "\n";
    for (const std::string &violation : RunTrace().violations)
        report << "violation " << violation << "\n";
    // Events in the scenario's own quoting, so that any byte survives a line of the report.
    for (const std::string &event : RunTrace().logged)
        report << "logged " << QuoteValue(event) << "\n";
    for (const std::string &write : RunTrace().writes)
        report << "wrote " << QuoteValue(write) << "\n";
}

const Scenario &PlayedScenario()
{
    return state().scenario;
}

void Load(const Scenario &scenario)
{
    State &s = state();
    s.scenario = scenario;
    s.desktop = &s.scenario.windows;
    s.enumFailsAfter = s.scenario.enumFailsAfter;
    s.windows.assign(scenario.windows.size(), WindowState());
    ResetConsole(s.scenario);
    s.openHandles.clear();
    s.modulePathRead.clear();
    s.nextHandle = 0;
    s.chainSessions.clear();
    s.chainCalls.clear();
    s.comRegistered = s.debugEnabled = false;
    s.tokens.clear();
    s.nextToken = 0;
    ResetTrace();
    s.lastError = 0;
    s.lastProbed = SIZE_MAX;
    s.sent.clear();
    s.probedBefore.clear();
    s.sends = 0;
    s.waited = false;
    s.lastSendMs = -1;
}

HWND WindowHandle(size_t index)
{
    return reinterpret_cast<HWND>(kWindowBase + 16 * index);
}

void SetFlushedOutput(std::function<std::string()> flushed)
{
    state().flushed = std::move(flushed);
}

void SetReportPath(const std::string &path)
{
    state().reportPath = path;
}

} // namespace scripted

using namespace scripted;

extern "C" BOOL WINAPI EnumWindows(WNDENUMPROC lpEnumFunc, LPARAM lParam)
{
    State &s = state();
    // The watch hands its own context, an address: only its presence is of interest.
    Record(std::string("EnumWindows(") + (lParam == 0 ? "0" : "context") + ")");
    // Each enumeration shows the desktop of its moment, every window not probed yet.
    s.desktop = &s.scenario.windows;
    s.enumFailsAfter = s.scenario.enumFailsAfter;
    s.enumError = s.scenario.enumError;
    for (const Desktop &later : s.scenario.later)
    {
        if (later.atMs <= static_cast<long>(ScriptedClock()))
        {
            s.desktop = &later.windows;
            s.enumFailsAfter = later.enumFailsAfter;
            s.enumError = later.enumError;
        }
    }
    if (!s.openHandles.empty())
        Violation(std::to_string(s.openHandles.size()) + " handle(s) still open from the enumeration before");
    // The probes still in a queue meet the desktop of this moment: a window that answers now takes
    // its message from the queue, one destroyed (or whose handle another process's window has
    // taken) goes with its message unanswered.
    for (size_t i = 0; i < s.sent.size();)
    {
        size_t index = 0;
        const Window *window = Lookup(reinterpret_cast<HWND>(s.sent[i].window), index);
        if (window == nullptr || window->probe == Probe::Gone ||
            window->owner != s.sent[i].owner)
        {
            s.sent.erase(s.sent.begin() + static_cast<std::ptrdiff_t>(i));
            continue;
        }
        if (window->probe == Probe::Answers && s.sent[i].dueMs < 0)
            s.sent[i].dueMs = static_cast<long>(ScriptedClock()) + window->answerMs;
        ++i;
    }
    s.waited = false;
    s.lastSendMs = -1;
    const std::vector<Window> &windows = *s.desktop;
    s.windows.assign(windows.size(), WindowState());
    s.lastProbed = SIZE_MAX;
    // A failing enumeration hands out the windows before the failure point, then reports failure.
    // A callback that returns FALSE ends it: "If EnumWindowsProc returns zero, the return value is
    // also zero" (EnumWindows). A scan stops so once its console has closed, and only then.
    // https://learn.microsoft.com/windows/win32/api/winuser/nf-winuser-enumwindows
    const bool fails = s.enumFailsAfter >= 0;
    bool stopped = false;
    const size_t reached = fails ? std::min(windows.size(), static_cast<size_t>(s.enumFailsAfter)) : windows.size();
    for (size_t i = 0; i < reached; ++i)
    {
        const BOOL answer = lpEnumFunc(WindowHandle(windows[i].id >= 0 ? static_cast<size_t>(windows[i].id) : i), lParam);
        RunTrace().callbackResults.push_back(answer);
        if (answer != TRUE && !(answer == FALSE && ConsoleClosed()))
            Violation("callback returned " + std::to_string(answer) + " for window #" + std::to_string(i));
        if (answer == FALSE)
        {
            stopped = true;
            break;
        }
    }
    // A handle to read an owner's path lives within one callback; a thread's, or its process's
    // held to see whether it ends, may outlive the enumeration while its sample runs, but not
    // into the next one.
    size_t processes = 0;
    for (const auto &open : s.openHandles)
        processes += open.second.thread || open.second.access == PROCESS_QUERY_LIMITED_INFORMATION ? 0 : 1;
    if (processes != 0)
        Violation(std::to_string(processes) + " process handle(s) left open");
    WriteReport();
    RunTrace().enumerationResults.push_back(fails || stopped ? FALSE : TRUE);
    if (fails && !stopped)
        s.lastError = s.enumError;
    return fails || stopped ? FALSE : TRUE;
}

extern "C" LRESULT WINAPI SendMessageTimeoutA(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam,
                                              UINT fuFlags, UINT uTimeout, PDWORD_PTR lpdwResult)
{
    Record("SendMessageTimeoutA(" + WindowName(hWnd) + ", " + Hex(Msg) + ", " + std::to_string(wParam) +
           ", " + std::to_string(lParam) + ", " + Hex(fuFlags) + ", " + std::to_string(uTimeout) + ", " +
           (lpdwResult ? "slot" : "null") + ")");
    if (Msg != WM_NULL || wParam != 0 || lParam != 0)
        Violation("probe is not WM_NULL with zero parameters");
    if (fuFlags != SMTO_ABORTIFHUNG)
        Violation("probe flags are " + Hex(fuFlags) + ", not SMTO_ABORTIFHUNG alone");
    if (uTimeout != kExpectedTimeout)
        Violation("probe timeout is " + std::to_string(uTimeout) + " ms");
    if (lpdwResult != nullptr)
        Violation("probe asks for a result");

    size_t index = 0;
    const Window *window = Lookup(hWnd, index);
    if (window == nullptr)
    {
        Violation("probe of a window the enumeration never gave: " + WindowName(hWnd));
        return 0;
    }
    WindowState &ws = state().windows[index];
    if (ws.probed)
        Violation("window " + WindowName(hWnd) + " probed twice");
    ws.probed = true;
    ws.answered = window->probe == Probe::Answers;
    state().lastProbed = index;
    if (ws.answered)
    {
        if (lpdwResult != nullptr)
            *lpdwResult = 0;
        return 1; // success leaves the last error as it was
    }
    if (window->probe == Probe::TimesOut)
        AdvanceScriptedClock(kExpectedTimeout);
    state().lastError = static_cast<DWORD>(window->probeError >= 0          ? window->probeError
                                           : window->probe == Probe::Gone    ? ERROR_INVALID_WINDOW_HANDLE
                                           : window->probe == Probe::Refused ? 0
                                                                             : ERROR_TIMEOUT);
    return 0;
}

extern "C" BOOL WINAPI IsWindow(HWND hWnd)
{
    Record("IsWindow(" + WindowName(hWnd) + ")");
    size_t index = 0;
    const Window *window = Lookup(hWnd, index);
    if (window == nullptr || window->probe == Probe::Gone)
        return FALSE;
    const WindowState &ws = state().windows[index];
    return window->goneAfterMs < 0 || !ws.sent || ScriptedClock() < ws.sentAt + static_cast<ULONGLONG>(window->goneAfterMs);
}

// IsHungAppWindow (winuser.h): "A window is considered to be not responding if the application
// is not waiting for input, is not in startup processing, and has not called PeekMessage within
// the internal timeout period of 5 seconds." An answer of TRUE is the window's probe: nothing
// need be sent to it.
// https://learn.microsoft.com/windows/win32/api/winuser/nf-winuser-ishungappwindow
extern "C" BOOL WINAPI IsHungAppWindow(HWND hwnd)
{
    Record("IsHungAppWindow(" + WindowName(hwnd) + ")");
    size_t index = 0;
    const Window *window = Lookup(hwnd, index);
    if (window == nullptr)
    {
        Violation("IsHungAppWindow on a window the enumeration never gave: " + WindowName(hwnd));
        return FALSE;
    }
    if (window->probe != Probe::DeemedHung)
        return FALSE;
    state().windows[index].probed = true;
    state().lastProbed = index;
    return TRUE;
}

// SendMessageCallbackA (winuser.h): for a window of another thread it "returns immediately"; the
// callback runs "only when the thread that called SendMessageCallback calls GetMessage,
// PeekMessage, or WaitMessage", with the window, the message, the caller's value and the result
// (SENDASYNCPROC). A failure returns zero, the reason in the last error. Here: an answering window
// answers after its scenario's delay; one that times out or is deemed hung keeps the message in
// its queue until a later desktop has it answer; a window gone fails with
// ERROR_INVALID_WINDOW_HANDLE, a refused one at once with its error (none unless given).
// https://learn.microsoft.com/windows/win32/api/winuser/nf-winuser-sendmessagecallbacka
// https://learn.microsoft.com/windows/win32/api/winuser/nc-winuser-sendasyncproc
extern "C" BOOL WINAPI SendMessageCallbackA(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam,
                                            SENDASYNCPROC lpResultCallBack, ULONG_PTR dwData)
{
    Record("SendMessageCallbackA(" + WindowName(hWnd) + ", " + Hex(Msg) + ", " + std::to_string(wParam) + ", " +
           std::to_string(lParam) + ")");
    State &s = state();
    if (Msg != WM_NULL || wParam != 0 || lParam != 0)
        Violation("probe is not WM_NULL with zero parameters");
    if (lpResultCallBack == nullptr)
        Violation("probe sent without a callback for its answer");
    size_t index = 0;
    const Window *window = Lookup(hWnd, index);
    if (window == nullptr)
    {
        Violation("probe of a window the enumeration never gave: " + WindowName(hWnd));
        s.lastError = ERROR_INVALID_WINDOW_HANDLE;
        return FALSE;
    }
    WindowState &ws = s.windows[index];
    if (ws.sent)
        Violation("window " + WindowName(hWnd) + " probed twice");
    else if (Awaited(reinterpret_cast<std::uintptr_t>(hWnd)))
        Violation("window " + WindowName(hWnd) + " sent a second probe while its first is unanswered");
    if (s.waited)
        Violation("window " + WindowName(hWnd) + " probed after the scan waited: probes that wait one after another");
    ws.probed = ws.sent = true;
    ws.sentAt = ScriptedClock();
    s.lastProbed = index;
    if (window->probe == Probe::Gone || window->probe == Probe::Refused)
    {
        s.lastError = static_cast<DWORD>(window->probeError >= 0           ? window->probeError
                                         : window->probe == Probe::Gone ? ERROR_INVALID_WINDOW_HANDLE
                                                                         : 0);
        return FALSE;
    }
    if (!ProbedBefore(reinterpret_cast<std::uintptr_t>(hWnd)))
        s.probedBefore.push_back(reinterpret_cast<std::uintptr_t>(hWnd));
    s.lastSendMs = static_cast<long>(ScriptedClock());
    const long due = window->probe == Probe::Answers ? s.lastSendMs + window->answerMs : -1;
    s.sent.push_back(SentMessage{reinterpret_cast<std::uintptr_t>(hWnd), window->owner, lpResultCallBack, dwData,
                                 due, ++s.sends});
    return TRUE;
}

namespace {

// The answers there to be taken by now, each by its own callback: the earliest first and, of
// those that came together, the last sent first, so that nothing may count on the order.
void DeliverAnswers()
{
    State &s = state();
    std::vector<SentMessage> due;
    for (size_t i = 0; i < s.sent.size();)
    {
        if (s.sent[i].dueMs >= 0 && s.sent[i].dueMs <= static_cast<long>(ScriptedClock()))
        {
            due.push_back(s.sent[i]);
            s.sent.erase(s.sent.begin() + static_cast<std::ptrdiff_t>(i));
        }
        else
            ++i;
    }
    std::sort(due.begin(), due.end(), [](const SentMessage &a, const SentMessage &b) {
        return a.dueMs != b.dueMs ? a.dueMs < b.dueMs : a.order > b.order;
    });
    for (const SentMessage &message : due)
    {
        size_t index = 0;
        // An answer to an earlier scan's probe is this scan's word on the window too.
        if (Lookup(reinterpret_cast<HWND>(message.window), index) != nullptr)
            s.windows[index].probed = s.windows[index].answered = true;
        message.callback(reinterpret_cast<HWND>(message.window), WM_NULL, message.data, 0);
    }
}

} // namespace

// PeekMessageA (winuser.h): the program has no windows and nothing posts to it, so no message is
// ever there (FALSE); reading the queue is what runs the callbacks of answers that have come.
// https://learn.microsoft.com/windows/win32/api/winuser/nf-winuser-peekmessagea
extern "C" BOOL WINAPI PeekMessageA(LPMSG lpMsg, HWND hWnd, UINT wMsgFilterMin, UINT wMsgFilterMax, UINT wRemoveMsg)
{
    if (lpMsg == nullptr || hWnd != NULL || wMsgFilterMin != 0 || wMsgFilterMax != 0 || wRemoveMsg != PM_REMOVE)
        Violation("the queue read other than whole, for the thread, taking what it finds");
    DeliverAnswers();
    return FALSE;
}

// MsgWaitForMultipleObjects (winuser.h): with no handles, waits until input of the wake mask is
// in the queue (WAIT_OBJECT_0 + nCount) or the time is over (WAIT_TIMEOUT); WAIT_FAILED on
// failure. Here an answer there to be taken is such input; time passes at once. A scan's wait
// must end by the time of its last probe sent: any longer waits for a probe a second time.
// https://learn.microsoft.com/windows/win32/api/winuser/nf-winuser-msgwaitformultipleobjects
extern "C" DWORD WINAPI MsgWaitForMultipleObjects(DWORD nCount, const HANDLE *, BOOL, DWORD dwMilliseconds,
                                                  DWORD dwWakeMask)
{
    Record("MsgWaitForMultipleObjects(" + std::to_string(dwMilliseconds) + ")");
    State &s = state();
    if (nCount != 0 || (dwWakeMask & 0x0040) == 0)
        Violation("a wait for the answers that does not wake for them");
    if (s.scenario.messageWaitFails)
    {
        s.lastError = ERROR_INVALID_PARAMETER;
        return WAIT_FAILED;
    }
    s.waited = true;
    const long until = static_cast<long>(ScriptedClock()) + static_cast<long>(dwMilliseconds);
    if (s.lastSendMs < 0 || until > s.lastSendMs + static_cast<long>(kExpectedTimeout))
        Violation("a wait of " + std::to_string(dwMilliseconds) + " ms beyond the time of every probe sent");
    long first = -1;
    for (const SentMessage &message : s.sent)
        if (message.dueMs >= 0 && (first < 0 || message.dueMs < first))
            first = message.dueMs;
    if (first >= 0 && first <= until)
    {
        if (first > static_cast<long>(ScriptedClock()))
            AdvanceScriptedClock(static_cast<ULONGLONG>(first) - ScriptedClock());
        return WAIT_OBJECT_0 + nCount;
    }
    AdvanceScriptedClock(static_cast<ULONGLONG>(until) - ScriptedClock());
    return WAIT_TIMEOUT;
}

extern "C" DWORD WINAPI GetLastError()
{
    return state().lastError;
}

extern "C" void WINAPI SetLastError(DWORD dwErrCode)
{
    state().lastError = dwErrCode;
}

namespace {

// The owner behind an open process handle, with the checks every query makes.
const Window *QueriedOwner(const char *call, HANDLE process, UINT infoClass, bool &open)
{
    State &s = state();
    const auto found = s.openHandles.find(process);
    open = found != s.openHandles.end();
    if (!open)
    {
        Violation(std::string(call) + " through a handle that is not open: " + HandleName(process));
        return nullptr;
    }
    if (infoClass != 0)
        Violation(std::string(call) + " of class " + std::to_string(infoClass));
    return OwnerWindow(found->second.processId);
}

// As ntdll answers a query for the extended basic information of a process.
LONG WINAPI ScriptedNtQueryInformationProcess(HANDLE process, UINT infoClass, PVOID info, ULONG size, ULONG *length)
{
    Record("NtQueryInformationProcess(" + HandleName(process) + ", " + std::to_string(infoClass) + ", " +
           std::to_string(size) + ")");
    bool open = false;
    const Window *owner = QueriedOwner("process information asked", process, infoClass, open);
    if (!open)
        return static_cast<LONG>(0xC0000008u); // STATUS_INVALID_HANDLE
    if (size < kFlagsOffset + sizeof(ULONG) || *static_cast<std::size_t *>(info) != size)
        Violation("extended process information asked for with a size of " + std::to_string(size));
    std::memset(static_cast<char *>(info) + sizeof(std::size_t), 0, kBasicInformationSize);
    // What Wine and WOW64 answer: the basic information only, and a length that says so.
    if (state().scenario.wow64 || (owner != nullptr && owner->queryRefused))
    {
        if (length != nullptr)
            *length = static_cast<ULONG>(kBasicInformationSize);
        return kStatusInfoLengthMismatch;
    }
    const ULONG flags = owner != nullptr && owner->ownerFrozen ? kIsFrozen : 0;
    std::memcpy(static_cast<char *>(info) + kFlagsOffset, &flags, sizeof flags);
    if (length != nullptr)
        *length = size;
    return 0;
}

// As the 32-bit ntdll of WOW64 answers for the 64-bit side.
LONG WINAPI ScriptedNtWow64QueryInformationProcess64(HANDLE process, UINT infoClass, PVOID info, ULONG size,
                                                      ULONG *length)
{
    Record("NtWow64QueryInformationProcess64(" + HandleName(process) + ", " + std::to_string(infoClass) + ", " +
           std::to_string(size) + ")");
    bool open = false;
    const Window *owner = QueriedOwner("64-bit process information asked", process, infoClass, open);
    if (!open)
        return static_cast<LONG>(0xC0000008u);
    std::uint64_t declared = 0;
    std::memcpy(&declared, info, sizeof declared);
    if (size != kSize64 || declared != kSize64)
        Violation("64-bit extended process information asked for with a size of " + std::to_string(size));
    if (size < kSize64)
        return kStatusInfoLengthMismatch;
    std::memset(static_cast<char *>(info) + 8, 0, kSize64 - 8);
    if (owner != nullptr && owner->queryRefused)
    {
        if (length != nullptr)
            *length = 48;
        return kStatusInfoLengthMismatch;
    }
    const ULONG flags = owner != nullptr && owner->ownerFrozen ? kIsFrozen : 0;
    std::memcpy(static_cast<char *>(info) + kFlagsOffset64, &flags, sizeof flags);
    if (length != nullptr)
        *length = kSize64;
    return 0;
}

BOOL WINAPI ScriptedIsWow64Process(HANDLE process, BOOL *wow64)
{
    if (process != kCurrentProcess)
        Violation("IsWow64Process asked of another process than the program's own");
    *wow64 = state().scenario.wow64 ? TRUE : FALSE;
    return TRUE;
}

} // namespace

// Texts for the errors the scenarios use, as Windows words them (line end included).
extern "C" DWORD WINAPI FormatMessageA(DWORD dwFlags, LPCVOID lpSource, DWORD dwMessageId, DWORD, LPSTR lpBuffer,
                                       DWORD nSize, va_list *)
{
    Record("FormatMessageA(" + Hex(dwFlags) + ", " + std::to_string(dwMessageId) + ", " + std::to_string(nSize) + ")");
    if (dwFlags != (FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS) || lpSource != nullptr)
        Violation("a message asked for other than the system's, without inserts");
    const char *text = dwMessageId == ERROR_ACCESS_DENIED ? "Access is denied.\r\n"
                       : dwMessageId == ERROR_TIMEOUT ? "This operation returned because the timeout period expired.\r\n"
                       : dwMessageId == 1722          ? "The RPC server is unavailable.\r\n"
                       : dwMessageId == 1726          ? "The remote procedure call failed.\r\n"
                                                      : nullptr;
    if (text == nullptr || nSize <= std::strlen(text))
        return 0;
    std::memcpy(lpBuffer, text, std::strlen(text) + 1);
    return static_cast<DWORD>(std::strlen(text));
}

extern "C" UINT WINAPI GetACP()
{
    return state().scenario.codePage;
}

extern "C" DWORD WINAPI GetEnvironmentVariableA(LPCSTR lpName, LPSTR lpBuffer, DWORD nSize)
{
    for (const auto &[name, value] : state().scenario.environment)
    {
        if (name != lpName)
            continue;
        if (value.size() >= nSize)
            return static_cast<DWORD>(value.size() + 1);
        std::memcpy(lpBuffer, value.c_str(), value.size() + 1);
        return static_cast<DWORD>(value.size());
    }
    return 0;
}

namespace {
// Below, with the thread calls.
LONG WINAPI ScriptedNtQueryInformationThread(HANDLE thread, UINT infoClass, PVOID info, ULONG size, ULONG *length);
HWCT WINAPI ScriptedOpenThreadWaitChainSession(DWORD flags, PWAITCHAINCALLBACK callback);
BOOL WINAPI ScriptedGetThreadWaitChain(HWCT session, DWORD_PTR, DWORD flags, DWORD threadId, LPDWORD count,
                                       PWAITCHAIN_NODE_INFO nodes, LPBOOL cycle);
void WINAPI ScriptedCloseThreadWaitChainSession(HWCT session);
void WINAPI ScriptedRegisterWaitChainCOMCallback(PCOGETCALLSTATE callState, PCOGETACTIVATIONSTATE activationState);
LPVOID WINAPI ScriptedCoGetCallState();
LPVOID WINAPI ScriptedCoGetActivationState();
BOOL WINAPI ScriptedOpenProcessToken(HANDLE process, DWORD access, HANDLE *token);
BOOL WINAPI ScriptedLookupPrivilegeValueA(LPCSTR system, LPCSTR name, LUID *luid);
BOOL WINAPI ScriptedAdjustTokenPrivileges(HANDLE token, BOOL disableAll, TOKEN_PRIVILEGES *newState, DWORD,
                                          TOKEN_PRIVILEGES *previous, DWORD *returnLength);
} // namespace

extern "C" HMODULE WINAPI GetModuleHandleA(LPCSTR lpModuleName)
{
    if (lpModuleName == nullptr)
        return NULL;
    return std::strcmp(lpModuleName, "ntdll.dll") == 0 ? kNtdll : std::strcmp(lpModuleName, "kernel32.dll") == 0 ? kKernel32 : NULL;
}

// The 64-bit query is exported by the 32-bit ntdll of WOW64 only.
extern "C" FARPROC WINAPI GetProcAddress(HMODULE hModule, LPCSTR lpProcName)
{
    void (*proc)() = nullptr;
    if (hModule == kNtdll && std::strcmp(lpProcName, "NtQueryInformationProcess") == 0)
        proc = reinterpret_cast<void (*)()>(ScriptedNtQueryInformationProcess);
    else if (hModule == kNtdll && std::strcmp(lpProcName, "NtWow64QueryInformationProcess64") == 0 &&
             state().scenario.wow64)
        proc = reinterpret_cast<void (*)()>(ScriptedNtWow64QueryInformationProcess64);
    else if (hModule == kKernel32 && std::strcmp(lpProcName, "IsWow64Process") == 0)
        proc = reinterpret_cast<void (*)()>(ScriptedIsWow64Process);
    else if (hModule == kNtdll && std::strcmp(lpProcName, "NtQueryInformationThread") == 0)
        proc = reinterpret_cast<void (*)()>(ScriptedNtQueryInformationThread);
    else if (hModule == kAdvapi32 && std::strcmp(lpProcName, "OpenThreadWaitChainSession") == 0)
        proc = reinterpret_cast<void (*)()>(ScriptedOpenThreadWaitChainSession);
    else if (hModule == kAdvapi32 && std::strcmp(lpProcName, "GetThreadWaitChain") == 0)
        proc = reinterpret_cast<void (*)()>(ScriptedGetThreadWaitChain);
    else if (hModule == kAdvapi32 && std::strcmp(lpProcName, "CloseThreadWaitChainSession") == 0)
        proc = reinterpret_cast<void (*)()>(ScriptedCloseThreadWaitChainSession);
    else if (hModule == kAdvapi32 && std::strcmp(lpProcName, "RegisterWaitChainCOMCallback") == 0)
        proc = reinterpret_cast<void (*)()>(ScriptedRegisterWaitChainCOMCallback);
    else if (hModule == kAdvapi32 && std::strcmp(lpProcName, "OpenProcessToken") == 0)
        proc = reinterpret_cast<void (*)()>(ScriptedOpenProcessToken);
    else if (hModule == kAdvapi32 && std::strcmp(lpProcName, "LookupPrivilegeValueA") == 0)
        proc = reinterpret_cast<void (*)()>(ScriptedLookupPrivilegeValueA);
    else if (hModule == kAdvapi32 && std::strcmp(lpProcName, "AdjustTokenPrivileges") == 0)
        proc = reinterpret_cast<void (*)()>(ScriptedAdjustTokenPrivileges);
    // CoGetCallState and CoGetActivationState are ole32's (a system without them: no-com-state).
    else if (hModule == kOle32 && std::strcmp(lpProcName, "CoGetCallState") == 0 && state().scenario.comStateCalls)
        proc = reinterpret_cast<void (*)()>(ScriptedCoGetCallState);
    else if (hModule == kOle32 && std::strcmp(lpProcName, "CoGetActivationState") == 0 &&
             state().scenario.comStateCalls)
        proc = reinterpret_cast<void (*)()>(ScriptedCoGetActivationState);
    return reinterpret_cast<FARPROC>(proc);
}

extern "C" HANDLE WINAPI GetCurrentProcess()
{
    return kCurrentProcess;
}

extern "C" int WINAPI GetWindowTextA(HWND hWnd, LPSTR lpString, int nMaxCount)
{
    Record("GetWindowTextA(" + WindowName(hWnd) + ", " + std::to_string(nMaxCount) + ")");
    if (nMaxCount != kExpectedBufferSize)
        Violation("caption buffer of " + std::to_string(nMaxCount) + " bytes");
    size_t index = 0;
    const Window *window = LookupProbed("GetWindowTextA", hWnd, index);
    // A caption that cannot be read leaves the buffer as it was, as some systems do.
    if (window == nullptr || window->probe == Probe::Gone || !window->captionReadable || nMaxCount <= 0)
        return 0;
    // Touch the whole buffer the caller claims to have, so a shorter one shows up under ASan.
    std::memset(lpString, 0xCC, static_cast<size_t>(nMaxCount));
    const size_t length = std::min(window->caption.size(), static_cast<size_t>(nMaxCount - 1));
    std::memcpy(lpString, window->caption.data(), length);
    lpString[length] = '\0';
    return static_cast<int>(length);
}

// GetClassNameA (learn.microsoft.com/windows/win32/api/winuser/nf-winuser-getclassnamea): the
// scenarios give their windows no class; the program asks for one only after a caption read
// failed with ERROR_NOT_FOUND, which no scripted window does, so any call is out of place.
extern "C" int WINAPI GetClassNameA(HWND hWnd, LPSTR, int)
{
    Record("GetClassNameA(" + WindowName(hWnd) + ")");
    Violation("a class asked of a window whose caption read did not fail with ERROR_NOT_FOUND");
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return 0;
}

extern "C" DWORD WINAPI GetWindowThreadProcessId(HWND hWnd, LPDWORD lpdwProcessId)
{
    Record("GetWindowThreadProcessId(" + WindowName(hWnd) + ")");
    size_t index = 0;
    // The watch asks whose a window is that it found hung before, to tell whether it answers again.
    const Window *window = LookupProbed("GetWindowThreadProcessId", hWnd, index, true);

    if (lpdwProcessId == nullptr)
    {
        Violation("GetWindowThreadProcessId without a place for the process id");
        return 0;
    }
    if (window == nullptr || window->probe == Probe::Gone || window->owner == 0)
        return 0;
    *lpdwProcessId = window->owner;
    return window->owner * 4 + 1; // a plausible thread id; the program has no use for it
}

extern "C" HANDLE WINAPI OpenProcess(DWORD dwDesiredAccess, BOOL bInheritHandle, DWORD dwProcessId)
{
    Record("OpenProcess(" + Hex(dwDesiredAccess) + ", " + std::to_string(bInheritHandle) + ", " +
           std::to_string(dwProcessId) + ")");
    const bool limited = dwDesiredAccess == PROCESS_QUERY_LIMITED_INFORMATION;
    if (dwDesiredAccess != kExpectedAccess && !limited)
        Violation("process opened for " + Hex(dwDesiredAccess));
    if (bInheritHandle != FALSE)
        Violation("process handle made inheritable");
    if (!limited)
        CheckCaptionFlushed(dwProcessId);
    // The limited right is granted where the full one is not: elevated and protected processes
    // ("Process Security and Access Rights": a protected process grants only
    // PROCESS_QUERY_LIMITED_INFORMATION among the query rights; an elevated one's security
    // grants a normal user no more). Another user's process refuses both: access denied.
    // https://learn.microsoft.com/windows/win32/procthread/process-security-and-access-rights
    // OpenProcess: "If the caller has enabled the SeDebugPrivilege privilege, the requested
    // access is granted regardless of the contents of the security descriptor": another user's
    // process opens; a protected one still does not ("denied" stands for both kinds).
    // https://learn.microsoft.com/windows/win32/api/processthreadsapi/nf-processthreadsapi-openprocess
    const Window *owner = dwProcessId == 0 ? nullptr : OwnerWindow(dwProcessId);
    const bool anotherUsers = owner != nullptr && !owner->limitedOpens;
    if (owner != nullptr && !(anotherUsers && state().debugEnabled) && (limited ? !owner->limitedOpens : !owner->opens))
    {
        state().lastError = ERROR_ACCESS_DENIED;
        return NULL;
    }
    if (owner == nullptr)
        return NULL;
    // An ended process whose last handle has closed is no more; its id names nothing (the
    // system answers ERROR_INVALID_PARAMETER, as for any id that names no process).
    if (Ended(*owner))
    {
        state().lastError = ERROR_INVALID_PARAMETER;
        return NULL;
    }
    State &s = state();
    HANDLE handle = reinterpret_cast<HANDLE>(kHandleBase + 4 * ++s.nextHandle);
    s.openHandles[handle] = OpenProcessHandle{dwProcessId, dwDesiredAccess, false};
    ++RunTrace().opened;
    return handle;
}

extern "C" DWORD WINAPI GetModuleFileNameExA(HANDLE hProcess, HMODULE hModule, LPSTR lpFilename, DWORD nSize)
{
    Record("GetModuleFileNameExA(" + HandleName(hProcess) + ", " + (hModule ? "module" : "null") + ", " +
           std::to_string(nSize) + ")");
    State &s = state();
    if (nSize != static_cast<DWORD>(kExpectedBufferSize))
        Violation("path buffer of " + std::to_string(nSize) + " bytes");
    if (hModule != NULL)
        Violation("path asked for a module other than the executable");
    const auto open = s.openHandles.find(hProcess);
    if (open == s.openHandles.end())
    {
        Violation("path read through a handle that is not open: " + HandleName(hProcess));
        return 0;
    }
    if (open->second.access != kExpectedAccess)
        Violation("path read through a handle opened for " + Hex(open->second.access));
    if (nSize == 0)
        return 0;
    // Touch the whole buffer the caller claims to have, so a shorter one shows up under ASan.
    std::memset(lpFilename, 0xCC, nSize);
    const Window *owner = OwnerWindow(open->second.processId);
    s.modulePathRead[hProcess] = false;
    // An empty path comes back as length 0, which is the call's failure result.
    if (owner == nullptr || !owner->pathReadable || !owner->moduleLookupWorks || owner->path.empty())
        return 0;
    s.modulePathRead[hProcess] = true;
    if (owner->path.size() < nSize)
    {
        std::memcpy(lpFilename, owner->path.c_str(), owner->path.size() + 1);
        return static_cast<DWORD>(owner->path.size());
    }
    // Too long: cut to fit, returning the buffer size as Windows does.
    std::memcpy(lpFilename, owner->path.data(), nSize);
    if (owner->pathTerminated)
        lpFilename[nSize - 1] = '\0';
    return nSize;
}

extern "C" BOOL WINAPI QueryFullProcessImageNameA(HANDLE hProcess, DWORD dwFlags, LPSTR lpExeName, PDWORD lpdwSize)
{
    const DWORD size = lpdwSize != nullptr ? *lpdwSize : 0;
    Record("QueryFullProcessImageNameA(" + HandleName(hProcess) + ", " + std::to_string(dwFlags) + ", " +
           std::to_string(size) + ")");
    State &s = state();
    if (dwFlags != 0)
        Violation("image name asked for in a format other than Win32's");
    if (size != static_cast<DWORD>(kExpectedBufferSize))
        Violation("image name buffer of " + std::to_string(size) + " bytes");
    const auto open = s.openHandles.find(hProcess);
    if (open == s.openHandles.end())
    {
        Violation("image name read through a handle that is not open: " + HandleName(hProcess));
        return FALSE;
    }
    const auto read = s.modulePathRead.find(hProcess);
    if (read == s.modulePathRead.end() || read->second)
        Violation("image name asked for without the module lookup failing first");
    if (size == 0)
        return FALSE;
    std::memset(lpExeName, 0xCC, size);
    const Window *owner = OwnerWindow(open->second.processId);
    // Unlike the module lookup, this call cuts nothing: a path that does not fit is a failure.
    if (owner == nullptr || !owner->pathReadable || owner->path.empty() || owner->path.size() >= size)
        return FALSE;
    std::memcpy(lpExeName, owner->path.c_str(), owner->path.size() + 1);
    *lpdwSize = static_cast<DWORD>(owner->path.size());
    return TRUE;
}

// GetExitCodeProcess (processthreadsapi.h): "If the process has not terminated and the function
// succeeds, the status returned is STILL_ACTIVE"; the handle needs PROCESS_QUERY_INFORMATION or
// PROCESS_QUERY_LIMITED_INFORMATION. An owner that ends leaves 0, its exit code here.
// https://learn.microsoft.com/windows/win32/api/processthreadsapi/nf-processthreadsapi-getexitcodeprocess
extern "C" BOOL WINAPI GetExitCodeProcess(HANDLE hProcess, LPDWORD lpExitCode)
{
    Record("GetExitCodeProcess(" + HandleName(hProcess) + ")");
    const auto open = state().openHandles.find(hProcess);
    if (open == state().openHandles.end() || open->second.thread ||
        (open->second.access & (PROCESS_QUERY_INFORMATION | PROCESS_QUERY_LIMITED_INFORMATION)) == 0)
    {
        Violation("exit code asked through a handle not open for it: " + HandleName(hProcess));
        state().lastError = ERROR_INVALID_HANDLE;
        return FALSE;
    }
    const Window *owner = OwnerWindow(open->second.processId);
    *lpExitCode = owner != nullptr && !Ended(*owner) ? STILL_ACTIVE : 0;
    return TRUE;
}

namespace {

// Scenario text the wide calls give: UTF-8 where the scenario says so, else bytes as Latin-1.
std::u16string Wide(const std::string &bytes, bool utf8)
{
    if (utf8)
        return hungscan_platform::Utf16FromUtf8(bytes);
    std::u16string out;
    for (const char c : bytes)
        out.push_back(static_cast<char16_t>(static_cast<unsigned char>(c)));
    return out;
}

// A scripted thread id names its owner: each owner has one thread, owner * 4 + 1.
const Window *ThreadOwner(DWORD threadId)
{
    return threadId % 4 == 1 ? OwnerWindow(threadId / 4) : nullptr;
}

const Window *OpenThreadOwner(const char *call, HANDLE thread)
{
    const auto open = state().openHandles.find(thread);
    if (open == state().openHandles.end() || !open->second.thread)
    {
        Violation(std::string(call) + " through a handle that is not an open thread: " + HandleName(thread));
        return nullptr;
    }
    return OwnerWindow(open->second.processId);
}

LONG WINAPI ScriptedNtQueryInformationThread(HANDLE thread, UINT infoClass, PVOID info, ULONG size, ULONG *length)
{
    Record("NtQueryInformationThread(" + HandleName(thread) + ", " + std::to_string(infoClass) + ", " +
           std::to_string(size) + ")");
    const Window *owner = OpenThreadOwner("suspend count asked", thread);
    if (infoClass != 35 || size != sizeof(ULONG))
        Violation("thread information of class " + std::to_string(infoClass) + " and size " + std::to_string(size));
    if (owner == nullptr)
        return static_cast<LONG>(0xC0000008u);
    // The class is Windows 8.1's; an older system, or one that will not say, refuses it
    // (STATUS_INVALID_INFO_CLASS), and the count it leaves is no count at all.
    if (!owner->suspendCountWorks)
        return static_cast<LONG>(0xC0000003u);
    const ULONG count = owner->suspended ? 1 : 0;
    std::memcpy(info, &count, sizeof count);
    if (length != nullptr)
        *length = sizeof count;
    return 0;
}

// Wait Chain Traversal, as its pages document it:
// - OpenThreadWaitChainSession: flags 0 (synchronous) or WCT_ASYNC_OPEN_FLAG with a callback;
//   NULL and a last error on failure (Wine: ERROR_NOT_SUPPORTED, measured).
//   https://learn.microsoft.com/windows/win32/api/wct/nf-wct-openthreadwaitchainsession
// - Wait Chain Traversal: synchronous sessions "block the calling thread" and cannot be
//   canceled, so a program with a time bound may not use them; asynchronous ones deliver
//   through the callback, typically setting an event the asking thread waits on.
//   https://learn.microsoft.com/windows/win32/debug/wait-chain-traversal
// - GetThreadWaitChain: NodeCount from 1 to WCT_MAX_NODE_COUNT (else ERROR_INVALID_PARAMETER);
//   an asynchronous session answers ERROR_IO_PENDING and the callback brings the chain; the
//   count, array and cycle flag must live until the callback has returned; WCT_OUT_OF_PROC_FLAG
//   follows the chain into other processes.
//   https://learn.microsoft.com/windows/win32/api/wct/nf-wct-getthreadwaitchain
// - WaitChainCallback: CallbackStatus ERROR_SUCCESS, ERROR_ACCESS_DENIED (a target thread the
//   caller may not open), ERROR_CANCELLED (the session closed), ERROR_MORE_DATA,
//   ERROR_OBJECT_NOT_FOUND (no such thread), ERROR_TOO_MANY_THREADS. It runs on a thread of the
//   system's: here, when the program next waits and the scripted clock has reached it.
//   https://learn.microsoft.com/windows/win32/api/wct/nc-wct-pwaitchaincallback
// - CloseThreadWaitChainSession: for an asynchronous session it "cancels any outstanding
//   operations after their callback functions have been called and returned, and then it
//   returns": a chain stuck for good makes it wait for good.
//   https://learn.microsoft.com/windows/win32/api/wct/nf-wct-closethreadwaitchainsession
// - RegisterWaitChainCOMCallback: with ole32's CoGetCallState and CoGetActivationState, COM
//   ownership is found; without, a COM wait ends the chain.
//   https://learn.microsoft.com/windows/win32/api/wct/nf-wct-registerwaitchaincomcallback
// - Elevated and other users' threads are followed only with SeDebugPrivilege enabled; without
//   it the chain ends at them in WctStatusNoAccess (with their ids here, which the owner of the
//   object they hold gives away).
//   https://learn.microsoft.com/windows/win32/api/wct/ns-wct-waitchain_node_info
HWCT WINAPI ScriptedOpenThreadWaitChainSession(DWORD flags, PWAITCHAINCALLBACK callback)
{
    Record("OpenThreadWaitChainSession(" + std::to_string(flags) + (callback != nullptr ? ", callback)" : ", null)"));
    State &s = state();
    if (flags != 0 && flags != WCT_ASYNC_OPEN_FLAG)
    {
        s.lastError = ERROR_INVALID_PARAMETER;
        return nullptr;
    }
    if (flags == 0 || callback == nullptr)
        Violation("a synchronous wait chain session: it blocks the calling thread and cannot be canceled");
    if (!s.scenario.waitChains)
    {
        s.lastError = ERROR_NOT_SUPPORTED;
        return nullptr;
    }
    HWCT session = reinterpret_cast<HWCT>(kWaitChainSessionBase + 16 * (s.chainSessions.size() + 1));
    s.chainSessions[session] = ChainSession{flags == WCT_ASYNC_OPEN_FLAG ? callback : nullptr, true};
    return session;
}

// Brings chain call i: through the caller's pointers, then the callback.
void DeliverChain(size_t i, DWORD status)
{
    State &s = state();
    ChainCall &call = s.chainCalls[i];
    if (call.done)
        return;
    call.done = true;
    if (status != ERROR_CANCELLED)
    {
        const size_t fits = std::min<size_t>(*call.count, call.chain.size());
        if (fits != 0)
            std::memcpy(call.nodes, call.chain.data(), fits * sizeof *call.nodes);
        *call.count = static_cast<DWORD>(call.chain.size());
        *call.cycle = call.isCycle;
    }
    s.chainSessions[call.session].callback(call.session, call.context, status, call.count, call.nodes, call.cycle);
}

void WINAPI ScriptedCloseThreadWaitChainSession(HWCT session)
{
    Record("CloseThreadWaitChainSession");
    State &s = state();
    const auto found = s.chainSessions.find(session);
    if (found == s.chainSessions.end() || !found->second.open)
    {
        Violation("a wait chain session closed that is not open");
        return;
    }
    for (size_t i = 0; i < s.chainCalls.size(); ++i)
    {
        if (s.chainCalls[i].session != session || s.chainCalls[i].done)
            continue;
        if (s.chainCalls[i].never)
            Violation("a wait chain session closed with a chain that never comes: the close waits for its callback "
                      "for ever");
        DeliverChain(i, ERROR_CANCELLED);
    }
    found->second.open = false;
}

void ThreadNode(WAITCHAIN_NODE_INFO &node, DWORD processId)
{
    node.ObjectType = WctThreadType;
    node.ObjectStatus = WctStatusBlocked;
    node.ThreadObject.ProcessId = processId;
    node.ThreadObject.ThreadId = processId * 4 + 1;
}

// Whether a thread of this owner is out of the caller's reach: an elevated program's or
// another user's, without SeDebugPrivilege enabled.
bool OutOfReach(const Window &owner)
{
    return (!owner.opens || !owner.limitedOpens) && !state().debugEnabled;
}

// The chain of the owner's thread now, and the status its callback brings.
DWORD ChainOf(const Window *owner, std::vector<WAITCHAIN_NODE_INFO> &chain, BOOL &cycle)
{
    cycle = FALSE;
    if (owner == nullptr || Ended(*owner))
        return ERROR_OBJECT_NOT_FOUND;
    if (OutOfReach(*owner))
        return ERROR_ACCESS_DENIED;
    chain.assign(1, WAITCHAIN_NODE_INFO());
    ThreadNode(chain[0], owner->owner);
    static const std::pair<const char *, WCT_OBJECT_TYPE> kinds[] = {
        {"sendmessage", WctSendMessageType}, {"alpc", WctAlpcType},       {"com", WctComType},
        {"critical-section", WctCriticalSectionType}, {"mutex", WctMutexType}, {"process", WctProcessWaitType},
        {"thread", WctThreadWaitType},       {"socket", WctSocketIoType}, {"smb", WctSmbIoType}};
    if (owner->waitsFor != 0)
    {
        // Followed from owner to owner, as far as each lets the chain in; a thread out of reach
        // ends it in WctStatusNoAccess, its ids still given.
        const Window *from = owner;
        std::vector<DWORD> seen(1, owner->owner);
        while (from != nullptr && from->waitsFor != 0 && chain.size() + 2 <= WCT_MAX_NODE_COUNT)
        {
            WAITCHAIN_NODE_INFO object = WAITCHAIN_NODE_INFO();
            object.ObjectType = WctUnknownType;
            for (const auto &kind : kinds)
                if (from->waitKind == kind.first)
                    object.ObjectType = kind.second;
            object.ObjectStatus = WctStatusOwned;
            if (object.ObjectType == WctComType && !state().comRegistered)
            {
                // No COM state calls: the COM call's server is not found.
                object.ObjectStatus = WctStatusBlocked;
                chain.push_back(object);
                break;
            }
            chain.push_back(object);
            chain.push_back(WAITCHAIN_NODE_INFO());
            ThreadNode(chain.back(), from->waitsFor);
            const Window *next = OwnerWindow(from->waitsFor);
            if (from->deadlocked || std::find(seen.begin(), seen.end(), from->waitsFor) != seen.end())
            {
                cycle = TRUE;
                break;
            }
            if (next != nullptr && OutOfReach(*next))
            {
                chain.back().ObjectStatus = WctStatusNoAccess;
                break;
            }
            seen.push_back(from->waitsFor);
            from = next;
        }
    }
    else if (owner->unknownWait)
    {
        // WAITCHAIN_NODE_INFO: "Object names are only available for certain object, such as
        // mutexes. If the object does not have a name, this member is an empty string."
        chain.resize(2, WAITCHAIN_NODE_INFO());
        chain[1].ObjectType = WctUnknownType;
        chain[1].ObjectStatus = WctStatusBlocked;
    }
    else if (!owner->wchan.empty())
    {
        chain.resize(2, WAITCHAIN_NODE_INFO());
        chain[1].ObjectType = WctUnknownType;
        chain[1].ObjectStatus = owner->disk ? WctStatusBlocked : WctStatusUnknown;
        hungscan_platform::CopyWide(hungscan_platform::Utf16FromUtf8(owner->wchan), chain[1].LockObject.ObjectName,
                                    WCT_OBJNAME_LENGTH);
    }
    return chain.size() > WCT_MAX_NODE_COUNT ? ERROR_TOO_MANY_THREADS : ERROR_SUCCESS;
}

BOOL WINAPI ScriptedGetThreadWaitChain(HWCT session, DWORD_PTR context, DWORD flags, DWORD threadId, LPDWORD count,
                                       PWAITCHAIN_NODE_INFO nodes, LPBOOL cycle)
{
    Record("GetThreadWaitChain(" + std::to_string(flags) + ", " + std::to_string(threadId) + ")");
    State &s = state();
    const auto found = s.chainSessions.find(session);
    if (found == s.chainSessions.end() || !found->second.open)
    {
        Violation("a wait chain asked of a session that is not open");
        s.lastError = ERROR_INVALID_HANDLE;
        return FALSE;
    }
    if ((flags & WCT_OUT_OF_PROC_FLAG) == 0)
        Violation("a wait chain that stops at the process's edge");
    if (count == nullptr || nodes == nullptr || cycle == nullptr || *count < 1 || *count > WCT_MAX_NODE_COUNT)
    {
        s.lastError = ERROR_INVALID_PARAMETER;
        return FALSE;
    }
    const Window *owner = ThreadOwner(threadId);
    ChainCall call{session, context, count, nodes, cycle, 0, {}, FALSE, owner != nullptr && owner->chainAfterMs < 0,
                   false};
    call.status = ChainOf(owner, call.chain, call.isCycle);
    if (call.status == ERROR_SUCCESS && call.chain.size() > *count)
        call.status = ERROR_MORE_DATA;
    // Touch what the chain will fill, so a buffer shorter than the count claims shows under ASan.
    std::memset(nodes, 0, *count * sizeof *nodes);
    s.chainCalls.push_back(call);
    const size_t index = s.chainCalls.size() - 1;
    if (found->second.callback == nullptr)
    {
        if (call.never)
            Violation("a synchronous wait chain that never comes: the program waits for ever");
        s.chainCalls[index].done = true;
        const size_t fits = std::min<size_t>(*count, call.chain.size());
        if (fits != 0)
            std::memcpy(nodes, call.chain.data(), fits * sizeof *nodes);
        *count = static_cast<DWORD>(call.chain.size());
        *cycle = call.isCycle;
        s.lastError = call.status;
        return call.status == ERROR_SUCCESS ? TRUE : FALSE;
    }
    if (!call.never)
    {
        const DWORD status = call.status;
        RunAt(ScriptedClock() + static_cast<ULONGLONG>(owner != nullptr ? owner->chainAfterMs : 0),
              [index, status]() { DeliverChain(index, status); });
    }
    s.lastError = ERROR_IO_PENDING;
    return FALSE;
}

// Stand-ins for ole32's two COM state calls: only their addresses are ever used.
LPVOID WINAPI ScriptedCoGetCallState()
{
    Violation("CoGetCallState called by the program");
    return nullptr;
}

LPVOID WINAPI ScriptedCoGetActivationState()
{
    Violation("CoGetActivationState called by the program");
    return nullptr;
}

void WINAPI ScriptedRegisterWaitChainCOMCallback(PCOGETCALLSTATE callState, PCOGETACTIVATIONSTATE activationState)
{
    Record("RegisterWaitChainCOMCallback");
    if (callState != ScriptedCoGetCallState || activationState != ScriptedCoGetActivationState)
        Violation("COM callbacks registered other than ole32's CoGetCallState and CoGetActivationState");
    state().comRegistered = true;
}

// OpenProcessToken: the program's own token, with the rights asked; a handle to close.
// https://learn.microsoft.com/windows/win32/api/processthreadsapi/nf-processthreadsapi-openprocesstoken
BOOL WINAPI ScriptedOpenProcessToken(HANDLE process, DWORD access, HANDLE *token)
{
    Record("OpenProcessToken(" + Hex(access) + ")");
    State &s = state();
    if (process != kCurrentProcess)
        Violation("a token opened of another process than the program's own");
    if (token == nullptr)
    {
        s.lastError = ERROR_INVALID_PARAMETER;
        return FALSE;
    }
    *token = reinterpret_cast<HANDLE>(kTokenBase + 4 * ++s.nextToken);
    s.tokens[*token] = access;
    return TRUE;
}

// LookupPrivilegeValueA: the local system's LUID of a privilege named; an unknown name fails
// with ERROR_NO_SUCH_PRIVILEGE.
// https://learn.microsoft.com/windows/win32/api/winbase/nf-winbase-lookupprivilegevaluea
BOOL WINAPI ScriptedLookupPrivilegeValueA(LPCSTR system, LPCSTR name, LUID *luid)
{
    Record(std::string("LookupPrivilegeValueA(") + (name != nullptr ? name : "null") + ")");
    if (system != nullptr)
        Violation("a privilege looked up on another system");
    if (name == nullptr || std::strcmp(name, "SeDebugPrivilege") != 0)
    {
        Violation("a privilege asked for other than SeDebugPrivilege");
        state().lastError = kErrorNoSuchPrivilege;
        return FALSE;
    }
    luid->LowPart = kDebugPrivilege;
    luid->HighPart = 0;
    return TRUE;
}

// AdjustTokenPrivileges: needs TOKEN_ADJUST_PRIVILEGES (TOKEN_QUERY too for a previous state);
// "The function may succeed with this error value [ERROR_NOT_ALL_ASSIGNED] even if no
// privileges were adjusted": a token that does not hold the privilege is left as it was.
// https://learn.microsoft.com/windows/win32/api/securitybaseapi/nf-securitybaseapi-adjusttokenprivileges
BOOL WINAPI ScriptedAdjustTokenPrivileges(HANDLE token, BOOL disableAll, TOKEN_PRIVILEGES *newState, DWORD,
                                          TOKEN_PRIVILEGES *previous, DWORD *returnLength)
{
    Record("AdjustTokenPrivileges");
    State &s = state();
    const auto open = s.tokens.find(token);
    if (open == s.tokens.end() || (open->second & TOKEN_ADJUST_PRIVILEGES) == 0 ||
        (previous != nullptr && ((open->second & TOKEN_QUERY) == 0 || returnLength == nullptr)))
    {
        Violation("privileges adjusted through a token not open for it");
        s.lastError = ERROR_ACCESS_DENIED;
        return FALSE;
    }
    if (disableAll || newState == nullptr || newState->PrivilegeCount != 1 ||
        newState->Privileges[0].Luid.LowPart != kDebugPrivilege || newState->Privileges[0].Luid.HighPart != 0 ||
        newState->Privileges[0].Attributes != SE_PRIVILEGE_ENABLED)
        Violation("a privilege change other than enabling SeDebugPrivilege");
    if (!s.scenario.debugPrivilege)
    {
        s.lastError = ERROR_NOT_ALL_ASSIGNED;
        return TRUE;
    }
    s.debugEnabled = true;
    s.lastError = ERROR_SUCCESS;
    return TRUE;
}

} // namespace

extern "C" HANDLE WINAPI OpenThread(DWORD dwDesiredAccess, BOOL bInheritHandle, DWORD dwThreadId)
{
    Record("OpenThread(" + Hex(dwDesiredAccess) + ", " + std::to_string(bInheritHandle) + ", " +
           std::to_string(dwThreadId) + ")");
    if (dwDesiredAccess != THREAD_QUERY_LIMITED_INFORMATION)
        Violation("thread opened for " + Hex(dwDesiredAccess));
    if (bInheritHandle != FALSE)
        Violation("thread handle made inheritable");
    const Window *owner = ThreadOwner(dwThreadId);
    if (owner == nullptr || !owner->threadOpens || Ended(*owner))
        return NULL;
    State &s = state();
    HANDLE handle = reinterpret_cast<HANDLE>(kHandleBase + 4 * ++s.nextHandle);
    s.openHandles[handle] = OpenProcessHandle{owner->owner, dwDesiredAccess, true};
    ++RunTrace().opened;
    return handle;
}

// A thread at PERCENT of a core has used that share of the scripted clock.
extern "C" BOOL WINAPI GetThreadTimes(HANDLE hThread, LPFILETIME lpCreationTime, LPFILETIME lpExitTime,
                                      LPFILETIME lpKernelTime, LPFILETIME lpUserTime)
{
    Record("GetThreadTimes(" + HandleName(hThread) + ")");
    const Window *owner = OpenThreadOwner("thread times asked", hThread);
    if (owner == nullptr)
        return FALSE;
    if (!owner->threadTimesWork)
    {
        state().lastError = ERROR_ACCESS_DENIED;
        return FALSE;
    }
    // Times are charged a whole clock tick at a time, so over a quarter of a second a thread
    // can be charged more than the wall clock shows: a share above 100 plays that.
    const ULONGLONG used = static_cast<ULONGLONG>(owner->busyPercent) * ScriptedClock() * 100;
    *lpCreationTime = *lpExitTime = *lpKernelTime = FILETIME{0, 0};
    *lpUserTime = FILETIME{static_cast<DWORD>(used), static_cast<DWORD>(used >> 32)};
    return TRUE;
}

extern "C" UINT WINAPI GetSystemDirectoryA(LPSTR lpBuffer, UINT uSize)
{
    if (uSize < sizeof kSystemDirectory)
        return sizeof kSystemDirectory;
    std::memcpy(lpBuffer, kSystemDirectory, sizeof kSystemDirectory);
    return sizeof kSystemDirectory - 1;
}

extern "C" HMODULE WINAPI LoadLibraryA(LPCSTR lpLibFileName)
{
    Record(std::string("LoadLibraryA(") + lpLibFileName + ")");
    if (std::string(lpLibFileName) == std::string(kSystemDirectory) + "\\advapi32.dll")
        return kAdvapi32;
    if (std::string(lpLibFileName) == std::string(kSystemDirectory) + "\\ole32.dll")
        return kOle32;
    Violation(std::string("a library loaded from outside the system directory: ") + lpLibFileName);
    return NULL;
}

extern "C" BOOL WINAPI FreeLibrary(HMODULE hLibModule)
{
    Record(hLibModule == kOle32 ? "FreeLibrary(ole32)" : "FreeLibrary");
    if (hLibModule == kOle32 && state().comRegistered)
        Violation("ole32 freed while Wait Chain Traversal keeps its COM callbacks");
    else if (hLibModule != kAdvapi32 && hLibModule != kOle32)
        Violation("a library freed that was never loaded");
    return TRUE;
}

extern "C" int WINAPI GetWindowTextW(HWND hWnd, LPWSTR lpString, int nMaxCount)
{
    Record("GetWindowTextW(" + WindowName(hWnd) + ", " + std::to_string(nMaxCount) + ")");
    if (nMaxCount != kExpectedBufferSize)
        Violation("wide caption buffer of " + std::to_string(nMaxCount) + " characters");
    size_t index = 0;
    const Window *window = LookupProbed("GetWindowTextW", hWnd, index);
    if (window == nullptr || window->probe == Probe::Gone || !window->captionReadable || nMaxCount <= 0)
        return 0;
    const std::u16string text = Wide(window->hasWideCaption ? window->wideCaption : window->caption, window->hasWideCaption);
    return static_cast<int>(hungscan_platform::CopyWide(text, lpString, static_cast<DWORD>(nMaxCount)));
}

extern "C" DWORD WINAPI GetModuleFileNameExW(HANDLE hProcess, HMODULE hModule, LPWSTR lpFilename, DWORD nSize)
{
    Record("GetModuleFileNameExW(" + HandleName(hProcess) + ", " + (hModule ? "module" : "null") + ", " +
           std::to_string(nSize) + ")");
    State &s = state();
    const auto open = s.openHandles.find(hProcess);
    if (open == s.openHandles.end() || open->second.thread || open->second.access != kExpectedAccess || hModule != NULL)
    {
        Violation("wide path read through a handle not open for it: " + HandleName(hProcess));
        return 0;
    }
    const Window *owner = OwnerWindow(open->second.processId);
    s.modulePathRead[hProcess] = false;
    if (owner == nullptr || !owner->pathReadable || !owner->moduleLookupWorks || owner->path.empty() || nSize == 0)
        return 0;
    s.modulePathRead[hProcess] = true;
    return hungscan_platform::CopyWide(Wide(owner->path, false), lpFilename, nSize);
}

// QueryFullProcessImageNameW (winbase.h): "The handle must have the
// PROCESS_QUERY_INFORMATION or PROCESS_QUERY_LIMITED_INFORMATION access right"; a name that does
// not fit fails the call.
// https://learn.microsoft.com/windows/win32/api/winbase/nf-winbase-queryfullprocessimagenamew
extern "C" BOOL WINAPI QueryFullProcessImageNameW(HANDLE hProcess, DWORD dwFlags, LPWSTR lpExeName, PDWORD lpdwSize)
{
    Record("QueryFullProcessImageNameW(" + HandleName(hProcess) + ")");
    State &s = state();
    const auto open = s.openHandles.find(hProcess);
    if (open == s.openHandles.end() || open->second.thread || dwFlags != 0 || lpdwSize == nullptr ||
        (open->second.access & (PROCESS_QUERY_INFORMATION | PROCESS_QUERY_LIMITED_INFORMATION)) == 0)
    {
        Violation("wide image name read through a handle not open for it: " + HandleName(hProcess));
        return FALSE;
    }
    const Window *owner = OwnerWindow(open->second.processId);
    if (owner == nullptr || !owner->pathReadable || owner->path.empty() || owner->path.size() >= *lpdwSize)
        return FALSE;
    *lpdwSize = hungscan_platform::CopyWide(Wide(owner->path, false), lpExeName, *lpdwSize);
    return TRUE;
}

extern "C" BOOL WINAPI GetComputerNameW(LPWSTR lpBuffer, LPDWORD nSize)
{
    const std::u16string name = u"SCRIPTED";
    if (nSize == nullptr || *nSize <= name.size())
        return FALSE;
    *nSize = hungscan_platform::CopyWide(name, lpBuffer, *nSize);
    return TRUE;
}

extern "C" BOOL WINAPI CloseHandle(HANDLE hObject)
{
    if (CloseConsoleHandle(hObject))
        return TRUE;
    Record("CloseHandle(" + HandleName(hObject) + ")");
    State &s = state();
    if (s.tokens.erase(hObject) != 0)
        return TRUE;
    const auto open = s.openHandles.find(hObject);
    if (open == s.openHandles.end())
    {
        Violation("CloseHandle on a handle that is not open: " + HandleName(hObject));
        return FALSE;
    }
    s.openHandles.erase(open);
    s.modulePathRead.erase(hObject);
    ++RunTrace().closed;
    return TRUE;
}

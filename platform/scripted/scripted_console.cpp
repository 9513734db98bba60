// The scripted clock and console: time passes only when the program waits or a probe times out,
// so a watch over minutes is played in no time at all. The user's Enter, Ctrl+C and Ctrl+Break
// come at the moments the scenario names; the input thread runs when its line arrives.
//
// Closing the console: "When the signal is received, the system creates a new thread in the
// process to execute the function" (HandlerRoutine); for CTRL_CLOSE_EVENT, a handler that
// returns TRUE, or none returning TRUE (the default handler calls ExitProcess), ends the process
// (CTRL+CLOSE Signal). A handler that has not returned within SPI_GETHUNGAPPTIMEOUT, 5000 ms, is
// not waited for either: the system ends the process (the console's own notes on its control
// events). The handler runs here on a thread of its own, one thread at a time: it holds the
// baton until it waits, and gets it back when its event is set or its time is over.
// https://learn.microsoft.com/windows/console/handlerroutine
// https://learn.microsoft.com/windows/console/ctrl-close-signal
// https://github.com/microsoft/terminal/blob/main/doc/ConsoleCtrlEvent.md

#include "scripted_console.h"
#include "scripted_trace.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

namespace scripted {
namespace {

const std::uintptr_t kEventBase = 0x50000;
const std::uintptr_t kThreadBase = 0x60000;
const ULONGLONG kTickBase = 5000000;
// No scripted watch runs this long: one that does is waiting for a stop that never comes.
const ULONGLONG kLongestRun = 24ull * 3600 * 1000;
HANDLE const kStandardInput = reinterpret_cast<HANDLE>(std::uintptr_t(0x70000));
HANDLE const kStandardOutput = reinterpret_cast<HANDLE>(std::uintptr_t(0x70004));
// How long the system lets a handler of CTRL_CLOSE_EVENT run before it ends the process.
const ULONGLONG kCloseTimeout = 5000;
// The status of a process ended for its console: STATUS_CONTROL_C_EXIT.
const UINT kControlCExit = 0xC000013Au;
const ULONGLONG kNever = ~0ull;

struct Console
{
    ULONGLONG clock = 0;
    std::vector<Stop> stops;
    size_t nextStop = 0;
    std::vector<bool> events; // signalled, by handle number
    std::vector<bool> closedEvents;
    std::vector<PHANDLER_ROUTINE> handlers;
    LPTHREAD_START_ROUTINE reader = nullptr;
    LPVOID readerParameter = nullptr;
    bool lineWaiting = false;
    unsigned threads = 0;
    bool consoleInput = false;
    bool consoleOutput = false;
    int outputPipe = 0;
    ULONGLONG writeMs = 0;
    std::vector<std::pair<ULONGLONG, std::function<void()>>> work; // in the order of their moments
    // The close: when it came, and the handler thread's wait (its event, and until when).
    ULONGLONG closedAt = kNever;
    bool handlerWaits = false;
    size_t handlerEvent = 0;
    ULONGLONG handlerUntil = kNever;
};

// Never destroyed: the C++ streams flush at exit, after the statics are gone.
Console &console()
{
    static Console &c = *new Console;
    return c;
}

// Which thread runs: the program's, or the close handler's.
struct Baton
{
    std::mutex mutex;
    std::condition_variable changed;
    bool handlerRuns = false;
    std::thread::id handler;
};

Baton &baton()
{
    static Baton &b = *new Baton;
    return b;
}

bool OnHandlerThread()
{
    return baton().handlerRuns && std::this_thread::get_id() == baton().handler;
}

// The side that holds the baton hands it to the other, and waits to get it back.
void HandOver(bool toHandler)
{
    Baton &b = baton();
    std::unique_lock<std::mutex> lock(b.mutex);
    b.handlerRuns = toHandler;
    b.changed.notify_all();
    b.changed.wait(lock, [&b, toHandler] { return b.handlerRuns != toHandler; });
}

// The system ends the process: nothing more is written, what the C runtime still holds is lost.
[[noreturn]] void EndProcess(const std::string &why, UINT status)
{
    Record("process ended: " + why);
    WriteReport();
    std::_Exit(static_cast<int>(status));
}

void RunCloseHandlers()
{
    // Not before the program's thread has named this one, and let go of the baton.
    {
        std::lock_guard<std::mutex> lock(baton().mutex);
    }
    const std::vector<PHANDLER_ROUTINE> handlers = console().handlers;
    for (auto handler = handlers.rbegin(); handler != handlers.rend(); ++handler)
        if ((*handler)(CTRL_CLOSE_EVENT))
            EndProcess("its close handler returned", kControlCExit);
    EndProcess("the default handler ended it on the close", kControlCExit);
}

void StartClose()
{
    Console &c = console();
    c.closedAt = c.clock;
    Record("console closed");
    Baton &b = baton();
    {
        std::unique_lock<std::mutex> lock(b.mutex);
        b.handlerRuns = true;
        std::thread thread(RunCloseHandlers);
        b.handler = thread.get_id();
        thread.detach();
        b.changed.wait(lock, [&b] { return !b.handlerRuns; });
    }
}

// What the close brings by the given moment, after the program's own thread let time pass: the
// handler thread's wait over, or the system's patience. False when nothing was due.
bool RunCloseDue(ULONGLONG until)
{
    Console &c = console();
    if (c.closedAt == kNever)
        return false;
    const ULONGLONG handlerAt = !c.handlerWaits ? kNever : c.events[c.handlerEvent] ? c.clock : c.handlerUntil;
    const ULONGLONG endAt = c.closedAt + kCloseTimeout;
    if (std::min(handlerAt, endAt) > until)
        return false;
    c.clock = std::max(c.clock, std::min(handlerAt, endAt));
    if (endAt <= handlerAt)
        EndProcess("its close handler ran past the system's time", kControlCExit);
    HandOver(true);
    return true;
}

// Time passes on the program's thread up to the given moment: the close comes when due, and
// what follows from it.
void PassTime(ULONGLONG until)
{
    Console &c = console();
    for (;;)
    {
        if (c.nextStop < c.stops.size() && c.stops[c.nextStop].kind == Stop::Close &&
            static_cast<ULONGLONG>(c.stops[c.nextStop].atMs) <= until)
        {
            c.clock = std::max<ULONGLONG>(c.clock, static_cast<ULONGLONG>(c.stops[c.nextStop++].atMs));
            StartClose();
            continue;
        }
        if (!RunCloseDue(until))
            break;
    }
    c.clock = std::max(c.clock, until);
}

bool HasEnter()
{
    for (const Stop &stop : console().stops)
        if (stop.kind == Stop::Enter)
            return true;
    return false;
}

long EventIndex(HANDLE handle)
{
    const std::uintptr_t value = reinterpret_cast<std::uintptr_t>(handle);
    if (value <= kEventBase || value > kEventBase + console().events.size())
        return -1;
    return static_cast<long>(value - kEventBase - 1);
}

void RunReader()
{
    Console &c = console();
    LPTHREAD_START_ROUTINE reader = c.reader;
    c.reader = nullptr;
    if (reader != nullptr)
        reader(c.readerParameter);
}

void Fire(const Stop &stop)
{
    Console &c = console();
    if (stop.kind == Stop::Enter)
    {
        c.lineWaiting = true;
        RunReader();
        return;
    }
    if (stop.kind == Stop::Close)
    {
        StartClose();
        return;
    }
    const DWORD type = stop.kind == Stop::CtrlC ? CTRL_C_EVENT : CTRL_BREAK_EVENT;
    const std::vector<PHANDLER_ROUTINE> handlers = c.handlers;
    for (auto handler = handlers.rbegin(); handler != handlers.rend(); ++handler)
        if ((*handler)(type))
            return;
    Violation("Ctrl+C or Ctrl+Break with no handler to take it: the program would be ended");
}

// Runs the system's work that is due by the given moment, the clock following it.
bool RunWorkDue(ULONGLONG until)
{
    Console &c = console();
    if (c.work.empty() || c.work.front().first > until)
        return false;
    const std::function<void()> work = c.work.front().second;
    c.clock = std::max(c.clock, c.work.front().first);
    c.work.erase(c.work.begin());
    work();
    return true;
}

} // namespace

void RunAt(ULONGLONG atMs, std::function<void()> work)
{
    std::vector<std::pair<ULONGLONG, std::function<void()>>> &queue = console().work;
    auto place = queue.begin();
    while (place != queue.end() && place->first <= atMs)
        ++place;
    queue.insert(place, std::make_pair(atMs, std::move(work)));
}

ULONGLONG ScriptedClock()
{
    return console().clock;
}

void AdvanceScriptedClock(ULONGLONG ms)
{
    PassTime(console().clock + ms);
}

bool ConsoleClosed()
{
    return console().closedAt != kNever;
}

bool OutputIsConsole()
{
    return console().consoleOutput;
}

bool WriteStandardOutput(const std::string &text)
{
    Console &c = console();
    // The write takes its time, and what comes meanwhile (the close, the end of the process)
    // comes before it is done.
    PassTime(c.clock + c.writeMs);
    RunTrace().writes.push_back(text);
    for (size_t done = 0; done < text.size();)
    {
        const ssize_t put = ::write(STDOUT_FILENO, text.data() + done, text.size() - done);
        if (put < 0 && errno == EINTR)
            continue;
        if (put <= 0)
            return false;
        done += static_cast<size_t>(put);
    }
    return true;
}

void ResetConsole(const Scenario &scenario)
{
    console() = Console();
    console().stops = scenario.stops;
    console().consoleInput = scenario.consoleInput;
    console().consoleOutput = scenario.consoleOutput;
    console().outputPipe = scenario.consoleOutput ? 0 : scenario.outputPipe;
    console().writeMs = static_cast<ULONGLONG>(std::max(0L, scenario.outputWriteMs));
}

bool CloseConsoleHandle(HANDLE handle)
{
    Console &c = console();
    const std::uintptr_t value = reinterpret_cast<std::uintptr_t>(handle);
    const long event = EventIndex(handle);
    if (event >= 0)
    {
        if (c.closedEvents[static_cast<size_t>(event)])
            Violation("event closed twice");
        c.closedEvents[static_cast<size_t>(event)] = true;
        return true;
    }
    return value > kThreadBase && value <= kThreadBase + c.threads;
}

} // namespace scripted

using namespace scripted;

extern "C" ULONGLONG WINAPI GetTickCount64()
{
    return kTickBase + console().clock;
}

// The scenario starts on 2026-12-08 at 13:05:00, local time.
extern "C" void WINAPI GetLocalTime(LPSYSTEMTIME lpSystemTime)
{
    const ULONGLONG seconds = (13 * 60 + 5) * 60 + console().clock / 1000;
    *lpSystemTime = SYSTEMTIME();
    lpSystemTime->wYear = 2026;
    lpSystemTime->wMonth = 12;
    lpSystemTime->wDay = static_cast<WORD>(8 + seconds / 86400);
    lpSystemTime->wDayOfWeek = static_cast<WORD>((2 + seconds / 86400) % 7);
    lpSystemTime->wHour = static_cast<WORD>(seconds / 3600 % 24);
    lpSystemTime->wMinute = static_cast<WORD>(seconds / 60 % 60);
    lpSystemTime->wSecond = static_cast<WORD>(seconds % 60);
    lpSystemTime->wMilliseconds = static_cast<WORD>(console().clock % 1000);
}

// The scenario's zone is UTC.
extern "C" void WINAPI GetSystemTime(LPSYSTEMTIME lpSystemTime)
{
    GetLocalTime(lpSystemTime);
}

// Time passes at once, the system's work due meanwhile done.
extern "C" void WINAPI Sleep(DWORD dwMilliseconds)
{
    const ULONGLONG until = console().clock + dwMilliseconds;
    while (RunWorkDue(until))
    {
    }
    PassTime(until);
}

extern "C" HANDLE WINAPI CreateEventA(LPSECURITY_ATTRIBUTES, BOOL bManualReset, BOOL bInitialState, LPCSTR)
{
    Console &c = console();
    if (!bManualReset)
        Violation("auto-reset event: a stop once seen must stay seen");
    c.events.push_back(bInitialState != FALSE);
    c.closedEvents.push_back(false);
    return reinterpret_cast<HANDLE>(kEventBase + c.events.size());
}

extern "C" BOOL WINAPI SetEvent(HANDLE hEvent)
{
    const long event = EventIndex(hEvent);
    if (event < 0 || console().closedEvents[static_cast<size_t>(event)])
    {
        Violation("SetEvent on a handle that is not an open event");
        return FALSE;
    }
    Console &c = console();
    c.events[static_cast<size_t>(event)] = true;
    // The close handler waits for this event: its thread runs now.
    if (c.handlerWaits && c.handlerEvent == static_cast<size_t>(event) && !OnHandlerThread())
        RunCloseDue(c.clock);
    return TRUE;
}

extern "C" DWORD WINAPI WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds)
{
    Console &c = console();
    const long event = EventIndex(hHandle);
    if (event < 0)
    {
        Violation("wait on a handle that is not an event");
        return WAIT_FAILED;
    }
    const size_t index = static_cast<size_t>(event);
    if (OnHandlerThread())
    {
        if (c.events[index] || dwMilliseconds == 0)
            return c.events[index] ? WAIT_OBJECT_0 : WAIT_TIMEOUT;
        c.handlerWaits = true;
        c.handlerEvent = index;
        c.handlerUntil = dwMilliseconds == INFINITE ? kNever : c.clock + dwMilliseconds;
        HandOver(false);
        c.handlerWaits = false;
        return c.events[index] ? WAIT_OBJECT_0 : WAIT_TIMEOUT;
    }
    const ULONGLONG until = dwMilliseconds == INFINITE ? kLongestRun : c.clock + dwMilliseconds;
    for (;;)
    {
        if (c.events[index])
            break;
        const bool stopDue =
            c.nextStop < c.stops.size() && static_cast<ULONGLONG>(c.stops[c.nextStop].atMs) <= until;
        const ULONGLONG stopAt = stopDue ? static_cast<ULONGLONG>(c.stops[c.nextStop].atMs) : until;
        // The system's work before a stop at the same moment.
        if (RunWorkDue(stopAt) || RunCloseDue(stopAt))
            continue;
        if (!stopDue)
            break;
        c.clock = std::max<ULONGLONG>(c.clock, stopAt);
        Fire(c.stops[c.nextStop++]);
    }
    if (c.events[index])
        return WAIT_OBJECT_0;
    c.clock = until;
    if (c.clock >= kLongestRun)
    {
        Violation("waited a whole day for a stop that never came");
        return WAIT_FAILED;
    }
    return WAIT_TIMEOUT;
}

extern "C" HANDLE WINAPI CreateThread(LPSECURITY_ATTRIBUTES, SIZE_T, LPTHREAD_START_ROUTINE lpStartAddress,
                                      LPVOID lpParameter, DWORD, LPDWORD lpThreadId)
{
    Console &c = console();
    if (c.reader != nullptr)
        Violation("a second thread while the first still waits for input");
    c.reader = lpStartAddress;
    c.readerParameter = lpParameter;
    if (lpThreadId != nullptr)
        *lpThreadId = 0;
    // Without a line to come, the input is at its end: the thread's read returns at once.
    if (!HasEnter())
        RunReader();
    return reinterpret_cast<HANDLE>(kThreadBase + ++c.threads);
}

extern "C" HANDLE WINAPI GetStdHandle(DWORD nStdHandle)
{
    return nStdHandle == STD_INPUT_HANDLE ? kStandardInput : nStdHandle == STD_OUTPUT_HANDLE ? kStandardOutput
                                                                                            : INVALID_HANDLE_VALUE;
}

// The program writes its text through the C++ streams; on the handle it only looks whether the
// output is still there, with an empty write, which always succeeds here. WriteFile: "If
// lpBuffer is NULL or nNumberOfBytesToWrite is zero ... a zero-byte write operation" reaches a
// message-mode pipe's reader as a message of 0 bytes, a ReadFile that returns 0 bytes, the
// end of file to many readers; a file or a console has no reader to lose, so only a byte-mode
// pipe is to be asked.
// https://learn.microsoft.com/windows/win32/api/fileapi/nf-fileapi-writefile
// https://learn.microsoft.com/windows/win32/ipc/named-pipe-type-read-and-wait-modes
extern "C" BOOL WINAPI WriteFile(HANDLE hFile, LPCVOID, DWORD nNumberOfBytesToWrite, LPDWORD lpNumberOfBytesWritten,
                                 LPOVERLAPPED)
{
    if (hFile != kStandardOutput || nNumberOfBytesToWrite != 0)
        Violation("a write other than an empty one to standard output");
    else if (console().outputPipe != 1)
        Violation(console().outputPipe == 2 ? "an empty write to a message-mode pipe"
                                            : "an empty write to an output that is no pipe");
    if (lpNumberOfBytesWritten != nullptr)
        *lpNumberOfBytesWritten = 0;
    return hFile == kStandardOutput;
}

// GetNamedPipeInfo: PIPE_TYPE_MESSAGE (4) in the flags for a message-mode pipe, 0 for a
// byte-mode one, which an anonymous pipe is ("Anonymous pipes are implemented using a named
// pipe with a unique name", CreatePipe); for a handle that is no pipe the call fails.
// https://learn.microsoft.com/windows/win32/api/namedpipeapi/nf-namedpipeapi-getnamedpipeinfo
extern "C" BOOL WINAPI GetNamedPipeInfo(HANDLE hNamedPipe, LPDWORD lpFlags, LPDWORD lpOutBufferSize,
                                        LPDWORD lpInBufferSize, LPDWORD lpMaxInstances)
{
    const Console &c = console();
    if (hNamedPipe != kStandardOutput || c.outputPipe == 0)
    {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (lpFlags != nullptr)
        *lpFlags = c.outputPipe == 2 ? PIPE_TYPE_MESSAGE : 0;
    if (lpOutBufferSize != nullptr)
        *lpOutBufferSize = 4096;
    if (lpInBufferSize != nullptr)
        *lpInBufferSize = 4096;
    if (lpMaxInstances != nullptr)
        *lpMaxInstances = 1;
    return TRUE;
}

// GetConsoleMode (learn.microsoft.com/windows/console/getconsolemode): the handle must be a
// console input buffer or screen buffer; for any other (a file, a pipe, NUL) the call fails.
// A console starts with every input mode on but ENABLE_WINDOW_INPUT and
// ENABLE_VIRTUAL_TERMINAL_INPUT; an output buffer with ENABLE_PROCESSED_OUTPUT and
// ENABLE_WRAP_AT_EOL_OUTPUT. The last error of a failure is left alone: the program never reads it.
extern "C" BOOL WINAPI GetConsoleMode(HANDLE hConsoleHandle, LPDWORD lpMode)
{
    const Console &c = console();
    if (lpMode == nullptr)
    {
        Violation("GetConsoleMode without a place for the mode");
        return FALSE;
    }
    if (hConsoleHandle == kStandardInput && c.consoleInput)
        *lpMode = 0x0001 | 0x0002 | 0x0004 | 0x0010 | 0x0020 | 0x0040;
    else if (hConsoleHandle == kStandardOutput && c.consoleOutput)
        *lpMode = 0x0001 | 0x0002;
    else
        return FALSE;
    return TRUE;
}

extern "C" BOOL WINAPI ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead,
                                LPDWORD lpNumberOfBytesRead, LPOVERLAPPED)
{
    Console &c = console();
    if (hFile != kStandardInput)
    {
        Violation("read from a handle that is not standard input");
        return FALSE;
    }
    if (lpNumberOfBytesRead == nullptr)
    {
        Violation("ReadFile without a place for the count");
        return FALSE;
    }
    *lpNumberOfBytesRead = 0;
    if (c.lineWaiting && nNumberOfBytesToRead > 0)
    {
        static_cast<char *>(lpBuffer)[0] = '\n';
        *lpNumberOfBytesRead = 1;
        c.lineWaiting = false;
    }
    return TRUE;
}

extern "C" BOOL WINAPI SetConsoleCtrlHandler(PHANDLER_ROUTINE HandlerRoutine, BOOL Add)
{
    Console &c = console();
    if (HandlerRoutine == nullptr)
    {
        Violation("SetConsoleCtrlHandler without a handler");
        return FALSE;
    }
    if (Add)
    {
        c.handlers.push_back(HandlerRoutine);
        return TRUE;
    }
    for (size_t i = c.handlers.size(); i-- > 0;)
    {
        if (c.handlers[i] == HandlerRoutine)
        {
            c.handlers.erase(c.handlers.begin() + static_cast<std::ptrdiff_t>(i));
            return TRUE;
        }
    }
    Violation("removed a Ctrl handler that was never added");
    return FALSE;
}

// https://learn.microsoft.com/windows/win32/api/processthreadsapi/nf-processthreadsapi-exitprocess
// The program ends itself only when its console closes: a call before that is a fault, reported
// before the process ends as the documentation says it must.
extern "C" void WINAPI ExitProcess(UINT uExitCode)
{
    if (!ConsoleClosed())
        Violation("ExitProcess without a closed console");
    EndProcess("ExitProcess(" + std::to_string(uExitCode) + ")", uExitCode);
}

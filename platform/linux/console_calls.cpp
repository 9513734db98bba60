// Time, events, threads and the console, on POSIX: what the watch waits with and is stopped by.
//
// Windows                        here
// GetTickCount64                 CLOCK_MONOTONIC, in milliseconds
// GetLocalTime                   the realtime clock in the local time zone
// event, thread                  a condition variable; a detached thread
// standard input                 descriptor 0
// Ctrl+C, Ctrl+Break             SIGINT, SIGTERM: each signal's handlers run on a thread of its
//                                own, as Windows runs them, last added first; unhandled, the
//                                signal does what it does by default
// console closed                 SIGHUP (the terminal went), or the X server gone for good (see
//                                RaiseConsoleClose)
// console output                 isatty: a terminal is the console
// ExitProcess                    _exit

#include <windows.h>

#include "kernel_objects.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <ctime>
#include <mutex>
#include <thread>
#include <vector>

using namespace hungscan_linux;

namespace {

struct Event : KernelObject
{
    std::mutex mutex;
    std::condition_variable changed;
    bool manualReset = true;
    bool signalled = false;
};

struct Thread : KernelObject
{
};

struct StandardStream : KernelObject
{
    int fd;
    explicit StandardStream(int descriptor) : fd(descriptor) {}
};

// Shared with the dispatching thread and the signal handlers for as long as the program runs:
// never destroyed.
struct CtrlHandlers
{
    std::mutex mutex;
    std::vector<PHANDLER_ROUTINE> handlers;
    bool started = false;
    int pipe[2] = {-1, -1};
};

CtrlHandlers &ctrl = *new CtrlHandlers;
// Written by the signal handlers, which may only write to a descriptor.
volatile sig_atomic_t ctrlPipe = -1;

// The dispatching thread is told the signal's number; 0 stands for the display gone.
void OnSignal(int signal)
{
    const int fd = ctrlPipe;
    const char number = static_cast<char>(signal);
    if (fd >= 0)
    {
        const int saved = errno;
        (void)!write(fd, &number, 1);
        errno = saved;
    }
}

DWORD CtrlTypeOf(int signal)
{
    return signal == SIGINT ? CTRL_C_EVENT : signal == SIGTERM ? CTRL_BREAK_EVENT : CTRL_CLOSE_EVENT;
}

// Runs on a thread of its own, as Windows runs each handler: a handler that waits (the watch
// waits for its closing lines on a close) holds up no signal that comes after it.
void RunCtrlHandlers(int signal)
{
    std::vector<PHANDLER_ROUTINE> handlers;
    {
        std::lock_guard<std::mutex> lock(ctrl.mutex);
        handlers = ctrl.handlers;
    }
    bool handled = false;
    for (auto handler = handlers.rbegin(); handler != handlers.rend() && !handled; ++handler)
        handled = (*handler)(CtrlTypeOf(signal)) != FALSE;
    if (!handled && signal != 0)
    {
        // What the signal would have done had nobody asked for it.
        ::signal(signal, SIG_DFL);
        raise(signal);
    }
}

void DispatchCtrlEvents(int fd)
{
    // A console closes once: a hang-up after a hang-up, or after the display went, has nothing
    // more to close.
    bool closed = false;
    for (;;)
    {
        char number = 0;
        const ssize_t got = read(fd, &number, 1);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            return;
        const int signal = number;
        if (CtrlTypeOf(signal) == CTRL_CLOSE_EVENT)
        {
            if (closed)
                continue;
            closed = true;
        }
        std::thread(RunCtrlHandlers, signal).detach();
    }
}

void StartDispatching()
{
    if (ctrl.started || pipe2(ctrl.pipe, O_CLOEXEC) != 0)
        return;
    ctrl.started = true;
    ctrlPipe = ctrl.pipe[1];
    std::thread(DispatchCtrlEvents, ctrl.pipe[0]).detach();
    struct sigaction action = {};
    action.sa_handler = OnSignal;
    action.sa_flags = SA_RESTART;
    sigemptyset(&action.sa_mask);
    for (const int signal : {SIGINT, SIGTERM, SIGHUP})
        sigaction(signal, &action, nullptr);
}

} // namespace

namespace hungscan_linux {

void RaiseConsoleClose()
{
    OnSignal(0);
}

} // namespace hungscan_linux

extern "C" ULONGLONG WINAPI GetTickCount64()
{
    timespec now = {};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<ULONGLONG>(now.tv_sec) * 1000 + static_cast<ULONGLONG>(now.tv_nsec) / 1000000;
}

namespace {

// The realtime clock, broken down in the local time zone or in UTC.
void ReadClock(LPSYSTEMTIME time, bool local)
{
    timespec now = {};
    clock_gettime(CLOCK_REALTIME, &now);
    tm parts = {};
    if (local)
        localtime_r(&now.tv_sec, &parts);
    else
        gmtime_r(&now.tv_sec, &parts);
    time->wYear = static_cast<WORD>(parts.tm_year + 1900);
    time->wMonth = static_cast<WORD>(parts.tm_mon + 1);
    time->wDayOfWeek = static_cast<WORD>(parts.tm_wday);
    time->wDay = static_cast<WORD>(parts.tm_mday);
    time->wHour = static_cast<WORD>(parts.tm_hour);
    time->wMinute = static_cast<WORD>(parts.tm_min);
    time->wSecond = static_cast<WORD>(std::min(parts.tm_sec, 59)); // a leap second reads as :59
    time->wMilliseconds = static_cast<WORD>(now.tv_nsec / 1000000);
}

} // namespace

extern "C" void WINAPI GetLocalTime(LPSYSTEMTIME lpSystemTime)
{
    ReadClock(lpSystemTime, true);
}

extern "C" void WINAPI GetSystemTime(LPSYSTEMTIME lpSystemTime)
{
    ReadClock(lpSystemTime, false);
}

extern "C" void WINAPI Sleep(DWORD dwMilliseconds)
{
    std::this_thread::sleep_for(std::chrono::milliseconds(dwMilliseconds));
}

extern "C" HANDLE WINAPI CreateEventA(LPSECURITY_ATTRIBUTES, BOOL bManualReset, BOOL bInitialState, LPCSTR)
{
    Event *event = new Event;
    event->manualReset = bManualReset != FALSE;
    event->signalled = bInitialState != FALSE;
    return ToHandle(event);
}

extern "C" BOOL WINAPI SetEvent(HANDLE hEvent)
{
    Event *event = HandleAs<Event>(hEvent);
    if (event == nullptr)
        return FALSE;
    {
        std::lock_guard<std::mutex> lock(event->mutex);
        event->signalled = true;
    }
    event->changed.notify_all();
    return TRUE;
}

extern "C" DWORD WINAPI WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds)
{
    Event *event = HandleAs<Event>(hHandle);
    if (event == nullptr)
        return WAIT_FAILED;
    std::unique_lock<std::mutex> lock(event->mutex);
    const auto signalled = [event] { return event->signalled; };
    if (dwMilliseconds == INFINITE)
        event->changed.wait(lock, signalled);
    else if (!event->changed.wait_for(lock, std::chrono::milliseconds(dwMilliseconds), signalled))
        return WAIT_TIMEOUT;
    if (!event->manualReset)
        event->signalled = false;
    return WAIT_OBJECT_0;
}

extern "C" HANDLE WINAPI CreateThread(LPSECURITY_ATTRIBUTES, SIZE_T, LPTHREAD_START_ROUTINE lpStartAddress,
                                      LPVOID lpParameter, DWORD, LPDWORD lpThreadId)
{
    std::thread(lpStartAddress, lpParameter).detach();
    if (lpThreadId != nullptr)
        *lpThreadId = 0;
    return ToHandle(new Thread);
}

extern "C" HANDLE WINAPI GetStdHandle(DWORD nStdHandle)
{
    // Never destroyed: a thread blocked reading standard input may still use its handle while
    // the program ends.
    static StandardStream *const input = new StandardStream(STDIN_FILENO);
    static StandardStream *const output = new StandardStream(STDOUT_FILENO);
    static StandardStream *const error = new StandardStream(STDERR_FILENO);
    return nStdHandle == STD_INPUT_HANDLE    ? ToHandle(input)
           : nStdHandle == STD_OUTPUT_HANDLE ? ToHandle(output)
           : nStdHandle == STD_ERROR_HANDLE  ? ToHandle(error)
                                             : INVALID_HANDLE_VALUE;
}

// A pipe, or a stream socket, is a byte stream whose reader can go; anything else is no pipe.
extern "C" BOOL WINAPI GetNamedPipeInfo(HANDLE hNamedPipe, LPDWORD lpFlags, LPDWORD lpOutBufferSize,
                                        LPDWORD lpInBufferSize, LPDWORD lpMaxInstances)
{
    StandardStream *stream = HandleAs<StandardStream>(hNamedPipe);
    struct stat status;
    if (stream == nullptr || fstat(stream->fd, &status) != 0 || !(S_ISFIFO(status.st_mode) || S_ISSOCK(status.st_mode)))
        return FALSE;
    if (lpFlags != nullptr)
        *lpFlags = 0;
    if (lpOutBufferSize != nullptr)
        *lpOutBufferSize = 0;
    if (lpInBufferSize != nullptr)
        *lpInBufferSize = 0;
    if (lpMaxInstances != nullptr)
        *lpMaxInstances = 1;
    return TRUE;
}

extern "C" BOOL WINAPI GetConsoleMode(HANDLE hConsoleHandle, LPDWORD lpMode)
{
    StandardStream *stream = HandleAs<StandardStream>(hConsoleHandle);
    if (stream == nullptr || lpMode == nullptr || !isatty(stream->fd))
        return FALSE;
    *lpMode = 0;
    return TRUE;
}

extern "C" BOOL WINAPI ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead,
                                LPDWORD lpNumberOfBytesRead, LPOVERLAPPED)
{
    StandardStream *stream = HandleAs<StandardStream>(hFile);
    if (lpNumberOfBytesRead != nullptr)
        *lpNumberOfBytesRead = 0;
    if (stream == nullptr)
        return FALSE;
    ssize_t got;
    do
        got = read(stream->fd, lpBuffer, nNumberOfBytesToRead);
    while (got < 0 && errno == EINTR);
    if (got < 0)
        return FALSE;
    if (lpNumberOfBytesRead != nullptr)
        *lpNumberOfBytesRead = static_cast<DWORD>(got);
    return TRUE;
}

extern "C" BOOL WINAPI WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite,
                                 LPDWORD lpNumberOfBytesWritten, LPOVERLAPPED)
{
    StandardStream *stream = HandleAs<StandardStream>(hFile);
    if (lpNumberOfBytesWritten != nullptr)
        *lpNumberOfBytesWritten = 0;
    if (stream == nullptr)
        return FALSE;
    // Linux takes an empty write to a pipe whose reader has gone without a word; Windows
    // refuses it. The hang-up a poll sees tells the same.
    if (nNumberOfBytesToWrite == 0)
    {
        pollfd fd = {stream->fd, POLLOUT, 0};
        if (poll(&fd, 1, 0) < 0 || (fd.revents & (POLLERR | POLLHUP | POLLNVAL)) != 0)
        {
            SetLastError(ERROR_NO_DATA);
            return FALSE;
        }
        return TRUE;
    }
    ssize_t put;
    do
        put = write(stream->fd, lpBuffer, nNumberOfBytesToWrite);
    while (put < 0 && errno == EINTR);
    if (put < 0)
        return FALSE;
    if (lpNumberOfBytesWritten != nullptr)
        *lpNumberOfBytesWritten = static_cast<DWORD>(put);
    return TRUE;
}

extern "C" BOOL WINAPI CloseHandle(HANDLE hObject)
{
    KernelObject *object = HandleAs<KernelObject>(hObject);
    // The standard streams are the program's for as long as it runs.
    if (object == nullptr || HandleAs<StandardStream>(hObject) != nullptr)
        return FALSE;
    delete object;
    return TRUE;
}

// Ends at once, from any thread, as ExitProcess does; the program flushes each line it writes,
// so nothing waits in a buffer.
extern "C" void WINAPI ExitProcess(UINT uExitCode)
{
    _exit(static_cast<int>(uExitCode));
}

extern "C" BOOL WINAPI SetConsoleCtrlHandler(PHANDLER_ROUTINE HandlerRoutine, BOOL Add)
{
    if (HandlerRoutine == nullptr)
        return FALSE;
    std::lock_guard<std::mutex> lock(ctrl.mutex);
    if (Add)
    {
        ctrl.handlers.push_back(HandlerRoutine);
        StartDispatching();
        return TRUE;
    }
    const auto found = std::find(ctrl.handlers.rbegin(), ctrl.handlers.rend(), HandlerRoutine);
    if (found == ctrl.handlers.rend())
        return FALSE;
    ctrl.handlers.erase(std::next(found).base());
    return TRUE;
}

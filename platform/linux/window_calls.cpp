// The window calls, on Linux: the windows of an X display, and a Wayland session's applications.
//
// Windows                        X11
// top-level window               a child of the root window, or the client window (the one
//                                with WM_STATE) that a window manager's frame holds
// probe with WM_NULL             the EWMH ping: _NET_WM_PING sent to the window, answered by the
//                                client on the root window. EnumWindows pings every window once
//                                it has listed them, so each probe waits only for what is left
//                                of its window's own time.
// SendMessageCallbackA           the same wait for the ping, then the callback queued for the
//                                next PeekMessageA; a ping unanswered fails the call at once with
//                                ERROR_TIMEOUT, as no late answer is ever heard of (every
//                                enumeration pings afresh).
// window caption                 _NET_WM_NAME, else WM_NAME, as UTF-8 (a Latin-1 STRING converted)
// window's process id            the X-Resource extension, else _NET_WM_PID of a local client
// thread deemed hung             none: X has no such judgement, and a stopped client is a real
//                                hang to its user; every failed ping is a timeout
//
// A server that goes away or stops answering ends the enumeration as a failure, never the
// program.
//
// On a Wayland session the applications of the accessibility bus are a second list, met here
// with the first: each application that owns no X11 window of the scan is handed out after the
// X11 windows, one handle per window whose title it gave when it last answered, else one for
// itself. Its probe is a call its main loop alone serves, sent with every other before the
// first window is handed to the caller; its owner is the bus daemon's word.

#include <windows.h>

#include "accessibility.h"
#include "atoms.h"
#include "connection.h"
#include "journal.h"
#include "kernel_objects.h"
#include "owners.h"
#include "ping.h"
#include "properties.h"
#include "wide_text.h"
#include "toplevel.h"
#include "wayland_clients.h"

#include <sys/socket.h>

#include <algorithm>
#include <cstring>
#include <cstdio>
#include <set>
#include <string>
#include <vector>

using namespace hungscan_linux;
using namespace hungscan_x11;
using namespace hungscan_platform;
using namespace hungscan_accessibility;
using namespace hungscan_wayland;

namespace {

// A handle is the window's id in its low 32 bits, as a Windows handle's value is, and above
// them how many windows with that id were seen destroyed before it: the handle of a window that
// is gone never names the window that took its id, as a Windows handle never does. Whoever
// shows a handle shows its 32 bits, the X window id.
constexpr unsigned GENERATION_SHIFT = 32;
static_assert(sizeof(HWND) * 8 >= GENERATION_SHIFT + 16, "a handle holds the window id and its generation");

xcb_window_t ToWindow(HWND hwnd)
{
    return static_cast<xcb_window_t>(reinterpret_cast<std::uintptr_t>(hwnd) & 0xFFFFFFFFu);
}

HWND ToHwnd(xcb_window_t window)
{
    const std::uintptr_t generation = WindowGeneration(window) & 0xFFFFu;
    return reinterpret_cast<HWND>(static_cast<std::uintptr_t>(window) | generation << GENERATION_SHIFT);
}

// A handle of a window destroyed since it was handed out.
bool Stale(HWND hwnd)
{
    return ToHwnd(ToWindow(hwnd)) != hwnd;
}

// An application's handle: in its low 32 bits a value no X window id takes (ids have their top
// three bits clear), the application's number, and which of its windows.
constexpr std::uintptr_t APPLICATION_MARK = 0xA0000000u;
constexpr unsigned APPLICATION_SHIFT = 8;

bool IsApplication(HWND hwnd)
{
    const std::uintptr_t value = reinterpret_cast<std::uintptr_t>(hwnd);
    return (value & ~static_cast<std::uintptr_t>(0xFFFFFFFFu)) == 0 && (value & 0xE0000000u) == APPLICATION_MARK;
}

HWND ToHwnd(const Listed &listed)
{
    return reinterpret_cast<HWND>(APPLICATION_MARK | static_cast<std::uintptr_t>(listed.application) << APPLICATION_SHIFT |
                                  listed.window);
}

std::uint32_t ApplicationOf(HWND hwnd)
{
    return static_cast<std::uint32_t>((reinterpret_cast<std::uintptr_t>(hwnd) & 0x1FFFFFFFu) >> APPLICATION_SHIFT);
}

std::uint32_t WindowOf(HWND hwnd)
{
    return static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(hwnd) & ((1u << APPLICATION_SHIFT) - 1));
}

// The title of an application's window as it was learned; false when none is known.
bool ApplicationTitle(HWND hwnd, std::string &title)
{
    if (WindowTitle(ApplicationOf(hwnd), WindowOf(hwnd), title))
        return true;
    // Not an empty title: none is known. The program's name is its class.
    SetLastError(ERROR_NOT_FOUND);
    return false;
}

thread_local DWORD lastError = 0;

// The connection, with the atoms the platform names interned the first time (one round trip);
// null when the display cannot be used. The one way the calls below reach the server, each
// within a ServerWait of its own: no request escapes the wait limit.
xcb_connection_t *Display()
{
    static bool interned = false;
    HandDisplayGone(RaiseConsoleClose);
    xcb_connection_t *c = Connection();
    if (c != nullptr && !interned)
        interned = InternAtoms(c);
    return interned ? c : nullptr;
}

} // namespace

extern "C" DWORD WINAPI GetLastError()
{
    return lastError;
}

extern "C" void WINAPI SetLastError(DWORD dwErrCode)
{
    lastError = dwErrCode;
}

// The last enumeration checked the X11 windows but could not reach the accessibility bus.
static bool unreachedBus = false;

// The message that says so, in the range Windows leaves to applications.
constexpr DWORD MESSAGE_UNREACHED_BUS = 0x20000012;

// The accessibility bus's applications: listed, probed and handed out after the X11 windows.
// False when the caller stopped the enumeration; *available false when there is no bus.
static bool EnumApplications(xcb_connection_t *c, const std::vector<xcb_window_t> &windows, WNDENUMPROC lpEnumFunc,
                             LPARAM lParam, bool *available)
{
    // A program of XWayland is probed once, by its X11 windows.
    std::set<pid_t> x11Owners;
    if (c != nullptr && !windows.empty())
    {
        ServerWait wait;
        if (ServerSharesOurProcessIds(c))
            for (const xcb_window_t window : windows)
                x11Owners.insert(ProcessOf(c, window));
    }
    std::vector<Listed> applications;
    *available = ProbeApplications(x11Owners, applications);
    // While the probes are out: the compositor's other clients, which nothing can probe, are
    // named. The X server (XWayland) is one of them, its programs checked by their windows.
    std::set<pid_t> probed = x11Owners;
    if (*available)
        probed.merge(ListedProcesses());
    ucred server = {};
    socklen_t size = sizeof server;
    if (c != nullptr && getsockopt(xcb_get_file_descriptor(c), SOL_SOCKET, SO_PEERCRED, &server, &size) == 0)
        probed.insert(server.pid);
    SetUnprobed(ListClients(), probed);
    bool completed = true;
    for (const Listed &listed : applications)
        if (!lpEnumFunc(ToHwnd(listed), lParam))
        {
            completed = false;
            break;
        }
    if (!FinishProbes())
        *available = false;
    return completed;
}

extern "C" BOOL WINAPI EnumWindows(WNDENUMPROC lpEnumFunc, LPARAM lParam)
{
    RetryIfStalled();
    BeginScan();
    SetUnprobed({}, {});
    unreachedBus = false;
    std::vector<xcb_window_t> windows;
    std::vector<bool> framed;
    BOOL completed = FALSE;
    const bool wayland = Wanted();
    xcb_connection_t *c = Display();
    // A Wayland session need not have an X display at all: its applications are then all there is.
    const bool x11 = c != nullptr || !wayland || ConnectionError() != X11_ERROR_NO_DISPLAY;
    bool listed = false;
    if (c != nullptr)
    {
        // Until every ping has left; the callbacks below wait for no server.
        ServerWait wait;
        listed = ListTopLevelWindows(c, windows, framed);
        if (listed)
            SendPings(c, windows, framed);
    }
    if (listed)
    {
        completed = TRUE;
        for (const xcb_window_t window : windows)
        {
            // As on Windows, a callback that stops the enumeration makes it return FALSE.
            if (!lpEnumFunc(ToHwnd(window), lParam) || ConnectionLost())
            {
                completed = FALSE;
                break;
            }
        }
        ServerWait wait;
        ForgetPings(c);
    }
    bool accessible = true;
    if (wayland && (completed || !x11))
    {
        const bool reached = EnumApplications(listed ? c : nullptr, windows, lpEnumFunc, lParam, &accessible);
        if (!x11)
            completed = accessible && reached;
        else if (!reached)
            completed = FALSE;
        // With the X11 windows checked, the missing bus is a blind spot, not a failure.
        unreachedBus = x11 && listed && !accessible;
    }
    if (!x11)
    {
        if (!accessible)
            SetLastError(ACCESSIBILITY_ERROR_NO_BUS);
        return completed;
    }
    if (c == nullptr || ConnectionLost())
    {
        // A display that could not be opened or has closed is gone for good; one that stalled
        // is tried again by the next enumeration.
        const DWORD why = ConnectionError();
        if (why != X11_ERROR_NO_ANSWER)
            RaiseConsoleClose();
        SetLastError(why);
        return FALSE;
    }
    if (!listed)
        SetLastError(X11_ERROR_MALFORMED); // the display is there, but not a list of its windows
    return completed;
}

// The platform's own reasons in its own words; the system's codes it does not word.
extern "C" DWORD WINAPI FormatMessageA(DWORD dwFlags, LPCVOID, DWORD dwMessageId, DWORD, LPSTR lpBuffer, DWORD nSize,
                                       va_list *)
{
    char buffer[1024];
    const char *text = nullptr;
    if ((dwFlags & FORMAT_MESSAGE_FROM_SYSTEM) != 0)
    {
        text = ConnectionErrorText(dwMessageId, buffer, sizeof buffer);
        if (text == nullptr)
            text = JournalErrorText(dwMessageId, buffer, sizeof buffer);
        if (text == nullptr)
            text = AccessibilityErrorText(dwMessageId, buffer, sizeof buffer);
        if (text == nullptr)
            text = UnprobedText(dwMessageId, buffer, std::min<std::size_t>(sizeof buffer, nSize));
        char reason[512];
        if (text == nullptr && dwMessageId == MESSAGE_UNREACHED_BUS && unreachedBus &&
            AccessibilityErrorText(ACCESSIBILITY_ERROR_NO_BUS, reason, sizeof reason) != nullptr)
        {
            std::snprintf(buffer, sizeof buffer, "cannot check the Wayland programs: %s", reason);
            text = buffer;
        }
    }
    if (text == nullptr || lpBuffer == nullptr || std::strlen(text) >= nSize)
        return 0;
    std::memcpy(lpBuffer, text, std::strlen(text) + 1);
    return static_cast<DWORD>(std::strlen(text));
}

extern "C" LRESULT WINAPI SendMessageTimeoutA(HWND hWnd, UINT Msg, WPARAM, LPARAM, UINT, UINT uTimeout,
                                              PDWORD_PTR lpdwResult)
{
    if (IsApplication(hWnd))
    {
        int answered = Msg == WM_NULL ? AwaitProbe(ApplicationOf(hWnd), uTimeout) : 0;
        if (answered == -1)
            answered = ApplicationExists(ApplicationOf(hWnd)) ? 1 : -2;
        if (answered == 1)
        {
            if (lpdwResult != nullptr)
                *lpdwResult = 0;
            return 1;
        }
        SetLastError(answered == -2 ? ERROR_INVALID_WINDOW_HANDLE : ERROR_TIMEOUT);
        return 0;
    }
    xcb_connection_t *c = Display();
    if (c == nullptr || Msg != WM_NULL)
    {
        SetLastError(ERROR_TIMEOUT);
        return 0;
    }
    const xcb_window_t window = ToWindow(hWnd);
    int answered = Stale(hWnd) ? PING_WINDOW_DESTROYED : AwaitPing(window, uTimeout);
    // A client outside the protocol cannot be probed: it counts as answering.
    if (answered == PING_OUTSIDE_PROTOCOL)
        answered = 1;
    if (answered == -1)
    {
        // Not pinged while the windows were listed: ping it now. A client that does not take
        // part in the protocol is not pinged and cannot be probed: only a window gone fails.
        {
            ServerWait wait;
            SendPings(c, {window}, {true});
        }
        answered = AwaitPing(window, uTimeout);
        if (answered == PING_OUTSIDE_PROTOCOL || answered == -1)
            answered = WindowExists(c, window) ? 1 : 0;
    }
    if (answered == PING_WINDOW_DESTROYED)
    {
        // Gone, whatever window has taken its id since.
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return 0;
    }
    if (answered <= 0)
    {
        SetLastError(ERROR_TIMEOUT);
        return 0;
    }
    if (lpdwResult != nullptr)
        *lpdwResult = 0;
    return 1;
}

extern "C" BOOL WINAPI IsHungAppWindow(HWND)
{
    return FALSE;
}

extern "C" BOOL WINAPI IsWindow(HWND hWnd)
{
    if (IsApplication(hWnd))
        return ApplicationExists(ApplicationOf(hWnd));
    xcb_connection_t *c = Display();
    return c != nullptr && !Stale(hWnd) && WindowExists(c, ToWindow(hWnd)) &&
           !ConnectionLost();
}

extern "C" int WINAPI GetWindowTextA(HWND hWnd, LPSTR lpString, int nMaxCount)
{
    if (nMaxCount <= 0)
        return 0;
    lpString[0] = '\0';
    std::string name;
    if (IsApplication(hWnd))
    {
        if (!ApplicationTitle(hWnd, name))
            return 0;
        const size_t length = std::min(name.size(), static_cast<size_t>(nMaxCount - 1));
        std::memcpy(lpString, name.data(), length);
        lpString[length] = '\0';
        return static_cast<int>(std::strlen(lpString));
    }
    xcb_connection_t *c = Display();
    ServerWait wait;
    if (c == nullptr || Stale(hWnd) || !ReadWindowName(c, ToWindow(hWnd), static_cast<size_t>(nMaxCount - 1), name))
        return 0;
    std::memcpy(lpString, name.data(), name.size());
    lpString[name.size()] = '\0';
    return static_cast<int>(std::strlen(lpString));
}

// The caption as UTF-16: what is not UTF-8 in it becomes U+FFFD.
extern "C" int WINAPI GetWindowTextW(HWND hWnd, LPWSTR lpString, int nMaxCount)
{
    if (nMaxCount <= 0)
        return 0;
    lpString[0] = 0;
    std::string name;
    if (IsApplication(hWnd))
        return ApplicationTitle(hWnd, name)
                   ? static_cast<int>(CopyWide(Utf16FromUtf8(name), lpString, static_cast<DWORD>(nMaxCount)))
                   : 0;
    xcb_connection_t *c = Display();
    ServerWait wait;
    // A character of UTF-16 is at most three bytes of UTF-8 (a pair, four for two).
    if (c == nullptr || Stale(hWnd) || !ReadWindowName(c, ToWindow(hWnd), 3 * static_cast<size_t>(nMaxCount - 1), name))
        return 0;
    return static_cast<int>(CopyWide(Utf16FromUtf8(name), lpString, static_cast<DWORD>(nMaxCount)));
}

// An application's class is its program's name: a window that cannot give its title is told
// apart by it. X11 windows' classes are not read.
extern "C" int WINAPI GetClassNameA(HWND hWnd, LPSTR lpClassName, int nMaxCount)
{
    std::string name;
    if (nMaxCount <= 0 || !IsApplication(hWnd) || !ProgramName(ApplicationOf(hWnd), name))
    {
        SetLastError(ERROR_NOT_SUPPORTED);
        return 0;
    }
    const size_t length = std::min(name.size(), static_cast<size_t>(nMaxCount - 1));
    std::memcpy(lpClassName, name.data(), length);
    lpClassName[length] = '\0';
    return static_cast<int>(std::strlen(lpClassName));
}

extern "C" DWORD WINAPI GetWindowThreadProcessId(HWND hWnd, LPDWORD lpdwProcessId)
{
    if (IsApplication(hWnd))
    {
        const pid_t owner = ApplicationProcess(ApplicationOf(hWnd));
        if (owner <= 0)
            return 0;
        if (lpdwProcessId != nullptr)
            *lpdwProcessId = static_cast<DWORD>(owner);
        return static_cast<DWORD>(owner); // the main thread, whose id is the process's, runs its loop
    }
    xcb_connection_t *c = Display();
    if (c == nullptr || Stale(hWnd))
        return 0;
    ServerWait wait;
    // The numbers the server gives name processes of its own pid namespace: here, another
    // process or none. Said as the failure's reason, so the program can say what it cannot see.
    if (!ServerSharesOurProcessIds(c))
    {
        SetLastError(X11_ERROR_PID_NAMESPACE);
        return 0;
    }
    const pid_t pid = ProcessOf(c, ToWindow(hWnd));
    if (pid <= 0)
        return 0;
    if (lpdwProcessId != nullptr)
        *lpdwProcessId = static_cast<DWORD>(pid);
    return static_cast<DWORD>(pid); // X11 has no window threads; the process id stands in for one
}

namespace {

// How long a window's ping may take to be answered: the limit Windows programs give a probe.
constexpr UINT PING_LIMIT_MS = 1000;

// Answers to SendMessageCallbackA, for the next PeekMessageA to hand to their callbacks.
struct QueuedAnswer
{
    HWND hwnd;
    SENDASYNCPROC callback;
    ULONG_PTR data;
};
std::vector<QueuedAnswer> queuedAnswers;

} // namespace

// Every window was pinged when the enumeration listed it, so waiting here, in listing order,
// for what is left of each window's time costs the scan one limit however many windows froze.
extern "C" BOOL WINAPI SendMessageCallbackA(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam,
                                            SENDASYNCPROC lpResultCallBack, ULONG_PTR dwData)
{
    if (SendMessageTimeoutA(hWnd, Msg, wParam, lParam, SMTO_ABORTIFHUNG, PING_LIMIT_MS, NULL) == 0)
        return FALSE;
    queuedAnswers.push_back(QueuedAnswer{hWnd, lpResultCallBack, dwData});
    return TRUE;
}

// No messages reach the program; reading its queue hands over the answers.
extern "C" BOOL WINAPI PeekMessageA(LPMSG, HWND, UINT, UINT, UINT)
{
    const std::vector<QueuedAnswer> answers = std::move(queuedAnswers);
    queuedAnswers.clear();
    for (const QueuedAnswer &answer : answers)
        answer.callback(answer.hwnd, WM_NULL, answer.data, 0);
    return FALSE;
}

extern "C" DWORD WINAPI MsgWaitForMultipleObjects(DWORD nCount, const HANDLE *, BOOL, DWORD dwMilliseconds, DWORD)
{
    if (nCount != 0)
    {
        SetLastError(ERROR_INVALID_PARAMETER);
        return WAIT_FAILED;
    }
    if (!queuedAnswers.empty())
        return WAIT_OBJECT_0;
    Sleep(dwMilliseconds);
    return WAIT_TIMEOUT;
}

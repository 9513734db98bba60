// The Win32 calls hungscan makes, on an X11 desktop and the Linux /proc file system.
//
// Windows                        X11 and Linux
// top-level window               a child of the root window, or the client window (the one
//                                with WM_STATE) that a window manager's frame holds
// probe with WM_NULL             the EWMH ping: _NET_WM_PING sent to the window, answered by the
//                                client on the root window
// window caption                 _NET_WM_NAME, else WM_NAME, bytes as stored
// window's process id            the X-Resource extension, else _NET_WM_PID of a local client
// process handle                 a pidfd, so the id cannot be handed to another process while
//                                the handle is open
// executable path                the target of /proc/PID/exe
//
// X protocol errors (a window destroyed between two calls, a property of an unexpected type)
// never end the program: they are trapped and become the failure result of the call.

#include <windows.h>

#include <psapi.h>

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xmu/WinUtil.h>
#include <X11/Xutil.h>
#include <X11/extensions/XRes.h>

#include <poll.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

struct Atoms
{
    Atom wmProtocols;
    Atom netWmPing;
    Atom netWmName;
    Atom utf8String;
    Atom netWmPid;
};

Display *display = nullptr;
bool connectionTried = false;
Atoms atoms;
bool haveXRes = false;
unsigned long trappedErrors = 0;
unsigned long nextPingStamp = 1;

// Stands in for a Windows process handle.
struct ProcessHandle
{
    int pidfd;
    DWORD pid;
};

int TrapError(Display *, XErrorEvent *)
{
    ++trappedErrors;
    return 0;
}

// Windows has no SIGPIPE: a write to a pipe whose reader has gone fails and the program goes
// on. Keep that here, so the program meets the same platform.
struct IgnoreSigpipe
{
    IgnoreSigpipe() { std::signal(SIGPIPE, SIG_IGN); }
} const ignoreSigpipe;

// The one connection, opened from DISPLAY on first use. Null when there is no usable display.
Display *Connection()
{
    if (connectionTried)
        return display;
    connectionTried = true;
    display = XOpenDisplay(nullptr);
    if (display == nullptr)
        return nullptr;
    XSetErrorHandler(TrapError);
    atoms.wmProtocols = XInternAtom(display, "WM_PROTOCOLS", False);
    atoms.netWmPing = XInternAtom(display, "_NET_WM_PING", False);
    atoms.netWmName = XInternAtom(display, "_NET_WM_NAME", False);
    atoms.utf8String = XInternAtom(display, "UTF8_STRING", False);
    atoms.netWmPid = XInternAtom(display, "_NET_WM_PID", False);
    int event = 0, error = 0, major = 0, minor = 0;
    haveXRes = XResQueryExtension(display, &event, &error) && XResQueryVersion(display, &major, &minor) &&
               (major > 1 || (major == 1 && minor >= 2));
    // Clients answer a ping on the root window with SubstructureNotify | SubstructureRedirect;
    // SubstructureNotify is the half that any number of clients may select.
    XSelectInput(display, DefaultRootWindow(display), SubstructureNotifyMask);
    return display;
}

Window ToWindow(HWND hwnd)
{
    return static_cast<Window>(reinterpret_cast<std::uintptr_t>(hwnd));
}

HWND ToHwnd(Window window)
{
    return reinterpret_cast<HWND>(static_cast<std::uintptr_t>(window));
}

bool WindowExists(Display *d, Window window)
{
    XWindowAttributes attributes;
    return XGetWindowAttributes(d, window, &attributes) != 0;
}

// An 8-bit property's bytes, at most maxBytes of them; false when it is absent, of another
// type than asked for (unless AnyPropertyType), or the window is gone.
bool ReadTextProperty(Display *d, Window window, Atom property, Atom type, size_t maxBytes, std::string &out)
{
    Atom actualType = None;
    int format = 0;
    unsigned long items = 0, after = 0;
    unsigned char *data = nullptr;
    const long units = static_cast<long>((maxBytes + 3) / 4);
    if (XGetWindowProperty(d, window, property, 0, units, False, type, &actualType, &format, &items, &after,
                           &data) != Success)
        return false;
    const bool ok = data != nullptr && actualType != None && format == 8 && (type == AnyPropertyType || actualType == type);
    if (ok)
        out.assign(reinterpret_cast<const char *>(data), std::min<size_t>(items, maxBytes));
    if (data != nullptr)
        XFree(data);
    return ok;
}

bool ReadCardinal(Display *d, Window window, Atom property, unsigned long &out)
{
    Atom actualType = None;
    int format = 0;
    unsigned long items = 0, after = 0;
    unsigned char *data = nullptr;
    if (XGetWindowProperty(d, window, property, 0, 1, False, XA_CARDINAL, &actualType, &format, &items, &after,
                           &data) != Success)
        return false;
    const bool ok = data != nullptr && actualType == XA_CARDINAL && format == 32 && items == 1;
    if (ok)
        out = *reinterpret_cast<const unsigned long *>(data); // format 32 comes as long
    if (data != nullptr)
        XFree(data);
    return ok;
}

// The local process behind a window: what the server knows of its client's connection, else
// the _NET_WM_PID the client put there, if it says it runs on this host.
DWORD ProcessOf(Display *d, Window window)
{
    if (haveXRes)
    {
        XResClientIdSpec query;
        query.client = window;
        query.mask = XRES_CLIENT_ID_PID_MASK;
        long count = 0;
        XResClientIdValue *values = nullptr;
        pid_t pid = -1;
        if (XResQueryClientIds(d, 1, &query, &count, &values) == Success)
        {
            for (long i = 0; i < count; ++i)
                if (XResGetClientIdType(&values[i]) == XRES_CLIENT_ID_PID)
                    pid = XResGetClientPid(&values[i]);
            XResClientIdsDestroy(count, values);
        }
        if (pid > 0)
            return static_cast<DWORD>(pid);
    }

    std::string machine;
    if (ReadTextProperty(d, window, XA_WM_CLIENT_MACHINE, AnyPropertyType, 256, machine))
    {
        char host[HOST_NAME_MAX + 1] = {};
        if (gethostname(host, sizeof host - 1) != 0 || machine != host)
            return 0; // a process id from another machine names nothing here
    }
    unsigned long pid = 0;
    if (ReadCardinal(d, window, atoms.netWmPid, pid) && pid > 0 && pid <= 0x7FFFFFFF)
        return static_cast<DWORD>(pid);
    return 0;
}

bool ProcessAlive(int pidfd)
{
    return syscall(SYS_pidfd_send_signal, pidfd, 0, nullptr, 0) == 0;
}

} // namespace

extern "C" BOOL WINAPI EnumWindows(WNDENUMPROC lpEnumFunc, LPARAM lParam)
{
    Display *d = Connection();
    if (d == nullptr)
        return FALSE;
    Window root = 0, parent = 0;
    Window *children = nullptr;
    unsigned int count = 0;
    if (!XQueryTree(d, DefaultRootWindow(d), &root, &parent, &children, &count))
        return FALSE;
    const std::vector<Window> stack(children, children + count);
    if (children != nullptr)
        XFree(children);
    // XQueryTree lists the bottom of the stack first; Windows enumerates from the top.
    for (auto it = stack.rbegin(); it != stack.rend(); ++it)
    {
        if (!lpEnumFunc(ToHwnd(XmuClientWindow(d, *it)), lParam))
            break;
    }
    return TRUE;
}

extern "C" LRESULT WINAPI SendMessageTimeoutA(HWND hWnd, UINT Msg, WPARAM, LPARAM, UINT, UINT uTimeout,
                                              PDWORD_PTR lpdwResult)
{
    Display *d = Connection();
    if (d == nullptr || Msg != WM_NULL)
        return 0;
    const Window window = ToWindow(hWnd);

    Atom *protocols = nullptr;
    int count = 0;
    bool pings = false;
    if (XGetWMProtocols(d, window, &protocols, &count))
    {
        for (int i = 0; i < count; ++i)
            pings = pings || protocols[i] == atoms.netWmPing;
        XFree(protocols);
    }
    if (!pings)
    {
        // A client that does not take part in the ping protocol cannot be probed; only a window
        // that is gone fails.
        if (!WindowExists(d, window))
            return 0;
        if (lpdwResult != nullptr)
            *lpdwResult = 0;
        return 1;
    }

    const unsigned long stamp = nextPingStamp++;
    XEvent ping = {};
    ping.xclient.type = ClientMessage;
    ping.xclient.window = window;
    ping.xclient.message_type = atoms.wmProtocols;
    ping.xclient.format = 32;
    ping.xclient.data.l[0] = static_cast<long>(atoms.netWmPing);
    ping.xclient.data.l[1] = static_cast<long>(stamp);
    ping.xclient.data.l[2] = static_cast<long>(window);
    const unsigned long errorsBefore = trappedErrors;
    XSendEvent(d, window, False, NoEventMask, &ping);
    XSync(d, False);
    if (trappedErrors != errorsBefore)
        return 0; // the window is gone

    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(uTimeout);
    for (;;)
    {
        // A busy desktop may never let the queue run dry; the deadline holds all the same.
        while (XPending(d) > 0 && Clock::now() < deadline)
        {
            XEvent event;
            XNextEvent(d, &event);
            if (event.type == ClientMessage && event.xclient.message_type == atoms.wmProtocols &&
                event.xclient.format == 32 &&
                static_cast<Atom>(event.xclient.data.l[0]) == atoms.netWmPing &&
                static_cast<unsigned long>(event.xclient.data.l[1]) == stamp &&
                static_cast<Window>(event.xclient.data.l[2]) == window)
            {
                if (lpdwResult != nullptr)
                    *lpdwResult = 0;
                return 1;
            }
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0)
            return 0;
        pollfd fd = {ConnectionNumber(d), POLLIN, 0};
        poll(&fd, 1, static_cast<int>(left));
    }
}

extern "C" BOOL WINAPI IsWindow(HWND hWnd)
{
    Display *d = Connection();
    return d != nullptr && WindowExists(d, ToWindow(hWnd));
}

extern "C" int WINAPI GetWindowTextA(HWND hWnd, LPSTR lpString, int nMaxCount)
{
    if (nMaxCount <= 0)
        return 0;
    lpString[0] = '\0';
    Display *d = Connection();
    if (d == nullptr)
        return 0;
    const Window window = ToWindow(hWnd);
    const size_t room = static_cast<size_t>(nMaxCount - 1);
    std::string name;
    if (!ReadTextProperty(d, window, atoms.netWmName, atoms.utf8String, room, name) &&
        !ReadTextProperty(d, window, XA_WM_NAME, AnyPropertyType, room, name))
        return 0;
    std::memcpy(lpString, name.data(), name.size());
    lpString[name.size()] = '\0';
    return static_cast<int>(std::strlen(lpString));
}

extern "C" DWORD WINAPI GetWindowThreadProcessId(HWND hWnd, LPDWORD lpdwProcessId)
{
    Display *d = Connection();
    if (d == nullptr)
        return 0;
    const DWORD pid = ProcessOf(d, ToWindow(hWnd));
    if (pid == 0)
        return 0;
    if (lpdwProcessId != nullptr)
        *lpdwProcessId = pid;
    return pid; // X11 has no window threads; the process id stands in for one
}

extern "C" HANDLE WINAPI OpenProcess(DWORD, BOOL, DWORD dwProcessId)
{
    if (dwProcessId == 0 || dwProcessId > 0x7FFFFFFF)
        return NULL;
    const int pidfd = static_cast<int>(syscall(SYS_pidfd_open, static_cast<pid_t>(dwProcessId), 0));
    if (pidfd < 0)
        return NULL;
    // The kernel lets a user read another process's executable link only where it may inspect
    // that process: the same rule decides whether the open succeeds.
    char link[32];
    std::snprintf(link, sizeof link, "/proc/%u/exe", static_cast<unsigned>(dwProcessId));
    char probe[1];
    if (readlink(link, probe, sizeof probe) < 0)
    {
        close(pidfd);
        return NULL;
    }
    return new ProcessHandle{pidfd, dwProcessId};
}

extern "C" DWORD WINAPI GetModuleFileNameExA(HANDLE hProcess, HMODULE hModule, LPSTR lpFilename, DWORD nSize)
{
    const ProcessHandle *process = static_cast<const ProcessHandle *>(hProcess);
    if (process == nullptr || hModule != NULL || nSize == 0)
        return 0;
    char link[32];
    std::snprintf(link, sizeof link, "/proc/%u/exe", static_cast<unsigned>(process->pid));
    char target[PATH_MAX];
    const ssize_t length = readlink(link, target, sizeof target);
    // While the process lives its id is its own; once it has gone, the link may be another's.
    if (length <= 0 || !ProcessAlive(process->pidfd))
        return 0;
    const size_t copied = std::min(static_cast<size_t>(length), static_cast<size_t>(nSize - 1));
    std::memcpy(lpFilename, target, copied);
    lpFilename[copied] = '\0';
    return static_cast<size_t>(length) >= nSize ? nSize : static_cast<DWORD>(copied);
}

extern "C" BOOL WINAPI CloseHandle(HANDLE hObject)
{
    ProcessHandle *process = static_cast<ProcessHandle *>(hObject);
    if (process == nullptr)
        return FALSE;
    close(process->pidfd);
    delete process;
    return TRUE;
}

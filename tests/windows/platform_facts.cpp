// The facts about Windows that hungscan rests on, checked on the system it runs on. One line a
// fact: "ok (x) ...", "skip (x) ...: REASON" where the system lacks what the fact needs (Wine
// does), "FAIL (x) ...". Exit status 1 if any fact failed. Built from the same toolchain as
// hungscan.exe, 32-bit, so that on 64-bit Windows it runs under WOW64 as hungscan does.
// Wait Chain Traversal is Vista's; the headers show it only to programs that say they need it.
#ifndef _WIN32_WINNT
#define _WIN32_WINNT 0x0601
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <wct.h>

#include <cstdio>
#include <cstring>

// What Microsoft's wct.h names and MinGW-w64's does not.
#ifndef WCT_MAX_NODE_COUNT
#define WCT_MAX_NODE_COUNT 16
#endif
#ifndef WCT_OUT_OF_PROC_FLAG
#define WCT_OUT_OF_PROC_FLAG 0x1
#endif
#ifndef WCT_ASYNC_OPEN_FLAG
#define WCT_ASYNC_OPEN_FLAG 0x1
#endif

namespace {

int failures = 0;

void Report(const char *verdict, const char *fact, const char *detail)
{
    std::printf("%s %s%s%s\n", verdict, fact, detail[0] != '\0' ? ": " : "", detail);
    std::fflush(stdout);
    if (std::strcmp(verdict, "FAIL") == 0)
        ++failures;
}

void Check(bool held, const char *fact, const char *detail)
{
    Report(held ? "ok" : "FAIL", fact, detail);
}

template <typename Proc> Proc Find(const char *module, const char *name)
{
    HMODULE loaded = GetModuleHandleA(module);
    FARPROC proc = loaded != NULL ? GetProcAddress(loaded, name) : NULL;
    Proc typed = NULL;
    static_assert(sizeof typed == sizeof proc, "a procedure address is an address");
    std::memcpy(&typed, &proc, sizeof typed);
    return typed;
}

// (a) The 64-bit side's extended basic information of a process, as the frozen check reads it
// from a 32-bit process on 64-bit Windows: 64 bytes, the process id at offset 32.
void WowLayout()
{
    const char *fact = "(a) NtWow64QueryInformationProcess64 gives the 64-bit layout";
    typedef BOOL(WINAPI * IsWow64Proc)(HANDLE, PBOOL);
    typedef LONG(NTAPI * QueryProc)(HANDLE, ULONG, PVOID, ULONG, PULONG);
    const IsWow64Proc isWow64 = Find<IsWow64Proc>("kernel32.dll", "IsWow64Process");
    BOOL wow64 = FALSE;
    if (isWow64 == NULL || !isWow64(GetCurrentProcess(), &wow64) || !wow64)
    {
        Report("skip", fact, "not a 32-bit process on 64-bit Windows");
        return;
    }
    const QueryProc query = Find<QueryProc>("ntdll.dll", "NtWow64QueryInformationProcess64");
    if (query == NULL)
    {
        Report("skip", fact, "IsWow64Process says WOW64, but ntdll does not export the call (Wine)");
        return;
    }
    ULONGLONG info[8] = {64};
    ULONG length = 0;
    const LONG status = query(GetCurrentProcess(), 0, info, sizeof info, &length);
    char detail[160];
    std::snprintf(detail, sizeof detail, "status 0x%08lX, length %lu, id %llu, GetCurrentProcessId %lu",
                  static_cast<unsigned long>(status), static_cast<unsigned long>(length), info[4],
                  static_cast<unsigned long>(GetCurrentProcessId()));
    Check(status == 0 && length == 64 && info[4] == GetCurrentProcessId(), fact, detail);
}

// Set by the idle thread once it runs its own code; it returns when idleEnd is set.
HANDLE idleRunning = NULL;
HANDLE idleEnd = NULL;

DWORD WINAPI Idle(LPVOID)
{
    SetEvent(idleRunning);
    WaitForSingleObject(idleEnd, INFINITE);
    return 0;
}

// (b) The suspend count the verdict reads (class 35, Windows 8.1 on), from this 32-bit build.
void SuspendCount()
{
    const char *fact = "(b) ThreadSuspendCount counts SuspendThread calls";
    typedef LONG(NTAPI * QueryProc)(HANDLE, ULONG, PVOID, ULONG, PULONG);
    const QueryProc query = Find<QueryProc>("ntdll.dll", "NtQueryInformationThread");
    idleRunning = CreateEventA(NULL, TRUE, FALSE, NULL);
    idleEnd = CreateEventA(NULL, TRUE, FALSE, NULL);
    HANDLE thread = CreateThread(NULL, 0, Idle, NULL, 0, NULL);
    // Suspended, or ended, while the system still starts it (the loader's lock held for the
    // libraries' thread notices), a thread would leave that lock held for the facts after.
    if (query == NULL || thread == NULL || WaitForSingleObject(idleRunning, 5000) != WAIT_OBJECT_0)
    {
        Report("FAIL", fact, "no NtQueryInformationThread or no thread");
        return;
    }
    ULONG counts[3] = {99, 99, 99};
    LONG statuses[3] = {0, 0, 0};
    SuspendThread(thread);
    SuspendThread(thread);
    statuses[0] = query(thread, 35, &counts[0], sizeof counts[0], NULL);
    ResumeThread(thread);
    statuses[1] = query(thread, 35, &counts[1], sizeof counts[1], NULL);
    ResumeThread(thread);
    statuses[2] = query(thread, 35, &counts[2], sizeof counts[2], NULL);
    SetEvent(idleEnd);
    WaitForSingleObject(thread, 5000);
    CloseHandle(thread);
    CloseHandle(idleEnd);
    CloseHandle(idleRunning);
    char detail[160];
    std::snprintf(detail, sizeof detail, "counts %lu, %lu, %lu; status 0x%08lX", static_cast<unsigned long>(counts[0]),
                  static_cast<unsigned long>(counts[1]), static_cast<unsigned long>(counts[2]),
                  static_cast<unsigned long>(statuses[0]));
    Check(statuses[0] == 0 && statuses[1] == 0 && statuses[2] == 0 && counts[0] == 2 && counts[1] == 1 &&
              counts[2] == 0,
          fact, detail);
}

volatile LONG spinning = 1;

DWORD WINAPI Spin(LPVOID)
{
    while (spinning != 0)
    {
    }
    return 0;
}

ULONGLONG Cpu(HANDLE thread)
{
    FILETIME creation, exited, kernel, user;
    if (!GetThreadTimes(thread, &creation, &exited, &kernel, &user))
        return 0;
    return ((static_cast<ULONGLONG>(kernel.dwHighDateTime) << 32) | kernel.dwLowDateTime) +
           ((static_cast<ULONGLONG>(user.dwHighDateTime) << 32) | user.dwLowDateTime);
}

// (c) A spinning thread's share over the verdict's 250 ms sample, measured as the verdict does
// (thread times against GetTickCount64): at least half a core, at most a whole one and the
// tick the system may charge ahead.
// A machine shared with other work may give the thread less than half a core in one sample: up
// to five are taken, and the fact holds when one shows at least half; none may show more than a
// core and the one tick the system may charge ahead (15.625 ms at most: 7% of 250 ms).
void BusyShare()
{
    const char *fact = "(c) GetThreadTimes of a spinning thread over 250 ms: 50% to 100%";
    HANDLE thread = CreateThread(NULL, 0, Spin, NULL, 0, NULL);
    if (thread == NULL)
    {
        Report("FAIL", fact, "no thread");
        return;
    }
    Sleep(50);
    ULONGLONG best = 0, most = 0;
    char detail[160] = "";
    for (int sample = 0; sample < 5 && best < 50; ++sample)
    {
        const ULONGLONG cpuAtStart = Cpu(thread);
        const ULONGLONG startedAt = GetTickCount64();
        Sleep(250);
        const ULONGLONG elapsed = GetTickCount64() - startedAt;
        const ULONGLONG cpu = Cpu(thread) - cpuAtStart;
        const ULONGLONG share = elapsed == 0 ? 0 : cpu / (elapsed * 100);
        const ULONGLONG capped = share > 100 ? 100 : share;
        best = capped > best ? capped : best;
        most = share > most ? share : most;
        std::snprintf(detail, sizeof detail, "sample %d: %llu ms of processor in %llu ms, %llu%% (shown %llu%%)",
                      sample + 1, cpu / 10000, elapsed, share, capped);
    }
    InterlockedExchange(&spinning, 0);
    WaitForSingleObject(thread, 5000);
    CloseHandle(thread);
    Check(best >= 50 && most <= 107, fact, detail);
}

HANDLE mutex = NULL;
HANDLE holding = NULL;

DWORD WINAPI Hold(LPVOID)
{
    WaitForSingleObject(mutex, INFINITE);
    SetEvent(holding);
    Sleep(INFINITE);
    return 0;
}

DWORD WINAPI Block(LPVOID)
{
    WaitForSingleObject(mutex, INFINITE);
    return 0;
}

typedef HWCT(WINAPI *OpenProc)(DWORD, PWAITCHAINCALLBACK);
typedef BOOL(WINAPI *ChainProc)(HWCT, DWORD_PTR, DWORD, DWORD, LPDWORD, PWAITCHAIN_NODE_INFO, LPBOOL);
typedef VOID(WINAPI *CloseProc)(HWCT);

// What the asynchronous session's callback brought, and on which thread.
struct Delivered
{
    HANDLE event;
    DWORD status;
    DWORD count;
    WAITCHAIN_NODE_INFO nodes[WCT_MAX_NODE_COUNT];
    DWORD thread;
};

void CALLBACK ChainCame(HWCT, DWORD_PTR context, DWORD status, LPDWORD count, PWAITCHAIN_NODE_INFO nodes, LPBOOL)
{
    Delivered *delivered = reinterpret_cast<Delivered *>(context);
    delivered->status = status;
    delivered->count = count != NULL && *count <= WCT_MAX_NODE_COUNT ? *count : 0;
    if (nodes != NULL && nodes != delivered->nodes)
        std::memcpy(delivered->nodes, nodes, delivered->count * sizeof *nodes);
    delivered->thread = GetCurrentThreadId();
    SetEvent(delivered->event);
}

// A session of Wait Chain Traversal, or NULL once the fact is reported skipped with the reason:
// advapi32 without the calls, or a system that refuses a session (Wine).
HWCT OpenSessionOrSkip(const char *fact, OpenProc open, ChainProc chain, CloseProc close, DWORD flags,
                       PWAITCHAINCALLBACK callback)
{
    SetLastError(0);
    HWCT session = open != NULL && chain != NULL && close != NULL ? open(flags, callback) : NULL;
    const DWORD error = GetLastError();
    if (session == NULL)
    {
        char detail[200];
        std::snprintf(detail, sizeof detail, "%s (error %lu%s)",
                      open == NULL || chain == NULL || close == NULL ? "advapi32 does not export it" : "no session",
                      static_cast<unsigned long>(error), error == ERROR_NOT_SUPPORTED ? ", not supported" : "");
        Report("skip", fact, detail);
    }
    return session;
}

// (f) The same chain through an asynchronous session, as hungscan asks it: the call answers
// ERROR_IO_PENDING at once, the callback brings the mutex and its holder within the --why time
// for chains (250 ms), on a thread other than the asking one; closing the session afterwards
// returns.
void AsyncWaitChain(OpenProc open, ChainProc chain, CloseProc close, DWORD blockedId, DWORD holderId)
{
    const char *fact = "(f) an asynchronous Wait Chain Traversal session brings the chain within 250 ms";
    HWCT session = OpenSessionOrSkip(fact, open, chain, close, WCT_ASYNC_OPEN_FLAG, ChainCame);
    if (session == NULL)
        return;
    char detail[200];
    static Delivered delivered;
    delivered.event = CreateEventA(NULL, TRUE, FALSE, NULL);
    DWORD count = WCT_MAX_NODE_COUNT;
    BOOL cycle = FALSE;
    const ULONGLONG startedAt = GetTickCount64();
    const BOOL read = chain(session, reinterpret_cast<DWORD_PTR>(&delivered), WCT_OUT_OF_PROC_FLAG, blockedId, &count,
                            delivered.nodes, &cycle);
    const DWORD pending = GetLastError();
    const ULONGLONG returned = GetTickCount64() - startedAt;
    const bool came = !read && pending == ERROR_IO_PENDING && WaitForSingleObject(delivered.event, 250) == WAIT_OBJECT_0;
    const ULONGLONG took = GetTickCount64() - startedAt;
    const bool shape = came && delivered.status == ERROR_SUCCESS && delivered.count >= 3 &&
                       delivered.nodes[1].ObjectType == WctMutexType &&
                       delivered.nodes[2].ThreadObject.ThreadId == holderId;
    std::snprintf(detail, sizeof detail,
                  "returned %d (error %lu) in %llu ms, callback %s, status %lu, %lu nodes, on %s thread, %llu ms", read,
                  static_cast<unsigned long>(pending), returned, came ? "came" : "did not come",
                  static_cast<unsigned long>(delivered.status), static_cast<unsigned long>(delivered.count),
                  delivered.thread != GetCurrentThreadId() ? "another" : "the asking", took);
    // Closed only once the callback has come: before that, closing would wait for it.
    if (came)
        close(session);
    Check(shape && delivered.thread != GetCurrentThreadId() && took <= 250, fact, detail);
}

// (d) The wait chain of a thread blocked on a mutex that another thread holds: the mutex, then
// that thread, within the --why budget.
void WaitChain()
{
    const char *fact = "(d) Wait Chain Traversal names the mutex and the thread that holds it";
    // From the system directory, as hungscan loads it.
    static const char name[] = "\\advapi32.dll";
    char path[MAX_PATH];
    const UINT length = GetSystemDirectoryA(path, MAX_PATH - sizeof name);
    if (length > 0 && length < MAX_PATH - sizeof name)
        std::memcpy(path + length, name, sizeof name);
    HMODULE advapi = length > 0 && length < MAX_PATH - sizeof name ? LoadLibraryA(path) : NULL;
    const OpenProc open = Find<OpenProc>("advapi32.dll", "OpenThreadWaitChainSession");
    const ChainProc chain = Find<ChainProc>("advapi32.dll", "GetThreadWaitChain");
    const CloseProc close = Find<CloseProc>("advapi32.dll", "CloseThreadWaitChainSession");
    mutex = CreateMutexA(NULL, FALSE, NULL);
    holding = CreateEventA(NULL, TRUE, FALSE, NULL);
    DWORD holderId = 0, blockedId = 0;
    HANDLE holder = CreateThread(NULL, 0, Hold, NULL, 0, &holderId);
    WaitForSingleObject(holding, 5000);
    HANDLE blocked = CreateThread(NULL, 0, Block, NULL, 0, &blockedId);
    Sleep(200);
    HWCT session = OpenSessionOrSkip(fact, open, chain, close, 0, NULL);
    if (session != NULL)
    {
        char detail[200];
        WAITCHAIN_NODE_INFO nodes[WCT_MAX_NODE_COUNT];
        DWORD count = WCT_MAX_NODE_COUNT;
        BOOL cycle = FALSE;
        const ULONGLONG startedAt = GetTickCount64();
        const BOOL read = chain(session, 0, WCT_OUT_OF_PROC_FLAG, blockedId, &count, nodes, &cycle);
        const ULONGLONG took = GetTickCount64() - startedAt;
        const bool shape = read && count >= 3 && nodes[0].ObjectType == WctThreadType &&
                           nodes[1].ObjectType == WctMutexType && nodes[2].ObjectType == WctThreadType &&
                           nodes[2].ThreadObject.ThreadId == holderId;
        std::snprintf(detail, sizeof detail, "read %d, %lu nodes, types %d %d %d, holder %lu of %lu, %llu ms", read,
                      static_cast<unsigned long>(count), count > 0 ? nodes[0].ObjectType : 0,
                      count > 1 ? nodes[1].ObjectType : 0, count > 2 ? nodes[2].ObjectType : 0,
                      count > 2 ? static_cast<unsigned long>(nodes[2].ThreadObject.ThreadId) : 0UL,
                      static_cast<unsigned long>(holderId), took);
        Check(shape && took <= 300, fact, detail);
        close(session);
    }
    AsyncWaitChain(open, chain, close, blockedId, holderId);
    TerminateThread(blocked, 0);
    TerminateThread(holder, 0);
    CloseHandle(blocked);
    CloseHandle(holder);
    if (advapi != NULL)
        FreeLibrary(advapi);
}

HWND stalled = NULL;
HANDLE created = NULL;

DWORD WINAPI Stall(LPVOID)
{
    stalled = CreateWindowExA(0, "STATIC", "platform facts: stalled", WS_OVERLAPPEDWINDOW, 0, 0, 200, 100, NULL, NULL,
                              GetModuleHandleA(NULL), NULL);
    MSG message;
    while (PeekMessageA(&message, NULL, 0, 0, PM_REMOVE))
        DispatchMessageA(&message);
    SetEvent(created);
    Sleep(INFINITE); // stops pumping for good
    return 0;
}

// (e) A window whose thread stops pumping: the probe gets no answer in its 1000 ms, and the
// system deems the thread hung after some seconds (5 on Windows as documented, about 5 on Wine).
void StoppedPumping()
{
    const char *fact = "(e) a window that stops pumping: no WM_NULL answer, IsHungAppWindow after 6 s";
    created = CreateEventA(NULL, TRUE, FALSE, NULL);
    HANDLE thread = CreateThread(NULL, 0, Stall, NULL, 0, NULL);
    if (thread == NULL || WaitForSingleObject(created, 5000) != WAIT_OBJECT_0 || stalled == NULL)
    {
        Report("FAIL", fact, "no window");
        return;
    }
    const ULONGLONG startedAt = GetTickCount64();
    const LRESULT answered = SendMessageTimeoutA(stalled, WM_NULL, 0, 0, SMTO_ABORTIFHUNG, 1000, NULL);
    const ULONGLONG took = GetTickCount64() - startedAt;
    Sleep(6000);
    const BOOL hung = IsHungAppWindow(stalled);
    char detail[160];
    std::snprintf(detail, sizeof detail, "answered %ld after %llu ms; hung after 6 s: %d", static_cast<long>(answered),
                  took, hung);
    Check(answered == 0 && took >= 900 && hung, fact, detail);
    TerminateThread(thread, 0);
    CloseHandle(thread);
}

} // namespace

int main()
{
    WowLayout();
    SuspendCount();
    BusyShare();
    WaitChain();
    StoppedPumping();
    return failures == 0 ? 0 : 1;
}

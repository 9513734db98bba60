// Threads of other processes, on /proc, and the system libraries the program looks its calls up
// in. A thread handle names /proc/PID/task/TID (/proc/TID/stat would be its whole process's)
// and the thread's start time: as a Windows handle keeps its thread, it never reads another
// thread that took the id. What Windows tells of a thread, Linux tells there:
//
// Windows                        here
// GetThreadTimes                 utime and stime of /proc/PID/task/TID/stat
// suspend count (ntdll's         1 while the thread is stopped (state T, or t under a
//   NtQueryInformationThread)    debugger), else 0
// wait chain (advapi32's Wait    the thread, running while it runs or is ready to (state R),
//   Chain Traversal)             else what it waits on: an object of no known type named by
//                                its kernel wait channel (/proc/PID/task/TID/wchan), blocked
//                                when the wait is uninterruptible (state D)
// ntdll's NtQueryInformation-    absent: nothing here freezes processes behind a program's back
//   Process, IsWow64Process

#include <windows.h>

#include <wct.h>

#include "kernel_objects.h"
#include "proc_files.h"
#include "wide_text.h"

#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

using namespace hungscan_linux;
using namespace hungscan_platform;
using namespace hungscan_proc;

namespace {

// A Windows id as the kernel's.
pid_t Id(DWORD id)
{
    return static_cast<pid_t>(id);
}

struct ThreadHandle : KernelObject
{
    DWORD pid;
    DWORD tid;
    unsigned long long started;
    ThreadHandle(DWORD process, DWORD id, unsigned long long start) : pid(process), tid(id), started(start) {}
};

// The handle's thread now; false once it has gone, even where another has taken its id.
bool ReadStat(const ThreadHandle &handle, ThreadStat &stat)
{
    return ReadThreadStat(Id(handle.pid), Id(handle.tid), stat) &&
           stat.started == handle.started;
}

LONG WINAPI QueryThread(HANDLE thread, UINT infoClass, PVOID info, ULONG size, ULONG *length)
{
    const ThreadHandle *handle = HandleAs<ThreadHandle>(thread);
    ThreadStat stat;
    const ULONG SUSPEND_COUNT_CLASS = 35;
    if (handle == nullptr || infoClass != SUSPEND_COUNT_CLASS || size < sizeof(ULONG) || !ReadStat(*handle, stat))
        return static_cast<LONG>(0xC0000008u); // STATUS_INVALID_HANDLE
    const ULONG count = stat.state == "T" || stat.state == "t" ? 1 : 0;
    std::memcpy(info, &count, sizeof count);
    if (length != nullptr)
        *length = sizeof count;
    return 0;
}

struct WaitChainSession
{
    PWAITCHAINCALLBACK callback; // null for a synchronous session
};

HWCT WINAPI OpenSession(DWORD flags, PWAITCHAINCALLBACK callback)
{
    return new WaitChainSession{(flags & WCT_ASYNC_OPEN_FLAG) != 0 ? callback : nullptr};
}

void WINAPI CloseSession(HWCT session)
{
    delete static_cast<WaitChainSession *>(session);
}

BOOL WINAPI ReadChain(HWCT session, DWORD tid, LPDWORD count, PWAITCHAIN_NODE_INFO nodes, LPBOOL cycle)
{
    const DWORD pid = static_cast<DWORD>(ProcessOfThread(Id(tid)));
    ThreadStat stat;
    if (session == nullptr || count == nullptr || *count < 2 || pid == 0 || !ReadThreadStat(Id(pid), Id(tid), stat))
        return FALSE;
    std::memset(nodes, 0, 2 * sizeof *nodes);
    nodes[0].ObjectType = WctThreadType;
    nodes[0].ObjectStatus = stat.state == "R" ? WctStatusRunning : WctStatusBlocked;
    nodes[0].ThreadObject.ProcessId = pid;
    nodes[0].ThreadObject.ThreadId = tid;
    *count = 1;
    // Another user's thread reads "0" here: its wait is not ours to know.
    const std::string channel = stat.state == "R" ? "" : ReadWaitChannel(Id(pid), Id(tid));
    if (!channel.empty() && channel != "0")
    {
        nodes[1].ObjectType = WctUnknownType;
        nodes[1].ObjectStatus = stat.state == "D" ? WctStatusBlocked : WctStatusUnknown;
        CopyWide(Utf16FromUtf8(channel), nodes[1].LockObject.ObjectName, WCT_OBJNAME_LENGTH);
        *count = 2;
    }
    if (cycle != nullptr)
        *cycle = FALSE;
    return TRUE;
}

// /proc answers at once: an asynchronous session's callback comes before the call returns,
// which Windows allows too (its callbacks run on threads of their own).
BOOL WINAPI GetChain(HWCT session, DWORD_PTR context, DWORD, DWORD tid, LPDWORD count, PWAITCHAIN_NODE_INFO nodes,
                     LPBOOL cycle)
{
    const WaitChainSession *open = static_cast<const WaitChainSession *>(session);
    const BOOL read = ReadChain(session, tid, count, nodes, cycle);
    if (open == nullptr || open->callback == nullptr)
        return read;
    open->callback(session, context, read ? ERROR_SUCCESS : ERROR_OBJECT_NOT_FOUND, count, nodes, cycle);
    SetLastError(ERROR_IO_PENDING);
    return FALSE;
}

HMODULE const ntdll = reinterpret_cast<HMODULE>(std::uintptr_t(0x1000));
HMODULE const advapi32 = reinterpret_cast<HMODULE>(std::uintptr_t(0x2000));

bool EndsWith(const char *text, const char *end)
{
    const size_t length = std::strlen(text), endLength = std::strlen(end);
    return length >= endLength && std::strcmp(text + length - endLength, end) == 0;
}

} // namespace

extern "C" HANDLE WINAPI OpenThread(DWORD, BOOL, DWORD dwThreadId)
{
    const DWORD pid =
        dwThreadId == 0 || dwThreadId > 0x7FFFFFFF ? 0 : static_cast<DWORD>(ProcessOfThread(Id(dwThreadId)));
    ThreadStat stat;
    if (pid == 0 || !ReadThreadStat(Id(pid), Id(dwThreadId), stat))
        return NULL;
    return ToHandle(new ThreadHandle(pid, dwThreadId, stat.started));
}

extern "C" BOOL WINAPI GetThreadTimes(HANDLE hThread, LPFILETIME lpCreationTime, LPFILETIME lpExitTime,
                                      LPFILETIME lpKernelTime, LPFILETIME lpUserTime)
{
    const ThreadHandle *handle = HandleAs<ThreadHandle>(hThread);
    ThreadStat stat;
    if (handle == nullptr || !ReadStat(*handle, stat))
        return FALSE;
    const unsigned long long ticks = stat.ticks;
    // Clock ticks in 100 ns units, all of it as user time: the program adds the two.
    const unsigned long long perSecond = static_cast<unsigned long long>(sysconf(_SC_CLK_TCK));
    const unsigned long long time = perSecond > 0 ? ticks * (10000000ull / perSecond) : 0;
    *lpCreationTime = *lpExitTime = *lpKernelTime = FILETIME{0, 0};
    *lpUserTime = FILETIME{static_cast<DWORD>(time), static_cast<DWORD>(time >> 32)};
    return TRUE;
}

extern "C" HMODULE WINAPI GetModuleHandleA(LPCSTR lpModuleName)
{
    return lpModuleName != nullptr && std::strcmp(lpModuleName, "ntdll.dll") == 0 ? ntdll : NULL;
}

extern "C" UINT WINAPI GetSystemDirectoryA(LPSTR lpBuffer, UINT uSize)
{
    static const char directory[] = "system";
    if (uSize < sizeof directory)
        return sizeof directory;
    std::memcpy(lpBuffer, directory, sizeof directory);
    return sizeof directory - 1;
}

extern "C" HMODULE WINAPI LoadLibraryA(LPCSTR lpLibFileName)
{
    return lpLibFileName != nullptr && EndsWith(lpLibFileName, "\\advapi32.dll") ? advapi32 : NULL;
}

extern "C" BOOL WINAPI FreeLibrary(HMODULE hLibModule)
{
    return hLibModule == advapi32;
}

extern "C" FARPROC WINAPI GetProcAddress(HMODULE hModule, LPCSTR lpProcName)
{
    void (*proc)() = nullptr;
    if (hModule == ntdll && std::strcmp(lpProcName, "NtQueryInformationThread") == 0)
        proc = reinterpret_cast<void (*)()>(QueryThread);
    else if (hModule == advapi32 && std::strcmp(lpProcName, "OpenThreadWaitChainSession") == 0)
        proc = reinterpret_cast<void (*)()>(OpenSession);
    else if (hModule == advapi32 && std::strcmp(lpProcName, "GetThreadWaitChain") == 0)
        proc = reinterpret_cast<void (*)()>(GetChain);
    else if (hModule == advapi32 && std::strcmp(lpProcName, "CloseThreadWaitChainSession") == 0)
        proc = reinterpret_cast<void (*)()>(CloseSession);
    return reinterpret_cast<FARPROC>(proc);
}

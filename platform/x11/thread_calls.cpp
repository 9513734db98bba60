// Threads of other processes, on /proc, and the system libraries the program looks its calls up
// in. A thread handle names /proc/TID; what Windows tells of a thread, Linux tells there:
//
// Windows                        here
// GetThreadTimes                 utime and stime of /proc/TID/stat
// suspend count (ntdll's         1 while the thread is stopped (state T, or t under a
//   NtQueryInformationThread)    debugger), else 0
// wait chain (advapi32's Wait    the thread, then what it waits on: an object of no known type
//   Chain Traversal)             named by its kernel wait channel (/proc/TID/wchan), blocked
//                                when the wait is uninterruptible (state D: a disk or device)
// ntdll's NtQueryInformation-    absent: nothing here freezes processes behind a program's back
//   Process, IsWow64Process

#include <windows.h>

#include <wct.h>

#include "kernel_objects.h"
#include "wide_text.h"

#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

using namespace hungscan_x11;
using namespace hungscan_platform;

namespace {

struct ThreadHandle : KernelObject
{
    DWORD tid;
    explicit ThreadHandle(DWORD id) : tid(id) {}
};

// The fields of /proc/TID/stat after the command name, which may hold anything: the state
// first. False when the thread is gone.
bool ReadStat(DWORD tid, std::string &state, unsigned long long &ticks)
{
    char path[48];
    std::snprintf(path, sizeof path, "/proc/%u/stat", static_cast<unsigned>(tid));
    std::ifstream file(path);
    std::string line;
    if (!std::getline(file, line))
        return false;
    const size_t end = line.rfind(')');
    if (end == std::string::npos)
        return false;
    std::istringstream fields(line.substr(end + 1));
    std::string field;
    unsigned long long utime = 0, stime = 0;
    // Fields 3 on: state, then 10 more up to utime (14) and stime (15).
    fields >> state;
    for (int i = 4; i <= 13; ++i)
        fields >> field;
    fields >> utime >> stime;
    if (!fields)
        return false;
    ticks = utime + stime;
    return true;
}

std::string ReadFirstLine(const char *format, DWORD tid)
{
    char path[48];
    std::snprintf(path, sizeof path, format, static_cast<unsigned>(tid));
    std::ifstream file(path);
    std::string line;
    std::getline(file, line);
    return line;
}

DWORD ProcessOfThread(DWORD tid)
{
    char path[48];
    std::snprintf(path, sizeof path, "/proc/%u/status", static_cast<unsigned>(tid));
    std::ifstream file(path);
    std::string line;
    while (std::getline(file, line))
        if (line.compare(0, 5, "Tgid:") == 0)
            return static_cast<DWORD>(std::strtoul(line.c_str() + 5, nullptr, 10));
    return 0;
}

LONG WINAPI QueryThread(HANDLE thread, UINT infoClass, PVOID info, ULONG size, ULONG *length)
{
    const ThreadHandle *handle = HandleAs<ThreadHandle>(thread);
    std::string state;
    unsigned long long ticks = 0;
    const ULONG SUSPEND_COUNT_CLASS = 35;
    if (handle == nullptr || infoClass != SUSPEND_COUNT_CLASS || size < sizeof(ULONG) ||
        !ReadStat(handle->tid, state, ticks))
        return static_cast<LONG>(0xC0000008u); // STATUS_INVALID_HANDLE
    const ULONG count = state == "T" || state == "t" ? 1 : 0;
    std::memcpy(info, &count, sizeof count);
    if (length != nullptr)
        *length = sizeof count;
    return 0;
}

struct WaitChainSession
{
};

HWCT WINAPI OpenSession(DWORD, PWAITCHAINCALLBACK callback)
{
    // Only the synchronous form is offered.
    return callback == nullptr ? new WaitChainSession : nullptr;
}

void WINAPI CloseSession(HWCT session)
{
    delete static_cast<WaitChainSession *>(session);
}

BOOL WINAPI GetChain(HWCT session, DWORD_PTR, DWORD, DWORD tid, LPDWORD count, PWAITCHAIN_NODE_INFO nodes,
                     LPBOOL cycle)
{
    std::string state;
    unsigned long long ticks = 0;
    if (session == nullptr || count == nullptr || *count < 2 || !ReadStat(tid, state, ticks))
        return FALSE;
    std::memset(nodes, 0, 2 * sizeof *nodes);
    nodes[0].ObjectType = WctThreadType;
    nodes[0].ObjectStatus = WctStatusBlocked;
    nodes[0].ThreadObject.ProcessId = ProcessOfThread(tid);
    nodes[0].ThreadObject.ThreadId = tid;
    *count = 1;
    // Another user's thread reads "0" here: its wait is not ours to know.
    const std::string channel = ReadFirstLine("/proc/%u/wchan", tid);
    if (!channel.empty() && channel != "0")
    {
        nodes[1].ObjectType = WctUnknownType;
        nodes[1].ObjectStatus = state == "D" ? WctStatusBlocked : WctStatusUnknown;
        CopyWide(Utf16FromUtf8(channel), nodes[1].LockObject.ObjectName, WCT_OBJNAME_LENGTH);
        *count = 2;
    }
    if (cycle != nullptr)
        *cycle = FALSE;
    return TRUE;
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
    std::string state;
    unsigned long long ticks = 0;
    if (dwThreadId == 0 || dwThreadId > 0x7FFFFFFF || !ReadStat(dwThreadId, state, ticks))
        return NULL;
    return ToHandle(new ThreadHandle(dwThreadId));
}

extern "C" BOOL WINAPI GetThreadTimes(HANDLE hThread, LPFILETIME lpCreationTime, LPFILETIME lpExitTime,
                                      LPFILETIME lpKernelTime, LPFILETIME lpUserTime)
{
    const ThreadHandle *handle = HandleAs<ThreadHandle>(hThread);
    std::string state;
    unsigned long long ticks = 0;
    if (handle == nullptr || !ReadStat(handle->tid, state, ticks))
        return FALSE;
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

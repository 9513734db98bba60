// The process calls, on /proc: a process handle is a pidfd, so the id cannot be handed to
// another process while the handle is open. A process that has exited, reaped or not (a
// zombie), has ended: GetExitCodeProcess no longer says STILL_ACTIVE.

#include <windows.h>

#include <psapi.h>

#include "kernel_objects.h"
#include "proc_files.h"
#include "wide_text.h"

#include <poll.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

using namespace hungscan_linux;
using namespace hungscan_platform;
using namespace hungscan_proc;

namespace {

struct ProcessHandle : KernelObject
{
    int pidfd;
    DWORD pid;
    ProcessHandle(int fd, DWORD id) : pidfd(fd), pid(id) {}
    ~ProcessHandle() override { close(pidfd); }
};

bool ProcessAlive(int pidfd)
{
    return syscall(SYS_pidfd_send_signal, pidfd, 0, nullptr, 0) == 0;
}

// A pidfd reads as ready once its process has exited, zombie or reaped.
bool ProcessExited(int pidfd)
{
    pollfd ready = {pidfd, POLLIN, 0};
    return poll(&ready, 1, 0) > 0;
}


// The target of /proc/PID/exe and its full length; -1 when it cannot be read.
ssize_t ReadExecutablePath(HANDLE hProcess, char (&target)[PATH_MAX])
{
    const ProcessHandle *process = HandleAs<ProcessHandle>(hProcess);
    if (process == nullptr)
        return -1;
    const ssize_t length = ReadExecutableLink(static_cast<pid_t>(process->pid), target, sizeof target);
    // While the process lives its id is its own; once it has gone, the link may be another's.
    if (length <= 0 || !ProcessAlive(process->pidfd))
        return -1;
    return length;
}

} // namespace

extern "C" HANDLE WINAPI OpenProcess(DWORD dwDesiredAccess, BOOL, DWORD dwProcessId)
{
    if (dwProcessId == 0 || dwProcessId > 0x7FFFFFFF)
        return NULL;
    const int pidfd = static_cast<int>(syscall(SYS_pidfd_open, static_cast<pid_t>(dwProcessId), 0));
    if (pidfd < 0)
    {
        // As Windows answers for an id that names no process.
        if (errno == ESRCH)
            SetLastError(ERROR_INVALID_PARAMETER);
        return NULL;
    }
    // The kernel lets a user read another process's executable link only where it may inspect
    // that process: the same rule decides whether the open succeeds. A zombie has no link left,
    // yet may still be asked, with the limited right, whether it has ended.
    char probe[1];
    if (ReadExecutableLink(static_cast<pid_t>(dwProcessId), probe, sizeof probe) < 0 &&
        !(dwDesiredAccess == PROCESS_QUERY_LIMITED_INFORMATION && ProcessExited(pidfd)))
    {
        close(pidfd);
        return NULL;
    }
    return ToHandle(new ProcessHandle(pidfd, dwProcessId));
}

extern "C" DWORD WINAPI GetModuleFileNameExA(HANDLE hProcess, HMODULE hModule, LPSTR lpFilename, DWORD nSize)
{
    char target[PATH_MAX];
    const ssize_t length = hModule == NULL && nSize > 0 ? ReadExecutablePath(hProcess, target) : -1;
    if (length < 0)
        return 0;
    // Cut to fit, as Windows does.
    const size_t copied = std::min(static_cast<size_t>(length), static_cast<size_t>(nSize - 1));
    std::memcpy(lpFilename, target, copied);
    lpFilename[copied] = '\0';
    return static_cast<size_t>(length) >= nSize ? nSize : static_cast<DWORD>(copied);
}

extern "C" DWORD WINAPI GetModuleFileNameExW(HANDLE hProcess, HMODULE hModule, LPWSTR lpFilename, DWORD nSize)
{
    char target[PATH_MAX];
    const ssize_t length = hModule == NULL && nSize > 0 ? ReadExecutablePath(hProcess, target) : -1;
    if (length < 0)
        return 0;
    return CopyWide(Utf16FromUtf8(std::string(target, static_cast<size_t>(length))), lpFilename, nSize);
}

extern "C" BOOL WINAPI QueryFullProcessImageNameW(HANDLE hProcess, DWORD dwFlags, LPWSTR lpExeName, PDWORD lpdwSize)
{
    char target[PATH_MAX];
    const ssize_t length = dwFlags == 0 && lpdwSize != nullptr ? ReadExecutablePath(hProcess, target) : -1;
    if (length < 0)
        return FALSE;
    const std::u16string wide = Utf16FromUtf8(std::string(target, static_cast<size_t>(length)));
    if (wide.size() >= *lpdwSize)
        return FALSE;
    *lpdwSize = CopyWide(wide, lpExeName, *lpdwSize);
    return TRUE;
}

extern "C" BOOL WINAPI QueryFullProcessImageNameA(HANDLE hProcess, DWORD dwFlags, LPSTR lpExeName, PDWORD lpdwSize)
{
    char target[PATH_MAX];
    const ssize_t length = dwFlags == 0 && lpdwSize != nullptr ? ReadExecutablePath(hProcess, target) : -1;
    // Unlike the module lookup, a name that does not fit is a failure.
    if (length < 0 || static_cast<size_t>(length) >= *lpdwSize)
        return FALSE;
    std::memcpy(lpExeName, target, static_cast<size_t>(length));
    lpExeName[length] = '\0';
    *lpdwSize = static_cast<DWORD>(length);
    return TRUE;
}

extern "C" BOOL WINAPI GetExitCodeProcess(HANDLE hProcess, LPDWORD lpExitCode)
{
    const ProcessHandle *process = HandleAs<ProcessHandle>(hProcess);
    if (process == nullptr || lpExitCode == nullptr)
    {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    // Only a parent learns how its child ended; to the program, any end is 0.
    *lpExitCode = ProcessExited(process->pidfd) ? 0 : STILL_ACTIVE;
    return TRUE;
}

// A process's own handle to itself; nothing here asks for it but the WOW64 question, which
// finds no answer below.
extern "C" HANDLE WINAPI GetCurrentProcess()
{
    return INVALID_HANDLE_VALUE;
}

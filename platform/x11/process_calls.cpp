// The process calls, on /proc: a process handle is a pidfd, so the id cannot be handed to
// another process while the handle is open.

#include <windows.h>

#include <psapi.h>

#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstring>

namespace {

struct ProcessHandle
{
    int pidfd;
    DWORD pid;
};

bool ProcessAlive(int pidfd)
{
    return syscall(SYS_pidfd_send_signal, pidfd, 0, nullptr, 0) == 0;
}

} // namespace

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

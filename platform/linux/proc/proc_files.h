// What the kernel tells of processes and threads in /proc: read for the process and thread
// calls and for the Wayland programs alike. Knows nothing of windows, of X11 or of the
// accessibility bus, and nothing of handles: whoever keeps a process or a thread apart from
// the one that took its id later does so with what is read here (a thread's start time).
#ifndef HUNGSCAN_PROC_FILES_H
#define HUNGSCAN_PROC_FILES_H

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <map>
#include <set>
#include <string>

namespace hungscan_proc {

// The target of /proc/PID/exe into target (not terminated) and its full length, which is size
// when it was cut; -1 when it cannot be read: another user's process, a kernel thread, a
// zombie, one gone.
ssize_t ReadExecutableLink(pid_t pid, char *target, std::size_t size);

// A whole small file of /proc/PID, or empty.
std::string ReadProcessFile(pid_t pid, const char *name);

// The base name of the process's executable, else the kernel's short name of it; empty when
// neither can be read.
std::string ProgramBaseName(pid_t pid);

// What /proc/PID/task/TID/stat says of a thread.
struct ThreadStat
{
    std::string state;
    unsigned long long ticks = 0;   // utime + stime
    unsigned long long started = 0; // field 22, clock ticks after boot
};

// False when the thread is gone (or its stat does not read as one).
bool ReadThreadStat(pid_t pid, pid_t tid, ThreadStat &stat);

// The kernel function the thread waits in; empty when it runs or cannot be read.
std::string ReadWaitChannel(pid_t pid, pid_t tid);

// The process a thread id belongs to; 0 when none.
pid_t ProcessOfThread(pid_t tid);

// Which processes of this user (all, for root) hold the sockets whose inodes are given, not
// counting this one: each found socket is taken out of the set, and the walk ends once it is
// empty.
std::set<pid_t> SocketHolders(std::set<std::uint32_t> &inodes);

} // namespace hungscan_proc

#endif

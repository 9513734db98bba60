#include "proc_files.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

namespace hungscan_proc {

ssize_t ReadExecutableLink(pid_t pid, char *target, std::size_t size)
{
    char link[32];
    std::snprintf(link, sizeof link, "/proc/%d/exe", static_cast<int>(pid));
    const ssize_t length = readlink(link, target, size);
    return length > 0 ? length : -1;
}

std::string ReadProcessFile(pid_t pid, const char *name)
{
    char path[64];
    std::snprintf(path, sizeof path, "/proc/%d/%s", static_cast<int>(pid), name);
    std::ifstream file(path, std::ios::binary);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

std::string ProgramBaseName(pid_t pid)
{
    char target[4096];
    const ssize_t length = ReadExecutableLink(pid, target, sizeof target - 1);
    if (length > 0)
    {
        target[length] = '\0';
        // A program replaced since it started shows as "PATH (deleted)": still its name.
        const char *slash = std::strrchr(target, '/');
        return slash != nullptr ? slash + 1 : target;
    }
    // Not ours to read: the kernel's short name stands in.
    char link[64];
    std::snprintf(link, sizeof link, "/proc/%d/comm", static_cast<int>(pid));
    FILE *comm = std::fopen(link, "re");
    std::string name;
    if (comm != nullptr)
    {
        char text[64] = "";
        if (std::fgets(text, sizeof text, comm) != nullptr)
            name = std::string(text, std::strcspn(text, "\n"));
        std::fclose(comm);
    }
    return name;
}

// The fields of the thread's stat after the command name, which may hold anything: the state
// first.
bool ReadThreadStat(pid_t pid, pid_t tid, ThreadStat &stat)
{
    char path[64];
    std::snprintf(path, sizeof path, "/proc/%d/task/%d/stat", static_cast<int>(pid), static_cast<int>(tid));
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
    // Fields 3 on: state, then 10 more up to utime (14) and stime (15), then 6 up to the start
    // time (22).
    fields >> stat.state;
    for (int i = 4; i <= 13; ++i)
        fields >> field;
    fields >> utime >> stime;
    for (int i = 16; i <= 21; ++i)
        fields >> field;
    fields >> stat.started;
    if (!fields)
        return false;
    stat.ticks = utime + stime;
    return true;
}

std::string ReadWaitChannel(pid_t pid, pid_t tid)
{
    char path[64];
    std::snprintf(path, sizeof path, "/proc/%d/task/%d/wchan", static_cast<int>(pid), static_cast<int>(tid));
    std::ifstream file(path);
    std::string line;
    std::getline(file, line);
    return line;
}

pid_t ProcessOfThread(pid_t tid)
{
    char path[48];
    std::snprintf(path, sizeof path, "/proc/%d/status", static_cast<int>(tid));
    std::ifstream file(path);
    std::string line;
    while (std::getline(file, line))
        if (line.compare(0, 5, "Tgid:") == 0)
            return static_cast<pid_t>(std::strtol(line.c_str() + 5, nullptr, 10));
    return 0;
}

std::set<pid_t> SocketHolders(std::set<std::uint32_t> &inodes)
{
    std::set<pid_t> holders;
    DIR *proc = opendir("/proc");
    if (proc == nullptr)
        return holders;
    const uid_t me = getuid();
    const pid_t self = getpid();
    while (const dirent *entry = readdir(proc))
    {
        if (inodes.empty())
            break;
        char *end = nullptr;
        const long pid = std::strtol(entry->d_name, &end, 10);
        if (pid <= 0 || *end != '\0' || pid == self)
            continue;
        char folder[64];
        std::snprintf(folder, sizeof folder, "/proc/%ld/fd", pid);
        struct stat owner;
        // Another user's descriptors are not for us to read: skip them without trying.
        if (stat(folder, &owner) != 0 || (owner.st_uid != me && me != 0))
            continue;
        DIR *fds = opendir(folder);
        if (fds == nullptr)
            continue;
        const int base = dirfd(fds);
        while (const dirent *fd = readdir(fds))
        {
            char target[64];
            const ssize_t length = readlinkat(base, fd->d_name, target, sizeof target - 1);
            if (length < 9 || std::strncmp(target, "socket:[", 8) != 0)
                continue;
            target[length] = '\0';
            const auto found = inodes.find(static_cast<std::uint32_t>(std::strtoul(target + 8, nullptr, 10)));
            if (found == inodes.end())
                continue;
            holders.insert(static_cast<pid_t>(pid));
            inodes.erase(found);
        }
        closedir(fds);
    }
    closedir(proc);
    return holders;
}

} // namespace hungscan_proc

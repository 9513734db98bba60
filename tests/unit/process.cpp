#include "process.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace testproc {

namespace {

using Clock = std::chrono::steady_clock;

int RemainingMs(Clock::time_point deadline)
{
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left < 0 ? 0 : static_cast<int>(left);
}

// Drains whatever the pipes hold now, waiting at most waitMs for the first byte.
void Pump(Session &session, int waitMs)
{
    pollfd fds[2];
    nfds_t count = 0;
    int *owners[2];
    std::string *sinks[2];
    if (session.outFd >= 0)
    {
        fds[count] = {session.outFd, POLLIN, 0};
        owners[count] = &session.outFd;
        sinks[count++] = &session.out;
    }
    if (session.errFd >= 0)
    {
        fds[count] = {session.errFd, POLLIN, 0};
        owners[count] = &session.errFd;
        sinks[count++] = &session.err;
    }
    if (count == 0)
    {
        if (waitMs > 0)
            ::poll(nullptr, 0, waitMs < 20 ? waitMs : 20);
        return;
    }
    if (::poll(fds, count, waitMs) <= 0)
        return;
    for (nfds_t i = 0; i < count; ++i)
    {
        if ((fds[i].revents & (POLLIN | POLLHUP | POLLERR)) == 0)
            continue;
        char buffer[4096];
        const ssize_t got = ::read(fds[i].fd, buffer, sizeof buffer);
        if (got > 0)
            sinks[i]->append(buffer, static_cast<size_t>(got));
        else if (got == 0 || errno != EINTR)
        {
            ::close(fds[i].fd);
            *owners[i] = -1;
        }
    }
}

} // namespace

bool Start(const Options &options, Session &session)
{
    int in[2] = {-1, -1}, out[2] = {-1, -1}, err[2] = {-1, -1};
    if ((options.in == Stream::Pipe && ::pipe2(in, O_CLOEXEC) != 0) ||
        ((options.out == Stream::Pipe || options.out == Stream::Broken) && ::pipe2(out, O_CLOEXEC) != 0) ||
        ::pipe2(err, O_CLOEXEC) != 0)
        return false;
    if (options.out == Stream::Broken)
    {
        ::close(out[0]);
        out[0] = -1;
    }

    std::vector<std::string> envStrings;
    for (char **e = environ; *e != nullptr; ++e)
        envStrings.emplace_back(*e);
    for (const std::string &extra : options.env)
        envStrings.push_back(extra);
    std::vector<char *> envp, argv;
    for (std::string &e : envStrings)
        envp.push_back(&e[0]);
    envp.push_back(nullptr);
    std::vector<std::string> args = options.argv;
    for (std::string &a : args)
        argv.push_back(&a[0]);
    argv.push_back(nullptr);

    const pid_t pid = ::fork();
    if (pid < 0)
        return false;
    if (pid == 0)
    {
        auto place = [](Stream how, int pipeEnd, int target, int nullFlags) {
            if (how == Stream::Closed)
                ::close(target);
            else if (how == Stream::Null)
            {
                const int fd = ::open("/dev/null", nullFlags);
                ::dup2(fd, target);
            }
            else
                ::dup2(pipeEnd, target);
        };
        place(options.in, in[0], 0, O_RDONLY);
        place(options.out, out[1], 1, O_WRONLY);
        ::dup2(err[1], 2);
        ::execve(argv[0], argv.data(), envp.data());
        ::_exit(127);
    }

    if (in[0] >= 0)
        ::close(in[0]);
    if (out[1] >= 0)
        ::close(out[1]);
    ::close(err[1]);
    session = Session();
    session.pid = pid;
    session.inFd = in[1];
    session.outFd = out[0];
    session.errFd = err[0];
    if (session.inFd >= 0)
    {
        if (!options.input.empty())
            Write(session, options.input);
        if (options.closeInput)
        {
            ::close(session.inFd);
            session.inFd = -1;
        }
    }
    return true;
}

bool ReadUntil(Session &session, const std::string &suffix, int timeoutMs)
{
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;)
    {
        if (session.out.size() >= suffix.size() &&
            session.out.compare(session.out.size() - suffix.size(), suffix.size(), suffix) == 0)
            return true;
        const int left = RemainingMs(deadline);
        if (left == 0 || session.outFd < 0)
            return false;
        Pump(session, left);
    }
}

bool Running(const Session &session)
{
    // WNOWAIT leaves an exited child for Finish to collect.
    siginfo_t info = {};
    return ::waitid(P_PID, static_cast<id_t>(session.pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
           info.si_pid == 0;
}

void Write(Session &session, const std::string &text)
{
    // The child may already be gone; a failed write is the child's business, not the test's.
    std::signal(SIGPIPE, SIG_IGN);
    size_t done = 0;
    while (done < text.size() && session.inFd >= 0)
    {
        const ssize_t put = ::write(session.inFd, text.data() + done, text.size() - done);
        if (put <= 0)
            break;
        done += static_cast<size_t>(put);
    }
}

Result Finish(Session &session, int timeoutMs)
{
    if (session.inFd >= 0)
    {
        ::close(session.inFd);
        session.inFd = -1;
    }
    Result result;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    int wstatus = 0;
    for (;;)
    {
        const pid_t done = ::waitpid(session.pid, &wstatus, WNOHANG);
        if (done == session.pid)
            break;
        if (RemainingMs(deadline) == 0)
        {
            result.timedOut = true;
            ::kill(session.pid, SIGKILL);
            ::waitpid(session.pid, &wstatus, 0);
            break;
        }
        Pump(session, 20);
    }
    // The child is gone; what it wrote is still in the pipes.
    while (session.outFd >= 0 || session.errFd >= 0)
        Pump(session, 1000);
    result.exited = !result.timedOut && WIFEXITED(wstatus);
    result.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : -1;
    result.signal = WIFSIGNALED(wstatus) ? WTERMSIG(wstatus) : 0;
    result.out = session.out;
    result.err = session.err;
    return result;
}

Result Run(const Options &options)
{
    Session session;
    if (!Start(options, session))
        return Result();
    return Finish(session, options.timeoutMs);
}

} // namespace testproc

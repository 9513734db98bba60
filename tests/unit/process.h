// Runs a program as a child process with bounded waits, for tests of whole runs.
#ifndef HUNGSCAN_TESTS_PROCESS_H
#define HUNGSCAN_TESTS_PROCESS_H

#include <string>
#include <vector>

namespace testproc {

enum class Stream
{
    Pipe,   // connected to the test
    Null,   // /dev/null: end of input at once, output discarded
    Closed, // no descriptor at all
    Broken, // a pipe whose reading end is already closed (output only)
};

struct Options
{
    std::vector<std::string> argv;
    std::vector<std::string> env; // NAME=VALUE added to the test's own environment
    Stream in = Stream::Pipe;
    Stream out = Stream::Pipe;
    std::string input;       // written to a piped standard input before it is closed
    bool closeInput = true;  // close a piped standard input after writing input
    int timeoutMs = 20000;
};

struct Result
{
    bool exited = false;   // ended by itself, not by a signal or the timeout
    int status = -1;
    int signal = 0;
    bool timedOut = false;
    std::string out;
    std::string err;
};

Result Run(const Options &options);

// An interactive run: the test holds standard input open and decides when to answer.
struct Session
{
    int pid = -1;
    int inFd = -1;
    int outFd = -1;
    int errFd = -1;
    std::string out;
    std::string err;
};

bool Start(const Options &options, Session &session);
// Reads output until it ends with `suffix` or timeoutMs pass; true when it did.
bool ReadUntil(Session &session, const std::string &suffix, int timeoutMs);
// True while the child has not exited.
bool Running(const Session &session);
void Write(Session &session, const std::string &text);
// Waits up to timeoutMs for the child, kills it if still there, and collects what is left.
Result Finish(Session &session, int timeoutMs);

} // namespace testproc

#endif

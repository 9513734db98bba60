// Why a window does not answer: a verdict on the thread behind it, from what the system says of
// that thread (suspended, how much processor time it takes, what it waits for).
#ifndef HUNGSCAN_WHY_H
#define HUNGSCAN_WHY_H

#include <windows.h>

#include <functional>
#include <string>

// A thread's processor time is sampled over at least this long. A waiting thread uses next to
// nothing; one that got a tenth of a core computes, however little the others left it.
const DWORD WHY_SAMPLE_MS = 250;
const int WHY_BUSY_PERCENT = 10;
// Wait chains are waited for at most this long in all, each scan, beyond the samples; a chain
// that does not come by then is given up on.
const DWORD WHY_CHAIN_MS = 250;

enum ThreadState
{
    THREAD_UNKNOWN,    // it could not be opened or read
    THREAD_SUSPENDED,  // suspended (Windows), stopped (Linux: a signal or a debugger)
    THREAD_BUSY,       // computing
    THREAD_WAITING,    // waiting, for what the system can say
    THREAD_DEADLOCKED, // its wait chain is a cycle
    THREAD_GONE,       // its process ended before the verdict: the window went with it
};

struct ThreadVerdict
{
    ThreadState state;
    int cpuPercent;         // of one core over the sample; -1 when none was taken
    DWORD waitsForProcess;  // the process at the end of its wait chain; 0 if none
    std::string wait;       // the kind of that wait, or the kernel's wait channel; may be empty
    BOOL device;            // the wait is the kernel's, on a disk or a device
    BOOL kernel;            // the wait is the kernel's, uninterruptible, and on no disk or device
    std::string failed;     // for THREAD_UNKNOWN: the call that failed, and what it said
};

// The state in one word, as records name it: "busy", "waiting", ...
const char *VerdictWord(ThreadState state);

// The verdict as a report line gives it: "busy, 97% of a core", "waiting for C:\x.exe
// (SendMessage)", "suspended", "waiting (futex_wait_queue)".
std::string DescribeVerdict(const ThreadVerdict &verdict);

// A scan begins: one verdict per thread per scan.
void BeginVerdicts();

// Begins the sample of the window's thread as its probe is sent, so that a verdict asked for
// once the probe went unanswered waits for nothing more. Threads are sampled once per scan.
void SampleWindowThread(HWND hwnd);

// Calls write with the verdict on the window's thread. Calls are answered in the order they
// were made: at once when nothing waits, else once the thread's sample, and those before it,
// are long enough. A verdict of THREAD_GONE is no report: the window has gone.
void WithVerdict(DWORD processId, DWORD threadId, const std::function<void(const ThreadVerdict &)> &write);

// Answers the calls whose samples are long enough by now.
void WriteReadyVerdicts();

// Answers every call still waiting, waiting out what the samples lack: at most WHY_SAMPLE_MS
// for the whole scan, however many threads were sampled, and WHY_CHAIN_MS more for wait chains.
void FinishVerdicts();

#endif

#include "why.h"

#include "check_window.h"

#include <wct.h>

#include <cstring>
#include <deque>
#include <map>

// The number of times a thread has been suspended and not resumed (Windows 8.1 and later).
const UINT THREAD_SUSPEND_COUNT_CLASS = 35;

// Of Wait Chain Traversal, what not every SDK's wct.h names: the longest chain, following other
// processes (their COM calls and critical sections too), and the socket and SMB waits.
const DWORD WAIT_CHAIN_NODES = 16;
const DWORD WAIT_CHAIN_OUT_OF_PROCESS = 0x1 | 0x2 | 0x4;
const int WAIT_SOCKET_IO = 11;
const int WAIT_SMB_IO = 12;

typedef LONG(WINAPI *NtQueryInformationThreadProc)(HANDLE, UINT, PVOID, ULONG, ULONG *);
typedef HWCT(WINAPI *OpenThreadWaitChainSessionProc)(DWORD, PWAITCHAINCALLBACK);
typedef BOOL(WINAPI *GetThreadWaitChainProc)(HWCT, DWORD_PTR, DWORD, DWORD, LPDWORD, PWAITCHAIN_NODE_INFO, LPBOOL);
typedef void(WINAPI *CloseThreadWaitChainSessionProc)(HWCT);

// A thread being judged, or judged, in this scan.
struct Judgement
{
    ThreadVerdict verdict;
    DWORD processId;
    HANDLE process;       // open until its verdicts are written, to see whether it ended
    HANDLE thread;        // open while its sample runs
    BOOL running;         // its wait chain said it ran, or was ready to, when the sample began
    ULONGLONG cpuAtStart; // kernel and user time, in 100 ns units
    ULONGLONG startedAt;  // tick count
};

static std::map<DWORD, Judgement> judgements;
// Calls waiting for their verdict, in the order they were made.
static std::deque<std::pair<DWORD, std::function<void(const ThreadVerdict &)>>> waiting;

const char *VerdictWord(ThreadState state)
{
    switch (state)
    {
    case THREAD_SUSPENDED:
        return "suspended";
    case THREAD_BUSY:
        return "busy";
    case THREAD_WAITING:
        return "waiting";
    case THREAD_DEADLOCKED:
        return "deadlocked";
    case THREAD_GONE:
        return "gone";
    case THREAD_UNKNOWN:
        break;
    }
    return "unknown";
}

std::string DescribeVerdict(const ThreadVerdict &verdict)
{
    switch (verdict.state)
    {
    case THREAD_SUSPENDED:
        return "suspended";
    case THREAD_BUSY:
        return "busy, " + std::to_string(verdict.cpuPercent) + "% of a core";
    case THREAD_UNKNOWN:
        return std::string("unknown (") + verdict.failed + ")";
    case THREAD_GONE:
        return "gone";
    case THREAD_WAITING:
    case THREAD_DEADLOCKED:
        break;
    }
    std::string other;
    if (verdict.waitsForProcess != 0)
    {
        char path[TEXT_BUFFER_SIZE];
        other = ReadOwnerPath(verdict.waitsForProcess, path) == OWNER_PATH
                    ? std::string(path)
                    : "process " + std::to_string(verdict.waitsForProcess);
    }
    const std::string kind = verdict.wait.empty() ? "" : " (" + verdict.wait + ")";
    if (verdict.state == THREAD_DEADLOCKED)
        return other.empty() ? "deadlocked" : "deadlocked with " + other;
    if (!other.empty())
        return "waiting for " + other + kind;
    if (verdict.device)
        return "waiting for the disk or a device" + kind;
    if (verdict.kernel)
        return "waiting in the kernel" + kind;
    return "waiting" + kind;
}

static const char *WaitKind(WCT_OBJECT_TYPE type)
{
    if (static_cast<int>(type) == WAIT_SOCKET_IO)
        return "socket";
    if (static_cast<int>(type) == WAIT_SMB_IO)
        return "SMB";
    switch (type)
    {
    case WctCriticalSectionType:
        return "critical section";
    case WctSendMessageType:
        return "SendMessage";
    case WctMutexType:
        return "mutex";
    case WctAlpcType:
        return "ALPC";
    case WctComType:
    case WctComActivationType:
        return "COM";
    case WctThreadWaitType:
        return "thread";
    case WctProcessWaitType:
        return "process";
    default:
        return "";
    }
}

static BOOL ThreadCpu(HANDLE thread, ULONGLONG *cpu)
{
    FILETIME creation, exited, kernel, user;
    if (!GetThreadTimes(thread, &creation, &exited, &kernel, &user))
        return FALSE;
    *cpu = ((static_cast<ULONGLONG>(kernel.dwHighDateTime) << 32) | kernel.dwLowDateTime) +
           ((static_cast<ULONGLONG>(user.dwHighDateTime) << 32) | user.dwLowDateTime);
    return TRUE;
}

// A wait chain's names are wide; the kernel's wait channels that stand in them are ASCII.
static std::string Narrow(const WCHAR *name, size_t size)
{
    std::string text;
    for (size_t i = 0; i < size && name[i] != 0; ++i)
        text.push_back(name[i] < 0x80 ? static_cast<char>(name[i]) : '?');
    char shown[TEXT_BUFFER_SIZE] = "";
    std::strncpy(shown, text.c_str(), TEXT_BUFFER_SIZE - 1);
    ReplaceControlBytes(shown);
    return shown;
}

// Waits the kernel names after input or output: the block layer, page and buffer locks while
// a read or write is under way, the journal, network file systems.
static BOOL IsInputOutputWait(const std::string &name)
{
    static const char *const prefixes[] = {"io_",         "bit_wait_io", "blk_",         "folio_wait",
                                           "wait_on_page", "__lock_page", "__folio_lock", "wait_on_buffer",
                                           "__wait_on_buffer", "jbd2_",   "nfs",          "rpc_",
                                           "balance_dirty", "rq_qos_wait", "wbt_wait"};
    for (const char *prefix : prefixes)
        if (name.compare(0, std::strlen(prefix), prefix) == 0)
            return TRUE;
    return name.size() > 3 && name.compare(name.size() - 3, 3, "_io") == 0;
}

// The thread's wait chain, as Wait Chain Traversal gives it (advapi32, from the system
// directory only, as a library that is not in the import table must be). FALSE where it
// cannot say.
static BOOL ReadChain(DWORD threadId, WAITCHAIN_NODE_INFO (&nodes)[WAIT_CHAIN_NODES], DWORD *count, BOOL *cycle)
{
    char path[TEXT_BUFFER_SIZE];
    const UINT length = GetSystemDirectoryA(path, TEXT_BUFFER_SIZE - 16);
    if (length == 0 || length >= TEXT_BUFFER_SIZE - 16)
        return FALSE;
    std::strcat(path, "\\advapi32.dll");
    HMODULE advapi = LoadLibraryA(path);
    if (advapi == NULL)
        return FALSE;
    const OpenThreadWaitChainSessionProc open = reinterpret_cast<OpenThreadWaitChainSessionProc>(
        reinterpret_cast<void (*)()>(GetProcAddress(advapi, "OpenThreadWaitChainSession")));
    const GetThreadWaitChainProc chain = reinterpret_cast<GetThreadWaitChainProc>(
        reinterpret_cast<void (*)()>(GetProcAddress(advapi, "GetThreadWaitChain")));
    const CloseThreadWaitChainSessionProc close = reinterpret_cast<CloseThreadWaitChainSessionProc>(
        reinterpret_cast<void (*)()>(GetProcAddress(advapi, "CloseThreadWaitChainSession")));
    HWCT session = open != NULL && chain != NULL && close != NULL ? open(0, NULL) : NULL;
    BOOL read = FALSE;
    if (session != NULL)
    {
        *count = WAIT_CHAIN_NODES;
        *cycle = FALSE;
        read = chain(session, 0, WAIT_CHAIN_OUT_OF_PROCESS, threadId, count, nodes, cycle);
        if (*count > WAIT_CHAIN_NODES)
            *count = WAIT_CHAIN_NODES;
        close(session);
    }
    FreeLibrary(advapi);
    return read;
}

// Whether the chain is the thread alone, running or ready to.
static BOOL ChainRuns(const WAITCHAIN_NODE_INFO *nodes, DWORD count, BOOL cycle)
{
    return count == 1 && !cycle && nodes[0].ObjectType == WctThreadType && nodes[0].ObjectStatus == WctStatusRunning;
}

static BOOL ThreadRunning(DWORD threadId)
{
    WAITCHAIN_NODE_INFO nodes[WAIT_CHAIN_NODES];
    DWORD count = 0;
    BOOL cycle = FALSE;
    return ReadChain(threadId, nodes, &count, &cycle) && ChainRuns(nodes, count, cycle);
}

// What the thread waits for, as Wait Chain Traversal says. Where it cannot say, the thread is
// just waiting; one that the chain found running through the sample computes, however little
// of a core it got.
static void ReadWaitChain(DWORD threadId, Judgement &judgement)
{
    ThreadVerdict &verdict = judgement.verdict;
    verdict.state = THREAD_WAITING;
    WAITCHAIN_NODE_INFO nodes[WAIT_CHAIN_NODES];
    DWORD count = 0;
    BOOL cycle = FALSE;
    if (!ReadChain(threadId, nodes, &count, &cycle))
        return;
    if (judgement.running && ChainRuns(nodes, count, cycle))
    {
        verdict.state = THREAD_BUSY;
        return;
    }
    // The chain runs thread, what it waits on, the thread that owns that, and so on; the last
    // thread of another process is the one to name, with what led to it.
    const WAITCHAIN_NODE_INFO *object = NULL;
    for (DWORD i = 1; i < count; ++i)
    {
        const WAITCHAIN_NODE_INFO &node = nodes[i];
        if (node.ObjectType != WctThreadType)
        {
            object = &node;
            continue;
        }
        if (node.ThreadObject.ProcessId != judgement.processId && node.ThreadObject.ProcessId != 0)
        {
            verdict.waitsForProcess = node.ThreadObject.ProcessId;
            verdict.wait = object != NULL ? WaitKind(object->ObjectType) : "";
        }
    }
    if (cycle)
        verdict.state = THREAD_DEADLOCKED;
    else if (verdict.waitsForProcess == 0 && object != NULL)
    {
        // Only a wait of its own: its kind, or the name the system gives it. A blocked wait of
        // no known kind is the kernel's; it is a disk's or a device's only where its name says
        // input or output.
        verdict.wait = object->ObjectType == WctUnknownType ? Narrow(object->LockObject.ObjectName, WCT_OBJNAME_LENGTH)
                                                            : WaitKind(object->ObjectType);
        const BOOL blocked = object->ObjectType == WctUnknownType && object->ObjectStatus == WctStatusBlocked;
        verdict.device = blocked && IsInputOutputWait(verdict.wait);
        verdict.kernel = blocked && !verdict.device;
    }
}

// Whether the process behind a judgement has ended. A process ended is gone, and its windows
// with it, though a handle keeps its object (and its id) until closed.
static BOOL ProcessEnded(const Judgement &judgement)
{
    DWORD code = 0;
    return judgement.process != NULL && GetExitCodeProcess(judgement.process, &code) && code != STILL_ACTIVE;
}

static void StartJudging(DWORD processId, DWORD threadId, Judgement &judgement)
{
    judgement.verdict = ThreadVerdict{THREAD_UNKNOWN, -1, 0, "", FALSE, FALSE, ""};
    judgement.processId = processId;
    judgement.process = NULL;
    judgement.thread = NULL;
    judgement.running = FALSE;
    if (threadId == 0)
    {
        judgement.verdict.failed = "GetWindowThreadProcessId";
        return;
    }
    // The process is held open while its verdict is made, to learn whether it ends meanwhile;
    // an id that no longer names a process means it has ended already.
    judgement.process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, processId);
    if ((judgement.process == NULL && GetLastError() == ERROR_INVALID_PARAMETER) || ProcessEnded(judgement))
    {
        judgement.verdict.state = THREAD_GONE;
        return;
    }
    HANDLE thread = OpenThread(THREAD_QUERY_LIMITED_INFORMATION, FALSE, threadId);
    if (thread == NULL)
    {
        judgement.verdict.failed = "OpenThread";
        return;
    }
    const NtQueryInformationThreadProc query = reinterpret_cast<NtQueryInformationThreadProc>(
        reinterpret_cast<void (*)()>(FindSystemProc("ntdll.dll", "NtQueryInformationThread")));
    ULONG suspended = 0;
    if (query != NULL && query(thread, THREAD_SUSPEND_COUNT_CLASS, &suspended, sizeof suspended, NULL) >= 0 &&
        suspended > 0)
    {
        judgement.verdict.state = THREAD_SUSPENDED;
        CloseHandle(thread);
        return;
    }
    if (!ThreadCpu(thread, &judgement.cpuAtStart))
    {
        judgement.verdict.failed = "GetThreadTimes";
        CloseHandle(thread);
        return;
    }
    judgement.thread = thread;
    judgement.running = ThreadRunning(threadId);
    judgement.startedAt = GetTickCount64();
}

static void FinishJudging(DWORD threadId, Judgement &judgement)
{
    const ULONGLONG elapsed = GetTickCount64() - judgement.startedAt;
    ULONGLONG cpu = 0;
    if (ProcessEnded(judgement))
        judgement.verdict.state = THREAD_GONE;
    else if (!ThreadCpu(judgement.thread, &cpu) || cpu < judgement.cpuAtStart)
        judgement.verdict.failed = "GetThreadTimes";
    else
    {
        // Processor time in 100 ns units, wall time in milliseconds.
        judgement.verdict.cpuPercent =
            elapsed == 0 ? 0 : static_cast<int>((cpu - judgement.cpuAtStart) / (elapsed * 100));
        if (judgement.verdict.cpuPercent >= WHY_BUSY_PERCENT)
            judgement.verdict.state = THREAD_BUSY;
        else
            ReadWaitChain(threadId, judgement);
    }
    CloseHandle(judgement.thread);
    judgement.thread = NULL;
}

void BeginVerdicts()
{
    FinishVerdicts();
    judgements.clear();
}

// Once every call is answered, no process need be held, nor a thread sampled for a window that
// answered.
static void CloseProcesses()
{
    for (auto &judged : judgements)
    {
        if (judged.second.process != NULL)
            CloseHandle(judged.second.process);
        judged.second.process = NULL;
        if (judged.second.thread != NULL)
            CloseHandle(judged.second.thread);
        judged.second.thread = NULL;
    }
}

void SampleWindowThread(HWND hwnd)
{
    DWORD processId = 0;
    const DWORD threadId = GetWindowThreadProcessId(hwnd, &processId);
    if (threadId != 0 && judgements.find(threadId) == judgements.end())
        StartJudging(processId, threadId, judgements[threadId]);
}

void WithVerdict(DWORD processId, DWORD threadId, const std::function<void(const ThreadVerdict &)> &write)
{
    // A thread that cannot be named is judged for each window on its own.
    const DWORD key = threadId;
    if (key == 0 || judgements.find(key) == judgements.end())
        StartJudging(processId, threadId, judgements[key]);
    waiting.emplace_back(key, write);
    WriteReadyVerdicts();
}

static void Answer(BOOL waitOut)
{
    while (!waiting.empty())
    {
        const DWORD key = waiting.front().first;
        Judgement &judgement = judgements[key];
        if (judgement.thread != NULL)
        {
            const ULONGLONG elapsed = GetTickCount64() - judgement.startedAt;
            if (elapsed < WHY_SAMPLE_MS)
            {
                if (!waitOut)
                    return;
                Sleep(static_cast<DWORD>(WHY_SAMPLE_MS - elapsed));
            }
            FinishJudging(key, judgement);
        }
        // A verdict known early is written late when others wait before it; an owner that
        // ended by then took the window with it.
        if (judgement.verdict.state != THREAD_GONE && ProcessEnded(judgement))
            judgement.verdict.state = THREAD_GONE;
        // Taken off first: a write may be long, and nothing it does may see it twice.
        const std::function<void(const ThreadVerdict &)> write = waiting.front().second;
        waiting.pop_front();
        write(judgement.verdict);
    }
}

void WriteReadyVerdicts()
{
    Answer(FALSE);
}

void FinishVerdicts()
{
    Answer(TRUE);
    CloseProcesses();
}

#include "why.h"

#include "check_window.h"

#include <wct.h>

#include <cstdio>
#include <cstring>
#include <deque>
#include <map>

// The number of times a thread has been suspended and not resumed (Windows 8.1 and later).
const UINT THREAD_SUSPEND_COUNT_CLASS = 35;

// Of Wait Chain Traversal, what not every SDK's wct.h names: the longest chain, following other
// processes (their COM calls and critical sections too), the asynchronous session, a chain
// longer than it was given room for, and the socket and SMB waits.
const DWORD WAIT_CHAIN_NODES = 16;
const DWORD WAIT_CHAIN_OUT_OF_PROCESS = 0x1 | 0x2 | 0x4;
const DWORD WAIT_CHAIN_ASYNC = 0x1;            // WCT_ASYNC_OPEN_FLAG
const DWORD WAIT_CHAIN_TOO_MANY_THREADS = 565; // ERROR_TOO_MANY_THREADS: a chain cut short
const int WAIT_SOCKET_IO = 11;
const int WAIT_SMB_IO = 12;

typedef LONG(WINAPI *NtQueryInformationThreadProc)(HANDLE, UINT, PVOID, ULONG, ULONG *);
typedef HWCT(WINAPI *OpenThreadWaitChainSessionProc)(DWORD, PWAITCHAINCALLBACK);
typedef BOOL(WINAPI *GetThreadWaitChainProc)(HWCT, DWORD_PTR, DWORD, DWORD, LPDWORD, PWAITCHAIN_NODE_INFO, LPBOOL);
typedef void(WINAPI *CloseThreadWaitChainSessionProc)(HWCT);
typedef void(WINAPI *RegisterWaitChainCOMCallbackProc)(PCOGETCALLSTATE, PCOGETACTIVATIONSTATE);
typedef BOOL(WINAPI *OpenProcessTokenProc)(HANDLE, DWORD, HANDLE *);
typedef BOOL(WINAPI *LookupPrivilegeValueAProc)(LPCSTR, LPCSTR, LUID *);
typedef BOOL(WINAPI *AdjustTokenPrivilegesProc)(HANDLE, BOOL, TOKEN_PRIVILEGES *, DWORD, TOKEN_PRIVILEGES *, DWORD *);

// Chains that never came that a session may carry before no more are asked: each keeps its
// buffers until the session can be closed (a few kilobytes each).
const size_t MOST_CHAINS_OUTSTANDING = 16;

// One chain asked of Wait Chain Traversal. Its callback fills it in on a thread of the system's
// and then sets its event; the scan reads it only once the event is set, and never frees it
// before the session is closed, since a chain given up on may still come ("do not free the
// array until the callback function has returned").
struct ChainRequest
{
    ChainRequest *next; // the session's chain asked before it
    HANDLE delivered;
    DWORD status; // the callback's: ERROR_SUCCESS, ERROR_ACCESS_DENIED, ...
    DWORD count;
    BOOL cycle;
    WAITCHAIN_NODE_INFO nodes[WAIT_CHAIN_NODES];
};

// What became of a chain.
enum ChainAnswer
{
    CHAIN_READ,      // it came, and holds the chain
    CHAIN_NONE,      // the system said nothing of the thread: no session (Wine), access denied, ...
    CHAIN_TIMED_OUT, // it did not come within the scan's time for chains
};

// The session of the scan's chains, with the library it lives in. A session whose chains have
// all come is closed when the scan's verdicts are written; one that still waits for a chain
// stays open for later scans, since closing it would wait for that chain's callback.
struct ChainSession
{
    HMODULE advapi;
    HWCT session;
    GetThreadWaitChainProc chain;
    CloseThreadWaitChainSessionProc close;
    ChainRequest *requests; // the latest first; kept until the session closes, even at exit
    ULONGLONG waitLeft; // of WHY_CHAIN_MS, what this scan may still wait for chains
};

static ChainSession chains = {NULL, NULL, NULL, NULL, NULL, WHY_CHAIN_MS};

// A thread being judged, or judged, in this scan.
struct Judgement
{
    ThreadVerdict verdict;
    DWORD processId;
    HANDLE process;       // open until its verdicts are written, to see whether it ended
    HANDLE thread;        // open while its sample runs
    ChainRequest *startChain; // asked when the sample began: whether it ran, or was ready to
    BOOL startStuck;          // that chain was not asked: too many earlier ones never came
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

// An NTSTATUS as Microsoft's documents write it.
static std::string StatusText(LONG status)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%08lX", static_cast<unsigned long>(static_cast<ULONG>(status)));
    return text;
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

// A library of the system directory's only, as one that is not in the import table must be.
static HMODULE LoadSystemLibrary(const char *name)
{
    char path[TEXT_BUFFER_SIZE];
    const UINT length = GetSystemDirectoryA(path, TEXT_BUFFER_SIZE - 16);
    if (length == 0 || length >= TEXT_BUFFER_SIZE - 16)
        return NULL;
    std::strcat(path, "\\");
    std::strcat(path, name);
    return LoadLibraryA(path);
}

template <typename Proc> static Proc LookUp(HMODULE module, const char *name)
{
    return reinterpret_cast<Proc>(reinterpret_cast<void (*)()>(GetProcAddress(module, name)));
}

// COM calls are followed into the server that serves them only with COM's own two state calls
// registered (RegisterWaitChainCOMCallback); without them a COM wait ends the chain. ole32 is
// loaded for this alone, and stays loaded: Wait Chain Traversal keeps the addresses, and may
// call them whenever a chain runs through COM. Where ole32 or either call is missing, COM waits
// go unfollowed and nothing else changes.
static void FollowComWaits(HMODULE advapi)
{
    static HMODULE ole32 = NULL;
    static BOOL tried = FALSE;
    const RegisterWaitChainCOMCallbackProc registerCom =
        LookUp<RegisterWaitChainCOMCallbackProc>(advapi, "RegisterWaitChainCOMCallback");
    if (registerCom == NULL)
        return;
    if (!tried)
    {
        tried = TRUE;
        ole32 = LoadSystemLibrary("ole32.dll");
        if (ole32 != NULL && (GetProcAddress(ole32, "CoGetCallState") == NULL ||
                              GetProcAddress(ole32, "CoGetActivationState") == NULL))
        {
            FreeLibrary(ole32);
            ole32 = NULL;
        }
    }
    // Registered again with every session: advapi32 may have been unloaded and loaded since.
    if (ole32 != NULL)
        registerCom(LookUp<PCOGETCALLSTATE>(ole32, "CoGetCallState"),
                    LookUp<PCOGETACTIVATIONSTATE>(ole32, "CoGetActivationState"));
}

// SeDebugPrivilege, enabled where the token holds it (an administrator's elevated run), never
// asked for. What it changes: the system then opens any process or thread whatever its
// security says, so wait chains are followed through other users' threads and elevated
// programs (without it they end there, in WctStatusNoAccess), and from here on, owners of other
// users are opened for their paths as well (protected processes still refuse). A token without
// it is left as it was: AdjustTokenPrivileges then succeeds and says ERROR_NOT_ALL_ASSIGNED.
static void EnableDebugPrivilege(HMODULE advapi)
{
    const OpenProcessTokenProc openToken = LookUp<OpenProcessTokenProc>(advapi, "OpenProcessToken");
    const LookupPrivilegeValueAProc lookUp = LookUp<LookupPrivilegeValueAProc>(advapi, "LookupPrivilegeValueA");
    const AdjustTokenPrivilegesProc adjust = LookUp<AdjustTokenPrivilegesProc>(advapi, "AdjustTokenPrivileges");
    HANDLE token = NULL;
    if (openToken == NULL || lookUp == NULL || adjust == NULL ||
        !openToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES, &token))
        return;
    TOKEN_PRIVILEGES privileges;
    privileges.PrivilegeCount = 1;
    privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
    if (lookUp(NULL, "SeDebugPrivilege", &privileges.Privileges[0].Luid))
        adjust(token, FALSE, &privileges, sizeof privileges, NULL, NULL);
    CloseHandle(token);
}

// Runs on a thread of the system's, perhaps after the scan has given up on the chain: it only
// fills in its own request, then tells the scan it came.
static void CALLBACK ChainDelivered(HWCT, DWORD_PTR context, DWORD status, LPDWORD count,
                                   PWAITCHAIN_NODE_INFO nodes, LPBOOL cycle)
{
    ChainRequest *request = reinterpret_cast<ChainRequest *>(context);
    request->status = status;
    if (count != NULL)
        request->count = *count < WAIT_CHAIN_NODES ? *count : WAIT_CHAIN_NODES;
    if (nodes != NULL && nodes != request->nodes)
        std::memcpy(request->nodes, nodes, request->count * sizeof *nodes);
    if (cycle != NULL)
        request->cycle = *cycle;
    SetEvent(request->delivered);
}

// The session, opened asynchronously: a synchronous one "will block the calling thread and
// cannot be canceled", and a chain through a hung program may take as long as it likes.
static BOOL OpenChains()
{
    static BOOL privileged = FALSE;
    if (chains.session != NULL)
        return TRUE;
    HMODULE advapi = LoadSystemLibrary("advapi32.dll");
    if (advapi == NULL)
        return FALSE;
    const OpenThreadWaitChainSessionProc open =
        LookUp<OpenThreadWaitChainSessionProc>(advapi, "OpenThreadWaitChainSession");
    chains.chain = LookUp<GetThreadWaitChainProc>(advapi, "GetThreadWaitChain");
    chains.close = LookUp<CloseThreadWaitChainSessionProc>(advapi, "CloseThreadWaitChainSession");
    if (open != NULL && chains.chain != NULL && chains.close != NULL)
    {
        // COM and the privilege before any chain is asked, as in Microsoft's own example, but
        // only once a session is had: where none is (Wine), ole32 is never loaded. The
        // privilege once a run: it stays enabled.
        chains.session = open(WAIT_CHAIN_ASYNC, ChainDelivered);
        if (chains.session != NULL)
            FollowComWaits(advapi);
        if (chains.session != NULL && !privileged)
        {
            privileged = TRUE;
            EnableDebugPrivilege(advapi);
        }
    }
    if (chains.session == NULL)
    {
        FreeLibrary(advapi);
        return FALSE;
    }
    chains.advapi = advapi;
    return TRUE;
}

// Closes the session once every chain asked of it has come (closing earlier would wait for
// the callbacks of the rest), and lets their buffers go.
static void CloseChains()
{
    if (chains.session == NULL)
        return;
    for (ChainRequest *request = chains.requests; request != NULL; request = request->next)
        if (WaitForSingleObject(request->delivered, 0) != WAIT_OBJECT_0)
            return;
    chains.close(chains.session);
    while (chains.requests != NULL)
    {
        ChainRequest *request = chains.requests;
        chains.requests = request->next;
        CloseHandle(request->delivered);
        delete request;
    }
    FreeLibrary(chains.advapi);
    chains.session = NULL;
    chains.advapi = NULL;
}

// Asks for the thread's wait chain, to be taken later. NULL where none will come: no session
// (Wine refuses one), the call refused at once, or, with *stuck, too many chains asked before
// that never came.
static ChainRequest *AskChain(DWORD threadId, BOOL *stuck)
{
    *stuck = FALSE;
    if (!OpenChains())
        return NULL;
    size_t outstanding = 0;
    for (ChainRequest *request = chains.requests; request != NULL; request = request->next)
        outstanding += WaitForSingleObject(request->delivered, 0) == WAIT_OBJECT_0 ? 0 : 1;
    if (outstanding >= MOST_CHAINS_OUTSTANDING)
    {
        *stuck = TRUE;
        return NULL;
    }
    ChainRequest *request = new ChainRequest();
    request->delivered = CreateEventA(NULL, TRUE, FALSE, NULL);
    if (request->delivered == NULL)
    {
        delete request;
        return NULL;
    }
    request->count = WAIT_CHAIN_NODES;
    request->next = chains.requests;
    chains.requests = request;
    if (!chains.chain(chains.session, reinterpret_cast<DWORD_PTR>(request), WAIT_CHAIN_OUT_OF_PROCESS, threadId,
                      &request->count, request->nodes, &request->cycle) &&
        GetLastError() != ERROR_IO_PENDING)
    {
        // Refused at once: no callback will come, so it is done with as far as closing goes.
        request->status = GetLastError();
        SetEvent(request->delivered);
        return NULL;
    }
    return request;
}

// The chain asked, waited for within what is left of the scan's time for chains. One that does
// not come by then is given up on, and its callback left to come whenever it may.
static ChainAnswer TakeChain(ChainRequest *request, BOOL stuck, WAITCHAIN_NODE_INFO (&nodes)[WAIT_CHAIN_NODES],
                             DWORD *count, BOOL *cycle)
{
    if (request == NULL)
        return stuck ? CHAIN_TIMED_OUT : CHAIN_NONE;
    const ULONGLONG before = GetTickCount64();
    const DWORD waited = WaitForSingleObject(request->delivered, static_cast<DWORD>(chains.waitLeft));
    const ULONGLONG spent = GetTickCount64() - before;
    chains.waitLeft -= spent < chains.waitLeft ? spent : chains.waitLeft;
    if (waited == WAIT_TIMEOUT)
        return CHAIN_TIMED_OUT;
    // A chain cut short is "still valid"; any other status tells nothing of the thread.
    if (waited != WAIT_OBJECT_0 || (request->status != ERROR_SUCCESS && request->status != ERROR_MORE_DATA &&
                                    request->status != WAIT_CHAIN_TOO_MANY_THREADS))
        return CHAIN_NONE;
    *count = request->count;
    *cycle = request->cycle;
    std::memcpy(nodes, request->nodes, *count * sizeof nodes[0]);
    return CHAIN_READ;
}

// Whether the chain is the thread alone, running or ready to.
static BOOL ChainRuns(const WAITCHAIN_NODE_INFO *nodes, DWORD count, BOOL cycle)
{
    return count == 1 && !cycle && nodes[0].ObjectType == WctThreadType && nodes[0].ObjectStatus == WctStatusRunning;
}

// What the thread waits for, as Wait Chain Traversal says. Where it cannot say, the thread is
// just waiting; one that the chain found running through the sample computes, however little
// of a core it got. A chain that did not come in time gives no verdict: the sample says only
// that the thread does not compute, and plain "waiting" would claim the system said no more of
// it, where it may be waiting for another program or deadlocked; a chain that hangs is itself
// a sign of that, so the nearest honest verdict is that it is not known.
static void ReadWaitChain(DWORD threadId, Judgement &judgement)
{
    ThreadVerdict &verdict = judgement.verdict;
    verdict.state = THREAD_WAITING;
    WAITCHAIN_NODE_INFO nodes[WAIT_CHAIN_NODES];
    DWORD count = 0;
    BOOL cycle = FALSE;
    const ChainAnswer started = TakeChain(judgement.startChain, judgement.startStuck, nodes, &count, &cycle);
    const BOOL running = started == CHAIN_READ && ChainRuns(nodes, count, cycle);
    BOOL stuck = FALSE;
    const ChainAnswer answer = started == CHAIN_TIMED_OUT
                                   ? CHAIN_TIMED_OUT
                                   : TakeChain(AskChain(threadId, &stuck), stuck, nodes, &count, &cycle);
    if (answer == CHAIN_TIMED_OUT)
    {
        verdict.state = THREAD_UNKNOWN;
        verdict.failed = "wait chain timed out";
        return;
    }
    if (answer == CHAIN_NONE)
        return;
    if (running && ChainRuns(nodes, count, cycle))
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
        // Only a wait of its own: its kind, or the name the system gives it. Windows names only
        // named objects (a mutex), so a wait of no known kind is unnamed there and says nothing
        // more than "waiting"; a named one is the kernel's wait channel, and blocked, it is the
        // kernel's uninterruptible wait, a disk's or a device's only where its name says input
        // or output.
        verdict.wait = object->ObjectType == WctUnknownType ? Narrow(object->LockObject.ObjectName, WCT_OBJNAME_LENGTH)
                                                            : WaitKind(object->ObjectType);
        const BOOL blocked = object->ObjectType == WctUnknownType && object->ObjectStatus == WctStatusBlocked &&
                             !verdict.wait.empty();
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
    judgement.startChain = NULL;
    judgement.startStuck = FALSE;
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
    // A count that could not be read is no "not suspended": the class is Windows 8.1's, and
    // neither its right nor its answer to a 32-bit caller on 64-bit Windows is documented.
    const NtQueryInformationThreadProc query = reinterpret_cast<NtQueryInformationThreadProc>(
        reinterpret_cast<void (*)()>(FindSystemProc("ntdll.dll", "NtQueryInformationThread")));
    ULONG suspended = 0;
    const LONG status = query != NULL ? query(thread, THREAD_SUSPEND_COUNT_CLASS, &suspended, sizeof suspended, NULL) : 0;
    if (query == NULL || status < 0 || suspended > 0)
    {
        if (query == NULL)
            judgement.verdict.failed = "NtQueryInformationThread: not found";
        else if (status < 0)
            judgement.verdict.failed = "NtQueryInformationThread: " + StatusText(status);
        else
            judgement.verdict.state = THREAD_SUSPENDED;
        CloseHandle(thread);
        return;
    }
    if (!ThreadCpu(thread, &judgement.cpuAtStart))
    {
        judgement.verdict.failed = "GetThreadTimes: " + SystemErrorText(GetLastError());
        CloseHandle(thread);
        return;
    }
    judgement.thread = thread;
    judgement.startChain = AskChain(threadId, &judgement.startStuck);
    judgement.startedAt = GetTickCount64();
}

static void FinishJudging(DWORD threadId, Judgement &judgement)
{
    const ULONGLONG elapsed = GetTickCount64() - judgement.startedAt;
    ULONGLONG cpu = 0;
    if (ProcessEnded(judgement))
        judgement.verdict.state = THREAD_GONE;
    else if (!ThreadCpu(judgement.thread, &cpu))
        judgement.verdict.failed = "GetThreadTimes: " + SystemErrorText(GetLastError());
    else if (cpu < judgement.cpuAtStart)
        judgement.verdict.failed = "GetThreadTimes: the time went back";
    else
    {
        // Processor time in 100 ns units, wall time in milliseconds. Both advance with the
        // system's clock tick, but a thread is charged a whole tick at a time: over a quarter of
        // a second it can be charged a tick more than the wall clock shows. No thread gets more
        // than the whole of a core.
        const ULONGLONG share = elapsed == 0 ? 0 : (cpu - judgement.cpuAtStart) / (elapsed * 100);
        judgement.verdict.cpuPercent = static_cast<int>(share > 100 ? 100 : share);
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
    chains.waitLeft = WHY_CHAIN_MS;
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
    CloseChains();
}

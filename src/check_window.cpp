#include "check_window.h"

#include <psapi.h>

#include <cstring>
#include <deque>
#include <iostream>
#include <map>
#include <string>

// The extended form of the process basic information, which says whether the system has frozen
// the process. Windows 8 and later fill it in when asked for by its size.
struct PROCESS_EXTENDED_BASIC_INFORMATION
{
    SIZE_T Size;
    // PROCESS_BASIC_INFORMATION
    LONG ExitStatus;
    PVOID PebBaseAddress;
    ULONG_PTR AffinityMask;
    LONG BasePriority;
    ULONG_PTR UniqueProcessId;
    ULONG_PTR InheritedFromUniqueProcessId;
    ULONG Flags;
};

// The same, as the 64-bit side of a 64-bit system lays it out: its size, the 48 bytes of the
// basic information, then the flags at offset 56.
const ULONG EXTENDED_BASIC_INFORMATION_64_SIZE = 64;
const size_t EXTENDED_BASIC_INFORMATION_64_FLAGS = 56;

// Flags: the process is one that the system has frozen (a Store app out of sight).
const ULONG PROCESS_FLAG_IS_FROZEN = 0x10;

const UINT PROCESS_BASIC_INFORMATION_CLASS = 0;

// A tick is 10 to 16 ms: a probe that lasted this much less than its limit waited it out.
const ULONGLONG PROBE_TICK_SLACK_MS = 16;

typedef LONG(WINAPI *NtQueryInformationProcessProc)(HANDLE, UINT, PVOID, ULONG, ULONG *);
typedef BOOL(WINAPI *IsWow64ProcessProc)(HANDLE, BOOL *);

// Any program may give its window any caption. Written as it is, a line feed in it would forge
// lines of the report and an escape sequence would act on the user's terminal, so every control
// byte goes out as '?', the mark Windows itself uses for what it cannot show. No byte of a
// multi-byte character is a control byte, so no character is cut. Where text is UTF-8 (X11
// captions, and Windows set to use UTF-8), the C1 controls and the line and paragraph
// separators end a line for some readers too: each of those characters goes out as one '?'.
void ReplaceControlBytes(char *text)
{
    const BOOL utf8 = GetACP() == CP_UTF8;
    char *out = text;
    for (const char *in = text; *in != '\0';)
    {
        const unsigned char first = static_cast<unsigned char>(in[0]);
        const unsigned char second = first != 0 ? static_cast<unsigned char>(in[1]) : 0;
        size_t length = 0;
        if (first < 0x20 || first == 0x7F)
            length = 1;
        else if (utf8 && first == 0xC2 && second >= 0x80 && second <= 0x9F)
            length = 2;
        else if (utf8 && first == 0xE2 && second == 0x80 &&
                 (static_cast<unsigned char>(in[2]) == 0xA8 || static_cast<unsigned char>(in[2]) == 0xA9))
            length = 3;
        if (length == 0)
        {
            *out++ = *in++;
            continue;
        }
        *out++ = '?';
        in += length;
    }
    *out = '\0';
}

// These calls are not part of the documented API, or not in every system's libraries, so they
// are looked up at run time; that also keeps them out of the import table.
FARPROC FindSystemProc(const char *module, const char *name)
{
    HMODULE loaded = GetModuleHandleA(module);
    return loaded != NULL ? GetProcAddress(loaded, name) : NULL;
}

// A 32-bit program on 64-bit Windows (WOW64) is refused the extended form at its own size: the
// 64-bit side is asked instead, in its own layout.
static BOOL RunsUnderWow64()
{
    const IsWow64ProcessProc isWow64 =
        reinterpret_cast<IsWow64ProcessProc>(reinterpret_cast<void (*)()>(FindSystemProc("kernel32.dll", "IsWow64Process")));
    BOOL wow64 = FALSE;
    return isWow64 != NULL && isWow64(GetCurrentProcess(), &wow64) && wow64;
}

// Whether the extended information says the system froze the process: only a full answer with
// the flag set counts.
static BOOL AskedFrozen(HANDLE process)
{
    if (RunsUnderWow64())
    {
        const NtQueryInformationProcessProc query = reinterpret_cast<NtQueryInformationProcessProc>(
            reinterpret_cast<void (*)()>(FindSystemProc("ntdll.dll", "NtWow64QueryInformationProcess64")));
        if (query == NULL)
            return FALSE;
        ULONGLONG info[EXTENDED_BASIC_INFORMATION_64_SIZE / sizeof(ULONGLONG)] = {};
        info[0] = EXTENDED_BASIC_INFORMATION_64_SIZE;
        ULONG length = 0;
        const LONG status =
            query(process, PROCESS_BASIC_INFORMATION_CLASS, info, EXTENDED_BASIC_INFORMATION_64_SIZE, &length);
        ULONG flags = 0;
        std::memcpy(&flags, reinterpret_cast<const char *>(info) + EXTENDED_BASIC_INFORMATION_64_FLAGS, sizeof flags);
        return status >= 0 && length >= EXTENDED_BASIC_INFORMATION_64_SIZE && (flags & PROCESS_FLAG_IS_FROZEN) != 0;
    }
    const NtQueryInformationProcessProc query = reinterpret_cast<NtQueryInformationProcessProc>(
        reinterpret_cast<void (*)()>(FindSystemProc("ntdll.dll", "NtQueryInformationProcess")));
    if (query == NULL)
        return FALSE;
    PROCESS_EXTENDED_BASIC_INFORMATION info = {};
    info.Size = sizeof info;
    ULONG length = 0;
    const LONG status = query(process, PROCESS_BASIC_INFORMATION_CLASS, &info, sizeof info, &length);
    return status >= 0 && length >= sizeof info && (info.Flags & PROCESS_FLAG_IS_FROZEN) != 0;
}

// Windows pauses Store apps that are out of sight; their windows stop answering although
// nothing is wrong with them. Only a positive answer counts: a system that does not know the
// extended form (older Windows, Wine) refuses it, and the window is judged as before.
static BOOL IsProcessFrozenBySystem(DWORD processId)
{
    if (processId == 0)
        return FALSE;
    HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, processId);
    if (process == NULL)
        return FALSE;
    const BOOL frozen = AskedFrozen(process);
    CloseHandle(process);
    return frozen;
}

// Why the platform could not name the owner of an unresponsive window, the first time it gave
// a reason: a blind spot of every scan after it, said once.
static DWORD ownersUnnamed = 0;

// A WM_NULL sent and not answered yet, or answered and not yet taken. Its answer carries a
// number of its own: by the time a late answer comes, the handle may name another window.
struct SentProbe
{
    HWND hwnd;
    ULONGLONG sentAt;
    DWORD processId; // the owner, once the probe went unanswered; 0 before
    BOOL answered;
    BOOL listed; // the latest scan listed its window
};

// A window of the scan under way, waiting to be handed out.
struct ListedWindow
{
    HWND hwnd;
    ULONG_PTR probe; // its SentProbe; 0 when its verdict was known without a message
    BOOL noAnswer;   // known at once: its thread is deemed hung, or the send failed for want of an answer
    BOOL refused;    // the send failed at once for another reason
};

static std::map<ULONG_PTR, SentProbe> sentProbes;
// Which probe is out for a window, by its handle: a window has one at most, and a scan of
// thousands of windows asks for each.
static std::map<HWND, ULONG_PTR> probeOfWindow;
static std::deque<ListedWindow> listedWindows;
static ULONG_PTR lastProbeNumber = 0;
static ULONGLONG lastRead = 0; // tick count of the last read of the queue

// Forgets a probe, and that it was out for its window.
static std::map<ULONG_PTR, SentProbe>::iterator DropProbe(std::map<ULONG_PTR, SentProbe>::iterator probe)
{
    const std::map<HWND, ULONG_PTR>::iterator window = probeOfWindow.find(probe->second.hwnd);
    if (window != probeOfWindow.end() && window->second == probe->first)
        probeOfWindow.erase(window);
    return sentProbes.erase(probe);
}

static void DropProbe(ULONG_PTR number)
{
    const std::map<ULONG_PTR, SentProbe>::iterator probe = sentProbes.find(number);
    if (probe != sentProbes.end())
        DropProbe(probe);
}

// Called by the system while the queue is read (PeekMessageA), never in between.
static VOID CALLBACK TakeAnswer(HWND hwnd, UINT /* message */, ULONG_PTR number, LRESULT /* result */)
{
    const std::map<ULONG_PTR, SentProbe>::iterator probe = sentProbes.find(number);
    // An answer to a probe given up on (its window went) has no one to tell.
    if (probe != sentProbes.end() && probe->second.hwnd == hwnd)
        probe->second.answered = TRUE;
}

// The answers that have come are handed to TakeAnswer as the queue is read; the program has
// no windows, so nothing else arrives there.
static void ReadAnswers()
{
    MSG message;
    while (PeekMessageA(&message, NULL, 0, 0, PM_REMOVE))
    {
    }
}

void BeginProbes(BOOL lastScanComplete)
{
    listedWindows.clear();
    // A probe whose window the scan before did not list went with its window.
    for (std::map<ULONG_PTR, SentProbe>::iterator probe = sentProbes.begin(); probe != sentProbes.end();)
    {
        if (!probe->second.listed && lastScanComplete)
            probe = DropProbe(probe);
        else
        {
            probe->second.listed = FALSE;
            ++probe;
        }
    }
}

void ForgetProbes()
{
    listedWindows.clear();
    sentProbes.clear();
    probeOfWindow.clear();
}

void ProbeWindow(HWND hwnd)
{
    ListedWindow window = {hwnd, 0, FALSE, FALSE};
    // A window still not answering the probe of a scan before is not sent another: its answer,
    // when it comes, says that it answers again. It is the same window while its process is.
    const std::map<HWND, ULONG_PTR>::iterator known = probeOfWindow.find(hwnd);
    const std::map<ULONG_PTR, SentProbe>::iterator probe =
        known != probeOfWindow.end() ? sentProbes.find(known->second) : sentProbes.end();
    if (probe != sentProbes.end())
    {
        DWORD processId = 0;
        if (probe->second.processId != 0 &&
            (GetWindowThreadProcessId(hwnd, &processId) == 0 || processId != probe->second.processId))
            DropProbe(probe);
        else
        {
            probe->second.listed = TRUE;
            window.probe = probe->first;
            listedWindows.push_back(window);
            return;
        }
    }

    // A thread the system deems hung would leave the message unanswered in its queue, as
    // SMTO_ABORTIFHUNG knows: the window does not answer, at once.
    if (IsHungAppWindow(hwnd))
    {
        window.noAnswer = TRUE;
        listedWindows.push_back(window);
        return;
    }

    // WM_NULL asks nothing of the window, so only the thread's ability to answer is measured.
    // The last error is cleared first so that a stale value cannot decide below, and the send
    // is timed: a platform may wait out the limit before it fails.
    const ULONG_PTR number = ++lastProbeNumber;
    const ULONGLONG started = GetTickCount64();
    sentProbes[number] = SentProbe{hwnd, started, 0, FALSE, TRUE};
    probeOfWindow[hwnd] = number;
    SetLastError(0);
    if (SendMessageCallbackA(hwnd, WM_NULL, 0, 0, TakeAnswer, number))
        window.probe = number;
    else
    {
        const DWORD error = GetLastError();
        const BOOL waitedOut = GetTickCount64() - started + PROBE_TICK_SLACK_MS >= PROBE_TIMEOUT_MS;
        DropProbe(number);
        // Only a send that went unanswered means a hang: one that waited out its limit or
        // failed with ERROR_TIMEOUT. One refused at once for another reason (a paused Store
        // app's window, a window already gone) is not one.
        window.refused = !waitedOut && error != ERROR_TIMEOUT;
        window.noAnswer = !window.refused;
    }
    listedWindows.push_back(window);
}

BOOL NextProbedWindow(BOOL wait, HWND *hwnd, BOOL *unresponsive, DWORD *processId)
{
    for (;;)
    {
        if (listedWindows.empty())
            return FALSE;
        const ListedWindow window = listedWindows.front();
        BOOL noAnswer = window.noAnswer;
        if (window.probe != 0)
        {
            // While the windows are being listed, the queue is read once a tick: a few
            // thousand windows are listed within one, and each read is a call to the system.
            const ULONGLONG now = GetTickCount64();
            if (wait || now != lastRead)
                ReadAnswers();
            lastRead = now;
            const SentProbe &probe = sentProbes[window.probe];
            const ULONGLONG waited = GetTickCount64() - probe.sentAt;
            if (!probe.answered && waited < PROBE_TIMEOUT_MS)
            {
                if (!wait)
                    return FALSE;
                // Woken by an answer, or at the end of this window's time; all the others were
                // sent with it, so theirs ends at about the same moment.
                const DWORD left = static_cast<DWORD>(PROBE_TIMEOUT_MS - waited);
                if (MsgWaitForMultipleObjects(0, NULL, FALSE, left, QS_ALLINPUT) == WAIT_FAILED)
                    Sleep(left);
                continue;
            }
            noAnswer = !probe.answered;
        }
        listedWindows.pop_front();
        *hwnd = window.hwnd;
        *unresponsive = FALSE;
        *processId = 0;
        // Refused at once: not a hang, and nothing more to ask.
        if (window.refused)
            return TRUE;
        if (!noAnswer || !IsWindow(window.hwnd))
        {
            // Answered; or destroyed since the enumeration listed it, which leaves a probe
            // unanswered too: gone, not hung, and reporting it would send the user after a
            // program that is fine.
            if (window.probe != 0)
                DropProbe(window.probe);
            return TRUE;
        }
        SetLastError(0);
        if (GetWindowThreadProcessId(window.hwnd, processId) == 0 && ownersUnnamed == 0)
            ownersUnnamed = GetLastError();
        if (window.probe != 0)
            sentProbes[window.probe].processId = *processId;
        *unresponsive = !IsProcessFrozenBySystem(*processId);
        return TRUE;
    }
}

void ReadCaption(HWND hwnd, char *text)
{
    // Not every version of the platform clears the buffer when the caption cannot be read.
    text[0] = '\0';
    GetWindowTextA(hwnd, text, TEXT_BUFFER_SIZE);
    text[TEXT_BUFFER_SIZE - 1] = '\0';
    ReplaceControlBytes(text);
}

BOOL ReadProgramName(HWND hwnd, char *text)
{
    text[0] = '\0';
    if (GetLastError() != ERROR_NOT_FOUND || GetClassNameA(hwnd, text, TEXT_BUFFER_SIZE) == 0)
        return FALSE;
    text[TEXT_BUFFER_SIZE - 1] = '\0';
    ReplaceControlBytes(text);
    return TRUE;
}

std::string UntitledName(const std::string &program)
{
    return program + " (no window title known)";
}

std::string CaptionLine(HWND hwnd)
{
    char text[TEXT_BUFFER_SIZE];
    SetLastError(0);
    ReadCaption(hwnd, text);
    char program[TEXT_BUFFER_SIZE];
    if (text[0] == '\0' && ReadProgramName(hwnd, program))
        return " Program: " + UntitledName(program);
    return std::string(" Caption: ") + text;
}

OwnerLookup ReadOwnerPath(DWORD processId, char *text)
{
    HANDLE process = OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, processId);
    if (process == NULL)
        return OWNER_NOT_OPENED;

    // A NULL module names the process's executable. Older systems leave a path that fills the
    // buffer unterminated, hence the explicit terminator. Where a 32-bit caller is not given a
    // 64-bit owner's path this way (older 64-bit Windows, Wine), the same handle still names
    // its image.
    BOOL havePath = GetModuleFileNameExA(process, NULL, text, TEXT_BUFFER_SIZE) != 0;
    if (!havePath)
    {
        DWORD size = TEXT_BUFFER_SIZE;
        havePath = QueryFullProcessImageNameA(process, 0, text, &size);
    }
    if (havePath)
    {
        text[TEXT_BUFFER_SIZE - 1] = '\0';
        ReplaceControlBytes(text);
    }

    CloseHandle(process);
    return havePath ? OWNER_PATH : OWNER_NO_PATH;
}

static void WriteBlock(HWND hwnd, DWORD processId)
{
    char text[TEXT_BUFFER_SIZE];

    // The caption is on screen before the owner lookup, which may be slow.
    WriteOutput("\nUnresponsive Window:\n" + CaptionLine(hwnd) + "\n");

    switch (ReadOwnerPath(processId, text))
    {
    case OWNER_PATH:
        WriteOutput(std::string(" Path: ") + text + "\n");
        break;
    case OWNER_NOT_OPENED:
        WriteOutput("!! Error (OpenProcess)\n");
        break;
    case OWNER_NO_PATH:
        break;
    }
}

static void WriteKnownBlocks(BOOL wait)
{
    HWND hwnd = NULL;
    BOOL unresponsive = FALSE;
    DWORD processId = 0;
    while (NextProbedWindow(wait, &hwnd, &unresponsive, &processId))
        if (unresponsive)
            WriteBlock(hwnd, processId);
}

BOOL CALLBACK CheckWindowProc(HWND hwnd, LPARAM /* lParam: unused context */)
{
    ProbeWindow(hwnd);
    WriteKnownBlocks(FALSE);
    return TRUE;
}

void FinishWindowChecks()
{
    WriteKnownBlocks(TRUE);
    // A scan on its own: no later one to tell of answers that come after it.
    ForgetProbes();
}

std::string SystemErrorText(DWORD error)
{
    char text[TEXT_BUFFER_SIZE] = "";
    DWORD length = error == 0 ? 0
                              : FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, NULL, error,
                                               0, text, TEXT_BUFFER_SIZE, NULL);
    if (length >= static_cast<DWORD>(TEXT_BUFFER_SIZE))
        length = TEXT_BUFFER_SIZE - 1;
    // The system's texts end with a full stop and a line end; a line has its own end.
    while (length > 0 && (text[length - 1] == '\r' || text[length - 1] == '\n' || text[length - 1] == ' ' ||
                          text[length - 1] == '.'))
        --length;
    text[length] = '\0';
    ReplaceControlBytes(text);
    if (length > 0)
        return text;
    return error == 0 ? "the system gave no reason" : "error " + std::to_string(error);
}

void WriteOutput(const std::string &text)
{
    std::cout.write(text.data(), static_cast<std::streamsize>(text.size()));
    std::cout.flush();
}

void WriteErrorLine(const char *what, DWORD error)
{
    std::cerr << "hungscan: " << what << ": " << SystemErrorText(error) << std::endl;
}

void WriteUnnamedOwners()
{
    static BOOL said = FALSE;
    if (ownersUnnamed == 0 || said)
        return;
    said = TRUE;
    WriteErrorLine("owners cannot be named", ownersUnnamed);
}

// The platform's own messages on what the last enumeration could not check: a part of the
// desktop it could not reach at all (on Linux, a Wayland session without its accessibility bus),
// then the programs it knows of but could not probe (there, those not on that bus). Windows has
// neither, and no text for a number in the range left to applications.
const DWORD MESSAGE_UNCHECKED_PART = 0x20000012;
const DWORD MESSAGE_UNPROBED_PROGRAMS = 0x20000011;

void WriteBlindSpots()
{
    // A watch says each again only when it changes.
    static std::string said[2];
    const DWORD messages[2] = {MESSAGE_UNCHECKED_PART, MESSAGE_UNPROBED_PROGRAMS};
    for (int k = 0; k < 2; ++k)
    {
        char text[TEXT_BUFFER_SIZE] = "";
        if (FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, NULL, messages[k], 0, text,
                           TEXT_BUFFER_SIZE, NULL) == 0)
        {
            said[k].clear();
            continue;
        }
        text[TEXT_BUFFER_SIZE - 1] = '\0';
        ReplaceControlBytes(text);
        if (said[k] == text)
            continue;
        said[k] = text;
        std::cerr << "hungscan: " << text << std::endl;
    }
}

void WriteHowToEnd()
{
    // A console handle is one whose mode can be read: a file, a pipe or NUL has none.
    DWORD mode = 0;
    if (!GetConsoleMode(GetStdHandle(STD_OUTPUT_HANDLE), &mode) &&
        GetConsoleMode(GetStdHandle(STD_INPUT_HANDLE), &mode))
        std::cerr << "hungscan: press Enter to exit" << std::endl;
}

// Scenarios for the scripted platform: the windows a desktop shows, in enumeration order, and
// the transcript the scan is expected to write for them.
//
// A scenario file holds any number of scenarios:
//
//   # comment
//   scenario NAME
//   window STATE [caption=VALUE] [caption-unreadable] [owner=PID] [denied]
//          [path=VALUE] [path-unreadable] [path-unterminated] [module-path-fails]
//          [error=N] [owner-frozen] [query-refused] [id=N] [wide-caption=VALUE]
//          [suspended] [busy=PERCENT] [waits-for=PID wait-kind=KIND] [deadlocked]
//          [wchan=VALUE] [disk] [thread-unopenable] [exits-at=MS] [unopenable]
//          [suspend-count-fails] [thread-times-fail] [unknown-wait]
//          [chain-after=MS] [chain-never]
//          [after=MS] [gone-after=MS]
//   enumeration fails-after=N [error=N]   the last error it leaves: 5 (access denied) unless given
//   codepage N       the ANSI code page the platform reports (1252 unless given)
//   wow64            the program runs as a 32-bit one on 64-bit Windows
//   no-wait-chains   Wait Chain Traversal refuses, as Wine's does
//   debug-privilege  the program's token holds SeDebugPrivilege (an administrator's elevated run)
//   no-com-state     ole32 exports neither CoGetCallState nor CoGetActivationState
//   message-wait-fails   MsgWaitForMultipleObjects fails at once
//   environment NAME=VALUE   a variable the program may read (there are no others)
//   event-log refuses [error=N]      the system log cannot be opened (1722 unless given)
//   event-log fails-after=N [error=N]   the log takes N events, then fails (1726 unless given)
//   logged VALUE     one event the run records in the system log, in order: its type and
//                    event id, then each insertion string after a tab
//   output-pipe MODE standard output is a pipe, in byte or message mode (a file unless given)
//   console HANDLES  the standard handles that are the console's: input, output or both, as
//                    "console input output" (neither unless given: a file, a pipe or NUL)
//   argument VALUE   one command-line argument, in order
//   desktop at=S     the windows and enumeration lines after it make the desktop from S
//                    seconds on (the scripted clock starts at 0; a probe that times out
//                    costs 1000 ms of it)
//   stop KIND at=S   the user stops a watch at S seconds: KIND is enter, ctrl-c or ctrl-break;
//                    or close: the user closes the console, at the first moment the program
//                    lets time pass after S (a wait, a probe's time, a write)
//   slow-output ms=N each write to standard output takes N ms of the clock (a console the user
//                    is selecting text in holds writes back; 0 unless given)
//   status N
//   stderr VALUE     one line the run writes on standard error, in order (none unless given)
//   expect
//   VALUE            one line of the transcript per line, joined by line feeds
//   end
//
// STATE is answers, times-out, deemed-hung, gone or refused. An answering window answers a sent
// probe after=MS (0 unless given); one with gone-after=MS is destroyed that long after its probe
// was sent, unanswered. A VALUE is one or more quoted segments with
// C escapes (\\ \" \n \r \t \xHH), each optionally repeated: 3*"ab" is "ababab".
#ifndef HUNGSCAN_SCRIPTED_SCENARIO_H
#define HUNGSCAN_SCRIPTED_SCENARIO_H

#include <windows.h>

#include <string>
#include <vector>

namespace scripted {

enum class Probe
{
    Answers,    // the thread processes WM_NULL in time
    TimesOut,   // the thread does not answer within the timeout
    DeemedHung, // the system already deems the thread hung: the probe fails at once
    Gone,       // the window was destroyed after the enumeration listed it
    Refused,    // the probe fails at once for another reason than a missing answer (a paused
                // Store app's window): last error 0, not deemed hung
};

struct Window
{
    Probe probe = Probe::Answers;
    std::string caption;
    bool captionReadable = true;
    DWORD owner = 0; // 0: the platform cannot name the window's process
    // Opened for the full query rights; an elevated or protected owner ("denied") refuses them
    // and still grants the limited right, which another user's process ("unopenable") refuses too.
    bool opens = true;
    bool limitedOpens = true;
    std::string path;
    bool pathReadable = true;
    // Mimics older systems, which leave a path that fills the buffer without a terminator.
    bool pathTerminated = true;
    // The module lookup fails (a 64-bit owner seen from a 32-bit caller on some systems), while
    // the process image name is still given.
    bool moduleLookupWorks = true;
    // The last error a failed probe leaves; -1: what the state implies (ERROR_TIMEOUT for a
    // thread that does not answer, ERROR_INVALID_WINDOW_HANDLE for a window gone, 0 if refused).
    long probeError = -1;
    // The system has frozen the owner (a Store app out of sight), as the extended process
    // information says.
    bool ownerFrozen = false;
    // The extended process information is refused for its size, as older systems and Wine do.
    bool queryRefused = false;
    // Which window of the desktop it is, across desktops; -1: its place in its desktop.
    long id = -1;
    // What the wide call gives (UTF-8 here); without it, the caption's bytes as Latin-1.
    std::string wideCaption;
    bool hasWideCaption = false;
    // The owner's thread (one per owner: the first window of the owner says): suspended, its
    // share of a core, its wait chain (another process and the kind of wait, or a cycle), the
    // kernel's wait channel and whether that wait is uninterruptible, or not to be opened.
    bool suspended = false;
    int busyPercent = 0;
    DWORD waitsFor = 0;
    std::string waitKind;
    bool deadlocked = false;
    std::string wchan;
    bool disk = false; // the wait is uninterruptible (Linux: state D)
    bool threadOpens = true;
    // The suspend count is refused (a system before Windows 8.1 knows no such class), or the
    // thread's times are.
    bool suspendCountWorks = true;
    bool threadTimesWork = true;
    // Its wait chain ends in a node of unknown type, blocked and unnamed, as Windows may give.
    bool unknownWait = false;
    // When an asynchronous session's callback brings its chain: this long after it was asked
    // (at the program's next wait at the soonest); -1: never, as for a chain stuck in a hung
    // program's call.
    long chainAfterMs = 0;
    // The owner process ends at this moment of the scripted clock; -1: it lives on.
    long exitsAtMs = -1;
    // How long after a sent probe an answering window answers.
    long answerMs = 0;
    // The window is destroyed this long after its probe was sent; -1: it stays.
    long goneAfterMs = -1;
};

// The desktop from a moment of the scripted clock on.
struct Desktop
{
    long atMs = 0;
    std::vector<Window> windows;
    long enumFailsAfter = -1;
    DWORD enumError = ERROR_ACCESS_DENIED;
};

struct Stop
{
    enum Kind
    {
        Enter,
        CtrlC,
        CtrlBreak,
        Close,
    } kind;
    long atMs;
};

struct Scenario
{
    std::string name;
    std::vector<Window> windows;
    long enumFailsAfter = -1; // the enumeration fails before this window; -1: it succeeds
    DWORD enumError = ERROR_ACCESS_DENIED; // the last error a failed enumeration leaves
    UINT codePage = 1252;
    // A 32-bit program on 64-bit Windows: the extended process information is given by the
    // 64-bit side only; asked at the 32-bit size, it is refused, as WOW64 does.
    bool wow64 = false;
    bool waitChains = true;
    bool debugPrivilege = false;
    bool comStateCalls = true;
    bool messageWaitFails = false;
    std::vector<std::pair<std::string, std::string>> environment;
    // The Application log: whether it opens (RPC_S_SERVER_UNAVAILABLE when the Event Log
    // service is not running), and after how many events it fails (RPC_S_CALL_FAILED).
    bool eventLogOpens = true;
    DWORD eventLogError = 1722;
    long eventLogFailsAfter = -1;
    DWORD eventLogFailError = 1726;
    std::vector<std::string> expectedLog; // each event the run records, in order
    bool consoleInput = false;
    bool consoleOutput = false;
    // Standard output is a pipe: 0 none (a file or NUL), 1 in byte mode, 2 in message mode.
    int outputPipe = 0;
    long outputWriteMs = 0; // how long each write to standard output takes
    std::string expectedErrors; // standard error, line by line
    std::vector<Desktop> later; // desktops that follow the first one, in time order
    std::vector<std::string> arguments;
    std::vector<Stop> stops; // in time order
    bool hasExpected = false;
    std::string expected;
    int status = 0;
};

// A value as a scenario writes it: quoted, with C escapes for what a line cannot hold.
std::string QuoteValue(const std::string &value);

// Parses a whole file; on failure returns a message naming the line, else an empty string.
std::string ParseScenarios(const std::string &text, std::vector<Scenario> &out);

// Reads and parses a file; on failure returns a message.
std::string LoadScenarioFile(const std::string &path, std::vector<Scenario> &out);

} // namespace scripted

#endif

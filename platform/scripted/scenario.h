// Scenarios for the scripted platform: the windows a desktop shows, in enumeration order, and
// the transcript the scan is expected to write for them.
//
// A scenario file holds any number of scenarios:
//
//   # comment
//   scenario NAME
//   window STATE [caption=VALUE] [caption-unreadable] [owner=PID] [denied]
//          [path=VALUE] [path-unreadable] [path-unterminated] [module-path-fails]
//   enumeration fails-after=N
//   status N
//   expect
//   VALUE            one line of the transcript per line, joined by line feeds
//   end
//
// STATE is answers, times-out, deemed-hung or gone. A VALUE is one or more quoted segments with
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
};

struct Window
{
    Probe probe = Probe::Answers;
    std::string caption;
    bool captionReadable = true;
    DWORD owner = 0; // 0: the platform cannot name the window's process
    bool opens = true;
    std::string path;
    bool pathReadable = true;
    // Mimics older systems, which leave a path that fills the buffer without a terminator.
    bool pathTerminated = true;
    // The module lookup fails (a 64-bit owner seen from a 32-bit caller on some systems), while
    // the process image name is still given.
    bool moduleLookupWorks = true;
};

struct Scenario
{
    std::string name;
    std::vector<Window> windows;
    long enumFailsAfter = -1; // the enumeration fails before this window; -1: it succeeds
    bool hasExpected = false;
    std::string expected;
    int status = 0;
};

// Parses a whole file; on failure returns a message naming the line, else an empty string.
std::string ParseScenarios(const std::string &text, std::vector<Scenario> &out);

// Reads and parses a file; on failure returns a message.
std::string LoadScenarioFile(const std::string &path, std::vector<Scenario> &out);

} // namespace scripted

#endif

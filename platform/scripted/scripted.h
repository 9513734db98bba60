// The scripted platform: the Win32 calls of <windows.h> and <psapi.h> played from a scenario.
// Every call is recorded with its arguments, and every misuse (a wrong probe argument, a short
// buffer, a handle leaked or closed twice, an owner looked up for an answering window, a
// callback result other than TRUE) is recorded as a violation.
#ifndef HUNGSCAN_SCRIPTED_H
#define HUNGSCAN_SCRIPTED_H

#include "scenario.h"

#include <functional>
#include <string>
#include <vector>

namespace scripted {

struct Trace
{
    std::vector<std::string> calls; // one line per call, arguments included
    std::vector<std::string> violations;
    std::vector<BOOL> callbackResults;
    std::vector<BOOL> enumerationResults;
    unsigned opened = 0;
    unsigned closed = 0;
    std::vector<std::string> logged; // the events recorded in the system log
    std::vector<std::string> writes; // each write to standard output, as it went
};

// Starts a fresh desktop; the trace starts empty.
void Load(const Scenario &scenario);

const Trace &GetTrace();

// The window handle the platform hands out for window index i of the scenario.
HWND WindowHandle(size_t index);

// Lets the platform see what the program has flushed to standard output so far; with it, the
// owner lookup checks that the window's caption line is already out.
void SetFlushedOutput(std::function<std::string()> flushed);

// Standard output as the C runtime writes it on Windows, for the scripted executable: a console
// takes each piece at once, anything else what was flushed. Each write is one call of the
// platform's, in the trace, and takes the scenario's time for a write; false, with errno, when
// it failed.
bool OutputIsConsole();
bool WriteStandardOutput(const std::string &text);

// Where the trace is written when the enumeration ends (used by the scripted executable).
void SetReportPath(const std::string &path);

} // namespace scripted

#endif

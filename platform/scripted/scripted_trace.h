// Inside the scripted platform: the trace of one run, which every scripted call adds to: each
// call with its arguments, and each misuse of the platform as a violation.
#ifndef HUNGSCAN_SCRIPTED_TRACE_H
#define HUNGSCAN_SCRIPTED_TRACE_H

#include "scripted.h"

#include <string>

namespace scripted {

// The run's trace, for the calls to add to.
Trace &RunTrace();

// A fresh, empty trace.
void ResetTrace();

void Record(const std::string &call);

// The scenario being played.
const Scenario &PlayedScenario();

// Writes the trace where the scripted executable was told to, now.
void WriteReport();
void Violation(const std::string &what);

} // namespace scripted

#endif

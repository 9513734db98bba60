#include "scripted_trace.h"

namespace scripted {

Trace &RunTrace()
{
    static Trace trace;
    return trace;
}

void ResetTrace()
{
    RunTrace() = Trace();
}

void Record(const std::string &call)
{
    RunTrace().calls.push_back(call);
}

void Violation(const std::string &what)
{
    RunTrace().violations.push_back(what);
}

const Trace &GetTrace()
{
    return RunTrace();
}

} // namespace scripted

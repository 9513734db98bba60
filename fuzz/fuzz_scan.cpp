// libFuzzer target: the whole run, main included, on a scripted desktop made from the input.
// Every input must give exactly the transcript the rules call for, the right exit status, every
// opened process handle closed once, every callback result TRUE and no misuse of any call.

#include "capture.h"
#include "fuzz_input.h"
#include "scripted.h"

#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <sstream>

int hungscan_main(); // the program's main, renamed for this target

namespace {

void Fail(const char *what, const std::string &detail)
{
    std::fprintf(stderr, "invariant broken: %s\n%s\n", what, detail.c_str());
    std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const scripted::Scenario scenario = DecodeFuzzInput(data, size);
    int expectedStatus = 0;
    const std::string expected = ExpectedTranscript(scenario, expectedStatus);

    scripted::Load(scenario);
    std::istringstream noInput;
    std::streambuf *input = std::cin.rdbuf(noInput.rdbuf());
    std::cin.clear();
    int status = -1;
    std::string flushed, pending;
    {
        FlushRecorder out;
        scripted::SetFlushedOutput([&out] { return out.flushed(); });
        status = hungscan_main();
        scripted::SetFlushedOutput(nullptr);
        flushed = out.flushed();
        pending = out.pending();
    }
    std::cin.rdbuf(input);
    std::cin.clear();

    const scripted::Trace &trace = scripted::GetTrace();
    if (!trace.violations.empty())
        Fail("platform misuse", trace.violations.front());
    if (trace.opened != trace.closed)
        Fail("process handles", std::to_string(trace.opened) + " opened, " + std::to_string(trace.closed) + " closed");
    for (BOOL result : trace.callbackResults)
        if (result != TRUE)
            Fail("callback result", std::to_string(result));
    if (!pending.empty())
        Fail("output left unflushed before the wait", pending);
    if (flushed != expected)
        Fail("transcript", "expected:\n" + expected + "\nwritten:\n" + flushed);
    if (status != expectedStatus)
        Fail("exit status", std::to_string(status));
    return 0;
}

// libFuzzer target: the whole run, main included, on a scripted desktop and command line made
// from the input. A scan must give exactly the transcript the rules call for; options must be
// answered without a scan; a watch's output must keep its rules over its rounds. Always: the
// right exit status, every opened process handle closed once, every callback result TRUE and no
// misuse of any call.

#include "capture.h"
#include "fuzz_input.h"
#include "scripted.h"

#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <sstream>

int hungscan_main(int argc, char *argv[]); // the program's main, renamed for this target

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
    unsigned interval = 0;
    const std::string command = ExpectedCommand(scenario.arguments, interval);
    int expectedStatus = 0;
    std::vector<unsigned long> reported;
    const std::string expected = ExpectedTranscript(scenario, expectedStatus, &reported);

    std::vector<std::string> arguments = {"hungscan"};
    arguments.insert(arguments.end(), scenario.arguments.begin(), scenario.arguments.end());
    std::vector<char *> argv;
    for (std::string &argument : arguments)
        argv.push_back(&argument[0]);
    argv.push_back(nullptr);

    scripted::Load(scenario);
    std::istringstream noInput;
    std::ostringstream errors;
    std::streambuf *input = std::cin.rdbuf(noInput.rdbuf());
    std::streambuf *error = std::cerr.rdbuf(errors.rdbuf());
    std::cin.clear();
    int status = -1;
    std::string flushed, pending;
    {
        FlushRecorder out;
        // The watch opens owners without writing a block first: the check is the scan's.
        if (command == "scan")
            scripted::SetFlushedOutput([&out] { return out.flushed(); });
        status = hungscan_main(static_cast<int>(arguments.size()), argv.data());
        scripted::SetFlushedOutput(nullptr);
        flushed = out.flushed();
        pending = out.pending();
    }
    std::cin.rdbuf(input);
    std::cerr.rdbuf(error);
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
        Fail("output left unflushed", pending);
    const bool scans = command == "scan" || command == "json" || command == "why" || command == "log";
    if (command != "watch" && !scans && !trace.enumerationResults.empty())
        Fail("an option scanned", command);
    // Standard error: the refusal of a wrong command line; the reason a scan failed; for a watch
    // (whose scripted output is never a console) how to stop it, and the reason for the first of
    // each run of failed scans. Nothing else.
    std::string expectedErrors;
    const std::string reason = "hungscan: cannot list the windows: Access is denied\n";
    if (scans && expectedStatus != 0)
        expectedErrors = reason;
    else if (command == "watch")
    {
        expectedErrors = "hungscan: watching every " + std::to_string(interval) + " s; press Enter to stop\n";
        for (size_t i = 0; i < trace.enumerationResults.size(); ++i)
            if (!trace.enumerationResults[i] && (i == 0 || trace.enumerationResults[i - 1]))
                expectedErrors += reason;
    }
    if (command != "wrong" && errors.str() != expectedErrors)
        Fail("standard error", "expected:\n" + expectedErrors + "written:\n" + errors.str());

    if (command == "scan" || command == "log")
    {
        // With --log, the same report, and one event in the system log for each of its blocks.
        if (command == "log" && trace.logged.size() != reported.size())
            Fail("logged events", std::to_string(trace.logged.size()) + " for " + std::to_string(reported.size()));
        if (flushed != expected)
            Fail("transcript", "expected:\n" + expected + "\nwritten:\n" + flushed);
        if (status != expectedStatus)
            Fail("exit status", std::to_string(status));
    }
    else if (command == "watch")
    {
        size_t failed = 0;
        for (BOOL result : trace.enumerationResults)
            failed += result ? 0 : 1;
        const std::string fault = CheckWatchOutput(flushed, interval, failed);
        if (!fault.empty())
            Fail("watch output", fault + "\nwritten:\n" + flushed);
        if (trace.enumerationResults.empty() || status != (trace.enumerationResults.back() ? 0 : 1))
            Fail("watch exit status", std::to_string(status));
    }
    else if (command == "json")
    {
        const std::string fault = CheckRecords(flushed, reported, expectedStatus);
        if (!fault.empty())
            Fail("records", fault + "\nwritten:\n" + flushed);
        if (status != expectedStatus)
            Fail("exit status", std::to_string(status));
    }
    else if (command == "why")
    {
        // The report of the same desktop, with one verdict line closing each block.
        std::istringstream lines(flushed);
        std::string line, withoutVerdicts;
        size_t verdicts = 0;
        while (std::getline(lines, line))
        {
            if (line.compare(0, 6, " Why: ") == 0)
                ++verdicts;
            else
                withoutVerdicts += line + (lines.eof() ? "" : "\n");
        }
        if (withoutVerdicts != expected || verdicts != reported.size())
            Fail("report with verdicts", "expected:\n" + expected + "\nwritten:\n" + flushed);
        if (status != expectedStatus)
            Fail("exit status", std::to_string(status));
    }
    else if (command == "wrong")
    {
        const std::string refusal = errors.str();
        const std::string hint = "\nTry 'hungscan --help'.\n";
        if (status != 2 || !flushed.empty() || refusal.compare(0, 10, "hungscan: ") != 0 ||
            refusal.size() < hint.size() || refusal.find('\n') != refusal.size() - hint.size() ||
            refusal.compare(refusal.size() - hint.size(), hint.size(), hint) != 0)
            Fail("refused argument", std::to_string(status) + " " + flushed + errors.str());
    }
    else if (status != 0 || flushed.compare(0, command == "help" ? 6 : 9, command == "help" ? "Usage:" : "hungscan ") != 0)
        Fail(command.c_str(), std::to_string(status) + " " + flushed);
    return 0;
}

// Every scenario in tests/scenarios, played twice: as a whole run of the scripted executable
// (the exact transcript, exit status, nothing on standard error) and in process (each call the
// check makes, every handle closed, each block flushed before the owner lookup).

#include "capture.h"
#include "check_window.h"
#include "process.h"
#include "scripted.h"
#include "test_names.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <algorithm>
#include <fstream>
#include <sstream>
#include <unistd.h>

namespace {

struct Case
{
    std::string file;
    scripted::Scenario scenario;
};

std::vector<Case> AllScenarios()
{
    std::vector<std::string> files;
    if (DIR *dir = ::opendir(HUNGSCAN_SCENARIO_DIR))
    {
        while (const dirent *entry = ::readdir(dir))
        {
            const std::string name = entry->d_name;
            if (name.size() > 9 && name.compare(name.size() - 9, 9, ".scenario") == 0)
                files.push_back(std::string(HUNGSCAN_SCENARIO_DIR) + "/" + name);
        }
        ::closedir(dir);
    }
    std::sort(files.begin(), files.end());
    std::vector<Case> cases;
    for (const std::string &file : files)
    {
        std::vector<scripted::Scenario> scenarios;
        const std::string error = scripted::LoadScenarioFile(file, scenarios);
        if (!error.empty())
        {
            // Surfaces as a failing case instead of a silently smaller suite.
            Case broken;
            broken.file = file;
            broken.scenario.name = "unreadable: " + error;
            cases.push_back(broken);
            continue;
        }
        for (const scripted::Scenario &scenario : scenarios)
            cases.push_back({file, scenario});
    }
    return cases;
}

void PrintTo(const Case &c, std::ostream *os) { *os << c.file << "#" << c.scenario.name; }

std::string CaseName(const testing::TestParamInfo<Case> &info)
{
    return TestName(info.param.scenario.name);
}

class Scenario : public testing::TestWithParam<Case>
{
};

TEST_P(Scenario, WholeRunWritesTheExpectedTranscript)
{
    const Case &c = GetParam();
    ASSERT_TRUE(c.scenario.hasExpected) << c.scenario.name;

    const std::string report = testing::TempDir() + "hungscan-report-" + std::to_string(::getpid());
    std::remove(report.c_str());
    testproc::Options options;
    options.argv = {HUNGSCAN_SCRIPTED_EXE};
    options.argv.insert(options.argv.end(), c.scenario.arguments.begin(), c.scenario.arguments.end());
    options.env = {"HUNGSCAN_SCENARIO=" + c.file + "#" + c.scenario.name, "HUNGSCAN_SCRIPTED_REPORT=" + report};
    options.in = testproc::Stream::Null;
    const testproc::Result run = testproc::Run(options);

    EXPECT_TRUE(run.exited) << "signal " << run.signal << (run.timedOut ? ", timed out" : "");
    EXPECT_EQ(run.status, c.scenario.status);
    EXPECT_EQ(run.out, c.scenario.expected);
    EXPECT_EQ(run.err, c.scenario.expectedErrors);

    std::ifstream in(report);
    std::stringstream trace;
    trace << in.rdbuf();
    // A system log that cannot be opened stops the run before any scan.
    EXPECT_EQ(trace.str().find("call EnumWindows(") != std::string::npos, c.scenario.eventLogOpens)
        << "trace at " << report << ":\n" << trace.str();
    EXPECT_EQ(trace.str().find("violation"), std::string::npos) << trace.str();
    std::string logged, expectedLog;
    std::vector<std::string> writes; // quoted, as the trace gives them
    for (std::string line; std::getline(trace, line);)
    {
        if (line.compare(0, 7, "logged ") == 0)
            logged += line.substr(7) + "\n";
        if (line.compare(0, 6, "wrote ") == 0)
            writes.push_back(line.substr(6));
    }
    // Every write but the run's last (the trailer before the wait for Enter) ends on a line end:
    // a process ended between two writes, as a closed console ends it, leaves no line cut short.
    const std::string lineEnd = "\\x0A\"";
    for (size_t i = 0; i + 1 < writes.size(); ++i)
        EXPECT_TRUE(writes[i].size() > lineEnd.size() &&
                    writes[i].compare(writes[i].size() - lineEnd.size(), lineEnd.size(), lineEnd) == 0)
            << "write " << i << " ends inside a line: " << writes[i];
    for (const std::string &event : c.scenario.expectedLog)
        expectedLog += scripted::QuoteValue(event) + "\n";
    EXPECT_EQ(logged, expectedLog);
    std::remove(report.c_str());
}

TEST_P(Scenario, EachCheckFollowsThePlatformRules)
{
    const Case &c = GetParam();
    if (!c.scenario.arguments.empty())
        GTEST_SKIP() << "a watch: its checks run in the whole run";
    scripted::Load(c.scenario);
    std::string flushed, pending;
    {
        FlushRecorder out;
        scripted::SetFlushedOutput([&out] { return out.flushed(); });
        EnumWindows(CheckWindowProc, 0);
        FinishWindowChecks();
        scripted::SetFlushedOutput(nullptr);
        flushed = out.flushed();
        pending = out.pending();
    }
    const scripted::Trace &trace = scripted::GetTrace();
    EXPECT_TRUE(trace.violations.empty()) << testing::PrintToString(trace.violations);
    EXPECT_EQ(trace.opened, trace.closed);
    for (BOOL result : trace.callbackResults)
        EXPECT_EQ(result, TRUE);
    // Every block ends on a line end, and a line end flushes.
    EXPECT_EQ(pending, "");
    // The blocks are exactly what the whole run writes between the banner and the rest.
    const std::string banner = "Checking for unresponsive windows...\n";
    EXPECT_EQ(c.scenario.expected.compare(0, banner.size() + flushed.size(), banner + flushed), 0)
        << "in-process blocks:\n" << flushed;
}

INSTANTIATE_TEST_SUITE_P(Files, Scenario, testing::ValuesIn(AllScenarios()), CaseName);

} // namespace

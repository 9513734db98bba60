// The run as a user meets it: arguments, the final wait, and standard streams that are closed,
// at end of file or broken. Every scan must end by itself with status 0 and write nothing to
// standard error.

#include "process.h"
#include "test_names.h"

#include <gtest/gtest.h>

#include <sstream>
#include <unistd.h>

namespace {

const char kOneFrozen[] =
    "Checking for unresponsive windows...\n"
    "\n"
    "Unresponsive Window:\n"
    " Caption: Untitled - Notepad\n"
    " Path: C:\\Windows\\notepad.exe\n"
    "\n"
    "\n"
    "Done.";

testproc::Options OneFrozenWindow()
{
    testproc::Options options;
    options.argv = {HUNGSCAN_SCRIPTED_EXE};
    options.env = {std::string("HUNGSCAN_SCENARIO=") + HUNGSCAN_SCENARIO_DIR + "/runs.scenario#one-frozen-window"};
    return options;
}

struct StreamsCase
{
    const char *what;
    std::vector<std::string> args;
    testproc::Stream in;
    std::string input;
    testproc::Stream out;
    bool transcriptReadable;
    int status; // a report that could not be written is not a success
    const char *err;
};

#define CANNOT_WRITE "hungscan: cannot write the report: "

const StreamsCase kStreamsCases[] = {
    {"Enter ends the wait", {}, testproc::Stream::Pipe, "\n", testproc::Stream::Pipe, true, 0, ""},
    {"any one character ends the wait", {}, testproc::Stream::Pipe, "q", testproc::Stream::Pipe, true, 0, ""},
    {"input at end of file", {}, testproc::Stream::Null, "", testproc::Stream::Pipe, true, 0, ""},
    {"empty input pipe", {}, testproc::Stream::Pipe, "", testproc::Stream::Pipe, true, 0, ""},
    {"no standard input at all", {}, testproc::Stream::Closed, "", testproc::Stream::Pipe, true, 0, ""},
    {"no standard output at all", {}, testproc::Stream::Null, "", testproc::Stream::Closed, false, 1, CANNOT_WRITE "Bad file descriptor\n"},
    {"standard output discarded", {}, testproc::Stream::Null, "", testproc::Stream::Null, false, 0, ""},
    {"reader of the output gone", {}, testproc::Stream::Null, "", testproc::Stream::Broken, false, 1, CANNOT_WRITE "Broken pipe\n"},
    {"records with no standard output", {"--json"}, testproc::Stream::Null, "", testproc::Stream::Closed, false, 1, CANNOT_WRITE "Bad file descriptor\n"},
    {"watch with no standard output", {"--watch"}, testproc::Stream::Null, "", testproc::Stream::Closed, false, 1,
     "hungscan: watching every 2 s; press Enter to stop\n" CANNOT_WRITE "Bad file descriptor\n"},
    {"watch whose reader has gone", {"--watch"}, testproc::Stream::Null, "", testproc::Stream::Broken, false, 1,
     "hungscan: watching every 2 s; press Enter to stop\n" CANNOT_WRITE "Broken pipe\n"},
};

class Streams : public testing::TestWithParam<StreamsCase>
{
};

TEST_P(Streams, RunEndsByItself)
{
    const StreamsCase &c = GetParam();
    testproc::Options options = OneFrozenWindow();
    options.argv.insert(options.argv.end(), c.args.begin(), c.args.end());
    options.in = c.in;
    options.input = c.input;
    options.out = c.out;
    options.timeoutMs = 10000;
    const testproc::Result run = testproc::Run(options);

    EXPECT_TRUE(run.exited) << c.what << ": signal " << run.signal << (run.timedOut ? ", timed out" : "");
    EXPECT_EQ(run.status, c.status) << c.what;
    EXPECT_EQ(run.err, c.err) << c.what;
    if (c.transcriptReadable)
    {
        EXPECT_EQ(run.out, kOneFrozen) << c.what;
    }
}

void PrintTo(const StreamsCase &c, std::ostream *os) { *os << c.what; }

INSTANTIATE_TEST_SUITE_P(Run, Streams, testing::ValuesIn(kStreamsCases),
                         [](const testing::TestParamInfo<StreamsCase> &param) { return TestName(param.param.what); });

// Options never scan; anything else is refused before a scan could start and wait for Enter.
struct ArgumentsCase
{
    std::vector<std::string> args;
    int status;
    const char *out;   // the start of standard output
    const char *error; // the first line of standard error
};

const char kUsage[] = "Usage: hungscan [--watch[=SECONDS]] [--why] [--json] [--log]\n";

const ArgumentsCase kArgumentsCases[] = {
    {{"--help"}, 0, kUsage, ""},
    {{"-H"}, 0, kUsage, ""},
    {{"/?"}, 0, kUsage, ""},
    {{"--version"}, 0, "hungscan " HUNGSCAN_VERSION "\nCopyright (c) 2026 The hungscan developers\nMIT License", ""},
    {{"--watch=5", "--help"}, 0, kUsage, ""},
    {{"--bogus", "/?"}, 0, kUsage, ""},
    {{"-v"}, 2, "", "hungscan: unknown option '-v'"},
    {{"--x\n\x1b[2J"}, 2, "", "hungscan: unknown option '--x??[2J'"},
    {{""}, 2, "", "hungscan: unknown option ''"},
    {{"--watching"}, 2, "", "hungscan: unknown option '--watching'"},
    {{"--watch=0"}, 2, "", "hungscan: the interval must be a whole number of seconds from 1 to 3600: '--watch=0'"},
    {{"/watch:3601"}, 2, "", "hungscan: the interval must be a whole number of seconds from 1 to 3600: '/watch:3601'"},
    {{"--watch=000003601"}, 2, "", "hungscan: the interval must be a whole number of seconds from 1 to 3600: '--watch=000003601'"},
    {{"--watch=+5"}, 2, "", "hungscan: the interval must be a whole number of seconds from 1 to 3600: '--watch=+5'"},
    {{"/watch=5"}, 2, "", "hungscan: use /watch:5 for an interval"},
    {{"--WATCH:30"}, 2, "", "hungscan: use --watch=30 for an interval"},
    {{"/watch=now"}, 2, "", "hungscan: unknown option '/watch=now'"},
    {{"--watch", "5"}, 2, "", "hungscan: use --watch=5 for an interval"},
    {{"/WATCH", "30"}, 2, "", "hungscan: use /watch:30 for an interval"},
    {{"--watch", "now"}, 2, "", "hungscan: unknown option 'now'"},
    {{"--json", "/why", "/JSON"}, 2, "", "hungscan: '/JSON' given twice"},
    {{"--watch=2", "--watch"}, 2, "", "hungscan: '--watch' given twice"},
    {{"--log", "/LOG"}, 2, "", "hungscan: '/LOG' given twice"},
    {{"--version", "--json"}, 2, "", "hungscan: --version takes no other option"},
    {{"/Version"}, 0, "hungscan " HUNGSCAN_VERSION "\nCopyright", ""},
    {{"/why", "/version"}, 2, "", "hungscan: /version takes no other option"},
};

class Arguments : public testing::TestWithParam<ArgumentsCase>
{
};

TEST_P(Arguments, AreAnsweredWithoutAScan)
{
    const ArgumentsCase &c = GetParam();
    testproc::Options options = OneFrozenWindow();
    options.argv.insert(options.argv.end(), c.args.begin(), c.args.end());
    options.in = testproc::Stream::Null;
    options.timeoutMs = 10000;
    const testproc::Result run = testproc::Run(options);

    EXPECT_TRUE(run.exited);
    EXPECT_EQ(run.status, c.status);
    EXPECT_EQ(run.out.compare(0, std::string(c.out).size(), c.out), 0) << run.out;
    EXPECT_EQ(run.out.find("Checking"), std::string::npos) << run.out;
    // A refusal is one line and where to learn more, not the whole usage.
    EXPECT_EQ(run.err, c.status != 0 ? std::string(c.error) + "\nTry 'hungscan --help'.\n" : "");
}

void PrintTo(const ArgumentsCase &c, std::ostream *os) { *os << testing::PrintToString(c.args); }

INSTANTIATE_TEST_SUITE_P(Run, Arguments, testing::ValuesIn(kArgumentsCases));

// An 80-column console wraps a line of 80 characters or more.
TEST(Help, FitsAnEightyColumnConsole)
{
    testproc::Options options = OneFrozenWindow();
    options.argv.push_back("--help");
    const testproc::Result run = testproc::Run(options);
    std::istringstream lines(run.out);
    std::string line;
    int count = 0;
    while (std::getline(lines, line) && ++count)
        EXPECT_LE(line.size(), 79u) << line;
    EXPECT_GT(count, 10) << run.out;
}

TEST(Wait, TrailerIsOutBeforeTheWaitAndEnterEndsIt)
{
    testproc::Options options = OneFrozenWindow();
    options.closeInput = false;
    testproc::Session session;
    ASSERT_TRUE(testproc::Start(options, session));

    EXPECT_TRUE(testproc::ReadUntil(session, "\n\nDone.", 10000)) << session.out;
    ::usleep(300 * 1000);
    EXPECT_TRUE(testproc::Running(session)) << "ended before the user answered";

    testproc::Write(session, "\n");
    const testproc::Result run = testproc::Finish(session, 10000);
    EXPECT_FALSE(run.timedOut) << "Enter did not end the wait";
    EXPECT_TRUE(run.exited);
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, kOneFrozen);
    EXPECT_EQ(run.err, "");
}

} // namespace

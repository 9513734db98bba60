// Lets the scripted executable play a scenario named in its environment:
//   HUNGSCAN_SCENARIO=FILE#NAME        the scenario to play (none: an empty desktop)
//   HUNGSCAN_SCRIPTED_REPORT=FILE      where the trace goes when the enumeration ends
// Problems with the scenario itself go to the report too, never to the program's own streams.

#include "scripted.h"
#include "scripted_trace.h"

#include <csignal>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <streambuf>
#include <string>

namespace {

// Standard output as the C runtime on Windows hands it to the system: to a console each piece at
// once, in a write of its own ("stdout and stderr are flushed whenever they are full or, if they
// are writing to a character device, after each library call"); to a file or a pipe, what was
// flushed. A failed write keeps its text, as the runtime's buffer does.
// https://learn.microsoft.com/cpp/c-runtime-library/stream-i-o
class RuntimeOutput : public std::streambuf
{
protected:
    int_type overflow(int_type c) override
    {
        if (traits_type::eq_int_type(c, traits_type::eof()))
            return traits_type::not_eof(c);
        pending_.push_back(traits_type::to_char_type(c));
        return Piece() ? c : traits_type::eof();
    }
    std::streamsize xsputn(const char *s, std::streamsize n) override
    {
        pending_.append(s, static_cast<size_t>(n));
        return Piece() ? n : 0;
    }
    int sync() override { return Flush() ? 0 : -1; }

private:
    bool Piece() { return !scripted::OutputIsConsole() || Flush(); }
    bool Flush()
    {
        if (pending_.empty())
            return true;
        if (!scripted::WriteStandardOutput(pending_))
            return false;
        pending_.clear();
        return true;
    }
    std::string pending_;
};

void Fail(const char *reportPath, const std::string &message)
{
    if (reportPath != nullptr)
        std::ofstream(reportPath, std::ios::binary | std::ios::trunc) << "violation " << message << "\n";
    std::_Exit(3);
}

struct LoadFromEnvironment
{
    LoadFromEnvironment()
    {
        // Windows has no SIGPIPE: a write to a pipe whose reader has gone fails, and the
        // program goes on. Keep that here so the program meets the same platform.
        std::signal(SIGPIPE, SIG_IGN);
        // Never destroyed: the streams are flushed at exit.
        std::cout.rdbuf(new RuntimeOutput);

        const char *report = std::getenv("HUNGSCAN_SCRIPTED_REPORT");
        if (report != nullptr)
            scripted::SetReportPath(report);
        // Written again at the end, with what the calls after the last enumeration did (the
        // verdicts' wait chains, the closing of their session). What it reads is made first, so
        // that it outlives the handler.
        scripted::GetTrace();
        scripted::SetFlushedOutput(nullptr);
        std::atexit([] { scripted::WriteReport(); });
        const char *named = std::getenv("HUNGSCAN_SCENARIO");
        if (named == nullptr)
            return;
        const std::string value = named;
        const size_t hash = value.rfind('#');
        if (hash == std::string::npos)
            Fail(report, "HUNGSCAN_SCENARIO must be FILE#NAME");
        std::vector<scripted::Scenario> scenarios;
        const std::string error = scripted::LoadScenarioFile(value.substr(0, hash), scenarios);
        if (!error.empty())
            Fail(report, error);
        for (const scripted::Scenario &scenario : scenarios)
        {
            if (scenario.name == value.substr(hash + 1))
            {
                scripted::Load(scenario);
                return;
            }
        }
        Fail(report, "no scenario named " + value.substr(hash + 1));
    }
};

const LoadFromEnvironment loadFromEnvironment;

} // namespace

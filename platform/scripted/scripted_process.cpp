// Lets the scripted executable play a scenario named in its environment:
//   HUNGSCAN_SCENARIO=FILE#NAME        the scenario to play (none: an empty desktop)
//   HUNGSCAN_SCRIPTED_REPORT=FILE      where the trace goes when the enumeration ends
// Problems with the scenario itself go to the report too, never to the program's own streams.

#include "scripted.h"
#include "scripted_trace.h"

#include <csignal>
#include <cstdlib>
#include <fstream>

namespace {

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

// Writes every scenario of the given files as a fuzzer input into a corpus folder.
//   make_seeds CORPUS_DIR FILE.scenario...

#include "fuzz_input.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

int main(int argc, char **argv)
{
    if (argc < 3)
    {
        std::fprintf(stderr, "usage: make_seeds CORPUS_DIR FILE.scenario...\n");
        return 2;
    }
    std::filesystem::create_directories(argv[1]);
    int written = 0;
    for (int i = 2; i < argc; ++i)
    {
        std::vector<scripted::Scenario> scenarios;
        const std::string error = scripted::LoadScenarioFile(argv[i], scenarios);
        if (!error.empty())
        {
            std::fprintf(stderr, "%s\n", error.c_str());
            return 1;
        }
        for (const scripted::Scenario &scenario : scenarios)
        {
            std::ofstream(std::string(argv[1]) + "/seed-" + scenario.name, std::ios::binary | std::ios::trunc)
                << EncodeFuzzInput(scenario);
            ++written;
        }
    }
    std::printf("%d seeds\n", written);
    return 0;
}

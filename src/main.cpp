// hungscan: lists the top-level windows whose threads do not answer, with the caption of each
// and the full path of the executable that owns it.

#include <windows.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>

#include "check_window.h"
#include "watch.h"

static const char VERSION_TEXT[] =
    "hungscan " HUNGSCAN_VERSION "\n"
    "Copyright (c) 2026 The hungscan developers\n"
    "MIT License: free to use, copy, change and share; no warranty.\n";

static const char USAGE_TEXT[] =
    "Usage: hungscan [--watch[=SECONDS]]\n"
    "\n"
    "Lists the top-level windows whose threads do not answer, with the caption of each and the\n"
    "full path of the program that owns it, then waits for Enter.\n"
    "\n"
    "  --watch[=SECONDS]  scan every SECONDS (1 to 3600, default 2) and write a line whenever a\n"
    "                     window stops answering, answers again or goes while it does not answer;\n"
    "                     Enter, Ctrl+C or Ctrl+Break ends the watch\n"
    "  --help             show this help (also -h and /?)\n"
    "  --version          show the version\n"
    "\n"
    "/watch[:SECONDS] is the same as --watch[=SECONDS].\n";

enum Command
{
    COMMAND_SCAN,
    COMMAND_WATCH,
    COMMAND_HELP,
    COMMAND_VERSION,
    COMMAND_WRONG,
};

// Case is ignored, as Windows' own commands ignore it in their options.
static BOOL SameOption(const std::string &given, const char *option)
{
    std::string lower = given;
    for (char &c : lower)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return lower == option;
}

static BOOL IsHelp(const std::string &argument)
{
    return SameOption(argument, "--help") || SameOption(argument, "-h") || argument == "/?";
}

static BOOL IsWatch(const std::string &argument)
{
    return SameOption(argument.substr(0, 7), "--watch") || SameOption(argument.substr(0, 6), "/watch");
}

// A whole number of seconds from 1 to WATCH_MAX_SECONDS, nothing else; leading zeros change
// nothing, however many.
static BOOL ParseSeconds(const std::string &text, UINT *seconds)
{
    if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos)
        return FALSE;
    const std::string digits = text.substr(std::min(text.find_first_not_of('0'), text.size()));
    if (digits.size() > 4)
        return FALSE;
    const unsigned long value = std::strtoul(digits.c_str(), NULL, 10);
    if (value < 1 || value > WATCH_MAX_SECONDS)
        return FALSE;
    *seconds = static_cast<UINT>(value);
    return TRUE;
}

// Until options existed, arguments were ignored; now a mistyped one must not quietly become a
// scan that then waits for Enter.
static Command ReadArguments(int argc, char *argv[], UINT *seconds, std::string *problem)
{
    if (argc <= 1)
        return COMMAND_SCAN;
    // Help answers whatever else the line holds, as people expect of a command they are
    // trying to learn.
    for (int i = 1; i < argc; ++i)
        if (IsHelp(argv[i]))
            return COMMAND_HELP;
    const std::string argument = argv[1];
    if (argc > 2)
    {
        const std::string next = argv[2];
        // "--watch 5": the interval belongs inside the option.
        if (argc == 3 && IsWatch(argument) && next.find_first_not_of("0123456789") == std::string::npos)
            *problem = argument[0] == '/' ? "use /watch:" + next + " for an interval"
                                          : "use --watch=" + next + " for an interval";
        else
            *problem = "one option at most; unexpected '" + next + "'";
        return COMMAND_WRONG;
    }
    if (SameOption(argument, "--version"))
        return COMMAND_VERSION;

    if (IsWatch(argument))
    {
        const size_t nameLength = argument[0] == '/' ? 6 : 7;
        const char separator = argument[0] == '/' ? ':' : '=';
        *seconds = WATCH_DEFAULT_SECONDS;
        if (argument.size() == nameLength)
            return COMMAND_WATCH;
        if (argument[nameLength] == separator)
        {
            if (ParseSeconds(argument.substr(nameLength + 1), seconds))
                return COMMAND_WATCH;
            *problem = "the interval must be a whole number of seconds from 1 to 3600: '" + argument + "'";
            return COMMAND_WRONG;
        }
    }
    *problem = "unknown option '" + argument + "'";
    return COMMAND_WRONG;
}

// An argument quoted back in a refusal is the user's text, or a script's: shown as a report
// shows a caption, on one line.
static std::string Shown(std::string text)
{
    ReplaceControlBytes(&text[0]);
    text.resize(std::strlen(text.c_str()));
    return text;
}

int main(int argc, char *argv[])
{
    UINT seconds = 0;
    std::string problem;
    switch (ReadArguments(argc, argv, &seconds, &problem))
    {
    case COMMAND_HELP:
        std::cout << USAGE_TEXT << std::flush;
        return 0;
    case COMMAND_VERSION:
        std::cout << VERSION_TEXT << std::flush;
        return 0;
    case COMMAND_WRONG:
        std::cerr << "hungscan: " << Shown(problem) << "\nTry 'hungscan --help'." << std::endl;
        return 2;
    case COMMAND_WATCH:
        return WatchWindows(seconds);
    case COMMAND_SCAN:
        break;
    }

    std::cout << "Checking for unresponsive windows..." << std::endl;

    // An enumeration that fails would otherwise leave a transcript that reads as "nothing is
    // hung"; say so, say why, and let a calling script see it in the exit status.
    int status = 0;
    if (!EnumWindows(CheckWindowProc, 0))
    {
        const DWORD error = GetLastError();
        std::cout << "\n!! Error (EnumWindows)" << std::endl;
        WriteErrorLine("cannot list the windows", error);
        status = 1;
    }
    WriteBlindSpots("were");

    std::cout << "\n\nDone." << std::flush;
    // A report that could not be written (a closed or full output, a reader gone) must not
    // read as success to the script that asked for it.
    if (!std::cout)
        status = 1;

    // std::cin is tied to std::cout, so the trailer is out before the wait. On a console the
    // read completes when the user presses Enter; at end of input it returns at once.
    std::cin.get();
    return status;
}

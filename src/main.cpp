// hungscan: lists the top-level windows whose threads do not answer, with the caption of each
// and the full path of the executable that owns it.

#include <windows.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>

#include "check_window.h"
#include "records.h"
#include "scan_options.h"
#include "watch.h"

static const char VERSION_TEXT[] =
    "hungscan " HUNGSCAN_VERSION "\n"
    "Copyright (c) 2026 The hungscan developers\n"
    "MIT License: free to use, copy, change and share; no warranty.\n";

// Within 79 columns, so that no line wraps in an 80-column console.
static const char USAGE_TEXT[] =
    "Usage: hungscan [--watch[=SECONDS]] [--why] [--json] [--log]\n"
    "\n"
    "Lists the top-level windows whose threads do not answer, with the caption of\n"
    "each and the full path of the program that owns it, then waits for Enter.\n"
    "\n"
    "  --watch[=SECONDS]  scan every SECONDS (1 to 3600, default 2) and write a\n"
    "                     line whenever a window stops answering, answers again\n"
    "                     or goes while it does not answer; Enter, Ctrl+C or\n"
    "                     Ctrl+Break ends the watch\n"
    "  --why              say why each window does not answer: its thread is\n"
    "                     suspended, busy (with its share of a core), waiting\n"
    "                     (for what, where the system can say) or deadlocked\n"
    "  --json             JSON Lines instead of the report, for scripts: one\n"
    "                     record per window, with the verdict, then a \"done\"\n"
    "                     record; no wait for Enter\n"
    "  --log              also record each event in the system log (the journal;\n"
    "                     the Application log on Windows)\n"
    "  --help             show this help (also -h and /?)\n"
    "  --version          show the version (also /version)\n"
    "\n"
    "Options combine in any order. /watch[:SECONDS], /why, /json and /log are the\n"
    "same as the long forms. Example: hungscan --watch=5 --json --why\n";

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

// What the command line asks for.
struct Arguments
{
    Command command;
    UINT seconds; // for a watch
    BOOL why;     // a verdict on each window's thread
    BOOL json;    // records instead of the report
    BOOL log;     // each event in the system log too
};

// Reads "--watch[=SECONDS]" or "/watch[:SECONDS]"; FALSE with the problem for a wrong interval.
static BOOL ReadWatch(const std::string &argument, UINT *seconds, std::string *problem)
{
    const size_t nameLength = argument[0] == '/' ? 6 : 7;
    const char separator = argument[0] == '/' ? ':' : '=';
    *seconds = WATCH_DEFAULT_SECONDS;
    if (argument.size() == nameLength)
        return TRUE;
    if (argument[nameLength] == separator && ParseSeconds(argument.substr(nameLength + 1), seconds))
        return TRUE;
    const std::string rest = argument.substr(nameLength + 1);
    if (argument[nameLength] == separator)
        *problem = "the interval must be a whole number of seconds from 1 to 3600: '" + argument + "'";
    // "/watch=5" or "--watch:5": the other form's separator.
    else if (argument[nameLength] == (separator == ':' ? '=' : ':') && !rest.empty() &&
             rest.find_first_not_of("0123456789") == std::string::npos)
        *problem = (separator == ':' ? "use /watch:" : "use --watch=") + rest + " for an interval";
    else
        *problem = "unknown option '" + argument + "'";
    return FALSE;
}

// Until options existed, arguments were ignored; now a mistyped one must not quietly become a
// scan that then waits for Enter. Options combine in any order, each at most once.
static Arguments ReadArguments(int argc, char *argv[], std::string *problem)
{
    Arguments arguments = {COMMAND_SCAN, 0, FALSE, FALSE, FALSE};
    // Help answers whatever else the line holds, as people expect of a command they are
    // trying to learn.
    for (int i = 1; i < argc; ++i)
        if (IsHelp(argv[i]))
            return Arguments{COMMAND_HELP, 0, FALSE, FALSE, FALSE};
    if (argc == 2 && (SameOption(argv[1], "--version") || SameOption(argv[1], "/version")))
        return Arguments{COMMAND_VERSION, 0, FALSE, FALSE, FALSE};
    BOOL watch = FALSE;
    for (int i = 1; i < argc; ++i)
    {
        const std::string argument = argv[i];
        BOOL *given = NULL;
        if (SameOption(argument, "--why") || SameOption(argument, "/why"))
            given = &arguments.why;
        else if (SameOption(argument, "--json") || SameOption(argument, "/json"))
            given = &arguments.json;
        else if (SameOption(argument, "--log") || SameOption(argument, "/log"))
            given = &arguments.log;
        else if (IsWatch(argument))
        {
            given = &watch;
            // "--watch 5": the interval belongs inside the option.
            const std::string next = i + 1 < argc ? argv[i + 1] : "";
            if (argument.size() == (argument[0] == '/' ? 6u : 7u) && !next.empty() &&
                next.find_first_not_of("0123456789") == std::string::npos)
            {
                *problem = argument[0] == '/' ? "use /watch:" + next + " for an interval"
                                              : "use --watch=" + next + " for an interval";
                arguments.command = COMMAND_WRONG;
                return arguments;
            }
            if (!*given && !ReadWatch(argument, &arguments.seconds, problem))
            {
                arguments.command = COMMAND_WRONG;
                return arguments;
            }
        }
        else if (SameOption(argument, "--version") || SameOption(argument, "/version"))
            *problem = std::string(argument[0] == '/' ? "/" : "--") + "version takes no other option";
        else
            *problem = "unknown option '" + argument + "'";
        if (given != NULL && *given)
            *problem = "'" + argument + "' given twice";
        if (given == NULL || *given)
        {
            arguments.command = COMMAND_WRONG;
            return arguments;
        }
        *given = TRUE;
    }
    arguments.command = watch ? COMMAND_WATCH : COMMAND_SCAN;
    return arguments;
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
    std::string problem;
    const Arguments arguments = ReadArguments(argc, argv, &problem);
    switch (arguments.command)
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
        return WatchWindows(arguments.seconds, arguments.why, arguments.json, arguments.log);
    case COMMAND_SCAN:
        break;
    }
    if (arguments.why || arguments.json || arguments.log)
    {
        const int status = ScanWithOptions(arguments.why, arguments.json, arguments.log);
        if (!ReportWritable())
            WriteReportFailure();
        return status;
    }

    WriteOutput("Checking for unresponsive windows...\n");
    ReportWritable();

    // An enumeration that fails would otherwise leave a transcript that reads as "nothing is
    // hung"; say so, say why, and let a calling script see it in the exit status.
    int status = 0;
    const BOOL listed = EnumWindows(CheckWindowProc, 0);
    const DWORD error = listed ? 0 : GetLastError();
    // The windows listed before a failure are judged all the same, as they were probed.
    FinishWindowChecks();
    if (!listed)
    {
        WriteOutput("\n!! Error (EnumWindows)\n");
        WriteErrorLine("cannot list the windows", error);
        status = 1;
    }
    WriteUnnamedOwners();
    WriteBlindSpots();

    WriteOutput("\n\nDone.");
    // A report that could not be written (a closed or full output, a reader gone) must not
    // read as success to the script that asked for it.
    if (!ReportWritable())
    {
        status = 1;
        WriteReportFailure();
    }

    // std::cin is tied to std::cout, so the trailer is out before the wait. On a console the
    // read completes when the user presses Enter; at end of input it returns at once.
    WriteHowToEnd();
    std::cin.get();
    return status;
}

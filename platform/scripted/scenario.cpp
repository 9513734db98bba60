#include "scenario.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace scripted {

namespace {

int HexDigit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

bool StartsSegment(const std::string &line, size_t pos)
{
    return pos < line.size() &&
           (line[pos] == '"' || std::isdigit(static_cast<unsigned char>(line[pos])));
}

// Reads one segment at pos: [COUNT*]"text". Returns an error message or "".
std::string ParseSegment(const std::string &line, size_t &pos, std::string &out)
{
    unsigned long count = 1;
    if (std::isdigit(static_cast<unsigned char>(line[pos])))
    {
        size_t end = pos;
        while (end < line.size() && std::isdigit(static_cast<unsigned char>(line[end])))
            ++end;
        if (end >= line.size() || line[end] != '*')
            return "a repeat count must be followed by *";
        count = std::strtoul(line.substr(pos, end - pos).c_str(), nullptr, 10);
        if (count > 1000000)
            return "repeat count too large";
        pos = end + 1;
    }
    if (pos >= line.size() || line[pos] != '"')
        return "expected a quoted string";
    ++pos;
    std::string text;
    for (;;)
    {
        if (pos >= line.size())
            return "unterminated string";
        const char c = line[pos++];
        if (c == '"')
            break;
        if (c != '\\')
        {
            text.push_back(c);
            continue;
        }
        if (pos >= line.size())
            return "unterminated escape";
        const char e = line[pos++];
        switch (e)
        {
        case '\\': text.push_back('\\'); break;
        case '"': text.push_back('"'); break;
        case 'n': text.push_back('\n'); break;
        case 'r': text.push_back('\r'); break;
        case 't': text.push_back('\t'); break;
        case 'x':
        {
            const int hi = pos < line.size() ? HexDigit(line[pos]) : -1;
            const int lo = pos + 1 < line.size() ? HexDigit(line[pos + 1]) : -1;
            if (hi < 0 || lo < 0)
                return "\\x needs two hex digits";
            text.push_back(static_cast<char>(hi * 16 + lo));
            pos += 2;
            break;
        }
        default: return std::string("unknown escape \\") + e;
        }
    }
    for (unsigned long i = 0; i < count; ++i)
        out += text;
    return "";
}

// Reads the segments of one value at pos; blanks may separate them, since no other word starts
// with a digit or a quote.
std::string ParseValue(const std::string &line, size_t &pos, std::string &out)
{
    out.clear();
    if (!StartsSegment(line, pos))
        return "expected a value";
    for (;;)
    {
        const std::string error = ParseSegment(line, pos, out);
        if (!error.empty())
            return error;
        size_t next = pos;
        while (next < line.size() && (line[next] == ' ' || line[next] == '\t'))
                ++next;
        if (!StartsSegment(line, next))
            return "";
        pos = next;
    }
}

std::string ParseWindow(const std::string &line, size_t pos, Window &window)
{
    bool haveState = false;
    for (;;)
    {
        while (pos < line.size() && (line[pos] == ' ' || line[pos] == '\t'))
            ++pos;
        if (pos >= line.size())
            break;
        size_t end = pos;
        while (end < line.size() && line[end] != ' ' && line[end] != '\t' && line[end] != '=')
            ++end;
        const std::string word = line.substr(pos, end - pos);
        pos = end;
        if (pos < line.size() && line[pos] == '=')
        {
            ++pos;
            if (word == "caption" || word == "path" || word == "wide-caption" || word == "wchan")
            {
                std::string value;
                const std::string error = ParseValue(line, pos, value);
                if (!error.empty())
                    return word + ": " + error;
                (word == "caption" ? window.caption : word == "path" ? window.path : word == "wchan" ? window.wchan
                                                                                                   : window.wideCaption) = value;
                window.hasWideCaption = window.hasWideCaption || word == "wide-caption";
                if (value.find('\0') != std::string::npos)
                    return word + ": the platform's texts cannot hold NUL";
            }
            else if (word == "wait-kind")
            {
                size_t end2 = pos;
                while (end2 < line.size() && line[end2] != ' ' && line[end2] != '\t')
                    ++end2;
                window.waitKind = line.substr(pos, end2 - pos);
                pos = end2;
            }
            else if (word == "owner" || word == "error" || word == "id" || word == "busy" || word == "waits-for" ||
                     word == "exits-at" || word == "chain-after" ||
                     word == "after" || word == "gone-after")
            {
                size_t digits = pos;
                while (digits < line.size() && std::isdigit(static_cast<unsigned char>(line[digits])))
                    ++digits;
                if (digits == pos)
                    return word + " needs a number";
                const unsigned long number = std::strtoul(line.substr(pos, digits - pos).c_str(), nullptr, 10);
                if (word == "owner")
                    window.owner = static_cast<DWORD>(number);
                else if (word == "busy")
                    window.busyPercent = static_cast<int>(number);
                else if (word == "waits-for")
                    window.waitsFor = static_cast<DWORD>(number);
                else if (word == "exits-at")
                    window.exitsAtMs = static_cast<long>(number);
                else if (word == "chain-after")
                    window.chainAfterMs = static_cast<long>(number);
                else if (word == "after")
                    window.answerMs = static_cast<long>(number);
                else if (word == "gone-after")
                    window.goneAfterMs = static_cast<long>(number);
                else if (word == "id")
                    window.id = static_cast<long>(number);
                else
                    window.probeError = static_cast<long>(number);
                pos = digits;
            }
            else
                return "unknown attribute " + word;
            continue;
        }
        if (word == "answers" || word == "times-out" || word == "deemed-hung" || word == "gone" || word == "refused")
        {
            if (haveState)
                return "a window has one state";
            haveState = true;
            window.probe = word == "answers"       ? Probe::Answers
                           : word == "times-out"   ? Probe::TimesOut
                           : word == "deemed-hung" ? Probe::DeemedHung
                           : word == "gone"        ? Probe::Gone
                                                   : Probe::Refused;
        }
        else if (word == "caption-unreadable")
            window.captionReadable = false;
        else if (word == "denied")
            window.opens = false;
        else if (word == "unopenable")
            window.opens = window.limitedOpens = false;
        else if (word == "suspend-count-fails")
            window.suspendCountWorks = false;
        else if (word == "thread-times-fail")
            window.threadTimesWork = false;
        else if (word == "unknown-wait")
            window.unknownWait = true;
        else if (word == "chain-never")
            window.chainAfterMs = -1;
        else if (word == "path-unreadable")
            window.pathReadable = false;
        else if (word == "path-unterminated")
            window.pathTerminated = false;
        else if (word == "module-path-fails")
            window.moduleLookupWorks = false;
        else if (word == "owner-frozen")
            window.ownerFrozen = true;
        else if (word == "query-refused")
            window.queryRefused = true;
        else if (word == "suspended")
            window.suspended = true;
        else if (word == "deadlocked")
            window.deadlocked = true;
        else if (word == "disk")
            window.disk = true;
        else if (word == "thread-unopenable")
            window.threadOpens = false;
        else
            return "unknown word " + word;
    }
    if (!haveState)
        return "a window needs a state (answers, times-out, deemed-hung, gone or refused)";
    return "";
}

} // namespace

std::string ParseScenarios(const std::string &text, std::vector<Scenario> &out)
{
    std::istringstream lines(text);
    std::string line;
    int number = 0;
    bool inExpect = false;
    std::vector<std::string> expectLines;
    Scenario *current = nullptr;

    auto fail = [&number](const std::string &message) {
        return "line " + std::to_string(number) + ": " + message;
    };

    while (std::getline(lines, line))
    {
        ++number;
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (inExpect)
        {
            if (line == "end")
            {
                inExpect = false;
                current->hasExpected = true;
                current->expected.clear();
                for (size_t i = 0; i < expectLines.size(); ++i)
                    current->expected += (i ? "\n" : "") + expectLines[i];
                continue;
            }
            size_t pos = line.find_first_not_of(" \t");
            if (pos == std::string::npos)
                return fail("write an empty transcript line as \"\"");
            std::string value;
            const std::string error = ParseValue(line, pos, value);
            if (!error.empty())
                return fail(error);
            if (line.find_first_not_of(" \t", pos) != std::string::npos)
                return fail("unexpected text after the value");
            expectLines.push_back(value);
            continue;
        }

        const size_t start = line.find_first_not_of(" \t");
        if (start == std::string::npos || line[start] == '#')
            continue;
        const size_t end = line.find_first_of(" \t", start);
        const std::string keyword = line.substr(start, end == std::string::npos ? std::string::npos : end - start);
        const std::string rest = end == std::string::npos ? "" : line.substr(end);
        const size_t restStart = rest.find_first_not_of(" \t");
        const std::string argument = restStart == std::string::npos ? "" : rest.substr(restStart);

        if (keyword == "scenario")
        {
            if (argument.empty())
                return fail("a scenario needs a name");
            out.emplace_back();
            current = &out.back();
            current->name = argument;
            continue;
        }
        if (current == nullptr)
            return fail("'" + keyword + "' before the first scenario");
        // "at=S" at the end of a line, in whole seconds, as milliseconds.
        auto seconds = [&argument](long &ms) {
            const size_t at = argument.rfind("at=");
            if (at == std::string::npos || at + 3 >= argument.size() ||
                argument.find_first_not_of("0123456789", at + 3) != std::string::npos)
                return false;
            ms = std::strtol(argument.c_str() + at + 3, nullptr, 10) * 1000;
            return true;
        };
        if (keyword == "window")
        {
            Window window;
            const std::string error = ParseWindow(rest, 0, window);
            if (!error.empty())
                return fail(error);
            (current->later.empty() ? current->windows : current->later.back().windows).push_back(window);
        }
        else if (keyword == "enumeration")
        {
            const std::string prefix = "fails-after=";
            if (argument.compare(0, prefix.size(), prefix) != 0 || argument.size() == prefix.size())
                return fail("expected enumeration fails-after=N [error=N]");
            const bool first = current->later.empty();
            long &failsAfter = first ? current->enumFailsAfter : current->later.back().enumFailsAfter;
            DWORD &failure = first ? current->enumError : current->later.back().enumError;
            char *after = nullptr;
            failsAfter = std::strtol(argument.c_str() + prefix.size(), &after, 10);
            const std::string error = after;
            if (error.compare(0, 7, " error=") == 0)
                failure = static_cast<DWORD>(std::strtoul(error.c_str() + 7, nullptr, 10));
            else if (!error.empty())
                return fail("expected enumeration fails-after=N [error=N]");
        }
        else if (keyword == "event-log")
        {
            // "refuses [error=N]" or "fails-after=N [error=N]"
            char *after = nullptr;
            DWORD *failure = nullptr;
            if (argument.compare(0, 7, "refuses") == 0)
            {
                current->eventLogOpens = false;
                after = const_cast<char *>(argument.c_str()) + 7;
                failure = &current->eventLogError;
            }
            else if (argument.compare(0, 12, "fails-after=") == 0 && argument.size() > 12)
            {
                current->eventLogFailsAfter = std::strtol(argument.c_str() + 12, &after, 10);
                failure = &current->eventLogFailError;
            }
            else
                return fail("expected event-log refuses [error=N] or event-log fails-after=N [error=N]");
            const std::string error = after;
            if (error.compare(0, 7, " error=") == 0)
                *failure = static_cast<DWORD>(std::strtoul(error.c_str() + 7, nullptr, 10));
            else if (!error.empty())
                return fail("expected event-log refuses [error=N] or event-log fails-after=N [error=N]");
        }
        else if (keyword == "logged")
        {
            size_t pos = 0;
            std::string value;
            const std::string error = ParseValue(argument, pos, value);
            if (!error.empty())
                return fail(error);
            current->expectedLog.push_back(value);
        }
        else if (keyword == "wow64")
            current->wow64 = true;
        else if (keyword == "no-wait-chains")
            current->waitChains = false;
        else if (keyword == "debug-privilege")
            current->debugPrivilege = true;
        else if (keyword == "no-com-state")
            current->comStateCalls = false;
        else if (keyword == "output-pipe")
        {
            if (argument != "byte" && argument != "message")
                return fail("expected output-pipe byte or output-pipe message");
            current->outputPipe = argument == "byte" ? 1 : 2;
        }
        else if (keyword == "slow-output")
        {
            if (argument.compare(0, 3, "ms=") != 0 || argument.size() == 3 ||
                argument.find_first_not_of("0123456789", 3) != std::string::npos)
                return fail("expected slow-output ms=N");
            current->outputWriteMs = std::strtol(argument.c_str() + 3, nullptr, 10);
        }
        else if (keyword == "message-wait-fails")
            current->messageWaitFails = true;
        else if (keyword == "codepage")
            current->codePage = static_cast<UINT>(std::strtoul(argument.c_str(), nullptr, 10));
        else if (keyword == "environment")
        {
            const size_t equals = argument.find('=');
            if (equals == std::string::npos || equals == 0)
                return fail("expected environment NAME=VALUE");
            current->environment.emplace_back(argument.substr(0, equals), argument.substr(equals + 1));
        }
        else if (keyword == "console")
        {
            std::istringstream handles(argument);
            std::string handle;
            while (handles >> handle)
            {
                if (handle == "input")
                    current->consoleInput = true;
                else if (handle == "output")
                    current->consoleOutput = true;
                else
                    return fail("expected console input|output...");
            }
            if (!current->consoleInput && !current->consoleOutput)
                return fail("expected console input|output...");
        }
        else if (keyword == "stderr")
        {
            size_t pos = 0;
            std::string value;
            const std::string error = ParseValue(argument, pos, value);
            if (!error.empty())
                return fail(error);
            current->expectedErrors += value + "\n";
        }
        else if (keyword == "argument")
        {
            size_t pos = 0;
            std::string value;
            const std::string error = ParseValue(argument, pos, value);
            if (!error.empty())
                return fail(error);
            current->arguments.push_back(value);
        }
        else if (keyword == "desktop")
        {
            Desktop desktop;
            if (!seconds(desktop.atMs) || argument.compare(0, 3, "at=") != 0)
                return fail("expected desktop at=SECONDS");
            if (desktop.atMs <= (current->later.empty() ? 0 : current->later.back().atMs))
                return fail("desktops follow each other in time");
            current->later.push_back(desktop);
        }
        else if (keyword == "stop")
        {
            Stop stop;
            const std::string kind = argument.substr(0, argument.find(' '));
            if (kind == "enter")
                stop.kind = Stop::Enter;
            else if (kind == "ctrl-c")
                stop.kind = Stop::CtrlC;
            else if (kind == "ctrl-break")
                stop.kind = Stop::CtrlBreak;
            else if (kind == "close")
                stop.kind = Stop::Close;
            else
                return fail("expected stop enter|ctrl-c|ctrl-break|close at=SECONDS");
            if (!seconds(stop.atMs))
                return fail("expected stop enter|ctrl-c|ctrl-break|close at=SECONDS");
            if (!current->stops.empty() && stop.atMs < current->stops.back().atMs)
                return fail("stops follow each other in time");
            current->stops.push_back(stop);
        }
        else if (keyword == "status")
            current->status = std::atoi(argument.c_str());
        else if (keyword == "expect")
        {
            inExpect = true;
            expectLines.clear();
        }
        else
            return fail("unknown keyword " + keyword);
    }
    if (inExpect)
        return fail("expect without end");
    return "";
}

std::string LoadScenarioFile(const std::string &path, std::vector<Scenario> &out)
{
    std::ifstream file(path, std::ios::binary);
    if (!file)
        return "cannot read " + path;
    std::ostringstream text;
    text << file.rdbuf();
    const std::string error = ParseScenarios(text.str(), out);
    return error.empty() ? "" : path + ": " + error;
}

std::string QuoteValue(const std::string &value)
{
    std::string quoted = "\"";
    for (const char byte : value)
    {
        const unsigned char c = static_cast<unsigned char>(byte);
        if (c == '\\' || c == '"')
            quoted += {'\\', byte};
        else if (c == '\t')
            quoted += "\\t";
        else if (c < 0x20 || c == 0x7F)
        {
            char escaped[5];
            std::snprintf(escaped, sizeof escaped, "\\x%02X", c);
            quoted += escaped;
        }
        else
            quoted += static_cast<char>(c);
    }
    return quoted + "\"";
}

} // namespace scripted

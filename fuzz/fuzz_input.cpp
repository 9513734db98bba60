#include "fuzz_input.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <vector>

namespace {

const std::size_t kMaxOwners = 8;
const std::size_t kTextLimit = 1023;
const DWORD kFirstOwnerId = 100;

struct Reader
{
    const std::uint8_t *data;
    std::size_t size;
    std::size_t pos = 0;

    bool done() const { return pos >= size; }
    std::uint8_t byte() { return pos < size ? data[pos++] : 0; }

    std::string text()
    {
        const unsigned low = byte();
        const unsigned length = low | (static_cast<unsigned>(byte()) << 8);
        std::string out;
        if (length & 0x8000)
        {
            const char c = static_cast<char>(byte());
            out.assign((length & 0x7FFF) % 4096, c == '\0' ? '\x01' : c);
            return out;
        }
        const std::size_t take = std::min<std::size_t>(length, size - std::min(pos, size));
        out.assign(reinterpret_cast<const char *>(data + pos), take);
        pos += take;
        std::replace(out.begin(), out.end(), '\0', '\x01');
        return out;
    }
};

// What the report shows of a caption or path: control bytes as '?', at most 1023 bytes.
std::string Shown(const std::string &text)
{
    std::string shown = text.substr(0, kTextLimit);
    for (char &c : shown)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F)
            c = '?';
    return shown;
}

void PutText(std::string &out, const std::string &text)
{
    const std::size_t length = std::min<std::size_t>(text.size(), 0x7FFF);
    out.push_back(static_cast<char>(length & 0xFF));
    out.push_back(static_cast<char>(length >> 8));
    out.append(text, 0, length);
}

const scripted::Window *FirstWithOwner(const scripted::Scenario &scenario, DWORD owner)
{
    for (const scripted::Window &window : scenario.windows)
        if (window.owner == owner)
            return &window;
    return nullptr;
}

} // namespace

scripted::Scenario DecodeFuzzInput(const std::uint8_t *data, std::size_t size)
{
    Reader in{data, size};
    scripted::Scenario scenario;
    scenario.name = "fuzz";
    const std::uint8_t mode = in.byte() % 4;
    unsigned interval = 0;
    std::vector<std::uint8_t> masks;
    if (mode == 1)
        scenario.arguments.push_back("--json");
    else if (mode == 2)
        scenario.arguments.push_back(in.text());
    else if (mode == 3)
    {
        interval = 1 + in.byte() % 5u;
        scenario.arguments.push_back("--watch=" + std::to_string(interval));
        masks.resize(1 + in.byte() % 4u);
        for (std::uint8_t &mask : masks)
            mask = in.byte();
    }
    const std::uint8_t enumeration = in.byte();
    if (enumeration & 0x80)
        scenario.enumFailsAfter = enumeration & 0x7F;

    struct Owner
    {
        bool opens, pathReadable, pathTerminated, moduleLookupWorks, frozen, queryRefused;
        std::string path;
    };
    const std::uint8_t ownerCount = in.byte();
    scenario.wow64 = (ownerCount & 0x80) != 0;
    std::vector<Owner> owners(1 + ownerCount % kMaxOwners);
    for (Owner &owner : owners)
    {
        const std::uint8_t flags = in.byte();
        owner.opens = flags & 1;
        owner.pathReadable = flags & 2;
        owner.pathTerminated = flags & 4;
        owner.moduleLookupWorks = !(flags & 8);
        owner.frozen = flags & 16;
        owner.queryRefused = flags & 32;
        owner.path = in.text();
    }
    while (!in.done())
    {
        const std::uint8_t flags = in.byte();
        scripted::Window window;
        window.probe = static_cast<scripted::Probe>(flags & 3);
        if (flags & 0x80)
        {
            if (window.probe == scripted::Probe::TimesOut)
                window.probe = scripted::Probe::Refused;
            else if (window.probe == scripted::Probe::DeemedHung)
                window.probeError = 0;
            else if (window.probe == scripted::Probe::Gone)
            {
                // Waited its whole limit, and no error says so.
                window.probe = scripted::Probe::TimesOut;
                window.probeError = 0;
            }
        }
        window.captionReadable = !(flags & 4);
        window.caption = in.text();
        const std::size_t ownerIndex = ((flags >> 3) & 0x0F) % (owners.size() + 1);
        if (ownerIndex != 0)
        {
            const Owner &owner = owners[ownerIndex - 1];
            window.owner = kFirstOwnerId + static_cast<DWORD>(ownerIndex);
            window.opens = owner.opens;
            window.pathReadable = owner.pathReadable;
            window.pathTerminated = owner.pathTerminated;
            window.moduleLookupWorks = owner.moduleLookupWorks;
            window.ownerFrozen = owner.frozen;
            window.queryRefused = owner.queryRefused;
            window.path = owner.path;
        }
        scenario.windows.push_back(window);
    }

    if (mode == 2)
        scenario.stops.push_back({scripted::Stop::Enter, 0});
    for (std::size_t round = 0; round < masks.size(); ++round)
    {
        scripted::Desktop desktop;
        desktop.atMs = static_cast<long>((round + 1) * interval * 1000);
        desktop.enumFailsAfter = masks[round] & 0x80 ? scenario.enumFailsAfter : -1;
        for (std::size_t i = 0; i < scenario.windows.size(); ++i)
        {
            scripted::Window window = scenario.windows[i];
            window.id = static_cast<long>(i);
            if (masks[round] & (1u << (i % 7)))
                window.probe = window.probe == scripted::Probe::Answers ? scripted::Probe::DeemedHung
                               : round % 2 == 0                         ? scripted::Probe::Answers
                                                                         : scripted::Probe::Gone;
            desktop.windows.push_back(window);
        }
        scenario.later.push_back(desktop);
    }
    if (mode == 3)
        scenario.stops.push_back({scripted::Stop::Enter, static_cast<long>((masks.size() + 1) * interval * 1000 - 1)});
    return scenario;
}

std::string EncodeFuzzInput(const scripted::Scenario &scenario)
{
    std::string out;
    // A watch's later desktops are not carried over: the fuzzer makes its own rounds.
    out.push_back(static_cast<char>(scenario.arguments.empty() ? 0 : 2));
    if (!scenario.arguments.empty())
        PutText(out, scenario.arguments.front());
    out.push_back(static_cast<char>(
        scenario.enumFailsAfter >= 0 ? 0x80 | std::min<long>(scenario.enumFailsAfter, 0x7F) : 0));

    std::map<DWORD, std::size_t> ownerIndex;
    std::vector<const scripted::Window *> owners;
    for (const scripted::Window &window : scenario.windows)
    {
        if (window.owner != 0 && !ownerIndex.count(window.owner) && owners.size() < kMaxOwners)
        {
            owners.push_back(&window);
            ownerIndex[window.owner] = owners.size();
        }
    }
    out.push_back(static_cast<char>((owners.empty() ? 0 : owners.size() - 1) | (scenario.wow64 ? 0x80 : 0)));
    if (owners.empty())
    {
        out.push_back(1);
        PutText(out, "");
    }
    for (const scripted::Window *owner : owners)
    {
        out.push_back(static_cast<char>((owner->opens ? 1 : 0) | (owner->pathReadable ? 2 : 0) |
                                        (owner->pathTerminated ? 4 : 0) | (owner->moduleLookupWorks ? 0 : 8) |
                                        (owner->ownerFrozen ? 16 : 0) | (owner->queryRefused ? 32 : 0)));
        PutText(out, owner->path);
    }
    for (const scripted::Window &window : scenario.windows)
    {
        const auto found = ownerIndex.find(window.owner);
        const std::size_t index = found == ownerIndex.end() ? 0 : found->second;
        const bool refused = window.probe == scripted::Probe::Refused;
        const bool waitedOut = window.probe == scripted::Probe::TimesOut && window.probeError == 0;
        const bool otherError = refused || waitedOut || (window.probe == scripted::Probe::DeemedHung && window.probeError == 0);
        const int probe = static_cast<int>(refused ? scripted::Probe::TimesOut : waitedOut ? scripted::Probe::Gone : window.probe);
        out.push_back(static_cast<char>(probe | (window.captionReadable ? 0 : 4) | static_cast<int>(index << 3) |
                                        (otherError ? 0x80 : 0)));
        PutText(out, window.caption);
    }
    return out;
}

std::string ExpectedTranscript(const scripted::Scenario &scenario, int &status, std::vector<unsigned long> *reported)
{
    std::string out = "Checking for unresponsive windows...\n";
    const std::size_t count = scenario.windows.size();
    const bool fails = scenario.enumFailsAfter >= 0;
    const std::size_t reached = fails ? std::min<std::size_t>(count, static_cast<std::size_t>(scenario.enumFailsAfter)) : count;
    for (std::size_t i = 0; i < reached; ++i)
    {
        const scripted::Window &window = scenario.windows[i];
        // Only a probe left unanswered is a hang (a refused one is not, and one that waited its
        // whole limit is, whatever error it left), and not in a process the system itself has
        // frozen, as far as the system says so, on its 64-bit side too.
        if (window.probe != scripted::Probe::TimesOut && window.probe != scripted::Probe::DeemedHung)
            continue;
        const scripted::Window *owner = window.owner == 0 ? nullptr : FirstWithOwner(scenario, window.owner);
        if (owner != nullptr && owner->ownerFrozen && !owner->queryRefused)
            continue;
        if (reported != nullptr)
            reported->push_back(0x10000ul + 16ul * i); // the handle the scripted platform gives window i
        const std::string caption = window.captionReadable ? Shown(window.caption) : "";
        out += "\nUnresponsive Window:\n Caption: " + caption + "\n";
        if (owner == nullptr || !owner->opens)
        {
            out += "!! Error (OpenProcess)\n";
            continue;
        }
        // An empty path comes back as length 0, which is the call's failure result. The image
        // name, asked for when the module lookup fails, is given whole or not at all.
        if (owner->pathReadable && !owner->path.empty() &&
            (owner->moduleLookupWorks || owner->path.size() <= kTextLimit))
            out += " Path: " + Shown(owner->path) + "\n";
    }
    if (fails)
        out += "\n!! Error (EnumWindows)\n";
    out += "\n\nDone.";
    status = fails ? 1 : 0;
    return out;
}

namespace {

std::string Lower(std::string text)
{
    for (char &c : text)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return text;
}

} // namespace

std::string ExpectedCommand(const std::vector<std::string> &arguments, unsigned &interval)
{
    if (arguments.empty())
        return "scan";
    // Help answers, whatever else the line holds.
    for (const std::string &argument : arguments)
        if (Lower(argument) == "--help" || Lower(argument) == "-h" || argument == "/?")
            return "help";
    if (arguments.size() > 1)
        return "wrong";
    const std::string argument = arguments[0];
    const std::string lower = Lower(argument);
    if (lower == "--json" || lower == "/json")
        return "json";
    if (lower == "--why" || lower == "/why")
        return "why";
    if (lower == "--version" || lower == "/version")
        return "version";
    if (lower == "--log" || lower == "/log")
        return "log";
    for (const char *form : {"--watch=", "/watch:"})
    {
        const std::string name(form, std::char_traits<char>::length(form) - 1);
        if (lower == name)
        {
            interval = 2;
            return "watch";
        }
        if (lower.compare(0, name.size() + 1, form) == 0)
        {
            const std::string given = argument.substr(name.size() + 1);
            if (given.empty() || given.find_first_not_of("0123456789") != std::string::npos)
                return "wrong";
            // Leading zeros, however many, change nothing.
            const std::string digits = given.substr(std::min(given.find_first_not_of('0'), given.size()));
            if (digits.empty() || digits.size() > 4)
                return "wrong";
            interval = static_cast<unsigned>(std::stoul(digits));
            return interval >= 1 && interval <= 3600 ? "watch" : "wrong";
        }
    }
    return "wrong";
}

std::string CheckWatchOutput(const std::string &out, unsigned interval, size_t failedEnumerations)
{
    std::istringstream lines(out);
    std::string line;
    std::getline(lines, line);
    if (line != "Watching for unresponsive windows every " + std::to_string(interval) + " s. Press Enter to stop.")
        return "header: " + line;
    static const std::regex event("\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d (?:(Unresponsive|Responding again after \\d+ s|"
                                  "Gone after \\d+ s|Still unresponsive after \\d+ s): ([^\\x01-\\x1f\\x7f]*)|"
                                  "!! Error \\(EnumWindows\\))");
    std::multiset<std::string> open;
    size_t errors = 0;
    while (std::getline(lines, line) && !line.empty())
    {
        std::smatch match;
        if (!std::regex_match(line, match, event))
            return "line: " + line;
        const std::string kind = match[1];
        const std::string label = match[2];
        if (kind.empty())
            ++errors;
        else if (kind.compare(0, 5, "Still") == 0)
            return "a closing line before the end: " + line;
        else if (kind == "Unresponsive")
            open.insert(label);
        else if (open.find(label) == open.end())
            return "ends what never began: " + line;
        else
            open.erase(open.find(label));
    }
    while (std::getline(lines, line) && !line.empty())
    {
        std::smatch match;
        if (!std::regex_match(line, match, event) || std::string(match[1]).compare(0, 5, "Still") != 0 ||
            open.find(match[2]) == open.end())
            return "closing line: " + line;
        open.erase(open.find(match[2]));
    }
    if (!open.empty())
        return "not named at the end: " + *open.begin();
    if (errors != failedEnumerations)
        return std::to_string(errors) + " error lines for " + std::to_string(failedEnumerations) + " failed enumerations";
    const std::string tail = "\n\nDone.\n";
    if (out.size() < tail.size() || out.compare(out.size() - tail.size(), tail.size(), tail) != 0)
        return "no closing Done.";
    return "";
}

namespace {

// A strict reading of one JSON value (RFC 8259): true when text[pos...] holds one, pos past it.
struct JsonReader
{
    const std::string &text;
    size_t pos;
    int depth;

    void Space()
    {
        while (pos < text.size() && (text[pos] == ' ' || text[pos] == '\t' || text[pos] == '\n' || text[pos] == '\r'))
            ++pos;
    }
    bool Literal(const char *word)
    {
        const size_t length = std::char_traits<char>::length(word);
        if (text.compare(pos, length, word) != 0)
            return false;
        pos += length;
        return true;
    }
    bool String()
    {
        if (pos >= text.size() || text[pos] != '"')
            return false;
        for (++pos; pos < text.size();)
        {
            const unsigned char c = static_cast<unsigned char>(text[pos]);
            if (c == '"')
            {
                ++pos;
                return true;
            }
            if (c < 0x20)
                return false;
            if (c == '\\')
            {
                if (++pos >= text.size())
                    return false;
                const char e = text[pos++];
                if (e == 'u')
                {
                    if (pos + 4 > text.size() || text.substr(pos, 4).find_first_not_of("0123456789abcdefABCDEF") != std::string::npos)
                        return false;
                    pos += 4;
                }
                else if (std::string("\"\\/bfnrt").find(e) == std::string::npos)
                    return false;
                continue;
            }
            // One whole UTF-8 character.
            const size_t length = c < 0x80 ? 1 : (c >> 5) == 6 && c >= 0xC2 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 && c <= 0xF4 ? 4 : 0;
            if (length == 0 || pos + length > text.size())
                return false;
            for (size_t k = 1; k < length; ++k)
                if ((static_cast<unsigned char>(text[pos + k]) & 0xC0) != 0x80)
                    return false;
            pos += length;
        }
        return false;
    }
    bool Number()
    {
        const size_t start = pos;
        if (pos < text.size() && text[pos] == '-')
            ++pos;
        if (pos >= text.size() || !std::isdigit(static_cast<unsigned char>(text[pos])))
            return false;
        if (text[pos] == '0')
            ++pos;
        else
            while (pos < text.size() && std::isdigit(static_cast<unsigned char>(text[pos])))
                ++pos;
        return pos > start;
    }
    bool Value()
    {
        if (++depth > 16)
            return false;
        Space();
        bool ok = false;
        if (pos >= text.size())
            ok = false;
        else if (text[pos] == '{' || text[pos] == '[')
        {
            const char close = text[pos] == '{' ? '}' : ']';
            const bool object = close == '}';
            ++pos;
            Space();
            ok = pos < text.size() && text[pos] == close;
            if (ok)
                ++pos;
            while (!ok)
            {
                Space();
                if (object && (!String() || (Space(), pos >= text.size() || text[pos++] != ':')))
                    break;
                if (!Value())
                    break;
                Space();
                if (pos < text.size() && text[pos] == ',')
                {
                    ++pos;
                    continue;
                }
                ok = pos < text.size() && text[pos] == close;
                if (ok)
                    ++pos;
                break;
            }
        }
        else if (text[pos] == '"')
            ok = String();
        else
            ok = Literal("true") || Literal("false") || Literal("null") || Number();
        --depth;
        return ok;
    }
};

} // namespace

std::string CheckRecords(const std::string &out, const std::vector<unsigned long> &reported, int status)
{
    std::istringstream lines(out);
    std::string line;
    std::vector<unsigned long> windows;
    std::string last;
    while (std::getline(lines, line))
    {
        JsonReader reader{line, 0, 0};
        if (!reader.Value() || (reader.Space(), reader.pos != line.size()) || line[0] != '{')
            return "not one JSON object: " + line;
        static const std::string unresponsive = "{\"event\":\"unresponsive\",";
        if (line.compare(0, unresponsive.size(), unresponsive) == 0)
        {
            const size_t at = line.find("\"window\":");
            if (at == std::string::npos)
                return "a record without its window: " + line;
            windows.push_back(std::strtoul(line.c_str() + at + 9, nullptr, 10));
        }
        last = line;
    }
    if (windows != reported)
        return std::to_string(windows.size()) + " windows in records, " + std::to_string(reported.size()) + " in the report";
    static const std::string done = "{\"event\":\"done\",";
    if (last.compare(0, done.size(), done) != 0 ||
        last.find(",\"status\":" + std::to_string(status) + "}") == std::string::npos)
        return "no closing record with the status: " + last;
    return "";
}

// The command-line grammar both scene programs (Win32 and Xlib) take, one argument a group:
//
//   KIND[=MS][*COUNT][+MARK...]:HEX[:HEX...]
//
// MARKs (X11 scene only) say what the group's windows claim of their owner: "+foreign" another
// host in WM_CLIENT_MACHINE, "+nopid" no _NET_WM_PID at all, "+liar" the scene's parent's pid
// in _NET_WM_PID instead of its own; and "+moves": a frozen group's windows are moved into a
// window of the group's own when a line reaches the scene's standard input, as a window manager
// that starts takes a window into its frame.
//
// Every HEX is one window's caption, hex-encoded so that any byte survives the command line.
#ifndef HUNGSCAN_TESTS_SCENE_ARGS_H
#define HUNGSCAN_TESTS_SCENE_ARGS_H

#include <cstdlib>
#include <string>
#include <vector>

struct SceneGroupArgs
{
    std::string kind;
    long delayMs = 0;
    unsigned count = 1;
    bool foreign = false;
    bool noPid = false;
    bool liar = false;
    bool moves = false;
    std::vector<std::string> captions;
};

inline bool DecodeSceneHex(const std::string &hex, std::string &out)
{
    if (hex.size() % 2 != 0)
        return false;
    out.clear();
    for (size_t i = 0; i < hex.size(); i += 2)
    {
        const std::string pair = hex.substr(i, 2);
        char *end = nullptr;
        const long value = std::strtol(pair.c_str(), &end, 16);
        if (end == pair.c_str() || *end != '\0')
            return false;
        out.push_back(static_cast<char>(value));
    }
    return true;
}

inline bool ParseSceneGroup(const std::string &arg, SceneGroupArgs &group)
{
    std::vector<std::string> fields;
    size_t start = 0;
    for (;;)
    {
        const size_t colon = arg.find(':', start);
        fields.push_back(arg.substr(start, colon == std::string::npos ? std::string::npos : colon - start));
        if (colon == std::string::npos)
            break;
        start = colon + 1;
    }
    std::string head = fields[0];
    const struct
    {
        const char *text;
        bool *set;
    } marks[] = {{"+foreign", &group.foreign}, {"+nopid", &group.noPid}, {"+liar", &group.liar},
                 {"+moves", &group.moves}};
    for (const auto &mark : marks)
    {
        const size_t plus = head.find(mark.text);
        if (plus != std::string::npos)
        {
            *mark.set = true;
            head.erase(plus, std::string(mark.text).size());
        }
    }
    const size_t star = head.find('*');
    if (star != std::string::npos)
    {
        group.count = static_cast<unsigned>(std::strtoul(head.c_str() + star + 1, nullptr, 10));
        head.resize(star);
    }
    const size_t equals = head.find('=');
    if (equals != std::string::npos)
    {
        group.delayMs = std::strtol(head.c_str() + equals + 1, nullptr, 10);
        head.resize(equals);
    }
    group.kind = head;
    if (fields.size() < 2 || group.count == 0 || group.delayMs < 0)
        return false;
    for (size_t i = 1; i < fields.size(); ++i)
    {
        std::string caption;
        if (!DecodeSceneHex(fields[i], caption))
            return false;
        group.captions.push_back(caption);
    }
    return true;
}

#endif

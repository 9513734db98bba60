#include "toplevel.h"

#include "atoms.h"
#include "connection.h"
#include "properties.h"

namespace hungscan_x11 {
namespace {

// How deep below a frame a client window is looked for. Window managers put it one or two
// levels down.
constexpr int CLIENT_SEARCH_DEPTH = 4;

struct Candidate
{
    size_t top;          // which top-level window it may stand for
    xcb_window_t window;
};

// The children of each candidate, in stacking order, each one still standing for its top.
std::vector<Candidate> ChildrenOf(xcb_connection_t *c, const std::vector<Candidate> &parents)
{
    std::vector<xcb_query_tree_cookie_t> cookies;
    cookies.reserve(parents.size());
    for (const Candidate &parent : parents)
        cookies.push_back(xcb_query_tree(c, parent.window));
    std::vector<Candidate> children;
    for (size_t i = 0; i < cookies.size(); ++i)
    {
        // A window whose children cannot be read (gone, or a reply that does not add up) has
        // none to offer.
        const auto reply = Await(xcb_query_tree_reply, c, cookies[i]);
        if (reply == nullptr)
            continue;
        for (const xcb_window_t child : TreeChildren(reply.get()))
            children.push_back({parents[i].top, child});
    }
    return children;
}

} // namespace

bool ListTopLevelWindows(xcb_connection_t *c, std::vector<xcb_window_t> &windows)
{
    const auto tree = Await(xcb_query_tree_reply, c, xcb_query_tree(c, RootWindow()));
    if (tree == nullptr)
        return false;
    const std::vector<xcb_window_t> children = TreeChildren(tree.get());
    // The tree lists the bottom of the stack first.
    windows.clear();
    std::vector<Candidate> level;
    for (size_t i = children.size(); i-- > 0;)
    {
        level.push_back({windows.size(), children[i]});
        windows.push_back(children[i]);
    }

    // The client is the window with WM_STATE: the top-level window itself, else the first found
    // below it, level by level. Without one, the top-level window stands for itself. Each level
    // asks about all its windows at once.
    std::vector<bool> found(windows.size(), false);
    for (int depth = 0; depth <= CLIENT_SEARCH_DEPTH && !level.empty(); ++depth)
    {
        std::vector<xcb_get_property_cookie_t> cookies;
        cookies.reserve(level.size());
        for (const Candidate &candidate : level)
            cookies.push_back(RequestProperty(c, candidate.window, atoms.wmState, XCB_ATOM_ANY, 0));
        std::vector<Candidate> unresolved;
        for (size_t i = 0; i < level.size(); ++i)
        {
            const bool hasState = PropertyPresent(c, cookies[i]);
            if (found[level[i].top])
                continue;
            if (hasState)
            {
                found[level[i].top] = true;
                windows[level[i].top] = level[i].window;
            }
            else
                unresolved.push_back(level[i]);
        }
        if (depth == CLIENT_SEARCH_DEPTH)
            break;
        // Only below the top-level windows still without a client.
        std::vector<Candidate> searched;
        for (const Candidate &candidate : unresolved)
            if (!found[candidate.top])
                searched.push_back(candidate);
        level = ChildrenOf(c, searched);
    }
    return !ConnectionLost();
}

} // namespace hungscan_x11

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

} // namespace

bool ListTopLevelWindows(xcb_connection_t *c, std::vector<xcb_window_t> &windows, std::vector<bool> &framed)
{
    const auto tree = Await(xcb_query_tree_reply, c, xcb_query_tree(c, RootWindow()));
    if (tree == nullptr)
        return false;
    const std::vector<xcb_window_t> children = TreeChildren(tree.get());
    // The tree lists the bottom of the stack first.
    windows.clear();
    framed.assign(children.size(), false);
    std::vector<Candidate> level;
    for (size_t i = children.size(); i-- > 0;)
    {
        level.push_back({windows.size(), children[i]});
        windows.push_back(children[i]);
    }

    // The client is the window with WM_STATE: the top-level window itself, else the first found
    // below it, level by level. Without one, the top-level window stands for itself. Each level
    // asks about all its windows at once, and for their children in the same breath: most
    // top-level windows are frames, whose children are needed, and a question wasted on a client
    // costs less than a round trip more per level. The replies are read in the order asked, as
    // XCB finds a reply fastest that way.
    std::vector<bool> found(windows.size(), false);
    for (int depth = 0; depth <= CLIENT_SEARCH_DEPTH && !level.empty(); ++depth)
    {
        const bool deeper = depth < CLIENT_SEARCH_DEPTH;
        std::vector<xcb_get_property_cookie_t> states;
        std::vector<xcb_query_tree_cookie_t> trees;
        states.reserve(level.size());
        trees.reserve(level.size());
        for (const Candidate &candidate : level)
        {
            states.push_back(RequestProperty(c, candidate.window, atoms.wmState, XCB_ATOM_ANY, 0));
            if (deeper)
                trees.push_back(xcb_query_tree(c, candidate.window));
        }
        std::vector<Candidate> below;
        for (size_t i = 0; i < level.size(); ++i)
        {
            const bool hasState = PropertyPresent(c, states[i]);
            const bool searched = !found[level[i].top] && !hasState;
            if (!found[level[i].top] && hasState)
            {
                found[level[i].top] = true;
                windows[level[i].top] = level[i].window;
                framed[level[i].top] = depth > 0;
            }
            if (!deeper)
                continue;
            if (!searched)
            {
                xcb_discard_reply(c, trees[i].sequence);
                continue;
            }
            // Only below the top-level windows still without a client. A window whose children
            // cannot be read (gone, or a reply that does not add up) has none to offer.
            const auto subtree = Await(xcb_query_tree_reply, c, trees[i]);
            if (subtree == nullptr)
                continue;
            for (const xcb_window_t child : TreeChildren(subtree.get()))
                below.push_back({level[i].top, child});
        }
        level = std::move(below);
    }
    return !ConnectionLost();
}

} // namespace hungscan_x11

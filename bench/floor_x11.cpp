// The floor on X11: the least any scanner must do, in one pipelined pass on one connection.
// List the root window's children, ask every one for WM_PROTOCOLS, ping those that take part,
// then collect answers until all have come or 1000 ms have passed since the last ping left. No
// client-window search, names or owners: a scan that reports nothing needs none of them. It
// prints the same counts as the baselines.

#include <xcb/xcb.h>

#include <poll.h>

#include <chrono>
#include <cstdio>
#include <random>
#include <cstdlib>
#include <cstring>
#include <set>
#include <vector>

static xcb_atom_t Intern(xcb_connection_t *c, const char *name)
{
    xcb_intern_atom_reply_t *reply =
        xcb_intern_atom_reply(c, xcb_intern_atom(c, 0, static_cast<uint16_t>(std::strlen(name)), name), nullptr);
    const xcb_atom_t atom = reply != nullptr ? reply->atom : static_cast<xcb_atom_t>(XCB_ATOM_NONE);
    std::free(reply);
    return atom;
}

int main()
{
    xcb_connection_t *c = xcb_connect(nullptr, nullptr);
    if (xcb_connection_has_error(c))
        return 1;
    const xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(c)).data->root;
    const xcb_atom_t protocols = Intern(c, "WM_PROTOCOLS"), ping = Intern(c, "_NET_WM_PING");
    const uint32_t mask = XCB_EVENT_MASK_STRUCTURE_NOTIFY | XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY;
    xcb_change_window_attributes(c, root, XCB_CW_EVENT_MASK, &mask);

    xcb_query_tree_reply_t *tree = xcb_query_tree_reply(c, xcb_query_tree(c, root), nullptr);
    const xcb_window_t *children = xcb_query_tree_children(tree);
    const size_t count = static_cast<size_t>(xcb_query_tree_children_length(tree));
    std::vector<xcb_get_property_cookie_t> cookies;
    for (size_t i = 0; i < count; ++i)
        cookies.push_back(xcb_get_property(c, 0, children[i], protocols, XCB_ATOM_ATOM, 0, 64));
    // Late answers to an earlier run's pings reach every client on the root window: only this
    // run's stamp counts.
    const uint32_t stamp = static_cast<uint32_t>(std::random_device{}() % 0x40000000u) + 1;
    std::set<xcb_window_t> waiting;
    for (size_t i = 0; i < count; ++i)
    {
        xcb_get_property_reply_t *reply = xcb_get_property_reply(c, cookies[i], nullptr);
        if (reply == nullptr)
            continue;
        const xcb_atom_t *atoms = static_cast<const xcb_atom_t *>(xcb_get_property_value(reply));
        const uint32_t listed = reply->type == XCB_ATOM_ATOM && reply->format == 32 ? reply->value_len : 0;
        for (uint32_t k = 0; k < listed; ++k)
        {
            if (atoms[k] != ping)
                continue;
            xcb_client_message_event_t event = {};
            event.response_type = XCB_CLIENT_MESSAGE;
            event.format = 32;
            event.window = children[i];
            event.type = protocols;
            event.data.data32[0] = ping;
            event.data.data32[1] = stamp;
            event.data.data32[2] = children[i];
            xcb_send_event(c, 0, children[i], XCB_EVENT_MASK_NO_EVENT, reinterpret_cast<const char *>(&event));
            waiting.insert(children[i]);
        }
        std::free(reply);
    }
    xcb_flush(c);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(1000);
    pollfd fd = {xcb_get_file_descriptor(c), POLLIN, 0};
    while (!waiting.empty() && std::chrono::steady_clock::now() < deadline && !xcb_connection_has_error(c))
    {
        while (xcb_generic_event_t *event = xcb_poll_for_event(c))
        {
            const auto *message = reinterpret_cast<const xcb_client_message_event_t *>(event);
            if ((event->response_type & 0x7F) == XCB_CLIENT_MESSAGE && message->data.data32[0] == ping &&
                message->data.data32[1] == stamp)
                waiting.erase(message->data.data32[2]);
            std::free(event);
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (!waiting.empty() && left.count() > 0)
            poll(&fd, 1, static_cast<int>(left.count()) + 1);
    }
    std::printf("probed=%zu failed=%zu\n", count, waiting.size());
    std::free(tree);
    xcb_disconnect(c);
    return 0;
}

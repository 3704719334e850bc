// Client records: binding to connections, request queues and the output
// buffer.
//
// A walk that the framework spreads over several loop passes carries a
// handle of the client's binding, not the record: every callback looks the
// binding up again, so a client closed, removed or released by a stop in
// the meantime is never touched.
#include "ws.h"

#include <kerrow/log.h>
#include <kerrow/ref.h>

#include <libwebsockets.h>

#include <malloc.h>

#include <algorithm>
#include <new>

namespace ws {

size_t ws_client::pending_size() const { return pending.size() > kPre ? pending.size() - kPre : 0; }

ws_client *find_client(uint64_t conn_id)
{
    if (!conn_id)
        return nullptr;
    for (auto &c : state().clients)
        if (c.conn_id == conn_id)
            return &c;
    return nullptr;
}

ws_client *find_client(lws *wsi)
{
    if (!wsi)
        return nullptr;
    for (auto &c : state().clients)
        if (c.wsi == wsi)
            return &c;
    return nullptr;
}

void *client_handle(const ws_client &c) { return reinterpret_cast<void *>(static_cast<uintptr_t>(c.conn_id)); }

ws_client *client_from_handle(void *handle)
{
    return find_client(static_cast<uint64_t>(reinterpret_cast<uintptr_t>(handle)));
}

void bind_client(ws_client &c, lws *wsi)
{
    ws_state &s = state();
    c.wsi = wsi;
    c.conn_id = s.next_conn_id++;
    c.requests.clear();
    c.pending.assign(kPre, '\0');
    c.pending_max = 2048;
    c.ready = 0;
    c.notify = 1;
    c.rx.clear();
    c.login_time = session_now();
    c.peer.clear();
    if (wsi) {
        char addr[64] = {};
        if (lws_get_peer_simple(wsi, addr, sizeof addr)) {
            // An IPv4 client of a dual-stack socket is known by its IPv4 text.
            std::string_view text = addr;
            if (text.starts_with("::ffff:") && text.find('.') != std::string_view::npos)
                text.remove_prefix(7);
            c.peer = text;
        }
        ws_update_client_count();
    }
}

ws_client &bind_new_client(lws *wsi)
{
    ws_client &c = state().clients.emplace_back();
    bind_client(c, wsi);
    return c;
}

void queue_request(ws_client &c, const param_request &r)
{
    c.requests.push_back(r);
    c.asked += r.asked;
}

param_request pop_request(ws_client &c)
{
    const param_request r = c.requests.front();
    c.requests.pop_front();
    c.asked -= r.asked;
    return r;
}

void drop_requests_of(ws_client &c, param_context *p)
{
    std::erase_if(c.requests, [p](const param_request &r) { return !r.owned && r.param == p; });
    c.asked = static_cast<size_t>(std::count_if(c.requests.begin(), c.requests.end(),
                                                [](const param_request &r) { return r.asked; }));
}

void clear_requests(ws_client &c)
{
    // Taken out first: releasing a search list may raise events that look
    // at the queue.
    std::deque<param_request> old;
    old.swap(c.requests);
    c.asked = 0;
    for (auto &r : old)
        if (r.owned) {
            void *list = r.param;
            kd_ref_free_safe(&list);
        }
}

void unbind_client(ws_client &c)
{
    const bool had = c.wsi != nullptr;
    // A client that asked much leaves much freed memory behind: it goes
    // back to the system at once, not at some later trim.
    const bool large = c.requests.size() >= kMaxRequests / 4 || c.pending.capacity() + c.rx.capacity() >= (1u << 20);
    clear_requests(c);
    c.pending.assign(kPre, '\0');
    c.pending.shrink_to_fit();
    c.pending_max = 2048;
    c.rx.clear();
    c.rx.shrink_to_fit();
    c.wsi = nullptr;
    c.conn_id = 0; // a walk still running for this binding finds nothing
    c.notify = 1;
    c.render_root = nullptr;
    if (large)
        malloc_trim(0);
    if (had)
        ws_update_client_count();
}

void remove_client(ws_client &c)
{
    ws_state &s = state();
    if (s.active_client == &c)
        s.active_client = nullptr;
    clear_requests(c);
    for (auto it = s.clients.begin(); it != s.clients.end(); ++it)
        if (&*it == &c) {
            s.clients.erase(it);
            break;
        }
}

void release_clients()
{
    ws_state &s = state();
    for (auto &c : s.clients)
        clear_requests(c);
    s.clients.clear();
    s.active_client = nullptr;
}

int ws_get_client_count()
{
    int n = 0;
    for (const auto &c : state().clients)
        n += c.wsi != nullptr;
    return n;
}

void ws_update_client_count()
{
    ws_state &s = state();
    if (s.stopping || !s.client_count_param)
        return;
    // A set without a setter changes nothing but announces the value, so
    // every client receives the new count.
    if (param_number_ops *ops = kd_param_get_number_ops(s.client_count_param))
        ops->set(s.client_count_param, nullptr);
}

void request_writable(ws_client &c)
{
    const ws_state &s = state();
    if (c.wsi && s.context && !s.stopping)
        lws_callback_on_writable(c.wsi);
}

int websocket_write_back(ws_client &c, std::string_view text)
{
    try {
        if (c.pending.size() < kPre)
            c.pending.assign(kPre, '\0');
        const size_t need = c.pending_size() + text.size() + 1;
        if (need >= c.pending_max) {
            while (need >= c.pending_max)
                c.pending_max *= 2;
            c.pending.reserve(c.pending_max + kPre);
        }
        c.pending.append(text);
    } catch (const std::bad_alloc &) {
        KD_LOG(KD_LOG_ERR, "[%s] Out of memory for client output.\n", me());
        return -1;
    }
    // Frames are written only from the writable callback (the library's
    // rule); the text waits in the buffer until then.
    request_writable(c);
    return static_cast<int>(text.size());
}

void ws_store_param(ws_client *c, param_context *p, bool owned, bool asked)
{
    ws_state &s = state();
    if (!p)
        return;
    try {
        if (c) {
            queue_request(*c, {p, c->paramDepth, owned, asked});
            request_writable(*c);
            return;
        }
        if (s.stopping || !s.context)
            return;
        // An event may carry a search result's copy of a node: queue the
        // node of the tree, which outlives the copy.
        const char *route = kd_param_get_scope(p);
        param_context *node = route && *route ? kd_param_get_by_route(route) : nullptr;
        if (!node)
            return;
        for (auto &client : s.clients) {
            if (!client.wsi)
                continue;
            // A change still waiting to be sent is rendered with the value
            // of its sending time: a second one adds nothing. This also keeps
            // the queue of a client that reads slowly to the size of the tree.
            const bool queued = std::any_of(client.requests.begin(), client.requests.end(), [node](const auto &r) {
                return r.param == node && r.depth == PARAM_DEPTH_ALL && !r.owned;
            });
            if (queued)
                continue;
            queue_request(client, {node, PARAM_DEPTH_ALL, false, false});
            request_writable(client);
        }
    } catch (const std::bad_alloc &) {
        KD_LOG(KD_LOG_ERR, "[%s] Out of memory queueing a parameter.\n", me());
        if (owned) {
            void *list = p;
            kd_ref_free_safe(&list);
        }
    }
}

// A set other than "Auth" needs a user above Guest.
bool ws_client_may_set(const ws_client &c, param_context *p)
{
    return ws_is_auth_param(p) || (c.user && c.user->access > ACCESS_GUEST);
}

bool ws_client_keep_detached(const ws_client &c)
{
    // Only a logged-in session is worth resuming by its cookie.
    return c.user && c.user->access > ACCESS_GUEST;
}

} // namespace ws

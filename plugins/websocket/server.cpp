// The libwebsockets glue: the server's life on the framework's libev loop,
// the two protocols, the mounts, the text dialogue and the output step.
#include "dialogue.h"
#include "ws.h"

#include <kerrow/alarm.h>
#include <kerrow/cuvent.h>
#include <kerrow/frame.h>
#include <kerrow/log.h>
#include <kerrow/path.h>
#include <kerrow/ref.h>
#include <kerrow/store.h>

#include <libwebsockets.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

namespace ws {

static_assert(LWS_PRE == kPre, "output headroom must match the library's");

namespace {

constexpr size_t kRxBuffer = 1048576;       // the websocket receive buffer
constexpr size_t kMaxMessage = 16u << 20;   // a joined message larger than this closes the connection
constexpr size_t kServeBudget = 256u << 10; // text rendered per writable callback before writing
constexpr size_t kLargeWrite = 1048576;

void emit_sent(const char *route)
{
    char name[50];
    std::snprintf(name, sizeof name, "ws_sent_%s", route ? route : "");
    kd_cuvent_emit(state().pli, name, nullptr);
}

// The output step of one writable callback. Answers -1 to close.
int serve(ws_client &c)
{
    if (ws_session_expired(c)) {
        c.user = nullptr;
        return -1;
    }
    if (!c.ready) {
        // The connection's first frame is the delimiter alone.
        unsigned char first[kPre + kDelimiter.size()];
        std::memcpy(first + kPre, kDelimiter.data(), kDelimiter.size());
        if (lws_write(c.wsi, first + kPre, kDelimiter.size(), LWS_WRITE_TEXT) < static_cast<int>(kDelimiter.size()))
            return -1;
        c.ready = 1;
        if (c.pending_size() || !c.requests.empty())
            request_writable(c);
        return 0;
    }
    if (render_queue(c) < 0)
        return -1;
    const size_t len = c.pending_size();
    if (len) {
        if (len > kLargeWrite)
            KD_LOG(KD_LOG_WARNING, "[%s] lws_write: client buffer [%zu] larger than rx buffer [%d]. Wrote [%d].\n",
                   me(), len, static_cast<int>(kRxBuffer), static_cast<int>(len));
        // One frame of whole pieces: no frame ends inside a character.
        const int n = lws_write(c.wsi, reinterpret_cast<unsigned char *>(c.pending.data()) + kPre, len,
                                LWS_WRITE_TEXT);
        if (n < 0 || static_cast<size_t>(n) < len)
            return -1;
        c.pending.resize(kPre);
        if (c.pending.capacity() > 4 * kServeBudget) {
            c.pending.shrink_to_fit();
            c.pending_max = 2048;
        }
    }
    if (c.notify && !c.requests.empty())
        request_writable(c);
    return 0;
}

int receive(ws_client &c, lws *wsi, const void *in, size_t len)
{
    if (c.rx.size() + len > kMaxMessage) {
        KD_LOG(KD_LOG_WARNING, "[%s] Message larger than %zu bytes, closing the connection.\n", me(), kMaxMessage);
        return -1;
    }
    c.rx.append(static_cast<const char *>(in), len);
    // A message may come in fragments, or in pieces of the receive
    // buffer: it is cut into requests only once it is whole.
    if (!lws_is_final_fragment(wsi) || lws_remaining_packet_payload(wsi) > 0)
        return 0;
    std::string message;
    message.swap(c.rx);
    return handle_message(c, message) ? 0 : -1;
}

void removed_destroyed(lws *wsi)
{
    if (ws_client *c = find_client(wsi)) {
        // The close was not reported: a session without a user goes, a
        // logged-in one is kept for a later resumption.
        const bool keep = ws_client_keep_detached(*c);
        unbind_client(*c);
        if (!keep)
            remove_client(*c);
    }
}

int service_callback(lws *wsi, lws_callback_reasons reason, void *, void *in, size_t len)
{
    const ws_state &s = state();
    switch (reason) {
    case LWS_CALLBACK_ADD_HEADERS:
        // The handshake: the session cookie finds or makes the record.
        return find_client(wsi) ? 0 : ws_handshake_session(wsi, in);
    case LWS_CALLBACK_ESTABLISHED: {
        KD_LOG(KD_LOG_INFO, "[%s] Connection established\n", me());
        ws_client *c = find_client(wsi);
        if (!c)
            c = &bind_new_client(wsi);
        request_writable(*c); // the delimiter goes first
        return 0;
    }
    case LWS_CALLBACK_PROTOCOL_INIT:
        KD_LOG(KD_LOG_INFO, "[%s] Protocol Ready\n", me());
        return 0;
    case LWS_CALLBACK_RECEIVE: {
        ws_client *c = find_client(wsi);
        return c ? receive(*c, wsi, in, len) : -1;
    }
    case LWS_CALLBACK_SERVER_WRITEABLE: {
        ws_client *c = find_client(wsi);
        return c ? serve(*c) : -1;
    }
    case LWS_CALLBACK_CLOSED: {
        KD_LOG(KD_LOG_INFO, "[%s] Client close.\n", me());
        if (ws_client *c = find_client(wsi)) {
            const bool keep = ws_client_keep_detached(*c);
            unbind_client(*c);
            if (!keep)
                remove_client(*c);
        }
        return 0;
    }
    case LWS_CALLBACK_WSI_DESTROY:
        removed_destroyed(wsi);
        if (!s.stopping)
            remove_expired_clients();
        return 0;
    case LWS_CALLBACK_FILTER_PROTOCOL_CONNECTION:
        return ws_origin_allowed(wsi) ? 0 : -1;
    case LWS_CALLBACK_FILTER_NETWORK_CONNECTION:
    case LWS_CALLBACK_SERVER_NEW_CLIENT_INSTANTIATED:
    case LWS_CALLBACK_WSI_CREATE:
    case LWS_CALLBACK_GET_THREAD_ID:
    case LWS_CALLBACK_ADD_POLL_FD:
    case LWS_CALLBACK_DEL_POLL_FD:
    case LWS_CALLBACK_CHANGE_MODE_POLL_FD:
    case LWS_CALLBACK_LOCK_POLL:
    case LWS_CALLBACK_UNLOCK_POLL:
    case LWS_CALLBACK_EVENT_WAIT_CANCELLED:
    case LWS_CALLBACK_PROTOCOL_DESTROY:
    case LWS_CALLBACK_WS_PEER_INITIATED_CLOSE:
    case LWS_CALLBACK_HTTP_BIND_PROTOCOL:
    case LWS_CALLBACK_HTTP_DROP_PROTOCOL:
    case LWS_CALLBACK_WS_SERVER_BIND_PROTOCOL:
    case LWS_CALLBACK_WS_SERVER_DROP_PROTOCOL:
    case LWS_CALLBACK_HTTP_CONFIRM_UPGRADE:
        return 0;
    default:
        KD_LOG(KD_LOG_DEBUG, "[%s] Unknown reason %d\n", me(), static_cast<int>(reason));
        return 0;
    }
}

int ws_service_callback(lws *wsi, lws_callback_reasons reason, void *user, void *in, size_t len) noexcept
{
    in_lws_callback guard;
    try {
        return service_callback(wsi, reason, user, in, len);
    } catch (const std::exception &e) {
        KD_LOG(KD_LOG_ERR, "[%s] Websocket callback failed: %s\n", me(), e.what());
        return -1;
    }
}

// The HTTP protocol takes uploads; the session data's size is known at run
// time only, so the table is filled when the server starts.
lws_protocols kProtocols[] = {
    {"sv-http", ws_http_cb, 0, 0, 0, nullptr, 0},
    {"sv-ws", ws_service_callback, sizeof(int), kRxBuffer, 0, nullptr, 0},
    {nullptr, nullptr, 0, 0, 0, nullptr, 0},
};

lws_protocol_vhost_options pdf_mime = {nullptr, nullptr, ".pdf", "application/pdf"};

lws_http_mount make_mount(const lws_http_mount *next, const char *point, const lws_protocol_vhost_options *mimes)
{
    lws_http_mount m{};
    m.mount_next = next;
    m.mountpoint = point;
    m.def = "index.html";
    m.extra_mimetypes = mimes;
    m.cache_max_age = 3600;
    m.cache_reusable = 1;
    m.cache_revalidate = 1;
    m.cache_intermediaries = 1;
    m.origin_protocol = LWSMPRO_FILE;
    m.mountpoint_len = static_cast<unsigned char>(std::strlen(point));
    return m;
}

// "/upload" reaches the HTTP protocol's callback (the "/" mount would take it).
lws_http_mount make_upload_mount()
{
    lws_http_mount m{};
    m.mountpoint = "/upload";
    m.origin = "sv-http";
    m.origin_protocol = LWSMPRO_CALLBACK;
    m.mountpoint_len = 7;
    return m;
}

lws_http_mount mount_upload = make_upload_mount();
lws_http_mount mount_pub = make_mount(&mount_upload, "/pub", nullptr);
lws_http_mount mount_root = make_mount(&mount_pub, "/", &pdf_mime);

const char *g_listen_iface = nullptr; // all addresses unless a test narrows it

void restart_tick(void *) noexcept
{
    state().restart_pending = false;
    ws_restart();
}

} // namespace

void set_listen_interface(const char *iface) { g_listen_iface = iface; }

int render_queue(ws_client &c)
{
    ws_state &s = state();
    const uint64_t id = c.conn_id;
    // A bound client is served only while its server runs.
    while ((s.context || !c.wsi) && !s.stopping && c.notify && !c.requests.empty() &&
           c.pending_size() < kServeBudget) {
        const param_request req = pop_request(c);
        if (!req.param) {
            KD_LOG(KD_LOG_WARNING, "[%s] Attempting to send NULL parameter to web client.\n", me());
            continue;
        }
        // A push renders at its own depth; plain reads keep the depth of
        // the last search.
        const param_depth search_depth = c.paramDepth;
        c.paramDepth = req.depth;
        ws_client *saved = s.active_client;
        s.active_client = &c;
        const int r = ws_on_get_param_json(c, req.param);
        s.active_client = saved;
        c.paramDepth = search_depth;
        std::string route = kd_param_get_scope(req.param) ? kd_param_get_scope(req.param) : "";
        if (req.owned) {
            void *list = req.param;
            kd_ref_free_safe(&list);
        }
        if (r < 0)
            return -1;
        emit_sent(route.c_str());
        if (find_client(id) != &c)
            return -1; // a listener ended this binding
    }
    return 0;
}

namespace {

void handle_request(ws_client &c, const request &r)
{
    const uint64_t id = c.conn_id;
    if (r.is_set) {
        param_context *p = kd_param_get_by_route(r.route.c_str());
        if (!p || kd_param_get_type(p) == PARAMTYPE_NONE) {
            KD_LOG(KD_LOG_WARNING, "[%s] Set of unknown route '%s' ignored.\n", me(), r.route.c_str());
        } else if (ws_is_auth_param(p)) {
            // A failed login, or the empty text, logs the client out.
            ws_client *cur = &c;
            if (!ws_set_param(p, r.value) && (cur = find_client(id)) && cur->user)
                ws_logout(*cur);
        } else if (!ws_client_may_set(c, p))
            KD_LOG(KD_LOG_INFO, "[%s] Set of '%s' refused: no rights.\n", me(), r.route.c_str());
        else if (!ws_set_param(p, r.value))
            KD_LOG(KD_LOG_INFO, "[%s] Set of '%s' failed.\n", me(), r.route.c_str());
        return;
    }
    param_context *p = kd_param_get_by_route(r.route.c_str());
    bool owned = false;
    if (!p) {
        std::string query = r.route;
        param_depth depth = PARAM_DEPTH_NONE;
        p = kd_param_get_query_list(query.data(), &depth);
        c.paramDepth = depth;
        owned = p != nullptr;
    }
    const param_type type = kd_param_get_type(p);
    if (type == PARAMTYPE_NONE || type >= PARAMTYPE_LAST) {
        if (owned) {
            void *list = p;
            kd_ref_free_safe(&list);
        }
    } else {
        ws_store_param(&c, p, owned, true);
    }
}

} // namespace

bool handle_message(ws_client &c, std::string_view message)
{
    ws_state &s = state();
    const uint64_t id = c.conn_id;
    size_t count = 0;
    bool too_many = false;
    // Cut as it goes: a message that asks too much is not parsed further.
    for_each_request(message, [&](const request &r) {
        ws_client *cur = find_client(id);
        if (!cur)
            return false;
        if (++count > kMaxRequests || (!r.is_set && cur->asked >= kMaxRequests)) {
            too_many = true;
            return false;
        }
        ws_client *saved = s.active_client;
        s.active_client = cur;
        handle_request(*cur, r);
        s.active_client = saved;
        return true;
    });
    if (!too_many)
        return true;
    const ws_client *cur = find_client(id);
    KD_LOG(KD_LOG_WARNING, "[%s] Client %s asked more than %zu requests at once: closing the connection.\n", me(),
           cur && !cur->peer.empty() ? cur->peer.c_str() : "(unknown)", kMaxRequests);
    return false;
}

bool ws_set_param(param_context *p, const std::string &value)
{
    if (!p)
        return false;
    // An empty text reaches the setter like any other: a string may be
    // cleared, and a setter that refuses it says so.
    const char *text = value.c_str();
    switch (kd_param_get_type(p)) {
    case PARAMTYPE_NUMBER: return kd_param_get_number_ops(p)->set(p, text) == PARAM_SET_SUCCESS;
    case PARAMTYPE_CHOICE: return kd_param_get_choice_ops(p)->set(p, text) == PARAM_SET_SUCCESS;
    case PARAMTYPE_STRING: return kd_param_get_string_ops(p)->set(p, text) == PARAM_SET_SUCCESS;
    case PARAMTYPE_SET: return kd_param_get_set_ops(p)->set(p, text) == PARAM_SET_SUCCESS;
    default: return false;
    }
}

int ws_start()
{
    ws_state &s = state();
    if (s.context)
        return 0;
    char *service = nullptr;
    if (kd_store_load_string(nullptr, "frame/websocket_service", &service) == 0 && service) {
        if (!std::strcmp(service, "HTTP"))
            s.cfg.port = 80;
        else if (!std::strcmp(service, "HTTPS"))
            s.cfg.port = 443;
    }
    std::free(service);

    kProtocols[0].per_session_data_size = http_session_data_size();
    static void *loops[1];
    loops[0] = kd_frame_get_loop();
    s.origin_root = kd::rooted(kWebRoot);
    s.origin_pub = kd::rooted(kLinkRoot);
    mount_root.origin = s.origin_root.c_str();
    mount_pub.origin = s.origin_pub.c_str();

    lws_context_creation_info info;
    std::memset(&info, 0, sizeof info);
    info.port = s.cfg.port;
    info.iface = g_listen_iface;
    info.protocols = kProtocols;
    info.mounts = &mount_root;
    info.options = LWS_SERVER_OPTION_LIBEV;
    info.foreign_loops = loops;
    info.gid = -1;
    info.uid = -1;
    // Browsers may carry many cookies of other pages on this host.
    info.max_http_header_data = 16384;
    if (s.cfg.port == 443) {
        char *stored = nullptr;
        if (kd_store_load_string(nullptr, "frame/certificatefilepath", &stored) == 0 && stored &&
            std::strcmp(stored, "NONE") != 0)
            s.cert_path = kd::rooted(stored);
        else
            s.cert_path = kd::rooted(kSelfCert);
        std::free(stored);
        info.ssl_cert_filepath = s.cert_path.c_str();
        info.ssl_private_key_filepath = s.cert_path.c_str();
        info.options |= LWS_SERVER_OPTION_DO_SSL_GLOBAL_INIT;
    }
    // The context first, then its one server: a server that cannot
    // listen (port taken) is then undone by destroying the context, which
    // releases everything the library set up.
    info.options |= LWS_SERVER_OPTION_EXPLICIT_VHOSTS;
    s.context = lws_create_context(&info);
    if (s.context && !lws_create_vhost(s.context, &info)) {
        s.stopping = true;
        lws_context_destroy(s.context);
        s.context = nullptr;
        s.stopping = false;
    }
    if (!s.context) {
        KD_LOG(KD_LOG_ERR, "[%s] Context create error.\n", me());
        kd_alarm_detected(kStartFailureAlarm, ALARM_ACTIVE);
        return -1;
    }
    kd_alarm_detected(kStartFailureAlarm, ALARM_INACTIVE);
    release_clients(); // a fresh, empty client list
    KD_LOG(KD_LOG_NOTICE, "[%s] Server running on port %d.\n", me(), s.cfg.port);
    return 0;
}

void ws_stop()
{
    ws_state &s = state();
    if (!s.context)
        return;
    s.stopping = true;
    lws_context_destroy(s.context);
    s.context = nullptr;
    release_clients();
    s.stopping = false;
    ws_update_client_count();
}

void ws_restart()
{
    ws_state &s = state();
    if (s.lws_depth > 0) {
        ws_restart_later();
        return;
    }
    ws_stop();
    ws_start();
}

void ws_restart_later()
{
    ws_state &s = state();
    if (s.restart_pending)
        return;
    // A timer of the plug-in's own goes with the plug-in when it unloads.
    if (kd_frame_timeout_register("ws_restart", restart_tick, nullptr, 0.0, 0, s.pli) == 0)
        s.restart_pending = true;
}

} // namespace ws

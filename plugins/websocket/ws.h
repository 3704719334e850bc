// The websocket plug-in's engine: state, client records and the operations
// the plug-in's parts share. Everything here runs on the framework's loop
// thread (libwebsockets is driven by the framework's libev loop); no locks.
#pragma once

#include "login_guard.h"

#include <kerrow/cuvent.h>
#include <kerrow/param.h>
#include <kerrow/types.h>

#include <libwebsockets.h>
#include <sys/time.h>

#include <cstddef>
#include <cstdint>
#include <deque>
#include <list>
#include <string>
#include <string_view>



namespace ws {

// A queued read: a parameter of the tree, or a temporary search list that
// the request owns (released when the request goes).
struct param_request {
    param_context *param;
    param_depth depth;
    bool owned; // a search list from kd_param_get_query_list
    bool asked; // a read the client asked for (not a pushed change)
};

// What one client may ask at once: requests in one message, and reads
// waiting to be answered. Past either the connection is closed and its
// queue released. Pushed changes are not counted: they wait at most once
// per parameter, so the tree bounds them.
inline constexpr size_t kMaxRequests = 1024;

enum access_level { ACCESS_GUEST = 0, ACCESS_OPERATOR = 1, ACCESS_ADMIN = 2 };
extern const char *const userAccessLevels[]; // "Guest", "Operator", "Admin", null

// One web user; the digest is all that is kept of the password.
struct ws_user {
    param_context *user_row = nullptr;
    char uname[20] = {};
    access_level access = ACCESS_GUEST;
    char hash[129] = {}; // 128 lower-case hexadecimal digits of SHA-512
};

// One record per browser session.
struct ws_client {
    lws *wsi = nullptr;                 // null while no connection is bound
    std::deque<param_request> requests; // reads waiting for the writable callback
    size_t asked = 0;                   // entries of `requests` with `asked` set
    param_depth paramDepth = PARAM_DEPTH_NONE; // depth of the last search
    // Output buffer: kPre bytes of headroom for the frame header that
    // libwebsockets writes in front of the text, then the pending text.
    std::string pending;
    size_t pending_max = 2048;
    int ready = 0;     // 1 once the connection's first delimiter is queued
    int showComma = 0; // the next member of the open JSON object needs ","
    int notify = 1;    // 0 while a reply is being built
    ws_user *user = nullptr;
    char cookie[65] = {};
    timeval login_time{};
    std::string peer; // the connection's client address (failed logins are counted by it)

    uint64_t conn_id = 0;      // handle of the current binding, 0 while detached
    param_context *render_root = nullptr; // the parameter of the reply being built
    std::string rx;            // a message whose fragments are being joined

    size_t pending_size() const;
};

struct ws_cfg {
    int port = 80;
    char symlinkDir[20] = "pub";
    std::list<ws_user> users; // creation order; nodes never move (rows point at them)
};

struct ws_state {
    plugin_load_info *pli = nullptr;
    bool master = false;
    lws_context *context = nullptr;
    bool stopping = false;             // the context is being destroyed
    std::list<ws_client> clients;      // nodes never move: walks find them by handle
    ws_client *active_client = nullptr;
    ws_cfg cfg;
    uint64_t next_conn_id = 1;
    int lws_depth = 0;                 // >0 inside a libwebsockets callback
    param_context *client_count_param = nullptr;
    param_context *auth_param = nullptr;
    param_context *access_param = nullptr;
    param_context *session_param = nullptr;
    login_guard logins;
    bool restart_pending = false;
    // Texts libwebsockets keeps pointers to while the context lives.
    std::string origin_root, origin_pub, cert_path;
};

ws_state &state();
const char *me();

// Counts nesting of library callbacks: the context is never destroyed
// from inside one of its own callbacks.
struct in_lws_callback {
    in_lws_callback() { ++state().lws_depth; }
    ~in_lws_callback() { --state().lws_depth; }
    in_lws_callback(const in_lws_callback &) = delete;
    in_lws_callback &operator=(const in_lws_callback &) = delete;
};

// ---- paths of the card (resolved under KD_ROOT) ----
inline constexpr const char *kWebRoot = "/usr/local/share/zwsui/";
inline constexpr const char *kLinkRoot = "/var/run/zwsui/";
inline constexpr const char *kDynamicJs = "/usr/local/share/zwsui/js/dynamic";
inline constexpr const char *kSelfCert =
    "/var/local/solvera/security/https-certificate/https_certificate.pem";
inline constexpr const char *kStartFailureAlarm = "Websocket Start Failure";
inline constexpr size_t kPre = 16; // LWS_PRE of the libwebsockets in use (checked in server.cpp)

// ---- clients (client.cpp) ----
// The client bound under a handle, or null when that binding has ended
// (closed, removed, or released by a stop).
ws_client *find_client(uint64_t conn_id);
ws_client *find_client(lws *wsi);
void *client_handle(const ws_client &c);
ws_client *client_from_handle(void *handle);
// A new record bound to the connection (or a test record without one).
ws_client &bind_new_client(lws *wsi);
// Drops a client's queue and pending output and ends its binding.
void unbind_client(ws_client &c);
// Queues a request at the back of a client's queue, keeping count of the
// reads it asked for.
void queue_request(ws_client &c, const param_request &r);
// Takes the request at the head of a (non-empty) queue.
param_request pop_request(ws_client &c);
// Drops every queued request of the tree's node p.
void drop_requests_of(ws_client &c, param_context *p);
void remove_client(ws_client &c);
void release_clients();
int ws_get_client_count();
void ws_update_client_count();
// Appends text to the output buffer and asks for a writable callback;
// answers the bytes appended, or -1 when memory is short.
int websocket_write_back(ws_client &c, std::string_view text);
void clear_requests(ws_client &c);
// Queues a read for one client (at its paramDepth), or, without a client,
// a push at depth ALL to every connected client. `asked`: the client asked
// for it (counted against kMaxRequests).
void ws_store_param(ws_client *c, param_context *p, bool owned = false, bool asked = false);
// Hook of the session support: whether a client may set this parameter.
bool ws_client_may_set(const ws_client &c, param_context *p);
// Hook of the session support: whether a closed connection's record is
// kept for a later resumption (a logged-in session).
bool ws_client_keep_detached(const ws_client &c);

// ---- parameter JSON (param_json.cpp) ----
int ws_on_get_param_json(ws_client &c, param_context *p);

// ---- users and sessions (users.cpp) ----
void ws_init_users(param_context *root);
bool ws_is_auth_param(param_context *p);
// The clock of session ages; tests replace it.
extern timeval (*session_now)();
// The clock of failed logins (seconds, monotonic); tests replace it.
extern double (*login_now)();
// Ends a logged-in session: the record keeps its connection but loses its
// user and gets a new session id.
void ws_logout(ws_client &c);
// Whether a request's Origin, when it has one, names this server as its
// Host header does (a page of another site may not drive the card with the
// browser's cookie).
bool ws_origin_allowed(lws *wsi);
bool ws_session_expired(const ws_client &c);
// Removes every record without a connection whose session has expired.
void remove_expired_clients();
// The cookie step of a websocket handshake: finds or makes the client
// record and binds it; answers -1 to fail the handshake.
int ws_handshake_session(lws *wsi, void *headers_args);
// Binds an existing record to a new connection (a resumed session).
void bind_client(ws_client &c, lws *wsi);

// Whether the HTTP request's session cookie names a logged-in user above
// Guest whose session has not expired.
bool ws_session_may_upload(lws *wsi);

// ---- uploads and download links (uploads.cpp) ----
// The largest file one upload may carry: ordinary files (firmware packages
// among them, into the media directory) and files staged in /tmp for
// checking (certificates, settings profiles). Tests lower them.
struct upload_limits {
    size_t file;
    size_t staged;
};
extern upload_limits g_upload_limits;
size_t http_session_data_size();
int ws_http_cb(lws *wsi, lws_callback_reasons reason, void *user, void *in, size_t len) noexcept;
void ws_on_verify_answer(cuvent_wrapper *w);
void ws_on_publish_dir_request(cuvent_wrapper *w);

// ---- dialogue and output (server.cpp) ----
// Answers false when the client asked too much (kMaxRequests) and is to be
// closed; the requests before that point are carried out.
bool handle_message(ws_client &c, std::string_view message);
// Renders queued requests into the client's output buffer until the queue
// is empty, a reply goes on over later loop passes, or enough text waits to
// be written. Answers -1 when the connection is to be closed.
int render_queue(ws_client &c);
bool ws_set_param(param_context *p, const std::string &value);
int ws_start();
void ws_stop();
void ws_restart();
// Restarts from the loop's next pass (never inside a library callback).
void ws_restart_later();
void request_writable(ws_client &c);
// Narrows the listening address (tests listen on loopback only); null: all.
void set_listen_interface(const char *iface);

// ---- plug-in (ws_cfg.cpp) ----
void ws_init(plugin_load_info *pli);
void ws_fini();

} // namespace ws

// Web users, their parameters and logins, and browser sessions kept
// across reconnections by the session cookie.
#include "session_text.h"
#include "ws.h"

#include <kerrow/frame.h>
#include <kerrow/log.h>
#include <kerrow/ref.h>
#include <kerrow/store.h>

#include <libwebsockets.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace ws {

const char *const userAccessLevels[] = {"Guest", "Operator", "Admin", nullptr};

namespace {

constexpr const char *kHashKeyPostfix = "/hash";
constexpr const char *kAdminPassword = "lorv582";
constexpr const char *kAgentPassword = "MolvardPEX1987";

timeval wall_now()
{
    timeval tv{};
    gettimeofday(&tv, nullptr);
    return tv;
}

ws_user *user_of(param_context *p) { return static_cast<ws_user *>(kd_param_get_userdata(p)); }

std::string hash_key(const ws_user &u) { return std::string(kd_param_get_scope(u.user_row)) + kHashKeyPostfix; }

void set_hash(ws_user &u, const char *text)
{
    const std::string digest = sha512_hex(text ? text : "");
    std::snprintf(u.hash, sizeof u.hash, "%s", digest.c_str());
    kd_store_save_string(state().pli, hash_key(u).c_str(), u.hash);
}

const char *username_value(param_context *p) { return user_of(p)->uname; }
param_set_result username_set(param_context *p, const char *text)
{
    std::snprintf(user_of(p)->uname, sizeof user_of(p)->uname, "%s", text ? text : "");
    return PARAM_SET_SUCCESS;
}

const char *level_value(param_context *p) { return userAccessLevels[user_of(p)->access]; }
const char **level_choices(param_context *) { return const_cast<const char **>(userAccessLevels); }
param_set_result level_set(param_context *p, const char *text)
{
    for (int i = 0; text && userAccessLevels[i]; ++i)
        if (!std::strcmp(text, userAccessLevels[i])) {
            user_of(p)->access = static_cast<access_level>(i);
            return PARAM_SET_SUCCESS;
        }
    return PARAM_SET_FAILURE;
}

param_set_result new_password_set(param_context *p, const char *text)
{
    set_hash(*user_of(p), text);
    return PARAM_SET_SUCCESS;
}

// The level of the client being served, so each client reads its own.
const char *access_value(param_context *)
{
    const ws_client *c = state().active_client;
    if (!c)
        return "N/A";
    return c->user ? userAccessLevels[c->user->access] : userAccessLevels[ACCESS_GUEST];
}

// The session id of the client being served: how a page learns the id its
// session took at a login or a logout (it keeps it as its cookie).
const char *session_value(param_context *)
{
    const ws_client *c = state().active_client;
    return c ? c->cookie : "";
}

// A new id for a session whose user changes: whoever knew the old one
// (it may have been planted in the browser) gets nothing from the change.
// The client is sent its new id. False when no id could be made.
bool renew_session(ws_client &c)
{
    const std::string id = new_session_id();
    std::snprintf(c.cookie, sizeof c.cookie, "%s", id.c_str());
    if (id.empty()) {
        KD_LOG(KD_LOG_ERR, "[%s] No new session id.\n", me());
        return false;
    }
    ws_store_param(&c, state().session_param);
    return true;
}

const char *peer_text(const ws_client &c) { return c.peer.empty() ? "(unknown)" : c.peer.c_str(); }

ws_user *find_user(const std::string &name, const std::string &digest)
{
    for (auto &u : state().cfg.users)
        if (name == u.uname)
            return digest == u.hash ? &u : nullptr;
    return nullptr;
}

param_set_result authenticate(param_context *, const char *text)
{
    ws_state &s = state();
    ws_client *c = s.active_client;
    if (!text || !*text || !c) // the empty text logs out: no failed login
        return PARAM_SET_FAILURE;
    const double now = login_now();
    // Refused unheard and unlogged: a guesser gains nothing, not even
    // room in the log.
    if (s.logins.wait_left(c->peer, now) > 0)
        return PARAM_SET_FAILURE;
    std::string name, digest;
    ws_user *u = parse_auth(text, name, digest) ? find_user(name, digest) : nullptr;
    if (!u) {
        if (const double hold = s.logins.failed(c->peer, now); hold > 0)
            KD_LOG(KD_LOG_WARNING, "[%s] Failed logins from %s: the next is taken in %.0f s.\n", me(),
                   peer_text(*c), hold);
        return PARAM_SET_FAILURE;
    }
    if (!renew_session(*c))
        return PARAM_SET_FAILURE;
    s.logins.succeeded(c->peer);
    c->user = u;
    // Every client is sent its own level.
    kd_param_notify(s.access_param);
    return PARAM_SET_SUCCESS;
}

void init_user_cfg(param_context *row, ws_user &u)
{
    kd_param_alloc_string(row, nullptr, "Username", PARAMCTRL_RDONLY, nullptr, username_value, username_set, &u);
    kd_param_alloc_choice(row, nullptr, "Access Level", PARAMCTRL_RDWR, nullptr, level_value, level_choices,
                          level_set, &u);
    kd_param_alloc_string(row, nullptr, "New Password", PARAMCTRL_WRONLY, nullptr, nullptr, new_password_set, &u);
}

ws_user *add_user(param_context *table, const char *name)
{
    ws_user &u = state().cfg.users.emplace_back();
    std::snprintf(u.uname, sizeof u.uname, "%s", name);
    u.access = ACCESS_OPERATOR;
    u.user_row = kd_param_alloc_row(table, nullptr, name);
    if (!u.user_row)
        return nullptr;
    init_user_cfg(u.user_row, u);
    return &u;
}

} // namespace

timeval (*session_now)() = wall_now;
double (*login_now)() = kd_frame_now;

void ws_logout(ws_client &c)
{
    c.user = nullptr;
    renew_session(c);
    kd_param_notify(state().access_param);
}

bool ws_origin_allowed(lws *wsi)
{
    char origin[256] = {}, host[256] = {};
    if (lws_hdr_total_length(wsi, WSI_TOKEN_ORIGIN) <= 0)
        return true; // not a browser: nothing another site could make it send
    const int o = lws_hdr_copy(wsi, origin, sizeof origin, WSI_TOKEN_ORIGIN);
    const int h = lws_hdr_copy(wsi, host, sizeof host, WSI_TOKEN_HOST);
    if (o > 0 && h > 0 && origin_matches_host(origin, host))
        return true;
    KD_LOG(KD_LOG_WARNING, "[%s] Request from origin '%.100s' refused: this is '%.100s'.\n", me(), origin, host);
    return false;
}

void ws_init_users(param_context *root)
{
    ws_state &s = state();
    s.auth_param = kd_param_alloc_string(root, nullptr, "Auth", PARAMCTRL_WRONLY, nullptr, nullptr, authenticate,
                                         nullptr);
    s.access_param = kd_param_alloc_string(root, nullptr, "Access", PARAMCTRL_RDONLY, nullptr, access_value,
                                           nullptr, nullptr);
    s.session_param = kd_param_alloc_string(root, nullptr, "Session", PARAMCTRL_RDONLY, nullptr, session_value,
                                            nullptr, nullptr);
    // No login text is ever applied from the store.
    if (s.auth_param)
        kd_store_remove_key(s.pli, kd_param_get_scope(s.auth_param));
    param_context *table = kd_param_alloc_table(root, nullptr, "Users", nullptr);
    if (!table)
        return;
    KD_LOG(KD_LOG_NOTICE, "[%s] Start init user!\n", me());
    if (ws_user *admin = add_user(table, "admin")) {
        char *saved = nullptr;
        if (kd_store_load_string(s.pli, hash_key(*admin).c_str(), &saved) == 0 && saved) {
            KD_LOG(KD_LOG_NOTICE, "[%s] Find old user.\n", me());
            std::snprintf(admin->hash, sizeof admin->hash, "%s", saved);
        } else {
            KD_LOG(KD_LOG_NOTICE, "[%s] Find not old user,will add default user.\n", me());
            set_hash(*admin, kAdminPassword);
        }
        std::free(saved);
    }
    if (ws_user *agent = add_user(table, "agent"))
        set_hash(*agent, kAgentPassword); // its default returns at every start
}

bool ws_is_auth_param(param_context *p) { return p && p == state().auth_param; }

bool ws_session_expired(const ws_client &c)
{
    const timeval now = session_now();
    if (now.tv_sec - c.login_time.tv_sec <= kSessionSeconds)
        return false;
    KD_LOG(KD_LOG_INFO, "[%s] Client session timeout.\n", me());
    return true;
}

void remove_expired_clients()
{
    auto &clients = state().clients;
    for (auto it = clients.begin(); it != clients.end();) {
        if (!it->wsi && ws_session_expired(*it)) {
            ws_client &c = *it++;
            remove_client(c);
        } else {
            ++it;
        }
    }
}

namespace {

std::string cookie_header(lws *wsi)
{
    std::string header;
    const int len = lws_hdr_total_length(wsi, WSI_TOKEN_HTTP_COOKIE);
    if (len > 0) {
        header.resize(static_cast<size_t>(len) + 1);
        const int n = lws_hdr_copy(wsi, header.data(), len + 1, WSI_TOKEN_HTTP_COOKIE);
        header.resize(n > 0 ? static_cast<size_t>(n) : 0);
        if (n < 0)
            KD_LOG(KD_LOG_ERR, "[%s] Failed to parse cookie.\n", me());
    }
    return header;
}

} // namespace

bool ws_session_may_upload(lws *wsi)
{
    const cookie_lookup found = session_from_cookie(cookie_header(wsi));
    if (!found.id)
        return false;
    for (const auto &c : state().clients)
        if (*found.id == c.cookie && c.user && c.user->access > ACCESS_GUEST && !ws_session_expired(c))
            return true;
    return false;
}

namespace {

// A new session: a fresh id, given to the browser with the handshake's
// answer. Answers -1 to fail the handshake.
int new_session(lws *wsi, void *headers_args)
{
    const std::string id = new_session_id();
    auto *args = static_cast<lws_process_html_args *>(headers_args);
    if (id.empty() || !args) {
        KD_LOG(KD_LOG_WARNING, "[%s] Problem adding headers?\n", me());
        return -1;
    }
    char value[256];
    const int n = std::snprintf(value, sizeof value, "%s=%s;Max-Age=%d;Path=/", kCookieName.data(), id.c_str(),
                                kSessionSeconds);
    auto *p = reinterpret_cast<unsigned char *>(args->p);
    unsigned char *end = p + args->max_len;
    if (lws_add_http_header_by_name(wsi, reinterpret_cast<const unsigned char *>("set-cookie:"),
                                    reinterpret_cast<const unsigned char *>(value), n, &p, end)) {
        KD_LOG(KD_LOG_WARNING, "[%s] Problem adding headers?\n", me());
        return -1;
    }
    args->max_len -= static_cast<int>(p - reinterpret_cast<unsigned char *>(args->p));
    args->p = reinterpret_cast<char *>(p);
    ws_client &c = bind_new_client(wsi);
    std::snprintf(c.cookie, sizeof c.cookie, "%s", id.c_str());
    return 0;
}

} // namespace

int ws_handshake_session(lws *wsi, void *headers_args)
{
    // The whole header, however long.
    const std::string header = cookie_header(wsi);
    const cookie_lookup found = session_from_cookie(header);
    if (!found.id) {
        if (!header.empty())
            KD_LOG(KD_LOG_WARNING, "[%s] Client is missing their cookie.\n", me());
        return new_session(wsi, headers_args);
    }
    const std::string &id = *found.id;
    ws_client *known = nullptr;
    for (auto &c : state().clients)
        if (id == c.cookie) {
            known = &c;
            break;
        }
    if (known && !known->wsi && ws_session_expired(*known)) {
        remove_client(*known); // an expired session is never resumed
        known = nullptr;
    }
    if (!known) {
        // Only the server makes session ids: one it does not know (made up,
        // or planted in the browser by someone else) is replaced.
        KD_LOG(KD_LOG_INFO, "[%s] Unrecognized cookie (%s). Making new client.\n", me(), id_for_log(id).c_str());
        return new_session(wsi, headers_args);
    }
    if (!known->wsi) {
        KD_LOG(KD_LOG_INFO, "[%s] Recognized cookie (%s). Resuming existing client. Access: %d\n", me(),
               id_for_log(id).c_str(), known->user ? known->user->access : 0);
        bind_client(*known, wsi);
        return 0;
    }
    // A second connection of the same session (another tab).
    ws_user *user = known->user;
    ws_client &c = bind_new_client(wsi);
    std::snprintf(c.cookie, sizeof c.cookie, "%s", id.c_str());
    c.user = user;
    return 0;
}

} // namespace ws

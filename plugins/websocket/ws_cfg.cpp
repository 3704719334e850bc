// The plug-in's life: its parameters, alarm, link directory and event
// callbacks, and the port setter.
#include "ws.h"

#include <kerrow/alarm.h>
#include <kerrow/carrier.h>
#include <kerrow/cuvent.h>
#include <kerrow/frame.h>
#include <kerrow/log.h>
#include <kerrow/path.h>
#include <kerrow/ref.h>

#include <libwebsockets.h>

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace ws {
namespace {

ws_state g_state;

constexpr int kPortMin = 80, kPortMax = 65535;

int port_value(param_context *) { return state().cfg.port; }
int port_min(param_context *) { return kPortMin; }
int port_max(param_context *) { return kPortMax; }
int one(param_context *) { return 1; }
int zero(param_context *) { return 0; }
int client_count_value(param_context *) { return ws_get_client_count(); }
const char *link_dir_value(param_context *) { return state().cfg.symlinkDir; }

void restart_after_search_reply(cuvent_wrapper *) { ws_restart_later(); }

// Decimal, "0x" hexadecimal or leading-0 octal, the whole text.
param_set_result set_port(param_context *, const char *text) noexcept
{
    if (!text || !*text)
        return PARAM_SET_FAILURE;
    char *end = nullptr;
    errno = 0;
    const long v = std::strtol(text, &end, 0);
    if (errno || end == text || *end || v < kPortMin || v > kPortMax)
        return PARAM_SET_FAILURE;
    ws_state &s = state();
    s.cfg.port = static_cast<int>(v);
    if (ws_get_client_count() == 0) {
        ws_restart(); // deferred to the next pass when inside the library
    } else {
        // The clients get the reply they are waiting for first: the
        // restart follows the next search reply.
        kd_cuvent_register_onetime_cb(s.pli, "ws_sent_", restart_after_search_reply, nullptr, CUVFLT_NONE);
    }
    return PARAM_SET_SUCCESS;
}

// "js/dynamic/a.js, js/dynamic/b.js": the scripts the page loads at start.
const char *js_files_value(param_context *) noexcept
{
    DIR *dir = opendir(kd::rooted(kDynamicJs).c_str());
    if (!dir) {
        KD_LOG(KD_LOG_ERR, "[%s] Unable to open dynamic js directory.\n", me());
        return nullptr;
    }
    std::vector<std::string> names;
    try {
        while (dirent *e = readdir(dir))
            if (std::strcmp(e->d_name, ".") && std::strcmp(e->d_name, ".."))
                names.emplace_back(e->d_name);
    } catch (const std::bad_alloc &) {
        names.clear();
    }
    closedir(dir);
    std::sort(names.begin(), names.end());
    std::string text;
    for (const auto &n : names) {
        if (!text.empty())
            text += ", ";
        text += "js/dynamic/" + n;
    }
    char *out = strdup(text.c_str());
    if (out)
        kd_ref_init_ptr(out, nullptr);
    return out;
}

const char **no_options(param_context *) noexcept
{
    auto **table = static_cast<const char **>(std::calloc(1, sizeof(const char *)));
    if (table)
        kd_ref_init_ptr(table, nullptr);
    return table;
}

void ws_init_cfg()
{
    ws_state &s = state();
    param_context *root = kd_param_create_cfg(s.pli);
    if (!root)
        return;
    kd_param_alloc_set(root, nullptr, "JS Files", PARAMCTRL_RDONLY, nullptr, js_files_value, no_options, nullptr,
                       nullptr);
    kd_param_alloc_number(root, nullptr, "Port", PARAMCTRL_RDWR, nullptr, port_value, port_min, port_max, one,
                          set_port, nullptr);
    kd_param_alloc_string(root, nullptr, "Link Directory", PARAMCTRL_RDONLY, nullptr, link_dir_value, nullptr,
                          nullptr);
    s.client_count_param = kd_param_alloc_number(root, nullptr, "Client Count", PARAMCTRL_RDONLY, nullptr,
                                                 client_count_value, zero, zero, one, nullptr, nullptr);
    ws_init_users(root);
}

// Empties the link directory, or makes it.
void reset_link_dir()
{
    const std::string dir = kd::rooted(kLinkRoot);
    if (DIR *d = opendir(dir.c_str())) {
        while (dirent *e = readdir(d))
            if (std::strcmp(e->d_name, ".") && std::strcmp(e->d_name, ".."))
                unlinkat(dirfd(d), e->d_name, 0);
        closedir(d);
        return;
    }
    // The parents may be missing in a fresh root.
    for (size_t i = 1; (i = dir.find('/', i)) != std::string::npos; ++i)
        mkdir(dir.substr(0, i).c_str(), 0755);
    // Only the server writes links here: 0755.
    if (mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST)
        KD_LOG(KD_LOG_WARNING, "[%s] Failed to create symlink directory '%s'.\n", me(), dir.c_str());
}

void on_param_update(cuvent_wrapper *w) { ws_store_param(nullptr, static_cast<param_context *>(w->emit_ctx)); }
void on_param_insert(cuvent_wrapper *w)
{
    if (w->emit_ctx)
        ws_store_param(nullptr, static_cast<param_context *>(w->emit_ctx));
}
void on_param_remove(cuvent_wrapper *w)
{
    if (w->emit_ctx)
        ws_store_param(nullptr, static_cast<param_context *>(w->emit_ctx));
}

// No freed parameter is ever rendered.
void on_param_free(cuvent_wrapper *w)
{
    auto *p = static_cast<param_context *>(w->emit_ctx);
    for (auto &c : state().clients)
        drop_requests_of(c, p);
}

} // namespace

ws_state &state() { return g_state; }
const char *me() { return kd_frame_plugin_get_name(g_state.pli); }

void ws_init(plugin_load_info *pli)
{
    ws_state &s = state();
    const int port = s.cfg.port; // a test may have chosen one before init
    s = ws_state{};
    s.cfg.port = port;
    s.pli = pli;
    KD_LOG(KD_LOG_INFO, "[%s] Starting..\n", me());
    lws_set_log_level(0, nullptr);
    s.master = kd_carrier_frame_is_master();
    if (!s.master) {
        KD_LOG(KD_LOG_INFO, "[%s] Started Idle\n", me());
        return;
    }
    ws_init_cfg();
    kd_alarm_register(kStartFailureAlarm,
                      "The system was unable to start the websocket server. The most likely cause of this failure is "
                      "the websocket port is currently in use.");
    ws_start();
    reset_link_dir();
    kd_cuvent_register_cb(pli, "on_param_update", on_param_update, nullptr, CUVFLT_NONE);
    kd_cuvent_register_cb(pli, "on_param_insert", on_param_insert, nullptr, CUVFLT_NONE);
    kd_cuvent_register_cb(pli, "on_param_remove", on_param_remove, nullptr, CUVFLT_NONE);
    kd_cuvent_register_cb(pli, "on_param_free", on_param_free, nullptr, CUVFLT_NONE);
    kd_cuvent_register_cb(pli, "request_publish_dir", ws_on_publish_dir_request, nullptr, CUVFLT_NONE);
    kd_cuvent_register_cb(pli, "verify_customer_certificate", ws_on_verify_answer, nullptr, CUVFLT_NONE);
    kd_cuvent_register_cb(pli, "verify_settings_profile", ws_on_verify_answer, nullptr, CUVFLT_NONE);
    KD_LOG(KD_LOG_INFO, "[%s] Started Active\n", me());
}

void ws_fini()
{
    ws_state &s = state();
    KD_LOG(KD_LOG_INFO, "[%s] Stopping\n", me());
    if (s.master) {
        s.client_count_param = nullptr; // the tree goes with the plug-in
        s.access_param = nullptr;
        s.session_param = nullptr;
        ws_stop();
        release_clients();
    }
    KD_LOG(KD_LOG_INFO, "[%s] Stopped\n", me());
    // The framework removes the plug-in's tree only after this returns:
    // the users its rows point at stay until the next start.
    static std::list<ws_user> retired;
    retired = std::move(s.cfg.users);
    const int port = s.cfg.port;
    s = ws_state{};
    s.cfg.port = port;
}

} // namespace ws

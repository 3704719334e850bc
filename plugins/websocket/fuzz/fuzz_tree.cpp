// libFuzzer target: the websocket dialogue against a real parameter tree
// (the framework's own, the probe's and this plug-in's). The first byte
// says whether the client is logged in; the rest is one message of reads,
// searches and sets. Every reply the client would be sent must be one JSON
// object, the client never holds more reads than its bound, and its record
// goes without leaving anything behind.
#include "dialogue.h"
#include "probe.h"
#include "ws.h"

#include <kerrow/frame.h>
#include <kerrow/log.h>
#include <kerrow/plugin.h>

#include <ev.h>
#include <jansson.h>
#include <libwebsockets.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <string_view>

namespace {

namespace fs = std::filesystem;

fs::path g_root;

void discard(void *, int, const char *, int, const char *, const char *) {}

void finish()
{
    kd_frame_fini();
    fs::remove_all(g_root);
}

// Each reply ends with the delimiter and holds one JSON object.
void check_replies(std::string_view out)
{
    while (!out.empty()) {
        const size_t cut = out.find(ws::kDelimiter);
        if (cut == std::string_view::npos)
            std::abort(); // a reply left unended
        json_error_t err;
        json_t *j = json_loadb(out.data(), cut, 0, &err);
        if (!json_is_object(j))
            std::abort();
        json_decref(j);
        out.remove_prefix(cut + ws::kDelimiter.size());
    }
}

// Renders the client's queue as the output step would, walks spread over
// several loop passes included.
void serve(ws::ws_client &c)
{
    for (int passes = 0;; ++passes) {
        if (passes > 100000)
            std::abort(); // a reply that never ends
        if (c.notify && c.requests.empty())
            break;
        if (c.notify && ws::render_queue(c) < 0)
            std::abort();
        if (!c.notify)
            ev_run(kd_frame_get_loop(), EVRUN_NOWAIT);
        check_replies(std::string_view(c.pending).substr(ws::kPre));
        c.pending.resize(ws::kPre);
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    char tmpl[] = "/tmp/kdwsfuzz.XXXXXX";
    if (!mkdtemp(tmpl))
        std::abort();
    g_root = tmpl;
    std::atexit(finish);
    fs::create_directories(g_root / "cmd");
    setenv("KD_ROOT", g_root.c_str(), 1);
    setenv("KD_CMD_DIR", (g_root / "cmd").c_str(), 1); // no program runs
    setenv("HW_SLOT", "3", 1);
    setenv("KD_NO_RT", "1", 1);
    kd_log_set_sink(discard, nullptr);
    kd_frame_init();
    probe::build(__test_insert_active_plugin("probe", "/nowhere/libsv-probe.so"));
    ws::state().cfg.port = CONTEXT_PORT_NO_LISTEN;
    ws::ws_init(__test_insert_active_plugin("websocket", "/nowhere/libsv-websocket.so"));
    // Out of the fuzzer's reach: setters that would listen on a port, make
    // keys, apply profiles or change the machine. Their nodes stay as
    // placeholders, which reads and sets meet as unknown routes. A route
    // not found stops the target: a renamed node would be in reach again.
    for (const char *route : {"websocket/port", "frame/hostname", "frame/system_time", "frame/timezone",
                              "frame/ntp_server", "frame/avahi", "frame/security_newfile_state",
                              "frame/security_generate_csrfile", "frame/delete_certificate_file_state",
                              "frame/websocket_service", "frame/fips_140-3_mode", "frame/settings_profiles",
                              "frame/settings_profiles_add"})
        if (param_context *p = kd_param_get_by_route(route))
            kd_param_delete(p);
        else
            std::abort();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    ws::ws_state &s = ws::state();
    // What one input changes does not decide the next.
    probe::current() = {};
    s.logins = {};
    for (auto &u : s.cfg.users)
        u.access = ws::ACCESS_OPERATOR;

    ws::ws_client &c = ws::bind_new_client(nullptr);
    if (data[0] & 1)
        c.user = &s.cfg.users.front();
    const std::string_view message(reinterpret_cast<const char *>(data) + 1, size - 1);
    ws::handle_message(c, message);
    if (ws::find_client(c.conn_id) != &c || c.asked > ws::kMaxRequests)
        std::abort();
    serve(c);
    ws::remove_client(c);
    if (!s.clients.empty())
        std::abort();
    ev_run(kd_frame_get_loop(), EVRUN_NOWAIT); // finished worker tasks end on the loop
    return 0;
}

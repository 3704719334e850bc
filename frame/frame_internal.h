// Framework-internal entry points shared between the framework's own
// modules. Nothing here crosses the library boundary.
#pragma once

#include <kerrow/carrier.h>
#include <kerrow/frame.h>
#include <kerrow/plugin.h>
#include <kerrow/store.h>

#include <string_view>

namespace kd {

// ---- loop (loop.cpp) ----
void loop_init();
void loop_fini();
bool loop_ready();
void loop_run();
// Drops deferred calls of (fn, ctx) that have not run yet.
void idle_cancel(kd_frame_cb fn, void *ctx);

// ---- plug-in manager (plugin/) ----
// Calls fn for every plug-in record, in discovery order.
void plugin_for_each(void (*fn)(plugin_load_info *pli, void *ctx), void *ctx);

// ---- files (util/frame_util.cpp) ----
// Writes all of `text`, going on after interruptions; false on an error.
bool write_all(int fd, std::string_view text);

// ---- store (store/) ----
// Drops the plug-in's reference to its store section.
void store_release_section(plugin_load_info *pli);

// ---- alive tick (frame.cpp) ----
// What the 2-second tick calls outside this module; replaced in tests.
struct AliveHooks {
    bool (*is_master)();
    int (*request_timezone)();      // negative on failure
    void (*request_ntp_synchronized)();
    void (*restart_networkd)();
};
struct AliveState {
    unsigned check_ntp_sync = 0;
    int init_tzname = 1;
};
void alive_tick(AliveState &state, int &network_restart_needed, const AliveHooks &hooks);

// Set to 2 by the network settings when an interface's configuration
// changed; the alive tick restarts the network daemon when it runs out.
extern int network_restart_needed;

} // namespace kd

// ---- services built by kd_frame_init, in C linkage like the rest ----
extern "C" {
void kd_alarm_init(void);
void kd_alarm_fini(void);
int remote_init(struct ev_loop *loop);
void remote_fini(void);
int kd_worker_init(struct ev_loop *loop);
void kd_worker_fini(void);
int kd_system_init(void);
void kd_system_fini(void);
int kd_system_request_timezone(void);
void kd_system_request_ntp_synchronized(void);
void kd_system_restart_networkd(void);
int hw_get_uid(unsigned char *buf, size_t len = 8); // declared in kerrow/carrier.h
// kd_carrier_bind_carriers and kd_carrier_all_binds_complete, once per start.
void kd_carrier_bind_at_run(void);
// Drops the owner's queued worker tasks and waits for its running ones, so
// that its library can be closed.
void kd_worker_release_owner(plugin_load_info *owner);
void frame_init_cfg(void);
void frame_fini_cfg(void);
void setup_settings_profile(void);
}

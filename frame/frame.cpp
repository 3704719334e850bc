// Framework lifecycle: kd_frame_init builds every service in a fixed order,
// kd_frame_fini takes them down in the order that lets each still emit and
// unregister while it stops.
#include "frame_internal.h"

#include <kerrow/cuvent.h>
#include <kerrow/log.h>
#include <kerrow/param.h>
#include <kerrow/ref.h>

#include <ev.h>

#include <array>

namespace {

plugin_manager *g_manager = nullptr;

const char *me() { return kd_frame_plugin_get_name(nullptr); }

void step_loop() { kd::loop_init(); }
void step_remote() { remote_init(kd_frame_get_loop()); }
void step_plugins() { g_manager = kd_plugin_init_manager(); }
void step_store() { kd_store_init(); }
void stop_store() { kd_store_fini(); }
void step_worker() { kd_worker_init(kd_frame_get_loop()); }
void step_system() { kd_system_init(); }
void step_param() { kd_param_init(); }
void stop_param() { kd_param_fini(); }

struct Step {
    const char *name;
    void (*fn)();
};

// The order matters: each service may use those before it.
constexpr std::array kInitSteps{
    Step{"loop", step_loop},
    Step{"ref", kd_ref_init},
    Step{"cuvents", kd_cuvents_init},
    Step{"param", step_param},
    Step{"alarm", kd_alarm_init},
    Step{"carrier", kd_carrier_init},
    Step{"remote", step_remote},
    Step{"plugin", step_plugins},
    Step{"store", step_store},
    Step{"worker", step_worker},
    Step{"system", step_system},
    Step{"cfg", frame_init_cfg},
    Step{"settings_profile", setup_settings_profile},
};

void destroy_plugins()
{
    KD_LOG(KD_LOG_NOTICE, "[%s] Plugin Shutdown Initiated\n", me());
    if (g_manager && g_manager->destroy_manager)
        g_manager->destroy_manager();
    g_manager = nullptr;
    KD_LOG(KD_LOG_NOTICE, "[%s] Plugin Shutdown Complete\n", me());
}

constexpr std::array kFiniSteps{
    Step{"carrier_release", kd_carrier_release_all},
    Step{"cfg", frame_fini_cfg},
    Step{"plugin", destroy_plugins},
    Step{"system", kd_system_fini},
    Step{"worker", kd_worker_fini},
    Step{"remote", remote_fini},
    Step{"param", stop_param},
    Step{"carrier", kd_carrier_fini},
    Step{"alarm", kd_alarm_fini},
    Step{"store", stop_store},
    Step{"cuvents", kd_cuvents_fini},
    Step{"ref", kd_ref_fini},
    Step{"loop", kd::loop_fini},
};

template <size_t N> void run_steps(const std::array<Step, N> &steps, const char *what)
{
    for (const Step &s : steps) {
        // Debug lines trace the order; tests read them through the log sink.
        KD_LOG(KD_LOG_DEBUG, "[%s] %s %s\n", me(), what, s.name);
        s.fn();
    }
}

} // namespace

int kd::network_restart_needed = 0;

void kd::alive_tick(AliveState &st, int &restart_needed, const AliveHooks &hooks)
{
    if (hooks.is_master()) {
        ++st.check_ntp_sync;
        if (st.check_ntp_sync % 30 == 0)
            hooks.request_ntp_synchronized();
        if (st.init_tzname && hooks.request_timezone() >= 0) {
            hooks.request_ntp_synchronized();
            st.init_tzname = 0;
            KD_LOG(KD_LOG_NOTICE, "[%s] [system] bus cfgs initialized\n", me());
        }
    }
    if (restart_needed > 0 && --restart_needed == 0)
        hooks.restart_networkd();
}

extern "C" void kd_frame_init(void)
{
    if (kd::loop_ready())
        return; // already up
    kd::network_restart_needed = 0;
    run_steps(kInitSteps, "init");
}

extern "C" void kd_frame_load_plugin(const char *name)
{
    if (g_manager && g_manager->load_plugin)
        g_manager->load_plugin(name);
    else
        KD_LOG(KD_LOG_ERR, "[%s] Cannot load plugin. Manager not initialized.\n", me());
}

extern "C" void kd_frame_unload_plugin(const char *name)
{
    if (g_manager && g_manager->unload_plugin)
        g_manager->unload_plugin(name);
    else
        KD_LOG(KD_LOG_ERR, "[%s] Cannot unload plugin. Manager not initialized.\n", me());
}

extern "C" void kd_frame_run(void)
{
    if (!kd::loop_ready())
        return;
    // Plug-ins register their carrier factories in init, after discovery:
    // bind once all the host's plug-ins are loaded.
    kd_carrier_bind_at_run();
    kd_cuvent_emit(nullptr, "frame run", nullptr);
    KD_LOG(KD_LOG_INFO, "[%s] Starting simple timer and stdin loop\n", me());
    kd::loop_run();
    KD_LOG(KD_LOG_INFO, "[%s] Loop returned\n", me());
}

extern "C" void kd_frame_fini(void)
{
    if (!kd::loop_ready())
        return;
    KD_LOG(KD_LOG_NOTICE, "[%s] Shutdown Initiated\n", me());
    run_steps(kFiniSteps, "fini");
}

// The forwarder's engine in a libFuzzer process, brought up as its tests
// bring it up: the framework on a private root (no program may run, the
// log discarded), the plug-in's record as the plug-in manager holds it,
// the configuration lists with the setup tree, and managers that keep
// records only (no socket, no thread).
#pragma once

#include "fuzz_frame.h"

#include "engine.h"
#include "ingress/manager_input.h"
#include "mcastfwdr.h"
#include "outputs/manager_output.h"
#include "status_queue.h"

#include <kerrow/plugin.h>
#include <kerrow/store.h>

#include <cstdlib>

namespace mcffuzz {

inline void start_plugin()
{
    mcf_pli = __test_insert_active_plugin("mcastfwdr", "/nowhere/libsv-mcastfwdr.so");
    if (!mcf_pli || mcastfwdr_cfg_init(&mcf_cfg) != 0)
        std::abort();
    mcf_status_queue_init(pthread_self());
    mcastfwdr_setup_params(&mcf_cfg, mcf_pli);
    mcf::manager_inputs_records_only(true);
    mcf::manager_outputs_records_only(true);
    manager_inputs_init();
    manager_outputs_init();
}

// Everything start_plugin made, the plug-in's stored keys too.
inline void stop_plugin()
{
    if (char **keys = kd_store_get_keys(mcf_pli)) {
        for (char **k = keys; *k; ++k) {
            kd_store_remove_key(mcf_pli, *k);
            std::free(*k);
        }
        std::free(keys);
    }
    manager_outputs_fini();
    manager_inputs_fini();
    mcf_status_queue_fini();
    mcastfwdr_cfg_fini(&mcf_cfg);
    mcf_ctrl_plane_configuration_is_loaded = 0;
    kd_frame_unload_plugin("mcastfwdr");
    mcf_pli = nullptr;
}

// The framework and the plug-in, once per process; taken down at exit
// before the framework (atexit runs in reverse order).
inline void start_engine()
{
    kdfuzz::start_framework("5");
    start_plugin();
    std::atexit(stop_plugin);
}

} // namespace mcffuzz

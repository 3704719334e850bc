// Test fixtures for the forwarder engine: a running framework with the
// plug-in's record inserted as the framework's plug-in manager would hold it,
// and the engine's control state made the way the plug-in's start makes it.
#pragma once

#include "engine.h"
#include "ingress/manager_input.h"
#include "mcastfwdr.h"
#include "outputs/manager_output.h"
#include "test_support.h"

#include <kerrow/cuvent.h>
#include <kerrow/frame.h>
#include <kerrow/param.h>
#include <kerrow/plugin.h>

#include <chrono>
#include <functional>
#include <stdexcept>
#include <string>
#include <thread>

namespace mcftest {

// A record the test goes on with. Missing, it ends the test with a failure
// (gtest reports the exception), as an ASSERT would, instead of a crash
// that leaves the rig behind. Not for code the loop calls back.
template <class T> T *must(T *p, const char *what)
{
    if (!p)
        throw std::runtime_error(std::string(what) + " is missing");
    return p;
}

// Waits (on events, with a generous limit) until cond holds.
inline bool eventually(const std::function<bool()> &cond, int ms = 60000)
{
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!cond()) {
        if (std::chrono::steady_clock::now() > until)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

// Runs the loop until cond holds (checked every 10 ms) or `limit` seconds
// pass (generous: the limit only ends a hung test).
inline bool run_loop_until(const std::function<bool()> &cond, double limit = 60.0)
{
    static const std::function<bool()> *g_cond;
    g_cond = &cond;
    if (cond())
        return true;
    kd_frame_timeout_register("mcftest-check", [](void *) {
        if ((*g_cond)())
            kd_shutdown();
    }, nullptr, 0.01, 1, nullptr);
    kd_frame_timeout_register("mcftest-limit", [](void *) { kd_shutdown(); }, nullptr, limit, 0, nullptr);
    kd_frame_run();
    kd_frame_stop_watcher("mcftest-check", nullptr);
    kd_frame_stop_watcher("mcftest-limit", nullptr);
    return cond();
}

class EngineTest : public kdtest::FrameTest {
protected:
    void SetUp() override
    {
        kdtest::FrameTest::SetUp();
        pli_ = __test_insert_active_plugin("mcastfwdr", "/nonexistent/libsv-mcastfwdr.so");
        ASSERT_NE(pli_, nullptr);
        mcf_pli = pli_;
        ASSERT_EQ(mcastfwdr_cfg_init(&mcf_cfg), 0);
        mcf_status_queue_init(pthread_self());
        mcastfwdr_setup_params(&mcf_cfg, pli_);
        mcf::register_listeners(pli_);
        mcf::manager_inputs_records_only(true);
        mcf::manager_outputs_records_only(true);
        manager_inputs_init();
        manager_outputs_init();
    }
    void TearDown() override
    {
        mcf::release_listeners();
        manager_outputs_fini();
        manager_inputs_fini();
        mcf::manager_inputs_records_only(false);
        mcf::manager_outputs_records_only(false);
        mcf_status_queue_fini();
        mcastfwdr_cfg_fini(&mcf_cfg);
        mcf_ctrl_plane_configuration_is_loaded = 0;
        kd_frame_unload_plugin("mcastfwdr");
        mcf_pli = nullptr;
        kdtest::FrameTest::TearDown();
    }

    // A Net input with its row, address and port.
    cfg_rx *net_input(int id, const char *node = MCF_ADDR_UNSET, int port = -1)
    {
        cfg_rx *rx = must(mcfcfg_rx_add_net(id), "a new Net input");
        std::snprintf(rx->ingress_node, sizeof rx->ingress_node, "%s", node);
        rx->ingress_port = port;
        mcastfwdr_allocate_rule_input(mcf_cfg.tbl_inputs, rx);
        return rx;
    }
    // An output record of the given kind.
    cfg_tx *output(int id, egress_types type)
    {
        auto *tx = static_cast<cfg_tx *>(mcf_list_append(mcf_cfg.rules_tx));
        tx->dest_id = id;
        cfg_tx_init(tx, type);
        return tx;
    }

    plugin_load_info *pli_ = nullptr;
};

} // namespace mcftest

// The status queue and log hand-over between data threads and the loop,
// and the listeners that may run off the loop.
#include "engine_fixture.h"

#include <kerrow/log.h>
#include <kerrow/system.h>

#include <pthread.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

using mcftest::EngineTest;
using mcftest::run_loop_until;

// Runs fn on a thread of its own and waits for it.
template <class F> void on_data_thread(F fn)
{
    std::thread t(fn);
    t.join();
}

class McfStatusQueue : public EngineTest {};

TEST_F(McfStatusQueue, HoldsThreeHundredNinetyNineAndRefusesTheNext)
{
    on_data_thread([] {
        for (int i = 0; i < 399; ++i)
            ASSERT_EQ(mcf_post_log(SQ_LOG_INFO, "MCF: line %d", i), 0);
        EXPECT_EQ(mcf_post_log(SQ_LOG_INFO, "MCF: one too many"), -1); // LSan: its payload is freed
        EXPECT_EQ(mcf_post_routable_input_bps_changed_event(5), -1);
    });
    EXPECT_EQ(log_.count("MCF: line"), 0); // nothing before the pass
    mcf_status_queue_periodic_check();
    EXPECT_EQ(log_.count("MCF: line"), 399);
    EXPECT_EQ(log_.count("MCF: one too many"), 0);
    EXPECT_EQ(log_.count("MCF: StatQ full: 2 records lost"), 1); // once, with the count
    on_data_thread([] { EXPECT_EQ(mcf_post_log(SQ_LOG_INFO, "MCF: room again"), 0); });
    mcf_status_queue_periodic_check();
    EXPECT_EQ(log_.count("MCF: room again"), 1);
    EXPECT_EQ(log_.count("records lost"), 1);
}

TEST_F(McfStatusQueue, LogTextIsCutAndKeepsItsPriority)
{
    const std::string long_text(200, 'x');
    on_data_thread([&] {
        mcf_post_log(SQ_LOG_ERROR, "MCF: e");
        mcf_post_log(SQ_LOG_WARN, "MCF: w");
        mcf_post_log(SQ_LOG_INFO, "MCF: i");
        mcf_post_log(SQ_LOG_DEBUG, "MCF: d");
        mcf_post_log(SQ_LOG_INFO, "%s", long_text.c_str());
    });
    mcf_status_queue_periodic_check();
    mcf_post_log(SQ_LOG_WARN, "MCF: on the loop"); // at once
    struct Want {
        const char *text;
        int prio;
    } want[] = {{"[mcastfwdr] MCF: e\n", KD_LOG_ERR},
                {"[mcastfwdr] MCF: w\n", KD_LOG_WARNING},
                {"[mcastfwdr] MCF: i\n", KD_LOG_NOTICE},
                {"[mcastfwdr] MCF: d\n", KD_LOG_INFO},
                {"[mcastfwdr] MCF: on the loop\n", KD_LOG_WARNING}};
    const auto lines = log_.lines();
    for (const auto &w : want) {
        bool seen = false;
        for (const auto &l : lines)
            if (l.text == w.text) {
                seen = true;
                EXPECT_EQ(l.priority, w.prio) << w.text;
            }
        EXPECT_TRUE(seen) << w.text;
    }
    EXPECT_EQ(log_.count("[mcastfwdr] " + std::string(119, 'x') + "\n"), 1);
}

TEST_F(McfStatusQueue, EightPostersLoseNothingWhileThereIsRoom)
{
    std::vector<std::thread> posters;
    std::atomic<int> refused{0};
    for (int t = 0; t < 8; ++t)
        posters.emplace_back([t, &refused] {
            for (int i = 0; i < 40; ++i)
                refused += mcf_post_log(SQ_LOG_INFO, "MCF: poster %d seq %d", t, i) != 0;
        });
    for (auto &p : posters)
        p.join();
    EXPECT_EQ(refused.load(), 0);
    mcf_status_queue_periodic_check();
    for (int t = 0; t < 8; ++t)
        for (int i = 0; i < 40; ++i)
            EXPECT_EQ(log_.count("MCF: poster " + std::to_string(t) + " seq " + std::to_string(i) + "\n"), 1);
}

TEST_F(McfStatusQueue, PostersRefuseBadArgumentsAndAnAbsentQueue)
{
    std::vector<char> big(1501, 'p');
    on_data_thread([&] {
        EXPECT_EQ(mcf_post_info_record(big.data(), 1501), -1);
        EXPECT_EQ(mcf_post_info_record(big.data(), 1500), 0);
        for (int id : {0, -1}) {
            EXPECT_EQ(mcf_post_input_rate_detected(id, 1000), -1);
            EXPECT_EQ(mcf_post_routable_input_added_deleted_event(id, true), -1);
            EXPECT_EQ(mcf_post_routable_input_bps_changed_event(id), -1);
        }
    });
    mcf_status_queue_periodic_check();
    EXPECT_EQ(log_.count("records lost"), 0); // refusals are not losses

    on_data_thread([] { mcf_post_log(SQ_LOG_INFO, "MCF: waits for fini"); });
    mcf_status_queue_fini(); // pending log lines are written, not lost
    EXPECT_EQ(log_.count("MCF: waits for fini"), 1);
    on_data_thread([] {
        EXPECT_EQ(mcf_post_log(SQ_LOG_INFO, "MCF: too late"), -1);
        EXPECT_EQ(mcf_post_program_status_clear(100), -1);
    });
    mcf_status_queue_periodic_check(); // nothing to read
    mcf_status_queue_init(pthread_self()); // for the fixture's teardown
}

TEST_F(McfStatusQueue, ProgramRecordsBuildAndUpdateTheInputsRows)
{
    cfg_rx *rx = net_input(100, "239.1.1.1", 5000);
    {
        mcf::write_lock lock;
        manager_input_output_sync(0); // the input gets its manager
    }
    ASSERT_NE(manager_inputs_find_by_id(100), nullptr);
    on_data_thread([] {
        mcf_post_program_status_add(100, 7, "A name longer than nineteen", CASTATUS_BISS1);
        mcf_post_program_status_add(100, 7, "again", CASTATUS_CLEAR);
        mcf_post_program_status_state(100, 7, true);
        mcf_post_program_status_name(100, 7, "News");
        mcf_post_program_status_add(999, 1, "no such input", CASTATUS_CLEAR);
    });
    mcf_status_queue_periodic_check();
    ASSERT_EQ(rx->ingress_pgm_status_count, 1);
    const in_pgm_status &p = rx->ingress_pgm_status[0];
    EXPECT_EQ(p.pgm_num, 7);
    EXPECT_STREQ(p.pgm_name, "News");
    EXPECT_EQ(p.status, 1);
    EXPECT_EQ(p.ca_status, CASTATUS_BISS1);
    EXPECT_EQ(log_.count("MCF: StatQ ADD Program 7 Name A name longer than  for Input 100 CA 1"), 1);
    EXPECT_EQ(log_.count("Already Exists - Ignoring."), 1);

    // The row: four children in order, reading from the entry.
    ASSERT_NE(p.param_pgm_status_entry, nullptr);
    const char *labels[] = {"Program Number", "Program Name", "Program Status", "Program CA Status"};
    const char *values[] = {"7", "News", "Active", "BISS1"};
    for (int i = 0; i < 4; ++i) {
        param_context *c = kd_param_list_index(p.param_pgm_status_entry, i);
        EXPECT_STREQ(kd_param_get_label(c), labels[i]);
        char *v = kd_param_get_value_text(c);
        EXPECT_STREQ(v, values[i]);
        std::free(v);
    }

    // Without its manager the input's programs are cleared.
    {
        mcf::write_lock lock;
        manager_inputs_delete(100);
    }
    on_data_thread([] { mcf_post_program_status_name(100, 7, "Sport"); });
    mcf_status_queue_periodic_check();
    EXPECT_EQ(rx->ingress_pgm_status_count, 0);
}

TEST_F(McfStatusQueue, AProgramBeyondTheTableIsRefused)
{
    cfg_rx *rx = net_input(100, "239.1.1.1", 5000);
    {
        mcf::write_lock lock;
        manager_input_output_sync(0);
    }
    on_data_thread([] {
        for (uint32_t p = 1; p <= 65; ++p)
            mcf_post_program_status_add(100, p, "p", CASTATUS_CLEAR);
    });
    mcf_status_queue_periodic_check();
    EXPECT_EQ(rx->ingress_pgm_status_count, 64);
    EXPECT_EQ(log_.count("program table full"), 1);
}

class McfListeners : public EngineTest {};

TEST_F(McfListeners, DecoderChannelOffTheLoopActsOnTheLoopEvenUnderTheReadLock)
{
    cfg_tx *dec = output(1, EGRTYPE_DEC);
    mcf_ctrl_plane_configuration_is_loaded = 1;
    {
        mcf::write_lock lock;
        manager_input_output_sync(0);
    }
    ASSERT_NE(manager_outputs_find_by_id(1), nullptr);
    std::atomic<bool> emitted{false};
    std::thread mux([&] {
        // As the multiplexer would, inside "ccset", here even with the read side held.
        pthread_rwlock_rdlock(&ctrl_data_lock);
        uint32_t channel = 1;
        kd_cuvent_emit(nullptr, "decoder_channel_disabled", &channel);
        pthread_rwlock_unlock(&ctrl_data_lock);
        emitted = true;
    });
    mux.join(); // returned: the listener did not wait for the write lock
    EXPECT_TRUE(emitted);
    EXPECT_EQ(dec->dest_transmit, DEST_XMIT_ON); // the record is the loop's
    ASSERT_TRUE(run_loop_until([&] { return dec->dest_transmit == DEST_XMIT_OFF; }));
    EXPECT_EQ(manager_outputs_find_by_id(1), nullptr);

    uint32_t channel = 1; // on the loop: at once
    kd_cuvent_emit(nullptr, "decoder_channel_enabled", &channel);
    EXPECT_EQ(dec->dest_transmit, DEST_XMIT_ON);
    EXPECT_NE(manager_outputs_find_by_id(1), nullptr);
    channel = 7; // no such output
    kd_cuvent_emit(nullptr, "decoder_channel_disabled", &channel);
}

TEST_F(McfListeners, ConfigurationLoadedBuildsManagersAndFipsRestartsSrt)
{
    cfg_rx *srt_in = net_input(100, "10.0.0.5", 7000);
    srt_in->srt_ingress_enabled = 1;
    cfg_tx *srt_out = output(0, EGRTYPE_NET);
    std::snprintf(srt_out->dest_node, sizeof srt_out->dest_node, "%s", "10.0.0.6");
    srt_out->dest_port = 7001;
    srt_out->dest_transmit = DEST_XMIT_ON;
    srt_out->dest_protocol = PROTOCOL_SRT;
    net_input(101, "239.1.1.3", 5001); // an output carries a program of a managed input
    cfg_tx_input *svc = cfg_tx_input_add(srt_out);
    svc->input_id = 101;
    svc->input_prog_num = 1;
    kd_cuvent_emit(nullptr, "mcastfwdr_parms_loaded", nullptr);
    EXPECT_EQ(mcf_ctrl_plane_configuration_is_loaded, 1u);
    EXPECT_NE(manager_inputs_find_by_id(100), nullptr);
    EXPECT_NE(manager_outputs_find_by_id(0), nullptr);

    param_context *fips = kd_param_get_by_route("frame/fips_140-3_mode");
    ASSERT_NE(fips, nullptr);
    kd_cuvent_emit(nullptr, "on_param_update", fips);
    EXPECT_EQ(log_.count("FIPS 140-3 Mode changed to DISABLED, restarting all SRT connections"), 1);
    EXPECT_EQ(log_.count("Output Output IP 0-1: Restarted for FIPS mode DISABLED"), 1);
    EXPECT_EQ(log_.count("FIPS 140-3 Mode update: 2 manager(s) restarted"), 1);
    EXPECT_NE(manager_outputs_find_by_id(0), nullptr); // built again

    // Unloaded: the listener is gone with the plug-in's registrations.
    mcf::release_listeners();
    kd_cuvent_emit(nullptr, "on_param_update", fips);
    EXPECT_EQ(log_.count("FIPS 140-3 Mode changed"), 1);
    mcf::register_listeners(pli_); // for the teardown
}

TEST_F(McfListeners, ProxyConnectionAsksForTheInterCardEvents)
{
    std::vector<std::string> asked;
    static std::vector<std::string> *g_asked;
    g_asked = &asked;
    kd_cuvent_register_cb(nullptr, "register_proxy_cuvent", [](cuvent_wrapper *w) {
        const auto *info = static_cast<proxy_cuvent_info *>(w->emit_ctx);
        g_asked->push_back(std::string(info->name) + "/" + std::to_string(info->len));
    }, nullptr, CUVFLT_NONE);
    kd_cuvent_emit(nullptr, "on_proxy_all_slaves_connected", nullptr);
    EXPECT_EQ(asked, (std::vector<std::string>{"internal_ts/20", "internal_ts_clear/12"}));
    EXPECT_EQ(mcf_ctrl_plane_external_systems_connected, 1u);
    mcf_ctrl_plane_external_systems_connected = 0;
}

} // namespace

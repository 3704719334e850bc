// The forwarder on a simulated card: start and stop in order, idle on a
// slave, loaded from its library through the plug-in manager and unloaded
// without leaving anything behind. Needs root; skips otherwise.
#include "scenario.h"

#include "egress/decoder_link.h"

#include <kerrow/store.h>

#include <dirent.h>

#include <string>

namespace {

using mcftest::scenario;

int thread_count()
{
    int n = 0;
    if (DIR *d = opendir("/proc/self/task")) {
        while (dirent *e = readdir(d))
            n += e->d_name[0] != '.';
        closedir(d);
    }
    return n;
}

class McfSystem : public ::testing::Test {
protected:
    void SetUp() override
    {
        const std::string why = scenario::skip_reason();
        if (!why.empty())
            GTEST_SKIP() << why;
    }
};

TEST_F(McfSystem, MasterStartsActiveAndStopsInOrder)
{
    scenario card(3);
    plugin_load_info *pli = card.start_linked();
    const auto &log = card.log();
    EXPECT_EQ(log.count("[mcastfwdr] Starting..\n"), 1);
    EXPECT_EQ(log.count("[mcastfwdr] MCASTFWDR_USE_DRIFT_COMPENSATION:                    1\n"), 1);
    int switches = 0;
    for (const auto &l : log.lines())
        switches += l.text.rfind("[mcastfwdr] MCASTFWDR_", 0) == 0 || l.text.rfind("[mcastfwdr] MCF_", 0) == 0;
    EXPECT_EQ(switches, 22);
    EXPECT_EQ(log.count("[mcastfwdr] Started Active\n"), 1);
    EXPECT_EQ(log.count("MCF: Configuration is loaded."), 1);
    EXPECT_EQ(mcf_ctrl_plane_configuration_is_loaded, 1u);
    ASSERT_NE(circbuf, nullptr);
    EXPECT_NE(mcf_cfg.tbl_inputs, nullptr);

    // A Net input added later, as an applier would, gets its manager.
    cfg_rx *rx = nullptr;
    EXPECT_EQ(card.change([&] {
        rx = mcftest::must(mcfcfg_rx_add_net(-1), "a new input");
        std::snprintf(rx->ingress_node, sizeof rx->ingress_node, "%s", "239.5.5.5");
        rx->ingress_port = 5500;
    }), 1);
    ASSERT_NE(rx, nullptr);
    EXPECT_EQ(rx->ingress_id, 100);
    EXPECT_NE(manager_inputs_find_by_id(100), nullptr);

    // The maintenance runs on the loop and hands data-thread logs over.
    std::thread([] { mcf_post_log(SQ_LOG_WARN, "MCF: from a data thread"); }).join();
    ASSERT_TRUE(mcftest::run_loop_until([&] { return log.count("MCF: from a data thread") == 1; }));

    kd_frame_unload_plugin("mcastfwdr");
    EXPECT_EQ(log.count("[mcastfwdr] Stopping\n"), 1);
    EXPECT_EQ(log.count("[mcastfwdr] Stopped\n"), 1);
    EXPECT_EQ(circbuf, nullptr);
    EXPECT_EQ(mcf_pli, nullptr);
    EXPECT_EQ(pli->top_param, nullptr);
    uint32_t channel = 0; // nothing listens any more
    kd_cuvent_emit(nullptr, "decoder_channel_disabled", &channel);
    kd_cuvent_emit(nullptr, "on_param_update", kd_param_get_by_route("frame/fips_140-3_mode"));
    EXPECT_EQ(log.count("FIPS 140-3 Mode changed"), 0);
}

TEST_F(McfSystem, ASlaveCardStartsIdle)
{
    scenario card(5);
    card.start_linked();
    EXPECT_EQ(card.log().count("[mcastfwdr] Started Idle\n"), 1);
    EXPECT_EQ(card.log().count("Starting.."), 0);
    EXPECT_EQ(circbuf, nullptr);
    kd_frame_unload_plugin("mcastfwdr");
    EXPECT_EQ(card.log().count("[mcastfwdr] Stopping\n"), 1);
    EXPECT_EQ(card.log().count("[mcastfwdr] Stopped\n"), 1);
}

TEST_F(McfSystem, TheLibraryLoadsUnloadsAndLoadsAgainLeavingNothingBehind)
{
    scenario card(3, true);
    const int threads = thread_count();
    for (int round = 1; round <= 2; ++round) {
        kd_frame_load_plugin("mcastfwdr");
        EXPECT_EQ(card.log().count("[mcastfwdr] Started Active\n"), round);
        EXPECT_NE(kd_param_get_cfg(kd_plugin_get_pli_by_name("mcastfwdr")), nullptr);
        ASSERT_TRUE(mcftest::run_loop_until([&] { return card.log().count("MCF: Configuration is loaded.") == round; }));
        kd_frame_unload_plugin("mcastfwdr");
        EXPECT_EQ(card.log().count("[mcastfwdr] Stopped\n"), round);
        EXPECT_EQ(kd_plugin_get_pli_by_name("mcastfwdr")->handle, nullptr);
        EXPECT_EQ(thread_count(), threads);
    }
    // The library is closed: events it listened to reach nothing.
    uint32_t channel = 1;
    kd_cuvent_emit(nullptr, "decoder_channel_enabled", &channel);
    kd_cuvent_emit(nullptr, "input_output_sync", const_cast<char *>("enccfg/encoders/carrier_1/encoder_0/x:1"));
    kd_cuvent_emit(nullptr, "on_param_update", kd_param_get_by_route("frame/fips_140-3_mode"));
    EXPECT_EQ(card.log().count("FIPS 140-3 Mode changed"), 0);
    EXPECT_EQ(card.log().count("Input_output Sync"), 0);
}

TEST_F(McfSystem, ADecoderCardHasTwoDecoderOutputs)
{
    scenario card(3, false, "decode");
    card.start_linked();
    ASSERT_TRUE(mcf_decoder_exists());
    EXPECT_EQ(card.log().count("MCF: Allocated cfg_tx 0 and 1 for two Decode Outputs."), 1);
    const int rates[] = {100000000, 25000000};
    for (int ch : {0, 1}) {
        const cfg_tx *tx = mcfcfg_tx_find_by_id(ch);
        ASSERT_NE(tx, nullptr) << ch;
        EXPECT_EQ(tx->egress_type, EGRTYPE_DEC);
        EXPECT_EQ(tx->dest_bps, rates[ch]);
        // One service, through which the user names what the channel decodes.
        EXPECT_EQ(mcf_list_count(tx->dest_services), 1u);
        const std::string svc = "mcastfwdr/rules/outputs/output_" + std::to_string(ch) + "/input_refs/service_0/";
        EXPECT_NE(kd_param_get_by_route((svc + "input_id").c_str()), nullptr) << ch;
        EXPECT_NE(kd_param_get_by_route((svc + "program_number").c_str()), nullptr) << ch;
        EXPECT_GT(mcf_decoder_get_socket_id(ch), 0);
        ASSERT_NE(mcf_decoder_get_socket_remote(ch), nullptr);
    }
    kd_frame_unload_plugin("mcastfwdr");
    EXPECT_EQ(mcf_decoder_get_socket_id(0), 0);
    EXPECT_EQ(mcf_decoder_get_socket_remote(1), nullptr);
}

} // namespace

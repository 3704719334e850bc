// ASI ports on a simulated card whose carrier reports an ASI port: the
// outputs, their sockets and static neighbour entries on eth2, the
// configuration words the carrier receives, and a clean stop. Needs root;
// skips otherwise.
#include "scenario.h"

#include "asi/asi_ports.h"
#include "ingress/xsb_bridge.h"

#include <card_records.h>
#include <carrier_sim.h>

#include <cstring>
#include <string>

namespace {

using mcftest::scenario;

class AsiPortsCard : public ::testing::Test {
protected:
    void SetUp() override
    {
        const std::string why = scenario::skip_reason();
        if (!why.empty())
            GTEST_SKIP() << why;
    }
};

TEST_F(AsiPortsCard, SetUpProgrammingAndStop)
{
    std::vector<uint32_t> info = xsbsim::default_info(3);
    info.push_back(xsbsim::port_rec(4, 9, 0x0401)); // four interfaces, one stream
    scenario card(3, false, nullptr, info);
    plugin_load_info *pli = card.start_linked();
    auto &log = card.log();
    EXPECT_EQ(log.count("ASI found. PortIdx: 4, Streams: 1 IntfCount: 4"), 1);
    EXPECT_EQ(log.count("Added arp entry: <169.254.1.8"), 4);
    for (int id = 0; id < 4; ++id) {
        cfg_tx *tx = mcfcfg_tx_find_by_id(id);
        ASSERT_NE(tx, nullptr) << id;
        EXPECT_EQ(tx->egress_type, EGRTYPE_ASI);
        EXPECT_GT(mcastfwdr_asi_get_socket_id(id), 0) << id;
    }
    EXPECT_EQ(mcastfwdr_asi_get_socket_id(4), -1);
    const std::string neigh = card.card_output("ip neigh show dev eth2");
    for (int i = 0; i < 4; ++i)
        EXPECT_NE(neigh.find("169.254.1." + std::to_string(80 + i) + " lladdr"), std::string::npos) << neigh;
    EXPECT_NE(neigh.find("PERMANENT"), std::string::npos);

    // A rate change: four words in one CFWR frame for the output's row.
    mcfcfg_tx_find_by_id(2)->dest_bps = 10000000;
    card.carrier().clear_records();
    ASSERT_EQ(mcastfwdr_asi_hw_cfg_bitrate(mcfcfg_tx_find_by_id(2), 10000000, 1), 0);
    ASSERT_TRUE(mcftest::eventually([&] { return !card.carrier().cfwr().empty(); }));
    const std::vector<uint32_t> w = card.carrier().cfwr().at(0);
    ASSERT_EQ(w.size(), 4u);
    EXPECT_EQ(w[0] & 0xFFFF0003, 0x04020002u); // row 2, fill, stopped
    EXPECT_EQ(w[1], 0x04120000u | 132);
    EXPECT_EQ((w[2] & 0xFFFF) << 16 | (w[3] & 0xFFFF), 8314470u);

    // Queue reports from the carrier (INFO records 0x81) drive the output's rate.
    internal_ts_info flow{};
    std::memcpy(flow.src, "e21", 3);
    std::memcpy(flow.dst, "1a0", 3);
    flow.index = 5;
    flow.routable = 1;
    flow.rate = 5000000;
    kd_cuvent_emit(nullptr, "internal_ts", &flow);
    ASSERT_NE(manager_inputs_find_by_id(1705), nullptr);
    cfg_tx *tx = mcfcfg_tx_find_by_id(0);
    tx->dest_bps = 10000000;
    tx->dest_transmit = DEST_XMIT_ON;
    cfg_tx_input *svc = cfg_tx_input_add(tx);
    svc->input_id = 1705;
    svc->input_prog_num = 1;
    card.change([] {});
    manager_output *mo = manager_outputs_find_by_id(0);
    ASSERT_NE(mo, nullptr);
    EXPECT_EQ(mo->monitor.mid_pkts, 132u);
    const int base = mo->configured_dest_bps;
    for (int i = 0; i < 10; ++i)
        ASSERT_TRUE(card.carrier().send_raw(xsbsim::info_frame(3, {0x81000000u | 60, 0x81010000u | 10, 0x81020000u | 10,
                                                                 0x81030000u | 10})));
    EXPECT_TRUE(mcftest::run_loop_until([&] { return mo->monitor.state == ASI_QUEUE_ULTRA_LOW; }));
    EXPECT_EQ(log.count("MCF: Output 0 ASIQ drift state change: NORMAL ==> ULTRA_LOW. Current Level: 60 (pkts)."), 1);
    EXPECT_EQ(mo->configured_dest_bps, base + 10);

    // Stop: the neighbour entries, virtual addresses and sockets go.
    auto asi_vmaps = [&] {
        int n = 0;
        for (const auto &[vaddr, mask] : card.carrier().vmap())
            n += (mask >> 4) & 1; // mapped onto port 4, the ASI port
        return n;
    };
    EXPECT_EQ(asi_vmaps(), 4);
    kd_frame_unload_plugin(kd_frame_plugin_get_name(pli));
    EXPECT_TRUE(mcftest::eventually([&] { return asi_vmaps() == 0; }));
    EXPECT_EQ(log.count("Deleted arp entry: <169.254.1.8"), 4);
    EXPECT_EQ(card.card_output("ip neigh show dev eth2").find("169.254.1.8"), std::string::npos);
}

} // namespace

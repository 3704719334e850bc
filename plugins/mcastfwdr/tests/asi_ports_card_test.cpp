// ASI ports on a simulated card whose carrier reports an ASI port: the
// outputs, their sockets and static neighbour entries on eth2, the
// configuration words the carrier receives, and a clean stop. Needs root;
// skips otherwise.
#include "scenario.h"

#include "asi/asi_ports.h"

#include <card_records.h>
#include <carrier_sim.h>

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

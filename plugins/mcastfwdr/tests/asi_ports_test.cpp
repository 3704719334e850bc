// ASI ports: pacing arithmetic, the configuration words sent, the start
// debounce, the INFO pre-filter and the queue drift control.
#include "engine_fixture.h"

#include "asi/asi_ports.h"
#include "cfg/mcf_services.h"

#include <kerrow/carrier.h>

#include <arpa/inet.h>

#include <cstring>
#include <vector>

// CFWR frames as the carrier layer would send them (words in host order).
static std::vector<std::vector<uint32_t>> g_frames;
extern "C" int __wrap_kd_carrier_send_cfwr(const void *, const void *records, size_t len)
{
    std::vector<uint32_t> words(len / 4);
    std::memcpy(words.data(), records, len);
    for (uint32_t &w : words)
        w = ntohl(w);
    g_frames.push_back(words);
    return 0;
}

namespace {

using namespace mcf::asi;

TEST(AsiPacing, RatesTicksLatencyAndMarks)
{
    struct Case {
        int bps;
        uint32_t ticks, latency;
        queue_marks marks;
    } cases[] = {
        {10000000, 8316518, 132, {66, 99, 132, 165, 198}},
        {270000000, 308019, 3590, {1795, 2693, 3590, 4487, 5385}},
        {0, 0, 0, {0, 0, 0, 0, 0}},
        {-5, 0, 0, {0, 0, 0, 0, 0}},
        {1, 0, 0, {0, 0, 0, 0, 0}}, // a period beyond the port's counter: no pacing
    };
    for (const Case &c : cases) {
        EXPECT_EQ(pacing_ticks(c.bps), c.ticks) << c.bps;
        EXPECT_EQ(latency_pkts(c.bps), c.latency) << c.bps;
        const queue_marks m = marks_for(c.bps);
        EXPECT_EQ((std::vector<unsigned>{m.ultra_lwm, m.lwm, m.mid, m.hwm, m.ultra_hwm}),
                  (std::vector<unsigned>{c.marks.ultra_lwm, c.marks.lwm, c.marks.mid, c.marks.hwm, c.marks.ultra_hwm}))
            << c.bps;
    }
    EXPECT_EQ(actual_bps(8316518), 10000000);
    EXPECT_EQ(actual_bps(0), 0);
    EXPECT_EQ(actual_bps(-3), 0);
    EXPECT_EQ(mcastfwdr_asi_calculate_actual_bps(10000000, 0, 0), 10000000);
    EXPECT_EQ(mcastfwdr_asi_calculate_actual_bps(10000000, -4, 0), 10000005);
    EXPECT_EQ(mcastfwdr_asi_calculate_actual_bps(0, 10, 0), 0);
}

TEST(AsiDrift, TenSamplesDecideTheState)
{
    asi_queue_monitor m{};
    const queue_marks q = marks_for(10000000);
    m.ultra_lwm_pkts = q.ultra_lwm;
    m.lwm_pkts = q.lwm;
    m.mid_pkts = q.mid;
    m.hwm_pkts = q.hwm;
    m.ultra_hwm_pkts = q.ultra_hwm;
    auto evaluate = [&](std::vector<unsigned> levels) {
        drift_decision d{};
        for (size_t i = 0; i < levels.size(); ++i)
            EXPECT_EQ(add_sample(m, levels[i], &d), i + 1 == levels.size());
        return d;
    };
    struct Step {
        std::vector<unsigned> levels;
        asi_queue_state state;
        int tick_step, rate_step;
        bool changed;
    } steps[] = {
        {{99, 99, 99, 99, 99, 99, 99, 99, 99, 60}, ASI_QUEUE_LOW, 2, 5, true},
        {std::vector<unsigned>(10, 66), ASI_QUEUE_ULTRA_LOW, 4, 10, true},
        {std::vector<unsigned>(10, 132), ASI_QUEUE_ULTRA_LOW, 0, 0, false},
        {{132, 132, 132, 132, 132, 132, 132, 132, 132, 133}, ASI_QUEUE_NORMAL, 0, 0, true},
        {std::vector<unsigned>(10, 165), ASI_QUEUE_HIGH, -2, -5, true},
        {std::vector<unsigned>(10, 500), ASI_QUEUE_ULTRA_HIGH, -4, -10, true},
        {std::vector<unsigned>(10, 170), ASI_QUEUE_ULTRA_HIGH, 0, 0, false},
        {{131, 132, 132, 132, 132, 132, 132, 132, 132, 132}, ASI_QUEUE_NORMAL, 0, 0, true},
    };
    for (size_t i = 0; i < std::size(steps); ++i) {
        const drift_decision d = evaluate(steps[i].levels);
        EXPECT_EQ(d.state, steps[i].state) << i;
        EXPECT_EQ(d.changed, steps[i].changed) << i;
        if (d.changed) {
            EXPECT_EQ(d.tick_step, steps[i].tick_step) << i;
            EXPECT_EQ(d.rate_step, steps[i].rate_step) << i;
        }
        EXPECT_EQ(m.total_sample_count, 0u);
        m.state = d.state;
    }
    // Single-input outputs move by whole ticks until the rate moved enough.
    const drift_decision low{ASI_QUEUE_LOW, 2, 5, true, {}};
    EXPECT_EQ(drift_rate(10000000, false, low), 10000005);
    const int r = drift_rate(10000000, true, low);
    EXPECT_GE(std::abs(r - 10000000), 5);
}

class AsiPorts : public mcftest::EngineTest {
protected:
    void SetUp() override
    {
        EngineTest::SetUp();
        g_frames.clear();
        startup_time_current = 10;
    }
    void TearDown() override
    {
        set_port_for_test(-1, 0, true);
        startup_time_current = 0;
        EngineTest::TearDown();
    }
    cfg_tx *asi_output(int id, int bps)
    {
        cfg_tx *tx = mcfcfg_tx_add_asi(&mcf_cfg, id);
        tx->dest_bps = bps;
        return tx;
    }
};

TEST_F(AsiPorts, WordsForTheConfiguredOutputs)
{
    set_port_for_test(0, 0x0404, false); // upper row, four interfaces
    cfg_tx *tx = asi_output(0, 10000000);
    ASSERT_EQ(mcastfwdr_asi_hw_cfg_initial(), 0);
    ASSERT_EQ(g_frames.size(), 1u);
    const std::vector<uint32_t> &w = g_frames[0];
    ASSERT_EQ(w.size(), 5u);
    EXPECT_EQ(w[0] & 0xFFF00001, 0x04000000u); // row 0, stopped
    EXPECT_EQ(w[1], 0x04100000u | 132);
    EXPECT_EQ(((w[2] & 0xFFFF) << 16) | (w[3] & 0xFFFF), 8314470u);
    EXPECT_EQ(w[2] >> 16, 0x0420u);
    EXPECT_EQ(w[3] >> 16, 0x0430u);
    EXPECT_EQ(w[4] >> 16, 0x0483u); // stream mode in row 3

    // A rate that cannot be paced programs nothing but a stop.
    g_frames.clear();
    EXPECT_EQ(mcastfwdr_asi_hw_cfg_bitrate(tx, 0, 0), -1);
    ASSERT_EQ(g_frames.size(), 1u);
    EXPECT_EQ(g_frames[0].size(), 1u);
    EXPECT_EQ(g_frames[0][0] & 1, 0u);
}

TEST_F(AsiPorts, StartOnTheThirdQuietSecond)
{
    set_port_for_test(0, 0x0402, true);
    asi_output(1, 10000000);
    for (int second = 0; second < 3; ++second) { // signals in three seconds running
        mcastfwdr_asi_signal_hw_start_pending();
        mcastfwdr_asi_check_on_hw_start_pending();
    }
    std::vector<int> starts;
    for (int quiet = 1; quiet <= 4; ++quiet) {
        mcastfwdr_asi_check_on_hw_start_pending();
        if (!g_frames.empty()) {
            starts.push_back(quiet);
            EXPECT_EQ(g_frames[0], std::vector<uint32_t>{0x04010003u}); // row 1 started
        }
        g_frames.clear();
    }
    EXPECT_EQ(starts, std::vector<int>{3});
    // Started interfaces stay started until a reset marks them again.
    mcastfwdr_asi_signal_hw_start_pending();
    for (int i = 0; i < 4; ++i)
        mcastfwdr_asi_check_on_hw_start_pending();
    EXPECT_TRUE(g_frames.empty());
    EXPECT_EQ(mcastfwdr_asi_hw_reset_interface(1), 0);
    EXPECT_EQ(g_frames.at(0), std::vector<uint32_t>{0x04010002u}); // stopped
    EXPECT_EQ(mcastfwdr_asi_hw_reset_interface(4), -1);           // the port has four
}

TEST_F(AsiPorts, WithoutAPortEveryCallIsANoOp)
{
    set_port_for_test(-1, 0, true);
    cfg_tx *tx = asi_output(0, 10000000);
    EXPECT_EQ(mcastfwdr_asi_get_socket_id(0), 0);
    EXPECT_EQ(mcastfwdr_asi_hw_cfg_initial(), 0);
    EXPECT_EQ(mcastfwdr_asi_hw_cfg_bitrate(tx, 10000000, 0), 0);
    EXPECT_EQ(mcastfwdr_asi_hw_cfg_mirror(tx, 1), 0);
    EXPECT_EQ(mcastfwdr_asi_hw_reset_interface(0), 0);
    EXPECT_EQ(mcastfwdr_asi_set_route_prov_pending(0), -1);
    asi_queue_monitor m{};
    m.state = ASI_QUEUE_HIGH;
    mcastfwdr_asi_queue_monitor_init(0, &m, 10000000);
    EXPECT_EQ(m.state, ASI_QUEUE_NORMAL);
    EXPECT_EQ(m.mid_pkts, 0u);
    EXPECT_TRUE(g_frames.empty());
    EXPECT_EQ(mcastfwdr_asi_hw_cfg_bitrate(nullptr, 1, 0), -1);
    EXPECT_STREQ(asi_queue_state_tostr(ASI_QUEUE_ULTRA_HIGH), "ULTRA_HIGH");
}

TEST_F(AsiPorts, InfoNeedsAWholeRecordAndQueueReportsMoveTheRate)
{
    set_port_for_test(0, 0x0401, true);
    uint8_t frame[40] = {};
    std::memcpy(frame + 14, "INFO", 4);
    frame[11] = uint8_t(kd_carrier_get_HW_slot(kd_carrier_get_self()));
    EXPECT_EQ(mcastfwdr_asi_info_rx_pkt_dp(frame, 17), 0);
    frame[11] ^= 1;
    EXPECT_EQ(mcastfwdr_asi_info_rx_pkt_dp(frame, 40), 0);

    // Reports of output 0, in payloads of four records.
    auto info = [](unsigned level, size_t records = 4) {
        std::vector<char> p(4 + 4 * records);
        std::memcpy(p.data(), "INFO", 4);
        for (size_t i = 0; i < records; ++i) {
            const uint32_t rec = htonl(i == 0 ? 0x81000000u | level : 0x01000000u);
            std::memcpy(p.data() + 4 + 4 * i, &rec, 4);
        }
        return p;
    };
    mcf_ctrl_plane_configuration_is_loaded = 1;
    net_input(101, "239.1.1.1", 5101);
    cfg_tx *tx = asi_output(0, 10000000);
    tx->dest_transmit = DEST_XMIT_ON;
    cfg_tx_input *s = cfg_tx_input_add(tx);
    s->input_id = 101;
    s->input_prog_num = 1;
    {
        mcf::write_lock lock;
        manager_input_output_sync(0);
    }
    manager_output *mo = manager_outputs_find_by_id(0);
    ASSERT_NE(mo, nullptr);
    EXPECT_EQ(mo->monitor.mid_pkts, 132u);
    const int base = mo->configured_dest_bps;

    // Three records are too few; nine reports make no decision yet.
    const auto short_info = info(60, 3);
    EXPECT_EQ(mcastfwdr_asi_info_rx_pkt_cp(short_info.data(), uint32_t(short_info.size())), 0);
    EXPECT_EQ(mo->monitor.total_sample_count, 0u);
    const auto low = info(60);
    for (int i = 0; i < 9; ++i)
        mcastfwdr_asi_info_rx_pkt_cp(low.data(), uint32_t(low.size()));
    EXPECT_EQ(mo->monitor.state, ASI_QUEUE_NORMAL);
    mcastfwdr_asi_info_rx_pkt_cp(low.data(), uint32_t(low.size()));
    EXPECT_EQ(mo->monitor.state, ASI_QUEUE_ULTRA_LOW);
    EXPECT_EQ(mo->configured_dest_bps, base + 10);
    // Balanced again (one sample above the mid mark): back to normal and the base rate.
    const auto mid = info(132), above = info(133);
    for (int i = 0; i < 9; ++i)
        mcastfwdr_asi_info_rx_pkt_cp(mid.data(), uint32_t(mid.size()));
    mcastfwdr_asi_info_rx_pkt_cp(above.data(), uint32_t(above.size()));
    EXPECT_EQ(mo->monitor.state, ASI_QUEUE_NORMAL);
    EXPECT_EQ(mo->configured_dest_bps, base);

    // A report of an interface the port lacks ends the walk.
    std::vector<char> bad = info(60);
    const uint32_t rec = htonl(0x81050000u | 60);
    std::memcpy(bad.data() + 4, &rec, 4);
    EXPECT_EQ(mcastfwdr_asi_info_rx_pkt_cp(bad.data(), uint32_t(bad.size())), -1);
}

} // namespace

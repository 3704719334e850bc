// A KT-3300 card labelled "asi" with the simulated board: the forwarder's
// start sets the board up and creates inputs 150-153, and the ASI ingress
// thread turns the board's frames into seven-packet datagrams, skipping
// malformed frames; the multiplexer takes them to an output carrying the
// input; an FFmpeg stream fed on port 1 leaves an output clean. Needs
// root; skips otherwise.
#include "scenario.h"
#include "ts_fixtures.h"
#include "udp_sink.h"

#include "asi/asi_kt33.h"
#include "ingress/ingress.h"
#include "ingress/manager_input.h"
#include "outputs/manager_output.h"

#include <board_sim.h>

#include <cstdio>
#include <cstring>
#include <vector>

namespace {

using mcftest::eventually;
using mcftest::scenario;

class AsiKt33Card : public ::testing::Test {
protected:
    void SetUp() override
    {
        const std::string why = scenario::skip_reason();
        if (!why.empty())
            GTEST_SKIP() << why;
    }
};

// One frame as the FPGA writes it: packet at `at`, with the given tag.
std::vector<uint8_t> raw_frame(uint8_t tag, unsigned at = 12, bool sync = true)
{
    std::vector<uint8_t> f(256, 0);
    f[0] = uint8_t(at);
    f[3] = tag;
    if (at < 256)
        f[at] = sync ? 0x47 : 0x00;
    return f;
}

// A Net output at 3 Mbit/s to group:9000 on intf carrying one input as it is.
void single_input_output(int id, const char *group, const char *intf, int input_id)
{
    cfg_tx *tx = mcftest::must(mcfcfg_tx_add_net(&mcf_cfg, id), "a new output");
    std::snprintf(tx->dest_node, sizeof tx->dest_node, "%s", group);
    kd_remote_addr_init(&tx->ra, tx->dest_node, nullptr);
    kd_remote_addr_set_port(&tx->ra, 9000);
    tx->dest_port = 9000;
    std::snprintf(tx->dest_intf, sizeof tx->dest_intf, "%s", intf);
    tx->dest_bps = 3000000;
    tx->dest_transmit = DEST_XMIT_ON;
    tx->dest_single_input_mode = DEST_SIM_ON;
    tx->dest_single_input_id = input_id;
}

TEST_F(AsiKt33Card, BoardFramesBecomeDatagramsOfTheInputs)
{
    scenario card(3, false, "asi");
    boardsim::BoardSim board;
    for (unsigned slot : {0u, 1u, 4u})
        board.add_module(slot);
    board.set_lmk(true);
    card.start_linked();
    auto &log = card.log();
    for (int id = 150; id <= 153; ++id)
        EXPECT_NE(mcfcfg_rx_find_by_id(id), nullptr) << id;
    EXPECT_EQ(log.count("ASI inputs allocated"), 1);
    EXPECT_EQ(log.count("I/O[1] SPI found"), 1);
    EXPECT_EQ(log.count("setting direction to input"), 2);
    EXPECT_EQ(log.count("setting direction to output"), 1);
    EXPECT_EQ(log.count("I/O[3] SPI missing"), 1);
    EXPECT_EQ(log.count("LMK clock generator init freq1= 148.5Mhz"), 1);

    // Malformed frames first (no sync byte, tags 0 and 5, a packet past the
    // frame's end), then seven good ones per datagram on tag 1 and tag 2.
    std::vector<uint8_t> frames;
    auto add = [&](const std::vector<uint8_t> &f) { frames.insert(frames.end(), f.begin(), f.end()); };
    add(raw_frame(1, 12, false));
    add(raw_frame(0));
    add(raw_frame(5));
    add(raw_frame(1, 69));
    for (int i = 0; i < 14; ++i)
        add(raw_frame(1));
    for (int i = 0; i < 7; ++i)
        add(raw_frame(2));
    for (int i = 0; i < 20; ++i) // the reader stays behind the FPGA's position
        add(raw_frame(3, 12, false));
    mcf::ingress_counters &st = mcf::ingress_stats(INGRESS_SRC_ASI);
    const uint64_t before = st.entries.load();
    board.produce_ingress_raw(frames.data(), unsigned(frames.size() / 256));
    EXPECT_TRUE(eventually([&] { return st.entries.load() >= before + 3; }));
    EXPECT_EQ(st.entries.load(), before + 3);

    // A paced feed of real packets on tag 2: 1000 packets a second arrive
    // as datagrams of seven while the board's ingress is on.
    std::vector<uint8_t> ts(188 * 70, 0xFF);
    for (unsigned i = 0; i < 70; ++i) {
        uint8_t *p = ts.data() + 188 * i;
        p[0] = 0x47;
        p[1] = 0x01;
        p[2] = 0x00;
        p[3] = uint8_t(0x10 | (i & 0x0F));
    }
    // An output carrying input 151 (tag 2) as it is: the multiplexer takes
    // the datagrams to it.
    card.change([] { single_input_output(5, "239.9.9.9", "eth1", 151); });
    manager_output *mo = manager_outputs_find_by_id(5);
    ASSERT_NE(mo, nullptr);
    const manager_input *mi = manager_inputs_find_by_id(151);
    ASSERT_NE(mi, nullptr);
    board.start([](unsigned, const uint8_t *) {});
    board.feed_ingress(2, ts, 1504000.0);
    EXPECT_TRUE(eventually([&] { return st.entries.load() >= before + 3 + 20; }));
    EXPECT_GE(board.fed(2), 140u);
    EXPECT_TRUE(eventually([&] { return mi->ts_packets_rx.load() >= 140 && mo->ts_pkts_tx.load() >= 140; }))
        << mi->ts_packets_rx.load() << " received, " << mo->ts_pkts_tx.load() << " sent";
    board.feed_ingress(2, {}, 0);
    board.stop();
}

// An FFmpeg stream on the board's ASI port 1 of a carrier in the lower row
// arrives as input 150 and leaves an output carrying that input as it is,
// clean for the rig's checker. (Port 1 of an upper-row carrier is input
// 153; a card there is not the master and starts the forwarder idle, so
// that map is the unit test's.)
TEST_F(AsiKt33Card, AnFfmpegStreamOnPort1ReachesTheSinkClean)
{
    if (!tsfix::have_program("ffmpeg"))
        GTEST_SKIP() << "ffmpeg is needed";
    constexpr int kMuxRate = 2000000;
    tsfix::TempDir dir;
    const std::string path = (dir.path / "one.ts").string();
    int rc = -1;
    tsfix::run("ffmpeg -v error -nostdin -f lavfi -i testsrc=size=64x48:rate=25 -f lavfi -i sine=frequency=440 "
               "-c:v mpeg2video -b:v 300k -c:a mp2 -t 10 -muxrate " + std::to_string(kMuxRate) + " -f mpegts '" +
                   path + "' 2>&1",
               &rc);
    const std::vector<uint8_t> ts = tsfix::read_file(path);
    ASSERT_EQ(rc, 0);
    ASSERT_GT(ts.size(), 188u * 1000);

    scenario card(3, false, "asi");
    ASSERT_EQ(card.in_chassis("ip addr add 10.77.0.2/24 dev peer0"), 0);
    boardsim::BoardSim board;
    card.start_linked();
    card.change([] { single_input_output(6, "239.9.9.10", "eth0", 150); });
    const manager_input *mi = manager_inputs_find_by_id(150);
    ASSERT_NE(mi, nullptr);
    mcftest::sink out(card, "239.9.9.10", 9000);
    ASSERT_TRUE(out.joined());
    board.start([](unsigned, const uint8_t *) {});
    board.feed_ingress(1, ts, kMuxRate);
    // About two seconds of the output.
    const bool enough = mcftest::run_loop_until(
        [&] { return out.with([](mcfrig::sink_check &c) { return c.pmt.count(1) && c.packets > 4000; }); }, 120.0);
    board.feed_ingress(1, {}, 0);
    board.stop();
    out.stop();
    const mcfrig::sink_check &c = out.result();
    EXPECT_TRUE(enough) << c.packets << " packets received, " << mi->ts_packets_rx.load() << " by input 150";
    EXPECT_TRUE(out.sizes_ok_);
    EXPECT_EQ(c.framing_errors, 0u);
    EXPECT_EQ(c.cc_errors, 0u) << c.cc_report();
    EXPECT_EQ(c.programs.size(), 1u);
    EXPECT_EQ(c.pmt.at(1).es.size(), 2u);
    for (int id : {151, 152, 153})
        EXPECT_EQ(manager_inputs_find_by_id(id) ? manager_inputs_find_by_id(id)->ts_packets_rx.load() : 0u, 0u) << id;
}

} // namespace

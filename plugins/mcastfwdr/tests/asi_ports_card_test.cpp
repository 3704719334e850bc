// ASI ports on a simulated card whose carrier reports an ASI port: the
// outputs, their sockets and static neighbour entries on eth2, the
// configuration words the carrier receives, the stream its output engines
// drain, the drift control driven by the queue levels the carrier reports,
// and a clean stop. Needs root; skips otherwise.
#include "rig/sink_check.h"
#include "scenario.h"
#include "ts_fixtures.h"

#include "asi/asi_ports.h"
#include "ingress/xsb_bridge.h"

#include <card_records.h>
#include <carrier_sim.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>

namespace {

using mcftest::run_loop_until;
using mcftest::scenario;

constexpr int kMuxRate = 2000000;
constexpr int kAsiRate = 10000000;

class AsiPortsCard : public ::testing::Test {
protected:
    // One program (MPEG-2 video, MP2 audio) at 2 Mbit/s, made once.
    static void SetUpTestSuite()
    {
        if (!tsfix::have_program("ffmpeg"))
            return;
        dir_ = new tsfix::TempDir;
        const std::string path = (dir_->path / "one.ts").string();
        int rc = -1;
        tsfix::run("ffmpeg -v error -nostdin -f lavfi -i testsrc=size=64x48:rate=25 -f lavfi -i sine=frequency=440 "
                   "-c:v mpeg2video -b:v 300k -c:a mp2 -t 20 -muxrate " + std::to_string(kMuxRate) +
                       " -f mpegts '" + path + "' 2>&1",
                   &rc);
        if (rc == 0)
            ts_ = tsfix::read_file(path);
    }
    static void TearDownTestSuite()
    {
        delete dir_;
        dir_ = nullptr;
    }
    void SetUp() override
    {
        const std::string why = scenario::skip_reason();
        if (!why.empty())
            GTEST_SKIP() << why;
    }
    // The card's own carrier with an ASI port of four interfaces and one stream.
    static std::vector<uint32_t> asi_carrier(int slot)
    {
        std::vector<uint32_t> info = xsbsim::default_info(slot);
        info.push_back(xsbsim::port_rec(4, 9, 0x0401));
        return info;
    }
    // Program 1 of input 1705, a flow another card bridges into the ring
    // (bay 2, index 5), on ASI output 0 at 10 Mbit/s.
    static void route_to_output_0()
    {
        internal_ts_info flow{};
        std::memcpy(flow.src, "e21", 3);
        std::memcpy(flow.dst, "1a0", 3);
        flow.index = 5;
        flow.routable = 1;
        flow.rate = kMuxRate;
        kd_cuvent_emit(nullptr, "internal_ts", &flow);
        ASSERT_NE(manager_inputs_find_by_id(1705), nullptr);
        cfg_tx *tx = mcfcfg_tx_find_by_id(0);
        ASSERT_NE(tx, nullptr);
        tx->dest_bps = kAsiRate;
        tx->dest_transmit = DEST_XMIT_ON;
        cfg_tx_input *svc = cfg_tx_input_add(tx);
        ASSERT_NE(svc, nullptr);
        svc->input_id = 1705;
        svc->input_prog_num = 1;
        mcf::write_lock lock;
        manager_input_output_sync(0);
    }
    static bool have_stream() { return !ts_.empty(); }

    static inline tsfix::TempDir *dir_ = nullptr;
    static inline std::vector<uint8_t> ts_;
};

// The stream as the other card sends it into the ring: LINK frames of
// seven packets for index 5 from bridge port e21, at the stream's rate,
// through the carrier's port.
class link_feeder {
public:
    link_feeder(xsbsim::carrier_sim &car, const std::vector<uint8_t> &ts)
        : car_(car), ts_(ts), thread_([this] { run(); })
    {
    }
    ~link_feeder()
    {
        stop_ = true;
        thread_.join();
    }
    link_feeder(const link_feeder &) = delete;
    link_feeder &operator=(const link_feeder &) = delete;

private:
    void run()
    {
        constexpr size_t kChunk = 7 * 188;
        const auto period = std::chrono::nanoseconds(int64_t(kChunk) * 8 * 1000000000 / kMuxRate);
        std::vector<uint8_t> f = {0x00, 0x90, 0x1F, 0x00, 0x01, 0xA0, 0x00, 0x90, 0x1F, 0x00,
                                  0x0E, 0x21, 0x88, 0xB4, 'L',  'I',  'N',  'K',  5};
        const size_t head = f.size();
        auto next = std::chrono::steady_clock::now();
        for (size_t off = 0; !stop_; off = off + 2 * kChunk > ts_.size() ? 0 : off + kChunk) {
            f.resize(head);
            f.insert(f.end(), ts_.begin() + std::ptrdiff_t(off), ts_.begin() + std::ptrdiff_t(off + kChunk));
            car_.send_raw(f);
            next += period;
            std::this_thread::sleep_until(next);
        }
    }
    xsbsim::carrier_sim &car_;
    const std::vector<uint8_t> &ts_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

// What one connector of the carrier sends, read by the rig's checker;
// packets of the other connectors are only counted.
class connector_sink {
public:
    connector_sink(xsbsim::carrier_sim &car, unsigned connector) : car_(car)
    {
        car.set_asi_sink([this, connector](unsigned c, const uint8_t *p, size_t n) {
            std::lock_guard lk(mutex_);
            if (c != connector) {
                others_ += n;
                return;
            }
            for (size_t i = 0; i < n; ++i)
                check_.packet(p + 188 * i);
        });
    }
    ~connector_sink() { car_.set_asi_sink(nullptr); }
    connector_sink(const connector_sink &) = delete;
    connector_sink &operator=(const connector_sink &) = delete;
    template <class F> auto with(F f)
    {
        std::lock_guard lk(mutex_);
        return f(check_);
    }
    uint64_t others()
    {
        std::lock_guard lk(mutex_);
        return others_;
    }
    // `seconds` of the program at 10 Mbit/s with its tables, and nothing broken.
    void expect_clean_program_1(unsigned seconds)
    {
        const bool enough = run_loop_until(
            [&] { return with([&](mcfrig::sink_check &c) { return c.pmt.count(1) && c.packets > seconds * 6650; }); },
            120.0);
        with([&](mcfrig::sink_check &c) {
            EXPECT_TRUE(enough) << c.packets << " packets drained";
            EXPECT_EQ(c.framing_errors, 0u);
            EXPECT_EQ(c.cc_errors, 0u) << c.cc_report();
            EXPECT_EQ(c.programs.size(), 1u);
            EXPECT_EQ(c.pmt[1].es.size(), 2u);
            EXPECT_TRUE(c.pids.count(0x1FFF)) << "the output's fill";
            return true;
        });
    }

private:
    xsbsim::carrier_sim &car_;
    std::mutex mutex_;
    mcfrig::sink_check check_;
    uint64_t others_ = 0;
};

TEST_F(AsiPortsCard, SetUpProgrammingAndStop)
{
    scenario card(3, false, nullptr, asi_carrier(3));
    plugin_load_info *pli = card.start_linked();
    auto &log = card.log();
    // At once an INFO request to the own carrier on the command ethertype
    // (then every 30 s, a period no test waits for).
    EXPECT_TRUE(run_loop_until([&] {
        for (const xsbsim::frame &f : card.carrier().frames())
            if (f.ethertype == 0x88B5 && f.bytes.size() >= 18 && f.bytes[4] == 0x0F && f.bytes[5] == 0x03 &&
                std::memcmp(f.bytes.data() + 14, "INRQ", 4) == 0)
                return true;
        return false;
    }));
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
    ASSERT_NE(mcfcfg_tx_find_by_id(2), nullptr);
    mcfcfg_tx_find_by_id(2)->dest_bps = 10000000;
    card.carrier().clear_records();
    ASSERT_EQ(mcastfwdr_asi_hw_cfg_bitrate(mcfcfg_tx_find_by_id(2), 10000000, 1), 0);
    ASSERT_TRUE(mcftest::eventually([&] { return !card.carrier().cfwr().empty(); }));
    const std::vector<uint32_t> w = card.carrier().cfwr().at(0);
    ASSERT_EQ(w.size(), 4u);
    EXPECT_EQ(w[0] & 0xFFFF0003, 0x04020002u); // row 2, fill, stopped
    EXPECT_EQ(w[1], 0x04120000u | 132);
    EXPECT_EQ((w[2] & 0xFFFF) << 16 | (w[3] & 0xFFFF), 8314470u);

    // The carrier's engine for row 2 took the pacing and latency, and stays stopped.
    const xsbsim::asi_engine e = card.carrier().engine(2);
    EXPECT_EQ(e.pacing, 8314470u);
    EXPECT_EQ(e.latency, 132u);
    EXPECT_FALSE(e.enabled);

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

// The forwarder's ASI output 0 through the carrier's engine: the drained
// stream is clean; a drain skewed slow or fast moves the queue state and
// the output's rate by the drift control's steps, and a balanced drain
// brings both back, all from the queue levels the carrier reports.
TEST_F(AsiPortsCard, TheCarriersQueueLevelsSteerTheOutputRate)
{
    if (!have_stream())
        GTEST_SKIP() << "ffmpeg could not make the test stream";
    scenario card(3, false, nullptr, asi_carrier(3));
    xsbsim::carrier_sim &car = card.carrier();
    connector_sink out(car, 0);
    card.start_linked();
    ASSERT_NO_FATAL_FAILURE(route_to_output_0());
    manager_output *mo = manager_outputs_find_by_id(0);
    ASSERT_NE(mo, nullptr);
    ASSERT_TRUE(mcftest::eventually([&] { return car.engine(0).pacing == 8314470u; }));
    const xsbsim::asi_engine e = car.engine(0);
    EXPECT_TRUE(e.enabled);
    EXPECT_EQ(e.latency, 132u);
    EXPECT_EQ(car.connector(0).stream, 0);

    link_feeder in(car, ts_);
    car.set_report_period_ms(20);
    out.expect_clean_program_1(1);
    EXPECT_EQ(out.others(), 0u);
    const int base = kAsiRate;

    // A balanced drain: the skew held so that the queue stays about the mid
    // mark (132). The forwarder's sending swings the level by some 35
    // packets (five datagrams), so the samples straddle the mark: the state
    // returns to NORMAL, with the base rate.
    const auto balance = [&] {
        ASSERT_TRUE(run_loop_until([&] {
            const size_t level = car.engine(0).level;
            car.set_skew(0, level > 200 ? 1.3 : level > 150 ? 1.1 : level < 60 ? 0.7 : level < 115 ? 0.9 : 1.0);
            return mo->monitor.state == ASI_QUEUE_NORMAL;
        })) << "level " << car.engine(0).level;
        car.set_skew(0, 1.0);
        EXPECT_EQ(mo->configured_dest_bps, base);
    };
    // The state a skewed drain leads to, with the rate its step gives.
    const auto drift = [&](double skew, asi_queue_state lesser, asi_queue_state ultra, int sign) {
        car.set_skew(0, skew);
        ASSERT_TRUE(run_loop_until([&] { return mo->monitor.state == lesser || mo->monitor.state == ultra; }))
            << "level " << car.engine(0).level;
        EXPECT_EQ(mo->configured_dest_bps, base + sign * (mo->monitor.state == ultra ? 10 : 5));
        const std::string change = std::string("==> ") + asi_queue_state_tostr(mo->monitor.state) + ". Current Level";
        EXPECT_GE(card.log().count(change), 1);
    };
    balance();
    drift(0.9, ASI_QUEUE_HIGH, ASI_QUEUE_ULTRA_HIGH, -1);
    balance();
    drift(1.25, ASI_QUEUE_LOW, ASI_QUEUE_ULTRA_LOW, +1);
    balance();
    EXPECT_EQ(car.engine(0).dropped, 0u);
}

// A carrier in the upper row of the chassis (slot 5) has its connectors
// the other way round: output 0's stream mode goes to row 3 (its pacing and
// latency stay in row 0), and its stream leaves on connector 3.
TEST_F(AsiPortsCard, AnUpperRowCarrierSendsOutput0OnItsLastConnector)
{
    if (!have_stream())
        GTEST_SKIP() << "ffmpeg could not make the test stream";
    scenario card(5, false, nullptr, asi_carrier(5));
    xsbsim::carrier_sim &car = card.carrier(1);
    connector_sink out(car, 3);
    card.start_linked();
    EXPECT_EQ(card.log().count("ASI found. PortIdx: 4, Streams: 1 IntfCount: 4"), 1);
    ASSERT_NO_FATAL_FAILURE(route_to_output_0());
    ASSERT_TRUE(mcftest::eventually([&] { return car.engine(0).pacing == 8314470u; }));
    EXPECT_EQ(car.engine(0).latency, 132u);
    for (unsigned row = 0; row < 4; ++row)
        EXPECT_EQ(car.connector(row).stream, int(3 - row)) << row;

    link_feeder in(car, ts_);
    out.expect_clean_program_1(2);
    EXPECT_EQ(out.others(), 0u);
}

} // namespace

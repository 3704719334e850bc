// PCR restamping: the rule on its own (references, wraps, resets), and
// FFmpeg's constant-rate streams through the send path into outputs of
// other rates, where every PCR must match its position in the output.
#include "sendpath_restamp.h"
#include "ts_fixtures.h"

#include <algorithm>
#include <cmath>
#include <map>
#include <cstdio>
#include <sstream>

namespace {

using mcftest::SendPathTest;
using mcftest::test_output;
using mcftest::ts_bytes;
using namespace mcftest;

// ---- the rule on its own ----

using Restamp = RestampTest;

TEST_F(Restamp, FirstThreeAreReferencesThenPositionsAtTheOutputRate)
{
    // 10 Mbit/s in: 260 packets are 1,055,808 ticks.
    const uint64_t step = 1055808;
    uint64_t p = 1000000;
    for (int i = 0; i < 3; ++i, p += step) {
        auto [v, disc] = pcr(p, 260, 650);
        EXPECT_EQ(v, p);
        EXPECT_TRUE(disc);
    }
    const uint64_t ref = p - step;
    for (int i = 1; i <= 5; ++i, p += step) {
        auto [v, disc] = pcr(p, 260, 650); // 2.5 output packets per input packet
        EXPECT_NEAR(double(v), double(ref) + i * 650 * kTicksPerPkt1M / 25, 0.5);
        EXPECT_FALSE(disc);
    }
}

TEST_F(Restamp, WrapIsSmoothAndLargeStepsReset)
{
    const uint64_t step = 1055808;
    uint64_t p = kMod - 3 * step - 5000;
    for (int i = 0; i < 3; ++i, p += step)
        pcr(p, 260, 650);
    const uint64_t ref = p - step;
    for (int i = 1; i <= 4; ++i, p += step) {
        auto [v, disc] = pcr(p % kMod, 260, 650);
        EXPECT_LT(v, kMod);
        EXPECT_NEAR(circ(v, ref), i * 650 * kTicksPerPkt1M / 25, 0.5) << i;
        EXPECT_FALSE(disc);
    }
    p %= kMod;
    // 1,081,080 ticks since the last PCR passes (266 packets are 1,080,172.8
    // ticks: within the drift allowance); 1,081,081 starts again.
    p += 1081080 - step;
    auto [kept, kept_disc] = pcr(p, 266, 665);
    EXPECT_FALSE(kept_disc);
    EXPECT_NEAR(double(kept), double(p), 2.0);
    p += 1081081;
    auto [reset, reset_disc] = pcr(p, 266, 665);
    EXPECT_TRUE(reset_disc);
    EXPECT_EQ(reset, p);
    EXPECT_EQ(mi_->pcr_discontinuity_occurred.load(), 1u);
}

TEST_F(Restamp, RepeatedPcrOrNoRateResetsWithoutNaN)
{
    for (int i = 0; i < 4; ++i)
        pcr(1000000 + uint64_t(i) * 1080000, 266, 665);
    auto [same, disc] = pcr(1000000 + 3 * 1080000, 266, 665); // D = 0
    EXPECT_EQ(same, 1000000 + 3 * 1080000u);
    EXPECT_TRUE(disc);
    EXPECT_EQ(pcr_window_get_pcr_prev_calc(w_), pcr_window_get_pcr_prev_actual(w_));
    auto [next, next_disc] = pcr(1000000 + 4 * 1080000, 266, 665);
    EXPECT_FALSE(next_disc);
    EXPECT_NEAR(double(next), 1000000 + 4 * 1080000.0, 1.0); // at the input's measured rate

    // No packets between two PCRs, and an input of rate 0.
    auto [empty, empty_disc] = pcr(1000000 + 5 * 1080000, 0, 0);
    EXPECT_TRUE(empty_disc);
    EXPECT_EQ(empty, 1000000 + 5 * 1080000u);
    pcr_window_reset_io_bps(w_, 0, 25000000);
    for (int i = 0; i < 5; ++i) {
        auto [v, d] = pcr(2000000000 + uint64_t(i) * 1080000, 266, 665);
        EXPECT_EQ(v, 2000000000 + uint64_t(i) * 1080000);
        EXPECT_TRUE(d);
    }
    EXPECT_FALSE(std::isnan(pcr_window_get_pcr_prev_calc(w_)));
}

// ---- FFmpeg streams through the send path ----

class SendPathPcr : public SendPathTest {
protected:
    static void SetUpTestSuite()
    {
        if (tsfix::have_program("ffmpeg"))
            dir_ = new tsfix::TempDir;
    }
    static void TearDownTestSuite()
    {
        delete dir_;
        dir_ = nullptr;
    }
    // A constant-rate stream of one program (PMT 0x1000, video with the PCR
    // on 0x100, audio on 0x101), a PCR every 30 ms.
    static std::vector<uint8_t> cbr(int muxrate)
    {
        static std::map<int, std::vector<uint8_t>> made;
        if (!dir_)
            return {};
        auto &s = made[muxrate];
        if (s.empty()) {
            const std::string path = (dir_->path / (std::to_string(muxrate) + ".ts")).string();
            int rc = -1;
            tsfix::run("ffmpeg -v error -nostdin -f lavfi -i testsrc=size=160x120:rate=25 -f lavfi -i "
                       "sine=frequency=440 -c:v mpeg2video -b:v 1000k -c:a mp2 -b:a 128k -t 1.2 -muxrate " +
                           std::to_string(muxrate) + " -pcr_period 30 -f mpegts '" + path + "' 2>&1",
                       &rc);
            if (rc == 0)
                s = tsfix::read_file(path);
        }
        return s;
    }
    // Hands the stream to the send path in datagrams of seven packets as
    // the multiplexer does, reading the outputs after each.
    void feed(manager_input *mi, std::vector<uint8_t> &ts, std::initializer_list<std::pair<test_output *, std::vector<ts_bytes> *>> outs,
              size_t from = 0, size_t to = SIZE_MAX)
    {
        to = std::min(to, ts.size() / 188);
        for (size_t i = from; i < to; i += 7) {
            const size_t n = std::min<size_t>(7, to - i);
            pthread_rwlock_rdlock(&ctrl_data_lock);
            mcastfwdr_handle_and_send_msg_in(mi, ts.data() + i * 188, int(n * 188), nullptr);
            pthread_rwlock_unlock(&ctrl_data_lock);
            for (auto &[o, sink] : outs) {
                auto got = o->drain();
                sink->insert(sink->end(), got.begin(), got.end());
            }
        }
    }
    static tsfix::TempDir *dir_;
};
tsfix::TempDir *SendPathPcr::dir_ = nullptr;

TEST_F(SendPathPcr, EveryPcrMatchesItsPlaceInTheOutput)
{
    struct rates {
        int in, out;
    };
    int id = 100;
    for (rates r : {rates{3000000, 10000000}, rates{10000000, 25000000}, rates{20000000, 20000000},
                    rates{15500000, 38100000}}) {
        ++id;
        SCOPED_TRACE(std::to_string(r.in) + " -> " + std::to_string(r.out));
        std::vector<uint8_t> ts = cbr(r.in);
        if (ts.empty())
            GTEST_SKIP() << "ffmpeg could not make the test stream";
        manager_input *mi = input(id, r.in, 4900 + id);
        test_output o(1, r.in, r.out);
        o.route(id, 1);
        use({&o});
        std::vector<ts_bytes> out;
        feed(mi, ts, {{&o, &out}});
        use({}); // the output goes at the end of the round

        const std::vector<pcr_at> v = pcrs_on(out, 0x100);
        ASSERT_GT(v.size(), 20u);
        for (size_t i = 0; i < 3; ++i)
            EXPECT_TRUE(v[i].disc) << i;
        for (size_t i = 3; i < v.size(); ++i)
            EXPECT_FALSE(v[i].disc) << i;
        EXPECT_LE(worst_error(v, r.out / 1e6), kTolerance);

        // FFmpeg's own reading of the rate between every two PCRs after the references.
        const std::string file = (dir_->path / "out.ts").string();
        {
            std::ofstream f(file, std::ios::binary);
            for (const ts_bytes &b : out)
                f.write(reinterpret_cast<const char *>(b.data()), 188);
        }
        const std::string report = tsfix::run("tsreport -t '" + file + "' 2>&1");
        std::istringstream lines(report);
        std::string line;
        int checked = 0, n = 0;
        while (std::getline(lines, line)) {
            unsigned long long pcr = 0, mean = 0, rate = 0;
            if (std::sscanf(line.c_str(), " .. PCR %llu Mean byterate %llu byterate %llu", &pcr, &mean, &rate) != 3)
                continue;
            if (++n >= 3) { // pairs that end after the third PCR
                EXPECT_NEAR(double(rate), r.out / 8.0, r.out / 8.0 * 2e-5) << line;
                ++checked;
            }
        }
        EXPECT_GT(checked, 15);
    }
}

TEST_F(SendPathPcr, TwoInputsIntoOneOutput)
{
    std::vector<uint8_t> a = cbr(3000000), b = cbr(5000000);
    if (a.empty() || b.empty())
        GTEST_SKIP() << "ffmpeg could not make the test streams";
    manager_input *ma = input(100, 3000000, 5000), *mb = input(101, 5000000, 5001);
    test_output o(1, 8000000, 10000000);
    o.route(100, 1);
    o.route(101, 1, {{0x100, 0x200}, {0x101, 0x201}});
    use({&o});
    // Datagrams in the order they would arrive.
    std::vector<ts_bytes> out;
    const size_t na = a.size() / 188, nb = b.size() / 188;
    size_t ia = 0, ib = 0;
    while (ia < na || ib < nb) {
        const bool take_a = ib >= nb || (ia < na && double(ia) / 3.0 <= double(ib) / 5.0);
        if (take_a) {
            feed(ma, a, {{&o, &out}}, ia, ia + 7);
            ia += 7;
        } else {
            feed(mb, b, {{&o, &out}}, ib, ib + 7);
            ib += 7;
        }
    }
    for (int pid : {0x100, 0x200}) {
        SCOPED_TRACE(pid);
        const std::vector<pcr_at> v = pcrs_on(out, pid);
        ASSERT_GT(v.size(), 20u);
        EXPECT_LE(worst_error(v, 10.0), kTolerance);
    }
}

TEST_F(SendPathPcr, FastInputFollowsItsOwnClockAndWrapsSmoothly)
{
    std::vector<uint8_t> ts = cbr(10010000); // 0.1 % faster than configured
    if (ts.empty())
        GTEST_SKIP() << "ffmpeg could not make the test stream";
    // Move the PCRs so that they wrap in the middle of the stream.
    std::vector<size_t> at;
    for (size_t i = 0; i < ts.size() / 188; ++i)
        if (mcftest::packet_pid(&ts[i * 188]) == 0x100 && has_pcr(&ts[i * 188]))
            at.push_back(i);
    ASSERT_GT(at.size(), 20u);
    const uint64_t shift = kMod - pcr_of(&ts[at[at.size() / 2] * 188]) + 1000;
    for (size_t i : at)
        tsphPcrSet(&ts[i * 188 + 6], (pcr_of(&ts[i * 188]) + shift) % kMod);

    manager_input *mi = input(100, 10000000, 5000);
    test_output o(1, 10000000, 25000000);
    o.route(100, 1);
    use({&o});
    std::vector<ts_bytes> out;
    feed(mi, ts, {{&o, &out}});
    const std::vector<pcr_at> v = pcrs_on(out, 0x100);
    ASSERT_GT(v.size(), 20u);
    // Residuals from the line fitted through the restamped PCRs (unwrapped).
    std::vector<double> x, y;
    for (size_t i = 3; i < v.size(); ++i) {
        EXPECT_FALSE(v[i].disc) << i;
        x.push_back(double(v[i].pos));
        y.push_back(circ(v[i].pcr, v[2].pcr));
    }
    const double n = double(x.size());
    double sx = 0, sy = 0, sxx = 0, sxy = 0;
    for (size_t i = 0; i < x.size(); ++i) {
        sx += x[i];
        sy += y[i];
        sxx += x[i] * x[i];
        sxy += x[i] * y[i];
    }
    const double slope = (n * sxy - sx * sy) / (n * sxx - sx * sx), icpt = (sy - slope * sx) / n;
    double worst = 0;
    for (size_t i = 0; i < x.size(); ++i)
        worst = std::max(worst, std::fabs(y[i] - (slope * x[i] + icpt)));
    EXPECT_LE(worst, kTolerance);
    EXPECT_NEAR(slope, kTicksPerPkt1M / 25 / 1.001, 0.5); // the input's own clock
    EXPECT_EQ(log_.count("Restart output"), 0);
}

} // namespace

// The data path's cycle statistics: folding samples into posted records,
// the report text, the report file's rotation and the statistics thread.
#include "egress/statistics.h"
#include "engine_fixture.h"

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

namespace {

using mcftest::EngineTest;

// One second of a thread: n samples made by fill, the last one posting.
template <class F> void second_of(int src, int idx, int n, F fill)
{
    for (int i = 0; i < n; ++i) {
        mcast_stats_t s{};
        s.src = stats_src_t(src);
        s.idx = stats_idx_t(idx);
        fill(s, i);
        s.post = i == n - 1;
        mcastfwdr_statistics(&s);
    }
}

mcast_stats_t posted(int src, int idx)
{
    mcast_stats_t r{};
    EXPECT_EQ(mcastfwdr_statistics_posted(src, idx, &r), 0);
    return r;
}

std::string slurp(const std::string &path)
{
    std::ifstream f(path);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

class Statistics : public EngineTest {
protected:
    void SetUp() override
    {
        EngineTest::SetUp();
        mcf::stats::reset();
    }
    void TearDown() override
    {
        mcf::stats::reset();
        EngineTest::TearDown();
    }
};

TEST_F(Statistics, SamplesOfUnknownSlotsAreIgnored)
{
    struct Case {
        int src, idx;
    } bad[] = {{STATS_SRC_EGRESS, 50}, {STATS_SRC_INGRESS, 4}, {STATS_SRC_MULTIPLEX, 1}, {STATS_SRC_NUM, 0}};
    for (const Case &c : bad) {
        second_of(c.src, c.idx, 3, [](mcast_stats_t &s, int) { s.cpu.avg = 77; });
        mcast_stats_t r{};
        r.cpu.avg = 5;
        EXPECT_EQ(mcastfwdr_statistics_posted(c.src, c.idx, &r), -1) << c.src << "/" << c.idx;
        EXPECT_EQ(r.cpu.avg, 5u);
    }
    mcast_stats_t r{};
    EXPECT_EQ(mcastfwdr_statistics_posted(-1, 0, &r), -1);
    EXPECT_EQ(mcastfwdr_statistics_posted(STATS_SRC_EGRESS, -1, &r), -1);
    // Nothing reached a valid slot either.
    for (int i = 0; i < STATS_IDX_EGRESS_NUM; ++i)
        EXPECT_EQ(posted(STATS_SRC_EGRESS, i).cpu.avg, 0u);
    EXPECT_EQ(posted(STATS_SRC_MULTIPLEX, 0).cpu.avg, 0u);
}

TEST_F(Statistics, FoldingAveragesTheSecondAndClearsTheSample)
{
    // Cycles of 900 and 1100 us alternately: 100 us short and long on average
    // over half the cycles each.
    mcast_stats_t last{};
    second_of(STATS_SRC_MULTIPLEX, 0, 1000, [&](mcast_stats_t &s, int i) {
        s.period.avg = i % 2 ? 1100000 : 900000;
        s.real.avg = 200000 + uint64_t(i);
        s.cpu.avg = 100000;
        s.bits.avg = uint64_t(i) * 1000;
        s.buf_bits.avg = 5000000; // 1000 of them exceed 32 bits
        s.evt[STATS_EVT_CC_ERROR] = i % 100 == 0;
        last = s;
    });
    const mcast_stats_t r = posted(STATS_SRC_MULTIPLEX, 0);
    EXPECT_TRUE(r.post);
    EXPECT_EQ(r.src, STATS_SRC_MULTIPLEX);
    EXPECT_EQ(r.period.neg, 50u);
    EXPECT_EQ(r.period.pos, 50u);
    EXPECT_EQ(r.period.min, 900000u);
    EXPECT_EQ(r.period.max, 1100000u);
    EXPECT_EQ(r.period.avg, 1000000u);
    EXPECT_EQ(r.real.min, 200000u);
    EXPECT_EQ(r.real.max, 200999u);
    EXPECT_EQ(r.real.avg, 200499u);
    EXPECT_EQ(r.cpu.avg, 100000u);
    EXPECT_EQ(r.bits.avg, 499500000u); // bits stay a sum over the second
    EXPECT_EQ(r.bits.max, 999000u);
    EXPECT_EQ(r.buf_bits.avg, 5000000000ull);
    EXPECT_EQ(r.evt[STATS_EVT_CC_ERROR], 10u);

    // The next second starts from a cleared tally.
    second_of(STATS_SRC_MULTIPLEX, 0, 2, [](mcast_stats_t &s, int) {
        s.period.avg = 1000000;
        s.real.avg = 7;
    });
    const mcast_stats_t r2 = posted(STATS_SRC_MULTIPLEX, 0);
    EXPECT_EQ(r2.real.min, 7u);
    EXPECT_EQ(r2.real.max, 7u);
    EXPECT_EQ(r2.period.neg, 0u);
    EXPECT_EQ(r2.period.pos, 0u);
    EXPECT_EQ(r2.evt[STATS_EVT_CC_ERROR], 0u);

    // A thread keeps one sample for its life and adds its events to it: an
    // event counted in one cycle is posted once, whatever cycles follow.
    mcast_stats_t s{};
    s.src = STATS_SRC_EGRESS;
    s.idx = stats_idx_t(3);
    for (int i = 0; i < 1000; ++i) {
        s.evt[STATS_EVT_BUSY_WARN] += i == 10;
        s.post = i == 999;
        mcastfwdr_statistics(&s);
    }
    EXPECT_EQ(posted(STATS_SRC_EGRESS, 3).evt[STATS_EVT_BUSY_WARN], 1u);
}

TEST_F(Statistics, ReportForFixedRecordsEqualsTheStoredText)
{
    // Egress slot 2: exact 1 ms cycles, 1500 underflows and 2 busy events.
    second_of(STATS_SRC_EGRESS, 2, 1000, [](mcast_stats_t &s, int i) {
        s.period.avg = 1000000;
        s.real.avg = 200000;
        s.cpu.avg = 50000;
        s.bits.avg = 15040;
        s.buf_bits.avg = 150400;
        s.evt[STATS_EVT_UNDERFLOW_WARN] = i < 500 ? 2 : 1;
        s.evt[STATS_EVT_BUSY_WARN] = i < 2;
    });
    // Egress slot 5: only underflows (1500): no event part.
    second_of(STATS_SRC_EGRESS, 5, 1000, [](mcast_stats_t &s, int i) {
        s.period.avg = 1000000;
        s.cpu.avg = 20000;
        s.evt[STATS_EVT_UNDERFLOW_WARN] = i < 500 ? 2 : 1;
    });
    // The multiplexer at 900/1100 us with a socket error besides an overflow.
    second_of(STATS_SRC_MULTIPLEX, 0, 1000, [](mcast_stats_t &s, int i) {
        s.period.avg = i % 2 ? 1100000 : 900000;
        s.real.avg = 300000;
        s.cpu.avg = 100000;
        s.bits.avg = 1504;
        s.evt[STATS_EVT_OVERFLOW_WARN] = i == 1;
        s.evt[STATS_EVT_SOCKET_ERROR] = i == 3;
    });
    // Ingress NET with 999 underflows: shown.
    second_of(STATS_SRC_INGRESS, STATS_IDX_INGRESS_NET, 1000, [](mcast_stats_t &s, int i) {
        s.period.avg = 1000000;
        s.cpu.avg = 30000;
        s.evt[STATS_EVT_UNDERFLOW_WARN] = i < 999;
    });
    mcf::stats::report_state st;
    st.truncations = 3;
    st.file_reports = 41;
    st.total_reports = 1234;
    const std::string expected =
        "@ 12:34:56 003_00041_000001234\n"
        "-----------  ------ Period Time uS -------  - Real Time uS --  -- CPU Time uS --  ------------- Thread "
        "Specific Details -------------\n"
        "  Thread      min   --<   avg   >++   max    min   avg   max    min   avg   max    Mbps, Buf-Kb, plus "
        "optional info/warnings/errors\n"
        "Ingress-NET   1000  1000  1000  1000  1000      0     0     0     30    30    30  Mbps-   0.000000 [   0    0]"
        " Buf-Kb    0 [   0    0], 999 U-\n"
        "Multiplex      900   950  1000  1050  1100    300   300   300    100   100   100  Mbps-   1.504000 [   1    1]"
        ", 1 socket_err\n"
        "Egress-3      1000  1000  1000  1000  1000    200   200   200     50    50    50  Mbps-  15.040000 [  15   15]"
        " Buf-Kb  150 [ 150  150], 2 busy_warn\n"
        "Egress-6      1000  1000  1000  1000  1000      0     0     0     20    20    20  Mbps-   0.000000 [   0    0]"
        " Buf-Kb    0 [   0    0]\n"
        "2 CPU Cores 200%: Total 20.0  Ingress  3.0  Multiplex 10.0  Egress  7.0\n";
    EXPECT_EQ(mcf::stats::format_report(st, "12:34:56"), expected);
    // A record is printed once per posting: nothing posted since, no lines.
    const std::string again = mcf::stats::format_report(st, "12:34:57");
    EXPECT_EQ(again.find("\nEgress-"), std::string::npos) << again;
    EXPECT_NE(again.find("Total  0.0  Ingress  0.0  Multiplex  0.0  Egress  0.0"), std::string::npos) << again;
    // A new posting is printed again.
    second_of(STATS_SRC_EGRESS, 49, 1, [](mcast_stats_t &s, int) { s.cpu.avg = 1000000; });
    EXPECT_NE(mcf::stats::format_report(st, "12:34:58").find("\nEgress-50     "), std::string::npos);
}

TEST_F(Statistics, ReportFileRotatesByReportsAndSize)
{
    std::filesystem::create_directories(root_ / "run");
    const std::string path = root_ / "run/stats";
    struct Case {
        unsigned file_reports;
        off_t size;
        bool emptied;
    } cases[] = {
        {86399, 10, false},      // a day's reports are kept
        {86400, 10, true},       // one more empties the file first
        {5, 99999999, false},    // the size limit itself is kept
        {5, 100000000, true},    // beyond it the file is emptied
    };
    for (const Case &c : cases) {
        std::filesystem::remove(path);
        {
            std::ofstream f(path);
            f << "old\n";
        }
        ASSERT_EQ(truncate(path.c_str(), c.size), 0); // sparse
        mcf::stats::report_state st;
        st.truncations = 7;
        st.file_reports = c.file_reports;
        st.total_reports = 100000;
        ASSERT_EQ(mcf::stats::report_pass(st, path), 0);
        const auto size = std::filesystem::file_size(path);
        if (c.emptied) {
            EXPECT_EQ(st.truncations, 8u) << c.file_reports << "/" << c.size;
            EXPECT_EQ(st.file_reports, 1u);
            const std::string text = slurp(path);
            EXPECT_EQ(text.substr(0, 2), "@ ");
            EXPECT_NE(text.find(" 008_00000_000100000\n"), std::string::npos) << text.substr(0, 40);
        } else {
            EXPECT_EQ(st.truncations, 7u) << c.file_reports << "/" << c.size;
            EXPECT_EQ(st.file_reports, c.file_reports + 1);
            EXPECT_GT(size, uint64_t(c.size));
        }
        EXPECT_EQ(st.total_reports, 100001u);
    }
}

TEST_F(Statistics, ReportIsNotWrittenThroughASymlinkOrIntoAMissingDirectory)
{
    mcf::stats::report_state st;
    EXPECT_EQ(mcf::stats::report_pass(st, root_ / "run/stats"), -1); // no directory
    EXPECT_FALSE(std::filesystem::exists(root_ / "run"));
    std::filesystem::create_directories(root_ / "run");
    {
        std::ofstream f(root_ / "target");
        f << "keep\n";
    }
    std::filesystem::create_symlink(root_ / "target", root_ / "run/stats");
    EXPECT_EQ(mcf::stats::report_pass(st, root_ / "run/stats"), -1);
    EXPECT_EQ(slurp(root_ / "target"), "keep\n");
    EXPECT_EQ(st.total_reports, 0u);
}

TEST_F(Statistics, ThreadWritesAReportEachSecond)
{
    std::filesystem::create_directories(root_ / "run");
    ASSERT_EQ(mcastfwdr_statistics_init(), 0);
    second_of(STATS_SRC_EGRESS, 0, 2, [](mcast_stats_t &s, int) {
        s.period.avg = 1000000;
        s.cpu.avg = 40000;
    });
    EXPECT_TRUE(mcftest::eventually([&] { return slurp(root_ / "run/stats").find("\nEgress-1  ") != std::string::npos; },
                                    60000))
        << slurp(root_ / "run/stats");
    // The thread carries its name.
    bool named = false;
    for (const auto &e : std::filesystem::directory_iterator("/proc/self/task"))
        named |= slurp(e.path().string() + "/comm") == "SVM:statistics\n";
    EXPECT_TRUE(named);
    EXPECT_EQ(mcastfwdr_statistics_fini(), 0);
    EXPECT_EQ(mcastfwdr_statistics_fini(), 0); // a second stop is harmless
}

TEST_F(Statistics, ThreadKeepsRunningWithoutItsDirectory)
{
    ASSERT_EQ(mcastfwdr_statistics_init(), 0);
    // A pass finds no directory; once there, the next pass writes.
    const unsigned before = mcf::stats::passes();
    ASSERT_TRUE(mcftest::eventually([&] { return mcf::stats::passes() > before; }, 60000));
    EXPECT_FALSE(std::filesystem::exists(root_ / "run"));
    second_of(STATS_SRC_EGRESS, 1, 2, [](mcast_stats_t &s, int) { s.cpu.avg = 40000; });
    std::filesystem::create_directories(root_ / "run");
    EXPECT_TRUE(mcftest::eventually([&] { return slurp(root_ / "run/stats").find("Egress-2") != std::string::npos; },
                                    60000));
    EXPECT_EQ(mcastfwdr_statistics_fini(), 0);
}

TEST_F(Statistics, PostedRecordsAreNeverTorn)
{
    // One thread posts records whose fields all hold the same number, the
    // other reads them: every read is one whole record.
    std::atomic<bool> done{false};
    std::thread writer([&] {
        for (uint32_t k = 1; k <= 20000; ++k) {
            mcast_stats_t s{};
            s.src = STATS_SRC_EGRESS;
            s.idx = stats_idx_t(7);
            s.period.avg = uint64_t(k) * 1000; // posted: divided by 1000
            s.real.avg = uint64_t(k) * 1000;
            s.cpu.avg = uint64_t(k) * 1000;
            s.bits.avg = k;
            s.buf_bits.avg = k;
            s.evt[STATS_EVT_SIZE_ERROR] = k;
            s.post = true;
            mcastfwdr_statistics(&s);
        }
        done = true;
    });
    unsigned reads = 0, torn = 0;
    while (!done.load()) {
        const mcast_stats_t r = posted(STATS_SRC_EGRESS, 7);
        const uint64_t k = r.bits.avg;
        torn += r.period.avg != k || r.real.avg != k || r.cpu.avg != k || r.buf_bits.max != k ||
                r.evt[STATS_EVT_SIZE_ERROR] != k;
        ++reads;
    }
    writer.join();
    EXPECT_EQ(torn, 0u) << reads;
    EXPECT_EQ(posted(STATS_SRC_EGRESS, 7).bits.avg, 20000u);
}

} // namespace

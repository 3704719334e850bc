// The multiplexer's pacing and periodic checks, the decoder signalling from
// its thread, and the maintainer's stage settings and debug stream.
#include "egress/statistics.h"
#include "engine_fixture.h"
#include "mux/maintainer.h"
#include "mux/multiplexer.h"

#include <kerrow/cuvent.h>
#include <kerrow/path.h>

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <chrono>
#include <mutex>
#include <sstream>
#include <vector>

namespace {

namespace fs = std::filesystem;
using mcf::mux::cc_signal;

TEST(MuxBudget, FollowsTheBufferTarget)
{
    constexpr int64_t kAvg = 105280 * 1000; // bits per second: ten entries a ms
    struct Case {
        int buffer_ms;
        int64_t avg_bps;
        unsigned level;
        uint32_t budget;
    } cases[] = {
        {10, kAvg, 100, 94752},     // below target: one entry less than the rate
        {10, kAvg, 200, 201946},    // above: the excess spread over B + 1 ms
        {10, kAvg, 3798, 404000},   // far above: capped
        {10, 5000000, 0, 404000},   // below 10,528 a ms, empty pipe: the negative sum caps
        {10, 10528000, 11, 21056},  // on target: one entry above the rate
        {0, kAvg, 100, 808000},     // no target
        {-1, kAvg, 100, 808000},
        {10, -1, 100, 808000},      // the ingress thread posted nothing
    };
    for (const Case &c : cases)
        EXPECT_EQ(mcf::mux::pipe_budget(c.buffer_ms, c.avg_bps, c.level), c.budget)
            << c.buffer_ms << " ms, " << c.avg_bps << " bit/s, " << c.level << " entries";
}

TEST(MuxBudget, PipesMapToTheirIngressStatistics)
{
    EXPECT_EQ(mcf::ingress_stats_index(INGRESS_SRC_NET), STATS_IDX_INGRESS_NET);
    EXPECT_EQ(mcf::ingress_stats_index(INGRESS_SRC_SRT), STATS_IDX_INGRESS_SRT);
    EXPECT_EQ(mcf::ingress_stats_index(INGRESS_SRC_ASI), STATS_IDX_INGRESS_ASI);
    EXPECT_EQ(mcf::ingress_stats_index(INGRESS_SRC_XSB), STATS_IDX_INGRESS_XSB);
    EXPECT_EQ(mcf::ingress_stats_index(INGRESS_SRC_NUM), -1);
}

// What an ingress thread posts at the end of a second sets its pipe's budget.
TEST(MuxBudget, TheIngressThreadsPostedSecondSetsItsPipesBudget)
{
    kdtest::TempRoot root;
    mcf::stats::reset();
    ime_buffer_ms_update(); // no files: 10 ms
    auto post_second = [](ingress_src_t src, uint32_t bits_per_ms) {
        mcast_stats_t s = mcf::ingress_sample(src);
        for (int ms = 1; ms <= 1000; ++ms) {
            s.bits.avg = bits_per_ms;
            s.post = ms == 1000;
            mcastfwdr_statistics(&s);
        }
    };
    EXPECT_EQ(mcf::mux::pipe_budget_now(INGRESS_SRC_NET, 100), 808000u); // nothing posted yet
    post_second(INGRESS_SRC_NET, 105280); // ten entries a ms
    post_second(INGRESS_SRC_SRT, 5000);
    EXPECT_EQ(mcf::mux::pipe_budget_now(INGRESS_SRC_NET, 100), 94752u);
    EXPECT_EQ(mcf::mux::pipe_budget_now(INGRESS_SRC_NET, 200), 201946u);
    EXPECT_EQ(mcf::mux::pipe_budget_now(INGRESS_SRC_SRT, 0), 404000u);
    EXPECT_EQ(mcf::mux::pipe_budget_now(INGRESS_SRC_XSB, 100), 808000u);
    EXPECT_EQ(mcf::mux::pipe_budget_now(INGRESS_SRC_ASI, 100), 808000u);
    const fs::path dir = fs::path(kd_root()) / "var/local/solvera";
    fs::create_directories(dir);
    std::ofstream(dir / "buffer_ms_multiplex") << "0";
    ime_buffer_ms_update();
    EXPECT_EQ(mcf::mux::pipe_budget_now(INGRESS_SRC_NET, 100), 808000u);
    fs::remove_all(dir);
    ime_buffer_ms_update();
    mcf::stats::reset();
}

TEST(MuxAsiRate, ReportedBeyondTheToleranceOnEvery28000thPacket)
{
    struct Case {
        int detected, configured;
        uint64_t packets;
        bool reported;
    } cases[] = {
        {1020000, 1000000, 28000, false}, {1020001, 1000000, 28000, true}, {979999, 1000000, 56000, true},
        {980000, 1000000, 56000, false},  {1020001, 1000000, 28001, false}, {-1, 1000000, 28000, false},
    };
    for (const Case &c : cases)
        EXPECT_EQ(mcf::mux::asi_rate_reported(c.detected, c.configured, c.packets), c.reported)
            << c.detected << " vs " << c.configured << " at " << c.packets;
}

// Monitors answering the input alarm check from a script of cycles.
struct scripted : mcf::mux::monitors {
    uint64_t cycle = 0;
    std::vector<uint64_t> answers_2, answers_1;
    std::vector<uint64_t> stream_loss_at, program_status_at, input_alarm_at, output_alarm_at;
    void stream_loss() override { stream_loss_at.push_back(cycle); }
    void program_status() override { program_status_at.push_back(cycle); }
    unsigned input_alarm() override
    {
        input_alarm_at.push_back(cycle);
        for (uint64_t c : answers_2)
            if (c == cycle)
                return 2;
        for (uint64_t c : answers_1)
            if (c == cycle)
                return 1;
        return 0;
    }
    void output_alarm() override { output_alarm_at.push_back(cycle); }
};

// Stepped each millisecond, or waiting as long as it may between steps (an
// idle multiplexer), the thread runs every check on the same milliseconds.
TEST(MuxPeriodic, ChecksRunOnTheirCountersAndDriveTheDecoderSignal)
{
    for (const bool waits : {false, true}) {
        SCOPED_TRACE(waits ? "waiting up to the next check" : "every millisecond");
        scripted m;
        m.answers_2 = {0, 6017};
        mcf::mux::periodic p;
        std::vector<std::pair<uint64_t, cc_signal>> signals;
        unsigned steps = 0;
        for (int ms = 1; m.cycle < 8000; ++steps, m.cycle += uint64_t(ms = waits ? p.ms_to_next() : 1))
            if (const cc_signal s = p.step(m, ms); s != cc_signal::none)
                signals.emplace_back(m.cycle, s);
        const std::vector<std::pair<uint64_t, cc_signal>> want = {
            {0, cc_signal::set}, {1000, cc_signal::clear}, {6017, cc_signal::set}, {7017, cc_signal::clear}};
        EXPECT_EQ(signals, want);
        EXPECT_EQ(m.input_alarm_at, (std::vector<uint64_t>{0, 6017}));
        EXPECT_EQ(m.output_alarm_at, (std::vector<uint64_t>{0, 5987}));
        EXPECT_EQ(m.program_status_at, (std::vector<uint64_t>{0, 2005, 4010, 6015}));
        ASSERT_EQ(m.stream_loss_at.size(), 41u); // 0, 197, ... 7880
        EXPECT_EQ(m.stream_loss_at[1], 197u);
        EXPECT_EQ(m.stream_loss_at[40], 7880u);
        EXPECT_EQ(p.decoder_state(), 0);
        if (waits) {
            EXPECT_LT(steps, 100u); // far fewer than 8000 wake-ups
        }
    }
}

// A wait longer than a period runs a late check once.
TEST(MuxPeriodic, ALateCheckRunsOnceAndThenAPeriodOn)
{
    // Half a second late.
    scripted late;
    mcf::mux::periodic q;
    q.step(late);
    late.cycle = 697;
    q.step(late, 697);
    EXPECT_EQ(late.stream_loss_at, (std::vector<uint64_t>{0, 697}));
    EXPECT_EQ(q.ms_to_next(), 197);
}

TEST(MuxPeriodic, ErrorsShortenTheAlarmIntervalAndANewSignalRestartsTheWait)
{
    scripted m;
    // After an answer of 1 the next check is 1000 cycles on, else 6017.
    m.answers_1 = {0};
    m.answers_2 = {1000, 7017};
    mcf::mux::periodic p;
    std::vector<std::pair<uint64_t, cc_signal>> signals;
    for (m.cycle = 0; m.cycle < 9000; ++m.cycle)
        if (const cc_signal s = p.step(m); s != cc_signal::none)
            signals.emplace_back(m.cycle, s);
    EXPECT_EQ(m.input_alarm_at, (std::vector<uint64_t>{0, 1000, 7017}));
    const std::vector<std::pair<uint64_t, cc_signal>> want = {
        {1000, cc_signal::set}, {2000, cc_signal::clear}, {7017, cc_signal::set}, {8017, cc_signal::clear}};
    EXPECT_EQ(signals, want);
}

// The stage settings from their files.
class StageSettings : public ::testing::Test {
protected:
    void write(const char *stage, const std::string &text)
    {
        fs::create_directories(dir_);
        std::ofstream(dir_ / (std::string("buffer_ms_") + stage)) << text;
    }
    kdtest::TempRoot root_;
    fs::path dir_ = fs::path(kd_root()) / "var/local/solvera";
};

TEST_F(StageSettings, FilesAreClampedMissingOnesGiveTheDefaults)
{
    ime_buffer_ms_update();
    EXPECT_EQ(get_ime_buffer_ms(IME_INGRESS), 0);
    EXPECT_EQ(get_ime_buffer_ms(IME_MULTIPLEX), 10);
    EXPECT_EQ(get_ime_buffer_ms(IME_EGRESS), 10);
    EXPECT_EQ(get_ime_buffer_ms(IME_NUM), -1);
    EXPECT_EQ(get_ime_buffer_ms(-1), -1);
    struct Case {
        const char *text;
        int ms;
    } cases[] = {{"75", 50}, {"-3", 0}, {"text", 0}, {"", 0}, {" 25\n", 25}, {"7ms", 7},
                 {"99999999999999999999", 50}, {"50", 50}};
    for (const Case &c : cases) {
        write("multiplex", c.text);
        write("egress", c.text);
        ime_buffer_ms_update();
        EXPECT_EQ(get_ime_buffer_ms(IME_MULTIPLEX), c.ms) << '"' << c.text << '"';
        EXPECT_EQ(get_ime_buffer_ms(IME_EGRESS), c.ms) << '"' << c.text << '"';
        EXPECT_EQ(get_ime_buffer_ms(IME_INGRESS), 0);
    }
    fs::remove_all(dir_);
    ime_buffer_ms_update();
    EXPECT_EQ(get_ime_buffer_ms(IME_MULTIPLEX), 10);
}

TEST(MaintainerSchedule, ChecksAndReadsFallOnTheirTicks)
{
    unsigned buffers = 0, srt = 0, stats = 0;
    for (unsigned n = 1; n <= 100; ++n) {
        const auto w = mcf::maintainer::work_of(n);
        EXPECT_EQ(w.buffers, n % 50 == 0) << n;
        EXPECT_EQ(w.input_srt, n % 5 == 0) << n;
        EXPECT_EQ(w.output_srt, n % 5 == 0) << n;
        EXPECT_EQ(w.srt_stats, n % 20 == 0) << n;
        buffers += w.buffers;
        srt += w.input_srt;
        stats += w.srt_stats;
    }
    EXPECT_EQ(buffers, 2u);
    EXPECT_EQ(srt, 20u);
    EXPECT_EQ(stats, 5u);
}

TEST_F(StageSettings, TheMaintainerReadsAtStartAndPicksUpChangesWithinFiveSeconds)
{
    write("multiplex", "3");
    ASSERT_EQ(maintainer_init(), 0);
    EXPECT_TRUE(mcftest::eventually([] { return get_ime_buffer_ms(IME_MULTIPLEX) == 3; }));
    write("multiplex", "75");
    // Read every fifty ticks: wait on the ticks, not the clock.
    const unsigned from = mcf::maintainer::ticks();
    EXPECT_TRUE(mcftest::eventually([] { return get_ime_buffer_ms(IME_MULTIPLEX) == 50; }, 60000));
    EXPECT_LE(mcf::maintainer::ticks() - from, 51u);
    EXPECT_EQ(maintainer_fini(), 0);
    EXPECT_EQ(maintainer_fini(), 0); // stopped: nothing to join
}

TEST(Maintainer, StopsRightAfterItsStart)
{
    for (int i = 0; i < 20; ++i) {
        ASSERT_EQ(maintainer_init(), 0);
        ASSERT_EQ(maintainer_fini(), 0);
    }
}

// The debug stream, by call counts.
class DebugStream : public ::testing::Test {
protected:
    void SetUp() override
    {
        mcf::maintainer::debug_stream_reset();
        fs::create_directories(dir_);
    }
    void TearDown() override { mcf::maintainer::debug_stream_reset(); }
    // Calls until the stream answers a file (want) or null; the calls made,
    // or -1 after 1000.
    int calls_until(bool want)
    {
        for (int n = 1; n <= 1000; ++n)
            if ((mcfwdrDebugStreamFile(DSID_MCASTFWDR) != nullptr) == want)
                return n;
        return -1;
    }
    std::string read(const fs::path &p)
    {
        std::stringstream s;
        s << std::ifstream(p).rdbuf();
        return s.str();
    }
    kdtest::TempRoot root_;
    fs::path dir_ = fs::path(kd_root()) / "run/debug/mcfw";
    fs::path file_ = dir_ / "pcr";
};

TEST_F(DebugStream, OpensWithin101CallsOfTheFileAndClosesWhenItGoes)
{
    EXPECT_EQ(calls_until(true), -1);
    EXPECT_EQ(mcfwdrDebugStreamFile(1), nullptr);
    std::ofstream(file_) << "old content\n";
    const int opened = calls_until(true);
    EXPECT_GE(opened, 1);
    EXPECT_LE(opened, 101);
    mcfwdrDebugDumpHelper(mcfwdrDebugStreamFile(DSID_MCASTFWDR), "PCR 1 2 3");
    mcfwdrDebugDumpHelper(nullptr, "nowhere");
    EXPECT_EQ(read(file_), "PCR 1 2 3\n"); // truncated when opened, flushed by the helper

    fs::remove(file_);
    const int closed = calls_until(false);
    EXPECT_GE(closed, 1);
    EXPECT_LE(closed, 101);
    EXPECT_EQ(calls_until(true), -1);

    // A new file is a new stream, even when the old one was never seen gone.
    std::ofstream(file_) << "";
    ASSERT_GT(calls_until(true), 0);
    fs::remove(file_);
    std::ofstream(file_) << "replacement\n";
    FILE *f = nullptr;
    for (int n = 0; n < 202 && !(f = mcfwdrDebugStreamFile(DSID_MCASTFWDR)); ++n) {
    }
    ASSERT_NE(f, nullptr);
    for (int n = 0; n < 202; ++n)
        f = mcfwdrDebugStreamFile(DSID_MCASTFWDR);
    mcfwdrDebugDumpHelper(f, "again");
    EXPECT_EQ(read(file_), "again\n");
}

TEST_F(DebugStream, NeverFollowsASymbolicLink)
{
    const fs::path target = fs::path(kd_root()) / "precious";
    std::ofstream(target) << "keep me\n";
    fs::create_symlink(target, file_);
    EXPECT_EQ(calls_until(true), -1);
    EXPECT_EQ(read(target), "keep me\n");

    // A file that turns into a link is closed.
    fs::remove(file_);
    std::ofstream(file_) << "";
    ASSERT_GT(calls_until(true), 0);
    fs::remove(file_);
    fs::create_symlink(target, file_);
    EXPECT_GT(calls_until(false), 0);
    EXPECT_EQ(calls_until(true), -1);
    EXPECT_EQ(read(target), "keep me\n");
}

TEST_F(DebugStream, ANotWritableFileIsNotOpened)
{
    if (geteuid() == 0)
        GTEST_SKIP() << "root writes anything";
    std::ofstream(file_) << "";
    fs::permissions(file_, fs::perms::owner_read);
    EXPECT_EQ(calls_until(true), -1);
}

// The multiplexer thread in an engine: the decoder signalling it emits.
class MuxThread : public mcftest::EngineTest {
protected:
    static void on_cc(cuvent_wrapper *w)
    {
        auto *self = static_cast<MuxThread *>(w->cb_ctx);
        // The write side, as the decoder's answers reach listeners that
        // take it: blocks for good if the emitter held the read side.
        timespec until;
        clock_gettime(CLOCK_REALTIME, &until);
        until.tv_sec += 3;
        const bool locked = pthread_rwlock_timedwrlock(&ctrl_data_lock, &until) == 0;
        if (locked)
            pthread_rwlock_unlock(&ctrl_data_lock);
        std::lock_guard lk(self->mutex_);
        self->seen_.push_back(std::string(w->name) + " " + std::to_string(*static_cast<uint32_t *>(w->emit_ctx)) +
                              (locked ? "" : " (lock held)"));
    }
    std::vector<std::string> seen()
    {
        std::lock_guard lk(mutex_);
        return seen_;
    }
    std::mutex mutex_;
    std::vector<std::string> seen_;
};

TEST_F(MuxThread, ContinuityErrorsOnADecoderInputSignalTheDecoderWithoutTheLock)
{
    net_input(100, "239.1.1.1", 5000);
    cfg_tx *dec = output(0, EGRTYPE_DEC);
    cfg_tx_input_add(dec)->input_id = 100;
    mcf_ctrl_plane_configuration_is_loaded = 1;
    {
        mcf::write_lock lock;
        manager_input_output_sync(0);
    }
    ASSERT_EQ(kd_cuvent_register_cb(pli_, "ccset", on_cc, this, CUVFLT_NONE), 0);
    ASSERT_EQ(kd_cuvent_register_cb(pli_, "ccclear", on_cc, this, CUVFLT_NONE), 0);
    manager_input_add_cc_error(manager_inputs_find_by_id(100));
    const auto started = std::chrono::steady_clock::now();
    ASSERT_EQ(mcastfwdr_multiplex_init(), 0);
    // Errors in the first check, none in the next (1000 cycles on): the
    // alarm clears and the decoder is told; 1000 cycles later, the clear.
    EXPECT_TRUE(mcftest::eventually([&] { return seen().size() >= 4; }, 60000));
    // The checks keep their periods in time, whether the idle thread ran
    // its cycles or waited (it counts whole milliseconds: the two ends may
    // each fall a millisecond short).
    EXPECT_GE(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(2000 - 2));
    EXPECT_EQ(mcastfwdr_multiplex_fini(), 0);
    EXPECT_EQ(seen(), (std::vector<std::string>{"ccset 0", "ccset 1", "ccclear 0", "ccclear 1"}));
    mcf_status_queue_fini(); // the thread's log lines
    EXPECT_EQ(log_.count("MCF: emit CC set 1"), 1);
    EXPECT_EQ(log_.count("MCF: emit CC set 2"), 1);
    EXPECT_EQ(log_.count("MCF: emit CC clear 2"), 1);
    EXPECT_EQ(log_.count("multiplexer: thread join... done"), 1);
    mcf_status_queue_init(pthread_self());
}

} // namespace

// The clock manager's decisions, cycle by cycle against recorded outputs,
// and its thread on the simulated board's LMK.
#include "board_fixture.h"
#include "clkmgr.h"

#include <i2c_kt33.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

namespace {

// Every output action with the cycle it happened in.
std::vector<std::string> g_seen;
int g_cycle = 0;

void note(const char *what, unsigned a, int b = -1)
{
    std::string s = std::to_string(g_cycle) + " " + what + " " + std::to_string(a);
    if (b >= 0)
        s += "=" + std::to_string(b);
    g_seen.push_back(s);
}

const clkmgr_outputs kRecorder = {
    [](unsigned s) { return note("rst", s), 0; },
    [](unsigned s) { return note("run", s), 0; },
    [](unsigned o, unsigned f) { return note("freq", o, int(f)), 0; },
};

struct Clk : ::testing::Test {
    void SetUp() override
    {
        decode_clkmgr_reset(m);
        m.lmk_present = true;
        g_seen.clear();
        g_cycle = 0;
    }
    void cycles(int n)
    {
        for (int i = 0; i < n; ++i, ++g_cycle)
            decode_clkmgr_cycle(m, kRecorder);
    }
    clkmgr m;
};

TEST_F(Clk, RetunesOneOutputAtATimeHoldingItsSerializer)
{
    struct Case {
        bool uhd, inverted;
        std::vector<std::string> seen;
    } cases[] = {
        // Channel 0 first; held from its cycle 0 to the 51st busy cycle;
        // channel 1 on the cycle after.
        {false, false, {"0 rst 0", "0 freq 0=0", "50 run 0", "51 rst 1", "51 freq 1=0", "101 run 1"}},
        {false, true, {"0 rst 1", "0 freq 0=0", "50 run 1", "51 rst 0", "51 freq 1=0", "101 run 0"}},
        {true, false,
         {"0 rst 0", "0 rst 1", "0 freq 0=0", "50 run 0", "50 run 1", "51 rst 0", "51 rst 1", "51 freq 1=0",
          "101 run 0", "101 run 1"}},
    };
    for (const Case &c : cases) {
        SetUp();
        m.uhd = c.uhd;
        m.inverted = c.inverted;
        for (unsigned ch : {1u, 0u}) {
            m.freq_from_vidstd[ch] = LMK_FREQ_148_50;
            EXPECT_EQ(decode_clkmgr_check(m, ch), 1u);
        }
        cycles(120);
        EXPECT_EQ(g_seen, c.seen) << "uhd " << c.uhd << " inverted " << c.inverted;
        for (unsigned ch : {0u, 1u}) {
            EXPECT_EQ(m.freq_cur[ch].load(), LMK_FREQ_148_50);
            EXPECT_EQ(m.update_busy[ch].load(), 0u);
            EXPECT_EQ(decode_clkmgr_check(m, ch), 0u) << "nothing more wanted";
        }
    }
}

TEST_F(Clk, ARequestDuringARetuneWaitsForIt)
{
    m.freq_from_vidstd[0] = LMK_FREQ_148_50;
    ASSERT_EQ(decode_clkmgr_check(m, 0), 1u);
    cycles(10);
    m.freq_from_vidstd[0] = LMK_FREQ_148_35; // changed its mind
    EXPECT_EQ(decode_clkmgr_check(m, 0), 1u);
    EXPECT_EQ(m.freq_rqst[0].load(), LMK_FREQ_148_50) << "the running retune keeps its frequency";
    cycles(41); // released in cycle 50
    EXPECT_EQ(m.freq_cur[0].load(), LMK_FREQ_148_50);
    EXPECT_EQ(decode_clkmgr_check(m, 0), 1u);
    EXPECT_EQ(m.freq_rqst[0].load(), LMK_FREQ_148_35);
    cycles(60);
    EXPECT_EQ(g_seen, (std::vector<std::string>{"0 rst 0", "0 freq 0=0", "50 run 0", "51 rst 0", "51 freq 0=1",
                                                "101 run 0"}));
    EXPECT_EQ(m.freq_cur[0].load(), LMK_FREQ_148_35);
}

TEST_F(Clk, WithoutTheLmkNothingIsAskedOrProgrammed)
{
    m.lmk_present = false;
    m.freq_from_vidstd[0] = LMK_FREQ_148_50;
    EXPECT_EQ(decode_clkmgr_check(m, 0), 0u);
    cycles(60);
    EXPECT_TRUE(g_seen.empty());
    m.lmk_present = true;
    EXPECT_EQ(decode_clkmgr_check(m, 2), 0u);
    EXPECT_EQ(decode_clkmgr_check(m, 0), 1u);
}

// The thread on the board: a request made right after the start is kept
// (the record is ready before the thread runs) and reaches the LMK.
TEST_F(BoardTest, ClockManagerThreadRetunesTheLmk)
{
    void *window = kt3300_get_artix_base_addr(ctx_);
    ASSERT_EQ(decode_clkmgr_ctor(window), 0);
    EXPECT_EQ(decode_clkmgr_ctor(window), 0) << "already running";
    decode_clkmgr_set_vidstd_freq(1, LMK_FREQ_148_50);
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (decode_clkmgr_record().freq_cur[1] != LMK_FREQ_148_50 && std::chrono::steady_clock::now() < end) {
        decode_clkmgr_chk_update_freq(1);
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    EXPECT_EQ(decode_clkmgr_record().freq_cur[1].load(), LMK_FREQ_148_50);
    EXPECT_EQ(decode_clkmgr_record().freq_cur[0].load(), LMK_FREQ_148_35);
    EXPECT_EQ(sim_->lmk_reg(0x28), 0x10) << "output 1 at 148.50 MHz";
    EXPECT_EQ(sim_->lmk_reg(0x24), 0x06) << "output 0 at 148.35 MHz";
    EXPECT_EQ(sim_->wr16(0x3004) & 0x0030, 0) << "no serializer left in reset";
    EXPECT_EQ(decode_clkmgr_dtor(), 0);
    EXPECT_FALSE(decode_clkmgr_running());
    EXPECT_EQ(decode_clkmgr_dtor(), 0);
}

} // namespace

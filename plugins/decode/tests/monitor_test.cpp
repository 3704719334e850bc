// Egress monitor on scripted ring levels: the level marks, the drift
// decisions and their rates, stop and start, and an empty ring.
#include "board_fixture.h"
#include "decode_internal.h"
#include "egress_monitor.h"

#include <kerrow/pipe.h>

#include <string>
#include <vector>

namespace {

class Monitor : public BoardTest {
protected:
    void SetUp() override
    {
        BoardTest::SetUp();
        dec().mqueue = kd_mqueue_ctor(400, nullptr);
    }
    void TearDown() override
    {
        decode_egress_monitor_dtor(m_);
        kt3300_egr_wrtr_free(w_);
        kd_mqueue_dtor(dec().mqueue);
        dec().mqueue = nullptr;
        BoardTest::TearDown();
    }
    void make(unsigned ch, uint32_t tmr)
    {
        w_ = kt3300_egr_wrtr_alloc(ch, ctx_);
        ASSERT_NE(w_, nullptr);
        m_ = decode_egress_monitor_ctor(ctx_, w_, ch, tmr);
        ASSERT_NE(m_, nullptr);
    }
    // The ring holds `level` packets for the next 30 seconds.
    void window_of(uint32_t level, unsigned samples = 1)
    {
        static const uint8_t pkt[188] = {0x47};
        for (unsigned s = 0; s < samples; ++s) {
            kt3300_egr_wrtr_clear(w_); // the model does not run: nothing is consumed
            for (uint32_t i = 0; i < level; ++i)
                ASSERT_EQ(kt3300_egr_wrtr_write(w_, pkt), 0);
            for (unsigned sec = 0; sec < EGR_MONITOR_PERIOD_S; ++sec)
                decode_egress_monitor_maintain_sec(m_);
        }
    }
    std::vector<std::string> lines()
    {
        std::vector<std::string> out;
        kd_mqueue_entry e;
        while (kd_mqueue_read(dec().mqueue, &e) == 0) {
            out.emplace_back(static_cast<log_write_data *>(e.data)->log);
            std::free(e.data);
        }
        return out;
    }
    std::vector<std::string> changes()
    {
        std::vector<std::string> out;
        for (const std::string &l : lines())
            if (l.find("drift state change") != std::string::npos)
                out.push_back(l);
        return out;
    }
    kt3300_egr_wrtr *w_ = nullptr;
    monitor *m_ = nullptr;
};

TEST_F(Monitor, MarksFollowTheNominalRateOfEachChannel)
{
    struct {
        unsigned ch;
        uint32_t tmr, mid, hwm, lwm, uhwm, ulwm;
    } cases[] = {{0, 100000000, 1329, 1661, 997, 1993, 665}, {1, 25000000, 332, 415, 249, 498, 166}};
    for (const auto &c : cases) {
        monitor *m = decode_egress_monitor_ctor(ctx_, reinterpret_cast<kt3300_egr_wrtr *>(1), c.ch, c.tmr);
        ASSERT_NE(m, nullptr);
        EXPECT_EQ(m->cfg.mid_pkts, c.mid);
        EXPECT_EQ(m->cfg.hwm_pkts, c.hwm);
        EXPECT_EQ(m->cfg.lwm_pkts, c.lwm);
        EXPECT_EQ(m->cfg.ultra_hwm_pkts, c.uhwm);
        EXPECT_EQ(m->cfg.ultra_lwm_pkts, c.ulwm);
        EXPECT_EQ(m->ops.qstate, EGR_QUEUE_NORMAL);
        EXPECT_FALSE(m->ops.is_active);
        decode_egress_monitor_dtor(m);
    }
    EXPECT_EQ(lines(), (std::vector<std::string>{
                           "Vid 1 EGRQ level markers ULO: 665 LOW: 997 MID: 1329 HI: 1661 UHI: 1993 (pkts)",
                           "Vid 2 EGRQ level markers ULO: 166 LOW: 249 MID: 332 HI: 415 UHI: 498 (pkts)"}));
    EXPECT_EQ(decode_egress_monitor_ctor(nullptr, w_, 0, 1), nullptr);
    EXPECT_EQ(decode_egress_monitor_start(nullptr), -1);
    EXPECT_EQ(decode_egress_monitor_stop(nullptr), -1);
    EXPECT_EQ(decode_egress_monitor_maintain_sec(nullptr), -1);
}

TEST_F(Monitor, LowWindowsLowerTheRateAndAMiddlingWindowRestoresIt)
{
    make(1, 25000000);
    ASSERT_EQ(decode_egress_monitor_start(m_), 0);
    lines();
    window_of(166, 10); // at the ultra low mark
    EXPECT_EQ(m_->ops.qstate, EGR_QUEUE_ULTRA_LOW);
    auto l = lines();
    ASSERT_EQ(l.size(), 3u);
    EXPECT_EQ(l[0], "Vid 2 EGRQ (10+30) (NORMAL) counts UL: 10 LO: 0 LM: 0 M: 0 UM: 0 HI: 0 UH: 0");
    EXPECT_EQ(l[1], "Vid 2 EGRQ samples [166 166 166 166 166 166 166 166 166 166]");
    EXPECT_EQ(l[2], "Chn 2 EGRQ drift state change: NORMAL ==> ULTRA_LOW. New TMR: 24999980");
    window_of(100, 10);         // still ultra low: no change
    window_of(249, 10);         // low, but not ultra: ULTRA_LOW stays
    EXPECT_TRUE(changes().empty());
    window_of(332, 8);          // middle
    window_of(333, 2);          // two above the middle
    EXPECT_EQ(changes(), (std::vector<std::string>{"Chn 2 EGRQ drift state change: ULTRA_LOW ==> NORMAL. New TMR: 25000000"}));
    window_of(200, 10);
    EXPECT_EQ(changes(), (std::vector<std::string>{"Chn 2 EGRQ drift state change: NORMAL ==> LOW. New TMR: 24999990"}));
}

TEST_F(Monitor, HighWindowsRaiseTheRateWithoutAccumulating)
{
    make(0, 100000000);
    decode_egress_monitor_start(m_);
    window_of(1661, 10);
    window_of(1993, 10);
    window_of(1700, 10); // high after ultra high: no change
    window_of(1000, 9);
    window_of(1328, 1);  // only one below the middle: no change
    window_of(1328, 10); // low-middle samples in ULTRA_HIGH: back to nominal
    EXPECT_EQ(changes(), (std::vector<std::string>{
                             "Chn 1 EGRQ drift state change: NORMAL ==> HIGH. New TMR: 100000010",
                             "Chn 1 EGRQ drift state change: HIGH ==> ULTRA_HIGH. New TMR: 100000020",
                             "Chn 1 EGRQ drift state change: ULTRA_HIGH ==> NORMAL. New TMR: 100000000"}));
}

TEST_F(Monitor, StopRestoresTheNominalRateAndStartBeginsAfresh)
{
    make(1, 25000000);
    decode_egress_monitor_start(m_);
    window_of(100, 10);
    ASSERT_EQ(m_->ops.qstate, EGR_QUEUE_ULTRA_LOW);
    window_of(100, 4);
    kt3300_egress_set_tmr(ctx_, 1, 1000000); // something else in the register
    ASSERT_EQ(decode_egress_monitor_stop(m_), 0);
    // The rate word of 25,000,000 bit/s is back.
    EXPECT_EQ(sim_->wr32(0x4400), uint32_t((166330368000000ULL / 25000000 + 1) / 2 - 2048));
    EXPECT_FALSE(m_->ops.is_active);
    EXPECT_EQ(m_->ops.qstate, EGR_QUEUE_NORMAL);
    EXPECT_EQ(m_->ops.total_sample_count, 0u);
    window_of(100, 10); // inactive: nothing counted
    EXPECT_EQ(m_->ops.total_sample_count, 0u);
    decode_egress_monitor_start(m_);
    lines();
    window_of(100, 10); // fresh window from NORMAL
    EXPECT_EQ(changes(), (std::vector<std::string>{"Chn 2 EGRQ drift state change: NORMAL ==> ULTRA_LOW. New TMR: 24999980"}));
}

TEST_F(Monitor, AnEmptyRingCompletesNoWindow)
{
    make(0, 100000000);
    decode_egress_monitor_start(m_);
    lines();
    window_of(0, 25);
    EXPECT_EQ(m_->ops.total_sample_count, 0u);
    EXPECT_TRUE(lines().empty());
}

} // namespace

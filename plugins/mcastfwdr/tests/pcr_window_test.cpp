// PCR access and the PCR windows of an output.
#include "router/pcr_window.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

TEST(McfPcr, TicksRoundTripAndTheFieldKeepsItsNeighbours)
{
    struct Case {
        uint64_t ticks, base;
        uint16_t ext;
    } cases[] = {{27000000, 90000, 0}, {299, 0, 299}, {300, 1, 0}, {0, 0, 0},
                 {((uint64_t(1) << 33) - 1) * 300 + 299, (uint64_t(1) << 33) - 1, 299}};
    for (const auto &c : cases) {
        const pcr v = pcr_to_pcr_t(c.ticks);
        EXPECT_EQ(v.base, c.base);
        EXPECT_EQ(v.ext, c.ext);
        EXPECT_EQ(pcr_t_to_pcr(v), c.ticks);

        uint8_t field[8];
        std::memset(field, 0, sizeof field);
        field[6] = 0xA5; // the two bytes after the field
        field[7] = 0x5A;
        EXPECT_EQ(tsphPcrSet(field, c.ticks), 0);
        EXPECT_EQ(tsphPcrGetReserved(field), 63); // written as ones
        EXPECT_EQ(field[6], 0xA5);
        EXPECT_EQ(field[7], 0x5A);
        const pcr back = tsphPcrGet(field);
        EXPECT_EQ(back.base, c.base);
        EXPECT_EQ(back.ext, c.ext);
    }
    // A PCR as ISO/IEC 13818-1 lays it out: base 0x1_2345_6789, extension 0x123.
    const uint8_t wire[6] = {0x91, 0xA2, 0xB3, 0xC4, 0xFF, 0x23};
    EXPECT_EQ(tsphPcrGetProgramClockReferenceBase(wire), 0x123456789ull);
    EXPECT_EQ(tsphPcrGetProgramClockReferenceExtension(wire), 0x123);
    uint8_t copy[6];
    std::memcpy(copy, wire, 6);
    tsphPcrSetProgramClockReferenceExtension(copy, 7);
    EXPECT_EQ(tsphPcrGetProgramClockReferenceBase(copy), 0x123456789ull);
    EXPECT_EQ(tsphPcrGetProgramClockReferenceExtension(copy), 7);
}

TEST(McfPcr, AWindowTakesTheFirstThreePcrsAsTheyComeAndAgainAfterARateReset)
{
    pcr_window_info *w = pcr_window_ctor(100, 3000000, 10000000, 256);
    ASSERT_NE(w, nullptr);
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(pcr_window_ignore_first_few(w), 1);
    EXPECT_EQ(pcr_window_ignore_first_few(w), 0);
    for (int i = 0; i < 5; ++i)
        pcr_window_inc_total_pkts_rx(w);
    pcr_window_save_pkts(w, pcr_window_get_total_pkts_rx(w), 17);
    EXPECT_EQ(pcr_window_get_pkts_rx(w), 5u);
    EXPECT_EQ(pcr_window_get_pkts_tx(w), 17u);
    pcr_window_reset_pkts(w);
    EXPECT_EQ(pcr_window_get_pkts_rx(w), 0u);
    EXPECT_EQ(pcr_window_get_pkts_tx(w), 0u);
    pcr_window_save_pcr(w, 1000.0, 1001.0);
    EXPECT_DOUBLE_EQ(pcr_window_get_pcr_prev_calc(w), 1001.0);

    pcr_window_reset_io_bps(w, 4000000, 12000000);
    EXPECT_EQ(pcr_window_get_tmr(w)->bps_in, 4000000);
    EXPECT_DOUBLE_EQ(pcr_window_get_pcr_prev_actual(w), 0.0);
    EXPECT_EQ(pcr_window_get_pcr_count(w), 4); // kept
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(pcr_window_ignore_first_few(w), 1);
    EXPECT_EQ(pcr_window_ignore_first_few(w), 0);
    pcr_window_adjust_tx_bps(w, 20000000);
    EXPECT_EQ(pcr_window_get_tmr(w)->bps_in, 4000000);
    EXPECT_DOUBLE_EQ(pcr_window_get_tmr(w)->mbps_out, 20.0);
    EXPECT_EQ(pcr_window_get_total_pkts_rx(nullptr), 0u);
    EXPECT_EQ(pcr_window_get_pcr_count(nullptr), 0);
    pcr_window_dtor(w);
}

TEST(McfPcr, WindowsAreKeyedByInputAndPidAndHoldSixtyFour)
{
    kdtest::LogCapture log;
    pcr_window_infos *s = pcr_windows_ctor();
    EXPECT_EQ(pcr_windows_add_rates(s, 100, 3000000, 10000000, 256), 0);
    EXPECT_EQ(pcr_windows_add_rates(s, 100, 3000000, 10000000, 256), 0); // exists
    EXPECT_EQ(pcr_windows_add_rates(s, 101, 5000000, 10000000, 256), 0); // same PID, other input: its own
    EXPECT_EQ(pcr_windows_get_count(s), 2);
    pcr_window_info *a = pcr_windows_find(s, 100, 256);
    pcr_window_info *b = pcr_windows_find(s, 101, 256);
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);

    // Counting is per input, at constant cost, read by every window of it.
    EXPECT_EQ(pcr_windows_add_rates(s, 100, 3000000, 10000000, 300), 0);
    for (int i = 0; i < 7; ++i)
        pcr_windows_inc_total_pkts_rx(s, 100);
    pcr_windows_inc_total_pkts_rx(s, 101);
    EXPECT_EQ(pcr_window_get_total_pkts_rx(a), 7u);
    EXPECT_EQ(pcr_window_get_total_pkts_rx(pcr_windows_find(s, 100, 300)), 7u);
    EXPECT_EQ(pcr_window_get_total_pkts_rx(b), 1u);

    // A rate change of one input resets only its windows.
    for (pcr_window_info *w : {a, b})
        for (int i = 0; i < 3; ++i)
            pcr_window_ignore_first_few(w);
    pcr_windows_update_bps_rx(s, 101, 6000000, 10000000);
    EXPECT_EQ(pcr_window_ignore_first_few(a), 0);
    EXPECT_EQ(pcr_window_ignore_first_few(b), 1);
    EXPECT_EQ(pcr_window_get_tmr(b)->bps_in, 6000000);
    EXPECT_EQ(pcr_window_get_tmr(a)->bps_in, 3000000);
    EXPECT_EQ(log.count("Update PCR, Input: 101, index: 1, bps_in: 6000000, bps_out: 10000000, pcr_pid: 256"), 1);
    pcr_windows_adjust_bps_tx(s, 15000000);
    EXPECT_DOUBLE_EQ(pcr_window_get_tmr(a)->mbps_out, 15.0);

    for (int pid = 1000; pcr_windows_get_count(s) < PCR_WINDOWS_MAX; ++pid)
        ASSERT_EQ(pcr_windows_add_rates(s, 102, 1000000, 10000000, pid), 0);
    EXPECT_EQ(pcr_windows_add_rates(s, 103, 1000000, 10000000, 4000), -1); // the 65th: none
    EXPECT_EQ(pcr_windows_add_rates(s, 103, 1000000, 10000000, 4001), -1);
    EXPECT_EQ(pcr_windows_get_count(s), PCR_WINDOWS_MAX);
    EXPECT_EQ(log.count("PCR windows full"), 1);
    EXPECT_EQ(pcr_windows_get(s, PCR_WINDOWS_MAX), nullptr);
    pcr_windows_dtor(s); // LSan: every window freed
}

} // namespace

// The SRT statistics texts: the duration's days, hours, minutes and
// seconds, and values of any size kept inside their fields.
#include "cfg/mcf_cfg.h"
#include "srt/srt_helper.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>

namespace {

TEST(SrtFormat, DurationInDaysHoursMinutesSeconds)
{
    struct Case {
        int64_t seconds;
        const char *text;
    } cases[] = {
        {0, "0 Days, 00 Hours, 00 Minutes, 00 Seconds"},
        {90061, "1 Days, 01 Hours, 01 Minutes, 01 Seconds"},
        {86399, "0 Days, 23 Hours, 59 Minutes, 59 Seconds"},
        {-5, "0 Days, 00 Hours, 00 Minutes, 00 Seconds"},
    };
    for (const Case &c : cases) {
        char field[MCF_SRT_DURATION_LEN];
        srt_helper_format_duration(field, c.seconds);
        EXPECT_STREQ(field, c.text) << c.seconds;
    }
    char field[MCF_SRT_DURATION_LEN + 1];
    field[MCF_SRT_DURATION_LEN] = 'x';
    srt_helper_format_duration(field, INT64_MAX);
    EXPECT_EQ(field[MCF_SRT_DURATION_LEN], 'x');
    EXPECT_TRUE(std::string(field).ends_with("Seconds")) << field;
}

// Each text is written within its field, with as many decimals as fit.
TEST(SrtFormat, ValuesOfAnySizeStayInsideTheirFields)
{
    struct Case {
        void (*fn)(char *, double);
        size_t size;
        double value;
        const char *text;
    } cases[] = {
        {srt_helper_format_rtt, MCF_SRT_RTT_LEN, 0, "0.000 ms"},
        {srt_helper_format_rtt, MCF_SRT_RTT_LEN, 12.3456, "12.346 ms"},
        {srt_helper_format_rtt, MCF_SRT_RTT_LEN, 123456789.5, "123456789.50 ms"},
        {srt_helper_format_rtt, MCF_SRT_RTT_LEN, 1e300, "999999999999 ms"},
        {srt_helper_format_mbps_rate, MCF_SRT_RATE_LEN, 0, "0.000000 Mbps"},
        {srt_helper_format_mbps_rate, MCF_SRT_RATE_LEN, 999.5, "999.500000 Mbps"},
        {srt_helper_format_mbps_rate, MCF_SRT_RATE_LEN, 1000, "1000.00000 Mbps"},
        {srt_helper_format_mbps_rate, MCF_SRT_RATE_LEN, 1e12, "9999999999 Mbps"},
        {srt_helper_format_buffer_avail, MCF_SRT_PCT_LEN, 0, "0.00%"},
        {srt_helper_format_buffer_avail, MCF_SRT_PCT_LEN, 100, "100.00%"},
        {srt_helper_format_buffer_avail, MCF_SRT_PCT_LEN, -3, "0.00%"},
        {srt_helper_format_period_packet_loss_pct, MCF_SRT_PCT_LEN, 12.345, "12.35%"},
        {srt_helper_format_period_packet_loss_pct, MCF_SRT_PCT_LEN, 1234.5, "1234.5%"},
        {srt_helper_format_period_packet_loss_pct, MCF_SRT_PCT_LEN, NAN, "0.00%"},
        {srt_helper_format_period_packet_loss_pct, MCF_SRT_PCT_LEN, 1e9, "999999%"},
    };
    for (const Case &c : cases) {
        char field[32];
        std::memset(field, 'x', sizeof field);
        c.fn(field, c.value);
        EXPECT_STREQ(field, c.text) << c.value;
        EXPECT_EQ(field[c.size], 'x') << c.value; // nothing written past the field
    }
}

TEST(SrtFormat, SocketStateNames)
{
    EXPECT_STREQ(srt_sock_status_name(0), "N/A");
    EXPECT_STREQ(srt_sock_status_name(5), "CONNECTED");
    EXPECT_STREQ(srt_sock_status_name(9), "NONEXIST");
    EXPECT_STREQ(srt_sock_status_name(42), "N/A");
}

} // namespace

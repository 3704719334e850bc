// PES header parsing and the PTS-to-PCR drift monitor.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "pcr_pts_analysis/pcr_pts.h"
#include "test_support.h"

namespace {

using kdtest::LogCapture;

// PTS bytes of a PES header: '0010' or '0011', 3 + 15 + 15 bits with markers.
void put_pts(uint8_t *b, uint64_t pts, uint8_t prefix)
{
    b[0] = uint8_t(prefix << 4 | ((pts >> 30) & 7) << 1 | 1);
    b[1] = uint8_t(pts >> 22);
    b[2] = uint8_t(((pts >> 15) & 0x7F) << 1 | 1);
    b[3] = uint8_t(pts >> 7);
    b[4] = uint8_t((pts & 0x7F) << 1 | 1);
}

TEST(PesHeader, ParsesStartCodeStreamFlagsAndPts)
{
    uint8_t none[14] = {0, 0, 2, 0xE0, 0, 10, 0x80, 0x80, 5};
    pes_hdr z = pes_parse_header(none, sizeof none);
    pes_hdr zero{};
    EXPECT_EQ(std::memcmp(&z, &zero, sizeof z), 0);

    uint8_t v[14] = {0, 0, 1, 0xE0, 0x12, 0x34, 0x98, 0x80, 5, 0x21, 0x00, 0x01, 0x00, 0x01};
    pes_hdr h = pes_parse_header(v, sizeof v);
    EXPECT_EQ(h.start_code, START_CODE_1);
    EXPECT_EQ(h.stream_id, STREAM_ID_MPEG_VIDEO_STREAM);
    EXPECT_EQ(h.pes_packet_length, 0x1234u);
    EXPECT_EQ(h.is_extension_present, 1u);
    EXPECT_EQ(h.pes_scrambling_control, 1u);
    EXPECT_EQ(h.pes_priority, 1u);
    EXPECT_EQ(h.pts_dts_flags, PTS_DTS_FLAGS_PTS_PRESENT);
    EXPECT_EQ(h.pts, 0u);

    const uint64_t big = (1ull << 33) - 12345;
    put_pts(v + 9, big, 3);
    v[7] = 0xC0;
    EXPECT_EQ(pes_parse_header(v, sizeof v).pts, big);
    // Cut before the PTS: flags are read, the PTS is not.
    pes_hdr cut = pes_parse_header(v, 12);
    EXPECT_EQ(cut.pts_dts_flags, PTS_DTS_FLAGS_PTS_AND_DTS_PRESENT);
    EXPECT_EQ(cut.pts, 0u);

    // Padding, private stream 2 and ids below 0xC0 other than 0xBD carry no
    // optional header.
    for (uint8_t id : {uint8_t(0xBE), uint8_t(0xBF), uint8_t(0xBC)}) {
        uint8_t p[14] = {0, 0, 1, id, 0, 8, 0x98, 0x80, 5, 0x21, 0, 1, 0, 1};
        pes_hdr x = pes_parse_header(p, sizeof p);
        EXPECT_EQ(x.stream_id, id);
        EXPECT_EQ(x.is_extension_present, 0u);
        EXPECT_EQ(x.pts_dts_flags, 0u);
    }
    uint8_t priv[14] = {0, 0, 1, 0xBD, 0, 8, 0x80, 0x80, 5};
    put_pts(priv + 9, 900000, 2);
    EXPECT_EQ(pes_parse_header(priv, sizeof priv).pts, 900000u);
    EXPECT_EQ(pes_parse_header(priv, 3).start_code, 0u);
}

// Every PID of the test belongs to the program whose PCR is on PID 0x100.
int pcr_of(void *, int pid) { return pid == 0x1FFF ? -1 : 0x100; }
const pcr_pid_lookup kInputs{pcr_of, nullptr};

struct Monitor : ::testing::Test {
    pcr_pts_services *svcs = pcr_pts_services_ctor();
    pcr_pts_history *hist = pcr_pts_history_ctor();
    ~Monitor() override
    {
        pcr_pts_history_dtor(hist);
        pcr_pts_services_dtor(svcs);
    }
    // One sample a "second": the timer is set back instead of waiting.
    int sample(uint64_t pcr, uint64_t pts, char *text, size_t size)
    {
        pcr_pts_services_update_pcr(svcs, 0x100, pcr);
        pcr_pts_services_update(svcs, &kInputs, 0x101, pts);
        hist->timer->prev.tv_sec -= 2;
        return pcr_pts_history_handle_update(hist, svcs, &kInputs, 0x101, text, size);
    }
};

TEST_F(Monitor, DifferenceNeedsBothMarksAndWrapsOnThe33BitClock)
{
    int64_t d = 0;
    EXPECT_EQ(pcr_pts_services_update(svcs, &kInputs, 0x1FFF, 1), -1);
    EXPECT_EQ(pcr_pts_services_update(svcs, &kInputs, 0x101, 100), 0);
    EXPECT_EQ(pcr_pts_services_get_diff(svcs, &kInputs, 0x101, &d), -1); // no PCR yet
    pcr_pts_services_update_pcr(svcs, 0x100, (1ull << 33) - 50);
    ASSERT_EQ(pcr_pts_services_get_diff(svcs, &kInputs, 0x101, &d), 0);
    EXPECT_EQ(d, 150);
    EXPECT_EQ(pcr_pts_services_get_diff(svcs, &kInputs, 0x101, &d), -1); // marks consumed
    ASSERT_NE(pcr_pts_services_get(svcs, &kInputs, 0x102), nullptr);
    EXPECT_EQ(svcs->list_len, 1);
    EXPECT_EQ(pcr_pts_services_get(svcs, &kInputs, 0x1FFF), nullptr);
}

TEST_F(Monitor, OneSampleASecondAndAnOutOfRangeWarning)
{
    LogCapture log;
    char text[128] = "";
    ASSERT_EQ(sample(1000, 1000 + 200000, text, sizeof text), 0);
    EXPECT_EQ(log.count("Detected pts-pcr drifting out of range! pid: 0x101, pts-pcr: 200000"), 1);
    EXPECT_STREQ(text, "diff: 200000, m: 0.00, b: 0, r: 0.00, n: 1");

    // Within the second: refused, history untouched.
    pcr_pts_services_update_pcr(svcs, 0x100, 1);
    pcr_pts_services_update(svcs, &kInputs, 0x101, 2);
    EXPECT_EQ(pcr_pts_history_handle_update(hist, svcs, &kInputs, 0x101, text, sizeof text), -1);
    EXPECT_EQ(hist->coords_len, 1);
    EXPECT_EQ(hist->coords_samples, 1);
}

TEST_F(Monitor, SteadyGrowthGivesTheSlopeAndTheDriftWarning)
{
    LogCapture log;
    char text[128] = "";
    for (int i = 0; i < PCR_PTS_HISTORY_LEN; ++i)
        ASSERT_EQ(sample(90000ull * i, 90000ull * i + 500 + 10 * i, text, sizeof text), 0);
    EXPECT_EQ(hist->coords_len, PCR_PTS_HISTORY_LEN);
    EXPECT_EQ(std::string(text), "diff: 6490, m: 10.00, b: 500, r: 1.00, n: 600");
    EXPECT_EQ(log.count("Detected pts-pcr drift! pid: 0x101, pts-pcr: 6490, m: 10.00"), 1);

    // Past 600 the oldest sample is renumbered x 0: the line stays exact.
    ASSERT_EQ(sample(0, 6500, text, sizeof text), 0);
    EXPECT_EQ(std::string(text), "diff: 6500, m: 10.00, b: 510, r: 1.00, n: 601");

    // A constant difference: slope 0 and, with no spread, correlation 0.
    pcr_pts_history_reset(hist);
    log.clear();
    for (int i = 0; i < PCR_PTS_HISTORY_LEN; ++i)
        ASSERT_EQ(sample(0, 700, text, sizeof text), 0);
    EXPECT_EQ(std::string(text), "diff: 700, m: 0.00, b: 700, r: 0.00, n: 600");
    EXPECT_EQ(log.count("Detected pts-pcr drift!"), 0);
}

} // namespace

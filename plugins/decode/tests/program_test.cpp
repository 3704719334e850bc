// Program change and video-format application on the decode card: the
// records are posted to the plug-in's queue as its threads post them.
#include "dec_harness.h"

#include <cmath>
#include <limits>

namespace {

using dectest::DecodeCard;

video_info_data video(unsigned ch, int w, int h, bool progressive, double rate,
                      vid_bd_chrm bd = VID_BD_CHR_8BIT420)
{
    video_info_data v{};
    v.ch_idx = ch, v.hsize = w, v.vsize = h;
    v.display = progressive ? VID_DSP_PROGRESSIVE : VID_DSP_INTERLACE;
    v.bd_chrm = bd, v.frame_rate = rate;
    v.color_primaries = 1, v.color_trc = 1, v.color_space = 1;
    return v;
}

TEST(VideoFormat, ChipStandardFromSizeScanAndRate)
{
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    struct Case {
        int w, h;
        bool p;
        double rate;
        decode_uhd_mode uhd;
        m30_vidstd want;
    } cases[] = {
        {1920, 1080, true, 59.94, DECODE_UHD_SQD, M30_VIDSTD_1080P5994},
        {1920, 1080, true, 59.99, DECODE_UHD_SQD, M30_VIDSTD_1080P5994},
        {1920, 1080, true, 60.09, DECODE_UHD_SQD, M30_VIDSTD_1080P60},
        {1920, 1080, true, 49.99, DECODE_UHD_SQD, M30_VIDSTD_INVALID},
        {1920, 1080, true, 23.976, DECODE_UHD_SQD, M30_VIDSTD_1080P2398},
        {1920, 1080, false, 29.97, DECODE_UHD_SQD, M30_VIDSTD_INVALID},
        {1920, 1080, false, 59.94, DECODE_UHD_SQD, M30_VIDSTD_1080I5994},
        {1920, 1080, false, 50.0, DECODE_UHD_SQD, M30_VIDSTD_1080I50},
        {1280, 720, true, 50.0, DECODE_UHD_SQD, M30_VIDSTD_720P50},
        {720, 576, false, 50.0, DECODE_UHD_SQD, M30_VIDSTD_576I50},
        {720, 576, true, 25.0, DECODE_UHD_SQD, M30_VIDSTD_576P25},
        {720, 480, false, 59.94, DECODE_UHD_SQD, M30_VIDSTD_480I5994},
        {720, 480, true, 50.0, DECODE_UHD_SQD, M30_VIDSTD_INVALID},
        {3840, 2160, true, 50.0, DECODE_UHD_SQD, M30_VIDSTD_2160P50_SQD},
        {3840, 2160, true, 59.94, DECODE_UHD_2SI, M30_VIDSTD_2160P5994_2SI},
        {3840, 2160, false, 50.0, DECODE_UHD_SQD, M30_VIDSTD_INVALID},
        {1920, 1088, true, 50.0, DECODE_UHD_SQD, M30_VIDSTD_INVALID},
        {1920, 1080, true, nan, DECODE_UHD_SQD, M30_VIDSTD_INVALID},
        {1920, 1080, true, inf, DECODE_UHD_SQD, M30_VIDSTD_INVALID},
        {1920, 1080, true, -50.0, DECODE_UHD_SQD, M30_VIDSTD_INVALID},
        {1920, 1080, true, 1e300, DECODE_UHD_SQD, M30_VIDSTD_INVALID},
    };
    for (const Case &c : cases)
        EXPECT_EQ(decode_vidstd_for(c.w, c.h, c.p, c.rate, c.uhd), c.want)
            << c.w << "x" << c.h << (c.p ? "p" : "i") << c.rate << " uhd " << c.uhd;
}

TEST(VideoFormat, TestPatternStandardAndPixelClockOfEachChipStandard)
{
    struct Case {
        m30_vidstd chip;
        kt33_tpvidstd tp;
        uint32_t clock;
        m30_vidstd hd;
    } cases[] = {
        {M30_VIDSTD_720P30, KT33_TPVIDSTD_720p60, LMK_FREQ_148_50, M30_VIDSTD_720P60},
        {M30_VIDSTD_720P2398, KT33_TPVIDSTD_720p5994, LMK_FREQ_148_35, M30_VIDSTD_720P5994},
        {M30_VIDSTD_720P24, KT33_TPVIDSTD_720p50, LMK_FREQ_148_50, M30_VIDSTD_720P50},
        {M30_VIDSTD_1080I60, KT33_TPVIDSTD_1080i30, LMK_FREQ_148_50, M30_VIDSTD_1080I60},
        {M30_VIDSTD_1080I5994, KT33_TPVIDSTD_1080i2997, LMK_FREQ_148_35, M30_VIDSTD_1080I5994},
        {M30_VIDSTD_1080P2398SF, KT33_TPVIDSTD_1080p2398, LMK_FREQ_148_35, M30_VIDSTD_1080P2398},
        {M30_VIDSTD_1080P25, KT33_TPVIDSTD_1080p25, LMK_FREQ_148_50, M30_VIDSTD_1080P25},
        {M30_VIDSTD_480P2997, KT33_TPVIDSTD_NTSC, LMK_FREQ_148_35, M30_VIDSTD_480I5994},
        {M30_VIDSTD_576P25, KT33_TPVIDSTD_PAL, LMK_FREQ_148_50, M30_VIDSTD_576I50},
        {M30_VIDSTD_2160P2997_SQD, KT33_TPVIDSTD_1080p2997, LMK_FREQ_148_35, M30_VIDSTD_1080P2997},
        {M30_VIDSTD_2160P24_2SI, KT33_TPVIDSTD_1080p24, LMK_FREQ_148_50, M30_VIDSTD_1080P24},
        {M30_VIDSTD_2160P5994_2SI, KT33_TPVIDSTD_1080p5994, LMK_FREQ_148_35, M30_VIDSTD_1080P5994},
    };
    for (const Case &c : cases) {
        kt33_tpvidstd tp = KT33_TPVIDSTD_END;
        ASSERT_TRUE(decode_tpvidstd_for(c.chip, tp)) << m30_vidstd_strings[c.chip];
        EXPECT_EQ(tp, c.tp) << m30_vidstd_strings[c.chip];
        EXPECT_EQ(decode_tp_pixel_clock(tp), c.clock) << m30_vidstd_strings[c.chip];
        EXPECT_EQ(decode_tp_hd_vidstd(tp), c.hd) << m30_vidstd_strings[c.chip];
    }
    kt33_tpvidstd tp;
    EXPECT_FALSE(decode_tpvidstd_for(M30_VIDSTD_INVALID, tp));
    EXPECT_FALSE(decode_tpvidstd_for(M30_VIDSTD_END, tp));
    // The fault standards use the same table for their pixel clock.
    EXPECT_EQ(decode_vidstd_pixel_clock(decode_fault_std(1).chip), LMK_FREQ_148_50); // 576I50
    EXPECT_EQ(decode_vidstd_pixel_clock(decode_fault_std(2).chip), LMK_FREQ_148_35); // 720P5994
    EXPECT_EQ(decode_vidstd_pixel_clock(decode_fault_std(7).chip), LMK_FREQ_148_50); // 1080P50
}

class ProgramCard : public DecodeCard {
protected:
    void SetUp() override
    {
        DecodeCard::SetUp();
        g_decode_clock_settle = std::chrono::milliseconds(0);
        load();
        ASSERT_NE(m30_ctx(), nullptr);
        drain_queue();
    }
    void TearDown() override
    {
        g_decode_clock_settle = std::chrono::milliseconds(600);
        DecodeCard::TearDown();
    }
    size_t input_requests() const { return chip_.input_requests().size(); }
    m30_context *m() { return m30_ctx(); }
};

TEST_F(ProgramCard, ProgramChangesAppliedIgnoredAndCodecFaults)
{
    const m30_video_mode hevc = M30_VIDEO_MODE_HEVC, h264 = M30_VIDEO_MODE_H264;
    ASSERT_EQ(m30_get_video_mode(m()), hevc);
    struct Step {
        unsigned ch;
        uint32_t pcr, video;
        m30_video_mode mode;
        const char *line;
        int codec_fault; // of the channel afterwards
        uint32_t pid;    // the channel's video PID afterwards
    } steps[] = {
        {0, 100, 101, hevc, "Chn 0 pgm change (active) - PCR 100, video 101 (hevc) Audio (ffmpeg)", 0, 101},
        {0, 100, 101, hevc, "Chn 0 pgm change (ignored) - PCR 100, video 101 (hevc) Audio (ffmpeg)", 0, 101},
        {0, 102, 101, hevc, "Chn 0 pgm change (active) - PCR 102, video 101 (hevc) Audio (ffmpeg)", 0, 101},
        {1, 200, 201, h264, "Chn 1 pgm change - video codec fault - streaming (h.264) but (hevc) is set.", 1, 0},
        {1, 200, 201, hevc, "Chn 1 pgm change (active) - PCR 200, video 201 (hevc) Audio (ffmpeg)", 0, 201},
        {1, 200, 201, hevc, "Chn 1 pgm change (ignored) - PCR 200, video 201 (hevc) Audio (ffmpeg)", 0, 201},
    };
    for (const Step &s : steps) {
        log_.clear();
        post_program(s.ch, s.pcr, s.video, s.mode);
        EXPECT_EQ(log_.count(s.line), 1) << s.line;
        EXPECT_EQ(dec().state[s.ch].video_codec_in_fault.load(), s.codec_fault) << s.line;
        EXPECT_EQ(m30_channel_get_video_pid(m(), int(s.ch)), s.pid) << s.line;
        if (s.codec_fault) {
            EXPECT_EQ(m30_channel_get_vid_std(m(), int(s.ch)), M30_VIDSTD_INVALID);
        }
    }

    // "ignored" leaves a running channel running.
    video_info_data v = video(0, 1920, 1080, true, 50.0);
    post_video(v);
    ASSERT_TRUE(run_until([&] { return m30_channel_get_vid_std(m(), 0) == M30_VIDSTD_1080P50 && input_requests() > 0; }));
    ASSERT_TRUE(run_until([&] { return chip_.input_requests().back().state == M30_INPUT_STATE_START; })) << "channel 0 started";
    const size_t before = input_requests();
    post_program(0, 102, 101, hevc);
    EXPECT_EQ(input_requests(), before) << "no stop";
    EXPECT_EQ(m30_channel_get_vid_std(m(), 0), M30_VIDSTD_1080P50);

    // Channel 0 in a new mode switches the chip; channel 1 is reported again.
    log_.clear();
    post_program(0, 102, 101, h264);
    EXPECT_EQ(m30_get_video_mode(m()), h264);
    EXPECT_EQ(log_.count("Chn 0 pgm change (active) - PCR 102, video 101 (h.264) Audio (ffmpeg)"), 1);
    EXPECT_EQ(m30_channel_get_video_pid(m(), 1), 0u);
    EXPECT_EQ(m30_channel_get_vid_std(m(), 1), M30_VIDSTD_INVALID);
    EXPECT_EQ(m30_channel_get_vid_std(m(), 0), M30_VIDSTD_INVALID) << "stopped until its format arrives";
    drain_queue();
    EXPECT_EQ(log_.count("Chn 1 triggering program on decode ingress"), 1);
    post_program(1, 200, 201, h264);
    EXPECT_EQ(log_.count("Chn 1 pgm change (active) - PCR 200, video 201 (h.264) Audio (ffmpeg)"), 1);

    // Channels beyond those in use and unknown codecs are ignored.
    log_.clear();
    post_program(2, 1, 2, hevc);
    post_program(0, 1, 2, 9);
    EXPECT_EQ(log_.count("pgm change ("), 0);
    EXPECT_EQ(m30_channel_get_video_pid(m(), 0), 101u);
}

TEST_F(ProgramCard, AppliedStandardsSetBoardClockAndPayload)
{
    // Test-pattern word: format | rate | 0x0600 internal clock | 0x0008 forced.
    struct Case {
        video_info_data v;
        m30_vidstd chip;
        uint16_t tp_word, text_size;
        uint32_t clock;
        uint32_t st352;
        unsigned depth;
        m30_chroma_fmt chroma;
    } cases[] = {
        {video(0, 1920, 1080, true, 50.0), M30_VIDSTD_1080P50, 0x660D, 2, LMK_FREQ_148_50, 0x89C98001, 8,
         M30_CHROMAFMT_420},
        {video(0, 1920, 1080, false, 59.94, VID_BD_CHR_10BIT422), M30_VIDSTD_1080I5994, 0x360A, 2,
         LMK_FREQ_148_35, 0x850A8001, 10, M30_CHROMAFMT_422},
        {video(1, 1280, 720, true, 50.0, VID_BD_CHR_8BIT422), M30_VIDSTD_720P50, 0x260E, 2, LMK_FREQ_148_50,
         0x84C98001, 8, M30_CHROMAFMT_422},
        {video(1, 720, 576, false, 50.0, VID_BD_CHR_10BIT420), M30_VIDSTD_576I50, 0x1609, 1, LMK_FREQ_148_50,
         0x81098001, 10, M30_CHROMAFMT_420},
    };
    const bool inv = dec().is_inverted;
    for (const Case &c : cases) {
        const unsigned ch = c.v.ch_idx, hw = inv ? ch ^ 1 : ch;
        log_.clear();
        post_video(c.v);
        const char *name = m30_vidstd_strings[c.chip];
        EXPECT_EQ(m30_channel_get_vid_std(m(), int(ch)), c.chip) << name;
        EXPECT_EQ(m30_channel_get_bit_depth(m(), int(ch)), c.depth) << name;
        EXPECT_EQ(m30_channel_get_chroma_fmt(m(), int(ch)), c.chroma) << name;
        EXPECT_EQ(sdi_control(), 0x5A00 | (inv ? 0x40 : 0)) << name;
        EXPECT_EQ(tp_std(ch), c.tp_word) << name;
        EXPECT_EQ(tp_text_size(ch), c.text_size) << name;
        EXPECT_EQ(decode_clkmgr_record().freq_from_vidstd[ch].load(), c.clock) << name;
        EXPECT_EQ(st352_data(hw), c.st352) << name;
        EXPECT_EQ(dec().state[ch].video_display_in_fault.load(), 0) << name;
        EXPECT_EQ(log_.count("info - " + std::string(name) + " "), 1) << name; // applying / exiting the fault

        // The same format again touches no SDI control, pattern or clock;
        // the payload is programmed again.
        poison16(0x3000, 0x1234);
        poison16(0x1000 + ch * 0x200 + 0x04, 0x1234);
        poison32(hw * 0x100 + 0x404, 0xDEADBEEF);
        decode_clkmgr_set_vidstd_freq(ch, 7);
        log_.clear();
        post_video(c.v);
        EXPECT_EQ(log_.count("applying video display info - " + std::string(name)), 1) << name;
        EXPECT_EQ(sdi_control(), 0x1234) << name;
        EXPECT_EQ(tp_std(ch), 0x1234) << name;
        EXPECT_EQ(decode_clkmgr_record().freq_from_vidstd[ch].load(), 7u) << name;
        EXPECT_EQ(st352_data(hw), c.st352) << name;
        decode_clkmgr_set_vidstd_freq(ch, c.clock);
    }
}

TEST_F(ProgramCard, DisplayFaults)
{
    const double nan = std::numeric_limits<double>::quiet_NaN();
    struct Case {
        const char *mode;    // channel mode
        m30_video_mode codec;
        video_info_data v;
        const char *line;
    } cases[] = {
        {"MULTI", M30_VIDEO_MODE_HEVC, video(0, 1920, 1080, false, 29.97), "non-applicable video info."},
        {"MULTI", M30_VIDEO_MODE_HEVC, video(0, 1920, 1080, true, nan), "non-applicable video info."},
        {"MULTI", M30_VIDEO_MODE_HEVC, video(0, 1920, 1080, true, 50.0, VID_BD_CHR_OTHER), "non-applicable video info."},
        {"MULTI", M30_VIDEO_MODE_HEVC, video(0, 3840, 2160, true, 50.0), "UHD not supported in multi-channel mode."},
        {"SINGLE", M30_VIDEO_MODE_MPEG2, video(0, 3840, 2160, true, 50.0), "UHD not supported for MPEG2."},
        {"SINGLE", M30_VIDEO_MODE_MPEG2, video(0, 1920, 1080, true, 50.0), "FHD not supported for MPEG2."},
    };
    for (const Case &c : cases) {
        ASSERT_EQ(set("decode/channel_mode", c.mode), PARAM_SET_SUCCESS);
        post_program(0, 100, 101, c.codec);
        post_video(video(0, 1280, 720, true, 50.0)); // out of the fault
        ASSERT_EQ(dec().state[0].video_display_in_fault.load(), 0) << c.line;
        const m30_vidstd before = m30_channel_get_vid_std(m(), 0);
        log_.clear();
        post_video(c.v);
        EXPECT_EQ(log_.count(std::string("Chn 0 video display fault - ") + c.line), 1) << c.line;
        EXPECT_EQ(dec().state[0].video_display_in_fault.load(), 1) << c.line;
        EXPECT_EQ(m30_channel_get_vid_std(m(), 0), before) << c.line;
    }
    // MPEG-2 at 1080p below 50 Hz is fine.
    post_video(video(0, 1920, 1080, true, 29.97));
    EXPECT_EQ(dec().state[0].video_display_in_fault.load(), 0);
    EXPECT_EQ(m30_channel_get_vid_std(m(), 0), M30_VIDSTD_1080P2997);
}

TEST_F(ProgramCard, UhdSpansBothOutputs)
{
    ASSERT_EQ(set("decode/channel_mode", "SINGLE"), PARAM_SET_SUCCESS);
    ASSERT_EQ(set("decode/uhd_mode", "2SI"), PARAM_SET_SUCCESS);
    video_info_data v = video(0, 3840, 2160, true, 59.94, VID_BD_CHR_10BIT420);
    v.color_primaries = 9, v.color_trc = 18;
    post_video(v);
    EXPECT_EQ(m30_channel_get_vid_std(m(), 0), M30_VIDSTD_2160P5994_2SI);
    EXPECT_EQ(m30_channel_get_vid_std(m(), 1), M30_VIDSTD_1080P5994);
    EXPECT_EQ(sdi_control() & 0x80, 0x80);
    EXPECT_TRUE(decode_clkmgr_record().uhd.load());
    for (unsigned ch : {0u, 1u}) {
        EXPECT_EQ(tp_std(ch), 0x760C) << ch; // 1080p5994
        EXPECT_EQ(decode_clkmgr_record().freq_from_vidstd[ch].load(), LMK_FREQ_148_35) << ch;
        EXPECT_EQ(st352_data(ch), 0x89DAA001u) << ch; // HLG, BT.2020 on both outputs
        EXPECT_EQ(st352_ctl(ch), 0x0003) << ch;
    }
}

TEST_F(ProgramCard, CodecFaultIgnoresVideoInfo)
{
    post_program(1, 200, 201, M30_VIDEO_MODE_H264);
    ASSERT_EQ(dec().state[1].video_codec_in_fault.load(), 1);
    log_.clear();
    post_video(video(1, 1920, 1080, true, 50.0));
    EXPECT_EQ(log_.count("Chn 1 ignoring video display info while its video codec is in fault"), 1);
    EXPECT_EQ(m30_channel_get_vid_std(m(), 1), M30_VIDSTD_INVALID);
}

// At start each output is clocked for its fault pattern (576I50: 148.50).
TEST_F(DecodeCard, FaultStandardsClockTheOutputsFromTheStart)
{
    load();
    ASSERT_EQ(set("decode/decoders/dec_1/fault_vidstd", "576I50"), PARAM_SET_SUCCESS);
    unload();
    load();
    EXPECT_EQ(decode_clkmgr_record().freq_from_vidstd[0].load(), LMK_FREQ_148_35); // 720P5994 by default
    EXPECT_EQ(decode_clkmgr_record().freq_from_vidstd[1].load(), LMK_FREQ_148_50);
    EXPECT_TRUE(run_until([] { return decode_clkmgr_record().freq_cur[1] == LMK_FREQ_148_50; }, 60));
    EXPECT_EQ(board_->lmk_reg(0x28), 0x10) << "output 1 at 148.50 MHz";
}

} // namespace

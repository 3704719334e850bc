// The context: defaults, creation failures, callbacks and logging, lookups
// and names, the debug stream; configuration setters and the rate rules.
#include "ctx_fixture.h"

#include <dirent.h>
#include <fstream>

using namespace m30test;
namespace fs = std::filesystem;

namespace {

int open_fds()
{
    int n = 0;
    for (auto &e : fs::directory_iterator("/proc/self/fd"))
        (void)e, ++n;
    return n;
}

struct Changes {
    std::vector<std::pair<int, m30_change>> seen;
    static void cb(void *ctx, int ch, m30_change c) { static_cast<Changes *>(ctx)->seen.push_back({ch, c}); }
};

} // namespace

TEST_F(Ctx, DefaultsOfBothModes)
{
    m30_context *d = create(false);
    ASSERT_NE(d, nullptr);
    // A decode chip runs its channels on chip ids 0 and 2; 2 and 3 do not exist.
    int ids[4] = {0, 2, -1, -1};
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(d->chcfg[i].m30_id, ids[i]);
        EXPECT_EQ(m30_channel_get_startup(d, i), i < 2 ? M30_ON : M30_OFF);
        EXPECT_EQ(m30_channel_get_video_pid(d, i), 0u);
        EXPECT_EQ(m30_channel_get_pcr_pid(d, i), 0x1E2u + 0x100u * i);
        EXPECT_EQ(m30_channel_get_bit_depth(d, i), 10u);
        EXPECT_EQ(m30_audio_get_rate(d, i), 192000u);
        EXPECT_EQ(m30_audio_get_pid(d, i), 0x1E3u + 0x100u * i);
        EXPECT_EQ(m30_channel_get_video_rate(d, i), 0u); // encode field
    }
    EXPECT_TRUE(m30_is_multi(d));
    EXPECT_FALSE(m30_is_error(d));
    EXPECT_EQ(m30_get_channel_count(d), 2);
    EXPECT_NE(d->dec, nullptr);
    EXPECT_EQ(d->enc, nullptr);
    EXPECT_EQ(d->dec->fd_pci_input_ts[0], -1);
    EXPECT_TRUE(pthread_equal(d->tid_message.load(), d->tid_main));
    // Channels 2 and 3 of a decode context refuse or do nothing.
    EXPECT_EQ(m30_channel_set_input_source(d, 2, true), -1);
    EXPECT_EQ(m30_channel_stop(d, 3), 0);
    EXPECT_EQ(m30_enable_messages(d, 2), -1);
    destroy(d);

    m30_context *e = create(true);
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(m30_channel_get_system_rate(e, 0), 45100u);
    EXPECT_EQ(m30_channel_get_video_rate(e, 1), 17440u);
    EXPECT_EQ(m30_channel_get_video_pid(e, 3), 0x1E1u + 0x300u);
    EXPECT_EQ(m30_channel_get_startup(e, 3), M30_ON);
    EXPECT_EQ(e->chcfg[3].m30_id, 3);
    EXPECT_EQ(m30_get_channel_count(e), 4);
    // The stored audio rate is half the rate: odd rates lose their last bit.
    EXPECT_EQ(m30_audio_set_rate(e, 0, 192001), 0);
    EXPECT_EQ(m30_audio_get_rate(e, 0), 192000u);
}

TEST_F(Ctx, FailedCreationLeavesNoDescriptor)
{
    int before = open_fds();
    struct Case {
        const char *what;
        std::function<void(bool)> inject;
    };
    std::vector<Case> cases = {
        {"first open", [&](bool) { chip_.fail_open(ENOENT, 1, 0); }},
        {"control open", [&](bool) { chip_.fail_open(ENOENT, 1, 1); }},
        {"last encode input open", [&](bool) { chip_.fail_open(ENOENT, 1, 5); }},
        {"system bind", [&](bool) { chip_.fail_bind(FMB_DEVICE_SYSTEM, EIO); }},
        {"input 2 bind", [&](bool) { chip_.fail_bind(FMB_DEVICE_VEI_BASE + 2, EIO); }},
        {"reset", [&](bool) { chip_.fail_ioctl(FMB_API_RESET, EIO, 1); }},
        {"version", [&](bool) { chip_.fail_ioctl(FMB_API_GET_VERSION, EIO, 1); }},
        {"first eventfd", [&](bool) { chip_.fail_eventfd(0); }},
        {"last eventfd", [&](bool enc) { chip_.fail_eventfd(enc ? 3 : 7); }},
    };
    for (const Case &c : cases) {
        for (bool enc : {false, true}) {
            SCOPED_TRACE(std::string(c.what) + (enc ? " encode" : " decode"));
            chip_.clear_faults();
            c.inject(enc);
            EXPECT_EQ(m30_context_create(0, enc), nullptr);
            EXPECT_EQ(chip_.open_handles(), 0u);
            EXPECT_EQ(open_fds(), before);
        }
    }
    chip_.clear_faults();
    m30_context *m = create();
    ASSERT_NE(m, nullptr);
    destroy(m);
    EXPECT_EQ(chip_.open_handles(), 0u);
    EXPECT_EQ(open_fds(), before);
}

TEST_F(Ctx, LogHookAndDefaultHandler)
{
    m30_context *m = create();
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(m30_change_main_state(m, M30_MAIN_STATE_ENCODE), -1);
    ASSERT_EQ(logs_.lines().size(), 1u);
    EXPECT_EQ(logs_.lines()[0].text, "Unwilling to change main state to: encode");
    EXPECT_EQ(logs_.lines()[0].type, M30_LOG_ERROR);
    EXPECT_EQ(logs_.lines()[0].ch, -1);

    // A null log function restores the default: chip-wide lines to stderr
    // for errors, channel lines with the channel, other levels to stdout.
    m30_context_set_on_log(m, nullptr, nullptr);
    testing::internal::CaptureStderr();
    m30_change_main_state(m, M30_MAIN_STATE_ENCODE);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "libcodecctl Unwilling to change main state to: encode\n");
    testing::internal::CaptureStdout();
    m30_default_log(nullptr, 1, M30_LOG_INFO, "x=%d", 5);
    m30_default_log(nullptr, 1, M30_LOG_END, "never");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "libcodecctl [1] x=5\n");
}

TEST(Lookups, VideoStandardsAndNames)
{
    struct Row {
        m30_vidstd v;
        uint32_t w, h;
        bool i;
        m30_frame_rate_code r;
        bool uhd;
        m30_vidstd non_uhd;
    };
    const Row rows[] = {
        {M30_VIDSTD_INVALID, 1920, 1080, false, M30_FRAME_RATE_CODE_UNSPEC, false, M30_VIDSTD_1080P60},
        {M30_VIDSTD_720P2398, 1280, 720, false, M30_FRAME_RATE_CODE_23_98, false, M30_VIDSTD_1080P60},
        {M30_VIDSTD_1080I60, 1920, 1080, true, M30_FRAME_RATE_CODE_30, false, M30_VIDSTD_1080P60},
        {M30_VIDSTD_1080I50, 1920, 1080, true, M30_FRAME_RATE_CODE_25, false, M30_VIDSTD_1080P60},
        {M30_VIDSTD_1080P2398SF, 1920, 1080, false, M30_FRAME_RATE_CODE_23_98, false, M30_VIDSTD_1080P60},
        {M30_VIDSTD_480I5994, 720, 480, true, M30_FRAME_RATE_CODE_29_97, false, M30_VIDSTD_1080P60},
        {M30_VIDSTD_576I50, 720, 576, true, M30_FRAME_RATE_CODE_25, false, M30_VIDSTD_1080P60},
        {M30_VIDSTD_576P25, 720, 576, false, M30_FRAME_RATE_CODE_25, false, M30_VIDSTD_1080P60},
        {M30_VIDSTD_2160P60_SQD, 3840, 2160, false, M30_FRAME_RATE_CODE_60, true, M30_VIDSTD_1080P60},
        {M30_VIDSTD_2160P5994_SQD, 3840, 2160, false, M30_FRAME_RATE_CODE_59_94, true, M30_VIDSTD_1080P5994},
        {M30_VIDSTD_2160P5994_2SI, 3840, 2160, false, M30_FRAME_RATE_CODE_59_94, true, M30_VIDSTD_1080P5994},
        {M30_VIDSTD_2160P2398_2SI, 3840, 2160, false, M30_FRAME_RATE_CODE_23_98, true, M30_VIDSTD_1080P2398},
        {static_cast<m30_vidstd>(47), 1920, 1080, false, M30_FRAME_RATE_CODE_UNSPEC, false, M30_VIDSTD_1080P60},
        {static_cast<m30_vidstd>(60), 1920, 1080, false, M30_FRAME_RATE_CODE_UNSPEC, false, M30_VIDSTD_1080P60},
    };
    for (const Row &r : rows) {
        SCOPED_TRACE(static_cast<int>(r.v));
        EXPECT_EQ(hsize_for_vidstd(r.v), r.w);
        EXPECT_EQ(vsize_for_vidstd(r.v), r.h);
        EXPECT_EQ(interlace_for_vidstd(r.v), r.i);
        EXPECT_EQ(frame_rate_for_vidstd(r.v), r.r);
        EXPECT_EQ(uhd_for_vidstd(r.v), r.uhd);
        EXPECT_EQ(uhd_vidstd_to_non_uhd(r.v), r.non_uhd);
    }
    auto len = [](const char *const *t) {
        size_t n = 0;
        while (t[n])
            ++n;
        return n;
    };
    EXPECT_EQ(len(m30_vidstd_strings), 47u);
    EXPECT_STREQ(m30_vidstd_strings[M30_VIDSTD_2160P2398_2SI], "2160P2398_2SI");
    EXPECT_STREQ(m30_vidstd_strings[M30_VIDSTD_1080P2398SF], "1080P2398SF");
    EXPECT_EQ(len(m30_main_state_strings), 7u);
    EXPECT_STREQ(m30_main_state_strings[M30_MAIN_STATE_ERROR], "error");
    EXPECT_EQ(len(m30_frame_rate_strings), 9u);
    EXPECT_STREQ(m30_frame_rate_strings[frame_rate_for_vidstd(M30_VIDSTD_1080I60)], "30Hz");
    EXPECT_EQ(len(m30_video_mode_strings), 4u);
    EXPECT_EQ(len(m30_audio_mode_strings), 4u);
    EXPECT_EQ(len(m30_chromafmt_strings), 3u);
    EXPECT_EQ(len(m30_sei_ud_type_strings), 5u);
    EXPECT_STREQ(m30_dec_buf_level_strings[M30_ABOVE_LEVEL_HH], "Above HH");
    EXPECT_STREQ(m30_adec_err_strings[M30_AD_WARN], "Audio Decode Warning");
}

TEST(DebugStream, FollowsThePathWithinAHundredCalls)
{
    kdtest::TempRoot root;
    auto drain = [] {
        FILE *f = nullptr;
        for (int n = 0; n < 101; ++n)
            f = m30DebugStreamFile(DSID_M30_DEBUG);
        return f;
    };
    EXPECT_EQ(m30DebugStreamFile(1), nullptr);
    EXPECT_EQ(drain(), nullptr);
    fs::create_directories(root.path() + "/run/debug");
    std::ofstream(root.path() + "/run/debug/m30").put('x');
    FILE *f = drain();
    ASSERT_NE(f, nullptr);
    m30_debug_printf("line %d\n", 7);
    fs::remove(root.path() + "/run/debug/m30");
    EXPECT_EQ(drain(), nullptr);
}

// --- configuration ---

TEST_F(Ctx, ChipWideSettersMarkPreparationOrRestart)
{
    m30_context *e = create(true);
    ASSERT_NE(e, nullptr);
    m30_channel_set_hdr_mode(e, 2, 1);
    EXPECT_EQ(m30_set_video_mode(e, M30_VIDEO_MODE_MPEG2), 0);
    EXPECT_TRUE(e->prepare_needed);
    EXPECT_EQ(m30_channel_get_hdr_mode(e, 2), 0);
    for (int i = 0; i < 4; ++i)
        EXPECT_EQ(e->enc->chcfg[i].pmt_dirty, 1u);
    // HDR needs 10-bit HEVC or H.264.
    EXPECT_EQ(m30_channel_set_hdr_mode(e, 0, 1), -1);

    m30_context *d = create(false);
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(m30_set_video_mode(d, M30_VIDEO_MODE_HEVC), 0);
    EXPECT_FALSE(d->restart_channel[0]);
    EXPECT_EQ(m30_set_video_mode(d, M30_VIDEO_MODE_H264), 0);
    EXPECT_TRUE(d->restart_channel[0]);
    EXPECT_FALSE(d->prepare_needed);
    EXPECT_EQ(m30_set_channel_mode(d, M30_SINGLE_CHANNEL), 0);
    EXPECT_TRUE(d->prepare_needed);
    EXPECT_EQ(m30_get_channel_count(d), 1);

    // Any locked channel blocks every chip-wide change.
    d->chcfg[3].is_locked = true;
    errno = 0;
    EXPECT_EQ(m30_set_ultra_low_latency(d, true), -1);
    EXPECT_EQ(errno, EBUSY);
    EXPECT_EQ(m30_set_video_mode(d, M30_VIDEO_MODE_MPEG2), -1);
    EXPECT_EQ(m30_get_video_mode(d), M30_VIDEO_MODE_H264);
}

TEST_F(Ctx, ChannelSetterRangesAndModes)
{
    m30_context *e = create(true);
    ASSERT_NE(e, nullptr);
    using Setter = std::function<int(m30_context *)>;
    struct Case {
        const char *what;
        Setter set;
        int rc;
        int err;
    };
    const Case cases[] = {
        {"system 1137", [](m30_context *m) { return m30_channel_set_system_rate(m, 0, 1137); }, -1, EINVAL},
        {"system 1138", [](m30_context *m) { return m30_channel_set_system_rate(m, 0, 1138); }, 0, 0},
        {"system ch1 26000", [](m30_context *m) { return m30_channel_set_system_rate(m, 1, 26000); }, 0, 0},
        {"system ch1 26001", [](m30_context *m) { return m30_channel_set_system_rate(m, 1, 26001); }, -1, EINVAL},
        {"video 94916", [](m30_context *m) { return m30_channel_set_video_rate(m, 0, 94916); }, 0, 0},
        {"video 94917", [](m30_context *m) { return m30_channel_set_video_rate(m, 0, 94917); }, -1, EINVAL},
        {"video ch2 24617", [](m30_context *m) { return m30_channel_set_video_rate(m, 2, 24617); }, -1, EINVAL},
        {"cpb delay 5", [](m30_context *m) { return m30_channel_set_avc_initial_cpb_delay(m, 0, static_cast<m30_avc_initial_cpb_delay>(5)); }, -1, EINVAL},
        {"vanc lines 5", [](m30_context *m) { return m30_channel_set_vanc_line_count(m, 0, 5); }, -1, EINVAL},
        {"ip period 0", [](m30_context *m) { return m30_channel_set_ip_period(m, 0, 0); }, -1, EINVAL},
        {"ip period 1", [](m30_context *m) { return m30_channel_set_ip_period(m, 0, 1); }, 0, 0},
        {"bit depth 9", [](m30_context *m) { return m30_channel_set_bit_depth(m, 0, 9); }, -1, EINVAL},
        {"vid std 47", [](m30_context *m) { return m30_channel_set_vid_std(m, 0, static_cast<m30_vidstd>(47)); }, -1, EINVAL},
        {"sei on encode", [](m30_context *m) { return m30_channel_set_sei_payload(m, 0, 0, 7); }, -1, EINVAL},
        {"input source on encode", [](m30_context *m) { return m30_channel_set_input_source(m, 0, true); }, 0, 0},
        {"channel 4", [](m30_context *m) { return m30_channel_set_video_pid(m, 4, 1); }, -1, EINVAL},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        errno = 0;
        EXPECT_EQ(c.set(e), c.rc);
        EXPECT_EQ(errno, c.err);
    }
    EXPECT_EQ(m30_channel_get_ip_period(e, 0), 1u);

    // Encode-only setters refuse a decode context without errno; the
    // getters read 0 there.
    m30_context *d = create(false);
    ASSERT_NE(d, nullptr);
    errno = 0;
    EXPECT_EQ(m30_channel_set_latency(d, 0, 100), -1);
    EXPECT_EQ(m30_audio_set_sync(d, 0, 20), -1);
    EXPECT_EQ(errno, 0);
    EXPECT_EQ(m30_channel_get_latency(d, 0), 0u);
    // Decode message settings.
    EXPECT_EQ(m30_channel_set_sei_payload(d, 0, 0, 5), -1);
    EXPECT_EQ(m30_channel_set_sei_payload(d, 0, 0, 0), 0);
    EXPECT_EQ(m30_channel_set_sei_payload(d, 1, 4, 7), 0);
    EXPECT_EQ(m30_channel_set_sei_payload(d, 0, 5, 7), -1);
    EXPECT_EQ(m30_channel_enable_pid_detect(d, 0, 0, 8191, M30_PID_FMT_PES), -1);
    EXPECT_EQ(m30_channel_enable_pid_detect(d, 0, 4, 100, M30_PID_FMT_PES), -1);
    EXPECT_EQ(m30_channel_enable_sei_user_data(d, 0, 5), -1);
}

TEST_F(Ctx, RestartFlagsAndLocks)
{
    m30_context *e = create(true);
    ASSERT_NE(e, nullptr);
    // Changed-only versus always.
    EXPECT_EQ(m30_channel_set_vid_std(e, 1, M30_VIDSTD_INVALID), 0);
    EXPECT_FALSE(e->restart_channel[1]);
    EXPECT_EQ(m30_channel_set_latency(e, 1, m30_channel_get_latency(e, 1)), 0);
    EXPECT_TRUE(e->restart_channel[1]);
    EXPECT_EQ(m30_channel_set_pmt_pid(e, 2, 0x300), 0);
    EXPECT_EQ(e->enc->chcfg[2].pat_dirty, 1u);
    EXPECT_TRUE(e->restart_channel[2]);
    // Start-up state is not configuration: no lock, no restart.
    e->chcfg[3].is_locked = true;
    EXPECT_EQ(m30_channel_set_startup(e, 3, M30_OFF), 0);
    EXPECT_FALSE(e->restart_channel[3]);
    errno = 0;
    EXPECT_EQ(m30_channel_set_video_pid(e, 3, 0x123), -1);
    EXPECT_EQ(errno, EBUSY);
    EXPECT_EQ(m30_channel_get_video_pid(e, 3), 0x1E1u + 0x300u);

    // Decode message settings restart only when their report is installed.
    m30_context *d = create(false);
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(m30_channel_enable_pid_detect(d, 0, 1, 0x100, M30_PID_FMT_SECTION), 0);
    EXPECT_FALSE(d->restart_channel[0]);
    m30_context_set_on_pid_detect(d, [](void *, uint8_t, uint16_t, const uint8_t *, uint8_t) {}, nullptr);
    EXPECT_EQ(m30_channel_enable_pid_detect(d, 0, 1, 0x100, M30_PID_FMT_SECTION), 0);
    EXPECT_FALSE(d->restart_channel[0]); // same entry: nothing changed
    EXPECT_EQ(m30_channel_disable_pid_detect(d, 0, 1), 0);
    EXPECT_TRUE(d->restart_channel[0]);
    EXPECT_EQ(d->dec->chcfg[0].pids_detect[1].pid, 0u);
}

TEST_F(Ctx, AudioBindingAndResourceSetters)
{
    m30_context *d = create(false);
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(m30_audio_get_bound_channel(d, 2), -1);
    EXPECT_EQ(m30_channel_bind_audio(d, 1, 2), 0);
    EXPECT_TRUE(d->restart_channel[1]);
    EXPECT_EQ(m30_channel_bind_audio(d, 1, 2), 0);
    EXPECT_EQ(m30_channel_bind_audio(d, 0, 2), -1);
    EXPECT_EQ(logs_.count("Audio index (2) already in use by channel idx (1)"), 1);
    EXPECT_EQ(m30_audio_get_bound_channel(d, 2), 1);
    EXPECT_EQ(m30_channel_bind_audio(d, 4, 0), -1);
    EXPECT_EQ(logs_.count("Invalid index - channel (4), or audio (0)"), 1);
    EXPECT_EQ(m30_audio_set_pid(d, 4, 1), -1);
    EXPECT_EQ(logs_.count("Invalid audio index (4)"), 1);

    // Mode of a resource bound to a running channel: the common block
    // carries the audio firmware, so the chip is prepared again.
    d->restart_channel[1] = false;
    EXPECT_EQ(m30_audio_set_mode(d, 2, M30_AUDIO_MODE_AAC_LC), 0);
    EXPECT_TRUE(d->prepare_needed);
    EXPECT_EQ(m30_audio_set_state(d, 2, M30_ON), 0);
    EXPECT_TRUE(d->restart_channel[1]);
    // The lock of the bound channel guards the resource.
    d->chcfg[1].is_locked = true;
    errno = 0;
    EXPECT_EQ(m30_audio_set_pid(d, 2, 0x44), -1);
    EXPECT_EQ(errno, EBUSY);
    EXPECT_EQ(m30_audio_set_pid(d, 3, 0x44), 0); // unbound: just stored
    d->chcfg[1].is_locked = false;
    EXPECT_EQ(m30_channel_unbind_audio(d, 1, 2), 0);
    EXPECT_EQ(m30_audio_get_bound_channel(d, 2), -1);
    EXPECT_EQ(m30_channel_unbind_audio(d, 1, 2), 0);
}

TEST_F(Ctx, VideoRateClamps)
{
    m30_context *e = create(true);
    ASSERT_NE(e, nullptr);
    Changes changes;
    m30_context_set_on_config_change(e, Changes::cb, &changes);
    struct Case {
        m30_video_mode mode;
        m30_vidstd std;
        uint32_t rate, want;
        int rc;
    };
    const Case cases[] = {
        {M30_VIDEO_MODE_HEVC, M30_VIDSTD_1080P60, 35000, 30000, 1},
        {M30_VIDEO_MODE_HEVC, M30_VIDSTD_576I50, 150, 200, 1},
        {M30_VIDEO_MODE_HEVC, M30_VIDSTD_2160P50_2SI, 20000, 20000, 0},
        {M30_VIDEO_MODE_H264, M30_VIDSTD_2160P60_SQD, 90000, 90000, 0}, // no row
        {M30_VIDEO_MODE_H264, M30_VIDSTD_2160P50_SQD, 20000, 24000, 1},
        {M30_VIDEO_MODE_H264, M30_VIDSTD_INVALID, 30000, 20000, 1},
        {M30_VIDEO_MODE_MPEG2, M30_VIDSTD_720P50, 70000, 60000, 1},
        {M30_VIDEO_MODE_MPEG2, M30_VIDSTD_1080I50, 70000, 70000, 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(m30_vidstd_strings[c.std]);
        e->video_mode = c.mode;
        e->chcfg[0].vid_std = c.std;
        e->enc->chcfg[0].vid_rate = c.rate;
        changes.seen.clear();
        int rc = c.mode == M30_VIDEO_MODE_HEVC   ? m30_channel_constrain_video_rate_hevc(e, 0)
                 : c.mode == M30_VIDEO_MODE_H264 ? m30_channel_constrain_video_rate_h264(e, 0)
                                                 : m30_channel_constrain_video_rate_mpeg2(e, 0);
        EXPECT_EQ(rc, c.rc);
        EXPECT_EQ(m30_channel_get_video_rate(e, 0), c.want);
        EXPECT_EQ(changes.seen.size(), c.rc == 1 ? 1u : 0u);
    }
    EXPECT_EQ(logs_.count("Constraining video rate: 35000 to 30000 (Kbps)"), 1);
    // Another codec's clamp refuses; HEVC means HEVC only.
    e->video_mode = M30_VIDEO_MODE_HEVC_ULL;
    EXPECT_EQ(m30_channel_constrain_video_rate_hevc(e, 0), -1);
}

TEST_F(Ctx, DataRateRule)
{
    m30_context *e = create(true);
    ASSERT_NE(e, nullptr);
    Changes changes;
    m30_context_set_on_config_change(e, Changes::cb, &changes);
    m30_channel_bind_audio(e, 0, 0);
    m30_channel_bind_audio(e, 0, 1);
    m30_audio_set_state(e, 0, M30_ON);
    m30_audio_set_state(e, 1, M30_ON);
    m30_channel_bind_audio(e, 0, 2); // bound but off: not counted
    auto &c = e->enc->chcfg[0];
    c.vid_rate = 20000;
    EXPECT_EQ(m30_channel_calc_data_rate(e, 0), 20468u);

    struct Case {
        const char *what;
        m30_video_mode mode;
        m30_vidstd std;
        uint32_t vid, sys, want_vid, want_sys;
    };
    const Case cases[] = {
        {"enough", M30_VIDEO_MODE_HEVC, M30_VIDSTD_1080P60, 20000, 21491, 20000, 21491},
        // 21000 - 1050 - 468 = 19482: the video fits.
        {"video fits", M30_VIDEO_MODE_HEVC, M30_VIDSTD_1080P60, 19000, 21000, 19000, 21000},
        // Video down to the maximum, the system rate stays.
        {"video max", M30_VIDEO_MODE_HEVC, M30_VIDSTD_1080P60, 20000, 21000, 19482, 21000},
        // 2000 - 100 - 468 = 1432 is under the 1500 floor: the floor, then
        // the system rate rises to (1500 + 468) x 1.05.
        {"floor", M30_VIDEO_MODE_H264, M30_VIDSTD_1080P60, 20000, 2000, 1500, 2066},
        // No floor: the video stays, the system rate rises.
        {"no floor", M30_VIDEO_MODE_HEVC_ULL, M30_VIDSTD_1080P60, 20000, 2000, 20000, 21491},
        // A UHD floor of 24000, then the system rate follows.
        {"uhd floor", M30_VIDEO_MODE_H264, M30_VIDSTD_2160P50_SQD, 96000, 2000, 24000, 25691},
    };
    for (const Case &k : cases) {
        SCOPED_TRACE(k.what);
        e->video_mode = k.mode;
        e->chcfg[0].vid_std = k.std;
        c.vid_rate = k.vid;
        c.sys_rate = k.sys;
        EXPECT_EQ(m30_channel_constrain_data_rate(e, 0), 0);
        EXPECT_EQ(c.vid_rate, k.want_vid);
        EXPECT_EQ(c.sys_rate, k.want_sys);
    }
    // Above channel 1's 26000 ceiling the system rate cannot follow.
    e->video_mode = M30_VIDEO_MODE_HEVC_ULL;
    auto &c1 = e->enc->chcfg[1];
    c1.vid_rate = 30000;
    c1.sys_rate = 2000;
    logs_.clear();
    EXPECT_EQ(m30_channel_constrain_data_rate(e, 1), 0);
    EXPECT_EQ(c1.sys_rate, 2000u);
    EXPECT_EQ(logs_.count("Cannot raise system rate 2000 to min 31588 - exceeds max 26000."), 1);
}

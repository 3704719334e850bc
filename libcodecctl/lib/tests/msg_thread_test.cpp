// The message thread: chip messages reach the callbacks on "SVC:m30-msg"
// with their counters; malformed messages are logged and dropped; vsync
// keeps an encode channel's video detected; the thread leaves on ERROR and
// is joined by the next launch; no thread outlives cancel and relaunch.
#include "ctx_fixture.h"

#include <chrono>
#include <thread>

using namespace m30test;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

int thread_count()
{
    int n = 0;
    for (auto &e : fs::directory_iterator("/proc/self/task"))
        (void)e, ++n;
    return n;
}


std::string thread_name()
{
    char n[32] = {};
    pthread_getname_np(pthread_self(), n, sizeof n);
    return n;
}

// What the callbacks saw; written on the message thread.
struct Seen {
    std::mutex mu;
    std::vector<std::string> events;
    std::vector<std::vector<uint8_t>> data;
    std::atomic<int> calls{0};
    void add(std::string e, const uint8_t *d = nullptr, size_t n = 0)
    {
        std::lock_guard l(mu);
        if (thread_name() != "SVC:m30-msg")
            e += " (wrong thread)";
        events.push_back(std::move(e));
        data.emplace_back(d, d + n);
        ++calls;
    }
    std::vector<std::string> get()
    {
        std::lock_guard l(mu);
        return events;
    }
};

class Messages : public Ctx {
protected:
    void SetUp() override
    {
        Ctx::SetUp();
        m = create();
        ASSERT_NE(m, nullptr);
        m30_context_set_on_pcr_detect(
            m,
            [](void *c, uint8_t ch, uint32_t a, uint8_t b, uint16_t x, uint16_t y, uint32_t z) {
                static_cast<Seen *>(c)->add("pcr " + std::to_string(ch) + " " + std::to_string(a) + " " +
                                            std::to_string(b) + " " + std::to_string(x) + " " + std::to_string(y) +
                                            " " + std::to_string(z));
            },
            &seen);
        m30_context_set_on_buffer_level(
            m, [](void *c, uint8_t ch, m30_dec_buf_level l) {
                static_cast<Seen *>(c)->add("buf " + std::to_string(ch) + " " + m30_dec_buf_level_strings[l]);
            },
            &seen);
        m30_context_set_on_pid_detect(
            m, [](void *c, uint8_t ch, uint16_t pid, const uint8_t *d, uint8_t n) {
                static_cast<Seen *>(c)->add("pid " + std::to_string(ch) + " " + std::to_string(pid), d, n);
            },
            &seen);
        m30_context_set_on_video_decoding(
            m, [](void *c, uint8_t ch, uint8_t hi, uint32_t lo) {
                static_cast<Seen *>(c)->add("vdec " + std::to_string(ch) + " " + std::to_string(hi) + " " +
                                            std::to_string(lo));
            },
            &seen);
        m30_context_set_on_sei_info(
            m, [](void *c, uint8_t ch, uint8_t pt, m30_sei_udata_type t, const uint8_t *d, uint8_t n) {
                static_cast<Seen *>(c)->add("sei " + std::to_string(ch) + " " + std::to_string(pt) + " " +
                                                std::to_string(t),
                                            d, n);
            },
            &seen);
        m30_context_set_on_audio_decode_error(
            m, [](void *c, uint8_t a, m30_adec_err e) {
                static_cast<Seen *>(c)->add("adec " + std::to_string(a) + " " + m30_adec_err_strings[e]);
            },
            &seen);
        m30_channel_enable_pid_detect(m, 1, 2, 0x1234 & 0x1FFF, M30_PID_FMT_PES);
        m30_channel_enable_sei_user_data(m, 1, 0); // unregistered on
        m30_channel_set_sei_payload(m, 1, 1, 137); // mastering display colour volume
        m30_channel_bind_audio(m, 1, 3);
        m30_audio_set_state(m, 3, M30_ON);
        m30_channel_set_vid_std(m, 1, M30_VIDSTD_1080P50);
        ASSERT_EQ(m30_prepare(m), 0);
        ASSERT_EQ(m30_channel_start(m, 1), 0); // chip id 2
    }
    // Posts and waits until the thread handled it: a barrier message on
    // audio resource 3 follows, and the thread handles the units of one
    // wake-up in order (demultiplexer, video decoder, then audio), so once
    // the barrier is counted the message before it has been handled.
    void post(fmb_message_target t, uint32_t id, uint32_t msg, std::vector<uint32_t> p)
    {
        uint32_t before = m30_get_dec_msg_count_ad_info(m, 3);
        ASSERT_TRUE(chip_.post_message(t, id, msg, p));
        ASSERT_TRUE(chip_.post_message(FMB_MESSAGE_TARGET_AD, 3, 1, {}));
        ++barriers;
        ASSERT_TRUE(eventually([&] { return m30_get_dec_msg_count_ad_info(m, 3) >= before + 1 + (t == FMB_MESSAGE_TARGET_AD && msg == 1); }));
    }
    uint32_t barriers = 0;
    m30_context *m = nullptr;
    Seen seen;
};

} // namespace

TEST_F(Messages, DemultiplexerMessages)
{
    post(FMB_MESSAGE_TARGET_DMX, 2, 1, {0, 77, 0x10000u | 0x3FF, (5u << 9) | 0x101});
    post(FMB_MESSAGE_TARGET_DMX, 2, 2, {0, 4});
    post(FMB_MESSAGE_TARGET_DMX, 2, 2, {0, 3}); // no such level
    // Entry 2 is enabled with PID 0x1234; entry 0 is not.
    post(FMB_MESSAGE_TARGET_DMX, 2, 4, {0, 4, 5, 0x04030201, 0x05});
    post(FMB_MESSAGE_TARGET_DMX, 2, 4, {0, 1, 5, 0});
    post(FMB_MESSAGE_TARGET_DMX, 2, 4, {0, 4, 246, 0});
    post(FMB_MESSAGE_TARGET_DMX, 2, 9, {});
    EXPECT_EQ(seen.get(), (std::vector<std::string>{"pcr 1 77 1 511 257 5", "buf 1 Above HL", "pid 1 4660"}));
    EXPECT_EQ(seen.data[2], (std::vector<uint8_t>{1, 2, 3, 4, 5}));
    EXPECT_EQ(logs_.count("m30_handle_msg_dmx - Unrecognized buf level: 3. Ignoring."), 1);
    EXPECT_EQ(logs_.count("m30_handle_msg_dmx - Unrecognized PID index 1. Ignoring."), 1);
    EXPECT_EQ(logs_.count("m30_handle_msg_dmx - Unrecognized PID size 246. Ignoring."), 1);
    EXPECT_EQ(logs_.count("m30_handle_msg_dmx - Unrecognized msg ID: 9. Ignoring."), 1);

    // Stream errors: bits 0, 1 and 16.
    EXPECT_FALSE(m30_decode_has_dmx_errors(m, 1));
    post(FMB_MESSAGE_TARGET_DMX, 2, 3, {0, 0x10003});
    EXPECT_EQ(m30_get_dec_msg_count_dmx_err(m, 1), 1u);
    EXPECT_TRUE(m30_decode_has_dmx_errors(m, 1));
    m30_dmx_error_status st{};
    ASSERT_EQ(m30_get_dec_dmx_error_info(m, 1, &st, false), 0);
    EXPECT_EQ(st.ei_err, 1u);
    EXPECT_EQ(st.cc_err, 1u);
    EXPECT_EQ(st.restart_request, 1u);
    EXPECT_EQ(st.crc32_err + st.sync_err + st.pcr_exhausted, 0u);
    EXPECT_FALSE(m30_decode_has_dmx_errors(m, 1));
    EXPECT_EQ(m30_get_dec_dmx_error_info(m, 2, &st, false), -1);
}

TEST_F(Messages, VideoAndAudioDecoderMessages)
{
    post(FMB_MESSAGE_TARGET_VD, 2, 1, {0, 0x001, 1234}); // counted only
    post(FMB_MESSAGE_TARGET_VD, 2, 1, {0, 0x101, 99});
    EXPECT_EQ(m30_get_dec_msg_count_vd_info(m, 1), 2u);
    post(FMB_MESSAGE_TARGET_VD, 2, 2, {0, 0x5, 2, 3, 4, 0x0A0B, 6, 7});
    m30_dec_error_status e{};
    ASSERT_EQ(m30_get_dec_vd_error_info(m, 1, &e, true), 0);
    EXPECT_EQ(e.frm_rate_mismatch, 1u);
    EXPECT_EQ(e.vid_fmt_mismatch, 0u);
    EXPECT_EQ(e.unsup_resolution, 1u);
    EXPECT_EQ(e.vid_skip_avsync + e.vid_repeat_avsync + e.vid_repeat_depleted, 9u);
    EXPECT_EQ(e.picture_error_level, 0x0Bu);
    EXPECT_EQ(e.ref_pic_error_level, 0x0Au);
    EXPECT_EQ(e.vid_error_count + e.vid_conceal_count, 13u);
    ASSERT_EQ(m30_get_dec_vd_error_info(m, 1, &e, false), 0);
    EXPECT_EQ(e.vid_error_count, 0u); // reset by the previous read

    post(FMB_MESSAGE_TARGET_AD, 3, 1, {});
    post(FMB_MESSAGE_TARGET_AD, 3, 2, {0, 0, 0, 0, 0, 16});
    post(FMB_MESSAGE_TARGET_AD, 3, 2, {0, 0, 0, 0, 0, 17});
    post(FMB_MESSAGE_TARGET_AD, 3, 2, {0, 0, 0, 0, 0, 18});
    EXPECT_EQ(m30_get_dec_msg_count_ad_info(m, 3) - barriers, 1u);
    EXPECT_EQ(m30_get_dec_msg_count_ad_err(m, 3), 3u);
    EXPECT_EQ(seen.get(), (std::vector<std::string>{"vdec 1 1 99", "adec 3 Audio Decode Warning",
                                                    "adec 3 Audio Decode Error"}));
    // Counters clear when the channel stops.
    m30_channel_stop(m, 1);
    EXPECT_EQ(m30_get_dec_msg_count_vd_info(m, 1), 0u);
}

TEST_F(Messages, SeiWalkDeliversCheckedItems)
{
    struct Case {
        const char *what;
        std::vector<uint32_t> items; // from p[1] on
        std::vector<std::string> want;
        const char *log;
    };
    const Case cases[] = {
        {"unregistered then configured payload then end",
         {1, 5, 0x44332211, 0x55, 8, 2, 0xBBAA, 0},
         {"sei 1 0 0", "sei 1 137 5"},
         nullptr},
        {"T.35 switch off: skipped, walk goes on", {2, 1, 0x11, 0x20000, 4, 0x01020304, 0}, {"sei 1 0 3"}, nullptr},
        {"payload slot without a type", {4, 4, 0x1, 0}, {}, "Unrecognized SEI info 0 type 4"},
        {"unknown type stops", {0x10000, 1, 7, 0x99, 4, 0}, {"sei 1 0 2"}, "Unrecognized SEI info 1 type 99"},
        {"size zero stops", {1, 0, 0}, {}, "SEI info 0 size not set (is zero). type 1"},
        // 255 bytes of data from p[3]: past the record's 64 words.
        {"size past the record", {1, 255, 0}, {}, "passes the message end"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        {
            std::lock_guard l(seen.mu);
            seen.events.clear();
            seen.data.clear();
        }
        logs_.clear();
        std::vector<uint32_t> p = {0};
        p.insert(p.end(), c.items.begin(), c.items.end());
        post(FMB_MESSAGE_TARGET_VD, 2, 3, p);
        EXPECT_EQ(seen.get(), c.want);
        if (c.log) {
            EXPECT_EQ(logs_.count(c.log), 1) << ::testing::PrintToString(logs_.texts());
        }
    }
    // The walk ends once an item would begin past 255 bytes: items of 60
    // bytes each, the fifth begins at byte 256.
    std::vector<uint32_t> p = {0};
    for (int n = 0; n < 5; ++n) {
        p.push_back(0x10000);
        p.push_back(56);
        p.insert(p.end(), 14, 0xEE);
    }
    p.resize(65);
    {
        std::lock_guard l(seen.mu);
        seen.events.clear();
    }
    post(FMB_MESSAGE_TARGET_VD, 2, 3, p);
    EXPECT_EQ(seen.get().size(), 4u);
    std::lock_guard l(seen.mu);
    EXPECT_EQ(seen.data[0].size(), 56u);
}

TEST_F(Messages, ThreadLeavesOnErrorAndIsJoinedByTheNextLaunch)
{
    int with_thread = thread_count();
    auto start = std::chrono::steady_clock::now();
    set_state(0xFFFFFFFFu);
    ASSERT_TRUE(eventually([&] { return pthread_equal(m->tid_message.load(), m->tid_main); }, 2500ms));
    EXPECT_LT(std::chrono::steady_clock::now() - start, 2000ms); // one 1-second wait, then the state read
    EXPECT_TRUE(eventually([&] { return thread_count() == with_thread - 1; }));
    EXPECT_EQ(logs_.count("Message receive thread - detected error state. Exiting."), 1);
    // Preparing again resets the chip and starts a new thread; the old one
    // is joined on the way.
    ASSERT_EQ(m30_prepare(m), 0);
    EXPECT_FALSE(pthread_equal(m->tid_message.load(), m->tid_main));
    EXPECT_FALSE(m->msg_ended.load());
    EXPECT_TRUE(eventually([&] { return thread_count() == with_thread; }));
}

TEST_F(Messages, CancelAndRelaunchLeaveNoThreadBehind)
{
    // Counted with the message thread joined, so that threads of earlier
    // tests still winding down cannot skew the baseline.
    ASSERT_EQ(m30_cancel_msg_thread(m), 0);
    ASSERT_TRUE(eventually([&] {
        int a = thread_count();
        std::this_thread::sleep_for(20ms);
        return a == thread_count();
    }));
    const int without = thread_count();
    for (int n = 0; n < 20; ++n) {
        ASSERT_EQ(m30_launch_msg_thread(m), 0);
        EXPECT_EQ(m30_launch_msg_thread(m), 0); // already running
        ASSERT_EQ(m30_cancel_msg_thread(m), 0);
        EXPECT_EQ(m30_cancel_msg_thread(m), 0); // twice is fine
    }
    // A joined thread leaves /proc a moment after the join returns.
    EXPECT_TRUE(eventually([&] { return thread_count() == without; }));
    ASSERT_EQ(m30_launch_msg_thread(m), 0);
    EXPECT_EQ(thread_count(), without + 1);
    // Messages still flow to the relaunched thread.
    post(FMB_MESSAGE_TARGET_VD, 2, 1, {0, 0x100, 5});
    EXPECT_EQ(seen.get(), std::vector<std::string>{"vdec 1 0 5"});
    ASSERT_EQ(m30_cancel_msg_thread(m), 0);
    EXPECT_TRUE(eventually([&] { return thread_count() == without; }));
    // A message posted while no thread runs waits for the next one.
    ASSERT_TRUE(chip_.post_message(FMB_MESSAGE_TARGET_VD, 2, 1, std::vector<uint32_t>{0, 0x100, 6}));
    std::this_thread::sleep_for(30ms);
    EXPECT_EQ(seen.calls.load(), 1);
    ASSERT_EQ(m30_launch_msg_thread(m), 0);
    EXPECT_TRUE(eventually([&] { return seen.calls.load() == 2; }));
}

TEST_F(Messages, GeneratorFollowsTheLoadedDemultiplexerBlock)
{
    m30sim::GeneratorConfig g;
    g.frame_period_us = 4000;
    g.pid_detect = true;
    g.stream_errors = 0x2;
    chip_.start_generator(g);
    EXPECT_TRUE(eventually([&] {
        auto e = seen.get();
        return std::count(e.begin(), e.end(), "pid 1 4660") >= 2 && m30_get_dec_msg_count_vd_info(m, 1) >= 25;
    }));
    chip_.stop_generator();
    EXPECT_GE(m30_get_dec_msg_count_ad_info(m, 3), 25u);
    m30_dmx_error_status st{};
    m30_get_dec_dmx_error_info(m, 1, &st, false);
    EXPECT_GE(st.cc_err, 1u);
    EXPECT_EQ(st.ei_err, 0u);
    // Only the configured PID is reported.
    for (const auto &e : seen.get())
        if (e.rfind("pid", 0) == 0) {
            EXPECT_EQ(e, "pid 1 4660");
        }
}

TEST_F(Ctx, VsyncKeepsAnEncodeChannelDetected)
{
    m30_context *e = create(true);
    ASSERT_NE(e, nullptr);
    set_state(3);
    ASSERT_EQ(m30_enable_messages(e, 1), 0);
    ASSERT_EQ(m30_launch_msg_thread(e), 0);
    // Vsync every 25 ms keeps the channel detected. A check is made only
    // when this thread really posted within 50 ms, so a stalled test
    // machine cannot fake a gap.
    for (int n = 0; n < 8; ++n) {
        ASSERT_TRUE(chip_.post_message(FMB_MESSAGE_TARGET_VI, 1, 2, std::vector<uint32_t>{1}));
        auto posted = std::chrono::steady_clock::now();
        ASSERT_TRUE(eventually([&] { return e->enc->chstat[1].video_detected.load(); }));
        std::this_thread::sleep_for(25ms);
        bool detected = e->enc->chstat[1].video_detected.load();
        if (std::chrono::steady_clock::now() - posted < 50ms) {
            EXPECT_TRUE(detected) << n;
        }
    }
    EXPECT_TRUE(eventually([&] { return !e->enc->chstat[1].video_detected.load(); }, 500ms));
    // A frame-capture message names its channel; one out of range is dropped.
    ASSERT_TRUE(chip_.post_message(FMB_MESSAGE_TARGET_VI, 1, 1, std::vector<uint32_t>{1, 321}));
    EXPECT_TRUE(eventually([&] { return m30_channel_get_frame_count(e, 1) == 321; }));
    ASSERT_TRUE(chip_.post_message(FMB_MESSAGE_TARGET_VI, 1, 2, std::vector<uint32_t>{9}));
    EXPECT_TRUE(eventually([&] { return logs_.count("Channel out of range: 9") == 1; }));
    EXPECT_EQ(m30_cancel_msg_thread(e), 0);
}

TEST_F(Ctx, SeiHandOverRing)
{
    m30_context *e = create(true);
    ASSERT_NE(e, nullptr);
    set_state(3);
    ASSERT_EQ(m30_launch_msg_thread(e), 0);
    ASSERT_TRUE(eventually([&] { return logs_.count("m30_vraw_info_ctor - SEI raw buffer ctor.") == 4; }));
    EXPECT_EQ(m30_sei_pic_info_wr_prep(4, 10), nullptr);
    EXPECT_EQ(m30_sei_pic_info_wr_prep(0, 512), nullptr);
    EXPECT_EQ(send_sei_to_enc(0, 0), -1); // empty
    // Three entries fill a ring of four.
    for (int n = 0; n < 3; ++n) {
        uint8_t *b = m30_sei_pic_info_wr_prep(0, 16);
        ASSERT_NE(b, nullptr);
        b[0] = static_cast<uint8_t>(n);
        sei_pic_info_wr_fini(0, 16);
    }
    EXPECT_EQ(m30_sei_pic_info_wr_prep(0, 16), nullptr);
    // A refused enqueue keeps its entry for the next call.
    chip_.fail_ioctl(FMB_API_ENQUEUE_VRAW_DATA, EIO, 1);
    EXPECT_EQ(send_sei_to_enc(0, 1), -1);
    EXPECT_EQ(logs_.count("m30_send_sei_to_enc - ioctl(FMB_API_ENQUEUE_VRAW_DATA) failed (-1)"), 1);
    for (int n = 0; n < 3; ++n)
        EXPECT_EQ(send_sei_to_enc(0, 2), 0);
    EXPECT_EQ(send_sei_to_enc(0, 3), -1);
    EXPECT_EQ(chip_.ioctl_count(FMB_API_ENQUEUE_VRAW_DATA), 4u);
    EXPECT_EQ(m30_cancel_msg_thread(e), 0);
}

TEST_F(Ctx, RealTimeWhenThePrivilegeAllowsIt)
{
    // Without KD_NO_RT the thread asks for SCHED_RR 97 and, refused, runs
    // at normal priority with a warning; either way it runs.
    const char *old = std::getenv("KD_NO_RT");
    std::string saved = old ? old : "";
    unsetenv("KD_NO_RT");
    m30_context *m = create();
    ASSERT_NE(m, nullptr);
    int rc = m30_launch_msg_thread(m);
    if (old)
        setenv("KD_NO_RT", saved.c_str(), 1);
    ASSERT_EQ(rc, 0);
    int policy = -1;
    sched_param sp{};
    ASSERT_EQ(pthread_getschedparam(m->msg_thread, &policy, &sp), 0);
    if (logs_.count("no real-time privilege") == 1) {
        EXPECT_EQ(policy, SCHED_OTHER);
    } else {
        EXPECT_EQ(policy, SCHED_RR);
        EXPECT_EQ(sp.sched_priority, 97);
    }
    EXPECT_EQ(m30_cancel_msg_thread(m), 0);
}

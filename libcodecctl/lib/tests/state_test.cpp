// The main state machine (prepare, reset, maintain) and decode channels
// (start, stop, messages, the software-fed input) on the chip simulator.
#include "ctx_fixture.h"
#include "decode/voparam.h"

#include <algorithm>
#include <fstream>

using namespace m30test;
namespace fs = std::filesystem;

namespace {

constexpr uint32_t ERROR_REG = 0xFFFFFFFFu;

// Counter writes at block bases, in order: each block load ends with one.
std::vector<uint32_t> counter_writes(const std::vector<m30sim::LoadRun> &log, const std::vector<uint32_t> &bases)
{
    std::vector<uint32_t> out;
    for (const auto &r : log)
        if (r.words == 1 && std::find(bases.begin(), bases.end(), r.addr) != bases.end())
            out.push_back(r.addr);
    return out;
}

} // namespace

TEST_F(Ctx, PrepareFromEveryStartingState)
{
    const std::string boot = "State is error or encode. Going to boot...";
    const std::string init = "State is boot or decode. Going to init...";
    const std::string dec = "State is init. Going to decode...";
    struct Case {
        uint32_t reg;
        std::vector<std::string> lines;
        size_t resets;
    };
    const Case cases[] = {
        {3, {boot, init, dec}, 1},
        {ERROR_REG, {boot, init, dec}, 1},
        {1, {init, dec}, 0},
        {4, {init, dec}, 0},
        {2, {dec}, 0},
        {0xFFFFFFFEu, {}, 0}, // the chip's loader: nothing to do
    };
    m30_context *m = create();
    ASSERT_NE(m, nullptr);
    for (const Case &c : cases) {
        SCOPED_TRACE(c.reg);
        m30_cancel_msg_thread(m);
        set_state(c.reg);
        chip_.reset_counts();
        logs_.clear();
        m->prepare_needed = true;
        EXPECT_EQ(m30_prepare(m), 0);
        EXPECT_EQ(logs_.texts(), c.lines);
        EXPECT_EQ(chip_.resets().size(), c.resets);
        EXPECT_FALSE(m->prepare_needed);
        EXPECT_FALSE(pthread_equal(m->tid_message.load(), m->tid_main)); // thread running
        if (!c.lines.empty()) {
            EXPECT_EQ(chip_.peek(M30_REG_MAIN_STATE), 4u);
            // A V7 decode context: encode_mode 0, decode_mode 2 (multi-channel).
            auto last = chip_.main_state_requests().back();
            EXPECT_EQ(last.second, (std::vector<uint32_t>{4, 0, 1, 0, 1, 2}));
        }
    }
}

TEST_F(Ctx, PreparationLoadsTheCommonBlockAndStopsOnAStuckChip)
{
    m30_context *m = create();
    ASSERT_NE(m, nullptr);
    m30_audio_set_mode(m, 1, M30_AUDIO_MODE_AAC_LC);
    chip_.clear_load_log();
    ASSERT_EQ(m30_prepare(m), 0);
    // The parameter area is cleared, then the C block written and handed over.
    auto log = chip_.load_log();
    ASSERT_GE(log.size(), 3u);
    EXPECT_EQ(log[0], (m30sim::LoadRun{0x20000004, 524287}));
    // The clear's counter write runs on into the block's 31 data words.
    EXPECT_EQ(log[1], (m30sim::LoadRun{0x20000000, 32}));
    EXPECT_EQ(log[2], (m30sim::LoadRun{0x20000000, 1}));
    EXPECT_EQ(chip_.peek(0x20000000), 2u); // two handshakes
    EXPECT_TRUE(fs::exists(root_.path() + "/tmp/kerrow_cparam_0.bin"));

    m30_cancel_msg_thread(m);
    set_state(1);
    chip_.set_state_stuck(true);
    logs_.clear();
    EXPECT_EQ(m30_prepare(m), -1);
    EXPECT_EQ(logs_.count("Failed to set state to init. State is boot"), 1);
    EXPECT_TRUE(pthread_equal(m->tid_message.load(), m->tid_main));
}

TEST_F(Ctx, MainStateReadsAndRefusedRequests)
{
    m30_context *m = create();
    ASSERT_NE(m, nullptr);
    set_state(0);
    EXPECT_EQ(m30_get_main_state(m), M30_MAIN_STATE_ERROR);
    EXPECT_TRUE(m30_is_error(m));
    EXPECT_EQ(logs_.count("m30_get_main_state unknown reg_val 0 (fd "), 1);
    set_state(ERROR_REG);
    logs_.clear();
    EXPECT_EQ(m30_get_main_state(m), M30_MAIN_STATE_ERROR);
    EXPECT_TRUE(logs_.lines().empty());
    set_state(0xFFFFFFFEu);
    EXPECT_EQ(m30_get_main_state(m), M30_MAIN_STATE_BOOTER);
    EXPECT_FALSE(m30_is_error(m));

    chip_.reset_counts();
    for (m30_main_state s : {M30_MAIN_STATE_ENCODE, M30_MAIN_STATE_MAINTENANCE, M30_MAIN_STATE_BOOTER,
                             M30_MAIN_STATE_ERROR, M30_MAIN_STATE_END}) {
        errno = 0;
        EXPECT_EQ(m30_change_main_state(m, s), -1);
        EXPECT_EQ(errno, EOPNOTSUPP);
    }
    EXPECT_EQ(chip_.ioctl_count(FMB_API_CHANGE_MAIN_STATE), 0u);
    m30_context *e = create(true);
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(m30_change_main_state(e, M30_MAIN_STATE_DECODE), -1);
    EXPECT_EQ(chip_.ioctl_count(FMB_API_CHANGE_MAIN_STATE), 0u);
}

TEST_F(Ctx, V3DriverSendsTheShortRecord)
{
    chip_.set_driver_text("3.1.4");
    m30_context *m = create();
    ASSERT_NE(m, nullptr);
    set_state(2);
    ASSERT_EQ(m30_change_main_state(m, M30_MAIN_STATE_DECODE), 0);
    m30_set_channel_mode(m, M30_SINGLE_CHANNEL);
    ASSERT_EQ(m30_change_main_state(m, M30_MAIN_STATE_INIT), 0);
    auto reqs = chip_.main_state_requests();
    ASSERT_EQ(reqs.size(), 2u);
    EXPECT_EQ(reqs[0].first, FMB_API_CHANGE_MAIN_STATE_V3);
    EXPECT_EQ(reqs[0].second, (std::vector<uint32_t>{4, 2, 1, 0, 1}));
    EXPECT_EQ(reqs[1].second, (std::vector<uint32_t>{2, 1, 1, 0, 1}));
}

TEST_F(Ctx, ResetReopensControlAndKeepsGoingAfterFailures)
{
    m30_context *m = create();
    ASSERT_NE(m, nullptr);
    ASSERT_EQ(m30_prepare(m), 0);
    int old_control = m->driver_control;
    EXPECT_EQ(m30_reset_main_state(m), 0);
    EXPECT_NE(m->driver_control, old_control);
    EXPECT_EQ(chip_.resets().back(), false);
    EXPECT_EQ(chip_.peek(M30_REG_MAIN_STATE), 1u);
    EXPECT_FALSE(pthread_equal(m->tid_message.load(), m->tid_main)); // relaunched
    EXPECT_EQ(chip_.open_handles(), 6u);

    // A failed reset still reopens the control device.
    chip_.fail_ioctl(FMB_API_RESET, EIO, 1);
    EXPECT_EQ(m30_reset_main_state(m), -1);
    EXPECT_EQ(logs_.count("m30_reset_main_state driver reset failed"), 1);
    EXPECT_GE(m->driver_control, 0);
    chip_.fail_bind(FMB_DEVICE_CONTROL, EIO);
    EXPECT_EQ(m30_reset_main_state(m), -1);
    EXPECT_EQ(logs_.count("m30_reset_main_state failed to set device control"), 1);
    EXPECT_EQ(m->driver_control, -1);
    EXPECT_EQ(chip_.open_handles(), 5u);
    EXPECT_EQ(m30_reset_main_state(m), -1); // nothing to reset without control

    // Only the creating thread may reset or move the message thread.
    chip_.clear_faults();
    m30_context *n = create();
    ASSERT_NE(n, nullptr);
    int rc[3];
    std::thread([&] {
        rc[0] = m30_reset_main_state(n);
        rc[1] = m30_launch_msg_thread(n);
        rc[2] = m30_cancel_msg_thread(n);
    }).join();
    EXPECT_EQ(rc[0], -1);
    EXPECT_EQ(rc[1], -1);
    EXPECT_EQ(rc[2], -1);
    EXPECT_EQ(logs_.count("m30_launch_msg_thread must be called in main thread"), 1);
}

TEST_F(Ctx, ChannelCount)
{
    m30_context *d = create(false), *e = create(true);
    ASSERT_TRUE(d && e);
    EXPECT_EQ(m30_get_channel_count(d), 2);
    EXPECT_EQ(m30_get_channel_count(e), 4);
    m30_set_ultra_low_latency(e, true);
    EXPECT_EQ(m30_get_channel_count(e), 2);
    m30_set_channel_mode(e, M30_SINGLE_CHANNEL);
    EXPECT_EQ(m30_get_channel_count(e), 1);
}

// --- decode channels ---

class Decode : public Ctx {
protected:
    void SetUp() override
    {
        Ctx::SetUp();
        m = create();
        ASSERT_NE(m, nullptr);
        ASSERT_EQ(m30_prepare(m), 0);
        m30_context_set_on_config_change(m, Calls::cfg, &calls);
        m30_context_set_on_encoder_status(m, Calls::enc, &calls);
        m30_context_set_on_channel_prestart_check(m, Calls::pre, &calls);
        chip_.clear_load_log();
        chip_.reset_counts();
        logs_.clear();
    }
    m30_context *m = nullptr;
    Calls calls;
};

TEST_F(Decode, StartLoadsTheBlocksInOrderThenOutputThenInput)
{
    m30_channel_set_vid_std(m, 1, M30_VIDSTD_1080P50);
    m30_channel_bind_audio(m, 1, 1);
    m30_audio_set_state(m, 1, M30_ON);
    m30_channel_bind_audio(m, 1, 3); // bound, off
    ASSERT_EQ(m30_channel_start(m, 1), 0);
    EXPECT_FALSE(m->restart_channel[1]);
    // Channel 1 is chip id 2: block bases + 0x200; audio resource 1 + 0x100.
    const std::vector<uint32_t> order = {0x20009200, 0x2000A200, 0x2000B200, 0x20013200, 0x20023200,
                                         0x20033200, 0x2001B100, 0x20043100};
    std::vector<uint32_t> all = order;
    for (uint32_t b : {0x2001B300u, 0x20043300u, 0x20033000u})
        all.push_back(b);
    EXPECT_EQ(counter_writes(chip_.load_log(), all), order);
    EXPECT_TRUE(fs::exists(root_.path() + "/tmp/kerrow_siparam_2.bin"));
    EXPECT_TRUE(fs::exists(root_.path() + "/tmp/kerrow_adparam_1.bin"));
    EXPECT_EQ(calls.seen, std::vector<std::string>{"pre 1"});
    // Output first, then input; messages for the channel and its active audio.
    auto out = chip_.output_requests();
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].state, 2u);
    EXPECT_EQ(out[0].output_id_bits, 1u << 2);
    auto in = chip_.input_requests();
    ASSERT_EQ(in.size(), 1u);
    EXPECT_EQ(in[0].input_id, 2u);
    EXPECT_TRUE(chip_.notification_fd(FMB_MESSAGE_TARGET_DMX, 2).has_value());
    EXPECT_TRUE(chip_.notification_fd(FMB_MESSAGE_TARGET_VD, 2).has_value());
    EXPECT_TRUE(chip_.notification_fd(FMB_MESSAGE_TARGET_AD, 1).has_value());
    EXPECT_FALSE(chip_.notification_fd(FMB_MESSAGE_TARGET_AD, 3).has_value());
    EXPECT_EQ(chip_.peek(M30_REG_DMX_MSG_ENABLE(2)), 0xFu);
    EXPECT_EQ(chip_.peek(M30_REG_AD_MSG_ENABLE(1)), 0x3u);
    // The DMX block carries the audio PID of the active resource only.
    uint32_t w5 = chip_.peek(0x2000A200 + 5 * 4);
    EXPECT_EQ(w5 >> 16, 0x1E3u + 0x100u); // AUDIO1_PID
    EXPECT_EQ(chip_.peek(0x2000A200 + 6 * 4) >> 16, 0u); // AUDIO3_PID

    // A second start refuses: the input is not stopped.
    errno = 0;
    EXPECT_EQ(m30_channel_start(m, 1), -1);
    EXPECT_EQ(errno, EPERM);
    EXPECT_EQ(logs_.count("Input expected in stop state!"), 1);

    // Stop: input, then output, messages off for every bound resource.
    calls.seen.clear();
    chip_.reset_counts();
    ASSERT_EQ(m30_channel_stop(m, 1), 0);
    EXPECT_EQ(calls.seen, (std::vector<std::string>{"enc 1 2", "enc 1 1"}));
    EXPECT_EQ(chip_.peek(M30_REG_INPUT_STATE(2)), 1u);
    EXPECT_EQ(chip_.peek(M30_REG_OUTPUT_STATE(2)), 1u);
    EXPECT_FALSE(chip_.notification_fd(FMB_MESSAGE_TARGET_DMX, 2).has_value());
    EXPECT_EQ(chip_.peek(M30_REG_DMX_MSG_ENABLE(2)), 0u);
    EXPECT_EQ(chip_.ioctl_count(FMB_API_DISABLE_MESSAGE_NOTIFICATION), 4u); // DMX, VD, AD 1, AD 3

    // Stopping an idle channel issues nothing and reports nothing.
    calls.seen.clear();
    chip_.reset_counts();
    EXPECT_EQ(m30_channel_stop(m, 1), 0);
    EXPECT_EQ(chip_.ioctl_count(FMB_API_INPUT_STATE) + chip_.ioctl_count(FMB_API_OUTPUT_STATE) +
                  chip_.ioctl_count(FMB_API_DISABLE_MESSAGE_NOTIFICATION),
              0u);
    EXPECT_TRUE(calls.seen.empty());
    EXPECT_EQ(m30_channel_stop(m, 2), 0);
}

TEST_F(Decode, StartWithoutAStandardTouchesNothing)
{
    m->restart_channel[0] = true;
    EXPECT_EQ(m30_channel_start(m, 0), 0);
    EXPECT_FALSE(m->restart_channel[0]);
    EXPECT_TRUE(chip_.load_log().empty());
    EXPECT_TRUE(chip_.output_requests().empty());
    EXPECT_EQ(logs_.count("channel not started - video std required"), 1);
}

TEST_F(Decode, UhdStandardByChannelMode)
{
    // Multi-channel: the standard becomes 1080P50 before any block is built.
    m30_channel_set_vid_std(m, 0, M30_VIDSTD_2160P50_SQD);
    ASSERT_EQ(m30_channel_start(m, 0), 0);
    EXPECT_EQ(calls.seen, (std::vector<std::string>{"cfg 0 1", "pre 0"}));
    std::vector<uint32_t> vo = {0x20033000, 0x20033100, 0x20033200, 0x20033300};
    EXPECT_EQ(counter_writes(chip_.load_log(), vo), std::vector<uint32_t>{0x20033000});
    {
        std::ifstream f(root_.path() + "/tmp/kerrow_voparam_0.bin", std::ios::binary);
        std::vector<uint8_t> img{std::istreambuf_iterator<char>(f), {}};
        voparam vo{};
        ASSERT_EQ(voparam_from_bin(&vo, img.data(), img.size()), 0);
        EXPECT_EQ(voparam_get_vformat(&vo), m30_to_voparam_vidstd(M30_VIDSTD_1080P50));
    }
    m30_channel_stop(m, 0);

    // Single channel: four copies of the VO block, one per quadrant.
    m->multi_channel = false;
    chip_.clear_load_log();
    ASSERT_EQ(m30_channel_start(m, 0), 0);
    EXPECT_EQ(counter_writes(chip_.load_log(), vo), vo);
    EXPECT_TRUE(fs::exists(root_.path() + "/tmp/kerrow_voparam_3.bin"));
    // Channel 1 is not in use with one channel.
    m30_channel_set_vid_std(m, 1, M30_VIDSTD_1080P50);
    EXPECT_EQ(m30_channel_start(m, 1), -1);
    EXPECT_EQ(logs_.count("Invalid channel index. Channel not in use."), 1);
}

TEST_F(Decode, ErrorStateAbortsStartAndStop)
{
    m30_channel_set_vid_std(m, 0, M30_VIDSTD_1080I50);
    // The chip fails while the blocks load: the start ends after the output.
    m30_context_set_on_channel_prestart_check(
        m, [](void *c, int) { static_cast<m30sim::Chip *>(c)->poke(M30_REG_MAIN_STATE, 0xFFFFFFFFu); }, &chip_);
    errno = 0;
    EXPECT_EQ(m30_channel_start(m, 0), -1);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(logs_.count("Starting outputs...Error detected!!"), 1);
    EXPECT_TRUE(m->restart_channel[0]);
    calls.seen.clear();
    EXPECT_EQ(m30_channel_stop(m, 0), -1);
    EXPECT_EQ(logs_.count("Entering channel stop... Error detected!!"), 1);
    EXPECT_EQ(calls.seen, std::vector<std::string>{"enc 0 0"});
}

TEST_F(Decode, MaintenanceRestartsOneDecodeChannelPerCall)
{
    m30_channel_set_vid_std(m, 0, M30_VIDSTD_1080P50);
    m30_channel_set_vid_std(m, 1, M30_VIDSTD_720P50);
    ASSERT_TRUE(m->restart_channel[0] && m->restart_channel[1]);
    EXPECT_EQ(m30_context_maintain(m), 0);
    EXPECT_FALSE(m->restart_channel[0]);
    EXPECT_TRUE(m->restart_channel[1]);
    EXPECT_EQ(m30_context_maintain(m), 0);
    EXPECT_FALSE(m->restart_channel[1]);
    EXPECT_EQ(logs_.count("Restarting channel"), 2);
    EXPECT_EQ(chip_.peek(M30_REG_INPUT_STATE(2)), 2u);

    // A chip-wide change: stop all, report, prepare, restart those ON.
    m30_channel_set_startup(m, 1, M30_OFF);
    m30_set_ultra_low_latency(m, true);
    calls.seen.clear();
    logs_.clear();
    EXPECT_EQ(m30_context_maintain(m), 0);
    EXPECT_FALSE(m->prepare_needed);
    EXPECT_EQ(calls.seen.front(), "enc 0 2");
    EXPECT_NE(std::find(calls.seen.begin(), calls.seen.end(), "cfg 0 6"), calls.seen.end());
    EXPECT_EQ(logs_.count("Restarting channel"), 1);
    EXPECT_EQ(chip_.peek(M30_REG_INPUT_STATE(0)), 2u);
    EXPECT_EQ(chip_.peek(M30_REG_INPUT_STATE(2)), 1u);
    EXPECT_EQ(chip_.peek(M30_REG_MAIN_STATE), 4u);
}

TEST_F(Decode, SoftwareFedInput)
{
    uint8_t ts[188] = {0x47};
    EXPECT_EQ(m30_channel_send(m, 0, ts, sizeof ts, true, false), -1); // not a PCI-fed channel
    ASSERT_EQ(m30_channel_set_input_source(m, 0, true), 0);
    m30_channel_set_vid_std(m, 0, M30_VIDSTD_1080P50);
    ASSERT_EQ(m30_channel_start(m, 0), 0);
    ASSERT_GE(m->dec->fd_pci_input_ts[0], 0);
    EXPECT_EQ(chip_.bound_devices().count(0x800), 1u);
    EXPECT_EQ(m30_channel_send(m, 0, ts, sizeof ts, true, false), 0);
    EXPECT_EQ(chip_.ioctl_count(FMB_API_ENQUEUE_STREAM_DATA), 1u);
    EXPECT_EQ(m30_channel_send(m, 0, nullptr, 188, true, false), -1);
    EXPECT_EQ(m30_channel_send(m, 0, ts, 0, true, false), -1);
    m30_channel_stop(m, 0);
    errno = 0;
    EXPECT_EQ(m30_channel_send(m, 0, ts, sizeof ts, false, true), -1);
    EXPECT_EQ(errno, EPERM);
    // Switching back to the port closes the input device at the next start.
    m30_channel_set_input_source(m, 0, false);
    ASSERT_EQ(m30_channel_start(m, 0), 0);
    EXPECT_EQ(m->dec->fd_pci_input_ts[0], -1);
    EXPECT_EQ(chip_.bound_devices().count(0x800), 0u);
}

TEST_F(Ctx, EncodeStopWalksTheOutputThroughReadyToStop)
{
    m30_context *e = create(true);
    ASSERT_NE(e, nullptr);
    Calls calls;
    m30_context_set_on_encoder_status(e, Calls::enc, &calls);
    set_state(3);
    chip_.poke(M30_REG_INPUT_STATE(1), 2);
    chip_.poke(M30_REG_OUTPUT_STATE(1), 2);
    chip_.reset_counts();
    ASSERT_EQ(m30_channel_stop(e, 1), 0);
    auto out = chip_.output_requests();
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(out[0].state, 3u);
    EXPECT_EQ(out[1].state, 1u);
    EXPECT_EQ(out[1].output_id_bits, 1u << 1);
    // An encoder's input stops after its output.
    ASSERT_EQ(chip_.input_requests().size(), 1u);
    EXPECT_EQ(chip_.input_requests()[0].state, 1u);
    EXPECT_EQ(calls.seen, (std::vector<std::string>{"enc 1 2", "enc 1 1"}));
    // An output left in an impossible state is reported.
    chip_.poke(M30_REG_OUTPUT_STATE(2), 7);
    EXPECT_EQ(m30_channel_stop(e, 2), -1);
    EXPECT_EQ(logs_.count("Output state is INVALID"), 1);
}

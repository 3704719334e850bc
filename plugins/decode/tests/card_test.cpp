// The plug-in on a simulated decode card: start-up and tear-down, the
// cards it refuses, the restart after a failed chip context, the message
// queue, "frame run", "ccset" and "ccclear", the tick and the parameters.
#include "dec_harness.h"

#include <kerrow/alarm.h>
#include <kerrow/store.h>

#include <thread>

namespace {

using dectest::DecodeCard;

const char *kSockets[] = {"var/run/decode-0-unix.sock", "var/run/decode-1-unix.sock"};

TEST_F(DecodeCard, StartsOnADecodeCardAndLeavesNothingBehind)
{
    run_until([] { return true; }); // the loop's own descriptors exist from its first run
    const int fds = dectest::count_entries("/proc/self/fd");
    const int threads = dectest::count_entries("/proc/self/task");
    load();
    EXPECT_EQ(log_.count("[decode] Starting.."), 1);
    EXPECT_EQ(log_.count("[decode] KT-3300-A in UI slot 8 has a \"decode\" function"), 1);
    EXPECT_EQ(log_.count("[decode] M30 ready to decode"), 1);
    EXPECT_EQ(log_.count("[decode] Chn 0 set FPGA VidStd to: 720p5994"), 1);
    EXPECT_EQ(log_.count("[decode] Successfully started"), 1);
    EXPECT_NE(param("decode/decoders/dec_1/video_decode_error_details/video_conceal_count"), nullptr);
    EXPECT_EQ(value("decode/channel_mode"), "MULTI");
    for (unsigned ch = 0; ch < 2; ++ch) {
        EXPECT_EQ(tp_mode(ch), 0x8001) << ch; // matte and bars
        EXPECT_EQ(sdi_audio_source(ch), 0u) << ch; // muted
        EXPECT_EQ(dec().state[ch].fpga_fault_mode_enabled.load(), 1);
        EXPECT_EQ(dec().state[ch].video_display_in_fault.load(), 1);
    }
    EXPECT_EQ(m30_get_main_state(m30_ctx()), M30_MAIN_STATE_DECODE);
    ASSERT_TRUE(run_until([&] { return std::filesystem::exists(root_ / kSockets[1]); }));
    EXPECT_GT(dectest::count_entries("/proc/self/task"), threads);

    unload();
    EXPECT_EQ(log_.count("[decode] Stopped"), 1);
    EXPECT_EQ(param("decode/channel_mode"), nullptr);
    for (const char *s : kSockets)
        EXPECT_FALSE(std::filesystem::exists(root_ / s)) << s;
    EXPECT_EQ(m30_ctx(), nullptr);
    EXPECT_EQ(dectest::count_entries("/proc/self/task"), threads);
    EXPECT_EQ(dectest::count_entries("/proc/self/fd"), fds);
    EXPECT_EQ(chip_.open_handles(), 0u);
}

TEST_F(DecodeCard, AnIngressThreadThatDoesNotEndInTimeDefersTheUnload)
{
    load();
    ASSERT_TRUE(run_until([&] { return std::filesystem::exists(root_ / kSockets[1]); }));
    drain_queue();
    // The thread's last line waits for the queue's lock, held here past the
    // one-second join limit.
    pthread_mutex_lock(&dec().mqueue->mutex);
    kd_frame_unload_plugin("decode");
    EXPECT_EQ(log_.count("[decode] Ingress thread did not stop in time, stopping again later"), 1);
    EXPECT_EQ(log_.count("[decode] Stopped"), 0);
    EXPECT_NE(m30_ctx(), nullptr); // nothing the thread may use is gone
    EXPECT_NE(param("decode/channel_mode"), nullptr);
    pthread_mutex_unlock(&dec().mqueue->mutex);
    EXPECT_TRUE(run_until([&] { return param("decode/channel_mode") == nullptr; }));
    EXPECT_EQ(log_.count("[decode] Stopped"), 1);
    EXPECT_EQ(m30_ctx(), nullptr);
    loaded_ = false;
}

TEST_F(DecodeCard, OtherCardsLoadThePlugInButBuildNothing)
{
    struct Case {
        dectest::card_options card;
        const char *line;
    } cases[] = {
        {{.carrier = false}, "[decode] No carrier, did not start"},
        {{.model = "other"}, "is not \"KT-3300-*\", did not start"},
        {{.label = "encode"}, "[decode] KT-3300-A in UI slot 8 does not have a \"decode\" function, did not start"},
    };
    const int threads = dectest::count_entries("/proc/self/task");
    for (const Case &c : cases) {
        SCOPED_TRACE(c.line);
        frame_down();
        frame_up();
        log_.clear();
        load(c.card);
        EXPECT_EQ(log_.count(c.line), 1);
        EXPECT_EQ(log_.count("Starting.."), 0);
        EXPECT_EQ(param("decode/channel_mode"), nullptr);
        EXPECT_EQ(m30_ctx(), nullptr);
        EXPECT_EQ(dectest::count_entries("/proc/self/task"), threads);
        unload();
        EXPECT_FALSE(std::filesystem::exists(root_ / kSockets[0]));
    }
}

TEST_F(DecodeCard, AFailedChipContextRestartsTheServiceOncePerBoot)
{
    chip_.fail_open(ENODEV);
    load();
    EXPECT_EQ(log_.count("[decode] Failed to create m30 context: "), 1);
    EXPECT_EQ(log_.count("Successfully started"), 0);
    EXPECT_EQ(log_.count("[decode] Creating \"vorpt_initialized\" file and restarting solvera...."), 1);
    EXPECT_TRUE(std::filesystem::exists(root_ / "tmp/vorpt_initialized"));
    EXPECT_EQ(calls(), "systemctl --no-block --no-pager restart solvera.service\n");
    unload();
    log_.clear();
    load(); // the restarted service fails again: it stays idle
    EXPECT_EQ(log_.count("Service already restarted once since boot"), 1);
    EXPECT_EQ(calls(), "systemctl --no-block --no-pager restart solvera.service\n");
}

TEST_F(DecodeCard, QueueCarriesLinesFromAnyThreadInOrderAndDropsWhenFull)
{
    load();
    drain_queue();
    log_.clear();
    std::vector<std::thread> writers;
    for (int t = 0; t < 4; ++t)
        writers.emplace_back([t] {
            for (int i = 0; i < 90; ++i)
                EXPECT_EQ(decode_post_log(DEC_LOG_WARN, "writer %d line %d", t, i), 0);
        });
    for (auto &w : writers)
        w.join();
    drain_queue();
    for (int t = 0; t < 4; ++t) {
        int last = -1;
        for (const auto &l : log_.lines()) {
            int wt, line;
            if (std::sscanf(l.text.c_str(), "[decode] writer %d line %d", &wt, &line) == 2 && wt == t) {
                EXPECT_EQ(line, last + 1);
                EXPECT_EQ(l.priority, KD_LOG_WARNING);
                last = line;
            }
        }
        EXPECT_EQ(last, 89) << t;
    }
    // The queue holds 399 lines; once full, a line is lost. The plug-in's
    // own threads may take a few places meanwhile.
    int filled = 0;
    while (filled < 400 && decode_post_log(DEC_LOG_DEBUG, "fill %d", filled) == 0)
        ++filled;
    EXPECT_LE(filled, 399);
    EXPECT_GE(filled, 390);
    EXPECT_EQ(decode_post_log(DEC_LOG_ERROR, "lost"), -1);
    drain_queue();
    EXPECT_EQ(log_.count("lost"), 0);
    log_.clear();
    const std::string longer(150, 'x');
    decode_post_log(DEC_LOG_INFO, "%s", longer.c_str());
    drain_queue();
    ASSERT_EQ(log_.count("xxx"), 1);
    for (const auto &l : log_.lines())
        if (l.text.find("xxx") != std::string::npos) {
            EXPECT_EQ(l.text, "[decode] " + std::string(119, 'x') + "\n");
            EXPECT_EQ(l.priority, KD_LOG_NOTICE);
        }
}

TEST_F(DecodeCard, FrameRunTellsTheForwarderWhichChannelsNotToFeed)
{
    struct Case {
        const char *mode, *start0, *start1;
        std::vector<std::string> events;
    } cases[] = {
        {"MULTI", "ON", "ON", {}},
        {"MULTI", "ON", "OFF", {"disabled 1"}},
        {"SINGLE", "OFF", "ON", {"disabled 1", "disabled 0"}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.mode) + " " + c.start0 + " " + c.start1);
        frame_down();
        frame_up();
        load();
        // Before "frame run" the settings only change the records.
        EXPECT_EQ(set("decode/channel_mode", c.mode), PARAM_SET_SUCCESS);
        EXPECT_EQ(set("decode/decoders/dec_0/start_up", c.start0), PARAM_SET_SUCCESS);
        EXPECT_EQ(set("decode/decoders/dec_1/start_up", c.start1), PARAM_SET_SUCCESS);
        EXPECT_TRUE(events_.take().empty());
        run_until([] { return dec().frame_event_loop_is_running.load(); });
        EXPECT_EQ(events_.take(), c.events);
        // Once the loop runs, "Start Up" speaks at once.
        const bool on = std::string(c.start0) == "ON";
        set("decode/decoders/dec_0/start_up", on ? "OFF" : "ON");
        set("decode/decoders/dec_0/start_up", c.start0);
        const std::vector<std::string> toggled =
            on ? std::vector<std::string>{"disabled 0", "enabled 0"} : std::vector<std::string>{"enabled 0", "disabled 0"};
        EXPECT_EQ(events_.take(), toggled);
        unload();
    }
}

TEST_F(DecodeCard, CcAlarmsDisableAndReEnableAChannel)
{
    load();
    auto emit = [](const char *ev, uint32_t ch) { kd_cuvent_emit(nullptr, ev, &ch); };
    emit("ccset", 0);
    EXPECT_EQ(dec().conf[0].start_up.load(), 0);
    EXPECT_EQ(log_.count("[decode] DEC 1: cc alarm set"), 1);
    emit("ccclear", 0);
    EXPECT_EQ(dec().conf[0].start_up.load(), 1);
    EXPECT_EQ(log_.count("[decode] DEC 1: cc alarm clear"), 1);
    EXPECT_EQ(events_.take(), (std::vector<std::string>{"disabled 0", "enabled 0"}));

    set("decode/decoders/dec_1/start_up", "OFF");
    emit("ccset", 1);
    EXPECT_EQ(log_.count("[decode] DEC 2: Already disabled"), 1);
    emit("ccclear", 1);
    EXPECT_EQ(log_.count("[decode] DEC 2: Previously disabled, so do not start"), 1);
    EXPECT_EQ(dec().conf[1].start_up.load(), 0);
    emit("ccset", 2); // no such channel
    emit("ccclear", 7);
    EXPECT_TRUE(events_.take().empty());

    // From another thread, as the forwarder's multiplexer emits them.
    std::thread([&] { emit("ccset", 0); }).join();
    EXPECT_EQ(events_.take(), (std::vector<std::string>{"disabled 0"}));
}

TEST_F(DecodeCard, TemperatureAlarmIsRaisedAndClearedOnceEach)
{
    load();
    for (int t : {80, 81, 81, 80}) {
        board_->set16(0x3100, dectest::temp_raw(t));
        maintain(nullptr);
        EXPECT_EQ(value("decode/kt33_dec_temp"), std::to_string(t));
    }
    EXPECT_EQ(log_.count("Decoder temperature (81) exceeded alarm SET"), 1);
    EXPECT_EQ(log_.count("Decoder temperature (80) exceeded alarm CLEAR"), 1);
    EXPECT_EQ(log_.count("exceeded alarm"), 2);
    board_->set16(0x3100, 0); // a reading out of range leaves the alarm alone
    maintain(nullptr);
    EXPECT_EQ(value("decode/kt33_dec_temp"), "80");
}

TEST_F(DecodeCard, VideoRateIsSampledEverySixSeconds)
{
    load();
    for (int i = 0; i < 5; ++i)
        maintain(nullptr);
    dec().stats[0].vid_pkts_rx += 600;
    maintain(nullptr); // the sixth tick
    EXPECT_EQ(value("decode/decoders/dec_0/video_rate"), "148000");
    for (int i = 0; i < 6; ++i)
        maintain(nullptr);
    EXPECT_EQ(value("decode/decoders/dec_0/video_rate"), "0");
}

TEST_F(DecodeCard, AChipErrorStopsPreparesAndStartsTheChannels)
{
    load();
    log_.clear();
    chip_.poke(M30_REG_MAIN_STATE, 0xFFFFFFFFu); // the chip reports an error
    ASSERT_EQ(m30_get_main_state(m30_ctx()), M30_MAIN_STATE_ERROR);
    ASSERT_TRUE(m30_is_error(m30_ctx()));
    maintain(nullptr);
    EXPECT_EQ(log_.count("[decode] M30 error detected - attempting reset..."), 1);
    EXPECT_EQ(log_.count("[decode] M30 channel 0 stop failed"), 1);
    EXPECT_EQ(log_.count("M30 prepare failed"), 0);
    EXPECT_EQ(log_.count("start failed"), 0);
    EXPECT_FALSE(m30_is_error(m30_ctx()));
    EXPECT_EQ(m30_get_main_state(m30_ctx()), M30_MAIN_STATE_DECODE);
}

TEST_F(DecodeCard, ChipReportsReachTheChannelRecordsAndTheLog)
{
    load();
    // The chip starts channel 0 (as a new program will have it do).
    m30_channel_set_vid_std(m30_ctx(), 0, M30_VIDSTD_1080P50);
    ASSERT_EQ(m30_channel_start(m30_ctx(), 0), 0);
    m30sim::GeneratorConfig g;
    g.frame_period_us = 1000;
    g.buffer_levels = true;
    chip_.start_generator(g);
    EXPECT_TRUE(run_until([] {
        const decoder_stats &s = dec().stats[0];
        return s.m30_buf_ll > 0 && s.m30_buf_lh > 0 && s.m30_buf_hl > 0 && s.m30_buf_hh > 0;
    }));
    chip_.stop_generator();
    EXPECT_NE(value("decode/decoders/dec_0/video_buffer_level/video_buffer_ll"), "0");
    drain_queue();
    EXPECT_EQ(log_.count("[decode] Chn 0 M30 starting channel"), 1);
}

TEST_F(DecodeCard, WithOneChannelOnlyChannelZeroSwitches)
{
    load();
    set("decode/channel_mode", "SINGLE");
    EXPECT_EQ(value("decode/channel_mode"), "SINGLE");
    dec().state[1].fpga_fault_mode_enabled = 0; // channel 1 in fault but showing video
    maintain(nullptr);
    EXPECT_EQ(dec().state[1].fpga_fault_mode_enabled.load(), 0);
    EXPECT_EQ(log_.count("Chn 1 entering fault mode"), 0);
    EXPECT_EQ(value("decode/decoders/dec_1/video_decode_details/video_format"), "");
    set("decode/channel_mode", "MULTI");
    maintain(nullptr);
    EXPECT_EQ(log_.count("[decode] Chn 1 entering fault mode"), 1);
    EXPECT_EQ(tp_mode(1), 0x8001);
}

// Channel 1's status from before one-channel mode is gone once two channels run again.
TEST_F(DecodeCard, ChannelOneStartsAfreshAfterAOneChannelSpell)
{
    load();
    ASSERT_TRUE(run_until([] { return dec().frame_event_loop_is_running.load(); }));
    decoder_stats &s = dec().stats[1];
    s.set_service("Service B", "Provider A");
    s.svc_pgm_num = 2;
    s.vid_dec_info_ct = 250;
    s.buf_pkts_loss = 3;
    const std::string ch1 = "decode/decoders/dec_1/";
    ASSERT_EQ(value(ch1 + "service_name"), "Service B");
    ASSERT_EQ(set("decode/channel_mode", "SINGLE"), PARAM_SET_SUCCESS);
    ASSERT_EQ(set("decode/channel_mode", "MULTI"), PARAM_SET_SUCCESS);
    for (const char *route : {"service_name", "service_provider"})
        EXPECT_EQ(value(ch1 + route), "") << route;
    for (const char *route :
         {"program_number", "video_decode_details/video_decode_frames", "audio_decode_details/audio_buffer_loss"})
        EXPECT_EQ(value(ch1 + route), "0") << route;
}

TEST_F(DecodeCard, ParametersRefuseBadValuesWithAClearError)
{
    load();
    struct Case {
        const char *route, *text, *error;
    } bad[] = {
        {"decode/channel_mode", "DUAL", "Channel Mode: \"DUAL\" refused, the value must be one of: SINGLE, MULTI"},
        {"decode/uhd_mode", "4K", "UHD Mode: \"4K\" refused, the value must be one of: SQD, 2SI"},
        {"decode/decoders/dec_0/start_up", "on", "Start Up: \"on\" refused, the value must be one of: OFF, ON"},
        {"decode/decoders/dec_1/restart_audio", "No", "Restart Audio: \"No\" refused, the value must be one of: Yes"},
        {"decode/decoders/dec_1/fault_vidstd", "1080P60", "Fault VidStd: \"1080P60\" refused"},
    };
    for (const Case &c : bad) {
        SCOPED_TRACE(c.route);
        log_.clear();
        EXPECT_EQ(set(c.route, c.text), PARAM_SET_FAILURE);
        EXPECT_EQ(log_.count(c.error), 1);
    }
    EXPECT_EQ(set("decode/decoders/dec_1/restart_audio", "Yes"), PARAM_SET_SUCCESS);
    log_.clear();
    EXPECT_EQ(set("decode/channel_mode", "MULTI"), PARAM_SET_SUCCESS); // already: nothing happens
    EXPECT_EQ(log_.count("Decoder setting channel mode"), 0);
    EXPECT_EQ(value("decode/decoders/dec_0/stream_detected"), "No");
    EXPECT_EQ(value("decode/decoders/dec_0/fault_mode"), "Yes");
    EXPECT_EQ(value("decode/decoders/dec_0/data_path_fault"), "1");
    EXPECT_EQ(value("decode/decoders/dec_0/audio_decode_details/audio_streams/aud_st_7/type"), "");
    EXPECT_EQ(value("decode/decoders/dec_0/video_buffer_level/video_buffer_hh"), "0");
}

TEST_F(DecodeCard, SavedSettingsSurviveAReload)
{
    load();
    set("decode/channel_mode", "SINGLE");
    set("decode/uhd_mode", "2SI");
    set("decode/decoders/dec_1/start_up", "OFF");
    set("decode/decoders/dec_0/fault_vidstd", "1080I50");
    unload(); // the store keeps what was set (written to its file by the framework)
    log_.clear();
    load();
    EXPECT_EQ(value("decode/channel_mode"), "SINGLE");
    EXPECT_EQ(value("decode/uhd_mode"), "2SI");
    EXPECT_EQ(value("decode/decoders/dec_1/start_up"), "OFF");
    EXPECT_EQ(value("decode/decoders/dec_0/start_up"), "ON");
    EXPECT_EQ(value("decode/decoders/dec_0/fault_vidstd"), "1080I50");
    EXPECT_EQ(log_.count("[decode] Chn 0 set FPGA VidStd to: 1080i25"), 1);
}

} // namespace

// The decoder plug-in's entry points: start-up and tear-down in their
// fixed order, the codec-chip callbacks, the events "frame run", "ccset"
// and "ccclear", and the message queue from the plug-in's threads to the
// loop.
#include "anc.h"
#include "decode_internal.h"
#include <kerrow/command.h>

#include <fpga.h>
#include <i2c_kt33.h>
#include <spi_kt33.h>

#include <kerrow/alarm.h>
#include <kerrow/carrier.h>
#include <kerrow/cuvent.h>
#include <kerrow/frame.h>
#include <kerrow/log.h>
#include <kerrow/path.h>
#include <kerrow/pipe.h>
#include <kerrow/plugin.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <fcntl.h>
#include <unistd.h>

namespace {

// The plug-in's records: reset by decode_init; they hold no resources of
// their own (the tear-down releases what they point to).
decoder g_dec;

constexpr const char *kMarker = "/tmp/vorpt_initialized";
constexpr unsigned kAudioPipeEntries = 8192;
constexpr unsigned kTsPacket = 188;
constexpr unsigned kQueueEntries = 400;

const fault_std kFaultStds[] = {
    {"480I5994", M30_VIDSTD_480I5994, 720, 480, 29.97, false},
    {"576I50", M30_VIDSTD_576I50, 720, 576, 50.0, false},
    {"720P5994", M30_VIDSTD_720P5994, 1280, 720, 59.94, true},
    {"720P50", M30_VIDSTD_720P50, 1280, 720, 50.0, true},
    {"1080I5994", M30_VIDSTD_1080I5994, 1920, 1080, 29.97, false},
    {"1080I50", M30_VIDSTD_1080I50, 1920, 1080, 50.0, false},
    {"1080P5994", M30_VIDSTD_1080P5994, 1920, 1080, 59.94, true},
    {"1080P50", M30_VIDSTD_1080P50, 1920, 1080, 50.0, true},
};

#define DLOG(prio, fmt, ...) KD_LOG(prio, "[%s] " fmt, decode_name() __VA_OPT__(, ) __VA_ARGS__)

// ---- codec-chip callbacks (chip's message thread) ----

void on_log(void *, int chn, m30_log_type type, const char *fmt, ...)
{
    dec_log_level level;
    switch (type) {
    case M30_LOG_DEBUG: level = DEC_LOG_DEBUG; break;
    case M30_LOG_INFO: level = DEC_LOG_INFO; break;
    case M30_LOG_WARN: level = DEC_LOG_WARN; break;
    case M30_LOG_ERROR: level = DEC_LOG_ERROR; break;
    default: return;
    }
    char buf[1024];
    int n = chn < 0 ? std::snprintf(buf, sizeof buf, "M30 ") : std::snprintf(buf, sizeof buf, "Chn %u M30 ", unsigned(chn));
    va_list ap;
    va_start(ap, fmt);
    std::vsnprintf(buf + n, sizeof buf - size_t(n), fmt ? fmt : "", ap);
    va_end(ap);
    decode_post_log(level, "%s", buf);
}

void on_channel_prestart_check(void *, int chn)
{
    if (chn < 0 || unsigned(chn) >= DEC_CHANNELS)
        return;
    decode_post_log(DEC_LOG_INFO, "Chn %u M30 starting channel", unsigned(chn));
    decode_ingress_reset_monitor(unsigned(chn));
    decoder_stats &s = dec().stats[chn];
    s.m30_buf_ll = 0, s.m30_buf_lh = 0, s.m30_buf_hl = 0, s.m30_buf_hh = 0;
}

void on_buffer_level(void *, uint8_t chn, m30_dec_buf_level level)
{
    if (chn >= DEC_CHANNELS)
        return;
    decoder_stats &s = dec().stats[chn];
    switch (level) {
    case M30_BELOW_LEVEL_LL: ++s.m30_buf_ll; break;
    case M30_BELOW_LEVEL_LH: ++s.m30_buf_lh; break;
    case M30_ABOVE_LEVEL_HL: ++s.m30_buf_hl; break;
    case M30_ABOVE_LEVEL_HH: ++s.m30_buf_hh; break;
    default: break;
    }
}

void on_video_decoding(void *, uint8_t chn, uint8_t pts_hi, uint32_t pts_lo)
{
    if (chn < DEC_CHANNELS)
        decode_audio_video_pts(chn, uint64_t(pts_hi) << 32 | pts_lo);
}

// ---- events ----

void on_frame_run(cuvent_wrapper *)
{
    decoder &d = dec();
    d.frame_event_loop_is_running = true;
    if (!(decode_parameters_get_num_chns() > 1 && d.conf[1].start_up))
        decode_emit_channel(EV_CHANNEL_DISABLED, 1);
    if (!d.conf[0].start_up)
        decode_emit_channel(EV_CHANNEL_DISABLED, 0);
}

// The forwarder's multiplexer thread emits these; they touch only the
// two settings and emit on that thread.
bool event_channel(cuvent_wrapper *w, unsigned &ch)
{
    if (!w || !w->emit_ctx)
        return false;
    std::memcpy(&ch, w->emit_ctx, sizeof ch);
    return ch < DEC_CHANNELS;
}

void onCcAlarmSet(cuvent_wrapper *w)
{
    unsigned ch;
    if (!event_channel(w, ch))
        return;
    decoder_conf &c = dec().conf[ch];
    const int was = c.start_up.load();
    c.previous_state = was;
    if (!was) {
        DLOG(KD_LOG_NOTICE, "DEC %u: Already disabled\n", ch + 1);
        return;
    }
    c.start_up = 0;
    DLOG(KD_LOG_NOTICE, "DEC %u: cc alarm set\n", ch + 1);
    decode_emit_channel(EV_CHANNEL_DISABLED, ch);
}

void onCcAlarmClear(cuvent_wrapper *w)
{
    unsigned ch;
    if (!event_channel(w, ch))
        return;
    decoder_conf &c = dec().conf[ch];
    if (!c.previous_state) {
        DLOG(KD_LOG_NOTICE, "DEC %u: Previously disabled, so do not start\n", ch + 1);
        return;
    }
    c.start_up = 1;
    DLOG(KD_LOG_NOTICE, "DEC %u: cc alarm clear\n", ch + 1);
    decode_emit_channel(EV_CHANNEL_ENABLED, ch);
}

// ---- start-up steps ----

void apply_fault_std(unsigned ch)
{
    decoder &d = dec();
    const fault_std &f = decode_fault_std(d.conf[ch].fault_vidstd);
    const int ip = f.progressive ? IP_PROGRESSIVE : IP_INTERLACED;
    const DecAudHdrS352VidInfo info{int(ch), int(f.width), int(f.height), ip, ip, f.rate, 1, 1, 1};
    ancS352mUpdate(d.kt3300, &info);
    kt33_tpvidstd tp;
    if (!decode_tpvidstd_for(f.chip, tp) || !d.kt3300) {
        DLOG(KD_LOG_WARNING, "Chn %u unable to set FPGA VidStd for: %s\n", ch, m30_vidstd_strings[f.chip]);
        return;
    }
    kt3300_testpattern_set_text_position(d.kt3300, ch, 0, 0);
    kt3300_testpattern_set_vidstd(d.kt3300, ch, tp, true, true);
    decode_tstpat_set_text(ch, tp);
    DLOG(KD_LOG_INFO, "Chn %u set FPGA VidStd to: %s\n", ch, strings_testpat[tp] ? strings_testpat[tp] : "?");
}

void register_spi(const char *name, void *window)
{
    if (spi_kt33_open(window) < 0) {
        DLOG(KD_LOG_INFO, "Unable to open KT-3300 SPI controller\n");
        return;
    }
    DLOG(KD_LOG_INFO, "%s registering SPI devices on KM-40x IO module(s)..\n", name);
    for (unsigned i = 0; i < 6; ++i) {
        const bool found = spi_kt33_get_dev_detected(i) > 0;
        const bool out = i < 4;
        DLOG(KD_LOG_INFO, "I/O[%u] SPI %s, readback= 0x%x%s%s\n", i + 1, found ? "found" : "missing",
             unsigned(spi_kt33_get_dev_id(i)), found ? ", setting direction to " : "",
             found ? (out ? "output" : "input") : "");
        if (found)
            out ? spi_kt33_set_xcvr_to_output(i) : spi_kt33_set_xcvr_to_input(i);
    }
}

// The service restart happens once per boot: the marker, which lives
// until the operating system restarts, says it was already asked for.
void restart_service()
{
    const std::string marker = kd::rooted(kMarker);
    if (access(marker.c_str(), F_OK) == 0) {
        DLOG(KD_LOG_ERR, "Service already restarted once since boot (\"%s\" present), staying idle\n",
             "vorpt_initialized");
        return;
    }
    DLOG(KD_LOG_NOTICE, "Creating \"vorpt_initialized\" file and restarting solvera....\n");
    sleep(1);
    const int fd = open(marker.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0)
        DLOG(KD_LOG_ERR, "Cannot create \"%s\": %s\n", marker.c_str(), std::strerror(errno));
    else
        close(fd);
    kd::run_command({"/bin/systemctl", "--no-block", "--no-pager", "restart", "solvera.service"});
}

// Returns false when the ingress thread did not end in time: nothing it
// uses is released and the tear-down is to be tried again.
bool teardown(int restart)
{
    decoder &d = dec();
    DLOG(KD_LOG_INFO, "Stopping..\n");
    if (decode_ingress_dtor() < 0) {
        DLOG(KD_LOG_ERR, "Ingress thread did not stop in time, stopping again later\n");
        return false;
    }
    bool audio_ended = true;
    for (unsigned ch = 0; ch < DEC_CHANNELS; ++ch) {
        audio_ended = decode_audio_dtor(ch) == 0 && audio_ended;
        d.stats[ch].zero();
    }
    if (!audio_ended) {
        DLOG(KD_LOG_ERR, "Audio threads did not stop in time, stopping again later\n");
        return false;
    }
    if (d.has_lmk) {
        if (decode_clkmgr_dtor() < 0) {
            DLOG(KD_LOG_ERR, "Clock manager thread did not stop in time, stopping again later\n");
            return false;
        }
        i2c_kt33_pclk_close();
        d.has_lmk = false;
    }
    if (d.m30) {
        m30_channel_stop(d.m30, 0);
        m30_channel_stop(d.m30, 1);
    }
    for (kd_pipe_t *&p : d.audio_decode_feed) {
        kd_pipe_dtor(p);
        p = nullptr;
    }
    if (d.kt3300) {
        spi_kt33_close();
        kt3300_free(d.kt3300);
        d.kt3300 = nullptr;
    }
    if (d.m30) {
        m30_context_destroy(d.m30);
        d.m30 = nullptr;
    }
    if (d.mqueue) {
        kd_mqueue_dtor(d.mqueue);
        d.mqueue = nullptr;
    }
    if (d.anc_ready) {
        ancDecFini();
        d.anc_ready = false;
    }
    if (d.fpga_ready) {
        fpgaFini();
        d.fpga_ready = false;
    }
    d.running = false;
    DLOG(KD_LOG_INFO, "Stopped\n");
    if (restart)
        restart_service();
    return true;
}

// Steps 8 onwards; false when a step failed (the caller tears down).
bool start(carrier_node *self, const char *name, unsigned slot, int &restart)
{
    decoder &d = dec();
    d.mqueue = kd_mqueue_ctor(kQueueEntries, [](kd_mqueue_entry *e) { handle_mqueue_msgs(e); });
    if (!d.mqueue) {
        DLOG(KD_LOG_ERR, "Failed to create a message queue\n");
        return false;
    }
    d.m30 = m30_context_create(0, false);
    if (!d.m30) {
        DLOG(KD_LOG_ERR, "Failed to create m30 context: %s\n", std::strerror(errno));
        restart = 1;
        return false;
    }
    m30_context_set_on_log(d.m30, on_log, nullptr);
    m30_context_set_on_channel_prestart_check(d.m30, on_channel_prestart_check, nullptr);
    m30_context_set_on_buffer_level(d.m30, on_buffer_level, nullptr);
    m30_context_set_on_video_decoding(d.m30, on_video_decoding, nullptr);
    char fw[50] = {}, drv[50] = {};
    m30_driver_ver dv = M30_DRIVER_VER_OTHER;
    if (m30_context_get_firmware_version(d.m30, fw, sizeof fw) < 0) {
        DLOG(KD_LOG_ERR, "Failed to get m30 firmware version\n");
        restart = 1;
        return false;
    }
    if (m30_context_get_driver_version(d.m30, &dv, drv, sizeof drv) < 0) {
        DLOG(KD_LOG_ERR, "Failed to get m30 driver version\n");
        restart = 1;
        return false;
    }
    DLOG(KD_LOG_NOTICE, "M30 Firmware: %s Driver: %s [%s]\n", fw, drv,
         dv == M30_DRIVER_VER_V3 ? "v3" : dv == M30_DRIVER_VER_V7 ? "v7" : "other");

    for (decoder_stats &s : d.stats)
        s.zero();
    decode_parameters_setup();

    d.kt3300 = kt3300_alloc();
    if (!d.kt3300) {
        DLOG(KD_LOG_ERR, "Failed to create KT-3300 object\n");
        return false;
    }
    if (kt3300_open(d.kt3300) < 0) {
        DLOG(KD_LOG_ERR, "Failed to open KT-3300 object\n");
        return false;
    }
    for (kd_pipe_t *&p : d.audio_decode_feed)
        p = kd_pipe_ctor(kAudioPipeEntries, kTsPacket);
    if (!d.audio_decode_feed[0] || !d.audio_decode_feed[1]) {
        DLOG(KD_LOG_ERR, "Failed to create audio decoder pipes\n");
        return false;
    }
    if (kt3300_set_sdi_control(d.kt3300, d.is_inverted, false) < 0) {
        DLOG(KD_LOG_ERR, "Failed to setup SDI outputs in the FPGA\n");
        return false;
    }
    void *window = kt3300_get_artix_base_addr(d.kt3300);
    register_spi(name, window);
    if (i2c_kt33_pclk_open(window) < 0) {
        DLOG(KD_LOG_INFO, "I2C controller open failed, unable to detect LMK clock generator\n");
    } else {
        DLOG(KD_LOG_INFO, "%s in UI slot %u registering LMK clock generator..\n", name, slot);
        i2c_kt33_pclk_init(1, 1);
        d.has_lmk = true;
        DLOG(KD_LOG_INFO, "LMK clock generator initialized OK, 148.35 MHz for both\n");
    }
    if (m30_prepare(d.m30) < 0) {
        DLOG(KD_LOG_ERR, "Failed to prepare M30 for decode\n");
        return false;
    }
    if (m30_is_error(d.m30)) {
        DLOG(KD_LOG_ERR, "Failed, M30 decode in error state\n");
        return false;
    }
    DLOG(KD_LOG_INFO, "M30 ready to decode\n");
    for (unsigned ch = 0; ch < DEC_CHANNELS; ++ch)
        apply_fault_std(ch);
    for (unsigned ch = 0; ch < DEC_CHANNELS; ++ch) {
        d.state[ch].video_display_in_fault = 1;
        d.state[ch].fpga_fault_mode_enabled = 1;
        if (kt3300_testpattern_set_mode(d.kt3300, ch, true, false, true) < 0) {
            DLOG(KD_LOG_ERR, "Failed to set decode test pattern\n");
            return false;
        }
        kt3300_audio_sdi_out_source_select(d.kt3300, ch, KT33_AUD_SDI_OUT_SRC_MUTED);
    }
    if (d.has_lmk && decode_clkmgr_ctor(window) == 0) {
        // Each output is clocked for its fault pattern until video arrives.
        for (unsigned ch = 0; ch < DEC_CHANNELS; ++ch)
            decode_clkmgr_set_vidstd_freq(ch, decode_vidstd_pixel_clock(decode_fault_std(d.conf[ch].fault_vidstd).chip));
    }
    if ((d.has_lmk && !decode_clkmgr_running()) || decode_audio_ctor(0) < 0 || decode_audio_ctor(1) < 0 ||
        decode_ingress_ctor() < 0) {
        DLOG(KD_LOG_ERR, "Failed to construct clkmgr, audio, or ingress\n");
        return false;
    }
    std::snprintf(d.carrier.name, sizeof d.carrier.name, "%s", kd_carrier_get_slot_name(self));
    std::snprintf(d.temp_alarm_name, sizeof d.temp_alarm_name, "%.11s temperature threshold xxceeded", d.carrier.name);
    kd_alarm_register(d.temp_alarm_name, "Carrier temperature exceeds 80 C");
    kd_frame_timeout_register("decode", maintain, nullptr, 1.0, 1, d.pli);
    kd_cuvent_register_onetime_cb(d.pli, "frame run", on_frame_run, nullptr, CUVFLT_NONE);
    kd_cuvent_register_cb(d.pli, "ccset", onCcAlarmSet, nullptr, CUVFLT_NONE);
    kd_cuvent_register_cb(d.pli, "ccclear", onCcAlarmClear, nullptr, CUVFLT_NONE);
    return true;
}

} // namespace

// ---- shared records ----

decoder &dec() { return g_dec; }

const char *decode_name()
{
    const plugin_load_info *pli = g_dec.pli;
    return pli && pli->name ? pli->name : "decode";
}

const fault_std &decode_fault_std(int index)
{
    return kFaultStds[index >= 0 && index < 7 ? index : 7];
}

void decode_emit_channel(const char *event, unsigned ch)
{
    uint32_t copy = ch; // valid only during the emit
    kd_cuvent_emit(dec().pli, event, &copy);
}

extern "C" m30_context *m30_ctx(void) noexcept { return g_dec.m30; }

extern "C" int decode_post_log(dec_log_level level, const char *fmt, ...) noexcept
{
    kd_mqueue *q = g_dec.mqueue;
    if (!q)
        return -1;
    auto *rec = static_cast<log_write_data *>(std::malloc(sizeof(log_write_data)));
    if (!rec)
        return -1;
    rec->level = level;
    va_list ap;
    va_start(ap, fmt);
    std::vsnprintf(rec->log, sizeof rec->log, fmt, ap); // cut to 119 characters
    va_end(ap);
    const kd_mqueue_entry e{DEC_MSG_LOG_WRITE, rec};
    if (kd_mqueue_write(q, &e) != 0) {
        std::free(rec);
        return -1;
    }
    return 0;
}

void handle_mqueue_msgs(kd_mqueue_entry *e) noexcept
{
    if (!e || !e->data)
        return;
    switch (e->type) {
    case DEC_MSG_LOG_WRITE: {
        const auto *l = static_cast<const log_write_data *>(e->data);
        const int prio = l->level == DEC_LOG_ERROR  ? KD_LOG_ERR
                         : l->level == DEC_LOG_WARN ? KD_LOG_WARNING
                         : l->level == DEC_LOG_INFO ? KD_LOG_NOTICE
                                                    : KD_LOG_INFO;
        char text[DEC_LOG_TEXT];
        std::memcpy(text, l->log, sizeof text);
        text[sizeof text - 1] = '\0';
        DLOG(prio, "%s\n", text);
        break;
    }
    case DEC_MSG_PID_INFO:
        decode_program_on_pid_info(*static_cast<const pid_info_data *>(e->data));
        break;
    case DEC_MSG_VID_INFO:
        decode_program_on_vid_info(*static_cast<const video_info_data *>(e->data));
        break;
    default:
        break;
    }
}

void decode_fini_local(int restart) noexcept { teardown(restart); }

void decode_init_impl(plugin_load_info *pli) noexcept
{
    decoder &d = dec();
    if (d.running || d.mqueue) // a second init without fini: keep what runs
        return;
    d.pli = pli;
    d.frame_event_loop_is_running = false;
    d.temp_alarm_state = 0;
    d.lapse_secs = 0;
    decode_parameters_reset();
    for (decoder_state &s : d.state) {
        s.is_stream = 0, s.dp_in_fault = 1, s.video_display_in_fault = 0, s.video_codec_in_fault = 0;
        s.fpga_fault_mode_enabled = 0;
    }

    carrier_node *self = kd_carrier_get_self();
    if (!self) {
        DLOG(KD_LOG_INFO, "No carrier, did not start\n");
        return;
    }
    const unsigned slot = kd_carrier_get_slot(self);
    if (!kd_carrier_is_compatible(self, "KT-3300")) {
        DLOG(KD_LOG_INFO, "Carrier in UI slot %u is not \"KT-3300-*\", did not start\n", slot);
        return;
    }
    const char *cname = kd_carrier_get_name(self);
    const std::string name = cname && *cname ? cname : "KT-3300";
    char label[64] = {};
    if (kd_carrier_get_function_label(self, label, sizeof label) < 0 || std::strcmp(label, "decode") != 0) {
        DLOG(KD_LOG_INFO, "%s in UI slot %u does not have a \"decode\" function, did not start\n", name.c_str(), slot);
        return;
    }
    DLOG(KD_LOG_INFO, "Starting..\n");
    DLOG(KD_LOG_INFO, "%s in UI slot %u has a \"decode\" function\n", name.c_str(), slot);
    d.is_inverted = !kd_carrier_is_lower_row(self);
    d.fpga_ready = fpgaInit() >= 0;
    ancCarrierSetLowerRow(!d.is_inverted);
    d.anc_ready = ancDecInit() >= 0;

    int restart = 0;
    if (!start(self, name.c_str(), slot, restart)) {
        teardown(restart);
        return;
    }
    d.running = true;
    DLOG(KD_LOG_INFO, "Successfully started\n");
}

cuvent_action decode_fini_impl() noexcept { return teardown(0) ? CUVACT_SUCCESS : CUVACT_DEFER; }

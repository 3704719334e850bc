// The 1-second "decode" tick on the loop thread: drains the message
// queue, switches each channel between decoded video and the fault test
// pattern, resets the chip after an error, samples the chip's counters
// every six seconds and follows the carrier temperature.
#include "decode_internal.h"

#include <kerrow/alarm.h>
#include <kerrow/log.h>
#include <kerrow/pipe.h>

#define DLOG(prio, fmt, ...) KD_LOG(prio, "[%s] " fmt, decode_name() __VA_OPT__(, ) __VA_ARGS__)

namespace {

constexpr unsigned kSampleTicks = 6;

void show_fault(unsigned ch, bool in_fault)
{
    decoder &d = dec();
    decoder_state &s = d.state[ch];
    if (in_fault && !s.fpga_fault_mode_enabled) {
        DLOG(KD_LOG_NOTICE, "Chn %u entering fault mode\n", ch);
        s.fpga_fault_mode_enabled = 1;
        kt3300_testpattern_set_mode(d.kt3300, ch, true, false, true);
        kt3300_audio_sdi_out_source_select(d.kt3300, ch, KT33_AUD_SDI_OUT_SRC_MUTED);
        for (audio_stream_stats &a : d.stats[ch].audio_streams)
            a.is_active = false, a.type = AUDIO_CODEC_NONE, a.frames_tx = 0, a.bit_rate = 0;
        d.stats[ch].svc_pgm_num = 0;
    } else if (!in_fault && s.fpga_fault_mode_enabled) {
        DLOG(KD_LOG_NOTICE, "Chn %u exiting fault mode\n", ch);
        s.fpga_fault_mode_enabled = 0;
        kt3300_testpattern_set_mode(d.kt3300, ch, false, false, false);
        kt3300_audio_sdi_out_source_select(d.kt3300, ch, KT33_AUD_SDI_OUT_SRC_UIO);
    }
}

// One reset attempt; false when the tick ends here.
bool reset_chip(unsigned n)
{
    decoder &d = dec();
    DLOG(KD_LOG_WARNING, "M30 error detected - attempting reset...\n");
    for (unsigned ch = 0; ch < n; ++ch)
        if (m30_channel_stop(d.m30, int(ch)) < 0)
            DLOG(KD_LOG_WARNING, "M30 channel %u stop failed\n", ch);
    if (m30_prepare(d.m30) < 0) {
        DLOG(KD_LOG_WARNING, "M30 prepare failed\n");
        return false;
    }
    for (unsigned ch = 0; ch < n; ++ch)
        if (m30_channel_start(d.m30, int(ch)) < 0) {
            DLOG(KD_LOG_WARNING, "M30 channel %u start failed\n", ch);
            return false;
        }
    return true;
}

void sample_counters(unsigned n)
{
    decoder &d = dec();
    const unsigned lapse = d.lapse_secs;
    for (unsigned ch = 0; ch < n; ++ch) {
        decoder_stats &s = d.stats[ch];
        s.vid_dec_info_ct = int(m30_get_dec_msg_count_vd_info(d.m30, int(ch)));
        s.vid_dec_err_ct = int(m30_get_dec_msg_count_vd_err(d.m30, int(ch)));
        s.vid_dmx_err_ct = int(m30_get_dec_msg_count_dmx_err(d.m30, int(ch)));
        // 1480 bits of video payload per 188-byte packet.
        const uint32_t rx = s.vid_pkts_rx.load(std::memory_order_relaxed);
        s.vid_pkts_rate = int(uint32_t(1480u * (rx - s.vid_pkts_prev_rx)) / lapse);
        s.vid_pkts_prev_rx = rx;
        if (m30_decode_has_vd_errors(d.m30, int(ch)))
            m30_get_dec_vd_error_info(d.m30, int(ch), &s.vdec_es, false);
        if (m30_decode_has_dmx_errors(d.m30, int(ch)))
            m30_get_dec_dmx_error_info(d.m30, int(ch), &s.vdmx_es, false);
    }
}

void follow_temperature()
{
    decoder &d = dec();
    int t = 0;
    if (!d.kt3300 || kt3300_get_die_temp(d.kt3300, &t) < 0)
        return;
    if (t > DEC_TEMP_THRESHOLD_C) {
        if (d.temp_alarm_state == ALARM_INACTIVE) {
            d.temp_alarm_state = ALARM_ACTIVE;
            kd_alarm_detected(d.temp_alarm_name, ALARM_ACTIVE);
            DLOG(KD_LOG_WARNING, "%s Decoder temperature (%d) exceeded alarm SET\n", d.carrier.name, t);
        }
    } else if (d.temp_alarm_state == ALARM_ACTIVE) {
        d.temp_alarm_state = ALARM_INACTIVE;
        kd_alarm_detected(d.temp_alarm_name, ALARM_INACTIVE);
        DLOG(KD_LOG_NOTICE, "%s Decoder temperature (%d) exceeded alarm CLEAR\n", d.carrier.name, t);
    }
    d.carrier.temperature_c = t;
}

} // namespace

bool channel_in_fault(unsigned ch)
{
    const decoder_state &s = dec().state[ch];
    return decode_ingress_is_in_fault(ch) || s.video_display_in_fault || s.video_codec_in_fault;
}

void maintain(void *) noexcept
{
    decoder &d = dec();
    if (d.mqueue)
        kd_mqueue_read_periodic(d.mqueue);
    const unsigned n = decode_parameters_get_num_chns();
    for (unsigned ch = 0; ch < n; ++ch) {
        show_fault(ch, channel_in_fault(ch));
        decode_clkmgr_chk_update_freq(ch);
    }
    if (!d.m30)
        return;
    if (m30_is_error(d.m30) && !reset_chip(n))
        return;
    if (d.lapse_secs++ >= kSampleTicks - 1) {
        sample_counters(n);
        d.lapse_secs = 0;
    }
    follow_temperature();
    m30_context_maintain(d.m30);
}

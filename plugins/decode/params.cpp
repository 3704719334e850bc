// The "decode" parameter tree: four saved settings, one action per
// channel and the status read from the plug-in's records and the chip.
#include "decode_internal.h"

#include <kerrow/cuvent.h>
#include <kerrow/log.h>
#include <kerrow/param.h>
#include <kerrow/ref.h>
#include <kerrow/store.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <string>

#define DLOG(prio, fmt, ...) KD_LOG(prio, "[%s] " fmt, decode_name() __VA_OPT__(, ) __VA_ARGS__)

namespace {

const char *argsDEC_CFG_CHMODE[] = {"SINGLE", "MULTI", nullptr};
const char *argsDEC_UHDMODE[] = {"SQD", "2SI", nullptr};
const char *argsSTARTUP[] = {"OFF", "ON", nullptr};
const char *argsFAULT_VIDSTD[] = {"480I5994", "576I50", "720P5994", "720P50", "1080I5994", "1080I50", "1080P5994",
                                  "1080P50", nullptr};
const char *no_yes_strings[] = {"No", "Yes", nullptr};
const char *inactive_strings[] = {"Inactive", "Active", nullptr};
const char *yes_string[] = {"Yes", nullptr};
const char *audio_codec_strings[] = {"", "MPEG1 L2 03", "MPEG2 L2 04", "AAC-LC", "AAC- HEv1", "AAC-HEv2",
                                     "DD AC3 81", "DD AC3 06", "Other", nullptr};
constexpr const char *none_string = "";

unsigned num_channels = 2;
decode_uhd_mode uhd_mode = DECODE_UHD_SQD;
char video_decoding_text[DEC_CHANNELS][64];

// What a status leaf shows: a field of a channel's records.
struct binding {
    enum kind { ATOMIC_INT, ATOMIC_U32, PLAIN_INT, PLAIN_U32, ATOMIC_BOOL } k;
    const void *field;
    unsigned ch;
    int value() const
    {
        switch (k) {
        case ATOMIC_INT: return static_cast<const std::atomic<int> *>(field)->load(std::memory_order_relaxed);
        case ATOMIC_U32:
            return int(static_cast<const std::atomic<uint32_t> *>(field)->load(std::memory_order_relaxed) & INT_MAX);
        case PLAIN_INT: return *static_cast<const int *>(field);
        case PLAIN_U32: return int(*static_cast<const uint32_t *>(field) & INT_MAX);
        case ATOMIC_BOOL: return static_cast<const std::atomic<bool> *>(field)->load(std::memory_order_relaxed);
        }
        return 0;
    }
};
// Nodes keep pointers into this; a deque never moves its elements.
std::deque<binding> g_bindings;

binding *bind(const std::atomic<int> &f, unsigned ch) { return &g_bindings.emplace_back(binding{binding::ATOMIC_INT, &f, ch}); }
binding *bind(const int &f, unsigned ch) { return &g_bindings.emplace_back(binding{binding::PLAIN_INT, &f, ch}); }
binding *bind(const uint32_t &f, unsigned ch) { return &g_bindings.emplace_back(binding{binding::PLAIN_U32, &f, ch}); }
binding *bind(const std::atomic<bool> &f, unsigned ch) { return &g_bindings.emplace_back(binding{binding::ATOMIC_BOOL, &f, ch}); }
binding *bind_ch(unsigned ch) { return &g_bindings.emplace_back(binding{binding::PLAIN_INT, nullptr, ch}); }

const binding &b(param_context *p) { return *static_cast<const binding *>(kd_param_get_userdata(p)); }

int zero(param_context *) { return 0; }
int one(param_context *) { return 1; }
int hundred(param_context *) { return 100; }
int int_max(param_context *) { return INT_MAX; }
int int_min(param_context *) { return INT_MIN; }
int bound_value(param_context *p) { return b(p).value(); }

int choice_index(const char *const *choices, const char *text)
{
    for (int i = 0; text && choices[i]; ++i)
        if (std::strcmp(choices[i], text) == 0)
            return i;
    return -1;
}

std::string joined(const char *const *choices)
{
    std::string s;
    for (int i = 0; choices[i]; ++i)
        s += (i ? ", " : "") + std::string(*choices[i] ? choices[i] : "\"\"");
    return s;
}

// The choice's index, or -1 after logging why the text is refused.
int parse_choice(param_context *p, const char *const *choices, const char *text)
{
    const int i = choice_index(choices, text);
    if (i < 0)
        DLOG(KD_LOG_WARNING, "%s: \"%s\" refused, the value must be one of: %s\n", kd_param_get_label(p),
             text ? text : "", joined(choices).c_str());
    return i;
}

const char *dup_text(const std::string &s)
{
    char *t = strdup(s.c_str());
    if (t)
        kd_ref_init_ptr(t, nullptr);
    return t;
}

// ---- top level ----

bool chip_multi()
{
    m30_context *m = dec().m30;
    return m ? m30_get_channel_mode(m) != M30_SINGLE_CHANNEL : num_channels > 1;
}

const char **chmode_choices(param_context *) { return argsDEC_CFG_CHMODE; }
const char *chmode_value(param_context *) { return argsDEC_CFG_CHMODE[chip_multi() ? 1 : 0]; }
const char *chmode_help(param_context *) { return "Select single-channel (1) or multi-channel (2)."; }

void to_two_channels()
{
    decoder &d = dec();
    decode_audio_ctor(1);
    if (d.conf[1].start_up)
        decode_emit_channel(EV_CHANNEL_ENABLED, 1);
    d.state[1].video_display_in_fault = 1;
    d.state[1].fpga_fault_mode_enabled = 1;
    if (d.m30)
        m30_channel_stop(d.m30, 0);
    if (d.kt3300) {
        kt3300_set_sdi_control(d.kt3300, d.is_inverted, false);
        kt3300_testpattern_set_mode(d.kt3300, 1, false, true, true);
        kt3300_audio_sdi_out_source_select(d.kt3300, 1, KT33_AUD_SDI_OUT_SRC_TONES);
    }
}

void to_one_channel()
{
    decoder &d = dec();
    decode_audio_dtor(1);
    decode_emit_channel(EV_CHANNEL_DISABLED, 1);
    d.stats[1].zero();
    decoder_state &s = d.state[1];
    s.is_stream = 0, s.dp_in_fault = 0, s.video_display_in_fault = 0, s.video_codec_in_fault = 0;
    s.fpga_fault_mode_enabled = 0;
    if (d.kt3300) {
        kt3300_testpattern_set_mode(d.kt3300, 1, false, false, false);
        kt3300_audio_sdi_out_source_select(d.kt3300, 1, KT33_AUD_SDI_OUT_SRC_MUTED);
    }
    if (d.m30) {
        m30_channel_set_video_pid(d.m30, 1, 0);
        m30_channel_set_vid_std(d.m30, 1, M30_VIDSTD_INVALID);
    }
}

param_set_result chmode_set(param_context *p, const char *text)
{
    const int i = parse_choice(p, argsDEC_CFG_CHMODE, text);
    if (i < 0)
        return PARAM_SET_FAILURE;
    const bool multi = i == 1;
    if (multi == chip_multi())
        return PARAM_SET_SUCCESS;
    // Channel 1's audio threads are stopped (single) or started (multi);
    // a thread that outlived an earlier stop is stopped first.
    if (dec().frame_event_loop_is_running && (!multi || decode_audio_running(1)) && decode_audio_dtor(1) < 0) {
        DLOG(KD_LOG_ERR, "Decoder channel 2 audio threads still running, channel mode not changed\n");
        return PARAM_SET_FAILURE;
    }
    DLOG(KD_LOG_INFO, "Decoder setting channel mode to %s\n", argsDEC_CFG_CHMODE[i]);
    num_channels = multi ? 2 : 1;
    if (decoder &d = dec(); d.m30)
        m30_set_channel_mode(d.m30, multi ? M30_MULTI_CHANNEL : M30_SINGLE_CHANNEL);
    if (dec().frame_event_loop_is_running)
        multi ? to_two_channels() : to_one_channel();
    return PARAM_SET_SUCCESS;
}

const char **uhd_choices(param_context *) { return argsDEC_UHDMODE; }
const char *uhd_value(param_context *) { return argsDEC_UHDMODE[uhd_mode]; }
const char *uhd_help(param_context *) { return "Select SQD or 2SI video output when decoding UHD."; }

param_set_result uhd_set(param_context *p, const char *text)
{
    const int i = parse_choice(p, argsDEC_UHDMODE, text);
    if (i < 0)
        return PARAM_SET_FAILURE;
    if (decode_uhd_mode(i) == uhd_mode)
        return PARAM_SET_SUCCESS;
    DLOG(KD_LOG_INFO, "Decoder setting UHD mode to %s\n", argsDEC_UHDMODE[i]);
    uhd_mode = decode_uhd_mode(i);
    decoder &d = dec();
    if (!d.frame_event_loop_is_running || decode_parameters_get_num_chns() != 1 || !d.m30)
        return PARAM_SET_SUCCESS;
    // The eight SQD standards and the eight 2SI standards pair by rate.
    const int s = m30_channel_get_vid_std(d.m30, 0);
    const bool sqd = s >= M30_VIDSTD_2160P60_SQD && s <= M30_VIDSTD_2160P2398_SQD;
    const bool si = s >= M30_VIDSTD_2160P60_2SI && s <= M30_VIDSTD_2160P2398_2SI;
    if (uhd_mode == DECODE_UHD_2SI && sqd)
        m30_channel_set_vid_std(d.m30, 0, m30_vidstd(s + 8));
    else if (uhd_mode == DECODE_UHD_SQD && si)
        m30_channel_set_vid_std(d.m30, 0, m30_vidstd(s - 8));
    return PARAM_SET_SUCCESS;
}

// ---- per channel ----

const char **startup_choices(param_context *) { return argsSTARTUP; }
const char *startup_value(param_context *p) { return argsSTARTUP[dec().conf[b(p).ch].start_up ? 1 : 0]; }
const char *startup_help(param_context *) { return "Start or stop operation of the decoder"; }

param_set_result startup_set(param_context *p, const char *text)
{
    const int i = parse_choice(p, argsSTARTUP, text);
    if (i < 0)
        return PARAM_SET_FAILURE;
    const unsigned ch = b(p).ch;
    decoder &d = dec();
    if (d.conf[ch].start_up == i)
        return PARAM_SET_SUCCESS;
    d.conf[ch].start_up = i;
    if (d.frame_event_loop_is_running && (ch == 0 || decode_parameters_get_num_chns() > 1))
        decode_emit_channel(i ? EV_CHANNEL_ENABLED : EV_CHANNEL_DISABLED, ch);
    return PARAM_SET_SUCCESS;
}

const char **yes_choices(param_context *) { return yes_string; }
param_set_result restart_audio_set(param_context *p, const char *text)
{
    if (parse_choice(p, yes_string, text) < 0)
        return PARAM_SET_FAILURE;
    decode_audio_signal_reset(b(p).ch);
    return PARAM_SET_SUCCESS;
}

const char **fault_choices(param_context *) { return argsFAULT_VIDSTD; }
const char *fault_value(param_context *p) { return decode_fault_std(dec().conf[b(p).ch].fault_vidstd).choice; }
const char *fault_help(param_context *) { return "Fault mode video standard of the decoder"; }
param_set_result fault_set(param_context *p, const char *text)
{
    const int i = parse_choice(p, argsFAULT_VIDSTD, text);
    if (i < 0)
        return PARAM_SET_FAILURE;
    dec().conf[b(p).ch].fault_vidstd = i; // shown from the next start-up on
    return PARAM_SET_SUCCESS;
}

const char **no_yes_choices(param_context *) { return no_yes_strings; }
const char *no_yes_value(param_context *p) { return no_yes_strings[b(p).value() ? 1 : 0]; }
const char **inactive_choices(param_context *) { return inactive_strings; }
const char *inactive_value(param_context *p) { return inactive_strings[b(p).value() ? 1 : 0]; }
const char **codec_choices(param_context *) { return audio_codec_strings; }
const char *codec_value(param_context *p)
{
    const int v = b(p).value();
    return audio_codec_strings[v >= 0 && v <= AUDIO_CODEC_OTHER ? v : AUDIO_CODEC_OTHER];
}

const char *svc_name_value(param_context *p) { return dup_text(dec().stats[b(p).ch].service_name()); }
const char *svc_prov_value(param_context *p) { return dup_text(dec().stats[b(p).ch].service_provider()); }

// Video strings: empty for a channel not in use or showing the test pattern.
bool video_shown(unsigned ch)
{
    decoder &d = dec();
    return d.m30 && ch < decode_parameters_get_num_chns() && !d.state[ch].fpga_fault_mode_enabled;
}

const char *video_format_value(param_context *p)
{
    const unsigned ch = b(p).ch;
    if (!video_shown(ch))
        return none_string;
    const m30_vidstd s = m30_channel_get_vid_std(dec().m30, int(ch));
    return s >= 0 && s < M30_VIDSTD_END ? m30_vidstd_strings[s] : none_string;
}

const char *video_decoding_value(param_context *p)
{
    const unsigned ch = b(p).ch;
    if (!video_shown(ch))
        return none_string;
    m30_context *m = dec().m30;
    const m30_chroma_fmt f = m30_channel_get_chroma_fmt(m, int(ch));
    std::snprintf(video_decoding_text[ch], sizeof video_decoding_text[ch], "%s / %u",
                  f >= 0 && f <= M30_CHROMAFMT_422 ? m30_chromafmt_strings[f] : "", m30_channel_get_bit_depth(m, int(ch)));
    return video_decoding_text[ch];
}

const char *stream_type_value(param_context *p)
{
    if (!video_shown(b(p).ch))
        return none_string;
    switch (m30_get_video_mode(dec().m30)) {
    case M30_VIDEO_MODE_H264: return "AVC";
    case M30_VIDEO_MODE_MPEG2: return "MPEG2";
    default: return "HEVC";
    }
}

int temperature_value(param_context *) { return dec().carrier.temperature_c; }

// ---- builders ----

param_context *poll(param_context *p)
{
    if (p)
        kd_param_init_auto_notify(p, 1.0);
    return p;
}

void status_number(param_context *list, const char *label, binding *data, kd_param_get_number max = int_max)
{
    poll(kd_param_alloc_number(list, nullptr, label, PARAMCTRL_RDONLY, nullptr, bound_value, zero, max, one, nullptr,
                               data));
}

void status_string(param_context *list, const char *label, kd_param_get_string value, binding *data)
{
    poll(kd_param_alloc_string(list, nullptr, label, PARAMCTRL_RDONLY, nullptr, value, nullptr, data));
}

void build_row(param_context *table, unsigned ch)
{
    decoder &d = dec();
    decoder_stats &s = d.stats[ch];
    decoder_state &st = d.state[ch];
    char key[8], label[16];
    std::snprintf(key, sizeof key, "dec_%u", ch);
    std::snprintf(label, sizeof label, "Decoder %u", ch + 1);
    param_context *row = kd_param_alloc_row(table, key, label);
    binding *chb = bind_ch(ch);
    kd_param_alloc_choice(row, nullptr, "Start Up", PARAMCTRL_RDWR, startup_help, startup_value, startup_choices,
                          startup_set, chb);
    kd_param_alloc_choice(row, nullptr, "Restart Audio", PARAMCTRL_WRONLY, nullptr, nullptr, yes_choices,
                          restart_audio_set, chb);
    kd_param_alloc_choice(row, nullptr, "Fault VidStd", PARAMCTRL_RDWR, fault_help, fault_value, fault_choices,
                          fault_set, chb);
    poll(kd_param_alloc_choice(row, nullptr, "Stream Detected", PARAMCTRL_RDONLY, nullptr, no_yes_value,
                               no_yes_choices, nullptr, bind(st.is_stream, ch)));
    status_number(row, "Data Path Fault", bind(st.dp_in_fault, ch), one);
    status_number(row, "Video Display Fault", bind(st.video_display_in_fault, ch), one);
    status_number(row, "Video Codec Fault", bind(st.video_codec_in_fault, ch), one);
    poll(kd_param_alloc_choice(row, nullptr, "Fault Mode", PARAMCTRL_RDONLY, nullptr, no_yes_value, no_yes_choices,
                               nullptr, bind(st.fpga_fault_mode_enabled, ch)));
    status_string(row, "Service Name", svc_name_value, chb);
    status_string(row, "Service Provider", svc_prov_value, chb);
    status_number(row, "Program Number", bind(s.svc_pgm_num, ch));

    param_context *vdd = kd_param_alloc_list(row, nullptr, "Video Decode Details", nullptr);
    status_number(vdd, "Video Decode Frames", bind(s.vid_dec_info_ct, ch));
    status_number(vdd, "Video Decode Errors", bind(s.vid_dec_err_ct, ch));
    status_number(vdd, "Video DeMux Errors", bind(s.vid_dmx_err_ct, ch));
    status_string(vdd, "Video Format", video_format_value, chb);
    status_string(vdd, "Video Decoding", video_decoding_value, chb);
    status_string(vdd, "Stream Type", stream_type_value, chb);

    status_number(row, "Video Rate", bind(s.vid_pkts_rate, ch));

    param_context *add = kd_param_alloc_list(row, nullptr, "Audio Decode Details", nullptr);
    status_number(add, "Audio Buffer Level", bind(s.buf_level, ch), hundred);
    status_number(add, "Audio Buffer HWM", bind(s.buf_level_hwm, ch), hundred);
    status_number(add, "Audio Buffer Loss", bind(s.buf_pkts_loss, ch));
    status_number(add, "Audio Reset Count", bind(s.aud_dec_reset_ct, ch));
    status_number(add, "Audio Streams Count", bind(s.audio_streams_ct, ch));
    param_context *streams = kd_param_alloc_table(add, nullptr, "Audio Streams", nullptr);
    for (unsigned i = 0; i < DEC_AUDIO_STREAMS; ++i) {
        audio_stream_stats &a = s.audio_streams[i];
        char skey[16], slabel[16];
        std::snprintf(skey, sizeof skey, "aud_st_%u", i);
        std::snprintf(slabel, sizeof slabel, "Audio %u", i + 1);
        param_context *srow = kd_param_alloc_row(streams, skey, slabel);
        poll(kd_param_alloc_number(srow, nullptr, "Frames", PARAMCTRL_RDONLY, nullptr, bound_value, zero, int_max, one,
                                   nullptr, bind(a.frames_tx, ch)));
        poll(kd_param_alloc_choice(srow, nullptr, "Status", PARAMCTRL_RDONLY, nullptr, inactive_value,
                                   inactive_choices, nullptr, bind(a.is_active, ch)));
        poll(kd_param_alloc_choice(srow, nullptr, "Type", PARAMCTRL_RDONLY, nullptr, codec_value, codec_choices,
                                   nullptr, bind(a.type, ch)));
        poll(kd_param_alloc_number(srow, nullptr, "Rate", PARAMCTRL_RDONLY, nullptr, bound_value, zero, int_max, one,
                                   nullptr, bind(a.bit_rate, ch)));
    }

    param_context *vbl = kd_param_alloc_list(row, nullptr, "Video Buffer Level", nullptr);
    status_number(vbl, "Video Buffer LL", bind(s.m30_buf_ll, ch));
    status_number(vbl, "Video Buffer LH", bind(s.m30_buf_lh, ch));
    status_number(vbl, "Video Buffer HL", bind(s.m30_buf_hl, ch));
    status_number(vbl, "Video Buffer HH", bind(s.m30_buf_hh, ch));

    param_context *vde = kd_param_alloc_list(row, nullptr, "Video Decode Error Details", nullptr);
    const m30_dec_error_status &e = s.vdec_es;
    const std::pair<const char *, const uint32_t *> vd[] = {
        {"Frame Rate Mismatch", &e.frm_rate_mismatch}, {"Video Format Mismatch", &e.vid_fmt_mismatch},
        {"Unsupported Resolution", &e.unsup_resolution}, {"Video Skip AVsync", &e.vid_skip_avsync},
        {"Video Repeat AVsync", &e.vid_repeat_avsync}, {"Video Repeat Depleted", &e.vid_repeat_depleted},
        {"Picture Error Level", &e.picture_error_level}, {"Ref Picture Error Level", &e.ref_pic_error_level},
        {"Picture Error Count", &e.vid_error_count}, {"Video Conceal Count", &e.vid_conceal_count}};
    for (const auto &[l, f] : vd)
        status_number(vde, l, bind(*f, ch));

    param_context *vdm = kd_param_alloc_list(row, nullptr, "Video DeMux Error Details", nullptr);
    const m30_dmx_error_status &x = s.vdmx_es;
    const std::pair<const char *, const uint32_t *> dm[] = {
        {"Transport Error Indicator", &x.ei_err}, {"Continuity Error", &x.cc_err}, {"Checksum Error", &x.crc32_err},
        {"PCR Discontinuity", &x.pcr_err}, {"Packet Sync Error", &x.sync_err},
        {"Video Start Missing", &x.video_exhausted}, {"Video PTS PCR Gap", &x.video_pts_pcr_err},
        {"Audio Start Missing", &x.audio_exhausted}, {"Audio PTS PCR Gap", &x.audio_pts_pcr_err},
        {"No Input Stream", &x.stream_none}, {"Input Stream Invalid", &x.stream_invalid},
        {"PCR Not Found", &x.pcr_exhausted}, {"Needs Restart", &x.restart_request}};
    for (const auto &[l, f] : dm)
        status_number(vdm, l, bind(*f, ch));
}

} // namespace

unsigned decode_parameters_get_num_chns()
{
    if (num_channels < 1 || num_channels > 2)
        num_channels = 2;
    return num_channels;
}

decode_uhd_mode decode_parameters_get_uhd_mode() { return uhd_mode; }

void decode_parameters_reset()
{
    num_channels = 2;
    uhd_mode = DECODE_UHD_SQD;
    for (decoder_conf &c : dec().conf)
        c.start_up = 1, c.previous_state = 0, c.fault_vidstd = 2;
}

int decode_parameters_setup()
{
    decoder &d = dec();
    param_context *top = kd_param_create_cfg(d.pli);
    if (!top)
        return -1;
    g_bindings.clear(); // the nodes of an earlier tree went with its unload
    kd_param_alloc_choice(top, "channel_mode", "Channel Mode", PARAMCTRL_RDWR, chmode_help, chmode_value,
                          chmode_choices, chmode_set, nullptr);
    kd_param_alloc_choice(top, "uhd_mode", "UHD Mode", PARAMCTRL_RDWR, uhd_help, uhd_value, uhd_choices, uhd_set,
                          nullptr);
    poll(kd_param_alloc_number(top, "kt33_dec_temp", "Decoder Temperature", PARAMCTRL_RDONLY, nullptr,
                               temperature_value, int_min, int_max, one, nullptr, nullptr));
    param_context *table = kd_param_alloc_table(top, "decoders", "Decoders", nullptr);
    for (unsigned ch = 0; ch < DEC_CHANNELS; ++ch)
        build_row(table, ch);
    return kd_store_load_params(d.pli, top);
}

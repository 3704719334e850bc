// Program and video-format news from the data threads: a new program
// (PIDs and codec) sets the chip channel; a new video format sets the
// chip standard, the board's SDI control and test-pattern standard, the
// wanted pixel clock and the SMPTE ST 352 payload, and decides the two
// video faults. The three standard tables are data, shared with start-up.
#include "anc.h"
#include "clkmgr.h"
#include "decode_internal.h"

#include <kerrow/log.h>

#include <array>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <thread>

#define DLOG(prio, fmt, ...) KD_LOG(prio, "[%s] " fmt, decode_name() __VA_OPT__(, ) __VA_ARGS__)

namespace {

// ---- video format to chip standard ----

// Frame-rate columns, as ten times the rate cut to one decimal.
constexpr std::array<int, 8> kRateCols = {600, 599, 500, 300, 299, 250, 240, 239};

struct format_row {
    int width, height;
    bool progressive;
    std::array<m30_vidstd, 8> std; // by kRateCols; UHD rows name the SQD kind
};

#define S(x) M30_VIDSTD_##x
constexpr m30_vidstd NO = M30_VIDSTD_INVALID;
const format_row kFormats[] = {
    {3840, 2160, true,
     {S(2160P60_SQD), S(2160P5994_SQD), S(2160P50_SQD), S(2160P30_SQD), S(2160P2997_SQD), S(2160P25_SQD),
      S(2160P24_SQD), S(2160P2398_SQD)}},
    {1920, 1080, true,
     {S(1080P60), S(1080P5994), S(1080P50), S(1080P30), S(1080P2997), S(1080P25), S(1080P24), S(1080P2398)}},
    {1920, 1080, false, {S(1080I60), S(1080I5994), S(1080I50), NO, NO, NO, NO, NO}},
    {1280, 720, true,
     {S(720P60), S(720P5994), S(720P50), S(720P30), S(720P2997), S(720P25), S(720P24), S(720P2398)}},
    {720, 480, true, {S(480P60), S(480P5994), NO, S(480P30), S(480P2997), NO, NO, NO}},
    {720, 480, false, {S(480I60), S(480I5994), NO, NO, NO, NO, NO, NO}},
    {720, 576, true, {NO, NO, S(576P50), NO, NO, S(576P25), NO, NO}},
    {720, 576, false, {NO, NO, S(576I50), NO, NO, NO, NO, NO}},
};

// ---- chip standard to test-pattern standard ----

constexpr kt33_tpvidstd TP_NONE = KT33_TPVIDSTD_END;

struct tp_pair {
    m30_vidstd chip;
    kt33_tpvidstd tp;
};

#define T(x) KT33_TPVIDSTD_##x
const tp_pair kChipToTp[] = {
    {S(720P60), T(720p60)},       {S(720P30), T(720p60)},         {S(720P5994), T(720p5994)},
    {S(720P2997), T(720p5994)},   {S(720P2398), T(720p5994)},     {S(720P50), T(720p50)},
    {S(720P25), T(720p50)},       {S(720P24), T(720p50)},         {S(1080I60), T(1080i30)},
    {S(1080I5994), T(1080i2997)}, {S(1080I50), T(1080i25)},       {S(1080P30), T(1080p30)},
    {S(1080P2997), T(1080p2997)}, {S(1080P25), T(1080p25)},       {S(1080P24), T(1080p24)},
    {S(1080P2398), T(1080p2398)}, {S(1080P60), T(1080p60)},       {S(1080P5994), T(1080p5994)},
    {S(1080P50), T(1080p50)},     {S(1080P24SF), T(1080p24)},     {S(1080P2398SF), T(1080p2398)},
    {S(480P60), T(NTSC)},         {S(480P5994), T(NTSC)},         {S(480I60), T(NTSC)},
    {S(480I5994), T(NTSC)},       {S(480P30), T(NTSC)},           {S(480P2997), T(NTSC)},
    {S(576P50), T(PAL)},          {S(576I50), T(PAL)},            {S(576P25), T(PAL)},
};

// ---- test-pattern standard to pixel clock and HD chip standard ----

struct tp_info {
    lmk_freq clock;
    m30_vidstd hd;
    unsigned width, height;
    bool progressive;
};

constexpr lmk_freq F35 = LMK_FREQ_148_35, F50 = LMK_FREQ_148_50;
const tp_info kTp[KT33_TPVIDSTD_END] = {
    /* NTSC */ {F35, S(480I5994), 720, 480, false},
    /* PAL */ {F50, S(576I50), 720, 576, false},
    /* 1080i2997 */ {F35, S(1080I5994), 1920, 1080, false},
    /* 1080i25 */ {F50, S(1080I50), 1920, 1080, false},
    /* 1080i30 */ {F50, S(1080I60), 1920, 1080, false},
    /* 1080p5994 */ {F35, S(1080P5994), 1920, 1080, true},
    /* 1080p50 */ {F50, S(1080P50), 1920, 1080, true},
    /* 1080p60 */ {F50, S(1080P60), 1920, 1080, true},
    /* 1080p30 */ {F50, S(1080P30), 1920, 1080, true},
    /* 1080p2997 */ {F35, S(1080P2997), 1920, 1080, true},
    /* 1080p25 */ {F50, S(1080P25), 1920, 1080, true},
    /* 1080p24 */ {F50, S(1080P24), 1920, 1080, true},
    /* 1080p2398 */ {F35, S(1080P2398), 1920, 1080, true},
    /* 720p50 */ {F50, S(720P50), 1280, 720, true},
    /* 720p5994 */ {F35, S(720P5994), 1280, 720, true},
    /* 720p60 */ {F50, S(720P60), 1280, 720, true},
};
#undef T
#undef S

constexpr unsigned kUhdKinds = 8; // rates of each UHD kind, in the enumeration's order

const char *vidstd_name(m30_vidstd s)
{
    return s >= 0 && s < M30_VIDSTD_END && m30_vidstd_strings[s] ? m30_vidstd_strings[s] : "?";
}

const char *mode_name(unsigned m) { return m <= M30_VIDEO_MODE_HEVC_ULL ? m30_video_mode_strings[m] : "?"; }

const char *tp_name(kt33_tpvidstd tp) { return tp < TP_NONE && strings_testpat[tp] ? strings_testpat[tp] : "?"; }

// An enumeration field of a record from another thread, as its raw word:
// the record may carry any value.
template <typename E> uint32_t raw(const E &field)
{
    static_assert(sizeof(E) == sizeof(uint32_t));
    uint32_t v;
    std::memcpy(&v, &field, sizeof v);
    return v;
}

void set_tp_vidstd(unsigned ch, kt33_tpvidstd tp)
{
    kt3300_testpattern_set_vidstd(dec().kt3300, ch, tp, true, true);
}

} // namespace

// ---- the tables' lookups ----

m30_vidstd decode_vidstd_for(int width, int height, bool progressive, double frame_rate, decode_uhd_mode uhd)
{
    if (!std::isfinite(frame_rate) || frame_rate <= 0 || frame_rate > 1000)
        return M30_VIDSTD_INVALID;
    const int r10 = static_cast<int>(frame_rate * 10); // cut to one decimal
    for (const format_row &row : kFormats) {
        if (row.width != width || row.height != height || row.progressive != progressive)
            continue;
        for (size_t i = 0; i < kRateCols.size(); ++i) {
            if (kRateCols[i] != r10)
                continue;
            m30_vidstd s = row.std[i];
            if (s >= M30_VIDSTD_2160P60_SQD && s <= M30_VIDSTD_2160P2398_SQD && uhd == DECODE_UHD_2SI)
                s = m30_vidstd(s + kUhdKinds);
            return s;
        }
        return M30_VIDSTD_INVALID;
    }
    return M30_VIDSTD_INVALID;
}

bool decode_tpvidstd_for(m30_vidstd s, kt33_tpvidstd &out)
{
    if (s >= M30_VIDSTD_2160P60_SQD && s <= M30_VIDSTD_2160P2398_2SI) {
        // The UHD rates follow the 1080p ones: 60, 59.94, 50, 30, 29.97, 25, 24, 23.98.
        const unsigned i = unsigned(s - M30_VIDSTD_2160P60_SQD) % kUhdKinds;
        return decode_tpvidstd_for(kFormats[1].std[i], out);
    }
    for (const tp_pair &p : kChipToTp)
        if (p.chip == s) {
            out = p.tp;
            return true;
        }
    return false;
}

uint32_t decode_tp_pixel_clock(kt33_tpvidstd tp) { return tp < TP_NONE ? kTp[tp].clock : LMK_FREQ_148_35; }

m30_vidstd decode_tp_hd_vidstd(kt33_tpvidstd tp) { return tp < TP_NONE ? kTp[tp].hd : M30_VIDSTD_INVALID; }

uint32_t decode_vidstd_pixel_clock(m30_vidstd s)
{
    kt33_tpvidstd tp;
    return decode_tpvidstd_for(s, tp) ? decode_tp_pixel_clock(tp) : LMK_FREQ_148_35;
}

void decode_tstpat_set_text(unsigned ch, kt33_tpvidstd tp)
{
    decoder &d = dec();
    if (!d.kt3300)
        return;
    const tp_info none{F35, M30_VIDSTD_INVALID, 0, 0, true};
    const tp_info &t = tp < TP_NONE ? kTp[tp] : none;
    char line1[16];
    std::snprintf(line1, sizeof line1, "Decoder %u", ch + 1);
    const char *const lines[] = {line1, "No Signal"};
    kt3300_testpattern_set_text_centered(d.kt3300, ch, t.width, t.height, t.progressive, lines, 2, TPTEXTFX_OUTLINE);
}

// ---- program change ----

void decode_program_on_pid_info(const pid_info_data &info)
{
    decoder &d = dec();
    const unsigned ch = info.ch_idx;
    if (ch >= decode_parameters_get_num_chns() || ch >= DEC_CHANNELS || !d.m30)
        return;
    const uint32_t wanted = raw(info.video_mode);
    if (wanted > M30_VIDEO_MODE_HEVC_ULL) {
        DLOG(KD_LOG_WARNING, "Chn %u pgm change - unknown video codec %u ignored\n", ch, wanted);
        return;
    }
    const auto mode = m30_video_mode(wanted);
    m30_context *m = d.m30;
    const int c = int(ch);
    bool changed = false;
    const m30_video_mode chip_mode = m30_get_video_mode(m);
    if (chip_mode != mode) {
        if (ch != 0) {
            DLOG(KD_LOG_WARNING, "Chn %u pgm change - video codec fault - streaming (%s) but (%s) is set.\n", ch,
                 mode_name(mode), mode_name(chip_mode));
            d.state[ch].video_codec_in_fault = 1;
            m30_channel_stop(m, c);
            m30_channel_set_video_pid(m, c, 0);
            m30_channel_set_vid_std(m, c, M30_VIDSTD_INVALID);
            return;
        }
        m30_set_video_mode(m, mode);
        m30_channel_set_video_pid(m, 1, 0);
        m30_channel_set_vid_std(m, 1, M30_VIDSTD_INVALID);
        decode_ingress_trigger_program(1);
        changed = true;
    }
    d.state[ch].video_codec_in_fault = 0;
    if (m30_channel_get_video_pid(m, c) != info.video_pid) {
        changed = true;
        m30_channel_set_video_pid(m, c, info.video_pid);
    }
    if (m30_channel_get_pcr_pid(m, c) != info.pcr_pid) {
        changed = true;
        m30_channel_set_pcr_pid(m, c, info.pcr_pid);
    }
    if (changed) {
        m30_channel_stop(m, c);
        m30_channel_set_vid_std(m, c, M30_VIDSTD_INVALID);
    }
    DLOG(KD_LOG_INFO, "Chn %u pgm change (%s) - PCR %u, video %u (%s) Audio (ffmpeg)\n", ch,
         changed ? "active" : "ignored", info.pcr_pid, info.video_pid, mode_name(mode));
}

// ---- video format ----

namespace {

void display_fault(unsigned ch, const char *why)
{
    DLOG(KD_LOG_WARNING, "Chn %u video display fault - %s\n", ch, why);
    dec().state[ch].video_display_in_fault = 1;
}

// The board's test-pattern standard and text of a channel, the clock it
// wants told to the clock manager.
void show_standard(unsigned ch, kt33_tpvidstd tp, bool uhd)
{
    decoder &d = dec();
    decode_clkmgr_set_uhd(uhd);
    decode_clkmgr_set_inverted(d.is_inverted);
    set_tp_vidstd(ch, tp);
    decode_tstpat_set_text(ch, tp);
    decode_clkmgr_set_vidstd_freq(ch, decode_tp_pixel_clock(tp));
}

} // namespace

std::chrono::milliseconds g_decode_clock_settle{600};

void decode_program_on_vid_info(const video_info_data &info)
{
    decoder &d = dec();
    const unsigned ch = info.ch_idx;
    if (ch >= decode_parameters_get_num_chns() || ch >= DEC_CHANNELS)
        return;
    decoder_state &st = d.state[ch];
    const bool progressive = raw(info.display) == VID_DSP_PROGRESSIVE;
    const m30_vidstd s = decode_vidstd_for(info.hsize, info.vsize, progressive, info.frame_rate,
                                           decode_parameters_get_uhd_mode());
    unsigned depth = 8;
    m30_chroma_fmt chroma = M30_CHROMAFMT_420;
    switch (raw(info.bd_chrm)) {
    case VID_BD_CHR_8BIT420: break;
    case VID_BD_CHR_8BIT422: chroma = M30_CHROMAFMT_422; break;
    case VID_BD_CHR_10BIT420: depth = 10; break;
    case VID_BD_CHR_10BIT422: depth = 10, chroma = M30_CHROMAFMT_422; break;
    default: depth = 0; break;
    }
    if (s == M30_VIDSTD_INVALID || depth == 0) {
        display_fault(ch, "non-applicable video info.");
        decode_audio_signal_reset(ch);
        return;
    }
    const m30_video_mode mode = d.m30 ? m30_get_video_mode(d.m30) : M30_VIDEO_MODE_HEVC;
    const bool uhd = info.vsize > 1080;
    if (uhd && decode_parameters_get_num_chns() > 1)
        return display_fault(ch, "UHD not supported in multi-channel mode.");
    if (uhd && mode == M30_VIDEO_MODE_MPEG2)
        return display_fault(ch, "UHD not supported for MPEG2.");
    if (info.hsize == 1920 && info.vsize == 1080 && progressive && info.frame_rate >= 50.0 &&
        mode == M30_VIDEO_MODE_MPEG2)
        return display_fault(ch, "FHD not supported for MPEG2.");
    if (st.video_codec_in_fault) {
        DLOG(KD_LOG_INFO, "Chn %u ignoring video display info while its video codec is in fault\n", ch);
        return;
    }
    const char *chroma_name = m30_chromafmt_strings[chroma] ? m30_chromafmt_strings[chroma] : "?";
    if (!st.video_display_in_fault) {
        DLOG(KD_LOG_INFO,
             "Chn %u applying video display info - %s %ubit %s colorprim= %u trc= %u colorspace= %u il_p= %u\n", ch,
             vidstd_name(s), depth, chroma_name, unsigned(info.color_primaries), unsigned(info.color_trc),
             unsigned(info.color_space), raw(info.display));
    } else {
        DLOG(KD_LOG_INFO, "Chn %u exiting video display fault on video info - %s %ubit %s\n", ch, vidstd_name(s),
             depth, chroma_name);
        st.video_display_in_fault = 0;
    }

    kt33_tpvidstd tp = TP_NONE;
    const bool has_tp = decode_tpvidstd_for(s, tp) && d.kt3300;
    if (d.m30 && m30_channel_get_vid_std(d.m30, int(ch)) != s) {
        m30_channel_stop(d.m30, int(ch));
        if (d.kt3300)
            kt3300_set_sdi_control(d.kt3300, d.is_inverted, uhd);
        if (has_tp) {
            show_standard(ch, tp, uhd);
            std::this_thread::sleep_for(g_decode_clock_settle); // the clock manager retunes meanwhile
            set_tp_vidstd(ch, tp);
            DLOG(KD_LOG_DEBUG, "Chn %u set FPGA VidStd to: %s\n", ch, tp_name(tp));
        } else {
            DLOG(KD_LOG_WARNING, "Chn %u unable to set FPGA VidStd for: %s\n", ch, vidstd_name(s));
        }
    }
    if (uhd && has_tp) {
        // Channel 1 carries the second half of the picture.
        show_standard(1, tp, true);
        if (d.m30)
            m30_channel_set_vid_std(d.m30, 1, decode_tp_hd_vidstd(tp));
    }
    if (d.m30) {
        m30_channel_set_vid_std(d.m30, int(ch), s);
        m30_channel_set_bit_depth(d.m30, int(ch), depth);
        m30_channel_set_chroma_fmt(d.m30, int(ch), chroma);
    }
    const int ip = progressive ? IP_PROGRESSIVE : IP_INTERLACED;
    DecAudHdrS352VidInfo s352{int(ch), info.hsize, info.vsize, ip, ip, info.frame_rate,
                              info.color_primaries, info.color_trc, info.color_space};
    ancS352mUpdate(d.kt3300, &s352);
    if (uhd) {
        s352.chn = 1;
        ancS352mUpdate(d.kt3300, &s352);
    }
}

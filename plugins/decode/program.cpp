// Program and video-format news from the data threads, and the mapping of
// chip video standards to the board's test-pattern standards.
//
// The channel settings that a new program or format brings (chip
// standard, clocks, SMPTE ST 352) are applied here as they are built; for
// now a new program is recorded and logged.
#include "decode_internal.h"

#include <kerrow/log.h>

#include <cstdio>

namespace {

kt33_tpvidstd tp_1080p_of(unsigned rate_index)
{
    // 60, 59.94, 50, 30, 29.97, 25, 24, 23.98
    static const kt33_tpvidstd tp[] = {KT33_TPVIDSTD_1080p60, KT33_TPVIDSTD_1080p5994, KT33_TPVIDSTD_1080p50,
                                       KT33_TPVIDSTD_1080p30, KT33_TPVIDSTD_1080p2997, KT33_TPVIDSTD_1080p25,
                                       KT33_TPVIDSTD_1080p24, KT33_TPVIDSTD_1080p2398};
    return tp[rate_index];
}

} // namespace

bool decode_tpvidstd_for(m30_vidstd s, kt33_tpvidstd &out)
{
    switch (s) {
    case M30_VIDSTD_720P60: case M30_VIDSTD_720P30: out = KT33_TPVIDSTD_720p60; return true;
    case M30_VIDSTD_720P5994: case M30_VIDSTD_720P2997: case M30_VIDSTD_720P2398: out = KT33_TPVIDSTD_720p5994; return true;
    case M30_VIDSTD_720P50: case M30_VIDSTD_720P25: case M30_VIDSTD_720P24: out = KT33_TPVIDSTD_720p50; return true;
    case M30_VIDSTD_1080I60: out = KT33_TPVIDSTD_1080i30; return true;
    case M30_VIDSTD_1080I5994: out = KT33_TPVIDSTD_1080i2997; return true;
    case M30_VIDSTD_1080I50: out = KT33_TPVIDSTD_1080i25; return true;
    case M30_VIDSTD_1080P30: out = KT33_TPVIDSTD_1080p30; return true;
    case M30_VIDSTD_1080P2997: out = KT33_TPVIDSTD_1080p2997; return true;
    case M30_VIDSTD_1080P25: out = KT33_TPVIDSTD_1080p25; return true;
    case M30_VIDSTD_1080P24: case M30_VIDSTD_1080P24SF: out = KT33_TPVIDSTD_1080p24; return true;
    case M30_VIDSTD_1080P2398: case M30_VIDSTD_1080P2398SF: out = KT33_TPVIDSTD_1080p2398; return true;
    case M30_VIDSTD_1080P60: out = KT33_TPVIDSTD_1080p60; return true;
    case M30_VIDSTD_1080P5994: out = KT33_TPVIDSTD_1080p5994; return true;
    case M30_VIDSTD_1080P50: out = KT33_TPVIDSTD_1080p50; return true;
    case M30_VIDSTD_480P60: case M30_VIDSTD_480P5994: case M30_VIDSTD_480I60: case M30_VIDSTD_480I5994:
    case M30_VIDSTD_480P30: case M30_VIDSTD_480P2997: out = KT33_TPVIDSTD_NTSC; return true;
    case M30_VIDSTD_576P50: case M30_VIDSTD_576I50: case M30_VIDSTD_576P25: out = KT33_TPVIDSTD_PAL; return true;
    default: break;
    }
    if (s >= M30_VIDSTD_2160P60_SQD && s <= M30_VIDSTD_2160P2398_2SI) {
        out = tp_1080p_of((s - M30_VIDSTD_2160P60_SQD) % 8);
        return true;
    }
    return false;
}

void decode_tstpat_set_text(unsigned ch, kt33_tpvidstd tp)
{
    decoder &d = dec();
    if (!d.kt3300)
        return;
    unsigned w = 0, h = 0;
    bool progressive = true;
    switch (tp) {
    case KT33_TPVIDSTD_NTSC: w = 720, h = 480, progressive = false; break;
    case KT33_TPVIDSTD_PAL: w = 720, h = 576, progressive = false; break;
    case KT33_TPVIDSTD_1080i2997: case KT33_TPVIDSTD_1080i25: case KT33_TPVIDSTD_1080i30:
        w = 1920, h = 1080, progressive = false; break;
    case KT33_TPVIDSTD_720p50: case KT33_TPVIDSTD_720p5994: case KT33_TPVIDSTD_720p60: w = 1280, h = 720; break;
    case KT33_TPVIDSTD_END: break;
    default: w = 1920, h = 1080; break; // 1080p5994 to 1080p2398
    }
    char line1[16];
    std::snprintf(line1, sizeof line1, "Decoder %u", ch + 1);
    const char *const lines[] = {line1, "No Signal"};
    kt3300_testpattern_set_text_centered(d.kt3300, ch, w, h, progressive, lines, 2, TPTEXTFX_OUTLINE);
}

void decode_program_on_pid_info(const pid_info_data &info)
{
    if (info.ch_idx >= DEC_CHANNELS)
        return;
    KD_LOG(KD_LOG_INFO, "[%s] Chn %u program: PCR PID %u, video PID %u (%s), %u audio\n", decode_name(),
           info.ch_idx, info.pcr_pid, info.video_pid,
           static_cast<unsigned>(info.video_mode) <= M30_VIDEO_MODE_HEVC_ULL ? m30_video_mode_strings[info.video_mode] : "?",
           info.audio_count);
}

void decode_program_on_vid_info(const video_info_data &info)
{
    if (info.ch_idx >= DEC_CHANNELS)
        return;
    KD_LOG(KD_LOG_DEBUG, "[%s] Chn %u video %dx%d\n", decode_name(), info.ch_idx, info.hsize, info.vsize);
}

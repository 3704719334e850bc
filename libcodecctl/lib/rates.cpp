// Encode rate rules: video-rate limits per codec and video standard, and
// the balance between video, audio and system (multiplex) rates. Rates in
// kbit/s, audio rates in bit/s.
#include "m30_internal.h"

#include <cerrno>
#include <cstdint>
#include <optional>

namespace {

struct limits {
    uint32_t min, max;
};

bool in(m30_vidstd v, int lo, int hi) { return v >= lo && v <= hi; }

// The 2160-line standards at 60/1.001, 50, 30/1.001 and 25 Hz, square
// division and two-sample interleave: the only UHD rates H.264 and MPEG-2
// are given limits for.
bool uhd_limited(m30_vidstd v)
{
    switch (v) {
    case M30_VIDSTD_2160P5994_SQD: case M30_VIDSTD_2160P50_SQD: case M30_VIDSTD_2160P2997_SQD:
    case M30_VIDSTD_2160P25_SQD: case M30_VIDSTD_2160P5994_2SI: case M30_VIDSTD_2160P50_2SI:
    case M30_VIDSTD_2160P2997_2SI: case M30_VIDSTD_2160P25_2SI:
        return true;
    default:
        return false;
    }
}

std::optional<limits> video_limits(m30_video_mode mode, m30_vidstd v)
{
    switch (mode) {
    case M30_VIDEO_MODE_HEVC:
        if (in(v, 0, 21)) return limits{1000, 30000};
        if (in(v, 22, 30)) return limits{200, 3000};
        if (in(v, 31, 46)) return limits{10000, 80000};
        break;
    case M30_VIDEO_MODE_H264:
        if (v == 0) return limits{1000, 20000};
        if (in(v, 1, 21)) return limits{1500, 64000};
        if (in(v, 22, 30)) return limits{500, 16000};
        if (uhd_limited(v)) return limits{24000, 256000};
        break;
    case M30_VIDEO_MODE_MPEG2:
        if (v == 0) return limits{1000, 20000};
        if (in(v, 1, 8)) return limits{4000, 60000};
        if (in(v, 9, 21)) return limits{4000, 80000};
        if (in(v, 22, 30)) return limits{1000, 15000};
        if (uhd_limited(v)) return limits{1000, 256000};
        break;
    default:
        break;
    }
    return std::nullopt;
}

m30_channel_config_enc *enc(m30_context *m30, int i)
{
    return m30 && m30->enc && i >= 0 && i < M30_CHANNELS ? &m30->enc->chcfg[i] : nullptr;
}

int constrain(m30_context *m30, int i, m30_video_mode mode)
{
    m30_channel_config_enc *e = enc(m30, i);
    if (!e || m30->video_mode != mode)
        return errno = EINVAL, -1;
    auto lim = video_limits(mode, m30->chcfg[i].vid_std);
    if (!lim)
        return 0;
    uint32_t old = e->vid_rate;
    uint32_t now = old > lim->max ? lim->max : old < lim->min ? lim->min : old;
    if (now == old)
        return 0;
    e->vid_rate = now;
    M30_LOG(m30, i, M30_LOG_INFO, "Constraining video rate: %u to %u (Kbps)", old, now);
    m30_report_cfg_change(m30, i, M30_CHANGE_VIDEO_RATE);
    return 1;
}

// A system rate 5 % above the data rate leaves room for the multiplex.
uint32_t sys_min_for(uint32_t data) { return static_cast<uint32_t>(static_cast<uint64_t>(data) * 105 / 100); }

} // namespace

extern "C" {

M30_API int m30_channel_constrain_video_rate_hevc(m30_context *m30_, int i_) noexcept
{
    return constrain(m30_, i_, M30_VIDEO_MODE_HEVC);
}
M30_API int m30_channel_constrain_video_rate_h264(m30_context *m30_, int i_) noexcept
{
    return constrain(m30_, i_, M30_VIDEO_MODE_H264);
}
M30_API int m30_channel_constrain_video_rate_mpeg2(m30_context *m30_, int i_) noexcept
{
    return constrain(m30_, i_, M30_VIDEO_MODE_MPEG2);
}

M30_API uint32_t m30_channel_calc_data_rate(m30_context *m30_, int i_) noexcept
{
    m30_channel_config_enc *e = enc(m30_, i_);
    if (!e)
        return 0;
    uint64_t audio_bps = 0;
    for (int k = 0; k < M30_AUDIO_RES; ++k)
        if (m30_->chcfg[i_].audio_res_idx_group[k] && m30_->audcfg[k].audio_state == M30_ON)
            audio_bps += 2ull * m30_->audcfg[k].audio_rate_bps;
    return static_cast<uint32_t>(e->vid_rate + 84 + audio_bps / 1000);
}

M30_API int m30_channel_constrain_data_rate(m30_context *m30_, int i_) noexcept
{
    m30_channel_config_enc *e = enc(m30_, i_);
    if (!e)
        return errno = EINVAL, -1;
    uint32_t data = m30_channel_calc_data_rate(m30_, i_);
    uint32_t sys_min = sys_min_for(data);
    if (e->sys_rate >= sys_min) {
        M30_LOG(m30_, i_, M30_LOG_INFO, "Final rates Vid: %u Data: %u Sys: %u (Sys min: %u) (Kbps)", e->vid_rate, data,
                e->sys_rate, sys_min);
        return 0;
    }
    M30_LOG(m30_, i_, M30_LOG_DEBUG, "System rate %u is lower than min system rate %u (Kbps)", e->sys_rate, sys_min);
    int64_t vid_max = static_cast<int64_t>(e->sys_rate) - e->sys_rate * 5 / 100 - (data - e->vid_rate);
    if (e->vid_rate <= vid_max) {
        M30_LOG(m30_, i_, M30_LOG_INFO, "Final rates Vid: %u Data: %u Sys: %u (Vid max: %u) (Kbps)", e->vid_rate, data,
                e->sys_rate, static_cast<uint32_t>(vid_max));
        return 0;
    }
    M30_LOG(m30_, i_, M30_LOG_DEBUG, "Video rate %u is higher than max video rate %u (Kbps)", e->vid_rate,
            static_cast<uint32_t>(vid_max < 0 ? 0 : vid_max));
    auto lim = video_limits(m30_->video_mode, m30_->chcfg[i_].vid_std);
    uint32_t old = e->vid_rate;
    if (lim && lim->min > vid_max) {
        if (lim->min < e->vid_rate) {
            e->vid_rate = lim->min;
            M30_LOG(m30_, i_, M30_LOG_INFO, "Constraining video rate: %u to %u (Vid floor) for system rate: %u (Kbps)",
                    old, e->vid_rate, e->sys_rate);
        }
    } else if (lim) {
        e->vid_rate = static_cast<uint32_t>(vid_max);
        M30_LOG(m30_, i_, M30_LOG_INFO, "Constraining video rate: %u to %u (Vid max) for system rate: %u (Kbps)", old,
                e->vid_rate, e->sys_rate);
    }
    if (e->vid_rate != old)
        m30_report_cfg_change(m30_, i_, M30_CHANGE_VIDEO_RATE);
    data = m30_channel_calc_data_rate(m30_, i_);
    sys_min = sys_min_for(data);
    uint32_t sys_max = i_ == 0 ? 100000 : 26000;
    if (e->sys_rate < sys_min) {
        if (sys_min <= sys_max) {
            M30_LOG(m30_, i_, M30_LOG_INFO, "Constraining system rate: %u to %u (Sys min) for video rate: %u (Kbps)",
                    e->sys_rate, sys_min, e->vid_rate);
            e->sys_rate = sys_min;
        } else {
            M30_LOG(m30_, i_, M30_LOG_WARN, "Cannot raise system rate %u to min %u - exceeds max %u.", e->sys_rate,
                    sys_min, sys_max);
        }
    }
    M30_LOG(m30_, i_, M30_LOG_INFO, "Final rates Vid: %u Data: %u Sys: %u (Kbps)", e->vid_rate, data, e->sys_rate);
    return 0;
}

} // extern "C"

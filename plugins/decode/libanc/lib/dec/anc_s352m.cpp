// SMPTE ST 352 payload identifiers of the decoder's SDI outputs, built
// from the decoded video's size, scan, rate and colour.
#include "anc.h"

#include <kt3300.h>

#include <cmath>
#include <cstring>

namespace {

uint8_t video_id(int w, int h, bool progressive)
{
    switch (w) {
    case 1920: return h == 1080 && !progressive ? HD_1080 : _3G_1080P;
    case 1280: return h == 720 ? HD_720 : _3G_1080P;
    case 720: return h == 480 || h == 576 ? SD_525_625 : _3G_1080P;
    default: return _3G_1080P;
    }
}

uint8_t rate_code(double rate)
{
    if (!std::isfinite(rate) || rate <= 0 || rate > 1000)
        return FR_5994;
    switch (static_cast<int>(rate * 10)) {
    case 299: return FR_2997;
    case 239: return FR_2398;
    case 240: return FR_24;
    case 250: return FR_25;
    case 300: return FR_30;
    case 500: return FR_50;
    case 600: return FR_60;
    default: return FR_5994;
    }
}

} // namespace

extern "C" uint32_t ancS352mWord(const smpte_352m_d *p)
{
    uint8_t b[4];
    std::memcpy(b, p, sizeof b);
    return uint32_t(b[0]) << 24 | uint32_t(b[1]) << 16 | uint32_t(b[2]) << 8 | b[3];
}

extern "C" void ancS352mBuild(const DecAudHdrS352VidInfo *info, smpte_352m_d *p, smpte_352m_ctl *ctl)
{
    *p = {};
    p->ip_xport = info->ip_xport ? 1 : 0;
    p->ip_pict = info->ip_pic ? 1 : 0;
    p->id = video_id(info->hsize, info->vsize, info->ip_pic != IP_INTERLACED);
    p->fr_rate = rate_code(info->frame_rate);
    p->xfer_char = info->transfer_char == 16 ? HDR_PQ : info->transfer_char == 18 ? HLG : SDR;
    p->colorimetry = info->color_primaries == 9 ? BT_2020 : BT_709;
    p->aspect_ratio = _16x9;
    p->sampling_struct = YCBCR_422;
    p->bit_depth = _10BIT;
    smpte_352m_ctl c = S352M_CTL_EN_FIELD1;
    if (p->id == _3G_1080P) {
        c |= S352M_CTL_EN_INSERT;
        if (info->ip_pic == IP_INTERLACED)
            c |= S352M_CTL_EN_FIELD2;
    }
    *ctl = c;
}

extern "C" int ancS352mUpdate(void *ctx, const DecAudHdrS352VidInfo *info)
{
    if (!ctx || !info || info->chn < 0 || info->chn >= 2)
        return -1;
    smpte_352m_d payload;
    smpte_352m_ctl ctl;
    ancS352mBuild(info, &payload, &ctl);
    const unsigned hw = ancCarrierIsLowerRow() ? unsigned(info->chn) : unsigned(info->chn) ^ 1u;
    auto *board = static_cast<kt3300_ctx *>(ctx);
    if (kt3300_smpte352m_set_data(board, hw, ancS352mWord(&payload)) < 0)
        return -1;
    return kt3300_smpte352m_set_ctl(board, hw, ctl) < 0 ? -1 : 0;
}

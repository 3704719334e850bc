// D block: decoder system settings.
#include "dparam.h"

#include "../param_block.hpp"


namespace {
#define F(member, word, hi, lo) M30_FIELD(dparam, member, word, hi, lo)
constexpr m30pb::field fields[] = {
    F(DPARAM_CC, 0, 31, 0),
    F(STOP_CONDITION, 1, 31, 24), F(INPUT_STREAM_TYPE, 1, 23, 16),
    F(SOURCE, 2, 31, 24), F(SINK_A, 2, 23, 16), F(SINK_V, 2, 15, 8), F(STREAM_REALTIME_MODE, 2, 7, 0),
    F(DECODE_LATENCY, 3, 31, 0),
    F(LOW_LATENCY, 4, 15, 8), F(AV_RESYNC_MODE, 4, 7, 0),
    F(LATENCY_CHECK_VSYNC_CYCLE, 5, 31, 16), F(SYSTEM_CLOCK_SEL, 5, 7, 0),
    F(PWM_EN, 6, 31, 24), F(VCLK_GEN_MODE, 6, 15, 8), F(ACLK_GEN_MODE, 6, 7, 0),
    F(VIDEO_CONCEAL_LEVEL, 7, 31, 24), F(VIDEO_CONCEAL_LEVEL_REF, 7, 23, 16), F(VIDEO_MODE, 7, 7, 0),
    F(AUDIO0_MODE, 8, 31, 0), F(AUDIO1_MODE, 9, 31, 0), F(AUDIO2_MODE, 10, 31, 0),
    F(AUDIO3_MODE, 11, 31, 0),
    F(D_AUDIO_AD_ID_EN, 19, 7, 0),
    F(D_AUDIO_START_FRAME_NUM, 20, 7, 0),
    F(D_AUDIO0_AD_ID, 22, 31, 24), F(D_AUDIO0_AO_ID, 22, 23, 16),
    F(D_AUDIO1_AD_ID, 23, 31, 24), F(D_AUDIO1_AO_ID, 23, 23, 16),
    F(D_AUDIO2_AD_ID, 24, 31, 24), F(D_AUDIO2_AO_ID, 24, 23, 16),
    F(D_AUDIO3_AD_ID, 25, 31, 24), F(D_AUDIO3_AO_ID, 25, 23, 16),
    F(AUDIO_PTS_OFFSET, 34, 15, 0),
};
#undef F
static_assert(m30pb::valid(fields, 256));
constexpr m30pb::block desc{"dparam", "d", sizeof(dparam), 256, fields};
} // namespace

M30_PARAM_FAMILY(dparam, desc)

extern "C" M30_API int dparam_init(dparam *d_, bool is_pci_input_) noexcept
{
    if (!m30pb::fresh(d_, &dparam::DPARAM_CC))
        return -1;
    d_->STOP_CONDITION = D_STOP_CONDITION_PICTURE;
    d_->INPUT_STREAM_TYPE = D_INPUT_STREAM_TYPE_TS;
    // A stream fed by the host over PCI arrives in bursts, not in real time.
    d_->SOURCE = is_pci_input_ ? D_SOURCE_PCIE : D_SOURCE_PORT;
    d_->STREAM_REALTIME_MODE = is_pci_input_ ? 0 : 1;
    d_->SINK_A = D_SINK_A_I2S;
    d_->SINK_V = D_SINK_V_SDI;
    d_->DECODE_LATENCY = 100;
    d_->SYSTEM_CLOCK_SEL = D_SYS_CLK_STIX_27MOPT;
    d_->PWM_EN = 1;
    d_->VIDEO_CONCEAL_LEVEL = 100;
    d_->VIDEO_CONCEAL_LEVEL_REF = 100;
    d_->VIDEO_MODE = M30_VIDEO_MODE_HEVC;
    for (unsigned k = 0; k < 4; ++k)
        dparam_set_audio_mode(d_, k, M30_AUDIO_MODE_MPEG1_L2);
    d_->D_AUDIO_AD_ID_EN = 1;
    // Audio n runs on audio decoder n and leaves through audio output n.
    d_->D_AUDIO1_AD_ID = d_->D_AUDIO1_AO_ID = 1;
    d_->D_AUDIO2_AD_ID = d_->D_AUDIO2_AO_ID = 2;
    d_->D_AUDIO3_AD_ID = d_->D_AUDIO3_AO_ID = 3;
    return 0;
}

extern "C" M30_API int dparam_set_video_clock_freq(dparam *d_, d_video_clock clk_) noexcept
{
    return m30pb::store(d_, &dparam::VCLK_GEN_MODE, clk_);
}

extern "C" M30_API int dparam_set_video_mode(dparam *d_, m30_video_mode mode_) noexcept
{
    return m30pb::store(d_, &dparam::VIDEO_MODE, mode_);
}

extern "C" M30_API int dparam_set_audio_pids_info(dparam *d_, const unsigned pids_[4]) noexcept
{
    if (!d_ || !pids_)
        return errno = EINVAL, -1;
    uint8_t en = 0;
    for (unsigned n = 0; n < 4; ++n)
        if (pids_[n] != 0)
            en |= uint8_t(1u << n);
    d_->D_AUDIO_AD_ID_EN = en;
    return 0;
}

extern "C" M30_API int dparam_set_audio_mode(dparam *d_, unsigned audio_idx_, m30_audio_mode mode_) noexcept
{
    uint32_t id = m30pb::audio_firm_id(audio_idx_, mode_, false);
    if (!d_ || id == 0)
        return errno = EINVAL, -1;
    uint32_t *slot[4] = {&d_->AUDIO0_MODE, &d_->AUDIO1_MODE, &d_->AUDIO2_MODE, &d_->AUDIO3_MODE};
    *slot[audio_idx_] = id;
    return 0;
}

extern "C" M30_API d_video_clock m30_vidstd_to_dparam_vclk_fq(m30_vidstd vidstd_) noexcept
{
    switch (vidstd_) {
    case M30_VIDSTD_480P60: case M30_VIDSTD_480P5994: case M30_VIDSTD_480I60:
    case M30_VIDSTD_480I5994: case M30_VIDSTD_480P30: case M30_VIDSTD_480P2997:
    case M30_VIDSTD_576P50: case M30_VIDSTD_576I50: case M30_VIDSTD_576P25:
        return D_VID_CLK_27M;
    // 3 Gbit/s rates (SMPTE ST 424) and their 2160-line quadrants.
    case M30_VIDSTD_1080P60: case M30_VIDSTD_1080P50:
    case M30_VIDSTD_2160P60_SQD: case M30_VIDSTD_2160P50_SQD:
    case M30_VIDSTD_2160P60_2SI: case M30_VIDSTD_2160P50_2SI:
        return D_VID_CLK_148_5M;
    case M30_VIDSTD_1080P5994: case M30_VIDSTD_2160P5994_SQD: case M30_VIDSTD_2160P5994_2SI:
        return D_VID_CLK_148_5_DIV_1_001;
    // 1.5 Gbit/s rates (SMPTE ST 292): 74.25 MHz, divided by 1.001 for the NTSC-related rates.
    case M30_VIDSTD_720P5994: case M30_VIDSTD_720P2997: case M30_VIDSTD_720P2398:
    case M30_VIDSTD_1080I5994: case M30_VIDSTD_1080P2997: case M30_VIDSTD_1080P2398:
    case M30_VIDSTD_1080P2398SF: case M30_VIDSTD_2160P2997_SQD: case M30_VIDSTD_2160P2398_SQD:
    case M30_VIDSTD_2160P2997_2SI: case M30_VIDSTD_2160P2398_2SI:
        return D_VID_CLK_74_25M_DIV_1_001;
    case M30_VIDSTD_720P60: case M30_VIDSTD_720P50: case M30_VIDSTD_720P30: case M30_VIDSTD_720P25:
    case M30_VIDSTD_720P24: case M30_VIDSTD_1080I60: case M30_VIDSTD_1080I50:
    case M30_VIDSTD_1080P30: case M30_VIDSTD_1080P25: case M30_VIDSTD_1080P24:
    case M30_VIDSTD_1080P24SF: case M30_VIDSTD_2160P30_SQD: case M30_VIDSTD_2160P25_SQD:
    case M30_VIDSTD_2160P24_SQD: case M30_VIDSTD_2160P30_2SI: case M30_VIDSTD_2160P25_2SI:
    case M30_VIDSTD_2160P24_2SI:
        return D_VID_CLK_74_25M;
    default:
        return D_VID_CLK_148_5_DIV_1_001;
    }
}

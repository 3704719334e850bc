// EH block: HEVC video encoder.
#include "ehparam.h"

#include "video_rules.hpp"

namespace {
#define F(member, word, hi, lo) M30_FIELD(ehparam, member, word, hi, lo)
constexpr m30pb::field fields[] = {
    F(EHPARAM_CC, 0, 31, 0),
    F(SOURCE, 1, 31, 28), F(SOURCE_ID, 1, 23, 16), F(HS_ENCODE_MODE, 1, 15, 12), F(INTERLACE, 1, 11, 8),
    F(CHROMA_FORMAT, 1, 7, 4), F(BIT_DEPTH, 1, 3, 0),
    F(HSIZE_VA, 2, 31, 16), F(VSIZE_VA, 2, 15, 0),
    F(HSIZE_EH, 3, 31, 16), F(VSIZE_EH, 3, 15, 0),
    F(PROFILE, 4, 31, 24), F(LEVEL, 4, 23, 16), F(TIER, 4, 15, 12),
    F(ASPECT_RATIO_IDC, 5, 31, 24),
    F(SAR_WIDTH, 6, 31, 16), F(SAR_HEIGHT, 6, 15, 0),
    F(WPP_MODE, 7, 31, 28), F(TILE_SLICE_MODE, 7, 27, 24), F(NUM_SLICE_IN_TILE, 7, 23, 16),
    F(NUM_TILE_IN_SLICE, 7, 15, 8), F(NUM_SLICE_SEG_IN_SLICE, 7, 7, 0),
    F(FRAME_NUM_IN_GOP, 8, 31, 24), F(GOP_HIERARCHY, 8, 23, 20), F(USE_TEMPORAL_ID, 8, 19, 16),
    F(NUM_TILE_COL, 8, 7, 4), F(NUM_TILE_ROW, 8, 3, 0),
    F(P_AS_L0_B, 9, 31, 28), F(IP_PERIOD, 9, 27, 24), F(ADAPTIVE_GOP, 9, 23, 20), F(CLOSED_GOP, 9, 19, 16),
    F(IDR_INTERVAL, 9, 15, 0),
    F(RC_MODE, 10, 31, 28), F(DISABLE_MIN_QP_CTRL, 10, 27, 24), F(S_VBR_CONVERGE, 10, 23, 8),
    F(ADAPTIVE_QUANTIZATION, 10, 3, 0),
    F(BITRATE, 11, 31, 0), F(VBR_MAX_BITRATE, 12, 31, 0), F(VBR_AVE_BITRATE, 13, 31, 0),
    F(VBR_MIN_BITRATE, 14, 31, 0), F(VBR_FILLER_BITRATE, 15, 31, 0),
    F(NUM_UNITS_IN_TICK_MAX, 16, 31, 0), F(TIME_SCALE, 17, 31, 0), F(NUM_UNITS_IN_TICK, 18, 31, 0),
    F(CPB_DELAY, 19, 31, 0),
    F(MD_OPT, 20, 31, 28), F(S_VBR_MODE, 20, 7, 0),
    F(MAX_PIC_TARGET, 21, 31, 0),
    F(CTU_SIZE, 22, 31, 24), F(MIN_CU_SIZE, 22, 23, 16), F(MAX_TU_SIZE, 22, 15, 8), F(MIN_TU_SIZE, 22, 7, 0),
    F(MAX_TU_DEPTH_INTRA, 23, 15, 8), F(MAX_TU_DEPTH_INTER, 23, 7, 0),
    F(TSKIP_INTRA, 24, 31, 28), F(TSKIP_INTER, 24, 27, 24), F(STRONG_INTRA_SMOOTHING, 24, 23, 20),
    F(TEMPORAL_MVP, 24, 19, 16), F(MERGE_CAND, 24, 15, 12),
    F(AMP, 25, 31, 28), F(WP, 25, 15, 12),
    F(PCM, 27, 31, 28), F(MAX_PCM_SIZE, 27, 27, 20), F(MIN_PCM_SIZE, 27, 19, 12), F(PCM_LF_EN, 27, 11, 8),
    F(PCM_BDEPTH_Y, 27, 7, 4), F(PCM_BDEPTH_C, 27, 3, 0),
    F(SAO, 28, 31, 28), F(LF_TILE_SLICE, 28, 15, 12),
    F(DF, 29, 31, 28),
    F(RDOQ, 30, 31, 28),
    F(PPS_INSERTION, 31, 31, 28), F(EOS, 31, 15, 12), F(S_SCALING_LIST_MODE, 31, 7, 0),
    F(BUF_CTRL_PARAM, 32, 31, 28), F(VCL_HRD, 32, 27, 24), F(SUB_PIC_HRD, 32, 23, 20),
    F(VPS_TIMING_INFO_PRESENT_FLAG, 32, 15, 12),
    F(OVERSCAN_INFO, 33, 31, 28), F(BITSTREAM_RESTRICTION, 33, 27, 24),
    F(VIDEO_SIGNAL_TYPE, 34, 31, 28), F(VIDEO_FORMAT, 34, 27, 24), F(VIDEO_FULL_RANGE_FLAG, 34, 23, 20),
    F(COLOUR_DESCRIPTION_PRESENT_FLAG, 34, 19, 16), F(COLOUR_PRIMARIES, 34, 15, 8),
    F(TRANSFER_CHARACTERISTICS, 34, 7, 0),
    F(MATRIX_COEFFS, 35, 31, 24), F(CHROMA_LOC_INFO_PRESENT_FLAG, 35, 11, 8),
    F(CHROMA_SAMPLE_LOC_TYPE_TOP, 35, 7, 4), F(CHROMA_SAMPLE_LOC_TYPE_BOTTOM, 35, 3, 0),
    F(CROP_LEFT, 36, 31, 16), F(CROP_RIGHT, 36, 15, 0), F(CROP_TOP, 37, 31, 16), F(CROP_BOTTOM, 37, 15, 0),
    F(FORCE_USE_CORE_NUM, 38, 19, 16), F(GDR_REFRESH_HORIZONTAL, 38, 7, 4), F(GDR_REFRESH_VERTICAL, 38, 3, 0),
    F(OP_STD, 39, 31, 28), F(USE_TP_IRAP, 39, 27, 24), F(NAL_MODE_AROUND_IDR, 39, 23, 20),
    F(PIC_TIMING, 39, 19, 16), F(SCAN_TYPE, 39, 11, 8), F(FRAME_PACKING_ARRANGEMENT, 39, 3, 0),
    F(PAN_SCAN_RECT_LEFT, 40, 31, 16), F(PAN_SCAN_RECT_RIGHT, 40, 15, 0),
    F(PAN_SCAN_RECT_TOP, 41, 31, 16), F(PAN_SCAN_RECT_BOTTOM, 41, 15, 0),
    F(DECODED_PICTURE_HASH, 42, 31, 28), F(BAND_WIDTH_REDUCTION, 42, 3, 0),
    F(MAX_DPB_DELAY, 43, 3, 0),
    F(S_PPS_CB_QP_OFFSET, 44, 15, 8), F(S_PPS_CR_QP_OFFSET, 44, 7, 0),
    F(VEC_LIMIT_TYPE, 45, 3, 0),
    F(S_VEC_LIMIT_PIC_LEFT, 46, 31, 16), F(S_VEC_LIMIT_PIC_RIGHT, 46, 15, 0),
    F(S_VEC_LIMIT_PIC_TOP, 47, 31, 16), F(S_VEC_LIMIT_PIC_BOTTOM, 47, 15, 0),
    F(S_VEC_LIMIT_TILE_SLICE_LEFT, 48, 31, 16), F(S_VEC_LIMIT_TILE_SLICE_RIGHT, 48, 15, 0),
    F(S_VEC_LIMIT_TILE_SLICE_TOP, 49, 31, 16), F(S_VEC_LIMIT_TILE_SLICE_BOTTOM, 49, 15, 0),
};
#undef F
static_assert(m30pb::valid(fields, 256));
constexpr m30pb::block desc{"ehparam", "eh", sizeof(ehparam), 256, fields, true, true};

// Main 4:2:2 10, Main 10 or Main (ITU-T H.265 Annex A) for the sampling.
void update_profile(ehparam *eh)
{
    if (eh->BIT_DEPTH == 10)
        eh->PROFILE = eh->CHROMA_FORMAT == M30_CHROMAFMT_422 ? EH_PROFILE_MAIN_422_10 : EH_PROFILE_MAIN_10;
    else
        eh->PROFILE = EH_PROFILE_MAIN;
}
} // namespace

M30_PARAM_FAMILY(ehparam, desc)

extern "C" {

const char *const eh_profile_strings[] = {"Reserved", "Main", "Main 10", "Main Still Pic", "Main 422 10",
                                                  nullptr};
const uint16_t EH_CTU_SIZE_ENUM_TO_VALUE[] = {16, 32, 64, 0};
const uint16_t EH_CU_SIZE_ENUM_TO_VALUE[] = {8, 16, 32, 64, 0};
const uint16_t EH_TU_SIZE_ENUM_TO_VALUE[] = {4, 8, 16, 32, 0};

M30_API int ehparam_init(ehparam *eh_, unsigned source_, unsigned source_id_) noexcept
{
    if (!m30pb::fresh(eh_, &ehparam::EHPARAM_CC))
        return -1;
    eh_->SOURCE = static_cast<uint8_t>(source_);
    eh_->SOURCE_ID = static_cast<uint8_t>(source_id_);
    eh_->CHROMA_FORMAT = M30_CHROMAFMT_422;
    eh_->BIT_DEPTH = 10;
    eh_->HSIZE_VA = eh_->HSIZE_EH = 1920;
    eh_->VSIZE_VA = 1080;
    eh_->VSIZE_EH = 1088;
    eh_->PROFILE = EH_PROFILE_MAIN_422_10;
    eh_->TIER = EH_TIER_HIGH;
    eh_->ASPECT_RATIO_IDC = ASPECTRATIO_1x1;
    eh_->NUM_SLICE_IN_TILE = eh_->NUM_TILE_IN_SLICE = eh_->NUM_SLICE_SEG_IN_SLICE = 1;
    eh_->FRAME_NUM_IN_GOP = 32;
    eh_->NUM_TILE_COL = eh_->NUM_TILE_ROW = 1;
    eh_->P_AS_L0_B = 1;
    eh_->IP_PERIOD = 1;
    eh_->RC_MODE = M30_RATECTRL_VBR;
    // A secondary channel shares the chip with the first: lower rates.
    bool secondary = source_id_ != 0;
    eh_->BITRATE = eh_->VBR_AVE_BITRATE = secondary ? 21000 : 40000;
    eh_->VBR_MAX_BITRATE = secondary ? 42000 : 80000;
    eh_->VBR_MIN_BITRATE = 1000;
    m30enc::set_timing(eh_, M30_FRAME_RATE_CODE_59_94, 0);
    eh_->CPB_DELAY = 45000;
    eh_->MAX_TU_DEPTH_INTRA = eh_->MAX_TU_DEPTH_INTER = 4;
    eh_->TSKIP_INTRA = eh_->TSKIP_INTER = 1;
    eh_->TEMPORAL_MVP = 1;
    eh_->MERGE_CAND = 5;
    eh_->AMP = 1;
    eh_->SAO = 7;
    eh_->DF = 1;
    eh_->BUF_CTRL_PARAM = eh_->VCL_HRD = eh_->SUB_PIC_HRD = eh_->VPS_TIMING_INFO_PRESENT_FLAG = 1;
    eh_->VIDEO_SIGNAL_TYPE = 1;
    eh_->COLOUR_DESCRIPTION_PRESENT_FLAG = 1;
    eh_->COLOUR_PRIMARIES = eh_->TRANSFER_CHARACTERISTICS = eh_->MATRIX_COEFFS = 1;
    eh_->GDR_REFRESH_VERTICAL = 8;
    eh_->PIC_TIMING = 1;
    eh_->SCAN_TYPE = 1;
    return 0;
}

M30_API bool ehparam_is_interlace(const ehparam *eh_) noexcept { return m30enc::get(eh_, &ehparam::INTERLACE) != 0; }
M30_API int ehparam_set_interlace(ehparam *eh_, bool interlace_) noexcept
{
    return m30pb::store(eh_, &ehparam::INTERLACE, interlace_ ? 1 : 0);
}
M30_API bool ehparam_is_closed_gop(const ehparam *eh_) noexcept { return m30enc::get(eh_, &ehparam::CLOSED_GOP) != 0; }
M30_API int ehparam_set_closed_gop(ehparam *eh_, bool closed_) noexcept
{
    return m30pb::store(eh_, &ehparam::CLOSED_GOP, closed_ ? 1 : 0);
}
M30_API m30_chroma_fmt ehparam_get_chroma_fmt(const ehparam *eh_) noexcept
{
    return static_cast<m30_chroma_fmt>(m30enc::get(eh_, &ehparam::CHROMA_FORMAT));
}
M30_API int ehparam_set_chroma_fmt(ehparam *eh_, m30_chroma_fmt fmt_) noexcept
{
    if (m30pb::store(eh_, &ehparam::CHROMA_FORMAT, fmt_) != 0)
        return -1;
    update_profile(eh_);
    return 0;
}
M30_API unsigned ehparam_get_bit_depth(const ehparam *eh_) noexcept { return m30enc::get(eh_, &ehparam::BIT_DEPTH); }
M30_API int ehparam_set_bit_depth(ehparam *eh_, unsigned bit_depth_) noexcept
{
    if (m30pb::store(eh_, &ehparam::BIT_DEPTH, bit_depth_) != 0)
        return -1;
    update_profile(eh_);
    return 0;
}
M30_API eh_profile ehparam_get_profile(const ehparam *eh_) noexcept
{
    return static_cast<eh_profile>(m30enc::get(eh_, &ehparam::PROFILE));
}
M30_API int ehparam_set_profile(ehparam *eh_, eh_profile profile_) noexcept
{
    return m30pb::store(eh_, &ehparam::PROFILE, profile_);
}
M30_API eh_tier ehparam_get_tier(const ehparam *eh_) noexcept
{
    return static_cast<eh_tier>(m30enc::get(eh_, &ehparam::TIER));
}
M30_API int ehparam_set_tier(ehparam *eh_, eh_tier tier_) noexcept { return m30pb::store(eh_, &ehparam::TIER, tier_); }
M30_API unsigned ehparam_get_gop_length(const ehparam *eh_) noexcept { return m30enc::get(eh_, &ehparam::FRAME_NUM_IN_GOP); }
M30_API int ehparam_set_gop_length(ehparam *eh_, unsigned frames_) noexcept
{
    return m30pb::store(eh_, &ehparam::FRAME_NUM_IN_GOP, frames_);
}
M30_API int ehparam_set_frame_num_in_gop(ehparam *eh_, unsigned frames_) noexcept
{
    return m30pb::store(eh_, &ehparam::FRAME_NUM_IN_GOP, frames_);
}
M30_API int ehparam_set_ip_period(ehparam *eh_, unsigned period_) noexcept
{
    return m30pb::store(eh_, &ehparam::IP_PERIOD, period_);
}
M30_API m30_ratectrl ehparam_get_rate_control(const ehparam *eh_) noexcept
{
    return static_cast<m30_ratectrl>(m30enc::get(eh_, &ehparam::RC_MODE));
}
M30_API int ehparam_set_rate_control(ehparam *eh_, m30_ratectrl rc_) noexcept
{
    return m30pb::store(eh_, &ehparam::RC_MODE, rc_);
}
M30_API unsigned ehparam_get_video_rate(const ehparam *eh_) noexcept { return m30enc::get(eh_, &ehparam::BITRATE); }
M30_API int ehparam_set_video_rate(ehparam *eh_, unsigned kbps_) noexcept
{
    return m30pb::store(eh_, &ehparam::BITRATE, kbps_);
}
M30_API unsigned ehparam_get_vbr_max(const ehparam *eh_) noexcept { return m30enc::get(eh_, &ehparam::VBR_MAX_BITRATE); }
M30_API int ehparam_set_vbr_max(ehparam *eh_, unsigned kbps_) noexcept
{
    return m30pb::store(eh_, &ehparam::VBR_MAX_BITRATE, kbps_);
}
M30_API unsigned ehparam_get_vbr_min(const ehparam *eh_) noexcept { return m30enc::get(eh_, &ehparam::VBR_MIN_BITRATE); }
M30_API int ehparam_set_vbr_min(ehparam *eh_, unsigned kbps_) noexcept
{
    return m30pb::store(eh_, &ehparam::VBR_MIN_BITRATE, kbps_);
}
M30_API unsigned ehparam_get_vbr_average(const ehparam *eh_) noexcept { return m30enc::get(eh_, &ehparam::VBR_AVE_BITRATE); }
M30_API int ehparam_set_vbr_average(ehparam *eh_, unsigned kbps_) noexcept
{
    return m30pb::store(eh_, &ehparam::VBR_AVE_BITRATE, kbps_);
}
M30_API unsigned ehparam_get_vbr_filler(const ehparam *eh_) noexcept { return m30enc::get(eh_, &ehparam::VBR_FILLER_BITRATE); }
M30_API int ehparam_set_vbr_filler(ehparam *eh_, unsigned kbps_) noexcept
{
    return m30pb::store(eh_, &ehparam::VBR_FILLER_BITRATE, kbps_);
}
M30_API unsigned ehparam_get_hsize(const ehparam *eh_) noexcept { return m30enc::get(eh_, &ehparam::HSIZE_VA); }
M30_API int ehparam_set_hsize(ehparam *eh_, unsigned hsize_) noexcept
{
    return m30enc::set_coded(eh_, &ehparam::HSIZE_VA, &ehparam::HSIZE_EH, hsize_);
}
M30_API unsigned ehparam_get_hsize_out(const ehparam *eh_) noexcept { return m30enc::get(eh_, &ehparam::HSIZE_EH); }
M30_API unsigned ehparam_get_vsize(const ehparam *eh_) noexcept { return m30enc::get(eh_, &ehparam::VSIZE_VA); }
M30_API int ehparam_set_vsize(ehparam *eh_, unsigned vsize_) noexcept
{
    return m30enc::set_coded(eh_, &ehparam::VSIZE_VA, &ehparam::VSIZE_EH, vsize_, &ehparam::CROP_BOTTOM);
}
M30_API unsigned ehparam_get_vsize_out(const ehparam *eh_) noexcept { return m30enc::get(eh_, &ehparam::VSIZE_EH); }
M30_API int ehparam_set_frame_rate(ehparam *eh_, m30_frame_rate_code rate_, bool interlace_) noexcept
{
    return m30enc::set_timing(eh_, rate_, interlace_ ? 1 : 0);
}
M30_API int ehparam_set_latency(ehparam *eh_, unsigned cpb_delay_) noexcept
{
    return m30pb::store(eh_, &ehparam::CPB_DELAY, cpb_delay_);
}
M30_API unsigned ehparam_get_latency(const ehparam *eh_) noexcept { return m30enc::get(eh_, &ehparam::CPB_DELAY); }
M30_API int ehparam_set_aspect_ratio(ehparam *eh_, m30_aspect_ratio ar_) noexcept
{
    return eh_ ? m30pb::store(eh_, &ehparam::ASPECT_RATIO_IDC, m30enc::sar_idc(ar_, eh_->VSIZE_EH)) : (errno = EINVAL, -1);
}
M30_API int ehparam_set_vui_params(ehparam *eh_, unsigned height_, unsigned hdr_mode_) noexcept
{
    return m30enc::set_vui(eh_, height_, hdr_mode_);
}

M30_API int ehparam_set_ull_params(ehparam *eh_, bool ull_, unsigned channel_mode_) noexcept
{
    if (!eh_)
        return errno = EINVAL, -1;
    if (!ull_)
        return 0;
    eh_->RC_MODE = M30_RATECTRL_CBR;
    eh_->ADAPTIVE_QUANTIZATION = 0;
    eh_->MIN_CU_SIZE = 0;
    // Wavefront rows with one slice segment per 64 lines (128 per frame
    // when interlaced: each field is half the height).
    eh_->WPP_MODE = 1;
    unsigned rows = eh_->INTERLACE ? 128 : 64;
    eh_->NUM_SLICE_SEG_IN_SLICE = static_cast<uint8_t>((eh_->VSIZE_EH + rows - 1) / rows);
    eh_->NUM_UNITS_IN_TICK_MAX = eh_->NUM_UNITS_IN_TICK;
    eh_->GOP_HIERARCHY = EH_GOP_HIER_NONE;
    eh_->USE_TEMPORAL_ID = 0;
    eh_->S_SCALING_LIST_MODE = 0;
    eh_->GDR_REFRESH_HORIZONTAL = 0;
    eh_->IP_PERIOD = 1;
    eh_->BUF_CTRL_PARAM = eh_->VCL_HRD = eh_->SUB_PIC_HRD = eh_->VPS_TIMING_INFO_PRESENT_FLAG = 1;
    eh_->PIC_TIMING = 1;
    eh_->CPB_DELAY = 4500;
    eh_->GDR_REFRESH_VERTICAL = 4;
    eh_->FRAME_NUM_IN_GOP = 64;
    if (channel_mode_ == 1 && eh_->BITRATE > 22250)
        eh_->BITRATE = 22250;
    return 0;
}

} // extern "C"

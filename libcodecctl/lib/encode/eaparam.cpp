// EA block: AVC (H.264) video encoder.
#include "eaparam.h"

#include "ehparam.h"
#include "video_rules.hpp"

namespace {
#define F(member, word, hi, lo) M30_FIELD(eaparam, member, word, hi, lo)
// Structure order, except that BADAPT and NO_IDR_DELAY print before
// FRAME_NUM_IN_GOP (the table is also the print order).
constexpr m30pb::field fields[] = {
    F(EAPARAM_CC, 0, 31, 0),
    F(SOURCE, 1, 31, 28), F(SOURCE_ID, 1, 23, 16), F(HS_ENCODE_MODE, 1, 15, 12), F(INTERLACE, 1, 11, 8),
    F(CHROMA_FORMAT, 1, 7, 4), F(BIT_DEPTH, 1, 3, 0),
    F(HSIZE_VA, 2, 31, 16), F(VSIZE_VA, 2, 15, 0),
    F(HSIZE_EA, 3, 31, 16), F(VSIZE_EA, 3, 15, 0),
    F(PROFILE, 4, 31, 24), F(LEVEL, 4, 23, 16), F(CAVLC_MODE, 4, 11, 8),
    F(ASPECT_RATIO_IDC, 5, 31, 24),
    F(SAR_WIDTH, 6, 31, 16), F(SAR_HEIGHT, 6, 15, 0),
    F(SLICE_NUM_IN_PIC, 7, 7, 0),
    F(BADAPT, 8, 7, 4), F(NO_IDR_DELAY, 8, 3, 0), F(FRAME_NUM_IN_GOP, 8, 31, 24),
    F(LL_MODE, 9, 31, 28), F(IP_PERIOD, 9, 27, 24), F(ADAPTIVE_GOP, 9, 23, 20), F(CLOSED_GOP, 9, 19, 16),
    F(IDR_INTERVAL, 9, 15, 0),
    F(RC_MODE, 10, 31, 28), F(S_VBR_CONVERGE, 10, 23, 8), F(INITIAL_CPB_DELAY, 10, 3, 0),
    F(BITRATE, 11, 31, 0), F(VBR_MAX_BITRATE, 12, 31, 0), F(VBR_AVE_BITRATE, 13, 31, 0),
    F(VBR_MIN_BITRATE, 14, 31, 0), F(VBR_FILLER_BITRATE, 15, 31, 0),
    F(NUM_UNITS_IN_TICK_MAX, 16, 31, 0), F(TIME_SCALE, 17, 31, 0), F(NUM_UNITS_IN_TICK, 18, 31, 0),
    F(CPB_DELAY, 19, 31, 0),
    F(WP, 21, 15, 12), F(CLIP_PIC_INIT_QP_MINUS26, 21, 3, 0),
    F(DF, 22, 31, 28), F(TEMPORAL_DIRECT_ON, 22, 19, 16),
    F(PPS_INSERTION, 23, 31, 28), F(SPS_INSERTION, 23, 27, 24), F(EOS, 23, 15, 12),
    F(BUF_CTRL_PARAM, 24, 31, 28), F(VCL_HRD, 24, 27, 24), F(DELETE_PAN_SCAN_RECT_SEI, 24, 23, 20),
    F(PIC_ORDER_PRESENT_FLAG, 24, 19, 16), F(TIMING_INFO_PRESENT_FLAG, 24, 15, 12),
    F(LOG2_MAX_MV_LENGTH, 24, 3, 0),
    F(OVERSCAN_INFO, 25, 31, 28), F(BITSTREAM_RESTRICTION, 25, 27, 24), F(NUM_REORDER_FRAMES, 25, 19, 16),
    F(MAX_DEC_FRAME_BUFFERING, 25, 11, 8), F(ASPECT_RATIO_INFO_PRESENT_FLAG, 25, 3, 0),
    F(VIDEO_SIGNAL_TYPE, 26, 31, 28), F(VIDEO_FORMAT, 26, 27, 24), F(VIDEO_FULL_RANGE_FLAG, 26, 23, 20),
    F(COLOUR_DESCRIPTION_PRESENT_FLAG, 26, 19, 16), F(COLOUR_PRIMARIES, 26, 15, 8),
    F(TRANSFER_CHARACTERISTICS, 26, 7, 0),
    F(MATRIX_COEFFS, 27, 31, 24), F(CHROMA_LOC_INFO_PRESENT_FLAG, 27, 11, 8),
    F(CHROMA_SAMPLE_LOC_TYPE_TOP, 27, 7, 4), F(CHROMA_SAMPLE_LOC_TYPE_BOTTOM, 27, 3, 0),
    F(CROP_LEFT, 28, 31, 16), F(CROP_RIGHT, 28, 15, 0), F(CROP_TOP, 29, 31, 16), F(CROP_BOTTOM, 29, 15, 0),
    F(RECOVERY_POINT, 31, 31, 28), F(PIC_TIMING, 31, 19, 16),
    F(PAN_SCAN_RECT_LEFT, 32, 31, 16), F(PAN_SCAN_RECT_RIGHT, 32, 15, 0),
    F(PAN_SCAN_RECT_TOP, 33, 31, 16), F(PAN_SCAN_RECT_BOTTOM, 33, 15, 0),
};
#undef F
static_assert(m30pb::valid(fields, 256));
constexpr m30pb::block desc{"eaparam", "ea", sizeof(eaparam), 256, fields, true, true};

// High 4:2:2, High 10 or High (ITU-T H.264 Annex A) for the sampling.
void update_profile(eaparam *ea)
{
    if (ea->CHROMA_FORMAT == M30_CHROMAFMT_422)
        ea->PROFILE = EA_PROFILE_HIGH_422;
    else
        ea->PROFILE = ea->BIT_DEPTH == 10 ? EA_PROFILE_HIGH_10 : EA_PROFILE_HIGH;
}

// The AVC level (times ten; ITU-T H.264 Table A-1) for the picture height,
// scan and bit rate.
void update_level(eaparam *ea)
{
    unsigned h = ea->VSIZE_VA, kbps = ea->BITRATE;
    if (h >= 1080 && !ea->INTERLACE)
        ea->LEVEL = 42;
    else if (h < 720)
        ea->LEVEL = kbps <= 10000 ? 30 : kbps <= 14000 ? 31 : 32;
    else
        ea->LEVEL = kbps <= 20000 ? 40 : 41;
}
} // namespace

M30_PARAM_FAMILY(eaparam, desc)

extern "C" {

const char *const ea_profile_strings[] = {"Reserved", "Main", "High", "High 10", "High 422", "Baseline",
                                                  nullptr};

M30_API int eaparam_init(eaparam *ea_, unsigned source_, unsigned source_id_) noexcept
{
    if (!m30pb::fresh(ea_, &eaparam::EAPARAM_CC))
        return -1;
    ea_->SOURCE = static_cast<uint8_t>(source_);
    ea_->SOURCE_ID = static_cast<uint8_t>(source_id_);
    ea_->CHROMA_FORMAT = M30_CHROMAFMT_422;
    ea_->BIT_DEPTH = 10;
    ea_->HSIZE_VA = ea_->HSIZE_EA = 1920;
    ea_->VSIZE_VA = 1080;
    ea_->VSIZE_EA = 1088;
    ea_->LEVEL = 42;
    ea_->CAVLC_MODE = 1;
    ea_->ASPECT_RATIO_IDC = ASPECTRATIO_1x1;
    ea_->FRAME_NUM_IN_GOP = 30;
    ea_->IP_PERIOD = 3;
    ea_->IDR_INTERVAL = 4;
    ea_->RC_MODE = M30_RATECTRL_CBR;
    ea_->S_VBR_CONVERGE = 900;
    ea_->INITIAL_CPB_DELAY = 10;
    // A secondary channel shares the chip with the first: lower rate.
    ea_->BITRATE = source_id_ != 0 ? 21000 : 64000;
    m30enc::set_timing(ea_, M30_FRAME_RATE_CODE_59_94, 2);
    ea_->CPB_DELAY = 45000;
    ea_->CLIP_PIC_INIT_QP_MINUS26 = 1;
    ea_->DF = 1;
    ea_->PPS_INSERTION = EA_PPSINS_EVERY_PICTURE;
    ea_->BUF_CTRL_PARAM = ea_->VCL_HRD = ea_->DELETE_PAN_SCAN_RECT_SEI = 1;
    ea_->TIMING_INFO_PRESENT_FLAG = 1;
    ea_->MAX_DEC_FRAME_BUFFERING = 2;
    ea_->ASPECT_RATIO_INFO_PRESENT_FLAG = 1;
    ea_->VIDEO_SIGNAL_TYPE = 1;
    ea_->COLOUR_DESCRIPTION_PRESENT_FLAG = 1;
    ea_->COLOUR_PRIMARIES = ea_->TRANSFER_CHARACTERISTICS = ea_->MATRIX_COEFFS = 1;
    ea_->RECOVERY_POINT = 1;
    ea_->PIC_TIMING = 1;
    update_profile(ea_);
    return 0;
}

M30_API bool eaparam_is_interlace(const eaparam *ea_) noexcept { return m30enc::get(ea_, &eaparam::INTERLACE) != 0; }
M30_API int eaparam_set_interlace(eaparam *ea_, bool interlace_) noexcept
{
    if (m30pb::store(ea_, &eaparam::INTERLACE, interlace_ ? 1 : 0) != 0)
        return -1;
    update_level(ea_);
    return 0;
}
M30_API bool eaparam_is_closed_gop(const eaparam *ea_) noexcept { return m30enc::get(ea_, &eaparam::CLOSED_GOP) != 0; }
M30_API int eaparam_set_closed_gop(eaparam *ea_, bool closed_) noexcept
{
    return m30pb::store(ea_, &eaparam::CLOSED_GOP, closed_ ? 1 : 0);
}
M30_API m30_chroma_fmt eaparam_get_chroma_fmt(const eaparam *ea_) noexcept
{
    return static_cast<m30_chroma_fmt>(m30enc::get(ea_, &eaparam::CHROMA_FORMAT));
}
M30_API int eaparam_set_chroma_fmt(eaparam *ea_, m30_chroma_fmt fmt_) noexcept
{
    if (m30pb::store(ea_, &eaparam::CHROMA_FORMAT, fmt_) != 0)
        return -1;
    update_profile(ea_);
    return 0;
}
M30_API unsigned eaparam_get_bit_depth(const eaparam *ea_) noexcept { return m30enc::get(ea_, &eaparam::BIT_DEPTH); }
M30_API int eaparam_set_bit_depth(eaparam *ea_, unsigned bit_depth_) noexcept
{
    if (m30pb::store(ea_, &eaparam::BIT_DEPTH, bit_depth_) != 0)
        return -1;
    update_profile(ea_);
    return 0;
}
M30_API ea_profile eaparam_get_profile(const eaparam *ea_) noexcept
{
    return static_cast<ea_profile>(m30enc::get(ea_, &eaparam::PROFILE));
}
M30_API unsigned eaparam_get_gop_length(const eaparam *ea_) noexcept { return m30enc::get(ea_, &eaparam::FRAME_NUM_IN_GOP); }
M30_API int eaparam_set_gop_length(eaparam *ea_, unsigned frames_) noexcept
{
    return m30pb::store(ea_, &eaparam::FRAME_NUM_IN_GOP, frames_);
}
M30_API int eaparam_set_frame_num_in_gop(eaparam *ea_, unsigned frames_) noexcept
{
    return m30pb::store(ea_, &eaparam::FRAME_NUM_IN_GOP, frames_);
}
M30_API int eaparam_set_ip_period(eaparam *ea_, unsigned period_) noexcept
{
    if (m30pb::store(ea_, &eaparam::IP_PERIOD, period_) != 0)
        return -1;
    ea_->LL_MODE = period_ == 1 ? 2 : 0;
    return 0;
}
M30_API m30_ratectrl eaparam_get_rate_control(const eaparam *ea_) noexcept
{
    return static_cast<m30_ratectrl>(m30enc::get(ea_, &eaparam::RC_MODE));
}
M30_API int eaparam_set_rate_control(eaparam *ea_, m30_ratectrl rc_) noexcept
{
    return m30pb::store(ea_, &eaparam::RC_MODE, rc_);
}
M30_API unsigned eaparam_get_video_rate(const eaparam *ea_) noexcept { return m30enc::get(ea_, &eaparam::BITRATE); }
M30_API int eaparam_set_video_rate(eaparam *ea_, unsigned kbps_) noexcept
{
    if (m30pb::store(ea_, &eaparam::BITRATE, kbps_) != 0)
        return -1;
    ea_->CAVLC_MODE = kbps_ > 20000 ? 1 : 0;
    update_level(ea_);
    return 0;
}
M30_API unsigned eaparam_get_vbr_max(const eaparam *ea_) noexcept { return m30enc::get(ea_, &eaparam::VBR_MAX_BITRATE); }
M30_API int eaparam_set_vbr_max(eaparam *ea_, unsigned kbps_) noexcept
{
    return m30pb::store(ea_, &eaparam::VBR_MAX_BITRATE, kbps_);
}
M30_API unsigned eaparam_get_vbr_min(const eaparam *ea_) noexcept { return m30enc::get(ea_, &eaparam::VBR_MIN_BITRATE); }
M30_API int eaparam_set_vbr_min(eaparam *ea_, unsigned kbps_) noexcept
{
    return m30pb::store(ea_, &eaparam::VBR_MIN_BITRATE, kbps_);
}
M30_API unsigned eaparam_get_vbr_average(const eaparam *ea_) noexcept { return m30enc::get(ea_, &eaparam::VBR_AVE_BITRATE); }
M30_API int eaparam_set_vbr_average(eaparam *ea_, unsigned kbps_) noexcept
{
    return m30pb::store(ea_, &eaparam::VBR_AVE_BITRATE, kbps_);
}
M30_API unsigned eaparam_get_vbr_filler(const eaparam *ea_) noexcept { return m30enc::get(ea_, &eaparam::VBR_FILLER_BITRATE); }
M30_API int eaparam_set_vbr_filler(eaparam *ea_, unsigned kbps_) noexcept
{
    return m30pb::store(ea_, &eaparam::VBR_FILLER_BITRATE, kbps_);
}
M30_API unsigned eaparam_get_hsize(const eaparam *ea_) noexcept { return m30enc::get(ea_, &eaparam::HSIZE_VA); }
M30_API int eaparam_set_hsize(eaparam *ea_, unsigned hsize_) noexcept
{
    return m30enc::set_coded(ea_, &eaparam::HSIZE_VA, &eaparam::HSIZE_EA, hsize_);
}
M30_API unsigned eaparam_get_hsize_out(const eaparam *ea_) noexcept { return m30enc::get(ea_, &eaparam::HSIZE_EA); }
M30_API unsigned eaparam_get_vsize(const eaparam *ea_) noexcept { return m30enc::get(ea_, &eaparam::VSIZE_VA); }
M30_API int eaparam_set_vsize(eaparam *ea_, unsigned vsize_) noexcept
{
    if (m30enc::set_coded(ea_, &eaparam::VSIZE_VA, &eaparam::VSIZE_EA, vsize_, &eaparam::CROP_BOTTOM) != 0)
        return -1;
    update_level(ea_);
    return 0;
}
M30_API unsigned eaparam_get_vsize_out(const eaparam *ea_) noexcept { return m30enc::get(ea_, &eaparam::VSIZE_EA); }
M30_API int eaparam_set_frame_rate(eaparam *ea_, m30_frame_rate_code rate_) noexcept
{
    return m30enc::set_timing(ea_, rate_, 2);
}
M30_API int eaparam_set_latency(eaparam *ea_, unsigned cpb_delay_) noexcept
{
    return m30pb::store(ea_, &eaparam::CPB_DELAY, cpb_delay_);
}
M30_API unsigned eaparam_get_latency(const eaparam *ea_) noexcept { return m30enc::get(ea_, &eaparam::CPB_DELAY); }
M30_API int eaparam_set_aspect_ratio(eaparam *ea_, m30_aspect_ratio ar_) noexcept
{
    return ea_ ? m30pb::store(ea_, &eaparam::ASPECT_RATIO_IDC, m30enc::sar_idc(ar_, ea_->VSIZE_EA)) : (errno = EINVAL, -1);
}
M30_API int eaparam_set_vui_params(eaparam *ea_, unsigned height_, unsigned hdr_mode_) noexcept
{
    return m30enc::set_vui(ea_, height_, hdr_mode_);
}
M30_API int eaparam_set_initial_cpb_delay(eaparam *ea_, m30_avc_initial_cpb_delay delay_) noexcept
{
    auto code = static_cast<unsigned>(delay_);
    if (!ea_ || code > M30_AVC_INITIAL_CPB_DELAY_100)
        return errno = EINVAL, -1;
    ea_->INITIAL_CPB_DELAY = static_cast<uint8_t>(6 + code); // codes 60 to 100 are held as 6 to 10
    return 0;
}

} // extern "C"

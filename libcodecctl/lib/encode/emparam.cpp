// EM block: MPEG-2 video encoder.
#include "emparam.h"

#include "video_rules.hpp"

namespace {
#define F(member, word, hi, lo) M30_FIELD(emparam, member, word, hi, lo)
constexpr m30pb::field fields[] = {
    F(EMPARAM_CC, 0, 31, 0),
    F(SOURCE, 1, 31, 28), F(SOURCE_ID, 1, 23, 16),
    F(HSIZE_VA, 2, 31, 16), F(VSIZE_VA, 2, 15, 0),
    F(HSIZE_EM, 3, 31, 16), F(VSIZE_EM, 3, 15, 0),
    F(LEVEL, 4, 15, 8),
    F(ASPECT_RATIO_INFORMATION, 5, 23, 16),
    F(V_FORMAT, 6, 31, 28), F(BOTTOM_FIELD_FIRST, 6, 27, 24),
    F(FRAME_NUM_IN_GOP, 8, 31, 24), F(FRAME_RATE_CODE, 8, 11, 8),
    F(IP_PERIOD, 9, 27, 24), F(ADAPTIVE_GOP, 9, 23, 20), F(CLOSED_GOP, 9, 19, 16), F(SEQ_H_INTERVAL, 9, 15, 0),
    F(RC_MODE, 10, 31, 28),
    F(BITRATE, 11, 31, 0), F(VBR_AVE_BITRATE, 13, 31, 0), F(VBR_FILLER_BITRATE, 15, 31, 0),
    F(VBV_BUFFER_SIZE, 17, 31, 0),
    F(EOS, 18, 15, 12), F(FORCE_IPIC_AT_PC, 18, 7, 4),
    F(VIDEO_SIGNAL_TYPE, 19, 31, 28), F(VIDEO_FORMAT, 19, 27, 24), F(COLOUR_DESCRIPTION, 19, 19, 16),
    F(COLOUR_PRIMARIES, 19, 15, 8), F(TRANSFER_CHARACTERISTICS, 19, 7, 0),
    F(MATRIX_COEFFICIENTS, 20, 31, 24),
    F(DISPLAY_HORIZONTAL_SIZE, 21, 31, 16), F(DISPLAY_VERTICAL_SIZE, 21, 15, 0),
    F(LOAD_INTRA_QUANTISER_MATRIX, 23, 7, 4), F(LOAD_NON_INTRA_QUANTISER_MATRIX, 23, 3, 0),
};
#undef F
static_assert(m30pb::valid(fields, 256));
// Of the quantiser matrices (held, never packed) print shows the first entry.
constexpr m30pb::field matrix_heads[] = {
    M30_HOST_FIELD(emparam, INTRA_QUANT_MATRIX_00), M30_HOST_FIELD(emparam, NON_INTRA_QUANT_MATRIX_00)};
constexpr auto print_fields = m30enc::join(fields, matrix_heads);

constexpr m30pb::block pack_desc{"emparam", "em", sizeof(emparam), 256, fields, true, false};
constexpr m30pb::block print_desc{"emparam", "em", sizeof(emparam), 256, print_fields};
constexpr m30enc::block desc{pack_desc, print_desc};
} // namespace

M30_ENC_FAMILY(emparam, desc)

extern "C" {

const char *const em_ip_period_strings[] = {"invalid (0)", "IPPP", "IBP", "IBBP", nullptr};

M30_API int emparam_init(emparam *em_, unsigned source_, unsigned source_id_) noexcept
{
    if (!m30pb::fresh(em_, &emparam::EMPARAM_CC))
        return -1;
    em_->SOURCE = static_cast<uint8_t>(source_);
    em_->SOURCE_ID = static_cast<uint8_t>(source_id_);
    em_->HSIZE_VA = em_->HSIZE_EM = em_->DISPLAY_HORIZONTAL_SIZE = 1920;
    em_->VSIZE_VA = em_->VSIZE_EM = em_->DISPLAY_VERTICAL_SIZE = 1080;
    em_->ASPECT_RATIO_INFORMATION = EM_ASPECTRATIO_INFO_9_16;
    em_->FRAME_NUM_IN_GOP = 15;
    em_->FRAME_RATE_CODE = EM_FRCODE_29_97;
    em_->IP_PERIOD = EM_IPPERIOD_IBBP;
    em_->SEQ_H_INTERVAL = 1;
    em_->RC_MODE = M30_RATECTRL_CBR;
    em_->BITRATE = 40000;
    em_->EOS = 1;
    // ISO/IEC 13818-2 sequence_display_extension: component video, BT.709.
    em_->VIDEO_SIGNAL_TYPE = 1;
    em_->VIDEO_FORMAT = 2;
    em_->COLOUR_DESCRIPTION = 1;
    em_->COLOUR_PRIMARIES = em_->TRANSFER_CHARACTERISTICS = em_->MATRIX_COEFFICIENTS = 1;
    return 0;
}

M30_API bool emparam_is_interlace(const emparam *em_) noexcept
{
    return em_ && em_->V_FORMAT == EM_VFORMAT_INTERLACE;
}
M30_API int emparam_set_interlace(emparam *em_, bool interlace_) noexcept
{
    return m30pb::store(em_, &emparam::V_FORMAT, interlace_ ? EM_VFORMAT_INTERLACE : EM_VFORMAT_PROGRESSIVE);
}
M30_API bool emparam_is_closed_gop(const emparam *em_) noexcept { return m30enc::get(em_, &emparam::CLOSED_GOP) != 0; }
M30_API int emparam_set_closed_gop(emparam *em_, bool closed_) noexcept
{
    return m30pb::store(em_, &emparam::CLOSED_GOP, closed_ ? 1 : 0);
}
M30_API unsigned emparam_get_gop_length(const emparam *em_) noexcept { return m30enc::get(em_, &emparam::FRAME_NUM_IN_GOP); }
M30_API int emparam_set_gop_length(emparam *em_, unsigned frames_) noexcept
{
    return m30pb::store(em_, &emparam::FRAME_NUM_IN_GOP, frames_);
}
M30_API int emparam_set_frame_num_in_gop(emparam *em_, unsigned frames_) noexcept
{
    return m30pb::store(em_, &emparam::FRAME_NUM_IN_GOP, frames_);
}
M30_API int emparam_set_ip_period(emparam *em_, unsigned period_) noexcept
{
    return m30pb::store(em_, &emparam::IP_PERIOD, period_);
}
M30_API m30_ratectrl emparam_get_rate_control(const emparam *em_) noexcept
{
    return static_cast<m30_ratectrl>(m30enc::get(em_, &emparam::RC_MODE));
}
M30_API int emparam_set_rate_control(emparam *em_, m30_ratectrl rc_) noexcept
{
    return m30pb::store(em_, &emparam::RC_MODE, rc_);
}
M30_API unsigned emparam_get_video_rate(const emparam *em_) noexcept { return m30enc::get(em_, &emparam::BITRATE); }
M30_API int emparam_set_video_rate(emparam *em_, unsigned kbps_) noexcept
{
    return m30pb::store(em_, &emparam::BITRATE, kbps_);
}
M30_API unsigned emparam_get_vbr_average(const emparam *em_) noexcept { return m30enc::get(em_, &emparam::VBR_AVE_BITRATE); }
M30_API int emparam_set_vbr_average(emparam *em_, unsigned kbps_) noexcept
{
    return m30pb::store(em_, &emparam::VBR_AVE_BITRATE, kbps_);
}
M30_API unsigned emparam_get_vbr_filler(const emparam *em_) noexcept { return m30enc::get(em_, &emparam::VBR_FILLER_BITRATE); }
M30_API int emparam_set_vbr_filler(emparam *em_, unsigned kbps_) noexcept
{
    return m30pb::store(em_, &emparam::VBR_FILLER_BITRATE, kbps_);
}
M30_API unsigned emparam_get_hsize(const emparam *em_) noexcept { return m30enc::get(em_, &emparam::HSIZE_VA); }
M30_API int emparam_set_hsize(emparam *em_, unsigned hsize_) noexcept
{
    if (!em_)
        return errno = EINVAL, -1;
    em_->HSIZE_VA = em_->HSIZE_EM = em_->DISPLAY_HORIZONTAL_SIZE = static_cast<uint16_t>(hsize_);
    em_->ASPECT_RATIO_INFORMATION = hsize_ < 1280 ? EM_ASPECTRATIO_INFO_3_4 : EM_ASPECTRATIO_INFO_9_16;
    return 0;
}
M30_API unsigned emparam_get_hsize_out(const emparam *em_) noexcept { return m30enc::get(em_, &emparam::HSIZE_EM); }
M30_API unsigned emparam_get_vsize(const emparam *em_) noexcept { return m30enc::get(em_, &emparam::VSIZE_VA); }
M30_API int emparam_set_vsize(emparam *em_, unsigned vsize_) noexcept
{
    if (!em_)
        return errno = EINVAL, -1;
    em_->VSIZE_VA = em_->VSIZE_EM = em_->DISPLAY_VERTICAL_SIZE = static_cast<uint16_t>(vsize_);
    return 0;
}
M30_API unsigned emparam_get_vsize_out(const emparam *em_) noexcept { return m30enc::get(em_, &emparam::VSIZE_EM); }
M30_API int emparam_set_frame_rate(emparam *em_, m30_frame_rate_code rate_) noexcept
{
    return m30pb::store(em_, &emparam::FRAME_RATE_CODE, rate_);
}

} // extern "C"

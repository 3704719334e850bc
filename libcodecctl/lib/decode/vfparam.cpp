// VF block: video format conversion after decoding.
#include "vfparam.h"

#include "../param_block.hpp"


namespace {
#define F(member, word, hi, lo) M30_FIELD(vfparam, member, word, hi, lo)
constexpr m30pb::field fields[] = {
    F(VFPARAM_CC, 0, 31, 0),
    F(OUTPUT_MODE, 2, 23, 16), F(CHROMA_FORMAT_OUT, 2, 15, 8), F(BIT_DEPTH_OUT, 2, 7, 0),
    F(HSIZE_VO, 3, 31, 16), F(VSIZE_VO, 3, 15, 0),
    F(C422_COEF_P_01, 5, 31, 16), F(C422_COEF_P_00, 5, 15, 0),
    F(C422_COEF_P_03, 6, 31, 16), F(C422_COEF_P_02, 6, 15, 0),
    F(C422_COEF_P_11, 7, 31, 16), F(C422_COEF_P_10, 7, 15, 0),
    F(C422_COEF_P_13, 8, 31, 16), F(C422_COEF_P_12, 8, 15, 0),
    F(C422_COEF_I_01, 9, 31, 16), F(C422_COEF_I_00, 9, 15, 0),
    F(C422_COEF_I_03, 10, 31, 16), F(C422_COEF_I_02, 10, 15, 0),
    F(C422_COEF_I_11, 11, 31, 16), F(C422_COEF_I_10, 11, 15, 0),
    F(C422_COEF_I_13, 12, 31, 16), F(C422_COEF_I_12, 12, 15, 0),
    F(COLOR_SPACE_CONV_EN, 13, 7, 0),
    F(COLOR_SPACE_OUT, 14, 7, 0),
};
#undef F
static_assert(m30pb::valid(fields, 256));
constexpr m30pb::block desc{"vfparam", "vf", sizeof(vfparam), 256, fields};

// Two's complement in the 16-bit member.
constexpr uint16_t coef(int v) { return static_cast<uint16_t>(v); }
} // namespace

M30_PARAM_FAMILY(vfparam, desc)

extern "C" M30_API int vfparam_init(vfparam *vf_) noexcept
{
    if (!m30pb::fresh(vf_, &vfparam::VFPARAM_CC))
        return -1;
    vf_->CHROMA_FORMAT_OUT = M30_CHROMAFMT_422;
    vf_->BIT_DEPTH_OUT = 8;
    vf_->HSIZE_VO = 1920;
    vf_->VSIZE_VO = 1080;
    // 4:2:0 to 4:2:2 chroma up-sampling filters, unity gain (taps sum to
    // 1024); progressive (P) and interlaced (I) sets, two phases each.
    vf_->C422_COEF_P_00 = coef(19);
    vf_->C422_COEF_P_01 = coef(103);
    vf_->C422_COEF_P_02 = coef(1037);
    vf_->C422_COEF_P_03 = coef(-135);
    vf_->C422_COEF_P_10 = coef(-135);
    vf_->C422_COEF_P_11 = coef(1037);
    vf_->C422_COEF_P_12 = coef(103);
    vf_->C422_COEF_P_13 = coef(19);
    vf_->C422_COEF_I_00 = coef(24);
    vf_->C422_COEF_I_01 = coef(-41);
    vf_->C422_COEF_I_02 = coef(1169);
    vf_->C422_COEF_I_03 = coef(-128);
    vf_->C422_COEF_I_10 = coef(-76);
    vf_->C422_COEF_I_11 = coef(783);
    vf_->C422_COEF_I_12 = coef(330);
    vf_->C422_COEF_I_13 = coef(-13);
    return 0;
}

extern "C" M30_API int vfparam_set_hsize(vfparam *vf_, unsigned hsize_) noexcept
{
    return m30pb::store(vf_, &vfparam::HSIZE_VO, hsize_);
}

extern "C" M30_API int vfparam_set_vsize(vfparam *vf_, unsigned vsize_) noexcept
{
    return m30pb::store(vf_, &vfparam::VSIZE_VO, vsize_);
}

extern "C" M30_API m30_chroma_fmt vfparam_get_chroma_fmt(const vfparam *vf_) noexcept
{
    return vf_ ? static_cast<m30_chroma_fmt>(vf_->CHROMA_FORMAT_OUT) : M30_CHROMAFMT_RSVD_MONO;
}

extern "C" M30_API int vfparam_set_chroma_fmt(vfparam *vf_, m30_chroma_fmt fmt_) noexcept
{
    return m30pb::store(vf_, &vfparam::CHROMA_FORMAT_OUT, fmt_);
}

extern "C" M30_API unsigned vfparam_get_bit_depth(const vfparam *vf_) noexcept
{
    return vf_ ? vf_->BIT_DEPTH_OUT : 0;
}

extern "C" M30_API int vfparam_set_bit_depth(vfparam *vf_, unsigned bit_depth_) noexcept
{
    return m30pb::store(vf_, &vfparam::BIT_DEPTH_OUT, bit_depth_);
}

// VD block: video decoder reports.
#include "vdparam.h"

#include "../param_block.hpp"


namespace {
#define F(member, word, hi, lo) M30_FIELD(vdparam, member, word, hi, lo)
constexpr m30pb::field fields[] = {
    F(VDPARAM_CC, 0, 31, 0),
    F(SEI_PAYLOADTYPE3, 2, 31, 24), F(SEI_PAYLOADTYPE2, 2, 23, 16), F(SEI_PAYLOADTYPE1, 2, 15, 8),
    F(SEI_PAYLOADTYPE0, 2, 7, 0),
    F(SEI_PAYLOADTYPE4, 3, 7, 0),
    F(MPEG2_PIC_USER_DATA, 4, 23, 16), F(MPEG2_GOP_USER_DATA, 4, 15, 8),
    F(MPEG2_SEQ_USER_DATA, 4, 7, 0),
};
#undef F
static_assert(m30pb::valid(fields, 256));
constexpr m30pb::block desc{"vdparam", "vd", sizeof(vdparam), 256, fields};
} // namespace

M30_PARAM_FAMILY(vdparam, desc)

extern "C" M30_API int vdparam_init(vdparam *vd_) noexcept
{
    if (!m30pb::fresh(vd_, &vdparam::VDPARAM_CC))
        return -1;
    return 0;
}

extern "C" M30_API int vdparam_set_sei_info_msgs(vdparam *vd_, const unsigned payload_types_[5],
                                                 bool pic_ud_, bool gop_ud_, bool seq_ud_) noexcept
{
    if (!vd_ || !payload_types_)
        return errno = EINVAL, -1;
    uint8_t *slot[5] = {&vd_->SEI_PAYLOADTYPE0, &vd_->SEI_PAYLOADTYPE1, &vd_->SEI_PAYLOADTYPE2,
                        &vd_->SEI_PAYLOADTYPE3, &vd_->SEI_PAYLOADTYPE4};
    for (unsigned n = 0; n < 5; ++n)
        *slot[n] = static_cast<uint8_t>(payload_types_[n]);
    vd_->MPEG2_PIC_USER_DATA = pic_ud_;
    vd_->MPEG2_GOP_USER_DATA = gop_ud_;
    vd_->MPEG2_SEQ_USER_DATA = seq_ud_;
    return 0;
}

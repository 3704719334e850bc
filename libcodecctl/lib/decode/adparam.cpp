// AD block: audio decoder.
#include "adparam.h"

#include "../param_block.hpp"


namespace {
#define F(member, word, hi, lo) M30_FIELD(adparam, member, word, hi, lo)
constexpr m30pb::field fields[] = {
    F(ADPARAM_CC, 0, 31, 0),
    F(F_USE, 1, 2, 2), F(C_UP, 1, 1, 1), F(C_OUT, 1, 0, 0),
    F(AES3_CHANNEL_STATUS_0, 2, 31, 0), F(AES3_CHANNEL_STATUS_1, 3, 31, 0),
    F(AES3_CHANNEL_STATUS_0_R, 4, 31, 0),
    F(CODEC_PARAMETER_0, 5, 31, 0), F(CODEC_PARAMETER_1, 6, 31, 0), F(CODEC_PARAMETER_2, 7, 31, 0),
    F(CODEC_PARAMETER_3, 8, 31, 0), F(CODEC_PARAMETER_4, 9, 31, 0), F(CODEC_PARAMETER_5, 10, 31, 0),
    F(CODEC_PARAMETER_6, 11, 31, 0), F(CODEC_PARAMETER_7, 12, 31, 0), F(CODEC_PARAMETER_8, 13, 31, 0),
    F(CODEC_PARAMETER_9, 14, 31, 0),
};
#undef F
static_assert(m30pb::valid(fields, 256));
constexpr m30pb::block desc{"adparam", "ad", sizeof(adparam), 256, fields};
} // namespace

M30_PARAM_FAMILY(adparam, desc)

extern "C" M30_API int adparam_init(adparam *ad_) noexcept
{
    if (!m30pb::fresh(ad_, &adparam::ADPARAM_CC))
        return -1;
    return 0;
}

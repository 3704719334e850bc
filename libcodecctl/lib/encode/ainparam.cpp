// AIN block: audio input streams of a channel.
#include "ainparam.h"

#include "encode_block.hpp"

namespace {
#define F(member, word, hi, lo) M30_FIELD(ainparam, member, word, hi, lo)
constexpr m30pb::field fields[] = {
    F(AINPARAM_CC, 0, 31, 0),
    F(ENABLE, 1, 0, 0),
    F(AINS_ID_BITS_L, 2, 31, 0),
    F(AINS_ID_BITS_H, 3, 31, 0),
};
#undef F
static_assert(m30pb::valid(fields, 64));
constexpr m30pb::block desc{"ainparam", "ain", sizeof(ainparam), 64, fields};
} // namespace

M30_PARAM_FAMILY(ainparam, desc)

extern "C" M30_API int ainparam_init(ainparam *ain_, uint8_t mask_) noexcept
{
    if (!m30pb::fresh(ain_, &ainparam::AINPARAM_CC))
        return -1;
    ain_->AINS_ID_BITS_L = m30enc::four_stream_mask(mask_);
    ain_->ENABLE = ain_->AINS_ID_BITS_L != 0;
    return 0;
}

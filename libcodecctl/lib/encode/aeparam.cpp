// AE block: audio encoders of a channel.
#include "aeparam.h"

#include "encode_block.hpp"

namespace {
#define F(member, word, hi, lo) M30_FIELD(aeparam, member, word, hi, lo)
constexpr m30pb::field fields[] = {
    F(AEPARAM_CC, 0, 31, 0),
    F(SOURCE, 1, 31, 28), F(SOURCE_ID, 1, 23, 16), F(ENABLE, 1, 0, 0),
    F(AES_ID_BITS_L, 2, 31, 0),
    F(AES_ID_BITS_H, 3, 31, 0),
};
#undef F
static_assert(m30pb::valid(fields, 64));
constexpr m30pb::block desc{"aeparam", "ae", sizeof(aeparam), 64, fields};
} // namespace

M30_PARAM_FAMILY(aeparam, desc)

extern "C" M30_API int aeparam_init(aeparam *ae_, unsigned source_id_, uint8_t mask_) noexcept
{
    if (!m30pb::fresh(ae_, &aeparam::AEPARAM_CC))
        return -1;
    ae_->SOURCE_ID = static_cast<uint8_t>(source_id_);
    ae_->AES_ID_BITS_L = m30enc::four_stream_mask(mask_);
    ae_->ENABLE = ae_->AES_ID_BITS_L != 0;
    return 0;
}

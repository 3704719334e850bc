// AI block: audio interface.
#include "aiparam.h"

#include "encode_block.hpp"

namespace {
#define F(member, word, hi, lo) M30_FIELD(aiparam, member, word, hi, lo)
// Four sources per word, source 0 in the top byte.
#define QUAD(w, suffix)                                                                            \
    F(SOURCE_ID0##suffix, w, 31, 24), F(SOURCE_ID1##suffix, w, 23, 16), F(SOURCE_ID2##suffix, w, 15, 8), \
        F(SOURCE_ID3##suffix, w, 7, 0)
constexpr m30pb::field fields[] = {
    F(AIPARAM_CC, 0, 31, 0),
    F(SOURCE, 1, 31, 28), F(SOURCE_COUNT, 1, 27, 24),
    QUAD(2, ), QUAD(3, _SLOT), QUAD(4, _L_CH), QUAD(5, _R_CH),
};
#undef QUAD
#undef F
static_assert(m30pb::valid(fields, 64));
constexpr m30pb::block desc{"aiparam", "ai", sizeof(aiparam), 64, fields};
} // namespace

M30_PARAM_FAMILY(aiparam, desc)

extern "C" M30_API int aiparam_init(aiparam *ai_, unsigned source_id_) noexcept
{
    if (!m30pb::fresh(ai_, &aiparam::AIPARAM_CC))
        return -1;
    ai_->SOURCE_COUNT = 1;
    ai_->SOURCE_ID0 = static_cast<uint8_t>(source_id_);
    ai_->SOURCE_ID0_L_CH = 2;
    ai_->SOURCE_ID0_R_CH = 3;
    return 0;
}

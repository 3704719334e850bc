// AO block: audio output.
#include "aoparam.h"

#include "../param_block.hpp"


namespace {
#define F(member, word, hi, lo) M30_FIELD(aoparam, member, word, hi, lo)
constexpr m30pb::field fields[] = {
    F(AOPARAM_CC, 0, 31, 0),
    F(DATA_FORMAT, 1, 23, 16), F(SAMPLE_RATE, 1, 15, 8), F(BIT_DEPTH, 1, 7, 0),
    F(CLOCK_MASTER, 2, 23, 16), F(OUTPUT_I2S_MCLK, 2, 15, 8), F(LSB_FIRST, 2, 7, 0),
    F(WARNING_TREATMENT, 3, 7, 0),
};
#undef F
static_assert(m30pb::valid(fields, 256));
constexpr m30pb::block desc{"aoparam", "ao", sizeof(aoparam), 256, fields};
} // namespace

M30_PARAM_FAMILY(aoparam, desc)

extern "C" M30_API int aoparam_init(aoparam *ao_, unsigned channel_) noexcept
{
    (void)channel_; // every channel's audio output starts the same
    if (!m30pb::fresh(ao_, &aoparam::AOPARAM_CC))
        return -1;
    ao_->DATA_FORMAT = 1;
    return 0;
}

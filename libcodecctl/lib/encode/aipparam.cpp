// AIP block: audio input port.
#include "aipparam.h"

#include "encode_block.hpp"

namespace {
#define F(member, word, hi, lo) M30_FIELD(aipparam, member, word, hi, lo)
constexpr m30pb::field fields[] = {
    F(AIPPARAM_CC, 0, 31, 0),
    F(DATA_FORMAT, 1, 31, 24), F(DATA_TRANSFER_RATE, 1, 15, 12), F(DATA_TRANSFER_SIZE, 1, 11, 8),
    F(CLOCK_MASTER, 1, 0, 0),
};
#undef F
static_assert(m30pb::valid(fields, 64));
constexpr m30pb::block desc{"aipparam", "aip", sizeof(aipparam), 64, fields};
} // namespace

M30_PARAM_FAMILY(aipparam, desc)

extern "C" M30_API int aipparam_init(aipparam *aip_) noexcept
{
    if (!m30pb::fresh(aip_, &aipparam::AIPPARAM_CC))
        return -1;
    aip_->DATA_FORMAT = 1;
    return 0;
}

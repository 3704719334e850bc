// SI block: stream input interface.
#include "siparam.h"

#include "../param_block.hpp"


namespace {
#define F(member, word, hi, lo) M30_FIELD(siparam, member, word, hi, lo)
constexpr m30pb::field fields[] = {
    F(SIPARAM_CC, 0, 31, 0),
    F(SINCLK_HL, 1, 23, 16), F(SIN_MODE, 1, 15, 8), F(PSTART_EN, 1, 7, 0),
};
#undef F
static_assert(m30pb::valid(fields, 256));
constexpr m30pb::block desc{"siparam", "si", sizeof(siparam), 256, fields};
} // namespace

M30_PARAM_FAMILY(siparam, desc)

extern "C" M30_API int siparam_init(siparam *si_, unsigned channel_) noexcept
{
    if (!m30pb::fresh(si_, &siparam::SIPARAM_CC))
        return -1;
    si_->SINCLK_HL = SIN_CLK_EDGE_POS;
    si_->SIN_MODE = channel_ == 0 ? SIN_MODE_PARALLEL_8BIT : SIN_MODE_SERIAL;
    si_->PSTART_EN = channel_ == 0 ? SI_STIX_PST_ENABLED : SI_STIX_PST_ENABLED_STP_ONLY;
    return 0;
}

// MAS block: an audio stream of the multiplexer.
#include "masparam.h"

#include "video_rules.hpp"

namespace {
#define F(member, word, hi, lo) M30_FIELD(masparam, member, word, hi, lo)
// PMT_LENGTH and the PMT words are host-only: neither packed nor printed.
constexpr m30pb::field fields[] = {
    F(MASPARAM_CC, 0, 31, 0),
    F(SOURCE, 1, 31, 28), F(SOURCE_ID, 1, 23, 16),
    F(A_BIT_RATE, 2, 31, 0),
    F(STD_BUFFER_SIZE, 4, 31, 0),
    F(A_SID_OUT, 5, 31, 24),
    F(A_PID_OUT, 6, 31, 16),
};
#undef F
static_assert(m30pb::valid(fields, 512));
constexpr m30pb::block desc{"masparam", "mas", sizeof(masparam), 512, fields};
} // namespace

M30_PARAM_FAMILY(masparam, desc)

extern "C" {

M30_API int masparam_init(masparam *mas_, unsigned source_id_) noexcept
{
    if (!m30pb::fresh(mas_, &masparam::MASPARAM_CC))
        return -1;
    mas_->SOURCE_ID = static_cast<uint8_t>(source_id_);
    mas_->A_BIT_RATE = 192000;
    mas_->STD_BUFFER_SIZE = 3584; // bytes: the MPEG-1 audio STD buffer (ISO/IEC 13818-1 2.4.2.6)
    mas_->A_SID_OUT = 0xC0;       // audio stream 0 (ISO/IEC 13818-1 Table 2-22)
    mas_->A_PID_OUT = static_cast<uint16_t>(483 + 256 * source_id_);
    return 0;
}

M30_API unsigned masparam_get_audio_rate(const masparam *mas_) noexcept { return m30enc::get(mas_, &masparam::A_BIT_RATE); }
M30_API int masparam_set_audio_rate(masparam *mas_, unsigned bps_) noexcept
{
    return m30pb::store(mas_, &masparam::A_BIT_RATE, bps_);
}
M30_API unsigned masparam_get_audio_pid(const masparam *mas_) noexcept { return m30enc::get(mas_, &masparam::A_PID_OUT); }
M30_API int masparam_set_audio_pid(masparam *mas_, unsigned pid_) noexcept
{
    return m30pb::store(mas_, &masparam::A_PID_OUT, pid_);
}

} // extern "C"

// AINS block: audio input stream.
#include "ainsparam.h"

#include "encode_block.hpp"

namespace {
#define F(member, word, hi, lo) M30_FIELD(ainsparam, member, word, hi, lo)
constexpr m30pb::field fields[] = {
    F(AINSPARAM_CC, 0, 31, 0),
    F(SOURCE, 1, 31, 28), F(AAU_SAMPLE_MODE, 1, 25, 25), F(TYPE, 1, 24, 24), F(SOURCE_ID, 1, 23, 16),
    F(SAMPLE_RATE, 1, 15, 12), F(SAMPLE_BIT, 1, 11, 8), F(AUDIO_OFFSET, 1, 7, 0),
    F(AAU_SAMPLE_NUM, 2, 31, 0),
    F(INITIAL_PTS_90K_MSB, 3, 0, 0),
    F(INITIAL_PTS_90K, 4, 31, 0),
};
#undef F
static_assert(m30pb::valid(fields, 64));
constexpr m30pb::block desc{"ainsparam", "ains", sizeof(ainsparam), 64, fields};
} // namespace

M30_PARAM_FAMILY(ainsparam, desc)

extern "C" {

M30_API int ainsparam_init(ainsparam *ains_, unsigned source_id_, m30_audio_mode mode_) noexcept
{
    if (!m30pb::fresh(ains_, &ainsparam::AINSPARAM_CC))
        return -1;
    ains_->SOURCE_ID = static_cast<uint8_t>(source_id_);
    // An AAC frame holds 1024 samples (ISO/IEC 14496-3), an MPEG-1 Layer II
    // frame 1152 (ISO/IEC 11172-3).
    ains_->AAU_SAMPLE_NUM = mode_ == M30_AUDIO_MODE_AAC_LC ? 1024 : 1152;
    ains_->INITIAL_PTS_90K = 90000;
    return 0;
}

M30_API int ainsparam_set_initial_pts(ainsparam *ains_, uint8_t pts_msb_, uint32_t pts_, int32_t offset_ms_) noexcept
{
    if (!ains_)
        return errno = EINVAL, -1;
    // PTS arithmetic wraps at 33 bits (ISO/IEC 13818-1 2.4.3.7); the offset
    // is in milliseconds of the 90 kHz clock.
    constexpr uint64_t pts_mask = (uint64_t(1) << 33) - 1;
    uint64_t pts = (uint64_t(pts_msb_ & 1u) << 32) | pts_;
    pts = (pts + static_cast<uint64_t>(int64_t(offset_ms_) * 90)) & pts_mask;
    ains_->INITIAL_PTS_90K_MSB = static_cast<uint8_t>(pts >> 32);
    ains_->INITIAL_PTS_90K = static_cast<uint32_t>(pts);
    return 0;
}

} // extern "C"

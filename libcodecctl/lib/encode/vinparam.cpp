// VIN block: video input stream.
#include "vinparam.h"

#include "video_rules.hpp"

namespace {
#define F(member, word, hi, lo) M30_FIELD(vinparam, member, word, hi, lo)
constexpr m30pb::field fields[] = {
    F(VINPARAM_CC, 0, 31, 0),
    F(SOURCE, 1, 31, 28), F(SOURCE_ID, 1, 23, 16), F(DESTINATION, 1, 15, 12), F(INTERLACE, 1, 11, 8),
    F(CHROMA_FORMAT, 1, 7, 4), F(BIT_DEPTH, 1, 3, 0),
    F(FRAME_RATE_CODE, 2, 31, 24), F(CHROMA_SEPARATE, 2, 23, 20), F(V210, 2, 19, 16), F(BIT_DEPTH_OUT, 2, 3, 0),
    F(HSIZE, 3, 31, 16), F(VSIZE, 3, 15, 0),
    F(PTS_MODE, 4, 31, 28), F(INITIAL_PTS_90K_MSB, 4, 0, 0),
    F(INITIAL_PTS_90K, 5, 31, 0),
    F(INITIAL_SERIAL_NUMBER, 6, 31, 0),
};
#undef F
static_assert(m30pb::valid(fields, 64));
constexpr m30pb::block desc{"vinparam", "vin", sizeof(vinparam), 64, fields};
} // namespace

M30_PARAM_FAMILY(vinparam, desc)

extern "C" {

M30_API int vinparam_init(vinparam *vin_, unsigned source_id_) noexcept
{
    if (!m30pb::fresh(vin_, &vinparam::VINPARAM_CC))
        return -1;
    vin_->SOURCE = VIN_SOURCE_VIF;
    vin_->SOURCE_ID = static_cast<uint8_t>(source_id_);
    vin_->DESTINATION = VIN_DESTINATION_VA;
    vin_->CHROMA_FORMAT = M30_CHROMAFMT_422;
    vin_->BIT_DEPTH = vin_->BIT_DEPTH_OUT = 8;
    vin_->FRAME_RATE_CODE = M30_FRAME_RATE_CODE_29_97;
    vin_->HSIZE = 1920;
    vin_->VSIZE = 1080;
    vin_->INITIAL_PTS_90K = 90000; // one second of the 90 kHz clock
    return 0;
}

M30_API unsigned vinparam_get_hsize(const vinparam *vin_) noexcept { return m30enc::get(vin_, &vinparam::HSIZE); }
M30_API int vinparam_set_hsize(vinparam *vin_, unsigned hsize_) noexcept
{
    return m30pb::store(vin_, &vinparam::HSIZE, hsize_);
}
M30_API unsigned vinparam_get_vsize(const vinparam *vin_) noexcept { return m30enc::get(vin_, &vinparam::VSIZE); }
M30_API int vinparam_set_vsize(vinparam *vin_, unsigned vsize_) noexcept
{
    return m30pb::store(vin_, &vinparam::VSIZE, vsize_);
}
M30_API bool vinparam_is_interlace(const vinparam *vin_) noexcept { return m30enc::get(vin_, &vinparam::INTERLACE) != 0; }
M30_API int vinparam_set_interlace(vinparam *vin_, bool interlace_) noexcept
{
    return m30pb::store(vin_, &vinparam::INTERLACE, interlace_ ? 1 : 0);
}
M30_API m30_frame_rate_code vinparam_get_frame_rate(const vinparam *vin_) noexcept
{
    return static_cast<m30_frame_rate_code>(m30enc::get(vin_, &vinparam::FRAME_RATE_CODE));
}
M30_API int vinparam_set_frame_rate(vinparam *vin_, m30_frame_rate_code rate_) noexcept
{
    return m30pb::store(vin_, &vinparam::FRAME_RATE_CODE, rate_);
}
M30_API m30_chroma_fmt vinparam_get_chroma_fmt(const vinparam *vin_) noexcept
{
    return static_cast<m30_chroma_fmt>(m30enc::get(vin_, &vinparam::CHROMA_FORMAT));
}
M30_API int vinparam_set_chroma_fmt(vinparam *vin_, m30_chroma_fmt fmt_) noexcept
{
    return m30pb::store(vin_, &vinparam::CHROMA_FORMAT, fmt_);
}
M30_API unsigned vinparam_get_bit_depth(const vinparam *vin_) noexcept { return m30enc::get(vin_, &vinparam::BIT_DEPTH); }
M30_API int vinparam_set_bit_depth(vinparam *vin_, unsigned bit_depth_) noexcept
{
    return m30pb::store(vin_, &vinparam::BIT_DEPTH, bit_depth_);
}
M30_API uint8_t vinparam_get_init_pts_msb(const vinparam *vin_) noexcept
{
    return static_cast<uint8_t>(m30enc::get(vin_, &vinparam::INITIAL_PTS_90K_MSB));
}
M30_API uint32_t vinparam_get_init_pts(const vinparam *vin_) noexcept { return m30enc::get(vin_, &vinparam::INITIAL_PTS_90K); }

} // extern "C"

// VA block: video pre-processing.
#include "vaparam.h"

#include "video_rules.hpp"

namespace {
#define F(member, word, hi, lo) M30_FIELD(vaparam, member, word, hi, lo)
// Structure order, except that the taps print 0 to 7 (the table is also
// the print order).
constexpr m30pb::field fields[] = {
    F(VAPARAM_CC, 0, 31, 0),
    F(SOURCE, 1, 31, 28), F(SOURCE_ID, 1, 23, 16), F(INTERLACE, 1, 11, 8), F(CHROMA_FORMAT, 1, 7, 4),
    F(BIT_DEPTH, 1, 3, 0),
    F(FRAME_RATE_CODE, 2, 31, 24), F(CHROMA_SEPARATE, 2, 23, 20), F(V210, 2, 19, 16),
    F(CHROMA_FORMAT_OUT, 2, 7, 4), F(BIT_DEPTH_OUT, 2, 3, 0),
    F(HSIZE_VA, 3, 31, 16), F(VSIZE_VA, 3, 15, 0),
    F(HSIZE_EH, 4, 31, 16), F(VSIZE_EH, 4, 15, 0),
    F(S_C420_COEF_0, 5, 15, 0), F(S_C420_COEF_1, 5, 31, 16), F(S_C420_COEF_2, 6, 15, 0),
    F(S_C420_COEF_3, 6, 31, 16), F(S_C420_COEF_4, 7, 15, 0), F(S_C420_COEF_5, 7, 31, 16),
    F(S_C420_COEF_6, 8, 15, 0), F(S_C420_COEF_7, 8, 31, 16),
    F(START_OFFSET_X, 9, 31, 16), F(START_OFFSET_Y, 9, 15, 0),
    F(LA_BUF, 10, 31, 24), F(SCENE_CHANGE, 10, 19, 16), F(S_SC_OFFSET_PIXEL, 10, 15, 8),
    F(S_SC_OFFSET_PICTURE, 10, 7, 0),
    F(EPFIL_TH, 12, 31, 16), F(SPFIL_MODE, 12, 3, 0),
    F(S_EPFIL_B, 13, 31, 16), F(EPFIL_DIV, 13, 15, 8),
    F(S_EPFIL_C, 14, 31, 16), F(S_EPFIL_D, 14, 15, 0),
    F(S_EPFIL_E, 15, 31, 16), F(S_EPFIL_F, 15, 15, 0),
};
#undef F
static_assert(m30pb::valid(fields, 64));
constexpr m30pb::block desc{"vaparam", "va", sizeof(vaparam), 64, fields};

// Eight-tap chroma filters, unity gain (taps sum to 1024): a symmetric
// pass filter when input and output sampling agree, and a phase-shifted
// vertical resampler between 4:2:2 and 4:2:0.
constexpr int same_taps[8] = {-3, -19, 34, 500, 500, 34, -19, -3};
constexpr int convert_taps[8] = {-8, -26, 115, 586, 409, -48, -4, 0};
static_assert(same_taps[0] + same_taps[1] + same_taps[2] + same_taps[3] + same_taps[4] + same_taps[5] +
                  same_taps[6] + same_taps[7] == 1024);
static_assert(convert_taps[0] + convert_taps[1] + convert_taps[2] + convert_taps[3] + convert_taps[4] +
                  convert_taps[5] + convert_taps[6] + convert_taps[7] == 1024);

void choose_filter(vaparam *va)
{
    const int *t = va->CHROMA_FORMAT == va->CHROMA_FORMAT_OUT ? same_taps : convert_taps;
    uint16_t *tap[8] = {&va->S_C420_COEF_0, &va->S_C420_COEF_1, &va->S_C420_COEF_2, &va->S_C420_COEF_3,
                        &va->S_C420_COEF_4, &va->S_C420_COEF_5, &va->S_C420_COEF_6, &va->S_C420_COEF_7};
    for (int i = 0; i < 8; ++i)
        *tap[i] = static_cast<uint16_t>(t[i]);
}

int set_size(vaparam *va, uint16_t vaparam::*in, uint16_t vaparam::*out, unsigned v, bool align)
{
    if (!va)
        return errno = EINVAL, -1;
    va->*in = static_cast<uint16_t>(v);
    va->*out = align ? m30enc::align16(v) : static_cast<uint16_t>(v);
    return 0;
}
} // namespace

M30_PARAM_FAMILY(vaparam, desc)

extern "C" {

M30_API int vaparam_init(vaparam *va_, va_source source_, unsigned source_id_) noexcept
{
    if (!m30pb::fresh(va_, &vaparam::VAPARAM_CC))
        return -1;
    va_->SOURCE = static_cast<uint8_t>(source_);
    va_->SOURCE_ID = static_cast<uint8_t>(source_id_);
    va_->CHROMA_FORMAT = va_->CHROMA_FORMAT_OUT = M30_CHROMAFMT_422;
    va_->BIT_DEPTH = va_->BIT_DEPTH_OUT = 10;
    va_->FRAME_RATE_CODE = M30_FRAME_RATE_CODE_59_94;
    va_->HSIZE_VA = va_->HSIZE_EH = 1920;
    va_->VSIZE_VA = 1080;
    va_->VSIZE_EH = 1088;
    choose_filter(va_);
    return 0;
}

M30_API unsigned vaparam_get_hsize(const vaparam *va_) noexcept { return m30enc::get(va_, &vaparam::HSIZE_VA); }
M30_API int vaparam_set_hsize(vaparam *va_, unsigned hsize_, bool align_) noexcept
{
    return set_size(va_, &vaparam::HSIZE_VA, &vaparam::HSIZE_EH, hsize_, align_);
}
M30_API unsigned vaparam_get_vsize(const vaparam *va_) noexcept { return m30enc::get(va_, &vaparam::VSIZE_VA); }
M30_API int vaparam_set_vsize(vaparam *va_, unsigned vsize_, bool align_) noexcept
{
    return set_size(va_, &vaparam::VSIZE_VA, &vaparam::VSIZE_EH, vsize_, align_);
}
M30_API unsigned vaparam_get_hsize_out(const vaparam *va_) noexcept { return m30enc::get(va_, &vaparam::HSIZE_EH); }
M30_API unsigned vaparam_get_vsize_out(const vaparam *va_) noexcept { return m30enc::get(va_, &vaparam::VSIZE_EH); }
M30_API bool vaparam_is_interlace(const vaparam *va_) noexcept { return m30enc::get(va_, &vaparam::INTERLACE) != 0; }
M30_API int vaparam_set_interlace(vaparam *va_, bool interlace_) noexcept
{
    return m30pb::store(va_, &vaparam::INTERLACE, interlace_ ? 1 : 0);
}
M30_API m30_frame_rate_code vaparam_get_frame_rate(const vaparam *va_) noexcept
{
    return static_cast<m30_frame_rate_code>(m30enc::get(va_, &vaparam::FRAME_RATE_CODE));
}
M30_API int vaparam_set_frame_rate(vaparam *va_, m30_frame_rate_code rate_) noexcept
{
    return m30pb::store(va_, &vaparam::FRAME_RATE_CODE, rate_);
}
M30_API m30_chroma_fmt vaparam_get_chroma_fmt(const vaparam *va_) noexcept
{
    return static_cast<m30_chroma_fmt>(m30enc::get(va_, &vaparam::CHROMA_FORMAT));
}
M30_API int vaparam_set_chroma_fmt(vaparam *va_, m30_chroma_fmt fmt_) noexcept
{
    if (m30pb::store(va_, &vaparam::CHROMA_FORMAT, fmt_) != 0)
        return -1;
    choose_filter(va_);
    return 0;
}
M30_API m30_chroma_fmt vaparam_get_chroma_fmt_out(const vaparam *va_) noexcept
{
    return static_cast<m30_chroma_fmt>(m30enc::get(va_, &vaparam::CHROMA_FORMAT_OUT));
}
M30_API int vaparam_set_chroma_fmt_out(vaparam *va_, m30_chroma_fmt fmt_) noexcept
{
    if (m30pb::store(va_, &vaparam::CHROMA_FORMAT_OUT, fmt_) != 0)
        return -1;
    choose_filter(va_);
    return 0;
}
M30_API unsigned vaparam_get_bit_depth(const vaparam *va_) noexcept { return m30enc::get(va_, &vaparam::BIT_DEPTH); }
M30_API int vaparam_set_bit_depth(vaparam *va_, unsigned bit_depth_) noexcept
{
    return m30pb::store(va_, &vaparam::BIT_DEPTH, bit_depth_);
}
M30_API unsigned vaparam_get_bit_depth_out(const vaparam *va_) noexcept { return m30enc::get(va_, &vaparam::BIT_DEPTH_OUT); }
M30_API int vaparam_set_bit_depth_out(vaparam *va_, unsigned bit_depth_) noexcept
{
    return m30pb::store(va_, &vaparam::BIT_DEPTH_OUT, bit_depth_);
}

} // extern "C"

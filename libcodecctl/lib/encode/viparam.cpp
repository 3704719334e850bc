// VI block: video input interface.
#include "viparam.h"

#include "encode_block.hpp"

namespace {
#define F(member, word, hi, lo) M30_FIELD(viparam, member, word, hi, lo)
constexpr m30pb::field fields[] = {
    F(VIPARAM_CC, 0, 31, 0),
    F(VI_YC_MUX, 1, 31, 28), F(VI_YC_SWAP, 1, 27, 24), F(VI_VFORMAT, 1, 7, 0),
    F(VANC_SERVICE_EN, 7, 31, 28), F(VANC_SERVICE_BITS, 7, 15, 0),
    F(VANC_START_LINE, 8, 31, 16), F(VANC_H_SIZE, 8, 15, 0),
    F(VANC_LINE_NUM, 9, 31, 16), F(VANC_4K_INPUT_PORT, 9, 15, 12), F(VANC_Y_EN, 9, 7, 4), F(VANC_C_EN, 9, 3, 0),
    F(VANC_START_LINE_BOTTOM, 10, 31, 16),
    F(VI_PTS_CORRECT, 11, 19, 16), F(VI_INPUT_PORT, 11, 15, 12), F(VI_PIC_SYNC_MASTER, 11, 11, 8),
    F(VI_PIC_SYNC_MEMBERS, 11, 7, 4), F(VI_GPIO_ENC_START, 11, 0, 0),
    F(VI_INPUT_MODE, 12, 31, 28), F(VI_V_TOTAL_LINES, 12, 15, 0),
    F(VI_V_AV_START_LINE, 13, 31, 16), F(VI_V_AV_LINES, 13, 15, 0),
    F(VI_H_CAPTURE_START_OFFSET, 14, 31, 16), F(VI_H_CAPTURE_PIXELS, 14, 15, 0),
    F(VI_V_CAPTURE_START_LINE, 15, 31, 16), F(VI_V_CAPTURE_LINES, 15, 15, 0),
    F(VI_V_AV_START_LINE_BOTTOM, 16, 31, 16), F(VI_V_CAPTURE_START_LINE_BOTTOM, 16, 15, 0),
    F(VI_H_SYNC_PIXEL, 17, 31, 16), F(VI_H_TOTAL_PIXELS, 17, 15, 0),
};
#undef F
static_assert(m30pb::valid(fields, 128));
constexpr m30pb::block desc{"viparam", "vi", sizeof(viparam), 128, fields};

constexpr uint8_t code_of[VI_VFORMAT_END] = {0, 2, 4, 5, 8, 9, 30, 50, 51, 52, 53, 255};
} // namespace

M30_PARAM_FAMILY(viparam, desc)

extern "C" {

const char *const strings_vi_vformat[] = {"1920x1080i", "1280x720p", "720x480i", "720x576i", "720x480p",
                                          "720x576p", "1920x1080p", "3840x2160p sqd", "3840x2160p 2si",
                                          "4096x2160p sqd", "4096x2160p 2si", "arbitrary", nullptr};

M30_API int viparam_init(viparam *vi_) noexcept
{
    if (!m30pb::fresh(vi_, &viparam::VIPARAM_CC))
        return -1;
    vi_->VI_YC_MUX = 1;
    vi_->VI_YC_SWAP = 1;
    vi_->VANC_SERVICE_BITS = 6;
    vi_->VI_GPIO_ENC_START = 1;
    return 0;
}

M30_API unsigned vformat_val_for_enum(vi_vformat fmt_) noexcept
{
    auto f = static_cast<unsigned>(fmt_);
    return f < VI_VFORMAT_END ? code_of[f] : 0;
}

M30_API vi_vformat vformat_enum_for_val(unsigned code_) noexcept
{
    for (unsigned f = 0; f < VI_VFORMAT_END; ++f)
        if (code_of[f] == code_)
            return static_cast<vi_vformat>(f);
    return VI_VFORMAT_1920_1080P;
}

M30_API vi_vformat viparam_get_vformat(const viparam *vi_) noexcept
{
    return vi_ ? vformat_enum_for_val(vi_->VI_VFORMAT) : VI_VFORMAT_1920_1080P;
}

M30_API int viparam_set_vformat(viparam *vi_, vi_vformat fmt_) noexcept
{
    if (m30pb::store(vi_, &viparam::VI_VFORMAT, vformat_val_for_enum(fmt_)) != 0)
        return -1;
    // Standard definition arrives with luma and chroma on one multiplexed
    // stream (SMPTE ST 259); HD and UHD carry them on separate streams.
    vi_->VI_YC_MUX = fmt_ >= VI_VFORMAT_720_480I && fmt_ <= VI_VFORMAT_720_576P ? 1 : 0;
    return 0;
}

M30_API int viparam_set_input_port(viparam *vi_, vi_input_port_code port_) noexcept
{
    return m30pb::store(vi_, &viparam::VI_INPUT_PORT, port_);
}

M30_API int viparam_set_vanc_start_line(viparam *vi_, unsigned line_) noexcept
{
    if (line_ > 100)
        return errno = EINVAL, -1;
    return m30pb::store(vi_, &viparam::VANC_START_LINE, line_);
}

M30_API int viparam_set_vanc_start_line_bottom(viparam *vi_, unsigned line_) noexcept
{
    return m30pb::store(vi_, &viparam::VANC_START_LINE_BOTTOM, line_);
}

M30_API int viparam_set_vanc_line_num(viparam *vi_, unsigned count_) noexcept
{
    if (count_ > 4)
        return errno = EINVAL, -1;
    return m30pb::store(vi_, &viparam::VANC_LINE_NUM, count_);
}

M30_API int viparam_set_vanc_h_size(viparam *vi_, unsigned size_) noexcept
{
    if (size_ < 12 || size_ > 2048 || size_ % 12 != 0)
        return errno = EINVAL, -1;
    return m30pb::store(vi_, &viparam::VANC_H_SIZE, size_);
}

M30_API int viparam_set_vanc_service_en(viparam *vi_, unsigned enable_) noexcept
{
    if (m30pb::store(vi_, &viparam::VANC_SERVICE_EN, enable_) != 0)
        return -1;
    vi_->VANC_Y_EN = vi_->VANC_C_EN = enable_ > 0 ? 1 : 0;
    return 0;
}

} // extern "C"

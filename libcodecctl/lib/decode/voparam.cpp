// VO block: video output, and the mapping of video standards to the chip's
// output format and frame-rate codes.
#include "voparam.h"

#include "../param_block.hpp"

#include <iterator>

namespace {
#define F(member, word, hi, lo) M30_FIELD(voparam, member, word, hi, lo)
constexpr m30pb::field fields[] = {
    F(VOPARAM_CC, 0, 31, 0),
    F(VO_YC_SWAP, 1, 31, 24), F(VO_OUTPUT_VIO_CLK, 1, 23, 16), F(VO_VFORMAT, 1, 15, 8),
    F(VO_VFRAME_RATE, 1, 7, 0),
    F(VANC_PTS, 2, 7, 0),
};
#undef F
static_assert(m30pb::valid(fields, 256));
constexpr m30pb::block desc{"voparam", "vo", sizeof(voparam), 256, fields};

// Chip code of each vo_vformat, in enumerator order.
constexpr uint8_t vformat_code[VO_VFORMAT_END] = {0, 2, 4, 5, 8, 9, 30, 50, 51, 255};
} // namespace

M30_PARAM_FAMILY(voparam, desc)

extern "C" M30_API int voparam_init(voparam *vo_, unsigned channel_) noexcept
{
    (void)channel_; // every channel's output starts the same
    if (!m30pb::fresh(vo_, &voparam::VOPARAM_CC))
        return -1;
    vo_->VO_VFORMAT = vformat_code[VO_VFORMAT_1920_1080P];
    vo_->VO_VFRAME_RATE = VO_FRAME_RATE_59_94;
    return 0;
}

extern "C" M30_API vo_vformat m30_to_voparam_vidstd(m30_vidstd vidstd_) noexcept
{
    if (vidstd_ >= M30_VIDSTD_720P60 && vidstd_ <= M30_VIDSTD_720P2398)
        return VO_VFORMAT_1280_720P;
    if (vidstd_ >= M30_VIDSTD_1080I60 && vidstd_ <= M30_VIDSTD_1080I50)
        return VO_VFORMAT_1920_1080I;
    switch (vidstd_) {
    case M30_VIDSTD_480P60: case M30_VIDSTD_480P5994: case M30_VIDSTD_480P30:
    case M30_VIDSTD_480P2997:
        return VO_VFORMAT_720_480P;
    case M30_VIDSTD_480I60: case M30_VIDSTD_480I5994:
        return VO_VFORMAT_720_480I;
    case M30_VIDSTD_576P50: case M30_VIDSTD_576P25:
        return VO_VFORMAT_720_576P;
    case M30_VIDSTD_576I50:
        return VO_VFORMAT_720_576I;
    default:
        break;
    }
    if (vidstd_ >= M30_VIDSTD_2160P60_SQD && vidstd_ <= M30_VIDSTD_2160P2398_SQD)
        return VO_VFORMAT_3840_2160P_SQD;
    if (vidstd_ >= M30_VIDSTD_2160P60_2SI && vidstd_ <= M30_VIDSTD_2160P2398_2SI)
        return VO_VFORMAT_3840_2160P_2SI;
    return VO_VFORMAT_1920_1080P; // 1080p, segmented frames, and anything unknown
}

extern "C" M30_API int voparam_set_vformat(voparam *vo_, vo_vformat fmt_) noexcept
{
    auto i = static_cast<unsigned>(fmt_);
    return m30pb::store(vo_, &voparam::VO_VFORMAT, i < std::size(vformat_code) ? vformat_code[i] : 0);
}

extern "C" M30_API vo_vformat voparam_get_vformat(const voparam *vo_) noexcept
{
    if (vo_)
        for (unsigned i = 0; i < std::size(vformat_code); ++i)
            if (vformat_code[i] == vo_->VO_VFORMAT)
                return static_cast<vo_vformat>(i);
    return VO_VFORMAT_1920_1080P;
}

extern "C" M30_API vo_frame_rate m30_to_voparam_frame_rate(m30_frame_rate_code code_) noexcept
{
    switch (code_) {
    case M30_FRAME_RATE_CODE_23_98: return VO_FRAME_RATE_23_976;
    case M30_FRAME_RATE_CODE_24: return VO_FRAME_RATE_24;
    case M30_FRAME_RATE_CODE_25: return VO_FRAME_RATE_25;
    case M30_FRAME_RATE_CODE_29_97: return VO_FRAME_RATE_29_97;
    case M30_FRAME_RATE_CODE_30: return VO_FRAME_RATE_30;
    case M30_FRAME_RATE_CODE_50: return VO_FRAME_RATE_50;
    case M30_FRAME_RATE_CODE_59_94: return VO_FRAME_RATE_59_94;
    case M30_FRAME_RATE_CODE_60: return VO_FRAME_RATE_60;
    default: return VO_FRAME_RATE_END;
    }
}

extern "C" M30_API int voparam_set_frame_rate(voparam *vo_, vo_frame_rate rate_) noexcept
{
    return m30pb::store(vo_, &voparam::VO_VFRAME_RATE, rate_);
}

// The common block (tag C).
#include "cparam.h"

#include "param_block.hpp"


namespace {

#define F(member, word, hi, lo) M30_FIELD(cparam, member, word, hi, lo)
// Four resolution types per word, channel (base + 7) in the top nibble.
#define RESO_WORD(w, c7, c6, c5, c4, c3, c2, c1, c0)                                          \
    F(RESO_TYPE_CH##c7, w, 31, 28), F(RESO_TYPE_CH##c6, w, 27, 24), F(RESO_TYPE_CH##c5, w, 23, 20), \
        F(RESO_TYPE_CH##c4, w, 19, 16), F(RESO_TYPE_CH##c3, w, 15, 12),                      \
        F(RESO_TYPE_CH##c2, w, 11, 8), F(RESO_TYPE_CH##c1, w, 7, 4), F(RESO_TYPE_CH##c0, w, 3, 0)

constexpr m30pb::field fields[] = {
    F(CPARAM_CC, 0, 31, 0),
    F(TILE_ADDR_X, 1, 31, 28), F(TILE_ADDR_Y, 1, 27, 24), F(NUM_TILE_COL, 1, 23, 20),
    F(NUM_TILE_ROW, 1, 19, 16), F(CHIP_DIV_MODE, 1, 15, 12), F(TILE_SLICE_MODE, 1, 11, 8),
    F(RESERVED_8K, 1, 7, 0),
    F(HEVC_MULTI_CH_MODE, 2, 31, 28), F(USE_STATMUX, 2, 27, 24), F(VI_ROBUST_STILL_PIC_Y, 2, 23, 16),
    F(VI_ROBUST_STILL_PIC_CB, 2, 15, 8), F(VI_ROBUST_STILL_PIC_CR, 2, 7, 0),
    F(LA_BUF_TIME, 3, 31, 24), F(VI_ROBUST_MODE, 3, 11, 8), F(SC_BUF, 3, 7, 0),
    RESO_WORD(4, 07, 06, 05, 04, 03, 02, 01, 00),
    RESO_WORD(5, 15, 14, 13, 12, 11, 10, 09, 08),
    RESO_WORD(6, 23, 22, 21, 20, 19, 18, 17, 16),
    RESO_WORD(7, 31, 30, 29, 28, 27, 26, 25, 24),
    F(VIDEO_ENCODE_TYPE, 9, 31, 28), F(OUTPUT_STREAM_TYPE, 9, 27, 24),
    F(ULTRA_LOW_LATENCY_ENCODE_MODE, 9, 23, 20), F(TRC_FLAG, 9, 3, 0),
    F(STC_SEL_0, 10, 31, 28), F(STC_SEL_1, 10, 27, 24), F(STC_SEL_2, 10, 23, 20),
    F(STC_SEL_3, 10, 19, 16), F(VIDEO_CLK_0, 10, 15, 12),
    F(TS_ESINFO_DISABLE, 11, 31, 28), F(SCALER_DISABLE, 11, 27, 24),
    F(MAX_HORIZONTAL_SIZE_CORE1, 12, 31, 16), F(MAX_HORIZONTAL_SIZE_CORE0, 12, 15, 0),
    F(MAX_HORIZONTAL_SIZE_CORE3, 13, 31, 16), F(MAX_HORIZONTAL_SIZE_CORE2, 13, 15, 0),
    F(VO_INITIAL_STILL_PIC_Y, 14, 23, 16), F(VO_INITIAL_STILL_PIC_CB, 14, 15, 8),
    F(VO_INITIAL_STILL_PIC_CR, 14, 7, 0),
    F(LOW_LATENCY_DECODE_MODE, 15, 3, 0),
    F(USE_EXTERNAL_DDR, 27, 31, 28),
    F(AUDIO_FIRM_FID0, 28, 31, 0), F(AUDIO_FIRM_FID1, 29, 31, 0), F(AUDIO_FIRM_FID2, 30, 31, 0),
    F(AUDIO_FIRM_FID3, 31, 31, 0),
};
#undef RESO_WORD
#undef F
static_assert(std::size(fields) == 72);
static_assert(m30pb::valid(fields, CPARAM_IMAGE_SIZE));

constexpr m30pb::block desc{"cparam", "c", sizeof(cparam), CPARAM_IMAGE_SIZE, fields};

} // namespace

M30_PARAM_FAMILY(cparam, desc)

extern "C" M30_API int cparam_init(cparam *c_, m30_video_mode video_mode_,
                                   c_vi_robust_mode robust_mode_, uint8_t is_multi_,
                                   bool is_encode_, bool ull_) noexcept
{
    if (!m30pb::fresh(c_, &cparam::CPARAM_CC))
        return -1;
    c_->VI_ROBUST_STILL_PIC_Y = 16;
    c_->VI_ROBUST_STILL_PIC_CB = 128;
    c_->VI_ROBUST_STILL_PIC_CR = 128;
    c_->VI_ROBUST_MODE = static_cast<uint8_t>(robust_mode_);
    if (!is_multi_) {
        c_->RESO_TYPE_CH00 = C_RESO_TYPE_4K2K;
    } else {
        c_->RESO_TYPE_CH00 = c_->RESO_TYPE_CH01 = C_RESO_TYPE_FULLHD;
        // Ultra-low latency leaves two channels.
        if (!ull_)
            c_->RESO_TYPE_CH02 = c_->RESO_TYPE_CH03 = C_RESO_TYPE_FULLHD;
    }
    c_->VIDEO_ENCODE_TYPE = static_cast<uint8_t>(video_mode_);
    c_->OUTPUT_STREAM_TYPE = C_OUTPUT_STREAM_TYPE_TS;
    c_->ULTRA_LOW_LATENCY_ENCODE_MODE = ull_ ? 1 : 0;
    c_->TRC_FLAG = C_TRC_FLAG_ENCODE;
    c_->STC_SEL_0 = c_->STC_SEL_1 = c_->STC_SEL_2 = c_->STC_SEL_3 = C_STC_SEL_DEST_27MOPT;
    c_->TS_ESINFO_DISABLE = is_encode_ ? 1 : 0;
    c_->SCALER_DISABLE = is_encode_ ? 1 : 0;
    c_->VO_INITIAL_STILL_PIC_Y = 16;
    c_->VO_INITIAL_STILL_PIC_CB = 128;
    c_->VO_INITIAL_STILL_PIC_CR = 128;
    c_->USE_EXTERNAL_DDR = is_encode_ ? 0 : 1;
    // Encoders run AAC-LC and decoders MPEG-1 Layer II until told otherwise.
    m30_audio_mode mode = is_encode_ ? M30_AUDIO_MODE_AAC_LC : M30_AUDIO_MODE_MPEG1_L2;
    for (unsigned k = 0; k < 4; ++k)
        cparam_set_audio_mode(c_, k, mode, is_encode_);
    return 0;
}

extern "C" M30_API int cparam_set_reso_type(cparam *c_, unsigned channel_, c_reso_type type_) noexcept
{
    if (!c_ || channel_ > 3)
        return errno = EINVAL, -1;
    uint8_t *slot[4] = {&c_->RESO_TYPE_CH00, &c_->RESO_TYPE_CH01, &c_->RESO_TYPE_CH02,
                        &c_->RESO_TYPE_CH03};
    *slot[channel_] = static_cast<uint8_t>(type_);
    return 0;
}

extern "C" M30_API int cparam_set_audio_mode(cparam *c_, unsigned audio_idx_, m30_audio_mode mode_,
                                             bool is_encode_) noexcept
{
    uint32_t id = m30pb::audio_firm_id(audio_idx_, mode_, is_encode_);
    if (!c_ || id == 0)
        return errno = EINVAL, -1;
    uint32_t *slot[4] = {&c_->AUDIO_FIRM_FID0, &c_->AUDIO_FIRM_FID1, &c_->AUDIO_FIRM_FID2,
                         &c_->AUDIO_FIRM_FID3};
    *slot[audio_idx_] = id;
    return 0;
}

// AES block: audio encoder stream.
#include "aesparam.h"

#include "video_rules.hpp"

namespace {
#define F(member, word, hi, lo) M30_FIELD(aesparam, member, word, hi, lo)
// F_USE is host-only: neither packed nor printed.
constexpr m30pb::field fields[] = {
    F(AESPARAM_CC, 0, 31, 0),
    F(SOURCE, 1, 31, 28), F(SOURCE_ID, 1, 23, 16), F(CORE_ID, 1, 3, 0),
    F(BIT_RATE, 2, 31, 0),
    F(C_ENABLE, 3, 1, 0),
    F(AES3_CHANNEL_STATUS_0, 4, 31, 0), F(AES3_CHANNEL_STATUS_1, 5, 31, 0), F(AES3_CHANNEL_STATUS_0_R, 6, 31, 0),
    F(CODEC_PARAMETER_0, 7, 31, 0), F(CODEC_PARAMETER_1, 8, 31, 0), F(CODEC_PARAMETER_2, 9, 31, 0),
    F(CODEC_PARAMETER_3, 10, 31, 0), F(CODEC_PARAMETER_4, 11, 31, 0), F(CODEC_PARAMETER_5, 12, 31, 0),
    F(CODEC_PARAMETER_6, 13, 31, 0), F(CODEC_PARAMETER_7, 14, 31, 0), F(CODEC_PARAMETER_8, 15, 31, 0),
    F(CODEC_PARAMETER_9, 16, 31, 0),
};
#undef F
static_assert(m30pb::valid(fields, 256));
constexpr m30pb::block desc{"aesparam", "aes", sizeof(aesparam), 256, fields};

// MPEG-1 Layer II header flags in CODEC_PARAMETER_0 (the chip's copies of
// protection_bit, copyright and original_copy of ISO/IEC 11172-3 2.4.1.3).
constexpr unsigned no_crc_bit = 4, copyright_bit = 5, original_bit = 6;

int set_flag(aesparam *aes, unsigned bit, unsigned v)
{
    if (!aes)
        return errno = EINVAL, -1;
    if (v == 1)
        aes->CODEC_PARAMETER_0 |= 1u << bit;
    else
        aes->CODEC_PARAMETER_0 &= ~(1u << bit);
    return 0;
}

unsigned get_flag(const aesparam *aes, unsigned bit) { return aes ? (aes->CODEC_PARAMETER_0 >> bit) & 1u : 0; }
} // namespace

M30_PARAM_FAMILY(aesparam, desc)

extern "C" {

M30_API int aesparam_init(aesparam *aes_, unsigned source_id_, m30_audio_mode mode_) noexcept
{
    if (!m30pb::fresh(aes_, &aesparam::AESPARAM_CC))
        return -1;
    aes_->SOURCE_ID = static_cast<uint8_t>(source_id_);
    aes_->CORE_ID = static_cast<uint8_t>(source_id_ & 0xF);
    aes_->BIT_RATE = 96000;
    if (mode_ == M30_AUDIO_MODE_MPEG1_L2) {
        aes_->CODEC_PARAMETER_0 = (1u << copyright_bit) | (1u << original_bit); // CRC added
    } else if (mode_ == M30_AUDIO_MODE_AAC_LC) {
        aes_->CODEC_PARAMETER_1 = 2;
    }
    return 0;
}

M30_API unsigned aesparam_get_audio_rate(const aesparam *aes_) noexcept { return m30enc::get(aes_, &aesparam::BIT_RATE); }
M30_API int aesparam_set_audio_rate(aesparam *aes_, unsigned bps_) noexcept
{
    return m30pb::store(aes_, &aesparam::BIT_RATE, bps_);
}
M30_API int aesparam_set_mpeg1_protect(aesparam *aes_, m30_aud_mp1_prot v_) noexcept
{
    return set_flag(aes_, no_crc_bit, v_);
}
M30_API m30_aud_mp1_prot aesparam_get_mpeg1_protect(const aesparam *aes_) noexcept
{
    return static_cast<m30_aud_mp1_prot>(get_flag(aes_, no_crc_bit));
}
M30_API int aesparam_set_mpeg1_copyright(aesparam *aes_, m30_aud_mp1_cpr v_) noexcept
{
    return set_flag(aes_, copyright_bit, v_);
}
M30_API m30_aud_mp1_cpr aesparam_get_mpeg1_copyright(const aesparam *aes_) noexcept
{
    return static_cast<m30_aud_mp1_cpr>(get_flag(aes_, copyright_bit));
}
M30_API int aesparam_set_mpeg1_copyorig(aesparam *aes_, m30_aud_mp1_cpyorg v_) noexcept
{
    return set_flag(aes_, original_bit, v_);
}
M30_API m30_aud_mp1_cpyorg aesparam_get_mpeg1_copyorig(const aesparam *aes_) noexcept
{
    return static_cast<m30_aud_mp1_cpyorg>(get_flag(aes_, original_bit));
}

} // extern "C"

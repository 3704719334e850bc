/* AES block: one audio encoder stream (bit rate, AES3 channel status,
 * codec parameters). */
#ifndef M30_AESPARAM_H
#define M30_AESPARAM_H

#include "../m30.h"
#include "../m30_param_block.h"

M30_BEGIN_DECLS

/* BIT_RATE in bit/s. F_USE is held for the caller and is not part of the
 * chip image. For MPEG-1 Layer II, CODEC_PARAMETER_0 carries the header
 * flags: bit 4 no CRC, bit 5 copyright, bit 6 original. */
typedef struct aesparam {
    uint32_t AESPARAM_CC;
    uint8_t SOURCE, SOURCE_ID, CORE_ID;
    uint32_t BIT_RATE;
    uint8_t F_USE;
    uint8_t C_ENABLE;
    uint32_t AES3_CHANNEL_STATUS_0, AES3_CHANNEL_STATUS_1, AES3_CHANNEL_STATUS_0_R;
    uint32_t CODEC_PARAMETER_0, CODEC_PARAMETER_1, CODEC_PARAMETER_2, CODEC_PARAMETER_3, CODEC_PARAMETER_4;
    uint32_t CODEC_PARAMETER_5, CODEC_PARAMETER_6, CODEC_PARAMETER_7, CODEC_PARAMETER_8, CODEC_PARAMETER_9;
} aesparam;

M30_PARAM_FAMILY_DECLS(aesparam)
M30_API int aesparam_init(aesparam *aes_, unsigned source_id_, m30_audio_mode mode_) M30_NOEXCEPT;
M30_API unsigned aesparam_get_audio_rate(const aesparam *aes_) M30_NOEXCEPT;
M30_API int aesparam_set_audio_rate(aesparam *aes_, unsigned bps_) M30_NOEXCEPT;
/* MPEG-1 Layer II header flags; a value other than 1 clears the flag. */
M30_API int aesparam_set_mpeg1_protect(aesparam *aes_, m30_aud_mp1_prot v_) M30_NOEXCEPT;
M30_API m30_aud_mp1_prot aesparam_get_mpeg1_protect(const aesparam *aes_) M30_NOEXCEPT;
M30_API int aesparam_set_mpeg1_copyright(aesparam *aes_, m30_aud_mp1_cpr v_) M30_NOEXCEPT;
M30_API m30_aud_mp1_cpr aesparam_get_mpeg1_copyright(const aesparam *aes_) M30_NOEXCEPT;
M30_API int aesparam_set_mpeg1_copyorig(aesparam *aes_, m30_aud_mp1_cpyorg v_) M30_NOEXCEPT;
M30_API m30_aud_mp1_cpyorg aesparam_get_mpeg1_copyorig(const aesparam *aes_) M30_NOEXCEPT;

M30_END_DECLS

#endif

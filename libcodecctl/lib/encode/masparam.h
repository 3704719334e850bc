/* MAS block: one audio stream of the multiplexer (rate, buffer size,
 * stream id, PID). */
#ifndef M30_MASPARAM_H
#define M30_MASPARAM_H

#include "../m30.h"
#include "../m30_param_block.h"

M30_BEGIN_DECLS

/* A_BIT_RATE in bit/s. PMT_LENGTH and the PMT words are held for the
 * caller and are not part of the chip image. */
typedef struct masparam {
    uint32_t MASPARAM_CC;
    uint8_t SOURCE, SOURCE_ID;
    uint32_t A_BIT_RATE, STD_BUFFER_SIZE;
    uint8_t A_SID_OUT;
    uint16_t A_PID_OUT;
    uint8_t PMT_LENGTH;
    uint32_t PMT_00, PMT_04, PMT_08, PMT_0C, PMT_10, PMT_14, PMT_18;
    uint32_t PMT_1C, PMT_20, PMT_24, PMT_28, PMT_2C, PMT_30, PMT_34;
    uint32_t PMT_38, PMT_3C, PMT_40, PMT_44, PMT_48, PMT_4C, PMT_50;
    uint32_t PMT_54, PMT_58, PMT_5C, PMT_60, PMT_64, PMT_68, PMT_6C;
    uint32_t PMT_70, PMT_74, PMT_78, PMT_7C, PMT_80, PMT_84, PMT_88;
    uint32_t PMT_8C, PMT_90, PMT_94, PMT_98, PMT_9C, PMT_A0, PMT_A4;
    uint32_t PMT_A8, PMT_AC, PMT_B0, PMT_B4, PMT_B8, PMT_BC, PMT_C0;
} masparam;

M30_PARAM_FAMILY_DECLS(masparam)
/* Defaults for audio stream `source_id_`, on PID 483 + 256 x id. */
M30_API int masparam_init(masparam *mas_, unsigned source_id_) M30_NOEXCEPT;
M30_API unsigned masparam_get_audio_rate(const masparam *mas_) M30_NOEXCEPT;
M30_API int masparam_set_audio_rate(masparam *mas_, unsigned bps_) M30_NOEXCEPT;
M30_API unsigned masparam_get_audio_pid(const masparam *mas_) M30_NOEXCEPT;
M30_API int masparam_set_audio_pid(masparam *mas_, unsigned pid_) M30_NOEXCEPT;

M30_END_DECLS

#endif

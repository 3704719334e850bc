/* AD block: an audio decoder. */
#ifndef M30_ADPARAM_H
#define M30_ADPARAM_H

#include "../m30_param_block.h"

M30_BEGIN_DECLS

typedef struct adparam {
    uint32_t ADPARAM_CC;
    uint8_t F_USE, C_UP, C_OUT; /* one bit each in the image */
    uint32_t AES3_CHANNEL_STATUS_0, AES3_CHANNEL_STATUS_1, AES3_CHANNEL_STATUS_0_R;
    uint32_t CODEC_PARAMETER_0, CODEC_PARAMETER_1, CODEC_PARAMETER_2, CODEC_PARAMETER_3;
    uint32_t CODEC_PARAMETER_4, CODEC_PARAMETER_5, CODEC_PARAMETER_6, CODEC_PARAMETER_7;
    uint32_t CODEC_PARAMETER_8, CODEC_PARAMETER_9;
} adparam;

M30_PARAM_FAMILY_DECLS(adparam)
M30_API int adparam_init(adparam *ad_) M30_NOEXCEPT;

M30_END_DECLS

#endif

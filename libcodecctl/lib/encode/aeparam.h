/* AE block: which audio encoders of an encode channel are enabled. */
#ifndef M30_AEPARAM_H
#define M30_AEPARAM_H

#include "../m30.h"
#include "../m30_param_block.h"

M30_BEGIN_DECLS

/* AES_ID_BITS_H:AES_ID_BITS_L is a 64-bit mask of audio encoder streams. */
typedef struct aeparam {
    uint32_t AEPARAM_CC;
    uint8_t SOURCE, SOURCE_ID, ENABLE;
    uint32_t AES_ID_BITS_L, AES_ID_BITS_H;
} aeparam;

M30_PARAM_FAMILY_DECLS(aeparam)
/* Enables the encoders of a mask of four; above 14 means all four. */
M30_API int aeparam_init(aeparam *ae_, unsigned source_id_, uint8_t mask_) M30_NOEXCEPT;

M30_END_DECLS

#endif

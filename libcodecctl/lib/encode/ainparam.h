/* AIN block: which audio input streams of an encode channel are enabled. */
#ifndef M30_AINPARAM_H
#define M30_AINPARAM_H

#include "../m30.h"
#include "../m30_param_block.h"

M30_BEGIN_DECLS

/* AINS_ID_BITS_H:AINS_ID_BITS_L is a 64-bit mask, bit n for stream n. */
typedef struct ainparam {
    uint32_t AINPARAM_CC;
    uint8_t ENABLE;
    uint32_t AINS_ID_BITS_L, AINS_ID_BITS_H;
} ainparam;

M30_PARAM_FAMILY_DECLS(ainparam)
/* Enables the streams of a mask of four; above 14 means all four. */
M30_API int ainparam_init(ainparam *ain_, uint8_t mask_) M30_NOEXCEPT;

M30_END_DECLS

#endif

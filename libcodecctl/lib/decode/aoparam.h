/* AO block: an audio output. */
#ifndef M30_AOPARAM_H
#define M30_AOPARAM_H

#include "../m30_param_block.h"

M30_BEGIN_DECLS

typedef struct aoparam {
    uint32_t AOPARAM_CC;
    uint8_t DATA_FORMAT, SAMPLE_RATE, BIT_DEPTH;
    uint8_t CLOCK_MASTER, OUTPUT_I2S_MCLK, LSB_FIRST;
    uint8_t WARNING_TREATMENT;
} aoparam;

M30_PARAM_FAMILY_DECLS(aoparam)
M30_API int aoparam_init(aoparam *ao_, unsigned channel_) M30_NOEXCEPT;

M30_END_DECLS

#endif

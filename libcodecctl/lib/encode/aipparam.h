/* AIP block: an audio input port (the serial audio interface). */
#ifndef M30_AIPPARAM_H
#define M30_AIPPARAM_H

#include "../m30.h"
#include "../m30_param_block.h"

M30_BEGIN_DECLS

typedef struct aipparam {
    uint32_t AIPPARAM_CC;
    uint8_t DATA_FORMAT, DATA_TRANSFER_RATE, DATA_TRANSFER_SIZE, CLOCK_MASTER;
} aipparam;

M30_PARAM_FAMILY_DECLS(aipparam)
M30_API int aipparam_init(aipparam *aip_) M30_NOEXCEPT;

M30_END_DECLS

#endif

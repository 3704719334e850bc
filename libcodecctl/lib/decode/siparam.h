/* SI block: the stream input interface of a decode channel. */
#ifndef M30_SIPARAM_H
#define M30_SIPARAM_H

#include "../m30_param_block.h"

M30_BEGIN_DECLS

typedef enum sin_clk_edge { SIN_CLK_EDGE_POS = 0, SIN_CLK_EDGE_NEG = 1, SIN_CLK_EDGE_END } sin_clk_edge;
typedef enum sin_mode_op { SIN_MODE_SERIAL = 0, SIN_MODE_PARALLEL_8BIT = 1, SIN_MODE_END } sin_mode_op;
typedef enum si_stix_pstart {
    SI_STIX_PST_DISABLED = 0, SI_STIX_PST_ENABLED = 1, SI_STIX_PST_ENABLED_STP_ONLY = 2, SI_STIX_PST_END
} si_stix_pstart;

typedef struct siparam {
    uint32_t SIPARAM_CC;
    uint8_t SINCLK_HL; /* sin_clk_edge */
    uint8_t SIN_MODE;  /* sin_mode_op */
    uint8_t PSTART_EN; /* si_stix_pstart */
} siparam;

M30_PARAM_FAMILY_DECLS(siparam)
/* Channel 0 takes an 8-bit parallel input with packet start; the others a
 * serial input with packet start on the start of packet only. */
M30_API int siparam_init(siparam *si_, unsigned channel_) M30_NOEXCEPT;

M30_END_DECLS

#endif

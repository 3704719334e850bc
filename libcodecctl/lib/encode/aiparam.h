/* AI block: an audio interface; up to four sources, each with its time
 * slot and the slots of its left and right channels. */
#ifndef M30_AIPARAM_H
#define M30_AIPARAM_H

#include "../m30.h"
#include "../m30_param_block.h"

M30_BEGIN_DECLS

typedef struct aiparam {
    uint32_t AIPARAM_CC;
    uint8_t SOURCE, SOURCE_COUNT;
    uint8_t SOURCE_ID0, SOURCE_ID1, SOURCE_ID2, SOURCE_ID3;
    uint8_t SOURCE_ID0_SLOT, SOURCE_ID1_SLOT, SOURCE_ID2_SLOT, SOURCE_ID3_SLOT;
    uint8_t SOURCE_ID0_L_CH, SOURCE_ID1_L_CH, SOURCE_ID2_L_CH, SOURCE_ID3_L_CH;
    uint8_t SOURCE_ID0_R_CH, SOURCE_ID1_R_CH, SOURCE_ID2_R_CH, SOURCE_ID3_R_CH;
} aiparam;

M30_PARAM_FAMILY_DECLS(aiparam)
/* One source, `source_id_`, on channel slots 2 (left) and 3 (right). */
M30_API int aiparam_init(aiparam *ai_, unsigned source_id_) M30_NOEXCEPT;

M30_END_DECLS

#endif

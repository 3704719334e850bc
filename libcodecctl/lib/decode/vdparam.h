/* VD block: the video decoder of a decode channel (which SEI and user-data
 * messages the chip reports). */
#ifndef M30_VDPARAM_H
#define M30_VDPARAM_H

#include <stdbool.h>

#include "../m30_param_block.h"

M30_BEGIN_DECLS

typedef struct vdparam {
    uint32_t VDPARAM_CC;
    uint8_t SEI_PAYLOADTYPE3, SEI_PAYLOADTYPE2, SEI_PAYLOADTYPE1, SEI_PAYLOADTYPE0;
    uint8_t SEI_PAYLOADTYPE4;
    uint8_t MPEG2_PIC_USER_DATA, MPEG2_GOP_USER_DATA, MPEG2_SEQ_USER_DATA;
} vdparam;

M30_PARAM_FAMILY_DECLS(vdparam)
M30_API int vdparam_init(vdparam *vd_) M30_NOEXCEPT;
/* Five SEI payload types to report and the MPEG-2 picture, GOP and sequence
 * user-data switches; -1 for a null block or array. */
M30_API int vdparam_set_sei_info_msgs(vdparam *vd_, const unsigned payload_types_[5], bool pic_ud_,
                                      bool gop_ud_, bool seq_ud_) M30_NOEXCEPT;

M30_END_DECLS

#endif

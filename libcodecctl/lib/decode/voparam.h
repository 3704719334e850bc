/* VO block: the video output of a decode channel. */
#ifndef M30_VOPARAM_H
#define M30_VOPARAM_H

#include "../m30.h"
#include "../m30_param_block.h"

M30_BEGIN_DECLS

/* Output formats; the chip's own codes are stored in VO_VFORMAT. */
typedef enum vo_vformat {
    VO_VFORMAT_1920_1080I = 0,
    VO_VFORMAT_1280_720P = 1,
    VO_VFORMAT_720_480I = 2,
    VO_VFORMAT_720_576I = 3,
    VO_VFORMAT_720_480P = 4,
    VO_VFORMAT_720_576P = 5,
    VO_VFORMAT_1920_1080P = 6,
    VO_VFORMAT_3840_2160P_SQD = 7,
    VO_VFORMAT_3840_2160P_2SI = 8,
    VO_VFORMAT_ARBITRARY = 9,
    VO_VFORMAT_END
} vo_vformat;

typedef enum vo_frame_rate {
    VO_FRAME_RATE_60 = 0,
    VO_FRAME_RATE_59_94 = 1,
    VO_FRAME_RATE_50 = 2,
    VO_FRAME_RATE_30 = 3,
    VO_FRAME_RATE_29_97 = 4,
    VO_FRAME_RATE_25 = 5,
    VO_FRAME_RATE_24 = 6,
    VO_FRAME_RATE_23_976 = 7,
    VO_FRAME_RATE_END = 8 /* no known rate */
} vo_frame_rate;

typedef struct voparam {
    uint32_t VOPARAM_CC;
    uint8_t VO_YC_SWAP, VO_OUTPUT_VIO_CLK;
    uint8_t VO_VFORMAT;     /* chip format code */
    uint8_t VO_VFRAME_RATE; /* vo_frame_rate */
    uint8_t VANC_PTS;
} voparam;

M30_PARAM_FAMILY_DECLS(voparam)
M30_API int voparam_init(voparam *vo_, unsigned channel_) M30_NOEXCEPT;
M30_API vo_vformat m30_to_voparam_vidstd(m30_vidstd vidstd_) M30_NOEXCEPT;
M30_API int voparam_set_vformat(voparam *vo_, vo_vformat fmt_) M30_NOEXCEPT;
M30_API vo_vformat voparam_get_vformat(const voparam *vo_) M30_NOEXCEPT;
M30_API vo_frame_rate m30_to_voparam_frame_rate(m30_frame_rate_code code_) M30_NOEXCEPT;
M30_API int voparam_set_frame_rate(voparam *vo_, vo_frame_rate rate_) M30_NOEXCEPT;

M30_END_DECLS

#endif

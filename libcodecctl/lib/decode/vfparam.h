/* VF block: video format conversion between a decoder and its output. The
 * 4:2:2 conversion coefficients are signed 16-bit values held in two's
 * complement. */
#ifndef M30_VFPARAM_H
#define M30_VFPARAM_H

#include "../m30.h"
#include "../m30_param_block.h"

M30_BEGIN_DECLS

typedef struct vfparam {
    uint32_t VFPARAM_CC;
    uint8_t OUTPUT_MODE;
    uint8_t CHROMA_FORMAT_OUT; /* m30_chroma_fmt */
    uint8_t BIT_DEPTH_OUT;
    uint16_t HSIZE_VO, VSIZE_VO;
    uint16_t C422_COEF_P_01, C422_COEF_P_00, C422_COEF_P_03, C422_COEF_P_02;
    uint16_t C422_COEF_P_11, C422_COEF_P_10, C422_COEF_P_13, C422_COEF_P_12;
    uint16_t C422_COEF_I_01, C422_COEF_I_00, C422_COEF_I_03, C422_COEF_I_02;
    uint16_t C422_COEF_I_11, C422_COEF_I_10, C422_COEF_I_13, C422_COEF_I_12;
    uint8_t COLOR_SPACE_CONV_EN, COLOR_SPACE_OUT;
} vfparam;

M30_PARAM_FAMILY_DECLS(vfparam)
M30_API int vfparam_init(vfparam *vf_) M30_NOEXCEPT;
M30_API int vfparam_set_hsize(vfparam *vf_, unsigned hsize_) M30_NOEXCEPT;
M30_API int vfparam_set_vsize(vfparam *vf_, unsigned vsize_) M30_NOEXCEPT;
M30_API m30_chroma_fmt vfparam_get_chroma_fmt(const vfparam *vf_) M30_NOEXCEPT;
M30_API int vfparam_set_chroma_fmt(vfparam *vf_, m30_chroma_fmt fmt_) M30_NOEXCEPT;
M30_API unsigned vfparam_get_bit_depth(const vfparam *vf_) M30_NOEXCEPT;
M30_API int vfparam_set_bit_depth(vfparam *vf_, unsigned bit_depth_) M30_NOEXCEPT;

M30_END_DECLS

#endif

/* VA block: the video pre-processing stage of an encode channel (input and
 * output sampling, coded size, 4:2:0 filter, scene change, edge-preserving
 * filter). */
#ifndef M30_VAPARAM_H
#define M30_VAPARAM_H

#include "../m30.h"
#include "../m30_param_block.h"

M30_BEGIN_DECLS

typedef enum va_source { VA_SOURCE_VIN = 0, VA_SOURCE_VRS = 1, VA_SOURCE_VNR = 2 } va_source;
typedef enum va_spfil_mode {
    VA_SPFIL_MODE_THRU = 0, VA_SPFIL_MODE_01, VA_SPFIL_MODE_02, VA_SPFIL_MODE_03, VA_SPFIL_MODE_04,
    VA_SPFIL_MODE_05, VA_SPFIL_MODE_06, VA_SPFIL_MODE_07, VA_SPFIL_MODE_08, VA_SPFIL_MODE_09,
    VA_SPFIL_MODE_10, VA_SPFIL_MODE_11, VA_SPFIL_MODE_12, VA_SPFIL_MODE_13, VA_SPFIL_MODE_14,
    VA_SPFIL_MODE_15
} va_spfil_mode;

/* The eight chroma filter taps are signed 16-bit values in two's
 * complement. */
typedef struct vaparam {
    uint32_t VAPARAM_CC;
    uint8_t SOURCE, SOURCE_ID, INTERLACE, CHROMA_FORMAT, BIT_DEPTH;
    uint8_t FRAME_RATE_CODE, CHROMA_SEPARATE, V210, CHROMA_FORMAT_OUT, BIT_DEPTH_OUT;
    uint16_t HSIZE_VA, VSIZE_VA, HSIZE_EH, VSIZE_EH;
    uint16_t S_C420_COEF_1, S_C420_COEF_0, S_C420_COEF_3, S_C420_COEF_2;
    uint16_t S_C420_COEF_5, S_C420_COEF_4, S_C420_COEF_7, S_C420_COEF_6;
    uint16_t START_OFFSET_X, START_OFFSET_Y;
    uint8_t LA_BUF, SCENE_CHANGE, S_SC_OFFSET_PIXEL, S_SC_OFFSET_PICTURE;
    uint16_t EPFIL_TH;
    uint8_t SPFIL_MODE;
    uint16_t S_EPFIL_B;
    uint8_t EPFIL_DIV;
    uint16_t S_EPFIL_C, S_EPFIL_D, S_EPFIL_E, S_EPFIL_F;
} vaparam;

M30_PARAM_FAMILY_DECLS(vaparam)
M30_API int vaparam_init(vaparam *va_, va_source source_, unsigned source_id_) M30_NOEXCEPT;
/* Input size; the output (coded) size is the same or, with `align_`,
 * rounded up to a multiple of 16. */
M30_API unsigned vaparam_get_hsize(const vaparam *va_) M30_NOEXCEPT;
M30_API int vaparam_set_hsize(vaparam *va_, unsigned hsize_, bool align_) M30_NOEXCEPT;
M30_API unsigned vaparam_get_vsize(const vaparam *va_) M30_NOEXCEPT;
M30_API int vaparam_set_vsize(vaparam *va_, unsigned vsize_, bool align_) M30_NOEXCEPT;
M30_API unsigned vaparam_get_hsize_out(const vaparam *va_) M30_NOEXCEPT;
M30_API unsigned vaparam_get_vsize_out(const vaparam *va_) M30_NOEXCEPT;
M30_API bool vaparam_is_interlace(const vaparam *va_) M30_NOEXCEPT;
M30_API int vaparam_set_interlace(vaparam *va_, bool interlace_) M30_NOEXCEPT;
M30_API m30_frame_rate_code vaparam_get_frame_rate(const vaparam *va_) M30_NOEXCEPT;
M30_API int vaparam_set_frame_rate(vaparam *va_, m30_frame_rate_code rate_) M30_NOEXCEPT;
/* Input and output chroma formats; each also chooses the chroma filter
 * (pass-through when equal, 4:2:2 <-> 4:2:0 conversion otherwise). */
M30_API m30_chroma_fmt vaparam_get_chroma_fmt(const vaparam *va_) M30_NOEXCEPT;
M30_API int vaparam_set_chroma_fmt(vaparam *va_, m30_chroma_fmt fmt_) M30_NOEXCEPT;
M30_API m30_chroma_fmt vaparam_get_chroma_fmt_out(const vaparam *va_) M30_NOEXCEPT;
M30_API int vaparam_set_chroma_fmt_out(vaparam *va_, m30_chroma_fmt fmt_) M30_NOEXCEPT;
M30_API unsigned vaparam_get_bit_depth(const vaparam *va_) M30_NOEXCEPT;
M30_API int vaparam_set_bit_depth(vaparam *va_, unsigned bit_depth_) M30_NOEXCEPT;
M30_API unsigned vaparam_get_bit_depth_out(const vaparam *va_) M30_NOEXCEPT;
M30_API int vaparam_set_bit_depth_out(vaparam *va_, unsigned bit_depth_) M30_NOEXCEPT;

M30_END_DECLS

#endif

/* VIN block: the video input stream of an encode channel (source,
 * destination, picture size and rate, initial PTS). */
#ifndef M30_VINPARAM_H
#define M30_VINPARAM_H

#include "../m30.h"
#include "../m30_param_block.h"

M30_BEGIN_DECLS

typedef enum vin_source { VIN_SOURCE_VIF = 0, VIN_SOURCE_PCIE = 1 } vin_source;
typedef enum vin_destination { VIN_DESTINATION_VA = 0, VIN_DESTINATION_VRS = 1, VIN_DESTINATION_VNR = 2 } vin_destination;
typedef enum vin_pts_mode { VIN_PTS_MODE_AUTO = 0, VIN_PTS_MODE_HOST = 1, VIN_PTS_MODE_VANC = 2 } vin_pts_mode;

/* The initial PTS is 33 bits in 90 kHz units: bit 32 in
 * INITIAL_PTS_90K_MSB, the low 32 bits in INITIAL_PTS_90K. */
typedef struct vinparam {
    uint32_t VINPARAM_CC;
    uint8_t SOURCE, SOURCE_ID, DESTINATION, INTERLACE, CHROMA_FORMAT, BIT_DEPTH;
    uint8_t FRAME_RATE_CODE, CHROMA_SEPARATE, V210, BIT_DEPTH_OUT;
    uint16_t HSIZE, VSIZE;
    uint8_t PTS_MODE, INITIAL_PTS_90K_MSB;
    uint32_t INITIAL_PTS_90K, INITIAL_SERIAL_NUMBER;
} vinparam;

M30_PARAM_FAMILY_DECLS(vinparam)
M30_API int vinparam_init(vinparam *vin_, unsigned source_id_) M30_NOEXCEPT;
M30_API unsigned vinparam_get_hsize(const vinparam *vin_) M30_NOEXCEPT;
M30_API int vinparam_set_hsize(vinparam *vin_, unsigned hsize_) M30_NOEXCEPT;
M30_API unsigned vinparam_get_vsize(const vinparam *vin_) M30_NOEXCEPT;
M30_API int vinparam_set_vsize(vinparam *vin_, unsigned vsize_) M30_NOEXCEPT;
M30_API bool vinparam_is_interlace(const vinparam *vin_) M30_NOEXCEPT;
M30_API int vinparam_set_interlace(vinparam *vin_, bool interlace_) M30_NOEXCEPT;
M30_API m30_frame_rate_code vinparam_get_frame_rate(const vinparam *vin_) M30_NOEXCEPT;
M30_API int vinparam_set_frame_rate(vinparam *vin_, m30_frame_rate_code rate_) M30_NOEXCEPT;
M30_API m30_chroma_fmt vinparam_get_chroma_fmt(const vinparam *vin_) M30_NOEXCEPT;
M30_API int vinparam_set_chroma_fmt(vinparam *vin_, m30_chroma_fmt fmt_) M30_NOEXCEPT;
M30_API unsigned vinparam_get_bit_depth(const vinparam *vin_) M30_NOEXCEPT;
M30_API int vinparam_set_bit_depth(vinparam *vin_, unsigned bit_depth_) M30_NOEXCEPT;
M30_API uint8_t vinparam_get_init_pts_msb(const vinparam *vin_) M30_NOEXCEPT;
M30_API uint32_t vinparam_get_init_pts(const vinparam *vin_) M30_NOEXCEPT;

M30_END_DECLS

#endif

/* AINS block: one audio input stream (source, sampling, access-unit size,
 * initial PTS). */
#ifndef M30_AINSPARAM_H
#define M30_AINSPARAM_H

#include "../m30.h"
#include "../m30_param_block.h"

M30_BEGIN_DECLS

/* AAU_SAMPLE_NUM: samples per audio access unit. The initial PTS is 33
 * bits in 90 kHz units: bit 32 in INITIAL_PTS_90K_MSB, the low 32 bits in
 * INITIAL_PTS_90K. */
typedef struct ainsparam {
    uint32_t AINSPARAM_CC;
    uint8_t SOURCE, AAU_SAMPLE_MODE, TYPE, SOURCE_ID, SAMPLE_RATE, SAMPLE_BIT, AUDIO_OFFSET;
    uint32_t AAU_SAMPLE_NUM;
    uint8_t INITIAL_PTS_90K_MSB;
    uint32_t INITIAL_PTS_90K;
} ainsparam;

M30_PARAM_FAMILY_DECLS(ainsparam)
M30_API int ainsparam_init(ainsparam *ains_, unsigned source_id_, m30_audio_mode mode_) M30_NOEXCEPT;
/* The 33-bit PTS (bit 32, low 32 bits) moved by a sync offset in
 * milliseconds, modulo 2^33. */
M30_API int ainsparam_set_initial_pts(ainsparam *ains_, uint8_t pts_msb_, uint32_t pts_, int32_t offset_ms_) M30_NOEXCEPT;

M30_END_DECLS

#endif

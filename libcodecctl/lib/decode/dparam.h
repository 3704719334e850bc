/* D block: a decode channel's system settings (sources, sinks, clocks,
 * latency, audio modes). */
#ifndef M30_DPARAM_H
#define M30_DPARAM_H

#include <stdbool.h>

#include "../m30.h"
#include "../m30_param_block.h"

M30_BEGIN_DECLS

typedef enum d_stop_condition { D_STOP_CONDITION_PICTURE = 0, D_STOP_CONDITION_COLOR = 1, D_STOP_CONDITION_END } d_stop_condition;
typedef enum d_input_stream_type { D_INPUT_STREAM_TYPE_ES = 0, D_INPUT_STREAM_TYPE_TS = 1, D_INPUT_STREAM_TYPE_END } d_input_stream_type;
typedef enum d_source { D_SOURCE_PORT = 0, D_SOURCE_PCIE = 1, D_SOURCE_END } d_source;
typedef enum d_sink_a { D_SINK_A_I2S = 0, D_SINK_A_PCIE = 1, D_SINK_A_END } d_sink_a;
typedef enum d_sink_v { D_SINK_V_SDI = 0, D_SINK_V_PCIE = 1, D_SINK_V_END } d_sink_v;
typedef enum d_low_latency {
    D_LOW_LATENCY_NORMAL = 0, D_LOW_LATENCY_LOW_LAT = 1, D_LOW_LATENCY_LOW_LAT_GDR = 2, D_LOW_LATENCY_END
} d_low_latency;
typedef enum d_av_resync {
    D_AV_RESYNC_PCR_MASTER = 0, D_AV_RESYNC_VID_MASTER = 1, D_AV_RESYNC_AUD_MASTER = 2, D_AV_RESYNC_END
} d_av_resync;
typedef enum d_sys_clock { D_SYS_CLK_CLK27 = 0, D_SYS_CLK_STIX_27MOPT = 1, D_SYS_CLK_END } d_sys_clock;
typedef enum d_video_clock {
    D_VID_CLK_148_5_DIV_1_001 = 0, D_VID_CLK_148_5M = 1, D_VID_CLK_74_25M_DIV_1_001 = 2,
    D_VID_CLK_74_25M = 3, D_VID_CLK_27M = 4, D_VID_CLK_END
} d_video_clock;
typedef enum d_audio_clock {
    D_AUD_CLK_12_288M = 0, D_AUD_CLK_11_2896M = 1, D_AUD_CLK_0_8192M = 2, D_AUD_CLK_END
} d_audio_clock;

typedef struct dparam {
    uint32_t DPARAM_CC;
    uint8_t STOP_CONDITION, INPUT_STREAM_TYPE;
    uint8_t SOURCE, SINK_A, SINK_V, STREAM_REALTIME_MODE;
    uint32_t DECODE_LATENCY;
    uint8_t LOW_LATENCY, AV_RESYNC_MODE;
    uint16_t LATENCY_CHECK_VSYNC_CYCLE;
    uint8_t SYSTEM_CLOCK_SEL;
    uint8_t PWM_EN, VCLK_GEN_MODE, ACLK_GEN_MODE;
    uint8_t VIDEO_CONCEAL_LEVEL, VIDEO_CONCEAL_LEVEL_REF, VIDEO_MODE;
    uint32_t AUDIO0_MODE, AUDIO1_MODE, AUDIO2_MODE, AUDIO3_MODE; /* audio firmware identifiers */
    uint8_t D_AUDIO_AD_ID_EN; /* bit n enables audio decoder n */
    uint8_t D_AUDIO_START_FRAME_NUM;
    uint8_t D_AUDIO0_AD_ID, D_AUDIO0_AO_ID, D_AUDIO1_AD_ID, D_AUDIO1_AO_ID;
    uint8_t D_AUDIO2_AD_ID, D_AUDIO2_AO_ID, D_AUDIO3_AD_ID, D_AUDIO3_AO_ID;
    uint16_t AUDIO_PTS_OFFSET;
} dparam;

M30_PARAM_FAMILY_DECLS(dparam)
/* is_pci_input_: the transport stream reaches the chip over PCI. */
M30_API int dparam_init(dparam *d_, bool is_pci_input_) M30_NOEXCEPT;
M30_API int dparam_set_video_clock_freq(dparam *d_, d_video_clock clk_) M30_NOEXCEPT;
M30_API int dparam_set_video_mode(dparam *d_, m30_video_mode mode_) M30_NOEXCEPT;
/* Enables audio decoder n when PID n is not 0. */
M30_API int dparam_set_audio_pids_info(dparam *d_, const unsigned pids_[4]) M30_NOEXCEPT;
/* Decode firmware of audio index 0 to 3; -1 for another index. */
M30_API int dparam_set_audio_mode(dparam *d_, unsigned audio_idx_, m30_audio_mode mode_) M30_NOEXCEPT;
/* The video clock a standard needs (D_VID_CLK_148_5_DIV_1_001 for none). */
M30_API d_video_clock m30_vidstd_to_dparam_vclk_fq(m30_vidstd vidstd_) M30_NOEXCEPT;

M30_END_DECLS

#endif

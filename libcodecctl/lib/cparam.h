/* The common block (tag C): chip-wide settings read in both modes. */
#ifndef M30_CPARAM_H
#define M30_CPARAM_H

#include <stdbool.h>

#include "m30.h"
#include "m30_param_block.h"

M30_BEGIN_DECLS

#define CPARAM_IMAGE_SIZE 128

typedef enum c_chip_div_mode {
    C_CHIP_DIV_MODE_OFF = 0, C_CHIP_DIV_MODE_NO_COOP = 1, C_CHIP_DIV_MODE_COOP = 2, C_CHIP_DIV_MODE_END
} c_chip_div_mode;
typedef enum c_tile_slice_mode {
    C_TILE_SLICE_MODE_TILE = 0, C_TILE_SLICE_MODE_SLICE = 1, C_TILE_SLICE_MODE_END
} c_tile_slice_mode;
typedef enum c_hevc_multi_ch_mode {
    C_HEVC_MULTI_CH_MODE_1 = 0, C_HEVC_MULTI_CH_MODE_2 = 1, C_HEVC_MULTI_CH_MODE_END
} c_hevc_multi_ch_mode;
/* What the encoder shows when its video input is lost. */
typedef enum c_vi_robust_mode {
    C_VI_ROBUST_MODE_STOP_ENCODING = 0, C_VI_ROBUST_MODE_BLUE = 1, C_VI_ROBUST_MODE_COLOR = 2,
    C_VI_ROBUST_MODE_LAST_PICTURE = 3, C_VI_ROBUST_MODE_END
} c_vi_robust_mode;
typedef enum c_reso_type {
    C_RESO_TYPE_NOT_USING = 0, C_RESO_TYPE_4K2K = 1, C_RESO_TYPE_FULLHD = 2, C_RESO_TYPE_HD = 3,
    C_RESO_TYPE_SD = 4, C_RESO_TYPE_640X480 = 5, C_RESO_TYPE_320X240 = 6, C_RESO_TYPE_END
} c_reso_type;
typedef enum c_output_stream_type {
    C_OUTPUT_STREAM_TYPE_ES = 0, C_OUTPUT_STREAM_TYPE_TS = 1, C_OUTPUT_STREAM_TYPE_END
} c_output_stream_type;
typedef enum c_trc_flag { C_TRC_FLAG_ENCODE = 0, C_TRC_FLAG_TRANSCODE = 1, C_TRC_FLAG_END } c_trc_flag;
typedef enum c_stc_sel {
    C_STC_SEL_CLK27 = 0, C_STC_SEL_DEST_27MOPT = 1, C_STC_SEL_VIDEO = 2, C_STC_SEL_END
} c_stc_sel;
typedef enum c_video_clk {
    C_VIDEO_CLK_13_5M = 0, C_VIDEO_CLK_27M = 1, C_VIDEO_CLK_74_25M = 2,
    C_VIDEO_CLK_74_25M_DIV_1_001 = 3, C_VIDEO_CLK_148_5M = 4, C_VIDEO_CLK_148_5_DIV_1_001 = 5,
    C_VIDEO_CLK_END
} c_video_clk;

typedef struct cparam {
    uint32_t CPARAM_CC;
    uint8_t TILE_ADDR_X, TILE_ADDR_Y, NUM_TILE_COL, NUM_TILE_ROW;
    uint8_t CHIP_DIV_MODE, TILE_SLICE_MODE, RESERVED_8K;
    uint8_t HEVC_MULTI_CH_MODE, USE_STATMUX;
    uint8_t VI_ROBUST_STILL_PIC_Y, VI_ROBUST_STILL_PIC_CB, VI_ROBUST_STILL_PIC_CR;
    uint8_t LA_BUF_TIME, VI_ROBUST_MODE, SC_BUF;
    /* Resolution types in image order: channel 7 in the top nibble of word 4. */
    uint8_t RESO_TYPE_CH07, RESO_TYPE_CH06, RESO_TYPE_CH05, RESO_TYPE_CH04;
    uint8_t RESO_TYPE_CH03, RESO_TYPE_CH02, RESO_TYPE_CH01, RESO_TYPE_CH00;
    uint8_t RESO_TYPE_CH15, RESO_TYPE_CH14, RESO_TYPE_CH13, RESO_TYPE_CH12;
    uint8_t RESO_TYPE_CH11, RESO_TYPE_CH10, RESO_TYPE_CH09, RESO_TYPE_CH08;
    uint8_t RESO_TYPE_CH23, RESO_TYPE_CH22, RESO_TYPE_CH21, RESO_TYPE_CH20;
    uint8_t RESO_TYPE_CH19, RESO_TYPE_CH18, RESO_TYPE_CH17, RESO_TYPE_CH16;
    uint8_t RESO_TYPE_CH31, RESO_TYPE_CH30, RESO_TYPE_CH29, RESO_TYPE_CH28;
    uint8_t RESO_TYPE_CH27, RESO_TYPE_CH26, RESO_TYPE_CH25, RESO_TYPE_CH24;
    uint8_t VIDEO_ENCODE_TYPE, OUTPUT_STREAM_TYPE, ULTRA_LOW_LATENCY_ENCODE_MODE, TRC_FLAG;
    uint8_t STC_SEL_0, STC_SEL_1, STC_SEL_2, STC_SEL_3, VIDEO_CLK_0;
    uint8_t TS_ESINFO_DISABLE, SCALER_DISABLE;
    uint16_t MAX_HORIZONTAL_SIZE_CORE1, MAX_HORIZONTAL_SIZE_CORE0;
    uint16_t MAX_HORIZONTAL_SIZE_CORE3, MAX_HORIZONTAL_SIZE_CORE2;
    uint8_t VO_INITIAL_STILL_PIC_Y, VO_INITIAL_STILL_PIC_CB, VO_INITIAL_STILL_PIC_CR;
    uint8_t LOW_LATENCY_DECODE_MODE, USE_EXTERNAL_DDR;
    uint32_t AUDIO_FIRM_FID0, AUDIO_FIRM_FID1, AUDIO_FIRM_FID2, AUDIO_FIRM_FID3;
} cparam;

M30_PARAM_FAMILY_DECLS(cparam)

/* Defaults for a video mode, robust mode, channel layout (is_multi 0: one
 * UHD channel) and direction; `ull` keeps two channels in multi-channel
 * mode. */
M30_API int cparam_init(cparam *c_, m30_video_mode video_mode_, c_vi_robust_mode robust_mode_,
                        uint8_t is_multi_, bool is_encode_, bool ull_) M30_NOEXCEPT;
/* Resolution type of channel 0 to 3; -1 for another channel. */
M30_API int cparam_set_reso_type(cparam *c_, unsigned channel_, c_reso_type type_) M30_NOEXCEPT;
/* Audio firmware of audio index 0 to 3; -1 for another index. */
M30_API int cparam_set_audio_mode(cparam *c_, unsigned audio_idx_, m30_audio_mode mode_,
                                  bool is_encode_) M30_NOEXCEPT;

M30_END_DECLS

#endif

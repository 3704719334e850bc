/* EH block: the HEVC video encoder of an encode channel. */
#ifndef M30_EHPARAM_H
#define M30_EHPARAM_H

#include "../m30.h"
#include "../m30_param_block.h"

M30_BEGIN_DECLS

typedef enum eh_source { EH_SOURCE_VA = 0 /* the picture comes from the VA block */ } eh_source;
typedef enum eh_profile {
    EH_PROFILE_RESERVED = 0, EH_PROFILE_MAIN = 1, EH_PROFILE_MAIN_10 = 2, EH_PROFILE_MAIN_STILL_PIC = 3,
    EH_PROFILE_MAIN_422_10 = 4, EH_PROFILE_END
} eh_profile;
typedef enum eh_tier { EH_TIER_MAIN = 0, EH_TIER_HIGH = 1, EH_TIER_END } eh_tier;
typedef enum eh_gop_hierarchy {
    EH_GOP_HIER_NONE = 0, EH_GOP_HIER_HIGH = 1, EH_GOP_HIER_HIGH_LDB = 2, EH_GOP_HIER_END
} eh_gop_hierarchy;
typedef enum scaling_list_mode {
    EH_SLMODE_OFF = -1, EH_SLMODE_NATIVE = 0, EH_SLMODE_RSVD1 = 1, EH_SLMODE_STANDARD = 2, EH_SLMODE_RSVD2 = 3
} scaling_list_mode;
typedef enum eh_op_std {
    EH_OP_STD_DEFAULT = 0, EH_OP_STD_RSVD1 = 1, EH_OP_STD_RSVD2 = 2, EH_OP_STD_ARIB = 3
} eh_op_std;
typedef enum eh_use_tr_irap { EH_USE_TR_IRAP_CRA = 0, EH_USE_TR_IRAP_TRAIL = 1 } eh_use_tr_irap;
typedef enum eh_nal_mode_around_idr {
    EH_NAL_MODE_AROUND_IDR_RADL = 0, EH_NAL_MODE_AROUND_IDR_TRAIL = 1
} eh_nal_mode_around_idr;
typedef enum eh_band_width_reduction {
    EH_BAND_WIDTH_REDUCTION_DISABLED = 0, EH_BAND_WIDTH_REDUCTION_1 = 1, EH_BAND_WIDTH_REDUCTION_2 = 2,
    EH_BAND_WIDTH_REDUCTION_3 = 3, EH_BAND_WIDTH_REDUCTION_4 = 4, EH_BAND_WIDTH_REDUCTION_5 = 5,
    EH_BAND_WIDTH_REDUCTION_6 = 6, EH_BAND_WIDTH_REDUCTION_7 = 7, EH_BAND_WIDTH_REDUCTION_8 = 8
} eh_band_width_reduction;
/* Sample aspect ratios of the HEVC and AVC VUI (ITU-T H.265 Table E.1,
 * H.264 Table E-1). */
typedef enum aspect_ratio_idc {
    ASPECTRATIO_UNSPECIFIED = 0, ASPECTRATIO_1x1 = 1, ASPECTRATIO_12x11 = 2, ASPECTRATIO_10x11 = 3,
    ASPECTRATIO_16x11 = 4, ASPECTRATIO_40x33 = 5, ASPECTRATIO_24x11 = 6, ASPECTRATIO_20x11 = 7,
    ASPECTRATIO_32x11 = 8, ASPECTRATIO_80x33 = 9, ASPECTRATIO_18x11 = 10, ASPECTRATIO_15x11 = 11,
    ASPECTRATIO_64x33 = 12, ASPECTRATIO_160x99 = 13, ASPECTRATIO_EXT_SAR = 255
} aspect_ratio_idc;

/* Names of eh_profile values, null-terminated. */
M30_API extern const char *const eh_profile_strings[];
/* Pixel sizes of the codes in CTU_SIZE, MIN_CU_SIZE, MAX_TU_SIZE and
 * MIN_TU_SIZE (code 0 is the smallest); a 0 entry closes each table. */
M30_API extern const uint16_t EH_CTU_SIZE_ENUM_TO_VALUE[];
M30_API extern const uint16_t EH_CU_SIZE_ENUM_TO_VALUE[];
M30_API extern const uint16_t EH_TU_SIZE_ENUM_TO_VALUE[];

/* Rates in kbit/s. */
typedef struct ehparam {
    uint32_t EHPARAM_CC;
    uint8_t SOURCE, SOURCE_ID, HS_ENCODE_MODE, INTERLACE, CHROMA_FORMAT, BIT_DEPTH;
    uint16_t HSIZE_VA, VSIZE_VA, HSIZE_EH, VSIZE_EH;
    uint8_t PROFILE, LEVEL, TIER;
    uint8_t ASPECT_RATIO_IDC;
    uint16_t SAR_WIDTH, SAR_HEIGHT;
    uint8_t WPP_MODE, TILE_SLICE_MODE, NUM_SLICE_IN_TILE, NUM_TILE_IN_SLICE, NUM_SLICE_SEG_IN_SLICE;
    uint8_t FRAME_NUM_IN_GOP, GOP_HIERARCHY, USE_TEMPORAL_ID, NUM_TILE_COL, NUM_TILE_ROW;
    uint8_t P_AS_L0_B, IP_PERIOD, ADAPTIVE_GOP, CLOSED_GOP;
    uint16_t IDR_INTERVAL;
    uint8_t RC_MODE, DISABLE_MIN_QP_CTRL;
    uint16_t S_VBR_CONVERGE;
    uint8_t ADAPTIVE_QUANTIZATION;
    uint32_t BITRATE, VBR_MAX_BITRATE, VBR_AVE_BITRATE, VBR_MIN_BITRATE, VBR_FILLER_BITRATE;
    uint32_t NUM_UNITS_IN_TICK_MAX, TIME_SCALE, NUM_UNITS_IN_TICK, CPB_DELAY;
    uint8_t MD_OPT, S_VBR_MODE;
    uint32_t MAX_PIC_TARGET;
    uint8_t CTU_SIZE, MIN_CU_SIZE, MAX_TU_SIZE, MIN_TU_SIZE;
    uint8_t MAX_TU_DEPTH_INTRA, MAX_TU_DEPTH_INTER;
    uint8_t TSKIP_INTRA, TSKIP_INTER, STRONG_INTRA_SMOOTHING, TEMPORAL_MVP, MERGE_CAND;
    uint8_t AMP, WP;
    uint8_t PCM, MAX_PCM_SIZE, MIN_PCM_SIZE, PCM_LF_EN, PCM_BDEPTH_Y, PCM_BDEPTH_C;
    uint8_t SAO, LF_TILE_SLICE, DF, RDOQ;
    uint8_t PPS_INSERTION, EOS, S_SCALING_LIST_MODE;
    uint8_t BUF_CTRL_PARAM, VCL_HRD, SUB_PIC_HRD, VPS_TIMING_INFO_PRESENT_FLAG;
    uint8_t OVERSCAN_INFO, BITSTREAM_RESTRICTION;
    uint8_t VIDEO_SIGNAL_TYPE, VIDEO_FORMAT, VIDEO_FULL_RANGE_FLAG, COLOUR_DESCRIPTION_PRESENT_FLAG;
    uint8_t COLOUR_PRIMARIES, TRANSFER_CHARACTERISTICS, MATRIX_COEFFS;
    uint8_t CHROMA_LOC_INFO_PRESENT_FLAG, CHROMA_SAMPLE_LOC_TYPE_TOP, CHROMA_SAMPLE_LOC_TYPE_BOTTOM;
    uint16_t CROP_LEFT, CROP_RIGHT, CROP_TOP, CROP_BOTTOM;
    uint8_t FORCE_USE_CORE_NUM, GDR_REFRESH_HORIZONTAL, GDR_REFRESH_VERTICAL;
    uint8_t OP_STD, USE_TP_IRAP, NAL_MODE_AROUND_IDR, PIC_TIMING, SCAN_TYPE, FRAME_PACKING_ARRANGEMENT;
    uint16_t PAN_SCAN_RECT_LEFT, PAN_SCAN_RECT_RIGHT, PAN_SCAN_RECT_TOP, PAN_SCAN_RECT_BOTTOM;
    uint8_t DECODED_PICTURE_HASH, BAND_WIDTH_REDUCTION, MAX_DPB_DELAY;
    uint8_t S_PPS_CB_QP_OFFSET, S_PPS_CR_QP_OFFSET;
    uint8_t VEC_LIMIT_TYPE;
    uint16_t S_VEC_LIMIT_PIC_LEFT, S_VEC_LIMIT_PIC_RIGHT, S_VEC_LIMIT_PIC_TOP, S_VEC_LIMIT_PIC_BOTTOM;
    uint16_t S_VEC_LIMIT_TILE_SLICE_LEFT, S_VEC_LIMIT_TILE_SLICE_RIGHT;
    uint16_t S_VEC_LIMIT_TILE_SLICE_TOP, S_VEC_LIMIT_TILE_SLICE_BOTTOM;
} ehparam;

M30_PARAM_FAMILY_DECLS(ehparam)
/* Defaults; a source id other than 0 (a secondary channel) starts at the
 * lower rates. */
M30_API int ehparam_init(ehparam *eh_, unsigned source_, unsigned source_id_) M30_NOEXCEPT;
M30_API bool ehparam_is_interlace(const ehparam *eh_) M30_NOEXCEPT;
M30_API int ehparam_set_interlace(ehparam *eh_, bool interlace_) M30_NOEXCEPT;
M30_API bool ehparam_is_closed_gop(const ehparam *eh_) M30_NOEXCEPT;
M30_API int ehparam_set_closed_gop(ehparam *eh_, bool closed_) M30_NOEXCEPT;
/* Chroma format and bit depth; setting either recomputes the profile. */
M30_API m30_chroma_fmt ehparam_get_chroma_fmt(const ehparam *eh_) M30_NOEXCEPT;
M30_API int ehparam_set_chroma_fmt(ehparam *eh_, m30_chroma_fmt fmt_) M30_NOEXCEPT;
M30_API unsigned ehparam_get_bit_depth(const ehparam *eh_) M30_NOEXCEPT;
M30_API int ehparam_set_bit_depth(ehparam *eh_, unsigned bit_depth_) M30_NOEXCEPT;
M30_API eh_profile ehparam_get_profile(const ehparam *eh_) M30_NOEXCEPT;
M30_API int ehparam_set_profile(ehparam *eh_, eh_profile profile_) M30_NOEXCEPT;
M30_API eh_tier ehparam_get_tier(const ehparam *eh_) M30_NOEXCEPT;
M30_API int ehparam_set_tier(ehparam *eh_, eh_tier tier_) M30_NOEXCEPT;
M30_API unsigned ehparam_get_gop_length(const ehparam *eh_) M30_NOEXCEPT;
M30_API int ehparam_set_gop_length(ehparam *eh_, unsigned frames_) M30_NOEXCEPT;
M30_API int ehparam_set_frame_num_in_gop(ehparam *eh_, unsigned frames_) M30_NOEXCEPT;
M30_API int ehparam_set_ip_period(ehparam *eh_, unsigned period_) M30_NOEXCEPT;
M30_API m30_ratectrl ehparam_get_rate_control(const ehparam *eh_) M30_NOEXCEPT;
M30_API int ehparam_set_rate_control(ehparam *eh_, m30_ratectrl rc_) M30_NOEXCEPT;
M30_API unsigned ehparam_get_video_rate(const ehparam *eh_) M30_NOEXCEPT;
M30_API int ehparam_set_video_rate(ehparam *eh_, unsigned kbps_) M30_NOEXCEPT;
M30_API unsigned ehparam_get_vbr_max(const ehparam *eh_) M30_NOEXCEPT;
M30_API int ehparam_set_vbr_max(ehparam *eh_, unsigned kbps_) M30_NOEXCEPT;
M30_API unsigned ehparam_get_vbr_min(const ehparam *eh_) M30_NOEXCEPT;
M30_API int ehparam_set_vbr_min(ehparam *eh_, unsigned kbps_) M30_NOEXCEPT;
M30_API unsigned ehparam_get_vbr_average(const ehparam *eh_) M30_NOEXCEPT;
M30_API int ehparam_set_vbr_average(ehparam *eh_, unsigned kbps_) M30_NOEXCEPT;
M30_API unsigned ehparam_get_vbr_filler(const ehparam *eh_) M30_NOEXCEPT;
M30_API int ehparam_set_vbr_filler(ehparam *eh_, unsigned kbps_) M30_NOEXCEPT;
/* Input picture size; the coded size is rounded up to a multiple of 16 and
 * the extra lines are cropped at the bottom. */
M30_API unsigned ehparam_get_hsize(const ehparam *eh_) M30_NOEXCEPT;
M30_API int ehparam_set_hsize(ehparam *eh_, unsigned hsize_) M30_NOEXCEPT;
M30_API unsigned ehparam_get_hsize_out(const ehparam *eh_) M30_NOEXCEPT;
M30_API unsigned ehparam_get_vsize(const ehparam *eh_) M30_NOEXCEPT;
M30_API int ehparam_set_vsize(ehparam *eh_, unsigned vsize_) M30_NOEXCEPT;
M30_API unsigned ehparam_get_vsize_out(const ehparam *eh_) M30_NOEXCEPT;
/* VUI timing for a frame rate; interlaced pictures tick per field. */
M30_API int ehparam_set_frame_rate(ehparam *eh_, m30_frame_rate_code rate_, bool interlace_) M30_NOEXCEPT;
M30_API int ehparam_set_latency(ehparam *eh_, unsigned cpb_delay_) M30_NOEXCEPT;
M30_API unsigned ehparam_get_latency(const ehparam *eh_) M30_NOEXCEPT;
M30_API int ehparam_set_aspect_ratio(ehparam *eh_, m30_aspect_ratio ar_) M30_NOEXCEPT;
/* Colour description for a picture height and HDR mode (0 none, 1 HLG,
 * other PQ). */
M30_API int ehparam_set_vui_params(ehparam *eh_, unsigned height_, unsigned hdr_mode_) M30_NOEXCEPT;
/* Ultra-low-latency settings; nothing changes when `ull_` is false. In
 * channel mode 1 the rate is capped at 22250 kbit/s. */
M30_API int ehparam_set_ull_params(ehparam *eh_, bool ull_, unsigned channel_mode_) M30_NOEXCEPT;

M30_END_DECLS

#endif

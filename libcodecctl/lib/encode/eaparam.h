/* EA block: the AVC (H.264) video encoder of an encode channel. */
#ifndef M30_EAPARAM_H
#define M30_EAPARAM_H

#include "../m30.h"
#include "../m30_param_block.h"

M30_BEGIN_DECLS

typedef enum ea_profile {
    EA_PROFILE_RESERVED = 0, EA_PROFILE_MAIN = 1, EA_PROFILE_HIGH = 2, EA_PROFILE_HIGH_10 = 3,
    EA_PROFILE_HIGH_422 = 4, EA_PROFILE_BASELINE = 5, EA_PROFILE_END
} ea_profile;
typedef enum ea_pps_insertion {
    EA_PPSINS_IDR_CRA = 0, EA_PPSINS_EVERY_PICTURE = 1, EA_PPSINS_IRAP_AUTO = 2
} ea_pps_insertion;

/* Names of ea_profile values, null-terminated. */
M30_API extern const char *const ea_profile_strings[];

/* Rates in kbit/s; LEVEL is the AVC level times ten. */
typedef struct eaparam {
    uint32_t EAPARAM_CC;
    uint8_t SOURCE, SOURCE_ID, HS_ENCODE_MODE, INTERLACE, CHROMA_FORMAT, BIT_DEPTH;
    uint16_t HSIZE_VA, VSIZE_VA, HSIZE_EA, VSIZE_EA;
    uint8_t PROFILE, LEVEL, CAVLC_MODE;
    uint8_t ASPECT_RATIO_IDC;
    uint16_t SAR_WIDTH, SAR_HEIGHT;
    uint8_t SLICE_NUM_IN_PIC;
    uint8_t FRAME_NUM_IN_GOP, BADAPT, NO_IDR_DELAY;
    uint8_t LL_MODE, IP_PERIOD, ADAPTIVE_GOP, CLOSED_GOP;
    uint16_t IDR_INTERVAL;
    uint8_t RC_MODE;
    uint16_t S_VBR_CONVERGE;
    uint8_t INITIAL_CPB_DELAY;
    uint32_t BITRATE, VBR_MAX_BITRATE, VBR_AVE_BITRATE, VBR_MIN_BITRATE, VBR_FILLER_BITRATE;
    uint32_t NUM_UNITS_IN_TICK_MAX, TIME_SCALE, NUM_UNITS_IN_TICK, CPB_DELAY;
    uint8_t WP, CLIP_PIC_INIT_QP_MINUS26;
    uint8_t DF, TEMPORAL_DIRECT_ON;
    uint8_t PPS_INSERTION, SPS_INSERTION, EOS;
    uint8_t BUF_CTRL_PARAM, VCL_HRD, DELETE_PAN_SCAN_RECT_SEI, PIC_ORDER_PRESENT_FLAG;
    uint8_t TIMING_INFO_PRESENT_FLAG, LOG2_MAX_MV_LENGTH;
    uint8_t OVERSCAN_INFO, BITSTREAM_RESTRICTION, NUM_REORDER_FRAMES, MAX_DEC_FRAME_BUFFERING;
    uint8_t ASPECT_RATIO_INFO_PRESENT_FLAG;
    uint8_t VIDEO_SIGNAL_TYPE, VIDEO_FORMAT, VIDEO_FULL_RANGE_FLAG, COLOUR_DESCRIPTION_PRESENT_FLAG;
    uint8_t COLOUR_PRIMARIES, TRANSFER_CHARACTERISTICS, MATRIX_COEFFS;
    uint8_t CHROMA_LOC_INFO_PRESENT_FLAG, CHROMA_SAMPLE_LOC_TYPE_TOP, CHROMA_SAMPLE_LOC_TYPE_BOTTOM;
    uint16_t CROP_LEFT, CROP_RIGHT, CROP_TOP, CROP_BOTTOM;
    uint8_t RECOVERY_POINT, PIC_TIMING;
    uint16_t PAN_SCAN_RECT_LEFT, PAN_SCAN_RECT_RIGHT, PAN_SCAN_RECT_TOP, PAN_SCAN_RECT_BOTTOM;
} eaparam;

M30_PARAM_FAMILY_DECLS(eaparam)
/* Defaults; a source id other than 0 starts at the lower rate. */
M30_API int eaparam_init(eaparam *ea_, unsigned source_, unsigned source_id_) M30_NOEXCEPT;
/* Interlace, height and rate each recompute the level. */
M30_API bool eaparam_is_interlace(const eaparam *ea_) M30_NOEXCEPT;
M30_API int eaparam_set_interlace(eaparam *ea_, bool interlace_) M30_NOEXCEPT;
M30_API bool eaparam_is_closed_gop(const eaparam *ea_) M30_NOEXCEPT;
M30_API int eaparam_set_closed_gop(eaparam *ea_, bool closed_) M30_NOEXCEPT;
/* Chroma format and bit depth; setting either recomputes the profile. */
M30_API m30_chroma_fmt eaparam_get_chroma_fmt(const eaparam *ea_) M30_NOEXCEPT;
M30_API int eaparam_set_chroma_fmt(eaparam *ea_, m30_chroma_fmt fmt_) M30_NOEXCEPT;
M30_API unsigned eaparam_get_bit_depth(const eaparam *ea_) M30_NOEXCEPT;
M30_API int eaparam_set_bit_depth(eaparam *ea_, unsigned bit_depth_) M30_NOEXCEPT;
M30_API ea_profile eaparam_get_profile(const eaparam *ea_) M30_NOEXCEPT;
M30_API unsigned eaparam_get_gop_length(const eaparam *ea_) M30_NOEXCEPT;
M30_API int eaparam_set_gop_length(eaparam *ea_, unsigned frames_) M30_NOEXCEPT;
M30_API int eaparam_set_frame_num_in_gop(eaparam *ea_, unsigned frames_) M30_NOEXCEPT;
/* An I/P period of 1 (no B pictures) selects low-delay mode 2. */
M30_API int eaparam_set_ip_period(eaparam *ea_, unsigned period_) M30_NOEXCEPT;
M30_API m30_ratectrl eaparam_get_rate_control(const eaparam *ea_) M30_NOEXCEPT;
M30_API int eaparam_set_rate_control(eaparam *ea_, m30_ratectrl rc_) M30_NOEXCEPT;
/* Above 20000 kbit/s CABAC is replaced by CAVLC. */
M30_API unsigned eaparam_get_video_rate(const eaparam *ea_) M30_NOEXCEPT;
M30_API int eaparam_set_video_rate(eaparam *ea_, unsigned kbps_) M30_NOEXCEPT;
M30_API unsigned eaparam_get_vbr_max(const eaparam *ea_) M30_NOEXCEPT;
M30_API int eaparam_set_vbr_max(eaparam *ea_, unsigned kbps_) M30_NOEXCEPT;
M30_API unsigned eaparam_get_vbr_min(const eaparam *ea_) M30_NOEXCEPT;
M30_API int eaparam_set_vbr_min(eaparam *ea_, unsigned kbps_) M30_NOEXCEPT;
M30_API unsigned eaparam_get_vbr_average(const eaparam *ea_) M30_NOEXCEPT;
M30_API int eaparam_set_vbr_average(eaparam *ea_, unsigned kbps_) M30_NOEXCEPT;
M30_API unsigned eaparam_get_vbr_filler(const eaparam *ea_) M30_NOEXCEPT;
M30_API int eaparam_set_vbr_filler(eaparam *ea_, unsigned kbps_) M30_NOEXCEPT;
/* Input picture size; the coded size is rounded up to a multiple of 16 and
 * the extra lines are cropped at the bottom. */
M30_API unsigned eaparam_get_hsize(const eaparam *ea_) M30_NOEXCEPT;
M30_API int eaparam_set_hsize(eaparam *ea_, unsigned hsize_) M30_NOEXCEPT;
M30_API unsigned eaparam_get_hsize_out(const eaparam *ea_) M30_NOEXCEPT;
M30_API unsigned eaparam_get_vsize(const eaparam *ea_) M30_NOEXCEPT;
M30_API int eaparam_set_vsize(eaparam *ea_, unsigned vsize_) M30_NOEXCEPT;
M30_API unsigned eaparam_get_vsize_out(const eaparam *ea_) M30_NOEXCEPT;
M30_API int eaparam_set_frame_rate(eaparam *ea_, m30_frame_rate_code rate_) M30_NOEXCEPT;
M30_API int eaparam_set_latency(eaparam *ea_, unsigned cpb_delay_) M30_NOEXCEPT;
M30_API unsigned eaparam_get_latency(const eaparam *ea_) M30_NOEXCEPT;
M30_API int eaparam_set_aspect_ratio(eaparam *ea_, m30_aspect_ratio ar_) M30_NOEXCEPT;
M30_API int eaparam_set_vui_params(eaparam *ea_, unsigned height_, unsigned hdr_mode_) M30_NOEXCEPT;
/* -1 for a value outside m30_avc_initial_cpb_delay (nothing changes). */
M30_API int eaparam_set_initial_cpb_delay(eaparam *ea_, m30_avc_initial_cpb_delay delay_) M30_NOEXCEPT;

M30_END_DECLS

#endif

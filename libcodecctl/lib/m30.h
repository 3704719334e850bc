/* libcodecctl: control of the M30 codec chip.
 *
 * Calls answer 0 (or a pointer) on success and -1 (or null) with errno set
 * on failure. */
#ifndef M30_H
#define M30_H

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

#include "m30_export.h"

M30_BEGIN_DECLS

typedef enum m30_log_type {
    M30_LOG_DEBUG = 0,
    M30_LOG_INFO = 1,
    M30_LOG_WARN = 2,
    M30_LOG_ERROR = 3,
    M30_LOG_END = 4
} m30_log_type;

typedef enum m30_driver_ver {
    M30_DRIVER_VER_V3 = 0,
    M30_DRIVER_VER_V7 = 1,
    M30_DRIVER_VER_OTHER = 2
} m30_driver_ver;

typedef enum m30_offon { M30_OFF = 0, M30_ON = 1 } m30_offon;

typedef enum m30_video_mode {
    M30_VIDEO_MODE_HEVC = 0,
    M30_VIDEO_MODE_H264 = 1,
    M30_VIDEO_MODE_MPEG2 = 2,
    M30_VIDEO_MODE_HEVC_ULL = 3
} m30_video_mode;

typedef enum m30_chroma_fmt {
    M30_CHROMAFMT_RSVD_MONO = 0,
    M30_CHROMAFMT_420 = 1,
    M30_CHROMAFMT_422 = 2
} m30_chroma_fmt;

typedef enum m30_audio_mode {
    M30_AUDIO_MODE_PASS_THRU = 0,
    M30_AUDIO_MODE_LPCM = 1,
    M30_AUDIO_MODE_AAC_LC = 2,
    M30_AUDIO_MODE_MPEG1_L2 = 3
} m30_audio_mode;

typedef enum m30_vidstd {
    M30_VIDSTD_INVALID = 0,
    M30_VIDSTD_720P60, M30_VIDSTD_720P5994, M30_VIDSTD_720P50, M30_VIDSTD_720P30,
    M30_VIDSTD_720P2997, M30_VIDSTD_720P25, M30_VIDSTD_720P24, M30_VIDSTD_720P2398,
    M30_VIDSTD_1080I60, M30_VIDSTD_1080I5994, M30_VIDSTD_1080I50,
    M30_VIDSTD_1080P30, M30_VIDSTD_1080P2997, M30_VIDSTD_1080P25, M30_VIDSTD_1080P24,
    M30_VIDSTD_1080P2398, M30_VIDSTD_1080P24SF, M30_VIDSTD_1080P2398SF,
    M30_VIDSTD_1080P60, M30_VIDSTD_1080P5994, M30_VIDSTD_1080P50,
    M30_VIDSTD_480P60, M30_VIDSTD_480P5994, M30_VIDSTD_480I60, M30_VIDSTD_480I5994,
    M30_VIDSTD_480P30, M30_VIDSTD_480P2997,
    M30_VIDSTD_576P50, M30_VIDSTD_576I50, M30_VIDSTD_576P25,
    M30_VIDSTD_2160P60_SQD, M30_VIDSTD_2160P5994_SQD, M30_VIDSTD_2160P50_SQD,
    M30_VIDSTD_2160P30_SQD, M30_VIDSTD_2160P2997_SQD, M30_VIDSTD_2160P25_SQD,
    M30_VIDSTD_2160P24_SQD, M30_VIDSTD_2160P2398_SQD,
    M30_VIDSTD_2160P60_2SI, M30_VIDSTD_2160P5994_2SI, M30_VIDSTD_2160P50_2SI,
    M30_VIDSTD_2160P30_2SI, M30_VIDSTD_2160P2997_2SI, M30_VIDSTD_2160P25_2SI,
    M30_VIDSTD_2160P24_2SI, M30_VIDSTD_2160P2398_2SI,
    M30_VIDSTD_END = 47
} m30_vidstd;

typedef enum m30_frame_rate_code {
    M30_FRAME_RATE_CODE_UNSPEC = 0,
    M30_FRAME_RATE_CODE_23_98 = 1,
    M30_FRAME_RATE_CODE_24 = 2,
    M30_FRAME_RATE_CODE_25 = 3,
    M30_FRAME_RATE_CODE_29_97 = 4,
    M30_FRAME_RATE_CODE_30 = 5,
    M30_FRAME_RATE_CODE_50 = 6,
    M30_FRAME_RATE_CODE_59_94 = 7,
    M30_FRAME_RATE_CODE_60 = 8
} m30_frame_rate_code;

typedef enum m30_pid_format { M30_PID_FMT_SECTION = 0, M30_PID_FMT_PES = 1 } m30_pid_format;

/* A PID whose sections or PES packets the chip reports. */
typedef struct m30_dmx_pid_detect {
    bool is_enabled;
    uint32_t pid;
    m30_pid_format fmt;
} m30_dmx_pid_detect;

/* A channel's input and output states, as the chip's registers read. */
typedef enum m30_input_state {
    M30_INPUT_STATE_INVALID = 0,
    M30_INPUT_STATE_STOP = 1,
    M30_INPUT_STATE_START = 2
} m30_input_state;

typedef enum m30_output_state {
    M30_OUTPUT_STATE_INVALID = 0,
    M30_OUTPUT_STATE_STOP = 1,
    M30_OUTPUT_STATE_START = 2,
    M30_OUTPUT_STATE_READY_TO_STOP = 3,
    M30_OUTPUT_STATE_END = 4
} m30_output_state;

typedef struct m30_version {
    m30_driver_ver driver;
    char driver_fmb[20]; /* driver text */
    char firm[50];       /* firmware text "%u.%u.%u.%u.%u" */
} m30_version;

/* The codec chip's context; opaque to its users. */
typedef struct m30_context m30_context;

/* Opens the chip "/dev/m30smb<device_id_>" (under KD_ROOT) in decode or
 * encode mode: binds the system, control and four video encode input
 * devices, selects the mode, resets the chip and reads its versions.
 * Returns null, with nothing left open, when any step fails. */
M30_API m30_context *m30_context_create(int device_id_, bool is_encode_) M30_NOEXCEPT;
M30_API void m30_context_destroy(m30_context *m30_) M30_NOEXCEPT;

/* The driver generation in *driver_e and, when driver_s is given, the driver
 * text copied into it (size_s must exceed the text's length). */
M30_API int m30_context_get_driver_version(m30_context *m30, m30_driver_ver *driver_e,
                                           char *driver_s, size_t size_s) M30_NOEXCEPT;
/* The firmware text copied into firmw_s (size_s must exceed its length). */
M30_API int m30_context_get_firmware_version(m30_context *m30, char *firmw_s,
                                             size_t size_s) M30_NOEXCEPT;

/* Writes every word of the chip's parameter area after the common block's
 * counter (0xFFFFFFFF in an encode context, 0 in a decode context), then
 * hands the counter over. 524,287 register writes: for preparation only. */
M30_API int m30_clear_param_area(m30_context *m30_) M30_NOEXCEPT;


typedef enum m30_channel_mode { M30_SINGLE_CHANNEL = 0, M30_MULTI_CHANNEL = 1 } m30_channel_mode;
typedef enum m30_aud_mp1_prot { M30_AUDMP1_CRC_ADDED = 0, M30_AUDMP1_CRC_NOT_ADDED = 1 } m30_aud_mp1_prot;
typedef enum m30_aud_mp1_cpr { M30_AUDMP1_CPR_NOT_PROTECTED = 0, M30_AUDMP1_CPR_PROTECTED = 1 } m30_aud_mp1_cpr;
typedef enum m30_aud_mp1_cpyorg { M30_AUDMP1_COPY = 0, M30_AUDMP1_ORIGINAL = 1 } m30_aud_mp1_cpyorg;
typedef enum m30_ratectrl { M30_RATECTRL_CBR = 0, M30_RATECTRL_VBR = 1 } m30_ratectrl;
typedef enum m30_aspect_ratio { M30_ASPECTRATIO_4_3 = 0, M30_ASPECTRATIO_16_9 = 1 } m30_aspect_ratio;
typedef enum m30_avc_initial_cpb_delay {
    M30_AVC_INITIAL_CPB_DELAY_60 = 0,
    M30_AVC_INITIAL_CPB_DELAY_70 = 1,
    M30_AVC_INITIAL_CPB_DELAY_80 = 2,
    M30_AVC_INITIAL_CPB_DELAY_90 = 3,
    M30_AVC_INITIAL_CPB_DELAY_100 = 4
} m30_avc_initial_cpb_delay;

/* What a configuration clamp or the chip's preparation changed. */
typedef enum m30_change {
    M30_CHANGE_VIDEO_RATE = 0,
    M30_CHANGE_VIDSTD = 1,
    M30_CHANGE_FRAME_NUM_IN_GOP = 2,
    M30_CHANGE_CHROMAFMT = 3,
    M30_CHANGE_BITDEPTH = 4,
    M30_CHANGE_AUDIO_RATE = 5,
    M30_CHANGE_COMMON = 6,
    M30_CHANGE_VANC_START_LINE = 7,
    M30_CHANGE_VANC_LINE_COUNT = 8
} m30_change;

typedef enum m30_dec_buf_level {
    M30_BELOW_LEVEL_LL = 0,
    M30_BELOW_LEVEL_LH = 1,
    M30_ABOVE_LEVEL_HL = 2,
    M30_ABOVE_LEVEL_HH = 3
} m30_dec_buf_level;

typedef enum m30_adec_err { M30_AD_ERROR = 0, M30_AD_WARN = 1 } m30_adec_err;

typedef enum m30_sei_udata_type {
    M30_SEI_USRDATA_HEVCAVC_UNREG = 0,
    M30_SEI_USRDATA_HEVCAVC_ITU_T35 = 1,
    M30_SEI_USRDATA_MPEG_SEQ_LAYER = 2,
    M30_SEI_USRDATA_MPEG_GOP_LAYER = 3,
    M30_SEI_USRDATA_MPEG_PIC_LAYER = 4,
    M30_SEI_USRDATA_END = 5 /* any other SEI payload */
} m30_sei_udata_type;

typedef enum m30_encoder_status {
    M30_ENCSTATUS_NONE = 0,
    M30_ENCSTATUS_IDLE = 1,
    M30_ENCSTATUS_STOP = 2,
    M30_ENCSTATUS_ENCODE = 3
} m30_encoder_status;

typedef enum m30_video_input_status { M30_VIDINP_NORMAL = 0, M30_VIDINP_STOPPED = 1 } m30_video_input_status;

typedef enum m30_main_state {
    M30_MAIN_STATE_MAINTENANCE = 0,
    M30_MAIN_STATE_BOOT = 1,
    M30_MAIN_STATE_INIT = 2,
    M30_MAIN_STATE_ENCODE = 3,
    M30_MAIN_STATE_DECODE = 4,
    M30_MAIN_STATE_BOOTER = 5,
    M30_MAIN_STATE_ERROR = 6,
    M30_MAIN_STATE_END = 7
} m30_main_state;

/* A channel's configuration, both modes. */
typedef struct m30_channel_config {
    int m30_id;          /* chip id of the channel's input and output; < 0: no channel */
    bool is_locked;      /* every configuration change refused with EBUSY */
    m30_offon video_state; /* the channel runs when ON */
    m30_vidstd vid_std;
    uint32_t bit_depth;
    m30_chroma_fmt chroma_fmt;
    uint32_t pmt_pid, pcr_pid, vid_pid, teletext_pid, smpte2038_pid;
    bool audio_res_idx_group[4]; /* audio resources bound to the channel */
} m30_channel_config;

/* An audio resource's configuration. */
typedef struct m30_audio_config {
    m30_offon audio_state;
    m30_audio_mode audio_mode;
    uint32_t audio_rate_bps; /* half the rate in bit/s */
    uint32_t audio_pid;
    int audio_sync_ms;
    m30_aud_mp1_prot audio_mp1_prot;
    m30_aud_mp1_cpr audio_mp1_cpri;
    m30_aud_mp1_cpyorg audio_mp1_cpor;
} m30_audio_config;

/* Demultiplexer error counters of a decode channel. */
typedef struct m30_dmx_error_status {
    uint32_t ei_err, cc_err, crc32_err, pcr_err, sync_err;
    uint32_t video_exhausted, video_pts_pcr_err, audio_exhausted, audio_pts_pcr_err;
    uint32_t stream_none, stream_invalid, pcr_exhausted, restart_request;
} m30_dmx_error_status;

/* Video decoder error counters of a decode channel. */
typedef struct m30_dec_error_status {
    uint32_t frm_rate_mismatch, vid_fmt_mismatch, unsup_resolution;
    uint32_t vid_skip_avsync, vid_repeat_avsync, vid_repeat_depleted;
    uint32_t picture_error_level, ref_pic_error_level;
    uint32_t vid_error_count, vid_conceal_count;
} m30_dec_error_status;

/* Callbacks. Each receives first the context pointer installed with it;
 * `ch` is a channel index, -1 where a report concerns the whole chip. The
 * message-thread callbacks (frame capture, SEI, PCR, buffer level, PID,
 * video decoding, audio decode error) run on "SVC:m30-msg": they must not
 * block and must hand their work to the user's own threads. */
typedef void (*m30_on_video_detected)(void *ctx, int ch, bool detected);
typedef void (*m30_on_encoder_status)(void *ctx, int ch, m30_encoder_status status);
typedef void (*m30_prio_on_frame_capture)(void *ctx, int ch, int frame_count, uint32_t time,
                                          uint32_t p7, uint32_t p6, m30_video_input_status status);
typedef void (*m30_on_config_change)(void *ctx, int ch, m30_change change);
typedef void (*m30_on_channel_prestart_check)(void *ctx, int ch);
typedef void (*m30_on_log)(void *ctx, int ch, m30_log_type type, const char *fmt, ...);
typedef void (*m30_on_sei_info)(void *ctx, uint8_t ch, uint8_t payload_type, m30_sei_udata_type type,
                                const uint8_t *data, uint8_t length);
typedef void (*m30_on_pcr)(void *ctx, uint8_t ch, uint32_t p1, uint8_t bit16, uint16_t p2_low9,
                           uint16_t p3_low9, uint32_t p3_high);
typedef void (*m30_on_buf_level)(void *ctx, uint8_t ch, m30_dec_buf_level level);
typedef void (*m30_on_pid)(void *ctx, uint8_t ch, uint16_t pid, const uint8_t *data, uint8_t length);
typedef void (*m30_on_vdec_info)(void *ctx, uint8_t ch, uint8_t pts_bit32, uint32_t pts);
typedef void (*m30_on_adec_err)(void *ctx, uint8_t audio_idx, m30_adec_err err);

/* Slot setters: store the function and its context; 0. A null function
 * switches the report off, except for the log hook, which the library
 * always calls (a null log function restores the default handler). */
M30_API int m30_context_set_on_video_detected(m30_context *m30_, m30_on_video_detected f_, void *ctx_) M30_NOEXCEPT;
M30_API int m30_context_set_on_encoder_status(m30_context *m30_, m30_on_encoder_status f_, void *ctx_) M30_NOEXCEPT;
M30_API int m30_context_set_prio_on_frame_capture(m30_context *m30_, m30_prio_on_frame_capture f_, void *ctx_) M30_NOEXCEPT;
M30_API int m30_context_set_on_config_change(m30_context *m30_, m30_on_config_change f_, void *ctx_) M30_NOEXCEPT;
M30_API int m30_context_set_on_channel_prestart_check(m30_context *m30_, m30_on_channel_prestart_check f_, void *ctx_) M30_NOEXCEPT;
M30_API int m30_context_set_on_log(m30_context *m30_, m30_on_log f_, void *ctx_) M30_NOEXCEPT;
M30_API int m30_context_set_on_sei_info(m30_context *m30_, m30_on_sei_info f_, void *ctx_) M30_NOEXCEPT;
M30_API int m30_context_set_on_pcr_detect(m30_context *m30_, m30_on_pcr f_, void *ctx_) M30_NOEXCEPT;
M30_API int m30_context_set_on_buffer_level(m30_context *m30_, m30_on_buf_level f_, void *ctx_) M30_NOEXCEPT;
M30_API int m30_context_set_on_pid_detect(m30_context *m30_, m30_on_pid f_, void *ctx_) M30_NOEXCEPT;
M30_API int m30_context_set_on_video_decoding(m30_context *m30_, m30_on_vdec_info f_, void *ctx_) M30_NOEXCEPT;
M30_API int m30_context_set_on_audio_decode_error(m30_context *m30_, m30_on_adec_err f_, void *ctx_) M30_NOEXCEPT;

M30_API bool m30_is_error(m30_context *m30_) M30_NOEXCEPT;
M30_API bool m30_is_multi(m30_context *m30_) M30_NOEXCEPT;

/* Video-standard lookups; a value outside the table gives 1920x1080,
 * progressive, frame-rate code 0. */
M30_API uint32_t hsize_for_vidstd(m30_vidstd vidstd_) M30_NOEXCEPT;
M30_API uint32_t vsize_for_vidstd(m30_vidstd vidstd_) M30_NOEXCEPT;
M30_API bool interlace_for_vidstd(m30_vidstd vidstd_) M30_NOEXCEPT;
M30_API m30_frame_rate_code frame_rate_for_vidstd(m30_vidstd vidstd_) M30_NOEXCEPT;
M30_API bool uhd_for_vidstd(m30_vidstd vidstd_) M30_NOEXCEPT;
/* The 1080-line progressive standard of a 2160-line standard's rate;
 * 1080P60 for anything else. */
M30_API m30_vidstd uhd_vidstd_to_non_uhd(m30_vidstd vidstd_) M30_NOEXCEPT;

/* Names of the enumerations, null-terminated. */
M30_API extern const char *const m30_vidstd_strings[];
M30_API extern const char *const m30_video_mode_strings[];
M30_API extern const char *const m30_audio_mode_strings[];
M30_API extern const char *const m30_chromafmt_strings[];
M30_API extern const char *const m30_main_state_strings[];
M30_API extern const char *const m30_frame_rate_strings[];
M30_API extern const char *const m30_sei_ud_type_strings[];
M30_API extern const char *const m30_dec_buf_level_strings[];
M30_API extern const char *const m30_adec_err_strings[];

/* The library's debug stream: written while "/run/debug/m30" (under
 * KD_ROOT) exists and is writable, up to 10,000,000 bytes. Re-examined
 * once every 100 calls; null while closed. */
enum { DSID_M30_DEBUG = 0 };
M30_API FILE *m30DebugStreamFile(int id) M30_NOEXCEPT;

/* --- main state: prepare, reset, maintain --- */
M30_API m30_main_state m30_get_main_state(m30_context *m30_) M30_NOEXCEPT;
M30_API int m30_change_main_state(m30_context *m30_, m30_main_state next_) M30_NOEXCEPT;
M30_API int m30_reset_main_state(m30_context *m30_) M30_NOEXCEPT;
M30_API int m30_prepare(m30_context *m30_) M30_NOEXCEPT;
M30_API int m30_context_maintain(m30_context *m30_) M30_NOEXCEPT;
M30_API int m30_get_channel_count(m30_context *m30_) M30_NOEXCEPT;

/* --- channels --- */
M30_API int m30_channel_start(m30_context *m30_, int i_) M30_NOEXCEPT;
M30_API int m30_channel_stop(m30_context *m30_, int i_) M30_NOEXCEPT;
/* Encode channels (an encode context). m30_prepare and m30_channel_start
 * call these for an encode context. m30_channel_start_encode answers 0 also
 * when the start waits for a video standard; -1 with errno EPERM while the
 * input runs, EINVAL for a channel beyond the channel count or a chip that
 * reports ERROR after the input or output start. */
M30_API int m30_prepare_encode(m30_context *m30_) M30_NOEXCEPT;
M30_API int m30_channel_start_encode(m30_context *m30_, unsigned i_) M30_NOEXCEPT;
/* Clamps the channel's encode configuration to what the chip and the video
 * mode accept, reporting each change; 0, or -1 for a bad index or a decode
 * context. testing_constrain only calls it. */
M30_API int m30_channel_constrain_enc(m30_context *m30_, unsigned i_) M30_NOEXCEPT;
M30_API int testing_constrain(m30_context *m30_, unsigned i_) M30_NOEXCEPT;
/* Whether vsync arrived within the last 66 ms; false in a decode context. */
M30_API bool m30_channel_is_video_detected(m30_context *m30_, unsigned i_) M30_NOEXCEPT;
/* Every channel's PAT lists all channels whose video is on; a change marks
 * every PAT for a version step. No effect in a decode context; 0. */
M30_API int m30_set_pat_includes_all(m30_context *m30_, bool all_) M30_NOEXCEPT;
M30_API int m30_channel_open_pci_input_device(m30_context *m30_, int ch_) M30_NOEXCEPT;
M30_API int m30_channel_send(m30_context *m30_, int ch_, const uint8_t *buf_, size_t len_, bool start,
                             bool finish) M30_NOEXCEPT;
M30_API int m30_enable_messages(m30_context *m30_, int ch_) M30_NOEXCEPT;
M30_API int m30_disable_messages(m30_context *m30_, int ch_) M30_NOEXCEPT;
M30_API int m30_dmx_decode_msgs_enable(m30_context *m30_, int ch_) M30_NOEXCEPT;
M30_API int m30_dmx_decode_msgs_disable(m30_context *m30_, int ch_) M30_NOEXCEPT;
M30_API int m30_vd_decode_msgs_enable(m30_context *m30_, int ch_) M30_NOEXCEPT;
M30_API int m30_vd_decode_msgs_disable(m30_context *m30_, int ch_) M30_NOEXCEPT;
M30_API int m30_ad_decode_msgs_enable(m30_context *m30_, int aud_idx_) M30_NOEXCEPT;
M30_API int m30_ad_decode_msgs_disable(m30_context *m30_, int aud_idx_) M30_NOEXCEPT;

/* Decode status, written by the message thread (0 or false in an encode
 * context and for an index out of range). */
M30_API uint32_t m30_get_dec_msg_count_vd_info(m30_context *m30_, int ch_) M30_NOEXCEPT;
M30_API uint32_t m30_get_dec_msg_count_vd_err(m30_context *m30_, int ch_) M30_NOEXCEPT;
M30_API uint32_t m30_get_dec_msg_count_dmx_err(m30_context *m30_, int ch_) M30_NOEXCEPT;
M30_API uint32_t m30_get_dec_msg_count_ad_info(m30_context *m30_, int aud_idx_) M30_NOEXCEPT;
M30_API uint32_t m30_get_dec_msg_count_ad_err(m30_context *m30_, int aud_idx_) M30_NOEXCEPT;
M30_API bool m30_decode_has_vd_errors(m30_context *m30, int ch) M30_NOEXCEPT;
M30_API bool m30_decode_has_dmx_errors(m30_context *m30, int ch) M30_NOEXCEPT;
M30_API int m30_get_dec_vd_error_info(m30_context *m30, int ch, m30_dec_error_status *status, bool reset) M30_NOEXCEPT;
M30_API int m30_get_dec_dmx_error_info(m30_context *m30, int ch, m30_dmx_error_status *status, bool reset) M30_NOEXCEPT;
M30_API int m30_decode_clear_message_stats(m30_context *m30, int ch) M30_NOEXCEPT;

/* --- configuration: setters record, maintenance applies --- */
M30_API int m30_set_video_mode(m30_context *m30_, m30_video_mode mode_) M30_NOEXCEPT;
M30_API m30_video_mode m30_get_video_mode(m30_context *m30_) M30_NOEXCEPT;
M30_API int m30_set_ultra_low_latency(m30_context *m30_, bool ull_) M30_NOEXCEPT;
M30_API bool m30_get_ultra_low_latency(m30_context *m30_) M30_NOEXCEPT;
M30_API int m30_set_channel_mode(m30_context *m30_, m30_channel_mode mode_) M30_NOEXCEPT;
M30_API m30_channel_mode m30_get_channel_mode(m30_context *m30_) M30_NOEXCEPT;
M30_API int m30_context_invert_inputs(m30_context *m30_) M30_NOEXCEPT;

M30_API int m30_audio_set_state(m30_context *m30_, unsigned audio_idx_, m30_offon state_) M30_NOEXCEPT;
M30_API int m30_audio_set_mode(m30_context *m30_, unsigned audio_idx_, m30_audio_mode mode_) M30_NOEXCEPT;
M30_API int m30_audio_set_rate(m30_context *m30_, unsigned audio_idx_, uint32_t rate_bps_) M30_NOEXCEPT;
M30_API int m30_audio_set_pid(m30_context *m30_, unsigned audio_idx_, uint32_t pid_) M30_NOEXCEPT;
M30_API int m30_audio_set_sync(m30_context *m30_, unsigned audio_idx_, int sync_ms_) M30_NOEXCEPT;
M30_API int m30_audio_set_mp1_protection(m30_context *m30_, unsigned audio_idx_, m30_aud_mp1_prot v_) M30_NOEXCEPT;
M30_API int m30_audio_set_mp1_copyright(m30_context *m30_, unsigned audio_idx_, m30_aud_mp1_cpr v_) M30_NOEXCEPT;
M30_API int m30_audio_set_mp1_copyorig(m30_context *m30_, unsigned audio_idx_, m30_aud_mp1_cpyorg v_) M30_NOEXCEPT;
M30_API m30_offon m30_audio_get_state(m30_context *m30_, unsigned audio_idx_) M30_NOEXCEPT;
M30_API m30_audio_mode m30_audio_get_mode(m30_context *m30_, unsigned audio_idx_) M30_NOEXCEPT;
M30_API uint32_t m30_audio_get_rate(m30_context *m30_, unsigned audio_idx_) M30_NOEXCEPT;
M30_API uint32_t m30_audio_get_pid(m30_context *m30_, unsigned audio_idx_) M30_NOEXCEPT;
M30_API int m30_audio_get_sync(m30_context *m30_, unsigned audio_idx_) M30_NOEXCEPT;
M30_API m30_aud_mp1_prot m30_audio_get_mp1_protection(m30_context *m30_, unsigned audio_idx_) M30_NOEXCEPT;
M30_API m30_aud_mp1_cpr m30_audio_get_mp1_copyright(m30_context *m30_, unsigned audio_idx_) M30_NOEXCEPT;
M30_API m30_aud_mp1_cpyorg m30_audio_get_mp1_copyorig(m30_context *m30_, unsigned audio_idx_) M30_NOEXCEPT;
M30_API int m30_audio_get_bound_channel(m30_context *m30_, unsigned audio_idx_) M30_NOEXCEPT;
M30_API int m30_channel_bind_audio(m30_context *m30_, unsigned channel_, unsigned audio_idx_) M30_NOEXCEPT;
M30_API int m30_channel_unbind_audio(m30_context *m30_, unsigned channel_, unsigned audio_idx_) M30_NOEXCEPT;

M30_API int m30_channel_set_video_rate(m30_context *m30_, int i_, uint32_t rate_) M30_NOEXCEPT;
M30_API int m30_channel_set_system_rate(m30_context *m30_, int i_, uint32_t rate_) M30_NOEXCEPT;
M30_API int m30_channel_set_latency(m30_context *m30_, int i_, uint32_t latency_) M30_NOEXCEPT;
M30_API int m30_channel_set_rate_control(m30_context *m30_, int i_, m30_ratectrl rc_) M30_NOEXCEPT;
M30_API int m30_channel_set_aspect_ratio(m30_context *m30_, int i_, m30_aspect_ratio ar_) M30_NOEXCEPT;
M30_API int m30_channel_set_gop_mode(m30_context *m30_, int i_, uint32_t closed_gop_) M30_NOEXCEPT;
/* Refuses 0 (EINVAL): the GOP rule divides by the period. */
M30_API int m30_channel_set_ip_period(m30_context *m30_, int i_, uint32_t ip_period_) M30_NOEXCEPT;
M30_API int m30_channel_set_frame_num_in_gop(m30_context *m30_, int i_, uint32_t n_) M30_NOEXCEPT;
M30_API int m30_channel_set_avc_initial_cpb_delay(m30_context *m30_, int i_, m30_avc_initial_cpb_delay d_) M30_NOEXCEPT;
M30_API int m30_channel_set_vid_std(m30_context *m30_, int i_, m30_vidstd vidstd_) M30_NOEXCEPT;
M30_API int m30_channel_set_chroma_fmt(m30_context *m30_, int i_, m30_chroma_fmt fmt_) M30_NOEXCEPT;
M30_API int m30_channel_set_bit_depth(m30_context *m30_, int i_, uint32_t bd_) M30_NOEXCEPT;
M30_API int m30_channel_set_video_pid(m30_context *m30_, int i_, uint32_t pid_) M30_NOEXCEPT;
M30_API int m30_channel_set_pcr_pid(m30_context *m30_, int i_, uint32_t pid_) M30_NOEXCEPT;
M30_API int m30_channel_set_teletext_pid(m30_context *m30_, int i_, uint32_t pid_) M30_NOEXCEPT;
M30_API int m30_channel_set_smpte2038_pid(m30_context *m30_, int i_, uint32_t pid_) M30_NOEXCEPT;
M30_API int m30_channel_set_pmt_pid(m30_context *m30_, int i_, uint32_t pid_) M30_NOEXCEPT;
M30_API int m30_channel_set_program(m30_context *m30_, int i_, uint32_t pgm_num_) M30_NOEXCEPT;
M30_API int m30_channel_set_tables_version(m30_context *m30_, int i_, uint32_t version_) M30_NOEXCEPT;
M30_API int m30_channel_set_startup(m30_context *m30_, int i_, m30_offon startup_) M30_NOEXCEPT;
M30_API int m30_channel_set_vanc_enable(m30_context *m30_, int i_, bool enable_) M30_NOEXCEPT;
M30_API int m30_channel_set_vanc_start_line(m30_context *m30_, int i_, uint32_t line_) M30_NOEXCEPT;
M30_API int m30_channel_set_vanc_line_count(m30_context *m30_, int i_, uint32_t count_) M30_NOEXCEPT;
M30_API int m30_channel_set_vanc_h_size(m30_context *m30_, int i_, uint32_t h_size_) M30_NOEXCEPT;
M30_API int m30_channel_set_hdr_mode(m30_context *m30, int chn, int mode) M30_NOEXCEPT;
M30_API int m30_channel_set_input_source(m30_context *m30_, int ch_, bool is_pci_) M30_NOEXCEPT;
/* type_ 0 to 4: unregistered, ITU-T T.35, MPEG sequence, GOP, picture. */
M30_API int m30_channel_enable_sei_user_data(m30_context *m30_, int ch_, unsigned type_) M30_NOEXCEPT;
M30_API int m30_channel_set_sei_payload(m30_context *m30_, int ch_, unsigned index_, uint32_t type_) M30_NOEXCEPT;
M30_API int m30_channel_enable_pid_detect(m30_context *m30_, int ch_, unsigned index_, uint32_t pid_,
                                          m30_pid_format fmt_) M30_NOEXCEPT;
M30_API int m30_channel_disable_pid_detect(m30_context *m30_, int ch_, unsigned index_) M30_NOEXCEPT;

M30_API uint32_t m30_channel_get_video_rate(m30_context *m30_, int i_) M30_NOEXCEPT;
M30_API uint32_t m30_channel_get_system_rate(m30_context *m30_, int i_) M30_NOEXCEPT;
M30_API uint32_t m30_channel_get_latency(m30_context *m30_, int i_) M30_NOEXCEPT;
M30_API m30_ratectrl m30_channel_get_rate_control(m30_context *m30_, int i_) M30_NOEXCEPT;
M30_API m30_aspect_ratio m30_channel_get_aspect_ratio(m30_context *m30_, int i_) M30_NOEXCEPT;
M30_API uint32_t m30_channel_get_gop_mode(m30_context *m30_, int i_) M30_NOEXCEPT;
M30_API uint32_t m30_channel_get_ip_period(m30_context *m30_, int i_) M30_NOEXCEPT;
M30_API uint32_t m30_channel_get_frame_num_in_gop(m30_context *m30_, int i_) M30_NOEXCEPT;
M30_API m30_avc_initial_cpb_delay m30_channel_get_avc_initial_cpb_delay(m30_context *m30_, int i_) M30_NOEXCEPT;
M30_API bool m30_channel_get_vanc_enable(m30_context *m30_, int i_) M30_NOEXCEPT;
M30_API uint32_t m30_channel_get_vanc_start_line(m30_context *m30_, int i_) M30_NOEXCEPT;
M30_API uint32_t m30_channel_get_vanc_line_count(m30_context *m30_, int i_) M30_NOEXCEPT;
M30_API uint32_t m30_channel_get_vanc_h_size(m30_context *m30_, int i_) M30_NOEXCEPT;
M30_API int m30_channel_get_hdr_mode(m30_context *m30_, int i_) M30_NOEXCEPT;
M30_API m30_vidstd m30_channel_get_vid_std(m30_context *m30_, int i_) M30_NOEXCEPT;
M30_API uint32_t m30_channel_get_bit_depth(m30_context *m30_, int i_) M30_NOEXCEPT;
M30_API m30_chroma_fmt m30_channel_get_chroma_fmt(m30_context *m30_, int i_) M30_NOEXCEPT;
M30_API uint32_t m30_channel_get_video_pid(m30_context *m30_, int i_) M30_NOEXCEPT;
M30_API uint32_t m30_channel_get_pcr_pid(m30_context *m30_, int i_) M30_NOEXCEPT;
M30_API uint32_t m30_channel_get_teletext_pid(m30_context *m30_, int i_) M30_NOEXCEPT;
M30_API uint32_t m30_channel_get_smpte2038_pid(m30_context *m30_, int i_) M30_NOEXCEPT;
M30_API m30_offon m30_channel_get_startup(m30_context *m30_, int i_) M30_NOEXCEPT;
M30_API int m30_channel_get_frame_count(m30_context *m30_, int i_) M30_NOEXCEPT;

/* Encode rate rules (kbit/s). The clamps answer 1 when they changed the
 * video rate, 0 when not, -1 in another video mode. */
M30_API int m30_channel_constrain_video_rate_hevc(m30_context *m30_, int i_) M30_NOEXCEPT;
M30_API int m30_channel_constrain_video_rate_h264(m30_context *m30_, int i_) M30_NOEXCEPT;
M30_API int m30_channel_constrain_video_rate_mpeg2(m30_context *m30_, int i_) M30_NOEXCEPT;
M30_API uint32_t m30_channel_calc_data_rate(m30_context *m30_, int i_) M30_NOEXCEPT;
M30_API int m30_channel_constrain_data_rate(m30_context *m30_, int i_) M30_NOEXCEPT;

/* --- message thread "SVC:m30-msg" --- */
M30_API int m30_launch_msg_thread(m30_context *m30_) M30_NOEXCEPT;
M30_API int m30_cancel_msg_thread(m30_context *m30_) M30_NOEXCEPT;
M30_API int m30_update_messaging_cfg_copy(m30_context *m30_, int ch_) M30_NOEXCEPT;

/* SEI picture information handed to the encoder: a 4-entry ring per encode
 * channel, one producer (wr_prep, wr_fini) and one consumer. */
#define M30_SEI_PIC_INFO_SIZE 512
M30_API uint8_t *m30_sei_pic_info_wr_prep(unsigned chn, size_t src_len) M30_NOEXCEPT;
M30_API void sei_pic_info_wr_fini(unsigned chn, size_t len) M30_NOEXCEPT;
M30_API int send_sei_to_enc(unsigned chn, unsigned frm_idx) M30_NOEXCEPT;

M30_END_DECLS

#endif

/* libcodecctl: control of the M30 codec chip.
 *
 * Calls answer 0 (or a pointer) on success and -1 (or null) with errno set
 * on failure. */
#ifndef M30_H
#define M30_H

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>

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

M30_END_DECLS

#endif

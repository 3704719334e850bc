/* The M30 codec chip's kernel driver interface: request codes, the records
 * they carry, and the driver port through which libcodecctl reaches the
 * driver.
 *
 * Request codes are the driver's complete codes (direction, size, type byte
 * 0xAE, number) as the driver defines them for its 32-bit ARM build; the
 * records keep the driver's field order and natural alignment. */
#ifndef M30_DRIVER_H
#define M30_DRIVER_H

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>

#include "m30_export.h"

M30_BEGIN_DECLS

/* Logical devices a descriptor is bound to. */
#define FMB_DEVICE_SYSTEM 0x100u   /* main state, version, reset, mode select */
#define FMB_DEVICE_CONTROL 0x200u  /* registers, parameter area, inputs, outputs, messages */
#define FMB_DEVICE_VEI_BASE 0x300u /* video encode inputs 0x300 to 0x303 */
#define FMB_DEVICE_TS_INPUT_BASE 0x800u /* + chip id: transport-stream input of a decode channel */

/* Request codes. */
#define FMB_API_SET_LOGICAL_DEVICE 0x4002AE01ul
#define FMB_API_GET_REG 0x800CAE03ul
#define FMB_API_SET_REG 0x400CAE04ul
#define FMB_API_CHANGE_MAIN_STATE_V3 0x4014AE05ul
#define FMB_API_CHANGE_MAIN_STATE 0x4018AE05ul
#define FMB_API_INPUT_STATE 0x4010AE06ul
#define FMB_API_OUTPUT_STATE 0x4010AE07ul
#define FMB_API_ENQUEUE_VRAW_DATA 0x4014AE08ul
#define FMB_API_GET_VERSION 0x8070AE0Cul
#define FMB_API_RESET 0x4001AE0Dul
#define FMB_API_ENABLE_MESSAGE_NOTIFICATION 0x400CAE14ul
#define FMB_API_GET_MESSAGE 0x8110AE15ul
#define FMB_API_DISABLE_MESSAGE_NOTIFICATION 0x4008AE16ul
#define FMB_API_ENQUEUE_STREAM_DATA 0x4030AE1Dul

/* Chip addresses. */
#define M30_REG_MAIN_STATE 0xF2000200u
#define M30_REG_INPUT_STATE(id) (0xF2000220u + 4u * (uint32_t)(id))
#define M30_REG_OUTPUT_STATE(id) (0xF20002A0u + 4u * (uint32_t)(id))
#define M30_REG_DMX_MSG_ENABLE(id) (0xF2000B80u + 4u * (uint32_t)(id))
#define M30_REG_VD_MSG_ENABLE(id) (0xF2000C00u + 4u * (uint32_t)(id))
#define M30_REG_AD_MSG_ENABLE(idx) (0xF2000C80u + 4u * (uint32_t)(idx))
#define M30_REG_MODE_SELECT 0xFFF4803Cu
#define M30_PARAM_AREA_BASE 0x20000000u
#define M30_PARAM_AREA_SIZE 0x00200000u /* 2 MiB */

#define FMB_VERSION_SCRATCH_SIZE 8704u

typedef enum fmb_message_target {
    FMB_MESSAGE_TARGET_VI = 0,
    FMB_MESSAGE_TARGET_EH = 1,
    FMB_MESSAGE_TARGET_DMX = 2,
    FMB_MESSAGE_TARGET_VD = 3,
    FMB_MESSAGE_TARGET_AD = 4,
    FMB_MESSAGE_TARGET_MAX = 5
} fmb_message_target;

typedef struct fmb_logical_device_info {
    uint16_t device_type;
} fmb_logical_device_info;

typedef struct fmb_reg_info {
    uint32_t reg_num; /* always 1: one register */
    uint32_t offset;  /* chip address */
    uint32_t *prm_data;
} fmb_reg_info;

typedef struct fmb_main_state_info {
    uint32_t state;
    uint32_t ch_mode;
    uint32_t hevc_encoder_firm_type;
    uint32_t ultra_low_latency_encode_mode;
    uint32_t output_stream_type;
} fmb_main_state_info;

typedef struct fmb_main_state_info_v7 {
    uint32_t state;
    uint32_t encode_mode;
    uint32_t hevc_encoder_firm_type;
    uint32_t ultra_low_latency_encode_mode;
    uint32_t output_stream_type;
    uint32_t decode_mode;
} fmb_main_state_info_v7;

typedef struct fmb_input_id_state_info {
    uint32_t state;
    uint32_t input_id;
    uint64_t ains_id_bits;
} fmb_input_id_state_info;

typedef struct fmb_output_id_state_info {
    uint32_t state;
    uint32_t output_id_bits;
    uint64_t aes_id_bits;
} fmb_output_id_state_info;

typedef struct fmb_enqueue_vraw_data_info {
    void *vraw_data_p;
    size_t vraw_data_size;
    void *pic_info_p;
    size_t pic_info_size;
    bool is_last_frame;
} fmb_enqueue_vraw_data_info;

typedef struct fmb_version_info {
    char driver[20];
    uint32_t mcpu_firm[5];
    void *firm_ver_reg_info_p;
    void *user_firm_ver_reg_info_p;
    char base_firm[32];
    char system_firm[32];
} fmb_version_info;

typedef struct fmb_reset_info {
    bool is_force_reset;
} fmb_reset_info;

typedef struct fmb_enable_message_notification_info {
    int event_fd;
    fmb_message_target message_target;
    uint32_t target_id;
} fmb_enable_message_notification_info;

typedef struct fmb_disable_message_notification_info {
    fmb_message_target message_target;
    uint32_t target_id;
} fmb_disable_message_notification_info;

typedef struct fmb_message_info {
    fmb_message_target message_target;
    uint32_t target_id;
    uint32_t message_id;
    uint32_t message_param[65];
} fmb_message_info;

typedef struct fmb_enqueue_stream_data_info {
    void *stream_data_p;
    size_t stream_data_size;
    void *stream_info_p;
    size_t stream_info_size;
    bool is_last_stream;
    bool is_first_stream;
    uint32_t au_count;
    uint64_t pts;
    bool is_pts_valid;
    uint32_t pic_type;
    bool is_sps_exist;
} fmb_enqueue_stream_data_info;

/* The driver port: the seam between libcodecctl and the codec chip's
 * driver. Every descriptor the library opens on the driver, every request
 * it sends and every notification descriptor it hands to the driver goes
 * through the active port. The default port is the kernel driver (the
 * device nodes, ioctl(2), eventfd(2)); a stand-in for the chip installs its
 * own port. Each operation answers like the system call it replaces: a
 * descriptor or 0 on success, -1 with errno set on failure. `ctx` is passed
 * back unchanged. */
typedef struct m30_driver_port {
    void *ctx;
    int (*open)(void *ctx, const char *path, int flags);
    int (*close)(void *ctx, int fd);
    int (*ioctl)(void *ctx, int fd, unsigned long request, void *arg);
    /* A notification descriptor (eventfd semantics) that the driver
     * signals once per message it holds for the host. */
    int (*eventfd)(void *ctx, unsigned int initval, int flags);
} m30_driver_port;

/* Installs `port` as the active driver port for the whole process; null
 * restores the kernel driver. The record is used in place (not copied) and
 * must outlive its use; install it before creating a context and keep it
 * until the last context using it is destroyed. Returns 0, or -1 with errno
 * EINVAL when an operation is missing. */
M30_API int m30_driver_set_port(const m30_driver_port *port) M30_NOEXCEPT;

/* The active port (never null). */
M30_API const m30_driver_port *m30_driver_get_port(void) M30_NOEXCEPT;

M30_END_DECLS

#endif

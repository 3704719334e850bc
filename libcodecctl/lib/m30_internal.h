// libcodecctl internals: the context's layout and the driver layer. Only
// this layer knows request codes and chip addresses.
#pragma once

#include "m30.h"
#include "m30_driver.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <pthread.h>

constexpr int M30_CHANNELS = 4;     // configuration slots of a context
constexpr int M30_DEC_CHANNELS = 2; // decode channels a chip runs
constexpr int M30_AUDIO_RES = 4;    // audio resources

struct m30_sei_ud_enable {
    bool is_ud_unreg_enabled, is_ud_itut35_enabled, is_mpeg_seq_enabled, is_mpeg_gop_enabled,
        is_mpeg_pic_enabled;
};

struct m30_channel_config_dec {
    bool is_pci_input_ts; /* fed by m30_channel_send through the TS input device */
    m30_sei_ud_enable sei;
    uint32_t sei_payload_type[5];
    m30_dmx_pid_detect pids_detect[4];
};

struct m30_dec_msg_fds {
    int fd_msg_ready_dmx, fd_msg_ready_vd; /* eventfds, semaphore mode */
};

// Counters: atomic, relaxed; the message thread writes, the user's thread
// reads. The error records are guarded by the two message mutexes.
struct m30_channel_status_dec {
    std::atomic<uint32_t> vd_info_ct;
    std::atomic<uint32_t> dmx_err_info_ct;
    std::atomic<bool> dmx_err_info_has_changed;
    m30_dmx_error_status dmx_err_info;
    std::atomic<uint32_t> vd_err_info_ct;
    std::atomic<bool> vd_err_info_has_changed;
    m30_dec_error_status vd_err_info;
};

struct m30_audio_dec_status {
    int fd_msg_ready_ad;
    std::atomic<uint32_t> ad_info, ad_err;
};

struct m30_decode {
    m30_channel_config_dec chcfg[M30_DEC_CHANNELS];
    m30_dec_msg_fds msgs[M30_DEC_CHANNELS];
    m30_channel_status_dec chstat[M30_DEC_CHANNELS];
    int fd_pci_input_ts[M30_DEC_CHANNELS]; /* -1 while closed */
    m30_audio_dec_status audstat[M30_AUDIO_RES];
};

struct m30_channel_config_enc {
    uint32_t sys_rate, vid_rate; /* kbit/s */
    m30_ratectrl rate_control;
    m30_aspect_ratio aspect_ratio;
    uint32_t latency, closed_gop, ip_period, frame_num_in_gop;
    m30_avc_initial_cpb_delay avc_initial_cpb_delay;
    bool vanc_enable;
    uint32_t vanc_start_line, vanc_start_line_bottom, vanc_line_count, vanc_h_size;
    uint32_t pmt_ver, pmt_dirty, pat_ver, pat_dirty, pgm_num;
    int hdr_mode;
};

struct m30_enc_msg_fds {
    int efd_msg_ready_vi;  /* eventfd of the video input's messages */
    int tfd_vsync_timeout; /* monotonic timerfd: no vsync for 66 ms */
};

struct m30_channel_status_enc {
    std::atomic<int> frame_count;       /* message thread writes */
    std::atomic<bool> video_detected;   /* message thread writes */
};

struct m30_encode {
    bool pat_includes_all;
    m30_channel_config_enc chcfg[M30_CHANNELS];
    m30_enc_msg_fds msgs[M30_CHANNELS];
    m30_channel_status_enc chstat[M30_CHANNELS];
};

// The codec chip's context. Fields keep their documented order; what
// follows the callback slots is private bookkeeping.
struct m30_context {
    bool is_encode;          /* ro after creation */
    char driver_path[30];    /* "/dev/m30smb%d", resolved under KD_ROOT when opened */
    int driver_system;       /* bound to FMB_DEVICE_SYSTEM */
    int driver_control;      /* bound to FMB_DEVICE_CONTROL; reopened by a reset */
    int vei_control[4];      /* bound to the video encode inputs 0 to 3 */
    m30_version version;     /* ro after creation */
    bool multi_channel;
    bool prepare_needed;     /* the chip must be prepared before channels run */
    bool restart_channel[M30_CHANNELS];
    std::atomic<bool> error_detected; /* last main-state read was ERROR; both threads read the state */
    bool ultra_low_latency_mode;
    bool invert_inputs;
    m30_video_mode video_mode;
    // The message thread; equal to tid_main while none runs. Atomic: a
    // thread that ends by itself writes it, the creating thread reads it.
    std::atomic<pthread_t> tid_message;
    pthread_t tid_main;      /* the creating thread */
    m30_channel_config chcfg[M30_CHANNELS];
    m30_audio_config audcfg[M30_AUDIO_RES];
    m30_encode *enc;         /* null in a decode context */
    m30_decode *dec;         /* null in an encode context */
    // Callback slots. Install them before preparing the chip: the message
    // thread reads them without a lock.
    m30_on_video_detected on_vde; void *on_vde_ctx;
    m30_on_encoder_status on_encstatus; void *on_encstatus_ctx;
    m30_prio_on_frame_capture prio_on_fc; void *prio_on_fc_ctx;
    m30_on_config_change on_cfg_change; void *on_cfg_change_ctx;
    m30_on_channel_prestart_check on_ch_prestart_chk; void *on_ch_prestart_chk_ctx;
    m30_on_log on_log; void *on_log_ctx;
    m30_on_sei_info on_sei_info; void *on_sei_info_ctx;
    m30_on_pcr on_pcr; void *on_pcr_ctx;
    m30_on_buf_level on_buf_level; void *on_buf_level_ctx;
    m30_on_pid on_pid; void *on_pid_ctx;
    m30_on_vdec_info on_vdec_info; void *on_vdec_info_ctx;
    m30_on_adec_err on_adec_err; void *on_adec_err_ctx;
    fmb_enqueue_vraw_data_info *vraw_data_info;

    // --- private: creating thread only, unless marked ---
    pthread_t msg_thread;    /* valid while msg_joinable */
    bool msg_joinable;       /* a thread was started and not yet joined */
    int msg_stop_fd = -1;    /* eventfd in the thread's wait set: stop now */
    std::atomic<bool> msg_ended; /* the thread has left its loop */
    bool vde_prev[M30_CHANNELS]; /* video detection seen by the previous maintenance */
    // The message thread's copy of each decode channel's SEI and PID
    // settings, refreshed at channel start.
    std::mutex msg_cfg_mutex;
    m30_channel_config_dec msg_cfg[M30_DEC_CHANNELS];
    fmb_message_info msg_enc, msg_dec; /* message thread only: reused records */
};

// Logging through the context's hook. The format is checked like printf's.
void m30_default_log(void *ctx, int ch, m30_log_type type, const char *fmt, ...) noexcept;
template <class... A>
void m30_log_emit(const m30_context *m30, int ch, m30_log_type type, const char *fmt, A... a) noexcept
{
    m30_on_log f = m30 && m30->on_log ? m30->on_log : m30_default_log;
    f(m30 ? m30->on_log_ctx : nullptr, ch, type, fmt, a...);
}
#define M30_LOG(m30, ch, type, ...) \
    ((void)sizeof(std::printf(__VA_ARGS__)), m30_log_emit((m30), (ch), (type), __VA_ARGS__))

// Whether the calling thread created the context; logs the refusal when not.
bool m30_on_main_thread(const m30_context *m30, const char *func) noexcept;
// Reports through a slot when it is set.
void m30_report_cfg_change(const m30_context *m30, int ch, m30_change change) noexcept;
void m30_report_encstatus(const m30_context *m30, int ch, m30_encoder_status st) noexcept;
// The thread copy of a channel's message settings, taken under its mutex.
m30_channel_config_dec m30_msg_cfg_copy(m30_context *m30, int ch) noexcept;
// The two process-wide mutexes over the decode error records.
extern std::mutex dmx_stream_struct_mutex;
extern std::mutex vd_errors_struct_mutex;
// Stops and joins the message thread from any thread and forgets the
// context for the SEI hand-over (destruction).
void m30_stop_msg_thread(m30_context *m30) noexcept;
// Writes to the debug stream when it is open.
void m30_debug_printf(const char *fmt, ...) noexcept __attribute__((format(printf, 1, 2)));

// Driver port access: every descriptor on the driver goes through these.
int m30_drv_open(const char *driver_path) noexcept; // resolved under KD_ROOT, O_RDWR
int m30_drv_close(int fd) noexcept;                  // ignores a negative fd
int m30_drv_ioctl(int fd, unsigned long request, void *arg) noexcept;
int m30_drv_eventfd(unsigned int initval, int flags) noexcept;
// Opens the node and binds it to a logical device; -1 (nothing left open) on failure.
int m30_drv_open_bound(const char *driver_path, uint16_t device_type) noexcept;

// Registers. A failed read prints to standard error and reads 0.
uint32_t greg(int fmb_fd, uint32_t offset) noexcept;
int sregp(int fmb_fd, uint32_t offset, const uint32_t *val) noexcept;
int sreg(int fmb_fd, uint32_t offset, uint32_t val) noexcept;

// Writes the words of an image after its counter word (word 0) at base_addr_
// onward; an image of one word or less writes nothing.
int write_param_block(int fd_, uint32_t base_addr_, const uint8_t *start_, const uint8_t *end_) noexcept;
// Writes the next counter and waits for the chip to echo it: at most
// M30_CC_HANDSHAKE_READS reads, then ETIMEDOUT.
constexpr int M30_CC_HANDSHAKE_READS = 1001;
int cc_handshake(int fd_, uint32_t addr_, uint32_t cc_next_) noexcept;
// Replaces "/tmp/kerrow_<name_>param_<id_>.bin" (under KD_ROOT) with the
// image; a file that cannot be written is skipped. Always 0.
int debug_write_bin(const char *name_, int id_, const uint8_t *buf_, size_t len_) noexcept;

// A block load: refuse without a control descriptor or with a negative
// chip id; read the old counter, dump the image, write it, hand the counter
// over. Exactly `len` bytes of the image are transferred.
int m30_load_param_block(m30_context *m30, int chip_id, uint32_t base, const char *tag, int dump_index,
                         const uint8_t *image, size_t len) noexcept;
// The common block at the base of the parameter area, dump tag "c".
int m30_load_params_c(m30_context *m30_, const uint8_t *buf_, size_t len_) noexcept;

// Reads the driver and firmware versions into m30->version.
int m30_read_versions(m30_context *m30) noexcept;

// Input and output switching of a chip id; a state already reached sends
// nothing. -1 without a control descriptor or for a negative id.
m30_input_state m30_get_input_state(const m30_context *m30, int chip_id) noexcept;
m30_output_state m30_get_output_state(const m30_context *m30, int chip_id) noexcept;
int m30_input_start(m30_context *m30, int chip_id) noexcept;
int m30_input_stop(m30_context *m30, int chip_id) noexcept;
int m30_output_start(m30_context *m30, int chip_id) noexcept;
int m30_output_ready_to_stop(m30_context *m30, int chip_id) noexcept;
int m30_output_stop(m30_context *m30, int chip_id) noexcept;

// Message notification of one unit: the driver signals `event_fd` per
// message; `bits` of the unit's message-enable register switch its
// messages. Enabling registers first, then sets the bits; disabling
// unregisters first, then clears them.
int m30_msg_notify_enable(m30_context *m30, int event_fd, fmb_message_target target, uint32_t target_id,
                          uint32_t enable_reg, uint32_t bits) noexcept;
int m30_msg_notify_disable(m30_context *m30, fmb_message_target target, uint32_t target_id,
                           uint32_t enable_reg, uint32_t bits) noexcept;
// Read, OR (on) or AND NOT (off), write.
int m30_msg_enable_bits(int fd, uint32_t enable_reg, uint32_t bits, bool on) noexcept;

// Message-enable bits of each unit.
constexpr uint32_t M30_DMX_MSG_BITS = 0xF;
constexpr uint32_t M30_VD_MSG_BITS = 0x7;
constexpr uint32_t M30_AD_MSG_BITS = 0x3;

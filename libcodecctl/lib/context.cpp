// Creation and destruction of the codec chip's context: the driver
// descriptors and the versions.
#include "m30_internal.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <memory>
#include <sys/eventfd.h>
#include <sys/timerfd.h>
#include <unistd.h>
#include <vector>

namespace {

void close_driver(m30_context *m30) noexcept
{
    for (int *fd : {&m30->driver_system, &m30->driver_control, &m30->vei_control[0], &m30->vei_control[1],
                    &m30->vei_control[2], &m30->vei_control[3]}) {
        m30_drv_close(*fd);
        *fd = -1;
    }
}

// Opens and binds the descriptors in the driver's required order: the
// system device first, because mode select and reset go through it and
// reset the chip under the others.
int open_driver(m30_context *m30) noexcept
{
    m30->driver_system = m30_drv_open_bound(m30->driver_path, FMB_DEVICE_SYSTEM);
    if (m30->driver_system < 0)
        return -1;
    // A refused mode select is reported by sreg; the reset below decides.
    sreg(m30->driver_system, M30_REG_MODE_SELECT, m30->is_encode ? 0u : 1u);
    fmb_reset_info reset{true};
    if (m30_drv_ioctl(m30->driver_system, FMB_API_RESET, &reset) < 0)
        return -1;
    m30->driver_control = m30_drv_open_bound(m30->driver_path, FMB_DEVICE_CONTROL);
    if (m30->driver_control < 0)
        return -1;
    for (unsigned i = 0; i < 4; ++i) {
        m30->vei_control[i] = m30_drv_open_bound(m30->driver_path, static_cast<uint16_t>(FMB_DEVICE_VEI_BASE + i));
        if (m30->vei_control[i] < 0)
            return -1;
    }
    return 0;
}

} // namespace

int m30_read_versions(m30_context *m30) noexcept
{
    try {
        // The driver fills both scratch areas with its register dumps; the
        // library only needs to own them for the call.
        std::vector<uint8_t> firm_regs(FMB_VERSION_SCRATCH_SIZE), user_regs(FMB_VERSION_SCRATCH_SIZE);
        fmb_version_info v{};
        v.firm_ver_reg_info_p = firm_regs.data();
        v.user_firm_ver_reg_info_p = user_regs.data();
        if (m30_drv_ioctl(m30->driver_system, FMB_API_GET_VERSION, &v) < 0)
            return -1;
        std::snprintf(m30->version.firm, sizeof m30->version.firm, "%u.%u.%u.%u.%u", v.mcpu_firm[0],
                      v.mcpu_firm[1], v.mcpu_firm[2], v.mcpu_firm[3], v.mcpu_firm[4]);
        size_t n = strnlen(v.driver, sizeof m30->version.driver_fmb - 1);
        std::memcpy(m30->version.driver_fmb, v.driver, n);
        m30->version.driver_fmb[n] = '\0';
        switch (v.driver[0]) {
        case '3': m30->version.driver = M30_DRIVER_VER_V3; break;
        case '7': m30->version.driver = M30_DRIVER_VER_V7; break;
        default: m30->version.driver = M30_DRIVER_VER_OTHER; break;
        }
        return 0;
    } catch (...) {
        errno = ENOMEM;
        return -1;
    }
}

namespace {

void close_fd(int &fd) noexcept
{
    if (fd >= 0)
        ::close(fd);
    fd = -1;
}

// Notification descriptors are handed to the driver, so they come from the
// driver port; semaphore mode makes one read take one message.
int notify_fd() noexcept { return m30_drv_eventfd(0, EFD_NONBLOCK | EFD_SEMAPHORE | EFD_CLOEXEC); }

void release_state(m30_context *m30) noexcept
{
    if (m30->dec) {
        std::unique_ptr<m30_decode> dec(m30->dec);
        m30->dec = nullptr;
        for (auto &m : dec->msgs) {
            close_fd(m.fd_msg_ready_dmx);
            close_fd(m.fd_msg_ready_vd);
        }
        for (auto &a : dec->audstat)
            close_fd(a.fd_msg_ready_ad);
        for (int &fd : dec->fd_pci_input_ts) {
            m30_drv_close(fd);
            fd = -1;
        }
    }
    if (m30->enc) {
        std::unique_ptr<m30_encode> enc(m30->enc);
        m30->enc = nullptr;
        for (auto &m : enc->msgs) {
            close_fd(m.efd_msg_ready_vi);
            close_fd(m.tfd_vsync_timeout);
        }
    }
}

// The mode's state with its notification descriptors; false (nothing left
// open) when a descriptor cannot be made.
bool make_state(m30_context *m30)
{
    if (m30->is_encode) {
        auto enc = std::make_unique<m30_encode>();
        for (auto &m : enc->msgs)
            m.efd_msg_ready_vi = m.tfd_vsync_timeout = -1;
        m30->enc = enc.release();
        for (int i = 0; i < M30_CHANNELS; ++i) {
            m30_channel_config_enc &c = m30->enc->chcfg[i];
            c.sys_rate = i == 0 ? 45100 : 24800;
            c.vid_rate = i == 0 ? 32080 : 17440;
            c.rate_control = M30_RATECTRL_VBR;
            c.latency = 45000;
            c.ip_period = 3;
            c.frame_num_in_gop = 30;
            c.avc_initial_cpb_delay = M30_AVC_INITIAL_CPB_DELAY_100;
            c.vanc_start_line = 11;
            c.vanc_line_count = 4;
            c.vanc_h_size = 96;
            c.pgm_num = static_cast<uint32_t>(i + 1);
            m30_enc_msg_fds &m = m30->enc->msgs[i];
            m.efd_msg_ready_vi = notify_fd();
            m.tfd_vsync_timeout = ::timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
            if (m.efd_msg_ready_vi < 0 || m.tfd_vsync_timeout < 0)
                return false;
        }
        return true;
    }
    auto dec = std::make_unique<m30_decode>();
    for (auto &m : dec->msgs)
        m.fd_msg_ready_dmx = m.fd_msg_ready_vd = -1;
    for (auto &a : dec->audstat)
        a.fd_msg_ready_ad = -1;
    for (int &fd : dec->fd_pci_input_ts)
        fd = -1;
    m30->dec = dec.release();
    for (auto &m : m30->dec->msgs) {
        m.fd_msg_ready_dmx = notify_fd();
        m.fd_msg_ready_vd = notify_fd();
        if (m.fd_msg_ready_dmx < 0 || m.fd_msg_ready_vd < 0)
            return false;
    }
    for (auto &a : m30->dec->audstat)
        if ((a.fd_msg_ready_ad = notify_fd()) < 0)
            return false;
    return true;
}

void set_defaults(m30_context *m30) noexcept
{
    bool enc = m30->is_encode;
    m30->multi_channel = true;
    m30->video_mode = M30_VIDEO_MODE_HEVC;
    m30->tid_main = pthread_self();
    m30->tid_message.store(m30->tid_main);
    for (int i = 0; i < M30_CHANNELS; ++i) {
        m30_channel_config &c = m30->chcfg[i];
        auto u = static_cast<uint32_t>(i);
        c.video_state = (i < 2 || enc) ? M30_ON : M30_OFF;
        c.vid_std = M30_VIDSTD_INVALID;
        c.bit_depth = 10;
        c.chroma_fmt = M30_CHROMAFMT_422;
        c.pmt_pid = 0x1E0 + 0x100 * u;
        c.pcr_pid = 0x1E2 + 0x100 * u;
        c.vid_pid = enc ? 0x1E1 + 0x100 * u : 0;
        // A decode chip runs its two channels on inputs 0 and 2.
        c.m30_id = enc ? i : (i == 0 ? 0 : i == 1 ? 2 : -1);
    }
    for (int k = 0; k < M30_AUDIO_RES; ++k) {
        m30_audio_config &a = m30->audcfg[k];
        a.audio_state = M30_OFF;
        a.audio_mode = M30_AUDIO_MODE_MPEG1_L2;
        a.audio_rate_bps = 96000;
        a.audio_pid = 0x1E3 + 0x100 * static_cast<uint32_t>(k);
        a.audio_mp1_prot = M30_AUDMP1_CRC_ADDED;
        a.audio_mp1_cpri = M30_AUDMP1_CPR_PROTECTED;
        a.audio_mp1_cpor = M30_AUDMP1_ORIGINAL;
    }
    m30->on_log = m30_default_log;
    m30->on_log_ctx = nullptr;
}

} // namespace

extern "C" M30_API m30_context *m30_context_create(int device_id_, bool is_encode_) noexcept
{
    std::unique_ptr<m30_context> m30;
    try {
        m30 = std::make_unique<m30_context>();
        m30->is_encode = is_encode_;
        std::snprintf(m30->driver_path, sizeof m30->driver_path, "/dev/m30smb%d", device_id_);
        m30->driver_system = m30->driver_control = -1;
        for (int &fd : m30->vei_control)
            fd = -1;
        if (open_driver(m30.get()) < 0 || m30_read_versions(m30.get()) < 0 || !make_state(m30.get())) {
            int e = errno;
            release_state(m30.get());
            close_driver(m30.get());
            errno = e;
            return nullptr;
        }
        set_defaults(m30.get());
        return m30.release();
    } catch (...) {
        if (m30) {
            release_state(m30.get());
            close_driver(m30.get());
        }
        errno = ENOMEM;
        return nullptr;
    }
}

extern "C" M30_API void m30_context_destroy(m30_context *m30_) noexcept
{
    if (!m30_)
        return;
    std::unique_ptr<m30_context> owned(m30_);
    m30_stop_msg_thread(m30_);
    release_state(m30_);
    close_driver(m30_);
}

extern "C" M30_API int m30_context_get_driver_version(m30_context *m30, m30_driver_ver *driver_e,
                                                      char *driver_s, size_t size_s) noexcept
{
    if (!m30 || !driver_e)
        return errno = EINVAL, -1;
    size_t len = strnlen(m30->version.driver_fmb, sizeof m30->version.driver_fmb);
    if (len == 0 || len >= sizeof m30->version.driver_fmb || (driver_s && size_s <= len))
        return errno = EINVAL, -1;
    if (driver_s)
        std::memcpy(driver_s, m30->version.driver_fmb, len + 1);
    *driver_e = m30->version.driver;
    return 0;
}

extern "C" M30_API int m30_context_get_firmware_version(m30_context *m30, char *firmw_s, size_t size_s) noexcept
{
    if (!m30 || !firmw_s || size_s == 0)
        return errno = EINVAL, -1;
    size_t len = strnlen(m30->version.firm, sizeof m30->version.firm);
    if (len == 0 || len >= sizeof m30->version.firm || size_s <= len)
        return errno = EINVAL, -1;
    std::memcpy(firmw_s, m30->version.firm, len + 1);
    return 0;
}

// --- callback slots ---

#define M30_SLOT_SETTER(setter, slot, type)                                         \
    extern "C" M30_API int setter(m30_context *m30_, type f_, void *ctx_) noexcept \
    {                                                                               \
        if (!m30_)                                                                  \
            return errno = EINVAL, -1;                                              \
        m30_->slot = f_;                                                            \
        m30_->slot##_ctx = ctx_;                                                    \
        return 0;                                                                   \
    }

M30_SLOT_SETTER(m30_context_set_on_video_detected, on_vde, m30_on_video_detected)
M30_SLOT_SETTER(m30_context_set_on_encoder_status, on_encstatus, m30_on_encoder_status)
M30_SLOT_SETTER(m30_context_set_prio_on_frame_capture, prio_on_fc, m30_prio_on_frame_capture)
M30_SLOT_SETTER(m30_context_set_on_config_change, on_cfg_change, m30_on_config_change)
M30_SLOT_SETTER(m30_context_set_on_channel_prestart_check, on_ch_prestart_chk, m30_on_channel_prestart_check)
M30_SLOT_SETTER(m30_context_set_on_sei_info, on_sei_info, m30_on_sei_info)
M30_SLOT_SETTER(m30_context_set_on_pcr_detect, on_pcr, m30_on_pcr)
M30_SLOT_SETTER(m30_context_set_on_buffer_level, on_buf_level, m30_on_buf_level)
M30_SLOT_SETTER(m30_context_set_on_pid_detect, on_pid, m30_on_pid)
M30_SLOT_SETTER(m30_context_set_on_video_decoding, on_vdec_info, m30_on_vdec_info)
M30_SLOT_SETTER(m30_context_set_on_audio_decode_error, on_adec_err, m30_on_adec_err)

// The library logs everywhere, so the log slot is never left empty: a null
// function puts the default handler back.
extern "C" M30_API int m30_context_set_on_log(m30_context *m30_, m30_on_log f_, void *ctx_) noexcept
{
    if (!m30_)
        return errno = EINVAL, -1;
    m30_->on_log = f_ ? f_ : m30_default_log;
    m30_->on_log_ctx = f_ ? ctx_ : nullptr;
    return 0;
}

extern "C" M30_API bool m30_is_error(m30_context *m30_) noexcept
{
    return m30_ && m30_->error_detected.load(std::memory_order_relaxed);
}

extern "C" M30_API bool m30_is_multi(m30_context *m30_) noexcept { return m30_ && m30_->multi_channel; }

void m30_default_log(void *, int ch, m30_log_type type, const char *fmt, ...) noexcept
{
    FILE *out = type == M30_LOG_ERROR ? stderr : stdout;
    if (type < M30_LOG_DEBUG || type > M30_LOG_ERROR || !fmt)
        return;
    char f[1024];
    if (ch < 0)
        std::snprintf(f, sizeof f, "libcodecctl %s%c", fmt, '\n');
    else
        std::snprintf(f, sizeof f, "libcodecctl [%d] %s%c", ch, fmt, '\n');
    va_list ap;
    va_start(ap, fmt);
    std::vfprintf(out, f, ap);
    va_end(ap);
}

bool m30_on_main_thread(const m30_context *m30, const char *func) noexcept
{
    if (pthread_equal(pthread_self(), m30->tid_main))
        return true;
    M30_LOG(m30, -1, M30_LOG_ERROR, "%s must be called in main thread", func);
    errno = EPERM;
    return false;
}

void m30_report_cfg_change(const m30_context *m30, int ch, m30_change change) noexcept
{
    if (m30->on_cfg_change)
        m30->on_cfg_change(m30->on_cfg_change_ctx, ch, change);
}

void m30_report_encstatus(const m30_context *m30, int ch, m30_encoder_status st) noexcept
{
    if (m30->on_encstatus)
        m30->on_encstatus(m30->on_encstatus_ctx, ch, st);
}

// The chip's main state: reading it, requesting changes, reset, preparing
// the chip for decoding and the periodic maintenance that re-prepares the
// chip or restarts channels after configuration changes.
#include "cparam.h"
#include "m30_internal.h"

#include <cerrno>
#include <cstring>
#include <vector>

namespace {

const char *state_text(m30_main_state s)
{
    return s >= M30_MAIN_STATE_MAINTENANCE && s < M30_MAIN_STATE_END ? m30_main_state_strings[s] : "unknown";
}

uint32_t channel_mode_word(const m30_context *m30) { return m30->multi_channel ? 2u : 1u; }

// A rendered C block for the context's video mode and audio modes. An
// encoder also takes the ultra-low-latency setting.
int load_c_block(m30_context *m30)
{
    bool enc = m30->is_encode;
    cparam c;
    if (cparam_init(&c, m30->video_mode, C_VI_ROBUST_MODE_STOP_ENCODING, m30->multi_channel ? 1 : 0, enc,
                    enc && m30->ultra_low_latency_mode) < 0)
        return -1;
    for (unsigned k = 0; k < M30_AUDIO_RES; ++k)
        cparam_set_audio_mode(&c, k, m30->audcfg[k].audio_mode, enc);
    uint8_t image[1024];
    int n = cparam_to_bin(&c, image, sizeof image);
    if (n < 0)
        return -1;
    return m30_load_params_c(m30, image, static_cast<size_t>(n));
}

// Requests `next` and checks that the chip reports it.
int step_to(m30_context *m30, m30_main_state next, const char *fail_fmt)
{
    if (m30_change_main_state(m30, next) < 0)
        return -1;
    m30_main_state now = m30_get_main_state(m30);
    if (now != next) {
        M30_LOG(m30, -1, M30_LOG_ERROR, fail_fmt, state_text(now));
        return -1;
    }
    return 0;
}

// What preparing for decoding or for encoding says and aims at.
struct PrepareMode {
    m30_main_state run, other; // the mode's running state, and the other mode's
    const char *to_boot, *to_init, *to_run, *fail_run;
};
constexpr PrepareMode decode_mode{M30_MAIN_STATE_DECODE, M30_MAIN_STATE_ENCODE,
                                  "State is error or encode. Going to boot...",
                                  "State is boot or decode. Going to init...", "State is init. Going to decode...",
                                  "Failed to set state to decode. State is %s"};
constexpr PrepareMode encode_mode{M30_MAIN_STATE_ENCODE, M30_MAIN_STATE_DECODE,
                                  "State is error or decode. Going to boot...",
                                  "State is boot or encode. Going to init...", "State is init. Going to encode...",
                                  "Failed to set state to encode. State is %s"};

// From the other mode or ERROR the chip is reset to BOOT; from BOOT or the
// mode's own running state it goes to INIT; from INIT the parameter area is
// cleared, the C block loaded and the running state requested.
int prepare_for(m30_context *m30, const PrepareMode &pm)
{
    m30_main_state s = m30_get_main_state(m30);
    if (s == pm.other || s == M30_MAIN_STATE_ERROR) {
        M30_LOG(m30, -1, M30_LOG_INFO, "%s", pm.to_boot);
        if (m30_reset_main_state(m30) < 0)
            return -1;
        if (m30_get_main_state(m30) != M30_MAIN_STATE_BOOT) {
            M30_LOG(m30, -1, M30_LOG_ERROR, "Failed to set state to boot. State is %s",
                    state_text(m30_get_main_state(m30)));
            return -1;
        }
        s = M30_MAIN_STATE_BOOT;
    }
    if (s == M30_MAIN_STATE_BOOT || s == pm.run) {
        M30_LOG(m30, -1, M30_LOG_INFO, "%s", pm.to_init);
        if (step_to(m30, M30_MAIN_STATE_INIT, "Failed to set state to init. State is %s") < 0)
            return -1;
        s = M30_MAIN_STATE_INIT;
    }
    // BOOTER belongs to the chip's loader: nothing to prepare.
    if (s != M30_MAIN_STATE_INIT)
        return 0;
    M30_LOG(m30, -1, M30_LOG_INFO, "%s", pm.to_run);
    if (m30_clear_param_area(m30) < 0)
        M30_LOG(m30, -1, M30_LOG_ERROR, "Failed to clear param area");
    if (load_c_block(m30) < 0)
        M30_LOG(m30, -1, M30_LOG_ERROR, "Error loading C params");
    return step_to(m30, pm.run, pm.fail_run);
}

// Reports video detection that changed since the previous maintenance.
void report_video_detection(m30_context *m30)
{
    for (int i = 0; i < M30_CHANNELS; ++i) {
        bool now = m30_channel_is_video_detected(m30, static_cast<unsigned>(i));
        if (now == m30->vde_prev[i])
            continue;
        m30->vde_prev[i] = now;
        if (m30->on_vde)
            m30->on_vde(m30->on_vde_ctx, i, now);
        m30_report_encstatus(m30, i, now ? M30_ENCSTATUS_ENCODE : M30_ENCSTATUS_IDLE);
    }
}

} // namespace

extern "C" M30_API int m30_prepare_encode(m30_context *m30_) noexcept
{
    if (!m30_ || !m30_->is_encode)
        return errno = EINVAL, -1;
    return prepare_for(m30_, encode_mode);
}

extern "C" M30_API m30_main_state m30_get_main_state(m30_context *m30_) noexcept
{
    if (!m30_)
        return M30_MAIN_STATE_ERROR;
    m30_->error_detected.store(false, std::memory_order_relaxed);
    uint32_t v = greg(m30_->driver_system, M30_REG_MAIN_STATE);
    switch (v) {
    case 1: return M30_MAIN_STATE_BOOT;
    case 2: return M30_MAIN_STATE_INIT;
    case 3: return M30_MAIN_STATE_ENCODE;
    case 4: return M30_MAIN_STATE_DECODE;
    case 0xFFFFFFFEu: return M30_MAIN_STATE_BOOTER;
    case 0xFFFFFFFFu: break;
    default:
        M30_LOG(m30_, -1, M30_LOG_ERROR, "%s unknown reg_val %X (fd %d)", __func__, v, m30_->driver_system);
        break;
    }
    m30_->error_detected.store(true, std::memory_order_relaxed);
    return M30_MAIN_STATE_ERROR;
}

extern "C" M30_API int m30_change_main_state(m30_context *m30_, m30_main_state next_) noexcept
{
    if (!m30_)
        return errno = EINVAL, -1;
    bool in_range = next_ >= M30_MAIN_STATE_BOOT && next_ <= M30_MAIN_STATE_DECODE;
    if (!in_range || (m30_->is_encode && next_ == M30_MAIN_STATE_DECODE) ||
        (!m30_->is_encode && next_ == M30_MAIN_STATE_ENCODE)) {
        M30_LOG(m30_, -1, M30_LOG_ERROR, "Unwilling to change main state to: %s", state_text(next_));
        return errno = EOPNOTSUPP, -1;
    }
    int rc;
    if (m30_->version.driver == M30_DRIVER_VER_V3) {
        fmb_main_state_info info{static_cast<uint32_t>(next_), channel_mode_word(m30_), 1, 0, 1};
        rc = m30_drv_ioctl(m30_->driver_system, FMB_API_CHANGE_MAIN_STATE_V3, &info);
    } else {
        uint32_t mode = channel_mode_word(m30_);
        fmb_main_state_info_v7 info{static_cast<uint32_t>(next_), m30_->is_encode ? mode : 0u, 1, 0, 1,
                                    m30_->is_encode ? 0u : mode};
        rc = m30_drv_ioctl(m30_->driver_system, FMB_API_CHANGE_MAIN_STATE, &info);
    }
    if (rc < 0)
        M30_LOG(m30_, -1, M30_LOG_ERROR, "Failed ioctl to change main state to %s: %s", state_text(next_),
                std::strerror(errno));
    return rc;
}

extern "C" M30_API int m30_reset_main_state(m30_context *m30_) noexcept
{
    if (!m30_ || m30_->driver_control < 0)
        return errno = EINVAL, -1;
    if (!m30_on_main_thread(m30_, __func__))
        return -1;
    bool was_running = !pthread_equal(m30_->tid_message.load(), m30_->tid_main);
    int rc = 0;
    if (was_running && m30_cancel_msg_thread(m30_) < 0)
        rc = -1;
    m30_drv_close(m30_->driver_control);
    m30_->driver_control = -1;
    fmb_reset_info reset{false};
    if (m30_drv_ioctl(m30_->driver_system, FMB_API_RESET, &reset) < 0) {
        M30_LOG(m30_, -1, M30_LOG_ERROR, "%s driver reset failed", __func__);
        rc = -1;
    }
    // Open and bind separately: each failure has its own message.
    int fd = m30_drv_open(m30_->driver_path);
    if (fd < 0) {
        M30_LOG(m30_, -1, M30_LOG_ERROR, "%s failed to open driver", __func__);
        rc = -1;
    } else {
        fmb_logical_device_info info{FMB_DEVICE_CONTROL};
        if (m30_drv_ioctl(fd, FMB_API_SET_LOGICAL_DEVICE, &info) < 0) {
            M30_LOG(m30_, -1, M30_LOG_ERROR, "%s failed to set device control", __func__);
            m30_drv_close(fd);
            fd = -1;
            rc = -1;
        }
    }
    m30_->driver_control = fd;
    m30_->error_detected.store(false, std::memory_order_relaxed);
    if (was_running && m30_launch_msg_thread(m30_) < 0)
        rc = -1;
    return rc;
}

extern "C" M30_API int m30_prepare(m30_context *m30_) noexcept
{
    if (!m30_)
        return errno = EINVAL, -1;
    if (m30_cancel_msg_thread(m30_) < 0) {
        M30_LOG(m30_, -1, M30_LOG_ERROR, "Failed to cancel msg thread");
        return -1;
    }
    if ((m30_->is_encode ? m30_prepare_encode(m30_) : prepare_for(m30_, decode_mode)) < 0)
        return -1;
    if (m30_launch_msg_thread(m30_) < 0)
        M30_LOG(m30_, -1, M30_LOG_ERROR, "Failed to launch msg thread");
    m30_->prepare_needed = false;
    return 0;
}

extern "C" M30_API int m30_get_channel_count(m30_context *m30_) noexcept
{
    if (!m30_)
        return 0;
    if (!m30_->multi_channel)
        return 1;
    if (m30_->ultra_low_latency_mode)
        return 2;
    return m30_->is_encode ? 4 : 2;
}

extern "C" M30_API int m30_context_maintain(m30_context *m30_) noexcept
{
    if (!m30_)
        return errno = EINVAL, -1;
    int count = m30_get_channel_count(m30_);
    if (m30_->prepare_needed) {
        for (int i = 0; i < M30_CHANNELS; ++i)
            m30_channel_stop(m30_, i);
        m30_report_cfg_change(m30_, 0, M30_CHANGE_COMMON);
        if (m30_prepare(m30_) < 0)
            M30_LOG(m30_, -1, M30_LOG_ERROR, "Error from m30_prepare()");
        for (int i = 0; i < count; ++i) {
            if (m30_->chcfg[i].video_state != M30_ON)
                continue;
            M30_LOG(m30_, i, M30_LOG_INFO, "Restarting channel");
            if (m30_channel_start(m30_, i) < 0)
                M30_LOG(m30_, i, M30_LOG_ERROR, "Failed to start channel - %s",
                        errno == EPERM ? "Already started" : "Error");
        }
        return 0;
    }
    if (m30_->is_encode)
        report_video_detection(m30_);
    // One decode channel per call: a restart reloads every block of the
    // channel, and the user's tick should stay short. An encoder restarts
    // every flagged channel.
    for (int i = 0; i < count; ++i) {
        if (!m30_->restart_channel[i] || m30_->chcfg[i].video_state != M30_ON)
            continue;
        M30_LOG(m30_, i, M30_LOG_INFO, "Restarting channel");
        m30_channel_stop(m30_, i);
        m30_channel_start(m30_, i);
        if (!m30_->is_encode)
            break;
    }
    return 0;
}

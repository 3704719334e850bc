// The message thread "SVC:m30-msg": waits on the eventfds the driver
// signals per message, fetches each message, updates the decode status and
// calls the user's callbacks. It stops through a stop descriptor in its
// wait set (never by cancellation, so a callback is never cut short), or by
// itself once the chip reports ERROR; a thread that ended by itself is
// joined by the next launch or cancel.
#include "m30_internal.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <poll.h>
#include <sched.h>
#include <sys/eventfd.h>
#include <sys/timerfd.h>
#include <time.h>
#include <unistd.h>
#include <vector>

std::mutex dmx_stream_struct_mutex;
std::mutex vd_errors_struct_mutex;

namespace {

// The context whose thread started last; the SEI hand-over works on it.
std::atomic<m30_context *> served{nullptr};

// --- SEI hand-over ring, one per encode channel ---
struct vraw_info_ctl {
    fmb_enqueue_vraw_data_info vraw_info[4];
    std::atomic<int> wr_idx{0}, rd_idx{0}; // modulo 4; producer writes wr, consumer rd
    uint8_t pic_info_buf[4][M30_SEI_PIC_INFO_SIZE];

    vraw_info_ctl() { reset(); }
    void reset()
    {
        std::memset(vraw_info, 0, sizeof vraw_info);
        std::memset(pic_info_buf, 0, sizeof pic_info_buf);
        for (int n = 0; n < 4; ++n)
            vraw_info[n].pic_info_p = pic_info_buf[n];
        wr_idx.store(0);
        rd_idx.store(0);
    }
    bool full() const { return (wr_idx.load(std::memory_order_relaxed) + 1) % 4 == rd_idx.load(std::memory_order_acquire); }
};
vraw_info_ctl sei_rings[M30_CHANNELS];

bool no_rt()
{
    const char *v = std::getenv("KD_NO_RT");
    return v && *v && std::strcmp(v, "0") != 0;
}

constexpr long vsync_timeout_ns = 66'000'000; // a little over four fields at 59.94 Hz

// --- receiving ---

int receive(m30_context *m30, int fd, fmb_message_target target, unsigned ch, fmb_message_info &msg)
{
    eventfd_t n;
    if (::eventfd_read(fd, &n) < 0) {
        M30_LOG(m30, -1, M30_LOG_ERROR, "Receive msg - eventfd_read() failed: %s", std::strerror(errno));
        return -1;
    }
    if (ch > 3) {
        M30_LOG(m30, -1, M30_LOG_ERROR, "Receive msg - Channel arg out of range: %u", ch);
        return -1;
    }
    int id = target == FMB_MESSAGE_TARGET_AD ? static_cast<int>(ch) : m30->chcfg[ch].m30_id;
    if (id < 0) {
        M30_LOG(m30, -1, M30_LOG_ERROR, "Receive msg - Invalid channel: %u", ch);
        return -1;
    }
    std::memset(&msg, 0, sizeof msg);
    msg.message_target = target;
    msg.target_id = static_cast<uint32_t>(id);
    int rc = m30_drv_ioctl(m30->driver_control, FMB_API_GET_MESSAGE, &msg);
    if (rc < 0) {
        M30_LOG(m30, -1, M30_LOG_ERROR, "Receive msg - ioctl(FMB_API_GET_MESSAGE) failed (%d)", rc);
        return -1;
    }
    return 0;
}

// --- encode: video input ---

void handle_vi(m30_context *m30, const fmb_message_info &msg)
{
    const uint32_t *p = msg.message_param;
    uint32_t ch = p[0];
    if (ch >= M30_CHANNELS && (msg.message_id == 1 || msg.message_id == 2)) {
        M30_LOG(m30, -1, M30_LOG_WARN, "%s - Channel out of range: %u. Ignoring.", "m30_handle_msg_vi", ch);
        return;
    }
    switch (msg.message_id) {
    case 1: {
        m30->enc->chstat[ch].frame_count.store(static_cast<int>(p[1]), std::memory_order_relaxed);
        if (m30->prio_on_fc) {
            uint32_t t = (p[2] >> 1) | (p[3] == 1 ? 0x80000000u : 0u);
            m30->prio_on_fc(m30->prio_on_fc_ctx, static_cast<int>(ch), static_cast<int>(p[1]), t, p[7], p[6],
                            p[5] == 1 ? M30_VIDINP_NORMAL : M30_VIDINP_STOPPED);
        }
        break;
    }
    case 2: {
        itimerspec its{};
        its.it_value.tv_nsec = vsync_timeout_ns;
        ::timerfd_settime(m30->enc->msgs[ch].tfd_vsync_timeout, 0, &its, nullptr);
        m30->enc->chstat[ch].video_detected.store(true, std::memory_order_relaxed);
        break;
    }
    default:
        M30_LOG(m30, -1, M30_LOG_ERROR, "%s - Unrecognized msg ID: %u. Ignoring.", "m30_handle_msg_vi", msg.message_id);
    }
}

void vsync_timeout(m30_context *m30, int ch)
{
    uint64_t expirations;
    int fd = m30->enc->msgs[ch].tfd_vsync_timeout;
    if (::read(fd, &expirations, sizeof expirations) < 0)
        return;
    m30->enc->chstat[ch].video_detected.store(false, std::memory_order_relaxed);
    itimerspec off{};
    ::timerfd_settime(fd, 0, &off, nullptr);
}

// --- decode: demultiplexer ---

void handle_dmx(m30_context *m30, int c, const fmb_message_info &msg)
{
    const uint32_t *p = msg.message_param;
    auto uc = static_cast<uint8_t>(c);
    switch (msg.message_id) {
    case 1:
        if (m30->on_pcr)
            m30->on_pcr(m30->on_pcr_ctx, uc, p[1], static_cast<uint8_t>((p[2] >> 16) & 1),
                        static_cast<uint16_t>(p[2] & 0x1FF), static_cast<uint16_t>(p[3] & 0x1FF), p[3] >> 9);
        break;
    case 2: {
        m30_dec_buf_level level;
        switch (p[1]) {
        case 1: level = M30_BELOW_LEVEL_LL; break;
        case 2: level = M30_BELOW_LEVEL_LH; break;
        case 4: level = M30_ABOVE_LEVEL_HL; break;
        case 8: level = M30_ABOVE_LEVEL_HH; break;
        default:
            M30_LOG(m30, c, M30_LOG_ERROR, "%s - Unrecognized buf level: %u. Ignoring.", "m30_handle_msg_dmx", p[1]);
            return;
        }
        if (m30->on_buf_level)
            m30->on_buf_level(m30->on_buf_level_ctx, uc, level);
        break;
    }
    case 3: {
        m30_channel_status_dec &s = m30->dec->chstat[c];
        s.dmx_err_info_ct.fetch_add(1, std::memory_order_relaxed);
        std::lock_guard l(dmx_stream_struct_mutex);
        s.dmx_err_info_has_changed = true;
        m30_dmx_error_status &e = s.dmx_err_info;
        uint32_t *bit[12] = {&e.ei_err, &e.cc_err, &e.crc32_err, &e.pcr_err, &e.sync_err, &e.video_exhausted,
                             &e.video_pts_pcr_err, &e.audio_exhausted, &e.audio_pts_pcr_err, &e.stream_none,
                             &e.stream_invalid, &e.pcr_exhausted};
        for (unsigned b = 0; b < 12; ++b)
            if (p[1] & (1u << b))
                ++*bit[b];
        if (p[1] & (1u << 16))
            ++e.restart_request;
        break;
    }
    case 4: {
        if (!m30->on_pid)
            break;
        int idx = p[1] == 1 ? 0 : p[1] == 2 ? 1 : p[1] == 4 ? 2 : p[1] == 8 ? 3 : -1;
        m30_dmx_pid_detect entry{};
        if (idx >= 0)
            entry = m30_msg_cfg_copy(m30, c).pids_detect[idx];
        // A disabled entry names no PID: the message is stale or corrupt.
        if (idx < 0 || !entry.is_enabled || entry.pid == 65535 || entry.pid > 0x1FFF) {
            M30_LOG(m30, c, M30_LOG_WARN, "%s - Unrecognized PID index %x. Ignoring.", "m30_handle_msg_dmx", p[1]);
            break;
        }
        // The data words p[3] to p[64] hold at most 248 bytes.
        if (p[2] < 1 || p[2] > 245) {
            M30_LOG(m30, c, M30_LOG_WARN, "%s - Unrecognized PID size %u. Ignoring.", "m30_handle_msg_dmx", p[2]);
            break;
        }
        m30->on_pid(m30->on_pid_ctx, uc, static_cast<uint16_t>(entry.pid), reinterpret_cast<const uint8_t *>(p + 3),
                    static_cast<uint8_t>(p[2]));
        break;
    }
    default:
        M30_LOG(m30, c, M30_LOG_WARN, "%s - Unrecognized msg ID: %u. Ignoring.", "m30_handle_msg_dmx", msg.message_id);
    }
}

// --- decode: video decoder ---

// Items of (type word, size in bytes, data padded to whole words) from
// p[1] on. Every item is checked against the record before it is read.
void sei_walk(m30_context *m30, int c, const uint32_t *params)
{
    const uint32_t *items = params + 1;
    constexpr size_t words = 64; // p[1] to p[64]
    m30_channel_config_dec cfg = m30_msg_cfg_copy(m30, c);
    size_t pos = 0;
    for (unsigned n = 0;; ++n) {
        if (pos * 4 > 255 || pos + 2 > words)
            break;
        uint32_t type = items[pos], size = items[pos + 1];
        if (type == 0)
            break;
        if (size == 0) {
            M30_LOG(m30, c, M30_LOG_WARN, "%s - SEI info %u size not set (is zero). type %x. Ignoring.",
                    "m30_handle_msg_vd", n, type);
            break;
        }
        auto len = static_cast<uint8_t>(size);
        if ((pos + 2) * 4 + len > words * 4) {
            M30_LOG(m30, c, M30_LOG_WARN, "%s - SEI info %u size %u passes the message end. Ignoring.",
                    "m30_handle_msg_vd", n, size);
            break;
        }
        bool deliver = true;
        uint8_t payload = 0;
        m30_sei_udata_type ud;
        switch (type) {
        case 1: ud = M30_SEI_USRDATA_HEVCAVC_UNREG; deliver = cfg.sei.is_ud_unreg_enabled; break;
        case 2: ud = M30_SEI_USRDATA_HEVCAVC_ITU_T35; deliver = cfg.sei.is_ud_itut35_enabled; break;
        case 0x10000: ud = M30_SEI_USRDATA_MPEG_SEQ_LAYER; break;
        case 0x20000: ud = M30_SEI_USRDATA_MPEG_GOP_LAYER; break;
        case 0x40000: ud = M30_SEI_USRDATA_MPEG_PIC_LAYER; break;
        case 4: case 8: case 16: case 32: case 64: {
            unsigned slot = type == 4 ? 0 : type == 8 ? 1 : type == 16 ? 2 : type == 32 ? 3 : 4;
            ud = M30_SEI_USRDATA_END;
            payload = static_cast<uint8_t>(cfg.sei_payload_type[slot]);
            if (cfg.sei_payload_type[slot] != 0)
                break;
            [[fallthrough]];
        }
        default:
            M30_LOG(m30, c, M30_LOG_WARN, "%s - Unrecognized SEI info %u type %x. Ignoring.", "m30_handle_msg_vd", n,
                    type);
            return;
        }
        if (deliver)
            m30->on_sei_info(m30->on_sei_info_ctx, static_cast<uint8_t>(c), payload, ud,
                             reinterpret_cast<const uint8_t *>(items + pos + 2), len);
        pos += 2 + (static_cast<size_t>(size) + 3) / 4;
    }
}

void handle_vd(m30_context *m30, int c, const fmb_message_info &msg)
{
    const uint32_t *p = msg.message_param;
    m30_channel_status_dec &s = m30->dec->chstat[c];
    switch (msg.message_id) {
    case 1:
        s.vd_info_ct.fetch_add(1, std::memory_order_relaxed);
        if (m30->on_vdec_info && (p[1] & 0x100))
            m30->on_vdec_info(m30->on_vdec_info_ctx, static_cast<uint8_t>(c), static_cast<uint8_t>(p[1] & 1), p[2]);
        break;
    case 2: {
        s.vd_err_info_ct.fetch_add(1, std::memory_order_relaxed);
        std::lock_guard l(vd_errors_struct_mutex);
        s.vd_err_info_has_changed = true;
        m30_dec_error_status &e = s.vd_err_info;
        e.frm_rate_mismatch += p[1] & 1;
        e.vid_fmt_mismatch += (p[1] >> 1) & 1;
        e.unsup_resolution += (p[1] >> 2) & 1;
        e.vid_skip_avsync += p[2];
        e.vid_repeat_avsync += p[3];
        e.vid_repeat_depleted += p[4];
        e.picture_error_level = p[5] & 0xFF;
        e.ref_pic_error_level = (p[5] >> 8) & 0xFF;
        e.vid_error_count += p[6];
        e.vid_conceal_count += p[7];
        break;
    }
    case 3:
        if (m30->on_sei_info)
            sei_walk(m30, c, p);
        break;
    default:
        M30_LOG(m30, c, M30_LOG_WARN, "%s - Unrecognized msg ID: %u. Ignoring.", "m30_handle_msg_vd", msg.message_id);
    }
}

// --- decode: audio decoder ---

void handle_ad(m30_context *m30, int a, const fmb_message_info &msg)
{
    m30_audio_dec_status &s = m30->dec->audstat[a];
    switch (msg.message_id) {
    case 1:
        s.ad_info.fetch_add(1, std::memory_order_relaxed);
        break;
    case 2: {
        s.ad_err.fetch_add(1, std::memory_order_relaxed);
        uint32_t kind = msg.message_param[5];
        if (m30->on_adec_err && (kind == 16 || kind == 17))
            m30->on_adec_err(m30->on_adec_err_ctx, static_cast<uint8_t>(a), kind == 16 ? M30_AD_WARN : M30_AD_ERROR);
        break;
    }
    default:
        M30_LOG(m30, -1, M30_LOG_WARN, "%s - Unrecognized msg ID: %u. Ignoring.", "m30_handle_msg_ad", msg.message_id);
    }
}

// --- the thread ---

// What a wait-set entry stands for.
enum class unit { stop, vi, vsync, dmx, vd, ad };
struct slot {
    unit u;
    int index;
};

void build_wait_set(m30_context *m30, int stop_fd, std::vector<pollfd> &fds, std::vector<slot> &what)
{
    fds.clear();
    what.clear();
    auto add = [&](int fd, unit u, int index) {
        fds.push_back({fd, POLLIN, 0});
        what.push_back({u, index});
    };
    add(stop_fd, unit::stop, 0);
    if (m30->is_encode) {
        for (int ch = 0; ch < M30_CHANNELS; ++ch) {
            add(m30->enc->msgs[ch].efd_msg_ready_vi, unit::vi, ch);
            add(m30->enc->msgs[ch].tfd_vsync_timeout, unit::vsync, ch);
        }
        return;
    }
    for (int ch = 0; ch < M30_DEC_CHANNELS; ++ch) {
        add(m30->dec->msgs[ch].fd_msg_ready_dmx, unit::dmx, ch);
        add(m30->dec->msgs[ch].fd_msg_ready_vd, unit::vd, ch);
    }
    for (int a = 0; a < M30_AUDIO_RES; ++a)
        add(m30->dec->audstat[a].fd_msg_ready_ad, unit::ad, a);
}

struct thread_args {
    m30_context *m30;
    int stop_fd;
};

void *thread_main(void *arg) noexcept
{
    std::unique_ptr<thread_args> args(static_cast<thread_args *>(arg));
    m30_context *m30 = args->m30;
    pthread_setname_np(pthread_self(), "SVC:m30-msg");
    served.store(m30);
    if (m30->is_encode)
        for (int ch = 0; ch < M30_CHANNELS; ++ch) {
            sei_rings[ch].reset();
            M30_LOG(m30, ch, M30_LOG_INFO, "%s - SEI raw buffer ctor.", "m30_vraw_info_ctor");
        }

    std::vector<pollfd> fds;
    std::vector<slot> what;
    bool stopped = false;
    try {
        fds.reserve(16);
        what.reserve(16);
    } catch (...) {
    }
    while (!stopped && m30_get_main_state(m30) != M30_MAIN_STATE_ERROR) {
        try {
            build_wait_set(m30, args->stop_fd, fds, what);
        } catch (...) {
            break;
        }
        int n = ::poll(fds.data(), fds.size(), 1000);
        if (n < 0) {
            if (errno != EINTR) {
                M30_LOG(m30, -1, M30_LOG_ERROR, "Message receive thread - select() function failed: %s",
                        std::strerror(errno));
                timespec pause{0, 10'000'000};
                nanosleep(&pause, nullptr);
            }
            continue;
        }
        for (size_t k = 0; k < fds.size() && n > 0; ++k) {
            if (!(fds[k].revents & (POLLIN | POLLERR | POLLHUP)))
                continue;
            const slot &s = what[k];
            switch (s.u) {
            case unit::stop: stopped = true; break;
            case unit::vi:
                if (receive(m30, fds[k].fd, FMB_MESSAGE_TARGET_VI, static_cast<unsigned>(s.index), m30->msg_enc) == 0)
                    handle_vi(m30, m30->msg_enc);
                break;
            case unit::vsync: vsync_timeout(m30, s.index); break;
            case unit::dmx:
                if (receive(m30, fds[k].fd, FMB_MESSAGE_TARGET_DMX, static_cast<unsigned>(s.index), m30->msg_dec) == 0)
                    handle_dmx(m30, s.index, m30->msg_dec);
                break;
            case unit::vd:
                if (receive(m30, fds[k].fd, FMB_MESSAGE_TARGET_VD, static_cast<unsigned>(s.index), m30->msg_dec) == 0)
                    handle_vd(m30, s.index, m30->msg_dec);
                break;
            case unit::ad:
                if (receive(m30, fds[k].fd, FMB_MESSAGE_TARGET_AD, static_cast<unsigned>(s.index), m30->msg_dec) == 0)
                    handle_ad(m30, s.index, m30->msg_dec);
                break;
            }
            if (stopped)
                break;
        }
    }
    if (!stopped)
        M30_LOG(m30, -1, M30_LOG_ERROR, "Message receive thread - detected error state. Exiting.");
    // Mark "not running". The launcher may publish our id only now: it
    // checks msg_ended after publishing, so one of us always puts tid_main
    // back (both sequentially consistent).
    m30->msg_ended.store(true);
    pthread_t self = pthread_self();
    m30->tid_message.compare_exchange_strong(self, m30->tid_main);
    return nullptr;
}

int join_thread(m30_context *m30) noexcept
{
    if (!m30->msg_joinable)
        return 0;
    if (m30->msg_stop_fd >= 0)
        ::eventfd_write(m30->msg_stop_fd, 1);
    int rc = pthread_join(m30->msg_thread, nullptr);
    if (rc != 0)
        M30_LOG(m30, -1, M30_LOG_ERROR, "%s pthread_join failed: %s", "m30_cancel_msg_thread", std::strerror(rc));
    m30->msg_joinable = false;
    if (m30->msg_stop_fd >= 0)
        ::close(m30->msg_stop_fd);
    m30->msg_stop_fd = -1;
    m30->tid_message.store(m30->tid_main);
    return rc == 0 ? 0 : -1;
}

// Creates the thread at SCHED_RR 97 when the process may; with KD_NO_RT
// set, or without the privilege, at normal priority.
int create_thread(m30_context *m30, thread_args *args, pthread_t *tid) noexcept
{
    const char *fn = "m30_launch_msg_thread";
    if (!no_rt()) {
        pthread_attr_t attr;
        int rc = pthread_attr_init(&attr);
        if (rc != 0) {
            M30_LOG(m30, -1, M30_LOG_ERROR, "%s pthread_attr_init failed: %s", fn, std::strerror(rc));
            return -1;
        }
        sched_param sp{};
        sp.sched_priority = 97;
        const char *step = nullptr;
        if ((rc = pthread_attr_setinheritsched(&attr, PTHREAD_EXPLICIT_SCHED)) != 0)
            step = "%s pthread_attr_setinheritsched failed: %s";
        else if ((rc = pthread_attr_setschedpolicy(&attr, SCHED_RR)) != 0)
            step = "%s pthread_attr_setschedpolicy failed: %s";
        else if ((rc = pthread_attr_setschedparam(&attr, &sp)) != 0)
            step = "%s pthread_attr_setschedparam failed: %s";
        else if ((rc = pthread_create(tid, &attr, thread_main, args)) != 0 && rc != EPERM)
            step = "%s pthread_create failed: %s";
        pthread_attr_destroy(&attr);
        if (step) {
            M30_LOG(m30, -1, M30_LOG_ERROR, step, fn, std::strerror(rc));
            return -1;
        }
        if (rc == 0)
            return 0;
        M30_LOG(m30, -1, M30_LOG_WARN, "%s no real-time privilege: message thread at normal priority", fn);
    }
    int rc = pthread_create(tid, nullptr, thread_main, args);
    if (rc != 0) {
        M30_LOG(m30, -1, M30_LOG_ERROR, "%s pthread_create failed: %s", fn, std::strerror(rc));
        return -1;
    }
    return 0;
}

} // namespace

m30_channel_config_dec m30_msg_cfg_copy(m30_context *m30, int ch) noexcept
{
    std::lock_guard l(m30->msg_cfg_mutex);
    return m30->msg_cfg[ch];
}

void m30_stop_msg_thread(m30_context *m30) noexcept
{
    join_thread(m30);
    m30_context *expected = m30;
    served.compare_exchange_strong(expected, nullptr);
}

extern "C" {

M30_API int m30_launch_msg_thread(m30_context *m30_) noexcept
{
    if (!m30_)
        return errno = EINVAL, -1;
    if (!m30_on_main_thread(m30_, __func__))
        return -1;
    if (!pthread_equal(m30_->tid_message.load(), m30_->tid_main))
        return 0;
    // A thread that ended by itself on ERROR is still to be joined.
    if (join_thread(m30_) < 0)
        return -1;
    // The thread starts with empty copies; cleared here, before it runs,
    // so that a channel started right after the launch keeps its copy.
    {
        std::lock_guard l(m30_->msg_cfg_mutex);
        std::memset(m30_->msg_cfg, 0, sizeof m30_->msg_cfg);
    }
    int stop_fd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (stop_fd < 0) {
        M30_LOG(m30_, -1, M30_LOG_ERROR, "%s pthread_create failed: %s", __func__, std::strerror(errno));
        return -1;
    }
    m30_->msg_ended.store(false);
    thread_args *args = new (std::nothrow) thread_args{m30_, stop_fd};
    pthread_t tid;
    if (!args || create_thread(m30_, args, &tid) < 0) {
        delete args;
        ::close(stop_fd);
        return -1;
    }
    m30_->msg_thread = tid;
    m30_->msg_joinable = true;
    m30_->msg_stop_fd = stop_fd;
    m30_->tid_message.store(tid);
    if (m30_->msg_ended.load()) {
        pthread_t t = tid;
        m30_->tid_message.compare_exchange_strong(t, m30_->tid_main);
    }
    return 0;
}

M30_API int m30_cancel_msg_thread(m30_context *m30_) noexcept
{
    if (!m30_)
        return errno = EINVAL, -1;
    if (!m30_on_main_thread(m30_, __func__))
        return -1;
    return join_thread(m30_);
}

M30_API int m30_update_messaging_cfg_copy(m30_context *m30_, int ch_) noexcept
{
    if (!m30_ || m30_->driver_control < 0 || ch_ < 0 || ch_ >= M30_CHANNELS || m30_->chcfg[ch_].m30_id < 0)
        return errno = EINVAL, -1;
    if (m30_->is_encode)
        return 0;
    if (ch_ >= M30_DEC_CHANNELS)
        return errno = EINVAL, -1;
    std::lock_guard l(m30_->msg_cfg_mutex);
    m30_->msg_cfg[ch_] = m30_->dec->chcfg[ch_];
    return 0;
}

M30_API uint8_t *m30_sei_pic_info_wr_prep(unsigned chn, size_t src_len) noexcept
{
    if (chn >= M30_CHANNELS || src_len >= M30_SEI_PIC_INFO_SIZE)
        return nullptr;
    vraw_info_ctl &r = sei_rings[chn];
    if (r.full())
        return nullptr;
    return r.pic_info_buf[r.wr_idx.load(std::memory_order_relaxed)];
}

M30_API void sei_pic_info_wr_fini(unsigned chn, size_t len) noexcept
{
    // A length past the buffer would hand the driver bytes we do not own.
    if (chn >= M30_CHANNELS || len > M30_SEI_PIC_INFO_SIZE)
        return;
    vraw_info_ctl &r = sei_rings[chn];
    if (r.full())
        return;
    int wr = r.wr_idx.load(std::memory_order_relaxed);
    r.vraw_info[wr].pic_info_size = len;
    r.wr_idx.store((wr + 1) % 4, std::memory_order_release);
    m30_debug_printf(" ---> SEI pic info wr fini chn %u sz= %u rd= %u wr= %u\n", chn, static_cast<unsigned>(len),
                     static_cast<unsigned>(r.rd_idx.load()), static_cast<unsigned>(r.wr_idx.load()));
}

M30_API int send_sei_to_enc(unsigned chn, unsigned frm_idx) noexcept
{
    if (chn >= M30_CHANNELS)
        return -1;
    vraw_info_ctl &r = sei_rings[chn];
    int rd = r.rd_idx.load(std::memory_order_relaxed);
    if (rd == r.wr_idx.load(std::memory_order_acquire))
        return -1;
    m30_context *m30 = served.load();
    if (!m30)
        return -1;
    int rc = m30_drv_ioctl(m30->vei_control[chn], FMB_API_ENQUEUE_VRAW_DATA, &r.vraw_info[rd]);
    if (rc < 0) {
        // The entry stays queued: the next call offers it again.
        M30_LOG(m30, static_cast<int>(chn), M30_LOG_ERROR, "%s - ioctl(FMB_API_ENQUEUE_VRAW_DATA) failed (%d)",
                "m30_send_sei_to_enc", rc);
        return -1;
    }
    m30_debug_printf(" ---> SEI send for chn %u frm_idx %u\n", chn, frm_idx);
    if (rc > 0)
        return -1;
    r.rd_idx.store((rd + 1) % 4, std::memory_order_release);
    return 0;
}

} // extern "C"

// Configuration setters and getters. Setters only record: a chip-wide value
// marks the chip for preparation, a per-channel value marks the channel for
// restart, and periodic maintenance applies them.
#include "m30_internal.h"

#include <cerrno>

namespace {

bool chan_ok(const m30_context *m30, int i) { return m30 && i >= 0 && i < M30_CHANNELS; }

bool any_locked(const m30_context *m30)
{
    for (const auto &c : m30->chcfg)
        if (c.is_locked)
            return true;
    return false;
}

// -1 with EBUSY on a locked channel, -1 with EINVAL on a bad index, else 0.
int writable(const m30_context *m30, int i)
{
    if (!chan_ok(m30, i))
        return errno = EINVAL, -1;
    if (m30->chcfg[i].is_locked)
        return errno = EBUSY, -1;
    return 0;
}

// The encode part of channel i, after the lock check; null (no errno) in a
// decode context.
m30_channel_config_enc *enc_cfg(m30_context *m30, int i)
{
    if (writable(m30, i) < 0 || !m30->enc)
        return nullptr;
    return &m30->enc->chcfg[i];
}

const m30_channel_config_enc *enc_read(const m30_context *m30, int i)
{
    return chan_ok(m30, i) && m30->enc ? &m30->enc->chcfg[i] : nullptr;
}

void pmt_dirty(m30_context *m30, int i)
{
    if (m30->enc)
        m30->enc->chcfg[i].pmt_dirty = 1;
}

void pat_dirty(m30_context *m30, int i)
{
    if (m30->enc)
        m30->enc->chcfg[i].pat_dirty = 1;
}

// Stores v; on a change (or always) flags the channel for restart.
template <class T, class V>
int store_restart(m30_context *m30, int i, T &field, V v, bool always = false)
{
    auto nv = static_cast<T>(v);
    if (always || field != nv)
        m30->restart_channel[i] = true;
    field = nv;
    return 0;
}

// Encode setters that restart the channel whatever the value.
template <class T, class V>
int enc_set_always(m30_context *m30, int i, T m30_channel_config_enc::*f, V v)
{
    m30_channel_config_enc *e = enc_cfg(m30, i);
    if (!e)
        return -1;
    return store_restart(m30, i, e->*f, v, true);
}

// A per-channel PID: the tables carry it.
int set_pid(m30_context *m30, int i, uint32_t m30_channel_config::*f, uint32_t pid, bool is_pmt)
{
    if (writable(m30, i) < 0)
        return -1;
    if (m30->chcfg[i].*f != pid)
        is_pmt ? pat_dirty(m30, i) : pmt_dirty(m30, i);
    return store_restart(m30, i, m30->chcfg[i].*f, pid);
}

// Audio resources: index check with its log line, then the lock of the
// channel the resource is bound to.
int audio_writable(m30_context *m30, unsigned k, bool encode_only)
{
    if (!m30)
        return errno = EINVAL, -1;
    if (k >= M30_AUDIO_RES) {
        M30_LOG(m30, -1, M30_LOG_ERROR, "Invalid audio index (%u)", k);
        return errno = EINVAL, -1;
    }
    if (encode_only && !m30->is_encode)
        return -1;
    int ch = m30_audio_get_bound_channel(m30, k);
    if (ch >= 0 && m30->chcfg[ch].is_locked)
        return errno = EBUSY, -1;
    return 0;
}

// Index checks with their log line, then the channel's lock.
int binding_writable(m30_context *m30, unsigned channel, unsigned audio_idx)
{
    if (!m30)
        return errno = EINVAL, -1;
    if (channel >= M30_CHANNELS || audio_idx >= M30_AUDIO_RES) {
        M30_LOG(m30, -1, M30_LOG_ERROR, "Invalid index - channel (%u), or audio (%u)", channel, audio_idx);
        return errno = EINVAL, -1;
    }
    return writable(m30, static_cast<int>(channel));
}

// What a changed value of a bound audio resource marks.
enum audio_effect : unsigned { PMT = 1, RESTART = 2, RESTART_IF_ON = 4, PREPARE = 8 };

template <class T, class V>
int audio_set(m30_context *m30, unsigned k, bool encode_only, T m30_audio_config::*f, V v, unsigned effects)
{
    if (audio_writable(m30, k, encode_only) < 0)
        return -1;
    m30_audio_config &a = m30->audcfg[k];
    int ch = m30_audio_get_bound_channel(m30, k);
    auto nv = static_cast<T>(v);
    if (ch >= 0 && a.*f != nv) {
        if (effects & PMT)
            pmt_dirty(m30, ch);
        if ((effects & RESTART) || ((effects & RESTART_IF_ON) && a.audio_state == M30_ON))
            m30->restart_channel[ch] = true;
        if ((effects & PREPARE) && ch < m30_get_channel_count(m30))
            m30->prepare_needed = true;
    }
    a.*f = nv;
    return 0;
}

bool dec_chan(const m30_context *m30, int ch) { return m30 && m30->dec && ch >= 0 && ch < M30_DEC_CHANNELS; }

// Decode-only message settings take effect only when the report they feed
// is installed.
void restart_if(m30_context *m30, int ch, bool installed)
{
    if (installed)
        m30->restart_channel[ch] = true;
}

} // namespace

extern "C" {

// --- chip-wide ---

M30_API int m30_set_video_mode(m30_context *m30_, m30_video_mode mode_) noexcept
{
    if (!m30_ || mode_ < M30_VIDEO_MODE_HEVC || mode_ > M30_VIDEO_MODE_HEVC_ULL)
        return errno = EINVAL, -1;
    if (any_locked(m30_))
        return errno = EBUSY, -1;
    if (m30_->video_mode == mode_)
        return 0;
    if (!m30_->is_encode) {
        m30_->video_mode = mode_;
        m30_->restart_channel[0] = true;
        m30_channel_stop(m30_, 1);
        return 0;
    }
    for (int i = 0; i < M30_CHANNELS; ++i) {
        m30_->enc->chcfg[i].pmt_dirty = 1;
        if (mode_ == M30_VIDEO_MODE_MPEG2)
            m30_->enc->chcfg[i].hdr_mode = 0; // MPEG-2 video carries no HDR signalling
    }
    m30_->video_mode = mode_;
    m30_->prepare_needed = true;
    return 0;
}

M30_API m30_video_mode m30_get_video_mode(m30_context *m30_) noexcept
{
    return m30_ ? m30_->video_mode : M30_VIDEO_MODE_HEVC;
}

M30_API int m30_set_ultra_low_latency(m30_context *m30_, bool ull_) noexcept
{
    if (!m30_)
        return errno = EINVAL, -1;
    if (any_locked(m30_))
        return errno = EBUSY, -1;
    if (m30_->ultra_low_latency_mode != ull_) {
        m30_->ultra_low_latency_mode = ull_;
        m30_->prepare_needed = true;
    }
    return 0;
}

M30_API bool m30_get_ultra_low_latency(m30_context *m30_) noexcept { return m30_ && m30_->ultra_low_latency_mode; }

M30_API int m30_set_channel_mode(m30_context *m30_, m30_channel_mode mode_) noexcept
{
    if (!m30_)
        return errno = EINVAL, -1;
    if (any_locked(m30_))
        return errno = EBUSY, -1;
    bool multi = mode_ != M30_SINGLE_CHANNEL;
    if (m30_->multi_channel == multi)
        return 0;
    m30_->multi_channel = multi;
    if (m30_->enc && m30_->enc->pat_includes_all)
        for (int i = 0; i < M30_CHANNELS; ++i)
            m30_->enc->chcfg[i].pat_dirty = 1;
    m30_->prepare_needed = true;
    return 0;
}

M30_API m30_channel_mode m30_get_channel_mode(m30_context *m30_) noexcept
{
    return m30_ && m30_->multi_channel ? M30_MULTI_CHANNEL : M30_SINGLE_CHANNEL;
}

M30_API int m30_context_invert_inputs(m30_context *m30_) noexcept
{
    if (!m30_)
        return errno = EINVAL, -1;
    if (any_locked(m30_))
        return errno = EBUSY, -1;
    m30_->invert_inputs = true;
    return 0;
}

// --- audio resources ---

M30_API int m30_audio_get_bound_channel(m30_context *m30_, unsigned audio_idx_) noexcept
{
    if (!m30_ || audio_idx_ >= M30_AUDIO_RES)
        return -1;
    for (int i = 0; i < M30_CHANNELS; ++i)
        if (m30_->chcfg[i].audio_res_idx_group[audio_idx_])
            return i;
    return -1;
}

M30_API int m30_audio_set_state(m30_context *m30_, unsigned audio_idx_, m30_offon state_) noexcept
{
    return audio_set(m30_, audio_idx_, false, &m30_audio_config::audio_state, state_, PMT | RESTART);
}

M30_API int m30_audio_set_mode(m30_context *m30_, unsigned audio_idx_, m30_audio_mode mode_) noexcept
{
    // The audio firmware is chosen in the common block.
    return audio_set(m30_, audio_idx_, false, &m30_audio_config::audio_mode, mode_, PMT | PREPARE);
}

M30_API int m30_audio_set_rate(m30_context *m30_, unsigned audio_idx_, uint32_t rate_bps_) noexcept
{
    return audio_set(m30_, audio_idx_, true, &m30_audio_config::audio_rate_bps, rate_bps_ / 2, RESTART_IF_ON);
}

M30_API int m30_audio_set_pid(m30_context *m30_, unsigned audio_idx_, uint32_t pid_) noexcept
{
    return audio_set(m30_, audio_idx_, false, &m30_audio_config::audio_pid, pid_, PMT | RESTART);
}

M30_API int m30_audio_set_sync(m30_context *m30_, unsigned audio_idx_, int sync_ms_) noexcept
{
    return audio_set(m30_, audio_idx_, true, &m30_audio_config::audio_sync_ms, sync_ms_, RESTART_IF_ON);
}

M30_API int m30_audio_set_mp1_protection(m30_context *m30_, unsigned audio_idx_, m30_aud_mp1_prot v_) noexcept
{
    return audio_set(m30_, audio_idx_, true, &m30_audio_config::audio_mp1_prot, v_, RESTART);
}

M30_API int m30_audio_set_mp1_copyright(m30_context *m30_, unsigned audio_idx_, m30_aud_mp1_cpr v_) noexcept
{
    return audio_set(m30_, audio_idx_, true, &m30_audio_config::audio_mp1_cpri, v_, RESTART);
}

M30_API int m30_audio_set_mp1_copyorig(m30_context *m30_, unsigned audio_idx_, m30_aud_mp1_cpyorg v_) noexcept
{
    return audio_set(m30_, audio_idx_, true, &m30_audio_config::audio_mp1_cpor, v_, RESTART);
}

#define M30_AUDIO_GETTER(name, type, expr)                                             \
    M30_API type name(m30_context *m30_, unsigned audio_idx_) noexcept                 \
    {                                                                                  \
        if (!m30_ || audio_idx_ >= M30_AUDIO_RES)                                      \
            return type{};                                                             \
        const m30_audio_config &a = m30_->audcfg[audio_idx_];                          \
        return expr;                                                                   \
    }
M30_AUDIO_GETTER(m30_audio_get_state, m30_offon, a.audio_state)
M30_AUDIO_GETTER(m30_audio_get_mode, m30_audio_mode, a.audio_mode)
M30_AUDIO_GETTER(m30_audio_get_rate, uint32_t, a.audio_rate_bps * 2)
M30_AUDIO_GETTER(m30_audio_get_pid, uint32_t, a.audio_pid)
M30_AUDIO_GETTER(m30_audio_get_sync, int, a.audio_sync_ms)
M30_AUDIO_GETTER(m30_audio_get_mp1_protection, m30_aud_mp1_prot, a.audio_mp1_prot)
M30_AUDIO_GETTER(m30_audio_get_mp1_copyright, m30_aud_mp1_cpr, a.audio_mp1_cpri)
M30_AUDIO_GETTER(m30_audio_get_mp1_copyorig, m30_aud_mp1_cpyorg, a.audio_mp1_cpor)

M30_API int m30_channel_bind_audio(m30_context *m30_, unsigned channel_, unsigned audio_idx_) noexcept
{
    if (binding_writable(m30_, channel_, audio_idx_) < 0)
        return -1;
    int ch = static_cast<int>(channel_);
    int bound = m30_audio_get_bound_channel(m30_, audio_idx_);
    if (bound == ch)
        return 0;
    if (bound >= 0) {
        M30_LOG(m30_, ch, M30_LOG_ERROR, "Audio index (%u) already in use by channel idx (%u)", audio_idx_,
                static_cast<unsigned>(bound));
        return errno = EBUSY, -1;
    }
    m30_->chcfg[ch].audio_res_idx_group[audio_idx_] = true;
    m30_->restart_channel[ch] = true;
    M30_LOG(m30_, ch, M30_LOG_DEBUG, "Channel %u bound audio %u", channel_, audio_idx_);
    return 0;
}

M30_API int m30_channel_unbind_audio(m30_context *m30_, unsigned channel_, unsigned audio_idx_) noexcept
{
    if (binding_writable(m30_, channel_, audio_idx_) < 0)
        return -1;
    int ch = static_cast<int>(channel_);
    if (!m30_->chcfg[ch].audio_res_idx_group[audio_idx_])
        return 0;
    // A decoder would go on feeding the resource's output: stop first.
    if (!m30_->is_encode)
        m30_channel_stop(m30_, ch);
    m30_->chcfg[ch].audio_res_idx_group[audio_idx_] = false;
    m30_->restart_channel[ch] = true;
    M30_LOG(m30_, ch, M30_LOG_DEBUG, "Channel %u unbound audio %u", channel_, audio_idx_);
    return 0;
}

// --- channels ---

M30_API int m30_channel_set_video_rate(m30_context *m30_, int i_, uint32_t rate_) noexcept
{
    m30_channel_config_enc *e = enc_cfg(m30_, i_);
    if (!e)
        return -1;
    if (rate_ < 1000 || rate_ > (i_ == 0 ? 94916u : 24616u))
        return errno = EINVAL, -1;
    return store_restart(m30_, i_, e->vid_rate, rate_);
}

M30_API int m30_channel_set_system_rate(m30_context *m30_, int i_, uint32_t rate_) noexcept
{
    m30_channel_config_enc *e = enc_cfg(m30_, i_);
    if (!e)
        return -1;
    if (rate_ < 1138 || rate_ > (i_ == 0 ? 100000u : 26000u))
        return errno = EINVAL, -1;
    return store_restart(m30_, i_, e->sys_rate, rate_);
}

M30_API int m30_channel_set_latency(m30_context *m30_, int i_, uint32_t latency_) noexcept
{
    return enc_set_always(m30_, i_, &m30_channel_config_enc::latency, latency_);
}
M30_API int m30_channel_set_rate_control(m30_context *m30_, int i_, m30_ratectrl rc_) noexcept
{
    return enc_set_always(m30_, i_, &m30_channel_config_enc::rate_control, rc_);
}
M30_API int m30_channel_set_aspect_ratio(m30_context *m30_, int i_, m30_aspect_ratio ar_) noexcept
{
    return enc_set_always(m30_, i_, &m30_channel_config_enc::aspect_ratio, ar_);
}
M30_API int m30_channel_set_gop_mode(m30_context *m30_, int i_, uint32_t closed_gop_) noexcept
{
    return enc_set_always(m30_, i_, &m30_channel_config_enc::closed_gop, closed_gop_);
}
M30_API int m30_channel_set_ip_period(m30_context *m30_, int i_, uint32_t ip_period_) noexcept
{
    // The GOP length is computed per IP period: a period of 0 would divide
    // by zero at the next encode start.
    if (enc_read(m30_, i_) && ip_period_ == 0)
        return errno = EINVAL, -1;
    return enc_set_always(m30_, i_, &m30_channel_config_enc::ip_period, ip_period_);
}
M30_API int m30_channel_set_frame_num_in_gop(m30_context *m30_, int i_, uint32_t n_) noexcept
{
    return enc_set_always(m30_, i_, &m30_channel_config_enc::frame_num_in_gop, n_);
}
M30_API int m30_channel_set_avc_initial_cpb_delay(m30_context *m30_, int i_, m30_avc_initial_cpb_delay d_) noexcept
{
    if (enc_read(m30_, i_) && (d_ < M30_AVC_INITIAL_CPB_DELAY_60 || d_ > M30_AVC_INITIAL_CPB_DELAY_100))
        return errno = EINVAL, -1;
    return enc_set_always(m30_, i_, &m30_channel_config_enc::avc_initial_cpb_delay, d_);
}

M30_API int m30_channel_set_vid_std(m30_context *m30_, int i_, m30_vidstd vidstd_) noexcept
{
    if (writable(m30_, i_) < 0)
        return -1;
    if (vidstd_ < M30_VIDSTD_INVALID || vidstd_ >= M30_VIDSTD_END)
        return errno = EINVAL, -1;
    return store_restart(m30_, i_, m30_->chcfg[i_].vid_std, vidstd_);
}

M30_API int m30_channel_set_chroma_fmt(m30_context *m30_, int i_, m30_chroma_fmt fmt_) noexcept
{
    if (writable(m30_, i_) < 0)
        return -1;
    return store_restart(m30_, i_, m30_->chcfg[i_].chroma_fmt, fmt_);
}

M30_API int m30_channel_set_bit_depth(m30_context *m30_, int i_, uint32_t bd_) noexcept
{
    if (writable(m30_, i_) < 0)
        return -1;
    if (bd_ != 8 && bd_ != 10)
        return errno = EINVAL, -1;
    if (m30_->enc && bd_ == 8)
        m30_->enc->chcfg[i_].hdr_mode = 0; // HDR needs 10-bit samples
    return store_restart(m30_, i_, m30_->chcfg[i_].bit_depth, bd_);
}

M30_API int m30_channel_set_video_pid(m30_context *m30_, int i_, uint32_t pid_) noexcept
{
    return set_pid(m30_, i_, &m30_channel_config::vid_pid, pid_, false);
}
M30_API int m30_channel_set_pcr_pid(m30_context *m30_, int i_, uint32_t pid_) noexcept
{
    return set_pid(m30_, i_, &m30_channel_config::pcr_pid, pid_, false);
}
M30_API int m30_channel_set_teletext_pid(m30_context *m30_, int i_, uint32_t pid_) noexcept
{
    return set_pid(m30_, i_, &m30_channel_config::teletext_pid, pid_, false);
}
M30_API int m30_channel_set_smpte2038_pid(m30_context *m30_, int i_, uint32_t pid_) noexcept
{
    return set_pid(m30_, i_, &m30_channel_config::smpte2038_pid, pid_, false);
}
M30_API int m30_channel_set_pmt_pid(m30_context *m30_, int i_, uint32_t pid_) noexcept
{
    return set_pid(m30_, i_, &m30_channel_config::pmt_pid, pid_, true);
}

M30_API int m30_channel_set_program(m30_context *m30_, int i_, uint32_t pgm_num_) noexcept
{
    m30_channel_config_enc *e = enc_cfg(m30_, i_);
    if (!e)
        return -1;
    if (e->pgm_num != pgm_num_)
        e->pat_dirty = e->pmt_dirty = 1;
    return store_restart(m30_, i_, e->pgm_num, pgm_num_, true);
}

M30_API int m30_channel_set_tables_version(m30_context *m30_, int i_, uint32_t version_) noexcept
{
    m30_channel_config_enc *e = enc_cfg(m30_, i_);
    if (!e)
        return -1;
    e->pat_ver = version_;
    return store_restart(m30_, i_, e->pmt_ver, version_, true);
}

M30_API int m30_channel_set_startup(m30_context *m30_, int i_, m30_offon startup_) noexcept
{
    if (!chan_ok(m30_, i_))
        return errno = EINVAL, -1;
    m30_->chcfg[i_].video_state = startup_;
    return 0;
}

M30_API int m30_channel_set_vanc_enable(m30_context *m30_, int i_, bool enable_) noexcept
{
    return enc_set_always(m30_, i_, &m30_channel_config_enc::vanc_enable, enable_);
}
M30_API int m30_channel_set_vanc_start_line(m30_context *m30_, int i_, uint32_t line_) noexcept
{
    if (enc_read(m30_, i_))
        M30_LOG(m30_, i_, M30_LOG_DEBUG, "vanc start line (%u)", line_);
    return enc_set_always(m30_, i_, &m30_channel_config_enc::vanc_start_line, line_);
}
M30_API int m30_channel_set_vanc_h_size(m30_context *m30_, int i_, uint32_t h_size_) noexcept
{
    if (enc_read(m30_, i_))
        M30_LOG(m30_, i_, M30_LOG_DEBUG, "vanc h size (%u)", h_size_);
    return enc_set_always(m30_, i_, &m30_channel_config_enc::vanc_h_size, h_size_);
}
M30_API int m30_channel_set_vanc_line_count(m30_context *m30_, int i_, uint32_t count_) noexcept
{
    if (enc_read(m30_, i_)) {
        if (count_ > 4)
            return errno = EINVAL, -1;
        M30_LOG(m30_, i_, M30_LOG_DEBUG, "vanc line count (%u)", count_);
    }
    return enc_set_always(m30_, i_, &m30_channel_config_enc::vanc_line_count, count_);
}

M30_API int m30_channel_set_hdr_mode(m30_context *m30, int chn, int mode) noexcept
{
    m30_channel_config_enc *e = enc_cfg(m30, chn);
    if (!e)
        return -1;
    if (mode != 0 && (m30->video_mode == M30_VIDEO_MODE_MPEG2 || m30->chcfg[chn].bit_depth != 10))
        return errno = EINVAL, -1;
    return store_restart(m30, chn, e->hdr_mode, mode);
}

M30_API int m30_channel_set_input_source(m30_context *m30_, int ch_, bool is_pci_) noexcept
{
    if (m30_ && m30_->is_encode)
        return 0;
    if (!dec_chan(m30_, ch_) || m30_->chcfg[ch_].m30_id < 0)
        return errno = EINVAL, -1;
    if (writable(m30_, ch_) < 0)
        return -1;
    return store_restart(m30_, ch_, m30_->dec->chcfg[ch_].is_pci_input_ts, is_pci_);
}

M30_API int m30_channel_enable_sei_user_data(m30_context *m30_, int ch_, unsigned type_) noexcept
{
    if (!dec_chan(m30_, ch_) || type_ > 4)
        return errno = EINVAL, -1;
    if (writable(m30_, ch_) < 0)
        return -1;
    m30_sei_ud_enable &s = m30_->dec->chcfg[ch_].sei;
    bool *sw[5] = {&s.is_ud_unreg_enabled, &s.is_ud_itut35_enabled, &s.is_mpeg_seq_enabled, &s.is_mpeg_gop_enabled,
                   &s.is_mpeg_pic_enabled};
    *sw[type_] = true;
    restart_if(m30_, ch_, m30_->on_sei_info != nullptr);
    return 0;
}

M30_API int m30_channel_set_sei_payload(m30_context *m30_, int ch_, unsigned index_, uint32_t type_) noexcept
{
    // Payload types 1 to 6 (picture timing, pan-scan, filler, T.35,
    // unregistered, recovery point; ITU-T H.264 D.1) are delivered through
    // their own paths or not at all.
    if (!dec_chan(m30_, ch_) || index_ > 4 || (type_ >= 1 && type_ <= 6))
        return errno = EINVAL, -1;
    if (writable(m30_, ch_) < 0)
        return -1;
    m30_->dec->chcfg[ch_].sei_payload_type[index_] = type_;
    restart_if(m30_, ch_, m30_->on_sei_info != nullptr);
    return 0;
}

M30_API int m30_channel_enable_pid_detect(m30_context *m30_, int ch_, unsigned index_, uint32_t pid_,
                                          m30_pid_format fmt_) noexcept
{
    // 8191 is the null packet (ISO/IEC 13818-1 Table 2-3).
    if (!dec_chan(m30_, ch_) || index_ > 3 || pid_ > 8190)
        return errno = EINVAL, -1;
    if (writable(m30_, ch_) < 0)
        return -1;
    m30_dmx_pid_detect &d = m30_->dec->chcfg[ch_].pids_detect[index_];
    if (d.is_enabled && d.pid == pid_ && d.fmt == fmt_)
        return 0;
    d = {true, pid_, fmt_};
    restart_if(m30_, ch_, m30_->on_pid != nullptr);
    return 0;
}

M30_API int m30_channel_disable_pid_detect(m30_context *m30_, int ch_, unsigned index_) noexcept
{
    if (!dec_chan(m30_, ch_) || index_ > 3)
        return errno = EINVAL, -1;
    if (writable(m30_, ch_) < 0)
        return -1;
    m30_dmx_pid_detect &d = m30_->dec->chcfg[ch_].pids_detect[index_];
    if (!d.is_enabled)
        return 0;
    d = {false, 0, M30_PID_FMT_SECTION};
    restart_if(m30_, ch_, m30_->on_pid != nullptr);
    return 0;
}

// --- getters ---

#define M30_ENC_GETTER(name, type, field)                                               \
    M30_API type name(m30_context *m30_, int i_) noexcept                               \
    {                                                                                   \
        const m30_channel_config_enc *e = enc_read(m30_, i_);                           \
        return e ? static_cast<type>(e->field) : type{};                                \
    }
M30_ENC_GETTER(m30_channel_get_video_rate, uint32_t, vid_rate)
M30_ENC_GETTER(m30_channel_get_system_rate, uint32_t, sys_rate)
M30_ENC_GETTER(m30_channel_get_latency, uint32_t, latency)
M30_ENC_GETTER(m30_channel_get_rate_control, m30_ratectrl, rate_control)
M30_ENC_GETTER(m30_channel_get_aspect_ratio, m30_aspect_ratio, aspect_ratio)
M30_ENC_GETTER(m30_channel_get_gop_mode, uint32_t, closed_gop)
M30_ENC_GETTER(m30_channel_get_ip_period, uint32_t, ip_period)
M30_ENC_GETTER(m30_channel_get_frame_num_in_gop, uint32_t, frame_num_in_gop)
M30_ENC_GETTER(m30_channel_get_avc_initial_cpb_delay, m30_avc_initial_cpb_delay, avc_initial_cpb_delay)
M30_ENC_GETTER(m30_channel_get_vanc_enable, bool, vanc_enable)
M30_ENC_GETTER(m30_channel_get_vanc_start_line, uint32_t, vanc_start_line)
M30_ENC_GETTER(m30_channel_get_vanc_line_count, uint32_t, vanc_line_count)
M30_ENC_GETTER(m30_channel_get_vanc_h_size, uint32_t, vanc_h_size)
M30_ENC_GETTER(m30_channel_get_hdr_mode, int, hdr_mode)

#define M30_CHAN_GETTER(name, type, field)                                              \
    M30_API type name(m30_context *m30_, int i_) noexcept                               \
    {                                                                                   \
        return chan_ok(m30_, i_) ? static_cast<type>(m30_->chcfg[i_].field) : type{};   \
    }
M30_CHAN_GETTER(m30_channel_get_vid_std, m30_vidstd, vid_std)
M30_CHAN_GETTER(m30_channel_get_bit_depth, uint32_t, bit_depth)
M30_CHAN_GETTER(m30_channel_get_chroma_fmt, m30_chroma_fmt, chroma_fmt)
M30_CHAN_GETTER(m30_channel_get_video_pid, uint32_t, vid_pid)
M30_CHAN_GETTER(m30_channel_get_pcr_pid, uint32_t, pcr_pid)
M30_CHAN_GETTER(m30_channel_get_teletext_pid, uint32_t, teletext_pid)
M30_CHAN_GETTER(m30_channel_get_smpte2038_pid, uint32_t, smpte2038_pid)
M30_CHAN_GETTER(m30_channel_get_startup, m30_offon, video_state)

M30_API int m30_channel_get_frame_count(m30_context *m30_, int i_) noexcept
{
    return chan_ok(m30_, i_) && m30_->enc ? m30_->enc->chstat[i_].frame_count.load(std::memory_order_relaxed) : 0;
}

} // extern "C"

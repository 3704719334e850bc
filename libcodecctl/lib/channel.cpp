// Decode channels: starting (parameter blocks, messages, output, input),
// stopping (both modes), the software-fed transport-stream input, message
// switches and the decode status the message thread keeps.
#include "decode/adparam.h"
#include "decode/aoparam.h"
#include "decode/dmxparam.h"
#include "decode/dparam.h"
#include "decode/siparam.h"
#include "decode/vdparam.h"
#include "decode/vfparam.h"
#include "decode/voparam.h"
#include "m30_internal.h"

#include <cerrno>
#include <cstring>

namespace {

constexpr uint32_t si_base = 0x20009000, dmx_base = 0x2000A000, d_base = 0x2000B000, vd_base = 0x20013000,
                   ad_base = 0x2001B000, vf_base = 0x20023000, vo_base = 0x20033000, ao_base = 0x20043000;
constexpr uint32_t block_stride = 0x100;

bool valid_dec_channel(const m30_context *m30, int ch)
{
    return m30 && m30->dec && ch >= 0 && ch < M30_DEC_CHANNELS;
}

bool audio_active(const m30_context *m30, int ch, int k)
{
    return m30->chcfg[ch].audio_res_idx_group[k] && m30->audcfg[k].audio_state == M30_ON;
}

// Renders a block into a 1024-byte image and loads it; the block's own
// message is logged by the caller.
template <class B, class ToBin>
int load(m30_context *m30, int chip_id, uint32_t base, const char *tag, int dump_index, B &b, ToBin to_bin)
{
    uint8_t image[1024];
    int n = to_bin(&b, image, sizeof image);
    if (n < 0)
        return -1;
    return m30_load_param_block(m30, chip_id, base, tag, dump_index, image, static_cast<size_t>(n));
}

bool main_state_error(m30_context *m30) { return m30_get_main_state(m30) == M30_MAIN_STATE_ERROR; }

void load_blocks(m30_context *m30, int i, m30_vidstd std, const unsigned apids[4])
{
    const m30_channel_config &c = m30->chcfg[i];
    const m30_channel_config_dec &dc = m30->dec->chcfg[i];
    int id = c.m30_id;
    uint32_t off = block_stride * static_cast<uint32_t>(id);
    auto u = static_cast<unsigned>(i);

    siparam si;
    siparam_init(&si, u);
    if (load(m30, id, si_base + off, "si", id, si, siparam_to_bin) < 0)
        M30_LOG(m30, i, M30_LOG_ERROR, "Error loading SI params");

    dmxparam dmx;
    dmxparam_init(&dmx);
    dmxparam_set_video_pid(&dmx, c.vid_pid);
    dmxparam_set_pcr_pid(&dmx, c.pcr_pid);
    dmxparam_set_audio_pids(&dmx, apids);
    dmxparam_set_other_pids(&dmx, dc.pids_detect);
    if (load(m30, id, dmx_base + off, "dmx", id, dmx, dmxparam_to_bin) < 0)
        M30_LOG(m30, i, M30_LOG_ERROR, "Error loading DMX params");

    dparam d;
    dparam_init(&d, dc.is_pci_input_ts);
    dparam_set_video_mode(&d, m30->video_mode);
    dparam_set_video_clock_freq(&d, m30_vidstd_to_dparam_vclk_fq(std));
    dparam_set_audio_pids_info(&d, apids);
    for (unsigned k = 0; k < M30_AUDIO_RES; ++k)
        dparam_set_audio_mode(&d, k, m30->audcfg[k].audio_mode);
    if (load(m30, id, d_base + off, "d", id, d, dparam_to_bin) < 0)
        M30_LOG(m30, i, M30_LOG_ERROR, "Error loading D params");

    vdparam vd;
    vdparam_init(&vd);
    unsigned pt[5];
    for (int n = 0; n < 5; ++n)
        pt[n] = dc.sei_payload_type[n];
    vdparam_set_sei_info_msgs(&vd, pt, dc.sei.is_mpeg_pic_enabled, dc.sei.is_mpeg_gop_enabled,
                              dc.sei.is_mpeg_seq_enabled);
    if (load(m30, id, vd_base + off, "vd", id, vd, vdparam_to_bin) < 0)
        M30_LOG(m30, i, M30_LOG_ERROR, "Error loading VD params");

    vfparam vf;
    vfparam_init(&vf);
    vfparam_set_hsize(&vf, hsize_for_vidstd(std));
    vfparam_set_vsize(&vf, vsize_for_vidstd(std));
    vfparam_set_chroma_fmt(&vf, c.chroma_fmt);
    vfparam_set_bit_depth(&vf, c.bit_depth);
    if (load(m30, id, vf_base + off, "vf", id, vf, vfparam_to_bin) < 0)
        M30_LOG(m30, i, M30_LOG_ERROR, "Error loading VF params");

    voparam vo;
    voparam_init(&vo, u);
    voparam_set_vformat(&vo, m30_to_voparam_vidstd(std));
    voparam_set_frame_rate(&vo, m30_to_voparam_frame_rate(frame_rate_for_vidstd(std)));
    int vo_rc = 0;
    if (!m30->multi_channel && uhd_for_vidstd(std)) {
        // One UHD picture is four quadrant outputs, each with its copy.
        for (int q = 0; q < 4; ++q)
            if (load(m30, id, vo_base + block_stride * static_cast<uint32_t>(q), "vo", q, vo, voparam_to_bin) < 0)
                vo_rc = -1;
    } else {
        vo_rc = load(m30, id, vo_base + off, "vo", id, vo, voparam_to_bin);
    }
    if (vo_rc < 0)
        M30_LOG(m30, i, M30_LOG_ERROR, "Error loading VO params");

    for (int k = 0; k < M30_AUDIO_RES; ++k) {
        if (!audio_active(m30, i, k))
            continue;
        auto ku = static_cast<uint32_t>(k);
        adparam ad;
        adparam_init(&ad);
        if (load(m30, id, ad_base + block_stride * ku, "ad", k, ad, adparam_to_bin) < 0)
            M30_LOG(m30, i, M30_LOG_ERROR, "Error loading AD params for audio resource idx %u", ku);
        aoparam ao;
        aoparam_init(&ao, u);
        if (load(m30, id, ao_base + block_stride * ku, "ao", k, ao, aoparam_to_bin) < 0)
            M30_LOG(m30, i, M30_LOG_ERROR, "Error loading AO params for audio resource idx %u", ku);
    }
}

int start_decode(m30_context *m30, int i)
{
    int id = m30->chcfg[i].m30_id;
    if (m30_get_input_state(m30, id) != M30_INPUT_STATE_STOP) {
        M30_LOG(m30, i, M30_LOG_ERROR, "Input expected in stop state!");
        return errno = EPERM, -1;
    }
    if (i >= m30_get_channel_count(m30)) {
        M30_LOG(m30, i, M30_LOG_ERROR, "Invalid channel index. Channel not in use.");
        return errno = EINVAL, -1;
    }
    m30_vidstd std = m30->chcfg[i].vid_std;
    if (std == M30_VIDSTD_INVALID) {
        M30_LOG(m30, i, M30_LOG_DEBUG, "channel not started - video std required");
        m30->restart_channel[i] = false;
        return 0;
    }
    if (m30->multi_channel && uhd_for_vidstd(std)) {
        std = uhd_vidstd_to_non_uhd(std);
        M30_LOG(m30, i, M30_LOG_INFO, "Constraining video std from UHD to non-UHD");
        m30_report_cfg_change(m30, i, M30_CHANGE_VIDSTD);
    }
    if (m30->on_ch_prestart_chk)
        m30->on_ch_prestart_chk(m30->on_ch_prestart_chk_ctx, i);
    unsigned apids[4] = {};
    for (int k = 0; k < M30_AUDIO_RES; ++k)
        if (audio_active(m30, i, k))
            apids[k] = m30->audcfg[k].audio_pid;
    load_blocks(m30, i, std, apids);

    if (m30->dec->chcfg[i].is_pci_input_ts) {
        if (m30_channel_open_pci_input_device(m30, i) < 0)
            M30_LOG(m30, i, M30_LOG_ERROR, "Could not open device for PCI input.");
    } else {
        m30_drv_close(m30->dec->fd_pci_input_ts[i]);
        m30->dec->fd_pci_input_ts[i] = -1;
    }
    m30_update_messaging_cfg_copy(m30, i);
    if (m30_enable_messages(m30, i) < 0)
        M30_LOG(m30, i, M30_LOG_ERROR, "Failed ioctl to enable msgs: %s", std::strerror(errno));
    if (m30_output_start(m30, id) < 0)
        M30_LOG(m30, i, M30_LOG_ERROR, "Failed ioctl call to start output: %s", std::strerror(errno));
    if (main_state_error(m30)) {
        M30_LOG(m30, i, M30_LOG_ERROR, "Starting outputs...Error detected!!");
        return errno = EINVAL, -1;
    }
    if (m30_input_start(m30, id) < 0)
        M30_LOG(m30, i, M30_LOG_ERROR, "Failed ioctl to start input: %s", std::strerror(errno));
    if (main_state_error(m30)) {
        M30_LOG(m30, i, M30_LOG_ERROR, "Starting inputs...Error detected!!");
        return errno = EINVAL, -1;
    }
    m30->restart_channel[i] = false;
    return 0;
}

// Stops the input unless it reads STOP; -1 when the chip then reads ERROR
// (reported to the user when `report`).
int stop_input(m30_context *m30, int i, int id, bool report)
{
    if (m30_get_input_state(m30, id) != M30_INPUT_STATE_STOP && m30_input_stop(m30, id) < 0)
        M30_LOG(m30, i, M30_LOG_ERROR, "Failed stopping input: %s", std::strerror(errno));
    if (main_state_error(m30)) {
        M30_LOG(m30, i, M30_LOG_ERROR, "Stopping inputs...Error detected!!");
        if (report)
            m30_report_encstatus(m30, i, M30_ENCSTATUS_NONE);
        return -1;
    }
    return 0;
}

} // namespace

extern "C" M30_API int m30_channel_start(m30_context *m30_, int i_) noexcept
{
    if (!m30_ || i_ < 0 || i_ >= M30_CHANNELS)
        return errno = EINVAL, -1;
    if (m30_->is_encode)
        return m30_channel_start_encode(m30_, static_cast<unsigned>(i_)) < 0 ? -1 : 0;
    if (i_ >= M30_DEC_CHANNELS) {
        M30_LOG(m30_, i_, M30_LOG_ERROR, "Invalid channel index. Channel not in use.");
        return errno = EINVAL, -1;
    }
    return start_decode(m30_, i_);
}

extern "C" M30_API int m30_channel_stop(m30_context *m30_, int i_) noexcept
{
    if (!m30_ || i_ < 0 || i_ >= M30_CHANNELS)
        return errno = EINVAL, -1;
    bool enc = m30_->is_encode;
    if (!enc && i_ >= M30_DEC_CHANNELS)
        return 0;
    if (main_state_error(m30_)) {
        M30_LOG(m30_, i_, M30_LOG_ERROR, "Entering channel stop... Error detected!!");
        m30_report_encstatus(m30_, i_, M30_ENCSTATUS_NONE);
        return -1;
    }
    int id = m30_->chcfg[i_].m30_id;
    m30_input_state in = m30_get_input_state(m30_, id);
    m30_output_state out = m30_get_output_state(m30_, id);
    if (in == M30_INPUT_STATE_STOP && out == M30_OUTPUT_STATE_STOP)
        return 0;
    // A decoder's input feeds its output: stop taking data first.
    if (!enc && stop_input(m30_, i_, id, false) < 0)
        return -1;
    switch (out) {
    case M30_OUTPUT_STATE_INVALID:
        M30_LOG(m30_, i_, M30_LOG_ERROR, "Output state is INVALID");
        return -1;
    case M30_OUTPUT_STATE_END:
        M30_LOG(m30_, i_, M30_LOG_ERROR, "Impossible output state is END");
        return -1;
    default:
        break;
    }
    if (out == M30_OUTPUT_STATE_START) {
        if (m30_->driver_control < 0) {
            M30_LOG(m30_, i_, M30_LOG_ERROR, "Error ready to stop output: driver_control invalid");
        } else if (enc) {
            // An encoder flushes what it holds before its output stops.
            if (m30_get_output_state(m30_, id) == M30_OUTPUT_STATE_START) {
                int rc = m30_output_ready_to_stop(m30_, id);
                if (rc < 0)
                    M30_LOG(m30_, i_, M30_LOG_ERROR, "Error ready to stop output: ioctl() failed (%d).", rc);
            } else {
                M30_LOG(m30_, i_, M30_LOG_ERROR, "Error ready to stop output: invalid state");
            }
        }
        if (main_state_error(m30_)) {
            M30_LOG(m30_, i_, M30_LOG_ERROR, "Ready to stop outputs...Error detected!!");
            m30_report_encstatus(m30_, i_, M30_ENCSTATUS_NONE);
            return -1;
        }
        m30_report_encstatus(m30_, i_, M30_ENCSTATUS_STOP);
    }
    if (out == M30_OUTPUT_STATE_START || out == M30_OUTPUT_STATE_READY_TO_STOP) {
        m30_output_state now = m30_get_output_state(m30_, id);
        m30_output_state want = enc ? M30_OUTPUT_STATE_READY_TO_STOP : M30_OUTPUT_STATE_START;
        if (now != want) {
            M30_LOG(m30_, i_, M30_LOG_ERROR, "Error stopping output: %s", "unexpected output state");
        } else if (m30_output_stop(m30_, id) < 0) {
            M30_LOG(m30_, i_, M30_LOG_ERROR, "Error stopping output: %s", std::strerror(errno));
        }
        if (main_state_error(m30_)) {
            M30_LOG(m30_, i_, M30_LOG_ERROR, "Stopping outputs...Error detected!!");
            m30_report_encstatus(m30_, i_, M30_ENCSTATUS_NONE);
            return -1;
        }
        if (!enc)
            m30_decode_clear_message_stats(m30_, i_);
    }
    if (stop_input(m30_, i_, id, true) < 0)
        return -1;
    if (m30_disable_messages(m30_, i_) < 0)
        M30_LOG(m30_, i_, M30_LOG_ERROR, "Failed ioctl to disable msgs: %s", std::strerror(errno));
    m30_report_encstatus(m30_, i_, M30_ENCSTATUS_IDLE);
    return 0;
}

extern "C" M30_API int m30_channel_open_pci_input_device(m30_context *m30_, int ch_) noexcept
{
    if (!valid_dec_channel(m30_, ch_) || m30_->driver_path[0] == '\0' || m30_->chcfg[ch_].m30_id < 0)
        return errno = EINVAL, -1;
    if (m30_->dec->fd_pci_input_ts[ch_] >= 0)
        return 0;
    int fd = m30_drv_open_bound(m30_->driver_path,
                                static_cast<uint16_t>(FMB_DEVICE_TS_INPUT_BASE + m30_->chcfg[ch_].m30_id));
    if (fd < 0)
        return -1;
    m30_->dec->fd_pci_input_ts[ch_] = fd;
    return 0;
}

extern "C" M30_API int m30_channel_send(m30_context *m30_, int ch_, const uint8_t *buf_, size_t len_, bool start,
                                        bool finish) noexcept
{
    if (!valid_dec_channel(m30_, ch_) || !buf_ || len_ == 0 || m30_->chcfg[ch_].m30_id < 0 ||
        !m30_->dec->chcfg[ch_].is_pci_input_ts || m30_->dec->fd_pci_input_ts[ch_] < 0)
        return errno = EINVAL, -1;
    if (m30_get_input_state(m30_, m30_->chcfg[ch_].m30_id) != M30_INPUT_STATE_START) {
        M30_LOG(m30_, ch_, M30_LOG_ERROR, "Input expected in start state!");
        return errno = EPERM, -1;
    }
    if (ch_ >= m30_get_channel_count(m30_)) {
        M30_LOG(m30_, ch_, M30_LOG_ERROR, "Invalid channel index. Channel not in use.");
        return errno = EINVAL, -1;
    }
    fmb_enqueue_stream_data_info info{};
    info.stream_data_p = const_cast<uint8_t *>(buf_);
    info.stream_data_size = len_;
    info.is_first_stream = start;
    info.is_last_stream = finish;
    if (m30_drv_ioctl(m30_->dec->fd_pci_input_ts[ch_], FMB_API_ENQUEUE_STREAM_DATA, &info) < 0) {
        M30_LOG(m30_, ch_, M30_LOG_ERROR, "Failed ioctl to queue stream data: %s", std::strerror(errno));
        return -1;
    }
    return 0;
}

// --- message switches ---

namespace {

int chip_id_of(const m30_context *m30, int ch)
{
    return m30 && ch >= 0 && ch < M30_CHANNELS ? m30->chcfg[ch].m30_id : -1;
}

int switch_bits(m30_context *m30, int id, uint32_t reg, uint32_t bits, bool on)
{
    if (!m30 || m30->driver_control < 0 || id < 0)
        return errno = EINVAL, -1;
    return m30_msg_enable_bits(m30->driver_control, reg, bits, on);
}

} // namespace

extern "C" {

M30_API int m30_dmx_decode_msgs_enable(m30_context *m30_, int ch_) noexcept
{
    int id = chip_id_of(m30_, ch_);
    return switch_bits(m30_, id, M30_REG_DMX_MSG_ENABLE(id), M30_DMX_MSG_BITS, true);
}
M30_API int m30_dmx_decode_msgs_disable(m30_context *m30_, int ch_) noexcept
{
    int id = chip_id_of(m30_, ch_);
    return switch_bits(m30_, id, M30_REG_DMX_MSG_ENABLE(id), M30_DMX_MSG_BITS, false);
}
M30_API int m30_vd_decode_msgs_enable(m30_context *m30_, int ch_) noexcept
{
    int id = chip_id_of(m30_, ch_);
    return switch_bits(m30_, id, M30_REG_VD_MSG_ENABLE(id), M30_VD_MSG_BITS, true);
}
M30_API int m30_vd_decode_msgs_disable(m30_context *m30_, int ch_) noexcept
{
    int id = chip_id_of(m30_, ch_);
    return switch_bits(m30_, id, M30_REG_VD_MSG_ENABLE(id), M30_VD_MSG_BITS, false);
}
M30_API int m30_ad_decode_msgs_enable(m30_context *m30_, int aud_idx_) noexcept
{
    int k = aud_idx_ >= 0 && aud_idx_ < M30_AUDIO_RES ? aud_idx_ : -1;
    return switch_bits(m30_, k, M30_REG_AD_MSG_ENABLE(k), M30_AD_MSG_BITS, true);
}
M30_API int m30_ad_decode_msgs_disable(m30_context *m30_, int aud_idx_) noexcept
{
    int k = aud_idx_ >= 0 && aud_idx_ < M30_AUDIO_RES ? aud_idx_ : -1;
    return switch_bits(m30_, k, M30_REG_AD_MSG_ENABLE(k), M30_AD_MSG_BITS, false);
}

M30_API int m30_enable_messages(m30_context *m30_, int ch_) noexcept
{
    int id = chip_id_of(m30_, ch_);
    if (!m30_ || m30_->driver_control < 0 || id < 0)
        return errno = EINVAL, -1;
    auto uid = static_cast<uint32_t>(id);
    if (m30_->is_encode) {
        // A video input has no message-enable register: registering is all.
        fmb_enable_message_notification_info info{m30_->enc->msgs[ch_].efd_msg_ready_vi, FMB_MESSAGE_TARGET_VI, uid};
        return m30_drv_ioctl(m30_->driver_control, FMB_API_ENABLE_MESSAGE_NOTIFICATION, &info) < 0 ? -1 : 0;
    }
    if (ch_ >= M30_DEC_CHANNELS)
        return errno = EINVAL, -1;
    const m30_dec_msg_fds &fds = m30_->dec->msgs[ch_];
    if (m30_msg_notify_enable(m30_, fds.fd_msg_ready_dmx, FMB_MESSAGE_TARGET_DMX, uid, M30_REG_DMX_MSG_ENABLE(uid),
                              M30_DMX_MSG_BITS) < 0 ||
        m30_msg_notify_enable(m30_, fds.fd_msg_ready_vd, FMB_MESSAGE_TARGET_VD, uid, M30_REG_VD_MSG_ENABLE(uid),
                              M30_VD_MSG_BITS) < 0)
        return -1;
    for (int k = 0; k < M30_AUDIO_RES; ++k) {
        if (!audio_active(m30_, ch_, k))
            continue;
        auto ku = static_cast<uint32_t>(k);
        if (m30_msg_notify_enable(m30_, m30_->dec->audstat[k].fd_msg_ready_ad, FMB_MESSAGE_TARGET_AD, ku,
                                  M30_REG_AD_MSG_ENABLE(ku), M30_AD_MSG_BITS) < 0)
            return -1;
    }
    return 0;
}

M30_API int m30_disable_messages(m30_context *m30_, int ch_) noexcept
{
    int id = chip_id_of(m30_, ch_);
    if (!m30_ || m30_->driver_control < 0 || id < 0)
        return errno = EINVAL, -1;
    auto uid = static_cast<uint32_t>(id);
    if (m30_->is_encode) {
        fmb_disable_message_notification_info info{FMB_MESSAGE_TARGET_VI, uid};
        return m30_drv_ioctl(m30_->driver_control, FMB_API_DISABLE_MESSAGE_NOTIFICATION, &info) < 0 ? -1 : 0;
    }
    if (ch_ >= M30_DEC_CHANNELS)
        return errno = EINVAL, -1;
    if (m30_msg_notify_disable(m30_, FMB_MESSAGE_TARGET_DMX, uid, M30_REG_DMX_MSG_ENABLE(uid), M30_DMX_MSG_BITS) < 0 ||
        m30_msg_notify_disable(m30_, FMB_MESSAGE_TARGET_VD, uid, M30_REG_VD_MSG_ENABLE(uid), M30_VD_MSG_BITS) < 0)
        return -1;
    // Every bound resource, on or off: one switched off since the start
    // may still have its notification registered.
    for (int k = 0; k < M30_AUDIO_RES; ++k) {
        if (!m30_->chcfg[ch_].audio_res_idx_group[k])
            continue;
        auto ku = static_cast<uint32_t>(k);
        if (m30_msg_notify_disable(m30_, FMB_MESSAGE_TARGET_AD, ku, M30_REG_AD_MSG_ENABLE(ku), M30_AD_MSG_BITS) < 0)
            return -1;
    }
    return 0;
}

// --- decode status ---

M30_API uint32_t m30_get_dec_msg_count_vd_info(m30_context *m30_, int ch_) noexcept
{
    return valid_dec_channel(m30_, ch_) ? m30_->dec->chstat[ch_].vd_info_ct.load(std::memory_order_relaxed) : 0;
}
M30_API uint32_t m30_get_dec_msg_count_vd_err(m30_context *m30_, int ch_) noexcept
{
    return valid_dec_channel(m30_, ch_) ? m30_->dec->chstat[ch_].vd_err_info_ct.load(std::memory_order_relaxed) : 0;
}
M30_API uint32_t m30_get_dec_msg_count_dmx_err(m30_context *m30_, int ch_) noexcept
{
    return valid_dec_channel(m30_, ch_) ? m30_->dec->chstat[ch_].dmx_err_info_ct.load(std::memory_order_relaxed)
                                        : 0;
}
M30_API uint32_t m30_get_dec_msg_count_ad_info(m30_context *m30_, int aud_idx_) noexcept
{
    return m30_ && m30_->dec && aud_idx_ >= 0 && aud_idx_ < M30_AUDIO_RES
               ? m30_->dec->audstat[aud_idx_].ad_info.load(std::memory_order_relaxed)
               : 0;
}
M30_API uint32_t m30_get_dec_msg_count_ad_err(m30_context *m30_, int aud_idx_) noexcept
{
    return m30_ && m30_->dec && aud_idx_ >= 0 && aud_idx_ < M30_AUDIO_RES
               ? m30_->dec->audstat[aud_idx_].ad_err.load(std::memory_order_relaxed)
               : 0;
}
M30_API bool m30_decode_has_vd_errors(m30_context *m30, int ch) noexcept
{
    return valid_dec_channel(m30, ch) && m30->dec->chstat[ch].vd_err_info_has_changed.load();
}
M30_API bool m30_decode_has_dmx_errors(m30_context *m30, int ch) noexcept
{
    return valid_dec_channel(m30, ch) && m30->dec->chstat[ch].dmx_err_info_has_changed.load();
}

M30_API int m30_get_dec_vd_error_info(m30_context *m30, int ch, m30_dec_error_status *status, bool reset) noexcept
{
    if (!valid_dec_channel(m30, ch))
        return errno = EINVAL, -1;
    m30_channel_status_dec &s = m30->dec->chstat[ch];
    std::lock_guard l(vd_errors_struct_mutex);
    if (status)
        *status = s.vd_err_info;
    s.vd_err_info_has_changed = false;
    if (reset)
        s.vd_err_info = {};
    return 0;
}

M30_API int m30_get_dec_dmx_error_info(m30_context *m30, int ch, m30_dmx_error_status *status, bool reset) noexcept
{
    if (!valid_dec_channel(m30, ch))
        return errno = EINVAL, -1;
    m30_channel_status_dec &s = m30->dec->chstat[ch];
    std::lock_guard l(dmx_stream_struct_mutex);
    if (status)
        *status = s.dmx_err_info;
    s.dmx_err_info_has_changed = false;
    if (reset)
        s.dmx_err_info = {};
    return 0;
}

M30_API int m30_decode_clear_message_stats(m30_context *m30, int ch) noexcept
{
    if (!valid_dec_channel(m30, ch))
        return errno = EINVAL, -1;
    m30_channel_status_dec &s = m30->dec->chstat[ch];
    s.vd_info_ct = 0;
    s.vd_err_info_ct = 0;
    s.dmx_err_info_ct = 0;
    m30_get_dec_vd_error_info(m30, ch, nullptr, true);
    m30_get_dec_dmx_error_info(m30, ch, nullptr, true);
    return 0;
}

} // extern "C"

// The per-channel statistics' own operations: the service names cross
// from the ingress thread to the loop whole, under their mutex.
#include "decode_internal.h"

void decoder_stats::set_service(std::string_view name, std::string_view provider)
{
    std::lock_guard lock(names_mutex_);
    dp_svc_name_.assign(name.substr(0, 255));
    dp_svc_prov_.assign(provider.substr(0, 255));
}

std::string decoder_stats::service_name() const
{
    std::lock_guard lock(names_mutex_);
    return dp_svc_name_;
}

std::string decoder_stats::service_provider() const
{
    std::lock_guard lock(names_mutex_);
    return dp_svc_prov_;
}

void decoder_stats::zero()
{
    vid_pkts_rx = 0, vid_pkts_prev_rx = 0, vid_pkts_pid = 0, vid_pkts_rate = 0;
    buf_level = 0, buf_level_hwm = 0, buf_pkts_loss = 0, svc_pgm_num = 0;
    m30_buf_ll = 0, m30_buf_lh = 0, m30_buf_hl = 0, m30_buf_hh = 0;
    vid_dec_info_ct = 0, vid_dec_err_ct = 0, vid_dmx_err_ct = 0;
    vdec_es = {}, vdmx_es = {};
    aud_dec_reset_ct = 0, audio_streams_ct = 0;
    for (audio_stream_stats &a : audio_streams)
        a.is_active = false, a.type = AUDIO_CODEC_NONE, a.frames_tx = 0, a.bit_rate = 0;
    pkts_encrypted_rx = 0, last_vid_pkts_rx_encrypted = 0;
    set_service({}, {});
}

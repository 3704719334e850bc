// SRT status and statistics of an input or output record back to "nothing
// measured": the texts formatted from zero, the counters 0.
#pragma once

#include "mcf_cfg.h"

#include <initializer_list>

namespace mcf {

template <class Rec> void clear_srt_stats(Rec &r)
{
    r.srt_status = 0;
    srt_helper_format_duration(r.srt_duration, 0);
    srt_helper_format_rtt(r.srt_rtt, 0);
    srt_helper_format_mbps_rate(r.srt_mbps_send_rate, 0);
    if constexpr (requires { r.srt_mbps_recv_rate; })
        srt_helper_format_mbps_rate(r.srt_mbps_recv_rate, 0);
    srt_helper_format_buffer_avail(r.srt_buffer_avail, 0);
    srt_helper_format_period_packet_loss_pct(r.srt_period_packet_loss_pct, 0);
    for (int32_t *c : {&r.srt_pkt_send_loss_total, &r.srt_pkt_recv_loss_total, &r.srt_pkt_retrans_total,
                       &r.srt_pkt_send_drop_total, &r.srt_pkt_recv_drop_total, &r.srt_pkt_flow_window,
                       &r.srt_pkt_flight_size, &r.srt_byte_avail_send_buffer_size,
                       &r.srt_byte_avail_recv_buffer_size, &r.srt_pkt_send_buffer_not_acked})
        *c = 0;
}

} // namespace mcf

// The 1-second maintenance pass on the loop thread: input and output
// status into the records, the ingress-rate alarm, KLV detection, the
// encoder-state cache, the status queue and the start-up delay.
#include "engine.h"
#include "cfg/mcf_srt_stats.h"
#include "mcastfwdr.h"
#include "outputs/manager_output.h"

#include <kerrow/alarm.h>

#include <cstdio>
#include <cstring>

namespace {

constexpr uint32_t kLostSecsClear = 11; // seconds without stream before programs are cleared

// Returns the rate this input adds to the ingress sum.
int64_t maintain_input(cfg_rx &rx)
{
    manager_input_status st;
    const bool managed = manager_input_get_status(rx.ingress_id, &st);
    int64_t sum = 0;
    if (managed) {
        // 188 bytes x 8 bits per packet, for one-second ticks. A rebuilt
        // manager counts from 0 again: never a negative rate.
        const uint64_t prev = uint64_t(uint32_t(rx.ingress_ts_packets_rx));
        const uint64_t now = st.ts_packets_rx & 0xFFFFFFFFu;
        const uint64_t delta = now >= prev ? now - prev : now;
        const uint64_t bps = delta * 1504;
        rx.ingress_bps_detected = int32_t(bps > 0x7FFFFFFF ? 0x7FFFFFFF : bps);
        rx.ingress_ts_packets_rx = int32_t(uint32_t(now));
        rx.ingress_stream_detected = st.streaming;
        std::snprintf(rx.ingress_pids, sizeof rx.ingress_pids, "%s", st.streaming ? st.pids.c_str() : "");
        rx.ingress_dvb_per_ip = st.dvb_per_ip;
        rx.ingress_is_rtp = st.is_rtp;
        if (st.streaming) {
            if (st.type != INGRTYPE_VIRT)
                sum = rx.ingress_bps;
            rx.ingress_stream_lost_secs = 0;
            return sum;
        }
    } else {
        rx.ingress_bps_detected = 0;
        rx.ingress_stream_detected = 0;
        rx.ingress_pids[0] = '\0';
        rx.ingress_dvb_per_ip = 0;
        rx.ingress_is_rtp = 0;
        mcf::clear_srt_stats(rx);
        if (rx.ingress_is_routable)
            mcfcfg_rx_set_all_program_status_inactive(&rx);
    }
    if (++rx.ingress_stream_lost_secs == kLostSecsClear && rx.ingress_is_routable && rx.ingress_type != INGRTYPE_VIRT) {
        mcfcfg_rx_clear_all_program_status(&rx);
        if (managed) {
            mcf::write_lock lock;
            manager_input_clear_program_status(rx.ingress_id);
        }
    }
    return sum;
}

void ingress_alarm(int64_t sum)
{
    static constexpr const char *label = "Mux Ingress rate exceeded";
    if (sum > MCF_INGRESS_LIMIT_BPS && !mcf_ctrl_plane_ingress_bps_exceeded_alarm_is_set) {
        kd_alarm_detected(label, ALARM_ACTIVE);
        mcf_post_log(SQ_LOG_INFO, "MCF: Ingress rate exceeded alarm SET (%llu bps).", (unsigned long long)sum);
        mcf_ctrl_plane_ingress_bps_exceeded_alarm_is_set = 1;
    } else if (sum <= MCF_INGRESS_LIMIT_BPS && mcf_ctrl_plane_ingress_bps_exceeded_alarm_is_set) {
        kd_alarm_detected(label, ALARM_INACTIVE);
        mcf_post_log(SQ_LOG_INFO, "MCF: Ingress rate exceeded alarm CLEAR (%llu bps).", (unsigned long long)sum);
        mcf_ctrl_plane_ingress_bps_exceeded_alarm_is_set = 0;
    }
}

void maintain_output(cfg_tx &tx)
{
    manager_output_status st;
    if (!manager_output_get_status(tx.dest_id, &st))
        st = manager_output_status{};
    tx.dest_buf_lvl = st.buf_lvl;
    tx.srt_status = st.srt_status;
}

} // namespace

namespace mcf {

void maintenance_pass()
{
    int64_t sum = 0; // 64-bit: 21 inputs at 100 Mbit/s pass 2^31
    for (cfg_rx &rx : mcf::records<cfg_rx>(mcf_cfg.rules_rx))
        sum += maintain_input(rx);
    totals.total_rate_rx.store(int32_t(sum > 0x7FFFFFFF ? 0x7FFFFFFF : sum), std::memory_order_relaxed);
    ingress_alarm(sum);

    for (cfg_tx &tx : mcf::records<cfg_tx>(mcf_cfg.rules_tx))
        maintain_output(tx);
    manager_outputs_maintenance_tick();

    for (cfg_rx_klv &k : mcf::records<cfg_rx_klv>(mcf_cfg.rules_rx_klv))
        std::atomic_ref<bool>(k.detected).store(false, std::memory_order_relaxed); // the KLV thread sets it

    for (int i = 0; i < MCF_ENC_STATUS_COUNT; ++i) {
        const ip_stop_sdi_status cached = mcf_cfg.param_str_cache[i];
        if (cached == ENC_IP_OUTPUT_DEFAULT)
            continue;
        char text[128];
        std::snprintf(text, sizeof text, "enccfg/encoders/carrier_%d/encoder_%d/status/encoder_status:%d", i / 4 + 1,
                      i % 4, int(cached));
        write_lock lock;
        apply_encoder_state(text, true);
    }

    mcf_status_queue_periodic_check();
    mcastfwdr_asi_check_pending();
    mcastfwdr_virtual_inputs_check_pending();

    if (startup_time_current < 10 && ++startup_time_current == 10) {
        mcastfwdr_ingress_announce_xsb_flows();
        mcastfwdr_asi_signal_hw_start();
    }
}

} // namespace mcf

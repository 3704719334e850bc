// Egress monitor: keeps a channel's FPGA egress ring near its middle by
// nudging the transport rate a few bit/s around the nominal rate. Plain
// code driven once a second by the ingress thread, its only user.
#pragma once

#include <kt3300.h>
#include <kt3300_egr.h>

#include <cstdint>

enum egr_queue_state {
    EGR_QUEUE_NORMAL = 0,
    EGR_QUEUE_LOW = 1,
    EGR_QUEUE_ULTRA_LOW = 2,
    EGR_QUEUE_HIGH = 3,
    EGR_QUEUE_ULTRA_HIGH = 4,
};

const char *egr_queue_state_tostr(egr_queue_state s);

constexpr unsigned EGR_MONITOR_SAMPLES = 10;
constexpr unsigned EGR_MONITOR_PERIOD_S = 30;

struct monitor {
    struct {
        kt3300_ctx *kt33_ctx;
        kt3300_egr_wrtr *egr_w;
        uint32_t ch;
        uint32_t tmr; // nominal rate, bit/s
        uint32_t ultra_hwm_pkts, hwm_pkts, mid_pkts, lwm_pkts, ultra_lwm_pkts;
    } cfg;
    struct {
        bool is_active;
        egr_queue_state qstate;
        uint32_t total_sample_count;
        uint32_t ultra_hwm_count, hwm_count, hmid_count, mid_count, lmid_count, lwm_count, ultra_lwm_count;
        uint32_t samples[EGR_MONITOR_SAMPLES];
        uint32_t seconds_elapsed;
    } ops;
};

// Packets in 20 ms at a rate: the ring's middle mark, and the level at
// which the ingress starts the ring.
uint32_t egr_mid_pkts(uint32_t tmr_bps);

monitor *decode_egress_monitor_ctor(kt3300_ctx *ctx, kt3300_egr_wrtr *egr_w, unsigned chn, uint32_t tmr_bps);
void decode_egress_monitor_dtor(monitor *m);
int decode_egress_monitor_start(monitor *m);
int decode_egress_monitor_stop(monitor *m);
int decode_egress_monitor_maintain_sec(monitor *m);

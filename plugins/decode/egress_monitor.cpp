// Egress monitor: every 30 s one sample of the ring level; every ten
// samples (five minutes) a decision on the transport rate.
#include "egress_monitor.h"
#include "decode_internal.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// 1504 bits per 188-byte packet.
uint32_t pkts_per_sec(uint32_t tmr) { return tmr / 1504; }

void clear_window(monitor *m)
{
    auto &o = m->ops;
    o.total_sample_count = 0;
    o.ultra_hwm_count = o.hwm_count = o.hmid_count = o.mid_count = 0;
    o.lmid_count = o.lwm_count = o.ultra_lwm_count = 0;
    std::memset(o.samples, 0, sizeof o.samples);
}

void classify(monitor *m, uint32_t level)
{
    auto &c = m->cfg;
    auto &o = m->ops;
    if (level >= c.ultra_hwm_pkts)
        ++o.ultra_hwm_count;
    else if (level >= c.hwm_pkts)
        ++o.hwm_count;
    else if (level > c.mid_pkts)
        ++o.hmid_count;
    else if (level <= c.ultra_lwm_pkts)
        ++o.ultra_lwm_count;
    else if (level <= c.lwm_pkts)
        ++o.lwm_count;
    else if (level < c.mid_pkts)
        ++o.lmid_count;
    else
        ++o.mid_count;
    o.samples[o.total_sample_count++] = level;
}

// The state and rate the window asks for; false for no change.
bool decide(const monitor *m, egr_queue_state &next, uint32_t &rate)
{
    const auto &o = m->ops;
    const uint32_t tmr = m->cfg.tmr;
    const egr_queue_state cur = o.qstate;
    if (o.ultra_lwm_count >= EGR_MONITOR_SAMPLES) {
        next = EGR_QUEUE_ULTRA_LOW, rate = tmr - 20;
    } else if (o.ultra_lwm_count + o.lwm_count >= EGR_MONITOR_SAMPLES) {
        if (cur == EGR_QUEUE_ULTRA_LOW)
            return false;
        next = EGR_QUEUE_LOW, rate = tmr - 10;
    } else if (o.ultra_hwm_count >= EGR_MONITOR_SAMPLES) {
        next = EGR_QUEUE_ULTRA_HIGH, rate = tmr + 20;
    } else if (o.ultra_hwm_count + o.hwm_count >= EGR_MONITOR_SAMPLES) {
        if (cur == EGR_QUEUE_ULTRA_HIGH)
            return false;
        next = EGR_QUEUE_HIGH, rate = tmr + 10;
    } else if (((cur == EGR_QUEUE_LOW || cur == EGR_QUEUE_ULTRA_LOW) && o.hmid_count >= 2) ||
               ((cur == EGR_QUEUE_HIGH || cur == EGR_QUEUE_ULTRA_HIGH) && o.lmid_count >= 2)) {
        next = EGR_QUEUE_NORMAL, rate = tmr;
    } else {
        return false;
    }
    return next != cur;
}

void end_window(monitor *m)
{
    auto &o = m->ops;
    const unsigned vid = m->cfg.ch + 1;
    decode_post_log(DEC_LOG_INFO, "Vid %u EGRQ (%u+%u) (%s) counts UL: %u LO: %u LM: %u M: %u UM: %u HI: %u UH: %u",
                    vid, o.total_sample_count, EGR_MONITOR_PERIOD_S, egr_queue_state_tostr(o.qstate),
                    o.ultra_lwm_count, o.lwm_count, o.lmid_count, o.mid_count, o.hmid_count, o.hwm_count,
                    o.ultra_hwm_count);
    char list[EGR_MONITOR_SAMPLES * 11 + 1] = {};
    size_t used = 0;
    for (unsigned i = 0; i < o.total_sample_count && used < sizeof list; ++i)
        used += static_cast<size_t>(
            std::snprintf(list + used, sizeof list - used, i ? " %u" : "%u", o.samples[i]));
    decode_post_log(DEC_LOG_DEBUG, "Vid %u EGRQ samples [%s]", vid, list);

    egr_queue_state next = o.qstate;
    uint32_t rate = m->cfg.tmr;
    const bool change = decide(m, next, rate);
    clear_window(m);
    if (!change)
        return;
    decode_post_log(DEC_LOG_INFO, "Chn %u EGRQ drift state change: %s ==> %s. New TMR: %u", vid,
                    egr_queue_state_tostr(o.qstate), egr_queue_state_tostr(next), rate);
    kt3300_egress_set_tmr(m->cfg.kt33_ctx, m->cfg.ch, rate);
    o.qstate = next;
}

} // namespace

const char *egr_queue_state_tostr(egr_queue_state s)
{
    static const char *const names[] = {"NORMAL", "LOW", "ULTRA_LOW", "HIGH", "ULTRA_HIGH"};
    return static_cast<unsigned>(s) < 5 ? names[s] : "<Unknown>";
}

uint32_t egr_mid_pkts(uint32_t tmr_bps) { return static_cast<uint32_t>(pkts_per_sec(tmr_bps) * 0.02); }

monitor *decode_egress_monitor_ctor(kt3300_ctx *ctx, kt3300_egr_wrtr *egr_w, unsigned chn, uint32_t tmr_bps)
{
    if (!ctx || !egr_w)
        return nullptr;
    auto *m = static_cast<monitor *>(std::calloc(1, sizeof(monitor)));
    if (!m)
        return nullptr;
    const uint32_t p = pkts_per_sec(tmr_bps);
    // Each term is cut to whole packets on its own.
    const uint32_t mid = egr_mid_pkts(tmr_bps);
    const auto half_pct = static_cast<uint32_t>(p * 0.005), pct = static_cast<uint32_t>(p * 0.01);
    m->cfg = {ctx, egr_w, chn, tmr_bps, mid + pct, mid + half_pct, mid, mid - half_pct, mid - pct};
    m->ops.qstate = EGR_QUEUE_NORMAL;
    decode_post_log(DEC_LOG_INFO, "Vid %u EGRQ level markers ULO: %u LOW: %u MID: %u HI: %u UHI: %u (pkts)", chn + 1,
                    m->cfg.ultra_lwm_pkts, m->cfg.lwm_pkts, m->cfg.mid_pkts, m->cfg.hwm_pkts, m->cfg.ultra_hwm_pkts);
    return m;
}

void decode_egress_monitor_dtor(monitor *m) { std::free(m); }

int decode_egress_monitor_start(monitor *m)
{
    if (!m)
        return -1;
    m->ops.is_active = true;
    return 0;
}

int decode_egress_monitor_stop(monitor *m)
{
    if (!m)
        return -1;
    if (m->ops.is_active) {
        std::memset(&m->ops, 0, sizeof m->ops);
        m->ops.qstate = EGR_QUEUE_NORMAL;
        kt3300_egress_set_tmr(m->cfg.kt33_ctx, m->cfg.ch, m->cfg.tmr);
    }
    return 0;
}

int decode_egress_monitor_maintain_sec(monitor *m)
{
    if (!m)
        return -1;
    if (!m->ops.is_active)
        return 0;
    if (++m->ops.seconds_elapsed < EGR_MONITOR_PERIOD_S)
        return 0;
    m->ops.seconds_elapsed = 0;
    const int level = kt3300_egr_wrtr_get_level(m->cfg.egr_w);
    if (level <= 0) // an empty ring (or no reading) is not a sample
        return 0;
    classify(m, static_cast<uint32_t>(level));
    if (m->ops.total_sample_count >= EGR_MONITOR_SAMPLES)
        end_window(m);
    return 0;
}

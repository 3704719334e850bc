// PCR access and windows (see pcr_window.h).
#include "pcr_window.h"

#include "engine.h"
#include "status_queue.h"

#include <cstdlib>
#include <cstring>

namespace {

constexpr uint64_t kBaseMask = (uint64_t(1) << 33) - 1;

// The six bytes of the field as the top 48 bits of a word.
uint64_t read48(const void *p)
{
    const auto *b = static_cast<const uint8_t *>(p);
    uint64_t w = 0;
    for (int i = 0; i < 6; ++i)
        w = w << 8 | b[i];
    return w;
}
void write48(void *p, uint64_t w)
{
    auto *b = static_cast<uint8_t *>(p);
    for (int i = 5; i >= 0; --i, w >>= 8)
        b[i] = uint8_t(w);
}

// Field layout in the 48 bits: base 33, reserved 6, extension 9.
uint64_t make48(uint64_t base, uint16_t ext) { return (base & kBaseMask) << 15 | uint64_t(0x3F) << 9 | (ext & 0x1FF); }

bool valid_id(int input_id) { return input_id >= 0 && input_id < PCR_WINDOWS_MAX_INPUT_ID; }

} // namespace

extern "C" {

pcr tsphPcrGet(const void *p)
{
    const uint64_t w = read48(p);
    return {w >> 15, uint16_t(w & 0x1FF), uint32_t(w >> 9 & 0x3F)};
}

int tsphPcrSet(void *p, uint64_t ticks)
{
    const pcr v = pcr_to_pcr_t(ticks);
    write48(p, make48(v.base, v.ext));
    return 0;
}

uint64_t tsphPcrGetProgramClockReferenceBase(const void *p) { return tsphPcrGet(p).base; }
int tsphPcrSetProgramClockReferenceBase(void *p, uint64_t base)
{
    write48(p, make48(base, tsphPcrGet(p).ext));
    return 0;
}
uint8_t tsphPcrGetReserved(const void *p) { return uint8_t(tsphPcrGet(p).rsvd); }
int tsphPcrSetReserved(void *p)
{
    const pcr v = tsphPcrGet(p);
    write48(p, make48(v.base, v.ext));
    return 0;
}
uint16_t tsphPcrGetProgramClockReferenceExtension(const void *p) { return tsphPcrGet(p).ext; }
int tsphPcrSetProgramClockReferenceExtension(void *p, uint16_t ext)
{
    write48(p, make48(tsphPcrGet(p).base, ext));
    return 0;
}

pcr pcr_to_pcr_t(uint64_t ticks) { return {ticks / 300, uint16_t(ticks % 300), 0}; }
uint64_t pcr_t_to_pcr(pcr value) { return value.base * 300 + value.ext; }

pcr_window_info *pcr_window_ctor(int input_id, int bps_in, int bps_out, int pcr_pid)
{
    auto *w = static_cast<pcr_window_info *>(std::calloc(1, sizeof(pcr_window_info)));
    if (!w)
        return nullptr;
    w->tmr = mcastfwdr_tmr_ctor(bps_in, bps_out);
    if (!w->tmr) {
        std::free(w);
        return nullptr;
    }
    w->pcr_pid = pcr_pid;
    w->ignore_first_few = 3;
    w->input_id = input_id;
    w->rx_counter = &w->own_counter;
    return w;
}

void pcr_window_dtor(pcr_window_info *w)
{
    if (!w)
        return;
    mcastfwdr_tmr_dtor(w->tmr);
    std::free(w);
}

void pcr_window_save_pcr(pcr_window_info *w, double actual, double calc)
{
    if (w)
        w->pcr_prev = {actual, calc};
}

void pcr_window_save_pkts(pcr_window_info *w, uint32_t rx_total, uint32_t tx_total)
{
    if (!w)
        return;
    w->total_pkts_rx.curr = rx_total;
    w->total_pkts_tx.curr = tx_total;
}

void pcr_window_reset_pkts(pcr_window_info *w)
{
    if (!w)
        return;
    w->total_pkts_rx.prev = w->total_pkts_rx.curr;
    w->total_pkts_tx.prev = w->total_pkts_tx.curr;
}

uint32_t pcr_window_get_pkts_rx(const pcr_window_info *w) { return w ? w->total_pkts_rx.curr - w->total_pkts_rx.prev : 0; }
uint32_t pcr_window_get_pkts_tx(const pcr_window_info *w) { return w ? w->total_pkts_tx.curr - w->total_pkts_tx.prev : 0; }
uint32_t pcr_window_get_total_pkts_rx(const pcr_window_info *w) { return w ? *w->rx_counter : 0; }
void pcr_window_inc_total_pkts_rx(pcr_window_info *w)
{
    if (w)
        ++*w->rx_counter;
}

int pcr_window_ignore_first_few(pcr_window_info *w)
{
    ++w->pcr_count;
    if (w->ignore_first_few > 0) {
        --w->ignore_first_few;
        return 1;
    }
    return 0;
}

void pcr_window_reset_io_bps(pcr_window_info *w, int bps_in, int bps_out)
{
    mcastfwdr_tmr *t = mcastfwdr_tmr_ctor(bps_in, bps_out);
    if (!t)
        return; // keep the old record rather than none
    mcastfwdr_tmr_dtor(w->tmr);
    w->tmr = t;
    w->ignore_first_few = 3;
    w->total_pkts_rx = {*w->rx_counter, *w->rx_counter}; // counts start again from here
    w->total_pkts_tx = {};
    w->pcr_prev = {};
}

void pcr_window_adjust_tx_bps(pcr_window_info *w, int bps_out)
{
    mcastfwdr_tmr *t = mcastfwdr_tmr_ctor(w->tmr->bps_in, bps_out);
    if (!t)
        return;
    mcastfwdr_tmr_dtor(w->tmr);
    w->tmr = t;
}

int pcr_window_get_input_id(const pcr_window_info *w) { return w->input_id; }
int pcr_window_get_pcr_pid(const pcr_window_info *w) { return w->pcr_pid; }
double pcr_window_get_pcr_prev_actual(const pcr_window_info *w) { return w->pcr_prev.actual; }
double pcr_window_get_pcr_prev_calc(const pcr_window_info *w) { return w->pcr_prev.calc; }
mcastfwdr_tmr *pcr_window_get_tmr(const pcr_window_info *w) { return w->tmr; }
int pcr_window_get_pcr_count(const pcr_window_info *w) { return w ? w->pcr_count : 0; }

pcr_window_infos *pcr_windows_ctor(void) { return static_cast<pcr_window_infos *>(std::calloc(1, sizeof(pcr_window_infos))); }

void pcr_windows_dtor(pcr_window_infos *s)
{
    if (!s)
        return;
    for (int i = 0; i < s->count; ++i)
        pcr_window_dtor(s->pcr_window[i]);
    std::free(s);
}

pcr_window_info *pcr_windows_find(const pcr_window_infos *s, int input_id, int pcr_pid)
{
    for (int i = 0; s && i < s->count; ++i)
        if (s->pcr_window[i]->input_id == input_id && s->pcr_window[i]->pcr_pid == pcr_pid)
            return s->pcr_window[i];
    return nullptr;
}

int pcr_windows_add_rates(pcr_window_infos *s, int input_id, int bps_in, int bps_out, int pcr_pid)
{
    if (!s || !valid_id(input_id))
        return -1;
    if (pcr_windows_find(s, input_id, pcr_pid))
        return 0;
    if (s->count >= PCR_WINDOWS_MAX) {
        if (!s->full_logged)
            mcf_post_log(SQ_LOG_WARN, "MCF: PCR windows full (%d): PCR PID %d of input %d passes unchanged",
                         PCR_WINDOWS_MAX, pcr_pid, input_id);
        s->full_logged = 1;
        return -1;
    }
    pcr_window_info *w = pcr_window_ctor(input_id, bps_in, bps_out, pcr_pid);
    if (!w)
        return -1;
    w->rx_counter = &s->rx_by_input[input_id];
    w->total_pkts_rx = {*w->rx_counter, *w->rx_counter};
    mcf_post_log(SQ_LOG_DEBUG, "New PCR, Input: %d, index: %d, bps_in: %d, bps_out: %d, pcr_pid: %d", input_id, s->count,
                 bps_in, bps_out, pcr_pid);
    s->pcr_window[s->count++] = w;
    return 0;
}

int pcr_windows_add(pcr_window_infos *s, manager_input *input, manager_output *output, int pcr_pid)
{
    if (!input || !output)
        return -1;
    return pcr_windows_add_rates(s, manager_input_get_id(input), manager_input_get_bps(input),
                                 manager_output_get_bps(output), pcr_pid);
}

int pcr_windows_get_count(const pcr_window_infos *s) { return s ? s->count : 0; }
pcr_window_info *pcr_windows_get(const pcr_window_infos *s, int index)
{
    return s && index >= 0 && index < s->count ? s->pcr_window[index] : nullptr;
}

void pcr_windows_inc_total_pkts_rx(pcr_window_infos *s, int input_id)
{
    if (s && valid_id(input_id))
        ++s->rx_by_input[input_id];
}

void pcr_windows_update_bps_rx(pcr_window_infos *s, int input_id, int bps_in, int bps_out)
{
    for (int i = 0; s && i < s->count; ++i) {
        pcr_window_info *w = s->pcr_window[i];
        // A window already at these rates keeps its counts (a stream that
        // comes back at its rate needs no realignment from here).
        if (w->input_id != input_id || (w->tmr && w->tmr->bps_in == bps_in && w->tmr->mbps_out == double(bps_out) / 1e6))
            continue;
        mcf_post_log(SQ_LOG_DEBUG, "Update PCR, Input: %d, index: %d, bps_in: %d, bps_out: %d, pcr_pid: %d", input_id,
                     i, bps_in, bps_out, w->pcr_pid);
        pcr_window_reset_io_bps(w, bps_in, bps_out);
    }
}

void pcr_windows_adjust_bps_tx(pcr_window_infos *s, int bps_out)
{
    for (int i = 0; s && i < s->count; ++i)
        pcr_window_adjust_tx_bps(s->pcr_window[i], bps_out);
}

} // extern "C"

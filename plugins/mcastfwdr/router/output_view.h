// What the routing reads of an output manager, in one place.
#pragma once

#include "ingress/manager_input.h"
#include "outputs/manager_output.h"

#include <cstdarg>
#include <vector>

namespace mcf {

inline int out_id(const manager_output *mo) { return mo ? mo->id : -1; }
inline pcr_window_infos *out_pcrs(manager_output *mo) { return mo->pcrs; }
inline mcastfwdr_ts_pool *out_pool(manager_output *mo) { return mo->egress ? mo->egress->ts_pool : nullptr; }
inline egress_latency_probe *out_pcr_latency(manager_output *mo) { return mo->egress ? &mo->egress->pcr_latency : nullptr; }
inline uint32_t out_ts_pkts_rx(const manager_output *mo) { return uint32_t(mo->ts_pkts_rx.load(std::memory_order_relaxed)); }
// The multiplexer is the only writer: a plain add, published relaxed.
inline void out_count_packet(manager_output *mo)
{
    mo->ts_pkts_rx.store(mo->ts_pkts_rx.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
}
inline bool out_single_input(const manager_output *mo) { return mo->cfg_single_input_rtg_enabled; }
inline unsigned out_single_input_id(const manager_output *mo) { return mo->cfg_single_input_rtg_id; }
// An output whose fill engine has no input rate (none of its inputs
// streaming) takes no packets.
inline bool out_takes_packets(const manager_output *mo)
{
    return mo->fill && mo->fill->tmr && mo->fill->tmr->bps_in != 0;
}
inline bool out_has_input(const manager_output *mo, int input_id)
{
    for (const out_services &s : mo->unique_inputs)
        if (s.input_id == input_id)
            return true;
    return false;
}
// Whether the output takes a virtual program with a source on this input.
bool out_takes_virtual_source(const manager_output *mo, int input_id);

// One routed program with its input.
struct out_program {
    int input_id;
    int pnu;
    int ca_session_id;
    const pid_map *maps;
    unsigned num_maps;
};
std::vector<out_program> out_programs(const manager_output *mo);
std::vector<int> out_inputs(const manager_output *mo);

// Every output manager in list order (read lock or write lock held).
template <class F> void for_each_output(F fn)
{
    manager_outputs_foreach(
        [](manager_output *mo, va_list args) {
            va_list copy;
            va_copy(copy, args);
            (*va_arg(copy, F *))(mo);
            va_end(copy);
        },
        &fn);
}

} // namespace mcf

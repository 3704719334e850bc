// The dumps a user or a developer asks for: the program tables each input
// manager learnt, and the packet counts of the running outputs. Loop
// thread; the managers change only there, and the counters are atomic.
#include "ingress/manager_input.h"
#include "mcastfwdr.h"
#include "outputs/manager_output.h"
#include "status_queue.h"

extern "C" {

void manager_input_debug(const manager_input *mi)
{
    if (!mi || !mi->tables)
        return;
    const input_table_info &t = *mi->tables;
    mcf_post_log(SQ_LOG_DEBUG, "Input %d Program Table Summary:", mi->id);
    mcf_post_log(SQ_LOG_DEBUG, "..Total of %u Programs.", unsigned(t.num_programs));
    for (int i = 0; i < t.num_programs && i < INPUT_PROGRAMS_MAX; ++i) {
        const local_pmt &p = t.services[i].pmt;
        mcf_post_log(SQ_LOG_DEBUG, "....Program: %d has %d PID entries", p.pnu, p.num_pmt_entries);
        for (int e = 0; e < p.num_pmt_entries && e < LOCAL_PMT_ENTRIES_MAX; ++e)
            mcf_post_log(SQ_LOG_DEBUG, "......%d - Input %d PID %d", e, p.pmt_entries[e].ingress_id,
                         p.pmt_entries[e].elementary_pid);
    }
}

void manager_inputs_debug(void)
{
    manager_inputs_foreach([](manager_input *mi) { manager_input_debug(mi); });
}

void manager_outputs_debug(void)
{
    for (const cfg_tx &tx : mcf::records<cfg_tx>(mcf_cfg.rules_tx))
        if (const manager_output *mo = manager_outputs_find_by_id(tx.dest_id))
            mcf_post_log(SQ_LOG_INFO, "Output %u TS pkts - Rx: %9u Tx: %9u", unsigned(tx.dest_id),
                         unsigned(mo->ts_pkts_rx.load(std::memory_order_relaxed)),
                         unsigned(mo->ts_pkts_tx.load(std::memory_order_relaxed)));
}

} // extern "C"

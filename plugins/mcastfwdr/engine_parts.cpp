// Minimal versions of the engine parts that later work fills in: the
// multiplexer, KLV, ASI, maintainer and PID index
// start and stop as no-ops, and the output managers are plain records made
// and deleted by manager_input_output_sync from the configuration, with no
// sockets or threads behind them.
#include "engine.h"
#include "mcastfwdr.h"
#include "router/phindex.h"
#include "ingress/manager_input.h"
#include "outputs/manager_output.h"

#include <atomic>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <map>
#include <type_traits>

namespace {

// Loop thread, or under ctrl_data_lock held for writing.
std::map<int, manager_output> g_outputs;

bool output_wanted(const cfg_tx &tx)
{
    return tx.dest_transmit != DEST_XMIT_OFF && (tx.egress_type == EGRTYPE_DEC || !cfg_tx_ip_fields_incomplete(&tx));
}

} // namespace

extern "C" {

int mcastfwdr_maintainer_init(void) { return 0; }
void mcastfwdr_maintainer_fini(void) {}
int manager_outputs_init(void) { return 0; }
void manager_outputs_fini(void) { g_outputs.clear(); }
int mcastfwdr_asi_init(void) { return 0; }
void mcastfwdr_asi_fini(void) {}
void mcastfwdr_asi_apply_initial_hw_cfg(void) {}
void mcastfwdr_asi_check_pending(void) {}
void mcastfwdr_asi_signal_hw_start(void) {}
int mcastfwdr_asi_hw_reset_interface(int) { return 0; }
// The ASI ports' own rate grid comes with the ASI work; until then the rate as asked.
int mcastfwdr_asi_calculate_actual_bps(int bps, int, int) { return bps; }
int mcastfwdr_asi_info_rx_pkt_cp(const char *, uint32_t) { return 0; }
int mcastfwdr_asi_carrier_init(void) { return 0; }
void mcastfwdr_asi_carrier_fini(void) {}
int mcastfwdr_klv_init(plugin_load_info *) { return 0; }
void mcastfwdr_klv_fini(void) {}
int mcastfwdr_mux_init(void) { return 0; }
void mcastfwdr_mux_fini(void) {}
void mcastfwdr_klv_sources_enable(const char *) {}
void mcastfwdr_klv_sources_disable(const char *) {}

int mcastfwdr_asi_ip_address(char *buf, int output_id)
{
    // The ASI ports answer on 169.254.1.80 + n, one address per output.
    return std::snprintf(buf, 16, "169.254.1.%d", 80 + (output_id & 0x7F)) > 0 ? 0 : -1;
}

int manager_input_output_sync(int32_t force)
{
    int changed = manager_inputs_sync(&mcf_cfg);
    changed += int(std::erase_if(g_outputs, [](const auto &kv) {
        const cfg_tx *tx = mcfcfg_tx_find_by_id(kv.first);
        return !tx || !output_wanted(*tx);
    }));
    for (cfg_tx &tx : mcf::records<cfg_tx>(mcf_cfg.rules_tx)) {
        if (!output_wanted(tx) || g_outputs.count(tx.dest_id))
            continue;
        manager_output &mo = g_outputs.try_emplace(tx.dest_id).first->second;
        mo.id = tx.dest_id;
        mo.configured_dest_bps = tx.dest_bps;
        ++changed;
    }
    if (changed || force)
        phindex_repopulate();
    return changed;
}

manager_output *manager_outputs_find_by_id(int id)
{
    auto it = g_outputs.find(id);
    return it == g_outputs.end() ? nullptr : &it->second;
}

int manager_outputs_delete(int id)
{
    if (!g_outputs.erase(id))
        return 0;
    mcf_post_log(SQ_LOG_INFO, "MCF: Output %d Deleted", id);
    return 1;
}

int manager_outputs_delete_using_input(int input_id)
{
    int n = 0;
    for (cfg_tx &tx : mcf::records<cfg_tx>(mcf_cfg.rules_tx)) {
        bool uses = false;
        for (const cfg_tx_input &s : mcf::records<cfg_tx_input>(tx.dest_services))
            uses = uses || s.input_id == input_id;
        if (uses)
            n += manager_outputs_delete(tx.dest_id);
    }
    return n;
}

int manager_outputs_delete_routing_single_input(int) { return 0; }
int manager_output_sync_unique_inputs(manager_output *) { return 0; }

int manager_outputs_disable_on_intf(const char *ifname)
{
    return int(std::erase_if(g_outputs, [ifname](const auto &kv) {
        const cfg_tx *tx = mcfcfg_tx_find_by_id(kv.first);
        return tx && std::strcmp(tx->dest_intf, ifname) == 0;
    }));
}

int manager_output_get_bps(const manager_output *mo) { return mo->configured_dest_bps; }

void manager_outputs_foreach(void (*fn)(manager_output *mo, va_list args), ...)
{
    for (auto &kv : g_outputs) {
        va_list args;
        va_start(args, fn);
        fn(&kv.second, args);
        va_end(args);
    }
}

int manager_output_rebuild_fill_engine(manager_output *) { return 0; }
int manager_outputs_route_exists_in_set(const char *) { return 0; }

} // extern "C"

bool manager_output_get_status(int id, manager_output_status *out)
{
    if (!manager_outputs_find_by_id(id))
        return false;
    *out = manager_output_status{};
    return true;
}

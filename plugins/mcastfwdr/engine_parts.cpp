// Minimal versions of the engine parts that later work fills in: the data
// threads, ASI, decoder link, statistics, maintainer and PID index start and
// stop as no-ops, and the managers are plain records made and deleted by
// manager_input_output_sync from the configuration, with no sockets or
// threads behind them.
#include "engine.h"
#include "mcastfwdr.h"

#include <cstdio>
#include <cstring>
#include <atomic>
#include <map>

struct manager_input {
    int id;
    ingress_type type;
    int bps;
    char intf[8];
    std::atomic<uint64_t> ts_packets_rx{0}; // relaxed: the receiving thread adds, the loop reads
    std::atomic<bool> streaming{false};
};
struct manager_output {
    int id;
    char intf[8];
};

namespace {

// Loop thread, or under ctrl_data_lock held for writing.
std::map<int, manager_input> g_inputs;
std::map<int, manager_output> g_outputs;

bool input_wanted(const cfg_rx &rx)
{
    return rx.ingress_type != INGRTYPE_NET || !cfg_rx_ip_fields_incomplete(&rx);
}
bool output_wanted(const cfg_tx &tx)
{
    return tx.dest_transmit != DEST_XMIT_OFF && (tx.egress_type == EGRTYPE_DEC || !cfg_tx_ip_fields_incomplete(&tx));
}

} // namespace

extern "C" {

int mcastfwdr_maintainer_init(void) { return 0; }
void mcastfwdr_maintainer_fini(void) {}
int mcastfwdr_statistics_init(void) { return 0; }
void mcastfwdr_statistics_fini(void) {}
int manager_inputs_init(void) { return 0; }
void manager_inputs_fini(void) { g_inputs.clear(); }
int manager_outputs_init(void) { return 0; }
void manager_outputs_fini(void) { g_outputs.clear(); }
int phindex_init(void) { return 0; }
void phindex_fini(void) {}
int phindex_repopulate(void) { return 0; }
void phindex_debug(void) {}
int mcastfwdr_virtual_inputs_init(void) { return 0; }
void mcastfwdr_virtual_inputs_fini(void) {}
void mcastfwdr_virtual_inputs_check_pending(void) {}
int mcastfwdr_asi_init(void) { return 0; }
void mcastfwdr_asi_fini(void) {}
void mcastfwdr_asi_apply_initial_hw_cfg(void) {}
void mcastfwdr_asi_check_pending(void) {}
void mcastfwdr_asi_signal_hw_start(void) {}
int mcastfwdr_asi_hw_reset_interface(int) { return 0; }
int mcastfwdr_asi_info_rx_pkt_cp(const char *, uint32_t) { return 0; }
int mcastfwdr_asi_carrier_init(void) { return 0; }
void mcastfwdr_asi_carrier_fini(void) {}
int mcastfwdr_decoder_link_init(void) { return 0; }
void mcastfwdr_decoder_link_fini(void) {}
int mcastfwdr_ingress_init(void) { return 0; }
void mcastfwdr_ingress_fini(void) {}
int mcastfwdr_klv_init(plugin_load_info *) { return 0; }
void mcastfwdr_klv_fini(void) {}
int mcastfwdr_mux_init(void) { return 0; }
void mcastfwdr_mux_fini(void) {}
void mcastfwdr_ingress_announce_xsb_flows(void) {}
void mcastfwdr_ingress_notify_bridged_inputs(void) {}
int mcastfwdr_ingress_notify_internal_ts(int, int) { return 0; }
int mcastfwdr_ingress_notify_internal_ts_clear(int) { return 0; }
void mcastfwdr_klv_sources_enable(const char *) {}
void mcastfwdr_klv_sources_disable(const char *) {}

int mcastfwdr_asi_ip_address(char *buf, int output_id)
{
    // The ASI ports answer on 169.254.1.80 + n, one address per output.
    return std::snprintf(buf, 16, "169.254.1.%d", 80 + (output_id & 0x7F)) > 0 ? 0 : -1;
}

int manager_input_output_sync(int32_t force)
{
    int changed = 0;
    for (auto it = g_inputs.begin(); it != g_inputs.end();) {
        const cfg_rx *rx = mcfcfg_rx_find_by_id(it->first);
        if (rx && input_wanted(*rx)) {
            ++it;
            continue;
        }
        it = g_inputs.erase(it);
        ++changed;
    }
    for (cfg_rx &rx : mcf::records<cfg_rx>(mcf_cfg.rules_rx)) {
        if (!input_wanted(rx) || g_inputs.count(rx.ingress_id))
            continue;
        manager_input &mi = g_inputs[rx.ingress_id];
        mi.id = rx.ingress_id;
        mi.type = rx.ingress_type;
        mi.bps = rx.ingress_bps;
        std::memcpy(mi.intf, rx.ingress_intf, sizeof mi.intf);
        ++changed;
    }
    for (auto it = g_outputs.begin(); it != g_outputs.end();) {
        const cfg_tx *tx = mcfcfg_tx_find_by_id(it->first);
        if (tx && output_wanted(*tx)) {
            ++it;
            continue;
        }
        it = g_outputs.erase(it);
        ++changed;
    }
    for (cfg_tx &tx : mcf::records<cfg_tx>(mcf_cfg.rules_tx)) {
        if (!output_wanted(tx) || g_outputs.count(tx.dest_id))
            continue;
        manager_output mo{tx.dest_id, {}};
        std::memcpy(mo.intf, tx.dest_intf, sizeof mo.intf);
        g_outputs.emplace(tx.dest_id, mo);
        ++changed;
    }
    if (changed || force)
        phindex_repopulate();
    return changed;
}

manager_input *manager_inputs_find_by_id(int id)
{
    auto it = g_inputs.find(id);
    return it == g_inputs.end() ? nullptr : &it->second;
}

manager_output *manager_outputs_find_by_id(int id)
{
    auto it = g_outputs.find(id);
    return it == g_outputs.end() ? nullptr : &it->second;
}

int manager_inputs_delete(int id) { return int(g_inputs.erase(id)); }

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

int manager_inputs_disable_on_intf(const char *ifname)
{
    int n = 0;
    for (auto it = g_inputs.begin(); it != g_inputs.end();) {
        if (std::strcmp(it->second.intf, ifname) == 0) {
            it = g_inputs.erase(it);
            ++n;
        } else {
            ++it;
        }
    }
    return n;
}

int manager_outputs_disable_on_intf(const char *ifname)
{
    int n = 0;
    for (auto it = g_outputs.begin(); it != g_outputs.end();) {
        if (std::strcmp(it->second.intf, ifname) == 0) {
            it = g_outputs.erase(it);
            ++n;
        } else {
            ++it;
        }
    }
    return n;
}

} // extern "C"

bool manager_input_get_status(int id, manager_input_status *out)
{
    const manager_input *mi = manager_inputs_find_by_id(id);
    if (!mi)
        return false;
    *out = manager_input_status{};
    out->type = mi->type;
    out->streaming = mi->streaming.load(std::memory_order_relaxed);
    out->ts_packets_rx = mi->ts_packets_rx.load(std::memory_order_relaxed);
    return true;
}

void manager_input_count_packets(manager_input *mi, unsigned packets)
{
    mi->ts_packets_rx.fetch_add(packets, std::memory_order_relaxed);
    mi->streaming.store(packets > 0, std::memory_order_relaxed);
}

void manager_input_set_bps(int id, int bps)
{
    if (manager_input *mi = manager_inputs_find_by_id(id))
        mi->bps = bps;
}

void manager_input_clear_program_status(int) {}

bool manager_output_get_status(int id, manager_output_status *out)
{
    if (!manager_outputs_find_by_id(id))
        return false;
    *out = manager_output_status{};
    return true;
}

// Minimal versions of the engine parts that later work fills in: the data
// threads, ASI, decoder link, statistics, maintainer and PID index start and
// stop as no-ops, and the managers are plain records made and deleted by
// manager_input_output_sync from the configuration, with no sockets or
// threads behind them.
#include "engine.h"
#include "mcastfwdr.h"
#include "router/phindex.h"
#include "router/rtp.h"

#include <atomic>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <map>
#include <type_traits>

struct manager_input {
    int id;
    ingress_type type;
    int bps;
    char intf[8];
    std::atomic<uint64_t> ts_packets_rx{0}; // relaxed: the receiving thread adds, the loop reads
    std::atomic<bool> streaming{false};
    std::atomic<uint32_t> cc_errors_counter{0}; // relaxed: the multiplexer counts, the loop reads
    std::atomic<bool> is_rtp{false};            // relaxed: the multiplexer sets, the loop reads
    mcastfwdr_rtp_hdr rtp{};                    // multiplexer only
};
// manager_input_id (engine.h) reads the id in place.
static_assert(std::is_standard_layout_v<manager_input> && offsetof(manager_input, id) == 0);
static_assert(std::is_same_v<decltype(manager_input::id), int32_t>);
struct manager_output {
    int id;
    char intf[8];
    int bps;
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
int mcastfwdr_phindex_populate(void) { return 0; }
int mcastfwdr_phindex_depopulate(void)
{
    phindex_clear();
    return 0;
}
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
    int changed = int(std::erase_if(g_inputs, [](const auto &kv) {
        const cfg_rx *rx = mcfcfg_rx_find_by_id(kv.first);
        return !rx || !input_wanted(*rx);
    }));
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
    changed += int(std::erase_if(g_outputs, [](const auto &kv) {
        const cfg_tx *tx = mcfcfg_tx_find_by_id(kv.first);
        return !tx || !output_wanted(*tx);
    }));
    for (cfg_tx &tx : mcf::records<cfg_tx>(mcf_cfg.rules_tx)) {
        if (!output_wanted(tx) || g_outputs.count(tx.dest_id))
            continue;
        manager_output mo{tx.dest_id, {}, tx.dest_bps};
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
    return int(std::erase_if(g_inputs, [ifname](const auto &kv) { return std::strcmp(kv.second.intf, ifname) == 0; }));
}

int manager_outputs_disable_on_intf(const char *ifname)
{
    return int(std::erase_if(g_outputs, [ifname](const auto &kv) { return std::strcmp(kv.second.intf, ifname) == 0; }));
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
    out->is_rtp = mi->is_rtp.load(std::memory_order_relaxed);
    return true;
}

int manager_input_get_id(const manager_input *mi) { return mi->id; }

uint32_t manager_input_add_cc_error(manager_input *mi)
{
    return mi->cc_errors_counter.fetch_add(1, std::memory_order_relaxed) + 1;
}

uint32_t manager_input_get_cc_errors(const manager_input *mi)
{
    return mi->cc_errors_counter.load(std::memory_order_relaxed);
}

ingress_type manager_input_get_type(const manager_input *mi) { return mi->type; }
int manager_input_get_bps(const manager_input *mi) { return mi->bps; }
int manager_output_get_bps(const manager_output *mo) { return mo->bps; }
void manager_input_set_rtp(manager_input *mi, bool is_rtp) { mi->is_rtp.store(is_rtp, std::memory_order_relaxed); }
mcastfwdr_rtp_hdr *manager_input_get_rtp_state(manager_input *mi) { return &mi->rtp; }

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

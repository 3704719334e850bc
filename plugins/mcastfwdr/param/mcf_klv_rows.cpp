// KLV source rows: the row of each source with its appliers, and adding
// and removing sources with their rows and store keys.
#include "param/mcf_param.h"

#include "mcastfwdr.h"

#include <array>
#include <cstdio>
#include <cstring>
#include <vector>

namespace {

using mcf::param::leaf;

const char *const kNoYes[] = {"No", "Yes", nullptr};
const char *const kIntf[] = {"Port 1", "Port 2", nullptr};
const char kHelpAddress[] = "IP Address must be multicast or 0.0.0.0 for unicast.  ";

cfg_rx_klv &klv_of(void *rec) { return *static_cast<cfg_rx_klv *>(rec); }
bool loaded() { return mcf_ctrl_plane_configuration_is_loaded != 0; }

// Address and port: a unique pair re-creates the socket, a duplicate is put back.
template <class Revert> void apply_pair(cfg_rx_klv &k, bool log_applied, Revert revert)
{
    if (!loaded())
        return;
    if (mcf_rx_klv_net_ip_port_pair_is_unique(&k)) {
        if (log_applied)
            mcf_post_log(SQ_LOG_INFO, "KLV source %d applied node: %s port: %d", k.id, k.node, k.port);
        _mcastfwdr_restart_klv_source(&k);
    } else {
        mcf_post_log(SQ_LOG_INFO, "KLV source %d IP %s and port %d not unique, reverting", k.id, k.node, k.port);
        revert();
    }
}

// "255.255.255.255" (unset) is answered with success and changes nothing;
// text that is no address, or a unicast address (a source receives on a
// group or on every local address), is refused.
int apply_node(void *rec, const char *text)
{
    cfg_rx_klv &k = klv_of(rec);
    char node[sizeof k.node];
    if (mcastfwdr_format_ip_addr(node, sizeof node, text) != 0)
        return -1;
    if (std::strcmp(node, k.node) == 0 || std::strcmp(node, MCF_ADDR_UNSET) == 0)
        return 0;
    if (std::strcmp(node, "0.0.0.0") != 0 && !mcastfwdr_ip_addr_is_multicast(node))
        return -1;
    char old[sizeof k.node];
    std::memcpy(old, k.node, sizeof old);
    std::memcpy(k.node, node, sizeof k.node);
    apply_pair(k, true, [&] { std::memcpy(k.node, old, sizeof k.node); });
    return 0;
}

int apply_port(void *rec, int32_t port)
{
    cfg_rx_klv &k = klv_of(rec);
    if (port == -1 || port == k.port)
        return 0;
    const int prev = k.port;
    k.port = port;
    apply_pair(k, false, [&] { k.port = prev; });
    return 0;
}

int apply_intf(void *rec, int idx, const char *)
{
    cfg_rx_klv &k = klv_of(rec);
    const char *name = idx == 0 ? "eth0" : "eth1";
    if (std::strcmp(k.intf, name) == 0)
        return 0;
    std::snprintf(k.intf, sizeof k.intf, "%s", name);
    if (loaded())
        _mcastfwdr_restart_klv_source(&k);
    return 0;
}

// Rate and PID are read by the receive thread: changed under the lock;
// once loaded the outputs using the source rebuild their tables.
template <class Set> void store_and_rebuild(cfg_rx_klv &k, Set set)
{
    pthread_rwlock_wrlock(&ctrl_data_lock);
    set();
    if (loaded())
        manager_outputs_update_program_tables_for_klv_source(k.id);
    pthread_rwlock_unlock(&ctrl_data_lock);
}

int apply_pid(void *rec, int32_t pid)
{
    cfg_rx_klv &k = klv_of(rec);
    if (uint32_t(pid) == k.pid)
        return 0;
    store_and_rebuild(k, [&] { k.pid = uint32_t(pid); });
    return 0;
}

int apply_rate(void *rec, int32_t rate)
{
    cfg_rx_klv &k = klv_of(rec);
    if (rate == -1 || rate == k.rate)
        return 0;
    store_and_rebuild(k, [&] { k.rate = rate; });
    return 0;
}

template <auto Field> int read_int(void *rec) { return static_cast<int>(klv_of(rec).*Field); }
int read_intf(void *rec) { return std::strcmp(klv_of(rec).intf, "eth0") == 0 ? 0 : 1; }

const std::array kKlvLeaves = {
    leaf{.label = "ID", .max = 20, .number = read_int<&cfg_rx_klv::id>},
    leaf{.label = "IP Address", .type = PARAMTYPE_STRING, .rw = PARAMCTRL_RDWR, .help = kHelpAddress,
         .text = [](void *r) -> const char * { return klv_of(r).node; }, .apply_text = apply_node},
    leaf{.label = "Port", .rw = PARAMCTRL_RDWR, .max = 65535, .number = read_int<&cfg_rx_klv::port>,
         .apply_number = apply_port},
    leaf{.label = "Interface", .type = PARAMTYPE_CHOICE, .rw = PARAMCTRL_RDWR, .choices = kIntf, .index = read_intf,
         .apply_choice = apply_intf},
    leaf{.label = "PID", .rw = PARAMCTRL_RDWR, .min = 20, .max = 8191, .number = read_int<&cfg_rx_klv::pid>,
         .apply_number = apply_pid},
    leaf{.label = "Rate", .rw = PARAMCTRL_RDWR, .max = 500000, .number = read_int<&cfg_rx_klv::rate>,
         .apply_number = apply_rate},
    leaf{.label = "Stream Detected", .type = PARAMTYPE_CHOICE, .choices = kNoYes, .auto_notify = 2.0,
         .index = [](void *r) { return klv_of(r).detected ? 1 : 0; }},
    leaf{.label = "UDP Packets Received", .max = 2147483647, .auto_notify = 1.0,
         .number = read_int<&cfg_rx_klv::pkts_rx>},
    leaf{.label = "Errors Packetizing", .max = 2147483647, .auto_notify = 1.0,
         .number = read_int<&cfg_rx_klv::errs_packetizing>},
    leaf{.label = "Overflow Errors", .max = 2147483647, .auto_notify = 1.0,
         .number = read_int<&cfg_rx_klv::errs_overflow>},
};
constexpr auto kKlvCb = mcf::param::callbacks_of<kKlvLeaves>();

int same_record(void *data, void *key) { return data == key ? 0 : 1; }

} // namespace

extern "C" {

int _mcastfwdr_restart_klv_source(cfg_rx_klv *klv)
{
    if (!klv)
        return -1;
    pthread_rwlock_wrlock(&ctrl_data_lock);
    const int rc = cfg_rx_klv_socket_create(klv);
    pthread_rwlock_unlock(&ctrl_data_lock);
    return rc;
}

void mcastfwdr_allocate_rule_klv_source(param_context *tbl_klv_sources, cfg_rx_klv *klv)
{
    char key[32];
    std::snprintf(key, sizeof key, "klv_source_%d", klv->id);
    param_context *row = kd_param_alloc_row(tbl_klv_sources, key, klv->ui_label);
    if (!row)
        return;
    for (const leaf &l : kKlvLeaves)
        mcf::param::make_leaf(row, l, kKlvCb, klv);
    store_klv_sources_save_params();
}

int mcastfwdr_add_klv_source_row(int id)
{
    cfg_rx_klv *klv = nullptr;
    {
        // The receive thread walks the sources under the read lock.
        mcf::write_lock lock;
        klv = mcfcfg_add_klv_source(id);
    }
    if (!klv) {
        mcf::param::log_not_added("KLV source", id, mcf::limits::kKlvSources);
        return -1;
    }
    mcastfwdr_allocate_rule_klv_source(mcf_cfg.tbl_klv_sources, klv);
    mcf::param::announce(mcf_cfg.tbl_rem_klv_source);
    mcfcfg_tx_input_update_klv_source_params(&mcf_cfg);
    return 0;
}

int mcastfwdr_rem_klv_source_row(cfg_rx_klv *klv)
{
    if (!klv)
        return -1;
    const int id = klv->id;
    mcastfwdr_param_delete(mcf_pli, mcf_cfg.tbl_klv_sources, klv, same_record, 0);
    pthread_rwlock_wrlock(&ctrl_data_lock);
    mcfcfg_remove_klv_source(klv); // closes its socket and route
    manager_outputs_update_program_tables_for_klv_source(id);
    pthread_rwlock_unlock(&ctrl_data_lock);
    mcfcfg_tx_input_update_klv_source_params(&mcf_cfg);
    store_klv_sources_save_params();
    return 0;
}

int store_klv_sources_save_params(void)
{
    std::vector<int> ids;
    for (const cfg_rx_klv &k : mcf::records<cfg_rx_klv>(mcf_cfg.rules_rx_klv))
        ids.push_back(k.id);
    return mcf::param::save_id_list("mcastfwdr/klv_source_keys", ids);
}

} // extern "C"

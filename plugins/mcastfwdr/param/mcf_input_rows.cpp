// Input rows: the row of each input with its appliers, program rows, and
// adding and removing Net inputs with their rows and store keys.
#include "param/mcf_param.h"
#include "param/mcf_srt_leaves.h"

#include "status_queue.h"

#include <kerrow/store.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

using mcf::param::leaf;
using mcf::param::kind_bit;

const char *const kTypes[] = {"Net", "Internal", "Virtual", "ASI", nullptr};
const char *const kNoYes[] = {"No", "Yes", nullptr};
const char *const kOffOn[] = {"Off", "On", nullptr};
const char *const kIntf[] = {"Port 1", "Port 2", nullptr};
const char *const kPgmStatus[] = {"Inactive", "Active", nullptr};
const char *const kCaStatus[] = {"Clear", "BISS1", "BISS2 M1", "BISS2 CA", "Encrypted Other", nullptr};

constexpr unsigned kNet = kind_bit(INGRTYPE_NET);
constexpr unsigned kAsi = kind_bit(INGRTYPE_ASIIN);
constexpr unsigned kXsb = kind_bit(INGRTYPE_XSB);
constexpr unsigned kVirt = kind_bit(INGRTYPE_VIRT);

cfg_rx &rx_of(void *rec) { return *static_cast<cfg_rx *>(rec); }
bool loaded() { return mcf_ctrl_plane_configuration_is_loaded != 0; }

const char kHelpAddress[] =
    "IP Address must be multicast or 0.0.0.0 for UDP and RTP.  IP Address must be unicast for SRT modes Caller and "
    "Rendezvous.  IP Address must be 0.0.0.0 for SRT mode Listener.";
// ---- actions on the running engine ----

void restart(cfg_rx &rx) { _mcastfwdr_restart_input_mgr(&rx); }
void restart_if_loaded(cfg_rx &rx)
{
    if (loaded())
        restart(rx);
}
using srt_leaves = mcf::param::srt::leaves<cfg_rx, restart_if_loaded>;

// Keeps the address, its socket address and the SRT fields, to put back.
struct node_state {
    char node[sizeof cfg_rx{}.ingress_node];
    int srt_enabled;
    srt_connect mode;
    explicit node_state(const cfg_rx &rx) : srt_enabled(rx.srt_ingress_enabled), mode(rx.srt_connect)
    {
        std::memcpy(node, rx.ingress_node, sizeof node);
    }
    void put_back(cfg_rx &rx) const
    {
        cfg_rx_set_node(&rx, node);
        rx.srt_ingress_enabled = srt_enabled;
        rx.srt_connect = mode;
    }
};

// Announces the SRT switch and mode when an address change moved them.
void announce_srt_moves(cfg_rx &rx, const node_state &before)
{
    if (!rx.ip_addr_changed)
        return;
    if (rx.srt_ingress_enabled != before.srt_enabled)
        mcf::param::announce(mcf::param::sibling(rx.ip_addr_changed, "srt_enabled"));
    if (rx.srt_connect != before.mode)
        mcf::param::announce(mcf::param::sibling(rx.ip_addr_changed, "srt_connect"));
}

int apply_node(void *rec, const char *text)
{
    cfg_rx &rx = rx_of(rec);
    const node_state before(rx);
    const int rc = cfg_rx_set_node(&rx, text);
    if (rc < 0)
        return -1;
    if (!loaded() || rc == 0)
        return 0;
    if (std::strcmp(rx.ingress_node, MCF_ADDR_UNSET) == 0) {
        before.put_back(rx);
        return 0;
    }
    if (mcf_rx_net_ip_port_pair_is_unique(&rx)) {
        mcf_post_log(SQ_LOG_INFO, "Input %d applied node: %s port: %d", rx.ingress_id, rx.ingress_node,
                     rx.ingress_port);
        announce_srt_moves(rx, before);
        restart(rx);
    } else {
        mcf_post_log(SQ_LOG_INFO, "Input %d IP %s and port %d not unique, reverting", rx.ingress_id, rx.ingress_node,
                     rx.ingress_port);
        before.put_back(rx);
    }
    return 0;
}

int apply_port(void *rec, int32_t port)
{
    cfg_rx &rx = rx_of(rec);
    if (port == -1)
        return 0;
    const int prev = rx.ingress_port;
    const int rc = cfg_rx_set_port(&rx, port);
    if (rc < 0)
        return -1;
    if (rc == 0 || !loaded())
        return 0;
    mcf_post_log(SQ_LOG_INFO, "Input %d IP %s and port %d testing for conflict", rx.ingress_id, rx.ingress_node, port);
    if (mcf_rx_net_ip_port_pair_is_unique(&rx)) {
        restart(rx);
    } else {
        mcf_post_log(SQ_LOG_INFO, "Input %d IP %s and port %d not unique, reverting", rx.ingress_id, rx.ingress_node,
                     port);
        if (prev >= 0)
            cfg_rx_set_port(&rx, prev);
        else
            rx.ingress_port = prev;
    }
    return 0;
}

int apply_intf(void *rec, int idx, const char *)
{
    cfg_rx &rx = rx_of(rec);
    const char *name = idx == 0 ? "eth0" : "eth1";
    if (std::strcmp(rx.ingress_intf, name) == 0)
        return 0;
    std::snprintf(rx.ingress_intf, sizeof rx.ingress_intf, "%s", name);
    if (loaded())
        restart(rx);
    return 0;
}

int apply_bps(void *rec, int32_t bps)
{
    cfg_rx &rx = rx_of(rec);
    if (rx.ingress_bps == bps)
        return 0;
    const int prev = rx.ingress_bps;
    if (!loaded()) {
        rx.ingress_bps = bps;
        return 0;
    }
    if (rx.ingress_is_bridged && mcf_ctrl_plane_external_systems_connected)
        mcastfwdr_ingress_notify_internal_ts(bps, rx.ingress_id);
    // The multiplexer reads the rate when it rebuilds a fill engine: the
    // record changes together with the outputs' share of it.
    pthread_rwlock_wrlock(&ctrl_data_lock);
    rx.ingress_bps = bps;
    mcastfwdr_update_input_bps_and_outputs_using_it(&rx, prev);
    pthread_rwlock_unlock(&ctrl_data_lock);
    return 0;
}

int apply_bridge(void *rec, int idx, const char *)
{
    cfg_rx &rx = rx_of(rec);
    const int on = idx != 0;
    if (rx.ingress_is_bridged == on)
        return 0;
    rx.ingress_is_bridged = on;
    if (!loaded())
        return 0;
    if (on) {
        if (mcf_rx_net_bridge_is_at_limit_in_rx(&rx) || !mcf_ctrl_plane_external_systems_connected) {
            rx.ingress_is_bridged = 0;
            return 0;
        }
        mcastfwdr_ingress_notify_internal_ts(rx.ingress_bps, rx.ingress_id);
    } else {
        if (!mcf_ctrl_plane_external_systems_connected)
            return 0;
        mcastfwdr_ingress_notify_internal_ts_clear(rx.ingress_id);
    }
    restart(rx);
    return 0;
}

// SRT switch and mode: a change restarts the input once loaded, whether or
// not it moved the address; a moved address is announced.
template <class Set> int apply_srt_move(cfg_rx &rx, bool changed, Set set)
{
    if (!changed)
        return 0;
    const node_state before(rx);
    const int rc = set();
    if (rc < 0) {
        before.put_back(rx);
        return -1;
    }
    if (!loaded())
        return 0;
    if (rc > 0)
        mcf::param::announce(rx.ip_addr_changed);
    restart(rx);
    return 0;
}

int apply_srt_enable(void *rec, int idx, const char *)
{
    cfg_rx &rx = rx_of(rec);
    const int on = idx != 0;
    return apply_srt_move(rx, rx.srt_ingress_enabled != on, [&] { return cfg_rx_set_srt_enable(&rx, on); });
}

int apply_srt_connect(void *rec, int idx, const char *)
{
    cfg_rx &rx = rx_of(rec);
    const auto mode = static_cast<srt_connect>(idx);
    return apply_srt_move(rx, rx.srt_connect != mode, [&] { return cfg_rx_set_srt_connect(&rx, mode); });
}

template <auto Field> int read_int(void *rec) { return static_cast<int>(rx_of(rec).*Field); }
template <auto Field> const char *read_text(void *rec) { return rx_of(rec).*Field; }
int read_intf(void *rec) { return std::strcmp(rx_of(rec).ingress_intf, "eth0") == 0 ? 0 : 1; }
int read_flag(int v) { return v ? 1 : 0; }

// One row for every input type; a leaf is made for the kinds it names.
constexpr auto kInputLeaves = mcf::param::join(
    std::array{
        leaf{.label = "ID", .min = -1000000, .max = 1000000, .number = read_int<&cfg_rx::ingress_id>},
        leaf{.label = "Type", .type = PARAMTYPE_CHOICE, .choices = kTypes, .index = read_int<&cfg_rx::ingress_type>},
        leaf{.label = "Routable", .type = PARAMTYPE_CHOICE, .choices = kNoYes,
             .index = [](void *r) { return read_flag(rx_of(r).ingress_is_routable); }},
        leaf{.label = "SRT Enabled", .type = PARAMTYPE_CHOICE, .rw = PARAMCTRL_RDWR, .kinds = kNet, .choices = kOffOn,
             .index = [](void *r) { return read_flag(rx_of(r).srt_ingress_enabled); },
             .apply_choice = apply_srt_enable},
        leaf{.label = "IP Address", .type = PARAMTYPE_STRING, .rw = PARAMCTRL_RDWR, .kinds = kNet, .help = kHelpAddress,
             .text = read_text<&cfg_rx::ingress_node>, .apply_text = apply_node},
        leaf{.label = "Port", .rw = PARAMCTRL_RDWR, .kinds = kNet, .min = 0, .max = 65535,
             .number = read_int<&cfg_rx::ingress_port>, .apply_number = apply_port},
        leaf{.label = "Interface", .type = PARAMTYPE_CHOICE, .rw = PARAMCTRL_RDWR, .kinds = kNet, .choices = kIntf,
             .index = read_intf, .apply_choice = apply_intf},
        leaf{.label = "Trans Mux Rate", .rw = PARAMCTRL_RDWR, .kinds = kNet | kAsi, .min = 1000000, .max = 210000000,
             .number = read_int<&cfg_rx::ingress_bps>, .apply_number = apply_bps},
        leaf{.label = "Bridge", .type = PARAMTYPE_CHOICE, .rw = PARAMCTRL_RDWR, .kinds = kNet | kAsi, .choices = kOffOn,
             .index = [](void *r) { return read_flag(rx_of(r).ingress_is_bridged); }, .apply_choice = apply_bridge},
    },
    // SRT options and statistics (Net)
    mcf::param::one(srt_leaves::connect(kNet, apply_srt_connect)), srt_leaves::tuning(kNet),
    mcf::param::one(srt_leaves::passphrase(kNet, mcf::param::srt::help_passphrase)),
    mcf::param::one(srt_leaves::key_len(kNet)), mcf::param::one(srt_leaves::log_level(kNet)),
    mcf::param::one(srt_leaves::encrypt(kNet)),
    srt_leaves::status<&cfg_rx::srt_mbps_recv_rate>(kNet, "SRT Receive Rate",
                                                     "SRT receiving rate in Mbps. Updates periodically."),
    srt_leaves::counters(kNet), srt_leaves::buffers(kNet),
    std::array{
        leaf{.label = "Bay Position", .kinds = kXsb, .max = 7, .number = read_int<&cfg_rx::ingress_bay>},
        leaf{.label = "Trans Mux Rate", .kinds = kXsb, .min = 1000000, .max = 210000000, .auto_notify = 1.0,
             .number = read_int<&cfg_rx::ingress_bps>},
        leaf{.label = "Trans Mux Rate", .kinds = kVirt, .min = 1000000, .max = 210000000,
             .number = read_int<&cfg_rx::ingress_bps>},
        leaf{.label = "Trans Mux Rate Detected", .min = 1000000, .max = 210000000, .auto_notify = 1.0,
             .number = read_int<&cfg_rx::ingress_bps_detected>},
        leaf{.label = "Components", .type = PARAMTYPE_STRING, .auto_notify = 1.0,
             .text = read_text<&cfg_rx::ingress_pids>},
        leaf{.label = "DVB per IP", .kinds = kNet, .min = 1, .max = 7, .auto_notify = 1.0,
             .number = read_int<&cfg_rx::ingress_dvb_per_ip>},
        leaf{.label = "Stream Detected", .type = PARAMTYPE_CHOICE, .choices = kNoYes, .auto_notify = 1.0,
             .index = [](void *r) { return read_flag(rx_of(r).ingress_stream_detected); }},
        leaf{.label = "RTP Detected", .type = PARAMTYPE_CHOICE, .kinds = kNet, .choices = kNoYes, .auto_notify = 1.0,
             .index = [](void *r) { return read_flag(rx_of(r).ingress_is_rtp); }},
        leaf{.label = "TS Packets Received", .kinds = kNet | kAsi, .min = 0, .max = -1, .auto_notify = 1.0,
             .number = read_int<&cfg_rx::ingress_ts_packets_rx>},
    });

// Program rows.
in_pgm_status &pgm_of(void *rec) { return *static_cast<in_pgm_status *>(rec); }
const std::array kProgramLeaves = {
    leaf{.label = "Program Number", .max = 65535, .number = [](void *r) { return int(pgm_of(r).pgm_num); }},
    leaf{.label = "Program Name", .type = PARAMTYPE_STRING, .text = [](void *r) -> const char * { return pgm_of(r).pgm_name; }},
    leaf{.label = "Program Status", .type = PARAMTYPE_CHOICE, .choices = kPgmStatus,
         .index = [](void *r) { return pgm_of(r).status ? 1 : 0; }},
    leaf{.label = "Program CA Status", .type = PARAMTYPE_CHOICE, .choices = kCaStatus, .auto_notify = 2.0,
         .index = [](void *r) {
             const int ca = pgm_of(r).ca_status;
             return ca >= 0 && ca < CASTATUS_END ? ca : 0;
         }},
};

constexpr auto kInputCb = mcf::param::callbacks_of<kInputLeaves>();
constexpr auto kProgramCb = mcf::param::callbacks_of<kProgramLeaves>();

int same_record(void *data, void *key) { return data == key ? 0 : 1; }

} // namespace

extern "C" {

int _mcastfwdr_restart_input_mgr(cfg_rx *rx)
{
    if (!rx)
        return -1;
    pthread_rwlock_wrlock(&ctrl_data_lock);
    const int deleted = mcastfwdr_delete_input_and_outputs_using_it(rx);
    if (deleted)
        mcfcfg_rx_set_all_program_status_inactive(rx);
    manager_input_output_sync(deleted);
    pthread_rwlock_unlock(&ctrl_data_lock);
    return 0;
}

void mcastfwdr_allocate_rule_input(param_context *tbl_inputs, cfg_rx *rx)
{
    param_context *row = mcf::param::make_row(tbl_inputs, "input", rx->ingress_id, rx->ingress_ui_label);
    if (!row)
        return;
    const unsigned kind = kind_bit(rx->ingress_type);
    for (const leaf &l : kInputLeaves) {
        if (!(l.kinds & kind))
            continue;
        param_context *p = mcf::param::make_leaf(row, l, kInputCb, rx);
        if (l.apply_text == apply_node)
            rx->ip_addr_changed = p;
    }
    rx->param_services = kd_param_alloc_table(row, "services", "Services", nullptr);
    if (rx->ingress_type != INGRTYPE_NET)
        return;
    store_inputs_net_save_params();
    srt_leaves::restore_passphrase(*rx, SQ_LOG_INFO, "input");
}

void mcastfwdr_allocate_rule_input_program(param_context *table, in_pgm_status *entry, int index)
{
    char key[16], label[16];
    std::snprintf(key, sizeof key, "%d", index);
    std::snprintf(label, sizeof label, "%d", index + 1);
    param_context *row = kd_param_alloc_row(table, key, label);
    entry->param_pgm_status_entry = row;
    if (!row)
        return;
    for (const leaf &l : kProgramLeaves)
        mcf::param::make_leaf(row, l, kProgramCb, entry);
}

int mcastfwdr_add_input_net_row(int id)
{
    cfg_rx *rx = mcfcfg_rx_add_net(id);
    if (!rx) {
        mcf::param::log_not_added("Net input", id, mcf::limits::kNetInputs);
        return -1;
    }
    mcastfwdr_allocate_rule_input(mcf_cfg.tbl_inputs, rx);
    mcf_rx_register_alarms(rx);
    mcf::param::announce(mcf_cfg.tbl_rem_input);
    mcf_post_routable_input_added_deleted_event(rx->ingress_id, true);
    return 0;
}

int mcastfwdr_rem_input_row(cfg_rx *rx)
{
    if (!rx)
        return -1;
    const int id = rx->ingress_id;
    const bool net = rx->ingress_type == INGRTYPE_NET;
    const bool bridged = rx->ingress_is_bridged != 0;
    mcastfwdr_param_delete(mcf_pli, mcf_cfg.tbl_inputs, rx, same_record, 0);
    pthread_rwlock_wrlock(&ctrl_data_lock);
    const int deleted = mcastfwdr_delete_input_and_outputs_using_it(rx);
    mcfcfg_rx_rem(rx);
    manager_input_output_sync(deleted);
    pthread_rwlock_unlock(&ctrl_data_lock);
    if (net) {
        if (bridged && mcf_ctrl_plane_external_systems_connected)
            mcastfwdr_ingress_notify_internal_ts_clear(id);
        store_inputs_net_save_params();
    }
    mcf_post_routable_input_added_deleted_event(id, false);
    return 0;
}

int store_inputs_net_save_params(void)
{
    std::vector<int> ids;
    for (const cfg_rx &r : mcf::records<cfg_rx>(mcf_cfg.rules_rx))
        if (r.ingress_type == INGRTYPE_NET)
            ids.push_back(r.ingress_id);
    return mcf::param::save_id_list("mcastfwdr/input_net_keys", ids);
}

} // extern "C"

// Output rows: the row of each Net, ASI and decoder output with its
// appliers (rebuilding or re-tabling the running output, driving the ASI
// port), its SRT and BISS-CA options, and adding and removing Net outputs
// with their store keys.
#include "param/mcf_param.h"
#include "param/mcf_srt_leaves.h"

#include "status_queue.h"

#include <kerrow/store.h>

#include <netinet/in.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

namespace {

using mcf::param::kind_bit;
using mcf::param::leaf;

const char *const kTypes[] = {"Net", "ASI", "Dec", nullptr};
const char *const kOffOn[] = {"Off", "On", nullptr};
const char *const kOffOnMirror[] = {"Off", "On", "Mirror", nullptr};
const char *const kAsiModes[] = {"Burst", "Byte", nullptr};
const char *const kIntf[] = {"Port 1", "Port 2", nullptr};
const char *const kTables[] = {"DVB", "ATSC Cable", "ATSC Terrestrial", nullptr};
const char *const kProtocols[] = {"UDP", "RTP", "SRT", nullptr};
const char *const kYes[] = {"Yes", nullptr};
const char kNoInput[] = "No Input Selected";

constexpr unsigned kNet = kind_bit(EGRTYPE_NET);
constexpr unsigned kAsi = kind_bit(EGRTYPE_ASI);
constexpr unsigned kDec = kind_bit(EGRTYPE_DEC);
constexpr unsigned kNetAsi = kNet | kAsi;

cfg_tx &tx_of(void *rec) { return *static_cast<cfg_tx *>(rec); }
bool loaded() { return mcf_ctrl_plane_configuration_is_loaded != 0; }

const char kHelpAddress[] =
    "IP Address must be multicast or unicast for UDP and RTP.  IP Address must be unicast for SRT modes Caller and "
    "Rendezvous.  IP Address must be 0.0.0.0 for SRT mode Listener.";
const char kHelpTables[] = "There are 2 tables type options:\n1. DVB - includes PAT, PMT, and SDT tables\n"
                           "2. ATSC Cable - includes PAT, PMT, CVCT, RRT, MGT, EIT, and STT tables";
// An input's passphrase help with the closing words.
constexpr auto kHelpPass = [] {
    constexpr std::string_view head = mcf::param::srt::help_passphrase, tail = " for encryption to occur.";
    std::array<char, head.size() + tail.size() + 1> text{};
    std::copy(head.begin(), head.end(), text.begin());
    std::copy(tail.begin(), tail.end(), text.begin() + long(head.size()));
    return text;
}();

// ---- actions on the running output ----

void rebuild(cfg_tx &tx) { mcf::param::rebuild_output(tx); }
void retable(cfg_tx &tx, int what, void (*first)(manager_output *, const cfg_tx &) = nullptr)
{
    mcf::param::retable_output(tx, what, first);
}

using srt_leaves = mcf::param::srt::leaves<cfg_tx, rebuild>;
// A setting whose change rebuilds the output.
template <auto Field> constexpr auto apply_rebuild_number = srt_leaves::set_number<Field>;
template <auto Field> constexpr auto apply_rebuild_choice = srt_leaves::set_choice<Field>;

int apply_ts_id(void *rec, int32_t v)
{
    cfg_tx &tx = tx_of(rec);
    if (tx.ts_id == v)
        return 0;
    tx.ts_id = v;
    retable(tx, 1, [](manager_output *mo, const cfg_tx &t) { manager_output_set_transport_stream_id(mo, t.ts_id); });
    return 0;
}

int apply_network_id(void *rec, int32_t v)
{
    cfg_tx &tx = tx_of(rec);
    if (tx.orig_network_id == v)
        return 0;
    tx.orig_network_id = v;
    retable(tx, 8);
    return 0;
}

int apply_tables(void *rec, int idx, const char *)
{
    cfg_tx &tx = tx_of(rec);
    const auto type = static_cast<tables_type>(idx);
    if (tx.dest_tables_type == type)
        return 0;
    tx.dest_tables_type = type;
    retable(tx, 0, [](manager_output *mo, const cfg_tx &t) { manager_output_set_tables_type(mo, t.dest_tables_type); });
    return 0;
}

const char **transmit_choices(void *rec)
{
    return const_cast<const char **>(tx_of(rec).egress_type == EGRTYPE_ASI ? kOffOnMirror : kOffOn);
}

int apply_transmit(void *rec, int idx, const char *)
{
    cfg_tx &tx = tx_of(rec);
    const auto mode = static_cast<dest_xmit_select>(idx);
    const dest_xmit_select prev = tx.dest_transmit;
    if (prev == mode)
        return 0;
    tx.dest_transmit = mode;
    if (!loaded())
        return 0;
    if (tx.egress_type == EGRTYPE_ASI && (mode == DEST_XMIT_MIR || prev == DEST_XMIT_MIR))
        mcastfwdr_asi_hw_cfg_mirror(&tx, mode == DEST_XMIT_MIR ? 1 : 0);
    pthread_rwlock_wrlock(&ctrl_data_lock);
    manager_input_output_sync(0);
    pthread_rwlock_unlock(&ctrl_data_lock);
    return 0;
}

// "Mirror Port": the 1-based numbers of the other ASI outputs.
const char **mirror_choices(void *rec)
{
    std::vector<std::string> numbers;
    for (const cfg_tx &t : mcf::records<cfg_tx>(mcf_cfg.rules_tx))
        if (&t != rec && t.egress_type == EGRTYPE_ASI)
            numbers.push_back(std::to_string(t.dest_id + 1LL));
    return mcf::param::fresh_choices(numbers);
}

const char *read_mirror(void *rec)
{
    static std::string number;
    number = std::to_string(tx_of(rec).dest_mirror_id + 1LL);
    return number.c_str();
}

int apply_mirror(void *rec, int, const char *text)
{
    cfg_tx &tx = tx_of(rec);
    const int id = std::atoi(text) - 1; // one of the offered numbers
    if (id < 0 || id == tx.dest_id)
        return -1;
    if (id == tx.dest_mirror_id)
        return 0;
    tx.dest_mirror_id = id;
    if (loaded() && tx.dest_transmit == DEST_XMIT_MIR)
        mcastfwdr_asi_hw_cfg_mirror(&tx, 1);
    return 0;
}

// Copied into a running output at once, also while the store is applied.
int apply_asi_mode(void *rec, int idx, const char *)
{
    cfg_tx &tx = tx_of(rec);
    const auto mode = static_cast<asi_output_type>(idx);
    if (tx.dest_asi_output_type == mode)
        return 0;
    tx.dest_asi_output_type = mode;
    pthread_rwlock_wrlock(&ctrl_data_lock);
    manager_output *mo = manager_outputs_find_by_id(tx.dest_id);
    if (mo)
        manager_output_set_asi_output_type(mo, mode);
    pthread_rwlock_unlock(&ctrl_data_lock);
    if (mo && tx.egress_type == EGRTYPE_ASI)
        mcastfwdr_asi_hw_cfg_output_mode(&tx);
    return 0;
}

// ---- destinations ----

const char *node_of(const cfg_tx &tx, int path2) { return path2 ? tx.redundant_node : tx.dest_node; }
int port_of(const cfg_tx &tx, int path2) { return path2 ? tx.redundant_port : tx.dest_port; }
bool pair_is_unique(const cfg_tx &tx, int path2)
{
    return (path2 ? mcf_tx_redundant_ip_port_pair_is_unique(&tx) : mcf_tx_ip_port_pair_is_unique(&tx)) != 0;
}

bool resolves_to_unset(const remote_addr &ra)
{
    if (!ra.addr || ra.addr->sa_family != AF_INET)
        return false;
    return reinterpret_cast<const sockaddr_in *>(ra.addr)->sin_addr.s_addr == htonl(INADDR_BROADCAST);
}

void log_not_unique(const cfg_tx &tx, int path2)
{
    mcf_post_log(SQ_LOG_INFO, "MCF: CfgTx %d %sIP %s and port %d not unique, reverting", tx.dest_id,
                 path2 ? "Redundant " : "", node_of(tx, path2), port_of(tx, path2));
}

int apply_address(cfg_tx &tx, int path2, const char *text)
{
    char kept[sizeof tx.dest_node];
    std::memcpy(kept, node_of(tx, path2), sizeof kept);
    const int rc = cfg_tx_set_node(&tx, path2, text);
    if (rc == -1)
        return -1; // not an address text: refused at any time
    if (!loaded()) {
        // A saved host name the resolver cannot answer yet is kept (only
        // host names fail to resolve; they are kept as given).
        if (rc == -2)
            cfg_tx_put_node(&tx, path2, text);
        return 0;
    }
    if (rc == -2) {
        mcf_post_log(SQ_LOG_WARN, "MCF: CfgTx %d Rejecting dest node \"%s\"", tx.dest_id, text);
        return 0;
    }
    if (rc == 0)
        return 0;
    const remote_addr &ra = path2 ? tx.redundant_ra : tx.ra;
    if (resolves_to_unset(ra)) {
        mcf_post_log(SQ_LOG_WARN, "MCF: CfgTx %d Ignoring empty address \"%s\"", tx.dest_id, node_of(tx, path2));
        cfg_tx_put_node(&tx, path2, kept);
        return 0;
    }
    if (tx.dest_protocol != PROTOCOL_SRT && std::strcmp(node_of(tx, path2), "0.0.0.0") == 0) {
        cfg_tx_put_node(&tx, path2, kept);
        return 0;
    }
    if (!path2) {
        char given[sizeof tx.dest_node];
        std::memcpy(given, tx.dest_node, sizeof given);
        if (mcf_tx_validate_and_udpate_srt_ip_addr(&tx, given))
            cfg_tx_put_node(&tx, 0, tx.dest_node);
    }
    if (!pair_is_unique(tx, path2)) {
        log_not_unique(tx, path2);
        cfg_tx_put_node(&tx, path2, kept);
        return 0;
    }
    rebuild(tx);
    return 0;
}

int apply_port(cfg_tx &tx, int path2, int32_t port)
{
    const int prev = port_of(tx, path2);
    const int rc = cfg_tx_set_port(&tx, path2, port);
    if (rc < 0)
        return -1;
    if (rc == 0 || !loaded())
        return 0;
    if (!pair_is_unique(tx, path2)) {
        log_not_unique(tx, path2);
        if (prev >= 0)
            cfg_tx_set_port(&tx, path2, prev);
        else
            (path2 ? tx.redundant_port : tx.dest_port) = prev;
        return 0;
    }
    if (path2)
        mcf_post_log(SQ_LOG_INFO, "MCF: CfgTx %d Redundant IP %s port %d", tx.dest_id, tx.redundant_node,
                     tx.redundant_port);
    rebuild(tx);
    return 0;
}

template <int Path2> int apply_node_of(void *rec, const char *text) { return apply_address(tx_of(rec), Path2, text); }
template <int Path2> int apply_port_of(void *rec, int32_t port) { return apply_port(tx_of(rec), Path2, port); }

template <auto Field> int read_intf(void *rec) { return std::strcmp(tx_of(rec).*Field, "eth0") == 0 ? 0 : 1; }
template <auto Field> int apply_intf(void *rec, int idx, const char *)
{
    cfg_tx &tx = tx_of(rec);
    const char *name = idx == 0 ? "eth0" : "eth1";
    if (std::strcmp(tx.*Field, name) == 0)
        return 0;
    std::snprintf(tx.*Field, sizeof(tx.*Field), "%s", name);
    rebuild(tx);
    return 0;
}

int apply_bps(void *rec, int32_t bps)
{
    cfg_tx &tx = tx_of(rec);
    if (tx.egress_type == EGRTYPE_ASI)
        bps = mcastfwdr_asi_calculate_actual_bps(bps, 0, 1); // what the port produces
    if (tx.dest_bps == bps)
        return 0;
    tx.dest_bps = bps;
    if (tx.dest_single_input_mode != DEST_SIM_ON)
        rebuild(tx);
    return 0;
}

int apply_protocol(void *rec, int idx, const char *)
{
    cfg_tx &tx = tx_of(rec);
    const auto protocol = static_cast<protocol_type>(idx);
    const protocol_type prev = tx.dest_protocol;
    if (prev == protocol)
        return 0;
    tx.dest_protocol = protocol;
    if (!loaded())
        return 0;
    char node[sizeof tx.dest_node];
    std::memcpy(node, tx.dest_node, sizeof node);
    if (protocol == PROTOCOL_SRT) {
        if (!mcf_tx_validate_and_udpate_srt_ip_addr(&tx, node)) {
            rebuild(tx);
            return 0;
        }
    } else if (prev == PROTOCOL_SRT) {
        std::snprintf(tx.dest_node, sizeof tx.dest_node, "%s", MCF_ADDR_UNSET);
    } else {
        rebuild(tx);
        return 0;
    }
    cfg_tx_put_node(&tx, 0, tx.dest_node);
    mcf::param::announce(tx.ip_addr_changed);
    rebuild(tx);
    return 0;
}

// ---- turn-around ----

// The inputs an output can turn around: routable and not virtual.
std::vector<const cfg_rx *> turn_around_inputs()
{
    std::vector<const cfg_rx *> inputs;
    for (const cfg_rx &rx : mcf::records<cfg_rx>(mcf_cfg.rules_rx))
        if (rx.ingress_is_routable && rx.ingress_type != INGRTYPE_VIRT)
            inputs.push_back(&rx);
    return inputs;
}

const char **input_select_choices(void *)
{
    std::vector<std::string> labels{kNoInput};
    for (const cfg_rx *rx : turn_around_inputs())
        labels.emplace_back(rx->ingress_ui_label);
    return mcf::param::fresh_choices(labels);
}

const char *read_input_select(void *rec)
{
    const int id = tx_of(rec).dest_single_input_id;
    const cfg_rx *rx = id == 0 ? nullptr : mcfcfg_rx_find_by_id(id);
    return rx ? rx->ingress_ui_label : kNoInput;
}

int apply_input_select(void *rec, int idx, const char *text)
{
    cfg_tx &tx = tx_of(rec);
    int id = 0;
    if (idx > 0) {
        const cfg_rx *chosen = nullptr;
        for (const cfg_rx *rx : turn_around_inputs())
            if (!chosen && std::strcmp(rx->ingress_ui_label, text) == 0)
                chosen = rx;
        if (!chosen)
            return -1;
        id = chosen->ingress_id;
    }
    const bool changed = tx.dest_single_input_id != id;
    mcastfwdr_set_dest_si_id(&tx, id);
    if (changed)
        mcf::param::announce(tx.param_single_input_id);
    return 0;
}

int apply_input_id(void *rec, int32_t id) { return mcastfwdr_set_dest_si_id(&tx_of(rec), id); }

// ---- SRT and BISS-CA ----

int apply_srt_connect(void *rec, int idx, const char *)
{
    cfg_tx &tx = tx_of(rec);
    const auto mode = static_cast<srt_connect>(idx);
    if (tx.srt_connect == mode)
        return 0;
    tx.srt_connect = mode;
    if (!loaded())
        return 0;
    char node[sizeof tx.dest_node];
    std::memcpy(node, tx.dest_node, sizeof node);
    if (mcf_tx_validate_and_udpate_srt_ip_addr(&tx, node)) {
        cfg_tx_put_node(&tx, 0, tx.dest_node);
        mcf::param::announce(tx.ip_addr_changed);
    }
    rebuild(tx);
    return 0;
}

int apply_key_file(void *rec, const char *file)
{
    cfg_tx &tx = tx_of(rec);
    if (std::strlen(file) >= sizeof tx.priv_key_file)
        return -1;
    if (std::strcmp(tx.priv_key_file, file) == 0)
        return 0;
    const bool had_id = tx.ekid[0] != '\0';
    if (cfg_tx_set_biss2ca_rx_priv_key_file(&tx, file) != 0) {
        if (loaded()) {
            mcf_post_log(SQ_LOG_WARN, "MCF: CfgTx %d Private key not found \"%s\"", tx.dest_id, file);
            return 0;
        }
        // Restored from the store before the file is there: kept, so the
        // store keeps it too; the engine reports the missing key.
        cfg_tx_keep_biss2ca_rx_priv_key_file(&tx, file);
    }
    if (had_id)
        mcf::param::announce(tx.param_ekid);
    rebuild(tx);
    return 0;
}

const char *read_ekid(void *rec)
{
    const char *id = cfg_tx_get_biss2ca_rx_ekid_str(&tx_of(rec));
    return id ? id : "";
}

// ---- services ----

const char **service_choices(void *rec)
{
    std::vector<std::string> ids;
    for (const cfg_tx_input &s : mcf::records<cfg_tx_input>(tx_of(rec).dest_services))
        ids.push_back(std::to_string(s.service_id));
    return mcf::param::fresh_choices(ids);
}

// "Yes" adds a service with the next free id; "Rem Service" is offered the
// current ids only.
int add_service(void *rec, int, const char *) { return mcastfwdr_add_row_out_input(&tx_of(rec), -1, 0) == 0 ? 0 : -1; }
int rem_service(void *rec, int, const char *text)
{
    return mcastfwdr_rem_out_input_row(&tx_of(rec), 0, text) == 0 ? 0 : -1;
}

template <auto Field> int read_int(void *rec) { return static_cast<int>(tx_of(rec).*Field); }
template <auto Field> const char *read_text(void *rec) { return tx_of(rec).*Field; }

constexpr auto kOutputLeaves = mcf::param::join(
    std::array{
        leaf{.label = "ID", .min = -1000000, .max = 1000000, .number = read_int<&cfg_tx::dest_id>},
        leaf{.label = "Type", .type = PARAMTYPE_CHOICE, .choices = kTypes, .index = read_int<&cfg_tx::egress_type>},
        leaf{.label = "Transport Stream ID", .rw = PARAMCTRL_RDWR, .kinds = kNetAsi, .min = 0, .max = 65535,
             .number = read_int<&cfg_tx::ts_id>, .apply_number = apply_ts_id},
        leaf{.label = "Original Network ID", .rw = PARAMCTRL_RDWR, .kinds = kNetAsi, .min = 0, .max = 65535,
             .number = read_int<&cfg_tx::orig_network_id>, .apply_number = apply_network_id},
        leaf{.label = "Transmit", .type = PARAMTYPE_CHOICE, .rw = PARAMCTRL_RDWR, .kinds = kNetAsi,
             .choices_of = transmit_choices, .index = read_int<&cfg_tx::dest_transmit>, .apply_choice = apply_transmit},
        leaf{.label = "Mirror Port", .key = "mirror_select", .type = PARAMTYPE_CHOICE, .rw = PARAMCTRL_RDWR,
             .kinds = kAsi, .choices_of = mirror_choices, .text = read_mirror, .apply_choice = apply_mirror},
        leaf{.label = "ASI Output Mode", .key = "asi_output_mode", .type = PARAMTYPE_CHOICE, .rw = PARAMCTRL_RDWR,
             .kinds = kAsi, .choices = kAsiModes, .index = read_int<&cfg_tx::dest_asi_output_type>,
             .apply_choice = apply_asi_mode},
        leaf{.label = "IP Address", .type = PARAMTYPE_STRING, .rw = PARAMCTRL_RDWR, .kinds = kNet, .help = kHelpAddress,
             .text = read_text<&cfg_tx::dest_node>, .apply_text = apply_node_of<0>},
        leaf{.label = "Port", .rw = PARAMCTRL_RDWR, .kinds = kNet, .min = 0, .max = 65535,
             .number = read_int<&cfg_tx::dest_port>, .apply_number = apply_port_of<0>},
        leaf{.label = "Interface", .type = PARAMTYPE_CHOICE, .rw = PARAMCTRL_RDWR, .kinds = kNet, .choices = kIntf,
             .index = read_intf<&cfg_tx::dest_intf>, .apply_choice = apply_intf<&cfg_tx::dest_intf>},
        leaf{.label = "Trans Mux Rate", .rw = PARAMCTRL_RDWR, .kinds = kNetAsi, .min = 1000000, .max = 210000000,
             .number = read_int<&cfg_tx::dest_bps>, .apply_number = apply_bps},
        leaf{.label = "Tables", .type = PARAMTYPE_CHOICE, .rw = PARAMCTRL_RDWR, .kinds = kNetAsi, .choices = kTables,
             .help = kHelpTables, .index = read_int<&cfg_tx::dest_tables_type>, .apply_choice = apply_tables},
        leaf{.label = "DVB per IP", .rw = PARAMCTRL_RDWR, .kinds = kNet, .min = 1, .max = 7,
             .number = read_int<&cfg_tx::dest_dvb_per_ip>,
             .apply_number = apply_rebuild_number<&cfg_tx::dest_dvb_per_ip>},
        leaf{.label = "IP TTL", .rw = PARAMCTRL_RDWR, .kinds = kNet, .min = 1, .max = 255,
             .number = read_int<&cfg_tx::dest_ip_ttl>, .apply_number = apply_rebuild_number<&cfg_tx::dest_ip_ttl>},
        leaf{.label = "Latency Buffer (ms)", .key = "latency", .rw = PARAMCTRL_RDWR, .kinds = kNetAsi, .min = 0,
             .max = 500, .step = 20, .number = read_int<&cfg_tx::dest_xmit_buffer_ms>,
             .apply_number = apply_rebuild_number<&cfg_tx::dest_xmit_buffer_ms>},
        leaf{.label = "Buffer level", .kinds = kNetAsi, .min = 0, .max = 100, .auto_notify = 1.0,
             .number = read_int<&cfg_tx::dest_buf_lvl>},
        leaf{.label = "Protocol", .type = PARAMTYPE_CHOICE, .rw = PARAMCTRL_RDWR, .kinds = kNet, .choices = kProtocols,
             .index = read_int<&cfg_tx::dest_protocol>, .apply_choice = apply_protocol},
        leaf{.label = "2022-7 Output", .type = PARAMTYPE_CHOICE, .rw = PARAMCTRL_RDWR, .kinds = kNet, .choices = kOffOn,
             .index = read_int<&cfg_tx::redundant_transmit>,
             .apply_choice = apply_rebuild_choice<&cfg_tx::redundant_transmit>},
        leaf{.label = "Path 2 Address", .type = PARAMTYPE_STRING, .rw = PARAMCTRL_RDWR, .kinds = kNet,
             .help = kHelpAddress, .text = read_text<&cfg_tx::redundant_node>, .apply_text = apply_node_of<1>},
        leaf{.label = "Path 2 Port", .rw = PARAMCTRL_RDWR, .kinds = kNet, .min = 0, .max = 65535,
             .number = read_int<&cfg_tx::redundant_port>, .apply_number = apply_port_of<1>},
        leaf{.label = "Path 2 Connector", .type = PARAMTYPE_CHOICE, .rw = PARAMCTRL_RDWR, .kinds = kNet,
             .choices = kIntf,
             .index = read_intf<&cfg_tx::redundant_intf>, .apply_choice = apply_intf<&cfg_tx::redundant_intf>},
        leaf{.label = "Turn Around Mode", .type = PARAMTYPE_CHOICE, .rw = PARAMCTRL_RDWR, .kinds = kNetAsi,
             .choices = kOffOn, .index = read_int<&cfg_tx::dest_single_input_mode>,
             .apply_choice = apply_rebuild_choice<&cfg_tx::dest_single_input_mode>},
        leaf{.label = "Turn Around Input Select", .type = PARAMTYPE_CHOICE, .rw = PARAMCTRL_RDWR_NOPERSIST,
             .kinds = kNetAsi, .choices_of = input_select_choices, .text = read_input_select,
             .apply_choice = apply_input_select},
        leaf{.label = "Turn Around Input Id", .rw = PARAMCTRL_RDWR, .kinds = kNetAsi, .min = 0, .max = 1820,
             .number = read_int<&cfg_tx::dest_single_input_id>, .apply_number = apply_input_id},
        leaf{.label = "BISS2 CA Private Key", .type = PARAMTYPE_STRING, .rw = PARAMCTRL_RDWR,
             .help = "Private Key Receiver Key for BISS2CA\n", .text = read_text<&cfg_tx::priv_key_file>,
             .apply_text = apply_key_file},
        leaf{.label = "BISS2 CA Private Key ID", .type = PARAMTYPE_STRING,
             .help = "An identifier for the BISS CA receiver key.", .text = read_ekid},
        leaf{.label = "Add Service", .type = PARAMTYPE_CHOICE, .rw = PARAMCTRL_WRONLY, .kinds = kNetAsi,
             .choices = kYes, .apply_choice = add_service},
        leaf{.label = "Rem Service", .type = PARAMTYPE_CHOICE, .rw = PARAMCTRL_WRONLY, .kinds = kNetAsi,
             .choices_of = service_choices, .apply_choice = rem_service},
    },
    // SRT settings and statistics (Net)
    mcf::param::one(srt_leaves::connect(kNet, apply_srt_connect)), srt_leaves::tuning(kNet),
    mcf::param::one(srt_leaves::passphrase(kNet, kHelpPass.data())), mcf::param::one(srt_leaves::log_level(kNet)),
    mcf::param::one(srt_leaves::key_len(kNet)), mcf::param::one(srt_leaves::encrypt(kNet)),
    srt_leaves::status<&cfg_tx::srt_mbps_send_rate>(kNet, "SRT Send Rate",
                                                     "SRT sending rate in Mbps.  Updates periodically."),
    srt_leaves::counters(kNet), mcf::param::one(srt_leaves::flight_size(kNet)), srt_leaves::buffers(kNet));

constexpr auto kOutputCb = mcf::param::callbacks_of<kOutputLeaves>();

// The record's handles to parameters of its row.
struct handle {
    const char *label;
    param_context *cfg_tx::*field;
};
constexpr handle kHandles[] = {
    {"IP Address", &cfg_tx::ip_addr_changed},
    {"Turn Around Input Select", &cfg_tx::param_single_input_select},
    {"Turn Around Input Id", &cfg_tx::param_single_input_id},
    {"BISS2 CA Private Key ID", &cfg_tx::param_ekid},
    {"Rem Service", &cfg_tx::param_rem_output_service},
};

int same_record(void *data, void *key) { return data == key ? 0 : 1; }

} // namespace

namespace mcf::param {

void rebuild_output(cfg_tx &tx)
{
    if (!loaded())
        return;
    pthread_rwlock_wrlock(&ctrl_data_lock);
    const int deleted = manager_outputs_delete(tx.dest_id);
    manager_input_output_sync(deleted);
    pthread_rwlock_unlock(&ctrl_data_lock);
}

void retable_output(cfg_tx &tx, int what, void (*first)(manager_output *, const cfg_tx &), bool before_load)
{
    if (!loaded() && !before_load)
        return;
    pthread_rwlock_wrlock(&ctrl_data_lock);
    if (manager_output *mo = manager_outputs_find_by_id(tx.dest_id)) {
        if (first)
            first(mo, tx);
        manager_output_sync_tables_on_cfg_change(mo, &tx, what);
    }
    pthread_rwlock_unlock(&ctrl_data_lock);
}

} // namespace mcf::param

extern "C" {

void mcastfwdr_allocate_rule_output(param_context *tbl_outputs, cfg_tx *tx)
{
    param_context *row = mcf::param::make_row(tbl_outputs, "output", tx->dest_id, tx->dest_ui_label);
    if (!row)
        return;
    const unsigned kind = kind_bit(tx->egress_type);
    // A decoder output shows its services before the key; the others after it.
    const char *refs_before = tx->egress_type == EGRTYPE_DEC ? "BISS2 CA Private Key" : "Add Service";
    tx->param_services = nullptr;
    for (const leaf &l : kOutputLeaves) {
        if (!(l.kinds & kind))
            continue;
        if (!tx->param_services && std::strcmp(l.label, refs_before) == 0)
            tx->param_services = kd_param_alloc_table(row, nullptr, "Input Refs", nullptr);
        param_context *p = mcf::param::make_leaf(row, l, kOutputCb, tx);
        for (const handle &h : kHandles)
            if (std::strcmp(h.label, l.label) == 0)
                tx->*h.field = p;
    }
    if (tx->egress_type != EGRTYPE_NET)
        return;
    srt_leaves::restore_passphrase(*tx, SQ_LOG_DEBUG, "output");
}

int mcastfwdr_add_row_output(int id)
{
    if (id >= 0 && mcfcfg_tx_find_by_id(id))
        return -1;
    cfg_tx *tx = mcfcfg_tx_add_net(&mcf_cfg, id);
    if (!tx) {
        mcf::param::log_not_added("output", id, mcf::limits::kOutputs);
        return -1;
    }
    mcastfwdr_allocate_rule_output(mcf_cfg.tbl_outputs, tx);
    mcf_tx_register_alarms(tx);
    store_outputs_save_params();
    mcf::param::announce(mcf_cfg.tbl_rem_output);
    return 0;
}

int mcastfwdr_rem_output_row(cfg_tx *tx)
{
    if (!tx)
        return -1;
    const int id = tx->dest_id;
    mcastfwdr_param_delete(mcf_pli, mcf_cfg.tbl_outputs, tx, same_record, 0);
    // The running output goes before its record, in one section the data
    // threads cannot look into.
    pthread_rwlock_wrlock(&ctrl_data_lock);
    const int deleted = manager_outputs_delete(id);
    mcfcfg_tx_rem(tx);
    manager_input_output_sync(deleted);
    pthread_rwlock_unlock(&ctrl_data_lock);
    store_outputs_save_params();
    store_outputs_rem_pid_map_keys(id);
    return 0;
}

int store_outputs_save_params(void)
{
    // Every output as "id[service,...]", joined with ";"; no length limit,
    // so that no output is left out of the next start.
    std::string text;
    for (const cfg_tx &tx : mcf::records<cfg_tx>(mcf_cfg.rules_tx)) {
        if (!text.empty())
            text += ';';
        text += std::to_string(tx.dest_id) + '[';
        bool first = true;
        for (const cfg_tx_input &s : mcf::records<cfg_tx_input>(tx.dest_services)) {
            text += (first ? "" : ",") + std::to_string(s.service_id);
            first = false;
        }
        text += ']';
    }
    if (kd_store_save_string(mcf_pli, "mcastfwdr/output_keys", text.c_str()) != 0)
        return -1;
    return int(text.size());
}

int store_outputs_rem_pid_map_keys(int output_id)
{
    return kd_store_remove_key(mcf_pli, mcf::param::pid_map_key(output_id).c_str());
}

} // extern "C"

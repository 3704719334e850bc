// Input rows: the row of each input with its appliers, program rows, and
// adding and removing Net inputs with their rows and store keys.
#include "param/mcf_param.h"

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
const char *const kConnect[] = {"Caller", "Listener", "Rendezvous", nullptr};
const char *const kMinVersion[] = {"Any", "1.3.0", nullptr};
const char *const kOffOnDefault[] = {"Off", "On", "Default", nullptr};
const char *const kKeyLen[] = {"0", "16", "24", "32", nullptr};
const char *const kLogLevel[] = {"Off", "NA", "Critical", "Error", "Warning", "Notice", "Info", "Debug", nullptr};
const char *const kSrtStatus[] = {"N/A", "INIT", "OPENED", "LISTENING", "CONNECTING",
                                  "CONNECTED", "BROKEN", "CLOSING", "CLOSED", "NONEXIST", nullptr};
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
const char kHelpPass[] =
    "Passphrase must be at least 10 characters in length and no longer than 79 characters.This is the SRT passphrase "
    "used for encryption/decryption.It is the 'shared secret' between the sender and receiver.SRT ENCRYPT must be set "
    "to ON, and the passphrase must be valid and mustmatch the peer's passphrase";
const char kHelpFlow[] =
    "Flow window size in packets. The free packet space in the peer receiver, as read on the sender.  When this value "
    "drops to zero, the next sending packet will be simply dropped by the receiver without processing. Updates "
    "periodically.";
// ---- actions on the running engine ----

void restart(cfg_rx &rx) { _mcastfwdr_restart_input_mgr(&rx); }

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
    rx.ingress_bps = bps;
    if (!loaded())
        return 0;
    if (rx.ingress_is_bridged && mcf_ctrl_plane_external_systems_connected)
        mcastfwdr_ingress_notify_internal_ts(rx.ingress_bps, rx.ingress_id);
    pthread_rwlock_wrlock(&ctrl_data_lock);
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

// Store a plain SRT option; restart once loaded.
template <class F> int store_and_restart(cfg_rx &rx, F &field, F value)
{
    if (field == value)
        return 0;
    field = value;
    if (loaded())
        restart(rx);
    return 0;
}

template <auto Field> int apply_srt_number(void *rec, int32_t v)
{
    return store_and_restart(rx_of(rec), rx_of(rec).*Field, v);
}
template <auto Field> int apply_srt_choice(void *rec, int idx, const char *)
{
    using E = std::remove_reference_t<decltype(rx_of(rec).*Field)>;
    return store_and_restart(rx_of(rec), rx_of(rec).*Field, static_cast<E>(idx));
}

std::string passphrase_key(const cfg_rx &rx)
{
    const char *route = kd_param_get_scope(rx.param_services);
    return route ? std::string(route) + "/srt/srt_passphrase" : std::string();
}

int apply_passphrase(void *rec, const char *text)
{
    cfg_rx &rx = rx_of(rec);
    const size_t n = std::strlen(text);
    if (n < 10 || n > 79)
        return -1;
    if (std::strcmp(rx.srt_passphrase, text) == 0)
        return 0;
    std::snprintf(rx.srt_passphrase, sizeof rx.srt_passphrase, "%s", text);
    const std::string key = passphrase_key(rx);
    if (!key.empty())
        kd_store_save_string(mcf_pli, key.c_str(), rx.srt_passphrase);
    if (loaded())
        restart(rx);
    return 0;
}

template <auto Field> int read_int(void *rec) { return static_cast<int>(rx_of(rec).*Field); }
template <auto Field> const char *read_text(void *rec) { return rx_of(rec).*Field; }
int read_intf(void *rec) { return std::strcmp(rx_of(rec).ingress_intf, "eth0") == 0 ? 0 : 1; }
int read_flag(int v) { return v ? 1 : 0; }

constexpr double kStat = 6.0;

// One row for every input type; a leaf is made for the kinds it names.
const std::array kInputLeaves = {
    leaf{.label = "ID", .min = -1000000, .max = 1000000, .number = read_int<&cfg_rx::ingress_id>},
    leaf{.label = "Type", .type = PARAMTYPE_CHOICE, .choices = kTypes, .index = read_int<&cfg_rx::ingress_type>},
    leaf{.label = "Routable", .type = PARAMTYPE_CHOICE, .choices = kNoYes,
         .index = [](void *r) { return read_flag(rx_of(r).ingress_is_routable); }},
    leaf{.label = "SRT Enabled", .type = PARAMTYPE_CHOICE, .rw = PARAMCTRL_RDWR, .kinds = kNet, .choices = kOffOn,
         .index = [](void *r) { return read_flag(rx_of(r).srt_ingress_enabled); }, .apply_choice = apply_srt_enable},
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
    // SRT options and statistics (Net)
    leaf{.label = "SRT Connect", .type = PARAMTYPE_CHOICE, .rw = PARAMCTRL_RDWR, .kinds = kNet, .choices = kConnect,
         .help = "Valid modes: Caller to peer Listener, Listener to peer Caller, Rendezvous to peer Rendezvous",
         .index = read_int<&cfg_rx::srt_connect>, .apply_choice = apply_srt_connect},
    leaf{.label = "SRT Receive Latency (ms)", .key = "srt receive latency", .rw = PARAMCTRL_RDWR, .kinds = kNet,
         .min = 0, .max = 60000,
         .help = "The time (ms) that should elapse since the moment when the packetwas sent and the moment when it's "
                 "delivered to the receiver application. Default value is 120 ms",
         .number = read_int<&cfg_rx::srt_rcv_latency>, .apply_number = apply_srt_number<&cfg_rx::srt_rcv_latency>},
    leaf{.label = "SRT Min Version", .type = PARAMTYPE_CHOICE, .rw = PARAMCTRL_RDWR, .kinds = kNet,
         .choices = kMinVersion,
         .help = "Mode 'Any' not recommended. '1.3.0' ensures that current handshake will be used.",
         .index = read_int<&cfg_rx::srt_min_version>, .apply_choice = apply_srt_choice<&cfg_rx::srt_min_version>},
    leaf{.label = "SRT Timestamp Based Packet Delivery", .type = PARAMTYPE_CHOICE, .rw = PARAMCTRL_RDWR,
         .kinds = kNet, .choices = kOffOnDefault,
         .help = "Timestamp-based packet delivery mode, SRT live mode defaults to On.Default - Allow SRT to "
                 "internally determine parameter value, OFF or ON will override SRT's default value",
         .index = read_int<&cfg_rx::srt_tsbpdmode>, .apply_choice = apply_srt_choice<&cfg_rx::srt_tsbpdmode>},
    leaf{.label = "SRT Peer Latency (ms)", .key = "srt peer latency", .rw = PARAMCTRL_RDWR, .kinds = kNet, .min = 0,
         .max = 60000,
         .help = "Minimum latency value (ms) required for receiver (See srt_rcv_latency for description).SRT default "
                 "value is 0.",
         .number = read_int<&cfg_rx::srt_peer_latency>, .apply_number = apply_srt_number<&cfg_rx::srt_peer_latency>},
    leaf{.label = "SRT Too Late Packet Drop", .type = PARAMTYPE_CHOICE, .rw = PARAMCTRL_RDWR, .kinds = kNet,
         .choices = kOffOnDefault,
         .help = "Too late packet drop, SRT live mode defaults to On.Default - Allow SRT to internally determine "
                 "parameter value, OFF or ON will override SRT's default value",
         .index = read_int<&cfg_rx::srt_tlpktdrop>, .apply_choice = apply_srt_choice<&cfg_rx::srt_tlpktdrop>},
    leaf{.label = "SRT Nak Report", .type = PARAMTYPE_CHOICE, .rw = PARAMCTRL_RDWR, .kinds = kNet,
         .choices = kOffOnDefault,
         .help = "Receiver will send lost message report periodically, SRT live mode defaults to On.Default - Allow "
                 "SRT to internally determine parameter value, OFF or ON will override SRT's default value",
         .index = read_int<&cfg_rx::srt_nakreport>, .apply_choice = apply_srt_choice<&cfg_rx::srt_nakreport>},
    leaf{.label = "SRT Loss Max TTL", .key = "srt lossmaxttl", .rw = PARAMCTRL_RDWR, .kinds = kNet, .min = 0,
         .max = 100000,
         .help = "The value up to which the *Reorder Tolerance* may grow before packet loss report is sent.SRT default "
                 "value is 0, which enables packet loss report each time a packet is received out of order",
         .number = read_int<&cfg_rx::srt_lossmaxttl>, .apply_number = apply_srt_number<&cfg_rx::srt_lossmaxttl>},
    leaf{.label = "SRT PassPhrase", .type = PARAMTYPE_STRING, .rw = PARAMCTRL_WRONLY, .kinds = kNet,
         .help = kHelpPass, .secret = true, .apply_text = apply_passphrase},
    leaf{.label = "SRT PbKeyLen", .type = PARAMTYPE_CHOICE, .rw = PARAMCTRL_RDWR, .kinds = kNet, .choices = kKeyLen,
         .help = "Encryption key length set by sender. 0 is 'not set', but will default to 16(128/8) on sender if srt "
                 "passphrase is set.16->(128/8) 24->(192/8) 32->(256/8)",
         .index = read_int<&cfg_rx::srt_pbkeylen>, .apply_choice = apply_srt_choice<&cfg_rx::srt_pbkeylen>},
    leaf{.label = "SRT Log Level", .type = PARAMTYPE_CHOICE, .rw = PARAMCTRL_RDWR, .kinds = kNet,
         .choices = kLogLevel,
         .help = "Used to control SRT log message levels.  SRT log messages are sent to the journal logs.",
         .index = read_int<&cfg_rx::srt_log_level>, .apply_choice = apply_srt_choice<&cfg_rx::srt_log_level>},
    leaf{.label = "SRT Encrypt", .type = PARAMTYPE_CHOICE, .rw = PARAMCTRL_RDWR, .kinds = kNet, .choices = kOffOn,
         .help = "Off: SRT will not encrypt or decrypt. On: SRT will encrypt if passphrase is valid and matches "
                 "peer's passphrase",
         .index = read_int<&cfg_rx::srt_encrypt>, .apply_choice = apply_srt_choice<&cfg_rx::srt_encrypt>},
    leaf{.label = "SRT Status", .type = PARAMTYPE_CHOICE, .kinds = kNet, .choices = kSrtStatus,
         .help = "OFF - transmit is OFF, LISTENING - Waiting for peer to answer, CONNECTED - Streaming is active",
         .auto_notify = kStat, .index = read_int<&cfg_rx::srt_status>},
    leaf{.label = "SRT Duration", .type = PARAMTYPE_STRING, .kinds = kNet,
         .help = "Duration represents the length of time that SRT has been sending/receiving. Updates periodically.",
         .auto_notify = kStat, .text = read_text<&cfg_rx::srt_duration>},
    leaf{.label = "SRT RTT", .type = PARAMTYPE_STRING, .kinds = kNet,
         .help = "SRT calculated round trip time in milliseconds. The sum of two STT (Single-Trip time) values, one "
                 "from agent to peer and one from peer to agent. Updates periodically.",
         .auto_notify = kStat, .text = read_text<&cfg_rx::srt_rtt>},
    leaf{.label = "SRT Receive Rate", .type = PARAMTYPE_STRING, .kinds = kNet,
         .help = "SRT receiving rate in Mbps. Updates periodically.", .auto_notify = kStat,
         .text = read_text<&cfg_rx::srt_mbps_recv_rate>},
    leaf{.label = "SRT Packet Retransmit Total", .kinds = kNet, .max = 2147483647,
         .help = "Total Retransmitted packets. Updates periodically.", .auto_notify = kStat,
         .number = read_int<&cfg_rx::srt_pkt_retrans_total>},
    leaf{.label = "SRT Packet Send Lost Total", .kinds = kNet, .max = 2147483647,
         .help = "Total number of lost packets (sender side). Updates periodically.", .auto_notify = kStat,
         .number = read_int<&cfg_rx::srt_pkt_send_loss_total>},
    leaf{.label = "SRT Packet Send Dropped Total", .kinds = kNet, .max = 2147483647,
         .help = "Total number of too-late-to-send dropped packets. Updates periodically.", .auto_notify = kStat,
         .number = read_int<&cfg_rx::srt_pkt_send_drop_total>},
    leaf{.label = "SRT Percent Packet Lost Last Period", .type = PARAMTYPE_STRING, .kinds = kNet,
         .help = "Percent of packets lost in last period. Updates periodically.", .auto_notify = kStat,
         .text = read_text<&cfg_rx::srt_period_packet_loss_pct>},
    leaf{.label = "SRT Packet Receive Lost Total", .kinds = kNet, .max = 2147483647,
         .help = "Total number of lost packets (receiver side). Updates periodically.", .auto_notify = kStat,
         .number = read_int<&cfg_rx::srt_pkt_recv_loss_total>},
    leaf{.label = "SRT Packet Receive Dropped Total", .kinds = kNet, .max = 2147483647,
         .help = "Total number of too-late-to play missing packets. Updates periodically.", .auto_notify = kStat,
         .number = read_int<&cfg_rx::srt_pkt_recv_drop_total>},
    leaf{.label = "SRT Packet Packet Flow Window", .kinds = kNet, .max = 2147483647, .help = kHelpFlow,
         .auto_notify = kStat, .number = read_int<&cfg_rx::srt_pkt_flow_window>},
    leaf{.label = "SRT Send Buffer Not ACKed", .kinds = kNet, .max = 2147483647,
         .help = "UnACKed packets in sender buffer. Updates periodically.", .auto_notify = kStat,
         .number = read_int<&cfg_rx::srt_pkt_send_buffer_not_acked>},
    leaf{.label = "SRT Bytes Avail Send Buffer", .kinds = kNet, .max = 2147483647,
         .help = "Available sender buffer size. Updates periodically.", .auto_notify = kStat,
         .number = read_int<&cfg_rx::srt_byte_avail_send_buffer_size>},
    leaf{.label = "SRT Bytes Avail Receive Buffer", .kinds = kNet, .max = 2147483647,
         .help = "Available receiver buffer size. Updates periodically.", .auto_notify = kStat,
         .number = read_int<&cfg_rx::srt_byte_avail_recv_buffer_size>},
    leaf{.label = "SRT Buffer Available", .type = PARAMTYPE_STRING, .kinds = kNet,
         .help = "Percent of SRT buffer that is available. Updates periodically.", .auto_notify = kStat,
         .text = read_text<&cfg_rx::srt_buffer_avail>},
    // end of the SRT block
    leaf{.label = "Bay Position", .kinds = kXsb, .max = 7, .number = read_int<&cfg_rx::ingress_bay>},
    leaf{.label = "Trans Mux Rate", .kinds = kXsb, .min = 1000000, .max = 210000000, .auto_notify = 1.0,
         .number = read_int<&cfg_rx::ingress_bps>},
    leaf{.label = "Trans Mux Rate", .kinds = kVirt, .min = 1000000, .max = 210000000,
         .number = read_int<&cfg_rx::ingress_bps>},
    leaf{.label = "Trans Mux Rate Detected", .min = 1000000, .max = 210000000, .auto_notify = 1.0,
         .number = read_int<&cfg_rx::ingress_bps_detected>},
    leaf{.label = "Components", .type = PARAMTYPE_STRING, .auto_notify = 1.0, .text = read_text<&cfg_rx::ingress_pids>},
    leaf{.label = "DVB per IP", .kinds = kNet, .min = 1, .max = 7, .auto_notify = 1.0,
         .number = read_int<&cfg_rx::ingress_dvb_per_ip>},
    leaf{.label = "Stream Detected", .type = PARAMTYPE_CHOICE, .choices = kNoYes, .auto_notify = 1.0,
         .index = [](void *r) { return read_flag(rx_of(r).ingress_stream_detected); }},
    leaf{.label = "RTP Detected", .type = PARAMTYPE_CHOICE, .kinds = kNet, .choices = kNoYes, .auto_notify = 1.0,
         .index = [](void *r) { return read_flag(rx_of(r).ingress_is_rtp); }},
    leaf{.label = "TS Packets Received", .kinds = kNet | kAsi, .min = 0, .max = -1, .auto_notify = 1.0,
         .number = read_int<&cfg_rx::ingress_ts_packets_rx>},
};

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
    char key[32];
    std::snprintf(key, sizeof key, "input_%d", rx->ingress_id);
    param_context *row = kd_param_alloc_row(tbl_inputs, key, rx->ingress_ui_label);
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
    const std::string pkey = passphrase_key(*rx);
    mcf_post_log(SQ_LOG_INFO, "input pasphrase: %s", pkey.c_str());
    char *saved = nullptr;
    if (!pkey.empty() && kd_store_load_string(mcf_pli, pkey.c_str(), &saved) == 0 && saved)
        std::snprintf(rx->srt_passphrase, sizeof rx->srt_passphrase, "%s", saved);
    std::free(saved);
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
    if (!rx)
        return -1;
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

// The run-time side of one configured input: its receive socket (shared by
// the Net inputs of one interface and port), host route, RTP state, status
// counters and alarm flags. Managers live in a pooled list, so a manager
// never moves while the data threads hold the read side of ctrl_data_lock.
#pragma once

#include "engine.h"
#include "router/input_rx.h"
#include "router/rtp.h"
#include "srt/srt_helper.h"
#include "tables/input_tables.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <type_traits>

struct kd_dataset;

struct manager_input {
    int32_t id;
    ingress_type type;
    // Net: the UDP receive socket or -1; XSB: 10000 + bay (bays 0-7) or -1;
    // ASI and the virtual input: 0.
    int32_t socket_id;
    // Bumped each time this manager's socket is made or taken over; ingress
    // entries carry it so that entries of a closed (and maybe reused)
    // descriptor are recognised as stale.
    uint32_t socket_gen;
    char route_id[128];
    int32_t is_bridged;
    int32_t is_routable;
    int32_t srt_ingress_enabled;
    char configured_intf[8];
    char configured_node[256];
    int32_t configured_port;
    int32_t configured_bps;
    char configured_label[32];
    int32_t bay;
    mcastfwdr_rtp_hdr rtp; // multiplexer only
    // Written by the data path, read by the loop (relaxed).
    std::atomic<uint64_t> ts_packets_rx;
    std::atomic<bool> streaming;
    std::atomic<bool> is_rtp;
    std::atomic<uint32_t> cc_errors_counter;
    std::atomic<uint32_t> status_stream_detected;
    std::atomic<uint32_t> pcr_discontinuity_occurred;
    // What the input's tables said (written by its table handlers) and its
    // PAT, CAT and SDT demultiplexers with the SDT store.
    input_table_info *tables;
    input_psi psi;
    uint32_t pcr_lost_lock_alarm_is_set;
    uint32_t cc_errors_alarm_is_set;
    // The send path's: PIDs seen, packets per datagram, error-log limits.
    mcf::input_rx rx;
    // The SRT session (SRT inputs): driven by the maintainer, its socket
    // read by the SRT ingress thread while connected.
    srt_control srt;
};
// manager_input_id (engine.h) reads the id in place.
static_assert(std::is_standard_layout_v<manager_input> && offsetof(manager_input, id) == 0);
static_assert(std::is_same_v<decltype(manager_input::id), int32_t>);

extern "C" {
int manager_input_ctor(manager_input *mi, const cfg_rx *rx);
int manager_input_dtor(manager_input *mi);
uint32_t manager_input_can_recv_data(const cfg_rx *rx);

manager_input *manager_inputs_add(const cfg_rx *rx);
int manager_inputs_sync(mcastfwdr_cfg *cfg);
manager_input *manager_inputs_find_by_port(int port);
manager_input *manager_inputs_find_net_input_by_socket(int sock);
manager_input *manager_inputs_find_net_input_by_node_socket(const char *node, int sock);
int manager_inputs_reuse_socket(const char *intf, int port);
int manager_inputs_count_reuse(const char *intf, int port);
int manager_inputs_member_has_unique_route(const manager_input *mi);
int manager_inputs_route_exists_in_set(const char *route_id);
unsigned manager_inputs_collect_net_input_socket_ids(kd_dataset *set);
void manager_inputs_foreach(void (*fn)(manager_input *mi));
// The program tables an input learnt, at debug level: its programs and,
// per program, the input and PID of each entry. Loop thread.
void manager_input_debug(const manager_input *mi);
void manager_inputs_debug(void);
// The data path's report of received data (multiplexer, read lock held).
void manager_input_update_stream_status(manager_input *mi);
// Monitors the multiplexer runs under the read lock: stream loss, and the
// PCR-lock and continuity alarms (0, 1 when some input had continuity
// errors, 2 when an input's continuity alarm cleared while it feeds a
// decoder output; the last manager's answer wins).
void manager_inputs_datapath_monitor_for_stream_loss(void);
unsigned manager_inputs_datapath_check_alarm_state(void);
// Program status (multiplexer, read lock held): a program is active when
// every PID of its PMT arrived since the previous pass (and when it lists
// none). A routable input with populated tables, or the virtual input,
// posts each change; the pass over all inputs (the virtual one first, then
// the routable ones) then starts the PID index's presence afresh.
void manager_input_update_program_status(manager_input *mi);
// SRT inputs: the input of a connected SRT socket (null for 0 or below);
// the connected sockets into set (their number); the maintainer's
// connection pass (every 500 ms) and statistics pass (every 2 s). Read lock.
manager_input *manager_inputs_find_net_input_by_srt_sock(int sock);
unsigned manager_inputs_collect_net_srt_input_sock_ids(kd_dataset *set);
void manager_inputs_datapath_monitor_srt_connection(void);
void manager_inputs_datapath_get_srt_stats(void);
// Output managers: whether one has this primary route (none yet: 0).
int manager_outputs_route_exists_in_set(const char *route_id);
}

namespace mcf {

// Unit tests of the control side, which run without a card's interfaces:
// Net managers are then plain records (no interface check, route or
// socket) made whenever the record's address and port are set.
void manager_inputs_records_only(bool on);

// One Net receive socket as the ingress thread reads it.
struct net_socket {
    int fd;
    uint32_t gen;
};
// The distinct Net receive sockets, at most max; read lock held.
unsigned collect_net_sockets(net_socket *out, unsigned max);
// Whether an ingress entry of socket fd with generation gen still belongs
// to a manager's socket; read lock held.
bool net_socket_is_current(int fd, uint32_t gen);
// The connected SRT sockets of the SRT inputs, at most max; read lock held.
unsigned collect_srt_sockets(int *out, unsigned max);
// The SRT status of an input's session; false without a manager.
bool manager_input_get_srt_stats(int id, srt_stats_t *out);

} // namespace mcf

// The run-time side of one configured input: its receive socket (shared by
// the Net inputs of one interface and port), host route, RTP state, status
// counters and alarm flags. Managers live in a pooled list, so a manager
// never moves while the data threads hold the read side of ctrl_data_lock.
#pragma once

#include "engine.h"
#include "ingress/ingress.h"
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
    // Net: the destination address (network order) of the datagrams this
    // input takes: its group, its unicast address, or for "0.0.0.0" the
    // interface's own address when the manager was made (an address
    // change rebuilds the managers of the interface). Read by the ingress
    // thread under the read lock.
    uint32_t accept_addr;
    // The receive time (realtime ns) of the datagram the multiplexer is
    // handing to the send path, 0 when it has none; multiplexer only.
    int64_t rx_ns;
    // Written by the data path, read by the loop (relaxed).
    std::atomic<uint64_t> ts_packets_rx;
    // Receive time (realtime ns) of the latest datagram taken in.
    std::atomic<int64_t> last_rx_ns;
    // Net: datagrams the kernel dropped on the input's socket (the socket's
    // count as it arrives with the input's datagrams), and datagrams that
    // reached the socket addressed to none of its inputs.
    std::atomic<uint64_t> rx_kernel_drops;
    std::atomic<uint64_t> rx_misaddressed;
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

// One Net receive socket as the ingress thread reads it, with the inputs
// that take its datagrams: accept[first .. first + count) of the set.
struct net_socket {
    int fd;
    uint32_t gen;
    unsigned first, count;
};
// A destination one input of the socket takes. `named`: the input names
// that address (a group or a unicast address), so that the multiplexer
// tells the socket's inputs apart by it; else the socket is the input's
// own ("0.0.0.0").
struct net_accept {
    uint32_t addr; // network order
    bool named;
    manager_input *mi;
};
struct net_sockets {
    static constexpr unsigned kMax = 50;
    net_socket sock[kMax];
    net_accept accept[kMax];
    unsigned n = 0, n_accept = 0;
};
// The distinct Net receive sockets and their inputs; read lock held.
void collect_net_sockets(net_sockets &out);
// Receive buffer of a Net socket: 200 ms of the rates of its inputs, never
// less than 1,250,000 bytes.
int net_rx_buffer_bytes(int64_t bps);
// The inputs kinds' own: the ingress source whose thread feeds the input
// (INGRESS_SRC_NUM for the virtual input).
int manager_input_source(const manager_input &mi);
// Stream loss decided by receive time: a streaming input is lost when its
// latest datagram is at least kStreamLossNs older than the start of a
// cycle in which its ingress thread took everything its sources held
// (swept_ns of its source, less a millisecond for the kernel's hand-over),
// and nothing waits in the pipe toward the multiplexer. A stalled ingress
// thread sweeps nothing and a stalled multiplexer leaves its pipe full, so
// neither reads as loss. swept_ns and pipe_empty by ingress source; the
// virtual input's entry is [INGRESS_SRC_NUM].
constexpr int64_t kStreamLossNs = 197000000;
struct rx_progress {
    int64_t swept_ns[INGRESS_SRC_NUM + 1];
    bool pipe_empty[INGRESS_SRC_NUM + 1];
};
void monitor_stream_loss(const rx_progress &p);
// A streaming input's stream is lost: told, and its rate taken out of the
// outputs. (A datagram stamped at least kStreamLossNs after the input's
// previous one also means a loss, which the monitor may have missed
// between its checks: the multiplexer's data path then tells it, just
// before the input streams again.)
void lose_stream(manager_input &m);
// How many inputs an ingress source feeds; read lock held.
unsigned count_inputs_of(int src);
// Whether an ingress entry of socket fd with generation gen still belongs
// to a manager's socket; read lock held.
bool net_socket_is_current(int fd, uint32_t gen);
// The connected SRT sockets of the SRT inputs, at most max; read lock held.
unsigned collect_srt_sockets(int *out, unsigned max);
// The SRT status of an input's session; false without a manager.
bool manager_input_get_srt_stats(int id, srt_stats_t *out);

} // namespace mcf

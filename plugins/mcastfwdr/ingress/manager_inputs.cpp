// The input managers: one per input that can receive, built from its
// record and never reshaped. Net inputs of one interface and port share one
// socket (each joins its group on it; the last one closes it).
#include "asi/asi_kt33.h"
#include "ingress/manager_input.h"
#include "ingress/routes.h"
#include "mcastfwdr.h"
#include "outputs/manager_output.h"
#include "router/phindex.h"
#include "status_queue.h"
#include "tables/virtual_input.h"

#include <kerrow/alarm.h>
#include <kerrow/dataset.h>
#include <kerrow/system.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>

namespace {

constexpr int kRxBufferMin = 1250000;
constexpr int64_t kRxBufferMs = 200;
constexpr const char *kAlarmPcr = "PCR Lost Lock";
constexpr const char *kAlarmCc = "CC Errors";

mcf_list *g_list = nullptr; // of manager_input; loop thread, write lock for changes
uint32_t g_socket_gen = 0;  // loop thread
bool g_records_only = false;

template <size_t N> void copy_text(char (&dst)[N], const char *src) { std::snprintf(dst, N, "%s", src ? src : ""); }

auto managers() { return mcf::records<manager_input>(g_list); }

bool is_net(const manager_input &m) { return m.type == INGRTYPE_NET; }

uint32_t gen_of_socket(int fd)
{
    for (const manager_input &m : managers())
        if (is_net(m) && m.socket_id == fd)
            return m.socket_gen;
    return 0;
}

void clear_alarm(manager_input *mi, uint32_t *flag, const char *name)
{
    if (!*flag)
        return;
    char label[64];
    std::snprintf(label, sizeof label, "%s: %s", mi->configured_label, name);
    kd_alarm_detected(label, ALARM_INACTIVE);
    *flag = 0;
}

// A Net socket's receive buffer for the rates of the inputs on it (`with`
// counted even when not in the list yet, `without` left out); forced, as
// the socket was made.
void size_rx_buffer(int fd, const manager_input *with, const manager_input *without = nullptr)
{
    int64_t bps = with ? with->configured_bps : 0;
    for (const manager_input &m : managers())
        if (is_net(m) && m.socket_id == fd && &m != with && &m != without)
            bps += std::max(0, m.configured_bps);
    const int bytes = mcf::net_rx_buffer_bytes(bps);
    if (setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &bytes, sizeof bytes) != 0 &&
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes) != 0)
        mcf_post_log(SQ_LOG_ERROR, "Set Rx socket (%d) buffer size error %s", fd, std::strerror(errno));
}

// The Net input's socket: reused or made. -1 on failure (logged, route gone).
int open_net_socket(manager_input *mi, const cfg_rx *rx)
{
    const bool any = std::strcmp(rx->ingress_node, "0.0.0.0") == 0;
    bool reused = false;
    int fd = any ? -1 : manager_inputs_reuse_socket(rx->ingress_intf, rx->ingress_port);
    if (fd >= 0) {
        reused = true;
        mi->socket_gen = gen_of_socket(fd);
    } else {
        remote_addr ra{};
        const std::string port = std::to_string(rx->ingress_port);
        if (kd_remote_addr_init(&ra, rx->ingress_node, port.c_str()) == 0)
            fd = kd_remote_register_server_dgram_ra(&ra, nullptr, nullptr, mcf::net_rx_buffer_bytes(rx->ingress_bps));
        kd_remote_addr_fini(&ra);
        if (fd >= 0) {
            const int off = 0, on = 1;
            // Only the groups joined on this socket, not every group joined
            // on the port by any socket.
            setsockopt(fd, IPPROTO_IP, IP_MULTICAST_ALL, &off, sizeof off);
            // Each datagram's destination, so that the socket's inputs take
            // only what is addressed to them, and the kernel's drop count.
            setsockopt(fd, IPPROTO_IP, IP_PKTINFO, &on, sizeof on);
            setsockopt(fd, SOL_SOCKET, SO_RXQ_OVFL, &on, sizeof on);
            mi->socket_gen = ++g_socket_gen;
        }
    }
    const char *accept = any ? kd_system_get_intf_ip_address(rx->ingress_intf) : rx->ingress_node;
    in_addr a{};
    mi->accept_addr = accept && inet_pton(AF_INET, accept, &a) == 1 ? a.s_addr : 0;
    // A new socket on a group is a member already; a shared one joins here.
    if (reused && mcastfwdr_ip_addr_is_multicast(rx->ingress_node))
        kd_remote_dgram_join_mcast(fd, rx->ingress_node);
    if (fd < 0) {
        mcf_route_rx_delete(mi);
        mcf_post_log(SQ_LOG_ERROR, "Failed to create Rx socket: %s/%d/%s (fd: %d)", rx->ingress_node,
                     rx->ingress_port, rx->ingress_intf, fd);
        return -1;
    }
    const int on = 1;
    if (setsockopt(fd, SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on) != 0) {
        const int err = errno;
        if (!reused)
            mcastfwdr_kd_remote_close(fd);
        mcf_route_rx_delete(mi);
        mcf_post_log(SQ_LOG_ERROR, "Set internal xsb socket - timestampns error %s", std::strerror(err));
        return -1;
    }
    mi->socket_id = fd;
    if (reused)
        size_rx_buffer(fd, mi);
    mcf_post_log(SQ_LOG_DEBUG, "%s Rx socket (%d) for Input %d", reused ? "Reused" : "Created", fd, mi->id);
    return 0;
}

// The input's SRT session from its record.
void fill_srt(manager_input *mi, const cfg_rx *rx)
{
    srt_control_set_owner(&mi->srt, "Input", rx->ingress_id, rx->ingress_ui_label, SRT_RECEIVE, rx->ingress_intf,
                          rx->ingress_node, rx->ingress_port, rx->srt_ingress_enabled);
    mi->srt.ingress_enabled = rx->srt_ingress_enabled;
    mcf::srt_settings_from_record(mi->srt, *rx);
    if (rx->srt_ingress_enabled)
        mcf_post_log(SQ_LOG_DEBUG, "Created SRT Input %d - intf: %s node: %s port: %d", mi->id, rx->ingress_intf,
                     rx->ingress_node, rx->ingress_port);
}

bool srt_on(const manager_input &m) { return is_net(m) && m.srt_ingress_enabled; }

bool srt_connected(const manager_input &m)
{
    return srt_on(m) && m.srt.flags.connected_to_remote.load(std::memory_order_acquire) &&
           m.srt.sock.load(std::memory_order_acquire) > 0;
}

} // namespace

extern "C" {

uint32_t manager_input_can_recv_data(const cfg_rx *rx)
{
    if (g_records_only)
        return rx && (rx->ingress_type != INGRTYPE_NET || !cfg_rx_ip_fields_incomplete(rx));
    if (!mcf_ctrl_plane_configuration_is_loaded || !rx)
        return 0;
    if (rx->ingress_type != INGRTYPE_NET)
        return 1;
    return mcastfwdr_eth_intf_is_operational(rx->ingress_intf) && !cfg_rx_ip_fields_incomplete(rx);
}

int manager_input_ctor(manager_input *mi, const cfg_rx *rx)
{
    mi->id = rx->ingress_id;
    mi->type = rx->ingress_type;
    mi->is_bridged = rx->ingress_is_bridged;
    mi->is_routable = rx->ingress_is_routable;
    mi->srt_ingress_enabled = rx->srt_ingress_enabled;
    mi->route_id[0] = '\0';
    mi->socket_id = 0;
    mi->bay = rx->ingress_bay;
    copy_text(mi->configured_intf, rx->ingress_intf);
    copy_text(mi->configured_node, rx->ingress_node);
    copy_text(mi->configured_label, rx->ingress_ui_label);
    mi->configured_port = rx->ingress_port;
    mi->configured_bps = rx->ingress_bps;
    fill_srt(mi, rx);
    mi->tables = static_cast<input_table_info *>(std::calloc(1, sizeof(input_table_info)));
    if (!mi->tables || input_tables_init(mi->tables, &mi->psi) != 0) {
        mcf_post_log(SQ_LOG_ERROR, "Input %d: no memory for its tables", mi->id);
        return -1;
    }
    if (mi->type == INGRTYPE_XSB) {
        mi->socket_id = rx->ingress_bay >= 0 && rx->ingress_bay <= 7 ? 10000 + rx->ingress_bay : -1;
    } else if (mi->type == INGRTYPE_NET) {
        mi->socket_id = -1;
        if (g_records_only)
            return 0;
        if (!mcastfwdr_eth_intf_is_operational(rx->ingress_intf)) {
            mcf_post_log(SQ_LOG_ERROR, "%s link is down, failed to create rx socket: %s:%d", rx->ingress_intf,
                         rx->ingress_node, rx->ingress_port);
            return -1;
        }
        mcf_route_rx_add(mi, rx);
        if (rx->srt_ingress_enabled)
            mcf_post_log(SQ_LOG_DEBUG, "SRT Rx socket for Input %d at address %s", mi->id, rx->ingress_node);
        else if (open_net_socket(mi, rx) != 0)
            return -1;
    }
    return 0;
}

int manager_input_dtor(manager_input *mi)
{
    if (!mi)
        return 0;
    if (mi->srt_ingress_enabled)
        srt_helper_cleanup(&mi->srt); // clears "SRT Fail" when raised
    if (mi->socket_id >= 0 && mi->type == INGRTYPE_NET) {
        const int others = manager_inputs_count_reuse(mi->configured_intf, mi->configured_port);
        if (others > 0) {
            if (mcastfwdr_ip_addr_is_multicast(mi->configured_node))
                kd_remote_dgram_leave_mcast(mi->socket_id, mi->configured_node);
            size_rx_buffer(mi->socket_id, nullptr, mi);
            mcf_post_log(SQ_LOG_DEBUG, "Left Rx socket (%d) for Input %d. Remaining: %d", mi->socket_id, mi->id, others);
        } else {
            mcastfwdr_kd_remote_close(mi->socket_id);
            mcf_post_log(SQ_LOG_DEBUG, "Closed Rx socket (%d) for Input %d", mi->socket_id, mi->id);
        }
        mi->socket_id = -1;
    } else if (mi->type == INGRTYPE_XSB) {
        mi->socket_id = -1;
    }
    if (mi->type == INGRTYPE_NET)
        mcf_route_rx_delete(mi);
    clear_alarm(mi, &mi->pcr_lost_lock_alarm_is_set, kAlarmPcr);
    clear_alarm(mi, &mi->cc_errors_alarm_is_set, kAlarmCc);
    if (mi->tables) {
        input_tables_fini(mi->tables, &mi->psi);
        std::free(mi->tables);
        mi->tables = nullptr;
    }
    return 0;
}

int manager_inputs_init(void)
{
    // The maintainer's thread may already be looking, under the read lock.
    mcf::write_lock lock;
    if (!g_list)
        g_list = mcf_list_ctor(sizeof(manager_input));
    return 0;
}

void manager_inputs_fini(void)
{
    if (!g_list)
        return;
    mcf::write_lock lock;
    while (manager_input *mi = static_cast<manager_input *>(mcf_list_next(g_list, nullptr)))
        manager_inputs_delete(mi->id);
    mcf_list_dtor(g_list);
    g_list = nullptr;
}

manager_input *manager_inputs_add(const cfg_rx *rx)
{
    void *node = mcf_list_append(g_list);
    if (!node)
        return nullptr;
    auto *mi = new (node) manager_input{};
    if (manager_input_ctor(mi, rx) != 0) {
        mcf_list_remove(g_list, mi);
        manager_input_dtor(mi);
        mi->~manager_input();
        return nullptr;
    }
    if (mi->type == INGRTYPE_ASIIN)
        asi_input_set_manager(mi->id, mi); // the board's frames find it by input offset
    const char *type = mi->type == INGRTYPE_NET     ? "NET"
                       : mi->type == INGRTYPE_ASIIN ? "ASI IN"
                       : mi->is_routable            ? "Routable XSB"
                                                    : "Unroutable XSB";
    mcf_post_log(SQ_LOG_DEBUG, "MCF: Input %d Added as type %s (srt %s)", mi->id, type,
                 rx->srt_ingress_enabled ? "enabled" : "disabled");
    mcf::ingress_sources_changed(); // a waiting thread takes the new source in
    return mi;
}

int manager_inputs_delete(int id)
{
    manager_input *mi = nullptr;
    for (manager_input &m : managers())
        if (m.id == id) {
            mi = &m;
            break;
        }
    if (!mi)
        return 0;
    mcf_post_log(SQ_LOG_DEBUG, "MCF: Input %d Deleted", id);
    if (mi->type == INGRTYPE_ASIIN)
        asi_input_clear_manager(id);
    mcf_list_remove(g_list, mi); // pooled: the record stays readable for its teardown
    manager_input_dtor(mi);
    mi->~manager_input();
    mcf::ingress_sources_changed();
    return 1;
}

int manager_inputs_sync(mcastfwdr_cfg *cfg)
{
    if (!cfg || !g_list)
        return 0;
    int n = 0;
    for (manager_input *mi = static_cast<manager_input *>(mcf_list_next(g_list, nullptr)); mi;) {
        auto *next = static_cast<manager_input *>(mcf_list_next(g_list, mi));
        if (!mcfcfg_rx_find_by_id(mi->id))
            n += manager_inputs_delete(mi->id);
        mi = next;
    }
    for (cfg_rx &rx : mcf::records<cfg_rx>(cfg->rules_rx)) {
        if (rx.ingress_type == INGRTYPE_VIRT || manager_inputs_find_by_id(rx.ingress_id) ||
            !manager_input_can_recv_data(&rx))
            continue;
        manager_inputs_add(&rx);
        ++n; // also when the construction failed
    }
    return n;
}

int manager_inputs_disable_on_intf(const char *ifname)
{
    int n = 0;
    for (cfg_rx &rx : mcf::records<cfg_rx>(mcf_cfg.rules_rx))
        if (rx.ingress_type != INGRTYPE_VIRT && std::strcmp(rx.ingress_intf, ifname) == 0)
            n += mcastfwdr_delete_input_and_outputs_using_it(&rx);
    return n;
}

manager_input *manager_inputs_find_by_id(int id)
{
    for (manager_input &m : managers())
        if (m.id == id)
            return &m;
    return nullptr;
}

manager_input *manager_inputs_find_by_port(int port)
{
    for (manager_input &m : managers())
        if (m.configured_port == port)
            return &m;
    return nullptr;
}

manager_input *manager_inputs_find_net_input_by_socket(int sock)
{
    if (sock <= 0)
        return nullptr;
    for (manager_input &m : managers())
        if (is_net(m) && m.socket_id == sock)
            return &m;
    return nullptr;
}

manager_input *manager_inputs_find_net_input_by_node_socket(const char *node, int sock)
{
    for (manager_input &m : managers())
        if (is_net(m) && m.socket_id == sock && node && std::strcmp(m.configured_node, node) == 0)
            return &m;
    return nullptr;
}

int manager_inputs_reuse_socket(const char *intf, int port)
{
    for (const manager_input &m : managers())
        if (is_net(m) && m.socket_id >= 0 && m.configured_port == port && std::strcmp(m.configured_intf, intf) == 0 &&
            std::strcmp(m.configured_node, "0.0.0.0") != 0)
            return m.socket_id;
    return -1;
}

int manager_inputs_count_reuse(const char *intf, int port)
{
    int n = 0;
    for (const manager_input &m : managers())
        n += is_net(m) && m.configured_port == port && std::strcmp(m.configured_intf, intf) == 0 &&
             std::strcmp(m.configured_node, "0.0.0.0") != 0 && m.socket_id >= 0;
    return n;
}

int manager_inputs_member_has_unique_route(const manager_input *mi)
{
    for (const manager_input &m : managers())
        if (&m != mi && is_net(m) && std::strcmp(m.route_id, mi->route_id) == 0)
            return 0;
    return 1;
}

int manager_inputs_route_exists_in_set(const char *route_id)
{
    for (const manager_input &m : managers())
        if (is_net(m) && route_id && std::strcmp(m.route_id, route_id) == 0)
            return 1;
    return 0;
}

unsigned manager_inputs_collect_net_input_socket_ids(kd_dataset *set)
{
    unsigned n = 0;
    for (const manager_input &m : managers())
        if (set && is_net(m) && m.socket_id > 0 && kd_dataset_insert(set, m.socket_id) == 0)
            ++n;
    return n;
}

manager_input *manager_inputs_find_net_input_by_srt_sock(int sock)
{
    if (sock <= 0)
        return nullptr;
    for (manager_input &m : managers())
        if (srt_on(m) && m.srt.sock.load(std::memory_order_acquire) == sock)
            return &m;
    return nullptr;
}

unsigned manager_inputs_collect_net_srt_input_sock_ids(kd_dataset *set)
{
    unsigned n = 0;
    for (const manager_input &m : managers())
        if (srt_connected(m)) {
            if (set)
                kd_dataset_insert(set, m.srt.sock.load(std::memory_order_acquire));
            ++n;
        }
    return n;
}

void manager_inputs_datapath_monitor_srt_connection(void)
{
    for (manager_input &m : managers())
        if (srt_on(m) && !(m.srt.flags.connected_to_remote.load(std::memory_order_acquire) &&
                           srt_helper_is_connected(&m.srt)))
            srt_helper_connect(&m.srt);
}

void manager_inputs_datapath_get_srt_stats(void)
{
    for (manager_input &m : managers())
        if (srt_connected(m))
            srt_helper_bstats(&m.srt, false);
}

// A routable input's rate is in the outputs' fill engines and PCR windows
// exactly while it streams: added here on its first data, taken out when
// its stream is lost, and changed in place by the control side (under the
// write lock, which excludes both) only while it streams. The manager's
// configured rate is what was added, so the three always agree.
void manager_input_update_stream_status(manager_input *mi)
{
    int64_t at = mi->rx_ns;
    const bool stamped = at > 0;
    if (!stamped) {
        timespec now;
        clock_gettime(CLOCK_REALTIME, &now);
        at = int64_t(now.tv_sec) * 1000000000 + now.tv_nsec;
    }
    const int64_t prev = mi->last_rx_ns.exchange(at, std::memory_order_relaxed);
    // The sender fell silent for longer than the monitor's period between
    // two of its checks: as lost as if a check had seen it. Only by the
    // kernel's stamps: a datagram without one is timed when handled, which
    // a stalled multiplexer delays.
    if (stamped && prev > 0 && at - prev >= mcf::kStreamLossNs)
        mcf::lose_stream(*mi);
    mi->status_stream_detected.store(1, std::memory_order_relaxed);
    if (mi->streaming.exchange(true, std::memory_order_relaxed))
        return;
    mcf_post_log(SQ_LOG_INFO, "MCF: Input %u is now streaming.", unsigned(mi->id));
    if (mi->is_routable && mi->type != INGRTYPE_VIRT)
        mcf::manager_outputs_update_routable_input_rate(mi->id, mi->configured_bps, 0);
}

void manager_inputs_datapath_monitor_for_stream_loss(void)
{
    mcf::rx_progress p{};
    timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    const int64_t now_ns = int64_t(now.tv_sec) * 1000000000 + now.tv_nsec;
    for (int src = 0; src <= INGRESS_SRC_NUM; ++src) {
        // The sweep before the pipe: whatever that sweep took is either in
        // the pipe still or handled by now (this is the pipe's reader).
        kd_pipe_t *pipe = src < INGRESS_SRC_NUM ? ingress_pipe[src] : nullptr;
        p.swept_ns[src] = pipe ? mcf::ingress_swept_ns(ingress_src_t(src)) : now_ns;
        p.pipe_empty[src] = !pipe || kd_pipe_level(pipe) == 0;
    }
    mcf::monitor_stream_loss(p);
}

unsigned manager_inputs_datapath_check_alarm_state(void)
{
    unsigned result = 0;
    // A flag changes only when the report was queued, so a full alarm queue
    // makes the next pass report again.
    auto report = [](manager_input &m, const char *name, alarm_state state) {
        char label[64];
        std::snprintf(label, sizeof label, "%s: %s", m.configured_label, name);
        return kd_alarm_detected_in_worker_thread(label, state) == 0;
    };
    for (manager_input &m : managers()) {
        if (m.pcr_discontinuity_occurred.exchange(0, std::memory_order_relaxed)) {
            if (!m.pcr_lost_lock_alarm_is_set) {
                mcf_post_log(SQ_LOG_WARN, "MCF: Input %u PCR lost lock alarm SET.", unsigned(m.id));
                if (report(m, kAlarmPcr, ALARM_ACTIVE))
                    m.pcr_lost_lock_alarm_is_set = 1;
            }
        } else if (m.pcr_lost_lock_alarm_is_set) {
            mcf_post_log(SQ_LOG_INFO, "MCF: Input %u PCR lost lock alarm CLEAR.", unsigned(m.id));
            if (report(m, kAlarmPcr, ALARM_INACTIVE))
                m.pcr_lost_lock_alarm_is_set = 0;
        }
        if (const uint32_t errors = m.cc_errors_counter.exchange(0, std::memory_order_relaxed)) {
            mcf_post_log(SQ_LOG_WARN, "MCF: Input %d total CC errors this interval: %u.", m.id, errors);
            if (!m.cc_errors_alarm_is_set) {
                mcf_post_log(SQ_LOG_WARN, "MCF: Input %u CC errors alarm SET.", unsigned(m.id));
                if (report(m, kAlarmCc, ALARM_ACTIVE))
                    m.cc_errors_alarm_is_set = 1;
            }
            result = 1;
        } else if (m.cc_errors_alarm_is_set) {
            mcf_post_log(SQ_LOG_INFO, "MCF: Input %u CC errors alarm CLEAR.", unsigned(m.id));
            if (report(m, kAlarmCc, ALARM_INACTIVE))
                m.cc_errors_alarm_is_set = 0;
            bool feeds_decoder = false;
            for (const cfg_tx &tx : mcf::records<cfg_tx>(mcf_cfg.rules_tx))
                for (const cfg_tx_input &svc : mcf::records<cfg_tx_input>(tx.dest_services))
                    feeds_decoder = feeds_decoder || (tx.egress_type == EGRTYPE_DEC && svc.input_id == m.id &&
                                                      manager_outputs_find_by_id(tx.dest_id));
            if (feeds_decoder)
                result = 2;
        }
    }
    return result;
}

void manager_input_update_program_status(manager_input *mi)
{
    input_table_info *t = mi ? mi->tables : nullptr;
    if (!t || t->num_programs < 1)
        return;
    // The virtual input's programs are assembled, not read from its tables.
    if (mi->type != INGRTYPE_VIRT && !(mi->is_routable && t->populated))
        return;
    const int n = std::min<int>(t->num_programs, INPUT_PROGRAMS_MAX);
    for (int i = 0; i < n; ++i) {
        const local_pmt &p = t->services[i].pmt;
        uint32_t active = 1; // also a program without entries
        for (int e = 0; e < p.num_pmt_entries && active; ++e)
            active = phindex_is_pid_present(p.pmt_entries[e].ingress_id, p.pmt_entries[e].elementary_pid) ? 1 : 0;
        // Kept only once told: a full status queue makes the next pass tell again.
        if (active != t->program_status[i] &&
            mcf_post_program_status_state(uint32_t(mi->id), uint32_t(p.pnu), active != 0) == 0)
            t->program_status[i] = active;
    }
}

void manager_inputs_datapath_update_program_status(void)
{
    bool evaluated = false;
    manager_input *vi = virtual_input_get_manager();
    if (vi) {
        manager_input_update_program_status(vi);
        evaluated = true;
    }
    for (manager_input &m : managers())
        if (m.is_routable && &m != vi) { // the virtual input's is in the list too
            manager_input_update_program_status(&m);
            evaluated = true;
        }
    // The next pass sees only the PIDs that arrive from now on.
    if (evaluated)
        phindex_reset_pid_presence_flag();
}

void manager_inputs_foreach(void (*fn)(manager_input *mi))
{
    for (manager_input &m : managers())
        fn(&m);
}

// ---- what the rest of the engine reads ----
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
int manager_input_get_bps(const manager_input *mi) { return mi->configured_bps; }
void manager_input_set_rtp(manager_input *mi, bool is_rtp) { mi->is_rtp.store(is_rtp, std::memory_order_relaxed); }
mcastfwdr_rtp_hdr *manager_input_get_rtp_state(manager_input *mi) { return &mi->rtp; }

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
    out->dvb_per_ip = mi->rx.dvb_per_ip();
    char pids[mcf::input_rx::kTextSize];
    mi->rx.pids_text(pids, sizeof pids);
    out->pids = pids;
    out->rx_kernel_drops = mi->rx_kernel_drops.load(std::memory_order_relaxed);
    out->rx_misaddressed = mi->rx_misaddressed.load(std::memory_order_relaxed);
    return true;
}

void manager_input_count_packets(manager_input *mi, unsigned packets)
{
    mi->ts_packets_rx.fetch_add(packets, std::memory_order_relaxed);
    mi->streaming.store(packets > 0, std::memory_order_relaxed);
}

bool manager_input_set_bps(int id, int bps)
{
    manager_input *mi = manager_inputs_find_by_id(id);
    if (!mi)
        return false;
    mi->configured_bps = bps;
    if (is_net(*mi) && mi->socket_id > 0)
        size_rx_buffer(mi->socket_id, mi);
    return mi->streaming.load(std::memory_order_relaxed);
}

void manager_input_clear_program_status(int id)
{
    if (manager_input *mi = manager_inputs_find_by_id(id))
        input_tables_clear_program_status(mi->tables);
}

namespace mcf {

void manager_inputs_records_only(bool on) { g_records_only = on; }

void collect_net_sockets(net_sockets &out)
{
    out.n = out.n_accept = 0;
    for (manager_input &m : managers()) {
        if (!is_net(m) || m.socket_id <= 0 || out.n_accept == net_sockets::kMax)
            continue;
        unsigned i = 0;
        while (i < out.n && out.sock[i].fd != m.socket_id)
            ++i;
        if (i == out.n) {
            if (out.n == net_sockets::kMax)
                continue;
            out.sock[out.n++] = {m.socket_id, m.socket_gen, out.n_accept, 0};
        }
        // Grouped by socket: insert after the socket's last one.
        unsigned at = 0;
        for (unsigned k = 0; k <= i; ++k)
            at += out.sock[k].count;
        for (unsigned k = out.n_accept; k > at; --k)
            out.accept[k] = out.accept[k - 1];
        out.accept[at] = {m.accept_addr, std::strcmp(m.configured_node, "0.0.0.0") != 0, &m};
        ++out.n_accept;
        ++out.sock[i].count;
        for (unsigned k = i + 1; k < out.n; ++k)
            ++out.sock[k].first;
    }
}

int net_rx_buffer_bytes(int64_t bps)
{
    const int64_t bytes = std::max<int64_t>(bps, 0) * kRxBufferMs / 1000 / 8;
    // The kernel keeps twice what it is given, in an int.
    return int(std::clamp<int64_t>(bytes, kRxBufferMin, INT32_MAX / 2));
}

int manager_input_source(const manager_input &mi)
{
    switch (mi.type) {
    case INGRTYPE_NET:
        return mi.srt_ingress_enabled ? INGRESS_SRC_SRT : INGRESS_SRC_NET;
    case INGRTYPE_XSB:
        return INGRESS_SRC_XSB;
    case INGRTYPE_ASIIN:
        return INGRESS_SRC_ASI;
    default:
        return INGRESS_SRC_NUM;
    }
}

unsigned count_inputs_of(int src)
{
    unsigned n = 0;
    for (const manager_input &m : managers())
        n += manager_input_source(m) == src;
    return n;
}

void monitor_stream_loss(const rx_progress &p)
{
    constexpr int64_t kHandOverNs = 1000000;
    for (manager_input &m : managers()) {
        // The virtual input's programs are assembled, never received.
        if (m.type == INGRTYPE_VIRT || !m.streaming.load(std::memory_order_relaxed))
            continue;
        const int src = manager_input_source(m);
        const int64_t last = m.last_rx_ns.load(std::memory_order_relaxed);
        if (!p.pipe_empty[src] || p.swept_ns[src] - kHandOverNs - last < kStreamLossNs)
            continue;
        lose_stream(m);
    }
}

void lose_stream(manager_input &m)
{
    m.status_stream_detected.store(0, std::memory_order_relaxed);
    if (!m.streaming.exchange(false, std::memory_order_relaxed))
        return;
    mcf_post_log(SQ_LOG_WARN, "MCF: Input %u stream lost.", unsigned(m.id));
    if (m.is_routable && m.type != INGRTYPE_VIRT)
        manager_outputs_update_on_input_stream_loss(&m);
}

unsigned collect_srt_sockets(int *out, unsigned max)
{
    unsigned n = 0;
    for (const manager_input &m : managers())
        if (n < max && srt_connected(m))
            out[n++] = m.srt.sock.load(std::memory_order_acquire);
    return n;
}

bool manager_input_get_srt_stats(int id, srt_stats_t *out)
{
    manager_input *mi = manager_inputs_find_by_id(id);
    if (!mi || !srt_on(*mi))
        return false;
    srt_helper_read_stats(&mi->srt, out);
    return true;
}

bool net_socket_is_current(int fd, uint32_t gen)
{
    for (const manager_input &m : managers())
        if (is_net(m) && m.socket_id == fd && m.socket_gen == gen)
            return true;
    return false;
}

} // namespace mcf

// ASI ports on the card's own carrier (see asi_ports.h).
#include "asi/asi_ports.h"

#include "cfg/mcf_cfg.h"
#include "cfg/mcf_services.h"
#include "engine.h"
#include "ingress/routes.h"
#include "mcastfwdr.h"
#include "status_queue.h"

#include <interlink.h>
#include <kerrow/carrier.h>
#include <kerrow/command.h>
#include <kerrow/frame.h>
#include <kerrow/remote.h>

#include <libmnl/libmnl.h>
#include <linux/neighbour.h>
#include <linux/rtnetlink.h>
#include <arpa/inet.h>
#include <net/if.h>

#include <algorithm>
#include <array>
#include <iterator>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <vector>

namespace mcf::asi {
namespace {

constexpr const char *kIntf = "eth2";
constexpr const char *kInrqTimer = "MCF_ASI_INRQ_TIMER";
constexpr int kAsiPortType = 9;
constexpr int kBufferSize = 13125000;

struct port_state {
    int port_index = -1;
    unsigned intf_count = 0;
    unsigned stream_count = 0;
    bool lower_row = true;
    std::array<int, kMaxIntf> pending_start{};
    std::array<uint16_t, kMaxIntf> vaddr{};
    std::array<int, kMaxIntf> sockets{};
    std::array<int, kMaxIntf> route_prov{};
    bool neigh_added[kMaxIntf] = {};
    uint32_t ticks_per_pkt = 0;
    float flow_rate_64 = 0;
    unsigned start_signal = 0, start_signal_prev = 0, start_ctr = 0;
    bool timer = false;
};
port_state g;

bool has_port() { return g.port_index >= 0; }

// Host-order words out big-endian in one CFWR frame to the own carrier.
int send_words(const std::vector<uint32_t> &words)
{
    if (words.empty())
        return 0;
    std::vector<uint32_t> be(words.size());
    for (size_t i = 0; i < words.size(); ++i)
        be[i] = htonl(words[i]);
    return kd_carrier_send_cfwr(kd_carrier_get_self(), be.data(), be.size() * 4);
}

uint32_t enable_record(unsigned id, bool enable)
{
    return record(REC_ENABLE, id, unsigned(g.vaddr[id & 0xF] & 0xFFF) << 4 | 0x2 | (enable ? 1 : 0));
}

unsigned stream_row(const cfg_tx *tx)
{
    const unsigned id = unsigned(tx->dest_id);
    return g.lower_row || g.intf_count == 0 ? id : g.intf_count - 1 - id;
}

uint32_t stream_record(const cfg_tx *tx, bool mirror)
{
    const unsigned stream = unsigned(mirror ? tx->dest_mirror_id : tx->dest_id) & 0xFFF;
    return record(REC_STREAM, stream_row(tx), stream << 4 | 0x2 | (tx->dest_asi_output_type == BYTE ? 1 : 0));
}

// Latency and pacing records of one row; false (logged) when the rate
// gives no pacing: the port must not be programmed with it.
bool rate_records(const cfg_tx *tx, int bps, std::vector<uint32_t> &words)
{
    const uint32_t ticks = pacing_ticks(bps);
    g.ticks_per_pkt = ticks;
    g.flow_rate_64 = bps > 0 ? float(166330359611392.0f / float(bps)) : 0.0f;
    if (ticks <= uint32_t(kTickUnit)) {
        mcf_post_log(SQ_LOG_ERROR, "MCF: Output %d ASI rate %d bps cannot be paced, output stopped", tx->dest_id, bps);
        return false;
    }
    const unsigned row = unsigned(tx->dest_id);
    const uint32_t sent = ticks - uint32_t(kTickUnit);
    words.push_back(record(REC_LATENCY, row, latency_pkts(bps)));
    words.push_back(record(REC_PACING_HI, row, sent >> 16));
    words.push_back(record(REC_PACING_LO, row, sent & 0xFFFF));
    return true;
}

bool id_ok(int id) { return id >= 0 && unsigned(id) < g.intf_count && unsigned(id) < kMaxIntf; }

std::string asi_address(unsigned id)
{
    char buf[16];
    mcastfwdr_asi_ip_address(buf, int(id));
    return buf;
}

// A permanent neighbour entry (add) or its removal on eth2, through route
// netlink: 0, or the kernel's errno.
int neighbour(const std::string &addr, const uint8_t mac[6], bool add)
{
    in_addr dst{};
    const unsigned ifindex = if_nametoindex(kIntf);
    if (inet_pton(AF_INET, addr.c_str(), &dst) != 1 || ifindex == 0)
        return EINVAL;
    if (!mcf_route_may_change())
        return EPERM;
    mnl_socket *nl = mnl_socket_open(NETLINK_ROUTE);
    if (!nl)
        return errno;
    int err = 0;
    char buf[MNL_SOCKET_BUFFER_SIZE];
    nlmsghdr *nlh = mnl_nlmsg_put_header(buf);
    nlh->nlmsg_type = add ? RTM_NEWNEIGH : RTM_DELNEIGH;
    nlh->nlmsg_flags = NLM_F_REQUEST | NLM_F_ACK | (add ? NLM_F_CREATE | NLM_F_REPLACE : 0);
    nlh->nlmsg_seq = unsigned(std::time(nullptr));
    auto *nd = static_cast<ndmsg *>(mnl_nlmsg_put_extra_header(nlh, sizeof(ndmsg)));
    nd->ndm_family = AF_INET;
    nd->ndm_ifindex = int(ifindex);
    nd->ndm_state = NUD_PERMANENT;
    mnl_attr_put(nlh, NDA_DST, sizeof dst, &dst);
    if (add)
        mnl_attr_put(nlh, NDA_LLADDR, 6, mac);
    if (mnl_socket_bind(nl, 0, MNL_SOCKET_AUTOPID) < 0 || mnl_socket_sendto(nl, nlh, nlh->nlmsg_len) < 0) {
        err = errno;
    } else {
        const ssize_t n = mnl_socket_recvfrom(nl, buf, sizeof buf);
        if (n < 0 || mnl_cb_run(buf, size_t(n), nlh->nlmsg_seq, mnl_socket_get_portid(nl), nullptr, nullptr) < 0)
            err = errno ? errno : EIO;
    }
    mnl_socket_close(nl);
    return err;
}

int start_pending_interfaces()
{
    std::vector<uint32_t> words;
    int rc = 0;
    for (cfg_tx &tx : mcf::records<cfg_tx>(mcf_cfg.rules_tx)) {
        if (tx.egress_type != EGRTYPE_ASI)
            continue;
        if (tx.dest_id > 15) {
            mcf_post_log(SQ_LOG_ERROR, "ASI Output ID Overflow: %d", tx.dest_id);
            rc = -1;
            break;
        }
        if (tx.dest_id < 0 || !g.pending_start[size_t(tx.dest_id)])
            continue;
        mcf_post_log(SQ_LOG_DEBUG, "MCF: Start ASI Interface %d", tx.dest_id);
        words.push_back(enable_record(unsigned(tx.dest_id), true));
        g.pending_start[size_t(tx.dest_id)] = 0;
    }
    const int sent = send_words(words);
    return rc ? rc : sent;
}

} // namespace

uint32_t pacing_ticks(int bps)
{
    if (bps <= 0)
        return 0;
    const float period = 166330359611392.0f / float(bps);
    if (!(period < 4294967294.0f))
        return 0;
    return (uint32_t(period) + 1) / 2;
}

uint32_t latency_pkts(int bps) { return bps > 0 ? uint32_t(((bps / 1000 * 20) / 8) / 188) : 0; }

int actual_bps(int64_t ticks)
{
    if (ticks <= 0)
        return 0;
    const double r = 8.3165184e13 / double(ticks);
    return r >= 2147483647.0 ? 2147483647 : int(r);
}

uint32_t record(unsigned kind, unsigned row, unsigned value)
{
    return 0x04u << 24 | (kind & 0xF) << 20 | (row & 0xF) << 16 | (value & 0xFFFF);
}

queue_marks marks_for(int bps)
{
    const double r = bps > 0 ? bps / 1000.0 : 0.0;
    const unsigned mid = unsigned(r * 20 / 8 / 188);
    const unsigned d5 = unsigned(r * 5 / 8 / 188), d10 = unsigned(r * 10 / 8 / 188);
    return {mid - d10, mid - d5, mid, mid + d5, mid + d10};
}

bool add_sample(asi_queue_monitor &m, unsigned level, drift_decision *out)
{
    if (level >= m.ultra_hwm_pkts)
        ++m.ultra_hwm_count;
    else if (level >= m.hwm_pkts)
        ++m.hwm_count;
    else if (level > m.mid_pkts)
        ++m.hmid_count;
    else if (level <= m.ultra_lwm_pkts)
        ++m.ultra_lwm_count;
    else if (level <= m.lwm_pkts)
        ++m.lwm_count;
    else if (level < m.mid_pkts)
        ++m.lmid_count;
    else
        ++m.mid_count;
    m.samples[m.total_sample_count % 10] = level;
    if (++m.total_sample_count < 10)
        return false;

    drift_decision d{m.state, 0, 0, false, {}};
    const asi_queue_state s = m.state;
    if (m.ultra_lwm_count == 10)
        d = {ASI_QUEUE_ULTRA_LOW, 4, 10, true, {}};
    else if (m.ultra_lwm_count + m.lwm_count == 10) {
        if (s != ASI_QUEUE_ULTRA_LOW)
            d = {ASI_QUEUE_LOW, 2, 5, true, {}};
    } else if (m.ultra_hwm_count == 10)
        d = {ASI_QUEUE_ULTRA_HIGH, -4, -10, true, {}};
    else if (m.ultra_hwm_count + m.hwm_count == 10) {
        if (s != ASI_QUEUE_ULTRA_HIGH)
            d = {ASI_QUEUE_HIGH, -2, -5, true, {}};
    } else if ((s == ASI_QUEUE_LOW || s == ASI_QUEUE_ULTRA_LOW) && m.hmid_count > 0)
        d = {ASI_QUEUE_NORMAL, 0, 0, true, {}};
    else if ((s == ASI_QUEUE_HIGH || s == ASI_QUEUE_ULTRA_HIGH) && m.lmid_count > 0)
        d = {ASI_QUEUE_NORMAL, 0, 0, true, {}};
    d.changed = d.state != s;
    const unsigned counts[7] = {m.ultra_lwm_count, m.lwm_count, m.lmid_count, m.mid_count,
                                m.hmid_count,      m.hwm_count, m.ultra_hwm_count};
    std::copy(std::begin(counts), std::end(counts), d.counts);
    m.ultra_hwm_count = m.hwm_count = m.hmid_count = m.mid_count = m.lmid_count = m.lwm_count = m.ultra_lwm_count = 0;
    m.total_sample_count = 0;
    *out = d;
    return true;
}

int drift_rate(int base_bps, bool single_input, const drift_decision &d)
{
    if (!single_input)
        return base_bps + d.rate_step;
    int ticks = d.tick_step;
    int rate = mcastfwdr_asi_calculate_actual_bps(base_bps, ticks, 1);
    if (d.state == ASI_QUEUE_NORMAL || rate <= 0)
        return rate;
    const int want = d.state == ASI_QUEUE_LOW || d.state == ASI_QUEUE_HIGH ? 5 : 10;
    // Never more than a few thousand steps: a tick moves the rate by at least
    // one bit/s at any rate the port can pace.
    for (int n = 0; std::abs(int64_t(rate) - base_bps) < want && n < 100000; ++n) {
        ticks += ticks > 0 ? 1 : -1;
        rate = mcastfwdr_asi_calculate_actual_bps(base_bps, ticks, 0);
    }
    return rate;
}

void set_port_for_test(int port_index, uint16_t data_word, bool lower_row)
{
    g = port_state{};
    g.sockets.fill(-1);
    g.port_index = port_index;
    g.intf_count = (data_word >> 8) & 0xF;
    g.stream_count = data_word & 0xF;
    g.lower_row = lower_row;
    if (port_index >= 0)
        g.pending_start.fill(1);
}

} // namespace mcf::asi

using namespace mcf::asi;

extern "C" {

const char *asi_queue_state_tostr(asi_queue_state s)
{
    static const char *const names[] = {"NORMAL", "LOW", "ULTRA_LOW", "HIGH", "ULTRA_HIGH"};
    return unsigned(s) < 5 ? names[s] : "UNKNOWN";
}

int mcastfwdr_asi_init(void)
{
    g = port_state{};
    g.sockets.fill(-1);
    carrier_node *self = kd_carrier_get_self();
    const int idx = self ? kd_carrier_get_port_index(self, 1, carrier_portid(kAsiPortType)) : -1;
    if (idx < 0) {
        mcf_post_log(SQ_LOG_DEBUG, "No ASI interface found.");
        return 0;
    }
    uint16_t data = 0;
    kd_carrier_get_port_data(self, &data, unsigned(idx));
    g.port_index = idx;
    g.intf_count = std::min<unsigned>((data >> 8) & 0xF, kMaxIntf);
    g.stream_count = data & 0xF;
    g.lower_row = kd_carrier_is_lower_row(self) > 0;
    mcf_post_log(SQ_LOG_DEBUG, "ASI found. PortIdx: %d, Streams: %u IntfCount: %u", idx, g.stream_count,
                 g.intf_count);
    g.pending_start.fill(1);
    for (unsigned i = 0; i < g.intf_count; ++i) {
        g.vaddr[i] = kd_carrier_allocate_vmap_addr(self);
        kd_carrier_set_vmap_addr(self, g.vaddr[i], unsigned(idx));
    }
    int rc = 0;
    for (unsigned i = 0; i < g.intf_count; ++i) {
        uint8_t mac[6];
        kd_carrier_vmap_to_mac_addr(mac, g.vaddr[i]);
        char entry[128];
        std::snprintf(entry, sizeof entry, "%s %02x:%02x:%02x:%02x:%02x:%02x", asi_address(i).c_str(), mac[0], mac[1],
                      mac[2], mac[3], mac[4], mac[5]);
        if (neighbour(asi_address(i), mac, true) == 0) {
            g.neigh_added[i] = true;
            mcf_post_log(SQ_LOG_INFO, "Added arp entry: <%s>", entry);
        } else {
            mcf_post_log(SQ_LOG_WARN, "Unable to add arp entry: <%s>", entry);
            rc = -1;
        }
    }
    if (!mcastfwdr_eth_intf_is_operational(kIntf)) {
        mcf_post_log(SQ_LOG_ERROR, "%s link is down. Failed to create ASI sockets.", kIntf);
    } else {
        for (unsigned i = 0; i < g.intf_count; ++i) {
            const std::string addr = asi_address(i);
            mcf_route_apply_rule(addr.c_str(), kIntf, true);
            g.sockets[i] = kd_remote_register_client_dgram(addr.c_str(), "2000", nullptr, nullptr, kBufferSize);
            if (g.sockets[i] < 0) {
                g.sockets[i] = -1;
                mcf_post_log(SQ_LOG_ERROR, "Output %u - failed to create ASI socket %s/%s/%s.", i, addr.c_str(), "2000",
                             kIntf);
            }
        }
    }
    g.timer = kd_frame_timeout_register(kInrqTimer, [](void *) { kd_carrier_request_info(nullptr); }, nullptr, 30.0,
                                        1, nullptr) == 0;
    for (unsigned i = 0; i < g.intf_count; ++i)
        if (cfg_tx *tx = mcfcfg_tx_add_asi(&mcf_cfg, int(i))) {
            mcastfwdr_allocate_rule_output(mcf_cfg.tbl_outputs, tx);
            mcf_tx_register_alarms(tx);
        }
    mcf_post_log(SQ_LOG_DEBUG, "MCF: Allocated configuration for %u ASI interface", g.intf_count);
    return rc;
}

void mcastfwdr_asi_fini(void)
{
    if (!has_port())
        return;
    carrier_node *self = kd_carrier_get_self();
    for (unsigned i = 0; i < g.intf_count; ++i)
        if (g.vaddr[i])
            kd_carrier_clear_vmap_addr(self, g.vaddr[i]);
    mcf_post_log(SQ_LOG_INFO, "MCF: Stop ASI Hardware");
    std::vector<uint32_t> words;
    for (cfg_tx &tx : mcf::records<cfg_tx>(mcf_cfg.rules_tx)) {
        if (tx.egress_type != EGRTYPE_ASI)
            continue;
        if (tx.dest_id > 15 || tx.dest_id < 0) {
            mcf_post_log(SQ_LOG_ERROR, "ASI Output ID Overflow: %d", tx.dest_id);
            break;
        }
        words.push_back(enable_record(unsigned(tx.dest_id), false));
    }
    send_words(words);
    for (unsigned i = 0; i < g.intf_count; ++i) {
        if (!g.neigh_added[i])
            continue;
        const std::string addr = asi_address(i);
        if (neighbour(addr, nullptr, false) == 0)
            mcf_post_log(SQ_LOG_INFO, "Deleted arp entry: <%s>", addr.c_str());
        else
            mcf_post_log(SQ_LOG_WARN, "MCF: Unable to delete arp entry: <%s>", addr.c_str());
        g.neigh_added[i] = false;
    }
    if (g.timer)
        kd_frame_stop_watcher(kInrqTimer, nullptr);
    for (unsigned i = 0; i < g.intf_count; ++i)
        if (g.sockets[i] >= 0) {
            mcastfwdr_kd_remote_close(g.sockets[i]);
            g.sockets[i] = -1;
            mcf_route_apply_rule(asi_address(i).c_str(), kIntf, false);
        }
    g = port_state{};
    g.sockets.fill(-1);
}

int mcastfwdr_asi_get_socket_id(int id)
{
    if (!has_port())
        return 0;
    return id_ok(id) ? g.sockets[size_t(id)] : -1;
}

int mcastfwdr_asi_set_route_prov_pending(int id)
{
    if (!has_port() || !id_ok(id))
        return -1;
    if (!g.route_prov[size_t(id)])
        g.route_prov[size_t(id)] = 1;
    return 0;
}

void mcastfwdr_asi_check_on_route_prov_pending(void)
{
    for (unsigned i = 0; has_port() && i < g.intf_count; ++i) {
        if (g.route_prov[i] == 1) {
            g.route_prov[i] = 2;
        } else if (g.route_prov[i] == 2) {
            mcf_post_log(SQ_LOG_DEBUG, "MCF: Output %u (ASI) restarting on route provisioning (deferred).", i);
            mcf::write_lock lock;
            manager_outputs_delete(int(i));
            manager_input_output_sync(0);
            g.route_prov[i] = 0;
        }
    }
}

int mcastfwdr_asi_hw_cfg_initial(void)
{
    if (!has_port())
        return 0;
    std::vector<uint32_t> words;
    int rc = 0;
    for (cfg_tx &tx : mcf::records<cfg_tx>(mcf_cfg.rules_tx)) {
        if (tx.egress_type != EGRTYPE_ASI)
            continue;
        if (tx.dest_id > 15 || tx.dest_id < 0) {
            mcf_post_log(SQ_LOG_ERROR, "ASI Output ID Overflow: %d", tx.dest_id);
            rc = -1;
            break;
        }
        const int bps = mcfcfg_tx_get_dest_bps_for_routing_mode(&tx);
        std::vector<uint32_t> rate;
        const bool paced = rate_records(&tx, bps, rate);
        mcf_post_log(SQ_LOG_DEBUG, "MCF: Output %d ASI Cfg Initial - BitRate %d, Ticks Per Pkt %d", tx.dest_id, bps,
                     int(g.ticks_per_pkt));
        words.push_back(enable_record(unsigned(tx.dest_id), false));
        if (paced)
            words.insert(words.end(), rate.begin(), rate.end());
        words.push_back(stream_record(&tx, tx.dest_transmit == DEST_XMIT_MIR));
    }
    const int sent = send_words(words);
    return rc ? rc : sent;
}

int mcastfwdr_asi_hw_cfg_bitrate(cfg_tx *tx, int bps, int disable)
{
    if (!tx || tx->egress_type != EGRTYPE_ASI)
        return -1;
    if (!has_port())
        return 0;
    if (tx->dest_id < 0 || tx->dest_id > 15)
        return -1;
    std::vector<uint32_t> rate;
    const bool paced = rate_records(tx, bps, rate);
    mcf_post_log(SQ_LOG_DEBUG, "MCF: Output %d ASI Cfg BitRate %d, Ticks Per Pkt %d, %s", tx->dest_id, bps,
                 int(g.ticks_per_pkt), disable ? "Disable" : "Enable");
    std::vector<uint32_t> words{enable_record(unsigned(tx->dest_id), paced && !disable)};
    words.insert(words.end(), rate.begin(), rate.end());
    const int rc = send_words(words);
    if (disable && paced) {
        g.pending_start[size_t(tx->dest_id)] = 1;
        mcastfwdr_asi_signal_hw_start_pending();
    }
    return paced ? rc : -1;
}

int mcastfwdr_asi_hw_cfg_mirror(cfg_tx *tx, int enable_mirror)
{
    if (!tx || tx->egress_type != EGRTYPE_ASI)
        return -1;
    return has_port() ? send_words({stream_record(tx, enable_mirror != 0)}) : 0;
}

int mcastfwdr_asi_hw_cfg_output_mode(cfg_tx *tx)
{
    if (!tx || tx->egress_type != EGRTYPE_ASI)
        return -1;
    return has_port() ? send_words({stream_record(tx, tx->dest_transmit == DEST_XMIT_MIR)}) : 0;
}

int mcastfwdr_asi_calculate_actual_bps(int bps, int adjust_ticks, int log)
{
    const int64_t ticks = int64_t(adjust_ticks) + pacing_ticks(bps);
    const int actual = bps > 0 ? actual_bps(ticks) : 0;
    if (log)
        mcf_post_log(SQ_LOG_DEBUG, "asi_calc_actual_bps: In BPS %d TicksAdj %d --> TicksPerPkt %d ActualRate %d", bps,
                     adjust_ticks, int(ticks), actual);
    return actual;
}

int mcastfwdr_asi_hw_reset_interface(int id)
{
    if (!has_port() || mcastfwdr_is_in_startup_delay())
        return 0;
    if (!id_ok(id))
        return -1;
    if (!g.pending_start[size_t(id)]) {
        mcf_post_log(SQ_LOG_DEBUG, "MCF: Stop ASI Interface %d", id);
        send_words({enable_record(unsigned(id), false)});
        g.pending_start[size_t(id)] = 1;
    }
    mcastfwdr_asi_signal_hw_start_pending();
    return 0;
}

void mcastfwdr_asi_signal_hw_start_pending(void)
{
    if (has_port() && !mcastfwdr_is_in_startup_delay())
        g.start_signal = 1;
}

void mcastfwdr_asi_check_on_hw_start_pending(void)
{
    if (g.start_signal && !g.start_signal_prev) {
        g.start_ctr = 0;
    } else if (!g.start_signal && g.start_signal_prev) {
        g.start_ctr = 1;
    } else if (!g.start_signal && !g.start_signal_prev && g.start_ctr) {
        if (++g.start_ctr > 2) {
            start_pending_interfaces();
            g.start_ctr = 0;
        }
    }
    g.start_signal_prev = g.start_signal;
    g.start_signal = 0;
}

void mcastfwdr_asi_queue_monitor_init(int id, asi_queue_monitor *monitor, int bps)
{
    if (!monitor)
        return;
    *monitor = asi_queue_monitor{};
    if (!has_port())
        return;
    const queue_marks q = marks_for(bps);
    monitor->ultra_lwm_pkts = q.ultra_lwm;
    monitor->lwm_pkts = q.lwm;
    monitor->mid_pkts = q.mid;
    monitor->hwm_pkts = q.hwm;
    monitor->ultra_hwm_pkts = q.ultra_hwm;
    mcf_post_log(SQ_LOG_DEBUG, "MCF: Output %u ASIQ level markers ULO: %u LOW: %u MID: %u HI: %u UHI: %u (pkts)",
                 unsigned(id), q.ultra_lwm, q.lwm, q.mid, q.hwm, q.ultra_hwm);
}

int mcastfwdr_asi_info_rx_pkt_dp(const uint8_t *frame, uint32_t len)
{
    // Ethernet header, then "INFO" and at least one record.
    if (!has_port() || !frame || len < 18 || std::memcmp(frame + 14, "INFO", 4) != 0 ||
        frame[11] != uint8_t(kd_carrier_get_HW_slot(kd_carrier_get_self())))
        return 0;
    return mcf_post_info_record(frame + 14, len - 14);
}

int mcastfwdr_asi_info_rx_pkt_cp(const char *payload, uint32_t len)
{
    if (!has_port() || !payload || len > 0x7FFFFFFF)
        return 0;
    const int count = xsbinfo_count_records(payload, int(len));
    if (count <= 3)
        return 0;
    unsigned reports = 0;
    for (int i = 0; i < count && reports < g.intf_count; ++i) {
        uint32_t rec = 0;
        if (xsbinfo_get_index(payload, int(len), i, &rec) != 0)
            break;
        if (rec >> 24 != 0x81)
            continue;
        ++reports;
        const unsigned id = (rec >> 16) & 0xF, level = rec & 0xFFFF;
        if (id >= g.intf_count)
            return -1;
        manager_output *mo = manager_outputs_find_by_id(int(id));
        if (!mo || level == 0)
            continue;
        asi_queue_monitor &m = mo->monitor;
        drift_decision d{};
        if (!add_sample(m, level, &d))
            continue;
        mcf_post_log(SQ_LOG_INFO, "Output %2u ASIQ %u+%u Counts: UL: %u LO: %u LM: %u M: %u UM: %u HI: %u UH: %u", id,
                     10u, 30u, d.counts[0], d.counts[1], d.counts[2], d.counts[3], d.counts[4], d.counts[5],
                     d.counts[6]);
        char text[70] = {};
        size_t at = 0;
        for (unsigned s : m.samples)
            if (at < sizeof text)
                at += size_t(std::snprintf(text + at, sizeof text - at, "%u ", s));
        mcf_post_log(SQ_LOG_DEBUG, "Output %2u ASIQ samples [%s]", id, text);
        if (!d.changed)
            continue;
        mcf_post_log(SQ_LOG_INFO, "MCF: Output %u ASIQ drift state change: %s ==> %s. Current Level: %u (pkts).", id,
                     asi_queue_state_tostr(m.state), asi_queue_state_tostr(d.state), level);
        m.state = d.state;
        cfg_tx *tx = mcfcfg_tx_find_by_id(int(id));
        if (!tx)
            return -1;
        const int base = mcfcfg_tx_get_dest_bps_for_routing_mode(tx);
        const int rate = drift_rate(base, tx->dest_single_input_mode == DEST_SIM_ON, d);
        mcf::write_lock lock;
        manager_output_adjust_output_rate(mo, tx, rate);
    }
    return 0;
}

} // extern "C"

// The names the plug-in's start and maintenance use.
extern "C" {
void mcastfwdr_asi_apply_initial_hw_cfg(void) { mcastfwdr_asi_hw_cfg_initial(); }
void mcastfwdr_asi_check_pending(void)
{
    mcastfwdr_asi_check_on_hw_start_pending();
    mcastfwdr_asi_check_on_route_prov_pending();
}
void mcastfwdr_asi_signal_hw_start(void) { mcastfwdr_asi_signal_hw_start_pending(); }
}

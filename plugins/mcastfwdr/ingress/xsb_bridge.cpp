// XSB bridging: LINK frames out, announcements in, the input maps and the
// carrier's virtual-address map. Announcements come from other cards, so
// every text and index in them is checked before it is used. A flow's
// frames are addressed to the sender's allocated TS address (dst), so that
// is the address mapped onto this card's bridge port; the bridge-port
// address (src) only tells the sender's bay.
#include "ingress/xsb_bridge.h"
#include "ingress/manager_input.h"
#include "mcastfwdr.h"

#include <interlink.h>

#include <kerrow/carrier.h>
#include <kerrow/cuvent.h>
#include <kerrow/param.h>
#include <kerrow/store.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

namespace mcf {
xsb_sock *ingress_xsb_socket();
}

namespace {

constexpr int kBridgeBase = 100;
constexpr unsigned kHwToUiSlot[XSB_BAYS] = {5, 6, 7, 8, 4, 3, 2, 1};

struct ts_dst_addr_t {
    uint32_t routable_refcnt;
    char routable_addr[4];
    char unroutable_addr[2][4];
};

// Loop thread (write lock for the maps).
char g_local_bridge_port_vaddr[4] = "";
char g_local_ts_dst_alloc_vaddr[4] = "";
int g_bridge_port_index = -1;
ts_dst_addr_t g_ts_dst_addr[XSB_BAYS];
manager_input *g_rte_map[XSB_BAYS][XSB_LINK_INDEXES];
manager_input *g_unr_map[XSB_BAYS][2];
unsigned g_unr_id[XSB_BAYS][2];

// Once a second at most, per class of trouble (any thread; the last second
// is kept atomically enough for a log throttle).
class throttle {
public:
    bool due()
    {
        timespec now;
        clock_gettime(CLOCK_MONOTONIC, &now);
        const long s = long(now.tv_sec) + 1;
        if (__atomic_exchange_n(&last_, s, __ATOMIC_RELAXED) == s)
            return false;
        return true;
    }

private:
    long last_ = 0;
};
throttle g_send_log, g_index_log;

// 1 to 3 hex digits, terminated within the 4 bytes.
bool valid_addr_text(const char (&t)[4])
{
    const void *nul = std::memchr(t, '\0', sizeof t);
    if (!nul)
        return false;
    const size_t n = size_t(static_cast<const char *>(nul) - t);
    if (n < 1 || n > 3)
        return false;
    for (size_t i = 0; i < n; ++i)
        if (!std::isxdigit(static_cast<unsigned char>(t[i])))
            return false;
    return true;
}

// The announcing card's bay: src character 1, '0' to '7'; -1 otherwise.
int bay_of(const internal_ts_info &info)
{
    if (!valid_addr_text(info.src) || !valid_addr_text(info.dst))
        return -1;
    const char c = info.src[1];
    return c >= '0' && c <= '7' ? c - '0' : -1;
}

bool is_asi_card()
{
    carrier_node *self = kd_carrier_get_self();
    char label[64] = {};
    return self && kd_carrier_is_compatible(self, "KT-3300") &&
           kd_carrier_get_function_label(self, label, sizeof label) >= 0 && std::strcmp(label, "asi") == 0;
}

void set_ts_flow_vmap(const char *addr, unsigned bay)
{
    carrier_node *self = kd_carrier_get_self();
    if (!self || g_bridge_port_index < 0 || !addr[0])
        return;
    const unsigned long vaddr = std::strtoul(addr, nullptr, 16);
    mcf_post_log(SQ_LOG_INFO,
                 "MCF: Setting VADDR %s in node VMAP on UI slot %u, HW bay %u, enables a TS flow into bridge port %u on eth2",
                 addr, kHwToUiSlot[bay], bay, unsigned(g_bridge_port_index));
    kd_carrier_set_vmap_addr(self, uint16_t(vaddr), unsigned(g_bridge_port_index));
}

void clear_ts_flow_vmap(char (&addr)[4])
{
    carrier_node *self = kd_carrier_get_self();
    if (self && addr[0])
        kd_carrier_clear_vmap_addr(self, uint16_t(std::strtoul(addr, nullptr, 16)));
    addr[0] = '\0';
}

// The input's row and its stored values.
void delete_input_row(const cfg_rx *rx)
{
    char key[32];
    std::snprintf(key, sizeof key, "/input_%d", rx->ingress_id);
    const size_t n = kd_param_list_count(mcf_cfg.tbl_inputs);
    if (n == size_t(-1))
        return;
    for (size_t i = 0; i < n; ++i) {
        param_context *row = kd_param_list_index(mcf_cfg.tbl_inputs, int(i));
        const char *scope = row ? kd_param_get_scope(row) : nullptr;
        if (!scope || kd_param_get_type(row) == PARAMTYPE_NONE)
            continue;
        const size_t sl = std::strlen(scope), kl = std::strlen(key);
        if (sl < kl || std::strcmp(scope + sl - kl, key) != 0)
            continue;
        kd_store_remove_key(mcf_pli, scope);
        kd_param_list_delete_index(mcf_cfg.tbl_inputs, unsigned(i));
        return;
    }
}

void on_internal_ts(cuvent_wrapper *w)
{
    mcf_post_log(SQ_LOG_WARN, "MCF: ON_INTERNAL_TS");
    if (!w->emit_ctx || is_asi_card())
        return;
    internal_ts_info info;
    std::memcpy(&info, w->emit_ctx, sizeof info);
    const int bay = bay_of(info);
    if (bay < 0)
        return;
    const bool routable = info.routable != 0;
    unsigned index = info.index;
    if (routable && index >= XSB_LINK_INDEXES)
        return;
    if (!routable)
        index = info.src[2] == '9' ? 1 : 0;
    const unsigned ui = kHwToUiSlot[bay];
    const int rate = int(info.rate > 0x7FFFFFFFu ? 0x7FFFFFFFu : info.rate);
    mcf_post_log(SQ_LOG_INFO,
                 "MCF: Internal TS notify referencing UI slot %u, HW bay %u - src=%.3s, dst=%.3s, rate=%d, index=%u, %sROUTABLE",
                 ui, unsigned(bay), info.src, info.dst, rate, index, routable ? "" : "UN");

    mcf::write_lock lock;
    manager_input *&slot = routable ? g_rte_map[bay][index] : g_unr_map[bay][index];
    if (slot) {
        cfg_rx *rx = mcfcfg_rx_find_by_id(slot->id);
        if (rx && rx->ingress_bps != rate) {
            mcf_post_log(SQ_LOG_INFO,
                         "MCF: Internal TS notify referencing UI slot %u, HW bay %u - rate changed from %d -> %d, Ingress ID %d",
                         ui, unsigned(bay), rx->ingress_bps, rate, rx->ingress_id);
            const int prev = rx->ingress_bps;
            rx->ingress_bps = rate;
            mcastfwdr_update_input_bps_and_outputs_using_it(rx, prev);
        }
        return;
    }
    // A record left by an earlier announcement whose manager could not be
    // made is used again rather than doubled.
    const int id = routable ? 1000 + 100 * int(ui) + int(index) : 10 * int(ui) + int(index);
    cfg_rx *rx = mcfcfg_rx_find_by_id(id);
    const bool new_record = !rx;
    if (!rx && !(rx = mcfcfg_rx_add_xsb(int(ui), int(index), routable ? 1 : 0)))
        return;
    mcf_post_log(SQ_LOG_INFO, "MCF: Internal TS notify referencing UI slot %u, HW bay %u - added input, Ingress ID %d", ui,
                 unsigned(bay), rx->ingress_id);
    rx->ingress_bay = bay;
    rx->ingress_bps = rate;
    slot = manager_inputs_add(rx);
    if (!routable)
        g_unr_id[bay][index] = unsigned(rx->ingress_id);
    if (!slot) {
        mcf_post_log(SQ_LOG_ERROR, "MCF: Input %d: no input manager for the internal TS", rx->ingress_id);
        return;
    }
    if (new_record) {
        mcastfwdr_allocate_rule_input(mcf_cfg.tbl_inputs, rx);
        mcf_rx_register_alarms(rx);
    }
    ts_dst_addr_t &d = g_ts_dst_addr[bay];
    if (routable) {
        if (d.routable_refcnt++ == 0) {
            std::memcpy(d.routable_addr, info.dst, sizeof d.routable_addr);
            if (!mcastfwdr_is_in_startup_delay())
                set_ts_flow_vmap(d.routable_addr, unsigned(bay));
        }
    } else {
        const bool was_empty = !d.unroutable_addr[index][0];
        std::memcpy(d.unroutable_addr[index], info.dst, sizeof d.unroutable_addr[index]);
        if (was_empty && !mcastfwdr_is_in_startup_delay())
            set_ts_flow_vmap(d.unroutable_addr[index], unsigned(bay));
    }
    manager_input_output_sync(manager_outputs_delete_using_input(rx->ingress_id) + 1);
    if (routable)
        mcf_post_routable_input_added_deleted_event(rx->ingress_id, true);
}

void on_internal_ts_clear(cuvent_wrapper *w)
{
    mcf_post_log(SQ_LOG_WARN, "MCF: ON_INTERNAL_TS_CLEAR");
    if (!w->emit_ctx || is_asi_card())
        return;
    internal_ts_info info{};
    std::memcpy(&info, w->emit_ctx, 12);
    const int bay = bay_of(info);
    if (bay < 0 || info.index >= XSB_LINK_INDEXES)
        return;
    int id = 0;
    {
        mcf::write_lock lock;
        manager_input *&slot = g_rte_map[bay][info.index];
        if (!slot) {
            mcf_post_log(SQ_LOG_WARN, "Received internal_ts_clear but input manager not found");
            return;
        }
        cfg_rx *rx = mcfcfg_rx_find_by_id(slot->id);
        if (!rx) {
            mcf_post_log(SQ_LOG_WARN, "Received internal_ts_clear but cfg_rx not found");
            return;
        }
        id = rx->ingress_id;
        mcf_post_log(SQ_LOG_INFO, "MCF: Input %d Internal TS CLEAR for slot %d index %u", id, int(kHwToUiSlot[bay]),
                     info.index);
        ts_dst_addr_t &d = g_ts_dst_addr[bay];
        if (d.routable_refcnt > 0 && --d.routable_refcnt == 0) {
            clear_ts_flow_vmap(d.routable_addr);
        }
        delete_input_row(rx);
        const int deleted = mcastfwdr_delete_input_and_outputs_using_it(rx);
        slot = nullptr;
        mcfcfg_rx_rem(rx);
        manager_input_output_sync(deleted);
    }
    mcf_post_routable_input_added_deleted_event(id, false);
}

bool bridge_index(int input_id, unsigned *index)
{
    const int i = input_id - kBridgeBase;
    if (i < 0 || i >= XSB_LINK_INDEXES)
        return false;
    *index = unsigned(i);
    return true;
}

} // namespace

namespace mcf {

void xsb_bridge_init()
{
    std::memset(g_ts_dst_addr, 0, sizeof g_ts_dst_addr);
    std::memset(g_rte_map, 0, sizeof g_rte_map);
    std::memset(g_unr_map, 0, sizeof g_unr_map);
    std::memset(g_unr_id, 0, sizeof g_unr_id);
    g_local_bridge_port_vaddr[0] = g_local_ts_dst_alloc_vaddr[0] = '\0';
    g_bridge_port_index = -1;
    if (carrier_node *self = kd_carrier_get_self()) {
        g_bridge_port_index = kd_carrier_get_port_index(self, 1, PORTID_BRIDGE);
        carrier_port_addr a{};
        if (g_bridge_port_index >= 0 && kd_carrier_get_address(self, &a, unsigned(g_bridge_port_index)) == 0)
            std::snprintf(g_local_bridge_port_vaddr, sizeof g_local_bridge_port_vaddr, "%.3s", a.vmap_addr_str);
        if (const uint16_t v = kd_carrier_allocate_vmap_addr(self))
            std::snprintf(g_local_ts_dst_alloc_vaddr, sizeof g_local_ts_dst_alloc_vaddr, "%x", unsigned(v & 0xFFF));
    }
    kd_cuvent_register_cb(mcf_pli, "internal_ts", on_internal_ts, nullptr, CUVFLT_IGNORE_OWN);
    kd_cuvent_register_cb(mcf_pli, "internal_ts_clear", on_internal_ts_clear, nullptr, CUVFLT_IGNORE_OWN);
}

void xsb_bridge_fini()
{
    carrier_node *self = kd_carrier_get_self();
    const unsigned hw = self ? kd_carrier_get_HW_slot(self) & 7u : 0;
    mcf_post_log(SQ_LOG_INFO,
                 "MCF: Clearing all VADDRs in node VMAP on UI slot %u, HW bay %u, disables all TS flow into bridge port %u on eth2",
                 kHwToUiSlot[hw], hw, unsigned(g_bridge_port_index < 0 ? 0 : g_bridge_port_index));
    for (ts_dst_addr_t &d : g_ts_dst_addr) {
        clear_ts_flow_vmap(d.routable_addr);
        clear_ts_flow_vmap(d.unroutable_addr[0]);
        clear_ts_flow_vmap(d.unroutable_addr[1]);
        d.routable_refcnt = 0;
    }
    std::memset(g_rte_map, 0, sizeof g_rte_map);
    std::memset(g_unr_map, 0, sizeof g_unr_map);
}

} // namespace mcf

extern "C" {

int mcastfwdr_ingress_send_ts_data_into_ring(const uint8_t *data, size_t len, int input_id)
{
    xsb_sock *sock = mcf::ingress_xsb_socket();
    if (!sock || xsb_fileno(sock) < 0) {
        if (g_send_log.due())
            mcf_post_log(SQ_LOG_ERROR, "Ingress raw socket towards ring not set up");
        return -1;
    }
    if (len > XSB_DATA_LEN) {
        mcf_post_log(SQ_LOG_ERROR, "TS data too large to send into ring: %zd", ssize_t(len));
        return -1;
    }
    unsigned index = 0;
    if (!bridge_index(input_id, &index)) {
        if (g_index_log.due())
            mcf_post_log(SQ_LOG_ERROR, "MCF: Input %d cannot be bridged: LINK indexes run from 0 to %d", input_id,
                         XSB_LINK_INDEXES - 1);
        return -1;
    }
    xsb_pkt pkt{};
    xsb_set_addr(pkt.dst, g_local_ts_dst_alloc_vaddr);
    xsb_set_addr(pkt.src, g_local_bridge_port_vaddr);
    pkt.proto[0] = XSB_ETH_P_CONFIG >> 8;
    pkt.proto[1] = XSB_ETH_P_CONFIG & 0xFF;
    const size_t body = len + 5 > XSB_DATA_LEN ? XSB_DATA_LEN - 5 : len;
    std::memcpy(pkt.data, "LINK", 4);
    pkt.data[4] = uint8_t(index);
    std::memcpy(pkt.data + 5, data, body);
    const int total = int(XSB_HDR_LEN + 5 + body);
    const int rc = xsb_send(sock, &pkt, total);
    if (rc < 0) {
        const int err = errno;
        if (g_send_log.due()) {
            mcf_post_log(SQ_LOG_ERROR, "Sending TS data into ring failed! rc= %ld. '%s' (%d)", long(rc),
                         std::strerror(err), err);
            if (err == EAGAIN)
                mcf_post_log(SQ_LOG_WARN, "Send is using a non-blocking socket and the output buffer is full");
        }
        return -1;
    }
    if (rc != total) {
        if (g_send_log.due())
            mcf_post_log(SQ_LOG_ERROR, "Partial TS data sent into ring! Sent: %zd of %d bytes", ssize_t(rc), total);
        return -1;
    }
    return 0;
}

int mcastfwdr_ingress_notify_internal_ts(int bps, int input_id)
{
    unsigned index = 0;
    if (!bridge_index(input_id, &index)) {
        mcf_post_log(SQ_LOG_ERROR, "MCF: Input %d cannot be bridged: LINK indexes run from 0 to %d", input_id,
                     XSB_LINK_INDEXES - 1);
        return -1;
    }
    internal_ts_info info{};
    std::memcpy(info.src, g_local_bridge_port_vaddr, sizeof info.src);
    std::memcpy(info.dst, g_local_ts_dst_alloc_vaddr, sizeof info.dst);
    info.index = index;
    info.routable = 1;
    info.rate = uint32_t(bps);
    mcf_post_log(SQ_LOG_DEBUG, "MCF: Input %u sending Internal TS event Src: %s Dst %s Rate: %u.", unsigned(input_id),
                 g_local_bridge_port_vaddr, g_local_ts_dst_alloc_vaddr, info.rate);
    kd_cuvent_emit(mcf_pli, "internal_ts", &info);
    return 0;
}

int mcastfwdr_ingress_notify_internal_ts_clear(int input_id)
{
    unsigned index = 0;
    if (!bridge_index(input_id, &index))
        return -1;
    internal_ts_info info{};
    std::memcpy(info.src, g_local_bridge_port_vaddr, sizeof info.src);
    std::memcpy(info.dst, g_local_ts_dst_alloc_vaddr, sizeof info.dst);
    info.index = index;
    mcf_post_log(SQ_LOG_DEBUG, "MCF: Input %u sending Internal TS Clear event Src: %s Dst %s.", unsigned(input_id),
                 g_local_bridge_port_vaddr, g_local_ts_dst_alloc_vaddr);
    kd_cuvent_emit(mcf_pli, "internal_ts_clear", &info);
    return 0;
}

void mcastfwdr_ingress_set_ts_flow_vmaps(void)
{
    for (unsigned bay = 0; bay < XSB_BAYS; ++bay) {
        ts_dst_addr_t &d = g_ts_dst_addr[bay];
        set_ts_flow_vmap(d.routable_addr, bay);
        set_ts_flow_vmap(d.unroutable_addr[0], bay);
        set_ts_flow_vmap(d.unroutable_addr[1], bay);
    }
}

void mcastfwdr_ingress_announce_xsb_flows(void) { mcastfwdr_ingress_set_ts_flow_vmaps(); }

void mcastfwdr_ingress_notify_bridged_inputs(void)
{
    for (const cfg_rx &rx : mcf::records<cfg_rx>(mcf_cfg.rules_rx))
        if (rx.ingress_type == INGRTYPE_NET && rx.ingress_is_bridged)
            mcastfwdr_ingress_notify_internal_ts(rx.ingress_bps, rx.ingress_id);
}

manager_input *mcastfwdr_ingress_get_xsb_input_map(const ingress_to_mux_item *e)
{
    if (!e || e->baypos >= XSB_BAYS || e->input_map_idx < 0)
        return nullptr;
    if (e->ts_pkt)
        return e->input_map_idx < 2 ? g_unr_map[e->baypos][e->input_map_idx] : nullptr;
    return e->input_map_idx < XSB_LINK_INDEXES ? g_rte_map[e->baypos][e->input_map_idx] : nullptr;
}

unsigned mcastfwdr_ingress_get_xsb_unr_input_id(unsigned bay, unsigned low_nibble)
{
    return bay < XSB_BAYS ? g_unr_id[bay][low_nibble == 9 ? 1 : 0] : 0;
}

const char *mcastfwdr_ingress_get_local_bridge_src_addr(void) { return g_local_bridge_port_vaddr; }

} // extern "C"

// Carriers and chassis roles: this card's slot, the registry of the cards
// found by discovery, lookups, plug-in factories and binding, MII messages.
#include "carrier_internal.h"

#include "../frame_internal.h"

#include <kerrow/alarm.h>
#include <kerrow/cuvent.h>
#include <kerrow/log.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include <net/if.h>
#include <poll.h>

extern "C" {
const int hw_to_ui_slot[8] = {5, 6, 7, 8, 4, 3, 2, 1};
const int ui_to_hw_slot[9] = {0, 7, 6, 5, 4, 0, 1, 2, 3};
}

namespace kd::carrier {

namespace {
state g_state;

constexpr const char *kSlotName[8] = {"CR-05", "CR-06", "CR-07", "CR-08", "CR-04", "CR-03", "CR-02", "CR-01"};

bool refuse_native()
{
    if (!g_state.native)
        return false;
    KD_LOG(KD_LOG_ERR, "[%s] Not supported in native mode\n", me());
    return true;
}

void copy_text(char *dst, size_t size, const char *src)
{
    std::snprintf(dst, size, "%s", src ? src : "");
}

void on_mii(void *)
{
    state &s = g_state;
    xsb_pkt pkt{};
    const int n = s.mii ? xsb_recv(s.mii.get(), &pkt, sizeof pkt) : -1;
    if (n < XSB_HDR_LEN + 1) {
        KD_LOG(KD_LOG_ERR, "[%s] xsb_recv() for MII - no data received\n", me());
        return;
    }
    const unsigned hw = pkt.src[5] >> 4;
    carrier_node *node = node_at_hw(hw);
    if (!node) {
        KD_LOG(KD_LOG_ERR, "[%s] No card found for MII message %2x\n", me(), pkt.src[5]);
        return;
    }
    if (node->unused) {
        KD_LOG(KD_LOG_ERR, "[%s] MII message for unused node %s slot %u\n", me(), node->name, node->slot);
        return;
    }
    if (!node->ops.on_msg_in) {
        KD_LOG(KD_LOG_WARNING, "[%s] Carrier %s slot %d: no on_msg_in\n", me(), node->name, int(node->slot));
        return;
    }
    node->ops.on_msg_in(node, node->xsb_mii_addr, pkt.data, size_t(n - XSB_HDR_LEN));
}

void release_node(carrier_node *n)
{
    if (n->ops.release_manager) {
        KD_LOG(KD_LOG_INFO, "[%s] Release for carrier name %s slot %d\n", me(), n->name, int(n->slot));
        n->ops.release_manager(n);
        n->ops.release_manager = nullptr;
    } else {
        KD_LOG(KD_LOG_INFO, "[%s] Carrier name %s slot %d has no release manager\n", me(), n->name,
               int(n->slot));
    }
}

void on_firmware_select(cuvent_wrapper *) noexcept { flag_program_on_boot(); }
} // namespace

void (*exit_process)(int) = std::exit;

state &st() { return g_state; }
const char *me() { return kd_frame_plugin_get_name(nullptr); }
bool is_master() { return g_state.slot == DEFAULT_MASTER_SLOT; }

unsigned read_hw_slot()
{
    const char *text = std::getenv("HW_SLOT");
    if (!text) {
        KD_LOG(KD_LOG_WARNING, "[%s] Missing HW_SLOT environment variable. Assuming slot %d.\n", me(),
               DEFAULT_MASTER_SLOT);
        return DEFAULT_MASTER_SLOT;
    }
    // Decimal, or hexadecimal after "0x"; a leading zero is not octal
    // ("08" is slot 8 and then out of range, not a conversion error).
    const bool hex = text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    char *end = nullptr;
    errno = 0;
    const unsigned long v = std::strtoul(hex ? text + 2 : text, &end, hex ? 16 : 10);
    const bool digits = end != (hex ? text + 2 : text) && *end == '\0' && errno == 0 && text[0] != '-' &&
                        text[0] != '+' && !(hex && (text[2] == '-' || text[2] == '+'));
    if (!digits || v > 7) {
        KD_LOG(KD_LOG_WARNING, "[%s] Invalid HW_SLOT '%s'. Assuming slot %d.\n", me(), text,
               DEFAULT_MASTER_SLOT);
        return DEFAULT_MASTER_SLOT;
    }
    return unsigned(v);
}

void set_identity(unsigned slot)
{
    g_state.slot = slot & 7;
    g_state.bridge_byte = uint8_t(g_state.slot << 4 | 1);
}

carrier_node *node_at_hw(unsigned hw_slot)
{
    for (auto &r : g_state.carriers)
        if (r->node.slot == hw_slot)
            return &r->node;
    return nullptr;
}

void xsb_mac(uint8_t mac[6], unsigned addr)
{
    const uint8_t m[6] = {0x00, 0x90, 0x1F, 0x00, uint8_t((addr >> 8) & 0xF), uint8_t(addr & 0xFF)};
    std::memcpy(mac, m, 6);
}

bool send_frame(xsb_sock *s, xsb_pkt &pkt, int len)
{
    if (!s) {
        errno = ENOTCONN;
        return false;
    }
    return xsb_send(s, &pkt, len) == len;
}

int64_t now_ms()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

int wait_readable(int fd, int64_t deadline_ms)
{
    for (;;) {
        const int64_t left = deadline_ms - now_ms();
        if (left <= 0)
            return 0;
        pollfd p{fd, POLLIN, 0};
        const int rc = poll(&p, 1, int(left));
        if (rc > 0)
            return 1;
        if (rc < 0 && errno != EINTR)
            return -1;
    }
}

void alarm_register(const char *label, const char *description)
{
    kd_alarm_register(label, description);
    g_state.alarms.emplace(label, false);
}
void alarm_set(const char *label, bool active)
{
    kd_alarm_detected(label, active ? ALARM_ACTIVE : ALARM_INACTIVE);
    g_state.alarms[label] = active;
}

} // namespace kd::carrier

using namespace kd::carrier;

extern "C" KD_API void kd_carrier_init(void)
{
    state &s = st();
    s.carriers.clear();
    s.factories.clear();
    s.lanes.clear();
    s.alarms.clear();
    s.next_lane = 0;
    s.bound = false;
    s.native = kd_frame_is_running_native();
    set_identity(read_hw_slot());
    KD_LOG(KD_LOG_INFO, "[%s] HW identifies this slot as %u\n", me(), s.slot);
    s.up = true;
    if (s.native)
        return;
    kd_cuvent_register_cb(nullptr, "version firmware select", on_firmware_select, nullptr, CUVFLT_NONE);
    // A machine without the interconnect (a developer's, a test's) has no
    // chassis to wait for.
    if (if_nametoindex(kXsbIf) == 0) {
        KD_LOG(KD_LOG_WARNING, "[%s] No %s interface: no carriers discovered\n", me(), kXsbIf);
        return;
    }
    if (is_master()) {
        ifp_step();
        discover();
        s.cmd.reset(xsb_open(kXsbIf, XSB_ETH_P_CMD));
        start_ping_watcher();
    } else {
        s.cmd.reset(xsb_open(kXsbIf, XSB_ETH_P_CMD));
        wait_for_master();
        discover();
    }
}

extern "C" KD_API void kd_carrier_fini(void)
{
    state &s = st();
    if (!s.up)
        return;
    kd_frame_stop_watcher("MII_WATCHER", nullptr);
    kd_frame_stop_watcher("PING_WATCHER", nullptr);
    // The "version firmware select" listener goes with the event bus, which
    // stops after this service (a second registration is a refused duplicate).
    s.mii.reset();
    s.cmd.reset();
    clear_targets();
    s.lanes.clear();
    s.factories.clear();
    s.carriers.clear();
    s.up = false;
}

extern "C" KD_API bool kd_carrier_frame_is_master(void) { return is_master(); }

extern "C" KD_API carrier_node *kd_carrier_get_self(void)
{
    if (refuse_native())
        return nullptr;
    carrier_node *n = node_at_hw(st().slot);
    if (!n)
        KD_LOG(KD_LOG_ERR, "[%s] Unable to identify my carrier node. Slot %d\n", me(), int(st().slot));
    return n;
}

extern "C" KD_API carrier_node *kd_carrier_get_node(unsigned ui_slot)
{
    if (ui_slot < 1 || ui_slot > 8) {
        KD_LOG(KD_LOG_ERR, "[%s] Invalid input slot number: %u\n", me(), ui_slot);
        return nullptr;
    }
    return node_at_hw(unsigned(ui_to_hw_slot[ui_slot]));
}

extern "C" KD_API unsigned kd_carrier_get_slot(const carrier_node *node)
{
    if (st().native || !node || node->slot > 7)
        return 0;
    return unsigned(hw_to_ui_slot[node->slot]);
}

extern "C" KD_API unsigned kd_carrier_get_HW_slot(const carrier_node *node)
{
    return node ? node->slot : st().slot;
}

extern "C" KD_API const char *kd_carrier_get_slot_name(const carrier_node *node)
{
    return node && node->slot < 8 ? kSlotName[node->slot] : nullptr;
}

extern "C" KD_API const char *kd_carrier_get_name(const carrier_node *node)
{
    if (refuse_native() || !node)
        return nullptr;
    return node->name;
}

extern "C" KD_API int kd_carrier_is_lower_row(const carrier_node *node) { return node && node->slot < 4; }

extern "C" KD_API bool kd_carrier_is_compatible(const carrier_node *node, const char *type_name)
{
    return node && type_name &&
           (std::strcmp(node->name, type_name) == 0 || std::strcmp(node->base_name, type_name) == 0);
}

extern "C" KD_API uint32_t kd_carrier_get_function(const carrier_node *node)
{
    return node ? node->target_function : 0;
}

extern "C" KD_API int kd_carrier_get_function_label(const carrier_node *node, char *buf, size_t size)
{
    if (!node || !buf)
        return -1;
    const size_t need = std::strlen(node->function_label) + 1;
    if (need > size)
        return -1;
    std::memcpy(buf, node->function_label, need);
    return 0;
}

extern "C" KD_API carrier_ops *kd_carrier_get_carrier_ops(carrier_node *node)
{
    if (refuse_native() || !node)
        return nullptr;
    return &node->ops;
}

extern "C" KD_API void *kd_carrier_get_carrier_context(carrier_node *node)
{
    if (refuse_native() || !node)
        return nullptr;
    return node->plugin_ctx;
}

extern "C" KD_API int kd_carrier_set_carrier_context(carrier_node *node, void *ctx)
{
    if (refuse_native() || !node)
        return -1;
    node->plugin_ctx = ctx;
    return 0;
}

extern "C" KD_API int kd_carrier_get_port_index(const carrier_node *node, unsigned position, carrier_portid type)
{
    if (!node || position == 0)
        return -1;
    unsigned seen = 0;
    for (unsigned i = 0; i < node->port_count; ++i)
        if (node->ports[i].type == type && ++seen == position)
            return node->ports[i].index;
    KD_LOG(KD_LOG_INFO, "[%s] Port type %u position %u not found on node %s slot %u\n", me(), type, position,
           node->name, node->slot);
    return -1;
}

namespace {
const carrier_port *find_port(const carrier_node *node, unsigned index)
{
    for (unsigned i = 0; node && i < node->port_count; ++i)
        if (node->ports[i].index == index)
            return &node->ports[i];
    return nullptr;
}
} // namespace

extern "C" KD_API int kd_carrier_get_port_data(const carrier_node *node, uint16_t *data, unsigned port_index)
{
    const carrier_port *p = find_port(node, port_index);
    if (!p || !data) {
        KD_LOG(KD_LOG_WARNING, "[%s] Port index %u not found on node %s slot %u\n", me(), port_index,
               node ? node->name : "", node ? node->slot : 0);
        return -1;
    }
    *data = p->data;
    KD_LOG(KD_LOG_INFO, "[%s] Returning port data for port index %u on node %s slot %u: %04x\n", me(),
           port_index, node->name, node->slot, p->data);
    return 0;
}

extern "C" KD_API int kd_carrier_get_address(const carrier_node *node, carrier_port_addr *addr, unsigned port_index)
{
    if (!addr)
        return -1;
    *addr = carrier_port_addr{};
    addr->vmap_addr = 0xFFF;
    xsb_mac(addr->mac_field, 0xE00);
    const carrier_port *p = find_port(node, port_index);
    if (!p || node->slot > 7) {
        KD_LOG(KD_LOG_WARNING, "[%s] Port index %u not found on node %s slot %u\n", me(), port_index,
               node ? node->name : "", node ? node->slot : 0);
        return -1;
    }
    const unsigned lo = node->slot << 4 | p->index;
    addr->vmap_addr = uint16_t(0xE00 | lo);
    std::snprintf(addr->vmap_addr_str, sizeof addr->vmap_addr_str, "e%1x%1x", node->slot & 7u, p->index & 0xFu);
    addr->mac_field[5] = uint8_t(lo);
    if (p->type == PORTID_BRIDGE) {
        const uint8_t ip[4] = {169, 254, 1, uint8_t(hw_to_ui_slot[node->slot])};
        std::memcpy(addr->ip_field, ip, 4);
    }
    return 0;
}

extern "C" KD_API int kd_carrier_get_transmitter_offset(const carrier_node *node, unsigned *offset, unsigned *count)
{
    if (!node || !offset || !count || node->dcm.count == 0 || !node->dcm.is_tx)
        return -1;
    *offset = node->dcm.tx_offset;
    *count = node->dcm.count;
    return 0;
}

extern "C" KD_API carrier_node *kd_carrier_get_wired_receiver(const carrier_node *tx, unsigned tx_index,
                                                              unsigned *rx_index, unsigned *count)
{
    if (refuse_native())
        return nullptr;
    for (const blvds_connection &c : st().lanes) {
        if (c.node_tx != tx || c.dcm_tx_index != tx_index)
            continue;
        if (rx_index)
            *rx_index = c.dcm_rx_index;
        if (count)
            *count = c.dcm_rx_index_is_dense ? 2 : 1;
        KD_LOG(KD_LOG_INFO, "[%s] %s: Tx: %s slot %u idx %u Rx: %s slot %u idx %u count %u\n", me(), __func__,
               tx->name, tx->slot, tx_index, c.node_rx->name, c.node_rx->slot, c.dcm_rx_index,
               c.dcm_rx_index_is_dense ? 2u : 1u);
        return c.node_rx;
    }
    KD_LOG(KD_LOG_INFO, "[%s] %s: No receiver found\n", me(), __func__);
    return nullptr;
}

extern "C" KD_API int kd_carrier_register_factory(const char *type_name, plugin_load_info *owner,
                                                  kd_carrier_bind_manager bind_fn)
{
    if (refuse_native() || !type_name)
        return -1;
    cmfactory_node f{};
    copy_text(f.node_name, sizeof f.node_name, type_name);
    copy_text(f.plugin_name, sizeof f.plugin_name, kd_frame_plugin_get_name(owner));
    f.bind_fn = bind_fn;
    for (const cmfactory_node &e : st().factories) {
        if (!std::strcmp(e.node_name, f.node_name) && !std::strcmp(e.plugin_name, f.plugin_name)) {
            KD_LOG(KD_LOG_ERR, "[%s] Registry item already exists for plugin %s carrier %s\n", me(),
                   f.plugin_name, f.node_name);
            return -1;
        }
    }
    KD_LOG(KD_LOG_INFO, "[%s] Plugin %s registered to bind to %s carriers\n", me(), f.plugin_name, f.node_name);
    st().factories.push_back(f);
    return 0;
}

extern "C" KD_API void kd_carrier_unregister_factory_by_owner(plugin_load_info *owner)
{
    const char *name = kd_frame_plugin_get_name(owner);
    KD_LOG(KD_LOG_INFO, "[%s] %s\n", me(), name);
    auto &fs = st().factories;
    for (auto it = fs.begin(); it != fs.end();) {
        if (std::strcmp(it->plugin_name, name) != 0) {
            ++it;
            continue;
        }
        for (auto &r : st().carriers)
            if (kd_carrier_is_compatible(&r->node, it->node_name))
                release_node(&r->node);
        KD_LOG(KD_LOG_INFO, "[%s] Deleting factory node: %s %s.\n", me(), it->node_name, it->plugin_name);
        it = fs.erase(it);
    }
}

extern "C" KD_API void kd_carrier_bind_carriers(void)
{
    state &s = st();
    if (s.native)
        return;
    if (!s.mii && if_nametoindex(kXsbIf) != 0) {
        s.mii.reset(xsb_open(kXsbIf, XSB_ETH_P_MII));
        if (xsb_fileno(s.mii.get()) >= 0)
            kd_frame_start_custom_watcher("MII_WATCHER", xsb_fileno(s.mii.get()), on_mii, nullptr, nullptr);
    }
    for (unsigned ui = 1; ui <= 8; ++ui) {
        carrier_node *n = node_at_hw(unsigned(ui_to_hw_slot[ui]));
        if (!n || n->unused)
            continue;
        KD_LOG(KD_LOG_INFO, "[%s] Find manager plugin for %s\n", me(), n->name);
        const cmfactory_node *found = nullptr;
        for (const cmfactory_node &f : s.factories)
            if (!found && !std::strcmp(f.node_name, n->name))
                found = &f;
        for (const cmfactory_node &f : s.factories)
            if (!found && !std::strcmp(f.node_name, n->base_name))
                found = &f;
        if (!found) {
            KD_LOG(KD_LOG_INFO, "[%s] No manager plugin found for %s\n", me(), n->name);
            continue;
        }
        KD_LOG(KD_LOG_INFO, "[%s] Binding card %s in slot %d to plugin %s\n", me(), n->name, int(n->slot),
               found->plugin_name);
        if (found->bind_fn)
            found->bind_fn(n);
    }
}

extern "C" void kd_carrier_bind_at_run(void)
{
    if (st().bound)
        return;
    st().bound = true;
    kd_carrier_bind_carriers();
    kd_carrier_all_binds_complete();
}

extern "C" KD_API void kd_carrier_all_binds_complete(void)
{
    for (auto &r : st().carriers) {
        carrier_node *n = &r->node;
        if (n->unused)
            continue;
        if (n->ops.all_binds_complete) {
            KD_LOG(KD_LOG_INFO, "[%s] All binds complete for carrier name %s slot %d\n", me(), n->name, int(n->slot));
            n->ops.all_binds_complete(n);
        } else {
            KD_LOG(KD_LOG_INFO, "[%s] Carrier name %s slot %d has no all-binds-complete function\n", me(),
                   n->name, int(n->slot));
        }
    }
}

extern "C" KD_API void kd_carrier_release_all(void)
{
    for (auto &r : st().carriers)
        if (!r->node.unused)
            release_node(&r->node);
}

extern "C" KD_API int kd_carrier_send_mii_msg(carrier_node *node, const uint8_t *msg, size_t len)
{
    if (refuse_native() || !node || (!msg && len))
        return -1;
    if (len > XSB_DATA_LEN) {
        KD_LOG(KD_LOG_ERR, "[%s] Message length too large: %zd\n", me(), ssize_t(len));
        return -1;
    }
    xsb_pkt pkt{};
    if (xsb_set_addr(pkt.dst, node->xsb_mii_addr) != 0) {
        KD_LOG(KD_LOG_ERR, "[%s] Carrier %s slot %u has no MII port\n", me(), node->name, node->slot);
        return -1;
    }
    xsb_mac(pkt.src, 0xE00 | st().bridge_byte);
    pkt.proto[0] = XSB_ETH_P_MII >> 8;
    pkt.proto[1] = XSB_ETH_P_MII & 0xFF;
    if (len)
        std::memcpy(pkt.data, msg, len);
    if (!send_frame(st().mii.get(), pkt, int(len) + XSB_HDR_LEN)) {
        KD_LOG(KD_LOG_ERR, "[%s] Error sending (%s)\n", me(), std::strerror(errno));
        return -1;
    }
    return 0;
}

extern "C" KD_API int kd_carrier_request_info(carrier_node *node)
{
    const unsigned hw = node ? node->slot : st().slot;
    xsb_pkt pkt{};
    xsb_mac(pkt.dst, 0xF00 | (hw & 0xFF));
    xsb_mac(pkt.src, 0xE00 | st().bridge_byte);
    pkt.proto[0] = XSB_ETH_P_CMD >> 8;
    pkt.proto[1] = XSB_ETH_P_CMD & 0xFF;
    std::memcpy(pkt.data, "INRQ", 4);
    if (!send_frame(st().cmd.get(), pkt, 18)) {
        KD_LOG(KD_LOG_ERR, "[%s] Error sending INRQ (%s)\n", me(), std::strerror(errno));
        return -1;
    }
    return 0;
}

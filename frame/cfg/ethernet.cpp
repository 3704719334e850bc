// The "Ethernet Interfaces" table (eth0, eth1) and the default gateway.
#include <kerrow/carrier.h>
#include <kerrow/cuvent.h>
#include <kerrow/frame.h>
#include <kerrow/log.h>
#include <kerrow/param.h>
#include <kerrow/system.h>

#include "../frame_internal.h"
#include "../system/system_internal.h"
#include "cfg_internal.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <linux/if_link.h>
#include <netdb.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <list>
#include <memory>
#include <string>

namespace {

const char *me() { return kd_frame_plugin_get_name(nullptr); }

struct frame_ifaddr {
    char name[20] = {};
    std::string device_name;
    char ip4addr[1025] = "0.0.0.0";
    char netmask[1025] = "0.0.0.0";
    char ip6addr[1025] = {};
    char ip6mask[1025] = {};
    char hwaddr[32] = {};
    int dynamic = 0;
    time_t time_stats = 0;
    rtnl_link_stats stats{};
    param_context *param_ip4addr = nullptr;
    param_context *param_ip4mask = nullptr;
    param_context *param_gwip = nullptr;
    param_context *row = nullptr;
};

/* loop thread only; nodes do not move (parameters point at them) */
std::list<frame_ifaddr> g_rows;
bool g_listening = false;

struct ifaddrs_owner {
    ifaddrs *list = nullptr;
    ~ifaddrs_owner()
    {
        if (list)
            freeifaddrs(list);
    }
};

frame_ifaddr *row_of(param_context *p) { return static_cast<frame_ifaddr *>(kd_param_get_userdata(p)); }

frame_ifaddr *row_for(const char *device)
{
    for (auto &r : g_rows)
        if (device && r.device_name == device)
            return &r;
    return nullptr;
}

// Numeric host form of an entry's address or netmask.
void numeric_host(const sockaddr *sa, char *out, size_t len)
{
    if (!sa)
        return;
    const socklen_t salen = sa->sa_family == AF_INET6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in);
    const int rc = getnameinfo(sa, salen, out, static_cast<socklen_t>(len), nullptr, 0, NI_NUMERICHOST);
    if (rc != 0)
        KD_LOG(KD_LOG_WARNING, "[%s] %s\n", me(), gai_strerror(rc));
}

const char *ip_help(param_context *)
{
    return "Sets the static IP address for a network interface.If interface is managed with DHCP, there is no "
           "need to set an address. ";
}

const char *const kOffOn[] = {"OFF", "ON", nullptr};
const char **dhcp_choices(param_context *) { return const_cast<const char **>(kOffOn); }
const char *dhcp_value(param_context *p) { return kOffOn[row_of(p)->dynamic ? 1 : 0]; }
const char *ip_value(param_context *p) { return row_of(p)->ip4addr; }
const char *mask_value(param_context *p) { return row_of(p)->netmask; }
const char *ip6_value(param_context *p) { return row_of(p)->ip6addr; }
const char *ip6mask_value(param_context *p) { return row_of(p)->ip6mask; }
const char *hw_value(param_context *p) { return row_of(p)->hwaddr; }

int stats_counter(param_context *p, int which)
{
    frame_ifaddr *r = row_of(p);
    ifaddrs_owner ifa;
    if (getifaddrs(&ifa.list) == 0 && kd_system_get_packet_stats(&r->stats, r->device_name.c_str(), ifa.list) == 0)
        r->time_stats = std::time(nullptr);
    const uint32_t v = which == 0 ? r->stats.rx_packets : r->stats.tx_packets;
    return static_cast<int>(v & 0x7fffffffu);
}
int rx_value(param_context *p) { return stats_counter(p, 0); }
int tx_value(param_context *p) { return stats_counter(p, 1); }
int zero(param_context *) { return 0; }
int one(param_context *) { return 1; }
int count_max(param_context *) { return 2147483647; }

// A new address or mask: the unit file gets it (applied when the network
// daemon restarts) and the old address leaves the running interface. Text
// that is not an address or a contiguous mask is refused before anything runs.
param_set_result address_set(param_context *p, const char *text, bool is_mask)
{
    frame_ifaddr *r = row_of(p);
    char *field = is_mask ? r->netmask : r->ip4addr;
    if (!text)
        return PARAM_SET_FAILURE;
    if (std::strcmp(text, field) == 0)
        return PARAM_SET_SUCCESS;
    if (is_mask ? kd::sys::count_mask_bits(text) < 0 : !kd::sys::ipv4_valid(text)) {
        KD_LOG(KD_LOG_ERR, "[%s] [system] invalid %s %s\n", me(), is_mask ? "mask" : "address", text);
        return PARAM_SET_FAILURE;
    }
    const char *addr = is_mask ? r->ip4addr : text;
    const char *mask = is_mask ? text : r->netmask;
    if (kd_system_update_network_cfg(r->device_name.c_str(), r->ip4addr, r->netmask, addr, mask) != 0)
        return PARAM_SET_FAILURE;
    // The current address may be the placeholder "0.0.0.0" or already gone:
    // its removal failing does not undo the saved configuration.
    kd_system_ifaddr_del_ip4(r->device_name.c_str(), r->ip4addr, r->netmask);
    std::snprintf(field, 1025, "%s", text);
    return PARAM_SET_SUCCESS;
}
param_set_result ip_set(param_context *p, const char *text) { return address_set(p, text, false); }
param_set_result mask_set(param_context *p, const char *text) { return address_set(p, text, true); }

void apply_access(frame_ifaddr *r)
{
    const param_control rw = r->dynamic ? PARAMCTRL_RDONLY : PARAMCTRL_RDWR_NOPERSIST;
    for (param_context *p : {r->param_ip4addr, r->param_ip4mask, r->param_gwip}) {
        if (!p)
            continue;
        kd_param_set_readwrite(p, rw);
        kd_param_notify(p);
    }
}

param_set_result dhcp_set(param_context *p, const char *text)
{
    frame_ifaddr *r = row_of(p);
    const int v = kd::cfg::choice_index(kOffOn, text);
    if (v < 0)
        return PARAM_SET_FAILURE;
    if (v == r->dynamic)
        return PARAM_SET_SUCCESS;
    const int old = r->dynamic;
    r->dynamic = v;
    if (kd_system_update_network_cfg_dynamic(r->device_name.c_str(), v) != 0) {
        r->dynamic = old;
        return PARAM_SET_FAILURE;
    }
    kd_system_ifaddr_del_ip4(r->device_name.c_str(), r->ip4addr, r->netmask);
    apply_access(r);
    return PARAM_SET_SUCCESS;
}

const char *gw_value(param_context *)
{
    static char buf[16];
    return kd_system_get_gateway(buf, sizeof buf);
}
param_set_result gw_set(param_context *, const char *text)
{
    return kd_system_set_gateway(text) == 0 ? PARAM_SET_SUCCESS : PARAM_SET_FAILURE;
}

void on_address_change(cuvent_wrapper *w) noexcept
{
    const auto *d = static_cast<const system_address_change_data *>(w->emit_ctx);
    if (!d)
        return;
    char device[21] = {};
    std::memcpy(device, d->device_name, sizeof d->device_name);
    if (std::strcmp(device, "eth0") != 0 && std::strcmp(device, "eth1") != 0)
        return;
    frame_ifaddr *r = row_for(device);
    if (!r)
        return;
    char address[21] = {};
    std::memcpy(address, d->address, sizeof d->address);
    KD_LOG(KD_LOG_NOTICE, "[%s] Updating device %s to address %s\n", me(), device, address);
    std::snprintf(r->ip4addr, sizeof r->ip4addr, "%s", address);
    kd_param_notify(r->param_ip4addr);
    ifaddrs_owner ifa;
    if (getifaddrs(&ifa.list) != 0)
        return;
    const ifaddrs *e = kd_system_ifaddr_get_ip4(device, ifa.list);
    if (!e) {
        KD_LOG(KD_LOG_WARNING, "[%s] Call to kd_system_ifaddr_get_ip4() returned NULL!\n", me());
        return;
    }
    numeric_host(e->ifa_netmask, r->netmask, sizeof r->netmask);
    kd_param_notify(r->param_ip4mask);
}

void add_row(param_context *root, param_context *table, const char *device, int number, ifaddrs *list)
{
    KD_LOG(KD_LOG_INFO, "[%s] Row for device %s\n", me(), device);
    frame_ifaddr &r = g_rows.emplace_back();
    r.device_name = device;
    r.dynamic = kd_system_device_is_dynamic(device);
    const param_control rw = r.dynamic ? PARAMCTRL_RDONLY : PARAMCTRL_RDWR_NOPERSIST;
    if (number == 1)
        r.param_gwip = kd_param_alloc_string(root, nullptr, "Gateway Address", rw, nullptr, gw_value, gw_set, &r);
    std::snprintf(r.name, sizeof r.name, "IP %d", number);
    r.row = kd_param_alloc_row(table, nullptr, r.name);
    if (const ifaddrs *e = kd_system_ifaddr_get_ip4(device, list)) {
        numeric_host(e->ifa_addr, r.ip4addr, sizeof r.ip4addr);
        numeric_host(e->ifa_netmask, r.netmask, sizeof r.netmask);
    }
    kd_param_alloc_choice(r.row, nullptr, "DHCP", PARAMCTRL_RDWR_NOPERSIST, nullptr, dhcp_value, dhcp_choices,
                          dhcp_set, &r);
    r.param_ip4addr = kd_param_alloc_string(r.row, nullptr, "IP Address", rw, ip_help, ip_value, ip_set, &r);
    r.param_ip4mask = kd_param_alloc_string(r.row, nullptr, "IP Mask", rw, nullptr, mask_value, mask_set, &r);
    if (const ifaddrs *e = kd_system_ifaddr_get_ip6(device, list)) {
        numeric_host(e->ifa_addr, r.ip6addr, sizeof r.ip6addr);
        numeric_host(e->ifa_netmask, r.ip6mask, sizeof r.ip6mask);
        kd_param_alloc_string(r.row, nullptr, "IP6 Address", PARAMCTRL_RDONLY, ip_help, ip6_value, nullptr, &r);
        kd_param_alloc_string(r.row, nullptr, "IP6 Mask", PARAMCTRL_RDONLY, nullptr, ip6mask_value, nullptr, &r);
    }
    if (const ifaddrs *e = kd_system_ifaddr_get_packet(device, list)) {
        KD_LOG(KD_LOG_NOTICE, "[%s] [framecfg] %s hwaddr flags %x\n", me(), device, e->ifa_flags);
        kd_system_get_mac_address(r.hwaddr, sizeof r.hwaddr, device);
        kd_param_init_auto_notify(
            kd_param_alloc_string(r.row, nullptr, "HW Address", PARAMCTRL_RDONLY, nullptr, hw_value, nullptr, &r), 1.0);
        kd_param_init_auto_notify(kd_param_alloc_number(r.row, nullptr, "RX Packets", PARAMCTRL_RDONLY, nullptr,
                                                        rx_value, zero, count_max, one, nullptr, &r),
                                  1.0);
        kd_param_init_auto_notify(kd_param_alloc_number(r.row, nullptr, "TX Packets", PARAMCTRL_RDONLY, nullptr,
                                                        tx_value, zero, count_max, one, nullptr, &r),
                                  1.0);
    }
}

} // namespace

namespace kd::cfg {

void setup_cfg_ethernet_interfaces(param_context *root)
{
    g_rows.clear();
    if (const carrier_node *self = kd_carrier_get_self(); self && kd_carrier_get_port_index(self, 1, PORTID_ASI) >= 0) {
        KD_LOG(KD_LOG_NOTICE, "[%s] ASI carrier has no external ethernet interfaces\n", me());
        return;
    }
    ifaddrs_owner ifa;
    if (getifaddrs(&ifa.list) != 0) {
        KD_LOG(KD_LOG_WARNING, "[%s] %s\n", me(), std::strerror(errno));
        return;
    }
    param_context *table = kd_param_alloc_table(root, nullptr, "Ethernet Interfaces", nullptr);
    add_row(root, table, "eth0", 1, ifa.list);
    add_row(root, table, "eth1", 2, ifa.list);
    if (!g_listening)
        g_listening = kd_cuvent_register_cb(nullptr, "system_address_change", on_address_change, nullptr,
                                            CUVFLT_NONE) == 0;
}

void cfg_ethernet_interfaces_fini()
{
    g_rows.clear();
    g_listening = false;
}

} // namespace kd::cfg

extern "C" {

int cfg_ethernet_address_is_valid(const char *ifname)
{
    const frame_ifaddr *r = row_for(ifname);
    return r && std::strcmp(r->ip4addr, "0.0.0.0") != 0 ? 1 : 0;
}

const char *cfg_ethernet_get_address(const char *ifname)
{
    const frame_ifaddr *r = row_for(ifname);
    return r ? r->ip4addr : nullptr;
}

} // extern "C"

// System control: link and IPv4 address state of eth0..eth2 from route
// netlink (RFC 3549), the system bus for host name, time zone and NTP state,
// and the small interface queries the settings and plug-ins use.
#include <kerrow/alarm.h>
#include <kerrow/command.h>
#include <kerrow/cuvent.h>
#include <kerrow/frame.h>
#include <kerrow/log.h>
#include <kerrow/param.h>
#include <kerrow/system.h>

#include "../frame_internal.h"
#include "system_internal.h"

#include <libmnl/libmnl.h>
#include <linux/if.h>
#include <linux/if_link.h>
#include <linux/rtnetlink.h>
#include <systemd/sd-bus.h>

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if_arp.h>
#include <netpacket/packet.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

const char *me() { return kd_frame_plugin_get_name(nullptr); }

struct device_state {
    const char *name;
    uint32_t link_state;
    char address_state[20];
};

/* loop thread only */
std::array<device_state, 3> g_devices;
mnl_socket *g_nl = nullptr;
sd_bus *g_bus = nullptr;
int g_system_bus_running = 0;
bool g_cfg_ntpsynchronized = false;
char g_cfg_tzname[64] = "";

void reset_devices()
{
    g_devices = {device_state{"eth0", 0, "0.0.0.0"}, device_state{"eth1", 0, "0.0.0.0"},
                 device_state{"eth2", 1, "0.0.0.0"}};
}

device_state *find_device(const char *name)
{
    for (auto &d : g_devices)
        if (std::strcmp(d.name, name) == 0)
            return &d;
    return nullptr;
}

// Copies at most size-1 characters and terminates.
void copy_text(char *dst, size_t size, const char *src)
{
    const size_t n = src ? strnlen(src, size - 1) : 0;
    if (n)
        std::memcpy(dst, src, n);
    dst[n] = '\0';
}

// ---- route netlink ----

int send_dump(mnl_socket *sock, uint16_t type, uint8_t family)
{
    if (!sock)
        return -1;
    alignas(nlmsghdr) char buf[MNL_SOCKET_BUFFER_SIZE];
    nlmsghdr *nlh = mnl_nlmsg_put_header(buf);
    nlh->nlmsg_type = type;
    nlh->nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
    nlh->nlmsg_seq = 1234;
    auto *gen = static_cast<rtgenmsg *>(mnl_nlmsg_put_extra_header(nlh, sizeof(rtgenmsg)));
    gen->rtgen_family = family;
    return mnl_socket_sendto(sock, nlh, nlh->nlmsg_len) < 0 ? -1 : 0;
}

// mnl_attr_for_each without its C-only pointer conversions.
template <typename Fn> void for_each_attr(const nlmsghdr *nlh, size_t offset, Fn fn)
{
    const auto *tail = static_cast<const char *>(mnl_nlmsg_get_payload_tail(nlh));
    for (auto *attr = static_cast<const nlattr *>(mnl_nlmsg_get_payload_offset(nlh, offset));
         mnl_attr_ok(attr, static_cast<int>(tail - reinterpret_cast<const char *>(attr))); attr = mnl_attr_next(attr))
        fn(attr);
}

void handle_link(const nlmsghdr *nlh)
{
    kd_system_request_addr_dump(g_nl);
    const auto *ifm = static_cast<const ifinfomsg *>(mnl_nlmsg_get_payload(nlh));
    system_link_change_data data{};
    copy_text(data.device_name, sizeof data.device_name, "unknown");
    for_each_attr(nlh, sizeof(*ifm), [&](const nlattr *attr) {
        if (mnl_attr_get_type(attr) == IFLA_IFNAME && mnl_attr_validate(attr, MNL_TYPE_NUL_STRING) >= 0)
            std::snprintf(data.device_name, sizeof data.device_name, "%.19s", mnl_attr_get_str(attr));
    });
    const bool running = ifm->ifi_flags & IFF_RUNNING;
    KD_LOG(KD_LOG_NOTICE, "[%s] [system] index=%d type=%d flags=%d family=%d %s\n", me(),
           ifm->ifi_index, ifm->ifi_type, ifm->ifi_flags, ifm->ifi_family,
           running ? "[RUNNINNG]" : "[NOT RUNNING]");
    data.up = static_cast<int>(ifm->ifi_flags & IFF_RUNNING);
    if (device_state *d = find_device(data.device_name))
        d->link_state = static_cast<uint32_t>(data.up);
    kd_cuvent_emit(nullptr, "system_link_change", &data);
}

void handle_addr(const nlmsghdr *nlh)
{
    const auto *ifa = static_cast<const ifaddrmsg *>(mnl_nlmsg_get_payload(nlh));
    const char *what = nlh->nlmsg_type == RTM_DELADDR ? "DELADDR detected"
                       : (nlh->nlmsg_flags & NLM_F_MULTI) ? "GETADDR detected"
                                                          : "NEWADDR detected";
    KD_LOG(KD_LOG_NOTICE, "[%s] [system] index %d %s\n", me(), ifa->ifa_index, what);
    char text[INET6_ADDRSTRLEN] = "";
    for_each_attr(nlh, sizeof(*ifa), [&](const nlattr *attr) {
        if (mnl_attr_get_type(attr) != IFA_ADDRESS)
            return;
        const size_t need = ifa->ifa_family == AF_INET ? 4 : ifa->ifa_family == AF_INET6 ? 16 : 0;
        if (need && mnl_attr_get_payload_len(attr) >= need)
            inet_ntop(ifa->ifa_family, mnl_attr_get_payload(attr), text, sizeof text);
    });
    if (nlh->nlmsg_type == RTM_DELADDR) {
        // The state keeps the old address: a later NEWADDR reports the next.
        KD_LOG(KD_LOG_INFO, "[%s] Deleted address is %s\n", me(), text);
        return;
    }
    char name[IFNAMSIZ + 8];
    kd_system_get_if_name(name, sizeof name, static_cast<int>(ifa->ifa_index));
    device_state *d = find_device(name);
    if (!d || ifa->ifa_family != AF_INET || !*text || std::strcmp(d->address_state, text) == 0)
        return;
    copy_text(d->address_state, sizeof d->address_state, text);
    system_address_change_data data{};
    copy_text(data.device_name, sizeof data.device_name, name);
    copy_text(data.address, sizeof data.address, text);
    kd_cuvent_emit(nullptr, "system_address_change", &data);
}

int on_nl_message(const nlmsghdr *nlh, void *) noexcept
{
    try {
        KD_LOG(KD_LOG_INFO, "[%s] Type %d\n", me(), nlh->nlmsg_type);
        switch (nlh->nlmsg_type) {
        case RTM_NEWLINK:
        case RTM_DELLINK:
            if (mnl_nlmsg_get_payload_len(nlh) >= sizeof(ifinfomsg))
                handle_link(nlh);
            break;
        case RTM_NEWADDR:
        case RTM_DELADDR:
            if (mnl_nlmsg_get_payload_len(nlh) >= sizeof(ifaddrmsg))
                handle_addr(nlh);
            break;
        case RTM_NEWROUTE:
        case RTM_DELROUTE:
            if (mnl_nlmsg_get_payload_len(nlh) >= sizeof(rtmsg)) {
                const auto *rt = static_cast<const rtmsg *>(mnl_nlmsg_get_payload(nlh));
                KD_LOG(KD_LOG_INFO, "[%s] [system] family %d %s\n", me(), rt->rtm_family,
                       nlh->nlmsg_type == RTM_NEWROUTE ? "NEWROUTE detected" : "DELROUTE detected");
            }
            break;
        default:
            break;
        }
    } catch (...) {
    }
    return MNL_CB_OK;
}

void on_netlink(void *) noexcept
{
    if (!g_nl)
        return;
    const long page = sysconf(_SC_PAGESIZE);
    std::vector<char> buf(static_cast<size_t>(page > 0 && page < 8192 ? page : 8192));
    const ssize_t n = mnl_socket_recvfrom(g_nl, buf.data(), buf.size());
    if (n <= 0)
        return;
    // Dumps and notifications share the socket: no sequence or port check.
    mnl_cb_run(buf.data(), static_cast<size_t>(n), 0, 0, on_nl_message, nullptr);
}

// ---- system bus ----

void on_sdbus(void *) noexcept;

void bus_release()
{
    if (g_bus) {
        sd_bus_flush(g_bus);
        sd_bus_close(g_bus);
        g_bus = sd_bus_unref(g_bus);
    }
    g_system_bus_running = 0;
}

// Off the card only the bus that DBUS_SYSTEM_BUS_ADDRESS names is opened,
// by its address, so that sd-bus is never asked for this machine's own.
int bus_connect(sd_bus **bus)
{
    const std::optional<std::string> address = kd::system_bus_address();
    if (!address)
        return -ENOMEDIUM;
    if (address->empty())
        return sd_bus_open_system(bus);
    int r = sd_bus_new(bus);
    if (r < 0)
        return r;
    if ((r = sd_bus_set_address(*bus, address->c_str())) < 0 || (r = sd_bus_set_bus_client(*bus, 1)) < 0 ||
        (r = sd_bus_start(*bus)) < 0)
        return r;
    return 0;
}

bool bus_open(bool quiet = false)
{
    sd_bus *bus = nullptr;
    const int r = bus_connect(&bus);
    if (r < 0) {
        if (!quiet)
            KD_LOG(KD_LOG_ERR, "[%s] [system] Failed to open system bus %s\n", me(), std::strerror(-r));
        sd_bus_unref(bus);
        return false;
    }
    g_bus = bus;
    return true;
}

void on_bus_message(sd_bus_message *m)
{
    const char *path = sd_bus_message_get_path(m);
    if (path && std::strcmp(path, "/org/freedesktop/DBus") == 0) {
        KD_LOG(KD_LOG_NOTICE, "[%s] [system] bus running!\n", me());
        g_system_bus_running = 1;
        if (kd_carrier_frame_is_master())
            if (param_context *tz = frame_get_tz_param())
                kd_param_set_readwrite(tz, PARAMCTRL_RDWR_NOPERSIST);
    }
    const char *sender = sd_bus_message_get_sender(m);
    KD_LOG(KD_LOG_INFO, "[%s] [system] path: %s, sender: %s, open? %d, bus fd? %d\n", me(),
           path ? path : "(null)", sender ? sender : "(null)", g_bus ? sd_bus_is_open(g_bus) : 0,
           g_bus ? sd_bus_get_fd(g_bus) : -1);
}

bool g_retrying = false; /* loop thread only */

// Opens the bus and watches it; what is already buffered is processed.
bool bus_attach(bool quiet)
{
    if (!bus_open(quiet))
        return false;
    kd_frame_start_custom_watcher("sdbus", sd_bus_get_fd(g_bus), on_sdbus, nullptr, nullptr);
    on_sdbus(nullptr);
    return true;
}

void on_bus_retry(void *) noexcept
{
    if (g_bus || bus_attach(true)) {
        kd_frame_stop_watcher("sdbus-retry", nullptr);
        g_retrying = false;
    }
}

// Reconnection: opened again at once; while the daemon is away, retried
// every second so that the connection comes back when it does.
void bus_reconnect()
{
    kd_frame_stop_watcher("sdbus", nullptr);
    bus_release();
    if (bus_attach(false) || g_retrying)
        return;
    g_retrying = true;
    kd_frame_timeout_register("sdbus-retry", on_bus_retry, nullptr, 1.0, 1, nullptr);
}

void on_sdbus(void *) noexcept
{
    while (g_bus) {
        sd_bus_message *m = nullptr;
        const int r = sd_bus_process(g_bus, &m);
        if (m) {
            on_bus_message(m);
            sd_bus_message_unref(m);
        }
        if (r == -ECONNRESET || r == -ENOTCONN || (r >= 0 && !sd_bus_is_open(g_bus))) {
            KD_LOG(KD_LOG_NOTICE, "[%s] [system] Restarting sdbus\n", me());
            bus_reconnect();
            return;
        }
        if (r < 0) {
            KD_LOG(KD_LOG_ERR, "[%s] [system] Error processing: %s\n", me(), std::strerror(-r));
            return;
        }
        if (r == 0)
            return;
    }
}

// Start-up: the bus is kept once it has processed something. The wait is
// bounded so that a daemon that never answers cannot hold up start-up.
void bus_start()
{
    if (!kd::system_bus_address()) {
        KD_LOG(KD_LOG_NOTICE, "[%s] [system] Not on the card: no system bus (DBUS_SYSTEM_BUS_ADDRESS is not set)\n",
               me());
        return;
    }
    if (!bus_open())
        return;
    for (int attempt = 0; attempt < 2000; ++attempt) {
        sd_bus_wait(g_bus, 1000);
        sd_bus_message *m = nullptr;
        const int r = sd_bus_process(g_bus, &m);
        if (m) {
            on_bus_message(m);
            sd_bus_message_unref(m);
        }
        if (r < 0) {
            KD_LOG(KD_LOG_ERR, "[%s] [system] Failed to process system bus %s\n", me(), std::strerror(-r));
            bus_release();
            return;
        }
        if (r > 0) {
            kd_frame_start_custom_watcher("sdbus", sd_bus_get_fd(g_bus), on_sdbus, nullptr, nullptr);
            on_sdbus(nullptr); // what is already buffered
            return;
        }
        KD_LOG(KD_LOG_NOTICE, "[%s] [system] Waiting for sdbus startup\n", me());
    }
    KD_LOG(KD_LOG_ERR, "[%s] [system] Failed to process system bus %s\n", me(), std::strerror(ETIMEDOUT));
    bus_release();
}

bool bus_error(sd_bus_message *m, const char *fmt)
{
    const sd_bus_error *e = sd_bus_message_get_error(m);
    if (!e)
        return false;
    KD_LOG(KD_LOG_ERR, fmt, me(), e->message ? e->message : e->name);
    return true;
}

int on_hostname_reply(sd_bus_message *m, void *, sd_bus_error *) noexcept
{
    bus_error(m, "[%s] [system] Set Hostname Error: %s\n");
    return 0;
}

int on_timezone_set_reply(sd_bus_message *m, void *, sd_bus_error *) noexcept
{
    bus_error(m, "[%s] [system] Set Timezone Error: %s\n");
    return 0;
}

int on_ntp_reply(sd_bus_message *m, void *, sd_bus_error *) noexcept
{
    if (bus_error(m, "[%s] [system] Get NTPSynchronized Error: %s\n"))
        return 0;
    int r = sd_bus_message_enter_container(m, 'v', "b");
    if (r < 0) {
        KD_LOG(KD_LOG_ERR, "[%s] [system] Get NTPSynchronized Error container: %s\n", me(), std::strerror(-r));
        return 0;
    }
    int value = 0;
    r = sd_bus_message_read_basic(m, 'b', &value);
    if (r < 0) {
        KD_LOG(KD_LOG_ERR, "[%s] [system] Get NTPSynchronized Error reading: %s\n", me(), std::strerror(-r));
        return 0;
    }
    g_cfg_ntpsynchronized = value != 0;
    return 0;
}

int on_timezone_reply(sd_bus_message *m, void *, sd_bus_error *) noexcept
{
    if (bus_error(m, "[%s] [system] Get Timezone Error: %s\n"))
        return 0;
    int r = sd_bus_message_enter_container(m, 'v', "s");
    if (r < 0) {
        KD_LOG(KD_LOG_ERR, "[%s] [system] Get Timezone Error container: %s\n", me(), std::strerror(-r));
        return 0;
    }
    const char *zone = nullptr;
    r = sd_bus_message_read_basic(m, 's', &zone);
    if (r < 0 || !zone) {
        KD_LOG(KD_LOG_ERR, "[%s] [system] Get Timezone Error reading: %s\n", me(), std::strerror(r < 0 ? -r : EINVAL));
        return 0;
    }
    std::snprintf(g_cfg_tzname, sizeof g_cfg_tzname, "%.63s", zone);
    return 0;
}

int get_property(const char *name, sd_bus_message_handler_t cb, const char *fail_fmt)
{
    if (!g_system_bus_running || !g_bus)
        return -1;
    const int r = sd_bus_call_method_async(g_bus, nullptr, "org.freedesktop.timedate1", "/org/freedesktop/timedate1",
                                           "org.freedesktop.DBus.Properties", "Get", cb, nullptr, "ss",
                                           "org.freedesktop.timedate1", name);
    if (r < 0)
        KD_LOG(KD_LOG_ERR, fail_fmt, me(), std::strerror(-r));
    return r;
}

} // namespace

namespace kd::sys {
bool bus_running() { return g_system_bus_running != 0; }
const char *tzname() { return g_cfg_tzname; }
void set_tzname(const char *zone) { std::snprintf(g_cfg_tzname, sizeof g_cfg_tzname, "%.63s", zone ? zone : ""); }
bool ntp_synchronized() { return g_cfg_ntpsynchronized; }
} // namespace kd::sys

extern "C" {

KD_API int kd_system_init(void)
{
    KD_LOG(KD_LOG_NOTICE, "[%s] [system] Initializing\n", me());
    reset_devices();
    kd_alarm_register("NTP sync loss", "Triggers when NTP sync is lost. Clears when sync recovered.");
    g_nl = mnl_socket_open(NETLINK_ROUTE);
    if (!g_nl) {
        KD_LOG(KD_LOG_ERR, "[%s] [system] mnl socket open error %s\n", me(), std::strerror(errno));
        return -1;
    }
    if (mnl_socket_bind(g_nl, RTMGRP_LINK | RTMGRP_IPV4_IFADDR | RTMGRP_IPV4_ROUTE, MNL_SOCKET_AUTOPID) < 0) {
        KD_LOG(KD_LOG_ERR, "[%s] [system] mnl socket bind error %s\n", me(), std::strerror(errno));
        mnl_socket_close(g_nl);
        g_nl = nullptr;
        return -1;
    }
    kd_system_request_link_dump(g_nl);
    kd_frame_start_custom_watcher("netlink", mnl_socket_get_fd(g_nl), on_netlink, nullptr, nullptr);
    bus_start();
    return 0;
}

KD_API void kd_system_fini(void)
{
    kd_frame_stop_watcher("netlink", nullptr);
    kd_frame_stop_watcher("sdbus", nullptr);
    kd_frame_stop_watcher("sdbus-retry", nullptr);
    g_retrying = false;
    if (g_nl) {
        mnl_socket_close(g_nl);
        g_nl = nullptr;
    }
    bus_release();
}

KD_API int kd_system_request_link_dump(struct mnl_socket *sock) { return send_dump(sock, RTM_GETLINK, AF_PACKET); }
KD_API int kd_system_request_addr_dump(struct mnl_socket *sock) { return send_dump(sock, RTM_GETADDR, AF_INET); }

KD_API int kd_system_link_is_up(const char *ifname)
{
    const device_state *d = ifname ? find_device(ifname) : nullptr;
    return d ? static_cast<int>(d->link_state) : -1;
}

KD_API char *kd_system_get_if_name(char *buf, size_t len, int if_index)
{
    if (!buf || len == 0)
        return buf;
    std::snprintf(buf, len, "%s", "unknown");
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return buf;
    ifreq ifr{};
    ifr.ifr_ifindex = if_index;
    if (ioctl(fd, SIOCGIFNAME, &ifr) == 0)
        std::snprintf(buf, len, "%.*s", IFNAMSIZ, ifr.ifr_name);
    close(fd);
    return buf;
}

KD_API char *kd_system_get_mac_address(char *buf, size_t len, const char *device)
{
    if (!buf || len == 0)
        return buf;
    std::snprintf(buf, len, "%s", "00:00:00:00:00:00");
    if (!device || std::strlen(device) >= IFNAMSIZ)
        return buf;
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return buf;
    ifreq ifr{};
    std::memcpy(ifr.ifr_name, device, std::strlen(device));
    if (ioctl(fd, SIOCGIFHWADDR, &ifr) == 0) {
        const auto *h = reinterpret_cast<const unsigned char *>(ifr.ifr_hwaddr.sa_data);
        std::snprintf(buf, len, "%02X:%02X:%02X:%02X:%02X:%02X", h[0], h[1], h[2], h[3], h[4], h[5]);
    }
    close(fd);
    return buf;
}

static ifaddrs *find_ifaddr(const char *device, ifaddrs *list, int family)
{
    for (ifaddrs *i = list; device && i; i = i->ifa_next) {
        if (!i->ifa_name || !i->ifa_addr || i->ifa_addr->sa_family != family || std::strcmp(i->ifa_name, device))
            continue;
        if (family == AF_PACKET && !i->ifa_data)
            continue;
        return i;
    }
    return nullptr;
}

KD_API struct ifaddrs *kd_system_ifaddr_get_packet(const char *device, struct ifaddrs *list)
{
    return find_ifaddr(device, list, AF_PACKET);
}
KD_API struct ifaddrs *kd_system_ifaddr_get_ip4(const char *device, struct ifaddrs *list)
{
    return find_ifaddr(device, list, AF_INET);
}
KD_API struct ifaddrs *kd_system_ifaddr_get_ip6(const char *device, struct ifaddrs *list)
{
    return find_ifaddr(device, list, AF_INET6);
}

KD_API int kd_system_get_packet_stats(struct rtnl_link_stats *stats, const char *device, struct ifaddrs *list)
{
    const ifaddrs *i = kd_system_ifaddr_get_packet(device, list);
    if (!i || !stats)
        return -1;
    std::memcpy(stats, i->ifa_data, sizeof *stats);
    return 0;
}

KD_API int kd_system_address_is_valid(const char *ifname) { return cfg_ethernet_address_is_valid(ifname); }
KD_API const char *kd_system_get_intf_ip_address(const char *ifname) { return cfg_ethernet_get_address(ifname); }

KD_API int kd_system_send_hostname(const char *hostname)
{
    if (!g_system_bus_running || !g_bus || !hostname)
        return -1;
    const int r = sd_bus_call_method_async(g_bus, nullptr, "org.freedesktop.hostname1", "/org/freedesktop/hostname1",
                                           "org.freedesktop.hostname1", "SetStaticHostname", on_hostname_reply,
                                           nullptr, "sb", hostname, 1);
    if (r < 0)
        KD_LOG(KD_LOG_ERR, "[%s] [system] Failed to call SetStaticHostname %s\n", me(), std::strerror(-r));
    return r;
}

KD_API int kd_system_send_timezone(const char *timezone)
{
    if (!g_system_bus_running || !g_bus || !timezone)
        return -1;
    const int r = sd_bus_call_method_async(g_bus, nullptr, "org.freedesktop.timedate1", "/org/freedesktop/timedate1",
                                           "org.freedesktop.timedate1", "SetTimezone", on_timezone_set_reply, nullptr,
                                           "sb", timezone, 1);
    if (r < 0)
        KD_LOG(KD_LOG_ERR, "[%s] [system] Failed to call SetTimezone %s\n", me(), std::strerror(-r));
    return r;
}

KD_API int kd_system_request_timezone(void)
{
    return get_property("Timezone", on_timezone_reply, "[%s] [system] Failed to call Get Timezone %s\n");
}

KD_API void kd_system_request_ntp_synchronized(void)
{
    get_property("NTPSynchronized", on_ntp_reply, "[%s] [system] Failed to call Get NTPSynchronized %s\n");
}

} // extern "C"

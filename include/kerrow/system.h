/* System control: the framework's layer over the card's operating system
 * (link and address state from route netlink, host name and time over the
 * system bus, network and time configuration through system programs), the
 * chassis number and the FIPS 140-3 mode switch.
 *
 * Everything here runs on the framework's loop thread. Calls answer 0 on
 * success and -1 on failure unless said otherwise. */
#ifndef KERROW_SYSTEM_H
#define KERROW_SYSTEM_H

#include <stddef.h>
#include <kerrow/cuvent.h>
#include <kerrow/types.h>

KD_BEGIN_DECLS

struct ifaddrs;
struct rtnl_link_stats;
struct mnl_socket;

/* Payload of "system_link_change"; lives on the emitter's stack. */
typedef struct system_link_change_data {
    char device_name[20]; /* "unknown" when the message carries no name */
    int up;               /* 0, or the kernel's running flag 0x40 */
} system_link_change_data;

/* Payload of "system_address_change"; lives on the emitter's stack. */
typedef struct system_address_change_data {
    char device_name[20];
    char address[20]; /* dotted IPv4 text */
} system_address_change_data;

/* Payload of "register_proxy_cuvent": asks the proxy plug-in to relay the
 * event `name` with the first `len` bytes of its payload to the other cards. */
typedef struct proxy_cuvent_info {
    char name[CUVENT_NAME_SIZE];
    size_t len;
} proxy_cuvent_info;

/* 0 off, 1 on: written by the "FIPS 140-3 Mode" parameter. */
KD_API extern int fips_mode;

/* ---- start and stop (called by kd_frame_init and kd_frame_fini) ---- */
KD_API int kd_system_init(void);
KD_API void kd_system_fini(void);

/* ---- queries ---- */
/* The running flag of "eth0", "eth1" or "eth2"; -1 for any other name. */
KD_API int kd_system_link_is_up(const char *ifname);
/* Write "unknown", then the kernel's name for the index; return buf. */
KD_API char *kd_system_get_if_name(char *buf, size_t len, int if_index);
/* Write "00:00:00:00:00:00", then the interface's hardware address. */
KD_API char *kd_system_get_mac_address(char *buf, size_t len, const char *device);
/* Copy the link statistics of the device's link-level entry of the list. */
KD_API int kd_system_get_packet_stats(struct rtnl_link_stats *stats, const char *device,
                                      struct ifaddrs *ifaddrs_list);
/* The first entry of the list with that name and family, or null. */
KD_API struct ifaddrs *kd_system_ifaddr_get_packet(const char *device, struct ifaddrs *ifaddrs_list);
KD_API struct ifaddrs *kd_system_ifaddr_get_ip4(const char *device, struct ifaddrs *ifaddrs_list);
KD_API struct ifaddrs *kd_system_ifaddr_get_ip6(const char *device, struct ifaddrs *ifaddrs_list);
/* 1 when the device's systemd-networkd unit asks for DHCPv4, else 0. */
KD_API int kd_system_device_is_dynamic(const char *device);
/* Write "0.0.0.0", then the default gateway; return buf. */
KD_API char *kd_system_get_gateway(char *buf, size_t len);
/* Write "0.0.0.0", then the first NTP= server of timesyncd's file. */
KD_API char *kd_system_get_ntp_server(char *buf, size_t len);
/* Answered from the "Ethernet Interfaces" rows of the "frame" tree. */
KD_API int kd_system_address_is_valid(const char *ifname);
KD_API const char *kd_system_get_intf_ip_address(const char *ifname);

/* ---- changes ---- */
KD_API int kd_system_ifaddr_add_ip4(const char *device, const char *addr, const char *mask);
KD_API int kd_system_ifaddr_del_ip4(const char *device, const char *addr, const char *mask);
/* Rewrite Address= of the device's unit file (addr_cur, mask_cur unused). */
KD_API int kd_system_update_network_cfg(const char *device, const char *addr_cur,
                                        const char *mask_cur, const char *addr_next,
                                        const char *mask_next);
KD_API int kd_system_update_network_cfg_dynamic(const char *device, int dynamic);
KD_API int kd_system_set_gateway(const char *gw);
KD_API int kd_system_set_ntp_server(const char *server);
KD_API void kd_system_restart_networkd(void);
KD_API int kd_system_set_service_mode(int enable, const char *unit);
/* Asynchronous system-bus calls: -1 while the bus is not running. */
KD_API int kd_system_send_hostname(const char *hostname);
KD_API int kd_system_send_timezone(const char *timezone);
KD_API int kd_system_request_timezone(void);
KD_API void kd_system_request_ntp_synchronized(void);
KD_API int kd_system_request_link_dump(struct mnl_socket *sock);
KD_API int kd_system_request_addr_dump(struct mnl_socket *sock);

/* ---- chassis number ---- */
KD_API int kd_frame_get_chassis_num(void);
/* Only the "proxy" plug-in may set it; -1 for any other owner. */
KD_API int kd_frame_set_chassis_num(plugin_load_info *owner, int num);

KD_END_DECLS

#endif

// Network and time configuration through system programs (ip, sed, route,
// systemctl) and the systemd-networkd and systemd-timesyncd files.
//
// Every text that reaches an argument vector or a sed expression is checked
// first: addresses with inet_pton, masks for contiguous bits, device names
// against a short character set. Nothing runs through a shell.
#include <kerrow/command.h>
#include <kerrow/frame.h>
#include <kerrow/log.h>
#include <kerrow/path.h>
#include <kerrow/system.h>

#include "../frame_internal.h"
#include "system_internal.h"

#include <arpa/inet.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>

namespace {

const char *me() { return kd_frame_plugin_get_name(nullptr); }

std::string unit_file(std::string_view device)
{
    return kd::rooted("/etc/systemd/network/" + std::string(device) + ".network");
}

// Logs a failed program with its kd_errno text and exit status.
void log_failure(const char *fmt_prefix, int status)
{
    KD_LOG(KD_LOG_ERR, "[%s] %s %s (%d)\n", me(), fmt_prefix, kd_frame_strerror(kd_errno), status);
}

int run_logged(const std::vector<std::string> &argv, const char *what)
{
    int status = 0;
    if (kd::sys::spawn_helper(argv, &status) == 0)
        return 0;
    log_failure(what, status);
    return -1;
}

// Calls fn with each line of a rooted file (cut to 255 characters) until
// it answers true.
template <typename Fn> void for_each_line(const char *path, Fn fn)
{
    std::ifstream in(kd::rooted(path));
    for (std::string line; std::getline(in, line);) {
        if (line.size() > 255)
            line.resize(255);
        if (fn(line))
            return;
    }
}

int address_op(const char *op, const char *device, const char *addr, const char *mask)
{
    if (!device || !kd::sys::device_name_valid(device)) {
        KD_LOG(KD_LOG_ERR, "[%s] system: invalid device %s\n", me(), device ? device : "(null)");
        return -1;
    }
    if (!addr || !kd::sys::ipv4_valid(addr)) {
        KD_LOG(KD_LOG_ERR, "[%s] system: invalid address %s\n", me(), addr ? addr : "(null)");
        return -1;
    }
    const int bits = kd::sys::count_mask_bits(mask ? mask : "");
    if (bits < 0) {
        KD_LOG(KD_LOG_ERR, "[%s] [system] address mask invalid %s\n", me(), mask ? mask : "(null)");
        return -1;
    }
    KD_LOG(KD_LOG_NOTICE, "[%s] [system] %s %s\n", me(), device, addr);
    const std::string cidr = std::string(addr) + "/" + std::to_string(bits);
    return run_logged({"/sbin/ip", "address", op, cidr, "dev", device}, "[system] address change error");
}

// A systemd unit name (systemd.unit(5)): letters, digits and ":-_.\@",
// and never taken for an option.
bool unit_name_valid(std::string_view unit)
{
    if (unit.empty() || unit.size() > 255 || unit.front() == '-')
        return false;
    for (char c : unit)
        if (!std::isalnum(static_cast<unsigned char>(c)) && (c == 0 || !std::strchr(":-_.\\@", c)))
            return false;
    return true;
}

} // namespace

namespace kd::sys {

int spawn_helper(const std::vector<std::string> &argv, int *status, const std::vector<std::string> &env)
{
    // Off the card the runner itself refuses anything but a stand-in.
    kd::command_end end = kd::command_end::not_started;
    const int rc = kd::run_command(argv, {.quiet = true, .env = env, .end = &end});
    if (rc < 0) {
        kd_errno = end == kd::command_end::wait_failed ? KD_ERR_SPAWN_WAIT
                   : end == kd::command_end::signalled ? KD_ERR_SPAWN_NO_EXIT
                                                       : KD_ERR_SPAWN;
        return -1;
    }
    if (status)
        *status = rc;
    if (rc != 0) {
        kd_errno = KD_ERR_SPAWN_STATUS;
        return -1;
    }
    return 0;
}

int reboot_machine()
{
    kd::command_end end = kd::command_end::not_started;
    const int rc = kd::run_command({"reboot"}, {.quiet = true, .end = &end});
    if (rc == 0)
        return 0;
    if (end == kd::command_end::exited)
        KD_LOG(KD_LOG_ERR, "[%s] Reboot failed: exit status %d\n", me(), rc);
    else
        KD_LOG(KD_LOG_ERR, "[%s] Reboot failed: reboot did not run\n", me());
    return -1;
}

bool ipv4_valid(std::string_view text)
{
    if (text.empty() || text.size() > 15)
        return false;
    const std::string s(text);
    in_addr a{};
    return inet_pton(AF_INET, s.c_str(), &a) == 1;
}

int count_mask_bits(std::string_view mask)
{
    if (!ipv4_valid(mask))
        return -1;
    const std::string s(mask);
    in_addr a{};
    inet_pton(AF_INET, s.c_str(), &a);
    const uint32_t m = ntohl(a.s_addr);
    // A netmask is a run of ones from the top; anything else is refused.
    if (m & (~m >> 1))
        return -1;
    return __builtin_popcount(m);
}

bool device_name_valid(std::string_view name)
{
    if (name.empty() || name.size() > 15)
        return false;
    for (char c : name)
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '_' && c != '-' && c != '.')
            return false;
    return name != "." && name != "..";
}

} // namespace kd::sys

extern "C" {

KD_API int kd_system_ifaddr_add_ip4(const char *device, const char *addr, const char *mask)
{
    return address_op("add", device, addr, mask);
}

KD_API int kd_system_ifaddr_del_ip4(const char *device, const char *addr, const char *mask)
{
    return address_op("del", device, addr, mask);
}

KD_API int kd_system_update_network_cfg(const char *device, const char *, const char *,
                                        const char *addr_next, const char *mask_next)
{
    if (!device || !kd::sys::device_name_valid(device) || !addr_next || !kd::sys::ipv4_valid(addr_next)) {
        KD_LOG(KD_LOG_ERR, "[%s] system: invalid address %s\n", me(), addr_next ? addr_next : "(null)");
        return -1;
    }
    const int bits = kd::sys::count_mask_bits(mask_next ? mask_next : "");
    if (bits < 0) {
        KD_LOG(KD_LOG_ERR, "[%s] [system] address mask invalid %s\n", me(), mask_next ? mask_next : "(null)");
        return -1;
    }
    const std::string expr = "s/Address=.*/Address=" + std::string(addr_next) + "\\/" + std::to_string(bits) + "/";
    const std::string file = unit_file(device);
    KD_LOG(KD_LOG_NOTICE, "[%s] [system] %s %s\n", me(), expr.c_str(), file.c_str());
    if (run_logged({"/bin/sed", "-i", expr, file}, "[system] cfg address change error") != 0)
        return -1;
    kd::network_restart_needed = 2;
    return 0;
}

KD_API int kd_system_update_network_cfg_dynamic(const char *device, int dynamic)
{
    if (!device || !kd::sys::device_name_valid(device)) {
        KD_LOG(KD_LOG_ERR, "[%s] system: invalid device %s\n", me(), device ? device : "(null)");
        return -1;
    }
    // DHCP comments the static Address= and Gateway= lines out; static
    // addressing takes them back.
    const char *from = dynamic ? "no" : "v4", *to = dynamic ? "v4" : "no";
    const char *c_from = dynamic ? "" : "#", *c_to = dynamic ? "#" : "";
    const std::string e1 = std::string("-e s/DHCP=") + from + "/DHCP=" + to + "/";
    const std::string e2 = std::string("-e s/^") + c_from + "Address=/" + c_to + "Address=/";
    const std::string e3 = std::string("-e s/^") + c_from + "Gateway=/" + c_to + "Gateway=/";
    const std::string file = unit_file(device);
    KD_LOG(KD_LOG_NOTICE, "[%s] [system] %s %s %s %s\n", me(), e1.c_str(), e2.c_str(), e3.c_str(), file.c_str());
    if (run_logged({"/bin/sed", "-i", e1, e2, e3, file}, "[system] cfg dynamic change error") != 0)
        return -1;
    kd::network_restart_needed = 2;
    return 0;
}

KD_API void kd_system_restart_networkd(void)
{
    if (run_logged({"/bin/systemctl", "daemon-reload"}, "[system] systemctlreload error") != 0)
        return;
    run_logged({"/bin/systemctl", "restart", "systemd-networkd"}, "[system] networkd restart error");
}

KD_API int kd_system_set_service_mode(int enable, const char *unit)
{
    if (!unit || !unit_name_valid(unit)) {
        KD_LOG(KD_LOG_ERR, "[%s] [system] invalid unit %s\n", me(), unit ? unit : "(null)");
        return -1;
    }
    int status = 0;
    if (enable) {
        if (kd::sys::spawn_helper({"/bin/systemctl", "enable", "--now", unit}, &status) != 0) {
            KD_LOG(KD_LOG_ERR, "[%s] [system] systemctl enable %s error %s (%d)\n", me(), unit,
                   kd_frame_strerror(kd_errno), status);
            return -1;
        }
        return 0;
    }
    if (kd::sys::spawn_helper({"/bin/systemctl", "stop", unit}, &status) != 0) {
        KD_LOG(KD_LOG_ERR, "[%s] [system] systemctl stop %s error %s (%d)\n", me(), unit,
               kd_frame_strerror(kd_errno), status);
        return -1;
    }
    if (kd::sys::spawn_helper({"/bin/systemctl", "disable", unit}, &status) != 0) {
        KD_LOG(KD_LOG_ERR, "[%s] [system] systemctl disable %s error %s (%d)\n", me(), unit,
               kd_frame_strerror(kd_errno), status);
        return -1;
    }
    return 0;
}

KD_API char *kd_system_get_gateway(char *buf, size_t len)
{
    if (!buf || len == 0)
        return buf;
    std::snprintf(buf, len, "%s", "0.0.0.0");
    for_each_line("/proc/net/route", [&](const std::string &line) {
        char ifname[64];
        unsigned dest = 0, gw = 0, flags = 0;
        if (std::sscanf(line.c_str(), "%63s %x %x %x", ifname, &dest, &gw, &flags) != 4)
            return false;
        if (dest != 0 || gw == 0 || !(flags & 2u))
            return false;
        // The kernel prints the address word as it lies in memory, i.e.
        // already in network byte order.
        in_addr a{};
        a.s_addr = gw;
        char text[INET_ADDRSTRLEN];
        if (inet_ntop(AF_INET, &a, text, sizeof text))
            std::snprintf(buf, len, "%s", text);
        return true;
    });
    return buf;
}

KD_API int kd_system_set_gateway(const char *gw)
{
    if (!gw || !kd::sys::ipv4_valid(gw)) {
        KD_LOG(KD_LOG_ERR, "[%s] [system] invalid address %s\n\n", me(), gw ? gw : "(null)");
        return -1;
    }
    char old[16];
    kd_system_get_gateway(old, sizeof old);
    const bool had_old = std::strcmp(old, "0.0.0.0") != 0;
    int status = 0;
    if (had_old && kd::sys::spawn_helper({"/sbin/route", "delete", "default", "gw", old, "eth0"}, &status) != 0) {
        KD_LOG(KD_LOG_ERR, "[%s] [%s] Failed to delete the default gateway.\n", me(), __func__);
        return -1;
    }
    if (kd::sys::spawn_helper({"/sbin/route", "add", "default", "gw", gw, "eth0"}, &status) != 0) {
        KD_LOG(KD_LOG_ERR, "[%s] system: Failed to add the default gateway.\n", me());
        if (had_old)
            kd::sys::spawn_helper({"/sbin/route", "add", "default", "gw", old, "eth0"}, &status);
        return -1;
    }
    const std::string expr = "s/Gateway=.*/Gateway=" + std::string(gw) + "/";
    return run_logged({"/bin/sed", "-i", expr, unit_file("eth0")}, "Gateway address change error");
}

KD_API char *kd_system_get_ntp_server(char *buf, size_t len)
{
    if (!buf || len == 0)
        return buf;
    std::snprintf(buf, len, "%s", "0.0.0.0");
    for_each_line("/etc/systemd/timesyncd.conf", [&](const std::string &line) {
        std::string_view v(line);
        while (!v.empty() && (v.front() == ' ' || v.front() == '\t'))
            v.remove_prefix(1);
        if (!v.starts_with("NTP="))
            return false;
        v.remove_prefix(4);
        v = v.substr(0, v.find_first_of(" \r\n"));
        if (v.empty())
            return false;
        std::snprintf(buf, len, "%.*s", static_cast<int>(v.size()), v.data());
        return true;
    });
    return buf;
}

KD_API int kd_system_set_ntp_server(const char *server)
{
    if (!server || !kd::sys::ipv4_valid(server)) {
        KD_LOG(KD_LOG_ERR, "[%s] NTP Server address invalid %s\n", me(), server ? server : "(null)");
        return -1;
    }
    // Only an active NTP= line is replaced; a commented one stays.
    const std::string expr = "s/^NTP=.*/NTP=" + std::string(server) + "/";
    if (run_logged({"/bin/sed", "-i", expr, kd::rooted("/etc/systemd/timesyncd.conf")},
                   "NTP Server address change error") != 0)
        return -1;
    return run_logged({"/bin/systemctl", "restart", "systemd-timesyncd.service"}, "NTP Server restart error");
}

KD_API int kd_system_device_is_dynamic(const char *device)
{
    int result = 0;
    if (device && kd::sys::device_name_valid(device)) {
        char head[129] = {};
        if (FILE *f = std::fopen(unit_file(device).c_str(), "r")) {
            const size_t n = std::fread(head, 1, 128, f);
            std::fclose(f);
            head[n] = '\0';
            // Only lines after the first count (the first is a section header).
            for (const char *nl = std::strchr(head, '\n'); nl; nl = std::strchr(nl + 1, '\n'))
                if (std::strncmp(nl + 1, "DHCP=v4", 7) == 0) {
                    result = 1;
                    break;
                }
        }
    }
    KD_LOG(KD_LOG_INFO, "[%s] [system] %s %d\n", me(), device ? device : "(null)", result);
    return result;
}

} // extern "C"

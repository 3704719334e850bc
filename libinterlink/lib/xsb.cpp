// XSB packet I/O and addressing: one raw packet socket per ethertype, the
// XSB address <-> MAC conversion and small frame helpers.
#include "xsb_internal.h"

#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include <arpa/inet.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

static_assert(sizeof(xsb_pkt) == XSB_PKT_LEN, "xsb_pkt is one Ethernet frame");

extern "C" {
int xsb_print = 0;
const int hw_enum_to_slot_num[8] = {5, 6, 7, 8, 4, 3, 2, 1};
const int slot_num_to_hw_enum[8] = {7, 6, 5, 4, 0, 1, 2, 3};
}

namespace xsb {

namespace {
void vprint(FILE *f, const char *fmt, va_list ap)
{
    std::vfprintf(f, fmt, ap);
    std::fflush(f);
}

// Every XSB MAC begins 00:90:1F:00.
constexpr uint8_t mac_prefix[4] = {0x00, 0x90, 0x1F, 0x00};

// Interface names are cut to fit the kernel's buffer, always terminated.
void copy_ifname(char (&dst)[IFNAMSIZ], const char *name)
{
    const size_t n = strnlen(name, IFNAMSIZ - 1);
    std::memcpy(dst, name, n);
    dst[n] = '\0';
}

int hexval(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// Sets IFF_PROMISC on the interface; the flag is left set on purpose: other
// sockets of the process rely on it while they live.
int set_promiscuous(const printer &log, int fd, const char *ifname)
{
    if (fd < 0 || !ifname) {
        std::printf("%s: Error, invalid fd=%d or ifc name=%s\n", "_set_promiscuous", fd,
                    ifname ? ifname : "(null)");
        return -1;
    }
    ifreq ifr{};
    copy_ifname(ifr.ifr_name, ifname);
    if (ioctl(fd, SIOCGIFFLAGS, &ifr) < 0) {
        log.err("%s: get Rx socket flags failed, %s\n", "_set_promiscuous", std::strerror(errno));
        return -1;
    }
    ifr.ifr_flags |= IFF_PROMISC;
    if (ioctl(fd, SIOCSIFFLAGS, &ifr) < 0) {
        log.err("%s: failed setting Rx socket flags, %s\n", "_set_promiscuous",
                std::strerror(errno));
        return -1;
    }
    return 0;
}
} // namespace

void printer::out(const char *fmt, ...) const
{
    if (!on)
        return;
    va_list ap;
    va_start(ap, fmt);
    vprint(stdout, fmt, ap);
    va_end(ap);
}

void printer::err(const char *fmt, ...) const
{
    if (!on)
        return;
    va_list ap;
    va_start(ap, fmt);
    vprint(stderr, fmt, ap);
    va_end(ap);
}

printer global_printer()
{
    return printer{std::atomic_ref<int>(xsb_print).load(std::memory_order_relaxed) != 0};
}

} // namespace xsb

using xsb::global_printer;

extern "C" {

XSB_API unsigned xsb_print_logs(unsigned enable) noexcept
{
    std::atomic_ref<int>(xsb_print).store(int(enable), std::memory_order_relaxed);
    return enable;
}

XSB_API xsb_sock *xsb_open(const char *ethdev, int proto) noexcept
{
    auto *s = static_cast<xsb_sock *>(std::calloc(1, sizeof(xsb_sock)));
    if (!s)
        return nullptr;
    const xsb::printer log = global_printer();
    s->ethdev = ethdev;
    s->proto = proto;
    s->ifindex = -1;
    s->fd = socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC, htons(uint16_t(proto)));
    if (s->fd < 0) {
        log.err("Error: Could not open Tx Socket %s\n", std::strerror(errno));
        return s;
    }
    ifreq ifr{};
    if (ethdev)
        xsb::copy_ifname(ifr.ifr_name, ethdev);
    if (!ethdev || ioctl(s->fd, SIOCGIFINDEX, &ifr) < 0) {
        log.err("Error: Could not get interface index for %d, %s\n", s->fd,
                ethdev ? ethdev : "(null)");
        return s;
    }
    s->ifindex = ifr.ifr_ifindex;
    if (ioctl(s->fd, SIOCGIFHWADDR, &ifr) < 0) {
        log.err("Error getting hwaddr for %s: %s\n", ethdev, std::strerror(errno));
        return s;
    }
    std::memcpy(s->ifhwaddr, ifr.ifr_hwaddr.sa_data, 6);
    if (xsb::set_promiscuous(log, s->fd, ifr.ifr_name) < 0)
        log.err("Error setting promiscuous %s: %s\n", ethdev, std::strerror(errno));
    return s;
}

XSB_API int xsb_send(xsb_sock *sock, xsb_pkt *pkt, int len) noexcept
{
    // The frame is the buffer: never read past it.
    if (!sock || !pkt || len < XSB_HDR_LEN || len > XSB_PKT_LEN) {
        errno = EINVAL;
        return -1;
    }
    sockaddr_ll to{};
    to.sll_family = AF_PACKET;
    to.sll_ifindex = sock->ifindex;
    to.sll_halen = 6;
    std::memcpy(to.sll_addr, pkt->dst, 6);
    return int(sendto(sock->fd, pkt, size_t(len), 0, reinterpret_cast<sockaddr *>(&to), sizeof to));
}

XSB_API int xsb_recv(xsb_sock *sock, xsb_pkt *pkt, int) noexcept
{
    if (!sock || !pkt) {
        errno = EINVAL;
        return -1;
    }
    return int(recv(sock->fd, pkt, sizeof(xsb_pkt), 0));
}

XSB_API int xsb_close(xsb_sock *sock) noexcept
{
    if (!sock)
        return 0;
    if (sock->fd >= 0)
        close(sock->fd);
    std::free(sock);
    return 0;
}

XSB_API int xsb_fileno(xsb_sock *sock) noexcept { return sock ? sock->fd : -1; }

XSB_API unsigned char *xsb_get_ifhwaddr(xsb_sock *sock) noexcept
{
    return sock ? sock->ifhwaddr : nullptr;
}

XSB_API void xsb_print_packet(xsb_pkt *pkt, int len) noexcept
{
    if (!pkt || len < 0)
        return;
    if (len > XSB_PKT_LEN)
        len = XSB_PKT_LEN;
    const auto *b = reinterpret_cast<const unsigned char *>(pkt);
    std::printf("%s: len=%u\n  %.6x: ", "xsb_print_packet", unsigned(len), 0u);
    for (int i = 0; i < len; ++i) {
        if (i && i % 16 == 0)
            std::printf("\n  %.6x: ", unsigned(i));
        std::printf(i % 2 ? "%02x " : "%02x", b[i]);
    }
    std::printf("\n");
    std::fflush(stdout);
}

XSB_API int xsb_get_addr(const unsigned char mac[6], char *vaddr, unsigned len) noexcept
{
    if (!mac || !vaddr || len <= 3)
        return -1;
    static constexpr char hex[] = "0123456789abcdef";
    vaddr[0] = hex[mac[4] & 0xF];
    vaddr[1] = hex[mac[5] >> 4];
    vaddr[2] = hex[mac[5] & 0xF];
    vaddr[3] = '\0';
    return 0;
}

XSB_API int xsb_set_addr(unsigned char mac[6], const char *vaddr) noexcept
{
    if (!mac)
        return -1;
    std::memcpy(mac, xsb::mac_prefix, 4);
    mac[4] = mac[5] = 0;
    if (!vaddr || std::strlen(vaddr) != 3)
        return -1;
    // Digits fill byte 4 low nibble, byte 5 high, byte 5 low; others are skipped.
    int nibble = 0;
    for (const char *c = vaddr; *c; ++c) {
        const int v = xsb::hexval(*c);
        if (v < 0)
            continue;
        if (nibble == 0)
            mac[4] = uint8_t(v);
        else if (nibble == 1)
            mac[5] = uint8_t(v << 4);
        else
            mac[5] = uint8_t(mac[5] | v);
        ++nibble;
    }
    return 0;
}

XSB_API int xsbpkt_set_dest(xsb_pkt *pkt, const char *vaddr) noexcept
{
    return pkt ? xsb_set_addr(pkt->dst, vaddr) : -1;
}
XSB_API int xsbpkt_get_dest(xsb_pkt *pkt, char *vaddr, unsigned len) noexcept
{
    return pkt ? xsb_get_addr(pkt->dst, vaddr, len) : -1;
}
XSB_API int xsbpkt_set_source(xsb_pkt *pkt, const char *vaddr) noexcept
{
    return pkt ? xsb_set_addr(pkt->src, vaddr) : -1;
}
XSB_API int xsbpkt_get_source(xsb_pkt *pkt, char *vaddr, unsigned len) noexcept
{
    return pkt ? xsb_get_addr(pkt->src, vaddr, len) : -1;
}

XSB_API int xsbvmap_is_valid(int vmapaddr) noexcept { return vmapaddr >= 0 && vmapaddr < 512; }

XSB_API int xsbraw_init_eth_payload(void *buf, int len, int xaddr_to, int xaddr_from,
                                    const void *payload, int plen) noexcept
{
    if (!buf || plen < 0 || (plen > 0 && !payload) || len < plen + XSB_HDR_LEN)
        return -1;
    auto *b = static_cast<uint8_t *>(buf);
    std::memcpy(b, xsb::mac_prefix, 4);
    b[4] = uint8_t((xaddr_to >> 8) & 0xF);
    b[5] = uint8_t(xaddr_to & 0xFF);
    std::memcpy(b + 6, xsb::mac_prefix, 4);
    b[10] = uint8_t((xaddr_from >> 8) & 0xF);
    b[11] = uint8_t(xaddr_from & 0xFF);
    b[12] = uint8_t(XSB_ETH_P_RAW >> 8);
    b[13] = uint8_t(XSB_ETH_P_RAW & 0xFF);
    if (plen > 0)
        std::memcpy(b + XSB_HDR_LEN, payload, size_t(plen));
    return plen + XSB_HDR_LEN;
}

XSB_API int xsbraw_line_atob(char *binbuf, int len, const char *hexbuf) noexcept
{
    if (!binbuf || len <= 0 || !hexbuf)
        return 0;
    binbuf[0] = 0;
    int count = 0;
    bool low = false;
    for (const char *c = hexbuf; *c && *c != '\n' && *c != '#'; ++c) {
        const int v = xsb::hexval(*c);
        if (v < 0)
            continue;
        if (!low) {
            binbuf[count] = char(v << 4);
            low = true;
            continue;
        }
        binbuf[count] = char(binbuf[count] | v);
        low = false;
        if (++count == len)
            return len;
        binbuf[count] = 0;
    }
    return count;
}

} // extern "C"

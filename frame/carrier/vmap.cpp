// Virtual addresses of the transport streams that cross the chassis (one
// region of 32 per hardware slot), VMWR frames that map them on a card, and
// CFWR frames that write a card's configuration records.
#include "carrier_internal.h"

#include "../frame_internal.h"

#include <kerrow/log.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace kd::carrier {

namespace {
constexpr unsigned kRegion = 32;
constexpr unsigned kVmapBase = 0x100;
// Port masks share the VMWR word with the address above bit 19.
constexpr unsigned kMaxMaskPort = 20;

// Next offset per hardware slot; only grows, for the life of the process.
std::array<unsigned, 8> g_next{0, 32, 64, 96, 128, 160, 192, 224};

std::string mac_text(const uint8_t *m)
{
    char t[20];
    std::snprintf(t, sizeof t, "%02x:%02x:%02x:%02x:%02x:%02x", m[0], m[1], m[2], m[3], m[4], m[5]);
    return t;
}

int send_vmwr(const carrier_node *node, uint32_t word)
{
    if (!node || node->slot > 7)
        return -1;
    xsb_pkt pkt{};
    xsb_mac(pkt.dst, 0xF00 | node->slot);
    pkt.proto[0] = XSB_ETH_P_CMD >> 8;
    pkt.proto[1] = XSB_ETH_P_CMD & 0xFF;
    std::memcpy(pkt.data, "VMWR", 4);
    const uint8_t rec[8] = {uint8_t(word >> 24), uint8_t(word >> 16), uint8_t(word >> 8), uint8_t(word),
                            0xFF, 0xFF, 0xFF, 0xFF};
    std::memcpy(pkt.data + 4, rec, sizeof rec);
    if (!send_frame(st().cmd.get(), pkt, 26)) {
        KD_LOG(KD_LOG_ERR, "[%s] Slot %d error sending VMAP %8x (%s)\n", me(), int(node->slot), word,
               std::strerror(errno));
        return -1;
    }
    KD_LOG(KD_LOG_INFO, "[%s] Slot %d sent VMAP record:\n", me(), int(node->slot));
    dump_frame(pkt, 26);
    return 0;
}
} // namespace

void dump_frame(const xsb_pkt &pkt, int len)
{
    KD_LOG(KD_LOG_INFO, "[%s] ---- Printing Packet - Record count %d ----\n", me(), (len - XSB_HDR_LEN) / 4);
    KD_LOG(KD_LOG_INFO, "[%s] Source Address: %s\n", me(), mac_text(pkt.src).c_str());
    KD_LOG(KD_LOG_INFO, "[%s] Destin Address: %s\n", me(), mac_text(pkt.dst).c_str());
    KD_LOG(KD_LOG_INFO, "[%s] Ethernet Proto: %04x\n", me(), unsigned(pkt.proto[0] << 8 | pkt.proto[1]));
    for (int i = 0; i * 4 + 4 <= len - XSB_HDR_LEN; ++i) {
        const uint8_t *w = pkt.data + 4 * i;
        KD_LOG(KD_LOG_INFO, "[%s] %02u: %02x%02x %02x%02x\n", me(), unsigned(i), w[0], w[1], w[2], w[3]);
    }
    KD_LOG(KD_LOG_INFO, "[%s] --------------------------------------------\n", me());
}

} // namespace kd::carrier

using namespace kd::carrier;

extern "C" KD_API uint16_t kd_carrier_allocate_vmap_addr(const carrier_node *node)
{
    if (!node || node->slot > 7)
        return 0;
    const unsigned s = node->slot;
    if (g_next[s] >= kRegion * (s + 1)) {
        KD_LOG(KD_LOG_ERR, "[%s] No more VADDRs available from region %u\n", me(), s);
        return 0;
    }
    const unsigned addr = kVmapBase + g_next[s]++;
    KD_LOG(KD_LOG_INFO, "[%s] (%03x) Allocated: %u FromRegion: %u\n", me(), addr, g_next[s] - kRegion * s, s);
    return uint16_t(addr);
}

extern "C" KD_API int kd_carrier_set_vmap_addr(const carrier_node *node, uint16_t vaddr, unsigned port_index)
{
    // A mask bit at 20 or above would land in the address field.
    if (port_index >= kMaxMaskPort || !xsbvmap_is_valid(vaddr)) {
        KD_LOG(KD_LOG_ERR, "[%s] Invalid VMAP port index %u or address %03x\n", me(), port_index, unsigned(vaddr));
        return -1;
    }
    return send_vmwr(node, uint32_t(vaddr) << 20 | 1u << port_index);
}

extern "C" KD_API int kd_carrier_clear_vmap_addr(const carrier_node *node, uint16_t vaddr)
{
    if (!xsbvmap_is_valid(vaddr))
        return -1;
    return send_vmwr(node, uint32_t(vaddr) << 20);
}

extern "C" KD_API void kd_carrier_vmap_to_mac_addr(uint8_t mac[6], uint16_t vaddr)
{
    if (!mac)
        return;
    xsb_mac(mac, vaddr);
    KD_LOG(KD_LOG_INFO, "[%s] Sets MAC %02x %02x %02x %02x %02x %02x\n", me(), mac[0], mac[1], mac[2], mac[3],
           mac[4], mac[5]);
}

extern "C" KD_API int kd_carrier_send_cfwr(const carrier_node *node, const void *records, size_t len)
{
    if (!node || !records) {
        KD_LOG(KD_LOG_ERR, "[%s] %s Carrier node or record buffer is NULL.\n", me(), __func__);
        return -1;
    }
    // The tag and the end word share the 1500 data bytes with the records.
    if (len > XSB_DATA_LEN - 8 || len % 4 != 0) {
        KD_LOG(KD_LOG_ERR, "[%s] %s Incorrect buffer length (%zd).\n", me(), __func__, ssize_t(len));
        return -1;
    }
    xsb_pkt pkt;
    const int flen = build_cfwr(pkt, node->slot, static_cast<const uint8_t *>(records), len, XSB_ETH_P_CMD);
    if (!send_frame(st().cmd.get(), pkt, flen)) {
        KD_LOG(KD_LOG_ERR, "[%s] Error sending CFRW (%s)\n", me(), std::strerror(errno));
        return -1;
    }
    KD_LOG(KD_LOG_INFO, "[%s] Sent CFWR record(s):\n", me());
    dump_frame(pkt, flen);
    return 0;
}

// Packet header, adaptation-field and payload access (ISO/IEC 13818-1
// 2.4.3.2 to 2.4.3.5). Real-time code: no allocation, no logging.
#include "ts_packet.h"

#include <cstring>

#include "mpegts_internal.h"

using namespace mpegts;

namespace {

// The header word, bits 31 (first on the wire) to 0.
constexpr uint32_t kSync = 0xFF000000u, kTei = 0x00800000u, kPusi = 0x00400000u, kPrio = 0x00200000u,
                   kPid = 0x001FFF00u, kScram = 0x000000C0u, kAfc = 0x00000030u, kCc = 0x0000000Fu;

inline uint32_t hget(const void *h, uint32_t mask, unsigned shift) { return get_field<uint32_t>(h, true, mask, shift); }
inline int hset(void *h, uint32_t mask, unsigned shift, uint32_t v)
{
    set_field<uint32_t>(h, true, mask, shift, v);
    return 0;
}
// Adaptation field: length byte then flags byte, bit 7 first on the wire.
inline uint8_t afget(const void *af, uint16_t mask, unsigned shift)
{
    return uint8_t(get_field<uint16_t>(af, true, mask, shift));
}
inline const uint8_t *bytes(const tsPkt *p) { return reinterpret_cast<const uint8_t *>(p); }
inline uint8_t *bytes(tsPkt *p) { return reinterpret_cast<uint8_t *>(p); }

} // namespace

static_assert(sizeof(tsPkt) == TS_PACKET_SIZE, "a packet is 188 bytes on the wire");

extern "C" {

MPEGTS_API uint8_t tsphGetSyncByte(const void *h) noexcept { return uint8_t(hget(h, kSync, 24)); }
MPEGTS_API int tsphSetSyncByte(void *h, uint8_t v) noexcept { return hset(h, kSync, 24, v); }
MPEGTS_API uint16_t tsphGetTSErrorIndicator(const void *h) noexcept { return uint16_t(hget(h, kTei, 23)); }
MPEGTS_API int tsphSetTSErrorIndicator(void *h, uint16_t v) noexcept { return hset(h, kTei, 23, v); }
MPEGTS_API uint16_t tsphGetPLStartIndicator(const void *h) noexcept { return uint16_t(hget(h, kPusi, 22)); }
MPEGTS_API int tsphSetPLStartIndicator(void *h, uint16_t v) noexcept { return hset(h, kPusi, 22, v); }
MPEGTS_API uint16_t tsphGetTSPriority(const void *h) noexcept { return uint16_t(hget(h, kPrio, 21)); }
MPEGTS_API int tsphSetTSPriority(void *h, uint16_t v) noexcept { return hset(h, kPrio, 21, v); }
MPEGTS_API uint16_t tsphGetPid(const void *h) noexcept { return uint16_t(hget(h, kPid, 8)); }
MPEGTS_API int tsphSetPid(void *h, uint16_t pid) noexcept { return hset(h, kPid, 8, pid); }
MPEGTS_API uint8_t tsphGetTSScramblingCtrl(const void *h) noexcept { return uint8_t(hget(h, kScram, 6)); }
MPEGTS_API int tsphSetTSScramblingCtrl(void *h, uint8_t v) noexcept { return hset(h, kScram, 6, v); }
MPEGTS_API uint8_t tsphGetAFCtrl(const void *h) noexcept { return uint8_t(hget(h, kAfc, 4)); }
MPEGTS_API int tsphSetAFCtrl(void *h, uint8_t v) noexcept { return hset(h, kAfc, 4, v); }
MPEGTS_API uint8_t tsphGetContinuityCounter(const void *h) noexcept { return uint8_t(hget(h, kCc, 0)); }
MPEGTS_API int tsphSetContinuityCounter(void *h, uint8_t v) noexcept { return hset(h, kCc, 0, v); }
MPEGTS_API int tsphIterContinuityCounter(void *h) noexcept
{
    return hset(h, kCc, 0, (tsphGetContinuityCounter(h) + 1u) & 0x0F);
}

MPEGTS_API ts_hdr tsphGetTsHdr(const void *h) noexcept
{
    ts_hdr r;
    r.sync_byte = tsphGetSyncByte(h);
    r.ts_error_indicator = tsphGetTSErrorIndicator(h);
    r.pl_start_indicator = tsphGetPLStartIndicator(h);
    r.ts_priority = tsphGetTSPriority(h);
    r.pid = tsphGetPid(h);
    r.ts_scrambling_ctrl = tsphGetTSScramblingCtrl(h);
    r.adaptation_field_control = tsphGetAFCtrl(h);
    r.continuity_counter = tsphGetContinuityCounter(h);
    return r;
}

MPEGTS_API uint8_t tsphGetAdaptationFieldLength(const void *af) noexcept { return afget(af, 0xFF00, 8); }
MPEGTS_API uint8_t tsphGetDiscontinuityIndicator(const void *af) noexcept { return afget(af, 0x80, 7); }
MPEGTS_API uint8_t tsphGetRandomAccessIndicator(const void *af) noexcept { return afget(af, 0x40, 6); }
MPEGTS_API uint8_t tsphGetElementaryStreamPriorityIndicator(const void *af) noexcept { return afget(af, 0x20, 5); }
MPEGTS_API uint8_t tsphGetPcrFlag(const void *af) noexcept { return afget(af, 0x10, 4); }
MPEGTS_API uint8_t tsphGetOPcrFlag(const void *af) noexcept { return afget(af, 0x08, 3); }
MPEGTS_API uint8_t tsphGetSplicingPointFlag(const void *af) noexcept { return afget(af, 0x04, 2); }
MPEGTS_API uint8_t tsphGetTransportPrivateDataFlag(const void *af) noexcept { return afget(af, 0x02, 1); }
MPEGTS_API uint8_t tsphGetAdaptationFieldExtensionFlag(const void *af) noexcept { return afget(af, 0x01, 0); }

MPEGTS_API adaptation_field tsphGetAdaptionField(const void *af) noexcept
{
    adaptation_field r{};
    r.length = static_cast<const uint8_t *>(af)[0];
    if (r.length == 0) // a lone stuffing byte: there is no flags byte to read
        return r;
    r.discontinuity_indicator = tsphGetDiscontinuityIndicator(af);
    r.random_access_indicator = tsphGetRandomAccessIndicator(af);
    r.elementary_stream_priority_indicator = tsphGetElementaryStreamPriorityIndicator(af);
    r.pcr_flag = tsphGetPcrFlag(af);
    r.o_pcr_flag = tsphGetOPcrFlag(af);
    r.splicing_point_flag = tsphGetSplicingPointFlag(af);
    r.transport_private_data_flag = tsphGetTransportPrivateDataFlag(af);
    r.adaptation_field_extension_flag = tsphGetAdaptationFieldExtensionFlag(af);
    return r;
}

MPEGTS_API int generateDefaultTsPacket(tsPkt *pkt, uint16_t pid) noexcept
{
    uint8_t *b = bytes(pkt);
    b[0] = TS_SYNC_BYTE;
    b[1] = uint8_t(0x40 | ((pid >> 8) & 0x1F)); // PUSI
    b[2] = uint8_t(pid);
    b[3] = 0x10; // payload only, counter 0
    b[4] = 0;    // pointer_field
    std::memset(b + 5, 0xFF, TS_PACKET_SIZE - 5);
    return 0;
}

MPEGTS_API int is_valid_ts_packet(const tsPkt *pkt) noexcept { return bytes(pkt)[0] == TS_SYNC_BYTE; }

MPEGTS_API int get_shift(const tsPkt *pkt) noexcept
{
    const uint8_t *b = bytes(pkt);
    if (afc(b) < 2)
        return 0;
    int shift = b[4] + 1;
    return shift >= 185 ? 0 : shift;
}

MPEGTS_API int tsCopyPayload(const tsPkt *pkt, uint8_t *buf, size_t len) noexcept
{
    const uint8_t *b = bytes(pkt), *data;
    size_t n;
    if (!payload_of(b, &data, &n))
        return -1;
    if (n == 0)
        return 0;
    if (pusi(b)) {
        size_t skip = size_t(data[0]) + 1;
        if (skip > n)
            return -1;
        data += skip;
        n -= skip;
    }
    if (n > len)
        n = len;
    if (n)
        std::memcpy(buf, data, n);
    return int(n);
}

MPEGTS_API int packetize_klv_async(tsPkt *pkts, unsigned pkts_max, const uint8_t *klv, size_t klvlen,
                                   uint16_t pid) noexcept
{
    // One packet: header, adaptation field of at least a flags byte, a
    // 9-byte PES header and the unit, which ends at the packet's end.
    if (!pkts || pkts_max == 0 || klvlen + 10 >= TS_PAYLOAD_SIZE || (!klv && klvlen))
        return -1;
    uint8_t *b = bytes(pkts);
    const size_t r = klvlen + 10;
    b[0] = TS_SYNC_BYTE;
    b[1] = uint8_t(0x40 | ((pid >> 8) & 0x1F));
    b[2] = uint8_t(pid);
    b[3] = 0x30; // adaptation field and payload, counter 0 (the sender stamps it)
    uint8_t *p = b + 4;
    const size_t af_len = TS_PAYLOAD_SIZE - r;
    p[0] = uint8_t(af_len);
    p[1] = 0; // no flags
    std::memset(p + 2, 0xFF, af_len - 1);
    p += 1 + af_len;
    // PES header (ISO/IEC 13818-1 2.4.3.6): private_stream_1, length counts
    // the three flag bytes and the data.
    p[0] = 0;
    p[1] = 0;
    p[2] = 1;
    p[3] = 0xBD;
    put_be16(p + 4, uint16_t(klvlen + 3));
    p[6] = 0x84; // '10', data_alignment_indicator
    p[7] = 0x00; // no PTS/DTS
    p[8] = 0;    // PES_header_data_length
    if (klvlen)
        std::memcpy(p + 9, klv, klvlen);
    return 1;
}

} // extern "C"

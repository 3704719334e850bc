// Long-form section header, CRC and packetizing (ISO/IEC 13818-1 2.4.4.10).
#include "psi_section.h"

#include <cstring>

#include "mpegts_crc.h"
#include "mpegts_internal.h"

using namespace mpegts;

namespace {

// Bytes 1-2 and 5 of the header as big-endian words.
inline unsigned w12(const TTableBase *s, uint16_t mask, unsigned shift) { return get_field<uint16_t>(sec(s) + 1, true, mask, shift); }
inline int set12(TTableBase *s, uint16_t mask, unsigned shift, unsigned v)
{
    set_field<uint16_t>(sec(s) + 1, true, mask, shift, uint16_t(v));
    return 0;
}
inline unsigned b5(const TTableBase *s, uint8_t mask, unsigned shift) { return get_field<uint8_t>(sec(s) + 5, false, mask, shift); }
inline int set5(TTableBase *s, uint8_t mask, unsigned shift, unsigned v)
{
    set_field<uint8_t>(sec(s) + 5, false, mask, shift, uint8_t(v));
    return 0;
}

// A CRC needs section_length >= 4 so that it never overwrites the length.
inline bool has_crc_room(const uint8_t *s) { return section_length(s) >= 4; }

} // namespace

static_assert(sizeof(TTableBase) == 8, "the long-form header is 8 bytes on the wire");

uint8_t *mpegts::locate_section(tsPkt *pkt)
{
    if (!pkt)
        return nullptr;
    uint8_t *b = reinterpret_cast<uint8_t *>(pkt);
    if (b[0] != TS_SYNC_BYTE || !pusi(b) || afc(b) != 1)
        return nullptr;
    size_t start = 5 + size_t(b[4]);
    if (start + 3 > TS_PACKET_SIZE || start + complete_length(b + start) > TS_PACKET_SIZE)
        return nullptr;
    return b + start;
}

extern "C" {

MPEGTS_API uint8_t tsGetTableId(const TTableBase *s) noexcept { return sec(s)[0]; }
MPEGTS_API int tsSetTableId(TTableBase *s, uint8_t v) noexcept
{
    sec(s)[0] = v;
    return 0;
}
MPEGTS_API uint8_t tsGetSectionSyntaxInd(const TTableBase *s) noexcept { return uint8_t(w12(s, 0x8000, 15)); }
MPEGTS_API int tsSetSectionSyntaxInd(TTableBase *s, uint8_t v) noexcept { return set12(s, 0x8000, 15, v); }
MPEGTS_API int tsSet0bit(TTableBase *s) noexcept { return set12(s, 0x4000, 14, 0); }
MPEGTS_API int tsSetReserved0(TTableBase *s) noexcept { return set12(s, 0x3000, 12, 3); }
MPEGTS_API uint16_t tsGetSectionLength(const TTableBase *s) noexcept { return uint16_t(section_length(sec(s))); }
MPEGTS_API int tsSetSectionLength(TTableBase *s, uint16_t v) noexcept { return set12(s, 0x0FFF, 0, v); }
MPEGTS_API int tsAddToSectionLength(TTableBase *s, int delta) noexcept
{
    int len = int(section_length(sec(s))) + delta;
    if (len < 0 || len > 0x0FFF)
        return -1;
    return tsSetSectionLength(s, uint16_t(len));
}
MPEGTS_API int tsGetCompleteTableLength(const TTableBase *s) noexcept { return int(complete_length(sec(s))); }
MPEGTS_API uint16_t tsGetProgramNumber(const TTableBase *s) noexcept { return be16(sec(s) + 3); }
MPEGTS_API int tsSetTSId(TTableBase *s, uint16_t v) noexcept
{
    put_be16(sec(s) + 3, v);
    return 0;
}
MPEGTS_API int tsSetReserved1(TTableBase *s) noexcept { return set5(s, 0xC0, 6, 3); }
MPEGTS_API uint8_t tsGetVersion(const TTableBase *s) noexcept { return uint8_t(b5(s, 0x3E, 1)); }
MPEGTS_API int tsSetVersion(TTableBase *s, uint8_t v) noexcept { return set5(s, 0x3E, 1, v); }
MPEGTS_API int tsRevVersion(TTableBase *s) noexcept { return tsSetVersion(s, uint8_t((tsGetVersion(s) + 1) & 31)); }
MPEGTS_API uint8_t tsGetCurrentNext(const TTableBase *s) noexcept { return uint8_t(b5(s, 0x01, 0)); }
MPEGTS_API int tsSetCurrentNext(TTableBase *s, uint8_t v) noexcept { return set5(s, 0x01, 0, v); }
MPEGTS_API uint8_t tsGetSectionNumber(const TTableBase *s) noexcept { return sec(s)[6]; }
MPEGTS_API int tsSetSectionNumber(TTableBase *s, uint8_t v) noexcept
{
    sec(s)[6] = v;
    return 0;
}
MPEGTS_API uint8_t tsGetLastSectionNumber(const TTableBase *s) noexcept { return sec(s)[7]; }
MPEGTS_API int tsSetLastSectionNumber(TTableBase *s, uint8_t v) noexcept
{
    sec(s)[7] = v;
    return 0;
}

MPEGTS_API TTableCrc tsUpdateCRC(TTableBase *s) noexcept
{
    uint8_t *b = sec(s);
    if (!has_crc_room(b))
        return 0;
    size_t n = complete_length(b) - 4;
    uint32_t crc = DvbCrc32Compute(b, n);
    put_be32(b + n, crc);
    return crc;
}

MPEGTS_API TTableCrc tsGetCRC(const TTableBase *s) noexcept
{
    const uint8_t *b = sec(s);
    TTableCrc v = 0;
    if (has_crc_room(b))
        std::memcpy(&v, b + complete_length(b) - 4, 4);
    return v;
}

MPEGTS_API int tsTestCRC(const TTableBase *s) noexcept
{
    const uint8_t *b = sec(s);
    return has_crc_room(b) && DvbCrc32Check(b, complete_length(b));
}

MPEGTS_API int tsAppendBytes(TTableBase *s, const uint8_t *bytes, size_t count) noexcept
{
    uint8_t *b = sec(s);
    if ((!bytes && count) || !has_crc_room(b) || complete_length(b) + count > PSI_SECTION_MAX_SIZE)
        return -1;
    if (count)
        std::memcpy(b + complete_length(b) - 4, bytes, count);
    set_section_length(b, unsigned(section_length(b) + count));
    tsUpdateCRC(s);
    return 0;
}

MPEGTS_API int packetize_section(tsPkt *pkts, unsigned max, const TTableBase *s, uint16_t pid) noexcept
{
    if (!pkts || !s)
        return -1;
    const uint8_t *src = sec(s);
    size_t left = complete_length(src);
    // 183 bytes follow the pointer_field in the first packet, 184 fill each
    // of the rest: 1 + ceil((n - 183) / 184) packets, which is 1 + n / 184.
    size_t need = 1 + left / 184;
    if (need > max)
        return -1;
    for (size_t i = 0; i < need; ++i) {
        generateDefaultTsPacket(&pkts[i], pid);
        uint8_t *pl = pkts[i].payload;
        size_t room = 184;
        if (i == 0) {
            ++pl; // pointer_field 0
            --room;
        } else {
            tsphSetPLStartIndicator(&pkts[i], 0);
        }
        size_t n = left < room ? left : room;
        std::memcpy(pl, src, n);
        src += n;
        left -= n;
    }
    return int(need);
}

} // extern "C"

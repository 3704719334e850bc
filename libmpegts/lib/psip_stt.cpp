// System Time Table (ATSC A/65 6.1). Offsets from the section's first
// byte: 8 protocol_version, 9 system_time, 13 GPS_UTC_offset,
// 14 daylight_saving, 16 descriptors.
#include "psip_stt.h"

#include "psip_internal.h"

using namespace mpegts;
using namespace mpegts::psip;

static_assert(sizeof(TStt) == 16, "wire layout");

namespace {
constexpr size_t kDs = 14;
}

extern "C" {

MPEGTS_API int tsGetStt(tsPkt *pkt, TStt **out) noexcept { return locate_table(pkt, out); }
MPEGTS_API TTableBase *tsGetSttBase(TStt *stt) noexcept { return stt ? &stt->header : nullptr; }

MPEGTS_API int tsSetSttDefault(TStt *stt, uint8_t version) noexcept
{
    PSIP_NULL_GUARD(stt);
    uint8_t *s = sec(stt);
    write_psip_header(s, 0xCD, 17, 0, version);
    std::memset(s + 9, 0, 5);
    put_be16(s + kDs, 0x6000);
    return 0;
}

MPEGTS_API uint8_t tsGetSttProtocolVersion(const TStt *stt) noexcept
{
    return uint8_t(rd8(PSIP_FIXED_BYTE_AT(stt, protocol_version)));
}
MPEGTS_API int tsSetSttProtocolVersion(TStt *stt, uint8_t v) noexcept
{
    return wr8(PSIP_BYTE_AT(stt, protocol_version), v);
}
MPEGTS_API uint32_t tsGetSttSystemTime(const TStt *stt) noexcept { return rd32(PSIP_FIXED_AT(stt, system_time)); }
MPEGTS_API int tsSetSttSystemTime(TStt *stt, uint32_t gps_seconds) noexcept
{
    return wr32(PSIP_AT(stt, system_time), gps_seconds);
}
MPEGTS_API uint8_t tsGetSttGpsUtcOffset(const TStt *stt) noexcept
{
    return uint8_t(rd8(PSIP_FIXED_BYTE_AT(stt, gps_utc_offset)));
}
MPEGTS_API int tsSetSttGpsUtcOffset(TStt *stt, uint8_t v) noexcept { return wr8(PSIP_BYTE_AT(stt, gps_utc_offset), v); }
MPEGTS_API uint8_t tsGetSttDsStatus(const TStt *stt) noexcept
{
    return uint8_t(rd16(PSIP_FIXED_AT(stt, daylight_saving), 0x8000, 15));
}
MPEGTS_API int tsSetSttDsStatus(TStt *stt, uint8_t v) noexcept
{
    return wr16(PSIP_AT(stt, daylight_saving), v, 0x8000, 15);
}
MPEGTS_API uint8_t tsGetSttDsDayOfMonth(const TStt *stt) noexcept
{
    return uint8_t(rd16(PSIP_FIXED_AT(stt, daylight_saving), 0x1F00, 8));
}
MPEGTS_API int tsSetSttDsDayOfMonth(TStt *stt, uint8_t v) noexcept
{
    return wr16(PSIP_AT(stt, daylight_saving), v, 0x1F00, 8, 0x6000);
}
MPEGTS_API uint8_t tsGetSttDsHour(const TStt *stt) noexcept
{
    return uint8_t(rd16(PSIP_FIXED_AT(stt, daylight_saving), 0x00FF));
}
MPEGTS_API int tsSetSttDsHour(TStt *stt, uint8_t v) noexcept { return wr16(PSIP_AT(stt, daylight_saving), v, 0x00FF); }

MPEGTS_API int tsAppendSttDescriptor(TStt *stt, const descriptor *d) noexcept
{
    if (!stt || !d)
        return -1;
    uint8_t *s = sec(stt);
    size_t n = size_t(d->len) + 2;
    if (!splice(s, body_end(s), 0, reinterpret_cast<const uint8_t *>(d), n, kMaxShort))
        return -1;
    tsUpdateCRC(&stt->header);
    return 0;
}

} // extern "C"

// Event Information Table (ATSC A/65 6.5). Offsets from the section's first
// byte: 8 protocol_version, 9 num_events_in_section, 10 events: 10 fixed
// bytes, the title, the descriptors' length and descriptors.
#include "psip_eit.h"

#include "psip_internal.h"

using namespace mpegts;
using namespace mpegts::psip;

static_assert(sizeof(TEit) == 10 && sizeof(TEitEntry) == 10 && sizeof(TEitEntryDescriptor) == 2, "wire layout");

namespace {

constexpr size_t kEvents = 10;

inline uint8_t *descriptor_part(const TEitEntry *e)
{
    return const_cast<uint8_t *>(reinterpret_cast<const uint8_t *>(e)) + sizeof(TEitEntry) + e->title_length;
}

} // namespace

extern "C" {

MPEGTS_API int tsGetEit(tsPkt *pkt, TEit **out) noexcept { return locate_table(pkt, out); }

MPEGTS_API int tsSetEitDefault(TEit *eit, uint8_t version, uint16_t source_id) noexcept
{
    PSIP_NULL_GUARD(eit);
    uint8_t *s = sec(eit);
    write_psip_header(s, 0xCB, 11, source_id, version);
    s[9] = 0;
    return 0;
}

MPEGTS_API uint8_t tsGetEitProtocolVersion(const TEit *eit) noexcept
{
    return uint8_t(rd8(PSIP_FIXED_BYTE_AT(eit, protocol_version)));
}
MPEGTS_API int tsSetEitProtocolVersion(TEit *eit, uint8_t v) noexcept
{
    return wr8(PSIP_BYTE_AT(eit, protocol_version), v);
}
MPEGTS_API uint8_t tsGetEitNumberOfEventsInSection(const TEit *eit) noexcept
{
    return uint8_t(rd8(PSIP_FIXED_BYTE_AT(eit, num_events_in_section)));
}
MPEGTS_API int tsSetEitNumberOfEventsInSection(TEit *eit, uint8_t n) noexcept
{
    return wr8(PSIP_BYTE_AT(eit, num_events_in_section), n);
}

MPEGTS_API TEitEntry *tsGetEitEntry(const TEit *eit, int index) noexcept
{
    if (index < 0 || index >= tsGetEitNumberOfEventsInSection(eit))
        return nullptr;
    const uint8_t *s = sec(eit);
    reader r = body_reader(s, kEvents);
    const uint8_t *at = nullptr;
    for (int i = 0; i <= index && !r.bad; ++i) {
        at = r.p;
        r.skip(sizeof(TEitEntry) - 1);
        reader title = r.sub(r.u8());
        if (title.left && (ms_walk(title), title.bad))
            r.bad = true;
        r.skip(r.u16() & 0x0FFF);
    }
    return r.bad ? nullptr : reinterpret_cast<TEitEntry *>(const_cast<uint8_t *>(at));
}

MPEGTS_API uint16_t tsGetEitEntryEventId(const TEitEntry *e) noexcept
{
    return uint16_t(rd16(PSIP_AT(e, event_id), 0x3FFF));
}
MPEGTS_API int tsSetEitEntryEventId(TEitEntry *e, uint16_t v) noexcept
{
    return wr16(PSIP_AT(e, event_id), v, 0x3FFF, 0, 0xC000);
}
MPEGTS_API uint32_t tsGetEitEntryStartTime(const TEitEntry *e) noexcept { return rd32(PSIP_AT(e, start_time)); }
MPEGTS_API int tsSetEitEntryStartTime(TEitEntry *e, uint32_t gps_seconds) noexcept
{
    return wr32(PSIP_AT(e, start_time), gps_seconds);
}
// ETM_location and length_in_seconds share three bytes behind '11'.
MPEGTS_API uint8_t tsGetEitEntryEtmLocation(const TEitEntry *e) noexcept
{
    return uint8_t(rd8(PSIP_AT(e, etm_and_length), 0x30, 4));
}
MPEGTS_API int tsSetEitEntryEtmLocation(TEitEntry *e, uint8_t v) noexcept
{
    return wr8(PSIP_AT(e, etm_and_length), v, 0x30, 4, 0xC0);
}
MPEGTS_API uint32_t tsGetEitEntryLengthInSeconds(const TEitEntry *e) noexcept
{
    return e ? uint32_t(e->etm_and_length[0] & 0x0F) << 16 | be16(e->etm_and_length + 1) : 0;
}
MPEGTS_API int tsSetEitEntryLengthInSeconds(TEitEntry *e, uint32_t v) noexcept
{
    if (wr8(PSIP_AT(e, etm_and_length), v >> 16, 0x0F, 0, 0xC0) != 0)
        return -1;
    return wr16(e->etm_and_length + 1, uint16_t(v));
}
MPEGTS_API uint8_t tsGetEitEntryTitleLength(const TEitEntry *e) noexcept
{
    return uint8_t(rd8(PSIP_BYTE_AT(e, title_length)));
}
MPEGTS_API int tsSetEitEntryTitleLength(TEitEntry *e, uint8_t v) noexcept
{
    return wr8(PSIP_BYTE_AT(e, title_length), v);
}
MPEGTS_API uint16_t tsGetEitEntryDescriptorLength(const TEitEntry *e) noexcept
{
    return uint16_t(rd16(e ? descriptor_part(e) : nullptr, 0x0FFF));
}
MPEGTS_API int tsSetEitEntryDescriptorLength(TEitEntry *e, uint16_t len) noexcept
{
    return wr16(e ? descriptor_part(e) : nullptr, len, 0x0FFF, 0, 0xF000);
}

} // extern "C"

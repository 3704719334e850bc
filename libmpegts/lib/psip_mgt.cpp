// Master Guide Table (ATSC A/65 6.2). Offsets from the section's first
// byte: 8 protocol_version, 9 tables_defined, 11 entries of 11 bytes plus
// their descriptors, then the table descriptors' length and descriptors.
#include "psip_mgt.h"

#include "psip_internal.h"

using namespace mpegts;
using namespace mpegts::psip;

static_assert(sizeof(TMgt) == 11 && sizeof(TMgtEntry) == 11 && sizeof(TMgtDescriptor) == 2, "wire layout");

namespace {

inline item_loop entries(const TMgt *mgt)
{
    return {sizeof(TMgt), tsGetMgtTablesDefined(mgt), sizeof(TMgtEntry), 0x0FFF};
}

} // namespace

extern "C" {

MPEGTS_API int tsGetMgt(tsPkt *pkt, TMgt **out) noexcept { return locate_table(pkt, out); }
MPEGTS_API TTableBase *tsGetMgtBase(TMgt *mgt) noexcept { return mgt ? &mgt->header : nullptr; }

MPEGTS_API int tsSetMgtDefault(TMgt *mgt, uint8_t version) noexcept
{
    PSIP_NULL_GUARD(mgt);
    uint8_t *s = sec(mgt);
    write_psip_header(s, 0xC7, 14, 0, version);
    put_be16(s + 9, 0);
    put_be16(s + 11, 0xF000);
    return 0;
}

MPEGTS_API uint8_t tsGetMgtProtocolVersion(const TMgt *mgt) noexcept
{
    return uint8_t(rd8(PSIP_FIXED_BYTE_AT(mgt, protocol_version)));
}
MPEGTS_API int tsSetMgtProtocolVersion(TMgt *mgt, uint8_t v) noexcept
{
    return wr8(PSIP_BYTE_AT(mgt, protocol_version), v);
}
MPEGTS_API uint16_t tsGetMgtTablesDefined(const TMgt *mgt) noexcept
{
    return uint16_t(rd16(PSIP_FIXED_AT(mgt, tables_defined)));
}
MPEGTS_API int tsSetMgtTablesDefined(TMgt *mgt, uint16_t n) noexcept
{
    return n > MGT_MAX_TABLES_DEFINED ? -1 : wr16(PSIP_AT(mgt, tables_defined), n);
}

MPEGTS_API TMgtEntry *tsAppendMgtEntry(TMgt *mgt) noexcept
{
    if (!mgt)
        return nullptr;
    uint8_t *s = sec(mgt);
    unsigned n = tsGetMgtTablesDefined(mgt);
    size_t at = loop_walk(s, entries(mgt), -1);
    if (n >= MGT_MAX_TABLES_DEFINED || at == 0)
        return nullptr;
    static const uint8_t fresh[11] = {0, 0, 0xE0, 0, 0xE0, 0, 0, 0, 0, 0xF0, 0};
    if (!splice(s, at, 0, fresh, sizeof fresh, kMaxLong))
        return nullptr;
    put_be16(s + 9, uint16_t(n + 1));
    return reinterpret_cast<TMgtEntry *>(s + at);
}

MPEGTS_API TMgtEntry *tsGetMgtEntry(const TMgt *mgt, int index) noexcept
{
    return mgt ? reinterpret_cast<TMgtEntry *>(loop_item(sec(mgt), entries(mgt), index)) : nullptr;
}

MPEGTS_API TMgtDescriptor *tsGetMgtDescriptor(const TMgt *mgt) noexcept
{
    return mgt ? reinterpret_cast<TMgtDescriptor *>(loop_tail(sec(mgt), entries(mgt))) : nullptr;
}

MPEGTS_API uint16_t tsGetMgtEntryTableType(const TMgtEntry *e) noexcept
{
    return uint16_t(rd16(PSIP_AT(e, table_type)));
}
MPEGTS_API int tsSetMgtEntryTableType(TMgtEntry *e, uint16_t v) noexcept { return wr16(PSIP_AT(e, table_type), v); }
MPEGTS_API uint16_t tsGetMgtEntryTablePid(const TMgtEntry *e) noexcept
{
    return uint16_t(rd16(PSIP_AT(e, table_type_pid), 0x1FFF));
}
MPEGTS_API int tsSetMgtEntryTablePid(TMgtEntry *e, uint16_t pid) noexcept
{
    return wr16(PSIP_AT(e, table_type_pid), pid, 0x1FFF, 0, 0xE000);
}
MPEGTS_API uint8_t tsGetMgtEntryTableVersion(const TMgtEntry *e) noexcept
{
    return uint8_t(rd8(PSIP_BYTE_AT(e, table_type_version_number), 0x1F));
}
MPEGTS_API int tsSetMgtEntryTableVersion(TMgtEntry *e, uint8_t v) noexcept
{
    return wr8(PSIP_BYTE_AT(e, table_type_version_number), v, 0x1F, 0, 0xE0);
}
MPEGTS_API uint32_t tsGetMgtEntryNumberBytes(const TMgtEntry *e) noexcept { return rd32(PSIP_AT(e, number_bytes)); }
MPEGTS_API int tsSetMgtEntryNumberBytes(TMgtEntry *e, uint32_t v) noexcept { return wr32(PSIP_AT(e, number_bytes), v); }
MPEGTS_API uint16_t tsGetMgtEntryTableTypeDescriptorLength(const TMgtEntry *e) noexcept
{
    return uint16_t(rd16(PSIP_AT(e, table_type_descriptors_length), 0x0FFF));
}
MPEGTS_API int tsSetMgtEntryTableTypeDescriptorLength(TMgtEntry *e, uint16_t len) noexcept
{
    return wr16(PSIP_AT(e, table_type_descriptors_length), len, 0x0FFF, 0, 0xF000);
}
MPEGTS_API uint16_t tsGetMgtDescriptorLength(const TMgtDescriptor *d) noexcept
{
    return uint16_t(rd16(PSIP_AT(d, descriptors_length), 0x0FFF));
}
MPEGTS_API int tsSetMgtDescriptorLength(TMgtDescriptor *d, uint16_t len) noexcept
{
    return wr16(PSIP_AT(d, descriptors_length), len, 0x0FFF, 0, 0xF000);
}

} // extern "C"

// Virtual Channel Tables (ATSC A/65 6.3). Offsets from the section's first
// byte: 8 protocol_version, 9 num_channels_in_section, 10 channels of 32
// bytes plus their descriptors, then the additional descriptors' length and
// descriptors.
#include "psip_vct.h"

#include "psip_internal.h"
#include "psip_mstring.h"

using namespace mpegts;
using namespace mpegts::psip;

static_assert(sizeof(TVct) == 10 && sizeof(TVctEntry) == 32 && sizeof(TVctDescriptor) == 2, "wire layout");

namespace {

constexpr uint8_t kCableTableId = 0xC9;

inline item_loop channels(const TVct *vct)
{
    return {sizeof(TVct), tsGetVctNumChannelsInSection(vct), sizeof(TVctEntry), 0x03FF};
}

// Reserved bits of the channel words.
constexpr uint32_t kNumbersOnes = 0xF0000000;
constexpr uint16_t kFlagsOnes = 0x01C0;

} // namespace

extern "C" {

MPEGTS_API int tsGetVct(tsPkt *pkt, TVct **out) noexcept { return locate_table(pkt, out); }
MPEGTS_API TTableBase *tsGetVctBase(TVct *vct) noexcept { return vct ? &vct->header : nullptr; }

MPEGTS_API int tsSetVctDefault(TVct *vct, int is_cable, uint8_t version) noexcept
{
    PSIP_NULL_GUARD(vct);
    uint8_t *s = sec(vct);
    write_psip_header(s, is_cable ? kCableTableId : 0xC8, 13, 0, version);
    s[9] = 0;
    put_be16(s + 10, 0xFC00);
    return 0;
}

MPEGTS_API uint8_t tsGetVctProtocolVersion(const TVct *vct) noexcept
{
    return uint8_t(rd8(PSIP_FIXED_BYTE_AT(vct, protocol_version)));
}
MPEGTS_API int tsSetVctProtocolVersion(TVct *vct, uint8_t v) noexcept
{
    return wr8(PSIP_BYTE_AT(vct, protocol_version), v);
}
MPEGTS_API uint8_t tsGetVctNumChannelsInSection(const TVct *vct) noexcept
{
    return uint8_t(rd8(PSIP_FIXED_BYTE_AT(vct, num_channels_in_section)));
}
MPEGTS_API int tsSetVctNumChannelsInSection(TVct *vct, uint8_t n) noexcept
{
    return wr8(PSIP_BYTE_AT(vct, num_channels_in_section), n);
}

MPEGTS_API TVctEntry *tsAppendVctEntry(TVct *vct) noexcept
{
    if (!vct)
        return nullptr;
    uint8_t *s = sec(vct);
    size_t at = loop_walk(s, channels(vct), -1);
    if (at == 0 || tsGetVctNumChannelsInSection(vct) == 255)
        return nullptr;
    uint8_t fresh[32] = {};
    put_be32(fresh + 14, kNumbersOnes);
    // path_select and out_of_band are fields of a cable table, reserved
    // bits elsewhere.
    put_be16(fresh + 26, uint16_t(kFlagsOnes | (s[0] == kCableTableId ? 0 : 0x0C00)));
    put_be16(fresh + 30, 0xFC00);
    if (!splice(s, at, 0, fresh, sizeof fresh, kMaxShort))
        return nullptr;
    ++s[9];
    return reinterpret_cast<TVctEntry *>(s + at);
}

MPEGTS_API TVctEntry *tsGetVctEntry(const TVct *vct, int index) noexcept
{
    return vct ? reinterpret_cast<TVctEntry *>(loop_item(sec(vct), channels(vct), index)) : nullptr;
}

MPEGTS_API TVctDescriptor *tsGetVctDescriptor(const TVct *vct) noexcept
{
    return vct ? reinterpret_cast<TVctDescriptor *>(loop_tail(sec(vct), channels(vct))) : nullptr;
}

MPEGTS_API int tsSetVctEntryShortName(TVctEntry *e, const char *text) noexcept
{
    PSIP_NULL_GUARD(e);
    // Seven units of at most four UTF-8 bytes each bound the scan.
    constexpr size_t kMaxBytes = 4 * VCT_SHORT_NAME_UNITS;
    const char *p = text;
    const char *end = text ? text + strnlen(text, kMaxBytes) : nullptr;
    bool ended = !text;
    for (size_t i = 0; i < VCT_SHORT_NAME_UNITS; ++i) {
        uint16_t unit = ended ? 0 : conv_utf8utf16(&p, size_t(end - p));
        ended = ended || unit == 0;
        put_be16(e->short_name + 2 * i, unit);
    }
    return 0;
}

MPEGTS_API uint16_t tsGetVctEntryMajorChannelNumber(const TVctEntry *e) noexcept
{
    return uint16_t(rd32(PSIP_AT(e, channel_numbers), 0x0FFC0000, 18));
}
MPEGTS_API int tsSetVctEntryMajorChannelNumber(TVctEntry *e, uint16_t v) noexcept
{
    return wr32(PSIP_AT(e, channel_numbers), v == 0 ? VCT_ONE_PART_MAJOR : v, 0x0FFC0000, 18, kNumbersOnes);
}
MPEGTS_API uint16_t tsGetVctEntryMinorChannelNumber(const TVctEntry *e) noexcept
{
    return uint16_t(rd32(PSIP_AT(e, channel_numbers), 0x0003FF00, 8));
}
MPEGTS_API int tsSetVctEntryMinorChannelNumber(TVctEntry *e, uint16_t v) noexcept
{
    return wr32(PSIP_AT(e, channel_numbers), v, 0x0003FF00, 8, kNumbersOnes);
}
MPEGTS_API uint8_t tsGetVctEntryModulationMode(const TVctEntry *e) noexcept
{
    return uint8_t(rd32(PSIP_AT(e, channel_numbers), 0xFF));
}
MPEGTS_API int tsSetVctEntryModulationMode(TVctEntry *e, uint8_t v) noexcept
{
    return wr32(PSIP_AT(e, channel_numbers), v, 0xFF, 0, kNumbersOnes);
}
MPEGTS_API uint32_t tsGetVctEntryCarrierFrequency(const TVctEntry *e) noexcept
{
    return rd32(PSIP_AT(e, carrier_frequency));
}
MPEGTS_API int tsSetVctEntryCarrierFrequency(TVctEntry *e, uint32_t v) noexcept
{
    return wr32(PSIP_AT(e, carrier_frequency), v);
}
MPEGTS_API uint16_t tsGetVctEntryChannelTSId(const TVctEntry *e) noexcept
{
    return uint16_t(rd16(PSIP_AT(e, channel_tsid)));
}
MPEGTS_API int tsSetVctEntryChannelTSId(TVctEntry *e, uint16_t v) noexcept { return wr16(PSIP_AT(e, channel_tsid), v); }
MPEGTS_API uint16_t tsGetVctEntryProgramNumber(const TVctEntry *e) noexcept
{
    return uint16_t(rd16(PSIP_AT(e, program_number)));
}
MPEGTS_API int tsSetVctEntryProgramNumber(TVctEntry *e, uint16_t v) noexcept
{
    return wr16(PSIP_AT(e, program_number), v);
}
MPEGTS_API uint8_t tsGetVctEntryEtmLocation(const TVctEntry *e) noexcept
{
    return uint8_t(rd16(PSIP_AT(e, flags), 0xC000, 14));
}
MPEGTS_API int tsSetVctEntryEtmLocation(TVctEntry *e, uint8_t v) noexcept
{
    return wr16(PSIP_AT(e, flags), v, 0xC000, 14, kFlagsOnes);
}
MPEGTS_API uint8_t tsGetVctEntryAccessControlled(const TVctEntry *e) noexcept
{
    return uint8_t(rd16(PSIP_AT(e, flags), 0x2000, 13));
}
MPEGTS_API int tsSetVctEntryAccessControlled(TVctEntry *e, uint8_t v) noexcept
{
    return wr16(PSIP_AT(e, flags), v, 0x2000, 13, kFlagsOnes);
}
MPEGTS_API uint8_t tsGetVctEntryHidden(const TVctEntry *e) noexcept
{
    return uint8_t(rd16(PSIP_AT(e, flags), 0x1000, 12));
}
MPEGTS_API int tsSetVctEntryHidden(TVctEntry *e, uint8_t v) noexcept
{
    return wr16(PSIP_AT(e, flags), v, 0x1000, 12, kFlagsOnes);
}
MPEGTS_API int tsSetVctEntryTerrestrialReserved(TVctEntry *e) noexcept
{
    return wr16(PSIP_AT(e, flags), 3, 0x0C00, 10, kFlagsOnes);
}
MPEGTS_API int tsSetVctEntryCablePathSelect(TVctEntry *e, uint8_t v) noexcept
{
    return wr16(PSIP_AT(e, flags), v, 0x0800, 11, kFlagsOnes);
}
MPEGTS_API int tsSetVctEntryCableOutOfBand(TVctEntry *e, uint8_t v) noexcept
{
    return wr16(PSIP_AT(e, flags), v, 0x0400, 10, kFlagsOnes);
}
MPEGTS_API uint8_t tsGetVctEntryHideGuide(const TVctEntry *e) noexcept
{
    return uint8_t(rd16(PSIP_AT(e, flags), 0x0200, 9));
}
MPEGTS_API int tsSetVctEntryHideGuide(TVctEntry *e, uint8_t v) noexcept
{
    return wr16(PSIP_AT(e, flags), v, 0x0200, 9, kFlagsOnes);
}
MPEGTS_API uint8_t tsGetVctEntryServiceType(const TVctEntry *e) noexcept
{
    return uint8_t(rd16(PSIP_AT(e, flags), 0x003F));
}
MPEGTS_API int tsSetVctEntryServiceType(TVctEntry *e, uint8_t v) noexcept
{
    return wr16(PSIP_AT(e, flags), v, 0x003F, 0, kFlagsOnes);
}
MPEGTS_API uint16_t tsGetVctEntrySourceId(const TVctEntry *e) noexcept { return uint16_t(rd16(PSIP_AT(e, source_id))); }
MPEGTS_API int tsSetVctEntrySourceId(TVctEntry *e, uint16_t v) noexcept { return wr16(PSIP_AT(e, source_id), v); }
MPEGTS_API uint16_t tsGetVctEntryDescriptorLength(const TVctEntry *e) noexcept
{
    return uint16_t(rd16(PSIP_AT(e, descriptors_length), 0x03FF));
}
MPEGTS_API int tsSetVctEntryDescriptorLength(TVctEntry *e, uint16_t len) noexcept
{
    return wr16(PSIP_AT(e, descriptors_length), len, 0x03FF, 0, 0xFC00);
}
MPEGTS_API uint16_t tsGetVctDescriptorLength(const TVctDescriptor *d) noexcept
{
    return uint16_t(rd16(PSIP_AT(d, additional_descriptors_length), 0x03FF));
}
MPEGTS_API int tsSetVctDescriptorLength(TVctDescriptor *d, uint16_t len) noexcept
{
    return wr16(PSIP_AT(d, additional_descriptors_length), len, 0x03FF, 0, 0xFC00);
}

} // extern "C"

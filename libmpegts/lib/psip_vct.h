/* Terrestrial and cable Virtual Channel Tables (ATSC A/65 6.3, 6.3.2);
 * conventions as in psip_stt.h. */
#ifndef MPEGTS_PSIP_VCT_H
#define MPEGTS_PSIP_VCT_H

#include <stdint.h>

#include "mpegts_export.h"
#include "psi_section.h"

MPEGTS_BEGIN_DECLS

#define VCT_SHORT_NAME_UNITS 7
/* major_channel_number of one-part channel numbering (A/65 6.3.2). */
#define VCT_ONE_PART_MAJOR 1008

typedef struct TVct {
    TTableBase header; /* table_id 0xC8 terrestrial, 0xC9 cable */
    uint8_t protocol_version;
    uint8_t num_channels_in_section;
    /* channels, TVctDescriptor, CRC */
} TVct;

typedef struct TVctEntry {
    uint8_t short_name[14];     /* 7 UTF-16 units, big-endian */
    uint8_t channel_numbers[4]; /* reserved '1111', major (10), minor (10), modulation_mode (8) */
    uint8_t carrier_frequency[4];
    uint8_t channel_tsid[2];
    uint8_t program_number[2];
    uint8_t flags[2]; /* ETM_location (2), access_controlled, hidden, path_select and out_of_band
                         (cable) or reserved '11', hide_guide, reserved '111', service_type (6) */
    uint8_t source_id[2];
    uint8_t descriptors_length[2]; /* reserved '111111', length (10) */
    /* descriptors */
} TVctEntry;

typedef struct TVctDescriptor {
    uint8_t additional_descriptors_length[2]; /* reserved '111111', length (10) */
    /* descriptors */
} TVctDescriptor;

MPEGTS_API int tsGetVct(tsPkt *pkt, TVct **out) MPEGTS_NOEXCEPT;
MPEGTS_API TTableBase *tsGetVctBase(TVct *vct) MPEGTS_NOEXCEPT;
/* table_id 0xC9 when is_cable, else 0xC8; section_length 13, extension 0,
 * the version, current, protocol_version 0, no channels, additional
 * descriptors length 0. */
MPEGTS_API int tsSetVctDefault(TVct *vct, int is_cable, uint8_t version) MPEGTS_NOEXCEPT;

MPEGTS_API uint8_t tsGetVctProtocolVersion(const TVct *vct) MPEGTS_NOEXCEPT;
MPEGTS_API int tsSetVctProtocolVersion(TVct *vct, uint8_t v) MPEGTS_NOEXCEPT;
MPEGTS_API uint8_t tsGetVctNumChannelsInSection(const TVct *vct) MPEGTS_NOEXCEPT;
MPEGTS_API int tsSetVctNumChannelsInSection(TVct *vct, uint8_t n) MPEGTS_NOEXCEPT;

/* Appends a channel after the existing ones, moving the additional
 * descriptors behind it: short name empty, major and minor 0, modulation 0,
 * carrier_frequency 0, TSID 0, program 0, ETM_location 0, not access
 * controlled, not hidden, not hidden in the guide, service_type 0, source 0,
 * no descriptors; in a terrestrial table the two reserved bits '11', in a
 * cable one path_select 0 and out_of_band 0. Adds 1 to
 * num_channels_in_section and 32 to section_length. Null, nothing changed,
 * at 255 channels, past 1024 bytes, or for a table whose lengths disagree. */
MPEGTS_API TVctEntry *tsAppendVctEntry(TVct *vct) MPEGTS_NOEXCEPT;
/* The channel at index, null beyond the count or where the channels do not
 * lie whole inside the section. */
MPEGTS_API TVctEntry *tsGetVctEntry(const TVct *vct, int index) MPEGTS_NOEXCEPT;
/* The additional-descriptor part after the last channel, or null. */
MPEGTS_API TVctDescriptor *tsGetVctDescriptor(const TVct *vct) MPEGTS_NOEXCEPT;

/* The UTF-8 text (zero-terminated; at most 28 bytes read) as at most seven
 * UTF-16 units, big-endian, the rest zero units. Decoded by conv_utf8utf16,
 * whatever the process locale. */
MPEGTS_API int tsSetVctEntryShortName(TVctEntry *e, const char *text) MPEGTS_NOEXCEPT;
MPEGTS_API uint16_t tsGetVctEntryMajorChannelNumber(const TVctEntry *e) MPEGTS_NOEXCEPT;
/* 0 writes VCT_ONE_PART_MAJOR: the channel number is then the minor one. */
MPEGTS_API int tsSetVctEntryMajorChannelNumber(TVctEntry *e, uint16_t v) MPEGTS_NOEXCEPT;
MPEGTS_API uint16_t tsGetVctEntryMinorChannelNumber(const TVctEntry *e) MPEGTS_NOEXCEPT;
MPEGTS_API int tsSetVctEntryMinorChannelNumber(TVctEntry *e, uint16_t v) MPEGTS_NOEXCEPT;
MPEGTS_API uint8_t tsGetVctEntryModulationMode(const TVctEntry *e) MPEGTS_NOEXCEPT;
MPEGTS_API int tsSetVctEntryModulationMode(TVctEntry *e, uint8_t v) MPEGTS_NOEXCEPT;
MPEGTS_API uint32_t tsGetVctEntryCarrierFrequency(const TVctEntry *e) MPEGTS_NOEXCEPT;
MPEGTS_API int tsSetVctEntryCarrierFrequency(TVctEntry *e, uint32_t v) MPEGTS_NOEXCEPT;
MPEGTS_API uint16_t tsGetVctEntryChannelTSId(const TVctEntry *e) MPEGTS_NOEXCEPT;
MPEGTS_API int tsSetVctEntryChannelTSId(TVctEntry *e, uint16_t v) MPEGTS_NOEXCEPT;
MPEGTS_API uint16_t tsGetVctEntryProgramNumber(const TVctEntry *e) MPEGTS_NOEXCEPT;
MPEGTS_API int tsSetVctEntryProgramNumber(TVctEntry *e, uint16_t v) MPEGTS_NOEXCEPT;
MPEGTS_API uint8_t tsGetVctEntryEtmLocation(const TVctEntry *e) MPEGTS_NOEXCEPT;
MPEGTS_API int tsSetVctEntryEtmLocation(TVctEntry *e, uint8_t v) MPEGTS_NOEXCEPT;
MPEGTS_API uint8_t tsGetVctEntryAccessControlled(const TVctEntry *e) MPEGTS_NOEXCEPT;
MPEGTS_API int tsSetVctEntryAccessControlled(TVctEntry *e, uint8_t v) MPEGTS_NOEXCEPT;
MPEGTS_API uint8_t tsGetVctEntryHidden(const TVctEntry *e) MPEGTS_NOEXCEPT;
MPEGTS_API int tsSetVctEntryHidden(TVctEntry *e, uint8_t v) MPEGTS_NOEXCEPT;
/* The two bits that are path_select and out_of_band in a cable table. */
MPEGTS_API int tsSetVctEntryTerrestrialReserved(TVctEntry *e) MPEGTS_NOEXCEPT;
MPEGTS_API int tsSetVctEntryCablePathSelect(TVctEntry *e, uint8_t v) MPEGTS_NOEXCEPT;
MPEGTS_API int tsSetVctEntryCableOutOfBand(TVctEntry *e, uint8_t v) MPEGTS_NOEXCEPT;
MPEGTS_API uint8_t tsGetVctEntryHideGuide(const TVctEntry *e) MPEGTS_NOEXCEPT;
MPEGTS_API int tsSetVctEntryHideGuide(TVctEntry *e, uint8_t v) MPEGTS_NOEXCEPT;
MPEGTS_API uint8_t tsGetVctEntryServiceType(const TVctEntry *e) MPEGTS_NOEXCEPT;
MPEGTS_API int tsSetVctEntryServiceType(TVctEntry *e, uint8_t v) MPEGTS_NOEXCEPT;
MPEGTS_API uint16_t tsGetVctEntrySourceId(const TVctEntry *e) MPEGTS_NOEXCEPT;
MPEGTS_API int tsSetVctEntrySourceId(TVctEntry *e, uint16_t v) MPEGTS_NOEXCEPT;
MPEGTS_API uint16_t tsGetVctEntryDescriptorLength(const TVctEntry *e) MPEGTS_NOEXCEPT;
MPEGTS_API int tsSetVctEntryDescriptorLength(TVctEntry *e, uint16_t len) MPEGTS_NOEXCEPT;
MPEGTS_API uint16_t tsGetVctDescriptorLength(const TVctDescriptor *d) MPEGTS_NOEXCEPT;
MPEGTS_API int tsSetVctDescriptorLength(TVctDescriptor *d, uint16_t len) MPEGTS_NOEXCEPT;

MPEGTS_END_DECLS

#endif

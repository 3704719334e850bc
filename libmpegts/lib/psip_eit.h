/* Event Information Table (ATSC A/65 6.5); conventions as in psip_stt.h.
 * An event is written in place after the fixed fields (the first at
 * sizeof(TEit)), its title a multiple string structure (psip_mstring.h);
 * the caller grows section_length and num_events_in_section. */
#ifndef MPEGTS_PSIP_EIT_H
#define MPEGTS_PSIP_EIT_H

#include <stdint.h>

#include "mpegts_export.h"
#include "psi_section.h"

MPEGTS_BEGIN_DECLS

typedef struct TEit {
    TTableBase header; /* table_id 0xCB, table_id_extension = source_id */
    uint8_t protocol_version;
    uint8_t num_events_in_section;
    /* events, CRC */
} TEit;

typedef struct TEitEntry {
    uint8_t event_id[2];   /* reserved '11', event_id (14) */
    uint8_t start_time[4]; /* GPS seconds */
    uint8_t etm_and_length[3]; /* reserved '11', ETM_location (2), length_in_seconds (20) */
    uint8_t title_length;
    /* title_text (multiple string structure), TEitEntryDescriptor, descriptors */
} TEitEntry;

typedef struct TEitEntryDescriptor {
    uint8_t descriptors_length[2]; /* reserved '1111', length (12) */
} TEitEntryDescriptor;

MPEGTS_API int tsGetEit(tsPkt *pkt, TEit **out) MPEGTS_NOEXCEPT;
/* table_id 0xCB, section_length 11, extension source_id, the version,
 * current, protocol_version 0, no events. */
MPEGTS_API int tsSetEitDefault(TEit *eit, uint8_t version, uint16_t source_id) MPEGTS_NOEXCEPT;

MPEGTS_API uint8_t tsGetEitProtocolVersion(const TEit *eit) MPEGTS_NOEXCEPT;
MPEGTS_API int tsSetEitProtocolVersion(TEit *eit, uint8_t v) MPEGTS_NOEXCEPT;
MPEGTS_API uint8_t tsGetEitNumberOfEventsInSection(const TEit *eit) MPEGTS_NOEXCEPT;
MPEGTS_API int tsSetEitNumberOfEventsInSection(TEit *eit, uint8_t n) MPEGTS_NOEXCEPT;

/* The event at index, null beyond the count or where the events up to it do
 * not lie whole inside the section (a title that is not a whole multiple
 * string structure of title_length bytes included). */
MPEGTS_API TEitEntry *tsGetEitEntry(const TEit *eit, int index) MPEGTS_NOEXCEPT;

MPEGTS_API uint16_t tsGetEitEntryEventId(const TEitEntry *e) MPEGTS_NOEXCEPT;
MPEGTS_API int tsSetEitEntryEventId(TEitEntry *e, uint16_t v) MPEGTS_NOEXCEPT;
MPEGTS_API uint32_t tsGetEitEntryStartTime(const TEitEntry *e) MPEGTS_NOEXCEPT;
MPEGTS_API int tsSetEitEntryStartTime(TEitEntry *e, uint32_t gps_seconds) MPEGTS_NOEXCEPT;
MPEGTS_API uint8_t tsGetEitEntryEtmLocation(const TEitEntry *e) MPEGTS_NOEXCEPT;
MPEGTS_API int tsSetEitEntryEtmLocation(TEitEntry *e, uint8_t v) MPEGTS_NOEXCEPT;
MPEGTS_API uint32_t tsGetEitEntryLengthInSeconds(const TEitEntry *e) MPEGTS_NOEXCEPT;
MPEGTS_API int tsSetEitEntryLengthInSeconds(TEitEntry *e, uint32_t v) MPEGTS_NOEXCEPT;
MPEGTS_API uint8_t tsGetEitEntryTitleLength(const TEitEntry *e) MPEGTS_NOEXCEPT;
MPEGTS_API int tsSetEitEntryTitleLength(TEitEntry *e, uint8_t v) MPEGTS_NOEXCEPT;
/* The descriptors_length after the title_length bytes of title. */
MPEGTS_API uint16_t tsGetEitEntryDescriptorLength(const TEitEntry *e) MPEGTS_NOEXCEPT;
MPEGTS_API int tsSetEitEntryDescriptorLength(TEitEntry *e, uint16_t len) MPEGTS_NOEXCEPT;

MPEGTS_END_DECLS

#endif

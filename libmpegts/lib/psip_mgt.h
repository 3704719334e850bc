/* Master Guide Table (ATSC A/65 6.2); conventions as in psip_stt.h. */
#ifndef MPEGTS_PSIP_MGT_H
#define MPEGTS_PSIP_MGT_H

#include <stdint.h>

#include "mpegts_export.h"
#include "psi_section.h"

MPEGTS_BEGIN_DECLS

#define MGT_MAX_TABLES_DEFINED 370

typedef struct TMgt {
    TTableBase header; /* table_id 0xC7 */
    uint8_t protocol_version;
    uint8_t tables_defined[2];
    /* entries, TMgtDescriptor, CRC */
} TMgt;

typedef struct TMgtEntry {
    uint8_t table_type[2];
    uint8_t table_type_pid[2];          /* reserved '111', PID */
    uint8_t table_type_version_number;  /* reserved '111', version (5) */
    uint8_t number_bytes[4];
    uint8_t table_type_descriptors_length[2]; /* reserved '1111', length (12) */
    /* descriptors */
} TMgtEntry;

typedef struct TMgtDescriptor {
    uint8_t descriptors_length[2]; /* reserved '1111', length (12) */
    /* descriptors */
} TMgtDescriptor;

MPEGTS_API int tsGetMgt(tsPkt *pkt, TMgt **out) MPEGTS_NOEXCEPT;
MPEGTS_API TTableBase *tsGetMgtBase(TMgt *mgt) MPEGTS_NOEXCEPT;
/* table_id 0xC7, section_length 14, extension 0, the version, current,
 * protocol_version 0, tables_defined 0, table descriptors length 0. */
MPEGTS_API int tsSetMgtDefault(TMgt *mgt, uint8_t version) MPEGTS_NOEXCEPT;

MPEGTS_API uint8_t tsGetMgtProtocolVersion(const TMgt *mgt) MPEGTS_NOEXCEPT;
MPEGTS_API int tsSetMgtProtocolVersion(TMgt *mgt, uint8_t v) MPEGTS_NOEXCEPT;
MPEGTS_API uint16_t tsGetMgtTablesDefined(const TMgt *mgt) MPEGTS_NOEXCEPT;
/* -1 for more than MGT_MAX_TABLES_DEFINED. */
MPEGTS_API int tsSetMgtTablesDefined(TMgt *mgt, uint16_t n) MPEGTS_NOEXCEPT;

/* Appends an entry after the existing ones (type 0, PID 0, version 0,
 * number_bytes 0, no descriptors), moving the table descriptors behind it;
 * adds 1 to tables_defined and 11 to section_length. Null, nothing changed,
 * at MGT_MAX_TABLES_DEFINED entries, past 4096 bytes or for a table whose
 * lengths disagree. */
MPEGTS_API TMgtEntry *tsAppendMgtEntry(TMgt *mgt) MPEGTS_NOEXCEPT;
/* The entry at index, null beyond tables_defined or where the entries do
 * not lie whole inside the section. */
MPEGTS_API TMgtEntry *tsGetMgtEntry(const TMgt *mgt, int index) MPEGTS_NOEXCEPT;
/* The table-descriptor part after the last entry; null when it does not lie
 * inside the section. */
MPEGTS_API TMgtDescriptor *tsGetMgtDescriptor(const TMgt *mgt) MPEGTS_NOEXCEPT;

MPEGTS_API uint16_t tsGetMgtEntryTableType(const TMgtEntry *e) MPEGTS_NOEXCEPT;
MPEGTS_API int tsSetMgtEntryTableType(TMgtEntry *e, uint16_t v) MPEGTS_NOEXCEPT;
MPEGTS_API uint16_t tsGetMgtEntryTablePid(const TMgtEntry *e) MPEGTS_NOEXCEPT;
MPEGTS_API int tsSetMgtEntryTablePid(TMgtEntry *e, uint16_t pid) MPEGTS_NOEXCEPT;
MPEGTS_API uint8_t tsGetMgtEntryTableVersion(const TMgtEntry *e) MPEGTS_NOEXCEPT;
MPEGTS_API int tsSetMgtEntryTableVersion(TMgtEntry *e, uint8_t v) MPEGTS_NOEXCEPT;
MPEGTS_API uint32_t tsGetMgtEntryNumberBytes(const TMgtEntry *e) MPEGTS_NOEXCEPT;
MPEGTS_API int tsSetMgtEntryNumberBytes(TMgtEntry *e, uint32_t v) MPEGTS_NOEXCEPT;
/* The whole 12-bit table_type_descriptors_length. */
MPEGTS_API uint16_t tsGetMgtEntryTableTypeDescriptorLength(const TMgtEntry *e) MPEGTS_NOEXCEPT;
MPEGTS_API int tsSetMgtEntryTableTypeDescriptorLength(TMgtEntry *e, uint16_t len) MPEGTS_NOEXCEPT;
MPEGTS_API uint16_t tsGetMgtDescriptorLength(const TMgtDescriptor *d) MPEGTS_NOEXCEPT;
MPEGTS_API int tsSetMgtDescriptorLength(TMgtDescriptor *d, uint16_t len) MPEGTS_NOEXCEPT;

MPEGTS_END_DECLS

#endif

/* System Time Table (ATSC A/65 6.1). Like every PSIP table here: a packed
 * wire layout read and written in place, multi-byte fields big-endian;
 * setters answer 0, or -1 for a null table, keep the neighbouring bits and
 * write reserved bits as ones; growing functions check the table's limits
 * (field widths, the section sizes A/65 allows) while the caller guarantees
 * the buffer's room (PSI_SECTION_MAX_SIZE bytes always suffice). The CRC is
 * left to the caller (tsUpdateCRC) unless a function says otherwise. */
#ifndef MPEGTS_PSIP_STT_H
#define MPEGTS_PSIP_STT_H

#include <stdint.h>

#include "mpegts_export.h"
#include "psi_descriptor.h"
#include "psi_section.h"

MPEGTS_BEGIN_DECLS

typedef struct TStt {
    TTableBase header; /* table_id 0xCD */
    uint8_t protocol_version;
    uint8_t system_time[4];    /* GPS seconds */
    uint8_t gps_utc_offset;
    uint8_t daylight_saving[2]; /* DS_status, reserved '11', DS_day_of_month (5), DS_hour (8) */
    /* descriptors, CRC */
} TStt;
typedef TStt stt;

/* Locates the table at payload byte 1 + pointer_field of a packet; 0, or -1
 * when the section does not lie whole in the packet. */
MPEGTS_API int tsGetStt(tsPkt *pkt, TStt **out) MPEGTS_NOEXCEPT;
MPEGTS_API TTableBase *tsGetSttBase(TStt *stt) MPEGTS_NOEXCEPT;
/* table_id 0xCD, section_length 17, extension 0, the version, current,
 * section 0 of 0, protocol_version 0, every field 0, reserved bits set. The
 * CRC is not written. */
MPEGTS_API int tsSetSttDefault(TStt *stt, uint8_t version) MPEGTS_NOEXCEPT;

MPEGTS_API uint8_t tsGetSttProtocolVersion(const TStt *stt) MPEGTS_NOEXCEPT;
MPEGTS_API int tsSetSttProtocolVersion(TStt *stt, uint8_t v) MPEGTS_NOEXCEPT;
MPEGTS_API uint32_t tsGetSttSystemTime(const TStt *stt) MPEGTS_NOEXCEPT;
MPEGTS_API int tsSetSttSystemTime(TStt *stt, uint32_t gps_seconds) MPEGTS_NOEXCEPT;
MPEGTS_API uint8_t tsGetSttGpsUtcOffset(const TStt *stt) MPEGTS_NOEXCEPT;
MPEGTS_API int tsSetSttGpsUtcOffset(TStt *stt, uint8_t v) MPEGTS_NOEXCEPT;
MPEGTS_API uint8_t tsGetSttDsStatus(const TStt *stt) MPEGTS_NOEXCEPT;
MPEGTS_API int tsSetSttDsStatus(TStt *stt, uint8_t v) MPEGTS_NOEXCEPT;
MPEGTS_API uint8_t tsGetSttDsDayOfMonth(const TStt *stt) MPEGTS_NOEXCEPT;
/* Also writes the two reserved bits before the day as ones. */
MPEGTS_API int tsSetSttDsDayOfMonth(TStt *stt, uint8_t v) MPEGTS_NOEXCEPT;
MPEGTS_API uint8_t tsGetSttDsHour(const TStt *stt) MPEGTS_NOEXCEPT;
MPEGTS_API int tsSetSttDsHour(TStt *stt, uint8_t v) MPEGTS_NOEXCEPT;

/* Copies the descriptor (len + 2 bytes) where the CRC stands, grows
 * section_length and recomputes the CRC. -1 (nothing written) for null
 * arguments or a table that would pass 1024 bytes. */
MPEGTS_API int tsAppendSttDescriptor(TStt *stt, const descriptor *d) MPEGTS_NOEXCEPT;

MPEGTS_END_DECLS

#endif

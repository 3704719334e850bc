/* Long-form PSI sections (ISO/IEC 13818-1 2.4.4.10): the 8-byte header
 * common to every table, the section CRC and the packetizer.
 *
 * A section pointer addresses section_length + 3 readable bytes: callers
 * check the whole section at the door (a demultiplexer hands out only
 * complete sections; tsGetPat/Cat/Pmt only sections lying whole in their
 * packet) and the accessors then trust section_length. */
#ifndef MPEGTS_PSI_SECTION_H
#define MPEGTS_PSI_SECTION_H

#include <stddef.h>
#include <stdint.h>

#include "mpegts_export.h"
#include "ts_packet.h"

MPEGTS_BEGIN_DECLS

/* The largest section ISO/IEC 13818-1 allows (private sections: 4093 +
 * 3 bytes); tables we grow in place never exceed it. */
#define PSI_SECTION_MAX_SIZE 4096
/* The largest section that one packet carries after a pointer_field of 0:
 * the capacity of a PAT or PMT that we build, so that it can be located in
 * place in its packet. */
#define PSI_ONE_PACKET_SECTION_MAX 183

typedef uint32_t TTableCrc;

/* Packed wire layout; multi-byte fields big-endian. */
typedef struct TTableBase {
    uint8_t table_id;
    uint8_t syntax_and_length[2];  /* syntax indicator, '0', reserved '11', section_length */
    uint8_t program_number[2];     /* table_id_extension */
    uint8_t version_and_current;   /* reserved '11', version_number, current_next_indicator */
    uint8_t section_number;
    uint8_t last_section_number;
} TTableBase;

MPEGTS_API uint8_t tsGetTableId(const TTableBase *s) MPEGTS_NOEXCEPT;
MPEGTS_API int tsSetTableId(TTableBase *s, uint8_t v) MPEGTS_NOEXCEPT;
MPEGTS_API uint8_t tsGetSectionSyntaxInd(const TTableBase *s) MPEGTS_NOEXCEPT;
MPEGTS_API int tsSetSectionSyntaxInd(TTableBase *s, uint8_t v) MPEGTS_NOEXCEPT;
MPEGTS_API int tsSet0bit(TTableBase *s) MPEGTS_NOEXCEPT;
MPEGTS_API int tsSetReserved0(TTableBase *s) MPEGTS_NOEXCEPT;
MPEGTS_API uint16_t tsGetSectionLength(const TTableBase *s) MPEGTS_NOEXCEPT;
MPEGTS_API int tsSetSectionLength(TTableBase *s, uint16_t v) MPEGTS_NOEXCEPT;
MPEGTS_API int tsAddToSectionLength(TTableBase *s, int delta) MPEGTS_NOEXCEPT;
/* section_length + 3 */
MPEGTS_API int tsGetCompleteTableLength(const TTableBase *s) MPEGTS_NOEXCEPT;
MPEGTS_API uint16_t tsGetProgramNumber(const TTableBase *s) MPEGTS_NOEXCEPT;
MPEGTS_API int tsSetTSId(TTableBase *s, uint16_t v) MPEGTS_NOEXCEPT;
MPEGTS_API int tsSetReserved1(TTableBase *s) MPEGTS_NOEXCEPT;
MPEGTS_API uint8_t tsGetVersion(const TTableBase *s) MPEGTS_NOEXCEPT;
MPEGTS_API int tsSetVersion(TTableBase *s, uint8_t v) MPEGTS_NOEXCEPT;
/* version + 1 modulo 32 */
MPEGTS_API int tsRevVersion(TTableBase *s) MPEGTS_NOEXCEPT;
MPEGTS_API uint8_t tsGetCurrentNext(const TTableBase *s) MPEGTS_NOEXCEPT;
MPEGTS_API int tsSetCurrentNext(TTableBase *s, uint8_t v) MPEGTS_NOEXCEPT;
MPEGTS_API uint8_t tsGetSectionNumber(const TTableBase *s) MPEGTS_NOEXCEPT;
MPEGTS_API int tsSetSectionNumber(TTableBase *s, uint8_t v) MPEGTS_NOEXCEPT;
MPEGTS_API uint8_t tsGetLastSectionNumber(const TTableBase *s) MPEGTS_NOEXCEPT;
MPEGTS_API int tsSetLastSectionNumber(TTableBase *s, uint8_t v) MPEGTS_NOEXCEPT;

/* Computes the CRC of the section's first complete length - 4 bytes and
 * stores it big-endian in the last four; returns it (0, nothing written, for
 * a section too short to hold a CRC). */
MPEGTS_API TTableCrc tsUpdateCRC(TTableBase *s) MPEGTS_NOEXCEPT;
/* The four stored CRC bytes as one value in memory order. */
MPEGTS_API TTableCrc tsGetCRC(const TTableBase *s) MPEGTS_NOEXCEPT;
/* 1 when the stored CRC is right. */
MPEGTS_API int tsTestCRC(const TTableBase *s) MPEGTS_NOEXCEPT;
/* Writes count bytes where the CRC stands, grows section_length and
 * recomputes the CRC. The caller guarantees the room; -1 (nothing written)
 * for null bytes with a count, or growth beyond PSI_SECTION_MAX_SIZE. */
MPEGTS_API int tsAppendBytes(TTableBase *s, const uint8_t *bytes, size_t count) MPEGTS_NOEXCEPT;

/* Cuts the complete section into packets of the PID (first with PUSI and
 * pointer_field 0, the rest of the last payload 0xFF, counters 0). Returns
 * the packet count, or -1 when more than max packets would be needed. */
MPEGTS_API int packetize_section(tsPkt *pkts, unsigned max, const TTableBase *s, uint16_t pid) MPEGTS_NOEXCEPT;

MPEGTS_END_DECLS

#endif

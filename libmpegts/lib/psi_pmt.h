/* Program map table (ISO/IEC 13818-1 2.4.4.8). A PMT we build or grow stays
 * within PSI_ONE_PACKET_SECTION_MAX bytes so that it fits one packet; every
 * growing call refuses (-1 or null, nothing written) past that. */
#ifndef MPEGTS_PSI_PMT_H
#define MPEGTS_PSI_PMT_H

#include <stddef.h>
#include <stdint.h>

#include "mpegts_export.h"
#include "psi_section.h"

MPEGTS_BEGIN_DECLS

#define PMT_ES_INFO_MAX 64 /* ES info bytes an entry may hold here */

typedef struct TPmt {
    TTableBase header;
    uint8_t pcr_pid[2];             /* reserved '111', PCR_PID */
    uint8_t program_info_length[2]; /* reserved '1111', program_info_length */
    uint8_t data[176];              /* program info, entries, CRC */
} TPmt;

typedef struct TPmtEntry {
    uint8_t stream_type;
    uint8_t elementary_pid[2];  /* reserved '111', elementary_PID */
    uint8_t es_info_length[2];  /* reserved '1111', ES_info_length */
    uint8_t es_info[PMT_ES_INFO_MAX];
} TPmtEntry;

MPEGTS_API int tsGetPmt(tsPkt *pkt, TPmt **out) MPEGTS_NOEXCEPT;

/* Empty PMT: section_length 13, version 1, current, the rest 0xFF. */
MPEGTS_API int tsSetPmtDefault(TPmt *pmt, uint16_t program_number, uint16_t pcr_pid) MPEGTS_NOEXCEPT;
MPEGTS_API uint16_t tsGetPmtPCRPid(const TPmt *pmt) MPEGTS_NOEXCEPT;
MPEGTS_API int tsSetPmtPCRPid(TPmt *pmt, uint16_t pid) MPEGTS_NOEXCEPT;
MPEGTS_API int tsSetPmtReserved0(TPmt *pmt) MPEGTS_NOEXCEPT;
MPEGTS_API int tsSetPmtReserved1(TPmt *pmt) MPEGTS_NOEXCEPT;
MPEGTS_API int tsSetPmtProgramNumber(TPmt *pmt, uint16_t program_number) MPEGTS_NOEXCEPT;
MPEGTS_API uint16_t tsGetPmtProgramInfoLength(const TPmt *pmt) MPEGTS_NOEXCEPT;
MPEGTS_API int tsSetPmtProgramInfoLength(TPmt *pmt, uint16_t len) MPEGTS_NOEXCEPT;
MPEGTS_API int tsAddPmtProgramInfoLength(TPmt *pmt, int delta) MPEGTS_NOEXCEPT;
/* section_length - 13 - program_info_length; -1 when the lengths disagree. */
MPEGTS_API int tsGetPmtEntriesLength(const TPmt *pmt) MPEGTS_NOEXCEPT;

/* The index-th entry, or null past the end or where an entry would run past
 * the entries' end. */
MPEGTS_API TPmtEntry *get_pmt_entry(const TPmt *pmt, int index) MPEGTS_NOEXCEPT;
/* Appends an entry (reserved bits set, no ES info); the CRC is not updated.
 * Null when it does not fit. */
MPEGTS_API TPmtEntry *add_pmt_entry(TPmt *pmt, uint8_t stream_type, uint16_t pid) MPEGTS_NOEXCEPT;
MPEGTS_API uint8_t tsGetPmtEntryStreamType(const TPmtEntry *e) MPEGTS_NOEXCEPT;
MPEGTS_API int tsSetPmtEntryStreamType(TPmtEntry *e, uint8_t type) MPEGTS_NOEXCEPT;
MPEGTS_API uint16_t tsGetPmtEntryPID(const TPmtEntry *e) MPEGTS_NOEXCEPT;
MPEGTS_API int tsSetPmtEntryPID(TPmtEntry *e, uint16_t pid) MPEGTS_NOEXCEPT;
MPEGTS_API uint16_t tsGetPmtEntryESInfoLength(const TPmtEntry *e) MPEGTS_NOEXCEPT;
MPEGTS_API int tsSetPmtEntryESInfoLength(TPmtEntry *e, uint16_t len) MPEGTS_NOEXCEPT;
MPEGTS_API int tsAddPmtEntryESInfoLength(TPmtEntry *e, int delta) MPEGTS_NOEXCEPT;
/* Appends descriptor bytes to the entry's ES info, moving the entries behind
 * it, and grows ES_info_length and section_length; the CRC is not updated.
 * -1 (nothing written) past PMT_ES_INFO_MAX, past the PMT's capacity, for
 * null bytes with a count or an entry not in the PMT. */
MPEGTS_API int append_pmt_es_info(TPmt *pmt, TPmtEntry *e, const uint8_t *bytes, size_t count) MPEGTS_NOEXCEPT;
/* Inserts a fixed descriptor at the end of program info: 101 scrambling
 * (mode 2), 134 caption service (one English 708 service), 9 CA (system
 * 0x2600, CA_PID 0x1FFF). Returns its length byte; -1 for another type or
 * when it does not fit. The CRC is not updated. */
MPEGTS_API int add_pmt_program_info_descriptor(TPmt *pmt, int type) MPEGTS_NOEXCEPT;
/* Removes the first program-info descriptor with the tag; 0 or -1. */
MPEGTS_API int rem_pmt_program_info_descriptor(TPmt *pmt, uint8_t tag) MPEGTS_NOEXCEPT;

/* First program-info descriptor: tag, length (0 when none), and its data
 * copied into out (at most size bytes; -1 when they do not fit). */
MPEGTS_API uint8_t tsGetPmtServiceDescriptorTag(const TPmt *pmt) MPEGTS_NOEXCEPT;
MPEGTS_API uint8_t tsGetPmtServiceDescriptorLen(const TPmt *pmt) MPEGTS_NOEXCEPT;
MPEGTS_API int tsGetPmtServiceDescriptor(const TPmt *pmt, uint8_t *out, size_t size) MPEGTS_NOEXCEPT;
/* The same for an entry's first ES descriptor. */
MPEGTS_API uint8_t tsGetPmtDescriptorTag(const TPmtEntry *e) MPEGTS_NOEXCEPT;
MPEGTS_API uint8_t tsGetPmtDescriptorLength(const TPmtEntry *e) MPEGTS_NOEXCEPT;
MPEGTS_API int tsGetPmtDescriptor(const TPmtEntry *e, uint8_t *out, size_t size) MPEGTS_NOEXCEPT;

/* Text dump (psi_pmt_dump.cpp); its length, or -1 when a line does not fit. */
MPEGTS_API int tsPmtToString(const TPmt *pmt, char *buf, size_t size) MPEGTS_NOEXCEPT;

MPEGTS_END_DECLS

#endif

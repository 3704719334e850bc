/* Program association table (ISO/IEC 13818-1 2.4.4.3). A PAT we build holds
 * at most PAT_MAX_PROGRAMS entries, so that it fits one packet. */
#ifndef MPEGTS_PSI_PAT_H
#define MPEGTS_PSI_PAT_H

#include <stdint.h>

#include "mpegts_export.h"
#include "psi_section.h"

MPEGTS_BEGIN_DECLS

#define PAT_MAX_PROGRAMS 42 /* (183 - 8 - 4) / 4 */

typedef struct TPatPidMap {
    uint8_t program_number[2];
    uint8_t pid[2]; /* reserved '111', PID */
} TPatPidMap;

typedef struct TPat {
    TTableBase header;
    uint8_t data[180]; /* entries, then the CRC after the last one */
} TPat;

/* Locates the table in a packet carrying payload only with PUSI: it starts
 * at payload byte 1 + pointer_field. 0, or -1 (out untouched) when the
 * packet does not have that shape or the section does not lie whole in it. */
MPEGTS_API int tsGetPat(tsPkt *pkt, TPat **out) MPEGTS_NOEXCEPT;

/* Empty PAT: section_length 9, version 0, current; no CRC written. */
MPEGTS_API int tsSetPatDefault(TPat *pat, uint16_t transport_stream_id) MPEGTS_NOEXCEPT;
/* (section_length - 9) / 4; 0 for a section too short. */
MPEGTS_API int tsGetPatNumPrograms(const TPat *pat) MPEGTS_NOEXCEPT;
/* Entry fields; getters answer 0 and setters -1 for an index not in use. */
MPEGTS_API uint16_t tsGetPatProgramNumber(const TPat *pat, int index) MPEGTS_NOEXCEPT;
MPEGTS_API int tsSetPatProgramNumber(TPat *pat, int index, uint16_t program_number) MPEGTS_NOEXCEPT;
MPEGTS_API uint16_t tsGetPatProgramPid(const TPat *pat, int index) MPEGTS_NOEXCEPT;
MPEGTS_API int tsSetPatProgramPid(TPat *pat, int index, uint16_t pid) MPEGTS_NOEXCEPT;
/* Appends one entry; the CRC is recomputed when new_crc is 1. -1 when the
 * PAT is full. */
MPEGTS_API int tsAddPatProgram(TPat *pat, uint16_t program_number, uint16_t pid, int new_crc) MPEGTS_NOEXCEPT;
/* Appends count entries and recomputes the CRC once; -1 (nothing written)
 * when they do not all fit. */
MPEGTS_API int tsSetPatPrograms(TPat *pat, const uint16_t *program_numbers, const uint16_t *pids,
                                int count) MPEGTS_NOEXCEPT;
/* Replaces the first entry of program `which`; an absent program changes
 * nothing. Returns 0. */
MPEGTS_API int tsReplacePatByProgram(TPat *pat, uint16_t program_number, uint16_t pid, int new_crc,
                                     uint16_t which) MPEGTS_NOEXCEPT;
/* Replaces the entry at index; -1 (nothing changed) for an index not in use. */
MPEGTS_API int tsReplacePatByProgramIndx(TPat *pat, uint16_t program_number, uint16_t pid, int new_crc,
                                         int index) MPEGTS_NOEXCEPT;
MPEGTS_API int tsCheckPatProgramExists(const TPat *pat, uint16_t program_number) MPEGTS_NOEXCEPT;

MPEGTS_END_DECLS

#endif

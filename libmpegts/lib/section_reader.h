/* Section carousel: holds the packets of one or more sections and hands
 * them out one at a time at a spacing and a repetition distance, stamping
 * its own continuity counter. Positions are caller counters (packets or
 * ticks) compared with wrap-around. One thread uses an object at a time. */
#ifndef MPEGTS_SECTION_READER_H
#define MPEGTS_SECTION_READER_H

#include <stdint.h>

#include "mpegts_export.h"
#include "psi_section.h"
#include "ts_packet.h"

MPEGTS_BEGIN_DECLS

typedef struct section_reader section_reader;

/* Room for max_sect sections of up to max_len bytes: max_sect x (1 + max_len
 * / 184) packets. Spacing 1, counter 0, empty; null on bad sizes or memory. */
MPEGTS_API section_reader *section_reader_ctor_multi(int max_len, int32_t distance, uint16_t pid,
                                                     int max_sect) MPEGTS_NOEXCEPT;
MPEGTS_API void section_reader_dtor(section_reader *r) MPEGTS_NOEXCEPT;
/* Replaces the content with this section and restarts the cycle. 0; -1
 * unchanged for null or a section over max_len; -1 empty when it fails. */
MPEGTS_API int section_reader_set_section(section_reader *r, const TTableBase *s) MPEGTS_NOEXCEPT;
/* Adds a section behind those held; -1 for null, over max_len, a carousel
 * made for one section or too little room. */
MPEGTS_API int section_reader_append_section(section_reader *r, const TTableBase *s) MPEGTS_NOEXCEPT;
MPEGTS_API int section_reader_has_section(const section_reader *r) MPEGTS_NOEXCEPT;
MPEGTS_API int section_reader_is_starting(const section_reader *r) MPEGTS_NOEXCEPT;
MPEGTS_API int section_reader_get_pkts_used(const section_reader *r) MPEGTS_NOEXCEPT;
MPEGTS_API int section_reader_get_completion_count(const section_reader *r) MPEGTS_NOEXCEPT;
MPEGTS_API int section_reader_is_pkt_ready(const section_reader *r, int32_t position) MPEGTS_NOEXCEPT;
/* The next packet (owned by the carousel) when ready, else null. */
MPEGTS_API tsPkt *section_reader_read(section_reader *r, int32_t position) MPEGTS_NOEXCEPT;
MPEGTS_API uint16_t section_reader_get_pid(const section_reader *r) MPEGTS_NOEXCEPT;
MPEGTS_API int section_reader_set_pid(section_reader *r, uint16_t pid) MPEGTS_NOEXCEPT;
MPEGTS_API int32_t section_reader_get_spacing(const section_reader *r) MPEGTS_NOEXCEPT;
MPEGTS_API int section_reader_set_spacing(section_reader *r, int32_t spacing) MPEGTS_NOEXCEPT;
MPEGTS_API int section_reader_clear(section_reader *r) MPEGTS_NOEXCEPT;

MPEGTS_END_DECLS

#endif

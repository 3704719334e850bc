/* Section demultiplexer: reassembles the PSI sections of one PID from its
 * packets (ISO/IEC 13818-1 2.4.4). Every section that starts in a packet is
 * handled; sections completed together stay queued and are handed out one
 * per call of section_dmux_process. One thread uses an object at a time. */
#ifndef MPEGTS_SECTION_DMUX_H
#define MPEGTS_SECTION_DMUX_H

#include <stddef.h>
#include <stdint.h>

#include "mpegts_export.h"
#include "ts_packet.h"

MPEGTS_BEGIN_DECLS

typedef enum dmux_status {
    DMUXSTAT_PIDERROR = 0,
    DMUXSTAT_CCERROR = 1,
    DMUXSTAT_READY = 2,
    DMUXSTAT_NOPAYLOAD = 3,
    DMUXSTAT_NOTSTARTED = 4,
    DMUXSTAT_OVERFLOW = 5,
    DMUXSTAT_PARTIAL = 6,
    DMUXSTAT_COMPLETE = 7,
    DMUXSTAT_END = 8
} dmux_status;

typedef struct section_dmux section_dmux;

/* max_section_len: the largest section (section_length + 3) accepted. */
MPEGTS_API section_dmux *section_dmux_ctor(uint16_t pid, size_t max_section_len) MPEGTS_NOEXCEPT;
MPEGTS_API section_dmux *section_dmux_nocc_ctor(uint16_t pid, size_t max_section_len) MPEGTS_NOEXCEPT;
MPEGTS_API void section_dmux_dtor(section_dmux *d) MPEGTS_NOEXCEPT;
MPEGTS_API void section_dmux_reset(section_dmux *d) MPEGTS_NOEXCEPT;
MPEGTS_API dmux_status section_dmux_get_status(const section_dmux *d) MPEGTS_NOEXCEPT;
/* 1 when a complete section is ready to fetch, 0 when more packets are
 * needed, -1 for a foreign PID, a continuity error, a malformed packet or a
 * section larger than the buffer (the section is dropped). */
MPEGTS_API int section_dmux_process(section_dmux *d, const tsPkt *pkt) MPEGTS_NOEXCEPT;
/* Copies the complete section; its length, or -1 when none is complete or
 * it is larger than size (nothing copied). */
MPEGTS_API int section_dmux_get_section(const section_dmux *d, uint8_t *buf, size_t size) MPEGTS_NOEXCEPT;
MPEGTS_API int section_dmux_get_section_length(const section_dmux *d) MPEGTS_NOEXCEPT;
MPEGTS_API int section_dmux_get_table_id(const section_dmux *d) MPEGTS_NOEXCEPT;
/* Completed sections dropped because too many were waiting to be fetched. */
MPEGTS_API int section_dmux_get_dropped(const section_dmux *d) MPEGTS_NOEXCEPT;

MPEGTS_END_DECLS

#endif

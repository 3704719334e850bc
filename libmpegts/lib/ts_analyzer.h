/* Stream analyzer: sync bytes, continuity (ISO/IEC 13818-1 2.4.3.3) and
 * referenced PIDs that stop arriving. PIDs are found through an index over
 * all 8192 PIDs; at most ANALYZER_MAX_PIDS are tracked, further PIDs are
 * refused and counted. One thread uses an object at a time. */
#ifndef MPEGTS_TS_ANALYZER_H
#define MPEGTS_TS_ANALYZER_H

#include <stddef.h>
#include <stdint.h>

#include "mpegts_export.h"

MPEGTS_BEGIN_DECLS

#define ANALYZER_MAX_PIDS 1024

typedef struct analyzer analyzer;

MPEGTS_API analyzer *analyzer_ctor(void) MPEGTS_NOEXCEPT;
MPEGTS_API void analyzer_dtor(analyzer *a) MPEGTS_NOEXCEPT;
/* Checks every packet of buf (a multiple of 188 bytes). -1 when the last
 * event was an error (or for bad arguments), 1 when it was a new PID, 0
 * when nothing happened. */
MPEGTS_API int analyzer_process(analyzer *a, const uint8_t *buf, int len) MPEGTS_NOEXCEPT;
MPEGTS_API int analyzer_add_referenced_pid(analyzer *a, uint16_t pid) MPEGTS_NOEXCEPT;
MPEGTS_API int analyzer_drop_referenced_pid(analyzer *a, uint16_t pid) MPEGTS_NOEXCEPT;
/* Packets between two checks for missing referenced PIDs; 0 = no check. */
MPEGTS_API int analyzer_set_pid_error_distance(analyzer *a, int64_t packets) MPEGTS_NOEXCEPT;
MPEGTS_API int analyzer_get_sync_byte_errors(const analyzer *a) MPEGTS_NOEXCEPT;
MPEGTS_API int analyzer_get_cc_errors(const analyzer *a) MPEGTS_NOEXCEPT;
MPEGTS_API int analyzer_get_pid_errors(const analyzer *a) MPEGTS_NOEXCEPT;
MPEGTS_API int64_t analyzer_get_pkt_count(const analyzer *a) MPEGTS_NOEXCEPT;
/* Distinct PIDs refused because the PID pool was full. */
MPEGTS_API int analyzer_get_refused_pids(const analyzer *a) MPEGTS_NOEXCEPT;
MPEGTS_API int analyzer_reset_errors(analyzer *a) MPEGTS_NOEXCEPT;
/* "prefix: latest event", owned by the analyzer. */
MPEGTS_API const char *analyzer_strerror(analyzer *a, const char *prefix) MPEGTS_NOEXCEPT;
MPEGTS_API int test_analyzer_set_sync_byte_errors(analyzer *a, int n) MPEGTS_NOEXCEPT;
MPEGTS_API int test_analyzer_set_cc_errors(analyzer *a, int n) MPEGTS_NOEXCEPT;

MPEGTS_END_DECLS

#endif

/* The library's one log hook: the library never writes to the journal or
 * to a stream itself; its user decides where messages go. */
#ifndef MPEGTS_LOG_H
#define MPEGTS_LOG_H

#include "mpegts_export.h"

MPEGTS_BEGIN_DECLS

enum mpegts_log_level {
    MPEGTS_LOG_DEBUG = 0,
    MPEGTS_LOG_INFO = 1,
    MPEGTS_LOG_WARN = 2,
    MPEGTS_LOG_ERR = 3,
    MPEGTS_LOG_END = 4
};

/* printf-style; every format ends in a newline. */
typedef void (*mpegts_on_log_f)(void *ctx, enum mpegts_log_level level, const char *fmt, ...);

/* Process-wide; call once before threads use the library. A null hook
 * switches logging off; a non-null one is called at once with "Ready\n". */
MPEGTS_API int mpegts_set_on_log(mpegts_on_log_f hook, void *ctx) MPEGTS_NOEXCEPT;

MPEGTS_END_DECLS

#endif

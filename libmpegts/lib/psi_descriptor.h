/* Descriptors (ISO/IEC 13818-1 2.6): tag, length, data; and loops of them.
 * Loop walkers return only descriptors that lie whole inside the loop. */
#ifndef MPEGTS_PSI_DESCRIPTOR_H
#define MPEGTS_PSI_DESCRIPTOR_H

#include <stddef.h>
#include <stdint.h>

#include "mpegts_export.h"

MPEGTS_BEGIN_DECLS

typedef struct descriptor {
    uint8_t tag;
    uint8_t len; /* data bytes that follow */
} descriptor;

/* len + 2 */
MPEGTS_API int descriptor_get_size(const descriptor *d) MPEGTS_NOEXCEPT;
MPEGTS_API uint8_t *descriptor_get_data(const descriptor *d) MPEGTS_NOEXCEPT;
/* The first descriptor of the loop with the tag, or null. */
MPEGTS_API descriptor *descriptor_loop_find(const uint8_t *loop, size_t loop_len, uint8_t tag) MPEGTS_NOEXCEPT;
/* The first descriptor for a null current, else the one after current;
 * null at the loop's end or where a descriptor would run past it. */
MPEGTS_API descriptor *descriptor_loop_next(const uint8_t *loop, size_t loop_len,
                                            const descriptor *current) MPEGTS_NOEXCEPT;
/* Scrambling descriptor (ETSI EN 300 468 6.2.32): 0x65, 1, mode. */
MPEGTS_API int scrambling_descr_init(uint8_t *out, size_t room, uint8_t mode) MPEGTS_NOEXCEPT;
/* Its mode byte, or -1 when the tag is not 0x65 or it has no data. */
MPEGTS_API int scrambling_descr_get_mode(const descriptor *d) MPEGTS_NOEXCEPT;

MPEGTS_END_DECLS

#endif

/* The parameter-block family. Each block of chip settings is a plain
 * structure named "<tag>param" whose first member is its continuity
 * counter, and offers the same operations:
 *
 *   <name>_ctor()                     a zero-filled block, or null
 *   <name>_dtor(block)                frees it
 *   <name>_init(block, ...)           defaults (block-specific arguments); counter 1
 *   <name>_print(block, out)          one line per field, "\t<tag>_->FIELD: %u"
 *   <name>_to_bin(block, buf, len)    packs the chip image; its size in bytes,
 *                                     or -1 (buffer shorter than the image:
 *                                     nothing written)
 *   <name>_from_bin(block, buf, len)  unpacks a chip image; 0, or -1 when
 *                                     len is shorter than the image
 *   m30_print_<name>(buf, len)        prints an image to standard output
 *
 * A chip image is a sequence of 32-bit words stored little-endian (the
 * card's byte order) at byte offset 4 x word; word 0 is the counter. */
#ifndef M30_PARAM_BLOCK_H
#define M30_PARAM_BLOCK_H

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

#include "m30_export.h"

#define M30_PARAM_FAMILY_DECLS(name)                                                     \
    M30_API name *name##_ctor(void) M30_NOEXCEPT;                                        \
    M30_API void name##_dtor(name *b) M30_NOEXCEPT;                                      \
    M30_API int name##_print(const name *b, FILE *out) M30_NOEXCEPT;                     \
    M30_API int name##_to_bin(name *b, uint8_t *buf, size_t buflen) M30_NOEXCEPT;        \
    M30_API int name##_from_bin(name *b, const uint8_t *buf, size_t buflen) M30_NOEXCEPT; \
    M30_API int m30_print_##name(const uint8_t *buf_, size_t buflen_) M30_NOEXCEPT;

#endif

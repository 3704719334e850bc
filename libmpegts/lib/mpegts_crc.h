/* CRC-32/MPEG-2 of ISO/IEC 13818-1 Annex A: polynomial 0x04C11DB7, initial
 * value 0xFFFFFFFF, no reflection, no final XOR ("123456789" -> 0x0376E6E7). */
#ifndef MPEGTS_CRC_H
#define MPEGTS_CRC_H

#include <stddef.h>
#include <stdint.h>

#include "mpegts_export.h"

MPEGTS_BEGIN_DECLS

/* 0xFFFFFFFF for an empty buffer. */
MPEGTS_API uint32_t DvbCrc32Compute(const uint8_t *buf, size_t len) MPEGTS_NOEXCEPT;
/* 1 when the last four bytes (big-endian) are the CRC of the bytes before
 * them; 0 otherwise, and for a length below 4. */
MPEGTS_API int DvbCrc32Check(const uint8_t *buf, size_t len) MPEGTS_NOEXCEPT;

MPEGTS_END_DECLS

#endif

/* Bit fields of 8-, 16-, 32- and 64-bit words in memory.
 *
 * A field is len bits at offset, counted from the least significant bit of
 * the value. The plain forms read the word big-endian when the order flag is
 * set. The _smart forms, with is_netw set, read big-endian AND count the
 * offset from the most significant bit, the way the syntax tables of
 * ISO/IEC 13818-1 number fields; with is_netw clear they equal the plain
 * host-order form. The _smart_adv forms take a ready mask and shift.
 * An offset or length that leaves no bit inside the word reads 0 and writes
 * nothing; setters return 0. */
#ifndef MPEGTS_BITS_H
#define MPEGTS_BITS_H

#include <stdint.h>

#include "mpegts_export.h"

MPEGTS_BEGIN_DECLS

MPEGTS_API uint8_t get_bits_8(unsigned offset, unsigned len, const uint8_t *data) MPEGTS_NOEXCEPT;
MPEGTS_API uint16_t get_bits_16(unsigned offset, unsigned len, int to_host_order, const void *p) MPEGTS_NOEXCEPT;
MPEGTS_API uint32_t get_bits_32(unsigned offset, unsigned len, int to_host_order, const void *p) MPEGTS_NOEXCEPT;
MPEGTS_API uint64_t get_bits_64(unsigned offset, unsigned len, int to_host_order, const void *p) MPEGTS_NOEXCEPT;

MPEGTS_API uint16_t get_bits_16_smart(unsigned offset, unsigned len, int is_netw, const void *p) MPEGTS_NOEXCEPT;
MPEGTS_API uint32_t get_bits_32_smart(unsigned offset, unsigned len, int is_netw, const void *p) MPEGTS_NOEXCEPT;
MPEGTS_API uint64_t get_bits_64_smart(unsigned offset, unsigned len, int is_netw, const void *p) MPEGTS_NOEXCEPT;

MPEGTS_API uint16_t get_bits_16_smart_adv(uint16_t mask, unsigned shift, int is_netw, const void *p) MPEGTS_NOEXCEPT;
MPEGTS_API uint32_t get_bits_32_smart_adv(uint32_t mask, unsigned shift, int is_netw, const void *p) MPEGTS_NOEXCEPT;

MPEGTS_API int set_bits_8(unsigned offset, unsigned len, uint8_t value, uint8_t *data) MPEGTS_NOEXCEPT;
MPEGTS_API int set_bits_16(unsigned offset, unsigned len, int to_netw_order, uint16_t value, void *p) MPEGTS_NOEXCEPT;
MPEGTS_API int set_bits_32(unsigned offset, unsigned len, int to_netw_order, uint32_t value, void *p) MPEGTS_NOEXCEPT;
MPEGTS_API int set_bits_64(unsigned offset, unsigned len, int to_netw_order, uint64_t value, void *p) MPEGTS_NOEXCEPT;

MPEGTS_API int set_bits_16_smart(unsigned offset, unsigned len, int is_netw, void *p, uint16_t value) MPEGTS_NOEXCEPT;
MPEGTS_API int set_bits_32_smart(unsigned offset, unsigned len, int is_netw, void *p, uint32_t value) MPEGTS_NOEXCEPT;
MPEGTS_API int set_bits_64_smart(unsigned offset, unsigned len, int is_netw, void *p, uint64_t value) MPEGTS_NOEXCEPT;

MPEGTS_API int set_bits_32_smart_adv(uint32_t mask, unsigned shift, int is_netw, void *p, uint32_t value) MPEGTS_NOEXCEPT;

MPEGTS_END_DECLS

#endif

// Internal helpers of the MPEG-TS library: byte order, bit fields, payload
// location and the log hook. Not installed, not exported.
#pragma once

#include <atomic>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>

#include "mpegts_log.h"

namespace mpegts {

inline uint16_t be16(const uint8_t *p) { return uint16_t(p[0] << 8 | p[1]); }
inline uint32_t be32(const uint8_t *p)
{
    return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
}
inline void put_be16(uint8_t *p, uint16_t v)
{
    p[0] = uint8_t(v >> 8);
    p[1] = uint8_t(v);
}
inline void put_be32(uint8_t *p, uint32_t v)
{
    p[0] = uint8_t(v >> 24);
    p[1] = uint8_t(v >> 16);
    p[2] = uint8_t(v >> 8);
    p[3] = uint8_t(v);
}

// A word of type W read from or written to memory, big-endian when `big`.
// memcpy keeps any alignment legal; the swap makes the byte order explicit.
template <typename W> W swap_bytes(W w)
{
    if constexpr (sizeof(W) == 1)
        return w;
    else if constexpr (sizeof(W) == 2)
        return W(__builtin_bswap16(w));
    else if constexpr (sizeof(W) == 4)
        return W(__builtin_bswap32(w));
    else
        return W(__builtin_bswap64(w));
}
template <typename W> W load(const void *p, bool big)
{
    W w;
    std::memcpy(&w, p, sizeof w);
    if constexpr (std::endian::native == std::endian::little)
        return big ? swap_bytes(w) : w;
    else
        return w;
}
template <typename W> void store(void *p, bool big, W w)
{
    if constexpr (std::endian::native == std::endian::little)
        w = big ? swap_bytes(w) : w;
    std::memcpy(p, &w, sizeof w);
}

template <typename W> constexpr unsigned width = sizeof(W) * 8;

// len low bits set; all bits for len >= width.
template <typename W> constexpr W low_mask(unsigned len)
{
    return len >= width<W> ? W(~W(0)) : W((W(1) << len) - 1);
}

// Field mask at a low-bit offset, clipped to the word; 0 when no bit is left.
template <typename W> constexpr W field_mask(unsigned offset, unsigned len)
{
    if (len == 0 || offset >= width<W>)
        return 0;
    return W(low_mask<W>(len) << offset);
}

// Offset counted from the most significant bit (syntax-table numbering)
// turned into a low-bit offset, the length clipped to the word.
template <typename W> constexpr void msb_to_lsb(unsigned &offset, unsigned &len)
{
    if (offset >= width<W> || len == 0) {
        len = 0;
        return;
    }
    if (len > width<W> - offset)
        len = width<W> - offset;
    offset = width<W> - offset - len;
}

template <typename W> W get_field(const void *p, bool big, W mask, unsigned shift)
{
    if (shift >= width<W>)
        return 0;
    return W((load<W>(p, big) & mask) >> shift);
}
template <typename W> void set_field(void *p, bool big, W mask, unsigned shift, W value)
{
    if (shift >= width<W> || mask == 0)
        return;
    W w = load<W>(p, big);
    w = W((w & W(~mask)) | (W(value << shift) & mask));
    store<W>(p, big, w);
}

// Packet layout (ISO/IEC 13818-1 2.4.3.2).
inline uint8_t afc(const uint8_t *pkt) { return uint8_t((pkt[3] >> 4) & 3); }
inline bool has_payload(const uint8_t *pkt) { return afc(pkt) & 1; }
inline bool pusi(const uint8_t *pkt) { return pkt[1] & 0x40; }
inline uint16_t pid_of(const uint8_t *pkt) { return uint16_t((pkt[1] & 0x1F) << 8 | pkt[2]); }
inline uint8_t cc_of(const uint8_t *pkt) { return pkt[3] & 0x0F; }

// The payload after the adaptation field. Returns false when the adaptation
// field claims more than the packet holds; a packet without payload gives
// an empty span.
inline bool payload_of(const uint8_t *pkt, const uint8_t **data, size_t *len)
{
    const uint8_t *p = pkt + 4;
    size_t n = 184;
    *data = p;
    *len = 0;
    if (!has_payload(pkt))
        return true;
    if (afc(pkt) == 3) {
        size_t skip = size_t(p[0]) + 1;
        if (skip > n)
            return false;
        p += skip;
        n -= skip;
    }
    *data = p;
    *len = n;
    return true;
}

extern std::atomic<mpegts_on_log_f> log_hook;
extern std::atomic<void *> log_ctx;

} // namespace mpegts

// Library messages go to the user's hook; nothing is formatted without one.
#define MPEGTS_LOG(level, ...)                                                          \
    do {                                                                                \
        mpegts_on_log_f hook_ = ::mpegts::log_hook.load(std::memory_order_acquire);     \
        if (hook_)                                                                      \
            hook_(::mpegts::log_ctx.load(std::memory_order_relaxed), level, __VA_ARGS__); \
    } while (0)

struct tsPkt;

namespace mpegts {

// A section header viewed as bytes; every PSI accessor goes through these.
template <typename T> inline const uint8_t *sec(const T *s) { return reinterpret_cast<const uint8_t *>(s); }
template <typename T> inline uint8_t *sec(T *s) { return reinterpret_cast<uint8_t *>(s); }
inline unsigned section_length(const uint8_t *s) { return be16(s + 1) & 0x0FFFu; }
inline void set_section_length(uint8_t *s, unsigned len)
{
    put_be16(s + 1, uint16_t((be16(s + 1) & 0xF000u) | (len & 0x0FFFu)));
}
inline size_t complete_length(const uint8_t *s) { return section_length(s) + 3u; }

// A fresh long-form header: syntax 1, '0', reserved bits '11', current,
// section 0 of 0.
inline void write_header(uint8_t *s, uint8_t table_id, unsigned section_length, uint16_t extension, uint8_t version)
{
    s[0] = table_id;
    put_be16(s + 1, uint16_t(0xB000 | (section_length & 0x0FFF)));
    put_be16(s + 3, extension);
    s[5] = uint8_t(0xC1 | (version & 31) << 1);
    s[6] = 0;
    s[7] = 0;
}

// The section that starts at payload byte 1 + pointer_field of a PUSI
// packet without adaptation field, when it lies whole in the packet.
uint8_t *locate_section(tsPkt *pkt);

template <typename T> int locate_table(tsPkt *pkt, T **out)
{
    uint8_t *s = locate_section(pkt);
    if (!s || !out)
        return -1;
    *out = reinterpret_cast<T *>(s);
    return 0;
}

} // namespace mpegts

// Helpers shared by the ATSC PSIP tables (ATSC A/65): in-place bit fields
// whose reserved bits are written as ones, the growth of a section in its
// buffer, and a bounded reader for the walks over sections from a wire.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "byte_reader.h"
#include "mpegts_internal.h"
#include "psi_section.h"

namespace mpegts::psip {

// Complete section sizes A/65 allows: section_length at most 1021 for the
// STT, VCT and RRT, 4093 for the MGT and EIT.
constexpr size_t kMaxShort = 1021 + 3;
constexpr size_t kMaxLong = 4093 + 3;

// A field of a big-endian 16- or 32-bit word: other bits kept, the bits of
// `ones` (the field's reserved neighbours) set.
inline unsigned get16(const uint8_t *p, uint16_t mask, unsigned shift) { return unsigned(be16(p) & mask) >> shift; }
inline void set16(uint8_t *p, uint16_t mask, unsigned shift, unsigned v, uint16_t ones = 0)
{
    put_be16(p, uint16_t((be16(p) & ~mask) | ((v << shift) & mask) | ones));
}
inline uint32_t get32(const uint8_t *p, uint32_t mask, unsigned shift) { return (be32(p) & mask) >> shift; }
inline void set32(uint8_t *p, uint32_t mask, unsigned shift, uint32_t v, uint32_t ones = 0)
{
    put_be32(p, (be32(p) & ~mask) | ((v << shift) & mask) | ones);
}

// One accessor per field, each one line over these: the field's bytes
// (null for a null record) read as 0, or written (-1 for null, else 0)
// keeping the other bits of the word and setting `ones`.
#define PSIP_AT(rec, member) ((rec) ? (rec)->member : nullptr)
#define PSIP_BYTE_AT(rec, member) ((rec) ? &(rec)->member : nullptr)
// Fields of a table's fixed part, read only when the section holds it.
#define PSIP_FIXED_AT(rec, member) (::mpegts::psip::whole(rec) ? (rec)->member : nullptr)
#define PSIP_FIXED_BYTE_AT(rec, member) (::mpegts::psip::whole(rec) ? &(rec)->member : nullptr)

inline unsigned rd8(const uint8_t *p, uint8_t mask = 0xFF, unsigned shift = 0)
{
    return p ? unsigned(*p & mask) >> shift : 0;
}
inline unsigned rd16(const uint8_t *p, uint16_t mask = 0xFFFF, unsigned shift = 0)
{
    return p ? get16(p, mask, shift) : 0;
}
inline uint32_t rd32(const uint8_t *p, uint32_t mask = 0xFFFFFFFF, unsigned shift = 0)
{
    return p ? get32(p, mask, shift) : 0;
}
inline int wr8(uint8_t *p, unsigned v, uint8_t mask = 0xFF, unsigned shift = 0, uint8_t ones = 0)
{
    if (!p)
        return -1;
    *p = uint8_t((*p & ~mask) | ((v << shift) & mask) | ones);
    return 0;
}
inline int wr16(uint8_t *p, unsigned v, uint16_t mask = 0xFFFF, unsigned shift = 0, uint16_t ones = 0)
{
    if (!p)
        return -1;
    set16(p, mask, shift, v, ones);
    return 0;
}
inline int wr32(uint8_t *p, uint32_t v, uint32_t mask = 0xFFFFFFFF, unsigned shift = 0, uint32_t ones = 0)
{
    if (!p)
        return -1;
    set32(p, mask, shift, v, ones);
    return 0;
}

// The long-form header of every PSIP table: private_indicator 1 (A/65
// 6.2), reserved bits set, current, section 0 of 0; then protocol_version 0.
inline void write_psip_header(uint8_t *s, uint8_t table_id, unsigned section_length, uint16_t extension,
                              uint8_t version)
{
    write_header(s, table_id, section_length, extension, version);
    s[1] |= 0x40;
    s[8] = 0;
}

// Where the CRC stands: the end of the section's body.
inline size_t body_end(const uint8_t *s) { return complete_length(s) - 4; }

// Whether a table's section holds its fixed fields before the CRC: getters
// of those fields answer 0 otherwise, so that a short section from a wire
// is never read past its end.
template <typename T> bool whole(const T *t)
{
    return t && section_length(sec(t)) >= 4 && body_end(sec(t)) >= sizeof(T);
}

// Replaces the old_n bytes at off by n bytes from src (src may be null to
// leave the gap for the caller), moving the rest of the body up to the CRC
// position and adjusting section_length. Refused, nothing changed, when off
// lies outside the body or the section would outgrow `max` bytes. The CRC
// is left stale.
inline bool splice(uint8_t *s, size_t off, size_t old_n, const uint8_t *src, size_t n, size_t max)
{
    if (section_length(s) < 4)
        return false;
    size_t end = body_end(s);
    if (off > end || old_n > end - off || complete_length(s) - old_n + n > max)
        return false;
    std::memmove(s + off + n, s + off + old_n, end - off - old_n);
    if (src && n)
        std::memcpy(s + off, src, n);
    set_section_length(s, unsigned(section_length(s) - old_n + n));
    return true;
}

using reader = byte_reader;

// A reader over the body of a section (after the fixed fields at `from`,
// up to the CRC); bad for a section too short for its own fixed part.
inline reader body_reader(const uint8_t *s, size_t from)
{
    if (section_length(s) < 4 || body_end(s) < from)
        return {s, 0, true};
    return {s + from, body_end(s) - from};
}

// A loop of n items, each `fixed` bytes whose last two hold (under `mask`)
// the length of the descriptors that follow the item: MGT entries, VCT
// channels.
struct item_loop {
    size_t first;
    unsigned n;
    size_t fixed;
    uint16_t mask;
};

// The offset after `count` items (all of them for count < 0), or 0 when one
// does not lie whole inside the body.
inline size_t loop_walk(const uint8_t *s, const item_loop &l, int count)
{
    reader r = body_reader(s, l.first);
    for (unsigned i = 0; i < l.n && (count < 0 || int(i) < count); ++i) {
        r.skip(l.fixed - 2);
        r.skip(r.u16() & l.mask);
    }
    return r.bad ? 0 : size_t(r.p - s);
}

// The item at index when it and those before it lie whole inside the body.
inline uint8_t *loop_item(const uint8_t *s, const item_loop &l, int index)
{
    if (index < 0 || unsigned(index) >= l.n)
        return nullptr;
    size_t at = loop_walk(s, l, index);
    if (at == 0 || loop_walk(s, l, index + 1) == 0)
        return nullptr;
    return const_cast<uint8_t *>(s + at);
}

// The two-byte length field after the last item, when inside the body.
inline uint8_t *loop_tail(const uint8_t *s, const item_loop &l)
{
    size_t at = loop_walk(s, l, -1);
    if (at == 0 || at + 2 > body_end(s))
        return nullptr;
    return const_cast<uint8_t *>(s + at);
}

// Size of a multiple string structure that lies whole in the reader's next
// bytes (consumed); the reader goes bad otherwise.
size_t ms_walk(reader &r);

} // namespace mpegts::psip

// Setters of the PSIP tables answer -1 for a null table.
#define PSIP_NULL_GUARD(p)                                                                                             \
    do {                                                                                                               \
        if (!(p))                                                                                                      \
            return -1;                                                                                                 \
    } while (0)

// The engine behind every parameter block: one descriptor table per block
// drives packing, unpacking and printing, so a block's source holds only its
// structure's layout in the chip image, its defaults and its accessors.
#pragma once

#include "m30.h"
#include "m30_param_block.h"

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <span>
#include <type_traits>

namespace m30pb {

// One chip field: a host member (1, 2 or 4 bytes at `offset`) and the bit
// range hi..lo of image word `word` that it occupies.
struct field {
    const char *name;
    uint16_t offset;
    uint8_t size;
    uint8_t word;
    uint8_t hi;
    uint8_t lo;
};

struct block {
    const char *struct_name; // "cparam": the printer's first line
    const char *tag;         // "c": the printer's "\tc_->" prefix
    size_t struct_size;
    size_t image_bytes;
    std::span<const field> fields; // structure order, which is also print order; counter first
    bool cc_advances_on_pack = false; // the structure's counter goes up after each pack
    bool from_bin_skips_cc = false;   // unpacking leaves the counter at 0
};

// A table is sound when every field fits its member and the image, no two
// fields share a bit, and the counter (word 0, all 32 bits) comes first.
consteval bool valid(std::span<const field> f, size_t image_bytes)
{
    if (f.empty() || f[0].word != 0 || f[0].hi != 31 || f[0].lo != 0 || f[0].size != 4)
        return false;
    for (size_t i = 0; i < f.size(); ++i) {
        const field &a = f[i];
        if (a.hi < a.lo || a.hi > 31 || (a.word + 1u) * 4u > image_bytes)
            return false;
        if (a.hi - a.lo + 1 > a.size * 8 || (a.size != 1 && a.size != 2 && a.size != 4))
            return false;
        for (size_t j = i + 1; j < f.size(); ++j) {
            const field &b = f[j];
            if (a.word == b.word && !(a.hi < b.lo || b.hi < a.lo))
                return false;
            if (a.offset == b.offset)
                return false;
        }
    }
    return true;
}

void *ctor(const block &d) noexcept;
void dtor(void *b) noexcept;
int to_bin(const block &d, void *b, uint8_t *buf, size_t buflen) noexcept;
int from_bin(const block &d, void *b, const uint8_t *buf, size_t buflen) noexcept;
int print(const block &d, const void *b, FILE *out) noexcept;
// ctor, from_bin, print to standard output, dtor.
int print_image(const block &d, const uint8_t *buf, size_t buflen) noexcept;

// The value of a field's host member, zero-extended.
uint32_t member_get(const void *b, const field &f) noexcept;

// Little-endian image words (the card's byte order).
uint32_t get_word(const uint8_t *image, size_t word) noexcept;
void put_word(uint8_t *image, size_t word, uint32_t v) noexcept;

// The audio firmware identifier of an audio resource (0 to 3) in a mode:
// (0x400000 >> resource) | (mode + 1), with 0x80 for decoding; 0 outside
// those ranges.
uint32_t audio_firm_id(unsigned audio_idx, m30_audio_mode mode, bool is_encode) noexcept;

// Starts a block's defaults: every field 0, the counter 1. False (errno
// EINVAL) for a null block.
template <class B>
bool fresh(B *b, uint32_t B::*cc) noexcept
{
    if (!b) {
        errno = EINVAL;
        return false;
    }
    std::memset(b, 0, sizeof *b);
    b->*cc = 1;
    return true;
}

// Stores a value's low bits in one member; -1 (errno EINVAL) for a null block.
template <class B, class M, class V>
int store(B *b, M B::*m, V v) noexcept
{
    if (!b)
        return errno = EINVAL, -1;
    b->*m = static_cast<M>(v);
    return 0;
}

} // namespace m30pb

#define M30_FIELD(type, member, word, hi, lo)                                                     \
    m30pb::field                                                                                  \
    {                                                                                             \
        #member, static_cast<uint16_t>(offsetof(type, member)),                                   \
            static_cast<uint8_t>(sizeof(type::member)), word, hi, lo                              \
    }

// The family operations of one block over its descriptor.
#define M30_PARAM_FAMILY(name, desc)                                                              \
    static_assert(std::is_standard_layout_v<name>);                                               \
    extern "C" {                                                                                  \
    M30_API name *name##_ctor(void) noexcept { return static_cast<name *>(m30pb::ctor(desc)); }  \
    M30_API void name##_dtor(name *b) noexcept { m30pb::dtor(b); }                                \
    M30_API int name##_print(const name *b, FILE *out) noexcept { return m30pb::print(desc, b, out); } \
    M30_API int name##_to_bin(name *b, uint8_t *buf, size_t buflen) noexcept                      \
    {                                                                                             \
        return m30pb::to_bin(desc, b, buf, buflen);                                               \
    }                                                                                             \
    M30_API int name##_from_bin(name *b, const uint8_t *buf, size_t buflen) noexcept              \
    {                                                                                             \
        return m30pb::from_bin(desc, b, buf, buflen);                                             \
    }                                                                                             \
    M30_API int m30_print_##name(const uint8_t *buf_, size_t buflen_) noexcept                    \
    {                                                                                             \
        return m30pb::print_image(desc, buf_, buflen_);                                           \
    }                                                                                             \
    }

// Packing and unpacking of parameter blocks over their descriptor tables.
#include "param_block.hpp"

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace m30pb {

uint32_t member_get(const void *b, const field &f) noexcept
{
    const auto *p = static_cast<const uint8_t *>(b) + f.offset;
    switch (f.size) {
    case 1: return *p;
    case 2: { uint16_t v; std::memcpy(&v, p, 2); return v; }
    default: { uint32_t v; std::memcpy(&v, p, 4); return v; }
    }
}

namespace {

void member_set(void *b, const field &f, uint32_t v)
{
    auto *p = static_cast<uint8_t *>(b) + f.offset;
    switch (f.size) {
    case 1: *p = static_cast<uint8_t>(v); break;
    case 2: { auto w = static_cast<uint16_t>(v); std::memcpy(p, &w, 2); break; }
    default: std::memcpy(p, &v, 4); break;
    }
}

uint32_t mask_of(const field &f)
{
    unsigned width = f.hi - f.lo + 1u;
    return width >= 32 ? 0xFFFFFFFFu : ((1u << width) - 1u);
}

} // namespace

uint32_t get_word(const uint8_t *image, size_t word) noexcept
{
    const uint8_t *p = image + 4 * word;
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

void put_word(uint8_t *image, size_t word, uint32_t v) noexcept
{
    uint8_t *p = image + 4 * word;
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
    p[2] = uint8_t(v >> 16);
    p[3] = uint8_t(v >> 24);
}

void *ctor(const block &d) noexcept { return std::calloc(1, d.struct_size); }

void dtor(void *b) noexcept { std::free(b); }

int to_bin(const block &d, void *b, uint8_t *buf, size_t buflen) noexcept
{
    // Every block refuses a short buffer and writes nothing: no block may
    // write past the length it was given.
    if (!b || !buf || buflen < d.image_bytes) {
        errno = EINVAL;
        return -1;
    }
    std::memset(buf, 0, d.image_bytes);
    for (const field &f : d.fields) {
        // A value wider than its field keeps only its low bits; neighbours
        // in the same word are preserved.
        uint32_t m = mask_of(f);
        uint32_t w = get_word(buf, f.word) & ~(m << f.lo);
        put_word(buf, f.word, w | (member_get(b, f) & m) << f.lo);
    }
    if (d.cc_advances_on_pack)
        member_set(b, d.fields[0], member_get(b, d.fields[0]) + 1);
    return static_cast<int>(d.image_bytes);
}

int from_bin(const block &d, void *b, const uint8_t *buf, size_t buflen) noexcept
{
    if (!b)
        return errno = EINVAL, -1;
    std::memset(b, 0, d.struct_size);
    // An image shorter than the block is refused rather than read past its end.
    if (!buf || buflen < d.image_bytes)
        return errno = EINVAL, -1;
    for (size_t i = d.from_bin_skips_cc ? 1 : 0; i < d.fields.size(); ++i) {
        const field &f = d.fields[i];
        member_set(b, f, (get_word(buf, f.word) >> f.lo) & mask_of(f));
    }
    return 0;
}

uint32_t audio_firm_id(unsigned audio_idx, m30_audio_mode mode, bool is_encode) noexcept
{
    if (audio_idx > 3 || static_cast<unsigned>(mode) > M30_AUDIO_MODE_MPEG1_L2)
        return 0;
    uint32_t id = (0x400000u >> audio_idx) | (static_cast<uint32_t>(mode) + 1u);
    return is_encode ? id : id | 0x80u;
}

} // namespace m30pb

// Helpers shared by the encode-side parameter blocks. Most blocks use the
// common family engine as is; the two whose host structure carries more
// than the image (the MPEG-2 encoder's quantiser matrices, the
// multiplexer's sections) pack with one field table, print with another and
// may copy extra words after the fields.
#pragma once

#include "../param_block.hpp"

#include <array>
#include <cstddef>
#include <cstdint>

namespace m30enc {

struct block {
    const m30pb::block &pack;  // the fields of the image, and the counter rules
    const m30pb::block &print; // the fields that print shows, in print order
    // Called after the fields are packed or unpacked; the image holds at
    // least pack.image_bytes.
    void (*after_pack)(const void *b, uint8_t *image) noexcept = nullptr;
    void (*after_unpack)(void *b, const uint8_t *image) noexcept = nullptr;
};

int to_bin(const block &d, void *b, uint8_t *buf, size_t buflen) noexcept;
int from_bin(const block &d, void *b, const uint8_t *buf, size_t buflen) noexcept;
int print_image(const block &d, const uint8_t *buf, size_t buflen) noexcept;

// A print table: the image fields followed by host-only members.
template <size_t N, size_t M>
consteval std::array<m30pb::field, N + M> join(const m30pb::field (&a)[N], const m30pb::field (&b)[M])
{
    std::array<m30pb::field, N + M> out{};
    for (size_t i = 0; i < N; ++i)
        out[i] = a[i];
    for (size_t i = 0; i < M; ++i)
        out[N + i] = b[i];
    return out;
}

// 16-bit round-up to a multiple of 16 (macroblock / coding-block grid).
constexpr uint16_t align16(unsigned v) { return static_cast<uint16_t>((v + 15u) & ~15u); }

// Enables mask of up to four streams: above 14 means all four.
constexpr uint8_t four_stream_mask(uint8_t m) { return m > 14 ? 15 : m; }

} // namespace m30enc

// A host-only member listed for printing; it has no place in the image.
#define M30_HOST_FIELD(type, member) M30_FIELD(type, member, 0, 31, 0)

#define M30_ENC_FAMILY(name, desc)                                                                \
    static_assert(std::is_standard_layout_v<name>);                                               \
    extern "C" {                                                                                  \
    M30_API name *name##_ctor(void) noexcept { return static_cast<name *>(m30pb::ctor((desc).pack)); } \
    M30_API void name##_dtor(name *b) noexcept { m30pb::dtor(b); }                                \
    M30_API int name##_print(const name *b, FILE *out) noexcept                                   \
    {                                                                                             \
        return m30pb::print((desc).print, b, out);                                                \
    }                                                                                             \
    M30_API int name##_to_bin(name *b, uint8_t *buf, size_t buflen) noexcept                      \
    {                                                                                             \
        return m30enc::to_bin(desc, b, buf, buflen);                                              \
    }                                                                                             \
    M30_API int name##_from_bin(name *b, const uint8_t *buf, size_t buflen) noexcept              \
    {                                                                                             \
        return m30enc::from_bin(desc, b, buf, buflen);                                            \
    }                                                                                             \
    M30_API int m30_print_##name(const uint8_t *buf_, size_t buflen_) noexcept                    \
    {                                                                                             \
        return m30enc::print_image(desc, buf_, buflen_);                                          \
    }                                                                                             \
    }

// Descriptor loops (ISO/IEC 13818-1 2.6). A descriptor is returned only when
// its header and all its data lie inside the loop.
#include "psi_descriptor.h"

#include "mpegts_internal.h"

namespace {

descriptor *at(const uint8_t *loop, size_t len, size_t off)
{
    if (off + 2 > len || off + 2 + loop[off + 1] > len)
        return nullptr;
    return reinterpret_cast<descriptor *>(const_cast<uint8_t *>(loop + off));
}

} // namespace

extern "C" {

MPEGTS_API int descriptor_get_size(const descriptor *d) noexcept { return d->len + 2; }

MPEGTS_API uint8_t *descriptor_get_data(const descriptor *d) noexcept
{
    return const_cast<uint8_t *>(reinterpret_cast<const uint8_t *>(d) + 2);
}

MPEGTS_API descriptor *descriptor_loop_next(const uint8_t *loop, size_t loop_len, const descriptor *current) noexcept
{
    if (!loop)
        return nullptr;
    if (!current)
        return at(loop, loop_len, 0);
    const auto *c = reinterpret_cast<const uint8_t *>(current);
    if (c < loop || c >= loop + loop_len)
        return nullptr;
    return at(loop, loop_len, size_t(c - loop) + 2 + current->len);
}

MPEGTS_API descriptor *descriptor_loop_find(const uint8_t *loop, size_t loop_len, uint8_t tag) noexcept
{
    for (descriptor *d = descriptor_loop_next(loop, loop_len, nullptr); d; d = descriptor_loop_next(loop, loop_len, d))
        if (d->tag == tag)
            return d;
    return nullptr;
}

MPEGTS_API int scrambling_descr_init(uint8_t *out, size_t room, uint8_t mode) noexcept
{
    if (!out || room < 3)
        return -1;
    out[0] = 0x65;
    out[1] = 1;
    out[2] = mode;
    return 0;
}

MPEGTS_API int scrambling_descr_get_mode(const descriptor *d) noexcept
{
    if (!d || d->tag != 0x65 || d->len < 1)
        return -1;
    return descriptor_get_data(d)[0];
}

} // extern "C"

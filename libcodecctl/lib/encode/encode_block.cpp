// Packing, unpacking and printing of the encode blocks whose structure
// carries more than their image.
#include "encode_block.hpp"

#include <cerrno>
#include <memory>

namespace m30enc {

int to_bin(const block &d, void *b, uint8_t *buf, size_t buflen) noexcept
{
    int n = m30pb::to_bin(d.pack, b, buf, buflen);
    if (n >= 0 && d.after_pack)
        d.after_pack(b, buf);
    return n;
}

int from_bin(const block &d, void *b, const uint8_t *buf, size_t buflen) noexcept
{
    int rc = m30pb::from_bin(d.pack, b, buf, buflen);
    if (rc == 0 && d.after_unpack)
        d.after_unpack(b, buf);
    return rc;
}

int print_image(const block &d, const uint8_t *buf, size_t buflen) noexcept
{
    std::unique_ptr<void, void (*)(void *)> b(m30pb::ctor(d.pack), m30pb::dtor);
    if (!b)
        return errno = ENOMEM, -1;
    if (from_bin(d, b.get(), buf, buflen) != 0)
        return -1;
    int rc = m30pb::print(d.print, b.get(), stdout);
    std::fflush(stdout);
    return rc;
}

} // namespace m30enc

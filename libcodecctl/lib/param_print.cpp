// Text form of parameter blocks (kept apart from packing so that code on
// the chip's data path never pulls in stdio).
#include "param_block.hpp"

#include <cerrno>
#include <memory>

namespace m30pb {

int print(const block &d, const void *b, FILE *out) noexcept
{
    if (!b || !out)
        return errno = EINVAL, -1;
    std::fprintf(out, "%s:\n", d.struct_name);
    for (const field &f : d.fields)
        std::fprintf(out, "\t%s_->%s: %u\n", d.tag, f.name, member_get(b, f));
    return 0;
}

int print_image(const block &d, const uint8_t *buf, size_t buflen) noexcept
{
    std::unique_ptr<void, void (*)(void *)> b(ctor(d), dtor);
    if (!b)
        return errno = ENOMEM, -1;
    if (from_bin(d, b.get(), buf, buflen) != 0)
        return -1;
    int rc = print(d, b.get(), stdout);
    std::fflush(stdout);
    return rc;
}

} // namespace m30pb

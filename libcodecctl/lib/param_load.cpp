// Transfer of parameter blocks into the chip's parameter area. Word 0 of a
// block is its change counter: the data words are written first, then the
// next counter value, and the chip echoes the counter once it has taken
// the block.
#include "m30_internal.h"

#include "param_block.hpp"

#include <cerrno>

int write_param_block(int fd_, uint32_t base_addr_, const uint8_t *start_, const uint8_t *end_) noexcept
{
    size_t words = (start_ && end_ > start_) ? static_cast<size_t>(end_ - start_) / 4 : 0;
    for (size_t w = 1; w < words; ++w)
        sreg(fd_, base_addr_ + static_cast<uint32_t>(4 * w), m30pb::get_word(start_, w));
    return 0;
}

int cc_handshake(int fd_, uint32_t addr_, uint32_t cc_next_) noexcept
{
    if (sregp(fd_, addr_, &cc_next_) < 0)
        return -1;
    for (int i = 0; i < M30_CC_HANDSHAKE_READS; ++i)
        if (greg(fd_, addr_) == cc_next_)
            return 0;
    errno = ETIMEDOUT;
    return -1;
}

int m30_load_param_block(m30_context *m30, int chip_id, uint32_t base, const char *tag, int dump_index,
                         const uint8_t *image, size_t len) noexcept
{
    if (!m30 || m30->driver_control < 0 || chip_id < 0 || !image)
        return errno = EINVAL, -1;
    int fd = m30->driver_control;
    uint32_t old_cc = greg(fd, base);
    debug_write_bin(tag, dump_index, image, len);
    write_param_block(fd, base, image, image + len);
    return cc_handshake(fd, base, old_cc + 1);
}

int m30_load_params_c(m30_context *m30_, const uint8_t *buf_, size_t len_) noexcept
{
    return m30_load_param_block(m30_, 0, M30_PARAM_AREA_BASE, "c", 0, buf_, len_);
}

extern "C" M30_API int m30_clear_param_area(m30_context *m30_) noexcept
{
    if (!m30_ || m30_->driver_control < 0)
        return errno = EINVAL, -1;
    int fd = m30_->driver_control;
    uint32_t old_cc = greg(fd, M30_PARAM_AREA_BASE);
    // An encoder's blank parameter memory reads all ones, a decoder's zero.
    uint32_t fill = m30_->is_encode ? 0xFFFFFFFFu : 0u;
    for (uint32_t a = M30_PARAM_AREA_BASE + 4; a < M30_PARAM_AREA_BASE + M30_PARAM_AREA_SIZE; a += 4)
        sreg(fd, a, fill);
    return cc_handshake(fd, M30_PARAM_AREA_BASE, old_cc + 1);
}

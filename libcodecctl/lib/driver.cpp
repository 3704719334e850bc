// Register access, input and output switching, and message notification.
#include "m30_internal.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

uint32_t greg(int fmb_fd, uint32_t offset) noexcept
{
    uint32_t val = 0;
    fmb_reg_info info{1, offset, &val};
    errno = 0;
    if (m30_drv_ioctl(fmb_fd, FMB_API_GET_REG, &info) < 0) {
        std::fprintf(stderr, "Failed ioctl to get register: %s\n", std::strerror(errno));
        return 0;
    }
    return val;
}

int sregp(int fmb_fd, uint32_t offset, const uint32_t *val) noexcept
{
    fmb_reg_info info{1, offset, const_cast<uint32_t *>(val)};
    int rc = m30_drv_ioctl(fmb_fd, FMB_API_SET_REG, &info);
    if (rc < 0) {
        std::fprintf(stderr, "Failed ioctl to set register: %s\n", std::strerror(errno));
        return -1;
    }
    return rc;
}

int sreg(int fmb_fd, uint32_t offset, uint32_t val) noexcept { return sregp(fmb_fd, offset, &val); }

m30_input_state m30_get_input_state(const m30_context *m30, int chip_id) noexcept
{
    if (chip_id < 0)
        return M30_INPUT_STATE_INVALID;
    uint32_t v = greg(m30->driver_control, M30_REG_INPUT_STATE(chip_id));
    return v == M30_INPUT_STATE_STOP || v == M30_INPUT_STATE_START ? static_cast<m30_input_state>(v)
                                                                   : M30_INPUT_STATE_INVALID;
}

m30_output_state m30_get_output_state(const m30_context *m30, int chip_id) noexcept
{
    if (chip_id < 0)
        return M30_OUTPUT_STATE_INVALID;
    uint32_t v = greg(m30->driver_control, M30_REG_OUTPUT_STATE(chip_id));
    return v >= M30_OUTPUT_STATE_STOP && v <= M30_OUTPUT_STATE_READY_TO_STOP
               ? static_cast<m30_output_state>(v)
               : M30_OUTPUT_STATE_INVALID;
}

namespace {

bool switchable(const m30_context *m30, int chip_id)
{
    if (!m30 || m30->driver_control < 0 || chip_id < 0) {
        errno = EINVAL;
        return false;
    }
    return true;
}

int set_input(m30_context *m30, int chip_id, m30_input_state state)
{
    if (!switchable(m30, chip_id))
        return -1;
    if (m30_get_input_state(m30, chip_id) == state)
        return 0;
    fmb_input_id_state_info info{static_cast<uint32_t>(state), static_cast<uint32_t>(chip_id), 0};
    return m30_drv_ioctl(m30->driver_control, FMB_API_INPUT_STATE, &info);
}

int set_output(m30_context *m30, int chip_id, m30_output_state state, bool skip_when_there)
{
    if (!switchable(m30, chip_id))
        return -1;
    if (skip_when_there && m30_get_output_state(m30, chip_id) == state)
        return 0;
    // The output mask has one bit per output; ids past the mask select none.
    uint32_t bits = chip_id < 32 ? 1u << chip_id : 0u;
    fmb_output_id_state_info info{static_cast<uint32_t>(state), bits, 0};
    return m30_drv_ioctl(m30->driver_control, FMB_API_OUTPUT_STATE, &info);
}

} // namespace

int m30_input_start(m30_context *m30, int chip_id) noexcept
{
    return set_input(m30, chip_id, M30_INPUT_STATE_START);
}

int m30_input_stop(m30_context *m30, int chip_id) noexcept
{
    return set_input(m30, chip_id, M30_INPUT_STATE_STOP);
}

int m30_output_start(m30_context *m30, int chip_id) noexcept
{
    return set_output(m30, chip_id, M30_OUTPUT_STATE_START, true);
}

// The callers walk the output down themselves and decide from the state they
// read whether to send these.
int m30_output_ready_to_stop(m30_context *m30, int chip_id) noexcept
{
    return set_output(m30, chip_id, M30_OUTPUT_STATE_READY_TO_STOP, false);
}

int m30_output_stop(m30_context *m30, int chip_id) noexcept
{
    return set_output(m30, chip_id, M30_OUTPUT_STATE_STOP, false);
}

int m30_msg_enable_bits(int fd, uint32_t enable_reg, uint32_t bits, bool on) noexcept
{
    if (fd < 0)
        return errno = EINVAL, -1;
    uint32_t v = greg(fd, enable_reg);
    return sreg(fd, enable_reg, on ? v | bits : v & ~bits) < 0 ? -1 : 0;
}

int m30_msg_notify_enable(m30_context *m30, int event_fd, fmb_message_target target, uint32_t target_id,
                          uint32_t enable_reg, uint32_t bits) noexcept
{
    if (!m30 || m30->driver_control < 0)
        return errno = EINVAL, -1;
    fmb_enable_message_notification_info info{event_fd, target, target_id};
    if (m30_drv_ioctl(m30->driver_control, FMB_API_ENABLE_MESSAGE_NOTIFICATION, &info) < 0)
        return -1;
    return m30_msg_enable_bits(m30->driver_control, enable_reg, bits, true);
}

int m30_msg_notify_disable(m30_context *m30, fmb_message_target target, uint32_t target_id,
                           uint32_t enable_reg, uint32_t bits) noexcept
{
    if (!m30 || m30->driver_control < 0)
        return errno = EINVAL, -1;
    fmb_disable_message_notification_info info{target, target_id};
    if (m30_drv_ioctl(m30->driver_control, FMB_API_DISABLE_MESSAGE_NOTIFICATION, &info) < 0)
        return -1;
    return m30_msg_enable_bits(m30->driver_control, enable_reg, bits, false);
}

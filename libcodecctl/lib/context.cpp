// Creation and destruction of the codec chip's context: the driver
// descriptors and the versions.
#include "m30_internal.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

namespace {

void close_driver(m30_context *m30) noexcept
{
    for (int *fd : {&m30->driver_system, &m30->driver_control, &m30->vei_control[0], &m30->vei_control[1],
                    &m30->vei_control[2], &m30->vei_control[3]}) {
        m30_drv_close(*fd);
        *fd = -1;
    }
}

// Opens and binds the descriptors in the driver's required order: the
// system device first, because mode select and reset go through it and
// reset the chip under the others.
int open_driver(m30_context *m30) noexcept
{
    m30->driver_system = m30_drv_open_bound(m30->driver_path, FMB_DEVICE_SYSTEM);
    if (m30->driver_system < 0)
        return -1;
    // A refused mode select is reported by sreg; the reset below decides.
    sreg(m30->driver_system, M30_REG_MODE_SELECT, m30->is_encode ? 0u : 1u);
    fmb_reset_info reset{true};
    if (m30_drv_ioctl(m30->driver_system, FMB_API_RESET, &reset) < 0)
        return -1;
    m30->driver_control = m30_drv_open_bound(m30->driver_path, FMB_DEVICE_CONTROL);
    if (m30->driver_control < 0)
        return -1;
    for (unsigned i = 0; i < 4; ++i) {
        m30->vei_control[i] = m30_drv_open_bound(m30->driver_path, static_cast<uint16_t>(FMB_DEVICE_VEI_BASE + i));
        if (m30->vei_control[i] < 0)
            return -1;
    }
    return 0;
}

} // namespace

int m30_read_versions(m30_context *m30) noexcept
{
    try {
        // The driver fills both scratch areas with its register dumps; the
        // library only needs to own them for the call.
        std::vector<uint8_t> firm_regs(FMB_VERSION_SCRATCH_SIZE), user_regs(FMB_VERSION_SCRATCH_SIZE);
        fmb_version_info v{};
        v.firm_ver_reg_info_p = firm_regs.data();
        v.user_firm_ver_reg_info_p = user_regs.data();
        if (m30_drv_ioctl(m30->driver_system, FMB_API_GET_VERSION, &v) < 0)
            return -1;
        std::snprintf(m30->version.firm, sizeof m30->version.firm, "%u.%u.%u.%u.%u", v.mcpu_firm[0],
                      v.mcpu_firm[1], v.mcpu_firm[2], v.mcpu_firm[3], v.mcpu_firm[4]);
        size_t n = strnlen(v.driver, sizeof m30->version.driver_fmb - 1);
        std::memcpy(m30->version.driver_fmb, v.driver, n);
        m30->version.driver_fmb[n] = '\0';
        switch (v.driver[0]) {
        case '3': m30->version.driver = M30_DRIVER_VER_V3; break;
        case '7': m30->version.driver = M30_DRIVER_VER_V7; break;
        default: m30->version.driver = M30_DRIVER_VER_OTHER; break;
        }
        return 0;
    } catch (...) {
        errno = ENOMEM;
        return -1;
    }
}

extern "C" M30_API m30_context *m30_context_create(int device_id_, bool is_encode_) noexcept
{
    try {
        auto m30 = std::make_unique<m30_context>();
        m30->is_encode = is_encode_;
        std::snprintf(m30->driver_path, sizeof m30->driver_path, "/dev/m30smb%d", device_id_);
        m30->driver_system = m30->driver_control = -1;
        for (int &fd : m30->vei_control)
            fd = -1;
        if (open_driver(m30.get()) < 0 || m30_read_versions(m30.get()) < 0) {
            int e = errno;
            close_driver(m30.get());
            errno = e;
            return nullptr;
        }
        return m30.release();
    } catch (...) {
        errno = ENOMEM;
        return nullptr;
    }
}

extern "C" M30_API void m30_context_destroy(m30_context *m30_) noexcept
{
    if (!m30_)
        return;
    std::unique_ptr<m30_context> owned(m30_);
    close_driver(m30_);
}

extern "C" M30_API int m30_context_get_driver_version(m30_context *m30, m30_driver_ver *driver_e,
                                                      char *driver_s, size_t size_s) noexcept
{
    if (!m30 || !driver_e)
        return errno = EINVAL, -1;
    size_t len = strnlen(m30->version.driver_fmb, sizeof m30->version.driver_fmb);
    if (len == 0 || len >= sizeof m30->version.driver_fmb || (driver_s && size_s <= len))
        return errno = EINVAL, -1;
    if (driver_s)
        std::memcpy(driver_s, m30->version.driver_fmb, len + 1);
    *driver_e = m30->version.driver;
    return 0;
}

extern "C" M30_API int m30_context_get_firmware_version(m30_context *m30, char *firmw_s, size_t size_s) noexcept
{
    if (!m30 || !firmw_s || size_s == 0)
        return errno = EINVAL, -1;
    size_t len = strnlen(m30->version.firm, sizeof m30->version.firm);
    if (len == 0 || len >= sizeof m30->version.firm || size_s <= len)
        return errno = EINVAL, -1;
    std::memcpy(firmw_s, m30->version.firm, len + 1);
    return 0;
}

// The driver port: the kernel driver by default, or whatever stand-in a
// caller installed (the chip simulator in tests and the demo).
#include "m30_internal.h"

#include <kerrow/path.h>

#include <atomic>
#include <cerrno>
#include <fcntl.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace {

int kernel_open(void *, const char *path, int flags) { return ::open(path, flags); }
int kernel_close(void *, int fd) { return ::close(fd); }
int kernel_ioctl(void *, int fd, unsigned long request, void *arg) { return ::ioctl(fd, request, arg); }
int kernel_eventfd(void *, unsigned int initval, int flags) { return ::eventfd(initval, flags); }

const m30_driver_port kernel_port = {nullptr, kernel_open, kernel_close, kernel_ioctl, kernel_eventfd};

// Set before contexts exist and read by every driver call, from any thread.
std::atomic<const m30_driver_port *> active{&kernel_port};

const m30_driver_port &port() { return *active.load(std::memory_order_acquire); }

} // namespace

extern "C" M30_API int m30_driver_set_port(const m30_driver_port *port) noexcept
{
    if (port && (!port->open || !port->close || !port->ioctl || !port->eventfd))
        return errno = EINVAL, -1;
    active.store(port ? port : &kernel_port, std::memory_order_release);
    return 0;
}

extern "C" M30_API const m30_driver_port *m30_driver_get_port(void) noexcept
{
    return &port();
}

int m30_drv_open(const char *driver_path) noexcept
{
    try {
        std::string path = kd::rooted(driver_path);
        const m30_driver_port &p = port();
        return p.open(p.ctx, path.c_str(), O_RDWR | O_CLOEXEC);
    } catch (...) {
        errno = ENOMEM;
        return -1;
    }
}

int m30_drv_close(int fd) noexcept
{
    if (fd < 0)
        return 0;
    const m30_driver_port &p = port();
    return p.close(p.ctx, fd);
}

int m30_drv_ioctl(int fd, unsigned long request, void *arg) noexcept
{
    const m30_driver_port &p = port();
    return p.ioctl(p.ctx, fd, request, arg);
}

int m30_drv_eventfd(unsigned int initval, int flags) noexcept
{
    const m30_driver_port &p = port();
    return p.eventfd(p.ctx, initval, flags);
}

int m30_drv_open_bound(const char *driver_path, uint16_t device_type) noexcept
{
    int fd = m30_drv_open(driver_path);
    if (fd < 0)
        return -1;
    fmb_logical_device_info info{device_type};
    if (m30_drv_ioctl(fd, FMB_API_SET_LOGICAL_DEVICE, &info) < 0) {
        int e = errno;
        m30_drv_close(fd);
        errno = e;
        return -1;
    }
    return fd;
}

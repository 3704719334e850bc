// Dump files of the parameter blocks last loaded, read back by the
// parameter-block printer.
#include "m30_internal.h"

#include <kerrow/path.h>

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <string>
#include <unistd.h>

int debug_write_bin(const char *name_, int id_, const uint8_t *buf_, size_t len_) noexcept
{
    try {
        if (!name_ || (!buf_ && len_))
            return 0;
        char rel[64 + 32];
        std::snprintf(rel, sizeof rel, "/tmp/kerrow_%.64sparam_%d.bin", name_, id_);
        std::string path = kd::rooted(rel);
        // /tmp is shared: never follow a link planted at our name.
        int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0644);
        if (fd < 0)
            return 0;
        size_t done = 0;
        while (done < len_) {
            ssize_t n = ::write(fd, buf_ + done, len_ - done);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                break;
            done += static_cast<size_t>(n);
        }
        ::close(fd);
    } catch (...) {
        // A dump is a debugging aid: losing it never fails the load.
    }
    return 0;
}

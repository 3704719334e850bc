// The library's debug stream: a file that collects trace lines while
// someone has made its path writable, examined only once every `ticks`
// calls so that a closed stream costs no system call in between.
#include "m30_internal.h"

#include <kerrow/path.h>

#include <cstdarg>
#include <string>
#include <unistd.h>

namespace {

struct DebugStream {
    FILE *f;
    const char *filename;
    int ticks;
    int ticker;
    long size; // bytes after which the stream closes
};

// Called from the message thread and the SEI path; one mutex keeps the
// open/close decision and the handle consistent.
std::mutex stream_mutex;
DebugStream m30_stream{nullptr, "/run/debug/m30", 100, 0, 10000000};

bool writable(const std::string &path) { return ::access(path.c_str(), W_OK) == 0; }

FILE *examine() noexcept
{
    DebugStream &s = m30_stream;
    if (--s.ticker >= 0)
        return s.f;
    s.ticker = s.ticks;
    try {
        std::string path = kd::rooted(s.filename);
        if (!s.f) {
            if (writable(path))
                s.f = std::fopen(path.c_str(), "w+");
            return s.f;
        }
        if (writable(path) && std::ftell(s.f) < s.size)
            return s.f;
    } catch (...) {
    }
    if (s.f)
        std::fclose(s.f);
    s.f = nullptr;
    s.ticker = 0;
    return nullptr;
}

} // namespace

extern "C" M30_API FILE *m30DebugStreamFile(int id) noexcept
{
    if (id != DSID_M30_DEBUG)
        return nullptr;
    std::lock_guard l(stream_mutex);
    return examine();
}

void m30_debug_printf(const char *fmt, ...) noexcept
{
    // The write happens under the same lock as the close decision, so a
    // stream never closes under a writer.
    std::lock_guard l(stream_mutex);
    FILE *f = examine();
    if (!f)
        return;
    va_list ap;
    va_start(ap, fmt);
    std::vfprintf(f, fmt, ap);
    va_end(ap);
    std::fflush(f);
}

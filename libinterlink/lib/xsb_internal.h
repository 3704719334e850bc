// Internal helpers shared by the library's translation units.
#pragma once

#include "interlink.h"

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <span>

namespace xsb {

// Big-endian access to wire bytes (memcpy-free: byte by byte).
inline uint32_t get_be32(const uint8_t *p)
{
    return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
}
inline void put_be32(uint8_t *p, uint32_t v)
{
    p[0] = uint8_t(v >> 24);
    p[1] = uint8_t(v >> 16);
    p[2] = uint8_t(v >> 8);
    p[3] = uint8_t(v);
}

// Messages of one call: progress on stdout, errors on stderr, both only when
// `on`. A per-call flag rather than redirecting the process's streams, so
// that parallel operations and the rest of the process keep their output.
struct printer {
    bool on = false;
    void out(const char *fmt, ...) const __attribute__((format(printf, 2, 3)));
    void err(const char *fmt, ...) const __attribute__((format(printf, 2, 3)));
};

// The library-wide switch (xsb_print) as a printer.
printer global_printer();

} // namespace xsb

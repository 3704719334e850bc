// A bounded reader for walks over sections and descriptors from a wire:
// reading stops for good at the first overrun, and callers check `bad`
// once at the end instead of after every field.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace mpegts {

struct byte_reader {
    const uint8_t *p;
    size_t left;
    bool bad = false;

    bool need(size_t n)
    {
        if (bad || n > left) {
            bad = true;
            left = 0;
        }
        return !bad;
    }
    uint8_t u8()
    {
        if (!need(1))
            return 0;
        --left;
        return *p++;
    }
    // Big-endian, as every MPEG-TS field.
    uint16_t u16()
    {
        if (!need(2))
            return 0;
        const uint16_t v = uint16_t(p[0] << 8 | p[1]);
        p += 2;
        left -= 2;
        return v;
    }
    void skip(size_t n)
    {
        if (need(n)) {
            p += n;
            left -= n;
        }
    }
    // The next n bytes, or null past the end.
    const uint8_t *bytes(size_t n)
    {
        if (!need(n))
            return nullptr;
        const uint8_t *at = p;
        p += n;
        left -= n;
        return at;
    }
    std::string_view text(size_t n)
    {
        const uint8_t *at = bytes(n);
        return at ? std::string_view(reinterpret_cast<const char *>(at), n) : std::string_view{};
    }
    // A reader over the next n bytes; a bad one (and this one bad) past the end.
    byte_reader sub(size_t n)
    {
        const uint8_t *at = bytes(n);
        return at ? byte_reader{at, n} : byte_reader{p, 0, true};
    }
};

} // namespace mpegts

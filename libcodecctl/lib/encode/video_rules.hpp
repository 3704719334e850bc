// Rules shared by the HEVC and AVC encoder blocks (and the reads every
// encode block offers): coded size, VUI timing, sample aspect ratio and
// colour description. The blocks name their members alike, so each rule is
// written once over the structure type.
#pragma once

#include "encode_block.hpp"

namespace m30enc {

// The value of a member, 0 for a null block.
template <class B, class M>
unsigned get(const B *b, M B::*m) noexcept
{
    return b ? static_cast<unsigned>(b->*m) : 0u;
}

// Stores the size and the coded size on the 16-pixel grid; `crop` (if any)
// takes the lines the grid adds at the bottom.
template <class B>
int set_coded(B *b, uint16_t B::*in, uint16_t B::*coded, unsigned v, uint16_t B::*crop = nullptr) noexcept
{
    if (!b)
        return errno = EINVAL, -1;
    b->*in = static_cast<uint16_t>(v);
    b->*coded = align16(v);
    if (crop)
        b->*crop = static_cast<uint16_t>(b->*coded - b->*in);
    return 0;
}

struct tick {
    uint32_t units, scale;
};

// VUI timing (num_units_in_tick / time_scale, ITU-T H.265 E.3.1 and H.264
// E.2.1) for m30_frame_rate_code 1 to 8, by frame, by field and at the
// doubled scale of AVC's field-based clock.
inline bool timing(m30_frame_rate_code rate, int column, tick &out) noexcept
{
    static constexpr tick table[8][3] = {
        {{1001, 24000}, {1001, 24000}, {1001, 48000}}, // 23.98
        {{1, 24}, {1, 24}, {1, 48}},                   // 24
        {{1, 25}, {1, 50}, {1, 50}},                   // 25
        {{1001, 30000}, {1001, 60000}, {1001, 60000}}, // 29.97
        {{1, 30}, {1, 60}, {1, 60}},                   // 30
        {{1, 50}, {1, 50}, {1, 100}},                  // 50
        {{1001, 60000}, {1001, 60000}, {1001, 120000}}, // 59.94
        {{1, 60}, {1, 60}, {1, 120}},                  // 60
    };
    unsigned r = static_cast<unsigned>(rate);
    if (r < 1 || r > 8)
        return false;
    out = table[r - 1][column];
    return true;
}

template <class B>
int set_timing(B *b, m30_frame_rate_code rate, int column) noexcept
{
    if (!b)
        return errno = EINVAL, -1;
    tick t;
    if (timing(rate, column, t)) {
        b->NUM_UNITS_IN_TICK = t.units;
        b->NUM_UNITS_IN_TICK_MAX = t.units;
        b->TIME_SCALE = t.scale;
    }
    return 0;
}

// Sample aspect ratio of a 4:3 or 16:9 display from the coded height: the
// SD rasters of ITU-R BT.601 have non-square samples, others are square.
inline uint8_t sar_idc(m30_aspect_ratio ar, unsigned height) noexcept
{
    bool wide = ar == M30_ASPECTRATIO_16_9;
    if (height == 480)
        return wide ? 5 /* 40:33 */ : 3 /* 10:11 */;
    if (height == 576)
        return wide ? 4 /* 16:11 */ : 2 /* 12:11 */;
    return 1;
}

// Colour description (ITU-T H.273 code points): BT.709 (1), BT.601 625 (5)
// or 525 (6) by height; BT.2020 with HLG (18) or PQ (16) for 10-bit HDR.
template <class B>
int set_vui(B *b, unsigned height, unsigned hdr_mode) noexcept
{
    if (!b)
        return errno = EINVAL, -1;
    uint8_t cp = height == 576 ? 5 : height == 480 ? 6 : 1;
    b->VIDEO_FORMAT = 0;
    b->COLOUR_PRIMARIES = cp;
    b->TRANSFER_CHARACTERISTICS = cp;
    b->MATRIX_COEFFS = cp;
    if (hdr_mode != 0 && b->BIT_DEPTH == 10) {
        b->COLOUR_PRIMARIES = 9;
        b->MATRIX_COEFFS = 9;
        b->TRANSFER_CHARACTERISTICS = hdr_mode == 1 ? 18 : 16;
    }
    return 0;
}

} // namespace m30enc

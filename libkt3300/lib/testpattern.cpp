// Test-pattern generators and on-screen text of the four SDI paths.
#include "kt3300.h"
#include "kt33_internal.h"

#include <cerrno>
#include <cstring>
#include <vector>

using namespace kt33;

namespace {

constexpr unsigned text_rows = 16, text_cols = 64;

// The context is mapped and the input exists; the test-pattern block of
// the input after the inversion mapping.
bool block(const kt3300_ctx *ctx, unsigned input, uint32_t &t)
{
    if (!ctx || !ctx->artix_base || input > 3) {
        errno = EINVAL;
        return false;
    }
    t = reg::tp(ctx->invert_inputs ? 3 - input : input);
    return true;
}

int einval()
{
    errno = EINVAL;
    return -1;
}

void put_cell(kt3300_ctx *ctx, uint32_t t, unsigned cell, unsigned fx, char c)
{
    wr16(ctx->artix_base, t + reg::tp_text_addr, static_cast<uint16_t>(cell));
    wr16(ctx->artix_base, t + reg::tp_text_data, static_cast<uint16_t>(fx << 8 | static_cast<uint8_t>(c)));
}

unsigned effect(int fx) { return (fx == 1 || fx == 2) ? static_cast<unsigned>(fx) : 3; }

} // namespace

extern "C" int kt3300_testpattern_set_mode(kt3300_ctx *ctx, unsigned input, bool matte, bool overlay, bool bars)
{
    uint32_t t;
    if (!block(ctx, input, t))
        return -1;
    wr16(ctx->artix_base, t + reg::tp_mode,
         static_cast<uint16_t>((matte ? 0x8000 : 0) | (overlay ? 0x0002 : 0) | (bars ? 0x0001 : 0)));
    return 0;
}

extern "C" int kt3300_testpattern_set_vidstd(kt3300_ctx *ctx, unsigned input, kt33_tpvidstd vidstd,
                                             bool pclk_internal, bool use_this_vidstd)
{
    // Format code and rate code of each standard, in enumeration order.
    static constexpr uint16_t codes[KT33_TPVIDSTD_END][2] = {
        {0, 0x1000}, {1, 0x1000}, {2, 0x3000}, {3, 0x2000}, {2, 0x2000}, {4, 0x7000},
        {5, 0x6000}, {4, 0x6000}, {4, 0x2000}, {4, 0x3000}, {5, 0x2000}, {5, 0x2000},
        {4, 0x3000}, {6, 0x2000}, {7, 0x3000}, {7, 0x2000}};
    uint32_t t;
    if (!block(ctx, input, t))
        return -1;
    auto s = static_cast<unsigned>(vidstd);
    if (s >= KT33_TPVIDSTD_END)
        return einval();
    wr16(ctx->artix_base, t + reg::tp_std,
         static_cast<uint16_t>(codes[s][0] | codes[s][1] | (pclk_internal ? 0x0600 : 0) |
                               (use_this_vidstd ? 0x0008 : 0)));
    return 0;
}

// 75% colour bars (blue, red, magenta, green, cyan, yellow, white, black):
// 0-7 in ITU-R BT.709, 8-15 in ITU-R BT.601, as 8-bit Y, Cb, Cr.
extern "C" int kt3300_testpattern_set_matte_color(kt3300_ctx *ctx, unsigned input, unsigned colour)
{
    static constexpr uint8_t ycbcr[16][3] = {
        {28, 212, 120}, {51, 109, 212}, {63, 193, 204}, {133, 63, 52}, {145, 147, 44}, {168, 44, 136},
        {180, 128, 128}, {16, 128, 128}, {35, 212, 114}, {65, 100, 212}, {84, 184, 198}, {112, 72, 58},
        {131, 156, 44}, {162, 44, 142}, {180, 128, 128}, {16, 128, 128}};
    uint32_t t;
    if (!block(ctx, input, t))
        return -1;
    if (colour > 15)
        return einval();
    for (unsigned i = 0; i < 3; ++i)
        wr16(ctx->artix_base, t + reg::tp_matte + 2 * i, ycbcr[colour][i]);
    return 0;
}

extern "C" int kt3300_testpattern_set_text_size(kt3300_ctx *ctx, unsigned input, unsigned size)
{
    uint32_t t;
    if (!block(ctx, input, t))
        return -1;
    if (size > 2)
        return einval();
    wr16(ctx->artix_base, t + reg::tp_text_size, static_cast<uint16_t>(size));
    return 0;
}

// Coordinates are 13-bit fields: negative values place the text partly off
// the top or left edge.
extern "C" int kt3300_testpattern_set_text_position(kt3300_ctx *ctx, unsigned input, int x, int y)
{
    uint32_t t;
    if (!block(ctx, input, t))
        return -1;
    wr16(ctx->artix_base, t + reg::tp_pos2, static_cast<uint16_t>(static_cast<unsigned>(y) & 0x1FFF));
    wr16(ctx->artix_base, t + reg::tp_pos1, static_cast<uint16_t>(static_cast<unsigned>(x) & 0x1FFF));
    return 0;
}

extern "C" int kt3300_testpattern_fill_text(kt3300_ctx *ctx, unsigned input, char c)
{
    uint32_t t;
    if (!block(ctx, input, t))
        return -1;
    for (unsigned cell = 0; cell < text_rows * text_cols; ++cell)
        put_cell(ctx, t, cell, 3, c);
    return 0;
}

extern "C" int kt3300_testpattern_set_text(kt3300_ctx *ctx, unsigned input, unsigned row, unsigned col,
                                           const char *text, int fx)
{
    uint32_t t;
    if (!block(ctx, input, t))
        return -1;
    size_t len = text ? std::strlen(text) : 0;
    if (row >= text_rows || col >= text_cols || len == 0 || col + len >= text_cols)
        return einval();
    for (size_t i = 0; i < len; ++i)
        put_cell(ctx, t, row * text_cols + col + static_cast<unsigned>(i), effect(fx), text[i]);
    return 0;
}

// Centres up to 7 lines on a picture of hsize x vsize. Every line's place
// is checked before anything is written: a picture too small for the text
// is refused rather than drawn at a negative row or column.
extern "C" int kt3300_testpattern_set_text_centered(kt3300_ctx *ctx, unsigned input, unsigned hsize,
                                                    unsigned vsize, bool is_p, const char *const *text,
                                                    unsigned lines, int fx)
{
    uint32_t t;
    if (!block(ctx, input, t))
        return -1;
    if (hsize > 1920 || vsize > 1080 || !text || lines < 1 || lines > 7)
        return einval();
    bool large = vsize >= 720;
    int cell_w = large ? 48 : 24, cell_h = large ? 64 : 32;
    int extent = static_cast<int>(large && is_p ? vsize / 2 : vsize / 4);
    int first_row = extent / cell_h - static_cast<int>(lines / 2);
    struct Place {
        int row, col;
    };
    std::vector<Place> places;
    for (unsigned i = 0; i < lines; ++i) {
        size_t len = text[i] ? std::strlen(text[i]) : 0;
        if (len < 1 || len > 24)
            return einval();
        int row = first_row + static_cast<int>(i);
        int col = (static_cast<int>(hsize) / cell_w - static_cast<int>(len)) / 2 - 1;
        if (row < 0 || col < 0 || row >= static_cast<int>(text_rows) ||
            col + static_cast<int>(len) >= static_cast<int>(text_cols))
            return einval();
        places.push_back({row, col});
    }
    kt3300_testpattern_fill_text(ctx, input, ' ');
    kt3300_testpattern_set_text_size(ctx, input, large ? 2 : 1);
    for (unsigned i = 0; i < lines; ++i)
        kt3300_testpattern_set_text(ctx, input, static_cast<unsigned>(places[i].row),
                                    static_cast<unsigned>(places[i].col), text[i], fx);
    return 0;
}

const char *const strings_testpat[KT33_TPVIDSTD_END] = {
    "NTSC",      "PAL",       "1080i2997", "1080i25", "1080i30", "1080p5994", "1080p50",  "1080p60",
    "1080p30",   "1080p2997", "1080p25",   "1080p24", "1080p2398", "720p50", "720p5994", "720p60"};

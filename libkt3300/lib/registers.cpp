// Register accessors: egress rate and CSA, egress and embedder channels,
// audio crosspoints, video status, die temperature, ST 352 inserters.
#include "kt3300.h"
#include "kt33_internal.h"

#include <cerrno>
#include <cstring>

using namespace kt33;

namespace {

int fail(int e)
{
    errno = e;
    return -1;
}

// The context is mapped and index < limit.
bool ok(const kt3300_ctx *ctx, unsigned index = 0, unsigned limit = 1)
{
    if (!ctx || !ctx->artix_base || index >= limit) {
        errno = EINVAL;
        return false;
    }
    return true;
}

constexpr unsigned egress_channels = 2, embedder_channels = 4, inputs = 4;

// Per-input registers follow the input inversion.
unsigned input_index(const kt3300_ctx *ctx, unsigned n) { return ctx->invert_inputs ? 3 - n : n; }

// 166,330,368,000,000 = 188 x 8 x 27,000,000 x 32,768: the FPGA counts
// packet periods of the 27 MHz system clock (ISO/IEC 13818-1) in 1/32768.
constexpr uint64_t rate_numerator = 166330368000000ULL;
constexpr unsigned max_egress_rate = 175000000;

int set_rate_word(kt3300_ctx *ctx, unsigned ch, unsigned rate)
{
    if (rate == 0) {
        errno = EINVAL;
        return -1;
    }
    uint64_t word = ((rate_numerator / rate) + 1) / 2;
    // Too low a rate gives a word wider than the register.
    if (word < 2048 || word - 2048 > UINT32_MAX) {
        errno = ERANGE;
        return -1;
    }
    wr32(ctx->artix_base, reg::egress_rate(ch), static_cast<uint32_t>(word - 2048));
    return 0;
}

int hex_nibble(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return 0xF;
}

} // namespace

extern "C" int kt3300_egress_set_rate(kt3300_ctx *ctx, unsigned rate)
{
    if (!ok(ctx))
        return -1;
    if (rate > max_egress_rate) {
        errno = ERANGE;
        return -1;
    }
    return set_rate_word(ctx, 0, rate);
}

extern "C" int kt3300_egress_set_tmr(kt3300_ctx *ctx, unsigned ch, unsigned rate)
{
    if (!ok(ctx, ch, egress_channels))
        return -1;
    return set_rate_word(ctx, ch, rate);
}

extern "C" int kt3300_egress_set_raw_csa_key(kt3300_ctx *ctx, unsigned key_index, const csa_key key)
{
    if (!ok(ctx, key_index, 4) || !key)
        return fail(EINVAL);
    wr_bytes8(ctx->artix_base, reg::csa_key_reg[key_index], key);
    return 0;
}

// A DVB common scrambling control word carries a checksum byte after each
// three key bytes.
extern "C" int kt3300_egress_set_csa_key(kt3300_ctx *ctx, unsigned key_index, const char *hex)
{
    if (!hex || !*hex)
        return fail(EINVAL);
    uint8_t b[6];
    size_t len = std::strlen(hex);
    for (size_t i = 0; i < 6; ++i) {
        int hi = 2 * i < len ? hex_nibble(hex[2 * i]) : 0xF;
        int lo = 2 * i + 1 < len ? hex_nibble(hex[2 * i + 1]) : 0xF;
        b[i] = static_cast<uint8_t>(hi << 4 | lo);
    }
    csa_key key = {b[0], b[1], b[2], static_cast<uint8_t>(b[0] + b[1] + b[2]),
                   b[3], b[4], b[5], static_cast<uint8_t>(b[3] + b[4] + b[5])};
    return kt3300_egress_set_raw_csa_key(ctx, key_index, key);
}

extern "C" int kt3300_egress_set_csa_pids(kt3300_ctx *ctx, const csa_pid_entry *table, unsigned nmemb)
{
    if (!ok(ctx) || nmemb > 32 || (nmemb && !table))
        return fail(EINVAL);
    for (unsigned i = 0; i < 32; ++i) {
        uint16_t w = 0;
        if (i < nmemb)
            w = static_cast<uint16_t>((table[i].pid & 0x1FFF) | (table[i].key_select & 3) << 13 |
                                      (table[i].enable ? 0x8000 : 0));
        wr16(ctx->artix_base, reg::csa_pid_table + 2 * i, w);
    }
    return 0;
}

extern "C" int kt3300_egress_set_csa_enable(kt3300_ctx *ctx, bool en)
{
    if (!ok(ctx))
        return -1;
    wr16(ctx->artix_base, reg::csa_enable, en ? 1 : 0);
    return 0;
}

// Egress and embedder channels share one register pattern: address,
// control (count << 16 | flags), position (host above, FPGA below).
namespace {

struct ChannelRegs {
    uint32_t (*addr)(unsigned);
    uint32_t (*ctl)(unsigned);
    uint32_t (*pos)(unsigned);
    unsigned channels;
    unsigned map;
};

constexpr ChannelRegs egress_regs{reg::egress_addr, reg::egress_ctl, reg::egress_pos, egress_channels, 2};
constexpr ChannelRegs embedder_regs{reg::embedder_addr, reg::embedder_ctl, reg::embedder_pos,
                                    embedder_channels, 3};

int ch_set_address(const ChannelRegs &r, kt3300_ctx *ctx, unsigned ch, uint32_t addr)
{
    if (!ok(ctx, ch, r.channels))
        return -1;
    wr32(ctx->artix_base, r.addr(ch), addr);
    return 0;
}

int ch_set_control(const ChannelRegs &r, kt3300_ctx *ctx, unsigned ch, unsigned count, unsigned flags)
{
    if (!ok(ctx, ch, r.channels))
        return -1;
    wr32(ctx->artix_base, r.ctl(ch), (count << 16) | (flags & 0xFFFF));
    return 0;
}

int ch_set_host_position(const ChannelRegs &r, kt3300_ctx *ctx, unsigned ch, unsigned pos)
{
    if (!ok(ctx, ch, r.channels))
        return -1;
    wr32(ctx->artix_base, r.pos(ch), pos << 16);
    return 0;
}

int ch_get_fpga_position(const ChannelRegs &r, kt3300_ctx *ctx, unsigned ch)
{
    if (!ok(ctx, ch, r.channels))
        return -1;
    return static_cast<int>(rd32(ctx->artix_base, r.pos(ch)) & 0xFFFF);
}

const uio_map *buffer_map(const ChannelRegs &r, const kt3300_ctx *ctx)
{
    return (ctx && ctx->uio) ? ctx->uio->maps[r.map] : nullptr;
}

} // namespace

#define KT33_CHANNEL_FAMILY(family, regs)                                                          \
    extern "C" int kt3300_##family##_set_address(kt3300_ctx *ctx, unsigned ch, uint32_t addr)      \
    {                                                                                              \
        return ch_set_address(regs, ctx, ch, addr);                                                \
    }                                                                                              \
    extern "C" int kt3300_##family##_set_control(kt3300_ctx *ctx, unsigned ch, unsigned count,     \
                                                 unsigned flags)                                   \
    {                                                                                              \
        return ch_set_control(regs, ctx, ch, count, flags);                                        \
    }                                                                                              \
    extern "C" int kt3300_##family##_set_host_position(kt3300_ctx *ctx, unsigned ch, unsigned pos) \
    {                                                                                              \
        return ch_set_host_position(regs, ctx, ch, pos);                                           \
    }                                                                                              \
    extern "C" int kt3300_##family##_get_fpga_position(kt3300_ctx *ctx, unsigned ch)               \
    {                                                                                              \
        return ch_get_fpga_position(regs, ctx, ch);                                                \
    }                                                                                              \
    extern "C" void *kt3300_##family##_get_buffer(const kt3300_ctx *ctx)                           \
    {                                                                                              \
        const uio_map *m = buffer_map(regs, ctx);                                                  \
        return m ? m->data : nullptr;                                                              \
    }                                                                                              \
    extern "C" uint32_t kt3300_##family##_get_buffer_addr(const kt3300_ctx *ctx)                   \
    {                                                                                              \
        const uio_map *m = buffer_map(regs, ctx);                                                  \
        return m ? m->addr : 0;                                                                    \
    }                                                                                              \
    extern "C" uint32_t kt3300_##family##_get_buffer_size(const kt3300_ctx *ctx)                   \
    {                                                                                              \
        const uio_map *m = buffer_map(regs, ctx);                                                  \
        return m ? m->size : 0;                                                                    \
    }

KT33_CHANNEL_FAMILY(egress, egress_regs)
KT33_CHANNEL_FAMILY(embedder, embedder_regs)

// Audio crosspoints.

extern "C" int kt3300_audio_set_psa_xpoint_channel_select(xpoint_table *table, unsigned index, unsigned val)
{
    if (!table || index > 15 || val > 15)
        return fail(EINVAL);
    table->channels[index / 2] |= static_cast<uint8_t>(index % 2 ? val : val << 4);
    return 0;
}

extern "C" int kt3300_audio_set_psa_xpoint(kt3300_ctx *ctx, unsigned input, const xpoint_table *table)
{
    if (!ok(ctx, input, inputs) || !table)
        return fail(EINVAL);
    wr_bytes8(ctx->artix_base, reg::psa_xpoint(input), table->channels);
    return 0;
}

extern "C" int kt3300_audio_setup_i2s_xpoints(kt3300_ctx *ctx, unsigned to_encoder_idx,
                                              unsigned input_src_idx, unsigned pair_from_src_idx)
{
    if (!ctx || to_encoder_idx > 3 || input_src_idx > 3 || pair_from_src_idx > 7)
        return fail(EINVAL);
    unsigned p = 4 * (ctx->invert_inputs ? 3 - input_src_idx : input_src_idx);
    ctx->i2s_aud_xpglob_nib[to_encoder_idx] = static_cast<uint8_t>(p | to_encoder_idx);
    unsigned cell = p + to_encoder_idx;
    ctx->i2s_aud_xploc_byte[cell / 4][cell % 4] =
        static_cast<uint8_t>((2 * pair_from_src_idx + 1) | (2 * pair_from_src_idx) << 4);
    return 0;
}

extern "C" int kt3300_audio_set_i2s_xpoints(kt3300_ctx *ctx)
{
    if (!ok(ctx))
        return -1;
    const uint8_t *g = ctx->i2s_aud_xpglob_nib;
    wr16(ctx->artix_base, reg::i2s_global,
         static_cast<uint16_t>((g[0] & 0xF) << 12 | (g[1] & 0xF) << 8 | (g[2] & 0xF) << 4 | (g[3] & 0xF)));
    for (unsigned j = 0; j < 4; ++j) {
        const uint8_t *l = ctx->i2s_aud_xploc_byte[j];
        wr16(ctx->artix_base, reg::i2s_local(j), static_cast<uint16_t>(l[0] << 8 | l[1]));
        wr16(ctx->artix_base, reg::i2s_local(j) + 2, static_cast<uint16_t>(l[2] << 8 | l[3]));
    }
    return 0;
}

extern "C" int kt3300_audio_sdi_out_source_select(kt3300_ctx *ctx, unsigned output, unsigned source)
{
    static constexpr uint32_t words[4] = {0x00000000, 0xFFFFFFFF, 0x55555555, 0xAAAAAAAA};
    if (!ok(ctx, output, 4) || source > 3)
        return fail(EINVAL);
    wr32(ctx->artix_base, reg::sdi_out_audio_src(output), words[source]);
    return 0;
}

extern "C" int kt3300_audio_reset_sdi(kt3300_ctx *ctx)
{
    if (!ok(ctx))
        return -1;
    wr16(ctx->artix_base, reg::sdi_audio_reset, 0x000F);
    wr16(ctx->artix_base, reg::sdi_audio_reset, 0);
    return 0;
}

extern "C" int kt3300_context_invert_inputs(kt3300_ctx *ctx, bool invert)
{
    if (!ok(ctx))
        return -1;
    ctx->invert_inputs = invert;
    wr16(ctx->artix_base, reg::input_inversion, invert ? 1 : 0);
    return 0;
}

// Video status word: locked (15), level B (14), format detector locked
// (13), clock enabled (12), speed (11-10), progressive (9), frame rate
// (7-4), format (3-0). Codes the table does not know read as none/unknown.
extern "C" int kt3300_video_get_status(kt3300_ctx *ctx, unsigned input, sdi_status *status)
{
    if (!ok(ctx, input, inputs) || !status)
        return fail(EINVAL);
    uint16_t w = rd16(ctx->artix_base, reg::video_status(input_index(ctx, input)));
    static constexpr sdi_speed speeds[4] = {SDI_HD, SDI_SD, SDI_3G, SDI_3G};
    static constexpr sdi_frame_rate rates[16] = {
        FRAMERATE_NONE, FRAMERATE_NONE, FRAMERATE_2398, FRAMERATE_24,   FRAMERATE_4795, FRAMERATE_25,
        FRAMERATE_2997, FRAMERATE_30,   FRAMERATE_48,   FRAMERATE_50,   FRAMERATE_5994, FRAMERATE_60,
        FRAMERATE_NONE, FRAMERATE_NONE, FRAMERATE_NONE, FRAMERATE_NONE};
    static constexpr sdi_format formats[16] = {
        FORMAT_ST274_1920_1080, FORMAT_ST296_1280_720, FORMAT_ST2048_2_2048_1080, FORMAT_ST295_1920_1080,
        FORMAT_UNKNOWN,         FORMAT_UNKNOWN,        FORMAT_UNKNOWN,            FORMAT_UNKNOWN,
        FORMAT_NTSC,            FORMAT_PAL,            FORMAT_UNKNOWN,            FORMAT_UNKNOWN,
        FORMAT_UNKNOWN,         FORMAT_UNKNOWN,        FORMAT_UNKNOWN,            FORMAT_UNKNOWN};
    status->raw = w;
    status->is_locked = w & 0x8000;
    status->level = (w & 0x4000) ? SDILEVEL_B : SDILEVEL_A;
    status->is_fmt_detect_locked = w & 0x2000;
    status->is_clock_enable = w & 0x1000;
    status->speed = speeds[(w >> 10) & 3];
    status->is_progressive = w & 0x0200;
    status->pclk_freq = PCKLFREQ_1000_1001;
    status->frame_rate = rates[(w >> 4) & 0xF];
    status->format = formats[w & 0xF];
    return 0;
}

extern "C" int kt3300_get_die_temp(kt3300_ctx *ctx, int *temp)
{
    if (!ok(ctx) || !temp)
        return fail(EINVAL);
    int raw = rd16(ctx->artix_base, reg::die_temp) >> 4;
    if (raw < 1895 || raw > 3437) {
        *temp = raw;
        errno = ERANGE;
        return -1;
    }
    *temp = ((504 * raw) >> 12) - 273;
    return 0;
}

extern "C" int kt3300_smpte352m_set_ctl(kt3300_ctx *ctx, unsigned ch, uint16_t word)
{
    if (!ok(ctx, ch, 4))
        return -1;
    wr16(ctx->artix_base, reg::st352_ctl(ch), word);
    return 0;
}

extern "C" int kt3300_smpte352m_set_data(kt3300_ctx *ctx, unsigned ch, uint32_t word)
{
    if (!ok(ctx, ch, 4))
        return -1;
    wr32(ctx->artix_base, reg::st352_data(ch), word);
    return 0;
}

extern "C" int kt3300_set_sdi_control(kt3300_ctx *ctx, bool is_inverted, bool is_uhd)
{
    if (!ok(ctx))
        return -1;
    wr16(ctx->artix_base, reg::sdi_control,
         static_cast<uint16_t>(0x5A00 | (is_inverted ? 0x0040 : 0) | (is_uhd ? 0x0080 : 0)));
    return 0;
}

extern "C" int kt3300_testpattern_set_uhd(kt3300_ctx *ctx, bool en) { return kt3300_set_sdi_control(ctx, false, en); }

const char *const strings_format[FORMAT_END] = {"1920x1080", "1280x720", "2048x1080", "1920x1080 (295)",
                                               "NTSC",      "PAL",      "unknown"};
const char *const strings_frame_rate[FRAMERATE_END] = {nullptr, "23.98", "24",    "47.95", "25", "29.97",
                                                       "30",    "48",    "50",    "59.94", "60"};

// Board context: finding and mapping the board, and the ingress reader.
#include "kt3300.h"
#include "kt33_internal.h"

#include <kerrow/path.h>

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

using namespace kt33;

static_assert(sizeof(kt3300_igr_frm) == 256, "the FPGA writes 256-byte ingress frames");

namespace {

constexpr const char *board_uio_name = "KDS KT-3300";
constexpr unsigned frame_size = 256;
constexpr unsigned igr_lag = 10; // the reader stays this many frames behind the FPGA

bool mapped(const kt3300_ctx *ctx) { return ctx && ctx->artix_base; }

const uio_map *uio_map_of(const kt3300_ctx *ctx, unsigned m)
{
    return (ctx && ctx->uio) ? ctx->uio->maps[m] : nullptr;
}

void free_uio(uio_ctx *u)
{
    if (!u)
        return;
    for (uio_map *m : u->maps) {
        if (m && m->data)
            plat().unmap(m->data, m->size);
        std::free(m);
    }
    if (u->fd >= 0)
        close(u->fd);
    std::free(u);
}

// Maps the board's UIO device: every present map of 0-3. The register
// window (map 0) must be present and cover the whole register map.
uio_ctx *open_board_uio(unsigned idx)
{
    auto *u = static_cast<uio_ctx *>(std::calloc(1, sizeof(uio_ctx)));
    if (!u)
        return nullptr;
    u->uio_idx = static_cast<int>(idx);
    u->fd = open_uio(idx);
    if (u->fd < 0) {
        free_uio(u);
        return nullptr;
    }
    std::string dir = sysfs_uio(idx);
    read_first_line(dir + "/name", u->name, sizeof u->name);
    read_first_line(dir + "/version", u->version, sizeof u->version);
    for (unsigned m = 0; m < 4; ++m) {
        std::string mdir = dir + "/maps/map" + std::to_string(m);
        if (access(mdir.c_str(), F_OK) != 0)
            continue;
        auto addr = read_hex_file(mdir + "/addr");
        auto size = read_hex_file(mdir + "/size");
        if (!addr || !size || *size == 0 || *size > UINT32_MAX || *addr > UINT32_MAX)
            continue;
        auto *map = static_cast<uio_map *>(std::calloc(1, sizeof(uio_map)));
        if (!map)
            break;
        read_first_line(mdir + "/name", map->name, sizeof map->name);
        map->addr = static_cast<uint32_t>(*addr);
        map->size = static_cast<uint32_t>(*size);
        map->data = plat().map_uio(u->fd, idx, m, map->size);
        if (!map->data) {
            std::free(map);
            continue;
        }
        u->maps[m] = map;
    }
    if (!u->maps[0] || u->maps[0]->size < reg::window_size) {
        free_uio(u);
        errno = ENODEV;
        return nullptr;
    }
    return u;
}

} // namespace

extern "C" kt3300_ctx *kt3300_alloc(void)
{
    if (!select_platform()) {
        errno = ENODEV;
        return nullptr;
    }
    uint64_t bar = 0;
    int found = find_bar(&bar);
    if (found <= 0) {
        if (found == 0)
            std::fputs("KT-3300 No Artix found.\n", stderr);
        errno = ENODEV;
        return nullptr;
    }
    auto *ctx = static_cast<kt3300_ctx *>(std::calloc(1, sizeof(kt3300_ctx)));
    if (!ctx) {
        std::fputs("KT-3300 OOM.\n", stderr);
        return nullptr;
    }
    ctx->phys_addr = bar;
    ctx->fd = -1;
    return ctx;
}

extern "C" int kt3300_open(kt3300_ctx *ctx)
{
    if (!ctx) {
        errno = EINVAL;
        return -1;
    }
    if (ctx->artix_base)
        return 0;
    if (!select_platform()) {
        errno = ENODEV;
        return -1;
    }
    int idx = find_uio(board_uio_name);
    if (idx >= 0) {
        uio_ctx *u = open_board_uio(static_cast<unsigned>(idx));
        if (!u)
            return -1;
        ctx->uio = u;
        ctx->phys_addr = u->maps[0]->addr;
        ctx->artix_base = u->maps[0]->data;
        ctx->fd = u->fd;
    } else {
        std::fputs("KT-3300 No UIO found.\n", stderr);
        int fd = open(kd::rooted("/dev/mem").c_str(), O_RDWR | O_SYNC | O_CLOEXEC, 0666);
        if (fd < 0)
            return -1;
        uint64_t page = static_cast<uint64_t>(sysconf(_SC_PAGESIZE));
        void *base = plat().map_mem(fd, ctx->phys_addr & ~(page - 1), reg::window_size);
        if (!base) {
            int e = errno;
            close(fd);
            errno = e ? e : ENOMEM;
            return -1;
        }
        ctx->fd = fd;
        ctx->artix_base = base;
    }
    uint16_t v = rd16(ctx->artix_base, reg::version);
    ctx->version_major = v >> 8;
    ctx->version_minor = v & 0xFF;
    for (unsigned i = 0; i < 4; ++i)
        kt3300_audio_setup_i2s_xpoints(ctx, i, i, 0);
    kt3300_audio_set_i2s_xpoints(ctx);
    return 0;
}

extern "C" void kt3300_close(kt3300_ctx *ctx)
{
    if (!ctx)
        return;
    if (ctx->uio) {
        free_uio(ctx->uio);
    } else {
        if (ctx->artix_base)
            plat().unmap(ctx->artix_base, reg::window_size);
        if (ctx->fd >= 0)
            close(ctx->fd);
    }
    ctx->uio = nullptr;
    ctx->artix_base = nullptr;
    ctx->fd = -1;
}

extern "C" void kt3300_free(kt3300_ctx *ctx)
{
    if (!ctx)
        return;
    if (ctx->artix_base)
        kt3300_close(ctx);
    std::free(ctx);
}

extern "C" bool kt3300_has_ts_ingress(const kt3300_ctx *ctx) { return uio_map_of(ctx, 1); }
extern "C" bool kt3300_has_ts_egress(const kt3300_ctx *ctx) { return uio_map_of(ctx, 2); }
extern "C" bool kt3300_has_embedder(const kt3300_ctx *ctx) { return uio_map_of(ctx, 3); }

extern "C" int kt3300_get_version_major(const kt3300_ctx *ctx)
{
    return mapped(ctx) ? static_cast<int>(ctx->version_major) : -1;
}

extern "C" int kt3300_get_version_minor(const kt3300_ctx *ctx)
{
    return mapped(ctx) ? static_cast<int>(ctx->version_minor) : -1;
}

extern "C" void *kt3300_get_artix_base_addr(const kt3300_ctx *ctx) { return ctx ? ctx->artix_base : nullptr; }

// Ingress ring.

namespace {
unsigned igr_frames_of(const uio_map *m)
{
    unsigned n = m->size / frame_size;
    return n > 0xFFFF ? 0xFFFF : n; // the control register holds 16 bits of count
}
} // namespace

extern "C" int kt3300_enable_igr(kt3300_ctx *ctx)
{
    const uio_map *m = uio_map_of(ctx, 1);
    if (!mapped(ctx) || !m) {
        errno = EINVAL;
        return -1;
    }
    ctx->igr_frames = static_cast<int>(igr_frames_of(m));
    wr32(ctx->artix_base, reg::igr_addr, m->addr);
    wr32(ctx->artix_base, reg::igr_ctl, static_cast<uint32_t>(ctx->igr_frames) << 16);
    return 0;
}

extern "C" int kt3300_set_igr_enable(kt3300_ctx *ctx, bool en)
{
    const uio_map *m = uio_map_of(ctx, 1);
    if (!mapped(ctx) || !m) {
        errno = EINVAL;
        return -1;
    }
    ctx->igr_frames = static_cast<int>(igr_frames_of(m));
    wr32(ctx->artix_base, reg::igr_ctl, (static_cast<uint32_t>(ctx->igr_frames) << 16) | (en ? 0xF : 0));
    return 0;
}

extern "C" kt3300_igr_rdr *kt3300_alloc_igr_rdr(kt3300_ctx *ctx)
{
    const uio_map *m = uio_map_of(ctx, 1);
    if (!mapped(ctx) || !m || igr_frames_of(m) < 2) {
        errno = EINVAL;
        return nullptr;
    }
    auto *r = static_cast<kt3300_igr_rdr *>(std::calloc(1, sizeof(kt3300_igr_rdr)));
    if (!r)
        return nullptr;
    r->artix_base = ctx->artix_base;
    r->begin = static_cast<kt3300_igr_frm *>(m->data);
    r->end = r->begin + igr_frames_of(m);
    r->read_pkt = r->begin;
    kt3300_enable_igr(ctx);
    return r;
}

extern "C" kt3300_igr_frm *kt3300_igr_rdr_read(kt3300_igr_rdr *rdr)
{
    if (!rdr || !rdr->artix_base || rdr->end <= rdr->begin) {
        errno = EINVAL;
        return nullptr;
    }
    if (rdr->pkts_to_read_ct == 0) {
        auto frames = static_cast<unsigned>(rdr->end - rdr->begin);
        unsigned p = rd32(rdr->artix_base, reg::igr_pos) & 0xFFFF;
        if (p >= frames) // a position outside the ring is not to be trusted
            return nullptr;
        auto r = static_cast<unsigned>(rdr->read_pkt - rdr->begin);
        unsigned avail = r <= p ? p - r : p + static_cast<unsigned>(rdr->end - rdr->read_pkt);
        if (avail <= igr_lag)
            return nullptr;
        rdr->pkts_to_read_ct = avail - igr_lag;
    }
    kt3300_igr_frm *f = rdr->read_pkt;
    if (++rdr->read_pkt == rdr->end)
        rdr->read_pkt = rdr->begin;
    --rdr->pkts_to_read_ct;
    // A packet must lie inside its frame: a larger offset would send the
    // reader past the frame (past the ring for the last one).
    if (f->offset == 0 || f->offset > frame_size - 188)
        return nullptr;
    return f;
}

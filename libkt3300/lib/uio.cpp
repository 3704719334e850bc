// UIO regions found by map name, and the board's table of named regions
// with their queues.
#include "fpga.h"
#include "kt33_internal.h"

#include <cerrno>
#include <cstdlib>
#include <mutex>

#include <unistd.h>

using namespace kt33;

extern "C" Uio *uioCreate(const char *name)
{
    if (!name || !select_platform()) {
        errno = EINVAL;
        return nullptr;
    }
    auto region = find_region(name);
    if (!region || region->size > SIZE_MAX) {
        errno = ENOENT;
        return nullptr;
    }
    int fd = open_uio(region->dev);
    if (fd < 0)
        return nullptr;
    void *data = plat().map_uio(fd, region->dev, region->map, static_cast<size_t>(region->size));
    int e = errno;
    close(fd); // the mapping outlives the descriptor
    if (!data) {
        errno = e ? e : ENOMEM;
        return nullptr;
    }
    auto *u = static_cast<Uio *>(std::calloc(1, sizeof(Uio)));
    if (!u) {
        plat().unmap(data, static_cast<size_t>(region->size));
        return nullptr;
    }
    u->addr = region->addr;
    u->size = region->size;
    u->mmap_addr = data;
    return u;
}

extern "C" void uioDestroy(Uio *u)
{
    if (!u)
        return;
    if (u->mmap_addr)
        plat().unmap(u->mmap_addr, static_cast<size_t>(u->size));
    std::free(u);
}

extern "C" uint64_t uioGetAddr(const Uio *u) { return u ? u->addr : 0; }
extern "C" uint64_t uioGetSize(const Uio *u) { return u ? u->size : 0; }
extern "C" void *uioGetMmapAddr(const Uio *u) { return u ? u->mmap_addr : nullptr; }

namespace {

struct RegionEntry {
    const char *name;
    bool queue; // entries without a queue are not opened as queues
    Dcu dcu;
    Uio *uio;
    Cqf *cqf;
};

// The ts-ingress, ts-egress and embedder regions belong to the board
// context (kt3300.h) and are not opened here.
RegionEntry regions[] = {
    {"bar0", false, {}, nullptr, nullptr},
    {"ts-ingress", false, {CQF_MODE_PUSH, 2048, 0x6800}, nullptr, nullptr},
    {"ts-egress", false, {CQF_MODE_PULL, 256, 0x4010}, nullptr, nullptr},
    {"embedder", false, {CQF_MODE_PULL, 256, 0x20}, nullptr, nullptr},
    {"m30_decoder_0", true, {CQF_MODE_PULL, 256, 0xF000}, nullptr, nullptr},
    {"m30_decoder_1", true, {CQF_MODE_PULL, 256, 0xF000}, nullptr, nullptr},
    {"asi_ingress_0123", true, {CQF_MODE_PUSH, 256, 0xF000}, nullptr, nullptr},
    {"asi_egress_0", true, {CQF_MODE_PULL, 256, 0xF000}, nullptr, nullptr},
    {"asi_egress_1", true, {CQF_MODE_PULL, 256, 0xF000}, nullptr, nullptr},
    {"anc_encoder_0123", true, {CQF_MODE_PUSH, 2048, 0x6A00}, nullptr, nullptr},
    {"anc_decoder_0", true, {CQF_MODE_PULL, 2048, 0xF000}, nullptr, nullptr},
    {"anc_decoder_1", true, {CQF_MODE_PULL, 2048, 0xF000}, nullptr, nullptr},
    {"aud_encoder_0123", true, {CQF_MODE_PUSH, 256, 0x6900}, nullptr, nullptr},
    {"aud_decoder_0", true, {CQF_MODE_PULL, 256, 0x20}, nullptr, nullptr},
    {"aud_decoder_1", true, {CQF_MODE_PULL, 256, 0x120}, nullptr, nullptr},
    {"aud_decoder_2", true, {CQF_MODE_PULL, 256, 0x220}, nullptr, nullptr},
    {"aud_decoder_3", true, {CQF_MODE_PULL, 256, 0x320}, nullptr, nullptr},
};

std::mutex regions_mutex;

RegionEntry &bar0() { return regions[0]; }

} // namespace

extern "C" int fpgaInit(void)
{
    std::lock_guard lock(regions_mutex);
    if (bar0().uio)
        return 0;
    bar0().uio = uioCreate("bar0");
    if (!bar0().uio)
        return -1;
    auto *base = static_cast<uint8_t *>(bar0().uio->mmap_addr);
    for (RegionEntry &r : regions) {
        if (!r.queue || r.dcu.regs_offset + sizeof(Reg) > bar0().uio->size)
            continue;
        Uio *u = uioCreate(r.name);
        if (!u)
            continue;
        uint64_t items = u->size / r.dcu.item_size;
        r.cqf = cqfCreate(reinterpret_cast<Reg *>(base + r.dcu.regs_offset), u->mmap_addr,
                          static_cast<uint32_t>(u->addr), static_cast<uint16_t>(items > 0xFFFF ? 0xFFFF : items),
                          r.dcu.item_size, r.dcu.mode);
        if (r.cqf)
            r.uio = u;
        else
            uioDestroy(u);
    }
    return 0;
}

extern "C" void fpgaFini(void)
{
    std::lock_guard lock(regions_mutex);
    for (RegionEntry &r : regions) {
        if (&r == &bar0())
            continue;
        cqfDestroy(r.cqf);
        uioDestroy(r.uio);
        r.cqf = nullptr;
        r.uio = nullptr;
    }
    uioDestroy(bar0().uio);
    bar0().uio = nullptr;
}

extern "C" void *fpgaGetBar0(void)
{
    std::lock_guard lock(regions_mutex);
    return bar0().uio ? bar0().uio->mmap_addr : nullptr;
}

extern "C" Cqf *fpgaGetCqf(const char *name)
{
    if (!name)
        return nullptr;
    std::lock_guard lock(regions_mutex);
    for (RegionEntry &r : regions)
        if (std::strcmp(r.name, name) == 0)
            return r.cqf;
    return nullptr;
}

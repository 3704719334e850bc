// CPU/FPGA circular queues.
#include "cqf.h"
#include "kt33_internal.h"

#include <cerrno>
#include <cstdlib>

#include <unistd.h>

using namespace kt33;

static_assert(sizeof(Reg) == 12, "the FPGA's queue register block");

namespace {

constexpr uint32_t word_phys = 0, word_impe = 4, word_item = 8;
constexpr uint32_t enable_mask = 0xF, mode_bit = 0x8000;

uint16_t cpu_of(const Cqf *q) { return static_cast<uint16_t>(q->shadow.item >> 16); }
uint16_t fpga_of(const Cqf *q) { return static_cast<uint16_t>(q->shadow.item & 0xFFFF); }
void set_item(Cqf *q, uint16_t cpu, uint16_t fpga) { q->shadow.item = static_cast<uint32_t>(cpu) << 16 | fpga; }

void write_impe(Cqf *q) { wr32(q->REG_ADDR, word_impe, q->shadow.impe); }
void write_item(Cqf *q) { wr32(q->REG_ADDR, word_item, q->shadow.item); }

// Refreshes the FPGA's index from the registers.
uint16_t read_fpga(Cqf *q)
{
    auto f = static_cast<uint16_t>(rd32(q->REG_ADDR, word_item) & 0xFFFF);
    set_item(q, cpu_of(q), f);
    return f;
}

// Items the processor may take in one piece: up to the FPGA's index or the
// end of the ring. In a PULL queue one item always stays empty so that
// equal indices mean an empty ring. An index outside the ring gives none.
uint16_t available(Cqf *q)
{
    unsigned f = read_fpga(q), c = cpu_of(q), n = q->ITEMS;
    if (f >= n || c >= n)
        return 0;
    bool pull = q->shadow.impe & mode_bit;
    unsigned k;
    if (!pull)
        k = f >= c ? f - c : n - c;
    else
        k = f > c ? f - 1 - c : n - c - (f == 0 ? 1 : 0);
    return static_cast<uint16_t>(k);
}

int einval()
{
    errno = EINVAL;
    return -1;
}

} // namespace

extern "C" Cqf *cqfCreate(Reg *regs, void *buf, uint32_t phys, uint16_t items, uint16_t item_size, CqfMode mode)
{
    if (!regs || !buf || !phys || !items || !item_size || (mode != CQF_MODE_PUSH && mode != CQF_MODE_PULL)) {
        errno = EINVAL;
        return nullptr;
    }
    auto *q = static_cast<Cqf *>(std::calloc(1, sizeof(Cqf)));
    if (!q)
        return nullptr;
    q->REG_ADDR = regs;
    q->BUF_ADDR = static_cast<uint8_t *>(buf);
    q->ITEMS = items;
    q->ITEM_SIZE = item_size;
    q->shadow.phys = phys;
    q->shadow.impe = static_cast<uint32_t>(items) << 16 | (mode == CQF_MODE_PULL ? mode_bit : 0) |
                     static_cast<uint32_t>((item_size >> 8) & 0x7F) << 8;
    q->shadow.item = 0;
    wr32(regs, word_phys, q->shadow.phys);
    write_impe(q);
    write_item(q);
    return q;
}

extern "C" void cqfDestroy(Cqf *q)
{
    if (!q)
        return;
    wr32(q->REG_ADDR, word_impe, 0);
    usleep(100); // let the FPGA finish an item it has begun
    std::free(q);
}

extern "C" int cqfMode(Cqf *q, CqfMode mode)
{
    if (!q || (mode != CQF_MODE_PUSH && mode != CQF_MODE_PULL))
        return einval();
    q->shadow.impe = (q->shadow.impe & ~mode_bit) | (mode == CQF_MODE_PULL ? mode_bit : 0);
    write_impe(q);
    return 0;
}

namespace {
// idx 0-3 names one sub-queue, 255 all four; anything else changes nothing.
int set_enable(Cqf *q, unsigned idx, bool on)
{
    if (!q || (idx > 3 && idx != 255))
        return einval();
    uint32_t bits = idx == 255 ? enable_mask : 1u << idx;
    q->shadow.impe = on ? (q->shadow.impe | bits) : (q->shadow.impe & ~bits);
    write_impe(q);
    return 0;
}
} // namespace

extern "C" int cqfEnable(Cqf *q, unsigned idx) { return set_enable(q, idx, true); }
extern "C" int cqfDisable(Cqf *q, unsigned idx) { return set_enable(q, idx, false); }

extern "C" int cqfClear(Cqf *q)
{
    if (!q)
        return einval();
    uint16_t f = read_fpga(q);
    set_item(q, f, f);
    write_item(q);
    return 0;
}

extern "C" uint16_t cqfPrepare(Cqf *q, void **item)
{
    if (!q)
        return 0;
    if (item)
        *item = q->BUF_ADDR + static_cast<size_t>(q->ITEM_SIZE) * cpu_of(q);
    return available(q);
}

extern "C" uint16_t cqfAdvance(Cqf *q, uint16_t n)
{
    if (!q || n == 0)
        return 0;
    uint16_t k = available(q);
    if (n < k)
        k = n;
    auto cpu = static_cast<uint16_t>((cpu_of(q) + k) % q->ITEMS);
    set_item(q, cpu, fpga_of(q));
    read_fpga(q);
    write_item(q);
    return k;
}

extern "C" int cqfReset(Cqf *q, void **buf, uint32_t *items, uint32_t *item_size)
{
    if (!q)
        return einval();
    q->shadow.impe &= ~enable_mask;
    set_item(q, 0, 0);
    write_impe(q);
    write_item(q);
    if (buf)
        *buf = q->BUF_ADDR;
    if (items)
        *items = q->ITEMS;
    if (item_size)
        *item_size = q->ITEM_SIZE;
    return 0;
}

extern "C" int cqfGetFpgaItem(Cqf *q)
{
    if (!q)
        return einval();
    return static_cast<int>(rd32(q->REG_ADDR, word_item) & 0xFFFF);
}

extern "C" int cqfSetCpuItem(Cqf *q, uint16_t n)
{
    if (!q || n >= q->ITEMS)
        return einval();
    set_item(q, n, fpga_of(q));
    write_item(q);
    return 0;
}

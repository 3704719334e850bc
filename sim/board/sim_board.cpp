// Register stores on the simulated board: the write plane records them,
// the read plane echoes what the FPGA would read back, and the bus devices
// (SPI IO modules, GSPI SDI chips, the I2C clock generator) answer at once.
#include "sim_board.h"

#include <kerrow/path.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace boardsim {
namespace {

void log_event(Board *b, BusKind kind, bool rd, unsigned chn, uint32_t addr, uint32_t data)
{
    uint32_t n = b->log_count;
    b->log[n % log_capacity] = {static_cast<uint8_t>(kind), static_cast<uint8_t>(rd), static_cast<uint8_t>(chn), 0,
                                addr, data};
    __atomic_store_n(&b->log_count, n + 1, __ATOMIC_RELEASE);
}

// Registers whose low half the FPGA owns (positions): a store sets only
// the host's upper half of the read-back.
bool fpga_owned_low_half(uint32_t off)
{
    switch (off) {
    case 0x4018: case 0x4418: // egress positions
    case 0x28: case 0x128: case 0x228: case 0x328: // embedder / audio queue positions
    case 0xF008: case 0x6A08: case 0x6908: // queue item words
        return true;
    default:
        return false;
    }
}

// Halfwords the FPGA alone writes.
bool read_only(uint32_t half)
{
    return half == 0x3000 || half == 0x3100 || (half >= 0x3200 && half < 0x320C) ||
           (half >= 0x3300 && half < 0x3304) || half == 0x6808 || half == 0x680A;
}

void echo(Board *b, uint32_t off, unsigned len)
{
    for (uint32_t h = off & ~1u; h < off + len; h += 2) {
        if (read_only(h) || ((h & 3) == 2 && fpga_owned_low_half(h - 2)))
            continue;
        uint16_t v;
        std::memcpy(&v, b->wr + h, 2);
        __atomic_store_n(reinterpret_cast<uint16_t *>(b->rd + h), v, __ATOMIC_RELEASE);
    }
}

uint16_t *chip_reg(GspiChip &c, uint32_t addr, bool create)
{
    for (uint32_t i = 0; i < c.count; ++i)
        if (c.addr[i] == addr)
            return &c.val[i];
    if (!create || c.count >= 96)
        return nullptr;
    c.addr[c.count] = addr;
    c.val[c.count] = 0;
    return &c.val[c.count++];
}

void spi(Board *b, uint32_t cmd)
{
    unsigned chn = ((cmd >> 24) & 7) - 1;
    bool rd = (cmd >> 16) & 1;
    uint32_t addr = (cmd >> 8) & 0xFF, data = cmd & 0xFF;
    log_event(b, BUS_SPI, rd, chn, addr, data);
    uint16_t answer = 0;
    if (chn < 6 && b->modules[chn].present) {
        if (rd)
            answer = b->modules[chn].regs[addr] & 0x7FFF;
        else
            b->modules[chn].regs[addr] = static_cast<uint16_t>(data);
    }
    put16(b->rd, 0x3200, b->stuck_busy ? 0x8000 : answer);
}

void gspi(Board *b, uint32_t cmd, uint32_t word)
{
    unsigned chn = ((cmd >> 24) & 7) - 1;
    bool rd = (cmd >> 16) & 1;
    uint32_t addr = (cmd & 0x7F) << 16 | word >> 16, data = word & 0xFFFF;
    log_event(b, BUS_GSPI, rd, chn, addr, data);
    uint16_t answer = 0xFFFF; // nobody drives the line
    if (chn < 8 && b->chips[chn].count) {
        uint16_t *r = chip_reg(b->chips[chn], addr, !rd);
        if (rd)
            answer = r ? *r : 0;
        else if (r)
            *r = static_cast<uint16_t>(data);
    }
    put16(b->rd, 0x3200, answer);
    put16(b->rd, 0x3208, b->stuck_busy ? 0x8000 : 0);
}

void i2c(Board *b, uint32_t w)
{
    unsigned dev = (w >> 17) & 0x7F;
    bool rd = (w >> 16) & 1;
    uint32_t regno = (w >> 8) & 0xFF, data = w & 0xFF;
    log_event(b, BUS_I2C, rd, dev, regno, data);
    uint8_t flags = 0x30, answer = 0; // SDA and SCL idle high, acknowledged
    if (b->lmk.present && dev == b->lmk.addr) {
        if (rd)
            answer = b->lmk.regs[regno];
        else if (regno > 3) // identification registers are read-only
            b->lmk.regs[regno] = static_cast<uint8_t>(data);
    } else {
        flags |= 0x01;
    }
    put16(b->rd, 0x3300, static_cast<uint16_t>(flags << 8 | answer));
}

bool covers(uint32_t off, unsigned len, uint32_t reg) { return off <= reg && reg < off + len; }

} // namespace

void store(Board *b, uint32_t off, const uint8_t *bytes, unsigned len)
{
    if (off + len > window_size)
        return;
    // A process that died inside a store leaves the devices as they were
    // after its last complete transfer.
    if (pthread_mutex_lock(&b->mutex) == EOWNERDEAD)
        pthread_mutex_consistent(&b->mutex);
    // Halfword stores, so that a concurrent reader never sees a torn
    // position word.
    for (unsigned i = 0; i < len; ++i)
        if ((off + i) % 2 == 0 && i + 1 < len) {
            uint16_t v;
            std::memcpy(&v, bytes + i, 2);
            __atomic_store_n(reinterpret_cast<uint16_t *>(b->wr + off + i), v, __ATOMIC_RELEASE);
            ++i;
        } else {
            b->wr[off + i] = bytes[i];
        }
    echo(b, off, len);
    // An embedder queue that is disabled (as a reset leaves it) starts
    // again from item 0.
    for (uint32_t q : {0x20u, 0x120u, 0x220u, 0x320u})
        if (covers(off, len, q + 4) && !(load32(b->wr, q + 4) & 0xF))
            put16(b->rd, q + 10, 0);
    if (covers(off, len, 0x3200) && !(load32(b->wr, 0x3200) & 0x80000000u))
        spi(b, load32(b->wr, 0x3200));
    if (covers(off, len, 0x3204) && (load32(b->wr, 0x3200) & 0x80000000u))
        gspi(b, load32(b->wr, 0x3200), load32(b->wr, 0x3204));
    if (covers(off, len, 0x3300))
        i2c(b, load32(b->wr, 0x3300));
    if (covers(off, len, 0x3004) || covers(off, len, 0x3006))
        log_event(b, BUS_CLK, false, 0, off, off == 0x3004 ? load16(b->wr, 0x3004) : load16(b->wr, 0x3006));
    pthread_mutex_unlock(&b->mutex);
}

std::string board_file() { return kd::rooted("/run/kt3300sim/board"); }

std::string region_file(unsigned dev, unsigned map)
{
    char name[48];
    std::snprintf(name, sizeof name, "/run/kt3300sim/uio%u.map%u", dev, map);
    return kd::rooted(name);
}

} // namespace boardsim

// The simulated KT-3300 board: the layout of its shared file and the
// handling of register stores. Shared by the platform seam that the board
// library loads (KT3300_SIM) and the test-side control (board_sim.h).
#pragma once

#include <pthread.h>

#include <cstdint>
#include <string>

namespace boardsim {

constexpr uint32_t window_size = 0x10000;
constexpr uint64_t bar_phys = 0xF0000000; // register window (UIO map 0 and the PCI BAR)

enum BusKind : uint8_t { BUS_SPI = 1, BUS_GSPI = 2, BUS_I2C = 3, BUS_CLK = 4 };

// One transfer seen by a bus device, in the order the devices saw them.
struct BusEvent {
    uint8_t kind;
    uint8_t rd;
    uint8_t chn; // SPI/GSPI channel, I2C device address
    uint8_t pad;
    uint32_t addr;
    uint32_t data;
};

struct SpiModule {
    uint32_t present;
    uint16_t regs[256]; // register 0xF1 holds the module identification
};

struct GspiChip {
    uint32_t count;
    uint32_t addr[96];
    uint16_t val[96];
};

struct LmkChip {
    uint32_t present;
    uint32_t addr;
    uint8_t regs[256];
};

constexpr unsigned log_capacity = 65536;

// The whole shared file. The read plane comes first, so a mapping of the
// file is the register window the library reads.
struct Board {
    uint8_t rd[window_size]; // what the library reads
    uint8_t wr[window_size]; // what the library last wrote
    pthread_mutex_t mutex;   // process-shared: bus devices run in any process
    uint32_t stuck_busy;     // SPI and GSPI report busy forever
    SpiModule modules[6];
    GspiChip chips[8];
    LmkChip lmk;
    uint32_t log_count;
    BusEvent log[log_capacity];
};

// A store of len bytes (board byte order) at window offset off.
void store(Board *b, uint32_t off, const uint8_t *bytes, unsigned len);

// Shared-file location under KD_ROOT.
std::string board_file();
std::string region_file(unsigned dev, unsigned map);

inline uint16_t load16(const uint8_t *plane, uint32_t off)
{
    uint16_t v = __atomic_load_n(reinterpret_cast<const uint16_t *>(plane + off), __ATOMIC_ACQUIRE);
    return __builtin_bswap16(v);
}
inline uint32_t load32(const uint8_t *plane, uint32_t off)
{
    return static_cast<uint32_t>(load16(plane, off)) << 16 | load16(plane, off + 2);
}
inline void put16(uint8_t *plane, uint32_t off, uint16_t v)
{
    __atomic_store_n(reinterpret_cast<uint16_t *>(plane + off), __builtin_bswap16(v), __ATOMIC_RELEASE);
}
inline void put32(uint8_t *plane, uint32_t off, uint32_t v)
{
    put16(plane, off, static_cast<uint16_t>(v >> 16));
    put16(plane, off + 2, static_cast<uint16_t>(v));
}

} // namespace boardsim

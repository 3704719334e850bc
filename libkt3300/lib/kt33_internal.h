// Internal to the board library: register access through the platform
// seam, the register map, and discovery helpers.
#pragma once

#include "i2c_kt33.h"
#include "kt33_platform.h"

#include <atomic>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>

namespace kt33 {

// Register map: byte offsets in the register window.
namespace reg {
constexpr uint32_t window_size = 0x10000;
constexpr uint32_t input_inversion = 0x10;
constexpr uint32_t i2s_global = 0x12;
constexpr uint32_t sdi_audio_reset = 0x14;
constexpr uint32_t psa_xpoint(unsigned i) { return i * 0x100; }
constexpr uint32_t i2s_local(unsigned j) { return j * 0x100 + 0x08; }
constexpr uint32_t sdi_out_audio_src(unsigned k) { return k * 0x100 + 0x10; }
constexpr uint32_t embedder_addr(unsigned c) { return c * 0x100 + 0x20; }
constexpr uint32_t embedder_ctl(unsigned c) { return c * 0x100 + 0x24; }
constexpr uint32_t embedder_pos(unsigned c) { return c * 0x100 + 0x28; }
constexpr uint32_t video_status(unsigned n) { return 0x400 + n * 0x100; }
constexpr uint32_t st352_ctl(unsigned c) { return c * 0x100 + 0x402; }
constexpr uint32_t st352_data(unsigned c) { return c * 0x100 + 0x404; }
constexpr uint32_t tp(unsigned n) { return 0x1000 + n * 0x200; }
constexpr uint32_t tp_mode = 0x02, tp_std = 0x04, tp_matte = 0x08, tp_pos2 = 0x0E, tp_pos1 = 0x10,
                   tp_text_addr = 0x12, tp_text_data = 0x14, tp_text_size = 0x18;
constexpr uint32_t version = 0x3000; // read: version; write: SDI control
constexpr uint32_t sdi_control = 0x3000;
constexpr uint32_t clk_control = 0x3004, clk_gpio = 0x3006;
constexpr uint32_t die_temp = 0x3100;
constexpr uint32_t spi_cmd = 0x3200, spi_data = 0x3204, gspi_status = 0x3208;
constexpr uint32_t i2c = 0x3300;
constexpr uint32_t egress_rate(unsigned c) { return 0x4000 + c * 0x400; }
constexpr uint32_t csa_enable = 0x4004;
constexpr uint32_t egress_addr(unsigned c) { return 0x4010 + c * 0x400; }
constexpr uint32_t egress_ctl(unsigned c) { return 0x4014 + c * 0x400; }
constexpr uint32_t egress_pos(unsigned c) { return 0x4018 + c * 0x400; }
constexpr uint32_t csa_key_reg[4] = {0x4100, 0x4110, 0x4108, 0x4118}; // keys 0, 1, 2, 3
constexpr uint32_t csa_pid_table = 0x4200;
constexpr uint32_t igr_addr = 0x6800, igr_ctl = 0x6804, igr_pos = 0x6808;
} // namespace reg

// The platform chosen by the environment at the last discovery or mapping
// call (kt3300_alloc, kt3300_open, uioCreate). Null only when KT3300_SIM
// names a simulator that does not load.
const kt33_platform *select_platform();
const kt33_platform &plat();

// Register access: big-endian on the board, host order here.
inline uint16_t rd16(const void *base, uint32_t off)
{
    uint16_t v = *reinterpret_cast<const volatile uint16_t *>(static_cast<const uint8_t *>(base) + off);
    std::atomic_thread_fence(std::memory_order_acquire);
    return __builtin_bswap16(v);
}
inline uint32_t rd32(const void *base, uint32_t off)
{
    uint32_t v = *reinterpret_cast<const volatile uint32_t *>(static_cast<const uint8_t *>(base) + off);
    std::atomic_thread_fence(std::memory_order_acquire);
    return __builtin_bswap32(v);
}
inline void wr16(void *base, uint32_t off, uint16_t v)
{
    v = __builtin_bswap16(v);
    std::atomic_thread_fence(std::memory_order_release);
    plat().store(static_cast<uint8_t *>(base) + off, &v, 2);
}
inline void wr32(void *base, uint32_t off, uint32_t v)
{
    v = __builtin_bswap32(v);
    std::atomic_thread_fence(std::memory_order_release);
    plat().store(static_cast<uint8_t *>(base) + off, &v, 4);
}
// Eight bytes copied as they are (crosspoint tables, CSA keys).
inline void wr_bytes8(void *base, uint32_t off, const uint8_t *b)
{
    plat().store(static_cast<uint8_t *>(base) + off, b, 8);
}

// Discovery, from the platform's files under KD_ROOT.
// First line of a text file into buf (cut at the line feed), always
// terminated; false when the file cannot be read.
bool read_first_line(const std::string &path, char *buf, size_t size);
std::optional<uint64_t> read_hex_file(const std::string &path);
// The board's first base address from the PCI list: 1 found, 0 no board,
// -1 a board whose address does not parse.
int find_bar(uint64_t *bar);
int find_uio(std::string_view name_prefix);
struct Region {
    unsigned dev, map;
    uint64_t addr, size;
};
std::optional<Region> find_region(std::string_view map_name);
int open_uio(unsigned dev);
std::string sysfs_uio(unsigned dev);

// Clock generator frequency tables: [output][code], code 1 148.35 MHz,
// 0 148.5 MHz.
extern const lmk_pair LMK_FREQ_TABLE[2][2][LMK_FREQ_PAIRS];

} // namespace kt33

// INFO records of simulated cards, as a carrier reports them after INRQ:
// model, FPGA, version, BLVDS lanes and ports. Shared by every test that
// builds a chassis.
#pragma once

#include <cstdint>
#include <vector>

namespace xsbsim {

constexpr uint32_t kFpgaRec = 0x02013210;    // Lattice XO3 2100-1
constexpr uint32_t kVersionRec = 0x03120203; // 1.2.0203

inline uint32_t carrier_rec(char rev) { return 0x01330000u | uint8_t(rev); } // KT-3300-<rev>
inline uint32_t blvds_rec(unsigned tx, unsigned rx) { return 0x24000000u | (tx & 0x3F) << 16 | (rx & 0x3F) << 8; }
inline uint32_t port_rec(unsigned index, unsigned type, unsigned data = 0)
{
    return (0x40u + index) << 24 | (type & 0xFF) << 16 | (data & 0xFFFF);
}

// A KT-3300-<rev> card: ifp, bridge, ts and fpgapgm ports, and its lanes.
inline std::vector<uint32_t> card_records(unsigned slot, char rev = 'A', unsigned tx = 0, unsigned rx = 0,
                                          bool programmed = true)
{
    return {carrier_rec(rev), kFpgaRec, kVersionRec, blvds_rec(tx, rx),
            port_rec(0, 2, 0x0E00 | slot << 4), port_rec(1, 3, 0x0E00 | slot << 4 | 1),
            port_rec(2, 7, 0x0E00 | slot << 4 | 2), port_rec(3, 4, programmed ? 1 : 0)};
}

// The whole Ethernet frame of an INFO answer from a hardware slot.
inline std::vector<uint8_t> info_frame(unsigned slot, const std::vector<uint32_t> &records)
{
    std::vector<uint8_t> f = {0x00, 0x90, 0x1F, 0x00, 0x0E, 0x31, 0x00, 0x90, 0x1F, 0x00, 0x0F, uint8_t(slot),
                              0x88, 0xB4, 'I', 'N', 'F', 'O'};
    for (uint32_t r : records)
        for (int s = 24; s >= 0; s -= 8)
            f.push_back(uint8_t(r >> s));
    f.insert(f.end(), {0xFF, 0xFF, 0xFF, 0xFF});
    return f;
}

} // namespace xsbsim

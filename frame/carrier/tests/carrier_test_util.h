// Helpers shared by the carrier tests: INFO records of a card, recording
// stand-in commands.
#pragma once

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <sys/stat.h>

namespace carriertest {

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

inline void write_text(const std::string &path, const std::string &text)
{
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    std::ofstream(path) << text;
}

inline std::string read_text(const std::string &path)
{
    std::ifstream in(path);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

inline void write_bytes(const std::string &path, const std::vector<uint8_t> &bytes)
{
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char *>(bytes.data()), std::streamsize(bytes.size()));
}

// A stand-in program in dir that appends its name and arguments, one line
// per run, to dir/calls, and exits with `status`.
inline void recorder(const std::string &dir, const std::string &name, int status = 0)
{
    const std::string path = dir + "/" + name;
    write_text(path, "#!/bin/sh\necho \"" + name + " $*\" >> \"" + dir + "/calls\"\nexit " + std::to_string(status) + "\n");
    chmod(path.c_str(), 0755);
}

} // namespace carriertest

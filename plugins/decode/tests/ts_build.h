// Transport-stream packets built by hand from ISO/IEC 13818-1 and
// ETSI EN 300 468 for the decoder's packet rules: PAT, PMT and SDT
// sections (with their CRC) and plain PES-style packets.
#pragma once

#include <mpegts_crc.h>

#include <array>
#include <cstdint>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

namespace tsb {

using packet = std::array<uint8_t, 188>;

inline packet header(uint16_t pid, bool pusi, uint8_t cc = 0, uint8_t scrambling = 0)
{
    packet p;
    p.fill(0xFF);
    p[0] = 0x47;
    p[1] = uint8_t((pusi ? 0x40 : 0) | (pid >> 8 & 0x1F));
    p[2] = uint8_t(pid);
    p[3] = uint8_t(scrambling << 6 | 0x10 | (cc & 0x0F));
    return p;
}

inline packet payload(uint16_t pid, uint8_t cc = 0, bool scrambled = false)
{
    packet p = header(pid, false, cc, scrambled ? 2 : 0);
    std::memset(p.data() + 4, 0xA5, 184);
    return p;
}

// A long-form section: header fields, body, CRC.
inline std::vector<uint8_t> section(uint8_t table_id, uint16_t id_ext, uint8_t version, const std::vector<uint8_t> &body)
{
    const size_t len = 5 + body.size() + 4; // after section_length
    std::vector<uint8_t> s = {table_id, uint8_t(0xB0 | (len >> 8 & 0x0F)), uint8_t(len), uint8_t(id_ext >> 8),
                              uint8_t(id_ext), uint8_t(0xC1 | (version & 0x1F) << 1), 0, 0};
    s.insert(s.end(), body.begin(), body.end());
    const uint32_t crc = DvbCrc32Compute(s.data(), s.size());
    for (int sh = 24; sh >= 0; sh -= 8)
        s.push_back(uint8_t(crc >> sh));
    return s;
}

// Section bytes into packets of a PID (pointer field 0 in the first).
inline std::vector<packet> packetize(uint16_t pid, const std::vector<uint8_t> &sec, uint8_t cc = 0)
{
    std::vector<packet> out;
    size_t off = 0;
    bool first = true;
    while (off < sec.size()) {
        packet p = header(pid, first, cc++);
        size_t at = 4;
        if (first)
            p[at++] = 0;
        const size_t n = std::min(sec.size() - off, size_t(188) - at);
        std::memcpy(p.data() + at, sec.data() + off, n);
        off += n;
        first = false;
        out.push_back(p);
    }
    return out;
}

// (program number, PMT PID) pairs.
inline std::vector<uint8_t> pat(const std::vector<std::pair<uint16_t, uint16_t>> &programs, uint8_t version = 0)
{
    std::vector<uint8_t> body;
    for (auto [num, pid] : programs)
        body.insert(body.end(), {uint8_t(num >> 8), uint8_t(num), uint8_t(0xE0 | pid >> 8), uint8_t(pid)});
    return section(0x00, 1, version, body);
}

struct es {
    uint8_t type;
    uint16_t pid;
    std::vector<uint8_t> info = {};
};

inline std::vector<uint8_t> pmt(uint16_t pcr, const std::vector<es> &streams, uint8_t version = 0, uint16_t program = 1)
{
    std::vector<uint8_t> body = {uint8_t(0xE0 | pcr >> 8), uint8_t(pcr), 0xF0, 0x00};
    for (const es &e : streams) {
        body.insert(body.end(), {e.type, uint8_t(0xE0 | e.pid >> 8), uint8_t(e.pid), uint8_t(0xF0 | e.info.size() >> 8),
                                 uint8_t(e.info.size())});
        body.insert(body.end(), e.info.begin(), e.info.end());
    }
    return section(0x02, program, version, body);
}

// One service with a service descriptor (tag 0x48).
inline std::vector<uint8_t> sdt(const std::string &provider, const std::string &name, uint8_t version = 0,
                                uint8_t table_id = 0x42)
{
    std::vector<uint8_t> d = {0x48, uint8_t(3 + provider.size() + name.size()), 0x01, uint8_t(provider.size())};
    d.insert(d.end(), provider.begin(), provider.end());
    d.push_back(uint8_t(name.size()));
    d.insert(d.end(), name.begin(), name.end());
    std::vector<uint8_t> body = {0x00, 0x01, 0xFF, 0x00, 0x01, 0xFC, uint8_t(0x80 | d.size() >> 8), uint8_t(d.size())};
    body.insert(body.end(), d.begin(), d.end());
    return section(table_id, 1, version, body);
}

// Recomputes the CRC after a test changed section bytes.
inline void recrc(std::vector<uint8_t> &sec)
{
    if (sec.size() < 12)
        return;
    sec.erase(sec.end() - 4, sec.end());
    const uint32_t crc = DvbCrc32Compute(sec.data(), sec.size());
    for (int sh = 24; sh >= 0; sh -= 8)
        sec.push_back(uint8_t(crc >> sh));
}

} // namespace tsb

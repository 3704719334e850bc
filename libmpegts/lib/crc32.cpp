// CRC-32/MPEG-2 (ISO/IEC 13818-1 Annex A), most significant bit first.
// Slice-by-8: eight tables derived from the classic 256-entry table let the
// loop consume eight bytes per step; the result is identical bit for bit.
#include "mpegts_crc.h"

#include <array>

#include "mpegts_internal.h"

namespace {

constexpr uint32_t kPoly = 0x04C11DB7u;

using Tables = std::array<std::array<uint32_t, 256>, 8>;

constexpr Tables make_tables()
{
    Tables t{};
    for (uint32_t i = 0; i < 256; ++i) {
        uint32_t c = i << 24;
        for (int b = 0; b < 8; ++b)
            c = (c & 0x80000000u) ? (c << 1) ^ kPoly : c << 1;
        t[0][i] = c;
    }
    // t[k][i]: the CRC contribution of byte i followed by k zero bytes.
    for (int k = 1; k < 8; ++k)
        for (uint32_t i = 0; i < 256; ++i)
            t[k][i] = (t[k - 1][i] << 8) ^ t[0][t[k - 1][i] >> 24];
    return t;
}

constexpr Tables kTables = make_tables();

} // namespace

extern "C" MPEGTS_API uint32_t DvbCrc32Compute(const uint8_t *buf, size_t len) noexcept
{
    uint32_t crc = 0xFFFFFFFFu;
    if (!buf)
        return crc;
    const auto &t = kTables;
    while (len >= 8) {
        crc ^= mpegts::be32(buf);
        crc = t[7][crc >> 24] ^ t[6][(crc >> 16) & 0xFF] ^ t[5][(crc >> 8) & 0xFF] ^ t[4][crc & 0xFF] ^
              t[3][buf[4]] ^ t[2][buf[5]] ^ t[1][buf[6]] ^ t[0][buf[7]];
        buf += 8;
        len -= 8;
    }
    while (len--)
        crc = t[0][(crc >> 24) ^ *buf++] ^ (crc << 8);
    return crc;
}

extern "C" MPEGTS_API int DvbCrc32Check(const uint8_t *buf, size_t len) noexcept
{
    if (!buf || len < 4)
        return 0;
    return DvbCrc32Compute(buf, len - 4) == mpegts::be32(buf + len - 4);
}

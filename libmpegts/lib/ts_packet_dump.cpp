// Debug dumps of a packet; kept apart so that real-time code never pulls
// in stdio.
#include <cctype>
#include <cstdio>

#include "ts_packet.h"

namespace {
const char kHex[] = "0123456789abcdef";
}

extern "C" MPEGTS_API int tspkt_to_string(const tsPkt *pkt, char *buf, size_t size) noexcept
{
    if (!pkt || !buf || size == 0)
        return -1;
    const auto *b = reinterpret_cast<const uint8_t *>(pkt);
    size_t pos = 0;
    // Each byte takes three characters; keep room for the closing newline
    // and the terminating NUL.
    for (size_t i = 0; i < TS_PACKET_SIZE && pos + 3 + 2 <= size; ++i) {
        buf[pos++] = kHex[b[i] >> 4];
        buf[pos++] = kHex[b[i] & 15];
        buf[pos++] = (i % 8 == 7) ? '\n' : ' ';
    }
    if ((pos == 0 || buf[pos - 1] != '\n') && pos + 2 <= size)
        buf[pos++] = '\n';
    buf[pos] = '\0';
    return int(pos);
}

extern "C" MPEGTS_API void ts_packet_hex_dump(const tsPkt *pkt) noexcept
{
    if (!pkt)
        return;
    const auto *b = reinterpret_cast<const uint8_t *>(pkt);
    std::printf("TS header: sync 0x%02x | TEI/PUSI/prio/PID 0x%02x 0x%02x | scram/AFC/CC 0x%02x\n", b[0], b[1],
                b[2], b[3]);
    std::printf("  dec   hex | 00 01 02 03 04 05 06 07 08 09 0a 0b 0c 0d 0e 0f | text\n");
    for (int off = 0; off < TS_PACKET_SIZE; off += 16) {
        std::printf("  %3d  %04x | ", off, off);
        for (int i = 0; i < 16; ++i) {
            if (off + i < TS_PACKET_SIZE)
                std::printf("%02x ", b[off + i]);
            else
                std::printf("   ");
        }
        std::printf("| ");
        for (int i = 0; i < 16 && off + i < TS_PACKET_SIZE; ++i) {
            uint8_t c = b[off + i];
            if (c == '\n')
                std::printf("\\n");
            else if (c == '\r')
                std::printf("\\r");
            else if (c == '\t')
                std::printf("\\t");
            else
                std::printf("%c", std::isprint(c) ? c : '.');
        }
        std::printf("\n");
    }
}

// Hex dumps for debugging; kept apart so the data path never pulls in stdio.
#include "mcf_utils.h"

#include <cstdio>

extern "C" void mcastfwdr_hexdump(const void *data, size_t size)
{
    const auto *p = static_cast<const unsigned char *>(data);
    for (size_t off = 0; off < size; off += 16) {
        char text[17] = {};
        std::printf("%08zX  ", off);
        for (size_t i = 0; i < 16; ++i) {
            if (off + i < size) {
                const unsigned char c = p[off + i];
                std::printf("%02X ", c);
                text[i] = c >= 32 && c <= 126 ? char(c) : '.';
            } else {
                std::printf("   ");
            }
            if (i == 7)
                std::printf(" ");
        }
        std::printf("|%s|\n", text);
    }
}

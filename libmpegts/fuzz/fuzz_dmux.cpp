// Fuzz target: the section demultiplexer and the analyzer over a stream of
// packets. The first input byte picks the demultiplexer's buffer size; the
// packets' PIDs are forced onto the demultiplexer's PID half of the time so
// that reassembly is reached.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "mpegts.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1)
        return 0;
    const size_t area = 3 + size_t(data[0]) * 16;
    section_dmux *d = (data[0] & 1) ? section_dmux_nocc_ctor(0x20, area) : section_dmux_ctor(0x20, area);
    analyzer *a = analyzer_ctor();
    analyzer_add_referenced_pid(a, 0x20);
    analyzer_set_pid_error_distance(a, 3);
    ++data;
    --size;
    std::vector<uint8_t> out(area);
    for (size_t off = 0; off + TS_PACKET_SIZE <= size; off += TS_PACKET_SIZE) {
        tsPkt p;
        std::memcpy(&p, data + off, sizeof p);
        if (p.payload[183] & 1)
            tsphSetPid(&p, 0x20);
        int r = section_dmux_process(d, &p);
        if (r == 1) {
            int n = section_dmux_get_section(d, out.data(), out.size());
            if (n < 3 || n != section_dmux_get_section_length(d) + 3)
                __builtin_trap();
        }
        analyzer_process(a, reinterpret_cast<const uint8_t *>(&p), TS_PACKET_SIZE);
    }
    analyzer_strerror(a, "fuzz");
    analyzer_dtor(a);
    section_dmux_dtor(d);
    return 0;
}

// Fuzz target: packet accessors and locating a table in a packet. Each
// 188-byte chunk of the input is one packet, read through every accessor
// that a receiver runs on a packet from the wire.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "mpegts.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    for (size_t off = 0; off + TS_PACKET_SIZE <= size; off += TS_PACKET_SIZE) {
        tsPkt p;
        std::memcpy(&p, data + off, sizeof p);
        ts_hdr h = tsphGetTsHdr(&p);
        volatile unsigned sink = h.pid + h.continuity_counter;
        int shift = get_shift(&p);
        if (h.adaptation_field_control >= 2) {
            adaptation_field af = tsphGetAdaptionField(p.payload);
            sink = sink + af.length + af.pcr_flag;
        }
        uint8_t out[TS_PAYLOAD_SIZE];
        int n = tsCopyPayload(&p, out, sizeof out);
        if (n > TS_PAYLOAD_SIZE || shift > TS_PAYLOAD_SIZE)
            __builtin_trap();
        TPmt *pmt = nullptr;
        if (tsGetPmt(&p, &pmt) == 0) {
            // A located table lies whole in the packet: every walk stays inside.
            tsTestCRC(&pmt->header);
            for (int i = 0; TPmtEntry *e = get_pmt_entry(pmt, i); ++i) {
                uint8_t d[256];
                tsGetPmtDescriptor(e, d, sizeof d);
            }
            uint8_t d[256];
            tsGetPmtServiceDescriptor(pmt, d, sizeof d);
            TPat *pat = reinterpret_cast<TPat *>(pmt);
            for (int i = 0; i < tsGetPatNumPrograms(pat) && i < 64; ++i)
                sink = sink + tsGetPatProgramPid(pat, i);
        }
        char text[600];
        tspkt_to_string(&p, text, sizeof text);
        (void)sink;
    }
    return 0;
}

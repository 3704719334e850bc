// libFuzzer target: the input as a transport-stream file through the
// summary, PID and CA modes, and as one section through the text forms.
#include <algorithm>
#include <cstdio>
#include <vector>

#include "dumper.h"
#include "section_text.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static FILE *sink = std::fopen("/dev/null", "w");

    // One section: as long as its section_length says, padded with zeros
    // when the input is shorter.
    if (size >= 3) {
        std::vector<uint8_t> section(3 + (size_t(data[1] & 0x0F) << 8 | data[2]));
        std::copy_n(data, std::min(size, section.size()), section.begin());
        std::fputs(tdump::section_text(section).c_str(), sink);
    }

    // A file: every 188-byte step starts with the sync byte and carries one
    // of the PIDs the modes follow, so that the demultiplexers see sections.
    static const uint16_t pids[8] = {0x0, 0x1, 0x10, 0x11, 0x14, 0x1FFB, 0x100, 0x1FFF};
    std::vector<uint8_t> file(data, data + size);
    for (size_t at = 0; at + 3 <= file.size(); at += TS_PACKET_SIZE) {
        const uint16_t pid = pids[file[at + 2] & 7];
        file[at] = TS_SYNC_BYTE;
        file[at + 1] = uint8_t((file[at + 1] & 0xE0) | (pid >> 8));
        file[at + 2] = uint8_t(pid);
    }
    // CA mode without a receiver: the PAT, CAT and PMT follow-up (the
    // receiver's own door checks have their fuzz targets in the library).
    for (tdump::mode m : {tdump::mode::summary, tdump::mode::pid, tdump::mode::ca}) {
        tdump::dumper d(m, true, sink, sink);
        if (m == tdump::mode::summary) {
            d.add_summary_slots();
        } else if (m == tdump::mode::pid) {
            d.add_slot(0x1FFB, 2048);
        } else {
            d.add_slot(0, 1024);
            d.add_slot(1, 1024);
        }
        std::vector<uint8_t> copy = file;
        for (size_t at = 0; at < copy.size(); at += tdump::kReadSize) {
            size_t n = std::min(tdump::kReadSize, copy.size() - at);
            d.process_read(std::span<uint8_t>(copy.data() + at, n));
        }
        if (m == tdump::mode::summary)
            d.print_summary();
    }
    return 0;
}

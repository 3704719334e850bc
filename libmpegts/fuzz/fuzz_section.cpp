// Fuzz target: section parsing. The input is one section in a buffer of
// exactly its size; the accessors are run only once the door check (the
// section's own length fits the buffer) passed, as a caller must do.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "mpegts.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 3)
        return 0;
    std::vector<uint8_t> buf(data, data + size); // exact size: ASan sees any overrun
    const auto *s = reinterpret_cast<const TTableBase *>(buf.data());
    if (size_t(tsGetCompleteTableLength(s)) > size)
        return 0;
    tsTestCRC(s);
    tsGetCRC(s);
    const auto *pmt = reinterpret_cast<const TPmt *>(buf.data());
    if (size >= 12) {
        tsGetPmtEntriesLength(pmt);
        uint8_t d[256];
        tsGetPmtServiceDescriptor(pmt, d, sizeof d);
        for (int i = 0; const TPmtEntry *e = get_pmt_entry(pmt, i); ++i) {
            tsGetPmtEntryPID(e);
            tsGetPmtDescriptor(e, d, sizeof d);
            const uint8_t *loop = e->es_info;
            size_t len = tsGetPmtEntryESInfoLength(e);
            for (const descriptor *x = descriptor_loop_next(loop, len, nullptr); x; x = descriptor_loop_next(loop, len, x))
                scrambling_descr_get_mode(x);
        }
        static char text[8192];
        tsPmtToString(pmt, text, sizeof text);
    }
    const auto *pat = reinterpret_cast<const TPat *>(buf.data());
    for (int i = 0; i < tsGetPatNumPrograms(pat); ++i)
        tsGetPatProgramPid(pat, i);
    tsCheckPatProgramExists(pat, 1);
    // Editing in place stays within what the section holds and refuses
    // growth past one packet.
    if (size >= PSI_ONE_PACKET_SECTION_MAX + 5) {
        std::vector<uint8_t> room(buf);
        room.resize(sizeof(TPmt) > room.size() ? sizeof(TPmt) : room.size(), 0);
        auto *m = reinterpret_cast<TPmt *>(room.data());
        add_pmt_program_info_descriptor(m, 134);
        rem_pmt_program_info_descriptor(m, 0x86);
        if (TPmtEntry *e = get_pmt_entry(m, 0)) {
            const uint8_t extra[4] = {0x52, 1, 1, 0};
            append_pmt_es_info(m, e, extra, 3);
        }
        add_pmt_entry(m, 2, 0x100);
    }
    std::vector<tsPkt> pkts(24);
    packetize_section(pkts.data(), unsigned(pkts.size()), s, 0x100);
    return 0;
}

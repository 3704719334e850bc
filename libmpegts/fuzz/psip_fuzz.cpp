// Fuzz target: ATSC PSIP section parsing. The input is one section in a
// buffer of exactly its size; once the door check passed (the section's own
// length fits the buffer) the readers must stay inside it, and what they
// hand out (entries, dimensions, multiple strings) must be safe to read.
// The input's bytes are also fed to the UTF-8 text path as a text.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "mpegts.h"

namespace {

void read_strings(const TMultiString *ms)
{
    if (!ms)
        return;
    char text[64];
    char lang[3];
    for (int i = 0; i < ms_get_number_strings(ms); ++i) {
        ms_get_string(ms, i, lang, text, sizeof text);
        for (int k = 0; k < ms_string_get_number_segments(ms, i); ++k)
            if (const uint8_t *b = ms_segment_get_bytes(ms, i, k))
                std::memcpy(text, b,
                            size_t(ms_segment_get_number_bytes(ms, i, k)) < sizeof text
                                ? size_t(ms_segment_get_number_bytes(ms, i, k))
                                : sizeof text);
    }
}

void read_tables(const uint8_t *s)
{
    const auto *stt = reinterpret_cast<const TStt *>(s);
    tsGetSttSystemTime(stt);
    tsGetSttDsHour(stt);

    const auto *mgt = reinterpret_cast<const TMgt *>(s);
    for (int i = 0; const TMgtEntry *e = tsGetMgtEntry(mgt, i); ++i)
        tsGetMgtEntryTableTypeDescriptorLength(e);
    tsGetMgtDescriptorLength(tsGetMgtDescriptor(mgt));

    const auto *vct = reinterpret_cast<const TVct *>(s);
    for (int i = 0; const TVctEntry *e = tsGetVctEntry(vct, i); ++i) {
        tsGetVctEntryMajorChannelNumber(e);
        tsGetVctEntryDescriptorLength(e);
    }
    tsGetVctDescriptorLength(tsGetVctDescriptor(vct));

    const auto *eit = reinterpret_cast<const TEit *>(s);
    for (int i = 0; const TEitEntry *e = tsGetEitEntry(eit, i); ++i) {
        tsGetEitEntryDescriptorLength(e);
        if (e->title_length)
            read_strings(reinterpret_cast<const TMultiString *>(e + 1));
    }

    const auto *rrt = reinterpret_cast<const TRrt *>(s);
    read_strings(tsGetRrtRatingRegionName(rrt));
    for (int i = 0; const TRrtDimension *d = tsGetRrtDimension(rrt, i); ++i) {
        read_strings(tsGetRrtDimensionName(d));
        sizeof_RrtDimension(d);
    }
    tsGetRrtDescriptorsLength(rrt);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // The bytes as a zero-terminated text.
    std::vector<char> text(data, data + size);
    text.push_back('\0');
    std::vector<uint8_t> ms(2048);
    read_strings(reinterpret_cast<TMultiString *>(ms.data()));
    ms_append_string(ms_init(ms.data()), "eng", text.data(), size);
    read_strings(reinterpret_cast<TMultiString *>(ms.data()));
    TVctEntry name;
    tsSetVctEntryShortName(&name, text.data());

    if (size < 3)
        return 0;
    std::vector<uint8_t> buf(data, data + size); // exact size: ASan sees any overrun
    const auto *s = reinterpret_cast<const TTableBase *>(buf.data());
    if (size_t(tsGetCompleteTableLength(s)) > size)
        return 0;
    read_tables(buf.data());

    // Growing in a buffer with room for any section keeps every table
    // readable and within its limits.
    std::vector<uint8_t> room(buf);
    room.resize(PSI_SECTION_MAX_SIZE + 64, 0);
    tsAppendMgtEntry(reinterpret_cast<TMgt *>(room.data()));
    tsAppendVctEntry(reinterpret_cast<TVct *>(room.data()));
    auto *rrt = reinterpret_cast<TRrt *>(room.data());
    if (TRrtDimension *d = tsAppendRrtDimension(rrt, "eng", "Dim", 3)) {
        tsSetRrtDimensionName(rrt, d, "eng", "Longer name", 11);
        read_tables(room.data());
    }
    read_tables(room.data());
    return 0;
}

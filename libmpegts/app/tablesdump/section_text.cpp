#include "section_text.h"

#include <cstdarg>
#include <cstdio>
#include <ctime>

#include "mpegts.h"

namespace tdump {

std::string format(const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    char small[256];
    va_list again;
    va_copy(again, ap);
    int n = std::vsnprintf(small, sizeof small, fmt, ap);
    va_end(ap);
    std::string s;
    if (n < 0) {
        va_end(again);
        return s;
    }
    if (size_t(n) < sizeof small) {
        s.assign(small, size_t(n));
    } else {
        s.resize(size_t(n) + 1);
        std::vsnprintf(s.data(), s.size(), fmt, again);
        s.resize(size_t(n));
    }
    va_end(again);
    return s;
}

namespace {

// Long-form header, at least one loop byte position and the CRC.
constexpr size_t kHeader = 8, kCrc = 4;

const TTableBase *base(std::span<const uint8_t> s) { return reinterpret_cast<const TTableBase *>(s.data()); }

std::string descriptor_line(const char *fmt, const descriptor *d)
{
    return format(fmt, unsigned(d->tag), unsigned(d->len), strings_descriptor_type[d->tag]);
}

bool biss2ca_ids(const descriptor *d, int *esid, int *onid)
{
    *esid = ca_descr_get_biss2ca_esid(d);
    *onid = ca_descr_get_biss2ca_onid(d);
    return ca_descr_is_biss2ca(d) && *esid >= 0 && *onid >= 0;
}

std::string pat_text(std::span<const uint8_t> s)
{
    const auto *pat = reinterpret_cast<const TPat *>(s.data());
    std::string t = format("PAT: TSID %u, Version %u sect %u/%u\n", unsigned(tsGetProgramNumber(base(s))),
                           unsigned(tsGetVersion(base(s))), unsigned(tsGetSectionNumber(base(s))),
                           unsigned(tsGetLastSectionNumber(base(s))));
    for (int i = 0, n = tsGetPatNumPrograms(pat); i < n; ++i)
        t += format("  Entry: PNU %u, PID %u\n", unsigned(tsGetPatProgramNumber(pat, i)),
                    unsigned(tsGetPatProgramPid(pat, i)));
    return t;
}

std::string cat_text(std::span<const uint8_t> s)
{
    size_t loop_len = s.size() - kHeader - kCrc;
    std::string t = format("CAT: Version %u sect %u/%u loop len %zu\n", unsigned(tsGetVersion(base(s))),
                           unsigned(tsGetSectionNumber(base(s))), unsigned(tsGetLastSectionNumber(base(s))),
                           loop_len);
    const uint8_t *loop = s.data() + kHeader;
    for (const descriptor *d = descriptor_loop_next(loop, loop_len, nullptr); d;
         d = descriptor_loop_next(loop, loop_len, d)) {
        int esid, onid;
        if (biss2ca_ids(d, &esid, &onid))
            t += format("  Tag CA Len %u BISS-CA EMM PID: %u ESID: %u ONID %u\n", unsigned(d->len),
                        unsigned(ca_descr_get_ca_pid(d)), unsigned(esid), unsigned(onid));
        else if (ca_descr_is_biss1m1(d))
            t += format("  Tag CA Len %u BISS-M1 CA PID: %u\n", unsigned(d->len), unsigned(ca_descr_get_ca_pid(d)));
        else
            t += descriptor_line("  Tag %.2u Len %.2u (%s) \n", d);
    }
    return t;
}

std::string pmt_text(std::span<const uint8_t> s)
{
    const auto *pmt = reinterpret_cast<const TPmt *>(s.data());
    unsigned info_len = tsGetPmtProgramInfoLength(pmt);
    std::string t = format("PMT: PNU %u, Version %u sect %u/%u\n", unsigned(tsGetProgramNumber(base(s))),
                           unsigned(tsGetVersion(base(s))), unsigned(tsGetSectionNumber(base(s))),
                           unsigned(tsGetLastSectionNumber(base(s))));
    t += format("  PCR PID %u, Info Len %u\n", unsigned(tsGetPmtPCRPid(pmt)), info_len);
    const uint8_t *info = s.data() + 12;
    for (const descriptor *d = descriptor_loop_next(info, info_len, nullptr); d;
         d = descriptor_loop_next(info, info_len, d)) {
        int esid, onid;
        if (biss2ca_ids(d, &esid, &onid))
            t += format("  Info CA Len %u BISS-CA ECM PID %u ESID %u ONID %u\n", unsigned(d->len),
                        unsigned(ca_descr_get_ca_pid(d)), unsigned(esid), unsigned(onid));
        else if (d->tag == 0x65 && d->len > 0)
            t += format("  Info SCRAMBLING Len %u Type %u\n", unsigned(d->len), unsigned(descriptor_get_data(d)[0]));
        else
            t += descriptor_line("  Info Tag %.2u Len %.2u (%s) \n", d);
    }
    for (int i = 0;; ++i) {
        const TPmtEntry *e = get_pmt_entry(pmt, i);
        if (!e)
            break;
        unsigned es_len = tsGetPmtEntryESInfoLength(e);
        t += format("  Entry: PID %u, st %x, ES Info Len %u\n", unsigned(tsGetPmtEntryPID(e)),
                    unsigned(tsGetPmtEntryStreamType(e)), es_len);
        const uint8_t *es = reinterpret_cast<const uint8_t *>(e) + 5;
        for (const descriptor *d = descriptor_loop_next(es, es_len, nullptr); d; d = descriptor_loop_next(es, es_len, d))
            t += descriptor_line("    ES Info Tag %.2u Len %.2u (%s) \n", d);
    }
    return t;
}

std::string stt_text(std::span<const uint8_t> s)
{
    const auto *stt = reinterpret_cast<const TStt *>(s.data());
    // GPS time counts from 1980-01-06 00:00:00 UTC, 315964800 s after the
    // Unix epoch (ATSC A/65 6.1); shown as local time.
    time_t when = time_t(tsGetSttSystemTime(stt)) + 315964800;
    struct tm tm {};
    char text[64] = "";
    if (localtime_r(&when, &tm))
        std::strftime(text, sizeof text, "%a %b %e %H:%M:%S %Y", &tm);
    return format("STT: Version %u %s GPS-UTC Offset %u DS %u\n", unsigned(tsGetVersion(base(s))), text,
                  unsigned(tsGetSttGpsUtcOffset(stt)), unsigned(tsGetSttDsStatus(stt)));
}

std::string rrt_text(std::span<const uint8_t> s)
{
    const auto *rrt = reinterpret_cast<const TRrt *>(s.data());
    std::string name;
    if (const TMultiString *ms = tsGetRrtRatingRegionName(rrt)) {
        const uint8_t *b = ms_segment_get_bytes(ms, 0, 0);
        int n = ms_segment_get_number_bytes(ms, 0, 0);
        for (int i = 0; b && i < n && b[i]; ++i)
            name += char(b[i]);
    }
    unsigned dims = tsGetRrtDimensionsDefined(rrt);
    std::string t = format("RRT: Version %u Region %.4X \"%s\" dims %u sect %u/%u\n", unsigned(tsGetVersion(base(s))),
                           unsigned(tsGetProgramNumber(base(s))), name.c_str(), dims,
                           unsigned(tsGetSectionNumber(base(s))), unsigned(tsGetLastSectionNumber(base(s))));
    for (size_t i = 0; i < dims; ++i) {
        const TRrtDimension *d = tsGetRrtDimension(rrt, int(i));
        if (!d) {
            // The dimensions behind an unreadable one cannot be located.
            t += format("  Dimension %zu invalid\n", i);
            break;
        }
        char dim_name[100] = "";
        if (const TMultiString *ms = tsGetRrtDimensionName(d); !ms || ms_get_string(ms, 0, nullptr, dim_name, sizeof dim_name) < 0)
            dim_name[0] = 0;
        t += format("  Dimension \"%s\" vals %u\n", dim_name, unsigned(tsGetRrtDimensionValuesDefined(d)));
    }
    return t;
}

} // namespace

std::string hex_dump(std::span<const uint8_t> b)
{
    std::string t;
    size_t i = 0;
    for (; i + 16 <= b.size(); i += 16) {
        t += format("%.4X: ", unsigned(i));
        for (size_t k = 0; k < 16; ++k)
            t += format(k == 8 ? "  %.2X" : "%.2X", unsigned(b[i + k]));
        t += '\n';
    }
    if (i < b.size()) {
        t += format("%.4lX:", static_cast<unsigned long>(i));
        for (; i < b.size(); ++i)
            t += format(" %.2X", unsigned(b[i]));
        t += '\n';
    }
    return t;
}

std::string key_text(std::span<const uint8_t> bytes)
{
    std::string t;
    for (size_t i = 0; i < bytes.size(); ++i)
        t += format(i > 0 && i % 2 == 0 ? " %.2X" : "%.2X", unsigned(bytes[i]));
    return t;
}

std::string section_text(std::span<const uint8_t> s)
{
    if (s.size() < 3)
        return hex_dump(s);
    const size_t n = s.size();
    switch (s[0]) {
    case TABLEID_PAT:
        return n >= kHeader + kCrc ? pat_text(s) : hex_dump(s);
    case TABLEID_CAT:
        return n >= kHeader + kCrc ? cat_text(s) : hex_dump(s);
    case TABLEID_PMT:
        // PCR_PID and program_info_length, then program info inside the section.
        if (n >= kHeader + 4 + kCrc && tsGetPmtProgramInfoLength(reinterpret_cast<const TPmt *>(s.data())) <= n - 16)
            return pmt_text(s);
        return hex_dump(s);
    case TABLEID_STT:
        return n >= sizeof(TStt) + kCrc ? stt_text(s) : hex_dump(s);
    case TABLEID_RRT:
        return n >= sizeof(TRrt) + kCrc ? rrt_text(s) : hex_dump(s);
    case TABLEID_BISS2CA_ECM:
    case TABLEID_BISS2CA_EMM_1:
        return {};
    default:
        return hex_dump(s);
    }
}

} // namespace tdump

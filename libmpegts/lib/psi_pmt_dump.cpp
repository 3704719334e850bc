// Text dump of a PMT: each line shows the raw byte or bytes that hold a
// field (big-endian) beside its decoded value.
#include <cstdarg>
#include <cstdio>
#include <string>

#include "mpegts_internal.h"
#include "psi_pmt.h"

using namespace mpegts;

namespace {

// Writes into a caller buffer; fails for good once a line does not fit.
struct Out {
    char *buf;
    size_t size, pos = 0;
    bool bad = false;
    void line(const char *fmt, ...) __attribute__((format(printf, 2, 3)))
    {
        if (bad)
            return;
        va_list ap;
        va_start(ap, fmt);
        int n = std::vsnprintf(buf + pos, size - pos, fmt, ap);
        va_end(ap);
        if (n < 0 || size_t(n) >= size - pos)
            bad = true;
        else
            pos += size_t(n);
    }
};

// "0x%02X " per byte, as many groups as fit in 127 characters.
std::string loop_text(const uint8_t *p, size_t n)
{
    std::string s;
    char g[8];
    for (size_t i = 0; i < n && s.size() + 5 <= 127; ++i) {
        std::snprintf(g, sizeof g, "0x%02X ", p[i]);
        s += g;
    }
    return s;
}

} // namespace

extern "C" MPEGTS_API int tsPmtToString(const TPmt *pmt, char *buf, size_t size) noexcept
{
    // Nothing is read beyond the section: one too short to be a PMT is refused.
    if (!pmt || !buf || size == 0 || tsGetSectionLength(&pmt->header) < 13)
        return -1;
    try {
        const uint8_t *s = sec(pmt);
        const TTableBase *h = &pmt->header;
        Out o{buf, size};
        const unsigned w12 = be16(s + 1), pn = be16(s + 3), pcr = be16(s + 8), pil = be16(s + 10);
        o.line("0x%02X table_id: %u\n", s[0], s[0]);
        o.line("0x%04X section_syntax_indicator: %u\n", w12, tsGetSectionSyntaxInd(h));
        o.line("0x%04X section_length: %u\n", w12, w12 & 0x0FFFu);
        o.line("0x%04X program_number: %u\n", pn, pn);
        o.line("0x%02X version_number: %u\n", s[5], tsGetVersion(h));
        o.line("0x%02X current_next_indicator: %u\n", s[5], tsGetCurrentNext(h));
        o.line("0x%02X section_number: %u\n", s[6], s[6]);
        o.line("0x%02X last_section_number: %u\n", s[7], s[7]);
        o.line("0x%04X PCR_PID: %u\n", pcr, pcr & 0x1FFFu);
        o.line("0x%04X program_info_length: %u\n", pil, pil & 0x0FFFu);
        // The loops are shown only as far as the section holds them.
        const bool ok = tsGetPmtEntriesLength(pmt) >= 0;
        o.line("0x?? program_info: { %s }\n", ok ? loop_text(s + 12, pil & 0x0FFFu).c_str() : "");
        for (int i = 0; const TPmtEntry *e = ok ? get_pmt_entry(pmt, i) : nullptr; ++i) {
            const unsigned epid = be16(e->elementary_pid), elen = be16(e->es_info_length);
            o.line("  -----------------\n");
            o.line("  0x%02X stream_type: %u\n", e->stream_type, e->stream_type);
            o.line("  0x%04X elementary_PID: %u\n", epid, epid & 0x1FFFu);
            o.line("  0x%04X ES_info_length: %u\n", elen, elen & 0x0FFFu);
            o.line("  0x?? ES_info: { %s }\n", loop_text(e->es_info, elen & 0x0FFFu).c_str());
        }
        o.line("  -----------------\n");
        const uint32_t crc = section_length(s) >= 4 ? be32(s + complete_length(s) - 4) : 0;
        o.line("0x%08X CRC_32: %u\n", crc, crc);
        return o.bad ? -1 : int(o.pos);
    } catch (...) {
        return -1;
    }
}

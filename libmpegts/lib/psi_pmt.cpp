// Program map table (ISO/IEC 13818-1 2.4.4.8). Offsets are from the
// section's first byte: 8 PCR_PID, 10 program_info_length, 12 program info,
// then the entries up to the CRC at complete length - 4.
#include "psi_pmt.h"

#include <cstring>

#include "mpegts_internal.h"
#include "psi_descriptor.h"

using namespace mpegts;

namespace {

constexpr size_t kProgramInfo = 12;
constexpr size_t kCapacity = PSI_ONE_PACKET_SECTION_MAX;

inline unsigned pil(const uint8_t *s) { return be16(s + 10) & 0x0FFFu; }
inline size_t entries_start(const uint8_t *s) { return kProgramInfo + pil(s); }
inline size_t entries_end(const uint8_t *s) { return complete_length(s) - 4; }
// The fixed fields, program info and entries must fit inside
// section_length; program_info_length is read only once it is known to be
// inside the section.
inline bool consistent(const uint8_t *s) { return section_length(s) >= 13 && section_length(s) >= 13 + pil(s); }
inline unsigned esl(const uint8_t *e) { return be16(e + 3) & 0x0FFFu; }

// Reserved bits of a 13-bit PID (3) or 12-bit length (4) field are ones.
inline void put_pid(uint8_t *p, uint16_t pid) { put_be16(p, uint16_t(0xE000 | (pid & 0x1FFF))); }
inline void put_len12(uint8_t *p, unsigned len) { put_be16(p, uint16_t(0xF000 | (len & 0x0FFF))); }

// Inserts n bytes at offset off of the section, moving what lies between off
// and the CRC position, and grows section_length. The CRC is left stale.
bool insert_bytes(uint8_t *s, size_t off, const uint8_t *src, size_t n)
{
    if (!consistent(s) || complete_length(s) + n > kCapacity || off < kProgramInfo || off > entries_end(s))
        return false;
    std::memmove(s + off + n, s + off, entries_end(s) - off);
    std::memcpy(s + off, src, n);
    set_section_length(s, unsigned(section_length(s) + n));
    return true;
}

// The offset of entry e in the section, when it is one of its entries.
bool entry_offset(const uint8_t *s, const uint8_t *e, size_t *off)
{
    if (!consistent(s))
        return false;
    for (size_t o = entries_start(s), end = entries_end(s); o + 5 <= end;) {
        const uint8_t *cur = s + o;
        if (o + 5 + esl(cur) > end)
            return false;
        if (cur == e) {
            *off = o;
            return true;
        }
        o += 5 + esl(cur);
    }
    return false;
}

int copy_data(const descriptor *d, uint8_t *out, size_t size)
{
    if (!d)
        return 0;
    if (!out || d->len > size)
        return -1;
    std::memcpy(out, descriptor_get_data(d), d->len);
    return d->len;
}

const descriptor *first_program_descriptor(const TPmt *pmt)
{
    const uint8_t *s = sec(pmt);
    if (!consistent(s))
        return nullptr;
    return descriptor_loop_next(s + kProgramInfo, pil(s), nullptr);
}

const descriptor *first_es_descriptor(const TPmtEntry *e)
{
    return descriptor_loop_next(e->es_info, esl(sec(e)), nullptr);
}

} // namespace

static_assert(sizeof(TPmt) == 188, "wire layout");
static_assert(offsetof(TPmtEntry, es_info) == 5, "wire layout");

extern "C" {

MPEGTS_API int tsGetPmt(tsPkt *pkt, TPmt **out) noexcept { return locate_table(pkt, out); }

MPEGTS_API int tsSetPmtDefault(TPmt *pmt, uint16_t program_number, uint16_t pcr_pid) noexcept
{
    uint8_t *b = sec(pmt);
    write_header(b, 2, 13, program_number, 1);
    put_pid(b + 8, pcr_pid);
    put_len12(b + 10, 0);
    // Up to the capacity only: a PMT located in its packet ends there.
    std::memset(b + kProgramInfo, 0xFF, kCapacity - kProgramInfo);
    return 0;
}

MPEGTS_API uint16_t tsGetPmtPCRPid(const TPmt *pmt) noexcept { return uint16_t(be16(sec(pmt) + 8) & 0x1FFF); }
MPEGTS_API int tsSetPmtPCRPid(TPmt *pmt, uint16_t pid) noexcept
{
    put_pid(sec(pmt) + 8, pid);
    return 0;
}
MPEGTS_API int tsSetPmtReserved0(TPmt *pmt) noexcept
{
    sec(pmt)[8] |= 0xE0;
    return 0;
}
MPEGTS_API int tsSetPmtReserved1(TPmt *pmt) noexcept
{
    sec(pmt)[10] |= 0xF0;
    return 0;
}
MPEGTS_API int tsSetPmtProgramNumber(TPmt *pmt, uint16_t program_number) noexcept
{
    return tsSetTSId(&pmt->header, program_number);
}
MPEGTS_API uint16_t tsGetPmtProgramInfoLength(const TPmt *pmt) noexcept { return uint16_t(pil(sec(pmt))); }
MPEGTS_API int tsSetPmtProgramInfoLength(TPmt *pmt, uint16_t len) noexcept
{
    uint8_t *b = sec(pmt);
    put_be16(b + 10, uint16_t((be16(b + 10) & 0xF000) | (len & 0x0FFF)));
    return 0;
}
MPEGTS_API int tsAddPmtProgramInfoLength(TPmt *pmt, int delta) noexcept
{
    int len = int(pil(sec(pmt))) + delta;
    if (len < 0 || len > 0x0FFF)
        return -1;
    return tsSetPmtProgramInfoLength(pmt, uint16_t(len));
}
MPEGTS_API int tsGetPmtEntriesLength(const TPmt *pmt) noexcept
{
    const uint8_t *s = sec(pmt);
    return consistent(s) ? int(section_length(s) - 13 - pil(s)) : -1;
}

MPEGTS_API TPmtEntry *get_pmt_entry(const TPmt *pmt, int index) noexcept
{
    const uint8_t *s = sec(pmt);
    if (index < 0 || !consistent(s))
        return nullptr;
    size_t o = entries_start(s), end = entries_end(s);
    for (int i = 0;; ++i) {
        if (o + 5 > end || o + 5 + esl(s + o) > end)
            return nullptr;
        if (i == index)
            return reinterpret_cast<TPmtEntry *>(const_cast<uint8_t *>(s + o));
        o += 5 + esl(s + o);
    }
}

MPEGTS_API TPmtEntry *add_pmt_entry(TPmt *pmt, uint8_t stream_type, uint16_t pid) noexcept
{
    uint8_t *s = sec(pmt);
    uint8_t e[5] = {stream_type, 0, 0, 0, 0};
    put_pid(e + 1, pid);
    put_len12(e + 3, 0);
    if (!consistent(s))
        return nullptr;
    size_t at = entries_end(s);
    if (!insert_bytes(s, at, e, sizeof e))
        return nullptr;
    return reinterpret_cast<TPmtEntry *>(s + at);
}

MPEGTS_API uint8_t tsGetPmtEntryStreamType(const TPmtEntry *e) noexcept { return e->stream_type; }
MPEGTS_API int tsSetPmtEntryStreamType(TPmtEntry *e, uint8_t type) noexcept
{
    e->stream_type = type;
    return 0;
}
MPEGTS_API uint16_t tsGetPmtEntryPID(const TPmtEntry *e) noexcept { return uint16_t(be16(e->elementary_pid) & 0x1FFF); }
MPEGTS_API int tsSetPmtEntryPID(TPmtEntry *e, uint16_t pid) noexcept
{
    put_be16(e->elementary_pid, uint16_t((be16(e->elementary_pid) & 0xE000) | (pid & 0x1FFF)));
    return 0;
}
MPEGTS_API uint16_t tsGetPmtEntryESInfoLength(const TPmtEntry *e) noexcept { return uint16_t(esl(sec(e))); }
MPEGTS_API int tsSetPmtEntryESInfoLength(TPmtEntry *e, uint16_t len) noexcept
{
    put_be16(e->es_info_length, uint16_t((be16(e->es_info_length) & 0xF000) | (len & 0x0FFF)));
    return 0;
}
MPEGTS_API int tsAddPmtEntryESInfoLength(TPmtEntry *e, int delta) noexcept
{
    int len = int(esl(sec(e))) + delta;
    if (len < 0 || len > 0x0FFF)
        return -1;
    return tsSetPmtEntryESInfoLength(e, uint16_t(len));
}

MPEGTS_API int append_pmt_es_info(TPmt *pmt, TPmtEntry *e, const uint8_t *bytes, size_t count) noexcept
{
    uint8_t *s = sec(pmt);
    size_t off;
    if (!e || (!bytes && count) || !entry_offset(s, sec(e), &off) || esl(sec(e)) + count > PMT_ES_INFO_MAX)
        return -1;
    if (count == 0)
        return 0;
    if (!insert_bytes(s, off + 5 + esl(sec(e)), bytes, count))
        return -1;
    tsAddPmtEntryESInfoLength(e, int(count));
    return 0;
}

MPEGTS_API int add_pmt_program_info_descriptor(TPmt *pmt, int type) noexcept
{
    // Fixed descriptors this system announces in its own PMTs.
    static const uint8_t scrambling[] = {0x65, 1, 2};                                // ETSI EN 300 468 6.2.32
    static const uint8_t caption[] = {0x86, 7, 0xE1, 'e', 'n', 'g', 0xC1, 0x40, 0x3F}; // ATSC A/65 6.9.2
    static const uint8_t ca[] = {0x09, 4, 0x26, 0x00, 0xFF, 0xFF};                  // BISS, CA_PID 0x1FFF
    const uint8_t *d;
    size_t n;
    switch (type) {
    case 101: d = scrambling; n = sizeof scrambling; break;
    case 134: d = caption; n = sizeof caption; break;
    case 9: d = ca; n = sizeof ca; break;
    default: return -1;
    }
    uint8_t *s = sec(pmt);
    if (!consistent(s) || !insert_bytes(s, entries_start(s), d, n))
        return -1;
    tsSetPmtProgramInfoLength(pmt, uint16_t(pil(s) + n));
    return d[1];
}

MPEGTS_API int rem_pmt_program_info_descriptor(TPmt *pmt, uint8_t tag) noexcept
{
    uint8_t *s = sec(pmt);
    if (!consistent(s))
        return -1;
    descriptor *d = descriptor_loop_find(s + kProgramInfo, pil(s), tag);
    if (!d)
        return -1;
    size_t off = size_t(reinterpret_cast<uint8_t *>(d) - s), n = size_t(descriptor_get_size(d));
    size_t end = entries_end(s), complete = complete_length(s);
    std::memmove(s + off, s + off + n, end - off - n);
    // What is freed, up to the old CRC, reads as stuffing until the next CRC.
    std::memset(s + end - n, 0xFF, complete - (end - n));
    tsSetPmtProgramInfoLength(pmt, uint16_t(pil(s) - n));
    set_section_length(s, unsigned(section_length(s) - n));
    return 0;
}

MPEGTS_API uint8_t tsGetPmtServiceDescriptorTag(const TPmt *pmt) noexcept
{
    const descriptor *d = first_program_descriptor(pmt);
    return d ? d->tag : 0;
}
MPEGTS_API uint8_t tsGetPmtServiceDescriptorLen(const TPmt *pmt) noexcept
{
    const descriptor *d = first_program_descriptor(pmt);
    return d ? d->len : 0;
}
MPEGTS_API int tsGetPmtServiceDescriptor(const TPmt *pmt, uint8_t *out, size_t size) noexcept
{
    return copy_data(first_program_descriptor(pmt), out, size);
}
MPEGTS_API uint8_t tsGetPmtDescriptorTag(const TPmtEntry *e) noexcept
{
    const descriptor *d = first_es_descriptor(e);
    return d ? d->tag : 0;
}
MPEGTS_API uint8_t tsGetPmtDescriptorLength(const TPmtEntry *e) noexcept
{
    const descriptor *d = first_es_descriptor(e);
    return d ? d->len : 0;
}
MPEGTS_API int tsGetPmtDescriptor(const TPmtEntry *e, uint8_t *out, size_t size) noexcept
{
    return copy_data(first_es_descriptor(e), out, size);
}

} // extern "C"

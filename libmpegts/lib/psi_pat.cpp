// Program association table (ISO/IEC 13818-1 2.4.4.3).
#include "psi_pat.h"

#include "mpegts_internal.h"

using namespace mpegts;

namespace {

constexpr size_t kFirstEntry = 8;

inline uint8_t *entry(TPat *pat, int i) { return sec(pat) + kFirstEntry + 4 * size_t(i); }
inline const uint8_t *entry(const TPat *pat, int i) { return sec(pat) + kFirstEntry + 4 * size_t(i); }
inline bool in_use(const TPat *pat, int i) { return i >= 0 && i < tsGetPatNumPrograms(pat); }

// Reserved bits are written as '111' (ISO/IEC 13818-1 2.4.4.3).
void write_entry(uint8_t *e, uint16_t program_number, uint16_t pid)
{
    put_be16(e, program_number);
    put_be16(e + 2, uint16_t(0xE000 | (pid & 0x1FFF)));
}

void finish(TPat *pat, int new_crc)
{
    if (new_crc)
        tsUpdateCRC(&pat->header);
}

} // namespace

static_assert(sizeof(TPat) == 188 && sizeof(TPatPidMap) == 4, "wire layouts");

extern "C" {

MPEGTS_API int tsGetPat(tsPkt *pkt, TPat **out) noexcept { return locate_table(pkt, out); }

MPEGTS_API int tsSetPatDefault(TPat *pat, uint16_t transport_stream_id) noexcept
{
    write_header(sec(pat), 0, 9, transport_stream_id, 0);
    return 0;
}

MPEGTS_API int tsGetPatNumPrograms(const TPat *pat) noexcept
{
    unsigned len = section_length(sec(pat));
    return len < 9 ? 0 : int((len - 9) / 4);
}

MPEGTS_API uint16_t tsGetPatProgramNumber(const TPat *pat, int index) noexcept
{
    return in_use(pat, index) ? be16(entry(pat, index)) : 0;
}
MPEGTS_API int tsSetPatProgramNumber(TPat *pat, int index, uint16_t program_number) noexcept
{
    if (!in_use(pat, index))
        return -1;
    put_be16(entry(pat, index), program_number);
    return 0;
}
MPEGTS_API uint16_t tsGetPatProgramPid(const TPat *pat, int index) noexcept
{
    return in_use(pat, index) ? uint16_t(be16(entry(pat, index) + 2) & 0x1FFF) : 0;
}
MPEGTS_API int tsSetPatProgramPid(TPat *pat, int index, uint16_t pid) noexcept
{
    if (!in_use(pat, index))
        return -1;
    write_entry(entry(pat, index), be16(entry(pat, index)), pid);
    return 0;
}

MPEGTS_API int tsSetPatPrograms(TPat *pat, const uint16_t *program_numbers, const uint16_t *pids, int count) noexcept
{
    int n = tsGetPatNumPrograms(pat);
    if (count < 0 || (count && (!program_numbers || !pids)) || n + count > PAT_MAX_PROGRAMS)
        return -1;
    for (int i = 0; i < count; ++i)
        write_entry(entry(pat, n + i), program_numbers[i], pids[i]);
    set_section_length(sec(pat), 9 + 4 * unsigned(n + count));
    finish(pat, count > 0);
    return 0;
}

MPEGTS_API int tsAddPatProgram(TPat *pat, uint16_t program_number, uint16_t pid, int new_crc) noexcept
{
    int n = tsGetPatNumPrograms(pat);
    if (n >= PAT_MAX_PROGRAMS)
        return -1;
    write_entry(entry(pat, n), program_number, pid);
    set_section_length(sec(pat), 9 + 4 * unsigned(n + 1));
    finish(pat, new_crc == 1);
    return 0;
}

MPEGTS_API int tsReplacePatByProgramIndx(TPat *pat, uint16_t program_number, uint16_t pid, int new_crc,
                                         int index) noexcept
{
    if (!in_use(pat, index))
        return -1;
    write_entry(entry(pat, index), program_number, pid);
    finish(pat, new_crc);
    return 0;
}

MPEGTS_API int tsReplacePatByProgram(TPat *pat, uint16_t program_number, uint16_t pid, int new_crc,
                                     uint16_t which) noexcept
{
    for (int i = 0, n = tsGetPatNumPrograms(pat); i < n; ++i)
        if (be16(entry(pat, i)) == which)
            return tsReplacePatByProgramIndx(pat, program_number, pid, new_crc, i);
    return 0;
}

MPEGTS_API int tsCheckPatProgramExists(const TPat *pat, uint16_t program_number) noexcept
{
    for (int i = 0, n = tsGetPatNumPrograms(pat); i < n; ++i)
        if (be16(entry(pat, i)) == program_number)
            return 1;
    return 0;
}

} // extern "C"

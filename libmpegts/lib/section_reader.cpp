// Section carousel: the packets of one or more sections, handed out at a
// spacing within a cycle and a distance between cycle starts, each stamped
// with the carousel's own continuity counter.
#include "section_reader.h"

#include <new>
#include <vector>

#include "mpegts_internal.h"

struct section_reader {
    int pkts_alloc = 0;
    int pkts_used = 0;
    int max_len = 0;
    int max_sect = 0;
    std::vector<tsPkt> pkts;
    int next_pkt = 0;
    int32_t last_start = 0; // position at which packet 0 was last handed out
    int32_t distance = 0;
    int32_t spacing = 1;
    struct {
        uint16_t pid;
        uint8_t cc; // the next continuity counter
    } cc_state{};
    int completion_count = 0;
    int sections = 0; // sections held
};

namespace {

// Positions wrap around: the difference is taken modulo 2^32.
int32_t since(int32_t pos, int32_t from) { return int32_t(uint32_t(pos) - uint32_t(from)); }

bool acceptable(const section_reader *r, const TTableBase *s)
{
    return r && s && tsGetCompleteTableLength(s) <= r->max_len;
}

} // namespace

extern "C" {

MPEGTS_API section_reader *section_reader_ctor_multi(int max_len, int32_t distance, uint16_t pid, int max_sect) noexcept
{
    if (max_len < 1 || max_len > PSI_SECTION_MAX_SIZE + 2 || max_sect < 1 || max_sect > 1024)
        return nullptr;
    try {
        auto *r = new section_reader;
        r->max_len = max_len;
        r->max_sect = max_sect;
        r->pkts_alloc = max_sect * (1 + max_len / TS_PAYLOAD_SIZE);
        r->pkts.resize(size_t(r->pkts_alloc));
        r->distance = distance;
        r->cc_state.pid = pid;
        return r;
    } catch (...) {
        return nullptr;
    }
}

MPEGTS_API void section_reader_dtor(section_reader *r) noexcept { delete r; }

MPEGTS_API int section_reader_clear(section_reader *r) noexcept
{
    if (!r)
        return -1;
    r->pkts_used = 0;
    r->next_pkt = 0;
    r->sections = 0;
    r->completion_count = 0;
    return 0;
}

MPEGTS_API int section_reader_set_section(section_reader *r, const TTableBase *s) noexcept
{
    if (!acceptable(r, s))
        return -1;
    int n = packetize_section(r->pkts.data(), unsigned(r->pkts_alloc), s, r->cc_state.pid);
    r->next_pkt = 0;
    if (n < 0) {
        r->pkts_used = 0;
        r->sections = 0;
        return -1;
    }
    r->pkts_used = n;
    r->sections = 1;
    return 0;
}

MPEGTS_API int section_reader_append_section(section_reader *r, const TTableBase *s) noexcept
{
    if (!acceptable(r, s) || r->max_sect == 1 || r->sections >= r->max_sect)
        return -1;
    int n = packetize_section(r->pkts.data() + r->pkts_used, unsigned(r->pkts_alloc - r->pkts_used), s,
                              r->cc_state.pid);
    if (n < 0)
        return -1;
    r->pkts_used += n;
    r->sections++;
    return 0;
}

MPEGTS_API int section_reader_has_section(const section_reader *r) noexcept { return r && r->pkts_used > 0; }
MPEGTS_API int section_reader_is_starting(const section_reader *r) noexcept
{
    return r && r->pkts_used > 0 && r->next_pkt == 0;
}
MPEGTS_API int section_reader_get_pkts_used(const section_reader *r) noexcept { return r ? r->pkts_used : -1; }
MPEGTS_API int section_reader_get_completion_count(const section_reader *r) noexcept
{
    return r ? r->completion_count : -1;
}

MPEGTS_API int section_reader_is_pkt_ready(const section_reader *r, int32_t position) noexcept
{
    if (!r || r->pkts_used == 0)
        return 0;
    int32_t elapsed = since(position, r->last_start);
    if (r->next_pkt == 0)
        return elapsed >= r->distance;
    return int64_t(elapsed) >= int64_t(r->spacing) * r->next_pkt;
}

MPEGTS_API tsPkt *section_reader_read(section_reader *r, int32_t position) noexcept
{
    if (!section_reader_is_pkt_ready(r, position))
        return nullptr;
    tsPkt *p = &r->pkts[size_t(r->next_pkt)];
    tsphSetContinuityCounter(p, r->cc_state.cc);
    r->cc_state.cc = uint8_t((r->cc_state.cc + 1) & 15);
    if (r->next_pkt == 0)
        r->last_start = position;
    if (++r->next_pkt == r->pkts_used) {
        r->next_pkt = 0;
        r->completion_count++;
    }
    return p;
}

MPEGTS_API uint16_t section_reader_get_pid(const section_reader *r) noexcept { return r ? r->cc_state.pid : 0; }
MPEGTS_API int section_reader_set_pid(section_reader *r, uint16_t pid) noexcept
{
    if (!r)
        return -1;
    r->cc_state.pid = pid;
    for (int i = 0; i < r->pkts_used; ++i)
        tsphSetPid(&r->pkts[size_t(i)], pid);
    return 0;
}
MPEGTS_API int32_t section_reader_get_spacing(const section_reader *r) noexcept { return r ? r->spacing : -1; }
MPEGTS_API int section_reader_set_spacing(section_reader *r, int32_t spacing) noexcept
{
    if (!r || spacing < 0)
        return -1;
    r->spacing = spacing;
    return 0;
}

} // extern "C"

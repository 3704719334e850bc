// Section demultiplexer (ISO/IEC 13818-1 2.4.4: pointer_field, sections
// spanning packets, several sections in one packet, 0xFF stuffing).
//
// Completed sections go to a FIFO and are handed out one per call of
// section_dmux_process, so a caller that fetches one section per packet
// still receives every section of a packet that completes several. A
// section that finds the FIFO full (a backlog of about two full sections)
// is dropped and counted; the backlog keeps draining, and once it is empty
// the next call reports the loss with DMUXSTAT_OVERFLOW.
#include "section_dmux.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <vector>

#include "mpegts_internal.h"

using namespace mpegts;

struct section_dmux {
    dmux_status status = DMUXSTAT_READY;
    uint16_t pid = 0;
    uint8_t expected_cc = 16; // 16: no counter seen yet
    bool ignore_cc = false;
    size_t max_section_len = 0;
    // The section being gathered: its first three bytes (table_id and
    // section_length) here, then, once it is known to fit, the whole section
    // straight at the FIFO's tail, so its bytes are copied once on the way in
    // and once on the way out.
    bool gathering = false;
    size_t partial_offset = 0; // bytes gathered of the current section
    size_t total = 0;          // its complete length, once partial_offset >= 3
    uint8_t head3[3] = {};     // its first bytes while a packet boundary splits them
    bool placed = false;       // being written at fifo[tail]
    bool dup_seen = false;     // one repeated packet is allowed (2.4.3.3)
    // Completed sections, back to back in [head, tail); the front one is
    // the one fetched after process answered 1 (front_delivered).
    std::vector<uint8_t> fifo;
    size_t head = 0, tail = 0;
    bool front_delivered = false;
    unsigned dropped = 0, dropped_reported = 0; // sections refused by a full FIFO
};

namespace {

void drop_section(section_dmux *d)
{
    d->gathering = false;
    d->partial_offset = 0;
    d->placed = false;
}

// Room at the tail for a section of len bytes, moving the backlog to the
// front when that makes it. false: the FIFO is full, the section is dropped.
bool reserve(section_dmux *d, size_t len)
{
    if (d->tail + len > d->fifo.size() && d->head > 0) {
        std::memmove(d->fifo.data(), d->fifo.data() + d->head, d->tail - d->head);
        d->tail -= d->head;
        d->head = 0;
    }
    return d->tail + len <= d->fifo.size();
}

void pop_front(section_dmux *d)
{
    d->head += complete_length(d->fifo.data() + d->head);
    if (d->head >= d->tail && !d->placed)
        d->head = d->tail = 0;
}

// memcpy for section bytes. The length is laundered so that the compiler,
// which knows a section is at most 4 KiB, calls the library's copy instead
// of inlining `rep movsq`, which is several times slower at these sizes.
void copy_bytes(uint8_t *dst, const uint8_t *src, size_t n)
{
    asm("" : "+r"(n));
    std::memcpy(dst, src, n);
}

// Once table_id and section_length are in: the section's length, and its
// place at the FIFO's tail when it fits. false: longer than the largest
// section taken; it is dropped.
bool begin_section(section_dmux *d, size_t total)
{
    if (total > d->max_section_len) {
        drop_section(d);
        return false;
    }
    d->total = total;
    d->placed = reserve(d, total);
    return true;
}

enum class Feed { more, complete, overflow };

// Adds bytes to the section being gathered; consumes at most what the
// section still needs and reports how many bytes it took.
Feed gather(section_dmux *d, const uint8_t *p, size_t n, size_t *used)
{
    *used = 0;
    // section_length is known only once table_id and the length bytes are in.
    if (d->partial_offset == 0 && n >= 3) { // the common case: all three in this packet
        if (!begin_section(d, complete_length(p)))
            return Feed::overflow;
    } else if (d->partial_offset < 3) {
        size_t k = std::min(3 - d->partial_offset, n);
        std::memcpy(d->head3 + d->partial_offset, p, k);
        d->partial_offset += k;
        *used = k;
        if (d->partial_offset < 3)
            return Feed::more;
        if (!begin_section(d, complete_length(d->head3)))
            return Feed::overflow;
        if (d->placed)
            std::memcpy(d->fifo.data() + d->tail, d->head3, 3);
    }
    const size_t total = d->total;
    size_t k = std::min(total - d->partial_offset, n - *used);
    if (d->placed)
        copy_bytes(d->fifo.data() + d->tail + d->partial_offset, p + *used, k);
    d->partial_offset += k;
    *used += k;
    if (d->partial_offset < total)
        return Feed::more;
    if (d->placed)
        d->tail += total;
    else
        d->dropped++;
    drop_section(d);
    return Feed::complete;
}

// The bytes of a packet that continue the section being gathered; what
// follows the section's end there can only be stuffing.
bool continue_section(section_dmux *d, const uint8_t *p, size_t n)
{
    size_t used;
    if (!d->gathering)
        return true;
    return gather(d, p, n, &used) != Feed::overflow;
}

// The bytes from the pointer target on: sections one after the other until
// stuffing (0xFF where a table_id would be) or the end of the packet.
bool start_sections(section_dmux *d, const uint8_t *p, size_t n)
{
    while (n > 0) {
        if (!d->gathering) {
            if (p[0] == 0xFF)
                return true;
            d->gathering = true;
            d->partial_offset = 0;
        }
        size_t used;
        Feed f = gather(d, p, n, &used);
        if (f == Feed::overflow)
            return false; // the next section's start is unknown: wait for the next pointer_field
        if (f == Feed::more)
            return true;
        p += used;
        n -= used;
    }
    return true;
}

int fail(section_dmux *d, dmux_status why)
{
    d->status = why;
    return -1;
}

int answer(section_dmux *d, dmux_status idle)
{
    if (d->head < d->tail) {
        d->status = DMUXSTAT_COMPLETE;
        d->front_delivered = true;
        return 1;
    }
    if (d->dropped != d->dropped_reported) {
        d->dropped_reported = d->dropped;
        return fail(d, DMUXSTAT_OVERFLOW);
    }
    d->status = idle;
    return 0;
}

section_dmux *make(uint16_t pid, size_t max_section_len, bool ignore_cc)
{
    if (max_section_len < 3 || max_section_len > 0x0FFF + 3)
        return nullptr;
    try {
        auto *d = new section_dmux;
        d->pid = pid;
        d->ignore_cc = ignore_cc;
        d->max_section_len = max_section_len;
        // Room for a full section waiting while the next ones complete.
        d->fifo.resize(2 * max_section_len + 2 * TS_PACKET_SIZE);
        return d;
    } catch (...) {
        return nullptr;
    }
}

// Callers walk packets laid out one after the other (a read buffer, a
// datagram) and, with many PIDs, each packet finds its lines out of the
// first-level cache. Asking for the next packet's lines now has them on
// their way when it comes. Only a hint: a prefetch never faults, and costs
// nothing but a cache line when the next packet is elsewhere.
void prefetch_next_packet(const tsPkt *pkt)
{
    const uintptr_t next = reinterpret_cast<uintptr_t>(pkt) + TS_PACKET_SIZE;
    for (uintptr_t at = next; at < next + TS_PACKET_SIZE; at += 64)
        __builtin_prefetch(reinterpret_cast<const void *>(at));
    __builtin_prefetch(reinterpret_cast<const void *>(next + TS_PACKET_SIZE - 1));
}

bool has_front(const section_dmux *d) { return d && d->status == DMUXSTAT_COMPLETE && d->head < d->tail; }

} // namespace

extern "C" {

MPEGTS_API section_dmux *section_dmux_ctor(uint16_t pid, size_t max_section_len) noexcept
{
    return make(pid, max_section_len, false);
}
MPEGTS_API section_dmux *section_dmux_nocc_ctor(uint16_t pid, size_t max_section_len) noexcept
{
    return make(pid, max_section_len, true);
}
MPEGTS_API void section_dmux_dtor(section_dmux *d) noexcept { delete d; }

MPEGTS_API void section_dmux_reset(section_dmux *d) noexcept
{
    if (!d)
        return;
    d->status = DMUXSTAT_READY;
    d->expected_cc = 16;
    d->dup_seen = false;
    drop_section(d);
    d->head = d->tail = 0;
    d->front_delivered = false;
    d->dropped = d->dropped_reported = 0;
}

MPEGTS_API dmux_status section_dmux_get_status(const section_dmux *d) noexcept
{
    return d ? d->status : DMUXSTAT_END;
}

MPEGTS_API int section_dmux_process(section_dmux *d, const tsPkt *pkt) noexcept
{
    if (!d || !pkt)
        return -1;
    prefetch_next_packet(pkt);
    if (d->front_delivered) {
        pop_front(d);
        d->front_delivered = false;
    }
    const auto *b = reinterpret_cast<const uint8_t *>(pkt);
    if (pid_of(b) != d->pid)
        return fail(d, DMUXSTAT_PIDERROR);
    if (!has_payload(b)) // the counter does not advance without payload
        return answer(d, DMUXSTAT_NOPAYLOAD);

    bool cc_error = false;
    if (!d->ignore_cc) {
        const uint8_t cc = cc_of(b);
        if (d->expected_cc != 16 && cc != d->expected_cc) {
            if (cc == ((d->expected_cc + 15) & 15) && !d->dup_seen) {
                d->dup_seen = true; // a repeated packet: its payload was already used
                return answer(d, d->gathering ? DMUXSTAT_PARTIAL : DMUXSTAT_NOTSTARTED);
            }
            drop_section(d);
            cc_error = true;
        }
        d->expected_cc = uint8_t((cc + 1) & 15);
        d->dup_seen = false;
    }

    const uint8_t *data;
    size_t n;
    bool ok = payload_of(b, &data, &n);
    if (ok && pusi(b)) {
        // A payload unit start needs at least its pointer_field.
        size_t ptr = n ? data[0] : 0;
        ok = n > 0 && ptr + 1 <= n;
        if (ok) {
            // The tail of the section being gathered, then the new starts.
            bool tail_ok = continue_section(d, data + 1, ptr);
            drop_section(d); // a section not finished by its tail never will be
            bool starts_ok = start_sections(d, data + 1 + ptr, n - 1 - ptr);
            if (!tail_ok || !starts_ok)
                return fail(d, DMUXSTAT_OVERFLOW);
        }
    } else if (ok && d->gathering) {
        if (!continue_section(d, data, n))
            return fail(d, DMUXSTAT_OVERFLOW);
    } else if (ok) {
        return cc_error ? fail(d, DMUXSTAT_CCERROR) : answer(d, DMUXSTAT_NOTSTARTED);
    }
    if (!ok) { // adaptation field or pointer_field past the packet's end
        drop_section(d);
        return fail(d, DMUXSTAT_NOTSTARTED);
    }
    if (cc_error)
        return fail(d, DMUXSTAT_CCERROR);
    return answer(d, d->gathering ? DMUXSTAT_PARTIAL : DMUXSTAT_NOTSTARTED);
}

MPEGTS_API int section_dmux_get_section(const section_dmux *d, uint8_t *buf, size_t size) noexcept
{
    if (!has_front(d) || !buf)
        return -1;
    const uint8_t *s = d->fifo.data() + d->head;
    size_t len = complete_length(s);
    if (len > size)
        return -1;
    copy_bytes(buf, s, len);
    return int(len);
}

MPEGTS_API int section_dmux_get_section_length(const section_dmux *d) noexcept
{
    return has_front(d) ? int(section_length(d->fifo.data() + d->head)) : -1;
}

MPEGTS_API int section_dmux_get_dropped(const section_dmux *d) noexcept { return d ? int(d->dropped) : -1; }

MPEGTS_API int section_dmux_get_table_id(const section_dmux *d) noexcept
{
    return has_front(d) ? d->fifo[d->head] : -1;
}

} // extern "C"

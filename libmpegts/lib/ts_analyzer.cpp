// Stream analyzer: sync bytes, continuity counters (ISO/IEC 13818-1
// 2.4.3.3) and referenced PIDs that stop arriving. A direct index over the
// 8192 PIDs finds a PID's record, so the cost per packet does not grow with
// the number of PIDs; records come from a pool of ANALYZER_MAX_PIDS.
#include "ts_analyzer.h"

#include <array>
#include <bitset>
#include <cstdarg>
#include <cstdio>
#include <new>
#include <vector>

#include "mpegts_internal.h"
#include "ts_packet.h"

using namespace mpegts;

namespace {
struct pid_and_cc {
    uint16_t pid;
    uint8_t cc;             // 0 to 15, 16 while not known
    bool dup_seen;          // one repeated packet allowed
    int64_t last_pkt_pos;   // pkt_count when last seen, 0 never
    bool is_referenced;
};
constexpr uint8_t kCcUnknown = 16;
} // namespace

struct analyzer {
    std::array<uint16_t, 8192> index{}; // PID -> record + 1; 0 for none
    std::vector<pid_and_cc> pids;       // the pool, never beyond ANALYZER_MAX_PIDS
    std::bitset<8192> refused;
    int refused_count = 0;
    int sync_byte_errors = 0;
    int cc_errors = 0;
    int pid_errors = 0;
    int64_t pid_err_distance = 0;
    int64_t pid_err_last = 0;
    int64_t pkt_count = 0;
    char errorstr_with_prefix[128] = "";
    char errorstr[64] = "";
};

namespace {

void text(analyzer *a, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
void text(analyzer *a, const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    std::vsnprintf(a->errorstr, sizeof a->errorstr, fmt, ap);
    va_end(ap);
}
void clear_text(analyzer *a) { a->errorstr[0] = '\0'; }

pid_and_cc *find(analyzer *a, uint16_t pid)
{
    uint16_t i = a->index[pid & 0x1FFF];
    return i ? &a->pids[i - 1u] : nullptr;
}

pid_and_cc *add(analyzer *a, uint16_t pid, uint8_t cc, int64_t pos)
{
    if (a->pids.size() >= ANALYZER_MAX_PIDS)
        return nullptr;
    a->pids.push_back({pid, cc, false, pos, false}); // capacity reserved at construction
    a->index[pid] = uint16_t(a->pids.size());
    return &a->pids.back();
}

// Continuity per ISO/IEC 13818-1 2.4.3.3: a packet without payload repeats
// the counter; a packet with payload advances it, except one duplicate.
bool cc_ok(pid_and_cc *n, uint8_t cc, bool payload)
{
    if (n->cc == kCcUnknown)
        return true;
    if (!payload)
        return cc == n->cc;
    if (cc == ((n->cc + 1) & 15)) {
        n->dup_seen = false;
        return true;
    }
    if (cc == n->cc && !n->dup_seen) {
        n->dup_seen = true;
        return true;
    }
    return false;
}

int one_packet(analyzer *a, const uint8_t *b, int result)
{
    a->pkt_count++;
    if (b[0] != TS_SYNC_BYTE) {
        a->sync_byte_errors++;
        text(a, "Sync byte error");
        return -1;
    }
    const uint16_t pid = pid_of(b);
    const uint8_t cc = cc_of(b);
    if (pid == 0x12 || pid == TS_PID_NULL) { // EIT and null packets carry no usable counter
        clear_text(a);
        return result;
    }
    if (pid_and_cc *n = find(a, pid)) {
        if (cc_ok(n, cc, has_payload(b))) {
            clear_text(a);
        } else {
            a->cc_errors++;
            text(a, "Expected cc %2u but found %2u for pid %4u", unsigned(has_payload(b) ? (n->cc + 1) & 15 : n->cc),
                 unsigned(cc), unsigned(pid));
            n->dup_seen = false;
            result = -1;
        }
        n->cc = cc;
        n->last_pkt_pos = a->pkt_count;
        return result;
    }
    if (add(a, pid, cc, a->pkt_count)) {
        text(a, "Adding pid %4u with cc %2u", unsigned(pid), unsigned(cc));
        return 1;
    }
    if (!a->refused.test(pid)) {
        a->refused.set(pid);
        a->refused_count++;
        text(a, "No room to track pid %4u", unsigned(pid));
        return -1;
    }
    return result;
}

int missing_check(analyzer *a, int result)
{
    if (a->pid_err_distance <= 0 || a->pkt_count - a->pid_err_last < a->pid_err_distance)
        return result;
    bool missing = false;
    for (const pid_and_cc &n : a->pids) {
        if (n.is_referenced && n.last_pkt_pos <= a->pid_err_last) {
            a->pid_errors++;
            text(a, "PID %4u has not been received", unsigned(n.pid));
            result = -1;
            missing = true;
        }
    }
    if (!missing)
        clear_text(a);
    a->pid_err_last = a->pkt_count;
    return result;
}

} // namespace

extern "C" {

MPEGTS_API analyzer *analyzer_ctor(void) noexcept
{
    try {
        auto *a = new analyzer;
        a->pids.reserve(ANALYZER_MAX_PIDS);
        return a;
    } catch (...) {
        return nullptr;
    }
}

MPEGTS_API void analyzer_dtor(analyzer *a) noexcept { delete a; }

MPEGTS_API int analyzer_process(analyzer *a, const uint8_t *buf, int len) noexcept
{
    if (!a)
        return -1;
    if (!buf) {
        text(a, "Invalid packet buffer");
        return -1;
    }
    if (len % TS_PACKET_SIZE != 0) {
        text(a, "Buflen not a multiple of 188! buflen: %d", len);
        return -1;
    }
    int result = 0;
    for (int off = 0; off < len; off += TS_PACKET_SIZE) {
        result = one_packet(a, buf + off, result);
        result = missing_check(a, result);
    }
    return result;
}

MPEGTS_API int analyzer_add_referenced_pid(analyzer *a, uint16_t pid) noexcept
{
    if (!a || pid > TS_PID_NULL)
        return -1;
    pid_and_cc *n = find(a, pid);
    if (!n && !(n = add(a, pid, kCcUnknown, 0)))
        return -1;
    n->is_referenced = true;
    return 0;
}

MPEGTS_API int analyzer_drop_referenced_pid(analyzer *a, uint16_t pid) noexcept
{
    pid_and_cc *n = (a && pid <= TS_PID_NULL) ? find(a, pid) : nullptr;
    if (!n)
        return -1;
    n->is_referenced = false;
    return 0;
}

MPEGTS_API int analyzer_set_pid_error_distance(analyzer *a, int64_t packets) noexcept
{
    if (!a || packets < 0)
        return -1;
    a->pid_err_distance = packets;
    return 0;
}

MPEGTS_API int analyzer_get_sync_byte_errors(const analyzer *a) noexcept { return a ? a->sync_byte_errors : -1; }
MPEGTS_API int analyzer_get_cc_errors(const analyzer *a) noexcept { return a ? a->cc_errors : -1; }
MPEGTS_API int analyzer_get_pid_errors(const analyzer *a) noexcept { return a ? a->pid_errors : -1; }
MPEGTS_API int64_t analyzer_get_pkt_count(const analyzer *a) noexcept { return a ? a->pkt_count : -1; }
MPEGTS_API int analyzer_get_refused_pids(const analyzer *a) noexcept { return a ? a->refused_count : -1; }

MPEGTS_API int analyzer_reset_errors(analyzer *a) noexcept
{
    if (!a)
        return -1;
    a->sync_byte_errors = a->cc_errors = a->pid_errors = 0;
    clear_text(a);
    return 0;
}

MPEGTS_API const char *analyzer_strerror(analyzer *a, const char *prefix) noexcept
{
    if (!a)
        return nullptr;
    std::snprintf(a->errorstr_with_prefix, sizeof a->errorstr_with_prefix, "%s: %s", prefix ? prefix : "",
                  a->errorstr);
    return a->errorstr_with_prefix;
}

MPEGTS_API int test_analyzer_set_sync_byte_errors(analyzer *a, int n) noexcept
{
    if (!a)
        return -1;
    a->sync_byte_errors = n;
    return 0;
}
MPEGTS_API int test_analyzer_set_cc_errors(analyzer *a, int n) noexcept
{
    if (!a)
        return -1;
    a->cc_errors = n;
    return 0;
}

} // extern "C"

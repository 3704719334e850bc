// Continuity check of sent packets.
#include "egress/ts_validation.h"
#include "mcastfwdr.h"
#include "router/continuity.h"

#include <cstdio>
#include <new>

extern "C" {

ts_validation *ts_validation_ctor(int is_output, int id, uint32_t log_limit)
{
    auto *v = new (std::nothrow) ts_validation;
    if (!v)
        return nullptr;
    for (int &c : v->cc)
        c = -1;
    for (int &d : v->dup_seen)
        d = 0;
    std::snprintf(v->stream_name, sizeof v->stream_name, "%s %d", is_output ? "Output" : "Input", id);
    v->cc_error_counter = 0;
    v->cc_error_log_limit = log_limit;
    return v;
}

void ts_validation_dtor(ts_validation *v) { delete v; }

void ts_pkt_check_cc(ts_validation *v, const uint8_t *pkt)
{
    const unsigned pid = unsigned(pkt[1] & 0x1F) << 8 | pkt[2];
    if (pid >= 8191 || pid == 0x12)
        return;
    const int prev = v->cc[pid];
    if (mcf_cc_ok(&v->cc[pid], &v->dup_seen[pid], pkt))
        return;
    if (v->cc_error_counter++ < v->cc_error_log_limit) {
        const unsigned expected = (pkt[3] & 0x10) ? (unsigned(prev) + 1) & 15 : unsigned(prev);
        mcf_post_log(SQ_LOG_WARN, "%s: expected cc %2u but found %2u for pid %4u", v->stream_name, expected,
                     unsigned(pkt[3] & 15), pid);
    }
}

int ts_validation_check_cc(ts_validation *v, const uint8_t *buf, size_t len)
{
    if (len % 188) {
        mcf_post_log(SQ_LOG_WARN, "buflen not a multiple of 188! buflen: %d, stream: '%s'", int(len), v->stream_name);
        return -1;
    }
    for (size_t off = 0; off < len; off += 188)
        ts_pkt_check_cc(v, buf + off);
    return 0;
}

uint32_t ts_validation_get_error_counter(const ts_validation *v) { return v->cc_error_counter; }
void ts_validation_reset_error_counter(ts_validation *v) { v->cc_error_counter = 0; }

} // extern "C"

// The continuity check of an output's sent packets, by the rule the input
// side uses (router/continuity.h): each PID's first packet is the reference,
// one duplicate or a flagged discontinuity is no error. Owned by one egress
// thread; no lock.
#pragma once

#include <cstddef>
#include <cstdint>

struct ts_validation {
    int cc[8191];       // last counter per PID, -1 before the first packet
    int dup_seen[8191];
    char stream_name[32]; // "Output 3" or "Input 105"
    uint32_t cc_error_counter;
    uint32_t cc_error_log_limit; // errors logged before the next reset
};

extern "C" {
ts_validation *ts_validation_ctor(int is_output, int id, uint32_t log_limit);
void ts_validation_dtor(ts_validation *v);
// Every packet of buf: -1 (logged, nothing checked) when len is not a
// multiple of 188, else 0.
int ts_validation_check_cc(ts_validation *v, const uint8_t *buf, size_t len);
void ts_pkt_check_cc(ts_validation *v, const uint8_t *pkt);
uint32_t ts_validation_get_error_counter(const ts_validation *v);
void ts_validation_reset_error_counter(ts_validation *v);
}

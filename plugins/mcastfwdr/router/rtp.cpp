// RTP framing (see rtp.h).
#include "rtp.h"

#include "engine.h"
#include "status_queue.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace {

uint16_t be16(const uint8_t *p) { return uint16_t(p[0] << 8 | p[1]); }
uint32_t be32(const uint8_t *p) { return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3]; }

} // namespace

extern "C" {

uint8_t rtp_hdr_get_version(const uint8_t *buf) { return buf[0] >> 6; }
uint8_t rtp_hdr_get_padding(const uint8_t *buf) { return buf[0] >> 5 & 1; }
uint8_t rtp_hdr_get_extension(const uint8_t *buf) { return buf[0] >> 4 & 1; }
uint8_t rtp_hdr_get_csrc_count(const uint8_t *buf) { return buf[0] & 0x0F; }
uint8_t rtp_hdr_get_marker(const uint8_t *buf) { return buf[1] >> 7; }
uint8_t rtp_hdr_get_payload_type(const uint8_t *buf) { return buf[1] & 0x7F; }
uint16_t rtp_hdr_get_sequence_number(const uint8_t *buf) { return be16(buf + 2); }
uint32_t rtp_hdr_get_timestamp(const uint8_t *buf) { return be32(buf + 4); }

rtp_hdr rtp_hdr_parse(const uint8_t *buf)
{
    return {rtp_hdr_get_version(buf),  rtp_hdr_get_padding(buf),      rtp_hdr_get_extension(buf),
            rtp_hdr_get_csrc_count(buf), rtp_hdr_get_marker(buf),     rtp_hdr_get_payload_type(buf),
            rtp_hdr_get_sequence_number(buf), rtp_hdr_get_timestamp(buf)};
}

int rtp_hdr_is_rtp_packet(const uint8_t *buf)
{
    return rtp_hdr_get_version(buf) == 2 && rtp_hdr_get_payload_type(buf) == RTP_PT_MP2T;
}

int rtp_hdr_length(const uint8_t *buf, int len)
{
    if (len < RTP_HDR_LEN)
        return -1;
    int hdr = RTP_HDR_LEN + 4 * rtp_hdr_get_csrc_count(buf);
    if (rtp_hdr_get_extension(buf)) { // profile word, then the length in 32-bit words
        if (len < hdr + 4)
            return -1;
        hdr += 4 + 4 * be16(buf + hdr + 2);
    }
    return hdr <= len ? hdr : -1;
}

mcastfwdr_rtp_hdr *rtp_hdr_ctor(void) { return static_cast<mcastfwdr_rtp_hdr *>(std::calloc(1, sizeof(mcastfwdr_rtp_hdr))); }
void rtp_hdr_dtor(mcastfwdr_rtp_hdr *h) { std::free(h); }

int rtp_hdr_verify_seq_num(mcastfwdr_rtp_hdr *h, const uint8_t *buf)
{
    const uint16_t seq = rtp_hdr_get_sequence_number(buf);
    int rc = 0;
    h->log_due = 0;
    if (!h->seq_num_exp_initted) {
        h->seq_num_exp_initted = 1;
    } else if (seq != h->seq_num_exp) {
        rc = -1;
        timespec now{};
        clock_gettime(CLOCK_MONOTONIC, &now);
        const int64_t ns = int64_t(now.tv_sec) * 1000000000 + now.tv_nsec;
        if (h->log_ns != 0 && ns - h->log_ns < 1000000000) {
            ++h->log_suppressed;
        } else {
            h->log_ns = ns ? ns : 1;
            h->log_due = 1 + int(h->log_suppressed); // the second line tells the count
            h->log_suppressed = 0;
            mcf_post_log(SQ_LOG_WARN,
                         "[rtp_header2] ::: unexpected rtp sequence number. act: %u, exp: %u (udp recv probably "
                         "overflown, enlarge via SO_RCVBUF)",
                         unsigned(seq), unsigned(h->seq_num_exp));
        }
    }
    h->seq_num_exp = uint16_t(seq + 1);
    return rc;
}

uint8_t *rtp_hdr_skip_state(mcastfwdr_rtp_hdr *h, uint8_t *buf, int len, int *new_len, int *is_rtp)
{
    *new_len = len;
    *is_rtp = 0;
    const int hdr = rtp_hdr_length(buf, len);
    if (hdr < 0 || !rtp_hdr_is_rtp_packet(buf))
        return buf;
    *is_rtp = 1;
    if (h && rtp_hdr_verify_seq_num(h, buf) != 0 && h->log_due > 1)
        mcf_post_log(SQ_LOG_WARN, "Detected bad rtp seq num! (%d more since)", h->log_due - 1);
    else if (h && h->log_due)
        mcf_post_log(SQ_LOG_WARN, "Detected bad rtp seq num!");
    int payload = len - hdr;
    if (rtp_hdr_get_padding(buf) && payload > 0 && buf[len - 1] <= payload)
        payload -= buf[len - 1]; // the last byte counts the padding, itself included
    *new_len = payload;
    return buf + hdr;
}

uint8_t *rtp_hdr_skip(manager_input *input, uint8_t *buf, int len, int *new_len)
{
    int is_rtp = 0;
    if (!input || manager_input_get_type(input) != INGRTYPE_NET) {
        if (input)
            manager_input_set_rtp(input, false);
        *new_len = len;
        return buf;
    }
    uint8_t *out = rtp_hdr_skip_state(manager_input_get_rtp_state(input), buf, len, new_len, &is_rtp);
    manager_input_set_rtp(input, is_rtp != 0);
    return out;
}

int rtp_hdr_remove(uint8_t *buf, int len)
{
    if (len < RTP_HDR_LEN)
        return len;
    std::memmove(buf, buf + RTP_HDR_LEN, size_t(len - RTP_HDR_LEN));
    return len - RTP_HDR_LEN;
}

void rtp_hdr_set_initial(uint8_t *buf)
{
    std::memset(buf, 0, RTP_HDR_LEN);
    buf[0] = 0x80;
    buf[1] = RTP_PT_MP2T;
}

void rtp_hdr_set_update(uint8_t *buf, uint16_t seq, uint32_t timestamp)
{
    buf[2] = uint8_t(seq >> 8);
    buf[3] = uint8_t(seq);
    buf[4] = uint8_t(timestamp >> 24);
    buf[5] = uint8_t(timestamp >> 16);
    buf[6] = uint8_t(timestamp >> 8);
    buf[7] = uint8_t(timestamp);
}

} // extern "C"

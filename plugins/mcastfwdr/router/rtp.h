/* RTP framing (RFC 3550) of transport-stream datagrams: recognising and
 * stripping the header of received datagrams with a per-input sequence
 * check, and the 12-byte header that RTP outputs put before each datagram
 * (payload type 33, MPEG-2 transport stream, RFC 2250). Multiplexer and
 * egress threads; no allocation on the data path. */
#ifndef MCF_RTP_H
#define MCF_RTP_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct manager_input manager_input;

enum { RTP_HDR_LEN = 12, RTP_PT_MP2T = 33 };

typedef struct rtp_hdr {
    uint8_t version;
    uint8_t padding;
    uint8_t extension;
    uint8_t csrc_count;
    uint8_t marker;
    uint8_t payload_type;
    uint16_t sequence_number;
    uint32_t timestamp;
} rtp_hdr;

/* The sequence state of one network input. */
typedef struct mcastfwdr_rtp_hdr {
    uint16_t seq_num_exp;     /* the next expected sequence number */
    int seq_num_exp_initted;  /* 0 until the first RTP datagram */
    /* A jump's lines are logged at most once a second, like the other
     * warnings of the data path: when they last were (monotonic ns, 0 for
     * never), the jumps left out since, and for the last jump 0 when its
     * lines are left out, else 1 + the jumps left out before it. */
    int64_t log_ns;
    uint32_t log_suppressed;
    int log_due;
} mcastfwdr_rtp_hdr;

uint8_t rtp_hdr_get_version(const uint8_t *buf);
uint8_t rtp_hdr_get_padding(const uint8_t *buf);
uint8_t rtp_hdr_get_extension(const uint8_t *buf);
uint8_t rtp_hdr_get_csrc_count(const uint8_t *buf);
uint8_t rtp_hdr_get_marker(const uint8_t *buf);
uint8_t rtp_hdr_get_payload_type(const uint8_t *buf);
uint16_t rtp_hdr_get_sequence_number(const uint8_t *buf);
uint32_t rtp_hdr_get_timestamp(const uint8_t *buf);
rtp_hdr rtp_hdr_parse(const uint8_t *buf);
/* 1 for version 2 and payload type 33 (12 bytes must be readable). */
int rtp_hdr_is_rtp_packet(const uint8_t *buf);
/* Bytes before the payload: the fixed header, the CSRC list and the
 * header extension; -1 when len does not hold them (not RTP). */
int rtp_hdr_length(const uint8_t *buf, int len);

mcastfwdr_rtp_hdr *rtp_hdr_ctor(void);
void rtp_hdr_dtor(mcastfwdr_rtp_hdr *h);
/* 0 in sequence (and for the first datagram), -1 on a jump; resynchronises.
 * A jump is logged unless one was within the last second (then it is
 * counted, and the next line logged says how many were left out). */
int rtp_hdr_verify_seq_num(mcastfwdr_rtp_hdr *h, const uint8_t *buf);

/* Where the transport stream of a received datagram begins, with its
 * length in *new_len: past the RTP header (and before RTP padding) for an
 * RTP datagram of a network input, else the buffer as it is. Sets the
 * input's RTP flag. */
uint8_t *rtp_hdr_skip(manager_input *input, uint8_t *buf, int len, int *new_len);
/* The same on a sequence state: *is_rtp tells whether a header was taken off. */
uint8_t *rtp_hdr_skip_state(mcastfwdr_rtp_hdr *h, uint8_t *buf, int len, int *new_len, int *is_rtp);
/* Moves the bytes after the first 12 to the start; the new length. */
int rtp_hdr_remove(uint8_t *buf, int len);
/* Version 2, payload type 33, the rest zero. */
void rtp_hdr_set_initial(uint8_t *buf);
/* Sequence number into bytes 2-3 and timestamp into bytes 4-7, big-endian. */
void rtp_hdr_set_update(uint8_t *buf, uint16_t seq, uint32_t timestamp);

#ifdef __cplusplus
}
#endif

#endif

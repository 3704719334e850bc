/* The fill engine of one output: null packets after the packets it sends
 * so that the output reaches its rate on average, and, when the inputs are
 * faster than the output, a share of the inputs' own null packets dropped.
 * One thread at a time (the multiplexer); replaced, not changed, when a
 * rate changes. */
#ifndef MCF_FILL_H
#define MCF_FILL_H

#include <stdint.h>

#include "mcf_utils.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct mcastfwdr_fill {
    mcastfwdr_tmr *tmr;        /* owned */
    double pkts_fract_accum;   /* fractions of null packets owed */
    double pkts_to_skip_accum; /* share of null packets to drop, owed */
    double PKTS_WHOLE;
    double PKTS_FRACT;
    double PKTS_TO_SKIP;
    int CAN_SEND_EVERY_PACKET;
} mcastfwdr_fill;

mcastfwdr_fill *mcastfwdr_fill_ctor(uint32_t output_id, int bps_in, int bps_out);
void mcastfwdr_fill_dtor(mcastfwdr_fill *f);
/* 1 when a packet of this PID may be sent, 0 when it is dropped. */
int mcastfwdr_fill_can_send_packet(mcastfwdr_fill *f, int pid);
/* Null packets to add after the packet just sent (ask only while mbps_fill > 0). */
int mcastfwdr_fill_get_num_packets(mcastfwdr_fill *f);
/* The one null packet every output inserts (PID 8191, counter 0). */
const uint8_t *mcastfwdr_fill_get_packet(void);
double mcastfwdr_fill_get_mbps_fill(const mcastfwdr_fill *f);
mcastfwdr_tmr *mcastfwdr_fill_get_tmr(const mcastfwdr_fill *f);
double mcastfwdr_fill_test_get_PKTS_WHOLE(const mcastfwdr_fill *f);
double mcastfwdr_fill_test_get_PKTS_FRACT(const mcastfwdr_fill *f);

#ifdef __cplusplus
}
#endif

#endif

/* Transport-stream egress writer: one ring per decoder channel in the
 * board's egress buffer (UIO map 2), each channel owning one half. */
#ifndef KT3300_EGR_H
#define KT3300_EGR_H

#include "kt3300.h"

#ifdef __cplusplus
extern "C" {
#endif

/* One 256-byte egress slot. */
typedef struct kt3300_egr_frm {
    uint8_t offset; /* where the packet starts; 8 for a plain packet */
    uint8_t ver;
    uint8_t rsvd;
    uint8_t tag;
    uint32_t tstamp;
    uint8_t data[248];
} kt3300_egr_frm;

/* Owned by one thread (the decoder's ingress thread). */
typedef struct kt3300_egr_wrtr {
    kt3300_ctx *ctx;
    unsigned ch;           /* 0 or 1 */
    unsigned pkts;         /* packets written since the last clear */
    kt3300_egr_frm *begin; /* the channel's slots */
    kt3300_egr_frm *end;
    kt3300_egr_frm *wr_pkt; /* next slot to write */
    unsigned room;          /* free slots as of the last FPGA position read */
    unsigned dropped;       /* packets refused because the ring was full */
} kt3300_egr_wrtr;

/* Null when memory runs out or the channel's ring cannot be set up. */
kt3300_egr_wrtr *kt3300_egr_wrtr_alloc(unsigned ch, kt3300_ctx *ctx);
int kt3300_egr_wrtr_init(kt3300_egr_wrtr *o, unsigned ch, kt3300_ctx *ctx);
int kt3300_egr_wrtr_clear(kt3300_egr_wrtr *o);
int kt3300_egr_wrtr_start(kt3300_egr_wrtr *o);
int kt3300_egr_wrtr_stop(kt3300_egr_wrtr *o);
/* Appends one 188-byte packet. -1 with EAGAIN when the FPGA has not freed a
 * slot: the packet is dropped and counted, the ring is never lapped. */
int kt3300_egr_wrtr_write(kt3300_egr_wrtr *o, const uint8_t *packet);
/* The same with the first 196 bytes of the slot (header and packet). */
int kt3300_egr_wrtr_write_frame(kt3300_egr_wrtr *o, const kt3300_egr_frm *frm);
int kt3300_egr_wrtr_get_level(kt3300_egr_wrtr *o);
int kt3300_egr_wrtr_get_length(const kt3300_egr_wrtr *o);
unsigned kt3300_egr_wrtr_get_packets(const kt3300_egr_wrtr *o);
int kt3300_egr_wrtr_get_position(const kt3300_egr_wrtr *o);
void kt3300_egr_wrtr_free(kt3300_egr_wrtr *o);

#ifdef __cplusplus
}
#endif

#endif

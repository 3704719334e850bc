/* The send path: one received datagram of an input through the PID index
 * to the outputs' packet pools. Rewritten packets (restamped PCRs, table
 * packets placed into fill slots) are copied into the forwarder's packet
 * ring first; fill slots take a due table, CA or KLV packet, else the null
 * packet; each pool entry gets its output PID and scrambling data.
 *
 * Multiplexer thread, ctrl_data_lock held for reading. No allocation. */
#ifndef MCF_SEND_H
#define MCF_SEND_H

#include <stddef.h>
#include <stdint.h>
#include <time.h>

#include <ts_packet.h>

#include "router/pcr_window.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct manager_input manager_input;
typedef struct manager_output manager_output;
typedef struct pcr_pts_service pcr_pts_service;
typedef struct kd_dataset kd_dataset;

/* Whether a send is a free slot that may carry a table, CA or KLV packet. */
typedef enum pkt_inject { CANNOT_INJECT = 0, CAN_INJECT = 1 } pkt_inject;

/* The largest PCR (2^33 x 300 - 1), and the PCR step that counts as a
 * discontinuity by itself (40 ms). */
#define MCF_PCR_MAX 2576980377599.0
#define MCF_PCR_STEP_RESET 1081081.0

/* One received datagram (RTP header, if any, still on): 0, or -1 when it
 * is refused or stops at a packet without sync byte. tstamp may be null. */
int mcastfwdr_handle_and_send_msg_in(manager_input *mi, uint8_t *buf, int len, const struct timespec *tstamp);
/* One routed packet and the fill after it: bytes queued, 0 when fill pacing
 * holds the packet back, -1 when the pool is full. */
int mcastfwdr_handle_send_and_fill(manager_output *mo, int out_pid, int ca_id, const tsPkt *pkt, int in_pid,
                                   pkt_inject inject);
/* One packet (or a due table packet in its slot) into the pool: 188, or
 * the pool's negative answer. */
int __mcastfwdr_send(manager_output *mo, int out_pid, int ca_id, const tsPkt *pkt, pkt_inject inject);
/* Restamps the PCR of a packet copy in place; af points at its adaptation
 * field length byte. Returns 0. */
int mcastfwdr_handle_adaptation_field(uint8_t *af, const adaptation_field *flags, pcr_window_infos *pcrs,
                                      pcr_window_info *window, manager_input *mi, manager_output *mo, int pid,
                                      pcr_pts_service *svc);
/* The packet's copy in the packet ring (valid until the ring wraps once). */
tsPkt *mcastfwdr_get_dup_pkt(const tsPkt *pkt);
/* Inserts pid when new and rewrites the set's text into buf; 0. */
int mcastfwdr_update_pid_list(kd_dataset *set, char *buf, size_t size, int pid);

#ifdef __cplusplus
}
#endif

#endif

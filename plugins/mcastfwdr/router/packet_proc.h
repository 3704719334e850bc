/* What the forwarder does with one packet once the PID index has found its
 * (input, PID): the data handlers that count it, forward it unchanged or
 * forward it to routed outputs with their own PID, CA session and restamped
 * PCR; the do-nothing handler; the routing context that lists, per PID, the
 * outputs a packet goes to; and the two per-output visitors the packet path
 * runs for PIDs the index does not know and for single-input outputs.
 *
 * Multiplexer thread with ctrl_data_lock held for reading; routing contexts
 * change only through the index's population (write lock, or the
 * multiplexer itself). */
#ifndef MCF_PACKET_PROC_H
#define MCF_PACKET_PROC_H

#include <time.h>

#include <ts_packet.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct manager_input manager_input;
typedef struct manager_output manager_output;

/* One target of a PID. */
typedef struct rc_entry {
    manager_output *output;
    unsigned int remap_pid; /* 0: the packet keeps its PID */
    int ca_id;              /* -1: no CA session */
} rc_entry;

typedef struct rc_list rc_list; /* the entries, in insertion order */

typedef struct routing_context {
    rc_list *entries;
} routing_context;

void routing_context_init(routing_context *rc);
void routing_context_fini(routing_context *rc);
/* -1 for a null argument, 0 when already listed, 1 appended. */
int routing_context_append(routing_context *rc, manager_output *output);
int routing_context_set_remap_pid(routing_context *rc, manager_output *output, unsigned int remap_pid);
int routing_context_set_ca_session_id(routing_context *rc, manager_output *output, int ca_id);
/* 1 listed, 0 not, -1 null argument. */
int routing_context_output_exists(routing_context *rc, manager_output *output);
/* The entry of an output, or null. */
const rc_entry *routing_context_find(const routing_context *rc, const manager_output *output);
unsigned routing_context_count(const routing_context *rc);
void routing_context_debug(const routing_context *rc);

/* ---- PID handlers (process_pkt_f) ---- */
int process_ignored_data(void *data, tsPkt *pkt, manager_input *input, const struct timespec *tstamp);
int process_all_data(void *data, tsPkt *pkt, manager_input *input, const struct timespec *tstamp);
int process_unrouted_data(void *data, tsPkt *pkt, manager_input *input, const struct timespec *tstamp);
int process_routed_data(void *data, tsPkt *pkt, manager_input *input, const struct timespec *tstamp);

/* ---- per-output visitors of the packet path ---- */
/* A packet whose (input, PID) the index does not know: sets *taken when the
 * output carries it (and installs its handler for the next packets). */
void process_unreferenced_data(manager_output *mo, manager_input *input, tsPkt *pkt, int *taken);
/* Every packet of a routable input, for an output that routes that input whole. */
void process_single_input_routing(manager_output *mo, int input_id, tsPkt *pkt);

#ifdef __cplusplus
}
#endif

#endif

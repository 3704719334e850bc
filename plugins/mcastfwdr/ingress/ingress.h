/* Ingress: four real-time threads (XSB, Net, SRT, ASI) that each wake every
 * millisecond, receive what their sources hold within a bit budget, and
 * write one 64-byte entry per datagram into their own pipe toward the
 * multiplexer. The data stays in the thread's receive area; the entry
 * points into it. */
#ifndef MCF_INGRESS_H
#define MCF_INGRESS_H

#include <stdint.h>
#include <string.h>

#include <kerrow/pipe.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Also the index of the pipes. */
typedef enum ingress_src {
    INGRESS_SRC_NET = 0,
    INGRESS_SRC_SRT = 1,
    INGRESS_SRC_ASI = 2,
    INGRESS_SRC_XSB = 3,
    INGRESS_SRC_NUM = 4
} ingress_src_t;

typedef struct ingress_tstamp {
    int32_t tv_sec;
    int32_t tv_nsec;
} ingress_tstamp;

/* A Net entry's datagram was addressed to one of its socket's inputs (the
 * ingress thread drops the others): `ip` then names that input's own
 * address (its group or unicast address), or is empty when the socket is
 * the input's alone (an input on "0.0.0.0" takes the interface's
 * address). */
typedef struct ingress_to_mux_item {
    ingress_src_t src;
    char ip[20];           /* Net: the destination address the input names, else empty */
    int32_t sock_id;       /* Net: receive socket; XSB: the XSB socket */
    uint32_t baypos;       /* XSB: sender's bay */
    int32_t ts_pkt;        /* XSB: 1 plain TS from a carrier, 0 a LINK frame */
    int32_t input_map_idx; /* ASI: input index; XSB: index into the input maps */
    uint8_t *buf;          /* payload in the receive area */
    int32_t len;
    ingress_tstamp tstamp; /* kernel receive time (realtime); zero when none */
    /* Fills to 64 bytes. Its first four bytes carry the Net socket's
     * generation (ingress_item_socket_gen); the rest is zero. */
#if UINTPTR_MAX > 0xFFFFFFFFu
    uint8_t pad[4];
#else
    uint8_t pad[8];
#endif
} ingress_to_mux_item;

#ifdef __cplusplus
static_assert(sizeof(ingress_to_mux_item) == 64, "pipe entries are 64 bytes");
#endif

static inline uint32_t ingress_item_socket_gen(const ingress_to_mux_item *e)
{
    uint32_t g;
    memcpy(&g, e->pad, sizeof g);
    return g;
}

enum {
    INGRESS_PIPE_ENTRIES = 3799,
    INGRESS_SLOT_BYTES = 1520,
    INGRESS_RECV_BYTES = 1514,
    INGRESS_BATCH = 10,
    /* Slots of a receive area: more than the pipe (3798 entries) and every
     * packet pool together (26,595 packets) can reference, so that no slot is
     * refilled while an entry or a pool still points into it. */
    INGRESS_AREA_SLOTS = 30400,
    INGRESS_CYCLE_BITS = 400000,
    INGRESS_ENTRY_BITS = 10528 /* 7 x 188 x 8 */
};

/* The pipes, by ingress_src_t; null while the ingress is stopped. */
extern kd_pipe_t *ingress_pipe[INGRESS_SRC_NUM];

int mcastfwdr_ingress_init(void);
void mcastfwdr_ingress_fini(void);

#ifdef __cplusplus
}

#include <atomic>

#include "egress/statistics.h"

namespace mcf {

// What one ingress thread counted since the start (relaxed).
struct ingress_counters {
    std::atomic<uint64_t> entries{0};
    std::atomic<uint64_t> recv_errors{0};
    std::atomic<uint64_t> pipe_full{0};
    std::atomic<uint64_t> dropped{0}; // frames refused (bad header, bay, index)
    std::atomic<uint64_t> cycles{0};
    // Net: datagrams addressed to none of their socket's inputs, and those
    // the kernel reports it dropped on the sockets.
    std::atomic<uint64_t> misaddressed{0};
    std::atomic<uint64_t> kernel_drops{0};
};
ingress_counters &ingress_stats(ingress_src_t src);

// The statistics slot an ingress thread posts to (STATS_IDX_INGRESS_*:
// numbered otherwise than the pipes), -1 for no thread.
int ingress_stats_index(ingress_src_t src);
// An empty cycle sample of that thread. Each cycle it counts 10,528 bits a
// entry written, the pipe's level at the start times 10,528 as its buffer,
// and its events: receive errors (socket), a full pipe (overflow), a pipe
// empty at the start and the end of the cycle (underflow), and SRT reads
// that were empty (nil) or short (size).
mcast_stats_t ingress_sample(ingress_src_t src);

// When (realtime ns) the thread last began a cycle that took everything its
// sources held; 0 before the first. Datagrams received before then are in
// its pipe or handled.
int64_t ingress_swept_ns(ingress_src_t src);
// The inputs changed: a thread waiting for its sources looks again.
void ingress_sources_changed();
// Test seam: holds the thread as if it were not scheduled (false lets go).
void ingress_hold(ingress_src_t src, bool hold);

} // namespace mcf
#endif

#endif

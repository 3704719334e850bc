/* The PID index: for every (input, PID) some output, local table or the
 * ignore rule cares about, an ordered list of PID handlers, at most one per
 * kind. The multiplexer passes every received packet through
 * phindex_process, which checks the PID's continuity, marks it present and
 * runs its handlers in order.
 *
 * phindex_process runs on the multiplexer with ctrl_data_lock held for
 * reading; every other change comes from the loop with the lock held for
 * writing, or from the multiplexer itself. While handlers run, changes are
 * refused and a rebuild is deferred to the next packet. */
#ifndef MCF_PHINDEX_H
#define MCF_PHINDEX_H

#include <stddef.h>
#include <time.h>

#include <ts_packet.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct manager_input manager_input;

typedef enum phdatatype {
    PHDATATYPE_OTHER = 0,
    PHDATATYPE_PAT = 1,
    PHDATATYPE_CAT = 2,
    PHDATATYPE_EMM = 3,
    PHDATATYPE_PMT = 4,
    PHDATATYPE_ECM = 5,
    PHDATATYPE_SDT = 6,
    PHDATATYPE_ALL_DATA = 7,
    PHDATATYPE_UNROUTED_DATA = 8,
    PHDATATYPE_ROUTED_DATA = 9
} phdatatype;

/* "other", "pat", ... "routed", indexed by phdatatype. */
extern const char *const phdatatype_strings[10];

typedef int (*process_pkt_f)(void *data, tsPkt *pkt, manager_input *input, const struct timespec *tstamp);
typedef void (*phdata_cleanup_f)(void *data);
typedef int (*phindex_populate_f)(void);
typedef int (*phindex_depopulate_f)(void);

typedef struct pid_handler_data {
    phdatatype type;
    void *data; /* the handler's own */
} pid_handler_data;

typedef struct pid_handler {
    int in_id;
    int in_pid;
    pid_handler_data phdata;
    process_pkt_f process_pkt;  /* never null */
    phdata_cleanup_f cleanup;   /* called once with phdata.data at removal; may be null */
} pid_handler;

/* Input ids the index takes: 0 .. MCF_PHINDEX_MAX_INPUT_ID - 1. */
enum { MCF_PHINDEX_MAX_INPUT_ID = 2048, MCF_PHINDEX_MAX_HANDLERS = 10 };

/* What every packet touches comes first, so that a key with one handler
 * is read from one cache line. */
typedef struct pid_handler_key {
    int in_id;
    int in_pid;
    int pid_is_in_stream; /* 1 once a packet was seen since the last reset */
    int cc;               /* continuity counter of the last packet; -1 before the first */
    int cc_dup_seen;      /* one repeated packet is allowed (ISO/IEC 13818-1 2.4.3.3) */
    size_t entry_count;
    pid_handler entries[MCF_PHINDEX_MAX_HANDLERS]; /* insertion order, one per kind */
} pid_handler_key;

int phindex_init(phindex_populate_f populate_cb, phindex_depopulate_f depopulate_cb);
void phindex_fini(void);
int phindex_append(int id, int pid, phdatatype dtype, void *data, process_pkt_f process_pkt, phdata_cleanup_f cleanup);
int phindex_delete(int id, int pid, phdatatype dtype);
int phindex_remove(int id, int pid);
void phindex_clear(void);
int phindex_repopulate(void);
/* -1 when nothing handles (input, pid); else the last handler's answer. */
int phindex_process(manager_input *input, int pid, tsPkt *pkt, const struct timespec *tstamp);
pid_handler_key *phindex_find(int id, int pid);
pid_handler *phindex_find_handler(int id, int pid, phdatatype dtype);
int phindex_is_pid_present(int id, int pid);
void phindex_reset_pid_presence_flag(void);
const char *phdatatype_to_string(int dtype);
size_t __pidh_list_count(void);
void phindex_debug(void);

#ifdef __cplusplus
}
#endif

#endif

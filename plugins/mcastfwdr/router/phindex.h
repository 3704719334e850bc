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

/* pid_handler_key.cc_flags */
enum {
    MCF_PHINDEX_CC_DUP_SEEN = 1, /* one repeated packet is allowed (ISO/IEC 13818-1 2.4.3.3) */
    MCF_PHINDEX_CC_UNCHECKED = 2 /* EIT and null packets: no continuity check */
};

/* One (input, PID). Each input id with keys has a table of its 8192 keys;
 * a packet reads one 32-byte key: its handler (the only one, or the walk
 * over the list), the continuity state and the presence flag. */
typedef struct pid_handler_key {
    process_pkt_f run;     /* the only handler's function, or the walk over entries */
    void *run_data;        /* its data, or the key */
    pid_handler *entries;  /* insertion order, one per kind */
    unsigned short in_id;  /* 0 .. MCF_PHINDEX_MAX_INPUT_ID - 1 */
    unsigned short in_pid; /* 0 .. 8191 */
    signed char cc;        /* continuity counter of the last packet; -1 before the first */
    unsigned char cc_flags;         /* MCF_PHINDEX_CC_* */
    unsigned char pid_is_in_stream; /* 1 once a packet was seen since the last reset */
    unsigned char entry_count;
} pid_handler_key;

int phindex_init(phindex_populate_f populate_cb, phindex_depopulate_f depopulate_cb);
void phindex_fini(void);
int phindex_append(int id, int pid, phdatatype dtype, void *data, process_pkt_f process_pkt, phdata_cleanup_f cleanup);
int phindex_delete(int id, int pid, phdatatype dtype);
int phindex_remove(int id, int pid);
void phindex_clear(void);
int phindex_repopulate(void);
#ifndef __cplusplus
/* -1 when nothing handles (input, pid); else the last handler's answer.
 * Inline for the engine's C++ code, below. */
int phindex_process(manager_input *input, int pid, tsPkt *pkt, const struct timespec *tstamp);
#endif
pid_handler_key *phindex_find(int id, int pid);
pid_handler *phindex_find_handler(int id, int pid, phdatatype dtype);
int phindex_is_pid_present(int id, int pid);
void phindex_reset_pid_presence_flag(void);
const char *phdatatype_to_string(int dtype);
size_t __pidh_list_count(void);
void phindex_debug(void);

#ifdef __cplusplus
}

#include <bit>
#include <cstdint>
#include <cstring>

#include "engine.h"

namespace mcf::phindex_detail {

// What phindex_process reads besides the key.
struct hot_state {
    int lock;         // 1 while phindex_process runs handlers
    int sync_pending; // a rebuild was asked for while locked
    pid_handler_key *tables[MCF_PHINDEX_MAX_INPUT_ID]; // by input id: 8192 keys each, or null
};
extern hot_state g_hot;

// cc_flags and pid_is_in_stream of a key whose PID is checked, seen since
// the last presence reset and without a pending repeat, read as one word.
// A slot without handlers is all zero, so the word also says the key exists.
static_assert(offsetof(pid_handler_key, pid_is_in_stream) == offsetof(pid_handler_key, cc_flags) + 1);
constexpr uint16_t kUsualState = std::endian::native == std::endian::little ? 0x0100 : 0x0001;

// phindex_process for every packet but the usual one: no key, the key's
// first packet since a presence reset, an unchecked PID, a pending repeat,
// and a packet the one-compare test does not accept.
int process_other(pid_handler_key &k, manager_input *input, int pid, tsPkt *pkt, const struct timespec *tstamp);

inline int run_handlers(pid_handler_key &k, manager_input *input, tsPkt *pkt, const struct timespec *tstamp)
{
    g_hot.lock = 1;
    const int rc = k.run(k.run_data, pkt, input, tstamp);
    g_hot.lock = 0;
    return rc;
}

} // namespace mcf::phindex_detail

// The per-packet entry, inline: every received packet passes through it.
extern "C" inline int phindex_process(manager_input *input, int pid, tsPkt *pkt, const struct timespec *tstamp)
{
    using namespace mcf::phindex_detail;
    if (__builtin_expect(g_hot.sync_pending, 0))
        phindex_repopulate();
    if (!input)
        return -1;
    const unsigned id = unsigned(manager_input_id(input));
    if (id >= MCF_PHINDEX_MAX_INPUT_ID || unsigned(pid) >= 8192 || !g_hot.tables[id])
        return -1;
    pid_handler_key &k = g_hot.tables[id][pid];
    uint16_t state;
    std::memcpy(&state, &k.cc_flags, sizeof state);
    if (__builtin_expect(state != kUsualState, 0))
        return process_other(k, input, pid, pkt, tstamp);
    if (pkt) {
        // The usual packet: a payload and the next counter.
        const unsigned h = reinterpret_cast<const uint8_t *>(pkt)[3];
        if (__builtin_expect(!(h & 0x10) || ((h - unsigned(k.cc) - 1) & 15) != 0, 0))
            return process_other(k, input, pid, pkt, tstamp);
        k.cc = static_cast<signed char>(h & 15);
    }
    return run_handlers(k, input, pkt, tstamp);
}
#endif

#endif

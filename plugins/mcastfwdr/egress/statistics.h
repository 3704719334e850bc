// Per-thread cycle statistics of the data path: every real-time thread
// folds a sample of each 1 ms cycle into its slot's tally; on the first
// cycle of a second the tally becomes the slot's posted record. The
// "SVM:statistics" thread writes the posted records once a second to
// "/run/stats".
//
// Posted records are published with a sequence counter so that readers
// (the statistics thread, the multiplexer) never see a torn record; the
// sums over a second are 64-bit.
#pragma once

#include <stdbool.h>
#include <stdint.h>

typedef enum stats_src_t { STATS_SRC_INGRESS = 0, STATS_SRC_MULTIPLEX = 1, STATS_SRC_EGRESS = 2, STATS_SRC_NUM = 3 } stats_src_t;

typedef enum stats_idx_t {
    STATS_IDX_INGRESS_XSB = 0,
    STATS_IDX_INGRESS_NET = 1,
    STATS_IDX_INGRESS_SRT = 2,
    STATS_IDX_INGRESS_ASI = 3,
    STATS_IDX_INGRESS_NUM = 4,
    STATS_IDX_MULTIPLEX = 0,
    STATS_IDX_MULTIPLEX_NUM = 1,
    STATS_IDX_EGRESS = 0,
    STATS_IDX_EGRESS_NUM = 50
} stats_idx_t;

typedef enum stats_evt_t {
    STATS_EVT_UNDERFLOW_WARN = 0,
    STATS_EVT_OVERFLOW_WARN = 1,
    STATS_EVT_INVALID_WARN = 2,
    STATS_EVT_EMPTY_WARN = 3,
    STATS_EVT_BUSY_WARN = 4,
    STATS_EVT_CC_ERROR = 5,
    STATS_EVT_CONNECT_ERROR = 6,
    STATS_EVT_SOCKET_ERROR = 7,
    STATS_EVT_SIZE_ERROR = 8,
    STATS_EVT_NUM = 9
} stats_evt_t;

// `avg` holds a sample's value, a tally's sum, or a posted average/sum:
// 64-bit, as a second's sum of buffered bits exceeds 32.
typedef struct stats_mnapm_t {
    uint32_t min, neg;
    uint64_t avg;
    uint32_t pos, max;
} stats_mnapm_t;

typedef struct stats_mam_t {
    uint32_t min;
    uint64_t avg;
    uint32_t max;
} stats_mam_t;

typedef struct mcast_stats_t {
    bool post; // first cycle of a new second
    stats_src_t src;
    stats_idx_t idx;
    stats_mnapm_t period; // ns since the previous cycle began
    stats_mam_t real;     // ns of work in the cycle
    stats_mam_t cpu;      // the thread's CPU ns in the cycle
    stats_mam_t bits;     // bits handled in the cycle
    stats_mam_t buf_bits; // bits waiting in the thread's buffer
    uint32_t evt[STATS_EVT_NUM];
} mcast_stats_t;

#ifdef __cplusplus
extern "C" {
#endif

// Folds the sample into its slot's tally and clears its measured fields and
// events. Samples of an unknown source or index are ignored. Only the slot's
// own thread calls it.
void mcastfwdr_statistics(mcast_stats_t *sample);
// Copies the slot's posted record into *out: 0, or -1 for an invalid pair
// (out untouched). Never torn; callable from any thread.
int mcastfwdr_statistics_posted(int src, int idx, mcast_stats_t *out);
int mcastfwdr_statistics_init(void);
int mcastfwdr_statistics_fini(void);

#ifdef __cplusplus
}

#include <string>

namespace mcf::stats {

constexpr int kSlots = STATS_IDX_INGRESS_NUM + STATS_IDX_MULTIPLEX_NUM + STATS_IDX_EGRESS_NUM;

// The statistics thread's own state: its printed marks (the posted
// sequence last printed per slot) and the file's counters.
struct report_state {
    uint32_t printed[kSlots] = {};
    unsigned truncations = 0;
    unsigned file_reports = 0;  // written since the file was last emptied
    unsigned total_reports = 0; // written since the thread started
};

// The report text for the current posted records, `hms` as the time of day;
// marks the printed records in `st` (the counters are not changed).
std::string format_report(report_state &st, const char *hms);
// One pass: opens `path` (no symlink followed) for appending, rotates it,
// appends a report and counts it. 0, or -1 when the file cannot be opened
// or written.
int report_pass(report_state &st, const std::string &path);
// Passes the thread made, written or not (for tests and diagnostics).
unsigned passes();
// Forgets every tally and posted record (tests).
void reset();

} // namespace mcf::stats
#endif

/* The multiplexer: one real-time thread that drains the four ingress pipes
 * in 1 ms cycles, paced to keep the multiplex stage's buffer target waiting
 * in each pipe, and drives every datagram through the send path. It runs
 * the input and output managers' periodic checks and signals continuity
 * trouble to the decoder plug-in ("ccset", later "ccclear"). */
#ifndef MCF_MULTIPLEXER_H
#define MCF_MULTIPLEXER_H

#include <stdint.h>

#include "ingress/ingress.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Starts the thread: 0, or -1 when it cannot be made. */
int mcastfwdr_multiplex_init(void);
/* Stops and joins it: 0, or -1 when the join fails. */
int mcastfwdr_multiplex_fini(void);

#ifdef __cplusplus
}

namespace mcf::mux {

constexpr uint32_t kEntryBits = INGRESS_ENTRY_BITS;
constexpr uint32_t kCycleBits = 808000; // all pipes together
constexpr uint32_t kPipeBits = 404000;  // one pipe under the buffer target

// Bits one pipe may give this cycle. buffer_ms: the multiplex stage's
// setting; avg_bps: the feeding thread's posted bits per second, or a
// negative value when it has posted none; level: entries in the pipe.
uint32_t pipe_budget(int buffer_ms, int64_t avg_bps, unsigned level);
// The budget of a pipe holding `level` entries now: from the multiplex
// stage's setting and the statistics its ingress thread last posted.
uint32_t pipe_budget_now(ingress_src_t pipe, unsigned level);

// Whether an ASI input's detected rate is reported: a known rate more than
// 20,000 bit/s away from the configured one, on every 28,000th packet.
bool asi_rate_reported(int detected_bps, int configured_bps, uint64_t ts_packets);

// The periodic checks of the cycle and the decoder signalling they drive.
struct monitors {
    virtual ~monitors() = default;
    virtual void stream_loss() = 0;
    virtual void program_status() = 0;
    virtual unsigned input_alarm() = 0; // 0, 1 or 2
    virtual void output_alarm() = 0;
};

enum class cc_signal { none, set, clear };

class periodic {
public:
    // The checks due after `ms` milliseconds (1 on the thread's grid, more
    // after it waited for data); what to emit once the caller holds no
    // lock. A new answer of 2 signals again and restarts the wait for the
    // clear.
    cc_signal step(monitors &m, int ms = 1);
    int decoder_state() const { return state_; }
    // Milliseconds until a check is due (at least 1).
    int ms_to_next() const;

private:
    int stream_loss_ = 0;
    int program_status_ = 0;
    int input_alarm_ = 0;
    int output_alarm_ = 0;
    int decoder_ = 0;
    int state_ = 0; // 0 idle, 2 signalled
};

// Cycles the running thread has completed (tests).
uint64_t cycles();
// An ingress thread wrote entries: wakes the multiplexer if it waits.
void data_arrived();
// Test seam: holds the thread as if it were not scheduled (false lets go).
void hold(bool on);

} // namespace mcf::mux
#endif

#endif

// ASI outputs on the card's own carrier: each output is a UDP destination
// on "eth2" (169.254.1.80 + id) whose FPGA engine is programmed with
// configuration words in CFWR frames. Pacing, latency and queue marks
// follow the output rate; queue reports in INFO records nudge the rate.
// Everything runs on the loop except the INFO pre-filter (XSB ingress).
#pragma once

#include "outputs/manager_output.h"

#include <cstddef>
#include <cstdint>

extern "C" {

int mcastfwdr_asi_set_route_prov_pending(int id);
void mcastfwdr_asi_check_on_route_prov_pending(void);
int mcastfwdr_asi_hw_cfg_initial(void);
void mcastfwdr_asi_signal_hw_start_pending(void);
void mcastfwdr_asi_check_on_hw_start_pending(void);
// XSB ingress thread: a whole frame (Ethernet header first).
int mcastfwdr_asi_info_rx_pkt_dp(const uint8_t *frame, uint32_t len);
const char *asi_queue_state_tostr(asi_queue_state s);

} // extern "C"

namespace mcf::asi {

constexpr unsigned kMaxIntf = 16;
constexpr int kTickUnit = 2048; // one 27 MHz tick in pacing units

enum record_kind : unsigned { REC_ENABLE = 0, REC_LATENCY = 1, REC_PACING_HI = 2, REC_PACING_LO = 3, REC_STREAM = 8 };

// Packet period at bps in 1/2048 of a 27 MHz tick; 0 for a rate of 0 or less.
uint32_t pacing_ticks(int bps);
// Packets in 20 ms at bps; 0 for a rate of 0 or less.
uint32_t latency_pkts(int bps);
// The rate the FPGA produces for ticks; 0 for ticks of 0 or less.
int actual_bps(int64_t ticks);
// One configuration word (host order).
uint32_t record(unsigned kind, unsigned row, unsigned value);

struct queue_marks {
    unsigned ultra_lwm, lwm, mid, hwm, ultra_hwm;
};
queue_marks marks_for(int bps);

// One evaluation of ten samples: the new state and the steps it asks for.
struct drift_decision {
    asi_queue_state state;
    int tick_step;
    int rate_step;
    bool changed;
    unsigned counts[7]; // ultra-low, low, low-mid, mid, high-mid, high, ultra-high
};
// Counts one level into the monitor; at ten samples decides and clears the counts.
// Answers true when a decision was made (in *out).
bool add_sample(asi_queue_monitor &m, unsigned level, drift_decision *out);
// The rate to apply for a decision, from the base rate B.
int drift_rate(int base_bps, bool single_input, const drift_decision &d);

// Test seam: the port as a carrier would report it (index < 0: none).
void set_port_for_test(int port_index, uint16_t data_word, bool lower_row);

} // namespace mcf::asi

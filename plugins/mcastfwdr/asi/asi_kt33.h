// The four ASI inputs of a KT-3300 carrier labelled "asi": the board
// found and opened through the board library, its transceivers and clock
// set up, and per input the state that gathers received packets into
// seven-packet datagrams in the forwarder's packet ring (`circbuf`) and,
// optionally, measures the input's rate from the board's time stamps.
// Set-up and tear-down run on the loop; the per-input calls on the ASI
// ingress thread.
#pragma once

#include <kerrow/pipe.h>

#include <cstdint>

struct kt3300_igr_frm;
struct manager_input;
struct analyzer;

constexpr int MCF_ASI_INPUTS = 4;
constexpr int MCF_ASI_INPUT_ID0 = 150;
constexpr int MCF_ASI_DGRAM = 7 * 188;
constexpr int MCF_ASI_TSTAMPS = 500;

struct tstamp_tracker {
    uint32_t pkt_tstamps[MCF_ASI_TSTAMPS];
    uint32_t *pkt_tstamps_begin;
    uint32_t *pkt_tstamps_end;
    uint32_t *cur_tstamp;
    uint32_t count;  // time stamps since the last continuity error
    uint32_t stored; // slots written, up to the ring's size: no rate from empty slots
    bool active;
};

struct asi_input_state {
    tstamp_tracker *tracker; // rate detection only
    ::analyzer *analyzer;    // rate detection only
    int ip_frame_len;
    uint8_t *ip_frame; // 1316 bytes in circbuf, null before the first packet
    bool is_auto_rate_detect;
};

extern "C" {

bool mcf_asi_kt33_exists(void);
int mcf_asi_kt33_init(void);
void mcf_asi_kt33_fini(void);

int asi_input_set_manager(int id, manager_input *mi);
int asi_input_clear_manager(int id);
manager_input *asi_input_get_manager(int offset);

asi_input_state *asi_input_state_ctor(bool is_rate_detect);
void asi_input_state_dtor(asi_input_state *s);
int asi_input_state_clear(int offset);
uint8_t *asi_input_state_append(int offset, const kt3300_igr_frm *frame, int *out_len);
int asi_input_state_get_rate(int offset);

// The input offset board tag 1..4 feeds on this carrier, or -1.
int asi_tag_offset(unsigned tag);

// ASI ingress thread: reads board frames while `*bits` stays below
// `limit`, writing one entry per finished datagram into pipe (each
// counting `entry_bits`). -1 when the pipe was full, else the entries written.
int mcf_asi_kt33_receive(kd_pipe_t *pipe, unsigned *bits, unsigned limit, unsigned entry_bits);
// ASI ingress thread start and stop: enable and disable the board's ingress.
void mcf_asi_kt33_ingress_start(void);
void mcf_asi_kt33_ingress_stop(void);

} // extern "C"

namespace mcf::asi {
// Test seams: an input state of the table and the tag map without a board.
void kt33_set_state_for_test(int offset, asi_input_state *s);
void kt33_set_row_for_test(bool lower_row);
} // namespace mcf::asi

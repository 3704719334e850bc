/* PCR access (ISO/IEC 13818-1 2.4.3.5 program_clock_reference) and the PCR
 * windows of an output: per (input, PCR PID), the previous PCR as received
 * and as written, and the packets the input delivered and the output
 * emitted since. An output holds up to 64 windows; a further PCR stream
 * gets none (its PCRs pass unchanged).
 *
 * Used by the multiplexer while it routes; rates change under the control
 * write lock, which excludes routing. */
#ifndef MCF_PCR_WINDOW_H
#define MCF_PCR_WINDOW_H

#include <stdint.h>

#include "mcf_utils.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct manager_input manager_input;
typedef struct manager_output manager_output;

enum { PCR_WINDOWS_MAX = 64, PCR_WINDOWS_MAX_INPUT_ID = 2048 };

typedef struct pcr {
    uint64_t base; /* 33 bits, 90 kHz */
    uint16_t ext;  /* 0..299 */
    uint32_t rsvd; /* the 6 reserved bits */
} pcr;

/* p points at the 6-byte field (after the adaptation-field flags). */
pcr tsphPcrGet(const void *p);
/* Writes base, reserved bits as ones and extension; bytes after the field stay. */
int tsphPcrSet(void *p, uint64_t ticks);
uint64_t tsphPcrGetProgramClockReferenceBase(const void *p);
int tsphPcrSetProgramClockReferenceBase(void *p, uint64_t base);
uint8_t tsphPcrGetReserved(const void *p);
int tsphPcrSetReserved(void *p); /* always 63 */
uint16_t tsphPcrGetProgramClockReferenceExtension(const void *p);
int tsphPcrSetProgramClockReferenceExtension(void *p, uint16_t ext);
/* 27 MHz ticks and the base-and-extension form. */
pcr pcr_to_pcr_t(uint64_t ticks);
uint64_t pcr_t_to_pcr(pcr value);

typedef struct pcr_span {
    uint32_t curr;
    uint32_t prev;
} pcr_span;

typedef struct pcr_prev {
    double actual; /* the last PCR received, in ticks */
    double calc;   /* the last PCR written */
} pcr_prev;

typedef struct pcr_window_info {
    int pcr_pid;
    pcr_span total_pkts_rx;
    pcr_span total_pkts_tx;
    pcr_prev pcr_prev;
    int ignore_first_few; /* PCRs still taken as they come */
    mcastfwdr_tmr *tmr;   /* owned: input and output rate */
    int input_id;
    int pcr_count;
    uint32_t *rx_counter; /* the packets its input delivered to the output (shared per input) */
    uint32_t own_counter; /* the counter of a window outside a set */
} pcr_window_info;

typedef struct pcr_window_infos {
    pcr_window_info *pcr_window[PCR_WINDOWS_MAX];
    int count;
    int full_logged; /* a 65th stream was reported */
    uint32_t rx_by_input[PCR_WINDOWS_MAX_INPUT_ID]; /* packets per input id, counted once per packet */
} pcr_window_infos;

pcr_window_info *pcr_window_ctor(int input_id, int bps_in, int bps_out, int pcr_pid);
void pcr_window_dtor(pcr_window_info *w);
void pcr_window_save_pcr(pcr_window_info *w, double actual, double calc);
void pcr_window_save_pkts(pcr_window_info *w, uint32_t rx_total, uint32_t tx_total);
void pcr_window_reset_pkts(pcr_window_info *w);
uint32_t pcr_window_get_pkts_rx(const pcr_window_info *w);
uint32_t pcr_window_get_pkts_tx(const pcr_window_info *w);
uint32_t pcr_window_get_total_pkts_rx(const pcr_window_info *w);
void pcr_window_inc_total_pkts_rx(pcr_window_info *w);
int pcr_window_ignore_first_few(pcr_window_info *w);
void pcr_window_reset_io_bps(pcr_window_info *w, int bps_in, int bps_out);
void pcr_window_adjust_tx_bps(pcr_window_info *w, int bps_out);
int pcr_window_get_input_id(const pcr_window_info *w);
int pcr_window_get_pcr_pid(const pcr_window_info *w);
double pcr_window_get_pcr_prev_actual(const pcr_window_info *w);
double pcr_window_get_pcr_prev_calc(const pcr_window_info *w);
mcastfwdr_tmr *pcr_window_get_tmr(const pcr_window_info *w);
int pcr_window_get_pcr_count(const pcr_window_info *w);

pcr_window_infos *pcr_windows_ctor(void);
void pcr_windows_dtor(pcr_window_infos *s);
/* A window for (input, PCR PID) unless it exists or the set is full: 0,
 * or -1 when refused for room (logged once per set). */
int pcr_windows_add(pcr_window_infos *s, manager_input *input, manager_output *output, int pcr_pid);
int pcr_windows_add_rates(pcr_window_infos *s, int input_id, int bps_in, int bps_out, int pcr_pid);
int pcr_windows_get_count(const pcr_window_infos *s);
pcr_window_info *pcr_windows_get(const pcr_window_infos *s, int index);
/* The window of (input, PCR PID), or null. */
pcr_window_info *pcr_windows_find(const pcr_window_infos *s, int input_id, int pcr_pid);
/* One packet of this input reached the output: constant time. */
void pcr_windows_inc_total_pkts_rx(pcr_window_infos *s, int input_id);
void pcr_windows_update_bps_rx(pcr_window_infos *s, int input_id, int bps_in, int bps_out);
void pcr_windows_adjust_bps_tx(pcr_window_infos *s, int bps_out);

#ifdef __cplusplus
}
#endif

#endif

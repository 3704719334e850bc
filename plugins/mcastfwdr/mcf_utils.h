/* Small shared pieces of the forwarder: the rate record of an output, time
 * and sleeping, unaligned 64-bit access, IPv4 address text, circular
 * distances, file digests, row deletion, interface state and hex dumps.
 * None of them keeps state; all are safe on any thread except
 * mcastfwdr_param_delete and mcastfwdr_eth_intf_is_operational (loop). */
#ifndef MCF_UTILS_H
#define MCF_UTILS_H

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>

#include "cfg/mcf_services.h"

#ifdef __cplusplus
extern "C" {
#endif

/* The transport-multiplex rate of one output. */
typedef struct mcastfwdr_tmr {
    int bps_in;       /* input rate, bit/s */
    double mbps_in;   /* bps_in / 1,000,000 */
    double mbps_out;  /* output rate / 1,000,000 */
    double mbps_fill; /* mbps_out - mbps_in: the room left for null fill */
} mcastfwdr_tmr;

mcastfwdr_tmr *mcastfwdr_tmr_ctor(int bps_rx, int bps_tx);
int mcastfwdr_tmr_dtor(mcastfwdr_tmr *tmr);
int mcastfwdr_tmr_get_bps_in(const mcastfwdr_tmr *tmr);
double mcastfwdr_tmr_get_mbps_in(const mcastfwdr_tmr *tmr);
double mcastfwdr_tmr_get_mbps_out(const mcastfwdr_tmr *tmr);
double mcastfwdr_tmr_get_mbps_fill(const mcastfwdr_tmr *tmr);

/* Local time as "%H:%M:%S". */
int mcastfwdr_get_time_str(char *text, size_t size);
/* Sleeps (nanosleep) for us microseconds; nothing for 0 or less. */
int mcastfwdr_usleep(int64_t us);
uint64_t mcastfwdr_get_aligned_64(const void *p);
int mcastfwdr_set_aligned_64(void *p, const uint64_t *value);
/* The shorter way from a to b on a circle of size max: positive forwards,
 * negative backwards, 0 for equal values. */
int64_t mcastfwdr_get_dist(uint64_t a, uint64_t b, uint64_t max);
/* MD5 of a file as 32 lower-case hex digits: 32, or -1 when the file cannot
 * be read or the buffer holds fewer than 33 bytes. */
int mcastfwdr_get_md5sum(char *out, size_t size, const char *path);
/* 16 bytes a line to standard output: offset, hex, printable text. */
void mcastfwdr_hexdump(const void *data, size_t size);

#ifdef __cplusplus
}
#endif

#endif

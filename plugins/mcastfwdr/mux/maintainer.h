/* The maintainer: a low-priority thread that wakes every 100 ms on an
 * absolute grid, checks the SRT connections and statistics of inputs and
 * outputs, and re-reads the stage buffer settings the multiplexer and the
 * egress threads pace themselves by. Also the forwarder's debug stream: a
 * file written only while somebody has created it. */
#ifndef MCF_MAINTAINER_H
#define MCF_MAINTAINER_H

#include <stdio.h>

#ifdef __cplusplus
extern "C" {
#endif

/* The stages of the data path. */
typedef enum ime_t { IME_INGRESS = 0, IME_MULTIPLEX = 1, IME_EGRESS = 2, IME_NUM = 3 } ime_t;

typedef enum DebugStreamID { DSID_MCASTFWDR = 0 } DebugStreamID;

/* Starts the thread: 0, or -1 when it cannot be made. */
int maintainer_init(void);
/* Stops and joins it: 0, or -1 when the join fails. */
int maintainer_fini(void);

/* The stage's buffer setting in ms (0 to 50); -1 for an unknown stage.
 * Any thread, no lock. */
int get_ime_buffer_ms(int stage);
/* Re-reads "/var/local/solvera/buffer_ms_<stage>" for the three stages: a
 * missing file gives the stage's default (0, 10, 10), a file the integer at
 * its start clamped to 0..50, or 0 when it holds none. */
void ime_buffer_ms_update(void);

/* The open debug file of the stream, or null while it is off. The file
 * "/run/debug/mcfw/pcr" is looked for every 101st call: its creation opens
 * (and truncates) it, its removal, loss of write permission or a size of
 * 10,000,000 bytes closes it. Never opened through a symbolic link.
 * Multiplexer thread only. */
FILE *mcfwdrDebugStreamFile(int id);
/* Writes text and a line feed to f and flushes; nothing when f is null. */
void mcfwdrDebugDumpHelper(FILE *f, const char *text);

#ifdef __cplusplus
}

namespace mcf::maintainer {

// What a tick of the thread does (ticks counted from 1).
struct tick_work {
    bool buffers;        // re-read the stage settings
    bool input_srt;      // inputs' SRT connections
    bool srt_stats;      // inputs' and outputs' SRT statistics
    bool output_srt;     // outputs' SRT connections
};
tick_work work_of(unsigned tick);
// Ticks the running thread has done.
unsigned ticks();
// Closes the debug stream and restarts its countdown (tests).
void debug_stream_reset();

} // namespace mcf::maintainer
#endif

#endif

/* Filling the PID index from the running managers: each input's table
 * handlers, and for each output the data handlers of the input PIDs it
 * carries with its PID remaps and CA sessions. Also the two single-handler
 * entries the data path uses, and the per-input list of the outputs that
 * route one input whole.
 *
 * Population runs inside phindex_repopulate: on the loop with
 * ctrl_data_lock held for writing, or deferred on the multiplexer under
 * the read lock. The single-handler entries run on the multiplexer. */
#ifndef MCF_POPULATE_H
#define MCF_POPULATE_H

#include <stddef.h>

#include "router/phindex.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct manager_input manager_input;
typedef struct manager_output manager_output;
typedef struct kd_dataset kd_dataset;

/* The index's callbacks: both always answer -1. */
int mcastfwdr_populate_pidh(void);
int mcastfwdr_depopulate_pidh(void);

void add_table_pid_handlers(manager_input *mi);
void add_data_pid_handlers(manager_output *mo);
void add_remap_data_pids_to_routed_handlers(manager_output *mo);
void add_ca_id_to_routed_handlers(manager_output *mo);
/* The output takes (input, pid) from now on: all-data and unrouted-data. */
int add_unreferenced_pid_handler(manager_output *mo, int in_id, int pid);
/* Nobody wants (input, pid): dropped quietly from now on. */
int add_ignored_pid_handler(manager_input *mi, int pid);
int add_pid_remap_to_pid_handler(manager_output *mo, int in_id, int in_pid, int remap_pid);
int add_ca_to_pid_handler(manager_output *mo, int in_id, int pid, int ca_id);
/* "%d-%d," (input, PID) per key of in_id * 8192 + pid, while it fits. */
void unique_pid_dataset_to_string(kd_dataset *set, char *buf, size_t len);

#ifdef __cplusplus
}

namespace mcf {

// The outputs that route input_id whole (single-input mode), as of the last
// population; *count their number.
manager_output *const *single_input_outputs(int input_id, unsigned *count);
// The outputs the last population saw.
unsigned populated_output_count();
// The population itself, over the given outputs (the callback passes the
// output managers' list). May throw std::bad_alloc.
void populate_from(manager_output *const *outputs, unsigned count);

} // namespace mcf
#endif

#endif

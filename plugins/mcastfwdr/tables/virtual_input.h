/* The virtual input: one input, present while the plug-in runs, whose
 * programs are announced one by one ("virtual_program" events) and
 * assemble elementary streams that arrive on XSB inputs. Announcements
 * gather in a cache and reach the live tables in one step, five
 * maintenance ticks after the first. Loop thread only. */
#ifndef MCF_VIRTUAL_INPUT_H
#define MCF_VIRTUAL_INPUT_H

#include <stdint.h>

#include "cfg/mcf_cfg.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct pidref {
    char src_addr[4]; /* the second and third: the source's XSB slot and index digits */
    int32_t pid;
    int32_t strm_type;
    int32_t es_info_len;
    uint8_t es_info[80];
} pidref;

enum { VIRTUAL_PROGRAM_ENTRIES = 20 };

/* The payload of "virtual_program"; entries end at the first PID 8191. */
typedef struct virtual_program_data {
    int32_t prog_num;
    char name[20];
    int32_t encrypt_mode;
    int32_t splice_mode;
    int32_t slot_num;
    int32_t vid_index;
    pidref pmtref;
    pidref pcrref;
    pidref entries[VIRTUAL_PROGRAM_ENTRIES];
} virtual_program_data;

typedef struct manager_input manager_input;
typedef struct kd_dataset kd_dataset;

int virtual_input_init(mcastfwdr_cfg *cfg);
void virtual_input_fini(void);
int virtual_input_get_ingress_id(void);
manager_input *virtual_input_get_manager(void);
int virtual_input_collect_raw_inputs_under_program(int pnu, kd_dataset *ids);
/* The 1-second maintenance tick. */
void virtual_input_check_on_vp_updates_pending(void);
/* The virtual input's PIDs as text ("0,16,17,..."), for its status. */
const char *virtual_input_status_pids(void);

#ifdef __cplusplus
}
#endif

#endif

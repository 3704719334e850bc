/* What each input learns from its tables (input_table_info), and the PID
 * handlers that keep it: PAT, PMT, SDT, CAT, EMM and ECM. The handlers run
 * where the PID index runs them (the multiplexer, ctrl_data_lock read);
 * the table information of an input is written only by its handlers and,
 * under the write lock, by the control side. */
#ifndef MCF_INPUT_TABLES_H
#define MCF_INPUT_TABLES_H

#include <stddef.h>
#include <stdint.h>
#include <time.h>

#include <section_dmux.h>
#include <ts_packet.h>

#include "cfg/mcf_cfg.h"
#include "tables/local_tables.h"

#ifdef __cplusplus
extern "C" {
#endif

enum {
    INPUT_PROGRAMS_MAX = 64,
    PSI_SECTION_BUF = 1024,  /* PAT, CAT, PMT */
    SDT_SECTION_STORE = 1030, /* the longest SDT section (section_length 1027) */
    CA_SECTION_BUF = 4096,   /* EMM, ECM */
    PID_NONE = 8191
};

typedef struct manager_input manager_input;

typedef struct pmt_state {
    section_dmux *dmux;
    local_pmt pmt;
} pmt_state;

typedef struct ca_state {
    section_dmux *emm_dmux;
    section_dmux *ecm_dmux;
    int32_t ca_sys_id;
    int32_t esid;
    int32_t emm_pid;
    int32_t ecm_pid;
} ca_state;

typedef struct input_table_info {
    int32_t populated;
    int32_t ts_id;
    int32_t pat_version; /* -1: not received */
    int32_t cat_version;
    int32_t sdt_version;
    int32_t num_programs;
    int32_t nit_pid;     /* 8191: none */
    local_sdt_entry sdt;
    pmt_state services[INPUT_PROGRAMS_MAX];
    uint32_t program_status[INPUT_PROGRAMS_MAX];
    ca_state ca;
} input_table_info;

/* An input's own demultiplexers of PAT, CAT and SDT, and its SDT store,
 * kept beside its table information. */
typedef struct input_psi {
    section_dmux *pat_dmux;
    section_dmux *cat_dmux;
    section_dmux *sdt_dmux;
    uint8_t sdt_section_buf[SDT_SECTION_STORE];
} input_psi;

/* ---- table information ---- */
int input_table_info_clear(input_table_info *info);
pmt_state *input_table_info_append_service(input_table_info *info, int pmt_pid, int pnu);
int input_table_info_init_emm(input_table_info *info, int pid, int ca_sys_id);
int input_table_info_init_ecm(input_table_info *info, int pid);
int input_table_info_is_pmt_pid(const input_table_info *info, int pid);
int input_table_info_is_data_pid(const input_table_info *info, int pid);
local_pmt *input_table_info_get_service(input_table_info *info, int pnu);
local_sdt_service *input_table_info_get_sdt_service(input_table_info *info, int pnu);
/* The input that really carries pid of the program (for the virtual input,
 * the source input); -1 when anything is missing. Read lock held. */
int input_table_info_get_ingress_id(int input_id, int pnu, int pid);

/* An input's tables and demultiplexers: made with the input manager,
 * released with it (the clear keeps PAT, CAT and SDT demultiplexers). */
int input_tables_init(input_table_info *info, input_psi *psi);
void input_tables_fini(input_table_info *info, input_psi *psi);
/* Every program inactive, PAT and SDT versions forgotten (the next ones are
 * taken as new). */
void input_tables_clear_program_status(input_table_info *info);

/* ---- PID handlers (phindex process_pkt_f) ---- */
int process_pkt_pat(void *data, tsPkt *pkt, manager_input *input, const struct timespec *tstamp);
int process_pkt_pmt(void *data, tsPkt *pkt, manager_input *input, const struct timespec *tstamp);
int process_pkt_sdt(void *data, tsPkt *pkt, manager_input *input, const struct timespec *tstamp);
int process_pkt_cat(void *data, tsPkt *pkt, manager_input *input, const struct timespec *tstamp);
int process_pkt_emm(void *data, tsPkt *pkt, manager_input *input, const struct timespec *tstamp);
int process_pkt_ecm(void *data, tsPkt *pkt, manager_input *input, const struct timespec *tstamp);

ca_status get_ca_status(int input_id, const local_pmt *p);

/* What the output managers are told of an input's table changes. Each
 * member may be null; the output managers install theirs. pnu -1: every
 * program of the input. Sections are complete, CRC not checked. */
typedef struct input_tables_listener {
    void (*update_pgm_tables)(int input_id, int pnu);
    void (*update_sdt_tables)(int input_id);
    void (*process_emm)(int input_id, const uint8_t *section, size_t len);
    void (*process_ecm)(int input_id, const uint8_t *section, size_t len);
} input_tables_listener;
/* Loop thread with the write lock held (or before the data threads run);
 * null restores the silent listener. */
void input_tables_set_listener(const input_tables_listener *l);
/* Tells the listener (when it has that member). */
void input_tables_notify_program_tables(int input_id, int pnu);
void input_tables_notify_sdt_tables(int input_id);

#ifdef __cplusplus
}
#endif

#endif

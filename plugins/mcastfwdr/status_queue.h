/* The one road from any forwarder thread to the loop thread: typed records
 * with a heap payload, queued by any thread and carried out by the 1-second
 * maintenance on the loop. It also carries log text: mcf_post_log is the
 * forwarder's single logging call for every thread.
 *
 * A poster allocates the payload; a queued payload belongs to the queue,
 * which frees it after processing (or at fini). Every poster answers 0 when
 * queued and -1 when the queue is absent, full (the payload is freed and
 * the loss counted) or the arguments are refused. */
#ifndef MCF_STATUS_QUEUE_H
#define MCF_STATUS_QUEUE_H

#include <pthread.h>
#include <stdbool.h>
#include <stdint.h>

#include "cfg/mcf_cfg.h"

#ifdef __cplusplus
extern "C" {
#endif

enum { MCF_STATUS_QUEUE_ENTRIES = 400, MCF_LOG_TEXT_SIZE = 120, MCF_INFO_RECORD_MAX = 1500 };

typedef enum queue_entry_type {
    MCF_STATUS_PGM_ADD = 0,
    MCF_STATUS_PGM_UPDATE = 1,
    MCF_STATUS_PGM_CLEAR = 2,
    MCF_STATUS_PGM_UPDATE_STATUS = 3,
    MCF_STATUS_PGM_UPDATE_NAME = 4,
    MCF_STATUS_PGM_UPDATE_CA_STATUS = 5,
    MCF_ASI_RESET_INTERFACE = 6,
    MCF_LOG_WRITE = 7,
    MCF_INFO_RECORD = 8,
    MCF_EVENT_RTE_INPUT_ADD_DEL = 9,
    MCF_EVENT_RTE_INPUT_BPS_CHG = 10,
    MCF_INPUT_RATE_DETECT = 11
} queue_entry_type;

typedef enum sq_log_level { SQ_LOG_ERROR = 0, SQ_LOG_WARN = 1, SQ_LOG_INFO = 2, SQ_LOG_DEBUG = 3 } sq_log_level;

typedef struct program_status_data {
    uint32_t input_id;
    uint32_t pgm_number;
    char pgm_name[20]; /* always terminated at its last byte */
    uint32_t pgm_status;
    ca_status pgm_ca_status;
} program_status_data;

typedef struct asi_reset_intf_data {
    uint32_t output_id;
} asi_reset_intf_data;

typedef struct log_write_data {
    sq_log_level level;
    char log[MCF_LOG_TEXT_SIZE]; /* cut at 119 characters */
} log_write_data;

typedef struct info_record_data {
    char payload[MCF_INFO_RECORD_MAX];
    uint32_t length;
} info_record_data;

typedef struct rte_input_event_data {
    uint32_t input_id;
    bool is_added;
} rte_input_event_data;

typedef struct input_rate_detect_data {
    uint32_t input_id;
    uint32_t rate_bps;
} input_rate_detect_data;

/* Loop thread, before any data thread starts / after they are all joined.
 * fini writes the log lines still queued and drops the rest. */
void mcf_status_queue_init(pthread_t ctrl_thread);
void mcf_status_queue_fini(void);
/* The reader: carries out every queued record (loop thread). */
void mcf_status_queue_periodic_check(void);

int mcf_post_program_status_add(uint32_t input_id, uint32_t prog_num, const char *prog_name, ca_status ca);
int mcf_post_program_status_update(uint32_t input_id, uint32_t prog_num, ca_status ca);
int mcf_post_program_status_clear(uint32_t input_id);
int mcf_post_program_status_state(uint32_t input_id, uint32_t prog_num, bool is_active);
int mcf_post_program_status_name(uint32_t input_id, uint32_t prog_num, const char *prog_name);
int mcf_post_program_status_ca(uint32_t input_id, uint32_t prog_num, ca_status ca);
int mcf_post_asi_reset_interface(uint32_t output_id);
int mcf_post_info_record(const void *info_payload, uint32_t payload_len);
int mcf_post_routable_input_added_deleted_event(int input_id, bool is_added);
int mcf_post_routable_input_bps_changed_event(int input_id);
int mcf_post_input_rate_detected(int input_id, uint32_t rate_bps);
/* Any thread; level a sq_log_level. On the loop thread (or before init)
 * the line goes to the journal at once; elsewhere it is queued. */
int mcf_post_log(int level, const char *fmt, ...) __attribute__((format(printf, 2, 3)));

/* True on the loop thread named at init (also before init). */
bool mcf_on_ctrl_thread(void);
/* Records lost to a full queue since the last pass (reported by the reader). */
uint32_t mcf_status_queue_lost(void);

#ifdef __cplusplus
}
#endif

#endif

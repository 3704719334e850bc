/* PES header parsing and the PTS-to-PCR drift monitor of an output: per
 * PCR PID the latest PCR base and the latest PTS of each stream; once a
 * second one stream's PTS-minus-PCR joins a 600-sample history through
 * which a straight line is fitted. Control side; one owner per object. */
#ifndef MCF_PCR_PTS_H
#define MCF_PCR_PTS_H

#include <stddef.h>
#include <stdint.h>

#include <kerrow/dataset.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef enum pes_start_code { START_CODE_NONE = 0, START_CODE_1 = 1 } pes_start_code;
typedef enum stream_id_e {
    STREAM_ID_PRIVATE_STREAM_1 = 0xBD,
    STREAM_ID_PADDING_STREAM = 0xBE,
    STREAM_ID_PRIVATE_STREAM_2 = 0xBF,
    STREAM_ID_MPEG_AUDIO_STREAM = 0xC0,
    STREAM_ID_MPEG_VIDEO_STREAM = 0xE0
} stream_id_e;
typedef enum pes_scrambling_control_e { PES_SCRAMBLING_CONTROL_NOT_SCRAMBLED = 0 } pes_scrambling_control_e;
typedef enum pes_priority_e { PES_PRIORITY_0 = 0, PES_PRIORITY_1 = 1 } pes_priority_e;
typedef enum pts_dts_flags_e {
    PTS_DTS_FLAGS_NONE_PRESENT = 0,
    PTS_DTS_FLAGS_FORBIDDEN = 1,
    PTS_DTS_FLAGS_PTS_PRESENT = 2,
    PTS_DTS_FLAGS_PTS_AND_DTS_PRESENT = 3
} pts_dts_flags_e;

typedef struct pes_hdr {
    uint32_t start_code;
    uint32_t stream_id;
    uint32_t pes_packet_length;
    uint32_t is_extension_present;
    uint32_t pes_scrambling_control;
    uint32_t pes_priority;
    uint32_t pts_dts_flags;
    uint64_t pts;
} pes_hdr;

enum { PCR_PTS_PIDS_MAX = 64, PCR_PTS_SERVICES_MAX = 32, PCR_PTS_HISTORY_LEN = 600 };

typedef struct pid_pts {
    int32_t pid;
    uint64_t pts;
    int32_t pts_is_updated;
} pid_pts;

typedef struct pcr_pts_service {
    int32_t pcr_pid;
    uint64_t pcr_base;
    int32_t pcr_base_is_updated;
    pid_pts *pid_pts[PCR_PTS_PIDS_MAX];
    int32_t pid_pts_len;
} pcr_pts_service;

typedef struct pcr_pts_services {
    pcr_pts_service *list[PCR_PTS_SERVICES_MAX];
    int32_t list_len;
} pcr_pts_services;

typedef struct pcr_pts_history {
    int32_t coords_x[PCR_PTS_HISTORY_LEN];
    int32_t coords_y[PCR_PTS_HISTORY_LEN];
    int32_t coords_len;
    int32_t coords_idx;
    int64_t coords_samples;
    int32_t update_dbnc;
    kd_timer *timer;
} pcr_pts_history;

/* The output's PCR-PID lookup: the PCR PID of the program carrying pid, or
 * -1. Stands for the output's inputs, which own that knowledge. */
typedef struct pcr_pid_lookup {
    int (*pcr_pid_of)(void *ctx, int pid);
    void *ctx;
} pcr_pid_lookup;

/* len: the bytes available from the PES packet start; a header that does
 * not fit them parses as far as it does (fields beyond stay 0). */
pes_hdr pes_parse_header(const uint8_t *buf, size_t len);

pid_pts *pid_pts_ctor(int pid);
void pid_pts_dtor(pid_pts *p);
pcr_pts_service *pcr_pts_service_ctor(int pcr_pid);
void pcr_pts_service_dtor(pcr_pts_service *s);
pid_pts *pcr_pts_service_add(pcr_pts_service *s, int pid);
pid_pts *pcr_pts_service_find(pcr_pts_service *s, int pid);
pcr_pts_services *pcr_pts_services_ctor(void);
void pcr_pts_services_dtor(pcr_pts_services *s);
pcr_pts_service *pcr_pts_services_get(pcr_pts_services *s, const pcr_pid_lookup *inputs, int pid);
int pcr_pts_services_update(pcr_pts_services *s, const pcr_pid_lookup *inputs, int pid, uint64_t pts);
/* Records a PCR base for a PCR PID (the service is made when missing). */
int pcr_pts_services_update_pcr(pcr_pts_services *s, int pcr_pid, uint64_t pcr_base);
int pcr_pts_services_get_diff(pcr_pts_services *s, const pcr_pid_lookup *inputs, int pid, int64_t *diff);

pcr_pts_history *pcr_pts_history_ctor(void);
void pcr_pts_history_dtor(pcr_pts_history *h);
void pcr_pts_history_reset(pcr_pts_history *h);
int pcr_pts_history_handle_update(pcr_pts_history *h, pcr_pts_services *s, const pcr_pid_lookup *inputs, int pid,
                                  char *text, size_t size);

#ifdef __cplusplus
}
#endif

#endif

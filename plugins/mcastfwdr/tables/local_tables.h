/* Local table models: plain records of an output's PMTs, SDT and ATSC
 * tables, filled from the inputs' received tables and the configuration,
 * and the builders that turn them into sections (and back). Versions are
 * not chosen here: every builder writes the version it is given or finds
 * in the model. Control side only (loop thread). */
#ifndef MCF_LOCAL_TABLES_H
#define MCF_LOCAL_TABLES_H

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>

#include <psi_pmt.h>
#include <psi_section.h>
#include <psip.h>
#include <ts_packet.h>

#ifdef __cplusplus
extern "C" {
#endif

enum {
    LOCAL_STRING_MAX = 256,
    LOCAL_SDT_SERVICES_MAX = 25,
    LOCAL_PGM_INFO_DESC_MAX = 10,
    LOCAL_PGM_INFO_DESC_DATA_MAX = 40,
    LOCAL_PMT_ENTRIES_MAX = 64,
    LOCAL_ES_INFO_MAX = 80,
    LOCAL_EIT_TITLE_MAX = 20,
    LOCAL_EIT_DESC_MAX = 64,
    LOCAL_EIT_EVENTS_MAX = 4,
    LOCAL_VCT_CHANNELS_MAX = 10,
    LOCAL_SLD_ELEMENTS_MAX = 64,
    LOCAL_MGT_ENTRIES = 6,
    SDT_SECTION_BUF_SIZE = 1048
};

typedef struct local_string {
    int32_t len;
    char string[LOCAL_STRING_MAX];
} local_string;

typedef struct local_sdt_service {
    int32_t pnu;
    int32_t eit_sch_flag;
    int32_t eit_present_following_flag;
    int32_t running_status;
    int32_t cas_mode;
    int32_t desc_tag;
    int32_t desc_len;
    int32_t service_type;
    local_string name;
    local_string provider;
} local_sdt_service;

typedef struct local_sdt_entry {
    int32_t ts_id;
    int32_t onit_id;
    int32_t num_service_info;
    local_sdt_service service_info[LOCAL_SDT_SERVICES_MAX];
} local_sdt_entry;

typedef struct local_pgm_info_desc_entry {
    uint8_t tag;
    uint8_t len;
    uint8_t desc_info[LOCAL_PGM_INFO_DESC_DATA_MAX];
} local_pgm_info_desc_entry;

typedef struct local_pmt_entry {
    int32_t stream_type;
    int32_t ingress_id;
    int32_t elementary_pid;
    int32_t es_info_len;
    uint8_t es_info[LOCAL_ES_INFO_MAX];
} local_pmt_entry;

typedef struct local_pmt {
    int32_t pnu;
    int32_t slot_num;
    int32_t vid_index;
    int32_t pmt_pid;
    int32_t pmt_version;
    int32_t pcr_pid;
    int32_t pcr_ingress_id;
    int32_t ca_sys_id;
    int32_t ecm_pid;
    int32_t scram_mode;
    int32_t num_pmt_entries;
    int32_t num_pgm_info_desc_entries;
    local_pgm_info_desc_entry program_info_desc_entries[LOCAL_PGM_INFO_DESC_MAX];
    local_pmt_entry pmt_entries[LOCAL_PMT_ENTRIES_MAX];
} local_pmt;

typedef struct local_daylight_saving {
    int32_t status;
    int32_t day;
    int32_t hour;
} local_daylight_saving;

typedef struct local_stt {
    int32_t stt_pid;
    uint32_t time;   /* GPS seconds */
    int32_t offset;  /* GPS-UTC offset, seconds */
    local_daylight_saving ds;
} local_stt;

typedef struct local_mgt_entry {
    int32_t type;
    int32_t pid;
    int32_t version;
    int32_t num_bytes;
    int32_t desc_len;
} local_mgt_entry;

typedef struct local_mgt {
    int32_t version;
    int32_t tables_defined;
    local_mgt_entry mgt_entries[LOCAL_MGT_ENTRIES];
} local_mgt;

typedef struct local_eit_entry {
    int32_t event_id;
    uint32_t start_time;
    int32_t etm_location;
    int32_t len_in_sec;
    int32_t title_length;
    uint8_t title_text[LOCAL_EIT_TITLE_MAX];
    int32_t desc_len;
    uint8_t eit_desc[LOCAL_EIT_DESC_MAX];
} local_eit_entry;

typedef struct local_eit {
    int32_t source_id;
    int32_t pid;
    int32_t version;
    int32_t num_events;
    local_eit_entry events[LOCAL_EIT_EVENTS_MAX];
} local_eit;

typedef struct local_sld_element {
    int32_t stream_type;
    int32_t pid;
} local_sld_element;

typedef struct local_service_location_desc {
    int32_t pcr_pid;
    int32_t num_elements;
    local_sld_element elements[LOCAL_SLD_ELEMENTS_MAX];
} local_service_location_desc;

typedef struct local_vct_entry {
    int32_t major_chn;
    int32_t minor_chn;
    int32_t modulation_mode;
    uint32_t carrier_frequency;
    int32_t ts_id;
    int32_t pnu;
    int32_t pcr;
    int32_t service_type;
    int32_t source_id;
    int32_t desc_len;
    local_string short_name;
    local_string long_name;
    local_service_location_desc sld;
} local_vct_entry;

typedef struct local_vct {
    int32_t ts_id;
    int32_t version;
    bool is_cable;
    int32_t num_channels_in_section;
    local_vct_entry vct_entries[LOCAL_VCT_CHANNELS_MAX];
} local_vct;

/* ---- SDT section (wire layout, big-endian) ---- */
typedef struct sdt {
    TTableBase header;
    uint8_t orig_net_id[2];
    uint8_t reserved;
    uint8_t data[SDT_SECTION_BUF_SIZE - 11]; /* service entries, CRC */
} sdt;

typedef struct sdt_entry {
    uint8_t service_id[2];
    uint8_t flags;             /* reserved '111111', EIT_schedule, EIT_present_following */
    uint8_t status_len[2];     /* running_status, free_CA_mode, descriptors_loop_length */
    uint8_t descriptors[];
} sdt_entry;

sdt *sdt_get(tsPkt *pkt);
int sdt_get_orig_net_id(const sdt *s);
int sdt_set_orig_net_id(sdt *s, uint16_t v);
int sdt_entry_init(sdt_entry *e);
int sdt_entry_get_service_id(const sdt_entry *e);
int sdt_entry_set_service_id(sdt_entry *e, uint16_t v);
int sdt_entry_get_schd_Flag(const sdt_entry *e);
int sdt_entry_set_schd_Flag(sdt_entry *e, int v);
int sdt_entry_get_present_flag(const sdt_entry *e);
int sdt_entry_set_present_flag(sdt_entry *e, int v);
int sdt_entry_get_running_status(const sdt_entry *e);
int sdt_entry_set_running_status(sdt_entry *e, int v);
int sdt_entry_get_free_cas_mode(const sdt_entry *e);
int sdt_entry_set_free_cas_mode(sdt_entry *e, int v);
int sdt_entry_get_desc_loop_len(const sdt_entry *e);
int sdt_entry_set_desc_loop_len(sdt_entry *e, int v);
/* The entry's size on the wire: 5 + descriptors_loop_length. */
int sdt_entry_get_size(const sdt_entry *e);
/* section_length + 3; 0 for no section. */
int sdt_get_table_len_actuall(const sdt *s);
/* The complete length - 15; 0 for no section. */
int sdt_get_len_of_entries(const sdt *s);

int sdt_init(sdt *s, uint8_t version, uint16_t ts_id);
/* Writes the model's services while each fits buf_size with the CRC. */
int sdt_from_local(sdt *s, size_t buf_size, const local_sdt_entry *info);
/* Reads a complete section of sec_len bytes (the caller checked the CRC);
 * every length is checked against the section. */
int sdt_to_local(local_sdt_entry *info, const sdt *s, size_t sec_len);
int sdt_service_to_string(char *text, size_t size, const local_sdt_service *svc);

/* ---- PMT ---- */
int local_pmt_init(local_pmt *p, int pnu, int pmt_pid, int pmt_version);
int local_pmt_add_entry(local_pmt *p, int stream_type, int ingress_id, int pid);
int local_pmt_set_entry_es_info(local_pmt *p, int index, const uint8_t *bytes, int count);
int local_pmt_init_ca_descriptor(local_pmt *p);
int local_pmt_init_dvs253_descriptor(local_pmt *p);
int local_pmt_clear_program_info(local_pmt *p);
int esinfo_write_klva_descriptor(uint8_t *buf, int room);
int esinfo_write_data_alignment_descriptor(uint8_t *buf, int room, uint8_t alignment_type);
int esinfo_write_metadata_descriptor(uint8_t *buf, int room);
int esinfo_write_metadata_std_descriptor(uint8_t *buf, int room, uint32_t input_leak_rate,
                                         uint32_t buffer_size, uint32_t output_leak_rate);
/* Builds the program's PMT section into pmt (size bytes of room; a PMT
 * section here fits one packet). What does not fit is left out with an
 * error log; the section stays well formed with a valid CRC. */
int local_pmt_to_section(const local_pmt *p, TPmt *pmt, size_t size);
bool local_pmt_contains_pid(const local_pmt *p, int pid);
int local_pmt_get_ingress_id(const local_pmt *p, int pid);
local_pmt_entry *local_pmt_get_entry(local_pmt *p, int pid);
bool local_pmt_has_separate_pcr(const local_pmt *p);
/* sec_len: the complete section's length; every length is checked. */
int tsGetPmtServiceInfo(const uint8_t *sec, size_t sec_len, local_pmt *p, int ingress_id);
int tsGetTersePmtServiceInfo(const uint8_t *sec, size_t sec_len, local_pmt *p);

/* ---- ATSC ---- */
enum { GPS_EPOCH_UNIX = 315964800, GPS_UTC_OFFSET = 18, ATSC_BASE_PID = 0x1FFB, ATSC_EIT0_PID = 0x1FD0 };
uint32_t getCurrentGpsTime(void);
int getDaylightSavingStatus(void);
int populateSttServiceData(local_stt *model);
/* Builds the STT into a fresh packet on the model's PID. */
int local_stt_to_stt(const local_stt *model, tsPkt *pkt);
/* Builds the MGT of the model's defined entries into a fresh packet on PID
 * 0x1FFB (six entries fit one packet). */
int local_mgt_to_mgt(const local_mgt *model, tsPkt *pkt);
/* Builds EIT-k of the model (its one event, a 20-byte title) into a fresh
 * packet on PID 0x1FD0 + k; the section's complete length is added to
 * *running_total. */
int local_eit_to_eit(const local_eit *model, tsPkt *pkt, int k, uint32_t *running_total);
/* Builds the VCT of the model into vct (buf_size bytes of room, a section
 * of at most 1024 bytes); channels that do not fit are left out with a
 * warning. The section's complete length goes to *len_out. */
int vct_from_local(TVct *vct, const local_vct *model, size_t buf_size, size_t *len_out, uint16_t ts_id);
int update_eit_local(const local_pmt *p, local_eit *eit, uint32_t system_time, const char *title,
                     int event_id, int source_id, int k);

#ifdef __cplusplus
}
#endif

#endif

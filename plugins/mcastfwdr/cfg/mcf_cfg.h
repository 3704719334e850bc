/* The forwarder's configuration records: inputs (cfg_rx), outputs (cfg_tx)
 * with their services (cfg_tx_input) and PID maps (cfg_tx_pid_map), KLV
 * sources (cfg_rx_klv) and CA sessions (cfg_ca), kept in the four lists of
 * the configuration root (mcastfwdr_cfg).
 *
 * Records are written on the loop thread; fields the data threads read are
 * changed under ctrl_data_lock held for writing. Status and statistics
 * fields are written by the engine. Field order is the records' declared
 * order; texts are zero-terminated within their arrays. */
#ifndef MCF_CFG_H
#define MCF_CFG_H

#include <stdbool.h>
#include <stdint.h>
#include <time.h>

#include <kerrow/remote.h>
#include <kerrow/types.h>

#include "mcf_list.h"

#ifdef __cplusplus
extern "C" {
#endif

/* ---- enumerations ---- */
typedef enum ingress_type { INGRTYPE_NET = 0, INGRTYPE_XSB = 1, INGRTYPE_VIRT = 2, INGRTYPE_ASIIN = 3 } ingress_type;
typedef enum egress_types { EGRTYPE_NET = 0, EGRTYPE_ASI = 1, EGRTYPE_DEC = 2 } egress_types;
typedef enum dest_xmit_select { DEST_XMIT_OFF = 0, DEST_XMIT_ON = 1, DEST_XMIT_MIR = 2 } dest_xmit_select;
typedef enum dest_sim_select { DEST_SIM_OFF = 0, DEST_SIM_ON = 1 } dest_sim_select;
typedef enum protocol_type { PROTOCOL_UDP = 0, PROTOCOL_RTP = 1, PROTOCOL_SRT = 2 } protocol_type;
typedef enum srt_connect { SRT_CALLER = 0, SRT_LISTENER = 1, SRT_RENDEZVOUS = 2 } srt_connect;
typedef enum srt_min_version { SRT_ANY_VERSION = 0, SRT_1_3_0 = 1 } srt_min_version;
typedef enum srt_off_on_default { SRT_OFF = 0, SRT_ON = 1, SRT_DEFAULT = 2 } srt_off_on_default;
typedef enum srt_encrypt { SRT_ENCRYPT_OFF = 0, SRT_ENCRYPT_ON = 1 } srt_encrypt;
typedef enum srt_pbkeylen { SRT_PBKEYLEN_0 = 0, SRT_PBKEYLEN_16 = 1, SRT_PBKEYLEN_24 = 2, SRT_PBKEYLEN_32 = 3 } srt_pbkeylen;
typedef enum srt_loglevel {
    SRT_LOG_OFF = 0, SRT_LOG_NA_1 = 1, SRT_LOG_CRIT = 2, SRT_LOG_ERR = 3,
    SRT_LOG_WARNING = 4, SRT_LOG_NOTICE = 5, SRT_LOG_INFO = 6, SRT_LOG_DEBUG = 7
} srt_loglevel;
typedef enum tables_type { TABLES_TYPE_DVB = 0, TABLES_TYPE_ATSC_CABLE = 1, TABLES_TYPE_ATSC_TERRESTRIAL = 2 } tables_type;
typedef enum asi_output_type { BURST = 0, BYTE = 1 } asi_output_type;
typedef enum redundant_xmit_select { REDUNDANT_XMIT_OFF = 0, REDUNDANT_XMIT_ON = 1 } redundant_xmit_select;
typedef enum ip_stop_sdi_status { ENC_IP_OUTPUT_DEFAULT = 0, ENC_IP_OUTPUT_DISABLE = 1, ENC_IP_OUTPUT_ALLOW = 2 } ip_stop_sdi_status;
typedef enum ca_status {
    CASTATUS_CLEAR = 0, CASTATUS_BISS1 = 1, CASTATUS_BISS2_M1 = 2, CASTATUS_BISS2_CA = 3,
    CASTATUS_ENCRYPTED_OTHER = 4, CASTATUS_END = 5
} ca_status;
typedef enum encrypt_type { ECRTYPE_BISS2_1 = 0, ECRTYPE_BISS2_E = 1, ECRTYPE_BISS2_CA = 2 } encrypt_type;
typedef enum vct_modulation_mode {
    VCT_MODULATION_MODE_RESERVED = 0, VCT_MODULATION_MODE_ANALOG2 = 1, VCT_MODULATION_MODE_SCTEMODE_1 = 2,
    VCT_MODULATION_MODE_SCTEMODE_2 = 3, VCT_MODULATION_MODE_ATSC8VSB = 4, VCT_MODULATION_MODE_ATSC16VSB = 5
} vct_modulation_mode;
typedef enum vct_service_type {
    RESERVED = 0, ANALOG_TELEVISION = 1, ATSC_DIGITAL_TELEVISION = 2, ATSC_AUDIO = 3,
    ATSC_DATA_ONLY_SERVICE = 4, ATSC_SOFTWARE_DOWNLOAD_SERVICE = 5
} vct_service_type;
typedef enum pid_type {
    MAP_PID_TYPE_OTHER = 0, MAP_PID_TYPE_PMT = 1, MAP_PID_TYPE_AUDIO = 2, MAP_PID_TYPE_VIDEO = 3,
    MAP_PID_TYPE_SPLCE = 4, MAP_PID_TYPE_S2038 = 5, MAP_PID_TYPE_PCR = 6
} pid_type;

enum {
    MCF_PGM_STATUS_MAX = 64,   /* programs an input lists */
    MCF_ENC_STATUS_COUNT = 32, /* programs 1..32; carrier 1..8 x encoder 0..3 */
    MCF_TX_PMT_MAX = 64
};

/* The text that stands for "no SRT passphrase set". */
#define MCF_SRT_NO_PASSPHRASE "quietmaple"
/* The unset address. */
#define MCF_ADDR_UNSET "255.255.255.255"

/* The session's table of entitled receiver public keys (kept by the CA key code). */
typedef struct ca_key_table ca_key_table;

/* ---- inputs ---- */
typedef struct in_pgm_status {
    int32_t pgm_num;
    int32_t slot_num;  /* carrier */
    int32_t vid_index; /* encoder */
    char pgm_name[256];
    int32_t status;    /* 0 inactive, 1 active */
    ca_status ca_status;
    param_context *param_pgm_status_entry; /* children: Number, Name, Status, CA Status */
} in_pgm_status;

/* SRT statistics texts and counters, shared by inputs and outputs. */
#define MCF_SRT_DURATION_LEN 64
#define MCF_SRT_RTT_LEN 16
#define MCF_SRT_RATE_LEN 16
#define MCF_SRT_PCT_LEN 8

typedef struct cfg_rx {
    int32_t ingress_id;
    ingress_type ingress_type;
    char ingress_ui_label[32];
    int32_t ingress_is_bridged;
    char ingress_node[256];
    int32_t ingress_port;
    char ingress_intf[8];
    remote_addr ra;
    int32_t ingress_bay;
    int32_t ingress_is_routable;
    int32_t ingress_bps;
    int32_t ingress_bps_detected;
    char ingress_pids[256];
    int32_t ingress_dvb_per_ip;
    int32_t ingress_stream_detected;
    uint32_t ingress_stream_lost_secs;
    int32_t ingress_ts_packets_rx;
    int32_t ingress_is_rtp;
    int32_t ingress_pgm_status_count;
    param_context *param_services;
    in_pgm_status ingress_pgm_status[MCF_PGM_STATUS_MAX];
    int32_t srt_ingress_enabled;
    int32_t srt_rcv_latency;
    srt_connect srt_connect;
    srt_min_version srt_min_version;
    srt_off_on_default srt_tsbpdmode;
    int32_t srt_peer_latency;
    srt_off_on_default srt_tlpktdrop;
    srt_off_on_default srt_nakreport;
    int32_t srt_lossmaxttl;
    srt_encrypt srt_encrypt;
    char srt_passphrase[80];
    srt_pbkeylen srt_pbkeylen;
    srt_loglevel srt_log_level;
    int32_t srt_status;
    char srt_duration[MCF_SRT_DURATION_LEN];
    char srt_rtt[MCF_SRT_RTT_LEN];
    char srt_mbps_send_rate[MCF_SRT_RATE_LEN];
    char srt_mbps_recv_rate[MCF_SRT_RATE_LEN];
    char srt_buffer_avail[MCF_SRT_PCT_LEN];
    char srt_period_packet_loss_pct[MCF_SRT_PCT_LEN];
    int32_t srt_pkt_send_loss_total;
    int32_t srt_pkt_recv_loss_total;
    int32_t srt_pkt_retrans_total;
    int32_t srt_pkt_send_drop_total;
    int32_t srt_pkt_recv_drop_total;
    int32_t srt_pkt_flow_window;
    int32_t srt_pkt_flight_size;
    int32_t srt_byte_avail_send_buffer_size;
    int32_t srt_byte_avail_recv_buffer_size;
    int32_t srt_pkt_send_buffer_not_acked;
    param_context *ip_addr_changed;
} cfg_rx;

/* ---- outputs ---- */
typedef struct tx_pmt {
    int32_t pid;
    int32_t version;
} tx_pmt;

typedef struct tx_table_states {
    int32_t pat_ver;
    int32_t sdt_ver;
    int32_t rrt_ver;
    int32_t vct_ver;
    int32_t eit_ver[4];
    int32_t mgt_ver;
    int32_t tx_pmt_count;
    tx_pmt tx_pmts[MCF_TX_PMT_MAX];
} tx_table_states;

typedef struct cfg_tx_input cfg_tx_input;

typedef struct cfg_tx_pid_map {
    int32_t id;
    int32_t in_use;
    char label[20];
    int32_t in_pid;
    int32_t out_pid;
    cfg_tx_input *service;
    param_context *param_in_use;
    param_context *param_label;
    param_context *param_in_pid;
    param_context *param_out_pid;
} cfg_tx_pid_map;

struct cfg_tx_input {
    int32_t service_id;
    int32_t dest_id;
    int32_t input_id;
    int32_t source_id;
    int32_t input_prog_num;
    int32_t major_channel_number;
    int32_t minor_channel_number;
    vct_modulation_mode modulation_mode;
    vct_service_type service_type;
    int32_t carrier_frequency;
    int32_t overwrite_prog_num;
    char overwrite_service_name[64];
    char overwrite_service_provider[64];
    int32_t klv_source_id;
    param_context *param_klv_source;
    mcf_list *list_pid_maps; /* of cfg_tx_pid_map */
    param_context *param_pid_maps;
    uint32_t version_pid_maps;
    int32_t is_durable_remaps;
    int32_t ca_session_id;
    param_context *param_ca_session;
    int32_t orig_network_id;
};

typedef struct cfg_tx {
    int32_t dest_id;
    egress_types egress_type;
    int32_t dest_mirror_id;
    char dest_ui_label[32];
    dest_xmit_select dest_transmit;
    int32_t dest_xmit_buffer_ms;
    char dest_node[256];
    int32_t dest_port;
    remote_addr ra;
    char dest_intf[8];
    int32_t dest_bps;
    int32_t dest_dvb_per_ip;
    int32_t dest_ip_ttl;
    int32_t dest_buf_lvl;
    dest_sim_select dest_single_input_mode;
    int32_t dest_single_input_id;
    protocol_type dest_protocol;
    char priv_key_file[64];
    char ekid[64];
    int32_t srt_rcv_latency;
    srt_connect srt_connect;
    srt_min_version srt_min_version;
    srt_off_on_default srt_tsbpdmode;
    int32_t srt_peer_latency;
    srt_off_on_default srt_tlpktdrop;
    srt_off_on_default srt_nakreport;
    int32_t srt_lossmaxttl;
    srt_encrypt srt_encrypt;
    char srt_passphrase[80];
    srt_pbkeylen srt_pbkeylen;
    srt_loglevel srt_log_level;
    int32_t srt_status;
    char srt_duration[MCF_SRT_DURATION_LEN];
    char srt_rtt[MCF_SRT_RTT_LEN];
    char srt_mbps_send_rate[MCF_SRT_RATE_LEN];
    char srt_buffer_avail[MCF_SRT_PCT_LEN];
    char srt_period_packet_loss_pct[MCF_SRT_PCT_LEN];
    int32_t srt_pkt_send_loss_total;
    int32_t srt_pkt_recv_loss_total;
    int32_t srt_pkt_retrans_total;
    int32_t srt_pkt_send_drop_total;
    int32_t srt_pkt_recv_drop_total;
    int32_t srt_pkt_flow_window;
    int32_t srt_pkt_flight_size;
    int32_t srt_byte_avail_send_buffer_size;
    int32_t srt_byte_avail_recv_buffer_size;
    int32_t srt_pkt_send_buffer_not_acked;
    mcf_list *dest_services; /* of cfg_tx_input */
    param_context *param_key_table_file;
    param_context *param_key_table_idx;
    param_context *param_rem_output_service;
    param_context *param_services;
    param_context *ip_addr_changed;
    param_context *param_single_input_select;
    param_context *param_single_input_id;
    param_context *param_ekid;
    tx_table_states tx_tbl_state;
    tables_type dest_tables_type;
    asi_output_type dest_asi_output_type;
    int32_t ts_id;
    int32_t orig_network_id;
    redundant_xmit_select redundant_transmit;
    char redundant_node[256];
    int32_t redundant_port;
    remote_addr redundant_ra;
    char redundant_intf[8];
} cfg_tx;

/* ---- KLV sources and CA sessions ---- */
typedef struct cfg_rx_klv {
    int32_t id;
    char node[64];
    int32_t port;
    char intf[8];
    uint32_t pid;
    int32_t rate;
    bool detected;
    int32_t pkts_rx;
    int32_t errs_packetizing;
    int32_t errs_overflow;
    char ui_label[32];
    char route_id[128];
    int32_t sockfd;
    int32_t cc;
    struct timespec last_tstamp;
    uint8_t *last_pkt;
} cfg_rx_klv;

typedef struct cfg_ca {
    int32_t id;
    char ui_label[32];
    encrypt_type type;
    uint8_t biss2m1_csw[16];
    uint8_t biss2me_esw[16];
    uint8_t biss2me_aid[16];
    int32_t biss2ca_esid;
    uint32_t biss2ca_key_period;
    uint32_t biss2ca_emm_pid;
    uint32_t biss2ca_ecm_pid;
    bool prevent_descrambled_forward;
    bool prevent_decoded_forward;
    bool insert_watermark;
    ca_key_table *biss2ca_rxrs;
    param_context *param_entitlements;
    int32_t key_file_fd;
    char key_file_path[64];
    bool batch_mode;
    bool listed_on_disk; /* the session list in the store file names it */
} cfg_ca;

/* ---- the configuration root ---- */
typedef struct mcastfwdr_cfg {
    mcf_list *rules_rx;     /* of cfg_rx */
    mcf_list *rules_tx;     /* of cfg_tx, in creation order */
    mcf_list *rules_rx_klv; /* of cfg_rx_klv */
    mcf_list *ca_sessions;  /* of cfg_ca */
    param_context *tbl;
    param_context *tbl_inputs;
    param_context *tbl_outputs;
    param_context *tbl_klv_sources;
    param_context *tbl_ca_sessions;
    param_context *tbl_rem_input;
    param_context *tbl_rem_klv_source;
    param_context *tbl_rem_ca_session;
    param_context *tbl_rem_output;
    ip_stop_sdi_status enc_prog_enc_status[MCF_ENC_STATUS_COUNT]; /* entry p - 1 for program p */
    ip_stop_sdi_status param_str_cache[MCF_ENC_STATUS_COUNT];     /* entry 4 x (carrier - 1) + encoder */
} mcastfwdr_cfg;

/* ---- record operations ---- */
int cfg_rx_init(cfg_rx *rx, ingress_type type);
int cfg_rx_fini(cfg_rx *rx);
bool cfg_rx_ip_fields_incomplete(const cfg_rx *rx);
/* Address text: a host name (first character a letter, kept as given) or a
 * dotted IPv4 address (normalised), at most 255 characters. -1 refused or
 * unresolvable (record, SRT fields and socket address unchanged), 0
 * unchanged, 1 changed; a change may switch SRT on or off and select its
 * mode to suit the address. */
int cfg_rx_set_node(cfg_rx *rx, const char *text);
/* -1 outside 0..65535 (nothing changed), 0 unchanged, 1 changed. */
int cfg_rx_set_port(cfg_rx *rx, int port);
/* Store the SRT switch or mode and move the address to suit them: the
 * answer of the address change it makes (1 moved), else 0. */
int cfg_rx_set_srt_enable(cfg_rx *rx, int on);
int cfg_rx_set_srt_connect(cfg_rx *rx, srt_connect mode);

int cfg_tx_init(cfg_tx *tx, egress_types type);
int cfg_tx_fini(cfg_tx *tx);
bool cfg_tx_ip_fields_incomplete(const cfg_tx *tx);
bool cfg_tx_has_services(const cfg_tx *tx);
int cfg_tx_find_prior_pmt_version(const cfg_tx *tx, int pmt_pid);
/* The destination of an output's main path (path2 0) or second path
 * (path2 1). Address text: a host name (first character a letter, kept as
 * given) or a dotted IPv4 address (normalised), at most 255 characters; the
 * socket address follows it with the path's port. -1 not an address text,
 * -2 unresolvable (nothing changed either way), 0 unchanged, 1 changed. */
int cfg_tx_set_node(cfg_tx *tx, int path2, const char *text);
/* Puts `text` back into the path's address and points its socket address at
 * it again with the path's port (a revert; no checks). */
void cfg_tx_put_node(cfg_tx *tx, int path2, const char *text);
/* -1 outside 1..65535 (nothing changed), 0 unchanged, 1 changed. */
int cfg_tx_set_port(cfg_tx *tx, int path2, int port);
/* The BISS-CA receiver key file: "" clears the path and the key id;
 * otherwise the path (at most 63 characters) must name a regular file, is
 * stored and the key id is cleared. -1 refused (record unchanged). */
int cfg_tx_set_biss2ca_rx_priv_key_file(cfg_tx *tx, const char *path);
/* As above without the file test: a saved path is kept while its file is
 * not there (the engine reports the missing key). */
int cfg_tx_keep_biss2ca_rx_priv_key_file(cfg_tx *tx, const char *path);
/* The key id text, or null without a record. */
const char *cfg_tx_get_biss2ca_rx_ekid_str(const cfg_tx *tx);

cfg_tx_input *cfg_tx_input_add(cfg_tx *tx);
cfg_tx_input *cfg_tx_input_find_by_id(const cfg_tx *tx, int service_id);
int cfg_tx_input_cmp_id(const cfg_tx_input *a, const cfg_tx_input *b);
bool cfg_tx_input_has_pid_remaps(const cfg_tx_input *svc);
int cfg_tx_input_rem(cfg_tx *tx, cfg_tx_input *svc);

cfg_tx_pid_map *cfg_tx_pid_map_add(cfg_tx_input *svc, const char *label, int in_pid);
int cfg_tx_pid_map_rem(cfg_tx_input *svc, cfg_tx_pid_map *map);
cfg_tx_pid_map *cfg_tx_pid_map_find_by_id(const cfg_tx_input *svc, int id);
cfg_tx_pid_map *cfg_tx_pid_map_find_by_pid(const cfg_tx_input *svc, int in_pid);
int cfg_tx_pid_map_cmp_id(const cfg_tx_pid_map *a, const cfg_tx_pid_map *b);
/* The kind of an elementary stream from its stream type and ES descriptors
 * (ISO/IEC 13818-1 table 2-34); a pid_type, also the index into
 * mcf_pid_map_labels. */
int cfg_tx_pid_map_find_type(int stream_type, int es_info_len, const uint8_t *es_info);
/* "Other", "PMT", "Audio", "Video", "Splice", "Smpte2038", "PCR". */
extern const char *const mcf_pid_map_labels[7];

int cfg_rx_klv_init(cfg_rx_klv *klv, int id);
int cfg_rx_klv_fini(cfg_rx_klv *klv);
bool cfg_rx_klv_ip_fields_incomplete(const cfg_rx_klv *klv);
/* Loaded, interface operational, address and port complete. */
bool cfg_rx_klv_can_recv_data(const cfg_rx_klv *klv);

int cfg_ca_init(cfg_ca *ca, int id);
int cfg_ca_fini(cfg_ca *ca);
/* Setters of a CA session: 0, or -1 for a refused value (field unchanged). */
int cfg_ca_set_type(cfg_ca *ca, encrypt_type type);
int cfg_ca_set_prevent_descrambled_forward(cfg_ca *ca, bool on);
int cfg_ca_set_prevent_decoded_forward(cfg_ca *ca, bool on);
int cfg_ca_set_insert_watermark(cfg_ca *ca, bool on);
int cfg_ca_set_biss2ca_esid(cfg_ca *ca, int esid);              /* below 65536 */
int cfg_ca_set_biss2ca_key_period(cfg_ca *ca, unsigned seconds); /* 1..120 */
int cfg_ca_set_biss2ca_emm_pid(cfg_ca *ca, unsigned pid);        /* below 8192 */
int cfg_ca_set_biss2ca_ecm_pid(cfg_ca *ca, unsigned pid);        /* below 8192 */
encrypt_type cfg_ca_get_type(const cfg_ca *ca);
bool cfg_ca_get_prevent_descrambled_forward(const cfg_ca *ca);
bool cfg_ca_get_prevent_decoded_forward(const cfg_ca *ca);
bool cfg_ca_get_insert_watermark(const cfg_ca *ca);
int cfg_ca_get_biss2ca_esid(const cfg_ca *ca);
unsigned cfg_ca_get_biss2ca_key_period(const cfg_ca *ca);
unsigned cfg_ca_get_biss2ca_emm_pid(const cfg_ca *ca);
unsigned cfg_ca_get_biss2ca_ecm_pid(const cfg_ca *ca);
const uint8_t *cfg_ca_get_biss2m1_csw(const cfg_ca *ca);
const uint8_t *cfg_ca_get_biss2me_esw(const cfg_ca *ca);
const uint8_t *cfg_ca_get_biss2me_aid(const cfg_ca *ca);

/* KLV source sockets: close the socket and its host route (0); open them
 * when the source can receive (0), else -1 with the socket closed. */
int cfg_rx_klv_socket_create(cfg_rx_klv *klv);
int cfg_rx_klv_socket_destroy(cfg_rx_klv *klv);
/* Every source on the interface: close (disable) or open when closed
 * (enable); every source (on_loaded). They answer how many sockets they
 * closed or opened. */
unsigned mcfcfg_rx_klv_disable_on_interface(mcastfwdr_cfg *cfg, const char *ifname);
unsigned mcfcfg_rx_klv_enable_on_interface(mcastfwdr_cfg *cfg, const char *ifname);
unsigned mcfcfg_rx_klv_on_loaded(mcastfwdr_cfg *cfg);

/* A CA session's receiver keys (0, or -1 when refused or not written). The
 * key file "/var/local/solvera/ca_keys_<id>.pub.csv" is replaced whole on
 * every change (once per file import), and only for a session that the
 * session list in the store file names (mcf_ca_session_listed_on_disk):
 * keys are never kept for a session that would not come back with them. */
int cfg_ca_store_keys(cfg_ca *ca);
int cfg_ca_append_key_entry(cfg_ca *ca, const char *name, const char *pem);
/* A bare ".pub.csv" or ".pub.pem" file name in the upload directory
 * "/media/hd0/media/", or such a file directly in "/var/local/solvera/". */
int cfg_ca_append_keys_file(cfg_ca *ca, const char *file, bool fill_description);
int cfg_ca_remove_key_entry(cfg_ca *ca, unsigned int id);
/* The session's own key file, without names; a file that cannot be read
 * whole is set aside as "<name>.damaged-<time>". No file: 0, no keys. */
int cfg_ca_load_keys(cfg_ca *ca);
/* The key file of session `id` (and a temporary one of a cut-short write)
 * removed for good (0), or -1 when it stays. */
int cfg_ca_delete_keys_file(int id);
/* At start, once the saved sessions are back: every key file, and every
 * temporary one, of a session the list does not name is removed. */
void cfg_ca_remove_orphan_key_files(void);

/* The configuration root with its four empty lists (0), or -1 when memory
 * is short (what was made is freed again). */
int mcastfwdr_cfg_init(mcastfwdr_cfg *cfg);
/* Finalises every record and frees the lists; safe on a partly made root. */
void mcastfwdr_cfg_fini(mcastfwdr_cfg *cfg);

/* SRT statistics into their text fields (the sizes above), never longer
 * than the field (the SRT sessions keep them). */
void srt_helper_format_duration(char *field, int64_t seconds);
void srt_helper_format_rtt(char *field, double ms);
void srt_helper_format_mbps_rate(char *field, double mbps);
void srt_helper_format_buffer_avail(char *field, double pct);
void srt_helper_format_period_packet_loss_pct(char *field, double pct);

#ifdef __cplusplus
}
#endif

#endif

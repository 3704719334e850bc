// The run-time side of one configured output (cfg_tx): its transmit
// sockets (or the ASI port's or decoder link's), the programs it carries
// per input, the repetition intervals and state of the tables it
// generates, its BISS-CA transmitter and receiver, and its data-path
// engines (egress thread and pool, PCR windows, fill engine, PCR/PTS
// monitors, KLV injection pool).
//
// Everything that changes a manager runs on the loop thread with
// ctrl_data_lock held for writing; the data threads read managers under
// the read lock. Managers live in a list whose nodes never move.
#pragma once

#include "cfg/mcf_services.h"
#include "egress/egress.h"
#include "egress/ts_pool.h"
#include "pcr_pts_analysis/pcr_pts.h"
#include "router/fill.h"
#include "router/pcr_window.h"
#include "tables/local_tables.h"

#include <biss2ca_rx.h>
#include <biss2ca_tx.h>
#include <section_reader.h>
#include <ts_packet.h>

#include <atomic>
#include <cstdarg>
#include <cstdint>
#include <mutex>
#include <vector>

struct kd_dataset;

enum {
    MO_PID_MAPS_MAX = 66,       // PID maps of one routed program
    MO_PMTS_MAX = 100,          // PMTs of one output
    MO_EIT_SLOTS = 4,           // EIT-0 .. EIT-3
    MO_RRT_PKTS = 6,
    MO_VCT_PKTS = 10,
    MO_SDT_SECTION_MAX = 2048,  // the SDT carousel's section room
    MO_PMT_SECTION_MAX = 1024,
    MO_INPUT_SET_MAX = 50,      // inputs counted into an output's rate
    MO_CA_SESSIONS_MAX = 5,     // CA sessions looked at per output
    MO_RX_KEY_FILE_MAX = 2048   // receiver private key file, PEM text
};

// ---- ASI queue monitor (filled in by the ASI ports) ----
typedef enum asi_queue_state {
    ASI_QUEUE_NORMAL = 0,
    ASI_QUEUE_LOW = 1,
    ASI_QUEUE_ULTRA_LOW = 2,
    ASI_QUEUE_HIGH = 3,
    ASI_QUEUE_ULTRA_HIGH = 4
} asi_queue_state;

struct asi_queue_monitor {
    asi_queue_state state;
    unsigned total_sample_count;
    unsigned ultra_hwm_count, hwm_count, hmid_count, mid_count, lmid_count, lwm_count, ultra_lwm_count;
    unsigned ultra_hwm_pkts, hwm_pkts, mid_pkts, lwm_pkts, ultra_lwm_pkts;
    unsigned samples[10];
};

// ---- what an output carries ----
struct pid_map {
    int32_t in_pid;
    int32_t out_pid;
};

// One routed program of one input.
struct routed_pgm_cfg {
    int32_t source_id;
    int32_t pnu;               // the input's program number
    int32_t overwrite_pnu_out; // the output's program number when above 0
    int32_t klv_source_id;     // -1 none
    local_string name;
    local_string provider;
    int32_t major_channel_number;
    int32_t minor_channel_number;
    int32_t modulation_mode;
    int32_t service_type;
    int32_t carrier_frequency;
    uint32_t num_pid_maps;
    pid_map pid_maps[MO_PID_MAPS_MAX];
    uint32_t pid_maps_ver;
    int32_t ca_session_id; // -1 none
    int32_t orig_network_id;
};

// The programs an output takes from one input.
struct out_services {
    int32_t input_id;
    std::vector<routed_pgm_cfg> services;
};
using out_services_list = std::vector<out_services>;

// ---- generated tables ----
struct pmt_build_info {
    int32_t input_id;
    int32_t prog_num; // the input's program number
    int32_t ingress_pmt_version;
    int32_t klv_pid; // 8191 none
    int32_t out_pnu;
    int32_t egress_pmt_version;
    uint32_t pid_maps_version;
    int32_t ca_ecm_pid; // 8191 none
    int32_t ca_esid;    // -1 none
    int32_t ca_onid;    // -1 none
};

// One PMT as the output sends it.
struct pmt_data {
    local_pmt pmt;
    pmt_build_info info;
};

struct mgt_build_info {
    int32_t rrt_len;
    int32_t vct_len;
    int32_t eit_len[MO_EIT_SLOTS];
};

// The tables of one output with their versions and carousels. Versions
// count modulo 32; the sent flags are set by the send path once the
// current version has gone out.
struct output_table_config_t {
    // PAT, CAT
    tsPkt pat_pkt;
    int32_t pat_ts_id;
    int32_t pat_pkt_cc;
    int32_t pat_ver;
    uint32_t pat_sent;
    tsPkt cat_pkt;
    int32_t pmt_pid[MO_PMTS_MAX]; // PMT PIDs in PAT order
    // SDT
    section_reader *sdt_rdr; // owned, PID 17
    int32_t sdt_ver;
    uint32_t sdt_sent;
    // send-path bookkeeping
    uint32_t last_sys_packet;
    uint32_t last_pat_packet;
    uint32_t last_cat_packet;
    // PMTs
    int32_t num_pmts;
    ::pmt_data pmt_data[MO_PMTS_MAX];
    section_reader *pmt_rdrs[MO_PMTS_MAX]; // owned, one per PMT
    local_sdt_entry sdt_info;
    // ATSC
    int32_t atsc_pkt_cc;
    tsPkt mgt_pkt;
    int32_t mgt_ver;
    uint32_t mgt_sent;
    uint32_t last_mgt_packet;
    tsPkt stt_pkt;
    uint32_t last_stt_packet;
    int32_t rrt_pkts_used;
    tsPkt rrt_pkts[MO_RRT_PKTS];
    tsPkt *rrt_cur_pkt;
    int32_t rrt_ver;
    uint32_t rrt_sent;
    uint32_t last_rrt_packet;
    tsPkt vct_pkts[MO_VCT_PKTS];
    tsPkt *vct_cur_pkt;
    int32_t vct_pkts_used;
    int32_t vct_ver;
    uint32_t vct_sent;
    uint32_t last_vct_packet;
    tsPkt eit_pkt[MO_EIT_SLOTS][MO_PMTS_MAX];
    uint32_t last_eit_packet[MO_EIT_SLOTS][MO_PMTS_MAX];
    int32_t eit_pid[MO_EIT_SLOTS][MO_PMTS_MAX];
    int32_t eit_pkts_cc[MO_EIT_SLOTS];
    int32_t eit_pkts[MO_EIT_SLOTS];
    int32_t eit_ver[MO_EIT_SLOTS];
    uint32_t eit_sent[MO_EIT_SLOTS];
    ::mgt_build_info mgt_build_info;
    local_vct vct_info;
    local_eit eit_info[MO_EIT_SLOTS][MO_PMTS_MAX];
    uint32_t eit_last_updated_secs;
};

// ---- the output manager ----
struct manager_output {
    int32_t id; // dest_id
    egress_types type;
    // NET: the UDP transmit socket or -1; ASI: the port's; DEC: the decoder link's.
    int32_t socket_id;
    char route_id[128]; // host route "%s %s"; ASI: node and interface; DEC: empty
    int32_t redundant_socket_id;
    char redundant_route_id[128];
    redundant_xmit_select redundant_transmit;
    // owned engines
    mcastfwdr_egress *egress;
    pcr_window_infos *pcrs;
    mcastfwdr_fill *fill;
    ::pcr_pts_services *pcr_pts_services;
    ::pcr_pts_history *pcr_pts_history;
    std::atomic<uint32_t> pcr_drift_err_cnt; // send path
    mcastfwdr_ts_pool *inject_ts_queue;      // KLV packets to inject (KLV thread writes)
    // multiplexer: the PAT could not be placed; the TMR alarm's state
    std::atomic<uint32_t> table_injection_is_failing;
    std::atomic<uint32_t> tmr_too_low_alarm_is_set;
    out_services_list unique_inputs; // distinct inputs in order of first appearance
    output_table_config_t tables;
    // repetition intervals, in packets of the output
    uint32_t PTKS_PER_SYS;
    uint32_t PTKS_PER_PAT;
    uint32_t PTKS_PER_CAT;
    uint32_t PTKS_PER_PMT;
    uint32_t PTKS_PER_SDT;
    asi_queue_monitor monitor;
    uint32_t PKTS_PER_MGT;
    uint32_t PKTS_PER_STT;
    uint32_t PKTS_PER_RRT;
    uint32_t PKTS_PER_VCT;
    uint32_t PKTS_PER_EIT;
    // status, copied to the record once a second
    std::atomic<uint64_t> ts_pkts_rx; // packets routed to the output (multiplexer)
    std::atomic<uint64_t> ts_pkts_tx; // packets sent (egress thread)
    int32_t status_ts_buf_lvl;
    int32_t status_srt_status;
    char status_srt_duration[MCF_SRT_DURATION_LEN];
    char status_srt_rtt[MCF_SRT_RTT_LEN];
    char status_srt_mbps_send_rate[MCF_SRT_RATE_LEN];
    char status_srt_buffer_avail[MCF_SRT_PCT_LEN];
    char status_srt_period_packet_loss_pct[MCF_SRT_PCT_LEN];
    int32_t status_srt_pkt_send_loss_total;
    int32_t status_srt_pkt_recv_loss_total;
    int32_t status_srt_pkt_retrans_total;
    int32_t status_srt_pkt_send_drop_total;
    int32_t status_srt_pkt_recv_drop_total;
    int32_t status_srt_pkt_flow_window;
    int32_t status_srt_pkt_flight_size;
    int32_t status_srt_byte_avail_send_buffer_size;
    int32_t status_srt_byte_avail_recv_buffer_size;
    int32_t status_srt_pkt_send_buffer_not_acked;
    std::atomic<uint32_t> inject_errors_counter; // KLV thread counts, multiplexer resets
    std::atomic<uint32_t> biss2ca_rx_ts_pkts;
    // the settings the manager was built with
    int32_t configured_dest_bps;
    char configured_label[32];
    tables_type configured_tables_type;
    asi_output_type configured_asi_out_type;
    bool cfg_single_input_rtg_enabled;
    uint32_t cfg_single_input_rtg_id;
    // BISS-CA, owned
    ::biss2ca_tx *biss2ca_tx;
    uint32_t biss2ca_key_age; // seconds since the last ECM word change
    ::biss2ca_rx *biss2ca_rx;
    // The transmitter's EMM preparation (RSA for every receiver) runs on
    // the loop thread outside ctrl_data_lock, holding ca_tx_mutex; the
    // data path calls the transmitter only while it holds the mutex, taken
    // with manager_output_ca_tx_try_lock, and never waits for it (it skips
    // the transmitter for that packet). The prepared set then goes on air
    // in one step at the start of an EMM cycle.
    std::mutex ca_tx_mutex;
    bool emm_prepare_due; // loop thread: a receiver or flag change to prepare
};

extern "C" {

// ---- one output manager ----
// Builds the manager in place from the record (the encoder states of the
// configuration decide whether a lone encoder program may go out): 0, or
// -1 with the reason logged; the caller then tears the half-built manager
// down with manager_output_dtor.
int manager_output_ctor(manager_output *mo, cfg_tx *tx, const ip_stop_sdi_status *enc_status);
// Releases everything the manager owns; null accepted; always 0.
int manager_output_dtor(manager_output *mo);
// Whether a manager should exist for the record.
unsigned manager_output_can_xmit_data(const cfg_tx *tx);
int manager_output_update_input_rate(manager_output *mo, int input_id, int new_bps, int prev_bps);
int manager_output_update_on_input_stream_loss(manager_output *mo, int input_id, int input_bps);
int manager_output_rebuild_fill_engine(manager_output *mo);
int manager_output_adjust_output_rate(manager_output *mo, cfg_tx *tx, int new_bps);
int manager_output_sync_unique_inputs(manager_output *mo);
bool manager_output_uses_input(const manager_output *mo, int input_id);
bool manager_output_uses_klv_source(const manager_output *mo, int klv_source_id);
bool manager_output_uses_ca_session(const manager_output *mo, int ca_session_id);
// Inserts the CA session ids of the virtual input's routed programs; the set's length.
int manager_output_collect_ca_ids(const manager_output *mo, kd_dataset *set);
// A new control word and ECM from the BISS-CA transmitter: 0, or -1. The
// word in play-out changes: takes ctrl_data_lock for writing itself.
int manager_output_update_ecm(manager_output *mo);
pcr_window_info *manager_output_find_pcr_window(manager_output *mo, int input_id, int pcr_pid);
int manager_output_get_pcr_pid(const out_services *svc, int pid); // always -1
out_services *out_service_find(out_services_list *list, int input_id);
// The total configured rate of the inputs that feed the output (logged).
int manager_output_get_total_incoming_bps(const manager_output *mo);
// Control side: prepares the transmitter's next EMM set away from the
// multiplexer and hands it over in one step (see manager_output.cpp).
int manager_output_prepare_emm(manager_output *mo);
// Data path: true when it may call the transmitter now (then unlock).
bool manager_output_ca_tx_try_lock(manager_output *mo);
void manager_output_ca_tx_unlock(manager_output *mo);

// ---- the output's tables ----
int manager_output_update_program_tables(manager_output *mo, int flag);
int manager_output_sync_tables_on_cfg_change(manager_output *mo, cfg_tx *tx, int what);
int manager_output_update_sdt_table(manager_output *mo, cfg_tx *tx);
int manager_output_update_atsc_tables(manager_output *mo, cfg_tx *tx, int flag);
int manager_output_update_mgt_table(manager_output *mo, cfg_tx *tx);
int manager_output_update_rrt_table(manager_output *mo, cfg_tx *tx);
int manager_output_update_vct_table(manager_output *mo, cfg_tx *tx);
int manager_output_update_eit_table(manager_output *mo, cfg_tx *tx);
int manager_output_update_stt_table(manager_output *mo);
// Once a second (loop, lock not held): EITs regenerated every 10,801 s,
// under ctrl_data_lock taken for writing here.
int manager_output_check_on_eit_table(manager_output *mo);
int manager_output_store_table_versions_in_cfg(manager_output *mo);
// Steps of the build, in this order: program information (pat_changed may
// be null), PMT packets, PAT, CAT; then the SDT or the ATSC tables.
int __manager_output_update_program_info(manager_output *mo, cfg_tx *tx, int *pat_changed);
int init_next_pmt_data(pmt_data *next, int input_id, const local_pmt *in, const routed_pgm_cfg *pgm,
                       const cfg_rx_klv *klv, const pmt_data *cur, int ext_version);
int __manager_output_update_pmt_pkts(manager_output *mo);
int __manager_output_update_pat(manager_output *mo, cfg_tx *tx);
int __manager_output_init_cat(manager_output *mo);
pmt_data *find_pmt_data(pmt_data *arr, int count, int input_id, int pnu);
int find_pmt_reader(section_reader *const *rdrs, int count, int pid);
// Local models filled from what the output carries.
int sdt_update_local(local_sdt_entry *sdt, const manager_output *mo);
int update_mgt_info(local_mgt *mgt, const manager_output *mo);
int vct_update_local(local_vct *vct, const manager_output *mo);
local_vct_entry *vct_find_local_entry(manager_output *mo, int pnu);

// ---- the output managers ----
int manager_outputs_init(void);
int manager_outputs_deinit(void);
manager_output *manager_outputs_add(cfg_tx *tx, const ip_stop_sdi_status *enc_status);
int manager_outputs_delete(int id); // 1 deleted, 0 none with that id
int manager_outputs_sync(mcastfwdr_cfg *cfg);
unsigned manager_outputs_disable_on_interface(mcastfwdr_cfg *cfg, const char *ifname);
manager_output *manager_outputs_find_by_id(int id);
manager_output *manager_outputs_find_by_route_id(const char *route_id);
int manager_outputs_member_has_unique_route(const manager_output *mo);
int manager_outputs_route_exists_in_set(const char *route_id);
// Calls fn with each manager in list order and the further arguments.
void manager_outputs_foreach(void (*fn)(manager_output *mo, va_list args), ...);
int manager_output_cmp_by_id(const manager_output *a, const manager_output *b);
unsigned manager_outputs_count(void);

// fan-out from inputs
int manager_outputs_delete_with_non_virtual_input(const cfg_rx *rx);
int manager_outputs_delete_routing_single_input(int input_id);
int manager_outputs_delete_with_virtual_input_pgm(int pnu, mcastfwdr_cfg *cfg);
int manager_outputs_update_input_rate(const cfg_rx *rx, int prev_bps);
int manager_outputs_update_on_input_stream_loss(const manager_input *mi);
int manager_outputs_update_program_tables(int input_id, int pnu);
int manager_outputs_rebuild_fill_engine(int input_id, int pnu);
int manager_outputs_update_sdt_table(int input_id, int pnu);
int manager_outputs_process_emm_for_input(int input_id, const uint8_t *section);
int manager_outputs_process_ecm_for_input(int input_id, const uint8_t *section);

// fan-out from KLV sources and CA sessions (declared in cfg/mcf_services.h):
// manager_outputs_update_program_tables_for_klv_source,
// manager_outputs_update_program_tables_for_ca_session,
// manager_outputs_update_flags_for_ca_session,
// manager_outputs_revoke_key_for_ca_session,
// manager_outputs_entitle_key_for_ca_session.

// monitors of the data threads (read lock)
void manager_outputs_datapath_monitor_srt_connection(void);
void manager_outputs_datapath_get_srt_stats(void);
void manager_outputs_datapath_check_alarm_state(void);
// The control side's once-a-second pass: EMM preparation of every
// transmitter, key age, EIT regeneration of ATSC outputs.
void manager_outputs_maintenance_tick(void);
// Loop thread, lock released: prepares the EMMs that CA changes made due.
void manager_outputs_prepare_due_emms(void);

// ---- collaborators: the ASI ports and the host routes ----
int mcastfwdr_asi_get_socket_id(int output_id);
int mcastfwdr_asi_hw_cfg_bitrate(cfg_tx *tx, int bps, int disable);
void mcastfwdr_asi_queue_monitor_init(int output_id, asi_queue_monitor *monitor, int bps);
void mcf_route_tx_add(manager_output *mo, const cfg_tx *tx);
void mcf_redundant_route_tx_add(manager_output *mo, const cfg_tx *tx);
void mcf_route_tx_delete(manager_output *mo);

} // extern "C"

// The SRT status of an SRT output's session; false without one.
bool manager_output_get_srt_stats(int id, srt_stats_t *out);

namespace mcf {
// Unit tests of the control side, which run without a card's interfaces:
// every interface counts as up, and managers open no socket and start no
// egress thread (the rest of the build is the same).
void manager_outputs_records_only(bool on);
bool manager_outputs_are_records_only();
// A routable input's rate, now bps after prev_bps (0: not counted before),
// on every output that takes programs of it (single-input outputs carry
// the input as it is). The loop thread with ctrl_data_lock held for
// writing, or the multiplexer with it held for reading: the fill engines
// and PCR windows belong to the multiplexer while it routes.
void manager_outputs_update_routable_input_rate(int input_id, int bps, int prev_bps);
} // namespace mcf

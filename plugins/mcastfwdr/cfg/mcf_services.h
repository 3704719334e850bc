/* What the configuration code may use of the forwarder engine: its shared
 * state, record lists, managers, address checks, ASI hardware, events,
 * alarms and logging. Everything here is called on the loop thread; calls
 * that change running managers, PID handlers or the PID index are made with
 * ctrl_data_lock held for writing.
 *
 * Engine functions the configuration shares with other callers are
 * declared here once, so that every caller sees one signature. */
#ifndef MCF_SERVICES_H
#define MCF_SERVICES_H

#include <pthread.h>
#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>

#include <kerrow/types.h>

#include "mcf_cfg.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct manager_input manager_input;
typedef struct manager_output manager_output;
typedef struct input_table_info input_table_info;
typedef struct local_pmt local_pmt;
typedef struct kd_dataset kd_dataset;

/* ---- shared state ---- */
extern mcastfwdr_cfg mcf_cfg;
extern pthread_rwlock_t ctrl_data_lock;
extern plugin_load_info *mcf_pli;
extern uint32_t mcf_ctrl_plane_configuration_is_loaded;
extern uint32_t mcf_ctrl_plane_external_systems_connected;
bool mcastfwdr_asi_exists(void);
bool mcf_decoder_exists(void);

/* ---- records and rows ---- */
cfg_rx *mcfcfg_rx_add_net(int id);
cfg_rx_klv *mcfcfg_add_klv_source(int id);
cfg_ca *mcfcfg_add_ca_session(int id);
cfg_tx *mcfcfg_tx_add_net(mcastfwdr_cfg *cfg, int id);
cfg_tx *mcfcfg_tx_add_asi(mcastfwdr_cfg *cfg, int id);
int mcfcfg_rx_rem(cfg_rx *rx);
int mcfcfg_remove_klv_source(cfg_rx_klv *klv);
int mcfcfg_remove_ca_session(cfg_ca *ca);
cfg_rx *mcfcfg_rx_find_by_id(int id);
cfg_rx_klv *mcfcfg_rx_klv_find_by_id(int id);
cfg_ca *mcfcfg_ca_session_find_by_id(int id);
cfg_tx *mcfcfg_tx_find_by_id(int id);
cfg_rx *mcfcfg_rx_find_by_ui_label(const char *label);
cfg_rx_klv *mcfcfg_rx_klv_find_by_ui_label(const char *label);
cfg_ca *mcfcfg_ca_session_find_by_ui_label(const char *label);
void mcfcfg_rx_set_all_program_status_inactive(cfg_rx *rx);
cfg_tx *mcfcfg_tx_add_dec(mcastfwdr_cfg *cfg, int id);
int mcfcfg_tx_rem(cfg_tx *tx);
int mcfcfg_tx_cmp_id(const cfg_tx *a, const cfg_tx *b);
int mcfcfg_tx_get_dest_bps_for_routing_mode(const cfg_tx *tx);
cfg_rx *mcfcfg_rx_add_asi(int port_index);
cfg_rx *mcfcfg_rx_add_xsb(int ui_slot, int index, int routable);
cfg_rx *mcfcfg_rx_add_virt(void);
cfg_rx *mcfcfg_rx_find_by_port(int port);
int mcfcfg_rx_cmp_id(const cfg_rx *a, const cfg_rx *b);
bool mcfcfg_port_used_in_net_inputs(const mcastfwdr_cfg *cfg, int port);
cfg_rx_klv *mcfcfg_rx_klv_find_by_sockfd(int fd);
cfg_rx_klv *mcfcfg_rx_klv_find_by_lastpkt(const uint8_t *pkt);
int mcfcfg_rx_klv_cmp_id(const cfg_rx_klv *a, const cfg_rx_klv *b);
int mcfcfg_rx_klv_cmp_ui_label(const cfg_rx_klv *a, const cfg_rx_klv *b);
unsigned mcfcfg_rx_klv_collect_socket_ids(kd_dataset *set);
bool mcfcfg_rx_klv_member_has_unique_route(const mcastfwdr_cfg *cfg, const cfg_rx_klv *klv);
bool mcfcfg_route_exists_in_klv_sources(const mcastfwdr_cfg *cfg, const char *route_id);
bool mcfcfg_port_used_in_klv_sources(const mcastfwdr_cfg *cfg, int port);
int mcfcfg_ca_session_cmp_id(const cfg_ca *a, const cfg_ca *b);
void mcfcfg_rx_clear_all_program_status(cfg_rx *rx);
/* An input's program changed: the remap rows of every service routing it
 * follow the program. 0, or -1 when the input has no manager or no such
 * program. The outputs of the services that lost a remap in effect join
 * `ids` (may be null): their running managers still apply it and must be
 * made again (manager_outputs_resync_program_outputs). Loop thread, without
 * ctrl_data_lock: the row actions take it around each record and announce
 * their rows outside it. */
int mcfcfg_tx_sync_program_pids(int input_id, int prog_num, kd_dataset *ids);
/* The outputs with a service routing the input's program join `ids`. */
void mcfcfg_tx_collect_program_outputs(int input_id, int prog_num, kd_dataset *ids);
void mcfcfg_tx_input_update_klv_source_params(mcastfwdr_cfg *cfg);
void mcfcfg_tx_input_update_ca_session_params(mcastfwdr_cfg *cfg);
void mcfcfg_tx_input_clear_ca_session(mcastfwdr_cfg *cfg, int session_id);
int mcfcfg_tx_input_sync_program_pids(cfg_tx_input *svc, int drop_first);
int mcastfwdr_add_input_net_row(int id);
/* Deletes the input's manager and the outputs using it, and synchronises the
 * managers (takes ctrl_data_lock for writing itself). */
int _mcastfwdr_restart_input_mgr(cfg_rx *rx);
int mcastfwdr_rem_input_row(cfg_rx *rx);
int mcastfwdr_add_row_output(int id);
int mcastfwdr_rem_output_row(cfg_tx *tx);
/* Services and remaps of an output, with their rows (loop thread; the
 * caller does not hold ctrl_data_lock: records are linked and unlinked
 * under it here). A given id (0 or more) must be free, else -1; -1 asks
 * for the lowest free one. mcastfwdr_add_row_out_input also saves the
 * output keys and refreshes "Rem Service" (its third argument is unused).
 * mcastfwdr_rem_out_input_row: the decimal service id; 1 for a text that
 * is no id or a negative one, else 0 (also for an unknown id), with the
 * output rebuilt and the output and PID-map keys saved. A remap label is
 * cut to 19 characters. mcastfwdr_rem_row_out_svc_pid_map: -1 for an
 * unknown id. */
int mcastfwdr_add_row_out_input_(cfg_tx *tx, int service_id);
int mcastfwdr_add_row_out_input(cfg_tx *tx, int id, int unused);
int mcastfwdr_rem_out_input_row(cfg_tx *tx, int index, const char *id_text);
int mcastfwdr_add_row_out_svc_pid_map(cfg_tx_input *svc, int id, const char *label, int pid);
int mcastfwdr_rem_row_out_svc_pid_map(cfg_tx_input *svc, int id);
typedef int (*mcastfwdr_param_cmp)(void *userdata, void *key);
int mcastfwdr_param_delete(plugin_load_info *owner, param_context *table, void *key,
                           mcastfwdr_param_cmp cmp, int store_only);

/* ---- managers and routing (ctrl_data_lock held for writing) ---- */
int manager_input_output_sync(int32_t force);
int mcastfwdr_delete_input_and_outputs_using_it(cfg_rx *rx);
int mcastfwdr_update_input_bps_and_outputs_using_it(cfg_rx *rx, int32_t prev_bps);
manager_input *manager_inputs_find_by_id(int id);
manager_output *manager_outputs_find_by_id(int id);
int manager_outputs_delete(int id);
int manager_output_sync_tables_on_cfg_change(manager_output *mo, cfg_tx *tx, int what);
int manager_output_sync_unique_inputs(manager_output *mo);
/* After a program change: the running outputs in `rebuild` are made again,
 * the other running ones in `routing` recompute their distinct inputs. */
void manager_outputs_resync_program_outputs(kd_dataset *routing, kd_dataset *rebuild);
/* Settings copied into a running output manager: the tables type (a switch
 * between DVB and ATSC also drops the tables of the other kind: SDT services
 * and carousel, VCT and EIT packet counts, the EIT length the MGT lists),
 * the ASI burst or byte mode, and the transport stream id of its PAT. */
void manager_output_set_tables_type(manager_output *mo, tables_type type);
void manager_output_set_asi_output_type(manager_output *mo, asi_output_type type);
void manager_output_set_transport_stream_id(manager_output *mo, int ts_id);
/* The PID on which the output's egress measures injected-KLV latency back
 * to 0 (none). */
void manager_output_reset_klv_latency_pid(manager_output *mo);
void manager_outputs_update_program_tables_for_klv_source(int id);
void manager_outputs_update_program_tables_for_ca_session(int id);
void manager_outputs_update_flags_for_ca_session(int session_id, uint8_t flag);
void manager_outputs_entitle_key_for_ca_session(int session_id, const char *pem);
void manager_outputs_revoke_key_for_ca_session(int session_id, const char *pem);
local_pmt *input_table_info_get_service(input_table_info *info, int prog_num);
int input_table_info_get_ingress_id(int input_id, int prog_num, int pid);
bool local_pmt_has_separate_pcr(const local_pmt *pmt);
int add_ca_to_pid_handler(manager_output *mo, int ingress_id, int pid, int ca_session_id);
int add_pid_remap_to_pid_handler(manager_output *mo, int ingress_id, int in_pid, int out_pid);
int phindex_repopulate(void);
void phindex_debug(void);
/* "Output %u TS pkts - Rx: %9u Tx: %9u" for every output record, in list
 * order, that has a running manager. */
void manager_outputs_debug(void);

/* ---- addresses and uniqueness ---- */
int mcastfwdr_format_ip_addr(char *out, size_t size, const char *in);
bool mcastfwdr_ip_addr_is_multicast(const char *text);
bool mcastfwdr_eth_intf_is_operational(const char *ifname);
int mcf_rx_net_ip_port_pair_is_unique(const cfg_rx *rx);
int mcf_rx_klv_net_ip_port_pair_is_unique(const cfg_rx_klv *klv);
int mcf_tx_ip_port_pair_is_unique(const cfg_tx *tx);
int mcf_tx_redundant_ip_port_pair_is_unique(const cfg_tx *tx);
int mcf_rx_validate_and_udpate_srt_ip_addr(cfg_rx *rx, const char *addr);
int mcf_tx_validate_and_udpate_srt_ip_addr(cfg_tx *tx, const char *addr);
int mcf_rx_net_bridge_is_at_limit_in_rx(const cfg_rx *rx);
int mcf_route_rx_klv_add(cfg_rx_klv *klv);
int mcf_route_rx_klv_delete(cfg_rx_klv *klv);

/* ---- ASI hardware ---- */
int mcastfwdr_asi_hw_cfg_mirror(cfg_tx *tx, int on);
int mcastfwdr_asi_hw_cfg_output_mode(cfg_tx *tx);
int mcastfwdr_asi_calculate_actual_bps(int bps, int a, int b);
int mcastfwdr_asi_set_route_prov_pending(int output_id);
/* The internal address text of an ASI output (at most 16 bytes with the terminator). */
int mcastfwdr_asi_ip_address(char *buf, int output_id);

/* ---- events, alarms and logging ---- */
int mcastfwdr_ingress_notify_internal_ts(int bps, int input_id);
int mcastfwdr_ingress_notify_internal_ts_clear(int input_id);
int mcf_post_routable_input_added_deleted_event(int input_id, bool is_added);
int mcf_rx_register_alarms(const cfg_rx *rx);
int mcf_tx_register_alarms(const cfg_tx *tx);
int mcf_post_log(int level, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
int mcastfwdr_set_dest_si_id(cfg_tx *tx, int input_id);

/* ---- rows the engine builds ---- */
void mcastfwdr_setup_params(mcastfwdr_cfg *cfg, plugin_load_info *pli);
void mcastfwdr_allocate_rule_input(param_context *tbl_inputs, cfg_rx *rx);
void mcastfwdr_allocate_rule_input_program(param_context *table, in_pgm_status *entry, int index);
void mcastfwdr_allocate_rule_output(param_context *tbl_outputs, cfg_tx *tx);
void mcastfwdr_allocate_rule_out_input(param_context *services, cfg_tx_input *svc);
void mcastfwdr_allocate_rule_out_svc_pid_map(param_context *pid_maps, cfg_tx_pid_map *map);
int store_ca_sessions_load_params(void);
int store_inputs_net_load_params(void);
int store_klv_sources_load_params(void);
int store_outputs_load_params(void);
/* The saved PID remaps of an output, after its services exist. */
int store_outputs_load_pid_map_keys(int output_id);
int store_inputs_net_save_params(void);
int store_outputs_save_params(void);
int store_outputs_save_pid_map_keys(int output_id);
int store_outputs_rem_pid_map_keys(int output_id);

/* KLV source and CA session rows, with their add and remove actions (0,
 * or -1 for no record). Removing a row also removes its stored values; a
 * CA session's key file goes with it. */
typedef struct ca_key_entry ca_key_entry;
void mcastfwdr_allocate_rule_klv_source(param_context *tbl_klv_sources, cfg_rx_klv *klv);
void mcastfwdr_allocate_rule_ca_session(param_context *tbl_ca_sessions, cfg_ca *ca);
void mcastfwdr_allocate_rule_ca_key(param_context *entitlements, ca_key_entry *entry);
/* Re-creates the source's socket under ctrl_data_lock (takes it itself). */
int _mcastfwdr_restart_klv_source(cfg_rx_klv *klv);
int mcastfwdr_add_klv_source_row(int id);
int mcastfwdr_rem_klv_source_row(cfg_rx_klv *klv);
int mcastfwdr_add_ca_session_row(int id);
int mcastfwdr_rem_ca_session_row(cfg_ca *ca);
int store_klv_sources_save_params(void);
int store_ca_sessions_save_params(void);
/* Whether the session list in the store file names the session (as far as
 * the store keeps a file at all), writing the store first when that is not
 * known yet; remembered in the record once true. */
bool mcf_ca_session_listed_on_disk(cfg_ca *ca);

#ifdef __cplusplus
}
#endif

#endif

// The engine's components as the plug-in entry drives them: start and stop
// of each part, and what the maintenance pass reads of the run-time
// managers.
#pragma once

#include "cfg/mcf_services.h"

#include <cstdint>
#include <string>

extern "C" {

// ---- start and stop, in the order the plug-in entry calls them ----
int mcastfwdr_maintainer_init(void);
void mcastfwdr_maintainer_fini(void);
int mcastfwdr_statistics_init(void);
int mcastfwdr_statistics_fini(void);
int manager_inputs_init(void);
void manager_inputs_fini(void); // deletes every input manager
int manager_outputs_init(void);
void manager_outputs_fini(void); // deletes every output manager (manager_outputs_deinit)
// The PID index's population from the running managers (router/populate.h).
int mcastfwdr_phindex_populate(void);
int mcastfwdr_phindex_depopulate(void);
int mcastfwdr_virtual_inputs_init(void);
void mcastfwdr_virtual_inputs_fini(void);
void mcastfwdr_virtual_inputs_check_pending(void);
int mcastfwdr_asi_init(void);
void mcastfwdr_asi_fini(void);
void mcastfwdr_asi_apply_initial_hw_cfg(void);
void mcastfwdr_asi_check_pending(void);
void mcastfwdr_asi_signal_hw_start(void);
int mcastfwdr_asi_hw_reset_interface(int output_id);
int mcastfwdr_asi_info_rx_pkt_cp(const char *payload, uint32_t len);
int mcastfwdr_asi_carrier_init(void);
void mcastfwdr_asi_carrier_fini(void);
int mcastfwdr_decoder_link_init(void);
void mcastfwdr_decoder_link_fini(void);
int mcastfwdr_ingress_init(void);
void mcastfwdr_ingress_fini(void);
int mcastfwdr_klv_init(plugin_load_info *pli);
void mcastfwdr_klv_fini(void);
int mcastfwdr_mux_init(void);
void mcastfwdr_mux_fini(void);
void mcastfwdr_ingress_announce_xsb_flows(void);
void mcastfwdr_ingress_notify_bridged_inputs(void);

// ---- managers (ctrl_data_lock held for writing where they change) ----
int manager_inputs_disable_on_intf(const char *ifname);
int manager_outputs_disable_on_intf(const char *ifname);
int manager_inputs_delete(int id);
int manager_outputs_delete_using_input(int input_id);
int manager_outputs_delete_routing_single_input(int input_id);
void mcastfwdr_klv_sources_enable(const char *ifname); // null: every interface
void mcastfwdr_klv_sources_disable(const char *ifname);
// The input managers' SRT connection check and statistics collection
// (maintainer thread, read lock held).
void manager_inputs_datapath_monitor_srt_connection(void);
void manager_inputs_datapath_get_srt_stats(void);
// The input managers' program status update (multiplexer thread, read lock held).
void manager_inputs_datapath_update_program_status(void);

} // extern "C"

// What the maintenance pass copies from an input manager.
struct manager_input_status {
    ingress_type type = INGRTYPE_NET;
    bool streaming = false;
    uint64_t ts_packets_rx = 0; // counted since the manager was made
    int dvb_per_ip = 0;
    bool is_rtp = false;
    std::string pids;
    // Net: datagrams the kernel dropped on the input's socket and datagrams
    // refused as addressed to none of the socket's inputs.
    uint64_t rx_kernel_drops = 0;
    uint64_t rx_misaddressed = 0;
};
bool manager_input_get_status(int id, manager_input_status *out);
// The receiving side's count of transport packets; a count of 0 marks the
// input as not streaming.
void manager_input_count_packets(manager_input *mi, unsigned packets);
// The input's id without a call, for the packet path: every input manager
// record begins with its id (checked where the record is defined).
inline int manager_input_id(const manager_input *mi) { return *reinterpret_cast<const int32_t *>(mi); }
extern "C" {
int manager_input_get_id(const manager_input *mi);
// Counts one continuity error of the input; the new count.
uint32_t manager_input_add_cc_error(manager_input *mi);
uint32_t manager_input_get_cc_errors(const manager_input *mi);
ingress_type manager_input_get_type(const manager_input *mi);
int manager_input_get_bps(const manager_input *mi);   // configured rate
int manager_output_get_bps(const manager_output *mo); // configured destination rate
// The input's RTP flag (read by the maintenance) and sequence state (multiplexer only).
void manager_input_set_rtp(manager_input *mi, bool is_rtp);
struct mcastfwdr_rtp_hdr *manager_input_get_rtp_state(manager_input *mi);
}
// The input manager's configured rate (ctrl_data_lock held for writing);
// whether the input streams, that is whether its rate is counted in the
// outputs (false without a manager).
bool manager_input_set_bps(int id, int bps);
void manager_input_clear_program_status(int id);
// What it copies from an output manager; false without a manager.
struct manager_output_status {
    int buf_lvl = 0;
    int srt_status = 0;
};
bool manager_output_get_status(int id, manager_output_status *out);

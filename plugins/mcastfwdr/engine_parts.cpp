// Minimal versions of the engine parts that later work fills in: KLV and
// ASI start and stop as no-ops, the inputs' SRT and program status monitors
// do nothing; and the managers' synchronisation.
#include "engine.h"
#include "mcastfwdr.h"
#include "router/phindex.h"
#include "router/populate.h"
#include "ingress/manager_input.h"
#include "outputs/manager_output.h"

#include <atomic>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <map>
#include <type_traits>

extern "C" {

int mcastfwdr_asi_init(void) { return 0; }
void mcastfwdr_asi_fini(void) {}
void mcastfwdr_asi_apply_initial_hw_cfg(void) {}
void mcastfwdr_asi_check_pending(void) {}
void mcastfwdr_asi_signal_hw_start(void) {}
int mcastfwdr_asi_hw_reset_interface(int) { return 0; }
// The ASI ports' own rate grid comes with the ASI work; until then the rate as asked.
int mcastfwdr_asi_calculate_actual_bps(int bps, int, int) { return bps; }
int mcastfwdr_asi_info_rx_pkt_cp(const char *, uint32_t) { return 0; }
int mcastfwdr_asi_carrier_init(void) { return 0; }
void mcastfwdr_asi_carrier_fini(void) {}
int mcastfwdr_klv_init(plugin_load_info *) { return 0; }
void mcastfwdr_klv_fini(void) {}
// Inputs have no SRT receive side and no program status pass yet; the ASI
// ports have no receive side.
void manager_inputs_datapath_monitor_srt_connection(void) {}
void manager_inputs_datapath_get_srt_stats(void) {}
void manager_inputs_datapath_update_program_status(void) {}
manager_input *mcastfwdr_asi_get_input_map(int, int *detected_bps)
{
    if (detected_bps)
        *detected_bps = -1;
    return nullptr;
}
// KLV source sockets follow the configuration and the interfaces.
void mcastfwdr_klv_sources_enable(const char *ifname)
{
    if (ifname)
        mcfcfg_rx_klv_enable_on_interface(&mcf_cfg, ifname);
    else
        mcfcfg_rx_klv_on_loaded(&mcf_cfg);
}
void mcastfwdr_klv_sources_disable(const char *ifname) { mcfcfg_rx_klv_disable_on_interface(&mcf_cfg, ifname); }

int mcastfwdr_asi_ip_address(char *buf, int output_id)
{
    // The ASI ports answer on 169.254.1.80 + n, one address per output.
    return std::snprintf(buf, 16, "169.254.1.%d", 80 + (output_id & 0x7F)) > 0 ? 0 : -1;
}

int manager_input_output_sync(int32_t force)
{
    int changed = manager_inputs_sync(&mcf_cfg);
    changed += manager_outputs_sync(&mcf_cfg);
    // An output deleted before this call and not made again changes no
    // count here, but the index must not keep routing to it.
    if (changed || force || mcf::populated_output_count() != manager_outputs_count())
        phindex_repopulate();
    return changed;
}

// The ASI ports' sockets, rates and queue marks come with the ASI work.
int mcastfwdr_asi_get_socket_id(int) { return 0; }
int mcastfwdr_asi_hw_cfg_bitrate(cfg_tx *tx, int, int) { return tx && tx->egress_type == EGRTYPE_ASI ? 0 : -1; }
void mcastfwdr_asi_queue_monitor_init(int, asi_queue_monitor *monitor, int)
{
    if (monitor)
        *monitor = asi_queue_monitor{};
}

// The ASI ports' mirror and output mode come with the ASI work.
int mcastfwdr_asi_hw_cfg_mirror(cfg_tx *tx, int) { return tx && tx->egress_type == EGRTYPE_ASI ? 0 : -1; }
int mcastfwdr_asi_hw_cfg_output_mode(cfg_tx *tx) { return tx && tx->egress_type == EGRTYPE_ASI ? 0 : -1; }

} // extern "C"

// The configuration's lists as far as the engine reads them back: program
// status and an output's single input. The rows, and their restore from
// the store, are built under param/.
#include "mcf_cfg.h"
#include "mcf_services.h"

#include <kerrow/cuvent.h>
#include <kerrow/param.h>

#include <cstdio>
#include <cstring>


extern "C" {

void mcfcfg_rx_clear_all_program_status(cfg_rx *rx)
{
    if (kd_param_get_type(rx->param_services) != PARAMTYPE_NONE)
        kd_param_list_delete_children(rx->param_services);
    for (in_pgm_status &p : rx->ingress_pgm_status)
        p = in_pgm_status{};
    rx->ingress_pgm_status_count = 0;
}

void mcfcfg_rx_set_all_program_status_inactive(cfg_rx *rx)
{
    const int n = rx->ingress_pgm_status_count < MCF_PGM_STATUS_MAX ? rx->ingress_pgm_status_count : MCF_PGM_STATUS_MAX;
    for (int i = 0; i < n; ++i) {
        in_pgm_status &p = rx->ingress_pgm_status[i];
        if (!p.status)
            continue;
        p.status = 0;
        param_context *child = kd_param_list_index(p.param_pgm_status_entry, 2);
        if (child && kd_param_get_type(child) != PARAMTYPE_NONE)
            kd_cuvent_emit(mcf_pli, "on_param_update", child);
    }
}

int mcastfwdr_set_dest_si_id(cfg_tx *tx, int input_id)
{
    if (tx->dest_single_input_id == input_id)
        return 0;
    tx->dest_single_input_id = input_id;
    mcf_post_log(2, "MCF: CfgTx %d Single Input Id set to: %d", tx->dest_id, input_id);
    if (!mcf_ctrl_plane_configuration_is_loaded)
        return 0;
    if (tx->param_single_input_select)
        kd_cuvent_emit(mcf_pli, "on_param_update", tx->param_single_input_select);
    if (tx->dest_single_input_mode == DEST_SIM_ON) {
        pthread_rwlock_wrlock(&ctrl_data_lock);
        const int deleted = manager_outputs_delete(tx->dest_id);
        manager_input_output_sync(deleted);
        pthread_rwlock_unlock(&ctrl_data_lock);
    }
    return 0;
}

} // extern "C"

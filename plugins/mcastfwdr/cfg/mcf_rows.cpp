// The configuration's lists and rows as far as the engine reads them back:
// record lookup and addition, program-status rows with their four children,
// and the setup tree's tables. The full rows, setters and store keys belong
// to the configuration code.
#include "mcf_cfg.h"
#include "mcf_services.h"

#include <kerrow/cuvent.h>
#include <kerrow/dataset.h>
#include <kerrow/param.h>

#include <cstdio>
#include <cstring>

namespace {

const char *const kPgmStatusChoices[] = {"Inactive", "Active", nullptr};
const char *const kCaStatusChoices[] = {"Clear", "BISS1", "BISS2 Mode 1", "BISS2 CA", "Encrypted Other", nullptr};

in_pgm_status *entry_of(param_context *p)
{
    return static_cast<in_pgm_status *>(kd_param_get_userdata(p));
}
int pgm_number(param_context *p) { return entry_of(p)->pgm_num; }
const char *pgm_name(param_context *p) { return entry_of(p)->pgm_name; }
const char *pgm_status(param_context *p) { return kPgmStatusChoices[entry_of(p)->status ? 1 : 0]; }
const char *pgm_ca_status(param_context *p)
{
    const int ca = entry_of(p)->ca_status;
    return kCaStatusChoices[ca >= 0 && ca < CASTATUS_END ? ca : 0];
}
const char **pgm_status_choices(param_context *) { return const_cast<const char **>(kPgmStatusChoices); }
const char **ca_status_choices(param_context *) { return const_cast<const char **>(kCaStatusChoices); }

} // namespace

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

int mcfcfg_tx_sync_program_pids(int input_id, int prog_num, kd_dataset *ids)
{
    for (cfg_tx &tx : mcf::records<cfg_tx>(mcf_cfg.rules_tx))
        for (const cfg_tx_input &s : mcf::records<cfg_tx_input>(tx.dest_services))
            if (s.input_id == input_id && s.input_prog_num == prog_num)
                kd_dataset_insert(ids, tx.dest_id);
    return 0;
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

void mcastfwdr_setup_params(mcastfwdr_cfg *cfg, plugin_load_info *pli)
{
    param_context *top = kd_param_create_cfg(pli);
    cfg->tbl = top;
    cfg->tbl_inputs = kd_param_alloc_table(top, "inputs", "Inputs", nullptr);
    cfg->tbl_outputs = kd_param_alloc_table(top, "outputs", "Outputs", nullptr);
    cfg->tbl_klv_sources = kd_param_alloc_table(top, "klv_sources", "KLV Sources", nullptr);
    cfg->tbl_ca_sessions = kd_param_alloc_table(top, "ca_sessions", "CA Sessions", nullptr);
}

void mcastfwdr_allocate_rule_input(param_context *tbl_inputs, cfg_rx *rx)
{
    char key[32];
    std::snprintf(key, sizeof key, "input_%d", rx->ingress_id);
    param_context *row = kd_param_alloc_row(tbl_inputs, key, rx->ingress_ui_label);
    rx->param_services = kd_param_alloc_table(row, "services", "Services", nullptr);
}

void mcastfwdr_allocate_rule_input_program(param_context *table, in_pgm_status *entry, int index)
{
    char key[16], label[16];
    std::snprintf(key, sizeof key, "%d", index);
    std::snprintf(label, sizeof label, "%d", index + 1);
    param_context *row = kd_param_alloc_row(table, key, label);
    entry->param_pgm_status_entry = row;
    if (!row)
        return;
    kd_param_alloc_number(row, nullptr, "Program Number", PARAMCTRL_RDONLY, nullptr, pgm_number, nullptr, nullptr,
                          nullptr, nullptr, entry);
    kd_param_alloc_string(row, nullptr, "Program Name", PARAMCTRL_RDONLY, nullptr, pgm_name, nullptr, entry);
    kd_param_alloc_choice(row, nullptr, "Program Status", PARAMCTRL_RDONLY, nullptr, pgm_status, pgm_status_choices,
                          nullptr, entry);
    param_context *ca = kd_param_alloc_choice(row, nullptr, "Program CA Status", PARAMCTRL_RDONLY, nullptr,
                                              pgm_ca_status, ca_status_choices, nullptr, entry);
    kd_param_init_auto_notify(ca, 2.0);
}

int store_ca_sessions_load_params(void) { return 0; }
int store_inputs_net_load_params(void) { return 0; }
int store_klv_sources_load_params(void) { return 0; }
int store_outputs_load_params(void) { return 0; }

} // extern "C"

// The top of the forwarder's tree: counters, add and remove actions for
// rows, diagnostics and the "Rules" list with its four tables.
#include "param/mcf_param.h"

#include "mcastfwdr.h"
#include "status_queue.h"

#include <kerrow/carrier.h>

#include <array>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

using mcf::param::leaf;

const char *const kYes[] = {"Yes", nullptr};

mcastfwdr_totals &totals_of(void *rec) { return *static_cast<mcastfwdr_totals *>(rec); }
template <auto Field> int read_total(void *rec) { return (totals_of(rec).*Field).load(std::memory_order_relaxed); }

const std::array kCounterLeaves = {
    leaf{.label = "IP Packets Received", .max = 2147483647, .number = read_total<&mcastfwdr_totals::ip_packets_rx>},
    leaf{.label = "IP Packets Sent", .max = 2147483647, .number = read_total<&mcastfwdr_totals::ip_packets_tx>},
    leaf{.label = "TS Packets Received", .max = 2147483647, .number = read_total<&mcastfwdr_totals::ts_packets_rx>},
    leaf{.label = "TS Packets Sent", .max = 2147483647, .number = read_total<&mcastfwdr_totals::ts_packets_tx>},
    leaf{.label = "Total Rate Received", .max = 2147483647, .auto_notify = 1.0,
         .number = read_total<&mcastfwdr_totals::total_rate_rx>},
};
constexpr auto kCounterCb = mcf::param::callbacks_of<kCounterLeaves>();

// ---- remove actions: the choices are the ids of the rows, read afresh ----

// The texts of one remove action's choices, kept until its next read (the
// framework copies them on the loop thread).
struct id_choices {
    std::vector<std::string> texts;
    std::vector<const char *> table;
    const char **fill(const std::vector<int> &ids)
    {
        texts.clear();
        table.clear();
        for (int id : ids)
            texts.push_back(std::to_string(id));
        for (const std::string &t : texts)
            table.push_back(t.c_str());
        table.push_back(nullptr);
        return table.data();
    }
};

std::vector<int> net_input_ids()
{
    std::vector<int> ids;
    for (const cfg_rx &r : mcf::records<cfg_rx>(mcf_cfg.rules_rx))
        if (r.ingress_type == INGRTYPE_NET)
            ids.push_back(r.ingress_id);
    return ids;
}
std::vector<int> klv_ids()
{
    std::vector<int> ids;
    for (const cfg_rx_klv &r : mcf::records<cfg_rx_klv>(mcf_cfg.rules_rx_klv))
        ids.push_back(r.id);
    return ids;
}
std::vector<int> ca_ids()
{
    std::vector<int> ids;
    for (const cfg_ca &r : mcf::records<cfg_ca>(mcf_cfg.ca_sessions))
        ids.push_back(r.id);
    return ids;
}
std::vector<int> net_output_ids()
{
    std::vector<int> ids;
    for (const cfg_tx &t : mcf::records<cfg_tx>(mcf_cfg.rules_tx))
        if (t.egress_type == EGRTYPE_NET)
            ids.push_back(t.dest_id);
    return ids;
}

id_choices rem_input_texts, rem_klv_texts, rem_ca_texts, rem_output_texts;
const char **rem_input_choices(param_context *) { return rem_input_texts.fill(net_input_ids()); }
const char **rem_klv_choices(param_context *) { return rem_klv_texts.fill(klv_ids()); }
const char **rem_ca_choices(param_context *) { return rem_ca_texts.fill(ca_ids()); }
const char **rem_output_choices(param_context *) { return rem_output_texts.fill(net_output_ids()); }
const char **yes_choices(param_context *) { return const_cast<const char **>(kYes); }

// The id named by `text` when it is one of `ids` exactly, else -1.
int chosen_id(const std::vector<int> &ids, const char *text)
{
    if (!text)
        return -1;
    for (int id : ids)
        if (id >= 0 && std::to_string(id) == text)
            return id;
    return -1;
}

param_set_result refused(param_context *p, const char *text)
{
    mcf_post_log(SQ_LOG_INFO, "%s: '%s' refused", kd_param_get_scope(p), text ? text : "");
    return PARAM_SET_FAILURE;
}

// "Yes" adds a row with the next free id.
template <int (*Add)(int)> param_set_result add_row(param_context *p, const char *text)
{
    if (!text || std::strcmp(text, "Yes") != 0)
        return refused(p, text);
    return Add(-1) == 0 ? PARAM_SET_SUCCESS : PARAM_SET_FAILURE;
}

// One of the offered ids removes that row.
template <class Rec, std::vector<int> (*Ids)(), Rec *(*Find)(int), int (*Rem)(Rec *)>
param_set_result rem_row(param_context *p, const char *text)
{
    const int id = chosen_id(Ids(), text);
    Rec *rec = id < 0 ? nullptr : Find(id);
    if (!rec)
        return refused(p, text);
    return Rem(rec) == 0 ? PARAM_SET_SUCCESS : PARAM_SET_FAILURE;
}

constexpr auto add_input = add_row<mcastfwdr_add_input_net_row>;
constexpr auto rem_input = rem_row<cfg_rx, net_input_ids, mcfcfg_rx_find_by_id, mcastfwdr_rem_input_row>;
constexpr auto add_output = add_row<mcastfwdr_add_row_output>;
constexpr auto rem_output = rem_row<cfg_tx, net_output_ids, mcfcfg_tx_find_by_id, mcastfwdr_rem_output_row>;
constexpr auto add_klv = add_row<mcastfwdr_add_klv_source_row>;
constexpr auto rem_klv = rem_row<cfg_rx_klv, klv_ids, mcfcfg_rx_klv_find_by_id, mcastfwdr_rem_klv_source_row>;
constexpr auto add_ca = add_row<mcastfwdr_add_ca_session_row>;
constexpr auto rem_ca = rem_row<cfg_ca, ca_ids, mcfcfg_ca_session_find_by_id, mcastfwdr_rem_ca_session_row>;

param_set_result diag_pidh(param_context *p, const char *text)
{
    if (!text || std::strcmp(text, "Yes") != 0)
        return refused(p, text);
    pthread_rwlock_rdlock(&ctrl_data_lock);
    phindex_debug();
    pthread_rwlock_unlock(&ctrl_data_lock);
    return PARAM_SET_SUCCESS;
}

param_set_result diag_outputs(param_context *p, const char *text)
{
    if (!text || std::strcmp(text, "Yes") != 0)
        return refused(p, text);
    manager_outputs_debug();
    return PARAM_SET_SUCCESS;
}

param_context *action(param_context *top, const char *label, kd_param_get_strtable choices, kd_param_set set,
                      mcastfwdr_cfg *cfg)
{
    return kd_param_alloc_choice(top, nullptr, label, PARAMCTRL_WRONLY, nullptr, nullptr, choices, set, cfg);
}

} // namespace

extern "C" {

void mcastfwdr_setup_params(mcastfwdr_cfg *cfg, plugin_load_info *pli)
{
    param_context *top = kd_param_create_cfg(pli);
    for (const leaf &l : kCounterLeaves)
        mcf::param::make_leaf(top, l, kCounterCb, &totals);

    const bool asi = mcastfwdr_asi_exists();
    const bool decoder = mcf_decoder_exists();
    cfg->tbl_rem_input = cfg->tbl_rem_klv_source = cfg->tbl_rem_output = cfg->tbl_rem_ca_session = nullptr;
    if (!asi && (!decoder || kd_carrier_frame_is_master())) {
        action(top, "Add Input Net Rule", yes_choices, add_input, cfg);
        cfg->tbl_rem_input = action(top, "Rem Input Net Rule", rem_input_choices, rem_input, cfg);
    }
    if (!asi && !decoder) {
        action(top, "Add KLV Source Rule", yes_choices, add_klv, cfg);
        cfg->tbl_rem_klv_source = action(top, "Rem KLV Source Rule", rem_klv_choices, rem_klv, cfg);
        action(top, "Add Output Net Rule", yes_choices, add_output, cfg);
        cfg->tbl_rem_output = action(top, "Rem Output Net Rule", rem_output_choices, rem_output, cfg);
    }
    action(top, "Add CA Session", yes_choices, add_ca, cfg);
    cfg->tbl_rem_ca_session = action(top, "Rem CA Session", rem_ca_choices, rem_ca, cfg);
    action(top, "Diag PIDH Tree", yes_choices, diag_pidh, cfg);
    action(top, "Diag Outputs", yes_choices, diag_outputs, cfg);

    cfg->tbl = kd_param_alloc_list(top, nullptr, "Rules", nullptr);
    cfg->tbl_inputs = kd_param_alloc_table(cfg->tbl, nullptr, "Inputs", nullptr);
    cfg->tbl_outputs = kd_param_alloc_table(cfg->tbl, nullptr, "Outputs", nullptr);
    cfg->tbl_klv_sources = kd_param_alloc_table(cfg->tbl, nullptr, "KLV Sources", nullptr);
    cfg->tbl_ca_sessions = kd_param_alloc_table(cfg->tbl, nullptr, "CA Sessions", nullptr);
}

} // extern "C"

// Output services and their PID remaps: the row of each service under its
// output's "Input Refs" and of each remap under the service's "remaps",
// their appliers, and adding and removing services and remaps with their
// store keys.
#include "param/mcf_param.h"

#include "ingress/manager_input.h"
#include "mcastfwdr.h"
#include "status_queue.h"
#include "tables/input_tables.h"

#include <kerrow/store.h>

#include <array>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <string>
#include <system_error>
#include <type_traits>
#include <vector>

namespace {

using mcf::param::kind_bit;
using mcf::param::leaf;

const char *const kYes[] = {"Yes", nullptr};
const char *const kNoYes[] = {"No", "Yes", nullptr};
const char *const kOffOn[] = {"Off", "On", nullptr};
const char *const kModulations[] = {"ANALOG", "SCTE MODE 1", "SCTE MODE 2", "ATSC (8 VSB)", "ATSC (16 VSB)", nullptr};
const char *const kServiceTypes[] = {"ANALOG TELEVISION", "ATSC DIGITAL TELEVISION", "ATSC AUDIO",
                                     "ATSC DATA ONLY SERVICE", "ATSC SOFTWARE DOWNLOAD SERVICE", nullptr};
const char kNoKlv[] = "No KLV Injection";
const char kNoCa[] = "No Encryption";
const char kHelpDurable[] =
    "When Durable Remaps is on, PID mappings are stored for the life of the routed program. When Durable Remaps is "
    "off, PID mappings are stored until PID is dropped from upstream program.";

constexpr unsigned kDec = kind_bit(EGRTYPE_DEC);
constexpr unsigned kNetAsi = kind_bit(EGRTYPE_NET) | kind_bit(EGRTYPE_ASI);
constexpr int kPidNull = 8191;

bool loaded() { return mcf_ctrl_plane_configuration_is_loaded != 0; }
cfg_tx_input &svc_of(void *rec) { return *static_cast<cfg_tx_input *>(rec); }
cfg_tx_pid_map &map_of(void *rec) { return *static_cast<cfg_tx_pid_map *>(rec); }
cfg_tx *output_of(const cfg_tx_input &s) { return mcfcfg_tx_find_by_id(s.dest_id); }

int same_record(void *data, void *key) { return data == key ? 0 : 1; }

// Regenerates the service's output tables (see retable_output).
void retable(const cfg_tx_input &s, int what, bool before_load = false)
{
    if (cfg_tx *tx = output_of(s))
        mcf::param::retable_output(*tx, what, nullptr, before_load);
}

// Recomputes the output's distinct inputs when it runs.
void resync_inputs(int output_id)
{
    mcf::write_lock lock;
    if (manager_output *mo = manager_outputs_find_by_id(output_id))
        manager_output_sync_unique_inputs(mo);
}

// ---- remap store keys ----

std::string remap_route(const cfg_tx_pid_map &m)
{
    char route[160];
    std::snprintf(route, sizeof route, "mcastfwdr/rules/outputs/output_%u/input_refs/service_%u/remaps/remap_%u",
                  unsigned(m.service->dest_id), unsigned(m.service->service_id), unsigned(m.id));
    return route;
}

void save_remap(const cfg_tx_pid_map &m)
{
    const std::string base = remap_route(m) + "/";
    kd_store_save_string(mcf_pli, (base + "label").c_str(), m.label);
    kd_store_save_int(mcf_pli, (base + "pid_in").c_str(), m.in_pid);
    kd_store_save_int(mcf_pli, (base + "pid_out").c_str(), m.out_pid);
}

void forget_remap(const cfg_tx_pid_map &m) { kd_store_remove_key(mcf_pli, remap_route(m).c_str()); }

size_t remaps_in_effect(const cfg_tx_input &s)
{
    size_t n = 0;
    for (const cfg_tx_pid_map &m : mcf::records<cfg_tx_pid_map>(s.list_pid_maps))
        n += m.in_pid != m.out_pid;
    return n;
}

std::vector<int> remap_ids(const cfg_tx_input &s)
{
    std::vector<int> ids;
    for (const cfg_tx_pid_map &m : mcf::records<cfg_tx_pid_map>(s.list_pid_maps))
        ids.push_back(m.id);
    return ids;
}

// Removes every row whose "In Use" is "No": whether one of them was in effect.
bool remove_unused_rows(cfg_tx_input &s)
{
    bool in_effect = false;
    for (int id : remap_ids(s)) {
        const cfg_tx_pid_map *m = cfg_tx_pid_map_find_by_id(&s, id);
        if (!m || m->in_use)
            continue;
        in_effect = in_effect || m->in_pid != m->out_pid;
        mcastfwdr_rem_row_out_svc_pid_map(&s, id);
    }
    return in_effect;
}

// ---- service appliers ----

// "Input ID" and "Program Number": with both set, the remap rows are made
// afresh from the program and the output picks the program up.
template <auto Field> int apply_input_ref(void *rec, int32_t v)
{
    cfg_tx_input &s = svc_of(rec);
    if (s.*Field == v)
        return 0;
    s.*Field = v;
    if (!loaded() || s.input_id == -1 || s.input_prog_num == -1)
        return 0;
    mcfcfg_tx_input_sync_program_pids(&s, 1);
    cfg_tx *tx = output_of(s);
    if (!tx)
        return 0;
    if (tx->egress_type == EGRTYPE_ASI)
        mcastfwdr_asi_set_route_prov_pending(tx->dest_id);
    else
        mcf::param::rebuild_output(*tx);
    return 0;
}

// A number whose change regenerates the tables with `What` (on a DVB output
// not when `AtscOnly`).
template <auto Field, int What, bool AtscOnly = false> int apply_table_number(void *rec, int32_t v)
{
    cfg_tx_input &s = svc_of(rec);
    if (s.*Field == v)
        return 0;
    s.*Field = v;
    const cfg_tx *tx = output_of(s);
    if (AtscOnly && tx && tx->dest_tables_type == TABLES_TYPE_DVB)
        return 0;
    retable(s, What);
    return 0;
}

// "Modulation Mode" and "Service Type": the enumerator one above the choice
// (an index outside the choices stores `Fallback`); the tables follow at
// once, also while the store is applied.
template <auto Field, int Fallback> int apply_vct_choice(void *rec, int idx, const char *)
{
    cfg_tx_input &s = svc_of(rec);
    const int v = idx >= 0 && idx <= 4 ? idx + 1 : Fallback;
    if (int(s.*Field) == v)
        return 0;
    s.*Field = static_cast<std::remove_reference_t<decltype(s.*Field)>>(v);
    retable(s, 6, true);
    return 0;
}
template <auto Field> int read_vct_choice(void *rec)
{
    const int v = int(svc_of(rec).*Field);
    return v <= 0 ? 0 : v - 1;
}

// "Overwrite Service Name" and "Overwrite Service Provider": applied also
// when unchanged.
template <auto Field, int What> int apply_overwrite_text(void *rec, const char *text)
{
    cfg_tx_input &s = svc_of(rec);
    std::snprintf(s.*Field, sizeof(s.*Field), "%s", text);
    retable(s, What);
    return 0;
}

// ---- KLV source and CA session: choices by label ----

const char **klv_choices(void *)
{
    std::vector<std::string> labels{kNoKlv};
    for (const cfg_rx_klv &k : mcf::records<cfg_rx_klv>(mcf_cfg.rules_rx_klv))
        labels.emplace_back(k.ui_label);
    return mcf::param::fresh_choices(labels);
}

const char *read_klv(void *rec)
{
    const int id = svc_of(rec).klv_source_id;
    const cfg_rx_klv *k = id < 0 ? nullptr : mcfcfg_rx_klv_find_by_id(id);
    return k ? k->ui_label : kNoKlv;
}

int apply_klv(void *rec, int idx, const char *text)
{
    cfg_tx_input &s = svc_of(rec);
    int id = -1;
    if (idx > 0) {
        const cfg_rx_klv *k = mcfcfg_rx_klv_find_by_ui_label(text);
        if (!k)
            return -1;
        id = k->id;
    }
    if (s.klv_source_id == id)
        return 0;
    s.klv_source_id = id;
    cfg_tx *tx = output_of(s);
    if (!loaded() || s.input_id == -1 || !tx)
        return 0;
    mcf::write_lock lock;
    if (manager_output *mo = manager_outputs_find_by_id(tx->dest_id)) {
        manager_output_sync_tables_on_cfg_change(mo, tx, 0);
        manager_output_reset_klv_latency_pid(mo);
    }
    return 0;
}

const char **ca_choices(void *)
{
    std::vector<std::string> labels{kNoCa};
    for (const cfg_ca &c : mcf::records<cfg_ca>(mcf_cfg.ca_sessions))
        labels.emplace_back(c.ui_label);
    return mcf::param::fresh_choices(labels);
}

const char *read_ca(void *rec)
{
    const int id = svc_of(rec).ca_session_id;
    const cfg_ca *c = id < 0 ? nullptr : mcfcfg_ca_session_find_by_id(id);
    return c ? c->ui_label : kNoCa;
}

// The session is attached to every PID of the routed program that is known
// to come from an input: a PCR of its own and the elementary streams.
int apply_ca(void *rec, int idx, const char *text)
{
    cfg_tx_input &s = svc_of(rec);
    int id = -1;
    if (idx > 0) {
        const cfg_ca *c = mcfcfg_ca_session_find_by_ui_label(text);
        if (!c)
            return -1;
        id = c->id;
    }
    if (s.ca_session_id == id)
        return 0;
    s.ca_session_id = id;
    cfg_tx *tx = output_of(s);
    if (!loaded() || !tx)
        return 0;
    mcf::write_lock lock;
    manager_output *mo = manager_outputs_find_by_id(tx->dest_id);
    manager_input *mi = mo && s.input_id >= 0 ? manager_inputs_find_by_id(s.input_id) : nullptr;
    const local_pmt *pmt = mi ? input_table_info_get_service(mi->tables, s.input_prog_num) : nullptr;
    if (!pmt)
        return 0;
    if (local_pmt_has_separate_pcr(pmt) && pmt->pcr_pid > 0 && pmt->pcr_pid < kPidNull)
        add_ca_to_pid_handler(mo, pmt->pcr_ingress_id, pmt->pcr_pid, id);
    for (int i = 0; i < pmt->num_pmt_entries && i < LOCAL_PMT_ENTRIES_MAX; ++i) {
        const local_pmt_entry &e = pmt->pmt_entries[i];
        if (e.elementary_pid > 0 && e.ingress_id >= 0)
            add_ca_to_pid_handler(mo, e.ingress_id, e.elementary_pid, id);
    }
    manager_output_sync_tables_on_cfg_change(mo, tx, 0);
    return 0;
}

// ---- remap actions of a service ----

int apply_durable(void *rec, int idx, const char *)
{
    cfg_tx_input &s = svc_of(rec);
    if (s.is_durable_remaps == idx)
        return 0;
    s.is_durable_remaps = idx;
    if (idx == 0 && remove_unused_rows(s))
        resync_inputs(s.dest_id);
    return 0;
}

// "Clear All": unused rows go, the rows in use send their PIDs unchanged again.
int clear_all(void *rec, int, const char *)
{
    cfg_tx_input &s = svc_of(rec);
    if (mcf_list_count(s.list_pid_maps) == 0)
        return 0;
    const bool removed_in_effect = remove_unused_rows(s);
    bool undone = false;
    for (cfg_tx_pid_map &m : mcf::records<cfg_tx_pid_map>(s.list_pid_maps)) {
        if (m.in_pid == m.out_pid)
            continue;
        m.out_pid = m.in_pid;
        mcf::param::announce(m.param_out_pid);
        forget_remap(m);
        undone = true;
    }
    if (undone) {
        store_outputs_save_pid_map_keys(s.dest_id);
        ++s.version_pid_maps;
        mcf::write_lock lock;
        cfg_tx *tx = output_of(s);
        if (manager_output *mo = tx ? manager_outputs_find_by_id(tx->dest_id) : nullptr)
            manager_output_sync_tables_on_cfg_change(mo, tx, 0);
        phindex_repopulate();
    } else if (removed_in_effect) {
        resync_inputs(s.dest_id);
    }
    return 0;
}

template <auto Field> int read_svc(void *rec) { return static_cast<int>(svc_of(rec).*Field); }
template <auto Field> const char *read_svc_text(void *rec) { return svc_of(rec).*Field; }

constexpr std::array kServiceLeaves = {
    leaf{.label = "Input ID", .rw = PARAMCTRL_RDWR, .min = -1000000, .max = 1000000,
         .number = read_svc<&cfg_tx_input::input_id>, .apply_number = apply_input_ref<&cfg_tx_input::input_id>},
    leaf{.label = "Program Number", .rw = PARAMCTRL_RDWR, .min = 1, .max = 65535,
         .number = read_svc<&cfg_tx_input::input_prog_num>,
         .apply_number = apply_input_ref<&cfg_tx_input::input_prog_num>},
    leaf{.label = "Source ID", .rw = PARAMCTRL_RDWR, .kinds = kNetAsi, .min = 1, .max = 65535,
         .number = read_svc<&cfg_tx_input::source_id>, .apply_number = apply_table_number<&cfg_tx_input::source_id, 5>},
    leaf{.label = "KLV Source", .type = PARAMTYPE_CHOICE, .rw = PARAMCTRL_RDWR, .kinds = kNetAsi,
         .choices_of = klv_choices, .text = read_klv, .apply_choice = apply_klv},
    leaf{.label = "Major Number", .rw = PARAMCTRL_RDWR, .kinds = kNetAsi, .min = 0, .max = 99,
         .number = read_svc<&cfg_tx_input::major_channel_number>,
         .apply_number = apply_table_number<&cfg_tx_input::major_channel_number, 4, true>},
    leaf{.label = "Minor Number", .rw = PARAMCTRL_RDWR, .kinds = kNetAsi, .min = 0, .max = 999,
         .number = read_svc<&cfg_tx_input::minor_channel_number>,
         .apply_number = apply_table_number<&cfg_tx_input::minor_channel_number, 4, true>},
    leaf{.label = "Modulation Mode", .type = PARAMTYPE_CHOICE, .rw = PARAMCTRL_RDWR, .kinds = kNetAsi,
         .choices = kModulations, .index = read_vct_choice<&cfg_tx_input::modulation_mode>,
         .apply_choice = apply_vct_choice<&cfg_tx_input::modulation_mode, VCT_MODULATION_MODE_SCTEMODE_2>},
    leaf{.label = "Service Type", .type = PARAMTYPE_CHOICE, .rw = PARAMCTRL_RDWR, .kinds = kNetAsi,
         .choices = kServiceTypes, .index = read_vct_choice<&cfg_tx_input::service_type>,
         .apply_choice = apply_vct_choice<&cfg_tx_input::service_type, ATSC_DIGITAL_TELEVISION>},
    leaf{.label = "Carrier Frequency", .rw = PARAMCTRL_RDWR, .kinds = kNetAsi, .min = 0, .max = 1002000000,
         .number = read_svc<&cfg_tx_input::carrier_frequency>,
         .apply_number = apply_table_number<&cfg_tx_input::carrier_frequency, 6, true>},
    leaf{.label = "Overwrite Program Number", .rw = PARAMCTRL_RDWR, .kinds = kNetAsi, .min = 0, .max = 65535,
         .number = read_svc<&cfg_tx_input::overwrite_prog_num>,
         .apply_number = apply_table_number<&cfg_tx_input::overwrite_prog_num, 0>},
    leaf{.label = "Overwrite Service Name", .type = PARAMTYPE_STRING, .rw = PARAMCTRL_RDWR, .kinds = kNetAsi,
         .text = read_svc_text<&cfg_tx_input::overwrite_service_name>,
         .apply_text = apply_overwrite_text<&cfg_tx_input::overwrite_service_name, 2>},
    leaf{.label = "Overwrite Service Provider", .type = PARAMTYPE_STRING, .rw = PARAMCTRL_RDWR, .kinds = kNetAsi,
         .text = read_svc_text<&cfg_tx_input::overwrite_service_provider>,
         .apply_text = apply_overwrite_text<&cfg_tx_input::overwrite_service_provider, 3>},
    leaf{.label = "Clear All", .type = PARAMTYPE_CHOICE, .rw = PARAMCTRL_WRONLY, .kinds = kNetAsi, .choices = kYes,
         .apply_choice = clear_all},
    leaf{.label = "Durable Remaps", .type = PARAMTYPE_CHOICE, .rw = PARAMCTRL_RDWR, .kinds = kNetAsi,
         .choices = kOffOn, .help = kHelpDurable, .index = read_svc<&cfg_tx_input::is_durable_remaps>,
         .apply_choice = apply_durable},
    leaf{.label = "CA Session", .type = PARAMTYPE_CHOICE, .rw = PARAMCTRL_RDWR, .kinds = kNetAsi,
         .choices_of = ca_choices, .text = read_ca, .apply_choice = apply_ca},
};
constexpr auto kServiceCb = mcf::param::callbacks_of<kServiceLeaves>();

// ---- remap rows ----

// "Pid Out": a remap in effect is stored for the next start; the running
// output regenerates its tables and routes the PID anew.
int apply_pid_out(void *rec, int32_t pid)
{
    cfg_tx_pid_map &m = map_of(rec);
    if (pid == m.out_pid)
        return 0;
    if (pid == 0 || pid == kPidNull)
        return -1;
    cfg_tx_input &s = *m.service;
    // A service keeps across a restart as many remaps as its store list holds.
    if (m.out_pid == m.in_pid && pid != m.in_pid && remaps_in_effect(s) >= mcf::limits::kListIds) {
        mcf_post_log(SQ_LOG_WARN, "Output %d service %d: remap %d refused: %zu remaps are in effect", s.dest_id,
                     s.service_id, m.id, mcf::limits::kListIds);
        return -1;
    }
    m.out_pid = pid;
    const bool in_effect = m.out_pid != m.in_pid;
    if (in_effect)
        save_remap(m);
    else
        forget_remap(m);
    store_outputs_save_pid_map_keys(s.dest_id);
    if (!m.in_use) {
        resync_inputs(s.dest_id);
        return 0;
    }
    ++s.version_pid_maps;
    cfg_tx *tx = output_of(s);
    mcf::write_lock lock;
    manager_output *mo = tx ? manager_outputs_find_by_id(tx->dest_id) : nullptr;
    if (!mo)
        return 0;
    const int ingress_id = input_table_info_get_ingress_id(s.input_id, s.input_prog_num, m.in_pid);
    manager_output_sync_tables_on_cfg_change(mo, tx, 0);
    if (ingress_id >= 0)
        add_pid_remap_to_pid_handler(mo, ingress_id, m.in_pid, in_effect ? m.out_pid : 0);
    return 0;
}

template <auto Field> int read_map(void *rec) { return static_cast<int>(map_of(rec).*Field); }

constexpr std::array kRemapLeaves = {
    leaf{.label = "In Use", .type = PARAMTYPE_CHOICE, .choices = kNoYes, .index = read_map<&cfg_tx_pid_map::in_use>},
    leaf{.label = "Label", .type = PARAMTYPE_STRING, .text = [](void *r) -> const char * { return map_of(r).label; }},
    leaf{.label = "PID In", .min = 0, .max = 8191, .number = read_map<&cfg_tx_pid_map::in_pid>},
    leaf{.label = "Pid Out", .rw = PARAMCTRL_RDWR_NOPERSIST, .kinds = kNetAsi, .min = 0, .max = 8191,
         .number = read_map<&cfg_tx_pid_map::out_pid>, .apply_number = apply_pid_out},
    leaf{.label = "Pid Out", .kinds = kDec, .min = 0, .max = 8191, .number = read_map<&cfg_tx_pid_map::out_pid>},
};
constexpr auto kRemapCb = mcf::param::callbacks_of<kRemapLeaves>();

unsigned kind_of(int output_id)
{
    const cfg_tx *tx = mcfcfg_tx_find_by_id(output_id);
    return kind_bit(tx ? tx->egress_type : EGRTYPE_NET);
}

} // namespace

extern "C" {

void mcastfwdr_allocate_rule_out_input(param_context *services, cfg_tx_input *svc)
{
    const std::string label = "Service " + std::to_string(svc->service_id + 1LL);
    param_context *row = mcf::param::make_row(services, "service", svc->service_id, label.c_str());
    if (!row)
        return;
    const unsigned kind = kind_of(svc->dest_id);
    for (const leaf &l : kServiceLeaves) {
        if (!(l.kinds & kind))
            continue;
        param_context *p = mcf::param::make_leaf(row, l, kServiceCb, svc);
        if (std::strcmp(l.label, "KLV Source") == 0)
            svc->param_klv_source = p;
        else if (std::strcmp(l.label, "CA Session") == 0)
            svc->param_ca_session = p;
    }
    svc->param_pid_maps = kd_param_alloc_table(row, nullptr, "remaps", nullptr);
}

void mcastfwdr_allocate_rule_out_svc_pid_map(param_context *pid_maps, cfg_tx_pid_map *map)
{
    const std::string label = "Remap " + std::to_string(map->id + 1LL);
    param_context *row = mcf::param::make_row(pid_maps, "remap", map->id, label.c_str());
    if (!row)
        return;
    const unsigned kind = kind_of(map->service ? map->service->dest_id : -1);
    param_context **handles[] = {&map->param_in_use, &map->param_label, &map->param_in_pid, &map->param_out_pid};
    size_t made = 0;
    for (const leaf &l : kRemapLeaves)
        if (l.kinds & kind) {
            param_context *p = mcf::param::make_leaf(row, l, kRemapCb, map);
            if (made < std::size(handles))
                *handles[made++] = p;
        }
}

int mcastfwdr_add_row_out_input_(cfg_tx *tx, int service_id)
{
    if (!tx || (service_id >= 0 && cfg_tx_input_find_by_id(tx, service_id)))
        return -1;
    cfg_tx_input *svc = nullptr;
    if (service_id < 0 || mcf::limits::kServices.holds(service_id)) {
        mcf::write_lock lock;
        svc = cfg_tx_input_add(tx);
        if (svc && service_id >= 0)
            svc->service_id = service_id;
    }
    if (!svc) {
        mcf::param::log_not_added("service", service_id, mcf::limits::kServices);
        return -1;
    }
    mcf_post_log(SQ_LOG_DEBUG, "Allocated cfg_tx_input (service_%d) under cfg_tx (id %d)", svc->service_id,
                 tx->dest_id);
    mcastfwdr_allocate_rule_out_input(tx->param_services, svc);
    return 0;
}

int mcastfwdr_add_row_out_input(cfg_tx *tx, int id, int)
{
    if (mcastfwdr_add_row_out_input_(tx, id) != 0)
        return -1;
    store_outputs_save_params();
    mcf::param::announce(tx->param_rem_output_service);
    return 0;
}

int mcastfwdr_rem_out_input_row(cfg_tx *tx, int, const char *id_text)
{
    if (!tx || !id_text)
        return PARAM_SET_FAILURE;
    const char *end = id_text + std::strlen(id_text);
    int id = -1;
    const auto [at, ec] = std::from_chars(id_text, end, id, 10);
    if (ec != std::errc{} || at != end || at == id_text || id < 0)
        return PARAM_SET_FAILURE;
    cfg_tx_input *svc = cfg_tx_input_find_by_id(tx, id);
    const bool had_remaps = svc && cfg_tx_input_has_pid_remaps(svc);
    if (svc)
        mcastfwdr_param_delete(mcf_pli, tx->param_services, svc, same_record, 0);
    {
        // The running output goes before the service it reads.
        mcf::write_lock lock;
        const int deleted = loaded() ? manager_outputs_delete(tx->dest_id) : 0;
        if (svc)
            cfg_tx_input_rem(tx, svc);
        if (loaded())
            manager_input_output_sync(deleted);
    }
    store_outputs_save_params();
    if (!cfg_tx_has_services(tx))
        store_outputs_rem_pid_map_keys(tx->dest_id);
    else if (had_remaps)
        store_outputs_save_pid_map_keys(tx->dest_id);
    mcf::param::announce(tx->param_rem_output_service);
    return PARAM_SET_SUCCESS;
}

int mcastfwdr_add_row_out_svc_pid_map(cfg_tx_input *svc, int id, const char *label, int pid)
{
    if (!svc || (id >= 0 && cfg_tx_pid_map_find_by_id(svc, id)))
        return -1;
    cfg_tx_pid_map *m = nullptr;
    {
        mcf::write_lock lock;
        m = cfg_tx_pid_map_add(svc, label, pid);
        if (m && id >= 0)
            m->id = id;
    }
    if (!m)
        return -1;
    mcastfwdr_allocate_rule_out_svc_pid_map(svc->param_pid_maps, m);
    return 0;
}

int mcastfwdr_rem_row_out_svc_pid_map(cfg_tx_input *svc, int id)
{
    cfg_tx_pid_map *m = svc ? cfg_tx_pid_map_find_by_id(svc, id) : nullptr;
    if (!m)
        return -1;
    const bool in_effect = m->in_pid != m->out_pid;
    mcastfwdr_param_delete(mcf_pli, svc->param_pid_maps, m, same_record, 0);
    {
        mcf::write_lock lock;
        cfg_tx_pid_map_rem(svc, m);
    }
    if (in_effect)
        store_outputs_save_pid_map_keys(svc->dest_id);
    return 0;
}

int store_outputs_save_pid_map_keys(int output_id)
{
    const cfg_tx *tx = output_id < 0 ? nullptr : mcfcfg_tx_find_by_id(output_id);
    if (!tx)
        return -1;
    // "service[remap,...]" for each service with remaps in effect, joined with ";".
    std::string text;
    for (const cfg_tx_input &s : mcf::records<cfg_tx_input>(tx->dest_services)) {
        std::string ids;
        for (const cfg_tx_pid_map &m : mcf::records<cfg_tx_pid_map>(s.list_pid_maps))
            if (m.in_pid != m.out_pid)
                ids += (ids.empty() ? "" : ",") + std::to_string(m.id);
        if (!ids.empty())
            text += (text.empty() ? "" : ";") + std::to_string(s.service_id) + "[" + ids + "]";
    }
    if (text.empty()) {
        store_outputs_rem_pid_map_keys(output_id);
        return 0;
    }
    if (kd_store_save_string(mcf_pli, mcf::param::pid_map_key(output_id).c_str(), text.c_str()) != 0)
        return -1;
    return int(text.size());
}

} // extern "C"

// A service's remap rows follow the program it routes: one row per PID of
// the program (PMT, a PCR of its own, every elementary stream), rows of
// PIDs the program dropped retired unless they hold a durable remap. When
// an input's program changes, every service routing it follows, and the
// outputs concerned are brought up to date.
#include "mcf_cfg.h"
#include "mcf_services.h"

#include "ingress/manager_input.h"
#include "tables/input_tables.h"

#include <kerrow/dataset.h>
#include <kerrow/param.h>

#include <byte_reader.h>
#include <psi_descriptor.h>

#include <algorithm>

#include <cstring>
#include <string>
#include <vector>

namespace {

using mpegts::byte_reader;

constexpr uint8_t kComponentNameTag = 0xA3;
constexpr size_t kLabelMax = sizeof(cfg_tx_pid_map{}.label) - 1;

// The first string of the entry's component name descriptor (ATSC A/65
// 6.9.7, a multiple string structure of 6.10): its uncompressed segments,
// cut to a label's length; empty without one or when it does not fit the
// descriptor.
std::string component_name(const local_pmt_entry &e)
{
    const size_t total = size_t(std::clamp(e.es_info_len, 0, int(LOCAL_ES_INFO_MAX)));
    const descriptor *d = descriptor_loop_find(e.es_info, total, kComponentNameTag);
    if (!d)
        return {};
    byte_reader r{descriptor_get_data(d), d->len};
    if (r.u8() == 0) // number_strings
        return {};
    r.skip(3); // ISO 639 language code
    std::string text;
    for (int segments = r.u8(); segments > 0 && !r.bad; --segments) {
        const uint8_t compression = r.u8();
        r.u8(); // mode
        const uint8_t bytes = r.u8();
        const uint8_t *chars = r.bytes(bytes);
        if (chars && compression == 0)
            text.append(reinterpret_cast<const char *>(chars), bytes);
    }
    if (r.bad)
        return {};
    if (const size_t nul = text.find('\0'); nul != std::string::npos)
        text.resize(nul);
    if (text.size() > kLabelMax)
        text.resize(kLabelMax);
    return text;
}

bool pcr_of_its_own(const local_pmt &pmt) { return pmt.pcr_pid > 0 && pmt.pcr_pid < 8191 && local_pmt_has_separate_pcr(&pmt); }

const local_pmt_entry *entry_of(const local_pmt &pmt, int pid)
{
    for (int i = 0; i < pmt.num_pmt_entries && i < LOCAL_PMT_ENTRIES_MAX; ++i)
        if (pmt.pmt_entries[i].elementary_pid == pid)
            return &pmt.pmt_entries[i];
    return nullptr;
}

bool carries(const local_pmt &pmt, int pid)
{
    return pid == pmt.pmt_pid || (pid == pmt.pcr_pid && pcr_of_its_own(pmt)) || entry_of(pmt, pid);
}

void notify(param_context *p)
{
    if (p && kd_param_get_type(p) != PARAMTYPE_NONE)
        kd_param_notify(p);
}

// The rows of PIDs still carried are refreshed, the others retired; then
// the missing ones are added. Answers whether a retired row was in effect.
bool sync_rows(cfg_tx_input &svc, const local_pmt &pmt)
{
    bool lost_remap = false;
    std::vector<int> ids;
    for (const cfg_tx_pid_map &m : mcf::records<cfg_tx_pid_map>(svc.list_pid_maps))
        ids.push_back(m.id);
    for (int id : ids) {
        cfg_tx_pid_map *m = cfg_tx_pid_map_find_by_id(&svc, id);
        if (!m)
            continue;
        if (carries(pmt, m->in_pid)) {
            if (!m->in_use) {
                m->in_use = 1;
                notify(m->param_in_use);
            }
            if (const local_pmt_entry *e = entry_of(pmt, m->in_pid)) {
                const std::string name = component_name(*e);
                if (!name.empty() && name != m->label) {
                    std::memcpy(m->label, name.c_str(), name.size() + 1);
                    notify(m->param_label);
                }
            }
            continue;
        }
        const bool remapped = m->in_pid != m->out_pid;
        if (!svc.is_durable_remaps || !remapped) {
            lost_remap = lost_remap || remapped;
            mcastfwdr_rem_row_out_svc_pid_map(&svc, id);
        } else if (m->in_use) {
            m->in_use = 0;
            notify(m->param_in_use);
        }
    }
    auto add = [&](int pid, const std::string &label) {
        if (!cfg_tx_pid_map_find_by_pid(&svc, pid))
            mcastfwdr_add_row_out_svc_pid_map(&svc, -1, label.c_str(), pid);
    };
    add(pmt.pmt_pid, mcf_pid_map_labels[MAP_PID_TYPE_PMT]);
    if (pcr_of_its_own(pmt))
        add(pmt.pcr_pid, mcf_pid_map_labels[MAP_PID_TYPE_PCR]);
    for (int i = 0; i < pmt.num_pmt_entries && i < LOCAL_PMT_ENTRIES_MAX; ++i) {
        const local_pmt_entry &e = pmt.pmt_entries[i];
        if (e.elementary_pid < 0 || e.elementary_pid > 8191)
            continue;
        std::string label = component_name(e);
        if (label.empty())
            label = mcf_pid_map_labels[cfg_tx_pid_map_find_type(e.stream_type, e.es_info_len, e.es_info)];
        add(e.elementary_pid, label);
    }
    return lost_remap;
}

// A copy of the input's program, taken while the input's table handlers
// are held off: they rewrite the PMT on the data path. False when the input
// has no manager or the manager no such program.
bool program_of(int input_id, int prog_num, local_pmt &out)
{
    bool known = false;
    pthread_rwlock_wrlock(&ctrl_data_lock);
    manager_input *mi = input_id < 0 ? nullptr : manager_inputs_find_by_id(input_id);
    if (const local_pmt *pmt = mi ? input_table_info_get_service(mi->tables, prog_num) : nullptr) {
        out = *pmt;
        known = true;
    }
    pthread_rwlock_unlock(&ctrl_data_lock);
    return known;
}

struct service_ref {
    int output_id, service_id;
};

std::vector<service_ref> services_routing(int input_id, int prog_num)
{
    std::vector<service_ref> refs;
    for (const cfg_tx &tx : mcf::records<cfg_tx>(mcf_cfg.rules_tx))
        for (const cfg_tx_input &s : mcf::records<cfg_tx_input>(tx.dest_services))
            if (s.input_id == input_id && s.input_prog_num == prog_num)
                refs.push_back({tx.dest_id, s.service_id});
    return refs;
}

void resync_running(int output_id)
{
    if (manager_output *mo = manager_outputs_find_by_id(output_id))
        manager_output_sync_unique_inputs(mo);
}

} // namespace

extern "C" {

int mcfcfg_tx_input_sync_program_pids(cfg_tx_input *svc, int drop_first)
{
    if (!svc || !svc->list_pid_maps)
        return -1;
    // Dropped even when the program is not known (yet): rows of the program
    // routed before must not remap the one routed now.
    if (drop_first) {
        std::vector<int> ids;
        for (const cfg_tx_pid_map &m : mcf::records<cfg_tx_pid_map>(svc->list_pid_maps))
            ids.push_back(m.id);
        for (int id : ids)
            mcastfwdr_rem_row_out_svc_pid_map(svc, id);
    }
    local_pmt program;
    if (!program_of(svc->input_id, svc->input_prog_num, program))
        return -1;
    sync_rows(*svc, program);
    return 0;
}

int mcfcfg_tx_sync_program_pids(int input_id, int prog_num, kd_dataset *ids)
{
    local_pmt program;
    if (!program_of(input_id, prog_num, program))
        return -1;
    // Each service is looked up again before its turn: the row actions
    // announce their rows, and a listener may change the configuration.
    for (const service_ref &r : services_routing(input_id, prog_num)) {
        cfg_tx *tx = mcfcfg_tx_find_by_id(r.output_id);
        cfg_tx_input *s = tx ? cfg_tx_input_find_by_id(tx, r.service_id) : nullptr;
        if (!s || !s->list_pid_maps || s->input_id != input_id || s->input_prog_num != prog_num)
            continue;
        if (sync_rows(*s, program) && ids)
            kd_dataset_insert(ids, r.output_id);
    }
    return 0;
}

void mcfcfg_tx_collect_program_outputs(int input_id, int prog_num, kd_dataset *ids)
{
    for (const service_ref &r : services_routing(input_id, prog_num))
        kd_dataset_insert(ids, r.output_id);
}

void manager_outputs_resync_program_outputs(kd_dataset *routing, kd_dataset *rebuild)
{
    int deleted = 0;
    for (size_t i = 0; i < kd_dataset_get_length(rebuild); ++i) {
        int id = -1;
        if (kd_dataset_get_num(rebuild, i, &id) == 0 && manager_outputs_find_by_id(id))
            deleted += manager_outputs_delete(id);
    }
    if (deleted)
        manager_input_output_sync(deleted);
    for (size_t i = 0; i < kd_dataset_get_length(routing); ++i) {
        int id = -1;
        if (kd_dataset_get_num(routing, i, &id) == 0 && !kd_dataset_exists(rebuild, id))
            resync_running(id);
    }
}

} // extern "C"

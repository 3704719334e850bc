// A service's remap rows follow the program it routes: one row per PID of
// the program (PMT, a PCR of its own, every elementary stream), rows of
// PIDs the program dropped retired unless they hold a durable remap.
#include "mcf_cfg.h"
#include "mcf_services.h"

#include "ingress/manager_input.h"
#include "tables/input_tables.h"

#include <kerrow/param.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr uint8_t kComponentNameTag = 0xA3;
constexpr size_t kLabelMax = sizeof(cfg_tx_pid_map{}.label) - 1;

// The text of the first string of a component name descriptor's multiple
// string structure (its uncompressed segments), at most kLabelMax
// characters; every length is checked against the descriptor.
std::string component_name(const local_pmt_entry &e)
{
    const int total = e.es_info_len < 0 ? 0 : (e.es_info_len > LOCAL_ES_INFO_MAX ? LOCAL_ES_INFO_MAX : e.es_info_len);
    const uint8_t *d = e.es_info;
    for (int at = 0; at + 2 <= total;) {
        const int tag = d[at], len = d[at + 1];
        const int body = at + 2, end = body + len;
        if (end > total)
            break;
        at = end;
        if (tag != kComponentNameTag || len < 1 || d[body] == 0)
            continue;
        // number_strings, then ISO 639 code (3), number_segments, segments
        int p = body + 1 + 3;
        if (p >= end)
            return {};
        int segments = d[p++];
        std::string text;
        while (segments-- > 0 && p + 3 <= end) {
            const int compression = d[p], bytes = d[p + 2];
            p += 3;
            if (p + bytes > end)
                break;
            if (compression == 0)
                text.append(reinterpret_cast<const char *>(d + p), size_t(bytes));
            p += bytes;
        }
        if (const size_t nul = text.find('\0'); nul != std::string::npos)
            text.resize(nul);
        if (text.size() > kLabelMax)
            text.resize(kLabelMax);
        return text;
    }
    return {};
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
    // A copy, taken while the input's table handlers are held off: they
    // rewrite the PMT on the data path.
    local_pmt program;
    bool known = false;
    pthread_rwlock_wrlock(&ctrl_data_lock);
    manager_input *mi = svc->input_id < 0 ? nullptr : manager_inputs_find_by_id(svc->input_id);
    if (const local_pmt *pmt = mi ? input_table_info_get_service(mi->tables, svc->input_prog_num) : nullptr) {
        program = *pmt;
        known = true;
    }
    pthread_rwlock_unlock(&ctrl_data_lock);
    if (!known)
        return -1;
    sync_rows(*svc, program);
    return 0;
}

} // extern "C"

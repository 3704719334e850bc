// PID-handler population (see populate.h).
#include "populate.h"

#include "ingress/manager_input.h"
#include "router/output_view.h"
#include "router/packet_proc.h"
#include "status_queue.h"
#include "tables/virtual_input.h"

#include <kerrow/dataset.h>

#include <array>
#include <cstdio>
#include <memory>
#include <set>
#include <vector>

namespace {

constexpr int kPids = 8192;
constexpr int kNoPid = 8191;

using key_set = std::set<int>; // in_id * 8192 + pid; holds a whole input and more

int key_of(int id, int pid) { return id * kPids + pid; }

// As of the last population; rebuilt with the index.
struct routing_snapshot {
    std::vector<manager_output *> outputs;
    std::array<std::vector<manager_output *>, MCF_PHINDEX_MAX_INPUT_ID> single_input;
};
routing_snapshot g_snapshot;

void free_context(void *data)
{
    auto *rc = static_cast<routing_context *>(data);
    routing_context_fini(rc);
    delete rc;
}

// Adds the output to the handler of this kind for (input, pid), making it when missing.
int add_output_to_handler(manager_output *mo, int in_id, int pid, phdatatype kind, process_pkt_f fn)
{
    if (pid_handler *h = phindex_find_handler(in_id, pid, kind)) {
        if (routing_context_append(static_cast<routing_context *>(h->phdata.data), mo) < 0) {
            mcf_post_log(SQ_LOG_INFO, "PIDH: Failed appending %s PID handler for input %d, PID %d",
                         phdatatype_to_string(kind), in_id, pid);
            return -1;
        }
        return 0;
    }
    auto *rc = new (std::nothrow) routing_context{};
    if (!rc)
        return -1;
    routing_context_init(rc);
    if (routing_context_append(rc, mo) < 0) {
        mcf_post_log(SQ_LOG_ERROR, "PIDH: Failed appending routing context for input %d, PID %d", in_id, pid);
        free_context(rc);
        return -1;
    }
    if (phindex_append(in_id, pid, kind, rc, fn, free_context) != 0) {
        mcf_post_log(SQ_LOG_INFO, "PIDH: Failed inserting %s PID handler for input %d, PID %d",
                     phdatatype_to_string(kind), in_id, pid);
        free_context(rc);
        return -1;
    }
    return 0;
}

void append_table_handler(int id, int pid, phdatatype kind, process_pkt_f fn, void *data)
{
    if (phindex_append(id, pid, kind, data, fn, nullptr) != 0)
        mcf_post_log(SQ_LOG_INFO, "PIDH: Failed inserting %s PID handler for input %d, PID %d",
                     phdatatype_to_string(kind), id, pid);
}

// Every PID a real input may carry: its tables', its programs' and the fixed ones.
void collect_all_pids(const manager_input &mi, key_set &all)
{
    const input_table_info &t = *mi.tables;
    for (int pid : {0, 1, int(t.ca.emm_pid), int(t.ca.ecm_pid), 16, 17, 18, 20, kNoPid})
        if (pid >= 0 && pid < kPids)
            all.insert(key_of(mi.id, pid));
    for (int i = 0; i < t.num_programs && i < INPUT_PROGRAMS_MAX; ++i) {
        const local_pmt &p = t.services[i].pmt;
        for (int pid : {int(p.pmt_pid), int(p.pcr_pid)})
            if (pid >= 0 && pid < kPids)
                all.insert(key_of(mi.id, pid));
        for (int e = 0; e < p.num_pmt_entries && e < LOCAL_PMT_ENTRIES_MAX; ++e)
            if (p.pmt_entries[e].elementary_pid >= 0 && p.pmt_entries[e].elementary_pid < kPids)
                all.insert(key_of(mi.id, p.pmt_entries[e].elementary_pid));
    }
}

bool has_programs(const manager_input *mi) { return mi && mi->tables && mi->tables->num_programs > 0; }

void add_keys(manager_output *mo, const key_set &keys, phdatatype kind, process_pkt_f fn)
{
    for (int k : keys)
        add_output_to_handler(mo, k / kPids, k % kPids, kind, fn);
}

} // namespace

namespace mcf {

manager_output *const *single_input_outputs(int input_id, unsigned *count)
{
    if (input_id < 0 || input_id >= MCF_PHINDEX_MAX_INPUT_ID) {
        *count = 0;
        return nullptr;
    }
    const auto &v = g_snapshot.single_input[size_t(input_id)];
    *count = unsigned(v.size());
    return v.data();
}

unsigned populated_output_count() { return unsigned(g_snapshot.outputs.size()); }

void populate_from(manager_output *const *outputs, unsigned count)
{
    manager_inputs_foreach(add_table_pid_handlers);
    g_snapshot.outputs.assign(outputs, outputs + count);
    for (auto &v : g_snapshot.single_input)
        v.clear();
    for (manager_output *mo : g_snapshot.outputs) {
        const unsigned id = mcf::out_single_input_id(mo);
        if (mcf::out_single_input(mo) && id < MCF_PHINDEX_MAX_INPUT_ID)
            g_snapshot.single_input[id].push_back(mo);
    }
    for (manager_output *mo : g_snapshot.outputs)
        add_data_pid_handlers(mo);
    for (manager_output *mo : g_snapshot.outputs)
        add_remap_data_pids_to_routed_handlers(mo);
    for (manager_output *mo : g_snapshot.outputs)
        add_ca_id_to_routed_handlers(mo);
}

} // namespace mcf

extern "C" {

int mcastfwdr_populate_pidh(void)
{
    try {
        std::vector<manager_output *> outputs;
        mcf::for_each_output([&outputs](manager_output *mo) { outputs.push_back(mo); });
        mcf::populate_from(outputs.data(), unsigned(outputs.size()));
    } catch (...) {
        mcf_post_log(SQ_LOG_ERROR, "PIDH: out of memory while populating the routing table");
    }
    return -1;
}

int mcastfwdr_phindex_populate(void) { return mcastfwdr_populate_pidh(); }
int mcastfwdr_phindex_depopulate(void) { return mcastfwdr_depopulate_pidh(); }

int mcastfwdr_depopulate_pidh(void)
{
    phindex_clear();
    g_snapshot.outputs.clear();
    for (auto &v : g_snapshot.single_input)
        v.clear();
    return -1;
}

void add_table_pid_handlers(manager_input *mi)
{
    if (!mi || !mi->tables)
        return;
    const int id = mi->id;
    input_table_info &t = *mi->tables;
    append_table_handler(id, 0, PHDATATYPE_PAT, process_pkt_pat, nullptr);
    append_table_handler(id, 1, PHDATATYPE_CAT, process_pkt_cat, nullptr);
    if (t.ca.emm_pid != kNoPid)
        append_table_handler(id, t.ca.emm_pid, PHDATATYPE_EMM, process_pkt_emm, nullptr);
    if (t.ca.ecm_pid != kNoPid) {
        mcf_post_log(SQ_LOG_INFO, "PIDH: Inserting ECM handler for input %d, PID %d", id, t.ca.ecm_pid);
        append_table_handler(id, t.ca.ecm_pid, PHDATATYPE_ECM, process_pkt_ecm, nullptr);
    }
    append_table_handler(id, 17, PHDATATYPE_SDT, process_pkt_sdt, nullptr);
    for (int i = 0; i < t.num_programs && i < INPUT_PROGRAMS_MAX; ++i)
        append_table_handler(id, t.services[i].pmt.pmt_pid, PHDATATYPE_PMT, process_pkt_pmt, &t.services[i]);
}

void add_data_pid_handlers(manager_output *mo)
{
    if (!mo || mcf::out_single_input(mo))
        return;
    const int virt_id = virtual_input_get_ingress_id();
    for (const int in_id : mcf::out_inputs(mo)) {
        manager_input *mi = in_id == virt_id ? virtual_input_get_manager() : manager_inputs_find_by_id(in_id);
        if (!mi) {
            mcf_post_log(SQ_LOG_ERROR, "PIDH: Failed to add PID handlers for input %d", in_id);
            continue;
        }
        if (!mi->is_routable && mi->type != INGRTYPE_VIRT)
            continue;
        key_set all, routed, unrouted;
        if (mi->type != INGRTYPE_VIRT) {
            if (has_programs(mi))
                collect_all_pids(*mi, all);
        } else {
            for (const mcf::out_program &p : mcf::out_programs(mo)) {
                if (p.input_id != in_id || p.pnu < 0)
                    continue;
                kd_dataset *sources = kd_dataset_ctor(10, 0);
                if (!sources)
                    continue;
                virtual_input_collect_raw_inputs_under_program(p.pnu, sources);
                for (size_t i = 0; i < kd_dataset_get_length(sources); ++i) {
                    int src = -1;
                    kd_dataset_get_num(sources, i, &src);
                    const manager_input *raw = manager_inputs_find_by_id(src);
                    if (has_programs(raw))
                        collect_all_pids(*raw, all);
                }
                kd_dataset_dtor(sources);
            }
        }
        if (has_programs(mi)) {
            for (const mcf::out_program &p : mcf::out_programs(mo)) {
                if (p.input_id != in_id)
                    continue;
                const local_pmt *pmt = input_table_info_get_service(mi->tables, p.pnu);
                if (!pmt)
                    continue;
                if (pmt->pcr_pid >= 0 && pmt->pcr_pid < kPids && pmt->pcr_ingress_id >= 0)
                    routed.insert(key_of(pmt->pcr_ingress_id, pmt->pcr_pid));
                for (int e = 0; e < pmt->num_pmt_entries && e < LOCAL_PMT_ENTRIES_MAX; ++e) {
                    const local_pmt_entry &en = pmt->pmt_entries[e];
                    if (en.elementary_pid >= 0 && en.elementary_pid < kPids && en.ingress_id >= 0)
                        routed.insert(key_of(en.ingress_id, en.elementary_pid));
                }
            }
        }
        for (int k : all)
            if (!routed.count(k))
                unrouted.insert(k);
        add_keys(mo, all, PHDATATYPE_ALL_DATA, process_all_data);
        add_keys(mo, unrouted, PHDATATYPE_UNROUTED_DATA, process_unrouted_data);
        add_keys(mo, routed, PHDATATYPE_ROUTED_DATA, process_routed_data);
    }
}

void add_remap_data_pids_to_routed_handlers(manager_output *mo)
{
    if (!mo || mcf::out_single_input(mo))
        return;
    for (const mcf::out_program &p : mcf::out_programs(mo))
        for (unsigned i = 0; i < p.num_maps; ++i) {
            const int in_pid = p.maps[i].in_pid, out_pid = p.maps[i].out_pid;
            if (in_pid == out_pid)
                continue;
            const int carrier = input_table_info_get_ingress_id(p.input_id, p.pnu, in_pid);
            if (carrier >= 0)
                add_pid_remap_to_pid_handler(mo, carrier, in_pid, out_pid);
        }
}

void add_ca_id_to_routed_handlers(manager_output *mo)
{
    if (!mo || mcf::out_single_input(mo))
        return;
    const int virt_id = virtual_input_get_ingress_id();
    for (const mcf::out_program &p : mcf::out_programs(mo)) {
        if (p.ca_session_id == -1)
            continue;
        manager_input *mi = p.input_id == virt_id ? virtual_input_get_manager() : manager_inputs_find_by_id(p.input_id);
        const local_pmt *pmt = mi && mi->tables ? input_table_info_get_service(mi->tables, p.pnu) : nullptr;
        if (!pmt)
            continue;
        if (pmt->pcr_pid >= 1 && pmt->pcr_ingress_id >= 1 && local_pmt_has_separate_pcr(pmt))
            add_ca_to_pid_handler(mo, pmt->pcr_ingress_id, pmt->pcr_pid, p.ca_session_id);
        for (int e = 0; e < pmt->num_pmt_entries && e < LOCAL_PMT_ENTRIES_MAX; ++e) {
            const local_pmt_entry &en = pmt->pmt_entries[e];
            if (en.elementary_pid >= 1 && en.ingress_id >= 1)
                add_ca_to_pid_handler(mo, en.ingress_id, en.elementary_pid, p.ca_session_id);
        }
    }
}

int add_unreferenced_pid_handler(manager_output *mo, int in_id, int pid)
{
    if (!mo)
        return -1;
    const int a = add_output_to_handler(mo, in_id, pid, PHDATATYPE_ALL_DATA, process_all_data);
    const int b = add_output_to_handler(mo, in_id, pid, PHDATATYPE_UNROUTED_DATA, process_unrouted_data);
    return a == 0 && b == 0 ? 0 : -1;
}

int add_ignored_pid_handler(manager_input *mi, int pid)
{
    if (!mi)
        return -1;
    return phindex_append(mi->id, pid, PHDATATYPE_OTHER, nullptr, process_ignored_data, nullptr);
}

int add_pid_remap_to_pid_handler(manager_output *mo, int in_id, int in_pid, int remap_pid)
{
    if (!mo)
        return -1;
    pid_handler *h = phindex_find_handler(in_id, in_pid, PHDATATYPE_ROUTED_DATA);
    if (!h || !h->phdata.data)
        return -1;
    return routing_context_set_remap_pid(static_cast<routing_context *>(h->phdata.data), mo, unsigned(remap_pid));
}

int add_ca_to_pid_handler(manager_output *mo, int in_id, int pid, int ca_id)
{
    if (!mo)
        return -1;
    mcf_post_log(SQ_LOG_DEBUG, "PIDH: %s (%d %d %u -> %d)", "add_ca_to_pid_handler", mcf::out_id(mo), in_id,
                 unsigned(pid), ca_id);
    pid_handler *h = phindex_find_handler(in_id, pid, PHDATATYPE_ROUTED_DATA);
    if (!h || !h->phdata.data ||
        routing_context_set_ca_session_id(static_cast<routing_context *>(h->phdata.data), mo, ca_id) != 0) {
        mcf_post_log(SQ_LOG_ERROR, "PIDH: %s failed to add", "add_ca_to_pid_handler");
        return -1;
    }
    return 0;
}

void unique_pid_dataset_to_string(kd_dataset *set, char *buf, size_t len)
{
    if (!buf || len == 0)
        return;
    buf[0] = '\0';
    size_t used = 0;
    for (size_t i = 0; set && i < kd_dataset_get_length(set); ++i) {
        if (len - used < 2)
            break;
        int k = 0;
        kd_dataset_get_num(set, i, &k);
        const int n = std::snprintf(buf + used, len - used, "%d-%d,", k / kPids, k % kPids);
        if (n < 0 || size_t(n) >= len - used) {
            buf[used] = '\0'; // the entry did not fit: keep the text whole
            break;
        }
        used += size_t(n);
    }
}

} // extern "C"

// The virtual input and its deferred program updates.
#include "tables/virtual_input.h"

#include "cfg/mcf_services.h"
#include "engine.h"
#include "ingress/manager_input.h"
#include "mcastfwdr.h"
#include "router/phindex.h"
#include "status_queue.h"
#include "tables/input_tables.h"

#include <kerrow/cuvent.h>
#include <kerrow/dataset.h>
#include <kerrow/param.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <set>
#include <string>

namespace {

constexpr int kMaxPrograms = 63;
constexpr int kMaxSdtServices = 24;
constexpr int kSetMax = 50;
constexpr int kApplyAfterTicks = 4;

struct Cache {
    int pending = 0;
    std::set<int> added, updated, all;
    bool sdt_has_changed = false;
    input_table_info tables{}; // programs only: no demultiplexers
};

struct Virtual {
    cfg_rx *rx = nullptr;
    manager_input *mi = nullptr;
    Cache cache;
    std::string status_pids;
};

std::unique_ptr<Virtual> g_vi;

void add_capped(std::set<int> &s, int v)
{
    if (s.size() < size_t(kSetMax) || s.count(v))
        s.insert(v);
}

// The XSB input a reference names, or -1.
int source_input(const pidref &r)
{
    const char a = r.src_addr[1], b = r.src_addr[2];
    if (a < '0' || a > '9' || b < '0' || b > '9')
        return -1;
    const int slot = a - '0', index = b - '0';
    for (int id : {1000 + 100 * slot + index, 10 * slot + index}) {
        const cfg_rx *rx = mcfcfg_rx_find_by_id(id);
        if (rx && rx->ingress_type == INGRTYPE_XSB)
            return id;
    }
    return -1;
}

void rebuild_program_info(local_pmt &p, const virtual_program_data &d)
{
    local_pmt_clear_program_info(&p);
    if (d.encrypt_mode)
        local_pmt_init_ca_descriptor(&p);
    if (d.splice_mode)
        local_pmt_init_dvs253_descriptor(&p);
}

void rebuild_entries(local_pmt &p, const virtual_program_data &d)
{
    p.num_pmt_entries = 0;
    for (const pidref &e : d.entries) {
        if (e.pid == PID_NONE)
            break;
        const int src = source_input(e);
        if (src < 0)
            continue;
        const int i = local_pmt_add_entry(&p, e.strm_type, src, e.pid);
        if (i < 0) {
            mcf_post_log(SQ_LOG_WARN, "MCF: Virtual program %d failed to add entry", d.prog_num);
            break;
        }
        local_pmt_set_entry_es_info(&p, i, e.es_info, std::clamp(e.es_info_len, 0, int(LOCAL_ES_INFO_MAX)));
    }
}

void set_string(local_string &s, const char *text, size_t max)
{
    const size_t n = strnlen(text, max);
    std::memcpy(s.string, text, n);
    s.string[n] = 0;
    s.len = int(n);
}

void on_virtual_program(cuvent_wrapper *w)
{
    const auto *d = static_cast<const virtual_program_data *>(w ? w->emit_ctx : nullptr);
    if (!g_vi || !d)
        return;
    Virtual &vi = *g_vi;
    Cache &c = vi.cache;
    const int id = vi.rx->ingress_id;
    char name[sizeof d->name + 1];
    std::snprintf(name, sizeof name, "%.*s", int(sizeof d->name), d->name);
    if (c.pending == 0)
        c.pending = 1;

    if (local_pmt *p = input_table_info_get_service(&c.tables, d->prog_num)) {
        local_sdt_service *svc = input_table_info_get_sdt_service(&c.tables, d->prog_num);
        if (svc && std::strcmp(svc->name.string, name) != 0) {
            mcf_post_log(SQ_LOG_INFO, "MCF: Virtual program %d: SDT name change %s -> %s", d->prog_num,
                         svc->name.string, name);
            set_string(svc->name, name, sizeof name - 1);
            c.sdt_has_changed = true;
            mcf_post_program_status_name(uint32_t(id), uint32_t(d->prog_num), name);
        }
        p->pmt_pid = d->pmtref.pid;
        p->pcr_pid = d->pcrref.pid;
        p->pcr_ingress_id = source_input(d->pcrref);
        rebuild_program_info(*p, *d);
        rebuild_entries(*p, *d);
        add_capped(c.updated, d->prog_num);
        add_capped(c.all, d->prog_num);
        return;
    }

    bool sources = source_input(d->pmtref) >= 0 && source_input(d->pcrref) >= 0;
    for (const pidref &e : d->entries) {
        if (e.pid == PID_NONE)
            break;
        sources = sources && source_input(e) >= 0;
    }
    if (!sources) {
        mcf_post_log(SQ_LOG_WARN, "MCF: Ignore adding VP-%d. Inputs not available.", d->prog_num);
        return;
    }
    const char *refusal = nullptr;
    if (c.tables.num_programs >= kMaxPrograms)
        refusal = "Virtual Input tables - Program entries - Overflow";
    else if (c.tables.sdt.num_service_info >= kMaxSdtServices)
        refusal = "Virtual Input tables - SDT entries - Overflow";
    if (refusal || kd_param_get_type(vi.rx->param_services) == PARAMTYPE_NONE) {
        if (refusal)
            mcf_post_log(SQ_LOG_ERROR, "%s", refusal);
        else
            mcf_post_log(SQ_LOG_ERROR, "Could not allocate program params for input id: %d (param type: none)", id);
        mcf_post_log(SQ_LOG_ERROR, "Failed to add virtual program %d", d->prog_num);
        return;
    }
    mcf_post_log(SQ_LOG_INFO, "MCF: Adding VP-%d (%s) to virtual input table (encrypt %d) (splice %d)", d->prog_num,
                 name, d->encrypt_mode, d->splice_mode);
    local_sdt_service &svc = c.tables.sdt.service_info[c.tables.sdt.num_service_info++];
    svc = local_sdt_service{};
    svc.pnu = d->prog_num;
    svc.running_status = 4;
    svc.service_type = 1;
    set_string(svc.name, name, sizeof name - 1);
    pmt_state &st = c.tables.services[c.tables.num_programs++];
    st.dmux = nullptr;
    local_pmt &p = st.pmt;
    local_pmt_init(&p, d->prog_num, d->pmtref.pid, 0);
    p.slot_num = d->slot_num;
    p.vid_index = d->vid_index;
    p.pcr_pid = d->pcrref.pid;
    p.pcr_ingress_id = source_input(d->pcrref);
    p.ecm_pid = PID_NONE;
    p.scram_mode = -1;
    rebuild_program_info(p, *d);
    rebuild_entries(p, *d);
    mcf_post_program_status_add(uint32_t(id), uint32_t(d->prog_num), name,
                                d->encrypt_mode ? CASTATUS_BISS1 : CASTATUS_CLEAR);
    add_capped(c.added, d->prog_num);
    add_capped(c.all, d->prog_num);
}

// The live tables of the virtual input as the cache has them.
void copy_to_live(const input_table_info &from, input_table_info &to)
{
    input_table_info_clear(&to);
    to.pat_version = 1;
    to.sdt_version = 1;
    to.num_programs = from.num_programs;
    to.populated = from.num_programs > 0;
    for (int i = 0; i < from.num_programs; ++i) {
        to.services[i].pmt = from.services[i].pmt;
        to.services[i].dmux = nullptr;
    }
    to.sdt = from.sdt;
}

void on_virtual_programs_clear(cuvent_wrapper *)
{
    if (!g_vi)
        return;
    Virtual &vi = *g_vi;
    mcf_post_log(SQ_LOG_DEBUG, "MCF: Virtual programs Clear");
    {
        mcf::write_lock lock;
        if (vi.mi && vi.mi->tables) {
            input_table_info_clear(vi.mi->tables);
            vi.mi->tables->pat_version = 1;
            vi.mi->tables->sdt_version = 1;
        }
    }
    Cache &c = vi.cache;
    c.pending = 0;
    c.added.clear();
    c.updated.clear();
    c.sdt_has_changed = false;
    input_table_info_clear(&c.tables);
    mcfcfg_rx_clear_all_program_status(vi.rx);
}

} // namespace

extern "C" {

int virtual_input_init(mcastfwdr_cfg *cfg)
{
    if (g_vi || !cfg)
        return -1;
    cfg_rx *rx = mcfcfg_rx_add_virt();
    if (!rx)
        return -1;
    mcastfwdr_allocate_rule_input(cfg->tbl_inputs, rx);
    manager_input *mi = nullptr;
    {
        mcf::write_lock lock;
        mi = manager_inputs_add(rx);
        if (mi) {
            mi->socket_id = 20000;
            mi->streaming = true;
            mi->tables->pat_version = 1;
            mi->tables->sdt_version = 1;
        }
    }
    if (!mi) {
        mcfcfg_rx_rem(rx);
        return -1;
    }
    g_vi = std::make_unique<Virtual>();
    g_vi->rx = rx;
    g_vi->mi = mi;
    input_table_info_clear(&g_vi->cache.tables);
    rx->ingress_stream_detected = 1;
    mcf_post_log(SQ_LOG_DEBUG, "MCF: Input %d Added (VRT)", rx->ingress_id);
    kd_cuvent_register_cb(mcf_pli, "virtual_program", on_virtual_program, nullptr, CUVFLT_NONE);
    kd_cuvent_register_cb(mcf_pli, "virtual_programs_clear", on_virtual_programs_clear, nullptr, CUVFLT_NONE);
    return 0;
}

void virtual_input_fini(void)
{
    if (!g_vi)
        return;
    const int id = g_vi->rx->ingress_id;
    mcf_post_log(SQ_LOG_DEBUG, "Input %d Deleted", id);
    {
        mcf::write_lock lock;
        manager_inputs_delete(id);
    }
    mcfcfg_rx_rem(g_vi->rx);
    input_table_info_clear(&g_vi->cache.tables);
    g_vi.reset();
}

int virtual_input_get_ingress_id(void) { return g_vi ? g_vi->rx->ingress_id : -1; }

manager_input *virtual_input_get_manager(void) { return g_vi ? g_vi->mi : nullptr; }

int virtual_input_collect_raw_inputs_under_program(int pnu, kd_dataset *ids)
{
    if (!g_vi || !g_vi->mi || !g_vi->mi->tables) {
        mcf_post_log(SQ_LOG_ERROR, "Virtual input manager not constructed!");
        return 0;
    }
    const input_table_info *t = g_vi->mi->tables;
    int found = 1;
    for (int i = 0; i < t->num_programs; ++i) {
        const local_pmt &p = t->services[i].pmt;
        if (p.pnu != pnu)
            continue;
        found = 0;
        for (int j = 0; j < p.num_pmt_entries; ++j)
            kd_dataset_insert(ids, p.pmt_entries[j].ingress_id);
    }
    return found;
}

void virtual_input_check_on_vp_updates_pending(void)
{
    if (!g_vi || g_vi->cache.pending == 0)
        return;
    Virtual &vi = *g_vi;
    Cache &c = vi.cache;
    if (c.pending <= kApplyAfterTicks) {
        ++c.pending;
        return;
    }
    mcf_post_log(SQ_LOG_DEBUG, "MCF: Update Virtual Programs (deferred): Adding: %u. Updating: %u",
                 unsigned(c.added.size()), unsigned(c.updated.size()));
    std::set<int> pids = {0, 16, 17, 18, 20, 8191};
    for (int i = 0; i < c.tables.num_programs; ++i) {
        local_pmt &p = c.tables.services[i].pmt;
        if (c.updated.count(p.pnu))
            p.pmt_version = (p.pmt_version + 1) % 32;
        pids.insert(p.pmt_pid);
        pids.insert(p.pcr_pid);
        for (int j = 0; j < p.num_pmt_entries; ++j)
            pids.insert(p.pmt_entries[j].elementary_pid);
    }
    vi.status_pids.clear();
    for (int pid : pids) {
        std::string next = (vi.status_pids.empty() ? "" : ",") + std::to_string(pid);
        if (vi.status_pids.size() + next.size() > 255)
            break;
        vi.status_pids += next;
    }
    {
        mcf::write_lock lock;
        copy_to_live(c.tables, *vi.mi->tables);
    }
    // The services routing the programs follow their PIDs between the two
    // locked steps: the row actions take the lock themselves and announce
    // their rows, which must not happen with it held.
    std::unique_ptr<kd_dataset, int (*)(kd_dataset *)> routing(kd_dataset_ctor(kSetMax, 0), kd_dataset_dtor);
    std::unique_ptr<kd_dataset, int (*)(kd_dataset *)> rebuild(kd_dataset_ctor(kSetMax, 0), kd_dataset_dtor);
    for (int pnu : c.all) {
        mcfcfg_tx_sync_program_pids(vi.rx->ingress_id, pnu, rebuild.get());
        mcfcfg_tx_collect_program_outputs(vi.rx->ingress_id, pnu, routing.get());
    }
    {
        mcf::write_lock lock;
        manager_outputs_resync_program_outputs(routing.get(), rebuild.get());
        input_tables_notify_program_tables(vi.rx->ingress_id, -1);
        if (c.sdt_has_changed)
            input_tables_notify_sdt_tables(vi.rx->ingress_id);
        phindex_repopulate();
    }
    c.added.clear();
    c.updated.clear();
    c.all.clear();
    c.sdt_has_changed = false;
    c.pending = 0;
}

const char *virtual_input_status_pids(void) { return g_vi ? g_vi->status_pids.c_str() : ""; }

int mcastfwdr_virtual_inputs_init(void) { return virtual_input_init(&mcf_cfg); }
void mcastfwdr_virtual_inputs_fini(void) { virtual_input_fini(); }
void mcastfwdr_virtual_inputs_check_pending(void) { virtual_input_check_on_vp_updates_pending(); }

} // extern "C"

// The output managers: one per output record that is switched on and can
// transmit, kept in creation order in a list whose nodes never move; the
// fan-out of input, KLV-source and CA-session events to the outputs that
// use them; and the monitors the data threads run.
#include "outputs/manager_output.h"

#include "ingress/manager_input.h"
#include "mcastfwdr.h"
#include "tables/input_tables.h"
#include "tables/virtual_input.h"

#include <kerrow/alarm.h>
#include <kerrow/dataset.h>
#include <kerrow/frame.h>

#include <cstdio>
#include <cstring>
#include <list>
#include <memory>
#include <vector>

namespace {

// Loop thread with ctrl_data_lock held for writing where it changes; the
// data threads walk it under the read lock.
std::unique_ptr<std::list<manager_output>> g_list;

// An SRT output whose egress holds its session.
bool srt_session(const manager_output &mo) { return mo.egress && mo.egress->protocol == PROTOCOL_SRT; }

struct dataset_ptr {
    kd_dataset *s;
    explicit dataset_ptr(size_t n) : s(kd_dataset_ctor(n, 0)) {}
    ~dataset_ptr() { kd_dataset_dtor(s); }
    dataset_ptr(const dataset_ptr &) = delete;
    dataset_ptr &operator=(const dataset_ptr &) = delete;
    bool has(int v) const { return s && kd_dataset_exists(s, v); }
};

const char *type_name(egress_types t)
{
    switch (t) {
    case EGRTYPE_ASI:
        return "ASI";
    case EGRTYPE_DEC:
        return "DEC";
    default:
        return "NET";
    }
}

bool input_is_virtual(const cfg_rx *rx) { return rx->ingress_type == INGRTYPE_VIRT; }

bool tx_has_service_of(const cfg_tx &tx, int input_id)
{
    for (const cfg_tx_input &s : mcf::records<cfg_tx_input>(tx.dest_services))
        if (s.input_id == input_id)
            return true;
    return false;
}

// The real inputs under the output's programs of the virtual input.
void collect_virtual_raw_inputs(const manager_output &mo, kd_dataset *set)
{
    const int virt = virtual_input_get_ingress_id();
    for (const out_services &os : mo.unique_inputs)
        if (os.input_id == virt)
            for (const routed_pgm_cfg &p : os.services)
                virtual_input_collect_raw_inputs_under_program(p.pnu, set);
}

bool takes_program(manager_output &mo, int input_id, int pnu)
{
    out_services *os = out_service_find(&mo.unique_inputs, input_id);
    if (!os)
        return false;
    if (pnu == 0)
        return true;
    for (const routed_pgm_cfg &p : os->services)
        if (p.pnu == pnu)
            return true;
    return false;
}

void set_tmr_alarm(const manager_output &mo, alarm_state st)
{
    char label[KD_ALARM_LABEL_SIZE];
    std::snprintf(label, sizeof label, "%s: %s", mo.configured_label, "Service data exceeds TMR");
    kd_alarm_detected_in_worker_thread(label, st);
}

// What the inputs' table handlers tell the outputs.
void on_pgm_tables(int input_id, int pnu)
{
    const int p = pnu < 0 ? 0 : pnu;
    manager_outputs_update_program_tables(input_id, p);
    manager_outputs_rebuild_fill_engine(input_id, p);
}
void on_sdt_tables(int input_id) { manager_outputs_update_sdt_table(input_id, 0); }
void on_emm(int input_id, const uint8_t *section, size_t) { manager_outputs_process_emm_for_input(input_id, section); }
void on_ecm(int input_id, const uint8_t *section, size_t) { manager_outputs_process_ecm_for_input(input_id, section); }
const input_tables_listener kListener{on_pgm_tables, on_sdt_tables, on_emm, on_ecm};

// A CA change made an EMM set due: prepare it on the loop as soon as the
// caller has let go of ctrl_data_lock (the timer fires from the loop).
bool g_emm_prepare_scheduled = false; // loop thread
void schedule_emm_preparation(manager_output &mo)
{
    mo.emm_prepare_due = true;
    if (g_emm_prepare_scheduled || !mcf_pli)
        return;
    g_emm_prepare_scheduled = kd_frame_timeout_register(
                                  "mcastfwdr EMM preparation",
                                  [](void *) {
                                      g_emm_prepare_scheduled = false;
                                      manager_outputs_prepare_due_emms();
                                  },
                                  nullptr, 0.0, 0, mcf_pli) == 0;
}

} // namespace

extern "C" {

int manager_outputs_init(void)
{
    // The maintainer's thread may already be looking, under the read lock.
    mcf::write_lock lock;
    if (!g_list) {
        g_list = std::make_unique<std::list<manager_output>>();
        input_tables_set_listener(&kListener);
    }
    return 0;
}

int manager_outputs_deinit(void)
{
    if (!g_list)
        return 0;
    mcf::write_lock lock;
    std::vector<int> ids;
    for (const manager_output &mo : *g_list)
        if (ids.size() < MO_INPUT_SET_MAX)
            ids.push_back(mo.id);
    for (int id : ids)
        manager_outputs_delete(id);
    for (manager_output &mo : *g_list)
        manager_output_dtor(&mo);
    g_list.reset();
    input_tables_set_listener(nullptr);
    g_emm_prepare_scheduled = false; // its timer goes with the plug-in's watchers
    return 0;
}

manager_output *manager_outputs_add(cfg_tx *tx, const ip_stop_sdi_status *enc_status)
{
    if (!g_list || !tx)
        return nullptr;
    manager_output &mo = g_list->emplace_back();
    if (manager_output_ctor(&mo, tx, enc_status) != 0) {
        manager_output_dtor(&mo);
        g_list->pop_back();
        return nullptr;
    }
    if (mo.type == EGRTYPE_ASI)
        mcastfwdr_asi_hw_cfg_bitrate(tx, mo.configured_dest_bps, int(mo.configured_asi_out_type));
    mcf_post_log(SQ_LOG_DEBUG, "MCF: Output %d Added (%s)", mo.id, type_name(mo.type));
    return &mo;
}

int manager_outputs_delete(int id)
{
    if (!g_list)
        return 0;
    for (auto it = g_list->begin(); it != g_list->end(); ++it) {
        if (it->id != id)
            continue;
        manager_output_store_table_versions_in_cfg(&*it);
        manager_output_dtor(&*it);
        g_list->erase(it);
        mcf_post_log(SQ_LOG_DEBUG, "MCF: Output %d Deleted", id);
        return 1;
    }
    return 0;
}

int manager_outputs_sync(mcastfwdr_cfg *cfg)
{
    if (!g_list || !cfg)
        return 0;
    int count = 0;
    std::vector<int> gone;
    for (const manager_output &mo : *g_list) {
        const cfg_tx *tx = mcfcfg_tx_find_by_id(mo.id);
        if (!tx || tx->dest_transmit != DEST_XMIT_ON)
            gone.push_back(mo.id);
    }
    for (int id : gone)
        count += manager_outputs_delete(id);
    for (cfg_tx &tx : mcf::records<cfg_tx>(cfg->rules_tx)) {
        if (tx.dest_transmit != DEST_XMIT_ON || manager_outputs_find_by_id(tx.dest_id) ||
            !manager_output_can_xmit_data(&tx))
            continue;
        manager_outputs_add(&tx, cfg->enc_prog_enc_status);
        ++count;
    }
    return count;
}

unsigned manager_outputs_disable_on_interface(mcastfwdr_cfg *cfg, const char *ifname)
{
    if (!cfg || !ifname)
        return 0;
    unsigned n = 0;
    for (const cfg_tx &tx : mcf::records<cfg_tx>(cfg->rules_tx))
        if (std::strncmp(tx.dest_intf, ifname, sizeof tx.dest_intf) == 0)
            n += unsigned(manager_outputs_delete(tx.dest_id));
    return n;
}

manager_output *manager_outputs_find_by_id(int id)
{
    if (!g_list)
        return nullptr;
    for (manager_output &mo : *g_list)
        if (mo.id == id)
            return &mo;
    return nullptr;
}

manager_output *manager_outputs_find_by_route_id(const char *route_id)
{
    if (!g_list || !route_id)
        return nullptr;
    for (manager_output &mo : *g_list)
        if (std::strcmp(mo.route_id, route_id) == 0)
            return &mo;
    return nullptr;
}

int manager_outputs_member_has_unique_route(const manager_output *mo)
{
    if (!g_list || !mo)
        return 1;
    for (const manager_output &o : *g_list)
        if (&o != mo && std::strcmp(o.route_id, mo->route_id) == 0)
            return 0;
    return 1;
}

int manager_outputs_route_exists_in_set(const char *route_id)
{
    return manager_outputs_find_by_route_id(route_id) ? 1 : 0;
}

void manager_outputs_foreach(void (*fn)(manager_output *mo, va_list args), ...)
{
    if (!g_list || !fn)
        return;
    va_list args;
    va_start(args, fn);
    for (manager_output &mo : *g_list) {
        va_list copy;
        va_copy(copy, args);
        fn(&mo, copy);
        va_end(copy);
    }
    va_end(args);
}

int manager_output_cmp_by_id(const manager_output *a, const manager_output *b)
{
    return a->id < b->id ? -1 : a->id > b->id ? 1 : 0;
}

unsigned manager_outputs_count(void) { return g_list ? unsigned(g_list->size()) : 0; }

// ---- fan-out from inputs ----

int manager_outputs_delete_with_non_virtual_input(const cfg_rx *rx)
{
    if (!rx || input_is_virtual(rx)) {
        mcf_post_log(SQ_LOG_ERROR, "Invalid use of function: %s", __func__);
        return 0;
    }
    int n = 0;
    const int virt = virtual_input_get_ingress_id();
    for (const cfg_tx &tx : mcf::records<cfg_tx>(mcf_cfg.rules_tx)) {
        if (tx.dest_single_input_mode == DEST_SIM_ON)
            continue;
        bool hit = false;
        if (rx->ingress_is_routable) {
            hit = tx_has_service_of(tx, rx->ingress_id);
        } else {
            dataset_ptr set(MO_INPUT_SET_MAX);
            for (const cfg_tx_input &s : mcf::records<cfg_tx_input>(tx.dest_services))
                if (s.input_id == virt && s.input_id != -1)
                    virtual_input_collect_raw_inputs_under_program(s.input_prog_num, set.s);
            hit = set.has(rx->ingress_id);
        }
        if (hit)
            n += manager_outputs_delete(tx.dest_id);
    }
    return n;
}

int manager_outputs_delete_routing_single_input(int input_id)
{
    int n = 0;
    for (const cfg_tx &tx : mcf::records<cfg_tx>(mcf_cfg.rules_tx))
        if (tx.dest_single_input_mode == DEST_SIM_ON && tx.dest_single_input_id == input_id)
            n += manager_outputs_delete(tx.dest_id);
    return n;
}

int manager_outputs_delete_with_virtual_input_pgm(int pnu, mcastfwdr_cfg *cfg)
{
    if (!cfg)
        return 0;
    const int virt = virtual_input_get_ingress_id();
    int n = 0;
    for (const cfg_tx &tx : mcf::records<cfg_tx>(cfg->rules_tx)) {
        bool hit = false;
        for (const cfg_tx_input &s : mcf::records<cfg_tx_input>(tx.dest_services))
            hit = hit || (s.input_id == virt && s.input_prog_num == pnu);
        if (hit)
            n += manager_outputs_delete(tx.dest_id);
    }
    return n;
}

int manager_outputs_update_input_rate(const cfg_rx *rx, int prev_bps)
{
    if (!rx || input_is_virtual(rx)) {
        mcf_post_log(SQ_LOG_ERROR, "Invalid use of function: %s", __func__);
        return -1;
    }
    if (!g_list)
        return -1;
    if (rx->ingress_is_routable) {
        mcf::manager_outputs_update_routable_input_rate(rx->ingress_id, rx->ingress_bps, prev_bps);
        return 0;
    }
    const int virt = virtual_input_get_ingress_id();
    for (manager_output &mo : *g_list) {
        if (mo.cfg_single_input_rtg_enabled || !out_service_find(&mo.unique_inputs, virt))
            continue;
        dataset_ptr set(MO_INPUT_SET_MAX);
        collect_virtual_raw_inputs(mo, set.s);
        if (set.has(rx->ingress_id))
            manager_output_update_input_rate(&mo, rx->ingress_id, rx->ingress_bps, prev_bps);
    }
    return 0;
}

int manager_outputs_update_on_input_stream_loss(const manager_input *mi)
{
    if (!mi || !g_list || mi->type == INGRTYPE_VIRT || !mi->is_routable) {
        mcf_post_log(SQ_LOG_ERROR, "Invalid use of function: %s", __func__);
        return -1;
    }
    for (manager_output &mo : *g_list) {
        if (mo.cfg_single_input_rtg_enabled)
            continue;
        const bool uses = manager_output_uses_input(&mo, mi->id);
        if (mo.biss2ca_rx && uses) {
            biss2ca_rx_reset(mo.biss2ca_rx);
            mcf_post_log(SQ_LOG_INFO, "Output %d reset BISS CA state", mo.id);
        }
        if (uses)
            manager_output_update_on_input_stream_loss(&mo, mi->id, mi->configured_bps);
    }
    return 0;
}

int manager_outputs_update_program_tables(int input_id, int pnu)
{
    if (!g_list)
        return -1;
    for (manager_output &mo : *g_list)
        if (takes_program(mo, input_id, pnu))
            manager_output_update_program_tables(&mo, 0);
    return 0;
}

int manager_outputs_rebuild_fill_engine(int input_id, int pnu)
{
    if (!g_list)
        return -1;
    for (manager_output &mo : *g_list)
        if (!mo.cfg_single_input_rtg_enabled && takes_program(mo, input_id, pnu))
            manager_output_rebuild_fill_engine(&mo);
    return 0;
}

int manager_outputs_update_sdt_table(int input_id, int pnu)
{
    if (!g_list)
        return -1;
    for (manager_output &mo : *g_list) {
        if (!takes_program(mo, input_id, pnu))
            continue;
        if (mo.configured_tables_type == TABLES_TYPE_DVB)
            manager_output_update_sdt_table(&mo, nullptr);
        else
            manager_output_update_atsc_tables(&mo, nullptr, 3);
    }
    return 0;
}

int manager_outputs_process_emm_for_input(int input_id, const uint8_t *section)
{
    if (!g_list)
        return -1;
    for (manager_output &mo : *g_list)
        if (mo.biss2ca_rx && manager_output_uses_input(&mo, input_id))
            if (biss2ca_rx_process_emm(mo.biss2ca_rx, section) == 1)
                mcf_post_log(SQ_LOG_INFO, "Output %d EMM authorized", mo.id);
    return 0;
}

int manager_outputs_process_ecm_for_input(int input_id, const uint8_t *section)
{
    if (!g_list)
        return -1;
    for (manager_output &mo : *g_list)
        if (mo.biss2ca_rx && manager_output_uses_input(&mo, input_id))
            biss2ca_rx_process_ecm(mo.biss2ca_rx, section);
    return 0;
}

// ---- fan-out from KLV sources and CA sessions ----

void manager_outputs_update_program_tables_for_klv_source(int id)
{
    if (!g_list)
        return;
    for (manager_output &mo : *g_list)
        if (manager_output_uses_klv_source(&mo, id))
            manager_output_update_program_tables(&mo, 0);
}

void manager_outputs_update_program_tables_for_ca_session(int id)
{
    if (!g_list)
        return;
    std::vector<int> ids;
    for (const manager_output &mo : *g_list)
        if (manager_output_uses_ca_session(&mo, id))
            ids.push_back(mo.id);
    int n = 0;
    for (int out : ids)
        n += manager_outputs_delete(out);
    if (n)
        manager_input_output_sync(n);
}

void manager_outputs_update_flags_for_ca_session(int session_id, uint8_t flag)
{
    if (!g_list)
        return;
    for (manager_output &mo : *g_list)
        if (mo.biss2ca_tx && manager_output_uses_ca_session(&mo, session_id)) {
            biss2ca_tx_set_flags(mo.biss2ca_tx, flag);
            schedule_emm_preparation(mo);
        }
}

void manager_outputs_revoke_key_for_ca_session(int session_id, const char *pem)
{
    if (!g_list)
        return;
    for (manager_output &mo : *g_list)
        if (mo.biss2ca_tx && manager_output_uses_ca_session(&mo, session_id)) {
            biss2ca_tx_revoke_rx_key(mo.biss2ca_tx, pem);
            schedule_emm_preparation(mo);
        }
}

void manager_outputs_entitle_key_for_ca_session(int session_id, const char *pem)
{
    if (!g_list)
        return;
    for (manager_output &mo : *g_list)
        if (mo.biss2ca_tx && manager_output_uses_ca_session(&mo, session_id)) {
            biss2ca_tx_entitle_rx_key(mo.biss2ca_tx, pem);
            schedule_emm_preparation(mo);
        }
}

// ---- monitors ----

// SRT sessions belong to the egress threads; the maintainer connects them
// (every 500 ms) and reads their statistics (every 2 s).
void manager_outputs_datapath_monitor_srt_connection(void)
{
    if (!g_list)
        return;
    for (manager_output &mo : *g_list)
        if (srt_session(mo) && !(mo.egress->srt.flags.connected_to_remote.load(std::memory_order_acquire) &&
                                 srt_helper_is_connected(&mo.egress->srt)))
            srt_helper_connect(&mo.egress->srt);
}

void manager_outputs_datapath_get_srt_stats(void)
{
    if (!g_list)
        return;
    for (manager_output &mo : *g_list)
        if (srt_session(mo) && mo.egress->srt.flags.connected_to_remote.load(std::memory_order_acquire))
            srt_helper_bstats(&mo.egress->srt, false);
}

void manager_outputs_datapath_check_alarm_state(void)
{
    if (!g_list)
        return;
    for (manager_output &mo : *g_list) {
        if (mo.table_injection_is_failing.load(std::memory_order_relaxed)) {
            if (!mo.tmr_too_low_alarm_is_set.load(std::memory_order_relaxed)) {
                mcf_post_log(SQ_LOG_WARN, "MCF: Output %u TMR too low alarm SET.", unsigned(mo.id));
                set_tmr_alarm(mo, ALARM_ACTIVE);
                mo.tmr_too_low_alarm_is_set = 1;
            }
            mo.table_injection_is_failing = 0;
        } else if (mo.tmr_too_low_alarm_is_set.load(std::memory_order_relaxed)) {
            mcf_post_log(SQ_LOG_INFO, "MCF: Output %u TMR too low alarm CLEAR.", unsigned(mo.id));
            set_tmr_alarm(mo, ALARM_INACTIVE);
            mo.tmr_too_low_alarm_is_set = 0;
        }
        if (const uint32_t n = mo.inject_errors_counter.exchange(0, std::memory_order_relaxed))
            mcf_post_log(SQ_LOG_INFO, "MCF: Output %u inject errors this interval %d.", unsigned(mo.id), int(n));
    }
}

void manager_outputs_maintenance_tick(void)
{
    if (!g_list)
        return;
    for (manager_output &mo : *g_list) {
        if (mo.configured_tables_type == TABLES_TYPE_ATSC_CABLE ||
            mo.configured_tables_type == TABLES_TYPE_ATSC_TERRESTRIAL)
            manager_output_check_on_eit_table(&mo);
        if (!mo.biss2ca_tx)
            continue;
        ++mo.biss2ca_key_age;
        int ids[2];
        int n = 0;
        for (const out_services &os : mo.unique_inputs)
            for (const routed_pgm_cfg &p : os.services)
                if (p.ca_session_id != -1 && n < 2 && (n == 0 || ids[0] != p.ca_session_id))
                    ids[n++] = p.ca_session_id;
        for (int i = 0; i < n; ++i) {
            const cfg_ca *ca = mcfcfg_ca_session_find_by_id(ids[i]);
            if (!ca) {
                mcf_post_log(SQ_LOG_WARN, "MCF: Output %d references CA session %d (not found)", mo.id, ids[i]);
                continue;
            }
            if (mo.biss2ca_key_age >= ca->biss2ca_key_period && manager_output_update_ecm(&mo) == 0)
                mo.biss2ca_key_age = 0;
        }
        // Every second, and so soon after receiver or flag changes.
        manager_output_prepare_emm(&mo);
    }
}

void manager_outputs_prepare_due_emms(void)
{
    if (!g_list)
        return;
    for (manager_output &mo : *g_list)
        if (mo.biss2ca_tx && mo.emm_prepare_due)
            manager_output_prepare_emm(&mo);
}

} // extern "C"

// ---- what the plug-in entry and the maintenance use (engine.h) ----

extern "C" {

void manager_outputs_fini(void) { manager_outputs_deinit(); }

int manager_outputs_disable_on_intf(const char *ifname)
{
    return int(manager_outputs_disable_on_interface(&mcf_cfg, ifname));
}

int manager_outputs_delete_using_input(int input_id)
{
    const cfg_rx *rx = mcfcfg_rx_find_by_id(input_id);
    if (rx && rx->ingress_type != INGRTYPE_VIRT)
        return manager_outputs_delete_with_non_virtual_input(rx);
    int n = 0;
    for (const cfg_tx &tx : mcf::records<cfg_tx>(mcf_cfg.rules_tx))
        if (tx.dest_single_input_mode != DEST_SIM_ON && tx_has_service_of(tx, input_id))
            n += manager_outputs_delete(tx.dest_id);
    return n;
}

int manager_output_get_bps(const manager_output *mo) { return mo ? mo->configured_dest_bps : 0; }

} // extern "C"

bool manager_output_get_status(int id, manager_output_status *out)
{
    manager_output *mo = manager_outputs_find_by_id(id);
    if (!mo)
        return false;
    *out = manager_output_status{};
    if (mo->egress && mo->egress->ts_pool)
        mo->status_ts_buf_lvl = int32_t(ts_pool_level(mo->egress->ts_pool));
    out->buf_lvl = mo->status_ts_buf_lvl;
    srt_stats_t srt;
    if (manager_output_get_srt_stats(id, &srt))
        mo->status_srt_status = srt.srt_status;
    out->srt_status = mo->status_srt_status;
    return true;
}

bool manager_output_get_srt_stats(int id, srt_stats_t *out)
{
    manager_output *mo = manager_outputs_find_by_id(id);
    if (!mo || !srt_session(*mo))
        return false;
    srt_helper_read_stats(&mo->egress->srt, out);
    return true;
}

namespace mcf {

void manager_outputs_update_routable_input_rate(int input_id, int bps, int prev_bps)
{
    if (!g_list)
        return;
    for (manager_output &mo : *g_list) {
        if (mo.cfg_single_input_rtg_enabled || !out_service_find(&mo.unique_inputs, input_id))
            continue;
        manager_output_update_input_rate(&mo, input_id, bps, prev_bps);
        // An input that was already counted changes the ASI port's pacing
        // under way: the interface starts afresh.
        if (mo.type == EGRTYPE_ASI && prev_bps != 0)
            mcastfwdr_asi_hw_reset_interface(mo.id);
    }
}

} // namespace mcf

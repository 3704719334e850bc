#include "fake_engine.h"

#include "cfg/mcf_services.h"
#include "ingress/manager_input.h"
#include "tables/input_tables.h"

#include <cerrno>
#include <cstring>
#include <map>
#include <string>

namespace fake_engine {

script &answers()
{
    static script s;
    return s;
}
std::vector<std::string> &calls()
{
    static std::vector<std::string> c;
    return c;
}
std::vector<cfg_tx> &outputs_seen()
{
    static std::vector<cfg_tx> seen;
    return seen;
}
local_pmt program(int pnu, int pmt_pid, int pcr_pid, int pcr_ingress_id, const std::vector<stream> &streams)
{
    local_pmt p;
    local_pmt_init(&p, pnu, pmt_pid, 1);
    p.pcr_pid = pcr_pid;
    p.pcr_ingress_id = pcr_ingress_id;
    for (const stream &st : streams) {
        const int i = local_pmt_add_entry(&p, st.type, st.ingress_id, st.pid);
        if (i >= 0 && !st.es_info.empty())
            local_pmt_set_entry_es_info(&p, i, st.es_info.data(), int(st.es_info.size()));
    }
    return p;
}

std::vector<unsigned> &services_seen()
{
    static std::vector<unsigned> seen;
    return seen;
}
void reset()
{
    services_seen().clear();
    answers() = script{};
    calls().clear();
    outputs_seen().clear();
}

} // namespace fake_engine

namespace {

void log_call(const std::string &text, bool needs_write_lock)
{
    bool held = true;
    if (needs_write_lock) {
        held = pthread_rwlock_tryrdlock(&ctrl_data_lock) == EBUSY;
        if (!held)
            pthread_rwlock_unlock(&ctrl_data_lock);
    }
    fake_engine::calls().push_back(held ? text : "UNLOCKED " + text);
}

// A running output's stand-in: the manager pointer handed out is its id.
manager_output *fake_manager(int id)
{
    static std::map<int, int32_t> ids;
    ids[id] = id;
    return reinterpret_cast<manager_output *>(&ids[id]);
}
int id_of(const manager_output *mo) { return *reinterpret_cast<const int32_t *>(mo); }

void seen(const cfg_tx *tx)
{
    if (!tx)
        return;
    fake_engine::outputs_seen().push_back(*tx);
    fake_engine::services_seen().push_back(mcf_list_count(tx->dest_services));
}

} // namespace

extern "C" {

int __real_manager_input_output_sync(int32_t force);
int __real_mcastfwdr_delete_input_and_outputs_using_it(cfg_rx *rx);
int __real_mcastfwdr_update_input_bps_and_outputs_using_it(cfg_rx *rx, int32_t prev_bps);
void __real_mcfcfg_rx_set_all_program_status_inactive(cfg_rx *rx);

// The PID index a sync repopulates on its own is not logged.
thread_local int in_sync = 0;

int __wrap_manager_input_output_sync(int32_t force)
{
    log_call("sync " + std::to_string(force), true);
    if (!fake_engine::answers().real_sync)
        return 0;
    ++in_sync;
    const int rc = __real_manager_input_output_sync(force);
    --in_sync;
    return rc;
}

int __wrap_mcastfwdr_delete_input_and_outputs_using_it(cfg_rx *rx)
{
    log_call("delete " + std::to_string(rx->ingress_id), true);
    const int n = __real_mcastfwdr_delete_input_and_outputs_using_it(rx);
    return fake_engine::answers().deleted >= 0 ? fake_engine::answers().deleted : n;
}

int __wrap_mcastfwdr_update_input_bps_and_outputs_using_it(cfg_rx *rx, int32_t prev_bps)
{
    log_call("rate " + std::to_string(rx->ingress_id) + " " + std::to_string(rx->ingress_bps) + " from " +
                 std::to_string(prev_bps),
             true);
    return __real_mcastfwdr_update_input_bps_and_outputs_using_it(rx, prev_bps);
}

void __wrap_mcfcfg_rx_set_all_program_status_inactive(cfg_rx *rx)
{
    log_call("inactive " + std::to_string(rx->ingress_id), true);
    __real_mcfcfg_rx_set_all_program_status_inactive(rx);
}

int __wrap_mcastfwdr_ingress_notify_internal_ts(int bps, int input_id)
{
    log_call("internal_ts " + std::to_string(bps) + " " + std::to_string(input_id), false);
    return 0;
}

int __wrap_mcastfwdr_ingress_notify_internal_ts_clear(int input_id)
{
    log_call("internal_ts_clear " + std::to_string(input_id), false);
    return 0;
}

// ---- output side ----
int __real_mcfcfg_tx_rem(cfg_tx *tx);

int __wrap_manager_outputs_delete(int id)
{
    log_call("out_delete " + std::to_string(id), true);
    seen(mcfcfg_tx_find_by_id(id));
    return fake_engine::answers().running.count(id) ? 1 : 0;
}

manager_output *__wrap_manager_outputs_find_by_id(int id)
{
    return fake_engine::answers().running.count(id) ? fake_manager(id) : nullptr;
}

int __wrap_mcfcfg_tx_rem(cfg_tx *tx)
{
    log_call("tx_rem " + std::to_string(tx->dest_id), true);
    return __real_mcfcfg_tx_rem(tx);
}

int __wrap_manager_output_sync_tables_on_cfg_change(manager_output *mo, cfg_tx *tx, int what)
{
    log_call("tables " + std::to_string(id_of(mo)) + " " + std::to_string(what), true);
    seen(tx);
    return 0;
}

void __wrap_manager_output_set_tables_type(manager_output *mo, tables_type type)
{
    log_call("set_tables " + std::to_string(id_of(mo)) + " " + std::to_string(type), true);
}

void __wrap_manager_output_set_asi_output_type(manager_output *mo, asi_output_type type)
{
    log_call("set_asi_mode " + std::to_string(id_of(mo)) + " " + std::to_string(type), true);
}

void __wrap_manager_output_set_transport_stream_id(manager_output *mo, int ts_id)
{
    log_call("set_ts_id " + std::to_string(id_of(mo)) + " " + std::to_string(ts_id), true);
}

int __wrap_mcastfwdr_asi_hw_cfg_mirror(cfg_tx *tx, int on)
{
    log_call("asi_mirror " + std::to_string(tx->dest_id) + " " + std::to_string(on) + " of " +
                 std::to_string(tx->dest_mirror_id),
             false);
    return 0;
}

int __wrap_mcastfwdr_asi_hw_cfg_output_mode(cfg_tx *tx)
{
    log_call("asi_mode " + std::to_string(tx->dest_id) + " " + std::to_string(tx->dest_asi_output_type), false);
    return 0;
}

int __wrap_mcastfwdr_asi_calculate_actual_bps(int bps, int, int)
{
    return fake_engine::answers().asi_rate ? fake_engine::answers().asi_rate : bps;
}

bool __wrap_mcastfwdr_asi_exists(void) { return fake_engine::answers().asi; }
bool __wrap_mcf_decoder_exists(void) { return fake_engine::answers().decoder; }
bool __wrap_kd_carrier_frame_is_master(void) { return fake_engine::answers().master; }

} // extern "C"

// ---- the output managers' fan-out from KLV sources and CA sessions ----
extern "C" {

void __wrap_manager_outputs_update_program_tables_for_klv_source(int id)
{
    log_call("klv tables " + std::to_string(id), true);
}

void __wrap_manager_outputs_update_program_tables_for_ca_session(int id)
{
    log_call("ca tables " + std::to_string(id), true);
}

void __wrap_manager_outputs_update_flags_for_ca_session(int session_id, uint8_t flag)
{
    log_call("ca flags " + std::to_string(session_id) + " " + std::to_string(flag), true);
}

void __wrap_manager_outputs_entitle_key_for_ca_session(int session_id, const char *pem)
{
    log_call("entitle " + std::to_string(session_id) + " " + (pem ? pem : "(null)"), true);
}

void __wrap_manager_outputs_revoke_key_for_ca_session(int session_id, const char *pem)
{
    log_call("revoke " + std::to_string(session_id) + " " + (pem ? pem : "(null)"), true);
}

} // extern "C"

// ---- services, remaps and the PID router ----
namespace {

std::string out_name(const manager_output *mo) { return mo ? std::to_string(id_of(mo)) : "null"; }

// An input manager whose tables hold the script's programs for the input.
manager_input *fake_input(int id, const std::vector<local_pmt> &programs)
{
    static std::map<int, manager_input> inputs;
    static std::map<int, input_table_info> tables;
    manager_input &mi = inputs[id];
    input_table_info &t = tables[id];
    std::memset(&t, 0, sizeof t);
    t.num_programs = 0;
    for (const local_pmt &p : programs)
        if (t.num_programs < INPUT_PROGRAMS_MAX)
            t.services[t.num_programs++].pmt = p;
    mi.id = id;
    mi.tables = &t;
    return &mi;
}

} // namespace

extern "C" {

manager_input *__real_manager_inputs_find_by_id(int id);
int __real_mcfcfg_tx_input_sync_program_pids(cfg_tx_input *svc, int drop_first);
int __real_phindex_repopulate(void);

manager_input *__wrap_manager_inputs_find_by_id(int id)
{
    const auto &programs = fake_engine::answers().programs;
    if (const auto it = programs.find(id); it != programs.end())
        return fake_input(id, it->second);
    return __real_manager_inputs_find_by_id(id);
}

int __wrap_mcfcfg_tx_input_sync_program_pids(cfg_tx_input *svc, int drop_first)
{
    log_call("pids " + std::to_string(svc->dest_id) + "/" + std::to_string(svc->service_id) + " " +
                 std::to_string(drop_first),
             false);
    return __real_mcfcfg_tx_input_sync_program_pids(svc, drop_first);
}

int __wrap_add_ca_to_pid_handler(manager_output *mo, int ingress_id, int pid, int ca_session_id)
{
    log_call("ca_pid " + out_name(mo) + " " + std::to_string(ingress_id) + " " + std::to_string(pid) + " " +
                 std::to_string(ca_session_id),
             true);
    return 0;
}

int __wrap_add_pid_remap_to_pid_handler(manager_output *mo, int ingress_id, int in_pid, int out_pid)
{
    log_call("remap_pid " + out_name(mo) + " " + std::to_string(ingress_id) + " " + std::to_string(in_pid) + " " +
                 std::to_string(out_pid),
             true);
    return 0;
}

int __wrap_manager_output_sync_unique_inputs(manager_output *mo)
{
    log_call("unique " + out_name(mo), true);
    return 0;
}

void __wrap_manager_output_reset_klv_latency_pid(manager_output *mo)
{
    log_call("klv_latency " + out_name(mo), true);
}

int __wrap_phindex_repopulate(void)
{
    if (!in_sync)
        log_call("phindex", true);
    return __real_phindex_repopulate();
}

int __wrap_mcastfwdr_asi_set_route_prov_pending(int output_id)
{
    log_call("asi_prov " + std::to_string(output_id), false);
    return 0;
}

} // extern "C"

#include "fake_engine.h"

#include "cfg/mcf_services.h"

#include <cerrno>
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
void reset()
{
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
    if (tx)
        fake_engine::outputs_seen().push_back(*tx);
}

} // namespace

extern "C" {

int __real_manager_input_output_sync(int32_t force);
int __real_mcastfwdr_delete_input_and_outputs_using_it(cfg_rx *rx);
int __real_mcastfwdr_update_input_bps_and_outputs_using_it(cfg_rx *rx, int32_t prev_bps);
void __real_mcfcfg_rx_set_all_program_status_inactive(cfg_rx *rx);

int __wrap_manager_input_output_sync(int32_t force)
{
    log_call("sync " + std::to_string(force), true);
    return fake_engine::answers().real_sync ? __real_manager_input_output_sync(force) : 0;
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

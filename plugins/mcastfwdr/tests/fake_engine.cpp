#include "fake_engine.h"

#include "cfg/mcf_services.h"

#include <cerrno>
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
void reset()
{
    answers() = script{};
    calls().clear();
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

} // namespace

extern "C" {

int __real_manager_input_output_sync(int32_t force);
int __real_mcastfwdr_delete_input_and_outputs_using_it(cfg_rx *rx);
int __real_mcastfwdr_update_input_bps_and_outputs_using_it(cfg_rx *rx, int32_t prev_bps);
void __real_mcfcfg_rx_set_all_program_status_inactive(cfg_rx *rx);

int __wrap_manager_input_output_sync(int32_t force)
{
    log_call("sync " + std::to_string(force), true);
    return __real_manager_input_output_sync(force);
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

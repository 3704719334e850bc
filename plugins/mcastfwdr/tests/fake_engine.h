// A link-time stand-in for the engine calls the configuration code makes
// (the test links with -Wl,--wrap for each): every call is logged with its
// arguments in order, answers follow the test's script, and a call that
// must run under ctrl_data_lock held for writing is logged as "UNLOCKED ..."
// when it does not.
#pragma once

#include "cfg/mcf_cfg.h"
#include "tables/local_tables.h"

#include <map>

#include <set>
#include <string>
#include <vector>

namespace fake_engine {

struct script {
    bool asi = false;     // mcastfwdr_asi_exists
    bool decoder = false; // mcf_decoder_exists
    bool master = true;   // kd_carrier_frame_is_master
    int deleted = -1;     // answer of the input delete; -1: the real one's
    bool real_sync = true;   // manager_input_output_sync: the real one, else only logged
    std::set<int> running;   // outputs with a running manager (the output calls' fake managers)
    int asi_rate = 0;        // answer of the ASI rate calculation; 0: the rate asked for
    // Inputs with a running manager whose tables hold these programs (the
    // other inputs: the real lookup).
    std::map<int, std::vector<local_pmt>> programs;
};

// A program for `programs`: PMT PID and PCR PID, then its streams as
// (stream type, PID, ingress id) in order.
struct stream {
    int type, pid, ingress_id;
    std::vector<uint8_t> es_info = {};
};
local_pmt program(int pnu, int pmt_pid, int pcr_pid, int pcr_ingress_id, const std::vector<stream> &streams);

// The output record as it was at each output-manager call that names it, in
// call order: the fields a rebuild or table regeneration reads.
std::vector<cfg_tx> &outputs_seen();
// The output's count of services at each of those calls.
std::vector<unsigned> &services_seen();

script &answers();
std::vector<std::string> &calls();
void reset();

} // namespace fake_engine

// A link-time stand-in for the engine calls the configuration code makes
// (the test links with -Wl,--wrap for each): every call is logged with its
// arguments in order, answers follow the test's script, and a call that
// must run under ctrl_data_lock held for writing is logged as "UNLOCKED ..."
// when it does not.
#pragma once

#include <string>
#include <vector>

namespace fake_engine {

struct script {
    bool asi = false;     // mcastfwdr_asi_exists
    bool decoder = false; // mcf_decoder_exists
    bool master = true;   // kd_carrier_frame_is_master
    int deleted = -1;     // answer of the input delete; -1: the real one's
};

script &answers();
std::vector<std::string> &calls();
void reset();

} // namespace fake_engine

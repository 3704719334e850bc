// The clock manager "SVD:clkmgr": retunes one LMK output at a time to the
// pixel clock its channel's video standard wants, holding the matching
// SDI serializer in reset meanwhile. The loop thread only says which
// frequency each channel wants; the record's fields cross threads as
// atomics.
#pragma once

#include <atomic>
#include <cstdint>

enum lmk_freq : uint32_t { LMK_FREQ_148_50 = 0, LMK_FREQ_148_35 = 1 };

struct clkmgr {
    std::atomic<bool> uhd{false};      // loop writes
    std::atomic<bool> inverted{false}; // loop writes
    std::atomic<bool> lmk_present{false};
    std::atomic<uint32_t> rqst_update[2] = {};     // loop sets, thread clears
    std::atomic<uint32_t> update_busy[2] = {};     // thread
    std::atomic<uint32_t> update_ctr[2] = {};      // thread
    std::atomic<uint32_t> freq_from_vidstd[2] = {}; // loop
    std::atomic<uint32_t> freq_rqst[2] = {};        // loop writes while no request is pending
    std::atomic<uint32_t> freq_cur[2] = {};         // thread
};

// What a retune drives: the LMK and serializer resets by default.
struct clkmgr_outputs {
    int (*serdes_rst)(unsigned serializer);
    int (*serdes_run)(unsigned serializer);
    int (*set_freq)(unsigned output, unsigned freq);
};

constexpr uint32_t CLKMGR_HOLD_TICKS = 50; // ticks after programming; released on the next

// All flags cleared, all six frequencies 148.35 MHz.
void decode_clkmgr_reset(clkmgr &m);
// One 10 ms cycle of the thread.
void decode_clkmgr_cycle(clkmgr &m, const clkmgr_outputs &o);
// decode_clkmgr_chk_update_freq on a given record.
uint32_t decode_clkmgr_check(clkmgr &m, unsigned ch);

int decode_clkmgr_ctor(void *window);
int decode_clkmgr_dtor();
bool decode_clkmgr_running();
void decode_clkmgr_set_uhd(bool uhd);
void decode_clkmgr_set_inverted(bool inverted);
void decode_clkmgr_set_vidstd_freq(unsigned ch, uint32_t freq);
uint32_t decode_clkmgr_chk_update_freq(unsigned ch);
const clkmgr &decode_clkmgr_record();

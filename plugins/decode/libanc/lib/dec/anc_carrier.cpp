// Which row of the chassis the card sits in, and 4K mode: together they
// decide how user channels map to the board's hardware channels.
#include "anc.h"

#include <atomic>

namespace {
std::atomic<bool> g_lower_row{false};
std::atomic<bool> g_mode_4k{false};
} // namespace

extern "C" void ancCarrierSetLowerRow(bool lower_row) { g_lower_row = lower_row; }
extern "C" void ancCarrierSet4kMode(bool mode_4k) { g_mode_4k = mode_4k; }
extern "C" bool ancCarrierIsLowerRow(void) { return g_lower_row; }
extern "C" bool ancCarrierIsLowerRowOr4k(void) { return g_lower_row || g_mode_4k; }

extern "C" int ancCarrierChnUiToHw(int channel, int pair)
{
    if (channel < 0 || channel > 3 || pair < 0 || pair > 15)
        return -1;
    return ancCarrierIsLowerRowOr4k() ? channel : channel ^ 3;
}

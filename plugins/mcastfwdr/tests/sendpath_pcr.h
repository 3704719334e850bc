// What the send-path tests read of an output stream's PCRs.
#pragma once

#include "router/pcr_window.h"
#include "sendpath_output.h"

#include <algorithm>
#include <cmath>
#include <vector>

namespace mcftest {

constexpr uint64_t kMod = 2576980377600ull; // 2^33 x 300
constexpr double kTicksPerPkt1M = 40608.0;  // one packet at 1 Mbit/s, 27 MHz ticks
constexpr double kTolerance = 13.5;         // 500 ns

inline uint64_t pcr_of(const uint8_t *b) { return pcr_t_to_pcr(tsphPcrGet(b + 6)); }
inline bool has_pcr(const uint8_t *b) { return (b[3] & 0x20) && b[4] > 0 && (b[5] & 0x10); }
inline bool discontinuous(const uint8_t *b) { return (b[3] & 0x20) && b[4] > 0 && (b[5] & 0x80); }
// a - b the short way round the PCR circle.
inline double circ(uint64_t a, uint64_t b) { return double(mcastfwdr_get_dist(b, a, kMod)); }

struct pcr_at {
    size_t pos;
    uint64_t pcr;
    bool disc;
};

inline std::vector<pcr_at> pcrs_on(const std::vector<ts_bytes> &out, int pid)
{
    std::vector<pcr_at> v;
    for (size_t i = 0; i < out.size(); ++i)
        if (packet_pid(out[i].data()) == pid && has_pcr(out[i].data()))
            v.push_back({i, pcr_of(out[i].data()), discontinuous(out[i].data())});
    return v;
}

// The largest distance of a PCR (after the first three) from what its
// position implies at the output rate, counted from the third.
inline double worst_error(const std::vector<pcr_at> &v, double mbps_out)
{
    double worst = 0;
    for (size_t i = 3; i < v.size(); ++i) {
        const double want = double(v[i].pos - v[2].pos) * kTicksPerPkt1M / mbps_out;
        worst = std::max(worst, std::fabs(circ(v[i].pcr, v[2].pcr) - want));
    }
    return worst;
}

} // namespace mcftest

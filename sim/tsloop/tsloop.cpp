#include "tsloop.h"

#include <ts_packet.h>

#include <cmath>
#include <cstring>
#include <stdexcept>
#include <string>

namespace tsloop {
namespace {

constexpr uint64_t kPts = uint64_t(1) << 33;  // time stamps count 90 kHz modulo 2^33
constexpr uint64_t kPcr = kPts * 300;         // a PCR counts 27 MHz modulo 2^33 * 300
constexpr unsigned kNullPid = 0x1FFF;

bool has_payload(const uint8_t *p) { return tsphGetAFCtrl(p) & 1; }
bool has_af(const uint8_t *p) { return tsphGetAFCtrl(p) & 2; }

// The PCR of a packet (ISO/IEC 13818-1 2.4.3.5), or -1 without one.
int64_t pcr_of(const uint8_t *p)
{
    if (!has_af(p) || p[4] < 7 || !(p[5] & 0x10))
        return -1;
    const uint64_t base = uint64_t(p[6]) << 25 | uint64_t(p[7]) << 17 | uint64_t(p[8]) << 9 | uint64_t(p[9]) << 1 |
                          uint64_t(p[10]) >> 7;
    const uint64_t ext = uint64_t(p[10] & 1) << 8 | p[11];
    return int64_t(base * 300 + ext);
}

void set_pcr(uint8_t *p, uint64_t v)
{
    const uint64_t base = v / 300, ext = v % 300;
    p[6] = uint8_t(base >> 25);
    p[7] = uint8_t(base >> 17);
    p[8] = uint8_t(base >> 9);
    p[9] = uint8_t(base >> 1);
    p[10] = uint8_t((base & 1) << 7 | (p[10] & 0x7E) | ext >> 8); // the six reserved bits stay
    p[11] = uint8_t(ext);
}

// A PTS or DTS field (ISO/IEC 13818-1 2.4.3.7): 33 bits in five bytes with
// marker bits; the four-bit prefix is kept.
uint64_t stamp_of(const uint8_t *s)
{
    return uint64_t(s[0] & 0x0E) << 29 | uint64_t(s[1]) << 22 | uint64_t(s[2] & 0xFE) << 14 | uint64_t(s[3]) << 7 |
           uint64_t(s[4]) >> 1;
}

void set_stamp(uint8_t *s, uint64_t v)
{
    s[0] = uint8_t((s[0] & 0xF0) | (v >> 29 & 0x0E) | 1);
    s[1] = uint8_t(v >> 22);
    s[2] = uint8_t((v >> 14 & 0xFE) | 1);
    s[3] = uint8_t(v >> 7);
    s[4] = uint8_t((v << 1 & 0xFE) | 1);
}

// Stream ids whose PES header has no optional fields (2.4.3.7, table 2-22).
bool plain_pes(uint8_t id)
{
    return id == 0xBC || id == 0xBE || id == 0xBF || id == 0xF0 || id == 0xF1 || id == 0xF2 || id == 0xF8 ||
           id == 0xFF;
}

[[noreturn]] void refuse(const std::string &why) { throw std::invalid_argument(why); }

} // namespace

looper::looper(std::vector<uint8_t> ts, double period_s) : ts_(std::move(ts))
{
    if (ts_.empty() || ts_.size() % ts_packet)
        refuse("not a whole number of 188-byte packets");
    packets_ = ts_.size() / ts_packet;
    // The rate from the first and last PCR of the first PID that carries one.
    int pcr_pid = -1;
    size_t first = 0, last = 0;
    int64_t pcr_first = -1, pcr_last = -1;
    for (size_t i = 0; i < packets_; ++i) {
        const uint8_t *p = &ts_[i * ts_packet];
        if (p[0] != 0x47)
            refuse("sync lost at packet " + std::to_string(i));
        const int64_t pcr = pcr_of(p);
        if (pcr < 0 || (pcr_pid >= 0 && tsphGetPid(p) != pcr_pid))
            continue;
        if (pcr_pid < 0)
            pcr_pid = tsphGetPid(p), first = i, pcr_first = pcr;
        last = i, pcr_last = pcr;
    }
    if (pcr_pid < 0 || last == first)
        refuse("fewer than two PCRs to take the rate from");
    const uint64_t ticks = (uint64_t(pcr_last) + kPcr - uint64_t(pcr_first)) % kPcr;
    if (!ticks)
        refuse("its PCRs do not advance");
    packet27_ = double(ticks) / double(last - first);
    rate_bps_ = ts_packet * 8 * 27e6 / packet27_;
    const double span27 = packet27_ * double(packets_);
    period90_ = period_s > 0 ? uint64_t(std::llround(period_s * 90000)) : uint64_t(std::ceil(span27 / 300));
    const double period27 = double(period90_) * 300;
    if (period27 + packet27_ / 2 < span27)
        refuse("the period is shorter than the file at its rate (" + std::to_string(span27 / 27e6) + " s)");
    fill_ = size_t(std::floor((period27 - span27) / packet27_ + 1e-9));
}

void looper::rewrite(uint8_t *p)
{
    const unsigned pid = tsphGetPid(p);
    if (pid == kNullPid)
        return;
    // Continuity: counted on from the file's first packet of the PID; a
    // packet without payload repeats the counter of the one before.
    const uint8_t cc = tsphGetContinuityCounter(p);
    if (!seen_[pid]) {
        seen_[pid] = true;
        next_cc_[pid] = has_payload(p) ? cc : uint8_t((cc + 1) & 15);
    }
    if (has_payload(p)) {
        tsphSetContinuityCounter(p, next_cc_[pid]);
        next_cc_[pid] = uint8_t((next_cc_[pid] + 1) & 15);
    } else {
        tsphSetContinuityCounter(p, uint8_t((next_cc_[pid] + 15) & 15));
    }
    if (!loop_)
        return;
    const uint64_t move90 = loop_ * period90_ % kPts;
    if (const int64_t pcr = pcr_of(p); pcr >= 0)
        set_pcr(p, (uint64_t(pcr) + move90 * 300) % kPcr);
    if (!tsphGetPLStartIndicator(p) || !has_payload(p))
        return;
    size_t at = 4;
    if (has_af(p))
        at += 1u + p[4];
    if (at + 9 > ts_packet || p[at] != 0 || p[at + 1] != 0 || p[at + 2] != 1 || plain_pes(p[at + 3]))
        return;
    const unsigned flags = p[at + 7] >> 6; // PTS_DTS_flags
    if (flags >= 2 && at + 14 <= ts_packet)
        set_stamp(&p[at + 9], (stamp_of(&p[at + 9]) + move90) % kPts);
    if (flags == 3 && at + 19 <= ts_packet)
        set_stamp(&p[at + 14], (stamp_of(&p[at + 14]) + move90) % kPts);
}

void looper::next(uint8_t *out, uint64_t &due)
{
    due = loop_ * period90_ * 300 + uint64_t(std::llround(double(at_) * packet27_));
    if (at_ < packets_) {
        std::memcpy(out, &ts_[at_ * ts_packet], ts_packet);
        rewrite(out);
    } else {
        std::memset(out, 0xFF, ts_packet);
        out[0] = 0x47, out[1] = 0x1F, out[2] = 0xFF, out[3] = 0x10;
    }
    if (++at_ == packets_ + fill_)
        at_ = 0, ++loop_;
}

} // namespace tsloop

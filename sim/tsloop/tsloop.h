// Loops a transport-stream file into an endless stream without the seams a
// plain replay has: every PID's continuity counter runs on across the loop,
// and the PCRs and the PES time stamps of loop k are moved on by k periods,
// so that a receiver sees one stream, not a new one every few seconds.
//
// The period is the stream's own length: a file whose video and audio both
// end on a whole frame (for instance 4.8 s of 50 Hz video and 48 kHz MPEG
// audio) loops without a jump in either. Within the period the packets keep
// the file's constant rate (taken from its PCRs); the time left after the
// last packet is filled with null packets.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace tsloop {

constexpr size_t ts_packet = 188;

class looper {
public:
    // period_s: the loop's length in seconds; 0 takes the file's own span at
    // its rate. Throws std::invalid_argument, saying why, for a file that
    // cannot be looped (not whole packets, lost sync, fewer than two PCRs on
    // its first PCR PID, a period shorter than the file).
    explicit looper(std::vector<uint8_t> ts, double period_s = 0);

    // The next packet of the endless stream into out (188 bytes); its send
    // time from the start of the stream, in 27 MHz ticks, into due.
    void next(uint8_t *out, uint64_t &due);

    double rate_bps() const { return rate_bps_; }
    double period_s() const { return double(period90_) / 90000.0; }
    size_t file_packets() const { return packets_; }
    size_t fill_packets() const { return fill_; }

private:
    void rewrite(uint8_t *p);

    std::vector<uint8_t> ts_;
    size_t packets_ = 0, fill_ = 0;
    double rate_bps_ = 0;
    double packet27_ = 0;   // one packet's time at the rate, 27 MHz ticks
    uint64_t period90_ = 0; // the period in 90 kHz ticks (time stamps move by it)
    uint64_t loop_ = 0;     // the loop being sent
    size_t at_ = 0;         // packet of the loop being sent, fill included
    uint8_t next_cc_[8192] = {};
    bool seen_[8192] = {};
};

} // namespace tsloop

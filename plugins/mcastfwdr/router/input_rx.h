// What the send path keeps of one input's received datagrams: the PIDs
// seen since it began streaming (a bitmap the multiplexer tests per packet,
// and their text published whole for the status), the packets per datagram,
// and the limiter of its error logs. Part of the input manager record.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

namespace mcf {

// At most one line a second, with the count of those left out.
class log_limiter {
public:
    bool may_log(uint32_t *suppressed);

private:
    int64_t log_ns_ = -1; // when the last line was logged
    uint32_t suppressed_ = 0;
};

class input_rx {
public:
    static constexpr size_t kTextSize = 256;

    // ---- multiplexer ----
    // Marks pid; true when it was new (then the text is published again).
    bool note_pid(unsigned pid)
    {
        uint64_t &w = bits_[pid >> 6 & 127];
        const uint64_t bit = uint64_t(1) << (pid & 63);
        if (w & bit)
            return false;
        w |= bit;
        publish();
        return true;
    }
    // Forgets the PIDs (the input is not streaming yet).
    void clear_pids()
    {
        bool any = false;
        for (uint64_t &w : bits_) {
            any = any || w;
            w = 0;
        }
        if (any)
            publish();
    }
    bool has_pid(unsigned pid) const { return bits_[pid >> 6 & 127] >> (pid & 63) & 1; }
    void set_dvb_per_ip(int n) { dvb_per_ip_.store(n, std::memory_order_relaxed); }
    // An error of a datagram: true when it may be logged now (at most once
    // a second); *suppressed then holds the errors not logged since.
    bool may_log(uint32_t *suppressed) { return datagram_log_.may_log(suppressed); }
    // The same for the input's PCR discontinuity lines.
    bool may_log_pcr(uint32_t *suppressed) { return pcr_log_.may_log(suppressed); }

    // ---- any thread ----
    // The PIDs as "0,17,256" (those that fit whole), never half-written.
    void pids_text(char *out, size_t size) const;
    int dvb_per_ip() const { return dvb_per_ip_.load(std::memory_order_relaxed); }

private:
    void publish();

    uint64_t bits_[128] = {};
    // The text under a sequence count: odd while written.
    std::atomic<uint32_t> seq_{0};
    std::atomic<uint64_t> text_[kTextSize / 8] = {};
    std::atomic<int> dvb_per_ip_{0};
    log_limiter datagram_log_, pcr_log_;
};

} // namespace mcf

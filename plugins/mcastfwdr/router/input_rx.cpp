// An input's receive state (see input_rx.h).
#include "input_rx.h"

#include <cstdio>
#include <cstring>
#include <ctime>

namespace mcf {

void input_rx::publish()
{
    char text[kTextSize] = {};
    size_t used = 0;
    for (unsigned w = 0; w < 128; ++w)
        for (uint64_t bits = bits_[w]; bits; bits &= bits - 1) {
            const unsigned pid = w * 64 + unsigned(__builtin_ctzll(bits));
            char item[8];
            const int n = std::snprintf(item, sizeof item, used ? ",%u" : "%u", pid);
            if (used + size_t(n) >= kTextSize)
                continue; // a PID that does not fit whole is left out
            std::memcpy(text + used, item, size_t(n));
            used += size_t(n);
        }
    const uint32_t s = seq_.load(std::memory_order_relaxed);
    seq_.store(s + 1, std::memory_order_relaxed);
    std::atomic_thread_fence(std::memory_order_release);
    for (size_t i = 0; i < kTextSize / 8; ++i) {
        uint64_t word;
        std::memcpy(&word, text + i * 8, 8);
        text_[i].store(word, std::memory_order_relaxed);
    }
    seq_.store(s + 2, std::memory_order_release);
}

void input_rx::pids_text(char *out, size_t size) const
{
    if (!out || size == 0)
        return;
    char text[kTextSize];
    for (;;) {
        const uint32_t s1 = seq_.load(std::memory_order_acquire);
        if (s1 & 1)
            continue;
        for (size_t i = 0; i < kTextSize / 8; ++i) {
            const uint64_t word = text_[i].load(std::memory_order_relaxed);
            std::memcpy(text + i * 8, &word, 8);
        }
        std::atomic_thread_fence(std::memory_order_acquire);
        if (seq_.load(std::memory_order_relaxed) == s1)
            break;
    }
    text[kTextSize - 1] = '\0';
    std::snprintf(out, size, "%s", text);
}

bool log_limiter::may_log(uint32_t *suppressed)
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    const int64_t ns = int64_t(now.tv_sec) * 1000000000 + now.tv_nsec;
    if (log_ns_ >= 0 && ns - log_ns_ < 1000000000) {
        ++suppressed_;
        return false;
    }
    log_ns_ = ns;
    *suppressed = suppressed_;
    suppressed_ = 0;
    return true;
}

} // namespace mcf

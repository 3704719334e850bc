// The 1 ms cycles of the forwarder's real-time threads: an absolute
// monotonic grid to sleep on, so that the cycles keep their period however
// long each one works, and the measurements each cycle hands to the
// statistics with its sample.
#pragma once

#include "egress/statistics.h"

#include <cerrno>
#include <cstdint>
#include <ctime>

namespace mcf {

class rt_cycle {
public:
    // The grid starts at the current whole millisecond.
    rt_cycle()
    {
        clock_gettime(CLOCK_MONOTONIC, &next_);
        next_.tv_nsec -= next_.tv_nsec % 1000000;
        prev_begin_ = now_ns(CLOCK_MONOTONIC);
        second_ = time(nullptr);
    }

    // At the start of a cycle's work.
    void begin()
    {
        begin_ = now_ns(CLOCK_MONOTONIC);
        cpu_begin_ = now_ns(CLOCK_THREAD_CPUTIME_ID);
    }

    // Sets the sample's period, real and CPU time and, on the first cycle of
    // a new second, its post flag; then hands it to the statistics (which
    // clears what it measured).
    void post(mcast_stats_t &s)
    {
        const time_t now = time(nullptr);
        s.period.avg = begin_ - prev_begin_;
        s.real.avg = now_ns(CLOCK_MONOTONIC) - begin_;
        s.cpu.avg = now_ns(CLOCK_THREAD_CPUTIME_ID) - cpu_begin_;
        s.post = now != second_;
        second_ = now;
        prev_begin_ = begin_;
        mcastfwdr_statistics(&s);
    }

    // Sleeps until the next millisecond of the grid.
    void sleep()
    {
        next_.tv_nsec += 1000000;
        if (next_.tv_nsec >= 1000000000) {
            next_.tv_nsec -= 1000000000;
            ++next_.tv_sec;
        }
        while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &next_, nullptr) == EINTR) {
        }
    }

    static uint64_t now_ns(clockid_t clk)
    {
        timespec t;
        clock_gettime(clk, &t);
        return uint64_t(t.tv_sec) * 1000000000u + uint64_t(t.tv_nsec);
    }

private:
    timespec next_;
    uint64_t prev_begin_ = 0;
    uint64_t begin_ = 0;
    uint64_t cpu_begin_ = 0;
    time_t second_ = 0;
};

} // namespace mcf

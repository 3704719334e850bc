// The 1 ms cycles of the forwarder's real-time threads: an absolute
// monotonic grid to sleep on, so that the cycles keep their period however
// long each one works, and the measurements each cycle hands to the
// statistics with its sample. A thread that waited for work off the grid
// starts a new grid when it resumes.
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
        rewind();
        prev_begin_ = now_ns(CLOCK_MONOTONIC);
        second_ = time(nullptr);
        cpu_second_ = now_ns(CLOCK_THREAD_CPUTIME_ID);
    }

    // At the start of a cycle's work.
    void begin() { begin_ = now_ns(CLOCK_MONOTONIC); }

    // Sets the sample's period, real and CPU time and, on the first cycle of
    // a new second, its post flag; then hands it to the statistics (which
    // clears what it measured). The thread's CPU clock is read once a
    // second: each cycle's CPU is the last second's spread over its cycles.
    void post(mcast_stats_t &s)
    {
        post(s, [](mcast_stats_t &) {});
    }
    // The same; on_second(s) adds to a posting sample before it is handed over.
    template <class OnSecond> void post(mcast_stats_t &s, OnSecond on_second)
    {
        const time_t now = time(nullptr);
        s.period.avg = begin_ - prev_begin_;
        s.real.avg = now_ns(CLOCK_MONOTONIC) - begin_;
        s.post = now != second_;
        ++cycles_;
        if (s.post) {
            const uint64_t cpu = now_ns(CLOCK_THREAD_CPUTIME_ID);
            cpu_per_cycle_ = (cpu - cpu_second_) / cycles_;
            cpu_second_ = cpu;
            cycles_ = 0;
        }
        s.cpu.avg = cpu_per_cycle_;
        if (s.post)
            on_second(s);
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

    // After a wait off the grid: the next cycle is due a millisecond after
    // the current whole one.
    void rewind()
    {
        clock_gettime(CLOCK_MONOTONIC, &next_);
        next_.tv_nsec -= next_.tv_nsec % 1000000;
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
    uint64_t cpu_second_ = 0;
    uint64_t cpu_per_cycle_ = 0;
    uint64_t cycles_ = 0;
    time_t second_ = 0;
};

} // namespace mcf

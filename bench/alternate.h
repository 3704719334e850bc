// Runs the two sides of a comparison in turn, the reference first on every
// other call, so that neither side always finds the caches, the clock
// frequency and the scheduler the way the other one left them.
#pragma once

#include <chrono>
#include <cstddef>
#include <utility>

namespace bench {

using clk = std::chrono::steady_clock;

inline double secs(clk::time_point a, clk::time_point b) { return std::chrono::duration<double>(b - a).count(); }

// Seconds that f takes.
template <typename F> double timed(F &&f)
{
    auto t0 = clk::now();
    std::forward<F>(f)();
    return secs(t0, clk::now());
}

// One per comparison, kept across calls of the benchmark function (a
// function-local static), so that repetitions alternate too.
class Alternation {
public:
    // Runs ours() and reference() in this call's order; ours first on even calls.
    template <typename A, typename B> void run(A &&ours, B &&reference)
    {
        if (calls_++ % 2 == 0) {
            ours();
            reference();
        } else {
            reference();
            ours();
        }
    }
    // For three sides: the order of the list, or its reverse.
    template <typename A, typename B, typename C> void run(A &&a, B &&b, C &&c)
    {
        if (calls_++ % 2 == 0) {
            a();
            b();
            c();
        } else {
            c();
            b();
            a();
        }
    }

private:
    std::size_t calls_ = 0;
};

} // namespace bench

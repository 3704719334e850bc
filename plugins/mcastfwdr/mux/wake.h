// How the forwarder's data threads wait when they have nothing to do: they
// block on their sources (sockets) or on an event, always with a bound, so
// that an idle card costs next to nothing and no thread misses its
// periodic work. A producer wakes a waiting consumer through `notify`,
// which costs a system call only while the consumer really waits.
#pragma once

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>

namespace mcf {

class waker {
public:
    waker() : fd_(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}
    ~waker()
    {
        if (fd_ >= 0)
            ::close(fd_);
    }
    waker(const waker &) = delete;
    waker &operator=(const waker &) = delete;

    // Producer, after publishing work: wakes the consumer if it waits. The
    // fence pairs with the one in wait(): either the consumer sees the work
    // before it blocks, or this sees it waiting.
    void notify()
    {
        std::atomic_thread_fence(std::memory_order_seq_cst);
        if (waiting_.load(std::memory_order_relaxed))
            kick();
    }
    // Wakes the consumer now or ends its next wait at once.
    void kick()
    {
        const uint64_t one = 1;
        [[maybe_unused]] const ssize_t n = ::write(fd_, &one, sizeof one);
    }

    // Consumer: blocks until kicked, one of fds is ready or timeout_ms
    // passed, unless ready() already holds after the wait is announced.
    // fds may be null; at most kMaxFds of them are watched.
    static constexpr unsigned kMaxFds = 63;
    template <class Ready> void wait(Ready ready, const int *fds, unsigned n, int timeout_ms)
    {
        waiting_.store(true, std::memory_order_relaxed);
        std::atomic_thread_fence(std::memory_order_seq_cst);
        if (!ready()) {
            pollfd p[kMaxFds + 1];
            p[0] = {fd_, POLLIN, 0};
            unsigned k = 1;
            for (unsigned i = 0; i < n && k <= kMaxFds; ++i)
                p[k++] = {fds[i], POLLIN, 0};
            while (::poll(p, k, timeout_ms) < 0 && errno == EINTR) {
            }
        }
        waiting_.store(false, std::memory_order_relaxed);
        uint64_t v;
        [[maybe_unused]] const ssize_t r = ::read(fd_, &v, sizeof v);
    }

private:
    int fd_;
    std::atomic<bool> waiting_{false};
};

// Whether a thread on its 1 ms grid has been idle long enough to wait off
// the grid: a steady stream that leaves an odd cycle empty keeps the grid
// (a wait and an early wake-up cost more than the cycle).
class idle_cycles {
public:
    static constexpr unsigned kBeforeWait = 10;
    // After each cycle: true when this one and the nine before found nothing.
    bool idle(bool empty)
    {
        n_ = empty ? n_ + 1 : 0;
        return n_ >= kBeforeWait;
    }

private:
    unsigned n_ = 0;
};

// A test seam: while held, a thread does nothing at all, as if the system
// did not schedule it.
class thread_hold {
public:
    void set(bool on) { held_.store(on, std::memory_order_release); }
    // The thread's side: waits while held (or until stop holds).
    template <class Stop> void honour(Stop stop) const
    {
        while (held_.load(std::memory_order_acquire) && !stop()) {
            timespec ms{0, 1000000};
            nanosleep(&ms, nullptr);
        }
    }

private:
    std::atomic<bool> held_{false};
};

} // namespace mcf

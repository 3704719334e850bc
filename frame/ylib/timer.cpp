// Stopwatch on the raw monotonic clock (not slewed by NTP).
#include <kerrow/dataset.h>
#include <kerrow/frame.h>
#include <kerrow/log.h>

#include <cstdlib>

namespace {

int64_t ns_of(const timespec &ts) { return int64_t(ts.tv_sec) * 1000000000 + ts.tv_nsec; }

timespec now(clockid_t clock)
{
    timespec ts;
    clock_gettime(clock, &ts);
    return ts;
}

uint64_t since(const timespec &ts, clockid_t clock)
{
    int64_t d = ns_of(now(clock)) - ns_of(ts);
    return d > 0 ? uint64_t(d) : 0;
}

} // namespace

extern "C" kd_timer *kd_timer_ctor(void)
{
    auto *t = static_cast<kd_timer *>(malloc(sizeof(kd_timer)));
    if (t)
        kd_timer_restart(t);
    return t;
}

extern "C" void kd_timer_dtor(kd_timer *t) { free(t); }

extern "C" void kd_timer_restart(kd_timer *t)
{
    if (!t)
        return;
    t->curr = now(CLOCK_MONOTONIC_RAW);
    t->prev = t->curr;
}

extern "C" uint64_t kd_timer_get_elapsed_ns(kd_timer *t)
{
    if (!t)
        return 0;
    t->curr = now(CLOCK_MONOTONIC_RAW);
    int64_t d = ns_of(t->curr) - ns_of(t->prev);
    if (d < 0)
        KD_LOG(KD_LOG_INFO, "[%s] nsec C just rolled over!\n", kd_frame_plugin_get_name(nullptr));
    return uint64_t(d);
}

extern "C" void kd_timer_lap(kd_timer *t)
{
    if (t)
        t->prev = t->curr;
}

extern "C" uint64_t kd_timer_restart_ns(kd_timer *t)
{
    uint64_t ns = kd_timer_get_elapsed_ns(t);
    kd_timer_lap(t);
    return ns;
}

extern "C" uint64_t kd_timer_get_elapsed_ns_from_timespec(struct timespec ts)
{
    return since(ts, CLOCK_MONOTONIC_RAW);
}

extern "C" uint64_t kd_timer_get_elapsed_ns_from_real(struct timespec ts)
{
    return since(ts, CLOCK_REALTIME);
}

// Set-up and join of the data-plane threads.
#include <kerrow/frame.h>
#include <kerrow/log.h>
#include <kerrow/pipe.h>

#include <sched.h>
#include <sys/resource.h>

#include <array>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace {

const char *me() { return kd_frame_plugin_get_name(nullptr); }

bool rt_disabled()
{
    const char *v = getenv("KD_NO_RT");
    return v && *v && strcmp(v, "0") != 0;
}

} // namespace

extern "C" void rt_thread_setup(const char *name, int priority)
{
    pthread_t self = pthread_self();
    if (name) {
        char cut[16] = {}; // the kernel keeps 15 characters
        strncpy(cut, name, sizeof cut - 1);
        pthread_setname_np(self, cut);
    }
    if (rt_disabled())
        return;

    // Each step is independent: a refused one is logged and the rest still run.
    sched_param sp{};
    sp.sched_priority = priority;
    if (int rc = pthread_setschedparam(self, SCHED_FIFO, &sp))
        KD_LOG(KD_LOG_WARNING, "[%s] %s: SCHED_FIFO priority %d refused: %s\n", me(),
               name ? name : "thread", priority, strerror(rc));

    cpu_set_t cpus;
    CPU_ZERO(&cpus);
    CPU_SET(0, &cpus);
    CPU_SET(1, &cpus);
    if (int rc = pthread_setaffinity_np(self, sizeof cpus, &cpus))
        KD_LOG(KD_LOG_WARNING, "[%s] %s: CPU affinity 0-1 refused: %s\n", me(),
               name ? name : "thread", strerror(rc));

    const rlimit unlimited{RLIM_INFINITY, RLIM_INFINITY};
    for (auto res : std::array{RLIMIT_RTTIME, RLIMIT_CPU})
        if (setrlimit(res, &unlimited) != 0)
            KD_LOG(KD_LOG_WARNING, "[%s] %s: lifting %s refused: %s\n", me(),
                   name ? name : "thread", res == RLIMIT_CPU ? "RLIMIT_CPU" : "RLIMIT_RTTIME",
                   strerror(errno));
}

extern "C" int rt_thread_join(pthread_t *thread, int timeout_ns)
{
    if (!thread)
        return -1;
    if (*thread == 0)
        return 0;
    pthread_t t = *thread;
    if (timeout_ns < 1) {
        *thread = 0;
        return pthread_join(t, nullptr) == 0 ? 0 : -1;
    }
    // pthread_timedjoin_np measures its deadline on CLOCK_REALTIME.
    timespec deadline;
    clock_gettime(CLOCK_REALTIME, &deadline);
    deadline.tv_sec += timeout_ns / 1000000000;
    deadline.tv_nsec += timeout_ns % 1000000000;
    if (deadline.tv_nsec >= 1000000000) {
        deadline.tv_nsec -= 1000000000;
        ++deadline.tv_sec;
    }
    int rc = pthread_timedjoin_np(t, nullptr, &deadline);
    if (rc == ETIMEDOUT)
        return -1; // still running: the caller keeps its handle and retries
    *thread = 0;
    return rc == 0 ? 0 : -1;
}

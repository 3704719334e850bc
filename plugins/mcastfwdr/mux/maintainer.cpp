// The maintainer thread, the stage buffer settings and the debug stream.
#include "mux/maintainer.h"
#include "engine.h"
#include "mcastfwdr.h"
#include "outputs/manager_output.h"

#include <kerrow/path.h>

#include <fcntl.h>
#include <pthread.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <ctime>

namespace {

constexpr const char *kStageFiles[IME_NUM] = {"/var/local/solvera/buffer_ms_ingress",
                                              "/var/local/solvera/buffer_ms_multiplex",
                                              "/var/local/solvera/buffer_ms_egress"};
constexpr int kStageDefaults[IME_NUM] = {0, 10, 10};
constexpr int kStageMax = 50;
constexpr long kTickNs = 100000000;

// Written by the maintainer, read by the multiplexer and the egress
// threads. They hold the defaults until the first read, which the thread
// does as soon as it starts.
std::atomic<int> g_stage_ms[IME_NUM] = {kStageDefaults[0], kStageDefaults[1], kStageDefaults[2]};

std::atomic<bool> g_running{false};
std::atomic<unsigned> g_ticks{0};
pthread_t g_thread{};

// One stage file: the default when missing, else the leading integer
// ("%d" rules: optional blanks and sign) clamped, or 0 without one.
int read_stage(int stage)
{
    char path[4096];
    if (kd_path(kStageFiles[stage], path, sizeof path) < 0)
        return kStageDefaults[stage];
    const int fd = ::open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0)
        return errno == ENOENT ? kStageDefaults[stage] : 0;
    char text[32] = {};
    ssize_t n;
    do
        n = ::read(fd, text, sizeof text - 1);
    while (n < 0 && errno == EINTR);
    ::close(fd);
    if (n <= 0)
        return 0;
    text[n] = '\0';
    char *end = nullptr;
    errno = 0;
    const long v = std::strtol(text, &end, 10);
    if (end == text)
        return 0;
    return v < 0 ? 0 : v > kStageMax ? kStageMax : int(v);
}

// Each monitor under the read side of the control lock, never two at once.
template <class F> void under_read_lock(F f)
{
    pthread_rwlock_rdlock(&ctrl_data_lock);
    f();
    pthread_rwlock_unlock(&ctrl_data_lock);
}

void *thread_main(void *)
{
    prctl(PR_SET_NAME, "SVM:maintainer", 0, 0, 0);
    ime_buffer_ms_update();
    timespec next;
    clock_gettime(CLOCK_MONOTONIC, &next);
    next.tv_nsec -= next.tv_nsec % kTickNs;
    unsigned tick = 0;
    while (g_running.load(std::memory_order_acquire)) {
        next.tv_nsec += kTickNs;
        if (next.tv_nsec >= 1000000000) {
            next.tv_nsec -= 1000000000;
            ++next.tv_sec;
        }
        while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &next, nullptr) == EINTR) {
        }
        if (!g_running.load(std::memory_order_acquire))
            break;
        const mcf::maintainer::tick_work w = mcf::maintainer::work_of(++tick);
        if (w.buffers)
            ime_buffer_ms_update();
        if (w.input_srt)
            under_read_lock(manager_inputs_datapath_monitor_srt_connection);
        if (w.srt_stats)
            under_read_lock(manager_inputs_datapath_get_srt_stats);
        if (w.output_srt)
            under_read_lock(manager_outputs_datapath_monitor_srt_connection);
        if (w.srt_stats)
            under_read_lock(manager_outputs_datapath_get_srt_stats);
        g_ticks.store(tick, std::memory_order_release);
    }
    return nullptr;
}

// The debug stream's state (multiplexer thread only).
struct debug_stream {
    FILE *f = nullptr;
    const char *filename = "/run/debug/mcfw/pcr";
    int ticks = 100;
    int ticker = 0;
    long size = 10000000;
    dev_t dev = 0;
    ino_t ino = 0;

    void close()
    {
        if (f)
            std::fclose(f);
        f = nullptr;
    }
    // The path names a regular file (not a link) we may write.
    static bool usable(const char *path, struct stat *st)
    {
        return ::lstat(path, st) == 0 && S_ISREG(st->st_mode) && ::access(path, W_OK) == 0;
    }
    void open(const char *path)
    {
        const int fd = ::open(path, O_RDWR | O_TRUNC | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0)
            return;
        struct stat st;
        if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
            ::close(fd);
            return;
        }
        f = ::fdopen(fd, "w+");
        if (!f) {
            ::close(fd);
            return;
        }
        dev = st.st_dev;
        ino = st.st_ino;
    }
    FILE *get()
    {
        if (--ticker >= 0)
            return f;
        ticker = ticks;
        char path[4096];
        struct stat st;
        const bool ok = kd_path(filename, path, sizeof path) >= 0 && usable(path, &st);
        if (!f) {
            if (ok)
                open(path);
            return f;
        }
        // The same file, still there and writable, not yet full.
        if (ok && st.st_dev == dev && st.st_ino == ino && std::ftell(f) < size)
            return f;
        close();
        ticker = 0;
        return nullptr;
    }
};
debug_stream g_debug;

} // namespace

namespace mcf::maintainer {

tick_work work_of(unsigned tick)
{
    tick_work w{};
    w.buffers = tick % 50 == 0;
    if (tick % 5 == 0) {
        w.input_srt = true;
        w.srt_stats = tick % 20 == 0;
        w.output_srt = true;
    }
    return w;
}

unsigned ticks() { return g_ticks.load(std::memory_order_acquire); }

void debug_stream_reset()
{
    g_debug.close();
    g_debug.ticker = 0;
}

} // namespace mcf::maintainer

extern "C" {

int get_ime_buffer_ms(int stage)
{
    return stage >= 0 && stage < IME_NUM ? g_stage_ms[stage].load(std::memory_order_relaxed) : -1;
}

void ime_buffer_ms_update(void)
{
    for (int s = 0; s < IME_NUM; ++s)
        g_stage_ms[s].store(read_stage(s), std::memory_order_relaxed);
}

int maintainer_init(void)
{
    // Set before the thread exists, so that a stop right after the start
    // is never missed.
    g_running.store(true, std::memory_order_release);
    g_ticks.store(0, std::memory_order_relaxed);
    if (pthread_create(&g_thread, nullptr, thread_main, nullptr) != 0) {
        g_running.store(false);
        g_thread = {};
        mcf_post_log(SQ_LOG_ERROR, "maintainer: failed pthread_create()");
        return -1;
    }
    mcf_post_log(SQ_LOG_DEBUG, "maintainer: success, thread ID %ld", long(g_thread));
    return 0;
}

int maintainer_fini(void)
{
    g_running.store(false, std::memory_order_release);
    if (!g_thread)
        return 0;
    mcf_post_log(SQ_LOG_DEBUG, "maintainer: thread %ld join... waiting", long(g_thread));
    if (pthread_join(g_thread, nullptr) != 0) {
        mcf_post_log(SQ_LOG_WARN, "maintainer: failed to join thread");
        return -1;
    }
    g_thread = {};
    mcf_post_log(SQ_LOG_DEBUG, "maintainer: thread join done");
    return 0;
}

int mcastfwdr_maintainer_init(void) { return maintainer_init(); }
void mcastfwdr_maintainer_fini(void) { maintainer_fini(); }

FILE *mcfwdrDebugStreamFile(int id) { return id == DSID_MCASTFWDR ? g_debug.get() : nullptr; }

void mcfwdrDebugDumpHelper(FILE *f, const char *text)
{
    if (!f || !text)
        return;
    std::fprintf(f, "%s\n", text);
    std::fflush(f);
}

} // extern "C"

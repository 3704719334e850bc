// The data path's cycle statistics and their once-a-second report.
#include "egress/statistics.h"
#include "status_queue.h"

#include <kerrow/path.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <mutex>
#include <pthread.h>

namespace {

constexpr uint32_t kMinClear = 0xFFFFFFFFu;
constexpr off_t kMaxFileBytes = 99999999;
constexpr unsigned kMaxFileReports = 86399;
constexpr size_t kWords = (sizeof(mcast_stats_t) + 7) / 8;

// A posted record behind a sequence counter: odd while the owner writes.
// The words are atomics so that a concurrent read is no data race; a
// reader retries until it saw one sequence value throughout.
struct posted_slot {
    std::atomic<uint32_t> seq{0};
    std::atomic<uint64_t> words[kWords] = {};

    void publish(const mcast_stats_t &r)
    {
        uint64_t w[kWords] = {};
        std::memcpy(w, &r, sizeof r);
        const uint32_t s = seq.load(std::memory_order_relaxed);
        seq.store(s + 1, std::memory_order_relaxed);
        std::atomic_thread_fence(std::memory_order_release);
        for (size_t i = 0; i < kWords; ++i)
            words[i].store(w[i], std::memory_order_relaxed);
        seq.store(s + 2, std::memory_order_release);
    }
    // The record and the sequence it was published under.
    uint32_t read(mcast_stats_t *out) const
    {
        uint64_t w[kWords];
        for (;;) {
            const uint32_t s1 = seq.load(std::memory_order_acquire);
            if (s1 & 1u)
                continue;
            for (size_t i = 0; i < kWords; ++i)
                w[i] = words[i].load(std::memory_order_relaxed);
            std::atomic_thread_fence(std::memory_order_acquire);
            if (seq.load(std::memory_order_relaxed) == s1) {
                std::memcpy(out, w, sizeof *out);
                return s1;
            }
        }
    }
};

struct slot {
    mcast_stats_t tally{}; // its thread's only
    posted_slot posted;
};

std::array<slot, mcf::stats::kSlots> g_slots;

void clear_tally(mcast_stats_t &t)
{
    const stats_src_t src = t.src;
    const stats_idx_t idx = t.idx;
    t = mcast_stats_t{};
    t.src = src;
    t.idx = idx;
    t.period.min = t.real.min = t.cpu.min = t.bits.min = t.buf_bits.min = kMinClear;
}

// The slot of a pair, or -1.
int slot_of(int src, int idx)
{
    switch (src) {
    case STATS_SRC_INGRESS:
        return idx >= 0 && idx < STATS_IDX_INGRESS_NUM ? idx : -1;
    case STATS_SRC_MULTIPLEX:
        return idx == STATS_IDX_MULTIPLEX ? STATS_IDX_INGRESS_NUM : -1;
    case STATS_SRC_EGRESS:
        return idx >= 0 && idx < STATS_IDX_EGRESS_NUM ? STATS_IDX_INGRESS_NUM + STATS_IDX_MULTIPLEX_NUM + idx : -1;
    default:
        return -1;
    }
}

void init_slots()
{
    for (int i = 0; i < mcf::stats::kSlots; ++i) {
        mcast_stats_t &t = g_slots[size_t(i)].tally;
        if (i < STATS_IDX_INGRESS_NUM) {
            t.src = STATS_SRC_INGRESS;
            t.idx = stats_idx_t(i);
        } else if (i == STATS_IDX_INGRESS_NUM) {
            t.src = STATS_SRC_MULTIPLEX;
            t.idx = STATS_IDX_MULTIPLEX;
        } else {
            t.src = STATS_SRC_EGRESS;
            t.idx = stats_idx_t(i - STATS_IDX_INGRESS_NUM - STATS_IDX_MULTIPLEX_NUM);
        }
        clear_tally(t);
    }
}

const bool g_slots_ready = (init_slots(), true);

void fold(stats_mam_t &t, stats_mam_t &s)
{
    const uint32_t v = uint32_t(s.avg);
    if (v < t.min)
        t.min = v;
    if (v > t.max)
        t.max = v;
    t.avg += v;
    s.avg = 0;
}

void fold_period(stats_mnapm_t &t, stats_mnapm_t &s)
{
    const uint32_t p = uint32_t(s.avg);
    const uint32_t q = p / 1000;
    if (q < 1000)
        t.neg += 1000 - q;
    else if (q > 1000)
        t.pos += q - 1000;
    if (p < t.min)
        t.min = p;
    if (p > t.max)
        t.max = p;
    t.avg += p;
    s.avg = 0;
}

// The statistics thread.
std::mutex g_mutex;
std::condition_variable g_wake;
bool g_running = false;
bool g_started = false;
pthread_t g_thread{};
std::atomic<unsigned> g_passes{0};

const char *const kNames[mcf::stats::kSlots] = {
    "Ingress-XSB", "Ingress-NET", "Ingress-SRT", "Ingress-ASI", "Multiplex  "};
const char *const kEvtLabels[STATS_EVT_NUM] = {"U-",     "O+",          "invalid_warn", "nil_warn", "busy_warn",
                                               "cc_err", "connect_err", "socket_err",   "size_err"};

unsigned us(uint64_t ns) { return unsigned((ns + 500) / 1000); }

void *statistics_thread(void *)
{
    pthread_setname_np(pthread_self(), "SVM:statistics");
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    auto wake = std::chrono::steady_clock::now() - std::chrono::nanoseconds(t.tv_nsec) + std::chrono::milliseconds(500);
    mcf::stats::report_state st;
    std::unique_lock lk(g_mutex);
    while (g_running) {
        wake += std::chrono::seconds(1);
        if (g_wake.wait_until(lk, wake, [] { return !g_running; }))
            break;
        lk.unlock();
        mcf::stats::report_pass(st, kd::rooted("/run/stats"));
        g_passes.fetch_add(1, std::memory_order_relaxed);
        lk.lock();
    }
    return nullptr;
}

} // namespace

namespace mcf::stats {

std::string format_report(report_state &st, const char *hms)
{
    std::string out;
    char line[512];
    std::snprintf(line, sizeof line, "@ %s %.3u_%.5u_%.9u\n", hms, st.truncations, st.file_reports, st.total_reports);
    out += line;
    out += "-----------  ------ Period Time uS -------  - Real Time uS --  -- CPU Time uS --  ------------- Thread "
           "Specific Details -------------\n";
    out += "  Thread      min   --<   avg   >++   max    min   avg   max    min   avg   max    Mbps, Buf-Kb, plus "
           "optional info/warnings/errors\n";
    uint64_t cpu[STATS_SRC_NUM] = {};
    for (int i = 0; i < kSlots; ++i) {
        mcast_stats_t r;
        const uint32_t seq = g_slots[size_t(i)].posted.read(&r);
        // Printed once per posting: a thread that stops posting drops out.
        if (seq == st.printed[i] || r.cpu.avg == 0)
            continue;
        st.printed[i] = seq;
        char name[16];
        if (i < STATS_IDX_INGRESS_NUM + STATS_IDX_MULTIPLEX_NUM)
            std::snprintf(name, sizeof name, "%s", kNames[i]);
        else
            std::snprintf(name, sizeof name, "Egress-%-4d", i - STATS_IDX_INGRESS_NUM - STATS_IDX_MULTIPLEX_NUM + 1);
        int n = std::snprintf(line, sizeof line, "%s  %5u %5u %5u %5u %5u  %5u %5u %5u  %5u %5u %5u", name,
                              us(r.period.min), 1000u - r.period.neg, us(r.period.avg), r.period.pos + 1000u,
                              us(r.period.max), us(r.real.min), us(r.real.avg), us(r.real.max), us(r.cpu.min),
                              us(r.cpu.avg), us(r.cpu.max));
        n += std::snprintf(line + n, sizeof line - size_t(n), "  Mbps- %10.6f [%4u %4u]", double(r.bits.avg) / 1e6,
                           r.bits.min / 1000, r.bits.max / 1000);
        if (r.src != STATS_SRC_MULTIPLEX)
            n += std::snprintf(line + n, sizeof line - size_t(n), " Buf-Kb %4u [%4u %4u]",
                               unsigned(r.buf_bits.avg / 1000000), r.buf_bits.min / 1000, r.buf_bits.max / 1000);
        for (int e = STATS_EVT_NUM - 1; e >= 0; --e) {
            const uint32_t c = r.evt[e];
            if (c == 0 || (e == STATS_EVT_UNDERFLOW_WARN && c >= 1000))
                continue;
            n += std::snprintf(line + n, sizeof line - size_t(n), ", %d %s", int(c), kEvtLabels[e]);
            break;
        }
        out.append(line, size_t(n));
        out += '\n';
        cpu[r.src] += r.cpu.avg;
    }
    const uint64_t total = cpu[0] + cpu[1] + cpu[2];
    std::snprintf(line, sizeof line, "2 CPU Cores 200%%: Total %4.1f  Ingress %4.1f  Multiplex %4.1f  Egress %4.1f\n",
                  double(total) / 10000.0, double(cpu[STATS_SRC_INGRESS]) / 10000.0,
                  double(cpu[STATS_SRC_MULTIPLEX]) / 10000.0, double(cpu[STATS_SRC_EGRESS]) / 10000.0);
    out += line;
    return out;
}

int report_pass(report_state &st, const std::string &path)
{
    const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0)
        return -1;
    struct stat sb;
    if (fstat(fd, &sb) == 0 && (sb.st_size > kMaxFileBytes || st.file_reports > kMaxFileReports) &&
        ftruncate(fd, 0) == 0) {
        ++st.truncations;
        st.file_reports = 0;
    }
    const time_t now = time(nullptr);
    tm lt;
    char hms[16] = "00:00:00";
    if (localtime_r(&now, &lt))
        std::strftime(hms, sizeof hms, "%H:%M:%S", &lt);
    const std::string text = format_report(st, hms);
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t w = ::write(fd, text.data() + done, text.size() - done);
        if (w < 0 && errno == EINTR)
            continue;
        if (w <= 0)
            break;
        done += size_t(w);
    }
    ::close(fd);
    if (done != text.size())
        return -1;
    ++st.file_reports;
    ++st.total_reports;
    return 0;
}

unsigned passes() { return g_passes.load(std::memory_order_relaxed); }

void reset()
{
    for (slot &s : g_slots)
        s.posted.publish(mcast_stats_t{});
    init_slots();
}

} // namespace mcf::stats

extern "C" {

void mcastfwdr_statistics(mcast_stats_t *s)
{
    (void)g_slots_ready;
    if (!s)
        return;
    const int i = slot_of(int(s->src), int(s->idx));
    if (i < 0)
        return;
    slot &sl = g_slots[size_t(i)];
    mcast_stats_t &t = sl.tally;
    fold_period(t.period, s->period);
    fold(t.real, s->real);
    fold(t.cpu, s->cpu);
    fold(t.bits, s->bits);
    fold(t.buf_bits, s->buf_bits);
    for (int e = 0; e < STATS_EVT_NUM; ++e) {
        t.evt[e] += s->evt[e];
        s->evt[e] = 0;
    }
    if (s->post) {
        t.period.neg /= 1000;
        t.period.avg /= 1000;
        t.period.pos /= 1000;
        t.real.avg /= 1000;
        t.cpu.avg /= 1000;
        t.post = true;
        sl.posted.publish(t);
        clear_tally(t);
    }
}

int mcastfwdr_statistics_posted(int src, int idx, mcast_stats_t *out)
{
    const int i = slot_of(src, idx);
    if (i < 0 || !out)
        return -1;
    g_slots[size_t(i)].posted.read(out);
    return 0;
}

int mcastfwdr_statistics_init(void)
{
    std::lock_guard lk(g_mutex);
    if (g_started)
        return 0;
    g_running = true;
    if (pthread_create(&g_thread, nullptr, statistics_thread, nullptr) != 0) {
        g_running = false;
        mcf_post_log(SQ_LOG_ERROR, "statistics: failed pthread_create()");
        return -1;
    }
    g_started = true;
    mcf_post_log(SQ_LOG_DEBUG, "statistics: success, thread ID %ld", long(g_thread));
    return 0;
}

int mcastfwdr_statistics_fini(void)
{
    {
        std::lock_guard lk(g_mutex);
        if (!g_started)
            return 0;
        g_running = false;
    }
    g_wake.notify_all();
    mcf_post_log(SQ_LOG_DEBUG, "statistics: thread %ld join... waiting", long(g_thread));
    const int rc = pthread_join(g_thread, nullptr);
    std::lock_guard lk(g_mutex);
    g_started = false;
    if (rc != 0) {
        mcf_post_log(SQ_LOG_WARN, "statistics: failed to join thread");
        return -1;
    }
    mcf_post_log(SQ_LOG_DEBUG, "statistics: thread join done");
    return 0;
}

} // extern "C"

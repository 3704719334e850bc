// The multiplexer thread.
#include "mux/multiplexer.h"
#include "asi/asi_kt33.h"
#include "egress/statistics.h"
#include "engine.h"
#include "ingress/manager_input.h"
#include "ingress/xsb_bridge.h"
#include "mcastfwdr.h"
#include "mux/maintainer.h"
#include "mux/rt_cycle.h"
#include "mux/wake.h"
#include "outputs/manager_output.h"
#include "egress/egress.h"
#include "router/output_view.h"
#include "router/send.h"

#include <kerrow/cuvent.h>
#include <kerrow/pipe.h>

#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>

namespace {

constexpr int kPriority = 91;
constexpr const char *kName = "multiplexer";
constexpr int kJoinTimeoutNs = 0; // the thread ends within a cycle

constexpr int kReloadStreamLoss = 197;
constexpr int kReloadProgramStatus = 2005;
constexpr int kReloadInputAlarmErrors = 1000;
constexpr int kReloadInputAlarm = 6017;
constexpr int kReloadOutputAlarm = 5987;
constexpr int kReloadDecoder = 1000;

constexpr uint64_t kAsiRatePackets = 28000;
constexpr int kAsiRateTolerance = 20000;

// The longest wait for data: the thread's statistics are posted each second.
constexpr int kMaxWaitMs = 200;

std::atomic<bool> g_halt{true};
std::atomic<uint64_t> g_cycles{0};
pthread_t g_thread{};
mcf::waker g_wake;
mcf::thread_hold g_hold;

// Runs a counter down by ms; true (and reloaded by the caller) when it
// expires.
bool due(int &counter, int ms)
{
    if (counter >= ms) {
        counter -= ms;
        return false;
    }
    return true;
}

// A counter's reload after it expired `ms` - 1 - counter milliseconds late:
// the period keeps its phase, unless a whole period was missed (a long
// wait): then the check runs once now and the next a period on.
int reload(int period, int counter, int ms)
{
    const int late = ms - 1 - counter;
    return late >= period ? period - 1 : period - 1 - late;
}

// Each check under the read side of the control lock.
struct locked_monitors final : mcf::mux::monitors {
    struct read_lock {
        read_lock() { pthread_rwlock_rdlock(&ctrl_data_lock); }
        ~read_lock() { pthread_rwlock_unlock(&ctrl_data_lock); }
    };
    void stream_loss() override
    {
        read_lock l;
        manager_inputs_datapath_monitor_for_stream_loss();
    }
    void program_status() override
    {
        read_lock l;
        manager_inputs_datapath_update_program_status();
    }
    unsigned input_alarm() override
    {
        read_lock l;
        return manager_inputs_datapath_check_alarm_state();
    }
    void output_alarm() override
    {
        read_lock l;
        manager_outputs_datapath_check_alarm_state();
    }
};

// The input of a pipe entry; read lock held.
manager_input *input_of(const ingress_to_mux_item &e)
{
    switch (e.src) {
    case INGRESS_SRC_NET:
        // Entries of a socket closed since (maybe reused by now) are stale.
        if (!mcf::net_socket_is_current(e.sock_id, ingress_item_socket_gen(&e)))
            return nullptr;
        if (e.ip[0]) {
            char ip[sizeof e.ip + 1] = {};
            std::copy(std::begin(e.ip), std::end(e.ip), ip);
            return manager_inputs_find_net_input_by_node_socket(ip, e.sock_id);
        }
        return manager_inputs_find_net_input_by_socket(e.sock_id);
    case INGRESS_SRC_SRT:
        return manager_inputs_find_net_input_by_srt_sock(e.sock_id);
    case INGRESS_SRC_ASI: {
        manager_input *mi = asi_input_get_manager(e.input_map_idx);
        const int detected = mi ? asi_input_state_get_rate(e.input_map_idx) : -1;
        if (mi && detected >= 0 &&
            mcf::mux::asi_rate_reported(detected, manager_input_get_bps(mi),
                                        mi->ts_packets_rx.load(std::memory_order_relaxed)))
            mcf_post_input_rate_detected(mi->id, uint32_t(detected));
        return mi;
    }
    case INGRESS_SRC_XSB:
        return mcastfwdr_ingress_get_xsb_input_map(&e);
    default:
        return nullptr;
    }
}

// One pipe's turn; bits counts this cycle's bits.
void drain(ingress_src_t src, uint32_t &bits, mcast_stats_t &sample)
{
    kd_pipe_t *p = ingress_pipe[src];
    if (!p || kd_pipe_level(p) == 0)
        return; // nothing to take: neither the lock nor the budget
    const uint32_t budget = mcf::mux::pipe_budget_now(src, kd_pipe_level(p));
    const uint32_t limit = uint32_t(std::min<uint64_t>(uint64_t(bits) + budget, mcf::mux::kCycleBits));
    pthread_rwlock_rdlock(&ctrl_data_lock);
    const uint32_t before = bits;
    ingress_to_mux_item e;
    while (bits < limit && kd_pipe_read_unlocked(p, &e) == 0) {
        manager_input *mi = input_of(e);
        if (!mi) {
            ++sample.evt[STATS_EVT_INVALID_WARN];
            continue;
        }
        if (!e.buf || e.len < 1) {
            ++sample.evt[STATS_EVT_EMPTY_WARN];
            continue;
        }
        const timespec ts{e.tstamp.tv_sec, e.tstamp.tv_nsec};
        const bool stamped = e.tstamp.tv_sec >= 1;
        // Without a kernel stamp the datagram counts as received now.
        mi->rx_ns = stamped ? int64_t(uint32_t(e.tstamp.tv_sec)) * 1000000000 + e.tstamp.tv_nsec : 0;
        mcastfwdr_handle_and_send_msg_in(mi, e.buf, e.len, stamped ? &ts : nullptr);
        mi->rx_ns = 0;
        bits += mcf::mux::kEntryBits;
    }
    // Egress threads waiting for packets take what this turn gave them.
    if (bits != before)
        mcf::for_each_output([](manager_output *mo) {
            if (mo->egress)
                mo->egress->wake.notify();
        });
    pthread_rwlock_unlock(&ctrl_data_lock);
}

// "ccset" / "ccclear" for decoder channels 0 and 1; no lock held, as the
// decoder's answers reach listeners that take the write side.
void emit(bool set)
{
    uint32_t channel = 0; // the payload, valid during the emit
    for (unsigned c = 0; c < 2; ++c) {
        channel = c;
        if (set)
            mcf_post_log(SQ_LOG_INFO, "MCF: emit CC set %u", c + 1);
        else
            mcf_post_log(SQ_LOG_INFO, "MCF: emit CC clear %u", c + 1);
        kd_cuvent_emit(mcf_pli, set ? "ccset" : "ccclear", &channel);
    }
}

bool pipes_empty()
{
    for (kd_pipe_t *p : ingress_pipe)
        if (p && kd_pipe_level(p) != 0)
            return false;
    return true;
}

void *thread_main(void *)
{
    rt_thread_setup("SVM:multiplexer", kPriority);
    static constexpr ingress_src_t kOrder[] = {INGRESS_SRC_NET, INGRESS_SRC_SRT, INGRESS_SRC_ASI, INGRESS_SRC_XSB};
    mcf::mux::periodic checks;
    locked_monitors monitors;
    mcast_stats_t sample{};
    sample.src = STATS_SRC_MULTIPLEX;
    sample.idx = STATS_IDX_MULTIPLEX;
    mcf::rt_cycle cycle;
    auto halted = [] { return g_halt.load(std::memory_order_acquire); };
    uint64_t last_ms = mcf::rt_cycle::now_ns(CLOCK_MONOTONIC) / 1000000;
    mcf::idle_cycles idle;
    while (!halted()) {
        g_hold.honour(halted);
        cycle.begin();
        uint32_t bits = 0;
        for (ingress_src_t src : kOrder)
            drain(src, bits, sample);
        // The checks keep their periods in time, also across waits.
        const uint64_t now_ms = mcf::rt_cycle::now_ns(CLOCK_MONOTONIC) / 1000000;
        const int ms = int(std::clamp<uint64_t>(now_ms - last_ms, 1, 60000));
        last_ms = now_ms;
        switch (checks.step(monitors, ms)) {
        case mcf::mux::cc_signal::set:
            emit(true);
            break;
        case mcf::mux::cc_signal::clear:
            emit(false);
            break;
        case mcf::mux::cc_signal::none:
            break;
        }
        sample.bits.avg = bits;
        cycle.post(sample);
        g_cycles.fetch_add(1, std::memory_order_release);
        if (idle.idle(bits == 0 && pipes_empty())) {
            // Nothing waits: until an ingress thread writes or a check is due.
            g_wake.wait([] { return !pipes_empty() || g_halt.load(std::memory_order_acquire); }, nullptr, 0,
                        std::min(checks.ms_to_next(), kMaxWaitMs));
            cycle.rewind();
        } else {
            cycle.sleep();
        }
    }
    return nullptr;
}

} // namespace

namespace mcf::mux {

uint32_t pipe_budget_now(ingress_src_t pipe, unsigned level)
{
    mcast_stats_t posted;
    const bool have =
        mcastfwdr_statistics_posted(STATS_SRC_INGRESS, mcf::ingress_stats_index(pipe), &posted) == 0 && posted.post;
    return pipe_budget(get_ime_buffer_ms(IME_MULTIPLEX), have ? int64_t(posted.bits.avg) : -1, level);
}

uint32_t pipe_budget(int buffer_ms, int64_t avg_bps, unsigned level)
{
    if (buffer_ms <= 0 || avg_bps < 0)
        return kCycleBits;
    const int64_t buffered = int64_t(level) * kEntryBits;
    const int64_t ideal = avg_bps / 1000;
    const int64_t error = buffered - ideal * (buffer_ms + 1);
    const int64_t adjust = error < 0 ? -int64_t(kEntryBits) : error / (buffer_ms + 1) + kEntryBits;
    // As an unsigned number: a negative sum is a large one, capped.
    const uint32_t budget = uint32_t(ideal + adjust);
    return std::min(budget, kPipeBits);
}

bool asi_rate_reported(int detected_bps, int configured_bps, uint64_t ts_packets)
{
    return detected_bps >= 0 && ts_packets % kAsiRatePackets == 0 &&
           std::llabs(int64_t(detected_bps) - configured_bps) > kAsiRateTolerance;
}

cc_signal periodic::step(monitors &m, int ms)
{
    if (due(stream_loss_, ms)) {
        m.stream_loss();
        stream_loss_ = reload(kReloadStreamLoss, stream_loss_, ms);
    }
    if (due(program_status_, ms)) {
        m.program_status();
        program_status_ = reload(kReloadProgramStatus, program_status_, ms);
    }
    unsigned answer = 0;
    if (due(input_alarm_, ms)) {
        const int late = input_alarm_;
        answer = m.input_alarm();
        input_alarm_ = reload(answer == 1 ? kReloadInputAlarmErrors : kReloadInputAlarm, late, ms);
    }
    if (due(output_alarm_, ms)) {
        m.output_alarm();
        output_alarm_ = reload(kReloadOutputAlarm, output_alarm_, ms);
    }
    if (answer == 2) {
        decoder_ = kReloadDecoder;
        state_ = 2;
        return cc_signal::set;
    }
    if (state_ == 2 && (decoder_ -= ms) <= 0) {
        state_ = 0;
        return cc_signal::clear;
    }
    return cc_signal::none;
}

int periodic::ms_to_next() const
{
    int next = std::min({stream_loss_, program_status_, input_alarm_, output_alarm_}) + 1;
    if (state_ == 2)
        next = std::min(next, std::max(decoder_, 1));
    return std::max(next, 1);
}

uint64_t cycles() { return g_cycles.load(std::memory_order_acquire); }

void data_arrived() { g_wake.notify(); }

void hold(bool on) { g_hold.set(on); }

} // namespace mcf::mux

extern "C" {

int mcastfwdr_multiplex_init(void)
{
    g_halt.store(false, std::memory_order_release);
    if (pthread_create(&g_thread, nullptr, thread_main, nullptr) != 0) {
        g_thread = {};
        mcf_post_log(SQ_LOG_ERROR, "%s: failed pthread_create", kName);
        g_halt.store(true);
        return -1;
    }
    mcf_post_log(SQ_LOG_DEBUG, "%s: thread ID %ld created", kName, long(g_thread));
    return 0;
}

int mcastfwdr_multiplex_fini(void)
{
    g_halt.store(true, std::memory_order_release);
    g_wake.kick();
    if (!g_thread)
        return 0;
    mcf_post_log(SQ_LOG_DEBUG, "%s: thread %ld join... waiting", kName, long(g_thread));
    if (rt_thread_join(&g_thread, kJoinTimeoutNs) != 0) {
        mcf_post_log(SQ_LOG_WARN, "%s: failed to join thread", kName);
        return -1;
    }
    mcf_post_log(SQ_LOG_DEBUG, "%s: thread join... done", kName);
    return 0;
}

int mcastfwdr_mux_init(void) { return mcastfwdr_multiplex_init(); }
void mcastfwdr_mux_fini(void) { mcastfwdr_multiplex_fini(); }

} // extern "C"

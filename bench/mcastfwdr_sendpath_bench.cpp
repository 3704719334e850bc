// The forwarder's send path per received datagram (seven packets through
// the PID index, routing, PCR restamping, fill and table slots into the
// output's pool) against a bare relay of the same datagrams over loopback
// UDP (recvmmsg, then sendmmsg to another socket), both in thread CPU time
// in the same iteration, in alternating order:
//   BM_sendpath_vs_relay: `vs_relay` = send-path CPU per datagram over the
//     relay's (10 PIDs, one output at 1.5 x its input: a target of 0.5 or less);
//   BM_sendpath_scale: `big/small` = 1000 PIDs routed to 50 outputs with
//     the traffic going to one, over 10 PIDs and one output (target 1.2);
// `allocs` counts malloc calls inside the timed send-path loops after
// warm-up (a hook in this program); it must stay 0.
#include "alternate.h"
#include "engine.h"
#include "ingress/manager_input.h"
#include "mcastfwdr.h"
#include "router/phindex.h"
#include "router/populate.h"
#include "router/send.h"
#include "sendpath_output.h"

#include <kerrow/log.h>

#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <ctime>
#include <memory>
#include <vector>

extern "C" void *__libc_malloc(size_t);
namespace {
std::atomic<long> g_mallocs{0};
}
extern "C" void *malloc(size_t n)
{
    g_mallocs.fetch_add(1, std::memory_order_relaxed);
    return __libc_malloc(n);
}

namespace {

constexpr int kPkts = 7, kDgram = kPkts * 188, kBatch = 32;
constexpr int kInBps = 10000000, kOutBps = 15000000;

double thread_cpu()
{
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) * 1e-9;
}

std::vector<manager_output *> g_outputs;
int populate_outputs()
{
    mcf::populate_from(g_outputs.data(), unsigned(g_outputs.size()));
    return -1;
}

// Inputs at 10 Mbit/s in one engine: input 100 with one program of 10 PIDs
// routed to output 1 (`small`); input 101 the same to output 2 (`big`),
// beside input 102 with 49 programs of 20 PIDs, each routed to an output of
// its own, so that the index holds about 1000 PIDs for 50 outputs while the
// traffic goes to one. An input's traffic is its program 1's PIDs in turn, a
// PCR every 40 packets and a null packet every 16; outputs run at 1.5 x the
// input.
class engine {
public:
    enum { small = 0, big = 1 };

    engine()
    {
        kd_log_set_sink([](void *, int, const char *, int, const char *, const char *) {}, nullptr);
        mcastfwdr_cfg_init(&mcf_cfg);
        mcf::manager_inputs_records_only(true);
        manager_inputs_init();
        for (int id : {100, 101, 102}) {
            cfg_rx *rx = mcfcfg_rx_add_net(id);
            std::snprintf(rx->ingress_node, sizeof rx->ingress_node, "239.0.0.%d", id - 99);
            rx->ingress_port = 5000;
            rx->ingress_bps = kInBps;
        }
        manager_input_output_sync(0);
        circbuf = kd_circbuf_ctor(MCF_CIRCBUF_SIZE, MCF_CIRCBUF_MAX_WRITE);
        add_lane(100, 1, 10);
        add_lane(101, 1, 10);
        add_lane(102, 49, 20);
        for (auto &o : outs_)
            g_outputs.push_back(o->get());
        phindex_init(populate_outputs, mcastfwdr_depopulate_pidh);
        pthread_rwlock_wrlock(&ctrl_data_lock);
        phindex_repopulate();
        pthread_rwlock_unlock(&ctrl_data_lock);
    }
    ~engine()
    {
        phindex_fini();
        g_outputs.clear();
        outs_.clear();
        kd_circbuf_dtor(circbuf);
        circbuf = nullptr;
        manager_inputs_fini();
        mcf::manager_inputs_records_only(false);
        mcastfwdr_cfg_fini(&mcf_cfg);
        kd_log_set_sink(nullptr, nullptr);
    }
    // kBatch datagrams of a lane through the send path: thread CPU seconds;
    // the pools are emptied afterwards (untimed), as the egress threads would.
    double run(int which)
    {
        lane &l = lanes_[size_t(which)];
        prepare(l);
        const double t0 = thread_cpu();
        pthread_rwlock_rdlock(&ctrl_data_lock);
        for (int d = 0; d < kBatch; ++d)
            mcastfwdr_handle_and_send_msg_in(l.mi, &l.stream[size_t((l.next + d) % 40) * kDgram], kDgram, nullptr);
        pthread_rwlock_unlock(&ctrl_data_lock);
        const double t = thread_cpu() - t0;
        l.next = (l.next + kBatch) % 40;
        for (auto &o : outs_)
            ts_pool_clear(o->get()->egress->ts_pool);
        return t;
    }

private:
    struct lane {
        manager_input *mi = nullptr;
        std::vector<uint8_t> stream;
        std::vector<int> cc = std::vector<int>(8192, 0);
        uint64_t pcr = 27000000;
        int next = 0;
    };
    void add_lane(int id, int programs, int pids)
    {
        lane l;
        l.mi = manager_inputs_find_by_id(id);
        l.mi->configured_bps = kInBps;
        for (int p = 0; p < programs; ++p) {
            const int base = 0x100 + p * 32;
            pmt_state *s = input_table_info_append_service(l.mi->tables, 0x20 + p, p + 1);
            s->pmt.pcr_pid = base;
            s->pmt.pcr_ingress_id = id;
            for (int i = 0; i < pids - 1; ++i)
                local_pmt_add_entry(&s->pmt, 0x1B, id, base + i);
            outs_.push_back(std::make_unique<mcftest::test_output>(int(outs_.size()) + 1, kInBps, kOutBps));
            outs_.back()->route(id, p + 1);
        }
        // 280 packets of program 1, as 40 datagrams.
        l.stream.resize(40 * kDgram);
        for (int i = 0; i < 40 * kPkts; ++i) {
            uint8_t *b = &l.stream[size_t(i) * 188];
            const int pid = i % 16 == 15 ? 8191 : 0x100 + i % (pids - 1);
            b[0] = 0x47;
            b[1] = uint8_t(pid >> 8);
            b[2] = uint8_t(pid);
            b[3] = 0x10;
            std::memset(b + 4, 0xFF, 184);
            if (i % 40 == 0) { // a PCR on the program's first PID
                b[1] = 0x01;
                b[2] = 0x00;
                b[3] = 0x30;
                b[4] = 7;
                b[5] = 0x10;
            }
        }
        lanes_.push_back(std::move(l));
    }
    // Counters and PCRs run on as a real stream's do (untimed).
    static void prepare(lane &l)
    {
        for (int d = 0; d < kBatch; ++d) {
            uint8_t *dg = &l.stream[size_t((l.next + d) % 40) * kDgram];
            for (int k = 0; k < kPkts; ++k) {
                uint8_t *b = dg + k * 188;
                const int pid = (b[1] & 0x1F) << 8 | b[2];
                l.cc[size_t(pid)] = (l.cc[size_t(pid)] + 1) & 15;
                b[3] = uint8_t((b[3] & 0xF0) | l.cc[size_t(pid)]);
                if (b[3] & 0x20) {
                    l.pcr += 40 * 188 * 8 * 27 / 10; // 40 packets at 10 Mbit/s
                    tsphPcrSet(b + 6, l.pcr);
                }
            }
        }
    }
    std::vector<lane> lanes_;
    std::vector<std::unique_ptr<mcftest::test_output>> outs_;
};

// The reference: datagrams waiting on a loopback socket, taken with one
// recvmmsg and passed on with one sendmmsg.
class relay {
public:
    relay()
    {
        tx_ = socket(AF_INET, SOCK_DGRAM, 0);
        in_ = bound(&in_addr_);
        sink_ = bound(&sink_addr_);
        for (int i = 0; i < kBatch; ++i) {
            iov_[i] = {bufs_[i], kDgram};
            msgs_[i].msg_hdr.msg_iov = &iov_[i];
            msgs_[i].msg_hdr.msg_iovlen = 1;
        }
        std::memset(bufs_, 0x47, sizeof bufs_);
    }
    ~relay()
    {
        close(tx_);
        close(in_);
        close(sink_);
    }
    // kBatch datagrams relayed: thread CPU seconds of the relay's two calls.
    double run()
    {
        for (int i = 0; i < kBatch; ++i)
            sendto(tx_, bufs_[i], kDgram, 0, reinterpret_cast<sockaddr *>(&in_addr_), sizeof in_addr_);
        for (int i = 0; i < kBatch; ++i) {
            msgs_[i].msg_hdr.msg_name = nullptr;
            msgs_[i].msg_hdr.msg_namelen = 0;
            iov_[i].iov_len = kDgram;
        }
        const double t0 = thread_cpu();
        const int n = recvmmsg(in_, msgs_, kBatch, MSG_DONTWAIT, nullptr);
        for (int i = 0; i < n; ++i) {
            msgs_[i].msg_hdr.msg_name = &sink_addr_;
            msgs_[i].msg_hdr.msg_namelen = sizeof sink_addr_;
            iov_[i].iov_len = msgs_[i].msg_len;
        }
        if (n > 0)
            sendmmsg(in_, msgs_, unsigned(n), 0);
        const double t = thread_cpu() - t0;
        relayed_ += n > 0 ? n : 0;
        while (recv(sink_, drain_, sizeof drain_, MSG_DONTWAIT) > 0) {
        }
        return t;
    }
    long relayed() const { return relayed_; }

private:
    static int bound(sockaddr_in *addr)
    {
        const int fd = socket(AF_INET, SOCK_DGRAM, 0);
        const int size = 1 << 21;
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
        *addr = {};
        addr->sin_family = AF_INET;
        addr->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(fd, reinterpret_cast<sockaddr *>(addr), sizeof *addr);
        socklen_t len = sizeof *addr;
        getsockname(fd, reinterpret_cast<sockaddr *>(addr), &len);
        return fd;
    }
    int tx_ = -1, in_ = -1, sink_ = -1;
    sockaddr_in in_addr_{}, sink_addr_{};
    uint8_t bufs_[kBatch][kDgram];
    uint8_t drain_[2048];
    iovec iov_[kBatch];
    mmsghdr msgs_[kBatch] = {};
    long relayed_ = 0;
};

engine &the_engine()
{
    static engine e;
    static bool warm = [] {
        for (int i = 0; i < 50; ++i) { // windows, handlers, caches
            e.run(engine::small);
            e.run(engine::big);
        }
        return true;
    }();
    (void)warm;
    return e;
}

void BM_sendpath_vs_relay(benchmark::State &state)
{
    static bench::Alternation order;
    engine &e = the_engine();
    relay r;
    double ours = 0, ref = 0;
    long allocs = 0, batches = 0;
    for (auto _ : state)
        for (int i = 0; i < 20; ++i, ++batches)
            order.run(
                [&] {
                    const long before = g_mallocs.load();
                    ours += e.run(engine::small);
                    allocs += g_mallocs.load() - before;
                },
                [&] { ref += r.run(); });
    const double dgrams = double(batches) * kBatch, relayed = double(r.relayed() ? r.relayed() : 1);
    state.counters["vs_relay"] = (ours / dgrams) / (ref / relayed);
    state.counters["ns_per_dgram"] = ours * 1e9 / dgrams;
    state.counters["relay_ns_per_dgram"] = ref * 1e9 / relayed;
    state.counters["allocs"] = double(allocs);
}
BENCHMARK(BM_sendpath_vs_relay)->Iterations(20)->Repetitions(5)->ReportAggregatesOnly(true);

void BM_sendpath_scale(benchmark::State &state)
{
    static bench::Alternation order;
    engine &e = the_engine();
    double small_t = 0, big_t = 0;
    long allocs = 0;
    for (auto _ : state)
        for (int i = 0; i < 20; ++i)
            order.run(
                [&] { small_t += e.run(engine::small); },
                [&] {
                    const long before = g_mallocs.load();
                    big_t += e.run(engine::big);
                    allocs += g_mallocs.load() - before;
                });
    state.counters["big/small"] = big_t / small_t;
    state.counters["big_ns_per_dgram"] = big_t * 1e9 / (double(state.iterations()) * 20 * kBatch);
    state.counters["allocs"] = double(allocs);
}
BENCHMARK(BM_sendpath_scale)->Iterations(20)->Repetitions(5)->ReportAggregatesOnly(true);

} // namespace

BENCHMARK_MAIN();

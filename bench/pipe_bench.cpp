// Hand-over pipe and dataset costs, as ratios against references measured
// in the same run:
//  - pipe throughput and one-way latency for 64-byte entries between two
//    pinned threads, against a plain memcpy of the same bytes and against
//    Boost's lock-free SPSC queue of the same capacity;
//  - dataset insert of n values, against appending to a vector and sorting
//    it once.
#include "alternate.h"

#include <kerrow/dataset.h>
#include <kerrow/pipe.h>

#include <benchmark/benchmark.h>
#include <boost/lockfree/spsc_queue.hpp>

#include <pthread.h>
#include <sched.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <random>
#include <thread>
#include <vector>

namespace {

using clock_type = std::chrono::steady_clock;

struct Entry {
    unsigned char bytes[64];
};
constexpr unsigned kSlots = 3799; // the forwarder's ingress pipes
constexpr size_t kBatch = 1 << 20;

void pin(int cpu)
{
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(cpu % std::max(1u, std::thread::hardware_concurrency()), &set);
    pthread_setaffinity_np(pthread_self(), sizeof set, &set);
}

// Seconds to move kBatch entries from a producer on CPU 0 to a consumer on CPU 1.
template <typename Push, typename Pop> double transfer(Push push, Pop pop)
{
    std::atomic<bool> go{false};
    std::thread producer([&] {
        pin(0);
        Entry e{};
        while (!go.load(std::memory_order_acquire)) {
        }
        for (size_t i = 0; i < kBatch; ++i) {
            e.bytes[0] = static_cast<unsigned char>(i);
            while (!push(e)) {
            }
        }
    });
    pin(1);
    Entry e;
    auto t0 = clock_type::now();
    go.store(true, std::memory_order_release);
    for (size_t i = 0; i < kBatch; ++i) {
        while (!pop(e)) {
        }
        benchmark::DoNotOptimize(e);
    }
    auto t1 = clock_type::now();
    producer.join();
    return std::chrono::duration<double>(t1 - t0).count();
}

// Seconds per one-way trip: ping on one queue, pong back on another.
template <typename Push, typename Pop>
double pingpong(Push push_a, Pop pop_a, Push push_b, Pop pop_b, size_t rounds)
{
    std::thread echo([&] {
        pin(1);
        Entry e;
        for (size_t i = 0; i < rounds; ++i) {
            while (!pop_a(e)) {
            }
            while (!push_b(e)) {
            }
        }
    });
    pin(0);
    Entry e{};
    auto t0 = clock_type::now();
    for (size_t i = 0; i < rounds; ++i) {
        while (!push_a(e)) {
        }
        while (!pop_b(e)) {
        }
    }
    auto t1 = clock_type::now();
    echo.join();
    return std::chrono::duration<double>(t1 - t0).count() / double(2 * rounds);
}

double memcpy_seconds()
{
    std::vector<Entry> src(kSlots), dst(kSlots);
    auto t0 = clock_type::now();
    for (size_t i = 0; i < kBatch; ++i) {
        memcpy(&dst[i % kSlots], &src[i % kSlots], sizeof(Entry));
        benchmark::ClobberMemory();
    }
    return std::chrono::duration<double>(clock_type::now() - t0).count();
}

using Spsc = boost::lockfree::spsc_queue<Entry, boost::lockfree::capacity<kSlots>>;

struct PipePair {
    kd_pipe_t *p = kd_pipe_ctor(kSlots, sizeof(Entry));
    ~PipePair() { kd_pipe_dtor(p); }
    auto pusher() { return [this](const Entry &e) { return kd_pipe_write_unlocked(p, &e) == 0; }; }
    auto popper() { return [this](Entry &e) { return kd_pipe_read_unlocked(p, &e) == 0; }; }
};

struct SpscPair {
    std::unique_ptr<Spsc> q = std::make_unique<Spsc>();
    auto pusher() { return [this](const Entry &e) { return q->push(e); }; }
    auto popper() { return [this](Entry &e) { return q->pop(e); }; }
};

void BM_PipeThroughput64(benchmark::State &state)
{
    static bench::Alternation order;
    double pipe = 0, spsc = 0, copy = 0;
    for (auto _ : state) {
        PipePair a;
        SpscPair b;
        double t = 0;
        order.run([&] { t = transfer(a.pusher(), a.popper()); }, [&] { spsc += transfer(b.pusher(), b.popper()); },
                  [&] { copy += memcpy_seconds(); });
        pipe += t;
        state.SetIterationTime(t);
    }
    double n = double(state.iterations()) * kBatch;
    state.counters["pipe_ns"] = pipe / n * 1e9;
    state.counters["boost_ns"] = spsc / n * 1e9;
    state.counters["memcpy_ns"] = copy / n * 1e9;
    state.counters["pipe/boost"] = pipe / spsc;
    state.counters["pipe/memcpy"] = pipe / copy;
    state.SetItemsProcessed(int64_t(n));
}
BENCHMARK(BM_PipeThroughput64)->UseManualTime()->Iterations(5)->Unit(benchmark::kMillisecond);

void BM_PipeLatency64(benchmark::State &state)
{
    constexpr size_t kRounds = 200000;
    static bench::Alternation order;
    double pipe = 0, spsc = 0, copy = 0;
    for (auto _ : state) {
        PipePair a, b;
        SpscPair c, d;
        order.run([&] { pipe += pingpong(a.pusher(), a.popper(), b.pusher(), b.popper(), kRounds); },
                  [&] { spsc += pingpong(c.pusher(), c.popper(), d.pusher(), d.popper(), kRounds); },
                  [&] { copy += memcpy_seconds() / kBatch; });
    }
    double it = double(state.iterations());
    state.counters["pipe_ns"] = pipe / it * 1e9;
    state.counters["boost_ns"] = spsc / it * 1e9;
    state.counters["memcpy_ns"] = copy / it * 1e9;
    state.counters["pipe/boost"] = pipe / spsc;
    state.counters["pipe/memcpy"] = pipe / copy;
}
BENCHMARK(BM_PipeLatency64)->Iterations(3)->Unit(benchmark::kMillisecond);

// Insert n random values (duplicates allowed) into a dataset of size n.
void BM_DatasetInsert(benchmark::State &state)
{
    const size_t n = size_t(state.range(0));
    std::mt19937 rng(42);
    std::vector<int> vals(n);
    for (int &v : vals)
        v = int(rng() % 8192);
    static bench::Alternation order;
    double set_s = 0, ref_s = 0;
    for (auto _ : state) {
        double t = 0;
        order.run(
            [&] {
                kd_dataset *s = kd_dataset_ctor(n, 1);
                t = bench::timed([&] {
                    for (int v : vals)
                        kd_dataset_insert(s, v);
                });
                benchmark::DoNotOptimize(s->nums);
                kd_dataset_dtor(s);
            },
            [&] {
                std::vector<int> ref;
                ref.reserve(n);
                ref_s += bench::timed([&] {
                    for (int v : vals)
                        ref.push_back(v);
                    std::sort(ref.begin(), ref.end());
                });
                benchmark::DoNotOptimize(ref.data());
            });
        set_s += t;
        state.SetIterationTime(t);
    }
    state.counters["insert_ns"] = set_s / double(state.iterations()) / double(n) * 1e9;
    state.counters["set/sort_once"] = set_s / ref_s;
}
BENCHMARK(BM_DatasetInsert)->RangeMultiplier(2)->Range(64, 8192)->UseManualTime();

} // namespace

BENCHMARK_MAIN();

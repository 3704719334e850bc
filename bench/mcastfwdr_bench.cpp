// The forwarder's per-packet PID index: phindex_process over a packet
// stream against a plain two-dimensional array read of the same handler in
// the same iteration (`vs_array`, 1.0 = as fast), with 10 keys and with
// 50 inputs x 160 PIDs. `vs_array_no_cc` is the same index given no packet,
// which skips the continuity check: the check reads each packet's header,
// which the array read given the PID never touches.
// `vs_array_pid_from_header` has both sides take the PID from the packet's
// header first, as the multiplexer must. `allocs` counts malloc calls inside
// the timed loops after warm-up (a hook in this program); it must stay 0.
#include "engine.h"
#include "mcastfwdr.h"
#include "ingress/manager_input.h"
#include "router/phindex.h"

#include <kerrow/log.h>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
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

using clock_type = std::chrono::steady_clock;

long g_handled = 0;
int count_packet(void *, tsPkt *, manager_input *, const struct timespec *)
{
    ++g_handled;
    return 0;
}

struct packet_ref {
    manager_input *input;
    int input_index;
    int pid;
    tsPkt *pkt;
};

struct setup {
    std::vector<manager_input *> inputs;
    std::vector<tsPkt> packets;
    std::vector<packet_ref> stream;
    std::vector<std::vector<process_pkt_f>> table; // the reference: [input][pid]
    size_t per_key = 16;                           // packets per key

    setup(int n_inputs, int pids_per_input)
    {
        kd_log_set_sink([](void *, int, const char *, int, const char *, const char *) {}, nullptr);
        mcastfwdr_cfg_init(&mcf_cfg);
        // Input records without sockets, as the engine's tests make them.
        mcf::manager_inputs_records_only(true);
        manager_inputs_init();
        for (int i = 0; i < n_inputs; ++i) {
            cfg_rx *rx = mcfcfg_rx_add_net(100 + i);
            std::snprintf(rx->ingress_node, sizeof rx->ingress_node, "239.0.0.%d", i + 1);
            rx->ingress_port = 5000;
        }
        manager_input_output_sync(0);
        phindex_init(nullptr, nullptr);
        table.assign(size_t(n_inputs), std::vector<process_pkt_f>(8192, nullptr));
        for (int i = 0; i < n_inputs; ++i) {
            inputs.push_back(manager_inputs_find_by_id(100 + i));
            for (int k = 0; k < pids_per_input; ++k) {
                const int pid = 32 + k * 37 % 8000;
                phindex_append(100 + i, pid, PHDATATYPE_ROUTED_DATA, nullptr, count_packet, nullptr);
                table[size_t(i)][size_t(pid)] = count_packet;
            }
        }
        // About 20,000 packets in rounds over the keys. The packets are a
        // receive area's worth, as the multiplexer finds them (it has just
        // read each header for the PID): with 16 or more rounds, each key has
        // one packet per counter value and the counters run on without a jump
        // when the stream starts again; with more keys (one round), one
        // packet per key whose counter next_pass advances between runs.
        const size_t keys = size_t(n_inputs) * size_t(pids_per_input);
        const size_t rounds = keys * 16 <= 20000 ? 16 * (20000 / (keys * 16)) : 1;
        per_key = rounds >= 16 ? 16 : 1;
        packets.resize(keys * per_key);
        for (size_t q = 0; q < keys; ++q)
            for (size_t c = 0; c < per_key; ++c) {
                const int pid = pid_of_key(q, n_inputs);
                auto *b = reinterpret_cast<uint8_t *>(&packets[q * per_key + c]);
                b[0] = 0x47;
                b[1] = uint8_t(pid >> 8);
                b[2] = uint8_t(pid);
                b[3] = uint8_t(0x10 | c);
            }
        for (size_t j = 0; j < keys * rounds; ++j) {
            const size_t q = j % keys;
            const int i = int(q % size_t(n_inputs));
            stream.push_back({inputs[size_t(i)], i, pid_of_key(q, n_inputs), &packets[q * per_key + j / keys % per_key]});
        }
    }
    static int pid_of_key(size_t q, int n_inputs) { return 32 + int(q / size_t(n_inputs)) * 37 % 8000; }
    // Untimed, after each run that reads the packets.
    void next_pass()
    {
        if (per_key == 1)
            for (tsPkt &p : packets) {
                auto *b = reinterpret_cast<uint8_t *>(&p);
                b[3] = uint8_t(0x10 | ((b[3] + 1) & 15));
            }
    }
    ~setup()
    {
        phindex_fini();
        manager_inputs_fini();
        mcf::manager_inputs_records_only(false);
        mcastfwdr_cfg_fini(&mcf_cfg);
        kd_log_set_sink(nullptr, nullptr);
    }
};

double run_index(const setup &s, bool with_packets)
{
    const auto t0 = clock_type::now();
    for (const packet_ref &r : s.stream)
        phindex_process(r.input, r.pid, with_packets ? r.pkt : nullptr, nullptr);
    return std::chrono::duration<double>(clock_type::now() - t0).count();
}

// The multiplexer's loop: the PID read from the packet's header, then the
// lookup. Any lookup by PID reads the header; the pair below has both sides
// do it.
int header_pid(const tsPkt *pkt)
{
    const auto *b = reinterpret_cast<const uint8_t *>(pkt);
    return (b[1] & 0x1F) << 8 | b[2];
}

double run_index_from_header(const setup &s)
{
    const auto t0 = clock_type::now();
    for (const packet_ref &r : s.stream)
        phindex_process(r.input, header_pid(r.pkt), r.pkt, nullptr);
    return std::chrono::duration<double>(clock_type::now() - t0).count();
}

double run_array_from_header(const setup &s)
{
    const auto t0 = clock_type::now();
    for (const packet_ref &r : s.stream) {
        process_pkt_f f = s.table[size_t(r.input_index)][size_t(header_pid(r.pkt))];
        benchmark::DoNotOptimize(f);
        if (f)
            f(nullptr, r.pkt, r.input, nullptr);
    }
    return std::chrono::duration<double>(clock_type::now() - t0).count();
}

double run_array(const setup &s)
{
    const auto t0 = clock_type::now();
    for (const packet_ref &r : s.stream) {
        process_pkt_f f = s.table[size_t(r.input_index)][size_t(r.pid)];
        benchmark::DoNotOptimize(f);
        if (f)
            f(nullptr, r.pkt, r.input, nullptr);
    }
    return std::chrono::duration<double>(clock_type::now() - t0).count();
}

void BM_phindex(benchmark::State &state)
{
    setup s(int(state.range(0)), int(state.range(1)));
    run_index(s, true); // warm-up
    s.next_pass();
    run_index(s, false);
    run_array(s);
    run_index_from_header(s);
    s.next_pass();
    run_array_from_header(s);
    double ours = 0, ours_no_cc = 0, ref = 0, mux_ours = 0, mux_ref = 0;
    long allocs = 0;
    bool index_first = true;
    for (auto _ : state) {
        const long before = g_mallocs.load();
        const double ours_before = ours;
        if (index_first) {
            ours += run_index(s, true);
            s.next_pass();
            ref += run_array(s);
            ours_no_cc += run_index(s, false);
            mux_ours += run_index_from_header(s);
            s.next_pass();
            mux_ref += run_array_from_header(s);
        } else {
            mux_ref += run_array_from_header(s);
            mux_ours += run_index_from_header(s);
            s.next_pass();
            ours_no_cc += run_index(s, false);
            ref += run_array(s);
            ours += run_index(s, true);
            s.next_pass();
        }
        allocs += g_mallocs.load() - before;
        index_first = !index_first;
        state.SetIterationTime(ours - ours_before); // the time: the index's pass
    }
    state.SetItemsProcessed(int64_t(state.iterations()) * int64_t(s.stream.size()));
    state.counters["vs_array"] = ours / ref;
    state.counters["vs_array_no_cc"] = ours_no_cc / ref;
    state.counters["vs_array_pid_from_header"] = mux_ours / mux_ref;
    const double packets = double(state.iterations()) * double(s.stream.size());
    state.counters["ns_per_packet"] = ours * 1e9 / packets;
    state.counters["array_ns_per_packet"] = ref * 1e9 / packets;
    state.counters["allocs"] = double(allocs);
    uint32_t cc_errors = 0;
    for (const manager_input *mi : s.inputs)
        cc_errors += manager_input_get_cc_errors(mi);
    state.counters["cc_errors"] = double(cc_errors);
}
BENCHMARK(BM_phindex)->Args({1, 10})->Args({50, 160})->UseManualTime();

} // namespace

BENCHMARK_MAIN();

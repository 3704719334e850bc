// The MPEG-TS library's hot paths, each against a reference timed in the
// same iteration: the CRC against FFmpeg's av_crc, the header accessors
// against a 188-byte memcpy per packet, and the demultiplexer and analyzer
// on a stream of 100 PIDs against a memcpy of the same packets.
#include "alternate.h"
#include "mpegts.h"

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstring>
#include <random>
#include <vector>

extern "C" {
#include <libavutil/crc.h>
}

namespace {

using bench::secs;
using bench::timed;

// Seven-packet datagrams, and a whole number of counter cycles on every PID
// (1 or 100 PIDs), so that the stream can repeat without continuity errors.
constexpr size_t kStreamPackets = 100 * 16 * 7 * 7;

void BM_Crc(benchmark::State &state)
{
    const size_t len = size_t(state.range(0));
    std::vector<uint8_t> buf(len);
    std::mt19937 rng(7);
    for (auto &b : buf)
        b = uint8_t(rng());
    const AVCRC *table = av_crc_get_table(AV_CRC_32_IEEE);
    const int reps = int(1 + (1 << 20) / len);
    static bench::Alternation order;
    double ours = 0, theirs = 0;
    for (auto _ : state) {
        double t = 0;
        order.run(
            [&] {
                t = timed([&] {
                    for (int i = 0; i < reps; ++i)
                        benchmark::DoNotOptimize(DvbCrc32Compute(buf.data(), len));
                });
            },
            [&] {
                theirs += timed([&] {
                    for (int i = 0; i < reps; ++i)
                        benchmark::DoNotOptimize(av_crc(table, 0xFFFFFFFFu, buf.data(), len));
                });
            });
        ours += t;
        state.SetIterationTime(t);
    }
    const double bytes = double(len) * reps * double(state.iterations());
    state.counters["GB/s"] = bytes / ours / 1e9;
    state.counters["av_crc_GB/s"] = bytes / theirs / 1e9;
    state.counters["vs_av_crc"] = theirs / ours; // above 1: ours is faster
}
BENCHMARK(BM_Crc)->Arg(188)->Arg(1024)->Arg(65536)->UseManualTime();

// A stream of packets over `pids` PIDs, each PID carrying a 300-byte
// section over and over, counters in order, some packets with an
// adaptation field.
std::vector<tsPkt> make_stream(int pids, size_t packets)
{
    std::vector<std::vector<tsPkt>> per_pid(static_cast<size_t>(pids));
    std::vector<uint8_t> sec(300);
    for (int p = 0; p < pids; ++p) {
        auto *s = reinterpret_cast<TTableBase *>(sec.data());
        std::memset(sec.data(), p, sec.size());
        sec[0] = 0x80;
        tsSetSectionSyntaxInd(s, 1);
        tsSetSectionLength(s, uint16_t(sec.size() - 3));
        tsUpdateCRC(s);
        per_pid[size_t(p)].resize(4);
        int n = packetize_section(per_pid[size_t(p)].data(), 4, s, uint16_t(0x100 + p));
        per_pid[size_t(p)].resize(size_t(n));
    }
    std::vector<tsPkt> out(packets);
    std::vector<uint8_t> cc(size_t(pids), 0);
    std::vector<size_t> next(size_t(pids), 0);
    for (size_t i = 0; i < packets; ++i) {
        const size_t p = i % size_t(pids);
        auto &src = per_pid[p];
        out[i] = src[next[p]];
        next[p] = (next[p] + 1) % src.size();
        tsphSetContinuityCounter(&out[i], cc[p]);
        cc[p] = uint8_t((cc[p] + 1) & 15);
    }
    return out;
}

// Runs `work` over the packets and a memcpy of the same packets in each
// iteration, in alternating order; returns the seconds of each, summed.
// `work` alone is the iteration time.
struct Split {
    double ours = 0, copy = 0;
};
template <typename F>
Split against_memcpy(benchmark::State &state, bench::Alternation &order, const std::vector<tsPkt> &pkts, F work)
{
    std::vector<tsPkt> dst(pkts.size());
    Split t;
    for (auto _ : state) {
        double ours = 0;
        order.run([&] { ours = timed(work); },
                  [&] {
                      t.copy += timed([&] {
                          for (size_t i = 0; i < pkts.size(); ++i) // one packet at a time, as a forwarder copies them
                              std::memcpy(&dst[i], &pkts[i], sizeof(tsPkt));
                          benchmark::ClobberMemory();
                      });
                  });
        t.ours += ours;
        state.SetIterationTime(ours);
    }
    return t;
}

void BM_HeaderAccessors(benchmark::State &state)
{
    std::vector<tsPkt> pkts = make_stream(100, 7000);
    for (size_t i = 0; i < pkts.size(); i += 5) { // every fifth with a PCR-style adaptation field
        tsphSetAFCtrl(&pkts[i], 3);
        pkts[i].payload[0] = 7;
        pkts[i].payload[1] = 0x10;
    }
    static bench::Alternation order;
    Split t = against_memcpy(state, order, pkts, [&] {
        unsigned sum = 0;
        for (const tsPkt &p : pkts) {
            sum += tsphGetPid(&p) + tsphGetContinuityCounter(&p) + tsphGetPLStartIndicator(&p) +
                   tsphGetTSScramblingCtrl(&p) + tsphGetTSErrorIndicator(&p);
            if (tsphGetAFCtrl(&p) & 2)
                sum += tsphGetPcrFlag(p.payload) + tsphGetAdaptationFieldLength(p.payload);
        }
        benchmark::DoNotOptimize(sum);
    });
    const double n = double(pkts.size()) * double(state.iterations());
    state.counters["ns/pkt"] = t.ours / n * 1e9;
    state.counters["vs_memcpy188"] = t.ours / t.copy; // below 1: cheaper than copying the packet
}
BENCHMARK(BM_HeaderAccessors)->UseManualTime();

void BM_Demux(benchmark::State &state)
{
    const int pids = int(state.range(0));
    std::vector<tsPkt> pkts = make_stream(pids, kStreamPackets);
    std::vector<section_dmux *> by_pid(8192, nullptr);
    for (int p = 0; p < pids; ++p)
        by_pid[size_t(0x100 + p)] = section_dmux_ctor(uint16_t(0x100 + p), 1024);
    std::vector<uint8_t> sec(1024);
    long sections = 0;
    static bench::Alternation order;
    Split t = against_memcpy(state, order, pkts, [&] {
        for (const tsPkt &p : pkts) {
            section_dmux *d = by_pid[tsphGetPid(&p)];
            if (section_dmux_process(d, &p) == 1 && section_dmux_get_section(d, sec.data(), sec.size()) > 0)
                ++sections;
        }
    });
    for (section_dmux *d : by_pid)
        section_dmux_dtor(d);
    const double n = double(pkts.size()) * double(state.iterations());
    state.counters["Mpkt/s"] = n / t.ours / 1e6;
    state.counters["sections"] = double(sections);
    state.counters["vs_memcpy"] = t.ours / t.copy;
}
BENCHMARK(BM_Demux)->Arg(100)->UseManualTime();

void BM_Analyzer(benchmark::State &state)
{
    const int pids = int(state.range(0));
    std::vector<tsPkt> pkts = make_stream(pids, kStreamPackets);
    analyzer *a = analyzer_ctor();
    for (int p = 0; p < pids; p += 10)
        analyzer_add_referenced_pid(a, uint16_t(0x100 + p));
    analyzer_set_pid_error_distance(a, 10000);
    const auto *bytes = reinterpret_cast<const uint8_t *>(pkts.data());
    static bench::Alternation order;
    Split t = against_memcpy(state, order, pkts, [&] {
        // Datagrams of seven packets, as they arrive from the network.
        for (size_t off = 0; off < pkts.size(); off += 7)
            benchmark::DoNotOptimize(analyzer_process(a, bytes + off * 188, 7 * 188));
    });
    if (analyzer_get_cc_errors(a) != 0)
        state.SkipWithError("unexpected continuity errors");
    analyzer_dtor(a);
    const double n = double(pkts.size()) * double(state.iterations());
    state.counters["Mpkt/s"] = n / t.ours / 1e6;
    state.counters["vs_memcpy"] = t.ours / t.copy;
}
BENCHMARK(BM_Analyzer)->Arg(1)->Arg(100)->UseManualTime();

} // namespace

BENCHMARK_MAIN();

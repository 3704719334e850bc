// The parameter tree with 50,101 nodes: a full walk (in passes of
// max_param_prints nodes, resumed at the loop's idle passes) and a lookup
// of every route, each against a plain recursive traversal of the same tree
// through the list accessors in the same iteration.
#include "alternate.h"

#include <kerrow/frame.h>
#include <kerrow/log.h>
#include <kerrow/param.h>

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

const char *value(param_context *) { return "v"; }

struct Tree {
    param_context *root = nullptr;
    std::vector<std::string> routes;
};
char g_dir[] = "/tmp/kdbench.XXXXXX"; // KD_ROOT: the framework writes nothing real
bool g_up = false;

// 100 lists of 20 rows of 24 leaves, below one root.
Tree &tree()
{
    static Tree t = [] {
        Tree t;
        if (mkdtemp(g_dir))
            setenv("KD_ROOT", g_dir, 1);
        kd_log_set_sink([](void *, int, const char *, int, const char *, const char *) {}, nullptr);
        kd_frame_init();
        g_up = true;
        t.root = kd_param_alloc_list(nullptr, "bench", "Bench", nullptr);
        for (int i = 0; i < 100; ++i) {
            std::string label = "List " + std::to_string(i);
            param_context *l = kd_param_alloc_table(t.root, nullptr, label.c_str(), nullptr);
            for (int r = 0; r < 20; ++r) {
                param_context *row = kd_param_alloc_row(l, nullptr, nullptr);
                for (int c = 0; c < 24; ++c)
                    kd_param_alloc_string(row, nullptr, ("Value " + std::to_string(c)).c_str(),
                                          PARAMCTRL_RDONLY, nullptr, value, nullptr, nullptr);
            }
        }
        return t;
    }();
    return t;
}

// The reference: every node once, depth first, through the public accessors.
void plain(param_context *p, long &n)
{
    ++n;
    size_t count = kd_param_list_count(p);
    if (count == static_cast<size_t>(-1))
        return;
    for (size_t i = 0; i < count; ++i)
        plain(kd_param_list_index(p, static_cast<int>(i)), n);
}

double plain_seconds(long &n)
{
    auto t0 = Clock::now();
    plain(tree().root, n);
    return std::chrono::duration<double>(Clock::now() - t0).count();
}

void collect(param_context *p, std::vector<std::string> &out)
{
    out.emplace_back(kd_param_get_scope(p));
    size_t count = kd_param_list_count(p);
    for (size_t i = 0; count != static_cast<size_t>(-1) && i < count; ++i)
        collect(kd_param_list_index(p, static_cast<int>(i)), out);
}

int count_node(param_context *, void *ctx, param_depth)
{
    ++*static_cast<long *>(ctx);
    return 0;
}

void BM_FullWalk(benchmark::State &state)
{
    Tree &t = tree();
    static bench::Alternation order;
    double walk_s = 0, plain_s = 0;
    long nodes = 0;
    for (auto _ : state) {
        long seen = 0;
        double spent = 0;
        order.run(
            [&] {
                spent = bench::timed([&] {
                    kd_param_print_params(
                        t.root, PARAM_DEPTH_ALL, count_node, nullptr, [](void *) { return kd_shutdown(); },
                        &seen);
                    kd_frame_run(); // the passes after the first
                });
            },
            [&] {
                nodes = 0;
                plain_s += plain_seconds(nodes);
            });
        if (seen != nodes)
            state.SkipWithError("the walk missed nodes");
        walk_s += spent;
        state.SetIterationTime(spent);
    }
    state.counters["nodes"] = static_cast<double>(nodes);
    state.counters["vs_plain_traversal"] = plain_s > 0 ? walk_s / plain_s : 0;
}
BENCHMARK(BM_FullWalk)->UseManualTime()->Unit(benchmark::kMillisecond);

void BM_LookupEveryRoute(benchmark::State &state)
{
    Tree &t = tree();
    if (t.routes.empty())
        collect(t.root, t.routes);
    static bench::Alternation order;
    double lookup_s = 0, plain_s = 0;
    for (auto _ : state) {
        double spent = 0;
        order.run(
            [&] {
                spent = bench::timed([&] {
                    for (const auto &r : t.routes)
                        benchmark::DoNotOptimize(kd_param_get_by_route(r.c_str()));
                });
            },
            [&] {
                long n = 0;
                plain_s += plain_seconds(n);
            });
        lookup_s += spent;
        state.SetIterationTime(spent);
    }
    state.counters["lookups"] = static_cast<double>(t.routes.size());
    state.counters["vs_plain_traversal"] = plain_s > 0 ? lookup_s / plain_s : 0;
}
BENCHMARK(BM_LookupEveryRoute)->UseManualTime()->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char **argv)
{
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    if (g_up) {
        kd_frame_fini();
        std::filesystem::remove_all(g_dir);
    }
    return 0;
}

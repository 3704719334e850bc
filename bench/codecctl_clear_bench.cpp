// Clearing the codec chip's parameter area (524,287 register writes and the
// counter handshake) through libcodecctl over the chip simulator, against
// a plain loop of the same number of set-register calls on the same port.
// The ratio is the library's cost per register write above the port.
#include "alternate.h"
#include "m30.h"
#include "m30_driver.h"
#include "m30sim.h"

#include <benchmark/benchmark.h>

#include <chrono>
#include <fcntl.h>
#include <cstdlib>

namespace {

constexpr uint32_t words = M30_PARAM_AREA_SIZE / 4 - 1;

// The reference: set-register requests straight on the port, then one read.
void plain_loop(const m30_driver_port *port, int fd)
{
    uint32_t v = 0;
    fmb_reg_info r{1, 0, &v};
    for (uint32_t a = M30_PARAM_AREA_BASE + 4; a < M30_PARAM_AREA_BASE + M30_PARAM_AREA_SIZE; a += 4) {
        r.offset = a;
        port->ioctl(port->ctx, fd, FMB_API_SET_REG, &r);
    }
    r.offset = M30_PARAM_AREA_BASE;
    port->ioctl(port->ctx, fd, FMB_API_SET_REG, &r);
    port->ioctl(port->ctx, fd, FMB_API_GET_REG, &r);
    benchmark::DoNotOptimize(v);
}

void BM_ClearParamArea(benchmark::State &state)
{
    setenv("KD_ROOT", "/nonexistent-kd-root", 1); // the simulator ignores the root; nothing is written
    m30sim::Chip chip;
    m30_driver_set_port(chip.port());
    m30_context *m30 = m30_context_create(0, false);
    if (!m30) {
        state.SkipWithError("no context");
        return;
    }
    // A descriptor of our own, bound like the library's control device.
    const m30_driver_port *port = chip.port();
    int fd = port->open(port->ctx, "/dev/m30smb0", O_RDWR);
    fmb_logical_device_info ctl{FMB_DEVICE_CONTROL};
    port->ioctl(port->ctx, fd, FMB_API_SET_LOGICAL_DEVICE, &ctl);

    static bench::Alternation order;
    double clear_s = 0, plain_s = 0;
    for (auto _ : state) {
        double t = 0;
        order.run(
            [&] {
                t = bench::timed([&] { benchmark::DoNotOptimize(m30_clear_param_area(m30)); });
                chip.clear_load_log();
            },
            [&] {
                plain_s += bench::timed([&] { plain_loop(port, fd); });
                chip.clear_load_log();
            });
        clear_s += t;
        state.SetIterationTime(t);
    }
    state.counters["writes"] = words;
    state.counters["vs_plain_loop"] = plain_s > 0 ? clear_s / plain_s : 0;
    port->close(port->ctx, fd);
    m30_context_destroy(m30);
    m30_driver_set_port(nullptr);
}
BENCHMARK(BM_ClearParamArea)->UseManualTime()->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();

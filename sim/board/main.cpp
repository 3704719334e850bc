// boardsim: the simulated KT-3300 board as a process, for whole-system
// runs. Publishes the board under KD_ROOT (PCI list, UIO tree, the shared
// register file) and runs the FPGA model, draining the egress rings at the
// rate of the stream they carry, until SIGTERM or SIGINT. A host program
// with the same KD_ROOT and KT3300_SIM naming libkt3300sim.so drives it.
//
// Prints "ready" on standard output once the board is there; every 10
// seconds, while egress packets arrive, how many each channel consumed.
#include "board_sim.h"

#include <atomic>
#include <csignal>
#include <cstdio>
#include <ctime>

#include <pthread.h>

int main()
{
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGINT);
    sigaddset(&stop, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stop, nullptr); // the model thread inherits it

    static std::atomic<unsigned long> consumed[2];
    boardsim::BoardSim sim;
    sim.pace_egress(true);
    sim.start([](unsigned ch, const uint8_t *) { consumed[ch & 1].fetch_add(1, std::memory_order_relaxed); });
    std::printf("ready\n");
    std::fflush(stdout);

    unsigned long last[2] = {0, 0};
    const timespec period{10, 0};
    for (;;) {
        if (sigtimedwait(&stop, nullptr, &period) > 0)
            break;
        const unsigned long now[2] = {consumed[0].load(), consumed[1].load()};
        if (now[0] != last[0] || now[1] != last[1]) {
            std::printf("boardsim: egress packets consumed: channel 0 %lu, channel 1 %lu\n", now[0], now[1]);
            std::fflush(stdout);
        }
        last[0] = now[0];
        last[1] = now[1];
    }
    sim.stop();
    return 0;
}

// tsloop: sends a transport-stream file into a UDP group, looping it
// without continuity faults (tsloop.h), seven packets a datagram, at the
// file's own rate. The demo's stream generator.
//
//   tsloop [--period SECONDS] [--local ADDRESS] FILE GROUP:PORT
//
//   --period SECONDS   the loop's length (default: the file's span at its rate)
//   --local ADDRESS    the interface address multicast leaves from
//
// Prints what it sends on standard output; SIGTERM or SIGINT stop it.
#include "tsloop.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <optional>
#include <stdexcept>
#include <string>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

namespace {

constexpr size_t kPerDatagram = 7;
// Behind by more than this (a stalled machine), the schedule starts anew
// from now instead of sending the backlog in one burst.
constexpr int64_t kMaxLagNs = 200'000'000;

[[noreturn]] void usage()
{
    std::fprintf(stderr, "usage: tsloop [--period SECONDS] [--local ADDRESS] FILE GROUP:PORT\n");
    std::exit(2);
}

int64_t now_ns()
{
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return int64_t(t.tv_sec) * 1'000'000'000 + t.tv_nsec;
}

void sleep_until_ns(int64_t ns)
{
    timespec t{time_t(ns / 1'000'000'000), long(ns % 1'000'000'000)};
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &t, nullptr) == EINTR) {
    }
}

} // namespace

int main(int argc, char **argv)
{
    double period = 0;
    const char *local = nullptr;
    int i = 1;
    for (; i < argc && std::strncmp(argv[i], "--", 2) == 0; i += 2) {
        if (i + 1 >= argc)
            usage();
        if (std::strcmp(argv[i], "--period") == 0) {
            char *end = nullptr;
            period = std::strtod(argv[i + 1], &end);
            if (*end || period <= 0)
                usage();
        } else if (std::strcmp(argv[i], "--local") == 0) {
            local = argv[i + 1];
        } else {
            usage();
        }
    }
    if (argc - i != 2)
        usage();
    const std::string file = argv[i], target = argv[i + 1];
    const size_t colon = target.rfind(':');
    sockaddr_in to{};
    to.sin_family = AF_INET;
    if (colon == std::string::npos || inet_pton(AF_INET, target.substr(0, colon).c_str(), &to.sin_addr) != 1)
        usage();
    to.sin_port = htons(uint16_t(std::atoi(target.c_str() + colon + 1)));

    std::ifstream in(file, std::ios::binary);
    std::vector<uint8_t> ts((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (!in && !in.eof()) {
        std::fprintf(stderr, "tsloop: cannot read %s\n", file.c_str());
        return 1;
    }
    std::optional<tsloop::looper> loop;
    try {
        loop.emplace(std::move(ts), period);
    } catch (const std::invalid_argument &e) {
        std::fprintf(stderr, "tsloop: %s: %s\n", file.c_str(), e.what());
        return 1;
    }

    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        std::perror("tsloop: socket");
        return 1;
    }
    if (local) {
        in_addr a{};
        if (inet_pton(AF_INET, local, &a) != 1 || setsockopt(fd, IPPROTO_IP, IP_MULTICAST_IF, &a, sizeof a) != 0) {
            std::fprintf(stderr, "tsloop: cannot send from %s\n", local);
            return 1;
        }
    }
    std::printf("tsloop: %s to %s, %.0f bit/s, a loop of %.3f s (%zu packets and %zu null packets)\n", file.c_str(),
                target.c_str(), loop->rate_bps(), loop->period_s(), loop->file_packets(), loop->fill_packets());
    std::fflush(stdout);

    uint8_t dgram[kPerDatagram * tsloop::ts_packet];
    int64_t start = now_ns();
    for (;;) {
        uint64_t due27 = 0, unused = 0;
        loop->next(dgram, due27);
        for (size_t k = 1; k < kPerDatagram; ++k)
            loop->next(dgram + k * tsloop::ts_packet, unused);
        const int64_t due = start + int64_t(due27 / 27 * 1000);
        const int64_t now = now_ns();
        if (now - due > kMaxLagNs)
            start += now - due;
        else if (due > now)
            sleep_until_ns(due);
        // A datagram the network refuses is lost, as on a real link.
        (void)sendto(fd, dgram, sizeof dgram, 0, reinterpret_cast<const sockaddr *>(&to), sizeof to);
    }
}

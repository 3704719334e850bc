// decfeed: sends a transport-stream file to a decoder channel's socket.
//   decfeed [-c channel] [-r bit/s] [-l] [-s datagram bytes] [-x scrambled PID] file.ts
#include "decfeed.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <chrono>
#include <thread>

#include <unistd.h>

namespace {
volatile std::sig_atomic_t g_stop = 0;
}

int main(int argc, char **argv)
{
    decfeed::options opt;
    int c;
    while ((c = getopt(argc, argv, "c:r:ls:x:")) != -1) {
        switch (c) {
        case 'c': opt.channel = unsigned(std::strtoul(optarg, nullptr, 10)); break;
        case 'r': opt.bitrate_bps = std::strtod(optarg, nullptr); break;
        case 'l': opt.loop = true; break;
        case 's': opt.datagram = std::strtoul(optarg, nullptr, 10); break;
        case 'x': opt.scramble_pid = int(std::strtol(optarg, nullptr, 0)); break;
        default:
            std::fprintf(stderr, "usage: %s [-c channel] [-r bit/s] [-l] [-s bytes] [-x pid] file.ts\n", argv[0]);
            return 2;
        }
    }
    if (optind >= argc || opt.channel > 1) {
        std::fprintf(stderr, "usage: %s [-c 0|1] [-r bit/s] [-l] [-s bytes] [-x pid] file.ts\n", argv[0]);
        return 2;
    }
    auto ts = decfeed::read_ts(argv[optind]);
    if (ts.empty()) {
        std::fprintf(stderr, "%s: no transport stream in %s\n", argv[0], argv[optind]);
        return 1;
    }
    std::signal(SIGINT, [](int) { g_stop = 1; });
    std::signal(SIGTERM, [](int) { g_stop = 1; });
    decfeed::feeder f(std::move(ts), opt);
    f.start();
    while (!g_stop && !f.finished())
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    f.stop();
    std::printf("%llu bytes sent to %s\n", static_cast<unsigned long long>(f.bytes_sent()),
                decfeed::feeder::socket_path(opt.channel).c_str());
    return 0;
}

// xsbcarrier: a simulated FPGA carrier on the XSB interconnect.
//
// Run it on the far end of a veth pair whose near end is the card's "eth2",
// in another network namespace (a packet socket hears both ends of a veth
// within one namespace):
//
//   ip netns exec CHASSIS xsbcarrier -i peer2 -s 3 -f /tmp/x/flash.img
//
//   -i, --interface IF     interface to hold (default eth2)
//   -s, --slot N           hardware slot 0-7 (default 3); the carrier answers
//                          INRQ to 0fff and 0f0N, PING to e{N}1 (with OKAY),
//                          IFP to e{N}0, and records VMWR/CFWR to 0f0N
//   -f, --flash FILE       SPI flash image; created 0xFF-filled when missing
//       --flash-size N     size of a new flash image (default 0x80000)
//       --info W,W,...     INFO records as hex words (default: a KT-3300 with
//                          ifp, bridge, ts and fpgapgm ports); end record added
//       --drom TEXT        configuration-ROM text (default "AKT-3300 1.2.0203")
//       --fpga-id HEX      device id read through Wishbone (default 612B3043)
//       --erase-ms N       bulk-erase busy time (default 20)
//       --program-us N     page-program busy time (default 50)
//       --no-ping          do not answer PING
//       --drop N           lose the reply to every Nth request (1: all)
//       --delay-us N       delay every reply
//       --duplicate        send every reply twice
//       --corrupt N        precede every Nth IFP reply by a copy for another session
//       --stuck-busy       erase and program never finish
//       --record FILE      append every received frame as "TYPE HEX" lines
//       --pgm-port N       port index of the image download endpoint (default 3)
//       --bad-acks N       answer the first N download frames with ERR set
//       --report-ms N      with an ASI port in the INFO records: send INFO (88b4)
//                          with the ASI queue levels every N ms (default: only
//                          as the answer to INRQ)
//
// Prints "ready" on standard output once it listens; SIGTERM or SIGINT stop it.
#include "carrier_sim.h"

#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <getopt.h>

namespace {
std::atomic<bool> g_stop{false};
void on_signal(int) { g_stop = true; }

long number(const char *s, const char *what)
{
    char *end = nullptr;
    const long v = std::strtol(s, &end, 0);
    if (!*s || *end) {
        std::fprintf(stderr, "xsbcarrier: bad %s \"%s\"\n", what, s);
        std::exit(2);
    }
    return v;
}
} // namespace

int main(int argc, char **argv)
{
    xsbsim::config cfg;
    enum { O_FLASH_SIZE = 256, O_INFO, O_DROM, O_FPGA_ID, O_ERASE, O_PROGRAM, O_NO_PING, O_DROP,
           O_DELAY, O_DUP, O_CORRUPT, O_STUCK, O_RECORD, O_PGM_PORT, O_BAD_ACKS, O_REPORT };
    static const option opts[] = {
        {"interface", required_argument, nullptr, 'i'}, {"slot", required_argument, nullptr, 's'},
        {"flash", required_argument, nullptr, 'f'},     {"flash-size", required_argument, nullptr, O_FLASH_SIZE},
        {"info", required_argument, nullptr, O_INFO},   {"drom", required_argument, nullptr, O_DROM},
        {"fpga-id", required_argument, nullptr, O_FPGA_ID}, {"erase-ms", required_argument, nullptr, O_ERASE},
        {"program-us", required_argument, nullptr, O_PROGRAM}, {"no-ping", no_argument, nullptr, O_NO_PING},
        {"drop", required_argument, nullptr, O_DROP},   {"delay-us", required_argument, nullptr, O_DELAY},
        {"duplicate", no_argument, nullptr, O_DUP},     {"corrupt", required_argument, nullptr, O_CORRUPT},
        {"stuck-busy", no_argument, nullptr, O_STUCK},  {"record", required_argument, nullptr, O_RECORD},
        {"pgm-port", required_argument, nullptr, O_PGM_PORT}, {"bad-acks", required_argument, nullptr, O_BAD_ACKS},
        {"report-ms", required_argument, nullptr, O_REPORT},
        {nullptr, 0, nullptr, 0},
    };
    for (int c; (c = getopt_long(argc, argv, "i:s:f:", opts, nullptr)) != -1;) {
        switch (c) {
        case 'i': cfg.ifname = optarg; break;
        case 's':
            cfg.slot = int(number(optarg, "slot"));
            if (cfg.slot < 0 || cfg.slot > 7) {
                std::fprintf(stderr, "xsbcarrier: slot must be 0-7\n");
                return 2;
            }
            break;
        case 'f': cfg.flash_path = optarg; break;
        case O_FLASH_SIZE: cfg.flash_size = int(number(optarg, "flash size")); break;
        case O_INFO: {
            std::string list = optarg;
            for (size_t pos = 0; pos <= list.size();) {
                const size_t comma = std::min(list.find(',', pos), list.size());
                const std::string w = list.substr(pos, comma - pos);
                if (!w.empty())
                    cfg.info.push_back(uint32_t(std::strtoul(w.c_str(), nullptr, 16)));
                pos = comma + 1;
            }
            break;
        }
        case O_DROM: cfg.drom = optarg; break;
        case O_FPGA_ID: cfg.fpga_id = uint32_t(std::strtoul(optarg, nullptr, 16)); break;
        case O_ERASE: cfg.erase_ms = int(number(optarg, "erase time")); break;
        case O_PROGRAM: cfg.program_us = int(number(optarg, "program time")); break;
        case O_NO_PING: cfg.answer_ping = false; break;
        case O_DROP: cfg.drop_every = int(number(optarg, "drop")); break;
        case O_DELAY: cfg.delay_us = int(number(optarg, "delay")); break;
        case O_DUP: cfg.duplicate = true; break;
        case O_CORRUPT: cfg.corrupt_every = int(number(optarg, "corrupt")); break;
        case O_STUCK: cfg.stuck_busy = true; break;
        case O_RECORD: cfg.record_path = optarg; break;
        case O_PGM_PORT: cfg.fpgapgm_port = int(number(optarg, "port")) & 0xF; break;
        case O_BAD_ACKS: cfg.bad_acks = int(number(optarg, "bad acks")); break;
        case O_REPORT:
            cfg.report_period_ms = int(number(optarg, "report period"));
            if (cfg.report_period_ms < 0) {
                std::fprintf(stderr, "xsbcarrier: the report period cannot be negative\n");
                return 2;
            }
            break;
        default:
            std::fprintf(stderr, "usage: xsbcarrier -i IF -s SLOT [-f FLASH] [options] (see the source's header)\n");
            return 2;
        }
    }
    if (cfg.flash_size < 256 || cfg.flash_size > 0x2000000) {
        std::fprintf(stderr, "xsbcarrier: flash size out of range\n");
        return 2;
    }
    xsbsim::carrier_sim sim(cfg);
    if (!sim.open()) {
        std::fprintf(stderr, "xsbcarrier: %s\n", sim.error().c_str());
        return 1;
    }
    std::signal(SIGTERM, on_signal);
    std::signal(SIGINT, on_signal);
    std::printf("ready\n");
    std::fflush(stdout);
    sim.serve(g_stop);
    return 0;
}

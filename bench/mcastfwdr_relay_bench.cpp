// The forwarder end to end against a bare relay, on a simulated card in
// network namespaces (root). Eight FFmpeg-made CBR streams of 26.25 Mbit/s
// (210 Mbit/s together) in 1316-byte datagrams go to eight Net inputs;
// each input's program leaves through its own RTP output with a remapped
// PID, the output's tables and fill. The same traffic then goes through a
// bare recvmmsg/sendmmsg relay on the same 1 ms grid. Both sides' CPU
// (the forwarder's threads; the relay's thread) is measured over a steady
// window; the forwarder's idle CPU (same set-up, no traffic) is measured
// first and taken off. `vs_relay` is the CPU the traffic adds to the
// forwarder per datagram against the relay's (the aim is at most 2).
// Seconds per loaded phase: first argument, default 60.
#include "mux/multiplexer.h"
#include "scenario.h"
#include "ts_fixtures.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using mcftest::scenario;

constexpr int kInputs = 8;
constexpr int kPort = 5000;
constexpr int kSize = 1316;
constexpr int kRate = 26250000;
constexpr double kBps = double(kRate) * kInputs;

std::string group(int g) { return "239.1.1." + std::to_string(g + 1); }
std::string out_group(int g) { return "239.2.2." + std::to_string(g + 1); }

// The traffic from the chassis namespace, paced per ms, until stop.
class sender {
public:
    sender(const scenario &card, const std::vector<uint8_t> &ts) : ts_(ts)
    {
        {
            xsbsim::net_rig::enter in(card.rig().chassis());
            fd_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        }
        in_addr local{};
        inet_pton(AF_INET, "10.77.1.2", &local);
        setsockopt(fd_, IPPROTO_IP, IP_MULTICAST_IF, &local, sizeof local);
        int sndbuf = 8 << 20;
        setsockopt(fd_, SOL_SOCKET, SO_SNDBUFFORCE, &sndbuf, sizeof sndbuf);
        for (int g = 0; g < kInputs; ++g) {
            to_[g].sin_family = AF_INET;
            to_[g].sin_port = htons(kPort);
            inet_pton(AF_INET, group(g).c_str(), &to_[g].sin_addr);
        }
        thread_ = std::thread([this] { run(); });
    }
    ~sender()
    {
        stop_ = true;
        thread_.join();
        ::close(fd_);
    }
    uint64_t sent() const { return sent_.load(); }

private:
    void run()
    {
        const double per_ms = kBps / (kSize * 8.0) / 1000.0;
        size_t off[kInputs] = {};
        timespec t;
        clock_gettime(CLOCK_MONOTONIC, &t);
        double due = 0;
        uint64_t n = 0;
        while (!stop_.load(std::memory_order_relaxed)) {
            due += per_ms;
            while (double(n) < due) {
                const int g = int(n % kInputs);
                if (off[g] + kSize > ts_.size())
                    off[g] = 0;
                sendto(fd_, ts_.data() + off[g], kSize, 0, reinterpret_cast<sockaddr *>(&to_[g]), sizeof to_[g]);
                off[g] += kSize;
                ++n;
                sent_.store(n, std::memory_order_relaxed);
            }
            t.tv_nsec += 1000000;
            if (t.tv_nsec >= 1000000000) {
                t.tv_nsec -= 1000000000;
                ++t.tv_sec;
            }
            clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &t, nullptr);
        }
    }
    const std::vector<uint8_t> &ts_;
    int fd_ = -1;
    sockaddr_in to_[kInputs]{};
    std::atomic<bool> stop_{false};
    std::atomic<uint64_t> sent_{0};
    std::thread thread_;
};

// CPU time (ns) of this process's threads whose name starts with prefix.
uint64_t threads_cpu_ns(const std::string &prefix)
{
    uint64_t total = 0;
    if (DIR *d = opendir("/proc/self/task")) {
        while (dirent *e = readdir(d)) {
            if (e->d_name[0] == '.')
                continue;
            std::string comm;
            std::getline(std::ifstream(std::string("/proc/self/task/") + e->d_name + "/comm"), comm);
            uint64_t ns = 0;
            if (comm.rfind(prefix, 0) == 0 && (std::ifstream(std::string("/proc/self/task/") + e->d_name + "/schedstat") >> ns))
                total += ns;
        }
        closedir(d);
    }
    return total;
}

// CPU and datagrams over `seconds` after a two-second warm-up.
struct window {
    uint64_t cpu_ns = 0, datagrams = 0;
};
template <class Cpu> window measure(const sender *s, double seconds, Cpu cpu)
{
    std::this_thread::sleep_for(std::chrono::seconds(2));
    const uint64_t c0 = cpu(), n0 = s ? s->sent() : 0;
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    return {cpu() - c0, (s ? s->sent() : 0) - n0};
}

} // namespace

int main(int argc, char **argv)
{
    const std::string why = scenario::skip_reason();
    if (!why.empty()) {
        std::printf("skipped: %s\n", why.c_str());
        return 0;
    }
    if (!tsfix::have_program("ffmpeg")) {
        std::printf("skipped: ffmpeg is needed\n");
        return 0;
    }
    const double seconds = argc > 1 ? std::atof(argv[1]) : 60.0;
    tsfix::TempDir dir;
    const std::string path = (dir.path / "cbr.ts").string();
    tsfix::run("ffmpeg -v error -nostdin -f lavfi -i testsrc=size=320x240:rate=25 -f lavfi -i sine=frequency=440 "
               "-c:v mpeg2video -b:v 3000k -c:a mp2 -t 8 -muxrate " + std::to_string(kRate) +
               " -f mpegts '" + path + "' 2>&1");
    const std::vector<uint8_t> ts = tsfix::read_file(path);
    if (ts.size() < size_t(kSize) * 1000) {
        std::printf("skipped: ffmpeg could not make the stream\n");
        return 0;
    }

    scenario card(3);
    card.in_chassis("ip addr add 10.77.1.2/24 dev peer1");
    card.in_chassis("ip addr add 10.77.0.2/24 dev peer0");
    card.start_linked();
    card.change([] {
        for (int g = 0; g < kInputs; ++g) {
            cfg_rx *rx = mcfcfg_rx_add_net(100 + g);
            std::snprintf(rx->ingress_node, sizeof rx->ingress_node, "%s", group(g).c_str());
            std::snprintf(rx->ingress_intf, sizeof rx->ingress_intf, "%s", "eth1");
            rx->ingress_port = kPort;
            rx->ingress_bps = kRate;
            mcastfwdr_allocate_rule_input(mcf_cfg.tbl_inputs, rx);
            cfg_tx *tx = mcfcfg_tx_add_net(&mcf_cfg, g);
            std::snprintf(tx->dest_node, sizeof tx->dest_node, "%s", out_group(g).c_str());
            kd_remote_addr_init(&tx->ra, tx->dest_node, nullptr);
            kd_remote_addr_set_port(&tx->ra, 6000);
            std::snprintf(tx->dest_intf, sizeof tx->dest_intf, "%s", "eth0");
            tx->dest_port = 6000;
            tx->dest_bps = kRate;
            tx->dest_protocol = PROTOCOL_RTP;
            tx->dest_transmit = DEST_XMIT_ON;
            cfg_tx_input *svc = cfg_tx_input_add(tx);
            svc->input_id = 100 + g;
            svc->input_prog_num = 1;
            cfg_tx_pid_map_add(svc, "Video", 0x100)->out_pid = 0x200;
        }
    });
    auto fwd_cpu = [] { return threads_cpu_ns("SVM:"); };

    // Idle: the same set-up without traffic.
    const window idle = measure(nullptr, seconds / 6, fwd_cpu);
    const double idle_ns_per_s = double(idle.cpu_ns) / (seconds / 6);

    // The forwarder with the traffic.
    window fwd;
    {
        sender s(card, ts);
        fwd = measure(&s, seconds, fwd_cpu);
    }
    const int over = card.log().count("Mux Ingress rate exceeded");

    // The bare relay on the inputs' socket, sending on its own socket.
    const int shared = manager_inputs_find_by_id(100)->socket_id;
    {
        mcf::write_lock lock; // the ingress thread no longer sees the socket
        for (int g = 0; g < kInputs; ++g)
            manager_inputs_find_by_id(100 + g)->type = INGRTYPE_VIRT;
    }
    int out_fd;
    {
        xsbsim::net_rig::enter in(card.rig().card());
        out_fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    }
    in_addr local{};
    inet_pton(AF_INET, "10.77.0.1", &local);
    setsockopt(out_fd, IPPROTO_IP, IP_MULTICAST_IF, &local, sizeof local);
    sockaddr_in dest[kInputs]{};
    for (int g = 0; g < kInputs; ++g) {
        dest[g].sin_family = AF_INET;
        dest[g].sin_port = htons(7000);
        inet_pton(AF_INET, ("239.3.3." + std::to_string(g + 1)).c_str(), &dest[g].sin_addr);
    }
    std::atomic<bool> stop{false};
    std::atomic<uint64_t> relayed{0};
    std::thread relay([&] {
        pthread_setname_np(pthread_self(), "relay");
        std::vector<uint8_t> area(10 * 1520);
        mmsghdr in[10], out[10];
        iovec iov[10];
        timespec t;
        clock_gettime(CLOCK_MONOTONIC, &t);
        uint64_t k = 0;
        while (!stop.load(std::memory_order_relaxed)) {
            int n;
            do {
                for (int i = 0; i < 10; ++i) {
                    iov[i] = {area.data() + i * 1520, 1514};
                    in[i] = {};
                    in[i].msg_hdr.msg_iov = &iov[i];
                    in[i].msg_hdr.msg_iovlen = 1;
                }
                n = recvmmsg(shared, in, 10, MSG_DONTWAIT, nullptr);
                for (int i = 0; i < n; ++i) {
                    iov[i].iov_len = in[i].msg_len;
                    out[i] = {};
                    out[i].msg_hdr.msg_iov = &iov[i];
                    out[i].msg_hdr.msg_iovlen = 1;
                    out[i].msg_hdr.msg_name = &dest[k++ % kInputs];
                    out[i].msg_hdr.msg_namelen = sizeof dest[0];
                }
                if (n > 0 && sendmmsg(out_fd, out, unsigned(n), 0) > 0)
                    relayed += uint64_t(n);
            } while (n == 10);
            t.tv_nsec += 1000000;
            if (t.tv_nsec >= 1000000000) {
                t.tv_nsec -= 1000000000;
                ++t.tv_sec;
            }
            clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &t, nullptr);
        }
    });
    window rel;
    {
        sender s(card, ts);
        rel = measure(&s, seconds, [] { return threads_cpu_ns("relay"); });
    }
    stop = true;
    relay.join();
    ::close(out_fd);

    const double added = double(fwd.cpu_ns) - idle_ns_per_s * seconds;
    const double per_fwd = added / double(fwd.datagrams ? fwd.datagrams : 1);
    const double per_relay = double(rel.cpu_ns) / double(rel.datagrams ? rel.datagrams : 1);
    std::printf("forwarder idle: %.1f ms of CPU a second\n", idle_ns_per_s / 1e6);
    std::printf("forwarder: %llu datagrams in %.0f s, %.0f ns of CPU a datagram beyond idle (%.0f ns with it)%s\n",
                (unsigned long long)fwd.datagrams, seconds, per_fwd,
                double(fwd.cpu_ns) / double(fwd.datagrams ? fwd.datagrams : 1),
                over ? ", \"Mux Ingress rate exceeded\"" : "");
    std::printf("relay: %llu datagrams, %llu relayed, %.0f ns of CPU a datagram\n", (unsigned long long)rel.datagrams,
                (unsigned long long)relayed.load(), per_relay);
    std::printf("vs_relay %.2f (aim: at most 2)\n", per_fwd / per_relay);
    return 0;
}

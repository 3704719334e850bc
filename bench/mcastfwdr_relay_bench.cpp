// The forwarder end to end against the fastest simple relay, on a
// simulated card in network namespaces (root). A generator in the chassis
// namespace sends a one-program transport stream in 1316-byte datagrams to
// the card's eth1; the forwarder takes it in on one Net input and sends
// the program out of eth0 on one UDP output; the relay, an event-driven
// thread in the card's namespace (recvmmsg blocking until a datagram
// comes, then sendmmsg of what it got), does the same with another group.
// A sink in the chassis namespace counts every TS packet of each side and
// checks its continuity, so that a side that loses data is seen.
//
// Each run measures both sides over the same wall time (the traffic and a
// second after it), idle wake-ups included, in alternating order: the
// forwarder's threads and the loop thread that serves it against the
// relay's thread. Also the forwarder idle with its input and output
// configured and no traffic. Figures at 20 and 210 Mbit/s.
//
// mcastfwdr_relay_bench [seconds] [runs] [rate-Mbit/s...]: seconds of
// traffic per side and run (default 60), runs (default 5), rates (default
// 20 210).
#include "ingress/manager_input.h"
#include "mux/multiplexer.h"
#include "egress/egress.h"
#include "ingress/ingress.h"
#include "outputs/manager_output.h"
#include "scenario.h"
#include "ts_fixtures.h"

#include <mpegts_crc.h>

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <string>
#include <thread>
#include <vector>

namespace {

using mcftest::scenario;

constexpr int kDgram = 7 * 188;
constexpr int kVideoPid = 0x100;
constexpr int kPmtPid = 0x1000;
// What the forwarder's output holds back when its input stops, until the
// next traffic: up to six packets of an incomplete datagram, and up to four
// complete datagrams (it sends five at a time, and the rest only in a
// cycle that sent five).
constexpr uint64_t kStuck = 6 + 4 * 7;
// Each side its own groups and ports.
struct side {
    const char *in, *out;
    int in_port, out_port;
};
constexpr side kFwd{"239.1.1.1", "239.2.2.1", 5000, 6000};
constexpr side kRelay{"239.1.1.2", "239.2.2.2", 5002, 6002};

// A one-program stream made on the fly: PAT and PMT ten times a second,
// one packet in twenty stuffing, the rest one video PID carrying a PCR
// every 20 ms that matches the rate, continuity counters running on
// across the whole run.
class ts_source {
public:
    explicit ts_source(double bps) : bps_(bps)
    {
        section(pat_, {0x00, 0xB0, 0x0D, 0x00, 0x01, 0xC1, 0x00, 0x00, 0x00, 0x01, uint8_t(0xE0 | kPmtPid >> 8),
                       uint8_t(kPmtPid)});
        section(pmt_, {0x02, 0xB0, 0x12, 0x00, 0x01, 0xC1, 0x00, 0x00, uint8_t(0xE0 | kVideoPid >> 8),
                       uint8_t(kVideoPid), 0xF0, 0x00, 0x02, uint8_t(0xE0 | kVideoPid >> 8), uint8_t(kVideoPid), 0xF0,
                       0x00});
        psi_every_ = uint64_t(bps / 1504 / 10) + 2;
        pcr_every_ = uint64_t(bps / 1504 / 50) + 1;
    }
    // The next datagram; counts the video packets in it.
    void datagram(uint8_t *d, uint64_t &video)
    {
        for (int i = 0; i < 7; ++i, ++n_) {
            uint8_t *p = d + i * 188;
            const uint64_t k = n_ % psi_every_;
            if (k == 0)
                psi(p, 0, pat_, cc_pat_);
            else if (k == 1)
                psi(p, kPmtPid, pmt_, cc_pmt_);
            else if (n_ % 20 == 19)
                null(p); // a CBR multiplex's stuffing, 5 %
            else {
                ++video;
                this->video(p);
            }
        }
    }

private:
    static void section(std::vector<uint8_t> &s, std::initializer_list<uint8_t> bytes)
    {
        s.assign(bytes);
        const uint32_t crc = DvbCrc32Compute(s.data(), s.size());
        for (int sh = 24; sh >= 0; sh -= 8)
            s.push_back(uint8_t(crc >> sh));
    }
    static void psi(uint8_t *p, int pid, const std::vector<uint8_t> &s, uint8_t &cc)
    {
        std::memset(p, 0xFF, 188);
        p[0] = 0x47;
        p[1] = uint8_t(0x40 | pid >> 8);
        p[2] = uint8_t(pid);
        p[3] = uint8_t(0x10 | (cc++ & 0x0F));
        p[4] = 0; // pointer field
        std::memcpy(p + 5, s.data(), s.size());
    }
    static void null(uint8_t *p)
    {
        std::memset(p, 0xFF, 188);
        const uint8_t hdr[4] = {0x47, 0x1F, 0xFF, 0x10};
        std::memcpy(p, hdr, 4);
    }
    void video(uint8_t *p)
    {
        p[0] = 0x47;
        p[1] = uint8_t(kVideoPid >> 8);
        p[2] = uint8_t(kVideoPid);
        uint8_t *payload = p + 4;
        if (n_ % pcr_every_ == 2) {
            p[3] = uint8_t(0x30 | (cc_video_++ & 0x0F));
            const uint64_t pcr = uint64_t(double(n_) * 1504.0 * 27e6 / bps_);
            const uint64_t base = pcr / 300, ext = pcr % 300;
            const uint8_t af[8] = {7,
                                   0x10,
                                   uint8_t(base >> 25),
                                   uint8_t(base >> 17),
                                   uint8_t(base >> 9),
                                   uint8_t(base >> 1),
                                   uint8_t((base & 1) << 7 | 0x7E | ext >> 8),
                                   uint8_t(ext)};
            std::memcpy(p + 4, af, sizeof af);
            payload += sizeof af;
        } else {
            p[3] = uint8_t(0x10 | (cc_video_++ & 0x0F));
        }
        std::memset(payload, uint8_t(n_), size_t(p + 188 - payload));
    }

    double bps_;
    uint64_t n_ = 0, psi_every_, pcr_every_;
    uint8_t cc_pat_ = 0, cc_pmt_ = 0, cc_video_ = 0;
    std::vector<uint8_t> pat_, pmt_;
};

// A receiving socket bound to group:port, a member on the interface of
// `local`, with a forced receive buffer of `bytes`.
void join_group(int fd, const char *group, int port, const char *local, int bytes)
{
    const int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &bytes, sizeof bytes);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(uint16_t(port));
    inet_pton(AF_INET, group, &a.sin_addr);
    bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a);
    ip_mreq m{};
    inet_pton(AF_INET, group, &m.imr_multiaddr);
    inet_pton(AF_INET, local, &m.imr_interface);
    setsockopt(fd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &m, sizeof m);
}

// The traffic from the chassis namespace through peer1, paced in 1 ms
// steps with sendmmsg, until stopped.
class generator {
public:
    generator(const scenario &card, ts_source &src, double bps, const side &to) : src_(src), bps_(bps)
    {
        {
            xsbsim::net_rig::enter in(card.rig().chassis());
            fd_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        }
        in_addr local{};
        inet_pton(AF_INET, "10.77.1.2", &local);
        setsockopt(fd_, IPPROTO_IP, IP_MULTICAST_IF, &local, sizeof local);
        const int sndbuf = 16 << 20;
        setsockopt(fd_, SOL_SOCKET, SO_SNDBUFFORCE, &sndbuf, sizeof sndbuf);
        to_.sin_family = AF_INET;
        to_.sin_port = htons(uint16_t(to.in_port));
        inet_pton(AF_INET, to.in, &to_.sin_addr);
        thread_ = std::thread([this] { run(); });
    }
    ~generator()
    {
        stop();
        ::close(fd_);
    }
    void stop()
    {
        stop_ = true;
        if (thread_.joinable())
            thread_.join();
    }
    uint64_t sent() const { return sent_.load(); }
    uint64_t video() const { return video_.load(); }
    uint64_t send_errors() const { return errors_.load(); }
    // How far (ms) the machine held the sender up at worst, beyond kMaxLateMs.
    uint64_t late_ms() const { return late_ms_.load(); }
    static constexpr int kMaxLateMs = 20;

private:
    void run()
    {
        constexpr int kMax = 64;
        std::vector<uint8_t> buf(size_t(kMax) * kDgram);
        mmsghdr msgs[kMax];
        iovec iov[kMax];
        const double per_ms = bps_ / (kDgram * 8.0) / 1000.0;
        timespec t;
        clock_gettime(CLOCK_MONOTONIC, &t);
        double due = 0;
        uint64_t n = 0, video = 0;
        while (!stop_.load(std::memory_order_relaxed)) {
            due += per_ms;
            // A sender the machine held up does not flood the receiver with
            // what it missed (no real one does): it goes on from now and
            // says how late it was.
            if (due - double(n) > per_ms * kMaxLateMs) {
                late_ms_ = std::max<uint64_t>(late_ms_, uint64_t((due - double(n)) / per_ms));
                due = double(n) + per_ms;
            }
            while (double(n) < due) {
                const int batch = int(std::min<double>(kMax, std::ceil(due - double(n))));
                for (int i = 0; i < batch; ++i) {
                    src_.datagram(&buf[size_t(i) * kDgram], video);
                    iov[i] = {&buf[size_t(i) * kDgram], kDgram};
                    msgs[i] = {};
                    msgs[i].msg_hdr.msg_iov = &iov[i];
                    msgs[i].msg_hdr.msg_iovlen = 1;
                    msgs[i].msg_hdr.msg_name = &to_;
                    msgs[i].msg_hdr.msg_namelen = sizeof to_;
                }
                int done = 0;
                while (done < batch) {
                    const int r = sendmmsg(fd_, msgs + done, unsigned(batch - done), 0);
                    if (r <= 0) {
                        errors_ += uint64_t(batch - done);
                        break;
                    }
                    done += r;
                }
                n += uint64_t(batch);
                sent_.store(n, std::memory_order_relaxed);
                video_.store(video, std::memory_order_relaxed);
            }
            t.tv_nsec += 1000000;
            if (t.tv_nsec >= 1000000000) {
                t.tv_nsec -= 1000000000;
                ++t.tv_sec;
            }
            clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &t, nullptr);
        }
    }
    ts_source &src_;
    double bps_;
    int fd_ = -1;
    sockaddr_in to_{};
    std::atomic<bool> stop_{false};
    std::atomic<uint64_t> sent_{0}, video_{0}, errors_{0}, late_ms_{0};
    std::thread thread_;
};

// A receiver in the chassis namespace on peer0: counts TS packets, video
// packets and continuity errors of every PID but the null PID.
class sink {
public:
    sink(const scenario &card, const side &from)
    {
        {
            xsbsim::net_rig::enter in(card.rig().chassis());
            fd_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        }
        join_group(fd_, from.out, from.out_port, "10.77.0.2", 32 << 20);
        thread_ = std::thread([this] { run(); });
    }
    ~sink()
    {
        stop_ = true;
        thread_.join();
        ::close(fd_);
    }
    uint64_t packets() const { return packets_.load(); }
    uint64_t video() const { return video_.load(); }
    uint64_t cc_errors() const { return cc_errors_.load(); }
    void reset()
    {
        reset_ = true;
        while (reset_)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }

private:
    void run()
    {
        constexpr int kMax = 64;
        std::vector<uint8_t> buf(size_t(kMax) * 1500);
        mmsghdr msgs[kMax];
        iovec iov[kMax];
        std::vector<int> cc(8192, -1);
        while (!stop_) {
            if (reset_) {
                std::fill(cc.begin(), cc.end(), -1);
                packets_ = video_ = cc_errors_ = 0;
                reset_ = false;
            }
            pollfd p{fd_, POLLIN, 0};
            if (poll(&p, 1, 20) <= 0)
                continue;
            for (int i = 0; i < kMax; ++i) {
                iov[i] = {&buf[size_t(i) * 1500], 1500};
                msgs[i] = {};
                msgs[i].msg_hdr.msg_iov = &iov[i];
                msgs[i].msg_hdr.msg_iovlen = 1;
            }
            const int n = recvmmsg(fd_, msgs, kMax, MSG_DONTWAIT, nullptr);
            for (int i = 0; i < n; ++i)
                for (unsigned off = 0; off + 188 <= msgs[i].msg_len; off += 188) {
                    const uint8_t *t = &buf[size_t(i) * 1500 + off];
                    const int pid = (t[1] & 0x1F) << 8 | t[2];
                    ++packets_;
                    if (pid == 0x1FFF || t[0] != 0x47)
                        continue;
                    video_ += pid == kVideoPid;
                    if (!(t[3] & 0x10))
                        continue; // no payload: the counter stays
                    const int c = t[3] & 0x0F;
                    if (cc[size_t(pid)] >= 0 && c != ((cc[size_t(pid)] + 1) & 0x0F))
                        ++cc_errors_;
                    cc[size_t(pid)] = c;
                }
        }
    }
    int fd_ = -1;
    std::atomic<bool> stop_{false}, reset_{false};
    std::atomic<uint64_t> packets_{0}, video_{0}, cc_errors_{0};
    std::thread thread_;
};

// The event-driven relay in the card's namespace: its input socket as the
// forwarder sizes its own, then blocking recvmmsg and sendmmsg of what came.
class relay {
public:
    relay(const scenario &card, double bps)
    {
        {
            xsbsim::net_rig::enter in(card.rig().card());
            in_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
            out_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        }
        join_group(in_, kRelay.in, kRelay.in_port, "10.77.1.1", mcf::net_rx_buffer_bytes(int64_t(bps)));
        in_addr local{};
        inet_pton(AF_INET, "10.77.0.1", &local);
        setsockopt(out_, IPPROTO_IP, IP_MULTICAST_IF, &local, sizeof local);
        to_.sin_family = AF_INET;
        to_.sin_port = htons(uint16_t(kRelay.out_port));
        inet_pton(AF_INET, kRelay.out, &to_.sin_addr);
        thread_ = std::thread([this] { run(); });
    }
    ~relay()
    {
        stop_ = true;
        // Ends the blocking receive.
        shutdown(in_, SHUT_RDWR);
        thread_.join();
        ::close(in_);
        ::close(out_);
    }
    pid_t tid() const { return tid_.load(); }

private:
    void run()
    {
        tid_ = pid_t(gettid());
        constexpr int kMax = 64;
        std::vector<uint8_t> area(size_t(kMax) * 1500);
        mmsghdr in[kMax], out[kMax];
        iovec iov[kMax];
        while (!stop_.load(std::memory_order_relaxed)) {
            for (int i = 0; i < kMax; ++i) {
                iov[i] = {&area[size_t(i) * 1500], 1500};
                in[i] = {};
                in[i].msg_hdr.msg_iov = &iov[i];
                in[i].msg_hdr.msg_iovlen = 1;
            }
            const int n = recvmmsg(in_, in, kMax, MSG_WAITFORONE, nullptr);
            if (n <= 0)
                continue;
            for (int i = 0; i < n; ++i) {
                iov[i].iov_len = in[i].msg_len;
                out[i] = {};
                out[i].msg_hdr.msg_iov = &iov[i];
                out[i].msg_hdr.msg_iovlen = 1;
                out[i].msg_hdr.msg_name = &to_;
                out[i].msg_hdr.msg_namelen = sizeof to_;
            }
            for (int done = 0; done < n;) {
                const int r = sendmmsg(out_, out + done, unsigned(n - done), 0);
                if (r <= 0)
                    break;
                done += r;
            }
        }
    }
    int in_ = -1, out_ = -1;
    sockaddr_in to_{};
    std::atomic<bool> stop_{false};
    std::atomic<pid_t> tid_{0};
    std::thread thread_;
};

uint64_t task_cpu_ns(const std::string &tid)
{
    uint64_t ns = 0;
    std::ifstream("/proc/self/task/" + tid + "/schedstat") >> ns;
    return ns;
}

// CPU time (ns) of the forwarder: its threads and the loop thread (this
// program's main thread, which runs the framework's loop).
std::map<std::string, uint64_t> forwarder_threads_ns();
uint64_t forwarder_cpu_ns()
{
    uint64_t total = 0;
    for (const auto &[name, ns] : forwarder_threads_ns())
        total += ns;
    return total;
}

// CPU time (ns) by thread name: the forwarder's threads and its loop.
std::map<std::string, uint64_t> forwarder_threads_ns()
{
    std::map<std::string, uint64_t> out;
    out["loop"] = task_cpu_ns(std::to_string(getpid()));
    if (DIR *d = opendir("/proc/self/task")) {
        while (dirent *e = readdir(d)) {
            std::string comm;
            std::getline(std::ifstream(std::string("/proc/self/task/") + e->d_name + "/comm"), comm);
            if (e->d_name[0] != '.' && comm.rfind("SVM:", 0) == 0)
                out[comm.substr(4)] += task_cpu_ns(e->d_name);
        }
        closedir(d);
    }
    return out;
}

// Runs the loop (the forwarder's control side) for `seconds`.
void serve(double seconds)
{
    const auto until = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    mcftest::run_loop_until([&] { return std::chrono::steady_clock::now() >= until; }, seconds + 5);
}

struct side_result {
    double ns_per_datagram = 0;
    uint64_t sent = 0, lost_packets = 0, cc_errors = 0, send_errors = 0, late_ms = 0;
};

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
}

void print_figure(const char *name, const std::vector<double> &v, const char *unit)
{
    const auto [lo, hi] = std::minmax_element(v.begin(), v.end());
    std::printf("  %-34s %10.2f %s (%.2f - %.2f)\n", name, median(v), unit, *lo, *hi);
}

// One rate: the idle figure, then `runs` runs of both sides.
bool bench_rate(double mbps, double seconds, int runs)
{
    const double bps = mbps * 1e6;
    scenario card(3);
    card.in_chassis("ip addr add 10.77.1.2/24 dev peer1");
    card.in_chassis("ip addr add 10.77.0.2/24 dev peer0");
    card.start_linked();
    card.change([&] {
        cfg_rx *rx = mcfcfg_rx_add_net(100);
        std::snprintf(rx->ingress_node, sizeof rx->ingress_node, "%s", kFwd.in);
        std::snprintf(rx->ingress_intf, sizeof rx->ingress_intf, "%s", "eth1");
        rx->ingress_port = kFwd.in_port;
        rx->ingress_bps = int32_t(bps);
        mcastfwdr_allocate_rule_input(mcf_cfg.tbl_inputs, rx);
        cfg_tx *tx = mcfcfg_tx_add_net(&mcf_cfg, 1);
        std::snprintf(tx->dest_node, sizeof tx->dest_node, "%s", kFwd.out);
        kd_remote_addr_init(&tx->ra, tx->dest_node, nullptr);
        kd_remote_addr_set_port(&tx->ra, kFwd.out_port);
        std::snprintf(tx->dest_intf, sizeof tx->dest_intf, "%s", "eth0");
        tx->dest_port = kFwd.out_port;
        tx->dest_bps = int32_t(bps);
        tx->dest_protocol = PROTOCOL_UDP;
        tx->dest_transmit = DEST_XMIT_ON;
        cfg_tx_input *svc = cfg_tx_input_add(tx);
        svc->input_id = 100;
        svc->input_prog_num = 1;
    });
    relay rel(card, bps);
    sink fwd_out(card, kFwd), rel_out(card, kRelay);
    // One stream a side across the runs: the continuity goes on from run to
    // run (the forwarder sends an incomplete datagram only with the next).
    ts_source fwd_src(bps), rel_src(bps);
    serve(2);

    // Idle: the input and the output configured, no traffic.
    const double idle_s = std::max(10.0, seconds / 2);
    const uint64_t i0 = forwarder_cpu_ns();
    serve(idle_s);
    const double idle_share = double(forwarder_cpu_ns() - i0) / (idle_s * 1e9);

    // A warm-up of each side, unmeasured: the forwarder learns the
    // program's tables before it routes its packets.
    for (int which = 0; which < 2; ++which) {
        generator gen(card, which == 0 ? fwd_src : rel_src, bps, which == 0 ? kFwd : kRelay);
        serve(2);
    }
    serve(1);
    std::vector<double> fwd_ns, rel_ns, ratio;
    bool clean = true;
    std::string load;
    std::getline(std::ifstream("/proc/loadavg"), load);
    std::printf("%.0f Mbit/s, %d runs of %.0f s a side (+1 s after the traffic), load average %s\n", mbps, runs,
                seconds, load.substr(0, load.find(' ', load.find(' ', load.find(' ') + 1) + 1)).c_str());
    for (int r = 0; r < runs; ++r) {
        side_result res[2]; // 0 forwarder, 1 relay
        for (int k = 0; k < 2; ++k) {
            const int which = r % 2 ? 1 - k : k;
            sink &out = which == 0 ? fwd_out : rel_out;
            auto cpu = [&] { return which == 0 ? forwarder_cpu_ns() : task_cpu_ns(std::to_string(rel.tid())); };
            const int lost_before = card.log().count("stream lost");
            manager_input *mi = manager_inputs_find_by_id(100);
            const uint64_t rx0 = mi->ts_packets_rx.load();
            out.reset();
            const auto t0 = forwarder_threads_ns();
            const uint64_t c0 = cpu();
            generator gen(card, which == 0 ? fwd_src : rel_src, bps, which == 0 ? kFwd : kRelay);
            serve(seconds);
            gen.stop();
            const int lost_lines = card.log().count("stream lost") - lost_before;
            serve(1);
            const uint64_t c1 = cpu();
            if (which == 0 && r == runs - 1) {
                std::printf("  forwarder's threads in the last run, us a datagram:");
                for (const auto &[name, ns] : forwarder_threads_ns())
                    if (const uint64_t d = ns - (t0.count(name) ? t0.at(name) : 0); d > 0)
                        std::printf(" %s %.1f", name.c_str(), double(d) / 1000 / double(gen.sent() ? gen.sent() : 1));
                std::printf("\n");
            }
            side_result &s = res[which];
            s.late_ms = gen.late_ms();
            s.sent = gen.sent();
            s.send_errors = gen.send_errors();
            s.ns_per_datagram = double(c1 - c0) / double(s.sent ? s.sent : 1);
            // Late packets of a loaded machine still count: until the
            // input has taken everything and the sink heard it all.
            const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
            mcftest::run_loop_until([&] {
                const bool in = which == 1 || mi->ts_packets_rx.load() - rx0 >= s.sent * 7;
                const bool heard = which == 0 ? out.video() + kStuck >= gen.video() : out.packets() >= s.sent * 7;
                return (in && heard) || std::chrono::steady_clock::now() > until;
            }, 10);
            s.cc_errors = out.cc_errors();
            if (which == 0) {
                const uint64_t taken = mi->ts_packets_rx.load() - rx0;
                const uint64_t in_lost = s.sent * 7 - std::min(s.sent * 7, taken);
                const uint64_t out_lost = gen.video() - std::min(gen.video(), out.video() + kStuck);
                s.lost_packets = in_lost + out_lost;
                if (s.lost_packets)
                    std::printf("  run %d: %llu packets not taken in, %llu video packets not out\n", r + 1,
                                (unsigned long long)in_lost, (unsigned long long)out_lost);
                // A sender held up for the monitor's period was silent that long.
                if (lost_lines && s.late_ms < 197) {
                    std::printf("  run %d: \"stream lost\" while the sender ran\n", r + 1);
                    clean = false;
                }
            } else {
                s.lost_packets = s.sent * 7 - std::min(s.sent * 7, out.packets());
            }
        }
        for (int w = 0; w < 2; ++w) {
            if (res[w].late_ms)
                std::printf("  run %d, %s: the machine held the sender up for %llu ms: a gap in the stream\n", r + 1,
                            w ? "relay" : "forwarder", (unsigned long long)res[w].late_ms);
            if (res[w].lost_packets || res[w].cc_errors || res[w].send_errors) {
                std::printf("  run %d, %s: %llu packets lost, %llu continuity errors, %llu not sent\n", r + 1,
                            w ? "relay" : "forwarder", (unsigned long long)res[w].lost_packets,
                            (unsigned long long)res[w].cc_errors, (unsigned long long)res[w].send_errors);
                clean = clean && w == 1;
            }
        }
        fwd_ns.push_back(res[0].ns_per_datagram / 1000);
        rel_ns.push_back(res[1].ns_per_datagram / 1000);
        ratio.push_back(res[0].ns_per_datagram / res[1].ns_per_datagram);
    }
    manager_input_status st;
    manager_input_get_status(100, &st);
    const mcf::ingress_counters &ic = mcf::ingress_stats(INGRESS_SRC_NET);
    std::printf("  ingress: %llu entries, %llu pipe full, %llu misaddressed; ",
                (unsigned long long)ic.entries.load(), (unsigned long long)ic.pipe_full.load(),
                (unsigned long long)ic.misaddressed.load());
    if (const manager_output *mo = manager_outputs_find_by_id(1); mo && mo->egress)
        std::printf("egress: %llu datagrams, %llu busy, %llu send errors, %llu cycles leaving packets",
                    (unsigned long long)mo->egress->stats.dgrams_sent.load(),
                    (unsigned long long)mo->egress->stats.busy.load(),
                    (unsigned long long)mo->egress->stats.socket_error.load(),
                    (unsigned long long)mo->egress->stats.ring_full.load());
    std::printf("\n");
    std::printf("  figure                             median      (min - max)\n");
    print_figure("forwarder, CPU a datagram", fwd_ns, "us");
    print_figure("relay, CPU a datagram", rel_ns, "us");
    print_figure("forwarder / relay", ratio, "x ");
    std::printf("  %-34s %10.2f %% of a core\n", "forwarder idle", idle_share * 100);
    std::printf("  kernel drops at the forwarder's socket: %llu; forwarder lost nothing: %s\n",
                (unsigned long long)st.rx_kernel_drops, clean ? "yes" : "NO");
    return clean;
}

} // namespace

int main(int argc, char **argv)
{
    const std::string why = scenario::skip_reason();
    if (!why.empty()) {
        std::printf("skipped: %s\n", why.c_str());
        return 0;
    }
    setenv("KD_NO_RT", "1", 1);
    const double seconds = argc > 1 ? std::atof(argv[1]) : 60.0;
    const int runs = argc > 2 ? std::max(1, std::atoi(argv[2])) : 5;
    std::vector<double> rates;
    for (int i = 3; i < argc; ++i)
        rates.push_back(std::atof(argv[i]));
    if (rates.empty())
        rates = {20, 210};
    bool clean = true;
    for (double mbps : rates)
        clean = bench_rate(mbps, seconds, runs) && clean;
    return clean ? 0 : 1;
}

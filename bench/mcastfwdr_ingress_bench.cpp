// The forwarder's Net ingress under load, on a simulated card in network
// namespaces (root). 210 Mbit/s of 1316-byte datagrams over 10 groups sent
// from the chassis side; a reader drains the Net pipe (once stalled for
// 100 ms) and checks every datagram's group counter and payload: none lost,
// repeated or overwritten. Then the same traffic into a bare recvmmsg loop
// on the same 1 ms grid; `vs_bare` is the ingress thread's CPU time per
// datagram against that loop's (the aim is at most 1.5).
// Seconds per phase: first argument, default 30.
#include "ingress/ingress.h"
#include "ingress/manager_input.h"
#include "mux/multiplexer.h"
#include "scenario.h"

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

constexpr int kGroups = 10;
constexpr int kPort = 5000;
constexpr int kSize = 1316;
constexpr double kBps = 210e6;

std::string group(int g) { return "239.1.1." + std::to_string(g + 1); }

void fill(uint8_t *d, uint32_t g, uint32_t n)
{
    std::memcpy(d, &g, 4);
    std::memcpy(d + 4, &n, 4);
    for (int i = 8; i < kSize; ++i)
        d[i] = uint8_t(n * 13 + g * 7 + i);
}

bool intact(const uint8_t *d, uint32_t g, uint32_t n)
{
    for (int i = 8; i < kSize; ++i)
        if (d[i] != uint8_t(n * 13 + g * 7 + i))
            return false;
    return true;
}

// Sends the traffic for `seconds` from the chassis namespace, paced per ms.
uint64_t send_traffic(const scenario &card, double seconds)
{
    int fd;
    {
        xsbsim::net_rig::enter in(card.rig().chassis());
        fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    }
    in_addr local{};
    inet_pton(AF_INET, "10.77.1.2", &local);
    setsockopt(fd, IPPROTO_IP, IP_MULTICAST_IF, &local, sizeof local);
    int sndbuf = 8 << 20;
    setsockopt(fd, SOL_SOCKET, SO_SNDBUFFORCE, &sndbuf, sizeof sndbuf);
    sockaddr_in to[kGroups]{};
    for (int g = 0; g < kGroups; ++g) {
        to[g].sin_family = AF_INET;
        to[g].sin_port = htons(kPort);
        inet_pton(AF_INET, group(g).c_str(), &to[g].sin_addr);
    }
    const double per_ms = kBps / (kSize * 8.0) / 1000.0;
    std::vector<uint32_t> next(kGroups, 0);
    std::vector<uint8_t> buf(kSize);
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    const uint64_t total_ms = uint64_t(seconds * 1000);
    double due = 0;
    uint64_t sent = 0;
    for (uint64_t ms = 0; ms < total_ms; ++ms) {
        due += per_ms;
        while (double(sent) < due) {
            const uint32_t g = uint32_t(sent % kGroups);
            fill(buf.data(), g, next[g]);
            if (sendto(fd, buf.data(), kSize, 0, reinterpret_cast<sockaddr *>(&to[g]), sizeof to[g]) == kSize)
                ++next[g];
            ++sent;
        }
        t.tv_nsec += 1000000;
        if (t.tv_nsec >= 1000000000) {
            t.tv_nsec -= 1000000000;
            ++t.tv_sec;
        }
        clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &t, nullptr);
    }
    ::close(fd);
    uint64_t n = 0;
    for (uint32_t v : next)
        n += v;
    return n;
}

// CPU time (ns) of this process's thread with that name.
uint64_t thread_cpu_ns(const char *name)
{
    uint64_t ns = 0;
    if (DIR *d = opendir("/proc/self/task")) {
        while (dirent *e = readdir(d)) {
            if (e->d_name[0] == '.')
                continue;
            std::string comm;
            std::getline(std::ifstream(std::string("/proc/self/task/") + e->d_name + "/comm"), comm);
            if (comm == name)
                std::ifstream(std::string("/proc/self/task/") + e->d_name + "/schedstat") >> ns;
        }
        closedir(d);
    }
    return ns;
}

struct check {
    std::vector<int64_t> last = std::vector<int64_t>(kGroups, -1);
    uint64_t got = 0, lost = 0, repeated = 0, overwritten = 0;
    void see(const uint8_t *d, int len)
    {
        uint32_t g, n;
        std::memcpy(&g, d, 4);
        std::memcpy(&n, d + 4, 4);
        ++got;
        if (len != kSize || g >= kGroups || !intact(d, g, n)) {
            ++overwritten;
            return;
        }
        if (int64_t(n) <= last[g])
            ++repeated;
        else
            lost += uint64_t(int64_t(n) - last[g] - 1);
        last[g] = n;
    }
};

} // namespace

int main(int argc, char **argv)
{
    const std::string why = scenario::skip_reason();
    if (!why.empty()) {
        std::printf("skipped: %s\n", why.c_str());
        return 0;
    }
    const double seconds = argc > 1 ? std::atof(argv[1]) : 30.0;
    scenario card(3);
    card.in_chassis("ip addr add 10.77.1.2/24 dev peer1");
    card.start_linked();
    mcastfwdr_multiplex_fini(); // the reader below drains the pipe itself
    card.change([] {
        for (int g = 0; g < kGroups; ++g) {
            cfg_rx *rx = mcfcfg_rx_add_net(100 + g);
            std::snprintf(rx->ingress_node, sizeof rx->ingress_node, "%s", group(g).c_str());
            rx->ingress_port = kPort;
        }
    });

    // Phase 1: the ingress thread, a reader, one 100 ms stall.
    std::atomic<bool> done{false};
    check c;
    std::thread reader([&] {
        kd_pipe_t *pipe = ingress_pipe[INGRESS_SRC_NET];
        bool stalled = false;
        const auto start = std::chrono::steady_clock::now();
        ingress_to_mux_item e;
        for (;;) {
            while (kd_pipe_read_unlocked(pipe, &e) == 0)
                c.see(e.buf, e.len);
            if (done.load())
                break;
            if (!stalled && std::chrono::steady_clock::now() - start > std::chrono::duration<double>(seconds / 2)) {
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
                stalled = true;
            }
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
    });
    const uint64_t cpu0 = thread_cpu_ns("SVM:ingress-net");
    const uint64_t sent = send_traffic(card, seconds);
    mcftest::eventually([&] { return c.got >= sent; }, 2000);
    const uint64_t cpu_ingress = thread_cpu_ns("SVM:ingress-net") - cpu0;
    done = true;
    reader.join();
    const uint64_t pipe_full = mcf::ingress_stats(INGRESS_SRC_NET).pipe_full.load();

    // Phase 2: the same traffic into a bare recvmmsg loop on a 1 ms grid.
    const int shared = manager_inputs_find_by_id(100)->socket_id;
    std::atomic<bool> stop{false};
    std::atomic<uint64_t> bare_got{0}, bare_cpu{0};
    {
        mcf::write_lock lock; // the ingress thread no longer sees the socket
        for (int g = 0; g < kGroups; ++g)
            manager_inputs_find_by_id(100 + g)->type = INGRTYPE_VIRT;
    }
    std::thread bare([&] {
        std::vector<uint8_t> area(10 * 1520);
        mmsghdr msgs[10];
        iovec iov[10];
        timespec t, c0, c1;
        clock_gettime(CLOCK_THREAD_CPUTIME_ID, &c0);
        clock_gettime(CLOCK_MONOTONIC, &t);
        while (!stop.load(std::memory_order_relaxed)) {
            int n;
            do {
                for (int i = 0; i < 10; ++i) {
                    iov[i] = {area.data() + i * 1520, 1514};
                    msgs[i] = {};
                    msgs[i].msg_hdr.msg_iov = &iov[i];
                    msgs[i].msg_hdr.msg_iovlen = 1;
                }
                n = recvmmsg(shared, msgs, 10, MSG_DONTWAIT, nullptr);
                if (n > 0)
                    bare_got += uint64_t(n);
            } while (n == 10);
            t.tv_nsec += 1000000;
            if (t.tv_nsec >= 1000000000) {
                t.tv_nsec -= 1000000000;
                ++t.tv_sec;
            }
            clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &t, nullptr);
        }
        clock_gettime(CLOCK_THREAD_CPUTIME_ID, &c1);
        bare_cpu = uint64_t(c1.tv_sec - c0.tv_sec) * 1000000000 + uint64_t(c1.tv_nsec - c0.tv_nsec);
    });
    const uint64_t sent2 = send_traffic(card, seconds);
    mcftest::eventually([&] { return bare_got.load() >= sent2; }, 2000);
    stop = true;
    bare.join();
    {
        mcf::write_lock lock;
        for (int g = 0; g < kGroups; ++g)
            manager_inputs_find_by_id(100 + g)->type = INGRTYPE_NET;
    }

    const double per_ingress = double(cpu_ingress) / double(c.got ? c.got : 1);
    const double per_bare = double(bare_cpu.load()) / double(bare_got.load() ? bare_got.load() : 1);
    std::printf("ingress: sent %llu got %llu lost %llu repeated %llu overwritten %llu pipe_full %llu\n",
                (unsigned long long)sent, (unsigned long long)c.got, (unsigned long long)c.lost,
                (unsigned long long)c.repeated, (unsigned long long)c.overwritten, (unsigned long long)pipe_full);
    std::printf("cpu per datagram: ingress %.0f ns, bare recvmmsg %.0f ns (got %llu of %llu), vs_bare %.2f\n",
                per_ingress, per_bare, (unsigned long long)bare_got.load(), (unsigned long long)sent2,
                per_ingress / per_bare);
    const bool ok = c.got == sent && c.lost == 0 && c.repeated == 0 && c.overwritten == 0;
    std::printf("%s\n", ok ? "PASS" : "FAIL");
    return ok ? 0 : 1;
}

// The ingress thread "SVD:ingress": receives the forwarder's two streams
// on unix datagram sockets and runs each channel's packet rules.
#include "ingress.h"

#include <kerrow/dataset.h>
#include <kerrow/path.h>
#include <kerrow/pipe.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <string>

#include <pthread.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

constexpr const char *kSocketName[DEC_CHANNELS] = {"/var/run/decode-0-unix.sock", "/var/run/decode-1-unix.sock"};
constexpr int kRcvBuf = 2097152;
constexpr int kPriority = 90;
constexpr int kJoinLimitNs = 1000000000;
constexpr uint64_t kSecondUs = 1000000;

struct ingress_thread {
    pthread_t thread{};
    bool started = false;
    std::atomic<bool> thread_halt{false};
    // The crossing points with the other threads: requests the thread
    // hands to its channels before their next datagram, and the fault flag
    // it publishes after each. They outlive the thread's channels.
    std::atomic<bool> reset_monitor[DEC_CHANNELS] = {};
    std::atomic<bool> trigger_program[DEC_CHANNELS] = {};
    std::atomic<bool> in_fault[DEC_CHANNELS] = {true, true};
};

ingress_thread g_ingress;

// A bound receiving socket; -1 (logged) on failure.
int open_socket(unsigned ch, const std::string &path)
{
    const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        decode_post_log(DEC_LOG_ERROR, "Chn %u error, failed to create UNIX Rx socket", ch);
        return -1;
    }
    int size = kRcvBuf;
    if (setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof size) != 0) {
        decode_post_log(DEC_LOG_ERROR, "Chn %u error, UNIX Rx socket failed to set buffer size: %s", ch,
                        std::strerror(errno));
        close(fd);
        return -1;
    }
    int got = 0;
    socklen_t len = sizeof got;
    if (getsockopt(fd, SOL_SOCKET, SO_RCVBUF, &got, &len) != 0 || got < kRcvBuf) {
        decode_post_log(DEC_LOG_ERROR, "Chn %u error, UNIX Rx socket SO_RCVBUF expected %d, found %d", ch, kRcvBuf,
                        got);
        close(fd);
        return -1;
    }
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    unlink(path.c_str());
    if (path.size() >= sizeof addr.sun_path ||
        (std::memcpy(addr.sun_path, path.c_str(), path.size() + 1),
         bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0)) {
        decode_post_log(DEC_LOG_ERROR, "Chn %u error, UNIX Rx socket failed to bind to \"%s\" named FIFO", ch,
                        kSocketName[ch]);
        close(fd);
        return -1;
    }
    return fd;
}

void run()
{
    decoder &d = dec();
    if (!d.kt3300) {
        decode_post_log(DEC_LOG_ERROR, "Data plane thread error: no KT-3300 decode system object (kt3300_d)");
        return;
    }
    std::unique_ptr<ingress_channel> chan[DEC_CHANNELS];
    for (unsigned ch = 0; ch < DEC_CHANNELS; ++ch)
        chan[ch] = std::make_unique<ingress_channel>(ch, d.kt3300);

    std::string path[DEC_CHANNELS];
    int fd[DEC_CHANNELS] = {-1, -1};
    bool ok = true;
    for (unsigned ch = 0; ch < DEC_CHANNELS && ok; ++ch) {
        path[ch] = kd::rooted(kSocketName[ch]);
        fd[ch] = open_socket(ch, path[ch]);
        ok = fd[ch] >= 0;
    }
    auto publish = [&](unsigned ch) { g_ingress.in_fault[ch].store(chan[ch]->in_fault(), std::memory_order_relaxed); };

    kd_timer *timer = ok ? kd_timer_ctor() : nullptr;
    uint64_t elapsed_us = 0;
    alignas(4) uint8_t buf[DEC_MAX_DATAGRAM];
    while (ok && timer && !g_ingress.thread_halt.load(std::memory_order_acquire)) {
        elapsed_us += kd_timer_restart_ns(timer) / 1000;
        if (elapsed_us >= kSecondUs) {
            for (unsigned ch = 0; ch < DEC_CHANNELS; ++ch) {
                chan[ch]->second();
                publish(ch);
            }
            elapsed_us = 0;
        }
        fd_set set;
        FD_ZERO(&set);
        FD_SET(fd[0], &set);
        FD_SET(fd[1], &set);
        timeval tv{0, 100000};
        const int n = select(std::max(fd[0], fd[1]) + 1, &set, nullptr, nullptr, &tv);
        if (n < 0) {
            if (errno != EINTR)
                decode_post_log(DEC_LOG_WARN, "Data plane thread error: select() returned: %s", std::strerror(errno));
            continue;
        }
        if (n == 0 || g_ingress.thread_halt.load(std::memory_order_acquire))
            continue;
        for (unsigned ch = 0; ch < DEC_CHANNELS; ++ch) {
            if (!FD_ISSET(fd[ch], &set))
                continue;
            const ssize_t got = recv(fd[ch], buf, sizeof buf, MSG_DONTWAIT);
            if (got <= 0)
                continue;
            if (g_ingress.reset_monitor[ch].exchange(false, std::memory_order_relaxed))
                chan[ch]->request_reset_monitor();
            if (g_ingress.trigger_program[ch].exchange(false, std::memory_order_relaxed))
                chan[ch]->request_trigger_program();
            chan[ch]->datagram(buf, size_t(got));
            publish(ch);
        }
    }
    kd_timer_dtor(timer);
    for (unsigned ch = 0; ch < DEC_CHANNELS; ++ch) {
        g_ingress.in_fault[ch].store(true, std::memory_order_relaxed);
        if (fd[ch] >= 0) {
            close(fd[ch]);
            unlink(path[ch].c_str());
        }
    }
}

void *thread_main(void *)
{
    rt_thread_setup("SVD:ingress", kPriority);
    decode_post_log(DEC_LOG_DEBUG, "decode ingress thread - started");
    run();
    decode_post_log(DEC_LOG_DEBUG, "decode ingress thread - ended");
    return nullptr;
}

} // namespace

int decode_ingress_ctor()
{
    if (g_ingress.started)
        return 0;
    g_ingress.thread_halt = false;
    for (unsigned ch = 0; ch < DEC_CHANNELS; ++ch) {
        g_ingress.reset_monitor[ch] = false;
        g_ingress.trigger_program[ch] = false;
        g_ingress.in_fault[ch] = true;
    }
    pthread_attr_t attr;
    if (pthread_attr_init(&attr) != 0)
        return -1;
    // Explicit real-time scheduling where the process may; rt_thread_setup
    // applies it (or only the name under KD_NO_RT) on the thread itself.
    int rc = pthread_create(&g_ingress.thread, &attr, thread_main, nullptr);
    pthread_attr_destroy(&attr);
    if (rc != 0)
        return -1;
    g_ingress.started = true;
    return 0;
}

int decode_ingress_dtor()
{
    if (!g_ingress.started)
        return 0;
    g_ingress.thread_halt.store(true, std::memory_order_release);
    if (rt_thread_join(&g_ingress.thread, kJoinLimitNs) != 0)
        return -1; // still running: the caller keeps everything it uses
    g_ingress.started = false;
    return 0;
}

bool decode_ingress_running() { return g_ingress.started; }

void decode_ingress_reset_monitor(unsigned ch)
{
    if (ch >= DEC_CHANNELS)
        return;
    g_ingress.reset_monitor[ch].store(true, std::memory_order_relaxed);
}

uint32_t decode_ingress_is_in_fault(unsigned ch)
{
    if (ch >= DEC_CHANNELS)
        return 1;
    return g_ingress.in_fault[ch].load(std::memory_order_relaxed);
}

void decode_ingress_trigger_program(unsigned ch)
{
    if (ch >= DEC_CHANNELS)
        return;
    decode_post_log(DEC_LOG_DEBUG, "Chn %u triggering program on decode ingress", ch);
    g_ingress.trigger_program[ch].store(true, std::memory_order_relaxed);
}

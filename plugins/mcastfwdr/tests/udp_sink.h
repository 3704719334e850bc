// An output's receiver for scenario tests: a UDP socket in the chassis
// namespace, joined on peer0 (10.77.0.2, which the test gives it), feeding
// the rig's sink checker from its own thread.
#pragma once

#include "rig/sink_check.h"
#include "scenario.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <thread>
#include <vector>

namespace mcftest {

// A UDP socket opened in the chassis namespace and a thread that serves it
// until stop(). A derived class sets the socket up, then calls start(); its
// destructor calls stop() itself, before its own members go.
class chassis_udp_thread {
public:
    chassis_udp_thread(const chassis_udp_thread &) = delete;
    chassis_udp_thread &operator=(const chassis_udp_thread &) = delete;
    void stop()
    {
        stop_ = true;
        if (thread_.joinable())
            thread_.join();
    }

protected:
    explicit chassis_udp_thread(const scenario &card)
    {
        xsbsim::net_rig::enter in(card.rig().chassis());
        fd_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    }
    virtual ~chassis_udp_thread()
    {
        stop();
        ::close(fd_);
    }
    void start() { thread_ = std::thread([this] { run(); }); }
    virtual void run() = 0;

    int fd_ = -1;
    std::atomic<bool> stop_{false};

private:
    std::thread thread_;
};

// A receiver in the chassis namespace on peer0, feeding a sink check.
class sink : public chassis_udp_thread {
public:
    sink(const scenario &card, const char *group, int port, bool rtp = false) : chassis_udp_thread(card), rtp_(rtp)
    {
        const int on = 1;
        setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        // Room for seconds of the stream: a receiver thread that a loaded
        // machine leaves waiting must not lose what the card sent.
        const int size = 16 << 20;
        setsockopt(fd_, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof size);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(uint16_t(port));
        inet_pton(AF_INET, group, &a.sin_addr);
        bind(fd_, reinterpret_cast<sockaddr *>(&a), sizeof a);
        ip_mreq m{};
        inet_pton(AF_INET, group, &m.imr_multiaddr);
        inet_pton(AF_INET, "10.77.0.2", &m.imr_interface);
        joined_ = setsockopt(fd_, IPPROTO_IP, IP_ADD_MEMBERSHIP, &m, sizeof m) == 0;
        start();
    }
    ~sink() override { stop(); }
    bool joined() const { return joined_; }
    template <class F> bool with(F f)
    {
        std::lock_guard lk(mutex_);
        return f(check_);
    }
    // What was received, once stopped.
    mcfrig::sink_check &result() { return check_; }

private:
    void run() override
    {
        std::vector<uint8_t> buf(2048);
        while (!stop_) {
            pollfd p{fd_, POLLIN, 0};
            if (poll(&p, 1, 50) <= 0)
                continue;
            const ssize_t n = recv(fd_, buf.data(), buf.size(), 0);
            if (n > 0) {
                std::lock_guard lk(mutex_);
                check_.datagram(buf.data(), size_t(n), rtp_);
                sizes_ok_ = sizes_ok_ && n == 7 * 188 + (rtp_ ? 12 : 0);
            }
        }
    }
    bool rtp_;
    bool joined_ = false;
    std::mutex mutex_;
    mcfrig::sink_check check_;

public:
    bool sizes_ok_ = true; // read after stop()
};

} // namespace mcftest

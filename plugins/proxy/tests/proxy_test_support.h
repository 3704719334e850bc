// Helpers for the proxy tests: the loop run until a condition holds, and a
// peer card played by the test over a plain socket with the wire codec.
#pragma once

#include "wire.h"

#include <kerrow/frame.h>
#include <kerrow/param.h>

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <deque>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace proxytest {

// Runs the framework's loop until `cond` holds (checked every few
// milliseconds on the loop) or `limit` seconds pass; answers cond().
inline bool run_until(std::function<bool()> cond, double limit = 60.0)
{
    // cond is evaluated until it first holds and never again (it may take
    // something out of a queue).
    static std::function<bool()> *g_cond;
    static bool g_met;
    g_cond = &cond;
    g_met = cond();
    if (!g_met) {
        kd_frame_timeout_register("test-poll", [](void *) {
            if (!g_met && (*g_cond)()) {
                g_met = true;
                kd_shutdown();
            }
        }, nullptr, 0.002, 1, nullptr);
        kd_frame_timeout_register("test-limit", [](void *) { kd_shutdown(); }, nullptr, limit, 0, nullptr);
        kd_frame_run();
        kd_frame_stop_watcher("test-poll", nullptr);
        kd_frame_stop_watcher("test-limit", nullptr);
    }
    g_cond = nullptr;
    return g_met;
}

inline param_type type_at(const std::string &route) { return kd_param_get_type(kd_param_get_by_route(route.c_str())); }

inline std::string value_at(const std::string &route)
{
    char *v = kd_param_get_value_text(kd_param_get_by_route(route.c_str()));
    std::string out = v ? v : "(none)";
    std::free(v);
    return out;
}

inline sockaddr_in ipv4(const std::string &ip, uint16_t port)
{
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    inet_pton(AF_INET, ip.c_str(), &a.sin_addr);
    return a;
}

// A listening socket on ip:port (0: any free port).
inline int listen_on(const std::string &ip, uint16_t port, uint16_t *bound = nullptr)
{
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in a = ipv4(ip, port);
    if (bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) < 0 || listen(fd, 8) < 0) {
        ::close(fd);
        return -1;
    }
    socklen_t len = sizeof a;
    getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len);
    if (bound)
        *bound = ntohs(a.sin_port);
    return fd;
}

inline uint16_t local_port(int fd)
{
    sockaddr_in a{};
    socklen_t len = sizeof a;
    getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len);
    return ntohs(a.sin_port);
}

// The other end of a link, driven by the test on the loop thread: writes
// block (they are small), reads never do.
class peer {
public:
    peer() = default;
    explicit peer(int fd) : fd_(fd) {}
    ~peer() { close(); }
    peer(const peer &) = delete;
    peer &operator=(const peer &) = delete;
    peer(peer &&o) noexcept { *this = std::move(o); }
    peer &operator=(peer &&o) noexcept
    {
        std::swap(fd_, o.fd_);
        std::swap(got_, o.got_);
        std::swap(eof_, o.eof_);
        std::swap(rx_, o.rx_);
        return *this;
    }

    // A connection to ip:port from source address `from` (empty: any).
    static peer connect_to(const std::string &ip, uint16_t port, const std::string &from = "")
    {
        const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (!from.empty()) {
            sockaddr_in src = ipv4(from, 0);
            bind(fd, reinterpret_cast<sockaddr *>(&src), sizeof src);
        }
        sockaddr_in a = ipv4(ip, port);
        if (::connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) < 0) {
            ::close(fd);
            return peer();
        }
        return peer(fd);
    }
    // The next connection waiting on a listening socket (the loop must have
    // run far enough for the connect to have been made).
    static peer accept_from(int listen_fd)
    {
        pollfd p{listen_fd, POLLIN, 0};
        if (poll(&p, 1, 10000) != 1)
            return peer();
        return peer(accept4(listen_fd, nullptr, nullptr, SOCK_CLOEXEC));
    }

    bool ok() const { return fd_ >= 0; }
    int fd() const { return fd_; }
    void close()
    {
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = -1;
    }

    void send_raw(const std::vector<uint8_t> &bytes)
    {
        size_t at = 0;
        while (at < bytes.size()) {
            const ssize_t n = ::send(fd_, bytes.data() + at, bytes.size() - at, MSG_NOSIGNAL);
            if (n <= 0)
                return;
            at += size_t(n);
        }
    }
    void send(const proxy::proxy_msg &m) { send_raw(proxy::proxy_msg_bytes(m)); }
    void send(const proxy::proxy_param &rec) { send(proxy::proxy_msg_param(rec)); }

    // Reads what is there; true once the other side closed.
    bool pump()
    {
        while (fd_ >= 0 && !eof_) {
            auto room = rx_.space();
            const ssize_t n = ::recv(fd_, room.data(), room.size(), MSG_DONTWAIT);
            if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
                eof_ = true;
                break;
            }
            if (n < 0)
                break;
            rx_.commit(size_t(n));
            proxy::framer::message m{};
            std::string why;
            while (rx_.next(m, why) == proxy::framer::result::message) {
                proxy::proxy_msg msg;
                msg.hdr = {m.type, uint32_t(m.payload.size())};
                msg.payload.assign(m.payload.begin(), m.payload.end());
                got_.push_back(std::move(msg));
            }
            rx_.compact();
        }
        return eof_;
    }
    bool closed() { return pump(); }
    // Messages received so far (taken out of the queue).
    std::deque<proxy::proxy_msg> &got()
    {
        pump();
        return got_;
    }
    // Waits (running the loop) for the next message of `type`, dropping
    // others before it.
    std::optional<proxy::proxy_msg> next(uint32_t type)
    {
        std::optional<proxy::proxy_msg> out;
        run_until([&] {
            auto &q = got();
            while (!q.empty()) {
                proxy::proxy_msg m = std::move(q.front());
                q.pop_front();
                if (m.hdr.type == type) {
                    out = std::move(m);
                    return true;
                }
            }
            return eof_;
        });
        return out;
    }
    // The next message of any type.
    std::optional<proxy::proxy_msg> next_any()
    {
        std::optional<proxy::proxy_msg> out;
        run_until([&] {
            auto &q = got();
            if (q.empty())
                return eof_;
            out = std::move(q.front());
            q.pop_front();
            return true;
        });
        return out;
    }

private:
    int fd_ = -1;
    std::deque<proxy::proxy_msg> got_;
    bool eof_ = false;
    proxy::framer rx_;
};

inline proxy::proxy_param record(param_type type, const std::string &scope, const std::string &label,
                                 const std::string &value = "", param_control rw = PARAMCTRL_RDWR,
                                 const std::string &options = "", int min = 0, int max = 0, int step = 0)
{
    return {uint32_t(type), uint32_t(rw), min, max, step, label, scope, value, options};
}

// Recording stand-ins for the programs the proxy runs ("rsync", "reboot",
// "date") in a directory that KD_CMD_DIR names while alive. Each call
// appends "NAME ARGS..." to calls.log. rsync also notes its environment
// in env.log and copies its source to "copied"; it waits while rsync.hold
// exists and exits with the status in rsync.status when there is one.
class standins {
public:
    explicit standins(std::string dir) : dir_(std::move(dir))
    {
        std::filesystem::create_directories(dir_);
        for (const char *name : {"rsync", "reboot", "date"}) {
            std::string body = "echo \"" + std::string(name) + " $*\" >> $D/calls.log\n";
            if (std::string(name) == "rsync")
                body = "while [ -f $D/rsync.hold ]; do sleep 0.02; done\n" + body +
                       "echo \"LD_LIBRARY_PATH=$LD_LIBRARY_PATH PATH=${PATH:+set}\" >> $D/env.log\n"
                       "cp \"$2\" $D/copied 2>/dev/null\n"
                       "[ -f $D/rsync.status ] && exit $(cat $D/rsync.status)\n";
            write(name, body + "exit 0\n");
        }
        // The framework switches services (snmpd) at start: not recorded.
        write("systemctl", "exit 0\n");
        const char *old = std::getenv("KD_CMD_DIR");
        had_old_ = old != nullptr;
        if (old)
            old_ = old;
        setenv("KD_CMD_DIR", dir_.c_str(), 1);
    }
    ~standins()
    {
        if (had_old_)
            setenv("KD_CMD_DIR", old_.c_str(), 1);
        else
            unsetenv("KD_CMD_DIR");
    }
    standins(const standins &) = delete;
    standins &operator=(const standins &) = delete;

    const std::string &dir() const { return dir_; }
    // A stand-in NAME running the shell text `body` ($D is the directory).
    void write(const std::string &name, const std::string &body) const
    {
        const std::string path = dir_ + "/" + name;
        std::ofstream(path) << "#!/bin/sh\nD=" << dir_ << "\n" << body;
        std::filesystem::permissions(path, std::filesystem::perms::owner_all);
    }
    void remove(const std::string &name) const { std::filesystem::remove(dir_ + "/" + name); }
    std::vector<std::string> lines(const std::string &file = "calls.log") const
    {
        std::vector<std::string> out;
        std::ifstream in(dir_ + "/" + file);
        for (std::string line; std::getline(in, line);)
            out.push_back(line);
        return out;
    }
    size_t count(const std::string &prefix) const
    {
        size_t n = 0;
        for (const auto &l : lines())
            n += l.rfind(prefix, 0) == 0;
        return n;
    }
    std::string copied() const
    {
        std::ifstream in(dir_ + "/copied");
        return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    }
    void rsync_status(int status) const { std::ofstream(dir_ + "/rsync.status") << status; }
    void hold_rsync(bool on) const
    {
        if (on)
            std::ofstream(dir_ + "/rsync.hold") << "";
        else
            std::filesystem::remove(dir_ + "/rsync.hold");
    }

private:
    std::string dir_, old_;
    bool had_old_ = false;
};

// Events a peer may not have emitted on a card: names nobody registered
// for relay (whose listeners take the data for a pointer-bearing record or
// a text), and a relayed name ("relay_name", 4 bytes) with other sizes.
struct refused_event {
    std::string name;
    std::vector<uint8_t> data;
    std::string log; // what the card logs for it
};
inline std::vector<refused_event> refused_events(const std::string &relay_name)
{
    const std::vector<uint8_t> text(64, 'A'); // no terminator
    const std::string unknown = "not relayed by this card";
    std::vector<refused_event> out;
    for (const char *name : {"on_param_update", "proxy_on_profile_check_type", "input_output_sync",
                             "request_publish_dir", "customer_certificate_filename", "settings profile verify",
                             "register_proxy_cuvent"})
        out.push_back({name, text, "'" + std::string(name) + "' from remote: " + unknown});
    out.push_back({"on_param_update", {}, "'on_param_update' from remote: " + unknown});
    out.push_back({std::string("bad\x01name"), {}, "'bad?name' from remote: " + unknown});
    out.push_back({relay_name, {1, 2, 3}, "'" + relay_name + "' from remote: 3 bytes of data, 4 expected"});
    out.push_back({relay_name, {1, 2, 3, 4, 5}, "'" + relay_name + "' from remote: 5 bytes of data, 4 expected"});
    out.push_back({relay_name, {}, "'" + relay_name + "' from remote: 0 bytes of data, 4 expected"});
    return out;
}

inline uint32_t u32_of(const std::optional<proxy::proxy_msg> &m)
{
    return m && m->payload.size() >= 4 ? proxy::read_u32(m->payload, 0) : 0xFFFFFFFFu;
}

} // namespace proxytest

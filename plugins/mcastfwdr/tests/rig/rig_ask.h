// Client of the rig's control plug-in: one "route value" line out, its
// reply back. Each ask answers on a reply socket of its own, so a reply can
// only be the one to its own line (a late reply to an earlier ask goes to
// that ask's socket, which is gone). The line is sent once: sending is
// retried only while the plug-in's socket is not bound yet, when nothing
// was delivered. The deadlines are generous and only end a hung test;
// "no answer" when none came.
#pragma once

#include <atomic>
#include <chrono>
#include <cerrno>
#include <cstring>
#include <string>
#include <thread>

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace rig {

inline std::string ask(const std::string &server_path, const std::string &line)
{
    using clock = std::chrono::steady_clock;
    static std::atomic<unsigned> asks{0};
    // A path, not an abstract address: the card may live in another network
    // namespace, where abstract addresses of this one are not seen.
    const std::string me = server_path + ".c" + std::to_string(getpid()) + "." + std::to_string(asks++);
    sockaddr_un self{}, server{};
    self.sun_family = server.sun_family = AF_UNIX;
    if (me.size() >= sizeof self.sun_path || server_path.size() >= sizeof server.sun_path)
        return "socket path too long";
    std::memcpy(self.sun_path, me.c_str(), me.size() + 1);
    std::memcpy(server.sun_path, server_path.c_str(), server_path.size() + 1);
    const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    unlink(me.c_str());
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr *>(&self), sizeof self) != 0) {
        if (fd >= 0)
            close(fd);
        return "no client socket";
    }
    std::string reply = "no answer";
    const auto send_deadline = clock::now() + std::chrono::seconds(60);
    bool sent = false;
    while (!sent && clock::now() < send_deadline) {
        sent = sendto(fd, line.data(), line.size(), MSG_DONTWAIT, reinterpret_cast<sockaddr *>(&server),
                      sizeof server) == static_cast<ssize_t>(line.size());
        // Not bound yet (ENOENT, ECONNREFUSED) or its queue full (EAGAIN):
        // nothing was delivered, so sending again is no duplicate.
        if (!sent)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    if (sent) {
        const auto deadline = clock::now() + std::chrono::seconds(60);
        for (auto now = clock::now(); now < deadline; now = clock::now()) {
            pollfd p{fd, POLLIN, 0};
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now).count();
            const int ready = poll(&p, 1, static_cast<int>(left) + 1);
            if (ready < 0 && errno == EINTR)
                continue;
            if (ready <= 0)
                break;
            char buf[512];
            const ssize_t n = recv(fd, buf, sizeof buf, 0);
            if (n >= 0)
                reply.assign(buf, static_cast<size_t>(n));
            break;
        }
    } else {
        reply = "not sent";
    }
    close(fd);
    unlink(me.c_str());
    return reply;
}

} // namespace rig

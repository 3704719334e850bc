// Client of the rig's control plug-in: one "route value" line out, the
// reply back. Sends again until the plug-in's socket is bound (generous
// deadline); "no answer" when none came.
#pragma once

#include <chrono>
#include <cstring>
#include <string>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace rig {

inline std::string ask(const std::string &server_path, const std::string &line)
{
    const std::string me = server_path + ".client";
    sockaddr_un self{}, server{};
    self.sun_family = server.sun_family = AF_UNIX;
    std::strncpy(self.sun_path, me.c_str(), sizeof self.sun_path - 1);
    std::strncpy(server.sun_path, server_path.c_str(), sizeof server.sun_path - 1);
    const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    unlink(me.c_str());
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr *>(&self), sizeof self) != 0) {
        if (fd >= 0)
            close(fd);
        return "no client socket";
    }
    timeval tv{0, 200000};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    std::string reply = "no answer";
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (std::chrono::steady_clock::now() < deadline) {
        if (sendto(fd, line.data(), line.size(), 0, reinterpret_cast<sockaddr *>(&server), sizeof server) < 0) {
            usleep(20000); // not bound yet
            continue;
        }
        char buf[512];
        const ssize_t n = recv(fd, buf, sizeof buf, 0);
        if (n >= 0) {
            reply.assign(buf, static_cast<size_t>(n));
            break;
        }
    }
    close(fd);
    unlink(me.c_str());
    return reply;
}

} // namespace rig

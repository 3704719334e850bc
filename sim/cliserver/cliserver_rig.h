// Test rig: runs the stand-in CLI server on "/var/run/cli-server.sock"
// under the KD_ROOT of the calling test, and stops, restarts or replaces
// it. Requests the server received are read back from its record file.
#pragma once

#include "../carrier/rigproc.h"

#include <kerrow/path.h>

#include <chrono>
#include <csignal>
#include <cstring>
#include <fstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

namespace cliserver {

class rig {
public:
    // tree: the tree file; record: where the server appends requests.
    rig(std::string tree, std::string record) : tree_(std::move(tree)), record_(std::move(record)) {}
    ~rig() { stop(); }
    rig(const rig &) = delete;
    rig &operator=(const rig &) = delete;

    // Starts the server with extra options; waits until it accepts.
    void start(std::vector<std::string> opts = {})
    {
        stop();
        std::vector<std::string> args{CLISERVER_PATH, "--tree", tree_, "--record", record_};
        args.insert(args.end(), opts.begin(), opts.end());
        std::vector<char *> argv;
        for (auto &a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        const pid_t parent = ::getpid();
        pid_ = ::fork();
        if (pid_ == 0) {
            rigproc::die_with_parent(parent);
            ::execv(argv[0], argv.data());
            ::_exit(127);
        }
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while (!accepts() && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        if (!accepts())
            throw std::runtime_error("the stand-in CLI server did not start");
    }

    void stop()
    {
        if (pid_ > 0) {
            ::kill(pid_, SIGTERM);
            ::waitpid(pid_, nullptr, 0);
        }
        pid_ = -1;
        ::unlink(kd::rooted("/var/run/cli-server.sock").c_str());
    }

    std::vector<std::string> requests() const
    {
        std::vector<std::string> out;
        std::ifstream in(record_);
        for (std::string line; std::getline(in, line);)
            out.push_back(line);
        return out;
    }
    void forget_requests() const { std::ofstream(record_, std::ios::trunc); }

private:
    static bool accepts()
    {
        const std::string path = kd::rooted("/var/run/cli-server.sock");
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::strncpy(addr.sun_path, path.c_str(), sizeof(addr.sun_path) - 1);
        const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const bool ok = fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof(addr)) == 0;
        if (fd >= 0)
            ::close(fd);
        return ok;
    }

    std::string tree_, record_;
    pid_t pid_ = -1;
};

} // namespace cliserver

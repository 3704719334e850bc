// A private system bus for tests: a dbus-daemon with its own config and
// socket under a temporary directory, the stand-in host-name and time-date
// services on it, and DBUS_SYSTEM_BUS_ADDRESS pointing there while alive.
// The daemon can be killed and started again at the same address.
#pragma once

#include "../carrier/rigproc.h"

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

namespace sysbus {

class rig {
public:
    // dir: an existing, short temporary directory; args: extra stand-in options.
    explicit rig(std::string dir, std::vector<std::string> args = {})
        : dir_(std::move(dir)), args_(std::move(args))
    {
        std::ofstream(dir_ + "/bus.conf")
            << "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\"\n"
               " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
               "<busconfig>\n  <listen>unix:path="
            << socket() << "</listen>\n  <auth>EXTERNAL</auth>\n"
               "  <policy context=\"default\">\n    <allow user=\"*\"/>\n    <allow own=\"*\"/>\n"
               "    <allow send_destination=\"*\" eavesdrop=\"true\"/>\n    <allow eavesdrop=\"true\"/>\n"
               "  </policy>\n</busconfig>\n";
        const char *old = std::getenv("DBUS_SYSTEM_BUS_ADDRESS");
        had_old_ = old != nullptr;
        if (old)
            old_ = old;
        setenv("DBUS_SYSTEM_BUS_ADDRESS", ("unix:path=" + socket()).c_str(), 1);
        start();
    }
    ~rig()
    {
        stop();
        if (had_old_)
            setenv("DBUS_SYSTEM_BUS_ADDRESS", old_.c_str(), 1);
        else
            unsetenv("DBUS_SYSTEM_BUS_ADDRESS");
    }
    rig(const rig &) = delete;
    rig &operator=(const rig &) = delete;

    std::string socket() const { return dir_ + "/bus.sock"; }
    std::string record_file() const { return dir_ + "/calls.log"; }

    // Lines the stand-in recorded, without "ready".
    std::vector<std::string> calls() const
    {
        std::vector<std::string> out;
        std::ifstream in(record_file());
        for (std::string line; std::getline(in, line);)
            if (line != "ready")
                out.push_back(line);
        return out;
    }

    // Kills the daemon (and with it the stand-in's connection).
    void stop()
    {
        end(sim_);
        end(daemon_);
        ::unlink(socket().c_str());
    }
    // Starts the daemon and the stand-in; waits until both are ready.
    void start()
    {
        ::unlink(socket().c_str());
        daemon_ = spawn({"dbus-daemon", "--config-file=" + dir_ + "/bus.conf", "--nofork", "--nopidfile"});
        // The socket file appears at bind(), before the daemon listens:
        // ready once a connection is accepted.
        if (!wait_for([&] { return accepts(socket()); }))
            throw std::runtime_error("dbus-daemon did not start");
        ::unlink(record_file().c_str());
        std::vector<std::string> argv{SYSBUS_SIM_PATH, "--record", record_file()};
        argv.insert(argv.end(), args_.begin(), args_.end());
        sim_ = spawn(argv);
        if (!wait_for([&] {
                std::ifstream in(record_file());
                std::string line;
                return std::getline(in, line) && line == "ready";
            }))
            throw std::runtime_error("the stand-in services did not start");
    }

    static bool accepts(const std::string &path)
    {
        int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un a{};
        a.sun_family = AF_UNIX;
        path.copy(a.sun_path, sizeof a.sun_path - 1);
        bool ok = fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0;
        if (fd >= 0)
            ::close(fd);
        return ok;
    }

    // Polls until ready or a generous deadline (a loaded machine is slow to
    // start processes).
    template <typename F> static bool wait_for(F ready, int ms = 30000)
    {
        for (int i = 0; i < ms / 10; ++i) {
            if (ready())
                return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return ready();
    }

private:
    static pid_t spawn(const std::vector<std::string> &args)
    {
        std::vector<char *> argv;
        for (const auto &a : args)
            argv.push_back(const_cast<char *>(a.c_str()));
        argv.push_back(nullptr);
        const pid_t parent = getpid();
        const pid_t pid = fork();
        if (pid == 0) {
            rigproc::die_with_parent(parent);
            // The daemon's notices (fd limits as non-root and the like) are noise here.
            const int null = ::open("/dev/null", O_WRONLY);
            if (null >= 0) {
                dup2(null, 1);
                dup2(null, 2);
            }
            execvp(argv[0], argv.data());
            _exit(127);
        }
        return pid;
    }
    static void end(pid_t &pid)
    {
        if (pid > 0) {
            ::kill(pid, SIGTERM);
            ::waitpid(pid, nullptr, 0);
        }
        pid = -1;
    }

    std::string dir_;
    std::vector<std::string> args_;
    std::string old_;
    bool had_old_ = false;
    pid_t daemon_ = -1, sim_ = -1;
};

} // namespace sysbus

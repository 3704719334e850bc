// The card of the rig: the host program in the card namespace with its own
// KD_ROOT (card marker, store directory, command stand-ins dir), HW_SLOT=3
// (the master, so the forwarder is active), the forwarder and the rig's
// control plug-in; a simulated carrier holds eth2 from the carrier
// namespace. An optional store text is written to the store file, and an
// optional function label for the carrier, before the host starts. stop()
// (or destruction) ends both with SIGTERM.
#pragma once

#include "rig_net.h"

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <sys/wait.h>
#include <unistd.h>

namespace rig {

// A program started with its output (standard output and error) appended
// to `out`, dying with the test; its pid. Throws when it cannot start.
inline pid_t start_program(const std::vector<std::string> &args, const std::string &out)
{
    return rigproc::spawn(args, out);
}

// Ends a program started by start_program with SIGTERM (pid -1: none); its wait
// status, or -1. The pid is -1 afterwards.
inline int stop_program(pid_t &pid)
{
    if (pid <= 0)
        return -1;
    kill(pid, SIGTERM);
    int st = 0;
    waitpid(pid, &st, 0);
    pid = -1;
    return st;
}

class card {
public:
    // function_label: the card's function as its carrier reports it
    // ("decode": a decoder card), none when empty.
    card(const net &n, const std::string &store_json = {}, const std::string &function_label = {}) : net_(n)
    {
        const char *build = std::getenv("KD_BUILD_DIR");
        if (!build)
            throw std::runtime_error("KD_BUILD_DIR is not set");
        build_ = build;
        root_ = rigproc::make_temp_dir("kdrig");
        namespace fs = std::filesystem;
        for (const char *d : {"opt/pkg/var", "var/local/solvera", "var/run", "run", "tmp", "cmd",
                              "opt/pkg/usr/kerrow/solvera/demo-1.0"})
            fs::create_directories(root_ + "/" + d);
        // The card marker; relative, so it resolves inside the root.
        fs::create_directory_symlink("../usr/kerrow/solvera/demo-1.0", root_ + "/opt/pkg/var/oem");
        if (!store_json.empty())
            std::ofstream(store_file()) << store_json;
        if (!function_label.empty()) {
            fs::create_directories(root_ + "/usr/local/share/KT-3300");
            std::ofstream(root_ + "/usr/local/share/KT-3300/extended.info") << "FUNCTION_0_LABEL=" << function_label << "\n";
        }

        carrier_ = start_program({"ip", "netns", "exec", n.carrier(), build_ + "/bin/xsbcarrier", "-i", "car0", "-s",
                                  "3", "-f", root_ + "/flash.img", "--no-ping"},
                                 root_ + "/carrier.log");
        std::vector<std::string> args = {"ip", "netns", "exec", n.card(), "env", "KD_ROOT=" + root_, "HW_SLOT=3",
                                         "KD_LOG_NO_JOURNAL=1", "KD_LOG_STDERR=1", "KD_NO_RT=1",
                                         "KD_XSB_IFP_WAIT_MS=20", "KD_CMD_DIR=" + root_ + "/cmd",
                                         "SV_PLUGINS_PATH=" + build_ + "/plugins", "KD_RIG_SOCKET=" + socket()};
        if (const char *log = std::getenv("KD_CMD_LOG"))
            args.push_back(std::string("KD_CMD_LOG=") + log);
        args.insert(args.end(), {build_ + "/bin/kerrow-host", "mcastfwdr", "rigctl"});
        host_ = start_program(args, log_file());
    }
    ~card()
    {
        stop();
        std::filesystem::remove_all(root_);
    }
    card(const card &) = delete;
    card &operator=(const card &) = delete;

    // Ends the host program (then the carrier); answers the host's exit
    // status (0: it shut down through its loop).
    int stop()
    {
        const int st = stop_program(host_);
        stop_program(carrier_);
        return st;
    }

    const std::string &root() const { return root_; }
    std::string socket() const { return root_ + "/rig.sock"; }
    std::string store_file() const { return root_ + "/var/local/solvera/store.json"; }
    std::string log_file() const { return root_ + "/host.log"; }

    std::string log() const
    {
        std::ifstream in(log_file());
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }

    // Waits until the host's log holds `text` (generous deadline).
    bool wait_for_log(const std::string &text, std::chrono::seconds limit = std::chrono::seconds(60)) const
    {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (std::chrono::steady_clock::now() < deadline) {
            if (log().find(text) != std::string::npos)
                return true;
            if (host_ > 0 && waitpid(host_, nullptr, WNOHANG) != 0)
                return log().find(text) != std::string::npos;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return false;
    }

    // Waits until the forwarder runs active with both data ports
    // addressed. The framework reports the addresses (set before the start)
    // after "Started Active", and each report makes the port's inputs and
    // outputs anew: a stream sent earlier would meet inputs made twice.
    bool wait_ready() const
    {
        return wait_for_log("[mcastfwdr] Started Active") &&
               wait_for_log(std::string("MCF: address change detected eth1 ") + card_in_addr) &&
               wait_for_log(std::string("MCF: address change detected eth0 ") + card_out_addr);
    }

private:
    const net &net_;
    std::string build_, root_;
    pid_t carrier_ = -1, host_ = -1;
};

} // namespace rig

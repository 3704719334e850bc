// The one way the framework runs an external program (reboot, systemctl,
// sed, arp, route, rsync, vrsn, touch): exec without a shell, wait, report
// the exit status.
//
// When the environment variable KD_CMD_DIR is set, the program is looked up
// by its base name in that directory instead, so tests run recording
// stand-ins and nothing ever reaches this machine's real commands.
#pragma once

#include <string>
#include <vector>

namespace kd {

// How a program run ended when run_command answers -1.
enum class command_end { exited, not_started, wait_failed, signalled };

struct command_opts {
    bool quiet = false; // standard input, output and error on /dev/null
    // Variables ("NAME=value") set for the program on top of the inherited
    // environment.
    std::vector<std::string> env = {};
    // When set, receives how the run ended.
    command_end *end = nullptr;
};

// argv[0] is the program: an absolute path, or a name looked up in PATH.
// Answers the exit status (0-255), or -1 when the program could not be
// started, was killed by a signal or argv is empty (logged).
int run_command(const std::vector<std::string> &argv, command_opts opts = {});

// The file that run_command would execute for argv0.
std::string command_path(const std::string &argv0);

} // namespace kd

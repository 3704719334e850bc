/* The command runner: the one way the framework and every plug-in start an
 * external program (reboot, systemctl, sed, ip, route, date, rsync, vrsn,
 * touch ...). The program is exec'd with an argument list, never through
 * a shell, and waited for.
 *
 * Nothing started off the card may change the machine it runs on. When
 * KD_ROOT names a private root (anything but "/") or the on-card marker
 * /opt/pkg/var/oem is missing under the root, a program runs only from
 * the directory KD_CMD_DIR names (looked up there by its base name, so
 * tests and the demo run recording stand-ins). Without KD_CMD_DIR the
 * runner refuses: it logs one line naming the program, counts the refusal
 * and answers failure. On the card (marker present, no private root) the
 * real program runs; KD_CMD_DIR, when set, still takes precedence.
 *
 * Every refusal, and every program started from outside KD_CMD_DIR, is
 * also appended as one line to a command log: the file KD_CMD_LOG names,
 * else "kd-commands.log" at the top of a private root (never a file under
 * the real root). The test command reads these logs afterwards.
 *
 * The same rule holds for the system bus: off the card only the bus that
 * DBUS_SYSTEM_BUS_ADDRESS names is opened, and none when it is unset.
 *
 * A small static library (kdcmd) linked into the framework and every
 * plug-in; not part of any shared-library interface. C++ only. */
#ifndef KERROW_COMMAND_H
#define KERROW_COMMAND_H

#ifdef __cplusplus
#include <optional>
#include <string>
#include <vector>

namespace kd {

/* How a program run ended when run_command answers -1. */
enum class command_end { exited, not_started, wait_failed, signalled, refused };

struct command_opts {
    bool quiet = false; /* standard input, output and error on /dev/null */
    /* Variables ("NAME=value") set for the program on top of the inherited
     * environment. */
    std::vector<std::string> env = {};
    /* When set, receives how the run ended. */
    command_end *end = nullptr;
};

/* argv[0] is the program: an absolute path, or a name looked up in PATH.
 * Answers the exit status (0-255), or -1 when the program was refused
 * (see above), could not be started, was killed by a signal or argv is
 * empty (logged). */
int run_command(const std::vector<std::string> &argv, command_opts opts = {});

/* The file that run_command would execute for argv0. */
std::string command_path(const std::string &argv0);

/* True when the on-card marker exists under the root. */
bool card_marker_present();

/* True when this process may not change the machine it runs on: KD_ROOT
 * names a private root or the on-card marker is missing. */
bool off_card();

/* The number of programs this copy of the runner refused (the framework
 * and each plug-in link their own). */
unsigned command_refusals();

/* The command log a refusal or a program started outside KD_CMD_DIR is
 * appended to; empty when there is none (on the card). */
std::string command_log_path();

/* Which system bus may be opened: nullopt for none (off the card without
 * DBUS_SYSTEM_BUS_ADDRESS), an empty text for the default system bus (on
 * the card), otherwise the address DBUS_SYSTEM_BUS_ADDRESS names. */
std::optional<std::string> system_bus_address();

} // namespace kd
#endif

#endif

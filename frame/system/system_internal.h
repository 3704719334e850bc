// System control internals shared by the system and cfg modules; nothing
// here crosses the library boundary.
#pragma once

#include <kerrow/types.h>

#include <string>
#include <string_view>
#include <vector>

namespace kd::sys {

// Runs a program through the command runner with its standard streams on
// /dev/null. 0 when it exited with 0. -1 otherwise, with kd_errno
// KD_ERR_SPAWN when it could not run (or was killed) and
// KD_ERR_SPAWN_STATUS with *status set when it exited non-zero.
int spawn_helper(const std::vector<std::string> &argv, int *status, const std::vector<std::string> &env = {});

// Runs "reboot" (quiet) through the command runner. 0 when it was asked to
// reboot; -1, logged, when it was refused, could not run or failed: the
// caller then reports failure instead of going on as if going down.
int reboot_machine();

// Dotted IPv4 text, checked with inet_pton.
bool ipv4_valid(std::string_view text);
// The prefix length of a dotted mask; -1 when the text is not an IPv4
// address or its set bits are not contiguous (255.255.0.255).
int count_mask_bits(std::string_view mask);
// An interface name that can go into a path and an argument vector.
bool device_name_valid(std::string_view name);

// State shared with the "frame" device settings.
bool bus_running();
const char *tzname();
void set_tzname(const char *zone);
bool ntp_synchronized();

} // namespace kd::sys

// Provided by the "frame" device settings (frame/cfg).
extern "C" {
param_context *frame_get_tz_param(void);
int cfg_ethernet_address_is_valid(const char *ifname);
const char *cfg_ethernet_get_address(const char *ifname);
}

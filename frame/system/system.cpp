// System control service (minimal: no netlink or system-bus watchers yet).
#include "../frame_internal.h"

extern "C" int kd_system_init(void) { return 0; }
extern "C" void kd_system_fini(void) {}
extern "C" int kd_system_request_timezone(void) { return -1; }
extern "C" void kd_system_request_ntp_synchronized(void) {}
extern "C" void kd_system_restart_networkd(void) {}

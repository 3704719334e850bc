// Alarm service (minimal).
#include "../frame_internal.h"

extern "C" void kd_alarm_init(void) {}
extern "C" void kd_alarm_fini(void) {}

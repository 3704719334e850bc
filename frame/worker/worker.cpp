// Worker pool service (minimal).
#include "../frame_internal.h"

extern "C" int kd_worker_init(struct ev_loop *) { return 0; }
extern "C" void kd_worker_fini(void) {}

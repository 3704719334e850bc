// Remote sockets service (minimal).
#include "../frame_internal.h"

extern "C" int remote_init(struct ev_loop *) { return 0; }
extern "C" void remote_fini(void) {}

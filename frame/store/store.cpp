// JSON store service (minimal: nothing is persisted yet).
#include "../frame_internal.h"

extern "C" void kd_store_init(void) {}
extern "C" void kd_store_fini(void) {}
extern "C" int kd_store_load_params(plugin_load_info *, param_context *) { return 0; }

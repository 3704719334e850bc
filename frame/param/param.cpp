// Parameter tree service (minimal: the tree itself is not built yet).
#include "../frame_internal.h"

#include <kerrow/param.h>

extern "C" void kd_param_init(void) {}
extern "C" void kd_param_fini(void) {}
extern "C" param_context *kd_param_create_cfg(plugin_load_info *) { return nullptr; }
extern "C" param_context *kd_param_get_cfg(plugin_load_info *) { return nullptr; }

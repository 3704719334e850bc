// The "frame" parameter tree: device settings of the card itself.
#include "../frame_internal.h"

#include <kerrow/param.h>

#include <ctime>

namespace {
time_t g_proc_start_sec = 0;
}

extern "C" void frame_init_cfg(void)
{
    g_proc_start_sec = std::time(nullptr);
    param_context *root = kd_param_create_cfg(nullptr);
    kd_store_load_params(nullptr, root);
}

extern "C" void frame_fini_cfg(void) {}

extern "C" void setup_settings_profile(void) {}

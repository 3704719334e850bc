// The "frame" parameter tree: device settings of the card itself.
#include "../frame_internal.h"

#include <kerrow/param.h>

#include <ctime>

namespace {
time_t g_proc_start_sec = 0;

// The card's place in the chassis: fixed by its slot for the whole run.
const char *hierarchy_value(param_context *)
{
    return kd_carrier_frame_is_master() ? "Master" : "Slave";
}

const char **hierarchy_choices(param_context *)
{
    static const char *choices[] = {"Master", "Slave", nullptr};
    return choices;
}
} // namespace

extern "C" void frame_init_cfg(void)
{
    g_proc_start_sec = std::time(nullptr);
    param_context *root = kd_param_create_cfg(nullptr);
    kd_param_alloc_choice(root, "hierarchy", "Hierarchy", PARAMCTRL_RDONLY, nullptr,
                          hierarchy_value, hierarchy_choices, nullptr, nullptr);
    kd_store_load_params(nullptr, root);
}

extern "C" void frame_fini_cfg(void) {}

extern "C" void setup_settings_profile(void) {}

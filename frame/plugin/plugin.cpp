// Plug-in manager (minimal: no discovery yet, so every load is refused).
#include "../frame_internal.h"

#include <kerrow/log.h>
#include <kerrow/ref.h>

#include <cstdlib>

namespace {
const char *me() { return kd_frame_plugin_get_name(nullptr); }
bool g_ready = false;

char **empty_names()
{
    auto **names = static_cast<char **>(std::calloc(1, sizeof(char *)));
    kd_ref_init_ptr(names, nullptr);
    return names;
}

void load(const char *name) { KD_LOG(KD_LOG_ERR, "[%s] Plugin '%s' not found.\n", me(), name); }
void unload(const char *name) { KD_LOG(KD_LOG_ERR, "[%s] Plugin '%s' not found.\n", me(), name); }
void destroy() { g_ready = false; }
int max_name_length() { return 30; }

plugin_manager g_table{load, unload, destroy, max_name_length, empty_names, empty_names};
} // namespace

extern "C" plugin_manager *kd_plugin_init_manager(void)
{
    g_ready = true;
    return &g_table;
}

extern "C" plugin_load_info *kd_plugin_get_pli_by_name(const char *) { return nullptr; }

// The version plug-in's entry points; the engine does the work.
#include "version_internal.h"

#include <kerrow/frame.h>
#include <kerrow/log.h>
#include <kerrow/plugin.h>

#include <type_traits>

extern "C" KD_API void version_init(plugin_load_info *pli) noexcept;
extern "C" KD_API cuvent_action version_fini(void) noexcept;

static_assert(std::is_convertible_v<decltype(&version_init), kd_frame_plugin_init>);
static_assert(std::is_convertible_v<decltype(&version_fini), kd_frame_plugin_fini>);

extern "C" KD_API void version_init(plugin_load_info *pli) noexcept
{
    try {
        version::init(pli);
    } catch (...) {
        KD_LOG(KD_LOG_ERR, "[%s] Out of memory starting the version plug-in\n", kd_frame_plugin_get_name(pli));
    }
}

extern "C" KD_API cuvent_action version_fini(void) noexcept
{
    try {
        return version::fini();
    } catch (...) {
        return CUVACT_SUCCESS;
    }
}

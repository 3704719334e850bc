// The websocket plug-in: the web front end (HTTP, HTTPS and websocket) on
// the chassis master. Only the two entries are exported.
#include "ws.h"

#include <kerrow/plugin.h>

#include <type_traits>

extern "C" {
KD_API void websocket_init(plugin_load_info *pli) noexcept;
KD_API cuvent_action websocket_fini(void) noexcept;
}

static_assert(std::is_same_v<decltype(&websocket_init), void (*)(plugin_load_info *) noexcept>);
static_assert(std::is_convertible_v<decltype(&websocket_init), kd_frame_plugin_init>);
static_assert(std::is_convertible_v<decltype(&websocket_fini), kd_frame_plugin_fini>);

extern "C" void websocket_init(plugin_load_info *pli) noexcept
{
    try {
        ws::ws_init(pli);
    } catch (...) {
    }
}

extern "C" cuvent_action websocket_fini(void) noexcept
{
    try {
        ws::ws_fini();
    } catch (...) {
    }
    return CUVACT_SUCCESS;
}

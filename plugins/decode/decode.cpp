// libsv-decode: the plug-in's two entries over the decoder engine.
#include "decode_internal.h"

#include <kerrow/export.h>
#include <kerrow/plugin.h>

#include <type_traits>

extern "C" KD_API void decode_init(plugin_load_info *pli) noexcept;
extern "C" KD_API cuvent_action decode_fini(void) noexcept;

static_assert(std::is_convertible_v<decltype(&decode_init), kd_frame_plugin_init>,
              "decode_init must match the framework's init entry");
static_assert(std::is_convertible_v<decltype(&decode_fini), kd_frame_plugin_fini>,
              "decode_fini must match the framework's fini entry");

extern "C" KD_API void decode_init(plugin_load_info *pli) noexcept { decode_init_impl(pli); }

extern "C" KD_API cuvent_action decode_fini(void) noexcept { return decode_fini_impl(); }

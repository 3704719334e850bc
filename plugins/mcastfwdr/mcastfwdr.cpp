// libsv-mcastfwdr: the plug-in's shell. The engine (a static library) holds
// everything; this file pins the two entries the framework resolves by name
// and pulls them into the shared library.
#include "mcastfwdr.h"

#include <type_traits>

static_assert(std::is_convertible_v<decltype(&mcastfwdr_init), kd_frame_plugin_init>);
static_assert(std::is_convertible_v<decltype(&mcastfwdr_fini), kd_frame_plugin_fini>);

// Referenced so the linker keeps the engine's entry objects.
[[gnu::used]] static const void *const kEntries[] = {reinterpret_cast<const void *>(&mcastfwdr_init),
                                                      reinterpret_cast<const void *>(&mcastfwdr_fini)};

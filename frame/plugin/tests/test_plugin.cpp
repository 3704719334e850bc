// A small plug-in built several times under different names to exercise
// the plug-in manager. It reports what happens to it through events.
#include <kerrow/cuvent.h>
#include <kerrow/frame.h>
#include <kerrow/param.h>
#include <kerrow/plugin.h>

#include <cstdlib>
#include <type_traits>

#define KD_CAT_(a, b) a##b
#define KD_CAT(a, b) KD_CAT_(a, b)
#define KD_STR_(a) #a
#define KD_STR(a) KD_STR_(a)

namespace {
plugin_load_info *g_pli = nullptr;
int g_defers_left = 0;

[[maybe_unused]] void on_ping(cuvent_wrapper *) { kd_cuvent_emit(g_pli, "test_pong", const_cast<char *>(KD_STR(PLUGIN_NAME))); }
[[maybe_unused]] void on_tick(void *) {}

// Two saved settings; each set is reported as "test_plugin_set" with the text.
int g_level = 0;
[[maybe_unused]] int get_level(param_context *) { return g_level; }
[[maybe_unused]] int lo(param_context *) { return 0; }
[[maybe_unused]] int hi(param_context *) { return 100; }
[[maybe_unused]] int one(param_context *) { return 1; }
[[maybe_unused]] param_set_result set_any(param_context *, const char *text)
{
    kd_cuvent_emit(g_pli, "test_plugin_set", const_cast<char *>(text));
    return PARAM_SET_SUCCESS;
}
[[maybe_unused]] const char *get_name(param_context *) { return "name"; }
} // namespace

#ifndef NO_INIT
extern "C" KD_API void KD_CAT(PLUGIN_NAME, _init)(plugin_load_info *pli) noexcept
{
    static_assert(std::is_convertible_v<decltype(&KD_CAT(PLUGIN_NAME, _init)), kd_frame_plugin_init>);
    g_pli = pli;
    const char *d = std::getenv("TEST_PLUGIN_DEFER");
    g_defers_left = d ? std::atoi(d) : 0;
    kd_cuvent_register_cb(pli, "test_ping", on_ping, nullptr, CUVFLT_NONE);
    kd_frame_timeout_register("tick", on_tick, nullptr, 10.0, 1, pli);
    param_context *root = kd_param_create_cfg(pli);
    kd_param_alloc_number(root, nullptr, "Level", PARAMCTRL_RDWR, nullptr, get_level, lo, hi, one,
                          set_any, nullptr);
    kd_param_alloc_string(root, nullptr, "Name", PARAMCTRL_RDWR, nullptr, get_name, set_any, nullptr);
    kd_cuvent_emit(pli, "test_plugin_init", const_cast<char *>(PLUGIN_MARK));
}
#endif

#ifndef NO_FINI
extern "C" KD_API cuvent_action KD_CAT(PLUGIN_NAME, _fini)(void) noexcept
{
    static_assert(std::is_convertible_v<decltype(&KD_CAT(PLUGIN_NAME, _fini)), kd_frame_plugin_fini>);
    kd_cuvent_emit(g_pli, "test_plugin_fini", const_cast<char *>(KD_STR(PLUGIN_NAME)));
    if (g_defers_left > 0) {
        --g_defers_left;
        return CUVACT_DEFER;
    }
    return CUVACT_SUCCESS;
}
#endif

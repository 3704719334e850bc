// The front-panel plug-in: the entry points over the engine.
#include "frontpanel.h"

#include "engine.h"

#include <kerrow/frame.h>
#include <kerrow/log.h>

#include <memory>
#include <type_traits>

static_assert(std::is_convertible_v<decltype(&frontpanel_init), kd_frame_plugin_init>);
static_assert(std::is_convertible_v<decltype(&frontpanel_fini), kd_frame_plugin_fini>);

namespace {
plugin_load_info *g_pli = nullptr;          // loop thread only
std::unique_ptr<fp::frontpanel> g_engine;   // from init to fini
} // namespace

extern "C" void frontpanel_init(plugin_load_info *pli) noexcept
{
    try {
        g_pli = pli;
        g_engine = std::make_unique<fp::frontpanel>(pli);
        g_engine->start();
    } catch (const std::exception &e) {
        KD_LOG(KD_LOG_ERR, "[%s] Failed to start: %s\n", kd_frame_plugin_get_name(pli), e.what());
    }
}

extern "C" cuvent_action frontpanel_fini(void) noexcept
{
    const char *tag = kd_frame_plugin_get_name(g_pli);
    KD_LOG(KD_LOG_INFO, "[%s] Stopping\n", tag);
    try {
        g_engine.reset();
    } catch (...) {
    }
    KD_LOG(KD_LOG_INFO, "[%s] Stopped\n", tag);
    return CUVACT_SUCCESS;
}

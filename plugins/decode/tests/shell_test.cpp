// libsv-decode as the framework loads it: only its two entries are
// exported, and on a card without a carrier it loads, says why it does
// not start, and unloads.
#include "test_support.h"

#include <kerrow/frame.h>
#include <kerrow/param.h>
#include <kerrow/plugin.h>

#include <dlfcn.h>

#include <cstdlib>
#include <string>

namespace {

std::string plugin_file() { return std::string(std::getenv("DECODE_PLUGIN_DIR")) + "/libsv-decode.so"; }

TEST(DecodeShell, ExportsOnlyItsTwoEntries)
{
    void *h = dlopen(plugin_file().c_str(), RTLD_LAZY | RTLD_LOCAL);
    ASSERT_NE(h, nullptr) << dlerror();
    EXPECT_NE(dlsym(h, "decode_init"), nullptr);
    EXPECT_NE(dlsym(h, "decode_fini"), nullptr);
    // Names of what is linked in stay local (a library it links, such as
    // libcodecctl, may export some of them itself).
    for (const char *hidden : {"decode_post_log", "m30_ctx", "maintain", "section_dmux_ctor", "kt3300_alloc",
                               "decode_egress_monitor_ctor"}) {
        Dl_info info{};
        void *sym = dlsym(h, hidden);
        const bool ours = sym && dladdr(sym, &info) && info.dli_fname &&
                          std::string(info.dli_fname).find("libsv-decode.so") != std::string::npos;
        EXPECT_FALSE(ours) << hidden;
    }
    dlclose(h);
}

TEST(DecodeShell, LoadsWithoutACarrierAndUnloads)
{
    kdtest::TempRoot root;
    kdtest::LogCapture log;
    setenv("SV_PLUGINS_PATH", std::getenv("DECODE_PLUGIN_DIR"), 1);
    kd_frame_init();
    kd_frame_load_plugin("decode");
    EXPECT_EQ(log.count("[decode] No carrier, did not start"), 1);
    EXPECT_EQ(kd_param_get_by_route("decode/channel_mode"), nullptr);
    kd_frame_unload_plugin("decode");
    EXPECT_EQ(log.count("[decode] Stopped"), 1);
    kd_frame_fini();
    unsetenv("SV_PLUGINS_PATH");
}

} // namespace

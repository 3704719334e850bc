// The plug-in as the host runs it: libsv-version loaded by the framework,
// an install through the worker pool, and an unload that leaves nothing of
// the plug-in behind (its parameters, watchers and listeners).
#include "version_fixture.h"

#include <kerrow/frame.h>

#include <gtest/gtest.h>

namespace {

using namespace vertest;
using kdtest::run_until;

TEST(VersionPlugin, LoadedInstallsAndUnloadsClean)
{
    Card card(true);
    setenv("SV_PLUGINS_PATH", (std::string(std::getenv("KD_BUILD_DIR")) + "/plugins").c_str(), 1);
    card.put("fw.vorpt.tgz");
    kd_frame_init();
    card.listen();
    kd_frame_load_plugin("version");
    EXPECT_EQ(card.log_.count("[version] Starting.."), 1);
    ASSERT_TRUE(run_until([] { return value_at("version/state") == "Ready"; }, 60));
    EXPECT_EQ(value_at("version/banner"), "v1");
    EXPECT_EQ(rows("version/available_firmware_versions"), (std::vector<std::string>{"fw"}));

    EXPECT_EQ(set_choice("version/available_firmware_versions/fw/action", "Install"), PARAM_SET_SUCCESS);
    ASSERT_TRUE(run_until([] { return value_at("version/state") == "Ready"; }, 60));
    EXPECT_EQ(card.commands_.calls(), (std::vector<std::string>{"vrsn -x " + card.media("fw.vorpt.tgz")}));

    // A change pending in the media directory when the plug-in goes.
    card.upload("late.vorpt.tgz");
    ASSERT_TRUE(run_until([&] { return card.log_.count("something changed!") > 0; }, 60));
    kd_frame_unload_plugin("version");
    for (const char *route : {"version/state", "version/banner", "version/reboot",
                              "version/available_firmware_versions", "version/installed_firmware_versions/v2"})
        EXPECT_EQ(type_at(route), PARAMTYPE_NONE) << route;
    // Nothing of it runs afterwards: no sync, no reaction to changes or events.
    card.log_.clear();
    card.upload("after.vorpt.tgz");
    kd_cuvent_emit(nullptr, "version_task_set_state", nullptr);
    run_until([] { return false; }, 1.5);
    EXPECT_EQ(card.log_.count("[version]"), 0);
    kd_frame_fini();
    unsetenv("SV_PLUGINS_PATH");
}

} // namespace

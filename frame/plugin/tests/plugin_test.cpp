#include "test_support.h"

#include <kerrow/cuvent.h>
#include <kerrow/plugin.h>
#include <kerrow/param.h>
#include <kerrow/ref.h>
#include <kerrow/store.h>

#include <fstream>
#include <string>
#include <vector>

namespace {

std::vector<std::string> g_events;

void note(cuvent_wrapper *w)
{
    std::string what = w->name;
    if (w->emit_ctx)
        what += std::string(":") + static_cast<const char *>(w->emit_ctx);
    g_events.push_back(what);
}

std::vector<std::string> to_vector(char **names)
{
    std::vector<std::string> out;
    for (char **p = names; p && *p; ++p)
        out.emplace_back(*p);
    void *arr = names;
    kd_ref_free_safe(&arr);
    return out;
}

// Brings the framework up with a plug-in search path, and listens to what
// the test plug-ins report.
class PluginTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        dir_ = std::getenv("TEST_PLUGIN_DIR");
        g_events.clear();
    }
    void TearDown() override
    {
        if (up_)
            kd_frame_fini();
        unsetenv("SV_PLUGINS_PATH");
        unsetenv("TEST_PLUGIN_DEFER");
    }
    void start(const std::string &path)
    {
        setenv("SV_PLUGINS_PATH", path.c_str(), 1);
        kd_frame_init();
        up_ = true;
        mgr_ = kd_plugin_init_manager(); // second call: the same table, no new search
        for (const char *ev : {"test_plugin_init", "test_plugin_fini", "test_pong", "alpha_parms_loaded",
                               "nested_parms_loaded", "test_plugin_set"})
            kd_cuvent_register_cb(nullptr, ev, note, nullptr, CUVFLT_NONE);
    }
    void loop_passes(int n)
    {
        static int left;
        left = n;
        kd_frame_timeout_register("passes", [](void *) {
            if (--left <= 0)
                kd_shutdown();
        }, nullptr, 0.01, 1, nullptr);
        kd_frame_run();
        kd_frame_stop_watcher("passes", nullptr);
    }

    std::string dir_;
    bool up_ = false;
    plugin_manager *mgr_ = nullptr;
    kdtest::TempRoot root_;
    kdtest::LogCapture log_;
};

TEST_F(PluginTest, DiscoveryFindsBothDirectoriesAndSubdirectoriesAndTheFirstNameWins)
{
    start(dir_ + "/a:" + dir_ + "/b");
    EXPECT_EQ(to_vector(mgr_->get_available_plugins()),
              (std::vector<std::string>{"alpha", "nofini", "noinit", "nested", "alpha"}));
    EXPECT_EQ(log_.count("already initialized"), 1);
    EXPECT_EQ(mgr_->get_max_name_length(), 30);

    kd_frame_load_plugin("alpha");
    kd_frame_load_plugin("alpha"); // a second load does nothing
    kd_frame_load_plugin("nested");
    EXPECT_EQ(g_events, (std::vector<std::string>{"test_plugin_init:a", "alpha_parms_loaded",
                                                  "test_plugin_init:nested", "nested_parms_loaded"}));
    EXPECT_EQ(to_vector(mgr_->get_active_plugins()), (std::vector<std::string>{"alpha", "nested"}));
    ASSERT_NE(kd_plugin_get_pli_by_name("alpha"), nullptr);
    EXPECT_NE(std::string(kd_plugin_get_pli_by_name("alpha")->path).find("/a/"), std::string::npos);
}

TEST_F(PluginTest, BadPluginsAreRefusedAndTheOthersGoOn)
{
    // A file that is no library, and a name too long for the entry points.
    std::string bad = root_ / "bad";
    std::filesystem::create_directories(bad);
    std::ofstream(bad + "/libsv-garbage.so") << std::string(256, 'x'); // not an ELF file
    std::ofstream(bad + "/libsv-" + std::string(31, 'n') + ".so") << "";
    start(dir_ + "/a:" + bad);

    EXPECT_EQ(to_vector(mgr_->get_available_plugins()),
              (std::vector<std::string>{"alpha", "nofini", "noinit", "nested", "garbage"}));
    EXPECT_EQ(log_.count("Plugin name too long"), 1);

    struct Case {
        const char *name;
        const char *log;
    } cases[] = {
        {"nofini", "fini sym err"},
        {"noinit", "init_sym err"},
        {"garbage", "invalid ELF header"},
        {"missing", "Plugin 'missing' not found."},
    };
    for (const auto &c : cases) {
        kd_frame_load_plugin(c.name);
        EXPECT_EQ(log_.count(c.log), 1) << c.name;
    }
    EXPECT_TRUE(g_events.empty()); // no init ran, not even the one without fini
    kd_frame_load_plugin("alpha");
    EXPECT_EQ(to_vector(mgr_->get_active_plugins()), (std::vector<std::string>{"alpha"}));
}

TEST_F(PluginTest, UnloadRemovesEverythingAndTheManagerCanLoadItAgain)
{
    start(dir_ + "/a");
    kd_frame_load_plugin("alpha");
    kd_cuvent_emit(nullptr, "test_ping", nullptr);
    EXPECT_EQ(g_events.back(), "test_pong:alpha");

    kd_frame_unload_plugin("alpha");
    EXPECT_EQ(g_events.back(), "test_plugin_fini:alpha");
    g_events.clear();
    kd_cuvent_emit(nullptr, "test_ping", nullptr);
    EXPECT_TRUE(g_events.empty());
    EXPECT_EQ(kd_plugin_get_pli_by_name("alpha")->handle, nullptr);
    EXPECT_EQ(kd_plugin_get_pli_by_name("alpha")->watchers, nullptr);
    EXPECT_TRUE(to_vector(mgr_->get_active_plugins()).empty());

    kd_frame_load_plugin("alpha");
    EXPECT_NE(kd_plugin_get_pli_by_name("alpha")->watchers, nullptr);
    kd_cuvent_emit(nullptr, "test_ping", nullptr);
    EXPECT_EQ(g_events.back(), "test_pong:alpha");
}

TEST_F(PluginTest, DeferringFiniIsRetriedOnIdlePassesAndTheRestWaitsForIt)
{
    setenv("TEST_PLUGIN_DEFER", "2", 1);
    start(dir_ + "/a");
    kd_frame_load_plugin("alpha");
    g_events.clear();
    kd_frame_unload_plugin("alpha");
    EXPECT_EQ(g_events, (std::vector<std::string>{"test_plugin_fini:alpha"}));
    EXPECT_TRUE(to_vector(mgr_->get_active_plugins()).empty()); // not listed meanwhile
    kd_cuvent_emit(nullptr, "test_ping", nullptr);
    EXPECT_EQ(g_events.back(), "test_pong:alpha"); // still registered while it winds down

    loop_passes(5);
    int finis = 0;
    for (const auto &e : g_events)
        finis += e == "test_plugin_fini:alpha";
    EXPECT_EQ(finis, 3);
    g_events.clear();
    kd_cuvent_emit(nullptr, "test_ping", nullptr);
    EXPECT_TRUE(g_events.empty());
    EXPECT_EQ(kd_plugin_get_pli_by_name("alpha")->handle, nullptr);
}

TEST_F(PluginTest, ShutdownWithADeferringFiniReleasesItsResourcesOnce)
{
    setenv("TEST_PLUGIN_DEFER", "5", 1);
    start(dir_ + "/a");
    kd_frame_load_plugin("alpha");
    kd_frame_load_plugin("nested");
    kd_frame_fini(); // LSan would report a watch list or registration left behind
    up_ = false;
    int finis = 0;
    for (const auto &e : g_events)
        finis += e.rfind("test_plugin_fini:", 0) == 0;
    EXPECT_EQ(finis, 2); // asked once each; the loop no longer runs
}

TEST_F(PluginTest, ShutdownAsksAPendingUnloadsFiniOnceMore)
{
    // Each case: defers left when the unload starts, fini calls expected.
    struct Case {
        const char *defers;
        int finis;
    } cases[] = {{"1", 2}, {"5", 2}};
    for (const auto &c : cases) {
        setenv("TEST_PLUGIN_DEFER", c.defers, 1);
        start(dir_ + "/a");
        kd_frame_load_plugin("alpha");
        kd_frame_unload_plugin("alpha"); // defers; no idle pass runs before shutdown
        kd_frame_fini();
        up_ = false;
        int finis = 0;
        for (const auto &e : g_events)
            finis += e == "test_plugin_fini:alpha";
        EXPECT_EQ(finis, c.finis) << c.defers;
        g_events.clear();
    }
}

TEST_F(PluginTest, SavedValuesAreAppliedThroughTheSetPathBeforeParmsLoaded)
{
    start(dir_ + "/a");
    static int updates = 0;
    updates = 0;
    kd_cuvent_register_cb(nullptr, "on_param_update", [](cuvent_wrapper *) { ++updates; }, nullptr,
                          CUVFLT_NONE);
    plugin_load_info *alpha = kd_plugin_get_pli_by_name("alpha");
    kd_store_save_string(alpha, "alpha/level", "42");
    kd_store_save_string(alpha, "alpha/name", "studio");
    kd_store_save_string(alpha, "alpha/gone/row_3/x", "kept"); // no such node: left alone
    kd_frame_load_plugin("alpha");
    EXPECT_EQ(g_events, (std::vector<std::string>{"test_plugin_init:a", "test_plugin_set:42",
                                                  "test_plugin_set:studio", "alpha_parms_loaded"}));
    EXPECT_EQ(updates, 2);
    EXPECT_EQ(kd_store_test_key(alpha, "alpha/gone/row_3/x"), 1);
    EXPECT_NE(kd_param_get_by_route("alpha/level"), nullptr);

    kd_frame_unload_plugin("alpha"); // its tree goes with it
    EXPECT_EQ(kd_param_get_type(kd_param_get_by_route("alpha/level")), PARAMTYPE_NONE);
    EXPECT_EQ(alpha->top_param, nullptr);
    EXPECT_EQ(alpha->store, nullptr);
}

TEST_F(PluginTest, SimulatedRecords)
{
    start(dir_ + "/a");
    plugin_load_info *sim = __test_insert_active_plugin("sim", "/nowhere/libsv-sim.so");
    ASSERT_NE(sim, nullptr);
    EXPECT_NE(sim->watchers, nullptr);
    EXPECT_EQ(kd_plugin_get_pli_by_name("sim"), sim);
    auto active = to_vector(mgr_->get_active_plugins());
    EXPECT_EQ(active, (std::vector<std::string>{"sim"}));
    __test_set_plugin_inactive("sim");
    EXPECT_EQ(sim->watchers, nullptr);
    EXPECT_TRUE(to_vector(mgr_->get_active_plugins()).empty());
}

} // namespace

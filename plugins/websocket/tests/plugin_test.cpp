// The plug-in as the host runs it: libsv-websocket loaded by the
// framework, the saved port applied through the set path, a browser-like
// client served, and a clean unload. In a network namespace of its own,
// since the server first opens its default port.
#include "cmd_standins.h"
#include "sysbus_rig.h"
#include "test_support.h"
#include "ws_client.h"
#include "ws_netns.h"

#include <kerrow/frame.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <thread>

namespace {

using namespace wstest;

std::atomic<bool> g_done{false};

void pump(void *)
{
    if (g_done)
        kd_shutdown();
}

TEST(Plugin, LoadedByTheFrameworkWithItsSavedPort)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root for a network namespace";
    OwnNetwork net;
    if (!net.ok())
        GTEST_SKIP() << "cannot make a network namespace";
    kdtest::TempRoot root;
    kdtest::LogCapture log;
    namespace fs = std::filesystem;
    // The on-card marker makes the framework keep settings in the store
    // file, and also use the system bus and run commands: a private bus,
    // and no commands at all.
    sysbus::rig bus(root.path());
    kdtest::CommandStandins commands(root / "cmd");
    fs::create_directories(root / "opt/pkg/var");
    std::ofstream(root / "opt/pkg/var/oem") << "";
    fs::create_directories(root / "var/local/solvera");
    const int port = free_port();
    std::ofstream(root / "var/local/solvera/store.json")
        << R"({"websocket": {"websocket/port": ")" << port << R"("}, "probe": {"probe/level": "9"}})";
    setenv("SV_PLUGINS_PATH", (std::string(std::getenv("KD_BUILD_DIR")) + "/plugins").c_str(), 1);
    setenv("HW_SLOT", "3", 1);

    kd_frame_init();
    kd_frame_load_plugin("websocket");
    kd_frame_load_plugin("probe");
    EXPECT_EQ(log.count("[websocket] Server running on port " + std::to_string(port) + "."), 1);

    g_done = false;
    std::thread client([port] {
        ws_client c;
        EXPECT_TRUE(c.open(port));
        EXPECT_TRUE(login(c));
        EXPECT_TRUE(c.send_text("probe/level 10!@#probe/level"));
        auto r = c.reply_with("\"ref\":\"probe/level\"");
        ASSERT_TRUE(r);
        EXPECT_NE(r->find("\"value\":10,"), std::string::npos) << *r;
        g_done = true;
    });
    kd_frame_timeout_register("test-pump", pump, nullptr, 0.005, 1, nullptr);
    kd_frame_run();
    client.join();
    kd_frame_stop_watcher("test-pump", nullptr);
    kd_frame_fini();
    EXPECT_EQ(log.count("[websocket] Stopped"), 1);
    // The new value reached the store through "on_param_update".
    std::ifstream in(root / "var/local/solvera/store.json");
    const std::string store((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_NE(store.find(R"("probe/level": "10")"), std::string::npos) << store;
}

} // namespace

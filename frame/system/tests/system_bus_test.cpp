// System-bus calls reach the stand-in services on a private dbus-daemon;
// the connection comes back after the daemon dies; without a bus nothing
// blocks and every call answers -1. The tests run as a card would (the
// on-card marker in a private root): sd-bus is never asked for this
// machine's own system bus.
#include <kerrow/frame.h>
#include <kerrow/system.h>

#include "../system_internal.h"
#include "sysbus_rig.h"
#include "run_until.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <systemd/sd-bus.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>

// Every way sd-bus reaches the default system bus, answered here instead:
// a call counts and fails.
static std::atomic<int> g_default_bus_asks{0};
extern "C" int sd_bus_open_system(sd_bus **) { return ++g_default_bus_asks, -ECONNREFUSED; }
extern "C" int sd_bus_open_system_with_description(sd_bus **, const char *) { return ++g_default_bus_asks, -ECONNREFUSED; }
extern "C" int sd_bus_default_system(sd_bus **) { return ++g_default_bus_asks, -ECONNREFUSED; }
extern "C" int sd_bus_default(sd_bus **) { return ++g_default_bus_asks, -ECONNREFUSED; }

namespace {

using kdtest::run_until;

bool has(const std::vector<std::string> &v, const std::string &s) { return std::find(v.begin(), v.end(), s) != v.end(); }

class SystemBus : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::filesystem::create_directories(root_ / "opt/pkg/var");
        std::ofstream(root_ / "opt/pkg/var/oem") << "";
    }
    void TearDown() override { EXPECT_EQ(g_default_bus_asks, 0); }
    kdtest::TempRoot root_;
    kdtest::LogCapture log_;
};

TEST_F(SystemBus, NoAddressNoConnection)
{
    unsetenv("DBUS_SYSTEM_BUS_ADDRESS");
    kd_frame_init();
    EXPECT_EQ(log_.count("[system] Not on the card: no system bus"), 1);
    EXPECT_EQ(log_.count("Failed to open system bus"), 0);
    EXPECT_FALSE(kd::sys::bus_running());
    EXPECT_EQ(kd_system_send_hostname("x"), -1);
    EXPECT_EQ(kd_system_request_timezone(), -1);
    kd_frame_fini();
}

TEST_F(SystemBus, CallsReachTheServicesAndSurviveABusRestart)
{
    sysbus::rig bus(root_.path(), {"--timezone", "Asia/Tokyo", "--ntp", "1"});
    kd_frame_init();
    ASSERT_TRUE(run_until([] { return kd::sys::bus_running(); }));

    EXPECT_GE(kd_system_send_hostname("card-17"), 0);
    EXPECT_GE(kd_system_request_timezone(), 0);
    kd_system_request_ntp_synchronized();
    EXPECT_TRUE(run_until([] { return kd::sys::ntp_synchronized() && std::string(kd::sys::tzname()) == "Asia/Tokyo"; }));
    EXPECT_TRUE(has(bus.calls(), "SetStaticHostname card-17 1"));
    EXPECT_GE(kd_system_send_timezone("Europe/Oslo"), 0);
    EXPECT_TRUE(run_until([&] { return has(bus.calls(), "SetTimezone Europe/Oslo 1"); }));

    // The daemon dies: calls answer -1 until it is back and reconnected.
    bus.stop();
    EXPECT_TRUE(run_until([] { return !kd::sys::bus_running(); }));
    EXPECT_EQ(kd_system_send_hostname("card-18"), -1);
    bus.start();
    EXPECT_TRUE(run_until([] { return kd::sys::bus_running(); }, 60.0));
    EXPECT_GE(kd_system_send_hostname("card-19"), 0);
    EXPECT_TRUE(run_until([&] { return has(bus.calls(), "SetStaticHostname card-19 1"); }));
    EXPECT_GE(log_.count("[system] Restarting sdbus"), 1);
    kd_frame_fini();
    EXPECT_FALSE(kd::sys::bus_running());
}

TEST_F(SystemBus, RefusedCallsAreLogged)
{
    sysbus::rig bus(root_.path(), {"--fail-hostname", "--fail-timezone"});
    kd_frame_init();
    ASSERT_TRUE(run_until([] { return kd::sys::bus_running(); }));
    kd_system_send_hostname("card-17");
    kd_system_send_timezone("Europe/Oslo");
    EXPECT_TRUE(run_until([&] {
        return log_.count("Set Hostname Error: refused by the stand-in") == 1 &&
               log_.count("Set Timezone Error: refused by the stand-in") == 1;
    }));
    kd_frame_fini();
}

TEST_F(SystemBus, NoBusDoesNotHoldUpStart)
{
    setenv("DBUS_SYSTEM_BUS_ADDRESS", ("unix:path=" + root_.path() + "/none.sock").c_str(), 1);
    const auto t0 = std::chrono::steady_clock::now();
    kd_frame_init();
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(2));
    EXPECT_EQ(log_.count("Failed to open system bus"), 1);
    EXPECT_EQ(kd_system_send_hostname("x"), -1);
    EXPECT_EQ(kd_system_send_timezone("UTC"), -1);
    EXPECT_EQ(kd_system_request_timezone(), -1);
    kd_frame_fini();
    unsetenv("DBUS_SYSTEM_BUS_ADDRESS");
}

} // namespace

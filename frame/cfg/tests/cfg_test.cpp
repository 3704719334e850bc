// The "frame" device settings on a card off the chassis (native): members
// by role, choice and number checks, time zone over the stand-in bus, SNMP
// and Avahi switches and the clock through recording stand-ins.
#include <kerrow/cuvent.h>
#include <kerrow/frame.h>
#include <kerrow/plugin.h>
#include <kerrow/store.h>
#include <kerrow/system.h>

#include "../../system/system_internal.h"
#include "cfg_test_util.h"
#include "cmd_standins.h"
#include "run_until.h"
#include "sysbus_rig.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <optional>

#include <sched.h>
#include <unistd.h>

namespace {

using kdtest::access;
using kdtest::set;
using kdtest::value;

// Counts emissions of the events a test listens to.
struct EventLog {
    std::vector<std::string> names;
    std::vector<std::string> payload_texts;
    void listen(const char *name)
    {
        kd_cuvent_register_cb(nullptr, name, on_event, this, CUVFLT_NONE);
    }
    int count(const std::string &name) const { return static_cast<int>(std::count(names.begin(), names.end(), name)); }
    static void on_event(cuvent_wrapper *w)
    {
        auto *self = static_cast<EventLog *>(w->cb_ctx);
        self->names.emplace_back(w->name);
        if (std::string(w->name) == "master-time-zone-changed" && w->emit_ctx)
            self->payload_texts.emplace_back(static_cast<const char *>(w->emit_ctx));
        if (std::string(w->name) == "register_proxy_cuvent" && w->emit_ctx) {
            const auto *info = static_cast<const proxy_cuvent_info *>(w->emit_ctx);
            self->payload_texts.emplace_back(std::string(info->name) + ":" + std::to_string(info->len));
        }
    }
};

class FrameCfg : public ::testing::Test {
protected:
    void start(const char *slot = "3")
    {
        setenv("HW_SLOT", slot, 1);
        kd_frame_init();
        started_ = true;
    }
    void TearDown() override
    {
        if (started_)
            kd_frame_fini();
        unsetenv("HW_SLOT");
    }
    kdtest::TempRoot root_;
    kdtest::LogCapture log_;
    kdtest::CommandStandins cmds_{root_ / "cmds"};
    bool started_ = false;
};

TEST_F(FrameCfg, MembersDependOnTheRole)
{
    const char *master_only[] = {"frame/system_time", "frame/timezone", "frame/ntp_server", "frame/ntp_synchronized",
                                 "frame/chassis_number"};
    const char *everywhere[] = {"frame/hostname", "frame/system_uptime", "frame/process_uptime", "frame/avahi",
                                "frame/snmp_service", "frame/hierarchy", "frame/websocket_service",
                                "frame/fips_140-3_mode", "frame/country_name", "frame/security_newfile_state"};
    start("1");
    for (const char *r : master_only)
        EXPECT_EQ(kdtest::node(r), nullptr) << r;
    for (const char *r : everywhere)
        EXPECT_NE(kdtest::node(r), nullptr) << r;
    EXPECT_EQ(value("frame/hierarchy"), "Slave");
    EXPECT_EQ(kdtest::node("frame/ethernet_interfaces"), nullptr); // not on the card
    kd_frame_fini();
    const std::time_t started = std::time(nullptr);
    start("3");
    for (const char *r : master_only)
        EXPECT_NE(kdtest::node(r), nullptr) << r;
    EXPECT_EQ(value("frame/hierarchy"), "Master");
    EXPECT_EQ(value("frame/ntp_synchronized"), "No");
    const std::string up = value("frame/system_uptime");
    int d, h, m, sec, used = 0;
    EXPECT_EQ(std::sscanf(up.c_str(), "%d Days, %d Hours, %d Minutes, %d Seconds%n", &d, &h, &m, &sec, &used), 4) << up;
    EXPECT_EQ(static_cast<size_t>(used), up.size()) << up;
    EXPECT_TRUE(h < 24 && m < 60 && sec < 60) << up;
    // Counted from the framework's start: no more than the seconds that
    // really passed since just before it (a slow machine may take several).
    const std::string proc = value("frame/process_uptime");
    const long long passed = std::time(nullptr) - started;
    EXPECT_EQ(std::sscanf(proc.c_str(), "%d Days, %d Hours, %d Minutes, %d Seconds", &d, &h, &m, &sec), 4) << proc;
    const long long counted = ((d * 24LL + h) * 60 + m) * 60 + sec;
    EXPECT_TRUE(counted >= 0 && counted <= passed) << proc << " after " << passed << " s";
    const std::string now = value("frame/system_time");
    struct tm tm {};
    const char *end = strptime(now.c_str(), "%FT%TZ", &tm);
    EXPECT_TRUE(end && !*end && now.size() == 20) << now;
}

TEST_F(FrameCfg, ChassisNumber)
{
    start();
    EventLog ev;
    ev.listen("chassis_number_changed");
    struct {
        const char *text;
        int result, num;
    } cases[] = {{"0x2", 0, 2}, {"2", 0, 2}, {"4", 1, 2}, {"0", 1, 2}, {"03", 0, 3}, {"010", 1, 3},
                 {"2x", 1, 3},  {"", 1, 3},  {"-1", 1, 3}, {"1", 0, 1}};
    for (const auto &c : cases) {
        EXPECT_EQ(set("frame/chassis_number", c.text), c.result) << c.text;
        EXPECT_EQ(kd_frame_get_chassis_num(), c.num) << c.text;
    }
    EXPECT_EQ(ev.count("chassis_number_changed"), 3); // 2, 3, 1

    plugin_load_info proxy{}, other{};
    proxy.name = const_cast<char *>("proxy");
    other.name = const_cast<char *>("version");
    EXPECT_EQ(kd_frame_set_chassis_num(&other, 2), -1);
    EXPECT_EQ(kd_frame_set_chassis_num(nullptr, 2), -1);
    EXPECT_EQ(kd_frame_get_chassis_num(), 1);
    EXPECT_EQ(kd_frame_set_chassis_num(&proxy, 2), 0);
    EXPECT_EQ(kd_frame_get_chassis_num(), 2);
    EXPECT_EQ(ev.count("chassis_number_changed"), 4);
}

TEST_F(FrameCfg, HostnameShownAndChecked)
{
    start();
    // A private UTS namespace for this thread: the machine's name is untouched.
    if (geteuid() != 0 || unshare(CLONE_NEWUTS) != 0)
        GTEST_SKIP() << "needs root for a UTS namespace (CI runs as root)";
    struct {
        const char *kernel, *shown;
    } cases[] = {{"solvera", "SLV"}, {"solver", "solver"}, {"solvera-0123", "SLV-0123"}, {"box-solvera", "box-solvera"}};
    for (const auto &c : cases) {
        ASSERT_EQ(sethostname(c.kernel, std::strlen(c.kernel)), 0);
        EXPECT_EQ(value("frame/hostname"), c.shown) << c.kernel;
    }
    // No bus: a valid name fails too, and a bad one never reaches it.
    EXPECT_EQ(set("frame/hostname", "card-1"), 1);
    for (const char *bad : {"bad name", "-lead", "trail-", "a..b", "x;reboot", ""})
        EXPECT_EQ(set("frame/hostname", bad), 1) << bad;
}

TEST_F(FrameCfg, TimezoneOverTheBus)
{
    sysbus::rig bus(root_.path(), {"--timezone", "UTC"});
    start();
    EventLog ev;
    ev.listen("master-time-zone-changed");
    ev.listen("register_proxy_cuvent");
    auto *choices = kd_param_get_choice_ops(kdtest::node("frame/timezone"))->choices(kdtest::node("frame/timezone"));
    size_t n = 0;
    while (choices[n])
        ++n;
    EXPECT_EQ(n, 417u);
    EXPECT_STREQ(choices[0], "America/New_York");
    EXPECT_STREQ(choices[n - 1], "UTC");

    ASSERT_TRUE(kdtest::run_until([] { return kd::sys::bus_running(); }));
    EXPECT_EQ(access("frame/timezone"), PARAMCTRL_RDWR_NOPERSIST);
    // "frame run" asks the proxy to relay the master's zone changes.
    EXPECT_EQ(std::count(ev.payload_texts.begin(), ev.payload_texts.end(), "master-time-zone-changed:64"), 1);

    EXPECT_EQ(set("frame/timezone", "Europe/Paris"), 0);
    EXPECT_EQ(set("frame/timezone", "Europe/Paris"), 0);
    EXPECT_EQ(set("frame/timezone", "Mars/Olympus"), 1);
    EXPECT_EQ(value("frame/timezone"), "Europe/Paris");
    EXPECT_TRUE(kdtest::run_until([&] { return !bus.calls().empty(); }));
    kdtest::run_until([] { return false; }, 0.2);
    EXPECT_EQ(bus.calls(), (std::vector<std::string>{"SetTimezone Europe/Paris 1"}));
    EXPECT_EQ(ev.count("master-time-zone-changed"), 1);
    EXPECT_EQ(std::count(ev.payload_texts.begin(), ev.payload_texts.end(), "Europe/Paris"), 1);

    EXPECT_EQ(set("frame/hostname", "card-7"), 0);
    EXPECT_TRUE(kdtest::run_until([&] { return bus.calls().back() == "SetStaticHostname card-7 1"; }));
}

TEST_F(FrameCfg, SlaveFollowsTheMastersTimezone)
{
    sysbus::rig bus(root_.path());
    start("1");
    ASSERT_TRUE(kdtest::run_until([] { return kd::sys::bus_running(); }));
    plugin_load_info proxy{};
    proxy.name = const_cast<char *>("proxy");
    char zone[64] = "Asia/Tokyo";
    kd_cuvent_emit(&proxy, "master-time-zone-changed", zone);
    EXPECT_TRUE(kdtest::run_until([&] { return !bus.calls().empty(); }));
    EXPECT_EQ(bus.calls(), (std::vector<std::string>{"SetTimezone Asia/Tokyo 1"}));
    EXPECT_EQ(log_.count("Changed Time Zone to Asia/Tokyo"), 1);
}

TEST_F(FrameCfg, ServiceSwitchesRunSystemctl)
{
    start();
    EventLog ev;
    ev.listen("snmp_enabled");
    ev.listen("snmp_disabled");
    // Every read announces the state; snmpd is switched once per change of
    // it, on the worker pool, in the order of the changes.
    for (int i = 0; i < 20; ++i)
        EXPECT_EQ(value("frame/snmp_service"), "Enabled");
    EXPECT_EQ(ev.count("snmp_enabled"), 20);
    EXPECT_EQ(set("frame/snmp_service", "Disabled"), 0);
    EXPECT_EQ(set("frame/snmp_service", "Off"), 1);
    EXPECT_EQ(value("frame/snmp_service"), "Disabled");
    int saved = -1;
    EXPECT_EQ(kd_store_load_int(nullptr, "frame/snmp_service", &saved), 0);
    EXPECT_EQ(saved, 1);
    const std::vector<std::string> switched{"systemctl start snmpd", "systemctl stop snmpd"};
    EXPECT_TRUE(kdtest::run_until([&] { return cmds_.calls().size() >= switched.size(); }));
    EXPECT_EQ(cmds_.calls(), switched);
    EXPECT_EQ(set("frame/snmp_service", "Enabled"), 0);
    EXPECT_TRUE(kdtest::run_until([&] { return cmds_.calls().size() > switched.size(); }));
    EXPECT_EQ(cmds_.calls().back(), "systemctl start snmpd");

    cmds_.clear();
    EXPECT_EQ(value("frame/avahi"), "OFF");
    EXPECT_EQ(set("frame/avahi", "OFF"), 0); // unchanged: nothing runs
    EXPECT_EQ(set("frame/avahi", "ON"), 0);
    const std::string wants = root_ / "etc/systemd/system/multi-user.target.wants/avahi-daemon.service";
    std::filesystem::create_directories(std::filesystem::path(wants).parent_path());
    std::ofstream(wants) << "";
    EXPECT_EQ(value("frame/avahi"), "ON");
    cmds_.fail("systemctl", "stop");
    EXPECT_EQ(set("frame/avahi", "OFF"), 1); // a failed command is a failure
    EXPECT_EQ(set("frame/avahi", "on"), 1);
    EXPECT_EQ(cmds_.calls(), (std::vector<std::string>{"systemctl enable --now avahi-daemon.service",
                                                       "systemctl stop avahi-daemon.service"}));
}

TEST_F(FrameCfg, SystemTimeAndNtpServer)
{
    start();
    struct tm tm {};
    strptime("2025-03-04T05:06:07Z", "%FT%TZ", &tm);
    tm.tm_isdst = -1;
    const long long expect = static_cast<long long>(mktime(&tm));
    EXPECT_EQ(set("frame/system_time", "2025-03-04T05:06:07Z"), 0);
    for (const char *bad : {"2025-03-04 05:06:07", "2025-03-04T05:06:07Zjunk", "yesterday", ""})
        EXPECT_EQ(set("frame/system_time", bad), 1) << bad;
    EXPECT_EQ(cmds_.calls(), (std::vector<std::string>{"date -s @" + std::to_string(expect)}));
    cmds_.fail("date", "-s");
    EXPECT_EQ(set("frame/system_time", "2025-03-04T05:06:07Z"), 1);

    cmds_.clear();
    const std::string conf = root_ / "etc/systemd/timesyncd.conf";
    std::filesystem::create_directories(std::filesystem::path(conf).parent_path());
    std::ofstream(conf) << "[Time]\nNTP=10.0.0.1\n";
    EXPECT_EQ(value("frame/ntp_server"), "10.0.0.1");
    EXPECT_EQ(set("frame/ntp_server", "10.0.0.2/x"), 1);
    EXPECT_TRUE(cmds_.calls().empty());
    EXPECT_EQ(set("frame/ntp_server", "10.0.0.2"), 0);
    EXPECT_EQ(value("frame/ntp_server"), "10.0.0.2");
}

} // namespace

// Network and time configuration commands, run against recording stand-ins
// in a private root: argument vectors, unit-file edits, refusals before
// anything runs, failures reported as failures, one restart per burst.
#include <kerrow/frame.h>
#include <kerrow/system.h>

#include "../../frame_internal.h"
#include "../system_internal.h"
#include "cmd_standins.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

namespace {

std::string read_file(const std::string &path)
{
    std::ifstream in(path);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

void write_file(const std::string &path, const std::string &text)
{
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    std::ofstream(path) << text;
}

class SystemCmds : public ::testing::Test {
protected:
    void SetUp() override { kd::network_restart_needed = 0; }
    kdtest::TempRoot root_;
    kdtest::LogCapture log_;
    kdtest::CommandStandins cmds_{root_ / "cmds"};
    std::string unit(const std::string &dev) { return root_ / ("etc/systemd/network/" + dev + ".network"); }
};

TEST(SystemText, MaskBitsAndAddresses)
{
    struct {
        const char *mask;
        int bits;
    } masks[] = {{"255.255.255.0", 24}, {"255.255.255.255", 32}, {"0.0.0.0", 0},    {"255.255.255.252", 30},
                 {"255.255.0.255", -1}, {"0.255.255.255", -1},  {"255.255.255", -1}, {"255.255.255.0 ", -1},
                 {"", -1},              {"24", -1}};
    for (const auto &m : masks)
        EXPECT_EQ(kd::sys::count_mask_bits(m.mask), m.bits) << m.mask;
    for (const char *bad : {"10.0.0.256", "10.0.0.1/24", "10.0.0.1; reboot", "a.b.c.d", "", "010.0.0.1x"})
        EXPECT_FALSE(kd::sys::ipv4_valid(bad)) << bad;
    EXPECT_TRUE(kd::sys::ipv4_valid("192.168.1.20"));
    for (const char *bad : {"", "..", "eth0/../x", "eth 0", "averyveryverylongname"})
        EXPECT_FALSE(kd::sys::device_name_valid(bad)) << bad;
}

TEST_F(SystemCmds, SpawnHelperReportsWhyAProgramFailed)
{
    int status = -7;
    EXPECT_EQ(kd::sys::spawn_helper({"/sbin/ip", "link"}, &status), 0);
    EXPECT_EQ(status, 0);
    cmds_.fail("ip", "link");
    EXPECT_EQ(kd::sys::spawn_helper({"/sbin/ip", "link"}, &status), -1);
    EXPECT_EQ(kd_errno, KD_ERR_SPAWN_STATUS);
    EXPECT_EQ(status, 1);
    status = -7;
    EXPECT_EQ(kd::sys::spawn_helper({"/nowhere/kd-no-such-program"}, &status), -1);
    EXPECT_EQ(kd_errno, KD_ERR_SPAWN);
    EXPECT_EQ(status, -7);
    // A program that never exits normally (killed by a signal).
    write_file(root_ / "cmds/kd-killed", "#!/bin/sh\nkill -9 $$\n");
    std::filesystem::permissions(root_ / "cmds/kd-killed", std::filesystem::perms::owner_all);
    EXPECT_EQ(kd::sys::spawn_helper({"/bin/kd-killed"}, &status), -1);
    EXPECT_EQ(kd_errno, KD_ERR_SPAWN_NO_EXIT);
    EXPECT_EQ(status, -7);
    // Off the card without stand-ins nothing runs at all.
    ASSERT_TRUE(kd_frame_is_running_native());
    kdtest::OwnCommandLog refusals(root_ / "commands.log");
    unsetenv("KD_CMD_DIR");
    cmds_.clear();
    EXPECT_EQ(kd_system_set_service_mode(1, "snmpd"), -1);
    EXPECT_EQ(log_.count("Not on the card: /bin/systemctl refused"), 1);
    EXPECT_EQ(refusals.lines().size(), 1u);
    EXPECT_TRUE(cmds_.calls().empty());
}

TEST_F(SystemCmds, AddressChangesRunIpOnlyWithCheckedText)
{
    EXPECT_EQ(kd_system_ifaddr_add_ip4("eth0", "10.1.2.3", "255.255.255.0"), 0);
    EXPECT_EQ(kd_system_ifaddr_del_ip4("eth1", "10.1.2.4", "255.255.0.0"), 0);
    EXPECT_EQ(cmds_.calls(), (std::vector<std::string>{"ip address add 10.1.2.3/24 dev eth0",
                                                       "ip address del 10.1.2.4/16 dev eth1"}));
    cmds_.clear();
    EXPECT_EQ(kd_system_ifaddr_add_ip4("eth0", "10.1.2.3;reboot", "255.255.255.0"), -1);
    EXPECT_EQ(kd_system_ifaddr_add_ip4("eth0", "10.1.2.3", "255.255.0.255"), -1);
    EXPECT_EQ(kd_system_ifaddr_add_ip4("../eth0", "10.1.2.3", "255.255.255.0"), -1);
    EXPECT_TRUE(cmds_.calls().empty());
    EXPECT_EQ(log_.count("address mask invalid 255.255.0.255"), 1);
    cmds_.fail("ip", "add");
    EXPECT_EQ(kd_system_ifaddr_add_ip4("eth0", "10.1.2.3", "255.255.255.0"), -1);
    EXPECT_EQ(log_.count("[frame] [system] address change error exit status (1)"), 1);
}

TEST_F(SystemCmds, UnitFileEditsAndOneRestartPerBurst)
{
    write_file(unit("eth0"), "[Network]\nDHCP=no\nAddress=192.168.0.10/24\nGateway=192.168.0.1\n");
    ASSERT_EQ(kd_system_update_network_cfg("eth0", "x", "y", "10.0.0.7", "255.255.255.128"), 0);
    EXPECT_EQ(read_file(unit("eth0")), "[Network]\nDHCP=no\nAddress=10.0.0.7/25\nGateway=192.168.0.1\n");
    EXPECT_EQ(kd::network_restart_needed, 2);

    ASSERT_EQ(kd_system_update_network_cfg_dynamic("eth0", 1), 0);
    EXPECT_EQ(read_file(unit("eth0")), "[Network]\nDHCP=v4\n#Address=10.0.0.7/25\n#Gateway=192.168.0.1\n");
    EXPECT_EQ(kd_system_device_is_dynamic("eth0"), 1);
    ASSERT_EQ(kd_system_update_network_cfg_dynamic("eth0", 0), 0);
    EXPECT_EQ(read_file(unit("eth0")), "[Network]\nDHCP=no\nAddress=10.0.0.7/25\nGateway=192.168.0.1\n");

    // The alive tick: the restart comes once, on the second tick after the
    // last edit.
    cmds_.clear();
    const kd::AliveHooks hooks{[] { return false; }, [] { return -1; }, [] {}, kd_system_restart_networkd};
    kd::AliveState state;
    kd::alive_tick(state, kd::network_restart_needed, hooks);
    kd_system_update_network_cfg("eth0", "", "", "10.0.0.8", "255.255.255.0");
    for (int i = 0; i < 4; ++i)
        kd::alive_tick(state, kd::network_restart_needed, hooks);
    const auto calls = cmds_.calls();
    ASSERT_EQ(calls.size(), 3u);
    EXPECT_EQ(calls[1], "systemctl daemon-reload");
    EXPECT_EQ(calls[2], "systemctl restart systemd-networkd");

    // A failed edit is a failure and asks for no restart.
    kd::network_restart_needed = 0;
    cmds_.fail("sed", "Address");
    EXPECT_EQ(kd_system_update_network_cfg("eth0", "", "", "10.0.0.9", "255.255.255.0"), -1);
    EXPECT_EQ(kd::network_restart_needed, 0);
    EXPECT_EQ(kd_system_update_network_cfg("eth0", "", "", "10.0.0.9", "255.0.255.0"), -1);
}

TEST_F(SystemCmds, DeviceIsDynamicReadsOnlyLaterLinesOfTheHead)
{
    struct {
        const char *text;
        int dynamic;
    } cases[] = {
        {"[Network]\nDHCP=v4\n", 1},
        {"DHCP=v4\n[Network]\n", 0},
        {"[Network]\n#DHCP=v4\nDHCP=no\n", 0},
        {"[Network]\n", 0},
    };
    for (const auto &c : cases) {
        write_file(unit("eth1"), c.text);
        EXPECT_EQ(kd_system_device_is_dynamic("eth1"), c.dynamic) << c.text;
    }
    write_file(unit("eth1"), "[Network]\n#" + std::string(130, 'x') + "\nDHCP=v4\n");
    EXPECT_EQ(kd_system_device_is_dynamic("eth1"), 0);
    EXPECT_EQ(kd_system_device_is_dynamic("eth9"), 0); // no file
}

TEST_F(SystemCmds, GatewayIsReplacedAndRestoredOnFailure)
{
    write_file(unit("eth0"), "[Network]\nAddress=10.0.0.2/24\nGateway=10.0.0.1\n");
    const std::string route_hdr = "Iface\tDestination\tGateway \tFlags\tRefCnt\tUse\tMetric\tMask\t\tMTU\tWindow\tIRTT\n";
    // 10.0.0.1 as the kernel prints it (the address word in memory order).
    write_file(root_ / "proc/net/route", route_hdr + "eth0\t0000000A\t00000000\t0001\t0\t0\t0\t00FFFFFF\t0\t0\t0\n" +
                                             "eth0\t00000000\t0100000A\t0003\t0\t0\t0\t00000000\t0\t0\t0\n");
    char gw[16];
    EXPECT_STREQ(kd_system_get_gateway(gw, sizeof gw), "10.0.0.1");

    ASSERT_EQ(kd_system_set_gateway("10.0.0.254"), 0);
    EXPECT_EQ(cmds_.calls(), (std::vector<std::string>{"route delete default gw 10.0.0.1 eth0",
                                                       "route add default gw 10.0.0.254 eth0",
                                                       "sed -i s/Gateway=.*/Gateway=10.0.0.254/ " + unit("eth0")}));
    EXPECT_NE(read_file(unit("eth0")).find("Gateway=10.0.0.254\n"), std::string::npos);

    cmds_.clear();
    cmds_.fail("route", "10.0.0.99");
    EXPECT_EQ(kd_system_set_gateway("10.0.0.99"), -1);
    EXPECT_EQ(cmds_.calls(), (std::vector<std::string>{"route delete default gw 10.0.0.1 eth0",
                                                       "route add default gw 10.0.0.99 eth0",
                                                       "route add default gw 10.0.0.1 eth0"}));

    // No gateway yet: nothing to delete, and nothing to restore.
    write_file(root_ / "proc/net/route", route_hdr);
    cmds_.clear();
    EXPECT_EQ(kd_system_set_gateway("10.0.0.99"), -1);
    EXPECT_EQ(cmds_.calls(), (std::vector<std::string>{"route add default gw 10.0.0.99 eth0"}));

    cmds_.clear();
    EXPECT_EQ(kd_system_set_gateway("10.0.0.99 eth1"), -1);
    EXPECT_EQ(kd_system_set_gateway("not-an-address"), -1);
    EXPECT_TRUE(cmds_.calls().empty());
}

TEST_F(SystemCmds, NtpServerReadAndWritten)
{
    const std::string conf = root_ / "etc/systemd/timesyncd.conf";
    char buf[64];
    EXPECT_STREQ(kd_system_get_ntp_server(buf, sizeof buf), "0.0.0.0"); // no file
    write_file(conf, "[Time]\n#NTP=9.9.9.9\n  NTP=\n\tNTP=10.2.3.4 10.2.3.5\nNTP=10.7.7.7\n");
    EXPECT_STREQ(kd_system_get_ntp_server(buf, sizeof buf), "10.2.3.4");
    write_file(conf, "[Time]\nNTP=\n");
    EXPECT_STREQ(kd_system_get_ntp_server(buf, sizeof buf), "0.0.0.0");

    write_file(conf, "[Time]\n#NTP=9.9.9.9\nNTP=10.2.3.4\n");
    ASSERT_EQ(kd_system_set_ntp_server("10.0.0.5"), 0);
    EXPECT_EQ(read_file(conf), "[Time]\n#NTP=9.9.9.9\nNTP=10.0.0.5\n");
    EXPECT_EQ(cmds_.calls().back(), "systemctl restart systemd-timesyncd.service");

    cmds_.clear();
    for (const char *bad : {"10.0.0.5/", "x/;e reboot", "", "1.2.3.4 5.6.7.8"})
        EXPECT_EQ(kd_system_set_ntp_server(bad), -1) << bad;
    EXPECT_TRUE(cmds_.calls().empty());
    cmds_.fail("systemctl", "timesyncd");
    EXPECT_EQ(kd_system_set_ntp_server("10.0.0.6"), -1);
    EXPECT_EQ(log_.count("NTP Server restart error exit status (1)"), 1);
}

TEST_F(SystemCmds, ServiceModeEnablesOrStopsAndDisables)
{
    EXPECT_EQ(kd_system_set_service_mode(1, "avahi-daemon.service"), 0);
    EXPECT_EQ(kd_system_set_service_mode(0, "avahi-daemon.service"), 0);
    EXPECT_EQ(cmds_.calls(), (std::vector<std::string>{"systemctl enable --now avahi-daemon.service",
                                                       "systemctl stop avahi-daemon.service",
                                                       "systemctl disable avahi-daemon.service"}));
    cmds_.clear();
    cmds_.fail("systemctl", "stop");
    EXPECT_EQ(kd_system_set_service_mode(0, "avahi-daemon.service"), -1);
    EXPECT_EQ(cmds_.calls().size(), 1u); // no disable after a failed stop
    EXPECT_EQ(kd_system_set_service_mode(1, "--now"), -1);
}

} // namespace

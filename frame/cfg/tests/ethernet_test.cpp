// The "Ethernet Interfaces" table on a card (non-native root) inside a
// network namespace with eth0 and eth1: rows from the interfaces, addresses
// from netlink, unit-file edits through the stand-in sed, and the access
// of the address members following DHCP.
#include <kerrow/cuvent.h>
#include <kerrow/frame.h>
#include <kerrow/param.h>
#include <kerrow/system.h>

#include "cfg_test_util.h"
#include "cmd_standins.h"
#include "netrig.h"
#include "run_until.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace {

namespace fs = std::filesystem;
using kdtest::access;
using kdtest::set;
using kdtest::value;

std::string read_file(const std::string &path)
{
    std::ifstream in(path);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

TEST(EthernetRows, AddressesDhcpAndGateway)
{
    if (const std::string why = xsbsim::net_rig::skip_reason(); !why.empty())
        GTEST_SKIP() << why;
    kdtest::TempRoot root;
    kdtest::LogCapture log;
    kdtest::CommandStandins cmds(root / "cmds");
    xsbsim::net_rig rig;
    const auto ip = [&](const std::string &args) {
        return std::system(("ip -n " + rig.card() + " " + args + " >/dev/null 2>&1").c_str());
    };
    // No eth2: a card without a backplane has no carriers to discover.
    ASSERT_EQ(ip("link del eth2"), 0);
    ASSERT_EQ(ip("address add 10.66.0.2/16 dev eth0"), 0);
    fs::create_directories(root / "opt/pkg/var");
    std::ofstream(root / "opt/pkg/var/oem") << "";
    const std::string unit0 = root / "etc/systemd/network/eth0.network";
    fs::create_directories(fs::path(unit0).parent_path());
    std::ofstream(unit0) << "[Network]\nDHCP=no\nAddress=10.66.0.2/16\nGateway=10.66.0.1\n";
    std::ofstream(root / "etc/systemd/network/eth1.network") << "[Network]\nDHCP=v4\n";

    xsbsim::net_rig::enter in(rig.card());
    kd_frame_init();
    const std::string r1 = "frame/ethernet_interfaces/ip_1/", r2 = "frame/ethernet_interfaces/ip_2/";
    EXPECT_EQ(value(r1 + "ip_address"), "10.66.0.2");
    EXPECT_EQ(value(r1 + "ip_mask"), "255.255.0.0");
    EXPECT_EQ(value(r1 + "dhcp"), "OFF");
    EXPECT_EQ(access(r1 + "ip_address"), PARAMCTRL_RDWR_NOPERSIST);
    EXPECT_EQ(access("frame/gateway_address"), PARAMCTRL_RDWR_NOPERSIST);
    EXPECT_EQ(value(r2 + "dhcp"), "ON");
    EXPECT_EQ(access(r2 + "ip_address"), PARAMCTRL_RDONLY);
    EXPECT_EQ(value(r2 + "ip_address"), "0.0.0.0");
    EXPECT_NE(value(r1 + "hw_address"), "<none>");
    EXPECT_EQ(value(r1 + "rx_packets").find_first_not_of("0123456789"), std::string::npos);
    EXPECT_EQ(kd_system_address_is_valid("eth0"), 1);
    EXPECT_EQ(kd_system_address_is_valid("eth1"), 0);
    EXPECT_EQ(kd_system_address_is_valid("eth2"), 0);
    EXPECT_STREQ(kd_system_get_intf_ip_address("eth0"), "10.66.0.2");
    EXPECT_EQ(kd_system_get_intf_ip_address("eth2"), nullptr);

    // An address from netlink updates the row; one for eth2 changes nothing.
    ASSERT_EQ(ip("address add 10.55.1.9/24 dev eth1"), 0);
    EXPECT_TRUE(kdtest::run_until([&] { return value(r2 + "ip_address") == "10.55.1.9"; }));
    EXPECT_EQ(value(r2 + "ip_mask"), "255.255.255.0");
    system_address_change_data other{"eth2", "10.9.9.9"};
    kd_cuvent_emit(nullptr, "system_address_change", &other);
    EXPECT_EQ(value(r1 + "ip_address"), "10.66.0.2");
    EXPECT_EQ(value(r2 + "ip_address"), "10.55.1.9");

    // A new static address goes to the unit file; the old one leaves eth0.
    cmds.clear();
    EXPECT_EQ(set(r1 + "ip_address", "10.66.0.9"), 0);
    EXPECT_EQ(value(r1 + "ip_address"), "10.66.0.9");
    EXPECT_NE(read_file(unit0).find("Address=10.66.0.9/16\n"), std::string::npos);
    EXPECT_EQ(cmds.calls().back(), "ip address del 10.66.0.2/16 dev eth0");
    for (const char *bad : {"10.66.0.300", "10.66.0.9/8", "x"})
        EXPECT_EQ(set(r1 + "ip_address", bad), 1) << bad;
    EXPECT_EQ(set(r1 + "ip_mask", "255.0.255.0"), 1);
    EXPECT_EQ(set(r1 + "ip_mask", "255.255.255.0"), 0);
    EXPECT_NE(read_file(unit0).find("Address=10.66.0.9/24\n"), std::string::npos);

    // DHCP on: the address members and the gateway become read-only.
    EXPECT_EQ(set(r1 + "dhcp", "ON"), 0);
    EXPECT_EQ(read_file(unit0), "[Network]\nDHCP=v4\n#Address=10.66.0.9/24\n#Gateway=10.66.0.1\n");
    for (const std::string &r : {r1 + "ip_address", r1 + "ip_mask", std::string("frame/gateway_address")})
        EXPECT_EQ(access(r), PARAMCTRL_RDONLY) << r;
    EXPECT_EQ(set(r1 + "dhcp", "OFF"), 0);
    for (const std::string &r : {r1 + "ip_address", r1 + "ip_mask", std::string("frame/gateway_address")})
        EXPECT_EQ(access(r), PARAMCTRL_RDWR_NOPERSIST) << r;
    // A switch the unit file refuses leaves the row as it was.
    cmds.fail("sed", "DHCP");
    EXPECT_EQ(set(r2 + "dhcp", "OFF"), 1);
    EXPECT_EQ(value(r2 + "dhcp"), "ON");
    EXPECT_EQ(set(r2 + "dhcp", "MAYBE"), 1);
    kd_frame_fini();
}

} // namespace

// Link and address notifications from a private network namespace reach
// the framework as "system_link_change" and "system_address_change".
#include <kerrow/cuvent.h>
#include <kerrow/frame.h>
#include <kerrow/system.h>

#include "netrig.h"
#include "run_until.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>
#include <ifaddrs.h>
#include <linux/if_link.h>
#include <net/if.h>
#include <string>
#include <vector>

namespace {

using kdtest::run_until;

struct Seen {
    std::vector<std::pair<std::string, int>> links;
    std::vector<std::pair<std::string, std::string>> addresses;
};

void on_link(cuvent_wrapper *w)
{
    const auto *d = static_cast<const system_link_change_data *>(w->emit_ctx);
    static_cast<Seen *>(w->cb_ctx)->links.emplace_back(d->device_name, d->up);
}

void on_address(cuvent_wrapper *w)
{
    const auto *d = static_cast<const system_address_change_data *>(w->emit_ctx);
    static_cast<Seen *>(w->cb_ctx)->addresses.emplace_back(d->device_name, d->address);
}

// "ip -n CARD ARGS" in the rig's card namespace; 0 on success.
int ip(const xsbsim::net_rig &rig, const std::string &args)
{
    return std::system(("ip -n " + rig.card() + " " + args + " >/dev/null 2>&1").c_str());
}

int count_addr(const Seen &s, const std::string &dev, const std::string &addr)
{
    int n = 0;
    for (const auto &a : s.addresses)
        n += a.first == dev && a.second == addr;
    return n;
}

TEST(SystemNetlink, LinkAndAddressEventsFromANamespace)
{
    if (const std::string why = xsbsim::net_rig::skip_reason(); !why.empty())
        GTEST_SKIP() << why;
    kdtest::TempRoot root;
    kdtest::LogCapture log;
    xsbsim::net_rig rig;
    xsbsim::net_rig::enter in(rig.card());
    unsetenv("DBUS_SYSTEM_BUS_ADDRESS");
    kd_frame_init();
    Seen seen;
    kd_cuvent_register_cb(nullptr, "system_link_change", on_link, &seen, CUVFLT_NONE);
    kd_cuvent_register_cb(nullptr, "system_address_change", on_address, &seen, CUVFLT_NONE);

    // The start-up dump reports the namespace's links; veths with their
    // peers up are running.
    EXPECT_TRUE(run_until([&] { return kd_system_link_is_up("eth1") == 0x40 && kd_system_link_is_up("eth0") == 0x40; }));
    EXPECT_TRUE(run_until([] { return kd_system_link_is_up("eth2") == 0x40; }));
    EXPECT_EQ(kd_system_link_is_up("peer0"), -1);

    ASSERT_EQ(ip(rig, "address add 10.77.0.5/24 dev eth1"), 0);
    EXPECT_TRUE(run_until([&] { return count_addr(seen, "eth1", "10.77.0.5") == 1; }));

    // An untracked interface: an event, no state. Its link message also asks
    // for an address dump, which repeats eth1's known address: no new event.
    seen.links.clear();
    ASSERT_EQ(ip(rig, "link add eth3 type veth peer name peer3"), 0);
    EXPECT_TRUE(run_until([&] {
        for (const auto &l : seen.links)
            if (l.first == "eth3")
                return true;
        return false;
    }));
    EXPECT_EQ(kd_system_link_is_up("eth3"), -1);
    run_until([] { return false; }, 0.3);
    EXPECT_EQ(count_addr(seen, "eth1", "10.77.0.5"), 1);

    // A deleted address is only logged; a changed address is one event.
    ASSERT_EQ(ip(rig, "address del 10.77.0.5/24 dev eth1"), 0);
    EXPECT_TRUE(run_until([&] { return log.count("Deleted address is 10.77.0.5") > 0; }));
    ASSERT_EQ(ip(rig, "address add 10.77.0.6/24 dev eth1"), 0);
    EXPECT_TRUE(run_until([&] { return count_addr(seen, "eth1", "10.77.0.6") == 1; }));

    ASSERT_EQ(ip(rig, "link set eth1 down"), 0);
    EXPECT_TRUE(run_until([&] { return kd_system_link_is_up("eth1") == 0; }));

    char name[32], mac[32];
    const int idx = static_cast<int>(if_nametoindex("eth0"));
    EXPECT_STREQ(kd_system_get_if_name(name, sizeof name, idx), "eth0");
    EXPECT_STREQ(kd_system_get_if_name(name, sizeof name, 999999), "unknown");
    EXPECT_STREQ(kd_system_get_if_name(name, 4, 999999), "unk");
    EXPECT_STRNE(kd_system_get_mac_address(mac, sizeof mac, "eth0"), "00:00:00:00:00:00");
    EXPECT_STREQ(kd_system_get_mac_address(mac, sizeof mac, "nosuch0"), "00:00:00:00:00:00");

    // Interface-list lookups by name and family.
    ifaddrs *list = nullptr;
    ASSERT_EQ(getifaddrs(&list), 0);
    rtnl_link_stats stats{};
    EXPECT_EQ(kd_system_get_packet_stats(&stats, "eth0", list), 0);
    EXPECT_EQ(kd_system_get_packet_stats(&stats, "nosuch0", list), -1);
    EXPECT_NE(kd_system_ifaddr_get_ip4("eth1", list), nullptr);
    EXPECT_EQ(kd_system_ifaddr_get_ip4("eth0", list), nullptr);
    EXPECT_NE(kd_system_ifaddr_get_packet("eth0", list), nullptr);
    freeifaddrs(list);
    kd_frame_fini();
}

} // namespace

// The resolved-address record. Only numeric texts are resolved here (no
// name service is asked).
#include "test_support.h"

#include <kerrow/remote.h>

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cstdlib>
#include <cstring>
#include <string>

namespace {

struct Addr {
    remote_addr ra{};
    ~Addr() { kd_remote_addr_fini(&ra); }
};

TEST(RemoteAddr, ClassifiesDottedAddresses)
{
    struct Case {
        const char *text;
        bool mcast, any_local, empty;
    } cases[] = {
        {"239.1.1.1", true, false, false},      {"224.0.0.0", true, false, false},
        {"240.0.0.1", false, false, false},     {"223.255.255.255", false, false, false},
        {"0.0.0.0", false, true, false},        {"255.255.255.255", false, false, true},
        {"10.0.0.1", false, false, false},
    };
    kdtest::LogCapture log;
    for (const auto &c : cases) {
        Addr a;
        ASSERT_EQ(kd_remote_addr_init(&a.ra, c.text, "5000"), 0) << c.text;
        EXPECT_TRUE(kd_remote_addr_has_addr(&a.ra)) << c.text;
        EXPECT_EQ(kd_remote_addr_is_mcast(&a.ra), c.mcast) << c.text;
        EXPECT_EQ(kd_remote_addr_is_any_local(&a.ra), c.any_local) << c.text;
        EXPECT_EQ(kd_remote_addr_is_empty(&a.ra), c.empty) << c.text;
        EXPECT_FALSE(kd_remote_addr_is_name(&a.ra)) << c.text;
        EXPECT_STREQ(a.ra.addrstr, c.text);
        char buf[INET_ADDRSTRLEN];
        EXPECT_STREQ(kd_remote_addr_get_addr(&a.ra, buf, sizeof buf), c.text);
        EXPECT_EQ(ntohs(reinterpret_cast<sockaddr_in *>(a.ra.addr)->sin_port), 5000);
    }
    EXPECT_EQ(log.count("[frame] name is 239.1.1.1, addr is 239.1.1.1, oct is 239\n"), 1);
}

TEST(RemoteAddr, HostNameTextIsANameAndEmptyRecordHasNothing)
{
    Addr a;
    a.ra.addrstr = strdup("encoder1");
    EXPECT_TRUE(kd_remote_addr_is_name(&a.ra));
    EXPECT_FALSE(kd_remote_addr_has_addr(&a.ra));
    EXPECT_FALSE(kd_remote_addr_is_any_local(&a.ra));
    EXPECT_FALSE(kd_remote_addr_is_empty(&a.ra));
    char buf[32];
    EXPECT_EQ(kd_remote_addr_get_addr(&a.ra, buf, sizeof buf), nullptr);
    EXPECT_EQ(kd_remote_addr_set_port(&a.ra, 80), -1);
    EXPECT_FALSE(kd_remote_addr_is_name(nullptr));
}

TEST(RemoteAddr, PortMustBeWithinOneTo65535)
{
    Addr a;
    ASSERT_EQ(kd_remote_addr_init(&a.ra, "10.1.2.3", nullptr), 0);
    struct Case {
        int port, rc;
    } cases[] = {{0, -1}, {65536, -1}, {-5, -1}, {1, 0}, {65535, 0}, {5005, 0}};
    for (const auto &c : cases) {
        ASSERT_EQ(kd_remote_addr_set_port(&a.ra, 1234), 0);
        EXPECT_EQ(kd_remote_addr_set_port(&a.ra, c.port), c.rc) << c.port;
        EXPECT_EQ(ntohs(reinterpret_cast<sockaddr_in *>(a.ra.addr)->sin_port),
                  c.rc == 0 ? c.port : 1234)
            << c.port;
    }
}

TEST(RemoteAddr, AddressThatDoesNotFitIsNotWritten)
{
    Addr a;
    ASSERT_EQ(kd_remote_addr_init(&a.ra, "192.168.100.200", nullptr), 0);
    char buf[16];
    EXPECT_EQ(kd_remote_addr_get_addr(&a.ra, buf, 15), nullptr);
    EXPECT_STREQ(kd_remote_addr_get_addr(&a.ra, buf, 16), "192.168.100.200");
}

TEST(RemoteAddr, ReinitReplacesThePreviousAddressAndFailureLeavesNoAddress)
{
    kdtest::LogCapture log;
    Addr a;
    ASSERT_EQ(kd_remote_addr_init(&a.ra, "239.0.0.1", "1"), 0);
    // Re-initialised in place, as a changed setting does; the sanitizer
    // build catches a leak of the first address.
    ASSERT_EQ(kd_remote_addr_init(&a.ra, "10.0.0.9", "2"), 0);
    EXPECT_FALSE(kd_remote_addr_is_mcast(&a.ra));
    EXPECT_STREQ(a.ra.addrstr, "10.0.0.9");

    // An IPv6 address resolves, but not to IPv4.
    EXPECT_EQ(kd_remote_addr_init(&a.ra, "::1", nullptr), -1);
    EXPECT_FALSE(kd_remote_addr_has_addr(&a.ra));
    EXPECT_FALSE(kd_remote_addr_is_mcast(&a.ra));
    EXPECT_EQ(kd_remote_addr_init(&a.ra, nullptr, nullptr), -1);
    EXPECT_EQ(log.count("Failed to init remote addr ::1"), 1);
    kd_remote_addr_fini(&a.ra);
    EXPECT_EQ(a.ra.addr, nullptr);
    EXPECT_EQ(a.ra.addrstr, nullptr);
}

} // namespace

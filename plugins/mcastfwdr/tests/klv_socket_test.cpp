// KLV source sockets on a simulated card (its own network namespaces): a
// group is joined on the source's interface, the any-address binds the
// port, and a source that can no longer receive closes its socket and
// route. Needs root; skips otherwise.
#include "scenario.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

namespace {

using mcftest::scenario;
using mcftest::send_to_card;
using mcftest::set_param;

// The next datagram on fd (waiting up to 5 s), and whether it came with
// its kernel receive time.
std::string receive(int fd, bool *stamped)
{
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 5000) != 1)
        return {};
    char data[256], control[256];
    iovec iov{data, sizeof data};
    msghdr m{};
    m.msg_iov = &iov;
    m.msg_iovlen = 1;
    m.msg_control = control;
    m.msg_controllen = sizeof control;
    const ssize_t n = recvmsg(fd, &m, 0);
    *stamped = false;
    for (cmsghdr *c = CMSG_FIRSTHDR(&m); c; c = CMSG_NXTHDR(&m, c))
        *stamped = *stamped || (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_TIMESTAMPNS);
    return n > 0 ? std::string(data, size_t(n)) : std::string();
}

class KlvSockets : public ::testing::Test {
protected:
    void SetUp() override
    {
        const std::string why = scenario::skip_reason();
        if (!why.empty())
            GTEST_SKIP() << why;
    }
    static std::string route(int id, const char *key)
    {
        return "mcastfwdr/rules/klv_sources/klv_source_" + std::to_string(id) + "/" + key;
    }
    static bool contains(const std::string &text, const std::string &what)
    {
        return text.find(what) != std::string::npos;
    }
};

TEST_F(KlvSockets, SourcesReceiveOnlyWhileTheyCan)
{
    scenario card(3);
    card.start_linked();
    mcastfwdr_klv_fini(); // this test reads the sources' sockets itself
    auto &log = card.log();
    ASSERT_EQ(set_param("mcastfwdr/add_klv_source_rule", "Yes"), PARAM_SET_SUCCESS);
    ASSERT_EQ(set_param("mcastfwdr/add_klv_source_rule", "Yes"), PARAM_SET_SUCCESS);
    cfg_rx_klv *group = mcfcfg_rx_klv_find_by_id(0);
    cfg_rx_klv *any = mcfcfg_rx_klv_find_by_id(1);
    ASSERT_TRUE(group && any);

    // A group: joined on eth1 through the source's host route.
    ASSERT_EQ(set_param(route(0, "ip_address"), "239.10.0.1"), PARAM_SET_SUCCESS);
    ASSERT_GE(group->sockfd, 0);
    EXPECT_EQ(log.count("Created Rx socket (" + std::to_string(group->sockfd) + ") for KLV Source 0 as mcast"), 1);
    EXPECT_TRUE(contains(card.card_output("ip maddr show dev eth1"), "239.10.0.1"));
    EXPECT_TRUE(contains(card.card_output("ip route show"), "239.10.0.1 dev eth1"));
    ASSERT_EQ(card.in_chassis("ip addr add 10.77.1.2/24 dev peer1"), 0);
    ASSERT_TRUE(send_to_card(card, "239.10.0.1", 3000, "klv group"));
    bool stamped = false;
    EXPECT_EQ(receive(group->sockfd, &stamped), "klv group");
    EXPECT_TRUE(stamped);

    // The any-address: the port bound on every local address.
    ASSERT_EQ(set_param(route(1, "port"), "3001"), PARAM_SET_SUCCESS);
    ASSERT_EQ(set_param(route(1, "ip_address"), "0.0.0.0"), PARAM_SET_SUCCESS);
    ASSERT_GE(any->sockfd, 0);
    EXPECT_EQ(log.count("for KLV Source 1 as ucast"), 1);
    EXPECT_TRUE(contains(card.card_output("ss -uln"), "0.0.0.0:3001"));
    ASSERT_TRUE(send_to_card(card, "10.77.1.1", 3001, "klv any"));
    EXPECT_EQ(receive(any->sockfd, &stamped), "klv any");

    // A new port is a new socket.
    ASSERT_EQ(set_param(route(1, "port"), "3002"), PARAM_SET_SUCCESS);
    EXPECT_EQ(log.count("for KLV Source 1 as ucast"), 2);
    const std::string bound = card.card_output("ss -uln");
    EXPECT_TRUE(contains(bound, "0.0.0.0:3002"));
    EXPECT_FALSE(contains(bound, "0.0.0.0:3001"));

    // Rate and PID leave the socket alone.
    const int fd = group->sockfd;
    ASSERT_EQ(set_param(route(0, "rate"), "1000"), PARAM_SET_SUCCESS);
    ASSERT_EQ(set_param(route(0, "pid"), "300"), PARAM_SET_SUCCESS);
    EXPECT_EQ(group->sockfd, fd);
    EXPECT_EQ(log.count("for KLV Source 0 as mcast"), 1);

    // Moved to an interface that is down: socket, membership and route go.
    ASSERT_EQ(card.in_card("ip link set eth0 down"), 0);
    ASSERT_TRUE(mcftest::run_loop_until([] { return !mcastfwdr_eth_intf_is_operational("eth0"); }));
    ASSERT_EQ(set_param(route(0, "interface"), "Port 1"), PARAM_SET_SUCCESS);
    EXPECT_EQ(group->sockfd, -1);
    EXPECT_EQ(log.count("eth0 link is down, failed to create rx socket: 239.10.0.1:3000"), 1);
    EXPECT_FALSE(contains(card.card_output("ip maddr show dev eth1"), "239.10.0.1"));
    EXPECT_FALSE(contains(card.card_output("ip route show"), "239.10.0.1"));
    EXPECT_EQ(_mcastfwdr_restart_klv_source(group), -1);
    EXPECT_GE(any->sockfd, 0) << "the other interface's source keeps receiving";

    // The interface comes back: so does the source, on it.
    ASSERT_EQ(card.in_card("ip link set eth0 up"), 0);
    ASSERT_TRUE(mcftest::run_loop_until([&] { return group->sockfd >= 0; }));
    EXPECT_TRUE(contains(card.card_output("ip maddr show dev eth0"), "239.10.0.1"));
    EXPECT_TRUE(contains(card.card_output("ip route show"), "239.10.0.1 dev eth0"));

    // Removed: socket and route go with the row.
    ASSERT_EQ(set_param("mcastfwdr/rem_klv_source_rule", "0"), PARAM_SET_SUCCESS);
    EXPECT_FALSE(contains(card.card_output("ip maddr show dev eth0"), "239.10.0.1"));
    EXPECT_FALSE(contains(card.card_output("ip route show"), "239.10.0.1"));
}

} // namespace

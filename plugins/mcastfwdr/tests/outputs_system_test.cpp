// Output managers on a simulated card: NET outputs open their transmit
// sockets with the time to live asked and host routes for their groups, a
// redundant RTP destination gets a second socket (UDP none), a socket that
// cannot be made or a link going down leaves no manager, and the link
// coming back rebuilds it. Needs root; skips otherwise.
#include "outputs/manager_output.h"
#include "scenario.h"

#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdio>
#include <string>

namespace {

using mcftest::scenario;

class OutputsOnCard : public ::testing::Test {
protected:
    void SetUp() override
    {
        const std::string why = scenario::skip_reason();
        if (!why.empty())
            GTEST_SKIP() << why;
    }
    static cfg_tx *output(int id, const char *node, int port, const char *intf)
    {
        cfg_tx *tx = mcftest::must(mcfcfg_tx_add_net(&mcf_cfg, id), "a new output");
        std::snprintf(tx->dest_node, sizeof tx->dest_node, "%s", node);
        kd_remote_addr_init(&tx->ra, node, nullptr);
        tx->dest_port = port;
        std::snprintf(tx->dest_intf, sizeof tx->dest_intf, "%s", intf);
        tx->dest_transmit = DEST_XMIT_ON;
        tx->dest_ip_ttl = 9;
        cfg_tx_input *s = mcftest::must(cfg_tx_input_add(tx), "a service");
        s->input_id = 100;
        s->input_prog_num = 1;
        return tx;
    }
    static void redundant(cfg_tx *tx, protocol_type protocol, const char *node)
    {
        tx->dest_protocol = protocol;
        tx->redundant_transmit = REDUNDANT_XMIT_ON;
        std::snprintf(tx->redundant_node, sizeof tx->redundant_node, "%s", node);
        kd_remote_addr_init(&tx->redundant_ra, node, nullptr);
        tx->redundant_port = 7000;
        std::snprintf(tx->redundant_intf, sizeof tx->redundant_intf, "eth1");
    }
    static int ttl_of(int fd)
    {
        int ttl = -1;
        socklen_t len = sizeof ttl;
        getsockopt(fd, IPPROTO_IP, IP_MULTICAST_TTL, &ttl, &len);
        return ttl;
    }
};

TEST_F(OutputsOnCard, SocketsRoutesAndLinkDown)
{
    scenario card(3);
    card.start_linked();
    auto &log = card.log();
    card.change([] {
        cfg_rx *rx = mcftest::must(mcfcfg_rx_add_net(100), "input 100");
        std::snprintf(rx->ingress_node, sizeof rx->ingress_node, "239.1.1.1");
        rx->ingress_port = 5000;
        kd_remote_addr_init(&rx->ra, "239.1.1.1", nullptr);
    });
    ASSERT_NE(manager_inputs_find_by_id(100), nullptr);
    card.change([] {
        redundant(output(0, "239.2.2.2", 6000, "eth0"), PROTOCOL_RTP, "239.2.2.3");
        redundant(output(1, "239.2.2.4", 6000, "eth0"), PROTOCOL_UDP, "239.2.2.5");
        output(2, "0.0.0.0", 6000, "eth0");
    });
    manager_output *rtp = manager_outputs_find_by_id(0);
    manager_output *udp = manager_outputs_find_by_id(1);
    ASSERT_NE(rtp, nullptr);
    ASSERT_NE(udp, nullptr);
    EXPECT_EQ(manager_outputs_find_by_id(2), nullptr);
    EXPECT_EQ(log.count("Failed to create Tx socket: 0.0.0.0/6000/eth0"), 1);
    EXPECT_GT(rtp->socket_id, 0);
    EXPECT_GT(rtp->redundant_socket_id, 0);
    EXPECT_EQ(ttl_of(rtp->socket_id), 9);
    EXPECT_EQ(ttl_of(rtp->redundant_socket_id), 9);
    EXPECT_GT(udp->socket_id, 0);
    EXPECT_EQ(udp->redundant_socket_id, -1);
    EXPECT_STREQ(rtp->route_id, "239.2.2.2 eth0");
    EXPECT_STREQ(rtp->redundant_route_id, "239.2.2.3 eth1");
    const std::string routes = card.card_output("ip route show");
    EXPECT_NE(routes.find("239.2.2.2 dev eth0"), std::string::npos) << routes;
    EXPECT_NE(routes.find("239.2.2.3 dev eth1"), std::string::npos) << routes;
    EXPECT_EQ(routes.find("239.2.2.5"), std::string::npos) << routes;

    // Link down: the outputs of the interface go, and come back with it.
    log.clear();
    ASSERT_EQ(card.in_card("ip link set eth0 down"), 0);
    EXPECT_TRUE(mcftest::run_loop_until([] { return manager_outputs_count() == 0; }));
    EXPECT_EQ(log.count("MCF: Output 0 Deleted"), 1);
    EXPECT_EQ(card.card_output("ip route show").find("239.2.2.3"), std::string::npos);
    ASSERT_EQ(card.in_card("ip link set eth0 up"), 0);
    EXPECT_TRUE(mcftest::run_loop_until([] { return manager_outputs_count() == 2; }));
}

} // namespace

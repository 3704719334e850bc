// Configuration lists: ids, lookups, removal with records kept in place,
// the routing-mode rate, and the route check that refuses bad pairs before
// anything reaches the kernel.
#include "engine_fixture.h"
#include "ingress/routes.h"

#include <kerrow/dataset.h>

#include <string>

namespace {

using mcftest::EngineTest;

class McfLists : public EngineTest {};

TEST_F(McfLists, IdsTakeTheSmallestFreeValue)
{
    for (int id : {100, 101, 103})
        mcfcfg_rx_add_net(id);
    EXPECT_EQ(mcfcfg_rx_add_net(-1)->ingress_id, 102);
    EXPECT_EQ(mcfcfg_rx_add_net(-1)->ingress_id, 104);

    EXPECT_EQ(mcfcfg_rx_add_xsb(2, 1, 1)->ingress_id, 1201);
    cfg_rx *unr = mcfcfg_rx_add_xsb(2, 1, 0);
    EXPECT_EQ(unr->ingress_id, 21);
    EXPECT_EQ(unr->ingress_is_routable, 0);
    EXPECT_EQ(unr->ingress_type, INGRTYPE_XSB);
    EXPECT_EQ(mcfcfg_rx_add_virt()->ingress_id, 0);
    EXPECT_EQ(mcfcfg_rx_add_asi(-1), nullptr);
    cfg_rx *asi = mcfcfg_rx_add_asi(2);
    ASSERT_NE(asi, nullptr);
    EXPECT_EQ(asi->ingress_id, 152);
    EXPECT_EQ(log_.count("MCF: CfgRx 152 type ASI (2)"), 1);

    EXPECT_EQ(mcfcfg_tx_add_dec(&mcf_cfg, 0)->dest_id, 0);
    EXPECT_EQ(mcfcfg_tx_add_dec(&mcf_cfg, 1)->egress_type, EGRTYPE_DEC);
    EXPECT_EQ(mcfcfg_tx_add_net(&mcf_cfg, -1)->dest_id, 2);
    EXPECT_EQ(mcfcfg_tx_add_asi(&mcf_cfg, -1)->egress_type, EGRTYPE_ASI);

    for (int id : {0, 2})
        mcfcfg_add_klv_source(id);
    EXPECT_EQ(mcfcfg_add_klv_source(-1)->id, 1);
    mcfcfg_add_ca_session(0);
    EXPECT_EQ(mcfcfg_add_ca_session(-1)->id, 1);
}

TEST_F(McfLists, LookupsAndRemovalKeepTheOtherRecordsInPlace)
{
    cfg_rx *a = net_input(100, "239.1.1.1", 5000);
    cfg_rx *b = net_input(101, "239.1.1.2", 5002);
    cfg_rx *c = net_input(102);
    EXPECT_EQ(mcfcfg_rx_find_by_port(5002), b);
    EXPECT_EQ(mcfcfg_rx_find_by_ui_label(c->ingress_ui_label), c);
    EXPECT_EQ(mcfcfg_rx_find_by_ui_label(nullptr), nullptr);
    EXPECT_TRUE(mcfcfg_port_used_in_net_inputs(&mcf_cfg, 5000));
    EXPECT_FALSE(mcfcfg_port_used_in_net_inputs(&mcf_cfg, -1)); // c is incomplete
    EXPECT_FALSE(mcfcfg_port_used_in_net_inputs(nullptr, 5000));
    EXPECT_LT(mcfcfg_rx_cmp_id(a, b), 0);

    EXPECT_EQ(mcfcfg_rx_rem(b), 0);
    EXPECT_EQ(mcfcfg_rx_rem(b), 0); // no longer listed: nothing happens
    EXPECT_EQ(mcfcfg_rx_find_by_id(101), nullptr);
    EXPECT_EQ(mcfcfg_rx_find_by_id(100), a);
    EXPECT_EQ(mcfcfg_rx_find_by_id(102), c);
    EXPECT_EQ(mcfcfg_rx_add_net(-1)->ingress_id, 101); // its id is free again

    cfg_tx *t0 = mcfcfg_tx_add_net(&mcf_cfg, -1);
    cfg_tx *t1 = mcfcfg_tx_add_net(&mcf_cfg, -1);
    cfg_tx_input_add(t0);
    EXPECT_EQ(mcfcfg_tx_rem(t0), 0);
    EXPECT_EQ(mcfcfg_tx_find_by_id(0), nullptr);
    EXPECT_EQ(mcfcfg_tx_find_by_id(1), t1);

    cfg_rx_klv *k = mcfcfg_add_klv_source(-1);
    k->sockfd = 42;
    std::snprintf(k->node, sizeof k->node, "239.3.3.3");
    std::snprintf(k->route_id, sizeof k->route_id, "239.3.3.3 eth1");
    uint8_t pkt[188];
    k->last_pkt = pkt;
    EXPECT_EQ(mcfcfg_rx_klv_find_by_sockfd(42), k);
    EXPECT_EQ(mcfcfg_rx_klv_find_by_lastpkt(pkt), k);
    EXPECT_EQ(mcfcfg_rx_klv_find_by_ui_label(k->ui_label), k);
    EXPECT_TRUE(mcfcfg_route_exists_in_klv_sources(&mcf_cfg, "239.3.3.3 eth1"));
    EXPECT_TRUE(mcfcfg_port_used_in_klv_sources(&mcf_cfg, k->port));
    EXPECT_TRUE(mcfcfg_rx_klv_member_has_unique_route(&mcf_cfg, k));
    kd_dataset *set = kd_dataset_ctor(50, 0);
    EXPECT_EQ(mcfcfg_rx_klv_collect_socket_ids(set), 1u);
    EXPECT_EQ(kd_dataset_exists(set, 42), 1);
    kd_dataset_dtor(set);
    k->sockfd = -1; // not ours to close
    EXPECT_EQ(mcfcfg_remove_klv_source(k), 0);
    EXPECT_EQ(mcfcfg_rx_klv_find_by_id(0), nullptr);

    cfg_ca *ca = mcfcfg_add_ca_session(-1);
    EXPECT_EQ(mcfcfg_ca_session_find_by_ui_label(ca->ui_label), ca);
    EXPECT_EQ(mcfcfg_remove_ca_session(ca), 0);
    EXPECT_EQ(mcfcfg_ca_session_find_by_id(0), nullptr);
}

TEST_F(McfLists, RoutingModeRateFollowsARoutableSingleInput)
{
    cfg_rx *in = net_input(100, "239.1.1.1", 5000);
    in->ingress_bps = 7000000;
    cfg_tx *tx = mcfcfg_tx_add_net(&mcf_cfg, -1);
    tx->dest_bps = 16000000;
    struct Case {
        dest_sim_select mode;
        int input;
        int routable;
        int want;
    } cases[] = {
        {DEST_SIM_OFF, 100, 1, 16000000},
        {DEST_SIM_ON, 100, 1, 7000000},
        {DEST_SIM_ON, 100, 0, 16000000}, // not routable
        {DEST_SIM_ON, 0, 1, 16000000},   // no input chosen
        {DEST_SIM_ON, 105, 1, 16000000}, // no such input
    };
    for (const Case &c : cases) {
        tx->dest_single_input_mode = c.mode;
        tx->dest_single_input_id = c.input;
        in->ingress_is_routable = c.routable;
        EXPECT_EQ(mcfcfg_tx_get_dest_bps_for_routing_mode(tx), c.want) << c.mode << " " << c.input;
    }
    EXPECT_EQ(log_.count("MCF: CfgTx 0 target BPS is: 7000000"), 1);
}

TEST_F(McfLists, ClearingACaSessionTouchesOnlyItsServices)
{
    cfg_tx *tx = mcfcfg_tx_add_net(&mcf_cfg, -1);
    cfg_tx_input *s1 = cfg_tx_input_add(tx), *s2 = cfg_tx_input_add(tx);
    s1->ca_session_id = 3;
    s2->ca_session_id = 4;
    mcfcfg_tx_input_clear_ca_session(&mcf_cfg, 3);
    EXPECT_EQ(s1->ca_session_id, -1);
    EXPECT_EQ(s2->ca_session_id, 4);
}

// Pairs that do not form a route are refused before the kernel is asked;
// valid ones in this machine's own namespace are refused too (a warning),
// so the test never changes the machine's routes.
TEST_F(McfLists, RouteCheckIsExact)
{
    struct Case {
        const char *addr;
        const char *intf;
        int rc;
    } cases[] = {
        {"239.1.1.1", "eth10", -1}, {"239.1.1.1", "eth1;x", -1}, {"239.1.1.1", "eth", -1},
        {"239.1.1.1", "wlan0", -1}, {"239.1.1", "eth1", -1},      {"239.1.1.256", "eth1", -1},
        {"239.1.1.1x", "eth1", -1}, {"1234.1.1.1", "eth1", -1},   {"239.1.1.1", "eth1", 0},
        {"10.0.0.1", "lo", 0},
    };
    for (const Case &c : cases) {
        log_.clear();
        EXPECT_EQ(mcf_route_apply_rule(c.addr, c.intf, true), c.rc) << c.addr << " " << c.intf;
        const std::string cmd = std::string("Command format invalid: 'route add -net ") + c.addr +
                                " netmask 255.255.255.255 dev " + c.intf + "'";
        EXPECT_EQ(log_.count(cmd), c.rc < 0 ? 1 : 0) << cmd;
        if (c.rc == 0) {
            EXPECT_EQ(log_.count("Unable to add route: <" + std::string(c.addr) + " " + c.intf + ">"), 1);
        }
    }
    EXPECT_EQ(mcf_route_apply_rule(nullptr, "eth1", false), -1);
}

} // namespace

namespace {

// KLV routes: none for 0.0.0.0; a shared one is neither added nor deleted
// twice (the kernel is not asked off a test namespace either way).
TEST_F(McfLists, KlvRoutesAreSharedAndNeverFor00000)
{
    auto source = [](const char *node) {
        cfg_rx_klv *k = mcfcfg_add_klv_source(-1);
        std::snprintf(k->node, sizeof k->node, "%s", node);
        return k;
    };
    cfg_rx_klv *any = source("0.0.0.0");
    EXPECT_EQ(mcf_route_rx_klv_add(any), -1);
    EXPECT_STREQ(any->route_id, "");
    cfg_rx_klv *a = source("239.4.4.4"), *b = source("239.4.4.4");
    EXPECT_EQ(mcf_route_rx_klv_add(a), 0);
    EXPECT_STREQ(a->route_id, "239.4.4.4 eth1");
    EXPECT_EQ(mcf_route_rx_klv_add(b), -1);
    EXPECT_EQ(log_.count("Route not added <239.4.4.4 eth1> - already exists"), 1);
    EXPECT_EQ(mcf_route_rx_klv_delete(a), 0);
    EXPECT_EQ(log_.count("Route not deleted <239.4.4.4 eth1> - used by another socket"), 1);
    EXPECT_STREQ(a->route_id, "");
    log_.clear();
    EXPECT_EQ(mcf_route_rx_klv_delete(b), 0);
    EXPECT_EQ(log_.count("Unable to delete route: <239.4.4.4 eth1>"), 1); // the last user; refused here
    EXPECT_EQ(mcf_route_rx_klv_delete(b), 0); // no route left: nothing
    EXPECT_EQ(log_.count("route"), 1);
}

} // namespace

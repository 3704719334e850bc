// The record setters: input and output port and address consistency, CA
// session bounds; labels numbered from any id.
#include "engine_fixture.h"

#include <netinet/in.h>

#include <climits>
#include <cstring>
#include <string>

namespace {

class CfgRecords : public mcftest::EngineTest {};

int port_of(const remote_addr &ra)
{
    return ra.addr ? ntohs(reinterpret_cast<const sockaddr_in *>(ra.addr)->sin_port) : -1;
}

TEST_F(CfgRecords, InputPortAndAddressSetters)
{
    cfg_rx *rx = mcfcfg_rx_add_net(-1);
    EXPECT_EQ(cfg_rx_set_port(rx, 65536), -1);
    EXPECT_EQ(cfg_rx_set_port(rx, -1), -1);
    EXPECT_EQ(rx->ingress_port, -1);
    EXPECT_EQ(cfg_rx_set_port(rx, 5000), 1);
    EXPECT_EQ(cfg_rx_set_port(rx, 5000), 0);

    struct Case {
        const char *text;
        int rc;
        const char *node;
    } cases[] = {
        {nullptr, -1, MCF_ADDR_UNSET},   {"", -1, MCF_ADDR_UNSET},       {"1234567", -1, MCF_ADDR_UNSET},
        {"10.0.0.1x", -1, MCF_ADDR_UNSET}, {"239.001.002.003", 1, "239.1.2.3"}, {"239.1.2.3", 0, "239.1.2.3"},
        {"0.0.0.0", 1, "0.0.0.0"},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(cfg_rx_set_node(rx, c.text), c.rc) << (c.text ? c.text : "null");
        EXPECT_STREQ(rx->ingress_node, c.node) << (c.text ? c.text : "null");
    }
    // The socket address follows the address and the port.
    char buf[64];
    ASSERT_EQ(cfg_rx_set_node(rx, "239.9.9.9"), 1);
    EXPECT_STREQ(kd_remote_addr_get_addr(&rx->ra, buf, sizeof buf), "239.9.9.9");
    EXPECT_TRUE(kd_remote_addr_is_mcast(&rx->ra));
    // A refused address leaves the SRT fields as they were.
    ASSERT_EQ(cfg_rx_set_srt_enable(rx, 1), 1);
    ASSERT_EQ(rx->srt_connect, SRT_LISTENER);
    EXPECT_EQ(cfg_rx_set_node(rx, "10.0.0.1x"), -1);
    EXPECT_TRUE(rx->srt_ingress_enabled);
    EXPECT_EQ(rx->srt_connect, SRT_LISTENER);
    ASSERT_EQ(cfg_rx_set_node(rx, "239.9.9.9"), 1);
    const std::string too_long = "1" + std::string(255, '0');
    EXPECT_EQ(cfg_rx_set_node(rx, too_long.c_str()), -1);
    EXPECT_STREQ(rx->ingress_node, "239.9.9.9");
}

TEST_F(CfgRecords, OutputPathsKeepAddressPortAndSocketAddressTogether)
{
    cfg_tx *tx = output(0, EGRTYPE_NET);
    char buf[64];
    EXPECT_EQ(cfg_tx_set_port(tx, 0, 0), -1);
    EXPECT_EQ(cfg_tx_set_port(tx, 1, 65536), -1);
    EXPECT_EQ(cfg_tx_set_port(tx, 0, 5000), 1);
    EXPECT_EQ(cfg_tx_set_port(tx, 0, 5000), 0);
    const std::string too_long = "1" + std::string(255, '0');
    for (const char *bad : {static_cast<const char *>(nullptr), "", "10.0.0.1x", too_long.c_str()})
        EXPECT_EQ(cfg_tx_set_node(tx, 0, bad), -1);
    EXPECT_EQ(cfg_tx_set_node(tx, 0, "239.001.002.003"), 1);
    EXPECT_EQ(cfg_tx_set_node(tx, 0, "239.1.2.3"), 0);
    EXPECT_EQ(cfg_tx_set_node(tx, 1, "239.1.2.4"), 1);
    EXPECT_EQ(cfg_tx_set_port(tx, 1, 5004), 1);
    EXPECT_STREQ(tx->dest_node, "239.1.2.3");
    EXPECT_EQ(tx->dest_port, 5000);
    EXPECT_STREQ(kd_remote_addr_get_addr(&tx->ra, buf, sizeof buf), "239.1.2.3");
    EXPECT_EQ(port_of(tx->ra), 5000);
    EXPECT_STREQ(kd_remote_addr_get_addr(&tx->redundant_ra, buf, sizeof buf), "239.1.2.4");
    EXPECT_EQ(port_of(tx->redundant_ra), 5004);
    // A revert puts text and socket address back together, port included.
    cfg_tx_put_node(tx, 0, "10.0.0.9");
    EXPECT_STREQ(tx->dest_node, "10.0.0.9");
    EXPECT_STREQ(kd_remote_addr_get_addr(&tx->ra, buf, sizeof buf), "10.0.0.9");
    EXPECT_EQ(port_of(tx->ra), 5000);
    EXPECT_FALSE(kd_remote_addr_is_mcast(&tx->ra));
}

TEST_F(CfgRecords, SrtSwitchAndModeMoveTheAddress)
{
    cfg_rx *rx = mcfcfg_rx_add_net(-1);
    ASSERT_EQ(cfg_rx_set_node(rx, "10.0.0.5"), 1);
    EXPECT_TRUE(rx->srt_ingress_enabled);
    EXPECT_EQ(rx->srt_connect, SRT_CALLER);
    EXPECT_EQ(cfg_rx_set_srt_connect(rx, SRT_RENDEZVOUS), 0);
    EXPECT_STREQ(rx->ingress_node, "10.0.0.5");
    EXPECT_EQ(cfg_rx_set_srt_connect(rx, SRT_LISTENER), 1);
    EXPECT_STREQ(rx->ingress_node, "0.0.0.0");
    EXPECT_EQ(cfg_rx_set_srt_enable(rx, 0), 0);
    EXPECT_STREQ(rx->ingress_node, "0.0.0.0");
    EXPECT_EQ(cfg_rx_set_srt_enable(rx, 0), 0);
    ASSERT_EQ(cfg_rx_set_node(rx, "10.0.0.6"), 1); // unicast switches SRT on as Caller
    EXPECT_EQ(cfg_rx_set_srt_enable(rx, 0), 1);
    EXPECT_STREQ(rx->ingress_node, "0.0.0.0");
    ASSERT_EQ(cfg_rx_set_node(rx, "239.1.1.1"), 1);
    EXPECT_EQ(rx->srt_connect, SRT_CALLER);
    EXPECT_EQ(cfg_rx_set_srt_enable(rx, 1), 1); // a Caller needs the peer's address
    EXPECT_STREQ(rx->ingress_node, MCF_ADDR_UNSET);
    ASSERT_EQ(cfg_rx_set_node(rx, "239.1.1.1"), 1); // multicast switches SRT off
    EXPECT_FALSE(rx->srt_ingress_enabled);
}

TEST_F(CfgRecords, CaSessionSettersRefuseOutOfRange)
{
    cfg_ca ca{};
    cfg_ca_init(&ca, 0);
    struct Case {
        const char *what;
        int (*set)(cfg_ca *, long);
        long value;
        int rc;
    } cases[] = {
        {"esid 65535", [](cfg_ca *c, long v) { return cfg_ca_set_biss2ca_esid(c, int(v)); }, 65535, 0},
        {"esid 65536", [](cfg_ca *c, long v) { return cfg_ca_set_biss2ca_esid(c, int(v)); }, 65536, -1},
        {"esid -5", [](cfg_ca *c, long v) { return cfg_ca_set_biss2ca_esid(c, int(v)); }, -5, 0},
        {"period 0", [](cfg_ca *c, long v) { return cfg_ca_set_biss2ca_key_period(c, unsigned(v)); }, 0, -1},
        {"period 1", [](cfg_ca *c, long v) { return cfg_ca_set_biss2ca_key_period(c, unsigned(v)); }, 1, 0},
        {"period 120", [](cfg_ca *c, long v) { return cfg_ca_set_biss2ca_key_period(c, unsigned(v)); }, 120, 0},
        {"period 121", [](cfg_ca *c, long v) { return cfg_ca_set_biss2ca_key_period(c, unsigned(v)); }, 121, -1},
        {"emm 8191", [](cfg_ca *c, long v) { return cfg_ca_set_biss2ca_emm_pid(c, unsigned(v)); }, 8191, 0},
        {"emm 8192", [](cfg_ca *c, long v) { return cfg_ca_set_biss2ca_emm_pid(c, unsigned(v)); }, 8192, -1},
        {"ecm 8192", [](cfg_ca *c, long v) { return cfg_ca_set_biss2ca_ecm_pid(c, unsigned(v)); }, 8192, -1},
        {"ecm 100", [](cfg_ca *c, long v) { return cfg_ca_set_biss2ca_ecm_pid(c, unsigned(v)); }, 100, 0},
    };
    for (const auto &c : cases)
        EXPECT_EQ(c.set(&ca, c.value), c.rc) << c.what;
    EXPECT_EQ(cfg_ca_get_biss2ca_esid(&ca), -5);
    EXPECT_EQ(cfg_ca_get_biss2ca_key_period(&ca), 120u);
    EXPECT_EQ(cfg_ca_get_biss2ca_emm_pid(&ca), 8191u);
    EXPECT_EQ(cfg_ca_get_biss2ca_ecm_pid(&ca), 100u);
    EXPECT_EQ(cfg_ca_set_insert_watermark(&ca, true), 0);
    EXPECT_TRUE(cfg_ca_get_insert_watermark(&ca));
    EXPECT_FALSE(cfg_ca_get_prevent_decoded_forward(&ca));
    cfg_ca_fini(&ca);
}

// A label counts from 1 whatever the id its record was given, the largest
// and smallest too (the ids of a damaged store reach here only if a check
// before it fails).
TEST_F(CfgRecords, LabelsNumberEveryIdWithoutOverflow)
{
    auto ends = [](const std::string &label, const char *tail) {
        return label.size() >= std::strlen(tail) && label.compare(label.size() - std::strlen(tail), std::string::npos, tail) == 0;
    };
    for (const int id : {INT_MAX, INT_MIN}) {
        const std::string next = std::to_string(static_cast<long long>(id) + 1);
        cfg_ca ca{};
        cfg_ca_init(&ca, id);
        EXPECT_TRUE(ends(ca.ui_label, ("-" + next).c_str())) << ca.ui_label;
        cfg_ca_fini(&ca);
        cfg_rx_klv klv{};
        cfg_rx_klv_init(&klv, id);
        EXPECT_TRUE(ends(klv.ui_label, ("-" + next).c_str())) << klv.ui_label;
        for (egress_types type : {EGRTYPE_NET, EGRTYPE_DEC}) {
            cfg_tx tx{};
            tx.dest_id = id;
            cfg_tx_init(&tx, type);
            EXPECT_TRUE(ends(tx.dest_ui_label, ("-" + next).c_str())) << tx.dest_ui_label;
            cfg_tx_fini(&tx);
        }
        cfg_rx rx{};
        rx.ingress_id = id;
        cfg_rx_init(&rx, INGRTYPE_ASIIN);
        EXPECT_TRUE(ends(rx.ingress_ui_label, ("-" + std::to_string(static_cast<long long>(id) - 149)).c_str()))
            << rx.ingress_ui_label;
        cfg_rx_fini(&rx);
    }
}

} // namespace

// The setup tree and the input rows as a client sees them: values set by
// route through each parameter's own set, as the websocket does, with the
// engine calls they cause logged by the fake engine.
#include "param_fixture.h"
#include "param/mcf_param.h"

#include <kerrow/store.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

using mcftest::calls_t;

class ParamInputs : public mcftest::ParamTest {
protected:
    static std::string route(int id, const char *key)
    {
        return "mcastfwdr/rules/inputs/input_" + std::to_string(id) + "/" + key;
    }
    cfg_rx *add_net(int id)
    {
        EXPECT_EQ(mcastfwdr_add_input_net_row(id), 0);
        return mcfcfg_rx_find_by_id(id);
    }
};

TEST(ParamNumbers, WholeTextMustBeA32BitNumber)
{
    struct Case {
        const char *text;
        bool ok;
        int32_t v;
    } cases[] = {
        {"0", true, 0}, {"5000", true, 5000}, {"0x10", true, 16}, {"010", true, 8}, {"-12", true, -12},
        {"2147483647", true, 2147483647}, {"-2147483648", true, INT32_MIN},
        {"", false, 0}, {"abc", false, 0}, {"5000abc", false, 0}, {"08080", false, 0}, {"4294967296", false, 0},
        {"2147483648", false, 0}, {" 5", false, 0}, {"5 ", false, 0}, {"0x", false, 0},
    };
    for (const auto &c : cases) {
        int32_t v = -7;
        EXPECT_EQ(mcf::param::parse_int32(c.text, &v), c.ok) << '"' << c.text << '"';
        if (c.ok) {
            EXPECT_EQ(v, c.v) << c.text;
        }
    }
}

TEST_F(ParamInputs, PortRangeStepAndTextRefusedLeaveTheRecord)
{
    cfg_rx *rx = add_net(100);
    struct Case {
        const char *text;
        param_set_result rc;
        int port; // afterwards
    } cases[] = {
        {"0", PARAM_SET_FAILURE, -1}, // no socket address takes port 0
        {"1", PARAM_SET_SUCCESS, 1},        {"65535", PARAM_SET_SUCCESS, 65535}, {"65536", PARAM_SET_FAILURE, 65535},
        {"-1", PARAM_SET_FAILURE, 65535},   {"0x10", PARAM_SET_SUCCESS, 16},    {"010", PARAM_SET_SUCCESS, 8},
        {"", PARAM_SET_FAILURE, 8},         {"abc", PARAM_SET_FAILURE, 8},      {"5000abc", PARAM_SET_FAILURE, 8},
        {"08080", PARAM_SET_FAILURE, 8},    {"4294967296", PARAM_SET_FAILURE, 8},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(set(route(100, "port"), c.text), c.rc) << c.text;
        EXPECT_EQ(rx->ingress_port, c.port) << c.text;
    }
    EXPECT_GE(log_.count("mcastfwdr/rules/inputs/input_100/port: '5000abc' refused (not a number)"), 1);
    EXPECT_GE(log_.count("'65536' refused (outside 0..65535)"), 1);
    // Bounds of the other numbers.
    EXPECT_EQ(set(route(100, "trans_mux_rate"), "999999"), PARAM_SET_FAILURE);
    EXPECT_EQ(set(route(100, "trans_mux_rate"), "210000000"), PARAM_SET_SUCCESS);
    EXPECT_EQ(set(route(100, "trans_mux_rate"), "210000001"), PARAM_SET_FAILURE);
    EXPECT_EQ(rx->ingress_bps, 210000000);
    EXPECT_EQ(set(route(100, "srt_receive_latency"), "60000"), PARAM_SET_SUCCESS);
    EXPECT_EQ(set(route(100, "srt_receive_latency"), "60001"), PARAM_SET_FAILURE);
    EXPECT_EQ(set(route(100, "srt_lossmaxttl"), "100000"), PARAM_SET_SUCCESS);
    EXPECT_EQ(set(route(100, "srt_lossmaxttl"), "100001"), PARAM_SET_FAILURE);
    EXPECT_EQ(rx->srt_lossmaxttl, 100000);
    EXPECT_TRUE(calls().empty()) << "nothing is applied before the configuration is loaded";
}

TEST_F(ParamInputs, ChoicesAreExactAndCaseSensitive)
{
    cfg_rx *rx = add_net(100);
    EXPECT_EQ(value(route(100, "interface")), "Port 2");
    EXPECT_EQ(set(route(100, "interface"), "port 1"), PARAM_SET_FAILURE);
    EXPECT_STREQ(rx->ingress_intf, "eth1");
    EXPECT_EQ(set(route(100, "interface"), "Port 1"), PARAM_SET_SUCCESS);
    EXPECT_STREQ(rx->ingress_intf, "eth0");
    EXPECT_EQ(set(route(100, "srt_log_level"), "debug"), PARAM_SET_FAILURE);
    EXPECT_EQ(set(route(100, "srt_log_level"), "Debug"), PARAM_SET_SUCCESS);
    EXPECT_EQ(rx->srt_log_level, SRT_LOG_DEBUG);
    EXPECT_EQ(set(route(100, "srt_pbkeylen"), "24"), PARAM_SET_SUCCESS);
    EXPECT_EQ(rx->srt_pbkeylen, SRT_PBKEYLEN_24);
    EXPECT_EQ(value(route(100, "srt_pbkeylen")), "24");
}

TEST_F(ParamInputs, AddressesAreCheckedAndRecordedBeforeLoad)
{
    cfg_rx *a = add_net(100);
    cfg_rx *b = add_net(101);
    for (const char *bad : {"1234567", "10.0.0.1x", "", "300.1.1.1"}) {
        EXPECT_EQ(set(route(100, "ip_address"), bad), PARAM_SET_FAILURE) << bad;
        EXPECT_STREQ(a->ingress_node, MCF_ADDR_UNSET) << bad;
    }
    const std::string longest(256, '1');
    EXPECT_EQ(set(route(100, "ip_address"), longest.c_str()), PARAM_SET_FAILURE);
    // Before the configuration is loaded a duplicate pair is only recorded.
    for (const std::string id : {"100", "101"}) {
        EXPECT_EQ(set(route(std::stoi(id), "ip_address"), "239.001.1.1"), PARAM_SET_SUCCESS);
        EXPECT_EQ(set(route(std::stoi(id), "port"), "5000"), PARAM_SET_SUCCESS);
    }
    EXPECT_STREQ(a->ingress_node, "239.1.1.1");
    EXPECT_STREQ(b->ingress_node, "239.1.1.1");
    EXPECT_EQ(b->ingress_port, 5000);
    EXPECT_TRUE(calls().empty());
}

TEST_F(ParamInputs, LoadedAddressRestartsOrRevertsUnderTheLock)
{
    cfg_rx *a = add_net(100);
    add_net(101);
    ASSERT_EQ(set(route(100, "ip_address"), "239.1.1.1"), PARAM_SET_SUCCESS);
    ASSERT_EQ(set(route(100, "port"), "5000"), PARAM_SET_SUCCESS);
    ASSERT_EQ(set(route(101, "port"), "5000"), PARAM_SET_SUCCESS);
    load();

    // Unchanged: success, no engine call.
    EXPECT_EQ(set(route(100, "ip_address"), "239.1.1.1"), PARAM_SET_SUCCESS);
    EXPECT_EQ(set(route(100, "port"), "5000"), PARAM_SET_SUCCESS);
    EXPECT_TRUE(calls().empty());

    // A unique pair: the input restarts, nothing deleted, so no programs touched.
    EXPECT_EQ(set(route(101, "ip_address"), "239.1.1.2"), PARAM_SET_SUCCESS);
    EXPECT_EQ(calls(), (calls_t{"delete 101", "sync 0"}));
    EXPECT_EQ(log_.count("Input 101 applied node: 239.1.1.2 port: 5000"), 1);

    // Deleted managers mark the programs inactive and force the rebuild.
    fake_engine::calls().clear();
    fake_engine::answers().deleted = 2;
    EXPECT_EQ(set(route(101, "port"), "5002"), PARAM_SET_SUCCESS);
    EXPECT_EQ(calls(), (calls_t{"delete 101", "inactive 101", "sync 2"}));

    // A colliding pair reads back the old value.
    fake_engine::calls().clear();
    EXPECT_EQ(set(route(101, "port"), "5000"), PARAM_SET_SUCCESS);
    EXPECT_EQ(set(route(101, "ip_address"), "239.1.1.1"), PARAM_SET_SUCCESS);
    EXPECT_EQ(calls(), (calls_t{"delete 101", "inactive 101", "sync 2"})) << "only the port moved";
    fake_engine::calls().clear();
    EXPECT_EQ(set(route(100, "port"), "5000"), PARAM_SET_SUCCESS);
    EXPECT_EQ(set(route(100, "ip_address"), "10.0.0.5"), PARAM_SET_SUCCESS); // unicast against multicast
    EXPECT_TRUE(calls().empty());
    EXPECT_STREQ(a->ingress_node, "239.1.1.1");
    EXPECT_EQ(a->srt_ingress_enabled, 0) << "a reverted address leaves SRT as it was";
    EXPECT_EQ(value(route(100, "ip_address")), "239.1.1.1");
    EXPECT_EQ(log_.count("Input 100 IP 10.0.0.5 and port 5000 not unique, reverting"), 1);
    EXPECT_EQ(set(route(101, "port"), "5000"), PARAM_SET_SUCCESS);
    EXPECT_EQ(log_.count("Input 101 IP 239.1.1.2 and port 5000 not unique, reverting"), 0);

    // The unset address is put back silently.
    fake_engine::calls().clear();
    EXPECT_EQ(set(route(100, "ip_address"), "255.255.255.255"), PARAM_SET_SUCCESS);
    EXPECT_STREQ(a->ingress_node, "239.1.1.1");
    EXPECT_TRUE(calls().empty());
}

TEST_F(ParamInputs, SrtFollowsTheAddressAndTheModeMovesTheAddress)
{
    cfg_rx *rx = add_net(100);
    fake_engine::answers().deleted = 0; // no manager of the input was running
    ASSERT_EQ(set(route(100, "port"), "6000"), PARAM_SET_SUCCESS);
    ASSERT_EQ(set(route(100, "srt_enabled"), "On"), PARAM_SET_SUCCESS); // Listener: address 0.0.0.0
    EXPECT_STREQ(rx->ingress_node, "0.0.0.0");
    load();

    struct Case {
        const char *param, *text;
        const char *node, *enabled, *mode;
        std::vector<std::string> updates; // besides the set parameter itself
    } cases[] = {
        {"ip_address", "239.1.1.1", "239.1.1.1", "Off", "Listener", {route(100, "srt_enabled")}},
        {"ip_address", "10.0.0.5", "10.0.0.5", "On", "Caller", {route(100, "srt_enabled"), route(100, "srt_connect")}},
        {"ip_address", "0.0.0.0", "0.0.0.0", "On", "Listener", {route(100, "srt_connect")}},
        {"ip_address", "10.0.0.5", "10.0.0.5", "On", "Caller", {route(100, "srt_connect")}},
        {"srt_connect", "Listener", "0.0.0.0", "On", "Listener", {route(100, "ip_address")}},
        {"srt_enabled", "Off", "0.0.0.0", "Off", "Listener", {}},
        {"srt_enabled", "On", "0.0.0.0", "On", "Listener", {}},
        {"srt_connect", "Rendezvous", "0.0.0.0", "On", "Rendezvous", {}},
        {"srt_connect", "Caller", "255.255.255.255", "On", "Caller", {route(100, "ip_address")}},
    };
    for (const auto &c : cases) {
        updates_.clear();
        fake_engine::calls().clear();
        EXPECT_EQ(set(route(100, c.param), c.text), PARAM_SET_SUCCESS) << c.param << " " << c.text;
        EXPECT_STREQ(rx->ingress_node, c.node) << c.param << " " << c.text;
        EXPECT_EQ(value(route(100, "srt_enabled")), c.enabled) << c.param << " " << c.text;
        EXPECT_EQ(value(route(100, "srt_connect")), c.mode) << c.param << " " << c.text;
        std::vector<std::string> want = c.updates;
        want.push_back(route(100, c.param));
        EXPECT_EQ(updates_, want) << c.param << " " << c.text;
        EXPECT_EQ(calls(), (calls_t{"delete 100", "sync 0"})) << c.param << " " << c.text;
    }
}

TEST_F(ParamInputs, RateAndBridgeReachTheEngine)
{
    cfg_rx *rx = add_net(100);
    load();
    EXPECT_EQ(set(route(100, "trans_mux_rate"), "20000000"), PARAM_SET_SUCCESS);
    EXPECT_EQ(calls(), (calls_t{"rate 100 20000000 from 10000000"}));

    // Bridging needs the other cards connected; else it is dropped silently.
    fake_engine::calls().clear();
    EXPECT_EQ(set(route(100, "bridge"), "On"), PARAM_SET_SUCCESS);
    EXPECT_EQ(rx->ingress_is_bridged, 0);
    EXPECT_TRUE(calls().empty());
    mcf_ctrl_plane_external_systems_connected = 1;
    EXPECT_EQ(set(route(100, "bridge"), "On"), PARAM_SET_SUCCESS);
    EXPECT_EQ(set(route(100, "trans_mux_rate"), "30000000"), PARAM_SET_SUCCESS);
    EXPECT_EQ(set(route(100, "bridge"), "Off"), PARAM_SET_SUCCESS);
    EXPECT_EQ(calls(), (calls_t{"internal_ts 20000000 100", "delete 100", "sync 0", "internal_ts 30000000 100",
                                "rate 100 30000000 from 20000000", "internal_ts_clear 100", "delete 100", "sync 0"}));
}

TEST_F(ParamInputs, PassphraseIsStoredNeverReadBack)
{
    cfg_rx *rx = add_net(100);
    const std::string key = "mcastfwdr/rules/inputs/input_100/services/srt/srt_passphrase";
    for (const std::string &bad : {std::string(9, 'a'), std::string(80, 'b')}) {
        EXPECT_EQ(set(route(100, "srt_passphrase"), bad.c_str()), PARAM_SET_FAILURE);
        EXPECT_STREQ(rx->srt_passphrase, MCF_SRT_NO_PASSPHRASE);
        EXPECT_EQ(log_.count(bad), 0) << "a refused passphrase is not logged";
    }
    for (const std::string &good : {std::string("secret1234"), std::string(79, 'c')}) {
        EXPECT_EQ(set(route(100, "srt_passphrase"), good.c_str()), PARAM_SET_SUCCESS);
        EXPECT_EQ(rx->srt_passphrase, good);
        char *saved = nullptr;
        ASSERT_EQ(kd_store_load_string(pli_, key.c_str(), &saved), 0);
        EXPECT_EQ(std::string(saved), good);
        std::free(saved);
    }
    EXPECT_EQ(value(route(100, "srt_passphrase")), "<none>");
    EXPECT_EQ(kd_param_get_readwrite(at(route(100, "srt_passphrase"))), PARAMCTRL_WRONLY);

    // A row built again (as at the next start) takes the saved passphrase.
    mcastfwdr_param_delete(pli_, mcf_cfg.tbl_inputs, rx, [](void *d, void *k) { return d == k ? 0 : 1; }, 1);
    ASSERT_EQ(kd_store_save_string(pli_, key.c_str(), "restored-secret"), 0);
    kd_param_list_delete_children(mcf_cfg.tbl_inputs);
    mcastfwdr_allocate_rule_input(mcf_cfg.tbl_inputs, rx);
    EXPECT_STREQ(rx->srt_passphrase, "restored-secret");
}

TEST_F(ParamInputs, RowsByInputType)
{
    add_net(100);
    cfg_rx *asi = mcfcfg_rx_add_asi(0);
    cfg_rx *xsb = mcfcfg_rx_add_xsb(2, 0, 1);
    for (cfg_rx *rx : {asi, xsb})
        mcastfwdr_allocate_rule_input(mcf_cfg.tbl_inputs, rx);
    struct Case {
        int id;
        const char *key;
        bool present;
    } cases[] = {
        {100, "ip_address", true},          {100, "dvb_per_ip", true},      {100, "rtp_detected", true},
        {100, "ts_packets_received", true}, {100, "srt_buffer_available", true}, {100, "bay_position", false},
        {150, "ts_packets_received", true}, {150, "dvb_per_ip", false},     {150, "rtp_detected", false},
        {150, "trans_mux_rate", true},      {150, "ip_address", false},     {1200, "bay_position", true},
        {1200, "bridge", false},            {1200, "components", true},     {1200, "srt_enabled", false},
    };
    for (const auto &c : cases)
        EXPECT_EQ(kd_param_get_type(at(route(c.id, c.key))) != PARAMTYPE_NONE, c.present) << c.id << " " << c.key;
    EXPECT_EQ(kd_param_get_readwrite(at(route(150, "trans_mux_rate"))), PARAMCTRL_RDWR);
    EXPECT_EQ(kd_param_get_readwrite(at(route(1200, "trans_mux_rate"))), PARAMCTRL_RDONLY);
    EXPECT_EQ(value(route(1200, "type")), "Internal");

    // The Net row's order: the SRT block between "Bridge" and the detected rate.
    std::vector<std::string> net = labels(at("mcastfwdr/rules/inputs/input_100"));
    ASSERT_GE(net.size(), 12u);
    EXPECT_EQ(std::vector<std::string>(net.begin(), net.begin() + 10),
              (std::vector<std::string>{"ID", "Type", "Routable", "SRT Enabled", "IP Address", "Port", "Interface",
                                        "Trans Mux Rate", "Bridge", "SRT Connect"}));
    EXPECT_EQ(net.back(), "Services");
    EXPECT_EQ(net[net.size() - 7], "Trans Mux Rate Detected");

    // Program rows are keyed from 0 and labelled from 1.
    cfg_rx *rx = mcfcfg_rx_find_by_id(100);
    rx->ingress_pgm_status[0].pgm_num = 7;
    rx->ingress_pgm_status[0].ca_status = CASTATUS_BISS2_M1;
    mcastfwdr_allocate_rule_input_program(rx->param_services, &rx->ingress_pgm_status[0], 0);
    EXPECT_STREQ(kd_param_get_label(at(route(100, "services/0"))), "1");
    EXPECT_EQ(value(route(100, "services/0/program_number")), "7");
    EXPECT_EQ(value(route(100, "services/0/program_ca_status")), "BISS2 M1");
}

TEST_F(ParamInputs, TreeTopByCard)
{
    const std::vector<std::string> counters = {"IP Packets Received", "IP Packets Sent", "TS Packets Received",
                                               "TS Packets Sent", "Total Rate Received"};
    const std::vector<std::string> net = {"Add Input Net Rule", "Rem Input Net Rule"};
    const std::vector<std::string> klv_out = {"Add KLV Source Rule", "Rem KLV Source Rule", "Add Output Net Rule",
                                              "Rem Output Net Rule"};
    const std::vector<std::string> tail = {"Add CA Session", "Rem CA Session", "Diag PIDH Tree", "Diag Outputs",
                                           "Rules"};
    auto join = [](std::initializer_list<std::vector<std::string>> parts) {
        std::vector<std::string> all;
        for (const auto &p : parts)
            all.insert(all.end(), p.begin(), p.end());
        return all;
    };
    struct Case {
        const char *card;
        bool asi, decoder, master;
        std::vector<std::string> top;
    } cases[] = {
        {"plain", false, false, false, join({counters, net, klv_out, tail})},
        {"ASI", true, false, true, join({counters, tail})},
        {"decoder slave", false, true, false, join({counters, tail})},
        {"decoder master", false, true, true, join({counters, net, tail})},
    };
    for (const auto &c : cases) {
        fake_engine::answers().asi = c.asi;
        fake_engine::answers().decoder = c.decoder;
        fake_engine::answers().master = c.master;
        kd_param_remove_cfg(pli_);
        mcastfwdr_setup_params(&mcf_cfg, pli_);
        EXPECT_EQ(labels(kd_param_get_cfg(pli_)), c.top) << c.card;
        EXPECT_EQ(labels(mcf_cfg.tbl), (std::vector<std::string>{"Inputs", "Outputs", "KLV Sources", "CA Sessions"}));
        EXPECT_EQ(mcf_cfg.tbl_rem_input != nullptr, !c.asi && (!c.decoder || c.master)) << c.card;
    }
    EXPECT_STREQ(kd_param_get_scope(mcf_cfg.tbl_inputs), "mcastfwdr/rules/inputs");
    totals.ts_packets_rx = 42;
    EXPECT_EQ(value("mcastfwdr/ts_packets_received"), "42");
    totals.ts_packets_rx = 0;
}

TEST_F(ParamInputs, NetInputsAddedAndRemovedByAction)
{
    add_net(100);
    add_net(101);
    add_net(103);
    mcfcfg_rx_add_asi(0);
    mcastfwdr_allocate_rule_input(mcf_cfg.tbl_inputs, mcfcfg_rx_find_by_id(150));
    cfg_rx *xsb = mcfcfg_rx_add_xsb(0, 0, 1);
    mcastfwdr_allocate_rule_input(mcf_cfg.tbl_inputs, xsb);
    ASSERT_EQ(xsb->ingress_id, 1000);
    ASSERT_EQ(kd_store_save_string(pli_, "mcastfwdr/rules/inputs/input_1000/bridge", "On"), 0);
    ASSERT_EQ(kd_store_save_string(pli_, "mcastfwdr/rules/inputs/input_100/port", "5000"), 0);

    updates_.clear();
    EXPECT_EQ(set("mcastfwdr/add_input_net_rule", "yes"), PARAM_SET_FAILURE);
    EXPECT_EQ(set("mcastfwdr/add_input_net_rule", "Yes"), PARAM_SET_SUCCESS);
    EXPECT_NE(mcfcfg_rx_find_by_id(102), nullptr);
    EXPECT_EQ(updates_, (std::vector<std::string>{"mcastfwdr/add_input_net_rule", "mcastfwdr/rem_input_net_rule",
                                                  "mcastfwdr/add_input_net_rule"}));
    char *keys = nullptr;
    ASSERT_EQ(kd_store_load_string(pli_, "mcastfwdr/input_net_keys", &keys), 0);
    EXPECT_STREQ(keys, "100,101,103,102");
    std::free(keys);

    param_context *rem = at("mcastfwdr/rem_input_net_rule");
    std::vector<std::string> offered;
    for (const char **c = kd_param_get_choice_ops(rem)->choices(rem); *c; ++c)
        offered.emplace_back(*c);
    EXPECT_EQ(offered, (std::vector<std::string>{"100", "101", "103", "102"}));

    for (const char *bad : {"150", "1000", "104", "-1", "0100", ""})
        EXPECT_EQ(set("mcastfwdr/rem_input_net_rule", bad), PARAM_SET_FAILURE) << bad;
    load();
    EXPECT_EQ(set("mcastfwdr/rem_input_net_rule", "100"), PARAM_SET_SUCCESS);
    EXPECT_EQ(mcfcfg_rx_find_by_id(100), nullptr);
    EXPECT_EQ(kd_param_get_type(at(route(100, "port"))), PARAMTYPE_NONE);
    EXPECT_EQ(calls(), (calls_t{"delete 100", "sync 0"}));
    EXPECT_EQ(kd_store_test_key(pli_, "mcastfwdr/rules/inputs/input_100/port"), 0);
    EXPECT_EQ(kd_store_test_key(pli_, "mcastfwdr/rules/inputs/input_1000/bridge"), 1);
    ASSERT_EQ(kd_store_load_string(pli_, "mcastfwdr/input_net_keys", &keys), 0);
    EXPECT_STREQ(keys, "101,103,102");
    std::free(keys);
}

TEST_F(ParamInputs, FakeEngineSeesTheLock)
{
    cfg_rx *rx = add_net(100);
    fake_engine::calls().clear();
    _mcastfwdr_restart_input_mgr(rx);
    manager_input_output_sync(0); // not under the lock: the fake says so
    EXPECT_EQ(calls(), (calls_t{"delete 100", "sync 0", "UNLOCKED sync 0"}));
}

TEST_F(ParamInputs, RemoveOffersEveryNetInput)
{
    // As many as a restart brings back: ids 100..149, the next one refused.
    for (int i = 0; i < 50; ++i)
        ASSERT_EQ(set("mcastfwdr/add_input_net_rule", "Yes"), PARAM_SET_SUCCESS);
    EXPECT_EQ(set("mcastfwdr/add_input_net_rule", "Yes"), PARAM_SET_FAILURE);
    EXPECT_EQ(log_.count("No Net input added: every id of 100..149 is taken"), 1);
    param_context *rem = at("mcastfwdr/rem_input_net_rule");
    int n = 0;
    const char **c = kd_param_get_choice_ops(rem)->choices(rem);
    for (; c[n]; ++n) {
    }
    EXPECT_EQ(n, 50);
    EXPECT_STREQ(c[49], "149");
    EXPECT_EQ(set("mcastfwdr/rem_input_net_rule", "149"), PARAM_SET_SUCCESS);
    EXPECT_EQ(mcfcfg_rx_find_by_id(149), nullptr);
}

} // namespace

// Control checks: endpoint uniqueness, SRT address correction, the bridge
// limit and the encoder-state listener.
#include "engine_fixture.h"

#include <cstring>

namespace {

using mcftest::EngineTest;

class McfControl : public EngineTest {};

void set_dest(cfg_tx *tx, const char *node, int port)
{
    std::snprintf(tx->dest_node, sizeof tx->dest_node, "%s", node);
    tx->dest_port = port;
}

TEST_F(McfControl, InputUniquenessFollowsAddressClassAndText)
{
    // Each case: the other endpoint already configured, the input's own pair, unique?
    struct Case {
        const char *other;
        int other_port;
        const char *mine;
        int port;
        bool unique;
    } cases[] = {
        {"239.1.1.1", 5000, "239.1.1.2", 5000, true},   // both multicast, different groups
        {"239.1.1.1", 5000, "239.1.1.1", 5000, false},  // same group and port
        {"10.0.0.5", 5000, "239.1.1.1", 5000, false},   // unicast against multicast on one port
        {"10.0.0.5", 5000, "10.0.0.6", 5000, true},     // two unicast addresses
        {"239.1.1.1", 5000, "239.1.1.1", 5001, true},   // other port
        {"255.255.255.255", 5000, "239.1.1.1", 5000, true}, // incomplete records are not compared
    };
    for (const auto &c : cases) {
        cfg_rx *other = net_input(-1, c.other, c.other_port);
        cfg_rx *mine = net_input(-1, c.mine, c.port);
        EXPECT_EQ(mcf_rx_net_ip_port_pair_is_unique(mine), c.unique ? 1 : 0) << c.other << " vs " << c.mine;
        mcfcfg_rx_find_by_id(other->ingress_id);
        cfg_rx_fini(other);
        cfg_rx_fini(mine);
        mcf_list_remove(mcf_cfg.rules_rx, other);
        mcf_list_remove(mcf_cfg.rules_rx, mine);
    }
}

TEST_F(McfControl, InputsClashWithOutputsAndKlvSources)
{
    cfg_rx *in = net_input(100, "239.1.1.1", 5000);
    cfg_tx *out = output(0, EGRTYPE_NET);
    set_dest(out, "239.1.1.1", 5000);
    EXPECT_EQ(mcf_rx_net_ip_port_pair_is_unique(in), 0);
    EXPECT_EQ(mcf_tx_ip_port_pair_is_unique(out), 0);
    set_dest(out, "239.1.1.1", 5002);
    EXPECT_EQ(mcf_rx_net_ip_port_pair_is_unique(in), 1);
    EXPECT_EQ(mcf_tx_ip_port_pair_is_unique(out), 1);

    auto *klv = static_cast<cfg_rx_klv *>(mcf_list_append(mcf_cfg.rules_rx_klv));
    cfg_rx_klv_init(klv, 0);
    std::snprintf(klv->node, sizeof klv->node, "%s", "10.1.1.1");
    klv->port = 5000;
    EXPECT_EQ(mcf_rx_net_ip_port_pair_is_unique(in), 0);  // unicast KLV against a multicast input
    EXPECT_EQ(mcf_rx_klv_net_ip_port_pair_is_unique(klv), 0);
    klv->port = 6000;
    EXPECT_EQ(mcf_rx_klv_net_ip_port_pair_is_unique(klv), 1);
}

TEST_F(McfControl, OutputDestinationsAgainstEachOtherAndTheirOwnSecondPath)
{
    cfg_tx *a = output(0, EGRTYPE_NET);
    cfg_tx *b = output(1, EGRTYPE_NET);
    set_dest(a, "239.2.2.2", 4000);
    std::snprintf(a->redundant_node, sizeof a->redundant_node, "%s", "239.2.2.2");
    a->redundant_port = 4000;
    EXPECT_EQ(mcf_tx_ip_port_pair_is_unique(a), 0); // its own second path
    EXPECT_EQ(mcf_tx_redundant_ip_port_pair_is_unique(a), 0);
    a->redundant_port = 4001;
    EXPECT_EQ(mcf_tx_ip_port_pair_is_unique(a), 1);
    EXPECT_EQ(mcf_tx_redundant_ip_port_pair_is_unique(a), 1);
    set_dest(b, "239.2.2.2", 4000);
    EXPECT_EQ(mcf_tx_ip_port_pair_is_unique(b), 0);
    set_dest(b, "239.2.2.2", 4001); // main against the other's second path: allowed
    EXPECT_EQ(mcf_tx_ip_port_pair_is_unique(b), 1);
    std::snprintf(b->redundant_node, sizeof b->redundant_node, "%s", "239.2.2.2");
    b->redundant_port = 4001; // second against second
    EXPECT_EQ(mcf_tx_redundant_ip_port_pair_is_unique(b), 0);
}

TEST_F(McfControl, SrtAddressFollowsTheConnectionMode)
{
    cfg_rx *in = net_input(100);
    EXPECT_EQ(mcf_rx_validate_and_udpate_srt_ip_addr(in, "10.0.0.5"), 0); // SRT off: left alone
    in->srt_ingress_enabled = 1;
    in->srt_connect = SRT_LISTENER;
    EXPECT_EQ(mcf_rx_validate_and_udpate_srt_ip_addr(in, "10.0.0.5"), 1);
    EXPECT_STREQ(in->ingress_node, "0.0.0.0");
    EXPECT_EQ(mcf_rx_validate_and_udpate_srt_ip_addr(in, "0.0.0.0"), 0);
    in->srt_connect = SRT_CALLER;
    EXPECT_EQ(mcf_rx_validate_and_udpate_srt_ip_addr(in, "239.0.0.1"), 1);
    EXPECT_STREQ(in->ingress_node, "255.255.255.255");
    EXPECT_EQ(mcf_rx_validate_and_udpate_srt_ip_addr(in, "10.0.0.7"), 0);
    EXPECT_EQ(mcf_rx_validate_and_udpate_srt_ip_addr(in, nullptr), 0);

    cfg_tx *out = output(0, EGRTYPE_NET);
    EXPECT_EQ(mcf_tx_validate_and_udpate_srt_ip_addr(out, "239.0.0.1"), 0); // UDP output
    out->dest_protocol = PROTOCOL_SRT;
    out->srt_connect = SRT_CALLER;
    EXPECT_EQ(mcf_tx_validate_and_udpate_srt_ip_addr(out, "239.0.0.1"), 1);
    EXPECT_STREQ(out->dest_node, "255.255.255.255");
    EXPECT_EQ(log_.count("SRT Output 0 is multicast or 0 address: 239.0.0.1 forcing to 255.255.255.255"), 1);
    out->srt_connect = SRT_RENDEZVOUS;
    EXPECT_EQ(mcf_tx_validate_and_udpate_srt_ip_addr(out, "0.0.0.0"), 1);
}

TEST_F(McfControl, TwentyOtherBridgedInputsReachTheLimit)
{
    std::vector<cfg_rx *> ins;
    for (int i = 0; i < 21; ++i)
        ins.push_back(net_input(100 + i));
    for (int i = 0; i < 19; ++i)
        ins[size_t(i)]->ingress_is_bridged = 1;
    EXPECT_EQ(mcf_rx_net_bridge_is_at_limit_in_rx(ins[20]), 0); // 19 others
    ins[19]->ingress_is_bridged = 1;
    EXPECT_EQ(mcf_rx_net_bridge_is_at_limit_in_rx(ins[19]), 0); // itself not counted
    EXPECT_EQ(mcf_rx_net_bridge_is_at_limit_in_rx(ins[20]), 1); // the 21st
}

// Input 100 lists program 3 from carrier 2 / encoder 1; output 0 carries it.
class McfEncoderState : public EngineTest {
protected:
    void SetUp() override
    {
        EngineTest::SetUp();
        in_ = net_input(100, "239.1.1.1", 5000);
        in_->ingress_pgm_status_count = 1;
        in_->ingress_pgm_status[0].pgm_num = 3;
        in_->ingress_pgm_status[0].slot_num = 2;
        in_->ingress_pgm_status[0].vid_index = 1;
        out_ = output(0, EGRTYPE_NET);
        set_dest(out_, "239.9.9.9", 6000);
        out_->dest_transmit = DEST_XMIT_ON;
        net_input(101, "239.1.1.3", 5001); // the output's program comes from it
        cfg_tx_input *svc = cfg_tx_input_add(out_);
        svc->input_id = 101;
        svc->input_prog_num = 3;
        mcf_ctrl_plane_configuration_is_loaded = 1;
        mcf::write_lock lock;
        manager_input_output_sync(0);
    }
    void emit(const char *text) { kd_cuvent_emit(nullptr, "input_output_sync", const_cast<char *>(text)); }
    bool untouched() const
    {
        for (int i = 0; i < MCF_ENC_STATUS_COUNT; ++i)
            if (mcf_cfg.enc_prog_enc_status[i] != ENC_IP_OUTPUT_DEFAULT || mcf_cfg.param_str_cache[i] != ENC_IP_OUTPUT_DEFAULT)
                return false;
        return true;
    }
    cfg_rx *in_ = nullptr;
    cfg_tx *out_ = nullptr;
};

TEST_F(McfEncoderState, HostileTextsChangeNothing)
{
    const char *texts[] = {
        "enccfg/encoders/carrier_2/encoder_1/status/encoder_status=1", // no colon
        "enccfg/encoders/carrier_0/encoder_1/status/encoder_status:1",
        "enccfg/encoders/carrier_9/encoder_1/status/encoder_status:1",
        "enccfg/encoders/carrier_2/encoder_-1/status/encoder_status:1",
        "enccfg/encoders/carrier_2/encoder_4/status/encoder_status:1",
        "enccfg/encoders/carrier_99999999999999999999/encoder_1/status/encoder_status:1",
        "enccfg/encoders/carrier_2/encoder_4294967297/status/encoder_status:1",
        "enccfg/encoders/carrier_2/status/encoder_status:1", // no encoder
        ":",
        "",
    };
    for (const char *t : texts) {
        emit(t);
        EXPECT_TRUE(untouched()) << t;
    }
    EXPECT_EQ(log_.count("Error: No colon found in string"), 2);
    EXPECT_GE(log_.count("Input_output Sync ignored"), 5);
    EXPECT_NE(manager_outputs_find_by_id(0), nullptr);

    // Status entries whose program numbers cannot index the table.
    for (int pgm : {0, 33, 65535}) {
        in_->ingress_pgm_status[0].pgm_num = pgm;
        emit("enccfg/encoders/carrier_2/encoder_1/status/encoder_status:1");
        EXPECT_TRUE(untouched()) << pgm;
    }
    EXPECT_EQ(log_.count("out of range"), 3);
}

TEST_F(McfEncoderState, ValidTextDisablesThenAllowsTheProgramsOutputs)
{
    emit("enccfg/encoders/carrier_2/encoder_1/status/encoder_status:1");
    EXPECT_EQ(mcf_cfg.enc_prog_enc_status[2], ENC_IP_OUTPUT_DISABLE);
    EXPECT_EQ(log_.count("MCF: Output 0 Deleted"), 1);
    // Its one program is the disabled encoder's: the sync that follows builds nothing.
    EXPECT_EQ(log_.count("Output 0 will stop create SDI output socket"), 1);
    EXPECT_EQ(manager_outputs_find_by_id(0), nullptr);
    emit("enccfg/encoders/carrier_2/encoder_1/status/encoder_status:2");
    EXPECT_EQ(mcf_cfg.enc_prog_enc_status[2], ENC_IP_OUTPUT_ALLOW);
    EXPECT_NE(manager_outputs_find_by_id(0), nullptr);
    EXPECT_EQ(log_.count("MCF: start Input_output Sync!"), 2);

    // An encoder no program names yet is cached, and taken up by the
    // maintenance once a program names it.
    emit("enccfg/encoders/carrier_4/encoder_3/status/encoder_status:1");
    EXPECT_EQ(mcf_cfg.param_str_cache[4 * 3 + 3], ENC_IP_OUTPUT_DISABLE);
    in_->ingress_pgm_status_count = 2;
    in_->ingress_pgm_status[1] = {5, 4, 3, "", 0, CASTATUS_CLEAR, nullptr};
    mcf::maintenance_pass();
    EXPECT_EQ(mcf_cfg.param_str_cache[15], ENC_IP_OUTPUT_DEFAULT);
    EXPECT_EQ(mcf_cfg.enc_prog_enc_status[4], ENC_IP_OUTPUT_DISABLE);
    EXPECT_EQ(log_.count("MCF: maintain find cache ... enccfg/encoders/carrier_4/encoder_3"), 1);
}

} // namespace

namespace {

class McfMaintenance : public mcftest::EngineTest {
protected:
    cfg_rx *managed_input(int id, const char *node, int port, int bps)
    {
        cfg_rx *rx = net_input(id, node, port);
        rx->ingress_bps = bps;
        mcf::write_lock lock;
        manager_input_output_sync(0);
        return rx;
    }
};

TEST_F(McfMaintenance, DetectedRateAndTheIngressAlarmAtTheLimit)
{
    cfg_rx *a = managed_input(100, "239.1.1.1", 5000, 105000000);
    cfg_rx *b = managed_input(101, "239.1.1.2", 5000, 105000000);
    manager_input_count_packets(manager_inputs_find_by_id(100), 1000);
    manager_input_count_packets(manager_inputs_find_by_id(101), 1);
    mcf::maintenance_pass();
    EXPECT_EQ(a->ingress_bps_detected, 1504000);
    EXPECT_EQ(a->ingress_stream_detected, 1);
    EXPECT_EQ(totals.total_rate_rx.load(), 210000000);
    EXPECT_EQ(mcf_ctrl_plane_ingress_bps_exceeded_alarm_is_set, 0u); // exactly the limit

    b->ingress_bps = 105000001;
    for (int i = 0; i < 2; ++i) {
        manager_input_count_packets(manager_inputs_find_by_id(100), 1);
        manager_input_count_packets(manager_inputs_find_by_id(101), 1);
        mcf::maintenance_pass();
    }
    EXPECT_EQ(a->ingress_bps_detected, 1504);
    EXPECT_EQ(mcf_ctrl_plane_ingress_bps_exceeded_alarm_is_set, 1u);
    EXPECT_EQ(log_.count("MCF: Ingress rate exceeded alarm SET (210000001 bps)."), 1); // once

    manager_input_count_packets(manager_inputs_find_by_id(101), 0); // b stops
    manager_input_count_packets(manager_inputs_find_by_id(100), 1);
    mcf::maintenance_pass();
    EXPECT_EQ(mcf_ctrl_plane_ingress_bps_exceeded_alarm_is_set, 0u);
    EXPECT_EQ(log_.count("MCF: Ingress rate exceeded alarm CLEAR (105000000 bps)."), 1);

    // A rebuilt manager counts from 0 again: no negative rate.
    {
        mcf::write_lock lock;
        manager_inputs_delete(100);
        manager_input_output_sync(0);
    }
    manager_input_count_packets(manager_inputs_find_by_id(100), 10);
    mcf::maintenance_pass();
    EXPECT_EQ(a->ingress_bps_detected, 15040);
}

TEST_F(McfMaintenance, ProgramsOfASilentInputClearAtTheEleventhTickOnce)
{
    cfg_rx *rx = managed_input(100, "239.1.1.1", 5000, 1000000);
    mcastfwdr_allocate_rule_input_program(rx->param_services, &rx->ingress_pgm_status[0], 0);
    rx->ingress_pgm_status[0].pgm_num = 1;
    rx->ingress_pgm_status_count = 1;
    for (int tick = 1; tick <= 10; ++tick)
        mcf::maintenance_pass();
    EXPECT_EQ(rx->ingress_pgm_status_count, 1);
    mcf::maintenance_pass();
    EXPECT_EQ(rx->ingress_pgm_status_count, 0);
    EXPECT_EQ(rx->ingress_stream_lost_secs, 11u);
    EXPECT_EQ(kd_param_list_count(rx->param_services), 1u); // the row's placeholder
    EXPECT_FALSE(mcastfwdr_is_in_startup_delay());
}

} // namespace

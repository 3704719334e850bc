// Plain code of the forwarder: utilities, pooled lists, configuration
// records and the batched-I/O length rule.
#include "cfg/mcf_cfg.h"
#include "mcf_utils.h"
#include "mmsg.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <unistd.h>
#include <fstream>
#include <string>
#include <vector>

namespace {

TEST(McfUtils, FormatIpAddrNormalisesOnlyWholeDottedAddresses)
{
    struct Case {
        const char *in, *out;
        int rc;
    } cases[] = {
        {"010.001.002.003", "10.1.2.3", 0},
        {"239.255.255.250", "239.255.255.250", 0},
        {"0.0.0.0", "0.0.0.0", 0},
        {"000.00.0.000", "0.0.0.0", 0},
        {"192.168.001.300", "192.168.1.300", -1}, // written, but not an address
        {"1234567", "1234567", -1},               // dots are literal: no match
        {"1a2b3c4", "1a2b3c4", -1},
        {"1.2.3.4x", "1.2.3.4x", -1}, // anchored at both ends
        {" 1.2.3.4", " 1.2.3.4", -1},
        {"host.example", "host.example", -1},
        {"", "", -1},
    };
    for (const auto &c : cases) {
        char out[32];
        EXPECT_EQ(mcastfwdr_format_ip_addr(out, sizeof out, c.in), c.rc) << c.in;
        EXPECT_STREQ(out, c.out) << c.in;
    }
    char small[6];
    EXPECT_EQ(mcastfwdr_format_ip_addr(small, sizeof small, "10.1.2.3"), -1); // cut: never claimed valid
    EXPECT_STREQ(small, "10.1.");
}

TEST(McfUtils, MulticastNeedsADigitADotAnd224To239)
{
    struct Case {
        const char *text;
        bool mcast;
    } cases[] = {{"239.255.255.250", true}, {"224.0.0.1", true}, {"223.255.255.255", false},
                 {"240.0.0.1", false},       {"224", false},      {"a.b.c.d", false},
                 {"", false},                {"10.0.0.5", false}};
    for (const auto &c : cases)
        EXPECT_EQ(mcastfwdr_ip_addr_is_multicast(c.text), c.mcast) << c.text;
    EXPECT_FALSE(mcastfwdr_ip_addr_is_multicast(nullptr));
}

TEST(McfUtils, CircularDistanceTakesTheShorterWay)
{
    struct Case {
        uint64_t a, b, max;
        int64_t dist;
    } cases[] = {
        {10, 5, 100, -5}, {95, 5, 100, 10}, {5, 95, 100, -10}, {5, 5, 100, 0}, {0, 50, 100, -50},
        {(1ull << 33) - 10, 20, 1ull << 33, 30}, // PCR base wrap (33 bits)
    };
    for (const auto &c : cases)
        EXPECT_EQ(mcastfwdr_get_dist(c.a, c.b, c.max), c.dist) << c.a << "->" << c.b;
}

TEST(McfUtils, RateRecordAndSmallHelpers)
{
    mcastfwdr_tmr *t = mcastfwdr_tmr_ctor(3000000, 10000000);
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(mcastfwdr_tmr_get_bps_in(t), 3000000);
    EXPECT_DOUBLE_EQ(mcastfwdr_tmr_get_mbps_in(t), 3.0);
    EXPECT_DOUBLE_EQ(mcastfwdr_tmr_get_mbps_out(t), 10.0);
    EXPECT_DOUBLE_EQ(mcastfwdr_tmr_get_mbps_fill(t), 7.0);
    EXPECT_EQ(mcastfwdr_tmr_dtor(t), 0);

    unsigned char bytes[16] = {};
    const uint64_t v = 0x0102030405060708ull;
    mcastfwdr_set_aligned_64(bytes + 3, &v);
    EXPECT_EQ(mcastfwdr_get_aligned_64(bytes + 3), v);

    EXPECT_EQ(mcastfwdr_usleep(0), 0);
    EXPECT_EQ(mcastfwdr_usleep(-5), 0);
    char hms[16];
    EXPECT_EQ(mcastfwdr_get_time_str(hms, sizeof hms), 0);
    EXPECT_EQ(std::string(hms).size(), 8u);
}

std::string md5_of(const std::string &path)
{
    const std::string cmd = "md5sum '" + path + "'";
    FILE *p = popen(cmd.c_str(), "r");
    char line[128] = {};
    if (p) {
        if (!std::fgets(line, sizeof line, p))
            line[0] = '\0';
        pclose(p);
    }
    return std::string(line).substr(0, 32);
}

TEST(McfUtils, Md5MatchesTheMd5sumProgram)
{
    const std::string dir = "/tmp/mcfmd5." + std::to_string(getpid());
    std::filesystem::create_directories(dir);
    // Sizes around the 512-byte read pieces.
    for (size_t size : {size_t(0), size_t(1), size_t(511), size_t(512), size_t(513), size_t(5000)}) {
        const std::string path = dir + "/f" + std::to_string(size);
        std::string data(size, '\0');
        for (size_t i = 0; i < size; ++i)
            data[i] = char(i * 31 + 7);
        std::ofstream(path, std::ios::binary) << data;
        char out[33];
        EXPECT_EQ(mcastfwdr_get_md5sum(out, sizeof out, path.c_str()), 32) << size;
        EXPECT_EQ(std::string(out), md5_of(path)) << size;
    }
    char out[33];
    EXPECT_EQ(mcastfwdr_get_md5sum(out, sizeof out, (dir + "/missing").c_str()), -1);
    EXPECT_EQ(mcastfwdr_get_md5sum(out, 32, (dir + "/f1").c_str()), -1); // no room for the terminator
    std::filesystem::remove_all(dir);
}

TEST(McfMmsg, LengthRuleAcceptsWholePacketsWithOrWithoutRtpHeader)
{
    struct Case {
        int len;
        bool ok;
    } cases[] = {{1328, true}, {1327, false}, {1316, true}, {188, true}, {12 + 188, true},
                 {0, true},    {12, true},    {189, false}, {1329, false}, {-188, false}};
    for (const auto &c : cases)
        EXPECT_EQ(mmsg_len_is_valid(c.len) != 0, c.ok) << c.len;
}

TEST(McfList, RecordsStayPutAndNodesAreReused)
{
    mcf_list *l = mcf_list_ctor(sizeof(int) * 3);
    std::vector<int *> recs;
    for (int i = 0; i < 4; ++i) {
        auto *r = static_cast<int *>(mcf_list_append(l));
        ASSERT_NE(r, nullptr);
        EXPECT_EQ(r[0] | r[1] | r[2], 0); // zeroed
        r[0] = i;
        recs.push_back(r);
    }
    EXPECT_EQ(mcf_list_count(l), 4u);
    EXPECT_EQ(mcf_list_remove(l, recs[1]), 0);
    EXPECT_EQ(mcf_list_remove(l, recs[1]), -1); // not listed any more
    int other = 0;
    EXPECT_EQ(mcf_list_remove(l, &other), -1);
    std::vector<int> order;
    for (int &r : mcf::records<int>(l))
        order.push_back(r);
    EXPECT_EQ(order, (std::vector<int>{0, 2, 3}));
    EXPECT_EQ(recs[2][0], 2); // untouched by the removal
    auto *again = static_cast<int *>(mcf_list_append(l));
    EXPECT_EQ(again[0], 0);
    EXPECT_EQ(mcf_list_count(l), 4u);
    mcf_list_dtor(l);
}

TEST(McfCfg, PidMapKindsFollowStreamTypeAndDescriptors)
{
    const uint8_t vanc[] = {0x05, 0x04, 'V', 'A', 'N', 'C', 0x0A, 0x04};
    const uint8_t other_reg[] = {0x05, 0x04, 'A', 'C', '-', '3'};
    struct Case {
        int type;
        const uint8_t *info;
        int len;
        int kind;
    } cases[] = {
        {0x02, nullptr, 0, MAP_PID_TYPE_VIDEO}, {0x1B, nullptr, 0, MAP_PID_TYPE_VIDEO}, {0x24, nullptr, 0, MAP_PID_TYPE_VIDEO},
        {0x03, nullptr, 0, MAP_PID_TYPE_AUDIO}, {0x04, nullptr, 0, MAP_PID_TYPE_AUDIO}, {0x0F, nullptr, 0, MAP_PID_TYPE_AUDIO},
        {0x11, nullptr, 0, MAP_PID_TYPE_AUDIO}, {0x81, nullptr, 0, MAP_PID_TYPE_AUDIO}, {0x86, nullptr, 0, MAP_PID_TYPE_SPLCE},
        {0x06, vanc, 8, MAP_PID_TYPE_S2038},    {0x06, vanc, 5, MAP_PID_TYPE_AUDIO}, // cut short
        {0x06, other_reg, 6, MAP_PID_TYPE_AUDIO}, {0x06, nullptr, 0, MAP_PID_TYPE_AUDIO},
        {0x01, nullptr, 0, MAP_PID_TYPE_OTHER}, {0x1C, vanc, 8, MAP_PID_TYPE_OTHER},
    };
    for (const auto &c : cases)
        EXPECT_EQ(cfg_tx_pid_map_find_type(c.type, c.len, c.info), c.kind) << c.type;
    EXPECT_STREQ(mcf_pid_map_labels[MAP_PID_TYPE_S2038], "Smpte2038");
    EXPECT_STREQ(mcf_pid_map_labels[MAP_PID_TYPE_VIDEO], "Video");
}

TEST(McfCfg, OutputDefaultsServicesAndPidMaps)
{
    cfg_tx tx{};
    tx.dest_id = 4;
    ASSERT_EQ(cfg_tx_init(&tx, EGRTYPE_NET), 0);
    EXPECT_STREQ(tx.dest_node, "255.255.255.255");
    EXPECT_EQ(tx.dest_port, -1);
    EXPECT_TRUE(cfg_tx_ip_fields_incomplete(&tx));
    EXPECT_EQ(tx.dest_bps, 16000000);
    EXPECT_EQ(tx.dest_ip_ttl, 128);
    EXPECT_EQ(tx.dest_dvb_per_ip, 7);
    EXPECT_EQ(tx.dest_transmit, DEST_XMIT_OFF);
    EXPECT_STREQ(tx.srt_passphrase, "quietmaple");
    EXPECT_EQ(tx.tx_tbl_state.pat_ver, -1);
    EXPECT_EQ(tx.tx_tbl_state.eit_ver[3], -1);
    EXPECT_FALSE(cfg_tx_has_services(&tx));

    // Ids 0, 1, 2; drop 1; the next takes 1 again.
    cfg_tx_input *s0 = cfg_tx_input_add(&tx);
    cfg_tx_input *s1 = cfg_tx_input_add(&tx);
    cfg_tx_input *s2 = cfg_tx_input_add(&tx);
    EXPECT_EQ(s2->service_id, 2);
    EXPECT_EQ(s0->dest_id, 4);
    EXPECT_EQ(s0->input_id, -1);
    EXPECT_EQ(s0->ca_session_id, -1);
    EXPECT_EQ(s0->modulation_mode, VCT_MODULATION_MODE_SCTEMODE_2);
    cfg_tx_pid_map_add(s1, "Video", 256);
    EXPECT_EQ(cfg_tx_input_rem(&tx, s1), 0);
    EXPECT_EQ(cfg_tx_input_add(&tx)->service_id, 1);
    EXPECT_EQ(cfg_tx_input_find_by_id(&tx, 2), s2);
    EXPECT_EQ(cfg_tx_input_find_by_id(&tx, 9), nullptr);
    EXPECT_TRUE(cfg_tx_has_services(&tx));

    cfg_tx_pid_map *a = cfg_tx_pid_map_add(s0, "Video", 256);
    cfg_tx_pid_map *b = cfg_tx_pid_map_add(s0, "A very long label beyond twenty", 257);
    EXPECT_EQ(b->id, 1);
    EXPECT_EQ(std::string(b->label).size(), 19u);
    EXPECT_EQ(b->service, s0);
    EXPECT_FALSE(cfg_tx_input_has_pid_remaps(s0));
    b->out_pid = 300;
    EXPECT_TRUE(cfg_tx_input_has_pid_remaps(s0));
    EXPECT_EQ(cfg_tx_pid_map_find_by_pid(s0, 257), b);
    EXPECT_EQ(cfg_tx_pid_map_find_by_id(s0, 0), a);
    EXPECT_EQ(cfg_tx_pid_map_rem(s0, a), 0);
    EXPECT_EQ(cfg_tx_pid_map_add(s0, nullptr, 400)->id, 0);
    EXPECT_EQ(cfg_tx_pid_map_find_by_pid(s2, 256), nullptr); // empty list

    tx.tx_tbl_state.tx_pmt_count = 2;
    tx.tx_tbl_state.tx_pmts[0] = {100, 3};
    tx.tx_tbl_state.tx_pmts[1] = {200, 7};
    EXPECT_EQ(cfg_tx_find_prior_pmt_version(&tx, 200), 7);
    EXPECT_EQ(cfg_tx_find_prior_pmt_version(&tx, 300), -1);
    EXPECT_EQ(cfg_tx_fini(&tx), 0); // LSan: every service and map released
}

TEST(McfCfg, InputKlvAndCaDefaults)
{
    cfg_rx rx{};
    rx.ingress_id = 150;
    cfg_rx_init(&rx, INGRTYPE_ASIIN);
    EXPECT_EQ(std::string(rx.ingress_ui_label).rfind("Input ASI ", 0), 0u);
    EXPECT_EQ(std::string(rx.ingress_ui_label).substr(std::string(rx.ingress_ui_label).size() - 2), "-1");
    EXPECT_STREQ(rx.ingress_intf, "eth2");
    EXPECT_EQ(rx.ingress_bps, 10000000);
    EXPECT_TRUE(cfg_rx_ip_fields_incomplete(&rx));
    EXPECT_EQ(rx.srt_connect, SRT_LISTENER);
    cfg_rx_fini(&rx);

    cfg_rx_klv klv{};
    cfg_rx_klv_init(&klv, 0);
    EXPECT_EQ(klv.port, 3000);
    EXPECT_EQ(klv.pid, 40u);
    EXPECT_EQ(klv.sockfd, -1);
    EXPECT_EQ(klv.cc, 5);
    cfg_rx_klv_fini(&klv);

    cfg_ca ca{};
    cfg_ca_init(&ca, 1);
    EXPECT_EQ(ca.biss2ca_esid, 4386);
    EXPECT_EQ(ca.biss2ca_key_period, 30u);
    EXPECT_EQ(ca.biss2ca_emm_pid, 64u);
    EXPECT_EQ(ca.biss2ca_ecm_pid, 65u);
    cfg_ca_fini(&ca);
}

} // namespace

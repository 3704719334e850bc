// KLV source rows as a client sees them: ranges, the address rules, what
// reaches the outputs, and adding and removing sources with their keys.
#include "param_fixture.h"

#include <kerrow/store.h>

#include <string>
#include <vector>

namespace {

using mcftest::calls_t;

class KlvRows : public mcftest::ParamTest {
protected:
    static std::string route(int id, const char *key)
    {
        return "mcastfwdr/rules/klv_sources/klv_source_" + std::to_string(id) + "/" + key;
    }
    cfg_rx_klv *add()
    {
        EXPECT_EQ(set("mcastfwdr/add_klv_source_rule", "Yes"), PARAM_SET_SUCCESS);
        cfg_rx_klv *last = nullptr;
        for (cfg_rx_klv &k : mcf::records<cfg_rx_klv>(mcf_cfg.rules_rx_klv))
            last = &k;
        return last;
    }
    std::string saved_keys()
    {
        char *v = nullptr;
        if (kd_store_load_string(pli_, "mcastfwdr/klv_source_keys", &v) != 0)
            return "<none>";
        std::string s = v;
        std::free(v);
        return s;
    }
};

TEST_F(KlvRows, RangesAndTheAddressRules)
{
    cfg_rx_klv *k = add();
    ASSERT_NE(k, nullptr);
    EXPECT_EQ(value(route(0, "ip_address")), MCF_ADDR_UNSET);
    EXPECT_EQ(value(route(0, "interface")), "Port 2");
    struct Case {
        const char *key, *text;
        param_set_result rc;
    } cases[] = {
        {"pid", "19", PARAM_SET_FAILURE},   {"pid", "8192", PARAM_SET_FAILURE}, {"pid", "20", PARAM_SET_SUCCESS},
        {"pid", "8191", PARAM_SET_SUCCESS}, {"rate", "500001", PARAM_SET_FAILURE},
        {"rate", "500000", PARAM_SET_SUCCESS}, {"port", "65536", PARAM_SET_FAILURE},
        // The unset address answers success and changes nothing; text that
        // is no address, and unicast addresses, are refused.
        {"ip_address", "255.255.255.255", PARAM_SET_SUCCESS}, {"ip_address", "not an address", PARAM_SET_FAILURE},
        {"ip_address", "10.0.0.5", PARAM_SET_FAILURE},       {"ip_address", "239.010.0.1", PARAM_SET_SUCCESS},
        {"ip_address", "255.255.255.255", PARAM_SET_SUCCESS},
    };
    for (const auto &c : cases)
        EXPECT_EQ(set(route(0, c.key), c.text), c.rc) << c.key << " " << c.text;
    EXPECT_EQ(k->pid, 8191u);
    EXPECT_EQ(k->rate, 500000);
    EXPECT_STREQ(k->node, "239.10.0.1");
    EXPECT_EQ(k->port, 3000);
    EXPECT_EQ(set(route(0, "ip_address"), "0.0.0.0"), PARAM_SET_SUCCESS);
    EXPECT_STREQ(k->node, "0.0.0.0");
    // Nothing reaches the engine before the configuration is loaded.
    EXPECT_TRUE(calls().empty());
    EXPECT_EQ(log_.count("KLV source 0 applied"), 0);
}

TEST_F(KlvRows, LoadedChangesRebuildTablesOrRevertDuplicates)
{
    cfg_rx_klv *a = add();
    cfg_rx_klv *b = add();
    ASSERT_EQ(set(route(0, "ip_address"), "239.10.0.1"), PARAM_SET_SUCCESS);
    ASSERT_EQ(set(route(1, "ip_address"), "239.10.0.2"), PARAM_SET_SUCCESS);
    load();
    log_.clear();

    // Rate and PID rebuild the tables of the outputs using the source, under the lock.
    EXPECT_EQ(set(route(0, "rate"), "1000"), PARAM_SET_SUCCESS);
    EXPECT_EQ(set(route(0, "rate"), "1000"), PARAM_SET_SUCCESS);
    EXPECT_EQ(set(route(0, "pid"), "100"), PARAM_SET_SUCCESS);
    EXPECT_EQ(calls(), (calls_t{"klv tables 0", "klv tables 0"}));
    EXPECT_EQ(log_.count("failed to create rx socket"), 0) << "rate and PID leave the socket alone";

    // The same group and port as another source: put back.
    EXPECT_EQ(set(route(1, "ip_address"), "239.10.0.1"), PARAM_SET_SUCCESS);
    EXPECT_STREQ(b->node, "239.10.0.2");
    EXPECT_EQ(log_.count("KLV source 1 IP 239.10.0.1 and port 3000 not unique, reverting"), 1);
    // Multicast against any-address on one port conflicts too.
    EXPECT_EQ(set(route(1, "ip_address"), "0.0.0.0"), PARAM_SET_SUCCESS);
    EXPECT_STREQ(b->node, "239.10.0.2");
    EXPECT_EQ(set(route(1, "port"), "3001"), PARAM_SET_SUCCESS);
    EXPECT_EQ(set(route(1, "ip_address"), "239.10.0.1"), PARAM_SET_SUCCESS);
    EXPECT_EQ(log_.count("KLV source 1 applied node: 239.10.0.1 port: 3001"), 1);
    EXPECT_EQ(set(route(1, "port"), "3000"), PARAM_SET_SUCCESS);
    EXPECT_EQ(b->port, 3001);
    EXPECT_EQ(log_.count("KLV source 1 IP 239.10.0.1 and port 3000 not unique, reverting"), 2);
    EXPECT_EQ(a->port, 3000);
}

TEST_F(KlvRows, AddAndRemoveKeepTheStoreKeys)
{
    add();
    add();
    add();
    EXPECT_EQ(saved_keys(), "0,1,2");
    EXPECT_EQ(value(route(1, "id")), "1");
    kd_store_save_string(pli_, route(1, "rate").c_str(), "1234");
    load();
    EXPECT_EQ(set("mcastfwdr/rem_klv_source_rule", "7"), PARAM_SET_FAILURE);
    ASSERT_EQ(set("mcastfwdr/rem_klv_source_rule", "1"), PARAM_SET_SUCCESS);
    EXPECT_EQ(saved_keys(), "0,2");
    EXPECT_EQ(mcfcfg_rx_klv_find_by_id(1), nullptr);
    EXPECT_EQ(kd_store_test_key(pli_, route(1, "rate").c_str()), 0) << "a new source 1 must not inherit it";
    EXPECT_EQ(calls(), (calls_t{"klv tables 1"}));
    EXPECT_EQ(add()->id, 1);
    EXPECT_EQ(saved_keys(), "0,2,1");
}

} // namespace

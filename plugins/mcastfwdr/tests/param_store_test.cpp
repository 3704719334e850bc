// Rows kept across restarts: the keys saying which rows exist, their texts
// in the store file, and the restore at start that rebuilds the rows before
// the framework applies the saved values. A restart stops the plug-in and
// the framework and starts both again on the same root, with the store in
// its file.
#include "param_fixture.h"
#include "store_support.h"
#include "test_keys.h"

#include "cfg/ca_key_table.h"
#include "egress/decoder_link.h"
#include "param/mcf_store_keys.h"

#include <kerrow/store.h>

#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>

namespace {

using mcftest::ParamTest;
using tree_t = std::map<std::string, std::string>;

std::string in_route(int id, const char *key) { return "mcastfwdr/rules/inputs/input_" + std::to_string(id) + "/" + key; }
std::string out_route(int id, const char *key)
{
    return "mcastfwdr/rules/outputs/output_" + std::to_string(id) + "/" + key;
}
std::string ca(int id, const char *key)
{
    return "mcastfwdr/rules/ca_sessions/ca_session_" + std::to_string(id) + "/" + key;
}

class ParamStore : public ParamTest {
protected:
    void SetUp() override
    {
        // On-card mode (the marker under the root): the store lives in its file.
        std::filesystem::create_directories(root_ / "opt/pkg/var");
        std::ofstream(root_ / "opt/pkg/var/oem") << "";
        ParamTest::SetUp();
        fake_engine::answers().real_sync = false;
    }

    // What the plug-in's init does once its tree is set up (`engine` stands
    // for the rows the engine makes there), then the framework's store load.
    void start(const std::function<void()> &engine = {})
    {
        if (engine)
            engine();
        store_ca_sessions_load_params();
        store_inputs_net_load_params();
        store_klv_sources_load_params();
        store_outputs_load_params();
        kd_store_load_params(pli_, kd_param_get_cfg(pli_));
    }
    void restart(const std::function<void()> &engine = {})
    {
        TearDown();
        SetUp();
        log_.clear();
        start(engine);
    }

    // Every node of the plug-in's tree with its value, walked as a client's
    // print walks it.
    tree_t tree()
    {
        struct walk {
            tree_t nodes;
            bool done = false;
        } w;
        kd_param_print_params(kd_param_get_cfg(pli_), PARAM_DEPTH_ALL,
                              [](param_context *p, void *ctx, param_depth) {
                                  char *v = kd_param_get_value_text(p);
                                  static_cast<walk *>(ctx)->nodes[kd_param_get_scope(p)] = v ? v : "";
                                  std::free(v);
                                  return 0;
                              },
                              nullptr, [](void *ctx) { return static_cast<walk *>(ctx)->done = true, 0; }, &w);
        EXPECT_TRUE(mcftest::run_loop_until([&] { return w.done; }));
        return w.nodes;
    }
    kdtest::StoreSections file()
    {
        kd_store_check_persist(nullptr);
        std::ifstream in(root_ / "var/local/solvera/store.json");
        std::stringstream ss;
        ss << in.rdbuf();
        return kdtest::store_sections(ss.str());
    }
    std::string saved(const std::string &key)
    {
        char *v = nullptr;
        if (kd_store_load_string(pli_, key.c_str(), &v) != 0)
            return "<none>";
        std::string s = v;
        std::free(v);
        return s;
    }
    static void values(const std::vector<std::pair<std::string, const char *>> &v)
    {
        for (const auto &[r, text] : v)
            ASSERT_EQ(set(r, text), PARAM_SET_SUCCESS) << r << " " << text;
    }
    static std::vector<int> ids_of(const mcf_list *l, int (*id)(const void *))
    {
        std::vector<int> out;
        for (const void *r = mcf_list_next(l, nullptr); r; r = mcf_list_next(l, r))
            out.push_back(id(r));
        return out;
    }
    static std::vector<int> input_ids()
    {
        return ids_of(mcf_cfg.rules_rx, [](const void *r) { return static_cast<const cfg_rx *>(r)->ingress_id; });
    }
    static std::vector<int> output_ids()
    {
        return ids_of(mcf_cfg.rules_tx, [](const void *r) { return static_cast<const cfg_tx *>(r)->dest_id; });
    }
    static std::vector<int> service_ids(int output_id)
    {
        return ids_of(mcfcfg_tx_find_by_id(output_id)->dest_services,
                      [](const void *r) { return static_cast<const cfg_tx_input *>(r)->service_id; });
    }
};

TEST(StoreKeyTexts, DamagedEntriesAreSkippedAndNamed)
{
    using mcf::store::parse_id_list;
    using mcf::store::parse_keyed_lists;
    struct Case {
        const char *text;
        std::set<int> ids;
        std::vector<std::string> skipped;
    } lists[] = {
        {"", {}, {}},
        {"101,100,7", {7, 100, 101}, {}},
        {",,5,,3,", {3, 5}, {}},
        {"5,x,-3,+4, 6,0x10,2147483647,2147483648,99999999999,5", {5, 2147483647},
         {"x", "-3", "+4", " 6", "0x10", "2147483648", "99999999999", "5"}},
    };
    for (const Case &c : lists) {
        std::vector<mcf::store::skipped> skips;
        EXPECT_EQ(parse_id_list(c.text, skips), c.ids) << c.text;
        std::vector<std::string> named;
        for (const auto &s : skips)
            named.push_back(s.entry);
        EXPECT_EQ(named, c.skipped) << c.text;
    }

    std::vector<mcf::store::skipped> skips;
    const auto out = parse_keyed_lists(
        "4[];3[1,0,x];;x3[0];-3[0];3[2];7[0;8;9[0]];10;11[;12]]2[;13[]]", skips);
    std::vector<std::pair<int, std::set<int>>> got;
    for (const auto &k : out)
        got.emplace_back(k.id, k.ids);
    // As the anchored expression reads them, "9[0]]" and "13[]]" are
    // outputs 9 and 13 with the bad service ids "0]" and "]".
    EXPECT_EQ(got, (std::vector<std::pair<int, std::set<int>>>{{4, {}}, {3, {0, 1}}, {9, {}}, {13, {}}}));
    std::vector<std::string> named;
    for (const auto &s : skips)
        named.push_back(s.text());
    EXPECT_EQ(named, (std::vector<std::string>{"3[1,0,x]: x", "x3[0]", "-3[0]", "3[2]", "7[0", "8", "9[0]]: 0]", "10",
                                               "11[", "12]]2[", "13[]]: ]"}));
}

// The ASI input the engine makes at start on a card with an ASI port (here
// through the fake engine, on a card whose add actions exist).
void asi_input()
{
    cfg_rx *rx = mcfcfg_rx_add_asi(0);
    mcastfwdr_allocate_rule_input(mcf_cfg.tbl_inputs, rx);
}

std::string remap(int out, int svc, int id, const char *key)
{
    return out_route(out, ("input_refs/service_" + std::to_string(svc) + "/remaps/remap_" + std::to_string(id) + "/" +
                        key).c_str());
}

TEST_F(ParamStore, AWholeConfigurationComesBackAfterARestart)
{
    start(asi_input);
    for (int i = 0; i < 2; ++i)
        for (const char *action : {"add_input_net_rule", "add_klv_source_rule", "add_ca_session"})
            ASSERT_EQ(set(std::string("mcastfwdr/") + action, "Yes"), PARAM_SET_SUCCESS) << action;
    ASSERT_EQ(mcastfwdr_add_row_output(3), 0);
    ASSERT_EQ(mcastfwdr_add_row_output(4), 0);
    cfg_tx *tx3 = mcfcfg_tx_find_by_id(3);
    for (int i = 0; i < 2; ++i)
        ASSERT_EQ(mcastfwdr_add_row_out_input(tx3, -1, 1), 0);
    const std::string klv1 = mcfcfg_rx_klv_find_by_id(1)->ui_label, ca1 = mcfcfg_ca_session_find_by_id(1)->ui_label;
    values({{in_route(100, "ip_address"), "239.1.1.1"},
            {in_route(100, "port"), "5000"},
            {in_route(101, "srt_enabled"), "On"},
            {in_route(101, "port"), "6000"},
            {in_route(101, "srt_passphrase"), "secret-ten"},
            {in_route(150, "trans_mux_rate"), "20000000"},
            {"mcastfwdr/rules/klv_sources/klv_source_1/pid", "300"},
            {"mcastfwdr/rules/klv_sources/klv_source_1/port", "3100"},
            {ca(1, "biss_ca_key_period"), "60"},
            {ca(0, "insert_watermark"), "Yes"},
            {out_route(3, "ip_address"), "239.2.2.2"},
            {out_route(3, "port"), "7000"},
            {out_route(4, "tables"), "ATSC Cable"},
            {out_route(3, "input_refs/service_0/input_id"), "100"},
            {out_route(3, "input_refs/service_0/program_number"), "7"},
            {out_route(3, "input_refs/service_1/klv_source"), klv1.c_str()},
            {out_route(3, "input_refs/service_1/ca_session"), ca1.c_str()}});
    for (const std::string &pem : mcftest::ec_pems(2))
        ASSERT_EQ(cfg_ca_append_key_entry(mcfcfg_ca_session_find_by_id(1), "named", pem.c_str()), 0);
    // Remap 0 in effect, remap 1 undone, remap 2 never changed.
    cfg_tx_input *svc = cfg_tx_input_find_by_id(tx3, 0);
    for (int pid : {256, 257, 258})
        ASSERT_EQ(mcastfwdr_add_row_out_svc_pid_map(svc, -1, "Video", pid), 0);
    values({{remap(3, 0, 0, "pid_out"), "1000"}, {remap(3, 0, 1, "pid_out"), "1001"}, {remap(3, 0, 1, "pid_out"), "257"}});
    // Values refused on remap 0 leave it as it was, in the store too.
    for (const char *refused : {"0", "8191"})
        ASSERT_EQ(set(remap(3, 0, 0, "pid_out"), refused), PARAM_SET_FAILURE) << refused;

    auto sections = file();
    EXPECT_EQ(sections["mcastfwdr"]["mcastfwdr/input_net_keys"], "100,101");
    EXPECT_EQ(sections["mcastfwdr"]["mcastfwdr/output_keys"], "3[0,1];4[]");
    EXPECT_EQ(sections["mcastfwdr"]["mcastfwdr/pidmap_keys_3"], "0[0]");
    EXPECT_EQ(sections["mcastfwdr"]["mcastfwdr/klv_source_keys"], "0,1");
    EXPECT_EQ(sections["mcastfwdr"]["mcastfwdr/ca_session_ids"], "0,1");

    // What does not come back: key names, and remaps that change nothing.
    tree_t before = tree();
    std::erase_if(before, [](const auto &n) {
        return n.first.starts_with(remap(3, 0, 1, "").substr(0, remap(3, 0, 1, "").size() - 1)) ||
               n.first.starts_with(remap(3, 0, 2, "").substr(0, remap(3, 0, 2, "").size() - 1));
    });
    for (auto &[route, v] : before)
        if (route.find("/entitlements/") != std::string::npos && v == "named")
            v = "";
    ASSERT_EQ(before[remap(3, 0, 0, "pid_out")], "1000");
    ASSERT_EQ(before[in_route(150, "trans_mux_rate")], "20000000");
    restart(asi_input);
    EXPECT_EQ(tree(), before);
    EXPECT_STREQ(mcfcfg_rx_find_by_id(101)->srt_passphrase, "secret-ten");
    const cfg_tx_pid_map *m = cfg_tx_pid_map_find_by_id(cfg_tx_input_find_by_id(mcfcfg_tx_find_by_id(3), 0), 0);
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(m->in_pid, 256);
    EXPECT_EQ(m->out_pid, 1000);
    EXPECT_EQ(log_.count("Skipped"), 0);
    EXPECT_EQ(log_.count("Failed"), 0);
}

TEST_F(ParamStore, RestoredRemapsAreCheckedAndFailingOnesRemoved)
{
    start();
    ASSERT_EQ(mcastfwdr_add_row_output(3), 0);
    ASSERT_EQ(mcastfwdr_add_row_out_input(mcfcfg_tx_find_by_id(3), -1, 1), 0);
    struct Remap {
        int id;
        const char *label, *in, *out;
        const char *bad; // the key named when it fails; null: restored
    } remaps[] = {
        {0, "Video", "256", "1000", nullptr},
        {1, "Audio", "257", "0", "pid_out"},
        {2, "Audio", "258", "8191", "pid_out"},
        {3, "Audio", "259", "9000", "pid_out"},
        {4, nullptr, "260", "1001", "label"},
        {5, "A label much longer than nineteen", "8191", "1002", nullptr},
        {6, "Other", "8192", "1003", "pid_in"},
        {7, "Other", "262", "x", "pid_out"},
        {8, "Other", "8191", "8191", nullptr},
    };
    std::string ids;
    for (const Remap &r : remaps) {
        ids += (ids.empty() ? "" : ",") + std::to_string(r.id);
        if (r.label)
            kd_store_save_string(pli_, remap(3, 0, r.id, "label").c_str(), r.label);
        kd_store_save_string(pli_, remap(3, 0, r.id, "pid_in").c_str(), r.in);
        kd_store_save_string(pli_, remap(3, 0, r.id, "pid_out").c_str(), r.out);
    }
    kd_store_save_string(pli_, "mcastfwdr/pidmap_keys_3", ("0[" + ids + "];5[0];x").c_str());
    restart();
    const cfg_tx_input *svc = cfg_tx_input_find_by_id(mcfcfg_tx_find_by_id(3), 0);
    for (const Remap &r : remaps) {
        const cfg_tx_pid_map *m = cfg_tx_pid_map_find_by_id(svc, r.id);
        EXPECT_EQ(m == nullptr, r.bad != nullptr) << r.id;
        // A remap that failed leaves no values behind.
        EXPECT_EQ(kd_store_test_key(pli_, remap(3, 0, r.id, "pid_in").c_str()) == 1, r.bad == nullptr) << r.id;
        if (r.bad) {
            EXPECT_EQ(log_.count("Failed load store key '" + remap(3, 0, r.id, r.bad) + "'"), 1) << r.id;
        }
    }
    EXPECT_EQ(value(remap(3, 0, 5, "label")), "A label much longer");
    EXPECT_EQ(value(remap(3, 0, 0, "pid_out")), "1000");
    EXPECT_EQ(log_.count("Expected cfg_tx_input (under cfg_tx 3) at id 5"), 1);
    EXPECT_EQ(log_.count("Failed to parse pid map info from 'x'"), 1);
    EXPECT_EQ(saved("mcastfwdr/pidmap_keys_3"), "0[0,5]");
}

TEST_F(ParamStore, NetInputsInEverySrtModeComeBackInTheSameState)
{
    start();
    struct Case {
        int id;
        std::vector<std::pair<const char *, const char *>> sets;
        const char *mode;
    } cases[] = {
        {100, {{"ip_address", "239.1.1.1"}, {"port", "5000"}}, "Listener"},
        {101, {{"ip_address", "10.0.0.5"}, {"port", "5001"}}, "Caller"},
        {102, {{"ip_address", "localhost"}, {"port", "5002"}}, "Caller"},
        {103, {{"srt_enabled", "On"}, {"ip_address", "0.0.0.0"}, {"port", "5003"}}, "Listener"},
        {104, {{"ip_address", "10.0.0.7"}, {"port", "5004"}, {"srt_connect", "Rendezvous"}}, "Rendezvous"},
        {105, {{"srt_enabled", "On"}, {"ip_address", "0.0.0.0"}, {"srt_connect", "Rendezvous"}}, "Rendezvous"},
        {106, {{"srt_enabled", "On"}, {"ip_address", "0.0.0.0"}, {"srt_enabled", "Off"}}, "Listener"},
    };
    for (const Case &c : cases) {
        ASSERT_EQ(mcastfwdr_add_input_net_row(c.id), 0);
        for (const auto &[key, text] : c.sets)
            ASSERT_EQ(set(in_route(c.id, key), text), PARAM_SET_SUCCESS) << c.id << " " << key;
    }
    auto state = [&] {
        std::vector<std::string> out;
        for (const Case &c : cases)
            for (const char *key : {"srt_enabled", "srt_connect", "ip_address", "port"})
                out.push_back(std::to_string(c.id) + " " + key + " " + value(in_route(c.id, key)));
        return out;
    };
    auto check = [&](const char *when) {
        for (const Case &c : cases)
            EXPECT_EQ(value(in_route(c.id, "srt_connect")), c.mode) << when << " " << c.id;
    };
    check("before");
    const std::vector<std::string> was = state();
    const tree_t before = tree();
    restart();
    check("after");
    EXPECT_EQ(state(), was);
    EXPECT_EQ(tree(), before);
}

TEST_F(ParamStore, ManyRowsSurviveARestartInAnotherProcess)
{
    // The first life of the card in a process of its own, which leaves
    // only the store file behind.
    TearDown();
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        SetUp();
        start();
        // Every Net input there can be; the next one is refused.
        for (int i = 0; i < 50; ++i)
            if (mcastfwdr_add_input_net_row(-1) != 0)
                _exit(2);
        if (mcastfwdr_add_input_net_row(-1) != -1)
            _exit(6);
        for (int o = 0; o < 60; ++o) {
            if (mcastfwdr_add_row_output(-1) != 0)
                _exit(3);
            for (int s = 0; s < 3; ++s)
                if (mcastfwdr_add_row_out_input(mcfcfg_tx_find_by_id(o), -1, 1) != 0)
                    _exit(4);
        }
        // Longer than the fixed buffer of the older format.
        if (saved("mcastfwdr/output_keys").size() <= 500)
            _exit(5);
        TearDown();
        _exit(0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;

    SetUp();
    start();
    const std::vector<int> ids = input_ids();
    ASSERT_EQ(ids.size(), 50u);
    EXPECT_EQ(ids.front(), 100);
    EXPECT_EQ(ids.back(), 149);
    ASSERT_EQ(output_ids().size(), 60u);
    for (int o : {0, 31, 59})
        EXPECT_EQ(service_ids(o), (std::vector<int>{0, 1, 2})) << o;
    EXPECT_EQ(saved("mcastfwdr/output_keys").substr(0, 20), "0[0,1,2];1[0,1,2];2[");
    EXPECT_EQ(log_.count("Skipped"), 0);
}

TEST_F(ParamStore, SaversAnswerTheLengthWritten)
{
    start();
    EXPECT_EQ(store_inputs_net_save_params(), 0);
    EXPECT_EQ(saved("mcastfwdr/input_net_keys"), "");
    ASSERT_EQ(mcastfwdr_add_input_net_row(100), 0);
    ASSERT_EQ(mcastfwdr_add_input_net_row(101), 0);
    EXPECT_EQ(store_inputs_net_save_params(), 7);
    ASSERT_EQ(mcastfwdr_add_klv_source_row(-1), 0);
    EXPECT_EQ(store_klv_sources_save_params(), 1);
    EXPECT_EQ(store_ca_sessions_save_params(), 0);
    ASSERT_EQ(mcastfwdr_add_row_output(3), 0);
    EXPECT_EQ(store_outputs_save_params(), 3);
    EXPECT_EQ(saved("mcastfwdr/output_keys"), "3[]");
    EXPECT_EQ(store_outputs_save_pid_map_keys(9), -1);
}

TEST_F(ParamStore, DamagedKeyTextsRestoreTheRestAndNameEachSkippedEntry)
{
    start();
    struct Key {
        const char *key, *text;
    } keys[] = {
        {"mcastfwdr/input_net_keys", "101,abc,,100,-1,101,99999999999,0"},
        {"mcastfwdr/klv_source_keys", "1;2,0"},
        {"mcastfwdr/ca_session_ids", "2,x2"},
        {"mcastfwdr/output_keys", "3[1,0];;3[5];x3[0];-3[0];4;5[0,b,0];6[]"},
    };
    for (const Key &k : keys)
        ASSERT_EQ(kd_store_save_string(pli_, k.key, k.text), 0);
    restart([] { mcfcfg_rx_add_virt(); });
    // Input 0 is the virtual input the engine made, and no Net input's id: a
    // saved Net input 0 is skipped.
    EXPECT_EQ(input_ids(), (std::vector<int>{0, 100, 101}));
    EXPECT_EQ(output_ids(), (std::vector<int>{3, 5, 6}));
    EXPECT_EQ(service_ids(3), (std::vector<int>{0, 1}));
    EXPECT_EQ(service_ids(5), (std::vector<int>{0}));
    EXPECT_NE(mcfcfg_rx_klv_find_by_id(0), nullptr);
    EXPECT_EQ(mcfcfg_rx_klv_find_by_id(1), nullptr);
    EXPECT_NE(mcfcfg_ca_session_find_by_id(2), nullptr);
    for (const char *entry : {"'abc'", "'-1'", "'101'", "'99999999999'", "'1;2'", "'x2'", "'3[5]'", "'x3[0]'",
                              "'-3[0]'", "'4'", "'5[0,b,0]: b'", "'5[0,b,0]: 0'"})
        EXPECT_EQ(log_.count(entry), 1) << entry;
    EXPECT_EQ(log_.count("Failed to grab output info from 'x3[0]'"), 1);
    EXPECT_EQ(log_.count("Skipped '0' of store key 'mcastfwdr/input_net_keys': outside 100..149"), 1);
    // The keys now say what exists.
    EXPECT_EQ(saved("mcastfwdr/input_net_keys"), "100,101");
    EXPECT_EQ(saved("mcastfwdr/output_keys"), "3[0,1];5[0];6[]");
}

TEST_F(ParamStore, IdsOutsideTheirRangesAreRefusedAndTheRestComesBack)
{
    start();
    struct Key {
        const char *key, *text;
        std::vector<std::string> refused; // "entry: why"
        const char *saved_after;
    } keys[] = {
        {"mcastfwdr/ca_session_ids", "2147483647,3,21,20", {"2147483647: outside 0..20", "21: outside 0..20"}, "3,20"},
        {"mcastfwdr/input_net_keys", "5,99,100,150,149,1000,2147483647",
         {"5: outside 100..149", "99: outside 100..149", "150: outside 100..149", "1000: outside 100..149",
          "2147483647: outside 100..149"},
         "100,149"},
        {"mcastfwdr/klv_source_keys", "21,0,20", {"21: outside 0..20"}, "0,20"},
        {"mcastfwdr/output_keys", "0[0,99,100];100[];99[5]", {"0[0,99,100]: 100: outside 0..99", "100[]: outside 0..99"},
         "0[0,99];99[5]"},
    };
    for (const Key &k : keys)
        ASSERT_EQ(kd_store_save_string(pli_, k.key, k.text), 0);
    restart();
    EXPECT_EQ(ids_of(mcf_cfg.ca_sessions, [](const void *r) { return static_cast<const cfg_ca *>(r)->id; }),
              (std::vector<int>{3, 20}));
    EXPECT_EQ(input_ids(), (std::vector<int>{100, 149}));
    EXPECT_EQ(ids_of(mcf_cfg.rules_rx_klv, [](const void *r) { return static_cast<const cfg_rx_klv *>(r)->id; }),
              (std::vector<int>{0, 20}));
    EXPECT_EQ(output_ids(), (std::vector<int>{0, 99}));
    EXPECT_EQ(service_ids(0), (std::vector<int>{0, 99}));
    for (const Key &k : keys) {
        for (const std::string &r : k.refused) {
            const size_t colon = r.rfind(": ");
            const std::string line =
                "Skipped '" + r.substr(0, colon) + "' of store key '" + k.key + "': " + r.substr(colon + 2);
            EXPECT_EQ(log_.count(line), 1) << line;
        }
        EXPECT_EQ(saved(k.key), k.saved_after) << k.key;
    }
}

TEST_F(ParamStore, AnOverlongListIsReadAsFarAsSuchAListCanReachAndLogsAFewLines)
{
    start();
    std::string text = "100,101,";
    for (int i = 0; i < 2000; ++i)
        text += "x,";
    ASSERT_EQ(kd_store_save_string(pli_, "mcastfwdr/input_net_keys", text.c_str()), 0);
    restart();
    EXPECT_EQ(input_ids(), (std::vector<int>{100, 101}));
    // 50 ids of up to three digits, each with its comma, are 200 bytes.
    EXPECT_EQ(log_.count("Store key 'mcastfwdr/input_net_keys' refused past byte 200 of 4008"), 1);
    EXPECT_EQ(log_.count("Skipped 'x' of store key 'mcastfwdr/input_net_keys': not an id"), 20);
    EXPECT_EQ(log_.count("Skipped 76 more entries of store key 'mcastfwdr/input_net_keys'"), 1);
}

TEST_F(ParamStore, AddingStopsWhereARestartWouldAndEveryRowComesBack)
{
    start();
    ASSERT_EQ(mcastfwdr_add_row_output(0), 0);
    struct Kind {
        const char *what;
        int (*add)(int id);
        size_t count;
        int outside; // an id the kind never takes
        std::vector<int> (*ids)();
    } kinds[] = {
        {"KLV source", mcastfwdr_add_klv_source_row, 21, 21,
         [] { return ids_of(mcf_cfg.rules_rx_klv, [](const void *r) { return static_cast<const cfg_rx_klv *>(r)->id; }); }},
        {"CA session", mcastfwdr_add_ca_session_row, 21, 21,
         [] { return ids_of(mcf_cfg.ca_sessions, [](const void *r) { return static_cast<const cfg_ca *>(r)->id; }); }},
        {"output", mcastfwdr_add_row_output, 99, 100, output_ids},
        {"service", [](int id) { return mcastfwdr_add_row_out_input(mcfcfg_tx_find_by_id(0), id, 1); }, 100, 100,
         [] { return service_ids(0); }},
        {"Net input", mcastfwdr_add_input_net_row, 50, 150, input_ids},
    };
    for (const Kind &k : kinds) {
        for (size_t i = 0; i < k.count; ++i)
            ASSERT_EQ(k.add(-1), 0) << k.what << " " << i;
        EXPECT_EQ(k.add(-1), -1) << k.what;
        EXPECT_EQ(k.add(k.outside), -1) << k.what;
        EXPECT_EQ(log_.count(std::string("No ") + k.what + " added: every id of "), 1) << k.what;
        EXPECT_EQ(log_.count(std::string("No ") + k.what + " added: id " + std::to_string(k.outside) + " lies outside "),
                  1)
            << k.what;
    }
    std::vector<std::vector<int>> before;
    for (const Kind &k : kinds)
        before.push_back(k.ids());
    restart();
    for (size_t i = 0; i < std::size(kinds); ++i)
        EXPECT_EQ(kinds[i].ids(), before[i]) << kinds[i].what;
    EXPECT_EQ(log_.count("Skipped"), 0);
}

TEST_F(ParamStore, AServiceKeepsAtMostAHundredRemaps)
{
    start();
    ASSERT_EQ(mcastfwdr_add_row_output(3), 0);
    cfg_tx *tx = mcfcfg_tx_find_by_id(3);
    ASSERT_EQ(mcastfwdr_add_row_out_input(tx, -1, 1), 0);
    cfg_tx_input *svc = cfg_tx_input_find_by_id(tx, 0);
    for (int i = 0; i < 101; ++i)
        ASSERT_EQ(mcastfwdr_add_row_out_svc_pid_map(svc, -1, "Audio", 256 + i), 0);
    // Set by a client: the 101st remap in effect is refused.
    for (int i = 0; i < 100; ++i)
        ASSERT_EQ(set(remap(3, 0, i, "pid_out"), std::to_string(1000 + i).c_str()), PARAM_SET_SUCCESS) << i;
    EXPECT_EQ(set(remap(3, 0, 100, "pid_out"), "2000"), PARAM_SET_FAILURE);
    EXPECT_EQ(log_.count("Output 3 service 0: remap 100 refused: 100 remaps are in effect"), 1);
    // Undoing one makes room.
    ASSERT_EQ(set(remap(3, 0, 0, "pid_out"), "256"), PARAM_SET_SUCCESS);
    ASSERT_EQ(set(remap(3, 0, 100, "pid_out"), "2000"), PARAM_SET_SUCCESS);

    // Read from a store: ids past the PID space, and past a hundred, are skipped.
    std::string ids = "9000";
    for (int i = 1; i <= 101; ++i) {
        ids += "," + std::to_string(i);
        kd_store_save_string(pli_, remap(3, 0, i, "label").c_str(), "Audio");
        kd_store_save_string(pli_, remap(3, 0, i, "pid_in").c_str(), std::to_string(256 + i).c_str());
        kd_store_save_string(pli_, remap(3, 0, i, "pid_out").c_str(), std::to_string(3000 + i).c_str());
    }
    kd_store_save_string(pli_, "mcastfwdr/pidmap_keys_3", ("0[" + ids + "]").c_str());
    restart();
    svc = cfg_tx_input_find_by_id(mcfcfg_tx_find_by_id(3), 0);
    ASSERT_NE(svc, nullptr);
    EXPECT_EQ(cfg_tx_pid_map_find_by_id(svc, 100)->out_pid, 3100);
    EXPECT_EQ(cfg_tx_pid_map_find_by_id(svc, 101), nullptr);
    // The entry is long: its start names it.
    EXPECT_EQ(log_.count("Skipped '0[9000,1,2,3,4,5,6,7...: 9000' of store key 'mcastfwdr/pidmap_keys_3': outside 0..8191"),
              1);
    EXPECT_EQ(log_.count("Skipped '0[9000,1,2,3,4,5,6,7...: 101' of store key 'mcastfwdr/pidmap_keys_3': more than 100 ids"),
              1);
    std::vector<std::string> kept;
    for (int i = 1; i <= 100; ++i)
        kept.push_back(std::to_string(i));
    std::string want;
    for (const std::string &k : kept)
        want += (want.empty() ? "" : ",") + k;
    EXPECT_EQ(saved("mcastfwdr/pidmap_keys_3"), "0[" + want + "]");
}

TEST_F(ParamStore, ASavedPassphraseOfAWrongLengthIsRefused)
{
    start();
    const std::string long_one(80, 'p');
    struct Case {
        int id;
        std::string saved;
        const char *restored;
    } cases[] = {
        {100, "nine-char", MCF_SRT_NO_PASSPHRASE},
        {101, long_one, MCF_SRT_NO_PASSPHRASE},
        {102, "ten-chars!", "ten-chars!"},
        {103, std::string(79, 'q'), nullptr},
    };
    for (const Case &c : cases) {
        ASSERT_EQ(mcastfwdr_add_input_net_row(c.id), 0);
        ASSERT_EQ(kd_store_save_string(pli_, in_route(c.id, "services/srt/srt_passphrase").c_str(), c.saved.c_str()), 0);
    }
    restart();
    for (const Case &c : cases)
        EXPECT_EQ(mcfcfg_rx_find_by_id(c.id)->srt_passphrase, c.restored ? c.restored : c.saved) << c.id;
    for (const auto &[id, n] : {std::pair{100, 9}, std::pair{101, 80}})
        EXPECT_EQ(log_.count("Store key '" + in_route(id, "services/srt/srt_passphrase") + "' refused: length " +
                             std::to_string(n) + ", not 10..79"),
                  1)
            << id;
}

TEST_F(ParamStore, AMissingOrEmptyOutputListRestoresNoOutput)
{
    start();
    log_.clear();
    EXPECT_EQ(store_outputs_load_params(), -1);
    EXPECT_EQ(log_.count("No outputs exist for 'mcastfwdr/output_keys'"), 1);
    ASSERT_EQ(kd_store_save_string(pli_, "mcastfwdr/output_keys", ""), 0);
    EXPECT_EQ(store_outputs_load_params(), -1);
    EXPECT_EQ(log_.count("Empty outputs. output_keys_str: ''"), 1);
    EXPECT_EQ(store_outputs_load_pid_map_keys(12), -1);
    EXPECT_EQ(log_.count("Expected cfg_tx at id 12"), 1);
    EXPECT_TRUE(output_ids().empty());
}

TEST_F(ParamStore, AValueRefusedAtStartKeepsItsSavedText)
{
    start();
    ASSERT_EQ(mcastfwdr_add_ca_session_row(-1), 0);
    ASSERT_EQ(mcastfwdr_add_row_output(3), 0);
    ASSERT_EQ(mcastfwdr_add_row_out_input(mcfcfg_tx_find_by_id(3), -1, 1), 0);
    values({{ca(0, "biss_ca_key_period"), "60"}});
    // A period an older firmware took, and a session label no session has.
    const std::string period = ca(0, "biss_ca_key_period"), session = out_route(3, "input_refs/service_0/ca_session");
    ASSERT_EQ(kd_store_save_string(pli_, period.c_str(), "300"), 0);
    ASSERT_EQ(kd_store_save_string(pli_, session.c_str(), "CA Session Gone"), 0);
    restart();
    EXPECT_EQ(value(period), "30");
    EXPECT_EQ(value(session), "No Encryption");
    EXPECT_EQ(file()["mcastfwdr"][period], "300");
    EXPECT_EQ(file()["mcastfwdr"][session], "CA Session Gone");
}

TEST_F(ParamStore, OnADecoderCardNoOutputComesFromTheStore)
{
    start();
    ASSERT_EQ(mcastfwdr_add_row_output(3), 0);
    ASSERT_EQ(mcastfwdr_add_row_out_input(mcfcfg_tx_find_by_id(3), -1, 1), 0);
    // The decoder outputs as the decoder link makes them at start (its
    // sockets need root; the rows come first).
    auto decoder_card = [] {
        fake_engine::answers().decoder = true;
        mcf_decoder_init();
    };
    // A value the card saved for a decoder output's service.
    const std::string program = out_route(1, "input_refs/service_0/program_number");
    ASSERT_EQ(kd_store_save_string(pli_, program.c_str(), "5"), 0);
    restart(decoder_card);
    EXPECT_EQ(output_ids(), (std::vector<int>{0, 1}));
    EXPECT_EQ(service_ids(1), (std::vector<int>{0}));
    EXPECT_EQ(value(program), "5");
    mcf_decoder_fini();
}

} // namespace

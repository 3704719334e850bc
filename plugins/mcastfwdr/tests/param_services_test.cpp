// Output services and their PID remaps as a client sees them: service rows
// added and removed through the output row, remap rows made from the
// program the fake engine presents, and the table regenerations, rebuilds
// and PID router calls each change causes (logged with whether the write
// lock was held).
#include "param_fixture.h"
#include "param/mcf_param.h"

#include <kerrow/dataset.h>
#include <kerrow/store.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace {

using mcftest::calls_t;
using strings = std::vector<std::string>;

constexpr int kInput = 100, kProgram = 2;
constexpr int kPmtPid = 0x1000, kPcrPid = 500, kVideo = 256, kAudio = 257;

// A component name descriptor holding `text` as one uncompressed segment.
std::vector<uint8_t> component_name(const std::string &text)
{
    std::vector<uint8_t> d = {0xA3, uint8_t(text.size() + 8), 1, 'e', 'n', 'g', 1, 0, 0, uint8_t(text.size())};
    d.insert(d.end(), text.begin(), text.end());
    return d;
}

class ParamServices : public mcftest::ParamTest {
protected:
    void SetUp() override
    {
        ParamTest::SetUp();
        fake_engine::answers().real_sync = false;
    }

    static std::string out(int id, const std::string &key)
    {
        return "mcastfwdr/rules/outputs/output_" + std::to_string(id) + "/" + key;
    }
    // A service or remap row, or (with a key) one of its parameters.
    static std::string svc(int id, int sid, const std::string &key)
    {
        return out(id, "input_refs/service_" + std::to_string(sid) + (key.empty() ? "" : "/" + key));
    }
    static std::string remap(int id, int sid, int rid, const std::string &key)
    {
        return svc(id, sid, "remaps/remap_" + std::to_string(rid) + (key.empty() ? "" : "/" + key));
    }
    static cfg_tx *net(int id)
    {
        EXPECT_EQ(mcastfwdr_add_row_output(id), 0);
        return mcfcfg_tx_find_by_id(id);
    }
    static cfg_tx *other(int id, egress_types type)
    {
        cfg_tx *tx = type == EGRTYPE_ASI ? mcfcfg_tx_add_asi(&mcf_cfg, id) : mcfcfg_tx_add_dec(&mcf_cfg, id);
        mcastfwdr_allocate_rule_output(mcf_cfg.tbl_outputs, tx);
        return tx;
    }
    static cfg_tx_input *add_service(cfg_tx *tx)
    {
        EXPECT_EQ(set(out(tx->dest_id, "add_service"), "Yes"), PARAM_SET_SUCCESS);
        cfg_tx_input *last = nullptr;
        for (cfg_tx_input &s : mcf::records<cfg_tx_input>(tx->dest_services))
            last = &s;
        return last;
    }
    // Input 100 runs program 2: PMT, a PCR of its own, video, and audio
    // with a component name longer than a label.
    static void present_program(std::vector<fake_engine::stream> streams = {})
    {
        if (streams.empty())
            streams = {{0x1B, kVideo, kInput}, {0x0F, kAudio, kInput, component_name("Director's Commentary")}};
        fake_engine::answers().programs[kInput] = {
            fake_engine::program(kProgram, kPmtPid, kPcrPid, kInput, streams)};
    }
    // Output `id` with service 0 routing the program, loaded and running.
    static cfg_tx_input *routed(int id, egress_types type = EGRTYPE_NET)
    {
        cfg_tx *tx = type == EGRTYPE_NET ? net(id) : other(id, type);
        if (type == EGRTYPE_NET)
            add_service(tx);
        else
            EXPECT_EQ(mcastfwdr_add_row_out_input_(tx, -1), 0);
        present_program();
        mcf_ctrl_plane_configuration_is_loaded = 1;
        EXPECT_EQ(set(svc(id, 0, "input_id"), std::to_string(kInput).c_str()), PARAM_SET_SUCCESS);
        EXPECT_EQ(set(svc(id, 0, "program_number"), std::to_string(kProgram).c_str()), PARAM_SET_SUCCESS);
        fake_engine::answers().running.insert(id);
        return cfg_tx_input_find_by_id(tx, 0);
    }
    void clear()
    {
        fake_engine::calls().clear();
        updates_.clear();
    }
    std::string stored(const std::string &key) const
    {
        char *v = nullptr;
        if (kd_store_load_string(pli_, key.c_str(), &v) != 0 || !v)
            return "<none>";
        std::string s = v;
        std::free(v);
        return s;
    }
    bool has_key(const std::string &key) const { return kd_store_test_key(pli_, key.c_str()) == 1; }
    static calls_t rebuilt(int id, int deleted)
    {
        return {"out_delete " + std::to_string(id), "sync " + std::to_string(deleted)};
    }
};

TEST_F(ParamServices, ServiceRowsTakeTheLowestFreeIdAndRemoveOnlyCurrentOnes)
{
    cfg_tx *tx = net(3);
    EXPECT_EQ(set(out(3, "add_service"), "No"), PARAM_SET_FAILURE);
    for (int i = 0; i < 3; ++i)
        add_service(tx);
    EXPECT_EQ(log_.count("Allocated cfg_tx_input (service_2) under cfg_tx (id 3)"), 1);
    EXPECT_EQ(kd_param_get_label(at(svc(3, 2, ""))), std::string("Service 3"));
    EXPECT_EQ(labels(at(svc(3, 0, ""))),
              (strings{"Input ID", "Program Number", "Source ID", "KLV Source", "Major Number", "Minor Number",
                       "Modulation Mode", "Service Type", "Carrier Frequency", "Overwrite Program Number",
                       "Overwrite Service Name", "Overwrite Service Provider", "Clear All", "Durable Remaps",
                       "CA Session", "remaps"}));
    EXPECT_EQ(choices(out(3, "rem_service")), (strings{"0", "1", "2"}));
    EXPECT_NE(std::find(updates_.begin(), updates_.end(), out(3, "rem_service")), updates_.end())
        << "the choices of Rem Service are refreshed";

    EXPECT_EQ(set(out(3, "rem_service"), "1"), PARAM_SET_SUCCESS);
    EXPECT_EQ(kd_param_get_type(at(svc(3, 1, "input_id"))), PARAMTYPE_NONE);
    add_service(tx); // ids 0 and 2 give the next one id 1
    EXPECT_EQ(stored("mcastfwdr/output_keys"), "3[0,2,1]");
    EXPECT_EQ(value(svc(3, 1, "input_id")), "-1");

    for (const char *bad : {"5", "-1", "01", " 1"})
        EXPECT_EQ(set(out(3, "rem_service"), bad), PARAM_SET_FAILURE) << bad;
    // The action itself: a text that is no id or a negative one fails; an
    // unknown id succeeds and rebuilds the output all the same.
    EXPECT_EQ(mcastfwdr_rem_out_input_row(tx, 0, "-1"), PARAM_SET_FAILURE);
    EXPECT_EQ(mcastfwdr_rem_out_input_row(tx, 0, "1x"), PARAM_SET_FAILURE);
    EXPECT_EQ(mcastfwdr_rem_out_input_row(tx, 0, ""), PARAM_SET_FAILURE);
    load();
    EXPECT_EQ(mcastfwdr_rem_out_input_row(tx, 0, "7"), PARAM_SET_SUCCESS);
    EXPECT_EQ(calls(), rebuilt(3, 0));
    EXPECT_EQ(mcf_list_count(tx->dest_services), 3u);

    // Fixed ids (as the store restores them): a taken id is refused.
    EXPECT_EQ(mcastfwdr_add_row_out_input_(tx, 2), -1);
    EXPECT_EQ(mcastfwdr_add_row_out_input_(tx, 7), 0);
    EXPECT_EQ(kd_param_get_label(at(svc(3, 7, ""))), std::string("Service 8"));

    // A decoder output's service shows only what routes the program.
    cfg_tx *dec = other(5, EGRTYPE_DEC);
    ASSERT_EQ(mcastfwdr_add_row_out_input_(dec, -1), 0);
    EXPECT_EQ(labels(at(svc(5, 0, ""))), (strings{"Input ID", "Program Number", "remaps"}));
}

TEST_F(ParamServices, RemovingAServiceRebuildsTheOutputAndSavesTheKeys)
{
    cfg_tx *tx = net(3);
    cfg_tx_input *s0 = add_service(tx);
    cfg_tx_input *s1 = add_service(tx);
    net(4);
    EXPECT_EQ(stored("mcastfwdr/output_keys"), "3[0,1];4[]");
    for (cfg_tx_input *s : {s0, s1}) {
        ASSERT_EQ(mcastfwdr_add_row_out_svc_pid_map(s, -1, "Video", kVideo), 0);
        ASSERT_EQ(mcastfwdr_add_row_out_svc_pid_map(s, -1, "Audio", kAudio), 0);
    }
    ASSERT_EQ(set(remap(3, 0, 1, "pid_out"), "300"), PARAM_SET_SUCCESS);
    ASSERT_EQ(set(remap(3, 1, 0, "pid_out"), "301"), PARAM_SET_SUCCESS);
    EXPECT_EQ(stored("mcastfwdr/pidmap_keys_3"), "0[1];1[0]");
    EXPECT_EQ(stored(remap(3, 0, 1, "pid_out")), "300");

    load();
    fake_engine::answers().running = {3};
    EXPECT_EQ(set(out(3, "rem_service"), "0"), PARAM_SET_SUCCESS);
    EXPECT_EQ(calls(), rebuilt(3, 1)) << "the service goes while the running output is held off";
    EXPECT_EQ(fake_engine::services_seen().back(), 2u) << "still listed when the running output went";
    EXPECT_EQ(mcf_list_count(tx->dest_services), 1u);
    EXPECT_EQ(stored("mcastfwdr/output_keys"), "3[1];4[]");
    EXPECT_EQ(stored("mcastfwdr/pidmap_keys_3"), "1[0]");
    EXPECT_FALSE(has_key(remap(3, 0, 1, "pid_out"))) << "the removed service's stored values go with it";

    EXPECT_EQ(set(out(3, "rem_service"), "1"), PARAM_SET_SUCCESS);
    EXPECT_EQ(stored("mcastfwdr/output_keys"), "3[];4[]");
    EXPECT_FALSE(has_key("mcastfwdr/pidmap_keys_3")) << "no service left";
}

TEST_F(ParamServices, InputAndProgramMakeTheRemapRowsFromTheProgram)
{
    cfg_tx *tx = net(3);
    cfg_tx_input *s = add_service(tx);
    present_program();
    // Before the configuration is loaded the values are only stored.
    EXPECT_EQ(set(svc(3, 0, "input_id"), "100"), PARAM_SET_SUCCESS);
    EXPECT_EQ(set(svc(3, 0, "program_number"), "2"), PARAM_SET_SUCCESS);
    EXPECT_TRUE(calls().empty());
    EXPECT_EQ(mcf_list_count(s->list_pid_maps), 0u);

    load();
    EXPECT_EQ(set(svc(3, 0, "program_number"), "0"), PARAM_SET_FAILURE);
    EXPECT_EQ(set(svc(3, 0, "input_id"), "-1"), PARAM_SET_SUCCESS);
    EXPECT_EQ(set(svc(3, 0, "input_id"), "100"), PARAM_SET_SUCCESS);
    calls_t want = {"pids 3/0 1"};
    for (const auto &c : rebuilt(3, 0))
        want.push_back(c);
    EXPECT_EQ(calls(), want);

    struct Row {
        const char *label;
        int pid;
    } rows[] = {{"PMT", kPmtPid}, {"PCR", kPcrPid}, {"Video", kVideo}, {"Director's Commenta", kAudio}};
    ASSERT_EQ(mcf_list_count(s->list_pid_maps), std::size(rows));
    for (int i = 0; i < int(std::size(rows)); ++i) {
        EXPECT_EQ(value(remap(3, 0, i, "label")), rows[i].label) << i;
        EXPECT_EQ(value(remap(3, 0, i, "pid_in")), std::to_string(rows[i].pid)) << i;
        EXPECT_EQ(value(remap(3, 0, i, "pid_out")), std::to_string(rows[i].pid)) << i;
        EXPECT_EQ(value(remap(3, 0, i, "in_use")), "Yes") << i;
    }
    EXPECT_EQ(kd_param_get_label(at(remap(3, 0, 3, ""))), std::string("Remap 4"));
    EXPECT_EQ(s->param_pid_maps, at(svc(3, 0, "remaps")));

    // Another program: the rows of the one before go, also when the input
    // does not (yet) carry the new one.
    clear();
    EXPECT_EQ(set(svc(3, 0, "program_number"), "9"), PARAM_SET_SUCCESS);
    EXPECT_EQ(mcf_list_count(s->list_pid_maps), 0u);
    EXPECT_EQ(kd_param_get_type(at(remap(3, 0, 0, "pid_in"))), PARAMTYPE_NONE);
    EXPECT_EQ(calls().front(), "pids 3/0 1");
}

TEST_F(ParamServices, AnAsiOutputIsProvisionedOtherOutputsAreRebuilt)
{
    routed(1, EGRTYPE_ASI);
    routed(5, EGRTYPE_DEC);
    EXPECT_EQ(calls(), (calls_t{"pids 1/0 1", "asi_prov 1", "pids 5/0 1", "out_delete 5", "sync 0"}));
    EXPECT_EQ(kd_param_get_readwrite(at(remap(5, 0, 2, "pid_out"))), PARAMCTRL_RDONLY);
    EXPECT_EQ(kd_param_get_readwrite(at(remap(1, 0, 2, "pid_out"))), PARAMCTRL_RDWR_NOPERSIST);
}

TEST_F(ParamServices, PidOutIsStoredAndRoutedUnderTheLock)
{
    cfg_tx_input *s = routed(3);
    clear();
    struct Case {
        const char *text;
        param_set_result rc;
    } cases[] = {{"0", PARAM_SET_FAILURE},    {"8191", PARAM_SET_FAILURE}, {"8192", PARAM_SET_FAILURE},
                 {"-1", PARAM_SET_FAILURE},   {"1", PARAM_SET_SUCCESS},    {"8190", PARAM_SET_SUCCESS},
                 {"0x12C", PARAM_SET_SUCCESS}};
    for (const auto &c : cases)
        EXPECT_EQ(set(remap(3, 0, 2, "pid_out"), c.text), c.rc) << c.text;
    EXPECT_EQ(s->version_pid_maps, 3u);
    EXPECT_EQ(calls().back(), "remap_pid 3 100 256 300");
    EXPECT_EQ(calls().end()[-2], "tables 3 0");
    EXPECT_EQ(stored(remap(3, 0, 2, "label")), "Video");
    EXPECT_EQ(stored(remap(3, 0, 2, "pid_in")), "256");
    EXPECT_EQ(stored(remap(3, 0, 2, "pid_out")), "300");
    EXPECT_EQ(stored("mcastfwdr/pidmap_keys_3"), "0[2]");

    clear();
    EXPECT_EQ(set(remap(3, 0, 2, "pid_out"), "300"), PARAM_SET_SUCCESS); // unchanged: nothing
    EXPECT_TRUE(calls().empty());
    EXPECT_EQ(set(remap(3, 0, 2, "pid_out"), "256"), PARAM_SET_SUCCESS); // undone
    EXPECT_EQ(calls(), (calls_t{"tables 3 0", "remap_pid 3 100 256 0"}));
    EXPECT_FALSE(has_key(remap(3, 0, 2, "pid_out")));
    EXPECT_FALSE(has_key("mcastfwdr/pidmap_keys_3")) << "only remaps in effect are listed";
    EXPECT_EQ(value(remap(3, 0, 2, "pid_in")), "256") << "the row stays";

    // A PID whose ingress is unknown regenerates the tables only; a row not
    // in use has the output recompute its inputs.
    clear();
    EXPECT_EQ(set(remap(3, 0, 0, "pid_out"), "4097"), PARAM_SET_SUCCESS); // the PMT PID: no ingress id
    EXPECT_EQ(calls(), (calls_t{"tables 3 0"}));
    cfg_tx_pid_map_find_by_pid(s, kAudio)->in_use = 0;
    clear();
    EXPECT_EQ(set(remap(3, 0, 3, "pid_out"), "400"), PARAM_SET_SUCCESS);
    EXPECT_EQ(calls(), (calls_t{"unique 3"}));
    EXPECT_EQ(stored("mcastfwdr/pidmap_keys_3"), "0[0,3]");
}

TEST_F(ParamServices, ProgramChangesRetireRowsDurableRemapsStay)
{
    for (const int durable : {1, 0}) {
        SCOPED_TRACE(durable);
        cfg_tx_input *s = routed(3);
        ASSERT_EQ(set(svc(3, 0, "durable_remaps"), durable ? "On" : "Off"), PARAM_SET_SUCCESS);
        ASSERT_EQ(set(remap(3, 0, 2, "pid_out"), "300"), PARAM_SET_SUCCESS);
        // Video and audio leave; a new audio stream arrives whose name
        // claims more bytes than its descriptor holds.
        std::vector<uint8_t> overlong = component_name("Second");
        overlong[9] += 5;
        present_program({{0x03, 258, kInput, overlong}});
        clear();
        EXPECT_EQ(mcfcfg_tx_input_sync_program_pids(s, 0), 0);
        const cfg_tx_pid_map *video = cfg_tx_pid_map_find_by_pid(s, kVideo);
        EXPECT_EQ(cfg_tx_pid_map_find_by_pid(s, kAudio), nullptr) << "an unchanged PID that left goes";
        const cfg_tx_pid_map *added = cfg_tx_pid_map_find_by_pid(s, 258);
        ASSERT_NE(added, nullptr);
        EXPECT_STREQ(added->label, "Audio");
        EXPECT_EQ(added->id, durable ? 3 : 2) << "the lowest free id";
        if (durable) {
            ASSERT_NE(video, nullptr);
            EXPECT_EQ(value(remap(3, 0, 2, "in_use")), "No");
            EXPECT_EQ(stored("mcastfwdr/pidmap_keys_3"), "0[2]");
            // Turned Off: the unused remap goes and the output recomputes its inputs.
            clear();
            EXPECT_EQ(set(svc(3, 0, "durable_remaps"), "Off"), PARAM_SET_SUCCESS);
            EXPECT_EQ(cfg_tx_pid_map_find_by_pid(s, kVideo), nullptr);
            EXPECT_EQ(calls(), (calls_t{"unique 3"}));
            // Back in the program later: a new identity row.
        } else {
            EXPECT_EQ(video, nullptr);
        }
        EXPECT_FALSE(has_key("mcastfwdr/pidmap_keys_3"));
        EXPECT_FALSE(has_key(remap(3, 0, 2, "pid_out")));
        EXPECT_EQ(mcastfwdr_rem_output_row(mcfcfg_tx_find_by_id(3)), 0);
        fake_engine::answers().running.clear();
    }
}

// An input's program changes under the services routing it: the status
// queue's program update has every one of them follow the PIDs; an output
// that lost a remap in effect is made again, the others recompute their
// inputs, all under the lock.
TEST_F(ParamServices, AProgramChangeReachesEveryServiceRoutingIt)
{
    ASSERT_EQ(mcastfwdr_add_input_net_row(kInput), 0);
    cfg_tx_input *a = routed(3);
    cfg_tx_input *b = routed(4);
    cfg_tx_input *other = routed(6);
    ASSERT_EQ(set(svc(6, 0, "program_number"), "9"), PARAM_SET_SUCCESS); // not carried: no rows
    ASSERT_EQ(set(svc(3, 0, "durable_remaps"), "Off"), PARAM_SET_SUCCESS);
    ASSERT_EQ(set(svc(4, 0, "durable_remaps"), "Off"), PARAM_SET_SUCCESS);
    const auto update = [] {
        EXPECT_EQ(mcf_post_program_status_update(kInput, kProgram, CASTATUS_CLEAR), 0);
        mcf_status_queue_periodic_check();
    };
    const fake_engine::stream video{0x1B, kVideo, kInput}, audio{0x0F, kAudio, kInput}, second{0x81, 258, kInput};

    // An audio stream arrives: a row in each service, nothing made again.
    present_program({video, audio, second});
    clear();
    update();
    for (int id : {3, 4}) {
        SCOPED_TRACE(id);
        EXPECT_EQ(value(remap(id, 0, 4, "pid_in")), "258");
        EXPECT_EQ(value(remap(id, 0, 4, "label")), "Audio");
        EXPECT_EQ(value(remap(id, 0, 4, "in_use")), "Yes");
    }
    EXPECT_EQ(mcf_list_count(a->list_pid_maps), 5u);
    EXPECT_EQ(mcf_list_count(b->list_pid_maps), 5u);
    EXPECT_EQ(mcf_list_count(other->list_pid_maps), 0u);
    EXPECT_EQ(calls(), (calls_t{"unique 3", "unique 4"}));

    // Video leaves; output 3 remapped it, output 4 sent it unchanged.
    ASSERT_EQ(set(remap(3, 0, 2, "pid_out"), "300"), PARAM_SET_SUCCESS);
    present_program({audio, second});
    clear();
    update();
    EXPECT_EQ(cfg_tx_pid_map_find_by_pid(a, kVideo), nullptr);
    EXPECT_EQ(cfg_tx_pid_map_find_by_pid(b, kVideo), nullptr);
    EXPECT_EQ(kd_param_get_type(at(remap(3, 0, 2, ""))), PARAMTYPE_NONE);
    EXPECT_FALSE(has_key("mcastfwdr/pidmap_keys_3"));
    EXPECT_FALSE(has_key(remap(3, 0, 2, "pid_out")));
    EXPECT_EQ(calls(), (calls_t{"out_delete 3", "sync 1", "unique 4"}));

    // The collected outputs, called directly: with durable remaps output 4
    // keeps its remap of the leaving stream, not in use; output 3 loses its
    // identity row. Neither lost a remap in effect.
    ASSERT_EQ(set(svc(4, 0, "durable_remaps"), "On"), PARAM_SET_SUCCESS);
    ASSERT_EQ(set(remap(4, 0, 4, "pid_out"), "600"), PARAM_SET_SUCCESS);
    present_program({audio});
    std::unique_ptr<kd_dataset, int (*)(kd_dataset *)> ids(kd_dataset_ctor(8, 0), kd_dataset_dtor);
    EXPECT_EQ(mcfcfg_tx_sync_program_pids(kInput, kProgram, ids.get()), 0);
    EXPECT_EQ(kd_dataset_get_length(ids.get()), 0u);
    EXPECT_EQ(cfg_tx_pid_map_find_by_pid(a, 258), nullptr);
    ASSERT_NE(cfg_tx_pid_map_find_by_pid(b, 258), nullptr);
    EXPECT_EQ(value(remap(4, 0, 4, "in_use")), "No");
    EXPECT_EQ(stored("mcastfwdr/pidmap_keys_4"), "0[4]");
    // Turned off, a remap in effect of output 3 goes too: 3 is collected.
    ASSERT_EQ(set(remap(3, 0, 3, "pid_out"), "700"), PARAM_SET_SUCCESS); // the audio row
    present_program({video});
    clear();
    EXPECT_EQ(mcfcfg_tx_sync_program_pids(kInput, kProgram, ids.get()), 0);
    EXPECT_EQ(kd_dataset_get_length(ids.get()), 1u);
    EXPECT_EQ(kd_dataset_exists(ids.get(), 3), 1);
    EXPECT_NE(cfg_tx_pid_map_find_by_pid(a, kVideo), nullptr) << "video is back as an identity row";
    EXPECT_TRUE(calls().empty()) << "the caller makes the outputs again";

    // No manager, no such program: nothing changes.
    kd_dataset_clear(ids.get());
    const size_t rows = mcf_list_count(a->list_pid_maps);
    for (auto [input, program] : {std::pair{kInput, 9}, std::pair{101, kProgram}, std::pair{-1, kProgram}}) {
        EXPECT_EQ(mcfcfg_tx_sync_program_pids(input, program, ids.get()), -1) << input << "/" << program;
        EXPECT_EQ(mcfcfg_tx_sync_program_pids(input, program, nullptr), -1);
    }
    EXPECT_EQ(mcf_list_count(a->list_pid_maps), rows);
    EXPECT_EQ(kd_dataset_get_length(ids.get()), 0u);
}

TEST_F(ParamServices, ClearAllPutsThePidsBack)
{
    cfg_tx *tx = net(3);
    add_service(tx);
    load();
    EXPECT_EQ(set(svc(3, 0, "clear_all"), "Yes"), PARAM_SET_SUCCESS); // no rows: nothing
    EXPECT_EQ(set(svc(3, 0, "clear_all"), "No"), PARAM_SET_FAILURE);
    EXPECT_TRUE(calls().empty());
    EXPECT_EQ(mcastfwdr_rem_output_row(tx), 0);

    cfg_tx_input *s = routed(4);
    ASSERT_EQ(set(remap(4, 0, 2, "pid_out"), "300"), PARAM_SET_SUCCESS); // video, in use
    ASSERT_EQ(set(remap(4, 0, 1, "pid_out"), "600"), PARAM_SET_SUCCESS); // PCR, then gone from the program
    cfg_tx_pid_map_find_by_pid(s, kPcrPid)->in_use = 0;
    const uint32_t version = s->version_pid_maps;
    clear();
    EXPECT_EQ(set(svc(4, 0, "clear_all"), "Yes"), PARAM_SET_SUCCESS);
    EXPECT_EQ(cfg_tx_pid_map_find_by_pid(s, kPcrPid), nullptr) << "the row not in use goes";
    EXPECT_EQ(value(remap(4, 0, 2, "pid_out")), "256");
    EXPECT_NE(std::find(updates_.begin(), updates_.end(), remap(4, 0, 2, "pid_out")), updates_.end());
    EXPECT_FALSE(has_key(remap(4, 0, 2, "pid_out")));
    EXPECT_FALSE(has_key("mcastfwdr/pidmap_keys_4"));
    EXPECT_EQ(s->version_pid_maps, version + 1);
    EXPECT_EQ(calls(), (calls_t{"tables 4 0", "phindex"}));

    // Only a removed row was in effect: the output recomputes its inputs.
    ASSERT_EQ(mcastfwdr_add_row_out_svc_pid_map(s, -1, "PCR", kPcrPid), 0);
    cfg_tx_pid_map *pcr = cfg_tx_pid_map_find_by_pid(s, kPcrPid);
    pcr->out_pid = 600;
    pcr->in_use = 0;
    clear();
    EXPECT_EQ(set(svc(4, 0, "clear_all"), "Yes"), PARAM_SET_SUCCESS);
    EXPECT_EQ(calls(), (calls_t{"unique 4"}));
}

TEST_F(ParamServices, ServiceSettingsRegenerateWhatTheyChange)
{
    cfg_tx *tx = net(3);
    cfg_tx_input *s = add_service(tx);
    // Modulation and service type regenerate at once, also before the load.
    fake_engine::answers().running = {3};
    EXPECT_EQ(set(svc(3, 0, "modulation_mode"), "ATSC (8 VSB)"), PARAM_SET_SUCCESS);
    EXPECT_EQ(set(svc(3, 0, "service_type"), "ATSC AUDIO"), PARAM_SET_SUCCESS);
    EXPECT_EQ(s->modulation_mode, VCT_MODULATION_MODE_ATSC8VSB);
    EXPECT_EQ(s->service_type, ATSC_AUDIO);
    EXPECT_EQ(value(svc(3, 0, "modulation_mode")), "ATSC (8 VSB)");
    EXPECT_EQ(calls(), (calls_t{"tables 3 6", "tables 3 6"}));
    s->service_type = RESERVED;
    EXPECT_EQ(value(svc(3, 0, "service_type")), "ANALOG TELEVISION");
    load();

    struct Case {
        tables_type tables;
        const char *key, *text;
        calls_t want;
    } cases[] = {
        {TABLES_TYPE_DVB, "major_number", "5", {}},
        {TABLES_TYPE_ATSC_CABLE, "major_number", "6", {"tables 3 4"}},
        {TABLES_TYPE_ATSC_CABLE, "major_number", "6", {}}, // unchanged
        {TABLES_TYPE_ATSC_TERRESTRIAL, "minor_number", "999", {"tables 3 4"}},
        {TABLES_TYPE_DVB, "carrier_frequency", "1000", {}},
        {TABLES_TYPE_ATSC_CABLE, "carrier_frequency", "1002000000", {"tables 3 6"}},
        {TABLES_TYPE_DVB, "source_id", "7", {"tables 3 5"}},
        {TABLES_TYPE_DVB, "overwrite_program_number", "12", {"tables 3 0"}},
        {TABLES_TYPE_DVB, "overwrite_service_name", "News", {"tables 3 2"}},
        {TABLES_TYPE_DVB, "overwrite_service_name", "News", {"tables 3 2"}}, // also when unchanged
        {TABLES_TYPE_DVB, "overwrite_service_provider", "Studio", {"tables 3 3"}},
        {TABLES_TYPE_DVB, "major_number", "100", {}},
        {TABLES_TYPE_DVB, "source_id", "0", {}},
        {TABLES_TYPE_DVB, "modulation_mode", "VSB", {}},
    };
    for (const auto &c : cases) {
        tx->dest_tables_type = c.tables;
        clear();
        set(svc(3, 0, c.key), c.text);
        EXPECT_EQ(calls(), c.want) << c.key << " " << c.text << " on tables " << c.tables;
    }
    EXPECT_EQ(s->major_channel_number, 6) << "stored on a DVB output too";
    EXPECT_EQ(s->carrier_frequency, 1002000000);
    const std::string name(70, 'n');
    EXPECT_EQ(set(svc(3, 0, "overwrite_service_name"), name.c_str()), PARAM_SET_SUCCESS);
    EXPECT_EQ(std::string(s->overwrite_service_name), name.substr(0, 63));
}

TEST_F(ParamServices, KlvSourceAndCaSessionByLabel)
{
    // Every source and session is offered: as many as there can be (ids 0..20).
    for (int i = 0; i < 21; ++i) {
        std::snprintf(mcfcfg_add_klv_source(-1)->ui_label, 32, "KLV %d", i);
        std::snprintf(mcfcfg_add_ca_session(-1)->ui_label, 32, "CA %d", i);
    }
    cfg_tx_input *s = routed(3);
    const strings klv = choices(svc(3, 0, "klv_source")), ca = choices(svc(3, 0, "ca_session"));
    ASSERT_EQ(klv.size(), 22u);
    ASSERT_EQ(ca.size(), 22u);
    EXPECT_EQ(klv.front(), "No KLV Injection");
    EXPECT_EQ(klv.back(), "KLV 20");
    EXPECT_EQ(ca.front(), "No Encryption");
    EXPECT_EQ(s->param_klv_source, at(svc(3, 0, "klv_source")));
    EXPECT_EQ(s->param_ca_session, at(svc(3, 0, "ca_session")));

    clear();
    EXPECT_EQ(set(svc(3, 0, "klv_source"), "KLV 20"), PARAM_SET_SUCCESS);
    EXPECT_EQ(s->klv_source_id, 20);
    EXPECT_EQ(value(svc(3, 0, "klv_source")), "KLV 20");
    EXPECT_EQ(calls(), (calls_t{"tables 3 0", "klv_latency 3"}));
    EXPECT_EQ(set(svc(3, 0, "klv_source"), "KLV 21"), PARAM_SET_FAILURE);
    EXPECT_EQ(set(svc(3, 0, "klv_source"), "No KLV Injection"), PARAM_SET_SUCCESS);
    EXPECT_EQ(s->klv_source_id, -1);

    // The session goes to the PCR of its own and to every stream whose
    // ingress is known.
    present_program({{0x1B, kVideo, kInput}, {0x0F, kAudio, -1}, {0x0F, 258, 1201}});
    clear();
    EXPECT_EQ(set(svc(3, 0, "ca_session"), "CA 7"), PARAM_SET_SUCCESS);
    EXPECT_EQ(calls(), (calls_t{"ca_pid 3 100 500 7", "ca_pid 3 100 256 7", "ca_pid 3 1201 258 7", "tables 3 0"}));
    EXPECT_EQ(value(svc(3, 0, "ca_session")), "CA 7");
    mcfcfg_tx_input_clear_ca_session(&mcf_cfg, 7);
    EXPECT_EQ(value(svc(3, 0, "ca_session")), "No Encryption");
}

} // namespace

// Settings profiles: the table that follows the profiles directory, create,
// rename, delete, download, upload checks and apply, with a stand-in for
// the proxy plug-in's side (slave stores, parts, reports) and a recording
// stand-in for reboot.
#include "carrier_internal.h"
#include "frame_internal.h"
#include "profile/profile_internal.h"
#include "store_support.h"
#include "test_support.h"

#include <kerrow/carrier.h>
#include <kerrow/cuvent.h>
#include <kerrow/param.h>
#include <kerrow/path.h>
#include <kerrow/profile.h>
#include <kerrow/ref.h>
#include <kerrow/store.h>

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <sstream>
#include <string>

namespace {

namespace fs = std::filesystem;
namespace kc = kd::carrier;

// This card: an encoder with its own identity and web users.
const std::string kMyStore = R"({
  "enccfg": {
    "enccfg/bitrate": "8000"
  },
  "frame": {
    "frame/common_name": "mine",
    "frame/hostname": "card-a",
    "frame/snmp_service": "1"
  },
  "websocket": {
    "websocket/users": "mine"
  }
})";

// Another encoder's store, as a profile holds it.
const std::string kTheirStore = R"({
  "enccfg": {
    "enccfg/bitrate": "2000"
  },
  "frame": {
    "frame/chassis_number": "2",
    "frame/common_name": "theirs",
    "frame/hostname": "card-b"
  },
  "mcastfwdr": {
    "mcastfwdr/out": "239.1.1.1"
  },
  "websocket": {
    "websocket/users": "theirs"
  }
})";

const std::string kDecoderStore = "{\n  \"decode\": {\n    \"decode/x\": \"1\"\n  }\n}";

std::string slurp(const std::string &path)
{
    std::ifstream in(path);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

void put(const std::string &path, const std::string &text)
{
    fs::create_directories(fs::path(path).parent_path());
    std::ofstream(path) << text;
}


// Runs `body(round, i)` for i = 0, 1, ... in a child process and kills it at
// a different moment each round, always after its first pass is complete;
// then runs `check(round)` on what the child left behind.
void kill_midway(int rounds, const std::function<void(int, int)> &body, const std::function<void(int)> &check)
{
    for (int round = 0; round < rounds; ++round) {
        int ready[2];
        ASSERT_EQ(pipe(ready), 0);
        const pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            kd_log_set_sink([](void *, int, const char *, int, const char *, const char *) {}, nullptr);
            for (int i = 0;; ++i) {
                body(round, i);
                if (i == 0 && write(ready[1], "w", 1) != 1)
                    _exit(1);
            }
        }
        close(ready[1]);
        char c;
        ASSERT_EQ(read(ready[0], &c, 1), 1);
        close(ready[0]);
        usleep(useconds_t(round * 613 % 9000));
        kill(child, SIGKILL);
        waitpid(child, nullptr, 0);
        check(round);
    }
}

// ---- what the framework emits, heard as the proxy and front end would ----
struct Heard {
    std::map<std::string, int> count;
    int flag = -1;
    int verify = -1;
};
Heard g_heard;

// ---- the proxy plug-in's side, with the slave cards behind it ----
struct Slave {
    std::string store;
    int add_state = CHECK_VALID; // what it reports when asked for its store
    int verdict = CHECK_VALID;   // what it reports for its part
    bool slow = false;           // reports "not finished" first
};
struct Later {
    const char *event;
    int value;
    std::string text;
};
struct StandIn {
    std::map<int, Slave> slaves; // by user slot
    std::map<int, std::string> parts; // what each slave received
    std::list<Later> later;           // payloads of deferred emits (stable)
};
StandIn g_proxy;

void emit_later(const char *event, int value, std::string text = {})
{
    Later &l = g_proxy.later.emplace_back(Later{event, value, std::move(text)});
    kd_frame_idle_register(&l, [](void *ctx) {
        auto *l = static_cast<Later *>(ctx);
        if (l->text.empty())
            kd_cuvent_emit(nullptr, l->event, &l->value);
        else
            kd_cuvent_emit(nullptr, l->event, const_cast<char *>(l->text.c_str()));
    });
}

std::string media(int ui) { return kd::rooted("/media/hd0/media/slot" + std::to_string(ui) + ".pfl"); }
std::string part(const std::string &name) { return kd::rooted(SLAVE_SETTINGS_PROFILES_DIR) + name; }

void proxy_add(cuvent_wrapper *) noexcept
{
    for (auto &[ui, s] : g_proxy.slaves) {
        put(media(ui), s.store);
        if (s.slow)
            emit_later("settings_profile_slaves_add_state", ui * 10 + CHECK_NOT_FINISH);
        emit_later("settings_profile_slaves_add_state", ui * 10 + s.add_state);
    }
}

void proxy_send(cuvent_wrapper *) noexcept
{
    for (auto &[ui, s] : g_proxy.slaves)
        g_proxy.parts[ui] = slurp(part("slot" + std::to_string(ui) + ".pfl"));
}

void proxy_apply(cuvent_wrapper *) noexcept
{
    emit_later("proxy_on_profile_check_type", 0, part("master.pfl"));
    for (auto &[ui, s] : g_proxy.slaves)
        emit_later("settings profile slaves apply state", ui * 10 + s.verdict);
}

class ProfileTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        g_heard = {};
        g_proxy = {};
        put(root_ / "opt/pkg/var/oem", ""); // on the card: the store uses its file
        put(store_file(), kMyStore);
        fs::create_directories(root_ / "cmd");
        put(root_ / "cmd/reboot", "#!/bin/sh\necho \"reboot $*\" >> \"" + root_ / "cmd/calls" + "\"\n");
        chmod((root_ / "cmd/reboot").c_str(), 0755);
        setenv("KD_CMD_DIR", (root_ / "cmd").c_str(), 1);

        kd::loop_init();
        kd_ref_init();
        kd_cuvents_init();
        kd_param_init();
        kd_store_init();
        kc::st().native = false;
        kc::set_identity(DEFAULT_MASTER_SLOT);
        setup_settings_profile();

        for (const char *e : {"add settings profile requested", "master send profile to slaves",
                              "master_apply_settings_profile_requested", "profile reboot requested"})
            kd_cuvent_register_cb(nullptr, e, [](cuvent_wrapper *w) { ++g_heard.count[w->name]; }, nullptr,
                                  CUVFLT_NONE);
        kd_cuvent_register_cb(nullptr, "check_settings_profile_flag",
                              [](cuvent_wrapper *w) { g_heard.flag = *static_cast<int *>(w->emit_ctx); }, nullptr,
                              CUVFLT_NONE);
        kd_cuvent_register_cb(nullptr, "verify_settings_profile",
                              [](cuvent_wrapper *w) { g_heard.verify = *static_cast<unsigned char *>(w->emit_ctx); },
                              nullptr, CUVFLT_NONE);
        kd_cuvent_register_cb(nullptr, "add settings profile requested", proxy_add, nullptr, CUVFLT_NONE);
        kd_cuvent_register_cb(nullptr, "master send profile to slaves", proxy_send, nullptr, CUVFLT_NONE);
        kd_cuvent_register_cb(nullptr, "master_apply_settings_profile_requested", proxy_apply, nullptr,
                              CUVFLT_NONE);
    }
    void TearDown() override
    {
        kd_param_fini();
        kd_store_fini();
        kd_cuvents_fini();
        kd_ref_fini();
        kd::loop_fini();
        kc::st().carriers.clear();
        kc::st().native = true;
        kc::set_identity(DEFAULT_MASTER_SLOT);
        unsetenv("KD_CMD_DIR");
    }

    std::string store_file() const { return root_ / "var/local/solvera/store.json"; }
    std::string profile(const std::string &name) const { return root_ / "var/local/solvera/profiles/" + name + ".pfl"; }
    std::string link(const std::string &name) const
    {
        return root_ / "var/local/solvera/downloadprofiles/" + name + ".txt";
    }

    void add_slave(int ui, Slave s)
    {
        auto r = std::make_unique<kc::node_rec>();
        r->node.slot = unsigned(ui_to_hw_slot[ui]);
        kc::st().carriers.push_back(std::move(r));
        g_proxy.slaves[ui] = std::move(s);
    }

    static param_context *node(const std::string &route) { return kd_param_get_by_route(route.c_str()); }
    static param_set_result set(const std::string &route, const char *text)
    {
        param_context *p = node(route);
        if (kd_param_get_type(p) == PARAMTYPE_CHOICE)
            return kd_param_get_choice_ops(p)->set(p, text);
        if (kd_param_get_type(p) == PARAMTYPE_NUMBER)
            return kd_param_get_number_ops(p)->set(p, text);
        EXPECT_EQ(kd_param_get_type(p), PARAMTYPE_STRING) << route;
        return kd_param_get_string_ops(p)->set(p, text);
    }
    static std::string value(const std::string &route)
    {
        char *v = kd_param_get_value_text(node(route));
        std::string out = v ? v : "";
        std::free(v);
        return out;
    }
    static param_set_result create(const char *name)
    {
        return set("frame/settings_profiles_add/settings_profiles_add_name", name);
    }
    static bool row_exists(const std::string &key)
    {
        return kd_param_get_type(node("frame/settings_profiles/" + key)) == PARAMTYPE_LIST;
    }

    // Runs the loop until pred holds or `limit` seconds pass.
    static bool run_until(std::function<bool()> pred, double limit)
    {
        static std::function<bool()> g_pred;
        g_pred = std::move(pred);
        kd_frame_timeout_register("t-poll", [](void *) { if (g_pred()) kd_shutdown(); }, nullptr, 0.02, 1, nullptr);
        kd_frame_timeout_register("t-limit", [](void *) { kd_shutdown(); }, nullptr, limit, 0, nullptr);
        kd::loop_run();
        kd_frame_stop_watcher("t-poll", nullptr);
        kd_frame_stop_watcher("t-limit", nullptr);
        return g_pred();
    }
    static void run_for(double seconds)
    {
        run_until([] { return false; }, seconds);
    }
    // Rows as a sync finds them.
    void sync() { kd::profile::sync_profiles(); }

    kdtest::TempRoot root_;
    kdtest::LogCapture log_;
};

// ---- creating ----

TEST_F(ProfileTest, NamesAreCheckedBeforeAnyPathIsBuilt)
{
    put(root_ / "var/local/solvera/victim.pfl", "keep");
    for (const char *bad : {"", "../victim", "a/b", "..", ".", ".hidden",
                            "0123456789012345678901234567890123456789012345678901234567890123"}) {
        EXPECT_EQ(create(bad), PARAM_SET_FAILURE) << bad;
    }
    EXPECT_EQ(g_heard.count["add settings profile requested"], 0);
    EXPECT_EQ(slurp(root_ / "var/local/solvera/victim.pfl"), "keep");

    // Other characters are kept as typed; with no slave the profile is
    // written at once, holding the master's section only.
    ASSERT_EQ(create("50%off"), PARAM_SET_SUCCESS);
    EXPECT_EQ(g_heard.count["add settings profile requested"], 1);
    EXPECT_EQ(slurp(profile("50%off")), "masterstart\n" + kMyStore + "\nmasterend\n");
    sync();
    EXPECT_TRUE(row_exists("50%off"));
}

TEST_F(ProfileTest, CreateWaitsForEverySlaveAndIgnoresLateReports)
{
    add_slave(1, {"{\"slave\": 1}\n"});
    add_slave(5, {"{\"slave\": 5}", CHECK_VALID, CHECK_VALID, true});
    ASSERT_EQ(create("chassis"), PARAM_SET_SUCCESS);
    EXPECT_FALSE(fs::exists(profile("chassis"))) << "written before the slaves reported";
    ASSERT_TRUE(run_until([&] { return fs::exists(profile("chassis")); }, 60.0));
    EXPECT_GE(log_.count("Slot: 5 profile add is not finished!"), 1);
    const std::string expected = "slot1start\n{\"slave\": 1}\n\nslot1end\n"
                                 "slot5start\n{\"slave\": 5}\nslot5end\n"
                                 "masterstart\n" + kMyStore + "\nmasterend\n";
    EXPECT_EQ(slurp(profile("chassis")), expected);
    EXPECT_FALSE(fs::exists(media(1)));
    EXPECT_FALSE(fs::exists(media(5)));

    // A repeated report after the profile was written changes nothing.
    put(media(1), "{\"slave\": \"late\"}");
    int late = 1 * 10 + CHECK_VALID;
    kd_cuvent_emit(nullptr, "settings_profile_slaves_add_state", &late);
    EXPECT_EQ(slurp(profile("chassis")), expected);
    EXPECT_TRUE(fs::exists(media(1)));
}

TEST_F(ProfileTest, FailedSlaveWritesNoProfile)
{
    put(profile("kept"), "old profile");
    add_slave(2, {"{}", CHECK_INVALID});
    ASSERT_EQ(create("kept"), PARAM_SET_SUCCESS);
    run_until([&] { return log_.count("Settings profile add failed!") > 0; }, 60.0);
    EXPECT_EQ(log_.count("Settings profile add failed!"), 1);
    EXPECT_EQ(slurp(profile("kept")), "old profile");
}

TEST_F(ProfileTest, CreateKilledMidwayLeavesProfileAndStoreWhole)
{
    // A child creates the same profile over and over from a changing store.
    kill_midway(
        40,
        [](int round, int i) {
            const std::string v = std::to_string(round * 100000 + i);
            for (int k = 0; k < 2000; ++k)
                kd_store_save_string(nullptr, ("pad/" + std::to_string(k)).c_str(), v.c_str());
            create("p");
        },
        [&](int round) {
            const std::string text = slurp(profile("p"));
            ASSERT_TRUE(text.starts_with("masterstart\n") && text.ends_with("\nmasterend\n")) << "round " << round;
            for (const std::string &store : {text.substr(12, text.size() - 23), slurp(store_file())}) {
                auto s = kdtest::store_sections(store);
                ASSERT_EQ(s["frame"].count("pad/0"), 1u) << "round " << round;
                EXPECT_EQ(s["frame"]["pad/1999"], s["frame"]["pad/0"]) << "round " << round;
            }
        });
}

// ---- the table, rename, delete, download, uploads ----

TEST_F(ProfileTest, TableFollowsTheDirectoryWithOneSyncPerBurst)
{
    put(profile("old"), "x");
    put(root_ / "var/local/solvera/profiles/a.pfl.txt", "x");
    put(root_ / "var/local/solvera/profiles/.hidden.pfl", "x");
    kd_cuvent_emit(nullptr, "frame run", nullptr);
    EXPECT_TRUE(row_exists("old"));
    EXPECT_FALSE(row_exists("a"));
    EXPECT_FALSE(row_exists(".hidden"));
    EXPECT_EQ(kd::profile::mod().files.size(), 1u);

    // Directory times have whole seconds: start the burst in a later one.
    run_for(1.1);
    const unsigned before = kd::profile::mod().syncs;
    int step = 0;
    kd_frame_timeout_register("burst", [](void *ctx) {
        int &n = *static_cast<int *>(ctx);
        if (n < 5)
            put(kd::rooted("/var/local/solvera/profiles/new") + std::to_string(n++) + ".pfl", "x");
    }, &step, 0.05, 1, nullptr);
    ASSERT_TRUE(run_until([] { return row_exists("new4"); }, 60.0));
    kd_frame_stop_watcher("burst", nullptr);
    run_for(1.3); // no second sync follows
    EXPECT_EQ(kd::profile::mod().syncs, before + 1);

    fs::remove(profile("old"));
    ASSERT_TRUE(run_until([] { return !row_exists("old"); }, 60.0));
    EXPECT_EQ(kd_param_get_type(node("frame/settings_profiles/old/action")), PARAMTYPE_NONE);
    EXPECT_EQ(kd::profile::mod().files.size(), 5u);
}

TEST_F(ProfileTest, RenameRefusesExistingNamesItselfAndBadNames)
{
    put(profile("a"), "A");
    put(profile("b"), "B");
    put(link("a"), "link");
    sync();
    ASSERT_TRUE(row_exists("a") && row_exists("b"));
    for (const char *refused : {"b", "a", "x/y", ".."})
        EXPECT_EQ(set("frame/settings_profiles/a/renameprofile", refused), PARAM_SET_FAILURE) << refused;
    EXPECT_EQ(slurp(profile("a")), "A");
    EXPECT_EQ(slurp(profile("b")), "B");

    ASSERT_EQ(set("frame/settings_profiles/a/renameprofile", "c"), PARAM_SET_SUCCESS);
    EXPECT_FALSE(fs::exists(profile("a")));
    EXPECT_EQ(slurp(profile("c")), "A");
    EXPECT_FALSE(fs::exists(link("a")));
    sync();
    EXPECT_FALSE(row_exists("a"));
    EXPECT_TRUE(row_exists("c"));
}

TEST_F(ProfileTest, DownloadLinkAndDelete)
{
    put(profile("a"), "A");
    sync();
    EXPECT_EQ(set("frame/settings_profiles/a/action", "ProfileBogus"), PARAM_SET_FAILURE);
    ASSERT_EQ(set("frame/settings_profiles/a/action", "ProfileDownload"), PARAM_SET_SUCCESS);
    EXPECT_EQ(value("frame/settings_profiles_add/downloadprofilestate"), "3");
    EXPECT_TRUE(fs::is_symlink(link("a")));
    EXPECT_EQ(slurp(link("a")), "A");

    ASSERT_EQ(set("frame/settings_profiles/a/action", "ProfileDelete"), PARAM_SET_SUCCESS);
    EXPECT_FALSE(fs::exists(profile("a")));
    EXPECT_FALSE(fs::is_symlink(link("a")));

    // No place for the link: the state says so.
    put(profile("b"), "B");
    sync();
    fs::remove_all(root_ / "var/local/solvera/downloadprofiles");
    put(root_ / "var/local/solvera/downloadprofiles", "a file in the way");
    ASSERT_EQ(set("frame/settings_profiles/b/action", "ProfileDownload"), PARAM_SET_SUCCESS);
    EXPECT_EQ(value("frame/settings_profiles_add/downloadprofilestate"), "2");
    EXPECT_EQ(set("frame/settings_profiles_add/downloadprofilestate", "4"), PARAM_SET_FAILURE);
}

TEST_F(ProfileTest, UploadsAreCheckedByExtensionAndNeverDeleteOutside)
{
    const std::string up = root_ / "tmp/settings-profiles/https-settings-profiles/";
    put(root_ / "tmp/settings-profiles/victim.txt", "keep");
    const struct {
        const char *name;
        bool uploaded; // a file of that name lies in the upload directory
        int valid;
    } cases[] = {{"a.pfl.txt", true, 0}, {"a.txt.pfl", true, 1}, {"../victim.txt", false, 0}, {"..", false, 0}};
    for (const auto &c : cases) {
        if (c.uploaded)
            put(up + c.name, "x");
        g_heard.verify = -1;
        kd_cuvent_emit(nullptr, "settings profile verify", const_cast<char *>(c.name));
        EXPECT_EQ(g_heard.verify, c.valid) << c.name;
        if (c.uploaded) {
            EXPECT_EQ(fs::exists(up + c.name), c.valid == 1) << c.name;
        }
    }
    EXPECT_TRUE(fs::is_directory(up));
    EXPECT_EQ(slurp(root_ / "tmp/settings-profiles/victim.txt"), "keep");
}

// ---- applying ----

TEST_F(ProfileTest, ApplyOnMasterAloneKeepsTheCardsOwnSettingsAndReboots)
{
    put(profile("theirs"), "masterstart\n" + kTheirStore + "\nmasterend\n");
    sync();
    ASSERT_EQ(set("frame/settings_profiles/theirs/action", "ProfileApply"), PARAM_SET_SUCCESS);
    ASSERT_TRUE(run_until([] { return g_heard.count["profile reboot requested"] > 0; }, 60.0));
    EXPECT_EQ(value("frame/settings_profiles_add/applyprofilestate"), "0");

    auto s = kdtest::store_sections(slurp(store_file()));
    const std::map<std::string, std::string> frame{{"frame/common_name", "mine"}, {"frame/snmp_service", "1"}};
    EXPECT_EQ(s["frame"], frame); // hostname gone; chassis number absent before, so absent now
    EXPECT_EQ(s["websocket"]["websocket/users"], "mine");
    EXPECT_EQ(s["enccfg"]["enccfg/bitrate"], "2000");
    EXPECT_EQ(s["mcastfwdr"]["mcastfwdr/out"], "239.1.1.1");
    char *live = nullptr;
    ASSERT_EQ(kd_store_load_string(nullptr, "frame/common_name", &live), 0);
    EXPECT_STREQ(live, "mine");
    std::free(live);
    EXPECT_FALSE(kd_store_test_key(nullptr, "frame/hostname"));
    EXPECT_FALSE(fs::exists(part("master.pfl")));
    EXPECT_EQ(value("frame/settings_profiles_add/settings_profiles_last_apply"), "theirs");

    EXPECT_FALSE(fs::exists(root_ / "cmd/calls")) << "reboot without the second for the slaves";
    ASSERT_TRUE(run_until([&] { return fs::exists(root_ / "cmd/calls"); }, 60.0));
    EXPECT_EQ(slurp(root_ / "cmd/calls"), "reboot \n");
}

// A card whose settings were never changed has an empty store file: its
// part is a store with no settings, applied like any other.
TEST_F(ProfileTest, EmptyPartIsAStoreWithoutSettings)
{
    put(store_file(), ""); // this card too was never set up
    put(profile("fresh"), "masterstart\n\nmasterend\n");
    sync();
    ASSERT_EQ(set("frame/settings_profiles/fresh/action", "ProfileApply"), PARAM_SET_SUCCESS);
    ASSERT_TRUE(run_until([] { return g_heard.count["profile reboot requested"] > 0; }, 60.0));
    EXPECT_EQ(value("frame/settings_profiles_add/applyprofilestate"), "0");
    for (const auto &[section, keys] : kdtest::store_sections(slurp(store_file())))
        EXPECT_TRUE(keys.empty()) << section;
}

TEST_F(ProfileTest, InvalidPartAnywhereStopsTheApplyAndLeavesTheMasterStore)
{
    const struct {
        const char *what;
        std::string master;
        int slave_verdict;
    } cases[] = {
        {"decoder profile on an encoder master", kDecoderStore, CHECK_VALID},
        {"slave refuses its part", kTheirStore, CHECK_INVALID},
    };
    add_slave(2, {"{}"});
    for (const auto &c : cases) {
        g_proxy.slaves[2].verdict = c.slave_verdict;
        put(profile("p"), "slot2start\n{\"two\": 2}\nslot2end\nmasterstart\n" + c.master + "\nmasterend\n");
        sync();
        g_heard.count.clear();
        ASSERT_EQ(set("frame/settings_profiles/p/action", "ProfileApply"), PARAM_SET_SUCCESS);
        ASSERT_TRUE(run_until([] { return value("frame/settings_profiles_add/applyprofilestate") == "1"; }, 60.0))
            << c.what;
        EXPECT_EQ(g_proxy.parts[2], "{\"two\": 2}\n") << c.what;
        run_for(0.2);
        EXPECT_EQ(g_heard.count["profile reboot requested"], 0) << c.what;
        EXPECT_EQ(slurp(store_file()), kMyStore) << c.what;
    }
    EXPECT_FALSE(fs::exists(root_ / "cmd/calls"));
}

TEST_F(ProfileTest, ProfileWithoutAPresentCardsPartIsRefusedAtOnce)
{
    add_slave(3, {"{}"});
    put(profile("p"), "slot1start\n{}\nslot1end\nmasterstart\n" + kTheirStore + "\nmasterend\n");
    sync();
    ASSERT_EQ(set("frame/settings_profiles/p/action", "ProfileApply"), PARAM_SET_SUCCESS);
    EXPECT_EQ(value("frame/settings_profiles_add/applyprofilestate"), "1");
    EXPECT_EQ(log_.count("Can not find slot 3 profile!"), 1);
    EXPECT_EQ(g_heard.count["master send profile to slaves"], 0);
    EXPECT_FALSE(fs::exists(part("master.pfl")));
    EXPECT_FALSE(fs::exists(part("slot1.pfl")));
}

TEST_F(ProfileTest, SlaveInstallsOnlyAPartOfItsOwnKind)
{
    kc::set_identity(unsigned(ui_to_hw_slot[1])); // this card: a slave in user slot 1
    const std::string path = media(1);
    put(path, kDecoderStore);
    kd_cuvent_emit(nullptr, "proxy_on_profile_check_type", const_cast<char *>(path.c_str()));
    EXPECT_EQ(g_heard.flag, CHECK_INVALID);
    EXPECT_EQ(slurp(store_file()), kMyStore);

    put(path, "{ not json \"enccfg\": ");
    kd_cuvent_emit(nullptr, "proxy_on_profile_check_type", const_cast<char *>(path.c_str()));
    EXPECT_EQ(g_heard.flag, CHECK_INVALID);
    EXPECT_EQ(slurp(store_file()), kMyStore);

    put(path, kTheirStore);
    kd_cuvent_emit(nullptr, "proxy_on_profile_check_type", const_cast<char *>(path.c_str()));
    EXPECT_EQ(g_heard.flag, CHECK_VALID);
    auto s = kdtest::store_sections(slurp(store_file()));
    EXPECT_EQ(s["frame"]["frame/common_name"], "mine");
    EXPECT_EQ(s["enccfg"]["enccfg/bitrate"], "2000");
    EXPECT_FALSE(fs::exists(path));
}

TEST_F(ProfileTest, APartsUnusableValueIsLeftOutAndTheRestInstalled)
{
    kc::set_identity(unsigned(ui_to_hw_slot[1]));
    const std::string path = media(1);
    put(path, "{\"enccfg\": {\"enccfg/bitrate\": \"2000\", \"enccfg/gain\": 99999999999999999999,\n"
              "  \"enccfg/mode\": {\"x\": \"y\"}, \"enccfg/channels\": 2}}\n");
    kd_cuvent_emit(nullptr, "proxy_on_profile_check_type", const_cast<char *>(path.c_str()));
    EXPECT_EQ(g_heard.flag, CHECK_VALID);
    auto s = kdtest::store_sections(slurp(store_file()));
    const std::map<std::string, std::string> want = {{"enccfg/bitrate", "2000"}, {"enccfg/channels", "2"}};
    EXPECT_EQ(s["enccfg"], want);
    EXPECT_EQ(s["frame"]["frame/common_name"], "mine");
    EXPECT_EQ(log_.count("Profile part: 'enccfg/gain' in section 'enccfg' is null"), 1);
    EXPECT_EQ(log_.count("Profile part: 'enccfg/mode' in section 'enccfg' is an object"), 1);
}

TEST_F(ProfileTest, InstallKilledMidwayLeavesAWholeStore)
{
    kc::set_identity(unsigned(ui_to_hw_slot[1]));
    const std::string path = media(1);
    kill_midway(
        40,
        [&](int, int i) {
            std::string store = "{\"enccfg\": {\"x\": \"1\"},\n\"pad\": {";
            for (int k = 0; k < 2000; ++k)
                store += (k ? ",\"" : "\"") + std::to_string(k) + "\": \"" + std::to_string(i) + "\"";
            put(path, store + "}}");
            kd_cuvent_emit(nullptr, "proxy_on_profile_check_type", const_cast<char *>(path.c_str()));
        },
        [&](int round) {
            auto s = kdtest::store_sections(slurp(store_file()));
            ASSERT_EQ(s["pad"].size(), 2000u) << "round " << round;
            EXPECT_EQ(s["pad"]["1999"], s["pad"]["0"]) << "round " << round;
            EXPECT_EQ(s["frame"]["frame/common_name"], "mine") << "round " << round;
            EXPECT_EQ(s["websocket"]["websocket/users"], "mine") << "round " << round;
        });
}

} // namespace

// The version engine on a card of its own: listings, the firmware tool run
// on the worker pool, its failures, select and reboot, and the master's
// hand-over with its slaves (their events played by the test).
#include "version_fixture.h"
#include "version_internal.h"

#include <kerrow/frame.h>
#include <kerrow/plugin.h>

#include <gtest/gtest.h>

namespace {

using namespace vertest;
using kdtest::run_until;

const std::string kInstalled = "version/installed_firmware_versions";
const std::string kFiles = "version/available_firmware_versions";
const std::string kOther = "version/other_files";

class VersionCard : public ::testing::Test, public Card {
protected:
    explicit VersionCard(bool master = false) : Card(master) {}
    void SetUp() override
    {
        kd_frame_init();
        listen();
        pli_ = __test_insert_active_plugin("version", "/nowhere/libsv-version.so");
        version::init(pli_);
    }
    void TearDown() override
    {
        release();
        // A tool still held is let go and waited for before the framework goes.
        run_until([] { return version::version_cfg_get_state() != version::TASKSTATE_INSTALLING; }, 60);
        version::fini();
        kd_frame_fini();
    }
    // "frame run": the first sync, the watchers, and READY.
    void start() { ASSERT_TRUE(run_until([] { return state() == "Ready"; }, 60)); }
    static std::string state() { return value_at("version/state"); }
    bool wait_ready()
    {
        return run_until([] { return state() == "Ready" && !version::version_cfg_p->pending_sync; }, 60);
    }

    std::string dump() const
    {
        std::string out;
        for (const auto &l : log_.lines())
            out += l.text;
        return out;
    }

    plugin_load_info *pli_ = nullptr;
};

class VersionMaster : public VersionCard {
protected:
    VersionMaster() : VersionCard(true) {}
};

TEST_F(VersionCard, ListsVersionsPackagesAndOtherFilesFoundAtStart)
{
    for (const char *f : {"a.unsigned.vorpt.tgz", "fw-1.1.vorpt.tgz", "b.vorpt.tar.gz", "k.pub.csv", "c.pem",
                          "notes.txt", ".hidden.vorpt.tgz"})
        put(f);
    start();
    EXPECT_EQ(rows(kInstalled), (std::vector<std::string>{"v1 (** Current Selection **)", "v2"}));
    EXPECT_EQ(type_at(kInstalled + "/v1_(**_current_selection_**)/action"), PARAMTYPE_NONE);
    EXPECT_EQ(type_at(kInstalled + "/v2/action"), PARAMTYPE_CHOICE);
    EXPECT_EQ(value_at("version/banner"), "v1");
    EXPECT_EQ(rows(kFiles), (std::vector<std::string>{"a.", "b", "fw-1.1"}));
    EXPECT_EQ(rows(kOther), (std::vector<std::string>{"c.pem", "k.pub.csv"}));
    EXPECT_EQ(type_at("version/reboot"), PARAMTYPE_NONE); // master only
    // Files already there raise no package events; other files are announced.
    EXPECT_EQ(heard("version other file add"), 2);
    EXPECT_EQ(heard("version_task_completed_fwpkgadd"), 0);
    EXPECT_EQ(heard("version firmware package add"), 0);
    EXPECT_EQ(heard("request_publish_dir"), 1);
    EXPECT_EQ(events.back().data, "/usr/local/share/sv-version");
}

TEST_F(VersionCard, NamesMatchExactlySoLongerNamesakesAreKeptApart)
{
    // Two files giving one row name: the second waits for the row.
    for (const char *f : {"fw-1.1.vorpt.tgz", "z.vorpt.tgz", "z.vorpt.tar.gz", "k.pub.csv"})
        put(f);
    start();
    EXPECT_EQ(log_.count("Cannot list " + media("z.vorpt.tgz") + ": the row z is taken"), 1);
    EXPECT_EQ(rows(kFiles), (std::vector<std::string>{"fw-1.1", "z"}));

    upload("fw-1.10.vorpt.tgz");
    ASSERT_TRUE(run_until([] { return rows(kFiles).size() == 3; }, 60));
    EXPECT_EQ(rows(kFiles), (std::vector<std::string>{"fw-1.1", "z", "fw-1.10"}));
    ASSERT_TRUE(wait_ready());
    ASSERT_EQ(heard("version_task_completed_fwpkgadd"), 1);
    EXPECT_EQ(events.back().data, media("fw-1.10.vorpt.tgz"));

    // Deleting one leaves its longer namesake; the waiting file gets the
    // row its namesake held; other files are not installed, only deleted.
    EXPECT_EQ(set_choice(kFiles + "/fw-1.1/action", "Delete"), PARAM_SET_SUCCESS);
    EXPECT_FALSE(fs::exists(media("fw-1.1.vorpt.tgz")));
    EXPECT_EQ(heard("version firmware package delete"), 1);
    EXPECT_EQ(heard("version other file delete"), 1);
    EXPECT_EQ(set_choice(kFiles + "/z/action", "Delete"), PARAM_SET_SUCCESS);
    EXPECT_FALSE(fs::exists(media("z.vorpt.tar.gz")));
    EXPECT_EQ(set_choice(kOther + "/k.pub.csv/action", "Install"), PARAM_SET_SUCCESS);
    EXPECT_EQ(state(), "Ready");
    EXPECT_EQ(set_choice(kOther + "/k.pub.csv/action", "Delete"), PARAM_SET_SUCCESS);
    EXPECT_EQ(events.back().data, media("k.pub.csv"));
    EXPECT_EQ(set_choice(kFiles + "/fw-1.10/action", "Bogus"), PARAM_SET_FAILURE);
    ASSERT_TRUE(run_until([] { return rows(kOther).empty(); }, 60));
    EXPECT_EQ(rows(kFiles), (std::vector<std::string>{"z", "fw-1.10"}));
    EXPECT_EQ(set_choice(kFiles + "/z/action", "Delete"), PARAM_SET_SUCCESS);
    EXPECT_FALSE(fs::exists(media("z.vorpt.tgz")));
    EXPECT_TRUE(commands_.calls().empty());
}

TEST_F(VersionCard, AFileWrittenInTheSecondTheWatcherLookedIsFound)
{
    // No wait for the next second: the watcher cannot see this change.
    start();
    put("quick.vorpt.tgz");
    ASSERT_TRUE(run_until([] { return rows(kFiles).size() == 1; }, 60));
    EXPECT_EQ(heard("version_task_completed_fwpkgadd"), 1);
}

TEST_F(VersionCard, DeletingAMissingFileFails)
{
    put("fw.vorpt.tgz");
    start();
    fs::remove(media("fw.vorpt.tgz"));
    EXPECT_EQ(set_choice(kFiles + "/fw/action", "Delete"), PARAM_SET_FAILURE);
    EXPECT_EQ(log_.count("Failed to delete file " + media("fw.vorpt.tgz") + ", (No such file or directory)"), 1);
}

TEST_F(VersionCard, FiveFilesWithinASecondGiveOneSync)
{
    start();
    ASSERT_TRUE(wait_ready());
    next_second();
    for (int i = 0; i < 5; ++i)
        put("p" + std::to_string(i) + ".vorpt.tgz");
    ASSERT_TRUE(run_until([] { return rows(kFiles).size() == 5; }, 60));
    EXPECT_EQ(log_.count("Search candidate " + media("p0.vorpt.tgz")), 1);
    EXPECT_EQ(heard("version_task_completed_fwpkgadd"), 5);
}

TEST_F(VersionCard, InstallRunsTheToolOnThePoolAndRefusesASecondAction)
{
    put("fw-2.vorpt.tgz");
    start();
    hold();
    EXPECT_EQ(set_choice(kFiles + "/fw-2/action", "Install"), PARAM_SET_SUCCESS);
    EXPECT_EQ(state(), "Installing");
    EXPECT_EQ(heard("version firmware package extracting"), 1);
    EXPECT_EQ(events.back().data, kFiles + "/fw-2/action");
    // The loop keeps running while the tool works; other actions wait.
    ASSERT_TRUE(run_until([&] { return fs::exists(cmd("calls.log")); }, 60));
    EXPECT_EQ(set_choice(kInstalled + "/v2/action", "Select"), PARAM_SET_FAILURE);
    EXPECT_EQ(set_choice(kFiles + "/fw-2/action", "Delete"), PARAM_SET_FAILURE);
    EXPECT_EQ(log_.count("Cannot take action. Task in progress: Installing"), 2);
    EXPECT_TRUE(fs::exists(media("fw-2.vorpt.tgz")));
    release();
    ASSERT_TRUE(run_until([] { return state() == "Ready"; }, 60));
    EXPECT_EQ(commands_.calls(), (std::vector<std::string>{"vrsn -x " + media("fw-2.vorpt.tgz")}));
    EXPECT_EQ(tool_env(), "LD_LIBRARY_PATH=/usr/local/lib");
    EXPECT_EQ(log_.count("[version] install file success"), 1);
    EXPECT_EQ(heard("version_task_completed_install"), 1); // a slave reports to its master
    // The tool made the new version's directory: the installed list follows.
    ASSERT_TRUE(run_until([] { return rows(kInstalled).size() == 3; }, 60));
    EXPECT_EQ(rows(kInstalled).back(), "fw-2");

    // Uninstall of a version that is not running.
    EXPECT_EQ(set_choice(kInstalled + "/fw-2/action", "Delete"), PARAM_SET_SUCCESS);
    EXPECT_EQ(state(), "Uninstalling");
    ASSERT_TRUE(run_until([] { return rows(kInstalled).size() == 2; }, 60));
    ASSERT_TRUE(wait_ready());
    EXPECT_EQ(commands_.calls().back(), "vrsn -d kerrow/solvera/fw-2");
    EXPECT_EQ(heard("version_task_completed_uninstall"), 1);
}

TEST_F(VersionCard, ToolFailuresAreReportedAndTheCardReturnsToReady)
{
    put("fw.vorpt.tgz");
    start();
    struct Case {
        const char *what;
        std::function<void()> arrange;
        std::string logged;
    } cases[] = {
        {"exit 3", [&] { tool_exit(3); }, "[version] install file exit status (3)"},
        {"killed", [&] { fs::remove(cmd("vrsn.exit")); tool_signal("KILL"); }, "[version] install file no exit err (0)"},
        {"missing", [&] { fs::remove(cmd("vrsn")); }, "[version] install file spawn err (0)"},
        {"refused", [] { unsetenv("KD_CMD_DIR"); }, "[version] install file spawn err (0)"},
    };
    kdtest::OwnCommandLog own(root_ / "refusals.log");
    for (const Case &c : cases) {
        c.arrange();
        log_.clear();
        ASSERT_EQ(set_choice(kFiles + "/fw/action", "Install"), PARAM_SET_SUCCESS) << c.what;
        ASSERT_TRUE(run_until([] { return state() == "Ready"; }, 60)) << c.what;
        EXPECT_EQ(log_.count(c.logged), 1) << c.what << dump();
        EXPECT_EQ(log_.count("success"), 0) << c.what;
    }
    setenv("KD_CMD_DIR", cmd("").c_str(), 1);
    ASSERT_EQ(own.lines().size(), 1u);
    EXPECT_NE(own.lines()[0].find("/usr/local/sbin/vrsn"), std::string::npos) << own.lines()[0];
}

TEST_F(VersionCard, SelectRunsTheToolThenReboots)
{
    start();
    EXPECT_EQ(set_choice(kInstalled + "/v2/action", "Bogus"), PARAM_SET_FAILURE);
    // The running version offers no action to select it with.
    EXPECT_EQ(set_choice(kInstalled + "/v1_(**_current_selection_**)/action", "Select"), PARAM_SET_FAILURE);
    EXPECT_EQ(state(), "Ready");
    EXPECT_EQ(set_choice(kInstalled + "/v2/action", "Select"), PARAM_SET_SUCCESS);
    EXPECT_EQ(state(), "Selecting");
    EXPECT_EQ(heard("version firmware select"), 1);
    EXPECT_EQ(events.back().data, kInstalled + "/v2/action");
    ASSERT_TRUE(run_until([&] { return commands_.calls().size() == 2; }, 60));
    EXPECT_EQ(commands_.calls(), (std::vector<std::string>{"vrsn -n kerrow/solvera/v2", "reboot "}));
    EXPECT_EQ(state(), "Ready");
    EXPECT_EQ(log_.count("Rebooting after software SELECT...."), 1);

    // A failed select keeps the running version and does not reboot.
    commands_.clear();
    tool_exit(3);
    EXPECT_EQ(set_choice(kInstalled + "/v2/action", "Select"), PARAM_SET_SUCCESS);
    ASSERT_TRUE(run_until([] { return state() == "Ready"; }, 60));
    run_until([] { return false; }, 1.5);
    EXPECT_EQ(commands_.calls(), (std::vector<std::string>{"vrsn -n kerrow/solvera/v2"}));
    EXPECT_EQ(log_.count("Not rebooting: the firmware select failed"), 1);
}

TEST(VersionOem, AnOemLinkWithoutSlashOrMissingMakesNoVersionCurrent)
{
    for (const char *target : {"v1", ""}) {
        Card card(false);
        fs::remove(card.root_ / "opt/pkg/var/oem");
        if (*target)
            fs::create_symlink(target, card.root_ / "opt/pkg/var/oem");
        kd_frame_init();
        plugin_load_info *pli = __test_insert_active_plugin("version", "/nowhere/libsv-version.so");
        version::init(pli);
        EXPECT_TRUE(run_until([] { return value_at("version/state") == "Ready"; }, 60));
        EXPECT_EQ(rows(kInstalled), (std::vector<std::string>{"v1", "v2"})) << target;
        EXPECT_EQ(type_at("version/banner"), PARAMTYPE_NONE) << target;
        EXPECT_EQ(card.log_.count(*target ? "Unexpected oem link val 'v1'" : "Failed to read oem link"), 1);
        version::fini();
        kd_frame_fini();
    }
}

TEST_F(VersionMaster, RebootNeedsYes)
{
    start();
    EXPECT_EQ(set_choice("version/reboot", "No"), PARAM_SET_FAILURE);
    EXPECT_EQ(heard("version reboot requested"), 0);
    EXPECT_EQ(set_choice("version/reboot", "Yes"), PARAM_SET_SUCCESS);
    EXPECT_EQ(heard("version reboot requested"), 1);
    ASSERT_TRUE(run_until([&] { return !commands_.calls().empty(); }, 60));
    EXPECT_EQ(commands_.calls(), (std::vector<std::string>{"reboot "}));
}

TEST_F(VersionMaster, NewUploadsGoToTheSlavesOneAtATime)
{
    start();
    kd_cuvent_emit(nullptr, "on_proxy_all_slaves_connected", nullptr);
    next_second();
    put("a.vorpt.tgz");
    put("b.vorpt.tgz");
    ASSERT_TRUE(run_until([] { return state() == "FwPkgAdding"; }, 60));
    ASSERT_EQ(heard("version firmware package add"), 1);
    EXPECT_EQ(events.back().data, media("a.vorpt.tgz"));
    EXPECT_EQ(rows(kFiles), (std::vector<std::string>{"a"}));
    // The slaves have it: the rescan announces the second.
    kd_cuvent_emit(nullptr, "on_proxy_version_task_slaves_complete", nullptr);
    EXPECT_EQ(state(), "FwPkgAdding");
    EXPECT_EQ(heard("version firmware package add"), 2);
    EXPECT_EQ(events.back().data, media("b.vorpt.tgz"));
    kd_cuvent_emit(nullptr, "on_proxy_version_task_slaves_complete", nullptr);
    EXPECT_EQ(state(), "Ready");
    EXPECT_EQ(rows(kFiles), (std::vector<std::string>{"a", "b"}));
    EXPECT_EQ(heard("version_task_completed_fwpkgadd"), 0);
    // A report with nothing going on is refused.
    kd_cuvent_emit(nullptr, "on_proxy_version_task_slaves_complete", nullptr);
    EXPECT_EQ(log_.count("Invalid state when task completed on slaves: Ready"), 1);
}

TEST_F(VersionMaster, InstallWaitsForTheOtherSideWhicheverEndsFirst)
{
    put("fw.vorpt.tgz");
    start();
    ASSERT_TRUE(wait_ready()); // the rescans counted below are the only ones
    kd_cuvent_emit(nullptr, "on_proxy_all_slaves_connected", nullptr);

    // Local first.
    EXPECT_EQ(set_choice(kFiles + "/fw/action", "Install"), PARAM_SET_SUCCESS);
    ASSERT_TRUE(run_until([&] { return log_.count("Task complete on local. Waiting for remote: Installing") == 1; }, 60));
    EXPECT_EQ(state(), "Installing");
    log_.clear();
    kd_cuvent_emit(nullptr, "on_proxy_version_task_slaves_complete", nullptr);
    EXPECT_EQ(state(), "Ready");
    EXPECT_EQ(log_.count("Task complete on both local and remote: Installing"), 1);
    EXPECT_EQ(log_.count("Search candidate " + media("fw.vorpt.tgz")), 1); // the rescan

    // Slaves first.
    hold();
    log_.clear();
    EXPECT_EQ(set_choice(kFiles + "/fw/action", "Install"), PARAM_SET_SUCCESS);
    kd_cuvent_emit(nullptr, "on_proxy_version_task_slaves_complete", nullptr);
    EXPECT_EQ(log_.count("Task complete on remote. Waiting for local: Installing"), 1);
    EXPECT_EQ(state(), "Installing");
    release();
    ASSERT_TRUE(run_until([] { return state() == "Ready"; }, 60));
    EXPECT_EQ(log_.count("Task complete on both local and remote: Installing"), 1);
    EXPECT_EQ(log_.count("Search candidate " + media("fw.vorpt.tgz")), 1);
    EXPECT_EQ(heard("version_task_completed_install"), 0); // only slaves report
}

} // namespace

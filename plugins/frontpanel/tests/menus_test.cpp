// The plug-in loaded through the plug-in manager: start on master and
// slave cards, the built-in menus at "frame run", the daemon's names for
// them, "Register Menu" and "Remove Menu", and what stop leaves behind.
#include "fp_rig.h"

#include <kerrow/plugin.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>

namespace {

using fptest::FrontPanelTest;
using fptest::menu_dir;
using fptest::remove_choices;
using fptest::set_param;

bool queue_exists(const std::string &name)
{
    const mqd_t q = mq_open(name.c_str(), O_RDONLY | O_NONBLOCK);
    if (q == mqd_t(-1))
        return false;
    mq_close(q);
    return true;
}

TEST_F(FrontPanelTest, ASlaveCardStaysIdle)
{
    setenv("HW_SLOT", "5", 1);
    start();
    run_once(); // frame run
    EXPECT_EQ(log_.count("[frontpanel] Started Idle"), 1);
    EXPECT_EQ(log_.count("Started Active"), 0);
    EXPECT_FALSE(queue_exists(plugin_queue_));
    EXPECT_EQ(kd_param_get_cfg(kd_plugin_get_pli_by_name("frontpanel")), nullptr);
    EXPECT_EQ(kd_param_get_by_route("frontpanel/register_menu"), nullptr);
    daemon_drained();
    EXPECT_TRUE(sent().empty());
    frame_down();
    EXPECT_EQ(log_.count("[frontpanel] Stopping"), 1);
    EXPECT_EQ(log_.count("[frontpanel] Stopped"), 1);
}

TEST_F(FrontPanelTest, WithoutItsOwnQueueThePluginStops)
{
    setenv("KD_MQ_SUFFIX", "/no/such/name", 1); // not a queue name
    frame_up();
    kd_frame_load_plugin("frontpanel");
    run_once();
    EXPECT_EQ(log_.count("[frontpanel] Still no que?"), 1);
    EXPECT_EQ(log_.count("[frontpanel] Failed to create menu que exiting front panel plugin"), 1);
    EXPECT_EQ(log_.count("Started Active"), 0);
    EXPECT_EQ(log_.count("Opened menu managers que"), 0);
    EXPECT_EQ(kd_param_get_by_route("frontpanel/register_menu"), nullptr);
    frame_down();
    EXPECT_EQ(log_.count("[frontpanel] Stopped"), 1);
}

TEST_F(FrontPanelTest, FrameRunRegistersTheBuiltInMenus)
{
    struct Case {
        bool qv_present;
        std::vector<std::pair<uint32_t, std::string>> expected;
    } cases[] = {
        {true, {{300, "qv.mnu"}, {302, "system.mnu"}}},
        {false, {{300, "system.mnu"}}}, // the first menu sent is always top
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.qv_present);
        if (!c.qv_present)
            std::filesystem::remove(menu_dir() + "qv.mnu");
        start();
        EXPECT_EQ(log_.count("[frontpanel] Started Active"), 1);
        EXPECT_TRUE(sent().empty()); // nothing before the frame runs
        run_once();
        daemon_drained();
        const auto got = sent();
        ASSERT_EQ(got.size(), c.expected.size());
        for (size_t i = 0; i < got.size(); ++i) {
            EXPECT_EQ(got[i].type, c.expected[i].first);
            EXPECT_EQ(got[i].text, menu_dir() + c.expected[i].second);
            EXPECT_EQ(got[i].aux2, 1024u);
            EXPECT_EQ(got[i].sender, 8000);
            EXPECT_EQ(got[i].hardware_index, 0);
            EXPECT_EQ(got[i].length, 4096u);
        }
        EXPECT_EQ(log_.count("Register menu message sent"), int(c.expected.size()));
        EXPECT_EQ(log_.count("Attempted to register a bad menu path " + menu_dir() + "qv.mnu"), c.qv_present ? 0 : 1);
        // A second run does not register them again.
        run_once();
        daemon_drained();
        EXPECT_EQ(sent().size(), c.expected.size());
        frame_down();
        daemon_.reset();
        log_.clear();
        mq_unlink(plugin_queue_.c_str());
    }
}

TEST_F(FrontPanelTest, TheDaemonNamesMenusInOrderAndRemoveMenuUnregistersByName)
{
    daemon().answer_registrations(false);
    start();
    run_once();
    ASSERT_EQ(set_param("frontpanel/register_menu", "extra.mnu"), PARAM_SET_SUCCESS);
    EXPECT_TRUE(remove_choices().empty()); // no menu named yet

    // Replies name the oldest unnamed menu, whatever their type says, cut
    // at the first line end.
    const std::string long_name(60, 'L');
    ASSERT_TRUE(daemon().send(303, "Quick View\r\nrest"));
    ASSERT_TRUE(daemon().send(301, "System\nrest"));
    ASSERT_TRUE(run_until([] { return remove_choices().size() == 2; }));
    ASSERT_TRUE(daemon().send(303, long_name));
    ASSERT_TRUE(run_until([] { return remove_choices().size() == 3; }));
    EXPECT_EQ(remove_choices(), (std::vector<std::string>{"Quick View", "System", std::string(39, 'L')}));
    EXPECT_EQ(log_.count("Registered Menu Quick View"), 1);

    forget_sent();
    EXPECT_EQ(set_param("frontpanel/remove_menu", "Nothing"), PARAM_SET_FAILURE);
    EXPECT_EQ(set_param("frontpanel/remove_menu", "System"), PARAM_SET_SUCCESS);
    // The choice shows 39 characters; the daemon is given the whole name.
    EXPECT_EQ(set_param("frontpanel/remove_menu", std::string(39, 'L').c_str()), PARAM_SET_SUCCESS);
    EXPECT_EQ(set_param("frontpanel/remove_menu", "Quick View"), PARAM_SET_SUCCESS);
    daemon_drained();
    const auto got = sent();
    ASSERT_EQ(got.size(), 3u);
    EXPECT_EQ(got[0].type, 306u); // a sub menu
    EXPECT_EQ(got[0].text, "System");
    EXPECT_EQ(got[0].aux2, 256u);
    EXPECT_EQ(got[1].type, 306u);
    EXPECT_EQ(got[1].text, long_name);
    EXPECT_EQ(got[2].type, 304u); // the top menu
    EXPECT_EQ(got[2].text, "Quick View");
    EXPECT_TRUE(remove_choices().empty());
    EXPECT_EQ(log_.count("Unregistered menu System with path of " + menu_dir() + "system.mnu"), 1);
}

TEST_F(FrontPanelTest, RegisterMenuTakesPathsAndNamesUnderTheMenuDirectory)
{
    std::filesystem::remove(menu_dir() + "qv.mnu");
    std::filesystem::remove(menu_dir() + "system.mnu");
    write_menu("extra.mnu");
    const std::string elsewhere = root_ / "elsewhere.mnu";
    std::ofstream(elsewhere) << "menu\n";
    start();

    struct Case {
        const char *value;
        uint32_t type;
        std::string path;
        bool found;
    } cases[] = {
        {"extra.mnu", 300, menu_dir() + "/extra.mnu", true}, // first: top, before any built-in
        {elsewhere.c_str(), 302, elsewhere, true},
        {"missing.mnu", 302, menu_dir() + "/missing.mnu", false}, // registered all the same
    };
    for (const auto &c : cases)
        EXPECT_EQ(set_param("frontpanel/register_menu", c.value), PARAM_SET_SUCCESS) << c.value;
    daemon_drained();
    const auto got = sent();
    ASSERT_EQ(got.size(), 3u);
    for (size_t i = 0; i < got.size(); ++i) {
        SCOPED_TRACE(cases[i].value);
        EXPECT_EQ(got[i].type, cases[i].type);
        EXPECT_EQ(got[i].text, cases[i].path);
        EXPECT_EQ(got[i].aux2, cases[i].path.size());
        EXPECT_EQ(log_.count("Registered menu " + cases[i].path), 1);
        EXPECT_EQ(log_.count("Could not find menu " + cases[i].path), cases[i].found ? 0 : 1);
    }
    EXPECT_EQ(log_.count("Adding root path"), 2);

    // A path the daemon's record cannot hold whole is refused.
    EXPECT_EQ(set_param("frontpanel/register_menu", ("/" + std::string(300, 'p')).c_str()), PARAM_SET_FAILURE);
    daemon_drained();
    EXPECT_EQ(sent().size(), 3u);
}

TEST_F(FrontPanelTest, ARegistrationThatCannotBeSentFailsTheSet)
{
    // No daemon: the plug-in makes its queue, and nobody empties it.
    frame_up();
    kd_frame_load_plugin("frontpanel");
    int accepted = 0;
    for (int i = 0; i < 20 && set_param("frontpanel/register_menu", "/x.mnu") == PARAM_SET_SUCCESS; ++i)
        ++accepted;
    mq_attr attr{};
    const mqd_t q = mq_open(daemon_queue_.c_str(), O_RDONLY);
    ASSERT_NE(q, mqd_t(-1));
    mq_getattr(q, &attr);
    mq_close(q);
    EXPECT_EQ(accepted, attr.mq_maxmsg);
    EXPECT_EQ(log_.count("Failed to send message: err:Resource temporarily unavailable"), 1);
    EXPECT_EQ(log_.count("Failed to register menu " + menu_dir() + "//x.mnu"), 1);
}

TEST_F(FrontPanelTest, StopUnregistersEveryMenuAndARestartAnswersWhatWaited)
{
    daemon();
    frame_up();
    run_once(); // whatever the loop opens at its first run
    const int fds_before = fptest::open_fds();
    kd_frame_load_plugin("frontpanel");
    run_once();
    ASSERT_TRUE(run_until([] { return remove_choices().size() == 2; })); // named "qv" and "system"
    forget_sent();

    kd_frame_unload_plugin("frontpanel");
    daemon_drained();
    auto got = sent();
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0].type, 304u);
    EXPECT_EQ(got[0].text, "qv");
    EXPECT_EQ(got[1].type, 306u);
    EXPECT_EQ(got[1].text, "system");
    EXPECT_EQ(log_.count("Unregistered menu qv with path of " + menu_dir() + "qv.mnu"), 1);
    EXPECT_EQ(kd_param_get_type(kd_param_get_by_route("frontpanel/register_menu")), PARAMTYPE_NONE);
    EXPECT_EQ(kd_plugin_get_pli_by_name("frontpanel")->handle, nullptr);
    // Both descriptors are closed; the own queue stays for the daemon and
    // the next start.
    EXPECT_EQ(fptest::open_fds(), fds_before);
    EXPECT_TRUE(queue_exists(plugin_queue_));

    // A request sent while the plug-in is away waits in its queue.
    ASSERT_TRUE(daemon().send(103, "frontpanel/remove_menu", 77));
    forget_sent();
    log_.clear();
    kd_frame_load_plugin("frontpanel");
    EXPECT_EQ(log_.count("Queue already existed so opening with O_RDONLY"), 1);
    ASSERT_TRUE(run_until([&] { return !sent(104).empty(); }));
    EXPECT_EQ(sent(104)[0].id, 77u);
    EXPECT_EQ(sent(104)[0].text, "0\r\n\r\n");
}

// A queue left with other attributes (larger messages) is still drained
// rather than spun on: every message is received and answered.
TEST_F(FrontPanelTest, AQueueLeftWithOtherAttributesIsDrained)
{
    mq_attr attr{};
    attr.mq_maxmsg = 4;
    attr.mq_msgsize = 8192;
    const mqd_t q = mq_open(plugin_queue_.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0600, &attr);
    ASSERT_NE(q, mqd_t(-1)) << std::strerror(errno);
    std::vector<uint8_t> big = menud::encode(103, "frontpanel/register_menu", 1);
    big.resize(6000, 'x'); // past one record: ignored
    for (uint32_t id = 1; id <= 3; ++id) {
        big[8] = uint8_t(id);
        ASSERT_EQ(mq_send(q, reinterpret_cast<const char *>(big.data()), big.size(), 0), 0);
    }
    mq_close(q);
    start();
    ASSERT_TRUE(run_until([&] { return sent(104).size() >= 3; }));
    for (uint32_t id = 1; id <= 3; ++id) {
        EXPECT_EQ(sent(104)[id - 1].id, id);
        EXPECT_EQ(sent(104)[id - 1].text, "0\r\n\r\n");
    }
    EXPECT_EQ(log_.count("Failed to receive message"), 0);
}

TEST(FrontPanelLibrary, ExportsOnlyItsTwoEntries)
{
    const std::string lib = std::string(std::getenv("KD_BUILD_DIR")) + "/plugins/libsv-frontpanel.so";
    FILE *p = popen(("nm -D --defined-only " + lib).c_str(), "r");
    ASSERT_NE(p, nullptr);
    std::vector<std::string> names;
    char line[512];
    while (fgets(line, sizeof line, p)) {
        std::string s(line);
        s = s.substr(s.rfind(' ') + 1);
        s.pop_back();
        names.push_back(s);
    }
    pclose(p);
    EXPECT_EQ(names, (std::vector<std::string>{"frontpanel_fini", "frontpanel_init"}));
}

} // namespace

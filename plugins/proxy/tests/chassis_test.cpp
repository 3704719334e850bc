// Two cards of one chassis over the backplane: the master runs in the
// test's process (its eth2 at 169.254.1.8 in one namespace), the slave in
// hardware slot 5 (user slot 3, 169.254.1.3) is the host program with the
// proxy and the probe in another; simulated carriers answer discovery.
// Every card has its own root, system bus and command stand-ins. Needs
// root; skips otherwise.
#include "card_records.h"
#include "netrig.h"
#include "proxy_internal.h"
#include "proxy_test_support.h"
#include "sysbus_rig.h"
#include "test_support.h"

#include <kerrow/cuvent.h>
#include <kerrow/plugin.h>
#include <kerrow/ref.h>
#include <kerrow/store.h>

#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <fstream>

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>

extern char **environ;

using namespace proxytest;
using xsbsim::net_rig;

namespace {

const std::string kTop = "proxy/carrier_3";

int g_finishes = 0;
int g_all_connected = 0;

std::string make_root()
{
    std::string tmpl = "/tmp/kdp.XXXXXX";
    if (!mkdtemp(tmpl.data()))
        throw std::runtime_error("mkdtemp failed");
    return tmpl;
}

void write_file(const std::string &path, const std::string &text, mode_t mode = 0644)
{
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    std::ofstream(path) << text;
    chmod(path.c_str(), mode);
}

// A card's root: the on-card marker and a recording "reboot" stand-in.
void card_root(const std::string &root)
{
    write_file(root + "/opt/pkg/var/oem", "");
    write_file(root + "/cmd/reboot", "#!/bin/sh\necho \"reboot $*\" >> \"$(dirname \"$0\")/calls\"\n", 0755);
    std::filesystem::create_directories(root + "/bus");
}

pid_t spawn(const std::vector<std::string> &args, const std::string &log)
{
    std::vector<char *> argv;
    for (const auto &a : args)
        argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 1, log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    posix_spawn_file_actions_adddup2(&fa, 1, 2);
    pid_t pid = -1;
    const int rc = posix_spawnp(&pid, argv[0], &fa, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&fa);
    return rc == 0 ? pid : -1;
}

std::string read_file(const std::string &path)
{
    std::ifstream in(path);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

class ProxyChassis : public ::testing::Test {
protected:
    void SetUp() override
    {
        const std::string why = net_rig::skip_reason();
        if (!why.empty())
            GTEST_SKIP() << why;
        rig_ = std::make_unique<xsbsim::chassis_rig>();
        master_ns_ = rig_->add_card("169.254.1.8/24");
        slave_ns_ = rig_->add_card("169.254.1.3/24");
        // Hardware slot 0 holds a card of a model the proxy does not serve.
        for (unsigned slot : {3u, 5u, 0u}) {
            xsbsim::config c;
            c.ifname = rig_->add_carrier_port();
            c.slot = int(slot);
            c.info = xsbsim::card_records(slot);
            if (slot == 0)
                c.info[0] = 0x01220000u | 'A'; // KT-2200-A
            c.answer_ping = false; // the master card answers for slot 3
            auto s = std::make_unique<xsbsim::carrier_sim>(c);
            {
                net_rig::enter in(rig_->chassis());
                ASSERT_TRUE(s->open()) << s->error();
            }
            s->start();
            sims_.push_back(std::move(s));
        }
        slave_root_ = make_root();
        card_root(slave_root_);
        slave_bus_ = std::make_unique<sysbus::rig>(slave_root_ + "/bus");
        slave_bus_addr_ = std::getenv("DBUS_SYSTEM_BUS_ADDRESS");
        master_root_ = std::make_unique<kdtest::TempRoot>();
        card_root(master_root_->path());
        master_bus_ = std::make_unique<sysbus::rig>(master_root_->path() + "/bus");
    }
    void TearDown() override
    {
        if (up_) {
            proxy::fini();
            kd_frame_fini();
            proxy::st().handlers = {};
        }
        stop_slave(SIGTERM);
        card_.reset();
        sims_.clear();
        master_bus_.reset();
        master_root_.reset();
        slave_bus_.reset();
        if (!slave_root_.empty())
            std::filesystem::remove_all(slave_root_);
        rig_.reset();
        for (const char *v : {"HW_SLOT", "KD_CMD_DIR", "KD_XSB_IFP_WAIT_MS"})
            unsetenv(v);
    }

    void start_slave(int rows)
    {
        slave_ = spawn({"ip", "netns", "exec", slave_ns_, "env", "HW_SLOT=5", "KD_ROOT=" + slave_root_,
                        "KD_CMD_DIR=" + slave_root_ + "/cmd", "DBUS_SYSTEM_BUS_ADDRESS=" + slave_bus_addr_,
                        "SV_PLUGINS_PATH=" + std::string(std::getenv("KD_BUILD_DIR")) + "/plugins",
                        "PROBE_ROWS=" + std::to_string(rows), "KD_LOG_STDERR=1", "KD_LOG_NO_JOURNAL=1",
                        "KD_NO_RT=1", "KD_XSB_IFP_WAIT_MS=20", KERROW_HOST_PATH, "proxy", "probe"},
                       slave_root_ + "/log");
        ASSERT_GT(slave_, 0);
    }
    void stop_slave(int sig)
    {
        if (slave_ <= 0)
            return;
        kill(slave_, sig);
        int status = 0;
        waitpid(slave_, &status, 0);
        slave_ = -1;
        // Stopped in order, the host ends cleanly (the sanitizers would fail it).
        if (sig == SIGTERM) {
            EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << read_file(slave_root_ + "/log");
        }
    }
    // The test thread becomes the master card and starts the framework and
    // the proxy; the loop runs inside run_until.
    void master_up()
    {
        card_ = std::make_unique<net_rig::enter>(master_ns_);
        setenv("HW_SLOT", "3", 1);
        setenv("KD_CMD_DIR", (master_root_->path() + "/cmd").c_str(), 1);
        setenv("KD_XSB_IFP_WAIT_MS", "20", 1);
        kd_frame_init();
        up_ = true;
        g_finishes = g_all_connected = 0;
        proxy::st().handlers[proxy::PROXY_MSG_CTRL_PARAM_FINISH] = [](proxy::proxy_client &c, std::span<const uint8_t> p) {
            EXPECT_EQ(proxy::read_u32(p, 0), unsigned(c.slave_slot));
            ++g_finishes;
        };
        kd_cuvent_register_cb(nullptr, "on_proxy_all_slaves_connected", [](cuvent_wrapper *) { ++g_all_connected; },
                              nullptr, CUVFLT_NONE);
        pli_ = __test_insert_active_plugin("proxy", "/nowhere/libsv-proxy.so");
        proxy::init(pli_);
        ASSERT_TRUE(proxy::st().master);
    }
    bool linked(int finishes, double limit = 60)
    {
        const bool ok = run_until([&] { return g_finishes >= finishes; }, limit);
        if (!ok)
            ADD_FAILURE() << "slave log:\n" << read_file(slave_root_ + "/log");
        return ok;
    }
    static param_set_result set(const std::string &route, const char *text)
    {
        param_context *p = kd_param_get_by_route(route.c_str());
        switch (kd_param_get_type(p)) {
        case PARAMTYPE_NUMBER: return kd_param_get_number_ops(p)->set(p, text);
        case PARAMTYPE_CHOICE: return kd_param_get_choice_ops(p)->set(p, text);
        case PARAMTYPE_STRING: return kd_param_get_string_ops(p)->set(p, text);
        case PARAMTYPE_SET: return kd_param_get_set_ops(p)->set(p, text);
        default: return PARAM_SET_FAILURE;
        }
    }

    std::unique_ptr<xsbsim::chassis_rig> rig_;
    std::string master_ns_, slave_ns_;
    std::vector<std::unique_ptr<xsbsim::carrier_sim>> sims_;
    std::string slave_root_, slave_bus_addr_;
    std::unique_ptr<sysbus::rig> slave_bus_, master_bus_;
    std::unique_ptr<kdtest::TempRoot> master_root_;
    kdtest::LogCapture log_;
    std::unique_ptr<net_rig::enter> card_;
    plugin_load_info *pli_ = nullptr;
    pid_t slave_ = -1;
    bool up_ = false;
};

TEST_F(ProxyChassis, TheSlaveTreeIsMirroredSetAndRelinked)
{
    start_slave(4);
    master_up();
    ASSERT_TRUE(linked(1));
    EXPECT_TRUE(run_until([] { return g_all_connected == 1; }));
    EXPECT_EQ(log_.count("Total cards discovered: 3"), 1);
    EXPECT_EQ(log_.count("Connect to slot"), 1); // the KT-2200 card gets no link
    EXPECT_EQ(log_.count("Connect to slot 3 IP 169.254.1.3"), 1);

    // The slave's whole tree but its proxy subtree, as the slave has it.
    EXPECT_STREQ(kd_param_get_label(kd_param_get_by_route(kTop.c_str())), "Carrier 3");
    EXPECT_EQ(type_at(kTop + "/proxy"), PARAMTYPE_NONE);
    EXPECT_EQ(type_at(kTop + "/frame"), PARAMTYPE_LIST);
    param_context *host = kd_param_get_by_route("frame/hostname");
    param_context *mirror_host = kd_param_get_by_route((kTop + "/frame/hostname").c_str());
    ASSERT_NE(mirror_host, nullptr);
    EXPECT_EQ(kd_param_get_type(mirror_host), kd_param_get_type(host));
    EXPECT_STREQ(kd_param_get_label(mirror_host), kd_param_get_label(host));
    param_context *num = kd_param_get_by_route((kTop + "/probe/level").c_str());
    ASSERT_EQ(kd_param_get_type(num), PARAMTYPE_NUMBER);
    EXPECT_STREQ(kd_param_get_label(num), "Level");
    EXPECT_EQ(kd_param_get_readwrite(num), PARAMCTRL_RDWR_NOPERSIST);
    const param_number_ops *ops = kd_param_get_number_ops(num);
    EXPECT_EQ(std::tuple(ops->min(num), ops->max(num), ops->step(num)), std::tuple(0, 100, 1));
    EXPECT_EQ(value_at(kTop + "/probe/level"), "0");
    EXPECT_EQ(value_at(kTop + "/probe/mode"), "Off");
    param_context *mode = kd_param_get_by_route((kTop + "/probe/mode").c_str());
    const char **choices = kd_param_get_choice_ops(mode)->choices(mode);
    ASSERT_NE(choices, nullptr);
    EXPECT_STREQ(choices[2], "Auto");
    void *ref = choices;
    kd_ref_free_safe(&ref);
    EXPECT_EQ(kd_param_get_readwrite(kd_param_get_by_route((kTop + "/probe/secret").c_str())), PARAMCTRL_WRONLY);
    EXPECT_EQ(kd_param_get_readwrite(kd_param_get_by_route((kTop + "/probe/rows/row_0/value").c_str())),
              PARAMCTRL_RDONLY);
    EXPECT_EQ(kd_param_list_count(kd_param_get_by_route((kTop + "/probe/rows").c_str())), 4u);
    EXPECT_EQ(value_at(kTop + "/probe/rows/row_3/value"), "3");

    // Sets go to the slave, which applies and answers; the mirror follows.
    EXPECT_EQ(set(kTop + "/probe/level", "0x10"), PARAM_SET_SUCCESS);
    EXPECT_TRUE(run_until([] { return value_at(kTop + "/probe/level") == "16"; }));
    for (auto [leaf, text] : {std::pair{"level", "101"}, {"level", "3x"}, {"mode", "Purple"}, {"flags", "red,omega"}})
        EXPECT_EQ(set(kTop + "/probe/" + leaf, text), PARAM_SET_FAILURE) << leaf << " " << text;
    EXPECT_EQ(set(kTop + "/probe/flags", "green,blue"), PARAM_SET_SUCCESS);
    EXPECT_EQ(set(kTop + "/probe/text", "round trip, \"quoted\""), PARAM_SET_SUCCESS);
    EXPECT_TRUE(run_until([] { return value_at(kTop + "/probe/text") == "round trip, \"quoted\""; }));
    EXPECT_EQ(value_at(kTop + "/probe/flags"), "green,blue");
    EXPECT_EQ(value_at(kTop + "/probe/level"), "16");

    // Only the master's address may connect: another host is closed at once.
    rig_->add_address(master_ns_, "169.254.1.9/24");
    peer stranger = peer::connect_to("169.254.1.3", 5005, "169.254.1.9");
    ASSERT_TRUE(stranger.ok());
    EXPECT_TRUE(run_until([&] { return stranger.closed(); }));
    EXPECT_TRUE(stranger.got().empty());
    EXPECT_EQ(type_at(kTop), PARAMTYPE_LIST);

    // A second link from the master's address replaces the first; once it
    // goes, the master links again on its 4 s retry and rebuilds the tree.
    peer second = peer::connect_to("169.254.1.3", 5005, "169.254.1.8");
    ASSERT_TRUE(second.ok());
    ASSERT_TRUE(run_until([] { return type_at(kTop) == PARAMTYPE_NONE; }));
    ASSERT_TRUE(second.next(proxy::PROXY_MSG_CTRL_PARAM_FINISH));
    second.close();
    ASSERT_TRUE(linked(2));
    EXPECT_EQ(value_at(kTop + "/probe/level"), "16");

    // The slave dies: its mirrors go; it comes back and is linked again.
    stop_slave(SIGKILL);
    ASSERT_TRUE(run_until([] { return type_at(kTop) == PARAMTYPE_NONE; }));
    EXPECT_EQ(type_at(kTop + "/probe/level"), PARAMTYPE_NONE);
    start_slave(4);
    ASSERT_TRUE(linked(3));
    EXPECT_EQ(value_at(kTop + "/probe/level"), "16"); // kept in the slave's store
    EXPECT_TRUE(run_until([] { return g_all_connected == 3; }));
    EXPECT_GE(log_.count("(Master) Connection established with client at 169.254.1.3."), 3);

    // The master's store holds no mirrored value.
    kd_store_check_persist(nullptr);
    char **keys = kd_store_search_keys(pli_, "");
    EXPECT_TRUE(!keys || !keys[0]);
    std::free(keys);
}

TEST_F(ProxyChassis, TensOfThousandsOfParametersArriveWhole)
{
    constexpr int kRows = 15000; // two parameters each
    start_slave(kRows);
    master_up();
    ASSERT_TRUE(linked(1, 120));
    param_context *rows = kd_param_get_by_route((kTop + "/probe/rows").c_str());
    EXPECT_EQ(kd_param_list_count(rows), size_t(kRows));
    for (int i : {0, kRows / 2, kRows - 1}) {
        const std::string row = kTop + "/probe/rows/row_" + std::to_string(i);
        EXPECT_EQ(value_at(row + "/value"), std::to_string(i));
    }
}

} // namespace

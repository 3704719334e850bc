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
#include <sys/stat.h>
#include <sys/wait.h>

extern char **environ;

using namespace proxytest;
using xsbsim::net_rig;

namespace {

const std::string kTop = "proxy/carrier_3";

int g_finishes = 0;
int g_all_connected = 0;

std::string make_root() { return rigproc::make_temp_dir("kdt"); }

void write_file(const std::string &path, const std::string &text, mode_t mode = 0644)
{
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    std::ofstream(path) << text;
    chmod(path.c_str(), mode);
}

// A card's root: the on-card marker, recording "reboot" and "date"
// stand-ins, the real rsync and the media directory its daemon serves.
void card_root(const std::string &root)
{
    write_file(root + "/opt/pkg/var/oem", "");
    for (const char *name : {"reboot", "date"})
        write_file(root + "/cmd/" + name,
                   "#!/bin/sh\necho \"" + std::string(name) + " $*\" >> \"$(dirname \"$0\")/calls\"\n", 0755);
    std::filesystem::create_symlink("/usr/bin/rsync", root + "/cmd/rsync");
    std::filesystem::create_directories(root + "/bus");
    std::filesystem::create_directories(root + "/media/hd0/media");
    std::filesystem::create_directories(root + "/etc/solvera");
    write_file(root + "/rsyncd.conf", "use chroot = no\n[media]\n    path = " + root +
                                          "/media/hd0/media\n    read only = no\n    uid = root\n    gid = root\n");
}

std::string read_file(const std::string &path)
{
    std::ifstream in(path);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::vector<std::string> lines_of(const std::string &path)
{
    std::vector<std::string> out;
    std::ifstream in(path);
    for (std::string line; std::getline(in, line);)
        out.push_back(line);
    return out;
}

size_t count_prefix(const std::vector<std::string> &lines, const std::string &prefix)
{
    return size_t(std::count_if(lines.begin(), lines.end(), [&](const auto &l) { return l.rfind(prefix, 0) == 0; }));
}

class ProxyChassis : public ::testing::Test {
protected:
    explicit ProxyChassis(bool other_model = true) : other_model_(other_model) {}

    void SetUp() override
    {
        const std::string why = net_rig::skip_reason();
        if (!why.empty())
            GTEST_SKIP() << why;
        rig_ = std::make_unique<xsbsim::chassis_rig>();
        master_ns_ = rig_->add_card("169.254.1.8/24");
        slave_ns_ = rig_->add_card("169.254.1.3/24");
        // Hardware slot 0 holds a card of a model the proxy does not serve.
        std::vector<unsigned> slots{3u, 5u};
        if (other_model_)
            slots.push_back(0u);
        for (unsigned slot : slots) {
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
        for (pid_t &d : daemons_) {
            kill(d, SIGTERM);
            waitpid(d, nullptr, 0);
        }
        if (up_) {
            proxy::fini();
            kd_frame_fini();
            proxy::st().handlers = {};
        } else if (fake_master_) {
            kd_frame_fini();
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
        slave_ = rigproc::spawn({"ip", "netns", "exec", slave_ns_, "env", "HW_SLOT=5", "KD_ROOT=" + slave_root_,
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

    // An rsync daemon serving the card's media directory as module "media"
    // on its backplane address; ready once it accepts a connection.
    void rsync_daemon(const std::string &ns, const std::string &root, const std::string &ip)
    {
        const pid_t pid = rigproc::spawn({"ip", "netns", "exec", ns, "rsync", "--daemon", "--no-detach",
                                          "--config=" + root + "/rsyncd.conf", "--address=" + ip, "--port=873"},
                                         root + "/rsyncd.log");
        ASSERT_GT(pid, 0);
        daemons_.push_back(pid);
        net_rig::enter in(ns);
        bool up = false;
        for (int i = 0; i < 3000 && !up; ++i) {
            peer p = peer::connect_to(ip, 873);
            up = p.ok();
            if (!up)
                usleep(10000); // polling a daemon's start, not timing the code under test
        }
        ASSERT_TRUE(up) << read_file(root + "/rsyncd.log");
    }
    // The master's log lines that mention a word, for failure messages.
    std::string master_log(const std::string &word) const
    {
        std::string out;
        for (const auto &l : log_.lines())
            if (l.text.find(word) != std::string::npos)
                out += l.text;
        return out;
    }
    std::string master_path(const std::string &rel) const { return master_root_->path() + "/" + rel; }
    std::string slave_path(const std::string &rel) const { return slave_root_ + "/" + rel; }
    bool file_holds(const std::string &path, const std::string &text, double limit = 60)
    {
        return run_until([&] { return read_file(path).find(text) != std::string::npos; }, limit);
    }

    bool other_model_ = true;
    std::vector<pid_t> daemons_;
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
    bool fake_master_ = false; // the framework runs without the proxy

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

TEST_F(ProxyChassis, TimeZoneAndFirmwarePackagesReachTheSlave)
{
    rsync_daemon(slave_ns_, slave_root_, "169.254.1.3");
    start_slave(1);
    master_up();
    ASSERT_TRUE(linked(1));

    // The master's time zone goes to the slave's time-date service.
    param_context *tz = kd_param_get_by_route("frame/timezone");
    ASSERT_TRUE(run_until([&] { return kd_param_get_readwrite(tz) == PARAMCTRL_RDWR_NOPERSIST; }));
    const std::string zone = value_at("frame/timezone") == "Europe/Berlin" ? "Europe/Lisbon" : "Europe/Berlin";
    ASSERT_EQ(set("frame/timezone", zone.c_str()), PARAM_SET_SUCCESS);
    EXPECT_TRUE(run_until([&] {
        const auto calls = slave_bus_->calls();
        return std::find(calls.begin(), calls.end(), "SetTimezone " + zone + " 1") != calls.end();
    })) << read_file(slave_path("log"));

    // A firmware package goes into the slave's media directory by rsync.
    write_file(master_path("fw/kt3300-2.0.pkg"), "package bytes\n");
    static std::string pkg;
    pkg = master_path("fw/kt3300-2.0.pkg");
    kd_cuvent_emit(nullptr, "version firmware package add", pkg.data());
    EXPECT_TRUE(run_until([&] { return log_.count("Sync success") + log_.count("Sync fail") > 0; }));
    EXPECT_EQ(read_file(slave_path("media/hd0/media/kt3300-2.0.pkg")), "package bytes\n");
    EXPECT_EQ(proxy::st().verctl_task_info.rsync_threads_are_done, true); // waiting for the slave's report
}

// A master played by the test: the slave follows its clock and chassis
// configuration and reboots on request.
TEST_F(ProxyChassis, AFakeMasterSetsTheSlavesClockAndChassisConfiguration)
{
    start_slave(1);
    // The framework of the master card, without the proxy: it answers the
    // slave's discovery.
    card_ = std::make_unique<net_rig::enter>(master_ns_);
    setenv("HW_SLOT", "3", 1);
    setenv("KD_CMD_DIR", (master_root_->path() + "/cmd").c_str(), 1);
    setenv("KD_XSB_IFP_WAIT_MS", "20", 1);
    kd_frame_init();
    fake_master_ = true;
    peer m;
    ASSERT_TRUE(run_until([&] {
        m = peer::connect_to("169.254.1.3", 5005, "169.254.1.8");
        return m.ok();
    }, 60)) << read_file(slave_path("log"));
    ASSERT_TRUE(m.next(proxy::PROXY_MSG_CTRL_PARAM_FINISH));
    // The slave compares with the cards it found itself.
    ASSERT_TRUE(run_until([&] { return read_file(slave_path("log")).find("Total cards discovered") != std::string::npos; }))
        << read_file(slave_path("log"));
    const time_t now = time(nullptr);
    for (time_t t : {now + 2, now - 3}) {
        std::vector<uint8_t> p(8);
        for (int i = 0; i < 4; ++i)
            p[size_t(i)] = uint8_t(uint32_t(t) >> (8 * i));
        m.send(proxy::proxy_msg_init_control(proxy::PROXY_MSG_TIME_SYNC, p));
    }
    std::vector<uint8_t> conf(32);
    for (size_t node = 0; node < 8; ++node)
        conf[4 * node] = 77;
    m.send(proxy::proxy_msg_init_control(proxy::PROXY_MSG_CHASSIS_CONF, conf));
    // The configuration is written for the cards the slave sees, and it reboots.
    ASSERT_TRUE(run_until([&] { return count_prefix(lines_of(slave_path("cmd/calls")), "reboot") == 1; }))
        << read_file(slave_path("log"));
    EXPECT_EQ(lines_of(slave_path("cmd/calls")),
              (std::vector<std::string>{"date -s @" + std::to_string(now - 3), "reboot "}));
    const std::string cfg = read_file(slave_path("etc/solvera/chassis.conf"));
    EXPECT_NE(cfg.find("HW_SLOT_5_FUNCTION=77"), std::string::npos) << cfg;
    EXPECT_NE(read_file(slave_path("log")).find("Mismatch found. Multi-fn node"), std::string::npos);

    // REBOOT: the stand-in runs once more, a second later.
    const double asked = kd_frame_now();
    m.send(proxy::proxy_msg_init_u32(proxy::PROXY_MSG_REBOOT, proxy::kRebootMagic));
    ASSERT_TRUE(run_until([&] { return count_prefix(lines_of(slave_path("cmd/calls")), "reboot") == 2; }));
    EXPECT_GE(kd_frame_now() - asked, 0.9);
}

// Profiles across the master and one slave with the framework's profile
// code on both; no card of another model, so every card takes part.
class ProxyChassisProfiles : public ProxyChassis {
protected:
    ProxyChassisProfiles() : ProxyChassis(false) {}
    param_set_result frame_set(const std::string &route, const char *text) { return set(route, text); }
};

TEST_F(ProxyChassisProfiles, CreateAndApplyAcrossTheChassis)
{
    rsync_daemon(master_ns_, master_root_->path(), "169.254.1.8");
    rsync_daemon(slave_ns_, slave_root_, "169.254.1.3");
    start_slave(1);
    master_up();
    ASSERT_TRUE(linked(1));
    ASSERT_EQ(set(kTop + "/probe/level", "21"), PARAM_SET_SUCCESS);
    ASSERT_TRUE(run_until([] { return value_at(kTop + "/probe/level") == "21"; }));
    ASSERT_EQ(set("frame/chassis_number", "2"), PARAM_SET_SUCCESS); // the master's store holds something

    // Creating: the slave's store comes by rsync, the profile holds both parts.
    ASSERT_EQ(set("frame/settings_profiles_add/settings_profiles_add_name", "snap"), PARAM_SET_SUCCESS);
    const std::string profile = master_path("var/local/solvera/profiles/snap.pfl");
    ASSERT_TRUE(file_holds(profile, "masterend")) << read_file(slave_path("log"));
    const std::string text = read_file(profile);
    const size_t s3 = text.find("slot3start\n"), e3 = text.find("\nslot3end\n");
    ASSERT_NE(s3, std::string::npos) << text;
    ASSERT_NE(e3, std::string::npos) << text;
    EXPECT_NE(text.substr(s3, e3 - s3).find("\"probe/level\": \"21\""), std::string::npos) << text;
    EXPECT_NE(text.find("masterstart\n"), std::string::npos);
    EXPECT_FALSE(std::filesystem::exists(master_path("media/hd0/media/slot3.pfl"))); // taken into the profile

    // Applying: the slave installs its part and keeps its old store; both reboot.
    ASSERT_EQ(set(kTop + "/probe/level", "33"), PARAM_SET_SUCCESS);
    ASSERT_TRUE(run_until([] { return value_at(kTop + "/probe/level") == "33"; }));
    ASSERT_TRUE(run_until([] { return type_at("frame/settings_profiles/snap/action") == PARAMTYPE_CHOICE; }));
    ASSERT_EQ(set("frame/settings_profiles/snap/action", "ProfileApply"), PARAM_SET_SUCCESS);
    ASSERT_TRUE(run_until([&] {
        return count_prefix(lines_of(master_path("cmd/calls")), "reboot") == 1 &&
               count_prefix(lines_of(slave_path("cmd/calls")), "reboot") == 1;
    })) << master_log("rofile") << master_log("lave");
    EXPECT_NE(read_file(slave_path("var/local/solvera/store.json")).find("\"probe/level\": \"21\""),
              std::string::npos);
    const std::string kept = slave_path("var/local/solvera/oldprofiles/store.json");
    EXPECT_NE(read_file(kept).find("\"probe/level\": \"33\""), std::string::npos) << read_file(kept);
    struct stat st{};
    ASSERT_EQ(stat(kept.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    ASSERT_EQ(stat(slave_path("var/local/solvera/oldprofiles").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    EXPECT_TRUE(std::filesystem::exists(master_path("var/local/solvera/oldprofiles/store.json")));
    EXPECT_EQ(read_file(master_path("var/local/solvera/lastapplyprofilename.txt")), "snap");

    // A part the slave refuses (a decoder's store) fails the apply; the
    // master's store stays as it was and nobody reboots.
    const std::string master_store = read_file(master_path("var/local/solvera/store.json"));
    write_file(master_path("var/local/solvera/profiles/other.pfl"),
               "slot3start\n{\"decode\": {}}\nslot3end\nmasterstart\n" + master_store + "\nmasterend\n");
    ASSERT_TRUE(run_until([] { return type_at("frame/settings_profiles/other/action") == PARAMTYPE_CHOICE; }));
    ASSERT_EQ(set("frame/settings_profiles/other/action", "ProfileApply"), PARAM_SET_SUCCESS);
    ASSERT_TRUE(run_until([] { return value_at("frame/settings_profiles_add/applyprofilestate") == "1"; }))
        << read_file(slave_path("log"));
    EXPECT_EQ(read_file(master_path("var/local/solvera/store.json")), master_store);
    EXPECT_EQ(count_prefix(lines_of(master_path("cmd/calls")), "reboot"), 1u);
    EXPECT_EQ(count_prefix(lines_of(slave_path("cmd/calls")), "reboot"), 1u);
}

} // namespace

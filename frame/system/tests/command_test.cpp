// The command runner: stand-ins run without a shell with the exact
// argument list; off the card nothing else runs, and every path that
// reboots or changes the system reports the refusal as a failure.
#include <kerrow/carrier.h>
#include <kerrow/command.h>
#include <kerrow/frame.h>

#include "carrier/carrier_internal.h"
#include "profile/profile_internal.h"
#include "system/system_internal.h"
#include "cmd_standins.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <thread>

namespace fs = std::filesystem;
namespace kc = kd::carrier;

namespace {

std::string slurp(const std::string &path)
{
    std::ifstream in(path);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

// A stand-in that appends its name and each argument in brackets to
// dir/calls, so the exact argument list shows, and exits with `status`.
void recorder(const std::string &dir, const std::string &name, int status = 0)
{
    fs::create_directories(dir);
    const std::string path = dir + "/" + name;
    std::ofstream(path) << "#!/bin/sh\n{ printf '%s' \"" << name << "\"; for a in \"$@\"; do printf '[%s]' \"$a\"; done;"
                        << " echo; } >> \"" << dir << "/calls\"\nexit " << status << "\n";
    fs::permissions(path, fs::perms::owner_all);
}

void marker(const kdtest::TempRoot &root)
{
    fs::create_directories(root / "opt/pkg/var");
    std::ofstream(root / "opt/pkg/var/oem") << "";
}

TEST(CommandRunner, RunsStandInsWithoutAShellAndReportsHowTheyEnded)
{
    kdtest::TempRoot root;
    kdtest::LogCapture log;
    const std::string dir = root / "cmd";
    recorder(dir, "reboot");
    recorder(dir, "sed", 3);
    fs::create_symlink("/bin/sh", dir + "/sh");
    kdtest::CommandStandins restore(root / "unused"); // KD_CMD_DIR as it was afterwards
    setenv("KD_CMD_DIR", dir.c_str(), 1);

    kd::command_end end = kd::command_end::exited;
    EXPECT_EQ(kd::run_command({"/sbin/reboot"}), 0);
    EXPECT_EQ(kd::run_command({"sed", "-i", "a; touch /tmp/x", "$HOME"}, {.quiet = true, .end = &end}), 3);
    EXPECT_EQ(end, kd::command_end::exited);
    EXPECT_EQ(kd::run_command({"/bin/systemctl", "restart"}, {.end = &end}), -1); // no stand-in: not run at all
    EXPECT_EQ(end, kd::command_end::not_started);
    EXPECT_EQ(kd::run_command({}), -1);
    EXPECT_EQ(slurp(dir + "/calls"), "reboot\nsed[-i][a; touch /tmp/x][$HOME]\n");
    EXPECT_EQ(kd::command_path("/bin/sed"), dir + "/sed");
    EXPECT_EQ(kd::run_command({"sh", "-c", "kill -9 $$"}, {.end = &end}), -1);
    EXPECT_EQ(end, kd::command_end::signalled);

    // Extra variables replace inherited ones of the same name; a quiet
    // program reads end of file instead of the caller's input.
    setenv("KD_TEST_VAR", "inherited", 1);
    struct Case {
        std::vector<std::string> env;
        bool quiet;
        std::string script;
        int status;
    } cases[] = {
        {{"KD_TEST_VAR=given"}, false, "test \"$KD_TEST_VAR\" = given", 0},
        {{"LD_LIBRARY_PATH=/usr/local/lib"}, false, "test \"$KD_TEST_VAR\" = inherited", 0},
        {{}, true, "read line; test $? -ne 0", 0},
    };
    for (const auto &c : cases)
        EXPECT_EQ(kd::run_command({"sh", "-c", c.script}, {.quiet = c.quiet, .env = c.env}), c.status) << c.script;
    unsetenv("KD_TEST_VAR");

    // From a thread that blocks every signal and ignores SIGPIPE (as the
    // worker threads do), the program still starts with none blocked or
    // ignored.
    std::thread([] {
        sigset_t all;
        sigfillset(&all);
        pthread_sigmask(SIG_SETMASK, &all, nullptr);
        struct sigaction old {}, ign {};
        ign.sa_handler = SIG_IGN;
        sigaction(SIGPIPE, &ign, &old);
        // Signals 1 to 31; glibc's own real-time signals are left as they are.
        EXPECT_EQ(kd::run_command({"sh", "-c",
                                   "b=$(sed -n 's/^SigBlk:\\s*//p' /proc/self/status); "
                                   "i=$(sed -n 's/^SigIgn:\\s*//p' /proc/self/status); "
                                   "test $(( 0x$b & 0x7fffffff )) -eq 0 && test $(( 0x$i & 0x7fffffff )) -eq 0"}),
                  0);
        sigaction(SIGPIPE, &old, nullptr);
    }).join();
    EXPECT_EQ(kd::command_refusals(), 0u);
}

// Where programs and the system bus may come from. The machine running the
// tests is no card: without a private root it is off the card too.
TEST(CommandRunner, OffTheCardOnlyStandInsAndTheNamedBus)
{
    kdtest::TempRoot root;
    kdtest::CommandStandins restore(root / "unused");
    unsetenv("KD_CMD_DIR");
    const char *old_bus = std::getenv("DBUS_SYSTEM_BUS_ADDRESS");
    const std::string saved_bus = old_bus ? old_bus : "";
    unsetenv("DBUS_SYSTEM_BUS_ADDRESS");

    EXPECT_TRUE(kd::off_card()); // a private root, no marker
    EXPECT_FALSE(kd::system_bus_address().has_value());
    marker(root);
    EXPECT_TRUE(kd::off_card()); // the marker under a private root is still a test
    EXPECT_FALSE(kd::system_bus_address().has_value());
    EXPECT_EQ(kd::command_path("/bin/sed"), "/bin/sed");
    setenv("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/tmp/kd-none.sock", 1);
    EXPECT_EQ(kd::system_bus_address(), std::optional<std::string>("unix:path=/tmp/kd-none.sock"));
    setenv("DBUS_SYSTEM_BUS_ADDRESS", "", 1);
    EXPECT_FALSE(kd::system_bus_address().has_value());

    kdtest::OwnCommandLog restore_log(root / "commands.log");
    unsetenv("KD_CMD_LOG");
    struct stat st;
    if (stat("/opt/pkg/var/oem", &st) != 0) {
        for (const char *real_root : {"/", ""}) {
            setenv("KD_ROOT", real_root, 1);
            EXPECT_TRUE(kd::off_card()) << real_root;
            EXPECT_TRUE(kd::command_log_path().empty()) << "never a log under the real root";
        }
    }
    if (old_bus)
        setenv("DBUS_SYSTEM_BUS_ADDRESS", saved_bus.c_str(), 1);
    else
        unsetenv("DBUS_SYSTEM_BUS_ADDRESS");
}

// The paths that reboot the card or change its system, through their own
// entry points, each in a private root holding the on-card marker.
class CommandGuard : public ::testing::Test {
protected:
    void SetUp() override
    {
        marker(root_);
        fs::create_directories(root_ / "etc/solvera");
        fs::create_directories(root_ / "media/hd0");
        for (const char *name : {"reboot", "systemctl"})
            recorder(cmds_, name);
        kc::exit_process = [](int status) { g_exit_status = status; };
        g_exit_status = -1;
    }
    void TearDown() override { kc::exit_process = std::exit; }

    static inline int g_exit_status = -1;
    kdtest::TempRoot root_;
    kdtest::LogCapture log_;
    kdtest::CommandStandins restore_{root_ / "unused"};
    kdtest::OwnCommandLog command_log_{root_ / "commands.log"};
    const std::string cmds_ = root_ / "cmd";
};

TEST_F(CommandGuard, RefusedWithoutStandInsAndReportedAsFailure)
{
    struct Path {
        const char *name;
        std::function<bool()> run; // true when the caller reported success
        std::string program, recorded;
    } paths[] = {
        {"settings profile apply",
         [] {
             kd::profile::mod().apply_state = 0;
             kd::profile::reboot_after_apply();
             return kd::profile::mod().apply_state == 0;
         },
         "reboot", "reboot"},
        {"chassis configuration update",
         [] {
             const uint32_t none[8] = {};
             return kd_carrier_update_function_targets(none) == 0;
         },
         "reboot", "reboot"},
        {"self-programming",
         [] {
             g_exit_status = -1;
             const int rc = kc::reboot_after_programming();
             EXPECT_EQ(g_exit_status, rc == 0 ? 0 : -1) << "the process ends only when the reboot comes";
             return rc == 0;
         },
         "reboot", "reboot"},
        {"spawn_helper",
         [] {
             int status = -7;
             const int rc = kd::sys::spawn_helper({"/bin/systemctl", "start", "snmpd"}, &status,
                                                  {"LD_LIBRARY_PATH=/usr/local/lib"});
             if (rc != 0) {
                 EXPECT_EQ(kd_errno, KD_ERR_SPAWN);
             }
             return rc == 0;
         },
         "/bin/systemctl", "systemctl[start][snmpd]"},
    };
    for (bool on_card_marker : {true, false}) {
        if (!on_card_marker)
            fs::remove(root_ / "opt/pkg/var/oem");
        for (const Path &p : paths) {
            SCOPED_TRACE(std::string(p.name) + (on_card_marker ? " (marker)" : " (no marker)"));
            fs::remove(cmds_ + "/calls");
            fs::remove(root_ / "commands.log");
            log_.clear();

            unsetenv("KD_CMD_DIR");
            const unsigned before = kd::command_refusals();
            EXPECT_FALSE(p.run());
            EXPECT_EQ(kd::command_refusals(), before + 1);
            EXPECT_EQ(log_.count("Not on the card: " + p.program + " refused"), 1);
            const auto lines = command_log_.lines();
            ASSERT_EQ(lines.size(), 1u);
            EXPECT_EQ(lines[0].rfind("refused " + p.program + " pid ", 0), 0u) << lines[0];
            EXPECT_FALSE(fs::exists(cmds_ + "/calls"));

            setenv("KD_CMD_DIR", cmds_.c_str(), 1);
            EXPECT_TRUE(p.run());
            EXPECT_EQ(slurp(cmds_ + "/calls"), p.recorded + "\n");
            EXPECT_EQ(kd::command_refusals(), before + 1);
            EXPECT_EQ(command_log_.lines().size(), 1u) << "a stand-in is no event";
        }
    }
}

} // namespace

namespace {

// The runner's command log as scripts/tripwire reads it after the tests: a
// refused real program fails the test command, a program that does not
// exist here does not, and the logs are gone afterwards.
TEST(Tripwire, FailsOnARealProgramInAnyTestsLog)
{
    kdtest::TempRoot root;
    kdtest::LogCapture log;
    kdtest::CommandStandins restore(root / "unused");
    unsetenv("KD_CMD_DIR");
    const char *src = std::getenv("KD_SOURCE_DIR");
    if (!src)
        GTEST_SKIP() << "KD_SOURCE_DIR is not set (run through ctest)";
    const std::string script = std::string(src) + "/scripts/tripwire";
    const std::string build = root / "build";
    fs::create_directories(build + "/tripwire");
    auto tripwire = [&] {
        const int rc = std::system((script + " " + build + " >/dev/null").c_str());
        return WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
    };
    {
        kdtest::OwnCommandLog first(build + "/tripwire/first.log");
        EXPECT_EQ(kd::run_command({"/nowhere/kd-no-such-program"}), -1);
    }
    EXPECT_EQ(tripwire(), 0);
    EXPECT_FALSE(fs::exists(build + "/tripwire/first.log"));
    {
        kdtest::OwnCommandLog second(build + "/tripwire/second.log");
        EXPECT_EQ(kd::run_command({"/nowhere/kd-no-such-program"}), -1);
        EXPECT_EQ(kd::run_command({"/bin/sh", "-c", "true"}), -1);
    }
    EXPECT_EQ(tripwire(), 1);
    EXPECT_EQ(tripwire(), 0) << "read once";
}

} // namespace

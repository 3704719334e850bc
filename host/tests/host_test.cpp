// Drives the framework through the shared library exactly as the host
// program does: init, run until a timer calls kd_shutdown, fini.
#include <kerrow/cuvent.h>
#include <kerrow/frame.h>
#include <kerrow/log.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <thread>

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
#include <string>
#include <vector>

namespace {

std::vector<std::string> g_lines;
void sink(void *, int, const char *, int, const char *, const char *text) { g_lines.push_back(text); }

std::vector<std::string> steps(const std::string &prefix)
{
    std::vector<std::string> out;
    for (const auto &l : g_lines)
        if (l.rfind(prefix, 0) == 0)
            out.push_back(l.substr(prefix.size(), l.size() - prefix.size() - 1));
    return out;
}

TEST(Host, InitRunShutdownFiniInServiceOrder)
{
    char root[] = "/tmp/kdh.XXXXXX";
    ASSERT_TRUE(mkdtemp(root));
    setenv("KD_ROOT", root, 1);
    kd_log_set_sink(sink, nullptr);

    kd_frame_init();
    static bool ran = false;
    static bool frame_run_heard = false;
    kd_cuvent_register_cb(nullptr, "frame run", [](cuvent_wrapper *) { frame_run_heard = true; },
                          nullptr, CUVFLT_NONE);
    ASSERT_EQ(kd_frame_timeout_register("stop", [](void *) {
        ran = true;
        kd_shutdown();
    }, nullptr, 0.05, 0, nullptr), 0);
    kd_frame_run();
    kd_frame_fini();
    kd_log_set_sink(nullptr, nullptr);

    EXPECT_TRUE(ran);
    EXPECT_TRUE(frame_run_heard);
    EXPECT_EQ(steps("[frame] init "),
              (std::vector<std::string>{"loop", "ref", "cuvents", "param", "alarm", "carrier",
                                        "remote", "plugin", "store", "worker", "system", "cfg",
                                        "settings_profile"}));
    EXPECT_EQ(steps("[frame] fini "),
              (std::vector<std::string>{"carrier_release", "cfg", "plugin", "system", "worker",
                                        "remote", "param", "carrier", "alarm", "store", "cuvents",
                                        "ref", "loop"}));
    std::filesystem::remove_all(root);
}

// Starts the host program in a root of its own with its log on a pipe,
// waits for the first line that holds `ready`, waits `delay` more, sends
// SIGTERM and answers the wait status.
int sigterm_after(const std::string &ready, std::chrono::milliseconds delay)
{
    const char *build = std::getenv("KD_BUILD_DIR");
    if (!build) {
        ADD_FAILURE() << "KD_BUILD_DIR is not set";
        return -1;
    }
    const std::string bin = std::string(build) + "/bin/kerrow-host";
    char root[] = "/tmp/kdh.XXXXXX";
    if (!mkdtemp(root)) {
        ADD_FAILURE() << "mkdtemp";
        return -1;
    }
    const std::string root_env = std::string("KD_ROOT=") + root;
    std::vector<std::string> env_text = {root_env, "KD_LOG_NO_JOURNAL=1", "KD_LOG_STDERR=1", "KD_NO_RT=1"};
    std::vector<char *> envp, argv = {const_cast<char *>(bin.c_str()), nullptr};
    for (auto &e : env_text)
        envp.push_back(e.data());
    envp.push_back(nullptr);
    int err[2];
    if (pipe(err) != 0) {
        ADD_FAILURE() << "pipe";
        return -1;
    }
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, err[1], 2);
    posix_spawn_file_actions_addclose(&fa, err[0]);
    pid_t pid = 0;
    const int rc = posix_spawn(&pid, bin.c_str(), &fa, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&fa);
    close(err[1]);
    if (rc != 0) {
        close(err[0]);
        ADD_FAILURE() << "cannot start " << bin;
        return -1;
    }
    std::string line;
    for (char c = 0; read(err[0], &c, 1) == 1;) {
        if (c != '\n') {
            line += c;
            continue;
        }
        if (line.find(ready) != std::string::npos)
            break;
        line.clear();
    }
    std::this_thread::sleep_for(delay);
    kill(pid, SIGTERM);
    char buf[4096];
    while (read(err[0], buf, sizeof buf) > 0) {
    }
    close(err[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    std::filesystem::remove_all(root);
    return status;
}

// Once running, SIGTERM stops the program through its loop: status 0, where
// a program that died of the signal would show it.
TEST(Host, ProgramStopsCleanlyOnSigterm)
{
    const int status = sigterm_after("[frame] init settings_profile", std::chrono::milliseconds(0));
    EXPECT_TRUE(WIFEXITED(status)) << "killed by signal " << (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
    EXPECT_EQ(WIFEXITED(status) ? WEXITSTATUS(status) : -1, 0);
}

// SIGTERM at any moment from the framework's first log line on, over the
// first half second: the program always stops through the loop with 0.
TEST(Host, SigtermDuringStartUpIsANormalShutdown)
{
    for (int round = 0; round < 20; ++round) {
        SCOPED_TRACE(round);
        const int status = sigterm_after("", std::chrono::milliseconds(round * 25));
        EXPECT_TRUE(WIFEXITED(status)) << "killed by signal " << (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
        EXPECT_EQ(WIFEXITED(status) ? WEXITSTATUS(status) : -1, 0);
    }
}

// A shutdown asked for before the loop runs (from a plug-in's init, say) is
// kept: the loop returns at once.
TEST(Host, ShutdownBeforeRunIsNotLost)
{
    char root[] = "/tmp/kdh.XXXXXX";
    ASSERT_TRUE(mkdtemp(root));
    setenv("KD_ROOT", root, 1);
    kd_frame_init();
    static bool watchdog = false;
    kd_frame_timeout_register("watchdog", [](void *) {
        watchdog = true;
        kd_shutdown();
    }, nullptr, 60, 0, nullptr);
    kd_shutdown();
    kd_frame_run();
    EXPECT_FALSE(watchdog);
    // The request was spent: the next run waits for its own.
    ASSERT_EQ(kd_frame_timeout_register("stop", [](void *) { kd_shutdown(); }, nullptr, 0.05, 0, nullptr), 0);
    kd_frame_run();
    kd_frame_fini();
    EXPECT_FALSE(watchdog);
    std::filesystem::remove_all(root);
}

} // namespace

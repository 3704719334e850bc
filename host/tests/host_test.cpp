// Drives the framework through the shared library exactly as the host
// program does: init, run until a timer calls kd_shutdown, fini.
#include <kerrow/cuvent.h>
#include <kerrow/frame.h>
#include <kerrow/log.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
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

TEST(Host, ProgramStopsCleanlyOnSigterm)
{
    const char *bin = std::getenv("KD_BUILD_DIR");
    ASSERT_NE(bin, nullptr);
    std::string cmd = "KD_LOG_NO_JOURNAL=1 KD_ROOT=$(mktemp -d /tmp/kdh.XXXXXX) timeout --preserve-status -s TERM 1 " +
                      std::string(bin) + "/bin/kerrow-host; echo $?";
    FILE *p = popen(cmd.c_str(), "r");
    ASSERT_NE(p, nullptr);
    char buf[32] = {};
    ASSERT_NE(fgets(buf, sizeof buf, p), nullptr);
    pclose(p);
    // With --preserve-status this is the program's own status: 0 when it
    // took the signal through the loop and shut down, 143 had it died of it.
    EXPECT_STREQ(buf, "0\n");
}

} // namespace

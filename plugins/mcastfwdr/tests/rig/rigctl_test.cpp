// The rig's control plug-in in the real host program: "route value" lines
// on its socket set values through the framework's set path and answer
// what the node holds afterwards; bad lines are refused with a reason.
#include "rig_ask.h"
#include "rigproc.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

struct host_with_rigctl : ::testing::Test {
    std::string root;
    pid_t pid = -1;

    void SetUp() override
    {
        const char *build = std::getenv("KD_BUILD_DIR");
        ASSERT_NE(build, nullptr);
        root = rigproc::make_temp_dir("kdrig");
        const std::string bin = std::string(build) + "/bin/kerrow-host";
        std::vector<std::string> env = {"KD_ROOT=" + root, "KD_LOG_NO_JOURNAL=1", "KD_NO_RT=1",
                                        "SV_PLUGINS_PATH=" + std::string(build) + "/plugins",
                                        "KD_RIG_SOCKET=" + root + "/rig.sock",
                                        "KD_CMD_DIR=" + root + "/cmd"};
        if (const char *log = std::getenv("KD_CMD_LOG"))
            env.push_back(std::string("KD_CMD_LOG=") + log);
        pid = rigproc::spawn({bin, "probe", "rigctl"}, {}, &env);
    }

    void TearDown() override
    {
        if (pid > 0) {
            kill(pid, SIGTERM);
            int st = 0;
            waitpid(pid, &st, 0);
            EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0) << "host status " << st;
        }
        std::filesystem::remove_all(root);
    }

    std::string ask(const std::string &line) { return rig::ask(root + "/rig.sock", line); }
};

TEST_F(host_with_rigctl, LinesGoThroughTheSetPath)
{
    struct {
        const char *line, *reply;
    } const cases[] = {
        {"probe/level 42", "ok 42"},
        {"probe/mode Auto", "ok Auto"},
        {"probe/text two words\n", "ok two words"},
        {"probe/level 500", "fail refused"},
        {"probe/mode Sideways", "fail refused"},
        {"probe/nothing 1", "fail no such route"},
        {" 1", "fail no route"},
        {"probe/level 7", "ok 7"},
    };
    for (const auto &c : cases)
        EXPECT_EQ(ask(c.line), c.reply) << c.line;
}

} // namespace

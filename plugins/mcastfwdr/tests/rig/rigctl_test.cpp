// The rig's control plug-in in the real host program: "route value" lines
// on its socket set values through the framework's set path and answer
// what the node holds afterwards; bad lines are refused with a reason.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

sockaddr_un unix_addr(const std::string &path)
{
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    std::strncpy(a.sun_path, path.c_str(), sizeof a.sun_path - 1);
    return a;
}

struct host_with_rigctl : ::testing::Test {
    std::string root;
    pid_t pid = -1;
    int fd = -1;
    sockaddr_un server{};

    void SetUp() override
    {
        const char *build = std::getenv("KD_BUILD_DIR");
        ASSERT_NE(build, nullptr);
        char tmpl[] = "/tmp/kdrig.XXXXXX";
        ASSERT_TRUE(mkdtemp(tmpl));
        root = tmpl;
        const std::string bin = std::string(build) + "/bin/kerrow-host";
        std::vector<std::string> env = {"KD_ROOT=" + root, "KD_LOG_NO_JOURNAL=1", "KD_NO_RT=1",
                                        "SV_PLUGINS_PATH=" + std::string(build) + "/plugins",
                                        "KD_RIG_SOCKET=" + root + "/rig.sock",
                                        "KD_CMD_DIR=" + root + "/cmd"};
        if (const char *log = std::getenv("KD_CMD_LOG"))
            env.push_back(std::string("KD_CMD_LOG=") + log);
        std::vector<std::string> args = {bin, "probe", "rigctl"};
        std::vector<char *> envp, argv;
        for (auto &e : env)
            envp.push_back(e.data());
        envp.push_back(nullptr);
        for (auto &a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        ASSERT_EQ(posix_spawn(&pid, bin.c_str(), nullptr, nullptr, argv.data(), envp.data()), 0);

        fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        ASSERT_GE(fd, 0);
        const sockaddr_un me = unix_addr(root + "/client.sock");
        ASSERT_EQ(bind(fd, reinterpret_cast<const sockaddr *>(&me), sizeof me), 0);
        timeval tv{0, 200000};
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        server = unix_addr(root + "/rig.sock");
    }

    void TearDown() override
    {
        if (fd >= 0)
            close(fd);
        if (pid > 0) {
            kill(pid, SIGTERM);
            int st = 0;
            waitpid(pid, &st, 0);
            EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0) << "host status " << st;
        }
        std::filesystem::remove_all(root);
    }

    // Sends one line and answers the reply; until the plug-in's socket is
    // bound the line is sent again (generous deadline, no fixed sleep).
    std::string ask(const std::string &line)
    {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (std::chrono::steady_clock::now() < deadline) {
            if (sendto(fd, line.data(), line.size(), 0, reinterpret_cast<const sockaddr *>(&server),
                       sizeof server) < 0) {
                usleep(20000); // socket not bound yet
                continue;
            }
            char buf[512];
            const ssize_t n = recv(fd, buf, sizeof buf, 0);
            if (n >= 0)
                return std::string(buf, static_cast<size_t>(n));
        }
        return "no answer";
    }
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

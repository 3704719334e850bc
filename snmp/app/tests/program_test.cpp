// The snmpbridge program itself: answers at once without a CLI server,
// ends cleanly with its input, and keeps its log off symbolic links.
#include "bridge_rig.h"

#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

struct ran {
    int status = -1;
    std::string out;
};

ran run_bridge(const std::string &input)
{
    int to[2], from[2];
    if (::pipe2(to, O_CLOEXEC) != 0 || ::pipe2(from, O_CLOEXEC) != 0)
        return {};
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(to[0], 0);
        ::dup2(from[1], 1);
        ::execl(SNMPBRIDGE_PATH, SNMPBRIDGE_PATH, nullptr);
        ::_exit(127);
    }
    ::close(to[0]);
    ::close(from[1]);
    // The input is small: it fits the pipe whole.
    if (::write(to[1], input.data(), input.size()) != static_cast<ssize_t>(input.size()))
        ADD_FAILURE() << "short write";
    ::close(to[1]);
    ran r;
    char buf[4096];
    for (ssize_t n; (n = ::read(from[0], buf, sizeof(buf))) > 0;)
        r.out.append(buf, static_cast<size_t>(n));
    ::close(from[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return r;
}

std::string slurp(const std::string &path)
{
    std::ifstream in(path);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

TEST(Program, AnswersWithoutTheServerAndEndsWithItsInput)
{
    snmpbridge::test::root root;
    const std::string oid = ".1.3.6.1.4.1.57321.3.65.1.1";
    const ran r = run_bridge("PING\nget\n" + oid + "\nPING\nset\n" + oid + "\nstring \"x\"\n");
    EXPECT_EQ(r.out, "PONG\nNONE\nPONG\nresource-unavailable\n");
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(slurp(root.dir() + "/tmp/tarnwick_log").find("Just init "), std::string::npos);

    cliserver::rig server(root.tree(), root.record());
    server.start();
    EXPECT_EQ(run_bridge("PING\nget\n" + oid + "\n").out, "PONG\n" + oid + "\nstring\ncard-1\n");
}

TEST(Program, LogIsNeverWrittenThroughALink)
{
    snmpbridge::test::root root;
    const std::string victim = root.dir() + "/victim";
    std::ofstream(victim) << "keep me";
    const std::string log = root.dir() + "/tmp/tarnwick_log";
    ASSERT_EQ(::symlink(victim.c_str(), log.c_str()), 0);
    EXPECT_EQ(run_bridge("").status, 0);
    EXPECT_EQ(slurp(victim), "keep me");
    EXPECT_NE(slurp(log).find("Just init "), std::string::npos);

    // A second name of another file is not emptied either.
    ASSERT_EQ(::unlink(log.c_str()), 0);
    ASSERT_EQ(::link(victim.c_str(), log.c_str()), 0);
    EXPECT_EQ(run_bridge("").status, 0);
    EXPECT_EQ(slurp(victim), "keep me");
    EXPECT_NE(slurp(log).find("Just init "), std::string::npos);
}

} // namespace

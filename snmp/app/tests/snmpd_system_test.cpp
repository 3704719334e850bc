// The bridge under Debian's snmpd, driven by snmpwalk, snmpget and snmpset:
// an agent of its own on a free loopback port with its own configuration,
// persistent directories and log under the test's root.
#include "bridge_rig.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <fstream>
#include <sstream>
#include <thread>
#include <vector>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

const std::string P = ".1.3.6.1.4.1.57321.3.65";
const std::string kUptime = ".1.3.6.1.2.1.1.3.0";

struct run_result {
    int status = -1;
    std::string out; // standard output and error
};

// Runs a program with extra environment variables; its own timeouts bound it.
run_result run(const std::vector<std::string> &args, const std::vector<std::string> &env)
{
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0)
        return {};
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(fds[1], 1);
        ::dup2(fds[1], 2);
        for (const auto &e : env)
            ::putenv(const_cast<char *>(e.c_str()));
        std::vector<char *> argv;
        for (const auto &a : args)
            argv.push_back(const_cast<char *>(a.c_str()));
        argv.push_back(nullptr);
        ::execvp(argv[0], argv.data());
        ::_exit(127);
    }
    ::close(fds[1]);
    run_result r;
    char buf[4096];
    for (ssize_t n; (n = ::read(fds[0], buf, sizeof(buf))) > 0;)
        r.out.append(buf, static_cast<size_t>(n));
    ::close(fds[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return r;
}

bool have(const char *program)
{
    return run({"sh", "-c", std::string("command -v ") + program}, {}).status == 0;
}

int free_udp_port()
{
    const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof(a);
    int port = -1;
    if (::bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof(a)) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len) == 0)
        port = ntohs(a.sin_port);
    ::close(fd);
    return port;
}

class Snmpd : public testing::Test {
protected:
    void SetUp() override
    {
        if (!have("snmpd") || !have("snmpget"))
            GTEST_SKIP() << "snmpd or the snmp clients are not installed (scripts/install-deps adds them)";
        std::filesystem::create_directories(root_.dir() + "/snmpd");
        std::filesystem::create_directories(root_.dir() + "/client");
        for (int attempt = 0; attempt < 3 && pid_ < 0; ++attempt)
            start_agent();
        if (pid_ < 0)
            GTEST_SKIP() << "snmpd did not start on loopback; its log:\n" << log();
    }
    void TearDown() override
    {
        if (pid_ > 0) {
            ::kill(pid_, SIGTERM);
            ::waitpid(pid_, nullptr, 0);
        }
    }

    void start_agent()
    {
        port_ = free_udp_port();
        const std::string conf = root_.dir() + "/snmpd.conf";
        std::ofstream(conf) << "agentAddress udp:127.0.0.1:" << port_ << "\n"
                            << "rocommunity public 127.0.0.1\nrwcommunity private 127.0.0.1\n"
                            << "pass_persist " << P << " " << SNMPBRIDGE_PATH << "\n";
        const std::vector<std::string> args{"snmpd", "-f", "-C", "-c", conf, "-Lf", root_.dir() + "/snmpd.log",
                                            "-I", "-smux"};
        // KD_ROOT (set by the test root) and MIBDIRS reach the bridge through
        // snmpd's environment.
        const std::vector<std::string> env{"MIBS=", "MIBDIRS=" + root_.dir() + "/usr/local/share/mibs",
                                           "SNMP_PERSISTENT_DIR=" + root_.dir() + "/snmpd"};
        const pid_t parent = ::getpid();
        pid_ = ::fork();
        if (pid_ == 0) {
            rigproc::die_with_parent(parent);
            const int null = ::open("/dev/null", O_RDWR);
            ::dup2(null, 0);
            ::dup2(null, 1);
            ::dup2(null, 2);
            for (const auto &e : env)
                ::putenv(const_cast<char *>(e.c_str()));
            std::vector<char *> argv;
            for (const auto &a : args)
                argv.push_back(const_cast<char *>(a.c_str()));
            argv.push_back(nullptr);
            ::execvp(argv[0], argv.data());
            ::_exit(127);
        }
        // Ready once it answers; gone when it exits (a port taken meanwhile).
        for (int i = 0; i < 100; ++i) {
            if (::waitpid(pid_, nullptr, WNOHANG) == pid_)
                break;
            if (client("snmpget", {kUptime}, 1).status == 0)
                return;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        if (::waitpid(pid_, nullptr, WNOHANG) == 0) {
            ::kill(pid_, SIGTERM);
            ::waitpid(pid_, nullptr, 0);
        }
        pid_ = -1;
    }

    run_result client(const std::string &program, const std::vector<std::string> &rest, int timeout = 5,
                      const char *community = "public")
    {
        std::vector<std::string> args{program, "-v2c", "-c", community, "-On", "-t", std::to_string(timeout),
                                      "-r", "0", "127.0.0.1:" + std::to_string(port_)};
        args.insert(args.end(), rest.begin(), rest.end());
        return run(args, {"MIBS=", "SNMP_PERSISTENT_DIR=" + root_.dir() + "/client"});
    }
    std::string get(const std::string &oid) { return client("snmpget", {oid}).out; }
    std::string set(const std::string &oid, const char *type, const std::string &value)
    {
        return client("snmpset", {oid, type, value}, 5, "private").out;
    }
    std::string log() const
    {
        std::ifstream in(root_.dir() + "/snmpd.log");
        return std::string(std::istreambuf_iterator<char>(in), {});
    }

    snmpbridge::test::root root_;
    cliserver::rig server_{root_.tree(), root_.record()};
    pid_t pid_ = -1;
    int port_ = 0;
};

TEST_F(Snmpd, WalkGetAndSetThroughTheBridge)
{
    server_.start();
    const std::string walk = client("snmpwalk", {P}).out;
    const std::string want = P + ".1.1 = STRING: \"card-1\"\n" +
                             P + ".1.2 = INTEGER: 1\n" +
                             P + ".1.3 = INTEGER: 16\n" +
                             P + ".1.4 = INTEGER: 3600\n" +
                             P + ".1.5 = STRING: \"Write-Only Value\"\n" +
                             P + ".1.6 = INTEGER: 5\n" +
                             P + ".1.8 = INTEGER: 0\n" +
                             P + ".1.9 = STRING: \"a, \\\"quoted\\\" note \\\\ here\"\n" +
                             P + ".1.10 = STRING: \"Rack 4\"\n" +
                             P + ".2.1.2.3 = STRING: \"card-3\"\n" +
                             P + ".2.1.2.5 = STRING: \"card-5\"\n" +
                             P + ".2.1.2.8 = STRING: \"card-1\"\n" +
                             P + ".2.1.2.10 = STRING: \"card-10\"\n" +
                             P + ".2.1.3.3 = INTEGER: 5\n" +
                             P + ".2.1.3.5 = INTEGER: 2\n" +
                             P + ".2.1.3.8 = INTEGER: 1\n" +
                             P + ".3.1.3.3.4 = STRING: \"feed\"\n" +
                             P + ".3.1.3.8.1 = STRING: \"studio\"\n" +
                             P + ".3.1.3.8.2 = STRING: \"backup\"\n" +
                             P + ".3.1.4.3.4 = INTEGER: 400\n" +
                             P + ".3.1.4.8.1 = INTEGER: 1000\n" +
                             P + ".3.1.4.8.2 = INTEGER: 2000\n";
    EXPECT_EQ(walk, want);

    EXPECT_EQ(get(P + ".1.9"), P + ".1.9 = STRING: \"a, \\\"quoted\\\" note \\\\ here\"\n");
    EXPECT_EQ(get(P + ".2.1.3.3"), P + ".2.1.3.3 = INTEGER: 5\n");
    for (const std::string s : {".1.1.0", ".1.7", ".2.1.2.4", ".9"})
        EXPECT_EQ(get(P + s), P + s + " = No Such Instance currently exists at this OID\n");

    EXPECT_EQ(set(P + ".1.1", "s", "renamed"), P + ".1.1 = STRING: \"renamed\"\n");
    EXPECT_EQ(get(P + ".1.1"), P + ".1.1 = STRING: \"renamed\"\n");
    EXPECT_EQ(set(P + ".1.2", "i", "5"), P + ".1.2 = INTEGER: 5\n");
    EXPECT_NE(set(P + ".1.4", "i", "7").find("Reason: notWritable"), std::string::npos);
    EXPECT_NE(set(P + ".1.6", "s", "7").find("Reason: wrongType"), std::string::npos);
    EXPECT_NE(set(P + ".1.2", "i", "3").find("Reason: wrongValue"), std::string::npos);
    EXPECT_EQ(get(P + ".1.2"), P + ".1.2 = INTEGER: 5\n");
    for (const std::string &r : server_.requests())
        EXPECT_NE(r, "system/mode ") << "an unknown choice number reached the server";

    server_.start({"--store", "system/level=99"});
    EXPECT_NE(set(P + ".1.6", "i", "7").find("Reason: wrongValue"), std::string::npos);

    // The bridge logged its start under the test's root, not in /tmp.
    std::ifstream bridge_log(root_.dir() + "/tmp/tarnwick_log");
    std::string first;
    std::getline(bridge_log, first, '\0');
    EXPECT_NE(first.find("Just init "), std::string::npos);
}

TEST_F(Snmpd, TheAgentAnswersWhileTheCliServerIsAway)
{
    // Absent from the start: the agent's own objects answer, the bridge's
    // say there is nothing, both well within the client's time-out.
    auto quick = [&](const std::string &oid) {
        const auto t0 = std::chrono::steady_clock::now();
        const run_result r = client("snmpget", {oid}, 3);
        EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(3)) << oid;
        return r.out;
    };
    EXPECT_NE(quick(kUptime).find("Timeticks"), std::string::npos);
    EXPECT_EQ(quick(P + ".1.1"), P + ".1.1 = No Such Instance currently exists at this OID\n");
    EXPECT_EQ(set(P + ".1.1", "s", "x").find(P + ".1.1 = STRING"), std::string::npos);

    server_.start();
    EXPECT_EQ(quick(P + ".1.1"), P + ".1.1 = STRING: \"card-1\"\n");
    server_.stop();
    EXPECT_NE(quick(kUptime).find("Timeticks"), std::string::npos);
    EXPECT_EQ(quick(P + ".1.1"), P + ".1.1 = No Such Instance currently exists at this OID\n");
    EXPECT_EQ(client("snmpwalk", {P + ".2"}, 3).status, 0);
    // A server that takes requests and never answers holds nothing up either.
    server_.start({"--hang-on", "system/name"});
    EXPECT_EQ(quick(P + ".1.1"), P + ".1.1 = No Such Instance currently exists at this OID\n");
    EXPECT_NE(quick(kUptime).find("Timeticks"), std::string::npos);
    server_.start();
    EXPECT_EQ(quick(P + ".1.1"), P + ".1.1 = STRING: \"card-1\"\n");
}

} // namespace

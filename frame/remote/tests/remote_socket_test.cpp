// Remote sockets over real descriptors. As root the whole suite runs inside a
// network namespace of its own ("kdremote-<pid>", loopback only, multicast
// routed on lo); otherwise on this machine's loopback, with the multicast
// cases skipped. Peers only ever use 127.0.0.1 or a group inside the namespace.
#include "test_support.h"
#include "frame_internal.h"

#include <kerrow/remote.h>

#include <arpa/inet.h>
#include <ev.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace {

// ---- a network namespace for the suite ----

std::string g_ns;        // its name while it exists
int g_home_ns = -1;      // this process's own namespace, to go back to
std::string g_ns_why;    // why there is none

bool sh(const std::string &cmd) { return std::system((cmd + " >/dev/null 2>&1").c_str()) == 0; }

bool multicast_route(bool on)
{
    return sh("ip -n " + g_ns + " route " + (on ? "add" : "del") + " 224.0.0.0/4 dev lo");
}

void netns_enter()
{
    if (geteuid() != 0) {
        g_ns_why = "needs root to make a network namespace";
        return;
    }
    const std::string name = "kdremote-" + std::to_string(getpid());
    if (!sh("ip netns add " + name)) {
        g_ns_why = "ip netns add failed";
        return;
    }
    g_ns = name;
    int target = open(("/run/netns/" + name).c_str(), O_RDONLY | O_CLOEXEC);
    g_home_ns = open("/proc/self/ns/net", O_RDONLY | O_CLOEXEC);
    if (target < 0 || g_home_ns < 0 || !sh("ip -n " + name + " link set lo up multicast on") ||
        !multicast_route(true) || setns(target, CLONE_NEWNET) != 0) {
        g_ns_why = "could not enter the network namespace";
        if (target >= 0)
            close(target);
        sh("ip netns del " + name);
        g_ns.clear();
        return;
    }
    close(target);
}

void netns_leave()
{
    if (g_ns.empty())
        return;
    setns(g_home_ns, CLONE_NEWNET);
    close(g_home_ns);
    g_home_ns = -1;
    sh("ip netns del " + g_ns);
    g_ns.clear();
}

// ---- what the callbacks saw ----

struct Seen {
    std::vector<std::string> events; // "connect:<ctx>", "data:<ctx>:<bytes>", "eof:<ctx>"
    std::map<int, int> connect_error; // fd -> SO_ERROR at on_connect
    std::vector<int> accepted;
    bool close_in_connect = false;
};
Seen g_seen;

std::string ctx_name(void *ctx) { return ctx ? static_cast<const char *>(ctx) : "null"; }

int record_connect(int fd, void *ctx)
{
    int err = 0;
    socklen_t len = sizeof err;
    getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len);
    g_seen.connect_error[fd] = err;
    g_seen.events.push_back("connect:" + ctx_name(ctx));
    if (!ctx)
        g_seen.accepted.push_back(fd);
    if (g_seen.close_in_connect)
        kd_remote_close(fd);
    return 0;
}

// Reads what is there; answers "ping" with "pong"; closes on end of file.
int record_data(int fd, void *ctx)
{
    char buf[2048];
    ssize_t n = read(fd, buf, sizeof buf);
    if (n == 0) {
        g_seen.events.push_back("eof:" + ctx_name(ctx));
        kd_remote_close(fd);
        return 0;
    }
    if (n < 0)
        return 0;
    std::string got(buf, static_cast<size_t>(n));
    g_seen.events.push_back("data:" + ctx_name(ctx) + ":" + got);
    if (got == "ping")
        (void)!write(fd, "pong", 4);
    return 0;
}

kd_remote_ops g_ops{-1, record_connect, record_data};

bool seen(const std::string &event)
{
    for (const auto &e : g_seen.events)
        if (e == event)
            return true;
    return false;
}

int open_fds()
{
    int n = 0;
    for ([[maybe_unused]] const auto &e : std::filesystem::directory_iterator("/proc/self/fd"))
        ++n;
    return n;
}

bool is_open(int fd) { return fcntl(fd, F_GETFD) != -1; }

int local_port(int fd)
{
    sockaddr_in sin{};
    socklen_t len = sizeof sin;
    getsockname(fd, reinterpret_cast<sockaddr *>(&sin), &len);
    return ntohs(sin.sin_port);
}

// A port nothing listens on right now.
int free_port(int type)
{
    int s = socket(AF_INET, type, 0);
    sockaddr_in sin{};
    sin.sin_family = AF_INET;
    sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(s, reinterpret_cast<sockaddr *>(&sin), sizeof sin);
    int port = local_port(s);
    close(s);
    return port;
}

void send_udp(const char *host, int port, const std::string &bytes)
{
    int s = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<uint16_t>(port));
    inet_pton(AF_INET, host, &to.sin_addr);
    ASSERT_EQ(sendto(s, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr *>(&to), sizeof to),
              static_cast<ssize_t>(bytes.size()));
    close(s);
}

int rcvbuf(int fd)
{
    int v = 0;
    socklen_t len = sizeof v;
    getsockopt(fd, SOL_SOCKET, SO_RCVBUF, &v, &len);
    return v;
}

class RemoteTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { netns_enter(); }
    static void TearDownTestSuite() { netns_leave(); }

    void SetUp() override
    {
        g_seen = Seen{};
        g_ops.rtype = -1;
        kd::loop_init();
        remote_init(kd_frame_get_loop());
    }
    void TearDown() override
    {
        remote_fini();
        kd::loop_fini();
    }

    // Runs the loop until `done` holds or `limit` seconds have passed.
    static bool run_until(const std::function<bool()> &done, double limit = 60.0)
    {
        struct ev_loop *loop = kd_frame_get_loop();
        ev_timer tick;
        ev_timer_init(&tick, [](struct ev_loop *, ev_timer *, int) {}, 0.01, 0.01);
        ev_timer_start(loop, &tick);
        ev_now_update(loop);
        const double end = ev_now(loop) + limit;
        while (!done() && ev_now(loop) < end)
            ev_run(loop, EVRUN_ONCE);
        ev_timer_stop(loop, &tick);
        return done();
    }

    kdtest::TempRoot root_;
    kdtest::LogCapture log_;
};

TEST_F(RemoteTest, TcpServerAcceptsExchangesAndSeesTheClientClose)
{
    const int baseline = open_fds();
    int srv = kd_remote_register_server("0", &g_ops);
    ASSERT_GE(srv, 0);
    const std::string port = std::to_string(local_port(srv));
    static char tag[] = "client";
    int cli = kd_remote_register_client("127.0.0.1", port.c_str(), &g_ops, tag);
    ASSERT_GE(cli, 0);
    EXPECT_EQ(g_ops.rtype, RTYPE_SOCKET);
    EXPECT_EQ(kd_remote_get_context(cli), tag);

    ASSERT_TRUE(run_until([] { return seen("connect:null") && seen("connect:client"); }));
    EXPECT_EQ(g_seen.connect_error[cli], 0);
    ASSERT_EQ(write(cli, "ping", 4), 4);
    ASSERT_TRUE(run_until([] { return seen("data:client:pong"); }));
    EXPECT_TRUE(seen("data:null:ping")) << "accepted clients carry no context";
    EXPECT_EQ(log_.count("Accepting new client from " + std::to_string(srv) + " rev EV_READ \n"), 1);
    EXPECT_EQ(log_.count("Adding client"), 1);

    EXPECT_EQ(kd_remote_close(cli), 0);
    EXPECT_EQ(kd_remote_get_context(cli), nullptr);
    ASSERT_TRUE(run_until([] { return seen("eof:null"); }));
    kd_remote_close(srv);
    EXPECT_EQ(open_fds(), baseline);
}

TEST_F(RemoteTest, RefusedConnectIsReportedThroughOnConnect)
{
    // Whether the owner closes inside on_connect or afterwards, the connect
    // entry goes and the descriptor ends closed.
    for (bool close_in_connect : {false, true}) {
        g_seen = Seen{};
        g_seen.close_in_connect = close_in_connect;
        log_.clear();
        const int baseline = open_fds();
        const std::string port = std::to_string(free_port(SOCK_STREAM));
        static char tag[] = "refused";
        int cli = kd_remote_register_client("127.0.0.1", port.c_str(), &g_ops, tag);
        ASSERT_GE(cli, 0) << "a non-blocking connect to loopback is still in progress";
        ASSERT_TRUE(run_until([] { return seen("connect:refused"); }));
        EXPECT_EQ(g_seen.connect_error[cli], ECONNREFUSED);
        EXPECT_EQ(log_.count("Already removed ev_io watcher"), close_in_connect ? 1 : 0);
        if (!close_in_connect)
            kd_remote_close(cli);
        EXPECT_FALSE(is_open(cli));
        EXPECT_EQ(open_fds(), baseline);
    }
}

TEST_F(RemoteTest, UnixServerReplacesAStaleSocketButNoOtherFile)
{
    const std::string path = root_ / "cli.sock";
    {
        // What a crashed server leaves behind.
        int old = socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un sun{};
        sun.sun_family = AF_UNIX;
        std::strcpy(sun.sun_path, path.c_str());
        ASSERT_EQ(bind(old, reinterpret_cast<sockaddr *>(&sun), sizeof sun), 0);
        close(old);
    }
    int srv = kd_remote_register_server_un(path.c_str(), &g_ops);
    ASSERT_GE(srv, 0);
    int c = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un sun{};
    sun.sun_family = AF_UNIX;
    std::strcpy(sun.sun_path, path.c_str());
    ASSERT_EQ(connect(c, reinterpret_cast<sockaddr *>(&sun), sizeof sun), 0);
    ASSERT_EQ(write(c, "hello", 5), 5);
    ASSERT_TRUE(run_until([] { return seen("connect:null") && seen("data:null:hello"); }));
    close(c);
    kd_remote_close(srv);

    const int baseline = open_fds();
    const std::string file = root_ / "store.json";
    std::ofstream(file) << "keep";
    EXPECT_EQ(kd_remote_register_server_un(file.c_str(), &g_ops), -1);
    EXPECT_EQ(log_.count("Bind error Address already in use"), 1);
    std::string text;
    std::ifstream(file) >> text;
    EXPECT_EQ(text, "keep");
    const std::string too_long = root_ / std::string(120, 'x');
    EXPECT_EQ(kd_remote_register_server_un(too_long.c_str(), &g_ops), -1);
    EXPECT_EQ(open_fds(), baseline);
}

TEST_F(RemoteTest, DeviceIsWatchedWithItsContext)
{
    const std::string path = root_ / "dev";
    ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
    static char tag[] = "dev";
    int d = kd_remote_register_client_device(path.c_str(), &g_ops, tag);
    ASSERT_GE(d, 0);
    EXPECT_EQ(g_ops.rtype, RTYPE_DEVICE);
    int w = open(path.c_str(), O_WRONLY | O_NONBLOCK);
    ASSERT_EQ(write(w, "abc", 3), 3);
    ASSERT_TRUE(run_until([] { return seen("data:dev:abc"); }));
    close(w);
    kd_remote_close(d);

    EXPECT_EQ(kd_remote_register_client_device((root_ / "missing").c_str(), &g_ops, nullptr), -1);
    EXPECT_EQ(log_.count("kd_remote_register_client_device: No such file or directory"), 1);
}

TEST_F(RemoteTest, FiftyWatchersAtMostAndARefusedRegistrationLeavesNothingOpen)
{
    const std::string path = root_ / "dev";
    ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
    const int baseline = open_fds();
    int srv = kd_remote_register_server("0", &g_ops);
    ASSERT_GE(srv, 0);
    std::vector<int> devs;
    for (int i = 0; i < 49; ++i) {
        devs.push_back(kd_remote_register_client_device(path.c_str(), &g_ops, nullptr));
        ASSERT_GE(devs.back(), 0) << i;
    }
    EXPECT_EQ(kd_remote_register_client_device(path.c_str(), &g_ops, nullptr), -1);
    EXPECT_EQ(log_.count("Could not add ev_io watcher with fd"), 1);
    EXPECT_EQ(open_fds(), baseline + 50);

    // No room for an accepted client: it is closed, not left unwatched.
    int c = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in sin{};
    sin.sin_family = AF_INET;
    sin.sin_port = htons(static_cast<uint16_t>(local_port(srv)));
    sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(connect(c, reinterpret_cast<sockaddr *>(&sin), sizeof sin), 0);
    ASSERT_TRUE(run_until([this] { return log_.count("Could not add ev_io watcher") == 2; }));
    char b;
    EXPECT_EQ(recv(c, &b, 1, 0), 0) << "the peer sees the connection closed";
    EXPECT_FALSE(seen("connect:null"));
    close(c);
    EXPECT_EQ(open_fds(), baseline + 50);

    // A TCP client needs two entries; with one free it is refused whole,
    // and the entry it tried is free again afterwards.
    kd_remote_close(devs.back());
    devs.pop_back();
    const std::string port = std::to_string(local_port(srv));
    EXPECT_EQ(kd_remote_register_client("127.0.0.1", port.c_str(), &g_ops, nullptr), -1);
    EXPECT_EQ(open_fds(), baseline + 49);
    devs.push_back(kd_remote_register_client_device(path.c_str(), &g_ops, nullptr));
    EXPECT_GE(devs.back(), 0);

    for (int d : devs)
        kd_remote_close(d);
    kd_remote_close(srv);
    EXPECT_EQ(open_fds(), baseline);
}

TEST_F(RemoteTest, DatagramReceiversBindAndSetTheReceiveBuffer)
{
    const int baseline = open_fds();
    static char tag[] = "udp";
    // A receiver on a specific unicast address (a NET input on 127.0.0.1).
    const int p1 = free_port(SOCK_DGRAM);
    remote_addr ra{};
    ASSERT_EQ(kd_remote_addr_init(&ra, "127.0.0.1", std::to_string(p1).c_str()), 0);
    int rx1 = kd_remote_register_server_dgram_ra(&ra, &g_ops, tag, 300000);
    kd_remote_addr_fini(&ra);
    ASSERT_GE(rx1, 0);
    EXPECT_GE(rcvbuf(rx1), 300000);
    EXPECT_EQ(g_ops.rtype, RTYPE_SOCKET);
    EXPECT_EQ(kd_remote_get_context(rx1), tag);

    // A datagram client without a node receives on its port.
    const int p2 = free_port(SOCK_DGRAM);
    int rx2 = kd_remote_register_client_dgram(nullptr, std::to_string(p2).c_str(), &g_ops, tag,
                                              2048);
    ASSERT_GE(rx2, 0);
    EXPECT_GE(rcvbuf(rx2), 2048);
    EXPECT_EQ(local_port(rx2), p2);

    // A datagram client with a node sends there.
    int tx = kd_remote_register_client_dgram("127.0.0.1", std::to_string(p1).c_str(), nullptr,
                                             nullptr, 65536);
    ASSERT_GE(tx, 0);
    int sndbuf = 0;
    socklen_t len = sizeof sndbuf;
    getsockopt(tx, SOL_SOCKET, SO_SNDBUF, &sndbuf, &len);
    EXPECT_GE(sndbuf, 65536);
    ASSERT_EQ(send(tx, "one", 3, 0), 3);
    send_udp("127.0.0.1", p2, "two");
    ASSERT_TRUE(run_until([] { return seen("data:udp:one") && seen("data:udp:two"); }));

    for (int fd : {rx1, rx2, tx})
        kd_remote_close(fd);
    EXPECT_EQ(open_fds(), baseline);
}

TEST_F(RemoteTest, ReceiveBufferIsForcedPastTheSystemLimitWhenPermitted)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "forcing a buffer past net.core.rmem_max needs root";
    constexpr int kBig = 12'000'000; // above the usual rmem_max
    int rx = kd_remote_register_client_dgram(nullptr, std::to_string(free_port(SOCK_DGRAM)).c_str(),
                                             nullptr, nullptr, kBig);
    ASSERT_GE(rx, 0);
    EXPECT_GE(rcvbuf(rx), kBig);
    EXPECT_EQ(log_.count("expected"), 0);
    kd_remote_close(rx);
}

TEST_F(RemoteTest, RefusedDatagramRegistrationsLeaveNothingOpen)
{
    struct Case {
        const char *what, *host;
        bool rx;
        const char *log;
    } cases[] = {
        {"send to any local", "0.0.0.0", false, "Refuse to tx to any local"},
        {"receive on the unset address", "255.255.255.255", true, "Refuse to rx from a remote/domain"},
        {"receive on an address that is not ours", "10.255.255.1", true, "Connect error"},
        {"no address", nullptr, true, "No address"},
    };
    const int baseline = open_fds();
    for (const auto &c : cases) {
        log_.clear();
        remote_addr ra{};
        if (c.host) {
            ASSERT_EQ(kd_remote_addr_init(&ra, c.host, "5000"), 0) << c.what;
        }
        int fd = c.rx ? kd_remote_register_server_dgram_ra(&ra, &g_ops, nullptr, 2048)
                      : kd_remote_register_client_dgram_ra(&ra, &g_ops, nullptr, 2048);
        kd_remote_addr_fini(&ra);
        EXPECT_EQ(fd, -1) << c.what;
        EXPECT_GE(log_.count(c.log), 1) << c.what;
        EXPECT_EQ(open_fds(), baseline) << c.what;
    }
    EXPECT_EQ(kd_remote_register_client_dgram("0.0.0.0", "5000", nullptr, nullptr, 2048), -1);
}

TEST_F(RemoteTest, RegistrationsNeedTheServiceStarted)
{
    remote_fini();
    EXPECT_EQ(kd_remote_register_server("0", &g_ops), -1);
    EXPECT_EQ(kd_remote_register_server_un((root_ / "s").c_str(), &g_ops), -1);
    EXPECT_GE(log_.count("Even loop not initialized"), 2);
    remote_init(kd_frame_get_loop());
}

class RemoteMcastTest : public RemoteTest {
protected:
    void SetUp() override
    {
        if (g_ns.empty())
            GTEST_SKIP() << "multicast tests run in a network namespace: " << g_ns_why;
        RemoteTest::SetUp();
    }
};

TEST_F(RemoteMcastTest, JoinedSocketsReceiveTheGroup)
{
    const int baseline = open_fds();
    static char tag[] = "mc";
    const int port = free_port(SOCK_DGRAM);
    const std::string ps = std::to_string(port);
    int a = kd_remote_join_mcast("239.1.2.3", ps.c_str(), &g_ops, tag, 300000);
    ASSERT_GE(a, 0);
    EXPECT_GE(rcvbuf(a), 300000);
    EXPECT_EQ(kd_remote_get_context(a), tag);

    // The same group through an address record, on another port.
    const int port2 = free_port(SOCK_DGRAM);
    remote_addr ra{};
    ASSERT_EQ(kd_remote_addr_init(&ra, "239.1.2.4", std::to_string(port2).c_str()), 0);
    static char tag2[] = "mc2";
    int b = kd_remote_register_server_dgram_ra(&ra, &g_ops, tag2, 300000);
    kd_remote_addr_fini(&ra);
    ASSERT_GE(b, 0);
    EXPECT_GE(rcvbuf(b), 300000);

    send_udp("239.1.2.3", port, "hello");
    send_udp("239.1.2.4", port2, "world");
    ASSERT_TRUE(run_until([] { return seen("data:mc:hello") && seen("data:mc2:world"); }));

    // Without callbacks: a socket, no watcher and no context.
    int c = kd_remote_join_mcast("239.1.2.5", ps.c_str(), nullptr, tag, 2048);
    ASSERT_GE(c, 0);
    EXPECT_EQ(kd_remote_get_context(c), nullptr);

    for (int fd : {a, b, c})
        kd_remote_close(fd);
    EXPECT_EQ(open_fds(), baseline);
}

TEST_F(RemoteMcastTest, RefusedMembershipFailsTheRegistrationButNotAnOpenSocket)
{
    const int baseline = open_fds();
    ASSERT_TRUE(multicast_route(false));
    const std::string port = std::to_string(free_port(SOCK_DGRAM));
    EXPECT_EQ(kd_remote_join_mcast("239.1.2.3", port.c_str(), &g_ops, nullptr, 2048), -1);
    remote_addr ra{};
    ASSERT_EQ(kd_remote_addr_init(&ra, "239.1.2.3", port.c_str()), 0);
    EXPECT_EQ(kd_remote_register_server_dgram_ra(&ra, &g_ops, nullptr, 2048), -1);
    kd_remote_addr_fini(&ra);
    EXPECT_EQ(log_.count("Failed to join group 239.1.2.3"), 2);
    EXPECT_EQ(open_fds(), baseline);
    ASSERT_TRUE(multicast_route(true));

    // A port held by another socket: the bind fails and so does the registration.
    int holder = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in any{};
    any.sin_family = AF_INET;
    ASSERT_EQ(bind(holder, reinterpret_cast<sockaddr *>(&any), sizeof any), 0);
    const std::string held = std::to_string(local_port(holder));
    ASSERT_EQ(kd_remote_addr_init(&ra, "239.1.2.3", held.c_str()), 0);
    EXPECT_EQ(kd_remote_register_server_dgram_ra(&ra, &g_ops, nullptr, 2048), -1);
    kd_remote_addr_fini(&ra);
    EXPECT_EQ(kd_remote_join_mcast("239.1.2.3", held.c_str(), &g_ops, nullptr, 2048), -1);
    EXPECT_EQ(log_.count("Could not bind " + held), 1);
    close(holder);
    EXPECT_EQ(open_fds(), baseline);

    // On a socket the caller holds, a refusal is reported and the socket stays.
    int rx = kd_remote_register_client_dgram(nullptr, port.c_str(), nullptr, nullptr, 2048);
    ASSERT_GE(rx, 0);
    EXPECT_EQ(kd_remote_dgram_join_mcast(rx, "127.0.0.1"), -1);
    EXPECT_EQ(kd_remote_dgram_join_mcast(rx, "239.1"), -1);
    EXPECT_EQ(log_.count("Group 239.1 is not valid"), 1);
    EXPECT_TRUE(is_open(rx));
    EXPECT_EQ(kd_remote_dgram_join_mcast(rx, "239.9.9.9"), 0);
    EXPECT_EQ(kd_remote_dgram_leave_mcast(rx, "239.9.9.9"), 0);
    EXPECT_EQ(kd_remote_dgram_leave_mcast(rx, "239.9.9.9"), -1) << "no longer a member";
    kd_remote_close(rx);
}

} // namespace

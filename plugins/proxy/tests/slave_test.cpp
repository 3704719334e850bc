// The slave side of the proxy in one process: the engine listens on a
// loopback port, the master is played by the test with the wire codec, the
// probe's tree is what the slave has to offer.
#include "probe.h"
#include "proxy_internal.h"
#include "cmd_standins.h"
#include "proxy_test_support.h"
#include "test_support.h"

#include <kerrow/cuvent.h>
#include <kerrow/frame.h>
#include <kerrow/plugin.h>
#include <kerrow/store.h>
#include <kerrow/system.h>

#include <sys/stat.h>

#include <gtest/gtest.h>

#include <ctime>
#include <map>

using namespace proxytest;
using proxy::proxy_param;

namespace {

// Off the card there is no own node: the slave is "Carrier 0".
const std::string kPrefix = "proxy/carrier_0/";

class ProxySlave : public ::testing::Test {
protected:
    void SetUp() override
    {
        setenv("HW_SLOT", "5", 1);
        kd_frame_init();
        probe_pli_ = __test_insert_active_plugin("probe", "/nowhere/libsv-probe.so");
        unsetenv("PROBE_ROWS");
        probe::build(probe_pli_); // three rows
        pli_ = __test_insert_active_plugin("proxy", "/nowhere/libsv-proxy.so");
        proxy::st().opt.port = "0"; // any free port
        proxy::st().opt.master_addr = "127.0.0.1";
        proxy::init(pli_);
        ASSERT_FALSE(proxy::st().master);
        ASSERT_GE(proxy::st().server_socket, 0);
        port_ = local_port(proxy::st().server_socket);
    }
    void TearDown() override
    {
        proxy::fini();
        proxy::st().opt = {};
        kd_frame_fini();
        unsetenv("HW_SLOT");
    }

    // A master link: the records of the tree up to the finish message, by route.
    peer connect_master(std::map<std::string, proxy_param> *tree = nullptr, std::vector<std::string> *order = nullptr,
                        const std::string &from = "127.0.0.1")
    {
        peer m = peer::connect_to("127.0.0.1", port_, from);
        EXPECT_TRUE(m.ok());
        for (;;) {
            auto msg = m.next_any();
            if (!msg)
                break;
            if (msg->hdr.type == proxy::PROXY_MSG_CTRL_PARAM_FINISH) {
                EXPECT_EQ(proxy::read_u32(msg->payload, 0), 0u);
                break;
            }
            EXPECT_EQ(msg->hdr.type, proxy::PROXY_MSG_PARAM);
            auto rec = proxy::proxy_param_ctor_msg_param(msg->payload);
            EXPECT_TRUE(rec);
            if (rec && tree)
                (*tree)[rec->scope] = *rec;
            if (rec && order)
                order->push_back(rec->scope);
        }
        return m;
    }
    // Waits for the next record the slave sends.
    static std::optional<proxy_param> next_record(peer &m)
    {
        auto msg = m.next(proxy::PROXY_MSG_PARAM);
        if (!msg)
            return std::nullopt;
        return proxy::proxy_param_ctor_msg_param(msg->payload);
    }

    // The next u32 message of `type` from the slave.
    static uint32_t next_u32(peer &m, uint32_t type) { return u32_of(m.next(type)); }
    static proxy::proxy_msg time_sync(time_t t)
    {
        std::vector<uint8_t> p(8);
        for (int i = 0; i < 4; ++i)
            p[size_t(i)] = uint8_t(uint32_t(t) >> (8 * i));
        return proxy::proxy_msg_init_control(proxy::PROXY_MSG_TIME_SYNC, p);
    }
    static proxy::proxy_msg bare(proxy::pm_type type) { return proxy::proxy_msg_init_control(type, {}); }

    kdtest::TempRoot root_;
    standins cmds_{root_ / "cmd"};
    kdtest::LogCapture log_;
    plugin_load_info *pli_ = nullptr, *probe_pli_ = nullptr;
    uint16_t port_ = 0;
};

TEST_F(ProxySlave, SendsItsTreeButNotItsOwnAtConnection)
{
    std::map<std::string, proxy_param> tree;
    std::vector<std::string> order;
    peer m = connect_master(&tree, &order);
    ASSERT_TRUE(tree.count("probe/level"));
    const proxy_param &n = tree["probe/level"];
    EXPECT_EQ(n.type, uint32_t(PARAMTYPE_NUMBER));
    EXPECT_EQ(n.readwrite, uint32_t(PARAMCTRL_RDWR));
    EXPECT_EQ(n.label, "Level");
    EXPECT_EQ(n.value, "0");
    EXPECT_EQ(std::tuple(n.min, n.max, n.step), std::tuple(0, 100, 1));
    EXPECT_EQ(tree["probe/mode"].options, "Off,On,Auto");
    EXPECT_EQ(tree["probe/mode"].value, "Off");
    EXPECT_EQ(tree["probe/flags"].options, "red,green,blue");
    EXPECT_EQ(tree["probe/secret"].value, ""); // write-only: no value travels
    EXPECT_EQ(tree["probe/secret"].readwrite, uint32_t(PARAMCTRL_WRONLY));
    EXPECT_EQ(tree["probe/rows"].type, uint32_t(PARAMTYPE_TABLE));
    EXPECT_EQ(tree["probe/rows/row_2/value"].value, "2");
    EXPECT_EQ(tree["probe/rows/row_2/value"].readwrite, uint32_t(PARAMCTRL_RDONLY));
    EXPECT_TRUE(tree.count("frame")); // the framework's tree travels too
    for (const auto &[route, rec] : tree)
        EXPECT_NE(route.rfind("proxy", 0), 0u) << route;
    // Parents come before their children.
    auto pos = [&](const std::string &r) { return std::find(order.begin(), order.end(), r) - order.begin(); };
    EXPECT_LT(pos("probe"), pos("probe/rows"));
    EXPECT_LT(pos("probe/rows"), pos("probe/rows/row_0"));
    EXPECT_LT(pos("probe/rows/row_0"), pos("probe/rows/row_0/value"));
    EXPECT_EQ(proxy::st().count_connections, 1);
}

TEST_F(ProxySlave, AppliesRecordsFromTheMasterThroughTheParameter)
{
    peer m = connect_master();
    m.send(record(PARAMTYPE_NUMBER, kPrefix + "probe/level", "Level", "42"));
    auto back = next_record(m);
    ASSERT_TRUE(back);
    EXPECT_EQ(back->scope, "probe/level");
    EXPECT_EQ(back->value, "42");
    EXPECT_EQ(probe::current().level, 42);

    // The parameter's own setter decides; its answer is announced either way.
    m.send(record(PARAMTYPE_CHOICE, kPrefix + "probe/mode", "Mode", "Purple"));
    back = next_record(m);
    ASSERT_TRUE(back);
    EXPECT_EQ(back->value, "Off");
    m.send(record(PARAMTYPE_STRING, kPrefix + "probe/secret", "Secret", "s3cret"));
    back = next_record(m);
    ASSERT_TRUE(back);
    EXPECT_EQ(back->value, ""); // write-only: the value never travels back
    EXPECT_EQ(probe::current().secret, "s3cret");

    // Records that are not this card's to apply are dropped and logged.
    struct Case {
        std::string scope, log;
    } cases[] = {
        {"probe/level", "of another card"},
        {"proxy/carrier_5/probe/level", "of another card"},
        {"xproxy/carrier_0/probe/level", "of another card"},
        {kPrefix + "probe/nothing", "does not exist. Scope: probe/nothing"},
        {kPrefix + "proxy", "does not exist. Scope: proxy"},
        {kPrefix + "probe/rows/row_1/value", "is read-only. Scope: probe/rows/row_1/value"},
    };
    for (const Case &c : cases) {
        log_.clear();
        m.send(record(PARAMTYPE_NUMBER, c.scope, "x", "7"));
        EXPECT_TRUE(run_until([&] { return log_.count(c.log) == 1; })) << c.scope;
    }
    EXPECT_EQ(probe::current().level, 42);
    m.send(record(PARAMTYPE_SET, kPrefix + "probe/flags", "Flags", "green,blue"));
    back = next_record(m);
    ASSERT_TRUE(back);
    EXPECT_EQ(back->scope, "probe/flags");
    EXPECT_EQ(back->value, "green,blue");
}

TEST_F(ProxySlave, LocalChangesFollowTheTree)
{
    peer m = connect_master();
    param_context *text = kd_param_get_by_route("probe/text");
    // Too large for the link: logged and not sent (the master would reset it).
    ASSERT_EQ(kd_param_get_string_ops(text)->set(text, std::string(proxy::kMaxPayload, 'x').c_str()),
              PARAM_SET_SUCCESS);
    EXPECT_EQ(log_.count("Param probe/text is too large to send"), 1);
    ASSERT_EQ(kd_param_get_string_ops(text)->set(text, "changed here"), PARAM_SET_SUCCESS);
    auto rec = next_record(m);
    ASSERT_TRUE(rec);
    EXPECT_EQ(rec->scope, "probe/text");
    EXPECT_EQ(rec->value, "changed here");

    param_context *row = kd_param_alloc_row(kd_param_get_by_route("probe/rows"), nullptr, nullptr);
    ASSERT_NE(row, nullptr);
    rec = next_record(m);
    ASSERT_TRUE(rec);
    EXPECT_EQ(rec->scope, "probe/rows/row_3");
    EXPECT_EQ(rec->type, uint32_t(PARAMTYPE_LIST));

    kd_param_delete(kd_param_get_by_route("probe/mode"));
    rec = next_record(m);
    ASSERT_TRUE(rec);
    EXPECT_EQ(rec->scope, "probe/mode");
    EXPECT_EQ(rec->type, uint32_t(PARAMTYPE_NONE));

    // Unloading the probe removes its root: one removal for the whole tree.
    kd_param_remove_cfg(probe_pli_);
    rec = next_record(m);
    ASSERT_TRUE(rec);
    EXPECT_EQ(rec->scope, "probe");
    EXPECT_EQ(rec->type, uint32_t(PARAMTYPE_NONE));
    m.pump();
    for (auto &msg : m.got()) {
        auto r = proxy::proxy_param_ctor_msg_param(msg.payload);
        ASSERT_TRUE(r);
        EXPECT_EQ(r->type, uint32_t(PARAMTYPE_NONE)) << "no placeholder is announced as a parameter: " << r->scope;
    }
}

TEST_F(ProxySlave, OnlyTheMasterMayConnectAndTheLatestLinkWins)
{
    // From another address: closed at once, nothing sent.
    peer stranger = peer::connect_to("127.0.0.1", port_, "127.0.0.2");
    ASSERT_TRUE(stranger.ok());
    ASSERT_TRUE(run_until([&] { return stranger.closed(); }));
    EXPECT_TRUE(stranger.got().empty());
    EXPECT_EQ(log_.count("Refused a connection from 127.0.0.2"), 1);

    peer first = connect_master();
    peer second = connect_master();
    ASSERT_TRUE(run_until([&] { return first.closed(); }));
    EXPECT_EQ(proxy::st().count_connections, 1);
    param_context *num = kd_param_get_by_route("probe/level");
    kd_param_get_number_ops(num)->set(num, "9");
    auto rec = next_record(second);
    ASSERT_TRUE(rec);
    EXPECT_EQ(rec->value, "9");

    // The master goes; the slave waits for the next link.
    second.close();
    ASSERT_TRUE(run_until([] { return proxy::st().count_connections == 0; }));
    std::map<std::string, proxy_param> tree;
    peer third = connect_master(&tree);
    EXPECT_TRUE(tree.count("probe/level"));
    EXPECT_EQ(proxy::st().count_connections, 1);
}

TEST_F(ProxySlave, FollowsTheMastersClockChassisNumberAndReboot)
{
    peer m = connect_master();
    // 2 s off is close enough; 3 s behind or a minute ahead sets the clock
    // with "date".
    const time_t now = time(nullptr);
    m.send(time_sync(now + 2));
    m.send(time_sync(now - 3));
    m.send(time_sync(now + 60));
    ASSERT_TRUE(run_until([&] { return cmds_.count("date") == 2; }));
    EXPECT_EQ(cmds_.lines(),
              (std::vector<std::string>{"date -s @" + std::to_string(now - 3), "date -s @" + std::to_string(now + 60)}));
    EXPECT_EQ(log_.count("Sync system time on slave to"), 2);

    m.send(proxy::proxy_msg_init_u32(proxy::PROXY_MSG_CHASSIS_NUMBER, 7));
    EXPECT_TRUE(run_until([] { return kd_frame_get_chassis_num() == 7; }));

    // A reboot request without its magic number does nothing; two requests
    // reboot once, a second after the first.
    m.send(proxy::proxy_msg_init_u32(proxy::PROXY_MSG_REBOOT, 1));
    ASSERT_TRUE(run_until([&] { return log_.count("without its magic number") == 1; }));
    const double asked = kd_frame_now();
    m.send(proxy::proxy_msg_init_u32(proxy::PROXY_MSG_REBOOT, proxy::kRebootMagic));
    m.send(proxy::proxy_msg_init_u32(proxy::PROXY_MSG_REBOOT, proxy::kRebootMagic));
    ASSERT_TRUE(run_until([&] { return cmds_.count("reboot") == 1; }));
    EXPECT_GE(kd_frame_now() - asked, 0.9);
    EXPECT_EQ(log_.count("Rebooting this slave!"), 2);
    m.send(proxy::proxy_msg_init_u32(proxy::PROXY_MSG_CHASSIS_NUMBER, 8));
    ASSERT_TRUE(run_until([] { return kd_frame_get_chassis_num() == 8; }));
    EXPECT_EQ(cmds_.count("reboot"), 1u);
}

TEST_F(ProxySlave, RelaysRegisteredEventsAndReportsVersionTasks)
{
    peer m = connect_master();
    proxy_cuvent_info info{};
    std::snprintf(info.name, sizeof info.name, "%s", "test_relay");
    info.len = 4;
    kd_cuvent_emit(nullptr, "register_proxy_cuvent", &info);
    kd_cuvent_emit(nullptr, "register_proxy_cuvent", &info); // the same again: refused by the bus
    EXPECT_EQ(log_.count("Registered proxy cuvent 'test_relay'."), 1);
    char data[8] = "abcdefg";
    kd_cuvent_emit(nullptr, "test_relay", data);
    auto ev = m.next(proxy::PROXY_MSG_CUVENT);
    ASSERT_TRUE(ev);
    auto v = proxy::proxy_cuvent_parse(ev->payload);
    ASSERT_TRUE(v);
    EXPECT_EQ(v->name, "test_relay");
    EXPECT_EQ(std::string(v->data.begin(), v->data.end()), "abcd");

    // An event that came from the master is not sent back.
    m.send(proxy::proxy_msg_init_cuvent("test_relay", std::vector<uint8_t>{'w', 'x', 'y', 'z'}));
    ASSERT_TRUE(run_until([&] { return log_.count("Received a proxy cuvent from remote: 'test_relay'") == 1; }));

    // Off the card this is slot 0: READY values are the task ids alone.
    kd_cuvent_emit(nullptr, "version_task_completed_install", nullptr);
    EXPECT_EQ(next_u32(m, proxy::PROXY_MSG_REMOTE_VERSION_READY), uint32_t(proxy::PROXY_VER_CTRL_TASK_INSTALL));
    kd_cuvent_emit(nullptr, "version_task_completed_fwpkgadd", nullptr);
    EXPECT_EQ(next_u32(m, proxy::PROXY_MSG_REMOTE_VERSION_READY), uint32_t(proxy::PROXY_VER_CTRL_TASK_FWPKGADD));
    m.pump();
    for (const auto &msg : m.got())
        EXPECT_NE(msg.hdr.type, uint32_t(proxy::PROXY_MSG_CUVENT));
}

TEST_F(ProxySlave, EmitsOnlyRelayedEventsOfTheirSizeFromTheMaster)
{
    static std::vector<std::string> heard;
    heard.clear();
    kd_cuvent_register_cb(nullptr, "test_relay", [](cuvent_wrapper *w) {
        heard.emplace_back(static_cast<const char *>(w->emit_ctx)); // a text: must end inside the data
    }, nullptr, CUVFLT_NONE);
    kd_cuvent_register_cb(nullptr, "on_proxy_all_slaves_connected",
                          [](cuvent_wrapper *w) { heard.emplace_back(w->emit_ctx ? "data" : "connected"); }, nullptr,
                          CUVFLT_NONE);
    proxy_cuvent_info info{};
    std::snprintf(info.name, sizeof info.name, "%s", "test_relay");
    info.len = 4;
    kd_cuvent_emit(nullptr, "register_proxy_cuvent", &info);
    peer m = connect_master();

    // Each refused event is logged and dropped; the link stays and the
    // next good event is emitted, its text ending right after the data.
    const auto good = proxy::proxy_msg_init_cuvent("test_relay", std::vector<uint8_t>{'w', 'x', 'y', 'z'});
    for (const refused_event &c : refused_events("test_relay")) {
        log_.clear();
        heard.clear();
        m.send(proxy::proxy_msg_init_cuvent(c.name, c.data));
        m.send(good);
        ASSERT_TRUE(run_until([&] { return !heard.empty(); })) << c.log;
        EXPECT_EQ(heard, std::vector<std::string>{"wxyz"}) << c.log;
        EXPECT_EQ(log_.count(c.log), 1) << c.log;
        EXPECT_EQ(log_.count("Emitting locally"), 1) << c.log;
        EXPECT_EQ(proxy::st().count_connections, 1) << c.log;
    }

    // The master's announcement that every slave is linked comes without data.
    heard.clear();
    m.send(proxy::proxy_msg_init_cuvent("on_proxy_all_slaves_connected", std::vector<uint8_t>{1, 2, 3, 4}));
    m.send(proxy::proxy_msg_init_cuvent("on_proxy_all_slaves_connected", {}));
    ASSERT_TRUE(run_until([&] { return !heard.empty(); }));
    EXPECT_EQ(heard, std::vector<std::string>{"connected"});
    EXPECT_EQ(log_.count("'on_proxy_all_slaves_connected' from remote: 4 bytes of data, 0 expected"), 1);
}

TEST_F(ProxySlave, SendsItsStoreByRsyncAndReportsTheResult)
{
    peer m = connect_master();
    m.send(bare(proxy::PROXY_MSG_SEND_STORE));
    EXPECT_EQ(next_u32(m, proxy::PROXY_MSG_ADD), 1u); // flag 1 + 10 * slot 0
    EXPECT_EQ(cmds_.lines(), std::vector<std::string>{"rsync -c " + root_.path() +
                                                      "/var/local/solvera/store.json 127.0.0.1::media/slot0.pfl"});
    EXPECT_EQ(cmds_.lines("env.log"), std::vector<std::string>{"LD_LIBRARY_PATH=/usr/local/lib PATH=set"});

    // rsync's status 23 (partial transfer) and an rsync that cannot start
    // are failures.
    cmds_.rsync_status(23);
    m.send(bare(proxy::PROXY_MSG_SEND_STORE));
    EXPECT_EQ(next_u32(m, proxy::PROXY_MSG_ADD), 2u);
    EXPECT_EQ(log_.count("Slave send profile to master fail exit status (23)"), 1);
    kdtest::OwnCommandLog refused(root_ / "refused.log");
    cmds_.remove("rsync");
    m.send(bare(proxy::PROXY_MSG_SEND_STORE));
    EXPECT_EQ(next_u32(m, proxy::PROXY_MSG_ADD), 2u);
    EXPECT_EQ(log_.count("Slave send profile to master fail spawn err"), 1);
}

TEST_F(ProxySlave, AppliesItsPartKeepingTheOldStorePrivate)
{
    peer m = connect_master();
    const std::string part = root_ / "media/hd0/media/slot0.pfl";
    const std::string old = root_ / "var/local/solvera/oldprofiles/store.json";
    std::filesystem::create_directories(root_ / "media/hd0/media");
    // Off the card the store lives in memory: the file is the test's.
    std::ofstream(root_ / "var/local/solvera/store.json") << "{\"probe\": {\"probe/level\": \"55\"}}\n";

    // No part: refused at once.
    m.send(bare(proxy::PROXY_MSG_APPLY));
    EXPECT_EQ(next_u32(m, proxy::PROXY_MSG_APPLY_CHECK_READY), 2u);

    // A part of another kind: the framework refuses it, the store stays.
    std::ofstream(part) << "{\n    \"decode\": {}\n}\n";
    m.send(bare(proxy::PROXY_MSG_APPLY));
    EXPECT_EQ(next_u32(m, proxy::PROXY_MSG_APPLY_CHECK_READY), 2u);
    EXPECT_EQ(log_.count("] Apply_profile is invalid!"), 1);

    // A part of this card's kind is installed; the old store is kept, private.
    std::ofstream(part) << "{\n    \"probe\": {\"probe/level\": \"12\"}\n}\n";
    m.send(bare(proxy::PROXY_MSG_APPLY));
    EXPECT_EQ(next_u32(m, proxy::PROXY_MSG_APPLY_CHECK_READY), 1u);
    EXPECT_EQ(log_.count("] Apply_profile is valid!"), 1);
    std::ifstream in(old);
    const std::string kept{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    EXPECT_NE(kept.find("55"), std::string::npos) << kept;
    struct stat sd{}, sf{};
    ASSERT_EQ(stat((root_ / "var/local/solvera/oldprofiles").c_str(), &sd), 0);
    ASSERT_EQ(stat(old.c_str(), &sf), 0);
    EXPECT_EQ(sd.st_mode & 0777, 0700u);
    EXPECT_EQ(sf.st_mode & 0777, 0600u);
    EXPECT_FALSE(std::filesystem::exists(part)); // installed parts are removed
}

} // namespace

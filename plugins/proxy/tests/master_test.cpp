// The master side of the proxy in one process: the engine links to slave
// cards on loopback, each slave played by the test with the wire codec.
#include "proxy_internal.h"
#include "proxy_test_support.h"
#include "test_support.h"

#include <ev.h>
#include <kerrow/alarm.h>
#include <kerrow/cuvent.h>
#include <kerrow/system.h>
#include <kerrow/plugin.h>
#include <kerrow/ref.h>
#include <kerrow/store.h>

#include <gtest/gtest.h>

#include <cstdint>

using namespace proxytest;
using proxy::proxy_msg;
using proxy::proxy_param;

namespace {

const std::string kTop = "proxy/carrier_3";

struct Heard {
    int all_connected = 0;
    int tasks_complete = 0;
    std::vector<std::string> io_sync;
    std::vector<int> add_state, apply_state;
    std::vector<int> alarms; // state of "Carrier 3 firmware mismatch" at each change
    std::vector<std::string> event_data;
    bool aligned = true;
};
Heard g_heard;

class ProxyMaster : public ::testing::Test {
protected:
    void SetUp() override
    {
        setenv("HW_SLOT", "3", 1);
        kd_frame_init();
        g_heard = {};
        kd_cuvent_register_cb(nullptr, "on_proxy_all_slaves_connected",
                              [](cuvent_wrapper *) { ++g_heard.all_connected; }, nullptr, CUVFLT_NONE);
        kd_cuvent_register_cb(nullptr, "test_event", [](cuvent_wrapper *w) {
            auto *p = static_cast<const char *>(w->emit_ctx);
            g_heard.aligned &= reinterpret_cast<uintptr_t>(p) % alignof(std::max_align_t) == 0;
            g_heard.event_data.emplace_back(p, p + 5);
        }, nullptr, CUVFLT_NONE);
        kd_cuvent_register_cb(nullptr, "on_proxy_version_task_slaves_complete",
                              [](cuvent_wrapper *) { ++g_heard.tasks_complete; }, nullptr, CUVFLT_NONE);
        kd_cuvent_register_cb(nullptr, "input_output_sync", [](cuvent_wrapper *w) {
            g_heard.io_sync.emplace_back(static_cast<const char *>(w->emit_ctx));
        }, nullptr, CUVFLT_NONE);
        kd_cuvent_register_cb(nullptr, "settings_profile_slaves_add_state", [](cuvent_wrapper *w) {
            g_heard.add_state.push_back(*static_cast<const int *>(w->emit_ctx));
        }, nullptr, CUVFLT_NONE);
        kd_cuvent_register_cb(nullptr, "settings profile slaves apply state", [](cuvent_wrapper *w) {
            g_heard.apply_state.push_back(*static_cast<const int *>(w->emit_ctx));
        }, nullptr, CUVFLT_NONE);
        listen_ = listen_on("127.0.0.1", 0, &port_);
        ASSERT_GE(listen_, 0);
        pli_ = __test_insert_active_plugin("proxy", "/nowhere/libsv-proxy.so");
        proxy::st().opt.port = std::to_string(port_);
        proxy::st().opt.retry_seconds = 0.1;
        proxy::init(pli_);
        ASSERT_TRUE(proxy::st().master);
    }
    void TearDown() override
    {
        proxy::fini();
        proxy::st().opt = {};
        if (listen_ >= 0)
            ::close(listen_);
        slave_.close();
        kd_frame_fini();
        unsetenv("HW_SLOT");
    }

    // A slave in user slot 3 at 127.0.0.1, accepted and past the master's
    // greeting (time, chassis number, chassis configuration).
    void connect_slave(int slot = 3)
    {
        proxy::add_slave(slot, "127.0.0.1");
        accept_slave(slot);
    }
    void accept_slave(int slot = 3)
    {
        const std::string top = "proxy/carrier_" + std::to_string(slot);
        ASSERT_TRUE(run_until([&] { return type_at(top) == PARAMTYPE_LIST; }));
        slave_ = peer::accept_from(listen_);
        ASSERT_TRUE(slave_.ok());
        for (uint32_t t : {proxy::PROXY_MSG_TIME_SYNC, proxy::PROXY_MSG_CHASSIS_NUMBER, proxy::PROXY_MSG_CHASSIS_CONF}) {
            auto m = slave_.next_any();
            ASSERT_TRUE(m);
            EXPECT_EQ(m->hdr.type, t);
        }
    }
    // The probe's tree as a slave sends it.
    void send_tree()
    {
        slave_.send(record(PARAMTYPE_LIST, "probe", "probe", "", PARAMCTRL_RDONLY));
        slave_.send(record(PARAMTYPE_NUMBER, "probe/number", "Number", "5", PARAMCTRL_RDWR, "", 0, 100, 1));
        slave_.send(record(PARAMTYPE_NUMBER, "probe/free", "Free", "0", PARAMCTRL_RDWR, "", -10, 10, 0));
        slave_.send(record(PARAMTYPE_CHOICE, "probe/choice", "Choice", "red", PARAMCTRL_RDWR, "red,green,blue"));
        slave_.send(record(PARAMTYPE_SET, "probe/set", "Set", "a", PARAMCTRL_RDWR, "a,b,c"));
        slave_.send(record(PARAMTYPE_STRING, "probe/text", "Text", "hello", PARAMCTRL_RDWR));
        slave_.send(record(PARAMTYPE_STRING, "probe/secret", "Secret", "", PARAMCTRL_WRONLY));
        slave_.send(record(PARAMTYPE_STRING, "probe/status", "Status", "fine", PARAMCTRL_RDONLY));
        slave_.send(record(PARAMTYPE_TABLE, "probe/rows", "Rows", "", PARAMCTRL_RDONLY));
        slave_.send(proxy::proxy_msg_init_u32(proxy::PROXY_MSG_CTRL_PARAM_FINISH, 3));
        ASSERT_TRUE(run_until([] { return type_at(kTop + "/probe/rows") == PARAMTYPE_TABLE; }));
    }
    static param_set_result set(const std::string &leaf, const char *text)
    {
        param_context *p = kd_param_get_by_route((kTop + "/probe/" + leaf).c_str());
        switch (kd_param_get_type(p)) {
        case PARAMTYPE_NUMBER: return kd_param_get_number_ops(p)->set(p, text);
        case PARAMTYPE_CHOICE: return kd_param_get_choice_ops(p)->set(p, text);
        case PARAMTYPE_STRING: return kd_param_get_string_ops(p)->set(p, text);
        case PARAMTYPE_SET: return kd_param_get_set_ops(p)->set(p, text);
        default: return PARAM_SET_FAILURE;
        }
    }

    // The version plug-in's tree as the master and the slave both have it:
    // a banner and a firmware entry's action.
    param_context *version_tree(const char *banner)
    {
        static std::string g_banner;
        g_banner = banner;
        plugin_load_info *v = __test_insert_active_plugin("version", "/nowhere/libsv-version.so");
        param_context *top = kd_param_create_cfg(v);
        kd_param_alloc_string(top, "banner", "Banner", PARAMCTRL_RDONLY, nullptr,
                              [](param_context *) { return g_banner.c_str(); }, nullptr, nullptr);
        return kd_param_alloc_choice(top, "action", "Action", PARAMCTRL_WRONLY, nullptr, nullptr,
                                     [](param_context *) {
                                         static const char *c[] = {"Install", "Delete", "Select", nullptr};
                                         return c;
                                     },
                                     [](param_context *, const char *) { return PARAM_SET_SUCCESS; }, nullptr);
    }
    void send_version_tree(const char *banner)
    {
        slave_.send(record(PARAMTYPE_LIST, "version", "version", "", PARAMCTRL_RDONLY));
        slave_.send(record(PARAMTYPE_STRING, "version/banner", "Banner", banner, PARAMCTRL_RDONLY));
        slave_.send(record(PARAMTYPE_CHOICE, "version/action", "Action", "", PARAMCTRL_WRONLY, "Install,Delete,Select"));
    }
    void ready(uint32_t value) { slave_.send(proxy::proxy_msg_init_u32(proxy::PROXY_MSG_REMOTE_VERSION_READY, value)); }
    bool logged(const std::string &text, int n = 1)
    {
        return run_until([&] { return log_.count(text) >= n; });
    }

    kdtest::TempRoot root_;
    standins cmds_{root_ / "cmd"};
    kdtest::LogCapture log_;
    plugin_load_info *pli_ = nullptr;
    int listen_ = -1;
    uint16_t port_ = 0;
    peer slave_;
};

TEST_F(ProxyMaster, MirrorsTheSlaveTree)
{
    connect_slave();
    send_tree();
    slave_.send(record(PARAMTYPE_STRING, "nope/orphan", "Orphan", "x"));
    ASSERT_TRUE(run_until([&] { return log_.count("Received param has no parent: " + kTop + "/nope/orphan") == 1; }));

    param_context *top = kd_param_get_by_route(kTop.c_str());
    EXPECT_STREQ(kd_param_get_label(top), "Carrier 3");
    struct Row {
        const char *leaf;
        param_type type;
        param_control rw;
        const char *value;
    } rows[] = {
        {"number", PARAMTYPE_NUMBER, PARAMCTRL_RDWR_NOPERSIST, "5"},
        {"choice", PARAMTYPE_CHOICE, PARAMCTRL_RDWR_NOPERSIST, "red"},
        {"set", PARAMTYPE_SET, PARAMCTRL_RDWR_NOPERSIST, "a"},
        {"text", PARAMTYPE_STRING, PARAMCTRL_RDWR_NOPERSIST, "hello"},
        {"secret", PARAMTYPE_STRING, PARAMCTRL_WRONLY, "(none)"},
        {"status", PARAMTYPE_STRING, PARAMCTRL_RDONLY, "fine"},
    };
    for (const Row &r : rows) {
        param_context *p = kd_param_get_by_route((kTop + "/probe/" + r.leaf).c_str());
        ASSERT_EQ(kd_param_get_type(p), r.type) << r.leaf;
        EXPECT_EQ(kd_param_get_readwrite(p), r.rw) << r.leaf;
        EXPECT_EQ(value_at(kTop + "/probe/" + r.leaf), r.value) << r.leaf;
    }
    param_context *num = kd_param_get_by_route((kTop + "/probe/number").c_str());
    EXPECT_STREQ(kd_param_get_label(num), "Number");
    EXPECT_EQ(kd_param_get_number_ops(num)->max(num), 100);
    param_context *choice = kd_param_get_by_route((kTop + "/probe/choice").c_str());
    const char **opts = kd_param_get_choice_ops(choice)->choices(choice);
    ASSERT_NE(opts, nullptr);
    EXPECT_STREQ(opts[0], "red");
    EXPECT_STREQ(opts[2], "blue");
    EXPECT_EQ(opts[3], nullptr);
    void *ref = opts;
    kd_ref_free_safe(&ref);

    // An update refreshes the mirror; a changed kind replaces it.
    slave_.send(record(PARAMTYPE_NUMBER, "probe/number", "Number", "77", PARAMCTRL_RDONLY, "", 0, 100, 1));
    ASSERT_TRUE(run_until([&] { return value_at(kTop + "/probe/number") == "77"; }));
    EXPECT_EQ(kd_param_get_readwrite(kd_param_get_by_route((kTop + "/probe/number").c_str())), PARAMCTRL_RDONLY);
    slave_.send(record(PARAMTYPE_STRING, "probe/free", "Free", "now text"));
    ASSERT_TRUE(run_until([&] { return type_at(kTop + "/probe/free") == PARAMTYPE_STRING; }));
    EXPECT_EQ(value_at(kTop + "/probe/free"), "now text");

    // A removed parameter (type none) deletes its mirror; a removed list
    // its whole subtree.
    slave_.send(record(PARAMTYPE_NONE, "probe/choice", "Choice"));
    ASSERT_TRUE(run_until([&] { return type_at(kTop + "/probe/choice") == PARAMTYPE_NONE; }));
    EXPECT_EQ(type_at(kTop + "/probe/set"), PARAMTYPE_SET);
    slave_.send(record(PARAMTYPE_NONE, "probe", "probe"));
    ASSERT_TRUE(run_until([&] { return type_at(kTop + "/probe") == PARAMTYPE_NONE; }));
    EXPECT_EQ(type_at(kTop + "/probe/set"), PARAMTYPE_NONE);
    EXPECT_FALSE(slave_.closed());

    // Mirrors are never stored; nothing is left in the store at the end.
    kd_store_check_persist(nullptr);
    char **keys = kd_store_get_keys(pli_);
    EXPECT_TRUE(!keys || !keys[0]) << keys[0];
    std::free(keys);
}

TEST_F(ProxyMaster, SettingAMirrorValidatesAndSendsToTheSlave)
{
    connect_slave();
    send_tree();
    EXPECT_EQ(set("number", "0x10"), PARAM_SET_SUCCESS);
    auto m = slave_.next(proxy::PROXY_MSG_PARAM);
    ASSERT_TRUE(m);
    auto rec = proxy::proxy_param_ctor_msg_param(m->payload);
    ASSERT_TRUE(rec);
    EXPECT_EQ(rec->scope, kTop + "/probe/number");
    EXPECT_EQ(rec->value, "16");

    // Refused values send nothing: the next record the slave sees is the
    // good one set after them.
    struct Bad {
        const char *leaf, *text;
    } bad[] = {{"number", "101"}, {"number", "-1"}, {"number", "12abc"}, {"number", ""},
               {"number", "99999999999"}, {"choice", "purple"}, {"choice", "red,green"}, {"set", "a,z"},
               {"rows", "x"}};
    for (const Bad &b : bad)
        EXPECT_EQ(set(b.leaf, b.text), PARAM_SET_FAILURE) << b.leaf << " " << b.text;
    // A value the slave would refuse as oversized.
    EXPECT_EQ(set("text", std::string(proxy::kMaxPayload, 'x').c_str()), PARAM_SET_FAILURE);
    EXPECT_EQ(set("set", "a,c"), PARAM_SET_SUCCESS);
    EXPECT_EQ(set("free", "-7"), PARAM_SET_SUCCESS); // a step of 0 takes any value in range
    EXPECT_EQ(set("free", "11"), PARAM_SET_FAILURE);
    EXPECT_EQ(set("text", "a \"quoted\", longer text"), PARAM_SET_SUCCESS);
    std::vector<std::pair<std::string, std::string>> sent;
    ASSERT_TRUE(run_until([&] {
        for (auto &msg : slave_.got()) {
            auto r = proxy::proxy_param_ctor_msg_param(msg.payload);
            sent.emplace_back(r ? r->scope : "?", r ? r->value : "?");
        }
        slave_.got().clear();
        return sent.size() >= 3;
    }));
    EXPECT_EQ(sent, (std::vector<std::pair<std::string, std::string>>{{kTop + "/probe/set", "a,c"},
                                                                       {kTop + "/probe/free", "-7"},
                                                                       {kTop + "/probe/text", "a \"quoted\", longer text"}}));

    // The slave's answer comes back as its own record and the mirror follows.
    slave_.send(record(PARAMTYPE_NUMBER, "probe/number", "Number", "16", PARAMCTRL_RDWR, "", 0, 100, 1));
    ASSERT_TRUE(run_until([&] { return value_at(kTop + "/probe/number") == "16"; }));
}

TEST_F(ProxyMaster, LinkLossDeletesTheMirrorsAndReconnects)
{
    connect_slave();
    send_tree();
    EXPECT_TRUE(run_until([] { return g_heard.all_connected == 1; }));
    // The forwarded event reaches the slave too.
    auto ev = slave_.next(proxy::PROXY_MSG_CUVENT);
    ASSERT_TRUE(ev);
    EXPECT_EQ(proxy::proxy_cuvent_parse(ev->payload)->name, "on_proxy_all_slaves_connected");

    slave_.close();
    ASSERT_TRUE(run_until([] { return type_at(kTop) == PARAMTYPE_NONE; }));
    EXPECT_EQ(type_at(kTop + "/probe/number"), PARAMTYPE_NONE);
    EXPECT_EQ(proxy::st().count_connections, 0);
    // Retried on the timer, greeted again, rebuilt from the new tree.
    accept_slave();
    send_tree();
    EXPECT_EQ(value_at(kTop + "/probe/text"), "hello");
    EXPECT_TRUE(run_until([] { return g_heard.all_connected == 2; }));

    // A reset (a read error, not an orderly close) ends the link the same way.
    linger hard{1, 0};
    setsockopt(slave_.fd(), SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
    slave_.close();
    ASSERT_TRUE(run_until([] { return type_at(kTop) == PARAMTYPE_NONE; }));
    EXPECT_EQ(log_.count("Error reading proxy message. Error: Connection reset by peer"), 1);
    accept_slave();
    EXPECT_TRUE(run_until([] { return g_heard.all_connected == 3; }));
}

TEST_F(ProxyMaster, AllSlavesConnectedOnlyOnceEveryLinkIsUp)
{
    // A second slave at 127.0.0.2 on the same port: nobody listens there yet.
    proxy::add_slave(3, "127.0.0.1");
    proxy::add_slave(4, "127.0.0.2");
    accept_slave();
    ASSERT_TRUE(run_until([&] { return log_.count("Connect") >= 2 && proxy::st().retry_pending; }));
    EXPECT_EQ(g_heard.all_connected, 0);
    const int second = listen_on("127.0.0.2", port_);
    ASSERT_GE(second, 0);
    ASSERT_TRUE(run_until([] { return g_heard.all_connected == 1; }));
    EXPECT_EQ(type_at("proxy/carrier_4"), PARAMTYPE_LIST);
    peer other = peer::accept_from(second);
    ASSERT_TRUE(other.ok());

    // An event from one slave is emitted here (aligned) and relayed to the
    // other slave, not back to the sender.
    proxy_cuvent_info info{};
    std::snprintf(info.name, sizeof info.name, "%s", "test_event");
    info.len = 5;
    kd_cuvent_emit(nullptr, "register_proxy_cuvent", &info);
    const uint8_t data[5] = {'a', 'b', 'c', 'd', 'e'};
    slave_.send(proxy::proxy_msg_init_cuvent("test_event", data));
    auto relayed = other.next(proxy::PROXY_MSG_CUVENT);
    while (relayed && proxy::proxy_cuvent_parse(relayed->payload)->name != "test_event")
        relayed = other.next(proxy::PROXY_MSG_CUVENT);
    ASSERT_TRUE(relayed);
    EXPECT_EQ(g_heard.event_data, std::vector<std::string>{"abcde"});
    EXPECT_TRUE(g_heard.aligned);
    slave_.pump();
    for (auto &m : slave_.got()) {
        if (m.hdr.type == proxy::PROXY_MSG_CUVENT) {
            EXPECT_NE(proxy::proxy_cuvent_parse(m.payload)->name, "test_event");
        }
    }
    ::close(second);
}

TEST_F(ProxyMaster, EmitsOnlyRelayedEventsOfTheirSizeFromASlave)
{
    proxy_cuvent_info info{};
    std::snprintf(info.name, sizeof info.name, "%s", "test_event");
    info.len = 4;
    kd_cuvent_emit(nullptr, "register_proxy_cuvent", &info);
    connect_slave();
    // A slave may not announce that every slave is linked: that is the master's.
    auto cases = refused_events("test_event");
    cases.push_back({"on_proxy_all_slaves_connected", {}, "'on_proxy_all_slaves_connected' from remote: not relayed"});
    const auto good = proxy::proxy_msg_init_cuvent("test_event", std::vector<uint8_t>{'w', 'x', 'y', 'z'});
    for (const refused_event &c : cases) {
        log_.clear();
        g_heard.event_data.clear();
        slave_.send(proxy::proxy_msg_init_cuvent(c.name, c.data));
        slave_.send(good);
        ASSERT_TRUE(run_until([&] { return !g_heard.event_data.empty(); })) << c.log;
        EXPECT_EQ(log_.count(c.log), 1) << c.log;
        EXPECT_EQ(log_.count("Emitting locally"), 1) << c.log;
        EXPECT_EQ(proxy::st().count_connections, 1) << c.log;
    }
    EXPECT_EQ(g_heard.all_connected, 1); // its own, at the link
    // The text ends right after the data (the listener reads 5 bytes).
    EXPECT_EQ(g_heard.event_data.back(), std::string("wxyz", 5));
}

TEST_F(ProxyMaster, MalformedMessagesResetTheLink)
{
    struct Case {
        const char *what;
        std::vector<uint8_t> bytes;
    };
    auto le = [](std::initializer_list<uint32_t> ws) {
        std::vector<uint8_t> out;
        for (uint32_t w : ws)
            for (int s = 0; s < 32; s += 8)
                out.push_back(uint8_t(w >> s));
        return out;
    };
    auto short_record = le({0, 40, 5, 2, 0, 0, 0, 1, 1, 9, 0, 0});
    const Case cases[] = {
        {"a 4 GiB length", le({0, 0xFFFFFFFF})},
        {"record lengths past the payload", short_record},
        {"control 9", [&] { auto r = proxy::proxy_msg_bytes(proxy::proxy_msg_param(record(PARAMTYPE_STRING, "a", "A")));
                           r[12] = 9; return r; }()},
        {"an event with data past the end", [] { auto r = proxy::proxy_msg_bytes(proxy::proxy_msg_init_cuvent("x", {}));
                                                 r[8 + 52] = 1; return r; }()},
    };
    proxy::add_slave(3, "127.0.0.1");
    for (const Case &c : cases) {
        accept_slave();
        // An unknown type is logged and skipped; the link stays.
        slave_.send_raw(le({42, 4, 0x01010101}));
        slave_.send(record(PARAMTYPE_STRING, "probe", "probe"));
        ASSERT_TRUE(run_until([&] { return log_.count("Received invalid proxy message type: 42") > 0; }));
        log_.clear();
        slave_.send_raw(c.bytes);
        ASSERT_TRUE(run_until([&] { return slave_.closed(); })) << c.what;
        EXPECT_EQ(log_.count("Malformed proxy message"), 1) << c.what;
        EXPECT_EQ(type_at(kTop), PARAMTYPE_NONE) << c.what;
        slave_.close();
    }
}

TEST_F(ProxyMaster, APeerThatStopsReadingIsReset)
{
    proxy::st().opt.max_queued = 256 * 1024;
    connect_slave();
    send_tree();
    // The slave never reads: the socket buffers fill, then the queue.
    const std::string big(64 * 1024, 'x');
    for (int i = 0; i < 400 && proxy::st().count_connections == 1; ++i) {
        ASSERT_EQ(set("text", (big + std::to_string(i)).c_str()), PARAM_SET_SUCCESS);
        run_until([] { return false; }, 0.001);
    }
    ASSERT_TRUE(run_until([] { return type_at(kTop) == PARAMTYPE_NONE; }));
    EXPECT_EQ(log_.count("does not read"), 1);
}

TEST_F(ProxyMaster, EncoderOutputFollowsVideoAndFaultRecords)
{
    connect_slave(1);
    struct Case {
        std::string route, label, value;
    } cases[] = {
        {"enc/encoder_40/video", "Video Detected", "NO"}, // encoder 40: out of range, nothing
        {"enc/encoder_2/level", "Level", "NO"},           // another label, nothing
        {"enc/encoder_2/fault", "Fault Mode", "STOP ENCODING"},
        {"enc/encoder_2/video", "Video Detected", "NO"},
        {"enc/encoder_2/video", "Video Detected", "YES"},
    };
    for (const Case &c : cases)
        slave_.send(record(PARAMTYPE_STRING, c.route, c.label, c.value, PARAMCTRL_RDONLY));
    ASSERT_TRUE(run_until([] { return g_heard.io_sync.size() >= 3; }));
    const std::string top = "proxy/carrier_1/enc/encoder_2/";
    EXPECT_EQ(g_heard.io_sync, (std::vector<std::string>{top + "fault:2", top + "video:1", top + "video:2"}));
    EXPECT_EQ(log_.count("Encoder 40 of proxy/carrier_1/enc/encoder_40/video is out of range"), 1);
}

TEST_F(ProxyMaster, FirmwareTasksCountSlavesAndLocalCopies)
{
    connect_slave();
    char pkg[] = "/tmp/fw.pkg";

    // The slave reports before the local copy ends.
    cmds_.hold_rsync(true);
    kd_cuvent_emit(nullptr, "version firmware package add", pkg);
    EXPECT_EQ(proxy::st().verctl_task_info.active_task_id, proxy::PROXY_VER_CTRL_TASK_FWPKGADD);
    ready(2 + 30); // another task
    ready(1 + 90); // no such slot
    ready(1 + 50); // a slot that takes no part
    ready(1 + 30);
    ready(1 + 30); // the same again
    ASSERT_TRUE(logged("FwPkgAdd task completed on slaves. Waiting for local RSYNC threads to complete"));
    ASSERT_TRUE(logged("But already received! Ignoring."));
    EXPECT_EQ(log_.count("But active taskId is: 1! Ignoring."), 1);
    EXPECT_EQ(log_.count("But the slot takes no part! Ignoring."), 2);
    EXPECT_EQ(g_heard.tasks_complete, 0);
    cmds_.hold_rsync(false);
    ASSERT_TRUE(run_until([] { return g_heard.tasks_complete == 1; }));
    EXPECT_EQ(cmds_.lines(), std::vector<std::string>{"rsync -c /tmp/fw.pkg 127.0.0.1::media"});
    EXPECT_EQ(log_.count("Sync success"), 1);
    ready(1 + 30);
    ASSERT_TRUE(logged("But no task active! Ignoring."));

    // The local copy ends first.
    kd_cuvent_emit(nullptr, "version firmware package add", pkg);
    ASSERT_TRUE(logged("RSYNC threads complete. Waiting for rsync copies complete on slaves."));
    EXPECT_EQ(g_heard.tasks_complete, 1);
    ready(1 + 30);
    ASSERT_TRUE(run_until([] { return g_heard.tasks_complete == 2; }));

    // A failed copy: the slave never gets the package, the task ends failed.
    cmds_.rsync_status(23);
    kd_cuvent_emit(nullptr, "version firmware package add", pkg);
    ASSERT_TRUE(run_until([] { return g_heard.tasks_complete == 3; }));
    EXPECT_EQ(log_.count("Sync fail exit status (23)"), 1);
    EXPECT_EQ(log_.count("Slot 3 did not get the package: counted as finished, failed"), 1);
}

TEST_F(ProxyMaster, FirmwareActionsGoToTheSlaveMirrorsAndComparison)
{
    param_context *action = version_tree("fw 2.0");
    kd_alarm_listener("Carrier 3 firmware mismatch", nullptr, [](cuvent_wrapper *w) {
        g_heard.alarms.push_back(static_cast<kd_alarm *>(w->emit_ctx)->state);
    }, nullptr);
    connect_slave();
    send_version_tree("fw 1.0");
    slave_.send(proxy::proxy_msg_init_u32(proxy::PROXY_MSG_CTRL_PARAM_FINISH, 3));
    ASSERT_TRUE(logged("Comparing " + kTop + "/version/banner (fw 1.0) to local banner (fw 2.0)"));
    EXPECT_EQ(g_heard.alarms, std::vector<int>{ALARM_ACTIVE});
    slave_.send(proxy::proxy_msg_init_u32(proxy::PROXY_MSG_CTRL_PARAM_FINISH, 6));
    ASSERT_TRUE(logged("Received control param finish from unknown client in slot 6."));

    // "Install" goes to the slave's mirror, which sends it on.
    kd_cuvent_emit(nullptr, "version firmware package extracting", action);
    auto m = slave_.next(proxy::PROXY_MSG_PARAM);
    ASSERT_TRUE(m);
    auto rec = proxy::proxy_param_ctor_msg_param(m->payload);
    ASSERT_TRUE(rec);
    EXPECT_EQ(rec->scope, kTop + "/version/action");
    EXPECT_EQ(rec->value, "Install");
    EXPECT_EQ(proxy::st().verctl_task_info.active_task_id, proxy::PROXY_VER_CTRL_TASK_INSTALL);
    ready(2 + 30);
    ASSERT_TRUE(run_until([] { return g_heard.tasks_complete == 1; }));

    // The slave goes during an uninstall: counted as finished, failed.
    kd_cuvent_emit(nullptr, "version firmware delete", action);
    EXPECT_EQ(proxy::st().verctl_task_info.active_task_id, proxy::PROXY_VER_CTRL_TASK_UNINSTALL);
    slave_.close();
    ASSERT_TRUE(run_until([] { return g_heard.tasks_complete == 2; }));
    EXPECT_EQ(log_.count("Slot 3 left during firmware task 3: counted as finished, failed"), 1);
}

TEST_F(ProxyMaster, ChassisNumberRebootAndRelayedEventsReachTheSlave)
{
    connect_slave();
    ASSERT_EQ(kd_frame_set_chassis_num(pli_, 12), 0);
    kd_cuvent_emit(nullptr, "chassis_number_changed", nullptr);
    EXPECT_EQ(u32_of(slave_.next(proxy::PROXY_MSG_CHASSIS_NUMBER)), 12u);
    kd_cuvent_emit(nullptr, "profile reboot requested", nullptr);
    EXPECT_EQ(u32_of(slave_.next(proxy::PROXY_MSG_REBOOT)), proxy::kRebootMagic);
    kd_cuvent_emit(nullptr, "version reboot requested", nullptr);
    EXPECT_EQ(u32_of(slave_.next(proxy::PROXY_MSG_REBOOT)), proxy::kRebootMagic);

    proxy_cuvent_info info{};
    std::snprintf(info.name, sizeof info.name, "%s", "test_event");
    info.len = 5;
    kd_cuvent_emit(nullptr, "register_proxy_cuvent", &info);
    char data[] = "hello world";
    kd_cuvent_emit(nullptr, "test_event", data);
    auto ev = slave_.next(proxy::PROXY_MSG_CUVENT);
    ASSERT_TRUE(ev);
    auto v = proxy::proxy_cuvent_parse(ev->payload);
    ASSERT_TRUE(v);
    EXPECT_EQ(v->name, "test_event");
    EXPECT_EQ(std::string(v->data.begin(), v->data.end()), "hello");
}

TEST_F(ProxyMaster, ProfileRequestsReachTheSlaveAndItsReportsComeBack)
{
    connect_slave();
    // A slave with no link is reported failed at once.
    auto &unlinked = *proxy::st().clients.emplace_back(std::make_unique<proxy::proxy_client>());
    unlinked.slave_slot = 4;
    kd_cuvent_emit(nullptr, "add settings profile requested", nullptr);
    EXPECT_EQ(g_heard.add_state, std::vector<int>{42});
    EXPECT_TRUE(slave_.next(proxy::PROXY_MSG_SEND_STORE));
    slave_.send(proxy::proxy_msg_init_u32(proxy::PROXY_MSG_ADD, 1 + 30));
    ASSERT_TRUE(run_until([] { return g_heard.add_state.size() == 2; }));
    EXPECT_EQ(g_heard.add_state[1], 31);

    // The part goes by rsync; APPLY follows once, after the copy.
    const std::string dir = root_ / "var/local/solvera/slaveprofiles/";
    std::filesystem::create_directories(dir);
    std::ofstream(dir + "slot3.pfl") << "{}\n";
    kd_cuvent_emit(nullptr, "master send profile to slaves", nullptr);
    EXPECT_TRUE(slave_.next(proxy::PROXY_MSG_APPLY));
    EXPECT_EQ(cmds_.lines(), std::vector<std::string>{"rsync -c " + dir + "slot3.pfl 127.0.0.1::media"});
    EXPECT_EQ(log_.count("Applying to slave"), 1);
    slave_.send(proxy::proxy_msg_init_u32(proxy::PROXY_MSG_APPLY_CHECK_READY, 1 + 30));
    ASSERT_TRUE(run_until([] { return !g_heard.apply_state.empty(); }));
    EXPECT_EQ(g_heard.apply_state, std::vector<int>{31});

    // A copy that fails reports the slot failed and sends no APPLY.
    cmds_.rsync_status(23);
    kd_cuvent_emit(nullptr, "master send profile to slaves", nullptr);
    ASSERT_TRUE(run_until([] { return g_heard.apply_state.size() == 2; }));
    EXPECT_EQ(g_heard.apply_state[1], 32);
    EXPECT_EQ(log_.count("Master send profile to salve fail exit status (23)"), 1);

    // The slave goes before answering a store request: failed.
    kd_cuvent_emit(nullptr, "add settings profile requested", nullptr);
    EXPECT_TRUE(slave_.next(proxy::PROXY_MSG_SEND_STORE));
    slave_.close();
    ASSERT_TRUE(run_until([] { return g_heard.add_state.size() == 4; }));
    EXPECT_EQ(g_heard.add_state[3], 32);
    slave_.pump();
    EXPECT_EQ(log_.count("Applying to slave"), 1);
}

} // namespace

// The server over loopback: websocket clients read, search and set, see
// pushed changes, send bad input and leave in the middle of a reply; HTTP
// serves the mounts; the port follows its parameter.
#include "ws_fixture.h"

#include <kerrow/alarm.h>
#include <kerrow/cuvent.h>
#include <kerrow/param.h>
#include <kerrow/ref.h>

#include <algorithm>
#include <filesystem>
#include <fstream>

namespace {

using namespace wstest;
namespace fs = std::filesystem;

using Server = WsFixture;

int int_at(const std::string &reply, std::initializer_list<const char *> path)
{
    json_ptr j = parse(reply);
    json_t *v = at(j.get(), path);
    return json_is_integer(v) ? static_cast<int>(json_integer_value(v)) : -1;
}

std::string text_at(const std::string &reply, std::initializer_list<const char *> path)
{
    json_ptr j = parse(reply);
    json_t *v = at(j.get(), path);
    return json_is_string(v) ? std::string(json_string_value(v), json_string_length(v)) : "<none>";
}

// Waits for a pushed "Client Count" of n.
bool wait_count(ws_client &c, int n)
{
    while (auto reply = c.reply_with("client_count"))
        if (int_at(*reply, {"client_count", "value"}) == n)
            return true;
    return false;
}

TEST_F(Server, ReadSetAndPushToEveryClient)
{
    static int updates = 0;
    updates = 0;
    kd_cuvent_register_cb(nullptr, "on_param_update", [](cuvent_wrapper *w) {
        updates += kd_param_get_by_route("probe/level") == w->emit_ctx;
    }, nullptr, CUVFLT_NONE);
    drive([&] {
        ws_client a, b;
        ASSERT_TRUE(a.open(port_));
        EXPECT_EQ(a.next_frame(), "!@#"); // the first frame is the delimiter alone
        ASSERT_TRUE(a.send_text("probe/level"));
        auto r = a.reply_with("\"level\"");
        ASSERT_TRUE(r);
        EXPECT_EQ(int_at(*r, {"level", "value"}), 0);

        ASSERT_TRUE(b.open(port_));
        EXPECT_TRUE(wait_count(a, 2));

        // A read and a set in one frame: read, then set.
        ASSERT_TRUE(login(a));
        ASSERT_TRUE(a.send_text("probe/level!@#probe/level 42"));
        r = a.reply_with("\"level\"");
        ASSERT_TRUE(r);
        auto pushed = b.reply_with("\"level\"");
        ASSERT_TRUE(pushed);
        EXPECT_EQ(int_at(*pushed, {"level", "value"}), 42);
        EXPECT_EQ(on_loop([] { return probe::current().level; }), 42);
        EXPECT_GE(on_loop([] { return updates; }), 1);

        b.close_now();
        EXPECT_TRUE(wait_count(a, 1));
    });
}

TEST_F(Server, SearchDepthsAndPlainReadsAfterThem)
{
    drive([&] {
        ws_client a;
        ASSERT_TRUE(a.open(port_));
        const struct {
            const char *request;
            std::initializer_list<const char *> path; // into the reply
            const char *want;
        } cases[] = {
            {"probe/rows", {"rows", "params"}, "hidden"},                   // depth NONE
            {"probe/ro*", {"rows", "params", "row_0", "params"}, "hidden"}, // search, ONE
            {"probe/rows**", {"rows", "params", "row_0", "params", "value", "ref"}, "probe/rows/row_0/value"},
            {"probe/rows", {"rows", "params", "row_2", "params", "value", "ref"}, "probe/rows/row_2/value"},
            {"probe/le", {"level", "type"}, "Number"},                      // search, NONE
            {"probe/rows", {"rows", "params"}, "hidden"},
        };
        for (const auto &c : cases) {
            ASSERT_TRUE(a.send_text(c.request));
            auto r = a.reply_with("\"" + std::string(*c.path.begin()) + "\":");
            ASSERT_TRUE(r) << c.request;
            EXPECT_EQ(text_at(*r, c.path), c.want) << c.request << ": " << *r;
        }
        // An unknown route is an empty search result.
        ASSERT_TRUE(a.send_text("nothing/here"));
        bool empty = false;
        for (auto r = a.next_reply(); r && !empty; r = empty ? r : a.next_reply())
            empty = *r == "{}";
        EXPECT_TRUE(empty);
    });
}
TEST_F(Server, TextsReadBackAsTheyWereSet)
{
    const std::string big(5000, 'x');
    const std::string huge(1200 * 1024, 'y'); // more than the receive buffer
    const struct {
        std::string sent, want;
        size_t fragment; // frame size, 0 for one frame
    } cases[] = {
        {"say \"hi\"", "say \"hi\"", 0},
        {"back\\slash\\", "back\\slash\\", 0},
        {std::string("ctl\x01\x1f\x7f" "end"), std::string("ctl\x01\x1f\x7f" "end"), 0},
        {"tab\tinside", "tab\tinside", 0},
        {"\xC3\xA9t\xC3\xA9 \xF0\x9F\x98\x80", "\xC3\xA9t\xC3\xA9 \xF0\x9F\x98\x80", 0},
        {big + "\"", big + "\"", 1000},
        {huge, huge, 0},
        {"\"\"", "", 0}, // the empty text
    };
    drive([&] {
        ws_client a;
        ASSERT_TRUE(a.open(port_));
        ASSERT_TRUE(login(a));
        for (const auto &c : cases) {
            ASSERT_TRUE(a.send_text("probe/text " + c.sent, c.fragment));
            auto r = a.reply_with("\"ref\":\"probe/text\"", 30);
            ASSERT_TRUE(r) << c.sent.substr(0, 40);
            EXPECT_EQ(text_at(*r, {"text", "value"}), c.want) << c.sent.substr(0, 40);
            EXPECT_EQ(on_loop([] { return probe::current().text; }), c.want);
        }
    });
}

TEST_F(Server, InvalidUtf8ReadsBackWithReplacementCharacters)
{
    // Browsers refuse invalid UTF-8 in text frames, so the bytes go in
    // through the setter and come out replaced.
    drive([&] {
        ws_client a;
        ASSERT_TRUE(a.open(port_));
        on_loop([] {
            kd_param_get_string_ops(kd_param_get_by_route("probe/text"))
                ->set(kd_param_get_by_route("probe/text"), "a\xFF" "b\xE2\x82" "c\xC0\xAF");
            return 0;
        });
        ASSERT_TRUE(a.send_text("probe/text"));
        auto r = a.reply_with("\"ref\":\"probe/text\"");
        ASSERT_TRUE(r);
        EXPECT_EQ(text_at(*r, {"text", "value"}),
                  "a\xEF\xBF\xBD" "b\xEF\xBF\xBD" "c\xEF\xBF\xBD\xEF\xBF\xBD");
    });
}

TEST_F(Server, BadRoutesAndValuesChangeNothingAndKeepTheConnection)
{
    drive([&] {
        ws_client a;
        ASSERT_TRUE(a.open(port_));
        ASSERT_TRUE(login(a));
        ASSERT_TRUE(a.send_text("probe/level 55"));
        ASSERT_TRUE(a.reply_with("\"value\":55"));
        const char *bad[] = {"probe/level abc", "probe/level 101", "probe/level -1", "probe/mode Sideways",
                             "probe/flags red,purple", "probe/level \"\""};
        for (const char *req : bad) {
            ASSERT_TRUE(a.send_text(req));
            // The refused set pushes the unchanged value back.
            const std::string route = std::string(req).substr(0, std::string(req).find(' '));
            auto r = a.reply_with("\"ref\":\"" + route + "\"");
            ASSERT_TRUE(r) << req;
        }
        ASSERT_TRUE(a.send_text("no/such/route 5!@#probe/rows 3"));
        ASSERT_TRUE(a.send_text("probe/level"));
        auto r = a.reply_with("\"ref\":\"probe/level\"");
        ASSERT_TRUE(r);
        EXPECT_EQ(int_at(*r, {"level", "value"}), 55);
        EXPECT_EQ(on_loop([] { return probe::current().mode; }), "Off");
        EXPECT_EQ(on_loop([] { return probe::current().flags; }), "");
    });
    EXPECT_EQ(log_.count("Set of unknown route 'no/such/route' ignored."), 1);
}

TEST_F(Server, ManyClientsAllSeeEveryChange)
{
    static constexpr int kClients = 24;
    drive([&] {
        std::vector<std::unique_ptr<ws_client>> clients;
        for (int i = 0; i < kClients; ++i) {
            clients.push_back(std::make_unique<ws_client>());
            ASSERT_TRUE(clients.back()->open(port_));
        }
        EXPECT_TRUE(wait_count(*clients.front(), kClients));
        EXPECT_TRUE(eventually([] { return ws::ws_get_client_count() == kClients; }));
        ASSERT_TRUE(login(*clients[5]));
        ASSERT_TRUE(clients[5]->send_text("probe/mode Auto"));
        for (auto &c : clients) {
            auto r = c->reply_with("\"ref\":\"probe/mode\"");
            ASSERT_TRUE(r);
            EXPECT_EQ(text_at(*r, {"mode", "value"}), "Auto");
        }
        for (int i = 0; i < kClients / 2; ++i)
            clients[static_cast<size_t>(i)]->close_now();
        EXPECT_TRUE(wait_count(*clients.back(), kClients - kClients / 2));
    });
}

TEST_F(Server, LongRepliesArriveWholeAndSurviveClientsLeavingMidway)
{
    constexpr int kRows = 1500;
    drive([&] {
        on_loop([] {
            param_context *rows = kd_param_get_by_route("probe/rows");
            for (int i = 3; i < kRows; ++i)
                kd_param_alloc_number(kd_param_alloc_row(rows, nullptr, nullptr), nullptr, "Value",
                                      PARAMCTRL_RDONLY, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                                      nullptr);
            max_param_prints = 50; // the walk spreads over many passes
            return 0;
        });
        ws_client quitter, stayer;
        ASSERT_TRUE(quitter.open(port_));
        ASSERT_TRUE(stayer.open(port_));
        ASSERT_TRUE(quitter.send_text("probe/rows**"));
        ASSERT_EQ(quitter.next_frame(), "!@#");
        ASSERT_TRUE(quitter.next_frame()); // the reply has begun
        quitter.close_now();
        ASSERT_TRUE(stayer.send_text("probe/rows**"));
        auto r = stayer.reply_with("\"rows\":", 30);
        ASSERT_TRUE(r);
        json_ptr j = parse(*r);
        ASSERT_TRUE(j) << r->substr(0, 200);
        EXPECT_EQ(json_object_size(at(j.get(), {"rows", "params"})), static_cast<size_t>(kRows));
        EXPECT_TRUE(at(j.get(), {"rows", "params", "row_1499", "params", "value"}));
        EXPECT_TRUE(eventually([] { return ws::ws_get_client_count() == 1; }));
        ASSERT_TRUE(stayer.send_text("probe/level"));
        EXPECT_TRUE(stayer.reply_with("\"ref\":\"probe/level\""));
    });
}
param_set_result set_port(const char *text)
{
    param_context *p = kd_param_get_by_route("websocket/port");
    return kd_param_get_number_ops(p)->set(p, text);
}

TEST_F(Server, PortFollowsItsParameter)
{
    const int next = free_port();
    char hex[16];
    std::snprintf(hex, sizeof hex, "0x%x", next);
    drive([&] {
        EXPECT_EQ(on_loop([] { return set_port("79"); }), PARAM_SET_FAILURE);
        EXPECT_EQ(on_loop([] { return set_port("65536"); }), PARAM_SET_FAILURE);
        EXPECT_EQ(on_loop([] { return set_port("80x"); }), PARAM_SET_FAILURE);
        EXPECT_EQ(on_loop([] { return ws::state().cfg.port; }), port_);

        ws_client a;
        ASSERT_TRUE(a.open(port_));
        ASSERT_TRUE(login(a));
        ASSERT_TRUE(a.send_text(std::string("websocket/port ") + hex));
        auto r = a.reply_with("\"ref\":\"websocket/port\"");
        ASSERT_TRUE(r);
        EXPECT_EQ(int_at(*r, {"port", "value"}), next);
        // With a client connected the server moves after the next search reply.
        ws_client b;
        EXPECT_TRUE(b.open(port_));
        ASSERT_TRUE(a.send_text("probe/lev*"));
        EXPECT_TRUE(a.reply_with("\"level\":"));
        EXPECT_TRUE(a.wait_closed());
        on_loop([] { return 0; }); // the restart that closed it has finished
        ws_client c;
        EXPECT_TRUE(c.open(next));
        ws_client old;
        EXPECT_FALSE(old.open(port_, "sv-ws", 2));
    });
    EXPECT_EQ(log_.count("Server running on port " + std::to_string(next) + "."), 1);
}

TEST_F(Server, TakenPortRaisesTheStartFailureAlarmUntilAPortChange)
{
    static std::vector<int> states;
    states.clear();
    kd_alarm_listener("Websocket Start Failure", nullptr, [](cuvent_wrapper *w) {
        states.push_back(static_cast<kd_alarm *>(w->emit_ctx)->state);
    }, nullptr);
    // Someone else holds this port.
    int holder = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(holder, reinterpret_cast<sockaddr *>(&a), sizeof a), 0);
    ASSERT_EQ(listen(holder, 1), 0);
    socklen_t len = sizeof a;
    getsockname(holder, reinterpret_cast<sockaddr *>(&a), &len);
    const std::string taken = std::to_string(ntohs(a.sin_port));
    const int next = free_port();

    EXPECT_EQ(set_port(taken.c_str()), PARAM_SET_SUCCESS);
    EXPECT_EQ(ws::state().context, nullptr);
    EXPECT_EQ(log_.count("Context create error."), 1);
    EXPECT_EQ(set_port(std::to_string(next).c_str()), PARAM_SET_SUCCESS);
    EXPECT_NE(ws::state().context, nullptr);
    EXPECT_EQ(states, (std::vector<int>{ALARM_ACTIVE, ALARM_INACTIVE}));
    close(holder);
    drive([&] {
        ws_client c;
        EXPECT_TRUE(c.open(next));
    });
}

TEST_F(Server, HttpServesTheApplicationAndTheLinkDirectory)
{
    const fs::path web = root_ / "usr/local/share/zwsui";
    fs::create_directories(web / "js/dynamic");
    std::ofstream(web / "index.html") << "<html>stand-in</html>";
    std::ofstream(web / "manual.pdf") << "%PDF-1.4";
    std::ofstream(web / "js/dynamic/b.js") << "";
    std::ofstream(web / "js/dynamic/a.js") << "";
    std::ofstream(root_ / "report.txt") << "the report";
    fs::create_symlink(root_ / "report.txt", root_ / "var/run/zwsui/report.txt");
    drive([&] {
        http_reply r = http_get(port_, "/");
        EXPECT_EQ(r.status, 200);
        EXPECT_EQ(r.body, "<html>stand-in</html>");
        r = http_get(port_, "/manual.pdf");
        EXPECT_EQ(r.status, 200);
        EXPECT_NE(r.headers.find("application/pdf"), std::string::npos) << r.headers;
        r = http_get(port_, "/pub/report.txt");
        EXPECT_EQ(r.status, 200);
        EXPECT_EQ(r.body, "the report");
        EXPECT_EQ(http_get(port_, "/missing.html").status, 404);
        EXPECT_EQ(http_get(port_, "/pub/missing").status, 404);

        ws_client c;
        ASSERT_TRUE(c.open(port_));
        ASSERT_TRUE(c.send_text("websocket/js_files!@#websocket/link_directory"));
        auto js = c.reply_with("\"ref\":\"websocket/js_files\"");
        ASSERT_TRUE(js);
        EXPECT_EQ(text_at(*js, {"js_files", "value"}), "js/dynamic/a.js, js/dynamic/b.js");
        auto link = c.reply_with("\"ref\":\"websocket/link_directory\"");
        ASSERT_TRUE(link);
        EXPECT_EQ(text_at(*link, {"link_directory", "value"}), "pub");
    });
}

TEST(ServerIdle, ASlaveCardStartsIdle)
{
    kdtest::TempRoot root;
    kdtest::CommandStandins commands(root / "cmd");
    kdtest::LogCapture log;
    setenv("HW_SLOT", "5", 1);
    kd_frame_init();
    plugin_load_info *pli = __test_insert_active_plugin("websocket", "/nowhere/libsv-websocket.so");
    ws::state().cfg.port = free_port();
    ws::ws_init(pli);
    EXPECT_EQ(log.count("[websocket] Started Idle"), 1);
    EXPECT_EQ(kd_param_get_by_route("websocket"), nullptr);
    EXPECT_EQ(ws::state().context, nullptr);
    EXPECT_FALSE(ws_client().open(ws::state().cfg.port, "sv-ws", 1));
    ws::ws_fini();
    kd_frame_fini();
    setenv("HW_SLOT", "3", 1);
}
TEST_F(Server, PortChangeInTheMiddleOfALongReplyLeavesTheServerRunning)
{
    const int next = free_port();
    drive([&] {
        on_loop([] {
            param_context *rows = kd_param_get_by_route("probe/rows");
            for (int i = 3; i < 800; ++i)
                kd_param_alloc_row(rows, nullptr, nullptr);
            max_param_prints = 20;
            return 0;
        });
        ws_client a;
        ASSERT_TRUE(a.open(port_));
        ASSERT_TRUE(login(a));
        ASSERT_TRUE(a.send_text("websocket/port " + std::to_string(next)));
        ASSERT_TRUE(a.reply_with("\"ref\":\"websocket/port\""));
        // A search: the restart follows its first pass, the walk is cut short.
        ASSERT_TRUE(a.send_text("probe/rows**"));
        EXPECT_TRUE(a.wait_closed());
        on_loop([] { return 0; });
        ws_client b;
        ASSERT_TRUE(b.open(next));
        ASSERT_TRUE(b.send_text("probe/level"));
        EXPECT_TRUE(b.reply_with("\"ref\":\"probe/level\""));
    });
}

TEST_F(Server, ChangesWaitingForASlowClientAreSentOnceWithTheLatestValue)
{
    drive([&] {
        ws_client a;
        ASSERT_TRUE(a.open(port_));
        ASSERT_EQ(a.next_frame(), "!@#");
        // Many changes before the client's connection is served again.
        on_loop([] {
            param_context *p = kd_param_get_by_route("probe/level");
            for (int i = 1; i <= 100; ++i)
                kd_param_get_number_ops(p)->set(p, std::to_string(i).c_str());
            return 0;
        });
        int level_replies = 0, last = -1;
        ASSERT_TRUE(a.send_text("probe/mode"));
        for (auto r = a.next_reply(); r && r->find("\"ref\":\"probe/mode\"") == std::string::npos; r = a.next_reply())
            if (r->find("\"ref\":\"probe/level\"") != std::string::npos) {
                ++level_replies;
                last = int_at(*r, {"level", "value"});
            }
        EXPECT_EQ(level_replies, 1);
        EXPECT_EQ(last, 100);
    });
}

// Requests waiting in every client's queue, and the most reads any one
// client has waiting (loop thread).
size_t queued_everywhere()
{
    size_t n = 0;
    for (const auto &c : ws::state().clients)
        n += c.requests.size();
    return n;
}
size_t most_asked()
{
    size_t n = 0;
    for (const auto &c : ws::state().clients)
        n = std::max(n, c.asked);
    return n;
}

// A client that asks too much in one message, or keeps asking without
// reading, is closed and its queue released; the others are served all
// along.
TEST_F(Server, AClientAskingTooMuchIsClosedAndItsQueueReleased)
{
    drive([&] {
        ws_client reader;
        ASSERT_TRUE(reader.open(port_));
        const struct {
            size_t per_message;
            int messages;
        } cases[] = {
            {ws::kMaxRequests + 1, 1}, // too many at once
            {500, 40},                 // whole-tree searches piling up unread
        };
        for (const auto &c : cases) {
            ws_client greedy;
            ASSERT_TRUE(greedy.open(port_));
            std::string message;
            for (size_t i = 0; i < c.per_message; ++i)
                message += "**!@#";
            size_t most = 0;
            for (int m = 0; m < c.messages && greedy.send_text(message); ++m)
                most = std::max(most, on_loop(most_asked));
            EXPECT_TRUE(greedy.wait_closed(30)) << c.per_message;
            EXPECT_LE(most, ws::kMaxRequests);
            EXPECT_TRUE(eventually([] { return ws::ws_get_client_count() == 1 && queued_everywhere() == 0; }, 30))
                << on_loop(queued_everywhere) << " requests still queued";
            ASSERT_TRUE(reader.send_text("probe/level"));
            EXPECT_TRUE(reader.reply_with("\"ref\":\"probe/level\"")) << c.per_message;
        }
    });
    EXPECT_EQ(log_.count("asked more than 1024 requests at once: closing the connection."), 2);
}

// Reading the SNMP switch, alone or in a whole-tree search, never waits for
// systemctl: while it hangs, hundreds of reads are answered and a new client
// is served; snmpd is switched once, not once per read.
TEST_F(Server, ReadsNeverWaitForTheServiceSwitch)
{
    const fs::path cmd = root_ / "cmd";
    const fs::path release = cmd / "release";
    {
        std::ofstream f(cmd / "systemctl");
        f << "#!/bin/sh\necho \"systemctl $*\" >> " << (cmd / "calls.log").string() << "\n"
          << "i=0\nwhile [ ! -e " << release.string() << " ] && [ $i -lt 600 ]; do sleep 0.1; i=$((i+1)); done\n";
    }
    const auto starts = [&] {
        const auto calls = commands_.calls();
        return std::count(calls.begin(), calls.end(), "systemctl start snmpd");
    };
    drive([&] {
        // Whatever happens, systemctl is let go before the loop is waited for.
        struct let_go {
            fs::path file;
            ~let_go() { std::ofstream(file) << ""; }
        } guard{release};
        std::string reads;
        for (int i = 0; i < 300; ++i)
            reads += "frame/snmp_service!@#";
        reads += "**";
        ws_client a;
        ASSERT_TRUE(a.open(port_));
        ASSERT_TRUE(a.send_text(reads));
        int answered = 0;
        while (answered < 301 && a.reply_with("\"ref\":\"frame/snmp_service\"", 20))
            ++answered;
        EXPECT_EQ(answered, 301);
        ws_client b;
        ASSERT_TRUE(b.open(port_));
        ASSERT_TRUE(b.send_text("frame/snmp_service"));
        EXPECT_TRUE(b.reply_with("\"value\":\"Enabled\""));
        EXPECT_EQ(starts(), 1); // the one still hanging

        std::ofstream(release) << "";
        ASSERT_TRUE(a.send_text(reads));
        answered = 0;
        while (answered < 301 && a.reply_with("\"ref\":\"frame/snmp_service\"", 20))
            ++answered;
        EXPECT_EQ(answered, 301);
        EXPECT_EQ(starts(), 1);
    });
}

} // namespace

// Web users and sessions: logins and rights, passwords kept as digests,
// the session cookie, resumption and expiry, what a planted session id, a
// page of another site or a password guesser gets.
#include "session_text.h"
#include "ws_fixture.h"

#include <kerrow/cuvent.h>
#include <kerrow/store.h>

#include <filesystem>
#include <fstream>
#include <set>

namespace {

using namespace wstest;
namespace fs = std::filesystem;

TEST(SessionText, CookieHeaderGivesAUsableSessionIdOrNone)
{
    const std::string long_id(65, 'a');
    const struct {
        std::string header;
        bool named;
        const char *id; // null: none usable
    } cases[] = {
        {"ZWSUI_SESSION=abc123", true, "abc123"},
        {"theme=dark; ZWSUI_SESSION=Ab09; lang=en", true, "Ab09"},
        {"ZWSUI_SESSION = spaced", true, "spaced"},
        {"theme=dark; lang=en", false, nullptr},
        {"", false, nullptr},
        {"ZWSUI_SESSION=", true, nullptr},
        {"ZWSUI_SESSION=" + long_id, true, nullptr},
        {"ZWSUI_SESSION=" + std::string(64, 'b'), true, "bbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbb"},
        {"ZWSUI_SESSION=../etc", true, nullptr},
        {"ZWSUI_SESSION=bad%00; ZWSUI_SESSION=good", true, "good"},
        {"XZWSUI_SESSION=abc", false, nullptr},
        {std::string(4096, 'x') + "=y; ZWSUI_SESSION=late", true, "late"},
    };
    for (const auto &c : cases) {
        const ws::cookie_lookup got = ws::session_from_cookie(c.header);
        EXPECT_EQ(got.named, c.named) << c.header.substr(0, 60);
        EXPECT_EQ(got.id.has_value(), c.id != nullptr) << c.header.substr(0, 60);
        if (got.id && c.id) {
            EXPECT_EQ(*got.id, c.id);
        }
    }
}

TEST(SessionText, AuthTextAndDigests)
{
    std::string user, digest;
    EXPECT_TRUE(ws::parse_auth("admin_abc", user, digest));
    EXPECT_EQ(user, "admin");
    EXPECT_EQ(digest, "abc");
    EXPECT_TRUE(ws::parse_auth("__admin___abc_extra", user, digest));
    EXPECT_EQ(user, "admin");
    EXPECT_EQ(digest, "abc");
    EXPECT_FALSE(ws::parse_auth("admin", user, digest));
    EXPECT_FALSE(ws::parse_auth("admin_", user, digest));
    EXPECT_FALSE(ws::parse_auth("", user, digest));
    EXPECT_EQ(ws::sha512_hex("lorv582"), kAdminDigest);

    std::set<std::string> ids;
    for (int i = 0; i < 100; ++i) {
        const std::string id = ws::new_session_id();
        ASSERT_EQ(id.size(), 40u);
        EXPECT_EQ(id.find_first_not_of("0123456789abcdef"), std::string::npos);
        ids.insert(id);
    }
    EXPECT_EQ(ids.size(), 100u);
    // Logs show an id's head only.
    EXPECT_EQ(ws::id_for_log("0123456789abcdef0123456789abcdef01234567"), "012345...");
    EXPECT_EQ(ws::id_for_log("abcd"), "ab...");
    EXPECT_EQ(ws::id_for_log(""), "...");
}

TEST(SessionText, OriginMustNameTheServersHost)
{
    const struct {
        const char *origin, *host;
        bool same;
    } cases[] = {
        {"http://127.0.0.1:8080", "127.0.0.1:8080", true},
        {"HTTP://Card.Local", "card.local", true},
        {"http://card.local", "card.local:80", true},
        {"https://card.local:443", "card.local", true},
        {"http://[::1]:8080", "[::1]:8080", true},
        {"http://card.local", "card.local:8080", false},
        {"https://card.local", "card.local:80", false},
        {"http://127.0.0.1:8081", "127.0.0.1:8080", false},
        {"http://evil.example", "card.local", false},
        {"http://card.local.evil.example", "card.local", false},
        {"http://card.local@evil.example", "card.local", false},
        {"http://card.local/", "card.local", false},
        {"http://card.local:80x", "card.local", false},
        {"http://[::1", "[::1", false},
        {"null", "card.local", false},
        {"file://", "card.local", false},
        {"ftp://card.local", "card.local", false},
        {"http://", "", false},
    };
    for (const auto &c : cases)
        EXPECT_EQ(ws::origin_matches_host(c.origin, c.host), c.same) << c.origin << " on " << c.host;
}

TEST(SessionText, FailedLoginsMakeTheirAddressWaitLongerEachTime)
{
    ws::login_guard guard;
    double t = 1000;
    for (int i = 1; i < ws::login_guard::kFreeFailures; ++i)
        EXPECT_EQ(guard.failed("10.0.0.1", t), 0) << i;
    EXPECT_EQ(guard.wait_left("10.0.0.1", t), 0);
    // Each failure once the wait is over doubles it, up to the longest.
    for (const double wait : {1, 2, 4, 8, 16, 32, 64, 128, 256, 300, 300}) {
        EXPECT_EQ(guard.failed("10.0.0.1", t), wait);
        EXPECT_EQ(guard.wait_left("10.0.0.1", t + wait / 2), wait / 2);
        EXPECT_EQ(guard.wait_left("10.0.0.2", t), 0); // only that address waits
        t += wait;
        EXPECT_EQ(guard.wait_left("10.0.0.1", t), 0);
    }
    guard.succeeded("10.0.0.1");
    EXPECT_EQ(guard.failed("10.0.0.1", t), 0); // counted afresh after a success

    // Failures long ago are forgotten.
    for (int i = 1; i < ws::login_guard::kFreeFailures; ++i)
        guard.failed("10.0.0.3", t);
    EXPECT_EQ(guard.failed("10.0.0.3", t + ws::login_guard::kForget + 1), 0);

    // However many addresses fail, the table stays bounded and keeps the
    // latest ones.
    for (size_t i = 0; i < 2 * ws::login_guard::kMaxAddresses; ++i)
        for (int k = 0; k < ws::login_guard::kFreeFailures; ++k)
            guard.failed("a" + std::to_string(i), t + static_cast<double>(i));
    EXPECT_LE(guard.size(), ws::login_guard::kMaxAddresses);
    const double last = t + static_cast<double>(2 * ws::login_guard::kMaxAddresses - 1);
    EXPECT_EQ(guard.wait_left("a" + std::to_string(2 * ws::login_guard::kMaxAddresses - 1), last), 1);
}

using Sessions = WsFixture;

std::string access_of(ws_client &c)
{
    if (!c.send_text("websocket/access"))
        return "<send>";
    auto r = c.reply_with("\"ref\":\"websocket/access\"");
    if (!r)
        return "<none>";
    json_ptr j = parse(*r);
    json_t *v = at(j.get(), {"access", "value"});
    return json_is_string(v) ? json_string_value(v) : "<bad>";
}

int level(ws_client &c)
{
    if (!c.send_text("probe/level"))
        return -2;
    auto r = c.reply_with("\"ref\":\"probe/level\"");
    json_ptr j = r ? parse(*r) : nullptr;
    json_t *v = at(j.get(), {"level", "value"});
    return json_is_integer(v) ? static_cast<int>(json_integer_value(v)) : -1;
}

TEST_F(Sessions, LoginDecidesWhoMaySet)
{
    drive([&] {
        ws_client a, b;
        ASSERT_TRUE(a.open(port_));
        ASSERT_TRUE(b.open(port_));
        // Anonymous: reads yes, sets no.
        ASSERT_TRUE(a.send_text("probe/level 5"));
        EXPECT_EQ(level(a), 0);
        EXPECT_EQ(access_of(a), "Guest");

        ASSERT_TRUE(login(a));
        EXPECT_EQ(access_of(a), "Operator");
        EXPECT_EQ(access_of(b), "Guest"); // each client reads its own level
        ASSERT_TRUE(a.send_text("probe/level 5"));
        EXPECT_EQ(level(a), 5);
        ASSERT_TRUE(b.send_text("probe/level 6"));
        EXPECT_EQ(level(b), 5);

        // Every failed login logs out.
        std::string upper = kAdminDigest;
        for (char &ch : upper)
            ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
        for (const std::string &bad : {"admin_" + upper, std::string("admin"), std::string("\"\""),
                                       "nobody_" + kAdminDigest, "agent_" + kAdminDigest}) {
            ASSERT_TRUE(login(a));
            ASSERT_TRUE(a.send_text("websocket/auth " + bad));
            EXPECT_EQ(access_of(a), "Guest") << bad;
        }
        // A user lowered to Guest may set nothing.
        ASSERT_TRUE(login(a));
        ASSERT_TRUE(a.send_text("websocket/users/admin/access_level Guest"));
        EXPECT_EQ(access_of(a), "Guest");
        ASSERT_TRUE(a.send_text("probe/level 9"));
        EXPECT_EQ(level(a), 5);
        on_loop([] { return kd_param_get_choice_ops(kd_param_get_by_route("websocket/users/admin/access_level"))
                                ->set(kd_param_get_by_route("websocket/users/admin/access_level"), "Admin"); });
        EXPECT_EQ(access_of(a), "Admin");
        ASSERT_TRUE(a.send_text("websocket/users/admin/access_level Root"));
        EXPECT_EQ(access_of(a), "Admin");
    });
    char *saved = nullptr;
    ASSERT_EQ(kd_store_load_string(pli_, "websocket/users/admin/hash", &saved), 0);
    EXPECT_EQ(std::string(saved), kAdminDigest);
    std::free(saved);
    char *auth = nullptr;
    EXPECT_EQ(kd_store_load_string(pli_, "websocket/auth", &auth), -1); // no login text is kept
}

TEST_F(Sessions, NewAdminPasswordLastsAgentsDefaultReturns)
{
    const std::string fresh = "d5c9d20bc6b31c71ff02b759e8f00f557661b68cc3db32d613d7ada47ea53ff387f985453870cce49344e"
                              "949df7357785d741945fac91b6828d78bf0ed4391c4"; // sha512sum of "n3w-Pass"
    drive([&] {
        ws_client a;
        ASSERT_TRUE(a.open(port_));
        ASSERT_TRUE(login(a));
        ASSERT_TRUE(a.send_text("websocket/users/admin/new_password n3w-Pass!@#"
                                "websocket/users/agent/new_password n3w-Pass"));
        ASSERT_TRUE(a.send_text("websocket/auth admin_" + fresh));
        EXPECT_EQ(access_of(a), "Operator");
    });
    // The plug-in starts again over the same store.
    ws::ws_fini();
    kd_param_remove_cfg(pli_);
    kd_cuvent_unregister_cb_owner(pli_);
    ws::state().cfg.port = port_ = free_port();
    ws::ws_init(pli_);
    drive([&] {
        ws_client a;
        ASSERT_TRUE(a.open(port_));
        ASSERT_TRUE(a.send_text("websocket/auth admin_" + kAdminDigest));
        EXPECT_EQ(access_of(a), "Guest");
        ASSERT_TRUE(a.send_text("websocket/auth admin_" + fresh));
        EXPECT_EQ(access_of(a), "Operator");
        ASSERT_TRUE(a.send_text("websocket/auth agent_" + kAgentDigest));
        EXPECT_EQ(access_of(a), "Operator");
    });
}

bool hex40(const std::string &id) { return id.size() == 40 && id.find_first_not_of("0123456789abcdef") == std::string::npos; }

TEST_F(Sessions, CookieGivenKeptAndResumed)
{
    drive([&] {
        ws_client a, b;
        ASSERT_TRUE(a.open(port_));
        ASSERT_TRUE(b.open(port_));
        const std::string first = a.session();
        EXPECT_TRUE(hex40(first)) << first;
        EXPECT_NE(a.response().find("ZWSUI_SESSION=" + first + ";Max-Age=36000;Path=/"), std::string::npos)
            << a.response();
        EXPECT_NE(b.session(), first);
        // A login gives the session a new id, sent to that client alone.
        ASSERT_TRUE(login(a));
        const std::string id = a.session();
        EXPECT_TRUE(hex40(id)) << id;
        EXPECT_NE(id, first);
        EXPECT_NE(b.session(), id);
        a.close_now();

        // Back with the cookie: the login is kept and no new cookie comes.
        ws_client again;
        ASSERT_TRUE(again.open(port_, "sv-ws", 10, "Cookie: theme=dark; ZWSUI_SESSION=" + id + "\r\n"));
        EXPECT_EQ(again.session(), "");
        EXPECT_EQ(access_of(again), "Operator");
        // The id from before the login is no key to it.
        ws_client stale;
        ASSERT_TRUE(stale.open(port_, "sv-ws", 10, "Cookie: ZWSUI_SESSION=" + first + "\r\n"));
        EXPECT_TRUE(hex40(stale.session()));
        EXPECT_NE(stale.session(), first);
        EXPECT_EQ(access_of(stale), "Guest");

        // Headers without a usable session still get a record and a cookie.
        for (const std::string &cookie : {std::string("theme=dark"), std::string(4096, 'k') + "=v",
                                          "ZWSUI_SESSION=" + std::string(65, 'a'), std::string("ZWSUI_SESSION=a/b")}) {
            ws_client other;
            ASSERT_TRUE(other.open(port_, "sv-ws", 10, "Cookie: " + cookie + "\r\n"));
            EXPECT_EQ(other.session().size(), 40u) << cookie.substr(0, 40);
            EXPECT_EQ(access_of(other), "Guest");
        }
    });
}

timeval g_fake_now{};
timeval fake_now() { return g_fake_now; }

TEST_F(Sessions, SessionsExpireAfterTenHours)
{
    gettimeofday(&g_fake_now, nullptr);
    ws::session_now = fake_now;
    drive([&] {
        ws_client a;
        ASSERT_TRUE(a.open(port_));
        ASSERT_TRUE(login(a));
        const std::string id = a.session();
        a.close_now();
        EXPECT_TRUE(eventually([] { return ws::ws_get_client_count() == 0; }));
        on_loop([] { return g_fake_now.tv_sec += 36001; });
        // Expired while away: the cookie no longer logs in.
        ws_client back;
        ASSERT_TRUE(back.open(port_, "sv-ws", 10, "Cookie: ZWSUI_SESSION=" + id + "\r\n"));
        EXPECT_EQ(access_of(back), "Guest");
        ASSERT_TRUE(login(back));
        // Expired while connected: closed at the next reply.
        on_loop([] { return g_fake_now.tv_sec += 36001; });
        ASSERT_TRUE(back.send_text("probe/level"));
        EXPECT_TRUE(back.wait_closed());
    });
    ws::session_now = [] {
        timeval tv{};
        gettimeofday(&tv, nullptr);
        return tv;
    };
    EXPECT_GE(log_.count("Client session timeout."), 1);
}

// Someone who planted a session id in a victim's browser, made up or one
// the server gave them, gets nothing from the victim's login; a logout
// renews the id too; no log line holds a whole id.
TEST_F(Sessions, PlantedSessionIdsGiveNoLogin)
{
    std::vector<std::string> ids;
    drive([&] {
        const fs::path src = root_ / "form.txt";
        std::ofstream(src) << "x";
        const std::string made_up(40, '7');
        std::string dropped; // given by the server, and forgotten when its client left
        {
            ws_client gone;
            ASSERT_TRUE(gone.open(port_));
            dropped = gone.session();
        }
        ws_client holder; // its session stays
        ASSERT_TRUE(holder.open(port_));
        for (const std::string &planted : {made_up, dropped, holder.session()}) {
            ws_client victim;
            ASSERT_TRUE(victim.open(port_, "sv-ws", 10, "Cookie: ZWSUI_SESSION=" + planted + "\r\n"));
            EXPECT_EQ(access_of(victim), "Guest");
            ASSERT_TRUE(login(victim));
            const std::string logged_in = victim.session();
            EXPECT_TRUE(hex40(logged_in));
            EXPECT_NE(logged_in, planted);
            for (int twice = 0; twice < 2; ++twice) { // the victim still connected, then gone
                ws_client thief;
                ASSERT_TRUE(thief.open(port_, "sv-ws", 10, "Cookie: ZWSUI_SESSION=" + planted + "\r\n"));
                EXPECT_EQ(access_of(thief), "Guest") << planted << " " << twice;
                ASSERT_TRUE(thief.send_text("websocket/users/admin/access_level Admin!@#probe/level 9"));
                EXPECT_EQ(level(thief), 0);
                EXPECT_EQ(curl_upload(port_, planted, src, "x.ts"), 403);
                victim.close_now();
            }
            ids.insert(ids.end(), {planted, logged_in});
        }

        // A logout renews the id as well: the logged-in one is spent.
        ws_client user;
        ASSERT_TRUE(user.open(port_));
        ASSERT_TRUE(login(user));
        const std::string logged_in = user.session();
        ASSERT_TRUE(user.send_text("websocket/auth \"\""));
        EXPECT_EQ(access_of(user), "Guest");
        EXPECT_TRUE(hex40(user.session()));
        EXPECT_NE(user.session(), logged_in);
        user.close_now();
        ws_client back;
        ASSERT_TRUE(back.open(port_, "sv-ws", 10, "Cookie: ZWSUI_SESSION=" + logged_in + "\r\n"));
        EXPECT_EQ(access_of(back), "Guest");
        ids.push_back(logged_in);
    });
    EXPECT_GE(log_.count("Unrecognized cookie ("), 1);
    for (const auto &id : ids)
        EXPECT_EQ(log_.count(id), 0) << id;
}

// A page of another site may not open the dialogue with the browser's
// cookie, nor upload with it; clients that send no Origin (programs, not
// browsers) are served.
TEST_F(Sessions, OriginsOfOtherSitesAreRefused)
{
    drive([&] {
        ws_client admin;
        ASSERT_TRUE(admin.open(port_));
        ASSERT_TRUE(login(admin));
        const std::string cookie = "Cookie: ZWSUI_SESSION=" + admin.session() + "\r\n";
        const std::string here = "127.0.0.1:" + std::to_string(port_);
        const struct {
            std::string origin;
            bool served;
        } cases[] = {
            {"", true},
            {"Origin: http://" + here + "\r\n", true},
            {"Origin: http://evil.example\r\n", false},
            {"Origin: http://127.0.0.1:" + std::to_string(port_ + 1) + "\r\n", false},
            {"Origin: null\r\n", false},
        };
        for (const auto &c : cases) {
            ws_client page;
            EXPECT_EQ(page.open(port_, "sv-ws", 10, c.origin + cookie), c.served) << c.origin;
            if (c.served) {
                EXPECT_EQ(access_of(page), "Operator") << c.origin;
            }
        }
        const fs::path src = root_ / "form.txt";
        std::ofstream(src) << "x";
        fs::create_directories(root_ / "media/hd0/media");
        const std::string curl = "curl -s -o /dev/null -w '%{http_code}' --max-time 20 -b 'ZWSUI_SESSION=" +
                                 admin.session() + "' -F 'uploadfile=@" + src.string() +
                                 "' -F uploadsubmit=Upload http://" + here + "/upload";
        EXPECT_EQ(output_of(curl + " -H 'Origin: http://evil.example'"), "403");
        EXPECT_EQ(output_of(curl + " -H 'Origin: http://" + here + "'"), "200");
        EXPECT_EQ(access_of(admin), "Operator"); // the refusals cost the server nothing
    });
    EXPECT_GE(log_.count("Request from origin 'http://evil.example' refused"), 2);
}

// Failed logins from one address make that address wait, the right
// password too; other addresses log in meanwhile and every client is served.
TEST_F(Sessions, FailedLoginsSlowTheirAddressOnly)
{
    static double fake = 1000;
    ws::login_now = [] { return fake; };
    drive([&] {
        ws_client guesser, other;
        guesser.from("127.0.0.2");
        other.from("127.0.0.3");
        ASSERT_TRUE(guesser.open(port_));
        ASSERT_TRUE(other.open(port_));
        std::string guesses;
        for (int i = 0; i < 1000; ++i)
            guesses += "websocket/auth admin_" + std::string(128, "0123456789"[i % 10]) + "!@#";
        ASSERT_TRUE(guesser.send_text(guesses));
        EXPECT_EQ(access_of(guesser), "Guest");
        ASSERT_TRUE(guesser.send_text("websocket/auth admin_" + kAdminDigest));
        EXPECT_EQ(access_of(guesser), "Guest"); // still waiting
        EXPECT_EQ(level(guesser), 0);           // and served

        ASSERT_TRUE(login(other));
        EXPECT_EQ(access_of(other), "Operator");

        on_loop([] { return fake += 1; }); // the wait after five failures is over
        ASSERT_TRUE(login(guesser));
    });
    ws::login_now = kd_frame_now;
    // Only the fifth failure counted: the guesses while waiting were not heard.
    EXPECT_EQ(log_.count("Failed logins from 127.0.0.2"), 1);
    EXPECT_EQ(log_.count("Failed logins from 127.0.0.2: the next is taken in 1 s."), 1);
}

} // namespace

// Web users and sessions: logins and rights, passwords kept as digests,
// the session cookie, resumption and expiry.
#include "session_text.h"
#include "ws_fixture.h"

#include <kerrow/cuvent.h>
#include <kerrow/store.h>

#include <set>

namespace {

using namespace wstest;

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

TEST_F(Sessions, CookieGivenKeptAndResumed)
{
    drive([&] {
        ws_client a, b;
        ASSERT_TRUE(a.open(port_));
        ASSERT_TRUE(b.open(port_));
        const std::string id = a.session();
        EXPECT_EQ(id.size(), 40u);
        EXPECT_EQ(id.find_first_not_of("0123456789abcdef"), std::string::npos);
        EXPECT_NE(a.response().find("ZWSUI_SESSION=" + id + ";Max-Age=36000;Path=/"), std::string::npos)
            << a.response();
        EXPECT_NE(b.session(), id);
        ASSERT_TRUE(login(a));
        a.close_now();

        // Back with the cookie: the login is kept and no new cookie comes.
        ws_client again;
        ASSERT_TRUE(again.open(port_, "sv-ws", 10, "Cookie: theme=dark; ZWSUI_SESSION=" + id + "\r\n"));
        EXPECT_EQ(again.session(), "");
        EXPECT_EQ(access_of(again), "Operator");

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
        const std::string id = a.session();
        ASSERT_TRUE(login(a));
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

} // namespace

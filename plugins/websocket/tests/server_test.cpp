// The server over loopback: websocket clients read, search and set, see
// pushed changes, send bad input and leave in the middle of a reply; HTTP
// serves the mounts; the port follows its parameter.
#include "ws_fixture.h"

#include <kerrow/alarm.h>
#include <kerrow/cuvent.h>
#include <kerrow/param.h>
#include <kerrow/ref.h>

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
} // namespace

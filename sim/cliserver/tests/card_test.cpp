// The CLI server stand-in in front of a running card: reads, listings and
// sets of the card's own tree through its web front end, answered with the
// card's values (one line a record) while the card pushes changes on the
// same connection; a stand-in without a user cannot set.
#include "cliserver_rig.h"
#include "ws_fixture.h"

#include <kerrow/param.h>

#include <sys/socket.h>
#include <sys/un.h>

#include <filesystem>

namespace {

using namespace wstest;
namespace fs = std::filesystem;

// One request on a new connection; the reply up to its empty line.
std::string ask(const std::string &request)
{
    const std::string path = kd::rooted("/var/run/cli-server.sock");
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, path.c_str(), sizeof(addr.sun_path) - 1);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    std::string reply;
    if (fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0 &&
        send_all(fd, request + "\n")) {
        const auto deadline = clock::now() + std::chrono::seconds(30);
        while (reply.find("\n\n") == std::string::npos && read_some(fd, reply, deadline)) {
        }
    }
    if (fd >= 0)
        ::close(fd);
    return reply;
}

class CardTree : public WsFixture {
protected:
    void SetUp() override
    {
        WsFixture::SetUp();
        fs::create_directories(root_ / "var/run");
    }
    // Starts the stand-in on the front end, logged in as `login` (none: "").
    void serve(const std::string &login)
    {
        std::vector<std::string> opts{"--ws", std::to_string(port_)};
        if (!login.empty())
            opts.insert(opts.end(), {"--login", login});
        cli_.start(opts);
    }
    cliserver::rig cli_{root_ / "no.tree", root_ / "cli.calls"};
};

TEST_F(CardTree, ReadsListsAndSetsWhileTheCardPushes)
{
    serve("admin:lorv582");
    drive([&] {
        EXPECT_EQ(ask("probe/level"), "Label: Level, Type: Number, Readwrite: Read Write, Ref: probe/level, Value: 0, "
                                      "Help: \"There is no help data available.\"\n\n");
        // A write-only value is not shown; a choice comes with its choices.
        const std::string secret = ask("probe/secret");
        EXPECT_NE(secret.find("Readwrite: Write Only, Ref: probe/secret,"), std::string::npos) << secret;
        EXPECT_EQ(secret.find("Value:"), std::string::npos) << secret;

        const std::string set = ask("probe/mode Auto");
        EXPECT_NE(set.find("Ref: probe/mode, Value: \"Auto\", Choices: [Off, On, Auto]"), std::string::npos) << set;
        EXPECT_EQ(on_loop([] { return probe::current().mode; }), "Auto");

        // A listing holds the leaves below the route, no containers.
        const std::string all = ask("probe/");
        for (const char *ref : {"probe/text,", "probe/level,", "probe/mode,", "probe/flags,", "probe/secret,"})
            EXPECT_NE(all.find(std::string("Ref: ") + ref), std::string::npos) << ref << "\n" << all;
        EXPECT_EQ(all.find("Type: Table"), std::string::npos) << all;
        EXPECT_EQ(all.find("Type: List"), std::string::npos) << all;

        // A record stays one line whatever the text holds.
        on_loop([] {
            probe::current().text = "two\nlines";
            return 0;
        });
        const std::string text = ask("probe/text");
        EXPECT_NE(text.find("Ref: probe/text, Value: \"two lines\", Help:"), std::string::npos) << text;
        EXPECT_EQ(text.find('\n'), text.size() - 2) << text;

        // The beginning of a route, or no route at all, reads nothing.
        EXPECT_EQ(ask("probe/lev"), "No results found.\n\n");
        EXPECT_EQ(ask("nothing/here"), "No results found.\n\n");

        // Changes pushed between the requests answer nothing by mistake:
        // every read answers its own route with the card's value.
        for (int i = 1; i <= 20; ++i) {
            on_loop([i] {
                probe::current().level = i;
                probe::current().text = "step " + std::to_string(i);
                kd_param_notify(kd_param_get_by_route("probe/text"));
                kd_param_notify(kd_param_get_by_route("probe/level"));
                return 0;
            });
            ASSERT_EQ(ask("probe/level"), "Label: Level, Type: Number, Readwrite: Read Write, Ref: probe/level, "
                                          "Value: " + std::to_string(i) +
                                              ", Help: \"There is no help data available.\"\n\n");
        }
    });
}

TEST_F(CardTree, WithoutAUserNothingIsSet)
{
    serve("");
    drive([&] {
        const std::string reply = ask("probe/mode On");
        EXPECT_NE(reply.find("Ref: probe/mode, Value: \"Off\""), std::string::npos) << reply;
        EXPECT_EQ(on_loop([] { return probe::current().mode; }), "Off");
    });
}

} // namespace

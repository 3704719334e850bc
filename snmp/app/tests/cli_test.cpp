// The CLI dialogue: reply parsing, and one request and reply over the
// socket against the stand-in server and its faults.
#include "bridge_rig.h"
#include "cli.h"

#include <gtest/gtest.h>

#include <chrono>
#include <vector>

namespace snmpbridge {
namespace {

// A parsed chain held together with a view of its records.
struct records {
    std::unique_ptr<cli_data_t> first;
    std::vector<const cli_data_t *> r;
    explicit records(std::unique_ptr<cli_data_t> f) : first(std::move(f))
    {
        for (const cli_data_t *p = first.get(); p; p = p->next.get())
            r.push_back(p);
    }
    size_t size() const { return r.size(); }
    const cli_data_t *operator[](size_t i) const { return r[i]; }
};
records chain(std::unique_ptr<cli_data_t> first)
{
    return records(std::move(first));
}

TEST(ParseReply, RecordsFieldsAndValues)
{
    const auto r = chain(parse_cli_reply(
        "Label: name, Type: String, Readwrite: Read Write, Ref: system/name, Value: \"a, \\\"b\\\" c\", "
        "Help: \"x\"\n"
        "Label: mode, Type: Choice, Readwrite: Read Only, Ref: system/mode, Value: \"On\", "
        "Choices: [Off, On, Auto], Count: 3\n\n"));
    ASSERT_EQ(r.size(), 2u);
    EXPECT_EQ(r[0]->label, "name");
    EXPECT_EQ(r[0]->type, "String");
    EXPECT_EQ(r[0]->readwrite, "Read Write");
    EXPECT_EQ(r[0]->ref, "system/name");
    // A quoted value keeps its ", " and escaped quote, and its quotes.
    EXPECT_EQ(r[0]->dict.at("Value"), "\"a, \\\"b\\\" c\"");
    EXPECT_EQ(r[0]->dict.at("Help"), "\"x\"");
    EXPECT_EQ(r[1]->dict.at("Choices"), "[Off, On, Auto]");
    EXPECT_EQ(r[1]->dict.at("Count"), "3");
    EXPECT_EQ(r[1]->ref, "system/mode");
}

TEST(ParseReply, ContinuedLinesNoneRecordsAndNoResults)
{
    const auto joined = chain(parse_cli_reply("Label: a, Type: Number,\nReadwrite: Read Write, Ref: x/a,\n"
                                              "Value: 7\nLabel: b, Type: None, Ref: x/\n\n"));
    ASSERT_EQ(joined.size(), 1u);
    EXPECT_EQ(joined[0]->readwrite, "Read Write");
    EXPECT_EQ(joined[0]->dict.at("Value"), "7");

    EXPECT_EQ(parse_cli_reply("Label: b, Type: None, Ref: x/\n\n"), nullptr);
    EXPECT_EQ(parse_cli_reply("No results found.\n\n"), nullptr);
    EXPECT_EQ(parse_cli_reply(""), nullptr);
    EXPECT_EQ(parse_cli_reply("\n\n\n"), nullptr);
    // A line ending in "," with nothing after it stays one record.
    EXPECT_EQ(chain(parse_cli_reply("Label: a, Type: Number, Ref: x,\n\n")).size(), 1u);
}

TEST(ParseReply, UnterminatedQuoteEndsInsideTheLine)
{
    // The fallback end is 248 characters less the key from the value's
    // start, held between that start and the line's end.
    // The ", " 11 characters in is inside the value; the one after the
    // fallback end closes it.
    const std::string value = "\"" + std::string(10, 'a') + ", " + std::string(300, 'b');
    const auto r = chain(parse_cli_reply("Ref: a, Value: " + value + ", Next: 1\n\n"));
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0]->dict.at("Value"), value);
    EXPECT_EQ(r[0]->dict.at("Next"), "1");
    const std::string long_key(260, 'k');
    const auto k = chain(parse_cli_reply("Ref: a, " + long_key + ": \"open, More: x\n\n"));
    ASSERT_EQ(k.size(), 1u);
    EXPECT_EQ(k[0]->dict.at(long_key), "\"open");
    const auto shortline = chain(parse_cli_reply("Ref: a, Value: \"ab\n\n"));
    EXPECT_EQ(shortline[0]->dict.at("Value"), "\"ab");
}

TEST(Strings, TrimQuotesAndEscapes)
{
    EXPECT_EQ(str_trim("  a b \t"), "a b");
    EXPECT_EQ(str_ltrim("  a "), "a ");
    EXPECT_EQ(str_rtrim("  a "), "  a");
    EXPECT_EQ(str_remquotes("\"a\""), "a");
    EXPECT_EQ(str_remquotes("\"a"), "a");
    EXPECT_EQ(str_remquotes("a"), "a");
    EXPECT_EQ(str_unquote("\"say \\\"hi\\\" \\\\ \\n\""), "say \"hi\" \\ \\n");
    EXPECT_EQ(str_unquote("\""), "");
    EXPECT_EQ(str_unquote("12"), "12");
}

TEST(ChainOwnership, ALongListingIsFreedWithoutRecursion)
{
    std::string reply;
    for (int i = 0; i < 200000; ++i)
        reply += "Ref: r/" + std::to_string(i) + ", Value: 1\n";
    EXPECT_EQ(chain(parse_cli_reply(reply + "\n")).size(), 200000u);
}

class CliSocket : public testing::Test {
protected:
    void TearDown() override { close_cli_conn(); }
    test::root root_;
    cliserver::rig server_{root_.tree(), root_.record()};
};

TEST_F(CliSocket, AsksAndReadsWholeReplies)
{
    server_.start({"--bytewise", "--wrap", "--none"});
    bool unreachable = true;
    const auto r = cli("system/note", nullptr, &unreachable);
    EXPECT_FALSE(unreachable);
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(r->ref, "system/note");
    EXPECT_EQ(str_unquote(*r->value()), "a, \"quoted\" note \\ here");
    EXPECT_EQ(r->next, nullptr);

    EXPECT_EQ(cli("system/nothing", nullptr, &unreachable), nullptr);
    EXPECT_FALSE(unreachable);

    // A listing through a cache is asked once.
    reply_cache cache;
    EXPECT_EQ(chain(cli("input/", &cache)).size(), 4u);
    EXPECT_EQ(chain(cli("input/", &cache)).size(), 4u);
    EXPECT_EQ(server_.requests(), (std::vector<std::string>{"system/note", "system/nothing", "input/"}));
}

TEST_F(CliSocket, ReconnectsOnceWhenTheServerClosed)
{
    // One request a connection: every second request finds the old one gone.
    server_.start({"--one-shot"});
    for (int i = 0; i < 3; ++i)
        EXPECT_NE(cli("system/name"), nullptr) << i;
    // A server that restarted between requests is found again.
    server_.start();
    EXPECT_NE(cli("system/level"), nullptr);
}

TEST_F(CliSocket, AbsentDroppingOrHangingServerAnswersNothingSoon)
{
    bool unreachable = false;
    EXPECT_EQ(cli("system/name", nullptr, &unreachable), nullptr);
    EXPECT_TRUE(unreachable);

    server_.start({"--drop-on", "system/mode", "--hang-on", "system/level"});
    EXPECT_EQ(cli("system/mode", nullptr, &unreachable), nullptr);
    EXPECT_TRUE(unreachable);
    // Dropped, asked again once on a new connection, dropped again.
    EXPECT_EQ(server_.requests(), (std::vector<std::string>{"system/mode", "system/mode"}));

    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(cli("system/level", nullptr, &unreachable), nullptr);
    EXPECT_TRUE(unreachable);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(5));
    // The connection given up on is not reused for the next request.
    const auto r = cli("system/name", nullptr, &unreachable);
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(r->ref, "system/name");
}

} // namespace
} // namespace snmpbridge

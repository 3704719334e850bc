// The pass_persist dialogue, fed on a stream as snmpd writes it, against
// the stand-in CLI server and the test MIB.
#include "bridge.h"
#include "bridge_rig.h"
#include "mib_map.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>
#include <vector>

namespace snmpbridge {
namespace {

const std::string P(OID_PREFIX_STR);

class Bridge : public testing::Test {
protected:
    static void SetUpTestSuite()
    {
        root_ = new test::root;
        testing::internal::CaptureStderr();
        ASSERT_TRUE(load_mib());
        testing::internal::GetCapturedStderr();
    }
    static void TearDownTestSuite() { delete root_; }
    void SetUp() override { server_.forget_requests(); }
    void TearDown() override
    {
        server_.stop();
        close_cli_conn();
    }

    static std::string talk(const std::string &input)
    {
        std::istringstream in(input);
        std::ostringstream out;
        main_loop(in, out);
        return out.str();
    }
    static std::string get(const std::string &suboid) { return talk("PING\nget\n" + P + suboid + "\n"); }
    static std::string getnext(const std::string &suboid) { return talk("PING\ngetnext\n" + P + suboid + "\n"); }
    static std::string set(const std::string &suboid, const std::string &line)
    {
        return talk("PING\nset\n" + P + suboid + "\n" + line + "\n");
    }
    // The OID a getnext answered, as a sub-OID; "NONE" when none.
    static std::string next_of(const std::string &suboid)
    {
        const std::string a = getnext(suboid);
        if (a == "PONG\nNONE\n")
            return "NONE";
        const size_t from = a.find(P);
        return from == std::string::npos ? a : a.substr(from + P.size(), a.find('\n', from) - from - P.size());
    }

    static inline test::root *root_ = nullptr;
    cliserver::rig server_{root_->tree(), root_->record()};
};

TEST_F(Bridge, DialogueAnswersEveryRequestAndEndsWithItsInput)
{
    server_.start();
    // Lines before "PING" are passed over; a repeated "PING" is answered.
    EXPECT_EQ(talk("get\n" + P + ".1.1\nPING\nPING\nget\n" + P + ".1.1\n"),
              "PONG\nPONG\n" + P + ".1.1\nstring\ncard-1\n");
    EXPECT_EQ(talk("PING\nwalk\n" + P + ".1.1\n"), "PONG\nNONE\n");
    EXPECT_EQ(set(".1.1", "string"), "PONG\nwrong-type\n");
    EXPECT_EQ(talk("PING\nget\n.1.3.6.1.2.1.1.3.0\n"), "PONG\nNONE\n");
    EXPECT_EQ(talk("PING\nset\n.1.3.6.1.2.1.1.3.0\ninteger 1\n"), "PONG\nnot-writable\n");
    // Input that ends inside a request gets no answer and no wait.
    EXPECT_EQ(talk("PING\nget\n"), "PONG\n");
    EXPECT_EQ(talk("PING\nset\n" + P + ".1.1\n"), "PONG\n");
    EXPECT_EQ(talk(""), "");
}

TEST_F(Bridge, GetConvertsEachType)
{
    server_.start();
    struct {
        const char *suboid;
        const char *type, *value; // null type: NONE
    } cases[] = {
        {".1.1", "string", "card-1"},
        {".1.2", "integer", "1"},          // "On" in the enumeration
        {".1.3", "integer", "16"},         // "Europe/Paris" in the zone list
        {".1.4", "integer", "3600"},
        {".1.5", "string", "Write-Only Value"},
        {".1.8", "integer", "Write-Only Value"},
        {".1.9", "string", "a, \"quoted\" note \\ here"},
        {".2.1.2.3", "string", "card-3"},
        {".2.1.3.3", "integer", "5"},
        {".2.1.2.8", "string", "card-1"},  // this card's own parameters
        {".3.1.4.8.2", "integer", "2000"},
        {".3.1.3.3.4", "string", "feed"},
        {".2.1.2.4", nullptr, nullptr},    // no such card
        {".1.99", nullptr, nullptr},
    };
    for (const auto &c : cases) {
        const std::string want =
            c.type ? "PONG\n" + P + c.suboid + "\n" + c.type + "\n" + c.value + "\n" : "PONG\nNONE\n";
        EXPECT_EQ(get(c.suboid), want) << c.suboid;
    }
}

TEST_F(Bridge, GetOfWhatNamesNoLeafInstanceDoesNotAskTheServer)
{
    server_.start();
    for (const char *s : {".1.1.0", ".1.7", "", ".2.1.2", ".3.1.3.3", ".3.1.3.3.4.1", ".2.1.2.x"})
        EXPECT_EQ(get(s), "PONG\nNONE\n") << s;
    EXPECT_EQ(set(".1.1.0", "string \"x\""), "PONG\nnot-writable\n");
    EXPECT_TRUE(server_.requests().empty());
}

TEST_F(Bridge, WalkVisitsEveryInstanceInOrder)
{
    const std::vector<std::string> want{
        ".1.1", ".1.2", ".1.3", ".1.4", ".1.5", ".1.6", ".1.8", ".1.9", ".1.10",
        ".2.1.2.3", ".2.1.2.5", ".2.1.2.8", ".2.1.2.10",
        ".2.1.3.3", ".2.1.3.5", ".2.1.3.8",
        ".3.1.3.3.4", ".3.1.3.8.1", ".3.1.3.8.2",
        ".3.1.4.3.4", ".3.1.4.8.1", ".3.1.4.8.2",
    };
    // Replies cut into bytes, records continued over lines and "None"
    // records do not change what is found.
    const std::vector<std::vector<std::string>> knobs{{}, {"--bytewise", "--wrap", "--none"}};
    for (const auto &k : knobs) {
        server_.start(k);
        std::vector<std::string> seen;
        for (std::string at; seen.size() < 50;) {
            at = next_of(at);
            if (at == "NONE")
                break;
            seen.push_back(at);
        }
        EXPECT_EQ(seen, want) << (k.empty() ? "plain" : k.front());
    }
}

TEST_F(Bridge, GetnextPositions)
{
    server_.start();
    struct {
        const char *asked, *next;
    } cases[] = {
        {"", ".1.1"},                       // the root
        {".1", ".1.1"},
        {".1.2", ".1.3"},
        {".1.25", ".2.1.2.3"},              // after .1.10, not inside .1.2
        {".1.7", ".1.8"},                   // a leaf without reference
        {".2.1.2", ".2.1.2.3"},             // a bare column
        {".2.1.2.5", ".2.1.2.8"},           // this card, not in the listing
        {".2.1.2.3.99", ".2.1.2.5"},        // components past the index
        {".2.1.2.10", ".2.1.3.3"},          // last row: the next column
        {".2.1.2.4294967295", ".2.1.3.3"},
        {".2.1.2.99999999999", ".2.1.3.3"},
        {".3.1.3.3", ".3.1.3.3.4"},
        {".3.1.3.2.7", ".3.1.3.3.4"},       // a later card starts its inputs at 0
        {".3.1.3.3.4", ".3.1.3.8.1"},       // card 5 has no inputs
        {".3.1.4.8.2", "NONE"},             // the last instance
        {".4", "NONE"},
    };
    for (const auto &c : cases)
        EXPECT_EQ(next_of(c.asked), c.next) << c.asked;
    EXPECT_EQ(talk("PING\ngetnext\n.1.3.6.1.4.1.57321.3.64.9\n"), "PONG\n" + P + ".1.1\nstring\ncard-1\n");
    EXPECT_EQ(talk("PING\ngetnext\n.1.3.6.1.4.1.57321.3.66\n"), "PONG\nNONE\n");
}

TEST_F(Bridge, SetChecksConvertsAndConfirms)
{
    server_.start();
    struct {
        const char *suboid, *line, *result;
        const char *after; // the value a get reads afterwards, or null
    } cases[] = {
        {".1.1", "string \"new name\"", "DONE", "new name"},
        {".1.1", "string \"\"", "DONE", ""},
        {".1.9", "string \"say \"hi\" \\ there\"", "DONE", "say \"hi\" \\ there"},
        {".1.4", "integer 5", "not-writable", "3600"},
        {".2.1.2.3", "string \"x\"", "not-writable", "card-3"},
        {".1.6", "string \"7\"", "wrong-type", "5"},
        {".1.6", "integer 7", "DONE", "7"},
        {".1.2", "integer 5", "DONE", "5"},
        {".1.2", "integer 3", "wrong-value", "5"},   // not in the enumeration
        {".1.2", "integer five", "wrong-type", "5"},
        {".1.2", "string \"On\"", "wrong-type", "5"},
        {".1.3", "integer 417", "DONE", "417"},
        {".2.1.3.3", "integer 2", "DONE", "2"},
        {".2.1.3.8", "integer 2", "DONE", "2"},      // this card's own mode
        {".1.5", "string \"hidden\"", "DONE", nullptr},
        {".2.1.3.4", "integer 1", "not-writable", nullptr},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(set(c.suboid, c.line), "PONG\n" + std::string(c.result) + "\n") << c.suboid << " " << c.line;
        if (c.after) {
            const std::string got = get(c.suboid);
            EXPECT_EQ(got.substr(got.rfind('\n', got.size() - 2) + 1), std::string(c.after) + "\n") << c.suboid;
        }
    }
    // A number outside the enumeration never reaches the server.
    std::vector<std::string> mode_sets;
    for (const std::string &r : server_.requests())
        if (r.starts_with("system/mode "))
            mode_sets.push_back(r);
    EXPECT_EQ(mode_sets, (std::vector<std::string>{"system/mode Auto", "system/mode Off"}));
}

TEST_F(Bridge, SetOfAValueWithAZeroByteOrLineBreakNeverReachesTheServer)
{
    server_.start();
    using namespace std::string_literals;
    const std::string lines[] = {
        "string \"ab\0cd\""s, "string \"\0\""s, "string \"ab\rsystem/name x\""s, "integer 7\0"s, "integer 1\0"s,
    };
    const char *const suboids[] = {".1.1", ".1.1", ".1.1", ".1.6", ".1.2"};
    for (size_t i = 0; i < std::size(lines); ++i)
        EXPECT_EQ(set(suboids[i], lines[i]), "PONG\nwrong-value\n") << i;
    // The dialogue's own line break, and one inside a value given directly.
    EXPECT_EQ(do_set(".1.1", "string", "\"a\nsystem/name x\""), "wrong-value");
    for (const std::string &r : server_.requests())
        EXPECT_TRUE(r == "system/name" || r == "system/level" || r == "system/mode") << r;
    EXPECT_EQ(get(".1.1"), "PONG\n" + P + ".1.1\nstring\ncard-1\n");
}

TEST_F(Bridge, SetOfAValueStoredDifferentlyIsWrongValue)
{
    server_.start({"--store", "system/level=99", "--store", "system/name=other"});
    EXPECT_EQ(set(".1.6", "integer 7"), "PONG\nwrong-value\n");
    EXPECT_EQ(set(".1.1", "string \"mine\""), "PONG\nwrong-value\n");
}

TEST_F(Bridge, WithoutTheServerEveryRequestIsAnsweredAtOnce)
{
    EXPECT_EQ(get(".1.1"), "PONG\nNONE\n");
    EXPECT_EQ(getnext(""), "PONG\nNONE\n");
    EXPECT_EQ(set(".1.1", "string \"x\""), "PONG\nresource-unavailable\n");
    // A server that hangs on a listing ends the walk, not the agent.
    server_.start({"--hang-on", "proxy/"});
    EXPECT_EQ(getnext(".1.10"), "PONG\nNONE\n");
    EXPECT_EQ(get(".1.1"), "PONG\n" + P + ".1.1\nstring\ncard-1\n");
}

} // namespace
} // namespace snmpbridge

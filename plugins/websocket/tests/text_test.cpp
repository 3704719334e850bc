// Plain parts of the front end: JSON text escaping, member names, the
// dialogue parser and the JSON rendering of every kind of parameter.
#include "cmd_standins.h"
#include "dialogue.h"
#include "json_text.h"
#include "probe.h"
#include "test_support.h"
#include "ws.h"

#include <kerrow/plugin.h>
#include <kerrow/ref.h>

#include <gtest/gtest.h>

#include <string>

namespace {

std::string escaped(std::string_view s)
{
    std::string out;
    ws::json_escape_append(out, s);
    return out;
}

TEST(JsonText, EscapesAsRfc8259AndReplacesIllFormedUtf8)
{
    const struct {
        std::string in, out;
    } cases[] = {
        {"plain", "plain"},
        {"say \"hi\"", "say \\\"hi\\\""},
        {"C:\\dir\\", "C:\\\\dir\\\\"},
        {"a\nb\tc\rd\be\ff", "a\\nb\\tc\\rd\\be\\ff"},
        {std::string("\x01\x1f\x7f", 3), "\\u0001\\u001f\x7f"},
        {std::string("nul\0x", 5), "nul\\u0000x"},
        {"/ stays", "/ stays"},
        {"\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80", "\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80"}, // é € 😀 kept
        {"a\xFF" "b", "a\xEF\xBF\xBD" "b"},                        // byte never valid
        {"\xC3", "\xEF\xBF\xBD"},                                  // cut at the end
        {"\xE2\x82" "x", "\xEF\xBF\xBD" "x"},                      // truncated sequence: one U+FFFD
        {"\xC0\xAF", "\xEF\xBF\xBD\xEF\xBF\xBD"},                  // overlong: each byte
        {"\xED\xA0\x80", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},  // surrogate
        {"\xF4\x90\x80\x80", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"}, // above U+10FFFF
        {"\x80\x80", "\xEF\xBF\xBD\xEF\xBF\xBD"},                  // stray continuations
    };
    for (const auto &c : cases)
        EXPECT_EQ(escaped(c.in), c.out) << "input: " << c.in;
}

TEST(JsonText, MemberNameIsTheLastSegmentLoweredWithBlanksAsUnderscores)
{
    EXPECT_EQ(ws::json_label("websocket/Client Count"), "client_count");
    EXPECT_EQ(ws::json_label("top"), "top");
    EXPECT_EQ(ws::json_label("a/b/Row 0"), "row_0");
    EXPECT_EQ(ws::json_label(""), "");
    EXPECT_EQ(ws::json_label("a/"), "");
}

TEST(Dialogue, MessagesCutIntoReadsAndSets)
{
    using R = std::vector<ws::request>;
    const struct {
        std::string message;
        R want;
    } cases[] = {
        {"probe/level", R{{false, "probe/level", ""}}},
        {"  probe/level \n", R{{false, "probe/level", ""}}},
        {"probe/level 42", R{{true, "probe/level", "42"}}},
        {"probe/text a b  c", R{{true, "probe/text", "a b  c"}}},
        {"probe/text \"\"", R{{true, "probe/text", ""}}},
        {"probe/text \"x\"", R{{true, "probe/text", "\"x\""}}},
        {"probe/level!@#probe/level 7", R{{false, "probe/level", ""}, {true, "probe/level", "7"}}},
        {"!@#!@# !@#a!@#", R{{false, "a", ""}}},
        {"probe/ro**", R{{false, "probe/ro**", ""}}},
        {"", R{}},
        {"probe/text\tv", R{{true, "probe/text", "v"}}},
    };
    for (const auto &c : cases) {
        const R got = ws::parse_message(c.message);
        ASSERT_EQ(got.size(), c.want.size()) << c.message;
        for (size_t i = 0; i < got.size(); ++i) {
            EXPECT_EQ(got[i].is_set, c.want[i].is_set) << c.message;
            EXPECT_EQ(got[i].route, c.want[i].route) << c.message;
            EXPECT_EQ(got[i].value, c.want[i].value) << c.message;
        }
    }
}

// Rendering without a server: the client has no connection and its output
// stays in the buffer.
class ParamJson : public kdtest::FrameTest {
protected:
    kdtest::CommandStandins commands_{root_ / "cmd"};
    void SetUp() override
    {
        FrameTest::SetUp();
        ws::state().pli = __test_insert_active_plugin("websocket", "/nowhere/libsv-websocket.so");
        probe::build(__test_insert_active_plugin("probe", "/nowhere/libsv-probe.so"));
    }
    void TearDown() override
    {
        ws::release_clients();
        ws::state().pli = nullptr;
        FrameTest::TearDown();
    }
    std::string render(const char *route, param_depth depth)
    {
        param_context *p = kd_param_get_by_route(route);
        EXPECT_NE(p, nullptr) << route;
        ws::ws_client &c = ws::bind_new_client(nullptr);
        c.paramDepth = depth;
        EXPECT_EQ(ws::ws_on_get_param_json(c, p), 0);
        EXPECT_EQ(c.notify, 1);
        std::string out = c.pending.substr(ws::kPre);
        ws::remove_client(c);
        return out;
    }
};

const char *no_choices(param_context *) { return nullptr; }

TEST_F(ParamJson, EveryKindRendersAsOneObjectEndedByTheDelimiter)
{
    probe::current().level = 7;
    probe::current().mode = "On";
    probe::current().flags = "red,blue";
    probe::current().text = "say \"hi\"\\\n";
    probe::current().secret = "never shown";
    // A choice whose table is empty, with an unsafe label.
    kd_param_alloc_choice(kd_param_get_cfg(kd_plugin_get_pli_by_name("probe")), "odd", "Odd \"Label\"",
                          PARAMCTRL_RDWR_NOPERSIST, nullptr, no_choices, nullptr, nullptr, nullptr);
    const std::string head = R"("readonly":false,"writeonly":false,)";
    const std::string nohelp = R"("help":"There is no help data available.",)";
    const struct {
        const char *route;
        param_depth depth;
        std::string want;
    } cases[] = {
        {"probe/level", PARAM_DEPTH_NONE,
         R"({"level":{"label":"Level","type":"Number",)" + nohelp + head +
             R"("ref":"probe/level","value":7,"min":0,"max":100,"step":1}}!@#)"},
        {"probe/mode", PARAM_DEPTH_ALL,
         R"({"mode":{"label":"Mode","type":"Choice",)" + nohelp + head +
             R"("ref":"probe/mode","value":"On","choices":["Off","On","Auto"]}}!@#)"},
        {"probe/flags", PARAM_DEPTH_NONE,
         R"({"flags":{"label":"Flags","type":"Set",)" + nohelp + head +
             R"("ref":"probe/flags","value":"red,blue","options":["red","green","blue"]}}!@#)"},
        {"probe/text", PARAM_DEPTH_NONE,
         R"({"text":{"label":"Text","type":"String","help":"Any text at all.",)" + head +
             R"("ref":"probe/text","value":"say \"hi\"\\\n"}}!@#)"},
        {"probe/secret", PARAM_DEPTH_NONE,
         R"({"secret":{"label":"Secret","type":"String",)" + nohelp +
             R"("readonly":false,"writeonly":true,"ref":"probe/secret"}}!@#)"},
        {"probe/odd", PARAM_DEPTH_NONE,
         R"({"odd":{"label":"Odd \"Label\"","type":"Choice",)" + nohelp + head +
             R"("ref":"probe/odd","value":"","choices":[]}}!@#)"},
        {"probe/rows", PARAM_DEPTH_NONE,
         R"({"rows":{"label":"Rows","type":"Table",)" + nohelp +
             R"("readonly":true,"writeonly":false,"ref":"probe/rows","params":"hidden"}}!@#)"},
    };
    for (const auto &c : cases)
        EXPECT_EQ(render(c.route, c.depth), c.want) << c.route;
}

TEST_F(ParamJson, DepthDecidesHowFarListsOpen)
{
    const std::string row0 = R"("row_0":{"label":"Row 0","type":"List","help":"There is no help data available.",)"
                             R"("readonly":true,"writeonly":false,"ref":"probe/rows/row_0","params":)";
    const std::string value0 = R"("value":{"label":"Value","type":"Number","help":"There is no help data available.",)"
                               R"("readonly":true,"writeonly":false,"ref":"probe/rows/row_0/value","value":0,)"
                               R"("min":0,"max":100,"step":1})";
    const std::string one = render("probe/rows", PARAM_DEPTH_ONE);
    EXPECT_NE(one.find(row0 + R"("hidden"},"row_1")"), std::string::npos) << one;
    EXPECT_EQ(one.find("probe/rows/row_0/value"), std::string::npos);
    const std::string all = render("probe/rows", PARAM_DEPTH_ALL);
    EXPECT_NE(all.find(row0 + "{" + value0 + "}}"), std::string::npos) << all;
    EXPECT_EQ(all.substr(all.size() - 7), "}}}}!@#");

    // A deleted row leaves a placeholder in the table: not shown among
    // the children.
    kd_param_delete(kd_param_get_by_route("probe/rows/row_1"));
    const std::string after = render("probe/rows", PARAM_DEPTH_ONE);
    EXPECT_EQ(after.find("row_1"), std::string::npos) << after;
    EXPECT_NE(after.find(R"("hidden"},"row_2")"), std::string::npos) << after;
}

TEST_F(ParamJson, SearchMembersAreRenderedInsideTheOuterObject)
{
    char query[] = "probe/l*";
    param_depth depth = PARAM_DEPTH_NONE;
    param_context *list = kd_param_get_query_list(query, &depth);
    ASSERT_NE(list, nullptr);
    ws::ws_client &c = ws::bind_new_client(nullptr);
    c.paramDepth = depth;
    ASSERT_EQ(ws::ws_on_get_param_json(c, list), 0);
    const std::string out = c.pending.substr(ws::kPre);
    EXPECT_EQ(out.rfind(R"({"level":{"label":"Level")", 0), 0u) << out;
    EXPECT_EQ(out.substr(out.size() - 5), "}}!@#");
    EXPECT_EQ(out.find("\"mode\""), std::string::npos);
    void *ref = list;
    kd_ref_free_safe(&ref);
}

TEST_F(ParamJson, AWalkForAClientGoneMeanwhileTouchesNothing)
{
    max_param_prints = 2; // the walk goes on at later passes
    ws::ws_client &c = ws::bind_new_client(nullptr);
    c.paramDepth = PARAM_DEPTH_ALL;
    ASSERT_EQ(ws::ws_on_get_param_json(c, kd_param_get_by_route("probe/rows")), 0);
    EXPECT_EQ(c.notify, 0);
    ws::remove_client(c);
    ws::ws_client &later = ws::bind_new_client(nullptr); // may reuse the memory
    run_for(0.2);
    EXPECT_EQ(later.pending.size(), ws::kPre); // nothing of the old walk
    EXPECT_EQ(later.notify, 1);
    max_param_prints = 3000;
}

} // namespace

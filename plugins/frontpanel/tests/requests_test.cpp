// The daemon's requests, sent by the stand-in to the loaded plug-in, read
// and set parameters of another owner's tree through their set path.
#include "fp_rig.h"

#include <kerrow/cuvent.h>
#include <kerrow/plugin.h>

#include <cstdlib>

namespace {

using fptest::FrontPanelTest;

// A small tree of every kind under the owner "probe".
struct Probe {
    static inline int level = 42;
    static inline std::string name = "studio", mode = "Auto", flags = "a";
    static inline std::vector<std::string> sets; // texts the setters were given

    static void build()
    {
        level = 42, name = "studio", mode = "Auto", flags = "a";
        sets.clear();
        plugin_load_info *pli = __test_insert_active_plugin("probe", "/nowhere/libsv-probe.so");
        param_context *top = kd_param_create_cfg(pli);
        kd_param_alloc_number(top, nullptr, "Level", PARAMCTRL_RDWR, nullptr, [](param_context *) { return level; },
                              nullptr, nullptr, nullptr, [](param_context *, const char *t) {
                                  sets.push_back(t);
                                  char *end = nullptr;
                                  const long v = std::strtol(t, &end, 10);
                                  if (*t == '\0' || *end)
                                      return PARAM_SET_FAILURE;
                                  level = int(v);
                                  return PARAM_SET_SUCCESS;
                              }, nullptr);
        kd_param_alloc_number(top, nullptr, "Fixed", PARAMCTRL_RDONLY, nullptr, [](param_context *) { return 5; },
                              nullptr, nullptr, nullptr, [](param_context *, const char *t) {
                                  sets.push_back(t);
                                  return PARAM_SET_SUCCESS;
                              }, nullptr);
        kd_param_alloc_string(top, nullptr, "Name", PARAMCTRL_RDWR, nullptr,
                              [](param_context *) { return name.c_str(); }, [](param_context *, const char *t) {
                                  sets.push_back(t);
                                  name = t;
                                  return PARAM_SET_SUCCESS;
                              }, nullptr);
        kd_param_alloc_choice(top, nullptr, "Mode", PARAMCTRL_RDWR, nullptr,
                              [](param_context *) { return mode.c_str(); }, nullptr,
                              [](param_context *, const char *t) {
                                  sets.push_back(t);
                                  mode = t;
                                  return PARAM_SET_SUCCESS;
                              }, nullptr);
        kd_param_alloc_set(top, nullptr, "Flags", PARAMCTRL_RDWR_NOPERSIST, nullptr,
                           [](param_context *) { return flags.c_str(); }, nullptr,
                           [](param_context *, const char *t) {
                               sets.push_back(t);
                               flags = t;
                               return PARAM_SET_SUCCESS;
                           }, nullptr);
        kd_param_alloc_list(top, nullptr, "Group", nullptr);
    }
};

std::string framed(const std::string &answer) { return "0\r\n" + answer + "\r\n"; }

class RequestTest : public FrontPanelTest {
protected:
    void SetUp() override
    {
        FrontPanelTest::SetUp();
        start();
        Probe::build();
        run_once(); // frame run: the built-in menus
        forget_sent();
    }

    // Sends one request and waits for the reply it brings.
    menud::message ask(uint32_t type, const std::string &text, uint32_t id = 0, int32_t hw = 0)
    {
        const size_t before = sent().size();
        EXPECT_TRUE(daemon().send(type, text, id, hw)) << text;
        EXPECT_TRUE(run_until([&] { return sent().size() > before; })) << text;
        auto all = sent();
        return all.size() > before ? all[before] : menud::message{};
    }
};

TEST_F(RequestTest, ReadsAndSetsEveryKindAndAnswersInTheDaemonsFraming)
{
    static int updates;
    updates = 0;
    kd_cuvent_register_cb(nullptr, "on_param_update", [](cuvent_wrapper *w) {
        updates += std::string(kd_param_get_scope(static_cast<param_context *>(w->emit_ctx))) == "probe/level";
    }, nullptr, CUVFLT_NONE);

    struct Case {
        uint32_t type;
        std::string text;
        uint32_t reply;
        std::string answer;
    } cases[] = {
        {103, "probe/level", 104, "42"},
        {105, "probe/level \"17\"", 106, "17"},
        {103, "probe/level", 104, "17"}, // read back
        {105, "probe/level\t\"junk", 106, "junk"}, // refused by the owner, answered as sent
        {112, "probe/level", 113, "17"},
        {101, "probe/name", 102, "studio"},
        {105, "probe/name \"two words\"", 106, "two"}, // a value ends at its first blank
        {103, "probe/name", 104, "two"},
        {105, "probe/mode \"Manual\"", 106, "Manual"},
        {103, "probe/mode", 104, "Manual"},
        {105, "probe/flags \"b,c", 106, "b,c"}, // no closing quote
        {103, "probe/flags", 104, "b,c"},
        {103, "probe/group", 104, ""}, // a list has no value
        {105, "probe/group \"x\"", 106, "x"},
        {103, "probe/nowhere", 104, "?"},
        {105, "probe/nowhere \"1\"", 106, "?"},
        {103, "probe/level\r\nprobe/name", 104, "17"}, // only the first line counts
        {103, "  probe/level  ", 104, "17"},
        {200, "probe/level", 200, "17"}, // an unknown type keeps its own
    };
    uint32_t id = 1000;
    for (const auto &c : cases) {
        SCOPED_TRACE(c.text);
        ++id;
        const menud::message r = ask(c.type, c.text, id, int32_t(id % 7));
        const std::string text = framed(c.answer);
        EXPECT_EQ(r.type, c.reply);
        EXPECT_EQ(r.text, text);
        EXPECT_EQ(r.id, id);
        EXPECT_EQ(r.hardware_index, int32_t(id % 7));
        EXPECT_EQ(r.sender, 8000);
        EXPECT_EQ(r.aux2, text.size() + 4);
        EXPECT_EQ(r.length, text.size() + 24);
    }
    EXPECT_EQ(Probe::sets, (std::vector<std::string>{"17", "junk", "two", "Manual", "b,c"}));
    EXPECT_EQ(updates, 2); // every set through the set path is announced
    EXPECT_EQ(log_.count("Unknown message type 200 for probe/level"), 1);
    EXPECT_EQ(log_.count("Failed to find the param 'probe/nowhere'"), 2);
    EXPECT_EQ(log_.count("Found a set with param ='probe/level' and value='17'"), 1);
    EXPECT_EQ(log_.count("Type is number with value='17'"), 1);
    EXPECT_EQ(log_.count("Type is choice with value='Manual'"), 1);
    EXPECT_EQ(log_.count("Type is string with value='b,c'"), 1);
}

TEST_F(RequestTest, ReadOnlyAndDeletedTargetsAreNotSet)
{
    menud::message r = ask(105, "probe/fixed \"9\"");
    EXPECT_EQ(r.text, framed("9"));
    EXPECT_EQ(log_.count("Fixed is read only. Set not permitted."), 1);
    EXPECT_EQ(ask(103, "probe/fixed").text, framed("5"));

    // A deleted parameter leaves a placeholder under its route: not found.
    kd_param_delete(kd_param_get_by_route("probe/name"));
    EXPECT_EQ(ask(105, "probe/name \"x\"").text, framed("?"));
    EXPECT_EQ(ask(103, "probe/name").text, framed("?"));
    EXPECT_TRUE(Probe::sets.empty());
}

// Bytes no daemon should send: each is answered (or dropped) without a
// read or write out of bounds (the build runs under ASan).
TEST_F(RequestTest, MalformedRequestsAreAnsweredOrRefusedSafely)
{
    const std::string long_value(300, 'v');
    std::string long_route(256, 'r'); // appended in place: GCC 12 misreads the inlined copy of a + b
    long_route += " \"1";
    struct Case {
        const char *what;
        std::vector<uint8_t> bytes;
        const char *answer; // null: no reply
    } cases[] = {
        {"no terminator in 4096 bytes", std::vector<uint8_t>(4096, 'a'), "?"}, // type 0x61616161
        {"a 300-character route", menud::encode(103, "probe/" + std::string(294, 'x')), "?"},
        {"a 256-character route and a value", menud::encode(105, long_route), "?"},
        {"an empty attachment", menud::encode(103, ""), "?"},
        {"only the header", menud::encode(103, "", 0, 0, 20), "?"},
        {"a quote and nothing behind it", menud::encode(105, "probe/level \""), "17"},
        {"a header cut short", menud::encode(103, "", 0, 0, 10), nullptr},
        {"nothing", {}, nullptr},
    };
    ask(105, "probe/level \"17");
    for (auto &c : cases) {
        SCOPED_TRACE(c.what);
        const size_t before = sent().size();
        ASSERT_TRUE(daemon().send_raw(c.bytes));
        if (c.answer) {
            ASSERT_TRUE(run_until([&] { return sent().size() > before; }));
            EXPECT_EQ(sent()[before].text, framed(c.answer));
        } else {
            ASSERT_TRUE(run_until([&] { return log_.count("shorter than its header") > 0; }));
            log_.clear();
            daemon_drained();
            EXPECT_EQ(sent().size(), before);
        }
    }
    // A value longer than a word is cut to 256 bytes; the answer to 254.
    const menud::message r = ask(105, "probe/name \"" + long_value);
    EXPECT_EQ(Probe::sets.back(), std::string(256, 'v'));
    EXPECT_EQ(r.text, framed(std::string(254, 'v')));
}

} // namespace

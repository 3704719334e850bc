#include "param_test_support.h"

#include <ev.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

using kdtest::ParamTest;

struct Owner {
    int value = 5;
    std::vector<std::pair<param_context *, std::string>> sets;
    param_set_result answer = PARAM_SET_SUCCESS;
};
Owner g_owner;

int owner_value(param_context *) { return g_owner.value; }
param_set_result owner_set(param_context *p, const char *text)
{
    g_owner.sets.emplace_back(p, text);
    if (g_owner.answer == PARAM_SET_SUCCESS)
        g_owner.value = std::atoi(text);
    return g_owner.answer;
}

class ParamValueTest : public ParamTest {
protected:
    void SetUp() override
    {
        ParamTest::SetUp();
        g_owner = {};
        root_ = kd_param_alloc_list(nullptr, "root", "Root", nullptr);
        num_ = kd_param_alloc_number(root_, nullptr, "Num", PARAMCTRL_RDWR, nullptr, owner_value,
                                     nullptr, nullptr, nullptr, owner_set, nullptr);
        events_.take();
    }
    param_context *root_ = nullptr;
    param_context *num_ = nullptr;
};

TEST_F(ParamValueTest, EverySetIsAnnouncedOnceUnlessManuallyNotified)
{
    param_number_ops *ops = kd_param_get_number_ops(num_);
    ASSERT_NE(ops, nullptr);
    EXPECT_EQ(ops->set(num_, "7"), PARAM_SET_SUCCESS);
    EXPECT_EQ(ops->value(num_), 7);
    g_owner.answer = PARAM_SET_FAILURE;
    EXPECT_EQ(ops->set(num_, "9"), PARAM_SET_FAILURE); // refused: still announced
    EXPECT_EQ(ops->value(num_), 7);
    EXPECT_EQ(events_.take(), (std::vector<std::string>{"update root/num", "update root/num"}));
    EXPECT_EQ(g_owner.sets.size(), 2u);
    EXPECT_EQ(g_owner.sets[1].first, num_);

    EXPECT_EQ(kd_param_set_manual_notify(num_, true), 0);
    ops->set(num_, "8");
    EXPECT_EQ(events_.take().size(), 0u);
    kd_param_notify(num_);
    EXPECT_EQ(events_.take(), (std::vector<std::string>{"update root/num"}));

    // Without an owner's setter a set succeeds and changes nothing.
    param_context *plain = kd_param_alloc_choice(root_, nullptr, "Plain", PARAMCTRL_RDWR, nullptr,
                                                 nullptr, nullptr, nullptr, nullptr);
    events_.take();
    EXPECT_EQ(kd_param_get_choice_ops(plain)->set(plain, "x"), PARAM_SET_SUCCESS);
    EXPECT_EQ(events_.take(), (std::vector<std::string>{"update root/plain"}));
    // ... and its choices are an empty table that the reader releases.
    const char **choices = kd_param_get_choice_ops(plain)->choices(plain);
    ASSERT_NE(choices, nullptr);
    EXPECT_EQ(choices[0], nullptr);
    kd_ref_free_safe(reinterpret_cast<void **>(&choices));
    EXPECT_EQ(choices, nullptr);
}

TEST_F(ParamValueTest, ASetterMayDeleteTheRowHoldingItsNode)
{
    param_context *t = kd_param_alloc_table(root_, nullptr, "T", nullptr);
    param_context *row = kd_param_alloc_row(t, nullptr, nullptr);
    param_context *remove = kd_param_alloc_string(
        row, nullptr, "Remove", PARAMCTRL_WRONLY, nullptr, nullptr,
        [](param_context *, const char *) {
            kd_param_delete(kd_param_get_by_route("root/t/row_0"));
            return PARAM_SET_SUCCESS;
        },
        nullptr);
    ASSERT_NE(remove, nullptr);
    events_.take();
    EXPECT_EQ(kd_param_get_string_ops(remove)->set(remove, "1"), PARAM_SET_SUCCESS);
    EXPECT_EQ(events_.take(),
              (std::vector<std::string>{"remove root/t/row_0", "free root/t/row_0",
                                        "free root/t/row_0/remove", "insert root/t/row_0"}));
    EXPECT_EQ(kd_param_get_type(row), PARAMTYPE_NONE);
}

TEST_F(ParamValueTest, OpsRecordsMatchTheKindOnly)
{
    param_context *s = kdtest::ParamTest::leaf(root_, "S");
    param_context *c = kd_param_alloc_choice(root_, nullptr, "C", PARAMCTRL_RDWR, nullptr, nullptr,
                                             nullptr, nullptr, nullptr);
    param_context *st = kd_param_alloc_set(root_, nullptr, "St", PARAMCTRL_RDWR, nullptr, nullptr,
                                           nullptr, nullptr, nullptr);
    struct Case {
        param_context *p;
        bool number, string, choice, set;
    } cases[] = {
        {num_, true, false, false, false},   {s, false, true, false, false},
        {c, false, false, true, false},      {st, false, false, false, true},
        {root_, false, false, false, false}, {nullptr, false, false, false, false},
    };
    for (const auto &k : cases) {
        EXPECT_EQ(kd_param_get_number_ops(k.p) != nullptr, k.number);
        EXPECT_EQ(kd_param_get_string_ops(k.p) != nullptr, k.string);
        EXPECT_EQ(kd_param_get_choice_ops(k.p) != nullptr, k.choice);
        EXPECT_EQ(kd_param_get_set_ops(k.p) != nullptr, k.set);
    }
    char *v = kd_param_get_value_text(num_);
    EXPECT_STREQ(v, "5");
    std::free(v);
    v = kd_param_get_value_text(s);
    EXPECT_STREQ(v, "text");
    std::free(v);
    EXPECT_EQ(kd_param_get_value_text(c), nullptr); // no value callback
    EXPECT_EQ(kd_param_get_value_text(root_), nullptr);
}

TEST_F(ParamValueTest, AccessChanges)
{
    struct Case {
        const char *what;
        param_context *p;
        int rw;
        int result;
        int err; // kd_errno after, 0: untouched
        int updates;
    } cases[] = {
        {"leaf to read-only", num_, PARAMCTRL_RDONLY, 0, 0, 1},
        {"leaf to no-persist", num_, PARAMCTRL_RDWR_NOPERSIST, 0, 0, 1},
        {"out of range", num_, 4, -1, KD_ERR_PARAM_CONTROL_INVALID, 0},
        {"negative", num_, -1, -1, KD_ERR_PARAM_CONTROL_INVALID, 0},
        {"list to read-write", root_, PARAMCTRL_RDWR, -1, KD_ERR_PARAM_CONTROL_RDONLY, 0},
        {"list to read-only", root_, PARAMCTRL_RDONLY, 0, 0, 0},
    };
    for (const auto &c : cases) {
        kd_errno = 0;
        EXPECT_EQ(kd_param_set_readwrite(c.p, static_cast<param_control>(c.rw)), c.result)
            << c.what;
        EXPECT_EQ(kd_errno, c.err) << c.what;
        EXPECT_EQ(static_cast<int>(events_.take().size()), c.updates) << c.what;
    }
    EXPECT_EQ(kd_param_get_readwrite(num_), PARAMCTRL_RDWR_NOPERSIST);
    EXPECT_STREQ(kd_param_get_readwrite_string(num_), "Read Write No Persist");
    EXPECT_STREQ(kd_param_get_readwrite_string(root_), "Read Only");
    EXPECT_EQ(log_.count("Attempted to set invalid readwrite state for param: 'root/num'"), 2);
}

// ---- queries ----

class ParamQueryTest : public ParamValueTest {
protected:
    void SetUp() override
    {
        ParamValueTest::SetUp();
        plugin_load_info pli = make_pli("mcastfwdr");
        mf_ = kd_param_create_cfg(&pli);
        outputs_ = kd_param_alloc_list(mf_, "outputs", "Outputs", nullptr);
        leaf(outputs_, "Rate");
        leaf(mf_, "Out X");
        leaf(mf_, "Inputs");
    }
    static std::vector<std::string> routes(param_context *result)
    {
        std::vector<std::string> out;
        for (size_t i = 0; i < kd_param_list_count(result); ++i)
            out.push_back(kd_param_get_scope(kd_param_list_index(result, static_cast<int>(i))));
        return out;
    }
    param_context *mf_ = nullptr;
    param_context *outputs_ = nullptr;
};

TEST_F(ParamQueryTest, PrefixMatchesAndDepthFromStars)
{
    struct Case {
        const char *query;
        const char *left; // the caller's text afterwards
        param_depth depth;
        std::vector<std::string> routes;
    } cases[] = {
        {"mcastfwdr/**",
         "mcastfwdr/",
         PARAM_DEPTH_ALL,
         {"mcastfwdr/outputs", "mcastfwdr/out_x", "mcastfwdr/inputs"}},
        {"mcastfwdr", "mcastfwdr", PARAM_DEPTH_NONE, {"mcastfwdr"}},
        {"mcastfwdr/out*",
         "mcastfwdr/out",
         PARAM_DEPTH_ONE,
         {"mcastfwdr/outputs", "mcastfwdr/out_x"}},
        {"mcastfwdr/outputs/r",
         "mcastfwdr/outputs/r",
         PARAM_DEPTH_NONE,
         {"mcastfwdr/outputs/rate"}},
        {"mcastfwdr/***", "mcastfwdr/*", PARAM_DEPTH_ALL, {}},
        {"nothing", "nothing", PARAM_DEPTH_NONE, {}},
        {"", "", PARAM_DEPTH_NONE, {"frame", "root", "mcastfwdr"}},
    };
    for (const auto &c : cases) {
        char buf[64];
        std::strcpy(buf, c.query);
        param_depth depth = PARAM_DEPTH_ONE;
        param_context *r = kd_param_get_query_list(buf, &depth);
        ASSERT_NE(r, nullptr);
        EXPECT_STREQ(buf, c.left);
        EXPECT_EQ(depth, c.depth) << c.query;
        EXPECT_STREQ(kd_param_get_label(r), "Search");
        EXPECT_STREQ(kd_param_get_scope(r), "");
        EXPECT_EQ(kd_param_get_type(r), PARAMTYPE_LIST);
        std::vector<std::string> got = routes(r);
        if (!*c.query) // other services add roots of their own
            std::erase_if(got, [&](const std::string &s) {
                return std::find(c.routes.begin(), c.routes.end(), s) == c.routes.end();
            });
        EXPECT_EQ(got, c.routes) << c.query;
        kd_ref_free_safe(reinterpret_cast<void **>(&r));
        EXPECT_EQ(r, nullptr);
    }
}

TEST_F(ParamQueryTest, CopiesSetThroughTheOwnerAndOutliveTheirNodes)
{
    char q[] = "root/num";
    param_context *r = kd_param_get_query_list(q, nullptr);
    param_context *copy = kd_param_list_index(r, 0);
    ASSERT_NE(copy, nullptr);
    EXPECT_NE(copy, num_);
    events_.take();
    EXPECT_EQ(kd_param_get_number_ops(copy)->set(copy, "11"), PARAM_SET_SUCCESS);
    EXPECT_EQ(g_owner.sets.back().first, copy);
    ASSERT_EQ(events_.updated.size(), 1u);
    EXPECT_EQ(events_.updated[0], copy);
    EXPECT_EQ(kd_param_get_number_ops(num_)->value(num_), 11);
    // A copy is not a node of the tree.
    kd_param_delete(copy);
    EXPECT_EQ(log_.count("Cannot delete param Num - not found"), 1);

    char q2[] = "mcastfwdr/outputs";
    param_context *r2 = kd_param_get_query_list(q2, nullptr);
    param_context *out_copy = kd_param_list_index(r2, 0);
    EXPECT_EQ(kd_param_list_count(out_copy), 1u);
    EXPECT_EQ(kd_param_alloc_list(out_copy, nullptr, "New", nullptr), nullptr);
    // The originals go while the results are held: the copies stay readable.
    kd_param_delete(mf_);
    kd_param_delete(num_);
    EXPECT_STREQ(kd_param_get_scope(out_copy), "mcastfwdr/outputs");
    EXPECT_EQ(kd_param_list_count(out_copy), 0u);
    EXPECT_STREQ(kd_param_get_label(copy), "Num");
    kd_ref_free_safe(reinterpret_cast<void **>(&r));
    kd_ref_free_safe(reinterpret_cast<void **>(&r2));
}

// ---- automatic notification ----

struct Polled {
    std::string value;
    int reads = 0;
    std::vector<double> at{}; // the loop's time of each read
};
Polled g_polled[4];

const char *polled_value(param_context *p)
{
    auto *w = static_cast<Polled *>(kd_param_get_userdata(p));
    ++w->reads;
    w->at.push_back(ev_now(kd_frame_get_loop()));
    // A fresh registered text, as owners hand out: the reader releases it.
    char *t = strdup(w->value.c_str());
    kd_ref_init_ptr(t, nullptr);
    return t;
}

TEST_F(ParamValueTest, AutoNotifyPollsEveryThreeSecondsAndReportsOnlyChanges)
{
    const std::string prefix(39, 'p');
    g_polled[0] = {"steady"};
    g_polled[1] = {"before"};
    g_polled[2] = {prefix + "1"};
    g_polled[3] = {"deleted"};
    param_context *nodes[4];
    for (int i = 0; i < 4; ++i) {
        nodes[i] =
            kd_param_alloc_string(root_, nullptr, ("P" + std::to_string(i)).c_str(),
                                  PARAMCTRL_RDONLY, nullptr, polled_value, nullptr, &g_polled[i]);
        kd_param_init_auto_notify(nodes[i], 1.0); // raised to 3 s
    }
    kd_param_init_auto_notify(root_, 1.0); // lists are ignored
    // After the first poll: one value changes, one changes past 39 characters,
    // one node is deleted.
    kd_frame_timeout_register(
        "change",
        [](void *ctx) {
            g_polled[1].value = "after";
            g_polled[2].value.assign(39, 'p').push_back('2');
            kd_param_delete(static_cast<param_context *>(ctx));
        },
        nodes[3], 1.0, 0, nullptr);
    events_.take();
    // Until the kept nodes' second poll; the limit only ends a hung loop.
    kd_frame_timeout_register("polled-twice", [](void *) {
        if (g_polled[0].reads >= 2 && g_polled[1].reads >= 2 && g_polled[2].reads >= 2)
            kd_shutdown();
    }, nullptr, 0.01, 1, nullptr);
    run_for(60);
    kd_frame_stop_watcher("polled-twice", nullptr);

    std::vector<std::string> seen = events_.take();
    auto updates_of = [&](const char *route) {
        return std::count(seen.begin(), seen.end(), std::string("update ") + route);
    };
    EXPECT_EQ(updates_of("root/p0"), 1);
    EXPECT_EQ(updates_of("root/p1"), 2);
    EXPECT_EQ(updates_of("root/p2"), 1);
    EXPECT_EQ(updates_of("root/p3"), 1);
    ASSERT_EQ(g_polled[0].reads, 2);
    // 3 s apart by the loop's clock, not every second (a loaded machine
    // only makes it later).
    EXPECT_GE(g_polled[0].at[1] - g_polled[0].at[0], 3.0 - 1e-3);
    EXPECT_EQ(g_polled[3].reads, 1); // its timer went with the node
}

} // namespace

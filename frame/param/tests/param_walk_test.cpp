#include "param_test_support.h"

#include <map>
#include <string>
#include <vector>

namespace {

using kdtest::ParamTest;

// What a front end would see of a walk.
struct Seen {
    std::vector<std::string> heads;   // "route depth" per cb call
    std::vector<std::string> footers; // routes per cb_footer call
    std::vector<size_t> pass_ends;    // heads.size() at the end of each pass
    int finished = 0;
    int footer_answer = 0;
    std::string fail_footer_of; // route whose footer answers -1
};
Seen g_seen;

int on_head(param_context *p, void *ctx, param_depth depth)
{
    auto *s = static_cast<Seen *>(ctx);
    s->heads.push_back(std::string(kd_param_get_scope(p)) + " " + std::to_string(depth));
    return -5; // ignored
}
int on_footer(param_context *p, void *ctx, param_depth)
{
    auto *s = static_cast<Seen *>(ctx);
    s->footers.push_back(kd_param_get_scope(p));
    return s->fail_footer_of == kd_param_get_scope(p) ? -1 : 0;
}
int on_finish(void *ctx)
{
    auto *s = static_cast<Seen *>(ctx);
    ++s->finished;
    kd_shutdown();
    return 0;
}

class ParamWalkTest : public ParamTest {
protected:
    void SetUp() override
    {
        ParamTest::SetUp();
        g_seen = {};
        // Runs after the framework's own listener: marks where a pass ended.
        kd_cuvent_register_cb(
            nullptr, "on_param_write_overload",
            [](cuvent_wrapper *) { g_seen.pass_ends.push_back(g_seen.heads.size()); }, nullptr,
            CUVFLT_NONE);
        root_ = kd_param_alloc_list(nullptr, "root", "Root", nullptr);
    }
    int walk(param_context *p, param_depth depth)
    {
        int r = kd_param_print_params(p, depth, on_head, on_footer, on_finish, &g_seen);
        g_seen.pass_ends.push_back(g_seen.heads.size()); // the first pass runs inside
        if (r == 0 && !g_seen.finished)
            run_for(10);
        return r;
    }
    // `lists` lists of `leaves` leaves each below the root.
    void build(int lists, int leaves)
    {
        for (int i = 0; i < lists; ++i) {
            param_context *l =
                kd_param_alloc_list(root_, nullptr, ("L" + std::to_string(i)).c_str(), nullptr);
            for (int j = 0; j < leaves; ++j)
                leaf(l, ("V" + std::to_string(j)).c_str());
        }
    }
    param_context *root_ = nullptr;
};

TEST_F(ParamWalkTest, LargeWalkRunsInPassesAndReportsEveryNodeOnce)
{
    build(7, 999); // 1 + 7 * (1 + 999) = 7001 nodes
    ASSERT_EQ(walk(root_, PARAM_DEPTH_ALL), 0);
    EXPECT_EQ(g_seen.finished, 1);
    // Pass one runs inside the call; the two others at idle passes.
    EXPECT_EQ(g_seen.pass_ends, (std::vector<size_t>{3000, 6000, 7001}));
    std::map<std::string, int> times;
    for (const auto &h : g_seen.heads)
        ++times[h];
    EXPECT_EQ(times.size(), 7001u);
    for (const auto &[h, n] : times)
        ASSERT_EQ(n, 1) << h;
    EXPECT_EQ(g_seen.footers.size(), 7001u);
    // Depth-first order survives the pass boundaries, and a list's footer
    // follows its last child.
    EXPECT_EQ(g_seen.heads[3000], "root/l2/v998 2");
    EXPECT_EQ(g_seen.footers.back(), "root");
    EXPECT_EQ(g_seen.footers[g_seen.footers.size() - 2], "root/l6");
    EXPECT_EQ(g_seen.heads.front(), "root 2");
}

TEST_F(ParamWalkTest, SubtreesDeletedBetweenPassesAreSkipped)
{
    build(3, 1999); // pass one ends inside l1
    ASSERT_EQ(kd_param_print_params(root_, PARAM_DEPTH_ALL, on_head, on_footer, on_finish, &g_seen),
              0);
    ASSERT_EQ(g_seen.heads.size(), 3000u);
    EXPECT_EQ(g_seen.heads.back(), "root/l1/v997 2");
    kd_param_delete(kd_param_get_by_route("root/l1")); // mid-way
    kd_param_delete(kd_param_get_by_route("root/l2")); // not reached yet
    leaf(root_, "Late");
    run_for(10);
    EXPECT_EQ(g_seen.finished, 1);
    // What is left: root's later children, l2 now as the placeholder that
    // any walk reports, without its old subtree.
    EXPECT_EQ(std::vector<std::string>(g_seen.heads.begin() + 3000, g_seen.heads.end()),
              (std::vector<std::string>{"root/l2 2", "root/late 2"}));
    EXPECT_EQ(g_seen.footers.back(), "root");
}

TEST_F(ParamWalkTest, DepthLimitsWhatIsReported)
{
    param_context *l = kd_param_alloc_list(root_, nullptr, "L", nullptr);
    leaf(l, "Deep");
    leaf(root_, "Top");

    struct Case {
        param_depth depth;
        std::vector<std::string> heads;
        std::vector<std::string> footers;
    } cases[] = {
        {PARAM_DEPTH_NONE, {"root 0"}, {"root"}},
        {PARAM_DEPTH_ONE, {"root 1", "root/l 0", "root/top 0"}, {"root/l", "root/top", "root"}},
        {PARAM_DEPTH_ALL,
         {"root 2", "root/l 2", "root/l/deep 2", "root/top 2"},
         {"root/l/deep", "root/l", "root/top", "root"}},
    };
    for (const auto &c : cases) {
        g_seen = {};
        ASSERT_EQ(walk(root_, c.depth), 0);
        EXPECT_EQ(g_seen.heads, c.heads) << c.depth;
        EXPECT_EQ(g_seen.footers, c.footers) << c.depth;
        EXPECT_EQ(g_seen.finished, 1);
    }
}

TEST_F(ParamWalkTest, QueryResultsReportOnlyTheirMembers)
{
    build(2, 1);
    char q[] = "root/l*";
    param_depth depth;
    param_context *r = kd_param_get_query_list(q, &depth);
    ASSERT_EQ(walk(r, depth), 0);
    EXPECT_EQ(g_seen.heads,
              (std::vector<std::string>{"root/l0 1", "root/l0/v0 0", "root/l1 1", "root/l1/v0 0"}));
    EXPECT_EQ(g_seen.finished, 1);

    // A member's failing footer fails the walk; finish does not run.
    g_seen = {};
    g_seen.fail_footer_of = "root/l0";
    EXPECT_EQ(walk(r, depth), -1);
    EXPECT_EQ(g_seen.finished, 0);
    EXPECT_EQ(g_seen.heads.size(), 2u);
    kd_ref_free_safe(reinterpret_cast<void **>(&r));

    // So does the walked node's own failing footer.
    g_seen = {};
    g_seen.fail_footer_of = "root";
    EXPECT_EQ(walk(root_, PARAM_DEPTH_ALL), -1);
    EXPECT_EQ(g_seen.finished, 0);
    EXPECT_EQ(walk(nullptr, PARAM_DEPTH_ALL), -1);
}

TEST_F(ParamWalkTest, LargeQueryResultContinuesMemberByMember)
{
    build(4, 999); // four members of 1000 nodes
    char q[] = "root/**";
    param_depth depth;
    param_context *r = kd_param_get_query_list(q, &depth);
    ASSERT_EQ(kd_param_list_count(r), 4u);
    ASSERT_EQ(walk(r, depth), 0);
    kd_ref_free_safe(reinterpret_cast<void **>(&r));
    EXPECT_EQ(g_seen.finished, 1);
    EXPECT_EQ(g_seen.pass_ends, (std::vector<size_t>{3000, 4000}));
    EXPECT_EQ(g_seen.heads[3000], "root/l3 2");
    EXPECT_EQ(g_seen.footers.back(), "root/l3");
}

TEST_F(ParamWalkTest, ForeignOverloadPayloadsAreRefused)
{
    int not_a_walk = 0;
    kd_cuvent_emit(nullptr, "on_param_write_overload", &not_a_walk);
    kd_cuvent_emit(nullptr, "on_param_write_overload", nullptr);
    EXPECT_EQ(log_.count("Error: Loading NULL param save state."), 1);
    EXPECT_EQ(log_.count("Error: Unknown param save state"), 1);
}

TEST_F(ParamWalkTest, PendingWalkIsReleasedAtShutdown)
{
    build(4, 999);
    ASSERT_EQ(kd_param_print_params(root_, PARAM_DEPTH_ALL, on_head, nullptr, on_finish, &g_seen),
              0);
    EXPECT_EQ(g_seen.finished, 0);
    // TearDown stops the framework with the walk waiting: LSan sees no leak.
}

// Visits live nodes only, in depth-first order.
TEST_F(ParamWalkTest, VisitSkipsPlaceholders)
{
    build(2, 2);
    kd_param_delete(kd_param_get_by_route("root/l0/v1"));
    std::vector<std::string> seen;
    kd_param_visit(
        root_,
        [](param_context *p, void *ctx) {
            static_cast<std::vector<std::string> *>(ctx)->push_back(kd_param_get_scope(p));
            return 0;
        },
        &seen);
    EXPECT_EQ(seen, (std::vector<std::string>{"root", "root/l0", "root/l0/v0", "root/l1",
                                              "root/l1/v0", "root/l1/v1"}));
    int n = 0;
    EXPECT_EQ(
        kd_param_visit(
            nullptr,
            [](param_context *, void *ctx) { return ++*static_cast<int *>(ctx) == 3 ? -7 : 0; },
            &n),
        -7);
    EXPECT_EQ(n, 3);
}

} // namespace

#include "test_support.h"

#include <kerrow/cuvent.h>
#include <kerrow/plugin.h>
#include <kerrow/ref.h>

#include <atomic>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

namespace {

std::vector<std::string> g_calls;

void record(cuvent_wrapper *w) { g_calls.push_back(static_cast<const char *>(w->cb_ctx)); }

plugin_load_info make_pli(const char *name)
{
    plugin_load_info p{};
    p.name = const_cast<char *>(name);
    return p;
}

class CuventTest : public kdtest::FrameTest {
protected:
    void SetUp() override
    {
        FrameTest::SetUp();
        g_calls.clear();
    }
};

TEST_F(CuventTest, CallbacksRunInRegistrationOrderWithBothContexts)
{
    static void *seen_emit = nullptr;
    static const char *seen_name = nullptr;
    ASSERT_EQ(kd_cuvent_register_cb(nullptr, "ev", record, (void *)"a", CUVFLT_NONE), 0);
    ASSERT_EQ(kd_cuvent_register_cb(nullptr, "ev", [](cuvent_wrapper *w) {
        seen_emit = w->emit_ctx;
        seen_name = w->name;
    }, nullptr, CUVFLT_NONE), 0);
    ASSERT_EQ(kd_cuvent_register_cb(nullptr, "ev", record, (void *)"b", CUVFLT_NONE), 0);
    int payload = 7;
    const char *name = "ev";
    kd_cuvent_emit(nullptr, name, &payload);
    EXPECT_EQ(g_calls, (std::vector<std::string>{"a", "b"}));
    EXPECT_EQ(seen_emit, &payload);
    EXPECT_EQ(seen_name, name);
}

TEST_F(CuventTest, RegistrationRules)
{
    struct Case {
        const char *what;
        const char *name;
        void *ctx;
        int expect;
    };
    const std::string long63(63, 'x'), long64(64, 'y');
    ASSERT_EQ(kd_cuvent_register_cb(nullptr, "dup", record, (void *)"a", CUVFLT_NONE), 0);
    const Case cases[] = {
        {"same owner, callback and context", "dup", (void *)"a", -1},
        {"other context", "dup", (void *)"c", 0},
        {"63-character name", long63.c_str(), (void *)"a", 0},
        {"64-character name", long64.c_str(), (void *)"a", -1},
        {"no name", nullptr, (void *)"a", -1},
    };
    for (const auto &c : cases)
        EXPECT_EQ(kd_cuvent_register_cb(nullptr, c.name, record, c.ctx, CUVFLT_NONE), c.expect)
            << c.what;
    kd_cuvent_emit(nullptr, "dup", nullptr);
    EXPECT_EQ(g_calls, (std::vector<std::string>{"a", "c"}));

    g_calls.clear();
    kd_cuvent_emit(nullptr, long64.c_str(), nullptr); // unknown, not an error
    kd_cuvent_emit(nullptr, long63.c_str(), nullptr);
    EXPECT_EQ(g_calls, (std::vector<std::string>{"a"}));
}

TEST_F(CuventTest, IgnoreOwnFilter)
{
    plugin_load_info fwd = make_pli("mcastfwdr"), other = make_pli("decode");
    kd_cuvent_register_cb(&fwd, "ev", record, (void *)"fwd", CUVFLT_IGNORE_OWN);
    kd_cuvent_register_cb(nullptr, "ev", record, (void *)"frame", CUVFLT_IGNORE_OWN);

    struct Case {
        plugin_load_info *emitter;
        std::vector<std::string> heard;
    } cases[] = {
        {&fwd, {"frame"}},
        {&other, {"fwd", "frame"}},
        {nullptr, {"fwd"}},
    };
    for (auto &c : cases) {
        g_calls.clear();
        kd_cuvent_emit(c.emitter, "ev", nullptr);
        EXPECT_EQ(g_calls, c.heard) << kd_frame_plugin_get_name(c.emitter);
    }
    kd_cuvent_unregister_cb_owner(&fwd);
}

TEST_F(CuventTest, OnceRunsOnceAndDropsItsContextReference)
{
    static int releases = 0;
    releases = 0;
    char *ctx = static_cast<char *>(std::malloc(8));
    std::snprintf(ctx, 8, "once");
    kd_ref_init_ptr(ctx, [](void *) { ++releases; });
    ASSERT_EQ(kd_cuvent_register_onetime_cb(nullptr, "ev", record, ctx, CUVFLT_NONE), 0);
    void *mine = ctx;
    kd_ref_free_safe(&mine); // the registration now holds the only count
    EXPECT_EQ(releases, 0);
    kd_cuvent_emit(nullptr, "ev", nullptr);
    kd_cuvent_emit(nullptr, "ev", nullptr);
    EXPECT_EQ(g_calls.size(), 1u);
    EXPECT_EQ(releases, 1);
}

TEST_F(CuventTest, NestedEmitCannotRunAOnceCallbackTwice)
{
    static int runs = 0;
    runs = 0;
    kd_cuvent_register_onetime_cb(nullptr, "ev", [](cuvent_wrapper *) {
        ++runs;
        kd_cuvent_emit(nullptr, "ev", nullptr);
    }, nullptr, CUVFLT_NONE);
    kd_cuvent_register_cb(nullptr, "ev", record, (void *)"always", CUVFLT_NONE);
    kd_cuvent_emit(nullptr, "ev", nullptr);
    EXPECT_EQ(runs, 1);
    // The nested emit reached the continuous callback, then the outer one did.
    EXPECT_EQ(g_calls, (std::vector<std::string>{"always", "always"}));
}

TEST_F(CuventTest, CallbackRegisteredDuringEmitRunsInTheSameEmit)
{
    kd_cuvent_register_cb(nullptr, "ev", [](cuvent_wrapper *w) {
        g_calls.push_back("first");
        kd_cuvent_register_cb(nullptr, w->name, record, (void *)"late", CUVFLT_NONE);
    }, nullptr, CUVFLT_NONE);
    kd_cuvent_register_cb(nullptr, "ev", record, (void *)"second", CUVFLT_NONE);
    kd_cuvent_emit(nullptr, "ev", nullptr);
    EXPECT_EQ(g_calls, (std::vector<std::string>{"first", "second", "late"}));
}

TEST_F(CuventTest, UnregisterByOwnerEvenFromInsideAnEmit)
{
    static plugin_load_info pli = make_pli("version");
    kd_cuvent_register_cb(&pli, "ev", [](cuvent_wrapper *) {
        g_calls.push_back("self-unregister");
        kd_cuvent_unregister_cb_owner(&pli);
    }, nullptr, CUVFLT_NONE);
    kd_cuvent_register_cb(&pli, "ev", record, (void *)"pli-second", CUVFLT_NONE);
    kd_cuvent_register_cb(nullptr, "ev", record, (void *)"frame", CUVFLT_NONE);
    kd_cuvent_emit(nullptr, "ev", nullptr);
    EXPECT_EQ(g_calls, (std::vector<std::string>{"self-unregister", "frame"}));
    g_calls.clear();
    kd_cuvent_emit(nullptr, "ev", nullptr);
    EXPECT_EQ(g_calls, (std::vector<std::string>{"frame"}));
    // The event stays known: registering again works as before.
    EXPECT_EQ(kd_cuvent_register_cb(&pli, "ev", record, (void *)"back", CUVFLT_NONE), 0);
    kd_cuvent_unregister_cb_owner(&pli);
}

TEST_F(CuventTest, LazyEmitRunsAfterTheNextPollAndKeepsItsPayload)
{
    static int releases = 0;
    releases = 0;
    kd_cuvent_register_cb(nullptr, "lazy", [](cuvent_wrapper *w) {
        g_calls.push_back(static_cast<const char *>(w->emit_ctx));
        kd_shutdown();
    }, nullptr, CUVFLT_NONE);
    char *payload = static_cast<char *>(std::malloc(8));
    std::snprintf(payload, 8, "late");
    kd_ref_init_ptr(payload, [](void *) { ++releases; });
    kd_cuvent_emit_lazy(nullptr, "lazy", payload);
    void *mine = payload;
    kd_ref_free_safe(&mine); // the pending emit keeps it alive
    EXPECT_TRUE(g_calls.empty());
    EXPECT_EQ(releases, 0);
    run_for(5.0);
    EXPECT_EQ(g_calls, (std::vector<std::string>{"late"}));
    EXPECT_EQ(releases, 1);
}

TEST_F(CuventTest, PendingLazyEmitIsReleasedAtFini)
{
    static int releases = 0;
    releases = 0;
    void *payload = std::malloc(8);
    kd_ref_init_ptr(payload, [](void *) { ++releases; });
    kd_cuvent_emit_lazy(nullptr, "never-run", payload);
    void *mine = payload;
    kd_ref_free_safe(&mine);
    kd_frame_fini();
    EXPECT_EQ(releases, 1);
    kd_frame_init(); // TearDown takes it down again
}

TEST_F(CuventTest, DataThreadEmitsWhileTheLoopRegisters)
{
    static std::atomic<int> heard{0};
    kd_cuvent_register_cb(nullptr, "ccset", [](cuvent_wrapper *) { ++heard; }, nullptr,
                          CUVFLT_NONE);
    std::atomic<bool> stop{false};
    std::thread mux([&] {
        while (!stop.load())
            kd_cuvent_emit(nullptr, "ccset", nullptr);
    });
    while (heard.load() == 0)
        std::this_thread::yield();
    // Meanwhile: new events, new listeners on the emitted event, and owner removal.
    plugin_load_info late = make_pli("late");
    static std::vector<std::string> names;
    names.clear();
    for (int i = 0; i < 200; ++i)
        names.push_back("event-" + std::to_string(i));
    for (int i = 0; i < 200; ++i) {
        kd_cuvent_register_cb(&late, names[i].c_str(), record, nullptr, CUVFLT_NONE);
        kd_cuvent_register_cb(&late, "ccset", [](cuvent_wrapper *) {}, (void *)(intptr_t)(i + 1),
                              CUVFLT_NONE);
        if (i % 10 == 9)
            kd_cuvent_unregister_cb_owner(&late);
    }
    int after = heard.load();
    while (heard.load() <= after)
        std::this_thread::yield();
    stop = true;
    mux.join();
    kd_cuvent_unregister_cb_owner(&late);
}

TEST(CuventLifecycle, CallsBeforeInitAreRefused)
{
    kdtest::LogCapture log;
    EXPECT_EQ(kd_cuvent_register_cb(nullptr, "ev", record, nullptr, CUVFLT_NONE), -1);
    kd_cuvent_emit(nullptr, "ev", nullptr);
    kd_cuvent_unregister_cb_owner(nullptr);
    EXPECT_EQ(log.count("Error: register called before init"), 1);
    EXPECT_EQ(log.count("emit called before init"), 1);
    EXPECT_EQ(log.count("unregister called before init"), 1);
}

} // namespace

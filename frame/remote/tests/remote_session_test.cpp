// Session tables and batches. Time is the loop's (kd_frame_now), which does
// not move while the loop is not run; requests are aged by moving their
// send time back.
#include "test_support.h"
#include "frame_internal.h"

#include <kerrow/plugin.h>
#include <kerrow/remote.h>

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

namespace {

std::vector<std::string> g_events;

const char *name_of(void *ctx) { return ctx ? static_cast<const char *>(ctx) : "null"; }

int own_rep(remote_session_req *req, const uint8_t *msg, int len)
{
    g_events.push_back("rep:" + std::string(name_of(req->ctx)) + ":" +
                       std::string(reinterpret_cast<const char *>(msg), static_cast<size_t>(len)));
    return 7;
}
int own_timeout(remote_session_req *req)
{
    g_events.push_back("to:" + std::string(name_of(req->ctx)));
    return 0;
}
int own_retry(remote_session_req *req)
{
    g_events.push_back("send:" + std::string(name_of(req->ctx)));
    return 0;
}
int on_final(void *ctx)
{
    g_events.push_back("final:" + std::string(name_of(ctx)));
    return 0;
}

class SessionTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        kd::loop_init();
        g_events.clear();
        sc_ = kd_remote_allocate_session_context();
        ASSERT_NE(sc_, nullptr);
    }
    void TearDown() override
    {
        kd_remote_free_session_context(sc_);
        kd::loop_fini();
    }

    remote_session_req *request(const char *ctx, int max_retries = 0)
    {
        uint8_t sid = kd_remote_next_session(sc_);
        remote_session_req *req = kd_remote_new_session_req(sc_, sid, "q", 1, own_rep, own_timeout);
        EXPECT_NE(req, nullptr);
        if (req) {
            req->ctx = const_cast<char *>(ctx);
            kd_remote_session_init_retry(req, max_retries, own_retry);
        }
        return req;
    }
    // The owner's side of a reply: the request's callback, then release.
    int reply(remote_session_req *req, const char *msg)
    {
        int rc = req->on_rep(req, reinterpret_cast<const uint8_t *>(msg), int(strlen(msg)));
        kd_remote_release_session(sc_, req);
        return rc;
    }
    // As if `seconds` had passed since every running request was sent.
    void age(double seconds)
    {
        for (auto *req : sc_->sessions)
            if (req && req->tstamp != 0)
                req->tstamp -= seconds;
    }

    kdtest::LogCapture log_;
    remote_session_context *sc_ = nullptr;
};

TEST_F(SessionTest, IdsStartAtTenWrapAfter255AndSkipTakenSlots)
{
    EXPECT_EQ(kd_remote_next_session(sc_), 10);
    EXPECT_EQ(kd_remote_next_session(sc_), 11);
    EXPECT_EQ(kd_remote_next_session(sc_), 12);
    ASSERT_NE(kd_remote_new_session_req(sc_, 13, nullptr, 0, nullptr, nullptr), nullptr);
    ASSERT_NE(kd_remote_new_session_req(sc_, 255, nullptr, 0, nullptr, nullptr), nullptr);
    ASSERT_NE(kd_remote_new_session_req(sc_, 10, nullptr, 0, nullptr, nullptr), nullptr);
    EXPECT_EQ(kd_remote_next_session(sc_), 14);
    sc_->next_sid = 254;
    std::vector<int> got;
    for (int i = 0; i < 4; ++i)
        got.push_back(kd_remote_next_session(sc_));
    EXPECT_EQ(got, (std::vector<int>{254, 11, 12, 14}));

    // Ids below 10 are never handed out or accepted.
    EXPECT_EQ(kd_remote_new_session_req(sc_, 9, nullptr, 0, nullptr, nullptr), nullptr);
    EXPECT_EQ(kd_remote_lookup_session(sc_, 3), nullptr);
    EXPECT_EQ(log_.count("Invalid session 3"), 1);
    EXPECT_EQ(kd_remote_new_session_req(sc_, 13, nullptr, 0, nullptr, nullptr), nullptr) << "taken";
    EXPECT_EQ(kd_remote_session_context_get_session_count(sc_), 3);
}

TEST_F(SessionTest, FullTableHandsOutAnIdInUseThatCannotBeCreated)
{
    for (int i = 0; i < REMOTE_SESSION_SLOTS; ++i)
        ASSERT_NE(kd_remote_new_session_req(sc_, kd_remote_next_session(sc_), "x", 1, nullptr,
                                            nullptr),
                  nullptr)
            << i;
    uint8_t sid = kd_remote_next_session(sc_);
    EXPECT_GE(sid, 10);
    EXPECT_NE(kd_remote_lookup_session(sc_, sid), nullptr);
    EXPECT_EQ(kd_remote_new_session_req(sc_, sid, "x", 1, nullptr, nullptr), nullptr);
    // Releasing one frees exactly that id for the next search.
    kd_remote_release_session(sc_, kd_remote_lookup_session(sc_, 77));
    sc_->next_sid = 20;
    EXPECT_EQ(kd_remote_next_session(sc_), 77);
}

TEST_F(SessionTest, RequestKeepsItsOwnCopyOfTheQuery)
{
    char query[] = "abc";
    remote_session_req *req = kd_remote_new_session_req(sc_, 42, query, 3, nullptr, nullptr);
    ASSERT_NE(req, nullptr);
    query[0] = 'z';
    EXPECT_EQ(std::string(reinterpret_cast<char *>(req->query), 3), "abc");
    EXPECT_EQ(req->timeout, 1.0);
    EXPECT_EQ(req->tstamp, kd_frame_now());
    EXPECT_EQ(kd_remote_lookup_session(sc_, 42), req);
}

TEST_F(SessionTest, RequestWithoutRetryIsReleasedOnceItsTimeoutHasPassed)
{
    remote_session_req *req = kd_remote_new_session_req(sc_, 30, "q", 1, own_rep, own_timeout);
    ASSERT_NE(req, nullptr);
    req->ctx = const_cast<char *>("r");
    age(0.9);
    kd_remote_maintain_session_context(sc_);
    EXPECT_TRUE(g_events.empty());
    EXPECT_EQ(kd_remote_lookup_session(sc_, 30), req);
    age(0.2);
    kd_remote_maintain_session_context(sc_);
    EXPECT_EQ(g_events, (std::vector<std::string>{"to:r"}));
    EXPECT_EQ(kd_remote_lookup_session(sc_, 30), nullptr);
    EXPECT_EQ(kd_remote_session_context_get_timeout_count(sc_), 1);
}

TEST_F(SessionTest, RequestIsRetriedOneTimeFewerThanMaxRetries)
{
    struct Case {
        int max_retries;
        int resends;
    } cases[] = {{0, 0}, {1, 0}, {2, 1}, {3, 2}, {5, 4}};
    for (const auto &c : cases) {
        g_events.clear();
        const int before = kd_remote_session_context_get_timeout_count(sc_);
        remote_session_req *req = request("r", c.max_retries);
        const uint8_t sid = req->sid;
        int passes = 0;
        while (kd_remote_lookup_session(sc_, sid) && passes < 10) {
            age(1.5);
            kd_remote_maintain_session_context(sc_);
            if (kd_remote_lookup_session(sc_, sid)) {
                EXPECT_EQ(req->tstamp, kd_frame_now()) << "a retry restarts the clock";
            }
            ++passes;
        }
        std::vector<std::string> want(static_cast<size_t>(c.resends), "send:r");
        want.push_back("to:r");
        EXPECT_EQ(g_events, want) << "max_retries " << c.max_retries;
        EXPECT_EQ(kd_remote_session_context_get_timeout_count(sc_) - before, c.resends + 1);
    }
}

TEST_F(SessionTest, FreeingTheTableTimesOutWhatIsStillOutstanding)
{
    request("a");
    request("b");
    kd_remote_free_session_context(sc_);
    sc_ = nullptr;
    EXPECT_EQ(g_events, (std::vector<std::string>{"to:a", "to:b"}));
}

TEST_F(SessionTest, BatchSendsAtStartReportsOnceAfterTheLastAndStartsItsNext)
{
    static plugin_load_info pli{};
    pli.name = const_cast<char *>("tester");
    session_batch *a = session_batch_ctor("first", 1, &pli);
    session_batch *b = session_batch_ctor("second", 1, nullptr);
    session_batch_set_on_final(a, on_final, const_cast<char *>("A"));
    session_batch_set_on_final(b, on_final, const_cast<char *>("B"));
    session_batch_set_next(a, b);
    EXPECT_EQ(session_batch_get_next(a), b);

    remote_session_req *a1 = request("a1"), *a2 = request("a2"), *a3 = request("a3", 3);
    remote_session_req *b1 = request("b1");
    for (auto *r : {a1, a2, a3})
        ASSERT_EQ(session_batch_append_session(a, r), 0);
    ASSERT_EQ(session_batch_append_session(b, b1), 0);
    EXPECT_EQ(a1->tstamp, 0) << "stopped until the batch starts";
    age(10);
    kd_remote_maintain_session_context(sc_);
    EXPECT_TRUE(g_events.empty()) << "maintenance leaves appended requests alone";

    ASSERT_EQ(session_batch_start(a), 0);
    EXPECT_EQ(g_events, (std::vector<std::string>{"send:a1", "send:a2", "send:a3"}));
    EXPECT_NE(a1->ctx, (void *)"a1") << "the batch stays in front between callbacks";
    g_events.clear();

    EXPECT_EQ(reply(a1, "ok"), 7) << "the request's own result is passed on";
    EXPECT_EQ(session_batch_get_pending_count(a), 2u);
    EXPECT_EQ(session_batch_get_complete_count(a), 1u);
    const uint8_t a2_sid = a2->sid;
    a2->timeout = 5; // a2 times out, a3 is retried twice and then answered
    age(2);
    kd_remote_maintain_session_context(sc_);
    age(4);
    kd_remote_maintain_session_context(sc_);
    EXPECT_EQ(kd_remote_lookup_session(sc_, a2_sid), nullptr);
    EXPECT_EQ(session_batch_get_complete_count(a), 2u);
    EXPECT_EQ(g_events, (std::vector<std::string>{"rep:a1:ok", "send:a3", "to:a2", "send:a3"}));
    g_events.clear();

    reply(a3, "done");
    // The next batch is started before the first one reports.
    EXPECT_EQ(g_events, (std::vector<std::string>{"rep:a3:done", "send:b1", "final:A"}));
    EXPECT_EQ(log_.count("[tester] first batch count  3, elapsed"), 1);
    g_events.clear();
    reply(b1, "x");
    EXPECT_EQ(g_events, (std::vector<std::string>{"rep:b1:x", "final:B"}));
    // Both batches freed themselves (the sanitizer build checks for leaks).
}

TEST_F(SessionTest, RefusedAppendsSetKdErrnoAndLeaveTheBatchAsItWas)
{
    session_batch *sb = session_batch_ctor("refusals", 0, nullptr);
    std::vector<remote_session_req *> reqs;
    for (int i = 0; i < SESSION_BATCH_MAX; ++i) {
        reqs.push_back(request("r"));
        ASSERT_EQ(session_batch_append_session(sb, reqs.back()), 0) << i;
    }
    remote_session_req *no_retry = kd_remote_new_session_req(sc_, kd_remote_next_session(sc_), "q",
                                                            1, own_rep, own_timeout);
    remote_session_req *extra = request("extra");

    struct Case {
        const char *what;
        session_batch *sb;
        remote_session_req *req;
        int err;
    };
    session_batch *small = session_batch_ctor("small", 0, nullptr);
    const Case cases[] = {
        {"21st", sb, extra, KD_ERR_FULL},
        {"no on_retry", small, no_retry, KD_ERR_INVALID},
        {"already pending", sb, reqs[3], KD_ERR_DUPLICATE},
        {"pending elsewhere", small, reqs[4], KD_ERR_DUPLICATE},
    };
    for (const auto &c : cases) {
        kd_errno = 0;
        EXPECT_EQ(session_batch_append_session(c.sb, c.req), -1) << c.what;
        EXPECT_EQ(kd_errno, c.err) << c.what;
    }
    EXPECT_EQ(session_batch_get_pending_count(sb), 20u);
    EXPECT_EQ(session_batch_get_pending_count(small), 0u);
    EXPECT_EQ(extra->ctx, (void *)"extra");

    ASSERT_EQ(session_batch_append_session(small, extra), 0);
    ASSERT_EQ(session_batch_start(small), 0);
    kd_errno = 0;
    remote_session_req *late = request("late");
    EXPECT_EQ(session_batch_append_session(small, late), -1);
    EXPECT_EQ(kd_errno, KD_ERR_IN_PROGRESS);
    EXPECT_EQ(session_batch_start(small), -1) << "started once";

    // The destructor gives every pending request back its own context and callbacks.
    session_batch_dtor(sb);
    session_batch_dtor(small);
    EXPECT_EQ(reqs[0]->ctx, (void *)"r");
    EXPECT_EQ(reqs[0]->on_rep, own_rep);
    EXPECT_EQ(reqs[0]->on_retry, own_retry);
    EXPECT_EQ(extra->on_timeout, own_timeout);
}

TEST_F(SessionTest, EmptyBatchEndsAtStart)
{
    static plugin_load_info pli{};
    pli.name = const_cast<char *>("tester");
    session_batch *sb = session_batch_ctor("empty", 0, &pli);
    session_batch_set_on_final(sb, on_final, const_cast<char *>("E"));
    ASSERT_EQ(session_batch_start(sb), 0);
    EXPECT_EQ(g_events, (std::vector<std::string>{"final:E"}));
    EXPECT_EQ(log_.count("[tester] empty count 0, elapsed"), 1);
    EXPECT_EQ(session_batch_get_elapsed(sb), 0.0);
    EXPECT_STREQ(session_batch_get_name(sb), "empty");
    session_batch_dtor(sb);
}

TEST_F(SessionTest, ReleasingABatchedRequestTakesItOutOfTheBatch)
{
    session_batch *sb = session_batch_ctor("rel", 1, nullptr);
    session_batch_set_on_final(sb, on_final, const_cast<char *>("R"));
    remote_session_req *keep = request("keep"), *drop = request("drop");
    session_batch_append_session(sb, keep);
    session_batch_append_session(sb, drop);
    session_batch_start(sb);
    g_events.clear();
    kd_remote_release_session(sc_, drop); // the owner gives up on it
    EXPECT_EQ(session_batch_get_pending_count(sb), 1u);
    EXPECT_TRUE(g_events.empty());
    reply(keep, "k");
    EXPECT_EQ(g_events, (std::vector<std::string>{"rep:keep:k", "final:R"}));
}

TEST_F(SessionTest, BatchedRequestWhoseRetryWasTakenAwayRunsOnToItsTimeout)
{
    session_batch *sb = session_batch_ctor("noretry", 1, nullptr);
    session_batch_set_on_final(sb, on_final, const_cast<char *>("N"));
    remote_session_req *req = request("n");
    ASSERT_EQ(session_batch_append_session(sb, req), 0);
    kd_remote_session_init_retry(req, 2, nullptr); // after the append: the batch keeps it
    ASSERT_EQ(session_batch_start(sb), 0);
    EXPECT_TRUE(g_events.empty()) << "nothing to send with";
    age(1.5);
    kd_remote_maintain_session_context(sc_); // the one retry sends nothing
    EXPECT_TRUE(g_events.empty());
    age(1.5);
    kd_remote_maintain_session_context(sc_);
    EXPECT_EQ(g_events, (std::vector<std::string>{"to:n", "final:N"}));
    EXPECT_EQ(kd_remote_lookup_session(sc_, 10), nullptr);
}

TEST_F(SessionTest, SendReqWritesTheQueryToSocketsAndOtherDescriptors)
{
    remote_session_req *req = kd_remote_new_session_req(sc_, 50, "\x01\x02query", 7, nullptr, nullptr);
    ASSERT_NE(req, nullptr);
    char buf[16] = {};

    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
    EXPECT_EQ(kd_remote_send_req(sv[0], req), 7);
    EXPECT_EQ(read(sv[1], buf, sizeof buf), 7);
    EXPECT_EQ(std::string(buf, 7), "\x01\x02query");
    // A peer that has gone is an error for the caller, not a signal for the process.
    close(sv[1]);
    errno = 0;
    EXPECT_EQ(kd_remote_send_req(sv[0], req), -1);
    EXPECT_EQ(errno, EPIPE);
    close(sv[0]);

    int p[2];
    ASSERT_EQ(pipe(p), 0);
    EXPECT_EQ(kd_remote_send_req(p[1], req), 7);
    EXPECT_EQ(read(p[0], buf, sizeof buf), 7);
    close(p[0]);
    close(p[1]);
    const uint16_t mt = static_cast<uint16_t>(0x01 | 0x02 << 8); // this processor's order (little-endian)
    EXPECT_EQ(log_.count("Dest " + std::to_string(p[1]) + ", req session 50, req mt " +
                         (std::ostringstream() << std::hex << mt).str()),
              1);
}

} // namespace

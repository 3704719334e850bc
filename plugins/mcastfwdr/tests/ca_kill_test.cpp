// CA sessions and their keys across crashes: the card (framework, store
// file and the forwarder's configuration, in a child process of its own)
// adds and removes sessions and entitles keys as a client asks, and is
// killed with SIGKILL at a random moment; started again, it must hold a
// state it really had, judged from what the test asked and was answered:
// every answered change, and maybe the one asked last. No key file of a
// session it does not hold, nor a temporary one, outlives a start.
//
// KD_CA_KILL_ROUNDS sets the number of kills of the random case (30 by
// default; scripts/ca-kill-loop runs hundreds), KD_CA_KILL_SEED
// its seed (printed on failure).
#include "engine_fixture.h"
#include "test_keys.h"

#include "cfg/ca_key_table.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace {

namespace fs = std::filesystem;

// What the card holds: each session's key ids, in table order.
using ca_state = std::map<int, std::vector<std::string>>;

std::string text_of(const ca_state &s)
{
    std::string t;
    for (const auto &[id, keys] : s) {
        t += (t.empty() ? "" : ";") + std::to_string(id) + ":";
        for (size_t i = 0; i < keys.size(); ++i)
            t += (i ? "," : "") + keys[i];
    }
    return t;
}

// The key files a card in state `s` keeps: one per session with keys.
std::string files_of(const ca_state &s)
{
    std::string t;
    for (const auto &[id, keys] : s)
        if (!keys.empty())
            t += (t.empty() ? "" : ",") + ("ca_keys_" + std::to_string(id) + ".pub.csv");
    return t;
}

// A client's request and what it does to the state when it is carried out.
struct op {
    enum kind { add, rem, entitle } what;
    int session = 0; // rem, entitle
    size_t key = 0;  // entitle: index into the key pool
};

class CaKill : public mcftest::EngineTest {
protected:
    void SetUp() override
    {
        // On-card mode (the marker under the root): the store lives in its file.
        fs::create_directories(root_ / "opt/pkg/var");
        std::ofstream(root_ / "opt/pkg/var/oem") << "";
        EngineTest::SetUp();
    }

    static const std::vector<std::string> &pems()
    {
        static const std::vector<std::string> p = mcftest::ec_pems(5);
        return p;
    }
    // The key ids of the pool, as the card derives them.
    static const std::vector<std::string> &key_ids()
    {
        static const std::vector<std::string> ids = [] {
            std::vector<std::string> out;
            ca_key_table *t = ca_key_table_ctor();
            for (const std::string &pem : pems())
                out.emplace_back(ca_key_table_push(t, nullptr, pem.c_str())->key_id_str);
            ca_key_table_dtor(t);
            return out;
        }();
        return ids;
    }

    // ---- the card's side, in the child ----

    static param_set_result set(const std::string &route, const char *text)
    {
        param_context *p = kd_param_get_by_route(route.c_str());
        if (auto *s = kd_param_get_string_ops(p))
            return s->set(p, text);
        if (auto *c = kd_param_get_choice_ops(p))
            return c->set(p, text);
        return PARAM_SET_FAILURE;
    }
    // "sessions|key files" as the card holds them now.
    std::string report() const
    {
        ca_state s;
        for (const cfg_ca &ca : mcf::records<cfg_ca>(mcf_cfg.ca_sessions)) {
            std::vector<std::string> &keys = s[ca.id];
            for (const ca_key_entry &e : mcf::records<ca_key_entry>(ca.biss2ca_rxrs->entries))
                keys.emplace_back(e.key_id_str);
        }
        std::set<std::string> names;
        for (const auto &e : fs::directory_iterator(root_ / "var/local/solvera"))
            if (e.path().filename().string().starts_with("ca_keys_"))
                names.insert(e.path().filename().string());
        std::string files;
        for (const std::string &n : names)
            files += (files.empty() ? "" : ",") + n;
        return text_of(s) + "|" + files;
    }
    // One request of the test, one line back.
    std::string serve(const std::string &line) const
    {
        char what[16] = "";
        int session = 0;
        unsigned key = 0;
        std::sscanf(line.c_str(), "%15s %d %u", what, &session, &key);
        const std::string w = what;
        if (w == "state")
            return report();
        param_set_result rc = PARAM_SET_FAILURE;
        if (w == "add")
            rc = set("mcastfwdr/add_ca_session", "Yes");
        else if (w == "rem")
            rc = set("mcastfwdr/rem_ca_session", std::to_string(session).c_str());
        else if (w == "ent" && key < pems().size())
            rc = set("mcastfwdr/rules/ca_sessions/ca_session_" + std::to_string(session) + "/biss_ca_entitle_receiver",
                     pems()[key].c_str());
        return rc == PARAM_SET_SUCCESS ? "ok" : "fail";
    }

    // The card in the child: requests come in on `in` (non-blocking), lines go out on `out`.
    struct card_io {
        const CaKill *card;
        int in, out;
        std::string pending;
        void say(const std::string &s) const
        {
            const std::string l = s + "\n";
            if (write(out, l.data(), l.size()) != ssize_t(l.size()))
                _exit(3);
        }
        // Serves the complete requests that came; "quit" stops the loop.
        void serve_pending()
        {
            char buf[256];
            ssize_t n;
            while ((n = read(in, buf, sizeof buf)) > 0)
                pending.append(buf, size_t(n));
            if (n == 0)
                _exit(4); // the test went
            for (size_t nl; (nl = pending.find('\n')) != std::string::npos;) {
                const std::string line = pending.substr(0, nl);
                pending.erase(0, nl + 1);
                if (line == "quit") {
                    kd_shutdown();
                    return;
                }
                say(card->serve(line));
            }
        }
    };
    // The card's life: start from the store and key files, report, then
    // serve requests from the loop (its store timer running) until "quit",
    // which stops it cleanly.
    [[noreturn]] void live(int in, int out)
    {
        SetUp();
        store_ca_sessions_load_params();
        card_io io{this, in, out, {}};
        io.say(report());
        kd_frame_timeout_register("cakill", [](void *ctx) { static_cast<card_io *>(ctx)->serve_pending(); }, &io, 0.001, 1,
                                  nullptr);
        kd_frame_run();
        TearDown();
        _exit(0);
    }

    // ---- the test's side ----

    struct life {
        pid_t pid = -1;
        int to = -1, from = -1;
        std::string pending;
    };
    life start()
    {
        int down[2], up[2];
        if (pipe(down) != 0 || pipe(up) != 0)
            throw std::runtime_error("pipe");
        const pid_t pid = fork();
        if (pid == 0) {
            close(down[1]);
            close(up[0]);
            fcntl(down[0], F_SETFL, O_NONBLOCK);
            live(down[0], up[1]);
        }
        close(down[0]);
        close(up[1]);
        return life{pid, down[1], up[0], {}};
    }
    // The card's next line; none when it ended or stayed silent for long.
    static std::optional<std::string> line(life &l)
    {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        for (;;) {
            if (const size_t nl = l.pending.find('\n'); nl != std::string::npos) {
                std::string s = l.pending.substr(0, nl);
                l.pending.erase(0, nl + 1);
                return s;
            }
            pollfd p{l.from, POLLIN, 0};
            if (std::chrono::steady_clock::now() > deadline || poll(&p, 1, 100) < 0)
                return std::nullopt;
            char buf[4096];
            const ssize_t n = (p.revents & (POLLIN | POLLHUP)) ? read(l.from, buf, sizeof buf) : -1;
            if (n == 0)
                return std::nullopt;
            if (n > 0)
                l.pending.append(buf, size_t(n));
        }
    }
    static void send(life &l, const std::string &s)
    {
        const std::string t = s + "\n";
        ASSERT_EQ(write(l.to, t.data(), t.size()), ssize_t(t.size()));
    }
    static std::string ask(life &l, const std::string &s)
    {
        send(l, s);
        return line(l).value_or("<no answer>");
    }
    // Ends a life: SIGKILL, or "quit" for a clean stop; its wait status.
    static int end(life &l, bool kill_it)
    {
        if (kill_it)
            kill(l.pid, SIGKILL);
        else
            send(l, "quit");
        int status = 0;
        waitpid(l.pid, &status, 0);
        close(l.to);
        close(l.from);
        return status;
    }

    static std::string request(const op &o)
    {
        switch (o.what) {
        case op::add:
            return "add";
        case op::rem:
            return "rem " + std::to_string(o.session);
        default:
            return "ent " + std::to_string(o.session) + " " + std::to_string(o.key);
        }
    }
    // The state after `o`, and whether the card accepts it.
    static bool apply(ca_state &s, const op &o)
    {
        switch (o.what) {
        case op::add: {
            int id = 0;
            while (s.count(id))
                ++id;
            s[id];
            return true;
        }
        case op::rem:
            return s.erase(o.session) == 1;
        default: {
            auto it = s.find(o.session);
            const std::string &k = key_ids().at(o.key);
            if (it == s.end() || std::find(it->second.begin(), it->second.end(), k) != it->second.end())
                return false;
            it->second.push_back(k);
            return true;
        }
        }
    }
    // A life's first report against the states the card had: each is
    // "sessions|files".
    static void expect_one_of(const std::string &got, const std::vector<ca_state> &had)
    {
        std::vector<std::string> want;
        for (const ca_state &s : had)
            want.push_back(text_of(s) + "|" + files_of(s));
        EXPECT_NE(std::find(want.begin(), want.end(), got), want.end())
            << "restored " << got << "; the card had " << ::testing::PrintToString(want);
    }
};

// A session added and given a key, then the card killed at once; a removed
// session, killed at once; orphan files left before a start, and one left
// under the id a new session takes.
TEST_F(CaKill, AcknowledgedChangesSurviveAKillAndNoFileOutlivesItsSession)
{
    TearDown();
    const fs::path dir = root_ / "var/local/solvera";
    fs::create_directories(dir);
    std::ofstream(dir / "ca_keys_5.pub.csv") << mcftest::csv_lines({pems()[1]});
    std::ofstream(dir / "ca_keys_3.pub.csv.tmp") << mcftest::csv_lines({pems()[2]});

    life l = start();
    EXPECT_EQ(line(l), "|") << "orphan files are removed at the start";
    std::ofstream(dir / "ca_keys_0.pub.csv") << mcftest::csv_lines({pems()[1]});
    EXPECT_EQ(ask(l, "add"), "ok");
    EXPECT_EQ(ask(l, "state"), "0:|") << "a new session does not take an old file";
    EXPECT_EQ(ask(l, "ent 0 0"), "ok");
    end(l, true);

    l = start();
    EXPECT_EQ(line(l), "0:" + key_ids()[0] + "|ca_keys_0.pub.csv") << "an answered entitlement is kept";
    EXPECT_EQ(ask(l, "rem 0"), "ok");
    end(l, true);

    l = start();
    EXPECT_EQ(line(l), "|") << "a removed session does not come back";
    EXPECT_EQ(ask(l, "add"), "ok");
    EXPECT_EQ(ask(l, "state"), "0:|");
    EXPECT_EQ(end(l, false), 0);

    l = start();
    EXPECT_EQ(line(l), "0:|");
    EXPECT_EQ(end(l, false), 0);
    SetUp();
}

TEST_F(CaKill, RandomChangesKilledAtRandomMomentsRestoreAStateTheCardHad)
{
    const char *rounds_env = std::getenv("KD_CA_KILL_ROUNDS");
    const char *seed_env = std::getenv("KD_CA_KILL_SEED");
    const int rounds = rounds_env ? std::atoi(rounds_env) : 30;
    const unsigned seed = seed_env ? unsigned(std::strtoul(seed_env, nullptr, 10)) : std::random_device{}();
    SCOPED_TRACE("KD_CA_KILL_SEED=" + std::to_string(seed));
    std::mt19937 rng(seed);
    auto pick = [&](int n) { return int(rng() % unsigned(n)); };
    (void)key_ids(); // made here, not in each child
    TearDown();

    ca_state acked;                     // every answered change
    std::vector<ca_state> had = {acked}; // what the card may be found in
    for (int round = 0; round < rounds && !HasFailure(); ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        life l = start();
        const std::optional<std::string> first = line(l);
        ASSERT_TRUE(first);
        expect_one_of(*first, had);
        // Go on from the state found (the in-flight change may have made it).
        for (const ca_state &s : had)
            if (text_of(s) + "|" + files_of(s) == *first)
                acked = s;

        // Some answered changes, then one more, after which the card is
        // killed: before, during or after it.
        const int answered = pick(6);
        op last{};
        for (int i = 0; i <= answered; ++i) {
            op o{op::add};
            const int choice = pick(10);
            if (!acked.empty() && (choice < 6 || acked.size() >= 4)) {
                auto it = acked.begin();
                std::advance(it, pick(int(acked.size())));
                o = choice < 2 && acked.size() > 1 ? op{op::rem, it->first} : op{op::entitle, it->first, size_t(pick(5))};
            }
            if (i == answered) {
                last = o;
                break;
            }
            ca_state next = acked;
            const bool accepted = apply(next, o);
            ASSERT_EQ(ask(l, request(o)), accepted ? "ok" : "fail") << request(o);
            acked = next;
        }
        send(l, request(last));
        ca_state after = acked;
        const bool accepted = apply(after, last);
        had = {acked};
        if (accepted)
            had.push_back(after);
        // Now and then the answer comes first: then the change is either
        // kept or was refused.
        if (pick(4) == 0) {
            const std::optional<std::string> answer = line(l);
            ASSERT_EQ(answer, accepted ? "ok" : "fail") << request(last);
            had = {after};
        }
        std::this_thread::sleep_for(std::chrono::microseconds(pick(3000)));
        end(l, true);
    }
    // A last start, stopped cleanly, holds what it found.
    life l = start();
    const std::optional<std::string> first = line(l);
    ASSERT_TRUE(first);
    expect_one_of(*first, had);
    EXPECT_EQ(ask(l, "state"), *first);
    EXPECT_EQ(end(l, false), 0);
    SetUp();
}

} // namespace

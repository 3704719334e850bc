// The rig's card: the host program in the card namespace with a carrier on
// eth2 starts the forwarder active, takes "route value" lines through the
// control plug-in, keeps them in its store file and comes back with them.
// A run killed mid-way leaves nothing once the next rig has started.
#include "rig_ask.h"
#include "rig_card.h"

#include <gtest/gtest.h>

#include <fstream>
#include <set>
#include <sstream>

#include <spawn.h>

namespace {

std::string read_file(const std::string &path)
{
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

TEST(RigCard, StartsActiveTakesLinesAndKeepsThemInTheStore)
{
    if (const std::string why = xsbsim::net_rig::skip_reason(); !why.empty())
        GTEST_SKIP() << why;
    rig::net n;
    std::string store;
    {
        rig::card c(n);
        ASSERT_TRUE(c.wait_for_log("[mcastfwdr] Started Active")) << c.log();
        EXPECT_EQ(rig::ask(c.socket(), "mcastfwdr/add_input_net_rule Yes").substr(0, 2), "ok");
        EXPECT_EQ(rig::ask(c.socket(), "mcastfwdr/rules/inputs/input_100/ip_address 239.35.1.1"), "ok 239.35.1.1");
        EXPECT_EQ(rig::ask(c.socket(), "mcastfwdr/rules/inputs/input_100/port 5000"), "ok 5000");
        EXPECT_EQ(rig::ask(c.socket(), "mcastfwdr/rules/inputs/input_100/port 70000"), "fail refused");
        EXPECT_EQ(c.stop(), 0) << c.log();
        store = read_file(c.store_file());
        EXPECT_NE(store.find("\"mcastfwdr/input_net_keys\": \"100\""), std::string::npos) << store;
        EXPECT_NE(store.find("239.35.1.1"), std::string::npos) << store;
    }
    // The same store file brings the input back at the next start.
    rig::card again(n, store);
    ASSERT_TRUE(again.wait_for_log("[mcastfwdr] Started Active")) << again.log();
    EXPECT_EQ(rig::ask(again.socket(), "mcastfwdr/rules/inputs/input_100/port 5001"), "ok 5001");
    EXPECT_EQ(again.stop(), 0) << again.log();
}

// What a run of pid `owner` holds: its namespaces and directories.
rigproc::leftovers held_by(pid_t owner)
{
    namespace fs = std::filesystem;
    rigproc::leftovers held;
    std::error_code ec;
    for (const auto &e : fs::directory_iterator("/run/netns", ec))
        if (rigproc::owner_in(e.path().filename(), rigproc::namespace_prefixes, 'x') == owner)
            held.namespaces.push_back(e.path().filename());
    for (const auto &e : fs::directory_iterator("/tmp", ec))
        if (rigproc::owner_in(e.path().filename(), rigproc::directory_prefixes, '.') == owner)
            held.directories.push_back(e.path());
    return held;
}

std::string command_of(pid_t pid) { return read_file("/proc/" + std::to_string(pid) + "/cmdline"); }

bool gone_within(const std::vector<pid_t> &pids, std::chrono::seconds limit)
{
    const auto deadline = std::chrono::steady_clock::now() + limit;
    auto any_alive = [&] {
        return std::any_of(pids.begin(), pids.end(), [](pid_t p) { return rigproc::alive(p); });
    };
    while (any_alive() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    return !any_alive();
}

// A run killed with SIGKILL mid-way (as a CI time-out does): the card's
// host and carrier die with it, and the next rig to start removes what is
// left (namespaces, directories, processes that outlived it, such as a
// daemon that detached), leaving a live run's own alone.
TEST(RigCard, AKilledRunIsSweptByTheNextOneAndALiveRunIsKept)
{
    if (const std::string why = xsbsim::net_rig::skip_reason(); !why.empty())
        GTEST_SKIP() << why;
    rig::net live;
    const std::string live_dir = rigproc::make_temp_dir("kdt");
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    const pid_t victim = fork();
    ASSERT_GE(victim, 0);
    if (victim == 0) {
        close(ready[0]);
        char ok = '0';
        try {
            rig::net n;
            rig::card c(n);
            const std::string dir = rigproc::make_temp_dir("kdt");
            // Two processes that do not die with the run: one in its
            // namespace, one naming its directory.
            pid_t orphan;
            std::vector<std::string> in_ns = {"ip", "netns", "exec", n.sink(), "sleep", "600"},
                                     in_dir = {"env", "KD_ROOT=" + dir, "sleep", "600"};
            for (auto *args : {&in_ns, &in_dir}) {
                std::vector<char *> argv;
                for (auto &a : *args)
                    argv.push_back(a.data());
                argv.push_back(nullptr);
                if (posix_spawnp(&orphan, argv[0], nullptr, nullptr, argv.data(), environ) != 0)
                    _exit(1);
            }
            ok = c.wait_ready() ? '1' : '0';
            (void)!write(ready[1], &ok, 1);
            pause(); // killed here, the rig still up
        } catch (...) {
        }
        (void)!write(ready[1], &ok, 1);
        _exit(0);
    }
    close(ready[1]);
    char ok = 0;
    const bool told = read(ready[0], &ok, 1) == 1;
    close(ready[0]);
    const rigproc::leftovers held = held_by(victim);
    const std::vector<pid_t> procs = rigproc::processes_of(held);
    std::vector<pid_t> card_procs;
    for (pid_t p : procs)
        if (const std::string cmd = command_of(p);
            cmd.find("kerrow-host") != std::string::npos || cmd.find("xsbcarrier") != std::string::npos)
            card_procs.push_back(p);
    kill(victim, SIGKILL);
    waitpid(victim, nullptr, 0);
    ASSERT_TRUE(told && ok == '1') << "the killed run did not get its card running";
    EXPECT_EQ(held.namespaces.size(), 4u);
    EXPECT_EQ(held.directories.size(), 2u); // the card's root and the run's own
    EXPECT_EQ(card_procs.size(), 2u);
    EXPECT_GE(procs.size(), 4u); // the card's two and the two that outlive the run

    // The card's processes die with the run, the others are left to the sweep.
    EXPECT_TRUE(gone_within(card_procs, std::chrono::seconds(60)));
    EXPECT_FALSE(gone_within(procs, std::chrono::seconds(0)));

    rigproc::sweep_dead_runs(); // what the next rig does when it starts
    const rigproc::leftovers after = held_by(victim);
    EXPECT_TRUE(after.namespaces.empty()) << after.namespaces.front();
    EXPECT_TRUE(after.directories.empty()) << after.directories.front();
    EXPECT_TRUE(gone_within(procs, std::chrono::seconds(60)));

    // This run's own rig and directory are alive and kept.
    for (const std::string &ns : {live.generator(), live.card(), live.sink(), live.carrier()})
        EXPECT_TRUE(std::filesystem::exists("/run/netns/" + ns)) << ns;
    EXPECT_TRUE(std::filesystem::exists(live_dir));
    std::filesystem::remove_all(live_dir);
}

} // namespace

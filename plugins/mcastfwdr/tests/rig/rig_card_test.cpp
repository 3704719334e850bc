// The rig's card: the host program in the card namespace with a carrier on
// eth2 starts the forwarder active, takes "route value" lines through the
// control plug-in, keeps them in its store file and comes back with them.
#include "rig_ask.h"
#include "rig_card.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

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

} // namespace

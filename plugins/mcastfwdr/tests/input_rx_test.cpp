// An input's PID record: the multiplexer marks PIDs while another thread
// reads their text, which must always be a whole text of some moment.
#include "router/input_rx.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <string>
#include <thread>

namespace {

// "a,b,c" with ascending values below 8192, or empty.
bool well_formed(const std::string &t)
{
    long prev = -1;
    for (size_t at = 0; at < t.size();) {
        char *end = nullptr;
        const long v = std::strtol(t.c_str() + at, &end, 10);
        if (end == t.c_str() + at || v <= prev || v > 8191)
            return false;
        prev = v;
        at = size_t(end - t.c_str());
        if (at < t.size() && t[at++] != ',')
            return false;
    }
    return true;
}

TEST(InputRx, PidTextIsPublishedWhole)
{
    auto rx = std::make_unique<mcf::input_rx>();
    EXPECT_TRUE(rx->note_pid(17));
    EXPECT_FALSE(rx->note_pid(17));
    EXPECT_TRUE(rx->note_pid(0));
    EXPECT_TRUE(rx->has_pid(0) && rx->has_pid(17) && !rx->has_pid(16));
    char text[256];
    rx->pids_text(text, sizeof text);
    EXPECT_STREQ(text, "0,17");

    std::atomic<bool> done{false};
    std::thread writer([&] {
        for (int round = 0; round < 40; ++round) {
            rx->clear_pids();
            for (unsigned pid = 8191; pid > 8191 - 200; --pid)
                rx->note_pid(pid);
        }
        done = true;
    });
    int reads = 0;
    while (!done || reads == 0) {
        rx->pids_text(text, sizeof text);
        ASSERT_TRUE(well_formed(text)) << text;
        ++reads;
    }
    writer.join();
    rx->pids_text(text, sizeof text);
    EXPECT_EQ(std::string(text).substr(0, 10), "7992,7993,"); // those that fit whole, lowest first
    EXPECT_LT(std::string(text).size(), 256u);
}

} // namespace

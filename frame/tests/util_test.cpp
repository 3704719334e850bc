#include "test_support.h"

#include <kerrow/path.h>

#include <sys/stat.h>

#include <cstring>
#include <fstream>
#include <string>

namespace {

TEST(FrameUtil, StrerrorTable)
{
    struct Case {
        int code;
        const char *text;
    } cases[] = {
        {0, "Unknown error code"},  {1, "Accessing memory out of bounds"},
        {3, "spawn err"},           {8, "Param only supports read only control"},
        {12, "duplicate err"},      {13, "Unknown error code"},
        {-1, "Unknown error code"},
    };
    for (const auto &c : cases)
        EXPECT_STREQ(kd_frame_strerror(c.code), c.text) << c.code;
}

TEST(FrameUtil, HexDump)
{
    const unsigned char bytes[] = {0x00, 0x01, 0xab, 0xff, 4, 5, 6, 7, 8, 9};
    struct Case {
        int hlen, len;
        const char *out;
    } cases[] = {
        {64, 3, "00 01 ab "},
        {64, 10, "00 01 ab ff 04 05 06 07\n08 09 "},
        {7, 10, "00 01 "},  // room for two bytes and the terminator
        {64, 0, ""},
        {2, 3, ""},
    };
    for (const auto &c : cases) {
        char buf[64] = {};
        int n = kd_frame_debug_hexdump(buf, c.hlen, bytes, c.len);
        EXPECT_EQ(n, static_cast<int>(std::strlen(c.out))) << c.hlen << "/" << c.len;
        if (n) {
            EXPECT_STREQ(buf, c.out);
        }
    }
}

TEST(FrameUtil, UnitIdFromSerialNumberWhenNative)
{
    kdtest::TempRoot root; // no oem marker under it: native
    ASSERT_TRUE(kd_frame_is_running_native());
    setenv("serialnum", "ABCDEFGHIJKLMNOPQRST", 1);
    EXPECT_STREQ(kd_frame_get_uid(), "ABCDEFGHIJKLMNOP");
    unsetenv("serialnum");

    // The on-card marker under the root turns native mode off.
    std::filesystem::create_directories(root / "opt/pkg/var");
    std::ofstream(root / "opt/pkg/var/oem") << "";
    EXPECT_FALSE(kd_frame_is_running_native());
}

TEST(FrameUtil, MessageHandlerTable)
{
    kdtest::LogCapture log;
    auto *t = kd_frame_msgh_create_table(3);
    auto h1 = [](int, const char *, int, void *) { return 1; };
    auto h2 = [](int, const char *, int, void *) { return 2; };
    auto h3 = [](int, const char *, int, void *) { return 3; };
    EXPECT_EQ(kd_frame_msgh_insert_handler(t, "zeta", 2, h1), 0);
    EXPECT_EQ(kd_frame_msgh_insert_handler(t, "alpha", 9, h2), 0);
    EXPECT_EQ(kd_frame_msgh_insert_handler(t, nullptr, 1, h3), 0);
    EXPECT_EQ(kd_frame_msgh_insert_handler(t, "alpha", 1, h1), -1); // full
    EXPECT_EQ(kd_frame_msgh_get_free_space(t), 0);

    struct Case {
        const char *scope;
        int mt;
        int result; // 0: not found
    } cases[] = {{"zeta", 2, 1}, {"alpha", 9, 2}, {nullptr, 1, 3}, {"alpha", 2, 0}, {"beta", 9, 0}};
    for (const auto &c : cases) {
        auto *e = kd_frame_msgh_get_entry(t, c.scope, c.mt);
        if (c.result) {
            ASSERT_TRUE(e && e->fn(0, nullptr, 0, nullptr) == c.result) << (c.scope ? c.scope : "null");
        } else {
            EXPECT_EQ(e, nullptr);
        }
    }
    EXPECT_EQ(log.count("No entry for"), 2);
    EXPECT_EQ(kd_frame_msgh_destroy_table(t), 0);
}

TEST(PathHelper, PrefixesAbsolutePathsWithTheRoot)
{
    char buf[64];
    unsetenv("KD_ROOT");
    EXPECT_EQ(kd_path("/var/run/x.sock", buf, sizeof buf), 15);
    EXPECT_STREQ(buf, "/var/run/x.sock");

    setenv("KD_ROOT", "/tmp/r/", 1); // trailing slash ignored
    EXPECT_EQ(kd::rooted("/etc/solvera/chassis.conf"), "/tmp/r/etc/solvera/chassis.conf");
    EXPECT_EQ(kd::rooted("relative/file"), "relative/file");
    EXPECT_GT(kd_path("/dev/mem", buf, sizeof buf), 0);
    EXPECT_STREQ(buf, "/tmp/r/dev/mem");
    EXPECT_STREQ(kd_root(), "/tmp/r");

    char tiny[8];
    EXPECT_EQ(kd_path("/dev/mem", tiny, sizeof tiny), -1);
    EXPECT_STREQ(tiny, "");
    unsetenv("KD_ROOT");
}

} // namespace

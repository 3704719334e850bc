// What the chip simulator holds to, so that tests written against it test
// the library and not the stand-in: descriptor binding, per-device request
// checks, the main-state record of the driver's generation, and reset.
#include "m30sim.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <sys/eventfd.h>
#include <thread>
#include <unistd.h>

namespace {

struct Sim : ::testing::Test {
    m30sim::Chip chip{1};
    const m30_driver_port *p = chip.port();

    int bound(uint16_t type)
    {
        int fd = p->open(p->ctx, "/any/root/dev/m30smb1", O_RDWR);
        fmb_logical_device_info info{type};
        EXPECT_EQ(p->ioctl(p->ctx, fd, FMB_API_SET_LOGICAL_DEVICE, &info), 0);
        return fd;
    }
    int call(int fd, unsigned long req, void *arg)
    {
        errno = 0;
        return p->ioctl(p->ctx, fd, req, arg);
    }
};

} // namespace

TEST_F(Sim, OpensOnlyItsNodeAndBindsOnce)
{
    EXPECT_EQ(p->open(p->ctx, "/dev/m30smb0", O_RDWR), -1);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_EQ(p->open(p->ctx, "/dev/m30smb1", O_RDONLY), -1);
    EXPECT_EQ(errno, EACCES);

    int fd = p->open(p->ctx, "/dev/m30smb1", O_RDWR);
    ASSERT_GE(fd, 0);
    uint32_t v = 0;
    fmb_reg_info r{1, M30_REG_MAIN_STATE, &v};
    EXPECT_EQ(call(fd, FMB_API_GET_REG, &r), -1); // unbound
    EXPECT_EQ(errno, EBADF);
    fmb_logical_device_info bad{0x400}, sys{FMB_DEVICE_SYSTEM};
    EXPECT_EQ(call(fd, FMB_API_SET_LOGICAL_DEVICE, &bad), -1);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(call(fd, FMB_API_SET_LOGICAL_DEVICE, &sys), 0);
    EXPECT_EQ(call(fd, FMB_API_SET_LOGICAL_DEVICE, &sys), -1);
    EXPECT_EQ(errno, EBUSY);
    EXPECT_EQ(p->close(p->ctx, fd), 0);
    EXPECT_EQ(p->close(p->ctx, fd), -1);
    EXPECT_EQ(chip.open_handles(), 0u);
}

TEST_F(Sim, RequestsGoToTheirOwnDevice)
{
    int sys = bound(FMB_DEVICE_SYSTEM), ctl = bound(FMB_DEVICE_CONTROL), vei = bound(0x302);
    fmb_reset_info reset{false};
    fmb_input_id_state_info in{2, 0, 0};
    EXPECT_EQ(call(ctl, FMB_API_RESET, &reset), -1);
    EXPECT_EQ(errno, ENOTTY);
    EXPECT_EQ(call(sys, FMB_API_INPUT_STATE, &in), -1);
    EXPECT_EQ(errno, ENOTTY);
    uint32_t v = 0;
    fmb_reg_info r{1, M30_REG_MAIN_STATE, &v};
    EXPECT_EQ(call(vei, FMB_API_GET_REG, &r), -1);
    EXPECT_EQ(errno, ENOTTY);
    fmb_reg_info two{2, M30_REG_MAIN_STATE, &v}, odd{1, 0x20000002, &v};
    EXPECT_EQ(call(ctl, FMB_API_GET_REG, &two), -1);
    EXPECT_EQ(call(ctl, FMB_API_GET_REG, &odd), -1);
    EXPECT_EQ(call(ctl, 0x4004AE99ul, &v), -1);
    EXPECT_EQ(errno, ENOTTY);
    EXPECT_EQ(call(ctl, FMB_API_INPUT_STATE, &in), 0);
    EXPECT_EQ(chip.peek(M30_REG_INPUT_STATE(0)), 2u);
}

TEST_F(Sim, MainStateRecordFollowsTheDriverGeneration)
{
    int sys = bound(FMB_DEVICE_SYSTEM);
    fmb_main_state_info v3{2, 2, 1, 0, 1};
    fmb_main_state_info_v7 v7{2, 0, 1, 0, 1, 2};
    // The default driver text begins with "7": only the 24-byte record.
    EXPECT_EQ(call(sys, FMB_API_CHANGE_MAIN_STATE_V3, &v3), -1);
    EXPECT_EQ(errno, ENOTTY);
    EXPECT_EQ(call(sys, FMB_API_CHANGE_MAIN_STATE, &v7), 0);
    EXPECT_EQ(chip.peek(M30_REG_MAIN_STATE), 2u);

    chip.set_driver_text("3.9");
    v3.state = 4;
    EXPECT_EQ(call(sys, FMB_API_CHANGE_MAIN_STATE, &v7), -1);
    EXPECT_EQ(call(sys, FMB_API_CHANGE_MAIN_STATE_V3, &v3), 0);
    EXPECT_EQ(chip.peek(M30_REG_MAIN_STATE), 4u);
    auto reqs = chip.main_state_requests();
    ASSERT_EQ(reqs.size(), 2u); // refused records are not taken
    EXPECT_EQ(reqs[0].first, FMB_API_CHANGE_MAIN_STATE);
    EXPECT_EQ(reqs[0].second, (std::vector<uint32_t>{2, 0, 1, 0, 1, 2}));
    EXPECT_EQ(reqs[1].first, FMB_API_CHANGE_MAIN_STATE_V3);
    EXPECT_EQ(reqs[1].second, (std::vector<uint32_t>{4, 2, 1, 0, 1}));

    // A stuck chip takes the request but stays; a state outside 1 to 4 is refused.
    chip.set_state_stuck(true);
    v3.state = 2;
    EXPECT_EQ(call(sys, FMB_API_CHANGE_MAIN_STATE_V3, &v3), 0);
    EXPECT_EQ(chip.peek(M30_REG_MAIN_STATE), 4u);
    v3.state = 6;
    EXPECT_EQ(call(sys, FMB_API_CHANGE_MAIN_STATE_V3, &v3), -1);
    EXPECT_EQ(errno, EINVAL);
}

TEST_F(Sim, ResetReturnsToBootWithEverythingStopped)
{
    int sys = bound(FMB_DEVICE_SYSTEM), ctl = bound(FMB_DEVICE_CONTROL);
    chip.poke(M30_REG_MAIN_STATE, 4);
    chip.poke(M30_REG_OUTPUT_STATE(2), 2);
    fmb_reset_info reset{false};
    ASSERT_EQ(call(sys, FMB_API_RESET, &reset), 0);
    EXPECT_EQ(chip.peek(M30_REG_MAIN_STATE), 1u);
    EXPECT_EQ(chip.peek(M30_REG_OUTPUT_STATE(2)), 1u);
    EXPECT_EQ(chip.resets(), std::vector<bool>{false});
    // Descriptors survive a reset.
    uint32_t v = 0;
    fmb_reg_info r{1, M30_REG_MAIN_STATE, &v};
    EXPECT_EQ(call(ctl, FMB_API_GET_REG, &r), 0);
    EXPECT_EQ(v, 1u);
}

TEST_F(Sim, MainStateTransitionsFollowTheChip)
{
    int sys = bound(FMB_DEVICE_SYSTEM);
    // DECODE and ENCODE only from INIT, with the direction's channel mode.
    fmb_main_state_info_v7 dec{4, 0, 1, 0, 1, 2};
    EXPECT_EQ(call(sys, FMB_API_CHANGE_MAIN_STATE, &dec), -1);
    EXPECT_EQ(errno, EPERM);
    fmb_main_state_info_v7 init{2, 0, 1, 0, 1, 2};
    ASSERT_EQ(call(sys, FMB_API_CHANGE_MAIN_STATE, &init), 0);
    fmb_main_state_info_v7 wrong{4, 2, 1, 0, 1, 0}; // decode with an encode mode
    EXPECT_EQ(call(sys, FMB_API_CHANGE_MAIN_STATE, &wrong), -1);
    EXPECT_EQ(errno, EINVAL);
    ASSERT_EQ(call(sys, FMB_API_CHANGE_MAIN_STATE, &dec), 0);
    EXPECT_EQ(chip.peek(M30_REG_MAIN_STATE), 4u);
    // ERROR is left only by a reset.
    chip.poke(M30_REG_MAIN_STATE, 0xFFFFFFFFu);
    EXPECT_EQ(call(sys, FMB_API_CHANGE_MAIN_STATE, &init), -1);
    fmb_reset_info r{false};
    ASSERT_EQ(call(sys, FMB_API_RESET, &r), 0);
    EXPECT_EQ(call(sys, FMB_API_CHANGE_MAIN_STATE, &init), 0);
}

TEST_F(Sim, GeneratorTalksOnlyWhileRunningAndReadsTheDemultiplexerBlock)
{
    int ctl = bound(FMB_DEVICE_CONTROL);
    int efd = eventfd(0, EFD_NONBLOCK | EFD_SEMAPHORE);
    fmb_enable_message_notification_info en{efd, FMB_MESSAGE_TARGET_DMX, 2};
    ASSERT_EQ(call(ctl, FMB_API_ENABLE_MESSAGE_NOTIFICATION, &en), 0);
    // Other PIDs 1 and 2 enabled in chip id 2's DMX block.
    uint32_t base = 0x2000A000 + 0x200;
    chip.poke(base + 9 * 4, 0x6);
    chip.poke(base + 10 * 4, 0x01230000);
    chip.poke(base + 11 * 4, 0x00000456);
    chip.poke(base + 12 * 4, 0x00010000);
    auto pids = chip.dmx_detect_pids(2);
    ASSERT_EQ(pids.size(), 2u);
    EXPECT_EQ(pids[0].pid, 0x123);
    EXPECT_EQ(pids[1].pid, 0x456);
    EXPECT_EQ(pids[1].fmt, 1);

    m30sim::GeneratorConfig g;
    g.frame_period_us = 2000;
    g.pid_detect = true;
    chip.start_generator(g);
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_EQ(chip.pending_messages(FMB_MESSAGE_TARGET_DMX, 2), 0u); // BOOT: silent
    chip.poke(M30_REG_MAIN_STATE, 4);
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (chip.pending_messages(FMB_MESSAGE_TARGET_DMX, 2) < 3 && std::chrono::steady_clock::now() < end)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    chip.stop_generator();
    chip.stop_generator();
    size_t n = chip.pending_messages(FMB_MESSAGE_TARGET_DMX, 2);
    EXPECT_GE(n, 3u);
    // The first frame carries a PCR and both PID reports.
    std::vector<uint32_t> ids;
    for (size_t k = 0; k < 3; ++k) {
        fmb_message_info m{};
        m.message_target = FMB_MESSAGE_TARGET_DMX;
        m.target_id = 2;
        ASSERT_EQ(call(ctl, FMB_API_GET_MESSAGE, &m), 0);
        ids.push_back(m.message_id * 100 + m.message_param[1]);
    }
    EXPECT_EQ(ids[1], 402u);
    EXPECT_EQ(ids[2], 404u);
    close(efd);
}

TEST_F(Sim, PicturesCarryTheStreamsVideoTimeStampsAfterTheDecodingDelay)
{
    int ctl = bound(FMB_DEVICE_CONTROL);
    int efd = eventfd(0, EFD_NONBLOCK | EFD_SEMAPHORE);
    fmb_enable_message_notification_info en{efd, FMB_MESSAGE_TARGET_VD, 0};
    ASSERT_EQ(call(ctl, FMB_API_ENABLE_MESSAGE_NOTIFICATION, &en), 0);
    fmb_enable_message_notification_info dmx{efd, FMB_MESSAGE_TARGET_DMX, 0}; // a PCR every frame
    ASSERT_EQ(call(ctl, FMB_API_ENABLE_MESSAGE_NOTIFICATION, &dmx), 0);
    chip.poke(M30_REG_MAIN_STATE, 4);
    m30sim::GeneratorConfig g;
    g.frame_period_us = 20000;                // 50 Hz: 1800 ticks
    g.start_pts = (uint64_t(1) << 33) - 1800; // the second picture wraps
    g.decode_delay = 3;
    chip.start_generator(g);
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (chip.pending_messages(FMB_MESSAGE_TARGET_VD, 0) < 3 && std::chrono::steady_clock::now() < end)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    chip.stop_generator();
    ASSERT_GE(chip.pending_messages(FMB_MESSAGE_TARGET_VD, 0), 3u);
    EXPECT_EQ(chip.pending_messages(FMB_MESSAGE_TARGET_DMX, 0), chip.pending_messages(FMB_MESSAGE_TARGET_VD, 0) + 3)
        << "no picture in the first three frames";
    const uint64_t want[] = {g.start_pts, 0, 1800};
    for (uint64_t w : want) {
        fmb_message_info m{};
        m.message_target = FMB_MESSAGE_TARGET_VD;
        m.target_id = 0;
        ASSERT_EQ(call(ctl, FMB_API_GET_MESSAGE, &m), 0);
        EXPECT_EQ(m.message_id, 1u);
        EXPECT_EQ(uint64_t(m.message_param[1] & 1) << 32 | m.message_param[2], w);
    }
    close(efd);
}

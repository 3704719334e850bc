// What the chip simulator holds to, so that tests written against it test
// the library and not the stand-in: descriptor binding, per-device request
// checks, the main-state record of the driver's generation, and reset.
#include "m30sim.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <fcntl.h>

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

// The driver layer over the chip simulator: opening the chip, registers,
// the parameter-block transfer and its handshake, dump files, input and
// output switching, message notification, and the kernel port's refusals.
#include "block_ops.h"
#include "m30_internal.h"
#include "m30sim.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <sys/eventfd.h>
#include <unistd.h>

using namespace m30test;
namespace fs = std::filesystem;

namespace {

class Driver : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(m30_driver_set_port(chip_.port()), 0);
        fs::create_directories(root_ / "tmp");
    }
    void TearDown() override
    {
        for (m30_context *m : made_)
            m30_context_destroy(m);
        m30_driver_set_port(nullptr);
    }
    m30_context *create(bool encode = false)
    {
        m30_context *m = m30_context_create(0, encode);
        if (m)
            made_.push_back(m);
        return m;
    }
    std::vector<uint8_t> slurp(const std::string &path)
    {
        std::ifstream f(path, std::ios::binary);
        return {std::istreambuf_iterator<char>(f), {}};
    }

    kdtest::TempRoot root_;
    m30sim::Chip chip_;
    std::vector<m30_context *> made_;
};

} // namespace

TEST_F(Driver, CreationBindsTheDevicesSelectsTheModeAndReadsVersions)
{
    m30_context *m = create();
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(chip_.bind_order(), (std::vector<uint16_t>{0x100, 0x200, 0x300, 0x301, 0x302, 0x303}));
    EXPECT_EQ(chip_.peek(M30_REG_MODE_SELECT), 1u);
    EXPECT_EQ(chip_.resets(), std::vector<bool>{true});
    EXPECT_STREQ(m->driver_path, "/dev/m30smb0");

    m30_driver_ver gen{};
    char text[20];
    EXPECT_EQ(m30_context_get_driver_version(m, &gen, text, sizeof text), 0);
    EXPECT_STREQ(text, "7.3.0");
    EXPECT_EQ(gen, M30_DRIVER_VER_V7);
    char firm[50];
    EXPECT_EQ(m30_context_get_firmware_version(m, firm, sizeof firm), 0);
    EXPECT_STREQ(firm, "2.1.0.7.31");

    m30_context_destroy(m);
    made_.clear();
    EXPECT_EQ(chip_.open_handles(), 0u);

    // An encode context selects mode 0.
    ASSERT_NE(create(true), nullptr);
    EXPECT_EQ(chip_.peek(M30_REG_MODE_SELECT), 0u);
}

TEST_F(Driver, ModeSelectAndResetPrecedeTheControlDevice)
{
    chip_.fail_bind(0x200, EIO);
    EXPECT_EQ(create(), nullptr);
    EXPECT_EQ(chip_.peek(M30_REG_MODE_SELECT), 1u);
    EXPECT_EQ(chip_.resets(), std::vector<bool>{true});
}

TEST_F(Driver, FailedCreationLeavesNothingOpen)
{
    struct Case {
        const char *what;
        std::function<void(m30sim::Chip &)> fault;
    };
    const std::vector<Case> cases = {
        {"first open", [](auto &c) { c.fail_open(ENOENT, 1); }},
        {"control open", [](auto &c) { c.fail_open(EMFILE, 1, 1); }},
        {"last encode input open", [](auto &c) { c.fail_open(EMFILE, 1, 5); }},
        {"system bind", [](auto &c) { c.fail_bind(0x100, EINVAL); }},
        {"control bind", [](auto &c) { c.fail_bind(0x200, EINVAL); }},
        {"encode input 3 bind", [](auto &c) { c.fail_bind(0x303, EBUSY); }},
        {"reset", [](auto &c) { c.fail_ioctl(FMB_API_RESET, EIO, 1); }},
        {"version", [](auto &c) { c.fail_ioctl(FMB_API_GET_VERSION, EIO, 1); }},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        chip_.clear_faults();
        c.fault(chip_);
        errno = 0;
        EXPECT_EQ(create(), nullptr);
        EXPECT_NE(errno, 0);
        EXPECT_EQ(chip_.open_handles(), 0u);
    }
    // A refused mode select is only reported.
    chip_.clear_faults();
    chip_.fail_ioctl(FMB_API_SET_REG, EIO, 1);
    testing::internal::CaptureStderr();
    EXPECT_NE(create(), nullptr);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), std::string("Failed ioctl to set register: ") + strerror(EIO) + "\n");
}

TEST_F(Driver, DriverGenerationAndVersionTexts)
{
    struct Case {
        std::string text;
        m30_driver_ver gen;
        std::string kept;
    };
    const std::vector<Case> cases = {
        {"3.2.1", M30_DRIVER_VER_V3, "3.2.1"},
        {"7.0", M30_DRIVER_VER_V7, "7.0"},
        {"5.7", M30_DRIVER_VER_OTHER, "5.7"},
        {"70123456789012345678", M30_DRIVER_VER_V7, "7012345678901234567"}, // 20 characters: 19 kept
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.text);
        chip_.set_driver_text(c.text);
        m30_context *m = create();
        ASSERT_NE(m, nullptr);
        m30_driver_ver gen{};
        char text[20];
        EXPECT_EQ(m30_context_get_driver_version(m, &gen, text, sizeof text), 0);
        EXPECT_EQ(gen, c.gen);
        EXPECT_EQ(text, c.kept);
        // The text must fit with its terminator; it may be left out.
        EXPECT_EQ(m30_context_get_driver_version(m, &gen, text, c.kept.size()), -1);
        EXPECT_EQ(m30_context_get_driver_version(m, &gen, nullptr, 0), 0);
        EXPECT_EQ(m30_context_get_driver_version(m, nullptr, text, sizeof text), -1);
    }
    EXPECT_EQ(m30_context_get_driver_version(nullptr, nullptr, nullptr, 0), -1);

    chip_.set_driver_text("");
    m30_context *m = create();
    ASSERT_NE(m, nullptr);
    m30_driver_ver gen{};
    EXPECT_EQ(m30_context_get_driver_version(m, &gen, nullptr, 0), -1);

    const uint32_t fw[5] = {4294967295u, 4294967295u, 4294967295u, 4294967295u, 4294967295u};
    chip_.set_firmware(fw);
    m = create();
    ASSERT_NE(m, nullptr);
    char firm[50];
    const std::string want = "4294967295.4294967295.4294967295.4294967295.4294967295"; // 54: cut to 49
    EXPECT_EQ(m30_context_get_firmware_version(m, firm, sizeof firm), 0);
    EXPECT_EQ(firm, want.substr(0, 49));
    EXPECT_EQ(m30_context_get_firmware_version(m, firm, 49), -1);
    EXPECT_EQ(m30_context_get_firmware_version(m, nullptr, 50), -1);
    EXPECT_EQ(m30_context_get_firmware_version(nullptr, firm, 50), -1);
}

TEST_F(Driver, HandshakeAllowsExactly1001Reads)
{
    m30_context *m = create();
    ASSERT_NE(m, nullptr);
    const uint32_t addr = 0x2000A000;
    struct Case {
        const char *what;
        std::function<void()> chip;
        int rc;
        int err;
        unsigned reads;
    };
    const std::vector<Case> cases = {
        {"echo on the first read", [&] { chip_.set_echo_delay(0); }, 0, 0, 1},
        {"echo on the 1001st read", [&] { chip_.set_echo_delay(1000); }, 0, 0, 1001},
        {"echo on the 1002nd read", [&] { chip_.set_echo_delay(1001); }, -1, ETIMEDOUT, 1001},
        {"no echo", [&] { chip_.set_echo_never(true); }, -1, ETIMEDOUT, 1001},
    };
    uint32_t cc = 77;
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        chip_.clear_faults();
        c.chip();
        chip_.reset_counts();
        errno = 0;
        EXPECT_EQ(cc_handshake(m->driver_control, addr, ++cc), c.rc);
        EXPECT_EQ(errno, c.err);
        EXPECT_EQ(chip_.reg_reads(addr), c.reads);
    }
    // A failed counter write gives up at once.
    chip_.clear_faults();
    chip_.fail_ioctl(FMB_API_SET_REG, EIO, 1);
    chip_.reset_counts();
    EXPECT_EQ(cc_handshake(m->driver_control, addr, ++cc), -1);
    EXPECT_EQ(chip_.reg_reads(addr), 0u);
}

TEST_F(Driver, BlockLoadTransfersExactlyThePackedImage)
{
    m30_context *m = create();
    ASSERT_NE(m, nullptr);
    const uint32_t base = 0x2000B200; // D block of chip id 2
    for (const auto &o : all_blocks()) {
        SCOPED_TRACE(o.name);
        Block b = hold(o, o.make_default());
        std::vector<uint8_t> buf(1024, 0);
        int n = o.to_bin(b.get(), buf.data(), buf.size());
        ASSERT_GT(n, 0);
        chip_.poke(base, 41);
        chip_.poke(base + uint32_t(n), 0xDEADBEEF);
        chip_.clear_load_log();
        ASSERT_EQ(m30_load_param_block(m, 2, base, "d", 2, buf.data(), size_t(n)), 0);
        // The data words after the counter, then the counter: n bytes in all.
        EXPECT_EQ(chip_.load_log(), (std::vector<m30sim::LoadRun>{{base + 4, uint32_t(n / 4 - 1)}, {base, 1}}));
        EXPECT_EQ(chip_.peek(base), 42u);
        for (int w = 1; w < n / 4; ++w)
            ASSERT_EQ(chip_.peek(base + 4 * uint32_t(w)), word(buf, size_t(w))) << "word " << w;
        EXPECT_EQ(chip_.peek(base + uint32_t(n)), 0xDEADBEEFu);
        // The dump holds the image as given.
        buf.resize(size_t(n));
        EXPECT_EQ(slurp(root_ / "tmp/kerrow_dparam_2.bin"), buf);
    }
}

TEST_F(Driver, OneWordBlockOnlyHandsTheCounterOver)
{
    m30_context *m = create();
    ASSERT_NE(m, nullptr);
    const std::vector<uint8_t> counter_only = {9, 0, 0, 0};
    chip_.poke(M30_PARAM_AREA_BASE, 5);
    chip_.clear_load_log();
    EXPECT_EQ(m30_load_params_c(m, counter_only.data(), counter_only.size()), 0);
    EXPECT_EQ(chip_.load_log(), (std::vector<m30sim::LoadRun>{{M30_PARAM_AREA_BASE, 1}}));
    EXPECT_EQ(chip_.peek(M30_PARAM_AREA_BASE), 6u);
    EXPECT_EQ(slurp(root_ / "tmp/kerrow_cparam_0.bin"), counter_only);
}

TEST_F(Driver, BlockLoadRefusals)
{
    m30_context *m = create();
    ASSERT_NE(m, nullptr);
    std::vector<uint8_t> img(256, 0);
    chip_.reset_counts();
    EXPECT_EQ(m30_load_param_block(m, -1, 0x20009000, "si", 0, img.data(), img.size()), -1);
    EXPECT_EQ(chip_.ioctl_count(FMB_API_GET_REG) + chip_.ioctl_count(FMB_API_SET_REG), 0u);
    EXPECT_FALSE(fs::exists(root_ / "tmp/kerrow_siparam_0.bin"));

    int saved = m->driver_control;
    m->driver_control = -1;
    EXPECT_EQ(m30_load_params_c(m, img.data(), 128), -1);
    EXPECT_EQ(m30_clear_param_area(m), -1);
    m->driver_control = saved;

    // A chip that never takes the block: the load fails with ETIMEDOUT.
    chip_.set_echo_never(true);
    errno = 0;
    EXPECT_EQ(m30_load_params_c(m, img.data(), 128), -1);
    EXPECT_EQ(errno, ETIMEDOUT);
}

TEST_F(Driver, DumpFilesAreSafeAndNeverStopALoad)
{
    m30_context *m = create();
    ASSERT_NE(m, nullptr);
    std::vector<uint8_t> img(256, 0x11);
    img[0] = 1;

    // A link planted at the dump's name is not followed.
    std::ofstream(root_ / "victim") << "keep";
    fs::create_symlink(root_ / "victim", root_ / "tmp/kerrow_vdparam_0.bin");
    EXPECT_EQ(m30_load_param_block(m, 0, 0x20013000, "vd", 0, img.data(), img.size()), 0);
    EXPECT_EQ(slurp(root_ / "victim"), (std::vector<uint8_t>{'k', 'e', 'e', 'p'}));

    // A longer earlier dump is replaced whole.
    std::ofstream(root_ / "tmp/kerrow_aoparam_3.bin") << std::string(2000, 'x');
    EXPECT_EQ(m30_load_param_block(m, 0, 0x20043300, "ao", 3, img.data(), img.size()), 0);
    EXPECT_EQ(slurp(root_ / "tmp/kerrow_aoparam_3.bin"), img);

    // No length limit on the rooted path.
    std::string deep = root_ / std::string(120, 'r');
    fs::create_directories(deep + "/tmp");
    setenv("KD_ROOT", deep.c_str(), 1);
    EXPECT_EQ(m30_load_param_block(m, 0, 0x20033000, "vo", 12345, img.data(), img.size()), 0);
    EXPECT_EQ(slurp(deep + "/tmp/kerrow_voparam_12345.bin"), img);

    // No place for dumps: the load goes on.
    fs::remove_all(deep + "/tmp");
    EXPECT_EQ(m30_load_param_block(m, 0, 0x20033000, "vo", 0, img.data(), img.size()), 0);
    setenv("KD_ROOT", root_.path().c_str(), 1);
}

TEST_F(Driver, ClearingTheParameterAreaSparesTheCounter)
{
    for (bool encode : {false, true}) {
        SCOPED_TRACE(encode ? "encode" : "decode");
        m30_context *m = create(encode);
        ASSERT_NE(m, nullptr);
        chip_.poke(M30_PARAM_AREA_BASE, 7);
        chip_.poke(0x20000004, 0x12345678);
        chip_.poke(0x201FFFFC, 0x9ABCDEF0);
        chip_.clear_load_log();
        EXPECT_EQ(m30_clear_param_area(m), 0);
        EXPECT_EQ(chip_.load_log(),
                  (std::vector<m30sim::LoadRun>{{0x20000004, 524287}, {M30_PARAM_AREA_BASE, 1}}));
        EXPECT_EQ(chip_.peek(M30_PARAM_AREA_BASE), 8u);
        const uint32_t fill = encode ? 0xFFFFFFFFu : 0u;
        for (uint32_t a = 0x20000004; a < 0x20200000; a += 4)
            ASSERT_EQ(chip_.peek(a), fill) << std::hex << a;
    }
}

TEST_F(Driver, InputAndOutputSwitching)
{
    m30_context *m = create();
    ASSERT_NE(m, nullptr);
    chip_.reset_counts();
    EXPECT_EQ(m30_input_start(m, 2), 0);
    EXPECT_EQ(m30_input_start(m, 2), 0); // already started: nothing sent
    EXPECT_EQ(m30_get_input_state(m, 2), M30_INPUT_STATE_START);
    EXPECT_EQ(m30_input_stop(m, 2), 0);
    auto in = chip_.input_requests();
    ASSERT_EQ(in.size(), 2u);
    EXPECT_EQ(in[0].state, 2u);
    EXPECT_EQ(in[0].input_id, 2u);
    EXPECT_EQ(in[0].ains_id_bits, 0u);
    EXPECT_EQ(in[1].state, 1u);

    EXPECT_EQ(m30_output_start(m, 2), 0);
    EXPECT_EQ(m30_output_start(m, 2), 0);
    EXPECT_EQ(m30_get_output_state(m, 2), M30_OUTPUT_STATE_START);
    EXPECT_EQ(m30_output_ready_to_stop(m, 2), 0);
    EXPECT_EQ(m30_get_output_state(m, 2), M30_OUTPUT_STATE_READY_TO_STOP);
    EXPECT_EQ(m30_output_stop(m, 2), 0);
    EXPECT_EQ(m30_output_start(m, 33), 0);
    auto out = chip_.output_requests();
    ASSERT_EQ(out.size(), 4u);
    EXPECT_EQ(out[0].output_id_bits, 0x4u);
    EXPECT_EQ(out[0].state, 2u);
    EXPECT_EQ(out[1].state, 3u);
    EXPECT_EQ(out[2].state, 1u);
    EXPECT_EQ(out[3].output_id_bits, 0u); // past the mask: no output selected

    // Invalid register values and ids read as invalid; a negative id costs no ioctl.
    chip_.poke(M30_REG_INPUT_STATE(1), 7);
    EXPECT_EQ(m30_get_input_state(m, 1), M30_INPUT_STATE_INVALID);
    chip_.poke(M30_REG_OUTPUT_STATE(1), 4);
    EXPECT_EQ(m30_get_output_state(m, 1), M30_OUTPUT_STATE_INVALID);
    chip_.reset_counts();
    EXPECT_EQ(m30_get_input_state(m, -1), M30_INPUT_STATE_INVALID);
    EXPECT_EQ(m30_get_output_state(m, -1), M30_OUTPUT_STATE_INVALID);
    EXPECT_EQ(m30_input_start(m, -1), -1);
    EXPECT_EQ(m30_output_start(m, -1), -1);
    EXPECT_EQ(chip_.ioctl_count(FMB_API_GET_REG), 0u);

    // A failed read prints and reads as 0.
    chip_.fail_ioctl(FMB_API_GET_REG, EIO, 1);
    testing::internal::CaptureStderr();
    EXPECT_EQ(greg(m->driver_control, M30_REG_INPUT_STATE(0)), 0u);
    EXPECT_EQ(errno, EIO);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), std::string("Failed ioctl to get register: ") + strerror(EIO) + "\n");
}

TEST_F(Driver, MessageNotificationSignalsTheEventfd)
{
    m30_context *m = create();
    ASSERT_NE(m, nullptr);
    int efd = m30_drv_eventfd(0, EFD_NONBLOCK | EFD_SEMAPHORE | EFD_CLOEXEC);
    ASSERT_GE(efd, 0);
    chip_.poke(M30_REG_DMX_MSG_ENABLE(2), 0x30);
    ASSERT_EQ(m30_msg_notify_enable(m, efd, FMB_MESSAGE_TARGET_DMX, 2, M30_REG_DMX_MSG_ENABLE(2), M30_DMX_MSG_BITS), 0);
    EXPECT_EQ(chip_.peek(M30_REG_DMX_MSG_ENABLE(2)), 0x3Fu);
    EXPECT_EQ(chip_.notification_fd(FMB_MESSAGE_TARGET_DMX, 2), efd);

    const uint32_t p[3] = {0, 0x10003, 9};
    ASSERT_TRUE(chip_.post_message(FMB_MESSAGE_TARGET_DMX, 2, 3, p));
    ASSERT_TRUE(chip_.post_message(FMB_MESSAGE_TARGET_DMX, 2, 1));
    eventfd_t n = 0;
    // Semaphore mode: one count per message.
    ASSERT_EQ(eventfd_read(efd, &n), 0);
    EXPECT_EQ(n, 1u);
    fmb_message_info msg{};
    msg.message_target = FMB_MESSAGE_TARGET_DMX;
    msg.target_id = 2;
    ASSERT_EQ(m30_drv_ioctl(m->driver_control, FMB_API_GET_MESSAGE, &msg), 0);
    EXPECT_EQ(msg.message_id, 3u);
    EXPECT_EQ(msg.message_param[1], 0x10003u);
    EXPECT_EQ(msg.message_param[2], 9u);
    ASSERT_EQ(eventfd_read(efd, &n), 0);
    ASSERT_EQ(m30_drv_ioctl(m->driver_control, FMB_API_GET_MESSAGE, &msg), 0);
    EXPECT_EQ(msg.message_id, 1u);
    EXPECT_EQ(eventfd_read(efd, &n), -1); // drained
    EXPECT_EQ(m30_drv_ioctl(m->driver_control, FMB_API_GET_MESSAGE, &msg), -1);

    ASSERT_EQ(m30_msg_notify_disable(m, FMB_MESSAGE_TARGET_DMX, 2, M30_REG_DMX_MSG_ENABLE(2), M30_DMX_MSG_BITS), 0);
    EXPECT_EQ(chip_.peek(M30_REG_DMX_MSG_ENABLE(2)), 0x30u);
    EXPECT_FALSE(chip_.post_message(FMB_MESSAGE_TARGET_DMX, 2, 3, p));

    // A refused registration leaves the enable bits alone.
    chip_.fail_ioctl(FMB_API_ENABLE_MESSAGE_NOTIFICATION, EINVAL, 1);
    EXPECT_EQ(m30_msg_notify_enable(m, efd, FMB_MESSAGE_TARGET_VD, 2, M30_REG_VD_MSG_ENABLE(2), M30_VD_MSG_BITS), -1);
    EXPECT_EQ(chip_.peek(M30_REG_VD_MSG_ENABLE(2)), 0u);
    close(efd);
}

TEST(DriverPort, KernelPortRefusesWhatIsNotTheChip)
{
    kdtest::TempRoot root;
    EXPECT_EQ(m30_driver_get_port(), m30_driver_get_port());
    m30_driver_port incomplete{};
    EXPECT_EQ(m30_driver_set_port(&incomplete), -1);
    EXPECT_EQ(errno, EINVAL);
    ASSERT_EQ(m30_driver_set_port(nullptr), 0);

    // No device node.
    errno = 0;
    EXPECT_EQ(m30_context_create(0, false), nullptr);
    EXPECT_EQ(errno, ENOENT);

    // A node that is no codec chip refuses the bind; nothing stays open.
    fs::create_directories(root / "dev");
    std::ofstream(root / "dev/m30smb1") << "";
    auto fds = [] { return std::distance(fs::directory_iterator("/proc/self/fd"), fs::directory_iterator{}); };
    auto before = fds();
    EXPECT_EQ(m30_context_create(1, false), nullptr);
    EXPECT_EQ(errno, ENOTTY);
    EXPECT_EQ(fds(), before);
}

// libinterlink against the simulated carrier across two network namespaces:
// the library on the card's eth2, the carrier on the chassis side's peer2.
#include "carrier_sim.h"
#include "interlink.h"
#include "netrig.h"
#include "test_util.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstring>
#include <fstream>
#include <memory>
#include <optional>
#include <thread>

#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

using xsbsim::net_rig;
using xsbtest::TempDir;

namespace {

constexpr int IMAGE_OFFSET = 0x10000;
constexpr int FLASH_SIZE = 0x80000;

// Receives one frame within `ms`, or nothing.
std::optional<std::vector<uint8_t>> recv_within(xsb_sock *s, int ms)
{
    pollfd p{xsb_fileno(s), POLLIN, 0};
    if (poll(&p, 1, ms) != 1)
        return std::nullopt;
    xsb_pkt pkt{};
    const int n = xsb_recv(s, &pkt, sizeof pkt);
    if (n <= 0)
        return std::nullopt;
    const auto *b = reinterpret_cast<const uint8_t *>(&pkt);
    return std::vector<uint8_t>(b, b + n);
}

// A four-character command frame (INRQ, PING) of 18 bytes.
xsb_pkt tagged(const char *dst, const char *src, int ethertype, const char *tag)
{
    xsb_pkt p{};
    xsbpkt_set_dest(&p, dst);
    xsbpkt_set_source(&p, src);
    p.proto[0] = uint8_t(ethertype >> 8);
    p.proto[1] = uint8_t(ethertype);
    std::memcpy(p.data, tag, 4);
    return p;
}

template <class F> bool eventually(F cond, int ms = 60000)
{
    for (int i = 0; i < ms / 5; ++i) {
        if (cond())
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return cond();
}

class XsbChassis : public ::testing::Test {
protected:
    void SetUp() override
    {
        const std::string why = net_rig::skip_reason();
        if (!why.empty())
            GTEST_SKIP() << why;
        rig_ = std::make_unique<net_rig>();
        // Generous waits: CI machines are loaded and run sanitizers.
        setenv("KD_XSB_IFP_WAIT_MS", "50", 1);
        unsetenv("KD_XSB_IFP_ERASE_POLL_MS");
        image_ = xsbtest::make_image("KT-3300", "XO3LF-2100E", 12 * 1024 + 100);
        file_ = dir_ / "fpga.img";
        xsbtest::write_file(file_, image_);
    }
    void TearDown() override
    {
        sims_.clear();
        card_.reset();
        rig_.reset();
        unsetenv("KD_XSB_IFP_WAIT_MS");
        unsetenv("KD_XSB_IFP_ERASE_POLL_MS");
    }

    xsbsim::config carrier_config(int slot = 3)
    {
        xsbsim::config c;
        c.ifname = "peer2";
        c.slot = slot;
        c.flash_path = dir_ / ("flash" + std::to_string(slot) + ".bin");
        c.flash_size = FLASH_SIZE;
        c.erase_ms = 30;
        return c;
    }
    // Starts a carrier on the chassis side; the flash file may be prepared first.
    xsbsim::carrier_sim &start(const xsbsim::config &c)
    {
        sims_.push_back(xsbsim::start_carrier_in(rig_->chassis(), c));
        return *sims_.back();
    }
    // The test thread works as the card from here on.
    void be_card() { card_ = std::make_unique<net_rig::enter>(rig_->card()); }

    void flash_with(int slot, const std::vector<std::pair<int, std::vector<uint8_t>>> &parts)
    {
        std::vector<uint8_t> f(FLASH_SIZE, 0xFF);
        for (const auto &[off, bytes] : parts)
            std::copy(bytes.begin(), bytes.end(), f.begin() + off);
        xsbtest::write_file(dir_ / ("flash" + std::to_string(slot) + ".bin"), f);
    }
    std::vector<uint8_t> expected_flash() const
    {
        std::vector<uint8_t> f(FLASH_SIZE, 0xFF);
        std::copy(image_.begin(), image_.end(), f.begin() + IMAGE_OFFSET);
        return f;
    }
    std::vector<uint8_t> flash_file(int slot = 3) { return xsbtest::read_file(dir_ / ("flash" + std::to_string(slot) + ".bin")); }

    void request(xsbifp &x, const char *op, const char *dst = "e30")
    {
        xsbifp_init(&x);
        x.ifname = "eth2";
        x.source = "e31";
        std::strcpy(x.dst, dst);
        x.msg = MSG_QUIET;
        x.op = op;
        std::strcpy(x.carrier, "KT-3300");
        std::strcpy(x.fpga, "XO3LF_2100E");
        x.file = file_.c_str(); // set once in SetUp: threads share it
    }

    TempDir dir_;
    std::unique_ptr<net_rig> rig_;
    std::vector<std::unique_ptr<xsbsim::carrier_sim>> sims_;
    std::unique_ptr<net_rig::enter> card_;
    std::vector<uint8_t> image_;
    std::string file_;
};

TEST_F(XsbChassis, FramesCrossIntactAndDiscoveryAnswers)
{
    auto &sim = start(carrier_config(3));
    be_card();

    // A raw-payload frame arrives byte for byte.
    xsb_sock *raw = xsb_open("eth2", XSB_ETH_P_RAW);
    ASSERT_GE(xsb_fileno(raw), 0);
    xsb_pkt pkt{};
    uint8_t payload[300];
    for (size_t i = 0; i < sizeof payload; ++i)
        payload[i] = uint8_t(i * 7);
    const int len = xsbraw_init_eth_payload(&pkt, sizeof pkt, 0x163, 0xE31, payload, sizeof payload);
    ASSERT_EQ(xsb_send(raw, &pkt, len), len);
    EXPECT_EQ(xsb_send(raw, &pkt, XSB_PKT_LEN + 1), -1); // never past the frame
    ASSERT_TRUE(eventually([&] { return !sim.frames().empty(); }));
    const auto got = sim.frames().front();
    EXPECT_EQ(got.ethertype, XSB_ETH_P_RAW);
    ASSERT_EQ(got.bytes.size(), size_t(len));
    EXPECT_EQ(std::memcmp(got.bytes.data(), &pkt, size_t(len)), 0);
    xsb_close(raw);

    // INRQ to every card's configuration endpoint: INFO comes back and decodes.
    xsb_sock *cfg = xsb_open("eth2", XSB_ETH_P_CONFIG);
    xsb_pkt inrq = tagged("fff", "e31", XSB_ETH_P_CONFIG, "INRQ");
    ASSERT_EQ(xsb_send(cfg, &inrq, 18), 18);
    auto info = recv_within(cfg, 2000);
    ASSERT_TRUE(info);
    EXPECT_EQ((*info)[11], 3); // the answering slot
    const char *records = reinterpret_cast<const char *>(info->data() + XSB_HDR_LEN);
    const int rlen = int(info->size()) - XSB_HDR_LEN;
    ASSERT_EQ(xsbinfo_count_records(records, rlen), 8);
    uint32_t rec = 0;
    char text[64];
    ASSERT_EQ(xsbinfo_get_index(records, rlen, 0, &rec), 0);
    ASSERT_GT(xsbinfo_carrier_to_string(text, sizeof text, &rec), 0);
    EXPECT_STREQ(text, "KT-3300-0");
    ASSERT_EQ(xsbinfo_get_index(records, rlen, 4, &rec), 0);
    ASSERT_GT(xsbinfo_port_to_string(text, sizeof text, &rec), 0);
    EXPECT_STREQ(text, "ifp 0x0e30");
    xsb_close(cfg);

    // PING to the master's bridge port: OKAY with the addresses' last bytes exchanged.
    xsb_sock *cmd = xsb_open("eth2", XSB_ETH_P_CMD);
    xsb_pkt ping = tagged("e31", "e51", XSB_ETH_P_CMD, "PING");
    ASSERT_EQ(xsb_send(cmd, &ping, 18), 18);
    auto okay = recv_within(cmd, 2000);
    ASSERT_TRUE(okay);
    ASSERT_EQ(okay->size(), 18u);
    EXPECT_EQ(std::memcmp(okay->data() + 14, "OKAY", 4), 0);
    EXPECT_EQ((*okay)[5], 0x51);
    EXPECT_EQ((*okay)[11], 0x31);
    xsb_close(cmd);
}

TEST_F(XsbChassis, OpenReportsWhatFailed)
{
    be_card();
    xsb_sock *s = xsb_open("eth2", XSB_ETH_P_CMD);
    ASSERT_GE(xsb_fileno(s), 0);
    EXPECT_GE(s->ifindex, 1);
    // The MAC the kernel gives eth2.
    FILE *ip = popen(("ip -n " + rig_->card() + " -o link show eth2").c_str(), "r");
    char line[512] = "";
    ASSERT_TRUE(ip && std::fgets(line, sizeof line, ip));
    pclose(ip);
    char mac[20];
    const unsigned char *hw = xsb_get_ifhwaddr(s);
    std::snprintf(mac, sizeof mac, "%02x:%02x:%02x:%02x:%02x:%02x", hw[0], hw[1], hw[2], hw[3], hw[4], hw[5]);
    EXPECT_NE(std::string(line).find(std::string("link/ether ") + mac), std::string::npos) << line;
    xsb_close(s);

    // A missing interface: a descriptor, no index, and sending fails.
    xsb_print_logs(1);
    testing::internal::CaptureStderr();
    xsb_sock *m = xsb_open("nosuch0123456789xyz", XSB_ETH_P_CMD);
    const std::string err = testing::internal::GetCapturedStderr();
    xsb_print_logs(0);
    ASSERT_NE(m, nullptr);
    EXPECT_GE(xsb_fileno(m), 0);
    EXPECT_EQ(m->ifindex, -1);
    EXPECT_NE(err.find("Error: Could not get interface index for"), std::string::npos) << err;
    xsb_pkt pkt{};
    xsbpkt_set_dest(&pkt, "e30");
    EXPECT_LT(xsb_send(m, &pkt, 60), 0);
    xsb_close(m);

    // An operation on it stops at the first send.
    xsbifp x;
    request(x, "erase");
    x.ifname = "nosuch0";
    EXPECT_EQ(xsbifp_op(&x), -1);
    EXPECT_EQ(x.err, ERR_REQUEST_SEND);
}

TEST_F(XsbChassis, IdReadsTheCarrierIdentity)
{
    auto cfg = carrier_config(3);
    cfg.status = 0;
    start(cfg);
    be_card();
    xsbifp x;
    request(x, "id");
    ASSERT_EQ(xsbifp_op(&x), 0) << x.err << " " << x.log_msg;
    EXPECT_STREQ(x.carrier, "KT-3300");
    EXPECT_STREQ(x.version, "1.2.0203");
    EXPECT_STREQ(x.fpga, "XO3LF_2100E");
    EXPECT_EQ(x.fpga_id, 0x612B3043u);
    EXPECT_EQ(x.trace_id[0], 0x01234567u);
    EXPECT_EQ(x.trace_id[1], 0x89ABCDEFu);
    EXPECT_EQ(x.user_code, 0x00C0FFEEu);
    EXPECT_STREQ(x.configuration, "Flash");
    EXPECT_EQ(x.ssf_id.mfg_id, 0x20);
    EXPECT_EQ(x.ssf_size, 0x80000);
    EXPECT_STREQ(x.log_msg, "IFP CS=8 HW=3  CAR=KT-3300  FPGA=XO3LF_2100E  VER=1.2.0203  CFG=Flash");
}

TEST_F(XsbChassis, IdCopesWithOddCarriers)
{
    // Slot 5: a ROM text with no terminator in its 256 bytes, a device
    // booting from SPI, an unknown device id and a 2 MiB flash.
    auto cfg = carrier_config(5);
    cfg.drom = "A" + std::string(300, 'X');
    cfg.fpga_id = 0x12345678;
    cfg.status = 1u << 21;
    cfg.flash_id = {0xEF, 0x40, 0x15};
    start(cfg);
    be_card();
    xsbifp x;
    request(x, "id", "e50");
    ASSERT_EQ(xsbifp_op(&x), 0) << x.err;
    EXPECT_STREQ(x.carrier, "XXXXXXXXX");
    EXPECT_STREQ(x.version, "XXXXXXXX"); // the next 15 characters, cut to 8
    EXPECT_STREQ(x.fpga, "0x12345678");
    EXPECT_STREQ(x.configuration, "SPI");
    EXPECT_EQ(x.ssf_size, 1 << 21);
    EXPECT_EQ(std::string(x.log_msg).rfind("IFP CS=3 HW=5", 0), 0u) << x.log_msg;

    // No carrier at e70: a repeater.
    request(x, "id", "e70");
    EXPECT_EQ(xsbifp_op(&x), -1);
    EXPECT_EQ(x.err, ERR_ID_NO_CARRIER);
}

TEST_F(XsbChassis, UpdateOfAMatchingFlashWritesNothing)
{
    flash_with(3, {{IMAGE_OFFSET, image_}});
    auto &sim = start(carrier_config(3));
    be_card();
    xsbifp x;
    request(x, "update");
    ASSERT_EQ(xsbifp_op(&x), 0) << x.err << " " << x.log_msg;
    EXPECT_NE(std::string(x.log_msg).find("UP_TO_DATE "), std::string::npos) << x.log_msg;
    EXPECT_EQ(x.needs_refresh, 0);
    for (uint8_t cmd : {0x06, 0x02, 0xC7})
        EXPECT_EQ(sim.spi_count(cmd), 0) << int(cmd);
    EXPECT_EQ(flash_file(), expected_flash());
}

TEST_F(XsbChassis, UpdateRewritesADifferentFlash)
{
    // Blank where the image goes, but a stray byte further on inside the
    // range the image size covers: the erase check must see it.
    flash_with(3, {{0x28000, {0x00}}});
    auto &sim = start(carrier_config(3));
    be_card();
    xsbifp x;
    request(x, "UPDATE");
    ASSERT_EQ(xsbifp_op(&x), 0) << x.err << " " << x.log_msg;
    EXPECT_NE(std::string(x.log_msg).find("OUT_OF_DATE  ERASE_OK   PROGRAM_OK   VERIFY_OK "), std::string::npos)
        << x.log_msg;
    EXPECT_EQ(x.needs_refresh, 1);
    EXPECT_EQ(sim.spi_count(0xC7), 1);
    EXPECT_EQ(sim.spi_count(0x02), int((image_.size() + 255) / 256));
    EXPECT_EQ(flash_file(), expected_flash());
    EXPECT_EQ(sim.flash(), expected_flash());
}

TEST_F(XsbChassis, EraseOnlyWhenNeeded)
{
    auto &sim = start(carrier_config(3));
    be_card();
    xsbifp x;
    request(x, "erase");
    ASSERT_EQ(xsbifp_op(&x), 0) << x.err;
    EXPECT_STREQ(x.log_msg, "  ERASE_OK ");
    EXPECT_EQ(sim.spi_count(0xC7), 0);

    // Written flash: one bulk erase, then blank.
    request(x, "program");
    ASSERT_EQ(xsbifp_op(&x), 0) << x.err << " " << x.log_msg;
    request(x, "erase");
    ASSERT_EQ(xsbifp_op(&x), 0) << x.err;
    EXPECT_EQ(sim.spi_count(0xC7), 1);
    EXPECT_EQ(flash_file(), std::vector<uint8_t>(FLASH_SIZE, 0xFF));
}

TEST_F(XsbChassis, ReadSavesAFlashRange)
{
    flash_with(3, {{0x20000, image_}});
    auto &sim = start(carrier_config(3));
    be_card();
    xsbifp x;
    request(x, "read");
    const std::string out = dir_ / "saved.bin";
    x.file = out.c_str();
    x.offset = "0x20000";
    x.size = "4096";
    ASSERT_EQ(xsbifp_op(&x), 0) << x.err;
    EXPECT_STREQ(x.log_msg, "  READ_OK ");
    EXPECT_EQ(xsbtest::read_file(out), std::vector<uint8_t>(image_.begin(), image_.begin() + 4096));

    // Near the end of the flash the copy stops at the flash's end.
    x.offset = "0x7FF00";
    x.size = "0x1000";
    ASSERT_EQ(xsbifp_op(&x), 0) << x.err;
    EXPECT_EQ(xsbtest::read_file(out).size(), 256u);

    // A read that fails leaves no file behind.
    sim.set_drop_every(1);
    setenv("KD_XSB_IFP_WAIT_MS", "1", 1);
    x.offset = "0";
    EXPECT_EQ(xsbifp_op(&x), -1);
    EXPECT_EQ(x.err, ERR_REQRSP_RETRIES);
    EXPECT_FALSE(std::filesystem::exists(out));
}

TEST_F(XsbChassis, RefreshIsSentThreeTimes)
{
    auto &sim = start(carrier_config(3));
    be_card();
    xsbifp x;
    request(x, "refresh");
    ASSERT_EQ(xsbifp_op(&x), 0);
    EXPECT_TRUE(eventually([&] { return sim.refresh_count() == 3; })) << sim.refresh_count();
}

TEST_F(XsbChassis, NoAnswerGivesUpAfterThreeRequests)
{
    auto cfg = carrier_config(3);
    cfg.drop_every = 1;
    auto &sim = start(cfg);
    be_card();
    unsetenv("KD_XSB_IFP_WAIT_MS"); // the carriers' own timing: 1 ms waits
    xsbifp x;
    request(x, "verify");
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(xsbifp_op(&x), -1);
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0).count();
    EXPECT_EQ(x.err, ERR_REQRSP_RETRIES);
    EXPECT_NE(std::string(x.log_msg).find("VERIFY_ERR"), std::string::npos);
    EXPECT_GE(ms, 8);    // nine waits of about a millisecond
    EXPECT_LT(ms, 1000);
    ASSERT_TRUE(eventually([&] { return sim.frames().size() >= 3; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    const auto frames = sim.frames();
    ASSERT_EQ(frames.size(), 3u);
    for (size_t i = 0; i < 3; ++i)
        EXPECT_EQ(frames[i].bytes[XSB_HDR_LEN + 4 * 7 + 3], i) << "each send takes the next sequence number";
}

struct Fault {
    const char *name;
    int drop_every, delay_us, corrupt_every;
    bool duplicate;
};

class XsbFaults : public XsbChassis, public ::testing::WithParamInterface<Fault> {};

TEST_P(XsbFaults, UpdateSurvives)
{
    const Fault f = GetParam();
    flash_with(3, {{IMAGE_OFFSET, std::vector<uint8_t>(512, 0x00)}});
    auto cfg = carrier_config(3);
    cfg.drop_every = f.drop_every;
    cfg.delay_us = f.delay_us;
    cfg.corrupt_every = f.corrupt_every;
    cfg.duplicate = f.duplicate;
    start(cfg);
    be_card();
    setenv("KD_XSB_IFP_WAIT_MS", "20", 1);
    xsbifp x;
    request(x, "update");
    x.image_size = 0x4000;
    ASSERT_EQ(xsbifp_op(&x), 0) << f.name << ": " << x.err << " " << x.log_msg;
    EXPECT_EQ(x.needs_refresh, 1);
    EXPECT_EQ(flash_file(), expected_flash()) << f.name;
}

INSTANTIATE_TEST_SUITE_P(Faults, XsbFaults,
                         ::testing::Values(Fault{"decoys", 0, 0, 1, false}, Fault{"duplicates", 0, 0, 0, true},
                                           Fault{"drops", 7, 0, 0, false}, Fault{"delays", 0, 2000, 0, false}),
                         [](const auto &i) { return std::string(i.param.name); });

TEST_F(XsbChassis, StuckBusyTimesOut)
{
    flash_with(3, {{0x100, {0x00}}, {IMAGE_OFFSET, {0x00}}});
    auto cfg = carrier_config(3);
    cfg.stuck_busy = true;
    start(cfg);
    be_card();
    setenv("KD_XSB_IFP_ERASE_POLL_MS", "1", 1);
    xsbifp x;
    request(x, "erase");
    EXPECT_EQ(xsbifp_op(&x), -1);
    EXPECT_EQ(x.err, ERR_ERASE_TIMEOUT);
    EXPECT_STREQ(x.log_msg, "  ERASE_ERR");

    // The erase above never ends: programming finds the flash busy too.
    request(x, "program");
    EXPECT_EQ(xsbifp_op(&x), -1);
    EXPECT_EQ(x.err, ERR_PROGRAM_TIMEOUT);
}

TEST_F(XsbChassis, CarriersUpdateInParallel)
{
    // Two carriers behind one interface, one thread each, as at start-up:
    // every socket hears both carriers, and the sessions keep them apart.
    flash_with(3, {{IMAGE_OFFSET, {0x00}}});
    flash_with(5, {{IMAGE_OFFSET + 300, {0x00}}});
    start(carrier_config(3));
    start(carrier_config(5));
    xsbifp a, b;
    std::thread ta([&] {
        net_rig::enter in(rig_->card());
        request(a, "update", "e30");
        xsbifp_op(&a);
    });
    std::thread tb([&] {
        net_rig::enter in(rig_->card());
        request(b, "update", "e50");
        xsbifp_op(&b);
    });
    ta.join();
    tb.join();
    EXPECT_EQ(a.err, ERR_NONE) << a.log_msg;
    EXPECT_EQ(b.err, ERR_NONE) << b.log_msg;
    EXPECT_EQ(flash_file(3), expected_flash());
    EXPECT_EQ(flash_file(5), expected_flash());
}

TEST_F(XsbChassis, CarrierProgramAnswersFromItsNamespace)
{
    const std::string record = dir_ / "frames.txt";
    const std::string flash = dir_ / "prog.flash";
    int out[2];
    ASSERT_EQ(pipe(out), 0);
    const pid_t parent = getpid();
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        rigproc::die_with_parent(parent);
        dup2(out[1], 1);
        close(out[0]);
        execlp("ip", "ip", "netns", "exec", rig_->chassis().c_str(), XSBCARRIER_PATH, "-i", "peer2", "-s", "4",
               "-f", flash.c_str(), "--flash-size", "0x20000", "--info", "01330031,03010001", "--record",
               record.c_str(), (char *)nullptr);
        _exit(127);
    }
    close(out[1]);
    char ready[16] = "";
    pollfd p{out[0], POLLIN, 0};
    ASSERT_EQ(poll(&p, 1, 10000), 1);
    ASSERT_GT(read(out[0], ready, sizeof ready - 1), 0);
    EXPECT_STREQ(ready, "ready\n");

    be_card();
    xsb_sock *cmd = xsb_open("eth2", XSB_ETH_P_CMD);
    xsb_pkt inrq = tagged("f04", "e31", XSB_ETH_P_CMD, "INRQ");
    ASSERT_EQ(xsb_send(cmd, &inrq, 18), 18);
    auto info = recv_within(cmd, 3000);
    ASSERT_TRUE(info);
    const char *records = reinterpret_cast<const char *>(info->data() + XSB_HDR_LEN);
    EXPECT_EQ(xsbinfo_count_records(records, int(info->size()) - XSB_HDR_LEN), 2);
    uint32_t rec = 0;
    char text[32];
    ASSERT_EQ(xsbinfo_get_index(records, int(info->size()) - XSB_HDR_LEN, 1, &rec), 0);
    xsbinfo_version_to_string(text, sizeof text, &rec);
    EXPECT_STREQ(text, "0.1.0001");
    xsb_close(cmd);

    xsbifp x;
    request(x, "id", "e40");
    EXPECT_EQ(xsbifp_op(&x), 0) << x.err;
    EXPECT_EQ(x.ssf_size, 0x80000); // the default identification: 2^19 bytes

    kill(pid, SIGTERM);
    int status = 0;
    waitpid(pid, &status, 0);
    close(out[0]);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    std::ifstream rec_in(record);
    std::string first;
    std::getline(rec_in, first);
    EXPECT_EQ(first.rfind("88b5 0090", 0), 0u) << first;
    EXPECT_EQ(std::filesystem::file_size(flash), 0x20000u);
}

} // namespace

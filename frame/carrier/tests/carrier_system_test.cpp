// The framework's carrier start-up against simulated carriers: the test
// thread is the card (its eth2 in one namespace), the carriers answer from
// the chassis namespace. Needs root; skips otherwise.
#include "carrier_internal.h"
#include "carrier_sim.h"
#include "carrier_test_util.h"
#include "netrig.h"
#include "sysbus_rig.h"
#include "test_support.h"

#include <kerrow/carrier.h>
#include <kerrow/cuvent.h>
#include <kerrow/plugin.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <thread>

#include <csignal>
#include <fcntl.h>
#include <sys/wait.h>

extern char **environ;

using namespace carriertest;
using xsbsim::net_rig;
namespace kc = kd::carrier;

namespace {

template <class F> bool eventually(F cond, int ms = 60000)
{
    for (int i = 0; i < ms / 5 && !cond(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    return cond();
}

// An FPGA image file: a header, then the Lattice sync pattern and data.
std::vector<uint8_t> lattice_file(size_t header, size_t image, uint32_t seed)
{
    std::vector<uint8_t> f(header, 0x5A);
    f.insert(f.end(), {0xFF, 0xFF, 0xBD, 0xB3});
    for (uint32_t x = seed; f.size() < header + image;) {
        x = x * 1103515245u + 12345u;
        f.push_back(uint8_t(x >> 16));
    }
    return f;
}

class CarrierChassis : public ::testing::Test {
protected:
    void SetUp() override
    {
        const std::string why = net_rig::skip_reason();
        if (!why.empty())
            GTEST_SKIP() << why;
        rig_ = std::make_unique<net_rig>();
        write_text(root_ / "opt/pkg/var/oem", ""); // on a card: not native
        cmds_ = root_ / "cmd";
        recorder(cmds_, "reboot");
        setenv("KD_CMD_DIR", cmds_.c_str(), 1);
        setenv("KD_XSB_IFP_WAIT_MS", "20", 1);
        // The simulated carriers answer from a thread of this process, which
        // a loaded machine may hold up past the carriers' own 20 ms.
        setenv("KD_XSB_ACK_WAIT_MS", "1000", 1);
    }
    void TearDown() override
    {
        if (up_)
            kd_frame_fini();
        sims_.clear();
        card_.reset();
        rig_.reset();
        unsetenv("KD_CMD_DIR");
        unsetenv("KD_XSB_IFP_WAIT_MS");
        unsetenv("KD_XSB_ACK_WAIT_MS");
        unsetenv("HW_SLOT");
    }

    xsbsim::carrier_sim &sim(int slot, std::vector<uint32_t> info = {}, bool duplicate = false,
                             bool answer_ping = true)
    {
        xsbsim::config c;
        c.ifname = "peer2";
        c.slot = slot;
        c.info = std::move(info);
        c.duplicate = duplicate;
        c.answer_ping = answer_ping;
        c.erase_ms = 5;
        sims_.push_back(xsbsim::start_carrier_in(rig_->chassis(), std::move(c)));
        return *sims_.back();
    }
    // The test thread becomes the card in `slot` and starts the framework.
    void card_up(unsigned slot)
    {
        card_ = std::make_unique<net_rig::enter>(rig_->card());
        setenv("HW_SLOT", std::to_string(slot).c_str(), 1);
        kd_frame_init();
        up_ = true;
    }
    static bool alarm_active(const std::string &label)
    {
        auto it = kc::st().alarms.find(label);
        return it != kc::st().alarms.end() && it->second;
    }
    static std::vector<uint8_t> last_frame(const xsbsim::carrier_sim &s, uint16_t type)
    {
        const auto fs = s.frames();
        for (auto it = fs.rbegin(); it != fs.rend(); ++it)
            if (it->ethertype == type)
                return it->bytes;
        return {};
    }

    kdtest::TempRoot root_;
    kdtest::LogCapture log_;
    std::string cmds_;
    std::unique_ptr<net_rig> rig_;
    std::vector<std::unique_ptr<xsbsim::carrier_sim>> sims_;
    std::unique_ptr<net_rig::enter> card_;
    bool up_ = false;
};

std::vector<std::vector<uint8_t>> g_mii;
void on_mii(carrier_node *, const char *addr, const uint8_t *msg, size_t len)
{
    g_mii.emplace_back(msg, msg + len);
    EXPECT_STREQ(addr, "e34");
    kd_shutdown();
}
void bind_mii(carrier_node *n) { kd_carrier_get_carrier_ops(n)->on_msg_in = on_mii; }

TEST_F(CarrierChassis, MasterDiscoversWiresAndWritesTheCards)
{
    auto master_recs = card_records(3, 'A', 2, 0);
    master_recs.push_back(port_rec(4, PORTID_RMII));
    auto &s3 = sim(3, master_recs);
    auto &s5 = sim(5, card_records(5, 'A', 0, 4));
    auto &s0 = sim(0, card_records(0, 'B'));
    card_up(3);

    ASSERT_EQ(kc::st().carriers.size(), 3u);
    carrier_node *self = kd_carrier_get_self();
    carrier_node *rx = kd_carrier_get_node(3);
    ASSERT_NE(self, nullptr);
    ASSERT_NE(rx, nullptr);
    EXPECT_EQ(self->slot, 3u);
    EXPECT_STREQ(kd_carrier_get_name(kd_carrier_get_node(5)), "KT-3300-B");
    EXPECT_EQ(log_.count("Total cards discovered: 3"), 1);
    EXPECT_EQ(log_.count("Running as Master"), 1);
    EXPECT_FALSE(alarm_active("XSB Interconnect Fail"));

    // The lane configuration went to both wired cards, none to the third.
    ASSERT_TRUE(eventually([&] { return !s3.cfwr().empty() && !s5.cfwr().empty(); }));
    EXPECT_EQ(s3.cfwr().front(), (std::vector<uint32_t>{0x02000003, 0x02408000, 0x02418001}));
    EXPECT_EQ(s5.cfwr().front(), (std::vector<uint32_t>{0x02208000, 0x02218001, 0x05000000}));
    EXPECT_TRUE(s0.cfwr().empty());

    // VMWR to hardware slot 5: address 0x163 on port 2.
    ASSERT_EQ(kd_carrier_set_vmap_addr(rx, 0x163, 2), 0);
    ASSERT_TRUE(eventually([&] { return s5.vmap().count(0x163) == 1; }));
    EXPECT_EQ(s5.vmap().at(0x163), 4u);
    auto f = last_frame(s5, XSB_ETH_P_CMD);
    ASSERT_EQ(f.size(), 26u);
    const std::vector<uint8_t> head = {0x00, 0x90, 0x1F, 0x00, 0x0F, 0x05, 0, 0, 0, 0, 0, 0, 0x88, 0xB5,
                                       'V',  'M',  'W',  'R',  0x16, 0x30, 0x00, 0x04, 0xFF, 0xFF, 0xFF, 0xFF};
    EXPECT_EQ(f, head);
    ASSERT_EQ(kd_carrier_clear_vmap_addr(rx, 0x163), 0);
    ASSERT_TRUE(eventually([&] { return s5.vmap().empty(); }));

    // CFWR of 8 bytes of records: a 30-byte frame closed by the end word.
    const uint8_t recs[8] = {0x12, 0x34, 0x56, 0x78, 0x9A, 0xBC, 0xDE, 0xF0};
    const size_t cfwr_before = s5.cfwr().size();
    ASSERT_EQ(kd_carrier_send_cfwr(rx, recs, sizeof recs), 0);
    ASSERT_TRUE(eventually([&] { return s5.cfwr().size() == cfwr_before + 1; }));
    f = last_frame(s5, XSB_ETH_P_CMD);
    ASSERT_EQ(f.size(), 30u);
    EXPECT_EQ(std::vector<uint8_t>(f.begin() + 14, f.end()),
              (std::vector<uint8_t>{'C', 'F', 'W', 'R', 0x12, 0x34, 0x56, 0x78, 0x9A, 0xBC, 0xDE, 0xF0, 0xFF, 0xFF, 0xFF, 0xFF}));

    // An info request on the command socket to this card's own slot.
    ASSERT_EQ(kd_carrier_request_info(nullptr), 0);
    ASSERT_TRUE(eventually([&] {
        const auto g = last_frame(s3, XSB_ETH_P_CMD);
        return g.size() == 18 && g[5] == 0x03 && std::memcmp(g.data() + 14, "INRQ", 4) == 0;
    }));

    // Binding at kd_frame_run, then an MII message from the card's RMII port.
    g_mii.clear();
    ASSERT_EQ(kd_carrier_register_factory("KT-3300", nullptr, bind_mii), 0);
    kd_frame_timeout_register("inject", [](void *ctx) {
        auto *s = static_cast<xsbsim::carrier_sim *>(ctx);
        // First from a slot with no card (dropped), then from the card.
        s->send_raw({0x00, 0x90, 0x1F, 0x00, 0x0E, 0x31, 0x00, 0x90, 0x1F, 0x00, 0x0E, 0x74, 0xAD, 0xEE, 9, 9});
        s->inject_mii({1, 2, 3, 4, 5}, 4, 0x31);
    }, &s3, 0.2, 0, nullptr);
    kd_frame_timeout_register("limit", [](void *) { kd_shutdown(); }, nullptr, 3.0, 0, nullptr);
    kd_frame_run();
    ASSERT_EQ(g_mii.size(), 1u);
    EXPECT_EQ(g_mii[0], (std::vector<uint8_t>{1, 2, 3, 4, 5}));
    EXPECT_EQ(log_.count("No card found for MII message 74"), 1);
    EXPECT_EQ(log_.count("Binding card KT-3300-A in slot 3 to plugin frame"), 1);

    std::vector<uint8_t> msg(1501, 0x42);
    EXPECT_EQ(kd_carrier_send_mii_msg(self, msg.data(), 1501), -1);
    ASSERT_EQ(kd_carrier_send_mii_msg(self, msg.data(), 1500), 0);
    ASSERT_TRUE(eventually([&] { return last_frame(s3, XSB_ETH_P_MII).size() == 1514; }));
    f = last_frame(s3, XSB_ETH_P_MII);
    EXPECT_EQ(f[5], 0x34); // to the RMII port
    EXPECT_EQ(f[11], 0x31); // from this card's bridge port
}

TEST_F(CarrierChassis, DiscoveryProgramsCardsInParallel)
{
    // A Lattice card (FPGA then MCU image) and a Xilinx card (FPGA only),
    // neither a multiple of the chunk size.
    const auto fpga = lattice_file(300, 3 * 1492 + 77, 1);
    std::vector<uint8_t> mcu(2 * 1488 + 1001);
    for (size_t i = 0; i < mcu.size(); ++i)
        mcu[i] = uint8_t(i * 13 + 7);
    const auto xilinx = lattice_file(0, 5000, 2);
    write_bytes(root_ / "usr/local/share/KT-3300-A/fpga.img", fpga);
    write_bytes(root_ / "usr/local/share/KT-3300-A/mcu.img", mcu);
    // This card reboots once programmed: through the command runner's stand-in.
    write_text(root_ / "usr/local/share/KT-3300-A/extended.info", "REBOOT_AFTER_PROGRAM=1\n");
    static int exit_status = -1;
    kc::exit_process = [](int status) { exit_status = status; };
    write_bytes(root_ / "usr/local/share/KT-3300-X/main.img", xilinx);
    write_text(root_ / "usr/local/share/KT-3300-X/extended.info", "FPGA_IS_XYLINX=1\nFUNCTION_0_FPGA=main.img\n");
    // The program-on-boot flag makes even a programmed card a target.
    write_text(root_ / "media/hd0/.solvera_program_on_boot", "");

    auto &s3 = sim(3, card_records(3, 'A', 0, 0, false));
    auto &s6 = sim(6, card_records(6, 'X', 0, 0, true));
    card_up(3);

    EXPECT_EQ(log_.count("Must program all nodes for this boot."), 1);
    EXPECT_FALSE(std::filesystem::exists(root_ / "media/hd0/.solvera_program_on_boot"));
    EXPECT_EQ(log_.count("Download of FPGA images completed."), 1);
    EXPECT_EQ(log_.count("Now downloading 1 MCU images."), 1);
    EXPECT_EQ(log_.count("FPGA programmed - exiting normally"), 1);

    const auto d3 = s3.downloads();
    EXPECT_EQ(d3.fpga, std::vector<uint8_t>(fpga.begin() + 300, fpga.end())); // from the sync pattern on
    EXPECT_TRUE(d3.fpga_stopped);
    EXPECT_EQ(d3.fpga_starts, 1);
    EXPECT_EQ(d3.mcu, mcu);
    EXPECT_EQ(d3.mcu_setups, 1);
    EXPECT_TRUE(d3.mcu_started);
    EXPECT_FALSE(d3.mcu_bad_length);

    const auto d6 = s6.downloads();
    EXPECT_EQ(d6.fpga, xilinx); // whole
    EXPECT_TRUE(d6.fpga_stopped);
    EXPECT_EQ(d6.mcu_setups, 0);
    EXPECT_EQ(log_.count("Node requires reboot after programming. Going down...."), 1);
    EXPECT_EQ(read_text(cmds_ + "/calls"), "reboot \n");
    EXPECT_EQ(exit_status, 0);
    kc::exit_process = std::exit;
}

TEST_F(CarrierChassis, RepeatedAnswersAreTakenOnce)
{
    // Every INFO and every acknowledgement arrives twice.
    auto &s = sim(3, card_records(3, 'X'), true);
    card_up(3);
    EXPECT_EQ(kc::st().carriers.size(), 1u);
    EXPECT_EQ(kd_carrier_get_self()->port_count, 4u);

    // The copy of the last acknowledgement comes from a finished card.
    const auto img = lattice_file(0, 4000, 5);
    write_bytes(root_ / "usr/local/share/KT-3300-X/d.img", img);
    ASSERT_EQ(kd_carrier_pgm_fpga_set_target("/usr/local/share/KT-3300-X", "d.img", 3, 0x33, 1), 0);
    log_.clear();
    EXPECT_EQ(kd_carrier_pgm_fpga(), 0);
    EXPECT_EQ(s.downloads().fpga, img);
    EXPECT_EQ(log_.count("Download FPGA completed for card KT-3300-X slot 3. Pending: 0"), 1);
    EXPECT_EQ(log_.count("Restarting"), 0);

    // The version plug-in's firmware selection flags program-on-boot.
    std::filesystem::create_directories(root_ / "media/hd0");
    kd_cuvent_emit(nullptr, "version firmware select", nullptr);
    EXPECT_TRUE(std::filesystem::exists(root_ / "media/hd0/.solvera_program_on_boot"));
}

TEST_F(CarrierChassis, DownloadLengthsAndBadAcknowledgements)
{
    auto &s = sim(3, card_records(3, 'X'));
    write_text(root_ / "usr/local/share/KT-3300-X/extended.info", "FPGA_IS_XYLINX=1\n");
    card_up(3);
    struct Case {
        size_t size; // whole Xilinx image
        int bad_acks;
        int lost_ack; // the nth frame's acknowledgement never comes
        int rc;
        int starts;
        bool stopped;
    } cases[] = {
        {3000, 0, 0, 0, 1, true},
        {1492 * 3, 0, 0, 0, 1, true},     // START, DATA and a full STOP frame
        {1492 * 3 + 1, 0, 0, 0, 1, true}, // START, two DATA and a 1-byte STOP
        {4000, 3, 0, 0, 4, true},         // three restarts are allowed
        {4000, 4, 0, -1, 4, false},       // the fourth bad acknowledgement fails
        {4000, 0, 2, 0, 2, true},         // a lost DATA acknowledgement: start over
        {4000, 0, 3, 0, 2, true},         // the STOP frame's: start over too
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::to_string(c.size) + " bad " + std::to_string(c.bad_acks) + " lost " +
                     std::to_string(c.lost_ack));
        const auto img = lattice_file(0, c.size, unsigned(c.size));
        write_bytes(root_ / "usr/local/share/KT-3300-X/t.img", img);
        s.clear_records();
        s.set_bad_acks(c.bad_acks);
        s.set_drop_ack_at(c.lost_ack);
        log_.clear();
        ASSERT_EQ(kd_carrier_pgm_fpga_set_target("/usr/local/share/KT-3300-X", "t.img", 3, 0x33, 1), 0);
        EXPECT_EQ(kd_carrier_pgm_fpga(), c.rc);
        const auto d = s.downloads();
        EXPECT_EQ(d.fpga_starts, c.starts);
        EXPECT_EQ(d.fpga_stopped, c.stopped);
        if (c.rc == 0)
            EXPECT_EQ(d.fpga, img);
        else
            EXPECT_EQ(log_.count("Reached limit on FPGA pgm attempts (3)"), 1);
        kc::clear_targets();
    }
}

TEST_F(CarrierChassis, ExactlyOneChunkNeedsNoStopFrame)
{
    auto &s = sim(3, card_records(3, 'X'));
    card_up(3);
    const auto file = lattice_file(2000, 1492, 9); // 1492 bytes from the sync on
    write_bytes(root_ / "usr/local/share/KT-3300-X/one.img", file);
    write_bytes(root_ / "usr/local/share/KT-3300-X/mcu.img", std::vector<uint8_t>(3000, 0x77));
    ASSERT_EQ(kd_carrier_pgm_fpga_set_target("/usr/local/share/KT-3300-X", "one.img", 3, 0x33, 0), 0);
    EXPECT_EQ(kd_carrier_pgm_fpga(), 0);
    const auto d = s.downloads();
    EXPECT_EQ(d.fpga, std::vector<uint8_t>(file.begin() + 2000, file.end()));
    EXPECT_FALSE(d.fpga_stopped);
    EXPECT_EQ(d.mcu, std::vector<uint8_t>(3000, 0x77));
    EXPECT_EQ(d.mcu_setups, 1);
}

TEST_F(CarrierChassis, BadMicrocontrollerAcknowledgementRestartsItsImage)
{
    auto &s = sim(3, card_records(3, 'X'));
    card_up(3);
    write_bytes(root_ / "usr/local/share/KT-3300-X/one.img", lattice_file(0, 3000, 3));
    std::vector<uint8_t> mcu(4000);
    for (size_t i = 0; i < mcu.size(); ++i)
        mcu[i] = uint8_t(i ^ (i >> 8));
    write_bytes(root_ / "usr/local/share/KT-3300-X/mcu.img", mcu);
    // Frames: FPGA START, DATA, STOP; MCU setup, first frame, then data:
    // the first MCU data frame is refused.
    s.set_bad_ack_at(6);
    ASSERT_EQ(kd_carrier_pgm_fpga_set_target("/usr/local/share/KT-3300-X", "one.img", 3, 0x33, 0), 0);
    EXPECT_EQ(kd_carrier_pgm_fpga(), 0);
    const auto d = s.downloads();
    EXPECT_EQ(log_.count("Restarting MCU programming for slot 3"), 1);
    EXPECT_EQ(d.mcu_setups, 2);
    EXPECT_EQ(d.mcu, mcu);
    EXPECT_TRUE(d.mcu_started);
    EXPECT_FALSE(d.mcu_bad_length);
}

TEST_F(CarrierChassis, OutdatedInterconnectFirmwareIsUpdatedAndRefreshed)
{
    // The image library: the package names an image for the carrier's design.
    std::vector<uint8_t> img = {0xFF, 0x00};
    for (const char *t : {"Design: KT-3300", "Part: XO3LF-2100E", "Date: today"}) {
        img.insert(img.end(), t, t + std::strlen(t));
        img.push_back(0);
    }
    img.insert(img.end(), {0xFF, 0xFF, 0xBD, 0xB3});
    img.resize(4096 + 100, 0x3C);
    write_bytes(root_ / "usr/local/share/xsbifp/kt3300.bit", img);
    write_text(root_ / "usr/local/share/xsbifp/pkg", "@default\nKT-3300__XO3LF_2100E kt3300.bit\n@\n");

    auto &s3 = sim(3);
    card_up(3);
    EXPECT_EQ(log_.count("Completed IFP. Updated carriers: 8"), 1);
    EXPECT_GE(s3.refresh_count(), 1);
    const auto flash = s3.flash(); // the image sits at 0x10000 in the carrier's flash
    ASSERT_GE(flash.size(), 0x10000 + img.size());
    EXPECT_TRUE(std::equal(img.begin(), img.end(), flash.begin() + 0x10000));
    for (const auto &[label, active] : kc::st().alarms)
        EXPECT_FALSE(active) << label;
    EXPECT_EQ(kc::st().alarms.size(), 9u); // the interconnect alarm and one per user slot
}

TEST_F(CarrierChassis, SlaveWaitsForTheMasterAndProgramsOnlyItself)
{
    // Neither card is programmed; the slave programs only its own, which
    // asks to program itself.
    const auto img = lattice_file(0, 3500, 4);
    write_bytes(root_ / "usr/local/share/KT-3300-S/fpga.img", img);
    write_text(root_ / "usr/local/share/KT-3300-S/extended.info", "SELF_PROGRAM=1\nFPGA_IS_XYLINX=1\n");
    auto &s3 = sim(3, card_records(3, 'A', 2, 0, false)); // answers PING as the master would
    auto &s5 = sim(5, card_records(5, 'S', 0, 4, false));
    card_up(5);
    EXPECT_EQ(s5.downloads().fpga, img);
    EXPECT_TRUE(s3.downloads().fpga.empty());
    EXPECT_EQ(log_.count("Received OKAY from master. Continue...."), 1);
    EXPECT_EQ(log_.count("Running as Slave"), 1);
    EXPECT_EQ(log_.count("Starting IFP"), 0);
    EXPECT_EQ(kd_carrier_get_self(), kd_carrier_get_node(3)); // user slot 3 is hardware 5
    EXPECT_FALSE(kd_carrier_frame_is_master());
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_TRUE(s3.cfwr().empty()); // lanes are the master's to write
    EXPECT_TRUE(s5.cfwr().empty());
    const auto ping = s3.frames().front();
    ASSERT_EQ(ping.bytes.size(), 18u);
    EXPECT_EQ(ping.bytes[5], 0x31);
    EXPECT_EQ(ping.bytes[11], 0x51);
}

TEST_F(CarrierChassis, SlaveTakesOnlyItsOwnOkayAndRePingsEverySecond)
{
    auto &s3 = sim(3, {}, false, false); // the master is slow to answer
    // Another card's OKAY every 100 ms for 2.3 s, then the one for us.
    std::thread chatter([&s3] {
        auto okay = [](uint8_t to) {
            return std::vector<uint8_t>{0x00, 0x90, 0x1F, 0x00, 0x0E, to, 0x00, 0x90, 0x1F, 0x00, 0x0E, 0x31,
                                        0x88, 0xB5, 'O', 'K', 'A', 'Y'};
        };
        for (int i = 0; i < 23; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            s3.send_raw(okay(0x61));
        }
        s3.send_raw(okay(0x51));
    });
    card_up(5);
    chatter.join();
    // Other frames neither end the wait nor stretch it: a PING every second.
    EXPECT_EQ(log_.count("select() timeout. Retry ping (2)..."), 1);
    EXPECT_EQ(log_.count("select() timeout. Retry ping (3)..."), 1);
    EXPECT_EQ(log_.count("Received OKAY from master. Continue...."), 1);
    int pings = 0;
    for (const auto &f : s3.frames())
        pings += f.bytes.size() == 18 && std::memcmp(f.bytes.data() + 14, "PING", 4) == 0;
    EXPECT_GE(pings, 3);
}

TEST_F(CarrierChassis, NoInfoFailsDiscoveryAndRaisesTheInterconnectAlarm)
{
    card_up(3);
    EXPECT_EQ(log_.count("XSB Interconnect failure - cannot IFP ID master."), 1);
    EXPECT_TRUE(alarm_active("XSB Interconnect Fail"));
    EXPECT_EQ(log_.count("No INFO received. Retry INRQ (3)..."), 1);
    EXPECT_EQ(log_.count("No INFO received - at least one expected"), 1);
    EXPECT_TRUE(kc::st().carriers.empty());
    EXPECT_EQ(kd_carrier_get_self(), nullptr);
}

} // namespace

namespace {

// Two processor cards, master in hardware slot 3 and slave in slot 5, each
// running the host program in its own namespace on one backplane bridge,
// with a simulated carrier behind each.
TEST(WholeChassis, MasterAndSlaveMeetOverTheBackplane)
{
    const std::string why = net_rig::skip_reason();
    if (!why.empty())
        GTEST_SKIP() << why;
    xsbsim::chassis_rig rig;
    const std::string master_ns = rig.add_card(), slave_ns = rig.add_card();
    std::vector<std::unique_ptr<xsbsim::carrier_sim>> sims;
    for (auto [slot, tx, rx] : {std::array<unsigned, 3>{3, 2, 0}, std::array<unsigned, 3>{5, 0, 4}}) {
        xsbsim::config c;
        c.ifname = rig.add_carrier_port();
        c.slot = int(slot);
        c.info = card_records(slot, 'A', tx, rx);
        c.answer_ping = false; // the master card answers for slot 3
        auto s = std::make_unique<xsbsim::carrier_sim>(c);
        {
            net_rig::enter in(rig.chassis());
            ASSERT_TRUE(s->open()) << s->error();
        }
        s->start();
        sims.push_back(std::move(s));
    }
    // Each card as on the chassis: its own root with the on-card marker,
    // recording stand-ins and a private system bus.
    kdtest::TempRoot master_root, slave_root;
    for (auto *r : {&master_root, &slave_root}) {
        write_text(*r / "opt/pkg/var/oem", "");
        recorder(*r / "cmd", "reboot");
    }
    sysbus::rig master_bus(master_root.path()), slave_bus(slave_root.path());
    auto host = [&](const std::string &ns, unsigned slot, const kdtest::TempRoot &root, const sysbus::rig &bus) {
        return rigproc::spawn({"ip", "netns", "exec", ns, "env", "HW_SLOT=" + std::to_string(slot),
                               "KD_ROOT=" + root.path(), "KD_CMD_DIR=" + (root / "cmd"), "DBUS_SYSTEM_BUS_ADDRESS=unix:path=" + bus.socket(),
                               "KD_LOG_STDERR=1", "KD_LOG_NO_JOURNAL=1", "KD_NO_RT=1", "KD_XSB_IFP_WAIT_MS=20",
                               KERROW_HOST_PATH},
                              root / "log");
    };
    // The slave first: it keeps PINGing until the master answers.
    const pid_t slave = host(slave_ns, 5, slave_root, slave_bus);
    const pid_t master = host(master_ns, 3, master_root, master_bus);
    ASSERT_GT(slave, 0);
    ASSERT_GT(master, 0);
    auto running = [](const kdtest::TempRoot &r) {
        return read_text(r / "log").find("Starting simple timer") != std::string::npos;
    };
    const bool both = eventually([&] { return running(master_root) && running(slave_root); }, 60000);
    for (pid_t p : {master, slave}) {
        kill(p, SIGTERM);
        int status = 0;
        waitpid(p, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    const std::string mlog = read_text(master_root / "log"), slog = read_text(slave_root / "log");
    ASSERT_TRUE(both) << "master:\n" << mlog << "\nslave:\n" << slog;
    EXPECT_NE(mlog.find("Received PING sent OKAY to slot 5"), std::string::npos) << mlog;
    EXPECT_NE(mlog.find("Running as Master"), std::string::npos);
    EXPECT_NE(mlog.find("Total cards discovered: 2"), std::string::npos);
    EXPECT_NE(slog.find("Received OKAY from master. Continue...."), std::string::npos) << slog;
    EXPECT_NE(slog.find("Running as Slave"), std::string::npos);
    EXPECT_NE(mlog.find("[system] bus running!"), std::string::npos);
    EXPECT_NE(slog.find("[system] bus running!"), std::string::npos);
    EXPECT_NE(slog.find("Total cards discovered: 2"), std::string::npos);
    EXPECT_NE(mlog.find("Lane: 1 - Card KT-3300-A Slot 3 Dcm-Tx 1 wired to Card KT-3300-A Slot 5 Dcm-Rx 1"),
              std::string::npos);
    // (The lane CFWR frames carry a zero source address, which a Linux
    // bridge drops; the single-card tests check them.)
}

} // namespace

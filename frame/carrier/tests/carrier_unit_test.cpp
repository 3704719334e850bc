// Carrier registry, lookups, factories, lane wiring, configuration files,
// image target checks, the command runner and the unit identifier, without
// any network: INFO answers are fed to the registry as frames.
#include "carrier_internal.h"
#include "carrier_test_util.h"
#include "test_support.h"

#include <kerrow/carrier.h>
#include <kerrow/plugin.h>

#include <gtest/gtest.h>

#include <cstring>
#include <fcntl.h>
#include <unistd.h>

using namespace carriertest;
namespace kc = kd::carrier;

namespace {

class Carrier : public ::testing::Test {
protected:
    void SetUp() override
    {
        unsetenv("HW_SLOT");
        kd_carrier_init(); // native (no oem marker in the temporary root): no network
        kc::st().native = false;
    }
    void TearDown() override { kd_carrier_fini(); }

    // Registers what one INFO answer from `slot` describes; the result of
    // processing it.
    int feed(unsigned slot, const std::vector<uint32_t> &records, unsigned *found = nullptr)
    {
        const auto f = info_frame(slot, records);
        unsigned n = 0;
        const int rc = kc::process_info(f.data(), f.size(), n);
        if (found)
            *found = n;
        return rc;
    }
    carrier_node *card(unsigned slot, char rev = 'A', unsigned tx = 0, unsigned rx = 0)
    {
        EXPECT_EQ(feed(slot, card_records(slot, rev, tx, rx)), 0);
        return kc::node_at_hw(slot);
    }
    // Discovery's steps after the INFO rounds, up to the report.
    int configure()
    {
        kc::apply_chassis_conf();
        kc::apply_extended_info();
        kc::compute_tx_offsets();
        return kc::wire_lanes();
    }

    kdtest::TempRoot root_;
    kdtest::LogCapture log_;
};

TEST(CarrierSlot, HwSlotIsDecimalOrHexAndOutOfRangeFallsBackToMaster)
{
    kdtest::TempRoot root;
    kdtest::LogCapture log;
    struct Case {
        const char *text; // null: unset
        unsigned slot;
        bool warns;
    } cases[] = {
        {nullptr, 3, true}, {"5", 5, false}, {"0x5", 5, false}, {"0X7", 7, false}, {"05", 5, false},
        {"0", 0, false},    {"08", 3, true}, {"8", 3, true},    {"0x8", 3, true},  {"-1", 3, true},
        {"", 3, true},      {"abc", 3, true}, {"3x", 3, true},  {"0x", 3, true},   {"999999999999999999999", 3, true},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.text ? c.text : "(unset)");
        if (c.text)
            setenv("HW_SLOT", c.text, 1);
        else
            unsetenv("HW_SLOT");
        log.clear();
        kd_carrier_init();
        EXPECT_EQ(kd_carrier_get_HW_slot(nullptr), c.slot);
        EXPECT_EQ(kd_carrier_frame_is_master(), c.slot == 3);
        EXPECT_EQ(kc::st().bridge_byte, uint8_t(c.slot << 4 | 1));
        EXPECT_EQ(log.count("Assuming slot 3") == 1, c.warns);
        kd_carrier_fini();
    }
    unsetenv("HW_SLOT");
}

TEST_F(Carrier, InfoAnswersFillTheRegistryOncePerSlot)
{
    unsigned found = 0;
    std::vector<uint32_t> recs = card_records(3, 'A');
    recs.push_back(port_rec(4, 6)); // rmii
    recs[7] = port_rec(3, 4, 0);    // fpgapgm, not programmed
    ASSERT_EQ(feed(3, recs, &found), 0);
    EXPECT_EQ(found, 1u);
    carrier_node *n = kc::node_at_hw(3);
    ASSERT_NE(n, nullptr);
    EXPECT_STREQ(n->name, "KT-3300-A");
    EXPECT_STREQ(n->base_name, "KT-3300");
    EXPECT_STREQ(n->data_path, "/usr/local/share/KT-3300"); // no model directory: the base name's
    EXPECT_STREQ(n->fpga_img_name, "fpga.img");
    EXPECT_STREQ(n->xsb_mii_addr, "e34");
    EXPECT_EQ(n->is_fpga_programmed, 0);
    ASSERT_EQ(n->port_count, 5u);
    EXPECT_EQ(n->ports[2].type, unsigned(PORTID_TS));
    EXPECT_EQ(n->ports[2].data, 3); // TS ports always hold 3
    EXPECT_EQ(n->ports[1].data, 0x0E31);

    // The same card answering again (a duplicate within a round) is kept once.
    ASSERT_EQ(feed(3, card_records(3, 'B'), &found), 0);
    EXPECT_EQ(found, 0u);
    EXPECT_EQ(kc::st().carriers.size(), 1u);
    EXPECT_STREQ(n->name, "KT-3300-A");

    // A model directory named after the full name wins over the base name.
    std::filesystem::create_directories(root_ / "usr/local/share/KT-3300-C");
    EXPECT_STREQ(card(5, 'C')->data_path, "/usr/local/share/KT-3300-C");
}

TEST_F(Carrier, MalformedInfoFailsAndForeignSlotsAreDropped)
{
    struct Case {
        const char *what;
        unsigned slot;
        std::vector<uint32_t> records;
        int rc;
    } cases[] = {
        {"three records", 2, {carrier_rec('A'), kFpgaRec, kVersionRec}, -1},
        {"port before carrier", 2, {port_rec(0, 2), carrier_rec('A'), kFpgaRec, kVersionRec}, -1},
        {"lanes before carrier", 2, {blvds_rec(2, 0), carrier_rec('A'), kFpgaRec, kVersionRec}, -1},
        {"slot 8", 8, card_records(8), 1},
        {"slot 0xff", 0xFF, card_records(0xF), 1},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(feed(c.slot, c.records), c.rc);
    }
    EXPECT_EQ(kc::node_at_hw(2), nullptr);
    EXPECT_EQ(log_.count("Missing INFO records (3) slot (2)"), 1);
    EXPECT_EQ(log_.count("Port record found before carrier record"), 1);
    EXPECT_EQ(log_.count("BLVDS record found before carrier record"), 1);
}

TEST_F(Carrier, LookupsBySlotNameAndPort)
{
    carrier_node *master = card(3);
    carrier_node *low = card(0);
    carrier_node *top = card(7, 'B');

    EXPECT_EQ(kd_carrier_get_node(8), master);
    EXPECT_EQ(kd_carrier_get_node(5), low);
    EXPECT_EQ(kd_carrier_get_node(1), top);
    EXPECT_EQ(kd_carrier_get_node(2), nullptr);
    for (unsigned bad : {0u, 9u})
        EXPECT_EQ(kd_carrier_get_node(bad), nullptr);
    EXPECT_EQ(log_.count("Invalid input slot number: 0"), 1);
    EXPECT_EQ(log_.count("Invalid input slot number: 9"), 1);

    EXPECT_EQ(kd_carrier_get_self(), master);
    EXPECT_EQ(kd_carrier_get_slot(master), 8u);
    EXPECT_EQ(kd_carrier_get_slot(top), 1u);
    EXPECT_STREQ(kd_carrier_get_slot_name(master), "CR-08");
    EXPECT_STREQ(kd_carrier_get_slot_name(top), "CR-01");
    EXPECT_EQ(kd_carrier_is_lower_row(master), 1);
    EXPECT_EQ(kd_carrier_is_lower_row(top), 0);
    EXPECT_EQ(kd_carrier_get_HW_slot(top), 7u);

    EXPECT_TRUE(kd_carrier_is_compatible(master, "KT-3300-A"));
    EXPECT_TRUE(kd_carrier_is_compatible(master, "KT-3300"));
    EXPECT_FALSE(kd_carrier_is_compatible(master, "KT-3300-B"));
    EXPECT_FALSE(kd_carrier_is_compatible(master, "KT-33"));

    std::strcpy(master->function_label, "decode");
    char buf[7];
    EXPECT_EQ(kd_carrier_get_function_label(master, buf, sizeof buf), 0);
    EXPECT_STREQ(buf, "decode");
    EXPECT_EQ(kd_carrier_get_function_label(master, buf, sizeof buf - 1), -1);
    EXPECT_EQ(kd_carrier_get_function_label(nullptr, buf, sizeof buf), -1);

    EXPECT_EQ(kd_carrier_get_port_index(master, 1, PORTID_BRIDGE), 1);
    EXPECT_EQ(kd_carrier_get_port_index(master, 2, PORTID_BRIDGE), -1);
    EXPECT_EQ(kd_carrier_get_port_index(master, 0, PORTID_BRIDGE), -1);
    uint16_t data = 0;
    EXPECT_EQ(kd_carrier_get_port_data(master, &data, 1), 0);
    EXPECT_EQ(data, 0x0E31);
    EXPECT_EQ(kd_carrier_get_port_data(master, &data, 9), -1);

    carrier_port_addr a{};
    ASSERT_EQ(kd_carrier_get_address(master, &a, 1), 0);
    EXPECT_EQ(a.vmap_addr, 0xE31);
    EXPECT_STREQ(a.vmap_addr_str, "e31");
    const uint8_t mac[6] = {0x00, 0x90, 0x1F, 0x00, 0x0E, 0x31}, ip[4] = {169, 254, 1, 8};
    EXPECT_EQ(std::memcmp(a.mac_field, mac, 6), 0);
    EXPECT_EQ(std::memcmp(a.ip_field, ip, 4), 0);
    ASSERT_EQ(kd_carrier_get_address(top, &a, 2), 0); // a TS port has no IP
    EXPECT_STREQ(a.vmap_addr_str, "e72");
    EXPECT_EQ(a.ip_field[0], 0);
    EXPECT_EQ(kd_carrier_get_address(top, &a, 9), -1);
    EXPECT_EQ(a.vmap_addr, 0xFFF);
    EXPECT_STREQ(a.vmap_addr_str, "");
}

TEST_F(Carrier, NativeModeRefusesRegistryCalls)
{
    carrier_node *n = card(3);
    kc::st().native = true;
    EXPECT_EQ(kd_carrier_get_self(), nullptr);
    EXPECT_EQ(kd_carrier_get_name(n), nullptr);
    EXPECT_EQ(kd_carrier_get_slot(n), 0u);
    EXPECT_EQ(kd_carrier_register_factory("KT-3300", nullptr, nullptr), -1);
    EXPECT_EQ(kd_carrier_set_carrier_context(n, nullptr), -1);
    EXPECT_EQ(log_.count("Not supported in native mode"), 4);
}

std::vector<std::string> g_bound;
void bind_a(carrier_node *n) { g_bound.push_back(std::string("a:") + n->name); }
void bind_b(carrier_node *n) { g_bound.push_back(std::string("b:") + n->name); }
void bind_base(carrier_node *n)
{
    g_bound.push_back(std::string("base:") + n->name);
    kd_carrier_get_carrier_ops(n)->release_manager = [](carrier_node *m) {
        g_bound.push_back(std::string("release:") + m->name);
    };
}

TEST_F(Carrier, FactoriesBindByExactNameThenBaseName)
{
    card(3, 'A');
    card(5, 'B');
    plugin_load_info one{}, two{};
    one.name = const_cast<char *>("one");
    two.name = const_cast<char *>("two");
    g_bound.clear();
    EXPECT_EQ(kd_carrier_register_factory("KT-3300", &one, bind_base), 0);
    EXPECT_EQ(kd_carrier_register_factory("KT-3300-A", &one, bind_a), 0);
    EXPECT_EQ(kd_carrier_register_factory("KT-3300-A", &one, bind_b), -1); // same plug-in, same type
    EXPECT_EQ(kd_carrier_register_factory("KT-3300-A", &two, bind_b), 0);  // another plug-in may
    EXPECT_EQ(log_.count("Registry item already exists for plugin one carrier KT-3300-A"), 1);

    kd_carrier_bind_carriers();
    // User-slot order: hardware 5 (user 3) before hardware 3 (user 8).
    EXPECT_EQ(g_bound, (std::vector<std::string>{"base:KT-3300-B", "a:KT-3300-A"}));

    g_bound.clear();
    kd_carrier_unregister_factory_by_owner(&one);
    // Every card compatible with one's types is released once per factory.
    EXPECT_EQ(g_bound, (std::vector<std::string>{"release:KT-3300-B"}));
    EXPECT_EQ(kc::st().factories.size(), 1u);
    EXPECT_STREQ(kc::st().factories[0].plugin_name, "two");
}

struct Wiring {
    const char *what;
    std::vector<std::array<unsigned, 3>> cards; // hardware slot, tx lanes, rx lanes
    bool dense;
    unsigned lanes;
    std::vector<unsigned> unused_slots;
};

TEST_F(Carrier, DenseAudioDecisionAndLaneCounts)
{
    const Wiring cases[] = {
        // D = 2, T = 0, R = 5: 5 >= 4, dense; each 4-lane transmitter feeds
        // two receivers with two lanes; one receiver is left over.
        {"2x4 tx, 5 rx", {{7, 4, 0}, {6, 4, 0}, {5, 0, 4}, {4, 0, 4}, {0, 0, 4}, {1, 0, 4}, {2, 0, 4}}, true, 8, {2}},
        // R = 3 < 4: plain wiring, one 4-lane receiver per transmitter.
        {"2x4 tx, 3 rx", {{7, 4, 0}, {6, 4, 0}, {5, 0, 4}, {4, 0, 4}, {0, 0, 4}}, false, 8, {0}},
        // T = 3 (ceil 2), D = 1, R = 3: 3 - 2 < 2, no dense.
        {"mixed", {{7, 4, 0}, {6, 2, 0}, {5, 2, 0}, {4, 1, 0}, {0, 0, 4}, {1, 0, 4}, {2, 0, 4}}, false, 9, {}},
        // A transmitter with no receiver is left out when it needs wiring.
        {"no receiver", {{7, 2, 0}}, false, 0, {7}},
    };
    for (const Wiring &c : cases) {
        SCOPED_TRACE(c.what);
        kd_carrier_fini();
        kd_carrier_init();
        kc::st().native = false;
        for (const auto &[slot, tx, rx] : c.cards)
            card(slot, 'A', tx, rx);
        EXPECT_EQ(kc::dense_audio_enabled(), c.dense);
        ASSERT_EQ(configure(), 0);
        EXPECT_EQ(kc::st().lanes.size(), c.lanes);
        std::vector<unsigned> unused;
        for (auto &r : kc::st().carriers)
            if (r->node.unused)
                unused.push_back(r->node.slot);
        EXPECT_EQ(unused, c.unused_slots);
    }
}

TEST_F(Carrier, LaneWordsOfATwoLaneTransmitterAndItsReceiver)
{
    carrier_node *tx = card(7, 'A', 2, 0); // user slot 1
    carrier_node *rx = card(5, 'A', 0, 4); // user slot 3
    ASSERT_EQ(configure(), 0);
    ASSERT_EQ(kc::st().lanes.size(), 2u);
    for (unsigned i = 0; i < 2; ++i) {
        const blvds_connection &l = kc::st().lanes[i];
        EXPECT_EQ(l.lane, i);
        EXPECT_EQ(l.dcm_tx_index, i);
        EXPECT_EQ(l.dcm_rx_index, i);
        EXPECT_EQ(l.dcm_rx_index_is_dense, 0u);
    }
    EXPECT_EQ(kc::lane_words(tx), (std::vector<uint32_t>{0x02000003, 0x02408000, 0x02418001}));
    EXPECT_EQ(kc::lane_words(rx), (std::vector<uint32_t>{0x02208000, 0x02218001, 0x05000000}));

    unsigned off = 9, count = 9, rxi = 9;
    EXPECT_EQ(kd_carrier_get_transmitter_offset(tx, &off, &count), 0);
    EXPECT_EQ(off, 0u);
    EXPECT_EQ(count, 2u);
    EXPECT_EQ(kd_carrier_get_transmitter_offset(rx, &off, &count), -1);
    EXPECT_EQ(kd_carrier_get_wired_receiver(tx, 1, &rxi, &count), rx);
    EXPECT_EQ(rxi, 1u);
    EXPECT_EQ(count, 1u);
    EXPECT_EQ(kd_carrier_get_wired_receiver(tx, 2, &rxi, &count), nullptr);
}

TEST_F(Carrier, DenseLaneWordsEndWithTheDenseMarker)
{
    carrier_node *tx = card(7, 'A', 4, 0);
    carrier_node *rx1 = card(6, 'A', 0, 4);
    carrier_node *rx2 = card(5, 'A', 0, 4);
    card(4, 'A', 0, 4);
    card(0, 'A', 0, 4);
    ASSERT_EQ(configure(), 0);
    ASSERT_EQ(kc::st().lanes.size(), 4u);
    // Lanes 0, 1 to the first receiver at indices 0 and 2, lanes 2, 3 to the second.
    EXPECT_EQ(kc::lane_words(rx1), (std::vector<uint32_t>{0x02208000, 0x02218000, 0x02228001, 0x02238001, 0x0500000A}));
    EXPECT_EQ(kc::lane_words(rx2), (std::vector<uint32_t>{0x02208002, 0x02218002, 0x02228003, 0x02238003, 0x0500000A}));
    EXPECT_EQ(kc::lane_words(tx)[0], 0x0200000Fu);
    unsigned rxi = 0, count = 0;
    EXPECT_EQ(kd_carrier_get_wired_receiver(tx, 3, &rxi, &count), rx2);
    EXPECT_EQ(rxi, 2u);
    EXPECT_EQ(count, 2u);
}

TEST_F(Carrier, ChassisConfAndExtendedInfo)
{
    carrier_node *a = card(3, 'A', 2, 0);
    carrier_node *b = card(5, 'B', 0, 0);
    carrier_node *c = card(6, 'C', 0, 0);
    write_text(root_ / "etc/solvera/chassis.conf", "# comment HW_SLOT_6_FUNCTION=4\n"
                                                   "HW_SLOT_5_FUNCTION=12\n"
                                                   "HW_SLOT_9_FUNCTION=1\n"
                                                   "HW_SLOT_3_FUNCTION\n");
    write_text(root_ / "usr/local/share/KT-3300/extended.info", "# FUNCTION_12_LABEL=comment\n"
                                                                "FUNCTION_0_LABEL=decode\n"
                                                                "FUNCTION_12_LABEL=twelve\n"
                                                                "FUNCTION_12_FPGA=f12.img\n"
                                                                "FUNCTION_0_DCM=3\n"
                                                                "FPGA_IS_XYLINX=1\n"
                                                                "SELF_PROGRAM=1\n"
                                                                "REBOOT_AFTER_PROGRAM=0\n"
                                                                "FUNCTION_0_FPGA=cut");
    configure();
    EXPECT_EQ(a->target_function, 0u);
    EXPECT_EQ(b->target_function, 12u); // read whole, not its first digit
    EXPECT_EQ(c->target_function, 0u);
    EXPECT_STREQ(a->function_label, "decode");
    EXPECT_STREQ(a->fpga_img_name, "fpga.img"); // the last line has no line end
    EXPECT_EQ(a->dcm.count, 3);
    EXPECT_STREQ(b->function_label, "twelve");
    EXPECT_STREQ(b->fpga_img_name, "f12.img");
    EXPECT_EQ(b->is_fpga_xylinx, 1);
    EXPECT_EQ(b->requires_self_programming, 1);
    EXPECT_EQ(b->requires_reboot_after_programming, 0);
    // A Xilinx transmitter needs no wiring: with no receiver it stays in service.
    EXPECT_EQ(a->requires_wiring, 0);
    EXPECT_EQ(a->unused, 0);
    EXPECT_EQ(kd_carrier_get_function(b), 12u);
}

TEST_F(Carrier, FunctionTargetsRewriteChassisConfThenReboot)
{
    const std::string cmds = root_ / "cmd";
    recorder(cmds, "reboot");
    setenv("KD_CMD_DIR", cmds.c_str(), 1);
    card(3);
    card(7);
    const std::string conf = root_ / "etc/solvera/chassis.conf";
    const std::string flag = root_ / "media/hd0/.solvera_program_on_boot";

    // No directory for the file: nothing written, no reboot.
    uint32_t f[8] = {};
    EXPECT_EQ(kd_carrier_update_function_targets(f), -1);
    EXPECT_EQ(kd_carrier_update_function_targets(nullptr), -1);
    EXPECT_EQ(read_text(cmds + "/calls"), "");

    std::filesystem::create_directories(root_ / "etc/solvera");
    std::filesystem::create_directories(root_ / "media/hd0");
    EXPECT_EQ(kd_carrier_update_function_targets(f), 0);
    EXPECT_EQ(read_text(conf), "# No multi-function carriers or function selections specified\n");
    EXPECT_EQ(read_text(cmds + "/calls"), "reboot \n");
    EXPECT_TRUE(std::filesystem::exists(flag));

    // User slot 8 is hardware 3, user 1 is hardware 7; user 2 is empty.
    f[7] = 2, f[0] = 11, f[1] = 5;
    EXPECT_EQ(kd_carrier_update_function_targets(f), 0);
    EXPECT_EQ(read_text(conf), "HW_SLOT_3_FUNCTION=2\nHW_SLOT_7_FUNCTION=11\n");
    EXPECT_FALSE(std::filesystem::exists(conf + ".tmp"));
    unsetenv("KD_CMD_DIR");
}

TEST_F(Carrier, VirtualAddressRegionsAndRefusedFrames)
{
    carrier_node *n = card(1);
    carrier_node *other = card(2);
    const uint16_t first_other = kd_carrier_allocate_vmap_addr(other);
    EXPECT_EQ(first_other, 0x100 + 64);
    for (unsigned i = 0; i < 32; ++i)
        EXPECT_EQ(kd_carrier_allocate_vmap_addr(n), 0x100 + 32 + i);
    EXPECT_EQ(kd_carrier_allocate_vmap_addr(n), 0);
    EXPECT_EQ(log_.count("No more VADDRs available from region 1"), 1);
    EXPECT_EQ(kd_carrier_allocate_vmap_addr(other), first_other + 1);

    uint8_t mac[6];
    kd_carrier_vmap_to_mac_addr(mac, 0x163);
    const uint8_t want[6] = {0x00, 0x90, 0x1F, 0x00, 0x01, 0x63};
    EXPECT_EQ(std::memcmp(mac, want, 6), 0);

    // Refused before anything is sent.
    const uint8_t rec[1496] = {};
    EXPECT_EQ(kd_carrier_send_cfwr(n, rec, 6), -1);
    EXPECT_EQ(kd_carrier_send_cfwr(n, rec, 1496), -1); // would not fit with the tag and end word
    EXPECT_EQ(kd_carrier_send_cfwr(nullptr, rec, 8), -1);
    EXPECT_EQ(kd_carrier_set_vmap_addr(n, 0x163, 20), -1); // the mask bit would land in the address
    EXPECT_EQ(kd_carrier_set_vmap_addr(n, 0x200, 1), -1);
}

TEST_F(Carrier, ImageTargetChecks)
{
    const std::string dir = "/usr/local/share/KT-3300";
    auto image = [&](const std::string &name, std::vector<uint8_t> bytes) {
        write_bytes(root_ / (dir.substr(1) + "/" + name), bytes);
    };
    std::vector<uint8_t> no_sync(4000, 0x11);
    std::vector<uint8_t> late_sync(4000, 0x22);
    const uint8_t sync[4] = {0xFF, 0xFF, 0xBD, 0xB3};
    std::copy(sync, sync + 4, late_sync.begin() + 4000 - 1491); // 1491 bytes from the pattern on
    std::vector<uint8_t> ok_sync = late_sync;
    std::copy(sync, sync + 4, ok_sync.begin() + 4000 - 1492);
    image("nosync.img", no_sync);
    image("small.img", std::vector<uint8_t>(2999, 0xFF));
    image("late.img", late_sync);
    image("ok.img", ok_sync);
    struct Case {
        const char *file;
        unsigned xilinx;
        int rc;
        const char *message;
    } cases[] = {
        {"missing.img", 0, -1, "File not found"},
        {"small.img", 1, -1, "File size too small"},
        {"nosync.img", 0, -1, "Unable to find FPGA data sync"},
        {"nosync.img", 1, 0, "(image length 4000)"},
        {"late.img", 0, -1, "FPGA image too short (1491 bytes)"},
        {"ok.img", 0, 0, "(image length 1492)"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.file);
        log_.clear();
        EXPECT_EQ(kd_carrier_pgm_fpga_set_target(dir.c_str(), c.file, 3, 0x33, c.xilinx), c.rc);
        EXPECT_EQ(log_.count(c.message), 1);
    }
    EXPECT_EQ(kd_carrier_pgm_fpga_set_target(dir.c_str(), "ok.img", 8, 0x83, 0), -1);
    kc::clear_targets();
}

TEST(HwUid, ReadsTwoWordsFromTheFuseBlock)
{
    kdtest::TempRoot root;
    EXPECT_EQ(hw_get_uid(nullptr, 8), -1);
    unsigned char buf[8] = {};
    EXPECT_EQ(hw_get_uid(buf, 8), -1); // no /dev/mem under the root
    std::filesystem::create_directories(root / "dev");
    const std::string mem = root / "dev/mem";
    const int fd = open(mem.c_str(), O_RDWR | O_CREAT, 0600);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(ftruncate(fd, 0x01E81000), 0); // sparse
    const uint8_t words[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    ASSERT_EQ(pwrite(fd, words, 8, 0x01E8021C), 8);
    close(fd);
    unsigned char four[8] = {};
    EXPECT_EQ(hw_get_uid(four, 4), 0);
    EXPECT_EQ(std::memcmp(four, words, 4), 0);
    EXPECT_EQ(four[4], 0); // only the first word for a 4-byte buffer
    EXPECT_EQ(hw_get_uid(buf, 8), 0);
    EXPECT_EQ(std::memcmp(buf, words, 8), 0);
}

} // namespace

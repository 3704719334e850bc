// libinterlink without a network: addressing, frame helpers, INFO texts,
// the IFP frame codec and the operations' argument, package and image checks.
#include "ifp.h"
#include "interlink.h"
#include "test_util.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <string>

using xsbtest::TempDir;

namespace {

std::string addr_of(const unsigned char mac[6])
{
    char t[8];
    return xsb_get_addr(mac, t, sizeof t) == 0 ? t : "<err>";
}

TEST(XsbAddress, TextAndMacRoundTrip)
{
    struct {
        const char *text;
        uint8_t b4, b5;
        const char *back;
    } cases[] = {
        {"e1f", 0x0e, 0x1f, "e1f"}, {"E1F", 0x0e, 0x1f, "e1f"}, {"fff", 0x0f, 0xff, "fff"},
        {"000", 0x00, 0x00, "000"}, {"e31", 0x0e, 0x31, "e31"},
        // A non-digit is skipped without using a nibble.
        {"e-3", 0x0e, 0x30, "e30"},
    };
    for (const auto &c : cases) {
        unsigned char mac[6] = {1, 2, 3, 4, 5, 6};
        ASSERT_EQ(xsb_set_addr(mac, c.text), 0) << c.text;
        const unsigned char want[6] = {0x00, 0x90, 0x1F, 0x00, c.b4, c.b5};
        EXPECT_EQ(std::memcmp(mac, want, 6), 0) << c.text;
        EXPECT_EQ(addr_of(mac), c.back) << c.text;
    }
}

TEST(XsbAddress, MalformedTextsAreRefused)
{
    for (const char *bad : {"e1", "e1f0", "", "e1ff"}) {
        unsigned char mac[6] = {1, 2, 3, 4, 5, 6};
        EXPECT_EQ(xsb_set_addr(mac, bad), -1) << bad;
        const unsigned char zero[6] = {0x00, 0x90, 0x1F, 0x00, 0, 0};
        EXPECT_EQ(std::memcmp(mac, zero, 6), 0) << bad;
    }
    unsigned char mac[6];
    EXPECT_EQ(xsb_set_addr(mac, nullptr), -1);
    char small[4];
    EXPECT_EQ(xsb_get_addr(mac, small, 3), -1);
    EXPECT_EQ(xsb_get_addr(mac, small, 4), 0);

    xsb_pkt pkt{};
    ASSERT_EQ(xsbpkt_set_dest(&pkt, "e30"), 0);
    ASSERT_EQ(xsbpkt_set_source(&pkt, "e31"), 0);
    char d[4], s[4];
    EXPECT_EQ(xsbpkt_get_dest(&pkt, d, 4), 0);
    EXPECT_EQ(xsbpkt_get_source(&pkt, s, 4), 0);
    EXPECT_STREQ(d, "e30");
    EXPECT_STREQ(s, "e31");
}

TEST(XsbTables, SlotTablesAreInverses)
{
    for (int hw = 0; hw < 8; ++hw) {
        const int label = hw_enum_to_slot_num[hw];
        ASSERT_GE(label, 1);
        ASSERT_LE(label, 8);
        EXPECT_EQ(slot_num_to_hw_enum[label - 1], hw);
    }
    EXPECT_EQ(hw_enum_to_slot_num[3], 8); // the master's slot
    EXPECT_EQ(xsbvmap_is_valid(0), 1);
    EXPECT_EQ(xsbvmap_is_valid(511), 1);
    EXPECT_EQ(xsbvmap_is_valid(-1), 0);
    EXPECT_EQ(xsbvmap_is_valid(512), 0);
}

TEST(XsbRaw, PayloadFrameAndHexLines)
{
    uint8_t frame[64];
    const uint8_t payload[3] = {0xAA, 0xBB, 0xCC};
    ASSERT_EQ(xsbraw_init_eth_payload(frame, sizeof frame, 0x163, 0xE31, payload, 3), 17);
    const uint8_t want[17] = {0x00, 0x90, 0x1F, 0x00, 0x01, 0x63, 0x00, 0x90, 0x1F,
                              0x00, 0x0E, 0x31, 0x88, 0xB7, 0xAA, 0xBB, 0xCC};
    EXPECT_EQ(std::memcmp(frame, want, 17), 0);
    EXPECT_EQ(xsbraw_init_eth_payload(frame, 16, 1, 2, payload, 3), -1);

    struct {
        const char *text;
        int len;
        int count;
        std::vector<uint8_t> bytes;
    } cases[] = {
        {"0a 1B # comment 99", 8, 2, {0x0A, 0x1B}},
        {"abc", 8, 1, {0xAB}},
        {"0102030405", 3, 3, {1, 2, 3}}, // stops when the buffer is full
        {"11\n22", 8, 1, {0x11}},
        {"zz", 8, 0, {}},
    };
    for (const auto &c : cases) {
        char out[8] = {};
        EXPECT_EQ(xsbraw_line_atob(out, c.len, c.text), c.count) << c.text;
        // Byte by byte: comparing two empty vectors would memcmp null pointers.
        for (size_t i = 0; i < c.bytes.size(); ++i)
            EXPECT_EQ(static_cast<uint8_t>(out[i]), c.bytes[i]) << c.text << " byte " << i;
    }
}

TEST(XsbRaw, PacketDumpLayout)
{
    xsb_pkt pkt{};
    auto *b = reinterpret_cast<uint8_t *>(&pkt);
    for (int i = 0; i < 18; ++i)
        b[i] = uint8_t(i);
    testing::internal::CaptureStdout();
    xsb_print_packet(&pkt, 18);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "xsb_print_packet: len=18\n"
              "  000000: 0001 0203 0405 0607 0809 0a0b 0c0d 0e0f \n"
              "  000010: 1011 \n");
}

// ---- INFO records ---------------------------------------------------

std::string text(int (*fn)(char *, int, const uint32_t *), uint32_t rec, int *rc = nullptr)
{
    char buf[160];
    std::memset(buf, '#', sizeof buf);
    const int n = fn(buf, sizeof buf, &rec);
    if (rc)
        *rc = n;
    return n < 0 ? "<-1>" : std::string(buf);
}

TEST(XsbInfo, CountAndFetch)
{
    const uint8_t info[] = {'I', 'N', 'F', 'O', 0x01, 0x33, 0x00, 0x30, 0x47, 0x09, 0x0e, 0x12,
                            0xFF, 0xFF, 0xFF, 0xFF, 0x00, 0x00, 0x00, 0x00};
    const char *buf = reinterpret_cast<const char *>(info);
    EXPECT_EQ(xsbinfo_count_records(buf, sizeof info), 2);
    EXPECT_EQ(xsbinfo_count_records(buf, 12), 2); // no end record: the buffer's end
    EXPECT_EQ(xsbinfo_count_records(buf, 0), 0);
    EXPECT_EQ(xsbinfo_count_records("INFX", 4), -1);
    // A trailing fragment of a word is not a record.
    EXPECT_EQ(xsbinfo_count_records(buf, 10), 1);

    uint32_t rec = 0;
    ASSERT_EQ(xsbinfo_get_index(buf, 8, 0, &rec), 0);
    EXPECT_EQ(rec, 0x01330030u);
    EXPECT_EQ(xsbinfo_get_index(buf, 8, 1, &rec), -1);
    EXPECT_EQ(xsbinfo_get_index(buf, sizeof info, -1, &rec), -1);
    EXPECT_EQ(xsbinfo_get_index("INFX....", 8, 0, &rec), -1);
    ASSERT_EQ(xsbinfo_get_index(buf, sizeof info, 1, &rec), 0);
    EXPECT_EQ(text(xsbinfo_port_to_string, rec), "asi 0x0e12");
    ASSERT_EQ(xsbinfo_get_index(buf, sizeof info, 0, &rec), 0);
    EXPECT_EQ(text(xsbinfo_carrier_to_string, rec), "KT-3300-0");
}

TEST(XsbInfo, RecordTexts)
{
    using fn_t = int (*)(char *, int, const uint32_t *);
    struct {
        fn_t fn;
        uint32_t rec;
        const char *want;
    } cases[] = {
        {xsbinfo_carrier_to_string, 0x01330030, "KT-3300-0"},
        {xsbinfo_carrier_to_string, 0x02330030, "<-1>"},
        {xsbinfo_carrier_to_string, 0x01330000, "KT-3300-?"},
        {xsbinfo_port_to_string, 0x47090e12, "asi 0x0e12"},
        {xsbinfo_port_to_string, 0x400c0e12, "rsv port type 0x0e12"},
        {xsbinfo_port_to_string, 0x5F020e30, "ifp 0x0e30"},
        {xsbinfo_port_to_string, 0x60020e30, "<-1>"},
        {xsbinfo_port_to_string, 0x3F020e30, "<-1>"},
        {xsbinfo_version_to_string, 0x03120203, "1.2.0203"},
        {xsbinfo_version_to_string, 0x04120203, "<-1>"},
        {xsbinfo_fpga_to_string, 0x02012210, "Lattice XO2 2100-1 unknown"},
        {xsbinfo_fpga_to_string, 0x02020000, "Xilinx"},
        {xsbinfo_fpga_to_string, 0x02043201, "Microsemi"},
        // 4-bit fields beyond their tables never read past them.
        {xsbinfo_fpga_to_string, 0x020F0000, "rsv15"},
        {xsbinfo_fpga_to_string, 0x0201FF5F, "Lattice rsv15 rsv15-5 rsv15"},
        {xsbinfo_fpga_to_string, 0x03012210, "<-1>"},
        {xsbinfo_blvds_to_string, 0x24040208, "lanes 8 tx 4, rx 2"},
        {xsbinfo_blvds_to_string, 0x25040208, "<-1>"},
        {xsbinfo_xsb_to_string, 0x00A5F09F, "3.456 Gbps crc [1010] tx_inv [0_1_1111] rx_inv [-_1_0000] ddel 31"},
        {xsbinfo_xsb_to_string, 0x00020F00, "3.456 Gbps crc [0000] tx_inv [0_0_0000] rx_inv [I_0_1111] sdel 0"},
        {xsbinfo_bridge_to_string, 0x00081100, "900 Mbps tx_inv [1_1] rx_inv [N_1] sdel 0"},
        {xsbinfo_sequencer_to_string, 0x00800095, "SysClk Master, L->R Top [ 1 - - 4 ] Bottom [ 5 - 7 - ]"},
        {xsbinfo_sequencer_to_string, 0x00000000, "SysClk Slave, L->R Top [ - - - - ] Bottom [ - - - - ]"},
        {xsbinfo_xqueues_eg_to_string, 0x00908000, "ack p1,p4, alert none, nack p4"},
        {xsbinfo_xqueues_ig_to_string, 0x0000000F, "ack none, alert none, nack p1,p2,p3,p4"},
        {xsbinfo_xqueues_ig_to_string, 0x00000F10, "ack p1,p2,p3,p4, alert p1, nack none"},
        {xsbinfo_audio_rx_to_string, 0x00300000, "Rx[3] no input"},
        {xsbinfo_audio_rx_to_string, 0x00300151, "BLVDS[5] => Rx[3], DCM locked & normal polarity"},
        {xsbinfo_audio_rx_to_string, 0x00300153, "BLVDS[5] => Rx[3], DCM locked & inverted polarity"},
        {xsbinfo_audio_rx_to_string, 0x00300150, "BLVDS[5] => Rx[3], DCM unlocked"},
        {xsbinfo_audio_tx_to_string, 0x03FFFFFF, ""},
        // Mode 5: 8 fields of 2 bits, group 1; field 0 = 3 (top set, value 1), field 1 = 1 (clear).
        {xsbinfo_audio_tx_to_string, 0x05000007, "Tx [ 1 - - - - - - - ] => BLVDS[8-15]"},
        // Mode 6: 8 fields of 3 bits, group 0.
        {xsbinfo_audio_tx_to_string, 0x06000007, "Tx [ 3 - - - - - - - ] => BLVDS[0-7]"},
        // Mode 10: 4 fields of 4 bits, group 2; fields 0xF, 0x8, 0x0, 0xA.
        {xsbinfo_audio_tx_to_string, 0x0A00A08F, "Tx [ 7 0 - 2 ] => BLVDS[8-11]"},
        // Mode 15: 4 fields of 5 bits, group 3; field 3 = 0x1F.
        {xsbinfo_audio_tx_to_string, 0x0F0F8000, "Tx [ - - - 15 ] => BLVDS[12-15]"},
    };
    for (const auto &c : cases)
        EXPECT_EQ(text(c.fn, c.rec), c.want) << std::hex << c.rec;
}

TEST(XsbInfo, TextsAreCutToTheBuffer)
{
    const uint32_t rec = 0x01330030;
    char buf[5];
    std::memset(buf, '#', sizeof buf);
    EXPECT_EQ(xsbinfo_carrier_to_string(buf, 5, &rec), 9); // the full text's length
    EXPECT_STREQ(buf, "KT-3");
    const uint32_t mfg = 0x02040000;
    EXPECT_EQ(xsbinfo_fpga_to_string(buf, 5, &mfg), 9);
    EXPECT_STREQ(buf, "Micr");
    const uint32_t tx = 0x0F0F8000;
    EXPECT_EQ(xsbinfo_audio_tx_to_string(buf, 5, &tx), 31);
    EXPECT_STREQ(buf, "Tx [");
    EXPECT_EQ(xsbinfo_carrier_to_string(nullptr, 0, &rec), 9);
    EXPECT_STREQ(strPORTID[PORTID_ASI], "asi");
    EXPECT_EQ(strPORTID[PORTID_LAST], nullptr);
    EXPECT_EQ(strFPGAMFG[5], nullptr);
}

// ---- IFP frames -----------------------------------------------------

using namespace xsb::ifp;

struct built {
    std::array<uint8_t, XSB_DATA_LEN> payload{};
    int len = 0;
};

built build(VERSION_OPERATION op, uint32_t session, uint32_t seq, ssf_cmd cmd, uint32_t addr,
            std::vector<uint8_t> data)
{
    built b;
    b.len = build_request({op, session, seq, cmd, addr, data}, b.payload);
    return b;
}

uint32_t word_at(const built &b, int i) { return xsb::get_be32(b.payload.data() + 4 * i); }

// The answer a carrier gives: four words of its own, the header echoed, then
// `data` from `first` on, at exactly the request's length.
std::vector<uint8_t> answer(const built &req, int first, const std::vector<uint8_t> &data)
{
    std::vector<uint8_t> f(size_t(req.len), 0);
    for (int i = 0; i < 16; ++i)
        xsb::put_be32(f.data() + XSB_HDR_LEN + 4 * (4 + i), word_at(req, i));
    for (size_t i = 0; i < data.size() && XSB_HDR_LEN + 4 * (first + int(i)) + 4 <= req.len; ++i)
        xsb::put_be32(f.data() + XSB_HDR_LEN + 4 * (first + int(i)), 0x100 | data[i]);
    return f;
}

TEST(IfpFrame, RequestLayout)
{
    const built b = build(VERSION_1_OPERATION_WB, 0xABCDE3, 5, SSF_CMD_NONE, 0, {0x70, 0x80, 0x00});
    EXPECT_EQ(b.len, 110);
    const uint32_t want[] = {0x149, 0x146, 0x150, 0x112, 0x1AB, 0x1CD, 0x1E3, 0x105,
                             0x100, 0x100, 0x100, 0x100, 0x100, 0x100, 0x100, 0x100,
                             0x170, 0x180, 0x100, 0, 0, 0, 0, 0};
    for (int i = 0; i < 24; ++i)
        EXPECT_EQ(word_at(b, i), want[i]) << "word " << i;

    const built rd = build(VERSION_1_OPERATION_MSPI, 1, 256, SSF_CMD_READ_DATA_BYTES, 0x012345,
                           std::vector<uint8_t>(256, 0xFF));
    EXPECT_EQ(rd.len, 98 + 4 * 260);
    EXPECT_EQ(word_at(rd, 7), 0x100u); // sequence 256 travels as its low byte
    EXPECT_EQ(word_at(rd, 16), 0x103u);
    EXPECT_EQ(word_at(rd, 17), 0x101u);
    EXPECT_EQ(word_at(rd, 18), 0x123u);
    EXPECT_EQ(word_at(rd, 19), 0x145u);
    EXPECT_EQ(word_at(rd, 20), 0x1FFu);

    const built rom = build(VERSION_1_OPERATION_DROM, 1, 0, SSF_CMD_NONE, 0, {});
    EXPECT_EQ(rom.len, 98 + 4 * 256);
    EXPECT_EQ(word_at(rom, 16), 0x1FFu);
    EXPECT_EQ(word_at(rom, 271), 0x1FFu);
    EXPECT_EQ(word_at(rom, 272), 0u);

    std::array<uint8_t, 8> tiny{};
    EXPECT_EQ(build_request({VERSION_1_OPERATION_WB, 1, 0, SSF_CMD_NONE, 0, {}}, tiny), -1);
    std::vector<uint8_t> big(257);
    built b2;
    EXPECT_EQ(build_request({VERSION_1_OPERATION_WB, 1, 0, SSF_CMD_NONE, 0, big}, b2.payload), -1);
}

TEST(IfpFrame, ResponseMatchingAndData)
{
    std::array<uint8_t, MAX_DATA> out{};
    const built rd = build(VERSION_1_OPERATION_MSPI, 0x123453, 7, SSF_CMD_READ_DATA_BYTES, 0x10000,
                           std::vector<uint8_t>(4, 0xFF));
    const auto good = answer(rd, 25, {1, 2, 3, 4});
    EXPECT_EQ(parse_response(rd.payload, rd.len, SSF_CMD_READ_DATA_BYTES, good, out), 4);
    EXPECT_EQ(out[0], 1);
    EXPECT_EQ(out[3], 4);

    // Another session, another sequence number, another length: not ours.
    auto other = good;
    other[XSB_HDR_LEN + 4 * (4 + 5) + 3] ^= 1;
    EXPECT_EQ(parse_response(rd.payload, rd.len, SSF_CMD_READ_DATA_BYTES, other, out), -1);
    auto late = good;
    late[XSB_HDR_LEN + 4 * (4 + 7) + 3] ^= 1;
    EXPECT_EQ(parse_response(rd.payload, rd.len, SSF_CMD_READ_DATA_BYTES, late, out), -1);
    auto longer = good;
    longer.resize(good.size() + 4);
    EXPECT_EQ(parse_response(rd.payload, rd.len, SSF_CMD_READ_DATA_BYTES, longer, out), -1);
    EXPECT_EQ(parse_response(rd.payload, rd.len, SSF_CMD_READ_DATA_BYTES,
                             std::span<const uint8_t>(good).first(good.size() - 4), out), -1);

    // Status: data after the command and status words.
    const built st = build(VERSION_1_OPERATION_MSPI, 9, 0, SSF_CMD_READ_STATUS_REGISTER, 0, {0xFF});
    EXPECT_EQ(parse_response(st.payload, st.len, SSF_CMD_READ_STATUS_REGISTER, answer(st, 22, {0x03}), out), 1);
    EXPECT_EQ(out[0], 0x03);

    // Wishbone and ROM data start right after the header; at most 256 bytes.
    const built wb = build(VERSION_1_OPERATION_WB, 9, 0, SSF_CMD_NONE, 0, std::vector<uint8_t>(5, 0));
    EXPECT_EQ(parse_response(wb.payload, wb.len, SSF_CMD_NONE, answer(wb, 20, {9, 8, 7, 6, 5, 4}), out), 6);
    EXPECT_EQ(out[5], 4);
    const built rom = build(VERSION_1_OPERATION_DROM, 9, 0, SSF_CMD_NONE, 0, {});
    EXPECT_EQ(parse_response(rom.payload, rom.len, SSF_CMD_NONE, answer(rom, 20, {'A'}), out), 256);
}

// ---- Operations without a network -------------------------------------

struct OpCase {
    const char *name;
    const char *op;
    const char *ifname;
    const char *dst;
    const char *file;
    const char *offset;
    const char *size;
    ERR err;
    const char *log_has;
};

class IfpOp : public ::testing::Test {
protected:
    void SetUp() override
    {
        xsbifp_init(&x);
        x.source = "e31";
        std::strcpy(x.dst, "e30");
        x.msg = MSG_QUIET;
        std::strcpy(x.carrier, "KT-3300");
        std::strcpy(x.fpga, "XO3LF_2100E");
        write_lib();
    }
    void write_lib()
    {
        xsbtest::write_text(lib / "pkg", "# image package\n"
                                "@other\n"
                                "KT-3300__XO3LF_2100E other.img\n"
                                "@default\n"
                                "KT-3300__XO3LF_2100E__2 f2.img  trailing words\n"
                                "KT-3300__XO3LF_2100E__3    f3.img\n"
                                "KT-1000__XO3L_640E\n"
                                "@\n"
                                "KT-3300__XO3LF_2100E__4 f4.img\n"
                                "@late\n"
                                "@other\n"
                                "KT-9999__XO3L_640E late.img\n");
        for (const char *f : {"other.img", "f2.img", "f3.img", "f4.img", "late.img"})
            xsbtest::write_file(lib / f, xsbtest::make_image("KT-3300", "XO3LF-2100E", 4096));
        xsbtest::write_file(lib / "KT-1000__XO3L_640E", xsbtest::make_image("KT-1000", "XO3L-640E", 4096));
    }
    int run(const char *op)
    {
        x.op = op;
        return xsbifp_op(&x);
    }
    TempDir lib;
    xsbifp x;
};

TEST_F(IfpOp, ArgumentErrors)
{
    const std::string img = lib / "f2.img";
    const OpCase cases[] = {
        {"no op", nullptr, "loopback", "e30", nullptr, nullptr, nullptr, ERR_OP_ARG, ""},
        {"unknown op", "flash", "loopback", "e30", nullptr, nullptr, nullptr, ERR_OP_ARG, ""},
        {"id bad dest digit", "id", "loopback", "e15", nullptr, nullptr, nullptr, ERR_DESTINATION_ARG, ""},
        {"id dest with prefix", "id", "loopback", "0xe", nullptr, nullptr, nullptr, ERR_DESTINATION_ARG, ""},
        {"id dest too high", "id", "loopback", "e80", nullptr, nullptr, nullptr, ERR_DESTINATION_ARG, ""},
        {"id dest unterminated", "id", "loopback", "e3012345", nullptr, nullptr, nullptr, ERR_DESTINATION_ARG, ""},
        {"no interface", "erase", nullptr, "e30", nullptr, nullptr, nullptr, ERR_IFNAME_ARG, ""},
        {"read without file", "read", "loopback", "e30", nullptr, nullptr, nullptr, ERR_FILE_ARG, "MODE(ERR)"},
        {"bad offset", "read", "loopback", "e30", img.c_str(), "-1", nullptr, ERR_OFFSET_ARG, ""},
        {"unparsable offset", "read", "loopback", "e30", img.c_str(), "12k", nullptr, ERR_OFFSET_ARG, ""},
        {"bad size", "read", "loopback", "e30", img.c_str(), "0x10", "0", ERR_SIZE_ARG, ""},
        // Loopback: every exchange fails, nothing is sent.
        {"loopback erase", "erase", "loopback", "e30", nullptr, nullptr, nullptr, ERR_REQRSP_SOCKET, "ERASE_ERR"},
        {"loopback id", "ID", "loopback", "e30", nullptr, nullptr, nullptr, ERR_ID_NO_CARRIER, "IFP CS=8 HW=3  REPEATER"},
        {"loopback refresh", "Refresh", "loopback", "e30", nullptr, nullptr, nullptr, ERR_NONE, ""},
    };
    for (const auto &c : cases) {
        SetUp();
        x.ifname = c.ifname;
        std::memcpy(x.dst, c.dst, std::min(sizeof x.dst, std::strlen(c.dst) + 1));
        x.file = c.file;
        x.offset = c.offset;
        x.size = c.size;
        EXPECT_EQ(run(c.op), c.err == ERR_NONE ? 0 : -1) << c.name;
        EXPECT_EQ(x.err, c.err) << c.name;
        EXPECT_NE(std::string(x.log_msg).find(c.log_has), std::string::npos) << c.name << ": " << x.log_msg;
    }
    // A read that failed leaves no output file.
    EXPECT_FALSE(std::filesystem::exists(lib / "out.bin"));
    x.ifname = "loopback";
    x.file = nullptr;
    std::string out = lib / "out.bin";
    x.file = out.c_str();
    EXPECT_EQ(run("read"), -1);
    EXPECT_EQ(x.err, ERR_REQRSP_SOCKET);
    EXPECT_FALSE(std::filesystem::exists(out));
}

TEST_F(IfpOp, PackageLookup)
{
    struct {
        const char *name;
        const char *carrier, *fpga;
        uint32_t function;
        const char *group;
        const char *target; // relative to the library, "" for none
        ERR err;
    } cases[] = {
        {"function key", "KT-3300", "XO3LF_2100E", 2, nullptr, "f2.img", ERR_REQRSP_SOCKET},
        {"short key matches the longer line", "KT-3300", "XO3LF_2100E", 0, nullptr, "f2.img", ERR_REQRSP_SOCKET},
        {"other function", "KT-3300", "XO3LF_2100E", 3, nullptr, "f3.img", ERR_REQRSP_SOCKET},
        {"one word names the image", "KT-1000", "XO3L_640E", 0, nullptr, "KT-1000__XO3L_640E", ERR_REQRSP_SOCKET},
        {"after a closing @", "KT-3300", "XO3LF_2100E", 4, nullptr, "", ERR_TARGET},
        {"another group", "KT-3300", "XO3LF_2100E", 0, "other", "other.img", ERR_REQRSP_SOCKET},
        {"a later group does not close", "KT-9999", "XO3L_640E", 0, "late", "late.img", ERR_TARGET_DESIGN},
        {"missing group", "KT-3300", "XO3LF_2100E", 0, "nosuch", "", ERR_GROUP_NONE},
    };
    for (const auto &c : cases) {
        SetUp();
        x.ifname = "loopback";
        x.library = lib.path().c_str();
        std::strcpy(x.carrier, c.carrier);
        std::strcpy(x.fpga, c.fpga);
        x.function = c.function;
        x.group = c.group;
        EXPECT_EQ(run("verify"), -1) << c.name;
        EXPECT_EQ(x.err, c.err) << c.name << ": " << x.log_msg;
        if (*c.target) {
            EXPECT_EQ(std::string(x.target_file), lib / c.target) << c.name;
        }
        // A target that fails its header check: the error word joins its entry.
        if (c.err == ERR_TARGET_DESIGN) {
            EXPECT_EQ(std::string(x.log_msg), "  TGF=\"" + (lib / c.target) + "\"DESIGN(ERR)") << c.name;
        }
    }

    // Library and package that are not there.
    SetUp();
    x.ifname = "loopback";
    x.library = "/nonexistent/lib/";
    EXPECT_EQ(run("update"), -1);
    EXPECT_EQ(x.err, ERR_LIBRARY_ARG);
    EXPECT_STREQ(x.log_msg, "  LIB=\"/nonexistent/lib\"NONE(ERR)");
    x.library = lib.path().c_str();
    x.package = "nosuch.pkg";
    EXPECT_EQ(run("update"), -1);
    EXPECT_EQ(x.err, ERR_PACKAGE_ARG);
    EXPECT_EQ(std::string(x.package_file), lib / "nosuch.pkg");
}

TEST_F(IfpOp, DefaultLibraryLivesUnderTheRoot)
{
    TempDir root;
    std::filesystem::create_directories(root / "usr/local/share/xsbifp");
    std::filesystem::copy_file(lib / "pkg", root / "usr/local/share/xsbifp/pkg");
    std::filesystem::copy_file(lib / "f2.img", root / "usr/local/share/xsbifp/f2.img");
    setenv("KD_ROOT", root.path().c_str(), 1);
    x.ifname = "loopback";
    x.function = 2;
    EXPECT_EQ(run("verify"), -1);
    unsetenv("KD_ROOT");
    EXPECT_EQ(x.err, ERR_REQRSP_SOCKET);
    EXPECT_EQ(std::string(x.target_file), root / "usr/local/share/xsbifp/f2.img");
}

TEST_F(IfpOp, ImageHeaderChecks)
{
    auto img = xsbtest::make_image("KT-3300", "XO3LF-2100E", 4096);
    const std::string file = lib / "t.img";
    x.ifname = "loopback";
    x.file = file.c_str();
    struct {
        const char *name;
        std::vector<uint8_t> bytes;
        const char *carrier;
        ERR err;
        const char *word;
    } cases[] = {
        {"good", img, "KT-3300", ERR_REQRSP_SOCKET, "VERIFY_ERR"},
        {"other carrier", img, "KT-3301", ERR_TARGET_DESIGN, "DESIGN(ERR)"},
        {"no name", img, "", ERR_TARGET_DESIGN, "DESIGN(ERR)"},
        {"no preamble", std::vector<uint8_t>(2048, 0x11), "KT-3300", ERR_TARGET_PREAMBLE, "PREAMBLE(ERR)"},
        {"too short", std::vector<uint8_t>(img.begin(), img.begin() + 1000), "KT-3300", ERR_FILE_READ, "READ(ERR)"},
    };
    // The preamble must come within the first 1024 bytes.
    std::vector<uint8_t> late(2048, 0x11);
    late[1500] = 0xBD;
    for (auto &c : cases) {
        xsbtest::write_file(file, c.bytes);
        std::strcpy(x.carrier, c.carrier);
        EXPECT_EQ(run("VERIFY"), -1) << c.name;
        EXPECT_EQ(x.err, c.err) << c.name;
        EXPECT_NE(std::string(x.log_msg).find(c.word), std::string::npos) << c.name << ": " << x.log_msg;
    }
    xsbtest::write_file(file, late);
    EXPECT_EQ(run("verify"), -1);
    EXPECT_EQ(x.err, ERR_TARGET_PREAMBLE);

    // An image that would run past the end of the flash is refused.
    xsbtest::write_file(file, img);
    x.image_offset = 0x80000 - 2048;
    EXPECT_EQ(run("program"), -1);
    EXPECT_EQ(x.err, ERR_TARGET);
    EXPECT_NE(std::string(x.log_msg).find("SIZE(ERR)"), std::string::npos);
}

TEST_F(IfpOp, MessagesOnlyWhenLoggingAndVerbose)
{
    x.ifname = "loopback";
    struct {
        unsigned print;
        MSG msg;
        bool shown;
    } cases[] = {{1, MSG_VERBOSE, true}, {1, MSG_LOG, false}, {1, MSG_QUIET, false}, {0, MSG_VERBOSE, false}};
    for (const auto &c : cases) {
        xsb_print_logs(c.print);
        x.msg = c.msg;
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        run("erase");
        const std::string out = testing::internal::GetCapturedStdout();
        const std::string err = testing::internal::GetCapturedStderr();
        EXPECT_EQ(out.find("Operation is \"ERASE\"") != std::string::npos, c.shown) << out;
        EXPECT_EQ(out.find("FAILURE (request-response socket)") != std::string::npos, c.shown) << out;
        if (!c.shown) {
            EXPECT_EQ(out, "");
            EXPECT_EQ(err, "");
        }
    }
    xsb_print_logs(0);
    EXPECT_EQ(xsbifp_op(nullptr), -1);
}

} // namespace

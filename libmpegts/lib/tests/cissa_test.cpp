// CISSA packet scrambling against the openssl command, the BISS CA
// descriptors and the BISS-2E session-word derivation.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "biss_fixtures.h"

namespace {

constexpr uint8_t key_a[16] = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77,
                               0x88, 0x99, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF};
constexpr uint8_t key_b[16] = {0xF0, 0xE1, 0xD2, 0xC3, 0xB4, 0xA5, 0x96, 0x87,
                               0x78, 0x69, 0x5A, 0x4B, 0x3C, 0x2D, 0x1E, 0x0F};

using bissfix::hex;

// A packet of PID 0x100 with random payload and, for af_len >= 0, an
// adaptation field of that length (adaptation_field_control 3).
tsPkt make_packet(int af_len, unsigned seed)
{
    tsPkt p;
    std::mt19937 rng(seed);
    auto *b = reinterpret_cast<uint8_t *>(&p);
    for (auto &c : p.payload)
        c = uint8_t(rng());
    b[0] = 0x47;
    b[1] = 0x01;
    b[2] = 0x00;
    b[3] = uint8_t((af_len >= 0 ? 0x30 : 0x10) | (seed & 15));
    if (af_len >= 0)
        p.payload[0] = uint8_t(af_len);
    return p;
}

struct cissa_deleter {
    void operator()(cissa_ctx *c) const { cissa_ctx_dtor(c); }
};
using cissa_ptr = std::unique_ptr<cissa_ctx, cissa_deleter>;

// openssl's AES-128-CBC of the bytes with the CISSA vector, no padding.
std::vector<uint8_t> openssl_cbc(const tsfix::TempDir &dir, const uint8_t *key, const uint8_t *data, size_t n,
                                 bool decrypt = false)
{
    auto in = dir.path / "in.bin", out = dir.path / "out.bin";
    bissfix::write_bytes(in, std::vector<uint8_t>(data, data + n));
    std::string cmd = std::string("openssl enc -aes-128-cbc") + (decrypt ? " -d" : "") + " -nopad -K " +
                      hex(key, 16) + " -iv " + hex(reinterpret_cast<const uint8_t *>("DVBTMCPTAESCISSA"), 16) +
                      " -in " + in.string() + " -out " + out.string();
    int rc = -1;
    tsfix::run(cmd, &rc);
    EXPECT_EQ(rc, 0) << cmd;
    return tsfix::read_file(out);
}

TEST(Cissa, PayloadMatchesOpensslForAdaptationFieldsOfSeveralLengths)
{
    if (!tsfix::have_program("openssl"))
        GTEST_SKIP() << "the openssl command is not installed";
    tsfix::TempDir dir;
    // One context each way for every case: its chain must restart per packet.
    cissa_ptr ctx(cissa_ctx_ctor(key_a, 16, 1));
    cissa_ptr dec(cissa_ctx_ctor(key_a, 16, 0));
    ASSERT_TRUE(ctx);
    ASSERT_TRUE(dec);
    EXPECT_FALSE(cissa_ctx_is_encrypt(dec.get()));
    // af_len -1: no adaptation field (176 bytes scrambled, 8 left clear).
    // 170: 14 payload bytes left, nothing scrambled but the packet is marked.
    // Packets in a row under one key, then under another.
    for (int odd : {0, 1}) {
        for (int af_len : {-1, 0, 1, 7, 20, 100, 151, 152, 168, 170, 182, 183, -1}) {
            SCOPED_TRACE("af_len " + std::to_string(af_len) + (odd ? " odd" : " even"));
            const uint8_t *key = odd ? key_b : key_a;
            tsPkt orig = make_packet(af_len, unsigned(af_len + 1000 * odd + 7));
            tsPkt p = orig;
            ASSERT_EQ(cissa_ctx_set_key(ctx.get(), key, 16, odd), 0);
            ASSERT_EQ(cissa_ctx_crypt(ctx.get(), &p), 0);

            size_t shift = af_len < 0 ? 0 : size_t(af_len) + 1;
            size_t n = (184 - shift) / 16 * 16;
            auto *ob = reinterpret_cast<const uint8_t *>(&orig);
            auto *pb = reinterpret_cast<const uint8_t *>(&p);
            // Header (but the scrambling bits) and adaptation field unchanged.
            EXPECT_EQ(std::memcmp(ob, pb, 3), 0);
            EXPECT_EQ(pb[3] & 0x3F, ob[3] & 0x3F);
            EXPECT_EQ(pb[3] >> 6, odd ? TS_SCRAM_CTRL_ODD : TS_SCRAM_CTRL_EVEN);
            EXPECT_EQ(std::memcmp(orig.payload, p.payload, shift), 0);
            if (n > 0) {
                auto expect = openssl_cbc(dir, key, orig.payload + shift, n);
                ASSERT_EQ(expect.size(), n);
                EXPECT_EQ(std::memcmp(expect.data(), p.payload + shift, n), 0);
            }
            // The residue stays clear.
            EXPECT_EQ(std::memcmp(orig.payload + shift + n, p.payload + shift + n, 184 - shift - n), 0);

            // Descrambling with the same key restores the packet, control 0.
            ASSERT_EQ(cissa_ctx_set_key(dec.get(), key, 16, odd), 0);
            ASSERT_EQ(cissa_ctx_crypt(dec.get(), &p), 0);
            EXPECT_EQ(pb[3] >> 6, TS_SCRAM_CTRL_NONE);
            EXPECT_EQ(std::memcmp(orig.payload, p.payload, 184), 0);
        }
    }
}

TEST(Cissa, ContextIsReusedAcrossPacketsAndKeyChanges)
{
    // Every packet starts a fresh chain: the same payload scrambles the same
    // way each time, and a key change applies from the next packet on.
    cissa_ptr enc(cissa_ctx_ctor(key_a, 16, 1));
    ASSERT_TRUE(enc);
    EXPECT_TRUE(cissa_ctx_is_encrypt(enc.get()));
    tsPkt a = make_packet(-1, 1), b = a, c = a;
    ASSERT_EQ(cissa_ctx_crypt(enc.get(), &a), 0);
    ASSERT_EQ(cissa_ctx_crypt(enc.get(), &b), 0);
    EXPECT_EQ(std::memcmp(&a, &b, sizeof a), 0);
    ASSERT_EQ(cissa_ctx_set_key(enc.get(), key_b, 16, 1), 0);
    ASSERT_EQ(cissa_ctx_crypt(enc.get(), &c), 0);
    EXPECT_NE(std::memcmp(a.payload, c.payload, 176), 0);

    cissa_ptr dec(cissa_ctx_ctor(key_b, 16, 0));
    ASSERT_EQ(cissa_ctx_crypt(dec.get(), &c), 0);
    ASSERT_EQ(cissa_ctx_set_key(dec.get(), key_a, 16, 0), 0);
    ASSERT_EQ(cissa_ctx_crypt(dec.get(), &a), 0);
    tsPkt orig = make_packet(-1, 1);
    EXPECT_EQ(std::memcmp(orig.payload, a.payload, 184), 0);
    EXPECT_EQ(std::memcmp(orig.payload, c.payload, 184), 0);
}

TEST(Cissa, PacketsWithoutPayloadOrWithABadAdaptationFieldAreUntouched)
{
    cissa_ptr enc(cissa_ctx_ctor(key_a, 16, 1));
    ASSERT_TRUE(enc);
    struct Case {
        uint8_t afc;
        int af_len;
    } cases[] = {{0, -1}, {2, 183}, {2, 100}, {2, 200}, {3, 184}, {3, 255}};
    for (auto c : cases) {
        SCOPED_TRACE("afc " + std::to_string(c.afc) + " af_len " + std::to_string(c.af_len));
        tsPkt p = make_packet(c.af_len, 3);
        auto *b = reinterpret_cast<uint8_t *>(&p);
        b[3] = uint8_t((b[3] & 0xCF) | c.afc << 4);
        tsPkt orig = p;
        EXPECT_EQ(cissa_ctx_crypt(enc.get(), &p), 0);
        EXPECT_EQ(std::memcmp(&orig, &p, sizeof p), 0);
    }
}

TEST(Cissa, RefusesKeysThatAreNot16Bytes)
{
    EXPECT_EQ(cissa_ctx_ctor(key_a, 15, 1), nullptr);
    EXPECT_EQ(cissa_ctx_ctor(key_a, 17, 0), nullptr);
    EXPECT_EQ(cissa_ctx_ctor(nullptr, 16, 1), nullptr);
    cissa_ptr enc(cissa_ctx_ctor(key_a, 16, 1));
    EXPECT_EQ(cissa_ctx_set_key(enc.get(), key_b, 15, 0), -1);
    EXPECT_EQ(cissa_ctx_set_key(enc.get(), nullptr, 16, 0), -1);
    EXPECT_EQ(cissa_ctx_crypt(enc.get(), nullptr), -1);
}

TEST(CaDescr, WritersAndReaders)
{
    uint8_t buf[16];
    EXPECT_EQ(ca_descr_init_biss2ca(buf, 11, 0x1FC6, 0x1122, 1), -1);
    ASSERT_EQ(ca_descr_init_biss2ca(buf, 12, 0x1FC6, 0x1122, 1), 12);
    const uint8_t want[] = {0x09, 0x0A, 0x26, 0x10, 0xFF, 0xC6, 0x80, 0x04, 0x11, 0x22, 0x00, 0x01};
    EXPECT_EQ(std::memcmp(buf, want, sizeof want), 0);
    auto *d = reinterpret_cast<const descriptor *>(buf);
    EXPECT_TRUE(ca_descr_is_biss2ca(d));
    EXPECT_FALSE(ca_descr_is_biss1m1(d));
    EXPECT_EQ(ca_descr_get_ca_system_id(d), 0x2610);
    EXPECT_EQ(ca_descr_get_ca_pid(d), 0x1FC6);
    EXPECT_EQ(ca_descr_get_biss2ca_esid(d), 0x1122);
    EXPECT_EQ(ca_descr_get_biss2ca_onid(d), 1);
    uint8_t pd[6];
    EXPECT_EQ(ca_descr_get_private_data(d, pd, 5), -1);
    EXPECT_EQ(ca_descr_get_private_data(d, pd, 6), 6);
    EXPECT_EQ(std::memcmp(pd, want + 6, 6), 0);
    EXPECT_EQ(ca_descr_has_private_data(d), 1);

    struct Mode1 {
        int (*init)(uint8_t *, size_t);
        int (*is)(const descriptor *);
        uint8_t id_low;
    } modes[] = {{ca_descr_init_biss1m1, ca_descr_is_biss1m1, 0x00}, {ca_descr_init_biss2m1, ca_descr_is_biss2m1, 0x02}};
    for (auto m : modes) {
        EXPECT_EQ(m.init(buf, 5), -1);
        ASSERT_EQ(m.init(buf, 6), 6);
        const uint8_t w[] = {0x09, 0x04, 0x26, m.id_low, 0xFF, 0xFF};
        EXPECT_EQ(std::memcmp(buf, w, 6), 0);
        EXPECT_TRUE(m.is(d));
        EXPECT_FALSE(ca_descr_is_biss2ca(d));
        EXPECT_EQ(ca_descr_get_ca_pid(d), 0x1FFF);
        EXPECT_EQ(ca_descr_has_private_data(d), 0);
        EXPECT_EQ(ca_descr_get_biss2ca_esid(d), -1);
        EXPECT_EQ(ca_descr_get_private_data(d, pd, 0), 0);
    }
}

TEST(CaDescr, LengthsFromTheDescriptorAreChecked)
{
    struct Case {
        std::vector<uint8_t> bytes;
        int system_id, pid, esid;
    } cases[] = {
        {{0x0A, 0x04, 0x26, 0x10, 0xE1, 0x00}, -1, -1, -1},                        // not a CA descriptor
        {{0x09, 0x02, 0x26, 0x10}, -1, -1, -1},                                    // too short for the PID
        {{0x09, 0x08, 0x26, 0x10, 0xE1, 0x00, 0x80, 0x04, 0x11, 0x22}, 0x2610, 0x100, -1}, // ONID missing
        {{0x09, 0x0A, 0x26, 0x10, 0xE1, 0x00, 0x81, 0x04, 0x11, 0x22, 0, 1}, 0x2610, 0x100, -1}, // wrong private tag
        {{0x09, 0x0A, 0x26, 0x10, 0xE1, 0x00, 0x80, 0x04, 0x11, 0x22, 0, 1}, 0x2610, 0x100, 0x1122},
    };
    for (auto &c : cases) {
        auto *d = reinterpret_cast<const descriptor *>(c.bytes.data());
        EXPECT_EQ(ca_descr_get_ca_system_id(d), c.system_id);
        EXPECT_EQ(ca_descr_get_ca_pid(d), c.pid);
        EXPECT_EQ(ca_descr_get_biss2ca_esid(d), c.esid);
        EXPECT_EQ(ca_descr_is_biss2ca(d), c.system_id == 0x2610);
    }
    EXPECT_EQ(ca_descr_get_ca_pid(nullptr), -1);
}

TEST(Biss2e, ClearSessionWordIsEcbDecryption)
{
    if (!tsfix::have_program("openssl"))
        GTEST_SKIP() << "the openssl command is not installed";
    tsfix::TempDir dir;
    const uint8_t esw[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
    auto in = dir.path / "esw.bin", out = dir.path / "csw.bin";
    bissfix::write_bytes(in, std::vector<uint8_t>(esw, esw + 16));
    int rc = -1;
    tsfix::run("openssl enc -d -aes-128-ecb -nopad -K " + hex(key_a, 16) + " -in " + in.string() + " -out " +
                   out.string(),
               &rc);
    ASSERT_EQ(rc, 0);
    auto expect = tsfix::read_file(out);
    uint8_t csw[16];
    ASSERT_EQ(biss2e_generate_csw(csw, esw, key_a), 0);
    ASSERT_EQ(expect.size(), 16u);
    EXPECT_EQ(std::memcmp(csw, expect.data(), 16), 0);
    EXPECT_EQ(biss2e_generate_csw(csw, nullptr, key_a), -1);
}

} // namespace

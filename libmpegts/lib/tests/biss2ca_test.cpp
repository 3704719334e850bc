// BISS-CA: key ids, ECM/EMM sections, session data against the openssl
// command, the transmitter's rotation and the receiver's EMM and ECM rules,
// and the whole chain in one process: transmitter, packets,
// demultiplexers, receivers.
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/param_build.h>

#include "biss_fixtures.h"

namespace {

struct tx_deleter {
    void operator()(biss2ca_tx *t) const { biss2ca_tx_dtor(t); }
};
struct rx_deleter {
    void operator()(biss2ca_rx *r) const { biss2ca_rx_dtor(r); }
};
struct dmux_deleter {
    void operator()(section_dmux *d) const { section_dmux_dtor(d); }
};
struct cissa_deleter {
    void operator()(cissa_ctx *c) const { cissa_ctx_dtor(c); }
};
using tx_ptr = std::unique_ptr<biss2ca_tx, tx_deleter>;
using rx_ptr = std::unique_ptr<biss2ca_rx, rx_deleter>;
using dmux_ptr = std::unique_ptr<section_dmux, dmux_deleter>;
using cissa_ptr = std::unique_ptr<cissa_ctx, cissa_deleter>;
using section = std::vector<uint8_t>;

constexpr uint16_t esid = 0x1122, onid = 0x0001;

// RSA key generation is slow: 17 keys made once for the whole binary.
class Biss2ca : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        if (keys_.empty())
            for (int i = 0; i < 17; ++i)
                keys_.push_back(bissfix::make_key());
    }
    static const bissfix::KeyPair &key(int i) { return keys_[size_t(i)]; }
    static std::array<uint8_t, 8> ekid(int i)
    {
        std::array<uint8_t, 8> e{};
        biss2ca_pub_key_pem_to_ekid(e.data(), key(i).pub.c_str());
        return e;
    }
    static inline std::vector<bissfix::KeyPair> keys_;
};

section get_emm(biss2ca_tx *tx, int index)
{
    section s(BISS2CA_EMM_MAX_SIZE);
    int n = biss2ca_tx_get_emm_index(tx, s.data(), s.size(), index);
    s.resize(n < 0 ? 0 : size_t(n));
    return s;
}

section get_ecm(biss2ca_tx *tx)
{
    section s(BISS2CA_EMM_MAX_SIZE);
    int n = biss2ca_tx_get_ecm(tx, s.data(), s.size());
    s.resize(n < 0 ? 0 : size_t(n));
    return s;
}

void recrc(section &s) { tsUpdateCRC(reinterpret_cast<TTableBase *>(s.data())); }

TEST_F(Biss2ca, EkidIsTheDigestOfTheSubjectPublicKeyInfoWhicheverPemForm)
{
    if (!tsfix::have_program("openssl"))
        GTEST_SKIP() << "the openssl command is not installed";
    tsfix::TempDir dir;
    auto priv = dir.path / "k.pem";
    bissfix::write_text(priv, key(0).priv);
    std::string p = priv.string();
    // The oracle: openssl's DER of the public key, its SHA-256.
    std::string digest = tsfix::run("openssl pkey -in " + p + " -pubout -outform DER | openssl dgst -sha256 -hex");
    auto eq = digest.find("= ");
    ASSERT_NE(eq, std::string::npos) << digest;
    std::string want = digest.substr(eq + 2, 16);
    std::string spki = tsfix::run("openssl pkey -in " + p + " -pubout");
    std::string pkcs1 = tsfix::run("openssl rsa -in " + p + " -RSAPublicKey_out 2>/dev/null");
    ASSERT_NE(pkcs1.find("BEGIN RSA PUBLIC KEY"), std::string::npos);
    for (const std::string &pem : {spki, pkcs1}) {
        uint8_t id[8];
        ASSERT_EQ(biss2ca_pub_key_pem_to_ekid(id, pem.c_str()), 0) << pem;
        EXPECT_EQ(bissfix::hex(id, 8), want);
    }
    // The receiver names itself by the same id.
    rx_ptr rx(biss2ca_rx_ctor(key(0).priv.c_str()));
    ASSERT_TRUE(rx);
    uint8_t id[8];
    ASSERT_EQ(biss2ca_rx_get_key_id(rx.get(), id), 0);
    EXPECT_EQ(bissfix::hex(id, 8), want);

    EXPECT_EQ(biss2ca_pub_key_pem_to_ekid(id, "-----BEGIN PUBLIC KEY-----\nAAAA\n-----END PUBLIC KEY-----\n"), -1);
    EXPECT_EQ(biss2ca_pub_key_pem_to_ekid(id, "no key"), -1);
    EXPECT_EQ(biss2ca_rx_ctor("no key"), nullptr);

    const uint8_t bytes[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    char text[BISS2CA_EKID_TEXT_SIZE];
    EXPECT_EQ(biss2ca_ekid_to_string(text, sizeof text, bytes), 19);
    EXPECT_STREQ(text, "0102 0304 0506 0708");
    const uint8_t hi[8] = {0xAB, 0xCD, 0xEF, 0x01, 0, 0, 0xFF, 0x10};
    biss2ca_ekid_to_string(text, sizeof text, hi);
    EXPECT_STREQ(text, "ABCD EF01 0000 FF10");
}

TEST_F(Biss2ca, SessionDataDecryptsWithOpensslPkeyutl)
{
    if (!tsfix::have_program("openssl"))
        GTEST_SKIP() << "the openssl command is not installed";
    tsfix::TempDir dir;
    biss2ca_session_data sd{};
    const uint8_t plain[] = {0xF0, 0x03, 0x82, 0x01, 0xA0};
    std::memcpy(&sd, plain, sizeof plain);
    uint8_t enc[256];
    ASSERT_EQ(biss2ca_encrypt_session_data_pem(enc, &sd, key(1).pub.c_str()), 0);
    bissfix::write_bytes(dir.path / "enc.bin", std::vector<uint8_t>(enc, enc + 256));
    bissfix::write_text(dir.path / "k.pem", key(1).priv);
    int rc = -1;
    tsfix::run("openssl pkeyutl -decrypt -inkey " + (dir.path / "k.pem").string() + " -in " +
                   (dir.path / "enc.bin").string() + " -out " + (dir.path / "dec.bin").string() +
                   " -pkeyopt rsa_padding_mode:oaep -pkeyopt rsa_oaep_md:sha256 -pkeyopt rsa_mgf1_md:sha256",
               &rc);
    ASSERT_EQ(rc, 0);
    EXPECT_EQ(tsfix::read_file(dir.path / "dec.bin"), std::vector<uint8_t>(plain, plain + sizeof plain));

    uint8_t out[256];
    EXPECT_EQ(biss2ca_decrypt_session_data_pem(out, sizeof out, enc, key(1).priv.c_str()), 5);
    EXPECT_EQ(std::memcmp(out, plain, 5), 0);
    EXPECT_EQ(biss2ca_decrypt_session_data_pem(out, 4, enc, key(1).priv.c_str()), -1);  // no room
    EXPECT_EQ(biss2ca_decrypt_session_data_pem(out, sizeof out, enc, key(2).priv.c_str()), -1); // wrong key
    EXPECT_EQ(biss2ca_decrypt_session_data_pem(out, sizeof out, enc, "garbage"), -1);
    // More than RSA-2048-OAEP-SHA-256 carries.
    sd.descriptors_length[0] = 0xF0;
    sd.descriptors_length[1] = 200;
    EXPECT_EQ(biss2ca_encrypt_session_data_pem(enc, &sd, key(1).pub.c_str()), -1);
}

TEST_F(Biss2ca, EcmLayoutAndCheckedPrivateData)
{
    section ecm(BISS2CA_ECM_SIZE + 8);
    ASSERT_EQ(biss2ca_ecm_init(ecm.data(), esid, onid), 0);
    const uint8_t head[] = {0x80, 0xF0, 62, 0x11, 0x22, 0xC3, 0, 0, 0x00, 0x01, 0x10, 0x00, 0x00};
    EXPECT_EQ(std::memcmp(ecm.data(), head, sizeof head), 0);
    EXPECT_EQ(tsTestCRC(reinterpret_cast<const TTableBase *>(ecm.data())), 1);

    uint8_t iv[16], w[16], out[16];
    for (int i = 0; i < 16; ++i) {
        iv[i] = uint8_t(i);
        w[i] = uint8_t(0xA0 + i);
    }
    ASSERT_EQ(biss2ca_ecm_set_session_key_parity(ecm.data(), 1), 0);
    EXPECT_EQ(ecm[12], 0xFF);
    EXPECT_EQ(biss2ca_ecm_get_session_key_parity(ecm.data()), 1);
    ASSERT_EQ(biss2ca_ecm_set_session_key_parity(ecm.data(), 0), 0);
    EXPECT_EQ(ecm[12], 0x7F);
    ASSERT_EQ(biss2ca_ecm_set_enc_session_word_iv(ecm.data(), iv), 0);
    ASSERT_EQ(biss2ca_ecm_set_enc_session_word_1(ecm.data(), w), 0);
    EXPECT_EQ(std::memcmp(ecm.data() + 13, iv, 16), 0);
    EXPECT_EQ(std::memcmp(ecm.data() + 45, w, 16), 0);
    ASSERT_EQ(biss2ca_ecm_get_enc_session_word_1(ecm.data(), out), 0);
    EXPECT_EQ(std::memcmp(out, w, 16), 0);
    EXPECT_EQ(tsTestCRC(reinterpret_cast<const TTableBase *>(ecm.data())), 1);

    // A private data length that runs past the section: every field refused.
    ecm[11] = 0xFF;
    EXPECT_EQ(biss2ca_ecm_get_session_key_parity(ecm.data()), -1);
    EXPECT_EQ(biss2ca_ecm_get_enc_session_word_1(ecm.data(), out), -1);
    EXPECT_EQ(biss2ca_ecm_set_enc_session_word_0(ecm.data(), w), -1);
    // ...and one that the section holds moves the fields.
    ecm[11] = 0x08;
    ecm[2] = 62 + 8;
    ASSERT_EQ(biss2ca_ecm_set_enc_session_word_1(ecm.data(), w), 0);
    EXPECT_EQ(std::memcmp(ecm.data() + 45 + 8, w, 16), 0);
}

TEST_F(Biss2ca, EmmHoldsFifteenEntriesAndWalksCheckedLengths)
{
    section emm(BISS2CA_EMM_MAX_SIZE);
    ASSERT_EQ(biss2ca_emm_init(emm.data(), esid, onid), 0);
    EXPECT_EQ(tsGetCompleteTableLength(reinterpret_cast<const TTableBase *>(emm.data())), 18);
    EXPECT_EQ(emm[10], 0x81);
    EXPECT_EQ(biss2ca_emm_count_entries(emm.data()), 0);
    biss2ca_emm_entry e{};
    for (int i = 0; i < 15; ++i) {
        e.entitlement_key_id[0] = uint8_t(i);
        e.encrypted_session_data[255] = uint8_t(i);
        ASSERT_EQ(biss2ca_emm_append_entry(emm.data(), &e), 0) << i;
    }
    EXPECT_EQ(biss2ca_emm_append_entry(emm.data(), &e), -1);
    EXPECT_EQ(tsGetCompleteTableLength(reinterpret_cast<const TTableBase *>(emm.data())), 3978);
    EXPECT_EQ(tsTestCRC(reinterpret_cast<const TTableBase *>(emm.data())), 1);
    EXPECT_EQ(biss2ca_emm_count_entries(emm.data()), 15);
    ASSERT_NE(biss2ca_emm_get_entry(emm.data(), 14), nullptr);
    EXPECT_EQ(biss2ca_emm_get_entry(emm.data(), 14)->encrypted_session_data[255], 14);
    EXPECT_EQ(biss2ca_emm_get_entry(emm.data(), 15), nullptr);
    uint8_t id[8] = {7};
    ASSERT_NE(biss2ca_emm_get_entry_for_ekid(emm.data(), id), nullptr);
    EXPECT_EQ(biss2ca_emm_get_entry_for_ekid(emm.data(), id)->encrypted_session_data[255], 7);
    id[0] = 99;
    EXPECT_EQ(biss2ca_emm_get_entry_for_ekid(emm.data(), id), nullptr);

    // Lengths from the section that do not end at the CRC are refused.
    section bad = emm;
    bad[13] = 4; // private data length 4: entries no longer fit exactly
    recrc(bad);
    EXPECT_EQ(biss2ca_emm_count_entries(bad.data()), -1);

    // With the private-data loop, each entry carries its own length.
    section loop(BISS2CA_EMM_MAX_SIZE);
    biss2ca_emm_init(loop.data(), esid, onid);
    ASSERT_EQ(biss2ca_emm_set_entitlement_pd_loop(loop.data(), 1), 0);
    ASSERT_EQ(biss2ca_emm_append_entry(loop.data(), &e), 0);
    ASSERT_EQ(biss2ca_emm_append_entry(loop.data(), &e), 0);
    EXPECT_EQ(biss2ca_emm_count_entries(loop.data()), 2);
    EXPECT_EQ(biss2ca_emm_set_entitlement_pd_loop(loop.data(), 0), -1);
    loop[14 + 264 + 1] = 0x40; // first entry's loop claims 64 bytes
    recrc(loop);
    EXPECT_EQ(biss2ca_emm_count_entries(loop.data()), -1);
}

TEST(Biss2caPeriod, MinimumEmmPeriod)
{
    struct Case {
        int receivers, ms;
    } cases[] = {{0, 200}, {1, 200}, {15, 200}, {200, 434}, {3000, 6503}};
    for (auto c : cases)
        EXPECT_EQ(biss2ca_get_min_emm_period(c.receivers), c.ms) << c.receivers;
}

TEST_F(Biss2ca, SixteenReceiversGiveTwoEmmSections)
{
    tx_ptr tx(biss2ca_tx_ctor(esid, onid, 10000000));
    ASSERT_TRUE(tx);
    for (int i = 0; i < 16; ++i)
        ASSERT_EQ(biss2ca_tx_entitle_rx_key(tx.get(), key(i).pub.c_str()), 0) << i;
    // Entitling again changes nothing; a key that is no RSA-2048 key is refused.
    EXPECT_EQ(biss2ca_tx_entitle_rx_key(tx.get(), key(3).pub.c_str()), 0);
    EXPECT_EQ(biss2ca_tx_entitle_rx_key(tx.get(), "junk"), -1);
    section s0 = get_emm(tx.get(), 0), s1 = get_emm(tx.get(), 1);
    EXPECT_EQ(biss2ca_tx_get_emm_sections_used(tx.get()), 2);
    ASSERT_FALSE(s0.empty());
    ASSERT_FALSE(s1.empty());
    EXPECT_TRUE(get_emm(tx.get(), 2).empty());
    auto *h0 = reinterpret_cast<const TTableBase *>(s0.data());
    auto *h1 = reinterpret_cast<const TTableBase *>(s1.data());
    EXPECT_EQ(biss2ca_emm_count_entries(s0.data()), 15);
    EXPECT_EQ(biss2ca_emm_count_entries(s1.data()), 1);
    EXPECT_EQ(tsGetSectionNumber(h0), 0);
    EXPECT_EQ(tsGetLastSectionNumber(h0), 1);
    EXPECT_EQ(tsGetSectionNumber(h1), 1);
    EXPECT_EQ(tsGetVersion(h0), tsGetVersion(h1));
    auto id15 = ekid(15);
    EXPECT_NE(biss2ca_emm_get_entry_for_ekid(s1.data(), id15.data()), nullptr);
    // Too small a buffer.
    uint8_t small[100];
    EXPECT_EQ(biss2ca_tx_get_emm(tx.get(), small, sizeof small), -1);
    // The EMM period cannot go below what 16 receivers need.
    EXPECT_EQ(biss2ca_tx_set_emm_period(tx.get(), 199), -1);
    EXPECT_EQ(biss2ca_tx_set_emm_period(tx.get(), 200), 0);
}

// An RSA-2048 public key made from a random odd 2048-bit modulus: good
// enough to encrypt to (the transmitter never checks the modulus is a
// product of two primes) and thousands times cheaper than key generation.
std::string cheap_public_key(std::mt19937_64 &rng)
{
    std::array<uint8_t, 256> n{};
    for (auto &b : n)
        b = uint8_t(rng());
    n[0] |= 0x80;
    n[255] |= 1;
    BIGNUM *bn = BN_bin2bn(n.data(), int(n.size()), nullptr);
    BIGNUM *e = BN_new();
    BN_set_word(e, 65537);
    OSSL_PARAM_BLD *bld = OSSL_PARAM_BLD_new();
    OSSL_PARAM_BLD_push_BN(bld, OSSL_PKEY_PARAM_RSA_N, bn);
    OSSL_PARAM_BLD_push_BN(bld, OSSL_PKEY_PARAM_RSA_E, e);
    OSSL_PARAM *params = OSSL_PARAM_BLD_to_param(bld);
    EVP_PKEY_CTX *ctx = EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr);
    EVP_PKEY *key = nullptr;
    std::string pem;
    if (ctx && EVP_PKEY_fromdata_init(ctx) > 0 && EVP_PKEY_fromdata(ctx, &key, EVP_PKEY_PUBLIC_KEY, params) > 0) {
        BIO *b = BIO_new(BIO_s_mem());
        PEM_write_bio_PUBKEY(b, key);
        pem = bissfix::bio_text(b);
    }
    EVP_PKEY_free(key);
    EVP_PKEY_CTX_free(ctx);
    OSSL_PARAM_free(params);
    OSSL_PARAM_BLD_free(bld);
    BN_free(e);
    BN_free(bn);
    return pem;
}

TEST(Biss2caLimits, The3001stReceiverIsRefused)
{
    tx_ptr tx(biss2ca_tx_ctor(esid, onid, 10000000));
    ASSERT_TRUE(tx);
    std::mt19937_64 rng(3000);
    for (int i = 0; i < BISS2CA_MAX_RECEIVERS; ++i) {
        const std::string pem = cheap_public_key(rng);
        ASSERT_FALSE(pem.empty());
        ASSERT_EQ(biss2ca_tx_entitle_rx_key(tx.get(), pem.c_str()), 0) << i;
    }
    EXPECT_EQ(biss2ca_tx_entitle_rx_key(tx.get(), cheap_public_key(rng).c_str()), -1);
    // All 3000 are on air: 200 sections of 15 entries.
    section s = get_emm(tx.get(), 0);
    ASSERT_FALSE(s.empty());
    EXPECT_EQ(biss2ca_tx_get_emm_sections_used(tx.get()), 200);
    EXPECT_EQ(tsGetLastSectionNumber(reinterpret_cast<const TTableBase *>(s.data())), 199);
    EXPECT_EQ(biss2ca_emm_count_entries(get_emm(tx.get(), 199).data()), 15);
}

TEST_F(Biss2ca, WordChangesRollAfterTheEcmWasSentFourTimes)
{
    tx_ptr tx(biss2ca_tx_ctor(esid, onid, 1000000));
    ASSERT_TRUE(tx);
    uint8_t w[16], next[16];
    // A new transmitter has a roll pending: no change until it happened.
    EXPECT_EQ(biss2ca_tx_change_sw(tx.get(), nullptr), -1);
    for (int i = 0; i < 4; ++i)
        ASSERT_FALSE(get_ecm(tx.get()).empty());
    biss2ca_tx_get_sw(tx.get(), w);
    EXPECT_EQ(biss2ca_tx_get_sw_count(tx.get()), 1);
    EXPECT_EQ(biss2ca_tx_get_sw_parity(tx.get()), 1);

    const uint8_t mine[16] = {9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9};
    ASSERT_EQ(biss2ca_tx_change_sw(tx.get(), mine), 0);
    EXPECT_EQ(biss2ca_tx_change_sw(tx.get(), nullptr), -1);
    biss2ca_tx_test_get_sw_next(tx.get(), next);
    EXPECT_EQ(std::memcmp(next, mine, 16), 0);
    for (int i = 0; i < 3; ++i) {
        get_ecm(tx.get());
        biss2ca_tx_get_sw(tx.get(), w);
        EXPECT_EQ(biss2ca_tx_get_sw_parity(tx.get()), 1) << "rolled after " << i + 1 << " ECMs";
    }
    get_ecm(tx.get());
    biss2ca_tx_get_sw(tx.get(), w);
    EXPECT_EQ(biss2ca_tx_get_sw_parity(tx.get()), 0);
    EXPECT_EQ(std::memcmp(w, mine, 16), 0);
    EXPECT_EQ(biss2ca_tx_set_ecm_period(tx.get(), 99), -1);
    EXPECT_EQ(biss2ca_tx_set_ecm_period(tx.get(), 100), 0);
}

TEST_F(Biss2ca, ReceiverRulesForEmmAndEcm)
{
    tx_ptr tx(biss2ca_tx_ctor(esid, onid, 1000000));
    ASSERT_TRUE(tx);
    for (int i = 0; i < 16; ++i)
        ASSERT_EQ(biss2ca_tx_entitle_rx_key(tx.get(), key(i).pub.c_str()), 0);
    rx_ptr rx(biss2ca_rx_ctor(key(2).priv.c_str())); // entry in section 0
    ASSERT_TRUE(rx);

    // An ECM before any EMM: refused, nothing changes.
    section ecm = get_ecm(tx.get());
    EXPECT_EQ(biss2ca_rx_process_ecm(rx.get(), ecm.data()), -1);
    EXPECT_FALSE(biss2ca_rx_is_entitled(rx.get()));

    // Joining at the last section: its entry is in section 0, not missing.
    section s0 = get_emm(tx.get(), 0), s1 = get_emm(tx.get(), 1);
    EXPECT_EQ(biss2ca_rx_process_emm(rx.get(), s1.data()), 0);
    EXPECT_EQ(biss2ca_rx_process_emm(rx.get(), s0.data()), 1);
    EXPECT_TRUE(biss2ca_rx_is_entitled(rx.get()));
    EXPECT_FALSE(biss2ca_rx_has_session_word(rx.get()));
    EXPECT_EQ(biss2ca_rx_get_session_word(rx.get(), 0, nullptr), 0);
    EXPECT_EQ(biss2ca_rx_process_emm(rx.get(), s0.data()), 0); // seen already

    // The next version arrives last section first: still entitled meanwhile.
    biss2ca_tx_set_flags(tx.get(), BISS2CA_FLAG_PREVENT_DECODED_FORWARD);
    section t0 = get_emm(tx.get(), 0), t1 = get_emm(tx.get(), 1);
    ASSERT_NE(tsGetVersion(reinterpret_cast<TTableBase *>(t0.data())),
              tsGetVersion(reinterpret_cast<TTableBase *>(s0.data())));
    EXPECT_EQ(biss2ca_rx_process_emm(rx.get(), t1.data()), 0);
    EXPECT_TRUE(biss2ca_rx_is_entitled(rx.get()));
    EXPECT_EQ(biss2ca_rx_process_emm(rx.get(), t0.data()), 1);
    EXPECT_TRUE(biss2ca_rx_prevent_decoded_forward(rx.get()));
    EXPECT_FALSE(biss2ca_rx_prevent_descrambled_forward(rx.get()));

    // The words: decrypted under the key in use, each its own CBC chain.
    ecm = get_ecm(tx.get());
    EXPECT_EQ(biss2ca_rx_process_ecm(rx.get(), ecm.data()), 1);
    EXPECT_EQ(biss2ca_rx_process_ecm(rx.get(), ecm.data()), 0);
    uint8_t got[16], want[16];
    ASSERT_EQ(biss2ca_rx_get_session_word(rx.get(), 0, got), 1);
    biss2ca_tx_get_sw(tx.get(), want); // the even word is in use until a roll
    EXPECT_EQ(std::memcmp(got, want, 16), 0);

    // Malformed sections are refused before anything is read from them.
    section bad = ecm;
    bad[20] ^= 1;
    EXPECT_EQ(biss2ca_rx_process_ecm(rx.get(), bad.data()), -1);
    bad = t0;
    bad[2] = uint8_t(bad[2] - 1); // section shortened by one byte, CRC redone
    recrc(bad);
    EXPECT_EQ(biss2ca_rx_process_emm(rx.get(), bad.data()), -1);
    EXPECT_TRUE(biss2ca_rx_has_session_word(rx.get()));

    // Another session's EMM, complete and without us, changes nothing.
    biss2ca_rx_set_session_id(rx.get(), esid);
    biss2ca_rx_process_emm(rx.get(), t0.data());
    ASSERT_TRUE(biss2ca_rx_is_entitled(rx.get()));
    tx_ptr other(biss2ca_tx_ctor(esid + 1, onid, 1000000));
    section o = get_emm(other.get(), 0);
    EXPECT_EQ(biss2ca_rx_process_emm(rx.get(), o.data()), 0);
    EXPECT_TRUE(biss2ca_rx_is_entitled(rx.get()));

    // A complete version without our entry withdraws keys and words.
    ASSERT_EQ(biss2ca_tx_revoke_rx_key(tx.get(), key(2).pub.c_str()), 0);
    for (int tries = 0; tries < 8 && biss2ca_rx_is_entitled(rx.get()); ++tries) {
        for (int i = 0; i < 3; ++i)
            get_emm(tx.get(), 0); // count transmissions so the rotation moves on
        biss2ca_tx_get_sw(tx.get(), want);
        biss2ca_tx_change_sw(tx.get(), nullptr);
        for (int i = 0; i < 4; ++i)
            get_ecm(tx.get()); // the first rebuilds the ECM and switches keys
        for (int s = 0; s < biss2ca_tx_get_emm_sections_used(tx.get()); ++s) {
            section sec = get_emm(tx.get(), s);
            biss2ca_rx_process_emm(rx.get(), sec.data());
        }
    }
    EXPECT_FALSE(biss2ca_rx_is_entitled(rx.get()));
    EXPECT_EQ(biss2ca_rx_get_session_word(rx.get(), 0, got), 0);
}

// A receiver whose entry sits in the second section keeps its keys while the
// next version's first section arrives, and takes the new flags from the
// second one.
TEST_F(Biss2ca, EntryInTheSecondSectionSurvivesTheNextVersionsFirstSection)
{
    tx_ptr tx(biss2ca_tx_ctor(esid, onid, 1000000));
    ASSERT_TRUE(tx);
    for (int i = 0; i < 16; ++i)
        ASSERT_EQ(biss2ca_tx_entitle_rx_key(tx.get(), key(i).pub.c_str()), 0);
    rx_ptr rx(biss2ca_rx_ctor(key(15).priv.c_str()));
    ASSERT_TRUE(rx);
    section s0 = get_emm(tx.get(), 0), s1 = get_emm(tx.get(), 1);
    auto id15 = ekid(15);
    ASSERT_EQ(biss2ca_emm_get_entry_for_ekid(s0.data(), id15.data()), nullptr);
    ASSERT_NE(biss2ca_emm_get_entry_for_ekid(s1.data(), id15.data()), nullptr);
    EXPECT_EQ(biss2ca_rx_process_emm(rx.get(), s0.data()), 0);
    EXPECT_EQ(biss2ca_rx_process_emm(rx.get(), s1.data()), 1);
    ASSERT_TRUE(biss2ca_rx_is_entitled(rx.get()));
    section ecm = get_ecm(tx.get());
    ASSERT_EQ(biss2ca_rx_process_ecm(rx.get(), ecm.data()), 1);
    uint8_t got[16], want[16];
    biss2ca_tx_get_sw(tx.get(), want);

    biss2ca_tx_set_flags(tx.get(), BISS2CA_FLAG_PREVENT_DECODED_FORWARD);
    section t0 = get_emm(tx.get(), 0), t1 = get_emm(tx.get(), 1);
    ASSERT_NE(tsGetVersion(reinterpret_cast<TTableBase *>(t0.data())),
              tsGetVersion(reinterpret_cast<TTableBase *>(s0.data())));
    EXPECT_EQ(biss2ca_rx_process_emm(rx.get(), t0.data()), 0);
    EXPECT_TRUE(biss2ca_rx_is_entitled(rx.get()));
    ASSERT_EQ(biss2ca_rx_get_session_word(rx.get(), 0, got), 1);
    EXPECT_EQ(std::memcmp(got, want, 16), 0);
    EXPECT_FALSE(biss2ca_rx_prevent_decoded_forward(rx.get()));

    EXPECT_EQ(biss2ca_rx_process_emm(rx.get(), t1.data()), 1);
    EXPECT_TRUE(biss2ca_rx_is_entitled(rx.get()));
    EXPECT_TRUE(biss2ca_rx_prevent_decoded_forward(rx.get()));
    ASSERT_EQ(biss2ca_rx_get_session_word(rx.get(), 0, got), 1);
    EXPECT_EQ(std::memcmp(got, want, 16), 0);
}

TEST(Biss2caRandom, EveryTransmitterDrawsItsOwnKeys)
{
    tx_ptr a(biss2ca_tx_ctor(esid, onid, 1000000)), b(biss2ca_tx_ctor(esid, onid, 1000000));
    ASSERT_TRUE(a);
    ASSERT_TRUE(b);
    uint8_t ka[16], kb[16];
    biss2ca_tx_get_sk(a.get(), ka);
    biss2ca_tx_get_sk(b.get(), kb);
    EXPECT_NE(std::memcmp(ka, kb, 16), 0);
}

// Drives the ECM side until the words go under the newest session key.
void switch_key(biss2ca_tx *tx)
{
    uint8_t w[16];
    for (int i = 0; i < 4; ++i)
        get_ecm(tx);
    biss2ca_tx_get_sw(tx, w);
    ASSERT_EQ(biss2ca_tx_change_sw(tx, nullptr), 0);
    get_ecm(tx); // rebuilt: the key switch happens here
}

TEST_F(Biss2ca, RevocationDuringTheKeyTransitionGetsItsOwnRotation)
{
    tx_ptr tx(biss2ca_tx_ctor(esid, onid, 1000000));
    ASSERT_TRUE(tx);
    for (int i = 0; i < 3; ++i)
        ASSERT_EQ(biss2ca_tx_entitle_rx_key(tx.get(), key(i).pub.c_str()), 0);
    get_emm(tx.get(), 0); // INIT -> SINGLE
    get_emm(tx.get(), 0); // SINGLE -> DOUBLE: a new key for all three
    ASSERT_EQ(biss2ca_tx_test_get_state(tx.get()), TXSTATE_DOUBLE_SK);
    get_emm(tx.get(), 0);
    get_emm(tx.get(), 0);
    switch_key(tx.get());
    ASSERT_EQ(biss2ca_tx_test_get_state(tx.get()), TXSTATE_TRANSITION_SK);

    // Receiver 1 holds the key now in use; it is revoked at this point.
    ASSERT_EQ(biss2ca_tx_revoke_rx_key(tx.get(), key(1).pub.c_str()), 0);
    get_emm(tx.get(), 0); // TRANSITION -> SINGLE, and the change stays pending
    EXPECT_EQ(biss2ca_tx_test_get_state(tx.get()), TXSTATE_SINGLE_SK);
    section s = get_emm(tx.get(), 0); // another new key, without receiver 1
    EXPECT_EQ(biss2ca_tx_test_get_state(tx.get()), TXSTATE_DOUBLE_SK);
    auto gone = ekid(1), kept = ekid(0);
    EXPECT_EQ(biss2ca_emm_get_entry_for_ekid(s.data(), gone.data()), nullptr);
    ASSERT_NE(biss2ca_emm_get_entry_for_ekid(s.data(), kept.data()), nullptr);
    uint8_t before[16], after[16];
    biss2ca_tx_get_sk(tx.get(), before);
    get_emm(tx.get(), 0);
    get_emm(tx.get(), 0);
    switch_key(tx.get());
    biss2ca_tx_get_sk(tx.get(), after);
    EXPECT_NE(std::memcmp(before, after, 16), 0) << "the words moved to a key receiver 1 never got";

    // Receiver 0 follows; receiver 1 loses its entitlement.
    rx_ptr r0(biss2ca_rx_ctor(key(0).priv.c_str())), r1(biss2ca_rx_ctor(key(1).priv.c_str()));
    section e = get_emm(tx.get(), 0), ecm = get_ecm(tx.get());
    EXPECT_EQ(biss2ca_rx_process_emm(r0.get(), e.data()), 1);
    EXPECT_EQ(biss2ca_rx_process_ecm(r0.get(), ecm.data()), 1);
    uint8_t w[16], want[16];
    biss2ca_tx_test_get_sw_next(tx.get(), want); // the word the last change put on air
    ASSERT_EQ(biss2ca_rx_get_session_word(r0.get(), biss2ca_tx_get_sw_parity(tx.get()) ^ 1, w), 1);
    EXPECT_EQ(std::memcmp(w, want, 16), 0);
    EXPECT_EQ(biss2ca_rx_process_emm(r1.get(), e.data()), 0);
    EXPECT_FALSE(biss2ca_rx_is_entitled(r1.get()));
}

// The whole chain: a transmitter plays ECM and EMM into a stream of
// scrambled packets; receivers demultiplex the sections and descramble.
struct Station {
    rx_ptr rx;
    cissa_ptr dec;
    long first_word_at = -1;
    long joined_at = 0;
};

TEST_F(Biss2ca, EndToEndWordsKeysJoinAndRevoke)
{
    constexpr uint32_t bps = 2000000;
    tx_ptr tx(biss2ca_tx_ctor(esid, onid, bps));
    ASSERT_TRUE(tx);
    for (int i = 0; i < 16; ++i)
        ASSERT_EQ(biss2ca_tx_entitle_rx_key(tx.get(), key(i).pub.c_str()), 0);
    ASSERT_EQ(biss2ca_tx_prepare_emm(tx.get()), 0);

    dmux_ptr ecm_dmux(section_dmux_ctor(BISS2CA_ECM_PID, BISS2CA_EMM_MAX_SIZE));
    dmux_ptr emm_dmux(section_dmux_ctor(BISS2CA_EMM_PID, BISS2CA_EMM_MAX_SIZE));
    uint8_t zero[16] = {};
    std::vector<Station> st;
    auto add_station = [&](int k, long pos) {
        Station s;
        s.rx.reset(biss2ca_rx_ctor(key(k).priv.c_str()));
        s.dec.reset(cissa_ctx_ctor(zero, 16, 0));
        s.joined_at = pos;
        st.push_back(std::move(s));
    };
    add_station(0, 0);  // section 0
    add_station(15, 0); // section 1
    add_station(7, 0);  // revoked later
    cissa_ptr enc(cissa_ctx_ctor(zero, 16, 1));

    const long total = 60000;
    const int ecm_distance = int((250L * ((bps + 187) / 1504) + 999) / 1000);
    int word_changes = 0, rotations = 0, descrambled = 0;
    uint8_t sk_before[16], sk_now[16];
    biss2ca_tx_get_sk(tx.get(), sk_before);
    long revoked_at = -1;
    bool joiner_added = false;
    std::mt19937 rng(5);
    uint8_t section_buf[BISS2CA_EMM_MAX_SIZE];

    for (long pos = 0; pos < total; ++pos) {
        // Control side, as a maintenance tick would.
        if (pos % 500 == 0) {
            ASSERT_EQ(biss2ca_tx_prepare_emm(tx.get()), 0);
        }
        if (pos % 3000 == 0 && biss2ca_tx_change_sw(tx.get(), nullptr) == 0)
            ++word_changes;
        if (pos == 25000)
            biss2ca_tx_set_flags(tx.get(), BISS2CA_FLAG_PREVENT_DESCRAMBLED_FORWARD);
        if (revoked_at < 0 && pos > 25000 && biss2ca_tx_test_get_state(tx.get()) == TXSTATE_DOUBLE_SK) {
            // Asked while both keys are on air: queued, not dropped.
            ASSERT_EQ(biss2ca_tx_revoke_rx_key(tx.get(), key(7).pub.c_str()), 0);
            revoked_at = pos;
        }

        tsPkt *p = biss2ca_tx_ecm_read(tx.get(), int32_t(pos));
        section_dmux *dm = ecm_dmux.get();
        if (!p) {
            p = biss2ca_tx_emm_read(tx.get(), int32_t(pos));
            dm = emm_dmux.get();
        }
        if (p) {
            if (section_dmux_process(dm, p) == 1) {
                int n = section_dmux_get_section(dm, section_buf, sizeof section_buf);
                ASSERT_GT(n, 0);
                for (auto &s : st) {
                    if (dm == ecm_dmux.get())
                        biss2ca_rx_process_ecm(s.rx.get(), section_buf);
                    else
                        biss2ca_rx_process_emm(s.rx.get(), section_buf);
                }
                // A receiver switched on between the two EMM sections.
                if (!joiner_added && dm == emm_dmux.get() && pos > 10000 && section_buf[6] == 0) {
                    add_station(3, pos);
                    joiner_added = true;
                }
            }
            continue;
        }

        // A data packet scrambled with the word in use.
        uint8_t sw[16];
        biss2ca_tx_get_sw(tx.get(), sw);
        int odd = biss2ca_tx_get_sw_parity(tx.get());
        tsPkt pkt;
        generateDefaultTsPacket(&pkt, 0x100);
        for (auto &b : pkt.payload)
            b = uint8_t(rng());
        tsPkt clear = pkt;
        cissa_ctx_set_key(enc.get(), sw, 16, odd);
        ASSERT_EQ(cissa_ctx_crypt(enc.get(), &pkt), 0);
        biss2ca_tx_get_sk(tx.get(), sk_now);
        if (std::memcmp(sk_now, sk_before, 16) != 0) {
            ++rotations;
            std::memcpy(sk_before, sk_now, 16);
        }

        for (size_t i = 0; i < st.size(); ++i) {
            Station &s = st[i];
            uint8_t w[16];
            if (biss2ca_rx_get_session_word(s.rx.get(), tsphGetTSScramblingCtrl(&pkt) == TS_SCRAM_CTRL_ODD, w) != 1)
                continue;
            if (s.first_word_at < 0)
                s.first_word_at = pos;
            // Once it holds words, a receiver holds the right one for every
            // packet, across word changes and key rotations.
            EXPECT_EQ(std::memcmp(w, sw, 16), 0) << "station " << i << " at " << pos;
            tsPkt copy = pkt;
            cissa_ctx_set_key(s.dec.get(), w, 16, odd);
            cissa_ctx_crypt(s.dec.get(), &copy);
            EXPECT_EQ(std::memcmp(copy.payload, clear.payload, 184), 0);
            ++descrambled;
        }
        if (::testing::Test::HasFailure())
            break;
    }

    EXPECT_GE(word_changes, 5);
    EXPECT_GE(rotations, 2) << "the flags change and the revocation each rotate the session key";
    for (int i : {0, 1}) {
        EXPECT_GE(st[size_t(i)].first_word_at, 0);
        EXPECT_LT(st[size_t(i)].first_word_at, 4 * ecm_distance) << "station " << i;
        EXPECT_TRUE(biss2ca_rx_has_session_word(st[size_t(i)].rx.get()));
        EXPECT_TRUE(biss2ca_rx_prevent_descrambled_forward(st[size_t(i)].rx.get()));
    }
    ASSERT_TRUE(joiner_added);
    ASSERT_EQ(st.size(), 4u);
    EXPECT_TRUE(biss2ca_rx_is_entitled(st[3].rx.get()));
    EXPECT_GE(st[3].first_word_at, 0);
    EXPECT_LT(st[3].first_word_at - st[3].joined_at, 2 * 665 + 4 * ecm_distance) << "joined mid-cycle";
    ASSERT_GE(revoked_at, 0);
    EXPECT_FALSE(biss2ca_rx_is_entitled(st[2].rx.get()));
    EXPECT_FALSE(biss2ca_rx_has_session_word(st[2].rx.get()));
    EXPECT_GT(descrambled, 100000);
}

} // namespace

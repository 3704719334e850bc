// CISSA packet scrambling against `openssl speed -evp aes-128-cbc` at the
// size CISSA encrypts in a packet without adaptation field (176 bytes), run
// in the same process; and the EMM rebuild (a new session key encrypted for
// every receiver) for 15, 300 and 3000 receivers against the same number of
// bare RSA-OAEP encryptions.
#include "alternate.h"
#include "mpegts.h"

#include <benchmark/benchmark.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace {

using clk = std::chrono::steady_clock;
double secs(clk::time_point a, clk::time_point b) { return std::chrono::duration<double>(b - a).count(); }

// 176-byte AES-128-CBC operations per second by the openssl command, or 0.
double openssl_speed_ops()
{
    FILE *f = popen("openssl speed -mr -evp aes-128-cbc -bytes 176 -seconds 1 2>/dev/null", "r");
    if (!f)
        return 0.0;
    char line[512];
    double bps = 0;
    while (std::fgets(line, sizeof line, f)) {
        // "+F:<n>:AES-128-CBC:<bytes per second>"
        if (std::strncmp(line, "+F:", 3) == 0) {
            const char *last = std::strrchr(line, ':');
            bps = last ? std::strtod(last + 1, nullptr) : 0;
        }
    }
    pclose(f);
    return bps / 176.0;
}

// About a second of scrambling (a fixed number of iterations), and one
// `openssl speed` run of a second, before or after it in turn.
void BM_CissaScramble(benchmark::State &state)
{
    static bench::Alternation order;
    double reference = 0;
    std::vector<tsPkt> pkts(1024);
    std::mt19937 rng(3);
    for (auto &p : pkts) {
        generateDefaultTsPacket(&p, 0x100);
        for (auto &b : p.payload)
            b = uint8_t(rng());
    }
    const uint8_t key[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
    cissa_ctx *ctx = cissa_ctx_ctor(key, 16, 1);
    double spent = 0;
    order.run(
        [&] {
            for (auto _ : state) {
                auto t0 = clk::now();
                for (auto &p : pkts)
                    cissa_ctx_crypt(ctx, &p);
                spent += secs(t0, clk::now());
            }
        },
        [&] { reference = openssl_speed_ops(); });
    cissa_ctx_dtor(ctx);
    const double n = double(pkts.size()) * double(state.iterations());
    state.counters["pkts/s"] = n / spent;
    if (reference > 0) {
        state.counters["openssl_ops/s"] = reference;
        state.counters["vs_openssl"] = n / spent / reference; // aim: 0.7 or more
    }
    state.SetItemsProcessed(int64_t(n));
}
BENCHMARK(BM_CissaScramble)->Iterations(5000)->Unit(benchmark::kMicrosecond);

std::string pem_public(EVP_PKEY *k)
{
    BIO *b = BIO_new(BIO_s_mem());
    PEM_write_bio_PUBKEY(b, k);
    char *data = nullptr;
    long n = BIO_get_mem_data(b, &data);
    std::string s(data, size_t(n));
    BIO_free(b);
    return s;
}

// Distinct 2048-bit public keys without generating thousands of key pairs:
// one real modulus plus 2i. Encryption costs the same as under a real key;
// nobody decrypts here.
std::vector<EVP_PKEY *> public_keys(int count)
{
    EVP_PKEY *real = EVP_RSA_gen(2048);
    BIGNUM *n = nullptr, *e = nullptr;
    EVP_PKEY_get_bn_param(real, OSSL_PKEY_PARAM_RSA_N, &n);
    EVP_PKEY_get_bn_param(real, OSSL_PKEY_PARAM_RSA_E, &e);
    std::vector<EVP_PKEY *> keys;
    EVP_PKEY_CTX *fctx = EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr);
    EVP_PKEY_fromdata_init(fctx);
    for (int i = 0; i < count; ++i) {
        BIGNUM *ni = BN_dup(n);
        BN_add_word(ni, static_cast<BN_ULONG>(2 * i));
        OSSL_PARAM_BLD *bld = OSSL_PARAM_BLD_new();
        OSSL_PARAM_BLD_push_BN(bld, OSSL_PKEY_PARAM_RSA_N, ni);
        OSSL_PARAM_BLD_push_BN(bld, OSSL_PKEY_PARAM_RSA_E, e);
        OSSL_PARAM *params = OSSL_PARAM_BLD_to_param(bld);
        EVP_PKEY *k = nullptr;
        EVP_PKEY_fromdata(fctx, &k, EVP_PKEY_PUBLIC_KEY, params);
        keys.push_back(k);
        OSSL_PARAM_free(params);
        OSSL_PARAM_BLD_free(bld);
        BN_free(ni);
    }
    EVP_PKEY_CTX_free(fctx);
    BN_free(n);
    BN_free(e);
    EVP_PKEY_free(real);
    return keys;
}

double bare_rsa(const std::vector<EVP_PKEY *> &keys)
{
    uint8_t in[43] = {0xF0, 41}, out[256];
    auto t0 = clk::now();
    for (EVP_PKEY *k : keys) {
        EVP_PKEY_CTX *c = EVP_PKEY_CTX_new(k, nullptr);
        size_t outlen = sizeof out;
        EVP_PKEY_encrypt_init(c);
        EVP_PKEY_CTX_set_rsa_padding(c, RSA_PKCS1_OAEP_PADDING);
        EVP_PKEY_CTX_set_rsa_oaep_md(c, EVP_sha256());
        EVP_PKEY_CTX_set_rsa_mgf1_md(c, EVP_sha256());
        EVP_PKEY_encrypt(c, out, &outlen, in, sizeof in);
        EVP_PKEY_CTX_free(c);
    }
    return secs(t0, clk::now());
}

void BM_EmmRebuild(benchmark::State &state)
{
    const int receivers = int(state.range(0));
    auto keys = public_keys(receivers);
    biss2ca_tx *tx = biss2ca_tx_ctor(1, 1, 20000000);
    for (EVP_PKEY *k : keys)
        biss2ca_tx_entitle_rx_key(tx, pem_public(k).c_str());
    std::vector<uint8_t> emm(BISS2CA_EMM_MAX_SIZE);
    biss2ca_tx_get_emm(tx, emm.data(), emm.size()); // first EMM: now a rebuild needs a new key
    static bench::Alternation order;
    double ours = 0, reference = 0;
    for (auto _ : state) {
        double t = 0;
        order.run(
            [&] {
                biss2ca_tx_revoke_rx_key(tx, nullptr); // an entitlement change
                t = bench::timed([&] { biss2ca_tx_prepare_emm(tx); });
            },
            [&] { reference += bare_rsa(keys); });
        ours += t;
        state.SetIterationTime(t);
    }
    const double it = double(state.iterations());
    state.counters["ms"] = ours / it * 1e3;
    state.counters["sections"] = (receivers + 14) / 15;
    state.counters["vs_bare_rsa"] = reference / ours; // 1: nothing but RSA
    biss2ca_tx_dtor(tx);
    for (EVP_PKEY *k : keys)
        EVP_PKEY_free(k);
}
BENCHMARK(BM_EmmRebuild)->Arg(15)->Arg(300)->Arg(3000)->UseManualTime()->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();

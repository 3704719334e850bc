// CISSA packet scrambler over OpenSSL's AES-128-CBC. The cipher object is
// made once per context and keyed again only after a key change, so the
// egress path allocates nothing.
//
// Every packet must start a fresh chain from the CISSA vector. Restarting
// the cipher per packet costs about as much as the packet's AES itself, so
// the chain is left running and its first block corrected instead: CBC
// feeds the previous ciphertext block C into the first block, so
// encrypting P ^ IV ^ C gives E(P ^ IV), and decrypting yields D(X) ^ C,
// which ^ C ^ IV is the plaintext of a chain started from IV.
#include "cissa_ctx.h"

#include <new>

#include "biss2ca_internal.h"
#include "mpegts_internal.h"

struct cissa_ctx {
    bool do_encrypt = false;
    uint8_t key[CISSA_KEY_LEN] = {};
    size_t key_len = CISSA_KEY_LEN;
    bool key_is_odd = false;
    mpegts::biss::cipher_ctx_ptr cipher;
    bool key_loaded = false; // the cipher holds the schedule of `key`
    uint8_t chain[16] = {};  // the cipher's current chaining block
    ~cissa_ctx() { mpegts::biss::wipe(key, sizeof key); }
};

namespace {

// ETSI TS 103 127 5.4: the initialisation vector of every packet.
constexpr uint8_t cissa_iv[16] = {'D', 'V', 'B', 'T', 'M', 'C', 'P', 'T', 'A', 'E', 'S', 'C', 'I', 'S', 'S', 'A'};

} // namespace

extern "C" {

MPEGTS_API cissa_ctx *cissa_ctx_ctor(const uint8_t *key, size_t key_len, int do_encrypt) noexcept
{
    if (!key || key_len != CISSA_KEY_LEN)
        return nullptr;
    auto *ctx = new (std::nothrow) cissa_ctx;
    if (!ctx)
        return nullptr;
    ctx->do_encrypt = do_encrypt != 0;
    std::memcpy(ctx->key, key, CISSA_KEY_LEN);
    ctx->cipher.reset(EVP_CIPHER_CTX_new());
    if (!ctx->cipher ||
        !EVP_CipherInit_ex(ctx->cipher.get(), EVP_aes_128_cbc(), nullptr, ctx->key, cissa_iv, ctx->do_encrypt) ||
        !EVP_CIPHER_CTX_set_padding(ctx->cipher.get(), 0)) {
        MPEGTS_LOG(MPEGTS_LOG_ERR, "CISSA Error initializing cissa_ctx key\n");
        delete ctx;
        return nullptr;
    }
    ctx->key_loaded = true;
    std::memcpy(ctx->chain, cissa_iv, 16);
    return ctx;
}

MPEGTS_API void cissa_ctx_dtor(cissa_ctx *ctx) noexcept { delete ctx; }

MPEGTS_API int cissa_ctx_set_key(cissa_ctx *ctx, const uint8_t *key, size_t key_len, int is_odd) noexcept
{
    if (!ctx || !key || key_len != CISSA_KEY_LEN)
        return -1;
    if (std::memcmp(ctx->key, key, CISSA_KEY_LEN) != 0) {
        std::memcpy(ctx->key, key, CISSA_KEY_LEN);
        ctx->key_loaded = false;
    }
    ctx->key_is_odd = is_odd != 0;
    return 0;
}

MPEGTS_API int cissa_ctx_is_encrypt(const cissa_ctx *ctx) noexcept { return ctx && ctx->do_encrypt; }

MPEGTS_API int cissa_ctx_crypt(cissa_ctx *ctx, tsPkt *pkt) noexcept
{
    if (!ctx || !pkt)
        return -1;
    auto *bytes = reinterpret_cast<uint8_t *>(pkt);
    // Only a packet that carries payload is ours to change, and only past a
    // well-formed adaptation field (ISO/IEC 13818-1 2.4.3.5).
    uint8_t afc = mpegts::afc(bytes);
    if (afc == 0 || afc == 2)
        return 0;
    size_t shift = 0;
    if (afc == 3) {
        shift = size_t(bytes[4]) + 1;
        if (shift > TS_PAYLOAD_SIZE)
            return 0;
    }
    size_t n = (TS_PAYLOAD_SIZE - shift) / 16 * 16;
    if (n > 0) {
        EVP_CIPHER_CTX *c = ctx->cipher.get();
        if (!ctx->key_loaded) {
            if (!EVP_CipherInit_ex(c, nullptr, nullptr, ctx->key, cissa_iv, ctx->do_encrypt)) {
                MPEGTS_LOG(MPEGTS_LOG_ERR, "CISSA Error initializing cissa_ctx\n");
                return -1;
            }
            std::memcpy(ctx->chain, cissa_iv, 16);
            ctx->key_loaded = true;
        }
        uint8_t *data = pkt->payload + shift;
        uint8_t next_chain[16] = {};
        if (ctx->do_encrypt) {
            for (int i = 0; i < 16; ++i)
                data[i] ^= uint8_t(cissa_iv[i] ^ ctx->chain[i]);
        } else {
            std::memcpy(next_chain, data + n - 16, 16);
        }
        int outl = 0;
        if (!EVP_CipherUpdate(c, data, &outl, data, int(n)) || size_t(outl) != n) {
            // The chain is unknown now: key the cipher again next time.
            ctx->key_loaded = false;
            MPEGTS_LOG(MPEGTS_LOG_ERR, "CISSA Error updating\n");
            return -1;
        }
        if (ctx->do_encrypt) {
            std::memcpy(ctx->chain, data + n - 16, 16);
        } else {
            for (int i = 0; i < 16; ++i)
                data[i] ^= uint8_t(cissa_iv[i] ^ ctx->chain[i]);
            std::memcpy(ctx->chain, next_chain, 16);
        }
    }
    uint8_t ctrl = ctx->do_encrypt ? (ctx->key_is_odd ? TS_SCRAM_CTRL_ODD : TS_SCRAM_CTRL_EVEN) : TS_SCRAM_CTRL_NONE;
    bytes[3] = uint8_t((bytes[3] & 0x3F) | ctrl << 6);
    return 0;
}

} // extern "C"

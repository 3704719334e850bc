// CISSA packet scrambler over OpenSSL's AES-128-CBC. The cipher object is
// made once per context; per packet only the chain is restarted (the key
// schedule is redone only after a key change), so the egress path
// allocates nothing.
#include "cissa_ctx.h"

#include <openssl/err.h>

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
        // A key change reloads the schedule; otherwise only the chain restarts.
        const uint8_t *key = ctx->key_loaded ? nullptr : ctx->key;
        if (!EVP_CipherInit_ex(c, nullptr, nullptr, key, cissa_iv, ctx->do_encrypt)) {
            MPEGTS_LOG(MPEGTS_LOG_ERR, "CISSA Error initializing cissa_ctx\n");
            return -1;
        }
        ctx->key_loaded = true;
        uint8_t *data = pkt->payload + shift;
        int outl = 0;
        if (!EVP_CipherUpdate(c, data, &outl, data, int(n)) || size_t(outl) != n) {
            MPEGTS_LOG(MPEGTS_LOG_ERR, "CISSA Error updating\n");
            return -1;
        }
        if (ctx->do_encrypt) {
            uint8_t tail[16];
            int taill = 0;
            if (!EVP_CipherFinal_ex(c, tail, &taill)) {
                char err[256];
                ERR_error_string_n(ERR_get_error(), err, sizeof err);
                MPEGTS_LOG(MPEGTS_LOG_ERR, "CISSA Error finalizing: %s\n", err);
                return -1;
            }
        }
    }
    uint8_t ctrl = ctx->do_encrypt ? (ctx->key_is_odd ? TS_SCRAM_CTRL_ODD : TS_SCRAM_CTRL_EVEN) : TS_SCRAM_CTRL_NONE;
    bytes[3] = uint8_t((bytes[3] & 0x3F) | ctrl << 6);
    return 0;
}

} // extern "C"

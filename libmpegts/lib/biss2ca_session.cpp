// RSA-OAEP (SHA-256) encryption of BISS-CA session data.
#include "biss2ca_session.h"

#include <openssl/rsa.h>

#include <vector>

#include "biss2ca_emm.h"
#include "biss2ca_internal.h"
#include "mpegts_internal.h"

namespace {

using namespace mpegts::biss;

bool oaep_sha256(EVP_PKEY_CTX *c)
{
    return EVP_PKEY_CTX_set_rsa_padding(c, RSA_PKCS1_OAEP_PADDING) > 0 &&
           EVP_PKEY_CTX_set_rsa_oaep_md(c, EVP_sha256()) > 0 && EVP_PKEY_CTX_set_rsa_mgf1_md(c, EVP_sha256()) > 0;
}

} // namespace

extern "C" {

MPEGTS_API int biss2ca_encrypt_session_data(uint8_t out[256], const biss2ca_session_data *sd, EVP_PKEY *pub_key) noexcept
{
    if (!out || !sd || !pub_key || !EVP_PKEY_is_a(pub_key, "RSA") ||
        EVP_PKEY_get_size(pub_key) != BISS2CA_ENC_SESSION_DATA_LEN)
        return -1;
    size_t len = (mpegts::be16(sd->descriptors_length) & 0x0FFFu) + 2;
    if (len > BISS2CA_SESSION_DATA_MAX)
        return -1;
    pkey_ctx_ptr c(EVP_PKEY_CTX_new(pub_key, nullptr));
    size_t outlen = BISS2CA_ENC_SESSION_DATA_LEN;
    if (!c || EVP_PKEY_encrypt_init(c.get()) <= 0 || !oaep_sha256(c.get()) ||
        EVP_PKEY_encrypt(c.get(), out, &outlen, reinterpret_cast<const uint8_t *>(sd), len) <= 0 ||
        outlen != BISS2CA_ENC_SESSION_DATA_LEN)
        return -1;
    return 0;
}

MPEGTS_API int biss2ca_encrypt_session_data_pem(uint8_t out[256], const biss2ca_session_data *sd,
                                                const char *pub_key_pem) noexcept
{
    auto key = read_public_pem(pub_key_pem);
    return key ? biss2ca_encrypt_session_data(out, sd, key.get()) : -1;
}

MPEGTS_API int biss2ca_decrypt_session_data(uint8_t *out, size_t room, const uint8_t enc[256], EVP_PKEY *priv_key) noexcept
{
    if (!out || !enc || !priv_key)
        return -1;
    pkey_ctx_ptr c(EVP_PKEY_CTX_new(priv_key, nullptr));
    uint8_t plain[BISS2CA_ENC_SESSION_DATA_LEN];
    size_t len = sizeof plain;
    if (!c || EVP_PKEY_decrypt_init(c.get()) <= 0 || !oaep_sha256(c.get()) ||
        EVP_PKEY_decrypt(c.get(), plain, &len, enc, BISS2CA_ENC_SESSION_DATA_LEN) <= 0 || len > room) {
        wipe(plain, sizeof plain);
        return -1;
    }
    std::memcpy(out, plain, len);
    wipe(plain, sizeof plain);
    return int(len);
}

MPEGTS_API int biss2ca_decrypt_session_data_pem(uint8_t *out, size_t room, const uint8_t enc[256],
                                                const char *priv_key_pem) noexcept
{
    if (!priv_key_pem) {
        MPEGTS_LOG(MPEGTS_LOG_ERR, "BISS2CA error private key buffer\n");
        return -1;
    }
    auto key = read_private_pem(priv_key_pem);
    if (!key) {
        MPEGTS_LOG(MPEGTS_LOG_ERR, "BISS2CA error private key read\n");
        return -1;
    }
    return biss2ca_decrypt_session_data(out, room, enc, key.get());
}

} // extern "C"

// Internal helpers of the BISS and CISSA code: owners for OpenSSL objects,
// PEM key reading and the random source. Not installed, not exported.
#pragma once

#include <openssl/evp.h>

#include <cstddef>
#include <cstdint>
#include <memory>

namespace mpegts::biss {

struct pkey_free {
    void operator()(EVP_PKEY *k) const noexcept { EVP_PKEY_free(k); }
};
struct pkey_ctx_free {
    void operator()(EVP_PKEY_CTX *c) const noexcept { EVP_PKEY_CTX_free(c); }
};
struct cipher_ctx_free {
    void operator()(EVP_CIPHER_CTX *c) const noexcept { EVP_CIPHER_CTX_free(c); }
};
using pkey_ptr = std::unique_ptr<EVP_PKEY, pkey_free>;
using pkey_ctx_ptr = std::unique_ptr<EVP_PKEY_CTX, pkey_ctx_free>;
using cipher_ctx_ptr = std::unique_ptr<EVP_CIPHER_CTX, cipher_ctx_free>;

// A PEM public key, SubjectPublicKeyInfo ("PUBLIC KEY") or PKCS#1 ("RSA
// PUBLIC KEY"); null when the text holds none.
pkey_ptr read_public_pem(const char *pem) noexcept;
// A PEM private key (PKCS#8 or PKCS#1, unencrypted); null when none.
pkey_ptr read_private_pem(const char *pem) noexcept;
// The first 8 bytes of SHA-256 over the key's SubjectPublicKeyInfo DER.
int ekid_of_key(const EVP_PKEY *key, uint8_t ekid[8]) noexcept;

// Session keys, words and IVs come from the kernel's random source. The
// descriptor is opened once by the owner, so key rotation never opens a
// file on the data path.
class random_source {
public:
    random_source() noexcept;
    ~random_source();
    random_source(const random_source &) = delete;
    random_source &operator=(const random_source &) = delete;
    bool ok() const noexcept { return fd_ >= 0; }
    // Exactly n bytes, or false (a short read counts as a failure).
    bool fill(uint8_t *out, size_t n) noexcept;

private:
    int fd_ = -1;
};

// Section checks at the door of the receiver: table id, lengths that end
// inside the section, CRC. A section pointer addresses section_length + 3
// readable bytes.
constexpr size_t emm_header_size = 18; // header fields and CRC, no entries
size_t ecm_private_data_length(const uint8_t *s);
bool ecm_valid(const uint8_t *s);
bool emm_valid(const uint8_t *s);

// Write a header field of an ECM or EMM and rewrite the section's CRC; -1
// for a null section.
int put_field16(uint8_t *s, size_t at, uint16_t v) noexcept;
int put_bits8(uint8_t *s, size_t at, uint8_t mask, uint8_t v) noexcept;

// Overwrites key material so that it does not linger in freed memory.
void wipe(void *p, size_t n) noexcept;

} // namespace mpegts::biss

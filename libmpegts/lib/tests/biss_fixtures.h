// Helpers shared by the CISSA and BISS-CA tests: hex text, byte files and
// RSA keys made at test time.
#pragma once

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>

#include <fstream>
#include <string>
#include <vector>

#include "ts_fixtures.h"

namespace bissfix {

inline std::string hex(const uint8_t *p, size_t n)
{
    static const char digits[] = "0123456789abcdef";
    std::string s;
    for (size_t i = 0; i < n; ++i) {
        s += digits[p[i] >> 4];
        s += digits[p[i] & 15];
    }
    return s;
}

inline void write_bytes(const std::filesystem::path &p, const std::vector<uint8_t> &bytes)
{
    std::ofstream f(p, std::ios::binary);
    f.write(reinterpret_cast<const char *>(bytes.data()), std::streamsize(bytes.size()));
}

inline void write_text(const std::filesystem::path &p, const std::string &text)
{
    std::ofstream f(p);
    f << text;
}

// A fresh 2048-bit RSA key pair as PEM texts.
struct KeyPair {
    std::string priv; // PKCS#8 "PRIVATE KEY"
    std::string pub;  // SubjectPublicKeyInfo "PUBLIC KEY"
};

inline std::string bio_text(BIO *b)
{
    char *data = nullptr;
    long n = BIO_get_mem_data(b, &data);
    std::string s(data, size_t(n));
    BIO_free(b);
    return s;
}

inline KeyPair make_key()
{
    KeyPair k;
    EVP_PKEY *key = EVP_RSA_gen(2048);
    if (!key)
        return k;
    BIO *b = BIO_new(BIO_s_mem());
    PEM_write_bio_PrivateKey(b, key, nullptr, nullptr, 0, nullptr, nullptr);
    k.priv = bio_text(b);
    b = BIO_new(BIO_s_mem());
    PEM_write_bio_PUBKEY(b, key);
    k.pub = bio_text(b);
    EVP_PKEY_free(key);
    return k;
}

} // namespace bissfix

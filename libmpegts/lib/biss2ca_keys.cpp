// PEM key reading, the entitlement key id and the random source shared by
// the BISS-CA transmitter and receiver.
#include "biss2ca_internal.h"
#include "biss2ca_ekid.h"

#include <openssl/crypto.h>
#include <openssl/decoder.h>
#include <openssl/x509.h>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>


namespace mpegts::biss {

namespace {

struct decoder_free {
    void operator()(OSSL_DECODER_CTX *c) const noexcept { OSSL_DECODER_CTX_free(c); }
};

pkey_ptr read_pem(const char *pem, int selection) noexcept
{
    if (!pem)
        return nullptr;
    EVP_PKEY *key = nullptr;
    // No structure given: the decoder tries SubjectPublicKeyInfo, PKCS#8 and
    // the PKCS#1 forms alike.
    std::unique_ptr<OSSL_DECODER_CTX, decoder_free> dctx(
        OSSL_DECODER_CTX_new_for_pkey(&key, "PEM", nullptr, nullptr, selection, nullptr, nullptr));
    if (!dctx)
        return nullptr;
    auto *data = reinterpret_cast<const unsigned char *>(pem);
    size_t len = std::strlen(pem);
    if (!OSSL_DECODER_from_data(dctx.get(), &data, &len)) {
        EVP_PKEY_free(key);
        return nullptr;
    }
    return pkey_ptr(key);
}

} // namespace

pkey_ptr read_public_pem(const char *pem) noexcept { return read_pem(pem, EVP_PKEY_PUBLIC_KEY); }
pkey_ptr read_private_pem(const char *pem) noexcept { return read_pem(pem, EVP_PKEY_KEYPAIR); }

int ekid_of_key(const EVP_PKEY *key, uint8_t ekid[8]) noexcept
{
    if (!key || !ekid)
        return -1;
    unsigned char *der = nullptr;
    int len = i2d_PUBKEY(key, &der);
    if (len <= 0)
        return -1;
    int rc = biss2ca_pub_key_to_ekid(ekid, der, size_t(len));
    OPENSSL_free(der);
    return rc;
}

random_source::random_source() noexcept
{
    // The kernel's generator itself, never a file under KD_ROOT: a test
    // root must not be able to make keys predictable by accident.
    fd_ = ::open("/dev/urandom", O_RDONLY | O_CLOEXEC);
}

random_source::~random_source()
{
    if (fd_ >= 0)
        ::close(fd_);
}

bool random_source::fill(uint8_t *out, size_t n) noexcept
{
    if (fd_ < 0)
        return false;
    while (n > 0) {
        ssize_t r = ::read(fd_, out, n);
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0)
            return false;
        out += r;
        n -= size_t(r);
    }
    return true;
}

void wipe(void *p, size_t n) noexcept { OPENSSL_cleanse(p, n); }

} // namespace mpegts::biss

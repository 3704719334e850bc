// BISS-2E clear-session-word derivation.
#include "biss2e_csw.h"

#include "biss2ca_internal.h"

extern "C" MPEGTS_API int biss2e_generate_csw(uint8_t csw[16], const uint8_t esw[16], const uint8_t key[16]) noexcept
{
    if (!csw || !esw || !key)
        return -1;
    mpegts::biss::cipher_ctx_ptr c(EVP_CIPHER_CTX_new());
    int outl = 0;
    if (!c || !EVP_DecryptInit_ex(c.get(), EVP_aes_128_ecb(), nullptr, key, nullptr) ||
        !EVP_CIPHER_CTX_set_padding(c.get(), 0) || !EVP_DecryptUpdate(c.get(), csw, &outl, esw, 16) || outl != 16)
        return -1;
    return 0;
}

// Entitlement key ids and their text form.
#include "biss2ca_ekid.h"

#include <cstdio>
#include <cstring>

#include "biss2ca_internal.h"

extern "C" {

MPEGTS_API int biss2ca_pub_key_to_ekid(uint8_t ekid[8], const uint8_t *der, size_t len) noexcept
{
    if (!ekid || !der)
        return -1;
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int mdlen = 0;
    if (!EVP_Digest(der, len, md, &mdlen, EVP_sha256(), nullptr) || mdlen < BISS2CA_EKID_LEN)
        return -1;
    std::memcpy(ekid, md, BISS2CA_EKID_LEN);
    return 0;
}

MPEGTS_API int biss2ca_pub_key_pem_to_ekid(uint8_t ekid[8], const char *pem) noexcept
{
    if (!ekid)
        return -1;
    auto key = mpegts::biss::read_public_pem(pem);
    if (!key)
        return -1;
    return mpegts::biss::ekid_of_key(key.get(), ekid);
}

MPEGTS_API int biss2ca_ekid_to_string(char *text, size_t size, const uint8_t ekid[8]) noexcept
{
    if (!text || !ekid)
        return -1;
    return std::snprintf(text, size, "%2.2X%2.2X %2.2X%2.2X %2.2X%2.2X %2.2X%2.2X", ekid[0], ekid[1], ekid[2],
                         ekid[3], ekid[4], ekid[5], ekid[6], ekid[7]);
}

} // extern "C"

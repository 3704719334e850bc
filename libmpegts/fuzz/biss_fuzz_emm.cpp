// Fuzz target: BISS-CA EMM parsing. The input is one section in a buffer of
// exactly its size; it goes to the entry walkers and to a receiver, once as
// it came and once with its CRC made right. An input whose first entry
// carries the receiver's key id reaches the RSA session-data parser.
#include <openssl/evp.h>
#include <openssl/pem.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "biss2ca_rx.h"
#include "psi_section.h"

namespace {

biss2ca_rx *receiver()
{
    static biss2ca_rx *rx = [] {
        EVP_PKEY *key = EVP_RSA_gen(2048);
        BIO *b = BIO_new(BIO_s_mem());
        PEM_write_bio_PrivateKey(b, key, nullptr, nullptr, 0, nullptr, nullptr);
        char *text = nullptr;
        long n = BIO_get_mem_data(b, &text);
        std::string pem(text, size_t(n));
        BIO_free(b);
        EVP_PKEY_free(key);
        return biss2ca_rx_ctor(pem.c_str());
    }();
    return rx;
}

void parse(biss2ca_rx *rx, const uint8_t *emm)
{
    int n = biss2ca_emm_count_entries(emm);
    for (int i = 0; i < n + 1; ++i)
        if (const biss2ca_emm_entry *e = biss2ca_emm_get_entry(emm, i))
            (void)e->encrypted_session_data[255];
    uint8_t id[8];
    biss2ca_rx_get_key_id(rx, id);
    biss2ca_emm_get_entry_for_ekid(emm, id);
    biss2ca_rx_reset(rx);
    biss2ca_rx_process_emm(rx, emm);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 3)
        return 0;
    std::vector<uint8_t> buf(data, data + size);
    auto *s = reinterpret_cast<TTableBase *>(buf.data());
    if (size_t(tsGetCompleteTableLength(s)) > size)
        return 0;
    biss2ca_rx *rx = receiver();
    parse(rx, buf.data());
    size_t len = size_t(tsGetCompleteTableLength(s));
    if (len >= 18 + 264 + 4) {
        // Give the first entry our key id, as a peer's EMM would.
        uint8_t id[8];
        biss2ca_rx_get_key_id(rx, id);
        std::memcpy(buf.data() + 14, id, 8);
    }
    if (len >= 8) {
        tsUpdateCRC(s);
        parse(rx, buf.data());
    }
    return 0;
}

// Fuzz target: BISS-CA ECM parsing. The input is one section in a buffer of
// exactly its size (a demultiplexer hands out whole sections); it goes to
// the ECM accessors and to an entitled receiver, once as it came and once
// with its CRC made right so that the checks behind the CRC are reached.
#include <openssl/evp.h>
#include <openssl/pem.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "biss2ca_rx.h"
#include "biss2ca_tx.h"
#include "psi_section.h"

namespace {

std::string pem_of(EVP_PKEY *key, bool priv)
{
    BIO *b = BIO_new(BIO_s_mem());
    if (priv)
        PEM_write_bio_PrivateKey(b, key, nullptr, nullptr, 0, nullptr, nullptr);
    else
        PEM_write_bio_PUBKEY(b, key);
    char *data = nullptr;
    long n = BIO_get_mem_data(b, &data);
    std::string s(data, size_t(n));
    BIO_free(b);
    return s;
}

// A receiver entitled by a real transmitter, made once.
biss2ca_rx *entitled_receiver()
{
    static biss2ca_rx *rx = [] {
        EVP_PKEY *key = EVP_RSA_gen(2048);
        biss2ca_rx *r = biss2ca_rx_ctor(pem_of(key, true).c_str());
        biss2ca_tx *tx = biss2ca_tx_ctor(1, 1, 1000000);
        biss2ca_tx_entitle_rx_key(tx, pem_of(key, false).c_str());
        std::vector<uint8_t> emm(BISS2CA_EMM_MAX_SIZE);
        if (biss2ca_tx_get_emm(tx, emm.data(), emm.size()) > 0)
            biss2ca_rx_process_emm(r, emm.data());
        biss2ca_tx_dtor(tx);
        EVP_PKEY_free(key);
        return r;
    }();
    return rx;
}

void parse(biss2ca_rx *rx, const uint8_t *ecm)
{
    uint8_t out[16];
    biss2ca_ecm_get_session_key_parity(ecm);
    biss2ca_ecm_get_enc_session_word_iv(ecm, out);
    biss2ca_ecm_get_enc_session_word_0(ecm, out);
    biss2ca_ecm_get_enc_session_word_1(ecm, out);
    biss2ca_rx_process_ecm(rx, ecm);
    biss2ca_rx_get_session_word(rx, 1, out);
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
    biss2ca_rx *rx = entitled_receiver();
    parse(rx, buf.data());
    if (tsGetCompleteTableLength(s) >= 8) {
        tsUpdateCRC(s);
        parse(rx, buf.data());
    }
    return 0;
}

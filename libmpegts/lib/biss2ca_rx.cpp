// BISS-CA receiver. An EMM table may span several sections; the receiver
// remembers which sections of the version on air it has seen, so that an
// entry in a section not yet seen neither waits a whole cycle nor counts as
// missing: only a complete version without our entry withdraws the
// entitlement.
#include "biss2ca_rx.h"

#include <bitset>
#include <memory>

#include "biss2ca_ecm.h"
#include "biss2ca_internal.h"
#include "biss2ca_session.h"
#include "mpegts_internal.h"
#include "psi_section.h"

struct biss2ca_rx {
    mpegts::biss::pkey_ptr key;
    uint8_t key_id[8] = {};
    mpegts::biss::cipher_ctx_ptr aes;
    uint16_t esid = 0;
    rx_state state = RXSTATE_INIT;
    int emm_ver = -1;           // last complete EMM version
    int emm_ver_key_found = -1; // version in which our entry was found
    int ecm_ver = -1;
    uint8_t entitlement_flags = 0;
    uint8_t sk[2][16] = {};
    uint8_t sw[2][16] = {};
    int gather_ver = -1;        // version whose sections are being collected
    std::bitset<256> seen;      // its section numbers seen

    ~biss2ca_rx() { drop_keys(); }
    void drop_keys()
    {
        mpegts::biss::wipe(sk, sizeof sk);
        mpegts::biss::wipe(sw, sizeof sw);
        entitlement_flags = 0;
        state = RXSTATE_INIT;
        ecm_ver = -1;
    }
    void forget_versions()
    {
        emm_ver = emm_ver_key_found = ecm_ver = gather_ver = -1;
        seen.reset();
    }
};

namespace {

uint16_t esid_of(const uint8_t *s) { return mpegts::be16(s + 3); }
uint8_t version_of(const uint8_t *s) { return tsGetVersion(reinterpret_cast<const TTableBase *>(s)); }

// Takes the keys and flags of decrypted session data; false when its
// lengths do not hold together.
bool take_session_data(biss2ca_rx *rx, const uint8_t *sd, size_t len)
{
    if (len < 2)
        return false;
    size_t dl = mpegts::be16(sd) & 0x0FFFu;
    if (dl + 2 > len)
        return false;
    const uint8_t *d = sd + 2, *end = d + dl;
    uint8_t keys[2][16];
    bool have[2] = {false, false};
    int flags = -1;
    while (d < end) {
        if (end - d < 2 || end - d - 2 < d[1])
            return false;
        uint8_t tag = d[0], n = d[1];
        if (tag == BISS2CA_SD_TAG_SESSION_KEY && n == 17 && (d[2] >> 1) == SKTYPE_AES128) {
            int parity = d[2] & 1;
            std::memcpy(keys[parity], d + 3, 16);
            have[parity] = true;
        } else if (tag == BISS2CA_SD_TAG_FLAGS && n >= 1) {
            flags = d[2];
        }
        d += 2 + n;
    }
    for (int p = 0; p < 2; ++p)
        if (have[p])
            std::memcpy(rx->sk[p], keys[p], 16);
    mpegts::biss::wipe(keys, sizeof keys);
    if (flags >= 0)
        rx->entitlement_flags = uint8_t(flags);
    return true;
}

} // namespace

extern "C" {

MPEGTS_API biss2ca_rx *biss2ca_rx_ctor(const char *priv_key_pem) noexcept
{
    if (!priv_key_pem) {
        MPEGTS_LOG(MPEGTS_LOG_ERR, "BISS2CA-RX failed to allocate pem buffer\n");
        return nullptr;
    }
    try {
        auto rx = std::make_unique<biss2ca_rx>();
        rx->key = mpegts::biss::read_private_pem(priv_key_pem);
        if (!rx->key || mpegts::biss::ekid_of_key(rx->key.get(), rx->key_id) != 0) {
            MPEGTS_LOG(MPEGTS_LOG_ERR, "BISS2CA-RX failed to read pem\n");
            return nullptr;
        }
        rx->aes.reset(EVP_CIPHER_CTX_new());
        if (!rx->aes)
            return nullptr;
        return rx.release();
    } catch (...) {
        return nullptr;
    }
}

MPEGTS_API void biss2ca_rx_dtor(biss2ca_rx *rx) noexcept { delete rx; }

MPEGTS_API int biss2ca_rx_reset(biss2ca_rx *rx) noexcept
{
    if (!rx)
        return -1;
    rx->drop_keys();
    rx->forget_versions();
    rx->esid = 0;
    return 0;
}

MPEGTS_API int biss2ca_rx_set_session_id(biss2ca_rx *rx, uint16_t esid) noexcept
{
    if (!rx)
        return -1;
    rx->drop_keys();
    rx->forget_versions();
    rx->esid = esid;
    return 0;
}

MPEGTS_API int biss2ca_rx_process_emm(biss2ca_rx *rx, const uint8_t *emm) noexcept
{
    if (!rx || !mpegts::biss::emm_valid(emm))
        return -1;
    // Another session's EMM says nothing about ours.
    if (rx->esid != 0 && rx->esid != esid_of(emm))
        return 0;
    if ((emm[11] >> 5) != EMMCT_RSA2048_OAEP)
        return 0;
    int ver = version_of(emm);
    unsigned number = emm[6], last = emm[7];
    if (number > last)
        return -1;
    if (ver != rx->gather_ver) {
        rx->gather_ver = ver;
        rx->seen.reset();
    }
    if (rx->seen.test(number))
        return 0;
    rx->seen.set(number);
    bool complete = true;
    for (unsigned s = 0; s <= last && complete; ++s)
        complete = rx->seen.test(s);
    if (complete && rx->emm_ver != ver) {
        rx->emm_ver = ver;
        MPEGTS_LOG(MPEGTS_LOG_DEBUG, "BISS2CA-RX EMM new version %d\n", ver);
    }
    if (rx->emm_ver_key_found == ver)
        return 0;
    if (const biss2ca_emm_entry *e = biss2ca_emm_get_entry_for_ekid(emm, rx->key_id)) {
        int rc = biss2ca_rx_update_entitlement(rx, e);
        if (rc > 0)
            rx->emm_ver_key_found = ver;
        return rc;
    }
    if (complete) {
        // Every section of this version seen, none for us: revoked.
        rx->drop_keys();
        rx->emm_ver_key_found = -1;
    }
    return 0;
}

MPEGTS_API int biss2ca_rx_process_ecm(biss2ca_rx *rx, const uint8_t *ecm) noexcept
{
    if (!rx || !ecm || rx->state == RXSTATE_INIT || !mpegts::biss::ecm_valid(ecm))
        return -1;
    if (rx->esid != 0 && rx->esid != esid_of(ecm))
        return 0;
    if ((ecm[10] >> 5) != ECMCT_AES128CBC)
        return 0;
    int ver = version_of(ecm);
    if (ver == rx->ecm_ver)
        return 0;
    MPEGTS_LOG(MPEGTS_LOG_DEBUG, "BISS2CA-RX ECM new version %d\n", ver);
    int parity = biss2ca_ecm_get_session_key_parity(ecm);
    uint8_t iv[16], w0[16], w1[16];
    if (parity < 0 || biss2ca_ecm_get_enc_session_word_iv(ecm, iv) != 0 ||
        biss2ca_ecm_get_enc_session_word_0(ecm, w0) != 0 || biss2ca_ecm_get_enc_session_word_1(ecm, w1) != 0 ||
        biss2ca_rx_decrypt_sw(rx, 0, w0, parity, iv) != 0 || biss2ca_rx_decrypt_sw(rx, 1, w1, parity, iv) != 0)
        return -1;
    rx->ecm_ver = ver;
    rx->state = RXSTATE_SW;
    return 1;
}

MPEGTS_API int biss2ca_rx_is_entitled(const biss2ca_rx *rx) noexcept { return rx && rx->state != RXSTATE_INIT; }
MPEGTS_API int biss2ca_rx_has_session_word(const biss2ca_rx *rx) noexcept
{
    return rx && (rx->state == RXSTATE_SW || rx->state == RXSTATE_SWSK);
}
MPEGTS_API int biss2ca_rx_prevent_descrambled_forward(const biss2ca_rx *rx) noexcept
{
    return rx && (rx->entitlement_flags & BISS2CA_FLAG_PREVENT_DESCRAMBLED_FORWARD) != 0;
}
MPEGTS_API int biss2ca_rx_prevent_decoded_forward(const biss2ca_rx *rx) noexcept
{
    return rx && (rx->entitlement_flags & BISS2CA_FLAG_PREVENT_DECODED_FORWARD) != 0;
}
MPEGTS_API int biss2ca_rx_insert_watermark(const biss2ca_rx *rx) noexcept
{
    return rx && (rx->entitlement_flags & BISS2CA_FLAG_INSERT_WATERMARK) != 0;
}

MPEGTS_API int biss2ca_rx_get_key_id(const biss2ca_rx *rx, uint8_t key_id[8]) noexcept
{
    if (!rx || !key_id)
        return -1;
    std::memcpy(key_id, rx->key_id, 8);
    return 0;
}

MPEGTS_API int biss2ca_rx_get_session_word(const biss2ca_rx *rx, int odd, uint8_t sw[16]) noexcept
{
    if (!rx)
        return -1;
    if (!biss2ca_rx_has_session_word(rx))
        return 0;
    if (sw)
        std::memcpy(sw, rx->sw[odd ? 1 : 0], 16);
    return 1;
}

MPEGTS_API int biss2ca_rx_update_entitlement(biss2ca_rx *rx, const biss2ca_emm_entry *entry) noexcept
{
    if (!rx || !entry)
        return -1;
    uint8_t sd[BISS2CA_ENC_SESSION_DATA_LEN];
    int n = biss2ca_decrypt_session_data(sd, sizeof sd, entry->encrypted_session_data, rx->key.get());
    bool ok = n >= 0 && take_session_data(rx, sd, size_t(n));
    mpegts::biss::wipe(sd, sizeof sd);
    if (!ok) {
        MPEGTS_LOG(MPEGTS_LOG_ERR, "BISS2CA-RX error decrypting entitlement\n");
        return -1;
    }
    // Words are held only once an ECM was decrypted; the next ECM is taken
    // again, under the keys just received.
    rx->state = (rx->state == RXSTATE_SW || rx->state == RXSTATE_SWSK) ? RXSTATE_SWSK : RXSTATE_SK;
    rx->ecm_ver = -1;
    return 1;
}

MPEGTS_API int biss2ca_rx_decrypt_sw(biss2ca_rx *rx, int odd, const uint8_t enc_sw[16], int key_parity,
                                     const uint8_t iv[16]) noexcept
{
    if (!rx || !enc_sw || !iv)
        return -1;
    EVP_CIPHER_CTX *c = rx->aes.get();
    int outl = 0;
    uint8_t out[16];
    if (!EVP_DecryptInit_ex(c, EVP_aes_128_cbc(), nullptr, rx->sk[key_parity ? 1 : 0], iv) ||
        !EVP_CIPHER_CTX_set_padding(c, 0) || !EVP_DecryptUpdate(c, out, &outl, enc_sw, 16) || outl != 16)
        return -1;
    std::memcpy(rx->sw[odd ? 1 : 0], out, 16);
    mpegts::biss::wipe(out, sizeof out);
    return 0;
}

} // extern "C"

// BISS-CA transmitter: session keys and words, ECM and EMM sections, key
// rotation and play-out through two section carousels.
//
// Key rotation (tx_state), driven by EMM changes (receivers, flags):
//   INIT/END -> SINGLE_SK: first EMM with the keys generated at start.
//   SINGLE_SK -> DOUBLE_SK: a new session key into the slot not in use,
//     every receiver's entry re-encrypted with both keys.
//   DOUBLE_SK -> TRANSITION_SK: at an ECM rebuild once that EMM has been
//     sent more than twice, the words go under the new key.
//   TRANSITION_SK -> SINGLE_SK: EMM rebuilt with the receivers of now.
// A change that arrives after a new key was generated asks for one more
// rotation, so a receiver revoked in the middle of one never holds a key
// issued after its revocation.
#include "biss2ca_tx.h"

#include <algorithm>
#include <array>
#include <climits>
#include <memory>
#include <new>
#include <vector>

#include "biss2ca_ecm.h"
#include "biss2ca_ekid.h"
#include "biss2ca_internal.h"
#include "biss2ca_session.h"
#include "mpegts_internal.h"
#include "psi_section.h"
#include "section_reader.h"

namespace {

using namespace mpegts::biss;
using section = std::array<uint8_t, BISS2CA_EMM_MAX_SIZE>;
using ekid_t = std::array<uint8_t, BISS2CA_EKID_LEN>;

struct reader_free {
    void operator()(section_reader *r) const noexcept { section_reader_dtor(r); }
};
using reader_ptr = std::unique_ptr<section_reader, reader_free>;

// One entitled receiver.
struct rx_authz {
    pkey_ptr key;
    ekid_t ekid{};
    biss2ca_emm_entry entry{};
};

// The next EMM set, computed on the control side for the state `from`
// and the receivers and flags of generation `gen`.
struct emm_set {
    bool ready = false;
    tx_state from = TXSTATE_INIT;
    uint64_t gen = 0;
    bool new_key = false;
    uint8_t sk[16] = {};
    std::vector<biss2ca_emm_entry> entries; // with new_key: in receiver order
    std::vector<section> sections;
    ~emm_set() { wipe(sk, sizeof sk); }
};

constexpr int sections_for(size_t receivers)
{
    return receivers == 0 ? 1 : int((receivers + BISS2CA_RCVRS_PER_SECTION - 1) / BISS2CA_RCVRS_PER_SECTION);
}

int64_t ceil_div(int64_t a, int64_t b) { return (a + b - 1) / b; }

} // namespace

struct biss2ca_tx {
    uint16_t esid = 0;
    uint16_t onid = 0;
    uint8_t flags = 0;
    tx_state state = TXSTATE_INIT;
    unsigned sk_count = 0;
    unsigned sw_count = 0;
    bool pending_sw_roll = true;
    int ecm_tx_count = 0;
    int emm_tx_count = 0;
    int ecm_version = 0;
    int emm_version = 0;
    bool emm_change_pending = true;
    size_t rx_authz_capacity = BISS2CA_RCVRS_PER_SECTION;
    std::vector<rx_authz> rx;
    uint8_t sk[2][16] = {};
    uint8_t sw[2][16] = {};
    uint8_t iv[16] = {};
    uint8_t ecm_section[PSI_SECTION_MAX_SIZE] = {};
    int emm_sections_used = 0;
    std::vector<section> emms;
    uint32_t stream_bps = 0;
    int ecm_period = 250;
    reader_ptr ecm_rdr;
    int emm_period = 500;
    reader_ptr emm_rdr;

    random_source rnd;
    cipher_ctx_ptr aes;
    uint64_t gen = 0;                  // bumped by every entitlement change
    bool change_since_new_key = false; // a change not yet covered by a new key
    std::vector<ekid_t> queued_revokes;
    emm_set next;
    bool ecm_fresh = false; // loaded, its first cycle not yet counted
    bool emm_fresh = false;

    ~biss2ca_tx()
    {
        wipe(sk, sizeof sk);
        wipe(sw, sizeof sw);
    }
};

namespace {

int packets_per_second(const biss2ca_tx *tx) { return int((int64_t(tx->stream_bps) + 187) / 1504); }

// Carousel distance for a period; at least one packet at any rate.
int32_t distance_for(const biss2ca_tx *tx, int period_ms)
{
    return int32_t(std::max<int64_t>(1, ceil_div(int64_t(period_ms) * packets_per_second(tx), 1000)));
}

int32_t emm_spacing(const biss2ca_tx *tx) { return int32_t(std::max<int64_t>(1, ceil_div(tx->stream_bps, 1000000))); }

void mark_change(biss2ca_tx *tx)
{
    tx->emm_change_pending = true;
    tx->change_since_new_key = true;
    tx->gen++;
}

// The session data of a receiver: both keys (even first) and the flags.
int build_entry(biss2ca_tx *tx, const rx_authz &r, const uint8_t even[16], const uint8_t odd[16],
                biss2ca_emm_entry *out)
{
    biss2ca_session_data sd{};
    uint8_t *d = sd.descriptors;
    const uint8_t *keys[2] = {even, odd};
    for (int parity = 0; parity < 2; ++parity) {
        *d++ = BISS2CA_SD_TAG_SESSION_KEY;
        *d++ = 17;
        *d++ = uint8_t(SKTYPE_AES128 << 1 | parity);
        std::memcpy(d, keys[parity], 16);
        d += 16;
    }
    *d++ = BISS2CA_SD_TAG_FLAGS;
    *d++ = 1;
    *d++ = tx->flags;
    mpegts::put_be16(sd.descriptors_length, uint16_t(0xF000 | (d - sd.descriptors)));
    std::memcpy(out->entitlement_key_id, r.ekid.data(), BISS2CA_EKID_LEN);
    int rc = biss2ca_encrypt_session_data(out->encrypted_session_data, &sd, r.key.get());
    wipe(&sd, sizeof sd);
    return rc;
}

// Sections holding the entries in order, 15 to a section.
std::vector<section> build_sections(const biss2ca_tx *tx, const std::vector<const biss2ca_emm_entry *> &entries,
                                    int version)
{
    int used = sections_for(entries.size());
    std::vector<section> out(static_cast<size_t>(used));
    for (int s = 0; s < used; ++s) {
        uint8_t *sec = out[size_t(s)].data();
        biss2ca_emm_init(sec, tx->esid, tx->onid);
        auto *hdr = reinterpret_cast<TTableBase *>(sec);
        tsSetVersion(hdr, uint8_t(version));
        tsSetSectionNumber(hdr, uint8_t(s));
        tsSetLastSectionNumber(hdr, uint8_t(used - 1));
        size_t first = size_t(s) * BISS2CA_RCVRS_PER_SECTION;
        size_t last = std::min(entries.size(), first + BISS2CA_RCVRS_PER_SECTION);
        for (size_t i = first; i < last; ++i)
            biss2ca_emm_append_entry(sec, entries[i]); // 15 always fit
        tsUpdateCRC(hdr);
    }
    return out;
}

int rx_index(const biss2ca_tx *tx, const ekid_t &ekid)
{
    for (size_t i = 0; i < tx->rx.size(); ++i)
        if (tx->rx[i].ekid == ekid)
            return int(i);
    return -1;
}

void remove_rx(biss2ca_tx *tx, const ekid_t &ekid)
{
    int i = rx_index(tx, ekid);
    if (i < 0)
        return;
    // The last receiver takes the place of the one removed.
    if (size_t(i) + 1 != tx->rx.size())
        tx->rx[size_t(i)] = std::move(tx->rx.back());
    tx->rx.pop_back();
}

void apply_queued_revokes(biss2ca_tx *tx)
{
    if (tx->state == TXSTATE_DOUBLE_SK || tx->queued_revokes.empty())
        return;
    for (const auto &k : tx->queued_revokes)
        remove_rx(tx, k);
    tx->queued_revokes.clear();
    mark_change(tx);
}

bool load_emm(biss2ca_tx *tx)
{
    section_reader *r = tx->emm_rdr.get();
    if (tx->emms.empty())
        return false;
    if (section_reader_set_section(r, reinterpret_cast<const TTableBase *>(tx->emms[0].data())) != 0)
        return false;
    for (size_t i = 1; i < tx->emms.size(); ++i)
        if (section_reader_append_section(r, reinterpret_cast<const TTableBase *>(tx->emms[i].data())) != 0)
            return false;
    return true;
}

// New carousel with the current settings, loaded with what the old one held.
reader_ptr make_reader(int32_t distance, uint16_t pid, int max_sect, int32_t spacing)
{
    reader_ptr r(section_reader_ctor_multi(PSI_SECTION_MAX_SIZE, distance, pid, max_sect));
    if (r)
        section_reader_set_spacing(r.get(), spacing);
    return r;
}

bool rebuild_emm_reader(biss2ca_tx *tx, int max_sect)
{
    reader_ptr r = make_reader(distance_for(tx, tx->emm_period), section_reader_get_pid(tx->emm_rdr.get()), max_sect,
                               emm_spacing(tx));
    if (!r)
        return false;
    bool loaded = section_reader_has_section(tx->emm_rdr.get());
    tx->emm_rdr = std::move(r);
    if (loaded)
        load_emm(tx);
    return true;
}

int emm_reader_sections(const biss2ca_tx *tx) { return sections_for(tx->rx_authz_capacity); }

// Data path: swaps in the prepared set when a rebuild is due. Never
// encrypts; without a prepared set the change stays pending.
bool swap_emm(biss2ca_tx *tx)
{
    if (!tx->emm_change_pending || tx->state == TXSTATE_DOUBLE_SK)
        return false;
    emm_set &n = tx->next;
    if (!n.ready || n.gen != tx->gen || n.from != tx->state)
        return false;
    switch (tx->state) {
    case TXSTATE_SINGLE_SK:
        std::memcpy(tx->sk[(tx->sk_count + 1) & 1], n.sk, 16);
        for (size_t i = 0; i < tx->rx.size(); ++i)
            tx->rx[i].entry = n.entries[i];
        tx->change_since_new_key = false;
        tx->state = TXSTATE_DOUBLE_SK;
        break;
    case TXSTATE_TRANSITION_SK:
        tx->emm_change_pending = tx->change_since_new_key;
        tx->state = TXSTATE_SINGLE_SK;
        break;
    default: // INIT, END: the first EMM; the rotation follows
        tx->state = TXSTATE_SINGLE_SK;
        break;
    }
    tx->emm_tx_count = 0;
    tx->emm_version = (tx->emm_version + 1) % 32;
    tx->emms.swap(n.sections);
    tx->emm_sections_used = int(tx->emms.size());
    n.ready = false;
    n.sections.clear();
    n.entries.clear();
    wipe(n.sk, sizeof n.sk);
    return load_emm(tx);
}

bool encrypt_word(biss2ca_tx *tx, const uint8_t *key, const uint8_t *in, uint8_t *out)
{
    int outl = 0;
    return EVP_EncryptInit_ex(tx->aes.get(), EVP_aes_128_cbc(), nullptr, key, tx->iv) &&
           EVP_CIPHER_CTX_set_padding(tx->aes.get(), 0) && EVP_EncryptUpdate(tx->aes.get(), out, &outl, in, 16) &&
           outl == 16;
}

// ECM rebuild: switches to the new session key once the EMM carrying it
// has been sent more than twice, then encrypts both words under the key in
// use, each a one-block CBC chain from a fresh IV.
void update_ecm(biss2ca_tx *tx)
{
    if (tx->state == TXSTATE_DOUBLE_SK && tx->emm_tx_count > 2) {
        tx->sk_count++;
        tx->state = TXSTATE_TRANSITION_SK;
    }
    tx->ecm_version = (tx->ecm_version + 1) % 32;
    uint8_t *ecm = tx->ecm_section;
    biss2ca_ecm_init(ecm, tx->esid, tx->onid);
    tsSetVersion(reinterpret_cast<TTableBase *>(ecm), uint8_t(tx->ecm_version));
    unsigned parity = tx->sk_count & 1;
    biss2ca_ecm_set_session_key_parity(ecm, int(parity));
    uint8_t fresh[16];
    if (tx->rnd.fill(fresh, sizeof fresh))
        std::memcpy(tx->iv, fresh, 16); // else the previous IV is kept
    biss2ca_ecm_set_enc_session_word_iv(ecm, tx->iv);
    uint8_t enc[2][16];
    for (int i = 0; i < 2; ++i)
        if (!encrypt_word(tx, tx->sk[parity], tx->sw[i], enc[i]))
            MPEGTS_LOG(MPEGTS_LOG_ERR, "BISS2CA error encrypting session word\n");
    biss2ca_ecm_set_enc_session_word_0(ecm, enc[0]);
    biss2ca_ecm_set_enc_session_word_1(ecm, enc[1]);
}

const TTableBase *ecm_table(const biss2ca_tx *tx) { return reinterpret_cast<const TTableBase *>(tx->ecm_section); }

int copy_section(const uint8_t *s, uint8_t *buf, size_t size)
{
    size_t len = mpegts::complete_length(s);
    if (!buf || len > size)
        return -1;
    std::memcpy(buf, s, len);
    return int(len);
}

} // namespace

extern "C" {

MPEGTS_API int biss2ca_get_min_emm_period(int receivers) noexcept
{
    int64_t n = std::max(receivers, 0);
    int64_t size = n == 0 ? BISS2CA_EMM_EMPTY_SIZE
                          : 264 * n + BISS2CA_EMM_EMPTY_SIZE * ceil_div(n, BISS2CA_RCVRS_PER_SECTION);
    int64_t pkts = ceil_div(size, TS_PAYLOAD_SIZE);
    int64_t t = std::max<int64_t>(pkts * 1504 / 1000, 200);
    MPEGTS_LOG(MPEGTS_LOG_ERR, "BISS2CA %s emm_sz %d, pkts %d, t %d\n", "biss2ca_get_min_emm_period", int(size),
               int(pkts), int(t));
    return int(t);
}

MPEGTS_API biss2ca_tx *biss2ca_tx_ctor(uint16_t esid, uint16_t onid, uint32_t stream_bps) noexcept
{
    try {
        auto tx = std::make_unique<biss2ca_tx>();
        tx->esid = esid;
        tx->onid = onid;
        tx->stream_bps = stream_bps;
        if (!tx->rnd.fill(&tx->sk[0][0], 32) || !tx->rnd.fill(&tx->sw[0][0], 32) || !tx->rnd.fill(tx->iv, 16))
            return nullptr;
        tx->aes.reset(EVP_CIPHER_CTX_new());
        tx->ecm_rdr = make_reader(distance_for(tx.get(), tx->ecm_period), BISS2CA_ECM_PID, 1, 1);
        tx->emm_rdr = make_reader(distance_for(tx.get(), tx->emm_period), BISS2CA_EMM_PID, emm_reader_sections(tx.get()),
                                  emm_spacing(tx.get()));
        if (!tx->aes || !tx->ecm_rdr || !tx->emm_rdr || biss2ca_tx_prepare_emm(tx.get()) != 0)
            return nullptr;
        return tx.release();
    } catch (...) {
        return nullptr;
    }
}

MPEGTS_API void biss2ca_tx_dtor(biss2ca_tx *tx) noexcept { delete tx; }

MPEGTS_API int biss2ca_tx_get_esid(const biss2ca_tx *tx) noexcept { return tx ? tx->esid : -1; }
MPEGTS_API int biss2ca_tx_get_onid(const biss2ca_tx *tx) noexcept { return tx ? tx->onid : -1; }

MPEGTS_API int biss2ca_tx_set_flags(biss2ca_tx *tx, uint8_t flags) noexcept
{
    if (!tx)
        return -1;
    tx->flags = flags;
    mark_change(tx);
    return 0;
}

MPEGTS_API int biss2ca_tx_entitle_rx_key(biss2ca_tx *tx, const char *pub_key_pem) noexcept
{
    if (!tx)
        return -1;
    try {
        apply_queued_revokes(tx);
        if (tx->rx.size() >= BISS2CA_MAX_RECEIVERS)
            return -1;
        rx_authz r;
        r.key = read_public_pem(pub_key_pem);
        if (!r.key || !EVP_PKEY_is_a(r.key.get(), "RSA") || EVP_PKEY_get_size(r.key.get()) != BISS2CA_ENC_SESSION_DATA_LEN) {
            MPEGTS_LOG(MPEGTS_LOG_WARN, "%s failed pem read\n", "rx_authz_ctor");
            return -1;
        }
        if (ekid_of_key(r.key.get(), r.ekid.data()) != 0)
            return -1;
        // Entitling again cancels a queued revocation and changes nothing else.
        auto q = std::find(tx->queued_revokes.begin(), tx->queued_revokes.end(), r.ekid);
        if (q != tx->queued_revokes.end())
            tx->queued_revokes.erase(q);
        if (rx_index(tx, r.ekid) >= 0)
            return 0;
        if (build_entry(tx, r, tx->sk[0], tx->sk[1], &r.entry) != 0)
            return -1;
        if (tx->rx.size() == tx->rx_authz_capacity) {
            tx->rx_authz_capacity *= 2;
            tx->rx.reserve(tx->rx_authz_capacity);
            if (!rebuild_emm_reader(tx, emm_reader_sections(tx)))
                return -1;
        }
        tx->rx.push_back(std::move(r));
        mark_change(tx);
        return 0;
    } catch (...) {
        return -1;
    }
}

MPEGTS_API int biss2ca_tx_revoke_rx_key(biss2ca_tx *tx, const char *pub_key_pem) noexcept
{
    if (!tx)
        return -1;
    try {
        if (!pub_key_pem) {
            mark_change(tx);
            return 0;
        }
        ekid_t ekid;
        if (biss2ca_pub_key_pem_to_ekid(ekid.data(), pub_key_pem) != 0) {
            MPEGTS_LOG(MPEGTS_LOG_WARN, "%s failed pem read\n", "biss2ca_tx_revoke_rx_key");
            return -1;
        }
        if (tx->state == TXSTATE_DOUBLE_SK) {
            // Both keys are on air; the next rotation leaves this receiver out.
            if (std::find(tx->queued_revokes.begin(), tx->queued_revokes.end(), ekid) == tx->queued_revokes.end())
                tx->queued_revokes.push_back(ekid);
            return 0;
        }
        apply_queued_revokes(tx);
        remove_rx(tx, ekid);
        mark_change(tx);
        return 0;
    } catch (...) {
        return -1;
    }
}

MPEGTS_API int biss2ca_tx_prepare_emm(biss2ca_tx *tx) noexcept
{
    if (!tx)
        return -1;
    try {
        apply_queued_revokes(tx);
        if (!tx->emm_change_pending || tx->state == TXSTATE_DOUBLE_SK)
            return 0;
        emm_set &n = tx->next;
        if (n.ready && n.gen == tx->gen && n.from == tx->state)
            return 0;
        n.ready = false;
        n.from = tx->state;
        n.gen = tx->gen;
        n.new_key = tx->state == TXSTATE_SINGLE_SK;
        n.entries.clear();
        std::vector<const biss2ca_emm_entry *> order;
        order.reserve(tx->rx.size());
        if (n.new_key) {
            if (!tx->rnd.fill(n.sk, sizeof n.sk))
                return -1;
            unsigned in_use = tx->sk_count & 1;
            const uint8_t *keys[2];
            keys[in_use] = tx->sk[in_use];
            keys[in_use ^ 1] = n.sk;
            n.entries.resize(tx->rx.size());
            for (size_t i = 0; i < tx->rx.size(); ++i) {
                if (build_entry(tx, tx->rx[i], keys[0], keys[1], &n.entries[i]) != 0)
                    return -1;
                order.push_back(&n.entries[i]);
            }
        } else {
            for (const auto &r : tx->rx)
                order.push_back(&r.entry);
        }
        n.sections = build_sections(tx, order, (tx->emm_version + 1) % 32);
        n.ready = true;
        return 0;
    } catch (...) {
        return -1;
    }
}

MPEGTS_API int biss2ca_tx_change_sw(biss2ca_tx *tx, const uint8_t *sw) noexcept
{
    if (!tx || tx->pending_sw_roll)
        return -1;
    uint8_t *slot = tx->sw[(tx->sw_count + 1) & 1];
    if (sw)
        std::memcpy(slot, sw, 16);
    else if (!tx->rnd.fill(slot, 16))
        return -1;
    tx->ecm_tx_count = 0;
    tx->pending_sw_roll = true;
    return 0;
}

MPEGTS_API int biss2ca_tx_get_sw(biss2ca_tx *tx, uint8_t sw[16]) noexcept
{
    if (!tx || !sw)
        return -1;
    if (tx->pending_sw_roll && tx->ecm_tx_count > 3) {
        tx->sw_count++;
        tx->pending_sw_roll = false;
    }
    std::memcpy(sw, tx->sw[tx->sw_count & 1], 16);
    return 0;
}

MPEGTS_API int biss2ca_tx_get_sw_count(const biss2ca_tx *tx) noexcept { return tx ? int(tx->sw_count & INT_MAX) : -1; }
MPEGTS_API int biss2ca_tx_get_sw_parity(const biss2ca_tx *tx) noexcept { return tx ? int(tx->sw_count & 1) : -1; }

MPEGTS_API int biss2ca_tx_get_sk(const biss2ca_tx *tx, uint8_t sk[16]) noexcept
{
    if (!tx || !sk)
        return -1;
    std::memcpy(sk, tx->sk[tx->sk_count & 1], 16);
    return 0;
}

MPEGTS_API int biss2ca_tx_set_ecm_period(biss2ca_tx *tx, int ms) noexcept
{
    if (!tx || ms < 100)
        return -1;
    reader_ptr r = make_reader(distance_for(tx, ms), section_reader_get_pid(tx->ecm_rdr.get()), 1, 1);
    if (!r)
        return -1;
    if (section_reader_has_section(tx->ecm_rdr.get()))
        section_reader_set_section(r.get(), ecm_table(tx));
    tx->ecm_period = ms;
    tx->ecm_rdr = std::move(r);
    return 0;
}

MPEGTS_API int biss2ca_tx_set_emm_period(biss2ca_tx *tx, int ms) noexcept
{
    if (!tx || ms < biss2ca_get_min_emm_period(int(tx->rx.size())))
        return -1;
    int old = tx->emm_period;
    tx->emm_period = ms;
    if (!rebuild_emm_reader(tx, emm_reader_sections(tx))) {
        tx->emm_period = old;
        return -1;
    }
    return 0;
}

MPEGTS_API int biss2ca_tx_get_ecm_pid(const biss2ca_tx *tx) noexcept { return tx ? section_reader_get_pid(tx->ecm_rdr.get()) : -1; }
MPEGTS_API int biss2ca_tx_set_ecm_pid(biss2ca_tx *tx, uint16_t pid) noexcept
{
    return tx ? section_reader_set_pid(tx->ecm_rdr.get(), pid & 0x1FFF) : -1;
}
MPEGTS_API int biss2ca_tx_get_emm_pid(const biss2ca_tx *tx) noexcept { return tx ? section_reader_get_pid(tx->emm_rdr.get()) : -1; }
MPEGTS_API int biss2ca_tx_set_emm_pid(biss2ca_tx *tx, uint16_t pid) noexcept
{
    return tx ? section_reader_set_pid(tx->emm_rdr.get(), pid & 0x1FFF) : -1;
}
MPEGTS_API int biss2ca_tx_get_emm_sections_used(const biss2ca_tx *tx) noexcept { return tx ? tx->emm_sections_used : -1; }

MPEGTS_API int biss2ca_tx_ecm_is_pkt_ready(biss2ca_tx *tx, int32_t position) noexcept
{
    if (!tx)
        return 0;
    if (!section_reader_has_section(tx->ecm_rdr.get())) {
        update_ecm(tx);
        if (section_reader_set_section(tx->ecm_rdr.get(), ecm_table(tx)) != 0)
            return 0;
        tx->ecm_fresh = true;
    }
    return section_reader_is_pkt_ready(tx->ecm_rdr.get(), position);
}

MPEGTS_API tsPkt *biss2ca_tx_ecm_read(biss2ca_tx *tx, int32_t position) noexcept
{
    if (!biss2ca_tx_ecm_is_pkt_ready(tx, position))
        return nullptr;
    if (section_reader_is_starting(tx->ecm_rdr.get())) {
        if (tx->ecm_tx_count == 0 && !tx->ecm_fresh) {
            update_ecm(tx);
            section_reader_set_section(tx->ecm_rdr.get(), ecm_table(tx));
        }
        tx->ecm_fresh = false;
        if (tx->ecm_tx_count < INT_MAX)
            tx->ecm_tx_count++;
    }
    return section_reader_read(tx->ecm_rdr.get(), position);
}

MPEGTS_API int biss2ca_tx_emm_is_pkt_ready(biss2ca_tx *tx, int32_t position) noexcept
{
    if (!tx)
        return 0;
    if (!section_reader_has_section(tx->emm_rdr.get())) {
        if (!swap_emm(tx) && !load_emm(tx))
            return 0;
        tx->emm_fresh = true;
    }
    return section_reader_is_pkt_ready(tx->emm_rdr.get(), position);
}

MPEGTS_API tsPkt *biss2ca_tx_emm_read(biss2ca_tx *tx, int32_t position) noexcept
{
    if (!biss2ca_tx_emm_is_pkt_ready(tx, position))
        return nullptr;
    if (section_reader_is_starting(tx->emm_rdr.get())) {
        if (!tx->emm_fresh)
            swap_emm(tx);
        tx->emm_fresh = false;
        if (tx->emm_tx_count < INT_MAX)
            tx->emm_tx_count++;
    }
    return section_reader_read(tx->emm_rdr.get(), position);
}

MPEGTS_API int biss2ca_tx_get_ecm(biss2ca_tx *tx, uint8_t *buf, size_t size) noexcept
{
    if (!tx)
        return -1;
    if (tx->ecm_tx_count == 0) {
        update_ecm(tx);
        if (section_reader_has_section(tx->ecm_rdr.get()))
            section_reader_set_section(tx->ecm_rdr.get(), ecm_table(tx));
    }
    int n = copy_section(tx->ecm_section, buf, size);
    if (n >= 0 && tx->ecm_tx_count < INT_MAX)
        tx->ecm_tx_count++;
    return n;
}

MPEGTS_API int biss2ca_tx_get_emm(biss2ca_tx *tx, uint8_t *buf, size_t size) noexcept
{
    return biss2ca_tx_get_emm_index(tx, buf, size, 0);
}

MPEGTS_API int biss2ca_tx_get_emm_index(biss2ca_tx *tx, uint8_t *buf, size_t size, int index) noexcept
{
    if (!tx)
        return -1;
    // A table is read from its first section on; only then may it change.
    if (index == 0 && tx->emm_change_pending && biss2ca_tx_prepare_emm(tx) == 0)
        swap_emm(tx);
    if (index < 0 || index >= tx->emm_sections_used)
        return -1;
    int n = copy_section(tx->emms[size_t(index)].data(), buf, size);
    if (n >= 0 && tx->emm_tx_count < INT_MAX)
        tx->emm_tx_count++;
    return n;
}

MPEGTS_API int _test_biss2ca_tx_set_sk(biss2ca_tx *tx, const uint8_t even[16], const uint8_t odd[16]) noexcept
{
    if (!tx || !even || !odd)
        return -1;
    std::memcpy(tx->sk[0], even, 16);
    std::memcpy(tx->sk[1], odd, 16);
    return 0;
}
MPEGTS_API int _test_biss2ca_tx_set_iv(biss2ca_tx *tx, const uint8_t iv[16]) noexcept
{
    if (!tx || !iv)
        return -1;
    std::memcpy(tx->iv, iv, 16);
    return 0;
}
MPEGTS_API int _test_biss2ca_tx_set_sw(biss2ca_tx *tx, const uint8_t sw[16], int index) noexcept
{
    if (!tx || !sw || index < 0 || index > 1)
        return -1;
    std::memcpy(tx->sw[index], sw, 16);
    return 0;
}
MPEGTS_API int biss2ca_tx_test_get_state(const biss2ca_tx *tx) noexcept { return tx ? int(tx->state) : -1; }
MPEGTS_API int biss2ca_tx_test_get_ecm_tx_count(const biss2ca_tx *tx) noexcept { return tx ? tx->ecm_tx_count : -1; }
MPEGTS_API int biss2ca_tx_test_get_emm_tx_count(const biss2ca_tx *tx) noexcept { return tx ? tx->emm_tx_count : -1; }
MPEGTS_API int biss2ca_tx_test_get_sw_next(const biss2ca_tx *tx, uint8_t sw[16]) noexcept
{
    if (!tx || !sw)
        return -1;
    std::memcpy(sw, tx->sw[(tx->sw_count + 1) & 1], 16);
    return 0;
}

} // extern "C"

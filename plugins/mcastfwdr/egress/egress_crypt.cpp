// CISSA scrambling and descrambling of an output's packets.
#include "egress/egress_crypt.h"
#include "status_queue.h"

#include <cissa_ctx.h>

namespace {

// Loads the key of the parity wanted when it changed.
void load(cissa_ctx *ctx, const uint8_t *key, bool odd) { cissa_ctx_set_key(ctx, key, CISSA_KEY_LEN, odd ? 1 : 0); }

void descramble(egress_crypt &c, uint8_t *pkt, const ss_meta &m)
{
    ss_decrypt &d = c.decrypt;
    if (!d.cissa) {
        mcf_post_log(SQ_LOG_DEBUG, "SS: Output %d init decrypt", c.tx_id);
        d.cissa = cissa_ctx_ctor(m.decrypt_sw, CISSA_KEY_LEN, 0);
        if (!d.cissa)
            return; // stays scrambled: nothing leaks
        d.mode = 0;
    }
    if (d.mode != m.decrypt) {
        d.mode = m.decrypt;
        load(d.cissa, m.decrypt_sw, m.decrypt == 1);
    }
    c.decrypt_pkts.fetch_add(1, std::memory_order_relaxed);
    cissa_ctx_crypt(d.cissa, reinterpret_cast<tsPkt *>(pkt));
}

int scramble(egress_crypt &c, uint8_t *pkt, const ss_meta &m)
{
    ss_encrypt *slot = nullptr;
    for (ss_encrypt &e : c.encrypt)
        if (e.ca_id == m.ca_id) {
            slot = &e;
            break;
        }
    if (!slot) {
        for (ss_encrypt &e : c.encrypt)
            if (e.ca_id == -1) {
                cissa_ctx *ctx = cissa_ctx_ctor(m.sw, CISSA_KEY_LEN, 1);
                if (!ctx)
                    break;
                e.ca_id = m.ca_id;
                e.cissa = ctx;
                e.sw_index = m.sw_count;
                load(ctx, m.sw, m.sw_count & 1);
                slot = &e;
                break;
            }
    }
    if (!slot) {
        c.refused.fetch_add(1, std::memory_order_relaxed);
        if (!c.refusal_logged) {
            c.refusal_logged = true;
            mcf_post_log(SQ_LOG_WARN, "SS: Output %d has no scrambler for CA %d: its packets are dropped", c.tx_id,
                         m.ca_id);
        }
        return -1;
    }
    if (slot->sw_index != m.sw_count) {
        slot->sw_index = m.sw_count;
        load(slot->cissa, m.sw, m.sw_count & 1);
    }
    c.encrypt_pkts.fetch_add(1, std::memory_order_relaxed);
    return cissa_ctx_crypt(slot->cissa, reinterpret_cast<tsPkt *>(pkt)) == 0 ? 0 : -1;
}

} // namespace

int egress_crypt_apply(egress_crypt &c, uint8_t *pkt, const ss_meta &m, bool decrypt_only)
{
    if (m.decrypt == 1 || m.decrypt == 2)
        descramble(c, pkt, m);
    if (decrypt_only || m.ca_id == -1)
        return 0;
    return scramble(c, pkt, m);
}

void egress_crypt_release(egress_crypt &c)
{
    for (ss_encrypt &e : c.encrypt) {
        cissa_ctx_dtor(e.cissa);
        e = ss_encrypt{};
    }
    cissa_ctx_dtor(c.decrypt.cissa);
    c.decrypt = ss_decrypt{};
}

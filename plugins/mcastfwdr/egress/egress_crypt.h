// Scrambling and descrambling on the way out. The send path puts a packet's
// scrambling data (`ss_meta`) into its pool entry; the egress thread
// descrambles the copy with the receiver's word and scrambles it for the
// output's CA session, at most two sessions an output.
#pragma once

#include <atomic>
#include <cstdint>

struct cissa_ctx;

struct ss_meta {
    int32_t ca_id;    // the output's CA index, -1 none
    int32_t sw_count; // session words the transmitter made: its parity picks the key
    uint8_t sw[16];   // the transmitter's current session word
    int32_t decrypt;  // 0 none, 1 descramble with the odd word, 2 with the even word
    uint8_t decrypt_sw[16];
};
static_assert(sizeof(ss_meta) == 44, "the send path writes 44 bytes");

enum { EGRESS_CA_SLOTS = 2 };

struct ss_encrypt {
    int32_t ca_id = -1; // -1: free
    int32_t sw_index = 0;
    cissa_ctx *cissa = nullptr;
};

struct ss_decrypt {
    int32_t mode = 0; // the parity last loaded: 1 odd, 2 even
    cissa_ctx *cissa = nullptr;
};

struct egress_crypt {
    ss_encrypt encrypt[EGRESS_CA_SLOTS];
    ss_decrypt decrypt;
    int tx_id = 0;
    bool refusal_logged = false;
    std::atomic<uint64_t> encrypt_pkts{0}; // status_biss2_encrypt_pkts_tx
    std::atomic<uint64_t> decrypt_pkts{0}; // status_biss2_decrypt_pkts_tx
    std::atomic<uint64_t> refused{0};      // dropped: no CA slot or no scrambler
};

// Descrambles (decrypt set) and, unless decrypt_only, scrambles (ca_id set)
// the 188-byte copy in place. 0, or -1 when the packet must not leave: it
// was to be scrambled and no scrambler is free or can be made (it is never
// sent in the clear). Egress thread only.
int egress_crypt_apply(egress_crypt &c, uint8_t *pkt, const ss_meta &m, bool decrypt_only);
// Frees the contexts (the thread has ended).
void egress_crypt_release(egress_crypt &c);

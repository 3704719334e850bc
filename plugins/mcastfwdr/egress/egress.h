// An output's egress: a real-time thread that empties the output's pool at
// the output's rate, packs 1 to 7 packets a datagram (UDP, or RTP with its
// header, the redundant destination getting the same RTP datagrams) and
// sends up to five at a time with sendmmsg. The ring of six datagrams is
// never overrun: while no datagram slot is free the thread leaves packets
// in the pool. A decoder output sends datagrams of ten packets to its
// decoder channel's unix socket. Each cycle is measured for the statistics.
#pragma once

#include "cfg/mcf_cfg.h"
#include "egress/decoder_link.h"
#include "egress/egress_crypt.h"
#include "egress/statistics.h"
#include "egress/ts_pool.h"
#include "egress/ts_validation.h"
#include "srt/srt_helper.h"

#include <kerrow/dataset.h>

#include "mux/wake.h"

#include <atomic>
#include <cstdint>
#include <pthread.h>

enum { EGRESS_DGRAMS = 6, EGRESS_DGRAM_PKTS = 7 };

struct egress_datagram_t {
    uint8_t rtp_hdr[12];
    uint8_t ts_pkt[EGRESS_DGRAM_PKTS * 188];
};
static_assert(sizeof(egress_datagram_t) == 1328);

// What one egress counted (relaxed; the thread writes, anyone reads).
struct egress_counters {
    std::atomic<uint64_t> dgrams_sent{0};
    std::atomic<uint64_t> busy{0};         // socket busy: kept for the next call
    std::atomic<uint64_t> socket_error{0}; // datagrams dropped on a send error
    std::atomic<uint64_t> underflow{0};    // cycles with the pool empty throughout
    std::atomic<uint64_t> ring_full{0};    // cycles that left packets in the pool
    std::atomic<uint64_t> size_error{0};   // decoder datagrams sent short
    std::atomic<uint64_t> connect_error{0}; // SRT: datagrams dropped while not connected
};

// A latency probe: the routing names the PID measured and stores the
// receive time (wall clock, as socket stamps are) of its last packet; the
// egress thread measures, when the datagram holding that packet is
// complete, the microseconds since then.
struct egress_latency_probe {
    std::atomic<uint16_t> pid{0};      // 0: none measured yet
    std::atomic<uint64_t> rx_ns{0};    // CLOCK_REALTIME ns, 0: none
    stat_helper *stat = nullptr;       // the thread's
    bool flagged = false;              // the datagram being filled holds one
    std::atomic<uint32_t> last_us{0};  // the latest measurement
    std::atomic<uint32_t> samples{0};  // measurements made
};

struct mcastfwdr_egress {
    pthread_t thread{};
    std::atomic<bool> halt{false};
    // What the thread waits on while its pool is empty and nothing is to
    // be sent; the multiplexer wakes it after writing into the pool.
    mcf::waker wake;
    mcastfwdr_ts_pool *ts_pool = nullptr;
    int tx_id = 0;
    int tx_fd = -1;
    int redundant_tx_fd = -1;
    egress_types tx_type = EGRTYPE_NET;
    char tx_label[32] = {};
    double tmr_out_mbps = 0;
    int dvb_per_ip = EGRESS_DGRAM_PKTS;
    uint64_t rtp_base_time = 0; // raw monotonic ns
    uint16_t rtp_seq_num = 0;
    protocol_type protocol = PROTOCOL_UDP;
    redundant_xmit_select redundant_transmit = REDUNDANT_XMIT_OFF;
    std::atomic<uint64_t> *status_ts_pkts_tx = nullptr; // the output manager's sent counter
    ts_validation *cc_check = nullptr;                  // continuity of what is sent
    egress_datagram_t dgram[EGRESS_DGRAMS] = {};
    unsigned dgram_rd_idx = 0, dgram_wr_idx = 0;
    unsigned dgram_tspkt_idx = 0, dgram_tspkt_cnt = EGRESS_DGRAM_PKTS;
    // Decoder outputs: the channel's address and the datagram being filled.
    const sockaddr_un *tx_remote = nullptr;
    uint8_t unix_dgram[MCF_DECODER_DGRAM_LEN] = {};
    unsigned unix_dgram_len = 0;
    egress_counters stats;
    egress_crypt crypt; // the thread's; its counters read by anyone
    egress_latency_probe klv_latency, pcr_latency; // 1800 and 1200 samples
    mcast_stats_t sample{}; // this cycle's, the thread's own
    // SRT outputs: the session the maintainer connects; this thread sends
    // on its socket while it is connected, one datagram per call.
    srt_control srt;
};

extern "C" {
// Builds the record for an output (its rate for the routing mode, 100 ms of
// pool) sending on tx_fd (and redundant_fd for redundant RTP), counting sent
// packets into *sent (may be null), and starts its thread. A decoder output
// sends on its channel's socket to its channel's address (tx_fd unused).
// Null when the pool or the thread cannot be made, or a decoder output has
// no decoder socket, so that the output build fails. Statistics go to the
// egress slot of the output's id (ids above 49 keep none).
mcastfwdr_egress *mcastfwdr_egress_ctor(const cfg_tx *tx, int tx_fd, int redundant_fd, std::atomic<uint64_t> *sent);
int mcastfwdr_egress_dtor(mcastfwdr_egress *eg);
// Sends the ready datagrams (with flush, also fewer than five): 1 when it
// sent or dropped any, else 0.
int try_to_send_dgrams(mcastfwdr_egress *eg, int flush);
// Decoder outputs: appends one packet (input PID kept, descrambled when
// meta asks; meta may be null) and sends the datagram once it holds ten;
// never waits for the receiver.
void mcf_decoder_take_packet(mcastfwdr_egress *eg, const uint8_t *pkt, const ss_meta *meta);
// The egress stage's buffer setting in ms (the maintainer's; 10 until it reads one).
int get_ime_buffer_ms(int stage);
}

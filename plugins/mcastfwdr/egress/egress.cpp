// The egress thread of an output.
#include "egress/egress.h"
#include "mcastfwdr.h"
#include "mux/rt_cycle.h"
#include "router/rtp.h"

#include <kerrow/pipe.h>

#include <sys/socket.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <new>
#include <random>

namespace {

constexpr int kPriority = 90;
constexpr uint32_t kBitsPerPacket = 1504;
constexpr uint32_t kMaxCycleBits = 404000;
constexpr int kBatch = 5;
constexpr int kEgressStage = 2;
constexpr int kIdleWaitMs = 200; // the longest wait for packets

uint64_t ns_of(clockid_t clk)
{
    timespec t;
    clock_gettime(clk, &t);
    return uint64_t(t.tv_sec) * 1000000000u + uint64_t(t.tv_nsec);
}

uint64_t raw_ns() { return ns_of(CLOCK_MONOTONIC_RAW); }

unsigned ready(const mcastfwdr_egress *eg) { return (eg->dgram_wr_idx + EGRESS_DGRAMS - eg->dgram_rd_idx) % EGRESS_DGRAMS; }

// Bits this cycle may send: the output rate per ms, steered towards the
// egress stage's buffer target.
uint32_t cycle_budget(const mcastfwdr_egress *eg)
{
    const int64_t buffered = int64_t(ts_pool_level(eg->ts_pool)) * kBitsPerPacket;
    const int b = get_ime_buffer_ms(kEgressStage);
    if (b <= 0)
        return kMaxCycleBits;
    const int64_t ideal = int64_t(eg->tmr_out_mbps * 1000000.0 / 1000.0);
    const int64_t error = buffered - (ideal + kBitsPerPacket) * (b + 1);
    const int64_t adjust = error < 0 ? -int64_t(kBitsPerPacket) : error / (b + 1) + kBitsPerPacket;
    const int64_t budget = ideal + adjust;
    return budget <= 0 ? 0 : budget > kMaxCycleBits ? kMaxCycleBits : uint32_t(budget);
}

// Counts an event both in the record's totals and in this cycle's sample.
void count(mcastfwdr_egress *eg, std::atomic<uint64_t> &c, stats_evt_t evt, uint32_t n = 1)
{
    c.fetch_add(n, std::memory_order_relaxed);
    eg->sample.evt[evt] += n;
}

// Step a: flags the datagram being filled when this packet is measured.
void probe_packet(mcastfwdr_egress *eg, const uint8_t *pkt)
{
    const uint16_t pid = uint16_t((pkt[1] & 0x1F) << 8 | pkt[2]);
    const uint16_t klv = eg->klv_latency.pid.load(std::memory_order_relaxed);
    if (klv && pid == klv)
        eg->klv_latency.flagged = true;
    const uint16_t pcr = eg->pcr_latency.pid.load(std::memory_order_relaxed);
    // An adaptation field of non-zero length with its PCR flag.
    if (pcr && pid == pcr && (pkt[3] & 0x20) && pkt[4] > 0 && (pkt[5] & 0x10))
        eg->pcr_latency.flagged = true;
}

void measure(egress_latency_probe &p)
{
    if (!p.flagged)
        return;
    p.flagged = false;
    const uint64_t rx = p.rx_ns.load(std::memory_order_acquire);
    if (!rx)
        return;
    const uint64_t now = ns_of(CLOCK_REALTIME);
    const uint32_t us = uint32_t(double(now > rx ? now - rx : 0) / 1000.0);
    // A full window starts again.
    if (p.stat && stat_helper_record(p.stat, us) != 0) {
        stat_helper_clear(p.stat);
        stat_helper_record(p.stat, us);
    }
    p.last_us.store(us, std::memory_order_relaxed);
    p.samples.fetch_add(1, std::memory_order_release);
}

void complete_datagram(mcastfwdr_egress *eg)
{
    egress_datagram_t &d = eg->dgram[eg->dgram_wr_idx];
    if (eg->cc_check && ts_validation_check_cc(eg->cc_check, d.ts_pkt, 188 * eg->dgram_tspkt_cnt) != 0)
        mcf_post_log(SQ_LOG_ERROR, "ts pkt validation cc failed!");
    measure(eg->klv_latency);
    measure(eg->pcr_latency);
    totals.ip_packets_tx.fetch_add(1, std::memory_order_relaxed);
    totals.ts_packets_tx.fetch_add(int32_t(eg->dgram_tspkt_cnt), std::memory_order_relaxed);
    if (eg->status_ts_pkts_tx)
        eg->status_ts_pkts_tx->fetch_add(eg->dgram_tspkt_cnt, std::memory_order_relaxed);
    if (eg->protocol == PROTOCOL_RTP) {
        const uint64_t ticks = uint64_t(double(raw_ns() - eg->rtp_base_time) / 11111.111111111);
        rtp_hdr_set_update(d.rtp_hdr, eg->rtp_seq_num++, uint32_t(ticks));
    }
    eg->dgram_wr_idx = (eg->dgram_wr_idx + 1) % EGRESS_DGRAMS;
}

void *egress_thread(void *arg)
{
    auto *eg = static_cast<mcastfwdr_egress *>(arg);
    char name[16];
    std::snprintf(name, sizeof name, "SVM:egress-%d", eg->tx_id);
    rt_thread_setup(name, kPriority);
    const bool decoder = eg->tx_type == EGRTYPE_DEC;
    mcf::rt_cycle cycle;
    mcf::idle_cycles idle;
    auto halted = [eg] { return eg->halt.load(std::memory_order_relaxed); };
    while (!halted()) {
        cycle.begin();
        const bool empty_at_start = ts_pool_level(eg->ts_pool) == 0;
        const uint32_t budget = cycle_budget(eg);
        uint32_t bits = 0;
        bool sent = false;
        ss_meta meta_buf[2]; // 64 bytes of room for the copy
        unsigned meta_len = 0;
        const ss_meta *meta = nullptr;
        while (decoder && bits < budget) {
            const uint8_t *pkt = ts_pool_read_unlocked(eg->ts_pool, nullptr, meta_buf, &meta_len);
            if (!pkt)
                break;
            bits += kBitsPerPacket;
            mcf_decoder_take_packet(eg, pkt, meta_len == sizeof(ss_meta) ? meta_buf : nullptr);
        }
        while (!decoder && bits < budget) {
            // Nothing is taken while the ring has no free datagram slot.
            if (eg->dgram_tspkt_idx == 0 && ready(eg) == EGRESS_DGRAMS - 1) {
                sent = try_to_send_dgrams(eg, 1) || sent;
                if (ready(eg) == EGRESS_DGRAMS - 1) {
                    eg->stats.ring_full.fetch_add(1, std::memory_order_relaxed);
                    break;
                }
            }
            uint16_t pid = 0;
            const uint8_t *pkt = ts_pool_read_unlocked(eg->ts_pool, &pid, meta_buf, &meta_len);
            if (!pkt)
                break;
            bits += kBitsPerPacket;
            probe_packet(eg, pkt);
            uint8_t *copy = eg->dgram[eg->dgram_wr_idx].ts_pkt + eg->dgram_tspkt_idx * 188;
            std::memcpy(copy, pkt, 188);
            if (pid) {
                copy[1] = uint8_t((copy[1] & 0xE0) | ((pid >> 8) & 0x1F));
                copy[2] = uint8_t(pid);
            }
            meta = meta_len == sizeof(ss_meta) ? meta_buf : nullptr;
            if (meta && egress_crypt_apply(eg->crypt, copy, *meta, false) != 0)
                continue; // never sent in the clear: the slot is reused
            eg->dgram_tspkt_idx = (eg->dgram_tspkt_idx + 1) % eg->dgram_tspkt_cnt;
            if (eg->dgram_tspkt_idx == 0) {
                complete_datagram(eg);
                sent = try_to_send_dgrams(eg, 0) || sent;
            }
        }
        if (sent && eg->protocol != PROTOCOL_SRT)
            try_to_send_dgrams(eg, 1);
        if (empty_at_start && ts_pool_level(eg->ts_pool) == 0)
            count(eg, eg->stats.underflow, STATS_EVT_UNDERFLOW_WARN);
        // This cycle's sample; the first cycle of a new second posts, with
        // the sent packets' continuity errors of that second.
        mcast_stats_t &smp = eg->sample;
        smp.bits.avg = bits;
        smp.buf_bits.avg = uint64_t(ts_pool_level(eg->ts_pool)) * kBitsPerPacket;
        cycle.post(smp, [eg](mcast_stats_t &s) {
            if (eg->cc_check) {
                s.evt[STATS_EVT_CC_ERROR] += ts_validation_get_error_counter(eg->cc_check);
                ts_validation_reset_error_counter(eg->cc_check);
            }
        });
        // Nothing to take and nothing to send: wait for the multiplexer
        // (bounded, so that the statistics still post every second).
        if (idle.idle(ts_pool_level(eg->ts_pool) == 0 && ready(eg) == 0)) {
            eg->wake.wait([eg] { return ts_pool_level(eg->ts_pool) != 0 || eg->halt.load(); }, nullptr, 0,
                          kIdleWaitMs);
            cycle.rewind();
        } else {
            cycle.sleep();
        }
    }
    return nullptr;
}

} // namespace

namespace {

// The oldest ready datagram to the SRT session (no RTP header).
int send_srt_dgram(mcastfwdr_egress *eg)
{
    auto drop = [eg](std::atomic<uint64_t> &c, stats_evt_t evt) {
        count(eg, c, evt);
        eg->dgram_rd_idx = (eg->dgram_rd_idx + 1) % EGRESS_DGRAMS;
        return 1;
    };
    const SRTSOCKET sock = eg->srt.sock.load(std::memory_order_acquire);
    if (!eg->srt.flags.connected_to_remote.load(std::memory_order_acquire) || sock <= 0)
        return drop(eg->stats.connect_error, STATS_EVT_CONNECT_ERROR);
    int events = 0;
    int len = sizeof events;
    if (srt_getsockflag(sock, SRTO_EVENT, &events, &len) != 0)
        return drop(eg->stats.socket_error, STATS_EVT_SOCKET_ERROR);
    if (!(events & SRT_EPOLL_OUT)) {
        count(eg, eg->stats.busy, STATS_EVT_BUSY_WARN);
        return 0;
    }
    const int size = int(188 * eg->dgram_tspkt_cnt);
    const int rc = srt_send(sock, reinterpret_cast<const char *>(eg->dgram[eg->dgram_rd_idx].ts_pkt), size);
    if (rc == 0) {
        count(eg, eg->stats.busy, STATS_EVT_BUSY_WARN);
        return 0;
    }
    if (rc < 0)
        return drop(eg->stats.socket_error, STATS_EVT_SOCKET_ERROR);
    if (rc != size)
        return drop(eg->stats.size_error, STATS_EVT_SIZE_ERROR);
    eg->stats.dgrams_sent.fetch_add(1, std::memory_order_relaxed);
    eg->dgram_rd_idx = (eg->dgram_rd_idx + 1) % EGRESS_DGRAMS;
    return 1;
}

} // namespace

extern "C" {

int try_to_send_dgrams(mcastfwdr_egress *eg, int flush)
{
    const unsigned n = ready(eg);
    if (n == 0)
        return 0;
    if (eg->protocol == PROTOCOL_SRT)
        return send_srt_dgram(eg);
    if (eg->protocol != PROTOCOL_UDP && eg->protocol != PROTOCOL_RTP) {
        mcf_post_log(SQ_LOG_WARN, "%s: Unknown egress output protocol (%d ?)", "try_to_send_dgrams", int(eg->protocol));
        return 0;
    }
    if (!flush && n < unsigned(kBatch))
        return 0;
    const bool rtp = eg->protocol == PROTOCOL_RTP;
    const size_t len = 188 * eg->dgram_tspkt_cnt + (rtp ? 12 : 0);
    mmsghdr msgs[EGRESS_DGRAMS];
    iovec iov[EGRESS_DGRAMS];
    for (unsigned i = 0; i < n; ++i) {
        egress_datagram_t &d = eg->dgram[(eg->dgram_rd_idx + i) % EGRESS_DGRAMS];
        iov[i] = {rtp ? d.rtp_hdr : d.ts_pkt, len};
        msgs[i] = {};
        msgs[i].msg_hdr.msg_iov = &iov[i];
        msgs[i].msg_hdr.msg_iovlen = 1;
    }
    const int rc = sendmmsg(eg->tx_fd, msgs, n, MSG_DONTWAIT);
    if (rc < 0) {
        if (errno == EAGAIN || errno == EWOULDBLOCK || errno == ENOBUFS) {
            count(eg, eg->stats.busy, STATS_EVT_BUSY_WARN);
            return 0; // kept for the next call
        }
        count(eg, eg->stats.socket_error, STATS_EVT_SOCKET_ERROR, n);
        eg->dgram_rd_idx = (eg->dgram_rd_idx + n) % EGRESS_DGRAMS;
        return 1;
    }
    if (rc == 0) {
        count(eg, eg->stats.busy, STATS_EVT_BUSY_WARN);
        return 0;
    }
    if (rtp && eg->redundant_transmit == REDUNDANT_XMIT_ON && eg->redundant_tx_fd >= 0)
        sendmmsg(eg->redundant_tx_fd, msgs, unsigned(rc), MSG_DONTWAIT); // its result is not used
    // Sent ones leave the ring; the rest wait for the next call.
    eg->stats.dgrams_sent.fetch_add(uint64_t(rc), std::memory_order_relaxed);
    eg->dgram_rd_idx = (eg->dgram_rd_idx + unsigned(rc)) % EGRESS_DGRAMS;
    return 1;
}

void mcf_decoder_take_packet(mcastfwdr_egress *eg, const uint8_t *pkt, const ss_meta *meta)
{
    uint8_t *copy = eg->unix_dgram + eg->unix_dgram_len;
    std::memcpy(copy, pkt, 188);
    if (eg->cc_check)
        ts_validation_check_cc(eg->cc_check, copy, 188);
    if (meta)
        egress_crypt_apply(eg->crypt, copy, *meta, true);
    eg->unix_dgram_len += 188;
    if (eg->unix_dgram_len < MCF_DECODER_DGRAM_LEN)
        return;
    eg->unix_dgram_len = 0;
    // A full receiver queue must not hold the thread: the datagram is dropped.
    const ssize_t rc = sendto(eg->tx_fd, eg->unix_dgram, MCF_DECODER_DGRAM_LEN, MSG_DONTWAIT | MSG_NOSIGNAL,
                              reinterpret_cast<const sockaddr *>(eg->tx_remote), sizeof(sockaddr_un));
    if (rc == MCF_DECODER_DGRAM_LEN) {
        totals.ts_packets_tx.fetch_add(MCF_DECODER_DGRAM_PKTS, std::memory_order_relaxed);
        if (eg->status_ts_pkts_tx)
            eg->status_ts_pkts_tx->fetch_add(MCF_DECODER_DGRAM_PKTS, std::memory_order_relaxed);
        eg->stats.dgrams_sent.fetch_add(1, std::memory_order_relaxed);
    } else if (rc < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == ENOBUFS)) {
        count(eg, eg->stats.busy, STATS_EVT_BUSY_WARN);
    } else if (rc < 0) {
        count(eg, eg->stats.socket_error, STATS_EVT_SOCKET_ERROR);
    } else if (rc == 0) {
        count(eg, eg->stats.busy, STATS_EVT_BUSY_WARN);
    } else {
        count(eg, eg->stats.size_error, STATS_EVT_SIZE_ERROR);
    }
}

mcastfwdr_egress *mcastfwdr_egress_ctor(const cfg_tx *tx, int tx_fd, int redundant_fd, std::atomic<uint64_t> *sent)
{
    auto *eg = new (std::nothrow) mcastfwdr_egress;
    if (!eg)
        return nullptr;
    const double bps = double(mcfcfg_tx_get_dest_bps_for_routing_mode(tx));
    eg->ts_pool = ts_pool_ctor(bps, 100.0);
    if (!eg->ts_pool) {
        mcf_post_log(SQ_LOG_ERROR, "ts_pool(%f, 100.0) constructor failed!", bps);
        delete eg;
        return nullptr;
    }
    eg->tx_id = tx->dest_id;
    eg->tx_fd = tx_fd;
    eg->tx_type = tx->egress_type;
    eg->crypt.tx_id = tx->dest_id;
    if (eg->tx_type == EGRTYPE_DEC) {
        eg->tx_fd = mcf_decoder_get_socket_id(tx->dest_id);
        eg->tx_remote = mcf_decoder_get_socket_remote(tx->dest_id);
        if (!eg->tx_remote) {
            mcf_post_log(SQ_LOG_ERROR, "egress-%d: no decoder socket", eg->tx_id);
            ts_pool_dtor(eg->ts_pool);
            delete eg;
            return nullptr;
        }
    }
    eg->sample.src = tx->dest_id >= 0 && tx->dest_id < STATS_IDX_EGRESS_NUM ? STATS_SRC_EGRESS : STATS_SRC_NUM;
    eg->sample.idx = stats_idx_t(tx->dest_id);
    eg->redundant_tx_fd = redundant_fd;
    eg->redundant_transmit = tx->redundant_transmit;
    std::snprintf(eg->tx_label, sizeof eg->tx_label, "%s", tx->dest_ui_label);
    eg->tmr_out_mbps = bps / 1000000.0;
    const int per = tx->dest_dvb_per_ip >= 1 && tx->dest_dvb_per_ip <= EGRESS_DGRAM_PKTS ? tx->dest_dvb_per_ip : EGRESS_DGRAM_PKTS;
    eg->dvb_per_ip = per;
    eg->dgram_tspkt_cnt = unsigned(per);
    std::random_device rd;
    eg->rtp_seq_num = uint16_t(std::uniform_int_distribution<int>(1, 1000)(rd));
    eg->protocol = tx->dest_protocol;
    if (eg->tx_type != EGRTYPE_DEC) {
        srt_control_set_owner(&eg->srt, "Output", tx->dest_id, tx->dest_ui_label, SRT_SEND, tx->dest_intf,
                              tx->dest_node, tx->dest_port, tx->dest_protocol == PROTOCOL_SRT);
        mcf::srt_settings_from_record(eg->srt, *tx);
    }
    eg->rtp_base_time = raw_ns();
    for (egress_datagram_t &d : eg->dgram)
        rtp_hdr_set_initial(d.rtp_hdr);
    eg->status_ts_pkts_tx = sent;
    eg->klv_latency.stat = stat_helper_ctor(1800);
    eg->pcr_latency.stat = stat_helper_ctor(1200);
    eg->cc_check = ts_validation_ctor(1, eg->tx_id, 3);
    if (!eg->cc_check || pthread_create(&eg->thread, nullptr, egress_thread, eg) != 0) {
        mcf_post_log(SQ_LOG_ERROR, "egress-%d: failed pthread_create", eg->tx_id);
        stat_helper_dtor(eg->klv_latency.stat);
        stat_helper_dtor(eg->pcr_latency.stat);
        ts_validation_dtor(eg->cc_check);
        ts_pool_dtor(eg->ts_pool);
        delete eg;
        return nullptr;
    }
    mcf_post_log(SQ_LOG_DEBUG, "egress-%d: thread ID %lu created", eg->tx_id, (unsigned long)eg->thread);
    return eg;
}

int mcastfwdr_egress_dtor(mcastfwdr_egress *eg)
{
    if (!eg)
        return 0;
    eg->halt.store(true);
    eg->wake.kick();
    mcf_post_log(SQ_LOG_DEBUG, "egress-%d: thread %ld join... waiting", eg->tx_id, long(eg->thread));
    if (rt_thread_join(&eg->thread, 0) == 0)
        mcf_post_log(SQ_LOG_DEBUG, "egress-%d: thread join... done", eg->tx_id);
    else
        mcf_post_log(SQ_LOG_WARN, "egress-%d: failed to join thread", eg->tx_id);
    if (eg->protocol == PROTOCOL_SRT)
        srt_helper_cleanup(&eg->srt); // clears "SRT Fail" when raised
    egress_crypt_release(eg->crypt);
    stat_helper_dtor(eg->klv_latency.stat);
    stat_helper_dtor(eg->pcr_latency.stat);
    ts_validation_dtor(eg->cc_check);
    ts_pool_dtor(eg->ts_pool);
    delete eg;
    return 0;
}

} // extern "C"

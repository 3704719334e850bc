// The send path (see send.h).
#include "send.h"

#include "ingress/manager_input.h"
#include "ingress/xsb_bridge.h"
#include "klv/klv.h"
#include "mcastfwdr.h"
#include "mux/maintainer.h"
#include "router/output_view.h"
#include "router/packet_proc.h"
#include "router/phindex.h"
#include "router/populate.h"
#include "router/rtp.h"
#include "status_queue.h"

#include <kerrow/dataset.h>
#include <kerrow/frame.h>
#include <kerrow/pipe.h>

#include <cmath>
#include <cstdio>
#include <cstring>

namespace {

constexpr double kTicksPerPktMbps = 40608.0; // 188 x 8 x 27: one packet at 1 Mbit/s in 27 MHz ticks
constexpr double kDriftLimit = 40000.0;      // about 1.48 ms
constexpr double kRealignLimit = 350000.0;   // about 13 ms
constexpr uint32_t kDriftErrorsBeforeRealign = 60;
constexpr int kPktSize = 188;
constexpr uint64_t kPcrModulus = 2576980377600ull; // 2^33 x 300

// Without the forwarder's ring (engine parts run alone) copies go to a
// small ring of our own; the multiplexer is the only writer.
alignas(64) uint8_t g_spare_ring[4096][kPktSize];
unsigned g_spare_next = 0;

// The next value of a continuity counter into a packet copy.
void next_cc(uint8_t *b, int32_t *counter)
{
    *counter = (*counter + 1) & 15;
    b[3] = uint8_t((b[3] & 0xF0) | *counter);
}

bool passed(uint32_t now, uint32_t last, uint32_t interval) { return now - last > interval; }

bool is_dvb(const manager_output *mo) { return mo->configured_tables_type == TABLES_TYPE_DVB; }
bool is_atsc(const manager_output *mo)
{
    return mo->configured_tables_type == TABLES_TYPE_ATSC_CABLE ||
           mo->configured_tables_type == TABLES_TYPE_ATSC_TERRESTRIAL;
}

uint8_t *dup(const void *pkt) { return reinterpret_cast<uint8_t *>(mcastfwdr_get_dup_pkt(static_cast<const tsPkt *>(pkt))); }

const uint8_t *atsc_slot_packet(manager_output *mo, uint32_t c)
{
    output_table_config_t &t = mo->tables;
    auto shared_cc = [&t](const tsPkt &pkt) {
        uint8_t *p = dup(&pkt);
        next_cc(p, &t.atsc_pkt_cc);
        return p;
    };
    if (passed(c, t.last_mgt_packet, mo->PKTS_PER_MGT)) {
        t.last_mgt_packet = c;
        t.mgt_sent = 1;
        return shared_cc(t.mgt_pkt);
    }
    if (passed(c, t.last_stt_packet, mo->PKTS_PER_STT)) {
        t.last_stt_packet = c;
        manager_output_update_stt_table(mo); // the time now
        return shared_cc(t.stt_pkt);
    }
    const int rrt_n = t.rrt_pkts_used < MO_RRT_PKTS ? t.rrt_pkts_used : MO_RRT_PKTS;
    if (rrt_n > 0 && passed(c, t.last_rrt_packet, mo->PKTS_PER_RRT)) {
        t.last_rrt_packet = c;
        t.rrt_cur_pkt = &t.rrt_pkts[1];
        t.rrt_sent = 1;
        return shared_cc(t.rrt_pkts[0]);
    }
    if (t.rrt_cur_pkt > &t.rrt_pkts[0] && t.rrt_cur_pkt < &t.rrt_pkts[rrt_n > 0 ? rrt_n : 0])
        return shared_cc(*t.rrt_cur_pkt++);
    const int vct_n = t.vct_pkts_used < MO_VCT_PKTS ? t.vct_pkts_used : MO_VCT_PKTS;
    if (vct_n > 0 && passed(c, t.last_vct_packet, mo->PKTS_PER_VCT)) {
        t.last_vct_packet = c;
        t.vct_cur_pkt = &t.vct_pkts[1];
        t.vct_sent = 1;
        return shared_cc(t.vct_pkts[0]);
    }
    if (t.vct_cur_pkt > &t.vct_pkts[0] && t.vct_cur_pkt < &t.vct_pkts[vct_n > 0 ? vct_n : 0])
        return shared_cc(*t.vct_cur_pkt++);
    for (int k = 0; k < MO_EIT_SLOTS; ++k)
        for (int j = 0; j < t.eit_pkts[k] && j < MO_PMTS_MAX; ++j)
            if (passed(c, t.last_eit_packet[k][j], mo->PKTS_PER_EIT)) {
                t.last_eit_packet[k][j] = c;
                t.eit_sent[k] = 1;
                uint8_t *p = dup(&t.eit_pkt[k][j]);
                next_cc(p, &t.eit_pkts_cc[k]);
                return p;
            }
    return nullptr;
}

// The next packet of one of the BISS-CA transmitter's carousels (ECM or
// EMM), copied into the ring. Play-out swaps a prepared EMM set in, which
// the loop writes outside the control lock while it holds ca_tx_mutex: the
// carousel is read only with the mutex taken, never waited for; while the
// loop prepares, this slot goes to the next kind of packet.
const uint8_t *ca_carousel_packet(manager_output *mo, biss2ca_tx *tx, uint32_t c, int (*ready)(biss2ca_tx *, int32_t),
                                  tsPkt *(*read)(biss2ca_tx *, int32_t))
{
    if (!tx || !manager_output_ca_tx_try_lock(mo))
        return nullptr;
    const uint8_t *p = nullptr;
    if (ready(tx, int32_t(c)) > 0)
        if (tsPkt *pkt = read(tx, int32_t(c)))
            p = dup(pkt);
    manager_output_ca_tx_unlock(mo);
    return p;
}

// The first due table, CA or KLV packet for a free slot at output packet
// c, copied into the ring with its bookkeeping done; null when none is due.
const uint8_t *due_slot_packet(manager_output *mo, uint32_t c)
{
    output_table_config_t &t = mo->tables;
    const bool pmts = t.num_pmts > 0;
    const bool sys = passed(c, t.last_sys_packet, mo->PTKS_PER_SYS);
    if (pmts && sys && passed(c, t.last_pat_packet, mo->PTKS_PER_PAT)) {
        uint8_t *p = dup(&t.pat_pkt);
        next_cc(p, &t.pat_pkt_cc);
        t.last_pat_packet = t.last_sys_packet = c;
        t.pat_sent = 1;
        return p;
    }
    if (pmts && sys)
        for (int i = 0; i < t.num_pmts && i < MO_PMTS_MAX; ++i)
            if (t.pmt_rdrs[i] && section_reader_is_pkt_ready(t.pmt_rdrs[i], int32_t(c)))
                if (tsPkt *pkt = section_reader_read(t.pmt_rdrs[i], int32_t(c))) {
                    t.last_sys_packet = c;
                    return dup(pkt);
                }
    if (mo->inject_ts_queue && ts_pool_level(mo->inject_ts_queue) > 0) {
        uint16_t pid = 0;
        unsigned meta_len = 0;
        uint8_t meta[64];
        if (const uint8_t *k = ts_pool_read_unlocked(mo->inject_ts_queue, &pid, meta, &meta_len)) {
            uint8_t *p = dup(k);
            // The copy is in the output's ring: the KLV ring's slot can go.
            mcastfwdr_klv_mark_pkt_injected(k);
            return p;
        }
    }
    const bool dvb = is_dvb(mo);
    if (dvb && pmts && sys && passed(c, t.last_cat_packet, mo->PTKS_PER_CAT)) {
        tsphIterContinuityCounter(&t.cat_pkt);
        t.last_cat_packet = t.last_sys_packet = c;
        return dup(&t.cat_pkt);
    }
    biss2ca_tx *tx = dvb ? mo->biss2ca_tx : nullptr;
    if (const uint8_t *p = ca_carousel_packet(mo, tx, c, biss2ca_tx_ecm_is_pkt_ready, biss2ca_tx_ecm_read))
        return p;
    if (dvb && t.sdt_info.num_service_info > 0 && t.sdt_rdr && section_reader_is_pkt_ready(t.sdt_rdr, int32_t(c)))
        if (tsPkt *pkt = section_reader_read(t.sdt_rdr, int32_t(c))) {
            t.sdt_sent = 1;
            return dup(pkt);
        }
    if (const uint8_t *p = ca_carousel_packet(mo, tx, c, biss2ca_tx_emm_is_pkt_ready, biss2ca_tx_emm_read))
        return p;
    return is_atsc(mo) ? atsc_slot_packet(mo, c) : nullptr;
}

// The scrambling data of a packet for this output; false when it needs none.
bool scrambling_data(manager_output *mo, int ca_id, const uint8_t *pkt, ss_meta &m)
{
    m.ca_id = -1;
    m.decrypt = 0;
    if (ca_id >= 0 && mo->biss2ca_tx) {
        m.ca_id = ca_id;
        m.sw_count = biss2ca_tx_get_sw_count(mo->biss2ca_tx);
        biss2ca_tx_get_sw(mo->biss2ca_tx, m.sw);
    }
    const unsigned scram = pkt[3] >> 6;
    biss2ca_rx *rx = mo->biss2ca_rx;
    if ((scram == TS_SCRAM_CTRL_ODD || scram == TS_SCRAM_CTRL_EVEN) && rx && biss2ca_rx_has_session_word(rx)) {
        const bool allowed = mo->type == EGRTYPE_DEC ? !biss2ca_rx_prevent_decoded_forward(rx)
                                                     : !biss2ca_rx_prevent_descrambled_forward(rx);
        const int odd = scram == TS_SCRAM_CTRL_ODD;
        if (allowed && biss2ca_rx_get_session_word(rx, odd, m.decrypt_sw) > 0) {
            m.decrypt = odd ? 1 : 2;
            mo->biss2ca_rx_ts_pkts.fetch_add(1, std::memory_order_relaxed);
        }
    }
    return m.ca_id != -1 || m.decrypt != 0;
}

void reset_window(pcr_window_info *w, double pcr, uint8_t *af)
{
    pcr_window_save_pcr(w, pcr, pcr);
    pcr_window_reset_pkts(w);
    af[1] |= 0x80; // discontinuity_indicator in the copy
}

// The restamping of one PCR on the debug stream while that is open: one
// line a PCR, naming input, output and PID, with the values when the PCR
// was restamped.
class pcr_trace {
public:
    pcr_trace(int in_id, int out_id, int pid) : f_(mcfwdrDebugStreamFile(DSID_MCASTFWDR))
    {
        if (f_)
            std::fprintf(f_, "Input %u Output %u PID= %4x", unsigned(in_id), unsigned(out_id), unsigned(pid));
    }
    pcr_trace(const pcr_trace &) = delete;
    pcr_trace &operator=(const pcr_trace &) = delete;
    ~pcr_trace()
    {
        if (!f_)
            return;
        if (open_) // a reference PCR or none to restamp: the line ends bare
            std::fputc('\n', f_);
        std::fflush(f_);
    }
    void restamped(uint64_t actual, uint64_t calc, int64_t diff, uint32_t disc)
    {
        if (!f_)
            return;
        std::fprintf(f_, "  PCR actual= %llu PCR_calc= %llu Diff= %lld Disc= %u\n", (unsigned long long)actual,
                     (unsigned long long)calc, (long long)diff, unsigned(disc));
        open_ = false;
    }
    void realign(int out_id)
    {
        if (f_)
            std::fprintf(f_, "  ==== Restart output %u to realign PCRs ==== \n", unsigned(out_id));
    }

private:
    FILE *f_;
    bool open_ = true;
};

// Logs an error of an input's datagram, at most once a second per input.
template <class... A> void log_bad_datagram(manager_input *mi, const char *fmt, A... args)
{
    uint32_t suppressed = 0;
    if (!mi->rx.may_log(&suppressed))
        return;
    char text[MCF_LOG_TEXT_SIZE];
    std::snprintf(text, sizeof text, fmt, args...);
    if (suppressed)
        mcf_post_log(SQ_LOG_WARN, "%s (%u more since)", text, suppressed);
    else
        mcf_post_log(SQ_LOG_WARN, "%s", text);
}

void offer_unreferenced(manager_input *mi, tsPkt *pkt, int pid)
{
    int taken = 0;
    mcf::for_each_output([&](manager_output *mo) { process_unreferenced_data(mo, mi, pkt, &taken); });
    if (!taken)
        add_ignored_pid_handler(mi, pid);
}

} // namespace

extern "C" {

tsPkt *mcastfwdr_get_dup_pkt(const tsPkt *pkt)
{
    uint8_t *slot;
    if (kd_circbuf *cb = circbuf) {
        slot = kd_circbuf_get_write(cb); // the ring's mutex until the advance
        std::memcpy(slot, pkt, kPktSize);
        if (kd_circbuf_inc_write(cb, kPktSize, 0) != 0) {
            mcf_post_log(SQ_LOG_ERROR, "Circbuf error: %s", kd_frame_strerror(kd_errno));
            kd_circbuf_unlock_rdwr(cb);
        }
    } else {
        slot = g_spare_ring[g_spare_next++ % (sizeof g_spare_ring / kPktSize)];
        std::memcpy(slot, pkt, kPktSize);
    }
    return reinterpret_cast<tsPkt *>(slot);
}

int mcastfwdr_update_pid_list(kd_dataset *set, char *buf, size_t size, int pid)
{
    if (set && !kd_dataset_exists(set, pid) && kd_dataset_insert(set, pid) == 0 && buf)
        kd_dataset_to_string(set, buf, size);
    return 0;
}

int mcastfwdr_handle_adaptation_field(uint8_t *af, const adaptation_field *flags, pcr_window_infos *pcrs,
                                      pcr_window_info *window, manager_input *mi, manager_output *mo, int pid,
                                      pcr_pts_service *svc)
{
    if (!af || !flags || flags->length == 0 || !mi || !mo)
        return 0;
    const int in_id = manager_input_id(mi);
    if (flags->discontinuity_indicator) {
        uint32_t suppressed = 0;
        if (mi->rx.may_log_pcr(&suppressed))
            mcf_post_log(SQ_LOG_INFO, "Input %d: Detected PCR discontinuity (pid %d).", in_id, pid);
    }
    if (!flags->pcr_flag)
        return 0;
    pcr_windows_add(pcrs, mi, mo, pid);
    pcr_trace trace(in_id, mo->id, pid);
    pcr_window_info *w = window;
    if (!w) {
        // A window made just now starts counting here.
        w = pcr_windows_find(pcrs, in_id, pid);
        pcr_window_save_pkts(w, pcr_window_get_total_pkts_rx(w), mcf::out_ts_pkts_rx(mo));
    }
    if (!w)
        return 0;
    uint8_t *field = af + 2;
    const uint64_t p_ticks = pcr_t_to_pcr(tsphPcrGet(field));
    const double P = double(p_ticks);
    if (svc)
        svc->pcr_base = p_ticks / 300;
    if (pcr_window_ignore_first_few(w) || flags->discontinuity_indicator) {
        reset_window(w, P, af);
        return 0;
    }
    const mcastfwdr_tmr *tmr = pcr_window_get_tmr(w);
    const double mbps_in = tmr ? tmr->mbps_in : 0, mbps_out = tmr ? tmr->mbps_in + tmr->mbps_fill : 0;
    const double prev_actual = pcr_window_get_pcr_prev_actual(w);
    const double D = P >= prev_actual ? P - prev_actual : (MCF_PCR_MAX - prev_actual) + P + 1;
    const double rx = pcr_window_get_pkts_rx(w), tx = pcr_window_get_pkts_tx(w);
    // A repeated PCR, no packets between two PCRs or a rate of 0 give no
    // ratio: start again from this PCR.
    if (!(D > 0) || !(mbps_in > 0) || !(mbps_out > 0) || !(rx > 0)) {
        reset_window(w, P, af);
        return 0;
    }
    const double k = (rx * kTicksPerPktMbps / D) / mbps_in;
    double Q = pcr_window_get_pcr_prev_calc(w) + tx / (k * mbps_out * (1.0 / kTicksPerPktMbps));
    if (Q > MCF_PCR_MAX)
        Q = Q - MCF_PCR_MAX - 1;
    const double E = rx / mbps_in * kTicksPerPktMbps;
    if (D - E > kDriftLimit || D - E < -kDriftLimit || D >= MCF_PCR_STEP_RESET) {
        mi->pcr_discontinuity_occurred.store(1, std::memory_order_relaxed);
        reset_window(w, P, af);
        return 0;
    }
    uint64_t N = uint64_t(Q + 0.5);
    if (N >= kPcrModulus)
        N -= kPcrModulus;
    tsphPcrSet(field, N);
    // P - N the short way round the PCR circle: a wrap between them is no drift.
    const int64_t diff = mcastfwdr_get_dist(N, p_ticks, kPcrModulus);
    trace.restamped(p_ticks, N, diff, mi->pcr_discontinuity_occurred.load(std::memory_order_relaxed));
    if ((diff > kRealignLimit || diff < -kRealignLimit) && !mi->pcr_discontinuity_occurred.load(std::memory_order_relaxed)) {
        pcr_window_save_pcr(w, P, P);
        pcr_window_reset_pkts(w);
        const uint32_t errors = mo->pcr_drift_err_cnt.load(std::memory_order_relaxed);
        if (errors <= kDriftErrorsBeforeRealign) {
            mo->pcr_drift_err_cnt.store(errors + 1, std::memory_order_relaxed);
            return 0;
        }
        mo->pcr_drift_err_cnt.store(0, std::memory_order_relaxed);
        trace.realign(mo->id);
        manager_output_rebuild_fill_engine(mo);
        return 0;
    }
    pcr_window_save_pcr(w, P, Q);
    pcr_window_reset_pkts(w);
    if (svc) {
        svc->pcr_base = N / 300;
        svc->pcr_base_is_updated = 1;
    }
    return 0;
}

int __mcastfwdr_send(manager_output *mo, int out_pid, int ca_id, const tsPkt *pkt, pkt_inject inject)
{
    const uint32_t c = mcf::out_ts_pkts_rx(mo);
    const auto *out = reinterpret_cast<const uint8_t *>(pkt);
    if (inject == CAN_INJECT) {
        // A free slot: a due table packet, else the null packet (never the
        // input's own unrouted packet).
        const uint8_t *slot = due_slot_packet(mo, c);
        out = slot ? slot : mcastfwdr_fill_get_packet();
        out_pid = 0;
    }
    if (c - mo->tables.last_pat_packet > 10u * mo->PTKS_PER_PAT)
        mo->table_injection_is_failing.store(1, std::memory_order_relaxed);
    ss_meta m;
    const bool meta = scrambling_data(mo, ca_id, out, m);
    const int rc = ts_pool_write_locked(mcf::out_pool(mo), out, uint16_t(out_pid), meta ? &m : nullptr,
                                        meta ? unsigned(sizeof m) : 0);
    if (rc < 0)
        return rc;
    mcf::out_count_packet(mo);
    return kPktSize;
}

int mcastfwdr_handle_send_and_fill(manager_output *mo, int out_pid, int ca_id, const tsPkt *pkt, int in_pid,
                                   pkt_inject inject)
{
    mcastfwdr_fill *fill = mo->fill;
    if (!fill || !mcf::out_pool(mo))
        return -1;
    if (!mcastfwdr_fill_can_send_packet(fill, in_pid))
        return 0;
    if (__mcastfwdr_send(mo, out_pid, ca_id, pkt, inject) < 0)
        return -1;
    int bytes = kPktSize;
    if (mcastfwdr_fill_get_mbps_fill(fill) > 0) {
        const int n = mcastfwdr_fill_get_num_packets(fill);
        const auto *null_pkt = reinterpret_cast<const tsPkt *>(mcastfwdr_fill_get_packet());
        for (int i = 0; i < n; ++i) {
            if (__mcastfwdr_send(mo, 0, -1, null_pkt, CAN_INJECT) != kPktSize)
                break;
            bytes += kPktSize;
        }
    }
    return bytes;
}

int mcastfwdr_handle_and_send_msg_in(manager_input *mi, uint8_t *buf, int len, const struct timespec *tstamp)
{
    if (!mi || !buf)
        return -1;
    const int id = manager_input_id(mi);
    int plen = len;
    uint8_t *payload = rtp_hdr_skip(mi, buf, len, &plen);
    if (plen < 1) {
        log_bad_datagram(mi, "Input %d: Invalid packet length (%d)", id, plen);
        return -1;
    }
    if (plen % kPktSize) {
        log_bad_datagram(mi, "Frame buffer not a multiple of 188! (%d) - Input %d.", plen, id);
        return -1;
    }
    if (!mi->streaming.load(std::memory_order_relaxed))
        mi->rx.clear_pids();
    manager_input_update_stream_status(mi);
    const int n = plen / kPktSize;
    mi->rx.set_dvb_per_ip(n);
    totals.ip_packets_rx.fetch_add(1, std::memory_order_relaxed);
    totals.ts_packets_rx.fetch_add(n, std::memory_order_relaxed);
    mi->ts_packets_rx.fetch_add(uint64_t(n), std::memory_order_relaxed);
    if ((mi->type == INGRTYPE_NET || mi->type == INGRTYPE_ASIIN) && mi->is_bridged)
        mcastfwdr_ingress_send_ts_data_into_ring(payload, size_t(plen), id);
    for (int i = 0; i < n; ++i) {
        uint8_t *b = payload + i * kPktSize;
        auto *pkt = reinterpret_cast<tsPkt *>(b);
        if (b[0] != 0x47) {
            log_bad_datagram(mi, "Input %d: packet %d of %d has no sync byte (0x%02x); rest of datagram dropped", id,
                             i + 1, n, b[0]);
            return -1;
        }
        const int pid = (b[1] & 0x1F) << 8 | b[2];
        mi->rx.note_pid(unsigned(pid));
        if (phindex_process(mi, pid, pkt, tstamp) == -1 && !phindex_find(id, pid))
            offer_unreferenced(mi, pkt, pid);
        if (!mi->is_routable)
            continue;
        // Fetched per packet: a deferred rebuild inside the index may renew the list.
        unsigned singles = 0;
        manager_output *const *single = mcf::single_input_outputs(id, &singles);
        for (unsigned s = 0; s < singles; ++s)
            process_single_input_routing(single[s], id, pkt);
    }
    return 0;
}

} // extern "C"

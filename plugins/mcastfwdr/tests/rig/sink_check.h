// The sink side of the forwarder rig: datagrams captured from an output and
// checked as a receiver would check them: framing, continuity per PID, the
// PAT and the PMTs (read by libdvbpsi) and the PIDs present.
#pragma once

#include <dvbpsi/dvbpsi.h>
#include <dvbpsi/descriptor.h>
#include <dvbpsi/pat.h>
#include <dvbpsi/pmt.h>
#include <dvbpsi/psi.h>
#include <dvbpsi/demux.h>
#include <dvbpsi/sdt.h>

#include <cstdint>
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

namespace mcfrig {

struct pmt_seen {
    int pcr_pid = -1;
    std::set<int> es;
};

// What the checker learnt of one output stream.
class sink_check {
public:
    sink_check()
        : pat_(dvbpsi_new(nullptr, DVBPSI_MSG_NONE), dvbpsi_delete),
          sdt_(dvbpsi_new(nullptr, DVBPSI_MSG_NONE), dvbpsi_delete)
    {
        dvbpsi_pat_attach(pat_.get(), on_pat, this);
        dvbpsi_AttachDemux(sdt_.get(), on_subtable, this);
    }
    ~sink_check()
    {
        for (uint16_t ext : sdt_exts_)
            dvbpsi_sdt_detach(sdt_.get(), 0x42, ext);
        dvbpsi_DetachDemux(sdt_.get());
        for (auto &[pid, h] : pmts_)
            dvbpsi_pmt_detach(h.get());
        dvbpsi_pat_detach(pat_.get());
    }
    sink_check(const sink_check &) = delete;
    sink_check &operator=(const sink_check &) = delete;

    // One datagram as received (rtp: a 12-byte RTP header first).
    void datagram(const uint8_t *d, size_t len, bool rtp = false)
    {
        ++datagrams;
        if (rtp) {
            if (len < 12 || (d[0] & 0xC0) != 0x80) {
                ++framing_errors;
                return;
            }
            const int seq = d[2] << 8 | d[3];
            if (rtp_seq_ >= 0 && seq != ((rtp_seq_ + 1) & 0xFFFF))
                ++rtp_seq_errors;
            rtp_seq_ = seq;
            rtp_payload_types.insert(d[1] & 0x7F);
            d += 12;
            len -= 12;
        }
        if (len == 0 || len % 188 != 0) {
            ++framing_errors;
            return;
        }
        for (size_t off = 0; off < len; off += 188)
            packet(d + off);
    }

    void packet(const uint8_t *p)
    {
        ++packets;
        bytes.insert(bytes.end(), p, p + 188);
        if (p[0] != 0x47) {
            ++framing_errors;
            return;
        }
        const int pid = (p[1] & 0x1F) << 8 | p[2];
        pids.insert(pid);
        if (pid == 0x1FFF)
            return;
        continuity(pid, p);
        if (pid == 0)
            dvbpsi_packet_push(pat_.get(), const_cast<uint8_t *>(p));
        else if (pid == 17)
            dvbpsi_packet_push(sdt_.get(), const_cast<uint8_t *>(p));
        else if (auto it = pmts_.find(pid); it != pmts_.end())
            dvbpsi_packet_push(it->second.get(), const_cast<uint8_t *>(p));
    }

    // The largest distance, in 27 MHz ticks, of a PCR on `pid` from what its
    // position in the received stream implies at `bps`, from the PID's
    // fourth PCR on, counted from its third (a receiver's clock settles on
    // the first ones); -1 with fewer than four PCRs.
    double pcr_worst_error(int pid, double bps) const { return pcr_check(pid, bps, 0).worst; }

    // The same, where the PCRs may step by `realign` ticks or more (an
    // output that realigns a program's PCRs to its input's clock when they
    // drift that far apart): each such step starts the count afresh from
    // the PCR after it. With the number of steps, and of the PCRs checked
    // that carry the discontinuity indicator.
    struct pcr_report {
        double worst = -1;
        unsigned steps = 0, discontinuities = 0;
    };
    pcr_report pcr_check(int pid, double bps, double realign) const
    {
        constexpr uint64_t kWrap = 2576980377600ull; // 2^33 x 300
        pcr_report r;
        size_t n = 0, ref_pos = 0, prev_pos = 0;
        uint64_t ref = 0, prev = 0;
        auto distance = [&](uint64_t from, size_t from_pos, uint64_t to, size_t to_pos) {
            const double got = double((to + kWrap - from) % kWrap);
            const double want = double(to_pos - from_pos) * 1504.0 * 27e6 / bps;
            return got > want ? got - want : want - got;
        };
        for (size_t pos = 0; (pos + 1) * 188 <= bytes.size(); ++pos) {
            const uint8_t *p = bytes.data() + pos * 188;
            if (((p[1] & 0x1F) << 8 | p[2]) != pid || !(p[3] & 0x20) || p[4] == 0 || !(p[5] & 0x10))
                continue;
            const uint64_t base = uint64_t(p[6]) << 25 | uint64_t(p[7]) << 17 | uint64_t(p[8]) << 9 |
                                  uint64_t(p[9]) << 1 | p[10] >> 7;
            const uint64_t pcr = base * 300 + ((p[10] & 1) << 8 | p[11]);
            if (n >= 3 && realign > 0 && distance(prev, prev_pos, pcr, pos) >= realign) {
                ++r.steps;
                n = 2; // this one is the new reference
            }
            if (++n == 3) {
                ref = pcr;
                ref_pos = pos;
            } else if (n > 3) {
                r.worst = std::max(r.worst, distance(ref, ref_pos, pcr, pos));
            }
            if (n >= 3)
                r.discontinuities += (p[5] & 0x80) != 0;
            prev = pcr;
            prev_pos = pos;
        }
        return r;
    }

    // Where the counters jumped, for a failure message: "PID 0x100 at 1200 1507; ...".
    std::string cc_report() const
    {
        std::string r;
        for (const auto &[pid, at] : cc_errors_at) {
            char head[32];
            std::snprintf(head, sizeof head, "PID 0x%x at", pid);
            r += head;
            for (uint64_t n : at)
                r += " " + std::to_string(n);
            r += "; ";
        }
        return r;
    }

    uint64_t datagrams = 0, packets = 0, framing_errors = 0, cc_errors = 0, rtp_seq_errors = 0;
    std::map<int, std::vector<uint64_t>> cc_errors_at; // PID -> packet counts where its counter jumped
    std::set<int> rtp_payload_types;
    std::set<int> pids;
    std::map<int, int> programs;     // program number -> PMT PID (the last PAT)
    std::map<int, pmt_seen> pmt;     // program number -> its last PMT
    std::map<int, std::string> sdt;  // service id -> name (the last actual SDT)
    std::vector<uint8_t> bytes;      // the stream as received

private:
    using handle = std::unique_ptr<dvbpsi_t, void (*)(dvbpsi_t *)>;

    void continuity(int pid, const uint8_t *p)
    {
        const bool payload = p[3] & 0x10;
        const int cc = p[3] & 0x0F;
        const bool discontinuity = (p[3] & 0x20) && p[4] > 0 && (p[5] & 0x80);
        auto it = cc_.find(pid);
        if (it != cc_.end() && payload && !discontinuity) {
            const int want = (it->second + 1) & 0x0F;
            if (cc != want && cc != it->second) { // a single duplicate is allowed
                ++cc_errors;
                cc_errors_at[pid].push_back(packets);
            }
        }
        if (payload)
            cc_[pid] = cc;
    }
    static void on_pat(void *d, dvbpsi_pat_t *p)
    {
        auto *self = static_cast<sink_check *>(d);
        self->programs.clear();
        for (dvbpsi_pat_program_t *pg = p->p_first_program; pg; pg = pg->p_next) {
            self->programs[pg->i_number] = pg->i_pid;
            if (pg->i_number != 0 && !self->pmts_.count(pg->i_pid)) {
                handle h(dvbpsi_new(nullptr, DVBPSI_MSG_NONE), dvbpsi_delete);
                self->pmt_ctx_.push_back(std::make_unique<pmt_ctx>(pmt_ctx{self, int(pg->i_number)}));
                dvbpsi_pmt_attach(h.get(), pg->i_number, on_pmt, self->pmt_ctx_.back().get());
                self->pmts_.emplace(pg->i_pid, std::move(h));
            }
        }
        dvbpsi_pat_delete(p);
    }
    struct pmt_ctx {
        sink_check *self;
        int number;
    };
    static void on_pmt(void *d, dvbpsi_pmt_t *p)
    {
        auto *c = static_cast<pmt_ctx *>(d);
        pmt_seen &s = c->self->pmt[c->number];
        s.pcr_pid = p->i_pcr_pid;
        s.es.clear();
        for (dvbpsi_pmt_es_t *e = p->p_first_es; e; e = e->p_next)
            s.es.insert(e->i_pid);
        dvbpsi_pmt_delete(p);
    }

    static void on_subtable(dvbpsi_t *h, uint8_t table_id, uint16_t ext, void *d)
    {
        auto *self = static_cast<sink_check *>(d);
        if (table_id != 0x42 || !dvbpsi_sdt_attach(h, table_id, ext, on_sdt, self))
            return;
        self->sdt_exts_.push_back(ext);
    }
    static void on_sdt(void *d, dvbpsi_sdt_t *p)
    {
        auto *self = static_cast<sink_check *>(d);
        self->sdt.clear();
        for (dvbpsi_sdt_service_t *sv = p->p_first_service; sv; sv = sv->p_next) {
            std::string name;
            for (dvbpsi_descriptor_t *ds = sv->p_first_descriptor; ds; ds = ds->p_next)
                if (ds->i_tag == 0x48 && ds->i_length >= 3) {
                    const uint8_t *b = ds->p_data;
                    const size_t prov = b[1];
                    if (2 + prov < ds->i_length)
                        name.assign(reinterpret_cast<const char *>(b + 3 + prov),
                                    std::min<size_t>(b[2 + prov], ds->i_length - 3 - prov));
                }
            self->sdt[sv->i_service_id] = name;
        }
        dvbpsi_sdt_delete(p);
    }

    handle pat_, sdt_;
    std::vector<uint16_t> sdt_exts_;
    std::map<int, handle> pmts_; // by PMT PID
    std::vector<std::unique_ptr<pmt_ctx>> pmt_ctx_;
    std::map<int, int> cc_;
    int rtp_seq_ = -1;
};

} // namespace mcfrig

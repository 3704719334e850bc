// Packet rules of one decoder channel (ISO/IEC 13818-1 2.4.4 for PAT and
// PMT, ETSI EN 300 468 5.2.3 for the SDT).
#include "ingress.h"

#include <kerrow/pipe.h>

#include <byte_reader.h>
#include <mpegts_crc.h>
#include <psi_pat.h>
#include <psi_pmt.h>
#include <psi_section.h>
#include <ts_packet.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string_view>

const uint32_t decode_tmr_bps[DEC_CHANNELS] = {100000000, 25000000};

namespace {

constexpr uint16_t kPidPat = 0x0000, kPidSdt = 0x0011;
constexpr uint8_t kTidPat = 0x00, kTidPmt = 0x02, kTidSdtActual = 0x42;
constexpr size_t kSection = 1024;

const tsPkt *as_pkt(const uint8_t *p) { return reinterpret_cast<const tsPkt *>(p); }

using mpegts::byte_reader;

// A fetched section whose CRC holds; else -1 (counted as not complete).
int fetch(section_dmux *d, uint8_t *buf)
{
    const int len = section_dmux_get_section(d, buf, kSection);
    if (len < 12 || DvbCrc32Check(buf, size_t(len)) != 1)
        return -1;
    return len;
}

// The elementary streams of a checked PMT section; false when a loop
// runs past the section.
bool parse_pmt(const uint8_t *sec, int len, pid_info_data &info)
{
    byte_reader r{sec, size_t(len) - 4}; // without the CRC
    r.skip(8);
    info.pcr_pid = r.u16() & 0x1FFF;
    r.skip(r.u16() & 0x0FFF);
    while (!r.bad && r.left > 0) {
        const uint8_t type = r.u8();
        const uint16_t pid = r.u16() & 0x1FFF;
        r.skip(r.u16() & 0x0FFF);
        if (r.bad)
            break;
        switch (type) {
        case 0x24: info.video_pid = pid, info.video_mode = M30_VIDEO_MODE_HEVC; break;
        case 0x1B: info.video_pid = pid, info.video_mode = M30_VIDEO_MODE_H264; break;
        case 0x02: info.video_pid = pid, info.video_mode = M30_VIDEO_MODE_MPEG2; break;
        case 0x11:
        case 0x03:
            if (info.audio_count < DEC_MAX_AUDIO_PIDS)
                info.audio[info.audio_count++] = {pid, type == 0x11 ? M30_AUDIO_MODE_AAC_LC : M30_AUDIO_MODE_MPEG1_L2};
            break;
        default: break;
        }
    }
    return !r.bad;
}

// Names of the first service when its first descriptor is a service
// descriptor (tag 0x48); empty otherwise. False when the section is
// malformed.
bool parse_sdt_names(const uint8_t *sec, int len, std::string_view &name, std::string_view &provider)
{
    byte_reader r{sec, size_t(len) - 4};
    r.skip(11); // header, original_network_id, reserved
    name = provider = {};
    if (r.left == 0)
        return !r.bad;
    r.skip(3); // service_id, EIT flags
    const uint16_t loop = r.u16() & 0x0FFF;
    if (loop < 2)
        return !r.bad;
    const uint8_t tag = r.u8(), dlen = r.u8();
    if (r.bad || tag != 0x48)
        return !r.bad;
    byte_reader d = r.sub(dlen);
    d.skip(1); // service_type
    std::string_view prov = d.text(d.u8());
    std::string_view nm = d.text(d.u8());
    if (d.bad || r.bad)
        return false;
    provider = prov, name = nm;
    return true;
}

} // namespace

const char *dp_fault_text(int reason)
{
    switch (reason) {
    case DP_FAULT_PAT: return "PAT handling";
    case DP_FAULT_PMT: return "PMT handling";
    case DP_FAULT_INCOMPATIBLE: return "Incompatible Pgm";
    case DP_FAULT_MSGQ_FULL: return "MsgQ Full";
    case DP_FAULT_SDT: return "SDT handling";
    case DP_FAULT_ENCRYPTED: return "Encrypted";
    default: return "<Unknown>";
    }
}

ingress_channel::ingress_channel(unsigned ch, kt3300_ctx *board)
    : ch_(ch), board_(board), start_level_(egr_mid_pkts(decode_tmr_bps[ch]))
{
    if (board_) {
        egr_ = kt3300_egr_wrtr_alloc(ch, board_);
        kt3300_egress_set_tmr(board_, ch, decode_tmr_bps[ch]);
        monitor_ = decode_egress_monitor_ctor(board_, egr_, ch, decode_tmr_bps[ch]);
    }
    tables_.pat_section = section_dmux_nocc_ctor(kPidPat, kSection);
    tables_.pmt_section = section_dmux_nocc_ctor(0, kSection);
    tables_.sdt_section = section_dmux_nocc_ctor(kPidSdt, kSection);
}

ingress_channel::~ingress_channel()
{
    section_dmux_dtor(tables_.pat_section);
    section_dmux_dtor(tables_.pmt_section);
    section_dmux_dtor(tables_.sdt_section);
    kt3300_egr_wrtr_free(egr_);
    decode_egress_monitor_dtor(monitor_);
}

void ingress_channel::reset_buffers()
{
    if (egr_)
        kt3300_egr_wrtr_clear(egr_);
    egr_started_ = false;
    decode_egress_monitor_stop(monitor_);
}

void ingress_channel::enter_fault_state()
{
    in_fault_.store(true, std::memory_order_relaxed);
    tables_.pat_version = tables_.pmt_version = tables_.sdt_version = -1;
    tables_.pmt_pid = 0;
    dec().stats[ch_].set_service({}, {});
    reset_buffers();
}

void ingress_channel::fault(int reason)
{
    if (!in_fault()) {
        decode_post_log(DEC_LOG_WARN, "Chn %u entering data path fault on: %s", ch_, dp_fault_text(reason));
        enter_fault_state();
    }
}

void ingress_channel::leave_fault()
{
    if (in_fault()) {
        decode_post_log(DEC_LOG_INFO, "Chn %u exiting data path fault on valid program change", ch_);
        in_fault_.store(false, std::memory_order_relaxed);
    }
    decode_audio_signal_reset(ch_);
}

void ingress_channel::forward(const uint8_t *pkt)
{
    if (in_fault())
        return;
    decoder &d = dec();
    if (kd_pipe_t *pipe = d.audio_decode_feed[ch_];
        pipe && kd_pipe_write_unlocked(pipe, pkt) != 0 && decode_audio_is_reading_feed(ch_))
        ++d.stats[ch_].buf_pkts_loss;
    if (!egr_)
        return;
    kt3300_egr_wrtr_write(egr_, pkt);
    if (!egr_started_ && kt3300_egr_wrtr_get_level(egr_) > int(start_level_)) {
        decode_post_log(DEC_LOG_DEBUG, "Chn %u egress buffer started", ch_);
        kt3300_egr_wrtr_start(egr_);
        decode_egress_monitor_start(monitor_);
        egr_started_ = true;
    }
}

void ingress_channel::rule_pat(const uint8_t *pkt)
{
    // A PAT must complete in the packet that carries it.
    const int r = section_dmux_process(tables_.pat_section, as_pkt(pkt));
    const int len = r > 0 && section_dmux_get_table_id(tables_.pat_section) == kTidPat
                        ? fetch(tables_.pat_section, section_)
                        : -1;
    const auto *pat = reinterpret_cast<const TPat *>(section_);
    // The PMT is that of the first real program: program 0 names the NIT.
    int program = -1;
    if (len > 0)
        for (int i = 0, n = tsGetPatNumPrograms(pat); i < n && program < 0; ++i)
            if (tsGetPatProgramNumber(pat, i) != 0)
                program = i;
    if (program < 0) {
        fault(DP_FAULT_PAT);
        return;
    }
    is_streaming_ = true;
    const int version = tsGetVersion(&pat->header);
    if (version != tables_.pat_version) {
        tables_.pmt_pid = tsGetPatProgramPid(pat, program);
        section_dmux_dtor(tables_.pmt_section);
        tables_.pmt_section = section_dmux_nocc_ctor(uint16_t(tables_.pmt_pid), kSection);
        tables_.pat_version = version;
        tables_.pmt_version = -1;
    }
    if (scrambling_pending())
        fault(DP_FAULT_ENCRYPTED);
    else
        forward(pkt);
}

void ingress_channel::rule_pmt(const uint8_t *pkt)
{
    const int r = tables_.pmt_section ? section_dmux_process(tables_.pmt_section, as_pkt(pkt)) : -1;
    if (r < 0 || (r > 0 && section_dmux_get_table_id(tables_.pmt_section) != kTidPmt)) {
        fault(r < 0 && scrambling_pending() ? DP_FAULT_ENCRYPTED : DP_FAULT_PMT);
        return;
    }
    // A section failing its CRC counts as not complete: the next copy may
    // be whole.
    const int len = r > 0 ? fetch(tables_.pmt_section, section_) : -1;
    const int version = len > 0 ? tsGetVersion(reinterpret_cast<const TTableBase *>(section_)) : -1;
    if (len < 0 || version == tables_.pmt_version) {
        if (scrambling_pending())
            fault(DP_FAULT_ENCRYPTED);
        else
            forward(pkt);
        return;
    }
    pid_info_data info{};
    info.ch_idx = ch_;
    if (!parse_pmt(section_, len, info)) {
        fault(DP_FAULT_PMT);
        return;
    }
    if (info.video_pid == 0) {
        fault(DP_FAULT_INCOMPATIBLE);
        return;
    }
    auto *block = static_cast<pid_info_data *>(std::malloc(sizeof info));
    const kd_mqueue_entry e{DEC_MSG_PID_INFO, block};
    kd_mqueue *q = dec().mqueue;
    if (!block || !q || kd_mqueue_write(q, &e) != 0) {
        std::free(block);
        fault(DP_FAULT_MSGQ_FULL);
        return;
    }
    std::memcpy(block, &info, sizeof info);
    dec().stats[ch_].vid_pkts_pid = info.video_pid;
    tables_.pmt_version = version;
    rule_other(pkt, true);
}

void ingress_channel::rule_sdt(const uint8_t *pkt)
{
    const int r = section_dmux_process(tables_.sdt_section, as_pkt(pkt));
    // Only the SDT of this stream (table 0x42) is examined; SDT other and
    // BAT share the PID.
    if (r > 0 && section_dmux_get_table_id(tables_.sdt_section) == kTidSdtActual) {
        const int len = section_dmux_get_section(tables_.sdt_section, section_, kSection);
        if (len < 0) {
            fault(DP_FAULT_SDT);
            return;
        }
        std::string_view name, provider;
        const int version = len >= 12 ? tsGetVersion(reinterpret_cast<const TTableBase *>(section_)) : -1;
        if (len >= 15 && DvbCrc32Check(section_, size_t(len)) == 1 && version != tables_.sdt_version) {
            if (!parse_sdt_names(section_, len, name, provider)) {
                fault(DP_FAULT_SDT);
                return;
            }
            dec().stats[ch_].set_service(name, provider);
            tables_.sdt_version = version;
            rule_other(pkt, false);
            return;
        }
    }
    if (scrambling_pending())
        fault(DP_FAULT_ENCRYPTED);
    else
        forward(pkt);
}

void ingress_channel::rule_other(const uint8_t *pkt, bool program_change)
{
    decoder_stats &s = dec().stats[ch_];
    if (tsphGetPid(pkt) == s.vid_pkts_pid.load(std::memory_order_relaxed))
        s.vid_pkts_rx.fetch_add(1, std::memory_order_relaxed);
    const uint32_t rx = s.vid_pkts_rx.load(std::memory_order_relaxed);
    if (tsphGetTSScramblingCtrl(pkt) != 0) {
        s.last_vid_pkts_rx_encrypted = rx;
        ++s.pkts_encrypted_rx;
        scrambled_pending_ = true;
        fault(DP_FAULT_ENCRYPTED);
        return;
    }
    if (scrambled_pending_) {
        if (rx - s.last_vid_pkts_rx_encrypted.load(std::memory_order_relaxed) < DEC_CLEAR_VIDEO_AFTER_SCRAMBLED) {
            fault(DP_FAULT_ENCRYPTED);
            return;
        }
        scrambled_pending_ = false;
        s.last_vid_pkts_rx_encrypted = 0;
        leave_fault();
    } else if (program_change) {
        leave_fault();
    }
    forward(pkt);
}

void ingress_channel::packet(const uint8_t *pkt)
{
    const uint16_t pid = tsphGetPid(pkt);
    if (pid == kPidPat)
        rule_pat(pkt);
    else if (pid == tables_.pmt_pid && tables_.pat_version != -1)
        rule_pmt(pkt);
    else if (pid == kPidSdt && tables_.pmt_version != -1)
        rule_sdt(pkt);
    else
        rule_other(pkt, false);
}

void ingress_channel::datagram(const uint8_t *buf, size_t len)
{
    if (reset_monitor_.exchange(false, std::memory_order_relaxed)) {
        decode_post_log(DEC_LOG_DEBUG, "Chn %u clear local TS buffers", ch_);
        reset_buffers();
        decode_audio_signal_reset(ch_);
    }
    if (trigger_program_.exchange(false, std::memory_order_relaxed))
        tables_.pmt_version = -1;
    for (size_t off = 0; off + DEC_TS_PACKET <= len; off += DEC_TS_PACKET)
        packet(buf + off);
}

void ingress_channel::second()
{
    decoder &d = dec();
    d.state[ch_].is_stream = is_streaming_;
    if (!is_streaming_ && !in_fault()) {
        decode_post_log(DEC_LOG_WARN, "Chn %u entered fault on stream lost", ch_);
        enter_fault_state();
    }
    is_streaming_ = false;
    decode_egress_monitor_maintain_sec(monitor_);
    if (kd_pipe_t *pipe = d.audio_decode_feed[ch_]) {
        // Percent of what the pipe can hold (one entry always stays free).
        const int pct = int(uint64_t(kd_pipe_level(pipe)) * 100 / (kd_pipe_entries(pipe) - 1));
        audio_hwm_ = std::max(audio_hwm_, pct);
        d.stats[ch_].buf_level = pct;
        d.stats[ch_].buf_level_hwm = audio_hwm_;
    }
    d.state[ch_].dp_in_fault = in_fault();
}

#include "dumper.h"

#include <cerrno>
#include <cstdarg>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#include <kerrow/path.h>

#include "section_text.h"

namespace tdump {

namespace {

bool write_all(int fd, const uint8_t *p, size_t n)
{
    while (n > 0) {
        ssize_t k = ::write(fd, p, n);
        if (k < 0 && errno == EINTR)
            continue;
        if (k <= 0)
            return false;
        p += k;
        n -= size_t(k);
    }
    return true;
}

const TTableBase *base(std::span<const uint8_t> s) { return reinterpret_cast<const TTableBase *>(s.data()); }

} // namespace

dumper::dumper(mode m, bool verbose, FILE *out, FILE *err)
    : mode_(m), verbose_(verbose), out_(out), err_(err), slots_(kSlots), section_buf_(PSI_SECTION_MAX_SIZE + 3)
{
    static_assert(kSlots < kNoSlot);
    slot_index_.fill(kNoSlot);
}

void dumper::verbose(const char *fmt, ...) const
{
    if (!verbose_)
        return;
    va_list ap;
    va_start(ap, fmt);
    std::vfprintf(err_, fmt, ap);
    va_end(ap);
}

pid_slot *dumper::find_slot(uint16_t pid)
{
    for (auto &s : slots_)
        if (s.pid == pid)
            return &s;
    return nullptr;
}

bool dumper::add_slot(uint16_t pid, size_t size)
{
    if (pid >= TS_PID_NULL)
        return false;
    if (find_slot(pid))
        return true;
    pid_slot *free_slot = find_slot(TS_PID_NULL);
    if (!free_slot) {
        verbose("No free slot for PID %d (0x%X)\n", int(pid), unsigned(pid));
        return false;
    }
    free_slot->dmux.reset(section_dmux_ctor(pid, size));
    if (!free_slot->dmux)
        return false;
    free_slot->pid = pid;
    free_slot->size = size;
    slot_index_[pid] = uint8_t(free_slot - slots_.data());
    return true;
}

void dumper::add_summary_slots()
{
    for (uint16_t pid : {0x0, 0x1, 0x10, 0x11, 0x14})
        add_slot(pid, 1024);
    add_slot(0x1FFB, 2048); // ATSC A/65 base PID: STT, MGT, VCT, RRT
}

bool dumper::set_receiver(const std::string &pem)
{
    rx_.reset(biss2ca_rx_ctor(pem.c_str()));
    return rx_ != nullptr;
}

std::string dumper::receiver_key_id() const
{
    uint8_t id[BISS2CA_EKID_LEN] = {};
    char text[48] = "";
    if (rx_ && biss2ca_rx_get_key_id(rx_.get(), id) >= 0)
        biss2ca_ekid_to_string(text, sizeof text, id);
    return text;
}

bool dumper::process_read(std::span<uint8_t> bytes)
{
    const size_t end = bytes.size() - bytes.size() % TS_PACKET_SIZE;
    if (mode_ != mode::ca && out_fd_ < 0) {
        // Tables only: most packets are of no slot, and the loop reads no
        // more of them than the sync byte and the PID.
        int packets = packets_;
        for (size_t at = 0; at < end; at += TS_PACKET_SIZE) {
            uint8_t *p = bytes.data() + at;
            if (p[0] != TS_SYNC_BYTE)
                continue;
            ++packets;
            const uint8_t i = slot_index_[pid_of(p)];
            if (__builtin_expect(i != kNoSlot, 0)) {
                packets_ = packets;
                process_slot_packet(slots_[i], reinterpret_cast<tsPkt *>(p));
            }
        }
        packets_ = packets;
        return true;
    }
    out_buf_.clear();
    for (size_t at = 0; at < end; at += TS_PACKET_SIZE) {
        if (bytes[at] != TS_SYNC_BYTE)
            continue;
        process_packet(reinterpret_cast<tsPkt *>(bytes.data() + at));
    }
    return out_fd_ < 0 || write_all(out_fd_, out_buf_.data(), out_buf_.size());
}

void dumper::process_packet(tsPkt *pkt)
{
    ++packets_;
    if (mode_ == mode::ca)
        descramble(pkt);
    if (out_fd_ >= 0) {
        const auto *bytes = reinterpret_cast<const uint8_t *>(pkt);
        out_buf_.insert(out_buf_.end(), bytes, bytes + TS_PACKET_SIZE);
    }
    pid_slot *slot = slot_of(pid_of(reinterpret_cast<const uint8_t *>(pkt))); // none for the null PID
    if (slot)
        process_slot_packet(*slot, pkt);
}

void dumper::process_slot_packet(pid_slot &slot, tsPkt *pkt)
{
    ++slot.packets;
    if (section_dmux_process(slot.dmux.get(), pkt) <= 0)
        return;
    int n = section_dmux_get_section(slot.dmux.get(), section_buf_.data(), section_buf_.size());
    if (n >= 3)
        on_section(slot, std::span<const uint8_t>(section_buf_.data(), size_t(n)));
}

// CISSA with the receiver's word of the packet's parity (ETSI TS 103 127):
// transport_scrambling_control 2 is the even word, 3 the odd one.
void dumper::descramble(tsPkt *pkt)
{
    uint16_t pid = tsphGetPid(pkt);
    if (pid == TS_PID_NULL || (pid != video_pid_ && pid != audio_pid_))
        return;
    uint8_t sc = tsphGetTSScramblingCtrl(pkt);
    if (sc == TS_SCRAM_CTRL_NONE || !rx_ || !biss2ca_rx_has_session_word(rx_.get()))
        return;
    const int odd = sc != TS_SCRAM_CTRL_EVEN;
    std::array<uint8_t, 16> word{};
    if (biss2ca_rx_get_session_word(rx_.get(), odd, word.data()) != 1)
        return;
    const char *parity = odd ? "ODD" : "EVEN";
    if (!cissa_) {
        cissa_.reset(cissa_ctx_ctor(word.data(), word.size(), 0));
        if (!cissa_)
            return;
        cissa_ctx_set_key(cissa_.get(), word.data(), word.size(), odd);
        std::fprintf(out_, "CA: First decrypt key %s %s at idx %d ecm %d\n", parity, key_text(word).c_str(), packets_,
                     ecm_count_);
    } else if (sc != last_scrambling_) {
        cissa_ctx_set_key(cissa_.get(), word.data(), word.size(), odd);
        std::fprintf(out_, "CA: Swap decrypt key %s %s at idx %d ecm %d\n", parity, key_text(word).c_str(), packets_,
                     ecm_count_);
    } else if (word != loaded_word_) {
        // The word of the parity in use was replaced: never descramble
        // with a stale one.
        cissa_ctx_set_key(cissa_.get(), word.data(), word.size(), odd);
    }
    last_scrambling_ = sc;
    loaded_word_ = word;
    cissa_ctx_crypt(cissa_.get(), pkt);
}

void dumper::on_section(pid_slot &slot, std::span<const uint8_t> section)
{
    const uint8_t table_id = section[0];
    stored_section *entry = nullptr;
    for (auto &e : slot.sections)
        if (!e.complete || e.bytes[0] == table_id) {
            entry = &e;
            break;
        }
    // One section per table id and PID is kept; later ones are still
    // followed below (ECMs, EMMs, PMTs), only not stored again.
    bool stored = false;
    if (entry && !entry->complete) {
        verbose("DEBUG: PID %4u: storing section tableid %x sect len %d\n", unsigned(slot.pid), unsigned(table_id),
                int(tsGetSectionLength(base(section))));
        entry->bytes.assign(section.begin(), section.end());
        entry->complete = true;
        stored = true;
    }
    if (mode_ == mode::pid)
        return;
    if (stored && slot.pid == 0 && table_id == TABLEID_PAT)
        follow_pat(section);
    if (stored && slot.pid == 1 && table_id == TABLEID_CAT)
        follow_cat(section);
    if (mode_ != mode::ca)
        return;
    if (table_id == TABLEID_PMT)
        follow_pmt(section);
    if (slot.pid == ecm_pid_)
        on_ecm(section);
    if (slot.pid == emm_pid_)
        on_emm(section);
}

void dumper::follow_pat(std::span<const uint8_t> s)
{
    if (s.size() < 12)
        return;
    const auto *pat = reinterpret_cast<const TPat *>(s.data());
    for (int i = 0, n = tsGetPatNumPrograms(pat); i < n; ++i) {
        if (tsGetPatProgramNumber(pat, i) == 0) // network PID
            continue;
        uint16_t pid = tsGetPatProgramPid(pat, i);
        if (find_slot(pid))
            continue;
        verbose("Adding PMT PID %d (0x%X)\n", int(pid), unsigned(pid));
        add_slot(pid, 1024);
    }
}

void dumper::follow_cat(std::span<const uint8_t> s)
{
    if (s.size() < 12)
        return;
    const uint8_t *loop = s.data() + 8;
    const size_t len = s.size() - 12;
    for (const descriptor *d = descriptor_loop_next(loop, len, nullptr); d; d = descriptor_loop_next(loop, len, d)) {
        if (!ca_descr_is_biss2ca(d))
            continue;
        // An EMM PID given on the command line stands.
        if (mode_ == mode::ca && emm_pid_ != TS_PID_NULL)
            break;
        uint16_t pid = uint16_t(ca_descr_get_ca_pid(d));
        if (emm_pid_ == TS_PID_NULL)
            emm_pid_ = pid;
        if (find_slot(pid))
            continue;
        verbose("Adding BISS2CA EMM PID %d (0x%X)\n", int(pid), unsigned(pid));
        add_slot(pid, 4096);
    }
}

void dumper::follow_pmt(std::span<const uint8_t> s)
{
    if (video_pid_ != TS_PID_NULL || s.size() < 16)
        return;
    const auto *pmt = reinterpret_cast<const TPmt *>(s.data());
    const size_t info_len = tsGetPmtProgramInfoLength(pmt);
    if (info_len > s.size() - 16)
        return;
    const uint8_t *info = s.data() + 12;
    const descriptor *ca = nullptr;
    for (const descriptor *d = descriptor_loop_next(info, info_len, nullptr); d && !ca;
         d = descriptor_loop_next(info, info_len, d))
        if (ca_descr_is_biss2ca(d))
            ca = d;
    if (!ca)
        return;
    const uint16_t ca_pid = uint16_t(ca_descr_get_ca_pid(ca));
    if (ecm_pid_ == TS_PID_NULL) {
        ecm_pid_ = ca_pid;
        verbose("Adding BISS2CA ECM PID %d (0x%X)\n", int(ca_pid), unsigned(ca_pid));
        add_slot(ca_pid, 4096);
    } else if (ecm_pid_ != ca_pid) {
        return; // the service of another ECM stream than the one given
    }
    const TPmtEntry *video = get_pmt_entry(pmt, 0);
    const TPmtEntry *audio = get_pmt_entry(pmt, 1);
    if (video)
        video_pid_ = tsGetPmtEntryPID(video);
    if (audio)
        audio_pid_ = tsGetPmtEntryPID(audio);
}

void dumper::on_ecm(std::span<const uint8_t> s)
{
    ++ecm_count_;
    if (!rx_ || biss2ca_rx_process_ecm(rx_.get(), s.data()) != 1)
        return;
    std::array<uint8_t, 16> even{}, odd{};
    biss2ca_rx_get_session_word(rx_.get(), 0, even.data());
    biss2ca_rx_get_session_word(rx_.get(), 1, odd.data());
    std::fprintf(out_, "ECM: SW changed idx (%d, %d)!! %s   %s\n", packets_, ecm_count_, key_text(even).c_str(),
                 key_text(odd).c_str());
    ecm_count_ = 0;
    save_section("/tmp/ecm%d.bin", s);
}

void dumper::on_emm(std::span<const uint8_t> s)
{
    if (!rx_)
        return;
    const int result = biss2ca_rx_process_emm(rx_.get(), s.data());
    const int entitled = biss2ca_rx_is_entitled(rx_.get()) > 0;
    const char *label;
    if (entitled != last_entitled_) {
        last_entitled_ = entitled;
        label = "EMM";
    } else if (result > 0) {
        label = "EMM change";
    } else {
        // A refused section is no change of the entitlement.
        if (result < 0)
            verbose("EMM %d: section refused by the receiver\n", packets_);
        return;
    }
    std::fprintf(out_, "%s %d: %s %s %s\n", label, packets_, entitled ? "Entitled" : "Not Entitled",
                 biss2ca_rx_prevent_descrambled_forward(rx_.get()) > 0 ? "[Prev Decr Fwd]" : "[Decr Fwd]",
                 biss2ca_rx_prevent_decoded_forward(rx_.get()) > 0 ? "[Prev Decd Fwd]" : "[Decd Fwd]");
    save_section("/tmp/emm%d.bin", s);
}

// The section as it came, named by its version; a link planted at the name
// is refused rather than followed.
void dumper::save_section(const char *path_format, std::span<const uint8_t> s) const
{
    const std::string path = kd::rooted(format(path_format, int(tsGetVersion(base(s)))));
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0644);
    bool ok = fd >= 0 && write_all(fd, s.data(), s.size());
    int saved = errno;
    if (fd >= 0 && ::close(fd) != 0 && ok) {
        ok = false;
        saved = errno;
    }
    if (!ok)
        std::fprintf(err_, "tablesdump: %s: %s\n", path.c_str(), std::strerror(saved));
}

void dumper::print_summary() const
{
    std::fputs("\n++++++++++++++SUMMARY++++++++++++++\n", out_);
    for (const auto &slot : slots_) {
        if (slot.pid == TS_PID_NULL)
            continue;
        std::fprintf(out_, "PID : %4u, captured sections\n", unsigned(slot.pid));
        for (size_t i = 0; i < slot.sections.size(); ++i) {
            if (!slot.sections[i].complete)
                continue;
            std::fprintf(out_, "  Section %zu:\n%s", i, section_text(slot.sections[i].bytes).c_str());
        }
    }
}

} // namespace tdump

// The tables dump engine: PID slots with their section demultiplexers and
// stored sections, the PAT/CAT/PMT follow-up, and in CA mode the BISS-CA
// receiver, CISSA descrambling and the processed-packet output.
#pragma once

#include <array>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "mpegts.h"

namespace tdump {

enum class mode { summary, pid, ca };

constexpr size_t kSlots = 10;
constexpr size_t kSectionsPerSlot = 10;
// 4096 packets per read; the read is walked in 188-byte steps from its start.
constexpr size_t kReadSize = 4096 * TS_PACKET_SIZE;

struct dmux_free {
    void operator()(section_dmux *d) const { section_dmux_dtor(d); }
};
struct rx_free {
    void operator()(biss2ca_rx *r) const { biss2ca_rx_dtor(r); }
};
struct cissa_free {
    void operator()(cissa_ctx *c) const { cissa_ctx_dtor(c); }
};

struct stored_section {
    bool complete = false;
    std::vector<uint8_t> bytes; // section_length + 3 bytes
};

struct pid_slot {
    uint16_t pid = TS_PID_NULL; // TS_PID_NULL: free
    unsigned long packets = 0;
    size_t size = 0; // the largest section the slot takes
    std::unique_ptr<section_dmux, dmux_free> dmux;
    std::array<stored_section, kSectionsPerSlot> sections;
};

class dumper {
public:
    // Messages go to out; verbose and error messages to err.
    dumper(mode m, bool verbose, FILE *out, FILE *err);

    // Takes a free slot for the PID unless it has one; false when none is
    // free or the demultiplexer cannot be made.
    bool add_slot(uint16_t pid, size_t size);
    // The slots of the summary mode: PAT, CAT, NIT, SDT, TDT and the ATSC
    // base PID.
    void add_summary_slots();
    // CA mode: the receiver from the private key's PEM text; false when it
    // cannot be built.
    bool set_receiver(const std::string &pem);
    std::string receiver_key_id() const;
    void set_emm_pid(uint16_t pid) { emm_pid_ = pid; }
    void set_ecm_pid(uint16_t pid) { ecm_pid_ = pid; }
    // Every packet read is written to fd afterwards (CA mode).
    void set_output(int fd) { out_fd_ = fd; }

    // One read's bytes; packets are descrambled in place. False after a
    // failed write to the output (errno tells why).
    bool process_read(std::span<uint8_t> bytes);
    void print_summary() const;

    const std::vector<pid_slot> &slots() const { return slots_; }
    uint16_t video_pid() const { return video_pid_; }
    uint16_t audio_pid() const { return audio_pid_; }

private:
    void process_packet(tsPkt *pkt);
    // The packet of a slot's PID: to its demultiplexer, its section followed.
    void process_slot_packet(pid_slot &slot, tsPkt *pkt);
    void descramble(tsPkt *pkt);
    void on_section(pid_slot &slot, std::span<const uint8_t> section);
    void follow_pat(std::span<const uint8_t> section);
    void follow_cat(std::span<const uint8_t> section);
    void follow_pmt(std::span<const uint8_t> section);
    void on_ecm(std::span<const uint8_t> section);
    void on_emm(std::span<const uint8_t> section);
    void save_section(const char *path_format, std::span<const uint8_t> section) const;
    pid_slot *find_slot(uint16_t pid);
    static unsigned pid_of(const uint8_t *p) { return unsigned(p[1] & 0x1F) << 8 | p[2]; }
    pid_slot *slot_of(unsigned pid)
    {
        const uint8_t i = slot_index_[pid & 0x1FFF];
        return i == kNoSlot ? nullptr : &slots_[i];
    }
    void verbose(const char *fmt, ...) const __attribute__((format(printf, 2, 3)));

    mode mode_;
    bool verbose_;
    FILE *out_, *err_;
    std::vector<pid_slot> slots_;
    // The slot of each PID, kNoSlot for none: the packet loop's lookup.
    static constexpr uint8_t kNoSlot = 0xFF;
    std::array<uint8_t, 0x2000> slot_index_;
    std::vector<uint8_t> section_buf_;
    int out_fd_ = -1;
    std::vector<uint8_t> out_buf_; // one read's packets for out_fd_

    uint16_t emm_pid_ = TS_PID_NULL, ecm_pid_ = TS_PID_NULL;
    uint16_t video_pid_ = TS_PID_NULL, audio_pid_ = TS_PID_NULL;
    int packets_ = 0;     // packets with the sync byte
    int ecm_count_ = 0;   // ECMs since the last session-word change
    int last_entitled_ = 0;
    uint8_t last_scrambling_ = 0;
    std::unique_ptr<biss2ca_rx, rx_free> rx_;
    std::unique_ptr<cissa_ctx, cissa_free> cissa_;
    std::array<uint8_t, 16> loaded_word_{};
};

} // namespace tdump

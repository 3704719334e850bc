// The data path of one decoder channel inside the ingress thread: the
// packet rules that follow the program's PAT, PMT and SDT, detect
// scrambling and broken tables, and feed the FPGA egress ring and the
// audio pipe. Plain code: the ingress thread owns two of these, tests
// drive one directly.
#pragma once

#include "decode_internal.h"
#include "egress_monitor.h"

#include <kt3300_egr.h>
#include <section_dmux.h>

#include <atomic>
#include <cstddef>
#include <cstdint>

enum dp_fault_reason {
    DP_FAULT_PAT = -1,
    DP_FAULT_PMT = -2,
    DP_FAULT_INCOMPATIBLE = -3,
    DP_FAULT_MSGQ_FULL = -4,
    DP_FAULT_SDT = -5,
    DP_FAULT_ENCRYPTED = -6,
};
const char *dp_fault_text(int reason);

constexpr unsigned DEC_TS_PACKET = 188;
constexpr unsigned DEC_MAX_DATAGRAM = 3760; // 20 packets
constexpr uint32_t DEC_CLEAR_VIDEO_AFTER_SCRAMBLED = 2000;
extern const uint32_t decode_tmr_bps[DEC_CHANNELS];

struct ts_table_info {
    int pat_version = -1;
    section_dmux *pat_section = nullptr;
    uint32_t pmt_pid = 0;
    int pmt_version = -1;
    section_dmux *pmt_section = nullptr;
    int sdt_version = -1;
    section_dmux *sdt_section = nullptr;
};

class ingress_channel {
public:
    // Allocates the egress writer (a null board leaves it out), writes the
    // nominal rate and makes the monitor and the three demultiplexers.
    ingress_channel(unsigned ch, kt3300_ctx *board);
    ~ingress_channel();
    ingress_channel(const ingress_channel &) = delete;
    ingress_channel &operator=(const ingress_channel &) = delete;

    bool ok() const { return tables_.pat_section && tables_.sdt_section; }

    // One received datagram: whole packets only, the rest ignored.
    void datagram(const uint8_t *buf, size_t len);
    void packet(const uint8_t *pkt);
    // The one-second mark.
    void second();

    // Requests from other threads, applied before the next datagram.
    void request_reset_monitor() { reset_monitor_.store(true, std::memory_order_relaxed); }
    void request_trigger_program() { trigger_program_.store(true, std::memory_order_relaxed); }
    bool in_fault() const { return in_fault_.load(std::memory_order_relaxed); }

    // Inspection (same thread).
    const ts_table_info &tables() const { return tables_; }
    bool egress_started() const { return egr_started_; }
    kt3300_egr_wrtr *writer() const { return egr_; }
    monitor *egress_monitor() const { return monitor_; }
    uint32_t start_level() const { return start_level_; }

private:
    void fault(int reason);
    void enter_fault_state();
    void leave_fault();
    void forward(const uint8_t *pkt);
    void rule_pat(const uint8_t *pkt);
    void rule_pmt(const uint8_t *pkt);
    void rule_sdt(const uint8_t *pkt);
    void rule_other(const uint8_t *pkt, bool program_change);
    bool scrambling_pending() const { return scrambled_pending_; }
    void reset_buffers();

    unsigned ch_;
    kt3300_ctx *board_;
    kt3300_egr_wrtr *egr_ = nullptr;
    bool egr_started_ = false;
    monitor *monitor_ = nullptr;
    uint32_t start_level_;
    std::atomic<bool> reset_monitor_{false};
    std::atomic<bool> trigger_program_{false};
    bool is_streaming_ = false;
    std::atomic<bool> in_fault_{true};
    // A scrambled packet was seen and fewer than 2000 clear video packets
    // have followed it.
    bool scrambled_pending_ = false;
    int audio_hwm_ = 0;
    ts_table_info tables_;
    uint8_t section_[1024];
};

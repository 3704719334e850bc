// Test-side control of the simulated KT-3300 board: installs the fake PCI
// list, UIO sysfs tree and device files under KD_ROOT, points the board
// library at the simulator (KT3300_SIM), and runs the FPGA model thread
// that consumes egress rings and PULL queues.
#pragma once

#include "sim_board.h"

#include <atomic>
#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace boardsim {

struct Options {
    bool uio = true;            // publish the board's UIO devices (else only the PCI list)
    uint16_t version = 0x0203;  // major 2, minor 3
};

// A UIO map of the simulated board.
struct MapInfo {
    unsigned dev, map;
    const char *name;
    uint32_t addr, size;
};
const std::vector<MapInfo> &maps();

class BoardSim {
public:
    explicit BoardSim(Options opt = {});
    ~BoardSim();
    BoardSim(const BoardSim &) = delete;
    BoardSim &operator=(const BoardSim &) = delete;

    Board &board() { return *board_; }

    // Read plane (what the library reads) and write plane (what it wrote).
    uint16_t rd16(uint32_t off) const { return load16(board_->rd, off); }
    uint32_t rd32(uint32_t off) const { return load32(board_->rd, off); }
    uint16_t wr16(uint32_t off) const { return load16(board_->wr, off); }
    uint32_t wr32(uint32_t off) const { return load32(board_->wr, off); }
    void set16(uint32_t off, uint16_t v) { put16(board_->rd, off, v); }
    void set32(uint32_t off, uint32_t v) { put32(board_->rd, off, v); }

    // Bus devices.
    void add_module(unsigned slot, uint16_t id = 105);
    void add_chip(unsigned chn, uint16_t dev_id);
    void set_chip_reg(unsigned chn, uint32_t addr, uint16_t v);
    uint16_t chip_reg(unsigned chn, uint32_t addr);
    void set_lmk(bool present, uint8_t addr = 0x55);
    uint8_t lmk_reg(uint8_t r) const { return board_->lmk.regs[r]; }
    void set_stuck_busy(bool on) { board_->stuck_busy = on; }
    std::vector<BusEvent> events() const;
    std::vector<BusEvent> events(uint8_t kind) const; // of one bus only
    // Another process holding the serial-bus lock ("/run/spi_lock" under
    // KD_ROOT) on its own open file, as a second program would: the
    // child's pid once it holds the lock, -1 when it could not take it.
    // Killing the child releases the lock.
    pid_t hold_bus_lock() const;
    void clear_events();

    // The mapping of a UIO map's memory, as the FPGA sees it.
    uint8_t *region(unsigned dev, unsigned map) const;

    // Writes n ingress frames at the FPGA position and advances it; frame k
    // (counting from 0 over the simulator's life) carries k in its packet.
    void produce_ingress(unsigned n, uint8_t tag = 1);
    // Writes n raw 256-byte frames as given (malformed ones included).
    void produce_ingress_raw(const uint8_t *frames, unsigned n);
    // The model thread writes this many frames per tick (50 us) while the
    // library has the ingress ring enabled. Like the FPGA, it does not wait
    // for a slow reader.
    void run_ingress(unsigned frames_per_tick) { ingress_rate_.store(frames_per_tick); }
    // Feeds real 188-byte packets (the buffer repeats) on ASI port `tag`
    // (1-4) at `bps` while the ingress ring is enabled: the model thread
    // writes the packets due in each tick (fractional rates carry over),
    // each frame stamped with the packet's big-endian 27 MHz time. An empty
    // buffer or a rate of 0 stops the feed; the returned count of frames
    // written so far for the tag is kept.
    void feed_ingress(uint8_t tag, std::vector<uint8_t> packets, double bps);
    uint64_t fed(uint8_t tag) const;

    // The FPGA model: consumes published egress slots (handing each to the
    // sink on the model thread) and drains enabled PULL queues.
    using EgressSink = std::function<void(unsigned ch, const uint8_t *slot)>;
    void start(EgressSink sink);
    void stop();
    void pause_egress(bool paused) { paused_.store(paused); }
    // With pacing on, each channel consumes at the rate its transport-rate
    // register (TMR) names, as the card does; off (the default), the model
    // consumes whatever is published at once.
    void pace_egress(bool on) { paced_.store(on); }
    // The four SDI audio embedder queues: with playing on, the model plays
    // each enabled one around its ring at 48 kHz (48000 x 64 / ITEM_SIZE
    // items a second, from item 0 after a reset) and records the sample
    // sets it plays, the latest `keep` of each; off (the default), it
    // drains them at once like the other PULL queues.
    void play_embedders(bool on, size_t keep = 48000);
    // The sample sets (16 words: left and right of 8 pairs) embedder n
    // played since the last call, oldest first.
    std::vector<int32_t> played(unsigned n);
    // The rate a channel's TMR register holds, in bit/s (0 when unset).
    double egress_rate_bps(unsigned ch) const;
    uint64_t consumed(unsigned ch) const { return consumed_[ch].load(); }

private:
    void model();
    void consume_egress(unsigned ch, double seconds);
    void play_embedder(unsigned n, double seconds);

    Board *board_ = nullptr;
    std::vector<std::pair<uint8_t *, size_t>> regions_; // by maps() index
    mutable std::mutex ingress_mutex_; // produce_ingress may run beside the model thread
    uint32_t ingress_count_ = 0;
    std::atomic<unsigned> ingress_rate_{0};
    struct feed {
        std::vector<uint8_t> packets;
        size_t next = 0;
        double bps = 0, credit = 0, ticks27 = 0;
        uint64_t frames = 0;
    };
    feed feeds_[5]; // by tag, under ingress_mutex_
    void run_feeds(double seconds);
    EgressSink sink_;
    std::thread thread_;
    std::atomic<bool> running_{false}, paused_{false}, paced_{false};
    double credit_[2] = {0, 0}; // packets the paced model may still consume (model thread)
    std::atomic<uint64_t> consumed_[2] = {0, 0};
    std::atomic<bool> playing_{false};
    double play_credit_[4] = {0, 0, 0, 0}; // items the model may still play (model thread)
    std::mutex played_mutex_;
    size_t keep_ = 0;                       // under played_mutex_
    std::vector<int32_t> played_[4];        // under played_mutex_
};

} // namespace boardsim

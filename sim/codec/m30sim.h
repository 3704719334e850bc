// An in-process stand-in for the M30 codec chip and its kernel driver,
// installed behind libcodecctl's driver port. It keeps what the library
// expects of the driver: descriptors bound to logical devices, the
// register file (main, input and output states, message enables, mode
// select), the 2 MiB parameter area with its counter echo, version texts,
// per-unit message FIFOs that signal the registered eventfd, a log of
// parameter-area writes, and injectable faults.
#pragma once

#include <m30_driver.h>

#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <thread>
#include <vector>

namespace m30sim {

// A run of consecutive parameter-area words written in ascending order.
struct LoadRun {
    uint32_t addr;
    uint32_t words;
    bool operator==(const LoadRun &) const = default;
};

// Canned traffic of a running chip, emitted to every unit whose
// notification is registered, once per frame period.
struct GeneratorConfig {
    unsigned frame_period_us = 40000; // 25 Hz
    bool pictures = true;      // VD 1: picture decoded, with a PTS advancing by the frame period
    // The stream's video: the PTS of the first picture, and the frame
    // periods the chip runs before it reports that picture (its decoding
    // delay). Picture k then carries start_pts + k periods.
    uint64_t start_pts = 0;
    unsigned decode_delay = 0;
    bool pcr = true;           // DMX 1, every frame
    bool buffer_levels = false; // DMX 2, cycling LL, LH, HL, HH every 25 frames
    uint32_t stream_errors = 0; // DMX 3 with these error bits every 25 frames (0: none)
    bool pid_detect = false;   // DMX 4 for each PID enabled in the unit's loaded DMX block, every 25 frames
    bool audio_info = true;    // AD 1, every frame
    bool vsync = true;         // VI 2 (video present), every frame, for each VI unit whose vsync is on
    // VI 1 (frame captured), every frame, with the number of frames since
    // the chip started running.
    bool frame_captures = false;
};

struct Message {
    uint32_t message_id = 0;
    std::vector<uint32_t> params; // at most 65 words
};

class Chip {
public:
    explicit Chip(int device_index = 0);
    ~Chip();
    Chip(const Chip &) = delete;
    Chip &operator=(const Chip &) = delete;

    // The port routing to this chip; install it with m30_driver_set_port().
    const m30_driver_port *port() const { return &port_; }

    // --- configuration ---
    void set_driver_text(std::string text);       // "7.3.0" selects the 24-byte main-state record
    void set_firmware(const uint32_t words[5]);
    // The counter written at a parameter-area address shows on reads only
    // after `reads` further reads of that address.
    void set_echo_delay(unsigned reads);
    // Written parameter-area words never show on reads (the chip is stuck).
    void set_echo_never(bool never);

    // --- fault injection ---
    // The next `times` requests with this code fail with `err` (times < 0: all).
    void fail_ioctl(unsigned long request, int err, int times = -1);
    // Binding to `device_type` fails with `err`.
    void fail_bind(uint16_t device_type, int err);
    // After `skip` more successful opens, the next `times` opens fail with
    // `err` (times < 0: all).
    void fail_open(int err, int times = -1, int skip = 0);
    // After `skip` more notification descriptors, the next one fails with EMFILE.
    void fail_eventfd(int skip);
    // Main-state requests are accepted but the state stays.
    void set_state_stuck(bool stuck);
    // The next accepted start request of this kind (FMB_API_INPUT_STATE or
    // FMB_API_OUTPUT_STATE with the start state) turns the main state to
    // ERROR once it has taken effect. One-shot.
    void error_after_next_start(unsigned long request);
    // The generator's vsync of one VI unit (chip id) stops or resumes, so
    // one encode channel loses its video alone. On for every unit at first.
    void set_vsync(uint32_t vi_id, bool on);
    void clear_faults();

    // --- direct access (no effect on echo or counts) ---
    uint32_t peek(uint32_t addr) const;
    void poke(uint32_t addr, uint32_t value);

    // --- inspection ---
    std::vector<LoadRun> load_log() const;
    void clear_load_log();
    // get-register requests at an address since the last reset_counts().
    unsigned reg_reads(uint32_t addr) const;
    unsigned ioctl_count(unsigned long request) const;
    void reset_counts();
    unsigned open_handles() const;
    std::multiset<uint16_t> bound_devices() const;
    // Device types in the order they were bound (since the last reset_counts()).
    std::vector<uint16_t> bind_order() const;
    // Every change-main-state request as sent: its code and its words.
    std::vector<std::pair<unsigned long, std::vector<uint32_t>>> main_state_requests() const;
    std::vector<fmb_input_id_state_info> input_requests() const;
    std::vector<fmb_output_id_state_info> output_requests() const;
    std::vector<bool> resets() const; // is_force_reset of each reset
    // The eventfd registered for a unit, if any.
    std::optional<int> notification_fd(fmb_message_target target, uint32_t id) const;

    // --- messages ---
    // Queues a message for a unit and signals its eventfd. Refused (false)
    // while no notification is registered for the unit.
    bool post_message(fmb_message_target target, uint32_t id, uint32_t message_id,
                      std::span<const uint32_t> params = {});
    size_t pending_messages(fmb_message_target target, uint32_t id) const;
    // Starts (or reconfigures) the generator thread; stop is safe to call twice.
    void start_generator(const GeneratorConfig &cfg);
    void stop_generator();
    // PIDs the loaded DMX block of a chip id asks to detect: (slot, PID, format).
    struct DetectPid {
        unsigned slot;
        uint16_t pid;
        uint8_t fmt;
    };
    std::vector<DetectPid> dmx_detect_pids(uint32_t chip_id) const;

    // The request handler behind the port.
    int ioctl(int fd, unsigned long request, void *arg);
    int open(const char *path, int flags);
    int close(int fd);
    int make_eventfd(unsigned int initval, int flags);

private:
    struct Fault {
        int err;
        int times;
        int skip = 0;
    };
    struct Pending {
        uint32_t addr;
        uint32_t old_value;
        unsigned reads_left;
        bool never;
    };
    using Key = std::pair<int, uint32_t>; // (target, id)

    int fail(int err);
    bool take_fault(std::map<unsigned long, Fault> &faults, unsigned long key, int &err);
    uint32_t read_reg(uint32_t addr);
    void write_reg(uint32_t addr, uint32_t value);
    bool param_addr(uint32_t addr) const;
    void do_reset(bool force);
    int req_reg(uint16_t dev, unsigned long request, fmb_reg_info *r);
    bool push_locked(fmb_message_target target, uint32_t id, uint32_t message_id, std::vector<uint32_t> params);
    std::vector<DetectPid> detect_pids_locked(uint32_t chip_id) const;
    int change_state(unsigned long request, const void *arg);
    void generator_tick(uint64_t frame);
    void generator_main();

    int device_index_;
    m30_driver_port port_;
    mutable std::mutex mu_;
    std::map<int, uint16_t> handles_; // fd -> bound device (0 while unbound)
    int next_fd_ = 1000;
    std::map<uint32_t, uint32_t> regs_;
    std::vector<uint32_t> param_;
    std::optional<Pending> pending_;
    unsigned echo_delay_ = 0;
    bool echo_never_ = false;
    bool state_stuck_ = false;
    std::set<unsigned long> error_after_start_;
    std::set<uint32_t> vsync_off_;
    std::string driver_text_ = "7.3.0";
    uint32_t firmware_[5] = {2, 1, 0, 7, 31};
    std::map<unsigned long, Fault> ioctl_faults_;
    std::map<unsigned long, Fault> bind_faults_;
    std::optional<Fault> open_fault_;
    int eventfd_fail_skip_ = -1; // < 0: no fault
    std::vector<LoadRun> load_log_;
    std::map<uint32_t, unsigned> reads_;
    std::map<unsigned long, unsigned> counts_;
    std::vector<std::pair<unsigned long, std::vector<uint32_t>>> main_state_reqs_;
    std::vector<fmb_input_id_state_info> input_reqs_;
    std::vector<fmb_output_id_state_info> output_reqs_;
    std::vector<bool> resets_;
    std::vector<uint16_t> bind_order_;
    std::map<Key, int> notify_;
    std::map<Key, std::vector<Message>> fifos_;
    GeneratorConfig gen_cfg_;
    std::thread gen_thread_;
    std::condition_variable gen_cv_;
    bool gen_stop_ = false;
    uint64_t run_frame_ = 0; // frames since the chip last started running
};

} // namespace m30sim

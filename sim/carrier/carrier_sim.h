// A simulated FPGA carrier on the XSB interconnect: it holds one end of a
// veth pair and answers like a carrier card (INRQ with INFO, PING with OKAY,
// VMWR and CFWR recorded, IFP frames with configuration-ROM text, Wishbone
// identification and refresh, and an SPI flash kept in an image file).
// A carrier whose INFO records hold an ASI port (type 9) also runs its ASI
// output engines: per interface a queue fed by the UDP datagrams sent to
// the interface's virtual address, programmed by ASI records in CFWR
// frames and drained at the programmed pace onto the connectors; queue
// levels go out as 0x81 records in INFO frames.
// Usable as a thread inside a test or through the xsbcarrier program.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace xsbsim {

struct config {
    std::string ifname = "eth2"; // the interface the carrier holds
    int slot = 3;                // hardware slot 0-7
    // Flash image file; created filled with 0xFF (flash_size bytes) when
    // missing, else its size is the flash size. Empty: flash in memory.
    std::string flash_path;
    int flash_size = 0x80000;
    // INFO records (host order) sent after "INFO"; the end record is added.
    std::vector<uint32_t> info;
    std::string drom = "AKT-3300 1.2.0203";      // configuration-ROM text
    uint32_t fpga_id = 0x612B3043;               // XO3LF_2100E
    uint32_t trace_id[2] = {0x01234567, 0x89ABCDEF};
    uint32_t user_code = 0x00C0FFEE;
    uint32_t status = 0;
    // JEDEC identification: Micron, type 0xBA, 2^19 bytes.
    std::vector<uint8_t> flash_id = {0x20, 0xBA, 0x13, 0x10};
    int erase_ms = 20;   // bulk erase busy time
    int program_us = 50; // page program busy time
    bool answer_ping = true;
    // Fault knobs, applied to replies.
    int drop_every = 0;   // the reply to every Nth request is lost (1: all)
    int delay_us = 0;     // each reply waits this long
    bool duplicate = false;
    int corrupt_every = 0; // every Nth IFP reply is preceded by a copy with another session id
    bool stuck_busy = false; // erase and program never finish
    std::string record_path; // append each received frame as "ethertype hex..." lines
    // Image download: frames to e{slot}{fpgapgm_port} are acknowledged; the
    // first bad_acks of them are answered with ERR set instead.
    int fpgapgm_port = 3;
    int bad_acks = 0;
    bool ack_downloads = true;
    // INFO frames (ethertype 0x88B4) with the ASI queue levels every so
    // often, to the last asker of INRQ (none yet: the Ethernet broadcast
    // address); 0: only as the answer to INRQ (in the request's ethertype).
    int report_period_ms = 0;
};

// One ASI output engine (a row of the ASI records), as programmed.
struct asi_engine {
    uint16_t vaddr = 0;     // the interface's virtual address (address record)
    bool enabled = false;   // started by the address record
    unsigned latency = 0;   // packets queued before the drain starts
    uint32_t pacing = 0;    // ticks per packet as sent (kinds 2 and 3): 1/2048 of a 27 MHz tick, less 2048
    bool draining = false;  // the latency was reached since the start
    double skew = 1.0;      // the drain's pace times this (test knob)
    size_t level = 0;       // packets queued
    uint64_t received = 0;  // packets queued since the start of the program
    uint64_t drained = 0;   // packets handed to the connectors
    uint64_t dropped = 0;   // packets refused: stopped, queue full, or a datagram not of whole packets
};

// One ASI connector (a row of the stream-mode record).
struct asi_connector {
    int stream = -1;        // the engine whose stream it carries (-1: none)
    bool byte_mode = false; // BYTE, else BURST
};

// What the carrier rebuilt from the image download frames it received.
struct download_state {
    std::vector<uint8_t> fpga; // data since the last START frame
    int fpga_starts = 0;
    bool fpga_stopped = false; // a STOP frame closed the image
    std::vector<uint8_t> mcu;  // the image since the last first-image frame
    int mcu_setups = 0;        // memory-setup tables received
    bool mcu_started = false;  // the start table came after the image
    bool mcu_bad_length = false; // a data frame whose word count did not match
};

// The records a default carrier of model KT-3300 in `slot` reports.
std::vector<uint32_t> default_info(int slot);

struct frame {
    uint16_t ethertype;
    std::vector<uint8_t> bytes; // the whole frame
};

class carrier_sim {
public:
    explicit carrier_sim(config cfg);
    ~carrier_sim();
    carrier_sim(const carrier_sim &) = delete;
    carrier_sim &operator=(const carrier_sim &) = delete;

    // Opens the socket on the interface in the calling thread's network
    // namespace; false with a message in error() on failure.
    bool open();
    // Serves on a thread until stop(); or on the calling thread until `stop_flag`.
    void start();
    void stop();
    void serve(const std::atomic<bool> &stop_flag);
    const std::string &error() const { return error_; }

    // Observations (thread-safe copies).
    std::vector<frame> frames() const;
    std::map<int, uint32_t> vmap() const;          // virtual address -> port mask
    std::vector<std::vector<uint32_t>> cfwr() const; // records of each CFWR
    int spi_count(uint8_t cmd) const;               // SPI commands executed
    int refresh_count() const;
    std::vector<uint8_t> flash() const;
    void clear_records();
    void set_drop_every(int n) { drop_every_ = n; }
    download_state downloads() const;
    void set_bad_acks(int n);
    // Loses the acknowledgement of the nth download frame (1-based) counted
    // from now; 0: none.
    void set_drop_ack_at(int n);
    // Answers the nth download frame from now with ERR set; 0: none.
    void set_bad_ack_at(int n);
    // Sends an MII frame (ethertype 0xADEE) from this carrier's port `port`
    // to the card whose bridge address byte is `to`.
    bool inject_mii(const std::vector<uint8_t> &payload, int port, uint8_t to);
    // Sends a whole Ethernet frame as it is.
    bool send_raw(const std::vector<uint8_t> &frame);

    // ASI output engines (none unless the INFO records hold an ASI port).
    unsigned asi_interfaces() const { return unsigned(engines_.size()); }
    asi_engine engine(unsigned row) const;       // a copy; a default one for a row out of range
    asi_connector connector(unsigned row) const; // the same
    // The drain of an engine runs at `factor` times the programmed pace
    // (0.9: ten per cent slower).
    void set_skew(unsigned row, double factor);
    void set_report_period_ms(int ms) { report_period_ms_ = ms; }
    // Called on the engine thread with the packets each connector sends
    // (whole 188-byte packets, `count` of them); null: none. Once this
    // returns, the previous sink is no longer called (so not from a sink).
    using asi_sink = std::function<void(unsigned connector, const uint8_t *packets, size_t count)>;
    void set_asi_sink(asi_sink fn);

private:
    void handle(const uint8_t *f, size_t len);
    void reply(std::vector<uint8_t> out, bool ifp);
    void handle_ifp(const uint8_t *f, size_t len);
    void handle_download(const uint8_t *f, size_t len);
    uint8_t spi(uint8_t cmd, uint32_t addr, const std::vector<uint8_t> &mosi, std::vector<uint8_t> &miso);
    void wishbone(const std::vector<uint8_t> &in, std::vector<uint8_t> &out);
    bool busy() const;
    void persist(size_t off, size_t len);
    void asi_record(uint32_t w);
    void asi_datagram(const uint8_t *f, size_t len);
    void run_engines(const std::atomic<bool> &stop_flag);
    std::vector<uint8_t> info_answer(const uint8_t dst[6], uint16_t type);

    config cfg_;
    int fd_ = -1;
    int ifindex_ = 0;
    std::string error_;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::atomic<int> drop_every_{0};
    uint64_t requests_ = 0;
    uint64_t ifp_replies_ = 0;

    mutable std::mutex mutex_; // guards everything below
    std::vector<frame> frames_;
    std::map<int, uint32_t> vmap_;
    std::vector<std::vector<uint32_t>> cfwr_;
    std::map<uint8_t, int> spi_counts_;
    int refreshes_ = 0;
    std::vector<uint8_t> flash_;
    bool wel_ = false;
    int64_t busy_until_us_ = 0;
    bool busy_forever_ = false;
    download_state dl_;
    int bad_acks_ = 0;
    int drop_ack_at_ = 0;
    int bad_ack_at_ = 0;
    int dl_frames_ = 0; // download frames since set_drop_ack_at

    struct engine_state {
        asi_engine e;
        std::deque<std::array<uint8_t, 188>> queue;
        double credit = 0; // packets due to the drain
    };
    mutable std::mutex asi_mutex_; // guards the engines, the connectors and report_to_
    std::vector<engine_state> engines_; // sized at construction
    std::vector<asi_connector> connectors_;
    uint8_t report_to_[6] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
    std::mutex sink_mutex_; // held while the sink is called or replaced
    asi_sink sink_;
    std::atomic<int> report_period_ms_{0};
};

} // namespace xsbsim

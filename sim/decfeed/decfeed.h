// The forwarder's side of the decoder link, for the decoder's tests: sends
// a transport stream as unix datagrams of ten packets (1880 bytes) to
// "/var/run/decode-N-unix.sock" under KD_ROOT, at a bit rate, looping,
// pausing, sending short datagrams or marking packets as scrambled.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace decfeed {

constexpr size_t ts_packet = 188;
constexpr size_t datagram_size = 1880;

// The stream's bytes cut to whole packets; empty when the file cannot be read.
std::vector<uint8_t> read_ts(const std::string &path);

struct options {
    unsigned channel = 0;
    double bitrate_bps = 2000000; // 0: as fast as the socket takes them
    bool loop = false;
    size_t datagram = datagram_size; // bytes per datagram (a short one is allowed)
    int scramble_pid = -1;           // packets of this PID get scrambling control '10'
};

class feeder {
public:
    feeder(std::vector<uint8_t> ts, options opt);
    ~feeder();
    feeder(const feeder &) = delete;
    feeder &operator=(const feeder &) = delete;

    // The socket path of a channel under KD_ROOT.
    static std::string socket_path(unsigned channel);

    // Sends bytes [offset, offset + len) of the stream now, as datagrams of
    // the configured size (the last may be shorter). The number of bytes
    // the decoder's socket accepted.
    size_t send_now(size_t offset, size_t len);
    // Sends one datagram of arbitrary bytes; true when accepted whole.
    bool send_raw(const uint8_t *bytes, size_t len);

    // The paced sender on its own thread; stop is safe to call twice.
    void start();
    void pause(bool paused) { paused_.store(paused); }
    void stop();
    bool finished() const { return finished_.load(); }
    uint64_t bytes_sent() const { return sent_.load(); }

private:
    void run();
    void prepare(uint8_t *dgram, size_t len) const;

    std::vector<uint8_t> ts_;
    options opt_;
    int fd_ = -1;
    std::string path_;
    std::thread thread_;
    std::atomic<bool> stop_{false}, paused_{false}, finished_{false};
    std::atomic<uint64_t> sent_{0};
};

} // namespace decfeed

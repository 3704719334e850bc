// The decoder-link sender.
#include "decfeed.h"

#include <kerrow/path.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <fstream>
#include <stdexcept>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace decfeed {

std::vector<uint8_t> read_ts(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::vector<uint8_t> b((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    b.resize(b.size() / ts_packet * ts_packet);
    return b;
}

std::string feeder::socket_path(unsigned channel)
{
    return kd::rooted("/var/run/decode-" + std::to_string(channel) + "-unix.sock");
}

feeder::feeder(std::vector<uint8_t> ts, options opt) : ts_(std::move(ts)), opt_(opt), path_(socket_path(opt.channel))
{
    fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd_ < 0)
        throw std::runtime_error("decfeed: cannot create a unix socket");
    if (opt_.datagram == 0)
        opt_.datagram = datagram_size;
}

feeder::~feeder()
{
    stop();
    close(fd_);
}

void feeder::prepare(uint8_t *dgram, size_t len) const
{
    if (opt_.scramble_pid < 0)
        return;
    for (size_t off = 0; off + ts_packet <= len; off += ts_packet) {
        uint8_t *p = dgram + off;
        if (((p[1] & 0x1F) << 8 | p[2]) == opt_.scramble_pid)
            p[3] = uint8_t((p[3] & 0x3F) | 0x80);
    }
}

bool feeder::send_raw(const uint8_t *bytes, size_t len)
{
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, path_.c_str(), sizeof addr.sun_path - 1);
    const ssize_t n = sendto(fd_, bytes, len, 0, reinterpret_cast<sockaddr *>(&addr), sizeof addr);
    if (n != ssize_t(len))
        return false;
    sent_ += len;
    return true;
}

size_t feeder::send_now(size_t offset, size_t len)
{
    size_t done = 0;
    std::vector<uint8_t> d(opt_.datagram);
    while (done < len && offset + done < ts_.size()) {
        const size_t n = std::min({opt_.datagram, len - done, ts_.size() - offset - done});
        std::memcpy(d.data(), ts_.data() + offset + done, n);
        prepare(d.data(), n);
        if (!send_raw(d.data(), n))
            break;
        done += n;
    }
    return done;
}

void feeder::start()
{
    if (thread_.joinable())
        return;
    stop_ = false;
    finished_ = false;
    thread_ = std::thread([this] { run(); });
}

void feeder::stop()
{
    stop_ = true;
    if (thread_.joinable())
        thread_.join();
}

void feeder::run()
{
    using clock = std::chrono::steady_clock;
    size_t offset = 0;
    double due_s = 0; // stream time of the next datagram
    auto t0 = clock::now();
    while (!stop_.load() && !ts_.empty()) {
        if (paused_.load()) {
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
            t0 = clock::now(), due_s = 0; // resume at the rate, without a burst
            continue;
        }
        if (offset >= ts_.size()) {
            if (!opt_.loop)
                break;
            offset = 0;
        }
        if (opt_.bitrate_bps > 0) {
            const auto due = t0 + std::chrono::duration_cast<clock::duration>(std::chrono::duration<double>(due_s));
            std::this_thread::sleep_until(due);
        }
        const size_t n = std::min(opt_.datagram, ts_.size() - offset);
        // A datagram the socket refuses (no decoder bound yet, buffer full)
        // is lost, as it is for the forwarder.
        send_now(offset, n);
        offset += n;
        if (opt_.bitrate_bps > 0)
            due_s += double(n) * 8.0 / opt_.bitrate_bps;
    }
    finished_ = true;
}

} // namespace decfeed

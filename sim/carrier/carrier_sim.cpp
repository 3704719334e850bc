// The simulated carrier's frame handling and its SPI flash model.
#include "carrier_sim.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>

#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/if_ether.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace xsbsim {

namespace {
constexpr uint16_t ETH_CONFIG = 0x88B4, ETH_CMD = 0x88B5, ETH_MII = 0xADEE, ETH_RAW = 0x88B7, ETH_IP = 0x0800;
constexpr size_t HDR = 14;
constexpr uint32_t W = 0x100; // IFP content words are 0x100 | byte

uint32_t be32(const uint8_t *p) { return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3]; }
void put32(std::vector<uint8_t> &v, uint32_t x)
{
    v.push_back(uint8_t(x >> 24));
    v.push_back(uint8_t(x >> 16));
    v.push_back(uint8_t(x >> 8));
    v.push_back(uint8_t(x));
}
int64_t now_us()
{
    using namespace std::chrono;
    return duration_cast<microseconds>(steady_clock::now().time_since_epoch()).count();
}
uint16_t be16(const uint8_t *p) { return uint16_t(p[0] << 8 | p[1]); }
bool is_tag(const uint8_t *f, size_t len, const char *tag) { return len >= 18 && std::memcmp(f + HDR, tag, 4) == 0; }
// The XSB MAC of address 0xHLL.
bool mac_is(const uint8_t *mac, unsigned addr)
{
    return mac[0] == 0x00 && mac[1] == 0x90 && mac[2] == 0x1F && mac[3] == 0x00 &&
           mac[4] == ((addr >> 8) & 0xF) && mac[5] == (addr & 0xFF);
}

// ASI output engines: the port type in INFO, the UDP port the engines take
// datagrams on, the queue's capacity (the level field's range), the pacing
// clock and the record kinds.
constexpr unsigned kAsiPortType = 9;
constexpr uint16_t kAsiUdpPort = 2000;
constexpr size_t kQueueCapacity = 0xFFFF;
constexpr double kTickHz = 2048.0 * 27e6;
enum : unsigned { ASI_ADDRESS = 0, ASI_LATENCY = 1, ASI_PACING_HI = 2, ASI_PACING_LO = 3, ASI_STREAM = 8 };

// Interfaces of the ASI port among INFO records (bits 8..11 of its data word).
unsigned asi_interfaces_in(const std::vector<uint32_t> &info)
{
    for (uint32_t r : info)
        if ((r >> 28) == 4 && ((r >> 16) & 0xFF) == kAsiPortType)
            return (r >> 8) & 0xF;
    return 0;
}
} // namespace

std::vector<uint32_t> default_info(int slot)
{
    const uint32_t s = uint32_t(slot) & 0xF;
    return {
        0x01330030,                              // carrier KT-3300, revision "0"
        0x02013210,                              // Lattice XO3 2100-1
        0x03120203,                              // firmware 1.2.0203
        0x24000000,                              // BLVDS: no lanes
        0x40020000 | 0x0E00 | s << 4,            // port 0: ifp
        0x41030000 | 0x0E00 | s << 4 | 1,        // port 1: bridge
        0x42070000 | 0x0E00 | s << 4 | 2,        // port 2: ts
        0x43040001,                              // port 3: fpgapgm, programmed
    };
}

carrier_sim::carrier_sim(config cfg) : cfg_(std::move(cfg)), drop_every_(cfg_.drop_every)
{
    bad_acks_ = cfg_.bad_acks;
    if (cfg_.info.empty())
        cfg_.info = default_info(cfg_.slot);
    engines_.resize(asi_interfaces_in(cfg_.info));
    connectors_.resize(engines_.size());
    report_period_ms_ = cfg_.report_period_ms;
}

carrier_sim::~carrier_sim()
{
    stop();
    if (fd_ >= 0)
        close(fd_);
}

bool carrier_sim::open()
{
    // The flash: the image file when there is one.
    flash_.assign(size_t(cfg_.flash_size), 0xFF);
    if (!cfg_.flash_path.empty()) {
        const int f = ::open(cfg_.flash_path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
        struct stat st{};
        if (f < 0 || fstat(f, &st) < 0) {
            error_ = "flash image " + cfg_.flash_path + ": " + std::strerror(errno);
            if (f >= 0)
                ::close(f);
            return false;
        }
        if (st.st_size > 0) {
            flash_.resize(size_t(st.st_size));
            if (pread(f, flash_.data(), flash_.size(), 0) != ssize_t(flash_.size()))
                error_ = "flash image short read";
        } else if (pwrite(f, flash_.data(), flash_.size(), 0) != ssize_t(flash_.size())) {
            error_ = "flash image write failed";
        }
        ::close(f);
        if (!error_.empty())
            return false;
    }
    fd_ = socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC, htons(ETH_P_ALL));
    if (fd_ < 0) {
        error_ = std::string("socket: ") + std::strerror(errno);
        return false;
    }
    ifindex_ = int(if_nametoindex(cfg_.ifname.c_str()));
    if (ifindex_ == 0) {
        error_ = "no interface " + cfg_.ifname;
        return false;
    }
    sockaddr_ll sll{};
    sll.sll_family = AF_PACKET;
    sll.sll_protocol = htons(ETH_P_ALL);
    sll.sll_ifindex = ifindex_;
    if (bind(fd_, reinterpret_cast<sockaddr *>(&sll), sizeof sll) < 0) {
        error_ = std::string("bind: ") + std::strerror(errno);
        return false;
    }
    return true;
}

void carrier_sim::start()
{
    stop_ = false;
    thread_ = std::thread([this] { serve(stop_); });
}

void carrier_sim::stop()
{
    stop_ = true;
    if (thread_.joinable())
        thread_.join();
}

void carrier_sim::serve(const std::atomic<bool> &stop_flag)
{
    std::thread engines;
    if (!engines_.empty())
        engines = std::thread([&] { run_engines(stop_flag); });
    std::vector<uint8_t> buf(2048);
    while (!stop_flag) {
        pollfd p{fd_, POLLIN, 0};
        if (poll(&p, 1, 20) <= 0)
            continue;
        sockaddr_ll from{};
        socklen_t fl = sizeof from;
        const ssize_t n = recvfrom(fd_, buf.data(), buf.size(), 0, reinterpret_cast<sockaddr *>(&from), &fl);
        if (n < ssize_t(HDR) || from.sll_pkttype == PACKET_OUTGOING)
            continue;
        handle(buf.data(), size_t(n));
    }
    if (engines.joinable())
        engines.join();
}

void carrier_sim::handle(const uint8_t *f, size_t len)
{
    const uint16_t type = uint16_t(f[12] << 8 | f[13]);
    if (type == ETH_IP && !engines_.empty()) {
        asi_datagram(f, len);
        return;
    }
    if (type != ETH_CONFIG && type != ETH_CMD && type != ETH_MII && type != ETH_RAW)
        return;
    {
        std::lock_guard lock(mutex_);
        frames_.push_back({type, std::vector<uint8_t>(f, f + len)});
    }
    if (!cfg_.record_path.empty()) {
        if (FILE *r = std::fopen(cfg_.record_path.c_str(), "a")) {
            std::fprintf(r, "%04x", type);
            for (size_t i = 0; i < len; ++i)
                std::fprintf(r, "%s%02x", i ? "" : " ", f[i]);
            std::fprintf(r, "\n");
            std::fclose(r);
        }
    }
    const unsigned slot = unsigned(cfg_.slot) & 0xF;
    const uint8_t *dst = f;
    const bool to_config = mac_is(dst, 0xFFF) || mac_is(dst, 0xF00 | slot);

    if ((type == ETH_CONFIG || type == ETH_CMD) && to_config && is_tag(f, len, "INRQ")) {
        {
            std::lock_guard lock(asi_mutex_);
            std::memcpy(report_to_, f + 6, 6);
        }
        reply(info_answer(f + 6, type), false); // back to the asker
        return;
    }
    if (type == ETH_CMD && cfg_.answer_ping && mac_is(dst, 0xE00 | slot << 4 | 1) && is_tag(f, len, "PING")) {
        std::vector<uint8_t> out(f, f + 18);
        std::swap(out[5], out[11]);
        std::memcpy(out.data() + HDR, "OKAY", 4);
        reply(std::move(out), false);
        return;
    }
    if (type == ETH_CMD && to_config && is_tag(f, len, "VMWR")) {
        std::lock_guard lock(mutex_);
        for (size_t off = 18; off + 4 <= len; off += 4) {
            const uint32_t w = be32(f + off);
            if (w == 0xFFFFFFFF)
                break;
            const int addr = int(w >> 20);
            if (w & 0xFFFFF)
                vmap_[addr] = w & 0xFFFFF;
            else
                vmap_.erase(addr);
        }
        return;
    }
    if ((type == ETH_CONFIG || type == ETH_CMD) && to_config && is_tag(f, len, "CFWR")) {
        std::vector<uint32_t> words;
        for (size_t off = 18; off + 4 <= len; off += 4) {
            const uint32_t w = be32(f + off);
            if (w == 0xFFFFFFFF)
                break;
            words.push_back(w);
            if (w >> 24 == 0x04)
                asi_record(w);
        }
        std::lock_guard lock(mutex_);
        cfwr_.push_back(std::move(words));
        return;
    }
    if (type == ETH_CONFIG && mac_is(dst, 0xE00 | slot << 4 | (unsigned(cfg_.fpgapgm_port) & 0xF)) && len >= HDR + 8) {
        handle_download(f, len);
        return;
    }
    if (type == ETH_CONFIG && mac_is(dst, 0xE00 | slot << 4) && len >= HDR + 4 * 21 &&
        be32(f + HDR) == (W | 'I') && be32(f + HDR + 4) == (W | 'F') && be32(f + HDR + 8) == (W | 'P'))
        handle_ifp(f, len);
}

void carrier_sim::reply(std::vector<uint8_t> out, bool ifp)
{
    ++requests_;
    const int drop = drop_every_;
    if (drop > 0 && requests_ % uint64_t(drop) == 0)
        return;
    if (cfg_.delay_us > 0)
        std::this_thread::sleep_for(std::chrono::microseconds(cfg_.delay_us));
    sockaddr_ll to{};
    to.sll_family = AF_PACKET;
    to.sll_ifindex = ifindex_;
    to.sll_halen = 6;
    std::memcpy(to.sll_addr, out.data(), 6);
    auto send = [&](const std::vector<uint8_t> &b) {
        sendto(fd_, b.data(), b.size(), 0, reinterpret_cast<sockaddr *>(&to), sizeof to);
    };
    if (ifp && cfg_.corrupt_every > 0 && ++ifp_replies_ % uint64_t(cfg_.corrupt_every) == 0) {
        // A decoy first: the same answer for another session.
        std::vector<uint8_t> decoy = out;
        decoy[HDR + 4 * (4 + 4) + 3] ^= 0x5A;
        send(decoy);
    }
    send(out);
    if (cfg_.duplicate)
        send(out);
}

void carrier_sim::handle_ifp(const uint8_t *f, size_t len)
{
    const size_t words = (len - HDR) / 4;
    auto w = [f](size_t i) { return be32(f + HDR + 4 * i); };
    const uint8_t op = uint8_t(w(3));
    const size_t dw = words - 16 - 5; // data words between header and trailer

    // Response: four words of our own, the request header echoed, then data.
    std::vector<uint8_t> out(f + 6, f + 12);
    out.insert(out.end(), f, f + 6);
    out.push_back(f[12]);
    out.push_back(f[13]);
    for (int i = 0; i < 4; ++i)
        put32(out, W);
    for (size_t i = 0; i < 16; ++i)
        put32(out, w(i));

    if (op == 17) { // MSPI
        const uint8_t cmd = uint8_t(w(16));
        const bool addressed = cmd == 0x03 || cmd == 0x02;
        uint32_t addr = 0;
        size_t first = 17;
        if (addressed) {
            addr = (w(17) & 0xFF) << 16 | (w(18) & 0xFF) << 8 | (w(19) & 0xFF);
            first = 20;
        }
        std::vector<uint8_t> mosi, miso;
        for (size_t i = first; i < 16 + dw; ++i)
            mosi.push_back(uint8_t(w(i)));
        const uint8_t status = spi(cmd, addr, mosi, miso);
        put32(out, W | cmd);
        put32(out, W | status);
        if (addressed) {
            put32(out, W | ((addr >> 16) & 0xFF));
            put32(out, W | ((addr >> 8) & 0xFF));
            put32(out, W | (addr & 0xFF));
        }
        for (uint8_t b : miso)
            put32(out, W | b);
    } else if (op == 18) { // Wishbone
        std::vector<uint8_t> in, res;
        for (size_t i = 16; i < 16 + dw; ++i)
            in.push_back(uint8_t(w(i)));
        wishbone(in, res);
        for (uint8_t b : res)
            put32(out, W | b);
    } else if (op == 19) { // configuration ROM
        for (size_t i = 0; i < 256; ++i)
            put32(out, W | (i < cfg_.drom.size() ? uint8_t(cfg_.drom[i]) : 0));
    } else {
        return;
    }
    // Exactly the request's length.
    out.resize(len, 0);
    reply(std::move(out), true);
}

// Download frames: word 1 holds type (bits 31..29) and command (28..23),
// word 2 the data length. FPGA frames (type 2) carry image bytes: START
// begins an image, STOP ends it. Microcontroller frames (type 4) carry
// background-debug records: command 1 the memory setup, command 2 the start
// table, command 0 the first image frame (10 bytes of record and 4 image
// bytes) or a data frame (00 02, the word count, the bytes).
void carrier_sim::handle_download(const uint8_t *f, size_t len)
{
    const uint32_t w1 = be32(f + HDR);
    const size_t dlen = std::min<size_t>(be32(f + HDR + 4) & 0xFFFF, len - HDR - 8);
    const uint8_t *d = f + HDR + 8;
    const unsigned type = w1 >> 29, cmd = (w1 >> 23) & 0x3F;
    bool good = true;
    {
        std::lock_guard lock(mutex_);
        if (type == 2) {
            if (cmd == 1) {
                dl_.fpga.clear();
                dl_.fpga_stopped = false;
                ++dl_.fpga_starts;
            }
            dl_.fpga.insert(dl_.fpga.end(), d, d + dlen);
            if (cmd == 2)
                dl_.fpga_stopped = true;
        } else if (type == 4) {
            if (cmd == 1) {
                ++dl_.mcu_setups;
                dl_.mcu_started = false;
            } else if (cmd == 2) {
                dl_.mcu_started = true;
            } else if (dlen >= 2 && d[0] == 0x00 && d[1] == 0x01 && dlen == 14) {
                dl_.mcu.assign(d + 10, d + 14);
            } else if (dlen >= 4 && d[0] == 0x00 && d[1] == 0x02) {
                const size_t n = dlen - 4;
                if (size_t(d[2] << 8 | d[3]) != n / 2)
                    dl_.mcu_bad_length = true;
                dl_.mcu.insert(dl_.mcu.end(), d + 4, d + dlen);
            }
        }
        if (bad_acks_ > 0) {
            --bad_acks_;
            good = false;
        }
        ++dl_frames_;
        if (dl_frames_ == drop_ack_at_)
            return;
        if (dl_frames_ == bad_ack_at_)
            good = false;
    }
    if (!cfg_.ack_downloads)
        return;
    std::vector<uint8_t> out(f + 6, f + 12); // back to the sender
    out.insert(out.end(), f, f + 6);
    out.push_back(f[12]);
    out.push_back(f[13]);
    put32(out, (w1 & ~0x00600000u) | (good ? 0x00400000u : 0x00200000u));
    put32(out, 0);
    reply(std::move(out), false);
}

download_state carrier_sim::downloads() const
{
    std::lock_guard lock(mutex_);
    return dl_;
}

void carrier_sim::set_bad_acks(int n)
{
    std::lock_guard lock(mutex_);
    bad_acks_ = n;
}

void carrier_sim::set_drop_ack_at(int n)
{
    std::lock_guard lock(mutex_);
    drop_ack_at_ = n;
    dl_frames_ = 0;
}

void carrier_sim::set_bad_ack_at(int n)
{
    std::lock_guard lock(mutex_);
    bad_ack_at_ = n;
    dl_frames_ = 0;
}

bool carrier_sim::inject_mii(const std::vector<uint8_t> &payload, int port, uint8_t to)
{
    const uint8_t hdr[14] = {0x00, 0x90, 0x1F, 0x00, 0x0E, to,
                             0x00, 0x90, 0x1F, 0x00, 0x0E, uint8_t((unsigned(cfg_.slot) & 0xF) << 4 | (unsigned(port) & 0xF)),
                             uint8_t(ETH_MII >> 8), uint8_t(ETH_MII & 0xFF)};
    std::vector<uint8_t> out(hdr, hdr + sizeof hdr);
    out.insert(out.end(), payload.begin(), payload.end());
    return send_raw(out);
}

bool carrier_sim::send_raw(const std::vector<uint8_t> &frame)
{
    if (frame.size() < HDR)
        return false;
    sockaddr_ll dst{};
    dst.sll_family = AF_PACKET;
    dst.sll_ifindex = ifindex_;
    dst.sll_halen = 6;
    std::memcpy(dst.sll_addr, frame.data(), 6);
    return sendto(fd_, frame.data(), frame.size(), 0, reinterpret_cast<sockaddr *>(&dst), sizeof dst) ==
           ssize_t(frame.size());
}

// INFO with the given ethertype: the records, one queue report per ASI
// interface (0x81, the row in bits 16..19, the level in packets in bits
// 0..15) and the end record.
std::vector<uint8_t> carrier_sim::info_answer(const uint8_t dst[6], uint16_t type)
{
    std::vector<uint8_t> out(dst, dst + 6);
    const uint8_t src[6] = {0x00, 0x90, 0x1F, 0x00, 0x0F, uint8_t(unsigned(cfg_.slot) & 0xF)};
    out.insert(out.end(), src, src + 6);
    out.insert(out.end(), {uint8_t(type >> 8), uint8_t(type & 0xFF), 'I', 'N', 'F', 'O'});
    for (uint32_t r : cfg_.info)
        put32(out, r);
    {
        std::lock_guard lock(asi_mutex_);
        for (size_t row = 0; row < engines_.size(); ++row)
            put32(out, 0x81000000u | uint32_t(row) << 16 | uint32_t(std::min(engines_[row].queue.size(), kQueueCapacity)));
    }
    put32(out, 0xFFFFFFFF);
    return out;
}

// One ASI record of a CFWR frame; rows beyond the interfaces are ignored.
void carrier_sim::asi_record(uint32_t w)
{
    const unsigned kind = (w >> 20) & 0xF, row = (w >> 16) & 0xF, v = w & 0xFFFF;
    std::lock_guard lock(asi_mutex_);
    if (row >= engines_.size())
        return;
    engine_state &st = engines_[row];
    asi_engine &e = st.e;
    switch (kind) {
    case ASI_ADDRESS: {
        e.vaddr = uint16_t(v >> 4);
        const bool enable = v & 1;
        if (enable != e.enabled) { // a start or a stop begins with an empty queue
            st.queue.clear();
            st.credit = 0;
            e.draining = false;
            e.level = 0;
        }
        e.enabled = enable;
        break;
    }
    case ASI_LATENCY:
        e.latency = v;
        break;
    case ASI_PACING_HI:
        e.pacing = (e.pacing & 0xFFFF) | uint32_t(v) << 16;
        break;
    case ASI_PACING_LO:
        e.pacing = (e.pacing & 0xFFFF0000u) | v;
        break;
    case ASI_STREAM:
        connectors_[row] = {int(v >> 4), (v & 1) != 0};
        break;
    default:
        break;
    }
}

// A frame of IPv4: a UDP datagram to port 2000 at the MAC address of an
// engine's virtual address is queued there, packet by packet.
void carrier_sim::asi_datagram(const uint8_t *f, size_t len)
{
    if (len < HDR + 20 || f[0] != 0x00 || f[1] != 0x90 || f[2] != 0x1F || f[3] != 0x00)
        return;
    const uint8_t *ip = f + HDR;
    const size_t ihl = size_t(ip[0] & 0x0F) * 4;
    if ((ip[0] >> 4) != 4 || ip[9] != 17 || ihl < 20 || len < HDR + ihl + 8)
        return;
    const uint8_t *udp = ip + ihl;
    if (be16(udp + 2) != kAsiUdpPort)
        return;
    const size_t payload = std::min<size_t>(be16(udp + 4) < 8 ? 0 : be16(udp + 4) - 8u, len - HDR - ihl - 8);
    const uint16_t vaddr = uint16_t((f[4] & 0xF) << 8 | f[5]);
    std::lock_guard lock(asi_mutex_);
    for (engine_state &st : engines_) {
        asi_engine &e = st.e;
        if (e.vaddr != vaddr || e.vaddr == 0)
            continue;
        const size_t count = payload / 188;
        if (!e.enabled || payload % 188 != 0 || payload == 0) {
            e.dropped += count;
            return;
        }
        for (size_t i = 0; i < count; ++i) {
            if (st.queue.size() >= kQueueCapacity) {
                ++e.dropped;
                continue;
            }
            std::array<uint8_t, 188> &p = st.queue.emplace_back();
            std::memcpy(p.data(), udp + 8 + 188 * i, 188);
            ++e.received;
        }
        e.level = st.queue.size();
        return;
    }
}

// The engines' clock, every millisecond: each engine that reached its
// latency since the start drains the packets due at its pace (a pace
// missed on an empty queue is lost, as stuffing would fill it); the
// connectors hand out the streams they select; the periodic reports go on
// the configuration ethertype, where the forwarder listens for INFO.
void carrier_sim::run_engines(const std::atomic<bool> &stop_flag)
{
    using clock = std::chrono::steady_clock;
    auto last = clock::now();
    auto next_report = last;
    std::vector<std::vector<uint8_t>> out(engines_.size());
    while (!stop_flag) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        const auto now = clock::now();
        const double dt = std::chrono::duration<double>(now - last).count();
        last = now;
        std::vector<std::pair<unsigned, const std::vector<uint8_t> *>> sends;
        {
            std::lock_guard lock(asi_mutex_);
            for (size_t row = 0; row < engines_.size(); ++row) {
                engine_state &st = engines_[row];
                asi_engine &e = st.e;
                out[row].clear();
                if (!e.enabled || e.pacing == 0)
                    continue;
                if (!e.draining) {
                    if (st.queue.empty() || st.queue.size() < e.latency)
                        continue;
                    e.draining = true;
                    st.credit = 0;
                }
                st.credit += dt * kTickHz / (double(e.pacing) + 2048.0) * e.skew;
                size_t n = std::min(size_t(st.credit), st.queue.size());
                st.credit -= double(n);
                if (st.queue.empty() || n == st.queue.size())
                    st.credit -= std::floor(st.credit); // no credit banked while empty
                for (; n > 0; --n) {
                    out[row].insert(out[row].end(), st.queue.front().begin(), st.queue.front().end());
                    st.queue.pop_front();
                    ++e.drained;
                }
                e.level = st.queue.size();
            }
            for (size_t c = 0; c < connectors_.size(); ++c) {
                const int s = connectors_[c].stream;
                if (s >= 0 && size_t(s) < out.size() && !out[size_t(s)].empty())
                    sends.emplace_back(unsigned(c), &out[size_t(s)]);
            }
        }
        if (!sends.empty()) {
            std::lock_guard lock(sink_mutex_);
            if (sink_)
                for (const auto &[c, bytes] : sends)
                    sink_(c, bytes->data(), bytes->size() / 188);
        }
        const int period = report_period_ms_;
        if (period > 0 && now >= next_report) {
            uint8_t to[6];
            {
                std::lock_guard lock(asi_mutex_);
                std::memcpy(to, report_to_, 6);
            }
            send_raw(info_answer(to, ETH_CONFIG));
            next_report = now + std::chrono::milliseconds(period);
        }
    }
}

asi_engine carrier_sim::engine(unsigned row) const
{
    std::lock_guard lock(asi_mutex_);
    return row < engines_.size() ? engines_[row].e : asi_engine{};
}

asi_connector carrier_sim::connector(unsigned row) const
{
    std::lock_guard lock(asi_mutex_);
    return row < connectors_.size() ? connectors_[row] : asi_connector{};
}

void carrier_sim::set_skew(unsigned row, double factor)
{
    std::lock_guard lock(asi_mutex_);
    if (row < engines_.size() && factor > 0)
        engines_[row].e.skew = factor;
}

void carrier_sim::set_asi_sink(asi_sink fn)
{
    std::lock_guard lock(sink_mutex_);
    sink_ = std::move(fn);
}

bool carrier_sim::busy() const { return busy_forever_ || now_us() < busy_until_us_; }

void carrier_sim::persist(size_t off, size_t len)
{
    if (cfg_.flash_path.empty())
        return;
    const int f = ::open(cfg_.flash_path.c_str(), O_WRONLY | O_CLOEXEC);
    if (f < 0)
        return;
    if (pwrite(f, flash_.data() + off, len, off_t(off)) != ssize_t(len))
        std::fprintf(stderr, "xsbcarrier: flash image write failed\n");
    ::close(f);
}

// The JEDEC serial-flash model: write enable latch, page program within a
// 256-byte page (bits only cleared), bulk erase, status with timed busy.
uint8_t carrier_sim::spi(uint8_t cmd, uint32_t addr, const std::vector<uint8_t> &mosi, std::vector<uint8_t> &miso)
{
    std::lock_guard lock(mutex_);
    ++spi_counts_[cmd];
    const bool b = busy();
    miso.assign(mosi.size(), 0xFF);
    const size_t size = flash_.size();
    switch (cmd) {
    case 0x06: // write enable
        if (!b)
            wel_ = true;
        break;
    case 0x04: // write disable
        if (!b)
            wel_ = false;
        break;
    case 0x9F: // read identification
        for (size_t i = 0; i < miso.size(); ++i)
            miso[i] = i < cfg_.flash_id.size() ? cfg_.flash_id[i] : 0x00;
        break;
    case 0x05: // read status
        std::fill(miso.begin(), miso.end(), uint8_t((b ? 0x01 : 0) | (wel_ ? 0x02 : 0)));
        break;
    case 0x03: // read data
        if (!b)
            for (size_t i = 0; i < miso.size(); ++i)
                miso[i] = flash_[(addr + i) % size];
        break;
    case 0x02: // page program
        if (!b && wel_ && addr < size) {
            const size_t page = addr & ~0xFFu;
            for (size_t i = 0; i < mosi.size(); ++i) {
                const size_t at = page + ((addr + i) & 0xFF);
                if (at < size)
                    flash_[at] &= mosi[i];
            }
            persist(page, std::min<size_t>(256, size - page));
            wel_ = false;
            busy_until_us_ = now_us() + cfg_.program_us;
            busy_forever_ = cfg_.stuck_busy;
        }
        break;
    case 0xC7: // bulk erase
        if (!b && wel_) {
            std::fill(flash_.begin(), flash_.end(), uint8_t(0xFF));
            persist(0, size);
            wel_ = false;
            busy_until_us_ = now_us() + int64_t(cfg_.erase_ms) * 1000;
            busy_forever_ = cfg_.stuck_busy;
        }
        break;
    default:
        break;
    }
    return uint8_t((busy() ? 0x01 : 0) | (wel_ ? 0x02 : 0));
}

// The configuration port behind the Wishbone bytes: pairs after a leading
// byte; 70 80 selects, 71 xx writes a command or operand byte, F3 FF reads
// one answer byte into the FF's position, 70 00 ends the command.
void carrier_sim::wishbone(const std::vector<uint8_t> &in, std::vector<uint8_t> &out)
{
    out.assign(in.size() + 1, 0xFF);
    std::vector<uint8_t> command;
    size_t k = 0;
    auto answer = [this](uint8_t c) -> std::vector<uint8_t> {
        std::vector<uint8_t> a;
        auto add = [&a](uint32_t v) {
            for (int s = 24; s >= 0; s -= 8)
                a.push_back(uint8_t(v >> s));
        };
        if (c == 0xE0)
            add(cfg_.fpga_id);
        else if (c == 0x19)
            add(cfg_.trace_id[0]), add(cfg_.trace_id[1]);
        else if (c == 0xC0)
            add(cfg_.user_code);
        else if (c == 0x3C)
            add(cfg_.status);
        return a;
    };
    for (size_t i = 1; i + 1 < in.size(); i += 2) {
        const uint8_t ctl = in[i], val = in[i + 1];
        if (ctl == 0x70 && val == 0x80) {
            command.clear();
            k = 0;
        } else if (ctl == 0x70 && val == 0x00) {
            if (!command.empty() && command[0] == 0x79) {
                std::lock_guard lock(mutex_);
                ++refreshes_;
            }
        } else if (ctl == 0x71) {
            command.push_back(val);
        } else if (ctl == 0xF3 && !command.empty()) {
            const auto a = answer(command[0]);
            out[i + 1] = k < a.size() ? a[k] : 0;
            ++k;
        }
    }
}

std::vector<frame> carrier_sim::frames() const
{
    std::lock_guard lock(mutex_);
    return frames_;
}
std::map<int, uint32_t> carrier_sim::vmap() const
{
    std::lock_guard lock(mutex_);
    return vmap_;
}
std::vector<std::vector<uint32_t>> carrier_sim::cfwr() const
{
    std::lock_guard lock(mutex_);
    return cfwr_;
}
int carrier_sim::spi_count(uint8_t cmd) const
{
    std::lock_guard lock(mutex_);
    auto it = spi_counts_.find(cmd);
    return it == spi_counts_.end() ? 0 : it->second;
}
int carrier_sim::refresh_count() const
{
    std::lock_guard lock(mutex_);
    return refreshes_;
}
std::vector<uint8_t> carrier_sim::flash() const
{
    std::lock_guard lock(mutex_);
    return flash_;
}
void carrier_sim::clear_records()
{
    std::lock_guard lock(mutex_);
    frames_.clear();
    cfwr_.clear();
    dl_ = {};
    spi_counts_.clear();
    refreshes_ = 0;
}

} // namespace xsbsim

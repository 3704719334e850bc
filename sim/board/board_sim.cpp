// Test-side control of the simulated board.
#include "board_sim.h"

#include <kerrow/path.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <utility>

namespace fs = std::filesystem;

namespace boardsim {

const std::vector<MapInfo> &maps()
{
    static const std::vector<MapInfo> m = {
        {0, 0, "bar0", 0xF0000000, 0x10000},
        {0, 1, "ts-ingress", 0xF1000000, 0x10000},
        {0, 2, "ts-egress", 0xF2000000, 0x200000},
        {0, 3, "embedder", 0xF3000000, 0x10000},
        {1, 0, "m30_decoder_0", 0xE0000000, 0x10000},
        {1, 1, "m30_decoder_1", 0xE0100000, 0x10000},
        {1, 2, "asi_ingress_0123", 0xE0200000, 0x10000},
        {1, 3, "asi_egress_0", 0xE0300000, 0x10000},
        {1, 4, "asi_egress_1", 0xE0400000, 0x10000},
        {2, 0, "anc_encoder_0123", 0xE0500000, 0x10000},
        {2, 1, "anc_decoder_0", 0xE0600000, 0x10000},
        {2, 2, "anc_decoder_1", 0xE0700000, 0x10000},
        {2, 3, "aud_encoder_0123", 0xE0800000, 0x10000},
        {2, 4, "aud_decoder_0", 0xE0900000, 0x10000},
        {3, 0, "aud_decoder_1", 0xE0A00000, 0x10000},
        {3, 1, "aud_decoder_2", 0xE0B00000, 0x10000},
        {3, 2, "aud_decoder_3", 0xE0C00000, 0x10000},
    };
    return m;
}

namespace {

void write_file(const std::string &path, const std::string &text)
{
    fs::create_directories(fs::path(path).parent_path());
    std::ofstream(path) << text;
}

std::string hex(uint64_t v)
{
    char b[24];
    std::snprintf(b, sizeof b, "0x%08llx", static_cast<unsigned long long>(v));
    return b;
}

void *map_sized(const std::string &path, size_t len)
{
    fs::create_directories(fs::path(path).parent_path());
    int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0 || ftruncate(fd, static_cast<off_t>(len)) != 0)
        throw std::runtime_error("board simulator: cannot create " + path);
    void *p = mmap(nullptr, len, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    close(fd);
    if (p == MAP_FAILED)
        throw std::runtime_error("board simulator: cannot map " + path);
    return p;
}

constexpr uint32_t egress_phys = 0xF2000000, egress_size = 0x200000;
constexpr uint32_t pull_queue_blocks[] = {0xF000, 0x20, 0x120, 0x220, 0x320};

} // namespace

BoardSim::BoardSim(Options opt)
{
    fs::create_directories(kd::rooted("/run"));
    fs::create_directories(kd::rooted("/dev"));
    write_file(kd::rooted("/dev/mem"), "");
    // One PCI function: the board (vendor 0x10ee, device 0x7011) with its
    // first base address.
    write_file(kd::rooted("/proc/bus/pci/devices"),
               "0000\t80861237\t0\t0\t0\t0\t0\t0\t0\t0\n"
               "0100\t10ee7011\t2b\tf0000000\t0\t0\t0\t0\t0\t0\t10000\n");

    board_ = static_cast<Board *>(map_sized(board_file(), sizeof(Board)));
    std::memset(static_cast<void *>(board_), 0, sizeof(Board));
    pthread_mutexattr_t a;
    pthread_mutexattr_init(&a);
    pthread_mutexattr_setpshared(&a, PTHREAD_PROCESS_SHARED);
    pthread_mutexattr_setrobust(&a, PTHREAD_MUTEX_ROBUST);
    pthread_mutex_init(&board_->mutex, &a);
    pthread_mutexattr_destroy(&a);
    set16(0x3000, opt.version);
    set16(0x3100, 2500 << 4); // 34 degrees
    set_lmk(true);

    for (const MapInfo &m : maps()) {
        uint8_t *p = nullptr;
        if (m.dev || m.map)
            p = static_cast<uint8_t *>(map_sized(region_file(m.dev, m.map), m.size));
        regions_.emplace_back(p, m.size);
        if (!opt.uio)
            continue;
        std::string dev = "/sys/class/uio/uio" + std::to_string(m.dev);
        if (m.map == 0) {
            write_file(kd::rooted(dev + "/name"), m.dev == 0 ? "KDS KT-3300 simulated board\n" : "kt3300-queues\n");
            write_file(kd::rooted(dev + "/version"), "sim-1\n");
            write_file(kd::rooted("/dev/uio" + std::to_string(m.dev)), "");
        }
        std::string md = dev + "/maps/map" + std::to_string(m.map);
        write_file(kd::rooted(md + "/name"), std::string(m.name) + "\n");
        write_file(kd::rooted(md + "/addr"), hex(m.addr) + "\n");
        write_file(kd::rooted(md + "/size"), hex(m.size) + "\n");
    }
    setenv("KT3300_SIM", BOARDSIM_SEAM_PATH, 1);
}

BoardSim::~BoardSim()
{
    stop();
    unsetenv("KT3300_SIM");
    for (auto &[p, len] : regions_)
        if (p)
            munmap(p, len);
    munmap(board_, sizeof(Board));
}

void BoardSim::add_module(unsigned slot, uint16_t id)
{
    board_->modules[slot].present = 1;
    board_->modules[slot].regs[0xF1] = id;
}

void BoardSim::add_chip(unsigned chn, uint16_t dev_id) { set_chip_reg(chn, 1, dev_id); }

void BoardSim::set_chip_reg(unsigned chn, uint32_t addr, uint16_t v)
{
    GspiChip &c = board_->chips[chn];
    for (uint32_t i = 0; i < c.count; ++i)
        if (c.addr[i] == addr) {
            c.val[i] = v;
            return;
        }
    c.addr[c.count] = addr;
    c.val[c.count++] = v;
}

uint16_t BoardSim::chip_reg(unsigned chn, uint32_t addr)
{
    const GspiChip &c = board_->chips[chn];
    for (uint32_t i = 0; i < c.count; ++i)
        if (c.addr[i] == addr)
            return c.val[i];
    return 0;
}

void BoardSim::set_lmk(bool present, uint8_t addr)
{
    board_->lmk.present = present;
    board_->lmk.addr = addr;
    // Identification: vendor 0x100B, product 0x32.
    board_->lmk.regs[0] = 0x10;
    board_->lmk.regs[1] = 0x0B;
    board_->lmk.regs[2] = 0x32;
    board_->lmk.regs[3] = 0x00;
}

std::vector<BusEvent> BoardSim::events() const
{
    uint32_t n = __atomic_load_n(&board_->log_count, __ATOMIC_ACQUIRE);
    if (n > log_capacity)
        throw std::runtime_error("board simulator: bus log overflow");
    return {board_->log, board_->log + n};
}

std::vector<BusEvent> BoardSim::events(uint8_t kind) const
{
    std::vector<BusEvent> out;
    for (const BusEvent &e : events())
        if (e.kind == kind)
            out.push_back(e);
    return out;
}

pid_t BoardSim::hold_bus_lock() const
{
    std::string path = kd::rooted("/run/spi_lock");
    int ready[2];
    if (pipe(ready) != 0)
        return -1;
    pid_t child = fork();
    if (child == 0) {
        int fd = open(path.c_str(), O_RDWR | O_CREAT, 0600);
        char ok = (fd >= 0 && flock(fd, LOCK_EX) == 0) ? 1 : 0;
        (void)!write(ready[1], &ok, 1);
        for (;;)
            pause();
    }
    close(ready[1]);
    char ok = 0;
    bool held = child > 0 && read(ready[0], &ok, 1) == 1 && ok == 1;
    close(ready[0]);
    if (child > 0 && !held) {
        kill(child, SIGKILL);
        waitpid(child, nullptr, 0);
    }
    return held ? child : -1;
}

void BoardSim::clear_events() { __atomic_store_n(&board_->log_count, 0, __ATOMIC_RELEASE); }

uint8_t *BoardSim::region(unsigned dev, unsigned map) const
{
    const auto &m = maps();
    for (size_t i = 0; i < m.size(); ++i)
        if (m[i].dev == dev && m[i].map == map)
            return regions_[i].first;
    return nullptr;
}

void BoardSim::produce_ingress(unsigned n, uint8_t tag)
{
    std::lock_guard lock(ingress_mutex_);
    uint8_t *ring = region(0, 1);
    unsigned frames = maps()[1].size / 256;
    unsigned p = rd16(0x680A);
    for (unsigned i = 0; i < n; ++i, ++ingress_count_) {
        uint8_t *f = ring + 256 * p;
        std::memset(f, 0, 256);
        f[0] = 12;
        f[3] = tag;
        uint8_t *pkt = f + 12;
        pkt[0] = 0x47;
        for (int b = 0; b < 4; ++b)
            pkt[4 + b] = static_cast<uint8_t>(ingress_count_ >> (24 - 8 * b));
        p = (p + 1) % frames;
    }
    set32(0x6808, p);
}

void BoardSim::produce_ingress_raw(const uint8_t *frames, unsigned n)
{
    std::lock_guard lock(ingress_mutex_);
    uint8_t *ring = region(0, 1);
    unsigned frames_in_ring = maps()[1].size / 256;
    unsigned p = rd16(0x680A);
    for (unsigned i = 0; i < n; ++i, ++ingress_count_) {
        std::memcpy(ring + 256 * p, frames + 256 * size_t(i), 256);
        p = (p + 1) % frames_in_ring;
    }
    set32(0x6808, p);
}

void BoardSim::feed_ingress(uint8_t tag, std::vector<uint8_t> packets, double bps)
{
    if (tag < 1 || tag > 4)
        return;
    std::lock_guard lock(ingress_mutex_);
    feed &f = feeds_[tag];
    f.packets = std::move(packets);
    f.packets.resize(f.packets.size() / 188 * 188);
    f.next = 0;
    f.bps = f.packets.empty() ? 0 : bps;
    f.credit = 0;
}

uint64_t BoardSim::fed(uint8_t tag) const
{
    std::lock_guard lock(ingress_mutex_);
    return tag >= 1 && tag <= 4 ? feeds_[tag].frames : 0;
}

void BoardSim::run_feeds(double seconds)
{
    std::lock_guard lock(ingress_mutex_);
    uint8_t *ring = region(0, 1);
    const unsigned frames = maps()[1].size / 256;
    unsigned p = rd16(0x680A);
    bool wrote = false;
    for (uint8_t tag = 1; tag <= 4; ++tag) {
        feed &f = feeds_[tag];
        if (f.bps <= 0)
            continue;
        f.credit = std::min(f.credit + seconds * f.bps / 1504.0, f.bps / 1504.0 * 0.005 + 1.0);
        for (; f.credit >= 1.0; f.credit -= 1.0) {
            uint8_t *fr = ring + 256 * p;
            std::memset(fr, 0, 256);
            fr[0] = 12;
            fr[3] = tag;
            const uint32_t t = static_cast<uint32_t>(static_cast<uint64_t>(f.ticks27));
            for (int b = 0; b < 4; ++b)
                fr[4 + b] = static_cast<uint8_t>(t >> (24 - 8 * b));
            std::memcpy(fr + 12, f.packets.data() + f.next, 188);
            f.next = (f.next + 188) % f.packets.size();
            f.ticks27 = std::fmod(f.ticks27 + 27000000.0 * 1504.0 / f.bps, 4294967296.0);
            ++f.frames;
            ++ingress_count_;
            p = (p + 1) % frames;
            wrote = true;
        }
    }
    if (wrote)
        set32(0x6808, p);
}

void BoardSim::start(EgressSink sink)
{
    if (running_.exchange(true))
        return;
    sink_ = std::move(sink);
    thread_ = std::thread([this] { model(); });
}

void BoardSim::stop()
{
    if (!running_.exchange(false))
        return;
    thread_.join();
}

double BoardSim::egress_rate_bps(unsigned ch) const
{
    // The register holds round(166,330,368,000,000 / rate / 2) - 2048.
    const double word = double(wr32(0x4000 + ch * 0x400)) + 2048.0;
    return wr32(0x4000 + ch * 0x400) ? 166330368000000.0 / (2.0 * word) : 0.0;
}

void BoardSim::consume_egress(unsigned ch, double seconds)
{
    uint32_t ctl = wr32(0x4014 + ch * 0x400);
    if (!(ctl & 1))
        return;
    uint32_t slots = ctl >> 16, addr = wr32(0x4010 + ch * 0x400);
    uint32_t host = wr32(0x4018 + ch * 0x400) >> 16;
    uint32_t pos = rd16(0x401A + ch * 0x400);
    if (addr < egress_phys || addr - egress_phys + uint64_t(slots) * 256 > egress_size || host >= slots ||
        pos >= slots)
        return;
    const uint8_t *ring = region(0, 2) + (addr - egress_phys);
    const bool paced = paced_.load();
    if (paced) {
        credit_[ch] += seconds * egress_rate_bps(ch) / 1504.0; // 188-byte packets
        // An idle ring banks no more than a few milliseconds of packets.
        credit_[ch] = std::min(credit_[ch], egress_rate_bps(ch) / 1504.0 * 0.005 + 1.0);
    }
    while (pos != host && (!paced || credit_[ch] >= 1.0)) {
        if (paced)
            credit_[ch] -= 1.0;
        if (sink_)
            sink_(ch, ring + 256 * pos);
        pos = (pos + 1) % slots;
        set16(0x401A + ch * 0x400, static_cast<uint16_t>(pos));
        consumed_[ch].fetch_add(1);
    }
}

void BoardSim::play_embedders(bool on, size_t keep)
{
    {
        std::lock_guard l(played_mutex_);
        keep_ = keep;
        for (auto &p : played_)
            p.clear();
    }
    playing_.store(on);
}

std::vector<int32_t> BoardSim::played(unsigned n)
{
    std::lock_guard l(played_mutex_);
    return n < 4 ? std::exchange(played_[n], {}) : std::vector<int32_t>{};
}

void BoardSim::play_embedder(unsigned n, double seconds)
{
    // Queue registers of embedder n and the UIO map of its ring.
    static constexpr struct {
        uint32_t regs;
        unsigned dev, map;
    } kEmbedders[] = {{0x20, 2, 4}, {0x120, 3, 0}, {0x220, 3, 1}, {0x320, 3, 2}};
    const auto &e = kEmbedders[n];
    const uint32_t impe = wr32(e.regs + 4);
    const uint32_t items = impe >> 16, size = (impe >> 8 & 0x7F) << 8;
    const uint8_t *ring = region(e.dev, e.map);
    size_t ring_size = 0;
    for (const MapInfo &m : maps())
        if (m.dev == e.dev && m.map == e.map)
            ring_size = m.size;
    if (!(impe & 0xF) || !items || size < 64 || !ring || uint64_t(items) * size > ring_size) {
        play_credit_[n] = 0;
        return;
    }
    const double rate = 48000.0 * 64 / size;
    play_credit_[n] = std::min(play_credit_[n] + seconds * rate, rate * 0.005 + 1.0);
    // Under the board's lock: a reset stored meanwhile is not overwritten.
    if (pthread_mutex_lock(&board_->mutex) == EOWNERDEAD)
        pthread_mutex_consistent(&board_->mutex);
    uint16_t item = rd16(e.regs + 10);
    std::lock_guard l(played_mutex_);
    std::vector<int32_t> &out = played_[n];
    for (; play_credit_[n] >= 1.0; play_credit_[n] -= 1.0) {
        item = static_cast<uint16_t>(item % items);
        // The words as the FPGA reads them while the processor writes.
        const auto *w = reinterpret_cast<const int32_t *>(ring + size_t(item) * size);
        for (uint32_t k = 0; k < size / 4; ++k)
            out.push_back(__atomic_load_n(&w[k], __ATOMIC_RELAXED));
        item = static_cast<uint16_t>((item + 1) % items);
    }
    const size_t words = keep_ * 16;
    if (out.size() > words)
        out.erase(out.begin(), out.end() - std::ptrdiff_t(words));
    set16(e.regs + 10, item);
    pthread_mutex_unlock(&board_->mutex);
}

void BoardSim::model()
{
    auto last = std::chrono::steady_clock::now();
    while (running_.load()) {
        const auto now = std::chrono::steady_clock::now();
        const double seconds = std::chrono::duration<double>(now - last).count();
        last = now;
        if (!paused_.load()) {
            consume_egress(0, seconds);
            consume_egress(1, seconds);
        }
        if (wr32(0x6804) & 0xF)
            run_feeds(seconds);
        if (unsigned rate = ingress_rate_.load(); rate && (wr32(0x6804) & 0xF))
            produce_ingress(rate);
        const bool playing = playing_.load();
        for (uint32_t q : pull_queue_blocks) {
            if (playing && q != pull_queue_blocks[0])
                continue;
            uint32_t impe = wr32(q + 4);
            if ((impe & 0xF) && (impe & 0x8000))
                set16(q + 10, static_cast<uint16_t>(wr32(q + 8) >> 16));
        }
        for (unsigned n = 0; playing && n < 4; ++n)
            play_embedder(n, seconds);
        std::this_thread::sleep_for(std::chrono::microseconds(50));
    }
}

} // namespace boardsim

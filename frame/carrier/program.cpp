// Carrier image programming: the interconnect firmware check and update of
// every carrier over IFP (master, before discovery), and the parallel
// download of FPGA and microcontroller images over XSB (end of discovery).
#include "carrier_internal.h"

#include "../frame_internal.h"
#include "../system/system_internal.h"

#include <kerrow/log.h>
#include <kerrow/path.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kd::carrier {

namespace {
constexpr const char *kXsbFail = "XSB Interconnect Fail";
constexpr const char *kXsbFailText = "Low level carrier interconnect failure detected. Check all cards are physically "
                                     "seated properly. Contact Support for further details.";
constexpr const char *kIfpFailText = "System was unable to verify or update low level carrier interconnect firmware. "
                                     "Please note carrier number in alarm and contact Support for resolution.";
constexpr const char *kProgramOnBoot = "/media/hd0/.solvera_program_on_boot";
constexpr const char *kVorptInitialized = "/tmp/vorpt_initialized";

constexpr unsigned BFRC_FPGA_PROG = 2, BFRC_BDM = 4;
constexpr unsigned BFRC_STATUS_DATA = 0, BFRC_STATUS_START = 1, BFRC_STATUS_STOP = 2;
constexpr size_t kFpgaChunk = 1492; // a full 1514-byte frame
constexpr size_t kMcuChunk = 1488;  // after the 4-byte BDM record head
constexpr size_t kMinFile = 3000;
constexpr unsigned kMaxRestarts = 3;
constexpr int kAckBudgetMs = 20;
constexpr uint8_t kLatticeSync[4] = {0xFF, 0xFF, 0xBD, 0xB3};

// Background-debug records for the carrier microcontroller, sent as given.
constexpr uint8_t kMcuMemSetup[244] = {
    0x00, 0x01, 0x00, 0x03, 0x2d, 0x80, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01, 0x00, 0x03, 0x2c, 0x80, 0x01, 0x01, 0x04,
    0x00, 0x00, 0x01, 0x00, 0x03, 0x2d, 0x80, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01, 0x00, 0x05, 0x18, 0x80, 0xfc, 0x0a,
    0x81, 0x14, 0x40, 0x00, 0x00, 0x00, 0x00, 0x01, 0x00, 0x05, 0x18, 0x80, 0xfc, 0x0a, 0x81, 0x10, 0x40, 0x00, 0x00,
    0x19, 0x00, 0x01, 0x00, 0x05, 0x18, 0x80, 0xfc, 0x0a, 0x80, 0x08, 0x43, 0x61, 0x16, 0x30, 0x00, 0x01, 0x00, 0x05,
    0x18, 0x80, 0xfc, 0x0a, 0x80, 0x0c, 0x56, 0x57, 0x00, 0x00, 0x00, 0x01, 0x00, 0x05, 0x18, 0x80, 0xfc, 0x0a, 0x80,
    0x04, 0xe1, 0x09, 0x2c, 0x00, 0x00, 0x01, 0x00, 0x05, 0x18, 0x80, 0xfc, 0x0a, 0x80, 0x04, 0xe1, 0x09, 0x2c, 0x02,
    0x00, 0x01, 0x00, 0x05, 0x18, 0x80, 0xfc, 0x0a, 0x80, 0x00, 0x40, 0x01, 0x00, 0x00, 0x00, 0x01, 0x00, 0x05, 0x18,
    0x80, 0xfc, 0x0a, 0x80, 0x00, 0x04, 0x8d, 0x00, 0x00, 0x00, 0x03, 0x00, 0x02, 0x00, 0x00, 0x00, 0xa2, 0x00, 0x01,
    0x00, 0x05, 0x18, 0x80, 0xfc, 0x0a, 0x80, 0x04, 0xe1, 0x09, 0x2c, 0x02, 0x00, 0x01, 0x00, 0x05, 0x18, 0x80, 0xfc,
    0x0a, 0x80, 0x04, 0xe1, 0x09, 0x2c, 0x04, 0x00, 0x01, 0x00, 0x05, 0x18, 0x80, 0xfc, 0x0a, 0x80, 0x04, 0xe1, 0x09,
    0x2c, 0x04, 0x00, 0x01, 0x00, 0x05, 0x18, 0x80, 0xfc, 0x0a, 0x80, 0x00, 0x00, 0x8d, 0x00, 0x00, 0x00, 0x01, 0x00,
    0x05, 0x18, 0x80, 0xfc, 0x0a, 0x80, 0x04, 0x71, 0x09, 0x2c, 0x00, 0x00, 0x03, 0x00, 0x02, 0x00, 0x00, 0x00, 0xa2,
    0x00, 0x01, 0x00, 0x05, 0x18, 0x80, 0xfc, 0x00, 0x80, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};
constexpr uint8_t kMcuStart[36] = {0x00, 0x01, 0x00, 0x05, 0x28, 0x80, 0x00, 0x00, 0x08, 0x01, 0x40, 0x00,
                                   0x00, 0x00, 0x00, 0x01, 0x00, 0x05, 0x28, 0x80, 0x00, 0x00, 0x08, 0x0f,
                                   0x40, 0x00, 0x04, 0x04, 0x00, 0x00, 0x00, 0x01, 0x00, 0x01, 0x0c, 0x00};
constexpr uint8_t kMcuFirstHead[10] = {0x00, 0x01, 0x00, 0x05, 0x18, 0x80, 0x40, 0x00, 0x00, 0x00};

struct firmware_dl_args {
    char name[64]; // empty: a free entry
    char data_path[64];
    unsigned dest_vaddr;
    fpga_type type;
};

// A read-only private mapping of an image file.
struct mapped_file {
    int fd = -1;
    void *mmapp = nullptr;
    size_t mmapl = 0;
    mapped_file() = default;
    mapped_file(const mapped_file &) = delete;
    mapped_file &operator=(const mapped_file &) = delete;
    ~mapped_file() { reset(); }
    void reset()
    {
        if (mmapp)
            munmap(mmapp, mmapl);
        if (fd >= 0)
            close(fd);
        fd = -1;
        mmapp = nullptr;
        mmapl = 0;
    }
    const uint8_t *bytes() const { return static_cast<const uint8_t *>(mmapp); }
};

struct firmware_dl_ptrs {
    mapped_file file;
    const uint8_t *img_buff = nullptr;
    size_t img_length = 0;
    size_t img_remaining = 0;
    unsigned dbg_frames_tx = 0, dbg_frames_rx = 0, dbg_bytes_tx = 0, dbg_bytes_rx = 0;
    unsigned pgm_attempts = 0;
    bool first_ack_on_restart = false;
    bool finished = false;
    void clear_counters() { dbg_frames_tx = dbg_frames_rx = dbg_bytes_tx = dbg_bytes_rx = 0; }
    void reset_all()
    {
        file.reset();
        img_buff = nullptr;
        img_length = img_remaining = 0;
        clear_counters();
        pgm_attempts = 0;
        first_ack_on_restart = finished = false;
    }
};

struct download {
    std::array<firmware_dl_args, 8> args{};
    std::array<firmware_dl_ptrs, 8> ptrs;
    uint8_t targets = 0;
    uint8_t finished = 0;
    int64_t start_ms = 0, end_ms = 0;
    bool used(unsigned s) const { return args[s].name[0] != '\0'; }
};
download g_dl;

bool file_exists(const std::string &p)
{
    struct stat sb;
    return stat(p.c_str(), &sb) == 0;
}

void sleep_ms(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

// Opens and maps a whole image file (at least kMinFile bytes).
bool map_image(const std::string &file, mapped_file &m)
{
    if (!file_exists(file)) {
        KD_LOG(KD_LOG_ERR, "[%s] File not found: %s\n", me(), file.c_str());
        return false;
    }
    m.fd = open(file.c_str(), O_RDONLY | O_CLOEXEC);
    if (m.fd < 0) {
        KD_LOG(KD_LOG_ERR, "[%s] Failed to open: %s\n", me(), file.c_str());
        return false;
    }
    struct stat sb;
    if (fstat(m.fd, &sb) != 0) {
        KD_LOG(KD_LOG_ERR, "[%s] Failed stat for: %s, %s\n", me(), file.c_str(), std::strerror(errno));
        m.reset();
        return false;
    }
    if (size_t(sb.st_size) < kMinFile) {
        KD_LOG(KD_LOG_ERR, "[%s] File size too small: %s\n", me(), file.c_str());
        m.reset();
        return false;
    }
    void *p = mmap(nullptr, size_t(sb.st_size), PROT_READ, MAP_PRIVATE, m.fd, 0);
    if (p == MAP_FAILED) {
        KD_LOG(KD_LOG_ERR, "[%s] Failed mmap for: %s, %s\n", me(), file.c_str(), std::strerror(errno));
        m.reset();
        return false;
    }
    m.mmapp = p;
    m.mmapl = size_t(sb.st_size);
    return true;
}

// One download frame: type, command, then the data.
int build_dl(xsb_pkt &pkt, unsigned dest_vaddr, unsigned type, unsigned cmd, const uint8_t *data, size_t len)
{
    pkt = xsb_pkt{};
    xsb_mac(pkt.dst, 0xE00 | (dest_vaddr & 0xFF));
    xsb_mac(pkt.src, 0xE00 | st().bridge_byte);
    pkt.proto[0] = XSB_ETH_P_CONFIG >> 8;
    pkt.proto[1] = XSB_ETH_P_CONFIG & 0xFF;
    const uint32_t w1 = (type & 7) << 29 | (cmd & 0x3F) << 23;
    const uint8_t head[8] = {uint8_t(w1 >> 24), uint8_t(w1 >> 16), uint8_t(w1 >> 8), uint8_t(w1),
                             0, 0, uint8_t(len >> 8), uint8_t(len)};
    std::memcpy(pkt.data, head, 8);
    if (len)
        std::memcpy(pkt.data + 8, data, len);
    return int(len) + 22;
}

bool send_dl(xsb_sock *s, unsigned slot, unsigned type, unsigned cmd, const uint8_t *data, size_t len)
{
    xsb_pkt pkt;
    const int n = build_dl(pkt, g_dl.args[slot].dest_vaddr, type, cmd, data, len);
    if (!send_frame(s, pkt, n))
        return false;
    firmware_dl_ptrs &p = g_dl.ptrs[slot];
    ++p.dbg_frames_tx;
    p.dbg_bytes_tx += unsigned(n);
    return true;
}

// The wait for an acknowledgement: the carriers' own, which
// KD_XSB_ACK_WAIT_MS (1 to 60000 ms) stretches for slow or loaded test
// machines, where a simulated carrier may answer later.
int ack_budget_ms()
{
    const char *v = std::getenv("KD_XSB_ACK_WAIT_MS");
    char *end = nullptr;
    const long n = v && *v ? std::strtol(v, &end, 10) : 0;
    return end && !*end && n >= 1 && n <= 60000 ? int(n) : kAckBudgetMs;
}

// 0 good acknowledgement (slot set), -2 bad one (slot set), -1 none.
int wait_ack(xsb_sock *s, unsigned &slot)
{
    const int64_t deadline = now_ms() + ack_budget_ms();
    for (;;) {
        const int w = wait_readable(xsb_fileno(s), deadline);
        if (w <= 0) {
            KD_LOG(KD_LOG_ERR, "[%s] select() failed with (%s)\n", me(), w == 0 ? "timeout" : "error");
            return -1;
        }
        xsb_pkt pkt{};
        const int n = xsb_recv(s, &pkt, sizeof pkt);
        if (n <= 0) {
            KD_LOG(KD_LOG_ERR, "[%s] xsb_recv() - no data packet received\n", me());
            return -1;
        }
        const unsigned from = pkt.src[5] >> 4;
        if (n < 22 || from > 7 || !g_dl.used(from) || pkt.src[4] != 0x0E || pkt.src[5] != g_dl.args[from].dest_vaddr)
            continue;
        const uint32_t w1 = uint32_t(pkt.data[0]) << 24 | uint32_t(pkt.data[1]) << 16 | uint32_t(pkt.data[2]) << 8 |
                            pkt.data[3];
        if (((w1 >> 23) & 0x3F) > 2)
            continue;
        slot = from;
        firmware_dl_ptrs &p = g_dl.ptrs[from];
        if ((pkt.data[1] & 0x60) == 0x40) {
            ++p.dbg_frames_rx;
            p.dbg_bytes_rx += unsigned(n);
            return 0;
        }
        KD_LOG(KD_LOG_WARNING, "[%s] Valid ACK expected. Slot: %u Frames Tx: %u, Frame size Rx: %u, ACK byte Rx: %02x\n",
               me(), from, p.dbg_frames_tx, unsigned(n), pkt.data[1]);
        return -2;
    }
}

// Holds the configuration socket: discovery's, or one of our own.
struct config_sock {
    sock_ptr own;
    xsb_sock *s;
    config_sock() : s(st().config)
    {
        if (!s) {
            own.reset(xsb_open(kXsbIf, XSB_ETH_P_CONFIG));
            s = own.get();
        }
    }
};

void finish(unsigned slot, const char *what)
{
    firmware_dl_ptrs &p = g_dl.ptrs[slot];
    p.finished = true;
    ++g_dl.finished;
    KD_LOG(KD_LOG_INFO, "[%s] Download %s completed for card %s slot %u. Pending: %u\n", me(), what,
           g_dl.args[slot].name, slot, unsigned(g_dl.targets - g_dl.finished));
    p.file.reset();
}

void print_counters()
{
    for (unsigned s = 0; s < 8; ++s) {
        if (!g_dl.used(s))
            continue;
        const firmware_dl_ptrs &p = g_dl.ptrs[s];
        KD_LOG(KD_LOG_INFO, "[%s] Slot %u: Tx Frames: %5u Bytes: %8u Rx Frames: %5u Bytes: %8u\n", me(), s,
               p.dbg_frames_tx, p.dbg_bytes_tx, p.dbg_frames_rx, p.dbg_bytes_rx);
    }
}

int restart_fpga(xsb_sock *s, unsigned slot)
{
    firmware_dl_ptrs &p = g_dl.ptrs[slot];
    KD_LOG(KD_LOG_NOTICE, "[%s] Restarting FPGA programming for slot %u\n", me(), slot);
    if (p.pgm_attempts >= kMaxRestarts) {
        KD_LOG(KD_LOG_ERR, "[%s] Reached limit on FPGA pgm attempts (%u)\n", me(), kMaxRestarts);
        return -1;
    }
    p.clear_counters();
    p.img_remaining = p.img_length - kFpgaChunk;
    if (!send_dl(s, slot, BFRC_FPGA_PROG, BFRC_STATUS_START, p.img_buff, kFpgaChunk)) {
        KD_LOG(KD_LOG_ERR, "[%s] Error sending restart FPGA image pkt (%s)\n", me(), std::strerror(errno));
        return -1;
    }
    ++p.pgm_attempts;
    sleep_ms(100);
    return 0;
}

int download_fpga(xsb_sock *s)
{
    KD_LOG(KD_LOG_INFO, "[%s] Now downloading %u FPGA images.\n", me(), unsigned(g_dl.targets));
    g_dl.start_ms = now_ms();
    for (unsigned slot = 0; slot < 8; ++slot) {
        if (!g_dl.used(slot))
            continue;
        firmware_dl_ptrs &p = g_dl.ptrs[slot];
        if (!send_dl(s, slot, BFRC_FPGA_PROG, BFRC_STATUS_START, p.img_buff, kFpgaChunk)) {
            KD_LOG(KD_LOG_ERR, "[%s] Error sending first FPGA image pkt (%s)\n", me(), std::strerror(errno));
            return -1;
        }
        p.img_remaining -= kFpgaChunk;
    }
    sleep_ms(100);
    while (g_dl.finished < g_dl.targets) {
        unsigned slot = 0;
        const int rc = wait_ack(s, slot);
        if (rc == -1) {
            // Nothing came back: every card not yet done starts over (one
            // whose last frame went out but was never acknowledged too).
            for (unsigned t = 0; t < 8; ++t)
                if (g_dl.used(t) && !g_dl.ptrs[t].finished && restart_fpga(s, t) < 0)
                    return -1;
            continue;
        }
        firmware_dl_ptrs &p = g_dl.ptrs[slot];
        if (p.finished)
            continue; // a late or repeated acknowledgement of a finished card
        if (rc == -2) {
            if (restart_fpga(s, slot) < 0)
                return -1;
            continue;
        }
        if (p.img_remaining == 0) {
            finish(slot, "FPGA");
            continue;
        }
        const size_t chunk = std::min(p.img_remaining, kFpgaChunk);
        const unsigned cmd = chunk == p.img_remaining ? BFRC_STATUS_STOP : BFRC_STATUS_DATA;
        if (!send_dl(s, slot, BFRC_FPGA_PROG, cmd, p.img_buff + (p.img_length - p.img_remaining), chunk)) {
            KD_LOG(KD_LOG_ERR, "[%s] Error sending next FPGA image pkt (%s)\n", me(), std::strerror(errno));
            return -1;
        }
        p.img_remaining -= chunk;
    }
    KD_LOG(KD_LOG_NOTICE, "[%s] Download of FPGA images completed.\n", me());
    print_counters();
    return 0;
}

bool send_mcu_first(xsb_sock *s, unsigned slot)
{
    firmware_dl_ptrs &p = g_dl.ptrs[slot];
    uint8_t data[14];
    std::memcpy(data, kMcuFirstHead, sizeof kMcuFirstHead);
    std::memcpy(data + 10, p.img_buff, 4);
    p.img_remaining = p.img_length - 4;
    return send_dl(s, slot, BFRC_BDM, BFRC_STATUS_DATA, data, sizeof data);
}

// Sends a table and waits for that card's acknowledgement.
int send_table_and_wait(xsb_sock *s, unsigned slot, unsigned cmd, const uint8_t *table, size_t len)
{
    if (!send_dl(s, slot, BFRC_BDM, cmd, table, len)) {
        KD_LOG(KD_LOG_ERR, "[%s] Error sending MCU table (%s)\n", me(), std::strerror(errno));
        return -1;
    }
    for (;;) {
        unsigned from = 0;
        const int rc = wait_ack(s, from);
        if (rc == -1 || (rc == -2 && from == slot))
            return -1;
        if (rc == 0 && from == slot)
            return 0;
    }
}

int download_mcu(xsb_sock *s)
{
    g_dl.finished = 0;
    for (unsigned slot = 0; slot < 8; ++slot) {
        if (!g_dl.used(slot))
            continue;
        firmware_dl_ptrs &p = g_dl.ptrs[slot];
        p.reset_all();
        if (g_dl.args[slot].type == FPGA_TYPE_XILINX) { // no microcontroller image
            g_dl.args[slot] = {};
            --g_dl.targets;
            continue;
        }
        const std::string file = kd::rooted(std::string(g_dl.args[slot].data_path) + "/mcu.img");
        if (!map_image(file, p.file))
            return -1;
        p.img_buff = p.file.bytes();
        p.img_length = p.img_remaining = p.file.mmapl;
        KD_LOG(KD_LOG_INFO, "[%s] File %s opened for read (file length %u).\n", me(), file.c_str(),
               unsigned(p.img_length));
    }
    if (g_dl.targets) {
        KD_LOG(KD_LOG_INFO, "[%s] Now downloading %u MCU images.\n", me(), unsigned(g_dl.targets));
        for (unsigned slot = 0; slot < 8; ++slot)
            if (g_dl.used(slot) && send_table_and_wait(s, slot, 1, kMcuMemSetup, sizeof kMcuMemSetup) < 0)
                return -1;
        sleep_ms(100);
        for (unsigned slot = 0; slot < 8; ++slot) {
            if (g_dl.used(slot) && !send_mcu_first(s, slot)) {
                KD_LOG(KD_LOG_ERR, "[%s] Error sending first MCU image pkt (%s)\n", me(), std::strerror(errno));
                return -1;
            }
        }
    }
    while (g_dl.finished < g_dl.targets) {
        unsigned slot = 0;
        const int rc = wait_ack(s, slot);
        if (rc == -1)
            return -1;
        firmware_dl_ptrs &p = g_dl.ptrs[slot];
        if (p.finished)
            continue;
        if (rc == -2) {
            KD_LOG(KD_LOG_NOTICE, "[%s] Restarting MCU programming for slot %u\n", me(), slot);
            if (p.pgm_attempts >= kMaxRestarts) {
                KD_LOG(KD_LOG_ERR, "[%s] Reached limit on MCU pgm attempts (%u)\n", me(), kMaxRestarts);
                return -1;
            }
            p.img_remaining = p.img_length;
            p.clear_counters();
            if (!send_dl(s, slot, BFRC_BDM, 1, kMcuMemSetup, sizeof kMcuMemSetup)) {
                KD_LOG(KD_LOG_ERR, "[%s] Error sending MCU table (%s)\n", me(), std::strerror(errno));
                return -1;
            }
            p.first_ack_on_restart = true;
            ++p.pgm_attempts;
            continue;
        }
        bool sent = true;
        if (p.first_ack_on_restart) {
            KD_LOG(KD_LOG_INFO, "[%s] Slot %u\n", me(), slot);
            p.first_ack_on_restart = false;
            sleep_ms(100);
            sent = send_mcu_first(s, slot);
        } else if (p.img_remaining == 0) {
            finish(slot, "MCU");
            continue;
        } else {
            const size_t chunk = std::min(p.img_remaining, kMcuChunk);
            uint8_t data[4 + kMcuChunk];
            data[0] = 0x00;
            data[1] = 0x02;
            data[2] = uint8_t((chunk / 2) >> 8);
            data[3] = uint8_t(chunk / 2);
            std::memcpy(data + 4, p.img_buff + (p.img_length - p.img_remaining), chunk);
            sent = send_dl(s, slot, BFRC_BDM, BFRC_STATUS_DATA, data, chunk + 4);
            p.img_remaining -= chunk;
        }
        if (!sent) {
            KD_LOG(KD_LOG_ERR, "[%s] Error sending next MCU image pkt (%s)\n", me(), std::strerror(errno));
            return -1;
        }
    }
    for (unsigned slot = 0; slot < 8; ++slot)
        if (g_dl.used(slot) && send_table_and_wait(s, slot, 2, kMcuStart, sizeof kMcuStart) < 0)
            return -1;
    g_dl.end_ms = now_ms();
    KD_LOG(KD_LOG_NOTICE, "[%s] Download of MCU images completed.\n", me());
    print_counters();
    KD_LOG(KD_LOG_INFO, "[%s] Total time to program: %llu (ms)\n", me(),
           static_cast<unsigned long long>(g_dl.end_ms - g_dl.start_ms));
    KD_LOG(KD_LOG_INFO, "[%s] FPGA programmed - exiting normally\n", me());
    return 0;
}

// ---- interconnect firmware ----
struct carrier_ifp_info {
    xsbifp ifp_obj{};
    char ifp_op[20] = "";
    bool id_data_exists = false;
    bool update_issued = false;
    std::thread thread_id;
    int update_result = 0;
    char alarm[64] = "";
    int run(const char *op)
    {
        std::snprintf(ifp_op, sizeof ifp_op, "%s", op);
        ifp_obj.op = ifp_op;
        return xsbifp_op(&ifp_obj);
    }
};
} // namespace

void ifp_step()
{
    KD_LOG(KD_LOG_NOTICE, "[%s] Starting IFP...\n", me());
    alarm_register(kXsbFail, kXsbFailText);
    xsb_print_logs(0);

    std::array<carrier_ifp_info, 9> ci; // by user slot, 0 unused
    bool any = false;
    for (unsigned ui = 1; ui <= 8; ++ui) {
        carrier_ifp_info &c = ci[ui];
        const unsigned hw = unsigned(ui_to_hw_slot[ui]);
        std::snprintf(c.alarm, sizeof c.alarm, "Carrier %u IFP Fail", ui);
        alarm_register(c.alarm, kIfpFailText);
        xsbifp_init(&c.ifp_obj);
        c.ifp_obj.ifname = kXsbIf;
        c.ifp_obj.source = "e31";
        std::snprintf(c.ifp_obj.dst, sizeof c.ifp_obj.dst, "e%u0", hw);
        c.ifp_obj.msg = MSG_QUIET;
        if (c.run("ID") == 0) {
            c.id_data_exists = any = true;
        } else if (c.ifp_obj.err != ERR_ID_NO_CARRIER) {
            KD_LOG(KD_LOG_ERR, "[%s] Carrier %u failed IFP ID with error %d\n", me(), ui, int(c.ifp_obj.err));
            alarm_set(c.alarm, true);
        } else if (hw == DEFAULT_MASTER_SLOT) {
            KD_LOG(KD_LOG_ERR, "[%s] XSB Interconnect failure - cannot IFP ID master.\n", me());
            alarm_set(kXsbFail, true);
            return;
        }
    }
    if (!any) {
        KD_LOG(KD_LOG_WARNING, "[%s] Completed IFP (no ID data).\n", me());
        return;
    }
    for (unsigned ui = 1; ui <= 8; ++ui) {
        carrier_ifp_info &c = ci[ui];
        if (!c.id_data_exists)
            continue;
        std::snprintf(c.ifp_op, sizeof c.ifp_op, "UPDATE");
        c.ifp_obj.op = c.ifp_op;
        try {
            c.thread_id = std::thread([&c] { c.update_result = xsbifp_op(&c.ifp_obj); });
            c.update_issued = true;
        } catch (const std::system_error &e) {
            KD_LOG(KD_LOG_ERR, "[%s] %s pthread_create failed for carrier (%u): %s\n", me(), __func__, ui, e.what());
            alarm_set(c.alarm, true);
        }
    }
    std::string updated;
    for (unsigned ui = 1; ui <= 8; ++ui) {
        carrier_ifp_info &c = ci[ui];
        if (!c.update_issued)
            continue;
        try {
            c.thread_id.join();
        } catch (const std::system_error &e) {
            KD_LOG(KD_LOG_ERR, "[%s] %s pthread_join failed for carrier (%u): %d\n", me(), __func__, ui,
                   e.code().value());
            alarm_set(c.alarm, true);
            continue;
        }
        if (c.update_result < 0) {
            KD_LOG(KD_LOG_ERR, "[%s] Carrier %u failed IFP UPDATE with error %d\n", me(), ui, int(c.ifp_obj.err));
            alarm_set(c.alarm, true);
            continue;
        }
        KD_LOG(KD_LOG_INFO, "[%s] %s\n", me(), c.ifp_obj.log_msg);
        if (c.ifp_obj.needs_refresh)
            updated += std::to_string(ui) + ", ";
    }
    if (updated.empty()) {
        KD_LOG(KD_LOG_NOTICE, "[%s] Completed IFP (no updates).\n", me());
        return;
    }
    for (unsigned ui = 1; ui <= 8; ++ui) {
        carrier_ifp_info &c = ci[ui];
        if (c.id_data_exists && c.update_issued && c.update_result == 0 && c.ifp_obj.needs_refresh &&
            c.run("REFRESH") != 0) {
            KD_LOG(KD_LOG_ERR, "[%s] Carrier %u failed IFP REFRESH with error %d\n", me(), ui, int(c.ifp_obj.err));
            alarm_set(c.alarm, true);
        }
    }
    sleep_ms(600);
    bool master_back = false;
    for (int i = 0; i < 25 && !master_back; ++i) {
        sleep_ms(200);
        master_back = ci[DEFAULT_MASTER_UI].run("ID") == 0;
    }
    if (!master_back) {
        KD_LOG(KD_LOG_ERR, "[%s] XSB Interconnect failure - cannot IFP ID master after refresh.\n", me());
        alarm_set(kXsbFail, true);
        return;
    }
    sleep_ms(1000);
    updated.resize(updated.size() - 2);
    KD_LOG(KD_LOG_NOTICE, "[%s] Completed IFP. Updated carriers: %s\n", me(), updated.c_str());
}

int program_step()
{
    const std::string flag = kd::rooted(kProgramOnBoot);
    bool all = false;
    if (file_exists(flag)) {
        unlink(flag.c_str());
        all = true;
    } else if (file_exists(kd::rooted(kVorptInitialized))) {
        all = true;
    }
    if (all)
        KD_LOG(KD_LOG_NOTICE, "[%s] Must program all nodes for this boot.\n", me());

    bool self_queued = false;
    for (auto &r : st().carriers) {
        const carrier_node &n = r->node;
        if (n.unused)
            continue;
        const int port = kd_carrier_get_port_index(&n, 1, PORTID_FPGAPGM);
        if (port < 0)
            continue;
        const bool mine = n.slot == st().slot;
        if (n.requires_self_programming && !mine)
            continue;
        if (!is_master() && !(mine && n.requires_self_programming))
            continue;
        if (!all && n.is_fpga_programmed) {
            KD_LOG(KD_LOG_NOTICE, "[%s] Ignore programming node %s in HW slot %u - already programmed.\n", me(),
                   n.name, n.slot);
            continue;
        }
        if (kd_carrier_pgm_fpga_set_target(n.data_path, n.fpga_img_name, n.slot, n.slot << 4 | unsigned(port),
                                           n.is_fpga_xylinx) < 0)
            return -1;
        self_queued |= mine && n.requires_reboot_after_programming;
    }
    if (kd_carrier_pgm_fpga() < 0)
        return -1;
    if (self_queued) {
        KD_LOG(KD_LOG_NOTICE, "[%s] Node requires reboot after programming. Going down....\n", me());
        return reboot_after_programming();
    }
    return 0;
}

int reboot_after_programming()
{
    // Discovery fails rather than end the process with no reboot coming.
    if (kd::sys::reboot_machine() != 0)
        return -1;
    exit_process(0);
    return 0;
}

void clear_targets()
{
    for (unsigned s = 0; s < 8; ++s) {
        g_dl.ptrs[s].reset_all();
        g_dl.args[s] = {};
    }
    g_dl.targets = g_dl.finished = 0;
}

} // namespace kd::carrier

using namespace kd::carrier;

extern "C" KD_API int kd_carrier_pgm_fpga_set_target(const char *path, const char *fpga_file, unsigned slot,
                                                     unsigned fpga_vaddr, unsigned is_xylinx)
{
    if (!path || !fpga_file || slot > 7)
        return -1;
    const std::string file = kd::rooted(std::string(path) + "/" + fpga_file);
    firmware_dl_ptrs &p = g_dl.ptrs[slot];
    const bool was_used = g_dl.used(slot);
    p.reset_all();
    g_dl.args[slot] = {};
    if (was_used)
        --g_dl.targets;
    if (!map_image(file, p.file))
        return -1;
    const uint8_t *b = p.file.bytes();
    const size_t len = p.file.mmapl;
    size_t start = 0;
    if (!is_xylinx) {
        const uint8_t *at = static_cast<const uint8_t *>(memmem(b, len, kLatticeSync, sizeof kLatticeSync));
        if (!at) {
            KD_LOG(KD_LOG_ERR, "[%s] Unable to find FPGA data sync: %s\n", me(), file.c_str());
            p.file.reset();
            return -1;
        }
        start = size_t(at - b);
    }
    // The START frame always carries a full chunk.
    if (len - start < kFpgaChunk) {
        KD_LOG(KD_LOG_ERR, "[%s] FPGA image too short (%u bytes): %s\n", me(), unsigned(len - start), file.c_str());
        p.file.reset();
        return -1;
    }
    p.img_buff = b + start;
    p.img_length = p.img_remaining = len - start;
    KD_LOG(KD_LOG_NOTICE, "[%s] File %s opened for read (image length %u).\n", me(), file.c_str(),
           unsigned(p.img_length));
    firmware_dl_args &a = g_dl.args[slot];
    const char *last = std::strrchr(path, '/');
    std::snprintf(a.name, sizeof a.name, "%s", last && last[1] ? last + 1 : path);
    if (!a.name[0])
        std::snprintf(a.name, sizeof a.name, "slot%u", slot);
    std::snprintf(a.data_path, sizeof a.data_path, "%s", path);
    a.dest_vaddr = fpga_vaddr & 0xFF;
    a.type = is_xylinx ? FPGA_TYPE_XILINX : FPGA_TYPE_LATTICE;
    ++g_dl.targets;
    return 0;
}

extern "C" KD_API int kd_carrier_pgm_fpga(void)
{
    if (g_dl.targets == 0)
        return 0;
    g_dl.finished = 0;
    config_sock cs;
    if (xsb_fileno(cs.s) < 0) {
        KD_LOG(KD_LOG_ERR, "[%s] Cannot open the XSB configuration socket on %s\n", me(), kXsbIf);
        return -1;
    }
    int rc = download_fpga(cs.s);
    if (rc == 0)
        rc = download_mcu(cs.s);
    if (rc == 0)
        clear_targets();
    return rc;
}

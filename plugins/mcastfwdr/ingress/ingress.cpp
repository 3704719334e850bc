// The ingress threads. Each runs 1 ms cycles on an absolute monotonic grid
// and writes one pipe entry per received datagram. A thread receives no
// more datagrams than its pipe has room for, so a slow multiplexer leaves
// data in the socket instead of losing what was received; with areas larger
// than everything that can point into them, no slot is refilled while
// referenced.
#include "asi/asi_kt33.h"
#include "asi/asi_ports.h"
#include "ingress/ingress.h"
#include "ingress/manager_input.h"
#include "ingress/xsb_bridge.h"
#include "mcastfwdr.h"
#include "mux/multiplexer.h"
#include "mux/rt_cycle.h"
#include "mux/wake.h"

#include <interlink.h>

#include <kerrow/pipe.h>

#include <fcntl.h>
#include <linux/if_packet.h>
#include <net/ethernet.h>
#include <net/if.h>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>

extern "C" {
kd_pipe_t *ingress_pipe[INGRESS_SRC_NUM] = {};
}

namespace {

constexpr int kPriority = 89;
constexpr int kXsbRcvBuf = 37500000;
constexpr const char *kXsbIf = "eth2";
constexpr unsigned kMaxSockets = 50;
constexpr int kJoinTimeoutNs = 0; // the threads end within a cycle
constexpr unsigned kLinkIndexes = 55;

// A thread with sources waits for them at most this long, so that its
// sweeps (what the stream-loss monitor goes by) stay this fresh; one with
// none waits for an input to be added.
constexpr int kIdleWaitMs = 50;
constexpr int kNoSourceWaitMs = 1000;

std::array<mcf::ingress_counters, INGRESS_SRC_NUM> g_stats;
std::array<std::atomic<int64_t>, INGRESS_SRC_NUM> g_swept{};
std::array<mcf::waker, INGRESS_SRC_NUM> g_wakers;
std::array<mcf::thread_hold, INGRESS_SRC_NUM> g_holds;
std::atomic<bool> g_halt{false};
xsb_sock *g_xsb = nullptr;

// A receive area: slots of 1520 bytes, written in runs of up to ten.
struct rx_area {
    uint8_t *base = nullptr;
    unsigned pos = 0; // next slot
    bool make()
    {
        if (!base)
            base = static_cast<uint8_t *>(std::calloc(INGRESS_AREA_SLOTS, INGRESS_SLOT_BYTES));
        pos = 0;
        return base != nullptr;
    }
    void release()
    {
        std::free(base);
        base = nullptr;
    }
    // The first of `n` consecutive free slots.
    uint8_t *run(unsigned n)
    {
        if (pos + n > INGRESS_AREA_SLOTS)
            pos = 0;
        return base + size_t(pos) * INGRESS_SLOT_BYTES;
    }
    void advance(unsigned n) { pos += n; }
};
rx_area g_net_area, g_xsb_area, g_srt_area;

// Logs a class of data-path trouble at most once a second.
class rate_limited {
public:
    bool due()
    {
        timespec now;
        clock_gettime(CLOCK_MONOTONIC, &now);
        if (last_ && now.tv_sec == last_)
            return false;
        last_ = now.tv_sec ? now.tv_sec : 1;
        return true;
    }

private:
    time_t last_ = 0;
};

// The address as dotted text (at most 16 bytes with the terminator); the
// per-datagram path, so no formatting library.
void dotted(uint32_t a, char *out)
{
    for (int shift = 24; shift >= 0; shift -= 8) {
        const unsigned v = (a >> shift) & 0xFF;
        if (v >= 100)
            *out++ = char('0' + v / 100);
        if (v >= 10)
            *out++ = char('0' + v / 10 % 10);
        *out++ = char('0' + v % 10);
        *out++ = shift ? '.' : '\0';
    }
}

// What a datagram's control data told besides its time stamp.
struct rx_meta {
    uint32_t dst = 0; // destination address, network order
    bool has_dst = false;
    uint32_t drops = 0; // the socket's count of datagrams the kernel dropped
    bool has_drops = false;
};

// One batch of up to ten datagrams with their control data.
struct batch {
    mmsghdr msgs[INGRESS_BATCH];
    iovec iov[INGRESS_BATCH];
    alignas(cmsghdr) uint8_t ctrl[INGRESS_BATCH][96];

    void prepare(uint8_t *first, unsigned n)
    {
        for (unsigned i = 0; i < n; ++i) {
            iov[i] = {first + size_t(i) * INGRESS_SLOT_BYTES, INGRESS_RECV_BYTES};
            msgs[i] = {};
            msgs[i].msg_hdr.msg_iov = &iov[i];
            msgs[i].msg_hdr.msg_iovlen = 1;
            msgs[i].msg_hdr.msg_control = ctrl[i];
            msgs[i].msg_hdr.msg_controllen = sizeof ctrl[i];
        }
    }
    // Kernel time stamp into the entry; destination and drop count.
    rx_meta control(unsigned i, ingress_to_mux_item *e)
    {
        rx_meta m;
        msghdr *h = &msgs[i].msg_hdr;
        for (cmsghdr *c = CMSG_FIRSTHDR(h); c; c = CMSG_NXTHDR(h, c)) {
            if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_TIMESTAMPNS) {
                timespec ts;
                std::memcpy(&ts, CMSG_DATA(c), sizeof ts);
                e->tstamp = {int32_t(ts.tv_sec), int32_t(ts.tv_nsec)};
            } else if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SO_RXQ_OVFL) {
                std::memcpy(&m.drops, CMSG_DATA(c), sizeof m.drops);
                m.has_drops = true;
            } else if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_PKTINFO) {
                in_pktinfo pi;
                std::memcpy(&pi, CMSG_DATA(c), sizeof pi);
                m.dst = pi.ipi_addr.s_addr;
                m.has_dst = true;
            }
        }
        return m;
    }
};

// How a thread's receiving ended: everything its sources held was taken,
// or the budget, the pipe or an error stopped it.
enum class rx_end { drained, budget, pipe_full, error };

unsigned pipe_room(kd_pipe_t *p) { return p->NUM_ENTRIES - 1 - kd_pipe_level(p); }

// An event of the cycle, in its sample and in the thread's running count.
void count(mcast_stats_t &smp, stats_evt_t evt, std::atomic<uint64_t> &c)
{
    ++smp.evt[evt];
    c.fetch_add(1, std::memory_order_relaxed);
}

// Receives from one descriptor into the area while the budget, the pipe and
// full batches last. `fill` completes each entry; false drops the datagram.
template <class Fill>
rx_end receive(int fd, ingress_src_t src, rx_area &area, unsigned &bits, batch &b, mcast_stats_t &smp, Fill fill)
{
    mcf::ingress_counters &st = g_stats[src];
    kd_pipe_t *pipe = ingress_pipe[src];
    while (bits < INGRESS_CYCLE_BITS) {
        const unsigned room = pipe_room(pipe);
        if (room == 0) {
            count(smp, STATS_EVT_OVERFLOW_WARN, st.pipe_full);
            return rx_end::pipe_full;
        }
        const unsigned want = std::min<unsigned>(INGRESS_BATCH, room);
        uint8_t *first = area.run(INGRESS_BATCH);
        b.prepare(first, want);
        const int got = recvmmsg(fd, b.msgs, want, MSG_DONTWAIT, nullptr);
        if (got < 1) {
            if (got == 0 || errno == EAGAIN || errno == EWOULDBLOCK)
                return rx_end::drained;
            count(smp, STATS_EVT_SOCKET_ERROR, st.recv_errors);
            return rx_end::error;
        }
        area.advance(unsigned(got));
        for (int i = 0; i < got; ++i) {
            ingress_to_mux_item e{};
            e.src = src;
            e.buf = first + size_t(i) * INGRESS_SLOT_BYTES;
            e.len = int32_t(b.msgs[i].msg_len);
            const rx_meta m = b.control(unsigned(i), &e);
            if (!fill(e, m))
                continue;
            if (kd_pipe_write_unlocked(pipe, &e) != 0) {
                count(smp, STATS_EVT_OVERFLOW_WARN, st.pipe_full);
                return rx_end::pipe_full;
            }
            st.entries.fetch_add(1, std::memory_order_relaxed);
            bits += INGRESS_ENTRY_BITS;
        }
        if (unsigned(got) < want)
            return rx_end::drained; // the socket held no more
    }
    return rx_end::budget;
}

// A thread's cycle: the bits of the entries written, whether it took all
// its sources held, and what to wait on when it found nothing.
struct cycle_out {
    unsigned bits = 0;
    bool drained = true;
    bool sources = false;            // something to receive from
    int wait_ms = kNoSourceWaitMs;   // the longest wait without it
    unsigned n_fds = 0;              // descriptors to wait on
    int fds[mcf::waker::kMaxFds];
};

rate_limited g_drop_log;

// The kernel's drop count of each Net socket as last seen (Net thread).
struct drops_seen {
    int fd = -1;
    uint32_t gen = 0;
    uint32_t count = 0;
};
std::array<drops_seen, kMaxSockets> g_drops_seen;

uint32_t &drops_of(const mcf::net_socket &s)
{
    drops_seen *free_slot = nullptr;
    for (drops_seen &d : g_drops_seen) {
        if (d.fd == s.fd) {
            if (d.gen != s.gen) // another socket by now: its count starts at 0
                d = {s.fd, s.gen, 0};
            return d.count;
        }
        if (!free_slot && d.fd < 0)
            free_slot = &d;
    }
    drops_seen &d = free_slot ? *free_slot : g_drops_seen[0];
    d = {s.fd, s.gen, 0};
    return d.count;
}

// A Net datagram: taken by the socket's input it is addressed to, else
// dropped and counted; the kernel's drops reported with it are counted on
// that input (the socket's first when none takes it).
bool net_datagram(const mcf::net_sockets &set, const mcf::net_socket &s, uint32_t &seen, ingress_to_mux_item &e,
                  const rx_meta &m, mcast_stats_t &smp)
{
    mcf::ingress_counters &st = g_stats[INGRESS_SRC_NET];
    const mcf::net_accept *to = nullptr;
    for (unsigned k = s.first; k < s.first + s.count && !to; ++k)
        if (!m.has_dst || set.accept[k].addr == m.dst)
            to = &set.accept[k];
    manager_input *mi = to ? to->mi : set.accept[s.first].mi;
    if (m.has_drops && m.drops != seen) {
        const uint32_t lost = m.drops - seen;
        seen = m.drops;
        st.kernel_drops.fetch_add(lost, std::memory_order_relaxed);
        mi->rx_kernel_drops.fetch_add(lost, std::memory_order_relaxed);
        if (g_drop_log.due())
            mcf_post_log(SQ_LOG_WARN, "MCF: Input %d: %u datagrams dropped by its socket (receive buffer full)",
                         mi->id, lost);
    }
    if (!to) {
        count(smp, STATS_EVT_INVALID_WARN, st.misaddressed);
        mi->rx_misaddressed.fetch_add(1, std::memory_order_relaxed);
        return false;
    }
    e.sock_id = s.fd;
    std::memcpy(e.pad, &s.gen, sizeof s.gen);
    if (to->named)
        dotted(ntohl(m.dst), e.ip);
    return true;
}

cycle_out net_cycle(batch &b, mcast_stats_t &smp)
{
    cycle_out out;
    // Sockets are read under the read lock: a socket closed and its number
    // reused by another input cannot be read in between.
    static mcf::net_sockets set; // this thread's only
    pthread_rwlock_rdlock(&ctrl_data_lock);
    mcf::collect_net_sockets(set);
    unsigned i = 0;
    for (; i < set.n && out.bits < INGRESS_CYCLE_BITS; ++i) {
        const mcf::net_socket &s = set.sock[i];
        uint32_t &seen = drops_of(s);
        const rx_end end = receive(s.fd, INGRESS_SRC_NET, g_net_area, out.bits, b, smp,
                                   [&](ingress_to_mux_item &e, const rx_meta &m) {
                                       return net_datagram(set, s, seen, e, m, smp);
                                   });
        out.drained = out.drained && end == rx_end::drained;
        out.fds[out.n_fds++] = s.fd;
    }
    out.drained = out.drained && i == set.n;
    out.sources = set.n > 0;
    out.wait_ms = out.sources ? kIdleWaitMs : kNoSourceWaitMs;
    pthread_rwlock_unlock(&ctrl_data_lock);
    return out;
}

rate_limited g_bad_frame_log;


void drop_frame(const char *why, unsigned len)
{
    g_stats[INGRESS_SRC_XSB].dropped.fetch_add(1, std::memory_order_relaxed);
    if (g_bad_frame_log.due())
        mcf_post_log(SQ_LOG_WARN, "MCF: XSB frame dropped (%s, %u bytes)", why, len);
}

// A frame as received: Ethernet header at buf, the entry's payload after it.
bool xsb_frame(ingress_to_mux_item &e)
{
    const uint8_t *f = e.buf;
    const unsigned len = unsigned(e.len);
    if (len < XSB_HDR_LEN + 1) {
        drop_frame("short", len);
        return false;
    }
    const uint8_t *src = f + 6;
    if (src[4] == 0x0F) { // ASI information from a carrier
        mcastfwdr_asi_info_rx_pkt_dp(f, len); // evaluated on the loop
        return false;
    }
    e.baypos = src[5] >> 4;
    if (e.baypos >= 8) {
        drop_frame("bay", len);
        return false;
    }
    e.sock_id = xsb_fileno(g_xsb);
    if (f[XSB_HDR_LEN] == 0x47) {
        e.ts_pkt = 1;
        e.input_map_idx = (src[5] & 0x0F) == 9 ? 1 : 0;
        e.buf += XSB_HDR_LEN;
        e.len -= XSB_HDR_LEN;
        return true;
    }
    if (len < XSB_HDR_LEN + 5 || std::memcmp(f + XSB_HDR_LEN, "LINK", 4) != 0) {
        drop_frame(len < XSB_HDR_LEN + 5 ? "short" : "header", len);
        return false;
    }
    if (f[XSB_HDR_LEN + 4] >= kLinkIndexes) {
        drop_frame("index", len);
        return false;
    }
    e.ts_pkt = 0;
    e.input_map_idx = f[XSB_HDR_LEN + 4];
    e.buf += XSB_HDR_LEN + 5;
    e.len -= XSB_HDR_LEN + 5;
    return true;
}

cycle_out xsb_cycle(batch &b, mcast_stats_t &smp)
{
    cycle_out out;
    if (!g_xsb || xsb_fileno(g_xsb) < 0)
        return out;
    const rx_end end = receive(xsb_fileno(g_xsb), INGRESS_SRC_XSB, g_xsb_area, out.bits, b, smp,
                               [](ingress_to_mux_item &e, const rx_meta &) { return xsb_frame(e); });
    out.drained = end == rx_end::drained;
    // Carriers' ASI information comes this way too: always a source.
    out.sources = true;
    out.wait_ms = kIdleWaitMs;
    out.fds[out.n_fds++] = xsb_fileno(g_xsb);
    return out;
}

// SRT: one 1316-byte message per slot from each connected SRT input. The
// sockets are read under the read lock, as the Net ones are.
cycle_out srt_cycle(batch &, mcast_stats_t &smp)
{
    constexpr int kMessage = 1316;
    mcf::ingress_counters &st = g_stats[INGRESS_SRC_SRT];
    kd_pipe_t *pipe = ingress_pipe[INGRESS_SRC_SRT];
    cycle_out out;
    unsigned &bits = out.bits;
    pthread_rwlock_rdlock(&ctrl_data_lock);
    int socks[kMaxSockets];
    const unsigned n = mcf::collect_srt_sockets(socks, kMaxSockets);
    out.sources = n > 0;
    // An SRT input whose session is not connected yet is looked at again
    // soon: the maintainer connects it without telling this thread.
    out.wait_ms = mcf::count_inputs_of(INGRESS_SRC_SRT) > 0 ? kIdleWaitMs : kNoSourceWaitMs;
    unsigned i = 0;
    for (; i < n && bits < INGRESS_CYCLE_BITS; ++i) {
        bool empty = false; // the socket has no more to read
        while (bits < INGRESS_CYCLE_BITS) {
            int events = 0;
            int len = sizeof events;
            if (srt_getsockflag(socks[i], SRTO_EVENT, &events, &len) != 0) {
                count(smp, STATS_EVT_SOCKET_ERROR, st.recv_errors);
                break;
            }
            if (!(events & SRT_EPOLL_IN)) {
                empty = true;
                break;
            }
            if (pipe_room(pipe) == 0) {
                count(smp, STATS_EVT_OVERFLOW_WARN, st.pipe_full);
                break;
            }
            uint8_t *slot = g_srt_area.run(1);
            const int got = srt_recv(socks[i], reinterpret_cast<char *>(slot), kMessage);
            if (got < 0) {
                if (srt_getlasterror(nullptr) != SRT_EASYNCRCV)
                    count(smp, STATS_EVT_SOCKET_ERROR, st.recv_errors);
                else
                    empty = true;
                break;
            }
            if (got != kMessage) { // empty or short: no entry
                count(smp, got == 0 ? STATS_EVT_EMPTY_WARN : STATS_EVT_SIZE_ERROR, st.dropped);
                break;
            }
            g_srt_area.advance(1);
            ingress_to_mux_item e{};
            e.src = INGRESS_SRC_SRT;
            e.sock_id = socks[i];
            e.buf = slot;
            e.len = kMessage;
            if (kd_pipe_write_unlocked(pipe, &e) != 0) {
                count(smp, STATS_EVT_OVERFLOW_WARN, st.pipe_full);
                break;
            }
            st.entries.fetch_add(1, std::memory_order_relaxed);
            bits += INGRESS_ENTRY_BITS;
        }
        out.drained = out.drained && empty;
    }
    out.drained = out.drained && i == n;
    pthread_rwlock_unlock(&ctrl_data_lock);
    return out;
}

// The board's ASI ingress (a KT-3300 "asi" carrier; nothing otherwise).
cycle_out asi_cycle(batch &, mcast_stats_t &smp)
{
    cycle_out out;
    pthread_rwlock_rdlock(&ctrl_data_lock);
    out.sources = mcf::count_inputs_of(INGRESS_SRC_ASI) > 0;
    pthread_rwlock_unlock(&ctrl_data_lock);
    if (!out.sources)
        return out;
    mcf::ingress_counters &st = g_stats[INGRESS_SRC_ASI];
    const int n =
        mcf_asi_kt33_receive(ingress_pipe[INGRESS_SRC_ASI], &out.bits, INGRESS_CYCLE_BITS, INGRESS_ENTRY_BITS);
    if (n < 0)
        count(smp, STATS_EVT_OVERFLOW_WARN, st.pipe_full);
    out.drained = n >= 0 && out.bits < INGRESS_CYCLE_BITS;
    st.entries.fetch_add(out.bits / INGRESS_ENTRY_BITS, std::memory_order_relaxed);
    return out;
}

// In creation and join order, which is also the order of their statistics
// slots.
struct thread_def {
    const char *name;
    const char *rt_name;
    ingress_src_t src;
    stats_idx_t stats;
    cycle_out (*cycle)(batch &, mcast_stats_t &);
};
constexpr thread_def kThreads[INGRESS_SRC_NUM] = {
    {"ingress-xsb", "SVM:ingress-xsb", INGRESS_SRC_XSB, STATS_IDX_INGRESS_XSB, xsb_cycle},
    {"ingress-net", "SVM:ingress-net", INGRESS_SRC_NET, STATS_IDX_INGRESS_NET, net_cycle},
    {"ingress-srt", "SVM:ingress-srt", INGRESS_SRC_SRT, STATS_IDX_INGRESS_SRT, srt_cycle},
    {"ingress-asi", "SVM:ingress-asi", INGRESS_SRC_ASI, STATS_IDX_INGRESS_ASI, asi_cycle},
};

const thread_def *thread_of(ingress_src_t src)
{
    for (const thread_def &def : kThreads)
        if (def.src == src)
            return &def;
    return nullptr;
}
pthread_t g_threads[INGRESS_SRC_NUM] = {};

int64_t realtime_ns()
{
    timespec t;
    clock_gettime(CLOCK_REALTIME, &t);
    return int64_t(t.tv_sec) * 1000000000 + t.tv_nsec;
}

void *thread_main(void *arg)
{
    const thread_def &def = *static_cast<const thread_def *>(arg);
    rt_thread_setup(def.rt_name, kPriority);
    if (def.src == INGRESS_SRC_ASI)
        mcf_asi_kt33_ingress_start();
    auto b = std::make_unique<batch>();
    kd_pipe_t *pipe = ingress_pipe[def.src];
    mcast_stats_t smp = mcf::ingress_sample(def.src);
    mcf::rt_cycle cycle;
    mcf::idle_cycles idle;
    auto halted = [] { return g_halt.load(std::memory_order_relaxed); };
    while (!halted()) {
        g_holds[def.src].honour(halted);
        cycle.begin();
        const int64_t start = realtime_ns();
        const unsigned level = kd_pipe_level(pipe);
        const cycle_out out = def.cycle(*b, smp);
        if (out.drained)
            g_swept[def.src].store(start, std::memory_order_release);
        if (out.bits)
            mcf::mux::data_arrived();
        if (level == 0 && kd_pipe_level(pipe) == 0)
            ++smp.evt[STATS_EVT_UNDERFLOW_WARN];
        smp.bits.avg = out.bits;
        smp.buf_bits.avg = uint64_t(level) * INGRESS_ENTRY_BITS;
        cycle.post(smp);
        g_stats[def.src].cycles.fetch_add(1, std::memory_order_relaxed);
        // Sources that held nothing: wait for them (SRT sockets and the
        // board cannot be waited on: their cycles go on while they exist).
        const bool can_wait = !out.sources || out.n_fds > 0;
        if (idle.idle(out.drained && out.bits == 0) && can_wait) {
            g_wakers[def.src].wait(halted, out.fds, out.n_fds, out.wait_ms);
            cycle.rewind();
        } else {
            cycle.sleep();
        }
    }
    if (def.src == INGRESS_SRC_ASI)
        mcf_asi_kt33_ingress_stop();
    return nullptr;
}

void xsb_socket_open()
{
    if (!mcastfwdr_eth_intf_is_operational(kXsbIf)) {
        mcf_post_log(SQ_LOG_ERROR, "Interface '%s' is down", kXsbIf);
        return;
    }
    g_xsb = xsb_open(kXsbIf, XSB_ETH_P_CONFIG);
    const int fd = g_xsb ? xsb_fileno(g_xsb) : -1;
    if (fd < 0) {
        mcf_post_log(SQ_LOG_ERROR, "Could not open internal xsb socket. fd= %d. '%s' (%d)", fd, std::strerror(errno),
                     errno);
        return;
    }
    int size = kXsbRcvBuf;
    if (setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof size) != 0) {
        mcf_post_log(SQ_LOG_ERROR, "Set internal xsb socket - buffer size error %s", std::strerror(errno));
        return;
    }
    socklen_t sl = sizeof size;
    if (getsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, &sl) != 0 || size < kXsbRcvBuf) {
        mcf_post_log(SQ_LOG_ERROR, "Set internal xsb socket - SO_RCVBUF expected %d bytes, found %d bytes", kXsbRcvBuf,
                     size);
        return;
    }
    const int flags = fcntl(fd, F_GETFL);
    if (flags < 0) {
        mcf_post_log(SQ_LOG_ERROR, "Could not get internal socket flags");
        return;
    }
    if (fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0) {
        mcf_post_log(SQ_LOG_ERROR, "Could not set internal socket to non-blocking");
        return;
    }
    const unsigned ifindex = if_nametoindex(kXsbIf);
    sockaddr_ll ll{};
    ll.sll_family = AF_PACKET;
    ll.sll_protocol = htons(XSB_ETH_P_CONFIG);
    ll.sll_ifindex = int(ifindex);
    if (ifindex == 0 || bind(fd, reinterpret_cast<sockaddr *>(&ll), sizeof ll) != 0) {
        mcf_post_log(SQ_LOG_ERROR, "Set internal xsb socket - %s", std::strerror(errno));
        return;
    }
    packet_mreq mr{};
    mr.mr_ifindex = int(ifindex);
    mr.mr_type = PACKET_MR_PROMISC;
    if (setsockopt(fd, SOL_PACKET, PACKET_ADD_MEMBERSHIP, &mr, sizeof mr) != 0) {
        mcf_post_log(SQ_LOG_ERROR, "%s", std::strerror(errno));
        return;
    }
    const int on = 1;
    if (setsockopt(fd, SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on) != 0)
        mcf_post_log(SQ_LOG_ERROR, "Set internal xsb socket - timestampns error %s", std::strerror(errno));
}

void join_threads()
{
    for (const thread_def &def : kThreads) {
        pthread_t &t = g_threads[&def - kThreads];
        if (!t)
            continue;
        mcf_post_log(SQ_LOG_DEBUG, "%s: thread %ld join... waiting", def.name, long(t));
        if (rt_thread_join(&t, kJoinTimeoutNs) == 0)
            mcf_post_log(SQ_LOG_DEBUG, "%s: thread join... done", def.name);
        else
            mcf_post_log(SQ_LOG_WARN, "%s: failed to join thread", def.name);
    }
}

void release()
{
    if (g_xsb) {
        xsb_close(g_xsb);
        g_xsb = nullptr;
    }
    for (kd_pipe_t *&p : ingress_pipe) {
        kd_pipe_dtor(p);
        p = nullptr;
    }
    g_net_area.release();
    g_xsb_area.release();
    g_srt_area.release();
}

} // namespace

namespace mcf {
ingress_counters &ingress_stats(ingress_src_t src) { return g_stats[src]; }

int ingress_stats_index(ingress_src_t src)
{
    const thread_def *def = thread_of(src);
    return def ? int(def->stats) : -1;
}

mcast_stats_t ingress_sample(ingress_src_t src)
{
    mcast_stats_t s{};
    s.src = STATS_SRC_INGRESS;
    s.idx = stats_idx_t(ingress_stats_index(src));
    return s;
}
xsb_sock *ingress_xsb_socket() { return g_xsb; }

int64_t ingress_swept_ns(ingress_src_t src) { return g_swept[src].load(std::memory_order_acquire); }

void ingress_sources_changed()
{
    for (mcf::waker &w : g_wakers)
        w.kick();
}

void ingress_hold(ingress_src_t src, bool hold) { g_holds[src].set(hold); }
} // namespace mcf

extern "C" {

int mcastfwdr_ingress_init(void)
{
    for (kd_pipe_t *&p : ingress_pipe)
        if (!p && !(p = kd_pipe_ctor(INGRESS_PIPE_ENTRIES, sizeof(ingress_to_mux_item)))) {
            mcf_post_log(SQ_LOG_ERROR, "MCF: Failed to create the ingress pipes");
            release();
            return -1;
        }
    if (!g_net_area.make() || !g_xsb_area.make() || !g_srt_area.make()) {
        mcf_post_log(SQ_LOG_ERROR, "MCF: Failed to allocate the receive areas");
        release();
        return -1;
    }
    for (auto &s : g_stats)
        for (auto *c : {&s.entries, &s.recv_errors, &s.pipe_full, &s.dropped, &s.cycles, &s.misaddressed,
                        &s.kernel_drops})
            c->store(0, std::memory_order_relaxed);
    for (auto &t : g_swept)
        t.store(0, std::memory_order_relaxed);
    g_drops_seen.fill({});
    xsb_socket_open();
    mcf::xsb_bridge_init();
    g_halt.store(false);
    for (const thread_def &def : kThreads) {
        pthread_t &t = g_threads[&def - kThreads];
        if (pthread_create(&t, nullptr, thread_main, const_cast<thread_def *>(&def)) != 0) {
            t = {};
            mcf_post_log(SQ_LOG_ERROR, "%s: failed pthread_create", def.name);
            g_halt.store(true);
            join_threads(); // the ones already running
            release();
            return -1;
        }
        mcf_post_log(SQ_LOG_DEBUG, "%s: thread ID %ld created", def.name, long(t));
    }
    return 0;
}

void mcastfwdr_ingress_fini(void)
{
    mcf::xsb_bridge_fini();
    g_halt.store(true);
    mcf::ingress_sources_changed();
    join_threads();
    release();
}

} // extern "C"

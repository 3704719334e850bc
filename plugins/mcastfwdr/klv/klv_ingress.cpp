// KLV ingress thread and the KLV packet ring (see klv.h).
#include "klv/klv.h"

#include "cfg/mcf_cfg.h"
#include "cfg/mcf_services.h"
#include "egress/ts_pool.h"
#include "engine.h"
#include "outputs/manager_output.h"
#include "status_queue.h"

#include <kerrow/dataset.h>
#include <ts_packet.h>

#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <sys/socket.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>

extern "C" {
kd_circbuf *klv_pkt_pool = nullptr;
}

namespace {

constexpr size_t kSlots = MCF_KLV_POOL_SIZE / MCF_KLV_PKT_SIZE;
static_assert(kSlots * MCF_KLV_PKT_SIZE == MCF_KLV_POOL_SIZE, "blocks never reach the spare area");
constexpr int kMaxSockets = 50;
constexpr int kWaitMs = 500;
constexpr size_t kRxMax = 1024;
constexpr size_t kControlMax = 256;
constexpr int kPriority = 89;
constexpr uint64_t kLogEvery = 100000;

// Per slot: outputs holding the packet, plus one while the thread offers it.
std::array<std::atomic<uint32_t>, kSlots> g_holds;

pthread_t g_thread{};
bool g_started = false;
std::atomic<bool> klvthread_halt{false};

bool rt_disabled()
{
    const char *v = std::getenv("KD_NO_RT");
    return v && *v && std::strcmp(v, "0") != 0;
}

// The slot of a packet of the ring, or -1.
long slot_of(const uint8_t *pkt)
{
    kd_circbuf *pool = klv_pkt_pool;
    if (!pool || !pkt)
        return -1;
    const auto base = reinterpret_cast<uintptr_t>(pool->buf), at = reinterpret_cast<uintptr_t>(pkt);
    if (at < base || at - base >= MCF_KLV_POOL_SIZE || (at - base) % MCF_KLV_PKT_SIZE)
        return -1;
    return long((at - base) / MCF_KLV_PKT_SIZE);
}

void release_slot(long slot)
{
    std::atomic<uint32_t> &h = g_holds[size_t(slot)];
    uint32_t v = h.load(std::memory_order_relaxed);
    while (v > 0 && !h.compare_exchange_weak(v, v - 1, std::memory_order_acq_rel))
        ;
}

// Moves the read mark over every packet nobody holds any more. Stops at the
// write mark (the ring is never let fill completely, so equal marks mean empty).
void reclaim()
{
    kd_circbuf *pool = klv_pkt_pool;
    if (!pool)
        return;
    for (;;) {
        kd_circbuf_get_read(pool);
        const size_t r = pool->buf_idx_r;
        if (r == pool->buf_idx_w || g_holds[r / MCF_KLV_PKT_SIZE].load(std::memory_order_acquire) != 0) {
            kd_circbuf_unlock_rdwr(pool);
            return;
        }
        kd_circbuf_inc_read(pool, MCF_KLV_PKT_SIZE, 0);
    }
}

// Ring lock held.
size_t used_bytes(const kd_circbuf *pool)
{
    const size_t w = pool->buf_idx_w, r = pool->buf_idx_r;
    return w >= r ? w - r : w + pool->buf_size - r;
}

bool routes_source(const manager_output *mo, int id)
{
    for (const out_services &os : mo->unique_inputs)
        for (const routed_pgm_cfg &s : os.services)
            if (s.klv_source_id == id)
                return true;
    return false;
}

timespec receive_time(msghdr &m)
{
    for (cmsghdr *c = CMSG_FIRSTHDR(&m); c; c = CMSG_NXTHDR(&m, c))
        if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_TIMESTAMPNS) {
            timespec ts;
            std::memcpy(&ts, CMSG_DATA(c), sizeof ts);
            return ts;
        }
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    return now;
}

// One datagram from fd, taken only while fd still belongs to a KLV source
// (a descriptor closed and reused since the wait may now be another input's).
void receive_one(int fd, uint64_t &rx_errors)
{
    pthread_rwlock_rdlock(&ctrl_data_lock);
    if (mcfcfg_rx_klv_find_by_sockfd(fd)) {
        uint8_t data[kRxMax];
        alignas(cmsghdr) char control[kControlMax];
        iovec iov{data, sizeof data};
        msghdr m{};
        m.msg_iov = &iov;
        m.msg_iovlen = 1;
        m.msg_control = control;
        m.msg_controllen = sizeof control;
        const ssize_t n = recvmsg(fd, &m, MSG_DONTWAIT);
        if (n < 0) {
            if (errno != EAGAIN && errno != EWOULDBLOCK && rx_errors++ % kLogEvery == 0)
                mcf_post_log(SQ_LOG_INFO, "KLV thread: error receiving: %s", std::strerror(errno));
        } else if (n > 0) {
            // A datagram longer than the buffer arrives cut: it cannot fit a packet either.
            const size_t len = (m.msg_flags & MSG_TRUNC) ? kRxMax + 1 : size_t(n);
            mcf::klv::handle_datagram(fd, data, len, receive_time(m));
        }
    }
    pthread_rwlock_unlock(&ctrl_data_lock);
}

void *klv_thread(void *)
{
    pthread_setname_np(pthread_self(), "SVM:ingress-klv");
    kd_dataset *set = kd_dataset_ctor(kMaxSockets, 0);
    std::array<pollfd, kMaxSockets> fds{};
    uint64_t loops = 0, rx_errors = 0;
    while (set && !klvthread_halt.load(std::memory_order_acquire)) {
        kd_dataset_clear(set);
        pthread_rwlock_rdlock(&ctrl_data_lock);
        mcfcfg_rx_klv_collect_socket_ids(set);
        pthread_rwlock_unlock(&ctrl_data_lock);
        const size_t count = kd_dataset_get_length(set);
        if (loops++ % kLogEvery == 0)
            mcf_post_log(SQ_LOG_DEBUG, "KLV thread: Sockets count: %d", int(count));
        for (size_t i = 0; i < count; ++i) {
            int fd = -1;
            kd_dataset_get_num(set, i, &fd);
            fds[i] = pollfd{fd, POLLIN, 0};
        }
        const int ready = poll(fds.data(), nfds_t(count), kWaitMs);
        if (klvthread_halt.load(std::memory_order_acquire))
            break;
        if (ready < 0) {
            mcf_post_log(SQ_LOG_WARN, "KLV thread: Select function returned: %s", std::strerror(errno));
            continue;
        }
        int left = ready;
        for (size_t i = 0; i < count && left > 0; ++i) {
            if (!fds[i].revents)
                continue;
            --left;
            receive_one(fds[i].fd, rx_errors);
        }
    }
    kd_dataset_dtor(set);
    return nullptr;
}

// Starts the thread at SCHED_RR 89; where real-time scheduling is off
// (KD_NO_RT) or refused, at normal priority with a log line.
int start_thread()
{
    pthread_attr_t attr;
    if (pthread_attr_init(&attr) != 0) {
        mcf_post_log(SQ_LOG_ERROR, "klv: Failed pthread_attr_init");
        return -1;
    }
    struct attr_guard {
        pthread_attr_t *a;
        ~attr_guard() { pthread_attr_destroy(a); }
    } guard{&attr};
    if (pthread_attr_setinheritsched(&attr, PTHREAD_EXPLICIT_SCHED) != 0) {
        mcf_post_log(SQ_LOG_ERROR, "klv: Failed pthread_attr_setinheritsched");
        return -1;
    }
    if (pthread_attr_setschedpolicy(&attr, SCHED_RR) != 0) {
        mcf_post_log(SQ_LOG_ERROR, "klv: Failed pthread_attr_setschedpolicy");
        return -1;
    }
    sched_param sp{};
    sp.sched_priority = kPriority;
    if (pthread_attr_setschedparam(&attr, &sp) != 0) {
        mcf_post_log(SQ_LOG_ERROR, "klv: Failed pthread_attr_setschedparam");
        return -1;
    }
    int rc = rt_disabled() ? EPERM : pthread_create(&g_thread, &attr, klv_thread, nullptr);
    if (rc == EPERM) {
        mcf_post_log(SQ_LOG_INFO, "klv: SCHED_RR not permitted, thread runs at normal priority");
        rc = pthread_create(&g_thread, nullptr, klv_thread, nullptr);
    }
    if (rc != 0) {
        mcf_post_log(SQ_LOG_ERROR, "klv: Failed pthread_create");
        return -1;
    }
    g_started = true;
    mcf_post_log(SQ_LOG_DEBUG, "klv: Success. Thread ID %ld", long(g_thread));
    return 0;
}

} // namespace

namespace mcf::klv {

void handle_datagram(int fd, const uint8_t *data, size_t len, const timespec &received)
{
    cfg_rx_klv *k = mcfcfg_rx_klv_find_by_sockfd(fd);
    if (!k || !data || len == 0)
        return;
    std::atomic_ref<bool>(k->detected).store(true, std::memory_order_relaxed);
    std::atomic_ref<int32_t>(k->pkts_rx).fetch_add(1, std::memory_order_relaxed);
    kd_circbuf *pool = klv_pkt_pool;
    if (k->pid >= MCF_KLV_NO_PID || !pool)
        return;

    reclaim();
    uint8_t *slot = kd_circbuf_get_write(pool);
    // Never let the write mark catch up with the read mark: the packets
    // there are still queued by some output.
    if (pool->buf_size - used_bytes(pool) <= MCF_KLV_PKT_SIZE) {
        kd_circbuf_unlock_rdwr(pool);
        std::atomic_ref<int32_t>(k->errs_overflow).fetch_add(1, std::memory_order_relaxed);
        return;
    }
    if (packetize_klv_async(reinterpret_cast<tsPkt *>(slot), 1, data, len, uint16_t(k->pid)) != 1) {
        kd_circbuf_unlock_rdwr(pool);
        std::atomic_ref<int32_t>(k->errs_packetizing).fetch_add(1, std::memory_order_relaxed);
        return;
    }
    slot[3] = uint8_t((slot[3] & 0xF0) | (k->cc & 0x0F));
    k->cc = (k->cc + 1) & 0x0F;
    const long idx = slot_of(slot);
    g_holds[size_t(idx)].store(1, std::memory_order_relaxed); // the offer's own hold
    kd_circbuf_inc_write(pool, MCF_KLV_PKT_SIZE, 0);

    std::atomic_ref<time_t>(k->last_tstamp.tv_sec).store(received.tv_sec, std::memory_order_relaxed);
    std::atomic_ref<long>(k->last_tstamp.tv_nsec).store(received.tv_nsec, std::memory_order_relaxed);
    std::atomic_ref<uint8_t *>(k->last_pkt).store(slot, std::memory_order_release);
    manager_outputs_foreach(__queue_injected_packet, int(k->id), slot);
    release_slot(idx);
    reclaim();
}

void release_queue(mcastfwdr_ts_pool *queue)
{
    if (!queue)
        return;
    uint16_t pid = 0;
    unsigned meta_len = 0;
    uint8_t meta[64];
    while (const uint8_t *p = ts_pool_read_unlocked(queue, &pid, meta, &meta_len))
        mcastfwdr_klv_mark_pkt_injected(p);
}

size_t ring_level()
{
    kd_circbuf *pool = klv_pkt_pool;
    if (!pool)
        return 0;
    kd_circbuf_get_read(pool);
    const size_t used = used_bytes(pool);
    kd_circbuf_unlock_rdwr(pool);
    return used / MCF_KLV_PKT_SIZE;
}

bool thread_running() { return g_started; }

} // namespace mcf::klv

extern "C" {

int mcastfwdr_klv_init(plugin_load_info *)
{
    if (mcf_decoder_exists())
        return 0;
    if (!klv_pkt_pool) {
        klv_pkt_pool = kd_circbuf_ctor(MCF_KLV_POOL_SIZE, MCF_KLV_PKT_SIZE);
        if (!klv_pkt_pool) {
            mcf_post_log(SQ_LOG_ERROR, "klv: Failed to create the packet pool");
            return -1;
        }
        for (auto &h : g_holds)
            h.store(0, std::memory_order_relaxed);
    }
    if (g_started)
        return 0;
    klvthread_halt.store(false, std::memory_order_release);
    return start_thread();
}

void mcastfwdr_klv_fini(void)
{
    if (g_started) {
        mcf_post_log(SQ_LOG_DEBUG, "ingress: Thread ID %ld", long(g_thread));
        klvthread_halt.store(true, std::memory_order_release);
        mcf_post_log(SQ_LOG_DEBUG, "ingress: Thread join... waiting");
        if (pthread_join(g_thread, nullptr) != 0) {
            // The thread may still use the ring: keep it.
            mcf_post_log(SQ_LOG_WARN, "ingress: Failed to join thread");
            return;
        }
        g_started = false;
        g_thread = pthread_t{};
        mcf_post_log(SQ_LOG_DEBUG, "ingress: Thread join... done");
    }
    kd_circbuf *pool = klv_pkt_pool;
    klv_pkt_pool = nullptr;
    kd_circbuf_dtor(pool);
}

int mcastfwdr_klv_mark_pkt_injected(const uint8_t *pkt)
{
    const long slot = slot_of(pkt);
    if (slot < 0)
        return -1;
    release_slot(slot);
    reclaim();
    return 0;
}

void __queue_injected_packet(manager_output *mo, va_list args)
{
    const int id = va_arg(args, int);
    const uint8_t *pkt = va_arg(args, const uint8_t *);
    if (!mo || !pkt || mo->cfg_single_input_rtg_enabled || !mo->inject_ts_queue || !routes_source(mo, id))
        return;
    const long slot = slot_of(pkt);
    if (slot >= 0)
        g_holds[size_t(slot)].fetch_add(1, std::memory_order_relaxed);
    if (ts_pool_write_unlocked(mo->inject_ts_queue, pkt, 0, nullptr, 0) == 0)
        return;
    if (slot >= 0)
        release_slot(slot);
    if (mo->inject_errors_counter.fetch_add(1, std::memory_order_relaxed) < 3)
        mcf_post_log(SQ_LOG_WARN, "MCF: Output %d inject failed pid %4d cc %2d", mo->id,
                     ((pkt[1] & 0x1F) << 8) | pkt[2], pkt[3] & 0x0F);
}

} // extern "C"

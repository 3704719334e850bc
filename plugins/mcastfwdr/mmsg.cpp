// Batched datagram I/O (see mmsg.h).
#include "mmsg.h"
#include "status_queue.h"

#include <arpa/inet.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <utility>
#include <mutex>
#include <string>
#include <vector>

namespace {

constexpr int kTsPacket = 188;
constexpr int kRtpHeader = 12;

void point_vectors(mmsghdr *msgs, iovec *iov, char **bufs)
{
    for (int i = 0; i < MMSG_BATCH; ++i) {
        iov[i] = {bufs ? bufs[i] : nullptr, MMSG_SLOT_LEN};
        msgs[i].msg_hdr.msg_iov = &iov[i];
        msgs[i].msg_hdr.msg_iovlen = 1;
    }
}

// Closes the socket unless released: the constructors' failure paths.
struct fd_guard {
    int fd;
    ~fd_guard()
    {
        if (fd >= 0)
            ::close(fd);
    }
    int release() { return std::exchange(fd, -1); }
};

// Sets a socket buffer, forcing past the system limit where the process
// may. A refusal other than EPERM is a failure.
bool set_buffer(int fd, int force_opt, int opt, const char *name)
{
    const int size = MMSG_SOCK_BUF;
    if (setsockopt(fd, SOL_SOCKET, force_opt, &size, sizeof size) == 0)
        return true;
    if (setsockopt(fd, SOL_SOCKET, opt, &size, sizeof size) == 0)
        return true;
    const int err = errno;
    mcf_post_log(SQ_LOG_WARN, "setsockopt %s failed! '%s'", name, strerror(err));
    if (err == EPERM)
        return true;
    mcf_post_log(SQ_LOG_ERROR, "setsockopt %s failed!", name);
    return false;
}

struct pool {
    std::mutex mutex;
    std::vector<mmsg_bufs> sets;
    std::vector<char> bytes;
    size_t next = 0;
};
pool &bufpool()
{
    static pool p;
    return p;
}

template <class T> struct lookup {
    std::mutex mutex;
    bool exists = false;
    std::vector<std::pair<int, T *>> entries; // insertion order
};
lookup<mmsg_rx> &rx_list()
{
    static lookup<mmsg_rx> l;
    return l;
}
lookup<mmsg_tx> &tx_list()
{
    static lookup<mmsg_tx> l;
    return l;
}

// The records of a list are freed with it; their descriptors stay open
// (their owners close them).
template <class T> int list_clear(lookup<T> &l)
{
    std::lock_guard lock(l.mutex);
    for (auto &e : l.entries)
        std::free(e.second);
    l.entries.clear();
    l.exists = false;
    return 0;
}
template <class T> int list_add(lookup<T> &l, int fd, T *(*ctor)(int))
{
    T *obj = ctor(fd);
    std::lock_guard lock(l.mutex);
    if (!obj || !l.exists) { // no list: nothing to keep it in
        std::free(obj);
        return obj ? 0 : -1;
    }
    l.entries.emplace_back(fd, obj);
    return 0;
}
template <class T> T *list_get(lookup<T> &l, int fd)
{
    std::lock_guard lock(l.mutex);
    for (auto &e : l.entries)
        if (e.first == fd)
            return e.second;
    return nullptr;
}
template <class T> int list_remove(lookup<T> &l, int fd)
{
    std::lock_guard lock(l.mutex);
    auto it = std::find_if(l.entries.begin(), l.entries.end(), [fd](const auto &e) { return e.first == fd; });
    if (it != l.entries.end()) {
        std::free(it->second);
        l.entries.erase(it);
    }
    return 0;
}

} // namespace

extern "C" {

int mmsg_len_is_valid(int len)
{
    return len >= 0 && (len % kTsPacket == 0 || (len >= kRtpHeader && (len - kRtpHeader) % kTsPacket == 0));
}

mmsg_rx *mmsg_rx_ctor(int fd)
{
    auto *rx = static_cast<mmsg_rx *>(std::calloc(1, sizeof(mmsg_rx)));
    if (rx)
        rx->fd = fd;
    return rx;
}

mmsg_rx *mmsg_rx_ctor_from_ip(const char *group, int port)
{
    fd_guard s{::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)};
    if (s.fd < 0) {
        mcf_post_log(SQ_LOG_ERROR, "Failed to create socket! '%s'", strerror(errno));
        return nullptr;
    }
    mcf_post_log(SQ_LOG_DEBUG, "buf_size_rx: %d", MMSG_SOCK_BUF);
    if (!set_buffer(s.fd, SO_RCVBUFFORCE, SO_RCVBUF, "SO_RCVBUF"))
        return nullptr;
    const int on = 1;
    if (setsockopt(s.fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0) {
        mcf_post_log(SQ_LOG_ERROR, "Reusing ADDR failed! '%s'", strerror(errno));
        return nullptr;
    }
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_ANY);
    addr.sin_port = htons(uint16_t(port));
    if (port < 0 || port > 65535 || bind(s.fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) {
        mcf_post_log(SQ_LOG_ERROR, "Bind failed! '%s'", strerror(port < 0 || port > 65535 ? EINVAL : errno));
        return nullptr;
    }
    ip_mreq mreq{};
    mreq.imr_interface.s_addr = htonl(INADDR_ANY);
    if (!group || inet_pton(AF_INET, group, &mreq.imr_multiaddr) != 1 ||
        setsockopt(s.fd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &mreq, sizeof mreq) != 0) {
        mcf_post_log(SQ_LOG_ERROR, "setsockopt failed! '%s'", strerror(errno ? errno : EINVAL));
        return nullptr;
    }
    mmsg_rx *rx = mmsg_rx_ctor(s.fd);
    if (!rx)
        return nullptr;
    rx->addr = addr;
    rx->mreq = mreq;
    s.release();
    return rx;
}

int mmsg_rx_dtor(mmsg_rx *rx)
{
    if (rx) {
        if (rx->fd >= 0)
            ::close(rx->fd);
        std::free(rx);
    }
    return 0;
}

int mmsg_rx_recv(mmsg_rx *rx, int flags, char **bufs)
{
    point_vectors(rx->msgs, rx->iovecs, bufs);
    const int have = rx->msgs_recvd_total;
    if (have >= MMSG_BATCH)
        return have;
    const int n = recvmmsg(rx->fd, rx->msgs + have, unsigned(MMSG_BATCH - have), flags | MSG_WAITALL, nullptr);
    if (n > 0)
        rx->msgs_recvd_total += n;
    return rx->msgs_recvd_total;
}

int mmsg_rx_recv_blocking(mmsg_rx *rx, int flags, char **bufs)
{
    point_vectors(rx->msgs, rx->iovecs, bufs);
    int retries = 0;
    while (rx->msgs_recvd_total < MMSG_BATCH) {
        const int have = rx->msgs_recvd_total;
        const int n = recvmmsg(rx->fd, rx->msgs + have, unsigned(MMSG_BATCH - have), flags | MSG_WAITALL, nullptr);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) { // a socket error never heals by asking again
            mcf_post_log(SQ_LOG_ERROR, "recvmmsg failed! '%s'", strerror(errno));
            return -1;
        }
        rx->msgs_recvd_total += n;
        if (rx->msgs_recvd_total < MMSG_BATCH)
            ++retries;
    }
    mcf_post_log(SQ_LOG_DEBUG, " ::: read packets, required %d retries", retries);
    for (int i = 0; i < MMSG_BATCH; ++i) {
        const int len = int(rx->msgs[i].msg_len);
        if (!mmsg_len_is_valid(len)) {
            mcf_post_log(SQ_LOG_ERROR, "Found msg_len with bad size! msg_len: %d", len);
            return -1;
        }
    }
    return MMSG_BATCH;
}

int mmsg_rx_get_msgs_recvd(const mmsg_rx *rx) { return rx->msgs_recvd_total; }
int mmsg_rx_reset_msgs_recvd(mmsg_rx *rx)
{
    rx->msgs_recvd_total = 0;
    return 0;
}
char **mmsg_rx_get_bufs(mmsg_rx *rx) { return rx->bufs; }
int mmsg_rx_set_bufs(mmsg_rx *rx, char **bufs)
{
    for (int i = 0; i < MMSG_BATCH; ++i)
        rx->bufs[i] = bufs ? bufs[i] : nullptr;
    return 0;
}
int mmsg_rx_get_fd(const mmsg_rx *rx) { return rx->fd; }
int mmsg_rx_get_msg_len(const mmsg_rx *rx, int index)
{
    return index >= 0 && index < MMSG_BATCH ? int(rx->msgs[index].msg_len) : -1;
}
int mmsg_rx_set_msg_len(mmsg_rx *rx, int index, int len)
{
    if (index < 0 || index >= MMSG_BATCH)
        return -1;
    rx->msgs[index].msg_len = unsigned(len);
    return 0;
}

mmsg_tx *mmsg_tx_ctor(int fd)
{
    auto *tx = static_cast<mmsg_tx *>(std::calloc(1, sizeof(mmsg_tx)));
    if (tx)
        tx->fd = fd;
    return tx;
}

mmsg_tx *mmsg_tx_ctor_from_ip(const char *address, int port)
{
    fd_guard s{::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)};
    if (s.fd < 0) {
        mcf_post_log(SQ_LOG_ERROR, "Failed to create socket! '%s'", strerror(errno));
        return nullptr;
    }
    mcf_post_log(SQ_LOG_DEBUG, "buf_size_tx: %d", MMSG_SOCK_BUF);
    if (!set_buffer(s.fd, SO_SNDBUFFORCE, SO_SNDBUF, "SO_SNDBUF"))
        return nullptr;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(uint16_t(port));
    if (!address || port < 0 || port > 65535 || inet_pton(AF_INET, address, &addr.sin_addr) != 1 ||
        connect(s.fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) {
        mcf_post_log(SQ_LOG_ERROR, "Connect failed! '%s'", strerror(errno ? errno : EINVAL));
        return nullptr;
    }
    mmsg_tx *tx = mmsg_tx_ctor(s.fd);
    if (!tx)
        return nullptr;
    tx->addr = addr;
    s.release();
    return tx;
}

int mmsg_tx_dtor(mmsg_tx *tx)
{
    if (tx) {
        if (tx->fd >= 0)
            ::close(tx->fd);
        std::free(tx);
    }
    return 0;
}

int mmsg_tx_send(mmsg_tx *tx, int flags, char *bufs, int buf_len, int count)
{
    if (!tx || !bufs || count < 1 || count > MMSG_BATCH || buf_len < 0 || buf_len > MMSG_SLOT_LEN) {
        mcf_post_log(SQ_LOG_ERROR, "Didnt send all msgs! only sent %d of %d msgs", 0, count);
        return -1;
    }
    for (int i = 0; i < count; ++i) {
        tx->iovecs[i] = {bufs + size_t(i) * MMSG_SLOT_LEN, size_t(buf_len)};
        tx->msgs[i].msg_hdr = {};
        tx->msgs[i].msg_hdr.msg_iov = &tx->iovecs[i];
        tx->msgs[i].msg_hdr.msg_iovlen = 1;
        tx->msgs[i].msg_len = 0;
    }
    const int sent = sendmmsg(tx->fd, tx->msgs, unsigned(count), flags);
    if (sent < 0) {
        mcf_post_log(SQ_LOG_ERROR, "sendmmsg failed! '%s'", strerror(errno));
        return -1;
    }
    if (sent < count) {
        mcf_post_log(SQ_LOG_ERROR, "sendmmsg failed to send all of the msgs! msgs_sent: %d, msgs_to_send: %d", sent,
                     count);
        return -1;
    }
    for (int i = 0; i < sent; ++i) {
        const int len = int(tx->msgs[i].msg_len);
        if (!mmsg_len_is_valid(len)) {
            mcf_post_log(SQ_LOG_ERROR, "Found msg_len with bad size! msg_len: %d", len);
            return -1;
        }
    }
    return sent;
}

int mmsg_tx_get_fd(const mmsg_tx *tx) { return tx->fd; }
int mmsg_tx_get_msg_len(const mmsg_tx *tx, int index)
{
    return index >= 0 && index < MMSG_BATCH ? int(tx->msgs[index].msg_len) : -1;
}
int mmsg_tx_set_msg_len(mmsg_tx *tx, int index, int len)
{
    if (index < 0 || index >= MMSG_BATCH)
        return -1;
    tx->msgs[index].msg_len = unsigned(len);
    return 0;
}

int mmsg_bufs_init(void)
{
    pool &p = bufpool();
    std::lock_guard lock(p.mutex);
    if (!p.bytes.empty())
        return 0;
    try {
        p.bytes.resize(size_t(MMSG_BUFS_SETS) * MMSG_BATCH * MMSG_SLOT_LEN);
    } catch (const std::bad_alloc &) {
        return -1;
    }
    p.sets.resize(MMSG_BUFS_SETS);
    for (size_t s = 0; s < p.sets.size(); ++s)
        for (int i = 0; i < MMSG_BATCH; ++i)
            p.sets[s].bufs[i] = p.bytes.data() + (s * MMSG_BATCH + size_t(i)) * MMSG_SLOT_LEN;
    p.next = 0;
    return 0;
}

int mmsg_bufs_fini(void)
{
    pool &p = bufpool();
    std::lock_guard lock(p.mutex);
    p.sets.clear();
    p.bytes = {};
    p.next = 0;
    return 0;
}

mmsg_bufs *mmsg_bufs_get_next(void)
{
    pool &p = bufpool();
    std::lock_guard lock(p.mutex);
    if (p.sets.empty())
        return nullptr;
    mmsg_bufs *b = &p.sets[p.next];
    p.next = (p.next + 1) % p.sets.size();
    return b;
}

int mmsg_list_rx_init(void)
{
    std::lock_guard lock(rx_list().mutex);
    rx_list().exists = true;
    return 0;
}
int mmsg_list_rx_fini(void) { return list_clear(rx_list()); }
int mmsg_list_rx_add(int fd) { return list_add(rx_list(), fd, mmsg_rx_ctor); }
mmsg_rx *mmsg_list_rx_get(int fd) { return list_get(rx_list(), fd); }
int mmsg_list_rx_remove(int fd) { return list_remove(rx_list(), fd); }

int mmsg_list_tx_ctor(void)
{
    std::lock_guard lock(tx_list().mutex);
    tx_list().exists = true;
    return 0;
}
int mmsg_list_tx_dtor(void) { return list_clear(tx_list()); }
int mmsg_list_tx_add(int fd) { return list_add(tx_list(), fd, mmsg_tx_ctor); }
mmsg_tx *mmsg_list_tx_get(int fd) { return list_get(tx_list(), fd); }
int mmsg_list_tx_remove(int fd) { return list_remove(tx_list(), fd); }

} // extern "C"

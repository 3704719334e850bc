// The remote sockets service: opens the sockets plug-ins ask for and watches
// them on the framework's loop through one fixed table of 50 I/O watchers.
//
// A descriptor may hold several entries (a TCP client holds its connect and
// its data entry). A registration either ends with every watcher it needs
// running, or closes its descriptor and answers -1: a socket nobody watches
// would look alive to its owner and never deliver.
#include "remote_internal.h"
#include "../frame_internal.h"

#include <kerrow/log.h>

#include <arpa/inet.h>
#include <ev.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <map>
#include <string>

using kd::remote::me;

namespace {

constexpr int kMaxWatchers = 50;
constexpr int kBacklog = 5;

enum { REM_WATCHER_DATA_KEY = 0, REM_WATCHER_CONNECT_KEY = 1, REM_WATCHER_ACCEPT_KEY = 2 };

struct remote_watcher_entry {
    int fd = -1;  // -1 when free
    int key = -1; // -1 when free
    ev_io w{};
    kd_remote_ops *ops = nullptr;
    // Changes whenever the entry is taken: a callback that may have closed
    // its descriptor (and a new registration reused number and entry) can
    // tell whether the entry it started from is still its own.
    unsigned serial = 0;
};

// The owner's context of a descriptor. A type of this file's own keeps the
// map's template code out of the library's exported symbols.
struct clientctx_node {
    void *ctx;
};

struct remote_ctx {
    struct ev_loop *loop = nullptr;
    std::array<remote_watcher_entry, kMaxWatchers> watchers;
    std::map<int, clientctx_node> clientctx; // by descriptor
    unsigned serial = 0;
};

remote_ctx g_rc; /* loop thread only */

// libev's event bits as text, in bit order.
const char *revents_str(int revents)
{
    static const struct {
        int bit;
        const char *name;
    } kBits[] = {
        {EV_READ, "EV_READ "},       {EV_WRITE, "EV_WRITE "},   {EV_TIMER, "EV_TIMER "},
        {EV_PERIODIC, "EV_PERIODIC "}, {EV_SIGNAL, "EV_SIGNAL "}, {EV_CHILD, "EV_CHILD "},
        {EV_STAT, "EV_STAT "},       {EV_IDLE, "EV_IDLE "},     {EV_PREPARE, "EV_PREPARE "},
        {EV_CHECK, "EV_CHECK "},     {EV_EMBED, "EV_EMBED "},   {EV_FORK, "EV_FORK "},
        {EV_CLEANUP, "EV_CLEANUP "}, {EV_ASYNC, "EV_ASYNC "},   {EV_CUSTOM, "EV_CUSTOM "},
        {EV_ERROR, "EV_ERROR "},
    };
    static char buf[256];
    buf[0] = '\0';
    for (const auto &b : kBits)
        if (revents & b.bit)
            std::strcat(buf, b.name);
    return buf;
}

void free_entry(remote_watcher_entry &e)
{
    if (g_rc.loop)
        ev_io_stop(g_rc.loop, &e.w);
    e.fd = -1;
    e.key = -1;
    e.ops = nullptr;
}

void on_data(struct ev_loop *, ev_io *w, int) noexcept
{
    auto *e = static_cast<remote_watcher_entry *>(w->data);
    if (e->ops && e->ops->on_msg_in)
        e->ops->on_msg_in(e->fd, kd_remote_get_context(e->fd));
}

void on_connected(struct ev_loop *, ev_io *w, int revents) noexcept
{
    auto *e = static_cast<remote_watcher_entry *>(w->data);
    const int fd = e->fd;
    const unsigned serial = e->serial;
    kd_remote_ops *ops = e->ops;
    KD_LOG(KD_LOG_INFO, "[%s] Server connection %d rev %s, dispatch to %p on_connect %p\n", me(), fd,
           revents_str(revents), static_cast<void *>(ops),
           ops ? reinterpret_cast<void *>(ops->on_connect) : nullptr);
    if (ops && ops->on_connect)
        ops->on_connect(fd, kd_remote_get_context(fd));
    // The connect watcher has done its work; the data watcher stays.
    if (e->serial == serial && e->fd == fd && e->key == REM_WATCHER_CONNECT_KEY)
        free_entry(*e);
    else
        KD_LOG(KD_LOG_INFO, "[%s] Already removed ev_io watcher with fd %d key %d\n", me(), fd,
               REM_WATCHER_CONNECT_KEY);
}

int watcher_add(int fd, int key, kd_remote_ops *ops);

void on_accept(struct ev_loop *, ev_io *w, int revents) noexcept
{
    auto *e = static_cast<remote_watcher_entry *>(w->data);
    KD_LOG(KD_LOG_INFO, "[%s] Accepting new client from %d rev %s\n", me(), e->fd,
           revents_str(revents));
    int client = accept4(e->fd, nullptr, nullptr, SOCK_CLOEXEC);
    if (client < 0) {
        KD_LOG(KD_LOG_ERR, "[%s] Accept error %s\n", me(), std::strerror(errno));
        return;
    }
    kd_remote_ops *ops = e->ops;
    KD_LOG(KD_LOG_INFO, "[%s] Adding client %d\n", me(), client);
    if (watcher_add(client, REM_WATCHER_DATA_KEY, ops) < 0) {
        close(client); // nobody would ever read it
        return;
    }
    if (ops && ops->on_connect)
        ops->on_connect(client, nullptr);
}

// Takes the first free entry and starts its watcher: 0, or -1 when all 50
// are in use.
int watcher_add(int fd, int key, kd_remote_ops *ops)
{
    for (auto &e : g_rc.watchers) {
        if (e.fd != -1)
            continue;
        e.fd = fd;
        e.key = key;
        e.ops = ops;
        e.serial = ++g_rc.serial;
        switch (key) {
        case REM_WATCHER_CONNECT_KEY: ev_io_init(&e.w, on_connected, fd, EV_WRITE); break;
        case REM_WATCHER_ACCEPT_KEY: ev_io_init(&e.w, on_accept, fd, EV_READ); break;
        default: ev_io_init(&e.w, on_data, fd, EV_READ); break;
        }
        e.w.data = &e;
        ev_io_start(g_rc.loop, &e.w);
        return 0;
    }
    KD_LOG(KD_LOG_ERR, "[%s] Could not add ev_io watcher with fd %d key %d\n", me(), fd, key);
    return -1;
}

bool service_ready()
{
    if (g_rc.loop)
        return true;
    KD_LOG(KD_LOG_ERR, "[%s] Failed to register remote server. Even loop not initialized.\n", me());
    return false;
}

int set_nonblock(int fd)
{
    int fl = fcntl(fd, F_GETFL);
    return fl < 0 ? -1 : fcntl(fd, F_SETFL, fl | O_NONBLOCK);
}

// Sets the receive (rx) or send buffer, past the system limit when the
// process may (the FORCE options need CAP_NET_ADMIN), and reports a buffer
// that came out smaller than asked.
void set_buffer(int fd, bool rx, int bufsize)
{
    if (bufsize <= 0)
        return; // keep the system's default
    const int force = rx ? SO_RCVBUFFORCE : SO_SNDBUFFORCE;
    const int plain = rx ? SO_RCVBUF : SO_SNDBUF;
    if (setsockopt(fd, SOL_SOCKET, force, &bufsize, sizeof bufsize) < 0 &&
        (errno != EPERM || setsockopt(fd, SOL_SOCKET, plain, &bufsize, sizeof bufsize) < 0))
        KD_LOG(KD_LOG_ERR, "[%s] Set socket buffer size error %s\n", me(), std::strerror(errno));
    int found = 0;
    socklen_t len = sizeof found;
    if (getsockopt(fd, SOL_SOCKET, plain, &found, &len) == 0 && found < bufsize)
        KD_LOG(KD_LOG_ERR, "[%s] %s expected %d bytes, found %d bytes\n", me(),
               rx ? "SO_RCVBUF" : "SO_SNDBUF", bufsize, found);
}

void store_context(int fd, void *ctx) { g_rc.clientctx[fd] = clientctx_node{ctx}; }

// Owns a descriptor being registered: unless released, it drops the
// descriptor's watchers and context and closes it.
class Pending {
public:
    explicit Pending(int fd) : fd_(fd) {}
    ~Pending()
    {
        if (fd_ >= 0)
            kd_remote_close(fd_);
    }
    Pending(const Pending &) = delete;
    Pending &operator=(const Pending &) = delete;
    int get() const { return fd_; }
    int release()
    {
        int fd = fd_;
        fd_ = -1;
        return fd;
    }

private:
    int fd_;
};

// Data watcher, socket kind and context of a registration with ops.
bool watch_data(int fd, kd_remote_ops *ops, int rtype, void *ctx)
{
    if (!ops)
        return true;
    if (watcher_add(fd, REM_WATCHER_DATA_KEY, ops) < 0)
        return false;
    ops->rtype = rtype;
    store_context(fd, ctx);
    return true;
}

// 0, -1 for a text that is not an IPv4 address, -2 when the system refuses.
int membership(int fd, const char *group, bool join)
{
    ip_mreq mreq{};
    if (!group || inet_pton(AF_INET, group, &mreq.imr_multiaddr) != 1) {
        KD_LOG(KD_LOG_ERR, "[%s] Group %s is not valid\n", me(), group ? group : "(null)");
        return -1;
    }
    mreq.imr_interface.s_addr = htonl(INADDR_ANY);
    if (setsockopt(fd, IPPROTO_IP, join ? IP_ADD_MEMBERSHIP : IP_DROP_MEMBERSHIP, &mreq,
                   sizeof mreq) < 0) {
        if (join)
            KD_LOG(KD_LOG_ERR, "[%s] Failed to join group %s\n", me(), group);
        else
            KD_LOG(KD_LOG_ERR, "[%s] Failed to leave group %s\n", me(), group);
        return -2;
    }
    return 0;
}

std::string numeric_host(const sockaddr *sa, socklen_t len)
{
    char host[NI_MAXHOST] = "";
    getnameinfo(sa, len, host, sizeof host, nullptr, 0, NI_NUMERICHOST);
    return host;
}

// The end of a server's registration: listening and watched, or closed.
int listen_and_watch(Pending &fd, kd_remote_ops *ops)
{
    if (listen(fd.get(), kBacklog) < 0) {
        KD_LOG(KD_LOG_ERR, "[%s] Listen error %s\n", me(), std::strerror(errno));
        return -1;
    }
    if (watcher_add(fd.get(), REM_WATCHER_ACCEPT_KEY, ops) < 0)
        return -1;
    return fd.release();
}

// A passive lookup of node:service, then the first result that binds; each
// socket is prepared (options, its "Binding" line) before its bind.
template <typename Prepare>
int bind_first(const char *node, const char *service, int socktype, Prepare prepare)
{
    int err = 0;
    auto res = kd::remote::lookup(node, service, AI_PASSIVE | AI_ADDRCONFIG, socktype, err);
    if (!res) {
        KD_LOG(KD_LOG_ERR, "[%s] %s\n", me(), gai_strerror(err));
        return -1;
    }
    for (const addrinfo *ai = res.get(); ai; ai = ai->ai_next) {
        int s = socket(ai->ai_family, ai->ai_socktype | SOCK_CLOEXEC, ai->ai_protocol);
        if (s < 0)
            continue;
        prepare(s, ai);
        if (bind(s, ai->ai_addr, ai->ai_addrlen) == 0)
            return s;
        KD_LOG(KD_LOG_INFO, "[%s] Closing %d\n", me(), s);
        close(s);
    }
    KD_LOG(KD_LOG_ERR, "[%s] Could not bind %s\n", me(), service ? service : "(null)");
    return -1;
}

int register_dgram_ra(const remote_addr *ra, kd_remote_ops *ops, void *ctx, int bufsize, bool rx) noexcept
try {
    if (!service_ready())
        return -1;
    if (!kd_remote_addr_has_addr(ra) || ra->addr->sa_family != AF_INET) {
        KD_LOG(KD_LOG_ERR, "[%s] No address to %s\n", me(), rx ? "receive on" : "send to");
        return -1;
    }
    if (!rx && kd_remote_addr_is_any_local(ra)) {
        KD_LOG(KD_LOG_ERR, "[%s] Refuse to tx to any local\n", me());
        return -1;
    }
    if (rx && kd_remote_addr_is_empty(ra)) {
        KD_LOG(KD_LOG_ERR, "[%s] Refuse to rx from a remote/domain\n", me());
        return -1;
    }
    sockaddr_in sin;
    std::memcpy(&sin, ra->addr, sizeof sin);
    const int port = ntohs(sin.sin_port);

    int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (s < 0) {
        KD_LOG(KD_LOG_ERR, "[%s] Failed to create socket: %s\n", me(), std::strerror(errno));
        return -1;
    }
    Pending fd(s);
    set_buffer(s, rx, bufsize);
    if (!watch_data(s, ops, RTYPE_SOCKET, ctx))
        return -1;

    if (rx) {
        const bool mcast = kd_remote_addr_is_mcast(ra);
        if (mcast) {
            // Every address on the group's port; the membership selects the group.
            sin.sin_addr.s_addr = htonl(INADDR_ANY);
            KD_LOG(KD_LOG_INFO, "[%s] Binding (multicast) to port %d on %d\n", me(), port, s);
        } else {
            KD_LOG(KD_LOG_INFO, "[%s] Binding (unicast) to port %d on %d\n", me(), port, s);
        }
        if (bind(s, reinterpret_cast<sockaddr *>(&sin), sizeof sin) < 0) {
            KD_LOG(KD_LOG_ERR, "[%s] Connect error %s\n", me(), std::strerror(errno));
            return -1;
        }
        char group[INET_ADDRSTRLEN];
        if (mcast && (!kd_remote_addr_get_addr(ra, group, sizeof group) ||
                      membership(s, group, true) < 0))
            return -1;
    } else {
        char host[INET_ADDRSTRLEN] = "";
        kd_remote_addr_get_addr(ra, host, sizeof host);
        KD_LOG(KD_LOG_INFO, "[%s] Connecting to %s:%d on %d\n", me(), host, port, s);
        if (connect(s, ra->addr, ra->addrlen) < 0) {
            const int e = errno;
            KD_LOG(KD_LOG_ERR, "[%s] Connect error %s\n", me(), std::strerror(e));
            if (e != EINPROGRESS) {
                KD_LOG(KD_LOG_ERR, "[%s] Connect error %s\n", me(), std::strerror(e));
                return -1;
            }
            KD_LOG(KD_LOG_INFO, "[%s] kd_remote_register_client: FYI connection for fd %d IN PROGRESS\n",
                   me(), s);
        }
    }
    KD_LOG(KD_LOG_INFO, "[%s] Connected\n", me());
    set_nonblock(s);
    return fd.release();
} catch (...) {
    return -1;
}

} // namespace

extern "C" int remote_init(struct ev_loop *loop)
{
    g_rc.loop = loop;
    for (auto &e : g_rc.watchers)
        e = remote_watcher_entry{};
    g_rc.clientctx.clear();
    return 0;
}

extern "C" void remote_fini(void)
{
    // Descriptors stay with their owners (plug-ins close theirs at unload);
    // only the watching ends here.
    for (auto &e : g_rc.watchers)
        if (e.fd != -1)
            free_entry(e);
    g_rc.clientctx.clear();
    g_rc.loop = nullptr;
}

extern "C" KD_API int kd_remote_close(int fd)
{
    for (auto &e : g_rc.watchers)
        if (e.fd == fd && fd != -1)
            free_entry(e);
    g_rc.clientctx.erase(fd);
    if (fd >= 0)
        close(fd);
    return 0;
}

extern "C" KD_API void *kd_remote_get_context(int fd)
{
    auto it = g_rc.clientctx.find(fd);
    return it == g_rc.clientctx.end() ? nullptr : it->second.ctx;
}

extern "C" KD_API int kd_remote_register_server(const char *service, kd_remote_ops *ops)
try {
    if (!service_ready())
        return -1;
    int s = bind_first(nullptr, service, SOCK_STREAM, [](int fd, const addrinfo *) {
        int on = 1;
        setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        set_nonblock(fd);
        KD_LOG(KD_LOG_INFO, "[%s] Binding %d\n", me(), fd);
    });
    if (s < 0)
        return -1;
    Pending fd(s);
    KD_LOG(KD_LOG_INFO, "[%s] Listen %d\n", me(), s);
    return listen_and_watch(fd, ops);
} catch (...) {
    return -1;
}

extern "C" KD_API int kd_remote_register_server_un(const char *path, kd_remote_ops *ops)
try {
    if (!service_ready())
        return -1;
    int s = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (s < 0) {
        KD_LOG(KD_LOG_ERR, "[%s] kd_remote_register_server_un: %s\n", me(), std::strerror(errno));
        return -1;
    }
    Pending fd(s);
    sockaddr_un sun{};
    sun.sun_family = AF_UNIX;
    if (!path || std::strlen(path) >= sizeof sun.sun_path) {
        KD_LOG(KD_LOG_ERR, "[%s] Bind error %s\n", me(), std::strerror(ENAMETOOLONG));
        return -1;
    }
    std::strcpy(sun.sun_path, path);
    // A socket file left by an earlier run would make bind fail; anything
    // else at that path is not ours to remove.
    struct stat st;
    if (lstat(path, &st) == 0 && S_ISSOCK(st.st_mode))
        unlink(path);
    KD_LOG(KD_LOG_INFO, "[%s] Binding and listening at %s on %d\n", me(), path, s);
    if (bind(s, reinterpret_cast<sockaddr *>(&sun), sizeof sun) < 0) {
        KD_LOG(KD_LOG_ERR, "[%s] Bind error %s\n", me(), std::strerror(errno));
        return -1;
    }
    return listen_and_watch(fd, ops);
} catch (...) {
    return -1;
}

extern "C" KD_API int kd_remote_register_client(const char *node, const char *service,
                                                kd_remote_ops *ops, void *ctx)
try {
    if (!service_ready())
        return -1;
    const char *svc = service ? service : "(null)";
    int err = 0;
    auto res = kd::remote::lookup(node, service, AI_ADDRCONFIG, SOCK_STREAM, err);
    if (!res) {
        KD_LOG(KD_LOG_ERR, "[%s] kd_remote_register_client: failed getaddrinfo (%s)\n", me(),
               gai_strerror(err));
        return -1;
    }
    // The first result whose socket opens is the one tried.
    addrinfo *ai = res.get();
    int s = -1;
    for (; ai; ai = ai->ai_next) {
        s = socket(ai->ai_family, ai->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, ai->ai_protocol);
        if (s >= 0)
            break;
    }
    if (s < 0) {
        KD_LOG(KD_LOG_ERR, "[%s] kd_remote_register_client: Could not bind %s\n", me(), svc);
        return -1;
    }
    Pending fd(s);
    // Watched before connecting: even an immediate connection is announced
    // through the connect watcher.
    if (watcher_add(s, REM_WATCHER_CONNECT_KEY, ops) < 0)
        return -1;
    if (connect(s, ai->ai_addr, ai->ai_addrlen) < 0 && errno != EINPROGRESS) {
        const char *why = std::strerror(errno); // glibc's fixed text for a known code
        KD_LOG(KD_LOG_ERR, "[%s] Connection Error: %s Closing fd %d.\n", me(), why, s);
        KD_LOG(KD_LOG_ERR,
               "[%s] kd_remote_register_client: connect() error (%s) for %s:%s on %d (closing).\n",
               me(), why, node ? node : "(null)", svc, s);
        return -1;
    }
    KD_LOG(KD_LOG_INFO, "[%s] kd_remote_register_client: Started a connection for %s:%s on %d\n",
           me(), node ? node : "(null)", svc, s);
    if (watcher_add(s, REM_WATCHER_DATA_KEY, ops) < 0)
        return -1;
    if (ops)
        ops->rtype = RTYPE_SOCKET;
    store_context(s, ctx);
    return fd.release();
} catch (...) {
    return -1;
}

extern "C" KD_API int kd_remote_register_client_device(const char *path, kd_remote_ops *ops,
                                                       void *ctx)
try {
    if (!service_ready())
        return -1;
    int d = path ? open(path, O_RDWR | O_NONBLOCK | O_CLOEXEC) : -1;
    if (d < 0) {
        KD_LOG(KD_LOG_ERR, "[%s] kd_remote_register_client_device: %s\n", me(),
               std::strerror(path ? errno : EINVAL));
        return -1;
    }
    Pending fd(d);
    if (watcher_add(d, REM_WATCHER_DATA_KEY, ops) < 0)
        return -1;
    if (ops)
        ops->rtype = RTYPE_DEVICE;
    store_context(d, ctx);
    return fd.release();
} catch (...) {
    return -1;
}

extern "C" KD_API int kd_remote_join_mcast(const char *group, const char *service,
                                           kd_remote_ops *ops, void *ctx, int bufsize)
try {
    if (!service_ready())
        return -1;
    KD_LOG(KD_LOG_INFO, "[%s] *** Join mcast %s:%s ***\n", me(), group ? group : "(null)",
           service ? service : "(null)");
    int s = bind_first(group, service, SOCK_DGRAM, [bufsize](int fd, const addrinfo *ai) {
        set_buffer(fd, true, bufsize);
        KD_LOG(KD_LOG_INFO, "[%s] Binding %d to addr %s\n", me(), fd,
               numeric_host(ai->ai_addr, ai->ai_addrlen).c_str());
    });
    if (s < 0)
        return -1;
    Pending fd(s);
    set_nonblock(s);
    if (membership(s, group, true) < 0)
        return -1;
    if (!watch_data(s, ops, RTYPE_SOCKET, ctx))
        return -1;
    return fd.release();
} catch (...) {
    return -1;
}

extern "C" KD_API int kd_remote_register_client_dgram_ra(const remote_addr *ra, kd_remote_ops *ops,
                                                         void *ctx, int bufsize)
{
    return register_dgram_ra(ra, ops, ctx, bufsize, false);
}

extern "C" KD_API int kd_remote_register_server_dgram_ra(const remote_addr *ra, kd_remote_ops *ops,
                                                         void *ctx, int bufsize)
{
    return register_dgram_ra(ra, ops, ctx, bufsize, true);
}

extern "C" KD_API int kd_remote_register_client_dgram(const char *node, const char *service,
                                                      kd_remote_ops *ops, void *ctx, int bufsize)
try {
    // Without a node this is a receiver on the port (every local address).
    kd::remote::Addr ra;
    if (kd_remote_addr_init(&ra.ra, node ? node : "0.0.0.0", service) < 0)
        return -1;
    return register_dgram_ra(&ra.ra, ops, ctx, bufsize, node == nullptr);
} catch (...) {
    return -1;
}

extern "C" KD_API int kd_remote_dgram_join_mcast(int fd, const char *group)
{
    return membership(fd, group, true) < 0 ? -1 : 0;
}

extern "C" KD_API int kd_remote_dgram_leave_mcast(int fd, const char *group)
{
    return membership(fd, group, false) < 0 ? -1 : 0;
}

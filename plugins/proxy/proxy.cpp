// The proxy's links: entry and exit, binding the slave cards (master),
// the server for the master link (slave), sending through per-connection
// queues and receiving framed messages.
#include "proxy_internal.h"

#include <kerrow/carrier.h>
#include <kerrow/cuvent.h>
#include <kerrow/frame.h>
#include <kerrow/log.h>
#include <kerrow/remote.h>
#include <kerrow/store.h>
#include <kerrow/system.h>

#include <ev.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstddef>
#include <cstring>
#include <ctime>
#include <optional>
#include <string_view>

namespace proxy {

namespace {

state g_state;

constexpr const char *kAllSlavesConnected = "on_proxy_all_slaves_connected";
constexpr const char *kRetryTimer = "proxy_retry";
// Reads per readable callback before the loop serves others again (the
// watcher is level-triggered, so nothing waiting is lost).
constexpr int kReadRounds = 64;

int master_on_connect(int fd, void *ctx) noexcept;
int slave_on_connect(int fd, void *ctx) noexcept;
int on_msg_in(int fd, void *ctx) noexcept;

kd_remote_ops g_client_ops{RTYPE_SOCKET, master_on_connect, on_msg_in};
kd_remote_ops g_server_ops{RTYPE_SOCKET, slave_on_connect, on_msg_in};

proxy_client *find_client(const void *ctx)
{
    for (auto &c : st().clients)
        if (c.get() == ctx)
            return c.get();
    return nullptr;
}

// ---- sending ----

void stop_writer(proxy_client &c)
{
    if (c.wio && c.wio_active) {
        ev_io_stop(kd_frame_get_loop(), c.wio.get());
        c.wio_active = false;
    }
}

// A link that cannot take more: its queue is dropped and the socket shut
// down, so that the next read sees the end and resets it on the loop's
// ordinary path (never from inside a send, which may run in a setter).
void fail_link(proxy_client &c)
{
    stop_writer(c);
    c.out.clear();
    c.out_off = 0;
    c.notify = false;
    c.failed = true;
    if (c.fd >= 0)
        ::shutdown(c.fd, SHUT_RDWR);
}

// Sends what the socket takes; false when the link failed.
bool flush(proxy_client &c)
{
    while (c.out_off < c.out.size()) {
        const ssize_t n = ::send(c.fd, c.out.data() + c.out_off, c.out.size() - c.out_off, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK)
                break;
            KD_LOG(KD_LOG_ERR, "[%s] Error writing proxy message to %s: %s\n", me(),
                   c.slave_ipaddr_str.empty() ? "master" : c.slave_ipaddr_str.c_str(), std::strerror(errno));
            fail_link(c);
            return false;
        }
        c.out_off += size_t(n);
    }
    if (c.out_off == c.out.size()) {
        c.out.clear();
        c.out_off = 0;
    } else if (c.out_off > c.out.size() / 2) {
        c.out.erase(c.out.begin(), c.out.begin() + std::ptrdiff_t(c.out_off));
        c.out_off = 0;
    }
    return true;
}

void on_writable(struct ev_loop *, ev_io *w, int) noexcept
{
    auto *c = static_cast<proxy_client *>(w->data);
    if (!flush(*c))
        return;
    if (c->out.empty())
        stop_writer(*c);
}

void send_bytes(proxy_client &c, const std::vector<uint8_t> &bytes, uint32_t type)
{
    if (c.fd < 0 || c.failed)
        return;
    const size_t queued = c.out.size() - c.out_off;
    if (queued + bytes.size() > st().opt.max_queued) {
        KD_LOG(KD_LOG_ERR, "[%s] Peer %s does not read (%zu bytes queued). Resetting the connection.\n", me(),
               c.slave_ipaddr_str.empty() ? "master" : c.slave_ipaddr_str.c_str(), queued);
        fail_link(c);
        return;
    }
    c.out.insert(c.out.end(), bytes.begin(), bytes.end());
    if (queued == 0 && !flush(c)) {
        KD_LOG(KD_LOG_ERR, "[%s] Error writing proxy message. Type: %d len: %d\n", me(), int(type),
               int(bytes.size() - kHeaderSize));
        return;
    }
    if (!c.out.empty() && !c.wio_active) {
        if (!c.wio)
            c.wio = std::make_unique<ev_io>();
        ev_io_init(c.wio.get(), on_writable, c.fd, EV_WRITE);
        c.wio->data = &c;
        ev_io_start(kd_frame_get_loop(), c.wio.get());
        c.wio_active = true;
    }
}

// ---- connections ----

void on_retry(void *) noexcept;

void schedule_retry()
{
    state &s = st();
    if (s.retry_pending)
        return;
    if (kd_frame_timeout_register(kRetryTimer, on_retry, nullptr, s.opt.retry_seconds, 0, s.pli) == 0)
        s.retry_pending = true;
}

bool try_connect(proxy_client &c)
{
    const int fd = kd_remote_register_client(c.slave_ipaddr_str.c_str(), st().opt.port.c_str(), &g_client_ops, &c);
    if (fd < 0)
        return false;
    c.fd = fd;
    return true;
}

void on_retry(void *) noexcept
{
    state &s = st();
    s.retry_pending = false;
    bool failed = false;
    for (auto &c : s.clients)
        if (c->fd < 0 && !try_connect(*c))
            failed = true;
    if (failed)
        schedule_retry();
}

// A link ended (the peer closed it, an error, a malformed message): reset
// it; the master tries again later.
void close_link(proxy_client &c)
{
    chassis_link_lost(c);
    reset_client(c);
    // After a firmware select the slaves reboot into the new firmware.
    if (st().master && !firmware_select_active())
        schedule_retry();
}

void send_u32(proxy_client &c, pm_type type, uint32_t v) { proxy_send_msg(c, proxy_msg_init_u32(type, v)); }

// Master: the connect to a slave finished (once per link).
void master_connected(proxy_client &c)
{
    state &s = st();
    if (c.connected)
        return;
    int err = 0;
    socklen_t len = sizeof err;
    if (getsockopt(c.fd, SOL_SOCKET, SO_ERROR, &err, &len) < 0) {
        KD_LOG(KD_LOG_ERR, "[%s] proxy_master_on_connect: getsockopt failed (%s) for %d\n", me(), std::strerror(errno),
               c.fd);
        close_link(c);
        return;
    }
    if (err != 0) {
        KD_LOG(KD_LOG_WARNING, "[%s] (Master) Connection failed setup with client at %s. StrErr: %s\n", me(),
               c.slave_ipaddr_str.c_str(), std::strerror(err));
        close_link(c);
        return;
    }
    KD_LOG(KD_LOG_NOTICE, "[%s] (Master) Connection established with client at %s.\n", me(), c.slave_ipaddr_str.c_str());
    c.connected = true;
    const std::string label = "Carrier " + std::to_string(c.slave_slot);
    c.top_param = kd_param_alloc_list(s.proxy_top, nullptr, label.c_str(), nullptr);
    c.notify = true;

    timespec now{};
    if (clock_gettime(CLOCK_REALTIME, &now) == 0) {
        proxy_send_msg(c, time_sync_msg(now));
    } else {
        KD_LOG(KD_LOG_ERR, "[%s] (Master) Failed to get clock time (%s)\n", me(), std::strerror(errno));
    }
    send_u32(c, PROXY_MSG_CHASSIS_NUMBER, uint32_t(kd_frame_get_chassis_num()));
    std::vector<uint8_t> conf;
    for (unsigned node = 1; node <= kChassisNodes; ++node) {
        carrier_node *n = kd_carrier_get_node(node);
        const uint32_t fn = n ? kd_carrier_get_function(n) : 0;
        for (int i = 0; i < 4; ++i)
            conf.push_back(uint8_t(fn >> (8 * i)));
    }
    proxy_send_msg(c, proxy_msg_init_control(PROXY_MSG_CHASSIS_CONF, conf));

    c.counted = true;
    if (++s.count_connections == int(s.clients.size())) {
        kd_cuvent_emit_lazy(s.pli, kAllSlavesConnected, nullptr);
        send_to_notified(proxy_msg_init_cuvent(kAllSlavesConnected, {}));
    }
}

int master_on_connect(int fd, void *ctx) noexcept
{
    proxy_client *c = find_client(ctx);
    if (fd < 0 || !c || c->fd != fd) {
        KD_LOG(KD_LOG_ERR, "[%s] proxy_master_on_connect: invalid parameters\n", me());
        return -1;
    }
    try {
        master_connected(*c);
    } catch (...) {
        close_link(*c);
    }
    return 0;
}

// The master link comes only from the master card's chassis address: any
// other host could otherwise set this card's parameters.
bool from_master(int fd, std::string &peer)
{
    sockaddr_storage ss{};
    socklen_t len = sizeof ss;
    in_addr v4{};
    if (getpeername(fd, reinterpret_cast<sockaddr *>(&ss), &len) < 0) {
        peer = "(unknown)";
        return false;
    }
    if (ss.ss_family == AF_INET) {
        v4 = reinterpret_cast<sockaddr_in *>(&ss)->sin_addr;
    } else if (const auto *a6 = reinterpret_cast<sockaddr_in6 *>(&ss);
               ss.ss_family == AF_INET6 && IN6_IS_ADDR_V4MAPPED(&a6->sin6_addr)) {
        std::memcpy(&v4, a6->sin6_addr.s6_addr + 12, 4); // a dual-stack socket's IPv4 peer
    } else {
        peer = "(not IPv4)";
        return false;
    }
    char text[INET_ADDRSTRLEN] = "";
    inet_ntop(AF_INET, &v4, text, sizeof text);
    peer = text;
    return peer == st().opt.master_addr;
}

int slave_on_connect(int fd, void *) noexcept
{
    state &s = st();
    try {
        std::string peer;
        if (!from_master(fd, peer)) {
            KD_LOG(KD_LOG_WARNING, "[%s] (Slave) Refused a connection from %s: only the master at %s may connect\n",
                   me(), peer.c_str(), s.opt.master_addr.c_str());
            kd_remote_close(fd);
            return 0;
        }
        proxy_client *c = master_link();
        if (!c) {
            kd_remote_close(fd);
            return 0;
        }
        KD_LOG(KD_LOG_NOTICE, "[%s] (Slave) Connection established\n", me());
        if (c->fd >= 0) {
            KD_LOG(KD_LOG_NOTICE, "[%s] (Slave) A new master link replaces the one on %d\n", me(), c->fd);
            chassis_link_lost(*c);
            reset_client(*c);
        }
        // The accepted socket blocks; reads and writes must never hold the loop.
        const int fl = fcntl(fd, F_GETFL);
        if (fl >= 0)
            fcntl(fd, F_SETFL, fl | O_NONBLOCK);
        c->fd = fd;
        send_tree(*c);
        c->notify = true;
        const unsigned slot = own_slot();
        KD_LOG(KD_LOG_NOTICE, "[%s] Send control param finish (%u)\n", me(), slot);
        send_u32(*c, PROXY_MSG_CTRL_PARAM_FINISH, slot);
        c->counted = true;
        ++s.count_connections;
    } catch (...) {
        KD_LOG(KD_LOG_ERR, "[%s] (Slave) Out of memory setting up the master link\n", me());
    }
    return 0;
}

// ---- receiving ----

// The name as a log line may show it: a peer chooses its bytes.
std::string printable(std::string_view name)
{
    std::string out(name);
    for (char &ch : out)
        if (ch < 0x20 || ch > 0x7e)
            ch = '?';
    return out;
}

// The data size a peer's event must carry to be emitted here; none when
// this card does not take it from a peer. A listener reads the data as
// its own record: any other event, or another size, would let the peer's
// bytes be read past their end or taken for pointers.
std::optional<size_t> relay_size(std::string_view name)
{
    const state &s = st();
    if (const auto it = s.relayed.find(name); it != s.relayed.end())
        return it->second;
    if (!s.master && name == kAllSlavesConnected)
        return 0; // the master's own announcement
    return std::nullopt;
}

void emit_local(const cuvent_view &v)
{
    const std::optional<size_t> want = relay_size(v.name);
    if (!want) {
        KD_LOG(KD_LOG_WARNING, "[%s] Dropped proxy cuvent '%s' from remote: not relayed by this card\n", me(),
               printable(v.name).c_str());
        return;
    }
    if (*want != v.data.size()) {
        KD_LOG(KD_LOG_WARNING, "[%s] Dropped proxy cuvent '%s' from remote: %zu bytes of data, %zu expected\n", me(),
               printable(v.name).c_str(), v.data.size(), *want);
        return;
    }
    KD_LOG(KD_LOG_INFO, "[%s] Received a proxy cuvent from remote: '%s'. Emitting locally.\n", me(), v.name.c_str());
    // An aligned copy (listeners read the data as their own record, which
    // the receive buffer's alignment does not promise) followed by zero
    // bytes, so that a text in the data ends inside the copy.
    std::vector<std::max_align_t> copy;
    void *data = nullptr;
    if (!v.data.empty()) {
        copy.assign(v.data.size() / sizeof(std::max_align_t) + 1, std::max_align_t{});
        std::memcpy(copy.data(), v.data.data(), v.data.size());
        data = copy.data();
    }
    kd_cuvent_emit(st().pli, v.name.c_str(), data);
}

// One message; false when its payload is malformed.
bool handle(proxy_client &c, const framer::message &m)
{
    state &s = st();
    switch (m.type) {
    case PROXY_MSG_PARAM: {
        auto rec = proxy_param_ctor_msg_param(m.payload);
        if (!rec)
            return false;
        if (s.master)
            proxy_master_handle_msg_param(c, *rec);
        else
            proxy_slave_handle_msg_param(c, *rec);
        return true;
    }
    case PROXY_MSG_CUVENT: {
        auto v = proxy_cuvent_parse(m.payload);
        if (!v)
            return false;
        // The master's own announcement is never taken from a slave.
        if (s.master && v->name != kAllSlavesConnected) {
            proxy_msg relay;
            relay.hdr = {m.type, uint32_t(m.payload.size())};
            relay.payload.assign(m.payload.begin(), m.payload.end());
            send_to_notified(relay, &c);
        }
        emit_local(*v);
        return true;
    }
    default:
        if (m.type < PROXY_MSG_END) {
            const unsigned gen = c.generation;
            chassis_handle_msg(c, m.type, m.payload);
            if (s.handlers[m.type] && c.generation == gen)
                s.handlers[m.type](c, m.payload);
        } else {
            KD_LOG(KD_LOG_ERR, "[%s] Received invalid proxy message type: %d Payload size: %zd\n", me(), int(m.type),
                   ssize_t(m.payload.size()));
        }
        return true;
    }
}

} // namespace

bool proxy_dispatch(proxy_client &c, unsigned gen)
{
    framer::message m{};
    std::string why;
    for (;;) {
        const framer::result r = c.rx.next(m, why);
        if (r == framer::result::none)
            break;
        if (r == framer::result::bad || !handle(c, m)) {
            if (why.empty())
                why = "type " + std::to_string(m.type) + " payload of " + std::to_string(m.payload.size()) + " bytes";
            KD_LOG(KD_LOG_ERR, "[%s] Malformed proxy message from %s (%s). Resetting the connection.\n", me(),
                   c.slave_ipaddr_str.empty() ? "master" : c.slave_ipaddr_str.c_str(), why.c_str());
            close_link(c);
            return false;
        }
        if (c.generation != gen)
            return false;
    }
    c.rx.compact();
    return true;
}

namespace {

int on_msg_in(int fd, void *ctx) noexcept
{
    state &s = st();
    proxy_client *c = s.master ? find_client(ctx) : master_link();
    if (!c || c->fd != fd)
        return 0;
    try {
        if (s.master && !c->connected) {
            master_connected(*c); // readable before the connect watcher ran
            if (c->fd != fd || !c->connected)
                return 0;
        }
        const unsigned gen = c->generation;
        for (int round = 0; round < kReadRounds; ++round) {
            const std::span<uint8_t> room = c->rx.space();
            if (room.empty()) {
                KD_LOG(KD_LOG_ERR, "[%s] Failed to allocate new receive buffer.\n", me());
                break;
            }
            const ssize_t n = ::recv(fd, room.data(), room.size(), MSG_DONTWAIT);
            if (n < 0) {
                if (errno == EINTR)
                    continue;
                if (errno == EAGAIN || errno == EWOULDBLOCK)
                    break;
                KD_LOG(KD_LOG_ERR, "[%s] Error reading proxy message. Error: %s\n", me(), std::strerror(errno));
                close_link(*c);
                return -1;
            }
            if (n == 0) {
                KD_LOG(KD_LOG_NOTICE, "[%s] Connection closed (%d)\n", me(), fd);
                close_link(*c);
                return 0;
            }
            c->rx.commit(size_t(n));
            if (!proxy_dispatch(*c, gen))
                return 0;
            if (size_t(n) < room.size())
                break;
        }
    } catch (...) {
        KD_LOG(KD_LOG_ERR, "[%s] Out of memory receiving a proxy message. Resetting the connection.\n", me());
        close_link(*c);
    }
    return 0;
}

// The three models the master links to.
constexpr const char *kModels[] = {"KT-3100", "KT-3500", "KT-3300"};

} // namespace

state &st() { return g_state; }
const char *me() { return kd_frame_plugin_get_name(g_state.pli); }

unsigned own_slot()
{
    carrier_node *self = kd_carrier_get_self();
    return self ? kd_carrier_get_slot(self) : 0;
}

proxy_client *client_in_slot(int slot)
{
    for (auto &c : st().clients)
        if (c->slave_slot == slot)
            return c.get();
    return nullptr;
}

proxy_client *master_link()
{
    state &s = st();
    return s.master || s.clients.empty() ? nullptr : s.clients.front().get();
}

void proxy_send_msg(proxy_client &c, const proxy_msg &msg) { send_bytes(c, proxy_msg_bytes(msg), msg.hdr.type); }

void send_to_notified(const proxy_msg &msg, const proxy_client *skip)
{
    const std::vector<uint8_t> bytes = proxy_msg_bytes(msg);
    for (auto &c : st().clients)
        if (c->notify && c->fd >= 0 && c.get() != skip)
            send_bytes(*c, bytes, msg.hdr.type);
}

void reset_client(proxy_client &c)
{
    state &s = st();
    stop_writer(c);
    if (c.fd >= 0)
        kd_remote_close(c.fd);
    c.fd = -1;
    if (c.top_param) {
        param_context *top = c.top_param;
        c.top_param = nullptr;
        kd_param_delete(top);
    }
    c.notify = false;
    c.connected = false;
    c.failed = false;
    c.rx.clear();
    c.out.clear();
    c.out.shrink_to_fit();
    c.out_off = 0;
    if (c.counted) {
        c.counted = false;
        --s.count_connections;
    }
    ++c.generation;
}

proxy_client &add_slave(int slot, const std::string &ip)
{
    state &s = st();
    auto &c = *s.clients.emplace_back(std::make_unique<proxy_client>());
    c.slave_slot = slot;
    c.slave_ipaddr_str = ip;
    KD_LOG(KD_LOG_INFO, "[%s] Connect to slot %d IP %s\n", me(), slot, ip.c_str());
    if (!try_connect(c))
        schedule_retry();
    return c;
}

void proxy_bind_carrier(carrier_node *node)
{
    if (!node || node == kd_carrier_get_self())
        return;
    const int port = kd_carrier_get_port_index(node, 1, PORTID_BRIDGE);
    carrier_port_addr addr{};
    if (port < 0 || kd_carrier_get_address(node, &addr, unsigned(port)) < 0) {
        KD_LOG(KD_LOG_ERR, "[%s] Card in slot %u has no bridge port address\n", me(), kd_carrier_get_slot(node));
        return;
    }
    for (const auto &c : st().clients)
        if (c->slave_slot == int(kd_carrier_get_slot(node)))
            return; // bound already
    char ip[16];
    std::snprintf(ip, sizeof ip, "%d.%d.%d.%d", addr.ip_field[0], addr.ip_field[1], addr.ip_field[2],
                  addr.ip_field[3]);
    try {
        add_slave(int(kd_carrier_get_slot(node)), ip);
    } catch (...) {
        KD_LOG(KD_LOG_ERR, "[%s] Out of memory binding slot %u\n", me(), kd_carrier_get_slot(node));
    }
}

void init(plugin_load_info *pli)
{
    state &s = st();
    const options opt = s.opt;
    const auto handlers = s.handlers;
    const auto on_param = s.on_master_param;
    const unsigned epoch = s.epoch;
    s = state{};
    s.epoch = epoch + 1;
    s.opt = opt;
    s.handlers = handlers;
    s.on_master_param = on_param;
    s.pli = pli;
    s.proxy_top = kd_param_create_cfg(pli);
    s.master = kd_carrier_frame_is_master();
    if (s.master) {
        KD_LOG(KD_LOG_NOTICE, "[%s] Starting Master\n", me());
        for (const char *model : kModels)
            kd_carrier_register_factory(model, pli, proxy_bind_carrier);
        chassis_init();
        return;
    }
    KD_LOG(KD_LOG_NOTICE, "[%s] Starting Slave\n", me());
    slave_listen();
    chassis_init();
    if (s.opt.serve) {
        s.server_socket = kd_remote_register_server(s.opt.port.c_str(), &g_server_ops);
        if (s.server_socket < 0) {
            KD_LOG(KD_LOG_ERR, "[%s] Error opening proxy server socket.\n", me());
            return;
        }
    }
    const unsigned slot = own_slot();
    const std::string label = "Carrier " + std::to_string(slot);
    const std::string top = s.proxy_top ? kd_param_get_scope(s.proxy_top) : "proxy";
    proxy_client &link = *s.clients.emplace_back(std::make_unique<proxy_client>());
    link.rx_top_param_scope_of = top.size() + label.size() + 2;
    s.slave_prefix = top + "/carrier_" + std::to_string(slot) + "/";
}

cuvent_action fini()
{
    state &s = st();
    KD_LOG(KD_LOG_NOTICE, "[%s] Stopping\n", me());
    for (auto &c : s.clients)
        reset_client(*c);
    s.clients.clear();
    if (s.server_socket >= 0) {
        KD_LOG(KD_LOG_INFO, "[%s] Closing proxy server\n", me());
        kd_remote_close(s.server_socket);
        s.server_socket = -1;
    }
    chassis_fini();
    if (s.retry_pending)
        kd_frame_stop_watcher(kRetryTimer, s.pli);
    s.retry_pending = false;
    if (s.master)
        kd_carrier_unregister_factory_by_owner(s.pli);
    // Mirrored values are never kept.
    if (s.proxy_top)
        kd_store_remove_key(s.pli, kd_param_get_scope(s.proxy_top));
    s.proxy_top = nullptr; // goes with the plug-in's tree; a second fini finds nothing to do
    s.master = false;
    s.count_connections = 0;
    return CUVACT_SUCCESS;
}

} // namespace proxy

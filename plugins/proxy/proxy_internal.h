// The proxy engine: links between the cards of a chassis. The master card
// is the TCP client of every slave; each slave listens on port "5005" and
// sends its parameter tree, which the master mirrors under
// "proxy/carrier_N". Everything runs on the framework's loop thread.
#pragma once

#include "wire.h"

#include <kerrow/param.h>
#include <kerrow/types.h>

#include <array>
#include <functional>
#include <memory>
#include <string>
#include <vector>

struct ev_io;
struct carrier_node;

namespace proxy {

// One peer connection (the master: one per slave card; a slave: one, the
// master link). Loop thread only.
struct proxy_client {
    int fd = -1;
    bool notify = false;                // the peer may receive broadcasts
    param_context *top_param = nullptr; // master: this slave's mirror list
    size_t rx_top_param_scope_of = 0;   // slave: length of the master-side route prefix
    framer rx;                          // receive buffer
    std::string slave_ipaddr_str;
    int slave_slot = -1; // user slot, -1 until known

    bool connected = false; // master: the connect completed and was handled
    bool counted = false;   // counted in count_connections
    bool failed = false;    // shut down after a send failure; the next read resets it
    unsigned generation = 0; // bumped at every reset: work queued for an older link is dropped

    // Bytes not yet taken by the socket, flushed by a writable watcher.
    std::vector<uint8_t> out;
    size_t out_off = 0;
    std::unique_ptr<ev_io> wio;
    bool wio_active = false;
};

// A handler for a message type the links themselves do not act on
// (time, chassis data, reboot, profiles, firmware tasks).
using msg_handler = std::function<void(proxy_client &, std::span<const uint8_t> payload)>;

// Settings a test may change before init.
struct options {
    std::string port = "5005";
    std::string master_addr = "169.254.1.8"; // the master card's chassis address
    double retry_seconds = 4.0;
    size_t max_queued = size_t(64) << 20; // bytes queued for one peer before it is reset
};

struct state {
    plugin_load_info *pli = nullptr;
    param_context *proxy_top = nullptr;
    bool master = false;
    std::vector<std::unique_ptr<proxy_client>> clients; // creation order
    int server_socket = -1;
    int count_connections = 0;
    bool retry_pending = false;
    std::string slave_prefix; // slave: "proxy/carrier_N/"
    std::array<msg_handler, PROXY_MSG_END> handlers;
    // Master: runs for every received record before it is applied.
    std::function<void(proxy_client &, const proxy_param &, const std::string &route)> on_master_param;
    options opt;
};

state &st();
const char *me();

// ---- plug-in entry and exit ----
void init(plugin_load_info *pli);
cuvent_action fini();

// ---- links (proxy.cpp) ----
void proxy_bind_carrier(carrier_node *node);
// Master: a link to a slave at `ip` (dotted) in user slot `slot`.
proxy_client &add_slave(int slot, const std::string &ip);
void proxy_send_msg(proxy_client &c, const proxy_msg &msg);
// To every connection with notify (except `skip`).
void send_to_notified(const proxy_msg &msg, const proxy_client *skip = nullptr);
// Closes the socket, deletes the mirror list and clears the link's state.
void reset_client(proxy_client &c);
proxy_client *master_link(); // slave: the first entry

// ---- parameters (mirror.cpp) ----
proxy_param proxy_param_ctor_from_param(param_context *p);
// On the master, in a mirror list.
int proxy_param_allocate_param(const proxy_param &rec, param_context *parent);
void proxy_master_handle_msg_param(proxy_client &c, const proxy_param &rec);
void proxy_slave_handle_msg_param(proxy_client &c, const proxy_param &rec);
void proxy_sync_proxy_param(const proxy_param &rec);
// Slave: the whole tree but the proxy's own to the master link.
void send_tree(proxy_client &c);
void slave_listen();
bool in_own_tree(param_context *p);

} // namespace proxy

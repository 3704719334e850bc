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
#include <map>
#include <memory>
#include <string>
#include <vector>

struct ev_io;
struct timespec;
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

// An observer of a message type, run after the proxy's own handling
// (tests count messages with it).
using msg_handler = std::function<void(proxy_client &, std::span<const uint8_t> payload)>;

// Settings a test may change before init.
struct options {
    std::string port = "5005";
    std::string master_addr = "169.254.1.8"; // the master card's chassis address
    double retry_seconds = 4.0;
    size_t max_queued = size_t(64) << 20; // bytes queued for one peer before it is reset
    bool serve = true; // slave: listen for the master (a fuzz target feeds the link itself)
};

// Master: the firmware task the slaves are running.
struct proxy_verctl_task_info {
    proxy_verctl_active_taskid active_task_id = PROXY_VER_CTRL_TASK_NONE_ACTIVE;
    int total_slaves_running_task = 0;
    int task_completed_on_slaves_count = 0;
    std::array<bool, 9> task_is_completed_on_this_slot{}; // by user slot 0..8
    int rsync_threads_completed_count = 0;
    bool rsync_threads_are_done = false;
    bool rsync_copies_complete_on_slaves = false;
    std::array<bool, 9> taking_part{}; // slots the task went to
};

constexpr int kEncoders = 32;

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
    // Events this card relays, with the bytes of data each carries: the
    // only events a peer may have emitted here.
    std::map<std::string, size_t, std::less<>> relayed;

    // ---- chassis work (chassis.cpp, tasks.cpp) ----
    proxy_verctl_task_info verctl_task_info;
    std::array<bool, kEncoders> video_lost{}, stop_encoding{};
    bool reboot_pending = false;
    unsigned epoch = 0; // bumped at every init: copy tasks of an earlier run change nothing
    // Master: profile requests a slave has not answered yet, by user slot.
    std::array<bool, 9> pending_add{}, pending_apply{};
    // Payloads of the per-slot reports (they outlive a lazy emit).
    std::array<int, 9> add_report{}, apply_report{};
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
// Every complete message received on the link, in order; false when the
// link was reset meanwhile (a malformed message resets it). `gen` is the
// link's generation when the bytes came.
bool proxy_dispatch(proxy_client &c, unsigned gen);
// To every connection with notify (except `skip`).
void send_to_notified(const proxy_msg &msg, const proxy_client *skip = nullptr);
// Closes the socket, deletes the mirror list and clears the link's state.
void reset_client(proxy_client &c);
proxy_client *master_link(); // slave: the first entry
proxy_client *client_in_slot(int slot);
unsigned own_slot(); // user slot of this card, 0 off the card

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

// ---- chassis work (chassis.cpp) ----
proxy_msg time_sync_msg(const timespec &now);
void chassis_init();
void chassis_fini();
// A received message of a type the links do not handle themselves.
void chassis_handle_msg(proxy_client &c, uint32_t type, std::span<const uint8_t> payload);
// Master: encoder output control for a received record (full route).
void encoder_output_control(const proxy_param &rec, const std::string &route);
// A link is about to be reset: what it still owed counts as failed.
void chassis_link_lost(proxy_client &c);
void proxy_handle_msg_apply_profile();
bool firmware_select_active();

// ---- copy tasks (tasks.cpp) ----
enum class task_kind { put_file, master_send_profile, slave_send_profile };
struct proxy_task_data {
    int status = 0;     // the copy program's exit status
    int task_errno = 0; // a kd_err code
    std::string slave_ipaddr;
    std::string fwpath; // the file to copy
    int slave_slot = -1;
    task_kind kind = task_kind::put_file;
    std::string source, destination;
    unsigned epoch = 0;
};
// Starts a copy on the worker pool; false (nothing started) when it cannot be queued.
bool proxy_task_start(task_kind kind, const std::string &addr, const std::string &path, int slot);
// Runs rsync for the task (pool thread); fills status and task_errno.
void proxy_task_run(proxy_task_data &t);
// Loop thread: a copy ended.
void proxy_task_finished(const proxy_task_data &t, bool ok);

} // namespace proxy

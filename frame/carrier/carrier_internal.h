// Carrier module internals shared by its files (registry, discovery,
// virtual addresses, image programming) and reached by its tests.
// Loop thread only, except the IFP update threads, which touch nothing here.
#pragma once

#include <kerrow/carrier.h>

#include <interlink.h>

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace kd::carrier {

// XSB frames go out on this interface (one per card).
inline constexpr const char *kXsbIf = "eth2";

struct sock_closer {
    void operator()(xsb_sock *s) const { xsb_close(s); }
};
using sock_ptr = std::unique_ptr<xsb_sock, sock_closer>;

// A node and the storage of its ports (node.ports points into it).
struct node_rec {
    carrier_node node{};
    std::vector<carrier_port> ports;
    void add_port(const carrier_port &p)
    {
        ports.push_back(p);
        node.ports = ports.data();
        node.port_count = unsigned(ports.size());
    }
};

struct state {
    bool up = false;
    bool native = true;
    unsigned slot = DEFAULT_MASTER_SLOT; // this card's hardware slot
    uint8_t bridge_byte = 0x31;          // (slot << 4) | 1
    std::vector<std::unique_ptr<node_rec>> carriers; // discovery order; nodes never move
    std::vector<cmfactory_node> factories;           // registration order
    std::vector<blvds_connection> lanes;             // wiring order
    unsigned next_lane = 0;
    bool bound = false; // kd_frame_run has bound the cards
    sock_ptr cmd;    // 0x88B5, life of the process
    sock_ptr mii;    // 0xADEE, from binding on
    xsb_sock *config = nullptr; // 0x88B4, only while discovery runs (owned there)
    std::map<std::string, bool> alarms; // last state this module reported, by label
};

state &st();
const char *me();
// This card's identity from HW_SLOT; logs as kd_carrier_init does.
unsigned read_hw_slot();
// Sets slot and bridge byte.
void set_identity(unsigned slot);
bool is_master();

// Lookups by hardware slot; null when empty.
carrier_node *node_at_hw(unsigned hw_slot);

// The MAC 00:90:1F:00:0H:LL of XSB address 0xHLL.
void xsb_mac(uint8_t mac[6], unsigned addr);
// Sends len bytes of pkt; false with errno kept on a short send.
bool send_frame(xsb_sock *s, xsb_pkt &pkt, int len);
// Milliseconds on the monotonic clock.
int64_t now_ms();
// Waits until fd is readable or the absolute deadline passes:
// 1 readable, 0 time-out, -1 error.
int wait_readable(int fd, int64_t deadline_ms);

// ---- discovery ----
// Handles one received INFO frame (whole Ethernet frame). 0 processed,
// 1 dropped (bad sender slot), -1 malformed (fails the info request).
int process_info(const uint8_t *frame, size_t len, unsigned &new_cards);
void apply_chassis_conf();
void apply_extended_info();
void compute_tx_offsets();
bool dense_audio_enabled();
// Steps from wiring to the report: -1 on a lane-count mismatch.
int wire_lanes();
// The lane configuration words of a card (without the end word).
std::vector<uint32_t> lane_words(const carrier_node *node);
// Builds a CFWR frame of `words` for a card; the frame length.
int build_cfwr(xsb_pkt &pkt, unsigned hw_slot, const uint8_t *records, size_t len, uint16_t ethertype);
// The whole discovery on the configuration socket: 0 or -1.
int discover();
// Master: the PING watcher on the command socket.
void start_ping_watcher();
// Slave: PINGs until the master's OKAY; 0 or -1.
int wait_for_master();
// Creates the program-on-boot flag file.
void flag_program_on_boot();

// ---- image programming ----
void ifp_step();
// Which cards to program, then the download; 0 or -1. May end the process.
int program_step();
// Drops every queued target and unmaps its file.
void clear_targets();
// What ends the process after a reboot was requested (tests replace it).
extern void (*exit_process)(int status);
// This card needs a reboot after its own programming: reboots and ends the
// process (status 0); -1 when the reboot was refused or failed.
int reboot_after_programming();

// ---- frame dump (VMWR, CFWR) ----
void dump_frame(const xsb_pkt &pkt, int len);

// ---- alarms ----
void alarm_register(const char *label, const char *description);
void alarm_set(const char *label, bool active);

} // namespace kd::carrier

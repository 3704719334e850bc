// SRT sessions of the forwarder's inputs and outputs. Each SRT endpoint owns
// one srt_control; the maintainer thread drives it one non-blocking step at
// a time (srt_helper_connect every 500 ms while not connected, the
// statistics every 2 s), the data threads read or write its connected
// socket, and the owner's destructor closes it (srt_helper_cleanup).
//
// The library is started once, by the first endpoint that starts, and
// cleaned up by srt_lib_fini at plug-in stop, after every endpoint closed.
//
// The statistics are kept in the session under its own mutex; the owner's
// status fields are refreshed from them on the loop thread
// (srt_helper_read_stats), so no text is read while it is being written.
#pragma once

#include "cfg/mcf_cfg.h"

#include "srt/srt_lib.h"

#include <netdb.h>

#include <atomic>
#include <cstdint>
#include <mutex>

typedef enum srt_receive_send_t { SRT_RECEIVE = 0, SRT_SEND = 1 } srt_receive_send_t;
typedef srt_connect srt_connect_t;
typedef srt_min_version srt_min_version_t;
typedef srt_off_on_default srt_off_on_default_t;
typedef srt_pbkeylen srt_pbkeylen_t;
typedef srt_encrypt srt_encrypt_t;
typedef srt_loglevel srt_loglevel_t;

// What the session measured, as the status rows show it.
struct srt_stats_t {
    int32_t srt_status;
    char srt_duration[MCF_SRT_DURATION_LEN];
    char srt_rtt[MCF_SRT_RTT_LEN];
    char srt_mbps_send_rate[MCF_SRT_RATE_LEN];
    char srt_mbps_recv_rate[MCF_SRT_RATE_LEN];
    char srt_buffer_avail[MCF_SRT_PCT_LEN];
    char srt_period_packet_loss_pct[MCF_SRT_PCT_LEN];
    int32_t srt_pkt_send_loss_total;
    int32_t srt_pkt_recv_loss_total;
    int32_t srt_pkt_retrans_total;
    int32_t srt_pkt_send_drop_total;
    int32_t srt_pkt_recv_drop_total;
    int32_t srt_pkt_flow_window;
    int32_t srt_pkt_flight_size;
    int32_t srt_byte_avail_send_buffer_size;
    int32_t srt_byte_avail_recv_buffer_size;
    int32_t srt_pkt_send_buffer_not_acked;
};

struct srt_flags_t {
    // Read by the data threads: set once the socket is connected, cleared
    // before the socket closes.
    std::atomic<bool> connected_to_remote{false};
    bool fail_alarm_is_set = false;
    bool caller_connected = false;
    bool listener_bound = false;
    bool listener_listening = false;
    bool listener_connected = false;
    bool rendezvous_bound = false;
    bool rendezvous_connected = false;
    SRT_SOCKSTATUS prev_sock_status = SRT_SOCKSTATUS(0);
    int prev_epoll_error = 0;
};

// Everything but `sock`, `flags.connected_to_remote` and the statistics
// belongs to the maintainer thread while the owner lives (the owner's
// constructor fills the settings, its destructor closes the session, both
// under the control lock held for writing).
struct srt_control {
    int id = 0;
    char label[32] = {};
    char dest_intf[16] = {};
    char dest_node[256] = {};
    char local_node[256] = {};
    char mcf_direction_id[16] = {};
    int dest_port = 0;
    int ingress_enabled = 0;
    srt_receive_send_t receive_send = SRT_RECEIVE;
    srt_connect_t srt_connect = SRT_CALLER;
    int rcv_latency = 0;
    int peer_latency = 0;
    int lossmaxttl = 0;
    srt_min_version_t min_version = SRT_ANY_VERSION;
    srt_off_on_default_t tsbpdmode = SRT_DEFAULT;
    srt_off_on_default_t tlpktdrop = SRT_DEFAULT;
    srt_off_on_default_t nakreport = SRT_DEFAULT;
    char passphrase[80] = {};
    srt_pbkeylen_t pbkeylen = SRT_PBKEYLEN_0;
    srt_encrypt_t encrypt = SRT_ENCRYPT_OFF;
    srt_loglevel_t log_level = SRT_LOG_OFF;
    int fips_mode = 0;
    bool lib_open = false;
    int epoll_id = 0;
    // Atomic: the maintainer writes, the data threads read (only while
    // connected_to_remote is set). 0 or less: none.
    std::atomic<SRTSOCKET> sock{0};
    srt_flags_t flags;
    addrinfo *reminfo = nullptr;
    int addrinfo_active = 0;
    int sndbuf_bytes = 0; // the send buffer's size, for the availability
    std::mutex stats_lock; // guards stats: the maintainer writes, the loop reads
    srt_stats_t stats{};
};

extern "C" {
// One step of setting the connection up (maintainer thread).
void srt_helper_connect(srt_control *self);
// Whether the socket is connected; a broken, closed or vanished one is
// closed (without alarm) and answers false.
bool srt_helper_is_connected(srt_control *self);
// Statistics into the session's status (clear: back to zero).
void srt_helper_bstats(srt_control *self, bool clear);
// Closes the session; clears "SRT Fail" when it was raised (owner's
// destructor, loop thread under the write lock).
void srt_helper_cleanup(srt_control *self);
// Stops the library when it was started (plug-in stop, every session closed).
void srt_lib_fini(void);
}

// The session's owner: "Input 101" or "Output 3" (what, id) with its label,
// direction, interface, remote node and port; the local node is the
// interface's address. FIPS mode follows the device's setting when SRT is
// on for the owner, else it is off (both logged).
void srt_control_set_owner(srt_control *s, const char *what, int id, const char *label, srt_receive_send_t dir,
                           const char *intf, const char *node, int port, bool srt_on);
// The session's status as last measured (any thread).
void srt_helper_read_stats(srt_control *self, srt_stats_t *out);
// The status of "nothing measured": texts formatted from zero.
void srt_stats_zero(srt_stats_t *st);
// The socket state's name ("N/A" .. "NONEXIST"; "N/A" out of range).
const char *srt_sock_status_name(int state);
// Whether the library is started (tests).
bool srt_lib_is_started(void);

namespace mcf {
// The session's statistics into an input or output record's status fields.
template <class Rec> void srt_stats_to_record(const srt_stats_t &st, Rec &r)
{
    r.srt_status = st.srt_status;
    static_assert(sizeof r.srt_duration == sizeof st.srt_duration && sizeof r.srt_rtt == sizeof st.srt_rtt &&
                  sizeof r.srt_mbps_send_rate == sizeof st.srt_mbps_send_rate &&
                  sizeof r.srt_buffer_avail == sizeof st.srt_buffer_avail &&
                  sizeof r.srt_period_packet_loss_pct == sizeof st.srt_period_packet_loss_pct);
    __builtin_memcpy(r.srt_duration, st.srt_duration, sizeof r.srt_duration);
    __builtin_memcpy(r.srt_rtt, st.srt_rtt, sizeof r.srt_rtt);
    __builtin_memcpy(r.srt_mbps_send_rate, st.srt_mbps_send_rate, sizeof r.srt_mbps_send_rate);
    if constexpr (requires { r.srt_mbps_recv_rate; })
        __builtin_memcpy(r.srt_mbps_recv_rate, st.srt_mbps_recv_rate, sizeof r.srt_mbps_recv_rate);
    __builtin_memcpy(r.srt_buffer_avail, st.srt_buffer_avail, sizeof r.srt_buffer_avail);
    __builtin_memcpy(r.srt_period_packet_loss_pct, st.srt_period_packet_loss_pct, sizeof r.srt_period_packet_loss_pct);
    r.srt_pkt_send_loss_total = st.srt_pkt_send_loss_total;
    r.srt_pkt_recv_loss_total = st.srt_pkt_recv_loss_total;
    r.srt_pkt_retrans_total = st.srt_pkt_retrans_total;
    r.srt_pkt_send_drop_total = st.srt_pkt_send_drop_total;
    r.srt_pkt_recv_drop_total = st.srt_pkt_recv_drop_total;
    r.srt_pkt_flow_window = st.srt_pkt_flow_window;
    r.srt_pkt_flight_size = st.srt_pkt_flight_size;
    r.srt_byte_avail_send_buffer_size = st.srt_byte_avail_send_buffer_size;
    r.srt_byte_avail_recv_buffer_size = st.srt_byte_avail_recv_buffer_size;
    r.srt_pkt_send_buffer_not_acked = st.srt_pkt_send_buffer_not_acked;
}
} // namespace mcf

namespace mcf {
// The SRT settings of an input or output record into its session.
template <class Rec> void srt_settings_from_record(srt_control &s, const Rec &r)
{
    s.rcv_latency = r.srt_rcv_latency;
    s.srt_connect = r.srt_connect;
    s.min_version = r.srt_min_version;
    s.tsbpdmode = r.srt_tsbpdmode;
    s.peer_latency = r.srt_peer_latency;
    s.tlpktdrop = r.srt_tlpktdrop;
    s.nakreport = r.srt_nakreport;
    s.lossmaxttl = r.srt_lossmaxttl;
    static_assert(sizeof s.passphrase == sizeof r.srt_passphrase);
    __builtin_memcpy(s.passphrase, r.srt_passphrase, sizeof s.passphrase);
    s.passphrase[sizeof s.passphrase - 1] = '\0';
    s.encrypt = r.srt_encrypt;
    s.pbkeylen = r.srt_pbkeylen;
    s.log_level = r.srt_log_level;
    srt_stats_zero(&s.stats);
}
} // namespace mcf

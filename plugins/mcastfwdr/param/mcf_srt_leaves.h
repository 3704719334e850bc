// The SRT leaves that Net inputs and Net outputs share: their choices, help
// texts, readers and appliers, over either record (the SRT fields have the
// same names in both), and the passphrase kept in the store beside the row.
#pragma once

#include "param/mcf_param.h"

#include "status_queue.h"

#include <kerrow/store.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <type_traits>

namespace mcf::param::srt {

inline constexpr const char *connect_choices[] = {"Caller", "Listener", "Rendezvous", nullptr};
inline constexpr const char *min_version_choices[] = {"Any", "1.3.0", nullptr};
inline constexpr const char *off_on_default_choices[] = {"Off", "On", "Default", nullptr};
inline constexpr const char *off_on_choices[] = {"Off", "On", nullptr};
inline constexpr const char *key_len_choices[] = {"0", "16", "24", "32", nullptr};
inline constexpr const char *log_level_choices[] = {"Off",    "NA",   "Critical", "Error", "Warning",
                                                    "Notice", "Info", "Debug",    nullptr};
inline constexpr const char *status_choices[] = {"N/A",       "INIT",   "OPENED",  "LISTENING", "CONNECTING",
                                                 "CONNECTED", "BROKEN", "CLOSING", "CLOSED",    "NONEXIST", nullptr};

inline constexpr char help_connect[] =
    "Valid modes: Caller to peer Listener, Listener to peer Caller, Rendezvous to peer Rendezvous";
// The passphrase help of an input; an output's adds the closing words.
inline constexpr char help_passphrase[] =
    "Passphrase must be at least 10 characters in length and no longer than 79 characters.This is the SRT passphrase "
    "used for encryption/decryption.It is the 'shared secret' between the sender and receiver.SRT ENCRYPT must be set "
    "to ON, and the passphrase must be valid and mustmatch the peer's passphrase";

inline constexpr double kStatPeriod = 6.0;
inline constexpr int32_t kCountMax = 2147483647;

// The SRT leaves of `Rec`; `Act` acts on the running engine after a setting
// was stored (it tests itself whether the configuration is loaded).
template <class Rec, void (*Act)(Rec &)> struct leaves {
    static Rec &of(void *r) { return *static_cast<Rec *>(r); }
    template <auto F> static int number(void *r) { return static_cast<int>(of(r).*F); }
    template <auto F> static const char *text(void *r) { return of(r).*F; }

    template <class V> static int store(Rec &r, V &field, V value)
    {
        if (field == value)
            return 0;
        field = value;
        Act(r);
        return 0;
    }
    template <auto F> static int set_number(void *r, int32_t v) { return store(of(r), of(r).*F, v); }
    template <auto F> static int set_choice(void *r, int idx, const char *)
    {
        using E = std::remove_reference_t<decltype(of(r).*F)>;
        return store(of(r), of(r).*F, static_cast<E>(idx));
    }

    // The store key of the record's passphrase, beside its "services" table.
    static std::string passphrase_key(const Rec &r)
    {
        const char *route = kd_param_get_scope(r.param_services);
        return route ? std::string(route) + "/srt/srt_passphrase" : std::string();
    }
    static int set_passphrase(void *rec, const char *text)
    {
        Rec &r = of(rec);
        const size_t n = std::strlen(text);
        if (n < 10 || n >= sizeof r.srt_passphrase)
            return -1;
        if (std::strcmp(r.srt_passphrase, text) == 0)
            return 0;
        std::snprintf(r.srt_passphrase, sizeof r.srt_passphrase, "%s", text);
        const std::string key = passphrase_key(r);
        if (!key.empty())
            kd_store_save_string(mcf_pli, key.c_str(), r.srt_passphrase); // logs the key only
        Act(r);
        return 0;
    }
    // A row built again takes the saved passphrase; `what` names the record in the log.
    static void restore_passphrase(Rec &r, int level, const char *what)
    {
        const std::string key = passphrase_key(r);
        mcf_post_log(level, "%s pasphrase: %s", what, key.c_str());
        if (key.empty() || kd_store_test_key(mcf_pli, key.c_str()) != 1)
            return;
        char *saved = nullptr;
        if (kd_store_load_string(mcf_pli, key.c_str(), &saved) != 0 || !saved)
            mcf_post_log(SQ_LOG_WARN, "Store key '%s' refused: its value is not a text", key.c_str());
        else if (const size_t n = std::strlen(saved); n < 10 || n >= sizeof r.srt_passphrase)
            // The length its setter takes: a cut passphrase would not match the peer's.
            mcf_post_log(SQ_LOG_WARN, "Store key '%s' refused: length %zu, not 10..%zu", key.c_str(), n,
                         sizeof r.srt_passphrase - 1);
        else
            std::snprintf(r.srt_passphrase, sizeof r.srt_passphrase, "%s", saved);
        std::free(saved);
    }

    static constexpr leaf connect(unsigned kinds, int (*apply)(void *, int, const char *))
    {
        return {.label = "SRT Connect", .type = PARAMTYPE_CHOICE, .rw = PARAMCTRL_RDWR, .kinds = kinds,
                .choices = connect_choices, .help = help_connect, .index = number<&Rec::srt_connect>,
                .apply_choice = apply};
    }
    // "SRT Receive Latency (ms)" to "SRT Loss Max TTL".
    static constexpr std::array<leaf, 7> tuning(unsigned kinds)
    {
        return {{
            {.label = "SRT Receive Latency (ms)", .key = "srt receive latency", .rw = PARAMCTRL_RDWR, .kinds = kinds,
             .min = 0, .max = 60000,
             .help = "The time (ms) that should elapse since the moment when the packetwas sent and the moment when "
                     "it's delivered to the receiver application. Default value is 120 ms",
             .number = number<&Rec::srt_rcv_latency>, .apply_number = set_number<&Rec::srt_rcv_latency>},
            {.label = "SRT Min Version", .type = PARAMTYPE_CHOICE, .rw = PARAMCTRL_RDWR, .kinds = kinds,
             .choices = min_version_choices,
             .help = "Mode 'Any' not recommended. '1.3.0' ensures that current handshake will be used.",
             .index = number<&Rec::srt_min_version>, .apply_choice = set_choice<&Rec::srt_min_version>},
            {.label = "SRT Timestamp Based Packet Delivery", .type = PARAMTYPE_CHOICE, .rw = PARAMCTRL_RDWR,
             .kinds = kinds, .choices = off_on_default_choices,
             .help = "Timestamp-based packet delivery mode, SRT live mode defaults to On.Default - Allow SRT to "
                     "internally determine parameter value, OFF or ON will override SRT's default value",
             .index = number<&Rec::srt_tsbpdmode>, .apply_choice = set_choice<&Rec::srt_tsbpdmode>},
            {.label = "SRT Peer Latency (ms)", .key = "srt peer latency", .rw = PARAMCTRL_RDWR, .kinds = kinds,
             .min = 0, .max = 60000,
             .help = "Minimum latency value (ms) required for receiver (See srt_rcv_latency for description).SRT "
                     "default value is 0.",
             .number = number<&Rec::srt_peer_latency>, .apply_number = set_number<&Rec::srt_peer_latency>},
            {.label = "SRT Too Late Packet Drop", .type = PARAMTYPE_CHOICE, .rw = PARAMCTRL_RDWR, .kinds = kinds,
             .choices = off_on_default_choices,
             .help = "Too late packet drop, SRT live mode defaults to On.Default - Allow SRT to internally determine "
                     "parameter value, OFF or ON will override SRT's default value",
             .index = number<&Rec::srt_tlpktdrop>, .apply_choice = set_choice<&Rec::srt_tlpktdrop>},
            {.label = "SRT Nak Report", .type = PARAMTYPE_CHOICE, .rw = PARAMCTRL_RDWR, .kinds = kinds,
             .choices = off_on_default_choices,
             .help = "Receiver will send lost message report periodically, SRT live mode defaults to On.Default - "
                     "Allow SRT to internally determine parameter value, OFF or ON will override SRT's default value",
             .index = number<&Rec::srt_nakreport>, .apply_choice = set_choice<&Rec::srt_nakreport>},
            {.label = "SRT Loss Max TTL", .key = "srt lossmaxttl", .rw = PARAMCTRL_RDWR, .kinds = kinds, .min = 0,
             .max = 100000,
             .help = "The value up to which the *Reorder Tolerance* may grow before packet loss report is sent.SRT "
                     "default value is 0, which enables packet loss report each time a packet is received out of order",
             .number = number<&Rec::srt_lossmaxttl>, .apply_number = set_number<&Rec::srt_lossmaxttl>},
        }};
    }
    static constexpr leaf passphrase(unsigned kinds, const char *help)
    {
        return {.label = "SRT PassPhrase", .type = PARAMTYPE_STRING, .rw = PARAMCTRL_WRONLY, .kinds = kinds,
                .help = help, .secret = true, .apply_text = set_passphrase};
    }
    static constexpr leaf key_len(unsigned kinds)
    {
        return {.label = "SRT PbKeyLen", .type = PARAMTYPE_CHOICE, .rw = PARAMCTRL_RDWR, .kinds = kinds,
                .choices = key_len_choices,
                .help = "Encryption key length set by sender. 0 is 'not set', but will default to 16(128/8) on "
                        "sender if srt passphrase is set.16->(128/8) 24->(192/8) 32->(256/8)",
                .index = number<&Rec::srt_pbkeylen>, .apply_choice = set_choice<&Rec::srt_pbkeylen>};
    }
    static constexpr leaf log_level(unsigned kinds)
    {
        return {.label = "SRT Log Level", .type = PARAMTYPE_CHOICE, .rw = PARAMCTRL_RDWR, .kinds = kinds,
                .choices = log_level_choices,
                .help = "Used to control SRT log message levels.  SRT log messages are sent to the journal logs.",
                .index = number<&Rec::srt_log_level>, .apply_choice = set_choice<&Rec::srt_log_level>};
    }
    static constexpr leaf encrypt(unsigned kinds)
    {
        return {.label = "SRT Encrypt", .type = PARAMTYPE_CHOICE, .rw = PARAMCTRL_RDWR, .kinds = kinds,
                .choices = off_on_choices,
                .help = "Off: SRT will not encrypt or decrypt. On: SRT will encrypt if passphrase is valid and "
                        "matches peer's passphrase",
                .index = number<&Rec::srt_encrypt>, .apply_choice = set_choice<&Rec::srt_encrypt>};
    }

    // Statistics, re-read every 6 seconds: "SRT Status" to "SRT RTT", then
    // the record's rate (its own label, help and field).
    template <auto Rate> static constexpr std::array<leaf, 4> status(unsigned kinds, const char *rate_label,
                                                                     const char *rate_help)
    {
        return {{
            {.label = "SRT Status", .type = PARAMTYPE_CHOICE, .kinds = kinds, .choices = status_choices,
             .help = "OFF - transmit is OFF, LISTENING - Waiting for peer to answer, CONNECTED - Streaming is active",
             .auto_notify = kStatPeriod, .index = number<&Rec::srt_status>},
            {.label = "SRT Duration", .type = PARAMTYPE_STRING, .kinds = kinds,
             .help = "Duration represents the length of time that SRT has been sending/receiving. Updates "
                     "periodically.",
             .auto_notify = kStatPeriod, .text = text<&Rec::srt_duration>},
            {.label = "SRT RTT", .type = PARAMTYPE_STRING, .kinds = kinds,
             .help = "SRT calculated round trip time in milliseconds. The sum of two STT (Single-Trip time) values, "
                     "one from agent to peer and one from peer to agent. Updates periodically.",
             .auto_notify = kStatPeriod, .text = text<&Rec::srt_rtt>},
            {.label = rate_label, .type = PARAMTYPE_STRING, .kinds = kinds, .help = rate_help,
             .auto_notify = kStatPeriod, .text = text<Rate>},
        }};
    }
    // "SRT Packet Retransmit Total" to "SRT Packet Packet Flow Window".
    static constexpr std::array<leaf, 7> counters(unsigned kinds)
    {
        return {{
            {.label = "SRT Packet Retransmit Total", .kinds = kinds, .max = kCountMax,
             .help = "Total Retransmitted packets. Updates periodically.", .auto_notify = kStatPeriod,
             .number = number<&Rec::srt_pkt_retrans_total>},
            {.label = "SRT Packet Send Lost Total", .kinds = kinds, .max = kCountMax,
             .help = "Total number of lost packets (sender side). Updates periodically.", .auto_notify = kStatPeriod,
             .number = number<&Rec::srt_pkt_send_loss_total>},
            {.label = "SRT Packet Send Dropped Total", .kinds = kinds, .max = kCountMax,
             .help = "Total number of too-late-to-send dropped packets. Updates periodically.",
             .auto_notify = kStatPeriod, .number = number<&Rec::srt_pkt_send_drop_total>},
            {.label = "SRT Percent Packet Lost Last Period", .type = PARAMTYPE_STRING, .kinds = kinds,
             .help = "Percent of packets lost in last period. Updates periodically.", .auto_notify = kStatPeriod,
             .text = text<&Rec::srt_period_packet_loss_pct>},
            {.label = "SRT Packet Receive Lost Total", .kinds = kinds, .max = kCountMax,
             .help = "Total number of lost packets (receiver side). Updates periodically.",
             .auto_notify = kStatPeriod, .number = number<&Rec::srt_pkt_recv_loss_total>},
            {.label = "SRT Packet Receive Dropped Total", .kinds = kinds, .max = kCountMax,
             .help = "Total number of too-late-to play missing packets. Updates periodically.",
             .auto_notify = kStatPeriod, .number = number<&Rec::srt_pkt_recv_drop_total>},
            {.label = "SRT Packet Packet Flow Window", .kinds = kinds, .max = kCountMax,
             .help = "Flow window size in packets. The free packet space in the peer receiver, as read on the "
                     "sender.  When this value drops to zero, the next sending packet will be simply dropped by the "
                     "receiver without processing. Updates periodically.",
             .auto_notify = kStatPeriod, .number = number<&Rec::srt_pkt_flow_window>},
        }};
    }
    static constexpr leaf flight_size(unsigned kinds)
    {
        return {.label = "SRT Packet Packet Flight Size", .kinds = kinds, .max = kCountMax,
                .help = "Number of packets on flight. This is the distance between the packet sequence number that "
                        "was last reported by ACK message and the sequence number of the packet just sent. Updates "
                        "periodically.",
                .auto_notify = kStatPeriod, .number = number<&Rec::srt_pkt_flight_size>};
    }
    // "SRT Send Buffer Not ACKed" to "SRT Buffer Available".
    static constexpr std::array<leaf, 4> buffers(unsigned kinds)
    {
        return {{
            {.label = "SRT Send Buffer Not ACKed", .kinds = kinds, .max = kCountMax,
             .help = "UnACKed packets in sender buffer. Updates periodically.", .auto_notify = kStatPeriod,
             .number = number<&Rec::srt_pkt_send_buffer_not_acked>},
            {.label = "SRT Bytes Avail Send Buffer", .kinds = kinds, .max = kCountMax,
             .help = "Available sender buffer size. Updates periodically.", .auto_notify = kStatPeriod,
             .number = number<&Rec::srt_byte_avail_send_buffer_size>},
            {.label = "SRT Bytes Avail Receive Buffer", .kinds = kinds, .max = kCountMax,
             .help = "Available receiver buffer size. Updates periodically.", .auto_notify = kStatPeriod,
             .number = number<&Rec::srt_byte_avail_recv_buffer_size>},
            {.label = "SRT Buffer Available", .type = PARAMTYPE_STRING, .kinds = kinds,
             .help = "Percent of SRT buffer that is available. Updates periodically.", .auto_notify = kStatPeriod,
             .text = text<&Rec::srt_buffer_avail>},
        }};
    }
};

} // namespace mcf::param::srt

namespace mcf::param {

// One descriptor table from pieces: single leaves and arrays of them, in order.
constexpr std::array<leaf, 1> one(const leaf &l) { return {l}; }
template <size_t... N> constexpr auto join(const std::array<leaf, N> &...parts)
{
    std::array<leaf, (N + ...)> all{};
    size_t i = 0;
    ((std::copy(parts.begin(), parts.end(), all.begin() + long(i)), i += N), ...);
    return all;
}

} // namespace mcf::param

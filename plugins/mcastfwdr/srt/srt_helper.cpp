// The SRT layer: one non-blocking step at a time from "no socket" to a
// connected caller, listener or rendezvous session, the state tracker, the
// statistics and the library's log hook. Every message goes through the
// status queue; the first "%s" of each is the step that writes it.
#include "srt/srt_helper.h"
#include "mcastfwdr.h"

#include <kerrow/alarm.h>
#include <kerrow/system.h>

#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <string>

namespace {

// Option 64 of the library the card links; Debian's library has none and refuses it.
constexpr int SRTO_FIPS_MODE = 64;
constexpr int kBufferBytes = 0x16C0000;
constexpr int64_t kMaxBw = 33750000;
constexpr int kConnTimeoMs = 0x7FFFFFFF;
constexpr int kMinVersion = 0x010301;
constexpr int kEpollTimeout = 6003;
constexpr const char *kAlarm = "SRT Fail";

constexpr const char *kSockStatus[] = {"N/A",       "INIT",   "OPENED",  "LISTENING", "CONNECTING",
                                       "CONNECTED", "BROKEN", "CLOSING", "CLOSED",    "NONEXIST"};
constexpr const char *kKmState[] = {"UNSECURED", "SECURING", "SECURED", "NO_SECRET", "BAD_SECRET"};
constexpr const char *kLogLevel[] = {"Off", "NA", "Critical", "Error", "Warning", "Notice", "Info", "Debug"};

const char *km_name(int s) { return s >= 0 && s < 5 ? kKmState[s] : "UNKNOWN"; }

// ---- the library, started once for the process ----
std::mutex g_lib_mutex;
bool g_lib_started = false;

int lib_start()
{
    std::lock_guard<std::mutex> lock(g_lib_mutex);
    if (g_lib_started)
        return 0;
    const int rc = srt_startup();
    g_lib_started = rc >= 0;
    return rc;
}

void log_handler(void *, int level, const char *file, int, const char *area, const char *message)
{
    const size_t fl = file ? std::strlen(file) : 0, al = area ? std::strlen(area) : 0,
                 ml = message ? std::strlen(message) : 0;
    if (fl && al && ml)
        mcf_post_log(SQ_LOG_INFO, "%s: (%s %d) %s", "log_handler", area, level, message);
    else
        mcf_post_log(SQ_LOG_INFO, "%s: SRT log message incomplete file[%zu] area[%zu] message[%zu]  ", "log_handler",
                     fl, al, ml);
}

struct last_error {
    int code, sys;
    const char *text;
    last_error() : sys(0)
    {
        code = srt_getlasterror(&sys);
        text = srt_getlasterror_str();
    }
};

SRTSOCKET sock_of(const srt_control *s) { return s->sock.load(std::memory_order_acquire); }

// ---- statistics texts ----

// The value with as many of `decimals` as fit the field (suffix included);
// never longer than the field: a value too large even without decimals
// shows the largest one that fits.
void fit(char *field, size_t size, double value, int decimals, const char *suffix)
{
    if (!(value >= 0)) // negative or NaN
        value = 0;
    for (int d = decimals; d >= 0; --d) {
        const int n = std::snprintf(nullptr, 0, "%.*f%s", d, value, suffix);
        if (n >= 0 && size_t(n) < size) {
            std::snprintf(field, size, "%.*f%s", d, value, suffix);
            return;
        }
    }
    const size_t digits = size - 1 - std::strlen(suffix);
    std::string nines(digits, '9');
    std::snprintf(field, size, "%s%s", nines.c_str(), suffix);
}

void zero_locked(srt_stats_t &st)
{
    const int32_t status = st.srt_status;
    st = srt_stats_t{};
    st.srt_status = status;
    srt_helper_format_duration(st.srt_duration, 0);
    srt_helper_format_rtt(st.srt_rtt, 0);
    srt_helper_format_mbps_rate(st.srt_mbps_send_rate, 0);
    srt_helper_format_mbps_rate(st.srt_mbps_recv_rate, 0);
    srt_helper_format_buffer_avail(st.srt_buffer_avail, 0);
    srt_helper_format_period_packet_loss_pct(st.srt_period_packet_loss_pct, 0);
}

void set_status(srt_control *s, int state)
{
    std::lock_guard<std::mutex> lock(s->stats_lock);
    s->stats.srt_status = state;
}

// ---- the state tracker ----
SRT_SOCKSTATUS get_socket_status(srt_control *s)
{
    const SRT_SOCKSTATUS st = srt_getsockstate(sock_of(s));
    if (st != s->flags.prev_sock_status) {
        mcf_post_log(SQ_LOG_DEBUG, "%s: %s srt_getsockstate() changed from %s to %s", "get_socket_status",
                     s->mcf_direction_id, srt_sock_status_name(s->flags.prev_sock_status),
                     srt_sock_status_name(st));
        set_status(s, st);
        s->flags.prev_sock_status = st;
    }
    return st;
}

void free_reminfo(srt_control *s)
{
    if (!s->reminfo)
        return;
    freeaddrinfo(s->reminfo);
    s->reminfo = nullptr;
    s->addrinfo_active = 0;
}

void clear_flags(srt_flags_t &f)
{
    f.connected_to_remote.store(false, std::memory_order_release); // before the socket goes
    f.fail_alarm_is_set = false;
    f.caller_connected = f.listener_bound = f.listener_listening = f.listener_connected = false;
    f.rendezvous_bound = f.rendezvous_connected = false;
    f.prev_sock_status = SRT_SOCKSTATUS(0);
    f.prev_epoll_error = 0;
}

void raise_alarm(srt_control *s, alarm_state state)
{
    char name[64];
    std::snprintf(name, sizeof name, "%s: %s", s->label, kAlarm);
    // Raise and clear go through the same queue, so they keep their order.
    kd_alarm_detected_in_worker_thread(name, state);
}

void close_connection(srt_control *s, bool alarm)
{
    const char *step = "close_connection";
    srt_helper_bstats(s, true);
    set_status(s, 0);
    if (s->reminfo) {
        mcf_post_log(SQ_LOG_DEBUG, "%s: %s freeing address info", step, s->mcf_direction_id);
        free_reminfo(s);
    }
    clear_flags(s->flags);
    const SRTSOCKET sock = sock_of(s);
    if (sock > 0) {
        const SRT_SOCKSTATUS st = srt_getsockstate(sock);
        mcf_post_log(SQ_LOG_DEBUG, "%s: %s srt_getsocktate() returned %s", step, s->mcf_direction_id,
                     srt_sock_status_name(st));
        if (st < SRTS_CLOSING && s->epoll_id > 0 && srt_epoll_remove_usock(s->epoll_id, sock) != 0) {
            last_error e;
            mcf_post_log(SQ_LOG_WARN, "%s: %s srt_epoll_remove_usock() error- %d %d:%s", step, s->mcf_direction_id,
                         e.code, e.sys, e.text);
        }
        s->sock.store(0, std::memory_order_release);
        const int rc = srt_close(sock);
        mcf_post_log(SQ_LOG_DEBUG, "%s: %s srt_close(): 0x%X", step, s->mcf_direction_id, unsigned(rc));
    }
    if (s->epoll_id > 0) {
        if (srt_epoll_release(s->epoll_id) != 0) {
            last_error e;
            mcf_post_log(SQ_LOG_WARN, "%s: %s srt_epoll_release() error- %d %d:%s", step, s->mcf_direction_id,
                         e.code, e.sys, e.text);
        }
        s->epoll_id = 0;
    }
    s->lib_open = false;
    if (alarm) {
        mcf_post_log(SQ_LOG_ERROR, "%s: %s failed & fail_alarm_is_set is FALSE", step, s->mcf_direction_id);
        raise_alarm(s, ALARM_ACTIVE);
        s->flags.fail_alarm_is_set = true;
    }
}

// "<step>: <owner> <what> error <code> <errno>:<text>" with the library's
// last error, then close.
void fail(srt_control *s, sq_log_level level, const char *step, const char *what, bool alarm)
{
    last_error e;
    mcf_post_log(level, "%s: %s %s error %d %d:%s", step, s->mcf_direction_id, what, e.code, e.sys, e.text);
    close_connection(s, alarm);
}

// ---- options ----
bool set_flag(srt_control *s, const char *step, SRT_SOCKOPT opt, const char *name, const void *v, int len,
              long long shown)
{
    const int rc = srt_setsockflag(sock_of(s), opt, v, len);
    if (rc != 0) {
        last_error e;
        mcf_post_log(SQ_LOG_WARN, "%s: %s srt_setsockflag(%s) returned %d, error %d:%s", step, s->mcf_direction_id,
                     name, rc, e.code, e.text);
        close_connection(s, true);
        return false;
    }
    mcf_post_log(SQ_LOG_INFO, "%s: %s %s %lld", step, s->mcf_direction_id, name, shown);
    return true;
}

bool set_int(srt_control *s, const char *step, SRT_SOCKOPT opt, const char *name, int v)
{
    return set_flag(s, step, opt, name, &v, sizeof v, v);
}

int off_on(srt_off_on_default_t v) { return v == SRT_ON ? 1 : 0; }

bool passphrase_ok(const srt_control *s)
{
    const size_t n = strnlen(s->passphrase, sizeof s->passphrase);
    return n >= 10 && n <= 79;
}

bool pre_configure_sockopts(srt_control *s)
{
    const char *step = "pre_configure_sockopts";
    // The integer options in the order they are set, each when it applies.
    struct int_opt {
        SRT_SOCKOPT opt;
        const char *name;
        int value;
        bool when;
    };
    auto set_all = [&](std::initializer_list<int_opt> opts) {
        for (const int_opt &o : opts)
            if (o.when && !set_int(s, step, o.opt, o.name, o.value))
                return false;
        return true;
    };
    if (!set_all({{SRTO_SNDSYN, "SRTO_SNDSYN", 0, true},
                  {SRTO_RCVSYN, "SRTO_RCVSYN", 0, true},
                  {SRTO_SNDBUF, "SRTO_SNDBUF", kBufferBytes, true},
                  {SRTO_RCVBUF, "SRTO_RCVBUF", kBufferBytes, true}}))
        return false;
    const int64_t bw = kMaxBw;
    if (!set_flag(s, step, SRTO_MAXBW, "SRTO_MAXBW", &bw, sizeof bw, bw))
        return false;
    if (!set_all({{SRTO_SENDER, "SRTO_SENDER", s->receive_send == SRT_SEND ? 1 : 0, true},
                  {SRTO_RENDEZVOUS, "SRTO_RENDEZVOUS", 1, s->srt_connect == SRT_RENDEZVOUS},
                  {SRTO_CONNTIMEO, "SRTO_CONNTIMEO", kConnTimeoMs, true},
                  {SRTO_RCVLATENCY, "SRTO_RCVLATENCY", s->rcv_latency, s->rcv_latency != 0},
                  {SRTO_PEERLATENCY, "SRTO_PEERLATENCY", s->peer_latency, s->peer_latency != 0},
                  {SRTO_MINVERSION, "SRTO_MINVERSION", kMinVersion, s->min_version != SRT_ANY_VERSION},
                  {SRTO_TSBPDMODE, "SRTO_TSBPDMODE", off_on(s->tsbpdmode), s->tsbpdmode != SRT_DEFAULT},
                  {SRTO_TLPKTDROP, "SRTO_TLPKTDROP", off_on(s->tlpktdrop), s->tlpktdrop != SRT_DEFAULT},
                  {SRTO_NAKREPORT, "SRTO_NAKREPORT", off_on(s->nakreport), s->nakreport != SRT_DEFAULT},
                  {SRTO_LOSSMAXTTL, "SRTO_LOSSMAXTTL", s->lossmaxttl, s->lossmaxttl != 0}}))
        return false;
    if (s->encrypt == SRT_ENCRYPT_ON) {
        // Encryption asked for without a usable passphrase is a set-up
        // failure, never a session in the clear.
        if (!passphrase_ok(s)) {
            mcf_post_log(SQ_LOG_WARN, "%s: %s SRT Encrypt is ON but the passphrase has %zu characters (10 to 79)",
                         step, s->mcf_direction_id, strnlen(s->passphrase, sizeof s->passphrase));
            close_connection(s, true);
            return false;
        }
        // Its length is logged, never the text.
        const int n = int(strnlen(s->passphrase, sizeof s->passphrase));
        if (!set_flag(s, step, SRTO_PASSPHRASE, "SRTO_PASSPHRASE", s->passphrase, n, n))
            return false;
    }
    static constexpr int kKeyLen[] = {0, 16, 24, 32};
    if (!set_all({{SRTO_PBKEYLEN, "SRTO_PBKEYLEN", kKeyLen[s->pbkeylen & 3], s->pbkeylen != SRT_PBKEYLEN_0}}))
        return false;
    mcf_post_log(SQ_LOG_INFO, "%s: %s Setting FIPS mode to %s", step, s->mcf_direction_id,
                 s->fips_mode ? "ENABLED" : "DISABLED");
    const bool fips = s->fips_mode != 0;
    const int rc = srt_lib_setsockflag(sock_of(s), SRTO_FIPS_MODE, &fips, sizeof fips);
    if (rc != 0) {
        last_error e;
        mcf_post_log(SQ_LOG_WARN, "%s: %s srt_setsockflag(SRTO_FIPS_MODE) returned %d, error %d:%s", step,
                     s->mcf_direction_id, rc, e.code, e.text);
    } else {
        mcf_post_log(SQ_LOG_DEBUG, "%s: %s srt_setsockflag(SRTO_FIPS_MODE) returned %d", step, s->mcf_direction_id,
                     rc);
    }
    return true;
}

int get_int(srt_control *s, int opt, int *out)
{
    // Bool options write one byte, int ones four, 64-bit ones eight.
    unsigned char raw[8] = {};
    int len = sizeof raw;
    const int rc = srt_lib_getsockflag(sock_of(s), opt, raw, &len);
    if (len == 1) {
        *out = raw[0];
    } else if (len == 4) {
        int32_t v;
        std::memcpy(&v, raw, sizeof v);
        *out = v;
    } else {
        int64_t v;
        std::memcpy(&v, raw, sizeof v);
        *out = int(v);
    }
    return rc;
}

void log_connection_settings(srt_control *s)
{
    static constexpr struct {
        int opt;
        const char *name;
    } kShown[] = {{SRTO_SNDSYN, "SRTO_SNDSYN"},         {SRTO_RCVSYN, "SRTO_RCVSYN"},
                  {SRTO_RCVLATENCY, "SRTO_RCVLATENCY"}, {SRTO_TSBPDMODE, "SRTO_TSBPDMODE"},
                  {SRTO_PEERLATENCY, "SRTO_PEERLATENCY"}, {SRTO_TLPKTDROP, "SRTO_TLPKTDROP"},
                  {SRTO_NAKREPORT, "SRTO_NAKREPORT"},   {SRTO_PBKEYLEN, "SRTO_PBKEYLEN"},
                  {SRTO_VERSION, "SRTO_VERSION"},       {SRTO_PEERVERSION, "SRTO_PEERVERSION"},
                  {SRTO_FIPS_MODE, "SRTO_FIPS_MODE"}};
    for (const auto &o : kShown) {
        int v = 0;
        const int rc = get_int(s, o.opt, &v);
        if (rc == 0) {
            mcf_post_log(SQ_LOG_INFO, "%s: %s %s %d", "log_connection_settings", s->mcf_direction_id, o.name, v);
        } else {
            last_error e;
            mcf_post_log(SQ_LOG_WARN, "%s: %s srt_getsockflag(%s) returned %d, error %d:%s",
                         "log_connection_settings", s->mcf_direction_id, o.name, rc, e.code, e.text);
        }
    }
    int keylen = 0, km = 0, snd = 0, rcv = 0;
    get_int(s, SRTO_PBKEYLEN, &keylen);
    get_int(s, SRTO_KMSTATE, &km);
    get_int(s, SRTO_SNDKMSTATE, &snd);
    get_int(s, SRTO_RCVKMSTATE, &rcv);
    mcf_post_log(SQ_LOG_INFO, "%s: %s SRT Encrypt Enable:%s State:%s Snd:%s Rcv:%s Key_Len:%d Passphrase_Len: %d",
                 "log_encryption_settings", s->mcf_direction_id, s->encrypt == SRT_ENCRYPT_ON ? "ON" : "OFF",
                 km_name(km), km_name(snd), km_name(rcv), keylen, int(strnlen(s->passphrase, sizeof s->passphrase)));
}

// ---- steps ----

// Resolves a numeric address (no name lookups: the maintainer holds the
// control lock); 0 or the resolver's error.
int resolve(const char *node, int port, bool passive, addrinfo **out)
{
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_DGRAM;
    hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV | (passive ? AI_PASSIVE : 0);
    const std::string p = std::to_string(port);
    return getaddrinfo(node, p.c_str(), &hints, out);
}

bool open_socket(srt_control *s)
{
    const char *step = "open_socket";
    const char *node;
    if (s->srt_connect == SRT_LISTENER) {
        if (std::strcmp(s->dest_node, "0.0.0.0") != 0) {
            mcf_post_log(SQ_LOG_WARN, "%s: %s IP Address %s invalid: IP Address must be 0.0.0.0 for Listener", step,
                         s->mcf_direction_id, s->dest_node);
            close_connection(s, true);
            return false;
        }
        node = s->local_node[0] ? s->local_node : "0.0.0.0";
    } else {
        if (std::strcmp(s->dest_node, "0.0.0.0") == 0 || mcastfwdr_ip_addr_is_multicast(s->dest_node)) {
            mcf_post_log(SQ_LOG_WARN,
                         "%s: %s IP Address %s invalid: IP Address must be specified unicast address for Caller or "
                         "Rendezvous mode",
                         step, s->mcf_direction_id, s->dest_node);
            close_connection(s, true);
            return false;
        }
        node = s->dest_node;
    }
    free_reminfo(s);
    if (const int rc = resolve(node, s->dest_port, s->srt_connect == SRT_LISTENER, &s->reminfo); rc != 0) {
        s->reminfo = nullptr;
        mcf_post_log(SQ_LOG_WARN, "%s: %s getaddrinfo() failed: %s", step, s->mcf_direction_id, gai_strerror(rc));
        close_connection(s, true);
        return false;
    }
    s->addrinfo_active = 1;
    const SRTSOCKET sock = srt_create_socket();
    if (sock == SRT_INVALID_SOCK) {
        fail(s, SQ_LOG_WARN, step, "srt_socket()", true);
        return false;
    }
    s->sock.store(sock, std::memory_order_release);
    const int events = SRT_EPOLL_IN | SRT_EPOLL_OUT | SRT_EPOLL_ERR;
    if (srt_epoll_add_usock(s->epoll_id, sock, &events) != 0) {
        fail(s, SQ_LOG_WARN, step, "srt_socket_add_usock()", true);
        return false;
    }
    return pre_configure_sockopts(s);
}

// Caller: true when connect was made (the state tells when it is up).
bool connect_as_caller(srt_control *s)
{
    const char *step = "connect_as_caller";
    if (s->flags.caller_connected)
        return true;
    const int rc = s->reminfo ? srt_lib_connect(sock_of(s), s->reminfo->ai_addr, int(s->reminfo->ai_addrlen)) : SRT_ERROR;
    free_reminfo(s);
    if (rc == SRT_ERROR) {
        fail(s, SQ_LOG_INFO, step, "srt_connect() as CALLER", false);
        return false;
    }
    mcf_post_log(SQ_LOG_INFO, "%s: %s srt_connect() as CALLER succeeded", step, s->mcf_direction_id);
    s->flags.caller_connected = true;
    return true;
}

void connect_as_listener(srt_control *s)
{
    const char *step = "connect_as_listener";
    srt_flags_t &f = s->flags;
    if (f.fail_alarm_is_set)
        return;
    if (!f.listener_listening && !f.listener_bound) {
        const int rc = s->reminfo ? srt_bind(sock_of(s), s->reminfo->ai_addr, int(s->reminfo->ai_addrlen)) : SRT_ERROR;
        free_reminfo(s);
        if (rc == SRT_ERROR) {
            fail(s, SQ_LOG_INFO, step, "srt_bind() as LISTENER", true);
            return;
        }
        mcf_post_log(SQ_LOG_INFO, "%s: %s srt_bind() as LISTENER succeeded", step, s->mcf_direction_id);
        f.listener_bound = true;
    }
    if (!f.listener_listening) {
        if (srt_listen(sock_of(s), 10) == SRT_ERROR) {
            fail(s, SQ_LOG_INFO, step, "srt_listen() as LISTENER", true);
            return;
        }
        mcf_post_log(SQ_LOG_INFO, "%s: %s srt_listen() as LISTENER succeeded", step, s->mcf_direction_id);
        f.listener_listening = true;
        return;
    }
    if (f.listener_connected)
        return;
    // Without waiting: writable when sending, readable when receiving.
    SRTSOCKET ready[2];
    int n = 2;
    const bool snd = s->receive_send == SRT_SEND;
    if (srt_epoll_wait(s->epoll_id, snd ? nullptr : ready, snd ? nullptr : &n, snd ? ready : nullptr,
                       snd ? &n : nullptr, 0, nullptr, nullptr, nullptr, nullptr) < 0) {
        last_error e;
        if (e.code != kEpollTimeout)
            mcf_post_log(SQ_LOG_WARN, "%s: %s srt_epoll_wait() error %d %d:%s", "listening_epoll_wait",
                         s->mcf_direction_id, e.code, e.sys, e.text);
        if (e.code != f.prev_epoll_error) {
            f.prev_epoll_error = e.code;
            const SRT_SOCKSTATUS st = srt_getsockstate(sock_of(s));
            set_status(s, st);
            mcf_post_log(SQ_LOG_INFO, "%s: %s srt_getsockstate() status %s", "listening_epoll_wait",
                         s->mcf_direction_id, srt_sock_status_name(st));
        }
        return;
    }
    mcf_post_log(SQ_LOG_INFO, "%s: %s srt_epoll_wait() as LISTENER succeeded", step, s->mcf_direction_id);
    sockaddr_storage peer{};
    int plen = sizeof peer;
    const SRTSOCKET lsock = sock_of(s);
    const SRTSOCKET acc = srt_accept(lsock, reinterpret_cast<sockaddr *>(&peer), &plen);
    if (acc == SRT_INVALID_SOCK) {
        fail(s, SQ_LOG_INFO, step, "srt_accept() as LISTENER", false);
        return;
    }
    char host[NI_MAXHOST];
    const int rc = getnameinfo(reinterpret_cast<sockaddr *>(&peer), socklen_t(plen), host, sizeof host, nullptr, 0,
                               NI_NUMERICHOST);
    if (rc == 0)
        mcf_post_log(SQ_LOG_INFO, "%s: %s SRT now LISTENER to CALLER %s", step, s->mcf_direction_id, host);
    else
        mcf_post_log(SQ_LOG_INFO, "%s: %s SRT now LISTENER to CALLER (host name error %s)", step, s->mcf_direction_id,
                     gai_strerror(rc));
    srt_epoll_remove_usock(s->epoll_id, lsock);
    srt_close(lsock);
    s->sock.store(acc, std::memory_order_release);
    f.prev_sock_status = SRT_SOCKSTATUS(0);
    f.listener_connected = true;
}

bool connect_as_rendezvous(srt_control *s)
{
    const char *step = "connect_as_rendezvous";
    srt_flags_t &f = s->flags;
    if (!f.rendezvous_bound) {
        addrinfo *local = nullptr;
        if (const int rc = resolve(s->local_node[0] ? s->local_node : "0.0.0.0", s->dest_port, true, &local);
            rc != 0) {
            mcf_post_log(SQ_LOG_INFO, "%s: %s getaddrinfo() as RENDEZVOUS error %s", step, s->mcf_direction_id,
                         gai_strerror(rc));
            close_connection(s, true);
            return false;
        }
        const int rc = srt_bind(sock_of(s), local->ai_addr, int(local->ai_addrlen));
        freeaddrinfo(local);
        if (rc == SRT_ERROR) {
            fail(s, SQ_LOG_INFO, step, "srt_bind() as RENDEZVOUS", true);
            return false;
        }
        mcf_post_log(SQ_LOG_INFO, "%s: %s srt_bind() as RENDEZVOUS succeeded", step, s->mcf_direction_id);
        f.rendezvous_bound = true;
    }
    const SRT_SOCKSTATUS st = srt_getsockstate(sock_of(s));
    if (st != SRTS_CONNECTING && st != SRTS_CONNECTED) {
        if (!s->reminfo) {
            if (const int rc = resolve(s->dest_node, s->dest_port, false, &s->reminfo); rc != 0) {
                s->reminfo = nullptr;
                mcf_post_log(SQ_LOG_INFO, "%s: %s getaddrinfo() for remote address as RENDEZVOUS error %s", step,
                             s->mcf_direction_id, gai_strerror(rc));
                close_connection(s, true);
                return false;
            }
            s->addrinfo_active = 1;
        }
        const int rc = srt_lib_connect(sock_of(s), s->reminfo->ai_addr, int(s->reminfo->ai_addrlen));
        free_reminfo(s);
        if (rc == SRT_ERROR) {
            fail(s, SQ_LOG_INFO, step, "srt_connect() as RENDEZVOUS", false);
            return false;
        }
        mcf_post_log(SQ_LOG_INFO, "%s: %s srt_connect() as RENDEZVOUS succeeded", step, s->mcf_direction_id);
        f.rendezvous_connected = true;
    }
    return f.rendezvous_connected;
}

void connected_socket_state(srt_control *s)
{
    const SRT_SOCKSTATUS st = get_socket_status(s);
    if (st == SRTS_CONNECTED) {
        const char *step = "post_connect_sockopts";
        if (!set_int(s, step, SRTO_SNDSYN, "SRTO_SNDSYN", 0) || !set_int(s, step, SRTO_RCVSYN, "SRTO_RCVSYN", 0))
            return;
        if (s->epoll_id > 0 && srt_epoll_remove_usock(s->epoll_id, sock_of(s)) != 0) {
            last_error e;
            mcf_post_log(SQ_LOG_WARN, "%s: %s post srt_connect_remove_usock() error %d %d:%s", step,
                         s->mcf_direction_id, e.code, e.sys, e.text);
        }
        int sndbuf = 0;
        if (get_int(s, SRTO_SNDBUF, &sndbuf) == 0)
            s->sndbuf_bytes = sndbuf;
        s->flags.connected_to_remote.store(true, std::memory_order_release);
        log_connection_settings(s);
        mcf_post_log(SQ_LOG_INFO, "%s: %s SRT connected = %d", "srt_helper_connect", s->mcf_direction_id, 1);
    } else if (st == SRTS_BROKEN || st == SRTS_CLOSING || st == SRTS_CLOSED || st == SRTS_NONEXIST) {
        mcf_post_log(SQ_LOG_INFO, "%s: %s %s SRT restarting connection process", "connected_socket_state",
                     s->mcf_direction_id, srt_sock_status_name(st));
        close_connection(s, false);
    }
}

} // namespace

const char *srt_sock_status_name(int state)
{
    return state >= 0 && state < int(sizeof kSockStatus / sizeof kSockStatus[0]) ? kSockStatus[state] : "N/A";
}

bool srt_lib_is_started(void)
{
    std::lock_guard<std::mutex> lock(g_lib_mutex);
    return g_lib_started;
}

void srt_control_set_owner(srt_control *s, const char *what, int id, const char *label, srt_receive_send_t dir,
                           const char *intf, const char *node, int port, bool srt_on)
{
    s->id = id;
    std::snprintf(s->label, sizeof s->label, "%s", label);
    std::snprintf(s->mcf_direction_id, sizeof s->mcf_direction_id, "%s %d", what, id);
    s->receive_send = dir;
    std::snprintf(s->dest_intf, sizeof s->dest_intf, "%.8s", intf);
    std::snprintf(s->dest_node, sizeof s->dest_node, "%s", node);
    s->dest_port = port;
    if (const char *ip = kd_system_get_intf_ip_address(intf))
        std::snprintf(s->local_node, sizeof s->local_node, "%s", ip);
    s->fips_mode = srt_on ? fips_mode : 0;
    if (srt_on)
        mcf_post_log(SQ_LOG_DEBUG, "%s %d (SRT): Setting FIPS mode to %s", what, id,
                     fips_mode ? "ENABLED" : "DISABLED");
    else
        mcf_post_log(SQ_LOG_DEBUG, "%s %d (IP): FIPS mode is DISABLED (fixed, cannot be changed)", what, id);
}

void srt_stats_zero(srt_stats_t *st)
{
    *st = srt_stats_t{};
    zero_locked(*st);
}

void srt_helper_read_stats(srt_control *self, srt_stats_t *out)
{
    std::lock_guard<std::mutex> lock(self->stats_lock);
    *out = self->stats;
}

extern "C" {

void srt_helper_connect(srt_control *s)
{
    if (!s || s->flags.fail_alarm_is_set)
        return;
    if (!s->lib_open) {
        mcf_post_log(SQ_LOG_INFO, "%s: %s srt_startup() beginning connection process on %s", "startup",
                     s->mcf_direction_id, s->dest_intf);
        const int rc = lib_start();
        mcf_post_log(SQ_LOG_DEBUG, "%s: %s srt_startup() done: %d", "startup", s->mcf_direction_id, rc);
        srt_setloglevel(int(s->log_level));
        if (int(s->log_level) > 1) {
            mcf_post_log(SQ_LOG_INFO, "%s: %s SRT log level set to %s", "startup", s->mcf_direction_id,
                         kLogLevel[s->log_level & 7]);
            for (int fa : {11, 22, 23, 4, 24})
                srt_addlogfa(fa);
            srt_setlogflags(SRT_LOGF_DISABLE_TIME | SRT_LOGF_DISABLE_THREADNAME | SRT_LOGF_DISABLE_SEVERITY |
                            SRT_LOGF_DISABLE_EOL);
            srt_setloghandler(const_cast<char *>("SRTLIB"), log_handler);
        }
        s->lib_open = true;
    }
    if (s->epoll_id <= 0) {
        const int eid = srt_epoll_create();
        if (eid < 0) {
            fail(s, SQ_LOG_WARN, "init_connection", "srt_epoll_create()", true);
            return;
        }
        s->epoll_id = eid;
    }
    if (sock_of(s) <= 0 && !open_socket(s))
        return;
    if (!s->flags.connected_to_remote.load(std::memory_order_acquire)) {
        bool go_on = false;
        switch (s->srt_connect) {
        case SRT_CALLER:
            go_on = connect_as_caller(s);
            break;
        case SRT_LISTENER:
            connect_as_listener(s);
            go_on = s->flags.listener_connected;
            break;
        case SRT_RENDEZVOUS:
            go_on = connect_as_rendezvous(s);
            break;
        }
        if (!go_on)
            return;
    }
    connected_socket_state(s);
}

bool srt_helper_is_connected(srt_control *s)
{
    if (!s || sock_of(s) <= 0)
        return false;
    const SRT_SOCKSTATUS st = get_socket_status(s);
    if (st == SRTS_CONNECTED)
        return true;
    if (st == SRTS_BROKEN || st == SRTS_CLOSED || st == SRTS_NONEXIST) {
        mcf_post_log(SQ_LOG_INFO, "%s: %s srt_getsockstate() status %s, closing connection", "srt_helper_is_connected",
                     s->mcf_direction_id, srt_sock_status_name(st));
        close_connection(s, false);
    }
    return false;
}

void srt_helper_bstats(srt_control *s, bool clear)
{
    if (!s)
        return;
    const SRTSOCKET sock = sock_of(s);
    if (clear || sock <= 0 || !s->flags.connected_to_remote.load(std::memory_order_acquire)) {
        std::lock_guard<std::mutex> lock(s->stats_lock);
        zero_locked(s->stats);
        return;
    }
    SRT_TRACEBSTATS p{};
    if (const int rc = srt_bstats(sock, &p, 1); rc != 0) {
        last_error e;
        mcf_post_log(SQ_LOG_INFO, "%s: %s srt_bstats() returned error %d, %d:%s", "srt_helper_bstats",
                     s->mcf_direction_id, rc, e.code, e.text);
    }
    std::lock_guard<std::mutex> lock(s->stats_lock);
    srt_stats_t &st = s->stats;
    st.srt_pkt_send_loss_total = p.pktSndLossTotal;
    st.srt_pkt_recv_loss_total = p.pktRcvLossTotal;
    st.srt_pkt_retrans_total = p.pktRetransTotal;
    st.srt_pkt_send_drop_total = p.pktSndDropTotal;
    st.srt_pkt_recv_drop_total = p.pktRcvDropTotal;
    st.srt_pkt_flow_window = p.pktFlowWindow;
    st.srt_pkt_flight_size = p.pktFlightSize;
    st.srt_byte_avail_send_buffer_size = p.byteAvailSndBuf;
    st.srt_byte_avail_recv_buffer_size = p.byteAvailRcvBuf;
    st.srt_pkt_send_buffer_not_acked = p.pktSndBuf;
    srt_helper_format_duration(st.srt_duration, p.msTimeStamp / 1000);
    srt_helper_format_rtt(st.srt_rtt, p.msRTT);
    if (s->receive_send == SRT_SEND)
        srt_helper_format_mbps_rate(st.srt_mbps_send_rate, p.mbpsSendRate);
    else
        srt_helper_format_mbps_rate(st.srt_mbps_recv_rate, p.mbpsRecvRate);
    srt_helper_format_period_packet_loss_pct(st.srt_period_packet_loss_pct,
                                             p.pktRetrans && p.pktSent ? p.pktRetrans * 100.0 / double(p.pktSent) : 0);
    // The share of the send buffer that is free.
    srt_helper_format_buffer_avail(st.srt_buffer_avail, p.byteAvailSndBuf && s->sndbuf_bytes > 0
                                                             ? p.byteAvailSndBuf * 100.0 / s->sndbuf_bytes
                                                             : 0);
}

void srt_helper_cleanup(srt_control *s)
{
    if (!s)
        return;
    const bool alarmed = s->flags.fail_alarm_is_set;
    close_connection(s, false);
    if (alarmed)
        raise_alarm(s, ALARM_INACTIVE);
}

void srt_lib_fini(void)
{
    std::lock_guard<std::mutex> lock(g_lib_mutex);
    if (!g_lib_started)
        return;
    // No call into this code once it may be unloaded.
    srt_setloghandler(nullptr, nullptr);
    srt_cleanup();
    g_lib_started = false;
}

// ---- formatters ----

void srt_helper_format_duration(char *field, int64_t seconds)
{
    const int64_t s = seconds < 0 ? 0 : seconds;
    const int64_t days = s / 86400 > 99999999 ? 99999999 : s / 86400;
    std::snprintf(field, MCF_SRT_DURATION_LEN, "%d Days, %.2d Hours, %.2d Minutes, %.2d Seconds", int(days),
                  int(s % 86400 / 3600), int(s % 3600 / 60), int(s % 60));
}
void srt_helper_format_rtt(char *field, double ms) { fit(field, MCF_SRT_RTT_LEN, ms, 3, " ms"); }
void srt_helper_format_mbps_rate(char *field, double mbps) { fit(field, MCF_SRT_RATE_LEN, mbps, 6, " Mbps"); }
void srt_helper_format_buffer_avail(char *field, double pct) { fit(field, MCF_SRT_PCT_LEN, pct, 2, "%"); }
void srt_helper_format_period_packet_loss_pct(char *field, double pct) { fit(field, MCF_SRT_PCT_LEN, pct, 2, "%"); }

} // extern "C"

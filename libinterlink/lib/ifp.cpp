// IFP exchanges: one request, up to three sends, each followed by up to three
// short waits for the matching response.
#include "ifp.h"

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>

#include <poll.h>

namespace xsb::ifp {

namespace {
int env_ms(const char *name, int fallback)
{
    const char *v = std::getenv(name);
    if (!v || !*v)
        return fallback;
    char *end = nullptr;
    const long n = std::strtol(v, &end, 10);
    return (*end || n < 1 || n > 60000) ? fallback : int(n);
}

int64_t now_us()
{
    using namespace std::chrono;
    return duration_cast<microseconds>(steady_clock::now().time_since_epoch()).count();
}
} // namespace

timing timing::from_env()
{
    timing t;
    t.wait_ms = env_ms("KD_XSB_IFP_WAIT_MS", t.wait_ms);
    t.attempt_ms = 3 * t.wait_ms;
    t.erase_poll_ms = env_ms("KD_XSB_IFP_ERASE_POLL_MS", t.erase_poll_ms);
    return t;
}

exchange::~exchange() { xsb_close(sock_); }

int exchange::fail(ERR e)
{
    x_.err = e;
    return -1;
}

int exchange::open()
{
    x_.err = ERR_NONE;
    if (x_.ssf_size < 0x20000 || x_.ssf_size > 0x2000000)
        x_.ssf_size = 0x80000;
    timing_ = timing::from_env();
    // The low 4 bits tie the session to its destination (its slot digit); the
    // rest keeps parallel sessions on other carriers apart.
    session_id_ = (arc4random() & 0xFFFFF0u) | (uint8_t(x_.dst[1]) & 0xFu);
    sequence_number_ = 0;
    request_retries_ = response_retries_ = 2;
    if (!x_.ifname || std::strcmp(x_.ifname, "loopback") == 0) {
        x_.ifname = "loopback";
        return 0;
    }
    sock_ = xsb_open(x_.ifname, XSB_ETH_P_CONFIG);
    if (!sock_) {
        log_.err("Error: \"ifp\" memory allocation\n");
        return fail(ERR_NO_MEMORY);
    }
    if (xsb_fileno(sock_) < 0) {
        log_.err("Error: Socket\n");
        xsb_close(sock_);
        sock_ = nullptr;
        return fail(ERR_SOCKET);
    }
    xsbpkt_set_dest(&request_ethfrm_, x_.dst);
    xsbpkt_set_source(&request_ethfrm_, x_.source);
    request_ethfrm_.proto[0] = uint8_t(XSB_ETH_P_CONFIG >> 8);
    request_ethfrm_.proto[1] = uint8_t(XSB_ETH_P_CONFIG & 0xFF);
    return 0;
}

ERR exchange::send_request(const request &req)
{
    request_ethlen_ = build_request(req, request_ethfrm_.data);
    if (request_ethlen_ < 0)
        return ERR_REQUEST_SIZE;
    const int sent = xsb_send(sock_, &request_ethfrm_, request_ethlen_);
    if (sent < 0)
        return ERR_REQUEST_SEND;
    return sent == request_ethlen_ ? ERR_NONE : ERR_REQUEST_SIZE;
}

ERR exchange::wait_response()
{
    const int64_t start = now_us();
    pollfd pfd{xsb_fileno(sock_), POLLIN, 0};
    for (;;) {
        const int rc = poll(&pfd, 1, timing_.wait_ms);
        if (rc == 0)
            return ERR_RESPONSE_TIMEOUT;
        if (rc < 0) {
            if (errno == EINTR)
                continue;
            return ERR_RESPONSE_POLL;
        }
        const int got = xsb_recv(sock_, &response_ethfrm_, XSB_PKT_LEN);
        if (got < 0)
            return ERR_RESPONSE_RECV;
        const auto frame = std::span<const uint8_t>(reinterpret_cast<const uint8_t *>(&response_ethfrm_),
                                                    size_t(got));
        const int n = parse_response(request_ethfrm_.data, request_ethlen_, ssf_command_, frame,
                                     std::span<uint8_t, MAX_DATA>(response_buf_));
        if (n >= 0) {
            response_buflen_ = n;
            return ERR_NONE;
        }
        // Another session's answer, a late duplicate or noise: keep waiting
        // within the attempt's time.
        if (now_us() - start >= int64_t(timing_.attempt_ms) * 1000)
            return ERR_RESPONSE_TIMEOUT;
    }
}

int exchange::request_response(VERSION_OPERATION op, ssf_cmd cmd, uint32_t address,
                               std::span<const uint8_t> data)
{
    response_buflen_ = 0;
    if (!sock_)
        return fail(ERR_REQRSP_SOCKET);
    ssf_command_ = cmd;
    for (int r = 0; r <= request_retries_; ++r) {
        // Every send, resends included, takes the next sequence number.
        const request req{op, session_id_, sequence_number_++, cmd, address, data};
        if (const ERR e = send_request(req); e != ERR_NONE)
            return fail(e);
        // A failed wait (time-out, a poll or receive error) only ends the
        // attempt; the code of the last one is replaced below.
        for (int w = 0; w <= response_retries_; ++w)
            if (wait_response() == ERR_NONE)
                return 0;
    }
    return fail(ERR_REQRSP_RETRIES);
}

int exchange::mspi(ssf_cmd cmd, uint32_t address, std::span<const uint8_t> data)
{
    return request_response(VERSION_1_OPERATION_MSPI, cmd, address, data);
}

int exchange::wb(std::span<const uint8_t> data)
{
    return request_response(VERSION_1_OPERATION_WB, SSF_CMD_NONE, 0, data);
}

int exchange::drom() { return request_response(VERSION_1_OPERATION_DROM, SSF_CMD_NONE, 0, {}); }

int exchange::wb_send_only(std::span<const uint8_t> data)
{
    if (!sock_)
        return 0;
    const request req{VERSION_1_OPERATION_WB, session_id_, sequence_number_++, SSF_CMD_NONE, 0, data};
    const ERR e = send_request(req);
    return e == ERR_NONE ? 0 : fail(e);
}

} // namespace xsb::ifp

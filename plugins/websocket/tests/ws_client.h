// A small websocket and HTTP client for the tests (RFC 6455 client side:
// masked frames, optional fragmentation), blocking with deadlines.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <vector>

namespace wstest {

// A port nobody listens on right now (the kernel's choice).
inline int free_port()
{
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a);
    socklen_t len = sizeof a;
    getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len);
    close(fd);
    return ntohs(a.sin_port);
}

// A connection to the server on 127.0.0.1, from the loopback address
// `from` (any address of 127.0.0.0/8 is this machine's) when given.
inline int connect_loopback(int port, const char *from = nullptr)
{
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (from) {
        sockaddr_in src{};
        src.sin_family = AF_INET;
        inet_pton(AF_INET, from, &src.sin_addr);
        if (bind(fd, reinterpret_cast<sockaddr *>(&src), sizeof src) != 0) {
            close(fd);
            return -1;
        }
    }
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

inline bool send_all(int fd, std::string_view data)
{
    while (!data.empty()) {
        ssize_t n = send(fd, data.data(), data.size(), MSG_NOSIGNAL);
        if (n <= 0)
            return false;
        data.remove_prefix(static_cast<size_t>(n));
    }
    return true;
}

using clock = std::chrono::steady_clock;

// Reads whatever arrives within the deadline; false on EOF, error or time-out.
inline bool read_some(int fd, std::string &buf, clock::time_point deadline)
{
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - clock::now()).count();
        if (left <= 0)
            return false;
        pollfd p{fd, POLLIN, 0};
        int r = poll(&p, 1, static_cast<int>(left));
        if (r < 0)
            return false;
        if (r == 0)
            continue;
        char tmp[65536];
        ssize_t n = recv(fd, tmp, sizeof tmp, 0);
        if (n <= 0)
            return false;
        buf.append(tmp, static_cast<size_t>(n));
        return true;
    }
}

struct http_reply {
    int status = 0;
    std::string headers, body;
};

// One HTTP/1.0 GET; status 0 when nothing sensible came back.
inline http_reply http_get(int port, const std::string &path, double seconds = 10)
{
    http_reply out;
    int fd = connect_loopback(port);
    if (fd < 0)
        return out;
    send_all(fd, "GET " + path + " HTTP/1.0\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n");
    std::string buf;
    const auto deadline = clock::now() + std::chrono::milliseconds(static_cast<int>(seconds * 1000));
    while (read_some(fd, buf, deadline)) {
    }
    close(fd);
    const size_t end = buf.find("\r\n\r\n");
    if (buf.rfind("HTTP/1.", 0) != 0 || end == std::string::npos)
        return out;
    out.status = std::atoi(buf.c_str() + 9);
    out.headers = buf.substr(0, end);
    out.body = buf.substr(end + 4);
    return out;
}

class ws_client {
public:
    ws_client() = default;
    ws_client(const ws_client &) = delete;
    ws_client &operator=(const ws_client &) = delete;
    ~ws_client() { close_now(); }

    // Connects and performs the handshake for the protocol; `extra` holds
    // further request header lines, each ended by CRLF.
    bool open(int port, const std::string &protocol = "sv-ws", double seconds = 10, const std::string &extra = "")
    {
        fd_ = connect_loopback(port, from_.empty() ? nullptr : from_.c_str());
        if (fd_ < 0)
            return false;
        std::string req = "GET / HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) +
                          "\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                          "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n"
                          "Sec-WebSocket-Protocol: " + protocol + "\r\n" + extra + "\r\n";
        if (!send_all(fd_, req))
            return false;
        const auto deadline = clock::now() + std::chrono::milliseconds(static_cast<int>(seconds * 1000));
        size_t end;
        while ((end = in_.find("\r\n\r\n")) == std::string::npos)
            if (!read_some(fd_, in_, deadline))
                return false;
        const bool ok = in_.rfind("HTTP/1.1 101", 0) == 0;
        response_ = in_.substr(0, end);
        in_.erase(0, end + 4);
        return ok;
    }

    // One text message, cut into frames of `fragment` bytes when non-zero.
    bool send_text(std::string_view text, size_t fragment = 0)
    {
        if (!fragment || fragment >= text.size())
            return send_frame(0x1, true, text);
        bool first = true;
        while (!text.empty()) {
            const size_t n = std::min(fragment, text.size());
            if (!send_frame(first ? 0x1 : 0x0, n == text.size(), text.substr(0, n)))
                return false;
            first = false;
            text.remove_prefix(n);
        }
        return true;
    }

    // The next whole text frame, or nothing on time-out or close.
    std::optional<std::string> next_frame(double seconds = 10)
    {
        const auto deadline = clock::now() + std::chrono::milliseconds(static_cast<int>(seconds * 1000));
        for (;;) {
            if (auto f = parse_frame())
                return f;
            if (closed_ || !read_some(fd_, in_, deadline))
                return std::nullopt;
        }
    }

    // The next reply of the stream (the text between two delimiters),
    // joining frames as a browser's script does.
    std::optional<std::string> next_reply(double seconds = 10)
    {
        const auto deadline = clock::now() + std::chrono::milliseconds(static_cast<int>(seconds * 1000));
        for (;;) {
            const size_t cut = stream_.find("!@#");
            if (cut != std::string::npos) {
                std::string r = stream_.substr(0, cut);
                stream_.erase(0, cut + 3);
                note_session(r);
                return r;
            }
            const double left = std::chrono::duration<double>(deadline - clock::now()).count();
            if (left <= 0)
                return std::nullopt;
            auto f = next_frame(left);
            if (!f)
                return std::nullopt;
            stream_ += *f;
        }
    }

    // Waits for the next reply that holds `needle`, skipping others.
    std::optional<std::string> reply_with(std::string_view needle, double seconds = 10)
    {
        const auto deadline = clock::now() + std::chrono::milliseconds(static_cast<int>(seconds * 1000));
        for (;;) {
            const double left = std::chrono::duration<double>(deadline - clock::now()).count();
            if (left <= 0)
                return std::nullopt;
            auto r = next_reply(left);
            if (!r || r->find(needle) != std::string::npos)
                return r;
        }
    }

    // True when the server closed the connection within the time.
    bool wait_closed(double seconds = 10)
    {
        const auto deadline = clock::now() + std::chrono::milliseconds(static_cast<int>(seconds * 1000));
        while (!closed_) {
            parse_frame();
            if (closed_)
                break;
            if (!read_some(fd_, in_, deadline))
                return clock::now() < deadline;
        }
        return true;
    }

    void close_now()
    {
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = -1;
    }
    int fd() const { return fd_; }
    // Connections opened from now on come from this loopback address.
    void from(const std::string &address) { from_ = address; }
    // The handshake's response header lines.
    const std::string &response() const { return response_; }
    // The session id the server gave, as a page keeps it: the one set at
    // the handshake, or the one sent after a login or logout; "" when none.
    std::string session() const
    {
        if (!pushed_session_.empty())
            return pushed_session_;
        const std::string key = "ZWSUI_SESSION=";
        const size_t at = response_.find(key);
        if (at == std::string::npos)
            return "";
        return response_.substr(at + key.size(), response_.find(';', at) - at - key.size());
    }

private:
    // A reply of the "Session" parameter gives the session's new id.
    void note_session(const std::string &reply)
    {
        if (reply.find("\"ref\":\"websocket/session\"") == std::string::npos)
            return;
        const std::string key = "\"value\":\"";
        const size_t at = reply.find(key);
        if (at != std::string::npos)
            pushed_session_ = reply.substr(at + key.size(), reply.find('"', at + key.size()) - at - key.size());
    }

    bool send_frame(int opcode, bool fin, std::string_view payload)
    {
        std::string f;
        f += static_cast<char>((fin ? 0x80 : 0) | opcode);
        const size_t n = payload.size();
        if (n < 126) {
            f += static_cast<char>(0x80 | n);
        } else if (n < 65536) {
            f += static_cast<char>(0x80 | 126);
            f += static_cast<char>(n >> 8);
            f += static_cast<char>(n & 0xff);
        } else {
            f += static_cast<char>(0x80 | 127);
            for (int i = 7; i >= 0; --i)
                f += static_cast<char>((static_cast<uint64_t>(n) >> (8 * i)) & 0xff);
        }
        uint8_t mask[4];
        for (auto &m : mask)
            m = static_cast<uint8_t>(rng_());
        f.append(reinterpret_cast<char *>(mask), 4);
        for (size_t i = 0; i < n; ++i)
            f += static_cast<char>(payload[i] ^ mask[i % 4]);
        return send_all(fd_, f);
    }

    // A whole text message out of the buffer (continuations joined), or
    // nothing yet. Pings are answered, a close is noted.
    std::optional<std::string> parse_frame()
    {
        for (;;) {
            if (in_.size() < 2)
                return std::nullopt;
            const auto b = [&](size_t i) { return static_cast<uint8_t>(in_[i]); };
            const bool fin = b(0) & 0x80;
            const int opcode = b(0) & 0x0f;
            uint64_t len = b(1) & 0x7f;
            size_t head = 2;
            if (len == 126) {
                if (in_.size() < 4)
                    return std::nullopt;
                len = (uint64_t(b(2)) << 8) | b(3);
                head = 4;
            } else if (len == 127) {
                if (in_.size() < 10)
                    return std::nullopt;
                len = 0;
                for (int i = 0; i < 8; ++i)
                    len = (len << 8) | b(2 + i);
                head = 10;
            }
            if (in_.size() < head + len)
                return std::nullopt;
            std::string payload = in_.substr(head, len);
            in_.erase(0, head + len);
            ++frames_;
            if (opcode == 0x8) {
                closed_ = true;
                return std::nullopt;
            }
            if (opcode == 0x9) {
                send_frame(0xA, true, payload);
                continue;
            }
            if (opcode == 0xA)
                continue;
            partial_ += payload;
            if (fin) {
                std::string out;
                out.swap(partial_);
                return out;
            }
        }
    }

    int fd_ = -1;
    std::string in_, stream_, partial_, response_, from_, pushed_session_;
    bool closed_ = false;
    int frames_ = 0;
    std::minstd_rand rng_{std::random_device{}()};
};

// SHA-512 of the built-in users' default passwords (from sha512sum).
inline const std::string kAdminDigest = "e207dcb14f9dd1fe9ee7442657ef258fba0d21ebb1be57ade2506fe6971efd4225a7e62a23deb1c636a042"
                                        "a9a18d93d3cee145a165d447454b56515a5218f41b";
inline const std::string kAgentDigest = "3e65e31750ac26c15c3a062d1475ea7db175522e962e4eabc8a9e5adde938937d1ae13e7d2df455300bd1f"
                                        "c90980e8faf3561b35168c1c1f2fc804752c260102";

// Logs the client in as admin and waits until it reads "Operator".
inline bool login(ws_client &c)
{
    if (!c.send_text("websocket/auth admin_" + kAdminDigest))
        return false;
    while (auto r = c.reply_with("\"ref\":\"websocket/access\""))
        if (r->find("\"value\":\"Operator\"") != std::string::npos)
            return true;
    return false;
}

} // namespace wstest

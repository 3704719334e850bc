// CLI server dialogue: connection, one request and its reply, and the
// parsing of the reply into records.
#include "cli.h"

#include <kerrow/path.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <vector>

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace snmpbridge {

namespace {

// snmpd serves nothing while it waits for the bridge, so a CLI server that
// stalls must not stall the agent: a reply has this long to arrive whole.
constexpr std::chrono::milliseconds kReplyTime{800};
// A reply this large is not a reply of this server.
constexpr size_t kReplyMax = 4u << 20;

int FD_CLI = -1; // the connection to the CLI server; -1 while there is none

cli_transport g_transport;

enum class exchange_end { whole, broken, failed };

// Waits until fd is ready for events or the deadline passes.
bool wait_ready(int fd, short events, std::chrono::steady_clock::time_point deadline)
{
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            return false;
        pollfd p{fd, events, 0};
        const int n = ::poll(&p, 1, static_cast<int>(left.count()));
        if (n > 0)
            return true;
        if (n < 0 && errno != EINTR)
            return false;
    }
}

// One request and its reply on the held connection.
exchange_end exchange(std::string_view request, std::string &reply)
{
    const auto deadline = std::chrono::steady_clock::now() + kReplyTime;
    // Bytes left over from an earlier reply (one cut short by the time
    // bound) belong to no request: drop them. A peer that has gone shows
    // here already.
    std::array<char, 4096> buf;
    for (size_t stale = 0;;) {
        const ssize_t n = ::recv(FD_CLI, buf.data(), buf.size(), MSG_DONTWAIT);
        if (n > 0) {
            stale += static_cast<size_t>(n);
            if (stale > kReplyMax)
                return exchange_end::failed;
            continue;
        }
        if (n == 0)
            return exchange_end::broken;
        if (errno == EINTR)
            continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK)
            break;
        return exchange_end::broken;
    }

    std::string out(request);
    out.push_back('\n');
    size_t sent = 0;
    while (sent < out.size()) {
        const ssize_t n = ::send(FD_CLI, out.data() + sent, out.size() - sent, MSG_NOSIGNAL);
        if (n > 0) {
            sent += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            if (!wait_ready(FD_CLI, POLLOUT, deadline))
                return exchange_end::failed;
            continue;
        }
        return exchange_end::broken;
    }

    reply.clear();
    // The reply ends with an empty line: two line feeds at the end of what
    // has come so far.
    while (reply.size() < 2 || reply.compare(reply.size() - 2, 2, "\n\n") != 0) {
        if (!wait_ready(FD_CLI, POLLIN, deadline))
            return exchange_end::failed;
        const ssize_t n = ::recv(FD_CLI, buf.data(), buf.size(), 0);
        if (n == 0)
            return exchange_end::broken;
        if (n < 0) {
            if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)
                continue;
            return exchange_end::broken;
        }
        reply.append(buf.data(), static_cast<size_t>(n));
        if (reply.size() > kReplyMax)
            return exchange_end::failed;
    }
    return exchange_end::whole;
}

} // namespace

cli_data_t::~cli_data_t()
{
    std::unique_ptr<cli_data_t> n = std::move(next);
    while (n)
        n = std::move(n->next);
}

const std::string *cli_data_t::value() const
{
    const auto it = dict.find("Value");
    return it == dict.end() ? nullptr : &it->second;
}

std::string cli_socket_path()
{
    return kd::rooted("/var/run/cli-server.sock");
}

void close_cli_conn()
{
    if (FD_CLI >= 0)
        ::close(FD_CLI);
    FD_CLI = -1;
}

bool init_cli_conn()
{
    close_cli_conn();
    const std::string path = cli_socket_path();
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (path.size() >= sizeof(addr.sun_path))
        return false;
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0)
        return false;
    // Non-blocking: a server whose backlog is full answers EAGAIN at once
    // rather than holding the bridge.
    if (::connect(fd, reinterpret_cast<const sockaddr *>(&addr), sizeof(addr)) != 0) {
        ::close(fd);
        return false;
    }
    FD_CLI = fd;
    return true;
}

std::optional<std::string> cli_socket_comm(std::string_view request)
{
    std::string reply;
    for (int attempt = 0; attempt < 2; ++attempt) {
        if (FD_CLI < 0 && !init_cli_conn())
            return std::nullopt;
        const exchange_end end = exchange(request, reply);
        if (end == exchange_end::whole)
            return reply;
        close_cli_conn();
        if (end == exchange_end::failed)
            return std::nullopt;
    }
    return std::nullopt;
}

void set_cli_transport(cli_transport t)
{
    g_transport = std::move(t);
}

std::string str_ltrim(std::string_view s)
{
    const size_t b = s.find_first_not_of(" \t\r\n\v\f");
    return b == std::string_view::npos ? std::string() : std::string(s.substr(b));
}

std::string str_rtrim(std::string_view s)
{
    const size_t e = s.find_last_not_of(" \t\r\n\v\f");
    return e == std::string_view::npos ? std::string() : std::string(s.substr(0, e + 1));
}

std::string str_trim(std::string_view s)
{
    return str_ltrim(str_rtrim(s));
}

std::string str_remquotes(std::string_view s)
{
    if (!s.empty() && s.front() == '"')
        s.remove_prefix(1);
    if (!s.empty() && s.back() == '"')
        s.remove_suffix(1);
    return std::string(s);
}

std::string str_unquote(std::string_view s)
{
    if (s.size() < 2 || s.front() != '"' || s.back() != '"')
        return str_remquotes(s);
    s = s.substr(1, s.size() - 2);
    std::string out;
    out.reserve(s.size());
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '\\' && i + 1 < s.size() && (s[i + 1] == '"' || s[i + 1] == '\\'))
            ++i;
        out.push_back(s[i]);
    }
    return out;
}

namespace {

// Where a value that starts at v ends (exclusive) in line.
size_t value_end(std::string_view line, std::string_view key, size_t v)
{
    if (v < line.size() && line[v] == '"') {
        size_t close = std::string_view::npos;
        for (size_t i = v + 1; i < line.size(); ++i) {
            if (line[i] == '\\') {
                ++i;
                continue;
            }
            if (line[i] == '"') {
                close = i;
                break;
            }
        }
        if (close == std::string_view::npos) {
            // No closing quote: the value is taken as 248 characters less the
            // key's length, kept between its own start and the line's end.
            const long want = static_cast<long>(v) + 248 - static_cast<long>(key.size());
            close = static_cast<size_t>(std::max<long>(static_cast<long>(v), want));
            close = std::min(close, line.size() - 1);
        }
        return line.find(", ", close + 1);
    }
    if (v < line.size() && line[v] == '[') {
        const size_t bracket = line.find(']', v);
        return line.find(", ", bracket == std::string_view::npos ? v : bracket);
    }
    return line.find(", ", v);
}

std::unique_ptr<cli_data_t> parse_record(std::string_view line)
{
    auto rec = std::make_unique<cli_data_t>();
    bool any = false;
    size_t p = 0;
    while (p < line.size()) {
        const size_t colon = line.find(": ", p);
        if (colon == std::string_view::npos)
            break;
        const std::string key = str_ltrim(line.substr(p, colon - p));
        const size_t v = colon + 2;
        const bool plain = key == "Label" || key == "Type" || key == "Readwrite" || key == "Ref" || key == "Count";
        size_t end = plain ? line.find(", ", v) : value_end(line, key, v);
        if (end == std::string_view::npos)
            end = line.size();
        std::string value(line.substr(v, end - v));
        any = true;
        if (key == "Label")
            rec->label = std::move(value);
        else if (key == "Type")
            rec->type = std::move(value);
        else if (key == "Readwrite")
            rec->readwrite = std::move(value);
        else if (key == "Ref")
            rec->ref = std::move(value);
        else
            rec->dict.insert_or_assign(key, std::move(value));
        p = end == line.size() ? end : end + 2;
    }
    return any ? std::move(rec) : nullptr;
}

} // namespace

std::unique_ptr<cli_data_t> parse_cli_reply(std::string_view reply)
{
    if (reply.empty() || reply.find("No results found.") != std::string_view::npos)
        return nullptr;
    std::vector<std::string_view> lines;
    for (size_t p = 0; p <= reply.size();) {
        size_t e = reply.find('\n', p);
        if (e == std::string_view::npos)
            e = reply.size();
        if (e > p)
            lines.push_back(reply.substr(p, e - p));
        p = e + 1;
    }
    std::unique_ptr<cli_data_t> first;
    cli_data_t *last = nullptr;
    for (size_t i = 0; i < lines.size(); ++i) {
        std::string line(lines[i]);
        // A record may go on over several lines, each but the last ending
        // with ",".
        while (!line.empty() && line.back() == ',' && i + 1 < lines.size()) {
            line += ' ';
            line += lines[++i];
        }
        auto rec = parse_record(line);
        if (!rec || rec->type == "None")
            continue;
        cli_data_t *raw = rec.get();
        if (last)
            last->next = std::move(rec);
        else
            first = std::move(rec);
        last = raw;
    }
    return first;
}

std::unique_ptr<cli_data_t> cli(std::string_view request, reply_cache *cache, bool *unreachable)
{
    if (unreachable)
        *unreachable = false;
    std::string reply;
    const auto cached = cache ? cache->find(std::string(request)) : reply_cache::iterator{};
    if (cache && cached != cache->end()) {
        reply = cached->second;
    } else {
        std::optional<std::string> got = g_transport ? g_transport(request) : cli_socket_comm(request);
        if (!got) {
            // Not cached: the next operation asks again.
            if (unreachable)
                *unreachable = true;
            return nullptr;
        }
        reply = std::move(*got);
        if (cache)
            cache->emplace(std::string(request), reply);
    }
    return parse_cli_reply(reply);
}

} // namespace snmpbridge

// The card's parameters through its web front end: a websocket client of
// the "sv-ws" dialogue. Every CLI request becomes a search of the tree (a
// route with trailing stars) followed by a search whose reply marks the
// end; what else arrives meanwhile are nodes the card pushes because their
// values changed (current values too).
#include "front_end.h"

#include <jansson.h>
#include <openssl/evp.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <iostream>
#include <map>
#include <memory>
#include <random>

namespace cliserver {
namespace {

using clock = std::chrono::steady_clock;
constexpr std::chrono::seconds kReplyTime{5};
constexpr std::string_view kDelimiter = "!@#";

std::string sha512_hex(std::string_view text)
{
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int n = 0;
    if (!EVP_Digest(text.data(), text.size(), md, &n, EVP_sha512(), nullptr))
        return {};
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (unsigned i = 0; i < n; ++i) {
        out += digits[md[i] >> 4];
        out += digits[md[i] & 15];
    }
    return out;
}

bool wait_readable(int fd, clock::time_point deadline)
{
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - clock::now()).count();
        if (left <= 0)
            return false;
        pollfd p{fd, POLLIN, 0};
        const int r = ::poll(&p, 1, static_cast<int>(left));
        if (r > 0)
            return true;
        if (r < 0 && errno != EINTR)
            return false;
    }
}

bool send_all(int fd, std::string_view data)
{
    while (!data.empty()) {
        const ssize_t n = ::send(fd, data.data(), data.size(), MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        data.remove_prefix(static_cast<size_t>(n));
    }
    return true;
}

// A client frame: final, masked.
std::string frame(uint8_t opcode, std::string_view payload)
{
    std::string out;
    out += static_cast<char>(0x80 | opcode);
    const uint64_t n = payload.size();
    if (n < 126) {
        out += static_cast<char>(0x80 | n);
    } else if (n < 65536) {
        out += static_cast<char>(0x80 | 126);
        out += static_cast<char>(n >> 8);
        out += static_cast<char>(n & 0xff);
    } else {
        out += static_cast<char>(0x80 | 127);
        for (int shift = 56; shift >= 0; shift -= 8)
            out += static_cast<char>((n >> shift) & 0xff);
    }
    static std::mt19937 gen{std::random_device{}()};
    char mask[4];
    for (char &m : mask)
        m = static_cast<char>(gen());
    out.append(mask, 4);
    for (size_t i = 0; i < payload.size(); ++i)
        out += static_cast<char>(payload[i] ^ mask[i % 4]);
    return out;
}

using json_ptr = std::unique_ptr<json_t, decltype(&json_decref)>;

json_ptr parse(std::string_view text)
{
    json_error_t err;
    return {json_loadb(text.data(), text.size(), 0, &err), json_decref};
}

std::string text_of(const json_t *v)
{
    if (json_is_string(v))
        return json_string_value(v);
    if (json_is_integer(v))
        return std::to_string(json_integer_value(v));
    if (json_is_true(v))
        return "true";
    if (json_is_false(v))
        return "false";
    return {};
}

void collect(const json_t *node, std::vector<entry> &out)
{
    if (!json_is_object(node))
        return;
    entry e;
    e.ref = text_of(json_object_get(node, "ref"));
    e.label = text_of(json_object_get(node, "label"));
    e.type = text_of(json_object_get(node, "type"));
    e.help = text_of(json_object_get(node, "help"));
    e.readwrite = json_is_true(json_object_get(node, "readonly"))    ? "Read Only"
                  : json_is_true(json_object_get(node, "writeonly")) ? "Write Only"
                                                                     : "Read Write";
    if (const json_t *v = json_object_get(node, "value"))
        e.value = text_of(v);
    const json_t *choices = json_object_get(node, "choices");
    size_t i;
    const json_t *c;
    json_array_foreach(choices, i, c) e.choices.push_back(text_of(c));
    if (!e.ref.empty())
        out.push_back(std::move(e));
    const json_t *params = json_object_get(node, "params");
    const char *key;
    const json_t *child;
    json_object_foreach(const_cast<json_t *>(params), key, child) collect(child, out);
}

bool is_container(const entry &e) { return e.type == "List" || e.type == "Table"; }

} // namespace

std::vector<entry> nodes_of(std::string_view reply)
{
    std::vector<entry> out;
    const json_ptr top = parse(reply);
    const char *key;
    const json_t *node;
    json_object_foreach(top.get(), key, node) collect(node, out);
    return out;
}

bool is_end_reply(std::string_view reply)
{
    const json_ptr top = parse(reply);
    if (!json_is_object(top.get()) || json_object_size(top.get()) != 1)
        return false;
    const char *key;
    const json_t *node;
    json_object_foreach(top.get(), key, node)
    {
        const json_t *ref = json_object_get(node, "ref");
        const json_t *params = json_object_get(node, "params");
        return json_is_string(ref) && json_string_value(ref) == kEndRoute && json_is_string(params) &&
               std::string_view(json_string_value(params)) == "hidden";
    }
    return false;
}

front_end::front_end(int port, std::string user, std::string password)
    : port_(port), user_(std::move(user)), digest_(sha512_hex(password))
{
}

front_end::~front_end() { close(); }

void front_end::close()
{
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = -1;
    raw_.clear();
    text_.clear();
    message_.clear();
}

bool front_end::open()
{
    close();
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port_));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const std::string host = "127.0.0.1:" + std::to_string(port_);
    if (fd_ < 0 || ::connect(fd_, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 ||
        !send_all(fd_, "GET / HTTP/1.1\r\nHost: " + host +
                           "\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                           "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n"
                           "Sec-WebSocket-Protocol: sv-ws\r\n\r\n")) {
        std::cerr << "cliserver: the web front end on " << host << " does not answer\n";
        close();
        return false;
    }
    const auto deadline = clock::now() + kReplyTime;
    size_t end;
    while ((end = raw_.find("\r\n\r\n")) == std::string::npos) {
        char buf[4096];
        const ssize_t n = wait_readable(fd_, deadline) ? ::recv(fd_, buf, sizeof buf, 0) : -1;
        if (n <= 0) {
            std::cerr << "cliserver: no websocket handshake from " << host << "\n";
            close();
            return false;
        }
        raw_.append(buf, static_cast<size_t>(n));
    }
    if (raw_.compare(0, 12, "HTTP/1.1 101") != 0) {
        std::cerr << "cliserver: the web front end refused the websocket: " << raw_.substr(0, raw_.find('\r'))
                  << "\n";
        close();
        return false;
    }
    raw_.erase(0, end + 4);
    // The password never goes out: the user, "_" and its SHA-512 digest.
    if (!user_.empty() && !send_text("websocket/auth " + user_ + "_" + digest_)) {
        close();
        return false;
    }
    return true;
}

bool front_end::send_text(std::string_view text)
{
    return fd_ >= 0 && send_all(fd_, frame(0x1, text));
}

// Cuts the frames received so far; false once the connection is over.
bool front_end::read_frames(clock::time_point deadline)
{
    char buf[65536];
    const ssize_t n = wait_readable(fd_, deadline) ? ::recv(fd_, buf, sizeof buf, 0) : -1;
    if (n <= 0)
        return false;
    raw_.append(buf, static_cast<size_t>(n));
    for (;;) {
        if (raw_.size() < 2)
            return true;
        const auto b0 = static_cast<uint8_t>(raw_[0]), b1 = static_cast<uint8_t>(raw_[1]);
        size_t at = 2;
        uint64_t len = b1 & 0x7f;
        const size_t ext = len == 126 ? 2 : len == 127 ? 8 : 0;
        if (raw_.size() < at + ext)
            return true;
        if (ext) {
            len = 0;
            for (size_t i = 0; i < ext; ++i)
                len = (len << 8) | static_cast<uint8_t>(raw_[at + i]);
            at += ext;
        }
        const bool masked = b1 & 0x80;
        if (raw_.size() < at + (masked ? 4 : 0) + len)
            return true;
        std::string payload = raw_.substr(at + (masked ? 4 : 0), len);
        if (masked)
            for (size_t i = 0; i < payload.size(); ++i)
                payload[i] = static_cast<char>(payload[i] ^ raw_[at + i % 4]);
        raw_.erase(0, at + (masked ? 4 : 0) + len);
        switch (b0 & 0x0f) {
        case 0x0:
        case 0x1:
        case 0x2:
            message_ += payload;
            if (b0 & 0x80) {
                text_ += message_;
                message_.clear();
            }
            break;
        case 0x8:
            return false;
        case 0x9:
            if (!send_all(fd_, frame(0xA, payload)))
                return false;
            break;
        default:
            break;
        }
    }
}

std::optional<std::string> front_end::next_reply(clock::time_point deadline)
{
    for (;;) {
        const size_t cut = text_.find(kDelimiter);
        if (cut != std::string::npos) {
            std::string reply = text_.substr(0, cut);
            text_.erase(0, cut + kDelimiter.size());
            return reply;
        }
        if (!read_frames(deadline))
            return std::nullopt;
    }
}

std::optional<std::vector<entry>> front_end::ask(std::string_view request)
{
    std::vector<entry> out;
    if (request.empty())
        return out;
    // What to send, and which of the nodes found answer.
    std::string set, query, ref;
    bool listing = false;
    if (const size_t blank = request.find(' '); blank != std::string_view::npos) {
        ref = request.substr(0, blank);
        const std::string_view value = request.substr(blank + 1);
        set = ref + " " + (value.empty() ? std::string("\"\"") : std::string(value));
        query = ref + "*";
    } else if (request.back() == '/') {
        listing = true;
        ref = request == "/" ? "" : std::string(request);
        query = ref + "**";
    } else {
        ref = request;
        query = ref + "*";
    }
    // A connection the card closed (it restarted) is opened again once.
    std::vector<entry> found;
    bool ended = false;
    for (int attempt = 0; attempt < 2 && !ended; ++attempt) {
        if (fd_ < 0 && !open())
            return std::nullopt;
        if (!set.empty() && !send_text(set)) {
            close();
            continue;
        }
        set.clear(); // sent: not repeated, it may have been applied
        if (!send_text(query) || !send_text(kEndQuery)) {
            close();
            continue;
        }
        found.clear();
        const auto deadline = clock::now() + kReplyTime;
        std::optional<std::string> reply;
        while (!ended && (reply = next_reply(deadline)))
            if (!(ended = is_end_reply(*reply)))
                for (entry &e : nodes_of(*reply))
                    found.push_back(std::move(e));
        if (!ended) {
            // A late reply must not answer the next request.
            close();
            if (clock::now() >= deadline)
                return std::nullopt;
        }
    }
    if (!ended)
        return std::nullopt;
    // A node may be there twice (found, and pushed): the last is the newest.
    std::map<std::string, size_t> last;
    for (size_t i = 0; i < found.size(); ++i)
        last[found[i].ref] = i;
    for (size_t i = 0; i < found.size(); ++i) {
        entry &e = found[i];
        if (last[e.ref] != i)
            continue;
        if (listing ? (!is_container(e) && e.ref.starts_with(ref)) : e.ref == ref) {
            if (is_container(e)) {
                e.type = "None";
                e.value.reset();
            }
            out.push_back(std::move(e));
        }
    }
    return out;
}

} // namespace cliserver

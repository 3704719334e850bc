// The proxy's wire format between the cards of one chassis: framed messages
// on a TCP stream, each an 8-byte header (type, payload length) and the
// payload. Integers are 32 bits little-endian (the cards are all of one
// kind); every field is written and read byte by byte.
//
// Everything here is plain code without the framework: the plug-in, its
// tests and the fuzz target link it directly.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace proxy {

enum pm_type : uint32_t {
    PROXY_MSG_PARAM = 0,
    PROXY_MSG_CUVENT = 1,
    PROXY_MSG_CTRL_PARAM_FINISH = 2,
    PROXY_MSG_REMOTE_VERSION_READY = 3,
    PROXY_MSG_TIME_SYNC = 4,
    PROXY_MSG_CHASSIS_NUMBER = 5,
    PROXY_MSG_CHASSIS_CONF = 6,
    PROXY_MSG_REBOOT = 7,
    PROXY_MSG_SEND_STORE = 8,
    PROXY_MSG_APPLY = 9,
    PROXY_MSG_APPLY_CHECK_READY = 10,
    PROXY_MSG_ADD = 11,
    PROXY_MSG_END = 12 // bound; never sent
};

enum proxy_verctl_active_taskid : uint32_t {
    PROXY_VER_CTRL_TASK_NONE_ACTIVE = 0,
    PROXY_VER_CTRL_TASK_FWPKGADD = 1,
    PROXY_VER_CTRL_TASK_INSTALL = 2,
    PROXY_VER_CTRL_TASK_UNINSTALL = 3,
    PROXY_VER_CTRL_TASK_SELECT = 4
};

constexpr size_t kHeaderSize = 8;        // proxy_msg_header on the wire
constexpr size_t kParamFixedSize = 36;   // the record's fixed part
constexpr size_t kCuventNameSize = 50;   // proxy_cuvent_header.name
constexpr size_t kCuventHeaderSize = 56; // name, 2 bytes padding, emit_ctx_len
constexpr uint32_t kRebootMagic = 0xDEADBEEF;
constexpr uint32_t kChassisNodes = 8;
// Largest payload accepted from a peer. A parameter record holds a route
// (at most 255 characters), a label, a value and an option list; 1 MiB
// leaves room for long string values while a bogus length cannot make a
// receive buffer grow without end.
constexpr uint32_t kMaxPayload = 1u << 20;
// Receive buffers start at this size and double as needed.
constexpr size_t kInitialBufSize = 1024;

struct proxy_msg_header {
    uint32_t type; // pm_type
    uint32_t len;  // payload bytes that follow
};

// A whole message: header and payload (owned).
struct proxy_msg {
    proxy_msg_header hdr{};
    std::vector<uint8_t> payload;
};

// A parameter as it travels: the fixed part and four texts. A text that
// does not apply (a list's value, a number's options) is empty.
struct proxy_param {
    uint32_t type = 0;      // param_type; 0 (none) marks a removed parameter
    uint32_t readwrite = 0; // param_control
    int32_t min = 0, max = 0, step = 0;
    std::string label;
    std::string scope; // the parameter's route
    std::string value;
    std::string options; // choices or set options joined by ","
};

// Fixed part plus the four texts.
size_t proxy_param_get_size(const proxy_param &rec);
// Replaces the route.
void proxy_param_set_scope(proxy_param &rec, std::string_view scope);

// ---- building messages ----
proxy_msg proxy_msg_param(const proxy_param &rec);
// An event: its name (cut to 50 characters) and a copy of the data.
proxy_msg proxy_msg_init_cuvent(std::string_view name, std::span<const uint8_t> data);
// Any other type with a copy of the attachment as payload.
proxy_msg proxy_msg_init_control(pm_type type, std::span<const uint8_t> attachment);
proxy_msg proxy_msg_init_u32(pm_type type, uint32_t value);
// Header and payload as they go on the wire.
std::vector<uint8_t> proxy_msg_bytes(const proxy_msg &msg);
void proxy_msg_append_bytes(const proxy_msg &msg, std::vector<uint8_t> &out);

// ---- reading payloads (each refuses anything not exactly well formed) ----
// A record whose four lengths add up to the payload, type 0..6, control 0..3,
// texts without zero bytes.
std::optional<proxy_param> proxy_param_ctor_msg_param(std::span<const uint8_t> payload);

struct cuvent_view {
    std::string name;               // at most 50 characters, never empty
    std::span<const uint8_t> data;  // inside the payload; empty when none
};
std::optional<cuvent_view> proxy_cuvent_parse(std::span<const uint8_t> payload);

// The payload length a known type must have, or -1 when any length up to
// kMaxPayload goes (parameter records and events are checked by their own
// readers). Unknown types: -1 as well (skipped by the receiver).
long expected_payload_len(uint32_t type);
uint32_t read_u32(std::span<const uint8_t> bytes, size_t offset); // offset + 4 <= size

// ---- the receive side of a connection ----
// Bytes arrive in any cuts; complete messages come out in order. A header
// announcing more than kMaxPayload, or a known type with the wrong length,
// makes the stream bad for good (the connection must be reset).
class framer {
public:
    struct message {
        uint32_t type;
        std::span<const uint8_t> payload; // valid until the next space() or clear()
    };
    enum class result { none, message, bad };

    // Free room to receive into (the buffer doubles once it is 90 % full,
    // up to what the largest message needs); empty only when the stream is bad.
    std::span<uint8_t> space();
    void commit(size_t n);
    // The next complete message, or none (wait for more bytes), or bad.
    result next(message &out, std::string &why);
    // Drops what next() consumed, keeping a partial message at the start.
    void compact();
    void clear();
    bool bad() const { return bad_; }
    size_t buffered() const { return len_ - pos_; }
    size_t capacity() const { return buf_.size(); }

private:
    std::vector<uint8_t> buf_;
    size_t len_ = 0; // bytes received
    size_t pos_ = 0; // start of the first message not yet handed out
    bool bad_ = false;
};

} // namespace proxy

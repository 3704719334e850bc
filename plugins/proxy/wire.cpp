// Encoding and checking of proxy messages.
#include "wire.h"

#include <algorithm>
#include <cstring>
#include <limits>

namespace proxy {

namespace {

// Reading stops for good at the first overrun; callers check bad once.
struct byte_reader {
    const uint8_t *p;
    size_t left;
    bool bad = false;
    bool need(size_t n)
    {
        if (bad || n > left) {
            bad = true;
            left = 0;
        }
        return !bad;
    }
    uint32_t u32()
    {
        if (!need(4))
            return 0;
        const uint32_t v = uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
        p += 4;
        left -= 4;
        return v;
    }
    std::string_view text(size_t n)
    {
        if (!need(n))
            return {};
        std::string_view v(reinterpret_cast<const char *>(p), n);
        p += n;
        left -= n;
        return v;
    }
    std::span<const uint8_t> bytes(size_t n)
    {
        if (!need(n))
            return {};
        std::span<const uint8_t> v(p, n);
        p += n;
        left -= n;
        return v;
    }
};

void put_u32(std::vector<uint8_t> &out, uint32_t v)
{
    for (int s = 0; s < 32; s += 8)
        out.push_back(uint8_t(v >> s));
}

void put_text(std::vector<uint8_t> &out, std::string_view t) { out.insert(out.end(), t.begin(), t.end()); }

bool has_zero(std::string_view t) { return t.find('\0') != std::string_view::npos; }

} // namespace

uint32_t read_u32(std::span<const uint8_t> b, size_t off)
{
    return uint32_t(b[off]) | uint32_t(b[off + 1]) << 8 | uint32_t(b[off + 2]) << 16 | uint32_t(b[off + 3]) << 24;
}

size_t proxy_param_get_size(const proxy_param &rec)
{
    return kParamFixedSize + rec.label.size() + rec.scope.size() + rec.value.size() + rec.options.size();
}

void proxy_param_set_scope(proxy_param &rec, std::string_view scope) { rec.scope.assign(scope); }

proxy_msg proxy_msg_param(const proxy_param &rec)
{
    proxy_msg m;
    m.hdr.type = PROXY_MSG_PARAM;
    std::vector<uint8_t> &out = m.payload;
    out.reserve(proxy_param_get_size(rec));
    put_u32(out, rec.type);
    put_u32(out, rec.readwrite);
    put_u32(out, uint32_t(rec.min));
    put_u32(out, uint32_t(rec.max));
    put_u32(out, uint32_t(rec.step));
    for (const std::string *t : {&rec.label, &rec.scope, &rec.value, &rec.options})
        put_u32(out, uint32_t(t->size()));
    for (const std::string *t : {&rec.label, &rec.scope, &rec.value, &rec.options})
        put_text(out, *t);
    m.hdr.len = uint32_t(out.size());
    return m;
}

proxy_msg proxy_msg_init_cuvent(std::string_view name, std::span<const uint8_t> data)
{
    proxy_msg m;
    m.hdr.type = PROXY_MSG_CUVENT;
    std::vector<uint8_t> &out = m.payload;
    out.assign(kCuventNameSize + 2, 0); // name padded with zero bytes, then 2 bytes padding
    std::memcpy(out.data(), name.data(), std::min(name.size(), kCuventNameSize));
    put_u32(out, uint32_t(data.size()));
    out.insert(out.end(), data.begin(), data.end());
    m.hdr.len = uint32_t(out.size());
    return m;
}

proxy_msg proxy_msg_init_control(pm_type type, std::span<const uint8_t> attachment)
{
    proxy_msg m;
    m.hdr.type = type;
    m.payload.assign(attachment.begin(), attachment.end());
    m.hdr.len = uint32_t(m.payload.size());
    return m;
}

proxy_msg proxy_msg_init_u32(pm_type type, uint32_t value)
{
    proxy_msg m;
    m.hdr.type = type;
    put_u32(m.payload, value);
    m.hdr.len = 4;
    return m;
}

void proxy_msg_append_bytes(const proxy_msg &msg, std::vector<uint8_t> &out)
{
    put_u32(out, msg.hdr.type);
    put_u32(out, msg.hdr.len);
    out.insert(out.end(), msg.payload.begin(), msg.payload.end());
}

std::vector<uint8_t> proxy_msg_bytes(const proxy_msg &msg)
{
    std::vector<uint8_t> out;
    out.reserve(kHeaderSize + msg.payload.size());
    proxy_msg_append_bytes(msg, out);
    return out;
}

std::optional<proxy_param> proxy_param_ctor_msg_param(std::span<const uint8_t> payload)
{
    byte_reader r{payload.data(), payload.size()};
    proxy_param rec;
    rec.type = r.u32();
    rec.readwrite = r.u32();
    rec.min = int32_t(r.u32());
    rec.max = int32_t(r.u32());
    rec.step = int32_t(r.u32());
    uint64_t lens[4];
    uint64_t sum = 0;
    for (uint64_t &l : lens)
        sum += l = r.u32(); // four 32-bit values cannot overflow 64 bits
    if (r.bad || sum != r.left || rec.type > 6 || rec.readwrite > 3)
        return std::nullopt;
    std::string *texts[4] = {&rec.label, &rec.scope, &rec.value, &rec.options};
    for (int i = 0; i < 4; ++i) {
        const std::string_view t = r.text(size_t(lens[i]));
        if (has_zero(t))
            return std::nullopt; // the texts are used as C strings
        texts[i]->assign(t);
    }
    if (r.bad || r.left != 0)
        return std::nullopt;
    return rec;
}

std::optional<cuvent_view> proxy_cuvent_parse(std::span<const uint8_t> payload)
{
    byte_reader r{payload.data(), payload.size()};
    const std::string_view raw = r.text(kCuventNameSize);
    r.bytes(2); // padding
    const uint32_t len = r.u32();
    if (r.bad || len != r.left)
        return std::nullopt;
    cuvent_view v;
    v.name.assign(raw.substr(0, std::min(raw.find('\0'), raw.size()))); // 50 characters have no terminator
    if (v.name.empty())
        return std::nullopt;
    v.data = r.bytes(len);
    return v;
}

long expected_payload_len(uint32_t type)
{
    switch (type) {
    case PROXY_MSG_CTRL_PARAM_FINISH:
    case PROXY_MSG_REMOTE_VERSION_READY:
    case PROXY_MSG_CHASSIS_NUMBER:
    case PROXY_MSG_REBOOT:
    case PROXY_MSG_APPLY_CHECK_READY:
    case PROXY_MSG_ADD: return 4;
    case PROXY_MSG_TIME_SYNC: return 8;
    case PROXY_MSG_CHASSIS_CONF: return 4 * kChassisNodes;
    case PROXY_MSG_SEND_STORE:
    case PROXY_MSG_APPLY: return 0;
    default: return -1;
    }
}

std::span<uint8_t> framer::space()
{
    if (bad_)
        return {};
    if (buf_.empty())
        buf_.resize(kInitialBufSize);
    // The largest message fits in the first power of two above it; past
    // that the buffer stops growing (a complete message is always taken
    // out before more is read).
    constexpr size_t kMaxBuf = size_t(kMaxPayload) * 2;
    if (len_ * 10 >= buf_.size() * 9 && buf_.size() < kMaxBuf)
        buf_.resize(std::min(buf_.size() * 2, kMaxBuf));
    return {buf_.data() + len_, buf_.size() - len_};
}

void framer::commit(size_t n) { len_ = std::min(len_ + n, buf_.size()); }

framer::result framer::next(message &out, std::string &why)
{
    if (bad_)
        return result::bad;
    if (len_ - pos_ < kHeaderSize)
        return result::none;
    const std::span<const uint8_t> avail(buf_.data() + pos_, len_ - pos_);
    const uint32_t type = read_u32(avail, 0), len = read_u32(avail, 4);
    const long want = expected_payload_len(type);
    if (len > kMaxPayload || (want >= 0 && len != uint32_t(want))) {
        why = "type " + std::to_string(type) + " with payload length " + std::to_string(len);
        bad_ = true;
        return result::bad;
    }
    if (avail.size() - kHeaderSize < len)
        return result::none;
    out.type = type;
    out.payload = avail.subspan(kHeaderSize, len);
    pos_ += kHeaderSize + len;
    return result::message;
}

void framer::compact()
{
    if (pos_ == 0)
        return;
    std::memmove(buf_.data(), buf_.data() + pos_, len_ - pos_);
    len_ -= pos_;
    pos_ = 0;
}

void framer::clear()
{
    buf_.clear();
    buf_.shrink_to_fit();
    len_ = pos_ = 0;
    bad_ = false;
}

} // namespace proxy

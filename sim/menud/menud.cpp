#include "menud.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

namespace menud {

namespace {

constexpr size_t kRecord = 4096, kHeader = 20;

uint32_t get32(const uint8_t *p)
{
    uint32_t v;
    std::memcpy(&v, p, 4);
    return v;
}

void put32(uint8_t *p, uint32_t v) { std::memcpy(p, &v, 4); }

message decode(const uint8_t *p, size_t n)
{
    message m;
    m.length = n;
    uint8_t head[kHeader] = {};
    std::memcpy(head, p, std::min(n, kHeader));
    m.type = get32(head);
    m.sender = int32_t(get32(head + 4));
    m.id = get32(head + 8);
    m.aux2 = get32(head + 12);
    m.hardware_index = int32_t(get32(head + 16));
    if (n > kHeader) {
        const char *text = reinterpret_cast<const char *>(p + kHeader);
        m.text.assign(text, strnlen(text, n - kHeader));
    }
    return m;
}

std::string base_name(const std::string &path)
{
    std::string base = path.substr(path.rfind('/') + 1);
    return base.substr(0, base.rfind('.'));
}

} // namespace

std::string queue_name(std::string_view base)
{
    std::string name(base);
    if (const char *suffix = std::getenv("KD_MQ_SUFFIX"))
        name += suffix;
    return name;
}

std::vector<uint8_t> encode(uint32_t type, std::string_view text, uint32_t id, int32_t hardware_index,
                            size_t length)
{
    std::vector<uint8_t> rec(kRecord, 0);
    put32(rec.data(), type);
    put32(rec.data() + 4, 0);
    put32(rec.data() + 8, id);
    put32(rec.data() + 12, uint32_t(text.size()));
    put32(rec.data() + 16, uint32_t(hardware_index));
    std::memcpy(rec.data() + kHeader, text.data(), std::min(text.size(), kRecord - kHeader));
    rec.resize(std::min(length, kRecord));
    return rec;
}

daemon::daemon() : daemon(queue_name("/menumgr"), queue_name("/solvera_plugin_fp")) {}

daemon::daemon(std::string daemon_queue, std::string plugin_queue)
    : daemon_queue_(std::move(daemon_queue)), plugin_queue_(std::move(plugin_queue))
{
    mq_attr attr{};
    attr.mq_maxmsg = 10;
    attr.mq_msgsize = kRecord;
    // The plug-in may have made the queue first (with default attributes).
    qd_ = mq_open(daemon_queue_.c_str(), O_RDONLY | O_CREAT | O_NONBLOCK, 0666, &attr);
    if (qd_ == mqd_t(-1))
        throw std::runtime_error("menud: cannot open " + daemon_queue_ + ": " + std::strerror(errno));
    stop_fd_ = eventfd(0, EFD_CLOEXEC);
    if (stop_fd_ < 0) {
        mq_close(qd_);
        throw std::runtime_error("menud: eventfd failed");
    }
    thread_ = std::thread([this] { run(); });
}

daemon::~daemon()
{
    const uint64_t one = 1;
    [[maybe_unused]] ssize_t w = ::write(stop_fd_, &one, sizeof one);
    thread_.join();
    ::close(stop_fd_);
    mq_close(qd_);
    mq_unlink(daemon_queue_.c_str());
}

void daemon::answer_registrations(bool on, std::string name, uint32_t reply_type)
{
    std::lock_guard lock(mutex_);
    answer_reg_ = on;
    reg_name_ = std::move(name);
    reg_reply_type_ = reply_type;
}

void daemon::answer_unregistrations(bool on)
{
    std::lock_guard lock(mutex_);
    answer_unreg_ = on;
}

void daemon::on_message(std::function<void(const message &)> fn)
{
    std::lock_guard lock(mutex_);
    on_message_ = std::move(fn);
}

bool daemon::send_raw(const std::vector<uint8_t> &bytes) { return send_to(plugin_queue_, bytes); }

bool send_to(const std::string &queue, const std::vector<uint8_t> &bytes)
{
    const mqd_t q = mq_open(queue.c_str(), O_WRONLY | O_NONBLOCK);
    if (q == mqd_t(-1))
        return false;
    static const char none = 0; // an empty message still needs a valid address
    const int r = mq_send(q, bytes.empty() ? &none : reinterpret_cast<const char *>(bytes.data()), bytes.size(), 0);
    const int err = errno;
    mq_close(q);
    errno = err;
    return r == 0;
}

bool daemon::send(uint32_t type, std::string_view text, uint32_t id, int32_t hardware_index, size_t length)
{
    return send_raw(encode(type, text, id, hardware_index, length));
}

std::vector<message> daemon::received() const
{
    std::lock_guard lock(mutex_);
    return received_;
}

std::vector<message> daemon::received(uint32_t type) const
{
    std::vector<message> out;
    for (auto &m : received())
        if (m.type == type)
            out.push_back(m);
    return out;
}

void daemon::forget()
{
    std::lock_guard lock(mutex_);
    received_.clear();
}

bool daemon::wait_for(const std::function<bool(const std::vector<message> &)> &done, double seconds)
{
    std::unique_lock lock(mutex_);
    return cv_.wait_for(lock, std::chrono::duration<double>(seconds), [&] { return done(received_); });
}

void daemon::answer(const message &m)
{
    std::string name;
    uint32_t type = 0;
    {
        std::lock_guard lock(mutex_);
        if (m.type == register_top || m.type == register_sub) {
            if (!answer_reg_)
                return;
            name = reg_name_.empty() ? base_name(m.text) : reg_name_;
            type = reg_reply_type_ ? reg_reply_type_ : m.type + 1;
        } else if (m.type == unregister_top || m.type == unregister_sub) {
            if (!answer_unreg_)
                return;
            name = m.text;
            type = m.type + 1;
        } else {
            return;
        }
    }
    send(type, name);
}

void daemon::run()
{
    mq_attr attr{};
    mq_getattr(qd_, &attr);
    std::vector<uint8_t> buf(size_t(std::max(attr.mq_msgsize, long(kRecord))));
    for (;;) {
        pollfd fds[2] = {{stop_fd_, POLLIN, 0}, {qd_, POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            return;
        }
        if (fds[0].revents)
            return;
        const ssize_t n = mq_receive(qd_, reinterpret_cast<char *>(buf.data()), buf.size(), nullptr);
        if (n < 0)
            continue;
        const message m = decode(buf.data(), size_t(n));
        std::function<void(const message &)> fn;
        {
            std::lock_guard lock(mutex_);
            received_.push_back(m);
            fn = on_message_;
        }
        cv_.notify_all();
        if (fn)
            fn(m);
        answer(m);
    }
}

} // namespace menud

// POSIX message queues toward and from the menu daemon.
//
// The queue names are global to the machine's IPC namespace. The text of
// the environment variable KD_MQ_SUFFIX, when set, is appended to both
// names, so that tests and demo runs side by side each talk over their own
// pair; unset (on the card) the names are the daemon's.
#pragma once

#include <mqueue.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace fp {

inline constexpr const char *kPluginQueueName = "/solvera_plugin_fp";
inline constexpr const char *kDaemonQueueName = "/menumgr";
inline constexpr long kPluginQueueMaxMsg = 10;

// base + KD_MQ_SUFFIX.
std::string queue_name(std::string_view base);

// One open queue descriptor; closed (never removed) when the owner goes.
class message_queue {
public:
    message_queue() = default;
    ~message_queue() { close(); }
    message_queue(message_queue &&o) noexcept : qd_(o.qd_), msgsize_(o.msgsize_) { o.qd_ = -1; }
    message_queue &operator=(message_queue &&o) noexcept;
    message_queue(const message_queue &) = delete;
    message_queue &operator=(const message_queue &) = delete;

    bool is_open() const { return qd_ != mqd_t(-1); }
    mqd_t qd() const { return qd_; }
    // The queue's message size: a receive needs a buffer this large.
    long msgsize() const { return msgsize_; }
    void close();

    // 0, or -1 with errno.
    int send(const uint8_t *bytes, size_t len) const;
    // The message's length, or -1 with errno; `buf` is made msgsize() long.
    ssize_t receive(std::vector<uint8_t> &buf) const;

    // The own queue: created read-write, exclusive, 0666, non-blocking, for
    // 10 messages of 4096 bytes; one that already exists is opened
    // read-only and non-blocking, whatever attributes it has. Logs as the
    // plug-in `tag`. Not open on failure (logged).
    static message_queue open_own(const std::string &name, const char *tag);
    // The daemon's queue: write-only, non-blocking, made with mode 0666 and
    // the system's default attributes when it does not exist yet.
    static message_queue open_daemon(const std::string &name, const char *tag);

private:
    explicit message_queue(mqd_t qd);
    mqd_t qd_ = mqd_t(-1);
    long msgsize_ = 0;
};

} // namespace fp

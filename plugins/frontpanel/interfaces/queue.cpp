#include "queue.h"

#include "menu_msg.h"

#include <kerrow/log.h>

#include <fcntl.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace fp {

std::string queue_name(std::string_view base)
{
    std::string name(base);
    if (const char *suffix = std::getenv("KD_MQ_SUFFIX"))
        name += suffix;
    return name;
}

message_queue::message_queue(mqd_t qd) : qd_(qd)
{
    mq_attr attr{};
    if (mq_getattr(qd_, &attr) == 0)
        msgsize_ = attr.mq_msgsize;
}

message_queue &message_queue::operator=(message_queue &&o) noexcept
{
    if (this != &o) {
        close();
        qd_ = o.qd_;
        msgsize_ = o.msgsize_;
        o.qd_ = mqd_t(-1);
    }
    return *this;
}

void message_queue::close()
{
    if (is_open())
        mq_close(qd_);
    qd_ = mqd_t(-1);
    msgsize_ = 0;
}

int message_queue::send(const uint8_t *bytes, size_t len) const
{
    return mq_send(qd_, reinterpret_cast<const char *>(bytes), len, 0);
}

ssize_t message_queue::receive(std::vector<uint8_t> &buf) const
{
    // A buffer shorter than the queue's message size fails every receive
    // while the queue stays readable.
    buf.resize(size_t(msgsize_ > 0 ? msgsize_ : long(kMenuMsgSize)));
    return mq_receive(qd_, reinterpret_cast<char *>(buf.data()), buf.size(), nullptr);
}

message_queue message_queue::open_own(const std::string &name, const char *tag)
{
    mq_attr attr{};
    attr.mq_maxmsg = kPluginQueueMaxMsg;
    attr.mq_msgsize = long(kMenuMsgSize);
    mqd_t qd = mq_open(name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NONBLOCK, 0666, &attr);
    if (qd == mqd_t(-1) && errno == EEXIST) {
        KD_LOG(KD_LOG_WARNING, "[%s] Queue already existed so opening with O_RDONLY\n", tag);
        qd = mq_open(name.c_str(), O_RDONLY | O_NONBLOCK);
    }
    if (qd == mqd_t(-1)) {
        KD_LOG(KD_LOG_ERR, "[%s] Still no que? qd = %d %s\n", tag, int(qd), std::strerror(errno));
        return {};
    }
    return message_queue(qd);
}

message_queue message_queue::open_daemon(const std::string &name, const char *tag)
{
    mqd_t qd = mq_open(name.c_str(), O_WRONLY | O_CREAT | O_NONBLOCK, 0666, nullptr);
    if (qd == mqd_t(-1)) {
        KD_LOG(KD_LOG_ERR, "[%s] Failed to open menud qd = %d %s\n", tag, int(qd), std::strerror(errno));
        return {};
    }
    KD_LOG(KD_LOG_INFO, "[%s] Opened menu managers que=%d\n", tag, int(qd));
    return message_queue(qd);
}

} // namespace fp

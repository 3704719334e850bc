// Stand-in for the chassis front panel's menu daemon, for tests and the
// demo. It owns the daemon's queue "/menumgr" and talks to the plug-in's
// queue "/solvera_plugin_fp"; both names take the text of KD_MQ_SUFFIX
// when it is set, as the plug-in's do.
//
// Records: 4096 bytes, host byte order: type u32, sender i32, id u32,
// aux2 u32, hardwareIndex i32, then a NUL-terminated text.
//
// A thread receives everything sent to the daemon's queue and records it.
// Registrations (300 top, 302 sub) are answered with a menu name and a
// reply type (by default the menu file's base name without its extension
// and the registration's type + 1); unregistrations (304, 306) with their
// type + 1 and the alias. Requests of any type can be sent to the plug-in,
// its replies are among the recorded messages.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include <mqueue.h>

namespace menud {

enum : uint32_t {
    register_top = 300,
    register_sub = 302,
    unregister_top = 304,
    unregister_sub = 306,
};

struct message {
    uint32_t type = 0;
    int32_t sender = 0;
    uint32_t id = 0;
    uint32_t aux2 = 0;
    int32_t hardware_index = 0;
    std::string text; // the attachment up to its terminator
    size_t length = 0; // bytes received
};

// base + KD_MQ_SUFFIX.
std::string queue_name(std::string_view base);

// A record of `length` bytes (at most 4096) with `text` in its attachment.
std::vector<uint8_t> encode(uint32_t type, std::string_view text, uint32_t id = 0,
                            int32_t hardware_index = 0, size_t length = 4096);

// Sends one record to a queue; false (errno set) when it cannot be opened
// or is full.
bool send_to(const std::string &queue, const std::vector<uint8_t> &bytes);

class daemon {
public:
    // The default names ("/menumgr", "/solvera_plugin_fp" + suffix).
    daemon();
    daemon(std::string daemon_queue, std::string plugin_queue);
    ~daemon(); // stops the thread and removes the daemon's queue
    daemon(const daemon &) = delete;
    daemon &operator=(const daemon &) = delete;

    // How registrations are answered: `name` empty means the file's base
    // name; `reply_type` 0 means the registration's type + 1. Off: no
    // answer at all.
    void answer_registrations(bool on, std::string name = {}, uint32_t reply_type = 0);
    void answer_unregistrations(bool on);
    // Called on the daemon's thread with every message received.
    void on_message(std::function<void(const message &)> fn);

    // Sends to the plug-in's queue; false (errno set) when it cannot be
    // opened or is full.
    bool send(uint32_t type, std::string_view text, uint32_t id = 0, int32_t hardware_index = 0,
              size_t length = 4096);
    bool send_raw(const std::vector<uint8_t> &bytes);

    std::vector<message> received() const;
    // Messages of one type received so far.
    std::vector<message> received(uint32_t type) const;
    void forget();
    // Waits until `done` holds for the messages received (false at the limit).
    bool wait_for(const std::function<bool(const std::vector<message> &)> &done, double seconds);

    const std::string &daemon_queue() const { return daemon_queue_; }
    const std::string &plugin_queue() const { return plugin_queue_; }

private:
    void run();
    void answer(const message &m);

    std::string daemon_queue_, plugin_queue_;
    mqd_t qd_ = mqd_t(-1);
    int stop_fd_ = -1;
    std::thread thread_;

    mutable std::mutex mutex_;
    std::condition_variable cv_;
    std::vector<message> received_;
    bool answer_reg_ = true, answer_unreg_ = true;
    std::string reg_name_;
    uint32_t reg_reply_type_ = 0;
    std::function<void(const message &)> on_message_;
};

} // namespace menud

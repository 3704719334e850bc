// The front-panel plug-in's engine: connects the chassis front panel's
// menu daemon to the parameter tree. On the chassis master it registers
// the menu description files with the daemon and answers the daemon's
// requests to read, set or test parameters named by their route; on any
// other card it stays idle. Everything runs on the loop thread: the own
// queue is watched by a loop descriptor watcher.
#pragma once

#include "interfaces/menu_daemon.h"
#include "interfaces/menu_msg.h"
#include "interfaces/queue.h"

#include <kerrow/cuvent.h>
#include <kerrow/types.h>

#include <cstdint>
#include <string>
#include <vector>

namespace fp {

// Menu files shipped with the card, registered when the frame runs.
inline constexpr const char *kMenuDir = "/usr/local/share/sv-frontpanel/";
inline constexpr const char *kTopMenu = "qv.mnu";
inline constexpr const char *kSystemMenu = "system.mnu";

class frontpanel {
public:
    explicit frontpanel(plugin_load_info *pli);
    ~frontpanel() { stop(); }
    frontpanel(const frontpanel &) = delete;
    frontpanel &operator=(const frontpanel &) = delete;

    // The init entry's work. Idle (nothing made) on a slave card.
    void start();
    // The fini entry's work; safe to call twice.
    void stop();

    bool active() const { return active_; }
    const menu_daemon &daemon() const { return mdi_; }

    // Registers the built-in menus (on "frame run").
    void frontpanel_frame_run();
    // Takes one message off the own queue and handles it.
    void fp_on_menu_msg_in();
    // Answers one request (any type but the daemon's replies).
    void handle_request(const menu_msg &request);

private:
    static void on_frame_run(cuvent_wrapper *w) noexcept;
    static void on_readable(void *ctx) noexcept;
    void send_response(const menu_msg &request, std::string_view answer);
    const char *tag() const;

    plugin_load_info *pli_;
    bool active_ = false;
    bool watching_ = false;
    std::string menu_dir_;     // kMenuDir under KD_ROOT
    message_queue own_;        // "/solvera_plugin_fp": the daemon's messages
    std::vector<uint8_t> rx_;  // one received message, the queue's size
    menu_daemon mdi_;          // "/menumgr" and the registered menus
};

} // namespace fp

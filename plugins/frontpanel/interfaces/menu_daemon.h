// The link to the menu daemon: its queue, the menus registered with it and
// the messages that register and unregister them. Loop thread only.
#pragma once

#include "menu_msg.h"
#include "queue.h"

#include <kerrow/types.h>

#include <list>
#include <string>
#include <string_view>
#include <vector>

namespace fp {

// One menu description file registered with the daemon.
struct fp_menu {
    int id_num = 0;
    std::string alias; // the path until the daemon names the menu
    std::string path;  // the menu file
    int is_top = 0;
    int is_registered = 0;
    param_context *param = nullptr; // unused
    bool is_named() const { return alias != path; }
};

// The longest menu path (and daemon name) kept for a menu.
inline constexpr size_t kMenuPathMax = 255;
// Choices of "Remove Menu": at most this many, each cut to this length.
inline constexpr size_t kRemoveChoicesMax = 20;
inline constexpr size_t kRemoveChoiceLen = 39;
// aux2 of a built-in menu's registration and of every unregistration.
inline constexpr uint32_t kBuiltinMenuAux2 = 1024;
inline constexpr uint32_t kUnregisterAux2 = 256;

class menu_daemon {
public:
    explicit menu_daemon(plugin_load_info *pli) : pli_(pli) {}
    menu_daemon(const menu_daemon &) = delete;
    menu_daemon &operator=(const menu_daemon &) = delete;

    const char *tag() const;
    void open(const std::string &queue_name) { queue_ = message_queue::open_daemon(queue_name, tag()); }
    void close() { queue_.close(); }

    // Sends `length` bytes of `m` with sender 8000; 0, or -1 with errno
    // (logged). `log_sent`: also log the attachment.
    int mdi_send_que_msg(menu_msg &m, size_t length, bool log_sent);

    // Registers a menu file: top when asked or when it is the first menu
    // ever registered. 0, or -1 with errno (nothing recorded). A path of
    // more than 255 bytes is refused (EINVAL).
    int mdi_register_menu(bool top, std::string_view path, uint32_t aux2);
    // Unregisters the menu by its alias; it leaves the list on success.
    int mdi_unregister_menu(std::list<fp_menu>::iterator menu);

    // A registration reply: the oldest menu not named yet takes the name.
    void on_registered(std::string_view name);

    // The names "Remove Menu" offers.
    std::vector<std::string> remove_choices() const;
    // Unregisters every menu that `choice` names. -1 when none does or an
    // unregistration failed.
    int unregister_choice(std::string_view choice);
    // Unregisters every menu (logged one by one) and forgets them all.
    void fp_unload_all_menus();

    const std::list<fp_menu> &menus() const { return menus_; }

private:
    plugin_load_info *pli_;
    message_queue queue_;
    std::list<fp_menu> menus_; // registration order
    int registered_ = 0;       // menus registered so far, also after removal
};

} // namespace fp

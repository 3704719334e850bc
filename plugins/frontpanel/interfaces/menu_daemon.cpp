#include "menu_daemon.h"

#include <kerrow/frame.h>
#include <kerrow/log.h>

#include <cerrno>
#include <cstring>

namespace fp {

const char *menu_daemon::tag() const { return kd_frame_plugin_get_name(pli_); }

int menu_daemon::mdi_send_que_msg(menu_msg &m, size_t length, bool log_sent)
{
    m.sender = kMenuMsgSender;
    menu_msg_bytes bytes{};
    menu_msg_encode(m, bytes);
    if (!queue_.is_open()) {
        errno = EBADF;
    } else if (queue_.send(bytes.data(), length) == 0) {
        if (log_sent)
            KD_LOG(KD_LOG_INFO, "[%s] Sent message='%s'\n", tag(), std::string(menu_msg_text(m)).c_str());
        return 0;
    }
    const int err = errno;
    KD_LOG(KD_LOG_ERR, "[%s] Failed to send message: err:%s\n", tag(), std::strerror(err));
    errno = err;
    return -1;
}

int menu_daemon::mdi_register_menu(bool top, std::string_view path, uint32_t aux2)
{
    if (path.size() > kMenuPathMax) {
        KD_LOG(KD_LOG_ERR, "[%s] Menu path longer than %zu characters: %s\n", tag(), kMenuPathMax,
               std::string(path).c_str());
        errno = EINVAL;
        return -1;
    }
    const bool is_top = top || registered_ == 0;
    menu_msg m;
    m.type = is_top ? MT_MENUMGR_REGISTER_TOPMENU : MT_MENUMGR_REGISTER_SUBMENU;
    m.aux2 = aux2;
    m.hardwareIndex = 0;
    menu_msg_set_text(m, path);
    if (mdi_send_que_msg(m, kMenuMsgSize, true) != 0)
        return -1;
    fp_menu menu;
    menu.id_num = registered_++;
    menu.path = std::string(path);
    menu.alias = menu.path;
    menu.is_top = is_top;
    menu.is_registered = 1;
    menus_.push_back(std::move(menu));
    return 0;
}

int menu_daemon::mdi_unregister_menu(std::list<fp_menu>::iterator menu)
{
    menu_msg m;
    m.type = menu->is_top ? MT_MENUMGR_UNREGISTER_TOPMENU : MT_MENUMGR_UNREGISTER_SUBMENU;
    m.aux2 = kUnregisterAux2;
    m.hardwareIndex = 0;
    menu_msg_set_text(m, menu->alias);
    if (mdi_send_que_msg(m, kMenuMsgSize, true) != 0)
        return -1;
    menus_.erase(menu);
    return 0;
}

void menu_daemon::on_registered(std::string_view name)
{
    for (auto &menu : menus_)
        if (!menu.is_named()) {
            menu.alias = std::string(cut_text(name, kMenuPathMax));
            return;
        }
}

std::vector<std::string> menu_daemon::remove_choices() const
{
    std::vector<std::string> out;
    for (const auto &menu : menus_) {
        if (out.size() == kRemoveChoicesMax)
            break;
        if (menu.is_named())
            out.emplace_back(cut_text(menu.alias, kRemoveChoiceLen));
    }
    return out;
}

int menu_daemon::unregister_choice(std::string_view choice)
{
    bool offered = false;
    for (const auto &c : remove_choices())
        offered = offered || c == choice;
    if (!offered)
        return -1;
    // A choice shows at most 39 characters of a name: it stands for every
    // named menu whose name shows that way.
    int result = 0;
    for (auto it = menus_.begin(); it != menus_.end();) {
        auto next = std::next(it);
        if (it->is_named() && cut_text(it->alias, kRemoveChoiceLen) == choice) {
            const std::string alias = it->alias, path = it->path;
            if (mdi_unregister_menu(it) == 0) {
                KD_LOG(KD_LOG_INFO, "[%s] Unregistered menu %s with path of %s\n", tag(), alias.c_str(),
                       path.c_str());
            } else {
                KD_LOG(KD_LOG_ERR, "[%s] Failed to unregister menu %s\n", tag(), alias.c_str());
                result = -1;
            }
        }
        it = next;
    }
    return result;
}

void menu_daemon::fp_unload_all_menus()
{
    for (auto it = menus_.begin(); it != menus_.end();) {
        auto next = std::next(it);
        const std::string alias = it->alias, path = it->path;
        if (mdi_unregister_menu(it) == 0)
            KD_LOG(KD_LOG_INFO, "[%s] Unregistered menu %s with path of %s\n", tag(), alias.c_str(), path.c_str());
        else
            KD_LOG(KD_LOG_ERR, "[%s] Failed to unregister menu %s\n", tag(), path.c_str());
        it = next;
    }
    menus_.clear();
}

} // namespace fp

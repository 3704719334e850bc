#include "engine.h"

#include "interfaces/request.h"
#include "params/params.h"

#include <kerrow/carrier.h>
#include <kerrow/frame.h>
#include <kerrow/log.h>
#include <kerrow/param.h>
#include <kerrow/path.h>

#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace fp {

namespace {
constexpr const char *kWatcherName = kPluginQueueName;
} // namespace

frontpanel::frontpanel(plugin_load_info *pli) : pli_(pli), mdi_(pli) {}

const char *frontpanel::tag() const { return kd_frame_plugin_get_name(pli_); }

void frontpanel::start()
{
    KD_LOG(KD_LOG_INFO, "[%s] Starting..\n", tag());
    if (!kd_carrier_frame_is_master()) {
        KD_LOG(KD_LOG_INFO, "[%s] Started Idle\n", tag());
        return;
    }
    own_ = message_queue::open_own(queue_name(kPluginQueueName), tag());
    if (!own_.is_open()) {
        KD_LOG(KD_LOG_ERR, "[%s] Failed to create menu que exiting front panel plugin\n", tag());
        return;
    }
    active_ = true;
    if (kd_frame_start_custom_watcher(kWatcherName, own_.qd(), on_readable, this, pli_) == 0)
        watching_ = true;
    else
        KD_LOG(KD_LOG_ERR, "[%s] Failed to watch %s\n", tag(), kWatcherName);
    mdi_.open(queue_name(kDaemonQueueName));
    menu_dir_ = kd::rooted(kMenuDir);
    kd_cuvent_register_onetime_cb(pli_, "frame run", on_frame_run, this, CUVFLT_NONE);
    param_context *top = kd_param_create_cfg(pli_);
    if (!top || !create_menu_params(top, &mdi_, &menu_dir_))
        KD_LOG(KD_LOG_ERR, "[%s] Failed to create the menu parameters\n", tag());
    KD_LOG(KD_LOG_INFO, "[%s] Started Active\n", tag());
}

void frontpanel::stop()
{
    if (!active_)
        return;
    active_ = false;
    if (watching_)
        kd_frame_stop_watcher(kWatcherName, pli_);
    watching_ = false;
    // The queue stays in the system: the daemon keeps sending to it, and
    // the next start opens it again.
    own_.close();
    mdi_.fp_unload_all_menus();
    mdi_.close();
}

void frontpanel::on_frame_run(cuvent_wrapper *w) noexcept
{
    try {
        static_cast<frontpanel *>(w->cb_ctx)->frontpanel_frame_run();
    } catch (const std::exception &e) {
        KD_LOG(KD_LOG_ERR, "[frontpanel] frame run: %s\n", e.what());
    }
}

void frontpanel::on_readable(void *ctx) noexcept
{
    try {
        static_cast<frontpanel *>(ctx)->fp_on_menu_msg_in();
    } catch (const std::exception &e) {
        KD_LOG(KD_LOG_ERR, "[frontpanel] menu message: %s\n", e.what());
    }
}

void frontpanel::frontpanel_frame_run()
{
    if (!active_)
        return;
    for (const char *name : {kTopMenu, kSystemMenu}) {
        const std::string path = menu_dir_ + name;
        if (::access(path.c_str(), R_OK) != 0) {
            KD_LOG(KD_LOG_INFO, "[%s] Attempted to register a bad menu path %s\n", tag(), path.c_str());
            continue;
        }
        const bool top = std::string_view(name) == kTopMenu;
        if (mdi_.mdi_register_menu(top, path, kBuiltinMenuAux2) == 0)
            KD_LOG(KD_LOG_INFO, "[%s] Register menu message sent\n", tag());
        else
            KD_LOG(KD_LOG_ERR, "[%s] Failed to send menu register command for menu %s ERROR=%s\n", tag(),
                   path.c_str(), std::strerror(errno));
    }
}

void frontpanel::fp_on_menu_msg_in()
{
    const ssize_t n = own_.receive(rx_);
    if (n < 0) {
        const int err = errno;
        KD_LOG(KD_LOG_WARNING, "[%s] Failed to receive message from menud: err%d %s\n", tag(), err,
               std::strerror(err));
        return;
    }
    menu_msg m;
    if (!menu_msg_decode({rx_.data(), size_t(n)}, m)) {
        KD_LOG(KD_LOG_WARNING, "[%s] Dropped a message of %zd bytes from menud: shorter than its header\n",
               tag(), n);
        return;
    }
    switch (m.type) {
    case MT_MENUMGR_REGISTER_TOPMENU_REPLY:
    case MT_MENUMGR_REGISTER_SUBMENU_REPLY: {
        const std::string_view text = menu_msg_text(m);
        KD_LOG(KD_LOG_INFO, "[%s] Registered Menu %s\n", tag(), std::string(text).c_str());
        mdi_.on_registered(cut_line(text));
        break;
    }
    case MT_MENUMGR_UNREGISTER_TOPMENU_REPLY:
    case MT_MENUMGR_UNREGISTER_SUBMENU_REPLY:
        KD_LOG(KD_LOG_INFO, "[%s] Unregistered menu %s\n", tag(), std::string(menu_msg_text(m)).c_str());
        break;
    default:
        handle_request(m);
        break;
    }
}

void frontpanel::handle_request(const menu_msg &request)
{
    const menu_request r = parse_request(menu_msg_text(request));
    param_context *p = r.route.empty() ? nullptr : kd_param_get_by_route(r.route.c_str());
    if (p && kd_param_get_type(p) == PARAMTYPE_NONE)
        p = nullptr; // a deleted parameter's placeholder
    if (r.value)
        KD_LOG(KD_LOG_INFO, "[%s] Found a set with param ='%s' and value='%s'\n", tag(), r.route.c_str(),
               r.value->c_str());
    if (!p) {
        KD_LOG(KD_LOG_INFO, "[%s] Failed to find the param '%s'\n", tag(), r.route.c_str());
        send_response(request, "?");
        return;
    }
    if (r.value) {
        // A refused set is logged and still answered with the value sent.
        param_set_value(tag(), p, r.value->c_str());
        send_response(request, *r.value);
    } else {
        send_response(request, param_get_value(p));
    }
}

void frontpanel::send_response(const menu_msg &request, std::string_view answer)
{
    const std::string text = mdi_format_response(answer);
    if (!menu_msg_is_known_request(request.type))
        KD_LOG(KD_LOG_INFO, "[%s] Unknown message type %d for %s\n", tag(), int(request.type),
               std::string(cut_line(menu_msg_text(request))).c_str());
    for (auto &piece : menu_msg_reply_pieces(request, text))
        mdi_.mdi_send_que_msg(piece.msg, piece.length, false);
}

} // namespace fp

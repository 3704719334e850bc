// The proxy's chassis-wide work on both roles: relayed events, the time,
// the chassis number and configuration, reboots, the firmware comparison
// and firmware tasks, settings profiles on the slaves and the encoder
// output control. Loop thread only; copies run as worker tasks (tasks.cpp).
#include "proxy_internal.h"

#include <kerrow/alarm.h>
#include <kerrow/carrier.h>
#include <kerrow/command.h>
#include <kerrow/cuvent.h>
#include <kerrow/frame.h>
#include <kerrow/log.h>
#include <kerrow/path.h>
#include <kerrow/profile.h>
#include <kerrow/store.h>
#include <kerrow/system.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string_view>

namespace proxy {

namespace {

constexpr const char *kTimeSyncTimer = "proxy_time_sync";
constexpr const char *kRebootTimer = "proxy_reboot";
constexpr const char *kStore = "/var/local/solvera/store.json";
constexpr const char *kMedia = "/media/hd0/media/";
constexpr double kTimeSyncSeconds = 60.0;
constexpr long kTimeTolerance = 2; // seconds a slave's clock may be off
constexpr int kFirstAlarmSlot = 1, kLastAlarmSlot = 9;

std::string alarm_label(int slot) { return "Carrier " + std::to_string(slot) + " firmware mismatch"; }

// ---- event relay ----

void on_forward_cuvent(cuvent_wrapper *w) noexcept
{
    const size_t len = reinterpret_cast<size_t>(w->cb_ctx);
    try {
        std::span<const uint8_t> data;
        if (w->emit_ctx && len > 0)
            data = {static_cast<const uint8_t *>(w->emit_ctx), len};
        const proxy_msg msg = proxy_msg_init_cuvent(w->name, data);
        KD_LOG(KD_LOG_INFO, "[%s] Forwarding proxy cuvent: '%s' proxy msg send size: %lu\n", me(), w->name,
               static_cast<unsigned long>(msg.payload.size()));
        send_to_notified(msg);
    } catch (...) {
        KD_LOG(KD_LOG_ERR, "[%s] Out of memory forwarding '%s'\n", me(), w->name);
    }
}

void on_register_proxy_cuvent(cuvent_wrapper *w) noexcept
{
    const auto *info = static_cast<const proxy_cuvent_info *>(w->emit_ctx);
    if (!info || std::memchr(info->name, 0, sizeof info->name) == nullptr || !info->name[0] ||
        info->len > kMaxPayload - kCuventHeaderSize) {
        KD_LOG(KD_LOG_ERR, "[%s] Bad request to relay an event\n", me());
        return;
    }
    if (kd_cuvent_register_cb(st().pli, info->name, on_forward_cuvent, reinterpret_cast<void *>(info->len),
                              CUVFLT_IGNORE_OWN) != 0)
        return;
    try {
        st().relayed.emplace(info->name, info->len);
    } catch (...) {
        KD_LOG(KD_LOG_ERR, "[%s] Out of memory registering '%s'\n", me(), info->name);
        return;
    }
    KD_LOG(KD_LOG_NOTICE, "[%s] Registered proxy cuvent '%s'.\n", me(), info->name);
}

// ---- time ----

} // namespace

proxy_msg time_sync_msg(const timespec &now)
{
    std::vector<uint8_t> t(8);
    for (int i = 0; i < 4; ++i) {
        t[size_t(i)] = uint8_t(uint32_t(now.tv_sec) >> (8 * i));
        t[size_t(4 + i)] = uint8_t(uint32_t(now.tv_nsec) >> (8 * i));
    }
    return proxy_msg_init_control(PROXY_MSG_TIME_SYNC, t);
}

namespace {

void on_time_sync(void *) noexcept
{
    timespec now{};
    if (clock_gettime(CLOCK_REALTIME, &now) != 0) {
        KD_LOG(KD_LOG_ERR, "[%s] Failed to get clock time (%s)\n", me(), std::strerror(errno));
        return;
    }
    try {
        send_to_notified(time_sync_msg(now));
    } catch (...) {
    }
}

void slave_time_sync(std::span<const uint8_t> p)
{
    const time_t master = time_t(read_u32(p, 0));
    const time_t mine = time(nullptr);
    if (std::labs(long(mine - master)) <= kTimeTolerance)
        return;
    char text[32] = "";
    ctime_r(&master, text);
    text[std::strcspn(text, "\n")] = 0;
    // The clock is set the way the framework's "System Time" setter does it.
    kd::command_end end = kd::command_end::exited;
    const int rc = kd::run_command({"/bin/date", "-s", "@" + std::to_string(static_cast<long long>(master))},
                                   {.quiet = true, .end = &end});
    if (rc == 0)
        KD_LOG(KD_LOG_NOTICE, "[%s] Sync system time on slave to %s\n", me(), text);
    else
        KD_LOG(KD_LOG_ERR, "[%s] Failed to set time on slave (%s)\n", me(),
               end == kd::command_end::exited ? "date failed" : "date did not run");
}

// ---- chassis ----

void on_chassis_num_change(cuvent_wrapper *) noexcept
{
    try {
        send_to_notified(proxy_msg_init_u32(PROXY_MSG_CHASSIS_NUMBER, uint32_t(kd_frame_get_chassis_num())));
    } catch (...) {
    }
}

void slave_chassis_conf(std::span<const uint8_t> p)
{
    uint32_t fns[kChassisNodes];
    for (uint32_t i = 0; i < kChassisNodes; ++i)
        fns[i] = read_u32(p, 4 * i);
    for (unsigned node = 1; node <= kChassisNodes; ++node) {
        carrier_node *n = kd_carrier_get_node(node);
        if (!n)
            continue;
        const uint32_t mine = kd_carrier_get_function(n);
        if (mine != fns[node - 1]) {
            KD_LOG(KD_LOG_INFO, "[%s] Mismatch found. Multi-fn node %u has fn %u. Master is fn %u.\n", me(), node,
                   mine, fns[node - 1]);
            kd_carrier_update_function_targets(fns);
            return;
        }
    }
}

// ---- reboot ----

void reboot_now(void *) noexcept
{
    st().reboot_pending = false;
    kd::command_end end = kd::command_end::exited;
    const int rc = kd::run_command({"reboot"}, {.quiet = true, .end = &end});
    if (rc != 0)
        KD_LOG(KD_LOG_ERR, "[%s] Reboot failed (%s)\n", me(),
               end == kd::command_end::exited ? "exit status" : "reboot did not run");
}

void on_reboot_all(cuvent_wrapper *) noexcept
{
    KD_LOG(KD_LOG_NOTICE, "[%s] Rebooting slaves!\n", me());
    try {
        const proxy_msg msg = proxy_msg_init_u32(PROXY_MSG_REBOOT, kRebootMagic);
        for (auto &c : st().clients) {
            if (!c->notify || c->fd < 0)
                continue;
            KD_LOG(KD_LOG_NOTICE, "[%s] Rebooting slave %d\n", me(), c->slave_slot);
            proxy_send_msg(*c, msg);
        }
    } catch (...) {
    }
}

void slave_reboot(std::span<const uint8_t> p)
{
    state &s = st();
    if (read_u32(p, 0) != kRebootMagic) {
        KD_LOG(KD_LOG_ERR, "[%s] Reboot request without its magic number, ignored\n", me());
        return;
    }
    KD_LOG(KD_LOG_NOTICE, "[%s] Rebooting this slave!\n", me());
    // A second for the answer to leave; the loop keeps running meanwhile.
    if (!s.reboot_pending && kd_frame_timeout_register(kRebootTimer, reboot_now, nullptr, 1.0, 0, s.pli) == 0)
        s.reboot_pending = true;
}

// ---- firmware comparison ----

std::string text_at(const std::string &route)
{
    param_context *p = kd_param_get_by_route(route.c_str());
    if (!p || kd_param_get_type(p) == PARAMTYPE_NONE)
        return {};
    char *v = kd_param_get_value_text(p);
    std::string out = v ? v : "";
    std::free(v);
    return out;
}

void master_param_finish(std::span<const uint8_t> p)
{
    const int slot = int(read_u32(p, 0));
    proxy_client *c = client_in_slot(slot);
    if (!c || !c->top_param) {
        KD_LOG(KD_LOG_ERR, "[%s] Received control param finish from unknown client in slot %d.\n", me(), slot);
        return;
    }
    KD_LOG(KD_LOG_NOTICE, "[%s] Receive control param finish (%d)\n", me(), slot);
    const std::string local = text_at("version/banner");
    if (local.empty()) {
        KD_LOG(KD_LOG_ERR, "[%s] Cannot detect fw mismatch without master version banner\n", me());
        return;
    }
    const std::string route = std::string(kd_param_get_scope(c->top_param)) + "/version/banner";
    const std::string remote = text_at(route);
    if (remote.empty()) {
        KD_LOG(KD_LOG_ERR, "[%s] Cannot detect fw mismatch without slave version banner\n", me());
        return;
    }
    KD_LOG(KD_LOG_INFO, "[%s] Comparing %s (%s) to local banner (%s)\n", me(), route.c_str(), remote.c_str(),
           local.c_str());
    if (remote != local && slot >= kFirstAlarmSlot && slot <= kLastAlarmSlot)
        kd_alarm_detected(alarm_label(slot).c_str(), ALARM_ACTIVE);
}

// ---- firmware tasks ----

void clear_task() { st().verctl_task_info = proxy_verctl_task_info{}; }

void task_complete()
{
    clear_task();
    kd_cuvent_emit(st().pli, "on_proxy_version_task_slaves_complete", nullptr);
}

// A slave is done with the active task (reported, or given up).
void count_slave(int slot)
{
    proxy_verctl_task_info &t = st().verctl_task_info;
    t.task_is_completed_on_this_slot[size_t(slot)] = true;
    if (++t.task_completed_on_slaves_count < t.total_slaves_running_task)
        return;
    if (t.active_task_id == PROXY_VER_CTRL_TASK_FWPKGADD && !t.rsync_threads_are_done) {
        t.rsync_copies_complete_on_slaves = true;
        KD_LOG(KD_LOG_INFO, "[%s] FwPkgAdd task completed on slaves. Waiting for local RSYNC threads to complete\n",
               me());
        return;
    }
    task_complete();
}

bool counting_task(proxy_verctl_active_taskid id)
{
    return id == PROXY_VER_CTRL_TASK_FWPKGADD || id == PROXY_VER_CTRL_TASK_INSTALL ||
           id == PROXY_VER_CTRL_TASK_UNINSTALL;
}

void master_version_ready(std::span<const uint8_t> p)
{
    proxy_verctl_task_info &t = st().verctl_task_info;
    const uint32_t v = read_u32(p, 0);
    const uint32_t slot = v / 10, id = v % 10;
    if (t.active_task_id == PROXY_VER_CTRL_TASK_NONE_ACTIVE) {
        KD_LOG(KD_LOG_WARNING, "[%s] Received rem-ver-ready (slot: %u taskId: %u). But no task active! Ignoring.\n",
               me(), slot, id);
    } else if (t.active_task_id == PROXY_VER_CTRL_TASK_SELECT) {
        KD_LOG(KD_LOG_WARNING, "[%s] Received rem-ver-ready (slot: %u taskId: %u). But task is Selecting. Ignoring.\n",
               me(), slot, id);
    } else if (id != t.active_task_id) {
        KD_LOG(KD_LOG_WARNING, "[%s] Received rem-ver-ready (slot: %u taskId: %u). But active taskId is: %u! Ignoring.\n",
               me(), slot, id, unsigned(t.active_task_id));
    } else if (slot >= t.task_is_completed_on_this_slot.size() || !t.taking_part[slot]) {
        KD_LOG(KD_LOG_WARNING, "[%s] Received rem-ver-ready (slot: %u taskId: %u). But the slot takes no part! Ignoring.\n",
               me(), slot, id);
    } else if (t.task_is_completed_on_this_slot[slot]) {
        KD_LOG(KD_LOG_WARNING, "[%s] Received rem-ver-ready (slot: %u taskId: %u). But already received! Ignoring.\n",
               me(), slot, id);
    } else {
        KD_LOG(KD_LOG_INFO, "[%s] Received rem-ver-ready from slot %u with taskId: %u. Counting.\n", me(), slot, id);
        count_slave(int(slot));
    }
}

// Sets the slaves' mirror of a version parameter to `action`; the number set.
int set_on_slaves(cuvent_wrapper *w, const char *action, const char *what, std::array<bool, 9> &part)
{
    auto *param = static_cast<param_context *>(w->emit_ctx);
    const char *route = param ? kd_param_get_scope(param) : nullptr;
    if (!route) {
        KD_LOG(KD_LOG_ERR, "[%s] Firmware request without a parameter\n", me());
        return 0;
    }
    int n = 0;
    for (auto &c : st().clients) {
        if (!c->notify || c->fd < 0 || !c->top_param)
            continue;
        const std::string mirror = std::string(kd_param_get_scope(c->top_param)) + "/" + route;
        param_context *m = kd_param_get_by_route(mirror.c_str());
        const param_choice_ops *ops = kd_param_get_type(m) == PARAMTYPE_CHOICE ? kd_param_get_choice_ops(m) : nullptr;
        if (!ops || !ops->set) {
            KD_LOG(KD_LOG_ERR, "[%s] Could not get param %s\n", me(), mirror.c_str());
            continue;
        }
        KD_LOG(KD_LOG_NOTICE, what, me(), mirror.c_str());
        if (ops->set(m, action) == PARAM_SET_SUCCESS && c->slave_slot >= 0 && c->slave_slot <= 8) {
            part[size_t(c->slave_slot)] = true;
            ++n;
        }
    }
    return n;
}

void start_counting(proxy_verctl_active_taskid id, int n, const std::array<bool, 9> &part)
{
    clear_task();
    proxy_verctl_task_info &t = st().verctl_task_info;
    t.active_task_id = id;
    t.total_slaves_running_task = n;
    t.taking_part = part;
}

void on_fw_extracting(cuvent_wrapper *w) noexcept
{
    std::array<bool, 9> part{};
    if (const int n = set_on_slaves(w, "Install", "[%s] Install slave FW %s\n", part))
        start_counting(PROXY_VER_CTRL_TASK_INSTALL, n, part);
}

void on_fw_package_delete(cuvent_wrapper *w) noexcept
{
    std::array<bool, 9> part{};
    set_on_slaves(w, "Delete", "[%s] Delete slave FW %s\n", part);
}

void on_fw_delete(cuvent_wrapper *w) noexcept
{
    std::array<bool, 9> part{};
    if (const int n = set_on_slaves(w, "Delete", "[%s] Uninstall slave FW %s\n", part))
        start_counting(PROXY_VER_CTRL_TASK_UNINSTALL, n, part);
}

void on_fw_select(cuvent_wrapper *w) noexcept
{
    std::array<bool, 9> part{};
    set_on_slaves(w, "Select", "[%s] Select slave FW %s\n", part);
    start_counting(PROXY_VER_CTRL_TASK_SELECT, 0, part);
}

void on_fw_package_add(cuvent_wrapper *w) noexcept
{
    state &s = st();
    const char *path = static_cast<const char *>(w->emit_ctx);
    if (!path || !*path) {
        KD_LOG(KD_LOG_ERR, "[%s] Firmware package add without a path\n", me());
        return;
    }
    std::array<bool, 9> part{};
    int n = 0;
    for (auto &c : s.clients) {
        if (c->slave_slot < 0 || c->slave_slot > 8)
            continue;
        KD_LOG(KD_LOG_NOTICE, "[%s] Sync FW file %s to client %d\n", me(), path, c->slave_slot);
        if (proxy_task_start(task_kind::put_file, c->slave_ipaddr_str, path, c->slave_slot)) {
            part[size_t(c->slave_slot)] = true;
            ++n;
        }
    }
    if (n > 0)
        start_counting(PROXY_VER_CTRL_TASK_FWPKGADD, n, part);
}

// Slave: a version task finished here.
void send_version_ready(uint32_t id)
{
    proxy_client *c = master_link();
    if (!c || !c->notify)
        return;
    const uint32_t v = id + 10 * own_slot();
    KD_LOG(KD_LOG_INFO, "[%s] Sending PROXY_MSG_REMOTE_VERSION_READY message (taskId: %u).\n", me(), v);
    proxy_send_msg(*c, proxy_msg_init_u32(PROXY_MSG_REMOTE_VERSION_READY, v));
}
void on_done_fwpkgadd(cuvent_wrapper *) noexcept { send_version_ready(PROXY_VER_CTRL_TASK_FWPKGADD); }
void on_done_install(cuvent_wrapper *) noexcept { send_version_ready(PROXY_VER_CTRL_TASK_INSTALL); }
void on_done_uninstall(cuvent_wrapper *) noexcept { send_version_ready(PROXY_VER_CTRL_TASK_UNINSTALL); }

// ---- settings profiles ----

void report_add(int slot, int flag)
{
    state &s = st();
    s.pending_add[size_t(slot)] = false;
    s.add_report[size_t(slot)] = flag + 10 * slot;
    kd_cuvent_emit(nullptr, "settings_profile_slaves_add_state", &s.add_report[size_t(slot)]);
}

void report_apply(int slot, int flag)
{
    state &s = st();
    s.pending_apply[size_t(slot)] = false;
    s.apply_report[size_t(slot)] = flag + 10 * slot;
    kd_cuvent_emit(nullptr, "settings profile slaves apply state", &s.apply_report[size_t(slot)]);
}

bool user_slot(int slot) { return slot >= 1 && slot <= 7; }

// Master: "add settings profile requested".
void on_slave_send_profile(cuvent_wrapper *) noexcept
{
    state &s = st();
    KD_LOG(KD_LOG_NOTICE, "[%s] Let slaves send settings profiles to master!\n", me());
    for (auto &c : s.clients) {
        if (!user_slot(c->slave_slot))
            continue;
        KD_LOG(KD_LOG_NOTICE, "[%s] Let slot %d send profile to master\n", me(), c->slave_slot);
        if (!c->notify || c->fd < 0) {
            KD_LOG(KD_LOG_ERR, "[%s] Slot %d has no link: its profile add failed\n", me(), c->slave_slot);
            report_add(c->slave_slot, CHECK_INVALID);
            continue;
        }
        s.pending_add[size_t(c->slave_slot)] = true;
        proxy_send_msg(*c, proxy_msg_init_control(PROXY_MSG_SEND_STORE, {}));
    }
}

// Master: "master send profile to slaves".
void on_master_send_profile(cuvent_wrapper *) noexcept
{
    state &s = st();
    const std::string dir = kd::rooted(SLAVE_SETTINGS_PROFILES_DIR);
    for (auto &c : s.clients) {
        if (!user_slot(c->slave_slot))
            continue;
        const std::string part = dir + "slot" + std::to_string(c->slave_slot) + ".pfl";
        if (access(part.c_str(), F_OK) != 0) {
            KD_LOG(KD_LOG_NOTICE, "[%s] %s is not exist\n", me(), part.c_str());
            continue;
        }
        s.pending_apply[size_t(c->slave_slot)] = true;
        if (!c->notify || c->fd < 0) {
            KD_LOG(KD_LOG_ERR, "[%s] Slot %d has no link: its profile apply failed\n", me(), c->slave_slot);
            report_apply(c->slave_slot, CHECK_INVALID);
        } else if (!proxy_task_start(task_kind::master_send_profile, c->slave_ipaddr_str, part, c->slave_slot)) {
            report_apply(c->slave_slot, CHECK_INVALID);
        }
    }
}

// Master: "slave_apply_settings_profile_requested"; the payload names the
// slot whose part arrived (none: every slave).
void on_apply_profile(cuvent_wrapper *w) noexcept
{
    const int *slot = static_cast<const int *>(w->emit_ctx);
    for (auto &c : st().clients) {
        if ((slot && c->slave_slot != *slot) || !c->notify || c->fd < 0)
            continue;
        KD_LOG(KD_LOG_NOTICE, "[%s] Applying to slave %d\n", me(), c->slave_slot);
        proxy_send_msg(*c, proxy_msg_init_control(PROXY_MSG_APPLY, {}));
    }
}

void on_master_apply(cuvent_wrapper *) noexcept { proxy_handle_msg_apply_profile(); }

// A slave's report "flag + 10 * slot"; false (logged) when malformed.
bool read_report(std::span<const uint8_t> p, const char *what, int &slot, int &flag)
{
    const uint32_t v = read_u32(p, 0);
    slot = int(v / 10);
    flag = int(v % 10);
    if (user_slot(slot) && (flag == CHECK_VALID || flag == CHECK_INVALID))
        return true;
    KD_LOG(KD_LOG_ERR, "[%s] Bad profile %s report %u, ignored\n", me(), what, v);
    return false;
}

void master_add(std::span<const uint8_t> p)
{
    int slot = 0, flag = 0;
    if (!read_report(p, "add", slot, flag))
        return;
    if (flag == CHECK_VALID)
        KD_LOG(KD_LOG_NOTICE, "[%s] Slave send profile success!\n", me());
    KD_LOG(KD_LOG_NOTICE, "[%s] Add slave %d profile\n", me(), slot);
    report_add(slot, flag);
}

void master_apply_check_ready(std::span<const uint8_t> p)
{
    int slot = 0, flag = 0;
    if (read_report(p, "apply", slot, flag))
        report_apply(slot, flag);
}

// Slave: "settings profile add" (emitted on the master's request).
void on_settings_profile_add(cuvent_wrapper *) noexcept
{
    state &s = st();
    proxy_client *c = master_link();
    if (!c || c->fd < 0)
        return;
    const int slot = int(own_slot());
    // The file copied is the store as this card has it now.
    kd_store_check_persist(nullptr);
    if (!proxy_task_start(task_kind::slave_send_profile, s.opt.master_addr, kd::rooted(kStore), slot))
        proxy_send_msg(*c, proxy_msg_init_u32(PROXY_MSG_ADD, CHECK_INVALID + 10 * uint32_t(slot)));
}

void send_check_ready(int flag)
{
    proxy_client *c = master_link();
    if (!c || c->fd < 0)
        return;
    KD_LOG(KD_LOG_NOTICE, "[%s] Slave check success!\n", me());
    proxy_send_msg(*c, proxy_msg_init_u32(PROXY_MSG_APPLY_CHECK_READY, uint32_t(flag) + 10 * own_slot()));
}

// Slave: the framework's answer to "proxy_on_profile_check_type".
void on_check_flag(cuvent_wrapper *w) noexcept
{
    const int *v = static_cast<const int *>(w->emit_ctx);
    int flag = CHECK_INVALID;
    if (v && *v == CHECK_VALID) {
        KD_LOG(KD_LOG_NOTICE, "[%s] Apply_profile is valid!\n", me());
        flag = CHECK_VALID;
    } else {
        KD_LOG(KD_LOG_ERR, "[%s] Apply_profile is invalid!\n", me());
    }
    send_check_ready(flag);
}

// Copies `from` to `to` with the mode `mode`; false (logged) on failure.
bool proxy_copy_file(const std::string &from, const std::string &to, mode_t mode)
{
    const int in = ::open(from.c_str(), O_RDONLY | O_CLOEXEC);
    if (in < 0) {
        KD_LOG(KD_LOG_ERR, "[%s] %s open failed!\n", me(), from.c_str());
        return false;
    }
    const std::string tmp = to + ".part";
    const int out = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
    if (out < 0) {
        KD_LOG(KD_LOG_ERR, "[%s] %s open failed!\n", me(), to.c_str());
        ::close(in);
        return false;
    }
    fchmod(out, mode);
    bool ok = true;
    char buf[1024];
    for (;;) {
        const ssize_t n = ::read(in, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            KD_LOG(KD_LOG_ERR, "[%s] %s read failed!\n", me(), from.c_str());
            ok = false;
            break;
        }
        if (n == 0)
            break;
        for (ssize_t at = 0; at < n;) {
            const ssize_t m = ::write(out, buf + at, size_t(n - at));
            if (m < 0 && errno == EINTR)
                continue;
            if (m <= 0) {
                ok = false;
                break;
            }
            at += m;
        }
        if (!ok) {
            KD_LOG(KD_LOG_ERR, "[%s] %s write failed!\n", me(), to.c_str());
            break;
        }
    }
    ::close(in);
    if (ok && (fsync(out) != 0 || ::close(out) != 0)) {
        KD_LOG(KD_LOG_ERR, "[%s] %s write failed!\n", me(), to.c_str());
        ::unlink(tmp.c_str());
        return false;
    }
    if (!ok) {
        ::close(out);
        ::unlink(tmp.c_str());
        return false;
    }
    if (::rename(tmp.c_str(), to.c_str()) != 0) {
        KD_LOG(KD_LOG_ERR, "[%s] %s write failed!\n", me(), to.c_str());
        ::unlink(tmp.c_str());
        return false;
    }
    return true;
}

void handle_slave_msg(uint32_t type, std::span<const uint8_t> p)
{
    switch (type) {
    case PROXY_MSG_TIME_SYNC: slave_time_sync(p); break;
    case PROXY_MSG_CHASSIS_NUMBER: kd_frame_set_chassis_num(st().pli, int(read_u32(p, 0))); break;
    case PROXY_MSG_CHASSIS_CONF: slave_chassis_conf(p); break;
    case PROXY_MSG_REBOOT: slave_reboot(p); break;
    case PROXY_MSG_SEND_STORE: kd_cuvent_emit(nullptr, "settings profile add", nullptr); break;
    case PROXY_MSG_APPLY: proxy_handle_msg_apply_profile(); break;
    default:
        KD_LOG(KD_LOG_DEBUG, "[%s] Proxy message type %u is not for a slave\n", me(), type);
        break;
    }
}

void handle_master_msg(uint32_t type, std::span<const uint8_t> p)
{
    switch (type) {
    case PROXY_MSG_CTRL_PARAM_FINISH: master_param_finish(p); break;
    case PROXY_MSG_REMOTE_VERSION_READY: master_version_ready(p); break;
    case PROXY_MSG_ADD: master_add(p); break;
    case PROXY_MSG_APPLY_CHECK_READY: master_apply_check_ready(p); break;
    default:
        KD_LOG(KD_LOG_DEBUG, "[%s] Proxy message type %u is not for the master\n", me(), type);
        break;
    }
}

// Reads "<word>_<number>" in the route; -1 when absent.
long number_after(const std::string &route, std::string_view word)
{
    const size_t at = route.find(word);
    if (at == std::string::npos)
        return -1;
    const char *start = route.c_str() + at + word.size();
    char *end = nullptr;
    errno = 0;
    const long v = std::strtol(start, &end, 10);
    return end == start || errno ? -1 : v;
}

} // namespace

void chassis_handle_msg(proxy_client &, uint32_t type, std::span<const uint8_t> payload)
{
    try {
        if (st().master)
            handle_master_msg(type, payload);
        else
            handle_slave_msg(type, payload);
    } catch (...) {
        KD_LOG(KD_LOG_ERR, "[%s] Out of memory handling proxy message type %u\n", me(), type);
    }
}

void encoder_output_control(const proxy_param &rec, const std::string &route)
{
    const bool video = rec.label == "Video Detected", fault = rec.label == "Fault Mode";
    if (!video && !fault)
        return;
    state &s = st();
    const long c = number_after(route, "carrier_"), e = std::max(0L, number_after(route, "encoder_"));
    const long n = c > 0 ? 4 * (c - 1) + e : kEncoders - 1;
    if (n < 0 || n >= kEncoders) {
        KD_LOG(KD_LOG_ERR, "[%s] Encoder %ld of %s is out of range, ignored\n", me(), n, route.c_str());
        return;
    }
    if (video)
        s.video_lost[size_t(n)] = rec.value == "NO";
    else
        s.stop_encoding[size_t(n)] = rec.value == "STOP ENCODING";
    static char text[128];
    const int out = s.video_lost[size_t(n)] && s.stop_encoding[size_t(n)] ? 1 : 2; // disable : allow
    std::snprintf(text, sizeof text, "%s:%d", route.c_str(), out);
    kd_cuvent_emit(nullptr, "input_output_sync", text);
}

bool firmware_select_active() { return st().verctl_task_info.active_task_id == PROXY_VER_CTRL_TASK_SELECT; }

void proxy_handle_msg_apply_profile()
{
    state &s = st();
    const int slot = s.master ? 8 : int(own_slot());
    const std::string olddir = kd::rooted(OLD_SETTINGS_PROFILES_DIR);
    const std::string part = s.master ? kd::rooted(SLAVE_SETTINGS_PROFILES_DIR) + "master.pfl"
                                      : kd::rooted(kMedia) + "slot" + std::to_string(slot) + ".pfl";
    // A slave answers at once, so the master does not wait for ever.
    auto refuse = [&] {
        if (!s.master)
            send_check_ready(CHECK_INVALID);
    };
    // The backup holds the whole store: as private as the store itself.
    if (mkdir(olddir.c_str(), 0700) != 0 && errno != EEXIST) {
        KD_LOG(KD_LOG_ERR, "[%s] Mkdir:%s error\n", me(), olddir.c_str());
        return refuse();
    }
    chmod(olddir.c_str(), 0700);
    kd_store_check_persist(nullptr);
    const std::string store = kd::rooted(kStore);
    if (access(store.c_str(), F_OK) != 0) {
        KD_LOG(KD_LOG_NOTICE, "[%s] %s is not exist\n", me(), store.c_str());
        return refuse();
    }
    if (!proxy_copy_file(store, olddir + "store.json", 0600))
        return refuse();
    if (access(part.c_str(), F_OK) != 0) {
        KD_LOG(KD_LOG_NOTICE, "[%s] %s is not exist\n", me(), part.c_str());
        return refuse();
    }
    static std::string path;
    path = part;
    kd_cuvent_emit(s.pli, "proxy_on_profile_check_type", path.data());
}

void chassis_link_lost(proxy_client &c)
{
    state &s = st();
    if (!s.master || c.slave_slot < 0 || c.slave_slot > 8 || !c.connected)
        return;
    const int slot = c.slave_slot;
    proxy_verctl_task_info &t = s.verctl_task_info;
    if (counting_task(t.active_task_id) && t.taking_part[size_t(slot)] && !t.task_is_completed_on_this_slot[size_t(slot)]) {
        KD_LOG(KD_LOG_ERR, "[%s] Slot %d left during firmware task %u: counted as finished, failed\n", me(), slot,
               unsigned(t.active_task_id));
        count_slave(slot);
    }
    if (s.pending_add[size_t(slot)]) {
        KD_LOG(KD_LOG_ERR, "[%s] Slot %d left before sending its profile\n", me(), slot);
        report_add(slot, CHECK_INVALID);
    }
    if (s.pending_apply[size_t(slot)]) {
        KD_LOG(KD_LOG_ERR, "[%s] Slot %d left before checking its profile\n", me(), slot);
        report_apply(slot, CHECK_INVALID);
    }
}

void proxy_task_finished(const proxy_task_data &t, bool ok)
{
    state &s = st();
    switch (t.kind) {
    case task_kind::put_file: {
        proxy_verctl_task_info &v = s.verctl_task_info;
        if (v.active_task_id != PROXY_VER_CTRL_TASK_FWPKGADD)
            return;
        // A slave that did not get the file never reports it added.
        if (!ok && v.taking_part[size_t(t.slave_slot)] && !v.task_is_completed_on_this_slot[size_t(t.slave_slot)]) {
            KD_LOG(KD_LOG_ERR, "[%s] Slot %d did not get the package: counted as finished, failed\n", me(),
                   t.slave_slot);
            count_slave(t.slave_slot);
            if (v.active_task_id != PROXY_VER_CTRL_TASK_FWPKGADD)
                return; // that completed the task
        }
        if (++v.rsync_threads_completed_count < v.total_slaves_running_task)
            return;
        if (v.rsync_copies_complete_on_slaves) {
            task_complete();
        } else {
            v.rsync_threads_are_done = true;
            KD_LOG(KD_LOG_INFO, "[%s] RSYNC threads complete. Waiting for rsync copies complete on slaves.\n", me());
        }
        return;
    }
    case task_kind::master_send_profile:
        if (!s.pending_apply[size_t(t.slave_slot)])
            return;
        if (ok) {
            static int slot;
            slot = t.slave_slot;
            kd_cuvent_emit(nullptr, "slave_apply_settings_profile_requested", &slot);
        } else {
            report_apply(t.slave_slot, CHECK_INVALID);
        }
        return;
    case task_kind::slave_send_profile:
        if (proxy_client *c = master_link(); c && c->fd >= 0)
            proxy_send_msg(*c, proxy_msg_init_u32(PROXY_MSG_ADD, (ok ? 1u : 2u) + 10 * uint32_t(t.slave_slot)));
        return;
    }
}

void chassis_init()
{
    state &s = st();
    plugin_load_info *pli = s.pli;
    kd_cuvent_register_cb(pli, "register_proxy_cuvent", on_register_proxy_cuvent, nullptr, CUVFLT_IGNORE_OWN);
    if (!s.master) {
        kd_cuvent_register_cb(pli, "version_task_completed_fwpkgadd", on_done_fwpkgadd, nullptr, CUVFLT_NONE);
        kd_cuvent_register_cb(pli, "version_task_completed_install", on_done_install, nullptr, CUVFLT_NONE);
        kd_cuvent_register_cb(pli, "version_task_completed_uninstall", on_done_uninstall, nullptr, CUVFLT_NONE);
        kd_cuvent_register_cb(pli, "settings profile add", on_settings_profile_add, nullptr, CUVFLT_NONE);
        kd_cuvent_register_cb(pli, "check_settings_profile_flag", on_check_flag, nullptr, CUVFLT_NONE);
        return;
    }
    clear_task();
    for (int slot = kFirstAlarmSlot; slot <= kLastAlarmSlot; ++slot)
        kd_alarm_register(alarm_label(slot).c_str(),
                          "A firmware mismatch occurs when an ASI carrier does not have the matching firmware "
                          "version. Please install the latest firmware.");
    const std::pair<const char *, kd_cuvent_cb> events[] = {
        {"version firmware package add", on_fw_package_add},
        {"version firmware package extracting", on_fw_extracting},
        {"version firmware package delete", on_fw_package_delete},
        {"version firmware delete", on_fw_delete},
        {"version firmware select", on_fw_select},
        {"version reboot requested", on_reboot_all},
        {"profile reboot requested", on_reboot_all},
        {"chassis_number_changed", on_chassis_num_change},
        {"add settings profile requested", on_slave_send_profile},
        {"master send profile to slaves", on_master_send_profile},
        {"slave_apply_settings_profile_requested", on_apply_profile},
        {"master_apply_settings_profile_requested", on_master_apply},
    };
    for (const auto &[name, cb] : events)
        kd_cuvent_register_cb(pli, name, cb, nullptr, CUVFLT_NONE);
    kd_frame_timeout_register(kTimeSyncTimer, on_time_sync, nullptr, kTimeSyncSeconds, 1, pli);
}

void chassis_fini()
{
    state &s = st();
    if (s.master)
        kd_frame_stop_watcher(kTimeSyncTimer, s.pli);
    if (s.reboot_pending)
        kd_frame_stop_watcher(kRebootTimer, s.pli);
    s.reboot_pending = false;
    kd_cuvent_unregister_cb_owner(s.pli);
    s.relayed.clear();
}

} // namespace proxy

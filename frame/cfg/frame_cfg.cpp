// The "frame" parameter tree: device settings of the card itself (host
// name, time, time zone, NTP, uptimes, service switches, chassis number).
#include <kerrow/command.h>
#include <kerrow/cuvent.h>
#include <kerrow/frame.h>
#include <kerrow/log.h>
#include <kerrow/param.h>
#include <kerrow/path.h>
#include <kerrow/plugin.h>
#include <kerrow/store.h>
#include <kerrow/system.h>
#include <kerrow/worker.h>

#include "../frame_internal.h"
#include "../system/system_internal.h"
#include "cfg_internal.h"
#include "timezones.h"

#include <cerrno>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include <sys/stat.h>
#include <unistd.h>

namespace {

const char *me() { return kd_frame_plugin_get_name(nullptr); }

/* loop thread only */
time_t g_proc_start_sec = 0;
param_context *g_tz_param = nullptr;
int g_chassis_num = 1;
bool g_applying = false;

// ---- Hierarchy ----
const char *hierarchy_value(param_context *) { return kd_carrier_frame_is_master() ? "Master" : "Slave"; }
const char **hierarchy_choices(param_context *)
{
    static const char *choices[] = {"Master", "Slave", nullptr};
    return choices;
}

// ---- Hostname ----
const char *hostname_help(param_context *)
{
    return "Device name is the host name for the unit. When a unit is manufactured, it is given a name "
           "that combines the product type and the serial number of the unit. Ex. ProductName-012345. "
           "This name is broadcast to local subnets. ";
}

const char *hostname_value(param_context *)
{
    static std::string shown;
    char name[64] = {};
    if (gethostname(name, sizeof name - 1) != 0) {
        KD_LOG(KD_LOG_WARNING, "[%s] Failed to get hostname--%s\n", me(), std::strerror(errno));
        shown = "unknown";
        return shown.c_str();
    }
    shown = name;
    if (shown.size() > 6 && shown.starts_with("solvera"))
        shown.replace(0, 7, "SLV");
    return shown.c_str();
}

// RFC 1123 host name: labels of letters, digits and "-", not starting or
// ending with "-", 1 to 63 characters each, 64 characters in all.
bool hostname_valid(std::string_view name)
{
    if (name.empty() || name.size() > 64)
        return false;
    size_t label = 0;
    for (size_t i = 0; i < name.size(); ++i) {
        const char c = name[i];
        if (c == '.') {
            if (label == 0 || name[i - 1] == '-')
                return false;
            label = 0;
            continue;
        }
        if (!std::isalnum(static_cast<unsigned char>(c)) && !(c == '-' && label > 0))
            return false;
        if (++label > 63)
            return false;
    }
    return label > 0 && name.back() != '-';
}

param_set_result hostname_set(param_context *, const char *text)
{
    if (!text || !hostname_valid(text)) {
        KD_LOG(KD_LOG_ERR, "[%s] Invalid hostname %s\n", me(), text ? text : "(null)");
        return PARAM_SET_FAILURE;
    }
    return kd_system_send_hostname(text) < 0 ? PARAM_SET_FAILURE : PARAM_SET_SUCCESS;
}

// ---- System Time ----
const char *time_help(param_context *)
{
    return "This field will auto-populate if your device is networked to an NTP server; it can also be used "
           "to manually designate a time-of-day for timekeeping and internal scheduling.";
}

const char *time_value(param_context *)
{
    static char text[64];
    const time_t now = std::time(nullptr);
    struct tm tm {};
    if (!localtime_r(&now, &tm)) {
        KD_LOG(KD_LOG_ERR, "[%s] Failed to get localtime (%s)\n", me(), std::strerror(errno));
        text[0] = '\0';
        return text;
    }
    std::strftime(text, sizeof text, "%FT%TZ", &tm);
    return text;
}

param_set_result time_set(param_context *, const char *text)
{
    const time_t now = std::time(nullptr);
    struct tm tm {};
    if (!text || !localtime_r(&now, &tm)) {
        KD_LOG(KD_LOG_ERR, "[%s] Failed to get localtime (%s)\n", me(), std::strerror(errno));
        return PARAM_SET_FAILURE;
    }
    const char *end = strptime(text, "%FT%TZ", &tm);
    if (!end || *end) {
        KD_LOG(KD_LOG_ERR, "[%s] Failed to parse time--%s\n", me(), text);
        return PARAM_SET_FAILURE;
    }
    tm.tm_isdst = -1;
    const time_t t = mktime(&tm);
    if (t == static_cast<time_t>(-1)) {
        KD_LOG(KD_LOG_ERR, "[%s] Failed to parse time--%s\n", me(), text);
        return PARAM_SET_FAILURE;
    }
    // The clock is set through the command runner, like every other change
    // to the operating system.
    int status = 0;
    if (kd::sys::spawn_helper({"/bin/date", "-s", "@" + std::to_string(static_cast<long long>(t))}, &status) != 0) {
        KD_LOG(KD_LOG_ERR, "[%s] Failed to set time--%s\n", me(), kd_frame_strerror(kd_errno));
        return PARAM_SET_FAILURE;
    }
    return PARAM_SET_SUCCESS;
}

// ---- Timezone ----
const char *tz_value(param_context *) { return kd::sys::tzname(); }
const char **tz_choices(param_context *) { return const_cast<const char **>(kd::cfg::kTimezones); }

param_set_result tz_set(param_context *, const char *text)
{
    if (!text || kd::cfg::choice_index(kd::cfg::kTimezones, text) < 0)
        return PARAM_SET_FAILURE;
    if (std::strcmp(text, kd::sys::tzname()) == 0)
        return PARAM_SET_SUCCESS;
    if (kd_system_send_timezone(text) < 0)
        return PARAM_SET_FAILURE;
    kd::sys::set_tzname(text);
    KD_LOG(KD_LOG_INFO, "[%s] Changed Time Zone to %s\n", me(), text);
    static char payload[64];
    std::snprintf(payload, sizeof payload, "%s", text);
    kd_cuvent_emit(nullptr, "master-time-zone-changed", payload);
    return PARAM_SET_SUCCESS;
}

void on_frame_run(cuvent_wrapper *) noexcept
{
    proxy_cuvent_info info{};
    std::snprintf(info.name, sizeof info.name, "%s", "master-time-zone-changed");
    info.len = 64;
    kd_cuvent_emit(nullptr, "register_proxy_cuvent", &info);
}

void on_master_tz(cuvent_wrapper *w) noexcept
{
    char zone[64] = {};
    if (w->emit_ctx)
        std::memcpy(zone, w->emit_ctx, sizeof zone - 1);
    if (kd::cfg::choice_index(kd::cfg::kTimezones, zone) >= 0 && kd_system_send_timezone(zone) >= 0) {
        kd::sys::set_tzname(zone);
        KD_LOG(KD_LOG_INFO, "[%s] Changed Time Zone to %s\n", me(), zone);
    } else {
        KD_LOG(KD_LOG_ERR, "[%s] Failed to change Time Zone to %s\n", me(), zone);
    }
}

// ---- NTP ----
const char *ntp_help(param_context *)
{
    return "NTP Address is the IP address of an external source for time. It should be entered in decimal "
           "form XXX.XXX.XXX.XXX . Setting the NTP Address to 0.0.0.0 turns NTP off.";
}
const char *ntp_value(param_context *)
{
    static char buf[64];
    return kd_system_get_ntp_server(buf, sizeof buf);
}
param_set_result ntp_set(param_context *, const char *text)
{
    return kd_system_set_ntp_server(text) == 0 ? PARAM_SET_SUCCESS : PARAM_SET_FAILURE;
}
const char *ntp_sync_value(param_context *) { return kd::sys::ntp_synchronized() ? "Yes" : "No"; }

// ---- uptimes ----
const char *format_uptime(std::string &out, long long secs)
{
    char text[96];
    std::snprintf(text, sizeof text, "%d Days, %d Hours, %d Minutes, %d Seconds", static_cast<int>(secs / 86400),
                  static_cast<int>(secs % 86400 / 3600), static_cast<int>(secs % 3600 / 60),
                  static_cast<int>(secs % 60));
    out = text;
    return out.c_str();
}
const char *uptime_help(param_context *) { return "Uptime represents the length of time that your device has been powered up."; }
const char *uptime_value(param_context *)
{
    static std::string text;
    timespec ts{};
    if (clock_gettime(CLOCK_MONOTONIC, &ts) != 0)
        KD_LOG(KD_LOG_WARNING, "[%s] Failed to get localtime--%s\n", me(), std::strerror(errno));
    return format_uptime(text, ts.tv_sec);
}
const char *procuptime_help(param_context *)
{
    return "Process uptime represents the length of time that this process has been running.";
}
const char *procuptime_value(param_context *)
{
    static std::string text;
    return format_uptime(text, static_cast<long long>(std::time(nullptr) - g_proc_start_sec));
}

// ---- Avahi ----
const char *const kOffOn[] = {"OFF", "ON", nullptr};
const char **offon_choices(param_context *) { return const_cast<const char **>(kOffOn); }
bool avahi_on()
{
    struct stat st;
    return stat(kd::rooted("/etc/systemd/system/multi-user.target.wants/avahi-daemon.service").c_str(), &st) == 0;
}
const char *avahi_value(param_context *) { return avahi_on() ? "ON" : "OFF"; }
param_set_result avahi_set(param_context *, const char *text)
{
    const int want = kd::cfg::choice_index(kOffOn, text);
    if (want < 0)
        return PARAM_SET_FAILURE;
    if ((want == 1) == avahi_on())
        return PARAM_SET_SUCCESS;
    return kd_system_set_service_mode(want, "avahi-daemon.service") == 0 ? PARAM_SET_SUCCESS : PARAM_SET_FAILURE;
}

// ---- SNMP Service ----
const char *const kSnmpChoices[] = {"Enabled", "Disabled", nullptr};
const char **snmp_choices(param_context *) { return const_cast<const char **>(kSnmpChoices); }
constexpr const char *kSnmpStart = "start";
constexpr const char *kSnmpStop = "stop";
const char *snmp_value(param_context *)
{
    int v = 0;
    if (kd_store_load_int(nullptr, "frame/snmp_service", &v) != 0 || v != 1)
        v = 0;
    kd_cuvent_emit(nullptr, v == 1 ? "snmp_disabled" : "snmp_enabled", nullptr);
    return kSnmpChoices[v];
}
param_set_result snmp_set(param_context *, const char *text)
{
    const int v = kd::cfg::choice_index(kSnmpChoices, text);
    if (v < 0)
        return PARAM_SET_FAILURE;
    kd_cuvent_emit(nullptr, v == 1 ? "snmp_disabled" : "snmp_enabled", nullptr);
    kd_store_save_int(nullptr, "frame/snmp_service", v);
    return PARAM_SET_SUCCESS;
}
// Every read of the choice announces the stored state, so a page or a
// whole-tree search announces it again and again. The switch runs
// systemctl only when the state differs from the one last asked of snmpd,
// one run at a time, on the framework's worker pool: the loop never waits
// for it. The verbs are static texts, so an abandoned task owns nothing.
struct snmp_switch_state {
    const char *wanted = nullptr;  // the verb last announced
    const char *applied = nullptr; // the verb of the last run started
    bool running = false;
};
snmp_switch_state g_snmp; /* loop thread only */

void snmp_switch_next();

void snmp_task(kd_worker_task *task) noexcept // a pool thread
{
    const auto *verb = static_cast<const char *>(kd_worker_get_task_data(task));
    // The result is not acted on. The runner itself, not spawn_helper: that
    // one reports through kd_errno, which belongs to the loop thread.
    kd::run_command({"/bin/systemctl", verb, "snmpd"}, {.quiet = true, .env = {"LD_LIBRARY_PATH=/usr/local/lib"}});
}

void snmp_task_done(kd_worker_task *) noexcept
{
    g_snmp.running = false;
    snmp_switch_next(); // a change announced meanwhile
}

void snmp_switch_next()
{
    if (g_snmp.running || !g_snmp.wanted || g_snmp.wanted == g_snmp.applied)
        return;
    const char *verb = g_snmp.wanted;
    // Taken as applied even when no task can be made: the next change of
    // state tries again, and a failing pool does not cost a log line per read.
    g_snmp.applied = verb;
    KD_LOG(KD_LOG_INFO, "[%s] (task): %s %s %s %s\n", me(), "/bin/systemctl", "systemctl", verb, "snmpd");
    if (!kd_worker_create_task(nullptr, snmp_task, const_cast<char *>(verb), snmp_task_done)) {
        KD_LOG(KD_LOG_ERR, "[%s] Cannot run systemctl %s snmpd\n", me(), verb);
        return;
    }
    g_snmp.running = true;
}

void snmp_want(const char *verb)
{
    g_snmp.wanted = verb;
    snmp_switch_next();
}
void on_snmp_enabled(cuvent_wrapper *) noexcept { snmp_want(kSnmpStart); }
void on_snmp_disabled(cuvent_wrapper *) noexcept { snmp_want(kSnmpStop); }

// ---- Chassis Number ----
const char *chassis_help(param_context *)
{
    return "When multiple SLV chassis are linked together, Chassis Number helps them avoid conflicts. Select a "
           "different number for each chassis.";
}
int chassis_value(param_context *) { return g_chassis_num; }
int chassis_min(param_context *) { return 1; }
int chassis_max(param_context *) { return 3; }
int chassis_step(param_context *) { return 1; }
void chassis_change(int num)
{
    if (num == g_chassis_num)
        return;
    KD_LOG(KD_LOG_INFO, "[%s] Chassis number changed from %d to %d\n", me(), g_chassis_num, num);
    g_chassis_num = num;
    kd_cuvent_emit(nullptr, "chassis_number_changed", nullptr);
}
param_set_result chassis_set(param_context *, const char *text)
{
    int num = 0;
    if (!kd::cfg::parse_number(text, 1, 3, 1, num))
        return PARAM_SET_FAILURE;
    chassis_change(num);
    return PARAM_SET_SUCCESS;
}

} // namespace

namespace kd::cfg {

bool applying_saved_values() { return g_applying; }

int choice_index(const char *const *choices, const char *text)
{
    for (int i = 0; text && choices[i]; ++i)
        if (std::strcmp(choices[i], text) == 0)
            return i;
    return -1;
}

bool parse_number(const char *text, int min, int max, int step, int &out)
{
    if (!text || !*text)
        return false;
    errno = 0;
    char *end = nullptr;
    const long v = std::strtol(text, &end, 0);
    if (errno || !end || *end || v < min || v > max || (step > 0 && (v - min) % step))
        return false;
    out = static_cast<int>(v);
    return true;
}

} // namespace kd::cfg

extern "C" {

param_context *frame_get_tz_param(void) { return g_tz_param; }

KD_API int kd_frame_get_chassis_num(void) { return g_chassis_num; }

KD_API int kd_frame_set_chassis_num(plugin_load_info *owner, int num)
{
    if (!owner || !owner->name || std::strcmp(owner->name, "proxy") != 0)
        return -1;
    chassis_change(num);
    return 0;
}

void frame_init_cfg(void)
{
    g_proc_start_sec = std::time(nullptr);
    g_tz_param = nullptr;
    g_chassis_num = 1;
    const bool master = kd_carrier_frame_is_master();
    param_context *root = kd_param_create_cfg(nullptr);

    kd::cfg::setup_cfg_security(root);
    kd_param_alloc_string(root, nullptr, "Hostname", PARAMCTRL_RDWR_NOPERSIST, hostname_help, hostname_value,
                          hostname_set, nullptr);
    if (master)
        kd_param_alloc_number(root, "chassis_number", "Chassis Number", PARAMCTRL_RDWR, chassis_help, chassis_value,
                              chassis_min, chassis_max, chassis_step, chassis_set, nullptr);
    if (master) {
        kd_param_alloc_string(root, nullptr, "System Time", PARAMCTRL_RDWR_NOPERSIST, time_help, time_value, time_set,
                              nullptr);
        // Read-only until the system bus runs (system control opens it up).
        g_tz_param = kd_param_alloc_choice(root, nullptr, "Timezone",
                                           kd::sys::bus_running() ? PARAMCTRL_RDWR_NOPERSIST : PARAMCTRL_RDONLY,
                                           nullptr, tz_value, tz_choices, tz_set, nullptr);
        kd_param_alloc_string(root, nullptr, "NTP Server", PARAMCTRL_RDWR, ntp_help, ntp_value, ntp_set, nullptr);
        kd_param_alloc_string(root, nullptr, "NTP Synchronized", PARAMCTRL_RDONLY, nullptr, ntp_sync_value, nullptr,
                              nullptr);
    } else {
        KD_LOG(KD_LOG_INFO, "[%s] Listen for time zone change\n", me());
        kd_cuvent_register_cb(nullptr, "master-time-zone-changed", on_master_tz, nullptr, CUVFLT_IGNORE_OWN);
    }
    // Both roles: the master relays its zone changes, and a slave's proxy
    // takes from the master only the events this card relays too.
    kd_cuvent_register_cb(nullptr, "frame run", on_frame_run, nullptr, CUVFLT_NONE);
    kd_param_init_auto_notify(kd_param_alloc_string(root, nullptr, "System Uptime", PARAMCTRL_RDONLY, uptime_help,
                                                    uptime_value, nullptr, nullptr),
                              1.0);
    kd_param_init_auto_notify(kd_param_alloc_string(root, nullptr, "Process Uptime", PARAMCTRL_RDONLY,
                                                    procuptime_help, procuptime_value, nullptr, nullptr),
                              1.0);
    kd_param_alloc_choice(root, nullptr, "Avahi", PARAMCTRL_RDWR_NOPERSIST, nullptr, avahi_value, offon_choices,
                          avahi_set, nullptr);
    kd_param_alloc_choice(root, nullptr, "SNMP Service", PARAMCTRL_RDWR_NOPERSIST, nullptr, snmp_value, snmp_choices,
                          snmp_set, nullptr);
    g_snmp = {}; // tasks of an earlier start were ended with its worker pool
    kd_cuvent_register_cb(nullptr, "snmp_enabled", on_snmp_enabled, nullptr, CUVFLT_NONE);
    kd_cuvent_register_cb(nullptr, "snmp_disabled", on_snmp_disabled, nullptr, CUVFLT_NONE);
    if (!kd_frame_is_running_native())
        kd::cfg::setup_cfg_ethernet_interfaces(root);
    kd_param_alloc_choice(root, "hierarchy", "Hierarchy", PARAMCTRL_RDONLY, nullptr, hierarchy_value,
                          hierarchy_choices, nullptr, nullptr);
    g_applying = true;
    kd_store_load_params(nullptr, root);
    g_applying = false;
}

void frame_fini_cfg(void)
{
    if (!kd_frame_is_running_native())
        kd::cfg::cfg_ethernet_interfaces_fini();
    kd::cfg::free_cfg_security();
    g_tz_param = nullptr;
}

} // extern "C"

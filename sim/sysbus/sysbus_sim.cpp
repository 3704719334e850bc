// Stand-in host-name and time-date services on whatever system bus
// DBUS_SYSTEM_BUS_ADDRESS names. Each call is appended to a record file as
// one line ("SetStaticHostname NAME 1", "SetTimezone ZONE 1",
// "Get Timezone"), so tests see what reached the bus; options make the
// setters fail.
//
//   sysbus_sim --record FILE [--timezone ZONE] [--ntp 0|1]
//              [--fail-hostname] [--fail-timezone]
//
// Writes "ready" to the record file once both names are owned; exits when
// the bus goes away.
#include <systemd/sd-bus.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

std::string g_record;
std::string g_hostname = "standin";
std::string g_timezone = "UTC";
int g_ntp = 1;
bool g_fail_hostname = false, g_fail_timezone = false;

void record(const std::string &line)
{
    if (FILE *f = std::fopen(g_record.c_str(), "a")) {
        std::fprintf(f, "%s\n", line.c_str());
        std::fclose(f);
    }
}

int set_hostname(sd_bus_message *m, void *, sd_bus_error *err)
{
    const char *name = nullptr;
    int interactive = 0;
    int r = sd_bus_message_read(m, "sb", &name, &interactive);
    if (r < 0)
        return r;
    record(std::string("SetStaticHostname ") + name + " " + std::to_string(interactive));
    if (g_fail_hostname)
        return sd_bus_error_set(err, "org.freedesktop.DBus.Error.AccessDenied", "refused by the stand-in");
    g_hostname = name;
    return sd_bus_reply_method_return(m, nullptr);
}

int set_timezone(sd_bus_message *m, void *, sd_bus_error *err)
{
    const char *zone = nullptr;
    int interactive = 0;
    int r = sd_bus_message_read(m, "sb", &zone, &interactive);
    if (r < 0)
        return r;
    record(std::string("SetTimezone ") + zone + " " + std::to_string(interactive));
    if (g_fail_timezone)
        return sd_bus_error_set(err, "org.freedesktop.timedate1.NoSuchTimezone", "refused by the stand-in");
    g_timezone = zone;
    return sd_bus_reply_method_return(m, nullptr);
}

int get_string(sd_bus *, const char *, const char *, const char *property, sd_bus_message *reply, void *userdata,
               sd_bus_error *)
{
    record(std::string("Get ") + property);
    return sd_bus_message_append(reply, "s", static_cast<std::string *>(userdata)->c_str());
}

int get_ntp(sd_bus *, const char *, const char *, const char *property, sd_bus_message *reply, void *,
            sd_bus_error *)
{
    record(std::string("Get ") + property);
    return sd_bus_message_append(reply, "b", g_ntp);
}

const sd_bus_vtable kHostname[] = {
    SD_BUS_VTABLE_START(0),
    SD_BUS_METHOD("SetStaticHostname", "sb", "", set_hostname, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_PROPERTY("StaticHostname", "s", get_string, 0, 0),
    SD_BUS_VTABLE_END,
};

const sd_bus_vtable kTimedate[] = {
    SD_BUS_VTABLE_START(0),
    SD_BUS_METHOD("SetTimezone", "sb", "", set_timezone, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_PROPERTY("Timezone", "s", get_string, 0, 0),
    SD_BUS_PROPERTY("NTPSynchronized", "b", get_ntp, 0, 0),
    SD_BUS_VTABLE_END,
};

} // namespace

int main(int argc, char **argv)
{
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--record" && i + 1 < argc)
            g_record = argv[++i];
        else if (a == "--timezone" && i + 1 < argc)
            g_timezone = argv[++i];
        else if (a == "--ntp" && i + 1 < argc)
            g_ntp = std::atoi(argv[++i]);
        else if (a == "--fail-hostname")
            g_fail_hostname = true;
        else if (a == "--fail-timezone")
            g_fail_timezone = true;
    }
    if (g_record.empty()) {
        std::fprintf(stderr, "usage: sysbus_sim --record FILE [--timezone ZONE] [--ntp 0|1] [--fail-hostname] "
                             "[--fail-timezone]\n");
        return 2;
    }
    sd_bus *bus = nullptr;
    int r = sd_bus_open_system(&bus);
    if (r < 0) {
        std::fprintf(stderr, "sysbus_sim: cannot open the bus: %s\n", std::strerror(-r));
        return 1;
    }
    if (sd_bus_add_object_vtable(bus, nullptr, "/org/freedesktop/hostname1", "org.freedesktop.hostname1", kHostname,
                                 &g_hostname) < 0 ||
        sd_bus_add_object_vtable(bus, nullptr, "/org/freedesktop/timedate1", "org.freedesktop.timedate1", kTimedate,
                                 &g_timezone) < 0 ||
        sd_bus_request_name(bus, "org.freedesktop.hostname1", 0) < 0 ||
        sd_bus_request_name(bus, "org.freedesktop.timedate1", 0) < 0) {
        std::fprintf(stderr, "sysbus_sim: cannot publish the services\n");
        return 1;
    }
    record("ready");
    for (;;) {
        r = sd_bus_process(bus, nullptr);
        if (r < 0)
            break;
        if (r > 0)
            continue;
        if (sd_bus_wait(bus, UINT64_MAX) < 0)
            break;
    }
    sd_bus_unref(bus);
    return 0;
}

// A card for the version plug-in's tests: a private root holding installed
// versions v1 (running) and v2 and the upload directory, the firmware tool
// and reboot stand-ins in KD_CMD_DIR, and a recorder of the plug-in's events.
#pragma once

#include "cmd_standins.h"
#include "run_until.h"
#include "test_support.h"

#include <kerrow/cuvent.h>
#include <kerrow/param.h>

#include <csignal>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace vertest {

namespace fs = std::filesystem;

inline const char *const kPathEvents[] = {"version other file delete", "version firmware package add",
                                          "version other file add", "version_task_completed_fwpkgadd",
                                          "request_publish_dir"};
inline const char *const kParamEvents[] = {"version firmware package extracting",
                                           "version firmware package delete", "version firmware select",
                                           "version firmware delete"};
inline const char *const kBareEvents[] = {"version_task_completed_install", "version_task_completed_uninstall",
                                          "version reboot requested"};

struct Event {
    std::string name, data;
};

class Card {
public:
    explicit Card(bool master)
    {
        setenv("HW_SLOT", master ? "3" : "1", 1);
        fs::create_directories(root_ / "media/hd0/media");
        fs::create_directories(root_ / "opt/pkg/usr/kerrow/solvera/v1");
        fs::create_directories(root_ / "opt/pkg/usr/kerrow/solvera/v2");
        fs::create_directories(root_ / "opt/pkg/var");
        fs::create_symlink("/opt/pkg/usr/kerrow/solvera/v1", root_ / "opt/pkg/var/oem");
        const std::string sim = std::string(std::getenv("KD_SOURCE_DIR")) + "/sim/vrsn/";
        for (const char *tool : {"vrsn", "reboot"})
            fs::copy_file(sim + tool, cmd(tool), fs::copy_options::overwrite_existing);
    }
    ~Card() { unsetenv("HW_SLOT"); }

    std::string cmd(const std::string &file) const { return root_ / ("cmd/" + file); }
    std::string media(const std::string &file) const { return root_ / ("media/hd0/media/" + file); }
    void put(const std::string &file) const { std::ofstream(media(file)) << "data"; }
    // The directory watcher compares stat records, whose times count whole
    // seconds: a file written in the second the watcher last looked makes
    // no change it can see. Uploads in tests wait for the next second.
    void next_second() const
    {
        const std::time_t now = std::time(nullptr);
        kdtest::run_until([now] { return std::time(nullptr) > now; }, 60);
    }
    void upload(const std::string &file) const
    {
        next_second();
        put(file);
    }

    // Tool steering: see sim/vrsn/vrsn.
    void hold() const { std::ofstream(cmd("vrsn.hold")); }
    void release() const { fs::remove(cmd("vrsn.hold")); }
    void tool_exit(int code) const { std::ofstream(cmd("vrsn.exit")) << code; }
    void tool_signal(const char *sig) const { std::ofstream(cmd("vrsn.signal")) << sig; }
    std::string tool_env() const
    {
        std::ifstream in(cmd("vrsn.env"));
        std::string line;
        std::getline(in, line);
        return line;
    }

    void listen()
    {
        for (const char *e : kPathEvents)
            kd_cuvent_register_cb(nullptr, e, on_path, this, CUVFLT_NONE);
        for (const char *e : kParamEvents)
            kd_cuvent_register_cb(nullptr, e, on_param, this, CUVFLT_NONE);
        for (const char *e : kBareEvents)
            kd_cuvent_register_cb(nullptr, e, on_bare, this, CUVFLT_NONE);
    }
    int heard(const std::string &name) const
    {
        int n = 0;
        for (const Event &e : events)
            n += e.name == name;
        return n;
    }

    kdtest::TempRoot root_;
    kdtest::CommandStandins commands_{root_ / "cmd"};
    kdtest::LogCapture log_;
    std::vector<Event> events;

private:
    static void on_path(cuvent_wrapper *w)
    {
        auto *self = static_cast<Card *>(w->cb_ctx);
        self->events.push_back({w->name, w->emit_ctx ? static_cast<const char *>(w->emit_ctx) : ""});
    }
    static void on_param(cuvent_wrapper *w)
    {
        auto *self = static_cast<Card *>(w->cb_ctx);
        auto *p = static_cast<param_context *>(w->emit_ctx);
        self->events.push_back({w->name, p ? kd_param_get_scope(p) : ""});
    }
    static void on_bare(cuvent_wrapper *w) { static_cast<Card *>(w->cb_ctx)->events.push_back({w->name, ""}); }
};

inline std::string value_at(const std::string &route)
{
    char *v = kd_param_get_value_text(kd_param_get_by_route(route.c_str()));
    std::string out = v ? v : "(none)";
    std::free(v);
    return out;
}

inline param_type type_at(const std::string &route) { return kd_param_get_type(kd_param_get_by_route(route.c_str())); }

inline param_set_result set_choice(const std::string &route, const char *text)
{
    param_context *p = kd_param_get_by_route(route.c_str());
    param_choice_ops *ops = kd_param_get_choice_ops(p);
    return ops ? ops->set(p, text) : PARAM_SET_FAILURE;
}

// Labels of a table's live rows, in order.
inline std::vector<std::string> rows(const std::string &table)
{
    std::vector<std::string> out;
    param_context *t = kd_param_get_by_route(table.c_str());
    const size_t n = kd_param_list_count(t);
    for (size_t i = 0; t && i < n; ++i) {
        param_context *r = kd_param_list_index(t, static_cast<int>(i));
        if (kd_param_get_type(r) != PARAMTYPE_NONE)
            out.emplace_back(kd_param_get_label(r));
    }
    return out;
}

} // namespace vertest

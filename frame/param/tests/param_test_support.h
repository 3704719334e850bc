// Helpers for the parameter tree's tests: an event recorder and small
// value callbacks.
#pragma once

#include "test_support.h"

#include <kerrow/cuvent.h>
#include <kerrow/param.h>
#include <kerrow/plugin.h>
#include <kerrow/ref.h>

#include <string>
#include <vector>

namespace kdtest {

// Records the tree's events as "insert route", "remove route", ... in order.
class ParamEvents {
public:
    void start()
    {
        for (const char *ev :
             {"on_param_insert", "on_param_remove", "on_param_free", "on_param_update"})
            kd_cuvent_register_cb(nullptr, ev, &ParamEvents::on_event, this, CUVFLT_NONE);
    }
    std::vector<std::string> take()
    {
        std::vector<std::string> out;
        out.swap(seen_);
        return out;
    }
    int count(const std::string &kind) const
    {
        int n = 0;
        for (const auto &s : seen_)
            n += s.rfind(kind + " ", 0) == 0;
        return n;
    }
    std::vector<param_context *> updated; // payloads of "on_param_update"

private:
    static void on_event(cuvent_wrapper *w)
    {
        auto *self = static_cast<ParamEvents *>(w->cb_ctx);
        auto *p = static_cast<param_context *>(w->emit_ctx);
        std::string kind = std::string(w->name).substr(sizeof("on_param_") - 1);
        self->seen_.push_back(kind + " " + kd_param_get_scope(p));
        if (kind == "update")
            self->updated.push_back(p);
    }
    std::vector<std::string> seen_;
};

class ParamTest : public FrameTest {
protected:
    void SetUp() override
    {
        FrameTest::SetUp();
        events_.start();
    }
    // A plug-in record as the manager would hand it out.
    static plugin_load_info make_pli(const char *name)
    {
        plugin_load_info p{};
        p.name = const_cast<char *>(name);
        return p;
    }
    static param_context *leaf(param_context *list, const char *label,
                               param_control rw = PARAMCTRL_RDONLY)
    {
        return kd_param_alloc_string(list, nullptr, label, rw, nullptr, text_value, nullptr,
                                     nullptr);
    }
    static const char *text_value(param_context *) { return "text"; }

    ParamEvents events_;
};

} // namespace kdtest

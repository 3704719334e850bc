// The forwarder's rows as a client sees them: values set by route through
// each parameter's own set, as the websocket does, with the engine calls
// they cause logged by the fake engine and the announced routes collected.
#pragma once

#include "engine_fixture.h"
#include "fake_engine.h"

#include <kerrow/ref.h>

#include <cstdlib>
#include <string>
#include <vector>

namespace mcftest {

using calls_t = std::vector<std::string>;

class ParamTest : public EngineTest {
protected:
    void SetUp() override
    {
        fake_engine::reset();
        EngineTest::SetUp();
        kd_cuvent_register_cb(nullptr, "on_param_update", [](cuvent_wrapper *w) {
            static_cast<ParamTest *>(w->cb_ctx)->updates_.push_back(
                kd_param_get_scope(static_cast<param_context *>(w->emit_ctx)));
        }, this, CUVFLT_NONE);
        fake_engine::calls().clear();
    }
    void TearDown() override
    {
        mcf_ctrl_plane_external_systems_connected = 0;
        EngineTest::TearDown();
        fake_engine::reset();
    }

    static param_context *at(const std::string &r) { return kd_param_get_by_route(r.c_str()); }

    // A set through the parameter's own operations record.
    static param_set_result set(const std::string &r, const char *text)
    {
        param_context *p = at(r);
        if (auto *n = kd_param_get_number_ops(p))
            return n->set(p, text);
        if (auto *s = kd_param_get_string_ops(p))
            return s->set(p, text);
        if (auto *c = kd_param_get_choice_ops(p))
            return c->set(p, text);
        ADD_FAILURE() << "no settable parameter at " << r;
        return PARAM_SET_FAILURE;
    }
    static std::string value(const std::string &r)
    {
        char *v = kd_param_get_value_text(at(r));
        std::string s = v ? v : "<none>";
        std::free(v);
        return s;
    }
    // The choices a client is offered now.
    static std::vector<std::string> choices(const std::string &r)
    {
        param_context *p = at(r);
        const char **table = kd_param_get_choice_ops(p)->choices(p);
        std::vector<std::string> out;
        for (const char **c = table; c && *c; ++c)
            out.emplace_back(*c);
        void *block = table;
        kd_ref_free_safe(&block);
        return out;
    }

    void load()
    {
        mcf_ctrl_plane_configuration_is_loaded = 1;
        fake_engine::calls().clear();
        updates_.clear();
    }
    static calls_t calls() { return fake_engine::calls(); }
    static std::vector<std::string> labels(param_context *list)
    {
        std::vector<std::string> out;
        const size_t n = kd_param_list_count(list);
        for (size_t i = 0; i < n; ++i) {
            param_context *c = kd_param_list_index(list, int(i));
            if (kd_param_get_type(c) != PARAMTYPE_NONE)
                out.emplace_back(kd_param_get_label(c));
        }
        return out;
    }

    std::vector<std::string> updates_;
};

} // namespace mcftest

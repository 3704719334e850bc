// The decode-card harness: a decoder card in the test process. The
// framework runs on the test thread; this card's carrier is a KT-3300 whose
// extended.info gives its function label; the board simulator (egress
// drained at the TMR rate) and the codec-chip simulator stand in for the
// hardware; outside programs are recording stand-ins. The plug-in is
// loaded through the plug-in manager's record and unloaded by it.
//
// Later decoder tests (program change, clocks, audio) extend this class.
#pragma once

#include "board_sim.h"
#include "carrier_internal.h"
#include "carrier_test_util.h"
#include "decode_internal.h"
#include "m30sim.h"
#include "test_support.h"

#include <kerrow/carrier.h>
#include <kerrow/path.h>
#include <kerrow/cuvent.h>
#include <kerrow/param.h>
#include <kerrow/pipe.h>
#include <kerrow/plugin.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <cstdlib>
#include <dirent.h>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace dectest {

// Raw die-temperature reading for whole degrees Celsius (the board's
// conversion is ((504 * raw) >> 12) - 273).
inline uint16_t temp_raw(int celsius)
{
    for (int raw = 1895; raw <= 3437; ++raw)
        if (((504 * raw) >> 12) - 273 == celsius)
            return uint16_t(raw << 4);
    return 0;
}

inline int count_entries(const char *dir)
{
    int n = 0;
    if (DIR *d = opendir(dir)) {
        while (readdir(d))
            ++n;
        closedir(d);
    }
    return n;
}

// The channel events the plug-in emitted, as "enabled 1" / "disabled 0".
struct channel_events {
    std::mutex mu;
    std::vector<std::string> seen;
    static void on(cuvent_wrapper *w)
    {
        auto *self = static_cast<channel_events *>(w->cb_ctx);
        uint32_t ch = 99;
        if (w->emit_ctx)
            std::memcpy(&ch, w->emit_ctx, sizeof ch);
        std::lock_guard l(self->mu);
        self->seen.push_back(std::string(std::strcmp(w->name, EV_CHANNEL_ENABLED) == 0 ? "enabled " : "disabled ") +
                             std::to_string(ch));
    }
    std::vector<std::string> take()
    {
        std::lock_guard l(mu);
        return std::exchange(seen, {});
    }
};

struct card_options {
    bool carrier = true;
    char rev = 'A';            // KT-3300-<rev>
    const char *model = nullptr; // another carrier model's INFO record instead
    std::string label = "decode";
};

class DecodeCard : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::filesystem::create_directories(root_ / "tmp");
        std::filesystem::create_directories(root_ / "var/run");
        cmd_dir_ = root_ / "cmd";
        std::filesystem::create_directories(cmd_dir_);
        carriertest::recorder(cmd_dir_, "systemctl");
        carriertest::recorder(cmd_dir_, "touch");
        setenv("KD_CMD_DIR", cmd_dir_.c_str(), 1);
        unsetenv("HW_SLOT");
        board_ = std::make_unique<boardsim::BoardSim>();
        board_->pace_egress(true);
        board_->start([this](unsigned ch, const uint8_t *slot) { on_egress(ch, slot); });
        ASSERT_EQ(m30_driver_set_port(chip_.port()), 0);
        frame_up();
    }
    void TearDown() override
    {
        unload();
        frame_down();
        chip_.stop_generator();
        m30_driver_set_port(nullptr);
        board_.reset();
        unsetenv("KD_CMD_DIR");
    }

    void frame_up()
    {
        kd_frame_init();
        up_ = true;
        kd_cuvent_register_cb(nullptr, EV_CHANNEL_ENABLED, channel_events::on, &events_, CUVFLT_NONE);
        kd_cuvent_register_cb(nullptr, EV_CHANNEL_DISABLED, channel_events::on, &events_, CUVFLT_NONE);
    }
    void frame_down()
    {
        if (up_)
            kd_frame_fini();
        up_ = false;
    }

    // This card's carrier (hardware slot 3) as discovery would register it.
    void add_carrier(const card_options &o = {})
    {
        if (!o.carrier)
            return;
        namespace kc = kd::carrier;
        kc::st().native = false;
        auto recs = carriertest::card_records(3, o.rev);
        if (o.model)
            recs[0] = 0x01200000u | uint8_t('A'); // a carrier model other than KT-3300
        const auto f = carriertest::info_frame(3, recs);
        unsigned found = 0;
        ASSERT_EQ(kc::process_info(f.data(), f.size(), found), 0);
        carrier_node *n = kc::node_at_hw(3);
        ASSERT_NE(n, nullptr);
        carriertest::write_text(kd::rooted(std::string(n->data_path) + "/extended.info"),
                                "FUNCTION_0_LABEL=" + o.label + "\n");
        kc::apply_extended_info();
    }

    // decode_init through the manager's record, as kd_frame_load_plugin
    // calls it (then the saved values are applied).
    void load(const card_options &o = {})
    {
        add_carrier(o);
        pli_ = kd_plugin_get_pli_by_name("decode");
        if (!pli_)
            pli_ = __test_insert_active_plugin("decode", "libsv-decode.so");
        ASSERT_NE(pli_, nullptr);
        pli_->handle = reinterpret_cast<void *>(99);
        if (!pli_->watchers)
            pli_->watchers = kd_frame_watchlist_new();
        pli_->fini = [] { return decode_fini_impl(); };
        decode_init_impl(pli_);
        loaded_ = true;
    }
    void unload()
    {
        if (loaded_)
            kd_frame_unload_plugin("decode");
        loaded_ = false;
    }

    // Runs the loop (emitting "frame run" on its first run) until pred
    // holds or the deadline passes; the answer of pred.
    bool run_until(const std::function<bool()> &pred, double seconds = 60.0)
    {
        struct ctx_t {
            const std::function<bool()> *pred;
            std::chrono::steady_clock::time_point end;
        } ctx{&pred, std::chrono::steady_clock::now() + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                                           std::chrono::duration<double>(seconds))};
        kd_frame_timeout_register("harness-wait", [](void *c) {
            auto *x = static_cast<ctx_t *>(c);
            if ((*x->pred)() || std::chrono::steady_clock::now() > x->end)
                kd_shutdown();
        }, &ctx, 0.01, 1, nullptr);
        kd_frame_run();
        kd_frame_stop_watcher("harness-wait", nullptr);
        return pred();
    }

    // Everything the queue holds, handed to the plug-in's reader now.
    void drain_queue()
    {
        if (dec().mqueue)
            kd_mqueue_read_periodic(dec().mqueue);
    }

    param_context *param(const std::string &route) { return kd_param_get_by_route(route.c_str()); }
    std::string value(const std::string &route)
    {
        char *t = kd_param_get_value_text(param(route));
        std::string s = t ? t : "<none>";
        std::free(t);
        return s;
    }
    param_set_result set(const std::string &route, const char *text)
    {
        param_context *p = param(route);
        if (param_choice_ops *c = kd_param_get_choice_ops(p))
            return c->set(p, text);
        if (param_number_ops *n = kd_param_get_number_ops(p))
            return n->set(p, text);
        ADD_FAILURE() << "no settable parameter at " << route;
        return PARAM_SET_FAILURE;
    }

    std::string calls() const { return carriertest::read_text(cmd_dir_ + "/calls"); }

    // Test-pattern mode register of input n: 0x8000 matte, 2 overlay, 1 bars.
    uint16_t tp_mode(unsigned n) const { return board_->wr16(0x1000 + n * 0x200 + 0x02); }
    // SDI audio source word of output n: 0 muted, 0x55555555 from the embedder.
    uint32_t sdi_audio_source(unsigned n) const { return board_->wr32(n * 0x100 + 0x10); }

    // Test-pattern standard word of input n (format, rate, clock and force
    // bits) and its text size (1 single, 2 double).
    uint16_t tp_std(unsigned n) const { return board_->wr16(0x1000 + n * 0x200 + 0x04); }
    uint16_t tp_text_size(unsigned n) const { return board_->wr16(0x1000 + n * 0x200 + 0x18); }
    // SDI control word: 0x5A00 | 0x40 inverted | 0x80 UHD.
    uint16_t sdi_control() const { return board_->wr16(0x3000); }
    // ST 352 payload and control word of hardware channel c.
    uint32_t st352_data(unsigned c) const { return board_->wr32(c * 0x100 + 0x404); }
    uint16_t st352_ctl(unsigned c) const { return board_->wr16(c * 0x100 + 0x402); }
    // Overwrites what the board shows as last written (to see whether a
    // register is written again).
    void poison16(uint32_t off, uint16_t v) { boardsim::put16(board_->board().wr, off, v); }
    void poison32(uint32_t off, uint32_t v) { boardsim::put32(board_->board().wr, off, v); }

    // A record posted to the plug-in's queue as its threads post them; the
    // loop reads it at the next drain.
    template <typename T> void post(dec_msg_type type, const T &rec)
    {
        ASSERT_NE(dec().mqueue, nullptr);
        auto *block = static_cast<T *>(std::malloc(sizeof(T)));
        std::memcpy(static_cast<void *>(block), &rec, sizeof(T));
        const kd_mqueue_entry e{type, block};
        ASSERT_EQ(kd_mqueue_write(dec().mqueue, &e), 0);
    }
    // mode: an m30_video_mode, or any other word the record may carry.
    void post_program(unsigned ch, uint32_t pcr, uint32_t video, uint32_t mode)
    {
        pid_info_data p{};
        p.ch_idx = ch, p.pcr_pid = pcr, p.video_pid = video;
        std::memcpy(&p.video_mode, &mode, sizeof mode);
        post(DEC_MSG_PID_INFO, p);
        drain_queue();
    }
    void post_video(const video_info_data &v)
    {
        post(DEC_MSG_VID_INFO, v);
        drain_queue();
    }

    // Packets the simulated FPGA consumed from a channel's ring.
    std::vector<uint8_t> consumed(unsigned ch)
    {
        std::lock_guard l(egress_mu_);
        return egress_[ch];
    }

    kdtest::TempRoot root_;
    kdtest::LogCapture log_;
    std::string cmd_dir_;
    std::unique_ptr<boardsim::BoardSim> board_;
    m30sim::Chip chip_;
    channel_events events_;
    plugin_load_info *pli_ = nullptr;
    bool up_ = false, loaded_ = false;

private:
    void on_egress(unsigned ch, const uint8_t *slot)
    {
        std::lock_guard l(egress_mu_);
        egress_[ch].insert(egress_[ch].end(), slot + slot[0], slot + slot[0] + 188);
    }
    std::mutex egress_mu_;
    std::vector<uint8_t> egress_[2];
};

} // namespace dectest

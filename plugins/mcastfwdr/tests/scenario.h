// A card for forwarder scenarios: namespaces with eth0 and eth1 addressed,
// a simulated carrier in hardware slot 3 (and one for the card's own slot
// when it is another), the on-card marker in a temporary root, and the
// framework started inside the card's namespace. The forwarder is then
// either started from its linked entries, as the plug-in manager would
// (start_linked), or loaded from libsv-mcastfwdr through the manager.
// Needs root; skip_reason() says why it cannot run.
#pragma once

#include "engine_fixture.h"
#include "netrig.h"

#include <kerrow/param.h>
#include <kerrow/store.h>
#include <kerrow/system.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

namespace mcftest {

class scenario {
public:
    static std::string skip_reason() { return xsbsim::net_rig::skip_reason(); }

    // hw_slot: this card's hardware slot (3: the master). with_library:
    // the plug-in manager finds libsv-mcastfwdr; otherwise it finds nothing
    // and start_linked() inserts the record.
    // function_label: the card's function label, given to its carrier
    // model through extended.info (null: none).
    // info: the INFO records of the carrier in the card's own slot (empty:
    // the default ones).
    explicit scenario(unsigned hw_slot = 3, bool with_library = false, const char *function_label = nullptr,
                      std::vector<uint32_t> info = {})
        : hw_slot_(int(hw_slot)), info_(std::move(info))
    {
        if (function_label) {
            std::filesystem::create_directories(root_ / "usr/local/share/KT-3300");
            std::ofstream(root_ / "usr/local/share/KT-3300/extended.info")
                << "FUNCTION_0_LABEL=" << function_label << "\n";
        }
        std::filesystem::create_directories(root_ / "opt/pkg/var");
        std::ofstream(root_ / "opt/pkg/var/oem") << "";
        std::filesystem::create_directories(root_ / "cmd");
        setenv("KD_CMD_DIR", (root_ / "cmd").c_str(), 1);
        rig_ = std::make_unique<xsbsim::net_rig>();
        const std::string in = rig_->exec_in(rig_->card());
        std::system((in + "ip addr add 10.77.0.1/24 dev eth0 >/dev/null 2>&1").c_str());
        std::system((in + "ip addr add 10.77.1.1/24 dev eth1 >/dev/null 2>&1").c_str());
        add_carrier(3);
        if (hw_slot != 3)
            add_carrier(int(hw_slot));
        card_ = std::make_unique<xsbsim::net_rig::enter>(rig_->card());
        setenv("HW_SLOT", std::to_string(hw_slot).c_str(), 1);
        std::filesystem::create_directories(root_ / "noplugins");
        setenv("SV_PLUGINS_PATH",
               with_library ? (std::string(std::getenv("KD_BUILD_DIR")) + "/plugins").c_str() : (root_ / "noplugins").c_str(), 1);
        kd_frame_init();
        // The card's interfaces as the framework learns them from route netlink
        // (a carrier with an ASI port has no external ones).
        bool asi = false;
        for (uint32_t r : info_)
            asi = asi || ((r >> 28) == 4 && ((r >> 16) & 0xFF) == 9);
        run_loop_until([asi] {
            return (asi || (mcastfwdr_eth_intf_is_operational("eth0") && mcastfwdr_eth_intf_is_operational("eth1"))) &&
                   mcastfwdr_eth_intf_is_operational("eth2");
        });
    }
    ~scenario()
    {
        kd_frame_fini();
        card_.reset();
        sims_.clear();
        rig_.reset();
        for (const char *v : {"KD_CMD_DIR", "HW_SLOT", "SV_PLUGINS_PATH"})
            unsetenv(v);
    }
    scenario(const scenario &) = delete;
    scenario &operator=(const scenario &) = delete;

    // The forwarder from its linked entries, with the saved values applied
    // and "mcastfwdr_parms_loaded" emitted as the plug-in manager does.
    plugin_load_info *start_linked()
    {
        plugin_load_info *pli = __test_insert_active_plugin("mcastfwdr", "/linked/libsv-mcastfwdr.so");
        pli->init = mcastfwdr_init;
        pli->fini = mcastfwdr_fini;
        pli->init(pli);
        if (pli->top_param)
            kd_store_load_params(pli, pli->top_param);
        kd_cuvent_emit(nullptr, "mcastfwdr_parms_loaded", nullptr);
        return pli;
    }
    // A later change as the configuration's appliers make it.
    template <class F> int change(F fn)
    {
        mcf::write_lock lock;
        fn();
        return manager_input_output_sync(0);
    }
    const kdtest::LogCapture &log() const { return log_; }
    kdtest::LogCapture &log() { return log_; }
    const xsbsim::net_rig &rig() const { return *rig_; }
    // The simulated carriers: [0] in hardware slot 3, [1] in the card's own slot when another.
    xsbsim::carrier_sim &carrier(size_t i = 0) { return *sims_.at(i); }
    // A shell command in the card's or the chassis' namespace; its exit status.
    int in_card(const std::string &cmd) const { return std::system((rig_->exec_in(rig_->card()) + cmd).c_str()); }
    int in_chassis(const std::string &cmd) const { return std::system((rig_->exec_in(rig_->chassis()) + cmd).c_str()); }
    // Standard output of a command in the card's namespace.
    std::string card_output(const std::string &cmd) const
    {
        std::string out;
        if (FILE *f = popen((rig_->exec_in(rig_->card()) + cmd).c_str(), "r")) {
            char buf[512];
            while (size_t n = fread(buf, 1, sizeof buf, f))
                out.append(buf, n);
            pclose(f);
        }
        return out;
    }

private:
    void add_carrier(int slot)
    {
        xsbsim::config c;
        c.ifname = "peer2";
        c.slot = slot;
        c.erase_ms = 5;
        if (slot == hw_slot_)
            c.info = info_;
        sims_.push_back(xsbsim::start_carrier_in(rig_->chassis(), std::move(c)));
    }

    int hw_slot_;
    std::vector<uint32_t> info_;
    kdtest::TempRoot root_;
    kdtest::LogCapture log_;
    std::unique_ptr<xsbsim::net_rig> rig_;
    std::vector<std::unique_ptr<xsbsim::carrier_sim>> sims_;
    std::unique_ptr<xsbsim::net_rig::enter> card_;
};

// A set by route through the parameter's own operations, as a client's.
inline param_set_result set_param(const std::string &route, const char *text)
{
    param_context *p = kd_param_get_by_route(route.c_str());
    if (auto *c = kd_param_get_choice_ops(p))
        return c->set(p, text);
    auto *s = kd_param_get_string_ops(p);
    return s ? s->set(p, text) : kd_param_get_number_ops(p)->set(p, text);
}

// One datagram from the chassis side of eth1 (10.77.1.2 on peer1).
inline bool send_to_card(const scenario &card, const char *addr, int port, const std::string &text)
{
    xsbsim::net_rig::enter in(card.rig().chassis());
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    in_addr local{};
    inet_pton(AF_INET, "10.77.1.2", &local);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(uint16_t(port));
    inet_pton(AF_INET, addr, &to.sin_addr);
    const bool sent = fd >= 0 && setsockopt(fd, IPPROTO_IP, IP_MULTICAST_IF, &local, sizeof local) == 0 &&
                      sendto(fd, text.data(), text.size(), 0, reinterpret_cast<sockaddr *>(&to), sizeof to) ==
                          ssize_t(text.size());
    close(fd);
    return sent;
}

} // namespace mcftest

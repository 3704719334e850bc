// The rig's network: per test four namespaces, all named with the pid and
// a counter so parallel tests do not meet:
//   generator "kdrg..."  gen0   10.35.1.1/24  <->  card eth1 10.35.1.2/24
//   card      "kdrc..."  eth0   10.35.0.2/24  <->  sink sink0 10.35.0.1/24
//   carrier   "kdrx..."  car0   (no address)  <->  card eth2
// Multicast leaves the generator on gen0 and the card on eth0; the sink
// hears it on sink0. All links are up when the constructor returns, before
// any plug-in loads. Routes change only inside these namespaces; they go,
// with their veths, on destruction (after a kill: when the next rig starts). Needs root (xsbsim::net_rig::skip_reason).
#pragma once

#include "netrig.h"

#include <atomic>
#include <cstdlib>
#include <stdexcept>
#include <string>

namespace rig {

inline constexpr const char *generator_addr = "10.35.1.1";
inline constexpr const char *card_in_addr = "10.35.1.2";
inline constexpr const char *card_out_addr = "10.35.0.2";
inline constexpr const char *sink_addr = "10.35.0.1";

class net {
public:
    net()
    {
        rigproc::sweep_once();
        static std::atomic<int> counter{0};
        const std::string tag = std::to_string(getpid()) + "x" + std::to_string(counter++);
        gen_ = "kdrg" + tag;
        card_ = "kdrc" + tag;
        sink_ = "kdrs" + tag;
        car_ = "kdrx" + tag;
        std::string s = "set -e;";
        for (const auto *ns : {&gen_, &card_, &sink_, &car_})
            s += " ip netns add " + *ns + "; ip -n " + *ns + " link set lo up;";
        s += link(card_, "eth1", gen_, "gen0") + link(card_, "eth0", sink_, "sink0") +
             link(card_, "eth2", car_, "car0");
        s += addr(gen_, "gen0", generator_addr) + addr(card_, "eth1", card_in_addr) +
             addr(card_, "eth0", card_out_addr) + addr(sink_, "sink0", sink_addr);
        s += " ip -n " + gen_ + " route add 224.0.0.0/4 dev gen0;";
        s += " ip -n " + card_ + " route add 224.0.0.0/4 dev eth0;";
        s += " ip -n " + sink_ + " route add 224.0.0.0/4 dev sink0;";
        if (run(s) != 0) {
            remove();
            throw std::runtime_error("could not create the rig's namespaces");
        }
    }
    ~net() { remove(); }
    net(const net &) = delete;
    net &operator=(const net &) = delete;

    const std::string &generator() const { return gen_; }
    const std::string &card() const { return card_; }
    const std::string &sink() const { return sink_; }
    const std::string &carrier() const { return car_; }

private:
    static std::string link(const std::string &a, const std::string &an, const std::string &b,
                            const std::string &bn)
    {
        return " ip -n " + a + " link add " + an + " type veth peer name " + bn + " netns " + b + ";" +
               " ip -n " + a + " link set " + an + " up; ip -n " + b + " link set " + bn + " up;";
    }
    static std::string addr(const std::string &ns, const std::string &dev, const char *a)
    {
        return " ip -n " + ns + " addr add " + a + "/24 dev " + dev + ";";
    }
    static int run(const std::string &script)
    {
        const std::string cmd = "sh -c '" + script + "' >/dev/null 2>&1";
        return std::system(cmd.c_str());
    }
    void remove()
    {
        run("ip netns del " + gen_ + "; ip netns del " + card_ + "; ip netns del " + sink_ +
            "; ip netns del " + car_ + "; true");
    }

    std::string gen_, card_, sink_, car_;
};

} // namespace rig

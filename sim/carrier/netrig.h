// A chassis on one machine for tests: two network namespaces, "card" with
// eth0, eth1 and eth2 and "chassis" with their veth peers peer0, peer1 and
// peer2. Two namespaces because a packet socket that is not bound to an
// interface hears both ends of a veth within one namespace.
//
// Names carry the pid (and a counter), so parallel test binaries do not
// meet; the namespaces (and with them the veths) are removed on destruction,
// or by the next rig to start when this run was killed (rigproc.h).
// Needs root: skip_reason() says why a test cannot run.
#pragma once

#include "carrier_sim.h"
#include "rigproc.h"

#include <atomic>
#include <memory>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sched.h>
#include <unistd.h>

namespace xsbsim {

class net_rig {
public:
    // Empty when namespaces can be made here, else the reason.
    static std::string skip_reason()
    {
        if (geteuid() != 0)
            return "needs root for network namespaces and packet sockets (CI runs as root)";
        if (std::system("ip -V >/dev/null 2>&1") != 0)
            return "needs the ip command (iproute2)";
        return {};
    }

    net_rig()
    {
        rigproc::sweep_once();
        static std::atomic<int> counter{0};
        const std::string tag = std::to_string(getpid()) + "x" + std::to_string(counter++);
        card_ = "kdcard" + tag;
        chassis_ = "kdchas" + tag;
        std::string script = "set -e; ip netns add " + card_ + "; ip netns add " + chassis_ + ";" +
                             " ip -n " + card_ + " link set lo up; ip -n " + chassis_ + " link set lo up;";
        for (int i = 0; i < 3; ++i) {
            const std::string n = std::to_string(i);
            script += " ip -n " + card_ + " link add eth" + n + " type veth peer name peer" + n +
                      " netns " + chassis_ + ";" + " ip -n " + card_ + " link set eth" + n + " up;" +
                      " ip -n " + chassis_ + " link set peer" + n + " up;";
        }
        if (run(script) != 0) {
            remove();
            throw std::runtime_error("could not create the test namespaces");
        }
    }
    ~net_rig() { remove(); }
    net_rig(const net_rig &) = delete;
    net_rig &operator=(const net_rig &) = delete;

    const std::string &card() const { return card_; }
    const std::string &chassis() const { return chassis_; }

    // "ip netns exec NAME " for commands run in a namespace.
    std::string exec_in(const std::string &ns) const { return "ip netns exec " + ns + " "; }

    // While alive, the calling thread lives in the namespace: sockets it
    // opens belong there (and stay there when the thread moves back).
    class enter {
    public:
        explicit enter(const std::string &ns)
        {
            self_ = ::open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
            const int target = ::open(("/run/netns/" + ns).c_str(), O_RDONLY | O_CLOEXEC);
            const bool ok = self_ >= 0 && target >= 0 && setns(target, CLONE_NEWNET) == 0;
            if (target >= 0)
                ::close(target);
            if (!ok)
                throw std::runtime_error("setns " + ns + ": " + std::strerror(errno));
        }
        ~enter()
        {
            if (setns(self_, CLONE_NEWNET) != 0)
                std::perror("setns back");
            ::close(self_);
        }
        enter(const enter &) = delete;
        enter &operator=(const enter &) = delete;

    private:
        int self_ = -1;
    };

private:
    static int run(const std::string &script)
    {
        const std::string cmd = "sh -c '" + script + "' >/dev/null 2>&1";
        return std::system(cmd.c_str());
    }
    void remove()
    {
        run("ip netns del " + card_ + "; ip netns del " + chassis_ + "; true");
    }

    std::string card_, chassis_;
};

// A whole chassis for tests: one namespace "kdchas<pid>x<n>" holding a
// bridge "xsb" that stands for the backplane, and per processor card a
// namespace "kdcard<pid>x<n>c<k>" whose eth2 is a veth onto the bridge.
// Simulated carriers sit in the chassis namespace, each on its own veth
// "car<k>" whose peer is a bridge port. Needs root (net_rig::skip_reason).
class chassis_rig {
public:
    chassis_rig()
    {
        rigproc::sweep_once();
        static std::atomic<int> counter{0};
        tag_ = std::to_string(getpid()) + "x" + std::to_string(counter++);
        chassis_ = "kdchas" + tag_;
        if (run("set -e; ip netns add " + chassis_ + "; ip -n " + chassis_ + " link set lo up;" + " ip -n " +
                chassis_ + " link add xsb type bridge; ip -n " + chassis_ + " link set xsb up") != 0) {
            remove();
            throw std::runtime_error("could not create the chassis namespace");
        }
    }
    ~chassis_rig() { remove(); }
    chassis_rig(const chassis_rig &) = delete;
    chassis_rig &operator=(const chassis_rig &) = delete;

    const std::string &chassis() const { return chassis_; }

    // A processor card: its namespace name, with eth2 on the backplane and,
    // when given, an address ("169.254.1.3/24") on it.
    std::string add_card(const std::string &address = "")
    {
        const std::string k = std::to_string(cards_++);
        const std::string ns = "kdcard" + tag_ + "c" + k;
        if (run("set -e; ip netns add " + ns + "; ip -n " + ns + " link set lo up; ip -n " + ns +
                " link add eth2 type veth peer name bp" + k + " netns " + chassis_ + "; ip -n " + ns +
                " link set eth2 up; ip -n " + chassis_ + " link set bp" + k + " master xsb; ip -n " + chassis_ +
                " link set bp" + k + " up") != 0)
            throw std::runtime_error("could not add a card namespace");
        card_ns_.push_back(ns);
        if (!address.empty())
            add_address(ns, address);
        return ns;
    }
    // One more address on a card's eth2.
    void add_address(const std::string &ns, const std::string &address)
    {
        if (run("ip -n " + ns + " addr add " + address + " dev eth2") != 0)
            throw std::runtime_error("could not give eth2 the address " + address);
    }
    // An interface in the chassis namespace for one simulated carrier.
    std::string add_carrier_port()
    {
        const std::string k = std::to_string(ports_++);
        const std::string ifname = "car" + k;
        if (run("set -e; ip -n " + chassis_ + " link add " + ifname + " type veth peer name cbp" + k + "; ip -n " +
                chassis_ + " link set cbp" + k + " master xsb; ip -n " + chassis_ + " link set cbp" + k +
                " up; ip -n " + chassis_ + " link set " + ifname + " up") != 0)
            throw std::runtime_error("could not add a carrier port");
        return ifname;
    }

private:
    static int run(const std::string &script)
    {
        const std::string cmd = "sh -c '" + script + "' >/dev/null 2>&1";
        return std::system(cmd.c_str());
    }
    void remove()
    {
        std::string script;
        for (const std::string &ns : card_ns_)
            script += "ip netns del " + ns + "; ";
        run(script + "ip netns del " + chassis_ + "; true");
    }

    std::string tag_, chassis_;
    std::vector<std::string> card_ns_;
    int cards_ = 0, ports_ = 0;
};

// Opens a simulated carrier's socket inside namespace `ns` (the calling
// thread comes back out) and starts serving on its own thread.
inline std::unique_ptr<carrier_sim> start_carrier_in(const std::string &ns, config cfg)
{
    auto sim = std::make_unique<carrier_sim>(std::move(cfg));
    {
        net_rig::enter in(ns);
        if (!sim->open())
            throw std::runtime_error(sim->error());
    }
    sim->start();
    return sim;
}

} // namespace xsbsim

// A network namespace of the test's own (root only), so that the
// well-known ports are free and nothing of the machine's network is seen.
#pragma once

#include <fcntl.h>
#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>

namespace wstest {

// Enters a fresh network namespace with its loopback up; leaves it again.
class OwnNetwork {
public:
    OwnNetwork()
    {
        old_ = open("/proc/self/ns/net", O_RDONLY | O_CLOEXEC);
        if (old_ < 0 || unshare(CLONE_NEWNET) != 0)
            return;
        int s = socket(AF_INET, SOCK_DGRAM, 0);
        ifreq ifr{};
        std::snprintf(ifr.ifr_name, sizeof ifr.ifr_name, "lo");
        ifr.ifr_flags = IFF_UP | IFF_LOOPBACK | IFF_RUNNING;
        ok_ = s >= 0 && ioctl(s, SIOCSIFFLAGS, &ifr) == 0;
        if (s >= 0)
            close(s);
    }
    ~OwnNetwork()
    {
        if (old_ >= 0) {
            setns(old_, CLONE_NEWNET);
            close(old_);
        }
    }
    bool ok() const { return ok_; }

private:
    int old_ = -1;
    bool ok_ = false;
};

} // namespace wstest

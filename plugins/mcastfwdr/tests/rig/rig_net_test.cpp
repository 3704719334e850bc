// The rig's network alone: multicast from the generator reaches the card on
// eth1, multicast sent by the card leaves on eth0 and reaches the sink, and
// nothing is left behind.
#include "rig_net.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

namespace {

// A UDP socket in `ns` joined to `group` on `dev`, bound to the group's port.
int listener(const std::string &ns, const char *dev, const char *group, int port)
{
    xsbsim::net_rig::enter in(ns);
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    inet_pton(AF_INET, group, &a.sin_addr);
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0)
        return -1;
    ip_mreqn m{};
    inet_pton(AF_INET, group, &m.imr_multiaddr);
    m.imr_ifindex = static_cast<int>(if_nametoindex(dev));
    if (m.imr_ifindex == 0 || setsockopt(fd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &m, sizeof m) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

bool send_from(const std::string &ns, const char *group, int port, const std::string &text)
{
    xsbsim::net_rig::enter in(ns);
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    inet_pton(AF_INET, group, &a.sin_addr);
    const bool ok = fd >= 0 && sendto(fd, text.data(), text.size(), 0, reinterpret_cast<sockaddr *>(&a), sizeof a) ==
                                   static_cast<ssize_t>(text.size());
    if (fd >= 0)
        close(fd);
    return ok;
}

std::string receive(int fd)
{
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 10000) != 1)
        return "nothing";
    char buf[256];
    const ssize_t n = recv(fd, buf, sizeof buf, 0);
    return n < 0 ? "error" : std::string(buf, static_cast<size_t>(n));
}

bool ns_exists(const std::string &ns) { return access(("/run/netns/" + ns).c_str(), F_OK) == 0; }

TEST(RigNet, MulticastFlowsGeneratorToCardAndCardToSink)
{
    if (const std::string why = xsbsim::net_rig::skip_reason(); !why.empty())
        GTEST_SKIP() << why;
    std::string names[4];
    {
        rig::net n;
        names[0] = n.generator(), names[1] = n.card(), names[2] = n.sink(), names[3] = n.carrier();
        const int in = listener(n.card(), "eth1", "239.35.1.1", 5001);
        const int out = listener(n.sink(), "sink0", "239.35.0.1", 5002);
        ASSERT_GE(in, 0);
        ASSERT_GE(out, 0);
        ASSERT_TRUE(send_from(n.generator(), "239.35.1.1", 5001, "to card"));
        EXPECT_EQ(receive(in), "to card");
        ASSERT_TRUE(send_from(n.card(), "239.35.0.1", 5002, "to sink"));
        EXPECT_EQ(receive(out), "to sink");
        close(in);
        close(out);
        for (const auto &ns : names)
            EXPECT_TRUE(ns_exists(ns)) << ns;
    }
    for (const auto &ns : names)
        EXPECT_FALSE(ns_exists(ns)) << ns;
}

} // namespace

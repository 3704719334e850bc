// Batched datagram I/O over loopback.
#include "mmsg.h"
#include "status_queue.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstring>
#include <vector>

namespace {

// A UDP receiver bound to a free loopback port.
int loopback_receiver(int *port)
{
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0)
        return -1;
    socklen_t len = sizeof a;
    getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len);
    *port = ntohs(a.sin_port);
    return fd;
}

std::vector<char> slots(int fill)
{
    std::vector<char> b(size_t(MMSG_BATCH) * MMSG_SLOT_LEN);
    for (size_t i = 0; i < b.size(); ++i)
        b[i] = char(fill + int(i / MMSG_SLOT_LEN));
    return b;
}

TEST(McfMmsg, TenDatagramsGoOutInOneCallAndComeBackInOne)
{
    int port = 0;
    const int rfd = loopback_receiver(&port);
    ASSERT_GE(rfd, 0);
    mmsg_rx *rx = mmsg_rx_ctor(rfd);
    mmsg_tx *tx = mmsg_tx_ctor_from_ip("127.0.0.1", port);
    ASSERT_NE(tx, nullptr);

    std::vector<char> out = slots(1);
    EXPECT_EQ(mmsg_tx_send(tx, 0, out.data(), 1328, MMSG_BATCH), MMSG_BATCH);
    EXPECT_EQ(mmsg_tx_get_msg_len(tx, 9), 1328);

    std::vector<char> in(size_t(MMSG_BATCH) * MMSG_SLOT_LEN);
    std::vector<char *> bufs;
    for (int i = 0; i < MMSG_BATCH; ++i)
        bufs.push_back(in.data() + size_t(i) * MMSG_SLOT_LEN);
    EXPECT_EQ(mmsg_rx_recv_blocking(rx, 0, bufs.data()), MMSG_BATCH);
    for (int i = 0; i < MMSG_BATCH; ++i) {
        EXPECT_EQ(mmsg_rx_get_msg_len(rx, i), 1328);
        EXPECT_EQ(bufs[size_t(i)][0], char(1 + i)) << i; // in order, each from its own slot
    }

    // Fewer than ten, all sent: success with that count. Then a batch
    // received in pieces.
    EXPECT_EQ(mmsg_tx_send(tx, 0, out.data(), 188, 3), 3);
    mmsg_rx_reset_msgs_recvd(rx);
    EXPECT_EQ(mmsg_rx_recv(rx, MSG_DONTWAIT, bufs.data()), 3);
    EXPECT_EQ(mmsg_tx_send(tx, 0, out.data(), 188, 7), 7);
    EXPECT_EQ(mmsg_rx_recv(rx, MSG_DONTWAIT, bufs.data()), 10);
    EXPECT_EQ(bufs[3][0], char(1)); // the second call filled from slot 3 on

    EXPECT_EQ(mmsg_tx_send(tx, 0, out.data(), 188, 11), -1);
    EXPECT_EQ(mmsg_tx_send(tx, 0, out.data(), 188, 0), -1);
    mmsg_tx_dtor(tx);
    mmsg_rx_dtor(rx);
}

TEST(McfMmsg, ABadLengthOrASocketErrorEndsTheBatch)
{
    int port = 0;
    const int rfd = loopback_receiver(&port);
    mmsg_rx *rx = mmsg_rx_ctor(rfd);
    mmsg_tx *tx = mmsg_tx_ctor_from_ip("127.0.0.1", port);
    ASSERT_NE(tx, nullptr);
    std::vector<char> out = slots(0);
    EXPECT_EQ(mmsg_tx_send(tx, 0, out.data(), 1327, 1), -1); // sent, but not whole packets
    EXPECT_EQ(mmsg_tx_send(tx, 0, out.data(), 188, 9), 9);
    std::vector<char> in(size_t(MMSG_BATCH) * MMSG_SLOT_LEN);
    std::vector<char *> bufs;
    for (int i = 0; i < MMSG_BATCH; ++i)
        bufs.push_back(in.data() + size_t(i) * MMSG_SLOT_LEN);
    EXPECT_EQ(mmsg_rx_recv_blocking(rx, 0, bufs.data()), -1); // the 1327-byte one
    mmsg_tx_dtor(tx);

    // A descriptor that is not a socket: the blocking receive stops at once.
    const int dead = dup(STDIN_FILENO);
    mmsg_rx *bad = mmsg_rx_ctor(dead);
    EXPECT_EQ(mmsg_rx_recv_blocking(bad, MSG_DONTWAIT, bufs.data()), -1);
    mmsg_rx_dtor(bad);
    mmsg_rx_dtor(rx);
    EXPECT_EQ(mmsg_tx_ctor_from_ip("not an address", 5000), nullptr);
}

TEST(McfMmsg, ListsMapDescriptorsAndLeaveThemOpen)
{
    int port = 0;
    const int fd = loopback_receiver(&port);
    EXPECT_EQ(mmsg_list_tx_ctor(), 0);
    EXPECT_EQ(mmsg_list_tx_remove(fd), 0); // never added: fine
    EXPECT_EQ(mmsg_list_tx_add(fd), 0);
    ASSERT_NE(mmsg_list_tx_get(fd), nullptr);
    EXPECT_EQ(mmsg_tx_get_fd(mmsg_list_tx_get(fd)), fd);
    EXPECT_EQ(mmsg_list_tx_get(fd + 1000), nullptr);
    EXPECT_EQ(mmsg_list_tx_remove(fd), 0);
    EXPECT_EQ(mmsg_list_tx_get(fd), nullptr);
    EXPECT_EQ(fcntl(fd, F_GETFD), FD_CLOEXEC); // still open: its owner closes it
    EXPECT_EQ(mmsg_list_tx_add(fd), 0);
    EXPECT_EQ(mmsg_list_tx_dtor(), 0); // LSan: the sender record goes with the list
    EXPECT_EQ(mmsg_list_tx_get(fd), nullptr);

    EXPECT_EQ(mmsg_list_rx_init(), 0);
    EXPECT_EQ(mmsg_list_rx_add(fd), 0);
    EXPECT_EQ(mmsg_rx_get_fd(mmsg_list_rx_get(fd)), fd);
    EXPECT_EQ(mmsg_list_rx_fini(), 0);
    close(fd);
}

TEST(McfMmsg, BufferPoolWrapsAfterTheLastSet)
{
    EXPECT_EQ(mmsg_bufs_get_next(), nullptr); // made on request only
    ASSERT_EQ(mmsg_bufs_init(), 0);
    mmsg_bufs *first = mmsg_bufs_get_next();
    for (int i = 1; i < MMSG_BUFS_SETS; ++i)
        mmsg_bufs_get_next();
    EXPECT_EQ(mmsg_bufs_get_next(), first); // call 2502
    first->bufs[9][MMSG_SLOT_LEN - 1] = 1;  // whole slots (ASan)
    EXPECT_EQ(mmsg_bufs_fini(), 0);
}

} // namespace

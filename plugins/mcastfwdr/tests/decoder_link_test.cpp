// The decoder link: the two channel sockets and their addresses under the
// root, and a decoder output's egress sending datagrams of ten packets to
// a receiver bound on the channel's path, also when nobody listens or the
// receiver stops reading.
#include "egress/decoder_link.h"
#include "egress/egress.h"
#include "engine_fixture.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cstring>
#include <filesystem>
#include <vector>

namespace {

using mcftest::EngineTest;

// A stand-in for the decoder's receiving side on one channel's path.
struct receiver {
    int fd = -1;
    explicit receiver(const sockaddr_un &at)
    {
        fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        ::unlink(at.sun_path);
        EXPECT_EQ(bind(fd, reinterpret_cast<const sockaddr *>(&at), sizeof at), 0) << std::strerror(errno);
    }
    ~receiver() { ::close(fd); }
    // The next datagram, or an empty one when nothing comes within quiet_ms.
    std::vector<uint8_t> take(int quiet_ms = 5000) const
    {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, quiet_ms) <= 0)
            return {};
        std::vector<uint8_t> d(3760);
        const ssize_t r = recv(fd, d.data(), d.size(), 0);
        d.resize(size_t(r > 0 ? r : 0));
        return d;
    }
};

std::vector<std::array<uint8_t, 188>> numbered(size_t n)
{
    std::vector<std::array<uint8_t, 188>> v(n);
    for (size_t i = 0; i < n; ++i) {
        v[i].fill(0xA5);
        v[i][0] = 0x47;
        v[i][1] = 0x01; // PID 0x100 + i % 4
        v[i][2] = uint8_t(i % 4);
        v[i][3] = uint8_t(0x10 | ((i / 4) & 0xF));
        std::memcpy(&v[i][4], &i, sizeof i);
    }
    return v;
}

class DecoderLink : public EngineTest {
protected:
    void TearDown() override
    {
        mcf_decoder_fini();
        EngineTest::TearDown();
    }
    mcastfwdr_egress *decoder_output(int ch, std::atomic<uint64_t> *sent)
    {
        cfg_tx *tx = output(ch, EGRTYPE_DEC);
        tx->dest_bps = ch == 0 ? 100000000 : 25000000;
        return mcastfwdr_egress_ctor(tx, -1, -1, sent);
    }
};

TEST_F(DecoderLink, NothingOnACardThatIsNoDecoder)
{
    EXPECT_EQ(mcf_decoder_init(), 0);
    for (int ch : {0, 1, 2}) {
        EXPECT_EQ(mcf_decoder_get_socket_id(ch), 0) << ch;
        EXPECT_EQ(mcf_decoder_get_socket_remote(ch), nullptr) << ch;
    }
    EXPECT_EQ(mcfcfg_tx_find_by_id(0), nullptr);
    // A decoder output without the link is not built.
    std::atomic<uint64_t> sent{0};
    EXPECT_EQ(decoder_output(0, &sent), nullptr);
}

TEST_F(DecoderLink, SocketsAndAddressesPerChannel)
{
    ASSERT_EQ(mcf::decoder_sockets_open(), 0);
    for (int ch : {0, 1}) {
        EXPECT_GT(mcf_decoder_get_socket_id(ch), 0);
        const sockaddr_un *a = mcf_decoder_get_socket_remote(ch);
        ASSERT_NE(a, nullptr);
        EXPECT_EQ(a->sun_family, AF_UNIX);
        EXPECT_EQ(std::string(a->sun_path), root_ / ("var/run/decode-" + std::to_string(ch) + "-unix.sock"));
        int size = 0;
        socklen_t len = sizeof size;
        getsockopt(mcf_decoder_get_socket_id(ch), SOL_SOCKET, SO_SNDBUF, &size, &len);
        EXPECT_GE(size, 2000000);
    }
    EXPECT_NE(mcf_decoder_get_socket_id(0), mcf_decoder_get_socket_id(1));
    EXPECT_EQ(mcf_decoder_get_socket_id(2), -1);
    EXPECT_EQ(mcf_decoder_get_socket_remote(2), nullptr);
    mcf_decoder_fini();
    EXPECT_EQ(mcf_decoder_get_socket_id(0), 0);
    EXPECT_EQ(mcf_decoder_get_socket_remote(0), nullptr);
}

TEST_F(DecoderLink, TenPacketsADatagramInOrderWithInputPidsKept)
{
    std::filesystem::create_directories(root_ / "var/run");
    ASSERT_EQ(mcf::decoder_sockets_open(), 0);
    receiver rx(*mcf_decoder_get_socket_remote(1));
    std::atomic<uint64_t> sent{0};
    mcastfwdr_egress *eg = decoder_output(1, &sent);
    ASSERT_NE(eg, nullptr);
    const auto pkts = numbered(20);
    // Nineteen packets: one datagram; the ninth of the second waits.
    for (size_t i = 0; i < 19; ++i)
        ASSERT_EQ(ts_pool_write_locked(eg->ts_pool, pkts[i].data(), 0x1FF0, nullptr, 0), 0);
    const auto first = rx.take();
    EXPECT_EQ(rx.take(100).size(), 0u);
    ASSERT_EQ(ts_pool_write_locked(eg->ts_pool, pkts[19].data(), 0x1FF0, nullptr, 0), 0);
    const auto second = rx.take();
    EXPECT_TRUE(mcftest::eventually([&] { return sent.load() == 20; }));
    mcastfwdr_egress_dtor(eg);
    ASSERT_EQ(first.size(), 1880u);
    ASSERT_EQ(second.size(), 1880u);
    for (size_t i = 0; i < 20; ++i) {
        const uint8_t *p = (i < 10 ? first : second).data() + 188 * (i % 10);
        EXPECT_EQ(std::memcmp(p, pkts[i].data(), 188), 0) << i; // order and PID as input
    }
}

TEST_F(DecoderLink, NobodyBoundCountsEachDatagramAsSocketError)
{
    ASSERT_EQ(mcf::decoder_sockets_open(), 0); // var/run does not even exist
    std::atomic<uint64_t> sent{0};
    mcastfwdr_egress *eg = decoder_output(0, &sent);
    ASSERT_NE(eg, nullptr);
    const auto pkts = numbered(35);
    for (const auto &p : pkts)
        ASSERT_EQ(ts_pool_write_locked(eg->ts_pool, p.data(), 0, nullptr, 0), 0);
    EXPECT_TRUE(mcftest::eventually([&] { return eg->stats.socket_error.load() == 3; }));
    EXPECT_TRUE(mcftest::eventually([&] { return ts_pool_level(eg->ts_pool) == 0; }));
    EXPECT_EQ(eg->stats.socket_error.load(), 3u);
    EXPECT_EQ(sent.load(), 0u);
    EXPECT_EQ(mcastfwdr_egress_dtor(eg), 0);
}

TEST_F(DecoderLink, AReceiverThatStopsReadingBlocksNothing)
{
    std::filesystem::create_directories(root_ / "var/run");
    ASSERT_EQ(mcf::decoder_sockets_open(), 0);
    receiver rx(*mcf_decoder_get_socket_remote(0)); // never read
    std::atomic<uint64_t> sent{0};
    mcastfwdr_egress *eg = decoder_output(0, &sent);
    ASSERT_NE(eg, nullptr);
    const auto pkts = numbered(1000);
    // Keep the pool fed until the receiver's queue is full and sends count busy.
    EXPECT_TRUE(mcftest::eventually([&] {
        for (const auto &p : pkts)
            if (ts_pool_write_locked(eg->ts_pool, p.data(), 0, nullptr, 0) != 0)
                break;
        return eg->stats.busy.load() > 0;
    }, 60000));
    // The thread still empties the pool, dropping what cannot be sent.
    const uint64_t busy = eg->stats.busy.load();
    for (size_t i = 0; i < 100; ++i)
        ts_pool_write_locked(eg->ts_pool, pkts[i].data(), 0, nullptr, 0);
    EXPECT_TRUE(mcftest::eventually([&] { return eg->stats.busy.load() >= busy + 10; }));
    EXPECT_EQ(eg->stats.socket_error.load(), 0u);
    EXPECT_EQ(mcastfwdr_egress_dtor(eg), 0);
}

} // namespace

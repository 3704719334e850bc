// Scrambling on the way out: CISSA payloads as AES-128-CBC from the CISSA
// vector with the session word at the parity its count gives, descrambling
// back to the clear packet, a third CA session refused (dropped, never sent
// in the clear), and descrambling on a decoder output.
#include "egress/egress.h"
#include "engine_fixture.h"

#include <openssl/evp.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <array>
#include <cstring>
#include <filesystem>
#include <vector>

namespace {

using mcftest::EngineTest;
using packet = std::array<uint8_t, 188>;

const uint8_t kIv[16] = {'D', 'V', 'B', 'T', 'M', 'C', 'P', 'T', 'A', 'E', 'S', 'C', 'I', 'S', 'S', 'A'};

// The reference: the payload's whole 16-byte blocks in AES-128-CBC from the
// CISSA vector; the header keeps all but its scrambling control.
packet reference_scramble(const packet &clear, const uint8_t *key, bool odd)
{
    packet out = clear;
    EVP_CIPHER_CTX *ctx = EVP_CIPHER_CTX_new();
    EVP_EncryptInit_ex(ctx, EVP_aes_128_cbc(), nullptr, key, kIv);
    EVP_CIPHER_CTX_set_padding(ctx, 0);
    int n = 0;
    EVP_EncryptUpdate(ctx, out.data() + 4, &n, clear.data() + 4, 176);
    EVP_CIPHER_CTX_free(ctx);
    out[3] = uint8_t((out[3] & 0x3F) | (odd ? 0xC0 : 0x80));
    return out;
}

packet clear_packet(uint16_t pid, unsigned cc, uint8_t seed)
{
    packet p;
    for (size_t i = 0; i < p.size(); ++i)
        p[i] = uint8_t(seed + i * 7);
    p[0] = 0x47;
    p[1] = uint8_t(pid >> 8);
    p[2] = uint8_t(pid);
    p[3] = uint8_t(0x10 | (cc & 0xF)); // payload only, clear
    return p;
}

ss_meta scramble_for(int ca, int count, uint8_t key_byte)
{
    ss_meta m{};
    m.ca_id = ca;
    m.sw_count = count;
    std::memset(m.sw, key_byte, sizeof m.sw);
    return m;
}

ss_meta descramble_with(int parity, uint8_t key_byte)
{
    ss_meta m{};
    m.ca_id = -1;
    m.decrypt = parity;
    std::memset(m.decrypt_sw, key_byte, sizeof m.decrypt_sw);
    return m;
}

int udp_sink(sockaddr_in *addr)
{
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    addr->sin_family = AF_INET;
    addr->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr->sin_port = 0;
    bind(fd, reinterpret_cast<sockaddr *>(addr), sizeof *addr);
    socklen_t l = sizeof *addr;
    getsockname(fd, reinterpret_cast<sockaddr *>(addr), &l);
    return fd;
}

std::vector<uint8_t> take(int fd)
{
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 5000) <= 0)
        return {};
    std::vector<uint8_t> d(2048);
    const ssize_t r = recv(fd, d.data(), d.size(), 0);
    d.resize(size_t(r > 0 ? r : 0));
    return d;
}

bool same(const std::vector<uint8_t> &got, const packet &want)
{
    return got.size() == 188 && std::memcmp(got.data(), want.data(), 188) == 0;
}

class EgressCrypt : public EngineTest {};

TEST_F(EgressCrypt, ScramblesPerSessionAndDescramblesBack)
{
    sockaddr_in addr{};
    const int sink = udp_sink(&addr);
    const int tx_fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ASSERT_EQ(connect(tx_fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0);
    cfg_tx *tx = output(0, EGRTYPE_NET);
    tx->dest_bps = 20000000;
    tx->dest_protocol = PROTOCOL_UDP;
    tx->dest_dvb_per_ip = 1;
    mcastfwdr_egress *eg = mcastfwdr_egress_ctor(tx, tx_fd, -1, nullptr);
    ASSERT_NE(eg, nullptr);

    const packet a = clear_packet(0x100, 0, 1), b = clear_packet(0x100, 1, 2), c = clear_packet(0x200, 0, 3),
                 d = clear_packet(0x300, 0, 4);
    uint8_t k1[16], k2[16], k3[16];
    std::memset(k1, 0x11, 16);
    std::memset(k2, 0x22, 16);
    std::memset(k3, 0x33, 16);
    const packet want_a = reference_scramble(a, k1, true);  // count 3: odd
    const packet want_b = reference_scramble(b, k2, false); // count 4: even
    const packet want_c = reference_scramble(c, k3, false); // a second session
    struct entry {
        const packet *pkt;
        ss_meta meta;
        bool has_meta;
    } entries[] = {
        {&a, scramble_for(5, 3, 0x11), true},
        {&b, scramble_for(5, 4, 0x22), true},
        {&c, scramble_for(6, 2, 0x33), true},
        {&d, scramble_for(7, 1, 0x44), true}, // a third session: dropped
        {&want_a, descramble_with(1, 0x11), true},
        {&want_b, descramble_with(2, 0x22), true},
    };
    for (const entry &e : entries)
        ASSERT_EQ(ts_pool_write_locked(eg->ts_pool, e.pkt->data(), 0, e.has_meta ? &e.meta : nullptr,
                                       e.has_meta ? sizeof e.meta : 0),
                  0);
    // Clear packets behind them complete the batches.
    std::vector<packet> tail;
    for (unsigned i = 0; i < 10; ++i)
        tail.push_back(clear_packet(0x400, i, uint8_t(i)));
    for (const packet &p : tail)
        ASSERT_EQ(ts_pool_write_locked(eg->ts_pool, p.data(), 0, nullptr, 0), 0);

    const packet want[] = {want_a, want_b, want_c, a, b, tail[0]};
    for (size_t i = 0; i < std::size(want); ++i) {
        const auto got = take(sink);
        EXPECT_TRUE(same(got, want[i])) << i;
    }
    EXPECT_TRUE(mcftest::eventually([&] { return eg->crypt.decrypt_pkts.load() == 2; }));
    EXPECT_EQ(eg->crypt.encrypt_pkts.load(), 3u);
    EXPECT_EQ(eg->crypt.refused.load(), 1u);
    mcastfwdr_egress_dtor(eg);
    ::close(tx_fd);
    ::close(sink);
}

TEST_F(EgressCrypt, DecoderOutputGetsDescrambledPacketsWithInputPids)
{
    std::filesystem::create_directories(root_ / "var/run");
    ASSERT_EQ(mcf::decoder_sockets_open(), 0);
    const sockaddr_un &at = *mcf_decoder_get_socket_remote(0);
    const int rx = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ASSERT_EQ(bind(rx, reinterpret_cast<const sockaddr *>(&at), sizeof at), 0);
    cfg_tx *tx = output(0, EGRTYPE_DEC);
    tx->dest_bps = 100000000;
    mcastfwdr_egress *eg = mcastfwdr_egress_ctor(tx, -1, -1, nullptr);
    ASSERT_NE(eg, nullptr);
    uint8_t key[16];
    std::memset(key, 0x5A, 16);
    std::vector<packet> clear, scrambled;
    for (unsigned i = 0; i < 10; ++i) {
        clear.push_back(clear_packet(0x101, i, uint8_t(i * 3)));
        scrambled.push_back(reference_scramble(clear.back(), key, false));
    }
    const ss_meta m = descramble_with(2, 0x5A);
    for (const packet &p : scrambled)
        ASSERT_EQ(ts_pool_write_locked(eg->ts_pool, p.data(), 0x1FF0, &m, sizeof m), 0);
    std::vector<uint8_t> got(3760);
    pollfd p{rx, POLLIN, 0};
    ASSERT_EQ(poll(&p, 1, 5000), 1);
    got.resize(size_t(recv(rx, got.data(), got.size(), 0)));
    mcastfwdr_egress_dtor(eg);
    mcf_decoder_fini();
    ::close(rx);
    ASSERT_EQ(got.size(), 1880u);
    for (unsigned i = 0; i < 10; ++i)
        EXPECT_EQ(std::memcmp(got.data() + 188 * i, clear[i].data(), 188), 0) << i;
}

} // namespace

namespace {

// The latency probes: a PCR packet of the measured PID, received 5 ms ago,
// gives one measurement of at least 5000 us when its datagram completes;
// a packet of the PID without a PCR gives none.
TEST_F(EgressCrypt, PcrLatencyIsMeasuredWhenItsDatagramCompletes)
{
    sockaddr_in addr{};
    const int sink = udp_sink(&addr);
    const int tx_fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ASSERT_EQ(connect(tx_fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0);
    cfg_tx *tx = output(0, EGRTYPE_NET);
    tx->dest_bps = 20000000;
    tx->dest_dvb_per_ip = 2;
    mcastfwdr_egress *eg = mcastfwdr_egress_ctor(tx, tx_fd, -1, nullptr);
    ASSERT_NE(eg, nullptr);
    timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    eg->pcr_latency.rx_ns.store(uint64_t(now.tv_sec) * 1000000000u + uint64_t(now.tv_nsec) - 5000000u);
    eg->pcr_latency.pid.store(0x100);
    packet no_pcr = clear_packet(0x100, 0, 1);
    packet with_pcr = clear_packet(0x100, 1, 2);
    with_pcr[3] = 0x31; // adaptation field and payload
    with_pcr[4] = 7;
    with_pcr[5] = 0x10; // PCR flag
    ASSERT_EQ(ts_pool_write_locked(eg->ts_pool, no_pcr.data(), 0, nullptr, 0), 0);
    ASSERT_EQ(ts_pool_write_locked(eg->ts_pool, no_pcr.data(), 0, nullptr, 0), 0);
    ASSERT_TRUE(mcftest::eventually([&] { return ts_pool_level(eg->ts_pool) == 0; }));
    EXPECT_EQ(eg->pcr_latency.samples.load(), 0u);
    ASSERT_EQ(ts_pool_write_locked(eg->ts_pool, with_pcr.data(), 0, nullptr, 0), 0);
    ASSERT_EQ(ts_pool_write_locked(eg->ts_pool, no_pcr.data(), 0, nullptr, 0), 0);
    ASSERT_TRUE(mcftest::eventually([&] { return eg->pcr_latency.samples.load() == 1; }));
    EXPECT_GE(eg->pcr_latency.last_us.load(), 5000u);
    EXPECT_LT(eg->pcr_latency.last_us.load(), 5000000u);
    EXPECT_EQ(eg->klv_latency.samples.load(), 0u);
    mcastfwdr_egress_dtor(eg);
    ::close(tx_fd);
    ::close(sink);
}

} // namespace

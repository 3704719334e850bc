// An output's egress thread over loopback: datagram sizes for UDP and RTP,
// RTP headers, PID rewriting, the redundant copy for RTP only, and packets
// in the order the pool gave them.
#include "egress/egress.h"
#include "engine_fixture.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <vector>

namespace {

using mcftest::EngineTest;

struct sink {
    int fd = -1;
    sockaddr_in addr{};
    sink()
    {
        fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr);
        socklen_t l = sizeof addr;
        getsockname(fd, reinterpret_cast<sockaddr *>(&addr), &l);
        int big = 4 << 20;
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &big, sizeof big);
    }
    ~sink() { ::close(fd); }
    int sender() const
    {
        const int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        connect(s, reinterpret_cast<const sockaddr *>(&addr), sizeof addr);
        return s;
    }
    // Datagrams until `n` arrived or nothing came for two seconds.
    std::vector<std::vector<uint8_t>> take(size_t n, int quiet_ms = 2000) const
    {
        std::vector<std::vector<uint8_t>> out;
        while (out.size() < n) {
            pollfd p{fd, POLLIN, 0};
            if (poll(&p, 1, quiet_ms) <= 0)
                break;
            std::vector<uint8_t> d(2048);
            const ssize_t r = recv(fd, d.data(), d.size(), 0);
            d.resize(size_t(r > 0 ? r : 0));
            out.push_back(std::move(d));
        }
        return out;
    }
};

std::vector<std::array<uint8_t, 188>> packets(size_t n)
{
    std::vector<std::array<uint8_t, 188>> v(n);
    for (size_t i = 0; i < n; ++i) {
        v[i].fill(uint8_t(i));
        v[i][0] = 0x47;
        v[i][1] = 0x40 | 0x01; // PID 0x100
        v[i][2] = 0x00;
        v[i][3] = uint8_t(0x10 | (i & 0xF));
        std::memcpy(&v[i][4], &i, sizeof i);
    }
    return v;
}

class Egress : public EngineTest {};

TEST_F(Egress, DatagramsFollowProtocolAndPacketsPerDatagram)
{
    struct Case {
        protocol_type protocol;
        int per;
        size_t size;
    } cases[] = {
        {PROTOCOL_UDP, 7, 1316}, {PROTOCOL_RTP, 7, 1328}, {PROTOCOL_UDP, 1, 188}, {PROTOCOL_RTP, 1, 200},
    };
    for (const Case &c : cases) {
        sink main, second;
        cfg_tx *tx = output(0, EGRTYPE_NET);
        tx->dest_bps = 50000000;
        tx->dest_protocol = c.protocol;
        tx->dest_dvb_per_ip = c.per;
        tx->redundant_transmit = REDUNDANT_XMIT_ON;
        std::atomic<uint64_t> sent{0};
        const int fd = main.sender(), fd2 = second.sender();
        mcastfwdr_egress *eg = mcastfwdr_egress_ctor(tx, fd, fd2, &sent);
        ASSERT_NE(eg, nullptr);
        // A tail of fewer than five datagrams waits for more (or for a cycle
        // that sent a batch): feed more than is checked.
        const size_t dgrams = 10;
        auto pkts = packets(2 * dgrams * size_t(c.per));
        for (size_t i = 0; i < pkts.size(); ++i)
            ASSERT_EQ(ts_pool_write_locked(eg->ts_pool, pkts[i].data(), i % 2 ? 0x123 : 0, nullptr, 0), 0);
        const auto got = main.take(dgrams);
        const auto copy = second.take(c.protocol == PROTOCOL_RTP ? dgrams : 1, c.protocol == PROTOCOL_RTP ? 2000 : 200);
        mcastfwdr_egress_dtor(eg);
        ::close(fd);
        ::close(fd2);
        ASSERT_EQ(got.size(), dgrams) << c.protocol << "/" << c.per;
        EXPECT_GE(sent.load(), dgrams * size_t(c.per));
        const size_t hdr = c.protocol == PROTOCOL_RTP ? 12 : 0;
        size_t k = 0;
        for (size_t d = 0; d < got.size(); ++d) {
            ASSERT_EQ(got[d].size(), c.size);
            if (hdr) {
                EXPECT_EQ(got[d][0], 0x80);
                EXPECT_EQ(got[d][1], 0x21);
                const uint16_t seq0 = uint16_t(got[0][2] << 8 | got[0][3]);
                EXPECT_EQ(uint16_t(got[d][2] << 8 | got[d][3]), uint16_t(seq0 + d));
            }
            for (int p = 0; p < c.per; ++p, ++k) {
                const uint8_t *pkt = got[d].data() + hdr + 188 * size_t(p);
                size_t n;
                std::memcpy(&n, pkt + 4, sizeof n);
                EXPECT_EQ(n, k); // in pool order
                const int pid = (pkt[1] & 0x1F) << 8 | pkt[2];
                EXPECT_EQ(pid, k % 2 ? 0x123 : 0x100);
                EXPECT_EQ(pkt[1] & 0xE0, 0x40); // the other header bits kept
            }
        }
        if (c.protocol == PROTOCOL_RTP)
            EXPECT_EQ(copy, got); // the redundant destination gets the same datagrams
        else
            EXPECT_TRUE(copy.empty()); // UDP outputs send no redundant copy
        mcfcfg_tx_rem(tx);
    }
}

TEST_F(Egress, RtpTimeStampsRunAt90kHz)
{
    sink main;
    cfg_tx *tx = output(0, EGRTYPE_NET);
    tx->dest_bps = 50000000;
    tx->dest_protocol = PROTOCOL_RTP;
    tx->dest_dvb_per_ip = 1;
    const int fd = main.sender();
    mcastfwdr_egress *eg = mcastfwdr_egress_ctor(tx, fd, -1, nullptr);
    ASSERT_NE(eg, nullptr);
    const auto pkts = packets(5);
    // A datagram is stamped after its packet is written and before it
    // arrives: both moments read on the clock the stamps count.
    auto raw_ms = [] {
        timespec t;
        clock_gettime(CLOCK_MONOTONIC_RAW, &t);
        return double(t.tv_sec) * 1e3 + double(t.tv_nsec) / 1e6;
    };
    struct batch {
        double written_ms = 0, received_ms = 0;
        std::vector<std::vector<uint8_t>> dgrams;
    };
    auto send = [&] {
        batch b;
        b.written_ms = raw_ms();
        for (const auto &p : pkts)
            ts_pool_write_locked(eg->ts_pool, p.data(), 0, nullptr, 0);
        b.dgrams = main.take(pkts.size());
        b.received_ms = raw_ms();
        return b;
    };
    auto stamp = [](const std::vector<uint8_t> &d) {
        return uint32_t(d[4]) << 24 | uint32_t(d[5]) << 16 | uint32_t(d[6]) << 8 | d[7];
    };
    const batch first = send();
    // Later batches until the time between the first stamp and the last is
    // known to within 2 %: a 10 % fast or slow clock then shows, however
    // long a loaded machine takes to deliver a batch.
    batch last;
    double least = 0, most = 0;
    while (first.dgrams.size() == 5 && (most - least > 0.02 * least || least == 0) && least < 120000) {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        last = send();
        if (last.dgrams.size() != 5)
            break;
        least = last.written_ms - first.received_ms;
        most = last.received_ms - first.written_ms;
    }
    mcastfwdr_egress_dtor(eg);
    ::close(fd);
    ASSERT_EQ(first.dgrams.size(), 5u);
    ASSERT_EQ(last.dgrams.size(), 5u);
    ASSERT_LE(most - least, 0.02 * least) << "no batch arrived promptly enough to time the stamps";
    EXPECT_LE(uint32_t(stamp(first.dgrams[4]) - stamp(first.dgrams[0])), 90u * 100);
    const double ticks_ms = double(uint32_t(stamp(last.dgrams[0]) - stamp(first.dgrams[0]))) / 90.0;
    const double tick_ms = 1 / 90.0; // each stamp is rounded down to its tick
    EXPECT_GE(ticks_ms, least - tick_ms) << "between " << least << " and " << most << " ms passed";
    EXPECT_LE(ticks_ms, most + tick_ms) << "between " << least << " and " << most << " ms passed";
}

} // namespace

namespace {

// Each cycle's sample reaches the statistics slot of the output's id: the
// second's bits, its busy cycles, and the continuity errors of what it sent.
TEST_F(Egress, CyclesArePostedToTheOutputsStatisticsSlot)
{
    sink main;
    cfg_tx *tx = output(4, EGRTYPE_NET);
    tx->dest_bps = 20000000;
    tx->dest_dvb_per_ip = 7;
    const int fd = main.sender();
    mcastfwdr_egress *eg = mcastfwdr_egress_ctor(tx, fd, -1, nullptr);
    ASSERT_NE(eg, nullptr);
    auto pkts = packets(70);
    pkts[30][3] = uint8_t((pkts[30][3] & 0xF0) | ((pkts[30][3] + 5) & 0x0F)); // a continuity jump
    for (const auto &p : pkts)
        ASSERT_EQ(ts_pool_write_locked(eg->ts_pool, p.data(), 0, nullptr, 0), 0);
    EXPECT_EQ(main.take(10).size(), 10u);
    // Each posting stays a second: none is missed. The sending may span two.
    mcast_stats_t r{};
    uint64_t bits = 0;
    uint32_t cc = 0, cpu = 0, max_bits = 0, last_seq = 0;
    EXPECT_TRUE(mcftest::eventually([&] {
        mcastfwdr_statistics_posted(STATS_SRC_EGRESS, 4, &r);
        const uint32_t key = uint32_t(r.period.avg) ^ r.cpu.max ^ uint32_t(r.bits.avg);
        if (key != last_seq) {
            last_seq = key;
            bits += r.bits.avg;
            cc += r.evt[STATS_EVT_CC_ERROR];
            cpu = std::max(cpu, r.cpu.max);
            max_bits = std::max(max_bits, r.bits.max);
        }
        return bits >= 70u * 1504 && cc >= 1;
    }, 60000)) << bits << " " << cc;
    EXPECT_EQ(r.src, STATS_SRC_EGRESS);
    EXPECT_GT(cpu, 0u);
    EXPECT_LE(max_bits, 404000u);
    mcastfwdr_egress_dtor(eg);
    ::close(fd);
}

} // namespace

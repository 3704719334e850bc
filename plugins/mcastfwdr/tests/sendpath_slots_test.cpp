// Free slots and scrambling data of the send path, and the datagram
// entry's handling of bad datagrams and unknown PIDs.
#include "sendpath_fixture.h"
#include "biss_fixtures.h"

#include <atomic>
#include <set>
#include <thread>

namespace {

using mcftest::packet_pid;
using mcftest::SendPathTest;
using mcftest::test_output;
using mcftest::ts_bytes;

constexpr int kPmtPid = 0x1000, kEcmPid = 0x1F0, kEmmPid = 0x1F1;

// The generated tables of an output as its manager keeps them: a PAT and a
// CAT packet, one PMT carousel, an SDT carousel with one service, ATSC
// MGT, STT, RRT and VCT packets.
struct tables {
    explicit tables(test_output &o)
    {
        output_table_config_t &t = o->tables;
        generateDefaultTsPacket(&t.pat_pkt, 0);
        generateDefaultTsPacket(&t.cat_pkt, 1);
        local_pmt p;
        local_pmt_init(&p, 1, kPmtPid, 0);
        p.pcr_pid = 0x100;
        local_pmt_add_entry(&p, 0x02, 100, 0x100);
        alignas(4) uint8_t sec[1024] = {};
        local_pmt_to_section(&p, reinterpret_cast<TPmt *>(sec), sizeof sec);
        pmt = section_reader_ctor_multi(1024, int32_t(o->PTKS_PER_PMT), kPmtPid, 1);
        section_reader_set_section(pmt, reinterpret_cast<TTableBase *>(sec));
        t.pmt_rdrs[0] = pmt;
        t.num_pmts = 1;
        sdt = section_reader_ctor_multi(1024, int32_t(o->PTKS_PER_SDT), 17, 1);
        section_reader_set_section(sdt, reinterpret_cast<TTableBase *>(sec)); // any section will do
        t.sdt_rdr = sdt;
        t.sdt_info.num_service_info = 1;
        generateDefaultTsPacket(&t.mgt_pkt, 0x1FFB);
        generateDefaultTsPacket(&t.stt_pkt, 0x1FFB);
        generateDefaultTsPacket(&t.rrt_pkts[0], 0x1FFB);
        t.rrt_pkts_used = 1;
        generateDefaultTsPacket(&t.vct_pkts[0], 0x1FFB);
        t.vct_pkts_used = 1;
    }
    ~tables()
    {
        section_reader_dtor(pmt);
        section_reader_dtor(sdt);
    }
    section_reader *pmt, *sdt;
};

struct tx_deleter {
    void operator()(biss2ca_tx *t) const { biss2ca_tx_dtor(t); }
};
struct rx_deleter {
    void operator()(biss2ca_rx *r) const { biss2ca_rx_dtor(r); }
};

class Slots : public SendPathTest {
protected:
    // n free slots: what the output carried in them.
    static std::vector<ts_bytes> slots(test_output &o, int n)
    {
        const auto *null_pkt = reinterpret_cast<const tsPkt *>(mcastfwdr_fill_get_packet());
        std::vector<ts_bytes> out;
        for (int i = 0; i < n; ++i) {
            EXPECT_EQ(__mcastfwdr_send(o.get(), 0, -1, null_pkt, CAN_INJECT), 188);
            if (i % 500 == 499 || i == n - 1) {
                auto got = o.drain();
                out.insert(out.end(), got.begin(), got.end());
            }
        }
        return out;
    }
};

TEST_F(Slots, PatComesFirstAndSystemTablesKeepTheirSpacing)
{
    test_output o(1, 2000000, 2000000); // PAT every 132 packets, system spacing 25
    tables tb(o);
    // Every table due at the first slot.
    o->ts_pkts_rx = 10000;
    const std::vector<ts_bytes> out = slots(o, 2000);
    ASSERT_EQ(out.size(), 2000u);
    std::vector<std::pair<size_t, int>> sys; // PAT, CAT and PMT packets in order
    for (size_t i = 0; i < out.size(); ++i) {
        const int pid = packet_pid(out[i].data());
        if (pid == 0 || pid == 1 || pid == kPmtPid)
            sys.emplace_back(i, pid);
        else
            EXPECT_TRUE(pid == 8191 || pid == 17) << pid; // DVB: the SDT too
    }
    ASSERT_GT(sys.size(), 20u);
    EXPECT_EQ(sys[0], std::make_pair(size_t(0), 0)); // PAT and PMT due together: the PAT
    EXPECT_EQ(sys[1], std::make_pair(size_t(o->PTKS_PER_SYS) + 1, kPmtPid)); // the PMT once spacing allows
    int pats = 0, cats = 0;
    for (size_t i = 1; i < sys.size(); ++i)
        EXPECT_GT(sys[i].first - sys[i - 1].first, size_t(o->PTKS_PER_SYS)) << i;
    for (auto [at, pid] : sys) {
        pats += pid == 0;
        cats += pid == 1;
    }
    EXPECT_NEAR(pats, 2000 / (o->PTKS_PER_PAT + 1), 2);
    EXPECT_GE(cats, 2);
    // The PAT's own continuity counter runs on.
    int cc = -1;
    for (auto [at, pid] : sys)
        if (pid == 0) {
            const int now = out[at][3] & 15;
            if (cc >= 0) {
                EXPECT_EQ(now, (cc + 1) & 15);
            }
            cc = now;
        }
    EXPECT_EQ(o->table_injection_is_failing.load(), 0u);
}

TEST_F(Slots, AtscOutputsNeverCarryDvbTablesOrCaPackets)
{
    const auto keys = bissfix::make_key();
    for (tables_type type : {TABLES_TYPE_DVB, TABLES_TYPE_ATSC_CABLE, TABLES_TYPE_ATSC_TERRESTRIAL}) {
        SCOPED_TRACE(type);
        test_output o(1, 2000000, 2000000, type);
        tables tb(o);
        std::unique_ptr<biss2ca_tx, tx_deleter> tx(biss2ca_tx_ctor(0x1122, 1, 2000000));
        ASSERT_TRUE(tx);
        biss2ca_tx_set_ecm_pid(tx.get(), kEcmPid);
        biss2ca_tx_set_emm_pid(tx.get(), kEmmPid);
        biss2ca_tx_entitle_rx_key(tx.get(), keys.pub.c_str());
        biss2ca_tx_prepare_emm(tx.get());
        o->biss2ca_tx = tx.get();
        std::set<int> pids;
        for (const ts_bytes &b : slots(o, 40000))
            pids.insert(packet_pid(b.data()));
        const bool dvb = type == TABLES_TYPE_DVB;
        for (int pid : {1, 17, kEcmPid, kEmmPid})
            EXPECT_EQ(pids.count(pid), dvb ? 1u : 0u) << pid;
        EXPECT_EQ(pids.count(0x1FFB), dvb ? 0u : 1u);
        o->biss2ca_tx = nullptr;
    }
}

TEST_F(Slots, NothingDueCarriesTheNullPacketNeverTheInputsOwn)
{
    manager_input *in = input(100, 2000000, 5000);
    program(in, 1, 0x20, 0x21, {0x21});
    program(in, 2, 0x30, 0x31, {0x31});
    test_output o(1, 2000000, 4000000);
    tables tb(o);
    o.route(100, 1, {{0x21, 0x121}});
    use({&o});
    // The input's PAT, both PMTs, the other program and its own nulls.
    std::vector<uint8_t> dgram;
    for (int pid : {0x00, 0x20, 0x21, 0x30, 0x31, 0x31, 8191}) {
        tsPkt p;
        generateDefaultTsPacket(&p, uint16_t(pid));
        const auto *b = reinterpret_cast<const uint8_t *>(&p);
        dgram.insert(dgram.end(), b, b + 188);
    }
    std::set<int> pids;
    std::vector<ts_bytes> out;
    for (int i = 0; i < 200; ++i) {
        for (int k = 0; k < 7; ++k)
            dgram[k * 188 + 3] = uint8_t(0x10 | (i & 15)); // counters run on
        pthread_rwlock_rdlock(&ctrl_data_lock);
        EXPECT_EQ(mcastfwdr_handle_and_send_msg_in(in, dgram.data(), int(dgram.size()), nullptr), 0);
        pthread_rwlock_unlock(&ctrl_data_lock);
        for (const ts_bytes &b : o.drain()) {
            pids.insert(packet_pid(b.data()));
            out.push_back(b);
        }
    }
    EXPECT_EQ(pids, (std::set<int>{0, 1, 17, 0x121, kPmtPid, 8191}));
    // Every PAT on the output is the output's own.
    for (const ts_bytes &b : out)
        if (packet_pid(b.data()) == 0) {
            EXPECT_EQ(std::memcmp(b.data() + 4, &o->tables.pat_pkt.payload, 184), 0);
        }
    // 1,400 input packets at 2 -> 4 Mbit/s: 2,800 out.
    EXPECT_EQ(out.size(), 2800u);
    char pids_text[256];
    in->rx.pids_text(pids_text, sizeof pids_text);
    EXPECT_STREQ(pids_text, "0,32,33,48,49,8191");
}

TEST_F(Slots, ScramblingDataOfRemappedAndDescrambledPackets)
{
    const auto keys = bissfix::make_key();
    std::unique_ptr<biss2ca_tx, tx_deleter> tx(biss2ca_tx_ctor(0x1122, 1, 2000000));
    ASSERT_EQ(biss2ca_tx_entitle_rx_key(tx.get(), keys.pub.c_str()), 0);
    std::unique_ptr<biss2ca_rx, rx_deleter> rx(biss2ca_rx_ctor(keys.priv.c_str()));
    ASSERT_TRUE(rx);
    std::vector<uint8_t> sec(4096);
    sec.resize(size_t(biss2ca_tx_get_emm_index(tx.get(), sec.data(), sec.size(), 0)));
    ASSERT_EQ(biss2ca_rx_process_emm(rx.get(), sec.data()), 1);
    sec.resize(4096);
    sec.resize(size_t(biss2ca_tx_get_ecm(tx.get(), sec.data(), sec.size())));
    ASSERT_EQ(biss2ca_rx_process_ecm(rx.get(), sec.data()), 1);

    test_output enc(1, 2000000, 2000000), dec(2, 2000000, 2000000);
    enc->biss2ca_tx = tx.get();
    dec->type = EGRTYPE_DEC;
    dec->biss2ca_rx = rx.get();
    tsPkt clear, odd;
    generateDefaultTsPacket(&clear, 0x100);
    generateDefaultTsPacket(&odd, 0x100);
    reinterpret_cast<uint8_t *>(&odd)[3] |= 0xC0; // odd key
    ASSERT_EQ(__mcastfwdr_send(enc.get(), 0x200, 3, &clear, CANNOT_INJECT), 188);
    ASSERT_EQ(__mcastfwdr_send(enc.get(), 0, -1, &clear, CANNOT_INJECT), 188);
    ASSERT_EQ(__mcastfwdr_send(dec.get(), 0, -1, &odd, CANNOT_INJECT), 188);
    ASSERT_EQ(__mcastfwdr_send(dec.get(), 0, 3, &clear, CANNOT_INJECT), 188); // no transmitter: no CA

    std::vector<ss_meta> m;
    const std::vector<ts_bytes> e = enc.drain(&m);
    ASSERT_EQ(m.size(), 2u);
    EXPECT_EQ(packet_pid(e[0].data()), 0x200);
    EXPECT_EQ(m[0].ca_id, 3);
    uint8_t sw[16];
    biss2ca_tx_get_sw(tx.get(), sw);
    EXPECT_EQ(std::memcmp(m[0].sw, sw, 16), 0);
    EXPECT_EQ(m[0].sw_count, biss2ca_tx_get_sw_count(tx.get()));
    EXPECT_EQ(m[1].ca_id, -1);
    EXPECT_EQ(m[1].decrypt, 0);

    m.clear();
    dec.drain(&m);
    ASSERT_EQ(m.size(), 2u);
    EXPECT_EQ(m[0].decrypt, 1);
    ASSERT_EQ(biss2ca_rx_get_session_word(rx.get(), 1, sw), 1);
    EXPECT_EQ(std::memcmp(m[0].decrypt_sw, sw, 16), 0);
    EXPECT_EQ(m[1].ca_id, -1);
    EXPECT_EQ(dec->biss2ca_rx_ts_pkts.load(), 1u);
    enc->biss2ca_tx = nullptr;
    dec->biss2ca_rx = nullptr;
}

// The loop prepares EMM sets (RSA for every receiver) outside the control
// lock while the multiplexer plays the carousels out: play-out reads the
// transmitter only with its mutex taken (a race ThreadSanitizer sees).
TEST_F(Slots, CaCarouselsPlayOutWhileTheLoopPreparesEmms)
{
    const auto keys = bissfix::make_key();
    std::unique_ptr<biss2ca_tx, tx_deleter> tx(biss2ca_tx_ctor(0x1122, 1, 2000000));
    ASSERT_TRUE(tx);
    test_output enc(1, 2000000, 2000000);
    enc->biss2ca_tx = tx.get();
    const int emm_pid = biss2ca_tx_get_emm_pid(tx.get());
    std::atomic<bool> done{false};
    std::thread loop([&] {
        for (int i = 0; i < 20; ++i) {
            {
                mcf::write_lock lock;
                if (i % 2 == 0)
                    biss2ca_tx_entitle_rx_key(tx.get(), keys.pub.c_str());
                else
                    biss2ca_tx_revoke_rx_key(tx.get(), keys.pub.c_str());
            }
            manager_output_prepare_emm(enc.get());
        }
        done = true;
    });
    tsPkt clear;
    generateDefaultTsPacket(&clear, 0x100);
    int emms = 0;
    for (int n = 0; (!done || emms < 2) && n < 2000000; ++n) {
        pthread_rwlock_rdlock(&ctrl_data_lock);
        __mcastfwdr_send(enc.get(), 0, -1, &clear, CAN_INJECT); // a free slot
        pthread_rwlock_unlock(&ctrl_data_lock);
        if (n % 64 == 0)
            for (const ts_bytes &p : enc.drain())
                emms += packet_pid(p.data()) == emm_pid;
    }
    loop.join();
    EXPECT_GE(emms, 2);
    enc->biss2ca_tx = nullptr;
}

TEST_F(Slots, BadDatagramsLogOnceASecondAndUnknownPidsAreIgnored)
{
    manager_input *in = input(100, 2000000, 5000);
    program(in, 1, 0x20, 0x21, {0x21});
    test_output o(1, 2000000, 2000000);
    o.route(100, 1);
    use({&o});
    auto dgram = [](std::initializer_list<int> pids) {
        std::vector<uint8_t> d;
        for (int pid : pids) {
            tsPkt p;
            generateDefaultTsPacket(&p, uint16_t(pid));
            const auto *b = reinterpret_cast<const uint8_t *>(&p);
            d.insert(d.end(), b, b + 188);
        }
        return d;
    };
    auto send = [in](std::vector<uint8_t> &d, int len) {
        pthread_rwlock_rdlock(&ctrl_data_lock);
        const int rc = mcastfwdr_handle_and_send_msg_in(in, d.data(), len, nullptr);
        pthread_rwlock_unlock(&ctrl_data_lock);
        return rc;
    };
    std::vector<uint8_t> odd_len = dgram({0x21, 0x21, 0x21, 0x21, 0x21, 0x21, 0x21, 0x21});
    std::vector<uint8_t> no_sync = dgram({0x21, 0x21, 0x21, 0x21, 0x21, 0x21, 0x21});
    no_sync[3 * 188] = 0x46;
    for (int i = 0; i < 100; ++i) {
        EXPECT_EQ(send(odd_len, 1317), -1);
        EXPECT_EQ(send(no_sync, int(no_sync.size())), -1);
    }
    EXPECT_EQ(o.drain().size(), 300u); // the three before the bad packet, each time
    // Within the second: one line for both kinds together.
    EXPECT_EQ(log_.count("Frame buffer not a multiple of 188! (1317) - Input 100."), 1);
    EXPECT_EQ(log_.count("has no sync byte"), 0);
    EXPECT_TRUE(mcftest::eventually([&] { return send(no_sync, int(no_sync.size())) == -1 && log_.count("has no sync byte") == 1; }, 60000));
    EXPECT_EQ(log_.count("more since"), 1);
    o.drain();

    // A PID nobody carries: ignored from its first packet on.
    std::vector<uint8_t> unknown = dgram({0x777});
    EXPECT_EQ(send(unknown, 188), 0);
    ASSERT_NE(phindex_find_handler(100, 0x777, PHDATATYPE_OTHER), nullptr);
    EXPECT_EQ(phindex_find_handler(100, 0x777, PHDATATYPE_ALL_DATA), nullptr);
    EXPECT_EQ(o.drain().size(), 0u);
}

TEST_F(Slots, RateZeroOutputsTakeNothingAndSingleInputOutputsTakeAll)
{
    manager_input *in = input(100, 2000000, 5000);
    program(in, 1, 0x20, 0x21, {0x21, 0x22});
    test_output idle(1, 0, 2000000), whole(2, 2000000, 2000000), routed(3, 2000000, 4000000);
    idle.route(100, 1);
    whole.single_input(100);
    routed.route(100, 1);
    use({&idle, &whole, &routed});
    std::vector<uint8_t> d;
    for (int pid : {0x21, 0x22, 0x30, 8191}) {
        tsPkt p;
        generateDefaultTsPacket(&p, uint16_t(pid));
        auto *b = reinterpret_cast<uint8_t *>(&p);
        if (pid == 0x21) { // a PCR
            b[3] = 0x30;
            b[4] = 7;
            b[5] = 0x10;
        }
        d.insert(d.end(), b, b + 188);
    }
    const timespec stamp{100, 5};
    pthread_rwlock_rdlock(&ctrl_data_lock);
    EXPECT_EQ(mcastfwdr_handle_and_send_msg_in(in, d.data(), int(d.size()), &stamp), 0);
    pthread_rwlock_unlock(&ctrl_data_lock);
    // No input rate: nothing, and its latency probe untouched.
    EXPECT_TRUE(idle.drain().empty());
    EXPECT_EQ(idle->egress->pcr_latency.pid.load(), 0);
    EXPECT_EQ(pcr_windows_get_count(idle->pcrs), 0);
    // The whole input, unchanged and in order.
    const std::vector<ts_bytes> all = whole.drain();
    ASSERT_EQ(all.size(), 4u);
    for (size_t i = 0; i < 4; ++i)
        EXPECT_EQ(std::memcmp(all[i].data(), &d[i * 188], 188), 0) << i;
    EXPECT_EQ(whole->ts_pkts_rx.load(), 4u);
    // The routed output measures latency on its first PCR PID.
    EXPECT_EQ(routed->egress->pcr_latency.pid.load(), 0x21);
    EXPECT_EQ(routed->egress->pcr_latency.rx_ns.load(), 100000000005u);
}

} // namespace

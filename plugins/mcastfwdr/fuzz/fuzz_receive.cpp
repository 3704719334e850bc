// libFuzzer target over the forwarder's receive path: the datagrams of a
// Net input (UDP or RTP) through the send path to two outputs that route
// its program (one with a PID remap, one in turn-around mode), KLV
// datagrams into the KLV ring, "internal_ts" and "internal_ts_clear"
// announcements as another card's proxy delivers them (their registered
// sizes), and datagrams of the internal flows they add, found as the
// multiplexer finds them. Whatever arrives, every packet an output's pool
// receives begins with the sync byte.
//
// Input: records "<op> <length, 2 bytes little-endian> <bytes>" (see Op).
#include "fuzz_engine.h"

#include "ingress/ingress.h"
#include "ingress/xsb_bridge.h"
#include "klv/klv.h"
#include "router/phindex.h"
#include "router/populate.h"
#include "router/send.h"
#include "sendpath_output.h"
#include "tables/input_tables.h"

#include <kerrow/cuvent.h>

#include <cstring>
#include <memory>

namespace {

enum Op : uint8_t { NET, KLV, INTERNAL_TS, INTERNAL_TS_CLEAR, XSB, REPOPULATE, OP_COUNT };

constexpr int kInput = 100;
constexpr int kKlvSocket = 1000; // stands for the source's socket
// A receive slot as the ingress thread offers it, and what a KLV read takes.
constexpr size_t kSlot = 1514, kKlvMax = 1025;

// The receive area as the ingress thread keeps it: the pools point into it
// until the outputs' streams are drained (at the end of each input, which
// holds fewer datagrams than the area has slots).
constexpr size_t kSlotStride = 1520, kArea = 4194304;
uint8_t *g_area = nullptr;
size_t g_area_at = 0;

manager_input *g_net = nullptr;
std::unique_ptr<mcftest::test_output> g_outputs[2];

// The index over the two outputs (none while they are being made).
int populate()
{
    manager_output *outs[2];
    unsigned n = 0;
    for (auto &o : g_outputs)
        if (o)
            outs[n++] = o->get();
    mcf::populate_from(outs, n);
    return -1;
}

void setup()
{
    g_area = static_cast<uint8_t *>(std::calloc(1, kArea));
    circbuf = kd_circbuf_ctor(MCF_CIRCBUF_SIZE, MCF_CIRCBUF_MAX_WRITE);
    klv_pkt_pool = kd_circbuf_ctor(MCF_KLV_POOL_SIZE, MCF_KLV_PKT_SIZE);
    phindex_init(populate, mcastfwdr_depopulate_pidh);
    mcf::xsb_bridge_init();

    cfg_rx *rx = mcfcfg_rx_add_net(kInput);
    std::snprintf(rx->ingress_node, sizeof rx->ingress_node, "239.1.1.1");
    rx->ingress_port = 5000;
    rx->ingress_bps = 20000000;
    cfg_rx_klv *klv = mcfcfg_add_klv_source(0);
    klv->pid = 0x300;
    klv->sockfd = kKlvSocket;
    {
        mcf::write_lock lock;
        manager_input_output_sync(0);
    }
    g_net = manager_inputs_find_by_id(kInput);
    if (!g_net)
        std::abort();
    g_net->configured_bps = rx->ingress_bps;
    // Program 1: PMT 0x100, video 0x101 carrying the PCR, audio 0x102.
    pmt_state *p = input_table_info_append_service(g_net->tables, 0x100, 1);
    p->pmt.pcr_pid = 0x101;
    p->pmt.pcr_ingress_id = kInput;
    local_pmt_add_entry(&p->pmt, 0x1B, kInput, 0x101);
    local_pmt_add_entry(&p->pmt, 0x0F, kInput, 0x102);

    g_outputs[0] = std::make_unique<mcftest::test_output>(0, 20000000, 25000000);
    g_outputs[0]->route(kInput, 1, {{0x102, 0x202}});
    g_outputs[1] = std::make_unique<mcftest::test_output>(1, 20000000, 20000000);
    g_outputs[1]->route(kInput, 1);
    g_outputs[1]->single_input(kInput);
    {
        mcf::write_lock lock;
        phindex_repopulate();
    }
    // Before the plug-in goes: the source's socket is no descriptor of ours.
    std::atexit([] {
        if (cfg_rx_klv *k = mcfcfg_rx_klv_find_by_id(0))
            k->sockfd = -1;
        phindex_fini();
    });
}

// The multiplexer's turn on one datagram: the read side of the lock held.
void receive(manager_input *mi, const uint8_t *data, size_t len)
{
    if (g_area_at + kSlotStride > kArea)
        std::abort();
    uint8_t *slot = g_area + g_area_at;
    g_area_at += kSlotStride;
    len = len < kSlot ? len : kSlot;
    std::memcpy(slot, data, len);
    const timespec ts{1, 0};
    pthread_rwlock_rdlock(&ctrl_data_lock);
    mcastfwdr_handle_and_send_msg_in(mi, slot, int(len), &ts);
    pthread_rwlock_unlock(&ctrl_data_lock);
}

// An event of another card as its proxy hands it over: exactly `size` bytes.
void announce(const char *name, const uint8_t *data, size_t len, size_t size)
{
    uint8_t payload[20] = {};
    std::memcpy(payload, data, len < size ? len : size);
    kd_cuvent_emit(nullptr, name, payload);
}

// An internal flow's frame as the XSB thread passes it on: a bay below 8,
// a LINK index below 55 or a carrier's plain TS on index 0 or 1.
void receive_xsb(const uint8_t *data, size_t len)
{
    if (len < 2)
        return;
    ingress_to_mux_item e{};
    e.src = INGRESS_SRC_XSB;
    e.baypos = data[0] & 7;
    e.ts_pkt = data[0] >> 7;
    e.input_map_idx = e.ts_pkt ? data[1] & 1 : data[1] % 55;
    pthread_rwlock_rdlock(&ctrl_data_lock);
    manager_input *mi = mcastfwdr_ingress_get_xsb_input_map(&e);
    pthread_rwlock_unlock(&ctrl_data_lock);
    if (mi)
        receive(mi, data + 2, len - 2);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    mcffuzz::start_engine();
    setup();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    while (size >= 3) {
        const Op op = Op(data[0] % OP_COUNT);
        size_t len = size_t(data[1]) | size_t(data[2]) << 8;
        data += 3;
        size -= 3;
        len = len < size ? len : size;
        switch (op) {
        case NET:
            receive(g_net, data, len);
            break;
        case KLV: {
            const timespec ts{1, 0};
            pthread_rwlock_rdlock(&ctrl_data_lock);
            mcf::klv::handle_datagram(kKlvSocket, data, len < kKlvMax ? len : kKlvMax, ts);
            pthread_rwlock_unlock(&ctrl_data_lock);
            break;
        }
        case INTERNAL_TS:
            announce("internal_ts", data, len, 20);
            break;
        case INTERNAL_TS_CLEAR:
            announce("internal_ts_clear", data, len, 12);
            break;
        case XSB:
            receive_xsb(data, len);
            break;
        default: {
            // What the loop thread does once an input's tables changed.
            mcf::write_lock lock;
            phindex_repopulate();
            break;
        }
        }
        data += len;
        size -= len;
    }
    for (auto &o : g_outputs)
        for (const mcftest::ts_bytes &p : o->drain())
            if (p[0] != 0x47)
                std::abort();
    g_area_at = 0;
    return 0;
}

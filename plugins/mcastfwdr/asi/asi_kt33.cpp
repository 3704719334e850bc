// The four ASI inputs of a KT-3300 "asi" carrier (see asi_kt33.h).
#include "asi/asi_kt33.h"

#include "cfg/mcf_cfg.h"
#include "cfg/mcf_services.h"
#include "ingress/ingress.h"
#include "mcastfwdr.h"
#include "status_queue.h"

#include <i2c_kt33.h>
#include <kt3300.h>
#include <spi_kt33.h>
#include <ts_analyzer.h>

#include <kerrow/carrier.h>
#include <kerrow/frame.h>
#include <kerrow/log.h>

#include <arpa/inet.h>

#include <array>
#include <cstdlib>
#include <cstring>
#include <new>

namespace {

kt3300_ctx *kt33 = nullptr;
kt3300_igr_rdr *kt33_igr = nullptr;
std::array<asi_input_state *, MCF_ASI_INPUTS> input_states{};
std::array<manager_input *, MCF_ASI_INPUTS> input_offset_to_mgr_map{};
int asi_tag_to_offset[5] = {-1, 0, 1, 2, 3};

const char *own_name() { return mcf_pli ? kd_frame_plugin_get_name(mcf_pli) : "mcastfwdr"; }

// Straight to the journal: notice (5), or error (3).
#define KT33_LOG(prio, fmt, ...) KD_LOG((prio), "[%s] " fmt "\n", own_name() __VA_OPT__(, ) __VA_ARGS__)
constexpr int kNotice = 5, kError = 3;

void set_row(bool lower)
{
    for (int tag = 1; tag <= MCF_ASI_INPUTS; ++tag)
        asi_tag_to_offset[tag] = lower ? tag - 1 : MCF_ASI_INPUTS - tag;
}

asi_input_state *state(int offset)
{
    return offset >= 0 && offset < MCF_ASI_INPUTS ? input_states[size_t(offset)] : nullptr;
}

// A new 1316-byte datagram slot at the packet ring's write position.
uint8_t *reserve_slot()
{
    if (!circbuf)
        return nullptr;
    uint8_t *slot = kd_circbuf_get_write(circbuf);
    kd_circbuf_inc_write(circbuf, MCF_ASI_DGRAM, 0);
    return slot;
}

void setup_io_modules(void *base)
{
    if (spi_kt33_open(base) != 0) {
        KT33_LOG(kNotice, "KT3300 SPI control (semaphore) failed to open");
        return;
    }
    KT33_LOG(kNotice, "KT3300 registering SPI devices on KM-40x IO module(s).. ");
    for (unsigned pos = 0; pos < 6; ++pos) {
        const bool found = spi_kt33_get_dev_detected(pos) > 0;
        const bool input = pos < 4;
        char dir[40] = "";
        if (found)
            std::snprintf(dir, sizeof dir, ", setting direction to %s", input ? "input" : "output");
        KT33_LOG(kNotice, "I/O[%u] SPI %s, readback= 0x%x%s", pos + 1, found ? "found" : "missing",
                 unsigned(spi_kt33_get_dev_id(pos)), dir);
        if (found)
            input ? spi_kt33_set_xcvr_to_input(pos) : spi_kt33_set_xcvr_to_output(pos);
    }
}

void setup_clock(void *base)
{
    if (i2c_kt33_pclk_open(base) != 0) {
        KT33_LOG(kNotice, "KT3300 I2C clock generator control failed to open");
        return;
    }
    KT33_LOG(kNotice, "KT3300 registering I2C clock generator (LMK).. ");
    if (i2c_kt33_pclk_init(0, 1) != 0)
        KT33_LOG(kNotice, "LMK clock generator (LMK) init FAILED !!");
    else
        KT33_LOG(kNotice, "LMK clock generator init freq1= 148.5Mhz, freq2= 148.35Mhz");
}

void release_board()
{
    if (kt33 && kt33_igr)
        kt3300_set_igr_enable(kt33, false);
    for (asi_input_state *&s : input_states) {
        asi_input_state_dtor(s);
        s = nullptr;
    }
    input_offset_to_mgr_map.fill(nullptr);
    std::free(kt33_igr);
    kt33_igr = nullptr;
    if (kt33) {
        spi_kt33_close();
        i2c_kt33_pclk_close();
        kt3300_free(kt33);
    }
    kt33 = nullptr;
}

} // namespace

namespace mcf::asi {
void kt33_set_state_for_test(int offset, asi_input_state *s)
{
    if (offset >= 0 && offset < MCF_ASI_INPUTS) {
        asi_input_state_dtor(input_states[size_t(offset)]);
        input_states[size_t(offset)] = s;
    }
}
void kt33_set_row_for_test(bool lower_row) { set_row(lower_row); }
} // namespace mcf::asi

extern "C" {

bool mcf_asi_kt33_exists(void)
{
    carrier_node *self = kd_carrier_get_self();
    char label[64] = {};
    return self && kd_carrier_is_compatible(self, "KT-3300") &&
           kd_carrier_get_function_label(self, label, sizeof label) >= 0 && std::strcmp(label, "asi") == 0;
}

int mcf_asi_kt33_init(void)
{
    if (!mcf_asi_kt33_exists())
        return 0;
    KT33_LOG(kNotice, "Checking for ASI input");
    kt33 = kt3300_alloc();
    if (!kt33) {
        KT33_LOG(kError, "KT3300 failed to alloc");
        return -1;
    }
    if (kt3300_open(kt33) != 0) {
        KT33_LOG(kError, "KT3300 failed to open");
        release_board();
        return -1;
    }
    void *base = kt3300_get_artix_base_addr(kt33);
    setup_io_modules(base);
    setup_clock(base);
    if (!kt3300_has_ts_ingress(kt33)) {
        release_board();
        return -1;
    }
    kt33_igr = kt3300_alloc_igr_rdr(kt33);
    if (!kt33_igr) {
        KT33_LOG(kError, "KT3300 ingress reader failed to alloc");
        release_board();
        return -1;
    }
    KT33_LOG(kNotice, "ASI input reader allocated");
    set_row(kd_carrier_is_lower_row(kd_carrier_get_self()) > 0);
    for (int offset = 0; offset < MCF_ASI_INPUTS; ++offset) {
        if (cfg_rx *rx = mcfcfg_rx_add_asi(offset)) {
            mcastfwdr_allocate_rule_input(mcf_cfg.tbl_inputs, rx);
            mcf_rx_register_alarms(rx);
        }
        input_states[size_t(offset)] = asi_input_state_ctor(false);
        input_offset_to_mgr_map[size_t(offset)] = nullptr;
    }
    KT33_LOG(kNotice, "ASI inputs allocated");
    return 0;
}

void mcf_asi_kt33_fini(void)
{
    if (!kt33)
        return;
    KT33_LOG(kNotice, "Finalizing ASI input");
    release_board();
}

int asi_input_set_manager(int id, manager_input *mi)
{
    if (id < MCF_ASI_INPUT_ID0 || id >= MCF_ASI_INPUT_ID0 + MCF_ASI_INPUTS || !mi)
        return -1;
    input_offset_to_mgr_map[size_t(id - MCF_ASI_INPUT_ID0)] = mi;
    return 0;
}

int asi_input_clear_manager(int id)
{
    if (id < MCF_ASI_INPUT_ID0 || id >= MCF_ASI_INPUT_ID0 + MCF_ASI_INPUTS)
        return -1;
    input_offset_to_mgr_map[size_t(id - MCF_ASI_INPUT_ID0)] = nullptr;
    return 0;
}

manager_input *asi_input_get_manager(int offset)
{
    return offset >= 0 && offset < MCF_ASI_INPUTS ? input_offset_to_mgr_map[size_t(offset)] : nullptr;
}

asi_input_state *asi_input_state_ctor(bool is_rate_detect)
{
    auto *s = new (std::nothrow) asi_input_state{};
    if (!s || !is_rate_detect)
        return s;
    s->is_auto_rate_detect = true;
    s->tracker = new (std::nothrow) tstamp_tracker{};
    s->analyzer = analyzer_ctor();
    if (!s->tracker || !s->analyzer) {
        asi_input_state_dtor(s);
        return nullptr;
    }
    tstamp_tracker &t = *s->tracker;
    t.pkt_tstamps_begin = t.pkt_tstamps;
    t.pkt_tstamps_end = t.pkt_tstamps + MCF_ASI_TSTAMPS;
    t.cur_tstamp = t.pkt_tstamps_end - 1;
    analyzer_reset_errors(s->analyzer);
    return s;
}

void asi_input_state_dtor(asi_input_state *s)
{
    if (!s)
        return;
    delete s->tracker;
    analyzer_dtor(s->analyzer);
    delete s;
}

int asi_input_state_clear(int offset)
{
    asi_input_state *s = state(offset);
    if (!s)
        return 0;
    s->ip_frame_len = 0;
    s->ip_frame = reserve_slot();
    if (s->analyzer)
        analyzer_reset_errors(s->analyzer);
    return 0;
}

uint8_t *asi_input_state_append(int offset, const kt3300_igr_frm *frame, int *out_len)
{
    asi_input_state *s = state(offset);
    if (!s || !frame || s->ip_frame_len > MCF_ASI_DGRAM - 188)
        return nullptr;
    // The packet must lie wholly inside its 256-byte frame.
    const unsigned at = frame->offset;
    if (at == 0 || at + 188 > sizeof(kt3300_igr_frm))
        return nullptr;
    const uint8_t *pkt = reinterpret_cast<const uint8_t *>(frame) + at;
    if (s->tracker && s->analyzer) {
        const int before = analyzer_get_cc_errors(s->analyzer);
        analyzer_process(s->analyzer, pkt, 188);
        tstamp_tracker &t = *s->tracker;
        t.count = analyzer_get_cc_errors(s->analyzer) != before ? 1 : t.count + 1;
        if (++t.cur_tstamp == t.pkt_tstamps_end)
            t.cur_tstamp = t.pkt_tstamps_begin;
        *t.cur_tstamp = ntohl(frame->tstamp);
        t.stored += t.stored < MCF_ASI_TSTAMPS;
        t.active = true;
    }
    if (!s->ip_frame)
        s->ip_frame = reserve_slot();
    if (!s->ip_frame)
        return nullptr;
    std::memcpy(s->ip_frame + s->ip_frame_len, pkt, 188);
    s->ip_frame_len += 188;
    if (out_len)
        *out_len = s->ip_frame_len;
    return s->ip_frame_len < MCF_ASI_DGRAM ? nullptr : s->ip_frame;
}

int asi_input_state_get_rate(int offset)
{
    asi_input_state *s = state(offset);
    if (!s || !s->is_auto_rate_detect || !s->tracker || s->tracker->count < MCF_ASI_TSTAMPS - 1 ||
        s->tracker->stored < MCF_ASI_TSTAMPS)
        return -1;
    const tstamp_tracker &t = *s->tracker;
    const uint32_t *oldest = t.cur_tstamp + 1 == t.pkt_tstamps_end ? t.pkt_tstamps_begin : t.cur_tstamp + 1;
    const uint32_t ticks = *t.cur_tstamp - *oldest;
    if (ticks == 0)
        return -1; // no time passed: no rate
    const double bps = 750496.0 / double(ticks) * 27000000.0;
    return bps >= 2147483647.0 ? 2147483647 : int(bps);
}

int asi_tag_offset(unsigned tag) { return tag >= 1 && tag <= 4 ? asi_tag_to_offset[tag] : -1; }

int mcf_asi_kt33_receive(kd_pipe_t *pipe, unsigned *bits, unsigned limit, unsigned entry_bits)
{
    if (!kt33_igr || !pipe || !bits)
        return 0;
    int written = 0;
    while (*bits < limit) {
        kt3300_igr_frm *f = kt3300_igr_rdr_read(kt33_igr);
        if (!f)
            break;
        const uint8_t *raw = reinterpret_cast<const uint8_t *>(f);
        const int offset = asi_tag_offset(f->tag);
        if (f->offset == 0 || unsigned(f->offset) + 188 > sizeof *f || raw[f->offset] != 0x47 || offset < 0)
            continue;
        int len = 0;
        uint8_t *dgram = asi_input_state_append(offset, f, &len);
        if (!dgram || dgram[0] != 0x47)
            continue;
        asi_input_state_clear(offset);
        ingress_to_mux_item e{};
        e.src = INGRESS_SRC_ASI;
        e.input_map_idx = offset;
        e.buf = dgram;
        e.len = len;
        if (kd_pipe_write_unlocked(pipe, &e) != 0)
            return -1;
        ++written;
        *bits += entry_bits;
    }
    return written;
}

void mcf_asi_kt33_ingress_start(void)
{
    if (!kt33 || !kt33_igr)
        return;
    mcf_post_log(SQ_LOG_INFO, "ASI ingress buffer size is %d frames", kt33->igr_frames);
    kt3300_set_igr_enable(kt33, true);
}

void mcf_asi_kt33_ingress_stop(void)
{
    if (kt33 && kt33_igr)
        kt3300_set_igr_enable(kt33, false);
}

} // extern "C"

// The names the plug-in's start and stop use.
extern "C" {
int mcastfwdr_asi_carrier_init(void) { return mcf_asi_kt33_init(); }
void mcastfwdr_asi_carrier_fini(void) { mcf_asi_kt33_fini(); }
}

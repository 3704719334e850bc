// The fill engine (see fill.h).
#include "fill.h"

#include "status_queue.h"

#include <array>
#include <cmath>
#include <cstdlib>

namespace {

constexpr int kPidNull = 8191;

// 0x47 0x1F 0xFF 0x10, then 184 bytes 0xFF: built at compile time.
constexpr std::array<uint8_t, 188> make_null_packet()
{
    std::array<uint8_t, 188> p{};
    for (auto &b : p)
        b = 0xFF;
    p[0] = 0x47;
    p[1] = 0x1F;
    p[2] = 0xFF;
    p[3] = 0x10;
    return p;
}
constexpr std::array<uint8_t, 188> kNullPacket = make_null_packet();

} // namespace

extern "C" {

mcastfwdr_fill *mcastfwdr_fill_ctor(uint32_t output_id, int bps_in, int bps_out)
{
    auto *f = static_cast<mcastfwdr_fill *>(std::calloc(1, sizeof(mcastfwdr_fill)));
    if (!f)
        return nullptr;
    f->tmr = mcastfwdr_tmr_ctor(bps_in, bps_out);
    if (!f->tmr) {
        std::free(f);
        return nullptr;
    }
    const double in = f->tmr->mbps_in, out = f->tmr->mbps_out;
    if (bps_in > 0) {
        const double q = f->tmr->mbps_fill / in;
        f->PKTS_WHOLE = std::trunc(q);
        f->PKTS_FRACT = q - f->PKTS_WHOLE;
        f->PKTS_TO_SKIP = (in - out) / in;
        f->CAN_SEND_EVERY_PACKET = out >= in;
    } else {
        f->PKTS_WHOLE = 1.0;
        f->PKTS_FRACT = 0;
        f->PKTS_TO_SKIP = 0;
        f->CAN_SEND_EVERY_PACKET = 1;
    }
    mcf_post_log(SQ_LOG_DEBUG, "MCF: Output %u new fill engine. mbps_in: %.02f, mbps_out: %.02f, mbps_fill: %.02f",
                 output_id, in, out, f->tmr->mbps_fill);
    return f;
}

void mcastfwdr_fill_dtor(mcastfwdr_fill *f)
{
    if (!f)
        return;
    mcastfwdr_tmr_dtor(f->tmr);
    std::free(f);
}

int mcastfwdr_fill_can_send_packet(mcastfwdr_fill *f, int pid)
{
    if (f->CAN_SEND_EVERY_PACKET)
        return 1;
    f->pkts_to_skip_accum += f->PKTS_TO_SKIP; // accrues on every packet, spent on null packets only
    if (pid == kPidNull && f->pkts_to_skip_accum >= 1.0) {
        f->pkts_to_skip_accum -= 1.0;
        return 0;
    }
    return 1;
}

int mcastfwdr_fill_get_num_packets(mcastfwdr_fill *f)
{
    f->pkts_fract_accum += f->PKTS_FRACT;
    if (f->pkts_fract_accum >= 1.0) {
        f->pkts_fract_accum -= 1.0;
        return int(f->PKTS_WHOLE + 1);
    }
    return int(f->PKTS_WHOLE);
}

const uint8_t *mcastfwdr_fill_get_packet(void) { return kNullPacket.data(); }
double mcastfwdr_fill_get_mbps_fill(const mcastfwdr_fill *f) { return f->tmr->mbps_fill; }
mcastfwdr_tmr *mcastfwdr_fill_get_tmr(const mcastfwdr_fill *f) { return f->tmr; }
double mcastfwdr_fill_test_get_PKTS_WHOLE(const mcastfwdr_fill *f) { return f->PKTS_WHOLE; }
double mcastfwdr_fill_test_get_PKTS_FRACT(const mcastfwdr_fill *f) { return f->PKTS_FRACT; }

} // extern "C"

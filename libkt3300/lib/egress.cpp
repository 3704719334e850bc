// Transport-stream egress writer: the processor fills 256-byte slots and
// publishes its position; the FPGA consumes up to it and publishes its own.
#include "kt3300_egr.h"
#include "kt33_internal.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

using namespace kt33;

static_assert(sizeof(kt3300_egr_frm) == 256, "the FPGA reads 256-byte egress slots");

namespace {

constexpr unsigned slot_size = 256;
constexpr unsigned packet_size = 188;
constexpr unsigned frame_copy = 196; // header and packet of a slot
constexpr uint8_t plain_offset = 8;

bool ready(const kt3300_egr_wrtr *o)
{
    if (!o || !o->ctx || !o->ctx->artix_base || !o->begin || o->end <= o->begin) {
        errno = EINVAL;
        return false;
    }
    return true;
}

unsigned slots(const kt3300_egr_wrtr *o) { return static_cast<unsigned>(o->end - o->begin); }
unsigned own(const kt3300_egr_wrtr *o) { return static_cast<unsigned>(o->wr_pkt - o->begin); }

// Free slots as the FPGA last reported; one slot always stays empty so
// that equal positions mean an empty ring. A position outside the ring
// counts as a full ring.
unsigned free_slots(kt3300_egr_wrtr *o, unsigned *fpga = nullptr)
{
    unsigned n = slots(o);
    unsigned p = rd32(o->ctx->artix_base, reg::egress_pos(o->ch)) & 0xFFFF;
    if (fpga)
        *fpga = p;
    if (p >= n)
        return 0;
    unsigned used = (own(o) + n - p) % n;
    return n - 1 - used;
}

void publish(kt3300_egr_wrtr *o) { kt3300_egress_set_host_position(o->ctx, o->ch, own(o)); }

// Takes a slot for the next packet, or refuses when the FPGA has not freed
// one: the writer never laps the FPGA.
kt3300_egr_frm *take_slot(kt3300_egr_wrtr *o)
{
    if (o->room == 0) {
        unsigned p;
        o->room = free_slots(o, &p);
        if (o->room == 0) {
            // The FPGA has consumed all it was told of and the ring is full
            // of unpublished packets (only a ring of at most 16 slots gets
            // here): publish them, or it would never move again.
            unsigned n = slots(o), unpublished = o->pkts ? (o->pkts - 1) & 15 : 0;
            if (unpublished && p == (own(o) + n - unpublished) % n)
                publish(o);
            ++o->dropped;
            errno = EAGAIN;
            return nullptr;
        }
    }
    --o->room;
    return o->wr_pkt;
}

void advance(kt3300_egr_wrtr *o)
{
    if (++o->wr_pkt == o->end)
        o->wr_pkt = o->begin;
    // The FPGA learns of new packets in steps of 16: the 1st, 17th, 33rd ...
    // packet since the clear publishes the position after it.
    if ((++o->pkts & 15) == 1)
        publish(o);
}

} // namespace

extern "C" int kt3300_egr_wrtr_init(kt3300_egr_wrtr *o, unsigned ch, kt3300_ctx *ctx)
{
    if (!o || !ctx || ch > 1 || !ctx->artix_base) {
        errno = EINVAL;
        return -1;
    }
    void *buf = kt3300_egress_get_buffer(ctx);
    uint32_t size = kt3300_egress_get_buffer_size(ctx);
    uint32_t half = (size / 2) / slot_size * slot_size;
    // Two slots at least: one always stays empty.
    if (!buf || half < 2 * slot_size || half / slot_size > 0xFFFF) {
        errno = ENODEV;
        return -1;
    }
    o->ctx = ctx;
    o->ch = ch;
    o->begin = reinterpret_cast<kt3300_egr_frm *>(static_cast<uint8_t *>(buf) + (ch ? size / 2 : 0));
    o->end = o->begin + half / slot_size;
    o->wr_pkt = o->begin;
    o->dropped = 0;
    kt3300_egress_set_address(ctx, ch, kt3300_egress_get_buffer_addr(ctx) + (ch ? size / 2 : 0));
    return kt3300_egr_wrtr_clear(o);
}

extern "C" kt3300_egr_wrtr *kt3300_egr_wrtr_alloc(unsigned ch, kt3300_ctx *ctx)
{
    auto *o = static_cast<kt3300_egr_wrtr *>(std::calloc(1, sizeof(kt3300_egr_wrtr)));
    if (!o)
        return nullptr;
    if (kt3300_egr_wrtr_init(o, ch, ctx) != 0) {
        int e = errno;
        std::free(o);
        errno = e;
        return nullptr;
    }
    return o;
}

extern "C" int kt3300_egr_wrtr_clear(kt3300_egr_wrtr *o)
{
    if (!ready(o))
        return -1;
    kt3300_egr_wrtr_stop(o);
    unsigned p = rd32(o->ctx->artix_base, reg::egress_pos(o->ch)) & 0xFFFF;
    if (p >= slots(o)) // not a slot of ours: restart at the ring's start
        p = 0;
    kt3300_egress_set_host_position(o->ctx, o->ch, p);
    o->pkts = 0;
    o->wr_pkt = o->begin + p;
    o->room = slots(o) - 1;
    return 0;
}

extern "C" int kt3300_egr_wrtr_start(kt3300_egr_wrtr *o)
{
    if (!ready(o))
        return -1;
    return kt3300_egress_set_control(o->ctx, o->ch, slots(o), 1);
}

extern "C" int kt3300_egr_wrtr_stop(kt3300_egr_wrtr *o)
{
    if (!ready(o))
        return -1;
    return kt3300_egress_set_control(o->ctx, o->ch, slots(o), 0);
}

extern "C" int kt3300_egr_wrtr_write(kt3300_egr_wrtr *o, const uint8_t *packet)
{
    if (!ready(o) || !packet) {
        errno = EINVAL;
        return -1;
    }
    kt3300_egr_frm *f = take_slot(o);
    if (!f)
        return -1;
    f->offset = plain_offset;
    std::memcpy(reinterpret_cast<uint8_t *>(f) + plain_offset, packet, packet_size);
    advance(o);
    return 0;
}

extern "C" int kt3300_egr_wrtr_write_frame(kt3300_egr_wrtr *o, const kt3300_egr_frm *frm)
{
    if (!ready(o) || !frm) {
        errno = EINVAL;
        return -1;
    }
    kt3300_egr_frm *f = take_slot(o);
    if (!f)
        return -1;
    std::memcpy(f, frm, frame_copy);
    advance(o);
    return 0;
}

extern "C" int kt3300_egr_wrtr_get_level(kt3300_egr_wrtr *o)
{
    if (!ready(o))
        return -1;
    unsigned w = own(o) & 0xFFFF;
    unsigned p = rd32(o->ctx->artix_base, reg::egress_pos(o->ch)) & 0xFFFF;
    if (p <= w)
        return static_cast<int>(w - p);
    return static_cast<int>(((w + slots(o)) & 0xFFFF) - p);
}

extern "C" int kt3300_egr_wrtr_get_length(const kt3300_egr_wrtr *o)
{
    return (o && o->end > o->begin) ? static_cast<int>(slots(o)) : -1;
}

extern "C" unsigned kt3300_egr_wrtr_get_packets(const kt3300_egr_wrtr *o) { return o ? o->pkts : 0; }

extern "C" int kt3300_egr_wrtr_get_position(const kt3300_egr_wrtr *o)
{
    return (o && o->begin) ? static_cast<int>(own(o)) : -1;
}

extern "C" void kt3300_egr_wrtr_free(kt3300_egr_wrtr *o)
{
    if (!o)
        return;
    if (o->ctx && o->ctx->artix_base && o->begin)
        kt3300_egr_wrtr_stop(o);
    std::free(o);
}

// INFO records: the 32-bit words a carrier lists after "INFO" to describe
// itself, and their texts for logs, parameters and menus.
#include "xsb_internal.h"

#include <cstring>

extern "C" {
const char *const strPORTID[PORTID_LAST + 1] = {
    "unknown", "info", "ifp", "bridge", "fpgapgm", "rgmii", "rmii", "ts", "audio", "asi", nullptr};
const char *const fpgamfg_strings[5] = {"Unknown", "Lattice", "Xilinx", "Altera",
                                                "Microsemi"};
const char *const strFPGAMFG[6] = {"Unknown", "Lattice",   "Xilinx",
                                           "Altera",  "Microsemi", nullptr};
const char *const fpgafam_lattice_strings[4] = {"unknown", "rsv1", "XO2", "XO3"};
const char *const strFPGAFAMLAT[5] = {"unknown", "rsv1", "XO2", "XO3", nullptr};
const char *const fpgapart_lattice_strings[10] = {
    "unknown", "1200", "2100", "rsv3", "4200", "rsv5", "640", "6900", "rsv8", "9400"};
const char *const strFPGAPARLAT[11] = {"unknown", "1200", "2100", "rsv3", "4200", "rsv5",
                                               "640",     "6900", "rsv8", "9400", nullptr};
const char *const fpgapkg_lattice_strings[2] = {"unknown", "256 BGA"};
}

namespace {

constexpr uint8_t INFO_TYPE_CARRIER = 0x01;
constexpr uint8_t INFO_TYPE_FPGA = 0x02;
constexpr uint8_t INFO_TYPE_VERSION = 0x03;
constexpr uint8_t INFO_TYPE_BLVDS = 0x24;
constexpr uint8_t INFO_TYPE_PORT_FIRST = 0x40;
constexpr uint8_t INFO_TYPE_PORT_LAST = 0x5F;
constexpr uint8_t INFO_TYPE_END = 0xFF;

unsigned bits(uint32_t v, int hi, int lo) { return (v >> lo) & ((1u << (hi - lo + 1)) - 1); }
unsigned bit(uint32_t v, int n) { return (v >> n) & 1u; }
unsigned type_of(uint32_t rec) { return rec >> 24; }

bool is_info(const char *buf, int len)
{
    return buf && len >= 4 && std::memcmp(buf, "INFO", 4) == 0;
}

// A name from a table indexed by a record field; fields wider than the table
// give "rsv<n>" instead of reading past it.
const char *name_of(const char *const *table, unsigned count, unsigned idx, char (&scratch)[12])
{
    if (idx < count)
        return table[idx];
    std::snprintf(scratch, sizeof scratch, "rsv%u", idx);
    return scratch;
}

// snprintf with the library's convention: a null or empty buffer only counts.
template <class... A> int put(char *buf, int len, const char *fmt, A... args)
{
    if (!buf || len <= 0)
        return std::snprintf(nullptr, 0, fmt, args...);
    return std::snprintf(buf, size_t(len), fmt, args...);
}

// The mark of an rx_inv field.
char rx_mark(uint32_t r) { return bit(r, 7) ? '-' : bit(r, 17) ? 'I' : 'N'; }

// One queue group of four port bits: "p1," to "p4," per set bit, "none," when
// none is set; the last group of a text drops the final commas.
struct queue_group {
    const char *s[5];
};
queue_group group_of(uint32_t r, int lo, bool last)
{
    static const char *const p[4] = {"p1,", "p2,", "p3,", "p4,"};
    queue_group g{};
    for (int k = 0; k < 4; ++k)
        g.s[k] = !bit(r, lo + k) ? "" : (last && k == 3) ? "p4" : p[k];
    g.s[4] = bits(r, lo + 3, lo) ? "" : last ? "none" : "none,";
    return g;
}

int xqueues(char *buf, int len, uint32_t r, int ack, int alert, int nack)
{
    const queue_group a = group_of(r, ack, false), l = group_of(r, alert, false),
                      n = group_of(r, nack, true);
    return put(buf, len, "ack %s%s%s%s%s alert %s%s%s%s%s nack %s%s%s%s%s", a.s[0], a.s[1], a.s[2],
               a.s[3], a.s[4], l.s[0], l.s[1], l.s[2], l.s[3], l.s[4], n.s[0], n.s[1], n.s[2],
               n.s[3], n.s[4]);
}

} // namespace

extern "C" {

XSB_API int xsbinfo_count_records(const char *xsbinfobuf, int len) noexcept
{
    if (len == 0)
        return 0;
    if (!is_info(xsbinfobuf, len))
        return -1;
    // Only whole words are records: a trailing fragment is not one, so every
    // counted index can be fetched with xsbinfo_get_index.
    const auto *b = reinterpret_cast<const uint8_t *>(xsbinfobuf);
    int n = 0;
    for (int off = 4; off + 4 <= len && b[off] != INFO_TYPE_END; off += 4)
        ++n;
    return n;
}

XSB_API int xsbinfo_get_index(const char *xsbinfobuf, int len, int index, uint32_t *rec) noexcept
{
    if (!rec || index < 0 || !is_info(xsbinfobuf, len) || int64_t(len) < 4 * (int64_t(index) + 2))
        return -1;
    *rec = xsb::get_be32(reinterpret_cast<const uint8_t *>(xsbinfobuf) + 4 + 4 * index);
    return 0;
}

XSB_API int xsbinfo_carrier_to_string(char *buf, int len, const uint32_t *rec) noexcept
{
    if (!rec || type_of(*rec) != INFO_TYPE_CARRIER)
        return -1;
    const uint32_t r = *rec;
    // The revision character comes from the wire: a control character or a
    // zero would corrupt the text, so it shows as "?".
    const unsigned rev = bits(r, 7, 0);
    return put(buf, len, "KT-%d%d%d%d-%c", int(bits(r, 23, 20)), int(bits(r, 19, 16)),
               int(bits(r, 15, 12)), int(bits(r, 11, 8)), rev >= 0x20 && rev < 0x7F ? char(rev) : '?');
}

XSB_API int xsbinfo_fpga_to_string(char *buf, int len, const uint32_t *rec) noexcept
{
    if (!rec || type_of(*rec) != INFO_TYPE_FPGA)
        return -1;
    const uint32_t r = *rec;
    char s0[12], s1[12], s2[12], s3[12];
    const char *mfg = name_of(fpgamfg_strings, 5, bits(r, 19, 16), s0);
    if (bits(r, 19, 16) != FPGAMFG_LATTICE)
        return put(buf, len, "%s", mfg);
    return put(buf, len, "%s %s %s-%d %s", mfg, name_of(fpgafam_lattice_strings, 4, bits(r, 15, 12), s1),
               name_of(fpgapart_lattice_strings, 10, bits(r, 11, 8), s2), int(bits(r, 7, 4)),
               name_of(fpgapkg_lattice_strings, 2, bits(r, 3, 0), s3));
}

XSB_API int xsbinfo_version_to_string(char *buf, int len, const uint32_t *rec) noexcept
{
    if (!rec || type_of(*rec) != INFO_TYPE_VERSION)
        return -1;
    const uint32_t r = *rec;
    return put(buf, len, "%d.%d.%d%d%d%d", int(bits(r, 23, 20)), int(bits(r, 19, 16)),
               int(bits(r, 15, 12)), int(bits(r, 11, 8)), int(bits(r, 7, 4)), int(bits(r, 3, 0)));
}

XSB_API int xsbinfo_blvds_to_string(char *buf, int len, const uint32_t *rec) noexcept
{
    if (!rec || type_of(*rec) != INFO_TYPE_BLVDS)
        return -1;
    const uint32_t r = *rec;
    return put(buf, len, "lanes %d tx %d, rx %d", int(bits(r, 7, 0)), int(bits(r, 23, 16)),
               int(bits(r, 15, 8)));
}

XSB_API int xsbinfo_port_to_string(char *buf, int len, const uint32_t *rec) noexcept
{
    if (!rec || type_of(*rec) < INFO_TYPE_PORT_FIRST || type_of(*rec) > INFO_TYPE_PORT_LAST)
        return -1;
    const uint32_t r = *rec;
    const unsigned kind = bits(r, 23, 16);
    return put(buf, len, "%s 0x%.4x", kind < PORTID_LAST ? strPORTID[kind] : "rsv port type",
               bits(r, 15, 0));
}

XSB_API int xsbinfo_xsb_to_string(char *buf, int len, const uint32_t *rec) noexcept
{
    if (!rec)
        return -1;
    const uint32_t r = *rec;
    return put(buf, len,
               "3.456 Gbps crc [%.1d%.1d%.1d%.1d] tx_inv [%.1d_%.1d_%.1d%.1d%.1d%.1d] "
               "rx_inv [%c_%.1d_%.1d%.1d%.1d%.1d] %s %d",
               bit(r, 23), bit(r, 22), bit(r, 21), bit(r, 20), bit(r, 19), bit(r, 18), bit(r, 15),
               bit(r, 14), bit(r, 13), bit(r, 12), rx_mark(r), bit(r, 16), bit(r, 11), bit(r, 10),
               bit(r, 9), bit(r, 8), bit(r, 7) ? "ddel" : "sdel", int(bits(r, 4, 0)));
}

XSB_API int xsbinfo_bridge_to_string(char *buf, int len, const uint32_t *rec) noexcept
{
    if (!rec)
        return -1;
    const uint32_t r = *rec;
    return put(buf, len, "900 Mbps tx_inv [%.1d_%.1d] rx_inv [%c_%.1d] %s %d", bit(r, 19),
               bit(r, 12), rx_mark(r), bit(r, 8), bit(r, 7) ? "ddel" : "sdel", int(bits(r, 4, 0)));
}

XSB_API int xsbinfo_sequencer_to_string(char *buf, int len, const uint32_t *rec) noexcept
{
    if (!rec)
        return -1;
    const uint32_t r = *rec;
    auto s = [r](int b, const char *name) { return bit(r, b) ? name : "-"; };
    return put(buf, len, "SysClk %s, L->R Top [ %s %s %s %s ] Bottom [ %s %s %s %s ]",
               bit(r, 23) ? "Master" : "Slave", s(7, "1"), s(6, "2"), s(5, "3"), s(4, "4"),
               s(0, "5"), s(1, "6"), s(2, "7"), s(3, "8"));
}

XSB_API int xsbinfo_xqueues_eg_to_string(char *buf, int len, const uint32_t *rec) noexcept
{
    return rec ? xqueues(buf, len, *rec, 20, 16, 12) : -1;
}

XSB_API int xsbinfo_xqueues_ig_to_string(char *buf, int len, const uint32_t *rec) noexcept
{
    return rec ? xqueues(buf, len, *rec, 8, 4, 0) : -1;
}

XSB_API int xsbinfo_audio_rx_to_string(char *buf, int len, const uint32_t *rec) noexcept
{
    if (!rec)
        return -1;
    const uint32_t r = *rec;
    if (!bit(r, 8))
        return put(buf, len, "Rx[%d] no input", int(bits(r, 23, 20)));
    const char *pol = !bit(r, 0) ? "" : bit(r, 1) ? " & inverted polarity" : " & normal polarity";
    return put(buf, len, "BLVDS[%d] => Rx[%d], DCM %s%s", int(bits(r, 7, 4)), int(bits(r, 23, 20)),
               bit(r, 0) ? "locked" : "unlocked", pol);
}

XSB_API int xsbinfo_audio_tx_to_string(char *buf, int len, const uint32_t *rec) noexcept
{
    if (!rec)
        return -1;
    const uint32_t r = *rec;
    const unsigned mode = bits(r, 27, 24);
    if (mode < 4) {
        if (buf && len > 0)
            buf[0] = '\0';
        return 0;
    }
    unsigned width, selects, index;
    if (mode < 6)
        width = 2, selects = 8, index = mode & 1;
    else if (mode < 8)
        width = 3, selects = 8, index = mode & 1;
    else if (mode < 12)
        width = 4, selects = 4, index = mode & 3;
    else
        width = 5, selects = 4, index = mode & 3;
    // At most 8 selects of "%d " (two digits) plus the frame: well under 96.
    char text[96];
    int n = std::snprintf(text, sizeof text, "Tx [ ");
    for (unsigned i = 0; i < selects; ++i) {
        const unsigned field = (r >> (width * i)) & ((1u << width) - 1);
        const unsigned top = 1u << (width - 1);
        n += field & top ? std::snprintf(text + n, sizeof text - size_t(n), "%d ", int(field & (top - 1)))
                         : std::snprintf(text + n, sizeof text - size_t(n), "- ");
    }
    std::snprintf(text + n, sizeof text - size_t(n), "] => BLVDS[%d-%d]", int(selects * index),
                  int(selects * (index + 1) - 1));
    return put(buf, len, "%s", text);
}

} // extern "C"

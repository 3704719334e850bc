// Carrier discovery: PING/OKAY between master and slaves, INRQ/INFO rounds,
// chassis.conf and extended.info, BLVDS audio lane wiring and the lane
// configuration written to the cards.
#include "carrier_internal.h"

#include "../frame_internal.h"
#include "../system/system_internal.h"

#include <kerrow/log.h>
#include <kerrow/path.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kd::carrier {

namespace {
constexpr const char *kChassisConf = "/etc/solvera/chassis.conf";
constexpr const char *kProgramOnBoot = "/media/hd0/.solvera_program_on_boot";
constexpr const char *kXsbFail = "XSB Interconnect Fail";
constexpr int kMaxPings = 60;
constexpr int kInfoBudgetMs = 20;

void put_be32(uint8_t *p, uint32_t v)
{
    p[0] = uint8_t(v >> 24);
    p[1] = uint8_t(v >> 16);
    p[2] = uint8_t(v >> 8);
    p[3] = uint8_t(v);
}

void set_proto(xsb_pkt &pkt, uint16_t type)
{
    pkt.proto[0] = uint8_t(type >> 8);
    pkt.proto[1] = uint8_t(type);
}

bool has_tag(const xsb_pkt &pkt, const char *tag) { return std::memcmp(pkt.data, tag, 4) == 0; }

bool exists(const std::string &path)
{
    struct stat sb;
    return stat(path.c_str(), &sb) == 0;
}

void send_ping(xsb_sock *s, bool &ok)
{
    xsb_pkt pkt{};
    xsb_mac(pkt.dst, 0xE00 | (DEFAULT_MASTER_SLOT << 4 | BRIDGE_PORT_INDEX));
    xsb_mac(pkt.src, 0xE00 | st().bridge_byte);
    set_proto(pkt, XSB_ETH_P_CMD);
    std::memcpy(pkt.data, "PING", 4);
    ok = send_frame(s, pkt, 18);
    if (!ok)
        KD_LOG(KD_LOG_ERR, "[%s] Error sending PING (%s)\n", me(), std::strerror(errno));
}

void on_ping(void *)
{
    xsb_sock *s = st().cmd.get();
    xsb_pkt pkt{};
    const int n = xsb_recv(s, &pkt, sizeof pkt);
    if (n < XSB_HDR_LEN + 1) {
        KD_LOG(KD_LOG_ERR, "[%s] xsb_recv() for PING - no data received\n", me());
        return;
    }
    if (n < 18 || !has_tag(pkt, "PING"))
        return;
    // The PING itself, turned around.
    xsb_pkt out = pkt;
    std::swap(out.dst[5], out.src[5]);
    set_proto(out, XSB_ETH_P_CMD);
    std::memcpy(out.data, "OKAY", 4);
    const unsigned slot = pkt.src[5] >> 4;
    if (send_frame(s, out, 18))
        KD_LOG(KD_LOG_INFO, "[%s] Received PING sent OKAY to slot %u\n", me(), slot);
    else
        KD_LOG(KD_LOG_ERR, "[%s] Error sending OKAY to slot %u (%s)\n", me(), slot, std::strerror(errno));
}

// One info request: INRQ, then INFO replies until the budget runs out.
int info_request(xsb_sock *s, unsigned &new_cards)
{
    xsb_pkt inrq{};
    xsb_mac(inrq.dst, 0xFFF);
    xsb_mac(inrq.src, 0xE00 | st().bridge_byte);
    set_proto(inrq, XSB_ETH_P_CONFIG);
    std::memcpy(inrq.data, "INRQ", 4);

    new_cards = 0;
    bool answered = false;
    unsigned attempt = 1;
    if (!send_frame(s, inrq, 18)) {
        KD_LOG(KD_LOG_ERR, "[%s] Error sending INRQ (%s)\n", me(), std::strerror(errno));
        return -1;
    }
    int64_t deadline = now_ms() + kInfoBudgetMs;
    for (;;) {
        const int w = wait_readable(xsb_fileno(s), deadline);
        if (w < 0) {
            KD_LOG(KD_LOG_ERR, "[%s] select() error (%d)\n", me(), errno);
            return -1;
        }
        if (w == 0) {
            if (answered)
                return 0;
            if (attempt == 3) {
                KD_LOG(KD_LOG_ERR, "[%s] No INFO received - at least one expected\n", me());
                return -1;
            }
            ++attempt;
            KD_LOG(KD_LOG_WARNING, "[%s] No INFO received. Retry INRQ (%u)...\n", me(), attempt);
            if (!send_frame(s, inrq, 18)) {
                KD_LOG(KD_LOG_ERR, "[%s] Error sending INRQ (%s)\n", me(), std::strerror(errno));
                return -1;
            }
            deadline = now_ms() + kInfoBudgetMs;
            continue;
        }
        xsb_pkt pkt{};
        const int n = xsb_recv(s, &pkt, sizeof pkt);
        if (n < XSB_HDR_LEN + 1) {
            KD_LOG(KD_LOG_ERR, "[%s] xsb_recv() for INFO - no data received\n", me());
            continue;
        }
        if (n < 18 || !has_tag(pkt, "INFO"))
            continue;
        const int rc = process_info(reinterpret_cast<const uint8_t *>(&pkt), size_t(n), new_cards);
        if (rc < 0)
            return -1;
        if (rc == 0)
            answered = true;
    }
}

void print_info(unsigned slot, const char *data, int len, int records)
{
    KD_LOG(KD_LOG_INFO, "[%s] ------ INFO: Slot %d, Records %d ------\n", me(), int(slot), records);
    for (int i = 0; i < records; ++i) {
        uint32_t rec = 0;
        xsbinfo_get_index(data, len, i, &rec);
        char text[128];
        const unsigned type = rec >> 24;
        if (type == 1 && xsbinfo_carrier_to_string(text, sizeof text, &rec) >= 0)
            KD_LOG(KD_LOG_INFO, "[%s] \tCarrier Name: %s\n", me(), text);
        else if (type == 2 && xsbinfo_fpga_to_string(text, sizeof text, &rec) >= 0)
            KD_LOG(KD_LOG_INFO, "[%s] \tFPGA: %s\n", me(), text);
        else if (type == 3 && xsbinfo_version_to_string(text, sizeof text, &rec) >= 0)
            KD_LOG(KD_LOG_INFO, "[%s] \tVersion: %s\n", me(), text);
        else if (type == 36 && xsbinfo_blvds_to_string(text, sizeof text, &rec) >= 0)
            KD_LOG(KD_LOG_INFO, "[%s] \tBLVDS0 Rec: %s (0x%.8x)\n", me(), text, rec);
        else if (type >= 64 && type <= 79 && xsbinfo_port_to_string(text, sizeof text, &rec) >= 0)
            KD_LOG(KD_LOG_INFO, "[%s] \tPORT%d Rec: %s (0x%.8x)\n", me(), int(type - 64), text, rec);
        else
            KD_LOG(KD_LOG_INFO, "[%s] \tOther Rec: 0x%.8x\n", me(), rec);
    }
    KD_LOG(KD_LOG_INFO, "[%s] ---------------------------------------\n", me());
}

node_rec &new_node(unsigned slot, const char *name)
{
    auto rec = std::make_unique<node_rec>();
    carrier_node &n = rec->node;
    n.slot = slot;
    std::snprintf(n.name, sizeof n.name, "%s", name);
    std::snprintf(n.base_name, sizeof n.base_name, "%s", name);
    if (char *dash = std::strrchr(n.base_name, '-'))
        *dash = '\0';
    std::string dir = std::string("/usr/local/share/") + n.name;
    if (!exists(kd::rooted(dir)))
        dir = std::string("/usr/local/share/") + n.base_name;
    std::snprintf(n.data_path, sizeof n.data_path, "%s", dir.c_str());
    std::snprintf(n.fpga_img_name, sizeof n.fpga_img_name, "fpga.img");
    st().carriers.push_back(std::move(rec));
    return *st().carriers.back();
}

// The value after the first "=" of a line without its line end.
std::string value_of(const char *line)
{
    std::string v = std::strchr(line, '=') + 1;
    while (!v.empty() && (v.back() == '\n' || v.back() == '\r'))
        v.pop_back();
    return v;
}

uint8_t digit_after_eq(const char *line)
{
    const char c = std::strchr(line, '=')[1];
    return c >= '0' && c <= '9' ? uint8_t(c - '0') : 0;
}

struct file_closer {
    void operator()(FILE *f) const { std::fclose(f); }
};
using file_ptr = std::unique_ptr<FILE, file_closer>;

void extended_info(carrier_node &n)
{
    const std::string path = kd::rooted(std::string(n.data_path) + "/extended.info");
    if (!exists(path))
        return;
    file_ptr f(std::fopen(path.c_str(), "r"));
    if (!f) {
        KD_LOG(KD_LOG_WARNING, "[%s] Could not open file: %s. Error: %s. Ignoring.\n", me(), path.c_str(),
               std::strerror(errno));
        return;
    }
    char label_key[40], fpga_key[40], dcm_key[40];
    std::snprintf(label_key, sizeof label_key, "FUNCTION_%u_LABEL", n.target_function);
    std::snprintf(fpga_key, sizeof fpga_key, "FUNCTION_%u_FPGA", n.target_function);
    std::snprintf(dcm_key, sizeof dcm_key, "FUNCTION_%u_DCM", n.target_function);
    char line[256];
    while (std::fgets(line, sizeof line, f.get())) {
        if (line[0] == '#' || !std::strchr(line, '='))
            continue;
        const bool whole = std::strchr(line, '\n') != nullptr;
        if (std::strstr(line, "SELF_PROGRAM"))
            n.requires_self_programming = digit_after_eq(line);
        else if (std::strstr(line, "REBOOT_AFTER_PROGRAM"))
            n.requires_reboot_after_programming = digit_after_eq(line);
        else if (std::strstr(line, "FPGA_IS_XYLINX"))
            n.is_fpga_xylinx = digit_after_eq(line);
        else if (std::strstr(line, label_key)) {
            if (whole)
                std::snprintf(n.function_label, sizeof n.function_label, "%s", value_of(line).c_str());
        } else if (std::strstr(line, fpga_key)) {
            if (whole)
                std::snprintf(n.fpga_img_name, sizeof n.fpga_img_name, "%s", value_of(line).c_str());
        } else if (std::strstr(line, dcm_key)) {
            n.dcm.count = digit_after_eq(line);
            KD_LOG(KD_LOG_NOTICE, "[%s] Override %u DCM transmitters on %s slot %d\n", me(), n.dcm.count, n.name,
                   int(n.slot));
        }
    }
}

bool is_tx(const carrier_node &n) { return n.dcm.count && n.dcm.is_tx; }
bool is_rx(const carrier_node &n) { return n.dcm.count && !n.dcm.is_tx; }

// Cards in user-slot order 1 to 8.
template <class F> void for_each_ui(F fn)
{
    for (unsigned ui = 1; ui <= 8; ++ui)
        if (carrier_node *n = node_at_hw(unsigned(ui_to_hw_slot[ui])))
            fn(*n);
}

carrier_node *choose_receiver(unsigned c)
{
    carrier_node *found = nullptr;
    for_each_ui([&](carrier_node &n) {
        if (!found && is_rx(n) && unsigned(n.dcm.count - n.dcm.wired_count) >= c)
            found = &n;
    });
    return found;
}

void add_lane(carrier_node &tx, carrier_node &rx, bool dense)
{
    blvds_connection c{};
    c.lane = st().next_lane++;
    c.node_tx = &tx;
    c.node_rx = &rx;
    c.dcm_tx_index = unsigned(tx.dcm.index) + tx.dcm.wired_count++;
    c.dcm_tx_page = tx.dcm.page;
    c.dcm_rx_index = unsigned(rx.dcm.index) + rx.dcm.wired_count;
    rx.dcm.wired_count = uint8_t(rx.dcm.wired_count + (dense ? 2 : 1));
    c.dcm_rx_index_is_dense = dense;
    c.dcm_rx_page = rx.dcm.page;
    st().lanes.push_back(c);
}

void wire_dense(carrier_node &tx, carrier_node &rx)
{
    if (tx.dcm.count != 4 || rx.dcm.wired_count != 0) {
        KD_LOG(KD_LOG_ERR, "[%s] Invalid use of function: %s\n", me(), __func__);
        return;
    }
    add_lane(tx, rx, true);
    add_lane(tx, rx, true);
}
} // namespace

int process_info(const uint8_t *frame, size_t len, unsigned &new_cards)
{
    if (len < XSB_HDR_LEN + 4)
        return 1;
    const unsigned slot = frame[11];
    // The slot indexes the registry and builds addresses: a sender outside
    // the chassis is not a card.
    if (slot > 7) {
        KD_LOG(KD_LOG_WARNING, "[%s] INFO from invalid slot %u dropped\n", me(), slot);
        return 1;
    }
    const char *data = reinterpret_cast<const char *>(frame + XSB_HDR_LEN);
    const int dlen = int(len - XSB_HDR_LEN);
    const int records = xsbinfo_count_records(data, dlen);
    if (records < 4) {
        KD_LOG(KD_LOG_ERR, "[%s] Missing INFO records (%u) slot (%u)\n", me(), unsigned(records < 0 ? 0 : records),
               slot);
        return -1;
    }
    node_rec *rec_of_cur = nullptr; // the card this packet created
    carrier_node *cur = nullptr;
    for (int i = 0; i < records; ++i) {
        uint32_t rec = 0;
        xsbinfo_get_index(data, dlen, i, &rec);
        const unsigned type = rec >> 24;
        if (type == 1) {
            if (node_at_hw(slot))
                return 0; // a repeated answer
            char name[64] = "";
            xsbinfo_carrier_to_string(name, sizeof name, &rec);
            rec_of_cur = &new_node(slot, name);
            cur = &rec_of_cur->node;
            print_info(slot, data, dlen, records);
            KD_LOG(KD_LOG_NOTICE, "[%s] Allocated carrier %s in slot %d\n", me(), cur->name, int(slot));
            ++new_cards;
        } else if (type == 36) {
            if (!cur) {
                KD_LOG(KD_LOG_ERR, "[%s] BLVDS record found before carrier record\n", me());
                return -1;
            }
            const unsigned tx = (rec >> 16) & 0x3F, rx = (rec >> 8) & 0x3F;
            if (tx) {
                cur->dcm = dcm_info{uint8_t(tx), 1, 0, 2, 0, 0};
                KD_LOG(KD_LOG_INFO, "[%s] Found %u DCM transmitters on %s slot %d\n", me(), tx, cur->name, int(slot));
            } else if (rx) {
                cur->dcm = dcm_info{uint8_t(rx), 0, 0, 2, 0, 0};
                KD_LOG(KD_LOG_INFO, "[%s] Found %u DCM receivers on %s slot %d\n", me(), rx, cur->name, int(slot));
            } else {
                KD_LOG(KD_LOG_INFO, "[%s] No DCM Tx or Rx found on %s slot %d\n", me(), cur->name, int(slot));
            }
        } else if (type >= 64 && type <= 79) {
            if (!cur) {
                KD_LOG(KD_LOG_ERR, "[%s] Port record found before carrier record\n", me());
                return -1;
            }
            carrier_port p{uint8_t(type - 64), carrier_portid((rec >> 16) & 0xFF), uint16_t(rec & 0xFFFF)};
            if (p.type == PORTID_TS)
                p.data = 3;
            if (p.type == PORTID_RMII)
                std::snprintf(cur->xsb_mii_addr, sizeof cur->xsb_mii_addr, "e%1x%1x", slot, unsigned(p.index));
            if (p.type == PORTID_FPGAPGM)
                cur->is_fpga_programmed = rec & 1;
            rec_of_cur->add_port(p);
            KD_LOG(KD_LOG_NOTICE, "[%s] Allocated port%u (%s) in carrier %s slot %d\n", me(), unsigned(p.index),
                   p.type <= PORTID_LAST ? strPORTID[p.type] : "?", cur->name, int(slot));
        }
    }
    return 0;
}

void apply_chassis_conf()
{
    const std::string path = kd::rooted(kChassisConf);
    if (!exists(path))
        return;
    file_ptr f(std::fopen(path.c_str(), "r"));
    if (!f) {
        KD_LOG(KD_LOG_WARNING, "[%s] Couldn't open: %s (%s). Ignoring.\n", me(), path.c_str(), std::strerror(errno));
        return;
    }
    char line[256];
    while (std::fgets(line, sizeof line, f.get())) {
        if (line[0] == '#')
            continue;
        const char *t = std::strchr(line, 'T');
        const char *eq = std::strchr(line, '=');
        if (!t || !eq || std::strlen(t) < 3)
            continue;
        const char slot_c = t[2];
        // The whole number after "=", so functions of 10 and more survive.
        char *end = nullptr;
        const unsigned long fn = std::strtoul(eq + 1, &end, 10);
        if (slot_c < '0' || slot_c > '7' || end == eq + 1)
            continue;
        if (carrier_node *n = node_at_hw(unsigned(slot_c - '0')))
            n->target_function = uint32_t(fn);
    }
}

void apply_extended_info()
{
    for (auto &r : st().carriers)
        extended_info(r->node);
    for (auto &r : st().carriers)
        if (r->node.dcm.count && !r->node.is_fpga_xylinx)
            r->node.requires_wiring = 1;
}

void compute_tx_offsets()
{
    unsigned sum = 0;
    for_each_ui([&](carrier_node &n) {
        if (is_tx(n)) {
            n.dcm.tx_offset = uint8_t(sum);
            sum += n.dcm.count;
        }
    });
}

bool dense_audio_enabled()
{
    int d = 0, t = 0, r = 0;
    for_each_ui([&](carrier_node &n) {
        if (is_tx(n))
            ++(n.dcm.count == 4 ? d : t);
        else if (is_rx(n))
            ++r;
    });
    const int half_t = (t + 1) / 2;
    return d >= 1 && r >= half_t && r - half_t >= 2 * d;
}

int wire_lanes()
{
    const bool dense = dense_audio_enabled();
    KD_LOG(KD_LOG_NOTICE, "[%s] Wiring Dense Audio: %s\n", me(), dense ? "enabled" : "disabled");
    for_each_ui([&](carrier_node &tx) {
        if (!is_tx(tx))
            return;
        const unsigned c = tx.dcm.count;
        carrier_node *rx = choose_receiver(c);
        if (!rx) {
            if (tx.requires_wiring)
                tx.unused = 1;
        } else if (c == 4 && dense) {
            wire_dense(tx, *rx);
            if (carrier_node *rx2 = choose_receiver(c))
                wire_dense(tx, *rx2);
            else
                KD_LOG(KD_LOG_ERR, "[%s] No second 4-rx node free to wire 4-tx node for dense audio. Unexpected.\n",
                       me());
        } else {
            for (unsigned i = 0; i < c; ++i)
                add_lane(tx, *rx, false);
        }
    });
    for (auto &r : st().carriers)
        if (is_rx(r->node) && r->node.dcm.wired_count == 0)
            r->node.unused = 1;

    KD_LOG(KD_LOG_INFO, "[%s] ====== Slot Discovery Info ======\n", me());
    for (unsigned ui = 1; ui <= 8; ++ui) {
        const carrier_node *n = node_at_hw(unsigned(ui_to_hw_slot[ui]));
        if (!n)
            KD_LOG(KD_LOG_INFO, "[%s] Slot: %u Is Empty\n", me(), ui);
        else
            KD_LOG(KD_LOG_INFO, "[%s] Slot: %u Carrier: %s Is %s\n", me(), ui, n->name,
                   n->unused ? "Unused" : "In Service");
    }
    const auto &lanes = st().lanes;
    if (lanes.empty()) {
        KD_LOG(KD_LOG_INFO, "[%s] ** There was no wirings performed **\n", me());
        return 0;
    }
    if (lanes.size() != st().next_lane) {
        KD_LOG(KD_LOG_ERR, "[%s] Total number of BLVDS internal nodes: %u. Expected: %u\n", me(),
               unsigned(lanes.size()), st().next_lane);
        return -1;
    }
    KD_LOG(KD_LOG_INFO, "[%s] ======== Wiring Details ========\n", me());
    KD_LOG(KD_LOG_INFO, "[%s] Number of BLVDS lanes assigned: %u\n", me(), unsigned(lanes.size()));
    for (const blvds_connection &c : lanes) {
        char extra[32] = "";
        if (c.dcm_rx_index_is_dense)
            std::snprintf(extra, sizeof extra, "and Dcm-Rx %u", c.dcm_rx_index + 1);
        KD_LOG(KD_LOG_INFO, "[%s] Lane: %u - Card %s Slot %u Dcm-Tx %u wired to Card %s Slot %u Dcm-Rx %u %s\n", me(),
               c.lane, c.node_tx->name, c.node_tx->slot, c.dcm_tx_index, c.node_rx->name, c.node_rx->slot,
               c.dcm_rx_index, extra);
    }
    return 0;
}

std::vector<uint32_t> lane_words(const carrier_node *node)
{
    std::vector<uint32_t> words;
    if (!node || !node->dcm.count)
        return words;
    const uint32_t page = uint32_t(node->dcm.page) << 24;
    if (node->dcm.is_tx) {
        uint32_t mask = 0;
        for (const blvds_connection &c : st().lanes)
            if (c.node_tx == node && c.lane < 24) // bits above 23 hold the page
                mask |= 1u << c.lane;
        words.push_back(page | mask);
        for (const blvds_connection &c : st().lanes)
            if (c.node_tx == node)
                words.push_back(page | ((c.lane | 0x40) & 0xFF) << 16 | 0x8000 | (c.dcm_tx_index & 0x7FFF));
        return words;
    }
    bool any_dense = false;
    for (const blvds_connection &c : st().lanes) {
        if (c.node_rx != node)
            continue;
        const uint32_t p = uint32_t(c.dcm_rx_page) << 24;
        words.push_back(p | ((c.dcm_rx_index | 0x20) & 0xFF) << 16 | 0x8000 | (c.lane & 0x7FFF));
        if (c.dcm_rx_index_is_dense) {
            words.push_back(p | (((c.dcm_rx_index + 1) | 0x20) & 0xFF) << 16 | 0x8000 | (c.lane & 0x7FFF));
            any_dense = true;
        }
    }
    words.push_back(0x05000000u | (any_dense ? 0x0Au : 0));
    return words;
}

int build_cfwr(xsb_pkt &pkt, unsigned hw_slot, const uint8_t *records, size_t len, uint16_t ethertype)
{
    pkt = xsb_pkt{};
    xsb_mac(pkt.dst, 0xF00 | (hw_slot & 0xFF));
    set_proto(pkt, ethertype);
    std::memcpy(pkt.data, "CFWR", 4);
    if (len)
        std::memcpy(pkt.data + 4, records, len);
    put_be32(pkt.data + 4 + len, 0xFFFFFFFF);
    return int(len) + 22;
}

int discover()
{
    sock_ptr sock(xsb_open(kXsbIf, XSB_ETH_P_CONFIG));
    if (xsb_fileno(sock.get()) < 0) {
        KD_LOG(KD_LOG_ERR, "[%s] Cannot open the XSB configuration socket on %s\n", me(), kXsbIf);
        return -1;
    }
    struct config_scope {
        explicit config_scope(xsb_sock *s) { st().config = s; }
        ~config_scope() { st().config = nullptr; }
    } scope(sock.get());

    unsigned total = 0;
    for (unsigned round = 1; round <= 3; ++round) {
        unsigned found = 0;
        if (info_request(sock.get(), found) < 0)
            return -1;
        if (round > 1 && found)
            KD_LOG(KD_LOG_NOTICE, "[%s] %u more cards found on info request %u of %u\n", me(), found, round, 3u);
        total += found;
    }
    KD_LOG(KD_LOG_INFO, "[%s] Total cards discovered: %u\n", me(), total);
    if (is_master() && kd_carrier_get_node(DEFAULT_MASTER_UI))
        alarm_set(kXsbFail, false);

    apply_chassis_conf();
    apply_extended_info();
    compute_tx_offsets();
    if (wire_lanes() < 0)
        return -1;

    if (is_master()) {
        KD_LOG(KD_LOG_INFO, "[%s] Running as Master\n", me());
        for (auto &r : st().carriers) {
            const carrier_node &n = r->node;
            bool has_ts = false;
            for (unsigned i = 0; i < n.port_count; ++i)
                has_ts |= n.ports[i].type == PORTID_TS;
            if (!n.dcm.wired_count || !has_ts)
                continue;
            std::vector<uint8_t> bytes;
            for (uint32_t w : lane_words(&n)) {
                uint8_t b[4];
                put_be32(b, w);
                bytes.insert(bytes.end(), b, b + 4);
            }
            xsb_pkt pkt;
            const int len = build_cfwr(pkt, n.slot, bytes.data(), std::min<size_t>(bytes.size(), 1492),
                                       XSB_ETH_P_CONFIG);
            if (!send_frame(sock.get(), pkt, len)) {
                KD_LOG(KD_LOG_ERR, "[%s] Error sending CFRW (%s)\n", me(), std::strerror(errno));
                return -1;
            }
        }
    } else {
        KD_LOG(KD_LOG_INFO, "[%s] Running as Slave\n", me());
    }
    return program_step();
}

void start_ping_watcher()
{
    const int fd = xsb_fileno(st().cmd.get());
    if (fd >= 0)
        kd_frame_start_custom_watcher("PING_WATCHER", fd, on_ping, nullptr, nullptr);
}

int wait_for_master()
{
    xsb_sock *s = st().cmd.get();
    bool ok = false;
    unsigned pings = 1;
    send_ping(s, ok);
    if (!ok)
        return -1;
    // One absolute deadline per PING: frames that are not our OKAY do not
    // stretch the wait.
    int64_t deadline = now_ms() + 1000;
    for (;;) {
        const int w = wait_readable(xsb_fileno(s), deadline);
        if (w < 0) {
            KD_LOG(KD_LOG_ERR, "[%s] select() for OKAY returned error\n", me());
            return -1;
        }
        if (w == 0) {
            if (pings >= kMaxPings) {
                KD_LOG(KD_LOG_WARNING, "[%s] select() timeout. Retry ping limit exceeded.\n", me());
                return -1;
            }
            ++pings;
            KD_LOG(KD_LOG_INFO, "[%s] select() timeout. Retry ping (%u)...\n", me(), pings);
            send_ping(s, ok);
            if (!ok)
                return -1;
            deadline = now_ms() + 1000;
            continue;
        }
        xsb_pkt pkt{};
        const int n = xsb_recv(s, &pkt, sizeof pkt);
        if (n < XSB_HDR_LEN + 1) {
            KD_LOG(KD_LOG_ERR, "[%s] xsb_recv() for OKAY - no data received - ignoring.\n", me());
            continue;
        }
        // Only an OKAY addressed to this card's bridge port answers our PING.
        uint8_t mine[6];
        xsb_mac(mine, 0xE00 | st().bridge_byte);
        if (n >= 18 && has_tag(pkt, "OKAY") && std::memcmp(pkt.dst, mine, 6) == 0) {
            KD_LOG(KD_LOG_INFO, "[%s] Received OKAY from master. Continue....\n", me());
            return 0;
        }
    }
}

void flag_program_on_boot()
{
    const std::string path = kd::rooted(kProgramOnBoot);
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) {
        KD_LOG(KD_LOG_ERR, "[%s] Create %s failed (%s)\n", me(), path.c_str(), std::strerror(errno));
        return;
    }
    close(fd);
}

} // namespace kd::carrier

using namespace kd::carrier;

extern "C" KD_API int kd_carrier_update_function_targets(const uint32_t *func_nums)
{
    if (!func_nums)
        return -1;
    std::string text;
    for (unsigned hw = 0; hw < 8; ++hw) {
        const unsigned ui = unsigned(hw_to_ui_slot[hw]);
        if (kd_carrier_get_node(ui) && func_nums[ui - 1] != 0) {
            char line[64];
            std::snprintf(line, sizeof line, "HW_SLOT_%u_FUNCTION=%u\n", hw, func_nums[ui - 1]);
            text += line;
        }
    }
    if (text.empty())
        text = "# No multi-function carriers or function selections specified\n";

    // Written beside the old file and renamed over it: a failure leaves the
    // old configuration whole, and no reboot follows.
    const std::string path = kd::rooted("/etc/solvera/chassis.conf");
    const std::string tmp = path + ".tmp";
    const int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        KD_LOG(KD_LOG_ERR, "[%s] Couldn't open: %s (%s) for writing.\n", me(), path.c_str(), std::strerror(errno));
        return -1;
    }
    const bool written = write(fd, text.data(), text.size()) == ssize_t(text.size()) && fsync(fd) == 0;
    const int err = errno;
    close(fd);
    if (!written || rename(tmp.c_str(), path.c_str()) != 0) {
        KD_LOG(KD_LOG_ERR, "[%s] Couldn't write: %s (%s)\n", me(), path.c_str(), std::strerror(written ? errno : err));
        unlink(tmp.c_str());
        return -1;
    }
    flag_program_on_boot();
    KD_LOG(KD_LOG_NOTICE, "[%s] Reboot required after chassis cfg update. Going down....\n", me());
    return kd::sys::reboot_machine();
}

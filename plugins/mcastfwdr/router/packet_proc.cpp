// Packet processing (see packet_proc.h).
#include "packet_proc.h"

#include "router/output_view.h"
#include "router/populate.h"
#include "router/send.h"
#include "status_queue.h"
#include "tables/virtual_input.h"

#include <vector>

struct rc_list {
    std::vector<rc_entry> entries;
};

namespace {

rc_entry *find_entry(const routing_context *rc, const manager_output *mo)
{
    if (!rc || !rc->entries || !mo)
        return nullptr;
    for (rc_entry &e : rc->entries->entries)
        if (e.output == mo)
            return &e;
    return nullptr;
}

bool carries_pcr(const uint8_t *b)
{
    return (b[3] & 0x20) && b[4] > 0 && (b[5] & 0x10);
}

// Sends the packet unrouted: it stands for a free slot of the output.
int send_unrouted(manager_output *mo, tsPkt *pkt)
{
    return mcastfwdr_handle_send_and_fill(mo, 0, -1, pkt, 8191, CAN_INJECT) < 0 ? -1 : 0;
}

// Copies, restamps and sends a PCR packet for one output.
void send_with_pcr(const rc_entry &e, tsPkt *pkt, manager_input *input, int pid, const struct timespec *tstamp)
{
    manager_output *mo = e.output;
    tsPkt *copy = mcastfwdr_get_dup_pkt(pkt);
    const int in_id = manager_input_id(input);
    pcr_window_infos *pcrs = mcf::out_pcrs(mo);
    pcr_window_info *w = pcr_windows_find(pcrs, in_id, pid);
    pcr_window_save_pkts(w, pcr_window_get_total_pkts_rx(w), mcf::out_ts_pkts_rx(mo));
    uint8_t *af = reinterpret_cast<uint8_t *>(copy) + 4;
    const adaptation_field flags = tsphGetAdaptionField(af);
    mcastfwdr_handle_adaptation_field(af, &flags, pcrs, w, input, mo, pid, nullptr);
    if (egress_latency_probe *probe = mcf::out_pcr_latency(mo)) {
        uint16_t want = probe->pid.load(std::memory_order_relaxed);
        if (want == 0) {
            probe->pid.store(uint16_t(pid), std::memory_order_relaxed);
            want = uint16_t(pid);
        }
        if (tstamp && want == pid)
            probe->rx_ns.store(uint64_t(tstamp->tv_sec) * 1000000000u + uint64_t(tstamp->tv_nsec),
                               std::memory_order_relaxed);
    }
    mcastfwdr_handle_send_and_fill(mo, int(e.remap_pid), e.ca_id, copy, pid, CANNOT_INJECT);
}

} // namespace

extern "C" {

void routing_context_init(routing_context *rc)
{
    if (rc)
        rc->entries = new (std::nothrow) rc_list;
}

void routing_context_fini(routing_context *rc)
{
    if (!rc)
        return;
    delete rc->entries;
    rc->entries = nullptr;
}

int routing_context_append(routing_context *rc, manager_output *output)
{
    if (!rc || !rc->entries || !output)
        return -1;
    if (find_entry(rc, output))
        return 0;
    try {
        rc->entries->entries.push_back({output, 0, -1});
    } catch (...) {
        return -1;
    }
    return 1;
}

int routing_context_set_remap_pid(routing_context *rc, manager_output *output, unsigned int remap_pid)
{
    rc_entry *e = remap_pid < 8192 ? find_entry(rc, output) : nullptr;
    if (!e)
        return -1;
    e->remap_pid = remap_pid;
    return 0;
}

int routing_context_set_ca_session_id(routing_context *rc, manager_output *output, int ca_id)
{
    rc_entry *e = find_entry(rc, output);
    if (!e)
        return -1;
    e->ca_id = ca_id;
    return 0;
}

int routing_context_output_exists(routing_context *rc, manager_output *output)
{
    if (!rc || !rc->entries || !output)
        return -1;
    return find_entry(rc, output) ? 1 : 0;
}

const rc_entry *routing_context_find(const routing_context *rc, const manager_output *output)
{
    return find_entry(rc, output);
}

unsigned routing_context_count(const routing_context *rc)
{
    return rc && rc->entries ? unsigned(rc->entries->entries.size()) : 0;
}

void routing_context_debug(const routing_context *rc)
{
    if (!rc || !rc->entries)
        return;
    for (const rc_entry &e : rc->entries->entries)
        mcf_post_log(SQ_LOG_DEBUG, "\t{Output ID %d (%u,%d)}", mcf::out_id(e.output), e.remap_pid, e.ca_id);
}

int process_ignored_data(void *, tsPkt *, manager_input *, const struct timespec *) { return 0; }

int process_all_data(void *data, tsPkt *, manager_input *input, const struct timespec *)
{
    auto *rc = static_cast<routing_context *>(data);
    if (!rc || !rc->entries)
        return -1;
    const int in_id = manager_input_id(input);
    for (const rc_entry &e : rc->entries->entries)
        if (mcf::out_takes_packets(e.output))
            pcr_windows_inc_total_pkts_rx(mcf::out_pcrs(e.output), in_id);
    return 0;
}

int process_unrouted_data(void *data, tsPkt *pkt, manager_input *, const struct timespec *)
{
    auto *rc = static_cast<routing_context *>(data);
    if (!rc || !rc->entries)
        return -1;
    for (const rc_entry &e : rc->entries->entries)
        if (mcf::out_takes_packets(e.output))
            send_unrouted(e.output, pkt);
    return 0;
}

int process_routed_data(void *data, tsPkt *pkt, manager_input *input, const struct timespec *tstamp)
{
    auto *rc = static_cast<routing_context *>(data);
    if (!rc || !rc->entries)
        return -1;
    const auto *b = reinterpret_cast<const uint8_t *>(pkt);
    const int pid = (b[1] & 0x1F) << 8 | b[2];
    const bool pcr = carries_pcr(b);
    for (const rc_entry &e : rc->entries->entries) {
        if (!mcf::out_takes_packets(e.output))
            continue;
        if (pcr)
            send_with_pcr(e, pkt, input, pid, tstamp);
        else
            mcastfwdr_handle_send_and_fill(e.output, int(e.remap_pid), e.ca_id, pkt, pid, CANNOT_INJECT);
    }
    return 0;
}

void process_unreferenced_data(manager_output *mo, manager_input *input, tsPkt *pkt, int *taken)
{
    if (!mo || !input || !pkt || mcf::out_single_input(mo))
        return;
    const int in_id = manager_input_id(input);
    if (input->type == INGRTYPE_VIRT) {
        mcf_post_log(SQ_LOG_ERROR, "Virtual Input type found in data path handling?");
        return;
    }
    const bool takes = input->is_routable ? mcf::out_has_input(mo, in_id) : mcf::out_takes_virtual_source(mo, in_id);
    if (!takes)
        return;
    if (taken)
        *taken = 1;
    const auto *b = reinterpret_cast<const uint8_t *>(pkt);
    add_unreferenced_pid_handler(mo, in_id, (b[1] & 0x1F) << 8 | b[2]);
    if (!mcf::out_takes_packets(mo))
        return;
    pcr_windows_inc_total_pkts_rx(mcf::out_pcrs(mo), in_id);
    send_unrouted(mo, pkt);
}

void process_single_input_routing(manager_output *mo, int input_id, tsPkt *pkt)
{
    if (!mo || !mcf::out_single_input(mo) || mcf::out_single_input_id(mo) != unsigned(input_id))
        return;
    if (ts_pool_write_locked(mcf::out_pool(mo), reinterpret_cast<const uint8_t *>(pkt), 0, nullptr, 0) >= 0)
        mcf::out_count_packet(mo);
}

} // extern "C"
